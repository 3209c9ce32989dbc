// The Windows half of ksemaphore: an unnamed semaphore object.
#include <windows.h>

#include "klib/ksemaphore.h"

uint32_t ksemaphore_libinit() {
  return 0;
}

void ksemaphore_libcleanup() {}

uint32_t ksemaphore_create(ksemaphore* s, uint32_t initial, uint32_t maximum) {
  s->handle = nullptr;
  if (initial > maximum || maximum > 0x7FFFFFFFu) return 1;
  s->handle =
      CreateSemaphoreA(nullptr, static_cast<LONG>(initial), static_cast<LONG>(maximum), nullptr);
  return s->handle ? 0 : 1;
}

uint32_t ksemaphore_create_initial(ksemaphore* s, uint32_t initial) {
  return ksemaphore_create(s, initial, KSEMAPHORE_MAX);
}

uint32_t ksemaphore_create_empty(ksemaphore* s) {
  return ksemaphore_create(s, 0, KSEMAPHORE_MAX);
}

void ksemaphore_destroy(ksemaphore* s) {
  if (!s->handle) return;
  CloseHandle(static_cast<HANDLE>(s->handle));
  s->handle = nullptr;
}

void ksemaphore_wait(ksemaphore* s) {
  if (s->handle) WaitForSingleObject(static_cast<HANDLE>(s->handle), INFINITE);
}

uint32_t ksemaphore_release(ksemaphore* s, uint32_t count) {
  if (!s->handle || count > 0x7FFFFFFFu) return 1;
  return ReleaseSemaphore(static_cast<HANDLE>(s->handle), static_cast<LONG>(count), nullptr) ? 0
                                                                                             : 1;
}

uint32_t ksemaphore_post(ksemaphore* s) {
  return ksemaphore_release(s, 1);
}

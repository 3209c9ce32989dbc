// The Windows half of kmutex: an unnamed mutex object that nobody owns when
// created; the owning thread may take it again.
#include <windows.h>

#include "klib/kmutex.h"

uint32_t kmutex_libinit() {
  return 0;
}

void kmutex_libcleanup() {}

uint32_t kmutex_create(kmutex* m) {
  m->handle = CreateMutexA(nullptr, FALSE, nullptr);
  return m->handle ? 0 : 1;
}

void kmutex_destroy(kmutex* m) {
  if (!m->handle) return;
  CloseHandle(static_cast<HANDLE>(m->handle));
  m->handle = nullptr;
}

void kmutex_lock(kmutex* m) {
  if (m->handle) WaitForSingleObject(static_cast<HANDLE>(m->handle), INFINITE);
}

void kmutex_unlock(kmutex* m) {
  if (m->handle) ReleaseMutex(static_cast<HANDLE>(m->handle));
}

// The Windows half of kthread: threads of the C runtime (_beginthreadex, so
// that the runtime's per-thread state exists), closed at once since nobody
// joins them, and Sleep.
#include <process.h>
#include <windows.h>

#include <new>

#include "klib/kthread.h"

int kthread_init(kthread* t) {
  t->entry = nullptr;
  t->arg = nullptr;
  t->stack_size = 0;
  // The record may sit in raw array storage: begin the atomic's lifetime here.
  new (&t->running) std::atomic<uint32_t>(0);
  return 0;
}

void kthread_free(kthread*) {}

static unsigned __stdcall kthread_main(void* p) {
  kthread* t = static_cast<kthread*>(p);
  t->entry(t->arg);
  // Last access to the record: after this store the owner may free it.
  t->running.store(0, std::memory_order_release);
  return 0;
}

int kthread_start(kthread* t, kthread_fn entry, uint32_t stack_size, void* arg) {
  t->entry = entry;
  t->arg = arg;
  t->stack_size = stack_size ? stack_size : KTHREAD_DEFAULT_STACK;
  // Busy from now on, so that a pool scanning for a free record never hands
  // the same record out twice while the new thread is still starting.
  t->running.store(1, std::memory_order_release);
  // The size is what the thread commits at its start; its stack may grow up
  // to the executable's reserve.
  uintptr_t h = _beginthreadex(nullptr, t->stack_size, kthread_main, t, 0, nullptr);
  if (h == 0)
    t->running.store(0, std::memory_order_release);
  else
    CloseHandle(reinterpret_cast<HANDLE>(h));
  return 0;
}

uint32_t kthread_is_running(const kthread* t) {
  return t->running.load(std::memory_order_acquire);
}

uint32_t kthread_wait(kthread* t, uint32_t timeout_ms) {
  int64_t left = timeout_ms;
  while (kthread_is_running(t) && left > 0) {
    ksleep(500);
    left -= 500;
  }
  return kthread_is_running(t);
}

void ksleep(uint32_t ms) {
  Sleep(ms == 0 ? 1 : ms);
}

uint64_t ktick_ms() {
  return GetTickCount64();
}

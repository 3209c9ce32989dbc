#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "klib/kthread.h"

// glibc refuses stacks below 16 KiB and regexec alone needs about 24 KiB.
static const size_t kMinPlatformStack = 256 * 1024;

int kthread_init(kthread* t) {
  t->entry = nullptr;
  t->arg = nullptr;
  t->stack_size = 0;
  // The record may sit in raw array storage: begin the atomic's lifetime here.
  new (&t->running) std::atomic<uint32_t>(0);
  return 0;
}

void kthread_free(kthread*) {}

static void* kthread_main(void* p) {
  kthread* t = static_cast<kthread*>(p);
  t->entry(t->arg);
  // Last access to the record: after this store the owner may free it.
  t->running.store(0, std::memory_order_release);
  return nullptr;
}

int kthread_start(kthread* t, kthread_fn entry, uint32_t stack_size, void* arg) {
  t->entry = entry;
  t->arg = arg;
  t->stack_size = stack_size ? stack_size : KTHREAD_DEFAULT_STACK;
  // Busy from now on, so that a pool scanning for a free record never hands
  // the same record out twice while the new thread is still starting.
  t->running.store(1, std::memory_order_release);
  pthread_attr_t attr;
  bool ok = pthread_attr_init(&attr) == 0;
  if (ok) {
    size_t stack = t->stack_size < kMinPlatformStack ? kMinPlatformStack : t->stack_size;
    pthread_attr_setstacksize(&attr, stack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    ok = pthread_create(&id, &attr, kthread_main, t) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!ok) t->running.store(0, std::memory_order_release);
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
  if (ms == 0) ms = 1;
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

uint64_t ktick_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

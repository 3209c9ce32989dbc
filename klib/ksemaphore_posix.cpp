// The semaphore on a futex: the count is one atomic word, and the system is
// called only to sleep while it is 0 and to wake a sleeper, so that a post
// to a waiting thread costs one wake and the wait one sleep, with no lock
// passed between them.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "klib/ksemaphore.h"

namespace {
struct sem_impl {
  std::atomic<uint32_t> count;
  std::atomic<uint32_t> sleepers;  // threads in (or about to enter) the sleep
  uint32_t maximum;
};

// Sleeps while the word still holds 0; returns on a wake, a signal, or at
// once when the word has changed meanwhile.
void futex_sleep(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, 0u, nullptr, nullptr,
          0);
}

void futex_wake(std::atomic<uint32_t>* word, uint32_t n) {
  int many = n > 0x7fffffffu ? 0x7fffffff : static_cast<int>(n);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, many, nullptr, nullptr,
          0);
}
}  // namespace

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex is one 32-bit word");

uint32_t ksemaphore_libinit() {
  return 0;
}

void ksemaphore_libcleanup() {}

uint32_t ksemaphore_create(ksemaphore* s, uint32_t initial, uint32_t maximum) {
  s->handle = nullptr;
  if (initial > maximum) return 1;
  sem_impl* p = new (std::nothrow) sem_impl;
  if (!p) return 1;
  p->count.store(initial, std::memory_order_relaxed);
  p->sleepers.store(0, std::memory_order_relaxed);
  p->maximum = maximum;
  s->handle = p;
  return 0;
}

uint32_t ksemaphore_create_initial(ksemaphore* s, uint32_t initial) {
  return ksemaphore_create(s, initial, KSEMAPHORE_MAX);
}

uint32_t ksemaphore_create_empty(ksemaphore* s) {
  return ksemaphore_create(s, 0, KSEMAPHORE_MAX);
}

void ksemaphore_destroy(ksemaphore* s) {
  delete static_cast<sem_impl*>(s->handle);
  s->handle = nullptr;
}

void ksemaphore_wait(ksemaphore* s) {
  sem_impl* p = static_cast<sem_impl*>(s->handle);
  if (!p) return;
  for (;;) {
    uint32_t c = p->count.load(std::memory_order_acquire);
    while (c > 0)
      if (p->count.compare_exchange_weak(c, c - 1, std::memory_order_acquire)) return;
    // Announced before the sleep, which the system skips when a post has
    // raised the count meanwhile; a post reads the announcement after
    // raising the count (both sequentially consistent), so one of the two
    // always sees the other.
    p->sleepers.fetch_add(1, std::memory_order_seq_cst);
    if (p->count.load(std::memory_order_seq_cst) == 0) futex_sleep(&p->count);
    p->sleepers.fetch_sub(1, std::memory_order_relaxed);
  }
}

uint32_t ksemaphore_release(ksemaphore* s, uint32_t count) {
  sem_impl* p = static_cast<sem_impl*>(s->handle);
  if (!p) return 1;
  uint32_t c = p->count.load(std::memory_order_relaxed);
  do {
    if (count > p->maximum - c) return 1;
  } while (!p->count.compare_exchange_weak(c, c + count, std::memory_order_seq_cst));
  if (p->sleepers.load(std::memory_order_seq_cst) > 0) futex_wake(&p->count, count);
  return 0;
}

uint32_t ksemaphore_post(ksemaphore* s) {
  return ksemaphore_release(s, 1);
}

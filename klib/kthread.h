// kthread: detached worker threads with a running flag, and ksleep.
//
// Threads are never joined: the owner learns that a thread has ended from its
// running flag, polled with kthread_wait. The flag reads 1 from the moment
// kthread_start returns until the entry has returned, and the start routine
// touches the record for the last time when it clears the flag, so the owner
// may free the record (and the argument) once kthread_wait reports 0.
// kthread_free does not stop anything: owners stop their threads first.
#pragma once

#include <atomic>
#include <cstdint>

#define KTHREAD_DEFAULT_STACK 8192

typedef int (*kthread_fn)(void* arg);

struct kthread {
  kthread_fn entry;
  void* arg;
  uint32_t stack_size;  // recorded as asked; the platform thread gets at least 256 KiB
  std::atomic<uint32_t> running;
};

int kthread_init(kthread* t);  // 0
void kthread_free(kthread* t);
// Starts entry(arg) on a detached thread; stack size 0 means the default.
// Always 0; a thread the platform refuses leaves running at 0.
int kthread_start(kthread* t, kthread_fn entry, uint32_t stack_size, void* arg);
// Polls running in 500 ms steps for up to timeout_ms; returns the flag last read.
uint32_t kthread_wait(kthread* t, uint32_t timeout_ms);
uint32_t kthread_is_running(const kthread* t);

// Suspends the calling thread; 0 sleeps 1 ms.
void ksleep(uint32_t ms);
// Milliseconds of a monotonic clock, for measuring waits.
uint64_t ktick_ms();

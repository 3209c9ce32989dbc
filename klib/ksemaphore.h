// ksemaphore: a counting semaphore with a maximum count, safe from any thread.
// The record holds the platform object; create builds it, destroy releases it.
#pragma once

#include <cstdint>

#define KSEMAPHORE_MAX 268435455u

struct ksemaphore {
  void* handle;  // platform semaphore, null until created
};

uint32_t ksemaphore_libinit();  // 0: nothing to prepare
void ksemaphore_libcleanup();
uint32_t ksemaphore_create(ksemaphore* s, uint32_t initial, uint32_t maximum);  // 0 or 1
uint32_t ksemaphore_create_initial(ksemaphore* s, uint32_t initial);
uint32_t ksemaphore_create_empty(ksemaphore* s);
void ksemaphore_destroy(ksemaphore* s);
void ksemaphore_wait(ksemaphore* s);  // no time limit
// Adds count; 1 (and nothing added) when the maximum would be exceeded.
uint32_t ksemaphore_release(ksemaphore* s, uint32_t count);
uint32_t ksemaphore_post(ksemaphore* s);

// kmutex: a recursive mutex, safe from any thread; a thread that owns it may
// lock it again and then unlocks it as often. The record holds the platform
// object; kmutex_create builds it and kmutex_destroy releases it.
#pragma once

#include <cstdint>

struct kmutex {
  void* handle;  // platform mutex, null until created
};

uint32_t kmutex_libinit();  // 0: nothing to prepare
void kmutex_libcleanup();
uint32_t kmutex_create(kmutex* m);  // 0, or 1 when the platform refuses
void kmutex_destroy(kmutex* m);
void kmutex_lock(kmutex* m);  // no time limit
void kmutex_unlock(kmutex* m);

// Holds a kmutex for the lifetime of a scope.
class kmutex_guard {
 public:
  explicit kmutex_guard(kmutex* m) : m_(m) { kmutex_lock(m_); }
  ~kmutex_guard() { kmutex_unlock(m_); }
  kmutex_guard(const kmutex_guard&) = delete;
  kmutex_guard& operator=(const kmutex_guard&) = delete;

 private:
  kmutex* m_;
};

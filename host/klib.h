// Library start-up and clean-up: runs the foundation modules' process-wide
// start-up in a fixed order before anything else and their clean-up in
// reverse after everything else. klib_init prints one line and returns the
// module's code on the first failure; 0 when every module started. Both run
// on the main thread, klib_init before any other thread exists.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t klib_init();
void klib_cleanup();

// The tables behind klib_init and klib_cleanup, and runners over any table,
// so that tests can see the order and make a step fail.
struct klib_step {
  const char* name;  // shown in the failure line
  uint32_t (*init)();
};
struct klib_cleanup_step {
  const char* name;
  void (*cleanup)();
};
const klib_step* klib_init_table(size_t* count);
const klib_cleanup_step* klib_cleanup_table(size_t* count);
// Runs the steps in order up to the first nonzero code, which it prints
// ("<name> : [<code>] <message>\n") and returns. The first step builds the
// message table, so its failure line carries the code alone.
uint32_t klib_init_steps(const klib_step* steps, size_t count);
void klib_cleanup_steps(const klib_cleanup_step* steps, size_t count);

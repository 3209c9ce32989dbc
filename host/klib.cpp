#include "host/klib.h"

#include <cstdio>

#include "klib/kerror.h"
#include "klib/kmutex.h"
#include "klib/kproc.h"
#include "klib/kregex.h"
#include "klib/ksemaphore.h"
#include "net/ksocket.h"

// Start-up order: the error messages first, as every later failure line
// shows one; then the modules in the order they build on each other.
const klib_step* klib_init_table(size_t* count) {
  static const klib_step kSteps[] = {
      {"kerror_libinit", kerror_libinit},
      {"kmutex_libinit", kmutex_libinit},
      {"ksemaphore_libinit", ksemaphore_libinit},
      {"ksocket_libinit", ksocket_libinit},
      {"kregex_libinit", [] { return static_cast<uint32_t>(kregex_libinit()); }},
      {"kproc_libinit", kproc_libinit},
  };
  *count = sizeof kSteps / sizeof kSteps[0];
  return kSteps;
}

// Clean-up runs the start-up order backwards; the process runner has none.
const klib_cleanup_step* klib_cleanup_table(size_t* count) {
  static const klib_cleanup_step kSteps[] = {
      {"kregex_libcleanup", kregex_libcleanup},         {"ksocket_libcleanup", ksocket_libcleanup},
      {"ksemaphore_libcleanup", ksemaphore_libcleanup}, {"kmutex_libcleanup", kmutex_libcleanup},
      {"kerror_libcleanup", kerror_libcleanup},
  };
  *count = sizeof kSteps / sizeof kSteps[0];
  return kSteps;
}

uint32_t klib_init_steps(const klib_step* steps, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint32_t rc = steps[i].init();
    if (rc == 0) continue;
    if (i == 0)
      printf("%s : [%u]\n", steps[i].name, rc);
    else
      printf("%s : [%u] %s\n", steps[i].name, rc, kerror_message(rc));
    fflush(stdout);
    return rc;
  }
  return 0;
}

void klib_cleanup_steps(const klib_cleanup_step* steps, size_t count) {
  for (size_t i = 0; i < count; ++i) steps[i].cleanup();
}

uint32_t klib_init() {
  size_t count = 0;
  const klib_step* steps = klib_init_table(&count);
  return klib_init_steps(steps, count);
}

void klib_cleanup() {
  size_t count = 0;
  const klib_cleanup_step* steps = klib_cleanup_table(&count);
  klib_cleanup_steps(steps, count);
}

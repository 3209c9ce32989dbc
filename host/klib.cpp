#include "host/klib.h"

#include <cstdio>

#include "klib/kerror.h"
#include "klib/kmutex.h"
#include "klib/kregex.h"
#include "klib/ksemaphore.h"
#include "net/ksocket.h"

uint32_t klib_init() {
  uint32_t rc = kerror_libinit();
  if (rc) {
    printf("kerror_libinit : [%u]\n", rc);
    return rc;
  }
  struct step {
    const char* name;
    uint32_t (*init)();
  };
  static const step kSteps[] = {
      {"kmutex_libinit", kmutex_libinit},
      {"ksemaphore_libinit", ksemaphore_libinit},
      {"ksocket_libinit", ksocket_libinit},
      {"kregex_libinit", [] { return static_cast<uint32_t>(kregex_libinit()); }},
  };
  for (const step& s : kSteps) {
    rc = s.init();
    if (rc) {
      printf("%s : [%u] %s\n", s.name, rc, kerror_message(rc));
      return rc;
    }
  }
  return 0;
}

void klib_cleanup() {
  kregex_libcleanup();
  ksocket_libcleanup();
  ksemaphore_libcleanup();
  kmutex_libcleanup();
  kerror_libcleanup();
}

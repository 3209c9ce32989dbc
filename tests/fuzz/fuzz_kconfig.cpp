// Fuzzes the configuration reader: the input is a whole configuration file,
// looked up through every kind of lookup the agent makes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "klib/kconfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An in-memory file: no disk traffic, nothing left behind.
  int fd = memfd_create("vardo-fuzz-conf", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  kconfig c;
  kconfig_load(&c, path);
  kstring v;
  kstring_init(&v);
  kstrlist l;
  kstrlist_init(&l);
  static const char* const kKeys[] = {"a", "k", "smtsvr.addressmask", "file", "filter", "scan", ""};
  for (const char* key : kKeys) {
    for (uint32_t n = 0; n < 3; ++n) {
      if (kconfig_get(&c, key, n, &v) && v.length == 0) abort();  // empty values never count
    }
    int32_t i = 0;
    kconfig_get_int(&c, key, &i);
    kconfig_get_list(&c, key, &l);
    for (uint32_t j = 0; j < kstrlist_count(&l); ++j)
      if (kstrlist_get(&l, j)->length == 0) abort();
  }
  kstrlist_free(&l);
  kstring_free(&v);
  kconfig_free(&c);
  close(fd);
  return 0;
}

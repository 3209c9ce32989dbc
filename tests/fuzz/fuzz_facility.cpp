// Fuzzes facility loading: the input is a whole facility file as a
// collector may write it. Loading must keep only filters whose patterns
// compile, and matching a few lines must not fault.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "lwatch/lwfacility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("vardo-fuzz-facility", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  kstring path, name, line;
  kstring_init(&path);
  kstring_init(&name);
  kstring_init(&line);
  kstring_format(&path, "/proc/self/fd/%d", fd);
  kstring_assign_cstr(&name, "fuzz");
  lwfacility f;
  lwfacility_init(&f, &name, nullptr);
  lwfacility_load(&f, &path);
  if (f.scan < 1) abort();
  for (uint32_t i = 0; i < f.filters.count; ++i)
    if (!static_cast<lwfilter*>(karray_get(&f.filters, i))->regex.prog) abort();
  static const char* const kLines[] = {"", "ERROR disk full", "warning: x;y#z", "\xff\xfe binary"};
  for (const char* l : kLines) {
    kstring_assign_cstr(&line, l);
    lwfacility_match(&f, &line);
  }
  lwfacility_free(&f);
  kstring_free(&line);
  kstring_free(&name);
  kstring_free(&path);
  close(fd);
  return 0;
}

// Fuzzes the readers of operators' files: the input is read as the settings, looked
// up every way the agent does, and as a facility file whose filters must compile.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "klib/kconfig.h"
#include "lwatch/lwfacility.h"

// Tokens joined back with their separator give the text again; a star matches
// every text, a text without wildcards matches itself; path helpers take anything.
static void exercise(const kstring* v, const kstring* key) {
  const char* text = kstring_text(v);
  kstring out;
  kstring_init(&out);
  std::string joined;
  int32_t n = 0;
  for (; kstring_token_cstr(v, ",", n, &out); ++n) (joined += n ? "," : "") += kstring_text(&out);
  if (strlen(text) == v->length && (n < 1 || joined != text)) abort();
  for (auto fn : {kstring_path_dir, kstring_path_base, kstring_path_ext, kstring_path_stem})
    fn(v, &out);
  kstring_path_join(&out, v, key);
  kstring_replace(&out, key, v);
  kstring_free(&out);
  if (!kstring_wildmatch_cstr(text, "*", 1)) abort();
  if (!strpbrk(text, "*?") && !kstring_wildmatch_cstr(text, text, 0)) abort();
  kstring_wildmatch(key, v, 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An in-memory file: no disk traffic, nothing left behind.
  int fd = memfd_create("vardo-fuzz-file", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data, size) != static_cast<ssize_t>(size)) return close(fd), 0;
  kstring path, key, value;
  kstring_init(&path), kstring_init(&key), kstring_init(&value);
  kstring_format(&path, "/proc/self/fd/%d", fd);
  kconfig c;
  kconfig_load(&c, kstring_text(&path));
  kstrlist l;
  kstrlist_init(&l);
  static const char* const kKeys[] = {"a", "k", "smtsvr.addressmask", "file", "filter", "scan", ""};
  for (const char* k : kKeys) {
    kstring_assign_cstr(&key, k);
    for (uint32_t n = 0; n < 3; ++n) {
      if (!kconfig_get(&c, k, n, &value)) continue;
      if (value.length == 0) abort();  // empty values never count
      exercise(&value, &key);
    }
    int32_t i = 0;
    kconfig_get_int(&c, k, &i), kconfig_get_list(&c, k, &l);
    for (uint32_t j = 0; j < kstrlist_count(&l); ++j)
      if (kstrlist_get(&l, j)->length == 0) abort();
  }
  kstrlist_free(&l);
  kconfig_free(&c);
  kstring_assign_cstr(&key, "fuzz");
  lwfacility f;
  lwfacility_init(&f, &key, nullptr);
  lwfacility_load(&f, &path);
  if (f.scan < 1) abort();
  for (uint32_t i = 0; i < f.filters.count; ++i)
    if (!static_cast<lwfilter*>(karray_get(&f.filters, i))->regex.prog) abort();
  static const char* const kLines[] = {"", "ERROR disk full", "warning: x;y#z", "\xff\xfe binary"};
  for (const char* line : kLines) kstring_assign_cstr(&value, line), lwfacility_match(&f, &value);
  lwfacility_free(&f);
  kstring_free(&value), kstring_free(&key), kstring_free(&path);
  close(fd);
  return 0;
}

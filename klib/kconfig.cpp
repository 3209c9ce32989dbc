#include "klib/kconfig.h"

uint32_t kconfig_load(kconfig* c, const char* path) {
  kfile_init(&c->file);
  kfile_set_name_cstr(&c->file, path);
  return 0;
}

uint32_t kconfig_load_k(kconfig* c, const kstring* path) {
  kfile_init(&c->file);
  kfile_set_name(&c->file, path);
  return 0;
}

void kconfig_free(kconfig* c) {
  if (c->file.stream) kfile_close(&c->file);
  kfile_free(&c->file);
}

uint32_t kconfig_get(kconfig* c, const char* key, uint32_t n, kstring* out) {
  if (kfile_open(&c->file, "r") != 0) return 0;
  kstring line, part;
  kstring_init(&line);
  kstring_init(&part);
  uint32_t found = 0;
  bool done = false;
  while (!done && kfile_read_line(&c->file, &line) == 0) {
    uint32_t at;
    if (kstring_find_char(&line, '#', &at)) kstring_set_length(&line, at);
    kstring_trim(&line);
    if (!kstring_find_char(&line, '=', &at)) continue;
    kstring_assign_prefix(&part, &line, at);
    kstring_trim(&part);
    if (kstring_compare_cstr(&part, key) != 0) continue;
    if (n > 0) {
      --n;
      continue;
    }
    // The n-th occurrence: it decides the lookup, with or without a value.
    done = true;
    kstring_substr(&line, at + 1, line.length - at - 1, &part);
    kstring_trim(&part);
    if (part.length > 0 && kstring_assign(out, &part)) found = 1;
  }
  kfile_close(&c->file);
  kstring_free(&part);
  kstring_free(&line);
  return found;
}

uint32_t kconfig_get_int(kconfig* c, const char* key, int32_t* out) {
  kstring v;
  kstring_init(&v);
  uint32_t found = kconfig_get(c, key, 0, &v);
  if (found) *out = kstring_to_int(&v);
  kstring_free(&v);
  return found;
}

void kconfig_get_list(kconfig* c, const char* key, kstrlist* out) {
  kstrlist_clear(out);
  kstring v;
  kstring_init(&v);
  for (uint32_t n = 0; kconfig_get(c, key, n, &v); ++n) {
    kstring* s = kstrlist_add(out);
    if (s) kstring_assign(s, &v);
  }
  kstring_free(&v);
}

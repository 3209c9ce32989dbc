#include "klib/kconfig.h"

#include "klib/kerror.h"

static void init(kconfig* c) {
  kfile_init(&c->file);
}

uint32_t kconfig_load(kconfig* c, const char* path) {
  init(c);
  kfile_set_name_cstr(&c->file, path);
  return 0;
}

uint32_t kconfig_load_k(kconfig* c, const kstring* path) {
  init(c);
  kfile_set_name(&c->file, path);
  return 0;
}

void kconfig_free(kconfig* c) {
  if (c->file.stream) kfile_close(&c->file);
  kfile_free(&c->file);
}

// A line without its comment, trimmed, split at its first '=' into a
// trimmed key and value; false when it holds no '='.
static bool split_pair(kstring* line, kstring* key, kstring* value) {
  uint32_t at;
  if (kstring_find_char(line, '#', &at)) kstring_set_length(line, at);
  kstring_trim(line);
  if (!kstring_find_char(line, '=', &at)) return false;
  kstring_assign_prefix(key, line, at);
  kstring_trim(key);
  kstring_substr(line, at + 1, line->length - at - 1, value);
  kstring_trim(value);
  return true;
}

// The file's "key = value" pairs, read line by line.
struct pair_reader {
  kconfig* c;
  kstring line;
};

static bool reader_open(pair_reader* r, kconfig* c) {
  r->c = c;
  kstring_init(&r->line);
  return kfile_open(&c->file, "r") == 0;
}

static void reader_close(pair_reader* r) {
  kfile_close(&r->c->file);
  kstring_free(&r->line);
}

// The next pair, both trimmed, comments gone; false at the end.
static bool reader_next(pair_reader* r, kstring* key, kstring* value) {
  while (kfile_read_line(&r->c->file, &r->line) == 0)
    if (split_pair(&r->line, key, value)) return true;
  return false;
}

uint32_t kconfig_read_pairs(kfile* source, uint64_t max_bytes, kconfig_pair_fn fn, void* data) {
  kstring line, key, value;
  kstring_init(&line);
  kstring_init(&key);
  kstring_init(&value);
  uint64_t left = max_bytes;
  uint32_t rc = 0;
  // A line is cut one byte beyond what is left: no line is held longer than
  // the bound allows, and one that was cut is known to pass it. Counted
  // without asking the stream for its position, which would cost a system
  // call per line.
  for (;;) {
    uint32_t cut = left < UINT32_MAX ? static_cast<uint32_t>(left + 1) : UINT32_MAX;
    if (kfile_read_line_max(source, &line, cut) != 0) break;
    if (line.length > left) {
      rc = KERR_FAILED;
      break;
    }
    left -= line.length;
    left -= left > 0 ? 1 : 0;  // its line feed
    if (split_pair(&line, &key, &value) && !fn(&key, &value, data)) break;
  }
  if (kfile_error(source)) rc = KERR_FAILED;
  kstring_free(&value);
  kstring_free(&key);
  kstring_free(&line);
  return rc;
}

uint32_t kconfig_get(kconfig* c, const char* key, uint32_t n, kstring* out) {
  pair_reader r;
  if (!reader_open(&r, c)) {
    kstring_free(&r.line);
    return 0;
  }
  kstring k, v;
  kstring_init(&k);
  kstring_init(&v);
  uint32_t found = 0;
  while (reader_next(&r, &k, &v)) {
    if (kstring_compare_cstr(&k, key) != 0) continue;
    if (n > 0) {
      --n;
      continue;
    }
    // The n-th occurrence decides the lookup, with or without a value.
    if (v.length > 0 && kstring_assign(out, &v)) found = 1;
    break;
  }
  reader_close(&r);
  kstring_free(&v);
  kstring_free(&k);
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
  pair_reader r;
  if (!reader_open(&r, c)) {
    kstring_free(&r.line);
    return;
  }
  // One pass, however many occurrences: a list of thousands of entries costs
  // one reading of the file, not one per entry.
  kstring k, v;
  kstring_init(&k);
  kstring_init(&v);
  while (reader_next(&r, &k, &v)) {
    if (kstring_compare_cstr(&k, key) != 0) continue;
    if (v.length == 0) break;
    kstring* s = kstrlist_add(out);
    if (s) kstring_assign(s, &v);
  }
  reader_close(&r);
  kstring_free(&v);
  kstring_free(&k);
}

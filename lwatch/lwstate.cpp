// The state file is text, one record a line, fields separated by tabs;
// tab, CR, LF and '%' inside a field are written as %09, %0D, %0A, %25:
//   vardo lwatch state 1
//   file <facility> <device> <inode> <offset> <mark> <path>
//   eventlog <facility> <index> <position> <name>
//   end <records> <FNV-1a 64 of every byte before this line, 16 hex digits>
// Anything else, a count or sum that does not agree, or a missing end line
// makes the whole file invalid.
#include "lwatch/lwstate.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "klib/kerror.h"
#include "lwatch/lweventlog.h"
#include "lwatch/lwfacility.h"
#include "lwatch/lwfile.h"

static const char kHeader[] = "vardo lwatch state 1";
static const uint64_t kFnvBasis = 14695981039346656037ull;

static uint64_t fnv(uint64_t h, const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
  return h;
}

static uint64_t fnv_str(uint64_t h, const kstring* s) {
  h = fnv(h, &s->length, sizeof s->length);
  return fnv(h, kstring_text(s), s->length);
}

static void entry_free(void* p) {
  lwstate_entry* e = static_cast<lwstate_entry*>(p);
  kstring_free(&e->position);
  kstring_free(&e->key);
  kstring_free(&e->facility);
}

void lwstate_init(lwstate* s, const kstring* path, klog* log) {
  kfile_init(&s->file);
  kfile_set_name(&s->file, path);
  karray_init(&s->entries, sizeof(lwstate_entry), 10);
  s->digest = 0;
  s->log = log;
}

void lwstate_free(lwstate* s) {
  karray_destroy(&s->entries, entry_free);
  kfile_free(&s->file);
}

static bool append_escaped(kstring* out, const char* p, uint32_t n) {
  bool ok = true;
  for (uint32_t i = 0; i < n && ok; ++i) {
    char c = p[i];
    if (c == '\t' || c == '\r' || c == '\n' || c == '%') {
      char esc[4];
      snprintf(esc, sizeof esc, "%%%02X", static_cast<unsigned char>(c));
      ok = kstring_append_cstr(out, esc);
    } else {
      ok = kstring_append_char(out, c);
    }
  }
  return ok;
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

static bool unescape(const char* p, const char* e, kstring* out) {
  kstring_clear(out);
  while (p < e) {
    char c = *p++;
    if (c == '%') {
      if (e - p < 2 || hex_digit(p[0]) < 0 || hex_digit(p[1]) < 0) return false;
      c = static_cast<char>(hex_digit(p[0]) * 16 + hex_digit(p[1]));
      p += 2;
    }
    if (!kstring_append_char(out, c)) return false;
  }
  return true;
}

static bool parse_u64(const char* p, const char* e, uint64_t* out) {
  if (p == e || e - p > 20) return false;
  uint64_t n = 0;
  for (; p < e; ++p) {
    if (*p < '0' || *p > '9') return false;
    uint64_t d = static_cast<uint64_t>(*p - '0');
    if (n > (UINT64_MAX - d) / 10) return false;
    n = n * 10 + d;
  }
  *out = n;
  return true;
}

// Splits [p, e) at tabs into at most max fields; the count.
static uint32_t split_fields(const char* p, const char* e, const char** b, const char** en,
                             uint32_t max) {
  uint32_t n = 0;
  while (n < max) {
    const char* t = static_cast<const char*>(memchr(p, '\t', e - p));
    b[n] = p;
    en[n] = t ? t : e;
    ++n;
    if (!t) return n;
    p = t + 1;
  }
  return n + 1;  // more fields than max
}

// One record line into a new entry; false when it is not one.
static bool parse_record(lwstate* s, const char* p, const char* e) {
  const char* b[7];
  const char* en[7];
  uint32_t n = split_fields(p, e, b, en, 7);
  if (n < 5 || n > 7) return false;
  bool file = en[0] - b[0] == 4 && memcmp(b[0], "file", 4) == 0 && n == 7;
  bool event = en[0] - b[0] == 8 && memcmp(b[0], "eventlog", 8) == 0 && n == 5;
  if (!file && !event) return false;
  lwstate_entry* x = static_cast<lwstate_entry*>(karray_append(&s->entries));
  if (!x) return false;
  x->kind = file ? LWSTATE_FILE : LWSTATE_EVENTLOG;
  kstring_init(&x->facility);
  kstring_init(&x->key);
  kstring_init(&x->position);
  x->index = 0;
  x->info = kfile_info{};
  x->offset = 0;
  x->mark = 0;
  uint64_t index = 0;
  bool ok = unescape(b[1], en[1], &x->facility);
  if (file)
    ok = ok && parse_u64(b[2], en[2], &x->info.dev) && parse_u64(b[3], en[3], &x->info.ino) &&
         parse_u64(b[4], en[4], &x->offset) && parse_u64(b[5], en[5], &x->mark) &&
         unescape(b[6], en[6], &x->key);
  else
    ok = ok && parse_u64(b[2], en[2], &index) && index <= UINT32_MAX &&
         unescape(b[3], en[3], &x->position) && unescape(b[4], en[4], &x->key);
  x->index = static_cast<uint32_t>(index);
  return ok;
}

// Why text is not a valid state file; null when it is (entries then hold
// its records).
static const char* parse(lwstate* s, const char* text, uint32_t size) {
  const char* p = text;
  const char* e = text + size;
  const char* nl = static_cast<const char*>(memchr(p, '\n', e - p));
  if (!nl || static_cast<size_t>(nl - p) != strlen(kHeader) || memcmp(p, kHeader, nl - p) != 0)
    return "not a state file of this agent";
  p = nl + 1;
  uint64_t records = 0;
  while (p < e) {
    nl = static_cast<const char*>(memchr(p, '\n', e - p));
    if (!nl) return "cut short";
    if (nl - p > 4 && memcmp(p, "end\t", 4) == 0) {
      const char* b[3];
      const char* en[3];
      uint64_t count = 0;
      if (split_fields(p, nl, b, en, 3) != 3 || !parse_u64(b[1], en[1], &count) ||
          en[2] - b[2] != 16 || nl + 1 != e)
        return "damaged end line";
      char sum[17];
      snprintf(sum, sizeof sum, "%016" PRIx64, fnv(kFnvBasis, text, static_cast<size_t>(p - text)));
      if (count != records || memcmp(sum, b[2], 16) != 0) return "damaged";
      return nullptr;
    }
    if (!parse_record(s, p, nl)) return "damaged record";
    ++records;
    p = nl + 1;
  }
  return "cut short";
}

bool lwstate_load(lwstate* s) {
  karray_destroy(&s->entries, entry_free);
  karray_init(&s->entries, sizeof(lwstate_entry), 10);
  if (kfile_open_regular(&s->file) != 0) return false;  // none yet
  kstring text;
  kstring_init(&text);
  char buf[16384];
  uint32_t n;
  bool ok = true;
  while (ok && (n = kfile_read(&s->file, buf, sizeof buf)) > 0)
    ok = kstring_append_bytes(&text, buf, n);
  ok = ok && !kfile_error(&s->file);
  kfile_close(&s->file);
  const char* why = ok ? parse(s, kstring_text(&text), text.length) : "cannot be read";
  kstring_free(&text);
  if (!why) {
    klog_write(s->log, 2, 0, "lwatch state read from '%s': %u records\n",
               kstring_text(&s->file.name), s->entries.count);
    return true;
  }
  karray_destroy(&s->entries, entry_free);
  karray_init(&s->entries, sizeof(lwstate_entry), 10);
  kstring bad;
  kstring_init(&bad);
  kstring_assign(&bad, &s->file.name);
  kstring_append_cstr(&bad, ".bad");
  kfile old;
  kfile_init(&old);
  kfile_set_name(&old, &bad);
  kfile_remove(&old);
  kfile_free(&old);
  kstring path;
  kstring_init(&path);
  kstring_assign(&path, &s->file.name);
  bool moved = kfile_rename(&s->file, &bad) == 0;
  kfile_set_name(&s->file, &path);
  klog_write(s->log, 1, KLOG_WARNING,
             "lwatch state file '%s' is not valid (%s)%s%s%s; files and event logs start afresh\n",
             kstring_text(&path), why, moved ? "; set aside as '" : "",
             moved ? kstring_text(&bad) : "", moved ? "'" : "");
  kstring_free(&path);
  kstring_free(&bad);
  return false;
}

static const lwstate_entry* find(const lwstate* s, uint32_t kind, const kstring* facility,
                                 const kstring* key, uint32_t index) {
  for (uint32_t i = 0; i < s->entries.count; ++i) {
    const lwstate_entry* x = static_cast<const lwstate_entry*>(karray_get(&s->entries, i));
    if (x->kind == kind && x->index == index && kstring_compare(&x->facility, facility) == 0 &&
        kstring_compare(&x->key, key) == 0)
      return x;
  }
  return nullptr;
}

void lwstate_apply_file(const lwstate* s, const kstring* facility, lwfile* t) {
  const lwstate_entry* x = find(s, LWSTATE_FILE, facility, &t->file.name, 0);
  if (!x) return;
  // Found before: the first check compares the file now at the path with
  // this identity, and reads from the offset (or the old file's rest).
  t->found = 1;
  t->info = x->info;
  t->info.size = 0;
  t->info.mtime_ns = 0;
  t->offset = x->offset;
  t->mark = x->mark;
}

void lwstate_apply_eventlog(const lwstate* s, const kstring* facility, uint32_t index,
                            lweventlog* r) {
  const lwstate_entry* x = find(s, LWSTATE_EVENTLOG, facility, &r->name, index);
  if (!x) return;
  r->positioned = 1;
  kstring_assign(&r->position, &x->position);
}

// What the facilities' state is, as a sum over every field that is written.
static uint64_t digest_of(const karray* facilities) {
  uint64_t h = kFnvBasis;
  for (uint32_t i = 0; i < facilities->count; ++i) {
    const lwfacility* f = static_cast<const lwfacility*>(karray_get(facilities, i));
    h = fnv_str(h, &f->name);
    for (uint32_t k = 0; k < f->tracked.count; ++k) {
      const lwfile* t = static_cast<const lwfile*>(karray_get(&f->tracked, k));
      if (!t->exact || !t->found) continue;
      uint64_t v[4] = {t->info.dev, t->info.ino, t->offset, t->mark};
      h = fnv(h, v, sizeof v);
      h = fnv_str(h, &t->file.name);
    }
    for (uint32_t k = 0; k < f->eventlogs.count; ++k) {
      const lweventlog* r = static_cast<const lweventlog*>(karray_get(&f->eventlogs, k));
      if (!r->exact || !r->positioned) continue;
      h = fnv(h, &k, sizeof k);
      h = fnv_str(h, &r->position);
    }
  }
  return h;
}

static bool add_entry(lwstate* s, uint32_t kind, const kstring* facility, const kstring* key,
                      uint32_t index) {
  lwstate_entry* x = static_cast<lwstate_entry*>(karray_append(&s->entries));
  if (!x) return false;
  x->kind = kind;
  kstring_init(&x->facility);
  kstring_init(&x->key);
  kstring_init(&x->position);
  x->index = index;
  x->info = kfile_info{};
  x->offset = 0;
  x->mark = 0;
  return kstring_assign(&x->facility, facility) && kstring_assign(&x->key, key);
}

// The text of the state, and entries made to agree with it.
static bool build(lwstate* s, const karray* facilities, kstring* text) {
  karray_destroy(&s->entries, entry_free);
  karray_init(&s->entries, sizeof(lwstate_entry), 10);
  bool ok = kstring_assign_cstr(text, kHeader) && kstring_append_char(text, '\n');
  char num[96];
  for (uint32_t i = 0; ok && i < facilities->count; ++i) {
    const lwfacility* f = static_cast<const lwfacility*>(karray_get(facilities, i));
    for (uint32_t k = 0; ok && k < f->tracked.count; ++k) {
      const lwfile* t = static_cast<const lwfile*>(karray_get(&f->tracked, k));
      if (!t->exact || !t->found) continue;
      snprintf(num, sizeof num, "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t",
               t->info.dev, t->info.ino, t->offset, t->mark);
      ok = kstring_append_cstr(text, "file\t") &&
           append_escaped(text, kstring_text(&f->name), f->name.length) &&
           kstring_append_cstr(text, num) &&
           append_escaped(text, kstring_text(&t->file.name), t->file.name.length) &&
           kstring_append_char(text, '\n') &&
           add_entry(s, LWSTATE_FILE, &f->name, &t->file.name, 0);
      if (ok) {
        lwstate_entry* x =
            static_cast<lwstate_entry*>(karray_get(&s->entries, s->entries.count - 1));
        x->info = t->info;
        x->offset = t->offset;
        x->mark = t->mark;
      }
    }
    for (uint32_t k = 0; ok && k < f->eventlogs.count; ++k) {
      const lweventlog* r = static_cast<const lweventlog*>(karray_get(&f->eventlogs, k));
      if (!r->exact || !r->positioned) continue;
      snprintf(num, sizeof num, "\t%u\t", k);
      ok = kstring_append_cstr(text, "eventlog\t") &&
           append_escaped(text, kstring_text(&f->name), f->name.length) &&
           kstring_append_cstr(text, num) &&
           append_escaped(text, kstring_text(&r->position), r->position.length) &&
           kstring_append_char(text, '\t') &&
           append_escaped(text, kstring_text(&r->name), r->name.length) &&
           kstring_append_char(text, '\n') && add_entry(s, LWSTATE_EVENTLOG, &f->name, &r->name, k);
      if (ok) {
        lwstate_entry* x =
            static_cast<lwstate_entry*>(karray_get(&s->entries, s->entries.count - 1));
        ok = kstring_assign(&x->position, &r->position);
      }
    }
  }
  if (!ok) return false;
  snprintf(num, sizeof num, "end\t%u\t%016" PRIx64 "\n", s->entries.count,
           fnv(kFnvBasis, kstring_text(text), text->length));
  return kstring_append_cstr(text, num);
}

uint32_t lwstate_save(lwstate* s, const karray* facilities, lwstate_sync_fn sync, void* data) {
  uint64_t digest = digest_of(facilities);
  if (digest == s->digest) return 0;
  if (sync && !sync(data)) return KERR_FAILED;
  kstring text;
  kstring_init(&text);
  uint32_t rc = KERR_NOMEM;
  if (build(s, facilities, &text)) rc = kfile_replace(&s->file, kstring_text(&text), text.length);
  kstring_free(&text);
  if (rc == 0)
    s->digest = digest;
  else
    klog_limited(s->log, 1, KLOG_WARNING, "lwatch.state", nullptr,
                 "cannot write lwatch state file '%s'; it is tried again after the next scan\n",
                 kstring_text(&s->file.name));
  return rc;
}

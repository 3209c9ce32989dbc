#include "klib/kstring.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int kstring_init(kstring* s) {
  s->length = 0;
  s->heap_size = 0;
  s->inline_buf[0] = '\0';
  s->heap_buf = nullptr;
  return 0;
}

void kstring_free(kstring* s) {
  free(s->heap_buf);
  s->heap_buf = nullptr;
  s->heap_size = 0;
  s->length = 0;
  s->inline_buf[0] = '\0';
}

char* kstring_text(kstring* s) {
  return s->heap_size ? s->heap_buf : s->inline_buf;
}

const char* kstring_text(const kstring* s) {
  return s->heap_size ? s->heap_buf : s->inline_buf;
}

void kstring_clear(kstring* s) {
  s->length = 0;
  kstring_text(s)[0] = '\0';
}

uint32_t kstring_capacity(const kstring* s) {
  return s->heap_size ? s->heap_size : KSTRING_INLINE_SIZE;
}

uint32_t kstring_grow(kstring* s, uint32_t n) {
  uint32_t size = n <= s->heap_size + KSTRING_INLINE_SIZE ? s->heap_size + KSTRING_INLINE_SIZE : n;
  char* buf = static_cast<char*>(realloc(s->heap_buf, size));
  if (!buf) return 0;
  // The first growth leaves the inline buffer: carry the text over.
  if (s->heap_size == 0) memcpy(buf, s->inline_buf, s->length + 1);
  s->heap_buf = buf;
  s->heap_size = size;
  return 1;
}

uint32_t kstring_reserve(kstring* s, uint32_t n) {
  if (kstring_capacity(s) >= n) return 1;
  return kstring_grow(s, n);
}

uint32_t kstring_reserve_ahead(kstring* s, uint32_t n, uint32_t limit) {
  uint32_t capacity = kstring_capacity(s);
  if (capacity >= n) return 1;
  uint64_t size = uint64_t{capacity} * 2;
  if (size > limit) size = limit;
  return kstring_grow(s, size > n ? static_cast<uint32_t>(size) : n);
}

void kstring_set_length(kstring* s, uint32_t n) {
  s->length = n;
  kstring_text(s)[n] = '\0';
}

uint32_t kstring_assign_bytes(kstring* s, const void* bytes, uint32_t count) {
  if (count == UINT32_MAX || !kstring_reserve(s, count + 1)) return 0;
  // memmove: the source may lie inside this very string (assign of a prefix).
  if (count) memmove(kstring_text(s), bytes, count);
  kstring_set_length(s, count);
  return 1;
}

uint32_t kstring_assign(kstring* s, const kstring* src) {
  if (s == src) return 1;
  return kstring_assign_bytes(s, kstring_text(src), src->length);
}

uint32_t kstring_assign_cstr(kstring* s, const char* text) {
  return kstring_assign_bytes(s, text, static_cast<uint32_t>(strlen(text)));
}

uint32_t kstring_assign_prefix(kstring* s, const kstring* src, uint32_t count) {
  return kstring_assign_bytes(s, kstring_text(src), count);
}

uint32_t kstring_substr(const kstring* src, uint32_t start, uint32_t count, kstring* dst) {
  return kstring_assign_bytes(dst, kstring_text(src) + start, count);
}

uint32_t kstring_append_bytes(kstring* s, const void* bytes, uint32_t count) {
  if (count == 0) return 1;
  if (count >= UINT32_MAX - s->length) return 0;
  // Appending a string to itself: remember the offset, the buffer may move.
  const char* old = kstring_text(s);
  const char* b = static_cast<const char*>(bytes);
  bool self = b >= old && b < old + kstring_capacity(s);
  size_t off = self ? static_cast<size_t>(b - old) : 0;
  if (!kstring_reserve(s, s->length + count + 1)) return 0;
  if (self) b = kstring_text(s) + off;
  memmove(kstring_text(s) + s->length, b, count);
  kstring_set_length(s, s->length + count);
  return 1;
}

uint32_t kstring_append(kstring* s, const kstring* src) {
  return kstring_append_bytes(s, kstring_text(src), src->length);
}

uint32_t kstring_append_cstr(kstring* s, const char* text) {
  return kstring_append_bytes(s, text, static_cast<uint32_t>(strlen(text)));
}

uint32_t kstring_append_char(kstring* s, char c) {
  if (s->length + 2 > kstring_capacity(s) && !kstring_reserve(s, s->length + 2)) return 0;
  char* t = kstring_text(s);
  t[s->length] = c;
  kstring_set_length(s, s->length + 1);
  return 1;
}

uint32_t kstring_vformat(kstring* s, const char* format, va_list args) {
  uint32_t step = KSTRING_FORMAT_STEP;
  for (;;) {
    uint32_t cap = kstring_capacity(s);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(kstring_text(s), cap, format, copy);
    va_end(copy);
    if (n < 0) {
      kstring_clear(s);
      return 0;
    }
    if (static_cast<uint32_t>(n) <= cap - 1) {
      s->length = static_cast<uint32_t>(n);
      return 1;
    }
    kstring_set_length(s, cap - 1);
    if (!kstring_grow(s, step)) return 0;
    step += KSTRING_FORMAT_STEP;
    if (step > KSTRING_FORMAT_LIMIT) return 0;
  }
}

uint32_t kstring_format(kstring* s, const char* format, ...) {
  va_list args;
  va_start(args, format);
  uint32_t r = kstring_vformat(s, format, args);
  va_end(args);
  return r;
}

static uint32_t replace_bytes(kstring* s, const char* what, const char* with, uint32_t with_len) {
  const char* text = kstring_text(s);
  const char* at = strstr(text, what);
  if (!at) return 1;
  uint32_t pos = static_cast<uint32_t>(at - text);
  kstring tmp;
  kstring_init(&tmp);
  uint32_t ok = kstring_assign_bytes(&tmp, text, pos);
  ok = ok && kstring_append_bytes(&tmp, with, with_len);
  ok = ok && kstring_append_cstr(&tmp, text + pos + strlen(what));
  if (ok) ok = kstring_assign(s, &tmp);
  kstring_free(&tmp);
  return ok;
}

uint32_t kstring_replace_cstr(kstring* s, const char* what, const char* with) {
  return replace_bytes(s, what, with, static_cast<uint32_t>(strlen(with)));
}

uint32_t kstring_replace_with(kstring* s, const char* what, const kstring* with) {
  return replace_bytes(s, what, kstring_text(with), with->length);
}

uint32_t kstring_replace(kstring* s, const kstring* what, const kstring* with) {
  return replace_bytes(s, kstring_text(what), kstring_text(with), with->length);
}

uint32_t kstring_remove_chars_cstr(kstring* s, const char* set) {
  kstring tmp;
  kstring_init(&tmp);
  uint32_t ok = 1;
  for (const char* p = kstring_text(s); *p && ok; ++p)
    if (!strchr(set, *p)) ok = kstring_append_char(&tmp, *p);
  if (ok) ok = kstring_assign(s, &tmp);
  kstring_free(&tmp);
  return ok;
}

uint32_t kstring_remove_chars(kstring* s, const kstring* set) {
  return kstring_remove_chars_cstr(s, kstring_text(set));
}

int kstring_compare(const kstring* a, const kstring* b) {
  return strcmp(kstring_text(a), kstring_text(b));
}

int kstring_compare_cstr(const kstring* a, const char* b) {
  return strcmp(kstring_text(a), b);
}

static int ascii_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

int kstring_icompare_text(const char* a, const char* b) {
  // ASCII letters only, as in the C locale, whatever the process locale.
  for (;; ++a, ++b) {
    int ca = ascii_lower(static_cast<unsigned char>(*a));
    int cb = ascii_lower(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

int kstring_icompare(const kstring* a, const kstring* b) {
  return kstring_icompare_text(kstring_text(a), kstring_text(b));
}

int kstring_icompare_cstr(const kstring* a, const char* b) {
  return kstring_icompare_text(kstring_text(a), b);
}

int kstring_contains(const kstring* s, const kstring* what) {
  return strstr(kstring_text(s), kstring_text(what)) != nullptr;
}

int kstring_contains_cstr(const kstring* s, const char* what) {
  return strstr(kstring_text(s), what) != nullptr;
}

int kstring_char_index(const char* text, char c, uint32_t* index) {
  for (uint32_t i = 0; text[i]; ++i) {
    if (text[i] == c) {
      *index = i;
      return 1;
    }
  }
  return 0;
}

int kstring_find_char(const kstring* s, char c, uint32_t* index) {
  return kstring_char_index(kstring_text(s), c, index);
}

int kstring_has_char(const kstring* s, char c) {
  uint32_t i;
  return kstring_find_char(s, c, &i);
}

int kstring_token_cstr(const kstring* src, const char* seps, int32_t n, kstring* out) {
  if (n < 0) return 0;
  const char* text = kstring_text(src);
  uint32_t start = 0;
  // The walk includes the terminator position: the text's end ends the last token.
  for (uint32_t i = 0; i <= src->length; ++i) {
    char c = text[i];
    if (c != '\0' && !strchr(seps, c)) continue;
    if (n == 0) return kstring_assign_bytes(out, text + start, i - start) ? 1 : 0;
    --n;
    start = i + 1;
    if (c == '\0') break;
  }
  return 0;
}

int kstring_token(const kstring* src, const kstring* seps, int32_t n, kstring* out) {
  return kstring_token_cstr(src, kstring_text(seps), n, out);
}

int kstring_wildmatch_cstr(const char* t, const char* p, int case_sensitive) {
  // Iterative form of the recursive rule set: a '*' first tries to match
  // nothing, and on a later mismatch swallows one more character. Only the
  // most recent star needs revisiting, which keeps hostile patterns linear
  // per star instead of exponential.
  const char* star_p = nullptr;
  const char* star_t = nullptr;
  for (;;) {
    if (*t == '\0') {
      // An empty remainder matches only a single trailing star ("**" does not).
      if (*p == '\0' || (p[0] == '*' && p[1] == '\0')) return 1;
    } else if (*p == '*') {
      star_p = p++;
      star_t = t;
      continue;
    } else if (*p != '\0') {
      char a = *t, b = *p;
      if (!case_sensitive) {
        a = static_cast<char>(toupper(static_cast<unsigned char>(a)));
        b = static_cast<char>(toupper(static_cast<unsigned char>(b)));
      }
      if (*p == '?' || a == b) {
        ++t;
        ++p;
        continue;
      }
    }
    if (!star_p || *star_t == '\0') return 0;
    // Backtrack: the last star takes one more character of the text. A star
    // that reaches the end of the text matches only when it ends the pattern.
    t = ++star_t;
    if (*t == '\0') return star_p[1] == '\0';
    p = star_p + 1;
  }
}

int kstring_wildmatch(const kstring* text, const kstring* pattern, int case_sensitive) {
  return kstring_wildmatch_cstr(kstring_text(text), kstring_text(pattern), case_sensitive);
}

static bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

void kstring_trim_left(kstring* s) {
  char* t = kstring_text(s);
  uint32_t i = 0;
  while (i < s->length && is_blank(t[i])) ++i;
  if (i == 0) return;
  memmove(t, t + i, s->length - i);
  kstring_set_length(s, s->length - i);
}

void kstring_trim_right(kstring* s) {
  char* t = kstring_text(s);
  uint32_t n = s->length;
  while (n > 0 && (is_blank(t[n - 1]) || t[n - 1] == '\r' || t[n - 1] == '\n')) --n;
  kstring_set_length(s, n);
}

void kstring_trim(kstring* s) {
  kstring_trim_left(s);
  kstring_trim_right(s);
}

void kstring_chomp(kstring* s) {
  char* t = kstring_text(s);
  uint32_t n = s->length;
  while (n > 0 && (t[n - 1] == '\r' || t[n - 1] == '\n')) --n;
  kstring_set_length(s, n);
}

int32_t kstring_to_int_cstr(const char* p) {
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  // Unsigned arithmetic: overflow wraps instead of being undefined.
  uint32_t v = 0;
  while (*p >= '0' && *p <= '9') v = v * 10u + static_cast<uint32_t>(*p++ - '0');
  if (neg) v = 0u - v;
  return static_cast<int32_t>(v);
}

int32_t kstring_to_int(const kstring* s) {
  return kstring_to_int_cstr(kstring_text(s));
}

uint32_t kstring_path_join_cstr(kstring* out, const kstring* dir, const char* name) {
  uint32_t ok = kstring_assign(out, dir);
  if (ok && (out->length == 0 || kstring_text(out)[out->length - 1] != '/'))
    ok = kstring_append_char(out, '/');
  return ok && kstring_append_cstr(out, name);
}

uint32_t kstring_path_join(kstring* out, const kstring* dir, const kstring* name) {
  return kstring_path_join_cstr(out, dir, kstring_text(name));
}

uint32_t kstring_path_dir(const kstring* path, kstring* out) {
  kstring_clear(out);
  const char* t = kstring_text(path);
  uint32_t ok = 1;
  uint32_t root = kstring_path_root(t);
  for (uint32_t i = 0; i < root; ++i)
    ok = ok && kstring_append_char(out, t[i] == '\\' ? '/' : t[i]);
  // Every component but the last, skipping empty ones, each followed by '/'.
  uint32_t start = root;
  for (uint32_t i = root; i < path->length; ++i) {
    if (t[i] != '/' && t[i] != '\\') continue;
    if (i > start) {
      ok = ok && kstring_append_bytes(out, t + start, i - start);
      ok = ok && kstring_append_char(out, '/');
    }
    start = i + 1;
  }
  return ok;
}

uint32_t kstring_path_base(const kstring* path, kstring* out) {
  const char* t = kstring_text(path);
  uint32_t start = kstring_path_root(t);
  for (uint32_t i = start; i < path->length; ++i)
    if (t[i] == '/' || t[i] == '\\') start = i + 1;
  return kstring_assign_bytes(out, t + start, path->length - start);
}

uint32_t kstring_path_ext(const kstring* path, kstring* out) {
  const char* t = kstring_text(path);
  uint32_t start = 0;
  for (uint32_t i = 0; i < path->length; ++i)
    if (t[i] == '.') start = i + 1;
  return kstring_assign_bytes(out, t + start, path->length - start);
}

uint32_t kstring_path_stem(const kstring* path, kstring* out) {
  kstring base;
  kstring_init(&base);
  uint32_t ok = kstring_path_base(path, &base) && kstring_token_cstr(&base, ".", 0, out);
  kstring_free(&base);
  return ok;
}

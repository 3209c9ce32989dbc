// kstring: the one text type of vardo.
//
// A kstring holds its text in a 128-byte inline buffer and moves to a heap
// buffer once the text no longer fits; it never shrinks back. No pointer into
// the record itself is ever stored, so a kstring may be moved byte by byte
// (karray does this), but it is copied only with kstring_assign. The record
// owns its heap buffer; kstring_free releases it. One thread at a time.
//
// Results: operations that may allocate return 1 on success and 0 when no
// memory is available (the string is then left as it was, except formatting,
// which leaves the truncated text). Comparisons return <0, 0, >0. Predicates
// return 1 or 0. Names ending in _cstr take a NUL-terminated text where the
// base operation takes a kstring.
#pragma once

#include <cstdarg>
#include <cstdint>

#define KSTRING_INLINE_SIZE 128
#define KSTRING_FORMAT_STEP 1024
#define KSTRING_FORMAT_LIMIT 65536

struct kstring {
  uint32_t length;     // characters held, terminator not counted
  uint32_t heap_size;  // bytes of heap_buf; 0 while inline_buf is used
  char inline_buf[KSTRING_INLINE_SIZE];
  char* heap_buf;
};

// Life cycle and storage.
int kstring_init(kstring* s);   // always 0
void kstring_free(kstring* s);  // init again before further use
void kstring_clear(kstring* s);
char* kstring_text(kstring* s);
const char* kstring_text(const kstring* s);
uint32_t kstring_capacity(const kstring* s);
uint32_t kstring_reserve(kstring* s, uint32_t n);  // capacity >= n (NUL included)
uint32_t kstring_grow(kstring* s, uint32_t n);
void kstring_set_length(kstring* s, uint32_t n);  // caller reserved n + 1
// Capacity >= n, doubling the current capacity (but not beyond limit, nor
// below n) when it must grow, so that a text built by many small appends up
// to limit bytes is copied a few times rather than once per append. 1, or 0
// without memory.
uint32_t kstring_reserve_ahead(kstring* s, uint32_t n, uint32_t limit);

// Assignment and appending.
uint32_t kstring_assign_bytes(kstring* s, const void* bytes, uint32_t count);
uint32_t kstring_assign(kstring* s, const kstring* src);
uint32_t kstring_assign_cstr(kstring* s, const char* text);
uint32_t kstring_assign_prefix(kstring* s, const kstring* src, uint32_t count);
uint32_t kstring_substr(const kstring* src, uint32_t start, uint32_t count, kstring* dst);
uint32_t kstring_append_bytes(kstring* s, const void* bytes, uint32_t count);
uint32_t kstring_append(kstring* s, const kstring* src);
uint32_t kstring_append_cstr(kstring* s, const char* text);
uint32_t kstring_append_char(kstring* s, char c);
uint32_t kstring_vformat(kstring* s, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));
uint32_t kstring_format(kstring* s, const char* format, ...) __attribute__((format(printf, 2, 3)));
uint32_t kstring_replace_cstr(kstring* s, const char* what, const char* with);
uint32_t kstring_replace_with(kstring* s, const char* what, const kstring* with);
uint32_t kstring_replace(kstring* s, const kstring* what, const kstring* with);
uint32_t kstring_remove_chars_cstr(kstring* s, const char* set);
uint32_t kstring_remove_chars(kstring* s, const kstring* set);

// Comparison and search.
int kstring_compare(const kstring* a, const kstring* b);
int kstring_compare_cstr(const kstring* a, const char* b);
int kstring_icompare(const kstring* a, const kstring* b);
int kstring_icompare_cstr(const kstring* a, const char* b);
// Two plain texts, ASCII letters compared without case.
int kstring_icompare_text(const char* a, const char* b);
int kstring_contains(const kstring* s, const kstring* what);
int kstring_contains_cstr(const kstring* s, const char* what);
int kstring_char_index(const char* text, char c, uint32_t* index);
int kstring_find_char(const kstring* s, char c, uint32_t* index);
int kstring_has_char(const kstring* s, char c);
// Token n of src cut at every character of seps; adjacent separators give
// empty tokens. 1 with the token in out, 0 (out untouched) when there is none.
int kstring_token_cstr(const kstring* src, const char* seps, int32_t n, kstring* out);
int kstring_token(const kstring* src, const kstring* seps, int32_t n, kstring* out);
// '*' and '?' wildcards; case_sensitive 0 compares letters case-insensitively.
int kstring_wildmatch_cstr(const char* text, const char* pattern, int case_sensitive);
int kstring_wildmatch(const kstring* text, const kstring* pattern, int case_sensitive);

// Editing in place.
void kstring_trim_left(kstring* s);   // blanks and tabs
void kstring_trim_right(kstring* s);  // blanks, tabs, CR and LF
void kstring_trim(kstring* s);
void kstring_chomp(kstring* s);  // trailing CR and LF

// Leading blanks, optional sign, decimal digits; no digits give 0.
int32_t kstring_to_int(const kstring* s);
int32_t kstring_to_int_cstr(const char* text);

// Paths: '/' and '\' both separate; results use '/'. out is never an input.
uint32_t kstring_path_join_cstr(kstring* out, const kstring* dir, const char* name);
uint32_t kstring_path_join(kstring* out, const kstring* dir, const kstring* name);
// The length of path's root, 0 for a relative path: a leading '/'; on
// Windows also a leading '\', a drive ("C:" 2, "C:\" 3) and a share
// ("\\host\share\"). Absolute paths are those with a root.
uint32_t kstring_path_root(const char* path);
// Directory part: the root, with '/' for each '\' in it, then each component
// followed by '/'; so absolute paths stay absolute.
uint32_t kstring_path_dir(const kstring* path, kstring* out);
uint32_t kstring_path_base(const kstring* path, kstring* out);
uint32_t kstring_path_ext(const kstring* path, kstring* out);
uint32_t kstring_path_stem(const kstring* path, kstring* out);

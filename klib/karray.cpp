#include "klib/karray.h"

#include <cstdlib>
#include <cstring>

int karray_init(karray* a, uint32_t elem_size, uint32_t grow_step) {
  a->elem_size = elem_size;
  a->count = 0;
  a->capacity = 0;
  a->grow_step = grow_step;
  a->data = nullptr;
  return 1;
}

void karray_free(karray* a) {
  free(a->data);
  a->data = nullptr;
}

void karray_each(karray* a, karray_elem_fn fn) {
  for (uint32_t i = 0; i < a->count; ++i) fn(karray_get(a, i));
}

void karray_destroy(karray* a, karray_elem_fn fn) {
  karray_each(a, fn);
  karray_free(a);
}

void karray_clear(karray* a) {
  a->count = 0;
}

void karray_clear_each(karray* a, karray_elem_fn fn) {
  karray_each(a, fn);
  karray_clear(a);
}

static int karray_grow(karray* a, uint32_t n) {
  uint64_t cap = n <= static_cast<uint64_t>(a->capacity) + a->grow_step
                     ? static_cast<uint64_t>(a->capacity) + a->grow_step
                     : n;
  uint64_t bytes = cap * a->elem_size;
  if (cap > UINT32_MAX || bytes > SIZE_MAX) return 0;
  void* data = realloc(a->data, bytes ? static_cast<size_t>(bytes) : 1);
  if (!data) return 0;
  a->data = data;
  a->capacity = static_cast<uint32_t>(cap);
  return 1;
}

int karray_reserve(karray* a, uint32_t n) {
  if (n <= a->capacity) return 1;
  return karray_grow(a, n);
}

void* karray_append(karray* a) {
  if (a->count == UINT32_MAX || !karray_reserve(a, a->count + 1)) return nullptr;
  return karray_get(a, a->count++);
}

void* karray_get(const karray* a, uint32_t i) {
  return static_cast<char*>(a->data) + static_cast<size_t>(i) * a->elem_size;
}

void karray_pop(karray* a) {
  if (a->count > 0) --a->count;
}

void karray_pop_each(karray* a, karray_elem_fn fn) {
  if (a->count == 0) return;
  fn(karray_get(a, a->count - 1));
  --a->count;
}

void karray_remove(karray* a, uint32_t i) {
  if (a->count == 0) return;
  size_t tail = static_cast<size_t>(a->count - i - 1) * a->elem_size;
  if (tail) memmove(karray_get(a, i), karray_get(a, i + 1), tail);
  --a->count;
}

void karray_remove_each(karray* a, uint32_t i, karray_elem_fn fn) {
  if (a->count == 0) return;
  fn(karray_get(a, i));
  karray_remove(a, i);
}

int karray_search(const karray* a, const void* key, uint32_t* index, karray_compare_fn cmp) {
  for (uint32_t i = 0; i < a->count; ++i) {
    if (cmp(karray_get(a, i), key) == 0) {
      *index = i;
      return 1;
    }
  }
  return 0;
}

void* karray_find(const karray* a, const void* key, karray_compare_fn cmp) {
  uint32_t i;
  return karray_search(a, key, &i, cmp) ? karray_get(a, i) : nullptr;
}

static void kstring_free_elem(void* e) {
  kstring_free(static_cast<kstring*>(e));
}

int kstrlist_init_step(kstrlist* l, uint32_t grow_step) {
  l->grow_step = grow_step;
  return karray_init(&l->items, sizeof(kstring), grow_step);
}

int kstrlist_init(kstrlist* l) {
  return kstrlist_init_step(l, 10);
}

void kstrlist_free(kstrlist* l) {
  karray_destroy(&l->items, kstring_free_elem);
}

void kstrlist_clear(kstrlist* l) {
  kstrlist_free(l);
  kstrlist_init_step(l, l->grow_step);
}

kstring* kstrlist_add(kstrlist* l) {
  kstring* s = static_cast<kstring*>(karray_append(&l->items));
  if (s) kstring_init(s);
  return s;
}

kstring* kstrlist_get(const kstrlist* l, uint32_t i) {
  return static_cast<kstring*>(karray_get(&l->items, i));
}

uint32_t kstrlist_count(const kstrlist* l) {
  return l->items.count;
}

const char* kstrlist_text(const kstrlist* l, uint32_t i) {
  return kstring_text(kstrlist_get(l, i));
}

static int compare_string(const void* elem, const void* key) {
  return kstring_compare(static_cast<const kstring*>(elem), static_cast<const kstring*>(key));
}

static int compare_text(const void* elem, const void* key) {
  return kstring_compare_cstr(static_cast<const kstring*>(elem), static_cast<const char*>(key));
}

int kstrlist_find(const kstrlist* l, const kstring* s, uint32_t* index) {
  return karray_search(&l->items, s, index, compare_string);
}

int kstrlist_find_text(const kstrlist* l, const char* text, uint32_t* index) {
  return karray_search(&l->items, text, index, compare_text);
}

int kstrlist_contains(const kstrlist* l, const kstring* s) {
  uint32_t i;
  return kstrlist_find(l, s, &i);
}

int kstrlist_contains_text(const kstrlist* l, const char* text) {
  uint32_t i;
  return kstrlist_find_text(l, text, &i);
}

void kstrlist_split_append(kstrlist* l, const kstring* src, const char* seps) {
  kstring token;
  kstring_init(&token);
  for (int32_t n = 0; kstring_token_cstr(src, seps, n, &token); ++n) {
    kstring* s = kstrlist_add(l);
    if (s) kstring_assign(s, &token);
  }
  kstring_free(&token);
}

void kstrlist_split(kstrlist* l, const kstring* src, const char* seps) {
  kstrlist_clear(l);
  kstrlist_split_append(l, src, seps);
}

// karray: the growable array of fixed-size elements stored by value, and
// kstrlist, the list of kstring values built on it.
//
// Elements live in one block that grows by grow_step elements; growth and
// removal move elements byte by byte, so element types must not point into
// themselves. A pointer to an element stays valid until the block is resized
// or an element at or before it is removed. The array owns the block, not
// what elements point to: element clean-up is a function the caller passes.
// kstrlist owns its strings. No index is checked: callers pass i < count.
// karray_reserve and karray_free leave the array usable only as stated.
#pragma once

#include <cstdint>

#include "klib/kstring.h"

struct karray {
  uint32_t elem_size;
  uint32_t count;
  uint32_t capacity;
  uint32_t grow_step;
  void* data;
};

typedef void (*karray_elem_fn)(void* elem);
// Returns 0 when the element matches the key.
typedef int (*karray_compare_fn)(const void* elem, const void* key);

int karray_init(karray* a, uint32_t elem_size, uint32_t grow_step);  // 1
void karray_free(karray* a);  // init again before further use
void karray_each(karray* a, karray_elem_fn fn);
void karray_destroy(karray* a, karray_elem_fn fn);
void karray_clear(karray* a);
void karray_clear_each(karray* a, karray_elem_fn fn);
void* karray_append(karray* a);             // new uninitialised last element, or null
int karray_reserve(karray* a, uint32_t n);  // 1 when capacity >= n
void* karray_get(const karray* a, uint32_t i);
void karray_pop(karray* a);
void karray_pop_each(karray* a, karray_elem_fn fn);
void karray_remove(karray* a, uint32_t i);
void karray_remove_each(karray* a, uint32_t i, karray_elem_fn fn);
int karray_search(const karray* a, const void* key, uint32_t* index, karray_compare_fn cmp);
void* karray_find(const karray* a, const void* key, karray_compare_fn cmp);

struct kstrlist {
  uint32_t grow_step;
  karray items;  // kstring elements
};

int kstrlist_init_step(kstrlist* l, uint32_t grow_step);  // 1
int kstrlist_init(kstrlist* l);                           // step 10
void kstrlist_free(kstrlist* l);
void kstrlist_clear(kstrlist* l);    // empty and usable again
kstring* kstrlist_add(kstrlist* l);  // new empty string, or null
kstring* kstrlist_get(const kstrlist* l, uint32_t i);
uint32_t kstrlist_count(const kstrlist* l);
const char* kstrlist_text(const kstrlist* l, uint32_t i);
int kstrlist_find(const kstrlist* l, const kstring* s, uint32_t* index);  // exact, case-sensitive
int kstrlist_find_text(const kstrlist* l, const char* text, uint32_t* index);
int kstrlist_contains(const kstrlist* l, const kstring* s);
int kstrlist_contains_text(const kstrlist* l, const char* text);
// Appends every token of src cut at the separator characters, empty ones included.
void kstrlist_split_append(kstrlist* l, const kstring* src, const char* seps);
void kstrlist_split(kstrlist* l, const kstring* src, const char* seps);

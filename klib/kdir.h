// kdir: the entries of one directory, filtered by a case-insensitive wildcard
// ('*', '?'). Names are bare (no directory part), in the order the file system
// returns them. The record owns its path. Results: 0, or 1 when the directory
// cannot be read (the list is then empty).
#pragma once

#include <cstdint>

#include "klib/karray.h"
#include "klib/kstring.h"

struct kdir {
  kstring path;  // with or without a trailing separator
};

uint32_t kdir_init(kdir* d, const kstring* path);  // 0
void kdir_free(kdir* d);
// Files when dirs is 0, sub-directories ('.' and '..' included) when 1.
// An empty pattern lists every entry of that kind.
uint32_t kdir_list(kdir* d, const kstring* pattern, int dirs, kstrlist* out);
uint32_t kdir_list_files(kdir* d, const kstring* pattern, kstrlist* out);
uint32_t kdir_list_dirs(kdir* d, const kstring* pattern, kstrlist* out);
uint32_t kdir_list_files_cstr(kdir* d, const char* pattern, kstrlist* out);

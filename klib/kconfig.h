// kconfig: settings read from a text file of "key = value" lines.
//
// The record remembers the path: every lookup opens the file, scans it from
// its first line and closes it again, so an edited file is seen by the next
// lookup and a missing file yields no values. '#' starts a comment; keys
// and values are trimmed; keys compare case-sensitively; a key may repeat and
// its occurrences count from 0 in file order. An empty value counts as no
// value. One lookup at a time per record (it holds the open file meanwhile).
// kconfig_read_pairs reads an already open file once, pair by pair.
#pragma once

#include <cstdint>

#include "klib/karray.h"
#include "klib/kfile.h"

struct kconfig {
  kfile file;
};

uint32_t kconfig_load(kconfig* c, const char* path);  // 0; the file is not opened
uint32_t kconfig_load_k(kconfig* c, const kstring* path);
void kconfig_free(kconfig* c);
// 1 and the value in out when occurrence n of key has a non-empty value;
// 0 with out unchanged otherwise (so callers store the default first).
uint32_t kconfig_get(kconfig* c, const char* key, uint32_t n, kstring* out);
// 1 and the leading decimal integer of occurrence 0; 0 with out unchanged.
uint32_t kconfig_get_int(kconfig* c, const char* key, int32_t* out);
// Clears out, then appends occurrences 0, 1, ... up to the first one without
// a value (an empty value ends the list), in one reading of the file.
void kconfig_get_list(kconfig* c, const char* key, kstrlist* out);

// Called with each pair in file order; false stops the reading.
typedef bool (*kconfig_pair_fn)(const kstring* key, const kstring* value, void* data);
// Reads the pairs of the open file source (from its position, in the syntax
// above, empty values included) and hands each to fn, holding only the line
// at hand. 0 when the file was read to its end or fn stopped; 1 when a read
// failed or more than max_bytes were met, its last line feed and dropped CRs
// aside (a longer line is not read whole).
uint32_t kconfig_read_pairs(kfile* source, uint64_t max_bytes, kconfig_pair_fn fn, void* data);

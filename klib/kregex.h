// kregex: POSIX extended regular expressions, always case-insensitive, matched
// anywhere in a text. A compiled expression is owned by its holder, valid from
// a successful kregex_compile to kregex_free, and used by one thread at a time.
// Both results report failure, as POSIX does: kregex_compile returns true when
// the pattern is invalid, kregex_match true when the text does NOT match.
#pragma once

#include <regex.h>

#include "klib/kstring.h"

struct kregex {
  regex_t re;
  bool compiled;
};

int kregex_libinit();  // 0: nothing to prepare
void kregex_libcleanup();
int kregex_init(kregex* r);                               // 0
bool kregex_compile(kregex* r, const kstring* pattern);   // true: invalid pattern
bool kregex_match(const kregex* r, const kstring* text);  // false: it matches
bool kregex_match_cstr(const kregex* r, const char* text);
void kregex_free(kregex* r);

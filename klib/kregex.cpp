#include "klib/kregex.h"

int kregex_libinit() {
  return 0;
}

void kregex_libcleanup() {}

int kregex_init(kregex* r) {
  r->compiled = false;
  return 0;
}

bool kregex_compile(kregex* r, const kstring* pattern) {
  kregex_free(r);
  // No sub-matches are ever asked for: REG_NOSUB lets the engine skip them.
  r->compiled = regcomp(&r->re, kstring_text(pattern), REG_EXTENDED | REG_ICASE | REG_NOSUB) == 0;
  return !r->compiled;
}

bool kregex_match_cstr(const kregex* r, const char* text) {
  if (!r->compiled) return true;
  return regexec(&r->re, text, 0, nullptr, 0) != 0;
}

bool kregex_match(const kregex* r, const kstring* text) {
  return kregex_match_cstr(r, kstring_text(text));
}

void kregex_free(kregex* r) {
  if (r->compiled) regfree(&r->re);
  r->compiled = false;
}

// Fuzzes the required-literal pre-check against the engine itself: input is
// a pattern, a NUL, then a text. Whenever the engine matches the text, the
// pre-check must have let the text through; it may never hide a hit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "klib/kregex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  size_t cut = in.find('\0');
  if (cut == std::string::npos || cut > 256) return 0;
  std::string pattern = in.substr(0, cut);
  std::string text = in.substr(cut + 1);
  text = text.substr(0, strlen(text.c_str()));
  kstring p;
  kstring_init(&p);
  kstring_assign_cstr(&p, pattern.c_str());
  kregex r;
  kregex_init(&r);
  if (!kregex_compile(&r, &p)) {
    bool matches = !kregex_match_cstr(&r, text.c_str());
    const char* b = text.c_str();
    const char* e = b + text.size();
    const char* cand = kregex_candidate(&r, b, e);
    if (matches && cand >= e && r.literal_length > 0) abort();
    if (cand < b || cand > e) abort();
  }
  kregex_free(&r);
  kstring_free(&p);
  return 0;
}

// Fuzzes the string helpers that take outside input: tokens, wildcard match,
// integer conversion, trimming and the path helpers. Input: a first byte that
// selects separators/flags, then a text and a pattern separated by a NUL.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "klib/kstring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t mode = data[0];
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t cut = rest.find('\0');
  std::string text = rest.substr(0, cut);
  std::string pattern = cut == std::string::npos ? std::string("*") : rest.substr(cut + 1);
  pattern = pattern.substr(0, strlen(pattern.c_str()));

  kstring s, out, pat;
  kstring_init(&s);
  kstring_init(&out);
  kstring_init(&pat);
  kstring_assign_bytes(&s, text.data(), static_cast<uint32_t>(text.size()));
  kstring_assign_cstr(&pat, pattern.c_str());

  // Tokens: joining them back with a single separator gives the text again.
  static const char* const kSeps[] = {" ", ",", ";", ".", ":", "/\\", " \t"};
  const char* seps = kSeps[mode % 7];
  if (strlen(seps) == 1 && strlen(text.c_str()) == text.size()) {
    std::string joined;
    int32_t n = 0;
    for (; kstring_token_cstr(&s, seps, n, &out); ++n) {
      if (n) joined += seps[0];
      joined.append(kstring_text(&out), out.length);
    }
    if (n < 1 || joined != text) abort();
  }
  kstring_token_cstr(&s, seps, static_cast<int32_t>(mode) - 128, &out);

  kstring_wildmatch_cstr(kstring_text(&s), pattern.c_str(), mode & 1);
  kstring_wildmatch(&s, &pat, 0);
  // A star alone matches every text; the text matches itself when it has no wildcard.
  if (!kstring_wildmatch_cstr(kstring_text(&s), "*", 1)) abort();
  if (!strpbrk(kstring_text(&s), "*?") &&
      !kstring_wildmatch_cstr(kstring_text(&s), kstring_text(&s), 1))
    abort();

  kstring_to_int(&s);
  kstring_path_dir(&s, &out);
  kstring_path_base(&s, &out);
  kstring_path_ext(&s, &out);
  kstring_path_stem(&s, &out);
  kstring_path_join(&out, &s, &pat);
  kstring_replace(&s, &pat, &s);
  kstring_remove_chars(&s, &pat);
  kstring_trim(&s);
  kstring_chomp(&s);
  kstring_format(&out, "%s|%s", kstring_text(&s), kstring_text(&pat));

  kstring_free(&pat);
  kstring_free(&out);
  kstring_free(&s);
  return 0;
}

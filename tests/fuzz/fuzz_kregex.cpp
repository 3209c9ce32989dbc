// Fuzzes the engine against the C library's regexec. Input: a pattern, a
// NUL, a text, and optionally more patterns each after a NUL. Every pattern
// is compiled and matched; those the library answers right and in time (see
// askable) must be accepted alike and answer the text alike, the set of them
// must answer with the first that matches, on the text and line by line
// over it, and the required-literal pre-check must never hide a match.
// Aborts on any difference.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "klib/kregex.h"
#include "klib/kregex_internal.h"
#include "tests/support/regex_oracle.h"

namespace {

// Not asked: back-references and escaped lower-case letters, assertions
// beside '+' or an interval, and stacked, many or long repetitions.
bool askable(const std::string& p) {
  if (p.size() > 256 || std::count(p.begin(), p.end(), '{') > 3) return false;
  bool asserts = p.find_first_of("^$") != std::string::npos, repeats = false;
  long most = 1;  // the largest repetition count: the library's compile time grows with it
  for (size_t i = 0; i < p.size(); ++i) {
    char c = p[i], next = i + 1 < p.size() ? p[i + 1] : 0;
    if (c == '{' || c == ',') most = std::max(most, strtol(p.c_str() + i + 1, nullptr, 10));
    if (c == '\\' && (isdigit(static_cast<unsigned char>(next)) ||
                      (islower(static_cast<unsigned char>(next)) && !strchr("wsb", next))))
      return false;
    asserts = asserts || (c == '\\' && strchr("bB<>`'", next) && next);
    repeats = repeats || c == '+' || c == '{';
    if (strchr("*+?{}", c) && c && next && strchr("*+?{", next)) return false;
  }
  return !(asserts && repeats) && most * static_cast<long>(p.size()) <= 4000;
}

// kregex_match's answer on text up to its first NUL: true when it does not match.
bool no_match(const kregex* r, const std::string& text) {
  kstring t;
  kstring_init(&t);
  kstring_assign_cstr(&t, text.c_str());
  bool none = kregex_match(r, &t);
  kstring_free(&t);
  return none;
}

[[noreturn]] void differ(const std::string& pattern, const std::string& text, const char* what) {
  fprintf(stderr, "pattern '%s' text '%s': %s\n", pattern.c_str(), text.c_str(), what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> field(1);
  for (size_t i = 0; i < size; ++i)
    data[i] ? field.back() += static_cast<char>(data[i]) : field.emplace_back();
  if (field.size() < 2 || field.size() > 6) return 0;
  std::string text = field[1];
  field.erase(field.begin() + 1);
  std::vector<kregex> regs(field.size());
  std::vector<const kregex*> set;
  std::vector<std::unique_ptr<regex_oracle::Reference>> refs;
  bool newline = text.find('\n') != std::string::npos;  // the library is not asked the whole text
  for (size_t m = 0; m < field.size(); ++m) {
    const std::string& pattern = field[m];
    kregex_init(&regs[m]);
    kstring p;
    kstring_init(&p);
    kstring_assign_cstr(&p, pattern.c_str());
    bool invalid = kregex_compile(&regs[m], &p);
    kstring_free(&p);
    if (!invalid) no_match(&regs[m], text);
    if (!askable(pattern)) continue;
    auto ref = std::make_unique<regex_oracle::Reference>(pattern);
    // The engine's bounds on unrolled intervals and nesting may refuse more.
    bool bounded = pattern.find('{') != std::string::npos ||
                   std::count(pattern.begin(), pattern.end(), '(') > KREGEX_DEPTH_MAX;
    if (invalid && ref->valid && !bounded) differ(pattern, text, "only the library accepts it");
    if (!invalid && !ref->valid) differ(pattern, text, "only the engine accepts it");
    if (invalid || !ref->valid) continue;
    bool expect = ref->answer(text) == 1;
    if (!newline && !no_match(&regs[m], text) != expect)
      differ(pattern, text, expect ? "the library matches" : "the library does not match");
    const char* end = text.c_str() + text.size();
    if (!newline && expect && regs[m].literal_length &&
        kregex_candidate(&regs[m], text.c_str(), end) == end)
      differ(pattern, text, "the pre-check hides a match");
    set.push_back(&regs[m]);
    refs.push_back(std::move(ref));
  }
  auto first = [&](const std::string& t) {
    for (size_t k = 0; k < refs.size(); ++k)
      if (refs[k]->answer(t) == 1) return static_cast<int32_t>(k);
    return int32_t{-1};
  };
  kregex_set s;
  kregex_set_init(&s);
  if (!set.empty() && !kregex_set_build(&s, set.data(), static_cast<uint32_t>(set.size()))) {
    if (!newline && kregex_set_match(&s, text.data(), text.size()) != first(text))
      differ(field[0], text, "the set's answer differs");
    // The text as a block of lines: the first line that a member matches.
    std::string block = text + "\n";
    const char* line = nullptr;
    const char* line_end = nullptr;
    int32_t got = kregex_set_find(&s, block.data(), block.data() + block.size(), &line, &line_end);
    int32_t expect = -1;
    size_t at = 0;
    for (; at < block.size() && (expect = first(block.substr(at, block.find('\n', at) - at))) < 0;)
      at = block.find('\n', at) + 1;
    if (got != expect || (got >= 0 && (line != block.data() + at ||
                                       line_end != block.data() + block.find('\n', at))))
      differ(field[0], text, "the set finds another line or member");
  }
  kregex_set_free(&s);
  for (kregex& r : regs) kregex_free(&r);
  return 0;
}

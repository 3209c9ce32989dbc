// Regular expressions: every answer of the engine against the C library's
// regexec (the reference) on generated patterns and texts, the places where
// the reference is known to be wrong, the set matcher against the single
// expressions, and the required-literal pre-check, which must never change
// an answer.
#include "klib/kregex.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/regex_oracle.h"

namespace {

using regex_oracle::Generator;
using regex_oracle::Reference;

struct Regex {
  explicit Regex(const std::string& pattern) {
    kregex_init(&r);
    kstring p;
    kstring_init(&p);
    kstring_assign_cstr(&p, pattern.c_str());
    invalid = kregex_compile(&r, &p);
    kstring_free(&p);
  }
  ~Regex() { kregex_free(&r); }
  bool matches(const std::string& text) const { return !kregex_match_cstr(&r, text.c_str()); }
  kregex r;
  bool invalid;
};

std::string literal_of(const std::string& pattern) {
  char out[KREGEX_LITERAL_MAX];
  uint32_t n = kregex_required_literal(pattern.c_str(), out, sizeof out);
  return std::string(out, n);
}

std::string shown(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out.size() > 200 ? out.substr(0, 200) + "..." : out;
}

// Why the engine may refuse a pattern that the reference accepts, or
// nullptr when it may not.
const char* refused_by_design(const std::string& pattern) {
  if (regex_oracle::has_back_reference(pattern)) return "back-reference";
#ifdef KREGEX_PROG_MAX
  if (regex_oracle::unrolled_size(pattern) > KREGEX_PROG_MAX / 4) return "over the size limit";
#else
  if (kregex_pattern_too_costly(pattern.c_str())) return "too costly";
#endif
  return nullptr;
}

// Generated patterns (groups, empty alternatives, brackets and classes,
// escapes, operators, anchors anywhere, stacked quantifiers and intervals,
// syntax errors) on texts drawn from their own characters: compile
// acceptance and every match answer as the reference gives them.
TEST(KRegex, AnswersAsTheCLibraryDoes) {
  Generator g{{20261206}, {}, {}};
  long pairs = 0, matched = 0, refused = 0, invalid = 0, skipped = 0, failures = 0;
  for (int round = 0; round < 5000 && failures < 20; ++round) {
    g.make_pattern();
    const std::string& pattern = g.pattern;
    Reference ref(pattern);
#ifdef KREGEX_PROG_MAX
    Regex re(pattern);
#else
    Regex re(regex_oracle::reference_pattern(pattern));  // still the C library inside
#endif
    if (re.invalid && (!ref.valid || refused_by_design(pattern))) {
      invalid += !ref.valid;
      skipped += ref.valid;
      continue;
    }
    if (re.invalid != !ref.valid) {
      ++failures;
      ADD_FAILURE() << "pattern '" << shown(pattern) << "': the C library "
                    << (ref.valid ? "accepts" : "refuses") << " it, the engine does not";
      continue;
    }
    const std::string literal = literal_of(pattern);
    for (int k = 0; k < 21; ++k) {
      std::string text = k == 20 ? g.make_long_text() : g.make_text();
      bool expect = ref.answer(text) == 1;
      ++pairs;
      matched += expect;
      if (re.matches(text) != expect) {
        ++failures;
        ADD_FAILURE() << "pattern '" << shown(pattern) << "' text '" << shown(text)
                      << "': the C library " << (expect ? "matches" : "does not match");
      }
      if (expect && !literal.empty()) {
        const char* end = text.data() + text.size();
        EXPECT_NE(kregex_candidate(&re.r, text.data(), end), end) << shown(pattern);
      }
    }
    (void)refused;
  }
  EXPECT_GE(pairs, 100000);
  // The generator must keep both answers common, and some errors.
  EXPECT_GT(matched, pairs * 3 / 10) << matched << " of " << pairs;
  EXPECT_LT(matched, pairs * 6 / 10) << matched << " of " << pairs;
  EXPECT_GT(invalid, 100);
  printf("%ld pairs, %ld matched, %ld patterns both refuse, %ld skipped by design\n", pairs,
         matched, invalid, skipped);
}

}  // namespace

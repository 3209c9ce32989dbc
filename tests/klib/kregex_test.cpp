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

const char* refused_by_design(const std::string& pattern) {
  return regex_oracle::refused_by_design(pattern, KREGEX_PROG_MAX, KREGEX_DEPTH_MAX,
                                         KREGEX_TREE_MAX);
}

// Generated patterns (groups, empty alternatives, brackets and classes,
// escapes, operators, anchors anywhere, stacked quantifiers and intervals,
// syntax errors) on texts drawn from their own characters: compile
// acceptance and every match answer as the reference gives them.
TEST(KRegex, AnswersAsTheCLibraryDoes) {
  Generator g{{20261206}, {}, {}};
  long pairs = 0, matched = 0, refused = 0, invalid = 0, skipped = 0, failures = 0;
  for (int round = 0; round < 4000 && failures < 20; ++round) {
    g.make_pattern();
    const std::string& pattern = g.pattern;
    Regex re(pattern);
    if (regex_oracle::has_back_reference(pattern)) {  // refused by design
      EXPECT_TRUE(re.invalid) << shown(pattern);
      ++skipped;
      continue;
    }
    Reference ref(pattern);
    if (!ref.asked) {
      ++skipped;
      continue;
    }
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
    for (int k = 0; k < 40; ++k) {
      std::string text = k == 39 ? g.make_long_text() : g.make_text();
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

TEST(KRegex, RequiredLiteralIsDerivedOnlyWhereEveryMatchHoldsIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"error", "error"},
      {"Mixed CASE", "mixed case"},
      {"disk (full|failure)", "disk "},
      {"fail(ed|ure)", "fail"},
      {"(foo)?barbaz", "barbaz"},
      {"ab?cd", "cd"},
      {"ab+cd", "cd"},
      {"xa+?", "x"},
      {"x{2}yz", "yz"},
      {"ab{0}", "a"},
      {"[abc]def", "def"},
      {"[]x]yz", "yz"},
      {"[^]x]yz", "yz"},
      {"[[:alpha:]]+ing", "ing"},
      {"[\\]]tail", "\\]tail"},  // no escapes inside brackets
      {"\\.conf", ".conf"},
      {"\\w+ foo", " foo"},
      {"(a)\\1xyz", ""},  // back-references are refused
      {"^start", "start"},
      {"end$", "end"},
      {"a.b", "a"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"a|b", ""},
      {"(a|b)|c", ""},
      {"ab|", ""},
      {"x.|\\/&|", ""},
      {"abc)", "abc)"},
      {".*", ""},
      {"[a-z]+", ""},
  };
  for (auto& c : cases) EXPECT_EQ(literal_of(c.first), c.second) << c.first;
}

TEST(KRegex, CandidateFindsTheFirstOccurrenceAtEveryAlignment) {
  Regex r("xq7");  // a rare pivot, non-letter included
  Regex one("z");
  std::mt19937 rng(3);
  for (int round = 0; round < 3000; ++round) {
    std::string text(std::uniform_int_distribution<size_t>(0, 80)(rng), 'a');
    for (char& c : text) c = "aXxQq7z Z"[rng() % 9];
    size_t b = text.empty() ? 0 : rng() % (text.size() + 1);
    for (const Regex* re : {&r, &one}) {
      const std::string lit = re == &r ? "xq7" : "z";
      size_t expect = text.size();
      for (size_t i = b; i + lit.size() <= text.size(); ++i) {
        bool same = true;
        for (size_t k = 0; k < lit.size(); ++k)
          same = same && tolower(static_cast<unsigned char>(text[i + k])) == lit[k];
        if (same) {
          expect = i;
          break;
        }
      }
      const char* got = kregex_candidate(&re->r, text.data() + b, text.data() + text.size());
      EXPECT_EQ(static_cast<size_t>(got - text.data()), expect) << text << " from " << b;
    }
  }
  Regex none("[a-z]+");
  std::string t = "abc";
  EXPECT_EQ(kregex_candidate(&none.r, t.data() + 1, t.data() + 3), t.data() + 1);
}

}  // namespace

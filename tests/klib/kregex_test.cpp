// Regular expressions: the matching rules, and the required-literal
// pre-check, which must never change what the engine itself answers.
#include "klib/kregex.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "klib/kthread.h"

namespace {

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
  kregex_required_literal(pattern.c_str(), out, sizeof out);
  return out;
}

TEST(KRegex, ExtendedCaseInsensitiveUnanchoredMatching) {
  Regex error("error");
  for (const char* t : {"error", "ERROR", "Fatal Error in module x"}) EXPECT_TRUE(error.matches(t));
  EXPECT_FALSE(error.matches("err or"));
  Regex start("^ERR");
  EXPECT_TRUE(start.matches("ERROR at start"));
  EXPECT_FALSE(start.matches(" ERROR"));
  Regex alt("a|b");
  EXPECT_TRUE(alt.matches("xxbxx"));
  EXPECT_FALSE(alt.matches("a|b") && !alt.matches("a"));
  EXPECT_TRUE(Regex("(unclosed").invalid);
  EXPECT_TRUE(Regex("[unclosed").invalid);
  EXPECT_TRUE(Regex(".*").matches(""));
  EXPECT_FALSE(Regex(".").matches(""));
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

// Random patterns from pieces chosen to stress the derivation (groups,
// alternation, brackets, escapes, quantifiers, anchors), on random short
// texts over a small alphabet so that many of them match.
// A line that anyone may write into a watched log must not hold the watch:
// searched from every position, each of these would take minutes on it.
TEST(KRegex, LongHostileLineIsMatchedInOnePass) {
  std::string line = "z" + std::string(256 * 1024, 'a');
  for (const char* pattern : {"a+z", "[a-z]+z", "(a|b|c|d)+z", "a*a+z"}) {
    Regex re(pattern);
    ASSERT_FALSE(re.invalid) << pattern;
    EXPECT_FALSE(re.matches(line)) << pattern;
    EXPECT_TRUE(re.matches(line + "z")) << pattern;
  }
  // A ')' that closes nothing is a plain character, as it stands.
  Regex paren("a)|b");
  EXPECT_TRUE(paren.matches("xa)x"));
  EXPECT_TRUE(paren.matches("b"));
  EXPECT_FALSE(paren.matches("a"));
}

int compile_deepest(void* out) {
  std::string p = std::string(KREGEX_DEPTH_MAX, '(') + "a+|b" + std::string(KREGEX_DEPTH_MAX, ')');
  *static_cast<bool*>(out) = !Regex(p).invalid && Regex(p).matches("xbx");
  return 0;
}

TEST(KRegex, DeepestAllowedNestingCompilesOnAWorkerThreadStack) {
  kthread t;
  kthread_init(&t);
  bool ok = false;
  kthread_start(&t, compile_deepest, 0, &ok);
  ASSERT_EQ(kthread_wait(&t, 10000), 0u);
  EXPECT_TRUE(ok);
}

}  // namespace

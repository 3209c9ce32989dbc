// Regular expressions: the engine against the C library's regexec on
// generated patterns and texts, single and as sets, by hand where the
// library is wrong or a filter is hostile, and the required-literal
// pre-check, which must never change an answer.
#include "klib/kregex.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "klib/kregex_internal.h"
#include "klib/kthread.h"
#include "support/regex_oracle.h"

namespace {

using regex_oracle::first_line_match;
using regex_oracle::first_match;
using regex_oracle::Generator;
using regex_oracle::Reference;
using regex_oracle::Refs;

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
  bool matches(const std::string& text) const {
    kstring t;
    kstring_init(&t);
    kstring_assign_cstr(&t, text.c_str());
    bool matched = !kregex_match(&r, &t);
    kstring_free(&t);
    return matched;
  }
  kregex r;
  bool invalid;
};

std::string shown(const std::string& s) {
  std::string out;
  for (unsigned char c : s.substr(0, 200)) {
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02x", c);
    out += c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : hex;
  }
  return out;
}

// Compile acceptance and every answer as the library gives them; where the
// pattern has a required literal, a text that matches holds it.
TEST(KRegex, AnswersAsTheCLibraryDoes) {
  Generator g{{20261206}};
  long pairs = 0, matched = 0, invalid = 0, failures = 0;
  for (int round = 0; round < 4400 && failures < 20; ++round) {
    g.make_pattern();
    Regex re(g.pattern);
    if (g.backref || !g.askable()) {
      EXPECT_TRUE(re.invalid || !g.backref || g.spoilt) << shown(g.pattern);
      continue;
    }
    Reference ref(g.pattern);
    invalid += !ref.valid;
    if (re.invalid != !ref.valid) {
      ++failures;
      ADD_FAILURE() << "pattern '" << shown(g.pattern) << "': the C library "
                    << (ref.valid ? "accepts" : "refuses") << " it, the engine does not";
    }
    if (re.invalid || !ref.valid || g.spoilt) continue;
    for (int k = 0; k < 40; ++k) {
      std::string text = g.make_text(k == 39);
      bool expect = ref.answer(text) == 1;
      ++pairs;
      matched += expect;
      if (re.matches(text) != expect && ++failures)
        ADD_FAILURE() << "pattern '" << shown(g.pattern) << "' text '" << shown(text)
                      << "': the C library " << (expect ? "matches" : "does not match");
      const char* end = text.data() + text.size();
      if (expect && re.r.literal_length)
        EXPECT_NE(kregex_candidate(&re.r, text.data(), end), end) << shown(g.pattern);
    }
  }
  EXPECT_GE(pairs, 100000);
  // The generator must keep both answers common, and some errors.
  EXPECT_GT(matched, pairs * 3 / 10) << matched << " of " << pairs;
  EXPECT_LT(matched, pairs * 2 / 3) << matched << " of " << pairs;
  EXPECT_GT(invalid, 100);
}

// Answers by hand (1 match, 0 none, -1 as the library answers): where the
// library is wrong, filters as people write them, and hostile ones, which
// backtracking engines take exponential or quadratic time on, against a
// line of 1 MiB of 'a' with "@" replaced by the text.
TEST(KRegex, FiltersByHandAndWhereTheCLibraryIsWrong) {
  const std::string mib(1 << 20, 'a');
  struct Case {
    const char* pattern;
    std::string text;
    int match;
  } cases[] = {
      {"\\a", "a", 1},  // an escaped lower-case letter: the library never matches
      {"x\\d", "XD", 1},
      {"(^.){2}", "ab", 0},  // an interval's copies of a group lose its anchor there
      {"a(|$.){2}@", "ad@", 0},
      {"a(.\\<){2}", "ad d@", 0},
      {"X((@$)*)+Y", "X@Y", 0},  // '+' copies its group too
      {".^", "a\nb", 0},         // '^' after a newline that the pattern takes
      {"x$\\s", "x\nb", 0},
      {"error", "Fatal Error in module x", 1},
      {"^ERR", " ERROR", 0},
      {".*", "", 1},
      {".", "", 0},
      {"a)|b", "xa)x", 1},  // a ')' that closes nothing is plain
      {"a)|b", "a", 0},
      {"user=.{1,1000}$", "USER=" + std::string(1200, 'r'), -1},
      {"x{600}", std::string(599, 'x'), 0},
      {"x{600}", std::string(600, 'X'), 1},
      {"(foo|)*bar", "foofoobar", 1},
      {"a+??", "b", 1},
      {"(\\<err)+", "xerr", 0},
      {"(\\<err)+", "an err", 1},
      {"(ab|cd|ef|gh){3,100}z", "xghghGHZ", 1},
      {"(ab|cd|ef|gh){3,100}z", "abcdz", 0},
      {"(error|fatal).{0,200}disk", "error" + std::string(201, ' ') + "disk", -1},
      {"[0-9]{1,3}(\\.[0-9]{1,3}){3}", "ip 10.0.0.1 up", -1},
      {"^(ERROR|WARN)[[:space:]]+[^ ]+ \\[[0-9]+\\]", "WARN  x [12]", -1},
      {"\\(a\\)\\{2\\}", "(a){2}", 1},
      {"(a|aa)*b", mib, 0},
      {"(x+x+)+y", mib + "xxy", 1},
      {".{1,1000}x", mib, 0},
      {".{1,1000}x", mib + "x", 1},
      {"(a|b|c|d)+z", mib + "z", 1},
      {"a*a+z", mib, 0},
      {"[a-z]+z", mib, 0},
      {"(a*)*c", mib, 0},
      {"(.*a){20}q", mib + "q", 1},
      {"(.*a){20}q", mib, 0},
  };
  for (const Case& c : cases) {
    Regex re(c.pattern);
    ASSERT_FALSE(re.invalid) << c.pattern;
    bool expect = c.match >= 0 ? c.match : Reference(c.pattern).answer(c.text) == 1;
    EXPECT_EQ(re.matches(c.text), expect) << c.pattern << " on " << shown(c.text);
  }
}

TEST(KRegex, RequiredLiteralIsDerivedOnlyWhereEveryMatchHoldsIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"Mixed CASE", "mixed case"},
      {"disk (full|failure)", "disk "},
      {"ab?cd", "cd"},
      {"xa+?", "x"},
      {"x{2}yz", "yz"},
      {"ab{0}", "a"},
      {"[]x]yz", "yz"},
      {"[[:alpha:]]+ing", "ing"},
      {"[\\]]tail", "\\]tail"},  // no escapes inside brackets
      {"\\.conf", ".conf"},
      {"\\w+ foo", " foo"},
      {"(a)\\1xyz", ""},  // back-references are refused
      {"^start", "start"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"ab|", ""},
      {"abc)", "abc)"},
      {"[a-z]+", ""},
  };
  for (auto& c : cases) {
    char out[KREGEX_LITERAL_MAX];
    uint32_t n = kregex_required_literal(c.first, out, sizeof out);
    EXPECT_EQ(std::string(out, n), c.second) << c.first;
  }
}

TEST(KRegex, CandidateFindsTheFirstOccurrenceAtEveryAlignment) {
  std::mt19937 rng(3);
  for (const char* lit : {"xq7", "z"}) {  // a rare pivot, non-letter included
    Regex re(lit);
    for (int round = 0; round < 3000; ++round) {
      std::string text(rng() % 81, 'a');
      for (char& c : text) c = "aXxQq7z Z"[rng() % 9];
      size_t b = rng() % (text.size() + 1), expect = text.size();
      std::string lower = text;
      for (char& c : lower) c = static_cast<char>(tolower(c));
      expect = std::min(expect, lower.find(lit, b));
      const char* got = kregex_candidate(&re.r, text.data() + b, text.data() + text.size());
      EXPECT_EQ(static_cast<size_t>(got - text.data()), expect) << text << " from " << b;
    }
  }
  Regex none("[a-z]+");
  std::string t = "abc";
  EXPECT_EQ(kregex_candidate(&none.r, t.data() + 1, t.data() + 3), t.data() + 1);
}

int compile_deepest(void* out) {
  std::string p = std::string(KREGEX_DEPTH_MAX, '(') + "a+|b" + std::string(KREGEX_DEPTH_MAX, ')');
  *static_cast<bool*>(out) =
      !Regex(p).invalid && Regex(p).matches("xbx") && Regex("(" + p + ")").invalid;
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

// Sets of 2 to 5 generated patterns: the set answers with the first member
// in table order that the library matches, on single texts and on blocks of
// lines (the first line that any member matches).
TEST(KRegex, SetAnswersWithTheFirstMemberTheLibraryMatches) {
  Generator g{{7}};
  long texts = 0, hits = 0;
  for (int round = 0; round < 600; ++round) {
    std::vector<std::unique_ptr<Regex>> regs;
    Refs refs;
    std::vector<const kregex*> members;
    std::vector<std::string> samples;
    uint32_t n = 2 + g.rng.below(4);
    while (members.size() < n) {
      g.make_pattern();
      if (g.backref || g.spoilt || !g.askable()) continue;
      auto re = std::make_unique<Regex>(g.pattern);
      auto ref = std::make_unique<Reference>(g.pattern);
      if (re->invalid || !ref->valid) continue;
      members.push_back(&re->r);
      samples.push_back(g.sample);
      regs.push_back(std::move(re));
      refs.push_back(std::move(ref));
    }
    kregex_set set;
    kregex_set_init(&set);
    ASSERT_FALSE(kregex_set_build(&set, members.data(), n));
    std::string block;
    std::vector<size_t> starts;
    for (int k = 0; k < 8; ++k) {
      g.sample = samples[g.rng.below(n)];
      std::string t = g.make_text();
      int32_t expect = first_match(refs, t);
      ++texts;
      hits += expect >= 0;
      ASSERT_EQ(kregex_set_match(&set, t.data(), t.size()), expect) << shown(t);
      starts.push_back(block.size());
      block += t + "\n";
    }
    // The block, and each of its tails, as the watch hands lines over.
    for (size_t from : starts) {
      size_t expect_at = 0;
      int32_t expect = first_line_match(refs, block, from, &expect_at);
      const char* line = nullptr;
      const char* line_end = nullptr;
      int32_t got =
          kregex_set_find(&set, block.data() + from, block.data() + block.size(), &line, &line_end);
      ASSERT_EQ(got, expect) << shown(block.substr(from));
      if (got >= 0) {
        EXPECT_EQ(line, block.data() + expect_at);
        EXPECT_EQ(line_end, block.data() + block.find('\n', expect_at));
      }
    }
    kregex_set_free(&set);
  }
  EXPECT_GT(hits, texts / 4);
  EXPECT_LT(hits, texts * 19 / 20);
}

}  // namespace

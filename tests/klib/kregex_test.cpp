// Regular expressions: every answer of the engine against the C library's
// regexec (the reference) on generated patterns and texts, the places where
// the reference is known to be wrong, the set matcher against the single
// expressions, and the required-literal pre-check, which must never change
// an answer.
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
  long pairs = 0, matched = 0, invalid = 0, skipped = 0, failures = 0;
  for (int round = 0; round < 4200 && failures < 20; ++round) {
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
  }
  EXPECT_GE(pairs, 100000);
  // The generator must keep both answers common, and some errors.
  EXPECT_GT(matched, pairs * 3 / 10) << matched << " of " << pairs;
  EXPECT_LT(matched, pairs * 6 / 10) << matched << " of " << pairs;
  EXPECT_GT(invalid, 100);
  printf(
      "%ld pairs, %ld matched, %ld patterns both refuse, %ld skipped (refused by design, or too "
      "costly for the C library)\n",
      pairs, matched, invalid, skipped);
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

// Where the C library answers wrong, the engine answers as the syntax
// says; the differential tests ask the library around these faults (see
// regex_oracle::reference_pattern). The library's answer is checked too:
// once it is fixed, its workaround can go.
TEST(KRegex, WhereTheCLibraryIsWrongTheEngineAnswersRight) {
  struct Case {
    const char* pattern;
    const char* text;
    bool library, engine;
    const char* why;
  };
  const Case cases[] = {
      {"\\a", "a", false, true, "escaped lower-case letter: compared unfolded to a folded text"},
      {"x\\d", "XD", false, true, "the same for any letter that is no operator"},
      {"\\A", "a", true, true, "an upper-case one folds"},
      {"(^.){2}", "ab", true, false, "an interval's copies of a group lose its anchor"},
      {"a(|$.){2}@", "ad@", true, false, "the same inside an alternative"},
      {"a(.\\<){2}", "ad d@", true, false, "the same for a word operator"},
      {"X((@$)*)+Y", "X@Y", true, false, "'+' copies its group too"},
      {"X((@$)*)((@$)*)*Y", "X@Y", false, false, "written out, the library is right"},
      {".^", "a\nb", true, false, "'^' after a newline that the pattern takes"},
      {"x$\\s", "x\nb", true, false, "'$' before one"},
      {"a^", "a\nb", false, false, "(not when the pattern does not take it)"},
  };
  for (const Case& c : cases) {
    regex_t raw;
    ASSERT_EQ(regcomp(&raw, c.pattern, regex_oracle::kFlags), 0) << c.pattern;
    EXPECT_EQ(regexec(&raw, c.text, 0, nullptr, 0) == 0, c.library) << c.pattern << ": " << c.why;
    regfree(&raw);
    Regex re(c.pattern);
    ASSERT_FALSE(re.invalid) << c.pattern;
    EXPECT_EQ(re.matches(c.text), c.engine) << c.pattern << ": " << c.why;
    if (!regex_oracle::reference_anchors_at_newline(c.pattern, c.text))
      EXPECT_EQ(Reference(c.pattern).answer(c.text), c.engine) << c.pattern;
  }
}

// Filters as people write them: accepted, and matched as the library does,
// whatever the cost of the same filter to the library's own engine.
TEST(KRegex, FiltersPeopleWriteAreAcceptedAndMatchAsTheLibraryDoes) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"error", {"error", "ERROR", "Fatal Error in module x", "err or"}},
      {"^ERR", {"ERROR at start", " ERROR"}},
      {"a|b", {"xxbxx", "c"}},
      {".*", {""}},
      {".", {""}},
      {"a)|b", {"xa)x", "b", "a"}},  // a ')' that closes nothing is plain
      {"user=.{1,1000}$", {"user=", "user=x", "login user=root", "USER=" + std::string(1200, 'r')}},
      {"a{0,600}", {"", "b"}},
      {"x{600}", {std::string(599, 'x'), std::string(600, 'X')}},
      {"(foo|)*bar", {"bar", "foofoobar", "fooba"}},
      {"a+??", {"", "b", "a"}},
      {"(\\<err)+", {"err", "xerr", "an err", "errerr"}},
      {"(ab|cd|ef|gh){0,100}", {"", "zz"}},
      {"(ab|cd|ef|gh){3,100}z", {"abcdz", "abcdefz", "xghghGHZ"}},
      {"(error|fatal).{0,200}disk", {"fatal: no disk", "error" + std::string(201, ' ') + "disk"}},
      {"[0-9]{1,3}(\\.[0-9]{1,3}){3}", {"ip 10.0.0.1 up", "10.0.0"}},
      {"^(ERROR|WARN)[[:space:]]+[^ ]+ \\[[0-9]+\\]", {"WARN  x [12]", "INFO x [1]"}},
      {"\\(a\\)\\{2\\}", {"(a){2}", "aa"}},
  };
  for (auto& c : cases) {
    Regex re(c.first);
    ASSERT_FALSE(re.invalid) << c.first;
    regex_t raw;
    ASSERT_EQ(regcomp(&raw, c.first, regex_oracle::kFlags), 0) << c.first;
    for (const std::string& t : c.second)
      EXPECT_EQ(re.matches(t), regexec(&raw, t.c_str(), 0, nullptr, 0) == 0)
          << c.first << " on " << shown(t);
    regfree(&raw);
  }
}

// A line that anyone may write into a watched log must not hold the watch:
// patterns that backtracking engines take exponential or quadratic time on
// answer a 1 MiB line (the test's timeout is the guard), and answer right.
TEST(KRegex, HostilePatternsOnAMebibyteLineAnswerRight) {
  std::string line(1 << 20, 'a');
  const std::pair<const char*, const char*> cases[] = {
      {"(a|aa)*b", "b"}, {"(x+x+)+y", "xxy"}, {".{1,1000}x", "x"}, {"(a|b|c|d)+z", "z"},
      {"a*a+z", "z"},    {"[a-z]+z", "z"},    {"(a*)*c", "c"},     {"(.*a){20}q", "q"},
  };
  for (auto& c : cases) {
    Regex re(c.first);
    ASSERT_FALSE(re.invalid) << c.first;
    EXPECT_FALSE(re.matches(line)) << c.first;
    std::string hit = line + c.second;
    hit[10] = 'x';
    EXPECT_TRUE(re.matches(hit)) << c.first;
  }
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
  Generator g{{7}, {}, {}};
  long texts = 0, hits = 0;
  for (int round = 0; round < 600; ++round) {
    std::vector<std::unique_ptr<Regex>> regs;
    std::vector<std::unique_ptr<Reference>> refs;
    std::vector<const kregex*> members;
    std::vector<std::string> samples;
    uint32_t n = 2 + g.rng.below(4);
    while (members.size() < n) {
      g.make_pattern();
      if (regex_oracle::has_back_reference(g.pattern)) continue;
      auto re = std::make_unique<Regex>(g.pattern);
      auto ref = std::make_unique<Reference>(g.pattern);
      if (re->invalid || !ref->asked || !ref->valid) continue;
      members.push_back(&re->r);
      samples.push_back(g.sample);
      regs.push_back(std::move(re));
      refs.push_back(std::move(ref));
    }
    auto first = [&](const std::string& t) {
      for (size_t k = 0; k < refs.size(); ++k)
        if (refs[k]->answer(t) == 1) return static_cast<int32_t>(k);
      return int32_t{-1};
    };
    kregex_set set;
    kregex_set_init(&set);
    ASSERT_FALSE(kregex_set_build(&set, members.data(), n));
    std::string block;
    std::vector<size_t> starts;
    for (int k = 0; k < 8; ++k) {
      g.sample = samples[g.rng.below(n)];
      std::string t = g.make_text();
      int32_t expect = first(t);
      ++texts;
      hits += expect >= 0;
      ASSERT_EQ(kregex_set_match(&set, t.data(), t.size()), expect) << shown(t);
      starts.push_back(block.size());
      block += t + "\n";
    }
    // The block, and each of its tails, as the watch hands lines over.
    for (size_t from : starts) {
      int32_t expect = -1;
      size_t at = from, expect_at = 0;
      while (at < block.size() && expect < 0) {
        size_t lf = block.find('\n', at);
        expect = first(block.substr(at, lf - at));
        expect_at = at;
        at = lf + 1;
      }
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
  EXPECT_LT(hits, texts * 9 / 10);
}

}  // namespace

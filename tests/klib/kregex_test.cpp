// Regular expressions against the C library's regcomp/regexec (extended, case-blind, C locale) on
// generated patterns and texts, single and as sets; by hand where the library is wrong (which the
// generator avoids) and for costly stacked repetitions.
#include "klib/kregex.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "klib/kregex_internal.h"
#include "klib/kthread.h"

namespace {

// The library's answers for one pattern: -1 refused, else 1 match, 0 none.
struct Reference {
  regex_t re;
  bool valid;
  explicit Reference(const std::string& p)
      : valid(regcomp(&re, p.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) == 0) {}
  ~Reference() {
    if (valid) regfree(&re);
  }
  int answer(const std::string& t) const { return valid ? !regexec(&re, t.c_str(), 0, 0, 0) : -1; }
};

// splitmix64: small, fast and the same on every platform.
struct Rng {
  uint64_t s;
  uint32_t below(uint32_t n) {
    uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return static_cast<uint32_t>((z ^ (z >> 31)) >> 16) % n;
  }
  bool one_in(uint32_t n) { return below(n) == 0; }
};

// Plain characters: letters of both cases, digits, punctuation that is no
// operator (']' and '}' alone are plain), space, high bytes.
constexpr char kPlain[] = "aAbBcCdDeExXyYzZqQ0179 _-,:;@#%&=~\"'/!<>]}\x80\xe9\xc9\xff";

struct Generator {
  Rng rng;
  std::string pattern;  // being written
  std::string sample;   // a text that the pattern most likely matches
  uint64_t size = 0;    // atoms once every repetition is unrolled
  bool stacked = false, backref = false, spoilt = false;

  char any() { return kPlain[rng.below(sizeof kPlain - 1)]; }
  char flip(char c) { return rng.one_in(2) && isalpha(c & 0xff) ? static_cast<char>(c ^ 0x20) : c; }
  void bracket() {
    // Members, ranges and classes, each after a character it holds.
    // clang-format off
    static const char* kItems[] = {
        "aa", "xx", "ZZ", "55", "  ", "..", "--", "!!", "\\\\", "^^", "[[", "((", "**", "$$",
        "\xe9\xe9", "ba-c", "EA-F", "30-9", "#!-/", "Q0-z", "_A-z", "ka-{", "bb-a", ".--/",
        "\x90\x80-\xff", "q[:alpha:]", "5[:digit:]", " [:space:]", "![:punct:]", "Q[:upper:]",
        "7[:xdigit:]", "\x01[:cntrl:]", "\t[:blank:]"};
    // clang-format on
    bool negated = rng.one_in(4);
    pattern += negated ? "[^" : "[";
    std::string in;
    if (rng.one_in(8)) pattern += ']', in += ']';
    for (int i = 0, n = 1 + rng.below(3); i < n; ++i) {
      uint32_t k = rng.below(std::size(kItems));
      if (k == 10 && rng.one_in(2)) k = 0;  // "[:" and the like open a class
      pattern += kItems[k] + 1;
      in += kItems[k][0];
    }
    if (rng.one_in(10)) pattern += '-', in += '-';
    pattern += ']';
    sample += negated ? any() : flip(in[rng.below(in.size())]);
  }
  // Repetitions after the piece whose sample starts at from. Groups take
  // one at most, and only '*' or '?' when they hold an assertion.
  uint64_t quantify(size_t from, uint64_t unit, bool group, bool asserts) {
    std::string one = sample.substr(from);
    int times = !group && rng.one_in(6) ? 2 : 1, lo = 1, hi = 1;
    stacked = stacked || times > 1;
    for (int s = 0; s < times; ++s) {
      uint32_t k = rng.below(asserts ? 2 : 7);
      int n = rng.below(4), m = n + rng.below(3);
      if (!group && times == 1 && rng.one_in(40)) n = 20 + rng.below(100), m = n + rng.below(150);
      std::string ns = std::to_string(n), ms = std::to_string(m), none;
      pattern += k < 3 ? std::string(1, "*?+"[k])
                       : "{" + (k < 6 ? ns : none) + (k > 3 ? "," : "") + (k > 4 ? ms : none) + "}";
      const int low[] = {0, 0, 1, n, n, n, 0}, high[] = {2, 1, 2, n, n + 1, m, m};
      lo *= low[k];
      hi *= high[k];
      unit = std::min<uint64_t>(1u << 30, k < 3 ? unit + 1 : unit * std::max(high[k], 1));
    }
    int reps = lo + rng.below(std::min(hi, lo + 3) - lo + 1);
    sample.resize(from);
    for (int r = 0; r < reps; ++r) sample += one;
    return unit;
  }
  // One piece; its unrolled size. *asserts: it holds an anchor or word operator.
  uint64_t piece(int depth, bool* asserts) {
    size_t from = sample.size();
    uint32_t k = rng.below(100);
    uint64_t n = 1;
    bool group = false, inner = false;
    char c = any();
    if (k < 36) {
      pattern += c, sample += flip(c);
    } else if (k < 46) {
      pattern += '.', sample += c;
    } else if (k < 58) {
      bracket();
    } else if (k < 63) {  // an escaped character; a lower-case letter only upper-cased
      c = ".*+?()[]{}|^$\\AZD-/\xe9"[rng.below(20)];
      pattern += {'\\', c}, sample += flip(c);
    } else if (k < 68) {
      uint32_t op = rng.below(10);
      pattern += {'\\', "wsWSbB<>`'"[op]};
      if (op < 4) sample += "k \t!"[op];
      inner = op >= 4;
    } else if (k < 74) {
      pattern += rng.one_in(2) ? '^' : '$';
      inner = true;
    } else if (k < 99 && depth < 4) {
      pattern += '(';
      n = alternation(depth + 1, &inner) + 1;
      pattern += ')';
      group = true;
    } else {
      pattern += "\\1";  // refused by the engine
      backref = true;
    }
    if (rng.below(100) < 30) n = quantify(from, n, group, group && inner);
    *asserts = *asserts || inner;
    return n;
  }
  uint64_t alternation(int depth, bool* asserts) {
    int branches = rng.one_in(3) ? 2 + rng.below(2) : 1, chosen = rng.below(branches);
    uint64_t n = branches - 1;
    for (int b = 0; b < branches; ++b) {
      if (b) pattern += '|';
      std::string keep = sample;
      for (int i = 0, pieces = rng.one_in(6) ? 0 : 1 + rng.below(depth ? 3 : 5); i < pieces; ++i)
        n = std::min<uint64_t>(1u << 30, n + piece(depth, asserts));
      if (b != chosen) sample = keep;
    }
    return n;
  }
  // A fresh pattern, now and then spoilt, mostly into one the syntax refuses
  // (a spoilt one is only to be compiled alike).
  void make_pattern() {
    pattern.clear();
    sample.clear();
    stacked = backref = false;
    spoilt = rng.one_in(12);
    bool asserts = false;
    size = alternation(0, &asserts);
    if (spoilt) {
      static const char* kBad[] = {"(",        ")",      "[",   "[a",   "*",          "+",
                                   "{",        "a{2,1}", "a{1", "\\",   "[[:nope:]]", "[z-a]",
                                   "a{99999}", "{1}",    "|*",  "(*a)", "()"};
      pattern.insert(rng.one_in(3) ? 0 : rng.below(pattern.size() + 1),
                     kBad[rng.below(std::size(kBad))]);
    }
  }
  // Whether the library may be asked: not too costly for its compiler.
  bool askable() const { return size <= 600 && !(stacked && size > 30); }
  // A text for the pattern: its sample spoilt and padded, or characters
  // drawn from the pattern, or (long) a few KiB with the sample in it or not.
  std::string make_text(bool long_text = false) {
    std::string t;
    uint32_t k = rng.below(10);
    if (long_text) {
      char fill = any();
      for (size_t i = 0, n = 1024 + rng.below(2048); i < n; ++i) t += rng.one_in(3) ? any() : fill;
      if (rng.one_in(2)) t.insert(rng.below(t.size() + 1), sample);
    } else if (k < 4) {
      t = sample;
      if (!t.empty() && !rng.one_in(3)) t[rng.below(t.size())] = any();
      if (!t.empty() && rng.one_in(4)) t.erase(rng.below(t.size()), 1);
    } else if (k < 9) {
      for (int i = 0, n = rng.below(12); i < n; ++i)
        t += flip(pattern.empty() || rng.one_in(4) ? any() : pattern[rng.below(pattern.size())]);
    }
    for (int i = 0, n = rng.below(4); i < n; ++i) t.insert(t.begin(), any());
    for (int i = 0, n = rng.below(4); i < n; ++i) t += any();
    std::replace(t.begin(), t.end(), '\n', ' ');
    std::replace(t.begin(), t.end(), '\0', ' ');
    return t;
  }
};

// A kstring holding a text for as long as the expression it is made in.
struct Text {
  explicit Text(const std::string& t) { kstring_init(&s), kstring_assign_cstr(&s, t.c_str()); }
  ~Text() { kstring_free(&s); }
  const kstring* get() const { return &s; }
  kstring s;
};

struct Regex {
  explicit Regex(const std::string& p) {
    kregex_init(&r), invalid = kregex_compile(&r, Text(p).get());
  }
  ~Regex() { kregex_free(&r); }
  bool matches(const std::string& text) const { return !kregex_match(&r, Text(text).get()); }
  kregex r;
  bool invalid;
};

std::string shown(const std::string& s) {
  return testing::PrintToString(s.substr(0, 200));
}

// Compile acceptance and answers as the library's; a required literal is found
// by the pre-check from a few start offsets, and held by every text that matches.
TEST(KRegex, AnswersAsTheCLibraryDoes) {
  Generator g{{20261206}};
  long pairs = 0, matched = 0, invalid = 0, failures = 0, literals = 0;
  for (int round = 0; round < 4400 && failures < 20; ++round) {
    g.make_pattern();
    Regex re(g.pattern);
    if (g.backref || !g.askable()) {
      EXPECT_TRUE(re.invalid || !g.backref || g.spoilt) << shown(g.pattern);
      continue;
    }
    Reference ref(g.pattern);
    invalid += !ref.valid;
    if (re.invalid != !ref.valid && ++failures)
      ADD_FAILURE() << "pattern '" << shown(g.pattern) << "': the C library "
                    << (ref.valid ? "accepts" : "refuses") << " it, the engine does not";
    if (re.invalid || !ref.valid || g.spoilt) continue;
    for (int k = 0; k < 40; ++k) {
      std::string text = g.make_text(k == 39);
      bool expect = ref.answer(text) == 1;
      ++pairs;
      matched += expect;
      if (re.matches(text) != expect && ++failures)
        ADD_FAILURE() << "pattern '" << shown(g.pattern) << "' text '" << shown(text)
                      << "': the C library " << (expect ? "matches" : "does not match");
      if (!re.r.literal_length) continue;
      ++literals;
      std::string lower = text, lit(re.r.literal, re.r.literal_length);
      for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      EXPECT_TRUE(lower.find(lit) != std::string::npos || !expect) << shown(g.pattern);
      size_t from = std::min<size_t>(k % 5, text.size());
      size_t at = std::min(lower.find(lit, from), text.size());
      const char* got = kregex_candidate(&re.r, text.data() + from, text.data() + text.size());
      EXPECT_EQ(static_cast<size_t>(got - text.data()), at) << shown(g.pattern) << " from " << from;
    }
  }
  // Enough pairs, both answers common, some errors, and many patterns with a literal.
  EXPECT_TRUE(pairs >= 100000 && matched > pairs * 3 / 10 && matched < pairs * 2 / 3 &&
              invalid > 100 && literals > pairs * 4 / 10)
      << pairs << " pairs, " << matched << " matched, " << invalid << " refused, " << literals;
}

// Where the library is wrong, filters that backtracking engines take exponential
// time on, and the deepest nesting allowed, on a worker thread's stack (-1: refused).
int check_by_hand(void*) {
  const std::string mib(1 << 20, 'a');
  const std::string deepest =
      std::string(KREGEX_DEPTH_MAX, '(') + "a+|b" + std::string(KREGEX_DEPTH_MAX, ')');
  const struct {
    std::string pattern, text;
    int match;
  } cases[] = {
      {"\\a", "a", 1},           // an escaped lower-case letter: the library never matches
      {"(^.){2}", "ab", 0},      // an interval's copies of a group lose its anchor there
      {"X((@$)*)+Y", "X@Y", 0},  // '+' copies its group too
      {"(\\<err)+", "an err", 1},
      {".^", "a\nb", 0},  // '^' after a newline that the pattern takes
      {"x$\\s", "x\nb", 0},
      {"a)|b", "xa)x", 1},  // a ')' that closes nothing is plain
      {"x{600}", std::string(599, 'x'), 0},
      {"x{600}", std::string(600, 'X'), 1},
      {"(ab|cd|ef|gh){3,100}z", "xghghGHZ", 1},
      {"(a|aa)*b", mib, 0},
      {"(x+x+)+y", mib + "xxy", 1},
      {".{1,1000}x", mib, 0},
      {"(.*a){20}q", mib + "q", 1},
      {"(.*a){20}q", mib, 0},
      {deepest, "xbx", 1},
      {"(" + deepest + ")", "", -1},
  };
  for (const auto& c : cases) {
    Regex re(c.pattern);
    EXPECT_EQ(re.invalid ? -1 : re.matches(c.text), c.match)
        << c.pattern << " on " << shown(c.text);
  }
  return 0;
}

TEST(KRegex, ByHandOnAWorkerThread) {
  kthread t;
  kthread_init(&t), kthread_start(&t, check_by_hand, 0, nullptr);
  ASSERT_EQ(kthread_wait(&t, 60000), 0u);
}

// Sets of 2 to 5 patterns answer with the first member that the library matches,
// on single texts and on blocks of lines (the first line any member matches).
TEST(KRegex, SetAnswersWithTheFirstMemberTheLibraryMatches) {
  Generator g{{7}};
  long texts = 0, hits = 0;
  for (int round = 0; round < 600; ++round) {
    std::vector<std::unique_ptr<std::pair<Regex, Reference>>> regs;
    std::vector<const kregex*> members;
    std::vector<std::string> samples;
    auto first_match = [&](const std::string& text) {
      for (size_t k = 0; k < regs.size(); ++k)
        if (regs[k]->second.answer(text) == 1) return static_cast<int32_t>(k);
      return -1;
    };
    uint32_t n = 2 + g.rng.below(4);
    while (members.size() < n) {
      g.make_pattern();
      if (g.backref || g.spoilt || !g.askable()) continue;
      auto m = std::make_unique<std::pair<Regex, Reference>>(g.pattern, g.pattern);
      if (m->first.invalid || !m->second.valid) continue;
      members.push_back(&m->first.r), samples.push_back(g.sample), regs.push_back(std::move(m));
    }
    kregex_set set;
    kregex_set_init(&set);
    ASSERT_FALSE(kregex_set_build(&set, members.data(), n));
    std::string block;
    std::vector<size_t> starts;
    for (int k = 0; k < 8; ++k) {
      g.sample = samples[g.rng.below(n)];
      std::string t = g.make_text();
      int32_t expect = first_match(t);
      ++texts;
      hits += expect >= 0;
      ASSERT_EQ(kregex_set_match(&set, t.data(), t.size()), expect) << shown(t);
      starts.push_back(block.size());
      block += t + "\n";
    }
    for (size_t from : starts) {
      size_t at = from, next = 0;
      int32_t expect = -1;
      for (; at < block.size(); at = next) {
        next = block.find('\n', at) + 1;
        if ((expect = first_match(block.substr(at, next - 1 - at))) >= 0) break;
      }
      const char *line = nullptr, *line_end = nullptr;
      int32_t got =
          kregex_set_find(&set, block.data() + from, block.data() + block.size(), &line, &line_end);
      ASSERT_EQ(got, expect) << shown(block.substr(from));
      if (got >= 0) EXPECT_TRUE(line == block.data() + at && line_end == block.data() + next - 1);
    }
    kregex_set_free(&set);
  }
  EXPECT_TRUE(hits > texts / 4 && hits < texts * 19 / 20) << hits << " of " << texts;
}

}  // namespace

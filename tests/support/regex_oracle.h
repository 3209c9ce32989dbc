// The C library's regcomp/regexec as the reference for kregex (POSIX
// extended, case-insensitive, unanchored, C locale), and a generator of
// patterns and texts that stays where the two are meant to agree. The
// library is wrong in three places, which the generator avoids and the
// unit test pins by hand: an escaped lower-case letter that is no operator
// ("\a" matches nothing there), a group holding an anchor or word operator
// repeated by '+' or an interval (the copies lose the condition), and '^'
// or '$' next to a newline that the pattern takes. Its compile time also
// grows with the power of stacked repetitions: such patterns are not asked.
#pragma once

#include <regex.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace regex_oracle {

inline constexpr int kFlags = REG_EXTENDED | REG_ICASE | REG_NOSUB;

// The library's answers for one pattern: -1 refused, else 1 match, 0 none.
struct Reference {
  regex_t re;
  bool valid;
  explicit Reference(const std::string& p) : valid(regcomp(&re, p.c_str(), kFlags) == 0) {}
  ~Reference() {
    if (valid) regfree(&re);
  }
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;
  int answer(const std::string& text) const {
    return valid ? regexec(&re, text.c_str(), 0, nullptr, 0) == 0 : -1;
  }
};

using Refs = std::vector<std::unique_ptr<Reference>>;

// The first of refs that matches text, or -1: what a filter set answers.
inline int32_t first_match(const Refs& refs, const std::string& text) {
  for (size_t k = 0; k < refs.size(); ++k)
    if (refs[k]->answer(text) == 1) return static_cast<int32_t>(k);
  return -1;
}

// The first line of block (LF-ended lines) from offset from on that one of
// refs matches: the member, or -1, and the line's offset in *at.
inline int32_t first_line_match(const Refs& refs, const std::string& block, size_t from,
                                size_t* at) {
  for (*at = from; *at < block.size(); *at = block.find('\n', *at) + 1) {
    int32_t m = first_match(refs, block.substr(*at, block.find('\n', *at) - *at));
    if (m >= 0) return m;
  }
  return -1;
}

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
inline constexpr char kPlain[] = "aAbBcCdDeExXyYzZqQ0179 _-,:;@#%&=~\"'/!<>]}\x80\xe9\xc9\xff";

struct Generator {
  Rng rng;
  std::string pattern;  // being written
  std::string sample;   // a text that the pattern most likely matches
  uint64_t size = 0;    // atoms once every repetition is unrolled
  bool stacked = false, backref = false, spoilt = false;

  char any() { return kPlain[rng.below(sizeof kPlain - 1)]; }
  char flip(char c) {
    return rng.one_in(2) && isalpha(static_cast<unsigned char>(c)) ? static_cast<char>(c ^ 0x20)
                                                                   : c;
  }
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
    if (k < 36) {
      char c = any();
      pattern += c;
      sample += flip(c);
    } else if (k < 46) {
      pattern += '.';
      sample += any();
    } else if (k < 58) {
      bracket();
    } else if (k < 63) {  // an escaped character; a lower-case letter only upper-cased
      char c = ".*+?()[]{}|^$\\AZD-/\xe9"[rng.below(20)];
      pattern += {'\\', c};
      sample += flip(c);
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

}  // namespace regex_oracle

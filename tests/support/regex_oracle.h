// The C library's regcomp/regexec as the reference for kregex: both are to
// answer alike for POSIX extended expressions, case-insensitive, unanchored,
// in the C locale. Shared by the differential unit test and the fuzz target:
// a generator of patterns and texts (deterministic, from a small PRNG), the
// reference's answers, and the one list of the places where the two differ
// on purpose or where the reference itself is wrong.
#pragma once

#include <regex.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace regex_oracle {

inline constexpr int kFlags = REG_EXTENDED | REG_ICASE | REG_NOSUB;

// splitmix64: small, fast and the same on every platform.
struct Rng {
  uint64_t s;
  uint32_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return static_cast<uint32_t>((z ^ (z >> 31)) >> 16);
  }
  uint32_t below(uint32_t n) { return next() % n; }
  bool one_in(uint32_t n) { return below(n) == 0; }
};

// Index just past the bracket expression opening at p[i] == '[', or
// npos when it does not end. Inside it a backslash is ordinary and a ']'
// right after the opening (or after '^') belongs to the set.
inline size_t skip_bracket(const std::string& p, size_t i) {
  size_t j = i + 1;
  if (j < p.size() && p[j] == '^') ++j;
  if (j < p.size() && p[j] == ']') ++j;
  while (j < p.size()) {
    char c = p[j];
    if (c == '[' && j + 1 < p.size() && strchr(":=.", p[j + 1])) {
      size_t k = p.find(std::string{p[j + 1], ']'}, j + 2);
      if (k == std::string::npos) return std::string::npos;
      j = k + 2;
      continue;
    }
    if (c == ']') return j + 1;
    ++j;
  }
  return std::string::npos;
}

// Escapes outside brackets that are operators of the syntax (the rest make
// the next character plain).
inline bool is_operator_escape(char c) {
  return c && strchr("wWsSbB<>`'", c);
}

// Calls fn(i) for every backslash at p[i] outside bracket expressions.
template <class Fn>
void each_escape(const std::string& p, Fn fn) {
  for (size_t i = 0; i < p.size();) {
    if (p[i] == '[') {
      size_t j = skip_bracket(p, i);
      if (j == std::string::npos) return;
      i = j;
    } else if (p[i] == '\\') {
      fn(i);
      i += 2;
    } else {
      ++i;
    }
  }
}

// The engine refuses back-references (\1 to \9) by design; the reference
// accepts them where the group exists.
inline bool has_back_reference(const std::string& p) {
  bool found = false;
  each_escape(p, [&](size_t i) {
    found = found || (i + 1 < p.size() && p[i + 1] >= '1' && p[i + 1] <= '9');
  });
  return found;
}

// The interval "{...}" that starts at p[i]: its bounds (max -1 when
// unbounded) and the index past it; false when it is no valid interval.
inline bool read_interval(const std::string& p, size_t i, long* min, long* max, size_t* end) {
  size_t j = i + 1;
  auto number = [&](long* v) {
    size_t from = j;
    *v = 0;
    while (j < p.size() && isdigit(static_cast<unsigned char>(p[j])) && *v < 100000)
      *v = *v * 10 + (p[j++] - '0');
    return j > from;
  };
  bool has_min = number(min);
  if (!has_min) *min = 0;
  *max = *min;
  if (j < p.size() && p[j] == ',') {
    ++j;
    if (!number(max)) *max = -1;
  } else if (!has_min) {
    return false;
  }
  if (j >= p.size() || p[j] != '}' || (*max >= 0 && *max < *min)) return false;
  *end = j + 1;
  return true;
}

// The reference is wrong on a group that holds an anchor or a word
// operator and is repeated by an interval: the copies that the interval
// makes lose the operator's condition, so that "(^.){2}" matches "ab",
// "a(|$.){2}@" matches "ad@" and "X((@$)*)+Y" (a '+' is a copy and a loop
// to it) matches "X@Y", as does "X($(@))*+Y". Such a repetition is written out for the reference
// ("(g){2,3}" as "((g)(g)(g)?)", "(g)+" as "((g)(g)*)"), which it then
// answers right.
// false when the result would grow past limit bytes.
inline bool unroll_asserting_intervals(std::string* p, size_t limit) {
  for (bool changed = true; changed;) {
    changed = false;
    std::vector<size_t> open;
    std::vector<bool> asserts;  // per open group: holds an anchor or word operator
    for (size_t i = 0; i < p->size() && !changed;) {
      char c = (*p)[i];
      if (c == '[') {
        size_t j = skip_bracket(*p, i);
        if (j == std::string::npos) return true;
        i = j;
      } else if (c == '\\') {
        if (i + 1 < p->size() && strchr("bB<>`'", (*p)[i + 1]) && !asserts.empty())
          asserts.back() = true;
        i += 2;
      } else if (c == '^' || c == '$') {
        if (!asserts.empty()) asserts.back() = true;
        ++i;
      } else if (c == '(') {
        open.push_back(i), asserts.push_back(false), ++i;
      } else if (c == ')' && !open.empty()) {
        size_t from = open.back();
        bool a = asserts.back();
        open.pop_back(), asserts.pop_back();
        if (a && !asserts.empty()) asserts.back() = true;
        // "(g)*+" is "((g)*)+": the repetitions in a row are grouped one by
        // one, so that the one that makes copies follows a group.
        size_t q = i + 1;
        if (a && q < p->size() && strchr("*+?", (*p)[q])) {
          ++q;
        } else if (a && q < p->size() && (*p)[q] == '{') {
          long lo, hi;
          if (!read_interval(*p, q, &lo, &hi, &q)) q = i + 1;
        }
        if (q > i + 1 && q < p->size() && strchr("*+?{", (*p)[q])) {
          if (p->size() + 2 > limit) return false;
          p->insert(q, ")");
          p->insert(from, "(");
          changed = true;
          break;
        }
        long min = 1, max = -1;
        size_t end = i + 2;
        bool plus = i + 1 < p->size() && (*p)[i + 1] == '+';
        // "{0}" makes no copy, and the reference checks what it drops.
        if (a && (plus || (i + 1 < p->size() && (*p)[i + 1] == '{' &&
                           read_interval(*p, i + 1, &min, &max, &end) && max != 0))) {
          std::string g = p->substr(from, i + 1 - from);
          long copies = max < 0 ? min + 1 : max;
          if (g.size() * (copies + 1) + p->size() > limit) return false;
          std::string w = "(";
          for (long k = 0; k < min; ++k) w += g;
          if (max < 0) w += g + '*';
          for (long k = min; k < max; ++k) w += g + '?';
          w += ')';
          p->replace(from, end - from, w);
          changed = true;
        }
        ++i;
      } else {
        ++i;
      }
    }
  }
  return true;
}

// The reference is wrong for an escaped lower-case letter that is no
// operator ("\a", "\d", "\n"): with REG_ICASE it folds the text to upper
// case but keeps the escaped letter as written, so that "\a" matches
// nothing at all, while "\A" matches "a" and "A" alike. The engine takes
// "\a" as a plain 'a' as the syntax says; the reference is asked the
// upper-case form instead. false when the reference is not to be asked
// (the pattern would grow past limit bytes).
inline bool reference_pattern(const std::string& p, std::string* out, size_t limit = 256) {
  std::string& q = *out;
  q = p;
  each_escape(q, [&](size_t i) {
    char c = i + 1 < q.size() ? q[i + 1] : 0;
    if (c >= 'a' && c <= 'z' && !is_operator_escape(c)) q[i + 1] = static_cast<char>(c - 32);
  });
  return unroll_asserting_intervals(&q, limit);
}

// The reference is wrong on a text that holds a newline which the pattern
// itself takes (by '.', a negated bracket, \s, or a newline byte): it lets
// '^' match right after that newline and '$' right before it, as if it
// were asked to treat lines apart (REG_NEWLINE), so that ".^" matches
// "a\nb". The engine keeps a newline an ordinary character. Such pairs are
// not asked to it; the agent's lines never hold a newline anyway.
inline bool reference_anchors_at_newline(const std::string& p, const std::string& text) {
  if (text.find('\n') == std::string::npos) return false;
  for (size_t i = 0; i < p.size();) {
    if (p[i] == '[') {
      size_t j = skip_bracket(p, i);
      if (j == std::string::npos) return false;
      i = j;
    } else if (p[i] == '\\') {
      i += 2;
    } else if (p[i] == '^' || p[i] == '$') {
      return true;
    } else {
      ++i;
    }
  }
  return false;
}

inline bool too_costly_for_reference(const std::string& p);

// The reference compiled once: -1 when it refuses the pattern, else 1 when
// text matches (up to its first NUL, as the C library sees it), 0 when not.
// asked is false when the pattern, as the reference is to be asked it,
// would cost it too much (see too_costly_for_reference).
struct Reference {
  regex_t re;
  bool asked = false;
  bool valid = false;
  explicit Reference(const std::string& pattern, size_t limit = 256) {
    std::string q;
    asked = reference_pattern(pattern, &q, limit) && !too_costly_for_reference(q);
    valid = asked && regcomp(&re, q.c_str(), kFlags) == 0;
  }
  ~Reference() {
    if (valid) regfree(&re);
  }
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;
  int answer(const std::string& text) const {
    return valid ? regexec(&re, text.c_str(), 0, nullptr, 0) == 0 : -1;
  }
};

// Atoms and empty transitions ('|', loops) of p once every repetition is
// unrolled ("x{2,5}" is five copies of x, "x{2,}" three), saturating: what a pattern costs an
// automaton that copies repeated pieces, and the reference's own compile time.
inline uint64_t unrolled_size(const std::string& p) {
  const uint64_t kHuge = uint64_t(1) << 40;
  std::vector<uint64_t> done{0}, last{0};  // per open group: its size, its last piece's
  auto add = [&](uint64_t n) {
    done.back() = std::min(kHuge, done.back() + n);
    last.back() = n;
  };
  for (size_t i = 0; i < p.size();) {
    char c = p[i];
    if (c == '(') {
      done.push_back(0), last.push_back(0), ++i;
    } else if (c == ')' && done.size() > 1) {
      uint64_t g = done.back() + 1;
      done.pop_back(), last.pop_back(), ++i;
      add(g);
    } else if (c == '|') {
      done.back() = std::min(kHuge, done.back() + 1);  // an empty transition
      last.back() = 0, ++i;
    } else if (c == '[') {
      size_t j = skip_bracket(p, i);
      if (j == std::string::npos) return done[0];
      add(1), i = j;
    } else if (c == '\\') {
      add(1), i += 2;
    } else if (c == '{') {
      size_t j = i + 1;
      uint64_t n = 0, m = 0;
      while (j < p.size() && isdigit(static_cast<unsigned char>(p[j])))
        n = std::min<uint64_t>(kHuge, n * 10 + (p[j++] - '0'));
      m = n;
      if (j < p.size() && p[j] == ',') {
        ++j;
        if (j < p.size() && isdigit(static_cast<unsigned char>(p[j]))) {
          m = 0;
          while (j < p.size() && isdigit(static_cast<unsigned char>(p[j])))
            m = std::min<uint64_t>(kHuge, m * 10 + (p[j++] - '0'));
        } else {
          m = n + 1;
        }
      }
      if (j < p.size() && p[j] == '}') {
        uint64_t copies = std::max<uint64_t>(m, 1), unit = last.back();
        done.back() = std::min(kHuge, done.back() + std::min(kHuge, unit * (copies - 1)));
        last.back() = std::min(kHuge, unit * copies);
        i = j + 1;
      } else {
        add(1), ++i;
      }
    } else if (c == '*' || c == '+' || c == '?') {
      done.back() = std::min(kHuge, done.back() + 1);  // the loop
      last.back() = std::min(kHuge, last.back() + 1);
      ++i;
    } else {
      add(1), ++i;
    }
  }
  uint64_t total = 0;
  for (uint64_t d : done) total = std::min(kHuge, total + d);
  return total;
}

// Deepest nesting of groups in p, and the longest run of quantifiers in a
// row ("a+?*" is three).
inline void nesting(const std::string& p, uint32_t* groups, uint32_t* stacked) {
  uint32_t depth = 0, run = 0;
  *groups = *stacked = 0;
  for (size_t i = 0; i < p.size();) {
    char c = p[i];
    bool quantifier = c == '*' || c == '+' || c == '?' || c == '{';
    run = quantifier ? run + 1 : 0;
    *stacked = std::max(*stacked, run);
    if (c == '[') {
      size_t j = skip_bracket(p, i);
      if (j == std::string::npos) return;
      i = j;
      continue;
    }
    if (c == '\\') {
      i += 2;
      continue;
    }
    if (c == '{') {
      long min, max;
      size_t end;
      if (read_interval(p, i, &min, &max, &end)) {
        i = end;
        continue;
      }
    }
    if (c == '(') *groups = std::max(*groups, ++depth);
    if (c == ')' && depth > 0) --depth;
    ++i;
  }
}

// Why the engine may refuse a pattern that the reference accepts (nullptr
// when it may not): back-references, and automata or parse trees past the
// engine's bounds (prog_max instructions, depth_max nested groups,
// tree_max nested operators).
inline const char* refused_by_design(const std::string& p, uint64_t prog_max, uint32_t depth_max,
                                     uint32_t tree_max) {
  if (has_back_reference(p)) return "back-reference";
  if (unrolled_size(p) > prog_max / 4) return "over the size limit";
  uint32_t groups, stacked;
  nesting(p, &groups, &stacked);
  if (groups > depth_max || 2 * groups + stacked > tree_max / 2) return "nested too deep";
  return nullptr;
}

// The reference's own compile time grows with the power of nested and
// stacked repetitions ("()?{6}+++" never finishes): such patterns are not
// asked to it.
inline bool too_costly_for_reference(const std::string& p) {
  uint32_t groups, stacked;
  nesting(p, &groups, &stacked);
  uint64_t size = unrolled_size(p);
  return size > 600 || (stacked > 1 && size > 30) || stacked > 2 || groups > 12;
}

// ---- generator -------------------------------------------------------------

// Plain characters of patterns: letters of both cases, digits, punctuation
// that is no operator (']' and '}' alone are plain), space, high bytes.
inline constexpr char kPlain[] = "aAbBcCdDeExXyYzZqQ0179 _-,:;@#%&=~\"'/!<>]}\x80\xe9\xc9\xff";
inline constexpr const char* kClasses[] = {"alpha", "digit",  "upper", "lower", "space", "punct",
                                           "alnum", "xdigit", "cntrl", "print", "graph", "blank"};
// A character of each class, in the order of kClasses.
inline constexpr char kClassMember[] = "q5Qq !7e\x01~#\t";

inline char flip_case(Rng& g, char c) {
  if (g.one_in(2)) return c;
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 32);
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c + 32);
  return c;
}

struct Generator {
  Rng rng;
  std::string pattern;  // being written
  std::string sample;   // a text that the pattern most likely matches

  void plain() {
    char c = kPlain[rng.below(sizeof kPlain - 1)];
    pattern += c;
    sample += flip_case(rng, c);
  }
  void bracket() {
    static const char kMembers[] = "abcxyzABCXYZ059 .,-_!\\^[(*$\xe9";
    pattern += '[';
    bool negated = rng.one_in(4);
    if (negated) pattern += '^';
    std::string in;  // members that the sample may take
    if (rng.one_in(8)) pattern += ']', in += ']';
    if (rng.one_in(10)) pattern += '-', in += '-';
    int items = 1 + rng.below(3);
    for (int i = 0; i < items; ++i) {
      uint32_t kind = rng.below(10);
      if (kind < 4) {
        char c = kMembers[rng.below(sizeof kMembers - 1)];
        if (c == '[' && rng.one_in(2)) c = 'q';  // "[:" and the like open a class
        pattern += c;
        in += c;
      } else if (kind < 7) {
        static const char* kRanges[] = {"a-c", "x-z", "A-F", "0-9",       "a-a", "!-/", "0-z",
                                        "A-z", "a-{", "b-a", "\x80-\xff", "--/", "%--"};
        const char* r = kRanges[rng.below(std::size(kRanges))];
        pattern += r;
        in += r[0];
      } else {
        uint32_t k = rng.below(std::size(kClasses));
        pattern += std::string("[:") + kClasses[k] + ":]";
        in += kClassMember[k];
      }
    }
    if (rng.one_in(10)) pattern += '-', in += '-';
    pattern += ']';
    sample += negated || in.empty() ? kPlain[rng.below(sizeof kPlain - 1)]
                                    : flip_case(rng, in[rng.below(in.size())]);
  }
  void escape() {
    static const char kEscaped[] = ".*+?()[]{}|^$\\aAzdn-/\xe9";
    static const char* kOperators[] = {"\\w", "\\W", "\\s", "\\S", "\\b",
                                       "\\B", "\\<", "\\>", "\\`", "\\'"};
    if (rng.one_in(2)) {
      char c = kEscaped[rng.below(sizeof kEscaped - 1)];
      pattern += '\\';
      pattern += c;
      sample += flip_case(rng, c);
    } else {
      uint32_t k = rng.below(std::size(kOperators));
      pattern += kOperators[k];
      if (k < 4) sample += "k-\t!"[k];
    }
  }
  // Quantifiers after the piece whose sample starts at from.
  // Wide intervals and stacked quantifiers only over a single character:
  // over groups they cost the reference's compiler time that grows with the
  // power of the nesting (the fuzzer tries them).
  void quantify(size_t from, bool group) {
    std::string unit = sample.substr(from);
    int stacked = !group && rng.one_in(6) ? 2 : 1;
    int lo = 1, hi = 1;  // repetitions the sample shows
    for (int s = 0; s < stacked; ++s) {
      uint32_t k = rng.below(7);
      int n = static_cast<int>(rng.below(4)), m = n + static_cast<int>(rng.below(3));
      if (!group && stacked == 1 && rng.one_in(40)) n = 20 + rng.below(100), m = n + rng.below(150);
      switch (k) {
        case 0:
          pattern += '*';
          lo *= 0;
          hi *= 2;
          break;
        case 1:
          pattern += '+';
          hi *= 2;
          break;
        case 2:
          pattern += '?';
          lo *= 0;
          break;
        case 3:
          pattern += '{' + std::to_string(n) + '}';
          lo *= n;
          hi *= n;
          break;
        case 4:
          pattern += '{' + std::to_string(n) + ",}";
          lo *= n;
          hi *= n + 1;
          break;
        case 5:
          pattern += '{' + std::to_string(n) + ',' + std::to_string(m) + '}';
          lo *= n;
          hi *= m;
          break;
        default:
          pattern += "{," + std::to_string(m) + '}';
          lo *= 0;
          hi *= m;
          break;
      }
    }
    hi = std::min(hi, lo + 3);
    int reps = lo + static_cast<int>(rng.below(hi - lo + 1));
    sample.resize(from);
    for (int r = 0; r < reps; ++r) sample += unit;
  }
  void piece(int depth) {
    size_t from = sample.size();
    uint32_t k = rng.below(100);
    if (k < 36) {
      plain();
    } else if (k < 46) {
      pattern += '.';
      sample += kPlain[rng.below(sizeof kPlain - 1)];
    } else if (k < 58) {
      bracket();
    } else if (k < 68) {
      escape();
    } else if (k < 74) {
      pattern += rng.one_in(2) ? '^' : '$';
    } else if (k < 99 && depth < 4) {
      pattern += '(';
      alternation(depth + 1);
      pattern += ')';
    } else if (k == 99) {
      pattern += "\\1";  // refused by the engine
    } else {
      plain();
    }
    if (rng.below(100) < 30) quantify(from, pattern.back() == ')');
  }
  void alternation(int depth) {
    int branches = rng.below(3) == 0 ? 2 + rng.below(2) : 1;
    int chosen = rng.below(branches);
    for (int b = 0; b < branches; ++b) {
      if (b) pattern += '|';
      std::string keep = sample;
      int pieces = rng.one_in(6) ? 0 : 1 + rng.below(depth ? 3 : 5);
      for (int i = 0; i < pieces; ++i) piece(depth);
      if (b != chosen) sample = keep;
    }
  }
  // Spoils a pattern: mostly into one the syntax refuses.
  void spoil() {
    static const char* kBad[] = {"(",        ")",      "[",   "[a",   "*",          "+",
                                 "{",        "a{2,1}", "a{1", "\\",   "[[:nope:]]", "[z-a]",
                                 "a{99999}", "{1}",    "|*",  "(*a)", "()"};
    const char* bad = kBad[rng.below(std::size(kBad))];
    size_t at = rng.one_in(3) ? 0 : rng.below(pattern.size() + 1);
    pattern.insert(at, bad);
  }
  // A fresh pattern in pattern, and in sample a text that it likely matches.
  void make_pattern() {
    pattern.clear();
    sample.clear();
    alternation(0);
    if (rng.one_in(12)) spoil();
  }
  // A text for the current pattern: its sample spoiled and padded, or
  // letters drawn from the pattern itself, or (rarely) a long line.
  std::string make_text() {
    std::string t;
    uint32_t k = rng.below(10);
    if (k < 4) {
      t = sample;
      if (!t.empty() && !rng.one_in(3))
        t[rng.below(t.size())] = kPlain[rng.below(sizeof kPlain - 1)];
      if (!t.empty() && rng.one_in(4)) t.erase(rng.below(t.size()), 1);
    } else if (k < 9) {
      int n = rng.below(12);
      for (int i = 0; i < n; ++i) {
        char c = pattern.empty() || rng.one_in(4) ? kPlain[rng.below(sizeof kPlain - 1)]
                                                  : pattern[rng.below(pattern.size())];
        t += flip_case(rng, c);
      }
    }
    std::string pre, post;
    int np = rng.below(4), nq = rng.below(4);
    for (int i = 0; i < np; ++i) pre += kPlain[rng.below(sizeof kPlain - 1)];
    for (int i = 0; i < nq; ++i) post += kPlain[rng.below(sizeof kPlain - 1)];
    t = pre + t + post;
    for (char& c : t)
      if (c == '\n' || c == '\0') c = ' ';
    return t;
  }
  // A line of a few KiB with the sample somewhere in it (or not).
  std::string make_long_text() {
    std::string t;
    size_t n = 1024 + rng.below(2048);
    char fill = kPlain[rng.below(sizeof kPlain - 1)];
    for (size_t i = 0; i < n; ++i) t += rng.one_in(3) ? kPlain[rng.below(sizeof kPlain - 1)] : fill;
    if (rng.one_in(2)) t.insert(rng.below(t.size() + 1), sample);
    for (char& c : t)
      if (c == '\n' || c == '\0') c = ' ';
    return t;
  }
};

}  // namespace regex_oracle

#include "klib/kregex.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>

int kregex_libinit() {
  return 0;
}

void kregex_libcleanup() {}

int kregex_init(kregex* r) {
  r->compiled = false;
  r->has_anchored = false;
  r->literal_length = 0;
  r->pivot = 0;
  r->literal[0] = '\0';
  return 0;
}

static unsigned char ascii_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c | 0x20) : c;
}

static unsigned char ascii_upper(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c & ~0x20) : c;
}

// The engine ignores case through the locale's tolower/toupper. The literal
// compares with ASCII folding, so it is only sound where the two agree for
// every byte, and where a pattern byte is a character of its own.
static bool locale_folds_as_ascii() {
  if (MB_CUR_MAX != 1) return false;
  for (int c = 0; c < 256; ++c) {
    unsigned char b = static_cast<unsigned char>(c);
    if (tolower(c) != ascii_lower(b) || toupper(c) != ascii_upper(b)) return false;
  }
  return true;
}

// Index just past the bracket expression that starts at p[i] == '[', or 0
// when it does not end. Inside brackets a backslash is an ordinary byte and
// a ']' right after the opening (or after '^') belongs to the set.
static uint32_t skip_bracket(const char* p, uint32_t i) {
  uint32_t j = i + 1;
  if (p[j] == '^') ++j;
  if (p[j] == ']') ++j;
  for (;;) {
    char c = p[j];
    if (c == '\0') return 0;
    if (c == '[' && (p[j + 1] == ':' || p[j + 1] == '=' || p[j + 1] == '.')) {
      char kind = p[j + 1];
      uint32_t k = j + 2;
      while (p[k] && !(p[k] == kind && p[k + 1] == ']')) ++k;
      if (!p[k]) return 0;
      j = k + 2;
      continue;
    }
    if (c == ']') return j + 1;
    ++j;
  }
}

static bool is_quantifier(char c) {
  return c == '*' || c == '+' || c == '?' || c == '{';
}

// Every character that a backslash turns into a plain one in the extended
// syntax. Any other escape is an operator of the engine or a back-reference.
static bool is_escapable(char c) {
  return c != '\0' && strchr(".[]()*+?{}|^$\\", c) != nullptr;
}

static bool literal_byte_ok(unsigned char c) {
  return c != '\0' && c < 0x80 && c != '\n' && c != '\r';
}

uint32_t kregex_required_literal(const char* p, char* out, uint32_t out_size) {
  if (out_size == 0) return 0;
  out[0] = '\0';
  char run[KREGEX_LITERAL_MAX];
  uint32_t run_len = 0, best_len = 0;
  uint32_t cap = out_size - 1 < KREGEX_LITERAL_MAX ? out_size - 1 : KREGEX_LITERAL_MAX;
  auto end_run = [&]() {
    if (run_len > best_len) {
      memcpy(out, run, run_len);
      best_len = run_len;
      out[best_len] = '\0';
    }
    run_len = 0;
  };
  uint32_t depth = 0;
  uint32_t i = 0;
  while (p[i]) {
    char c = p[i];
    if (c == '(') {
      ++depth;
      end_run();
      ++i;
      continue;
    }
    if (c == ')') {
      // An unmatched ')' is an ordinary character to the engine: too subtle
      // to follow, so no literal at all.
      if (depth == 0) return 0;
      --depth;
      ++i;
      continue;
    }
    if (c == '|') {
      // Alternatives at the top level share no required text we track.
      if (depth == 0) return 0;
      ++i;
      continue;
    }
    if (c == '[') {
      uint32_t j = skip_bracket(p, i);
      if (j == 0) return 0;
      end_run();
      i = j;
      continue;
    }
    if (is_quantifier(c)) {
      // A quantifier that follows a group, an anchor or nothing.
      end_run();
      if (c == '{') {
        while (p[i] && p[i] != '}') ++i;
        if (!p[i]) return 0;
      }
      ++i;
      continue;
    }
    // One atom: an escaped or plain character, or '.', '^', '$'.
    bool plain = true;
    unsigned char lit = static_cast<unsigned char>(c);
    uint32_t atom_len = 1;
    if (c == '\\') {
      if (p[i + 1] == '\0') return 0;
      atom_len = 2;
      lit = static_cast<unsigned char>(p[i + 1]);
      plain = is_escapable(p[i + 1]);
    } else if (c == '.' || c == '^' || c == '$') {
      plain = false;
    }
    i += atom_len;
    // The quantifiers that apply to this atom.
    uint32_t quantifiers = 0;
    bool only_plus = true;
    while (is_quantifier(p[i])) {
      ++quantifiers;
      if (p[i] != '+') only_plus = false;
      if (p[i] == '{') {
        while (p[i] && p[i] != '}') ++i;
        if (!p[i]) return 0;
      }
      ++i;
    }
    if (depth > 0) continue;  // what a group requires is not tracked
    if (!plain || !literal_byte_ok(lit) || (quantifiers > 0 && !only_plus) || quantifiers > 1) {
      end_run();
      continue;
    }
    if (run_len < cap) run[run_len++] = static_cast<char>(ascii_lower(lit));
    // x+ holds at least one x, but what follows need not come right after it.
    if (quantifiers == 1) end_run();
  }
  end_run();
  return best_len;
}

// Rough frequency of bytes in log text: the pivot pair is the adjacent pair
// of the literal with the smallest product, so that the search stops rarely.
static uint32_t byte_weight(unsigned char c) {
  static const char kLetters[] = "etaoinsrhldcumfpgwybvkxjqz";
  static const uint8_t kLetterWeight[] = {100, 75, 70, 65, 65, 65, 60, 60, 40, 40, 35, 30, 28,
                                          25,  20, 20, 18, 15, 15, 12, 10, 7,  3,  2,  1,  1};
  if (c >= 'a' && c <= 'z') {
    const char* at = strchr(kLetters, c);
    return kLetterWeight[at - kLetters];
  }
  if (c == ' ') return 160;
  if (c >= '0' && c <= '9') return 60;
  if (c == ':' || c == '.') return 30;
  if (c == '-' || c == '/') return 20;
  if (c == '=' || c == '[' || c == ']' || c == '_' || c == ',') return 10;
  return 3;
}

static uint32_t choose_pivot(const char* lit, uint32_t len) {
  if (len < 2) return 0;
  uint32_t best = 0;
  uint32_t best_cost = UINT32_MAX;
  for (uint32_t i = 0; i + 1 < len; ++i) {
    uint32_t cost = byte_weight(static_cast<unsigned char>(lit[i])) *
                    byte_weight(static_cast<unsigned char>(lit[i + 1]));
    if (cost < best_cost) {
      best_cost = cost;
      best = i;
    }
  }
  return best;
}

// Reads "{n}", "{n,}", "{n,m}", "{,m}" or "{,}" at p[i] == '{'. false when it is not a
// well-formed interval (the engine then refuses it or reads it literally).
static bool read_interval(const char* p, uint32_t* i, uint64_t* n, uint64_t* m, bool* bounded) {
  uint32_t j = *i + 1;
  auto number = [&](uint64_t* v) {
    if (p[j] < '0' || p[j] > '9') return false;
    *v = 0;
    while (p[j] >= '0' && p[j] <= '9') {
      if (*v < 1000000) *v = *v * 10 + static_cast<uint64_t>(p[j] - '0');
      ++j;
    }
    return true;
  };
  // The engine reads a missing minimum as 0: "{,5}" is "{0,5}", "{,}" is "*".
  if (!number(n)) {
    if (p[j] != ',') return false;
    *n = 0;
  }
  *m = *n;
  *bounded = true;
  if (p[j] == ',') {
    ++j;
    if (p[j] == '}') {
      *bounded = false;
    } else if (!number(m)) {
      return false;
    }
  }
  if (p[j] != '}') return false;
  *i = j + 1;
  return true;
}

bool kregex_pattern_too_costly(const char* p) {
  // The engine unrolls every repetition (x+ is x x*, x{2,4} is x x x? x?)
  // and its memory and compile time grow with the square of the empty
  // transitions that loops, optional copies and alternatives add. Both are
  // counted here as they would be unrolled: per open group, the atoms and
  // empty transitions of its finished branches, of the branch being read,
  // and of the piece read last (which a quantifier repeats). Counts
  // saturate far above the limits.
  //
  // Worse, a loop over a zero-width element (an anchor, a word boundary, an
  // empty group or an empty alternative) makes the engine's closure
  // computation explode within a few nested repetitions: "()?{6}+++" never
  // finishes compiling. Such loops are refused outright; they match nothing
  // that the same pattern without the loop would not.
  struct cost {
    uint64_t atoms, empties;
    bool zero_width;  // holds an element that matches without consuming
  };
  struct frame {
    cost done, branch, last;
    uint32_t pieces;  // in the branch being read: an empty one is zero-width
  };
  const uint64_t kHuge = uint64_t(1) << 40;
  auto sat = [&](uint64_t v) { return std::min(kHuge, v); };
  frame stack[KREGEX_DEPTH_MAX + 1] = {};
  uint32_t depth = 0;
  auto add_piece = [&](cost c) {
    frame& f = stack[depth];
    f.last = c;
    f.branch.atoms = sat(f.branch.atoms + c.atoms);
    f.branch.empties = sat(f.branch.empties + c.empties);
    f.branch.zero_width = f.branch.zero_width || c.zero_width;
    ++f.pieces;
  };
  // Ends the branch being read, keeping its cost in done.
  auto end_branch = [&](frame& f) {
    f.done.atoms = sat(f.done.atoms + f.branch.atoms);
    f.done.empties = sat(f.done.empties + f.branch.empties);
    f.done.zero_width = f.done.zero_width || f.branch.zero_width || f.pieces == 0;
    f.branch = f.last = cost{};
    f.pieces = 0;
  };
  uint32_t i = 0;
  uint32_t in_a_row = 0;  // quantifiers since the last piece
  while (p[i]) {
    char c = p[i];
    bool quantifier = c == '*' || c == '+' || c == '?' || c == '{';
    in_a_row = quantifier ? in_a_row + 1 : 0;
    // Stacked quantifiers repeat nothing new ("x??" is "x?") but each one
    // adds a layer of empty transitions to the engine's closures.
    if (in_a_row > KREGEX_STACK_MAX) return true;
    if (c == '(') {
      if (depth == KREGEX_DEPTH_MAX) return true;
      stack[++depth] = frame{};
      ++i;
    } else if (c == ')' && depth > 0) {
      frame& f = stack[depth];
      end_branch(f);
      // The group's own open and close markers are empty transitions too.
      cost group{sat(f.done.atoms + 1), sat(f.done.empties + 2), f.done.zero_width};
      --depth;
      add_piece(group);
      ++i;
    } else if (c == '|') {
      frame& f = stack[depth];
      end_branch(f);
      f.done.empties = sat(f.done.empties + 1);
      ++i;
    } else if (c == '[') {
      uint32_t j = skip_bracket(p, i);
      if (j == 0) return false;  // unterminated: the engine refuses it
      add_piece(cost{1, 0, false});
      i = j;
    } else if (c == '^' || c == '$') {
      // Anchors and word boundaries are empty transitions to the engine.
      add_piece(cost{0, 1, true});
      ++i;
    } else if (c == '\\') {
      char e = p[i + 1];
      if (e >= '1' && e <= '9') return true;
      bool boundary = e != '\0' && strchr("bB<>`'", e) != nullptr;
      add_piece(boundary ? cost{0, 1, true} : cost{1, 0, false});
      i += e ? 2 : 1;
    } else if (quantifier) {
      uint64_t n = 1, m = 1;
      bool bounded = true;
      if (c == '{') {
        if (!read_interval(p, &i, &n, &m, &bounded)) {
          add_piece(cost{1, 0, false});
          ++i;
          continue;
        }
        if (!bounded) m = n + 1;  // x{n,} is n copies and a loop
      } else {
        m = c == '+' ? 2 : 1;  // x+ is x x*; x* and x? keep one copy
        n = c == '+' ? 1 : 0;
        bounded = c == '?';
        ++i;
      }
      frame& f = stack[depth];
      cost unit = f.last;
      if (!bounded && unit.zero_width) return true;
      uint64_t copies = std::max<uint64_t>(m, 1);
      cost grown{sat(unit.atoms * copies + 1),
                 sat(unit.empties * copies + (m - n) + (bounded ? 0 : 1)), unit.zero_width};
      f.branch.atoms = sat(f.branch.atoms - unit.atoms + grown.atoms);
      f.branch.empties = sat(f.branch.empties - unit.empties + grown.empties);
      f.last = grown;
    } else {
      add_piece(cost{1, 0, false});
      ++i;
    }
    cost total{0, 0, false};
    for (uint32_t d = 0; d <= depth; ++d) {
      total.atoms = sat(total.atoms + stack[d].done.atoms + stack[d].branch.atoms);
      total.empties = sat(total.empties + stack[d].done.empties + stack[d].branch.empties);
    }
    if (total.atoms > KREGEX_COST_MAX || total.empties > KREGEX_EMPTY_MAX) return true;
  }
  return false;
}

// true when every ')' of p closes a group that p opened: then p may be put
// into a group of its own without changing what its parts mean.
static bool groups_balanced(const char* p) {
  uint32_t depth = 0;
  for (uint32_t i = 0; p[i];) {
    char c = p[i];
    if (c == '[') {
      uint32_t j = skip_bracket(p, i);
      if (j == 0) return false;
      i = j;
      continue;
    }
    if (c == '\\') {
      i += p[i + 1] ? 2 : 1;
      continue;
    }
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (depth == 0) return false;  // the engine takes it as a plain ')'
      --depth;
    }
    ++i;
  }
  return depth == 0;
}

static const int kFlags = REG_EXTENDED | REG_ICASE | REG_NOSUB;

bool kregex_compile(kregex* r, const kstring* pattern) {
  kregex_free(r);
  const char* p = kstring_text(pattern);
  if (kregex_pattern_too_costly(p)) return true;
  // No sub-matches are ever asked for: REG_NOSUB lets the engine skip them.
  r->compiled = regcomp(&r->re, p, kFlags) == 0;
  if (!r->compiled) return true;
  // Searched as it stands, the engine tries the pattern from every position
  // of the text, each try running towards the end: "a+z" takes seconds on a
  // line of 40,000 'a's, and a watched log is anyone's to write. Anchored as
  // "^.*(p)" it makes one pass over the text with the same result, since
  // ".*" may stand for the text before any match (anchors and alternatives
  // keep their meaning inside the group). That form is kept beside the
  // other for long texts; short ones go faster as they are, the engine
  // skipping to the places where a match can start. '.' passes every byte
  // only in a single-byte locale; elsewhere, or should the form be refused,
  // long texts are searched as they stand too.
  kstring anchored;
  kstring_init(&anchored);
  if (locale_folds_as_ascii() && groups_balanced(p) && kstring_assign_cstr(&anchored, "^.*(") &&
      kstring_append(&anchored, pattern) && kstring_append_char(&anchored, ')') &&
      !kregex_pattern_too_costly(kstring_text(&anchored)))
    r->has_anchored = regcomp(&r->anchored, kstring_text(&anchored), kFlags) == 0;
  kstring_free(&anchored);
  if (r->compiled && locale_folds_as_ascii()) {
    r->literal_length =
        kregex_required_literal(kstring_text(pattern), r->literal, KREGEX_LITERAL_MAX);
    r->pivot = choose_pivot(r->literal, r->literal_length);
  }
  return !r->compiled;
}

static bool literal_at(const kregex* r, const unsigned char* s) {
  for (uint32_t i = 0; i < r->literal_length; ++i)
    if (ascii_lower(s[i]) != static_cast<unsigned char>(r->literal[i])) return false;
  return true;
}

// Sixteen bytes at a time through the compiler's portable vector types: one
// compare per pivot byte (letters folded by setting bit 5, which maps exactly
// 'A'..'Z' and 'a'..'z' onto 'a'..'z'), then a check of the whole literal at
// each position where the pivot pair agrees.
typedef uint8_t kregex_v16 __attribute__((vector_size(16)));

static kregex_v16 load16(const unsigned char* p) {
  kregex_v16 v;
  memcpy(&v, p, sizeof v);
  return v;
}

static kregex_v16 splat16(unsigned char c) {
  kregex_v16 v;
  memset(&v, c, sizeof v);
  return v;
}

static bool any16(kregex_v16 v) {
  uint64_t a, b;
  memcpy(&a, &v, 8);
  memcpy(&b, reinterpret_cast<const char*>(&v) + 8, 8);
  return (a | b) != 0;
}

static unsigned char fold_mask(unsigned char c) {
  return c >= 'a' && c <= 'z' ? 0x20 : 0;
}

const char* kregex_candidate(const kregex* r, const char* begin, const char* end) {
  uint32_t len = r->literal_length;
  if (len == 0) return begin;
  if (end - begin < static_cast<ptrdiff_t>(len)) return end;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(begin);
  // Last position where the literal can start.
  const unsigned char* last = reinterpret_cast<const unsigned char*>(end) - len;
  uint32_t k = r->pivot;
  unsigned char c0 = static_cast<unsigned char>(r->literal[k]);
  unsigned char c1 = static_cast<unsigned char>(r->literal[len > 1 ? k + 1 : k]);
  uint32_t k1 = len > 1 ? k + 1 : k;
  kregex_v16 p0 = splat16(c0), m0 = splat16(fold_mask(c0));
  kregex_v16 p1 = splat16(c1), m1 = splat16(fold_mask(c1));
  // Both loads of a step end at most at last + k1 + 15 <= end - 1.
  while (last - s >= 15) {
    kregex_v16 a = load16(s + k) | m0;
    kregex_v16 b = load16(s + k1) | m1;
    kregex_v16 eq = reinterpret_cast<kregex_v16>(a == p0) & reinterpret_cast<kregex_v16>(b == p1);
    if (any16(eq)) {
      for (uint32_t j = 0; j < 16; ++j)
        if (eq[j] && literal_at(r, s + j)) return reinterpret_cast<const char*>(s + j);
    }
    s += 16;
  }
  for (; s <= last; ++s)
    if ((s[k] | fold_mask(c0)) == c0 && (s[k1] | fold_mask(c1)) == c1 && literal_at(r, s))
      return reinterpret_cast<const char*>(s);
  return end;
}

// The engine reads text up to its first NUL. Bytes of length beyond one
// can only let the pre-check pass; the engine's answer stays its own.
static bool match_text(const kregex* r, const char* text, size_t length) {
  if (!r->compiled) return true;
  if (r->literal_length) {
    const char* end = text + length;
    if (kregex_candidate(r, text, end) == end) return true;
  }
  const regex_t* re = r->has_anchored && length > KREGEX_SHORT_TEXT ? &r->anchored : &r->re;
  return regexec(re, text, 0, nullptr, 0) != 0;
}

bool kregex_match_cstr(const kregex* r, const char* text) {
  return match_text(r, text, strlen(text));
}

bool kregex_match(const kregex* r, const kstring* text) {
  return match_text(r, kstring_text(text), text->length);
}

void kregex_free(kregex* r) {
  if (r->compiled) regfree(&r->re);
  if (r->has_anchored) regfree(&r->anchored);
  r->compiled = false;
  r->has_anchored = false;
  r->literal_length = 0;
  r->pivot = 0;
  r->literal[0] = '\0';
}

#include "klib/kregex.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "klib/kregex_internal.h"

// The engine in four steps: the pattern is parsed into a tree of nodes, the
// tree is unrolled into a program (a nondeterministic automaton: byte sets,
// splits, jumps, zero-width assertions and one final match per pattern), the
// programs of a set are laid end to end, and a deterministic automaton over
// them is built lazily while texts are matched. Each state of the latter is
// the set of program positions alive after a byte, plus what the assertions
// need to know about that byte (start of text, word character) and the
// first member already matched. Its transitions are cached in a table, so
// that a byte costs one lookup once its state is known, and building a
// state costs at most the program's size: linear in the text either way.

int kregex_libinit() {
  return 0;
}

void kregex_libcleanup() {}

// ---------------------------------------------------------------------------
// Bytes and their classes (the C locale; letters fold to upper case).

static unsigned char rx_upper(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c;
}

static unsigned char rx_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
}

static bool rx_alpha(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static bool rx_digit(int c) {
  return c >= '0' && c <= '9';
}

static bool rx_word(int c) {
  return rx_alpha(c) || rx_digit(c) || c == '_';
}

static bool rx_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

static bool rx_graph(int c) {
  return c > 32 && c < 127;
}

typedef bool (*rx_ctype)(int);

struct rx_class_name {
  const char* name;
  rx_ctype test;
};

static const rx_class_name kClasses[] = {
    {"alpha", rx_alpha},
    {"upper", rx_alpha},  // letters fold: upper and lower mean any letter
    {"lower", rx_alpha},
    {"digit", rx_digit},
    {"alnum", [](int c) { return rx_alpha(c) || rx_digit(c); }},
    {"xdigit",
     [](int c) { return rx_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }},
    {"space", rx_space},
    {"blank", [](int c) { return c == ' ' || c == '\t'; }},
    {"cntrl", [](int c) { return c < 32 || c == 127; }},
    {"print", [](int c) { return c >= 32 && c < 127; }},
    {"graph", rx_graph},
    {"punct", [](int c) { return rx_graph(c) && !rx_alpha(c) && !rx_digit(c); }},
};

struct rx_bits {
  uint64_t w[4];
};

static bool bits_has(const rx_bits* b, unsigned c) {
  return (b->w[c >> 6] >> (c & 63)) & 1;
}

static void bits_set(rx_bits* b, unsigned c) {
  b->w[c >> 6] |= uint64_t{1} << (c & 63);
}

static void bits_ctype(rx_bits* b, rx_ctype test) {
  for (int c = 0; c < 256; ++c)
    if (test(c)) bits_set(b, static_cast<unsigned>(c));
}

// A text byte is folded before it is compared: the set a byte meets is the
// one of its upper-case form.
static void bits_fold(rx_bits* b, bool negate) {
  rx_bits out = {};
  for (unsigned c = 0; c < 256; ++c)
    if (bits_has(b, rx_upper(static_cast<unsigned char>(c))) != negate) bits_set(&out, c);
  *b = out;
}

// ---------------------------------------------------------------------------
// The tree.

enum { N_EMPTY, N_SET, N_ASSERT, N_CAT, N_ALT, N_REPEAT };
enum { A_BEGIN, A_END, A_WORD_FIRST, A_WORD_LAST, A_BOUNDARY, A_NOT_BOUNDARY };
#define RX_INF (-1)
#define RX_DUP_MAX 32767

struct rx_node {
  uint8_t kind;
  uint8_t arg;       // N_ASSERT: the assertion
  int32_t min, max;  // N_REPEAT; max RX_INF for no bound
  uint32_t set;      // N_SET: index of its byte set
  int32_t first;     // N_CAT, N_ALT, N_REPEAT: first child
  int32_t next;      // next sibling, -1 at the end
  uint32_t size;     // instructions it unrolls to (saturating)
  uint32_t height;   // levels of nodes below and including it
};

struct rx_parser {
  const unsigned char* p;
  size_t i, n;
  rx_node* nodes;
  uint32_t count, cap;
  rx_bits* sets;
  uint32_t nsets, sets_cap;
  uint32_t depth;
  bool failed;
};

template <typename T>
static bool rx_grow(T** items, uint32_t* cap, uint32_t need) {
  if (need <= *cap) return true;
  uint32_t cap2 = *cap ? *cap * 2 : 16;
  while (cap2 < need) cap2 *= 2;
  T* grown = static_cast<T*>(realloc(*items, sizeof(T) * cap2));
  if (!grown) return false;
  *items = grown;
  *cap = cap2;
  return true;
}

static int32_t rx_fail(rx_parser* ps) {
  ps->failed = true;
  return -1;
}

static uint32_t sat_add(uint32_t a, uint32_t b) {
  return a + b > KREGEX_PROG_MAX ? KREGEX_PROG_MAX + 1 : a + b;
}

static uint32_t sat_mul(uint32_t a, uint32_t b) {
  uint64_t m = static_cast<uint64_t>(a) * b;
  return m > KREGEX_PROG_MAX ? KREGEX_PROG_MAX + 1 : static_cast<uint32_t>(m);
}

static int32_t rx_node_new(rx_parser* ps, uint8_t kind) {
  if (!rx_grow(&ps->nodes, &ps->cap, ps->count + 1)) return rx_fail(ps);
  rx_node* nd = &ps->nodes[ps->count];
  *nd = rx_node{kind, 0, 0, 0, 0, -1, -1, 0, 1};
  nd->size = kind == N_SET || kind == N_ASSERT ? 1 : 0;
  return static_cast<int32_t>(ps->count++);
}

static int32_t rx_set_node(rx_parser* ps, const rx_bits* bits) {
  if (!rx_grow(&ps->sets, &ps->sets_cap, ps->nsets + 1)) return rx_fail(ps);
  int32_t at = rx_node_new(ps, N_SET);
  if (at < 0) return -1;
  ps->sets[ps->nsets] = *bits;
  ps->nodes[at].set = ps->nsets++;
  return at;
}

static int32_t rx_char_node(rx_parser* ps, unsigned char c) {
  rx_bits b = {};
  bits_set(&b, rx_upper(c));
  bits_fold(&b, false);
  return rx_set_node(ps, &b);
}

static int32_t rx_assert_node(rx_parser* ps, uint8_t what) {
  int32_t at = rx_node_new(ps, N_ASSERT);
  if (at >= 0) ps->nodes[at].arg = what;
  return at;
}

// A node over a chain of children (linked through next); a single child
// stands for itself, none for the empty node.
static int32_t rx_list_node(rx_parser* ps, uint8_t kind, int32_t first) {
  if (first < 0) return rx_node_new(ps, N_EMPTY);
  if (ps->nodes[first].next < 0) return first;
  int32_t at = rx_node_new(ps, kind);
  if (at < 0) return -1;
  uint32_t size = 0, branches = 0, height = 0;
  for (int32_t c = first; c >= 0; c = ps->nodes[c].next, ++branches) {
    size = sat_add(size, ps->nodes[c].size);
    height = std::max(height, ps->nodes[c].height);
  }
  // The tree is walked recursively: its height is bounded like the groups.
  if (height >= KREGEX_TREE_MAX) return rx_fail(ps);
  // Each further branch costs a split and a jump.
  if (kind == N_ALT) size = sat_add(size, 2 * (branches - 1));
  ps->nodes[at].first = first;
  ps->nodes[at].size = size;
  ps->nodes[at].height = height + 1;
  return at;
}

static int32_t parse_alt(rx_parser* ps, uint32_t nest);

// A name of "[:name:]", "[.x.]" or "[=x=]" after its opening pair; the
// names of classes keep their case, the others fold.
static bool parse_bracket_name(rx_parser* ps, unsigned char delim, char* name) {
  if (ps->i >= ps->n) return false;
  for (uint32_t k = 0;; ++k) {
    if (k >= 32) return false;
    unsigned char ch = ps->p[ps->i++];
    if (ps->i >= ps->n) return false;
    if (ch == delim && ps->p[ps->i] == ']') break;
    name[k] = static_cast<char>(delim == ':' ? ch : rx_upper(ch));
    name[k + 1] = '\0';
  }
  ++ps->i;
  return true;
}

enum { E_CHAR, E_COLL, E_EQUIV, E_CLASS };

struct rx_elem {
  int kind;
  unsigned char ch;
  char name[34];
};

// One element of a bracket expression. A '-' that does not close the
// expression may only start it (or end a range).
static bool parse_bracket_elem(rx_parser* ps, rx_elem* e, bool accept_hyphen) {
  const unsigned char* p = ps->p;
  e->name[0] = '\0';
  if (p[ps->i] == '[' && ps->i + 1 < ps->n &&
      (p[ps->i + 1] == '.' || p[ps->i + 1] == '=' || p[ps->i + 1] == ':')) {
    unsigned char delim = p[ps->i + 1];
    ps->i += 2;
    e->kind = delim == '.' ? E_COLL : delim == '=' ? E_EQUIV : E_CLASS;
    if (!parse_bracket_name(ps, delim, e->name)) return false;
    if (e->kind != E_CLASS) {
      // Only one-byte collating elements exist in the C locale.
      if (strlen(e->name) != 1) return false;
      e->ch = static_cast<unsigned char>(e->name[0]);
    }
    return true;
  }
  if (p[ps->i] == '-' && !accept_hyphen && !(ps->i + 1 < ps->n && p[ps->i + 1] == ']'))
    return false;
  e->kind = E_CHAR;
  e->ch = rx_upper(p[ps->i++]);
  return true;
}

static bool add_class(rx_bits* b, const char* name) {
  for (const rx_class_name& c : kClasses)
    if (strcmp(c.name, name) == 0) {
      bits_ctype(b, c.test);
      return true;
    }
  return false;
}

// After the '['.
static int32_t parse_bracket(rx_parser* ps) {
  rx_bits b = {};
  bool negate = false;
  if (ps->i < ps->n && ps->p[ps->i] == '^') {
    negate = true;
    ++ps->i;
  }
  for (bool first = true;; first = false) {
    if (ps->i >= ps->n) return rx_fail(ps);
    if (!first && ps->p[ps->i] == ']') {
      ++ps->i;
      break;
    }
    rx_elem start;
    if (!parse_bracket_elem(ps, &start, first)) return rx_fail(ps);
    bool range = false;
    if (start.kind != E_CLASS && start.kind != E_EQUIV) {
      if (ps->i >= ps->n) return rx_fail(ps);
      if (ps->p[ps->i] == '-') {
        if (ps->i + 1 >= ps->n) return rx_fail(ps);
        // A '-' before the closing ']' is an ordinary byte.
        if (ps->p[ps->i + 1] != ']') {
          ++ps->i;
          range = true;
        }
      }
    }
    if (range) {
      rx_elem end;
      if (!parse_bracket_elem(ps, &end, true) || end.kind == E_CLASS || end.kind == E_EQUIV ||
          start.ch > end.ch)
        return rx_fail(ps);
      for (unsigned c = start.ch; c <= end.ch; ++c) bits_set(&b, c);
    } else if (start.kind == E_CLASS) {
      if (!add_class(&b, start.name)) return rx_fail(ps);
    } else {
      bits_set(&b, start.ch);
    }
  }
  bits_fold(&b, negate);
  return rx_set_node(ps, &b);
}

// The digits of an interval up to ',' or '}' (returned in *stop, 0 at the
// end of the pattern): -1 when there are none, -2 when anything else is in
// the way.
static int32_t parse_number(rx_parser* ps, unsigned char* stop) {
  int32_t num = -1;
  for (;;) {
    if (ps->i >= ps->n) {
      *stop = 0;
      return -2;
    }
    unsigned char c = ps->p[ps->i++];
    bool escaped = false;
    if (c == '\\' && ps->i < ps->n) {
      c = ps->p[ps->i++];
      escaped = true;
    }
    if ((c == '}' && !escaped) || c == ',') {
      *stop = c;
      return num;
    }
    // An escaped digit stands for itself, as the C library reads it, but
    // for \1-\9 (back-references, refused).
    num = (escaped && c != '0') || !rx_digit(c) || num == -2 ? -2
          : num == -1                                        ? c - '0'
                      : std::min(RX_DUP_MAX + 1, num * 10 + c - '0');
  }
}

// The repetition after p[i] (one of "*+?{"), applied to node.
static int32_t parse_repeat(rx_parser* ps, int32_t node) {
  unsigned char op = ps->p[ps->i++];
  int32_t min = op == '+' ? 1 : 0, max = op == '?' ? 1 : RX_INF;
  if (op == '{') {
    unsigned char stop;
    min = parse_number(ps, &stop);
    if (min == -1) {
      if (stop != ',') return rx_fail(ps);  // "{}"
      min = 0;
    }
    max = min == -2 ? -2 : stop == '}' ? min : parse_number(ps, &stop);
    if (min == -2 || max == -2 || stop != '}' || (max != -1 && min > max)) return rx_fail(ps);
    if ((max == -1 ? min : max) > RX_DUP_MAX) return rx_fail(ps);
  }
  rx_node* child = &ps->nodes[node];
  if (child->kind == N_EMPTY) return node;
  if (max == 0) return rx_node_new(ps, N_EMPTY);
  int32_t at = rx_node_new(ps, N_REPEAT);
  if (at < 0) return -1;
  uint32_t c = ps->nodes[node].size;
  if (ps->nodes[node].height >= KREGEX_TREE_MAX) return rx_fail(ps);
  rx_node* nd = &ps->nodes[at];
  nd->height = ps->nodes[node].height + 1;
  nd->min = min;
  nd->max = max;
  nd->first = node;
  // Unrolled: the required copies, then a loop (one split, or two and a
  // jump when nothing is required) or an optional copy (a split each).
  uint32_t fixed = sat_mul(c, static_cast<uint32_t>(min));
  if (max == RX_INF)
    nd->size = min ? sat_add(fixed, 1) : sat_add(c, 2);
  else
    nd->size = sat_add(fixed, sat_mul(c + 1, static_cast<uint32_t>(max - min)));
  return at;
}

static int32_t parse_atom(rx_parser* ps, uint32_t nest) {
  unsigned char c = ps->p[ps->i];
  switch (c) {
    case '*':
    case '+':
    case '?':
    case '{':
      return rx_fail(ps);  // nothing to repeat
    case '(': {
      ++ps->i;
      if (++ps->depth > KREGEX_DEPTH_MAX) return rx_fail(ps);
      int32_t inner;
      if (ps->i < ps->n && ps->p[ps->i] == ')')
        inner = rx_node_new(ps, N_EMPTY);
      else
        inner = parse_alt(ps, nest + 1);
      if (ps->failed) return -1;
      if (ps->i >= ps->n || ps->p[ps->i] != ')') return rx_fail(ps);
      ++ps->i;
      --ps->depth;
      return inner;
    }
    case '^':
      ++ps->i;
      return rx_assert_node(ps, A_BEGIN);
    case '$':
      ++ps->i;
      return rx_assert_node(ps, A_END);
    case '.': {
      ++ps->i;
      rx_bits b = {};
      bits_ctype(&b, [](int ch) { return ch != 0; });
      return rx_set_node(ps, &b);
    }
    case '[':
      ++ps->i;
      return parse_bracket(ps);
    case '\\': {
      if (ps->i + 1 >= ps->n) return rx_fail(ps);
      unsigned char e = ps->p[ps->i + 1];
      ps->i += 2;
      rx_bits b = {};
      switch (e) {
        case '<':
          return rx_assert_node(ps, A_WORD_FIRST);
        case '>':
          return rx_assert_node(ps, A_WORD_LAST);
        case 'b':
          return rx_assert_node(ps, A_BOUNDARY);
        case 'B':
          return rx_assert_node(ps, A_NOT_BOUNDARY);
        case '`':
          return rx_assert_node(ps, A_BEGIN);
        case '\'':
          return rx_assert_node(ps, A_END);
        case 'w':
        case 'W':
          bits_ctype(&b, rx_word);
          bits_fold(&b, e == 'W');
          return rx_set_node(ps, &b);
        case 's':
        case 'S':
          bits_ctype(&b, rx_space);
          bits_fold(&b, e == 'S');
          return rx_set_node(ps, &b);
        default:
          if (e >= '1' && e <= '9') return rx_fail(ps);  // back-references are refused
          return rx_char_node(ps, e);
      }
    }
    default:
      ++ps->i;
      return rx_char_node(ps, c);  // ')' outside a group, ']' and '}' included
  }
}

// An atom and the repetitions that follow it. Anchors and the other
// assertions take none: a repetition right after one has nothing to repeat.
static int32_t parse_piece(rx_parser* ps, uint32_t nest) {
  unsigned char c = ps->p[ps->i];
  bool assertion = c == '^' || c == '$' ||
                   (c == '\\' && ps->i + 1 < ps->n && strchr("<>bB`'", ps->p[ps->i + 1]) &&
                    ps->p[ps->i + 1] != '\0');
  int32_t node = parse_atom(ps, nest);
  if (ps->failed || assertion) return node;
  while (ps->i < ps->n && strchr("*+?{", ps->p[ps->i]) && ps->p[ps->i] != '\0') {
    node = parse_repeat(ps, node);
    if (ps->failed) return -1;
  }
  return node;
}

static int32_t parse_branch(rx_parser* ps, uint32_t nest) {
  int32_t first = -1, last = -1;
  while (ps->i < ps->n && ps->p[ps->i] != '|' && !(nest > 0 && ps->p[ps->i] == ')')) {
    int32_t piece = parse_piece(ps, nest);
    if (ps->failed) return -1;
    if (ps->nodes[piece].kind == N_EMPTY) continue;
    if (first < 0)
      first = piece;
    else
      ps->nodes[last].next = piece;
    last = piece;
  }
  return rx_list_node(ps, N_CAT, first);
}

static int32_t parse_alt(rx_parser* ps, uint32_t nest) {
  int32_t first = parse_branch(ps, nest), last = first;
  while (!ps->failed && ps->i < ps->n && ps->p[ps->i] == '|') {
    ++ps->i;
    int32_t branch = parse_branch(ps, nest);
    if (ps->failed) return -1;
    ps->nodes[last].next = branch;
    last = branch;
  }
  if (ps->failed) return -1;
  return rx_list_node(ps, N_ALT, first);
}

// ---------------------------------------------------------------------------
// The program.

enum { I_BYTES, I_SPLIT, I_JMP, I_ASSERT, I_MATCH };

struct rx_inst {
  uint8_t op;
  uint8_t arg;  // I_ASSERT: the assertion
  uint32_t x;   // I_BYTES: byte set; I_SPLIT, I_JMP: target; I_MATCH: member
  uint32_t y;   // I_SPLIT: second target
};

struct kregex_prog {
  rx_inst* code;
  uint32_t count;
  rx_bits* sets;
  uint32_t nsets;
};

static uint32_t emit(kregex_prog* g, uint8_t op, uint32_t x = 0, uint32_t y = 0) {
  g->code[g->count] = rx_inst{op, 0, x, y};
  return g->count++;
}

static void emit_node(const rx_parser* ps, int32_t at, kregex_prog* g) {
  const rx_node* nd = &ps->nodes[at];
  switch (nd->kind) {
    case N_EMPTY:
      return;
    case N_SET:
      emit(g, I_BYTES, nd->set);
      return;
    case N_ASSERT:
      g->code[emit(g, I_ASSERT)].arg = nd->arg;
      return;
    case N_CAT:
      for (int32_t c = nd->first; c >= 0; c = ps->nodes[c].next) emit_node(ps, c, g);
      return;
    case N_ALT: {
      // split(branch, next split) ... each branch but the last jumps to the end.
      uint32_t prev_jump = UINT32_MAX;
      for (int32_t c = nd->first; c >= 0; c = ps->nodes[c].next) {
        uint32_t split = UINT32_MAX;
        if (ps->nodes[c].next >= 0) split = emit(g, I_SPLIT, g->count + 1);
        emit_node(ps, c, g);
        if (ps->nodes[c].next >= 0) {
          // Jumps chain through their x until the end is known.
          uint32_t j = emit(g, I_JMP, prev_jump);
          prev_jump = j;
          g->code[split].y = g->count;
        }
      }
      while (prev_jump != UINT32_MAX) {
        uint32_t before = g->code[prev_jump].x;
        g->code[prev_jump].x = g->count;
        prev_jump = before;
      }
      return;
    }
    case N_REPEAT: {
      int32_t copies = nd->max == RX_INF && nd->min > 0 ? nd->min - 1 : nd->min;
      for (int32_t k = 0; k < copies; ++k) emit_node(ps, nd->first, g);
      if (nd->max == RX_INF) {
        if (nd->min > 0) {  // body; split(body, on)
          uint32_t body = g->count;
          emit_node(ps, nd->first, g);
          emit(g, I_SPLIT, body, g->count + 1);
        } else {  // split(body, out); body; jmp split
          uint32_t split = emit(g, I_SPLIT, g->count + 1);
          emit_node(ps, nd->first, g);
          emit(g, I_JMP, split);
          g->code[split].y = g->count;
        }
      } else {
        for (int32_t k = nd->min; k < nd->max; ++k) {  // split(copy, past it); copy
          uint32_t split = emit(g, I_SPLIT, g->count + 1);
          emit_node(ps, nd->first, g);
          g->code[split].y = g->count;
        }
      }
      return;
    }
  }
}

static void prog_free(kregex_prog* g) {
  if (!g) return;
  free(g->code);
  free(g->sets);
  free(g);
}

// The program of pattern, or nullptr when it is refused (or memory ran out);
// *root and the parser are left for the literal's derivation when wanted.
static kregex_prog* compile_pattern(rx_parser* ps, const char* pattern, size_t length,
                                    int32_t* root) {
  *ps = rx_parser{reinterpret_cast<const unsigned char*>(pattern),
                  0,
                  length,
                  nullptr,
                  0,
                  0,
                  nullptr,
                  0,
                  0,
                  0,
                  false};
  *root = parse_alt(ps, 0);
  if (ps->failed || ps->nodes[*root].size + 1 > KREGEX_PROG_MAX) return nullptr;
  kregex_prog* g = static_cast<kregex_prog*>(calloc(1, sizeof(kregex_prog)));
  if (!g) return nullptr;
  g->code = static_cast<rx_inst*>(malloc(sizeof(rx_inst) * (ps->nodes[*root].size + 1)));
  g->sets = static_cast<rx_bits*>(malloc(sizeof(rx_bits) * (ps->nsets ? ps->nsets : 1)));
  if (!g->code || !g->sets) {
    prog_free(g);
    return nullptr;
  }
  if (ps->nsets > 0) memcpy(g->sets, ps->sets, sizeof(rx_bits) * ps->nsets);
  g->nsets = ps->nsets;
  emit_node(ps, *root, g);
  emit(g, I_MATCH, 0);
  return g;
}

static void parser_free(rx_parser* ps) {
  free(ps->nodes);
  free(ps->sets);
}

// ---------------------------------------------------------------------------
// The required literal: characters that every match of a node holds in a
// row. A concatenation runs its one-character children together; zero-width
// children (assertions, empty groups) do not break a run.

// Literals and factors are looked for this deep in the tree at most, which
// bounds the stack their derivation takes.
#define RX_FACTOR_DEPTH 12

struct rx_lit_text {
  char s[KREGEX_LITERAL_MAX];
  uint32_t n;
};

// The one byte (upper case for a letter) that set matches, or -1.
static int single_byte(const rx_bits* b) {
  int found = -1, count = 0;
  for (unsigned c = 0; c < 256; ++c)
    if (bits_has(b, c)) {
      ++count;
      if (found < 0 || rx_alpha(static_cast<int>(c))) found = static_cast<int>(rx_upper(c));
    }
  if (count == 2 && rx_alpha(found) && bits_has(b, rx_lower(static_cast<unsigned char>(found))))
    return found;
  return count == 1 ? found : -1;
}

static void keep_longer(rx_lit_text* best, const rx_lit_text* cand) {
  if (cand->n > best->n) *best = *cand;
}

static rx_lit_text node_literal(const rx_parser* ps, int32_t at, uint32_t depth) {
  const rx_node* nd = &ps->nodes[at];
  rx_lit_text best = {{0}, 0};
  if (depth > RX_FACTOR_DEPTH) return best;
  if (nd->kind == N_SET) {
    int b = single_byte(&ps->sets[nd->set]);
    if (b > 0 && b != '\n' && b != '\r') {
      best.s[0] = static_cast<char>(rx_lower(static_cast<unsigned char>(b)));
      best.n = 1;
    }
  } else if (nd->kind == N_REPEAT) {
    if (nd->min > 0) best = node_literal(ps, nd->first, depth + 1);
  } else if (nd->kind == N_CAT) {
    rx_lit_text run = {{0}, 0};
    for (int32_t c = nd->first; c >= 0; c = ps->nodes[c].next) {
      const rx_node* ch = &ps->nodes[c];
      if (ch->kind == N_ASSERT || ch->kind == N_EMPTY) continue;
      rx_lit_text one = node_literal(ps, c, depth + 1);
      if (ch->kind == N_SET && one.n == 1) {
        if (run.n + 1 < KREGEX_LITERAL_MAX) run.s[run.n++] = one.s[0];
        continue;
      }
      keep_longer(&best, &run);
      run.n = 0;
      keep_longer(&best, &one);
    }
    keep_longer(&best, &run);
  }
  best.s[best.n] = '\0';
  return best;
}

uint32_t kregex_required_literal(const char* pattern, char* out, uint32_t out_size) {
  if (out_size == 0) return 0;
  out[0] = '\0';
  rx_parser ps;
  int32_t root;
  kregex_prog* g = compile_pattern(&ps, pattern, strlen(pattern), &root);
  uint32_t n = 0;
  if (g) {
    rx_lit_text lit = node_literal(&ps, root, 0);
    n = std::min(lit.n, out_size - 1);
    memcpy(out, lit.s, n);
    out[n] = '\0';
  }
  prog_free(g);
  parser_free(&ps);
  return n;
}

// ---------------------------------------------------------------------------
// Factors: a few strings one of which every match holds, so that a line
// holding none of them needs no automaton. Derived like the literal, but an
// alternative or an optional piece of few exact strings multiplies out:
// "connection (refused|reset)" needs "connection refused" or "connection
// reset", "timed? out" one of "time out" and "timed out". Only the top
// levels of the tree are looked at, which bounds the stack.

#define RX_FACTORS_MAX 8
#define RX_FACTOR_LEN 32
#define RX_SET_LITS_MAX 24  // factors of a set searched for at once

struct rx_factors {
  uint32_t n;  // 0: none known
  struct {
    char s[RX_FACTOR_LEN];
    uint32_t n;
  } f[RX_FACTORS_MAX];
};

struct rx_info {
  rx_factors exact;     // the only strings the node matches; n == 0: not known
  rx_factors required;  // one of them is in every match; n == 0: none
};

static bool factors_add(rx_factors* set, const char* s, uint32_t n) {
  for (uint32_t i = 0; i < set->n; ++i)
    if (set->f[i].n == n && memcmp(set->f[i].s, s, n) == 0) return true;
  if (set->n == RX_FACTORS_MAX || n >= RX_FACTOR_LEN) return false;
  memcpy(set->f[set->n].s, s, n);
  set->f[set->n++].n = n;
  return true;
}

// Every string of a followed by every string of b, into out; false when
// that is too many or too long.
static bool factors_product(const rx_factors* a, const rx_factors* b, rx_factors* out) {
  out->n = 0;
  char buf[2 * RX_FACTOR_LEN];
  for (uint32_t i = 0; i < a->n; ++i)
    for (uint32_t j = 0; j < b->n; ++j) {
      memcpy(buf, a->f[i].s, a->f[i].n);
      memcpy(buf + a->f[i].n, b->f[j].s, b->f[j].n);
      if (!factors_add(out, buf, a->f[i].n + b->f[j].n)) return false;
    }
  return true;
}

static bool factors_union(rx_factors* into, const rx_factors* b) {
  for (uint32_t j = 0; j < b->n; ++j)
    if (!factors_add(into, b->f[j].s, b->f[j].n)) return false;
  return true;
}

// How much a set of factors spares: its shortest string (0 when it holds
// the empty string, which spares nothing).
static uint32_t factors_score(const rx_factors* set) {
  if (set->n == 0) return 0;
  uint32_t shortest = UINT32_MAX;
  for (uint32_t i = 0; i < set->n; ++i) shortest = std::min(shortest, set->f[i].n);
  return shortest;
}

static void factors_consider(rx_factors* best, const rx_factors* cand) {
  uint32_t a = factors_score(cand), b = factors_score(best);
  if (a > b || (a == b && a > 0 && cand->n < best->n)) *best = *cand;
}

static void node_info(const rx_parser* ps, int32_t at, uint32_t depth, rx_info* out) {
  const rx_node* nd = &ps->nodes[at];
  out->exact.n = out->required.n = 0;
  if (depth > RX_FACTOR_DEPTH) return;
  rx_info child;
  switch (nd->kind) {
    case N_SET: {
      int b = single_byte(&ps->sets[nd->set]);
      if (b > 0 && b != '\n' && b != '\r') {
        char c = static_cast<char>(rx_lower(static_cast<unsigned char>(b)));
        factors_add(&out->exact, &c, 1);
        out->required = out->exact;
      }
      return;
    }
    case N_EMPTY:
    case N_ASSERT:
      factors_add(&out->exact, "", 0);  // zero width: runs go on through it
      return;
    case N_ALT: {
      bool exact = true, required = true;
      for (int32_t c = nd->first; c >= 0; c = ps->nodes[c].next) {
        node_info(ps, c, depth + 1, &child);
        exact = exact && child.exact.n && factors_union(&out->exact, &child.exact);
        required = required && factors_score(&child.required) &&
                   factors_union(&out->required, &child.required);
      }
      if (!exact) out->exact.n = 0;
      if (!required) out->required.n = 0;
      return;
    }
    case N_REPEAT:
      node_info(ps, nd->first, depth + 1, &child);
      if (nd->min > 0) out->required = child.required;
      if (nd->min == 0 && nd->max == 1 && child.exact.n) {
        factors_add(&out->exact, "", 0);
        if (!factors_union(&out->exact, &child.exact)) out->exact.n = 0;
      }
      return;
    case N_CAT: {
      // A run of exact children multiplies out; where it ends it is one
      // candidate, and each child's own requirement another.
      rx_factors run, next;
      run.n = 0;
      factors_add(&run, "", 0);
      bool exact = true;
      for (int32_t c = nd->first; c >= 0; c = ps->nodes[c].next) {
        node_info(ps, c, depth + 1, &child);
        if (child.exact.n && factors_product(&run, &child.exact, &next)) {
          run = next;
          continue;
        }
        exact = false;
        factors_consider(&out->required, &run);
        factors_consider(&out->required, &child.required);
        run.n = 0;
        if (child.exact.n)
          run = child.exact;
        else
          factors_add(&run, "", 0);
      }
      factors_consider(&out->required, &run);
      if (exact) out->exact = run;
      return;
    }
  }
}

// The factors of a compiled pattern, as strings one after another, each
// ending in NUL; the count into *n. nullptr (and 0) when there are none.
static char* pattern_factors(const rx_parser* ps, int32_t root, uint32_t* n) {
  rx_info info;
  node_info(ps, root, 0, &info);
  *n = 0;
  if (factors_score(&info.required) == 0) return nullptr;
  size_t size = 0;
  for (uint32_t i = 0; i < info.required.n; ++i) size += info.required.f[i].n + 1;
  char* out = static_cast<char*>(malloc(size));
  if (!out) return nullptr;
  char* at = out;
  for (uint32_t i = 0; i < info.required.n; ++i) {
    memcpy(at, info.required.f[i].s, info.required.f[i].n);
    at += info.required.f[i].n;
    *at++ = '\0';
  }
  *n = info.required.n;
  return out;
}

// ---------------------------------------------------------------------------
// Searching for literals. Each literal has a pivot: the pair of adjacent
// bytes in it that should be rarest in log text. Text and pivots are folded
// by setting bit 5, which maps 'A'..'Z' onto 'a'..'z' (and a few other bytes
// onto others: such a pair can only agree more often, never less), and only
// where a pair agrees is the whole literal compared. A step loads and folds
// the bytes at its positions and after them once and compares them with
// each distinct pair, through the compiler's portable vector types:
// thirty-two positions a step where the processor has AVX2 (asked once at
// run time), sixteen elsewhere.

typedef uint8_t rx_v16 __attribute__((vector_size(16)));

struct kregex_lit {
  const char* text;  // lower case
  uint32_t length;
  uint32_t pivot;  // offset of the pair's first byte in text
  uint8_t c0, c1;  // the pair, folded; c1 of a one-byte literal is any byte
};

// Literals searched for together, and their distinct pairs.
struct kregex_lits {
  kregex_lit* lit;
  uint32_t count;
  uint8_t (*pairs)[3];  // c0, c1, 1 for any c1
  uint32_t npairs;
};

// Rough frequency of bytes in log text.
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

// The pivot is the adjacent pair with the smallest product of weights.
static void lit_init(kregex_lit* l, const char* text, uint32_t length) {
  l->text = text;
  l->length = length;
  l->pivot = 0;
  uint32_t best = UINT32_MAX;
  for (uint32_t i = 0; i + 1 < length; ++i) {
    uint32_t cost = byte_weight(static_cast<unsigned char>(text[i])) *
                    byte_weight(static_cast<unsigned char>(text[i + 1]));
    if (cost < best) {
      best = cost;
      l->pivot = i;
    }
  }
  l->c0 = static_cast<uint8_t>(text[l->pivot] | 0x20);
  l->c1 = length > 1 ? static_cast<uint8_t>(text[l->pivot + 1] | 0x20) : 0;
}

static bool lit_at(const kregex_lit* l, const unsigned char* s, const unsigned char* begin,
                   const unsigned char* end) {
  if (s < begin || end - s < static_cast<ptrdiff_t>(l->length)) return false;
  for (uint32_t i = 0; i < l->length; ++i)
    if (rx_lower(s[i]) != static_cast<unsigned char>(l->text[i])) return false;
  return true;
}

static void lits_free(kregex_lits* ls) {
  if (!ls) return;
  free(ls->lit);
  free(ls->pairs);
  free(ls);
}

static void lits_add_pair(kregex_lits* ls, const kregex_lit* l) {
  uint8_t pair[3] = {l->c0, l->c1, l->length == 1 ? uint8_t{1} : uint8_t{0}};
  for (uint32_t k = 0; k < ls->npairs; ++k)
    if (memcmp(ls->pairs[k], pair, 3) == 0) return;
  memcpy(ls->pairs[ls->npairs++], pair, 3);
}

// The literals' distinct pairs; false when memory ran out.
static bool lits_prepare(kregex_lits* ls) {
  ls->pairs = static_cast<uint8_t(*)[3]>(malloc(3 * (ls->count ? ls->count : 1)));
  if (!ls->pairs) return false;
  ls->npairs = 0;
  for (uint32_t i = 0; i < ls->count; ++i) lits_add_pair(ls, &ls->lit[i]);
  return true;
}

// The literal that starts at pair position s less its pivot, or nullptr.
static const unsigned char* lits_check(const kregex_lits* ls, const unsigned char* s,
                                       const unsigned char* b, const unsigned char* e) {
  // The pair itself first: most positions a step flags hold another pair.
  uint8_t f0 = s[0] | 0x20, f1 = s + 1 < e ? s[1] | 0x20 : 0;
  for (uint32_t i = 0; i < ls->count; ++i) {
    const kregex_lit* l = &ls->lit[i];
    if (f0 == l->c0 && (f1 == l->c1 || l->length == 1) && lit_at(l, s - l->pivot, b, e))
      return s - l->pivot;
  }
  return nullptr;
}

// The start of a literal whose pivot lies at the first position in
// [begin, end) where one does; end when none does. A literal never holds
// LF, so the line of the result is the first line of [begin, end) holding
// one of the literals. V is the vector of positions tried per step.
template <typename V>
static inline __attribute__((always_inline)) const char* find_lits_in(const kregex_lits* ls,
                                                                      const char* begin,
                                                                      const char* end) {
  const unsigned W = sizeof(V);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(begin);
  const unsigned char* e = reinterpret_cast<const unsigned char*>(end);
  const unsigned char* s = b;
  // Vectors are filled through memset and memcpy: passed by value, a wide
  // one would depend on the instructions its caller was compiled for.
  V bit5, p0[RX_SET_LITS_MAX], p1[RX_SET_LITS_MAX], any1[RX_SET_LITS_MAX];
  memset(&bit5, 0x20, W);
  for (uint32_t i = 0; i < ls->npairs; ++i) {
    memset(&p0[i], ls->pairs[i][0], W);
    memset(&p1[i], ls->pairs[i][1], W);
    memset(&any1[i], ls->pairs[i][2] ? 0xff : 0, W);
  }
  // Both loads of a step end at most at s + W <= e - 1.
  while (e - s > W) {
    V f0, f1;
    memcpy(&f0, s, W);
    memcpy(&f1, s + 1, W);
    f0 |= bit5;
    f1 |= bit5;
    V acc = {};
    for (uint32_t i = 0; i < ls->npairs; ++i)
      acc |= reinterpret_cast<V>(f0 == p0[i]) & (reinterpret_cast<V>(f1 == p1[i]) | any1[i]);
    // Only the flagged lanes are visited, eight at a time (a lane is 0 or 0xff).
    for (unsigned k = 0; k < W; k += 8) {
      uint64_t lanes;
      memcpy(&lanes, reinterpret_cast<const char*>(&acc) + k, 8);
      while (lanes) {
        unsigned j = k + static_cast<unsigned>(__builtin_ctzll(lanes)) / 8;
        lanes &= ~(uint64_t{0xff} << (8 * (j - k)));
        const unsigned char* at = lits_check(ls, s + j, b, e);
        if (at) return reinterpret_cast<const char*>(at);
      }
    }
    s += W;
  }
  for (; s < e; ++s) {
    const unsigned char* at = lits_check(ls, s, b, e);
    if (at) return reinterpret_cast<const char*>(at);
  }
  return end;
}

typedef uint8_t rx_v32 __attribute__((vector_size(32)));

__attribute__((target("avx2"))) static const char* find_lits_32(const kregex_lits* ls,
                                                                const char* begin,
                                                                const char* end) {
  return find_lits_in<rx_v32>(ls, begin, end);
}

static const char* find_lits(const kregex_lits* ls, const char* begin, const char* end) {
  static const bool wide = __builtin_cpu_supports("avx2");
  return wide ? find_lits_32(ls, begin, end) : find_lits_in<rx_v16>(ls, begin, end);
}

const char* kregex_candidate(const kregex* r, const char* begin, const char* end) {
  if (r->literal_length == 0) return begin;
  kregex_lit l;
  lit_init(&l, r->literal, r->literal_length);
  uint8_t pair[3];
  kregex_lits ls = {&l, 1, &pair, 0};
  lits_add_pair(&ls, &l);
  return find_lits(&ls, begin, end);
}

// ---------------------------------------------------------------------------
// The deterministic automaton.

enum { F_START = 1, F_WORD = 2 };
#define RX_UNKNOWN (-1)
// A cached transition holds the next state's row offset (state * classes),
// or RX_DECIDED(state) for a state where the search is decided, so that the
// byte loop stops there.
#define RX_DECIDED(s) (-2 - (s))

struct rx_state {
  uint32_t kernel, length;  // positions alive, in kernels[kernel .. kernel + length)
  int32_t best;             // first member matched so far, -1 for none
  int32_t end_best;         // best once the text ends here; -2 until known
  uint32_t hash;
  uint8_t flags;
};

struct rx_sparse {
  uint32_t *dense, *sparse;
  uint32_t n;
};

static bool sparse_has(const rx_sparse* s, uint32_t v) {
  return s->sparse[v] < s->n && s->dense[s->sparse[v]] == v;
}

static void sparse_add(rx_sparse* s, uint32_t v) {
  s->sparse[v] = s->n;
  s->dense[s->n++] = v;
}

struct kregex_dfa {
  rx_inst* code;
  uint32_t count;
  rx_bits* sets;
  uint32_t* owner;   // member of each instruction
  uint32_t* starts;  // first instruction of each member
  uint32_t members;
  uint8_t cls[256];  // byte -> class
  uint32_t ncls;
  uint32_t lf_class, nul_class;

  rx_state* states;
  uint32_t nstates, states_cap;
  int32_t* trans;  // states_cap * ncls
  uint32_t* kernels;
  uint32_t kernels_length, kernels_cap;
  int32_t* table;  // open addressing over states, -1 for free
  uint32_t table_cap;
  size_t bytes;
  uint32_t flushes;

  uint32_t* stack;
  rx_sparse seen, next;
};

static bool assertion_holds(uint8_t what, uint8_t flags, int next) {
  bool prev_word = flags & F_WORD;
  bool next_word = next >= 0 && rx_word(next);
  switch (what) {
    case A_BEGIN:
      return flags & F_START;
    case A_END:
      return next < 0;
    case A_WORD_FIRST:
      return !prev_word && next_word;
    case A_WORD_LAST:
      return prev_word && !next_word;
    case A_BOUNDARY:
      return prev_word != next_word;
    default:
      return prev_word == next_word;
  }
}

// Follows the state's positions (and each member's start, for members that
// could still come first) through everything that consumes no byte, in the
// context of the next byte (next < 0: the end of the text). The positions
// that take that byte leave their successors in d->next; the result is the
// first member matched.
static int32_t closure(kregex_dfa* d, uint32_t s, int next) {
  const rx_state* st = &d->states[s];
  int32_t best = st->best;
  uint32_t limit = best < 0 ? d->members : static_cast<uint32_t>(best);
  uint8_t flags = st->flags;
  d->seen.n = d->next.n = 0;
  uint32_t top = 0;
  auto push = [&](uint32_t pc) {
    if (!sparse_has(&d->seen, pc)) {
      sparse_add(&d->seen, pc);
      d->stack[top++] = pc;
    }
  };
  for (uint32_t m = 0; m < limit; ++m) push(d->starts[m]);
  for (uint32_t i = 0; i < st->length; ++i) push(d->kernels[st->kernel + i]);
  while (top) {
    uint32_t pc = d->stack[--top];
    const rx_inst* in = &d->code[pc];
    switch (in->op) {
      case I_BYTES:
        if (next >= 0 && bits_has(&d->sets[in->x], static_cast<unsigned>(next)) &&
            !sparse_has(&d->next, pc + 1))
          sparse_add(&d->next, pc + 1);
        break;
      case I_SPLIT:
        push(in->y);
        push(in->x);
        break;
      case I_JMP:
        push(in->x);
        break;
      case I_ASSERT:
        if (assertion_holds(in->arg, flags, next)) push(pc + 1);
        break;
      case I_MATCH:
        if (best < 0 || in->x < static_cast<uint32_t>(best)) best = static_cast<int32_t>(in->x);
        break;
    }
  }
  // Positions of members that can no longer come first are dropped.
  if (best >= 0) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < d->next.n; ++i)
      if (d->owner[d->next.dense[i]] < static_cast<uint32_t>(best))
        d->next.dense[kept++] = d->next.dense[i];
    d->next.n = kept;
  }
  return best;
}

static uint32_t state_hash(const uint32_t* k, uint32_t n, uint8_t flags, int32_t best) {
  uint32_t h = 2166136261u ^ flags ^ (static_cast<uint32_t>(best) << 8);
  for (uint32_t i = 0; i < n; ++i) h = (h ^ k[i]) * 16777619u;
  return h ? h : 1;
}

static size_t state_cost(const kregex_dfa* d, uint32_t length) {
  return sizeof(rx_state) + sizeof(int32_t) * (d->ncls + 2) + sizeof(uint32_t) * length;
}

// Forgets every state but the initial one (index 0).
static void dfa_flush(kregex_dfa* d) {
  d->nstates = 1;
  d->kernels_length = 0;
  d->states[0].end_best = -2;
  for (uint32_t k = 0; k < d->ncls; ++k) d->trans[k] = RX_UNKNOWN;
  for (uint32_t i = 0; i < d->table_cap; ++i) d->table[i] = -1;
  d->table[d->states[0].hash & (d->table_cap - 1)] = 0;
  d->bytes = state_cost(d, 0);
  ++d->flushes;
}

// The state of the positions in d->next with flags and best: found, or
// added. -1 when memory ran out.
static int32_t dfa_state(kregex_dfa* d, uint8_t flags, int32_t best) {
  uint32_t* k = d->next.dense;
  uint32_t n = d->next.n;
  std::sort(k, k + n);
  uint32_t h = state_hash(k, n, flags, best);
  uint32_t mask = d->table_cap - 1;
  for (uint32_t i = h & mask;; i = (i + 1) & mask) {
    int32_t at = d->table[i];
    if (at < 0) break;
    const rx_state* st = &d->states[at];
    if (st->hash == h && st->flags == flags && st->best == best && st->length == n &&
        (n == 0 || memcmp(&d->kernels[st->kernel], k, sizeof(uint32_t) * n) == 0))
      return at;
  }
  if (d->bytes + state_cost(d, n) > KREGEX_CACHE_MAX) dfa_flush(d);
  // Room: states, their rows, their positions; the table stays at most half full.
  if (!rx_grow(&d->kernels, &d->kernels_cap, d->kernels_length + n)) return -1;
  if (d->nstates + 1 > d->states_cap) {
    uint32_t cap = d->states_cap;
    if (!rx_grow(&d->states, &cap, d->nstates + 1)) return -1;
    int32_t* trans = static_cast<int32_t*>(realloc(d->trans, sizeof(int32_t) * cap * d->ncls));
    if (!trans) return -1;
    d->trans = trans;
    d->states_cap = cap;
  }
  if (2 * (d->nstates + 1) > d->table_cap) {
    uint32_t cap = d->table_cap * 2;
    int32_t* table = static_cast<int32_t*>(malloc(sizeof(int32_t) * cap));
    if (!table) return -1;
    for (uint32_t i = 0; i < cap; ++i) table[i] = -1;
    for (uint32_t s = 0; s < d->nstates; ++s) {
      uint32_t i = d->states[s].hash & (cap - 1);
      while (table[i] >= 0) i = (i + 1) & (cap - 1);
      table[i] = static_cast<int32_t>(s);
    }
    free(d->table);
    d->table = table;
    d->table_cap = cap;
    mask = cap - 1;
  }
  uint32_t s = d->nstates++;
  if (n) memcpy(&d->kernels[d->kernels_length], k, sizeof(uint32_t) * n);
  d->states[s] = rx_state{d->kernels_length, n, best, -2, h, flags};
  d->kernels_length += n;
  for (uint32_t c = 0; c < d->ncls; ++c) d->trans[s * d->ncls + c] = RX_UNKNOWN;
  uint32_t i = h & mask;
  while (d->table[i] >= 0) i = (i + 1) & mask;
  d->table[i] = static_cast<int32_t>(s);
  d->bytes += state_cost(d, n);
  return static_cast<int32_t>(s);
}

// The state after state s takes byte c; -1 when memory ran out. The
// transition is cached unless c is LF or NUL (which the loops treat apart)
// or the cache was started afresh meanwhile.
static int32_t dfa_next(kregex_dfa* d, uint32_t s, unsigned char c) {
  int32_t best = closure(d, s, c);
  uint32_t flushes = d->flushes;
  int32_t to = dfa_state(d, rx_word(c) ? F_WORD : 0, best);
  if (to < 0) return -1;
  uint32_t k = d->cls[c];
  if (flushes == d->flushes && k != d->lf_class && k != d->nul_class)
    d->trans[s * d->ncls + k] =
        d->states[to].best == 0 ? RX_DECIDED(to) : static_cast<int32_t>(to * d->ncls);
  return to;
}

static int32_t dfa_end(kregex_dfa* d, uint32_t s) {
  if (d->states[s].end_best == -2) d->states[s].end_best = closure(d, s, -1);
  return d->states[s].end_best;
}

static void dfa_free(kregex_dfa* d) {
  if (!d) return;
  free(d->code);
  free(d->sets);
  free(d->owner);
  free(d->starts);
  free(d->states);
  free(d->trans);
  free(d->kernels);
  free(d->table);
  free(d->stack);
  free(d->seen.dense);
  free(d->seen.sparse);
  free(d->next.dense);
  free(d->next.sparse);
  free(d);
}

// Byte classes: bytes that every set of the program (and the word test of
// the assertions) treats alike share a class; LF and NUL have their own.
static void dfa_classes(kregex_dfa* d, uint32_t nsets) {
  uint16_t id[256];
  for (int c = 0; c < 256; ++c) id[c] = c == 0 ? 0 : c == '\n' ? 1 : rx_word(c) ? 2 : 3;
  uint16_t map[512];
  for (uint32_t s = 0; s < nsets; ++s) {
    // Split every class by membership in set s, renumbering densely.
    memset(map, 0xff, sizeof map);
    uint16_t next_id = 0;
    for (int c = 0; c < 256; ++c) {
      uint32_t key = id[c] * 2u + (bits_has(&d->sets[s], static_cast<unsigned>(c)) ? 1 : 0);
      if (map[key] == 0xffff) map[key] = next_id++;
      id[c] = map[key];
    }
  }
  // Renumber in byte order so that the classes are dense from 0.
  memset(map, 0xff, sizeof map);
  d->ncls = 0;
  for (int c = 0; c < 256; ++c) {
    if (map[id[c]] == 0xffff) {
      map[id[c]] = static_cast<uint16_t>(d->ncls);
      ++d->ncls;
    }
    d->cls[c] = static_cast<uint8_t>(map[id[c]]);
  }
  d->lf_class = d->cls[static_cast<unsigned char>('\n')];
  d->nul_class = d->cls[0];
}

static kregex_dfa* dfa_build(const kregex* const* members, uint32_t n) {
  kregex_dfa* d = static_cast<kregex_dfa*>(calloc(1, sizeof(kregex_dfa)));
  if (!d) return nullptr;
  uint32_t count = 0, nsets = 0;
  for (uint32_t m = 0; m < n; ++m) {
    count += members[m]->prog->count;
    nsets += members[m]->prog->nsets;
  }
  d->members = n;
  d->code = static_cast<rx_inst*>(malloc(sizeof(rx_inst) * count));
  d->sets = static_cast<rx_bits*>(malloc(sizeof(rx_bits) * (nsets ? nsets : 1)));
  d->owner = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * count));
  d->starts = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (n ? n : 1)));
  d->stack = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * count));
  d->seen.dense = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * count));
  d->seen.sparse = static_cast<uint32_t*>(calloc(count + 1, sizeof(uint32_t)));
  d->next.dense = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (count + 1)));
  d->next.sparse = static_cast<uint32_t*>(calloc(count + 1, sizeof(uint32_t)));
  d->table_cap = 64;
  d->table = static_cast<int32_t*>(malloc(sizeof(int32_t) * d->table_cap));
  if (!d->code || !d->sets || !d->owner || !d->starts || !d->stack || !d->seen.dense ||
      !d->seen.sparse || !d->next.dense || !d->next.sparse || !d->table) {
    dfa_free(d);
    return nullptr;
  }
  // The members' programs end to end, their targets and sets moved along.
  uint32_t at = 0, set_at = 0;
  for (uint32_t m = 0; m < n; ++m) {
    const kregex_prog* g = members[m]->prog;
    d->starts[m] = at;
    if (g->nsets > 0) memcpy(&d->sets[set_at], g->sets, sizeof(rx_bits) * g->nsets);
    for (uint32_t i = 0; i < g->count; ++i) {
      rx_inst in = g->code[i];
      if (in.op == I_SPLIT || in.op == I_JMP) {
        in.x += at;
        in.y += at;
      } else if (in.op == I_BYTES) {
        in.x += set_at;
      } else if (in.op == I_MATCH) {
        in.x = m;
      }
      d->code[at + i] = in;
      d->owner[at + i] = m;
    }
    at += g->count;
    set_at += g->nsets;
  }
  d->count = count;
  dfa_classes(d, nsets);
  // The initial state: nothing alive yet, at the start of the text.
  for (uint32_t i = 0; i < d->table_cap; ++i) d->table[i] = -1;
  d->next.n = 0;
  if (dfa_state(d, F_START, -1) != 0) {
    dfa_free(d);
    return nullptr;
  }
  return d;
}

// The first member matching [p, end), which ends at a NUL as well. The
// byte loop walks row offsets (state * classes), which the table holds, so
// that a byte costs one add and one load.
static int32_t dfa_match(kregex_dfa* d, const unsigned char* p, const unsigned char* end) {
  uint32_t s = 0;
  const uint8_t* cls = d->cls;
  for (;;) {
    int32_t to = RX_UNKNOWN;
    const int32_t* trans = d->trans;
    uint32_t row = s * d->ncls;
    while (p < end) {
      to = trans[row + cls[*p]];
      if (to < 0) break;
      row = static_cast<uint32_t>(to);
      ++p;
    }
    s = row / d->ncls;
    if (p == end || *p == 0) return dfa_end(d, s);
    if (to <= RX_DECIDED(0)) return 0;
    to = dfa_next(d, s, *p);
    if (to < 0) return -1;
    if (d->states[to].best == 0) return 0;
    s = static_cast<uint32_t>(to);
    ++p;
  }
}

// ---------------------------------------------------------------------------
// The operations.

int kregex_init(kregex* r) {
  r->prog = nullptr;
  r->dfa = nullptr;
  r->literal_length = 0;
  r->literal[0] = '\0';
  r->factors = nullptr;
  r->factor_count = 0;
  return 0;
}

bool kregex_compile(kregex* r, const kstring* pattern) {
  kregex_free(r);
  // The pattern is read as the C library reads it: up to its first NUL.
  const char* p = kstring_text(pattern);
  rx_parser ps;
  int32_t root;
  r->prog = compile_pattern(&ps, p, strlen(p), &root);
  if (r->prog) {
    rx_lit_text lit = node_literal(&ps, root, 0);
    memcpy(r->literal, lit.s, lit.n + 1);
    r->literal_length = lit.n;
    r->factors = pattern_factors(&ps, root, &r->factor_count);
  }
  parser_free(&ps);
  return r->prog == nullptr;
}

uint32_t kregex_size(const kregex* r) {
  return r->prog ? r->prog->count : 0;
}

static bool match_text(const kregex* r, const char* text, size_t length) {
  if (!r->prog) return true;
  kregex* self = const_cast<kregex*>(r);  // the cache changes, the expression does not
  if (!self->dfa) self->dfa = dfa_build(&r, 1);
  if (!self->dfa) return true;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  return dfa_match(self->dfa, p, p + length) != 0;
}

bool kregex_match(const kregex* r, const kstring* text) {
  return match_text(r, kstring_text(text), text->length);
}

void kregex_free(kregex* r) {
  prog_free(r->prog);
  dfa_free(r->dfa);
  free(r->factors);
  kregex_init(r);
}

int kregex_set_init(kregex_set* s) {
  s->dfa = nullptr;
  s->lits = nullptr;
  return 0;
}

bool kregex_set_build(kregex_set* s, const kregex* const* members, uint32_t n) {
  kregex_set_free(s);
  if (n == 0) return false;
  s->dfa = dfa_build(members, n);
  if (!s->dfa) return true;
  // Searching for many literals at once costs more than the automaton: a
  // set has them only when there are few.
  uint32_t count = 0;
  for (uint32_t m = 0; m < n && count <= RX_SET_LITS_MAX; ++m)
    count = members[m]->factor_count ? count + members[m]->factor_count : RX_SET_LITS_MAX + 1;
  if (count > RX_SET_LITS_MAX) return false;
  kregex_lits* ls = static_cast<kregex_lits*>(calloc(1, sizeof(kregex_lits)));
  s->lits = ls;
  if (ls) ls->lit = static_cast<kregex_lit*>(malloc(sizeof(kregex_lit) * count));
  if (!ls || !ls->lit) {
    kregex_set_free(s);
    return true;
  }
  for (uint32_t m = 0; m < n; ++m) {
    const char* f = members[m]->factors;
    for (uint32_t i = 0; i < members[m]->factor_count; ++i, f += strlen(f) + 1)
      lit_init(&ls->lit[ls->count++], f, static_cast<uint32_t>(strlen(f)));
  }
  if (!lits_prepare(ls)) {
    kregex_set_free(s);
    return true;
  }
  return false;
}

int32_t kregex_set_match(const kregex_set* s, const char* text, size_t length) {
  if (!s->dfa) return -1;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  return dfa_match(s->dfa, p, p + length);
}

int32_t kregex_set_find(const kregex_set* s, const char* begin, const char* end, const char** line,
                        const char** line_end) {
  kregex_dfa* d = s->dfa;
  if (!d) return -1;
  const char* pos = begin;
  while (pos < end) {
    // The next line that can match: with literals, the one holding the
    // nearest of them; without, simply the next.
    const char* at = s->lits ? find_lits(s->lits, pos, end) : pos;
    if (at >= end) return -1;
    const char* ls = at;
    while (ls > pos && ls[-1] != '\n') --ls;
    const char* le = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
    if (!le) le = end;
    int32_t hit = kregex_set_match(s, ls, static_cast<size_t>(le - ls));
    if (hit >= 0) {
      *line = ls;
      *line_end = le;
      return hit;
    }
    pos = le + 1;
  }
  return -1;
}

void kregex_set_free(kregex_set* s) {
  dfa_free(s->dfa);
  lits_free(s->lits);
  kregex_set_init(s);
}

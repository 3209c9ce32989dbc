// kregex: POSIX extended regular expressions, always case-insensitive, matched
// anywhere in a text. A compiled expression is owned by its holder, valid from
// a successful kregex_compile to kregex_free, and used by one thread at a time.
// Both results report failure, as POSIX does: kregex_compile returns true when
// the pattern is invalid, kregex_match true when the text does NOT match.
//
// Compiling also derives, when that is provably safe, a required literal: a
// run of plain characters that every match must contain. kregex_match rejects
// a text without it before running the engine, and kregex_candidate lets a
// scanner skip whole runs of lines that cannot match. The literal never
// changes a result; it is derived only in a single-byte locale whose letters
// fold as ASCII does (the agent keeps the C locale).
//
// Patterns come from outside (a collector writes the facility files), and
// the engine's cost grows with what a pattern asks for, not with its length:
// stacked quantifiers and wide intervals multiply its states, deep nesting
// recurses in its parser, back-references make matching exponential. Such
// patterns are refused as invalid before they reach the engine (see
// kregex_pattern_too_costly), so that no filter can exhaust the agent's
// memory, stack or time. Long texts are matched in one pass over them, so
// that a line that anyone can write into a watched log does not hold the
// watch either.
#pragma once

#include <regex.h>

#include <cstdint>

#include "klib/kstring.h"

#define KREGEX_LITERAL_MAX 64

// Texts longer than this are matched through the anchored form (see
// kregex_compile), in time linear in their length.
#define KREGEX_SHORT_TEXT 1024

struct kregex {
  regex_t re;
  bool compiled;
  regex_t anchored;  // "^.*(pattern)", for long texts
  bool has_anchored;
  uint32_t literal_length;           // 0: no required literal, any text may match
  uint32_t pivot;                    // index of the rare byte pair searched first
  char literal[KREGEX_LITERAL_MAX];  // lower case
};

int kregex_libinit();  // 0: nothing to prepare
void kregex_libcleanup();
int kregex_init(kregex* r);                               // 0
bool kregex_compile(kregex* r, const kstring* pattern);   // true: invalid pattern
bool kregex_match(const kregex* r, const kstring* text);  // false: it matches
bool kregex_match_cstr(const kregex* r, const char* text);
void kregex_free(kregex* r);

// Start of the first place in [begin, end) where the required literal occurs
// (case-insensitively), or end when it does not occur: no match can lie
// wholly inside a text that the result skips. begin when the expression has
// no required literal. The literal never holds LF, CR or NUL.
const char* kregex_candidate(const kregex* r, const char* begin, const char* end);
// The required literal that kregex_compile would derive from pattern, into
// out (NUL-terminated, lower case); its length, 0 when none is safe.
uint32_t kregex_required_literal(const char* pattern, char* out, uint32_t out_size);

#define KREGEX_DEPTH_MAX 32    // nesting of parentheses
#define KREGEX_COST_MAX 20000  // atoms once every repetition is unrolled
#define KREGEX_EMPTY_MAX 500   // empty transitions (loops, optional copies, '|') unrolled
#define KREGEX_STACK_MAX 2     // quantifiers in a row ("x+?" is two)
// true when compiling pattern could cost more memory, stack or time than a
// filter may take: parentheses nested deeper than KREGEX_DEPTH_MAX, more
// than KREGEX_COST_MAX atoms or KREGEX_EMPTY_MAX empty transitions once
// every repetition is unrolled, more than KREGEX_STACK_MAX quantifiers in a
// row, a loop over a zero-width element (anchor,
// word boundary, empty group or alternative), or a back-reference (an
// extension outside the extended syntax).
bool kregex_pattern_too_costly(const char* pattern);

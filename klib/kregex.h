// kregex: extended regular expressions, always case-insensitive, matched
// anywhere in a text, by an engine of the agent's own that takes time linear
// in the text for every pattern it accepts.
//
// Syntax: alternation, grouping, the repetitions * + ? {n} {n,} {n,m} {,m},
// bracket expressions (ranges, negation, the classes [:alpha:] and the rest,
// one-character [.x.] and [=x=]), '.', the anchors ^ and $ anywhere, and the
// operators \w \W \s \S \b \B \< \> \` \'; a backslash before any other
// character stands for that character. Letters fold as ASCII does; other
// bytes stand for themselves. A text ends at its first NUL byte.
// Refused (kregex_compile reports an invalid pattern): what the extended
// syntax does not allow (a repetition with nothing to repeat, unbalanced
// groups or brackets, bad intervals, unknown classes, a trailing backslash),
// back-references \1-\9, groups nested deeper than KREGEX_DEPTH_MAX (or a
// tree of sequences, alternatives and repetitions deeper than
// KREGEX_TREE_MAX: "a" followed by 300 '+', for one), and a
// pattern whose automaton exceeds KREGEX_PROG_MAX instructions once every
// interval is unrolled (".{1,1000}" takes about 2,000).
//
// A compiled expression is owned by its holder, valid from a successful
// kregex_compile to kregex_free. Matching builds the automaton's states as
// it meets them and keeps at most KREGEX_CACHE_MAX bytes of them (beyond,
// it starts its cache afresh): an expression or a set is used by one thread
// at a time, even through a const pointer.
//
// Both single results report failure, as POSIX does: kregex_compile returns
// true when the pattern is refused, kregex_match true when the text does NOT
// match. A set answers with the index of the first member, in the order it
// was built with, that matches; -1 when none does.
//
// Compiling also derives a required literal, a run of characters that every
// match contains (kregex_internal.h looks at it), and factors, a
// few strings one of which every match contains: a set whose members all
// have factors, not too many together, skips the lines that hold none.
#pragma once

#include <cstddef>
#include <cstdint>

#include "klib/kstring.h"

#define KREGEX_LITERAL_MAX 64
#define KREGEX_PROG_MAX 20000        // instructions of one compiled pattern
#define KREGEX_DEPTH_MAX 32          // nesting of groups
#define KREGEX_TREE_MAX 256          // nesting of sequences, alternatives, repetitions
#define KREGEX_CACHE_MAX (4u << 20)  // bytes of automaton states per matcher
#define KREGEX_SET_PROG_MAX 200000   // instructions of all members of a set

struct kregex_prog;
struct kregex_dfa;

struct kregex {
  kregex_prog* prog;                 // nullptr: nothing compiled
  kregex_dfa* dfa;                   // matcher over prog alone, built at the first match
  uint32_t literal_length;           // 0: no required literal, any text may match
  char literal[KREGEX_LITERAL_MAX];  // lower case, never LF, CR or NUL
  char* factors;                     // strings one of which every match holds, each
  uint32_t factor_count;             // ending in NUL, lower case; 0: none known
};

int kregex_libinit();  // 0: nothing to prepare
void kregex_libcleanup();
int kregex_init(kregex* r);                               // 0
bool kregex_compile(kregex* r, const kstring* pattern);   // true: refused pattern
bool kregex_match(const kregex* r, const kstring* text);  // false: it matches
void kregex_free(kregex* r);
// Instructions of the compiled automaton (0 when nothing is compiled): a
// matcher over it costs about 40 bytes each, besides its cache.
uint32_t kregex_size(const kregex* r);

// All filters of a facility, matched in one pass. The members stay owned by
// the caller and must outlive the set; their sizes should stay within
// KREGEX_SET_PROG_MAX together, which bounds a set's memory to about 8 MiB
// and its cache.
struct kregex_lits;
struct kregex_set {
  kregex_dfa* dfa;    // nullptr: empty set
  kregex_lits* lits;  // the members' factors, when each has some and they are few
};

int kregex_set_init(kregex_set* s);  // 0
// Builds the set over n compiled expressions in table order; true when
// memory ran out (the set is then empty and matches nothing).
bool kregex_set_build(kregex_set* s, const kregex* const* members, uint32_t n);
// The first member that matches text anywhere, -1 when none does.
int32_t kregex_set_match(const kregex_set* s, const char* text, size_t length);
// The first line of [begin, end), a block of lines each ending in LF, that a
// member matches: *line and *line_end (its LF excluded) delimit it, and the
// result is the first member that matches it; -1 when no line does.
int32_t kregex_set_find(const kregex_set* s, const char* begin, const char* end, const char** line,
                        const char** line_end);
void kregex_set_free(kregex_set* s);

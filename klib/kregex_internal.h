// kregex_internal: what the tests look at behind kregex.h, the required
// literal that compiling derives and the pre-check built on it.
#pragma once

#include <cstdint>

#include "klib/kregex.h"

// Start of the first place in [begin, end) where the required literal occurs
// (case-insensitively), or end when it does not occur: no match can lie
// wholly inside a text that the result skips. begin when the expression has
// no required literal.
const char* kregex_candidate(const kregex* r, const char* begin, const char* end);
// The required literal that kregex_compile derives from pattern, into out
// (NUL-terminated, lower case); its length, 0 when none (or refused).
uint32_t kregex_required_literal(const char* pattern, char* out, uint32_t out_size);

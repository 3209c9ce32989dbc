// Helpers of the network tests: kstring values that free themselves.
#pragma once

#include <string>

#include "klib/kerror.h"
#include "klib/kstring.h"
#include "support/testutil.h"

namespace nettest {

inline void set(kstring* s, const std::string& text) {
  kstring_assign_bytes(s, text.data(), static_cast<uint32_t>(text.size()));
}

inline std::string str(const kstring* s) {
  return std::string(kstring_text(s), s->length);
}

struct Text {
  kstring s;
  explicit Text(const std::string& t = "") {
    kstring_init(&s);
    set(&s, t);
  }
  ~Text() { kstring_free(&s); }
};

}  // namespace nettest

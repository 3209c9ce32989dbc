// Fuzzes the engine against the C library's regexec (the reference). Input:
// a pattern, a NUL, a text, and optionally more patterns each after a NUL.
// The engine must accept what the reference accepts (but for the refusals
// it makes by design) and answer every text as the reference does; the set
// of all the patterns must answer with the first one that matches, on the
// text as a whole and line by line over it. The required-literal pre-check
// must never hide a match. Aborts on any other difference.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "klib/kregex.h"
#include "klib/kregex_internal.h"
#include "tests/support/regex_oracle.h"

namespace {

struct Member {
  kregex r;
  regex_oracle::Reference* ref = nullptr;
};

[[noreturn]] void differ(const std::string& pattern, const std::string& text, const char* what) {
  fprintf(stderr, "pattern '%s' text '%s': %s\n", pattern.c_str(), text.c_str(), what);
  abort();
}

// kregex_match's answer on text up to its first NUL: true when it does not match.
bool no_match(const kregex* r, const std::string& text) {
  kstring t;
  kstring_init(&t);
  kstring_assign_cstr(&t, text.c_str());
  bool none = kregex_match(r, &t);
  kstring_free(&t);
  return none;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> field;
  field.emplace_back();
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      field.emplace_back();
    } else {
      field.back() += static_cast<char>(data[i]);
    }
  }
  if (field.size() < 2 || field.size() > 6) return 0;
  std::string text = field[1];
  field.erase(field.begin() + 1);
  std::vector<Member> members(field.size());
  for (Member& m : members) kregex_init(&m.r);
  std::vector<const kregex*> set;
  std::vector<regex_oracle::Reference*> refs;
  bool anchors_at_newline = false;  // the reference is not asked the text as a whole
  for (size_t m = 0; m < field.size(); ++m) {
    const std::string& pattern = field[m];
    if (pattern.size() > 256) break;
    kstring p;
    kstring_init(&p);
    kstring_assign_cstr(&p, pattern.c_str());
    bool invalid = kregex_compile(&members[m].r, &p);
    kstring_free(&p);
    if (regex_oracle::has_back_reference(pattern)) {
      if (!invalid) differ(pattern, text, "a back-reference is accepted");
      continue;
    }
    if (regex_oracle::too_costly_for_reference(pattern)) {
      if (!invalid) no_match(&members[m].r, text);
      continue;
    }
    auto* ref = new regex_oracle::Reference(pattern);
    if (!ref->asked) {
      delete ref;
      continue;
    }
    refs.push_back(ref);
    if (invalid) {
      if (ref->valid && !regex_oracle::refused_by_design(pattern, KREGEX_PROG_MAX, KREGEX_DEPTH_MAX,
                                                         KREGEX_TREE_MAX))
        differ(pattern, text, "the reference accepts it, the engine refuses it");
      continue;
    }
    if (!ref->valid) differ(pattern, text, "the reference refuses it, the engine accepts it");
    members[m].ref = ref;
    set.push_back(&members[m].r);
    if (regex_oracle::reference_anchors_at_newline(pattern, text)) {
      anchors_at_newline = true;
      continue;
    }
    bool expect = ref->answer(text) == 1;
    if (!no_match(&members[m].r, text) != expect)
      differ(pattern, text, expect ? "the reference matches" : "the reference does not match");
    const char* end = text.c_str() + text.size();
    if (expect && members[m].r.literal_length > 0 &&
        kregex_candidate(&members[m].r, text.c_str(), end) == end)
      differ(pattern, text, "the pre-check hides a match");
  }
  if (!set.empty()) {
    std::vector<const regex_oracle::Reference*> order;
    for (Member& m : members)
      if (m.ref) order.push_back(m.ref);
    auto first = [&](const std::string& t) {
      for (size_t k = 0; k < order.size(); ++k)
        if (order[k]->answer(t) == 1) return static_cast<int32_t>(k);
      return int32_t{-1};
    };
    kregex_set s;
    kregex_set_init(&s);
    if (!kregex_set_build(&s, set.data(), static_cast<uint32_t>(set.size()))) {
      if (!anchors_at_newline && kregex_set_match(&s, text.data(), text.size()) != first(text))
        differ(field[0], text, "the set's answer differs");
      // The text as a block of lines: the first line that a member matches.
      std::string block = text + "\n";
      const char* line = nullptr;
      const char* line_end = nullptr;
      int32_t got =
          kregex_set_find(&s, block.data(), block.data() + block.size(), &line, &line_end);
      int32_t expect = -1;
      size_t at = 0, expect_at = 0, expect_end = 0;
      while (at < block.size()) {
        size_t lf = block.find('\n', at);
        int32_t k = first(block.substr(at, lf - at));
        if (k >= 0) {
          expect = k, expect_at = at, expect_end = lf;
          break;
        }
        at = lf + 1;
      }
      if (got != expect ||
          (got >= 0 && (line != block.data() + expect_at || line_end != block.data() + expect_end)))
        differ(field[0], text, "the set finds another line or member");
    }
    kregex_set_free(&s);
  }
  for (Member& m : members) kregex_free(&m.r);
  for (auto* ref : refs) delete ref;
  return 0;
}

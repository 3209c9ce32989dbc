// Fuzzes the engine for crashes and hangs. Input: a pattern, a NUL, a text, and
// up to four more patterns each after a NUL. Each pattern is compiled and matched,
// and those that compile make a set that is asked the text whole and as a line.
#include <cstdint>
#include <string>
#include <vector>

#include "klib/kregex.h"
#include "klib/kregex_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> field(1);
  for (size_t i = 0; i < size; ++i)
    data[i] ? field.back() += static_cast<char>(data[i]) : field.emplace_back();
  if (field.size() < 2 || field.size() > 6) return 0;
  std::string text = field[1], block = text + "\n";  // a block as the watch hands it over
  field.erase(field.begin() + 1);
  std::vector<kregex> regs(field.size());
  std::vector<const kregex*> set;
  kstring p, t;
  kstring_init(&p), kstring_init(&t);
  kstring_assign_cstr(&t, text.c_str());
  for (size_t m = 0; m < field.size(); ++m) {
    kregex_init(&regs[m]);
    kstring_assign_cstr(&p, field[m].c_str());
    if (kregex_compile(&regs[m], &p)) continue;
    kregex_match(&regs[m], &t);
    kregex_candidate(&regs[m], text.data(), text.data() + text.size());
    set.push_back(&regs[m]);
  }
  kregex_set s;
  kregex_set_init(&s);
  if (!set.empty() && !kregex_set_build(&s, set.data(), static_cast<uint32_t>(set.size()))) {
    const char *line = nullptr, *line_end = nullptr;
    kregex_set_match(&s, text.data(), text.size());
    kregex_set_find(&s, block.data(), block.data() + block.size(), &line, &line_end);
  }
  kregex_set_free(&s);
  for (kregex& r : regs) kregex_free(&r);
  kstring_free(&t), kstring_free(&p);
  return 0;
}

#include "klib/kstring.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "klib/karray.h"

namespace {

// RAII holder so that every test releases what it allocated.
struct S {
  kstring s;
  explicit S(const std::string& t = "") {
    kstring_init(&s);
    kstring_assign_bytes(&s, t.data(), static_cast<uint32_t>(t.size()));
  }
  ~S() { kstring_free(&s); }
  std::string str() const { return std::string(kstring_text(&s), s.length); }
  kstring* operator&() { return &s; }
};

// Self-append across the move to the heap copies from the new buffer;
// formatting cuts at its limit and says so.
TEST(KString, GrowsFromInlineToTheHeapAndFormatsUpToTheLimit) {
  S a, b(std::string("a\0b", 3)), c(std::string(100, 'q'));
  kstring_append(&b, &b);
  EXPECT_EQ(b.str(), std::string("a\0ba\0b", 6));
  kstring_append(&c, &c);
  EXPECT_EQ(c.str(), std::string(200, 'q'));
  ASSERT_EQ(kstring_format(&a, "%s=%d", std::string(64508, 'f').c_str(), -7), 1u);
  EXPECT_EQ(a.str(), std::string(64508, 'f') + "=-7");
  EXPECT_EQ(kstring_format(&b, "%s", std::string(64512, 'b').c_str()), 0u);
  EXPECT_EQ(b.str(), std::string(64511, 'b'));
}

TEST(KString, TokensKeepEmptyOnesAndStopAtTheEnd) {
  struct {
    const char *src, *seps;
    int n, found;
    const char* token;  // "-": out untouched
  } cases[] = {{"a,,b", ",", 0, 1, "a"}, {"a,,b", ",", 1, 1, ""},   {"a,,b", ",", 2, 1, "b"},
               {"a,,b", ",", 3, 0, "-"}, {"a,,b", ",", -1, 0, "-"}, {"", " ", 0, 1, ""},
               {"", " ", 1, 0, "-"},     {"x;", ";", 1, 1, ""},     {"a b\tc", " \t", 2, 1, "c"}};
  for (const auto& c : cases) {
    S src(c.src), out("-");
    EXPECT_EQ(kstring_token_cstr(&src, c.seps, c.n, &out), c.found) << c.src << " " << c.n;
    EXPECT_EQ(out.str(), c.token) << c.src << " " << c.n;
  }
}

// The recursive rule set the matcher must follow, kept here as the reference.
bool reference_match(const char* t, const char* p, bool cs) {
  if (!*t) return !*p || (p[0] == '*' && p[1] == '\0');
  if (!*p) return false;
  if (*p == '?') return reference_match(t + 1, p + 1, cs);
  if (*p == '*') return reference_match(t, p + 1, cs) || reference_match(t + 1, p, cs);
  bool same =
      cs ? *t == *p
         : toupper(static_cast<unsigned char>(*t)) == toupper(static_cast<unsigned char>(*p));
  return same && reference_match(t + 1, p + 1, cs);
}

TEST(KString, WildmatchAgreesWithTheReferenceAndStaysFast) {
  std::mt19937 rng(1234);
  // Texts of 'a' and 'b'; patterns may hold wildcards and another case.
  auto gen = [&](int maxlen, int letters) {
    std::string s(rng() % (maxlen + 1), ' ');
    for (char& c : s) c = "ab?*A"[rng() % letters];
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string t = gen(7, 2), p = gen(6, 5);
    bool cs = rng() % 2;
    ASSERT_EQ(kstring_wildmatch_cstr(t.c_str(), p.c_str(), cs) != 0,
              reference_match(t.c_str(), p.c_str(), cs))
        << "text '" << t << "' pattern '" << p << "' case " << cs;
  }
  // Exponential backtracking would never finish this.
  std::string pat;
  for (int i = 0; i < 30; ++i) pat += "*a";
  EXPECT_FALSE(kstring_wildmatch_cstr(std::string(2000, 'a').c_str(), (pat + "b").c_str(), 0));
}

TEST(KString, EditingComparingAndNumbers) {
  S b("\n x \t\r\n"), c("line \r\n\r\n"), e1("Echo"), e2("echo");
  kstring_trim_left(&b), kstring_trim_right(&b), kstring_chomp(&c);  // a line feed is no blank
  EXPECT_EQ(b.str() + "|" + c.str(), "\n x|line ");
  EXPECT_NE(kstring_compare(&e1, &e2), 0);
  EXPECT_EQ(kstring_icompare(&e1, &e2), 0);
  EXPECT_LT(kstring_icompare_text("ABC", "abd"), 0);
  EXPECT_GT(kstring_icompare_text("b", "A"), 0);
  EXPECT_LT(kstring_compare_cstr(&e2, "\xff"), 0);  // bytes compare unsigned
  for (auto [text, value] : {std::pair{"  -42abc", -42}, {"abc", 0}, {"+7", 7}, {" 0012", 12}})
    EXPECT_EQ(kstring_to_int_cstr(text), value) << text;
  kstring_to_int_cstr("99999999999999999999999999");  // no overflow check, no undefined behaviour
}

TEST(KString, PathsTakeBothSeparatorsAndKeepAbsolutePaths) {
  auto part = [](uint32_t (*fn)(const kstring*, kstring*), const char* p) {
    S in(p), out("junk");
    fn(&in, &out);
    return out.str();
  };
  for (auto [path, dir] : {std::pair{"C:\\dir\\sub\\file.txt", "C:/dir/sub/"},
                           {"file.txt", ""},
                           {"/var/log/*.log", "/var/log/"},
                           {"/x", "/"}})
    EXPECT_EQ(part(kstring_path_dir, path), dir) << path;
  EXPECT_EQ(part(kstring_path_base, "C:\\dir\\a.tar.gz") + part(kstring_path_base, "/var/log/") +
                "|" + part(kstring_path_stem, "C:\\dir\\a.tar.gz") + "|" +
                part(kstring_path_ext, "/x/a.tar.gz"),
            "a.tar.gz|a|gz");
}

// Arrays grow by their step and close the gap of a removed element; heap-backed
// strings survive those byte-wise moves; split keeps empty tokens, and an empty text gives one.
TEST(KStrList, OwnsItsStringsAcrossGrowthRemovalAndSplit) {
  karray a;
  karray_init(&a, sizeof(int), 10);
  for (int i = 0; i < 11; ++i) *static_cast<int*>(karray_append(&a)) = i;
  karray_remove(&a, 0), karray_remove(&a, a.count - 1);
  std::vector<int> left(static_cast<int*>(a.data), static_cast<int*>(a.data) + a.count);
  EXPECT_EQ(left, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(a.capacity, 20u);
  karray_free(&a);
  kstrlist l;
  kstrlist_init_step(&l, 4);
  for (int i = 0; i < 9; ++i) kstring_format(kstrlist_add(&l), "%0200d", i);
  karray_remove_each(&l.items, 0, [](void* e) { kstring_free(static_cast<kstring*>(e)); });
  EXPECT_EQ(kstrlist_count(&l), 8u);
  EXPECT_EQ(kstrlist_text(&l, 0)[199], '1');
  kstring_assign_cstr(kstrlist_add(&l), "Echo");
  EXPECT_TRUE(kstrlist_contains_text(&l, "Echo") && !kstrlist_contains_text(&l, "echo"));
  S src;
  for (auto [text, count] : {std::pair{"a,,b,", 4u}, {"", 1u}}) {
    kstring_assign_cstr(&src, text);
    kstrlist_split(&l, &src, ",");
    EXPECT_EQ(kstrlist_count(&l), count) << text;
  }
  kstrlist_free(&l);
}

}  // namespace

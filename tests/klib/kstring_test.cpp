#include "klib/kstring.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// RAII holder so that every test releases what it allocated.
struct S {
  kstring s;
  S() { kstring_init(&s); }
  explicit S(const char* t) {
    kstring_init(&s);
    kstring_assign_cstr(&s, t);
  }
  ~S() { kstring_free(&s); }
  std::string str() const { return std::string(kstring_text(&s), s.length); }
  kstring* operator&() { return &s; }
};

TEST(KString, StaysInlineUpTo127AndGrowsBy128Steps) {
  S a;
  EXPECT_EQ(kstring_capacity(&a), 128u);
  EXPECT_STREQ(kstring_text(&a), "");
  std::string t127(127, 'x');
  ASSERT_EQ(kstring_assign_cstr(&a, t127.c_str()), 1u);
  EXPECT_EQ(a.s.heap_size, 0u);
  std::string t128(128, 'y');
  ASSERT_EQ(kstring_assign_cstr(&a, t128.c_str()), 1u);
  EXPECT_EQ(a.s.heap_size, 129u);
  EXPECT_EQ(a.str(), t128);
  ASSERT_EQ(kstring_append_char(&a, 'z'), 1u);
  EXPECT_EQ(a.s.heap_size, 257u);
  // Once on the heap it never goes back, and the text survives every growth.
  kstring_assign_cstr(&a, "short");
  EXPECT_EQ(a.s.heap_size, 257u);
  EXPECT_EQ(a.str(), "short");
}

TEST(KString, BytesWithNulsAndSelfAppend) {
  S a;
  kstring_assign_bytes(&a, "a\0b", 3);
  EXPECT_EQ(a.s.length, 3u);
  kstring_append(&a, &a);
  EXPECT_EQ(a.str(), std::string("a\0ba\0b", 6));
  // Self-append across the inline/heap boundary must copy from the new buffer.
  S b(std::string(100, 'q').c_str());
  kstring_append(&b, &b);
  EXPECT_EQ(b.str(), std::string(200, 'q'));
}

TEST(KString, FormatGrowsInKibStepsUpToTheLimit) {
  S a;
  std::string t128(128, 'f');
  ASSERT_EQ(kstring_format(&a, "%s", t128.c_str()), 1u);
  EXPECT_EQ(a.str(), t128);
  EXPECT_EQ(a.s.heap_size, 1024u);

  S b;
  std::string ok(64511, 'o');
  ASSERT_EQ(kstring_format(&b, "%s", ok.c_str()), 1u);
  EXPECT_EQ(b.s.length, 64511u);

  S c;
  std::string big(64512, 'b');
  EXPECT_EQ(kstring_format(&c, "%s", big.c_str()), 0u);
  EXPECT_EQ(c.s.length, 64511u);
  EXPECT_EQ(c.str(), big.substr(0, 64511));

  S d;
  kstring_format(&d, "%s=%d", "k", -7);
  EXPECT_EQ(d.str(), "k=-7");
}

TEST(KString, TokensKeepEmptyOnesAndStopAtTheEnd) {
  S src("a,,b"), out;
  const char* want[] = {"a", "", "b"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(kstring_token_cstr(&src, ",", i, &out), 1) << i;
    EXPECT_EQ(out.str(), want[i]);
  }
  kstring_assign_cstr(&out, "untouched");
  EXPECT_EQ(kstring_token_cstr(&src, ",", 3, &out), 0);
  EXPECT_EQ(kstring_token_cstr(&src, ",", -1, &out), 0);
  EXPECT_EQ(out.str(), "untouched");

  S empty;
  EXPECT_EQ(kstring_token_cstr(&empty, " ", 0, &out), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(kstring_token_cstr(&empty, " ", 1, &out), 0);

  S lead(" echo"), trail("x;"), multi("a b\tc");
  kstring_token_cstr(&lead, " ", 0, &out);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(kstring_token_cstr(&trail, ";", 1, &out), 1);
  EXPECT_EQ(out.str(), "");
  kstring_token_cstr(&multi, " \t", 2, &out);
  EXPECT_EQ(out.str(), "c");
}

// The recursive rule set the matcher must follow, kept here as the reference.
bool reference_match(const char* t, const char* p, bool cs) {
  if (!*t && !*p) return true;
  if (!*t) return p[0] == '*' && p[1] == '\0';
  if (!*p) return false;
  if (*p == '?') return reference_match(t + 1, p + 1, cs);
  if (*p == '*') return reference_match(t, p + 1, cs) || reference_match(t + 1, p, cs);
  char a = *t, b = *p;
  if (!cs) {
    a = static_cast<char>(toupper(static_cast<unsigned char>(a)));
    b = static_cast<char>(toupper(static_cast<unsigned char>(b)));
  }
  return a == b && reference_match(t + 1, p + 1, cs);
}

TEST(KString, WildmatchFollowsTheRules) {
  EXPECT_TRUE(kstring_wildmatch_cstr("ABC.LOG", "*.log", 0));
  EXPECT_FALSE(kstring_wildmatch_cstr("ABC.LOG", "*.log", 1));
  EXPECT_TRUE(kstring_wildmatch_cstr("", "*", 0));
  EXPECT_FALSE(kstring_wildmatch_cstr("", "**", 0));
  EXPECT_TRUE(kstring_wildmatch_cstr("abc", "a?c", 0));
  EXPECT_TRUE(kstring_wildmatch_cstr("abc", "*c", 0));
  EXPECT_FALSE(kstring_wildmatch_cstr("abc", "ab", 0));
  EXPECT_FALSE(kstring_wildmatch_cstr("x", "x**", 0));
  EXPECT_TRUE(kstring_wildmatch_cstr("c.facility", "*.facility", 0));
  EXPECT_FALSE(kstring_wildmatch_cstr("c.facility.bak", "*.facility", 0));
}

TEST(KString, WildmatchAgreesWithTheReferenceOnRandomInput) {
  std::mt19937 rng(1234);
  const char alphabet[] = "ab*?A";
  auto gen = [&](int maxlen, int letters) {
    std::string s;
    int n = static_cast<int>(rng() % (maxlen + 1));
    for (int i = 0; i < n; ++i) s += alphabet[rng() % letters];
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string t = gen(7, 3), p = gen(6, 5);
    // Texts hold no wildcards; patterns may.
    for (char& c : t)
      if (c == '*') c = 'b';
    bool cs = rng() % 2;
    ASSERT_EQ(kstring_wildmatch_cstr(t.c_str(), p.c_str(), cs) != 0,
              reference_match(t.c_str(), p.c_str(), cs))
        << "text '" << t << "' pattern '" << p << "'";
  }
}

TEST(KString, WildmatchStaysFastOnHostilePatterns) {
  // Exponential backtracking would never finish this.
  std::string text(2000, 'a'), pat;
  for (int i = 0; i < 30; ++i) pat += "*a";
  pat += "b";
  EXPECT_FALSE(kstring_wildmatch_cstr(text.c_str(), pat.c_str(), 0));
}

TEST(KString, TrimChompAndToInt) {
  S a("   "), b("\n x \t\r\n"), c("x\r\n\r");
  kstring_trim(&a);
  EXPECT_EQ(a.str(), "");
  kstring_trim_left(&b);
  EXPECT_EQ(b.str(), "\n x \t\r\n");  // a leading line feed is not a blank
  kstring_trim_right(&b);
  EXPECT_EQ(b.str(), "\n x");
  kstring_chomp(&c);
  EXPECT_EQ(c.str(), "x");

  EXPECT_EQ(kstring_to_int_cstr("  -42abc"), -42);
  EXPECT_EQ(kstring_to_int_cstr("abc"), 0);
  EXPECT_EQ(kstring_to_int_cstr("+7"), 7);
  EXPECT_EQ(kstring_to_int_cstr("0001a"), 1);
  EXPECT_EQ(kstring_to_int_cstr(" 0012"), 12);
  EXPECT_EQ(kstring_to_int_cstr("-1"), -1);
  // No overflow check, but no undefined behaviour either.
  EXPECT_EQ(static_cast<uint32_t>(kstring_to_int_cstr("4294967295")), 4294967295u);
  kstring_to_int_cstr("99999999999999999999999999");
}

TEST(KString, ReplaceAndRemoveChars) {
  S a("one two two");
  kstring_replace_cstr(&a, "two", "2");
  EXPECT_EQ(a.str(), "one 2 two");
  kstring_replace_cstr(&a, "absent", "x");
  EXPECT_EQ(a.str(), "one 2 two");
  S m("line1\r\nline2\n");
  kstring_remove_chars_cstr(&m, "\r\n");
  EXPECT_EQ(m.str(), "line1line2");
  S q("\"/opt/my dir/vardo\"");
  kstring_remove_chars_cstr(&q, "\"");
  EXPECT_EQ(q.str(), "/opt/my dir/vardo");
}

TEST(KString, CompareAndSearch) {
  S a("Echo"), b("echo");
  EXPECT_NE(kstring_compare(&a, &b), 0);
  EXPECT_EQ(kstring_icompare(&a, &b), 0);
  EXPECT_LT(kstring_compare_cstr(&b, "\xff"), 0);  // bytes compare unsigned
  EXPECT_TRUE(kstring_contains_cstr(&a, ""));
  EXPECT_TRUE(kstring_contains_cstr(&a, "ch"));
  uint32_t i = 99;
  EXPECT_TRUE(kstring_find_char(&a, 'h', &i));
  EXPECT_EQ(i, 2u);
  EXPECT_FALSE(kstring_has_char(&a, '\0'));
}

std::string dir_of(const char* p) {
  S in(p), out("junk");
  kstring_path_dir(&in, &out);
  return out.str();
}
std::string base_of(const char* p) {
  S in(p), out;
  kstring_path_base(&in, &out);
  return out.str();
}

TEST(KString, PathHelpers) {
  EXPECT_EQ(dir_of("C:\\dir\\sub\\file.txt"), "C:/dir/sub/");
  EXPECT_EQ(dir_of("file.txt"), "");
  EXPECT_EQ(dir_of("C:\\dir\\"), "C:/dir/");
  // Absolute paths stay absolute.
  EXPECT_EQ(dir_of("/opt/vardo/vardo"), "/opt/vardo/");
  EXPECT_EQ(dir_of("/var/log/*.log"), "/var/log/");
  EXPECT_EQ(dir_of("/x"), "/");
  EXPECT_EQ(dir_of("//a//b"), "/a/");
  EXPECT_EQ(dir_of("rel/a.log"), "rel/");

  EXPECT_EQ(base_of("C:\\dir\\"), "");
  EXPECT_EQ(base_of("/var/log/*.log"), "*.log");

  S arch("archive"), tgz("C:\\dir\\a.tar.gz"), out;
  kstring_path_ext(&arch, &out);
  EXPECT_EQ(out.str(), "archive");
  kstring_path_ext(&tgz, &out);
  EXPECT_EQ(out.str(), "gz");
  kstring_path_stem(&tgz, &out);
  EXPECT_EQ(out.str(), "a");

  S d1("dir/"), d2("dir"), d3, d4("C:\\x\\");
  kstring_path_join_cstr(&out, &d1, "x");
  EXPECT_EQ(out.str(), "dir/x");
  kstring_path_join_cstr(&out, &d2, "x");
  EXPECT_EQ(out.str(), "dir/x");
  kstring_path_join_cstr(&out, &d3, "x");
  EXPECT_EQ(out.str(), "/x");
  kstring_path_join_cstr(&out, &d4, "x");
  EXPECT_EQ(out.str(), "C:\\x\\/x");
}

}  // namespace

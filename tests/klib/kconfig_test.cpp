#include "klib/kconfig.h"

#include <gtest/gtest.h>

#include "support/testutil.h"

namespace {

class KConfigTest : public ::testing::Test {
 protected:
  void TearDown() override { kconfig_free(&cfg_); }
  void load(const std::string& content) {
    testutil::write_file(path_, content);
    kconfig_load(&cfg_, path_.c_str());
  }
  // The value of occurrence n, or "<none>".
  std::string get(const char* key, uint32_t n = 0) {
    kstring v;
    kstring_init(&v), kstring_assign_cstr(&v, "<none>"), kconfig_get(&cfg_, key, n, &v);
    std::string r = kstring_text(&v);
    return kstring_free(&v), r;
  }
  testutil::TempDir dir_;
  std::string path_ = dir_.file("vardo.conf");
  kconfig cfg_{};
};

TEST_F(KConfigTest, CommentsTrimmingCaseAndIntegers) {
  load(
      "smtsvr.enable=0\n"
      "  lwatch.enable \t =  \t 0   # off\n"
      "Smtsvr.other = 0\n"
      "k = a=b\nc = x#y\ne =\nnoequals\n# whole = comment\n"
      "inner key = v\r\n"
      "level = -1\ntext = abc\nlead = 12x\n"
      "last = tail");  // no final line feed
  std::string got;
  for (const char* key : {"smtsvr.enable", "lwatch.enable", "smtsvr.other", "k", "c", "e",
                          "noequals", "whole", "inner key", "last"})
    got += get(key) + "|";
  EXPECT_EQ(got, "0|0|<none>|a=b|x|<none>|<none>|<none>|v|tail|");
  // Integers: a non-number reads as 0; only an absent key keeps the default.
  int32_t v[4] = {5, 5, 5, 5};
  const char* keys[] = {"level", "text", "lead", "absent"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(kconfig_get_int(&cfg_, keys[i], &v[i]), i < 3) << keys[i];
  EXPECT_EQ(std::vector<int32_t>(v, v + 4), (std::vector<int32_t>{-1, 0, 12, 5}));
}

// An empty occurrence 0 decides the lookup; the file is read at every lookup.
TEST_F(KConfigTest, OccurrencesCountInFileOrderAndAnEmptyValueEndsAList) {
  load("m = 10.0.0.1\nother = 1\nm=10.0.0.2\nx = \nx = later\nl = one\nl =\nl = three\n");
  EXPECT_EQ(get("m", 0) + "|" + get("m", 1) + "|" + get("m", 2), "10.0.0.1|10.0.0.2|<none>");
  EXPECT_EQ(get("x", 0) + "|" + get("x", 1), "<none>|later");
  kstrlist l;
  kstrlist_init(&l);
  std::string lists;
  for (const char* key : {"m", "l", "absent"}) {
    kconfig_get_list(&cfg_, key, &l);
    for (uint32_t i = 0; i < kstrlist_count(&l); ++i)
      lists += kstrlist_text(&l, i) + std::string(",");
    lists += "|";
  }
  kstrlist_free(&l);
  EXPECT_EQ(lists, "10.0.0.1,10.0.0.2,|one,||");
  testutil::write_file(path_, "m = 2\n");
  EXPECT_EQ(get("m"), "2");
  unlink(path_.c_str());
  EXPECT_EQ(get("m"), "<none>");

  // Read once from an open file, every pair in order, empty values too; a
  // file beyond the bound fails without its long line being read whole.
  auto pairs = [&](const std::string& content, uint64_t max) {
    testutil::write_file(path_, content);
    kfile f;
    kfile_init(&f), kfile_set_name_cstr(&f, path_.c_str());
    std::string got = kfile_open(&f, "r") == 0 ? "" : "<closed>";
    uint32_t rc = kconfig_read_pairs(
        &f, max,
        [](const kstring* k, const kstring* v, void* out) {
          *static_cast<std::string*>(out) +=
              std::string(kstring_text(k)) + "=" + kstring_text(v) + "|";
          return kstring_compare_cstr(k, "stop") != 0;
        },
        &got);
    kfile_close(&f), kfile_free(&f);
    return std::to_string(rc) + ":" + got;
  };
  EXPECT_EQ(pairs("a = 1 # c\nnoequals\nb =\n a=x=y\r\n", 100), "0:a=1|b=|a=x=y|");
  EXPECT_EQ(pairs("a = 1\nstop = now\nb = 2\n", 100), "0:a=1|stop=now|");
  EXPECT_EQ(pairs("a = 1\nb = 2\n", 12), "0:a=1|b=2|");
  EXPECT_EQ(pairs("a = 1\nb = 2\n", 10), "1:a=1|");
  EXPECT_EQ(pairs("a = " + std::string(5000, 'x') + "\nb = 2\n", 1000), "1:");
}

}  // namespace

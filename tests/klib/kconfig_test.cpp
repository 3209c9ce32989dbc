#include "klib/kconfig.h"

#include <gtest/gtest.h>

#include "support/testutil.h"

namespace {

class KConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_.file("vardo.conf"); }
  void TearDown() override {
    if (loaded_) kconfig_free(&cfg_);
  }
  void load(const std::string& content) {
    testutil::write_file(path_, content);
    kconfig_load(&cfg_, path_.c_str());
    loaded_ = true;
  }
  // The value of occurrence n, or "<none>".
  std::string get(const char* key, uint32_t n = 0) {
    kstring v;
    kstring_init(&v);
    kstring_assign_cstr(&v, "<none>");
    kconfig_get(&cfg_, key, n, &v);
    std::string r = kstring_text(&v);
    kstring_free(&v);
    return r;
  }
  testutil::TempDir dir_;
  std::string path_;
  kconfig cfg_;
  bool loaded_ = false;
};

TEST_F(KConfigTest, CommentsTrimmingAndCase) {
  load(
      "smtsvr.enable=0\n"
      "  lwatch.enable \t =  \t 0   # off\n"
      "Smtsvr.other = 0\n"
      "k = a=b\n"
      "c = x#y\n"
      "e =\n"
      "noequals\n"
      "# whole = comment\n"
      "inner key = v\r\n"
      "last = tail");  // no final line feed
  EXPECT_EQ(get("smtsvr.enable"), "0");
  EXPECT_EQ(get("lwatch.enable"), "0");
  EXPECT_EQ(get("smtsvr.other"), "<none>");
  EXPECT_EQ(get("k"), "a=b");
  EXPECT_EQ(get("c"), "x");
  EXPECT_EQ(get("e"), "<none>");
  EXPECT_EQ(get("noequals"), "<none>");
  EXPECT_EQ(get("whole"), "<none>");
  EXPECT_EQ(get("inner key"), "v");
  EXPECT_EQ(get("last"), "tail");
}

TEST_F(KConfigTest, OccurrencesCountInFileOrderAndEmptyValuesEndThem) {
  load("m = 10.0.0.1\nm = 10.0.0.2\nx = \nx = later\n");
  EXPECT_EQ(get("m", 0), "10.0.0.1");
  EXPECT_EQ(get("m", 1), "10.0.0.2");
  EXPECT_EQ(get("m", 2), "<none>");
  // The empty occurrence 0 decides the lookup; a later value does not count.
  EXPECT_EQ(get("x", 0), "<none>");
  EXPECT_EQ(get("x", 1), "later");
}

TEST_F(KConfigTest, IntegersKeepDefaultsOnlyWhenAbsent) {
  load("level = -1\ntext = abc\nlead = 12x\n");
  int32_t v = 5;
  EXPECT_TRUE(kconfig_get_int(&cfg_, "level", &v));
  EXPECT_EQ(v, -1);
  v = 5;
  EXPECT_TRUE(kconfig_get_int(&cfg_, "text", &v));
  EXPECT_EQ(v, 0);  // a non-number is read as 0, not as the default
  EXPECT_TRUE(kconfig_get_int(&cfg_, "lead", &v));
  EXPECT_EQ(v, 12);
  v = 5;
  EXPECT_FALSE(kconfig_get_int(&cfg_, "absent", &v));
  EXPECT_EQ(v, 5);
}

TEST_F(KConfigTest, EditsAreSeenWithoutReloadAndMissingFileGivesNothing) {
  load("a = 1\n");
  EXPECT_EQ(get("a"), "1");
  testutil::write_file(path_, "a = 2\n");
  EXPECT_EQ(get("a"), "2");
  unlink(path_.c_str());
  EXPECT_EQ(get("a"), "<none>");
}

}  // namespace

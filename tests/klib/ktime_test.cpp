#include "klib/ktime.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "klib/kerror.h"

namespace {

std::string fmt(const ktime& t) {
  kstring s;
  kstring_init(&s);
  ktime_format(&t, &s);
  std::string r = kstring_text(&s);
  kstring_free(&s);
  return r;
}

TEST(KTime, YearFormsMonthsAndText) {
  ktime t;
  ktime_init(&t);
  ktime_set(&t, 70, 1, 1, 0, 0, 0);
  EXPECT_EQ(t.tm_year, 170);
  ktime_set(&t, 71, 1, 1, 0, 0, 0);
  EXPECT_EQ(t.tm_year, 71);
  ktime_set(&t, 1901, 1, 1, 0, 0, 0);
  EXPECT_EQ(t.tm_year, 1);
  ktime_set(&t, 1900, 1, 1, 0, 0, 0);
  EXPECT_EQ(t.tm_year, 1900);
  ktime_set(&t, 5, 1, 1, 0, 0, 0);
  EXPECT_EQ(t.tm_year, 105);
  EXPECT_EQ(t.tm_mon, 0);
  EXPECT_EQ(t.tm_isdst, -1);

  ktime_set(&t, 2008, 5, 6, 22, 57, 27);
  ktime_add(&t, 0, 0, 0);  // normalise: fills in the weekday
  EXPECT_EQ(fmt(t), "Tue May 06 22:57:27 2008");
  ktime_free(&t);
}

TEST(KTime, AddAcrossMidnightAndDiff) {
  ktime a, b;
  ktime_init(&a);
  ktime_init(&b);
  ktime_set(&a, 2021, 3, 14, 23, 0, 0);
  ktime_add(&a, 0, 90, 0);
  EXPECT_EQ(a.tm_mday, 15);
  EXPECT_EQ(a.tm_hour, 0);
  EXPECT_EQ(a.tm_min, 30);
  EXPECT_EQ(a.tm_wday, 1);   // Monday
  EXPECT_EQ(a.tm_yday, 73);  // 31 + 28 + 15 - 1
  ktime_set(&a, 2021, 6, 2, 12, 0, 0);
  ktime_set(&b, 2021, 6, 1, 12, 0, 0);
  EXPECT_EQ(ktime_diff(&a, &b), 86400);
  EXPECT_EQ(ktime_diff(&b, &a), -86400);
  ktime_free(&a);
  ktime_free(&b);
}

TEST(KTime, TextFormIsAlways24Characters) {
  ktime t;
  ktime_init(&t);
  for (uint32_t s : {0u, 86399u, 1210114647u, 4294967295u}) {
    ktime_from_seconds(&t, s);
    EXPECT_EQ(fmt(t).size(), 24u) << s;
  }
  ktime_free(&t);
}

TEST(KError, Messages) {
  kerror_libinit();
  EXPECT_STREQ(kerror_message(0), "No error");
  EXPECT_STREQ(kerror_message(51), "Invalid SMT frame size");
  EXPECT_STREQ(kerror_message(502), "Invalid or non existing service name was used");
  EXPECT_STREQ(kerror_message(1023), "");
  EXPECT_STREQ(kerror_message(1024), "Invalid error index");
}

}  // namespace

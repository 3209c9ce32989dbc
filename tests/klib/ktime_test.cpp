#include "klib/ktime.h"

#include <gtest/gtest.h>

namespace {

std::string fmt(const ktime& t) {
  kstring s;
  kstring_init(&s);
  ktime_format(&t, &s);
  std::string r = kstring_text(&s);
  kstring_free(&s);
  return r;
}

TEST(KTime, YearFormsAndText) {
  ktime t;
  ktime_init(&t);
  for (auto [year, tm_year] : {std::pair{70, 170}, {71, 71}, {1901, 1}, {1900, 1900}, {5, 105}}) {
    ktime_set(&t, year, 1, 1, 0, 0, 0);
    EXPECT_EQ(t.tm_year, tm_year) << year;
  }
  EXPECT_EQ(t.tm_mon, 0);
  ktime_set(&t, 2008, 5, 6, 22, 57, 27);
  ktime_add(&t, 0, 0, 0);  // normalise: fills in the weekday
  EXPECT_EQ(fmt(t), "Tue May 06 22:57:27 2008");
  for (uint32_t s : {0u, 86399u, 4294967295u}) {
    ktime_from_seconds(&t, s);
    EXPECT_EQ(fmt(t).size(), 24u) << s;
  }
  ktime_free(&t);
}

}  // namespace

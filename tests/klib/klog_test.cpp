#include "klib/klog.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "klib/klog_internal.h"
#include "klib/ktime.h"
#include "support/testutil.h"

namespace {

// Stamped lines with the level's tag, plain lines; the file is created by the first
// line and again once deleted; an echo reaches the console even without the file.
TEST(KLog, LineShapesLevelsEchoAndAFileThatComesAndGoes) {
  testutil::TempDir dir;
  std::string path = dir.file("vardo.log");
  klog log;
  klog_init(&log, path.c_str());
  klog_write(&log, 2, 0, "above the default level 1\n");
  EXPECT_FALSE(testutil::file_exists(path));
  klog_write(&log, 1, 1, "cannot resolve host %s\n", "nowhere"), klog_write(&log, 1, 2, "bad\n");
  klog_write(&log, 1, 9, "sev9\n"), klog_write(nullptr, 1, 0, "ignored\n");
  klog_plain(&log, 1, "%s = %d\n", "smtsvr.enable", 1);
  const std::string stamp = R"([A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4} )";
  std::string text = testutil::read_text(path);
  EXPECT_TRUE(std::regex_match(
      text, std::regex(stamp + R"(\[WARNING\] cannot resolve host nowhere\n)" + stamp +
                       R"(\[CRITICAL\] bad\n)" + stamp + "sev9\n# smtsvr.enable = 1\n")))
      << text;
  unlink(path.c_str());
  klog_set_level(&log, static_cast<uint32_t>(-1));
  testing::internal::CaptureStdout();
  klog_echo(&log, 4, 0, "VARDO up\n");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out, std::regex(R"(.* \d{4} VARDO up\n)"))) << out;
  EXPECT_EQ(testutil::split_lines(testutil::read_file(path)).size(), 1u);
  klog_free(&log);
  klog_init(&log, dir.file("no/such/dir/x.log").c_str());
  testing::internal::CaptureStdout();
  klog_echo(&log, 1, 0, "still echoed\n"), klog_free(&log);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("still echoed"), std::string::npos);
}

TEST(KLog, ConcurrentWritersProduceWholeLines) {
  testutil::TempDir dir;
  klog log;
  klog_init(&log, dir.file("c.log").c_str());
  std::string a(300, 'a'), b(300, 'b');
  auto writer = [&](const std::string& text) {
    for (int i = 0; i < 300; ++i) klog_write(&log, 1, 0, "%s\n", text.c_str());
  };
  std::thread t1(writer, a), t2(writer, b);
  t1.join(), t2.join();
  auto lines = testutil::split_lines(testutil::read_text(dir.file("c.log")));
  ASSERT_EQ(lines.size(), 600u);
  for (const auto& l : lines) EXPECT_TRUE(l.substr(25) == a || l.substr(25) == b) << l;
  klog_free(&log);
}

TEST(KLog, RepeatedWarningsAreLimitedPerKindAndPeer) {
  testutil::TempDir dir;
  std::string path = dir.file("r.log");
  klog log;
  klog_init(&log, path.c_str());
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (const auto& l : testutil::split_lines(testutil::read_file(path)))
      n += l.find(what) != std::string::npos;
    return n;
  };
  // 25 from one peer and 3 from another within a period: 10 + 3 written;
  // the period's end reports the rest once, with the last line suppressed.
  for (int i = 0; i < 25; ++i)
    klog_limited_at(&log, 1000 + i, 1, KLOG_WARNING, "auth", "10.0.0.1",
                    "connection not authorized from 10.0.0.1:%d\n", 4000 + i);
  for (int i = 0; i < 3; ++i)
    klog_limited_at(&log, 2000, 1, KLOG_WARNING, "auth", "10.0.0.2", "from 10.0.0.2\n");
  EXPECT_EQ(count("from 10.0.0.1:"), 10u);
  EXPECT_EQ(count("from 10.0.0.2"), 3u);
  EXPECT_EQ(count("suppressed"), 0u);
  klog_limited_at(&log, 1000 + KLOG_LIMIT_PERIOD_MS, 1, KLOG_WARNING, "other", nullptr, "x\n");
  EXPECT_EQ(count("[WARNING] connection not authorized from 10.0.0.1:4024 (15 more suppressed)"),
            1u);
  EXPECT_EQ(count("suppressed"), 1u);
  // Many peers cannot multiply the lines: beyond the table they share one slot.
  for (int p = 0; p < 200; ++p) {
    std::string peer = "10.1.0." + std::to_string(p);
    for (int i = 0; i < 20; ++i)
      klog_limited_at(&log, 200000, 1, KLOG_WARNING, "flood", peer.c_str(), "flood %s\n",
                      peer.c_str());
  }
  EXPECT_LE(count("flood"), (KLOG_LIMIT_SLOTS + 1) * KLOG_LIMIT_BURST + KLOG_LIMIT_SLOTS);
  klog_free(&log);
}

TEST(KTime, YearFormsAndText) {
  ktime t;
  ktime_init(&t);
  for (auto [year, tm_year] : {std::pair{70, 170}, {71, 71}, {1901, 1}, {1900, 1900}, {5, 105}}) {
    ktime_set(&t, year, 1, 1, 0, 0, 0);
    EXPECT_EQ(t.tm_year, tm_year) << year;
  }
  ktime_set(&t, 2008, 5, 6, 22, 57, 27);
  ktime_add(&t, 0, 0, 0);  // normalise: fills in the weekday
  kstring s;
  kstring_init(&s), ktime_format(&t, &s);
  EXPECT_STREQ(kstring_text(&s), "Tue May 06 22:57:27 2008");
  kstring_free(&s), ktime_free(&t);
}

}  // namespace

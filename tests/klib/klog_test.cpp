#include "klib/klog.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "support/testutil.h"

namespace {

TEST(KLog, LineShapesLevelsAndAFileThatComesAndGoes) {
  testutil::TempDir dir;
  std::string path = dir.file("vardo.log");
  klog log;
  klog_init(&log, path.c_str());
  EXPECT_FALSE(testutil::file_exists(path));  // created by the first message
  klog_write(&log, 2, 0, "above the default level 1\n");
  klog_write(&log, 1, 1, "cannot resolve host %s\n", "nowhere");
  klog_write(&log, 1, 2, "bad\n");
  klog_write(&log, 1, 9, "sev9\n");
  klog_plain(&log, 1, "%s = %d\n", "smtsvr.enable", 1);
  klog_write(nullptr, 1, 0, "ignored\n");
  const std::string stamp =
      R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4} )";
  std::string text = testutil::read_file(path);
  EXPECT_TRUE(std::regex_match(
      text, std::regex(stamp + R"(\[WARNING\] cannot resolve host nowhere\n)" + stamp +
                       R"(\[CRITICAL\] bad\n)" + stamp + "sev9\n# smtsvr.enable = 1\n")))
      << text;
  // A deleted log file is created again by the next message.
  unlink(path.c_str());
  klog_write(&log, 1, 0, "again\n");
  EXPECT_EQ(testutil::split_lines(testutil::read_file(path)).size(), 1u);
  klog_free(&log);
}

TEST(KLog, LevelZeroWritesNothingMinusOneEverythingAndEchoNeedsNoFile) {
  testutil::TempDir dir;
  std::string path = dir.file("l.log");
  klog log;
  klog_init(&log, path.c_str());
  klog_set_level(&log, 0);
  testing::internal::CaptureStdout();
  klog_echo(&log, 1, 0, "VARDO up\n");
  klog_plain(&log, 1, "x\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(testutil::file_exists(path));
  klog_set_level(&log, static_cast<uint32_t>(-1));
  testing::internal::CaptureStdout();
  klog_echo(&log, 4, 0, "VARDO up\n");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out, std::regex(R"(.* \d{4} VARDO up\n)"))) << out;
  EXPECT_NE(testutil::read_file(path).find("VARDO up"), std::string::npos);
  klog_free(&log);
  // A file that cannot be written loses only the file's line.
  klog_init(&log, dir.file("no/such/dir/x.log").c_str());
  testing::internal::CaptureStdout();
  klog_echo(&log, 1, 0, "still echoed\n");
  EXPECT_NE(testing::internal::GetCapturedStdout().find("still echoed"), std::string::npos);
  klog_free(&log);
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
  t1.join();
  t2.join();
  auto lines = testutil::split_lines(testutil::read_file(dir.file("c.log")));
  ASSERT_EQ(lines.size(), 600u);
  for (const auto& l : lines) EXPECT_TRUE(l.substr(25) == a || l.substr(25) == b) << l;
  klog_free(&log);
}

}  // namespace

// The log watch in the real executable: a facility file dropped into the
// facility directory is loaded, new lines of its files end up in a finished
// result file, and a stop finishes the current result file.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "lwtest.h"
#include "support/testutil.h"

namespace {

class AgentRun : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_.file("vardo");
    std::filesystem::copy_file(VARDO_EXE, exe_);
    for (const char* d : {"fac", "res", "logs"}) std::filesystem::create_directory(dir_.file(d));
  }
  void TearDown() override {
    if (child_.running()) {
      child_.signal(SIGTERM);
      child_.wait_exit(8000, nullptr);
    }
  }
  bool start(const std::string& extra_conf) {
    testutil::write_file(dir_.file("vardo.conf"),
                         "smtsvr.enable = 0\nservice.loglevel = 3\nlwatch.rfilettl = 2\n"
                         "lwatch.facilityupdt = 1\nlwatch.facilitydir = " +
                             dir_.file("fac") + "\nlwatch.resultdir = " + dir_.file("res") + "\n" +
                             extra_conf);
    return child_.start({exe_, "-start"}, dir_.path(), dir_.file("stdout.txt"), {},
                        {"NOTIFY_SOCKET", "INVOCATION_ID"});
  }
  std::string log() { return testutil::read_file(dir_.file("vardo.log")); }
  bool wait_log(const std::string& piece, int ms = 8000) {
    return testutil::wait_until([&] { return log().find(piece) != std::string::npos; }, ms);
  }
  std::vector<std::string> results(const std::string& ext) {
    std::vector<std::string> v;
    for (auto& e : std::filesystem::directory_iterator(dir_.file("res"))) {
      std::string n = e.path().filename().string();
      if (std::regex_match(n, std::regex("lw\\d{12}\\" + ext))) v.push_back(n);
    }
    std::sort(v.begin(), v.end());
    return v;
  }
  std::string all_results() {
    std::string text;
    for (auto& n : results(".log")) text += testutil::read_file(dir_.file("res/" + n));
    return text;
  }
  void stop() {
    child_.signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(child_.wait_exit(10000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  testutil::TempDir dir_;
  std::string exe_;
  testutil::Child child_;
};

TEST_F(AgentRun, NewLinesOfWatchedFilesEndUpInFinishedResultFiles) {
  std::string app = dir_.file("logs/app.log");
  testutil::write_file(app, "an old error\n");
  lwtest::set_mtime(app, time(nullptr) - 100);
  testutil::write_file(dir_.file("logs/present.txt"), "old warning\n");
  lwtest::set_mtime(dir_.file("logs/present.txt"), time(nullptr) - 100);
  // The event source reads a journal directory that does not exist.
  ASSERT_TRUE(start("lwatch.journaldir = " + dir_.file("nojournal") + "\n"));
  ASSERT_TRUE(wait_log(" LWATCH up\n")) << log();
  testutil::write_file(dir_.file("fac/web.facility"),
                       "scan = 1\nfile = " + app + "\nfile = " + dir_.file("logs") +
                           "/*.txt\neventlog = System\nfilter = err;error\nfilter = warn;warn\n");
  ASSERT_TRUE(wait_log(" facility 'web' added\n")) << log();
  ASSERT_TRUE(wait_log("#   start dynamic monitoring '" + dir_.file("logs/present.txt") + "'\n"));
  // Found by the first scan after the load; there is no journal to open.
  ASSERT_TRUE(wait_log("#   cannot open 'System' eventlog\n")) << log();

  testutil::append_file(app, "disk error 1\nall fine\n");
  testutil::append_file(dir_.file("logs/present.txt"), "low space warning\n");
  testutil::write_file(dir_.file("logs/later.txt"), "early warning\nerror and warning\n");
  ASSERT_TRUE(testutil::wait_until(
      [&] {
        std::string r = all_results();
        return r.find("early warning") != std::string::npos &&
               r.find("disk error 1") != std::string::npos &&
               r.find("low space") != std::string::npos;
      },
      10000))
      << log();
  std::string r = all_results();
  EXPECT_NE(r.find("[web,err] disk error 1\n"), std::string::npos) << r;
  EXPECT_NE(r.find("[web,warn] low space warning\n"), std::string::npos) << r;
  EXPECT_NE(r.find("[web,warn] early warning\n[web,err] error and warning\n"), std::string::npos)
      << r;
  EXPECT_EQ(r.find("old"), std::string::npos) << r;
  EXPECT_EQ(r.find("fine"), std::string::npos) << r;

  // A stop during a period with hits leaves that period's file finished.
  size_t finished = results(".log").size();
  testutil::append_file(app, "last error\n");
  ASSERT_TRUE(wait_log("#   new line in file " + app + " = >last error<\n")) << log();
  stop();
  EXPECT_TRUE(results(".tmp").empty());
  auto logs = results(".log");
  ASSERT_GT(logs.size(), finished);
  EXPECT_NE(testutil::read_file(dir_.file("res/" + logs.back())).find("[web,err] last error\n"),
            std::string::npos);
  std::string text = log();
  EXPECT_EQ(text.find("cannot initialize LWATCH"), std::string::npos);
  EXPECT_LT(text.find(" VARDO shutdown\n"), text.find(" LWATCH shutdown\n"));
  EXPECT_LT(text.find(" LWATCH down\n"), text.find(" VARDO down\n"));
}

TEST_F(AgentRun, FacilityFileGoneStopsTheWatchAndCleanDirClearsAtStartAndStop) {
  testutil::write_file(dir_.file("fac/old.facility"), "scan = 1\n");
  testutil::write_file(dir_.file("res/lw250101000000.tmp"), "[a,b] stale\n");
  testutil::write_file(dir_.file("res/lw250101000001.log"), "[a,b] finished\n");
  ASSERT_TRUE(start("lwatch.cleandir = 1\n"));
  ASSERT_TRUE(wait_log(" LWATCH up\n")) << log();
  EXPECT_FALSE(testutil::file_exists(dir_.file("fac/old.facility")));
  EXPECT_FALSE(testutil::file_exists(dir_.file("res/lw250101000000.tmp")));
  EXPECT_TRUE(testutil::file_exists(dir_.file("res/lw250101000001.log")));

  testutil::write_file(dir_.file("fac/gone.facility"), "scan = 1\n");
  ASSERT_TRUE(wait_log(" facility 'gone' added\n")) << log();
  std::filesystem::remove(dir_.file("fac/gone.facility"));
  ASSERT_TRUE(wait_log(" facility 'gone' removed\n")) << log();
  testutil::write_file(dir_.file("fac/left.facility"), "scan = 1\n");
  ASSERT_TRUE(wait_log(" facility 'left' added\n")) << log();
  stop();
  EXPECT_FALSE(testutil::file_exists(dir_.file("fac/left.facility")));
  // Several periods went by without a hit: none of them left a file.
  EXPECT_EQ(results(".log"), std::vector<std::string>{"lw250101000001.log"});
  EXPECT_TRUE(results(".tmp").empty());
}

}  // namespace

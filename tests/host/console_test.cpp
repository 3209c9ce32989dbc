// The executable in the foreground: banners, settings echo, stop signals,
// verb selection and the dispatcher mode outside the service manager.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "support/testutil.h"

namespace {

class ConsoleRun : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_.file("vardo");
    std::filesystem::copy_file(VARDO_EXE, exe_);
  }
  void write_conf(const std::string& extra) {
    testutil::write_file(dir_.file("vardo.conf"), "smtsvr.enable = 0\nlwatch.enable = 0\n" + extra);
  }
  bool start(const std::vector<std::string>& args) {
    std::vector<std::string> argv{exe_};
    argv.insert(argv.end(), args.begin(), args.end());
    // A fresh output file per run: a stale one could satisfy a wait too early.
    return child_.start(argv, dir_.path(), dir_.file("stdout" + std::to_string(runs_++) + ".txt"),
                        {}, {"NOTIFY_SOCKET", "INVOCATION_ID"});
  }
  bool wait_output(const std::string& text, int ms = 5000) {
    return testutil::wait_until([&] { return child_.output().find(text) != std::string::npos; },
                                ms);
  }
  std::string log() { return testutil::read_file(dir_.file("vardo.log")); }

  testutil::TempDir dir_;
  std::string exe_;
  testutil::Child child_;
  int runs_ = 0;
};

TEST_F(ConsoleRun, StartsWritesBannersAndStopsOnInterrupt) {
  write_conf("smtsvr.addressmask = 127.0.0.1\nsmtsvr.addressmask = 10.0.0.2\n");
  ASSERT_TRUE(start({"-start"}));
  ASSERT_TRUE(wait_output("VARDO up\n")) << child_.output();
  auto t0 = std::chrono::steady_clock::now();
  child_.signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(child_.wait_exit(5000, &status));
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_LT(ms, 2000);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  std::string out = child_.output();
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\d{4} VARDO up\n[\s\S]*\d{4} VARDO shutdown\n[\s\S]*\d{4} VARDO down\n)")))
      << out;

  std::string pid = std::to_string(child_.pid());
  std::string text = log();
  EXPECT_EQ(
      text.rfind("# \n#      ->[" + pid + "] " + std::filesystem::canonical(exe_).string() + "\n",
                 0),
      0u)
      << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("\n#        Version 1\\.2\\.6 Build [A-Z][a-z]{2} "
                                                 "[ 0-9]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d\n# \n")))
      << text;
  std::vector<std::string> in_order = {
      "# smtsvr.enable = 0\n",
      "# lwatch.enable = 0\n",
      "# smtsvr.addressmask = 127.0.0.1\n",
      "# smtsvr.addressmask = 10.0.0.2\n",
      " VARDO up\n",
      " VARDO shutdown\n",
      " VARDO down\n",
      "# \n#      <-[" + pid + "] ",
  };
  size_t at = 0;
  for (const auto& piece : in_order) {
    size_t found = text.find(piece, at);
    ASSERT_NE(found, std::string::npos) << "missing in order: " << piece << "\n" << text;
    at = found;
  }
  EXPECT_TRUE(text.size() >= 4 && text.substr(text.size() - 4) == "\n# \n");
}

TEST_F(ConsoleRun, TerminateAndHangUpStopToo) {
  write_conf("");
  for (int sig : {SIGTERM, SIGHUP}) {
    ASSERT_TRUE(start({"/START"}));
    ASSERT_TRUE(wait_output("VARDO up\n"));
    child_.signal(sig);
    int status = -1;
    ASSERT_TRUE(child_.wait_exit(5000, &status)) << sig;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << sig;
    EXPECT_NE(child_.output().find("VARDO down"), std::string::npos);
  }
}

TEST_F(ConsoleRun, LevelZeroIsSilentEverywhere) {
  write_conf("service.loglevel = 0\n");
  ASSERT_TRUE(start({"-Start"}));
  // Nothing to wait for in the output: give the run loop time to start.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  child_.signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(child_.wait_exit(5000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(child_.output(), "");
  EXPECT_FALSE(testutil::file_exists(dir_.file("vardo.log")));
}

TEST_F(ConsoleRun, LogFileAndServiceNameSettings) {
  write_conf("service.logfile = " + dir_.file("elsewhere.log") +
             "\nservice.name = Probe\nservice.loglevel = -1\n");
  ASSERT_TRUE(start({}));
  int status = -1;
  ASSERT_TRUE(child_.wait_exit(5000, &status));
  EXPECT_EQ(child_.output(), "Trying to start service 'Probe' ... please wait.\n");
  ASSERT_TRUE(start({"-start"}));
  ASSERT_TRUE(wait_output("VARDO up\n"));
  child_.signal(SIGINT);
  ASSERT_TRUE(child_.wait_exit(5000, &status));
  EXPECT_NE(testutil::read_file(dir_.file("elsewhere.log")).find("VARDO down"), std::string::npos);
  EXPECT_FALSE(testutil::file_exists(dir_.file("vardo.log")));
}

TEST_F(ConsoleRun, NonVerbsSelectTheDispatcherAndEndOutsideTheManager) {
  write_conf("");
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"start"}, {"-status"}, {"-"}, {"install"}}) {
    ASSERT_TRUE(start(args));
    int status = -1;
    ASSERT_TRUE(child_.wait_exit(5000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(child_.output(), "Trying to start service 'vardo Service' ... please wait.\n");
  }
  EXPECT_FALSE(testutil::file_exists(dir_.file("vardo.log")));
}

}  // namespace

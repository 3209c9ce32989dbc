// The log watch managed over SMT, end to end with the real executable: a
// facility written with lwwritef is loaded, new lines of its files come back
// through lwlistlog and lwgetlog, and a stop finishes the current result file.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/smt_wire.h"
#include "support/testutil.h"

namespace {

namespace fs = std::filesystem;

struct Reply {
  std::string status, body;
};

class WatchOverSmt : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_.file("vardo");
    fs::copy_file(VARDO_EXE, exe_);
    for (const char* d : {"fac", "res", "logs"}) fs::create_directory(dir_.file(d));
  }
  void TearDown() override {
    if (child_.running()) stop();
  }
  bool start() {
    testutil::write_file(dir_.file("vardo.conf"),
                         "vardo.listener = 127.0.0.1:0\nservice.loglevel = 4\n"
                         "lwatch.facilityupdt = 1\nlwatch.rfilettl = 3\n"
                         "lwatch.facilitydir = " +
                             dir_.file("fac") + "\nlwatch.resultdir = " + dir_.file("res") +
                             "\nlwatch.journaldir = " + dir_.file("nojournal") + "\n");
    if (!child_.start({exe_, "-start"}, dir_.path(), dir_.file("console.txt"), {},
                      {"NOTIFY_SOCKET", "INVOCATION_ID"}))
      return false;
    return testutil::wait_listener_port(dir_.file("vardo.log"), &port_) &&
           wait_log(" SMTSVR up\n") && wait_log(" LWATCH up\n");
  }
  // SIGINT by pid; a clean exit also says that no sanitizer found a fault.
  void stop() {
    child_.signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(child_.wait_exit(10000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::string log() { return testutil::read_file(dir_.file("vardo.log")); }
  bool wait_log(const std::string& piece, int ms = 8000) {
    return testutil::wait_until([&] { return log().find(piece) != std::string::npos; }, ms);
  }
  size_t count_log(const std::string& piece) {
    std::string text = log();
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
  }
  // One request on a connection of its own.
  Reply ask(const std::string& head, const std::string& body = "") {
    int fd = testutil::tcp_connect(port_);
    if (fd < 0) return {"<no connection>", ""};
    testutil::send_all(fd, smtwire::frame(head, body));
    std::string raw = smtwire::read_reply(fd);
    close(fd);
    if (raw.size() < 18) return {"<no reply>", raw};
    size_t h = std::stoul(raw.substr(5, 5)), b = std::stoul(raw.substr(10, 8));
    if (raw.size() != 18 + h + b) return {"<cut short>", raw};
    return {raw.substr(18, h), raw.substr(18 + h)};
  }
  std::vector<std::string> results(const std::string& ext) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir_.file("res"))) {
      std::string n = e.path().filename().string();
      if (n.size() > ext.size() && n.compare(n.size() - ext.size(), ext.size(), ext) == 0)
        names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Files written now but found a while ago: the next write moves their
  // modification time forward, which whole seconds would otherwise hide.
  void write_old(const std::string& path, const std::string& content) {
    testutil::write_file(path, content);
    timeval past[2] = {{time(nullptr) - 100, 0}, {time(nullptr) - 100, 0}};
    utimes(path.c_str(), past);
  }

  testutil::TempDir dir_;
  std::string exe_;
  testutil::Child child_;
  uint16_t port_ = 0;
};

TEST_F(WatchOverSmt, FacilityWrittenOverSmtReportsNewLinesInResultFilesFetchedOnce) {
  const std::string app = dir_.file("logs/app.log"), beg = dir_.file("logs/beg.log");
  write_old(app, "an old error\n");
  write_old(dir_.file("logs/one.txt"), "an old warning\n");
  write_old(beg, "old error in beg\n");
  ASSERT_TRUE(start()) << log();

  // Names with a separator are refused before anything is touched.
  EXPECT_EQ(ask("lwwritef ../evil", "scan = 1\n").status, "400 Cannot open file");
  EXPECT_EQ(ask("lwgetlog ../x").status, "400 Cannot open file");
  EXPECT_EQ(ask("lwreadf a\\b").status, "400 Cannot open file");
  EXPECT_FALSE(testutil::file_exists(dir_.file("evil.facility")));
  // A result file above the 1048576 bytes that frame readers accept still
  // goes out whole, in one reply.
  std::string big;
  while (big.size() <= 1100000) big += "[f,e] " + std::string(100, 'x') + "\n";
  testutil::write_file(dir_.file("res/lw000101000000.log"), big);
  Reply got = ask("lwgetlog 000101000000");
  EXPECT_EQ(got.status, "200 OK");
  EXPECT_TRUE(got.body == big) << got.body.size();

  const std::string web = "scan = 1\nfile = " + app + "\nfile = " + dir_.file("logs") +
                          "/*.txt\nfilter = err;error\nfilter = warn;warn\n";
  ASSERT_EQ(ask("lwwritef web", web).status, "200 OK");
  ASSERT_EQ(
      ask("lwwritef beg", "scan = 1\nscanfrombeg = 1\nfile = " + beg + "\nfilter = err;error\n")
          .status,
      "200 OK");
  ASSERT_TRUE(wait_log(" facility 'web' added\n")) << log();
  ASSERT_TRUE(wait_log("#   start dynamic monitoring '" + dir_.file("logs/one.txt") + "'\n"));
  // The scan after the one of the load: every file has been found.
  ASSERT_TRUE(testutil::wait_until(
      [&] { return count_log(" scanning lwfacility 'web' files\n") >= 2; }, 5000));
  Reply r = ask("lwlistf");
  EXPECT_EQ(r.status, "200 OK");
  std::vector<std::string> listed = testutil::split_lines(r.body);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"beg", "web"}));
  EXPECT_EQ(ask("lwreadf web").body, web);

  testutil::append_file(app, "disk error 1\nall fine\n");
  testutil::append_file(dir_.file("logs/one.txt"), "low space warning\n");
  testutil::write_file(dir_.file("logs/two.txt"), "early warning\n");

  // Fetch what is listed until every hit has come back; each identifier is
  // twelve digits, its file goes with the first fetch.
  const std::vector<std::string> expected = {
      "[web,err] disk error 1", "[web,warn] low space warning", "[web,warn] early warning",
      "[beg,err] old error in beg"};
  std::string fetched;
  bool tmp_seen = false;
  auto all_fetched = [&] {
    for (const auto& line : expected)
      if (fetched.find(line + "\n") == std::string::npos) return false;
    return true;
  };
  bool done = testutil::wait_until(
      [&] {
        tmp_seen = tmp_seen || !results(".tmp").empty();
        Reply list = ask("lwlistlog");
        EXPECT_EQ(list.status, "200 OK");
        for (const std::string& id : testutil::split_lines(list.body)) {
          EXPECT_TRUE(std::regex_match(id, std::regex("\\d{12}"))) << id;
          Reply got = ask("lwgetlog " + id);
          EXPECT_EQ(got.status, "200 OK") << id;
          fetched += got.body;
          EXPECT_EQ(ask("lwgetlog " + id).status, "400 Cannot open file") << id;
          EXPECT_FALSE(testutil::file_exists(dir_.file("res/lw" + id + ".log")));
        }
        return all_fetched();
      },
      12000);
  ASSERT_TRUE(done) << fetched << log();
  EXPECT_TRUE(tmp_seen);  // an open result file was there, and never listed
  std::vector<std::string> lines = testutil::split_lines(fetched);
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
            std::set<std::string>(expected.begin(), expected.end()))
      << fetched;

  // The period that is open now gets no hit: once it is over, nothing of
  // it is left.
  std::vector<std::string> open_now;
  ASSERT_TRUE(testutil::wait_until([&] { return (open_now = results(".tmp")).size() == 1; }, 5000));
  ASSERT_TRUE(testutil::wait_until([&] { return results(".tmp") != open_now; }, 8000));
  EXPECT_EQ(ask("lwlistlog").body, "");
  EXPECT_TRUE(results(".log").empty());

  // A removed facility is dropped at the next reload.
  EXPECT_EQ(ask("lwremovef beg").status, "200 OK");
  ASSERT_TRUE(wait_log(" facility 'beg' removed\n")) << log();
  EXPECT_EQ(ask("lwlistf").body, "web\n");

  // A stop in a period with hits leaves that period's file finished.
  testutil::append_file(app, "last error\n");
  ASSERT_TRUE(wait_log("#   new line in file " + app + " = >last error<\n")) << log();
  stop();
  EXPECT_TRUE(results(".tmp").empty());
  std::vector<std::string> finished = results(".log");
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_TRUE(std::regex_match(finished[0], std::regex("lw\\d{12}\\.log")));
  EXPECT_EQ(testutil::read_file(dir_.file("res/" + finished[0])), "[web,err] last error\n");
  EXPECT_FALSE(testutil::file_exists(dir_.file("evil.facility")));
}

}  // namespace

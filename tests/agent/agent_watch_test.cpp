// The watch-file commands through the request dispatch: arguments, listings,
// reading, writing, removing and fetching, names that would leave their
// directory, and the whole replacement of a facility file while others read
// it.
#include "agent/agent_watch.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "agent_test_util.h"

namespace {

namespace fs = std::filesystem;
using agenttest::kCannotOpen;
using agenttest::kSyntaxError;
using agenttest::ok;
using agenttest::Reply;

class WatchCommands : public agenttest::Commands {
 protected:
  void write(const std::string& path, const std::string& content = "") {
    testutil::write_file(path, content);
  }
  // The names a listing gives, sorted.
  std::vector<std::string> listed(const std::string& cmd) {
    Reply r = send(cmd);
    EXPECT_EQ(r.status, "200 OK") << cmd;
    auto v = testutil::split_lines(r.body);
    std::sort(v.begin(), v.end());
    return v;
  }
  std::vector<std::string> files(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(WatchCommands, ArgumentIsTheTextBetweenTheFirstTwoBlanks) {
  for (const char* cmd : {"lwreadf", "lwwritef", "lwremovef", "lwgetlog"})
    EXPECT_EQ(send(cmd, "body"), kSyntaxError) << cmd;
  EXPECT_TRUE(fs::is_empty(fac()));
  write(fac() + "/.facility", "unnamed\n");
  write(fac() + "/a.facility", "scan = 1\n");
  EXPECT_EQ(send("lwreadf "), ok("unnamed\n"));
  EXPECT_EQ(send("lwreadf a further tokens"), ok("scan = 1\n"));
  EXPECT_EQ(send("lwreadf nosuch"), kCannotOpen);
  EXPECT_EQ(send("lwremovef nosuch"), ok());
  // ".." alone stays inside the directory: it names "...facility".
  write(fac() + "/...facility", "dots\n");
  EXPECT_EQ(send("lwreadf .."), ok("dots\n"));
}

// Listings name the facilities and the finished result files of their own
// directories only, whatever the case of the extension.
TEST_F(WatchCommands, ListingsNameFacilitiesAndFinishedResultsOfTheirOwnDirectories) {
  for (const char* f : {"a.b.facility", "A.FACILITY", "web.facility", "notes.txt",
                        "lw230101000009.log", "web.facility.bak"})
    write(fac() + "/" + f);
  fs::create_directory(fac() + "/sub.facility");
  for (const char* f : {"lw230101000000.log", "LW230101000001.LOG", "lw230101000002.tmp",
                        "other.log", "res.facility"})
    write(res() + "/" + f);
  EXPECT_EQ(listed("lwlistf ignored"), (std::vector<std::string>{"A", "a", "web"}));
  EXPECT_EQ(send("lwreadf a"), kCannotOpen);  // a.facility, not a.b.facility
  EXPECT_EQ(listed("lwlistlog"), (std::vector<std::string>{"230101000000", "230101000001"}));
  fs::create_directory(dir_.file("empty"));
  dirs(dir_.file("empty"), dir_.file("empty"));
  EXPECT_EQ(send("lwlistf"), ok());
  EXPECT_EQ(send("lwlistlog"), ok());
  for (const std::string& bad : {dir_.file("missing"), res() + "/other.log"}) {
    dirs(bad, bad);
    for (const char* cmd : {"lwlistf", "lwlistlog"})
      EXPECT_EQ(send(cmd), (Reply{"400 Failed reading directory", ""})) << cmd << " " << bad;
  }
}

// Written unchanged; read back with CR dropped and every line, the last one
// without LF too, ended by "\n". A shorter content replaces a longer one
// whole, and an empty body leaves an empty file.
TEST_F(WatchCommands, WrittenFacilityReadsBackLineByLine) {
  const std::string raw = std::string("scan = 1\r\nfilter = x;a\0b\nfile = /l", 34);
  EXPECT_EQ(send("lwwritef web", raw), ok());
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), raw);
  EXPECT_EQ(send("lwreadf web"), ok(std::string("scan = 1\nfilter = x;a\0b\nfile = /l\n", 34)));
  EXPECT_EQ(send("lwwritef web", "x"), ok());
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), "x");
  EXPECT_EQ(send("lwwritef web"), ok());
  EXPECT_EQ(send("lwreadf web"), ok());
  EXPECT_EQ(files(fac()), std::vector<std::string>{"web.facility"});  // no temporary file left
  EXPECT_EQ(send("lwremovef web"), ok());
  EXPECT_TRUE(fs::is_empty(fac()));
  dirs(dir_.file("missing"), res());
  EXPECT_EQ(send("lwwritef web", "scan = 1\n"), kCannotOpen);
  EXPECT_FALSE(fs::exists(dir_.file("missing")));
}

// Only a finished result file is delivered, once: it goes with the fetch,
// whatever its size. Something that opens but cannot be read is kept.
TEST_F(WatchCommands, ResultFileIsDeliveredOnce) {
  write(res() + "/lw230101000000.log", "[f,e] one\r\n[f,e] two");
  write(res() + "/lw230101000001.tmp", "[f,e] unfinished\n");
  EXPECT_EQ(send("lwgetlog 230101000000"), ok("[f,e] one\n[f,e] two\n"));
  EXPECT_EQ(send("lwgetlog 230101000000"), kCannotOpen);
  EXPECT_EQ(send("lwgetlog 230101000001"), kCannotOpen);
  fs::create_directory(res() + "/lw230101000002.log");
  EXPECT_EQ(send("lwgetlog 230101000002"), kCannotOpen);
  std::string big;
  while (big.size() <= 1536 * 1024) big += "[f,e] " + std::string(90, 'x') + "\n";
  write(res() + "/lw230101000003.log", big);
  EXPECT_TRUE(send("lwgetlog 230101000003") == ok(big));
  EXPECT_EQ(files(res()), (std::vector<std::string>{"lw230101000001.tmp", "lw230101000002.log"}));
}

TEST_F(WatchCommands, NamesThatWouldLeaveTheirDirectoryAreRefusedUntouched) {
  // Targets that each refused name would reach if it were used unchecked.
  fs::create_directories(fac() + "/sub");
  fs::create_directories(res() + "/lw");
  write(dir_.file("x.facility"), "outside\n");
  write(fac() + "/sub/y.facility", "below\n");
  write(fac() + "/a\\b.facility", "backslash\n");
  write(fac() + "/x", "no extension\n");
  write(dir_.file("x.log"), "outside\n");
  write(res() + "/lw/z.log", "below\n");
  auto snapshot = [&] {
    std::map<std::string, std::string> all;
    for (auto& e : fs::recursive_directory_iterator(dir_.path()))
      if (e.is_regular_file() && e.path().filename() != "agent.log")
        all[e.path().string()] = testutil::read_file(e.path().string());
    return all;
  };
  auto before = snapshot();
  const std::vector<std::string> names = {"../x",     "sub/y", "a\\b", "..\\x", fac() + "/sub/y",
                                          "/../../x", "/z",    "sub/", "\\"};
  for (const char* cmd : {"lwreadf", "lwwritef", "lwremovef", "lwgetlog"})
    for (const std::string& name : names)
      EXPECT_EQ(send(std::string(cmd) + " " + name, "written\n"), kCannotOpen) << cmd << name;
  EXPECT_EQ(snapshot(), before);
  // A NUL byte ends the head's tokens: it cannot cut a path short of its
  // extension to reach "x".
  EXPECT_EQ(send(std::string("lwwritef x\0", 11), "written\n"), ok());
  EXPECT_EQ(testutil::read_file(fac() + "/x.facility"), "written\n");
  EXPECT_EQ(testutil::read_file(fac() + "/x"), "no extension\n");
}

TEST_F(WatchCommands, ReplacementIsWholeForConcurrentReaders) {
  // Two contents of different sizes; the larger one spans several pages.
  std::string small = "scan = 1\nfilter = e;error\n", large;
  for (int i = 0; i < 400; ++i) large += "file = /var/log/app" + std::to_string(i) + ".log\n";
  ASSERT_EQ(send("lwwritef web", small), ok());
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, bad{0};
  auto reader = [&](bool through_command) {
    agenttest::Conn conn(&log_);
    while (!done.load()) {
      std::string seen = through_command ? conn.send("lwreadf web").body
                                         : testutil::read_file(fac() + "/web.facility");
      if (seen != small && seen != large) ++bad;
      ++reads;
    }
  };
  std::thread r1(reader, true), r2(reader, false);
  std::thread writer([&] {
    agenttest::Conn conn(&log_);
    for (int i = 0; i < 300; ++i)
      if (conn.send("lwwritef web", i % 2 ? small : large) != ok()) ++bad;
    done = true;
  });
  writer.join();
  r1.join();
  r2.join();
  EXPECT_EQ(bad.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), small);
  EXPECT_EQ(files(fac()), std::vector<std::string>{"web.facility"});
}

// A write that fails, as on a full disk (here a file size limit), or a
// directory in the facility file's place, leaves the old state.
TEST_F(WatchCommands, FailedReplacementKeepsTheOldFacility) {
  ASSERT_EQ(send("lwwritef web", "scan = 1\n"), ok());
  struct sigaction ignore {
  }, old_action{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old_action);
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Reply r = send("lwwritef web", std::string(8192, '#'));
  setrlimit(RLIMIT_FSIZE, &old_limit);
  sigaction(SIGXFSZ, &old_action, nullptr);
  const Reply cannot_write{"400 Cannot write file", ""};
  EXPECT_EQ(r, cannot_write);
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), "scan = 1\n");
  fs::create_directory(fac() + "/dir.facility");
  EXPECT_EQ(send("lwwritef dir", "scan = 1\n"), cannot_write);
  EXPECT_EQ(files(fac()), (std::vector<std::string>{"dir.facility", "web.facility"}));
}

}  // namespace

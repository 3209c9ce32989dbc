// The watch-file commands in process, through the dispatch on connection
// records: arguments, listings, reading, writing, removing and fetching,
// names that would leave their directory, and the whole replacement of a
// facility file while others read it.
#include "agent/agent_watch.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_dispatch.h"
#include "klib/kerror.h"
#include "support/testutil.h"

namespace {

namespace fs = std::filesystem;

struct Reply {
  std::string status, body;
};

// One connection record: requests go through the dispatch as on a
// connection thread.
class Conn {
 public:
  explicit Conn(klog* log) { smt_client_init(&c_, nullptr, nullptr, agent_on_message, log); }
  ~Conn() { smt_client_free(&c_); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  Reply send(const std::string& head, const std::string& body = "") {
    smt_message_clear(&c_.request);
    smt_message_clear(&c_.reply);
    kstring_assign_bytes(&c_.request.head, head.data(), static_cast<uint32_t>(head.size()));
    kstring_assign_bytes(&c_.request.body, body.data(), static_cast<uint32_t>(body.size()));
    EXPECT_EQ(agent_on_message(&c_), 0u) << head;
    return {std::string(kstring_text(&c_.reply.head), c_.reply.head.length),
            std::string(kstring_text(&c_.reply.body), c_.reply.body.length)};
  }

 private:
  smt_client c_;
};

class WatchCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    kerror_libinit();
    fs::create_directory(fac());
    fs::create_directory(res());
    klog_init(&log_, dir_.file("agent.log").c_str());
    kstrlist_init(&g_agent.disabled_verbs);
    kstrlist_init(&g_agent.address_masks);
    kstring_init(&g_agent.facilitydir);
    kstring_init(&g_agent.resultdir);
    dirs(fac() + "/", res());
    conn_ = std::make_unique<Conn>(&log_);
  }
  void TearDown() override {
    conn_.reset();
    kstring_free(&g_agent.resultdir);
    kstring_free(&g_agent.facilitydir);
    kstrlist_free(&g_agent.address_masks);
    kstrlist_free(&g_agent.disabled_verbs);
    klog_free(&log_);
  }
  void dirs(const std::string& facilitydir, const std::string& resultdir) {
    kstring_assign_cstr(&g_agent.facilitydir, facilitydir.c_str());
    kstring_assign_cstr(&g_agent.resultdir, resultdir.c_str());
  }
  std::string fac() const { return dir_.file("fac"); }
  std::string res() const { return dir_.file("res"); }
  Reply send(const std::string& head, const std::string& body = "") {
    return conn_->send(head, body);
  }
  // Every file under the temporary directory with its content.
  std::map<std::string, std::string> snapshot() {
    std::map<std::string, std::string> files;
    for (auto& e : fs::recursive_directory_iterator(dir_.path()))
      if (e.is_regular_file() && e.path().filename() != "agent.log")
        files[e.path().string()] = testutil::read_file(e.path().string());
    return files;
  }
  static std::vector<std::string> sorted_lines(const std::string& body) {
    auto v = testutil::split_lines(body);
    std::sort(v.begin(), v.end());
    return v;
  }

  testutil::TempDir dir_;
  klog log_;
  std::unique_ptr<Conn> conn_;
};

TEST_F(WatchCommands, ArgumentIsTheTextBetweenTheFirstTwoBlanks) {
  for (const char* cmd : {"lwreadf", "lwwritef", "lwremovef", "lwgetlog"}) {
    Reply r = send(cmd, "body");
    EXPECT_EQ(r.status, "400 Syntax error") << cmd;
    EXPECT_EQ(r.body, "") << cmd;
  }
  EXPECT_TRUE(fs::is_empty(fac()));

  testutil::write_file(fac() + "/.facility", "unnamed\n");
  testutil::write_file(fac() + "/a.facility", "scan = 1\n");
  Reply r = send("lwreadf ");
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_EQ(r.body, "unnamed\n");
  EXPECT_EQ(send("lwreadf a further tokens").body, "scan = 1\n");
  r = send("lwreadf nosuch");
  EXPECT_EQ(r.status, "400 Cannot open file");
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(send("lwremovef nosuch").status, "200 OK");
  EXPECT_EQ(send("lwgetlog 000000000000").status, "400 Cannot open file");
  // ".." alone stays inside the directory: it names "...facility".
  testutil::write_file(fac() + "/...facility", "dots\n");
  EXPECT_EQ(send("lwreadf ..").body, "dots\n");
}

TEST_F(WatchCommands, ListingsNameFacilitiesAndFinishedResultsOfTheirOwnDirectories) {
  for (const char* f : {"a.b.facility", "A.FACILITY", "web.facility", "notes.txt",
                        "lw230101000009.log", "web.facility.bak"})
    testutil::write_file(fac() + "/" + f, "");
  fs::create_directory(fac() + "/sub.facility");
  for (const char* f : {"lw230101000000.log", "LW230101000001.LOG", "lw230101000002.tmp",
                        "other.log", "res.facility"})
    testutil::write_file(res() + "/" + f, "");
  Reply r = send("lwlistf ignored");
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_EQ(sorted_lines(r.body), (std::vector<std::string>{"A", "a", "web"}));
  // 'lwreadf a' reads a.facility, which does not exist, not a.b.facility.
  EXPECT_EQ(send("lwreadf a").status, "400 Cannot open file");
  r = send("lwlistlog");
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_EQ(sorted_lines(r.body), (std::vector<std::string>{"230101000000", "230101000001"}));

  // Empty directories list nothing; a missing directory or a file in its
  // place cannot be listed.
  dirs(dir_.file("empty"), dir_.file("empty"));
  fs::create_directory(dir_.file("empty"));
  EXPECT_EQ(send("lwlistf").status, "200 OK");
  EXPECT_EQ(send("lwlistlog").body, "");
  for (const std::string& bad : {dir_.file("missing"), res() + "/other.log"}) {
    dirs(bad, bad);
    for (const char* cmd : {"lwlistf", "lwlistlog"}) {
      r = send(cmd);
      EXPECT_EQ(r.status, "400 Failed reading directory") << cmd << " " << bad;
      EXPECT_EQ(r.body, "");
    }
  }
}

TEST_F(WatchCommands, WrittenFacilityReadsBackLineByLine) {
  EXPECT_EQ(send("lwwritef web", "scan = 10\n").status, "200 OK");
  Reply r = send("lwreadf web");
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_EQ(r.body, "scan = 10\n");
  // Written unchanged; read back with CR dropped and every line, the last
  // one without LF too, ended by "\n".
  const std::string raw = std::string("scan = 1\r\nfilter = x;a\0b\nfile = /l", 34);
  r = send("lwwritef web", raw);
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), raw);
  EXPECT_EQ(send("lwreadf web").body, std::string("scan = 1\nfilter = x;a\0b\nfile = /l\n", 34));
  // A shorter content replaces a longer one whole; an empty body leaves an
  // empty file, which reads as an empty body.
  EXPECT_EQ(send("lwwritef web", "x").status, "200 OK");
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), "x");
  EXPECT_EQ(send("lwwritef web").status, "200 OK");
  EXPECT_TRUE(testutil::file_exists(fac() + "/web.facility"));
  r = send("lwreadf web");
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(send("lwlistf").body, "web\n");  // no temporary file is left
  EXPECT_EQ(send("lwremovef web").status, "200 OK");
  EXPECT_FALSE(testutil::file_exists(fac() + "/web.facility"));
  EXPECT_TRUE(fs::is_empty(fac()));
  // A facility directory that does not exist: nothing can be created.
  dirs(dir_.file("missing"), res());
  EXPECT_EQ(send("lwwritef web", "scan = 1\n").status, "400 Cannot open file");
  EXPECT_FALSE(fs::exists(dir_.file("missing")));
}

TEST_F(WatchCommands, ResultFileIsDeliveredOnce) {
  testutil::write_file(res() + "/lw230101000000.log", "[f,e] one\r\n[f,e] two");
  testutil::write_file(res() + "/lw230101000001.tmp", "[f,e] unfinished\n");
  Reply r = send("lwgetlog 230101000000");
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_EQ(r.body, "[f,e] one\n[f,e] two\n");
  EXPECT_FALSE(testutil::file_exists(res() + "/lw230101000000.log"));
  r = send("lwgetlog 230101000000");
  EXPECT_EQ(r.status, "400 Cannot open file");
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(send("lwgetlog 230101000001").status, "400 Cannot open file");
  EXPECT_TRUE(testutil::file_exists(res() + "/lw230101000001.tmp"));
  // Something that opens but cannot be read is kept.
  fs::create_directory(res() + "/lw230101000002.log");
  r = send("lwgetlog 230101000002");
  EXPECT_EQ(r.status, "400 Cannot open file");
  EXPECT_EQ(r.body, "");
  EXPECT_TRUE(fs::is_directory(res() + "/lw230101000002.log"));
  // Beyond what readers of frames accept, the reply still carries it all.
  std::string big;
  while (big.size() <= 1536 * 1024) big += "[f,e] " + std::string(90, 'x') + "\n";
  testutil::write_file(res() + "/lw230101000003.log", big);
  r = send("lwgetlog 230101000003");
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_TRUE(r.body == big) << r.body.size();
  EXPECT_FALSE(testutil::file_exists(res() + "/lw230101000003.log"));
}

TEST_F(WatchCommands, NamesThatWouldLeaveTheirDirectoryAreRefusedUntouched) {
  // Targets that each refused name would reach if it were used unchecked.
  fs::create_directories(fac() + "/sub");
  fs::create_directories(res() + "/lw");
  testutil::write_file(dir_.file("x.facility"), "outside\n");
  testutil::write_file(fac() + "/sub/y.facility", "below\n");
  testutil::write_file(fac() + "/a\\b.facility", "backslash\n");
  testutil::write_file(fac() + "/x", "no extension\n");
  testutil::write_file(dir_.file("x.log"), "outside\n");
  testutil::write_file(res() + "/lw/z.log", "below\n");
  auto before = snapshot();
  const std::vector<std::string> names = {"../x",     "sub/y", "a\\b", "..\\x", fac() + "/sub/y",
                                          "/../../x", "/z",    "sub/", "\\"};
  for (const char* cmd : {"lwreadf", "lwwritef", "lwremovef", "lwgetlog"}) {
    for (const std::string& name : names) {
      Reply r = send(std::string(cmd) + " " + name, "written\n");
      EXPECT_EQ(r.status, "400 Cannot open file") << cmd << " " << name;
      EXPECT_EQ(r.body, "") << cmd << " " << name;
    }
  }
  EXPECT_EQ(snapshot(), before);
  // A NUL byte ends the head's tokens: it cannot cut a path short of its
  // extension to reach "x".
  EXPECT_EQ(send(std::string("lwwritef x\0", 11), "written\n").status, "200 OK");
  EXPECT_EQ(testutil::read_file(fac() + "/x.facility"), "written\n");
  EXPECT_EQ(testutil::read_file(fac() + "/x"), "no extension\n");
}

TEST_F(WatchCommands, ReplacementIsWholeForConcurrentReaders) {
  // Two contents of different sizes; the larger one spans several pages.
  std::string small = "scan = 1\nfilter = e;error\n", large;
  for (int i = 0; i < 400; ++i) large += "file = /var/log/app" + std::to_string(i) + ".log\n";
  ASSERT_EQ(send("lwwritef web", small).status, "200 OK");
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, bad{0};
  auto reader = [&](bool through_command) {
    Conn conn(&log_);
    while (!done.load()) {
      std::string seen = through_command ? conn.send("lwreadf web").body
                                         : testutil::read_file(fac() + "/web.facility");
      if (seen != small && seen != large) ++bad;
      ++reads;
    }
  };
  std::thread r1(reader, true), r2(reader, false);
  std::thread writer([&] {
    Conn conn(&log_);
    for (int i = 0; i < 300; ++i)
      if (conn.send("lwwritef web", i % 2 ? small : large).status != "200 OK") ++bad;
    done = true;
  });
  writer.join();
  r1.join();
  r2.join();
  EXPECT_EQ(bad.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), small);
  std::vector<std::string> left;
  for (auto& e : fs::directory_iterator(fac())) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"web.facility"});
}

TEST_F(WatchCommands, FailedReplacementKeepsTheOldFacility) {
  ASSERT_EQ(send("lwwritef web", "scan = 1\n").status, "200 OK");
  // A file size limit makes the write fail as a full disk does.
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
  EXPECT_EQ(r.status, "400 Cannot write file");
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), "scan = 1\n");
  std::vector<std::string> left;
  for (auto& e : fs::directory_iterator(fac())) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"web.facility"});
  // A directory in the facility file's place cannot be replaced either.
  fs::create_directory(fac() + "/dir.facility");
  EXPECT_EQ(send("lwwritef dir", "scan = 1\n").status, "400 Cannot write file");
  EXPECT_TRUE(fs::is_directory(fac() + "/dir.facility"));
  EXPECT_EQ(std::distance(fs::directory_iterator(fac()), fs::directory_iterator()), 2);
}

}  // namespace

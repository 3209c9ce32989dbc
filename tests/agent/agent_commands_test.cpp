// The commands in process, dispatched on a connection record as a
// connection thread does: the command word, disabled verbs and peer
// authorization; exec, read and cperf; and the watch-file commands. No test
// may leave a child process (running or zombie) or a descriptor behind: the
// fixture counts both before and after.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent.h"
#include "agent/agent_dispatch.h"
#include "agent/agent_exec.h"
#include "agent/agent_watch.h"
#include "klib/kerror.h"
#include "net/smt_frame.h"
#include "support/testutil.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using Reply = std::pair<std::string, std::string>;  // status line, body

const auto ok = [](const std::string& body = "") { return Reply{"200 OK", body}; };

const Reply kRefused{"400 Cannot serve this request", ""};
const Reply kSyntaxError{"400 Syntax error", ""};
const Reply kCannotOpen{"400 Cannot open file", ""};

// A connection record from 127.0.0.1:4242, as the server's pool holds it.
// The reply counts as sent (the server's write reporting sent_rc) once the
// dispatch has returned.
struct Conn {
  agent_conn record;
  smt_client& c = record.client;
  uint32_t sent_rc = 0;
  explicit Conn(klog* log) {
    smt_client_init(&c, nullptr, nullptr, agent_on_message, log);
    kstring_assign_cstr(&c.peer_address, "127.0.0.1");
    c.peer_port = 4242;
  }
  ~Conn() { smt_client_free(&c); }
  static std::string str(const kstring* s) { return {kstring_text(s), s->length}; }
  Reply send(const std::string& head, const std::string& body = "") {
    smt_message_clear(&c.request);
    smt_message_clear(&c.reply);
    kstring_assign_bytes(&c.request.head, head.data(), static_cast<uint32_t>(head.size()));
    kstring_assign_bytes(&c.request.body, body.data(), static_cast<uint32_t>(body.size()));
    const uint32_t rc = agent_on_message(&c);
    smt_client_reply_done(&c, rc == 0 ? sent_rc : KERR_FAILED);
    return {str(&c.reply.head), str(&c.reply.body)};
  }
};

// The agent record's settings that the commands read (no disabled verb, no
// address mask, a 20 s time limit, fac/ and res/ of a temporary directory),
// and one connection.
class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    kerror_libinit();
    fds_ = testutil::count_fds();
    ASSERT_TRUE(testutil::child_pids(getpid()).empty());
    klog_init(&log_, dir_.file("agent.log").c_str());
    g_agent.log_ref = &log_;
    g_agent.exec_timeout_s = 20;
    kstrlist_init(&g_agent.disabled_verbs);
    kstrlist_init(&g_agent.address_masks);
    kstring_init(&g_agent.facilitydir);
    kstring_init(&g_agent.resultdir);
    std::filesystem::create_directories(res());
    std::filesystem::create_directories(fac());
    dirs(fac() + "/", res());
  }
  void TearDown() override {
    kstring_free(&g_agent.resultdir);
    kstring_free(&g_agent.facilitydir);
    kstrlist_free(&g_agent.address_masks);
    kstrlist_free(&g_agent.disabled_verbs);
    g_agent.log_ref = nullptr;
    klog_free(&log_);
    EXPECT_TRUE(testutil::child_pids(getpid()).empty());
    EXPECT_EQ(testutil::count_fds(), fds_);
  }
  void dirs(const std::string& facilitydir, const std::string& resultdir) {
    kstring_assign_cstr(&g_agent.facilitydir, facilitydir.c_str());
    kstring_assign_cstr(&g_agent.resultdir, resultdir.c_str());
  }
  std::string fac() const { return dir_.file("fac"); }
  std::string res() const { return dir_.file("res"); }
  Reply send(const std::string& head, const std::string& body = "") {
    return conn_.send(head, body);
  }
  std::string log() { return testutil::read_file(dir_.file("agent.log")); }

  testutil::TempDir dir_;
  klog log_;
  Conn conn_{&log_};
  int fds_ = 0;
};

class Dispatch : public Commands {};

// Only an exact command word that is not disabled is served: the blank alone
// ends the word, and case counts. echo answers with the whole head; a
// disabled exec starts no process. Refusals are not logged.
TEST_F(Dispatch, OnlyAnExactCommandWordThatIsNotDisabledIsServed) {
  EXPECT_EQ(send("echo  two  blanks\t", "ignored"), ok("echo  two  blanks\t"));
  EXPECT_EQ(send("echo"), ok("echo"));
  for (const char* head : {"ECHO hi", "echo\thi", " echo", "", "echoes", "ech"})
    EXPECT_EQ(send(head), kRefused) << head;
  kstring_assign_cstr(kstrlist_add(&g_agent.disabled_verbs), "exec");
  EXPECT_EQ(send("exec touch " + dir_.file("touched")), kRefused);
  EXPECT_FALSE(testutil::file_exists(dir_.file("touched")));
  EXPECT_EQ(send("echo hi"), ok("echo hi"));
  kstring_assign_cstr(kstrlist_add(&g_agent.disabled_verbs), "echo");
  EXPECT_EQ(send("echo hi"), kRefused);
  EXPECT_EQ(log(), "");
}

// Masks are whole addresses, checked on every connection by the accept
// filter: a refused peer is closed before it is served, with one warning per
// connection.
TEST_F(Dispatch, AddressMasksAreWholeAddressesCheckedOnEveryConnection) {
  smt_server srv{};
  srv.log = &log_;
  const auto allowed = [&](const char* peer) {
    kstring address;
    kstring_init(&address);
    kstring_assign_cstr(&address, peer);
    const bool in = agent_on_accept(&srv, &address, 4242);
    kstring_free(&address);
    return in;
  };
  EXPECT_TRUE(allowed("10.1.2.3"));  // no mask: every peer
  kstring_assign_cstr(kstrlist_add(&g_agent.address_masks), "10.0.0.1");
  kstring_assign_cstr(kstrlist_add(&g_agent.address_masks), "127.0.0.1");
  for (const char* refused : {"10.0.0.10", "127.0.0.2", "10.1.2.3", "127.0.0.2"})
    EXPECT_FALSE(allowed(refused)) << refused;
  std::vector<std::string> lines = testutil::split_lines(log());
  ASSERT_EQ(lines.size(), 4u);
  for (int i : {1, 3})
    EXPECT_TRUE(lines[i].ends_with("[WARNING] connection not authorized from 127.0.0.2:4242"))
        << lines[i];
  EXPECT_TRUE(allowed("127.0.0.1"));
  EXPECT_EQ(send("echo hi"), ok("echo hi"));
}

const std::string kCut = AGENT_CUT_LINE;

class ExecCommands : public Commands {};

TEST_F(ExecCommands, ExecAnswersWithTheLinesOfBothStreamsOrASyntaxError) {
  EXPECT_EQ(send("exec printf a\\r\\nb"), ok("a\nb\n"));
  EXPECT_EQ(send("exec echo"), ok("\n"));
  EXPECT_EQ(send("exec sh -c \"echo out; echo err >&2; echo out2\""), ok("out\nerr\nout2\n"));
  EXPECT_EQ(send("exec sh -c \"echo hi\""), ok("hi\n"));
  EXPECT_EQ(send("exec sh -c \"echo no; exit 3\""), ok("no\n"));  // the exit code is not reported
  // Its input is at end of file: cat ends at once, long before the limit.
  auto t0 = Clock::now();
  EXPECT_EQ(send("exec cat"), ok());
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
  // A daemon that the program starts does not hold the reply until the time
  // limit (which would be logged), and does not outlive it.
  EXPECT_EQ(send("exec sh -c \"setsid sleep 987661 & echo started\""), ok("started\n"));
  EXPECT_EQ(testutil::processes_with_arg("987661"), 0);
  // A program that cannot start is a syntax error. None of this is logged.
  testutil::write_file(dir_.file("plain.txt"), "not a program\n");
  for (const std::string& head :
       {std::string("exec"), std::string("exec  \t "), std::string("exec nosuchprogram-vardo"),
        "exec " + dir_.file("plain.txt"), "exec " + dir_.path()})
    EXPECT_EQ(send(head), kSyntaxError) << head;
  EXPECT_EQ(log(), "");
}

TEST_F(ExecCommands, StoppingTheConnectionEndsARunningProgram) {
  const std::string command = "sh -c \"echo started; sleep 30\"";
  auto t0 = Clock::now();
  auto stopper = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    conn_.c.stop.store(1);
  });
  EXPECT_EQ(send("exec " + command), ok("started\n"));
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));  // not the 20 s limit
  EXPECT_NE(log().find(" [WARNING] Command stopped with the agent - process group killed : " +
                       command + " \n"),
            std::string::npos)
      << log();
}

// A program that prints without end is killed when the reply is full; the
// reply ends with the cut line after the last whole line that fits.
TEST_F(ExecCommands, OutputBeyondTheFrameLimitIsCutAtALine) {
  std::string lines;
  while (lines.size() + 11 + kCut.size() <= AGENT_BODY_MAX) lines += "0123456789\n";
  auto t0 = Clock::now();
  EXPECT_TRUE(send("exec yes 0123456789") == ok(lines + kCut));
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(15));  // the cut ended it, not the limit
  EXPECT_NE(log().find(" [WARNING] Command output cut at 1048576 bytes - process group killed : "
                       "yes 0123456789 \n"),
            std::string::npos)
      << log();
  // One line longer than the limit leaves only the cut line; output that
  // fits exactly is whole.
  std::string fits(AGENT_BODY_MAX - kCut.size() - 1, 'y');
  testutil::write_file(dir_.file("long"), std::string(AGENT_BODY_MAX, 'x'));
  testutil::write_file(dir_.file("fits"), fits);
  for (const char* cmd : {"exec cat ", "read "}) {
    EXPECT_EQ(send(cmd + dir_.file("long")), ok(kCut)) << cmd;
    EXPECT_EQ(send(cmd + dir_.file("fits")), ok(fits + "\n")) << cmd;
  }
  EXPECT_NE(log().find(" [WARNING] File read cut at 1048576 bytes : " + dir_.file("long") + "\n"),
            std::string::npos)
      << log();
}

TEST_F(ExecCommands, ReadAnswersWithTheLinesOfARegularFileOnly) {
  EXPECT_EQ(send("read"), kSyntaxError);
  EXPECT_EQ(send("read " + dir_.file("missing.txt")), kCannotOpen);
  EXPECT_EQ(send("read "), kCannotOpen);  // an empty path
  testutil::write_file(dir_.file("lines.txt"), "one\r\ntwo\n\nlast");
  EXPECT_EQ(send("read " + dir_.file("lines.txt") + " ignored"), ok("one\ntwo\n\nlast\n"));
  std::filesystem::create_symlink(dir_.file("lines.txt"), dir_.file("link"));
  EXPECT_EQ(send("read " + dir_.file("link")), ok("one\ntwo\n\nlast\n"));
  // What is no regular file is refused without blocking on it.
  std::string fifo = dir_.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir_.path(), fifo, std::string("/dev/zero")}) {
    auto reply = std::async(std::launch::async, [&] { return send("read " + path); });
    if (reply.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
      close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // release a reader stuck on the FIFO
    EXPECT_EQ(reply.get(), kCannotOpen) << path;
  }
}

// cperf runs "typeperf" from the PATH with the request's arguments, and logs
// the command line from level 2 on.
TEST_F(ExecCommands, CperfRunsTypeperfFromThePath) {
  std::string old_path = getenv("PATH") ? getenv("PATH") : "";
  testutil::write_file(dir_.file("typeperf"),
                       "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\n");
  chmod(dir_.file("typeperf").c_str(), 0755);
  setenv("PATH", (dir_.path() + ":" + old_path).c_str(), 1);
  klog_set_level(&log_, 2);
  EXPECT_EQ(send("cperf -sc 1 \"\\Processor(_Total)\\% Processor Time\""),
            ok("[-sc]\n[1]\n[\\Processor(_Total)\\% Processor Time]\n"));
  EXPECT_EQ(send("cperf"), ok());
  klog_set_level(&log_, 1);
  EXPECT_EQ(send("cperf -sc 2"), ok("[-sc]\n[2]\n"));
  EXPECT_EQ(log(),
            "# Command : typeperf -sc 1 \"\\Processor(_Total)\\% Processor Time\" \n"
            "# Command : typeperf \n");
  setenv("PATH", fac().c_str(), 1);  // no typeperf: the tool cannot start
  EXPECT_EQ(send("cperf -sc 1"), kSyntaxError);
  setenv("PATH", old_path.c_str(), 1);
}

class WatchCommands : public Commands {
 protected:
  static std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
  std::vector<std::string> listed(const std::string& cmd) {
    return sorted(testutil::split_lines(send(cmd).second));
  }
  std::vector<std::string> files(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return sorted(names);
  }
};

// Listings name the facilities and the finished result files of their own
// directories only, whatever the case of the extension.
TEST_F(WatchCommands, ListingsNameFacilitiesAndFinishedResultsOfTheirOwnDirectories) {
  for (const char* f : {"a.b.facility", "A.FACILITY", "web.facility", "notes.txt",
                        "lw230101000009.log", "web.facility.bak"})
    testutil::write_file(fac() + "/" + f, "");
  fs::create_directory(fac() + "/sub.facility");
  for (const char* f : {"lw230101000000.log", "LW230101000001.LOG", "lw230101000002.tmp",
                        "other.log", "res.facility"})
    testutil::write_file(res() + "/" + f, "");
  EXPECT_EQ(listed("lwlistf ignored"), (std::vector<std::string>{"A", "a", "web"}));
  EXPECT_EQ(send("lwreadf a"), kCannotOpen);  // a.facility, not a.b.facility
  EXPECT_EQ(listed("lwlistlog"), (std::vector<std::string>{"230101000000", "230101000001"}));
  for (const std::string& bad : {dir_.file("missing"), res() + "/other.log"}) {
    dirs(bad, bad);
    for (const char* cmd : {"lwlistf", "lwlistlog"})
      EXPECT_EQ(send(cmd), (Reply{"400 Failed reading directory", ""})) << cmd << " " << bad;
  }
}

// The argument is the text between the first two blanks: empty after a
// single blank, and ".." names "...facility". A facility is written
// unchanged and read back with CR dropped and every line, the last one
// without LF too, ended by "\n"; a shorter content replaces a longer one.
TEST_F(WatchCommands, FacilityNamedByTheArgumentIsWrittenWholeAndReadBackLineByLine) {
  for (const char* cmd : {"lwreadf", "lwwritef", "lwremovef", "lwgetlog"})
    EXPECT_EQ(send(cmd, "body"), kSyntaxError) << cmd;
  EXPECT_TRUE(fs::is_empty(fac()));
  EXPECT_EQ(send("lwwritef ", "unnamed\n"), ok());
  EXPECT_EQ(send("lwwritef .. further tokens", "dots\n"), ok());
  EXPECT_EQ(testutil::read_file(fac() + "/...facility"), "dots\n");
  EXPECT_EQ(send("lwreadf "), ok("unnamed\n"));
  EXPECT_EQ(send("lwreadf nosuch"), kCannotOpen);
  EXPECT_EQ(send("lwremovef nosuch"), ok());
  const std::string raw = std::string("scan = 1\r\nfilter = x;a\0b\nfile = /l", 34);
  EXPECT_EQ(send("lwwritef web", raw), ok());
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), raw);
  EXPECT_EQ(send("lwreadf web"), ok(std::string("scan = 1\nfilter = x;a\0b\nfile = /l\n", 34)));
  EXPECT_EQ(send("lwwritef web", "x"), ok());
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), "x");
  EXPECT_EQ(send("lwwritef web"), ok());
  EXPECT_EQ(send("lwreadf web"), ok());
  // No temporary file is left.
  EXPECT_EQ(files(fac()), (std::vector<std::string>{"...facility", ".facility", "web.facility"}));
  EXPECT_EQ(send("lwremovef web"), ok());
  EXPECT_FALSE(fs::exists(fac() + "/web.facility"));
  dirs(dir_.file("missing"), res());
  EXPECT_EQ(send("lwwritef web", "scan = 1\n"), kCannotOpen);
  EXPECT_FALSE(fs::exists(dir_.file("missing")));
}

// Only a finished result file is delivered, once: it goes with the reply
// that was sent. While a reply is on its way the file is out of sight of
// listings and other fetches; a reply that is not sent puts it back whole.
// Something that opens but cannot be read is kept.
TEST_F(WatchCommands, ResultFileIsDeliveredOnce) {
  testutil::write_file(res() + "/lw230101000000.log", "[f,e] one\r\n[f,e] two");
  testutil::write_file(res() + "/lw230101000001.tmp", "[f,e] unfinished\n");
  const Reply both = ok("[f,e] one\n[f,e] two\n");
  conn_.sent_rc = KERR_NOTCONN;  // the peer reset the connection
  EXPECT_EQ(send("lwgetlog 230101000000"), both);
  EXPECT_EQ(files(res()), (std::vector<std::string>{"lw230101000000.log", "lw230101000001.tmp"}));
  conn_.sent_rc = 0;
  // Claimed, its reply not yet written.
  Conn first(&log_), second(&log_);
  kstring_assign_cstr(&first.c.request.head, "lwgetlog 230101000000");
  ASSERT_EQ(agent_on_message(&first.c), 0u);
  EXPECT_EQ(second.send("lwgetlog 230101000000"), kCannotOpen);
  EXPECT_EQ(second.send("lwlistlog"), ok());
  smt_client_reply_done(&first.c, 0);
  EXPECT_EQ(Conn::str(&first.c.reply.body), both.second);
  EXPECT_EQ(send("lwgetlog 230101000000"), kCannotOpen);
  EXPECT_EQ(send("lwgetlog 230101000001"), kCannotOpen);
  fs::create_directory(res() + "/lw230101000002.log");
  EXPECT_EQ(send("lwgetlog 230101000002"), kCannotOpen);
  EXPECT_EQ(files(res()), (std::vector<std::string>{"lw230101000001.tmp", "lw230101000002.log"}));
  EXPECT_EQ(log(), "");
}

// At start, what fetches cut short by the end of the process left is put
// back: a claimed file whole (its rest, if any, dropped), a rest whose
// reply went out as the file. A name that is taken keeps the leftover.
TEST_F(WatchCommands, LeftoversOfUnfinishedFetchesArePutBackAtStart) {
  const std::map<std::string, std::string> before = {
      {"lw230101000005.log.7.fetch", "claimed\n"},
      {"lw230101000006.log.8.rest", "rest\n"},
      {"lw230101000007.log.9.fetch", "whole\n"},
      {"lw230101000007.log.9.rest", "part\n"},
      {"lw230101000008.log.3.fetch", "kept\n"},
      {"lw230101000008.log", "newer\n"},
      {"lwx.fetch", "no number\n"},
      {"other.log.1.fetch", "not a result\n"},
  };
  for (auto& [name, text] : before) testutil::write_file(res() + "/" + name, text);
  agent_watch_recover(&g_agent.resultdir, &log_);
  std::map<std::string, std::string> after;
  for (const std::string& name : files(res()))
    after[name] = testutil::read_file(res() + "/" + name);
  EXPECT_EQ(after, (std::map<std::string, std::string>{
                       {"lw230101000005.log", "claimed\n"},
                       {"lw230101000006.log", "rest\n"},
                       {"lw230101000007.log", "whole\n"},
                       {"lw230101000008.log.3.fetch", "kept\n"},
                       {"lw230101000008.log", "newer\n"},
                       {"lwx.fetch", "no number\n"},
                       {"other.log.1.fetch", "not a result\n"},
                   }));
  const std::string text = log();
  for (const char* id : {"05", "06", "07"})
    EXPECT_NE(text.find("result file " + res() + "/lw2301010000" + id +
                        ".log put back after an unfinished fetch\n"),
              std::string::npos)
        << text;
  EXPECT_NE(text.find("[WARNING] cannot move result file " + res() +
                      "/lw230101000008.log.3.fetch to " + res() + "/lw230101000008.log\n"),
            std::string::npos)
      << text;
}

// A listing carries as many identifiers as fit, the oldest first, and
// warns that there are more.
TEST_F(WatchCommands, ListingCarriesTheOldestResultsThatFit) {
  std::vector<std::string> ids;
  for (int i = 29; i >= 0; --i) {
    ids.push_back("2301" + std::to_string(10 + i) + "000000");
    testutil::write_file(res() + "/lw" + ids.back() + ".log", "");
  }
  testutil::write_file(res() + "/lw991231235959.log.4.fetch", "");
  testutil::write_file(res() + "/lw991231235959.log.4.rest", "");
  std::sort(ids.begin(), ids.end());
  std::string all;
  for (const std::string& id : ids) all += id + "\n";
  EXPECT_EQ(send("lwlistlog"), ok(all));  // sorted, even without a cut
  for (uint32_t max : {13u * 10, 13u * 10 + 12, 0u}) {
    smt_message reply;
    smt_message_init(&reply);
    EXPECT_EQ(agent_list_results(&g_agent, &reply, max), 0u);
    EXPECT_EQ(Conn::str(&reply.head), "200 OK");
    EXPECT_EQ(Conn::str(&reply.body), all.substr(0, max / 13 * 13)) << max;
    smt_message_free(&reply);
  }
  const std::string text = log();
  EXPECT_NE(text.find("[WARNING] lwlistlog lists 10 of 30 result files, the oldest; the rest "
                      "follow once these are fetched\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("lwlistlog lists 0 of 30"), std::string::npos) << text;
}

// A result file larger than a reader accepts in one reply goes out over
// several fetches, in replies of whole lines, every line once; a line longer
// than a reply comes in pieces. Should the rest not be written (a full disk,
// here a file size limit), the file stays whole and the reply is empty.
TEST_F(WatchCommands, LargeResultFileGoesOutInRepliesOfWholeLines) {
  const std::string path = res() + "/lw230101000003.log";
  std::string lines;
  while (lines.size() <= 2 * SMT_BODY_MAX) lines += "[f,e] " + std::to_string(lines.size()) + "\n";
  const std::string runaway(SMT_BODY_MAX + 10, 'L');
  testutil::write_file(path, lines + runaway + "\nlast\n");

  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit small = {4096, old_limit.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Reply refused = send("lwgetlog 230101000003");
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(refused, (Reply{"400 Cannot write file", ""}));
  EXPECT_EQ(fs::file_size(path), lines.size() + runaway.size() + 6);
  conn_.sent_rc = KERR_TIMEOUT;  // a reply not sent puts the file back whole
  EXPECT_EQ(send("lwgetlog 230101000003").first, "200 OK");
  conn_.sent_rc = 0;
  EXPECT_EQ(files(res()), std::vector<std::string>{"lw230101000003.log"});
  EXPECT_EQ(fs::file_size(path), lines.size() + runaway.size() + 6);

  std::string got;
  for (int i = 0; i < 10 && fs::exists(path); ++i) {
    Reply r = send("lwgetlog 230101000003");
    ASSERT_EQ(r.first, "200 OK");
    ASSERT_LE(r.second.size(), size_t{SMT_BODY_MAX});
    ASSERT_EQ(r.second.back(), '\n');
    got += r.second;
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(got == lines + runaway.substr(0, SMT_BODY_MAX - 1) + "\n" +
                         runaway.substr(SMT_BODY_MAX - 1) + "\nlast\n");
  EXPECT_EQ(files(res()), std::vector<std::string>{});
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
  auto snapshot = [&] {
    std::map<std::string, std::string> all;
    for (auto& e : fs::recursive_directory_iterator(dir_.path()))
      if (e.is_regular_file() && !e.is_symlink() && e.path().filename() != "agent.log")
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
  // A symbolic link in the facility or result directory is not followed,
  // and a refused result file stays.
  fs::create_symlink(dir_.file("x.facility"), fac() + "/link.facility");
  fs::create_symlink(dir_.file("x.log"), res() + "/lw230101000009.log");
  EXPECT_EQ(send("lwreadf link"), kCannotOpen);
  EXPECT_EQ(send("lwgetlog 230101000009"), kCannotOpen);
  EXPECT_TRUE(fs::is_symlink(res() + "/lw230101000009.log"));
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
  std::atomic<int> bad{0};
  auto reader = [&](bool through_command) {
    Conn conn(&log_);
    while (!done.load()) {
      std::string seen = through_command ? conn.send("lwreadf web").second
                                         : testutil::read_file(fac() + "/web.facility");
      if (seen != small && seen != large) ++bad;
    }
  };
  std::thread r1(reader, true), r2(reader, false);
  std::thread writer([&] {
    Conn conn(&log_);
    for (int i = 0; i < 300; ++i)
      if (conn.send("lwwritef web", i % 2 ? small : large) != ok()) ++bad;
    done = true;
  });
  writer.join();
  r1.join();
  r2.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), small);
  EXPECT_EQ(files(fac()), std::vector<std::string>{"web.facility"});
}

// A write that fails, as on a full disk (here a file size limit), or a
// directory in the facility file's place, leaves the old state.
TEST_F(WatchCommands, FailedReplacementKeepsTheOldFacility) {
  ASSERT_EQ(send("lwwritef web", "scan = 1\n"), ok());
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit small = {4096, old_limit.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Reply r = send("lwwritef web", std::string(8192, '#'));
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  const Reply cannot_write{"400 Cannot write file", ""};
  EXPECT_EQ(r, cannot_write);
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), "scan = 1\n");
  fs::create_directory(fac() + "/dir.facility");
  EXPECT_EQ(send("lwwritef dir", "scan = 1\n"), cannot_write);
  EXPECT_EQ(files(fac()), (std::vector<std::string>{"dir.facility", "web.facility"}));
}

}  // namespace

// The command execution commands: exec, read and cperf through the request
// dispatch in process, and end to end with the real executable. Every test
// checks that no child process (running or zombie) and no descriptor is left
// behind.
#include "agent/agent_exec.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_dispatch.h"
#include "klib/kerror.h"
#include "support/smt_wire.h"
#include "support/testutil.h"

namespace {

using smtwire::frame;
using smtwire::read_reply;
using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

std::string str(const kstring* s) {
  return std::string(kstring_text(s), s->length);
}

// A stand-in for the performance-counter tool: prints each argument in
// brackets, one per line.
void write_typeperf(const std::string& dir) {
  std::string path = dir + "/typeperf";
  testutil::write_file(path, "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\n");
  chmod(path.c_str(), 0755);
}

const std::string kCut = AGENT_CUT_LINE;
const char kWaitForGo[] = "sh -c \"while [ ! -e go ]; do sleep 0.05; done; echo slow\"";

// ---- in process, through the dispatcher ----

class ExecCommands : public ::testing::Test {
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
    smt_client_init(&client_, nullptr, nullptr, agent_on_message, &log_);
    kstring_assign_cstr(&client_.peer_address, "127.0.0.1");
  }
  void TearDown() override {
    smt_client_free(&client_);
    kstrlist_free(&g_agent.address_masks);
    kstrlist_free(&g_agent.disabled_verbs);
    g_agent.log_ref = nullptr;
    klog_free(&log_);
    EXPECT_TRUE(testutil::child_pids(getpid()).empty());
    EXPECT_EQ(testutil::count_fds(), fds_);
  }
  // Dispatches one request as the connection thread does; the reply's status.
  std::string request(const std::string& head) {
    smt_message_clear(&client_.request);
    smt_message_clear(&client_.reply);
    kstring_assign_bytes(&client_.request.head, head.data(), static_cast<uint32_t>(head.size()));
    EXPECT_EQ(agent_on_message(&client_), 0u) << head;
    return str(&client_.reply.head);
  }
  std::string body() { return str(&client_.reply.body); }
  std::string log() { return testutil::read_file(dir_.file("agent.log")); }

  testutil::TempDir dir_;
  klog log_;
  smt_client client_;
  int fds_ = 0;
};

TEST_F(ExecCommands, ExecAnswersWithTheLinesOfBothStreams) {
  EXPECT_EQ(request("exec printf a\\r\\nb"), "200 OK");
  EXPECT_EQ(body(), "a\nb\n");
  EXPECT_EQ(request("exec echo"), "200 OK");
  EXPECT_EQ(body(), "\n");
  EXPECT_EQ(request("exec sh -c \"echo out; echo err >&2; echo out2\""), "200 OK");
  EXPECT_EQ(body(), "out\nerr\nout2\n");
  EXPECT_EQ(request("exec sh -c \"echo hi\""), "200 OK");
  EXPECT_EQ(body(), "hi\n");
  // A failing program is still "200 OK": the exit code is not reported.
  EXPECT_EQ(request("exec sh -c \"echo no; exit 3\""), "200 OK");
  EXPECT_EQ(body(), "no\n");
  // Its input is at end of file: cat ends at once, long before the limit.
  auto t0 = Clock::now();
  EXPECT_EQ(request("exec cat"), "200 OK");
  EXPECT_EQ(body(), "");
  EXPECT_LT(ms_since(t0), 10000);
  EXPECT_EQ(log(), "");
}

TEST_F(ExecCommands, ProgramsThatCannotStartAreSyntaxErrors) {
  testutil::write_file(dir_.file("plain.txt"), "not a program\n");
  for (const std::string& head : {std::string("exec"), std::string("exec "),
                                  std::string("exec  \t "), std::string("exec nosuchprogram-vardo"),
                                  "exec " + dir_.file("plain.txt"), "exec " + dir_.path()}) {
    EXPECT_EQ(request(head), "400 Syntax error") << head;
    EXPECT_EQ(body(), "") << head;
  }
  EXPECT_EQ(log(), "");  // nothing is logged for these
}

TEST_F(ExecCommands, TimeLimitKillsTheGroupKeepsTheOutputAndWarns) {
  g_agent.exec_timeout_s = 1;
  const std::string command = "sh -c \"echo started; sleep 30 & echo $!; printf partial; wait\"";
  auto t0 = Clock::now();
  EXPECT_EQ(request("exec " + command), "200 OK");
  EXPECT_LT(ms_since(t0), 15000);
  std::vector<std::string> lines = testutil::split_lines(body());
  ASSERT_EQ(lines.size(), 3u) << body();
  EXPECT_EQ(lines[0], "started");
  EXPECT_EQ(lines[2], "partial");
  pid_t grandchild = atoi(lines[1].c_str());
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(testutil::wait_until([&] { return testutil::process_gone(grandchild); }, 5000));
  EXPECT_NE(log().find(" [WARNING] Command exceeded smtsvr.exectimeout (1 s) - process group "
                       "killed : " +
                       command + " \n"),
            std::string::npos)
      << log();
}

TEST_F(ExecCommands, StoppingConnectionEndsARunningProgram) {
  const std::string command = "sh -c \"echo started; sleep 30\"";
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    client_.stop.store(1);
  });
  auto t0 = Clock::now();
  EXPECT_EQ(request("exec " + command), "200 OK");
  EXPECT_LT(ms_since(t0), 5000);  // not the 20 s time limit, nor the 30 s sleep
  stopper.join();
  client_.stop.store(0);
  EXPECT_EQ(body(), "started\n");
  EXPECT_NE(log().find(" [WARNING] Command stopped with the agent - process group killed : " +
                       command + " \n"),
            std::string::npos)
      << log();
}

TEST_F(ExecCommands, OutputBeyondTheFrameLimitIsCutAtALine) {
  // A program that prints without end: the reply is cut and the program killed.
  auto t0 = Clock::now();
  EXPECT_EQ(request("exec yes 0123456789"), "200 OK");
  EXPECT_LT(ms_since(t0), 15000);  // far below the 20 s limit: the cut ended it
  std::string text = body();
  ASSERT_LE(text.size(), AGENT_BODY_MAX);
  EXPECT_GT(text.size(), AGENT_BODY_MAX - 11 - kCut.size());
  ASSERT_EQ(text.substr(text.size() - kCut.size()), kCut);
  std::string output = text.substr(0, text.size() - kCut.size());
  EXPECT_EQ(output.size() % 11, 0u);
  EXPECT_EQ(output.find_first_not_of("0123456789\n"), std::string::npos);
  EXPECT_NE(log().find(" [WARNING] Command output cut at 1048576 bytes - process group killed : "
                       "yes 0123456789 \n"),
            std::string::npos)
      << log();

  // One line longer than the limit leaves only the cut line; output that
  // fits exactly is whole.
  testutil::write_file(dir_.file("long"), std::string(AGENT_BODY_MAX, 'x'));
  EXPECT_EQ(request("exec cat " + dir_.file("long")), "200 OK");
  EXPECT_EQ(body(), kCut);
  std::string fits(AGENT_BODY_MAX - kCut.size() - 1, 'y');
  testutil::write_file(dir_.file("fits"), fits);
  EXPECT_EQ(request("exec cat " + dir_.file("fits")), "200 OK");
  EXPECT_EQ(body(), fits + "\n");
  EXPECT_EQ(request("read " + dir_.file("fits")), "200 OK");
  EXPECT_EQ(body(), fits + "\n");
  EXPECT_EQ(request("read " + dir_.file("long")), "200 OK");
  EXPECT_EQ(body(), kCut);
  EXPECT_NE(log().find(" [WARNING] File read cut at 1048576 bytes : " + dir_.file("long") + "\n"),
            std::string::npos)
      << log();
}

TEST_F(ExecCommands, ReadAnswersWithTheLinesOfARegularFile) {
  EXPECT_EQ(request("read"), "400 Syntax error");
  EXPECT_EQ(request("read " + dir_.file("missing.txt")), "400 Cannot open file");
  EXPECT_EQ(request("read "), "400 Cannot open file");  // an empty path
  testutil::write_file(dir_.file("lines.txt"), "one\r\ntwo\n\nlast");
  EXPECT_EQ(request("read " + dir_.file("lines.txt") + " ignored"), "200 OK");
  EXPECT_EQ(body(), "one\ntwo\n\nlast\n");
  testutil::write_file(dir_.file("empty.txt"), "");
  EXPECT_EQ(request("read " + dir_.file("empty.txt")), "200 OK");
  EXPECT_EQ(body(), "");
  std::filesystem::create_symlink(dir_.file("lines.txt"), dir_.file("link"));
  EXPECT_EQ(request("read " + dir_.file("link")), "200 OK");
  EXPECT_EQ(body(), "one\ntwo\n\nlast\n");
}

TEST_F(ExecCommands, ReadRefusesWhatIsNoRegularFileWithoutBlocking) {
  std::string fifo = dir_.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path :
       {dir_.path(), fifo, std::string("/dev/null"), std::string("/dev/zero")}) {
    std::atomic<bool> done{false};
    std::string status;
    std::thread t([&] {
      status = request("read " + path);
      done = true;
    });
    bool answered = testutil::wait_until([&] { return done.load(); }, 5000);
    if (!answered) {
      // Release a reader stuck on the FIFO, so that the test ends.
      int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (w >= 0) close(w);
    }
    t.join();
    EXPECT_TRUE(answered) << path;
    EXPECT_EQ(status, "400 Cannot open file") << path;
    EXPECT_EQ(body(), "") << path;
  }
}

TEST_F(ExecCommands, CperfRunsTypeperfFromThePath) {
  std::string old_path = getenv("PATH") ? getenv("PATH") : "";
  std::filesystem::create_directory(dir_.file("bin"));
  std::filesystem::create_directory(dir_.file("nobin"));
  write_typeperf(dir_.file("bin"));
  setenv("PATH", (dir_.file("bin") + ":" + old_path).c_str(), 1);
  klog_set_level(&log_, 2);
  EXPECT_EQ(request("cperf -sc 1 \"\\Processor(_Total)\\% Processor Time\""), "200 OK");
  EXPECT_EQ(body(), "[-sc]\n[1]\n[\\Processor(_Total)\\% Processor Time]\n");
  EXPECT_EQ(request("cperf"), "200 OK");
  EXPECT_EQ(body(), "");
  EXPECT_EQ(log(),
            "# Command : typeperf -sc 1 \"\\Processor(_Total)\\% Processor Time\" \n"
            "# Command : typeperf \n");
  // Without a typeperf on the path the tool cannot start.
  setenv("PATH", dir_.file("nobin").c_str(), 1);
  EXPECT_EQ(request("cperf -sc 1"), "400 Syntax error");
  EXPECT_EQ(body(), "");
  // The detail line is written from level 2 on only.
  klog_set_level(&log_, 1);
  std::string before = log();
  EXPECT_EQ(before.substr(before.rfind("# Command")), "# Command : typeperf -sc 1 \n");
  request("cperf -sc 2");
  EXPECT_EQ(log(), before);
  setenv("PATH", old_path.c_str(), 1);
}

TEST_F(ExecCommands, DisabledExecStartsNoProcess) {
  kstring_assign_cstr(kstrlist_add(&g_agent.disabled_verbs), "exec");
  EXPECT_EQ(request("exec touch " + dir_.file("touched")), "400 Cannot serve this request");
  EXPECT_FALSE(testutil::file_exists(dir_.file("touched")));
  testutil::write_file(dir_.file("f"), "still served\n");
  EXPECT_EQ(request("read " + dir_.file("f")), "200 OK");
  EXPECT_EQ(body(), "still served\n");
}

// ---- the real executable ----

class ExecRun : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_.file("vardo");
    std::filesystem::copy_file(VARDO_EXE, exe_);
    std::filesystem::create_directory(dir_.file("bin"));
    write_typeperf(dir_.file("bin"));
  }
  void TearDown() override {
    for (int fd : fds_) close(fd);
    if (child_.running()) {
      child_.signal(SIGINT);
      int status = -1;
      // A clean exit also says that no sanitizer found fault in the agent.
      EXPECT_TRUE(child_.wait_exit(10000, &status));
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
  }
  // Starts the agent, with the stand-in typeperf first on its PATH, and
  // learns its port.
  bool start(const std::string& extra) {
    testutil::write_file(dir_.file("vardo.conf"),
                         "vardo.listener = 127.0.0.1:0\nlwatch.enable = 0\n" + extra);
    const char* path = getenv("PATH");
    if (!child_.start({exe_, "-start"}, dir_.path(), dir_.file("console.txt"),
                      {"PATH=" + dir_.file("bin") + ":" + (path ? path : "")},
                      {"NOTIFY_SOCKET", "INVOCATION_ID"}))
      return false;
    return testutil::wait_listener_port(dir_.file("vardo.log"), &port_) &&
           testutil::wait_until([&] { return log().find("SMTSVR up") != std::string::npos; }, 5000);
  }
  int connect() {
    int fd = testutil::tcp_connect(port_);
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }
  // One request on a new connection; the raw reply frame.
  std::string ask(const std::string& head) {
    int fd = connect();
    if (fd < 0 || !testutil::send_all(fd, frame(head))) return "no connection";
    return read_reply(fd, 20000);
  }
  std::string log() { return testutil::read_file(dir_.file("vardo.log")); }

  testutil::TempDir dir_;
  std::string exe_;
  testutil::Child child_;
  uint16_t port_ = 0;
  std::vector<int> fds_;
};

TEST_F(ExecRun, CommandsOverTheWireLeaveNoProcessOrDescriptor) {
  ASSERT_TRUE(start("smtsvr.exectimeout = 1\nservice.loglevel = 2\n")) << log();
  EXPECT_NE(log().find("# smtsvr.exectimeout = 1\n"), std::string::npos) << log();
  pid_t agent = child_.pid();
  // The log file is open only while a line is written: the fewest seen.
  int fds = testutil::count_fds(agent);
  for (int i = 0; i < 5; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    fds = std::min(fds, testutil::count_fds(agent));
  ASSERT_GT(fds, 0);

  int fd = connect();
  ASSERT_GE(fd, 0);
  auto exchange = [&](const std::string& head) {
    return testutil::send_all(fd, frame(head)) ? read_reply(fd, 20000) : "send failed";
  };
  EXPECT_EQ(exchange("exec sh -c \"echo hi; echo err >&2\""), frame("200 OK", "hi\nerr\n"));
  EXPECT_EQ(exchange("exec nosuchprogram-vardo"), frame("400 Syntax error"));
  std::string reply = exchange("exec sh -c \"sleep 30 & echo $!; wait\"");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(reply, m, std::regex("SMTF200006\\d{8}200 OK(\\d+)\n"))) << reply;
  pid_t grandchild = std::stoi(m[1]);
  EXPECT_TRUE(testutil::wait_until([&] { return testutil::process_gone(grandchild); }, 5000));
  EXPECT_TRUE(testutil::wait_until(
      [&] {
        return log().find("[WARNING] Command exceeded smtsvr.exectimeout (1 s)") !=
               std::string::npos;
      },
      5000))
      << log();
  EXPECT_EQ(exchange("cperf -sc 1 \"\\Memory\\Available Bytes\""),
            frame("200 OK", "[-sc]\n[1]\n[\\Memory\\Available Bytes]\n"));
  EXPECT_NE(log().find("\n# Command : typeperf -sc 1 \"\\Memory\\Available Bytes\" \n"),
            std::string::npos)
      << log();
  // A relative path is taken from the agent's current directory.
  testutil::write_file(dir_.file("notes.txt"), "first\r\nlast");
  EXPECT_EQ(exchange("read notes.txt"), frame("200 OK", "first\nlast\n"));

  EXPECT_TRUE(testutil::child_pids(agent).empty());
  close(fd);
  fds_.clear();
  // The connection's own socket goes when the agent sees it closed.
  EXPECT_TRUE(testutil::wait_until([&] { return testutil::count_fds(agent) == fds; }, 5000))
      << testutil::count_fds(agent) << " descriptors, " << fds << " before";
}

TEST_F(ExecRun, ConcurrentExecsRunIndependently) {
  ASSERT_TRUE(start("smtsvr.exectimeout = 30\n")) << log();
  // The slow command waits for a file that is made only after the fast
  // command has been answered on another connection.
  int slow = connect();
  ASSERT_GE(slow, 0);
  ASSERT_TRUE(testutil::send_all(slow, frame(std::string("exec ") + kWaitForGo)));
  ASSERT_TRUE(
      testutil::wait_until([&] { return testutil::child_pids(child_.pid()).size() == 1; }, 5000));
  EXPECT_EQ(ask("exec echo fast"), frame("200 OK", "fast\n"));
  EXPECT_EQ(testutil::recv_upto(slow, 1, 200), "");  // still waiting
  testutil::write_file(dir_.file("go"), "");
  EXPECT_EQ(read_reply(slow, 20000), frame("200 OK", "slow\n"));
  EXPECT_TRUE(testutil::child_pids(child_.pid()).empty());
}

TEST_F(ExecRun, DisabledExecStartsNoProcess) {
  ASSERT_TRUE(start("smtsvr.disableverb = exec\n")) << log();
  EXPECT_EQ(ask("exec touch " + dir_.file("touched")), frame("400 Cannot serve this request"));
  EXPECT_TRUE(testutil::child_pids(child_.pid()).empty());
  EXPECT_FALSE(testutil::file_exists(dir_.file("touched")));
  EXPECT_EQ(ask("cperf"), frame("200 OK"));  // only exec is closed
}

}  // namespace

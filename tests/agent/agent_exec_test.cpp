// The command execution commands exec, read and cperf through the request
// dispatch. No test may leave a child process (running or zombie) or a
// descriptor behind: the fixture counts both before and after.
#include "agent/agent_exec.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "agent_test_util.h"

namespace {

using agenttest::kCannotOpen;
using agenttest::kSyntaxError;
using agenttest::ok;
using Clock = std::chrono::steady_clock;

const std::string kCut = AGENT_CUT_LINE;

class ExecCommands : public agenttest::Commands {};

TEST_F(ExecCommands, ExecAnswersWithTheLinesOfBothStreams) {
  EXPECT_EQ(send("exec printf a\\r\\nb"), ok("a\nb\n"));
  EXPECT_EQ(send("exec echo"), ok("\n"));
  EXPECT_EQ(send("exec sh -c \"echo out; echo err >&2; echo out2\""), ok("out\nerr\nout2\n"));
  EXPECT_EQ(send("exec sh -c \"echo hi\""), ok("hi\n"));
  EXPECT_EQ(send("exec sh -c \"echo no; exit 3\""), ok("no\n"));  // the exit code is not told
  // Its input is at end of file: cat ends at once, long before the limit.
  auto t0 = Clock::now();
  EXPECT_EQ(send("exec cat"), ok());
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
  EXPECT_EQ(log(), "");
}

TEST_F(ExecCommands, ProgramsThatCannotStartAreSyntaxErrors) {
  testutil::write_file(dir_.file("plain.txt"), "not a program\n");
  for (const std::string& head :
       {std::string("exec"), std::string("exec  \t "), std::string("exec nosuchprogram-vardo"),
        "exec " + dir_.file("plain.txt"), "exec " + dir_.path()})
    EXPECT_EQ(send(head), kSyntaxError) << head;
  EXPECT_EQ(log(), "");
}

TEST_F(ExecCommands, StoppingTheConnectionEndsARunningProgram) {
  const std::string command = "sh -c \"echo started; sleep 30\"";
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    conn_.c.stop.store(1);
  });
  auto t0 = Clock::now();
  EXPECT_EQ(send("exec " + command), ok("started\n"));
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));  // not the 20 s limit
  stopper.join();
  EXPECT_NE(log().find(" [WARNING] Command stopped with the agent - process group killed : " +
                       command + " \n"),
            std::string::npos)
      << log();
}

// A program that prints without end is killed when the reply is full; the
// reply ends with the cut line after the last whole line.
TEST_F(ExecCommands, OutputBeyondTheFrameLimitIsCutAtALine) {
  auto t0 = Clock::now();
  agenttest::Reply r = send("exec yes 0123456789");
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(15));
  ASSERT_LE(r.body.size(), AGENT_BODY_MAX);
  EXPECT_GT(r.body.size(), AGENT_BODY_MAX - 11 - kCut.size());
  ASSERT_TRUE(r.body.ends_with(kCut));
  std::string output = r.body.substr(0, r.body.size() - kCut.size());
  EXPECT_EQ(output.size() % 11, 0u);
  EXPECT_EQ(output.find_first_not_of("0123456789\n"), std::string::npos);
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
  testutil::write_file(dir_.file("empty.txt"), "");
  EXPECT_EQ(send("read " + dir_.file("empty.txt")), ok());
  std::filesystem::create_symlink(dir_.file("lines.txt"), dir_.file("link"));
  EXPECT_EQ(send("read " + dir_.file("link")), ok("one\ntwo\n\nlast\n"));
  // What is no regular file is refused without blocking on it.
  std::string fifo = dir_.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir_.path(), fifo, std::string("/dev/zero")}) {
    std::atomic<bool> done{false};
    agenttest::Reply r;
    std::thread t([&] {
      r = send("read " + path);
      done = true;
    });
    if (!testutil::wait_until([&] { return done.load(); }, 5000))
      close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // release a reader stuck on the FIFO
    t.join();
    EXPECT_EQ(r, kCannotOpen) << path;
  }
}

// cperf runs "typeperf" from the PATH with the request's arguments, and logs
// the command line from level 2 on.
TEST_F(ExecCommands, CperfRunsTypeperfFromThePath) {
  std::string old_path = getenv("PATH") ? getenv("PATH") : "";
  std::filesystem::create_directory(dir_.file("bin"));
  testutil::write_file(dir_.file("bin/typeperf"),
                       "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\n");
  chmod(dir_.file("bin/typeperf").c_str(), 0755);
  setenv("PATH", (dir_.file("bin") + ":" + old_path).c_str(), 1);
  klog_set_level(&log_, 2);
  EXPECT_EQ(send("cperf -sc 1 \"\\Processor(_Total)\\% Processor Time\""),
            ok("[-sc]\n[1]\n[\\Processor(_Total)\\% Processor Time]\n"));
  EXPECT_EQ(send("cperf"), ok());
  klog_set_level(&log_, 1);
  EXPECT_EQ(send("cperf -sc 2"), ok("[-sc]\n[2]\n"));
  EXPECT_EQ(log(),
            "# Command : typeperf -sc 1 \"\\Processor(_Total)\\% Processor Time\" \n"
            "# Command : typeperf \n");
  setenv("PATH", dir_.path().c_str(), 1);  // no typeperf: the tool cannot start
  EXPECT_EQ(send("cperf -sc 1"), kSyntaxError);
  setenv("PATH", old_path.c_str(), 1);
}

}  // namespace

// exec, read and cperf in process on POSIX programs (sh, FIFOs, links), and
// the facility replacement and the result fetch that a file size limit cuts
// short.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "commands_fixture.h"

namespace {

using namespace cmdtest;
namespace fs = std::filesystem;

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

}  // namespace

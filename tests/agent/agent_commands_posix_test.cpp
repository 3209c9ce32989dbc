// exec, read and cperf in process on POSIX programs (sh, FIFOs, links), and
// the facility replacement and the result fetch that a full disk cuts short.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "commands_fixture.h"

namespace {

using namespace cmdtest;

const std::string kCut = AGENT_CUT_LINE;
const Reply kCannotWrite{"400 Cannot write file", ""};

class ExecCommands : public Commands {};

// What f returns when run under a file size limit of 4 KiB, as on a full disk.
template <class F>
auto on_full_disk(F f) {
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit small = {4096, old_limit.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  auto result = f();
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  return result;
}

// exec answers with the lines of both streams, whatever the exit code; a
// program that cannot start is a syntax error. None of this is logged.
TEST_F(ExecCommands, ExecAnswersWithTheLinesOfBothStreamsOrASyntaxError) {
  EXPECT_EQ(send("exec printf a\\r\\nb"), ok("a\nb\n"));
  EXPECT_EQ(send("exec echo"), ok("\n"));
  EXPECT_EQ(send("exec sh -c \"echo out; echo err >&2; echo out2; exit 3\""),
            ok("out\nerr\nout2\n"));
  testutil::write_file(dir_.file("plain.txt"), "not a program\n");
  for (const std::string& head :
       {std::string("exec"), std::string("exec  \t "), std::string("exec nosuchprogram-vardo"),
        "exec " + dir_.file("plain.txt"), "exec " + dir_.path()})
    EXPECT_EQ(send(head), kSyntaxError) << head;
  EXPECT_EQ(log(), "");
}

// A program that outlives the time limit, or still runs when its connection
// is stopped, is killed; the reply keeps what it printed, and the log says
// why with the control characters of the request shown as '?'.
TEST_F(ExecCommands, ProgramsEndedByTheTimeLimitOrTheStopAreLogged) {
  const std::string command = "exec sh -c \"echo started;\tsleep 30\"";
  g_agent.exec_timeout_s = 1;
  EXPECT_EQ(send(command), ok("started\n"));
  g_agent.exec_timeout_s = 20;
  auto stopper = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    conn_.c.stop.store(1);
  });
  EXPECT_EQ(send(command), ok("started\n"));
  for (std::string why : {"exceeded smtsvr.exectimeout (1 s)", "stopped with the agent"})
    EXPECT_NE(log().find(" [WARNING] Command " + why +
                         " - process group killed : sh -c \"echo started;?sleep 30\" \n"),
              std::string::npos)
        << log();
}

// A program that prints without end is killed when the reply is full; the
// reply ends with the cut line after the last whole line that fits. One line
// longer than the limit leaves only the cut line; output that fits exactly
// is whole.
TEST_F(ExecCommands, OutputBeyondTheFrameLimitIsCutAtALine) {
  std::string lines;
  while (lines.size() + 11 + kCut.size() <= AGENT_BODY_MAX) lines += "0123456789\n";
  EXPECT_TRUE(send("exec yes 0123456789") == ok(lines + kCut));
  std::string fits(AGENT_BODY_MAX - kCut.size() - 1, 'y');
  testutil::write_file(dir_.file("long"), std::string(AGENT_BODY_MAX, 'x'));
  testutil::write_file(dir_.file("fits"), fits);
  for (const char* cmd : {"exec cat ", "read "}) {
    EXPECT_EQ(send(cmd + dir_.file("long")), ok(kCut)) << cmd;
    EXPECT_EQ(send(cmd + dir_.file("fits")), ok(fits + "\n")) << cmd;
  }
  for (const std::string& line :
       Names{" [WARNING] Command output cut at 1048576 bytes - process group killed "
             ": yes 0123456789 \n",
             " [WARNING] File read cut at 1048576 bytes : " + dir_.file("long")})
    EXPECT_NE(log().find(line), std::string::npos) << log();
}

TEST_F(ExecCommands, ReadAnswersWithTheLinesOfARegularFileOnly) {
  EXPECT_EQ(send("read"), kSyntaxError);
  EXPECT_EQ(send("read " + dir_.file("missing.txt")), kCannotOpen);
  EXPECT_EQ(send("read "), kCannotOpen);  // an empty path
  testutil::write_file(dir_.file("lines.txt"), "one\r\ntwo\n\nlast");
  EXPECT_EQ(send("read " + dir_.file("lines.txt") + " ignored"), ok("one\ntwo\n\nlast\n"));
  fs::create_symlink(dir_.file("lines.txt"), dir_.file("link"));
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
  EXPECT_EQ(send("cperf -sc 2"), ok("[-sc]\n[2]\n"));
  klog_set_level(&log_, 2);
  EXPECT_EQ(send("cperf -sc 1 \"\\Processor(_Total)\\% Processor Time\""),
            ok("[-sc]\n[1]\n[\\Processor(_Total)\\% Processor Time]\n"));
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_EQ(log(), "# Command : typeperf -sc 1 \"\\Processor(_Total)\\% Processor Time\" \n");
}

// A result file larger than one reply goes out over several fetches in
// replies of whole lines, every line once; a line longer than a reply comes
// in pieces. A write that fails (a full disk, a directory in the way) keeps
// the old facility; a rest that cannot be written, or a reply not sent,
// leaves the result file whole.
TEST_F(WatchCommands, LargeResultFileGoesOutInWholeLinesAndFailedWritesKeepTheOldState) {
  ASSERT_EQ(send("lwwritef web", "scan = 1\n"), ok());
  EXPECT_EQ(on_full_disk([&] { return send("lwwritef web", std::string(8192, '#')); }),
            kCannotWrite);
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), "scan = 1\n");
  fs::create_directory(fac() + "/dir.facility");
  EXPECT_EQ(send("lwwritef dir", "scan = 1\n"), kCannotWrite);
  EXPECT_EQ(files(fac()), (Names{"dir.facility", "web.facility"}));
  const std::string path = res() + "/lw230101000003.log";
  std::string lines;
  while (lines.size() <= 2 * SMT_BODY_MAX) lines += "[f,e] " + std::to_string(lines.size()) + "\n";
  const std::string runaway(SMT_BODY_MAX + 10, 'L');
  testutil::write_file(path, lines + runaway + "\nlast\n");
  const size_t size = lines.size() + runaway.size() + 6;
  EXPECT_EQ(on_full_disk([&] { return send("lwgetlog 230101000003"); }), kCannotWrite);
  EXPECT_EQ(fs::file_size(path), size);
  conn_.sent_rc = KERR_TIMEOUT;
  EXPECT_EQ(send("lwgetlog 230101000003").first, "200 OK");
  conn_.sent_rc = 0;
  EXPECT_EQ(files(res()), Names{"lw230101000003.log"});
  EXPECT_EQ(fs::file_size(path), size);
  std::string got;
  for (int i = 0; i < 10 && fs::exists(path); ++i) {
    Reply r = send("lwgetlog 230101000003");
    ASSERT_EQ(r.first, "200 OK");
    ASSERT_LE(r.second.size(), size_t{SMT_BODY_MAX});
    ASSERT_EQ(r.second.back(), '\n');
    got += r.second;
  }
  EXPECT_TRUE(got == lines + runaway.substr(0, SMT_BODY_MAX - 1) + "\n" +
                         runaway.substr(SMT_BODY_MAX - 1) + "\nlast\n");
  EXPECT_EQ(files(res()), Names{});
}

}  // namespace

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

// exec (both streams), read (CR dropped) and cperf ("typeperf" from the PATH) answer
// with lines; what cannot run is a syntax error, no regular file blocks a read.
TEST_F(ExecCommands, VerbsAnswerWithTheLinesOfTheirProgramOrFile) {
  const std::string d = dir_.path() + "/", old_path = getenv("PATH") ? getenv("PATH") : "";
  testutil::write_file(d + "lines.txt", "one\r\ntwo\n\nlast");
  testutil::write_file(d + "typeperf", "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\n");
  chmod((d + "typeperf").c_str(), 0755);
  const std::pair<std::string, Reply> cases[] = {
      {"exec printf a\\r\\nb", ok("a\nb\n")},
      {"exec sh -c \"echo out; echo err >&2; echo out2; exit 3\"", ok("out\nerr\nout2\n")},
      {"read ", kCannotOpen},
      {"read " + d + "missing.txt", kCannotOpen},
      {"read " + d + "lines.txt ignored", ok("one\ntwo\n\nlast\n")},
      {"cperf -sc 2", ok("[-sc]\n[2]\n")}};
  setenv("PATH", (d + ":" + old_path).c_str(), 1);
  for (const auto& [head, reply] : cases) EXPECT_EQ(send(head), reply) << head;
  for (std::string head : {"exec", "exec  \t ", "exec nosuchprogram-vardo", "read"})
    EXPECT_EQ(send(head), kSyntaxError) << head;
  setenv("PATH", old_path.c_str(), 1);
  const std::string fifo = d + "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {d, fifo, std::string("/dev/zero")}) {
    auto reply = std::async(std::launch::async, [&] { return send("read " + path); });
    if (reply.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
      close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // release a reader stuck on the FIFO
    EXPECT_EQ(reply.get(), kCannotOpen) << path;
  }
  EXPECT_EQ(log(), "");
}

// A program past the time limit or the stop is killed, its output kept; the log
// says why, control characters of the request shown as '?'.
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

// Output beyond the reply's room is cut after the last whole line that fits (a
// runaway program killed); output that fits exactly is whole.
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
  EXPECT_NE(log().find(" [WARNING] Command output cut at 1048576 bytes - process group killed "
                       ": yes 0123456789 \n"),
            std::string::npos)
      << log();
}

// A full disk keeps the old facility and the whole result file; a large result
// file goes out in whole lines over several fetches (an overlong line in pieces).
TEST_F(WatchCommands, LargeResultFileGoesOutInWholeLinesAndFailedWritesKeepTheOldState) {
  ASSERT_EQ(send("lwwritef web", "scan = 1\n"), ok());
  EXPECT_EQ(on_full_disk([&] { return send("lwwritef web", std::string(8192, '#')); }),
            kCannotWrite);
  EXPECT_EQ(files(fac()), Names{"web.facility"});
  EXPECT_EQ(testutil::read_file(fac() + "/web.facility"), "scan = 1\n");
  const std::string path = res() + "/lw230101000003.log", runaway(SMT_BODY_MAX + 10, 'L');
  std::string lines, got;
  while (lines.size() <= 2 * SMT_BODY_MAX) lines += "[f,e] " + std::to_string(lines.size()) + "\n";
  testutil::write_file(path, lines + runaway + "\nlast\n");
  const size_t size = lines.size() + runaway.size() + 6;
  EXPECT_EQ(on_full_disk([&] { return send("lwgetlog 230101000003"); }), kCannotWrite);
  EXPECT_EQ(files(res()), Names{"lw230101000003.log"});
  EXPECT_EQ(fs::file_size(path), size);
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

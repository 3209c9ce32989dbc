// kproc on Windows: CreateProcess with the command line as it is, output and
// error on one pipe, input at end of file, and a job object that the time
// limit and the finish terminate with every process the child started.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "klib/kproc.h"
#include "klib/kthread.h"
#include "support/testutil.h"

namespace {

using Lines = std::vector<std::string>;

struct Outcome {
  Lines lines;
  uint32_t timed_out = 0;
  uint64_t ms = 0;
};

Outcome run(const std::string& command, uint32_t limit_ms = 20000) {
  kproc p;
  kproc_init(&p, command.c_str());
  kproc_set_time_limit(&p, limit_ms);
  Outcome r;
  uint64_t start = ktick_ms();
  EXPECT_EQ(kproc_run(&p), 1) << command;
  kstring line;
  kstring_init(&line);
  while (kproc_read_line(&p, &line)) r.lines.emplace_back(kstring_text(&line), line.length);
  r.timed_out = kproc_timed_out(&p);
  EXPECT_EQ(kproc_finish(&p), 1);
  EXPECT_EQ(kproc_get_pid(&p), 0u);
  r.ms = ktick_ms() - start;
  kstring_free(&line);
  kproc_free(&p);
  return r;
}

bool alive(DWORD pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return false;
  bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return running;
}

TEST(KProcWin32, OutputAndErrorComeAsLinesAndInputIsAtItsEnd) {
  EXPECT_EQ(run("cmd /c echo hi").lines, Lines{"hi"});
  EXPECT_EQ(run("cmd /c \"echo out& echo err 1>&2& echo.\"").lines, (Lines{"out", "err ", ""}));
  // A program that reads its input meets the end at once.
  Outcome found = run("find \"x\"", 10000);
  EXPECT_EQ(found.lines, Lines{});
  EXPECT_EQ(found.timed_out, 0u);

  kproc p;
  kproc_init(&p, "no-such-program-here.exe");
  EXPECT_EQ(kproc_run(&p), 0);
  kproc_free(&p);
  kproc_init(&p, "");
  EXPECT_EQ(kproc_run(&p), 0);
  kproc_free(&p);
}

TEST(KProcWin32, TheTimeLimitEndsTheChildAndWhatItStarted) {
  testutil::TempDir dir;
  // The child starts a grandchild that would outlive it and tells its id.
  std::string script = dir.file("tree.cmd");
  testutil::write_file(script,
                       "@echo off\r\n"
                       "start /b cmd /c \"ping -n 30 127.0.0.1 >nul\"\r\n"
                       "echo started\r\n"
                       "ping -n 30 127.0.0.1 >nul\r\n");
  kproc p;
  kproc_init(&p, ("cmd /c " + script).c_str());
  kproc_set_time_limit(&p, 1500);
  ASSERT_EQ(kproc_run(&p), 1);
  DWORD child = kproc_get_pid(&p);
  kstring line;
  kstring_init(&line);
  uint64_t start = ktick_ms();
  Lines lines;
  while (kproc_read_line(&p, &line)) lines.emplace_back(kstring_text(&line));
  EXPECT_EQ(kproc_timed_out(&p), 1u);
  EXPECT_GE(ktick_ms() - start, 1000u);
  EXPECT_EQ(lines, Lines{"started"});
  EXPECT_TRUE(alive(child));
  kproc_finish(&p);
  EXPECT_TRUE(testutil::wait_until([&] { return !alive(child); }, 5000));
  kstring_free(&line);
  kproc_free(&p);
}

TEST(KProcWin32, ARaisedCancelFlagEndsTheReading) {
  std::atomic<uint32_t> cancel{0};
  kproc p;
  kproc_init(&p, "ping -n 30 127.0.0.1");
  kproc_set_cancel(&p, &cancel);
  ASSERT_EQ(kproc_run(&p), 1);
  EXPECT_EQ(kproc_is_running(&p), 1);
  cancel.store(1);
  kstring line;
  kstring_init(&line);
  while (kproc_read_line(&p, &line)) {
  }
  EXPECT_EQ(kproc_cancelled(&p), 1u);
  kproc_finish(&p);
  EXPECT_EQ(kproc_is_running(&p), 0);
  kstring_free(&line);
  kproc_free(&p);
}

}  // namespace

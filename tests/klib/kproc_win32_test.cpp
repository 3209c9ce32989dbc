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

// Reads p to its end; finish and free are the caller's.
Lines read_all(kproc* p) {
  Lines lines;
  kstring line;
  kstring_init(&line);
  while (kproc_read_line(p, &line)) lines.emplace_back(kstring_text(&line), line.length);
  kstring_free(&line);
  return lines;
}

bool alive(DWORD pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  bool running = h && WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  if (h) CloseHandle(h);
  return running;
}

TEST(KProcWin32, OutputAndErrorShareThePipeAndInputIsAtItsEnd) {
  // find reads its input and meets the end at once.
  for (auto [command, lines] :
       {std::pair<const char*, Lines>{"find \"x\"", {}},
        {"cmd /c \"echo out& echo err 1>&2& echo.\"", {"out", "err ", ""}}}) {
    kproc p;
    kproc_init(&p, command);
    kproc_set_time_limit(&p, 10000);
    ASSERT_EQ(kproc_run(&p), 1) << command;
    EXPECT_EQ(read_all(&p), lines) << command;
    EXPECT_EQ(kproc_timed_out(&p), 0u);
    EXPECT_EQ(kproc_finish(&p), 1);
    EXPECT_EQ(kproc_get_pid(&p), 0u);
    kproc_free(&p);
  }
  for (const char* command : {"no-such-program-here.exe", ""}) {
    kproc p;
    kproc_init(&p, command);
    EXPECT_EQ(kproc_run(&p), 0) << command;
    kproc_free(&p);
  }
}

// The time limit ends the reading, the finish ends the child and the
// grandchild it started; a raised cancel flag ends the reading too.
TEST(KProcWin32, TimeLimitAndCancelEndTheReadingAndFinishEndsTheTree) {
  testutil::TempDir dir;
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
  uint64_t start = ktick_ms();
  EXPECT_EQ(read_all(&p), Lines{"started"});
  EXPECT_EQ(kproc_timed_out(&p), 1u);
  EXPECT_GE(ktick_ms() - start, 1000u);
  EXPECT_TRUE(alive(child));
  kproc_finish(&p);
  EXPECT_TRUE(testutil::wait_until([&] { return !alive(child); }, 5000));
  kproc_free(&p);

  std::atomic<uint32_t> cancel{0};
  kproc_init(&p, "ping -n 30 127.0.0.1");
  kproc_set_cancel(&p, &cancel);
  ASSERT_EQ(kproc_run(&p), 1);
  EXPECT_EQ(kproc_is_running(&p), 1);
  cancel.store(1);
  read_all(&p);
  EXPECT_EQ(kproc_cancelled(&p), 1u);
  kproc_finish(&p);
  EXPECT_EQ(kproc_is_running(&p), 0);
  kproc_free(&p);
}

}  // namespace

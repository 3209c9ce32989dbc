// What needs the platform's own processes and paths: kproc's job objects, and
// kfile's drive and share roots, text mode and sharing with other writers.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "klib/kfile.h"
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
  return kstring_free(&line), lines;
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

// The time limit or a raised cancel flag ends the reading; the finish ends the
// child and the grandchild it started.
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

// Drives and shares are roots; others may rename and delete a file the agent
// holds open; the scanner's open reads bytes as they are.
TEST(KFileWin32, DriveAndShareRootsSharingAndRawReads) {
  kstring p, out;
  kstring_init(&p), kstring_init(&out);
  for (auto [path, root, dir] : std::vector<std::tuple<const char*, uint32_t, const char*>>{
           {"C:\\vardo\\vardo.exe", 3, "C:/vardo/"},
           {"C:x.log", 2, "C:"},
           {"\\\\host\\share\\logs\\a.log", 13, "//host/share/logs/"},
           {"\\logs\\a.log", 1, "/logs/"}}) {
    kstring_assign_cstr(&p, path), kstring_path_dir(&p, &out);
    EXPECT_EQ(kstring_path_root(path), root) << path;
    EXPECT_STREQ(kstring_text(&out), dir) << path;
  }
  testutil::TempDir dir;
  kfile f;
  kfile_init(&f);
  kfile_set_name_cstr(&f, dir.file("t.log").c_str());
  testutil::write_file(dir.file("t.log"), "one\ntwo\n");
  ASSERT_EQ(kfile_open(&f, "rt"), 0u);
  EXPECT_TRUE(kfile_read_line(&f, &out) == 0 && !strcmp(kstring_text(&out), "one"));
  std::string moved = dir.file("t.old");
  EXPECT_TRUE(MoveFileA(dir.file("t.log").c_str(), moved.c_str()));
  EXPECT_TRUE(kfile_read_line(&f, &out) == 0 && !strcmp(kstring_text(&out), "two"));
  EXPECT_TRUE(DeleteFileA(moved.c_str()));
  kfile_close(&f);
  EXPECT_FALSE(testutil::file_exists(moved));

  testutil::write_file(dir.file("t.log"), "a\r\nb\r\n");
  ASSERT_EQ(kfile_open_regular(&f), 0u);
  char buf[16];
  uint64_t size = 0;
  EXPECT_EQ(kfile_read(&f, buf, sizeof buf), 6u);
  EXPECT_EQ(kfile_size(&f, &size), 0u);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(kfile_real_path(&f, &out), 0u);
  EXPECT_NE(std::string(kstring_text(&out)).find("/t.log"), std::string::npos);
  kfile_close(&f);
  kstring_free(&out), kstring_free(&p), kfile_free(&f);
}

}  // namespace

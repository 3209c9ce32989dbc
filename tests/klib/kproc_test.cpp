#include "klib/kproc.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "klib/kthread.h"
#include "support/testutil.h"

namespace {

using Lines = std::vector<std::string>;

int count_fds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// Children of every thread of this process, zombies included.
std::string children() {
  std::string all;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    all += testutil::read_file(task.path().string() + "/children");
  return all;
}

bool has_zombie_child() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// Gone or dead: a killed orphan may wait as a zombie for its new parent.
bool process_gone(pid_t pid) {
  std::string stat = testutil::read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
}

// Runs command to its end (or its time limit) and collects its lines.
Lines run_lines(const char* command, uint32_t limit_ms = 20000, uint32_t* timed_out = nullptr) {
  kproc p;
  kproc_init(&p, command);
  kproc_set_time_limit(&p, limit_ms);
  Lines lines;
  EXPECT_EQ(kproc_run(&p), 1) << command;
  kstring line;
  kstring_init(&line);
  while (kproc_read_line(&p, &line)) lines.emplace_back(kstring_text(&line), line.length);
  if (timed_out)
    *timed_out = kproc_timed_out(&p);
  else
    EXPECT_EQ(kproc_timed_out(&p), 0u) << command;
  EXPECT_EQ(kproc_read_line(&p, &line), 0);
  EXPECT_EQ(kproc_finish(&p), 1);
  EXPECT_EQ(kproc_get_pid(&p), 0u);
  kstring_free(&line);
  kproc_free(&p);
  return lines;
}

// Every test must leave no child (running or zombie) and no descriptor.
class KProc : public ::testing::Test {
 protected:
  void SetUp() override {
    fds_ = count_fds();
    children_ = children();
    ASSERT_FALSE(has_zombie_child());
  }
  void TearDown() override {
    EXPECT_EQ(count_fds(), fds_);
    EXPECT_EQ(children(), children_);
    EXPECT_FALSE(has_zombie_child());
  }

 private:
  int fds_ = 0;
  std::string children_;
};

TEST_F(KProc, CutsLinesAtLfDropsEveryCrAndDeliversTheLastLine) {
  EXPECT_EQ(run_lines("printf a\\r\\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(run_lines("printf \\r\\nx\\ry\\r\\r\\n\\n"), (Lines{"", "xy", ""}));
  EXPECT_EQ(run_lines("echo"), (Lines{""}));
  EXPECT_EQ(run_lines("true"), Lines{});
}

TEST_F(KProc, LinesComeOutWholeAcrossReadBlocks) {
  // 3000 CR LF lines and one 18000-byte line span many pipe reads.
  Lines lines = run_lines(
      "sh -c \"yes ab | head -n 3000 | sed 's/$/\\r/'; "
      "yes abcdefghi | head -n 2000 | tr -d '\\n'; echo; echo end\"");
  ASSERT_EQ(lines.size(), 3002u);
  for (size_t i = 0; i < 3000; ++i) ASSERT_EQ(lines[i], "ab") << i;
  EXPECT_EQ(lines[3000].size(), 18000u);
  EXPECT_EQ(lines[3000].find_first_not_of("abcdefghi"), std::string::npos);
  EXPECT_EQ(lines[3001], "end");
}

TEST_F(KProc, BoundedLinesComeOutInPieces) {
  kproc p;
  kproc_init(&p, "printf abcdefg\\nh\\r\\r\\ri\\nxyz\\n");
  ASSERT_EQ(kproc_run(&p), 1);
  kstring line;
  kstring_init(&line);
  Lines lines;
  while (kproc_read_line_max(&p, &line, 3)) lines.emplace_back(kstring_text(&line), line.length);
  // A piece of exactly the bound leaves its LF to the next call; dropped CRs
  // do not count.
  EXPECT_EQ(lines, (Lines{"abc", "def", "g", "hi", "xyz", ""}));
  kstring_free(&line);
  kproc_free(&p);
}

TEST_F(KProc, StandardErrorSharesTheOutputPipe) {
  EXPECT_EQ(run_lines("sh -c \"echo out; echo err >&2; echo out2\""),
            (Lines{"out", "err", "out2"}));
}

TEST_F(KProc, SplitsAtBlanksAndTabsWithDoubleQuotesGrouping) {
  EXPECT_EQ(run_lines("sh -c \"echo hi\""), (Lines{"hi"}));
  EXPECT_EQ(run_lines("\t printf  \"%s|\"\t one  two \t"), (Lines{"one|two|"}));
  EXPECT_EQ(run_lines("printf %s| a\"b  c\"d \"\" \"x\ty\" \"open end"),
            (Lines{"ab  cd||x\ty|open end|"}));
}

TEST_F(KProc, CommandsThatCannotStartFail) {
  testutil::TempDir dir;
  testutil::write_file(dir.file("plain"), "echo not executable\n");
  const std::string plain = dir.file("plain");
  for (const char* command : {"", " \t ", "vardo-no-such-program", "\"\" x", plain.c_str(), "/"}) {
    kproc p;
    kproc_init(&p, command);
    EXPECT_EQ(kproc_run(&p), 0) << command;
    EXPECT_EQ(kproc_get_pid(&p), 0u);
    kstring line;
    kstring_init(&line);
    EXPECT_EQ(kproc_read_line(&p, &line), 0);
    kstring_free(&line);
    EXPECT_EQ(kproc_start(&p), 0) << command;
    kproc_free(&p);
  }
}

TEST_F(KProc, StandardInputIsAtEndOfFile) {
  uint64_t t0 = ktick_ms();
  EXPECT_EQ(run_lines("cat"), Lines{});
  EXPECT_EQ(run_lines("sh -c \"read x || echo eof\""), (Lines{"eof"}));
  EXPECT_LT(ktick_ms() - t0, 10000u);
}

TEST_F(KProc, ChildGetsNoOtherDescriptor) {
  // A descriptor without close-on-exec, and another record's pipe, both open.
  int stray = open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 0);
  kproc other;
  kproc_init(&other, "sleep 30");
  ASSERT_EQ(kproc_run(&other), 1);
  // ls sees its own three standard descriptors and the directory it reads.
  EXPECT_EQ(run_lines("ls /proc/self/fd"), (Lines{"0", "1", "2", "3"}));
  kproc_free(&other);
  close(stray);
}

TEST_F(KProc, ChildStartsWithDefaultSignalHandling) {
  // The agent ignores SIGPIPE and its signal thread blocks SIGTERM; neither
  // may reach the child: yes must die quietly, the shell of its own SIGTERM.
  struct sigaction ignore {};
  struct sigaction old_action {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_action);
  sigset_t term;
  sigset_t old_mask;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &old_mask);
  Lines piped = run_lines("sh -c \"yes | head -n 2\"");
  Lines killed = run_lines("sh -c \"kill -TERM $$; echo survived\"");
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &old_action, nullptr);
  EXPECT_EQ(piped, (Lines{"y", "y"}));
  EXPECT_EQ(killed, Lines{});
}

TEST_F(KProc, TimeLimitKillsTheWholeGroupAndKeepsWhatWasPrinted) {
  uint64_t t0 = ktick_ms();
  uint32_t timed_out = 0;
  // The grandchild keeps the pipe open; the partial last line is delivered.
  Lines lines = run_lines("sh -c \"sleep 30 & echo $!; printf partial; wait\"", 500, &timed_out);
  EXPECT_EQ(timed_out, 1u);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "partial");
  pid_t grandchild = atoi(lines[0].c_str());
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(testutil::wait_until([&] { return process_gone(grandchild); }, 5000));
  EXPECT_LT(ktick_ms() - t0, 10000u);
}

TEST_F(KProc, FinishKillsWhatTheExitedLeaderLeftInItsGroup) {
  // The output ends with the leader; its grandchild has let the pipe go.
  Lines lines = run_lines("sh -c \"sleep 30 >/dev/null 2>&1 & echo $!\"");
  ASSERT_EQ(lines.size(), 1u);
  pid_t grandchild = atoi(lines[0].c_str());
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(testutil::wait_until([&] { return process_gone(grandchild); }, 5000));
}

TEST_F(KProc, TimeLimitStopsAFlood) {
  uint32_t timed_out = 0;
  uint64_t t0 = ktick_ms();
  Lines lines = run_lines("yes", 300, &timed_out);
  EXPECT_EQ(timed_out, 1u);
  EXPECT_GT(lines.size(), 0u);
  EXPECT_LT(ktick_ms() - t0, 10000u);
}

TEST_F(KProc, ClosedOutputEndsTheReadAndFinishEndsTheChild) {
  kproc p;
  kproc_init(&p, "sh -c \"exec >&- 2>&-; sleep 30\"");
  ASSERT_EQ(kproc_run(&p), 1);
  kstring line;
  kstring_init(&line);
  EXPECT_EQ(kproc_read_line(&p, &line), 0);
  EXPECT_EQ(kproc_timed_out(&p), 0u);
  EXPECT_EQ(kproc_is_running(&p), 1);
  uint64_t t0 = ktick_ms();
  EXPECT_EQ(kproc_finish(&p), 1);
  EXPECT_LT(ktick_ms() - t0, 5000u);
  EXPECT_EQ(kproc_is_running(&p), 0);
  kstring_free(&line);
  kproc_free(&p);
}

TEST_F(KProc, IsRunningReleasesAnEndedChildAndItsGroupOnce) {
  // The leader exits at once and leaves a grandchild in its group.
  testutil::TempDir dir;
  std::string command = "sh -c \"sleep 30 & echo $! >" + dir.file("pid") + "\"";
  kproc p;
  kproc_init(&p, command.c_str());
  ASSERT_EQ(kproc_start(&p), 1);
  EXPECT_NE(kproc_get_pid(&p), 0u);
  EXPECT_TRUE(testutil::wait_until([&] { return kproc_is_running(&p) == 0; }, 5000));
  EXPECT_EQ(kproc_get_pid(&p), 0u);
  EXPECT_EQ(kproc_is_running(&p), 0);
  pid_t grandchild = atoi(testutil::read_file(dir.file("pid")).c_str());
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(testutil::wait_until([&] { return process_gone(grandchild); }, 5000));
  kproc_free(&p);
}

TEST_F(KProc, KillAndFreeEndARunningChild) {
  kproc p;
  kproc_init(&p, "sleep 30");
  ASSERT_EQ(kproc_start(&p), 1);
  EXPECT_EQ(kproc_is_running(&p), 1);
  EXPECT_EQ(kproc_kill(&p), 1);
  EXPECT_EQ(kproc_get_pid(&p), 0u);
  EXPECT_EQ(kproc_is_running(&p), 0);
  ASSERT_EQ(kproc_run(&p), 1);
  kstring copy;
  kstring_init(&copy);
  EXPECT_EQ(kproc_get_command(&p, &copy), 1u);
  EXPECT_STREQ(kstring_text(&copy), "sleep 30");
  kstring_free(&copy);
  kproc_free(&p);  // the fixture checks that nothing is left
}

TEST_F(KProc, ConcurrentRunsStayIndependent) {
  // One thread keeps starting children that outlive the other thread's runs;
  // none of them may hold the other thread's pipe open.
  std::atomic<bool> done{false};
  std::thread sleepers([&] {
    kproc p[8];
    for (kproc& s : p) {
      kproc_init(&s, "sleep 30");
      EXPECT_EQ(kproc_run(&s), 1);
      ksleep(20);
    }
    while (!done.load()) ksleep(5);
    for (kproc& s : p) kproc_free(&s);
  });
  for (int i = 0; i < 30; ++i) {
    uint32_t timed_out = 0;
    EXPECT_EQ(run_lines("echo b", 5000, &timed_out), (Lines{"b"}));
    ASSERT_EQ(timed_out, 0u) << "run " << i << " waited for another run's child";
  }
  done = true;
  sleepers.join();
}

}  // namespace

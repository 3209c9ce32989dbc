// What needs the platform's own processes, links and paths: kproc's process
// groups, descriptors and signals, and kfile's symbolic links and "/" roots.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "klib/kfile.h"
#include "klib/kproc.h"
#include "klib/kthread.h"
#include "support/testutil.h"

namespace {

using Lines = std::vector<std::string>;

// This run's own form of a command or marker: '@' becomes the test's pid, so
// that processes counted by argument cannot be another run's.
std::string own(const char* text) {
  std::string s = text;
  for (size_t at; (at = s.find('@')) != std::string::npos;)
    s.replace(at, 1, std::to_string(getpid()));
  return s;
}

// A sweep may leave a process still dying, or miss it for a later sweep: wait a while.
bool none_left(const char* marker) {
  return testutil::wait_until([m = own(marker)] { return testutil::processes_with_arg(m) == 0; },
                              5000);
}

// Runs own(command) to its end (or its time limit); its lines of at most max bytes.
Lines run_lines(const char* command, uint32_t limit_ms = 20000, uint32_t* timed_out = nullptr,
                uint32_t max = UINT32_MAX) {
  kproc p;
  kproc_init(&p, own(command).c_str());
  kproc_set_time_limit(&p, limit_ms);
  Lines lines;
  EXPECT_EQ(kproc_run(&p), 1) << command;
  kstring line;
  kstring_init(&line);
  while (kproc_read_line_max(&p, &line, max)) lines.emplace_back(kstring_text(&line), line.length);
  EXPECT_TRUE(timed_out || !kproc_timed_out(&p)) << command;
  if (timed_out) *timed_out = kproc_timed_out(&p);
  EXPECT_EQ(kproc_read_line(&p, &line), 0);
  EXPECT_EQ(kproc_finish(&p), 1);
  EXPECT_EQ(kproc_get_pid(&p), 0u);
  kstring_free(&line), kproc_free(&p);
  return lines;
}

// Every test must leave no child (running or zombie) and no descriptor.
class KProc : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(testutil::count_fds(), fds_);
    EXPECT_EQ(testutil::child_pids(getpid()), children_);
  }
  int fds_ = testutil::count_fds();
  std::vector<pid_t> children_ = testutil::child_pids(getpid());
};

TEST_F(KProc, SplitsTheCommandLineAndCutsTheOutputIntoWholeLines) {
  // Lines end at LF, every CR is dropped, and a last line without LF comes too.
  EXPECT_EQ(run_lines("printf \\r\\nx\\ry\\r\\r\\n\\n"), (Lines{"", "xy", ""}));
  // Standard error shares the pipe; standard input is at its end from the start.
  EXPECT_EQ(run_lines("sh -c \"echo out; echo err >&2; read x || echo eof\""),
            (Lines{"out", "err", "eof"}));
  // A child that closed its output lives on: the read ends, finish ends it.
  uint64_t t0 = ktick_ms();
  EXPECT_EQ(run_lines("sh -c \"exec >&- 2>&-; sleep 30\""), Lines{});
  EXPECT_LT(ktick_ms() - t0, 5000u);
  // A line longer than many pipe reads comes whole.
  EXPECT_EQ(run_lines("sh -c \"yes a | head -n 18000 | tr -d '\\n'\""),
            Lines{std::string(18000, 'a')});
  // Blanks and tabs split; a pair of double quotes groups and is dropped.
  EXPECT_EQ(run_lines("\t printf  \"%s|\"\t one  two \t"), (Lines{"one|two|"}));
  EXPECT_EQ(run_lines("printf %s| a\"b  c\"d \"\" \"x\ty\" \"open end"),
            (Lines{"ab  cd||x\ty|open end|"}));
  // Bounded lines come in pieces; dropped CRs do not count; the bound is one line.
  EXPECT_EQ(run_lines("printf abcdefg\\nh\\r\\r\\ri\\nxyz\\r\\nuvw", 20000, nullptr, 3),
            (Lines{"abc", "def", "g", "hi", "xyz", "uvw"}));
  // Commands that cannot start fail.
  for (const char* command : {"", " \t ", "vardo-no-such-program", "\"\" x", "/etc/passwd", "/"}) {
    kproc p;
    kproc_init(&p, command);
    EXPECT_EQ(kproc_run(&p) + kproc_get_pid(&p) + kproc_start(&p), 0u) << command;
    kproc_free(&p);
  }
}

TEST_F(KProc, ChildGetsNoOtherDescriptorAndDefaultSignalHandling) {
  // A descriptor without close-on-exec, and another record's pipe, both open.
  int stray = open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 0);
  kproc other;
  kproc_init(&other, "sleep 30");
  ASSERT_EQ(kproc_run(&other), 1);
  // The agent ignores SIGPIPE and its signal thread blocks SIGTERM; neither
  // may reach the child: yes must die quietly, the shell of its own SIGTERM.
  auto old_action = signal(SIGPIPE, SIG_IGN);
  sigset_t term, old_mask;
  sigemptyset(&term), sigaddset(&term, SIGTERM), pthread_sigmask(SIG_BLOCK, &term, &old_mask);
  // ls sees its own three standard descriptors and the directory it reads.
  Lines fds = run_lines("ls /proc/self/fd");
  Lines piped = run_lines("sh -c \"yes | head -n 2\"");
  Lines killed = run_lines("sh -c \"kill -TERM $$; echo survived\"");
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr), signal(SIGPIPE, old_action);
  EXPECT_EQ(fds, (Lines{"0", "1", "2", "3"}));
  EXPECT_EQ(piped, (Lines{"y", "y"}));
  EXPECT_EQ(killed, Lines{});
  kproc_free(&other), close(stray);  // the free ends its running child
}

TEST_F(KProc, TimeLimitAndFinishEndTheWholeGroupAndKeepWhatWasPrinted) {
  uint32_t timed_out = 0;
  // The grandchild keeps the pipe open; the partial last line is delivered.
  EXPECT_EQ(run_lines("sh -c \"sleep 987650.@ & printf partial; wait\"", 500, &timed_out),
            Lines{"partial"});
  EXPECT_EQ(timed_out, 1u);
  // The output ends with the leader; its grandchild has let the pipe go.
  EXPECT_EQ(run_lines("sh -c \"sleep 987651.@ >/dev/null 2>&1 &\""), Lines{});
  EXPECT_TRUE(none_left("987650.@") && none_left("987651.@"));
  // A child that never stops printing is stopped too.
  EXPECT_GT(run_lines("yes", 300, &timed_out).size(), 0u);
  EXPECT_EQ(timed_out, 1u);
}

// A program that leaves a process outside its group (setsid, a double fork) is done when it exits:
// output still held open is read for a short drain only; the leftover is killed and reaped.
TEST_F(KProc, LeftoversOutsideTheGroupNeitherHoldTheRunNorOutliveIt) {
  Lines counted;
  for (int i = 1; i <= 20000; ++i) counted.push_back(std::to_string(i));
  counted.push_back("end");
  const struct {
    const char* command;
    const char* marker;  // the leftover's argument
    Lines lines;
    uint32_t limit_ms = 10000;
  } cases[] = {
      // Double fork: the daemon's parent is gone before the program exits.
      {"sh -c \"(setsid sh -c 'sleep 987652.@ & exit' &); echo started\"", "987652.@", {"started"}},
      // The daemon closed its output: the pipe ends, the daemon lives on.
      {"sh -c \"setsid sh -c 'exec >&- 2>&-; exec sleep 987653.@' & echo a\"", "987653.@", {"a"}},
      // More than the pipe holds, and a last line without LF, right before the exit.
      {"sh -c \"setsid sleep 987654.@ & seq 1 20000; printf end\"", "987654.@", counted},
      // A leftover of a run that times out goes too.
      {"sh -c \"setsid sleep 987655.@ & sleep 30\"", "987655.@", {}, 300},
  };
  for (const auto& c : cases) {
    uint32_t timed_out = 0;
    EXPECT_EQ(run_lines(c.command, c.limit_ms, &timed_out), c.lines) << c.command;
    EXPECT_EQ(timed_out, c.limit_ms < 10000) << c.command;
    EXPECT_TRUE(none_left(c.marker)) << c.command;
  }
}

TEST_F(KProc, ConcurrentRunsStayIndependent) {
  // A run whose daemon has already been handed to the runner keeps it while
  // another run ends and sweeps its own leftover, and the leftover's child
  // that cleared its environment, as a descendant of the leftover.
  kproc keeper;
  kproc_init(
      &keeper,
      own("sh -c \"sh -c 'setsid sleep 987656.@ >/dev/null 2>&1 &'; echo go; sleep 30\"").c_str());
  ASSERT_EQ(kproc_run(&keeper), 1);
  kstring go;
  kstring_init(&go);
  EXPECT_EQ(kproc_read_line(&keeper, &go), 1);
  EXPECT_STREQ(kstring_text(&go), "go");
  EXPECT_EQ(
      run_lines(
          "sh -c \"setsid sh -c 'env -i sleep 987658.@ & exec sleep 987657.@' & echo started\""),
      (Lines{"started"}));
  EXPECT_TRUE(none_left("987657.@") && none_left("987658.@"));
  EXPECT_EQ(testutil::processes_with_arg(own("987656.@")), 1);
  kproc_free(&keeper), kstring_free(&go);
  EXPECT_TRUE(none_left("987656.@"));

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
    EXPECT_EQ(timed_out, 0u) << "run " << i << " waited for another run's child";
  }
  done = true;
  sleepers.join();
}

// Paths resolve through links and ".." as far as they exist; only a leading '/' is a root; the
// no-follow open refuses a link; an open stream tells its file's real path and size.
TEST(KFile, PathsResolveAndNoFollowOpensRefuseLinks) {
  testutil::TempDir dir;
  std::string root = std::filesystem::canonical(dir.path()).string(), up = root + "/logs",
              parent = std::filesystem::path(root).parent_path().string();
  std::filesystem::create_directories(up + "/app");
  testutil::write_file(up + "/a.log", "abc\n");
  testutil::write_file(root + "/secret", "s\n");
  symlink((root + "/secret").c_str(), (up + "/out.log").c_str());
  symlink("/etc", (up + "/etc").c_str());
  kstring p, r;
  kstring_init(&p), kstring_init(&r);
  // clang-format off
  for (auto [path, want] : std::vector<std::pair<std::string, std::string>>{
           {up + "/a.log", up + "/a.log"}, {up + "/../secret", root + "/secret"},
           {up + "/out.log", root + "/secret"}, {up + "/etc/passwd", "/etc/passwd"},
           {up + "/app/new/../../x.log", up + "/x.log"}, {up + "/etc/none/../../x", "/x"},
           {up + "/none/../../..", parent}, {"/../..", "/"}}) {
    // clang-format on
    kstring_assign_cstr(&p, path.c_str());
    EXPECT_EQ(kfile_resolve(&p, &r) == 0 ? kstring_text(&r) : "<error>", want) << path;
  }
  // Whether the path lies within the directory (nullptr: not asked), its root, its directory.
  // clang-format off
  const struct { const char *path, *in; uint32_t within, root; const char* dir; } cases[] = {
      {"/var/log", "/var/log", 1, 1, "/var/"}, {"/var/log/a", "/var/log", 1, 1, "/var/log/"},
      {"/x", "/", 1, 1, "/"}, {"/var/logs/a", "/var/log", 0, 1, "/var/logs/"},
      {"/var/lo", "/var/log", 0, 1, "/var/"}, {"//a//b", nullptr, 0, 1, "/a/"},
      {"\\\\h\\s\\a", nullptr, 0, 0, "h/s/"}};
  // clang-format on
  for (const auto& c : cases) {
    kstring_assign_cstr(&p, c.path);
    kstring_assign_cstr(&r, c.in ? c.in : "");
    if (c.in) EXPECT_EQ(kfile_path_within(&p, &r), c.within) << c.path << " in " << c.in;
    EXPECT_EQ(kstring_path_root(c.path), c.root) << c.path;
    kstring_path_dir(&p, &r);
    EXPECT_STREQ(kstring_text(&r), c.dir) << c.path;
  }
  kfile f;
  kfile_init(&f);
  uint64_t size = 0;
  kfile_set_name_cstr(&f, (up + "/a.log").c_str());
  EXPECT_EQ(kfile_open_regular_nofollow(&f), 0u);
  kfile_close(&f);
  kfile_set_name_cstr(&f, (up + "/out.log").c_str());
  EXPECT_EQ(kfile_open_regular_nofollow(&f), 1u);
  ASSERT_EQ(kfile_open_regular(&f), 0u);
  EXPECT_EQ(kfile_real_path(&f, &r) + kfile_size(&f, &size), 0u);
  EXPECT_EQ(kstring_text(&r) + std::to_string(size), root + "/secret2");
  kfile_close(&f);
  EXPECT_EQ(kfile_size(&f, &size) + kfile_real_path(&f, &r), 2u);  // closed
  kstring_free(&r), kstring_free(&p);
  kfile_free(&f);
}

}  // namespace

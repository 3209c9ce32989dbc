// The POSIX half of kproc: posix_spawn with pipes, a pidfd to wake on the
// child's exit, and the process group killed when the run ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "klib/kproc.h"
#include "klib/kproc_reap_posix.h"
#include "klib/kproc_sys.h"
#include "klib/kthread.h"

static const kproc_handle kNoHandle = KPROC_NO_HANDLE;

void kproc_sys_close(kproc_handle* h) {
  if (*h != kNoHandle) close(static_cast<int>(*h));
  *h = kNoHandle;
}

// Kills the unreaped child pid and its process group, then reaps the child.
static void kproc_kill_reap(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);  // in case the child left its group
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Ends the held child. The group is killed only while the child is still ours
// and unreaped: a zombie keeps its pid, and with it the group id, reserved, so
// the signal cannot reach a stranger's group that reuses the number. Then the
// run is over, and what it left outside the group is swept.
void kproc_sys_end(kproc* p) {
  if (p->pid == 0) return;
  pid_t pid = static_cast<pid_t>(p->pid);
  siginfo_t info;
  memset(&info, 0, sizeof info);
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
    kproc_kill_reap(pid);
  kproc_sys_close(&p->process);
  kproc_sys_run_end(p->run);
  p->run = 0;
  p->drain_deadline_ms = 0;
  p->pid = 0;
}

// Moves a descriptor above standard input, output and error, so that mapping
// the child's ends onto 0, 1 and 2 never overwrites one of them.
static int kproc_above_stdio(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

static bool kproc_make_pipe(int ends[2]) {
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  ends[0] = kproc_above_stdio(ends[0]);
  ends[1] = kproc_above_stdio(ends[1]);
  if (ends[0] >= 0 && ends[1] >= 0) return true;
  if (ends[0] >= 0) close(ends[0]);
  if (ends[1] >= 0) close(ends[1]);
  return false;
}

// Opens the pipes of a redirected run: the output pipe with a second writing
// end for standard error, and an input pipe whose writing end is closed at
// once. All ends are close-on-exec; the child's copies on 0, 1 and 2 are made
// only in the child.
static bool kproc_open_pipes(kproc* p) {
  int out[2];
  int in[2];
  if (!kproc_make_pipe(out)) return false;
  if (!kproc_make_pipe(in)) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  close(in[1]);
  p->out_read = out[0];
  p->out_write = out[1];
  p->in_read = in[0];
  p->err_write = fcntl(out[1], F_DUPFD_CLOEXEC, 3);
  return p->err_write != kNoHandle;
}

// Spawns argv with its own process group, default signal handling, an empty
// signal mask, no descriptor above 2 and the run's marker in its environment,
// and registers it as a live run's child. The spawn reports a program that
// cannot be executed before it returns, and reaps that child itself.
static bool kproc_spawn(kproc* p, char** argv, bool redirect) {
  char marker[64];
  int group = -1;
  uint64_t run = kproc_sys_run_begin(marker, sizeof marker, &group);
  char** env = kproc_sys_environment(marker);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (!env || posix_spawn_file_actions_init(&actions) != 0) {
    free(env);
    kproc_sys_run_abandon(run, group);
    return false;
  }
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    free(env);
    kproc_sys_run_abandon(run, group);
    return false;
  }
  bool ok = true;
  if (redirect) {
    ok = posix_spawn_file_actions_adddup2(&actions, static_cast<int>(p->in_read), 0) == 0 &&
         posix_spawn_file_actions_adddup2(&actions, static_cast<int>(p->out_write), 1) == 0 &&
         posix_spawn_file_actions_adddup2(&actions, static_cast<int>(p->err_write), 2) == 0;
  }
  // Descriptors other threads open without close-on-exec stay out as well.
  ok = ok && posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
  // The calling thread may block signals (the console host waits for them on
  // one thread) and the agent may ignore SIGPIPE; the child starts clean.
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  ok = ok &&
       posix_spawnattr_setflags(
           &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
       posix_spawnattr_setpgroup(&attr, 0) == 0 && posix_spawnattr_setsigmask(&attr, &none) == 0 &&
       posix_spawnattr_setsigdefault(&attr, &all) == 0;
  pid_t pid = 0;
  kproc_sys_runs_lock();
  ok = ok && posix_spawnp(&pid, argv[0], &actions, &attr, argv, env) == 0;
  bool known = ok && kproc_sys_run_add(run, pid, group);
  kproc_sys_runs_unlock();
  if (!ok) kproc_sys_run_abandon(run, group);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  free(env);
  if (ok && !known) {
    // Unregistered, a sweep could take the child for a leftover.
    kproc_kill_reap(pid);
    ok = false;
  }
  if (!ok) return false;
  p->pid = static_cast<uint32_t>(pid);
  p->run = run;
  // A descriptor that becomes readable when the child exits, so that the
  // reader wakes for the exit as for output; without one it looks every
  // KPROC_EXIT_POLL_MS.
  long fd = syscall(SYS_pidfd_open, pid, 0);
  p->process = fd >= 0 ? kproc_above_stdio(static_cast<int>(fd)) : kNoHandle;
  return true;
}

bool kproc_sys_launch(kproc* p, bool redirect) {
  // One block: the argument pointers, then the arguments split in place.
  uint32_t length = p->command.length;
  int max_args = static_cast<int>(length / 2 + 1);
  size_t pointers = (static_cast<size_t>(max_args) + 1) * sizeof(char*);
  char** argv = static_cast<char**>(malloc(pointers + length + 1));
  if (!argv) return false;
  char* text = reinterpret_cast<char*>(argv) + pointers;
  memcpy(text, kstring_text(&p->command), length + 1);
  bool ok = kproc_split_args(text, argv, max_args) > 0;
  if (ok && redirect) ok = kproc_open_pipes(p);
  ok = ok && kproc_spawn(p, argv, redirect);
  free(argv);
  return ok;
}

// True once the held child has exited; it stays unreaped.
bool kproc_sys_exited(const kproc* p) {
  siginfo_t info;
  memset(&info, 0, sizeof info);
  return waitid(P_PID, static_cast<id_t>(p->pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
         info.si_pid != 0;
}

// The child has exited, so all it wrote is in the pipe or already read: that
// much is read whatever the drain bound says; the rest only until it runs out.
static void kproc_note_exit(kproc* p) {
  int queued = 0;
  if (ioctl(static_cast<int>(p->out_read), FIONREAD, &queued) != 0 || queued < 0) queued = 0;
  p->drain_left = static_cast<uint32_t>(queued);
  p->drain_deadline_ms = ktick_ms() + KPROC_DRAIN_MS;
}

static int kproc_shorter(int wait_ms, uint64_t bound_ms) {
  int bound = bound_ms > INT_MAX ? INT_MAX : static_cast<int>(bound_ms);
  return wait_ms < 0 || wait_ms > bound ? bound : wait_ms;
}

int kproc_sys_fill(kproc* p) {
  if (p->out_read == kNoHandle || p->timed_out || p->cancelled) return 0;
  for (;;) {
    if (p->cancel && p->cancel->load(std::memory_order_acquire)) {
      p->cancelled = 1;
      return 0;
    }
    uint64_t now = ktick_ms();
    int wait_ms = -1;
    if (p->deadline_ms) {
      if (now >= p->deadline_ms) {
        p->timed_out = 1;
        return 0;
      }
      wait_ms = kproc_shorter(wait_ms, p->deadline_ms - now);
    }
    bool exited = p->drain_deadline_ms != 0;
    if (exited && p->drain_left == 0) {
      // What is still written comes from processes the child left running.
      if (now >= p->drain_deadline_ms) return 0;
      wait_ms = kproc_shorter(wait_ms, p->drain_deadline_ms - now);
    }
    if (p->cancel) wait_ms = kproc_shorter(wait_ms, KPROC_CANCEL_POLL_MS);
    // Processes the program leaves exiting while it runs on are adopted by
    // the runner; they are reaped as the run goes, not only when it ends.
    if (now >= p->reap_ms) {
      kproc_sys_reap();
      p->reap_ms = now + KPROC_REAP_POLL_MS;
    }
    wait_ms = kproc_shorter(wait_ms, p->reap_ms - now);
    bool watch_exit = !exited && p->pid != 0;
    struct pollfd pfd[2];
    pfd[0].fd = static_cast<int>(p->out_read);
    pfd[0].events = POLLIN;
    pfd[0].revents = 0;
    nfds_t count = 1;
    if (watch_exit && p->process != kNoHandle) {
      pfd[1].fd = static_cast<int>(p->process);
      pfd[1].events = POLLIN;
      pfd[1].revents = 0;
      count = 2;
    } else if (watch_exit) {
      wait_ms = kproc_shorter(wait_ms, KPROC_EXIT_POLL_MS);
    }
    int ready = poll(pfd, count, wait_ms);
    if (ready < 0 && errno != EINTR) return 0;
    if (watch_exit && (count == 2 ? pfd[1].revents != 0 : kproc_sys_exited(p))) kproc_note_exit(p);
    if (ready <= 0 || pfd[0].revents == 0) continue;
    ssize_t n = read(pfd[0].fd, p->buf, sizeof p->buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return 0;
    uint32_t got = static_cast<uint32_t>(n);
    p->drain_left -= got < p->drain_left ? got : p->drain_left;
    p->buf_pos = 0;
    p->buf_len = got;
    return 1;
  }
}

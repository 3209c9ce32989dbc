#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "klib/kproc_reap_posix.h"
#include "klib/kthread.h"

extern char** environ;

static const char kMarkerName[] = "VARDO_RUN=";

struct kproc_live_run {
  uint64_t run;
  pid_t pid;
  bool cgroup;  // the run has a control group of its own
};

// The live runs and their children; guarded by g_runs_lock, which a sweep
// holds while it decides about each process.
static pthread_mutex_t g_runs_lock = PTHREAD_MUTEX_INITIALIZER;
static kproc_live_run* g_runs = nullptr;
static size_t g_run_count = 0;
static size_t g_run_capacity = 0;

static std::atomic<uint64_t> g_next_run{0};
static pthread_once_t g_once = PTHREAD_ONCE_INIT;
// "VARDO_RUN=<runner pid>.": the part of a marker that names this runner.
static char g_prefix[48];
static size_t g_prefix_length = 0;
// The runner's own control group (cgroup v2) when it is delegated to it:
// the runs' groups are made below it. Empty: none.
static char g_cgroup[PATH_MAX];

// The first line of path that starts with key, without key and line end.
static bool kproc_find_line(const char* path, const char* key, char* out, size_t size) {
  FILE* f = fopen(path, "re");
  if (!f) return false;
  char line[4096];
  bool found = false;
  size_t length = strlen(key);
  while (!found && fgets(line, sizeof line, f)) {
    if (strncmp(line, key, length) != 0) continue;
    line[strcspn(line, "\n")] = '\0';
    found = snprintf(out, size, "%s", line + length) < static_cast<int>(size);
  }
  fclose(f);
  return found;
}

// The mount point of the cgroup v2 hierarchy, from the mount table: the
// fifth field of the line whose type, after " - ", is cgroup2.
static bool kproc_cgroup_mount(char* out, size_t size) {
  FILE* f = fopen("/proc/self/mountinfo", "re");
  if (!f) return false;
  char line[4096];
  bool found = false;
  while (!found && fgets(line, sizeof line, f)) {
    if (!strstr(line, " - cgroup2 ")) continue;
    char root[PATH_MAX];
    char point[PATH_MAX];
    if (sscanf(line, "%*s %*s %*s %4095s %4095s", root, point) != 2) continue;
    found = strcmp(root, "/") == 0 && snprintf(out, size, "%s", point) < static_cast<int>(size);
  }
  fclose(f);
  return found;
}

// Finds the runner's control group and keeps it when the service manager
// delegated it (the trusted.delegate or user.delegate attribute is 1) and it
// is writable: only then may the runner make groups below it.
static void kproc_cgroup_find() {
  char own[PATH_MAX];
  char mount[PATH_MAX];
  if (!kproc_find_line("/proc/self/cgroup", "0::", own, sizeof own) ||
      !kproc_cgroup_mount(mount, sizeof mount))
    return;
  char dir[PATH_MAX];
  if (snprintf(dir, sizeof dir, "%s%s", mount, own) >= static_cast<int>(sizeof dir)) return;
  bool delegated = false;
  for (const char* name : {"trusted.delegate", "user.delegate"}) {
    char value[8];
    ssize_t n = getxattr(dir, name, value, sizeof value);
    delegated = delegated || (n == 1 && value[0] == '1');
  }
  if (delegated && access(dir, W_OK) == 0) snprintf(g_cgroup, sizeof g_cgroup, "%s", dir);
}

static void kproc_sys_once() {
  // Without the subreaper a process that left the run's group goes to init
  // instead; the sweep then cannot reach it, and nothing else changes.
  prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  int n = snprintf(g_prefix, sizeof g_prefix, "%s%ld.", kMarkerName, static_cast<long>(getpid()));
  g_prefix_length = n > 0 ? static_cast<size_t>(n) : 0;
  kproc_cgroup_find();
}

// The directory of the run's control group, or a file in it.
static void kproc_cgroup_path(uint64_t run, const char* file, char* out, size_t size) {
  snprintf(out, size, "%s/vardo-run-%ld.%llu%s%s", g_cgroup, static_cast<long>(getpid()),
           static_cast<unsigned long long>(run), file ? "/" : "", file ? file : "");
}

static bool kproc_write_text(const char* path, const char* text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t length = strlen(text);
  bool ok = write(fd, text, length) == static_cast<ssize_t>(length);
  close(fd);
  return ok;
}

// Makes a control group for the run and opens its member list; -1 where
// there is none. Made before the child starts, so that moving it in right
// after the start is one write.
static int kproc_cgroup_make(uint64_t run) {
  if (g_cgroup[0] == '\0') return -1;
  char path[PATH_MAX + 64];
  kproc_cgroup_path(run, nullptr, path, sizeof path);
  if (mkdir(path, 0755) != 0) return -1;
  char procs[PATH_MAX + 64];
  kproc_cgroup_path(run, "cgroup.procs", procs, sizeof procs);
  int fd = open(procs, O_WRONLY | O_CLOEXEC);
  if (fd < 0) rmdir(path);
  return fd;
}

// Moves the child into the run's control group and closes group; false when
// it is not there (the group is then removed). The child runs by then and
// may already have started processes of its own: those the sweep still ends.
static bool kproc_cgroup_join(uint64_t run, pid_t pid, int group) {
  if (group < 0) return false;
  char text[24];
  int length = snprintf(text, sizeof text, "%ld", static_cast<long>(pid));
  bool joined = pid > 0 && write(group, text, static_cast<size_t>(length)) == length;
  close(group);
  if (!joined) {
    char path[PATH_MAX + 64];
    kproc_cgroup_path(run, nullptr, path, sizeof path);
    rmdir(path);
  }
  return joined;
}

// Kills every process in the run's control group: at once where the kernel
// offers cgroup.kill, else one by one from its member list.
static void kproc_cgroup_kill(uint64_t run) {
  char path[PATH_MAX + 64];
  kproc_cgroup_path(run, "cgroup.kill", path, sizeof path);
  if (kproc_write_text(path, "1")) return;
  kproc_cgroup_path(run, "cgroup.procs", path, sizeof path);
  FILE* f = fopen(path, "re");
  if (!f) return;
  long pid = 0;
  while (fscanf(f, "%ld", &pid) == 1)
    if (pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
  fclose(f);
}

// Removes the run's control group once its members have exited (zombies
// are no longer members); false while it still has members.
static bool kproc_cgroup_remove(uint64_t run) {
  char path[PATH_MAX + 64];
  kproc_cgroup_path(run, nullptr, path, sizeof path);
  if (rmdir(path) == 0 || errno == ENOENT) return true;
  kproc_cgroup_kill(run);
  return false;
}

uint64_t kproc_sys_run_begin(char* marker, size_t size, int* group) {
  pthread_once(&g_once, kproc_sys_once);
  uint64_t run = g_next_run.fetch_add(1, std::memory_order_relaxed) + 1;
  snprintf(marker, size, "%s%llu", g_prefix, static_cast<unsigned long long>(run));
  *group = kproc_cgroup_make(run);
  return run;
}

void kproc_sys_run_abandon(uint64_t run, int group) {
  kproc_cgroup_join(run, 0, group);
}

char** kproc_sys_environment(const char* marker) {
  size_t count = 0;
  for (char** e = environ; e && *e; ++e) ++count;
  char** env = static_cast<char**>(malloc((count + 2) * sizeof(char*)));
  if (!env) return nullptr;
  size_t n = 0;
  env[n++] = const_cast<char*>(marker);
  for (size_t i = 0; i < count; ++i)
    if (strncmp(environ[i], kMarkerName, sizeof kMarkerName - 1) != 0) env[n++] = environ[i];
  env[n] = nullptr;
  return env;
}

void kproc_sys_runs_lock() {
  pthread_mutex_lock(&g_runs_lock);
}

void kproc_sys_runs_unlock() {
  pthread_mutex_unlock(&g_runs_lock);
}

int kproc_sys_run_add(uint64_t run, pid_t pid, int group) {
  if (g_run_count == g_run_capacity) {
    size_t capacity = g_run_capacity ? g_run_capacity * 2 : 16;
    void* grown = realloc(g_runs, capacity * sizeof *g_runs);
    if (!grown) {
      kproc_cgroup_join(run, 0, group);
      return 0;
    }
    g_runs = static_cast<kproc_live_run*>(grown);
    g_run_capacity = capacity;
  }
  g_runs[g_run_count].run = run;
  g_runs[g_run_count].pid = pid;
  g_runs[g_run_count].cgroup = kproc_cgroup_join(run, pid, group);
  ++g_run_count;
  return 1;
}

static bool kproc_run_live(uint64_t run) {
  for (size_t i = 0; i < g_run_count; ++i)
    if (g_runs[i].run == run) return true;
  return false;
}

static bool kproc_run_child(pid_t pid) {
  for (size_t i = 0; i < g_run_count; ++i)
    if (g_runs[i].pid == pid) return true;
  return false;
}

// State, parent and process group of the process /proc/<pid>; false when
// it is gone or unreadable.
static bool kproc_stat(pid_t pid, char* state, pid_t* parent, pid_t* group) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // "pid (comm) state ppid pgrp ...": comm is at most 15 bytes but may hold
  // blanks and parentheses, so the fields are counted from the last ')'.
  char text[512];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* paren = strrchr(text, ')');
  int ppid = 0;
  int pgrp = 0;
  if (!paren || sscanf(paren + 1, " %c %d %d", state, &ppid, &pgrp) != 3) return false;
  *parent = ppid;
  *group = pgrp;
  return true;
}

// 1 when the environment the process /proc/<pid> started with holds this
// runner's marker (its run number in *run); 0 when not, or unreadable. The
// entries are matched as they stream by, so the size of the environment
// does not matter.
static int kproc_marker(pid_t pid, uint64_t* run) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  size_t pos = 0;  // position in the current entry
  bool match = true;
  uint64_t value = 0;
  int found = 0;
  char chunk[4096];
  bool end = false;
  while (!found && !end) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    // The end of the environment ends its last entry as a NUL would.
    if (n <= 0) {
      chunk[0] = '\0';
      n = 1;
      end = true;
    }
    for (ssize_t i = 0; i < n && !found; ++i) {
      char c = chunk[i];
      if (c == '\0') {
        if (match && pos > g_prefix_length) {
          *run = value;
          found = 1;
        }
        pos = 0;
        match = true;
        value = 0;
        continue;
      }
      if (match && pos < g_prefix_length)
        match = c == g_prefix[pos];
      else if (match && c >= '0' && c <= '9')
        value = value * 10 + static_cast<uint64_t>(c - '0');
      else
        match = false;
      ++pos;
    }
  }
  close(fd);
  return found;
}

struct kproc_seen {
  pid_t pid;
  pid_t parent;
  pid_t group;
  char state;
  bool doomed;
};

// The process table of the last pass; guarded by g_runs_lock.
static kproc_seen* g_seen = nullptr;
static size_t g_seen_capacity = 0;

// Reads every process's state, parent and group; the number read, which
// stops short where memory runs out.
static size_t kproc_read_table() {
  DIR* dir = opendir("/proc");
  if (!dir) return 0;
  size_t count = 0;
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9') continue;
    if (count == g_seen_capacity) {
      size_t capacity = g_seen_capacity ? g_seen_capacity * 2 : 512;
      void* grown = realloc(g_seen, capacity * sizeof *g_seen);
      if (!grown) break;
      g_seen = static_cast<kproc_seen*>(grown);
      g_seen_capacity = capacity;
    }
    kproc_seen* s = &g_seen[count];
    s->pid = static_cast<pid_t>(atol(name));
    s->doomed = false;
    if (kproc_stat(s->pid, &s->state, &s->parent, &s->group)) ++count;
  }
  closedir(dir);
  return count;
}

// A child of the runner that no live run holds and that the runner did not
// start itself (those keep its process group): one it adopted.
static bool kproc_adopted(const kproc_seen* s, pid_t self, pid_t own_group) {
  return s->parent == self && s->group != own_group && !kproc_run_child(s->pid);
}

void kproc_sys_reap() {
  // Mostly there is no zombie child at all: one look, nothing reaped, tells.
  siginfo_t info;
  memset(&info, 0, sizeof info);
  if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) return;
  pthread_mutex_lock(&g_runs_lock);
  pid_t self = getpid();
  pid_t own_group = getpgrp();
  size_t count = kproc_read_table();
  for (size_t i = 0; i < count; ++i)
    if (g_seen[i].state == 'Z' && kproc_adopted(&g_seen[i], self, own_group))
      waitpid(g_seen[i].pid, nullptr, WNOHANG);
  pthread_mutex_unlock(&g_runs_lock);
}

// One pass over the processes (the lock held). The runner's adopted
// children that no live run holds are reaped when they are zombies, and
// doomed when their run is over; so is every descendant of a doomed process,
// whatever its environment, and all of them are killed at once. Counts what
// still needs a pass: zombies reaped, processes killed (listed in killed, so
// that one still dying is killed again rather than judged anew).
static int kproc_sweep_once(pid_t* killed, size_t* killed_count, size_t killed_max) {
  pid_t self = getpid();
  pid_t own_group = getpgrp();
  size_t count = kproc_read_table();
  int busy = 0;
  bool doomed = false;
  for (size_t i = 0; i < count; ++i) {
    kproc_seen* s = &g_seen[i];
    if (!kproc_adopted(s, self, own_group)) continue;
    if (s->state == 'Z') {
      waitpid(s->pid, nullptr, WNOHANG);
      ++busy;
      continue;
    }
    bool again = false;
    for (size_t k = 0; k < *killed_count && !again; ++k) again = killed[k] == s->pid;
    uint64_t run = 0;
    int marked = again ? 0 : kproc_marker(s->pid, &run);
    s->doomed = again || (marked && !kproc_run_live(run)) || (!marked && g_run_count == 0);
    doomed = doomed || s->doomed;
  }
  // Descendants: until no doomed parent is left with a child not yet doomed.
  for (bool grew = doomed; grew;) {
    grew = false;
    for (size_t i = 0; i < count; ++i) {
      if (g_seen[i].doomed || g_seen[i].pid == self) continue;
      for (size_t k = 0; k < count; ++k) {
        if (g_seen[k].doomed && g_seen[k].pid == g_seen[i].parent) {
          g_seen[i].doomed = grew = true;
          break;
        }
      }
    }
  }
  for (size_t i = 0; i < count; ++i) {
    if (!g_seen[i].doomed || g_seen[i].state == 'Z') continue;
    pid_t pid = g_seen[i].pid;
    kill(pid, SIGKILL);
    bool listed = false;
    for (size_t k = 0; k < *killed_count && !listed; ++k) listed = killed[k] == pid;
    if (!listed && *killed_count < killed_max) killed[(*killed_count)++] = pid;
    ++busy;
  }
  return busy;
}

// Runs whose control group still had members when their sweep gave up;
// later sweeps try again to remove them. Guarded by g_runs_lock.
static uint64_t g_stale_groups[16];
static size_t g_stale_count = 0;

static void kproc_cgroup_retry_stale() {
  size_t kept = 0;
  for (size_t i = 0; i < g_stale_count; ++i)
    if (!kproc_cgroup_remove(g_stale_groups[i])) g_stale_groups[kept++] = g_stale_groups[i];
  g_stale_count = kept;
}

void kproc_sys_run_end(uint64_t run) {
  pid_t killed[64];
  size_t killed_count = 0;
  uint64_t give_up = ktick_ms() + KPROC_SWEEP_MS;
  bool cgroup = false;
  pthread_mutex_lock(&g_runs_lock);
  for (size_t i = 0; i < g_run_count; ++i) {
    if (g_runs[i].run != run) continue;
    cgroup = g_runs[i].cgroup;
    g_runs[i] = g_runs[g_run_count - 1];
    --g_run_count;
    break;
  }
  kproc_cgroup_retry_stale();
  // Mostly the program left nothing and no other run is live: the runner
  // has no child at all then, and a look at the process table would find
  // nothing to reap or kill.
  siginfo_t info;
  memset(&info, 0, sizeof info);
  if (!cgroup && waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD) {
    pthread_mutex_unlock(&g_runs_lock);
    return;
  }
  // A control group of the run holds all it started, whatever became of
  // their environment or parents; the sweep then reaps what it killed.
  if (cgroup) kproc_cgroup_kill(run);
  for (;;) {
    int busy = kproc_sweep_once(killed, &killed_count, sizeof killed / sizeof *killed);
    if (cgroup && kproc_cgroup_remove(run)) cgroup = false;
    bool done = busy == 0 && !cgroup;
    if (!done && ktick_ms() >= give_up) {
      if (cgroup && g_stale_count < sizeof g_stale_groups / sizeof *g_stale_groups)
        g_stale_groups[g_stale_count++] = run;
      done = true;
    }
    pthread_mutex_unlock(&g_runs_lock);
    if (done) return;
    ksleep(1);
    pthread_mutex_lock(&g_runs_lock);
  }
}

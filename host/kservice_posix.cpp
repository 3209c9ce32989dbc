#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "host/kservice_sys.h"

uint32_t kservice_sys_pid() {
  return static_cast<uint32_t>(getpid());
}

uint32_t kservice_module_path(kstring* out) {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return 0;
  return kstring_assign_bytes(out, buf, static_cast<uint32_t>(n));
}

int kservice_sys_started_by_manager() {
  return getenv("NOTIFY_SOCKET") != nullptr || getenv("INVOCATION_ID") != nullptr;
}

namespace {

// Where the service manager takes state lines (sd_notify protocol: one
// datagram per report to the unix socket named by NOTIFY_SOCKET, '@' for the
// abstract namespace). Read once, before any thread exists, and taken out of
// the environment so that programs the agent starts do not report as us.
struct notify_target {
  struct sockaddr_un addr;
  socklen_t len;  // 0: nobody asked for reports
};

notify_target g_notify;

void notify_setup() {
  g_notify.len = 0;
  const char* path = getenv("NOTIFY_SOCKET");
  if (!path) return;
  size_t len = strlen(path);
  // Only absolute paths and abstract names are addresses of this protocol.
  bool usable =
      (path[0] == '/' || path[0] == '@') && len >= 2 && len < sizeof g_notify.addr.sun_path;
  if (usable) {
    memset(&g_notify.addr, 0, sizeof g_notify.addr);
    g_notify.addr.sun_family = AF_UNIX;
    memcpy(g_notify.addr.sun_path, path, len);
    if (path[0] == '@') g_notify.addr.sun_path[0] = '\0';
    g_notify.len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
  }
  unsetenv("NOTIFY_SOCKET");
}

// Sends one state line (READY=1, STOPPING=1); nothing when nobody listens.
// Safe from any thread: g_notify is only read after notify_setup.
void notify_manager(const char* state) {
  if (g_notify.len == 0) return;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sendto(fd, state, strlen(state), MSG_NOSIGNAL,
         reinterpret_cast<const struct sockaddr*>(&g_notify.addr), g_notify.len);
  close(fd);
}

// Signal thread: stop requests arrive as signals and are taken with sigwait
// on a thread of their own, so that stop never runs inside a signal handler
// and never on the thread that runs init, run and cleanup. The wake signal
// ends the thread once ending is set; a stray one from outside is ignored.
const int kWakeSignal = SIGUSR2;

struct signal_watch {
  kservice_app* app;
  bool service;  // service mode: terminate reports stopping; hang-up is ignored
  std::atomic<bool> ending;
  sigset_t set;
  pthread_t thread;
};

void* signal_main(void* p) {
  signal_watch* w = static_cast<signal_watch*>(p);
  for (;;) {
    int sig = 0;
    if (sigwait(&w->set, &sig) != 0) continue;
    if (sig == kWakeSignal) {
      if (w->ending.load(std::memory_order_acquire)) return nullptr;
      continue;
    }
    if (w->service && sig == SIGHUP) continue;  // a closed terminal does not stop a service
    if (w->service) notify_manager("STOPPING=1");
    w->app->stop(w->app);
  }
}

void block_signals(signal_watch* w, kservice_app* app, bool service) {
  w->app = app;
  w->service = service;
  w->ending.store(false, std::memory_order_relaxed);  // no other thread yet
  sigemptyset(&w->set);
  sigaddset(&w->set, SIGINT);
  sigaddset(&w->set, SIGTERM);
  sigaddset(&w->set, SIGHUP);
  sigaddset(&w->set, kWakeSignal);
  // Blocked before any thread of the application exists, so that every
  // thread inherits the mask and only the signal thread takes them.
  pthread_sigmask(SIG_BLOCK, &w->set, nullptr);
  // A peer that closes its connection must never kill the agent.
  signal(SIGPIPE, SIG_IGN);
}

bool start_watch(signal_watch* w) {
  return pthread_create(&w->thread, nullptr, signal_main, w) == 0;
}

void end_watch(signal_watch* w) {
  w->ending.store(true, std::memory_order_release);
  pthread_kill(w->thread, kWakeSignal);
  pthread_join(w->thread, nullptr);
}

// Buffers of 256 KiB and more (a large result file, a program's output) are
// mapped from the kernel and given back when freed. Left to itself the
// allocator raises that bound after the first such buffer is freed and keeps
// the memory in the arena of each connection thread that ever held one, so
// the agent's resident size would grow with the threads it has run.
static void settle_heap() {
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

// Signals must already be blocked through w.
int run_app(kservice_app* app, signal_watch* w) {
  settle_heap();
  app->banner_start(app);
  uint32_t rc = app->init(app);
  if (rc == 0) {
    // Signals that came during init stay pending and reach the watch now.
    bool watching = start_watch(w);
    // Without the signal thread nothing could take the stop signals, and run
    // would never end: let them act as they do by default instead.
    if (!watching) pthread_sigmask(SIG_UNBLOCK, &w->set, nullptr);
    rc = app->run(app);
    // No stop may run while cleanup releases what stop touches.
    if (watching) end_watch(w);
    app->cleanup(app);
  }
  app->banner_stop(app);
  // The mask stays: a stop signal that came during cleanup is dropped with
  // the process instead of killing it with the signal's default action.
  return static_cast<int>(rc);
}

}  // namespace

int kservice_sys_console(kservice_app* app) {
  signal_watch w;
  block_signals(&w, app, false);
  return run_app(app, &w);
}

int kservice_sys_service(kservice_app* app) {
  notify_setup();
  // A stop that comes right after the ready report must find the signals
  // blocked, not end the process with their default action.
  signal_watch w;
  block_signals(&w, app, true);
  notify_manager("READY=1");
  if (app->module_dir.length) {
    if (chdir(kstring_text(&app->module_dir)) != 0) {
      // Not fatal: relative paths then resolve against the manager's directory.
    }
  }
  return run_app(app, &w);
}

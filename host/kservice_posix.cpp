#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

// Sends one state line to the service manager (READY=1, STOPPING=1) when it
// asked for notifications; silently nothing otherwise.
static void notify_manager(const char* state) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (!path || !path[0]) return;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  size_t len = strlen(path);
  if (len >= sizeof addr.sun_path) return;
  memcpy(addr.sun_path, path, len);
  // A leading '@' names a socket in the abstract namespace.
  if (path[0] == '@') addr.sun_path[0] = '\0';
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  socklen_t alen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
  sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&addr), alen);
  close(fd);
}

namespace {

// Signal thread: stop requests arrive as signals and are taken with sigwait
// on a thread of their own, so that stop never runs inside a signal handler
// and never on the thread that runs init, run and cleanup. The wake signal
// ends the thread.
const int kWakeSignal = SIGUSR2;

struct signal_watch {
  kservice_app* app;
  bool service;  // service mode: terminate reports stopping; hang-up is ignored
  sigset_t set;
  pthread_t thread;
};

void* signal_main(void* p) {
  signal_watch* w = static_cast<signal_watch*>(p);
  for (;;) {
    int sig = 0;
    if (sigwait(&w->set, &sig) != 0) continue;
    if (sig == kWakeSignal) return nullptr;
    if (w->service && sig == SIGHUP) continue;  // a closed terminal does not stop a service
    if (w->service) notify_manager("STOPPING=1");
    w->app->stop(w->app);
  }
}

void block_signals(signal_watch* w) {
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
  pthread_kill(w->thread, kWakeSignal);
  pthread_join(w->thread, nullptr);
}

int run_app(kservice_app* app, bool service) {
  signal_watch w;
  w.app = app;
  w.service = service;
  block_signals(&w);
  app->banner_start(app);
  uint32_t rc = app->init(app);
  if (rc == 0) {
    // Signals that came during init stay pending and reach the watch now.
    bool watching = start_watch(&w);
    rc = app->run(app);
    // No stop may run while cleanup releases what stop touches.
    if (watching) end_watch(&w);
    app->cleanup(app);
  }
  app->banner_stop(app);
  // The mask stays: a stop signal that came during cleanup is dropped with
  // the process instead of killing it with the signal's default action.
  return static_cast<int>(rc);
}

}  // namespace

int kservice_sys_console(kservice_app* app) {
  return run_app(app, false);
}

int kservice_sys_service(kservice_app* app) {
  notify_manager("READY=1");
  if (app->module_dir.length) {
    if (chdir(kstring_text(&app->module_dir)) != 0) {
      // Not fatal: relative paths then resolve against the manager's directory.
    }
  }
  return run_app(app, true);
}

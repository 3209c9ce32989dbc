// The POSIX half of the test helpers: platform facts, temporary directories,
// processes (through /proc, fork and exec) and socket primitives.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testutil {

// Names differing in case only are different files; a rename may replace an
// open file; /proc is there; a connection reset before its accept is accepted.
inline const bool kCaseSensitiveNames = true, kReplaceWhileOpen = true, kProcFiles = true,
                  kAcceptsResetConnections = true;
inline const int kLoadScale = 1;  // load tests divide their counts by it
inline const std::string kTextEol = "\n";

using sock_t = int;
inline const int kSockCloexec = SOCK_CLOEXEC, kSendFlags = MSG_NOSIGNAL;

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline bool wait_until(const std::function<bool()>& pred, int timeout_ms);

// A new directory under $TMPDIR (or /tmp); empty when none could be made.
inline std::string make_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vardo-test-XXXXXX";
  return mkdtemp(tmpl.data()) ? tmpl : std::string();
}

inline bool file_exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

inline void set_mtime(const std::string& path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline void close_socket(int fd) {
  close(fd);
}
inline void shutdown_write(int fd) {
  shutdown(fd, SHUT_WR);
}
inline bool socket_pair(int sv[2]) {
  return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0;
}
inline bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) > 0;
}

// Open descriptors of this process; -1 when they cannot be read.
inline int count_fds() {
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc/self/fd", ec);
  return ec ? -1 : static_cast<int>(std::distance(it, {}));
}

// Calls fn with each process id and its /proc/<pid>/ prefix.
inline void for_each_process(const std::function<void(pid_t, const std::string&)>& fn) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") == std::string::npos)
      fn(static_cast<pid_t>(std::stol(name)), "/proc/" + name + "/");
  }
}

// The processes whose parent is pid, zombies included.
inline std::vector<pid_t> child_pids(pid_t pid) {
  std::vector<pid_t> kids;
  for_each_process([&](pid_t p, const std::string& dir) {
    std::string stat = read_file(dir + "stat");  // "pid (comm) state ppid ...", comm any text
    long ppid = 0;
    if (sscanf(&stat[stat.rfind(')') + 1], " %*c %ld", &ppid) == 1 && ppid == pid)
      kids.push_back(p);
  });
  return kids;
}

// How many living processes have arg as one of their arguments (a zombie has none).
inline int processes_with_arg(const std::string& arg) {
  int n = 0;
  for_each_process([&](pid_t, const std::string& dir) {
    n += ('\0' + read_file(dir + "cmdline")).find('\0' + arg + '\0') != std::string::npos;
  });
  return n;
}

// A child process whose output and errors go to a file: no full pipe can block it.
class Child {
 public:
  Child() = default;
  ~Child() { kill_and_reap(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool start(const std::vector<std::string>& argv, const std::string& dir,
             const std::string& out_path) {
    kill_and_reap();
    reaped_ = false;
    out_path_ = out_path;
    // Built before fork: the child may make only async-signal-safe calls.
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if ((pid_ = fork()) != 0) return pid_ > 0;
    setpgid(0, 0);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (int to : {1, 2, 0})
      if ((to ? out : in) >= 0) dup2(to ? out : in, to);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(args[0], args.data());
    _exit(127);
  }

  pid_t pid() const { return pid_; }
  void signal(int sig) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
  }
  std::string output() const { return read_file(out_path_); }

  // Waits up to timeout_ms for the exit; true with the status when it came.
  bool wait_exit(int timeout_ms, int* status) {
    auto reaped = [&] { return reaped_ || (reaped_ = waitpid(pid_, &status_, WNOHANG) == pid_); };
    bool done = wait_until(reaped, timeout_ms);
    if (done && status) *status = status_;
    return done;
  }

  void kill_and_reap() {
    if (pid_ <= 0 || reaped_) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    reaped_ = true;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string out_path_;
};

}  // namespace testutil

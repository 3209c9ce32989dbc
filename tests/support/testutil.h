// Helpers shared by the test binaries: temporary directories, whole-file
// reads and writes, bounded waits, and child processes with captured output.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vardo-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    char* p = mkdtemp(buf.data());
    path_ = p ? p : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline void append_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << content;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool file_exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// Polls pred every 20 ms until it holds or timeout_ms passed.
inline bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Waits until the agent's log at log_path names the loopback listener it
// created ("created listener 127.0.0.1:<port>", the port the system chose for
// an endpoint with port 0) and stores that port.
inline bool wait_listener_port(const std::string& log_path, uint16_t* port,
                               int timeout_ms = 10000) {
  static const std::regex kListener("created listener 127\\.0\\.0\\.1:(\\d+)\n");
  return wait_until(
      [&] {
        std::string text = read_file(log_path);
        std::smatch m;
        if (!std::regex_search(text, m, kListener)) return false;
        *port = static_cast<uint16_t>(std::stoi(m[1]));
        return true;
      },
      timeout_ms);
}

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// ---- processes seen through /proc ----

// Open descriptors of a process (0: this one); -1 when they cannot be read.
inline int count_fds(pid_t pid = 0) {
  std::string dir = pid ? "/proc/" + std::to_string(pid) + "/fd" : std::string("/proc/self/fd");
  std::error_code ec;
  int n = 0;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    ++n;
  return ec ? -1 : n;
}

// The processes whose parent is pid, zombies included.
inline std::vector<pid_t> child_pids(pid_t pid) {
  std::vector<pid_t> kids;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // "pid (comm) state ppid ...": the name may hold blanks and parentheses.
    std::string stat = read_file(it->path().string() + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream rest(stat.substr(paren + 1));
    std::string state;
    long ppid = 0;
    if (rest >> state >> ppid && ppid == pid) kids.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return kids;
}

// Gone or dead: a killed orphan may wait as a zombie for its new parent.
inline bool process_gone(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
}

// A child process with standard output (and error) captured into a file, so
// that a test never blocks on a full pipe.
class Child {
 public:
  Child() = default;
  ~Child() { kill_and_reap(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts argv[0] with argv in dir; extra_env entries are "NAME=value".
  bool start(const std::vector<std::string>& argv, const std::string& dir,
             const std::string& out_path, const std::vector<std::string>& extra_env = {},
             const std::vector<std::string>& unset_env = {}) {
    kill_and_reap();
    reaped_ = false;
    status_ = 0;
    out_path_ = out_path;
    // Everything the child needs is built before fork: between fork and exec
    // a child of a threaded process may only make async-signal-safe calls.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      std::string name = entry.substr(0, entry.find('='));
      bool drop = false;
      for (const auto& u : unset_env) drop = drop || u == name;
      for (const auto& x : extra_env) drop = drop || x.substr(0, x.find('=')) == name;
      if (!drop) env.push_back(entry);
    }
    for (const auto& x : extra_env) env.push_back(x);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      setpgid(0, 0);
      int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
      }
      int devnull = open("/dev/null", O_RDONLY);
      if (devnull >= 0) {
        dup2(devnull, 0);
        close(devnull);
      }
      if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    return true;
  }

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && !reaped_; }
  void signal(int sig) {
    if (running()) ::kill(pid_, sig);
  }
  std::string output() const { return read_file(out_path_); }

  // Waits up to timeout_ms for the exit; true with the status when it came.
  bool wait_exit(int timeout_ms, int* status) {
    bool done = wait_until(
        [&] {
          if (reaped_) return true;
          int st = 0;
          pid_t r = waitpid(pid_, &st, WNOHANG);
          if (r == pid_) {
            reaped_ = true;
            status_ = st;
          }
          return reaped_;
        },
        timeout_ms);
    if (done && status) *status = status_;
    return done;
  }

  void kill_and_reap() {
    if (pid_ > 0 && !reaped_) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      int st;
      waitpid(pid_, &st, 0);
      reaped_ = true;
    }
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string out_path_;
};

// ---- raw TCP on 127.0.0.0/8, for tests that check bytes on the wire ----

// A connected TCP socket to address:port, optionally from a given local
// address (any 127.x.y.z is local); -1 on failure.
inline int tcp_connect(uint16_t port, const char* address = "127.0.0.1",
                       const char* from = nullptr) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  if (from) {
    sa.sin_port = 0;
    inet_pton(AF_INET, from, &sa.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      close(fd);
      return -1;
    }
  }
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address, &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

inline bool send_all(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// Receives until count bytes arrived, the peer closed, or timeout_ms passed
// without data; returns what arrived.
inline std::string recv_upto(int fd, size_t count, int timeout_ms) {
  std::string out;
  char buf[65536];
  while (out.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) break;
    ssize_t n = recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// True when the peer closes the connection within timeout_ms; data that
// arrives meanwhile is appended to *data when given.
inline bool wait_closed(int fd, int timeout_ms, std::string* data = nullptr) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return true;  // closed (or reset)
    if (data) data->append(buf, static_cast<size_t>(n));
  }
}

}  // namespace testutil

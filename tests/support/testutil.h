// Helpers shared by the test binaries: temporary directories, whole-file
// reads and writes, bounded waits, and child processes with captured output.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
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

}  // namespace testutil

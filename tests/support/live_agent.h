// The real agent run as a program: a copy in a directory of its own beside its
// vardo.conf, started with "-start", its port read from the log, stopped with
// SIGINT or killed, every wait bounded; file and /proc readings. POSIX only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace liveagent {

// The whole file; empty when it cannot be read.
inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool write_text(const std::string& path, const std::string& text) {
  return static_cast<bool>(std::ofstream(path, std::ios::binary) << text << std::flush);
}

// A figure of /proc/<pid>/status ("VmRSS:", "VmHWM:" in KiB, "Threads:");
// -1 when the process cannot be read.
inline long proc_status(pid_t pid, const char* key) {
  std::string text = "\n" + read_text("/proc/" + std::to_string(pid) + "/status");
  size_t at = text.find("\n" + std::string(key));
  return at == std::string::npos ? -1 : atol(text.c_str() + at + 1 + strlen(key));
}

// One agent, killed by the destructor if still running. Only port() may be
// called from another thread.
class Agent {
 public:
  ~Agent() {
    kill_now();
    std::error_code ec;
    if (remove_dir && !dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  int death_signal = SIGKILL;  // sent to the agent should its starting thread end first
  bool remove_dir = false;     // whether the destructor removes the directory

  // Copies exe into dir (made with subdirs) as "vardo"; call it before other
  // threads fork: a copy open for writing in a forked child cannot be run.
  bool install(const std::string& exe, const std::string& dir,
               const std::vector<std::string>& subdirs = {}) {
    namespace fs = std::filesystem;
    dir_ = dir;
    std::error_code ec;
    fs::create_directories(dir, ec);
    for (const auto& d : subdirs) fs::create_directories(path(d), ec);
    if (!ec) fs::copy_file(exe, path("vardo"), fs::copy_options::overwrite_existing, ec);
    return !ec && chmod(path("vardo").c_str(), 0755) == 0;
  }

  // Writes vardo.conf, starts "vardo -start" (output to console.txt); true once
  // the new log names the listener and " SMTSVR up" (" LWATCH up" with lwatch).
  bool start(const std::string& conf, bool lwatch = false, int timeout_ms = 20000) {
    kill_now();
    if (!write_text(path("vardo.conf"), conf)) return false;
    const size_t seen = log().size();
    // Built before fork; without these two the agent is no service.
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
      if (strncmp(*e, "NOTIFY_SOCKET=", 14) != 0 && strncmp(*e, "INVOCATION_ID=", 14) != 0)
        envp.push_back(*e);
    envp.push_back(nullptr);
    std::string exe = path("vardo"), verb = "-start", console_path = path("console.txt");
    char* argv[] = {exe.data(), verb.data(), nullptr};
    const pid_t parent = getpid();
    const int death = death_signal;
    pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, death);
      if (getppid() != parent) _exit(126);  // the starter is already gone
      int out = open(console_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (out < 0 || in < 0 || chdir(dir_.c_str()) != 0) _exit(126);
      dup2(out, 1), dup2(out, 2), dup2(in, 0);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execve(argv[0], argv, envp.data());
      _exit(127);
    }
    if (pid < 0) return false;
    pid_ = pid, exited_ = false;
    const std::string kListener = "created listener 127.0.0.1:";
    std::string text;
    size_t at = std::string::npos;
    wait_for(timeout_ms, [&] {
      text = log().substr(seen);
      at = text.find(kListener);
      return !running() || (at != std::string::npos && text.find('\n', at) != std::string::npos &&
                            text.find(" SMTSVR up\n") != std::string::npos &&
                            (!lwatch || text.find(" LWATCH up\n") != std::string::npos));
    });
    if (running() && at != std::string::npos)
      port_.store(static_cast<uint16_t>(atoi(text.c_str() + at + kListener.size())));
    if (port_.load() == 0) kill_now();
    return port_.load() != 0;
  }

  // SIGINT, then up to timeout_ms for the exit (else a kill); true when it came.
  bool stop(int timeout_ms = 20000) {
    port_.store(0);
    if (running()) kill(pid_, SIGINT);
    if (wait_for(timeout_ms, [&] { return !running(); })) return true;
    kill_now();
    return false;
  }

  void kill_now() {
    port_.store(0);
    if (pid_ <= 0 || exited_) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    exited_ = true;
  }

  bool running() {
    int status = 0;
    if (pid_ > 0 && !exited_ && waitpid(pid_, &status, WNOHANG) == pid_)
      exited_ = true, status_ = status;
    return pid_ > 0 && !exited_;
  }
  // Whether it exited with 0 (a sanitizer's report makes it non-zero).
  bool clean() const { return exited_ && WIFEXITED(status_) && WEXITSTATUS(status_) == 0; }
  int status() const { return status_; }
  pid_t pid() const { return pid_; }
  uint16_t port() const { return port_.load(); }
  const std::string& dir() const { return dir_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string log() const { return read_text(path("vardo.log")); }
  std::string console() const { return read_text(path("console.txt")); }

 private:
  // Polls pred every 20 ms until it holds or ms have passed.
  template <class Pred>
  static bool wait_for(int ms, Pred pred) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool held;
    while (!(held = pred()) && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return held;
  }

  std::string dir_;
  pid_t pid_ = -1;
  bool exited_ = true;
  int status_ = 0;
  std::atomic<uint16_t> port_{0};
};

}  // namespace liveagent

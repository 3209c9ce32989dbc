// Helpers shared by the test binaries: temporary directories, whole-file
// reads and writes, bounded waits and plain TCP connections.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// The platform's half gives make_temp_dir, read_file, file_exists, set_mtime,
// the socket primitives and the platform facts the tests branch on.
#include "testutil_sys.h"

namespace testutil {

// A fresh directory (make_temp_dir), removed with its contents.
class TempDir {
 public:
  TempDir() : path_(make_temp_dir()) {}
  ~TempDir() { std::filesystem::remove_all(path_, ec_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::error_code ec_;
};

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline void append_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::app) << content;
}

// A file written in text mode, its line ends (kTextEol) read back as LF.
inline std::string read_text(const std::string& path) {
  std::string text = read_file(path), out;
  for (size_t i = 0; i < text.size(); ++i)
    if (kTextEol == "\n" || text.compare(i, 2, "\r\n") != 0) out += text[i];
  return out;
}

// Whether symbolic links can be made here (not under Wine).
inline bool symlinks_work() {
  TempDir dir;
  std::error_code ec;
  std::filesystem::create_symlink(dir.file("target"), dir.file("link"), ec);
  return !ec;
}

// Polls pred every 20 ms until it holds or timeout_ms passed.
inline bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool held;
  while (!(held = pred()) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return held;
}

// How often piece occurs in text, overlapping occurrences included.
inline size_t count_in(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

inline long recv_some(int fd, char* buf, size_t size) {
  return recv(static_cast<sock_t>(fd), buf, static_cast<int>(size), 0);
}
inline long send_some(int fd, const char* data, size_t size) {
  return send(static_cast<sock_t>(fd), data, static_cast<int>(size), kSendFlags);
}

// true when Nagle's delay is off on the socket.
inline bool tcp_nodelay(intptr_t handle) {
  int on = 0;
  socklen_t len = sizeof on;
  return getsockopt(static_cast<sock_t>(handle), IPPROTO_TCP, TCP_NODELAY,
                    reinterpret_cast<char*>(&on), &len) == 0 &&
         on != 0;
}

// Closes with a reset instead of an orderly end.
inline void close_with_reset(int fd) {
  linger reset = {1, 0};
  setsockopt(static_cast<sock_t>(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
             sizeof reset);
  close_socket(fd);
}

// A TCP connection to address:port, from a local 127.x.y.z when given; -1 on failure.
inline int tcp_connect(uint16_t port, const char* address = "127.0.0.1",
                       const char* from = nullptr) {
  int fd = static_cast<int>(socket(AF_INET, SOCK_STREAM | kSockCloexec, 0)), one = 1;
  sockaddr_in local{}, peer{};
  local.sin_family = peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  inet_pton(AF_INET, address, &peer.sin_addr);
  if (from) inet_pton(AF_INET, from, &local.sin_addr);
  if (fd >= 0 && (!from || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) &&
      connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 &&
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) ==
          0)
    return fd;
  if (fd >= 0) close_socket(fd);
  return -1;
}

inline bool send_all(int fd, const std::string& bytes) {
  long n = 0;
  for (size_t at = 0; at < bytes.size(); at += static_cast<size_t>(n))
    if ((n = send_some(fd, bytes.data() + at, bytes.size() - at)) <= 0) return false;
  return true;
}

// What arrives until count bytes did, the peer closes or timeout_ms pass without data.
inline std::string recv_upto(int fd, size_t count, int timeout_ms) {
  std::string out;
  char buf[65536];
  for (long n = 1; out.size() < count && n > 0 && readable(fd, timeout_ms);)
    if ((n = recv_some(fd, buf, std::min(sizeof buf, count - out.size()))) > 0)
      out.append(buf, static_cast<size_t>(n));
  return out;
}

// True when the peer closes within timeout_ms; what arrives meanwhile goes to *data.
inline bool wait_closed(int fd, int timeout_ms, std::string* data = nullptr) {
  using namespace std::chrono;
  auto end = steady_clock::now() + milliseconds(timeout_ms);
  char buf[4096];
  for (long n = 1; n > 0;) {  // 0: closed, below: reset
    int left = static_cast<int>(duration_cast<milliseconds>(end - steady_clock::now()).count());
    if (left <= 0 || !readable(fd, left)) return false;
    if ((n = recv_some(fd, buf, sizeof buf)) > 0 && data) data->append(buf, static_cast<size_t>(n));
  }
  return true;
}

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace testutil

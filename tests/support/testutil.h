// Helpers shared by the test binaries: temporary directories, whole-file
// reads and writes, bounded waits, and child processes with captured output.
#pragma once

#include <algorithm>
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

// The platform's half: temporary directories, file existence, processes
// and plain TCP connections (tests/support/<platform>/testutil_sys.h).
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
  std::string text = read_file(path);
  if (kTextEol == "\n") return text;
  std::string out;
  for (size_t at = 0; at < text.size();) {
    if (text.compare(at, kTextEol.size(), kTextEol) == 0) {
      out += '\n';
      at += kTextEol.size();
    } else {
      out += text[at++];
    }
  }
  return out;
}

// Whether the file system here makes symbolic links (Windows without the
// right to make them, Wine: no).
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

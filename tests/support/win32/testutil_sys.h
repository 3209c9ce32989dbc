// The Windows half of the test helpers: temporary directories and plain TCP
// connections on Windows Sockets (started once for the whole test program).
#pragma once

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

namespace testutil {

// The line end that text-mode files get.
inline const std::string kTextEol = "\r\n";

// A new directory under the user's temporary directory; empty when none
// could be made.
inline std::string make_temp_dir() {
  static std::atomic<unsigned> serial{0};
  char base[MAX_PATH];
  DWORD n = GetTempPathA(sizeof base, base);
  std::string dir = n ? std::string(base, n) : std::string(".\\");
  for (int tries = 0; tries < 100; ++tries) {
    std::string path = dir + "vardo-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(serial.fetch_add(1)) + "-" + std::to_string(GetTickCount());
    if (CreateDirectoryA(path.c_str(), nullptr)) {
      std::replace(path.begin(), path.end(), '\\', '/');
      return path;
    }
  }
  return std::string();
}

inline bool file_exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Windows Sockets for the helpers below and for tests that call the socket
// layer without the program's start-up.
struct SocketLibrary {
  SocketLibrary() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~SocketLibrary() { WSACleanup(); }
};
inline SocketLibrary socket_library;

inline void close_socket(int fd) {
  closesocket(static_cast<SOCKET>(fd));
}

// A TCP connection to address:port, from a local 127.x.y.z when given; -1 on failure.
inline int tcp_connect(uint16_t port, const char* address = "127.0.0.1",
                       const char* from = nullptr) {
  SOCKET fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd == INVALID_SOCKET) return -1;
  BOOL one = TRUE;
  sockaddr_in local{}, peer{};
  local.sin_family = peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = inet_addr(address);
  if (from) local.sin_addr.s_addr = inet_addr(from);
  if ((!from || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) &&
      connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 &&
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) ==
          0)
    return static_cast<int>(fd);
  closesocket(fd);
  return -1;
}

inline bool send_all(int fd, const std::string& bytes) {
  int n = 0;
  for (size_t at = 0; at < bytes.size(); at += static_cast<size_t>(n))
    if ((n = send(static_cast<SOCKET>(fd), bytes.data() + at, static_cast<int>(bytes.size() - at),
                  0)) <= 0)
      return false;
  return true;
}

inline bool readable(int fd, int timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(fd), &set);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &tv) > 0;
}

// What arrives until count bytes did, the peer closes or timeout_ms pass without data.
inline std::string recv_upto(int fd, size_t count, int timeout_ms) {
  std::string out;
  char buf[65536];
  while (out.size() < count && readable(fd, timeout_ms)) {
    int n = recv(static_cast<SOCKET>(fd), buf,
                 static_cast<int>(std::min(sizeof buf, count - out.size())), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// True when the peer closes within timeout_ms; what arrives meanwhile goes to *data.
inline bool wait_closed(int fd, int timeout_ms, std::string* data = nullptr) {
  using namespace std::chrono;
  auto end = steady_clock::now() + milliseconds(timeout_ms);
  char buf[4096];
  for (int n = 1; n > 0;) {  // 0: closed, below: reset
    int left = static_cast<int>(duration_cast<milliseconds>(end - steady_clock::now()).count());
    if (left <= 0 || !readable(fd, left)) return false;
    if ((n = recv(static_cast<SOCKET>(fd), buf, sizeof buf, 0)) > 0 && data)
      data->append(buf, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace testutil

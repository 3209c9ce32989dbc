// The Windows half of the test helpers: platform facts, temporary directories
// and the socket primitives testutil.h builds on (Windows Sockets, started
// once for the whole test program).
#pragma once

#include <process.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace testutil {

inline const bool kCaseSensitiveNames = false, kProcFiles = false, kAcceptsResetConnections = false;
// Not with the classic rename that Wine offers: the agent tries again for a
// second, then reports the write as failed.
inline const bool kReplaceWhileOpen = false;
// Under Wine every connection costs several round trips to its server.
inline const int kLoadScale = 20;
inline const std::string kTextEol = "\r\n";

using sock_t = SOCKET;
inline const int kSockCloexec = 0, kSendFlags = 0;

// Open handles cannot be told from the system's own (-1: cannot be read); the
// job object of each run ends what a program leaves: no child is counted.
inline int count_fds() {
  return -1;
}
inline std::vector<int> child_pids(int) {
  return {};
}

// The whole file, all sharing granted as other readers do; empty when unreadable.
inline std::string read_file(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::string();
  std::string out;
  char buf[65536];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  CloseHandle(h);
  return out;
}

// A new directory under the user's temporary directory; empty when none could be made.
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

inline void set_mtime(const std::string& path, time_t seconds) {
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  ULARGE_INTEGER t;
  t.QuadPart = (static_cast<uint64_t>(seconds) + 11644473600ull) * 10000000ull;
  FILETIME ft = {t.LowPart, t.HighPart};
  SetFileTime(h, nullptr, &ft, &ft);
  CloseHandle(h);
}

// For the helpers and for tests that call the socket layer without the program's start-up.
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

inline void shutdown_write(int fd) {
  shutdown(static_cast<SOCKET>(fd), SD_SEND);
}

inline int tcp_connect(uint16_t port, const char* address, const char* from);

// Two connected stream sockets, over loopback (no local sockets here).
inline bool socket_pair(int sv[2]) {
  SOCKET l = socket(AF_INET, SOCK_STREAM, 0), s = INVALID_SOCKET;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  if (l != INVALID_SOCKET && bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      listen(l, 1) == 0 && getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
      (sv[1] = tcp_connect(ntohs(a.sin_port), "127.0.0.1", nullptr)) >= 0 &&
      (s = accept(l, nullptr, nullptr)) == INVALID_SOCKET)
    closesocket(static_cast<SOCKET>(sv[1]));
  if (l != INVALID_SOCKET) closesocket(l);
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  sv[0] = static_cast<int>(s);
  return s != INVALID_SOCKET;
}

inline bool readable(int fd, int timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(fd), &set);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &tv) > 0;
}

}  // namespace testutil

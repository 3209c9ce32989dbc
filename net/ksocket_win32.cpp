// The socket layer on Windows Sockets, started as version 1.1. Readiness
// waits use select, whose sets hold KSOCKET_SET_WAIT_MAX sockets. Sockets are
// made non-inheritable at once: programs that the agent starts must not keep
// its listeners and connections open.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "klib/kerror.h"
#include "net/ksocket.h"
#include "net/ksocket_sys.h"

static uint32_t ksocket_translate(int err) {
  switch (err) {
    case WSAEINTR:
      return KERR_INTR;
    case WSAEMFILE:
      return KERR_MFILE;
    case WSAEWOULDBLOCK:
      return KERR_WOULDBLOCK;
    case WSAEINPROGRESS:
      return KERR_INPROGRESS;
    case WSAENOTSOCK:
      return KERR_NOTSOCK;
    case WSAEAFNOSUPPORT:
      return KERR_AFNOSUPPORT;
    case WSAENETDOWN:
      return KERR_NETDOWN;
    case WSAENOBUFS:
      return KERR_NOBUFS;
    case WSAENOTCONN:
      return KERR_NOTCONN;
    case WSAETIMEDOUT:
      return KERR_TIMEOUT;
    case WSAVERNOTSUPPORTED:
      return KERR_VERSION;
    case WSANOTINITIALISED:
      return KERR_NOTINITIALISED;
    default:
      return KERR_FAILED;
  }
}

// Read right after the failing call, on the same thread.
static uint32_t ksocket_last_error() {
  return ksocket_translate(WSAGetLastError());
}

static SOCKET sock_of(const ksocket* s) {
  return static_cast<SOCKET>(s->handle);
}

static void keep_from_children(SOCKET fd) {
  SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
}

// inet_addr's failure value is also 255.255.255.255: that text is no address.
static int parse_address(const kstring* address, struct sockaddr_in* out) {
  unsigned long a = inet_addr(kstring_text(address));
  if (a == INADDR_NONE) return 0;
  memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_addr.s_addr = a;
  return 1;
}

static uint32_t name_to_text(const struct sockaddr_in* sa, kstring* address, uint16_t* port) {
  *port = ntohs(sa->sin_port);
  return ksocket_ip_text(sa->sin_addr.s_addr, address);
}

static void set_nodelay(SOCKET fd) {
  // Fails harmlessly on sockets that are not TCP.
  BOOL one = TRUE;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

uint32_t ksocket_libinit() {
  WSADATA data;
  int rc = WSAStartup(MAKEWORD(1, 1), &data);
  if (rc != 0) return ksocket_translate(rc);
  if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
    WSACleanup();
    return KERR_VERSION;
  }
  return 0;
}

void ksocket_libcleanup() {
  WSACleanup();
}

uint32_t ksocket_init(ksocket* s) {
  s->handle = -1;
  return 0;
}

void ksocket_free(ksocket*) {}

uint32_t ksocket_create(ksocket* s, uint32_t kind, uint32_t protocol) {
  static const int kTypes[] = {SOCK_STREAM, SOCK_DGRAM, SOCK_RAW};
  if (kind > 2) return KERR_FAILED;
  int proto = 0;
  if (protocol == KSOCKET_PROTO_ICMP) proto = IPPROTO_ICMP;
  if (protocol == KSOCKET_PROTO_TCP) proto = IPPROTO_TCP;
  if (protocol == KSOCKET_PROTO_UDP) proto = IPPROTO_UDP;
  SOCKET fd = socket(AF_INET, kTypes[kind], proto);
  if (fd == INVALID_SOCKET) return ksocket_last_error();
  keep_from_children(fd);
  s->handle = static_cast<intptr_t>(fd);
  return 0;
}

uint32_t ksocket_close(ksocket* s) {
  if (closesocket(sock_of(s)) != 0) return ksocket_last_error();
  return 0;
}

uint32_t ksocket_shutdown(ksocket* s) {
  if (shutdown(sock_of(s), SD_BOTH) != 0) return ksocket_last_error();
  return 0;
}

static uint32_t set_flag(ksocket* s, bool nonblocking) {
  u_long on = nonblocking ? 1 : 0;
  if (ioctlsocket(sock_of(s), FIONBIO, &on) != 0) return ksocket_last_error();
  return 0;
}

uint32_t ksocket_set_blocking(ksocket* s) {
  return set_flag(s, false);
}

uint32_t ksocket_set_nonblocking(ksocket* s) {
  return set_flag(s, true);
}

static uint32_t set_linger(ksocket* s, u_short on, uint16_t seconds) {
  struct linger l;
  l.l_onoff = on;
  l.l_linger = seconds;
  if (setsockopt(sock_of(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) !=
      0)
    return ksocket_last_error();
  return 0;
}

uint32_t ksocket_set_linger(ksocket* s, uint16_t seconds) {
  return set_linger(s, 1, seconds);
}

uint32_t ksocket_clear_linger(ksocket* s) {
  return set_linger(s, 0, 0);
}

uint32_t ksocket_set_recv_timeout(ksocket* s, uint32_t ms) {
  DWORD v = ms;
  if (setsockopt(sock_of(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v),
                 sizeof v) != 0)
    return ksocket_last_error();
  return 0;
}

uint32_t ksocket_bind(ksocket* s, const kstring* address, uint16_t port) {
  struct sockaddr_in sa;
  if (address->length == 0) {
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (!parse_address(address, &sa)) {
    return KERR_NOTADDRESS;
  }
  sa.sin_port = htons(port);
  if (bind(sock_of(s), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0)
    return ksocket_last_error();
  return 0;
}

uint32_t ksocket_connect(ksocket* s, const kstring* address, uint16_t port) {
  struct sockaddr_in sa;
  if (!parse_address(address, &sa)) return KERR_NOTADDRESS;
  sa.sin_port = htons(port);
  if (connect(sock_of(s), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0)
    return ksocket_last_error();
  set_nodelay(sock_of(s));
  return 0;
}

uint32_t ksocket_set_reuse_address(ksocket*) {
  // On Windows SO_REUSEADDR lets a second listener take a bound endpoint
  // away; an endpoint in TIME_WAIT can be bound again without it.
  return 0;
}

uint32_t ksocket_listen(ksocket* s) {
  if (listen(sock_of(s), KSOCKET_BACKLOG) != 0) return ksocket_last_error();
  return 0;
}

uint32_t ksocket_accept(ksocket* listener, ksocket* out) {
  SOCKET fd = accept(sock_of(listener), nullptr, nullptr);
  if (fd == INVALID_SOCKET) return ksocket_last_error();
  keep_from_children(fd);
  set_nodelay(fd);
  out->handle = static_cast<intptr_t>(fd);
  return 0;
}

uint32_t ksocket_accept_peer(ksocket* listener, ksocket* out, kstring* address, uint16_t* port) {
  struct sockaddr_in sa;
  int len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  SOCKET fd = accept(sock_of(listener), reinterpret_cast<struct sockaddr*>(&sa), &len);
  // A connection reset while it waited is dropped by the system here: for
  // the caller there was nothing to accept after all. Windows says so with
  // WSAECONNRESET, Wine with WSAENOTCONN (the peer's address is gone).
  if (fd == INVALID_SOCKET) {
    int e = WSAGetLastError();
    return e == WSAECONNRESET || e == WSAENOTCONN ? KERR_WOULDBLOCK : ksocket_translate(e);
  }
  keep_from_children(fd);
  set_nodelay(fd);
  out->handle = static_cast<intptr_t>(fd);
  uint32_t rc = name_to_text(&sa, address, port);
  if (!rc) rc = ksocket_set_nonblocking(out);
  if (rc) closesocket(fd);
  return rc;
}

static uint32_t io_result(int n, uint32_t* count) {
  if (n == SOCKET_ERROR) {
    uint32_t rc = ksocket_last_error();
    *count = 0;
    return rc;
  }
  *count = static_cast<uint32_t>(n);
  return n == 0 ? KERR_FAILED : 0;
}

uint32_t ksocket_recv(ksocket* s, void* buf, uint32_t* count) {
  return io_result(recv(sock_of(s), static_cast<char*>(buf), static_cast<int>(*count), 0), count);
}

uint32_t ksocket_recvfrom(ksocket* s, void* buf, uint32_t* count, kstring* address,
                          uint16_t* port) {
  struct sockaddr_in sa;
  int len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  int n = recvfrom(sock_of(s), static_cast<char*>(buf), static_cast<int>(*count), 0,
                   reinterpret_cast<struct sockaddr*>(&sa), &len);
  uint32_t rc = io_result(n, count);
  if (n > 0) name_to_text(&sa, address, port);
  return rc;
}

uint32_t ksocket_send(ksocket* s, const void* bytes, uint32_t* count) {
  return io_result(send(sock_of(s), static_cast<const char*>(bytes), static_cast<int>(*count), 0),
                   count);
}

uint32_t ksocket_sendto(ksocket* s, const void* bytes, uint32_t* count, const kstring* address,
                        uint16_t port) {
  struct sockaddr_in sa;
  if (!parse_address(address, &sa)) {
    *count = 0;
    return KERR_NOTADDRESS;
  }
  sa.sin_port = htons(port);
  int n = sendto(sock_of(s), static_cast<const char*>(bytes), static_cast<int>(*count), 0,
                 reinterpret_cast<const struct sockaddr*>(&sa), sizeof sa);
  return io_result(n, count);
}

// Both vectored operations take at most this many pieces.
static const uint32_t kMaxBufs = 8;

static DWORD to_wsabuf(const ksocket_buf* bufs, uint32_t nbufs, WSABUF* out) {
  if (nbufs > kMaxBufs) nbufs = kMaxBufs;
  for (uint32_t i = 0; i < nbufs; ++i) {
    out[i].buf = static_cast<char*>(bufs[i].data);
    out[i].len = bufs[i].length;
  }
  return nbufs;
}

// Whether the socket is ready now, without waiting; so that the "now"
// operations never block a socket in blocking mode.
static bool ready_now(ksocket* s, uint32_t mode) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock_of(s), &set);
  struct timeval tv = {0, 0};
  int n = mode == KSOCKET_READ ? select(0, &set, nullptr, nullptr, &tv)
                               : select(0, nullptr, &set, nullptr, &tv);
  return n != 0;  // an error is reported by the transfer that follows
}

static uint32_t vector_io(ksocket* s, bool sending, const ksocket_buf* bufs, uint32_t nbufs,
                          uint32_t* count) {
  if (!ready_now(s, sending ? KSOCKET_WRITE : KSOCKET_READ)) {
    *count = 0;
    return KERR_WOULDBLOCK;
  }
  WSABUF wb[kMaxBufs];
  DWORD n = to_wsabuf(bufs, nbufs, wb);
  DWORD moved = 0;
  DWORD flags = 0;
  int rc = sending ? WSASend(sock_of(s), wb, n, &moved, 0, nullptr, nullptr)
                   : WSARecv(sock_of(s), wb, n, &moved, &flags, nullptr, nullptr);
  return io_result(rc == SOCKET_ERROR ? SOCKET_ERROR : static_cast<int>(moved), count);
}

uint32_t ksocket_recv_now(ksocket* s, const ksocket_buf* bufs, uint32_t nbufs, uint32_t* count) {
  return vector_io(s, false, bufs, nbufs, count);
}

uint32_t ksocket_send_now(ksocket* s, const ksocket_buf* bufs, uint32_t nbufs, uint32_t* count) {
  return vector_io(s, true, bufs, nbufs, count);
}

uint32_t ksocket_peek_now(ksocket* s, void* buf, uint32_t* count) {
  if (!ready_now(s, KSOCKET_READ)) {
    *count = 0;
    return KERR_WOULDBLOCK;
  }
  return io_result(recv(sock_of(s), static_cast<char*>(buf), static_cast<int>(*count), MSG_PEEK),
                   count);
}

static struct timeval split_timeout(uint32_t ms) {
  struct timeval tv;
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>(ms % 1000) * 1000;
  return tv;
}

uint32_t ksocket_wait(ksocket* s, uint32_t mode, uint32_t timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock_of(s), &set);
  struct timeval tv = split_timeout(timeout_ms);
  int n = mode == KSOCKET_READ ? select(0, &set, nullptr, nullptr, &tv)
                               : select(0, nullptr, &set, nullptr, &tv);
  if (n == SOCKET_ERROR) return ksocket_last_error();
  if (n == 0) return KERR_TIMEOUT;
  return 0;
}

uint32_t ksocket_sys_wait_set(ksocketset* set, uint32_t n, uint32_t timeout_ms, uint8_t* ready) {
  fd_set readable, writable;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  for (uint32_t i = 0; i < n; ++i) {
    FD_SET(sock_of(ksocketset_at(set, i)), &readable);
    FD_SET(sock_of(ksocketset_at(set, i)), &writable);
  }
  struct timeval tv = split_timeout(timeout_ms);
  int r = select(0, &readable, &writable, nullptr, &tv);
  if (r == SOCKET_ERROR) return ksocket_last_error();
  if (r == 0) return KERR_TIMEOUT;
  for (uint32_t i = 0; i < n; ++i) {
    SOCKET fd = sock_of(ksocketset_at(set, i));
    ready[i] = (FD_ISSET(fd, &readable) ? KSOCKET_READ : 0) |
               (FD_ISSET(fd, &writable) ? KSOCKET_WRITE : 0);
  }
  return 0;
}

uint32_t ksocket_sys_name(ksocket* s, int peer, uint32_t* ip, uint16_t* port) {
  struct sockaddr_in sa;
  int len = sizeof sa;
  auto* name = reinterpret_cast<struct sockaddr*>(&sa);
  if ((peer ? getpeername(sock_of(s), name, &len) : getsockname(sock_of(s), name, &len)) != 0)
    return ksocket_last_error();
  *ip = sa.sin_addr.s_addr;
  *port = ntohs(sa.sin_port);
  return 0;
}

uint32_t ksocket_hostname(kstring* out) {
  char name[KSOCKET_HOSTNAME_MAX];
  if (gethostname(name, sizeof name) != 0) return ksocket_last_error();
  name[sizeof name - 1] = '\0';
  if (!kstring_assign_cstr(out, name)) return KERR_NOMEM;
  return 0;
}

uint32_t ksocket_sys_resolve(const char* host, uint32_t* ips, uint32_t max, uint32_t* n) {
  struct hostent* h = gethostbyname(host);
  if (!h) return ksocket_last_error();
  if (h->h_addrtype != AF_INET) return KERR_FAILED;
  *n = 0;
  for (char** a = h->h_addr_list; *a && *n < max; ++a) memcpy(&ips[(*n)++], *a, sizeof ips[0]);
  return 0;
}

int ksocket_is_address(const kstring* address) {
  struct sockaddr_in sa;
  return parse_address(address, &sa);
}

uint32_t ksocket_unacked(ksocket* s, uint32_t* bytes) {
  int err = 0;
  int len = sizeof err;
  if (getsockopt(sock_of(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    return ksocket_last_error();
  if (err != 0) return ksocket_translate(err);
  // A reset connection has no peer any more.
  struct sockaddr_in sa;
  len = sizeof sa;
  if (getpeername(sock_of(s), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0)
    return ksocket_last_error();
  // Windows Sockets does not tell what the peer has acknowledged: what was
  // handed over counts as delivered.
  *bytes = 0;
  return 0;
}

// The socket layer on BSD sockets. Readiness waits use poll rather than
// select: same semantics, and no limit on descriptor numbers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "klib/kerror.h"
#include "net/ksocket.h"
#include "net/ksocket_sys.h"

static uint32_t ksocket_translate(int err) {
  switch (err) {
    case EINTR:
      return KERR_INTR;
    case EMFILE:
      return KERR_MFILE;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
      return KERR_WOULDBLOCK;
    case EINPROGRESS:
      return KERR_INPROGRESS;
    case ENOTSOCK:
      return KERR_NOTSOCK;
    case EAFNOSUPPORT:
      return KERR_AFNOSUPPORT;
    case ENETDOWN:
      return KERR_NETDOWN;
    case ENOBUFS:
      return KERR_NOBUFS;
    case ENOTCONN:
      return KERR_NOTCONN;
    case ETIMEDOUT:
      return KERR_TIMEOUT;
    default:
      return KERR_FAILED;
  }
}

// errno read right after the failing call, on the same thread.
static uint32_t ksocket_last_error() {
  return ksocket_translate(errno);
}

static int fd_of(const ksocket* s) {
  return static_cast<int>(s->handle);
}

// inet_addr's failure value is also 255.255.255.255: that text is no address.
static int parse_address(const kstring* address, struct sockaddr_in* out) {
  in_addr_t a = inet_addr(kstring_text(address));
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

static void set_nodelay(int fd) {
  // Fails harmlessly on sockets that are not TCP.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

uint32_t ksocket_libinit() {
  return 0;
}

void ksocket_libcleanup() {}

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
  // Close-on-exec: programs that the agent starts must not inherit its
  // listeners and connections.
  int fd = socket(AF_INET, kTypes[kind] | SOCK_CLOEXEC, proto);
  if (fd < 0) return ksocket_last_error();
  s->handle = fd;
  return 0;
}

uint32_t ksocket_close(ksocket* s) {
  if (close(fd_of(s)) != 0) return ksocket_last_error();
  return 0;
}

uint32_t ksocket_shutdown(ksocket* s) {
  if (shutdown(fd_of(s), SHUT_RDWR) != 0) return ksocket_last_error();
  return 0;
}

static uint32_t set_flag(ksocket* s, bool nonblocking) {
  int flags = fcntl(fd_of(s), F_GETFL);
  if (flags < 0) return ksocket_last_error();
  flags = nonblocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (fcntl(fd_of(s), F_SETFL, flags) != 0) return ksocket_last_error();
  return 0;
}

uint32_t ksocket_set_blocking(ksocket* s) {
  return set_flag(s, false);
}

uint32_t ksocket_set_nonblocking(ksocket* s) {
  return set_flag(s, true);
}

static uint32_t set_linger(ksocket* s, int on, uint16_t seconds) {
  struct linger l;
  l.l_onoff = on;
  l.l_linger = seconds;
  if (setsockopt(fd_of(s), SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return ksocket_last_error();
  return 0;
}

uint32_t ksocket_set_linger(ksocket* s, uint16_t seconds) {
  return set_linger(s, 1, seconds);
}

uint32_t ksocket_clear_linger(ksocket* s) {
  return set_linger(s, 0, 0);
}

uint32_t ksocket_set_recv_timeout(ksocket* s, uint32_t ms) {
  struct timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  if (setsockopt(fd_of(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
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
  if (bind(fd_of(s), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0)
    return ksocket_last_error();
  return 0;
}

uint32_t ksocket_connect(ksocket* s, const kstring* address, uint16_t port) {
  struct sockaddr_in sa;
  if (!parse_address(address, &sa)) return KERR_NOTADDRESS;
  sa.sin_port = htons(port);
  if (connect(fd_of(s), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0)
    return ksocket_last_error();
  set_nodelay(fd_of(s));
  return 0;
}

uint32_t ksocket_set_reuse_address(ksocket* s) {
  int one = 1;
  if (setsockopt(fd_of(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
    return ksocket_last_error();
  return 0;
}

uint32_t ksocket_listen(ksocket* s) {
  if (listen(fd_of(s), KSOCKET_BACKLOG) != 0) return ksocket_last_error();
  // Connections accepted from it inherit the option: ksocket_accept_peer
  // then needs no call of its own for it.
  set_nodelay(fd_of(s));
  return 0;
}

uint32_t ksocket_accept(ksocket* listener, ksocket* out) {
  int fd = accept4(fd_of(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return ksocket_last_error();
  set_nodelay(fd);
  out->handle = fd;
  return 0;
}

uint32_t ksocket_accept_peer(ksocket* listener, ksocket* out, kstring* address, uint16_t* port) {
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  int fd = accept4(fd_of(listener), reinterpret_cast<struct sockaddr*>(&sa), &len,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return ksocket_last_error();
  uint32_t rc = name_to_text(&sa, address, port);
  if (rc) {
    close(fd);
    return rc;
  }
  out->handle = fd;
  return 0;
}

static uint32_t recv_result(ssize_t n, uint32_t* count) {
  if (n < 0) {
    uint32_t rc = ksocket_last_error();
    *count = 0;
    return rc;
  }
  *count = static_cast<uint32_t>(n);
  return n == 0 ? KERR_FAILED : 0;
}

uint32_t ksocket_recv(ksocket* s, void* buf, uint32_t* count) {
  return recv_result(recv(fd_of(s), buf, *count, 0), count);
}

uint32_t ksocket_recvfrom(ksocket* s, void* buf, uint32_t* count, kstring* address,
                          uint16_t* port) {
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  ssize_t n = recvfrom(fd_of(s), buf, *count, 0, reinterpret_cast<struct sockaddr*>(&sa), &len);
  uint32_t rc = recv_result(n, count);
  if (n > 0) name_to_text(&sa, address, port);
  return rc;
}

uint32_t ksocket_send(ksocket* s, const void* bytes, uint32_t* count) {
  return recv_result(send(fd_of(s), bytes, *count, MSG_NOSIGNAL), count);
}

uint32_t ksocket_sendto(ksocket* s, const void* bytes, uint32_t* count, const kstring* address,
                        uint16_t port) {
  struct sockaddr_in sa;
  if (!parse_address(address, &sa)) {
    *count = 0;
    return KERR_NOTADDRESS;
  }
  sa.sin_port = htons(port);
  ssize_t n = sendto(fd_of(s), bytes, *count, MSG_NOSIGNAL,
                     reinterpret_cast<const struct sockaddr*>(&sa), sizeof sa);
  return recv_result(n, count);
}

// Both vectored operations take at most this many pieces.
static const uint32_t kMaxBufs = 8;

static uint32_t to_iovec(const ksocket_buf* bufs, uint32_t nbufs, struct iovec* iov) {
  if (nbufs > kMaxBufs) nbufs = kMaxBufs;
  for (uint32_t i = 0; i < nbufs; ++i) {
    iov[i].iov_base = bufs[i].data;
    iov[i].iov_len = bufs[i].length;
  }
  return nbufs;
}

uint32_t ksocket_recv_now(ksocket* s, const ksocket_buf* bufs, uint32_t nbufs, uint32_t* count) {
  struct iovec iov[kMaxBufs];
  struct msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = iov;
  msg.msg_iovlen = to_iovec(bufs, nbufs, iov);
  return recv_result(recvmsg(fd_of(s), &msg, MSG_DONTWAIT), count);
}

uint32_t ksocket_send_now(ksocket* s, const ksocket_buf* bufs, uint32_t nbufs, uint32_t* count) {
  struct iovec iov[kMaxBufs];
  struct msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = iov;
  msg.msg_iovlen = to_iovec(bufs, nbufs, iov);
  return recv_result(sendmsg(fd_of(s), &msg, MSG_DONTWAIT | MSG_NOSIGNAL), count);
}

uint32_t ksocket_peek_now(ksocket* s, void* buf, uint32_t* count) {
  return recv_result(recv(fd_of(s), buf, *count, MSG_PEEK | MSG_DONTWAIT), count);
}

static int poll_timeout(uint32_t ms) {
  return ms > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
}

// What select would report: a socket with an error or a hang-up is both
// readable and writable, so that the following call reports the cause.
static const short kReadable = POLLIN | POLLHUP | POLLERR;
static const short kWritable = POLLOUT | POLLHUP | POLLERR;

uint32_t ksocket_wait(ksocket* s, uint32_t mode, uint32_t timeout_ms) {
  struct pollfd p;
  p.fd = fd_of(s);
  p.events = mode == KSOCKET_READ ? POLLIN : POLLOUT;
  p.revents = 0;
  int n = poll(&p, 1, poll_timeout(timeout_ms));
  if (n < 0) return ksocket_last_error();
  if (n == 0) return KERR_TIMEOUT;
  if (p.revents & POLLNVAL) return KERR_FAILED;
  return 0;
}

uint32_t ksocket_sys_wait_set(ksocketset* set, uint32_t n, uint32_t timeout_ms, uint8_t* ready) {
  struct pollfd p[KSOCKET_SET_WAIT_MAX];
  for (uint32_t i = 0; i < n; ++i) {
    p[i].fd = fd_of(ksocketset_at(set, i));
    p[i].events = POLLIN | POLLOUT;
    p[i].revents = 0;
  }
  int r = poll(p, n, poll_timeout(timeout_ms));
  if (r < 0) return ksocket_last_error();
  if (r == 0) return KERR_TIMEOUT;
  for (uint32_t i = 0; i < n; ++i)
    ready[i] = (p[i].revents & kReadable ? KSOCKET_READ : 0) |
               (p[i].revents & kWritable ? KSOCKET_WRITE : 0);
  return 0;
}

uint32_t ksocket_sys_name(ksocket* s, int peer, uint32_t* ip, uint16_t* port) {
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  auto* name = reinterpret_cast<struct sockaddr*>(&sa);
  if ((peer ? getpeername(fd_of(s), name, &len) : getsockname(fd_of(s), name, &len)) != 0)
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
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not per socket type
  struct addrinfo* list = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &list);
  if (rc != 0) return rc == EAI_SYSTEM ? ksocket_last_error() : KERR_FAILED;
  *n = 0;
  for (struct addrinfo* ai = list; ai && *n < max; ai = ai->ai_next)
    ips[(*n)++] = reinterpret_cast<struct sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(list);
  return 0;
}

int ksocket_is_address(const kstring* address) {
  struct sockaddr_in sa;
  return parse_address(address, &sa);
}

uint32_t ksocket_unacked(ksocket* s, uint32_t* bytes) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd_of(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return ksocket_last_error();
  if (err != 0) return ksocket_translate(err);
  // A reset leaves its error once; the state stays closed after it was read.
  tcp_info info;
  memset(&info, 0, sizeof info);
  len = sizeof info;
  if (getsockopt(fd_of(s), IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return ksocket_last_error();
  if (info.tcpi_state == TCP_CLOSE) return KERR_NOTCONN;
  int queued = 0;  // sent and not acknowledged, and not sent yet
  if (ioctl(fd_of(s), SIOCOUTQ, &queued) != 0) return ksocket_last_error();
  *bytes = queued > 0 ? static_cast<uint32_t>(queued) : 0;
  return 0;
}

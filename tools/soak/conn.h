// The agent as the soak and the loss check run it, and their SMT client: the
// configuration of an agent of their own (installed by the live-agent
// harness), and one connection to it on 127.0.0.1 with requests and replies
// through the product's frame code, raw bytes for malformed frames, and the
// wait for the agent to close; split_lines() takes a reply's body (a list,
// a result file) apart. Every wait is bounded. POSIX; never throws.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "klib/kerror.h"
#include "klib/kstring.h"
#include "net/ksocket.h"
#include "net/smt_frame.h"
#include "tests/support/live_agent.h"

namespace soak {

// Short periods: facility files are reloaded every second, result files
// rotate every 2 s.
const int kFacilityupdt = 1, kRfilettl = 2;

// The vardo.conf of an agent installed with the subdirectories "fac", "res"
// and "watch": loopback only, no journal, then the lines of extra.
inline std::string agent_conf(const liveagent::Agent& a, const std::string& extra) {
  return "service.loglevel = 2\nvardo.listener = 127.0.0.1:0\nsmtsvr.addressmask = 127.0.0.1\n"
         "lwatch.facilityupdt = " +
         std::to_string(kFacilityupdt) + "\nlwatch.rfilettl = " + std::to_string(kRfilettl) +
         "\nlwatch.facilitydir = " + a.path("fac") + "\nlwatch.resultdir = " + a.path("res") +
         "\nlwatch.journaldir = " + a.path("nojournal") + "\n" + extra;
}

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, lf; at < text.size(); at = lf + 1) {
    if ((lf = text.find('\n', at)) == std::string::npos) lf = text.size();
    lines.push_back(text.substr(at, lf - at));
  }
  return lines;
}

enum class Outcome { kReply, kClosed, kTimeout, kBadFrame };

class Conn {
 public:
  static constexpr uint32_t kTimeoutMs = 10000;  // a reply later than this is an error

  Conn() {
    ksocket_init(&sock_);
    smt_message_init(&req_);
    smt_message_init(&rep_);
  }
  ~Conn() {
    close();
    smt_message_free(&rep_);
    smt_message_free(&req_);
  }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  // Connects to 127.0.0.1:port, from the local address from when given; the
  // socket is then non-blocking, so that no send waits without bound.
  bool connect(uint16_t port, const char* from = nullptr) {
    close();
    kstring addr;
    kstring_init(&addr);
    uint32_t rc = ksocket_create_tcp(&sock_);
    if (rc == 0 && from) {
      kstring_assign_cstr(&addr, from);
      rc = ksocket_bind(&sock_, &addr, 0);
    }
    kstring_assign_cstr(&addr, "127.0.0.1");
    if (rc == 0) rc = ksocket_connect(&sock_, &addr, port);
    if (rc == 0) rc = ksocket_set_nonblocking(&sock_);
    kstring_free(&addr);
    if (rc) ksocket_close(&sock_);
    open_ = rc == 0;
    requests_ = 0;
    return open_;
  }

  // A reset closes at once, unread data or not, as a peer that crashed.
  void close(bool reset = false) {
    if (!open_) return;
    if (reset) ksocket_set_linger(&sock_, 0);
    ksocket_close(&sock_);
    open_ = false;
  }

  // One request and its reply; on anything but a reply the connection is
  // closed.
  Outcome ask(const std::string& head, const std::string& body = "", uint8_t version = 2) {
    smt_message_clear(&req_);
    req_.version = version;
    kstring_assign_bytes(&req_.head, head.data(), static_cast<uint32_t>(head.size()));
    kstring_assign_bytes(&req_.body, body.data(), static_cast<uint32_t>(body.size()));
    ++requests_;
    uint32_t rc = smt_frame_write(&req_, &sock_, kTimeoutMs);
    return rc == 0 ? read_reply() : outcome(rc == KERR_TIMEOUT ? rc : KERR_FAILED);
  }
  Outcome read_reply() {
    smt_message_clear(&rep_);
    return outcome(smt_frame_read(&rep_, &sock_, kTimeoutMs));
  }

  bool send_raw(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
      uint32_t n = static_cast<uint32_t>(bytes.size() - at);
      if (ksocket_wait(&sock_, KSOCKET_WRITE, kTimeoutMs) != 0 ||
          ksocket_send(&sock_, bytes.data() + at, &n) != 0)
        return false;
      at += n;
    }
    return true;
  }

  // Waits up to ms for the agent to close; bytes that arrive meanwhile go to
  // *data. True when it closed.
  bool wait_closed(uint32_t ms, std::string* data) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    for (uint32_t n = sizeof buf;; n = sizeof buf) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 ||
          ksocket_wait(&sock_, KSOCKET_READ, static_cast<uint32_t>(left.count())) == KERR_TIMEOUT)
        return false;
      if (ksocket_recv(&sock_, buf, &n) != 0) return close(), true;
      data->append(buf, n);
    }
  }

  bool is_open() const { return open_; }
  int requests() const { return requests_; }
  std::string status() const { return std::string(kstring_text(&rep_.head), rep_.head.length); }
  std::string body() const { return std::string(kstring_text(&rep_.body), rep_.body.length); }
  uint8_t reply_version() const { return rep_.version; }

 private:
  Outcome outcome(uint32_t rc) {
    if (rc != 0) close();
    return rc == 0                                                           ? Outcome::kReply
           : rc == KERR_TIMEOUT                                              ? Outcome::kTimeout
           : rc == KERR_SMT_FRAME || rc == KERR_SMT_SIZE || rc == KERR_NOMEM ? Outcome::kBadFrame
                                                                             : Outcome::kClosed;
  }

  ksocket sock_;
  bool open_ = false;
  int requests_ = 0;
  smt_message req_;
  smt_message rep_;
};

}  // namespace soak

// SMT frames as raw bytes for tests that compare what goes over the wire;
// kstring values for the network tests.
#pragma once

#include "klib/kerror.h"
#include "klib/kstring.h"
#include "support/testutil.h"

namespace nettest {

inline void set(kstring* s, const std::string& text) {
  kstring_assign_bytes(s, text.data(), static_cast<uint32_t>(text.size()));
}

inline std::string str(const kstring* s) {
  return std::string(kstring_text(s), s->length);
}

// A kstring that frees itself.
struct Text {
  kstring s;
  explicit Text(const std::string& t = "") {
    kstring_init(&s);
    set(&s, t);
  }
  ~Text() { kstring_free(&s); }
};

}  // namespace nettest

namespace smtwire {

inline std::string frame(int version, const std::string& head, const std::string& body = "") {
  char header[32];
  snprintf(header, sizeof header, "%s%05zu%0*zu", version == 1 ? "SMTF " : "SMTF2", head.size(),
           version == 1 ? 5 : 8, body.size());
  return header + head + body;
}

inline std::string frame(const std::string& head, const std::string& body = "") {
  return frame(2, head, body);
}

// One version 2 frame read raw; whatever arrived when it is cut short.
inline std::string read_reply(int fd, int timeout_ms = 5000) {
  std::string header = testutil::recv_upto(fd, 18, timeout_ms);
  if (header.size() < 18) return header;
  size_t rest = std::stoul(header.substr(5, 5)) + std::stoul(header.substr(10, 8));
  return header + testutil::recv_upto(fd, rest, timeout_ms);
}

inline uint16_t local_port(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

}  // namespace smtwire

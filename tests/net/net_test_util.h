// Helpers of the network tests: connected socket pairs as ksocket values.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "klib/kerror.h"
#include "net/ksocket.h"
#include "net/smt_frame.h"
#include "support/testutil.h"

namespace nettest {

// Two connected stream sockets: `a` for the code under test, `b` for the
// test's raw bytes.
struct Pair {
  ksocket a{-1};
  ksocket b{-1};
  Pair() {
    kerror_libinit();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
      a.handle = sv[0];
      b.handle = sv[1];
    }
  }
  ~Pair() {
    close_a();
    close_b();
  }
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;
  int fa() const { return static_cast<int>(a.handle); }
  int fb() const { return static_cast<int>(b.handle); }
  void close_a() {
    if (a.handle >= 0) close(fa());
    a.handle = -1;
  }
  void close_b() {
    if (b.handle >= 0) close(fb());
    b.handle = -1;
  }
  // Everything queued for b right now.
  std::string drain_b() { return testutil::recv_upto(fb(), SIZE_MAX, 50); }
};

inline void set(kstring* s, const std::string& text) {
  kstring_assign_bytes(s, text.data(), static_cast<uint32_t>(text.size()));
}

inline std::string str(const kstring* s) {
  return std::string(kstring_text(s), s->length);
}

// An smt_message that frees itself.
struct Message {
  smt_message m;
  Message() { smt_message_init(&m); }
  Message(uint8_t version, const std::string& head, const std::string& body) {
    smt_message_init(&m);
    m.version = version;
    set(&m.head, head);
    set(&m.body, body);
  }
  ~Message() { smt_message_free(&m); }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
  std::string head() const { return str(&m.head); }
  std::string body() const { return str(&m.body); }
};

}  // namespace nettest

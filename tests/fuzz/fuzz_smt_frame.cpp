// Fuzzes the SMT frame reader with one connection's byte stream, read frame
// after frame until it fails; each frame accepted survives a write and a read.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/smt_frame.h"

static bool same(const kstring& a, const kstring& b) {
  return a.length == b.length && memcmp(kstring_text(&a), kstring_text(&b), a.length) == 0;
}

static bool stream_pair(ksocket* a, ksocket* b) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) return false;
  ksocket_init(a), ksocket_init(b);
  return a->handle = fds[0], b->handle = fds[1], true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The whole input must fit in the socket buffer: nothing reads concurrently.
  ksocket in_w, in_r, out_w, out_r;
  if (size > 100000 || !stream_pair(&in_w, &in_r)) return 0;
  if (size && write(static_cast<int>(in_w.handle), data, size) != static_cast<ssize_t>(size))
    abort();
  shutdown(static_cast<int>(in_w.handle), SHUT_WR);
  smt_message m, again;
  smt_message_init(&m), smt_message_init(&again);
  for (int frames = 0; frames < 64 && smt_frame_read(&m, &in_r, 50) == 0; ++frames) {
    if (m.head.length > SMT_HEAD_MAX || m.body.length > SMT_BODY_MAX) abort();
    if (kstring_text(&m.head)[m.head.length] || kstring_text(&m.body)[m.body.length]) abort();
    if (!stream_pair(&out_w, &out_r)) break;
    if (smt_frame_write(&m, &out_w, 50) != 0 || smt_frame_read(&again, &out_r, 50) != 0) abort();
    if (m.version != again.version || !same(m.head, again.head) || !same(m.body, again.body))
      abort();
    ksocket_close(&out_w), ksocket_close(&out_r);
  }
  smt_message_free(&again), smt_message_free(&m);
  ksocket_close(&in_w), ksocket_close(&in_r);
  return 0;
}

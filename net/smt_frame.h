// smt_frame: the SMT message and its two framings on a stream socket.
//
// A frame is a 5-byte magic ("SMTF " for version 1, "SMTF2" for version 2),
// the head length in 5 zero-padded decimal digits, the body length in 5
// (version 1) or 8 (version 2) digits, then the head's and the body's bytes;
// nothing else, frames follow one another directly. The message owns both
// parts; after a successful read each part is followed by a NUL that its
// length does not count. One thread at a time per message and per socket.
//
// The frame operations return 0 or the error code of the first failure: 11
// when a wait for readiness runs out (the time-out bounds each wait, except
// for smt_frame_read_next's total_ms, which bounds the whole frame), 1 when the
// peer closed, 50 for a wrong magic, 51 for a length above its limit, 100
// when storage for an announced length is not available, or the socket
// layer's code. A frame's bytes are handed to the
// kernel in as few calls as the socket accepts.
//
// The frame operations move their bytes with the socket's own calls, or,
// given a link, through the layer it stands for (TLS, smt_tls.h) over that
// socket. A null link is plain TCP: the same calls as before, nothing more.
#pragma once

#include <cstdint>

#include "klib/kstring.h"
#include "net/ksocket.h"

#define SMT_HEAD_MAX 65536    // largest head length a reader accepts
#define SMT_BODY_MAX 1048576  // largest body length a reader accepts
#define SMT_HEAD_FIELD_MAX 99999
#define SMT_BODY_FIELD_MAX_V1 99999
#define SMT_BODY_FIELD_MAX_V2 99999999

// A layer between the frames and their socket. Its operations behave as
// ksocket_recv_now, ksocket_send_now, ksocket_peek_now and ksocket_wait do
// on a socket (8 when nothing can move now, 1 when the peer closed), with
// the layer's own traffic moving under them: wait waits for whatever the
// layer needs next, which may be the other direction than mode. ctx is the
// layer's connection, which knows its socket.
struct smt_link {
  uint32_t (*recv_now)(void* ctx, const ksocket_buf* bufs, uint32_t nbufs, uint32_t* count);
  uint32_t (*send_now)(void* ctx, const ksocket_buf* bufs, uint32_t nbufs, uint32_t* count);
  uint32_t (*peek_now)(void* ctx, void* buf, uint32_t* count);
  uint32_t (*wait)(void* ctx, uint32_t mode, uint32_t timeout_ms);
  void* ctx;
};

struct smt_message {
  uint8_t version;  // 1: "SMTF "; 2 (and anything else when writing): "SMTF2"
  kstring head;     // request: the command line; reply: the status line
  kstring body;     // the payload
};

int smt_message_init(smt_message* m);  // 1; empty parts, version 2
void smt_message_free(smt_message* m);
void smt_message_clear(smt_message* m);  // empties both parts; storage and version stay

// Writes one frame. A head longer than 99999 bytes or a body longer than its
// length field can carry (99999 in version 1, 99999999 in version 2) is
// refused with 51 before anything is written.
uint32_t smt_frame_write(const smt_message* m, ksocket* s, uint32_t timeout_ms,
                         const smt_link* link = nullptr);
// Reads one frame into m, replacing version, head and body. A head above
// 65536 bytes or a body above 1048576 bytes fails with 51 before any of its
// bytes are read; a wrong magic fails with 50 after exactly 5 bytes.
uint32_t smt_frame_read(smt_message* m, ksocket* s, uint32_t timeout_ms,
                        const smt_link* link = nullptr);
// The next request on a connection: waits up to idle_ms for the socket to
// become readable (bytes, or the peer's close), then reads as
// smt_frame_read, but the whole frame must be in within total_ms counted
// from then (11 otherwise): a peer that trickles its bytes cannot hold the
// reader longer, however short each of its pauses. *started is false
// when it never did (the result is then the wait's: 11 when the time ran
// out). wait_first waits before looking, for a peer that is known to send
// nothing yet (it has a reply to read first); otherwise a look at what is
// there comes first and the wait only when nothing is, which saves the wait
// when the bytes are in already.
uint32_t smt_frame_read_next(smt_message* m, ksocket* s, uint32_t idle_ms, uint32_t total_ms,
                             bool wait_first, bool* started, const smt_link* link = nullptr);

// ksocket: IPv4 sockets behind small operations that return library error
// codes, and ksocketset, a set of sockets waited on together.
//
// A ksocket is a plain value holding the platform handle: copies refer to the
// same connection, and nothing is closed unless ksocket_close is called. A
// ksocketset owns its storage, not the connections in it. Different threads
// may use different sockets freely; the module keeps no state of its own.
//
// Results are 0 or an error code of kerror.h: the platform error is
// translated where the call fails (would-block 8, time-out 11, anything not
// listed 1). Out-parameters are written only on success, except the counts of
// the receive and send operations, which are set to 0 on failure. Addresses
// are dotted decimal text; ports are host byte order. Every wait takes a
// time-out in milliseconds, so no thread blocks on a socket without bound.
// Accepted and connected TCP sockets have Nagle's algorithm switched off (an
// accepted one inherits it from its listener where the platform allows): a
// request/reply exchange must never stall on delayed acknowledgements.
#pragma once

#include <cstdint>

#include "klib/karray.h"
#include "klib/kstring.h"

#define KSOCKET_SET_WAIT_MAX 64  // a set wait watches at most this many sockets
// Connections a listener queues before accepting: a burst must not wait on
// SYN retransmits. The system caps it at its own maximum (net.core.somaxconn).
#define KSOCKET_BACKLOG 4096
#define KSOCKET_HOSTNAME_MAX 256

// Socket kinds and protocol selectors of ksocket_create.
constexpr uint32_t KSOCKET_STREAM = 0;
constexpr uint32_t KSOCKET_DGRAM = 1;
constexpr uint32_t KSOCKET_RAW = 2;
constexpr uint32_t KSOCKET_PROTO_ICMP = 1;
constexpr uint32_t KSOCKET_PROTO_TCP = 3;
constexpr uint32_t KSOCKET_PROTO_UDP = 4;

// Readiness modes of a wait, and the kinds a set wait reports.
constexpr uint32_t KSOCKET_READ = 1;
constexpr uint32_t KSOCKET_WRITE = 2;

struct ksocket {
  intptr_t handle;  // platform handle; -1 when none
};

// One piece of a vectored send or receive.
struct ksocket_buf {
  void* data;
  uint32_t length;
};

// Process-wide start-up and clean-up (nothing to do on this platform).
uint32_t ksocket_libinit();
void ksocket_libcleanup();

uint32_t ksocket_init(ksocket* s);                                      // 0; no handle
void ksocket_free(ksocket* s);                                          // does not close
uint32_t ksocket_create(ksocket* s, uint32_t kind, uint32_t protocol);  // kind > 2 gives 1
uint32_t ksocket_create_tcp(ksocket* s);
uint32_t ksocket_close(ksocket* s);
// Ends both directions of a connection without closing the handle: a thread
// waiting on it wakes up and sees the connection closed.
uint32_t ksocket_shutdown(ksocket* s);
uint32_t ksocket_set_blocking(ksocket* s);
uint32_t ksocket_set_nonblocking(ksocket* s);
uint32_t ksocket_set_linger(ksocket* s, uint16_t seconds);
uint32_t ksocket_clear_linger(ksocket* s);
uint32_t ksocket_set_recv_timeout(ksocket* s, uint32_t ms);
// An empty address binds to every local address; otherwise a dotted IPv4
// address is required (10 for anything else, 255.255.255.255 included).
uint32_t ksocket_bind(ksocket* s, const kstring* address, uint16_t port);
uint32_t ksocket_connect(ksocket* s, const kstring* address, uint16_t port);
// Lets a listener bind an endpoint whose connections of a previous run are
// still in TIME_WAIT; takes effect only before ksocket_bind.
uint32_t ksocket_set_reuse_address(ksocket* s);
uint32_t ksocket_listen(ksocket* s);  // backlog KSOCKET_BACKLOG
uint32_t ksocket_accept(ksocket* listener, ksocket* out);
// As ksocket_accept, for a server that serves the connection without
// blocking: the new socket is non-blocking from the start, and the peer's
// address and port come with it (written only on success), so that the
// connection costs no further calls before its first transfer. On a listener
// made by ksocket_listen.
uint32_t ksocket_accept_peer(ksocket* listener, ksocket* out, kstring* address, uint16_t* port);
// One platform call each. A peer that closed (0 bytes received) gives 1; a
// send that moved 0 bytes gives 1. Sends never raise SIGPIPE.
uint32_t ksocket_recv(ksocket* s, void* buf, uint32_t* count);
uint32_t ksocket_recvfrom(ksocket* s, void* buf, uint32_t* count, kstring* address, uint16_t* port);
uint32_t ksocket_send(ksocket* s, const void* bytes, uint32_t* count);
uint32_t ksocket_sendto(ksocket* s, const void* bytes, uint32_t* count, const kstring* address,
                        uint16_t port);
// As ksocket_recv and ksocket_send, but never blocking, whatever the socket's
// mode (8 when nothing can move now), and over several pieces in one call;
// count is the total moved. They let a caller try first and wait only when
// the socket is not ready, which saves one system call per transfer.
uint32_t ksocket_recv_now(ksocket* s, const ksocket_buf* bufs, uint32_t nbufs, uint32_t* count);
uint32_t ksocket_send_now(ksocket* s, const ksocket_buf* bufs, uint32_t nbufs, uint32_t* count);
// As ksocket_recv_now into one buffer, but the bytes stay queued: the next
// receive gets them again.
uint32_t ksocket_peek_now(ksocket* s, void* buf, uint32_t* count);
// Mode KSOCKET_READ waits for readability, any other for writability. 0 when
// ready, 11 when the time ran out; a time-out of 0 polls.
uint32_t ksocket_wait(ksocket* s, uint32_t mode, uint32_t timeout_ms);
uint32_t ksocket_local_name(ksocket* s, kstring* address, uint16_t* port);
uint32_t ksocket_peer_name(ksocket* s, kstring* address, uint16_t* port);
uint32_t ksocket_hostname(kstring* out);
// Appends every IPv4 address of the host, in the resolver's order.
uint32_t ksocket_resolve(const kstring* host, kstrlist* out);
int ksocket_is_address(const kstring* address);  // 1 or 0, not an error code
uint32_t ksocket_create_listener(ksocket* s, const kstring* address, uint16_t port);
// Reads one line byte by byte, without waiting first: CR dropped, LF ends the
// line and is not stored; at most max bytes are received.
uint32_t ksocket_read_line(ksocket* s, kstring* out, uint32_t max);
uint32_t ksocket_send_text(ksocket* s, const char* text);  // one send; no completion
uint32_t ksocket_send_string(ksocket* s, const kstring* text);
// Bytes handed to a connected TCP socket that the peer's system has not yet
// acknowledged (0 once all of them have arrived there). An error code when
// the connection has failed, been reset or closed: what is left never
// arrives.
uint32_t ksocket_unacked(ksocket* s, uint32_t* bytes);

struct ksocketset {
  karray items;  // ksocket elements, growth step 16
};

uint32_t ksocketset_init(ksocketset* set);  // 0
void ksocketset_free(ksocketset* set);      // does not close
void ksocketset_clear(ksocketset* set);     // does not close
void ksocketset_close_all(ksocketset* set);
ksocket* ksocketset_add(ksocketset* set);  // new element, or null
ksocket* ksocketset_at(ksocketset* set, uint32_t i);
uint32_t ksocketset_count(const ksocketset* set);
void ksocketset_remove(ksocketset* set, uint32_t i);  // does not close
// Waits on the first 64 elements; the first ready one in set order wins,
// readability before writability. Kind is KSOCKET_READ or KSOCKET_WRITE.
uint32_t ksocketset_wait(ksocketset* set, uint32_t timeout_ms, uint32_t* index, uint32_t* kind);
uint32_t ksocketset_accept(ksocketset* set, uint32_t timeout_ms, ksocket* out);
// A TCP listener on address and port, appended to the set; 100 when the set
// cannot grow (the new socket is closed then).
uint32_t ksocketset_create_listener(ksocketset* set, const kstring* address, uint16_t port);

// smt_server: the SMT request server. It listens on one or more endpoints,
// hands every accepted connection to one of a fixed pool of 10 connection
// records, each served on a thread of its own, and passes every request
// frame to the application's message callback. The records' threads are
// started once, by smt_server_init, and stay: each waits for a connection
// handed to its record, serves it, and waits for the next, so a record is
// free again as soon as its connection has ended. A connection that finds
// every record busy waits up to SMT_BUSY_WAIT_MS for one to come free and is
// then closed ("server too busy").
//
// Hardening against peers: an accept filter, when given, refuses a peer
// before it takes a record (closed at once, no reply); a request frame must
// be in whole within io_timeout_ms of its first byte; the warnings a peer
// can repeat at will are rate-limited (klog_limited); a listener that cannot
// be created at start is retried by the accept thread every
// SMT_LISTEN_RETRY_MS until it comes up or the server stops.
//
// With a TLS context (smt_tls.h) every connection is TLS: its record's thread
// runs the handshake under the same waits as a request frame (poll_timeout_ms
// for its first byte, io_timeout_ms for all of it), and a failed one closes
// the connection with a rate-limited warning naming the peer and the reason;
// then the frames go through the session. Without one, connections are
// plain TCP as ever.
//
// Threads: the owner calls smt_server_init, smt_server_stop and
// smt_server_free, in that order, on its own thread(s); one accept thread,
// which alone uses the listeners and the accept filter while the server
// runs; one thread per pool record, waiting while its record is free. The other callbacks run on
// the connection's thread, up to 10 at a time; whatever they share they guard themselves. The
// server owns the pool records, the listeners and the threads' objects, not the log. The
// smt_client_* operations are the server's own, public for tests.
//
// A message callback that must know whether its reply got out (to let go of
// what the reply carries only then) sets the record's on_sent; keep what it
// needs in the record's tail (record_size). on_sent is called once, on the
// connection's thread, when that exchange is over: with 0 after the reply
// frame's last byte was handed to the socket and the peer's system has
// acknowledged every byte (waited for within io_timeout_ms), otherwise with
// the code of the failure (a failed write, a reset, a time-out, a stop, a
// callback that closes the connection, a connection that ends first).
#pragma once

#include <atomic>
#include <cstdint>

#include "klib/karray.h"
#include "klib/klog.h"
#include "klib/kmutex.h"
#include "klib/ksemaphore.h"
#include "klib/kstring.h"
#include "klib/kthread.h"
#include "net/ksocket.h"
#include "net/smt_frame.h"
#include "net/smt_tls.h"

#define SMT_DEFAULT_PORT "9000"
#define SMT_LISTEN_RETRY_MS 5000  // pause between attempts at a missing listener
// How long a connection that finds every record busy waits for one to come
// free: a collector that polls with a new connection per request sends the
// next one while its previous connection's thread is still closing. At
// most a tenth of poll_timeout_ms.
#define SMT_BUSY_WAIT_MS 100

struct smt_client;
struct smt_server;

typedef bool (*smt_open_fn)(smt_client* c);  // false: logged, served all the same
typedef void (*smt_close_fn)(smt_client* c);
// 0: send the reply now; anything else: close the connection without one.
typedef uint32_t (*smt_message_fn)(smt_client* c);
// Called on the accept thread for every accepted connection, before it is
// given a record: false closes it at once, without a reply. The filter logs
// its refusal itself (rate-limited: a peer can repeat it at will).
typedef bool (*smt_accept_fn)(smt_server* srv, const kstring* peer_address, uint16_t peer_port);
// The end of one exchange: 0 when the reply was sent, else the failure.
typedef void (*smt_sent_fn)(smt_client* c, uint32_t rc);

// One pool record: the connection and the thread that serves it.
struct smt_client {
  klog* log;  // the server's; not owned
  std::atomic<uint32_t> stop;
  uint32_t io_timeout_ms;
  uint32_t poll_timeout_ms;
  ksocket socket;
  kthread thread;  // runs from the server's start to its stop, busy or not
  kstring peer_address;
  uint16_t peer_port;
  smt_message request;
  smt_message reply;
  smt_open_fn on_open;
  smt_close_fn on_close;
  smt_message_fn on_message;
  smt_sent_fn on_sent;     // set by on_message for its reply; null otherwise
  smt_tls* tls;            // the server's context; null: plain TCP
  smt_tls_conn* tls_conn;  // the connection's session while it is served over TLS
  // 1 from the hand-over until the connection has ended ("SMTCLI down"):
  // the record holds a connection and is not handed another.
  std::atomic<uint32_t> busy;
  ksemaphore wake;  // posted for each hand-over and by a stop
  // Guards socket_open and the closing of socket, so that a stop never
  // shuts down a handle the thread has already closed (and the system may
  // have given to another file).
  kmutex socket_lock;
  bool socket_open;
};

struct smt_server {
  klog* log;  // not owned
  std::atomic<uint32_t> stop;
  kthread accept_thread;
  uint32_t poll_timeout_ms;  // 1000: accept wait, idle wait, and (times 5) the stop waits
  // 30000: the whole of a request frame from its first byte, and each wait
  // while a reply is written; taken by a record when it is handed a
  // connection.
  std::atomic<uint32_t> io_timeout_ms;
  uint32_t max_clients;  // 10: pool size and growth step
  smt_open_fn on_open;
  smt_close_fn on_close;
  smt_message_fn on_message;
  smt_accept_fn accept_filter;  // null: every peer gets a record
  ksocketset listeners;         // grows on the accept thread as retried listeners come up
  kstrlist pending;  // "address:port" of listeners still to be retried; the accept thread's
  karray pool;       // smt_client records (record_size bytes each), allocated once
  smt_tls* tls;      // null: plain TCP; owned, freed with the server
  // Taken by a hand-over and by the stop: once the stop has set the flag no
  // record changes hands, so the shutdown lines name the peers served.
  kmutex pool_lock;
};

// Listens on every endpoint ("host" or "host:port", port 9000 by default; an
// empty list gets "<host name>:9000" appended), then starts the accept
// thread. record_size is the size of one pool element, at least
// sizeof(smt_client); accept_filter may be null. An address whose listener
// cannot be created now (its port still taken, say) is retried by the accept
// thread, so true also when no listener is up yet. The records' threads are
// started here; one the platform refuses is tried again at its record's
// first hand-over. False when no endpoint named any address (host names that
// do not resolve, no host name for the default endpoint), the accept thread
// could not start or the platform refused the pool's lock; nothing is left
// to free then. A record whose lock is refused is left out of the pool. tls, when given, makes
// every connection TLS; the server owns it from here on, whatever the result.
bool smt_server_init(smt_server* srv, kstrlist* endpoints, smt_open_fn on_open,
                     smt_close_fn on_close, smt_message_fn on_message, uint32_t record_size,
                     klog* log, smt_accept_fn accept_filter = nullptr, smt_tls* tls = nullptr);
// Stops the records first: each that holds a connection logs "SMTCLI
// shutdown", idle threads are woken to end, and one wait of up to
// 5 x poll_timeout_ms covers them all; connections still running after it
// are reported as critical and their sockets shut down under them, which
// ends any transfer. Then "SMTSVR shutdown" and a wait of as long again for
// the accept thread.
void smt_server_stop(smt_server* srv);
// Releases the pool and the TLS context, closes the listeners. A thread that outlived the stop
// still uses its record (and the accept thread the listeners): this waits up
// to 5 x poll_timeout_ms more for every thread to end, and if one still runs
// (stuck in a callback) logs "SMT server not terminated" and leaves the pool,
// the listeners and the context allocated instead of freeing them under it.
void smt_server_free(smt_server* srv);
smt_server* smt_server_set_io_timeout(smt_server* srv, uint32_t ms);

// true; false when the platform refuses the record's lock (nothing to free).
bool smt_client_init(smt_client* c, smt_open_fn on_open, smt_close_fn on_close,
                     smt_message_fn on_message, klog* log);
// Hands the connection (non-blocking, and its peer's address and port as
// accepted) to the record and wakes its thread (starting it first if it does
// not run); the record is busy from here on. 0; 1 when the thread could not
// be started, 100 when the address cannot be stored: then the record is free
// and the socket still the caller's.
uint32_t smt_client_start(smt_client* c, ksocket socket, const kstring* peer_address,
                          uint16_t peer_port, uint32_t poll_timeout_ms, uint32_t io_timeout_ms);
// The socket is not closed: its thread closed it. Only once the thread has
// ended.
void smt_client_free(smt_client* c);
bool smt_client_is_running(const smt_client* c);  // true while it holds a connection
// Clears on_sent and calls it, if set, with rc (see above).
void smt_client_reply_done(smt_client* c, uint32_t rc);

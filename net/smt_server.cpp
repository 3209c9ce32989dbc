#include "net/smt_server.h"

#include <new>

#include "klib/kerror.h"

// ---- connection records ----

static bool client_stopped(const smt_client* c) {
  return c->stop.load(std::memory_order_acquire) != 0;
}

bool smt_client_init(smt_client* c, smt_open_fn on_open, smt_close_fn on_close,
                     smt_message_fn on_message, klog* log) {
  // The lock that keeps a stop from closing the socket under a write.
  if (kmutex_create(&c->socket_lock) != 0) return false;
  c->log = log;
  // The record sits in raw pool storage: begin the atomics' lifetimes here.
  new (&c->stop) std::atomic<uint32_t>(0);
  new (&c->busy) std::atomic<uint32_t>(0);
  ksemaphore_create_empty(&c->wake);
  c->io_timeout_ms = 0;
  c->poll_timeout_ms = 0;
  ksocket_init(&c->socket);
  c->socket_open = false;
  kthread_init(&c->thread);
  kstring_init(&c->peer_address);
  c->peer_port = 0;
  smt_message_init(&c->request);
  smt_message_init(&c->reply);
  c->on_open = on_open;
  c->on_close = on_close;
  c->on_message = on_message;
  c->on_sent = nullptr;
  c->tls = nullptr;
  c->tls_conn = nullptr;
  return true;
}

void smt_client_free(smt_client* c) {
  smt_message_free(&c->reply);
  smt_message_free(&c->request);
  kstring_free(&c->peer_address);
  kthread_free(&c->thread);
  kmutex_destroy(&c->socket_lock);
  ksemaphore_destroy(&c->wake);
}

bool smt_client_is_running(const smt_client* c) {
  return c->busy.load(std::memory_order_acquire) != 0;
}

static bool thread_alive(const smt_client* c) {
  return kthread_is_running(&c->thread) != 0;
}

void smt_client_reply_done(smt_client* c, uint32_t rc) {
  smt_sent_fn fn = c->on_sent;
  c->on_sent = nullptr;
  if (fn) fn(c, rc);
}

// Storage kept from one exchange to the next saves allocations for the
// usual small messages; a part that grew beyond this (a large result file or
// program output) is given back, so that ten connections do not hold the
// largest exchange each has ever seen.
static const uint32_t kKeptPartMax = 256 * 1024;

static void trim_message(smt_message* m) {
  if (kstring_capacity(&m->head) > kKeptPartMax) {
    kstring_free(&m->head);
    kstring_init(&m->head);
  }
  if (kstring_capacity(&m->body) > kKeptPartMax) {
    kstring_free(&m->body);
    kstring_init(&m->body);
  }
}

// A reply whose callback waits for on_sent: the write ended when its last
// byte was handed to the system, but a peer that resets the connection now
// has not received what still sits in the buffers (a megabyte on loopback).
// Waits, within io_timeout_ms, until the peer's system has acknowledged
// every byte; a failure, a time-out or a stop means it may never have.
static uint32_t wait_delivered(smt_client* c) {
  const uint64_t end = ktick_ms() + c->io_timeout_ms;
  for (uint32_t pause = 1;; pause = pause < 16 ? pause * 2 : 16) {
    uint32_t unacked = 0;
    uint32_t rc = ksocket_unacked(&c->socket, &unacked);
    if (rc != 0 || unacked == 0) return rc;
    if (client_stopped(c) || ktick_ms() >= end) return KERR_TIMEOUT;
    ksleep(pause);
  }
}

// The TLS handshake of a connection, when the server has a context: the
// peer's first byte within poll_timeout_ms, the whole of it within
// io_timeout_ms, as for a request. A failure is logged (rate-limited, the
// peer can repeat it) unless the peer sent nothing at all, which is an idle
// connection as on plain TCP.
static bool start_tls(smt_client* c, const char* peer, int port) {
  kstring why;
  kstring_init(&why);
  uint32_t rc =
      smt_tls_accept(c->tls, &c->socket, c->poll_timeout_ms, c->io_timeout_ms, &c->tls_conn, &why);
  if (rc && why.length > 0)
    klog_limited(c->log, 1, KLOG_WARNING, "tls handshake", peer,
                 "TLS handshake with %s:%d failed (%s) - connection closed\n", peer, port,
                 kstring_text(&why));
  kstring_free(&why);
  return rc == 0;
}

// One connection: one request frame, the callback, one reply frame, until a
// step fails, the peer stays silent for poll_timeout_ms, or the record is
// stopped. A request must be in whole within io_timeout_ms of its first
// byte: a peer that trickles it would otherwise hold the record for as long
// as it likes. That close is logged (rate-limited, the peer can repeat it);
// any other failure that ends the loop is not.
static void serve(smt_client* c) {
  const char* peer = kstring_text(&c->peer_address);
  int port = c->peer_port;
  klog_write(c->log, 2, KLOG_PLAIN, "SMTCLI up\n");
  if (c->on_open && !c->on_open(c))
    klog_limited(c->log, 1, KLOG_WARNING, "smtcli init", peer,
                 "cannot initialize SMTCLI client %s:%d\n", peer, port);
  const smt_link* link = nullptr;
  bool ready = !c->tls || start_tls(c, peer, port);
  if (ready && c->tls) link = smt_tls_link(c->tls_conn);
  // A new connection's first request is usually in by the time its record
  // takes it: it is looked for at once, and waited for only when it is not
  // there. After a reply the peer has that to read first: the next request,
  // or the peer's close, is waited for before looking.
  for (bool replied = false; ready && !client_stopped(c); replied = true) {
    smt_message_clear(&c->request);
    smt_message_clear(&c->reply);
    bool started = false;
    uint32_t rc = smt_frame_read_next(&c->request, &c->socket, c->poll_timeout_ms, c->io_timeout_ms,
                                      replied, &started, link);
    if (!started) break;
    klog_write(c->log, 3, KLOG_PLAIN, "incoming data from %s:%d\n", peer, port);
    if (rc == KERR_TIMEOUT)
      klog_limited(c->log, 1, KLOG_WARNING, "slow request", peer,
                   "request from %s:%d not complete within %u ms - connection closed\n", peer, port,
                   c->io_timeout_ms);
    if (rc) break;
    klog_write(c->log, 3, KLOG_PLAIN, "message from %s:%d received\n", peer, port);
    if (c->on_message(c) != 0) break;
    klog_write(c->log, 3, KLOG_PLAIN, "message from %s:%d passed succesfully to handler\n", peer,
               port);
    rc = smt_frame_write(&c->reply, &c->socket, c->io_timeout_ms, link);
    if (rc == 0 && c->on_sent) rc = wait_delivered(c);
    smt_client_reply_done(c, rc);
    if (rc != 0) break;
    klog_write(c->log, 3, KLOG_PLAIN, "reply to %s:%d was sent\n", peer, port);
    trim_message(&c->request);
    trim_message(&c->reply);
  }
  smt_client_reply_done(c, KERR_FAILED);  // a reply prepared but never written
  smt_tls_close(c->tls_conn);
  c->tls_conn = nullptr;
  {
    kmutex_guard guard(&c->socket_lock);
    ksocket_close(&c->socket);
    c->socket_open = false;
  }
  if (c->on_close) c->on_close(c);
  klog_write(c->log, 2, KLOG_PLAIN, "SMTCLI down\n");
}

// The record's thread: waits for a hand-over, serves the connection, frees
// the record for the next one, until the record is stopped. A hand-over
// that raced with the stop is still served, so that its socket is closed.
static int client_main(void* arg) {
  smt_client* c = static_cast<smt_client*>(arg);
  for (;;) {
    ksemaphore_wait(&c->wake);
    if (smt_client_is_running(c)) {
      serve(c);
      // The accept thread may write the record from here on.
      c->busy.store(0, std::memory_order_release);
    }
    if (client_stopped(c)) return 0;
  }
}

// Starts the record's thread unless it runs; false when the platform refuses
// (the thread, or the semaphore it would wait on).
static bool ensure_thread(smt_client* c) {
  if (thread_alive(c)) return true;
  if (!c->wake.handle && ksemaphore_create_empty(&c->wake) != 0) return false;
  kthread_start(&c->thread, client_main, 0, c);
  return thread_alive(c);
}

uint32_t smt_client_start(smt_client* c, ksocket socket, const kstring* peer_address,
                          uint16_t peer_port, uint32_t poll_timeout_ms, uint32_t io_timeout_ms) {
  if (!kstring_assign(&c->peer_address, peer_address)) return KERR_NOMEM;
  {
    kmutex_guard guard(&c->socket_lock);
    c->socket = socket;
    c->socket_open = true;
  }
  c->poll_timeout_ms = poll_timeout_ms;
  c->io_timeout_ms = io_timeout_ms;
  c->peer_port = peer_port;
  // Busy before the thread is woken, so the accept loop never hands this
  // record out twice.
  c->busy.store(1, std::memory_order_release);
  if (!ensure_thread(c)) {
    kmutex_guard guard(&c->socket_lock);
    c->socket_open = false;
    c->busy.store(0, std::memory_order_release);
    return KERR_FAILED;
  }
  ksemaphore_post(&c->wake);
  return 0;
}

// Sets the stop flag and wakes the thread: an idle one ends at once, a busy
// one after its connection.
static void client_request_stop(smt_client* c) {
  c->stop.store(1, std::memory_order_release);
  ksemaphore_post(&c->wake);
}

// Ends the connection under a thread that outlived the stop wait: a peer
// that trickles a frame one byte per wait, or a handler that keeps the
// thread, would hold it for as long as it likes; its next transfer fails now.
static void cut_off(smt_client* c) {
  kmutex_guard guard(&c->socket_lock);
  if (c->socket_open) ksocket_shutdown(&c->socket);
}

// Sets the stop flag, with the shutdown line when the record holds a
// connection.
static void announce_stop(smt_client* c) {
  client_request_stop(c);
  if (smt_client_is_running(c))
    klog_write(c->log, 1, KLOG_WARNING, "SMTCLI shutdown %s:%d\n", kstring_text(&c->peer_address),
               c->peer_port);
}

// For a thread still running after the stop wait: reported, and cut off.
static void give_up(smt_client* c) {
  klog_write(c->log, 1, KLOG_CRITICAL, "SMTCLI %s:%d not terminated\n",
             kstring_text(&c->peer_address), c->peer_port);
  cut_off(c);
}

// ---- server ----

static bool server_stopped(const smt_server* srv) {
  return srv->stop.load(std::memory_order_acquire) != 0;
}

static smt_client* record_at(smt_server* srv, uint32_t i) {
  return static_cast<smt_client*>(karray_get(&srv->pool, i));
}

static void free_record_elem(void* e) {
  smt_client_free(static_cast<smt_client*>(e));
}

smt_server* smt_server_set_io_timeout(smt_server* srv, uint32_t ms) {
  srv->io_timeout_ms.store(ms, std::memory_order_relaxed);
  return srv;
}

// Hands an accepted connection to the first free record, or closes it. A
// peer that the accept filter refuses is closed before it can take a record,
// so that peers without the right to be served cannot crowd out those with
// it.
static void hand_over(smt_server* srv, ksocket s, const kstring* peer, uint16_t port) {
  if (srv->accept_filter && !srv->accept_filter(srv, peer, port)) {
    ksocket_close(&s);
    return;
  }
  klog_write(srv->log, 2, KLOG_PLAIN, "connection from %s:%d accepted\n", kstring_text(peer), port);
  // Every record busy: one may be about to come free (its peer has closed
  // and its thread is winding down), so wait a little before refusing.
  const uint32_t busy_wait =
      srv->poll_timeout_ms / 10 < SMT_BUSY_WAIT_MS ? srv->poll_timeout_ms / 10 : SMT_BUSY_WAIT_MS;
  const uint64_t end = ktick_ms() + busy_wait;
  uint32_t rc = KERR_FAILED;
  bool stopped = false;
  for (smt_client* idle = nullptr; !idle;) {
    {
      kmutex_guard guard(&srv->pool_lock);
      stopped = server_stopped(srv);
      for (uint32_t i = 0; i < srv->pool.count && !idle && !stopped; ++i)
        if (!smt_client_is_running(record_at(srv, i))) idle = record_at(srv, i);
      if (idle)
        rc = smt_client_start(idle, s, peer, port, srv->poll_timeout_ms,
                              srv->io_timeout_ms.load(std::memory_order_relaxed));
    }
    if (stopped || ktick_ms() >= end) break;
    if (!idle) ksleep(1);
  }
  if (rc) ksocket_close(&s);
  // A thread the platform refuses leaves no way to serve the peer either; a
  // stop is no lack of records.
  if (rc && !stopped)
    klog_limited(srv->log, 1, KLOG_WARNING, "server too busy", kstring_text(peer),
                 "connection from %s:%d closed, server too busy\n", kstring_text(peer), port);
}

// The pause after an accept failure, cut short by a stop request so that the
// stop wait is not spent sleeping.
static void pause_unless_stopped(smt_server* srv, uint32_t ms) {
  for (uint32_t slept = 0; slept < ms && !server_stopped(srv); slept += 100) ksleep(100);
}

// A listener on address and port, added to the set and logged; 0 or the
// error of its creation, which the caller reports.
static uint32_t add_listener(smt_server* srv, const kstring* address, uint16_t port) {
  uint32_t rc = ksocketset_create_listener(&srv->listeners, address, port);
  if (rc) return rc;
  // The port actually bound: it differs from the configured one only for
  // port 0, and then this line is the only place that tells it.
  kstring bound_address;
  kstring_init(&bound_address);
  uint16_t bound = port;
  ksocket* l = ksocketset_at(&srv->listeners, ksocketset_count(&srv->listeners) - 1);
  // The accept thread asks it for a connection without waiting first.
  ksocket_set_nonblocking(l);
  ksocket_local_name(l, &bound_address, &bound);
  kstring_free(&bound_address);
  klog_write(srv->log, 1, KLOG_PLAIN, "created listener %s:%d\n", kstring_text(address), bound);
  return 0;
}

static void free_string_elem(void* e) {
  kstring_free(static_cast<kstring*>(e));
}

// Tries again, every SMT_LISTEN_RETRY_MS (next_retry_ms: the ktick_ms() time
// of the next attempt), the listeners that could not be created so far
// ("address:port" in pending): a port still held by the previous instance,
// or an address not yet configured, comes up once it is free. Each attempt
// is quick (socket, bind, listen) and silent; only the success is logged.
static void retry_listeners(smt_server* srv, uint64_t* next_retry_ms) {
  if (kstrlist_count(&srv->pending) == 0 || ktick_ms() < *next_retry_ms) return;
  *next_retry_ms = ktick_ms() + SMT_LISTEN_RETRY_MS;
  kstring address, port_text;
  kstring_init(&address);
  kstring_init(&port_text);
  for (uint32_t i = 0; i < kstrlist_count(&srv->pending);) {
    const kstring* entry = kstrlist_get(&srv->pending, i);
    kstring_token_cstr(entry, ":", 0, &address);
    kstring_token_cstr(entry, ":", 1, &port_text);
    uint16_t port = static_cast<uint16_t>(kstring_to_int(&port_text));
    if (add_listener(srv, &address, port) == 0)
      karray_remove_each(&srv->pending.items, i, free_string_elem);
    else
      ++i;
  }
  kstring_free(&port_text);
  kstring_free(&address);
}

static int accept_main(void* arg) {
  smt_server* srv = static_cast<smt_server*>(arg);
  klog_write(srv->log, 1, KLOG_PLAIN, "SMTSVR up\n");
  uint64_t next_retry_ms = ktick_ms() + SMT_LISTEN_RETRY_MS;
  kstring peer;
  kstring_init(&peer);
  // The listener that gave the last connection, or -1. Under load the next
  // connection is often queued already: that listener is asked again at
  // once, and the wait comes only when it has none.
  int32_t last = -1;
  while (!server_stopped(srv)) {
    retry_listeners(srv, &next_retry_ms);
    ksocket s;
    ksocket_init(&s);
    uint16_t port = 0;
    // The connection comes non-blocking, with its peer's address: its record
    // transfers without waiting and waits only when nothing can move.
    uint32_t rc = KERR_WOULDBLOCK;
    if (last >= 0) rc = ksocket_accept_peer(ksocketset_at(&srv->listeners, last), &s, &peer, &port);
    if (rc != 0) {
      // Without any listener yet this is a plain wait of poll_timeout_ms.
      uint32_t index = 0, kind = 0;
      last = -1;
      rc = ksocketset_wait(&srv->listeners, srv->poll_timeout_ms, &index, &kind);
      if (rc == 0)
        rc = ksocket_accept_peer(ksocketset_at(&srv->listeners, index), &s, &peer, &port);
      if (rc == 0) last = static_cast<int32_t>(index);
    }
    if (rc == 0) {
      hand_over(srv, s, &peer, port);
    } else if (rc != KERR_TIMEOUT && rc != KERR_WOULDBLOCK) {
      // Would-block: the connection the wait reported was reset and dropped
      // from the queue before the accept; nothing to report.
      klog_write(srv->log, 1, KLOG_WARNING,
                 "an error occured accepting a connection - waiting 5s before resuming\n");
      pause_unless_stopped(srv, 5000);
    }
  }
  kstring_free(&peer);
  klog_write(srv->log, 1, KLOG_PLAIN, "SMTSVR down\n");
  return 0;
}

// Listeners for one endpoint "host[:port]". Returns how many addresses it
// named: those whose listener could not be created are left in pending for
// the accept thread to retry, said once in the log.
static uint32_t listen_on(smt_server* srv, const kstring* endpoint) {
  kstring host, port_text;
  kstring_init(&host);
  kstring_init(&port_text);
  kstrlist addresses;
  kstrlist_init(&addresses);
  kstring_token_cstr(endpoint, ":", 0, &host);
  if (!kstring_token_cstr(endpoint, ":", 1, &port_text))
    kstring_assign_cstr(&port_text, SMT_DEFAULT_PORT);
  // No digits give 0: the system chooses the port.
  uint16_t port = static_cast<uint16_t>(kstring_to_int(&port_text));

  if (ksocket_is_address(&host)) {
    kstring* a = kstrlist_add(&addresses);
    if (a) kstring_assign(a, &host);
  } else if (ksocket_resolve(&host, &addresses) != 0) {
    // Not retried: a resolver that hangs would hold up the accept thread.
    klog_write(srv->log, 1, KLOG_WARNING, "cannot resolve host %s\n", kstring_text(&host));
  }

  for (uint32_t i = 0; i < kstrlist_count(&addresses); ++i) {
    const kstring* address = kstrlist_get(&addresses, i);
    uint32_t rc = add_listener(srv, address, port);
    if (rc == 0) continue;
    klog_write(srv->log, 1, KLOG_WARNING, "error creating listener %s:%d (%s)\n",
               kstring_text(address), port, kerror_message(rc));
    kstring* retry = kstrlist_add(&srv->pending);
    if (!retry) continue;
    kstring_format(retry, "%s:%d", kstring_text(address), port);
    klog_write(srv->log, 1, KLOG_PLAIN, "retrying listener %s:%d every %d s\n",
               kstring_text(address), port, SMT_LISTEN_RETRY_MS / 1000);
  }
  uint32_t named = kstrlist_count(&addresses);
  kstrlist_free(&addresses);
  kstring_free(&port_text);
  kstring_free(&host);
  return named;
}

static uint32_t create_listeners(smt_server* srv, kstrlist* endpoints) {
  if (kstrlist_count(endpoints) == 0) {
    kstring host;
    kstring_init(&host);
    if (ksocket_hostname(&host) == 0) {
      kstring* e = kstrlist_add(endpoints);
      if (e) {
        kstring_format(e, "%s:%s", kstring_text(&host), SMT_DEFAULT_PORT);
        klog_write(srv->log, 2, KLOG_PLAIN, "using default endpoint %s\n", kstring_text(e));
      }
    }
    kstring_free(&host);
  }
  uint32_t named = 0;
  for (uint32_t i = 0; i < kstrlist_count(endpoints); ++i)
    named += listen_on(srv, kstrlist_get(endpoints, i));
  return named;
}

// Everything smt_server_init built, for a failed init and for smt_server_free
// once no thread is left.
static void release(smt_server* srv) {
  karray_destroy(&srv->pool, free_record_elem);
  kmutex_destroy(&srv->pool_lock);
  ksocketset_close_all(&srv->listeners);
  ksocketset_free(&srv->listeners);
  kstrlist_free(&srv->pending);
  kthread_free(&srv->accept_thread);
  smt_tls_free(srv->tls);
  srv->tls = nullptr;
}

static bool any_thread_alive(smt_server* srv) {
  for (uint32_t i = 0; i < srv->pool.count; ++i)
    if (thread_alive(record_at(srv, i))) return true;
  return kthread_is_running(&srv->accept_thread) != 0;
}

// Waits up to ms for the accept thread and every record's thread to end;
// true when none runs.
static bool wait_threads(smt_server* srv, uint32_t ms) {
  const uint64_t end = ktick_ms() + ms;
  while (any_thread_alive(srv) && ktick_ms() < end) ksleep(10);
  return !any_thread_alive(srv);
}

bool smt_server_init(smt_server* srv, kstrlist* endpoints, smt_open_fn on_open,
                     smt_close_fn on_close, smt_message_fn on_message, uint32_t record_size,
                     klog* log, smt_accept_fn accept_filter, smt_tls* tls) {
  srv->log = log;
  srv->tls = tls;
  new (&srv->stop) std::atomic<uint32_t>(0);
  srv->max_clients = 10;
  srv->poll_timeout_ms = 1000;
  new (&srv->io_timeout_ms) std::atomic<uint32_t>(30000);
  srv->on_open = on_open;
  srv->on_close = on_close;
  srv->on_message = on_message;
  srv->accept_filter = accept_filter;
  kthread_init(&srv->accept_thread);
  ksocketset_init(&srv->listeners);
  kstrlist_init(&srv->pending);
  if (record_size < sizeof(smt_client)) record_size = sizeof(smt_client);
  // Growth step = pool size: the storage is allocated once and never moves
  // while threads hold pointers to their records.
  karray_init(&srv->pool, record_size, srv->max_clients);
  if (kmutex_create(&srv->pool_lock) != 0) {
    release(srv);
    return false;
  }
  for (uint32_t i = 0; i < srv->max_clients; ++i) {
    void* r = karray_append(&srv->pool);
    if (!r) continue;
    // A record without its lock is not kept: the pool has one fewer.
    if (!smt_client_init(static_cast<smt_client*>(r), on_open, on_close, on_message, log)) {
      karray_pop(&srv->pool);
      continue;
    }
    static_cast<smt_client*>(r)->tls = tls;
  }
  // Nothing to listen on, now or later: no endpoint named an address.
  if (create_listeners(srv, endpoints) == 0) {
    release(srv);
    return false;
  }
  // A thread refused here is tried again at its record's first hand-over.
  for (uint32_t i = 0; i < srv->pool.count; ++i) ensure_thread(record_at(srv, i));
  kthread_start(&srv->accept_thread, accept_main, 0, srv);
  // The accept thread runs until it is stopped: not running means not started.
  if (!kthread_is_running(&srv->accept_thread)) {
    // The idle record threads end as soon as they are woken.
    for (uint32_t i = 0; i < srv->pool.count; ++i) client_request_stop(record_at(srv, i));
    if (wait_threads(srv, 5 * srv->poll_timeout_ms)) release(srv);
    return false;
  }
  return true;
}

// Sets the server's stop flag: from here on no record is handed a connection.
static void stop_hand_overs(smt_server* srv) {
  kmutex_guard guard(&srv->pool_lock);
  srv->stop.store(1, std::memory_order_release);
}

void smt_server_stop(smt_server* srv) {
  stop_hand_overs(srv);
  // Every record is told first, so that the connections wind down together
  // instead of one after the other, and idle threads end at once.
  for (uint32_t i = 0; i < srv->pool.count; ++i) announce_stop(record_at(srv, i));
  // One wait for all the records: a stop takes the same bounded time however
  // many connections hang.
  const uint64_t end = ktick_ms() + 5 * srv->poll_timeout_ms;
  for (uint32_t i = 0; i < srv->pool.count; ++i)
    while (thread_alive(record_at(srv, i)) && ktick_ms() < end) ksleep(10);
  for (uint32_t i = 0; i < srv->pool.count; ++i) {
    smt_client* c = record_at(srv, i);
    if (smt_client_is_running(c)) give_up(c);
  }
  klog_write(srv->log, 1, KLOG_PLAIN, "SMTSVR shutdown\n");
  const uint64_t accept_end = ktick_ms() + 5 * srv->poll_timeout_ms;
  while (kthread_is_running(&srv->accept_thread) && ktick_ms() < accept_end) ksleep(10);
  if (kthread_is_running(&srv->accept_thread))
    klog_write(srv->log, 1, KLOG_CRITICAL, "SMT server not terminated\n");
}

void smt_server_free(smt_server* srv) {
  // A thread that outlived the stop waits still reads its record, its
  // socket and the callbacks' data: freeing under it would be a
  // use-after-free. Its stop flag is set and its connection cut off, so it
  // normally ends as soon as its current wait or callback returns; give it
  // that long. A thread stuck beyond it (a handler blocked in the kernel)
  // keeps the pool and the listeners: they are left allocated rather than
  // pulled from under it. An owner that skipped smt_server_stop gets the
  // stop requests here.
  stop_hand_overs(srv);
  for (uint32_t i = 0; i < srv->pool.count; ++i) client_request_stop(record_at(srv, i));
  if (!wait_threads(srv, 5 * srv->poll_timeout_ms)) {
    klog_write(srv->log, 1, KLOG_CRITICAL, "SMT server not terminated\n");
    return;
  }
  release(srv);
}

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "klib/kerror.h"
#include "klib/kthread.h"
#include "net/smt_tls.h"

// The largest plaintext of one TLS record: a write of up to this many bytes
// goes out as one record in one send.
#define SMT_TLS_RECORD_MAX 16384

struct smt_tls {
  SSL_CTX* ctx;
  BIO_METHOD* bio_method;  // the socket under every session of this context
  kstrlist peers;          // server: allowed certificate names; empty: any
};

struct smt_tls_conn {
  SSL* ssl;
  ksocket socket;
  uint32_t want;  // the readiness the last would-block asked for; 0: none
  smt_link link;
  // Pieces of a write gathered into one record (header, head and body of a
  // small reply go out as one record in one send).
  char staging[SMT_TLS_RECORD_MAX];
};

// ---- the socket under a session ----
//
// The session's bytes move through the socket layer's own non-blocking
// calls: sends never raise SIGPIPE, and a socket that cannot move now is a
// retry for the library, which the link then waits on.

static int bio_write(BIO* b, const char* data, int length) {
  ksocket* s = static_cast<ksocket*>(BIO_get_data(b));
  ksocket_buf buf = {const_cast<char*>(data), static_cast<uint32_t>(length)};
  uint32_t moved = 0;
  uint32_t rc = ksocket_send_now(s, &buf, 1, &moved);
  BIO_clear_retry_flags(b);
  if (rc == 0) return static_cast<int>(moved);
  if (rc == KERR_WOULDBLOCK || rc == KERR_INTR) BIO_set_retry_write(b);
  return -1;
}

static int bio_read(BIO* b, char* data, int length) {
  ksocket* s = static_cast<ksocket*>(BIO_get_data(b));
  ksocket_buf buf = {data, static_cast<uint32_t>(length)};
  uint32_t moved = 0;
  uint32_t rc = ksocket_recv_now(s, &buf, 1, &moved);
  BIO_clear_retry_flags(b);
  if (rc == 0) return static_cast<int>(moved);
  if (rc == KERR_WOULDBLOCK || rc == KERR_INTR) {
    BIO_set_retry_read(b);
    return -1;
  }
  return rc == KERR_FAILED ? 0 : -1;  // 1: the peer closed
}

static long bio_ctrl(BIO*, int cmd, long, void*) {
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

static int bio_create(BIO* b) {
  BIO_set_init(b, 1);
  return 1;
}

static BIO_METHOD* make_bio_method() {
  BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ksocket");
  if (!m) return nullptr;
  BIO_meth_set_write(m, bio_write);
  BIO_meth_set_read(m, bio_read);
  BIO_meth_set_ctrl(m, bio_ctrl);
  BIO_meth_set_create(m, bio_create);
  return m;
}

// ---- reasons ----

// The library's reason for a failure on this thread, or fallback: the
// earliest one on its queue (a load: the file's own trouble, a system error
// by its message) or the latest (a handshake: the step that gave up).
static void set_reason(kstring* why, const char* what, const char* fallback, bool earliest) {
  const char* reason = nullptr;
  char text[128];
  unsigned long e = earliest ? ERR_peek_error() : ERR_peek_last_error();
  if (e && ERR_GET_LIB(e) == ERR_LIB_SYS) {
    snprintf(text, sizeof text, "%s", strerror(ERR_GET_REASON(e)));
    reason = text;
  } else if (e) {
    reason = ERR_reason_error_string(e);
  }
  if (!reason) reason = fallback;
  if (what)
    kstring_format(why, "%s: %s", what, reason);
  else
    kstring_assign_cstr(why, reason);
  ERR_clear_error();
}

// A private key never prompts for a passphrase: the agent runs unattended.
static int no_passphrase(char*, int, int, void*) {
  return 0;
}

// A key that other users may read is no secret: refused before it is
// loaded.
static bool key_private(const char* key, kstring* why) {
  struct stat st;
  if (stat(key, &st) != 0) {
    kstring_format(why, "cannot read key file %s", key);
    return false;
  }
  if (st.st_mode & (S_IRGRP | S_IROTH)) {
    kstring_format(why, "key file %s is readable by other users (mode %03o; chmod 600 it)", key,
                   static_cast<unsigned>(st.st_mode & 0777));
    return false;
  }
  return true;
}

static bool empty(const char* text) {
  return !text || !*text;
}

// The context both sides start from: TLS 1.3 only, no session tickets (a
// collector that polls pays a full handshake either way, and the agent
// keeps no state between connections), every write retried as given.
static smt_tls* new_context(const SSL_METHOD* method, kstring* why) {
  smt_tls* t = new (std::nothrow) smt_tls;
  if (!t) {
    kstring_assign_cstr(why, "out of memory");
    return nullptr;
  }
  kstrlist_init(&t->peers);
  t->bio_method = make_bio_method();
  t->ctx = SSL_CTX_new(method);
  if (!t->ctx || !t->bio_method || !SSL_CTX_set_min_proto_version(t->ctx, TLS1_3_VERSION)) {
    set_reason(why, "cannot set up TLS", "failed", true);
    smt_tls_free(t);
    return nullptr;
  }
  SSL_CTX_set_num_tickets(t->ctx, 0);
  SSL_CTX_set_session_cache_mode(t->ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_mode(t->ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_default_passwd_cb(t->ctx, no_passphrase);
  return t;
}

// Certificate chain and key (key empty: in the cert file), which must match.
static bool load_identity(smt_tls* t, const char* cert, const char* key, bool check_key,
                          kstring* why) {
  if (empty(key)) key = cert;
  kstring what;
  kstring_init(&what);
  bool ok = false;
  if (SSL_CTX_use_certificate_chain_file(t->ctx, cert) != 1) {
    kstring_format(&what, "cannot load certificate %s", cert);
    set_reason(why, kstring_text(&what), "failed", true);
  } else if (check_key && !key_private(key, why)) {
  } else if (SSL_CTX_use_PrivateKey_file(t->ctx, key, SSL_FILETYPE_PEM) != 1) {
    // Also a key that does not match the certificate ("key values mismatch").
    kstring_format(&what, "cannot load key %s", key);
    set_reason(why, kstring_text(&what), "failed", true);
  } else {
    ok = true;
  }
  kstring_free(&what);
  return ok;
}

static bool load_ca(smt_tls* t, const char* ca, kstring* why) {
  if (SSL_CTX_load_verify_locations(t->ctx, ca, nullptr) == 1) return true;
  kstring what;
  kstring_init(&what);
  kstring_format(&what, "cannot load CA %s", ca);
  set_reason(why, kstring_text(&what), "failed", true);
  kstring_free(&what);
  return false;
}

uint32_t smt_tls_server_init(smt_tls** out, const char* cert, const char* key, const char* ca,
                             const kstrlist* peers, kstring* why) {
  if (empty(cert) || empty(ca)) {
    kstring_assign_cstr(why, empty(cert) ? "no certificate given"
                                         : "no CA given to verify client certificates with");
    return KERR_FAILED;
  }
  smt_tls* t = new_context(TLS_server_method(), why);
  if (!t) return KERR_FAILED;
  bool ok = load_identity(t, cert, key, true, why) && load_ca(t, ca, why);
  if (ok) {
    // The CAs a client is told to choose its certificate by.
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(ca);
    if (names) SSL_CTX_set_client_CA_list(t->ctx, names);
    SSL_CTX_set_verify(t->ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    for (uint32_t i = 0; peers && ok && i < kstrlist_count(peers); ++i) {
      kstring* p = kstrlist_add(&t->peers);
      ok = p && kstring_assign(p, kstrlist_get(peers, i));
      if (!ok) kstring_assign_cstr(why, "out of memory");
    }
  }
  ERR_clear_error();
  if (!ok) {
    smt_tls_free(t);
    return KERR_FAILED;
  }
  *out = t;
  return 0;
}

uint32_t smt_tls_client_init(smt_tls** out, const char* cert, const char* key, const char* ca,
                             kstring* why) {
  if (empty(ca)) {
    kstring_assign_cstr(why, "no CA given to verify the agent's certificate with");
    return KERR_FAILED;
  }
  smt_tls* t = new_context(TLS_client_method(), why);
  if (!t) return KERR_FAILED;
  bool ok = (empty(cert) || load_identity(t, cert, key, false, why)) && load_ca(t, ca, why);
  ERR_clear_error();
  if (!ok) {
    smt_tls_free(t);
    return KERR_FAILED;
  }
  SSL_CTX_set_verify(t->ctx, SSL_VERIFY_PEER, nullptr);
  *out = t;
  return 0;
}

void smt_tls_free(smt_tls* t) {
  if (!t) return;
  SSL_CTX_free(t->ctx);
  BIO_meth_free(t->bio_method);
  kstrlist_free(&t->peers);
  delete t;
}

// ---- the link ----

// After a failed call: would-block (with the direction the session waits
// for) or a failure; the thread's error queue is left empty.
static uint32_t io_result(smt_tls_conn* c, int r) {
  int e = SSL_get_error(c->ssl, r);
  ERR_clear_error();
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
    c->want = e == SSL_ERROR_WANT_READ ? KSOCKET_READ : KSOCKET_WRITE;
    return KERR_WOULDBLOCK;
  }
  return KERR_FAILED;  // the peer closed, or the session failed
}

// Fills the pieces in order for as long as the session has bytes: a frame
// longer than one record takes several reads.
static uint32_t link_recv_now(void* ctx, const ksocket_buf* bufs, uint32_t nbufs, uint32_t* count) {
  smt_tls_conn* c = static_cast<smt_tls_conn*>(ctx);
  *count = 0;
  for (uint32_t i = 0; i < nbufs; ++i) {
    for (uint32_t done = 0; done < bufs[i].length;) {
      size_t n = 0;
      int r =
          SSL_read_ex(c->ssl, static_cast<char*>(bufs[i].data) + done, bufs[i].length - done, &n);
      if (r <= 0) {
        // What moved counts; the next call meets the condition again.
        uint32_t rc = io_result(c, r);
        return *count > 0 ? 0 : rc;
      }
      done += static_cast<uint32_t>(n);
      *count += static_cast<uint32_t>(n);
    }
  }
  c->want = 0;
  return 0;
}

// One record per call: the pieces gathered up to a record's size. A retry
// after would-block gathers the same bytes again, as the library requires.
static uint32_t link_send_now(void* ctx, const ksocket_buf* bufs, uint32_t nbufs, uint32_t* count) {
  smt_tls_conn* c = static_cast<smt_tls_conn*>(ctx);
  const char* data = static_cast<const char*>(bufs[0].data);
  uint32_t n = bufs[0].length < SMT_TLS_RECORD_MAX ? bufs[0].length : SMT_TLS_RECORD_MAX;
  if (nbufs > 1 && n < SMT_TLS_RECORD_MAX) {
    n = 0;
    for (uint32_t i = 0; i < nbufs && n < SMT_TLS_RECORD_MAX; ++i) {
      uint32_t take = bufs[i].length;
      if (take > SMT_TLS_RECORD_MAX - n) take = SMT_TLS_RECORD_MAX - n;
      memcpy(c->staging + n, bufs[i].data, take);
      n += take;
    }
    data = c->staging;
  }
  size_t written = 0;
  int r = SSL_write_ex(c->ssl, data, n, &written);
  *count = 0;
  if (r <= 0) return io_result(c, r);
  *count = static_cast<uint32_t>(written);
  c->want = 0;
  return 0;
}

static uint32_t link_peek_now(void* ctx, void* buf, uint32_t* count) {
  smt_tls_conn* c = static_cast<smt_tls_conn*>(ctx);
  size_t n = 0;
  int r = SSL_peek_ex(c->ssl, buf, *count, &n);
  *count = 0;
  if (r <= 0) return io_result(c, r);
  *count = static_cast<uint32_t>(n);
  c->want = 0;
  return 0;
}

// Bytes the session holds already need no wait; otherwise the socket is
// waited on for what the session asked for last (a read may need to write).
static uint32_t link_wait(void* ctx, uint32_t mode, uint32_t timeout_ms) {
  smt_tls_conn* c = static_cast<smt_tls_conn*>(ctx);
  if (c->want == 0 && mode == KSOCKET_READ && SSL_has_pending(c->ssl)) return 0;
  return ksocket_wait(&c->socket, c->want ? c->want : mode, timeout_ms);
}

const smt_link* smt_tls_link(smt_tls_conn* c) {
  return &c->link;
}

// ---- handshakes ----

static smt_tls_conn* new_conn(smt_tls* t, ksocket* s) {
  smt_tls_conn* c = new (std::nothrow) smt_tls_conn;
  if (!c) return nullptr;
  c->socket = *s;
  c->want = 0;
  c->link = {link_recv_now, link_send_now, link_peek_now, link_wait, c};
  c->ssl = SSL_new(t->ctx);
  BIO* bio = c->ssl ? BIO_new(t->bio_method) : nullptr;
  if (!bio) {
    SSL_free(c->ssl);
    delete c;
    ERR_clear_error();
    return nullptr;
  }
  BIO_set_data(bio, &c->socket);
  SSL_set_bio(c->ssl, bio, bio);
  return c;
}

// The session's handshake within deadline_ms (a ktick_ms() time); 0, or the
// failure with its reason. A peer whose certificate fails verification is
// told so by the library's alert.
static uint32_t handshake(smt_tls_conn* c, uint64_t deadline_ms, uint32_t total_ms, kstring* why) {
  for (;;) {
    ERR_clear_error();
    int r = SSL_do_handshake(c->ssl);
    if (r == 1) return 0;
    int e = SSL_get_error(c->ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      uint64_t now = ktick_ms();
      uint32_t rc =
          now >= deadline_ms
              ? KERR_TIMEOUT
              : ksocket_wait(&c->socket, e == SSL_ERROR_WANT_READ ? KSOCKET_READ : KSOCKET_WRITE,
                             static_cast<uint32_t>(deadline_ms - now));
      if (rc == KERR_TIMEOUT) {
        kstring_format(why, "handshake not complete within %u ms", total_ms);
        return rc;
      }
      if (rc) {
        kstring_format(why, "%s", kerror_message(rc));
        return rc;
      }
      continue;
    }
    long verify = SSL_get_verify_result(c->ssl);
    if (verify != X509_V_OK) {
      kstring_assign_cstr(why, X509_verify_cert_error_string(verify));
      ERR_clear_error();
    } else {
      set_reason(why, nullptr, "connection closed during the handshake", false);
    }
    return KERR_FAILED;
  }
}

// Whether the certificate carries one of the names: its CN or a DNS
// subject alternative name equal to a host name, or an IP one to an address.
static bool name_allowed(X509* cert, const kstrlist* peers) {
  const unsigned int flags = X509_CHECK_FLAG_ALWAYS_CHECK_SUBJECT | X509_CHECK_FLAG_NO_WILDCARDS;
  for (uint32_t i = 0; i < kstrlist_count(peers); ++i) {
    const kstring* p = kstrlist_get(peers, i);
    if (X509_check_host(cert, kstring_text(p), p->length, flags, nullptr) == 1) return true;
    unsigned char ip[16];
    if ((inet_pton(AF_INET, kstring_text(p), ip) == 1 ||
         inet_pton(AF_INET6, kstring_text(p), ip) == 1) &&
        X509_check_ip_asc(cert, kstring_text(p), 0) == 1)
      return true;
  }
  ERR_clear_error();
  return false;
}

// The end of a handshake: the session to the caller, or freed without a
// goodbye when it failed.
static uint32_t hand_out(smt_tls_conn* c, uint32_t rc, smt_tls_conn** out) {
  if (rc) {
    SSL_free(c->ssl);
    delete c;
    ERR_clear_error();
    return rc;
  }
  *out = c;
  return 0;
}

uint32_t smt_tls_accept(smt_tls* t, ksocket* s, uint32_t idle_ms, uint32_t total_ms,
                        smt_tls_conn** out, kstring* why) {
  // The first bytes tell a TLS client from anything else before the library
  // sees them: a handshake record starts with 22.
  unsigned char first[4];
  uint32_t n = sizeof first;
  uint32_t rc = ksocket_peek_now(s, first, &n);
  if (rc == KERR_WOULDBLOCK) {
    rc = ksocket_wait(s, KSOCKET_READ, idle_ms);
    if (rc) return rc;
    n = sizeof first;
    rc = ksocket_peek_now(s, first, &n);
  }
  if (rc) return rc;  // closed, or failed, before a byte came
  const uint64_t deadline = ktick_ms() + total_ms;
  if (first[0] != 22) {
    bool smt = memcmp(first, "SMTF", n) == 0;
    kstring_assign_cstr(why, smt ? "plain SMT, not TLS" : "not a TLS handshake");
    return KERR_FAILED;
  }
  smt_tls_conn* c = new_conn(t, s);
  if (!c) {
    kstring_assign_cstr(why, "out of memory");
    return KERR_NOMEM;
  }
  SSL_set_accept_state(c->ssl);
  rc = handshake(c, deadline, total_ms, why);
  if (rc == 0 && kstrlist_count(&t->peers) > 0) {
    X509* cert = SSL_get0_peer_certificate(c->ssl);
    if (!cert || !name_allowed(cert, &t->peers)) {
      char cn[128] = "";
      if (cert)
        X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
      kstring_format(why, "certificate CN=%s is not an allowed peer", cn);
      rc = KERR_FAILED;
    }
  }
  return hand_out(c, rc, out);
}

uint32_t smt_tls_connect(smt_tls* t, ksocket* s, const char* name, uint32_t timeout_ms,
                         smt_tls_conn** out, kstring* why) {
  smt_tls_conn* c = new_conn(t, s);
  if (!c) {
    kstring_assign_cstr(why, "out of memory");
    return KERR_NOMEM;
  }
  SSL_set_connect_state(c->ssl);
  unsigned char ip[16];
  bool address = inet_pton(AF_INET, name, ip) == 1 || inet_pton(AF_INET6, name, ip) == 1;
  bool named =
      address ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c->ssl), name) == 1
              : SSL_set_tlsext_host_name(c->ssl, name) == 1 && SSL_set1_host(c->ssl, name) == 1;
  uint32_t rc = KERR_FAILED;
  if (!named)
    set_reason(why, "cannot use the name", "invalid", true);
  else
    rc = handshake(c, ktick_ms() + timeout_ms, timeout_ms, why);
  return hand_out(c, rc, out);
}

void smt_tls_close(smt_tls_conn* c) {
  if (!c) return;
  ERR_clear_error();
  SSL_shutdown(c->ssl);  // one try: the close_notify goes out if the socket takes it
  ERR_clear_error();
  SSL_free(c->ssl);
  delete c;
}

// smt_tls: mutual TLS for SMT connections. A context holds what every
// connection of one side shares (certificate, key, the CA that the other
// side's certificate must chain to, and on the server the names a client
// certificate may carry); a connection is one TLS session over a
// non-blocking socket, used by the frame operations as their link
// (smt_frame.h). TLS 1.3 only; the server requires a client certificate.
//
// Every wait is bounded: a handshake waits up to idle_ms for the peer's first
// byte and must then be done within total_ms in all; the link's waits take
// the frame operations' time-outs. Results are 0 or an error code of
// kerror.h (11 for a time-out, 1 for anything else); a failed load or
// handshake also says why in text, for the log. A handshake failure has
// nothing to say (why empty) when the peer sent nothing at all: it only
// connected and closed or stayed silent, as an idle plain connection does.
//
// A context is read-only once made, shared by the connections of any
// threads; it must outlive them. A connection is used by one thread at a
// time. Closing a connection does not close its socket. Builds without a
// TLS library refuse to make a context ("TLS is not available in this
// build").
#pragma once

#include <cstdint>

#include "klib/karray.h"
#include "klib/kstring.h"
#include "net/ksocket.h"
#include "net/smt_frame.h"

struct smt_tls;       // a context
struct smt_tls_conn;  // one connection's session

// The agent's side. cert is the PEM certificate chain, key its PEM private
// key (empty: in the cert file), refused when other users may read the file;
// ca the PEM bundle that client certificates must chain to. peers, when not
// empty, lists the names a client certificate must carry: its subject CN or
// one of its DNS or IP subject alternative names must equal an entry (host
// names compared without regard to letter case). 0 with *out set, or an
// error code with the reason in why.
uint32_t smt_tls_server_init(smt_tls** out, const char* cert, const char* key, const char* ca,
                             const kstrlist* peers, kstring* why);
// The collector's side: ca verifies the agent's certificate; cert and key
// (either may be null or empty; key empty: in the cert file) are the client
// certificate the agent asks for.
uint32_t smt_tls_client_init(smt_tls** out, const char* cert, const char* key, const char* ca,
                             kstring* why);
void smt_tls_free(smt_tls* t);  // null is fine

// The server's handshake on an accepted non-blocking socket. A first byte
// that cannot start a TLS handshake (a plain SMT frame, say) fails at once.
// 0 with *out a connection, or the failure (*out untouched).
uint32_t smt_tls_accept(smt_tls* t, ksocket* s, uint32_t idle_ms, uint32_t total_ms,
                        smt_tls_conn** out, kstring* why);
// The client's handshake on a connected non-blocking socket, within
// timeout_ms in all: the agent's certificate must chain to the context's CA
// and carry name (a host name, or an IPv4 or IPv6 address).
uint32_t smt_tls_connect(smt_tls* t, ksocket* s, const char* name, uint32_t timeout_ms,
                         smt_tls_conn** out, kstring* why);
// The link the frame operations take for this connection's bytes.
const smt_link* smt_tls_link(smt_tls_conn* c);
// Says goodbye to the peer if its socket takes it now (never waits) and
// frees the session; null is fine.
void smt_tls_close(smt_tls_conn* c);

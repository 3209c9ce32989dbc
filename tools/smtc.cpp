// smtc: sends one SMT request to an agent and prints the reply: the status
// line on standard error, the body on standard output. Exit status 0 for a
// "200" status, 1 for any other status, 2 when no reply came. With a CA
// (--ca) it speaks TLS, verifying the agent's certificate by name, and
// presents a client certificate when given one.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "klib/kerror.h"
#include "klib/kstring.h"
#include "net/ksocket.h"
#include "net/smt_frame.h"
#include "net/smt_tls.h"

static const int kExitOk = 0;
static const int kExitStatus = 1;
static const int kExitNoReply = 2;

static void usage(FILE* out) {
  fprintf(out,
          "usage: smtc [-1] [-b FILE|-] [-t MS] [--ca FILE [--cert FILE [--key FILE]]\n"
          "            [--servername NAME]] HOST[:PORT] WORD...\n"
          "\n"
          "Sends one SMT request whose head is the WORDs joined by blanks, and\n"
          "prints the reply: its status line on standard error, its body on\n"
          "standard output. HOST is a dotted IPv4 address or a host name; PORT\n"
          "defaults to 9000.\n"
          "\n"
          "  -b FILE  send FILE's content as the request body (- reads standard input)\n"
          "  -1       frame the request \"SMTF \" (version 1) instead of \"SMTF2\"\n"
          "  -t MS    limit on each wait for the agent, in milliseconds (default 30000)\n"
          "  -h       print this text\n"
          "  --ca FILE          speak TLS; the agent's certificate must chain to the\n"
          "                     CA certificates in FILE (PEM) and carry the agent's name\n"
          "  --cert FILE        the client certificate (PEM) the agent asks for\n"
          "  --key FILE         its private key (PEM; default: in the --cert file)\n"
          "  --servername NAME  the name the agent's certificate must carry (default:\n"
          "                     HOST)\n"
          "\n"
          "Exit status: 0 for a \"200\" status, 1 for any other status, 2 when no\n"
          "reply came (connection refused or closed, time-out) or the arguments\n"
          "are wrong.\n"
          "\n"
          "examples: smtc 127.0.0.1:9000 echo hi\n"
          "          smtc --ca ca.pem --cert collector.pem --key collector.key \\\n"
          "               agent.example.org:9000 echo hi\n");
}

static bool read_body(const char* path, kstring* body) {
  FILE* f = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  bool ok = true;
  while (ok && (n = fread(buf, 1, sizeof buf, f)) > 0)
    ok = kstring_append_bytes(body, buf, static_cast<uint32_t>(n)) != 0;
  ok = ok && !ferror(f);
  if (f != stdin) fclose(f);
  return ok;
}

// Connects to one address within timeout_ms; 0 or the error code.
static uint32_t connect_to(ksocket* s, const kstring* address, uint16_t port, uint32_t timeout_ms) {
  uint32_t rc = ksocket_create_tcp(s);
  if (rc) return rc;
  ksocket_set_nonblocking(s);
  rc = ksocket_connect(s, address, port);
  if (rc == KERR_INPROGRESS || rc == KERR_WOULDBLOCK) {
    rc = ksocket_wait(s, KSOCKET_WRITE, timeout_ms);
    // Writable also means failed: only a connected socket has a peer.
    kstring peer;
    kstring_init(&peer);
    uint16_t peer_port;
    if (rc == 0) rc = ksocket_peer_name(s, &peer, &peer_port);
    kstring_free(&peer);
  }
  if (rc) ksocket_close(s);
  return rc;
}

// Connects to the first address of host[:port] that accepts; false with a
// message on standard error when none does.
static bool connect_endpoint(ksocket* s, const char* endpoint, uint32_t timeout_ms) {
  kstring ep, host, port_text;
  kstring_init(&ep);
  kstring_init(&host);
  kstring_init(&port_text);
  kstrlist addresses;
  kstrlist_init(&addresses);
  kstring_assign_cstr(&ep, endpoint);
  kstring_token_cstr(&ep, ":", 0, &host);
  if (!kstring_token_cstr(&ep, ":", 1, &port_text)) kstring_assign_cstr(&port_text, "9000");
  uint16_t port = static_cast<uint16_t>(kstring_to_int(&port_text));
  uint32_t rc = KERR_FAILED;
  if (ksocket_is_address(&host)) {
    kstring* a = kstrlist_add(&addresses);
    if (a) kstring_assign(a, &host);
  } else if (ksocket_resolve(&host, &addresses) != 0) {
    fprintf(stderr, "smtc: cannot resolve host %s\n", kstring_text(&host));
  }
  for (uint32_t i = 0; i < kstrlist_count(&addresses) && rc; ++i)
    rc = connect_to(s, kstrlist_get(&addresses, i), port, timeout_ms);
  if (rc && kstrlist_count(&addresses) > 0) {
    // A refused connection shows as an unlisted error (1) or, once the
    // asynchronous connect has failed, as a socket without a peer (14).
    const char* why = rc == KERR_FAILED || rc == KERR_NOTCONN ? "connection refused or unreachable"
                                                              : kerror_message(rc);
    fprintf(stderr, "smtc: cannot connect to %s (%s)\n", endpoint, why);
  }
  kstrlist_free(&addresses);
  kstring_free(&port_text);
  kstring_free(&host);
  kstring_free(&ep);
  return rc == 0;
}

// What TLS takes, when asked for: the CA (and a client certificate).
struct tls_options {
  const char* ca;
  const char* cert;
  const char* key;
  const char* servername;
};

static bool tls_wanted(const tls_options* o) {
  return o->ca || o->cert || o->key || o->servername;
}

// The TLS session over a connected socket, the agent's certificate checked
// for --servername or the endpoint's host; false, said on standard error,
// when the handshake fails.
static bool start_tls(const tls_options* o, smt_tls* tls, ksocket* s, const char* endpoint,
                      uint32_t timeout_ms, smt_tls_conn** conn) {
  kstring why, host, ep;
  kstring_init(&why);
  kstring_init(&host);
  kstring_init(&ep);
  kstring_assign_cstr(&ep, endpoint);
  kstring_token_cstr(&ep, ":", 0, &host);
  const char* name = o->servername ? o->servername : kstring_text(&host);
  bool ok = smt_tls_connect(tls, s, name, timeout_ms, conn, &why) == 0;
  if (!ok)
    fprintf(stderr, "smtc: TLS handshake with %s failed (%s)\n", endpoint, kstring_text(&why));
  kstring_free(&ep);
  kstring_free(&host);
  kstring_free(&why);
  return ok;
}

int main(int argc, char** argv) {
  kerror_libinit();
  if (ksocket_libinit() != 0) return kExitNoReply;
  const char* body_path = nullptr;
  uint8_t version = 2;
  uint32_t timeout_ms = 30000;
  tls_options tls_opts = {nullptr, nullptr, nullptr, nullptr};
  static const option kLong[] = {{"ca", required_argument, nullptr, 'A'},
                                 {"cert", required_argument, nullptr, 'C'},
                                 {"key", required_argument, nullptr, 'K'},
                                 {"servername", required_argument, nullptr, 'N'},
                                 {nullptr, 0, nullptr, 0}};
  int opt;
  while ((opt = getopt_long(argc, argv, "+1b:t:h", kLong, nullptr)) != -1) {
    switch (opt) {
      case 'A':
        tls_opts.ca = optarg;
        break;
      case 'C':
        tls_opts.cert = optarg;
        break;
      case 'K':
        tls_opts.key = optarg;
        break;
      case 'N':
        tls_opts.servername = optarg;
        break;
      case '1':
        version = 1;
        break;
      case 'b':
        body_path = optarg;
        break;
      case 't':
        timeout_ms = static_cast<uint32_t>(kstring_to_int_cstr(optarg));
        break;
      case 'h':
        usage(stdout);
        return kExitOk;
      default:
        usage(stderr);
        return kExitNoReply;
    }
  }
  if (argc - optind < 2) {
    usage(stderr);
    return kExitNoReply;
  }
  const char* endpoint = argv[optind++];

  smt_message request, reply;
  smt_message_init(&request);
  smt_message_init(&reply);
  request.version = version;
  for (int i = optind; i < argc; ++i) {
    if (i > optind) kstring_append_char(&request.head, ' ');
    kstring_append_cstr(&request.head, argv[i]);
  }
  int code = kExitNoReply;
  ksocket s;
  ksocket_init(&s);
  smt_tls* tls = nullptr;
  smt_tls_conn* conn = nullptr;
  kstring why;
  kstring_init(&why);
  if (body_path && !read_body(body_path, &request.body)) {
    fprintf(stderr, "smtc: cannot read %s\n", body_path);
  } else if (tls_wanted(&tls_opts) &&
             smt_tls_client_init(&tls, tls_opts.cert, tls_opts.key, tls_opts.ca, &why) != 0) {
    fprintf(stderr, "smtc: %s\n", kstring_text(&why));
  } else if (connect_endpoint(&s, endpoint, timeout_ms)) {
    // start_tls says why a handshake failed.
    bool handshaken = !tls || start_tls(&tls_opts, tls, &s, endpoint, timeout_ms, &conn);
    const smt_link* link = conn ? smt_tls_link(conn) : nullptr;
    uint32_t rc = handshaken ? smt_frame_write(&request, &s, timeout_ms, link) : KERR_FAILED;
    if (rc == 0) rc = smt_frame_read(&reply, &s, timeout_ms, link);
    smt_tls_close(conn);
    ksocket_close(&s);
    if (rc == 0) {
      fprintf(stderr, "%s\n", kstring_text(&reply.head));
      fwrite(kstring_text(&reply.body), 1, reply.body.length, stdout);
      fflush(stdout);
      const char* status = kstring_text(&reply.head);
      bool ok = strncmp(status, "200", 3) == 0 && (status[3] == '\0' || status[3] == ' ');
      code = ok ? kExitOk : kExitStatus;
    } else if (handshaken) {
      // The frame layer reports a peer that closed as 1.
      const char* why = rc == KERR_FAILED ? "connection closed" : kerror_message(rc);
      fprintf(stderr, "smtc: no reply from %s (%s)\n", endpoint, why);
    }
  }
  kstring_free(&why);
  smt_tls_free(tls);
  smt_message_free(&reply);
  smt_message_free(&request);
  return code;
}

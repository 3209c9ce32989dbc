// smtc: sends one SMT request to an agent and prints the reply: the status
// line on standard error, the body on standard output. Exit status 0 for a
// "200" status, 1 for any other status, 2 when no reply came.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "klib/kerror.h"
#include "klib/kstring.h"
#include "net/ksocket.h"
#include "net/smt_frame.h"

static const int kExitOk = 0;
static const int kExitStatus = 1;
static const int kExitNoReply = 2;

static void usage(FILE* out) {
  fprintf(out,
          "usage: smtc [-1] [-b FILE|-] [-t MS] HOST[:PORT] WORD...\n"
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
          "\n"
          "Exit status: 0 for a \"200\" status, 1 for any other status, 2 when no\n"
          "reply came (connection refused or closed, time-out) or the arguments\n"
          "are wrong.\n"
          "\n"
          "example: smtc 127.0.0.1:9000 echo hi\n");
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

int main(int argc, char** argv) {
  kerror_libinit();
  if (ksocket_libinit() != 0) return kExitNoReply;
  const char* body_path = nullptr;
  uint8_t version = 2;
  uint32_t timeout_ms = 30000;
  int opt;
  while ((opt = getopt(argc, argv, "+1b:t:h")) != -1) {
    switch (opt) {
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
  if (body_path && !read_body(body_path, &request.body)) {
    fprintf(stderr, "smtc: cannot read %s\n", body_path);
  } else if (connect_endpoint(&s, endpoint, timeout_ms)) {
    uint32_t rc = smt_frame_write(&request, &s, timeout_ms);
    if (rc == 0) rc = smt_frame_read(&reply, &s, timeout_ms);
    ksocket_close(&s);
    if (rc) {
      // The frame layer reports a peer that closed as 1.
      const char* why = rc == KERR_FAILED ? "connection closed" : kerror_message(rc);
      fprintf(stderr, "smtc: no reply from %s (%s)\n", endpoint, why);
    } else {
      fprintf(stderr, "%s\n", kstring_text(&reply.head));
      fwrite(kstring_text(&reply.body), 1, reply.body.length, stdout);
      fflush(stdout);
      const char* status = kstring_text(&reply.head);
      bool ok = strncmp(status, "200", 3) == 0 && (status[3] == '\0' || status[3] == ' ');
      code = ok ? kExitOk : kExitStatus;
    }
  }
  smt_message_free(&reply);
  smt_message_free(&request);
  return code;
}

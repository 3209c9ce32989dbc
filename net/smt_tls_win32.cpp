#include "klib/kerror.h"
#include "net/smt_tls.h"

// This build has no TLS library: every context is refused, so no session
// is ever made and the operations on one are never reached.

static const char kUnavailable[] = "TLS is not available in this build";

uint32_t smt_tls_server_init(smt_tls**, const char*, const char*, const char*, const kstrlist*,
                             kstring* why) {
  kstring_assign_cstr(why, kUnavailable);
  return KERR_FAILED;
}

uint32_t smt_tls_client_init(smt_tls**, const char*, const char*, const char*, kstring* why) {
  kstring_assign_cstr(why, kUnavailable);
  return KERR_FAILED;
}

void smt_tls_free(smt_tls*) {}

uint32_t smt_tls_accept(smt_tls*, ksocket*, uint32_t, uint32_t, smt_tls_conn**, kstring* why) {
  kstring_assign_cstr(why, kUnavailable);
  return KERR_FAILED;
}

uint32_t smt_tls_connect(smt_tls*, ksocket*, const char*, uint32_t, smt_tls_conn**, kstring* why) {
  kstring_assign_cstr(why, kUnavailable);
  return KERR_FAILED;
}

const smt_link* smt_tls_link(smt_tls_conn*) {
  return nullptr;
}

void smt_tls_close(smt_tls_conn*) {}

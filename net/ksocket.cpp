// The portable half of the socket layer: composed operations and the socket
// set, built on the platform operations of ksocket_posix.cpp.
#include "net/ksocket.h"

#include <cstring>

#include "klib/kerror.h"

uint32_t ksocket_create_tcp(ksocket* s) {
  return ksocket_create(s, KSOCKET_STREAM, KSOCKET_PROTO_TCP);
}

uint32_t ksocket_create_listener(ksocket* s, const kstring* address, uint16_t port) {
  uint32_t rc = ksocket_create_tcp(s);
  if (rc) return rc;
  // A restarted agent must be able to bind its endpoint at once.
  ksocket_set_reuse_address(s);
  rc = ksocket_bind(s, address, port);
  if (rc == 0) rc = ksocket_listen(s);
  if (rc) ksocket_close(s);
  return rc;
}

uint32_t ksocket_read_line(ksocket* s, kstring* out, uint32_t max) {
  kstring_clear(out);
  for (uint32_t got = 0; got < max; ++got) {
    char c;
    uint32_t n = 1;
    uint32_t rc = ksocket_recv(s, &c, &n);
    if (rc) return rc;
    if (c == '\n') break;
    if (c != '\r') kstring_append_char(out, c);
  }
  return 0;
}

uint32_t ksocket_send_text(ksocket* s, const char* text) {
  uint32_t n = static_cast<uint32_t>(strlen(text));
  return ksocket_send(s, text, &n);
}

uint32_t ksocket_send_string(ksocket* s, const kstring* text) {
  return ksocket_send_text(s, kstring_text(text));
}

uint32_t ksocketset_init(ksocketset* set) {
  karray_init(&set->items, sizeof(ksocket), 16);
  return 0;
}

static void free_elem(void* e) {
  ksocket_free(static_cast<ksocket*>(e));
}

static void close_elem(void* e) {
  ksocket_close(static_cast<ksocket*>(e));
}

void ksocketset_free(ksocketset* set) {
  karray_destroy(&set->items, free_elem);
}

void ksocketset_clear(ksocketset* set) {
  karray_clear(&set->items);
}

void ksocketset_close_all(ksocketset* set) {
  karray_each(&set->items, close_elem);
}

ksocket* ksocketset_add(ksocketset* set) {
  ksocket* s = static_cast<ksocket*>(karray_append(&set->items));
  if (s) ksocket_init(s);
  return s;
}

ksocket* ksocketset_at(ksocketset* set, uint32_t i) {
  return static_cast<ksocket*>(karray_get(&set->items, i));
}

uint32_t ksocketset_count(const ksocketset* set) {
  return set->items.count;
}

void ksocketset_remove(ksocketset* set, uint32_t i) {
  karray_remove(&set->items, i);
}

uint32_t ksocketset_accept(ksocketset* set, uint32_t timeout_ms, ksocket* out) {
  uint32_t index = 0, kind = 0;
  uint32_t rc = ksocketset_wait(set, timeout_ms, &index, &kind);
  if (rc) return rc;
  return ksocket_accept(ksocketset_at(set, index), out);
}

uint32_t ksocketset_accept_peer(ksocketset* set, uint32_t timeout_ms, ksocket* out,
                                kstring* address, uint16_t* port) {
  uint32_t index = 0, kind = 0;
  uint32_t rc = ksocketset_wait(set, timeout_ms, &index, &kind);
  if (rc) return rc;
  return ksocket_accept_peer(ksocketset_at(set, index), out, address, port);
}

uint32_t ksocketset_create_listener(ksocketset* set, const kstring* address, uint16_t port) {
  ksocket s;
  ksocket_init(&s);
  uint32_t rc = ksocket_create_listener(&s, address, port);
  if (rc) return rc;
  ksocket* slot = ksocketset_add(set);
  if (!slot) {
    ksocket_close(&s);
    return KERR_NOMEM;
  }
  *slot = s;
  return 0;
}

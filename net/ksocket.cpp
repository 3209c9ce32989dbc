// The portable half of the socket layer: composed operations, names and
// addresses as text, and the socket set, built on the platform operations of
// ksocket_posix.cpp or ksocket_win32.cpp.
#include "net/ksocket.h"

#include <cstring>

#include "klib/kerror.h"
#include "klib/kthread.h"
#include "net/ksocket_sys.h"

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

uint32_t ksocket_ip_text(uint32_t ip, kstring* address) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip);
  return kstring_format(address, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]) ? 0 : KERR_NOMEM;
}

static uint32_t name_of(ksocket* s, int peer, kstring* address, uint16_t* port) {
  uint32_t ip = 0;
  uint32_t rc = ksocket_sys_name(s, peer, &ip, port);
  return rc ? rc : ksocket_ip_text(ip, address);
}

uint32_t ksocket_local_name(ksocket* s, kstring* address, uint16_t* port) {
  return name_of(s, 0, address, port);
}

uint32_t ksocket_peer_name(ksocket* s, kstring* address, uint16_t* port) {
  return name_of(s, 1, address, port);
}

uint32_t ksocket_resolve(const kstring* host, kstrlist* out) {
  uint32_t ips[64];
  uint32_t n = 0;
  uint32_t rc = ksocket_sys_resolve(kstring_text(host), ips, sizeof ips / sizeof ips[0], &n);
  if (rc) return rc;
  kstring text;
  kstring_init(&text);
  uint32_t first = kstrlist_count(out);
  for (uint32_t k = 0; k < n; ++k) {
    if (ksocket_ip_text(ips[k], &text) != 0) continue;
    // The resolver may name one address twice (hosts file and DNS).
    bool seen = false;
    for (uint32_t i = first; i < kstrlist_count(out) && !seen; ++i)
      seen = kstring_compare(kstrlist_get(out, i), &text) == 0;
    if (seen) continue;
    kstring* s = kstrlist_add(out);
    if (s) kstring_assign(s, &text);
  }
  kstring_free(&text);
  return 0;
}

uint32_t ksocketset_wait(ksocketset* set, uint32_t timeout_ms, uint32_t* index, uint32_t* kind) {
  uint32_t n = ksocketset_count(set);
  if (n > KSOCKET_SET_WAIT_MAX) n = KSOCKET_SET_WAIT_MAX;
  // An empty set has nothing to wait for: the wait is a sleep then.
  if (n == 0) {
    ksleep(timeout_ms);
    return KERR_TIMEOUT;
  }
  uint8_t ready[KSOCKET_SET_WAIT_MAX] = {};
  uint32_t rc = ksocket_sys_wait_set(set, n, timeout_ms, ready);
  if (rc) return rc;
  // Readability before writability, the first socket first.
  for (uint32_t i = 0; i < n; ++i) {
    if (ready[i]) {
      *index = i;
      *kind = ready[i] & KSOCKET_READ ? KSOCKET_READ : KSOCKET_WRITE;
      return 0;
    }
  }
  return KERR_FAILED;
}

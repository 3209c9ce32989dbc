// Platform half of the socket layer, used by ksocket.cpp and the halves
// only: the calls whose types and names differ between the systems, on IPv4
// addresses as the system stores them (network byte order) and ports in host
// order. Results as in ksocket.h.
#pragma once

#include <cstdint>

#include "net/ksocket.h"

// The socket's own address (peer 0) or its peer's (peer 1).
uint32_t ksocket_sys_name(ksocket* s, int peer, uint32_t* ip, uint16_t* port);
// Waits up to timeout_ms for any of the first n (1 to KSOCKET_SET_WAIT_MAX)
// sockets of set; 0 with ready[i] holding KSOCKET_READ and KSOCKET_WRITE bits
// (an error or a hang-up counts as both), KERR_TIMEOUT, or an error code.
uint32_t ksocket_sys_wait_set(ksocketset* set, uint32_t n, uint32_t timeout_ms, uint8_t* ready);
// Up to max IPv4 addresses of host in the resolver's order, *n of them.
uint32_t ksocket_sys_resolve(const char* host, uint32_t* ips, uint32_t max, uint32_t* n);

// Portable (ksocket.cpp): ip as dotted text.
uint32_t ksocket_ip_text(uint32_t ip, kstring* address);

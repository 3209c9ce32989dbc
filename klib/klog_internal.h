// klog_internal: the rate limiter of klog.h with the clock in the caller's
// hand, for the tests.
#pragma once

#include <cstdint>

#include "klib/klog.h"

// klog_limited at a given ktick_ms() time (tests drive the clock).
void klog_limited_at(klog* log, uint64_t now_ms, uint32_t level, uint32_t severity,
                     const char* kind, const char* peer, const char* format, ...)
    __attribute__((format(printf, 7, 8)));

// ktime: calendar time broken down in the host's local time zone (the POSIX
// struct tm), and its fixed text form "%a %b %d %H:%M:%S %Y" with English
// names whatever the process locale. Every function works on the caller's own
// value, so all of them are safe from several threads at once.
#pragma once

#include <cstdint>
#include <ctime>

#include "klib/kstring.h"

typedef struct tm ktime;

int ktime_init(ktime* t);  // 0; the value reads as the epoch's fields zeroed
void ktime_free(ktime* t);
void ktime_now(ktime* t);
void ktime_from_seconds(ktime* t, uint32_t seconds);
// Years above 1900 are full years, 71..1900 years since 1900, 0..70 the 2000s.
void ktime_set(ktime* t, uint32_t year, uint32_t month, uint32_t day, uint32_t hour,
               uint32_t minute, uint32_t second);
void ktime_format(const ktime* t, kstring* out);
void ktime_add(ktime* t, uint32_t hours, uint32_t minutes, uint32_t seconds);
int64_t ktime_diff(ktime* a, ktime* b);  // seconds from b to a; normalises both

// klog: the program's one log file, shared by every thread.
//
// Each message is written under the log's mutex with the file opened in
// append mode for that one message and closed again, so a line is on disk
// when the call returns and the file may be moved or deleted between
// messages. A message is written when its level is at most the log's level
// (level 0 writes nothing, console echo included). Formats end with "\n";
// the writer adds none. Every writer accepts a null log and does nothing.
//
// Warnings that a peer or a faulty environment can repeat at will go through
// klog_limited: at most KLOG_LIMIT_BURST lines per KLOG_LIMIT_PERIOD_MS for
// one kind and peer; the rest of the period is counted and reported as one
// "<last line> (N more suppressed)" line once the period is over.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "klib/kfile.h"
#include "klib/kmutex.h"

constexpr uint32_t KLOG_TIME = 1;     // start with the local time and a blank
constexpr uint32_t KLOG_FILE = 4;     // append to the log file
constexpr uint32_t KLOG_CONSOLE = 8;  // print to standard output

constexpr uint32_t KLOG_PLAIN = 0;
constexpr uint32_t KLOG_WARNING = 1;   // "[WARNING] "
constexpr uint32_t KLOG_CRITICAL = 2;  // "[CRITICAL] "

constexpr uint32_t KLOG_LIMIT_BURST = 10;
constexpr uint64_t KLOG_LIMIT_PERIOD_MS = 60000;
// Kinds and peers tracked at once. When every slot holds a running period,
// a further peer shares the slot of its kind with the peer "*", so that
// changing addresses cannot multiply the lines.
constexpr uint32_t KLOG_LIMIT_SLOTS = 32;

// One kind and peer of klog_limited, guarded by the log's mutex.
struct klog_limit_slot {
  const char* kind;   // a string literal of the caller; null: slot free
  char peer[48];      // cut to fit
  uint64_t since_ms;  // start of the current period
  uint32_t count;     // lines of the period, written or not
  kstring last;       // the last suppressed line, severity label included
  uint32_t last_level;
};

struct klog {
  kfile file;
  std::atomic<uint32_t> level;  // set before other threads exist; read without the mutex
  kmutex mutex;
  klog_limit_slot limits[KLOG_LIMIT_SLOTS];
};

// 1; level 1; the file is not opened. 0 when the platform refuses the lock
// (nothing to free).
int klog_init(klog* log, const char* path);
int klog_init_k(klog* log, const kstring* path);
void klog_free(klog* log);
void klog_set_level(klog* log, uint32_t level);
// Timed line to the file.
void klog_write(klog* log, uint32_t level, uint32_t severity, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Timed line to the file and to standard output.
void klog_echo(klog* log, uint32_t level, uint32_t severity, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// "# " and the text to the file, no time.
void klog_plain(klog* log, uint32_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void klog_vwrite(klog* log, uint32_t level, uint32_t flags, uint32_t severity, const char* format,
                 va_list args) __attribute__((format(printf, 5, 0)));
// Timed line to the file, rate-limited per kind (a string literal naming
// the warning) and peer (an address, a path; null or "" for none). Periods
// that have ended are reported first.
void klog_limited(klog* log, uint32_t level, uint32_t severity, const char* kind, const char* peer,
                  const char* format, ...) __attribute__((format(printf, 6, 7)));

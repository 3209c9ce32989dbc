// klog: the program's one log file, shared by every thread.
//
// Each message is written under the log's mutex with the file opened in
// append mode for that one message and closed again, so a line is on disk
// when the call returns and the file may be moved or deleted between
// messages. A message is written when its level is at most the log's level
// (level 0 writes nothing, console echo included). Formats end with "\n";
// the writer adds none. Every writer accepts a null log and does nothing.
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

struct klog {
  kfile file;
  std::atomic<uint32_t> level;  // set before other threads exist; read without the mutex
  kmutex mutex;
};

int klog_init(klog* log, const char* path);  // 1; level 1; the file is not opened
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

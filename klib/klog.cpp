#include "klib/klog.h"

#include <cstdio>
#include <new>

#include "klib/ktime.h"

int klog_init(klog* log, const char* path) {
  kfile_init(&log->file);
  kfile_set_name_cstr(&log->file, path);
  new (&log->level) std::atomic<uint32_t>(1);
  kmutex_create(&log->mutex);
  return 1;
}

int klog_init_k(klog* log, const kstring* path) {
  return klog_init(log, kstring_text(path));
}

void klog_free(klog* log) {
  kmutex_destroy(&log->mutex);
  kfile_free(&log->file);
}

void klog_set_level(klog* log, uint32_t level) {
  log->level.store(level, std::memory_order_relaxed);
}

void klog_vwrite(klog* log, uint32_t level, uint32_t flags, uint32_t severity, const char* format,
                 va_list args) {
  if (!log || log->level.load(std::memory_order_relaxed) < level) return;
  static const char* const kLabels[] = {"", "[WARNING] ", "[CRITICAL] "};
  if (severity > 2) severity = 0;
  kmutex_guard guard(&log->mutex);
  kstring text, stamp;
  kstring_init(&text);
  kstring_init(&stamp);
  kstring_vformat(&text, format, args);
  if (flags & KLOG_TIME) {
    ktime now;
    ktime_init(&now);
    ktime_now(&now);
    ktime_format(&now, &stamp);
    kstring_append_char(&stamp, ' ');
    ktime_free(&now);
  }
  if (flags & KLOG_FILE) {
    if (kfile_open(&log->file, "at") == 0) {
      kfile_printf(&log->file, (flags & KLOG_TIME) ? "%s%s%s" : "# %s%s%s", kstring_text(&stamp),
                   kLabels[severity], kstring_text(&text));
      kfile_close(&log->file);
    }
  }
  if (flags & KLOG_CONSOLE) {
    printf("%s%s%s", kstring_text(&stamp), kLabels[severity], kstring_text(&text));
    // Standard output may be a pipe read by a supervisor: never hold a line back.
    fflush(stdout);
  }
  kstring_free(&stamp);
  kstring_free(&text);
}

void klog_write(klog* log, uint32_t level, uint32_t severity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  klog_vwrite(log, level, KLOG_TIME | KLOG_FILE, severity, format, args);
  va_end(args);
}

void klog_echo(klog* log, uint32_t level, uint32_t severity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  klog_vwrite(log, level, KLOG_TIME | KLOG_FILE | KLOG_CONSOLE, severity, format, args);
  va_end(args);
}

void klog_plain(klog* log, uint32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  klog_vwrite(log, level, KLOG_FILE, 0, format, args);
  va_end(args);
}

#include "klib/klog.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "klib/klog_internal.h"
#include "klib/kthread.h"
#include "klib/ktime.h"

int klog_init(klog* log, const char* path) {
  kfile_init(&log->file);
  kfile_set_name_cstr(&log->file, path);
  new (&log->level) std::atomic<uint32_t>(1);
  // Without its lock the log could not keep two threads' lines apart.
  if (kmutex_create(&log->mutex) != 0) {
    kfile_free(&log->file);
    return 0;
  }
  for (klog_limit_slot& s : log->limits) {
    s.kind = nullptr;
    s.peer[0] = 0;
    s.since_ms = 0;
    s.count = 0;
    kstring_init(&s.last);
    s.last_level = 0;
  }
  return 1;
}

int klog_init_k(klog* log, const kstring* path) {
  return klog_init(log, kstring_text(path));
}

static void limit_flush_locked(klog* log, uint64_t now_ms);

void klog_free(klog* log) {
  {
    // What is still pending is reported before the log goes.
    kmutex_guard guard(&log->mutex);
    limit_flush_locked(log, UINT64_MAX);
  }
  for (klog_limit_slot& s : log->limits) kstring_free(&s.last);
  kmutex_destroy(&log->mutex);
  kfile_free(&log->file);
}

void klog_set_level(klog* log, uint32_t level) {
  log->level.store(level, std::memory_order_relaxed);
}

static const char* const kLabels[] = {"", "[WARNING] ", "[CRITICAL] "};

// Writes one formatted message; the caller holds the log's mutex.
static void write_locked(klog* log, uint32_t flags, uint32_t severity, const kstring* text) {
  kstring stamp;
  kstring_init(&stamp);
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
                   kLabels[severity], kstring_text(text));
      kfile_close(&log->file);
    }
  }
  if (flags & KLOG_CONSOLE) {
    printf("%s%s%s", kstring_text(&stamp), kLabels[severity], kstring_text(text));
    // Standard output may be a pipe read by a supervisor: never hold a line back.
    fflush(stdout);
  }
  kstring_free(&stamp);
}

void klog_vwrite(klog* log, uint32_t level, uint32_t flags, uint32_t severity, const char* format,
                 va_list args) {
  if (!log || log->level.load(std::memory_order_relaxed) < level) return;
  if (severity > 2) severity = 0;
  kmutex_guard guard(&log->mutex);
  kstring text;
  kstring_init(&text);
  kstring_vformat(&text, format, args);
  write_locked(log, flags, severity, &text);
  kstring_free(&text);
}

// Ends the slot's period: its suppressed lines, if any, become one line.
static void limit_close(klog* log, klog_limit_slot* s) {
  if (s->count > KLOG_LIMIT_BURST && log->level.load(std::memory_order_relaxed) >= s->last_level) {
    char suffix[48];
    snprintf(suffix, sizeof suffix, " (%u more suppressed)\n", s->count - KLOG_LIMIT_BURST);
    kstring_chomp(&s->last);
    kstring_append_cstr(&s->last, suffix);
    write_locked(log, KLOG_TIME | KLOG_FILE, 0, &s->last);
  }
  s->kind = nullptr;
  s->count = 0;
  kstring_clear(&s->last);
}

static void limit_flush_locked(klog* log, uint64_t now_ms) {
  for (klog_limit_slot& s : log->limits) {
    if (s.kind && (now_ms == UINT64_MAX || now_ms - s.since_ms >= KLOG_LIMIT_PERIOD_MS))
      limit_close(log, &s);
  }
}

static bool same_peer(const klog_limit_slot* s, const char* kind, const char* peer) {
  return s->kind && strcmp(s->kind, kind) == 0 && strncmp(s->peer, peer, sizeof s->peer - 1) == 0;
}

// The slot of kind and peer, a new one, or the kind's shared "*" slot when
// every slot is taken (the oldest period ends early to make room for it).
static klog_limit_slot* limit_slot(klog* log, const char* kind, const char* peer, uint64_t now_ms) {
  klog_limit_slot* free_slot = nullptr;
  klog_limit_slot* shared = nullptr;
  klog_limit_slot* oldest = nullptr;
  for (klog_limit_slot& s : log->limits) {
    if (same_peer(&s, kind, peer)) return &s;
    if (!s.kind) {
      if (!free_slot) free_slot = &s;
      continue;
    }
    if (same_peer(&s, kind, "*")) shared = &s;
    if (!oldest || s.since_ms < oldest->since_ms) oldest = &s;
  }
  if (!free_slot && shared) return shared;
  if (!free_slot) {
    limit_close(log, oldest);
    free_slot = oldest;
    peer = "*";
  }
  free_slot->kind = kind;
  snprintf(free_slot->peer, sizeof free_slot->peer, "%s", peer);
  free_slot->since_ms = now_ms;
  free_slot->count = 0;
  return free_slot;
}

static void limited_v(klog* log, uint64_t now_ms, uint32_t level, uint32_t severity,
                      const char* kind, const char* peer, const char* format, va_list args) {
  if (!log || log->level.load(std::memory_order_relaxed) < level) return;
  if (severity > 2) severity = 0;
  kmutex_guard guard(&log->mutex);
  limit_flush_locked(log, now_ms);
  klog_limit_slot* s = limit_slot(log, kind, peer ? peer : "", now_ms);
  kstring text;
  kstring_init(&text);
  kstring_vformat(&text, format, args);
  if (++s->count <= KLOG_LIMIT_BURST) {
    write_locked(log, KLOG_TIME | KLOG_FILE, severity, &text);
  } else {
    kstring_assign_cstr(&s->last, kLabels[severity]);
    kstring_append(&s->last, &text);
    s->last_level = level;
  }
  kstring_free(&text);
}

void klog_limited(klog* log, uint32_t level, uint32_t severity, const char* kind, const char* peer,
                  const char* format, ...) {
  va_list args;
  va_start(args, format);
  limited_v(log, ktick_ms(), level, severity, kind, peer, format, args);
  va_end(args);
}

void klog_limited_at(klog* log, uint64_t now_ms, uint32_t level, uint32_t severity,
                     const char* kind, const char* peer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  limited_v(log, now_ms, level, severity, kind, peer, format, args);
  va_end(args);
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

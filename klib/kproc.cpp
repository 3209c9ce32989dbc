// The platform-independent half of kproc: the record, the order of a run's
// steps and the cutting of the output into lines.
#include "klib/kproc.h"

#include <cstring>

#include "klib/kproc_sys.h"
#include "klib/kthread.h"

uint32_t kproc_libinit() {
  return 0;
}

static void kproc_reset(kproc* p) {
  p->pid = 0;
  p->process = KPROC_NO_HANDLE;
  p->thread = KPROC_NO_HANDLE;
  p->job = KPROC_NO_HANDLE;
  p->out_read = KPROC_NO_HANDLE;
  p->out_write = KPROC_NO_HANDLE;
  p->in_write = KPROC_NO_HANDLE;
  p->in_read = KPROC_NO_HANDLE;
  p->err_write = KPROC_NO_HANDLE;
  p->time_limit_ms = 0;
  p->timed_out = 0;
  p->deadline_ms = 0;
  p->cancel = nullptr;
  p->cancelled = 0;
  p->run = 0;
  p->drain_left = 0;
  p->drain_deadline_ms = 0;
  p->reap_ms = 0;
  p->buf_pos = 0;
  p->buf_len = 0;
}

int kproc_init(kproc* p, const char* command) {
  kstring_init(&p->command);
  kstring_assign_cstr(&p->command, command ? command : "");
  kproc_reset(p);
  return 0;
}

int kproc_init_k(kproc* p, const kstring* command) {
  kstring_init(&p->command);
  kstring_assign(&p->command, command);
  kproc_reset(p);
  return 0;
}

int kproc_finish(kproc* p) {
  kproc_sys_close(&p->out_read);
  kproc_sys_close(&p->in_write);
  p->buf_pos = 0;
  p->buf_len = 0;
  kproc_sys_end(p);
  return 1;
}

void kproc_free(kproc* p) {
  kproc_finish(p);
  kstring_free(&p->command);
}

void kproc_set_time_limit(kproc* p, uint32_t ms) {
  p->time_limit_ms = ms;
}

uint32_t kproc_timed_out(const kproc* p) {
  return p->timed_out;
}

void kproc_set_cancel(kproc* p, const std::atomic<uint32_t>* flag) {
  p->cancel = flag;
}

uint32_t kproc_cancelled(const kproc* p) {
  return p->cancelled;
}

int kproc_split_args(char* text, char** argv, int max) {
  char* src = text;
  char* dst = text;
  int argc = 0;
  for (;;) {
    while (*src == ' ' || *src == '\t') ++src;
    if (*src == '\0' || argc == max) break;
    argv[argc++] = dst;
    bool quoted = false;
    while (*src != '\0' && (quoted || (*src != ' ' && *src != '\t'))) {
      if (*src == '"')
        quoted = !quoted;
      else
        *dst++ = *src;
      ++src;
    }
    // dst never overtakes src, and src has moved past the separator before
    // the terminator may overwrite it.
    if (*src != '\0') ++src;
    *dst++ = '\0';
  }
  argv[argc] = nullptr;
  return argc;
}

static int kproc_launch(kproc* p, bool redirect) {
  kproc_finish(p);
  p->timed_out = 0;
  p->cancelled = 0;
  p->deadline_ms = 0;
  p->drain_left = 0;
  p->drain_deadline_ms = 0;
  bool ok = kproc_sys_launch(p, redirect);
  // The child holds its own copies now; the output pipe reaches its end as
  // soon as the child and whatever inherited its ends have closed them.
  kproc_sys_close(&p->out_write);
  kproc_sys_close(&p->err_write);
  kproc_sys_close(&p->in_read);
  if (!ok) {
    kproc_sys_close(&p->out_read);
    return 0;
  }
  if (redirect && p->time_limit_ms) p->deadline_ms = ktick_ms() + p->time_limit_ms;
  p->reap_ms = ktick_ms() + KPROC_REAP_POLL_MS;
  return 1;
}

int kproc_run(kproc* p) {
  return kproc_launch(p, true);
}

int kproc_start(kproc* p) {
  return kproc_launch(p, false);
}

// Appends count bytes to line, leaving out every CR.
static void kproc_append_without_cr(kstring* line, const char* bytes, uint32_t count,
                                    uint32_t max) {
  // A long line arrives in many buffers: room ahead keeps it from being
  // copied once per buffer.
  uint64_t limit = uint64_t{max} + 1 < UINT32_MAX ? uint64_t{max} + 1 : UINT32_MAX;
  kstring_reserve_ahead(line, line->length + count + 1, static_cast<uint32_t>(limit));
  while (count > 0) {
    const char* cr = static_cast<const char*>(memchr(bytes, '\r', count));
    uint32_t take = cr ? static_cast<uint32_t>(cr - bytes) : count;
    kstring_append_bytes(line, bytes, take);
    if (!cr) return;
    bytes += take + 1;
    count -= take + 1;
  }
}

int kproc_read_line_max(kproc* p, kstring* line, uint32_t max) {
  kstring_clear(line);
  if (max == 0) max = 1;
  int got = 0;
  for (;;) {
    if (line->length >= max) {
      // The rest of the line waits for the next call; a line of exactly max
      // bytes is whole, though: its line end goes with it, rather than
      // coming out as an empty line of its own.
      while (p->buf_pos < p->buf_len || kproc_sys_fill(p)) {
        char c = p->buf[p->buf_pos];
        if (c == '\r') {
          ++p->buf_pos;
          continue;
        }
        if (c == '\n') ++p->buf_pos;
        break;
      }
      return 1;
    }
    if (p->buf_pos == p->buf_len && !kproc_sys_fill(p)) return got;
    const char* start = p->buf + p->buf_pos;
    uint32_t count = p->buf_len - p->buf_pos;
    // At most as many bytes as the line has room for are consumed: dropping
    // CRs keeps fewer, never more, so the line cannot pass max.
    uint32_t room = max - line->length;
    if (count > room) count = room;
    const char* lf = static_cast<const char*>(memchr(start, '\n', count));
    uint32_t take = lf ? static_cast<uint32_t>(lf - start) : count;
    kproc_append_without_cr(line, start, take, max);
    got = 1;
    p->buf_pos += take;
    if (lf) {
      ++p->buf_pos;
      return 1;
    }
  }
}

int kproc_read_line(kproc* p, kstring* line) {
  return kproc_read_line_max(p, line, UINT32_MAX);
}

int kproc_is_running(kproc* p) {
  if (p->pid == 0) return 0;
  if (!kproc_sys_exited(p)) return 1;
  kproc_sys_end(p);
  return 0;
}

int kproc_kill(kproc* p) {
  kproc_sys_end(p);
  return 1;
}

uint32_t kproc_get_command(const kproc* p, kstring* out) {
  return kstring_assign(out, &p->command);
}

uint32_t kproc_get_pid(const kproc* p) {
  return p->pid;
}

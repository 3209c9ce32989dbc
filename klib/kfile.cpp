#include "klib/kfile.h"

#include <cstdarg>
#include <cstring>

#include "klib/kerror.h"
#include "klib/kfile_sys.h"

uint32_t kfile_init(kfile* f) {
  kstring_init(&f->name);
  f->stream = nullptr;
  return 0;
}

void kfile_free(kfile* f) {
  kstring_free(&f->name);
}

uint32_t kfile_set_name_cstr(kfile* f, const char* path) {
  return kstring_assign_cstr(&f->name, path);
}

uint32_t kfile_set_name(kfile* f, const kstring* path) {
  return kstring_assign(&f->name, path);
}

uint32_t kfile_open(kfile* f, const char* mode) {
  FILE* s = kfile_sys_open(kstring_text(&f->name), mode);
  if (!s) return KERR_FAILED;
  f->stream = s;
  return 0;
}

static uint32_t open_regular(kfile* f, bool nofollow) {
  FILE* s = kfile_sys_open_regular(kstring_text(&f->name), nofollow);
  if (!s) return KERR_FAILED;
  f->stream = s;
  return 0;
}

uint32_t kfile_open_regular(kfile* f) {
  return open_regular(f, false);
}

uint32_t kfile_open_regular_nofollow(kfile* f) {
  return open_regular(f, true);
}

uint32_t kfile_size(kfile* f, uint64_t* size) {
  return f->stream ? kfile_sys_size(f->stream, size) : KERR_FAILED;
}

uint32_t kfile_real_path(kfile* f, kstring* path) {
  return f->stream ? kfile_sys_real_path(f->stream, path) : KERR_FAILED;
}

uint32_t kfile_resolve(const kstring* path, kstring* real) {
  return kfile_sys_resolve(kstring_text(path), real);
}

uint32_t kfile_path_within(const kstring* path, const kstring* dir) {
  uint32_t n = dir->length;
  const char* p = kstring_text(path);
  const char* d = kstring_text(dir);
  if (path->length < n || memcmp(p, d, n) != 0) return 0;
  // The root, or whole components: the next character ends the directory's
  // last one.
  return n == path->length || (n > 0 && d[n - 1] == '/') || p[n] == '/' ? 1 : 0;
}

uint32_t kfile_close(kfile* f) {
  if (!f->stream) return KERR_FAILED;
  if (fclose(f->stream) != 0) {
    // fclose releases the stream even when flushing failed; never touch it again.
    f->stream = nullptr;
    return KERR_FAILED;
  }
  f->stream = nullptr;
  return 0;
}

uint32_t kfile_read_line_max(kfile* f, kstring* line, uint32_t max) {
  kstring_clear(line);
  if (!f->stream) return KERR_EOF;
  if (max == 0) max = 1;
  bool got = false;
  // Collect runs of plain bytes in a small buffer: one append per run instead
  // of one per byte.
  char run[256];
  uint32_t n = 0;
  // A set end-of-file indicator ends the reading at once; getc sets it when
  // it meets the end, which the loop then leaves anyway.
  bool at_end = feof(f->stream) != 0;
  for (; !at_end;) {
    if (line->length + n >= max) {
      // The rest of the line waits for the next call; a line of exactly max
      // bytes is whole, though: its line end goes with it, rather than
      // coming out as an empty line of its own.
      int next;
      do next = kfile_sys_getc(f->stream);
      while (next == '\r');
      if (next != '\n' && next != EOF) ungetc(next, f->stream);
      break;
    }
    // The stream belongs to this record and thread: no per-byte locking.
    int c = kfile_sys_getc(f->stream);
    if (c == EOF) break;
    got = true;
    if (c == '\r') continue;
    if (c == '\n') {
      kstring_append_bytes(line, run, n);
      return 0;
    }
    run[n++] = static_cast<char>(c);
    if (n == sizeof run) {
      // Room ahead: a long line is not copied once per run.
      uint64_t limit = uint64_t{max} + 1 < UINT32_MAX ? uint64_t{max} + 1 : UINT32_MAX;
      kstring_reserve_ahead(line, line->length + n + 1, static_cast<uint32_t>(limit));
      kstring_append_bytes(line, run, n);
      n = 0;
    }
  }
  kstring_append_bytes(line, run, n);
  return got ? 0 : KERR_EOF;
}

uint32_t kfile_read_line(kfile* f, kstring* line) {
  return kfile_read_line_max(f, line, UINT32_MAX);
}

uint32_t kfile_write_text(kfile* f, const kstring* text) {
  if (!f->stream || fputs(kstring_text(text), f->stream) < 0) return KERR_EOF;
  return 0;
}

uint32_t kfile_read(kfile* f, void* buf, uint32_t count) {
  if (!f->stream) return 0;
  return static_cast<uint32_t>(fread(buf, 1, count, f->stream));
}

uint32_t kfile_write(kfile* f, const void* buf, uint32_t count) {
  if (!f->stream) return 0;
  return static_cast<uint32_t>(fwrite(buf, 1, count, f->stream));
}

int kfile_printf(kfile* f, const char* format, ...) {
  if (!f->stream) return -1;
  va_list args;
  va_start(args, format);
  int n = vfprintf(f->stream, format, args);
  va_end(args);
  return n;
}

uint32_t kfile_seek(kfile* f, int32_t offset) {
  return f->stream && fseek(f->stream, offset, SEEK_SET) == 0 ? 0 : KERR_FAILED;
}

uint32_t kfile_seek_end(kfile* f, int32_t offset) {
  return f->stream && fseek(f->stream, offset, SEEK_END) == 0 ? 0 : KERR_FAILED;
}

uint32_t kfile_tell(kfile* f, uint32_t* position) {
  if (!f->stream) return KERR_FAILED;
  long p = ftell(f->stream);
  if (p < 0) return KERR_FAILED;
  *position = static_cast<uint32_t>(p);
  return 0;
}

uint32_t kfile_error(kfile* f) {
  return f->stream && ferror(f->stream) ? 1 : 0;
}

uint32_t kfile_stat(kfile* f, uint32_t* mtime, uint32_t* size) {
  uint32_t t = 0;
  uint64_t s = 0;
  if (kfile_sys_stat(kstring_text(&f->name), &t, &s) != 0) return KERR_FAILED;
  *mtime = t;
  // Saturate instead of wrapping: a huge file must never look small.
  *size = s > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(s);
  return 0;
}

uint32_t kfile_stat64(kfile* f, uint32_t* mtime, uint64_t* size) {
  return kfile_sys_stat(kstring_text(&f->name), mtime, size);
}

uint32_t kfile_stat_info(kfile* f, kfile_info* info) {
  return kfile_sys_stat_info(kstring_text(&f->name), info);
}

uint32_t kfile_open_info(kfile* f, kfile_info* info) {
  return f->stream ? kfile_sys_open_info(f->stream, info) : KERR_FAILED;
}

uint32_t kfile_set_unbuffered(kfile* f) {
  return f->stream && setvbuf(f->stream, nullptr, _IONBF, 0) == 0 ? 0 : KERR_FAILED;
}

uint32_t kfile_sync(kfile* f) {
  return f->stream ? kfile_sys_sync(f->stream) : KERR_FAILED;
}

uint32_t kfile_seek64(kfile* f, uint64_t offset) {
  return f->stream ? kfile_sys_seek(f->stream, offset) : KERR_FAILED;
}

uint32_t kfile_tell64(kfile* f, uint64_t* position) {
  return f->stream ? kfile_sys_tell(f->stream, position) : KERR_FAILED;
}

uint32_t kfile_append(kfile* f, const void* buf, uint32_t count) {
  return f->stream ? kfile_sys_write_direct(f->stream, buf, count) : 0;
}

uint32_t kfile_truncate64(kfile* f, uint64_t size) {
  return f->stream ? kfile_sys_truncate(f->stream, size) : KERR_FAILED;
}

uint32_t kfile_try_lock(kfile* f) {
  return f->stream ? kfile_sys_try_lock(f->stream) : KERR_FAILED;
}

uint32_t kfile_remove(kfile* f) {
  if (f->stream) kfile_close(f);
  return kfile_sys_remove(kstring_text(&f->name));
}

uint32_t kfile_rename(kfile* f, const kstring* new_name) {
  if (kfile_sys_rename_noreplace(kstring_text(&f->name), kstring_text(new_name)) != 0)
    return KERR_FAILED;
  kstring_assign(&f->name, new_name);
  return 0;
}

uint32_t kfile_replace_with(kfile* f, kfile_fill_fn fill, void* data) {
  if (f->stream) return KERR_FAILED;
  kfile out;
  kfile_init(&out);
  out.stream = kfile_sys_replace_begin(kstring_text(&f->name), &out.name);
  if (!out.stream) {
    kfile_free(&out);
    return KERR_FAILED;
  }
  bool keep = fill(&out, data) == 0;
  uint32_t rc =
      kfile_sys_replace_end(out.stream, kstring_text(&out.name), kstring_text(&f->name), keep);
  kfile_free(&out);
  return rc;
}

struct replace_bytes {
  const void* buf;
  uint32_t count;
};

static uint32_t write_bytes(kfile* out, void* data) {
  const replace_bytes* b = static_cast<const replace_bytes*>(data);
  return kfile_write(out, b->buf, b->count) == b->count ? 0 : KERR_EOF;
}

uint32_t kfile_replace(kfile* f, const void* buf, uint32_t count) {
  replace_bytes b = {buf, count};
  return kfile_replace_with(f, write_bytes, &b);
}

uint32_t kfile_exists(kfile* f) {
  FILE* s = kfile_sys_open(kstring_text(&f->name), "r");
  if (!s) return 0;
  fclose(s);
  return 1;
}

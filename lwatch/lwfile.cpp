#include "lwatch/lwfile.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "klib/kdir.h"
#include "klib/kmem.h"
#include "lwatch/lwfile_internal.h"

// Reads go to the kernel in blocks of this size; a longer line grows the
// buffer as far as it needs.
static const uint32_t kReadBlock = 128 * 1024;

// Streams kept open between scans by exact following, in the whole process.
static std::atomic<uint32_t> g_held{0};

uint32_t lwfile_held_count() {
  return g_held.load(std::memory_order_relaxed);
}

void lwfile_init(lwfile* r, const kstring* path, uint32_t from_beginning) {
  r->seen = 0;
  r->from_beginning = from_beginning;
  r->found = 0;
  r->mtime = 0;
  r->size = 0;
  r->offset = 0;
  r->more = 0;
  kfile_init(&r->file);
  kfile_set_name(&r->file, path);
  r->buf = nullptr;
  r->buf_size = 0;
  r->buf_len = 0;
  r->buf_pos = 0;
  r->buf_base = 0;
  r->at_eof = 0;
  r->cut = 0;
  r->exact = 0;
  r->info = kfile_info{};
  r->held = 0;
  r->flush = 0;
  r->rotated = 0;
  r->next = kfile_info{};
  r->kept = 0;
  r->mark = 0;
  kfile_init(&r->next_file);
}

void lwfile_set_exact(lwfile* r) {
  r->exact = 1;
}

// Closes the followed file's stream, kept or not.
static void drop_stream(lwfile* r) {
  if (r->kept) {
    r->kept = 0;
    g_held.fetch_sub(1, std::memory_order_relaxed);
  }
  if (r->file.stream) kfile_close(&r->file);
}

void lwfile_free(lwfile* r) {
  if (r->file.stream) lwfile_close(r);
  drop_stream(r);
  if (r->next_file.stream) kfile_close(&r->next_file);
  kfile_free(&r->next_file);
  kfile_free(&r->file);
}

int lwfile_compare(const void* record, const void* path) {
  return kstring_compare(&static_cast<const lwfile*>(record)->file.name,
                         static_cast<const kstring*>(path));
}

// The sum of the bytes before offset (see lwfile.mark); leaves the stream
// anywhere. 0 when there are none or they cannot be read.
static uint64_t mark_at(lwfile* r, uint64_t offset) {
  uint32_t n = offset < LWFILE_MARK ? static_cast<uint32_t>(offset) : LWFILE_MARK;
  unsigned char bytes[LWFILE_MARK];
  if (n == 0 || kfile_seek64(&r->file, offset - n) != 0 || kfile_read(&r->file, bytes, n) != n)
    return 0;
  uint64_t h = 14695981039346656037ull;
  for (uint32_t i = 0; i < n; ++i) h = (h ^ bytes[i]) * 1099511628211ull;
  return h | 1;  // never 0
}

static bool same_file(const kfile_info* a, const kfile_info* b) {
  return a->dev == b->dev && a->ino == b->ino;
}

// Opens the file that the path names now as the followed one, when it is
// still the one described by info; true when open.
static bool open_path(lwfile* r, const kfile_info* info) {
  if (kfile_open_regular(&r->file) != 0) return false;
  kfile_set_unbuffered(&r->file);
  kfile_info got;
  if (kfile_open_info(&r->file, &got) != 0 || !same_file(&got, info)) {
    kfile_close(&r->file);
    return false;
  }
  return true;
}

// Looks for the followed file (r->info) beside the path, under another name
// of its directory (renamed by a rotation), and opens it; true when found.
static bool open_beside(lwfile* r) {
  kstring dir, path;
  kstring_init(&dir);
  kstring_init(&path);
  kstring_path_dir(&r->file.name, &dir);
  kdir d;
  kdir_init(&d, &dir);
  kstrlist names;
  kstrlist_init(&names);
  kfile probe;
  kfile_init(&probe);
  bool found = false;
  if (kdir_list_files_cstr(&d, "", &names) == 0) {
    for (uint32_t i = 0; i < kstrlist_count(&names) && !found; ++i) {
      kstring_path_join(&path, &dir, kstrlist_get(&names, i));
      kfile_set_name(&probe, &path);
      kfile_info info;
      if (kfile_stat_info(&probe, &info) != 0 || !same_file(&info, &r->info)) continue;
      if (kfile_open_regular(&probe) != 0) continue;
      kfile_set_unbuffered(&probe);
      kfile_info got;
      if (kfile_open_info(&probe, &got) == 0 && same_file(&got, &r->info)) {
        r->file.stream = probe.stream;  // the record's name stays the watched path
        probe.stream = nullptr;
        found = true;
      } else {
        kfile_close(&probe);
      }
    }
  }
  kfile_free(&probe);
  kstrlist_free(&names);
  kdir_free(&d);
  kstring_free(&path);
  kstring_free(&dir);
  return found;
}

bool lwfile_follow_next(lwfile* r) {
  if (r->rotated != 2) return false;
  drop_stream(r);
  // Opened when the rotation was seen: read even if it is gone by now.
  r->file.stream = r->next_file.stream;
  r->next_file.stream = nullptr;
  r->rotated = 0;
  r->info = r->next;
  r->info.size = 0;  // read from 0: everything it holds is new
  r->info.mtime_ns = 0;
  r->offset = 0;
  r->held = 0;
  r->cut = 0;
  r->more = 0;
  r->mark = 0;
  return true;
}

// The change check of exact following (see lwfile.h).
static bool check_exact(lwfile* r) {
  kfile_info now;
  bool exists = kfile_stat_info(&r->file, &now) == 0;
  r->flush = 0;
  if (!r->found) {
    if (!exists) return false;
    r->found = 1;
    r->info = now;
    r->offset = 0;
    r->more = 0;
    r->held = 0;
    if (r->from_beginning) return true;
    // What it holds now is never reported: followed from its end.
    if (open_path(r, &now)) {
      kfile_info got;
      if (kfile_open_info(&r->file, &got) == 0) r->info = got;
      r->offset = r->info.size;
      lwfile_close(r);
    } else {
      r->offset = now.size;
    }
    return false;
  }
  if (exists && !same_file(&now, &r->info)) {
    // The path names another file: the followed one is read to its end
    // first, from the stream kept open or found beside the path, at every
    // check while its writer still adds to it; the new one is taken up at
    // the first check that finds the old one unchanged.
    // Without either, the new file is followed at once.
    // The first file that took the path comes next, even when the path
    // has moved on again meanwhile (it is then found beside it).
    if (!r->rotated) {
      r->next = now;
      // Held from now on, so that a writer's next rotation (a delete)
      // cannot take it away before it is read.
      if (r->next_file.stream) kfile_close(&r->next_file);
      kfile probe;
      kfile_init(&probe);
      kfile_set_name(&probe, &r->file.name);
      if (kfile_open_regular(&probe) == 0) {
        kfile_set_unbuffered(&probe);
        kfile_info got;
        if (kfile_open_info(&probe, &got) == 0 && same_file(&got, &now)) {
          r->next_file.stream = probe.stream;
          probe.stream = nullptr;
        } else {
          kfile_close(&probe);
        }
      }
      kfile_free(&probe);
    }
    kfile_info old;
    if (!r->file.stream && !open_beside(r)) {
      r->rotated = 2;
      lwfile_follow_next(r);
    } else if (kfile_open_info(&r->file, &old) == 0 && !r->more && old.size == r->info.size &&
               old.mtime_ns == r->info.mtime_ns) {
      // Read to its end at the last check and unchanged since.
      r->rotated = 2;
      r->flush = 1;  // its last line is never completed now
    } else {
      r->rotated = 1;
      if (kfile_open_info(&r->file, &old) == 0) {
        r->info.size = old.size;
        r->info.mtime_ns = old.mtime_ns;
      }
    }
    return true;
  }
  if (!exists) {
    // Gone from the path: a stream kept open still reads the file, which
    // its writer may still be writing under another name or none.
    if (!r->file.stream || kfile_open_info(&r->file, &now) != 0) {
      r->more = 0;
      return false;
    }
  }
  if (now.size != r->info.size || now.mtime_ns != r->info.mtime_ns) {
    if (now.size < r->info.size || now.size < r->offset) {
      r->offset = 0;  // cut back: truncated in place
      r->cut = 0;
      r->held = 0;
    }
    r->info = now;
    return true;
  }
  if (!exists && now.links == 0 && !r->more) {
    // Deleted, read to its end and unchanged for a check: let it go.
    if (r->held) {
      r->flush = 1;
      return true;
    }
    drop_stream(r);
    return false;
  }
  if (r->more) return true;
  if (r->held) {
    // Unchanged for one check with an unfinished last line: it goes out as
    // it stands.
    r->flush = 1;
    return true;
  }
  return false;
}

bool lwfile_check(lwfile* r) {
  if (r->exact) return check_exact(r);
  uint32_t mtime = 0;
  uint64_t size = 0;
  if (kfile_stat64(&r->file, &mtime, &size) != 0) {
    r->more = 0;  // gone: nothing to come back for until it exists again
    return false;
  }
  if (!r->found) {
    // Found for the first time: what it holds now is never reported, unless
    // it is to be read from its beginning.
    r->found = 1;
    r->mtime = mtime;
    r->size = size;
    r->offset = 0;
    r->more = 0;
    if (r->from_beginning) return true;
    if (kfile_open_regular(&r->file) == 0) {
      uint64_t end = 0;
      if (kfile_seek_end(&r->file, 0) == 0 && kfile_tell64(&r->file, &end) == 0) r->offset = end;
      kfile_close(&r->file);
    }
    return false;
  }
  if (mtime > r->mtime) {
    // Smaller than before, or than where reading stopped (the writer had
    // added more after the last check): truncated or replaced, so read it
    // again from 0.
    if (size < r->size || size < r->offset) {
      r->offset = 0;
      r->cut = 0;
    }
    r->mtime = mtime;
    r->size = size;
    return true;
  }
  if (r->more) {
    // Unchanged since the last check: reading goes on where the last slice
    // ended. Only a file smaller than then has been cut (a size that never
    // changes, as of files in /proc, says nothing about where reading is).
    if (size < r->size) {
      r->offset = 0;
      r->cut = 0;
    }
    r->size = size;
    return true;
  }
  return false;
}

bool lwfile_open(lwfile* r) {
  if (r->exact) {
    // The followed file: kept open, or opened by its path while it is still
    // the same file (with nothing known of it yet, whatever it is now).
    if (!r->file.stream) {
      if (kfile_open_regular(&r->file) != 0) return false;
      // Kept open between scans: a buffer would hold what the file held.
      kfile_set_unbuffered(&r->file);
      kfile_info got;
      if (kfile_open_info(&r->file, &got) != 0) {
        kfile_close(&r->file);
        return false;
      }
      if (r->info.ino != 0 && !same_file(&got, &r->info)) {
        // The path names another file already: the followed one lies
        // beside it (rotated again before it was taken up).
        kfile_close(&r->file);
        if (!open_beside(r)) return false;
        got = r->info;
      }
      r->info.dev = got.dev;
      r->info.ino = got.ino;
    }
    r->held = 0;
    if (r->mark && mark_at(r, r->offset) != r->mark) {
      r->offset = 0;  // written anew: everything it holds is new
      r->cut = 0;
    }
  } else if (kfile_open_regular(&r->file) != 0) {
    return false;
  }
  if (kfile_seek64(&r->file, r->offset) != 0) {
    drop_stream(r);
    return false;
  }
  r->buf = static_cast<char*>(malloc(kReadBlock));
  if (!r->buf) {
    drop_stream(r);
    return false;
  }
  r->buf_size = kReadBlock;
  r->buf_len = 0;
  r->buf_pos = 0;
  r->buf_base = r->offset;
  r->at_eof = 0;
  return true;
}

// Reads more of the file behind the undelivered bytes, which move to the
// front first. One byte of the buffer always stays free, for the LF that
// lwfile_read_block adds to a last line. false at the end of the file, and
// when the undelivered bytes reach LWFILE_LINE_MAX without a line feed: in
// both cases the caller delivers them as a line, and only in the second is
// there more to read.
static bool lwfile_fill(lwfile* r) {
  if (r->at_eof) return false;
  if (r->buf_pos > 0) {
    memmove(r->buf, r->buf + r->buf_pos, r->buf_len - r->buf_pos);
    r->buf_base += r->buf_pos;
    r->buf_len -= r->buf_pos;
    r->buf_pos = 0;
  }
  if (r->buf_len >= LWFILE_LINE_MAX) {
    r->cut = 1;
    return false;
  }
  if (r->buf_len + 1 >= r->buf_size) {
    // One line fills the whole buffer: grow it, up to the longest piece and
    // the byte kept free.
    uint32_t size = r->buf_size < LWFILE_LINE_MAX / 2 ? r->buf_size * 2 : LWFILE_LINE_MAX + 1;
    char* grown = static_cast<char*>(realloc(r->buf, size));
    if (!grown) {
      // Without memory the bytes held go out as a line; the rest of it
      // follows at a later scan from the stored offset.
      r->at_eof = 1;
      return false;
    }
    r->buf = grown;
    r->buf_size = size;
  }
  uint32_t room = r->buf_size - r->buf_len - 1;
  if (room > LWFILE_LINE_MAX - r->buf_len) room = LWFILE_LINE_MAX - r->buf_len;
  uint32_t n = kfile_read(&r->file, r->buf + r->buf_len, room);
  if (n == 0) {
    r->at_eof = 1;
    return false;
  }
  r->buf_len += n;
  return true;
}

// Passes the line end of a line whose last piece went out before it: the
// CRs and the LF that follow. false when the file ends first; the line end
// is then looked for again at the next scan.
static bool skip_line_end(lwfile* r) {
  while (r->cut) {
    while (r->buf_pos < r->buf_len && r->buf[r->buf_pos] == '\r') ++r->buf_pos;
    if (r->buf_pos < r->buf_len) {
      if (r->buf[r->buf_pos] == '\n') ++r->buf_pos;
      r->cut = 0;
    } else if (!lwfile_fill(r)) {
      return false;
    }
  }
  return true;
}

// Drops every CR of [p, e) in place; the new end.
static char* remove_cr(char* p, char* e) {
  char* w = static_cast<char*>(memchr(p, '\r', e - p));
  if (!w) return e;
  for (char* s = w; s < e; ++s)
    if (*s != '\r') *w++ = *s;
  return w;
}

bool lwfile_read_block(lwfile* r, const char** begin, const char** end) {
  if (!r->buf || !skip_line_end(r)) return false;
  for (;;) {
    if (r->buf_pos < r->buf_len) {
      char* p = r->buf + r->buf_pos;
      char* lf =
          const_cast<char*>(static_cast<const char*>(kmem_rchr(p, '\n', r->buf_len - r->buf_pos)));
      if (lf) {
        r->buf_pos = static_cast<uint32_t>(lf + 1 - r->buf);
        *begin = p;
        *end = remove_cr(p, lf + 1);
        return true;
      }
    }
    if (!lwfile_fill(r)) {
      if (r->buf_pos == r->buf_len) return false;
      if (r->exact && !r->flush && !r->cut) {
        // An unfinished last line waits for its LF (or for a check that
        // finds the file unchanged).
        r->held = 1;
        return false;
      }
      char* p = r->buf + r->buf_pos;
      char* e = remove_cr(p, r->buf + r->buf_len);
      *e++ = '\n';  // the byte lwfile_fill keeps free
      r->buf_pos = r->buf_len;
      *begin = p;
      *end = e;
      return true;
    }
  }
}

void lwfile_unread(lwfile* r, const char* begin, const char* line) {
  if (!r->buf) return;
  // Nothing has moved the buffer since the block was delivered.
  uint64_t at = r->buf_base + static_cast<uint64_t>(begin - r->buf);
  uint32_t left = 0;
  for (const char* p = begin; (p = static_cast<const char*>(memchr(p, '\n', line - p))); ++p)
    ++left;
  if (left > 0) {
    // The block's CRs were taken out in place: the line's start is found in
    // the file's own bytes, after as many LFs as the block holds before it.
    // A file that no longer holds them (cut meanwhile) is read again from
    // the block's start.
    uint64_t pos = at;
    if (kfile_seek64(&r->file, pos) == 0) {
      for (;;) {
        uint32_t got = kfile_read(&r->file, r->buf, r->buf_size);
        if (got == 0) break;
        const char* p = r->buf;
        const char* e = r->buf + got;
        while (left && (p = static_cast<const char*>(memchr(p, '\n', e - p)))) {
          ++p;
          --left;
        }
        if (!left) {
          at = pos + static_cast<uint64_t>(p - r->buf);
          break;
        }
        pos += got;
      }
    }
  }
  r->buf_base = at;
  r->buf_pos = r->buf_len = 0;
  r->at_eof = 1;
  r->cut = 0;  // a block starts a line, or a piece that was delivered as one
  r->more = LWFILE_MORE_BYTES;
}

bool lwfile_close(lwfile* r) {
  if (!r->file.stream) return false;
  if (r->buf) {
    r->offset = r->buf_base + r->buf_pos;
    free(r->buf);
    r->buf = nullptr;
    r->buf_size = r->buf_len = r->buf_pos = 0;
  }
  if (!r->exact) return kfile_close(&r->file) == 0;
  r->mark = mark_at(r, r->offset);
  if (!r->kept) {
    // Kept while the process holds fewer than LWFILE_HELD_MAX: the others
    // are opened by their path at each scan, and a rotation finds them
    // beside it.
    if (g_held.fetch_add(1, std::memory_order_relaxed) < LWFILE_HELD_MAX) {
      r->kept = 1;
    } else {
      g_held.fetch_sub(1, std::memory_order_relaxed);
      return kfile_close(&r->file) == 0;
    }
  }
  return true;
}

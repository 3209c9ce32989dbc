// The result files of the log watch: the current period's file
// (lwatch_result_*) and the recovery of files left open (lwatch_recover),
// which share the naming of result files.
#include "lwatch/lwresult.h"

#include "klib/kdir.h"

// Result file names: "lw", twelve digits yymmddhhmmss, ".tmp" or ".log".
// Another name of the same form is found by counting the digits on by
// seconds, with plain calendar arithmetic: the names need to be free and to
// sort after the one taken, whatever the clock or the time zone did.
static const uint32_t kNameDigits = 12;
static const uint32_t kNameLength = 2 + kNameDigits + 4;
// Names tried before giving up: an hour of seconds.
static const uint32_t kNameTries = 3600;

struct stamp {
  int f[6];  // year 0..99, month, day, hour, minute, second
};

static bool stamp_parse(const char* digits, stamp* s) {
  for (uint32_t i = 0; i < kNameDigits; ++i)
    if (digits[i] < '0' || digits[i] > '9') return false;
  for (int i = 0; i < 6; ++i) s->f[i] = (digits[2 * i] - '0') * 10 + (digits[2 * i + 1] - '0');
  return true;
}

// One second on; false past the year 99.
static bool stamp_step(stamp* s) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int* f = s->f;
  if (++f[5] < 60) return true;
  f[5] = 0;
  if (++f[4] < 60) return true;
  f[4] = 0;
  if (++f[3] < 24) return true;
  f[3] = 0;
  int days = f[1] >= 1 && f[1] <= 12 ? kDays[f[1] - 1] : 31;
  if (f[1] == 2 && f[0] % 4 == 0) days = 29;  // 2000 to 2099
  if (++f[2] <= days) return true;
  f[2] = 1;
  if (++f[1] <= 12) return true;
  f[1] = 1;
  return ++f[0] <= 99;
}

// path := dir joined with "lw" + the stamp's digits + ext.
static void stamp_path(const stamp* s, const kstring* dir, const char* ext, kstring* path) {
  kstring name;
  kstring_init(&name);
  kstring_format(&name, "lw%02d%02d%02d%02d%02d%02d%s", s->f[0], s->f[1], s->f[2], s->f[3], s->f[4],
                 s->f[5], ext);
  kstring_path_join(path, dir, &name);
  kstring_free(&name);
}

static bool path_exists(const kstring* path) {
  kfile probe;
  kfile_init(&probe);
  kfile_set_name(&probe, path);
  uint32_t mtime = 0;
  uint64_t size = 0;
  bool exists = kfile_stat64(&probe, &mtime, &size) == 0;
  kfile_free(&probe);
  return exists;
}

// The directory part of a result file path (with its '/'), and its stamp.
static bool split_result_path(const kstring* path, kstring* dir, stamp* s) {
  if (path->length < kNameLength) return false;
  uint32_t at = path->length - kNameLength;
  kstring_assign_prefix(dir, path, at);
  return stamp_parse(kstring_text(path) + at + 2, s);
}

// Moves the closed file to log_path or, when that name is taken, to the next
// free name of the same form; the name it got in moved_to. false when the
// move fails otherwise, or no name is free.
static bool move_to_log(kfile* file, const kstring* log_path, kstring* moved_to) {
  kstring_assign(moved_to, log_path);
  kstring dir;
  kstring_init(&dir);
  stamp s;
  bool can_step = split_result_path(log_path, &dir, &s);
  bool moved = false;
  for (uint32_t i = 0; i < kNameTries; ++i) {
    if (kfile_rename(file, moved_to) == 0) {
      moved = true;
      break;
    }
    // Refused for another reason than a taken name: no other name helps.
    if (!path_exists(moved_to) || !can_step || !stamp_step(&s)) break;
    stamp_path(&s, &dir, ".log", moved_to);
  }
  kstring_free(&dir);
  return moved;
}

void lwatch_recover(const kstring* dir, klog* log) {
  kdir d;
  kdir_init(&d, dir);
  kstrlist names;
  kstrlist_init(&names);
  kfile file;
  kfile_init(&file);
  kstring path, log_path, moved_to;
  kstring_init(&path);
  kstring_init(&log_path);
  kstring_init(&moved_to);
  if (kdir_list_files_cstr(&d, "lw*.tmp", &names) == 0) {
    for (uint32_t i = 0; i < kstrlist_count(&names); ++i) {
      stamp s;
      const kstring* name = kstrlist_get(&names, i);
      if (name->length != kNameLength || !stamp_parse(kstring_text(name) + 2, &s)) continue;
      kstring_path_join(&path, dir, name);
      kfile_set_name(&file, &path);
      // A file that another running agent holds open is its own business.
      if (kfile_open(&file, "r") != 0) continue;
      uint64_t size = 0;
      bool live = kfile_try_lock(&file) != 0;
      bool sized = kfile_size(&file, &size) == 0;
      kfile_close(&file);
      if (live || !sized) continue;
      if (size == 0) {
        klog_write(log, 2, 0, "Cleaning file : %s\n", kstring_text(&path));
        kfile_remove(&file);
        continue;
      }
      stamp_path(&s, dir, ".log", &log_path);
      if (move_to_log(&file, &log_path, &moved_to))
        klog_write(log, 1, KLOG_WARNING,
                   "result file '%s' was left open by an agent that did not stop cleanly; "
                   "closed as '%s'\n",
                   kstring_text(&path), kstring_text(&moved_to));
      else
        klog_write(log, 1, KLOG_WARNING,
                   "result file '%s' was left open by an agent that did not stop cleanly "
                   "and cannot be closed\n",
                   kstring_text(&path));
    }
  }
  kstring_free(&moved_to);
  kstring_free(&log_path);
  kstring_free(&path);
  kfile_free(&file);
  kstrlist_free(&names);
  kdir_free(&d);
}

void lwatch_result_init(lwatch_result* r, klog* log) {
  kfile_init(&r->file);
  kstring_init(&r->tmp_path);
  kstring_init(&r->log_path);
  kstring_init(&r->line);
  r->open = 0;
  r->size = 0;
  r->failed = 0;
  r->write = kfile_append;
  r->log = log;
  r->synced = 0;
}

void lwatch_result_free(lwatch_result* r) {
  lwatch_result_close(r);
  kstring_free(&r->line);
  kstring_free(&r->log_path);
  kstring_free(&r->tmp_path);
  kfile_free(&r->file);
}

bool lwatch_result_open(lwatch_result* r, const kstring* dir, const ktime* when) {
  stamp s = {{when->tm_year - 100, when->tm_mon + 1, when->tm_mday, when->tm_hour, when->tm_min,
              when->tm_sec}};
  r->open = 0;
  r->size = 0;
  r->synced = 0;
  r->failed = 0;
  for (uint32_t i = 0; i < kNameTries; ++i) {
    stamp_path(&s, dir, ".tmp", &r->tmp_path);
    if (path_exists(&r->tmp_path)) {
      // Another agent's file, or one left for lwatch_recover: never append
      // to it, whose hits are not this period's.
      if (!stamp_step(&s)) break;
      continue;
    }
    stamp_path(&s, dir, ".log", &r->log_path);
    kfile_set_name(&r->file, &r->tmp_path);
    // Created here and now ('x'), and locked while open: lwatch_recover of
    // an agent that starts meanwhile in the same directory leaves it alone.
    if (kfile_open(&r->file, "ax") == 0) {
      kfile_try_lock(&r->file);
      r->open = 1;
    }
    break;
  }
  return r->open != 0;
}

void lwatch_result_close(lwatch_result* r) {
  if (!r->open) return;
  r->open = 0;
  kfile_close(&r->file);
  if (r->size == 0) {
    kfile_remove(&r->file);
    return;
  }
  kstring moved_to;
  kstring_init(&moved_to);
  if (!move_to_log(&r->file, &r->log_path, &moved_to))
    klog_write(r->log, 1, KLOG_WARNING,
               "cannot close result file '%s' as '%s'; it is closed at the next start\n",
               kstring_text(&r->tmp_path), kstring_text(&r->log_path));
  else if (kstring_compare(&moved_to, &r->log_path) != 0)
    klog_write(r->log, 1, KLOG_WARNING, "result file '%s' closed as '%s': '%s' exists\n",
               kstring_text(&r->tmp_path), kstring_text(&moved_to), kstring_text(&r->log_path));
  kstring_free(&moved_to);
}

bool lwatch_result_hit(lwatch_result* r, const kstring* facility, const kstring* filter,
                       const kstring* text) {
  if (!r->open || r->failed) return false;
  // Each piece up to its first NUL, as the line has always been written.
  kstring* l = &r->line;
  kstring_clear(l);
  bool built = kstring_append_char(l, '[') && kstring_append_cstr(l, kstring_text(facility)) &&
               kstring_append_char(l, ',') && kstring_append_cstr(l, kstring_text(filter)) &&
               kstring_append_cstr(l, "] ") && kstring_append_cstr(l, kstring_text(text)) &&
               kstring_append_cstr(l, kfile_eol);
  uint32_t n = built ? r->write(&r->file, kstring_text(l), l->length) : 0;
  if (built && n == l->length) {
    r->size += n;
    return true;
  }
  // A part that reached the file is cut off again: no spliced line stays.
  // Every further hit of this scan is refused, and each scanner stops where
  // its first refused hit came from.
  r->failed = 1;
  bool cut = n == 0 || kfile_truncate64(&r->file, r->size) == 0;
  if (!built)
    klog_limited(r->log, 1, KLOG_WARNING, "lwatch.result.memory", nullptr,
                 "cannot allocate hit line; the hit is written at the next scan\n");
  else if (cut)
    klog_limited(r->log, 1, KLOG_WARNING, "lwatch.result.write", nullptr,
                 "cannot write to result file '%s' (disk full?); its hits are read again at the "
                 "next scan\n",
                 kstring_text(&r->tmp_path));
  else
    klog_limited(r->log, 1, KLOG_WARNING, "lwatch.result.cut", nullptr,
                 "cannot write to result file '%s' and cannot cut off %u bytes of a hit line "
                 "written in part\n",
                 kstring_text(&r->tmp_path), n);
  if (!cut) {
    // The part stays: the file's true size keeps the next line after it.
    uint64_t size = 0;
    if (kfile_size(&r->file, &size) == 0) r->size = size;
  }
  return false;
}

bool lwatch_result_undo(lwatch_result* r, uint64_t size) {
  if (size >= r->size) return true;
  if (!r->open || kfile_truncate64(&r->file, size) != 0) return false;
  r->size = size;
  if (r->synced > size) r->synced = size;
  return true;
}

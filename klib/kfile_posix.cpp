#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "klib/kerror.h"
#include "klib/kfile.h"
#include "klib/kfile_sys.h"

const char kfile_eol[] = "\n";

uint32_t kstring_path_root(const char* path) {
  return path[0] == '/' ? 1 : 0;
}

FILE* kfile_sys_open(const char* path, const char* mode) {
  // No text mode on this platform: drop 't'. Add 'e' (close-on-exec) so that
  // a child process started by the agent never inherits an open file.
  char m[16];
  size_t n = 0;
  for (const char* p = mode; *p && n < sizeof m - 2; ++p)
    if (*p != 't') m[n++] = *p;
  m[n++] = 'e';
  m[n] = '\0';
  return fopen(path, m);
}

FILE* kfile_sys_open_regular(const char* path, bool nofollow) {
  // Looked at before the open: opening a device can act on it (a terminal may
  // become the controlling one, a tape rewinds).
  struct stat st;
  if ((nofollow ? lstat(path, &st) : stat(path, &st)) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  // Should the name have been replaced by a FIFO since, O_NONBLOCK keeps the
  // open from waiting for a writer and fstat refuses it. The flag stays: it
  // changes nothing for a file on disk, but a file of /proc that says it is
  // regular and waits for data (kmsg) then ends the read with an error
  // instead of holding the reader. O_NOFOLLOW refuses a link that was put in
  // the name's place after the lstat.
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0);
  int fd = open(path, flags);
  if (fd < 0) return nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  FILE* s = fdopen(fd, "r");
  if (!s) close(fd);
  return s;
}

uint32_t kfile_sys_size(FILE* stream, uint64_t* size) {
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) return KERR_FAILED;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

uint32_t kfile_sys_real_path(FILE* stream, kstring* path) {
  // The kernel keeps the path by which the descriptor's file was reached,
  // links resolved; without /proc nothing can be told, which counts as a
  // failure.
  char link[64], target[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(stream));
  ssize_t n = readlink(link, target, sizeof target);
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof target) || target[0] != '/') return KERR_FAILED;
  return kstring_assign_bytes(path, target, static_cast<uint32_t>(n)) ? 0 : KERR_FAILED;
}

uint32_t kfile_sys_resolve(const char* path, kstring* real) {
  char abs[PATH_MAX];
  if (path[0] == '/') {
    if (strlen(path) >= sizeof abs) return KERR_FAILED;
    strcpy(abs, path);
  } else {
    if (!getcwd(abs, sizeof abs) || strlen(abs) + 1 + strlen(path) >= sizeof abs)
      return KERR_FAILED;
    strcat(abs, "/");
    strcat(abs, path);
  }
  // The longest leading part that exists is resolved by the system; the
  // components after it name nothing yet, so no link can hide among them.
  size_t cut = strlen(abs);
  char* resolved = nullptr;
  for (;;) {
    char keep = abs[cut];
    abs[cut] = '\0';
    resolved = realpath(cut ? abs : "/", nullptr);
    abs[cut] = keep;
    if (resolved || cut == 0) break;
    while (cut > 0 && abs[cut - 1] == '/') --cut;
    while (cut > 0 && abs[cut - 1] != '/') --cut;
  }
  if (!resolved) return KERR_FAILED;
  bool ok = kstring_assign_cstr(real, resolved);
  free(resolved);
  for (const char* p = abs + cut; ok && *p;) {
    while (*p == '/') ++p;
    const char* e = p;
    while (*e && *e != '/') ++e;
    size_t n = static_cast<size_t>(e - p);
    if (n == 0 || (n == 1 && p[0] == '.')) {
      // nothing
    } else if (n == 2 && p[0] == '.' && p[1] == '.') {
      uint32_t at = real->length;
      while (at > 1 && kstring_text(real)[at - 1] != '/') --at;
      kstring_set_length(real, at > 1 ? at - 1 : 1);
    } else {
      if (real->length > 1) ok = kstring_append_char(real, '/');
      ok = ok && kstring_append_bytes(real, p, static_cast<uint32_t>(n));
    }
    p = e;
  }
  return ok ? 0 : KERR_FAILED;
}

int kfile_sys_getc(FILE* stream) {
  return getc_unlocked(stream);
}

uint32_t kfile_sys_stat(const char* path, uint32_t* mtime, uint64_t* size) {
  struct stat st;
  if (stat(path, &st) != 0) return KERR_FAILED;
  *mtime = static_cast<uint32_t>(st.st_mtime);
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

static void info_of(const struct stat* st, kfile_info* info) {
  info->dev = static_cast<uint64_t>(st->st_dev);
  info->ino = static_cast<uint64_t>(st->st_ino);
  info->size = static_cast<uint64_t>(st->st_size);
  info->mtime_ns = static_cast<int64_t>(st->st_mtim.tv_sec) * 1000000000 + st->st_mtim.tv_nsec;
  info->links = static_cast<uint32_t>(st->st_nlink);
}

uint32_t kfile_sys_stat_info(const char* path, kfile_info* info) {
  struct stat st;
  if (stat(path, &st) != 0) return KERR_FAILED;
  info_of(&st, info);
  return 0;
}

uint32_t kfile_sys_open_info(FILE* stream, kfile_info* info) {
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) return KERR_FAILED;
  info_of(&st, info);
  return 0;
}

uint32_t kfile_sys_sync(FILE* stream) {
  return fflush(stream) == 0 && fdatasync(fileno(stream)) == 0 ? 0 : KERR_FAILED;
}

uint32_t kfile_sys_seek(FILE* stream, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return KERR_FAILED;
  return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : KERR_FAILED;
}

uint32_t kfile_sys_tell(FILE* stream, uint64_t* position) {
  off_t p = ftello(stream);
  if (p < 0) return KERR_FAILED;
  *position = static_cast<uint64_t>(p);
  return 0;
}

uint32_t kfile_sys_write_direct(FILE* stream, const void* buf, uint32_t count) {
  int fd = fileno(stream);
  const char* p = static_cast<const char*>(buf);
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = write(fd, p + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

uint32_t kfile_sys_truncate(FILE* stream, uint64_t size) {
  if (size > static_cast<uint64_t>(INT64_MAX)) return KERR_FAILED;
  int rc;
  do rc = ftruncate(fileno(stream), static_cast<off_t>(size));
  while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : KERR_FAILED;
}

uint32_t kfile_sys_try_lock(FILE* stream) {
  // flock belongs to the open file description: a second opening of the
  // same file, even in this process, is refused while the first holds it.
  return flock(fileno(stream), LOCK_EX | LOCK_NB) == 0 ? 0 : KERR_FAILED;
}

uint32_t kfile_sys_remove(const char* path) {
  return unlink(path) == 0 ? 0 : KERR_FAILED;
}

uint32_t kfile_sys_rename_noreplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return KERR_FAILED;
  // File systems without RENAME_NOREPLACE: link refuses an existing target.
  if (link(from, to) != 0) return KERR_FAILED;
  unlink(from);
  return 0;
}

FILE* kfile_sys_replace_begin(const char* path, kstring* tmp) {
  // rename replaces atomically only within one file system: the new file
  // goes into the target's own directory.
  const char* slash = strrchr(path, '/');
  int dir_length = slash ? static_cast<int>(slash - path + 1) : 0;
  // Process and thread make the name unique among running writers; the
  // counter steps over leftovers of a writer that died before its rename.
  int fd = -1;
  for (unsigned n = 0; fd < 0 && n < 100; ++n) {
    if (!kstring_format(tmp, "%.*s.~%ld-%ld-%u", dir_length, path, static_cast<long>(getpid()),
                        static_cast<long>(gettid()), n))
      return nullptr;
    // Mode 0666 as fopen creates files: the umask decides.
    fd = open(kstring_text(tmp), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return nullptr;
  }
  if (fd < 0) return nullptr;
  FILE* s = fdopen(fd, "w");
  if (!s) {
    close(fd);
    unlink(kstring_text(tmp));
  }
  return s;
}

uint32_t kfile_sys_replace_end(FILE* stream, const char* tmp, const char* path, bool keep) {
  // fsync before the rename: after a crash the name holds the old content or
  // the whole new one, not a file whose blocks never reached the disk. It also
  // reports a full disk that delayed allocation would only find later.
  bool ok = keep && fflush(stream) == 0 && !ferror(stream) && fsync(fileno(stream)) == 0;
  ok = fclose(stream) == 0 && ok;
  ok = ok && rename(tmp, path) == 0;
  if (!ok) unlink(tmp);
  return ok ? 0 : KERR_EOF;
}

uint32_t kdir_sys_list(const char* dir, const char* pattern, int want_dirs, kstrlist* out) {
  DIR* d = opendir(dir);
  if (!d) return KERR_FAILED;
  int fd = dirfd(d);
  while (struct dirent* e = readdir(d)) {
    bool is_dir;
    if (e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) {
      is_dir = e->d_type == DT_DIR;
    } else {
      // Follow links: a link to a directory lists as a directory.
      struct stat st;
      if (fstatat(fd, e->d_name, &st, 0) != 0) {
        if (e->d_type != DT_LNK) continue;
        is_dir = false;  // dangling link: a file that cannot be opened
      } else {
        is_dir = S_ISDIR(st.st_mode);
      }
    }
    if (is_dir != (want_dirs != 0)) continue;
    if (pattern[0] && !kstring_wildmatch_cstr(e->d_name, pattern, 0)) continue;
    kstring* s = kstrlist_add(out);
    if (s) kstring_assign_cstr(s, e->d_name);
  }
  closedir(d);
  return 0;
}

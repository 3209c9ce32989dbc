// The Windows half of kfile and kdir. Every file is opened with CreateFileA
// and read, write and delete sharing, so that the program writing a watched
// log can still append to it, rename it and delete it while the agent reads
// it; the handle becomes a C runtime stream in text mode (LF written as
// CR LF, CR LF read as LF) unless the mode asks for 'b'. Handles are never
// inherited by child processes.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "klib/kerror.h"
#include "klib/kfile.h"
#include "klib/kfile_sys.h"

const char kfile_eol[] = "\r\n";

// How often, and how far apart, a replacement that another program's open
// handle refuses is tried again: about a second in all.
static const int kReplaceTries = 200;
static const DWORD kReplacePauseMs = 5;

static bool is_sep(char c) {
  return c == '/' || c == '\\';
}

uint32_t kstring_path_root(const char* path) {
  if (is_sep(path[0]) && is_sep(path[1])) {
    // "\\host\share\": the server and the share name belong to the root.
    uint32_t i = 2;
    for (int part = 0; part < 2; ++part) {
      while (path[i] && !is_sep(path[i])) ++i;
      if (path[i]) ++i;
    }
    return i;
  }
  if (is_sep(path[0])) return 1;
  bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
  if (letter && path[1] == ':') return is_sep(path[2]) ? 3 : 2;
  return 0;
}

static HANDLE handle_of(FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// A stream on a new handle of path; crt_mode is the mode of _fdopen.
static FILE* open_shared(const char* path, DWORD access, DWORD disposition, int crt_flags,
                         const char* crt_mode) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crt_flags);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  FILE* s = _fdopen(fd, crt_mode);
  if (!s) _close(fd);
  return s;
}

FILE* kfile_sys_open(const char* path, const char* mode) {
  bool plus = strchr(mode, '+') != nullptr;
  bool binary = strchr(mode, 'b') != nullptr;
  bool exclusive = strchr(mode, 'x') != nullptr;
  DWORD access = 0;
  DWORD disposition = 0;
  int flags = binary ? _O_BINARY : _O_TEXT;
  char crt[8];
  size_t n = 0;
  crt[n++] = mode[0];
  switch (mode[0]) {
    case 'r':
      access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
      disposition = OPEN_EXISTING;
      flags |= plus ? _O_RDWR : _O_RDONLY;
      break;
    case 'w':
      access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      disposition = exclusive ? CREATE_NEW : CREATE_ALWAYS;
      flags |= plus ? _O_RDWR : _O_WRONLY;
      break;
    case 'a':
      access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      disposition = exclusive ? CREATE_NEW : OPEN_ALWAYS;
      flags |= _O_APPEND | (plus ? _O_RDWR : _O_WRONLY);
      break;
    default:
      return nullptr;
  }
  if (plus) crt[n++] = '+';
  crt[n++] = binary ? 'b' : 't';
  crt[n] = '\0';
  return open_shared(path, access, disposition, flags, crt);
}

FILE* kfile_sys_open_regular(const char* path, bool nofollow) {
  DWORD attrs = GetFileAttributesA(path);
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY)) return nullptr;
  if (nofollow && (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return nullptr;
  // Offsets count bytes on disk: the scanner's reads are not translated.
  FILE* s = open_shared(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY | _O_BINARY, "rb");
  if (s && GetFileType(handle_of(s)) != FILE_TYPE_DISK) {
    fclose(s);
    return nullptr;
  }
  return s;
}

uint32_t kfile_sys_size(FILE* stream, uint64_t* size) {
  LARGE_INTEGER n;
  if (!GetFileSizeEx(handle_of(stream), &n)) return KERR_FAILED;
  *size = static_cast<uint64_t>(n.QuadPart);
  return 0;
}

// The system's form of a path ("\\?\C:\x", "\\?\UNC\host\share\x") in the
// program's: "C:/x", "//host/share/x".
static uint32_t assign_path(kstring* out, const char* text) {
  const char* p = text;
  bool unc = false;
  if (strncmp(p, "\\\\?\\UNC\\", 8) == 0) {
    p += 8;
    unc = true;
  } else if (strncmp(p, "\\\\?\\", 4) == 0) {
    p += 4;
  }
  kstring_clear(out);
  uint32_t ok = unc ? kstring_append_cstr(out, "//") : 1;
  for (; ok && *p; ++p) ok = kstring_append_char(out, *p == '\\' ? '/' : *p);
  return ok ? 0 : KERR_FAILED;
}

uint32_t kfile_sys_real_path(FILE* stream, kstring* path) {
  char buf[MAX_PATH * 4];
  DWORD n = GetFinalPathNameByHandleA(handle_of(stream), buf, sizeof buf,
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= sizeof buf) return KERR_FAILED;
  return assign_path(path, buf);
}

uint32_t kfile_sys_resolve(const char* path, kstring* real) {
  // "." and ".." are applied to the text, the current directory and drive
  // put in front of a relative path.
  char buf[MAX_PATH * 4];
  DWORD n = GetFullPathNameA(path, sizeof buf, buf, nullptr);
  if (n == 0 || n >= sizeof buf) return KERR_FAILED;
  uint32_t rc = assign_path(real, buf);
  // No trailing separator but the root's.
  while (rc == 0 && real->length > kstring_path_root(kstring_text(real)) &&
         kstring_text(real)[real->length - 1] == '/')
    kstring_set_length(real, real->length - 1);
  return rc;
}

int kfile_sys_getc(FILE* stream) {
  return _getc_nolock(stream);
}

uint32_t kfile_sys_stat(const char* path, uint32_t* mtime, uint64_t* size) {
  struct _stat64 st;
  if (_stat64(path, &st) != 0) return KERR_FAILED;
  *mtime = static_cast<uint32_t>(st.st_mtime);
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

// Identity, size and time of an open handle; FILETIME counts 100 ns steps
// since 1601.
static uint32_t info_of(HANDLE h, kfile_info* info) {
  BY_HANDLE_FILE_INFORMATION fi;
  if (!GetFileInformationByHandle(h, &fi)) return KERR_FAILED;
  info->dev = fi.dwVolumeSerialNumber;
  info->ino = (static_cast<uint64_t>(fi.nFileIndexHigh) << 32) | fi.nFileIndexLow;
  info->size = (static_cast<uint64_t>(fi.nFileSizeHigh) << 32) | fi.nFileSizeLow;
  uint64_t t = (static_cast<uint64_t>(fi.ftLastWriteTime.dwHighDateTime) << 32) |
               fi.ftLastWriteTime.dwLowDateTime;
  info->mtime_ns = (static_cast<int64_t>(t) - 116444736000000000LL) * 100;
  info->links = fi.nNumberOfLinks;
  return 0;
}

uint32_t kfile_sys_stat_info(const char* path, kfile_info* info) {
  // Opened for its attributes only, sharing everything: the writer, a
  // rename and a delete all go on meanwhile.
  HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return KERR_FAILED;
  uint32_t rc = info_of(h, info);
  CloseHandle(h);
  return rc;
}

uint32_t kfile_sys_open_info(FILE* stream, kfile_info* info) {
  return info_of(handle_of(stream), info);
}

uint32_t kfile_sys_sync(FILE* stream) {
  return fflush(stream) == 0 && FlushFileBuffers(handle_of(stream)) ? 0 : KERR_FAILED;
}

uint32_t kfile_sys_seek(FILE* stream, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return KERR_FAILED;
  return _fseeki64(stream, static_cast<int64_t>(offset), SEEK_SET) == 0 ? 0 : KERR_FAILED;
}

uint32_t kfile_sys_tell(FILE* stream, uint64_t* position) {
  int64_t p = _ftelli64(stream);
  if (p < 0) return KERR_FAILED;
  *position = static_cast<uint64_t>(p);
  return 0;
}

uint32_t kfile_sys_write_direct(FILE* stream, const void* buf, uint32_t count) {
  // The bytes as they are: callers that write lines end them with kfile_eol.
  HANDLE h = handle_of(stream);
  LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(h, zero, nullptr, FILE_END)) return 0;
  const char* p = static_cast<const char*>(buf);
  uint32_t done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!WriteFile(h, p + done, count - done, &n, nullptr) || n == 0) break;
    done += n;
  }
  return done;
}

uint32_t kfile_sys_truncate(FILE* stream, uint64_t size) {
  if (size > static_cast<uint64_t>(INT64_MAX)) return KERR_FAILED;
  fflush(stream);
  HANDLE h = handle_of(stream);
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) return KERR_FAILED;
  return 0;
}

uint32_t kfile_sys_try_lock(FILE* stream) {
  // A lock far beyond the end of the file: it marks the opening as the
  // holder without keeping anybody from reading the bytes in it.
  OVERLAPPED at = {};
  at.Offset = 0xFFFFFFFEu;
  at.OffsetHigh = 0x7FFFFFFFu;
  return LockFileEx(handle_of(stream), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &at)
             ? 0
             : KERR_FAILED;
}

uint32_t kfile_sys_remove(const char* path) {
  return DeleteFileA(path) ? 0 : KERR_FAILED;
}

uint32_t kfile_sys_rename_noreplace(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING the move refuses an existing target.
  return MoveFileExA(from, to, 0) ? 0 : KERR_FAILED;
}

FILE* kfile_sys_replace_begin(const char* path, kstring* tmp) {
  const char* cut = nullptr;
  for (const char* p = path; *p; ++p)
    if (is_sep(*p)) cut = p;
  int dir_length = cut ? static_cast<int>(cut - path + 1) : 0;
  for (unsigned n = 0; n < 100; ++n) {
    if (!kstring_format(tmp, "%.*s.~%lu-%lu-%u", dir_length, path, GetCurrentProcessId(),
                        GetCurrentThreadId(), n))
      return nullptr;
    FILE* s =
        open_shared(kstring_text(tmp), GENERIC_WRITE, CREATE_NEW, _O_WRONLY | _O_BINARY, "wb");
    if (s) return s;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
      return nullptr;
  }
  return nullptr;
}

uint32_t kfile_sys_replace_end(FILE* stream, const char* tmp, const char* path, bool keep) {
  bool ok = keep && fflush(stream) == 0 && !ferror(stream) && FlushFileBuffers(handle_of(stream));
  ok = fclose(stream) == 0 && ok;
  // A program that holds the old file open without delete sharing keeps it
  // from being replaced; such readers come and go, so the move is tried
  // again for a while.
  for (int tries = 0; ok; ++tries) {
    if (MoveFileExA(tmp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) break;
    DWORD err = GetLastError();
    ok = tries < kReplaceTries && (err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED);
    if (ok) Sleep(kReplacePauseMs);
  }
  if (!ok) DeleteFileA(tmp);
  return ok ? 0 : KERR_EOF;
}

uint32_t kdir_sys_list(const char* dir, const char* pattern, int want_dirs, kstrlist* out) {
  kstring all;
  kstring_init(&all);
  size_t n = strlen(dir);
  bool ok = kstring_format(&all, "%s%s*.*", dir, n && is_sep(dir[n - 1]) ? "" : "\\");
  WIN32_FIND_DATAA e;
  HANDLE h = ok ? FindFirstFileA(kstring_text(&all), &e) : INVALID_HANDLE_VALUE;
  kstring_free(&all);
  if (h == INVALID_HANDLE_VALUE) return KERR_FAILED;
  do {
    bool is_dir = (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (is_dir != (want_dirs != 0)) continue;
    if (pattern[0] && !kstring_wildmatch_cstr(e.cFileName, pattern, 0)) continue;
    kstring* s = kstrlist_add(out);
    if (s) kstring_assign_cstr(s, e.cFileName);
  } while (FindNextFileA(h, &e));
  FindClose(h);
  return 0;
}

// The service manager operations on systemd. A service is a unit file
// "<escaped name>.service" in <root>/etc/systemd/system; enabling and
// disabling go through "systemctl [--root=DIR] enable|disable", which works
// on the files alone, so that installing needs no running manager. Starting,
// stopping and querying need one and go through the kservice_manager table.
// A service with an account of its own gets User= and systemd's sandbox.
#include "host/kservice_scm_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "klib/kerror.h"

extern char** environ;

static const char kUnitDir[] = "/etc/systemd/system";
static const char kUnitSuffix[] = ".service";
// systemd refuses unit names of 256 characters or more.
static const uint32_t kUnitNameMax = 255;
// systemd refuses an ExecStart= value longer than PATH_MAX - 1 once its
// specifiers are resolved. The path itself has no fixed limit here: a path
// whose quoted and escaped form would exceed this is refused with code 1 and
// nothing is written, instead of leaving a unit that can never start.
static const uint32_t kExecStartMax = PATH_MAX - 1;

uint32_t kservice_error() {
  switch (errno) {
    case EACCES:
    case EPERM:
      return KERR_SCM_ACCESS;
    case EBADF:
      return KERR_SCM_HANDLE;
    case EEXIST:
    case ENOENT:
    case ENAMETOOLONG:
      return KERR_SCM_NAME;
    default:
      return KERR_FAILED;
  }
}

// ---- names and paths

static bool is_control(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

static void append_hex_escape(kstring* out, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  char esc[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
  kstring_append_bytes(out, esc, 4);
}

// Escapes as systemd-escape does: letters, digits, ':', '_' and '.' stay
// (a leading '.' does not), everything else becomes "\xNN". Refused first:
// '/', which systemd-escape turns into '-' so that "a/b" and "a-b" would be
// one unit; '\' and control characters, which would break the Description=
// line (a trailing '\' continues it).
uint32_t kservice_unit_name(const char* name, kstring* out) {
  kstring_clear(out);
  if (!name || !name[0]) return KERR_SCM_NAME;
  for (const char* p = name; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '/' || c == '\\' || is_control(c)) return KERR_SCM_NAME;
    bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                 c == ':' || c == '_' || (c == '.' && p != name);
    if (plain)
      kstring_append_char(out, *p);
    else
      append_hex_escape(out, c);
  }
  kstring_append_cstr(out, kUnitSuffix);
  if (out->length > kUnitNameMax) {
    kstring_clear(out);
    return KERR_SCM_NAME;
  }
  return 0;
}

static const char* root_of(const kscm* scm) {
  return scm->env ? scm->env->root : nullptr;
}

static const kservice_manager* ops_of(const kscm* scm) {
  return static_cast<const kservice_manager*>(scm->handle);
}

static bool root_is_live(const char* root) {
  if (!root) return true;
  while (*root == '/') ++root;
  return *root == '\0';
}

// root without trailing '/' ("" for the live system) followed by rest.
static void root_path(const char* root, const char* rest, kstring* out) {
  kstring_assign_cstr(out, root ? root : "");
  while (out->length && kstring_text(out)[out->length - 1] == '/')
    kstring_set_length(out, out->length - 1);
  kstring_append_cstr(out, rest);
}

// ---- systemctl

// Runs file (looked up on PATH) with args (null-terminated) without a shell;
// standard output goes to out when given, everything else to /dev/null. The
// exit status, or -1 when it could not run.
static int run_program(const char* file, const char* const* args, kstring* out) {
  const char* argv[16];
  uint32_t n = 0;
  argv[n++] = file;
  for (; *args && n + 1 < sizeof argv / sizeof argv[0]; ++args) argv[n++] = *args;
  argv[n] = nullptr;

  int fds[2] = {-1, -1};
  if (out && pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out)
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, file, &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (out) {
    close(fds[1]);
    char buf[512];
    for (;;) {
      ssize_t got = rc == 0 ? read(fds[0], buf, sizeof buf) : 0;
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      kstring_append_bytes(out, buf, static_cast<uint32_t>(got));
    }
    close(fds[0]);
  }
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static int run_systemctl(const char* const* args, kstring* out) {
  return run_program("systemctl", args, out);
}

// systemctl's exit statuses: 4 insufficient privileges, 5 no such unit.
static uint32_t systemctl_code(int status) {
  if (status == 0) return 0;
  if (status == 4) return KERR_SCM_ACCESS;
  if (status == 5) return KERR_SCM_NAME;
  return KERR_FAILED;
}

// enable or disable: the symlinks only, on the files under root; the
// manager, if any, learns of it through reload.
static uint32_t systemctl_install(const kscm* scm, const char* verb, const char* unit) {
  kstring root_opt;
  kstring_init(&root_opt);
  const char* args[8];
  uint32_t n = 0;
  args[n++] = "--quiet";
  args[n++] = "--no-reload";
  args[n++] = "--no-ask-password";
  if (!root_is_live(root_of(scm))) {
    kstring_format(&root_opt, "--root=%s", root_of(scm));
    args[n++] = kstring_text(&root_opt);
  }
  args[n++] = verb;
  args[n++] = "--";
  args[n++] = unit;
  args[n] = nullptr;
  uint32_t rc = systemctl_code(run_systemctl(args, nullptr));
  kstring_free(&root_opt);
  return rc;
}

static uint32_t live_start(void*, const char* unit) {
  const char* args[] = {"--no-ask-password", "--no-block", "start", "--", unit, nullptr};
  return systemctl_code(run_systemctl(args, nullptr));
}

static uint32_t live_stop(void*, const char* unit) {
  const char* args[] = {"--no-ask-password", "--no-block", "stop", "--", unit, nullptr};
  return systemctl_code(run_systemctl(args, nullptr));
}

// The value of the first "key=value" among the lines of text, or null.
static const char* key_value(const kstring* text, const char* key, kstring* value) {
  uint32_t klen = static_cast<uint32_t>(strlen(key));
  const char* p = kstring_text(text);
  while (*p) {
    const char* end = strchr(p, '\n');
    uint32_t len = end ? static_cast<uint32_t>(end - p) : static_cast<uint32_t>(strlen(p));
    if (len > klen && strncmp(p, key, klen) == 0 && p[klen] == '=') {
      kstring_assign_bytes(value, p + klen + 1, len - klen - 1);
      return kstring_text(value);
    }
    p += len;
    if (*p) ++p;
  }
  return nullptr;
}

static uint32_t live_query_state(void*, const char* unit, uint32_t* state) {
  const char* args[] = {"--no-ask-password",
                        "show",
                        "--property=LoadState,ActiveState,FreezerState",
                        "--",
                        unit,
                        nullptr};
  kstring out, load, active, freezer;
  kstring_init(&out);
  kstring_init(&load);
  kstring_init(&active);
  kstring_init(&freezer);
  uint32_t rc = systemctl_code(run_systemctl(args, &out));
  if (rc == 0) {
    const char* l = key_value(&out, "LoadState", &load);
    const char* a = key_value(&out, "ActiveState", &active);
    const char* f = key_value(&out, "FreezerState", &freezer);
    if (l && strcmp(l, "not-found") == 0) {
      rc = KERR_SCM_NAME;
    } else if (!a) {
      rc = KERR_FAILED;
    } else if (strcmp(a, "active") == 0) {
      // A frozen service is a paused one: neither running nor stopped.
      *state = f && f[0] && strcmp(f, "running") != 0 ? KSERVICE_PENDING : KSERVICE_RUNNING;
    } else if (strcmp(a, "inactive") == 0 || strcmp(a, "failed") == 0) {
      *state = KSERVICE_STOPPED;
    } else if (strcmp(a, "activating") == 0 || strcmp(a, "deactivating") == 0 ||
               strcmp(a, "reloading") == 0 || strcmp(a, "refreshing") == 0 ||
               strcmp(a, "maintenance") == 0) {
      *state = KSERVICE_PENDING;
    }
  }
  kstring_free(&freezer);
  kstring_free(&active);
  kstring_free(&load);
  kstring_free(&out);
  return rc;
}

static uint32_t live_reload(void*) {
  const char* args[] = {"--no-ask-password", "daemon-reload", nullptr};
  return systemctl_code(run_systemctl(args, nullptr));
}

static const kservice_manager kLiveManager = {
    nullptr, live_start, live_stop, live_query_state, live_reload,
};

const kservice_manager* kservice_running_manager() {
  return &kLiveManager;
}

// Without a manager nothing runs: every service is stopped, none can start,
// and there is nobody to tell about changed files.
static uint32_t offline_start(void*, const char*) {
  return KERR_FAILED;
}
static uint32_t offline_stop(void*, const char*) {
  return KERR_FAILED;
}
static uint32_t offline_query_state(void*, const char*, uint32_t* state) {
  *state = KSERVICE_STOPPED;
  return 0;
}
static uint32_t offline_reload(void*) {
  return 0;
}

static const kservice_manager kOfflineManager = {
    nullptr, offline_start, offline_stop, offline_query_state, offline_reload,
};

// ---- accounts

static bool find_account(const char* user, uint32_t* uid, uint32_t* gid) {
  struct passwd* pw = getpwnam(user);
  if (!pw) return false;
  *uid = pw->pw_uid;
  *gid = pw->pw_gid;
  return true;
}

static uint32_t system_ensure(void*, const char* user, uint32_t* uid, uint32_t* gid) {
  if (find_account(user, uid, gid)) return 0;
  const char* useradd[] = {
      "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", "--user-group", user,
      nullptr};
  if (run_program("useradd", useradd, nullptr) < 0) {
    // No useradd: Debian's adduser makes the same account.
    const char* adduser[] = {
        "--system", "--group", "--no-create-home", "--shell", "/usr/sbin/nologin", "--quiet",
        user,       nullptr};
    run_program("adduser", adduser, nullptr);
  }
  // Whatever the tools said, the account exists now or the install fails.
  return find_account(user, uid, gid) ? 0 : KERR_FAILED;
}

static int system_group_exists(void*, const char* group) {
  return getgrnam(group) != nullptr;
}

// The system's accounts: getpwnam, getgrnam, and useradd (or adduser where
// useradd is missing) to make an account.
static const kservice_users kSystemUsers = {nullptr, system_ensure, system_group_exists};

// The root account: the manager's default, no sandbox.
static bool account_is_root(const kservice_account* account) {
  return !account || !account->user || !account->user[0] || strcmp(account->user, "root") == 0;
}

// Names that useradd and systemd both take as names: a letter or '_' first
// (systemd reads a name of digits as a user id), then letters, digits, '_'
// and '-', at most 31 in all.
static bool account_name_usable(const char* user) {
  uint32_t n = 0;
  for (const char* p = user; *p; ++p, ++n) {
    char c = *p;
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    bool ok = letter || (p != user && ((c >= '0' && c <= '9') || c == '-'));
    if (!ok) return false;
  }
  return n >= 1 && n <= 31;
}

// 1 when path lies in dir or is dir (dir with or without its final '/').
static bool path_within(const char* path, const char* dir) {
  size_t n = strlen(dir);
  while (n > 1 && dir[n - 1] == '/') --n;
  return strncmp(path, dir, n) == 0 && (path[n] == '/' || path[n] == '\0');
}

// Directories that belong to the system, whatever a setting names: they and
// the files in them are never given away. Whole trees (the system's programs,
// configuration, kernel views, runtime state and people's homes), and the
// shared directories themselves, whose subdirectories (/opt/vardo,
// /var/lib/vardo) may be an agent's own. path is resolved already.
static bool is_system_dir(const char* path) {
  static const char* const kTrees[] = {
      "/bin",    "/boot", "/dev",  "/etc", "/home", "/lib", "/lib32", "/lib64",
      "/libx32", "/proc", "/root", "/run", "/sbin", "/sys", "/usr",   "/var/log/journal",
  };
  static const char* const kShared[] = {
      "/",         "/media",       "/mnt",       "/opt",     "/srv",       "/tmp",
      "/var",      "/var/backups", "/var/cache", "/var/lib", "/var/local", "/var/log",
      "/var/mail", "/var/opt",     "/var/spool", "/var/tmp",
  };
  for (const char* tree : kTrees)
    if (path_within(path, tree)) return true;
  for (const char* dir : kShared)
    if (strcmp(path, dir) == 0) return true;
  return false;
}

// The resolved path (symbolic links, "." and ".." gone) of an existing path.
static bool resolve(const char* path, kstring* out) {
  char* real = realpath(path, nullptr);
  if (!real) return false;
  kstring_assign_cstr(out, real);
  free(real);
  return true;
}

// Makes path and its missing parents; the last one with mode.
static bool make_dirs(const char* path, mode_t mode) {
  kstring part;
  kstring_init(&part);
  bool ok = true;
  for (const char* p = path + 1;; ++p) {
    if (*p != '/' && *p) continue;
    kstring_assign_bytes(&part, path, static_cast<uint32_t>(p - path));
    bool last = !*p || !p[strspn(p, "/")];
    if (mkdir(kstring_text(&part), last ? mode : 0755) != 0 && errno != EEXIST) ok = false;
    if (last || !ok) break;
  }
  kstring_free(&part);
  return ok;
}

// The account may create files in the program's directory but replace none
// of root's: group-writable and sticky.
static bool give_program_dir(const char* path, uint32_t gid) {
  kstring real;
  kstring_init(&real);
  struct stat st;
  bool ok = resolve(path, &real) && stat(kstring_text(&real), &st) == 0;
  if (ok && !is_system_dir(kstring_text(&real)))
    ok = chown(kstring_text(&real), static_cast<uid_t>(-1), gid) == 0 &&
         chmod(kstring_text(&real), (st.st_mode & 07777) | S_IRWXG | S_ISVTX) == 0;
  kstring_free(&real);
  return ok;
}

// A regular file of one link in dirfd (never one reached through a symbolic
// link, nor a hard link that would give away another name) goes to the account.
static bool give_entry(int dirfd, const char* name, uint32_t uid, uint32_t gid) {
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return true;
  return fchownat(dirfd, name, uid, gid, AT_SYMLINK_NOFOLLOW) == 0;
}

// A data directory, made when missing, and the regular files in it. The
// program's own directory is left to give_program_dir.
static bool give_dir(const char* path, const char* program_dir, uint32_t uid, uint32_t gid) {
  if (!make_dirs(path, 0750)) return false;
  kstring real, program_real;
  kstring_init(&real);
  kstring_init(&program_real);
  bool ok = resolve(path, &real);
  bool own = ok && !is_system_dir(kstring_text(&real)) &&
             !(resolve(program_dir, &program_real) && kstring_compare(&real, &program_real) == 0);
  int fd = own ? open(kstring_text(&real), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  if (own && (fd < 0 || fchown(fd, uid, gid) != 0)) ok = false;
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (fd >= 0 && !dir) {
    close(fd);
    ok = false;
  }
  if (dir) {
    while (struct dirent* e = readdir(dir)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      if (!give_entry(dirfd(dir), e->d_name, uid, gid)) ok = false;
    }
    closedir(dir);
  }
  kstring_free(&program_real);
  kstring_free(&real);
  return ok;
}

// A file the service writes, made when missing. Logs belong to their writer,
// so /var/log is the one system directory where that happens. A file whose
// directory is missing is left alone: the service cannot write there anyway.
static bool give_file(const char* path, uint32_t uid, uint32_t gid) {
  kstring dir, real;
  kstring_init(&dir);
  kstring_init(&real);
  const char* slash = strrchr(path, '/');
  kstring_assign_bytes(&dir, path,
                       slash && slash != path ? static_cast<uint32_t>(slash - path) : 1);
  bool ok = true;
  if (resolve(kstring_text(&dir), &real) &&
      (!is_system_dir(kstring_text(&real)) || strcmp(kstring_text(&real), "/var/log") == 0)) {
    int dirfd = open(kstring_text(&real), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dirfd >= 0;
    if (ok) {
      int fd =
          openat(dirfd, slash + 1, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0640);
      // A symbolic link is refused (ELOOP) and left as it is.
      if (fd >= 0)
        close(fd);
      else if (errno != ELOOP)
        ok = false;
      ok = ok && give_entry(dirfd, slash + 1, uid, gid);
      close(dirfd);
    }
  }
  kstring_free(&real);
  kstring_free(&dir);
  return ok;
}

// ---- unit files

// text with '%', which starts a specifier in unit files, doubled.
static void append_unit_text(kstring* out, const char* text) {
  for (const char* p = text; *p; ++p) {
    if (*p == '%') kstring_append_char(out, '%');
    kstring_append_char(out, *p);
  }
}

// The path in double quotes, with the characters that systemd would
// otherwise interpret escaped.
static bool exec_path_usable(const char* path) {
  for (const char* p = path; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    // '$' starts a variable that systemd would expand in the command line.
    if (c == '"' || c == '\'' || c == '\\' || c == '$' || is_control(c)) return false;
  }
  return true;
}

static void append_exec_path(kstring* out, const char* path) {
  // exec_path_usable has refused quotes, backslashes and controls: only the
  // specifier character needs doubling.
  kstring_append_char(out, '"');
  append_unit_text(out, path);
  kstring_append_char(out, '"');
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Undoes append_exec_path and drops every double quote.
static void unquote_exec_path(const char* value, uint32_t len, kstring* out) {
  kstring_clear(out);
  for (uint32_t i = 0; i < len; ++i) {
    char c = value[i];
    if (c == '"') continue;
    if (c == '%' && i + 1 < len && value[i + 1] == '%') {
      ++i;
    } else if (c == '\\' && i + 1 < len) {
      ++i;
      c = value[i];
      int hi = 0, lo = 0;
      if (c == 'x' && i + 2 < len && (hi = hex_digit(value[i + 1])) >= 0 &&
          (lo = hex_digit(value[i + 2])) >= 0) {
        c = static_cast<char>(hi * 16 + lo);
        i += 2;
      }
    }
    kstring_append_char(out, c);
  }
}

static uint32_t write_all(int fd, const kstring* text) {
  const char* p = kstring_text(text);
  uint32_t left = text->length;
  while (left) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    p += n;
    left -= static_cast<uint32_t>(n);
  }
  return 0;
}

// 0 when the file exists; otherwise the translated error (502 when absent).
static uint32_t unit_exists(const kstring* path) {
  struct stat st;
  return lstat(kstring_text(path), &st) == 0 ? 0 : kservice_error();
}

// A service opened by name: its unit name and file under scm's root.
struct service_ref {
  kstring unit;
  kstring file;
};

// The checks that opening a service by name makes: an open kscm, a valid
// name, an existing definition. ref is set up in any case; free it after.
static uint32_t open_service(const kscm* scm, const char* name, service_ref* ref) {
  kstring_init(&ref->unit);
  kstring_init(&ref->file);
  if (!scm->open) return KERR_SCM_HANDLE;
  uint32_t rc = kservice_unit_name(name, &ref->unit);
  if (rc) return rc;
  root_path(root_of(scm), kUnitDir, &ref->file);
  kstring_append_char(&ref->file, '/');
  kstring_append(&ref->file, &ref->unit);
  return unit_exists(&ref->file);
}

static void close_service(service_ref* ref) {
  kstring_free(&ref->file);
  kstring_free(&ref->unit);
}

// A unit of that name anywhere in the system's unit directories, so that a
// definition shipped by the distribution is never shadowed by ours.
static bool unit_defined_anywhere(const kscm* scm, const kstring* unit) {
  static const char* const kDirs[] = {
      "/etc/systemd/system/",     "/run/systemd/system/", "/usr/local/lib/systemd/system/",
      "/usr/lib/systemd/system/", "/lib/systemd/system/",
  };
  kstring path;
  kstring_init(&path);
  bool found = false;
  for (const char* dir : kDirs) {
    root_path(root_of(scm), dir, &path);
    kstring_append(&path, unit);
    struct stat st;
    if (lstat(kstring_text(&path), &st) == 0) found = true;
  }
  kstring_free(&path);
  return found;
}

// ---- operations

uint32_t kservice_scm_open(kscm* scm, const char* machine, uint32_t access_class) {
  scm->open = 0;
  scm->handle = nullptr;
  if (machine && machine[0]) return KERR_FAILED;
  kstring dir;
  kstring_init(&dir);
  root_path(root_of(scm), kUnitDir, &dir);
  struct stat st;
  bool ok = stat(kstring_text(&dir), &st) == 0 && S_ISDIR(st.st_mode);
  kstring_free(&dir);
  if (!ok) return KERR_FAILED;
  if (scm->env && scm->env->manager) {
    scm->handle = scm->env->manager;
  } else {
    // A manager serves the live system when it was booted with systemd.
    bool running = root_is_live(root_of(scm)) && access("/run/systemd/system", F_OK) == 0;
    scm->handle = running ? &kLiveManager : &kOfflineManager;
  }
  scm->access = access_class;
  scm->open = 1;
  return 0;
}

uint32_t kservice_scm_close(kscm* scm) {
  scm->open = 0;
  scm->handle = nullptr;
  return 0;
}

// The account's part of the definition, after ExecStart=. The sandbox keeps
// what the agent needs: listening on IPv4, reading /var/log and the journal
// (through the supplementary groups), starting programs in process groups of
// their own and signalling them, writing its own paths. Each restriction is
// one line, so that a later need (Delegate= wants ProtectControlGroups= off)
// drops one line.
static const char kSandbox[] =
    "UMask=0027\n"
    "NoNewPrivileges=yes\n"
    "CapabilityBoundingSet=\n"
    "AmbientCapabilities=\n"
    "ProtectSystem=strict\n"
    "ProtectHome=read-only\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "PrivateMounts=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "RestrictAddressFamilies=AF_INET AF_UNIX\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RemoveIPC=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallErrorNumber=EPERM\n";

// Groups that may read /var/log and the journal; only those that exist are
// named, since the manager refuses to start a service with a missing one.
static const char* const kLogGroups[] = {"adm", "systemd-journal"};

static bool account_path_usable(const char* path) {
  return path && path[0] == '/' && exec_path_usable(path);
}

// Every path the account writes, in the order program_dir, dirs, files.
static uint32_t account_path_count(const kservice_account* a) {
  return 1 + a->dir_count + a->file_count;
}
static const char* account_path(const kservice_account* a, uint32_t i) {
  if (i == 0) return a->program_dir;
  if (i <= a->dir_count) return a->dirs[i - 1];
  return a->files[i - 1 - a->dir_count];
}

// Writable through the sandbox; "-" lets the service start when one is
// missing. A path within one already named is left out.
static void append_writable(kstring* out, const kservice_account* a) {
  kstring_append_cstr(out, "ReadWritePaths=");
  uint32_t count = account_path_count(a);
  for (uint32_t i = 0; i < count; ++i) {
    const char* path = account_path(a, i);
    bool covered = false;
    for (uint32_t j = 0; j < i && !covered; ++j) covered = path_within(path, account_path(a, j));
    if (covered) continue;
    if (i) kstring_append_char(out, ' ');
    kstring_append_cstr(out, "\"-");
    append_unit_text(out, path);
    kstring_append_char(out, '"');
  }
  kstring_append_char(out, '\n');
}

// Makes the account and gives it its paths; appends its part of the
// definition to text.
static uint32_t prepare_account(const kscm* scm, const kservice_account* a, kstring* text) {
  const kservice_users* users = scm->env && scm->env->users ? scm->env->users : &kSystemUsers;
  uint32_t uid = 0, gid = 0;
  uint32_t rc = users->ensure(users->context, a->user, &uid, &gid);
  if (rc) return rc;
  bool given = give_program_dir(a->program_dir, gid);
  for (uint32_t i = 0; i < a->dir_count; ++i)
    given = give_dir(a->dirs[i], a->program_dir, uid, gid) && given;
  for (uint32_t i = 0; i < a->file_count; ++i) given = give_file(a->files[i], uid, gid) && given;
  if (!given) return KERR_FAILED;

  kstring_append_cstr(text, "Restart=on-failure\nUser=");
  kstring_append_cstr(text, a->user);
  kstring_append_char(text, '\n');
  bool any = false;
  for (const char* group : kLogGroups) {
    if (!users->group_exists(users->context, group)) continue;
    kstring_append_cstr(text, any ? " " : "SupplementaryGroups=");
    kstring_append_cstr(text, group);
    any = true;
  }
  if (any) kstring_append_char(text, '\n');
  kstring_append_cstr(text, kSandbox);
  append_writable(text, a);
  return 0;
}

uint32_t kservice_create(kscm* scm, const char* name, const char* path, uint32_t interactive) {
  return kservice_create_as(scm, name, path, interactive, nullptr);
}

uint32_t kservice_create_as(kscm* scm, const char* name, const char* path, uint32_t interactive,
                            const kservice_account* account) {
  (void)interactive;
  if (!scm->open) return KERR_SCM_HANDLE;
  if (scm->access == KSERVICE_READ || scm->access == KSERVICE_EXECUTE) return KERR_SCM_ACCESS;
  bool sandboxed = !account_is_root(account);
  kstring unit, file, text, exec;
  kstring_init(&unit);
  kstring_init(&file);
  kstring_init(&text);
  kstring_init(&exec);
  uint32_t rc = kservice_unit_name(name, &unit);
  if (rc == 0 && unit_defined_anywhere(scm, &unit)) rc = KERR_SCM_NAME;
  if (rc == 0) {
    // ExecStart= wants an absolute path, and systemd refuses to run one that
    // holds a quote, a backslash or a control character, however escaped:
    // such a unit could never start, so none is written.
    append_exec_path(&exec, path);
    if (path[0] != '/' || exec.length > kExecStartMax || !exec_path_usable(path)) rc = KERR_FAILED;
  }
  if (rc == 0 && sandboxed) {
    if (!account_name_usable(account->user)) rc = KERR_FAILED;
    for (uint32_t i = 0; rc == 0 && i < account_path_count(account); ++i)
      if (!account_path_usable(account_path(account, i))) rc = KERR_FAILED;
  }
  int fd = -1;
  if (rc == 0) {
    // The name is taken first: an account is made only for a definition
    // that can be written.
    root_path(root_of(scm), kUnitDir, &file);
    kstring_append_char(&file, '/');
    kstring_append(&file, &unit);
    fd = open(kstring_text(&file), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) rc = kservice_error();
  }
  if (rc == 0) {
    kstring_format(&text,
                   "# Written by the -install verb of the program below; its -remove verb\n"
                   "# deletes it.\n"
                   "[Unit]\n"
                   "Description=");
    append_unit_text(&text, name);
    kstring_append_cstr(&text,
                        "\n\n"
                        "[Service]\n"
                        "Type=notify\n"
                        "ExecStart=");
    kstring_append(&text, &exec);
    kstring_append_char(&text, '\n');
    if (sandboxed) rc = prepare_account(scm, account, &text);
    kstring_append_cstr(&text,
                        "\n"
                        "[Install]\n"
                        "WantedBy=multi-user.target\n");
    if (rc != 0) {
      close(fd);
      unlink(kstring_text(&file));
    }
  }
  if (rc == 0) {
    // Readable by everyone whatever the umask, like the distribution's units.
    bool written = fchmod(fd, 0644) == 0 && write_all(fd, &text) == 0;
    int saved = errno;
    if (close(fd) != 0 && written) {
      saved = errno;
      written = false;
    }
    if (!written) {
      unlink(kstring_text(&file));
      errno = saved;
      rc = kservice_error();
    }
  }
  if (rc == 0) {
    rc = systemctl_install(scm, "enable", kstring_text(&unit));
    // A definition that could not be enabled is not left half-installed.
    if (rc != 0) unlink(kstring_text(&file));
    ops_of(scm)->reload(ops_of(scm)->context);
  }
  kstring_free(&exec);
  kstring_free(&text);
  kstring_free(&file);
  kstring_free(&unit);
  return rc;
}

uint32_t kservice_delete(kscm* scm, const char* name) {
  service_ref ref;
  uint32_t rc = open_service(scm, name, &ref);
  if (rc == 0) rc = systemctl_install(scm, "disable", kstring_text(&ref.unit));
  if (rc == 0) {
    if (unlink(kstring_text(&ref.file)) != 0) rc = kservice_error();
    ops_of(scm)->reload(ops_of(scm)->context);
  }
  close_service(&ref);
  return rc;
}

uint32_t kservice_start(kscm* scm, const char* name) {
  service_ref ref;
  uint32_t rc = open_service(scm, name, &ref);
  if (rc == 0) rc = ops_of(scm)->start(ops_of(scm)->context, kstring_text(&ref.unit));
  close_service(&ref);
  return rc;
}

uint32_t kservice_stop(kscm* scm, const char* name) {
  service_ref ref;
  uint32_t rc = open_service(scm, name, &ref);
  if (rc == 0) rc = ops_of(scm)->stop(ops_of(scm)->context, kstring_text(&ref.unit));
  close_service(&ref);
  return rc;
}

uint32_t kservice_query_state(kscm* scm, const char* name, uint32_t* state) {
  service_ref ref;
  uint32_t rc = open_service(scm, name, &ref);
  if (rc == 0) rc = ops_of(scm)->query_state(ops_of(scm)->context, kstring_text(&ref.unit), state);
  close_service(&ref);
  return rc;
}

uint32_t kservice_query_path(kscm* scm, const char* name, kstring* out) {
  service_ref ref;
  kstring text, value;
  kstring_init(&text);
  kstring_init(&value);
  uint32_t rc = open_service(scm, name, &ref);
  int fd = -1;
  if (rc == 0) {
    fd = open(kstring_text(&ref.file), O_RDONLY | O_CLOEXEC);
    if (fd < 0) rc = kservice_error();
  }
  if (rc == 0) {
    char buf[4096];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) rc = kservice_error();
      if (n <= 0) break;
      if (!kstring_append_bytes(&text, buf, static_cast<uint32_t>(n))) {
        rc = KERR_NOMEM;
        break;
      }
    }
    close(fd);
  }
  if (rc == 0) {
    if (key_value(&text, "ExecStart", &value))
      unquote_exec_path(kstring_text(&value), value.length, out);
    else
      rc = KERR_FAILED;
  }
  kstring_free(&value);
  kstring_free(&text);
  close_service(&ref);
  return rc;
}

// kservice service manager: define, remove, start, stop and query the
// service that runs this program, through the platform's service manager.
//
// A kscm is a plain record, zero-initialised by its owner; kservice_scm_open
// fills it and kservice_scm_close empties it. Every operation takes it first
// and returns 0 or a library error code: 500 when rights are missing, 502 for
// a service name that is invalid, already defined or not defined, 501 for a
// kscm that is not open, 1 for anything else. The operations print and log
// nothing. One thread at a time per kscm.
//
// The steps that need a running manager (start, stop, state, reload) go
// through a kservice_manager table. Left null, the platform's own is used:
// the running manager when one serves root, otherwise one that reports
// every service stopped and can start nothing. Tests put a stand-in there
// and a temporary directory in root.
//
// A service may run under an account of its own (kservice_create_as): the
// account is made when missing through a kservice_users table (null: the
// system's user database and useradd), the definition runs the service as
// that account inside the manager's sandbox, and the paths the service
// writes are given to the account. Tests put a stand-in table there too.
#pragma once

#include <cstdint>

#include "host/kservice.h"
#include "klib/kstring.h"

// Access classes of kservice_scm_open; any other value means KSERVICE_ALL.
constexpr uint32_t KSERVICE_READ = 1;
constexpr uint32_t KSERVICE_WRITE = 2;
constexpr uint32_t KSERVICE_EXECUTE = 3;
constexpr uint32_t KSERVICE_ALL = 4;

// Service states of kservice_query_state.
constexpr uint32_t KSERVICE_RUNNING = 1;
constexpr uint32_t KSERVICE_PENDING = 2;  // starting, stopping, reloading or frozen
constexpr uint32_t KSERVICE_STOPPED = 3;

// The running manager. unit is the manager's name of a service whose
// definition exists; context is the table's own.
struct kservice_manager {
  void* context;
  uint32_t (*start)(void* context, const char* unit);  // asks for a start; does not wait
  uint32_t (*stop)(void* context, const char* unit);   // asks for a stop; does not wait
  // 0 with *state set, or 0 with *state untouched for a state outside the
  // three above; otherwise an error code.
  uint32_t (*query_state)(void* context, const char* unit, uint32_t* state);
  // Makes the manager read the definitions again after one was written or
  // deleted; its result is not reported (nothing to reload is not a failure).
  uint32_t (*reload)(void* context);
};

// The system's accounts; context is the table's own.
struct kservice_users {
  void* context;
  // 0 with the ids of account user, which is made first when missing (a
  // system account with a group of its own, no home and no login shell);
  // otherwise an error code.
  uint32_t (*ensure)(void* context, const char* user, uint32_t* uid, uint32_t* gid);
  int (*group_exists)(void* context, const char* group);  // 1 or 0
};

// Who runs a service and what it writes; every path absolute.
struct kservice_account {
  // null, "" or "root": the manager's default account, root, and the plain
  // definition without sandbox; nothing below is touched.
  const char* user;
  // The program's own directory. Root keeps it and the files in it, so that
  // the service can replace neither its program nor its configuration; the
  // account's group may create files in it (group-writable, sticky, as /tmp
  // is for everyone). A log file there is given to the account.
  const char* program_dir;
  // Directories of the service's data: made when missing and given to the
  // account with the regular files directly in them.
  const char* const* dirs;
  uint32_t dir_count;
  // Files it writes (its log): made when missing, given to the account.
  const char* const* files;
  uint32_t file_count;
};
// Directories of the system keep their owner, as do the files in them (but
// a log directly in /var/log): every directory under /etc, /usr, /run, /home
// and the like, and shared ones such as /opt or /var/lib themselves. They
// are writable in the sandbox only as far as their permissions allow.

struct kscm {
  // Set by the owner before kservice_scm_open; zero for the live system.
  const char* root;                 // the tree of service definitions lies under it; null: "/"
  const kservice_manager* manager;  // null: the platform's own
  const kservice_users* users;      // null: the system's
  // Filled by kservice_scm_open.
  uint32_t open;    // 1 between open and close
  uint32_t access;  // the class asked for
  const kservice_manager* ops;
  void* handle;  // the manager's handle where the platform has one (Windows)
};

// machine null or empty is the local machine; no other is reachable (1).
// Fails with 1 when root holds no service definitions directory.
uint32_t kservice_scm_open(kscm* scm, const char* machine, uint32_t access_class);
uint32_t kservice_scm_close(kscm* scm);  // 0
// Defines the service with automatic start, without starting it. interactive
// has no meaning here and is ignored. Needs KSERVICE_WRITE or KSERVICE_ALL.
uint32_t kservice_create(kscm* scm, const char* name, const char* path, uint32_t interactive);
// kservice_create for the account (null: root). Before the definition is
// written the account is made and the paths given to it; when that fails
// (1) no definition is left, but a made account stays. Refused (1) before
// anything is made: a user that is not a letter or '_' followed by letters,
// digits, '_' and '-' (31 at most), a path that is not absolute or holds a
// quote, an apostrophe, a backslash or a control character.
uint32_t kservice_create_as(kscm* scm, const char* name, const char* path, uint32_t interactive,
                            const kservice_account* account);
// Removes the definition; a running service keeps running until it stops.
uint32_t kservice_delete(kscm* scm, const char* name);
uint32_t kservice_start(kscm* scm, const char* name);
uint32_t kservice_stop(kscm* scm, const char* name);
uint32_t kservice_query_state(kscm* scm, const char* name, uint32_t* state);
// The executable path of the definition, without its quotes.
uint32_t kservice_query_path(kscm* scm, const char* name, kstring* out);
// The library code of the platform error of the call that just failed.
uint32_t kservice_error();

// The table that drives the platform's running manager (here systemctl
// start, stop, show and daemon-reload); a kscm of the live system uses it
// when the system was booted with that manager.
const kservice_manager* kservice_running_manager();
// The table of the system's accounts: getpwnam, getgrnam, and useradd (or
// adduser where useradd is missing) to make an account.
const kservice_users* kservice_system_users();

// The manager's name for a service name ("a b" gives "a\x20b.service");
// 0, or 502 when the name cannot be a service's.
uint32_t kservice_unit_name(const char* name, kstring* out);

// The verbs on a kscm that the caller set up (root, manager) but did not
// open; remove polls the state every poll_ms. kservice_verb_install and
// kservice_verb_remove are these on the live system with 1000 ms.
int kservice_verb_install_scm(kservice_app* app, kscm* scm);
int kservice_verb_remove_scm(kservice_app* app, kscm* scm, uint32_t poll_ms);

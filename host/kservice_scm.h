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
// A kscm normally works on the live system. The platform half may take
// stand-ins in its place (a directory tree, the running manager, the
// accounts): they are declared in the half's own header and given through
// env, so that tests run every operation without touching the system.
//
// A service may run under an account of its own (kservice_create_as): the
// account is made when missing, the service runs as that account, and the
// paths the service writes are given to it.
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

// Who runs a service and what it writes; every path absolute.
struct kservice_account {
  // null, "" or "root": the manager's default account and the plain
  // definition; nothing below is touched.
  const char* user;
  // The program's own directory: the service may create files in it but
  // replace neither its program nor its configuration. A log file there is
  // given to the account.
  const char* program_dir;
  // Directories of the service's data: made when missing and given to the
  // account with the regular files directly in them.
  const char* const* dirs;
  uint32_t dir_count;
  // Files it writes (its log): made when missing, given to the account.
  const char* const* files;
  uint32_t file_count;
};
// The platform half's stand-ins for the live system (its own header).
struct kservice_scm_env;

struct kscm {
  const kservice_scm_env* env;  // set by the owner before kservice_scm_open; null: the live system
  // Filled by kservice_scm_open.
  uint32_t open;       // 1 between open and close
  uint32_t access;     // the class asked for
  const void* handle;  // the platform half's own: the manager's handle, or its table
};

// machine null or empty is the local machine; no other is reachable (1).
// Fails with 1 when the system (or env) holds no service definitions.
uint32_t kservice_scm_open(kscm* scm, const char* machine, uint32_t access_class);
uint32_t kservice_scm_close(kscm* scm);  // 0
// Defines the service with automatic start, without starting it. interactive
// asks for a service that may use the desktop where the platform has one.
// Needs KSERVICE_WRITE or KSERVICE_ALL.
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

// The verbs on a kscm that the caller set up (env) but did not open; remove
// polls the state every poll_ms. kservice_verb_install and
// kservice_verb_remove are these on the live system with 1000 ms.
int kservice_verb_install_scm(kservice_app* app, kscm* scm);
int kservice_verb_remove_scm(kservice_app* app, kscm* scm, uint32_t poll_ms);

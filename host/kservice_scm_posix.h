// The Linux half of the service manager (systemd). A service is a unit file
// under <root>/etc/systemd/system; the running manager is driven through a
// kservice_manager table, service accounts are made through a
// kservice_users table. A kservice_scm_env puts stand-ins in place of each
// (a temporary root, a recording manager, fake accounts), so that tests run
// every operation without touching the system.
//
// A service with an account of its own runs as that account inside the
// manager's sandbox. Root keeps the program's directory and the files in it
// (the account's group may create files there: group-writable and sticky, as
// /tmp is for everyone). Directories of the system keep their owner, as do
// the files in them (but a log directly in /var/log): every directory under
// /etc, /usr, /run, /home and the like, and shared ones such as /opt or
// /var/lib themselves; they are writable in the sandbox only as far as their
// permissions allow.
#pragma once

#include <cstdint>

#include "host/kservice_scm.h"
#include "klib/kstring.h"

// The running manager. unit is the manager's name of a service whose
// definition exists; context is the table's own.
struct kservice_manager {
  void* context;
  uint32_t (*start)(void* context, const char* unit);  // asks for a start; does not wait
  uint32_t (*stop)(void* context, const char* unit);   // asks for a stop; does not wait
  // 0 with *state set, or 0 with *state untouched for a state outside the
  // three of kservice_scm.h; otherwise an error code.
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

// Each member null: the live system's. A manager left null is the running
// one when a manager serves root, otherwise one that reports every service
// stopped and can start nothing.
struct kservice_scm_env {
  const char* root;  // the tree of service definitions lies under it; null: "/"
  const kservice_manager* manager;
  const kservice_users* users;
};

// The table that drives the running manager (systemctl start, stop, show and
// daemon-reload); a kscm of the live system uses it when the system was
// booted with that manager.
const kservice_manager* kservice_running_manager();

// The manager's name for a service name ("a b" gives "a\x20b.service");
// 0, or 502 when the name cannot be a service's.
uint32_t kservice_unit_name(const char* name, kstring* out);

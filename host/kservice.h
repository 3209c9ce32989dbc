// kservice: the generic host that runs one application, in the foreground of
// a terminal ("-start") or under the service manager, and the command-line
// verbs that install and remove it as a service.
//
// The application is known only through its descriptor: four callbacks, a
// version, a build stamp, and optionally the directories it writes besides
// its own (which an installed service must be allowed to write). init, run and cleanup run on one
// thread; stop comes on another thread, possibly more than once, and must make run return soon. The
// host owns the record's strings, its log and its configuration from kservice_program's start to
// its end.
#pragma once

#include <cstdint>

#include "klib/karray.h"
#include "klib/kconfig.h"
#include "klib/klog.h"
#include "klib/kstring.h"

struct kservice_app;

typedef uint32_t (*kservice_fn)(kservice_app* app);
typedef void (*kservice_banner_fn)(kservice_app* app);
// Adds to dirs the directories the application writes, as its settings name
// them (relative ones are taken from module_dir).
typedef void (*kservice_dirs_fn)(kservice_app* app, kstrlist* dirs);

struct kservice_desc {
  kservice_app* app;  // the application record; it begins with a kservice_app
  kservice_fn init;   // 0: go on to run
  kservice_fn cleanup;
  kservice_fn run;   // blocks until stop; its result is the console exit code
  kservice_fn stop;  // asynchronous, from another thread
  const char* version;
  const char* build_date;
  const char* build_time;
  kservice_dirs_fn data_dirs;  // null: none besides its own directory
};

struct kservice_app {
  int32_t argc;
  char** argv;
  kservice_fn init;
  kservice_fn cleanup;
  kservice_fn run;
  kservice_fn stop;
  kservice_banner_fn banner_start;
  kservice_banner_fn banner_stop;
  kservice_dirs_fn data_dirs;
  uint32_t interactive;  // "service.interactive"; no meaning on this platform
  kstring service_name;
  kstring module_path;
  kstring module_name;
  kstring module_dir;
  kstring version;
  kstring build;
  klog log;
  kconfig config;
};

// The whole program between library start-up and clean-up: derives the
// paths, reads the service.* settings, opens the log, runs the verb or mode
// and releases everything. Returns the exit code.
int kservice_program(int argc, char** argv, const kservice_desc* desc);

// Performs the verb or run mode of app's command line; the exit code.
int kservice_run(kservice_app* app);
void kservice_banner_start(kservice_app* app);
void kservice_banner_stop(kservice_app* app);

// The log file's path: "service.logfile", or "<name>.log" in module_dir.
void kservice_log_path(kservice_app* app, kstring* out);

// 1 and the executable's full path in out; 0 with out unchanged.
uint32_t kservice_module_path(kstring* out);

// The verbs "install" and "remove"; they print their result and return 0.
// Install runs the service as the account "service.user" (default "vardo",
// made when missing) in the manager's sandbox, writing only its own
// directory, the log and the application's data_dirs; "root" gives the
// plain definition.
int kservice_verb_install(kservice_app* app);
int kservice_verb_remove(kservice_app* app);

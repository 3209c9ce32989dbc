// The command-line verbs "install" and "remove". They print one line (or
// nothing when the manager cannot be reached), never log, and exit with 0.
#include <cstdio>
#include <cstdlib>

#include "host/kservice.h"
#include "host/kservice_scm.h"
#include "klib/kerror.h"
#include "klib/kthread.h"

static const uint32_t kRemovePolls = 20;
static const uint32_t kRemovePollMs = 1000;

// "-install x" names the service "<name> x"; with more arguments the suffix
// is not taken.
static void apply_suffix(kservice_app* app) {
  if (app->argc == 3) {
    kstring_append_char(&app->service_name, ' ');
    kstring_append_cstr(&app->service_name, app->argv[2]);
  }
}

// The account the service runs as unless "service.user" names another.
static const char kDefaultUser[] = "vardo";

// A relative path is taken from module_dir, the service's working directory.
static void make_absolute(kservice_app* app, kstring* path) {
  if (kstring_path_root(kstring_text(path)) != 0) return;
  kstring rel;
  kstring_init(&rel);
  kstring_assign(&rel, path);
  kstring_assign(path, &app->module_dir);
  kstring_append(path, &rel);
  kstring_free(&rel);
}

int kservice_verb_install_scm(kservice_app* app, kscm* scm) {
  apply_suffix(app);
  if (kservice_scm_open(scm, nullptr, KSERVICE_WRITE) != 0) return 0;
  const char* name = kstring_text(&app->service_name);
  // What the service writes: its directory, the application's data
  // directories and the log.
  kstring user, log;
  kstrlist data;
  kstring_init(&user);
  kstring_init(&log);
  kstrlist_init(&data);
  kstring_assign_cstr(&user, kDefaultUser);
  kconfig_get(&app->config, "service.user", 0, &user);
  if (app->data_dirs) app->data_dirs(app, &data);
  const uint32_t count = kstrlist_count(&data);
  const char** dirs = static_cast<const char**>(calloc(count + 1, sizeof(const char*)));
  for (uint32_t i = 0; dirs && i < count; ++i) {
    make_absolute(app, kstrlist_get(&data, i));
    dirs[i] = kstrlist_text(&data, i);
  }
  kservice_log_path(app, &log);
  make_absolute(app, &log);
  const char* files[] = {kstring_text(&log)};
  kservice_account account = {
      kstring_text(&user), kstring_text(&app->module_dir), dirs, dirs ? count : 0, files, 1};
  uint32_t rc =
      kservice_create_as(scm, name, kstring_text(&app->module_path), app->interactive, &account);
  free(dirs);
  kstrlist_free(&data);
  kstring_free(&log);
  kstring_free(&user);
  if (rc == 0)
    printf("Installation Success : %s\n", name);
  else
    printf("Installation Failure (%s) : %s\n", kerror_message(rc), name);
  fflush(stdout);
  kservice_scm_close(scm);
  return 0;
}

int kservice_verb_remove_scm(kservice_app* app, kscm* scm, uint32_t poll_ms) {
  apply_suffix(app);
  if (kservice_scm_open(scm, nullptr, KSERVICE_WRITE) != 0) return 0;
  const char* name = kstring_text(&app->service_name);
  // The service may be stopped already: the state polls below decide.
  kservice_stop(scm, name);
  uint32_t state = 0;
  bool stopped = false;
  for (uint32_t poll = 0; poll < kRemovePolls; ++poll) {
    uint32_t rc = kservice_query_state(scm, name, &state);
    if (rc != 0) {
      printf("Remove Failure (%s) : %s\n", kerror_message(rc), name);
      fflush(stdout);
      kservice_scm_close(scm);
      return 0;
    }
    if (state == KSERVICE_STOPPED) {
      stopped = true;
      break;
    }
    if (poll + 1 < kRemovePolls) ksleep(poll_ms);
  }
  // A service that would not stop stays installed, and nothing is said.
  if (!stopped) {
    kservice_scm_close(scm);
    return 0;
  }
  uint32_t rc = kservice_delete(scm, name);
  if (rc == 0)
    printf("Remove Success : %s\n", name);
  else
    printf("Remove Failure (%s) : %s\n", kerror_message(rc), name);
  fflush(stdout);
  kservice_scm_close(scm);
  return 0;
}

int kservice_verb_install(kservice_app* app) {
  kscm scm = {};
  return kservice_verb_install_scm(app, &scm);
}

int kservice_verb_remove(kservice_app* app) {
  kscm scm = {};
  return kservice_verb_remove_scm(app, &scm, kRemovePollMs);
}

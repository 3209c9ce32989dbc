#include "host/kservice.h"

#include <cstdio>

#include "host/kservice_sys.h"

static void app_strings_init(kservice_app* app) {
  kstring_init(&app->service_name);
  kstring_init(&app->module_path);
  kstring_init(&app->module_name);
  kstring_init(&app->module_dir);
  kstring_init(&app->version);
  kstring_init(&app->build);
}

static void app_strings_free(kservice_app* app) {
  kstring_free(&app->build);
  kstring_free(&app->version);
  kstring_free(&app->module_dir);
  kstring_free(&app->module_name);
  kstring_free(&app->module_path);
  kstring_free(&app->service_name);
}

int kservice_program(int argc, char** argv, const kservice_desc* desc) {
  kservice_app* app = desc->app;
  app_strings_init(app);
  kservice_module_path(&app->module_path);
  kstring_path_dir(&app->module_path, &app->module_dir);
  kstring_path_stem(&app->module_path, &app->module_name);

  kstring path;
  kstring_init(&path);
  kstring_format(&path, "%s%s.conf", kstring_text(&app->module_dir),
                 kstring_text(&app->module_name));
  kconfig_load_k(&app->config, &path);

  kservice_log_path(app, &path);
  int32_t level = 1;
  kconfig_get_int(&app->config, "service.loglevel", &level);
  if (!klog_init_k(&app->log, &path)) {
    // No log that keeps threads' lines apart: nothing runs without one.
    fprintf(stderr, "cannot create the lock of log '%s'\n", kstring_text(&path));
    kstring_free(&path);
    app_strings_free(app);
    kconfig_free(&app->config);
    return 1;
  }
  // A negative level wraps to a large unsigned one: everything is written.
  klog_set_level(&app->log, static_cast<uint32_t>(level));
  kstring_free(&path);

  int32_t interactive = 1;
  kconfig_get_int(&app->config, "service.interactive", &interactive);
  app->interactive = static_cast<uint32_t>(interactive);
  kstring_format(&app->service_name, "%s Service", kstring_text(&app->module_name));
  kconfig_get(&app->config, "service.name", 0, &app->service_name);

  app->argc = argc;
  app->argv = argv;
  app->init = desc->init;
  app->cleanup = desc->cleanup;
  app->run = desc->run;
  app->stop = desc->stop;
  app->data_dirs = desc->data_dirs;
  app->banner_start = kservice_banner_start;
  app->banner_stop = kservice_banner_stop;
  kstring_assign_cstr(&app->version, desc->version);
  kstring_format(&app->build, "%s %s", desc->build_date, desc->build_time);

  int code = kservice_run(app);

  app_strings_free(app);
  kconfig_free(&app->config);
  klog_free(&app->log);
  return code;
}

void kservice_log_path(kservice_app* app, kstring* out) {
  kstring_format(out, "%s%s.log", kstring_text(&app->module_dir), kstring_text(&app->module_name));
  kconfig_get(&app->config, "service.logfile", 0, out);
}

int kservice_run(kservice_app* app) {
  if (app->argc >= 2 && (app->argv[1][0] == '-' || app->argv[1][0] == '/')) {
    const char* verb = app->argv[1] + 1;
    if (kstring_icompare_text(verb, "install") == 0) return kservice_verb_install(app);
    if (kstring_icompare_text(verb, "remove") == 0) return kservice_verb_remove(app);
    if (kstring_icompare_text(verb, "start") == 0) return kservice_sys_console(app);
  }
  printf("Trying to start service '%s' ... please wait.\n", kstring_text(&app->service_name));
  fflush(stdout);
  // Outside the service manager there is nothing to dispatch to: end quietly.
  if (!kservice_sys_started_by_manager()) return 0;
  kservice_sys_service(app);
  return 0;
}

void kservice_banner_start(kservice_app* app) {
  klog_plain(&app->log, 1, "\n");
  klog_plain(&app->log, 1, "     ->[%u] %s\n", kservice_sys_pid(), kstring_text(&app->module_path));
  klog_plain(&app->log, 1, "       Version %s Build %s\n", kstring_text(&app->version),
             kstring_text(&app->build));
  klog_plain(&app->log, 1, "\n");
}

void kservice_banner_stop(kservice_app* app) {
  klog_plain(&app->log, 1, "\n");
  klog_plain(&app->log, 1, "     <-[%u] %s\n", kservice_sys_pid(), kstring_text(&app->module_path));
  klog_plain(&app->log, 1, "\n");
}

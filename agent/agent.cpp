#include "agent/agent.h"

#include "agent/agent_dispatch.h"
#include "agent/agent_watch.h"
#include "klib/kthread.h"

#define VARDO_VERSION "1.2.6"

agent g_agent;

const kservice_desc agent_desc = {
    &g_agent.host, agent_init, agent_cleanup, agent_run,       agent_stop,
    VARDO_VERSION, __DATE__,   __TIME__,      agent_data_dirs,
};

static agent* agent_of(kservice_app* app) {
  return reinterpret_cast<agent*>(app);
}

void agent_data_dirs(kservice_app* app, kstrlist* dirs) {
  uint32_t first = kstrlist_count(dirs);
  if (!kstrlist_add(dirs) || !kstrlist_add(dirs)) return;
  lwatch_dirs(&app->config, &app->module_dir, kstrlist_get(dirs, first),
              kstrlist_get(dirs, first + 1));
}

void agent_settings(agent* a) {
  int32_t v = 1;
  kconfig_get_int(a->config_ref, "smtsvr.enable", &v);
  a->smt_enabled = v == 1;
  v = 1;
  kconfig_get_int(a->config_ref, "lwatch.enable", &v);
  a->lwatch_enabled = v == 1;
  v = 60;
  kconfig_get_int(a->config_ref, "smtsvr.exectimeout", &v);
  a->exec_timeout_s = v > 0 ? static_cast<uint32_t>(v) : 0;  // below 0: no bound, as 0
  kconfig_get_list(a->config_ref, "smtsvr.disableverb", &a->disabled_verbs);
  kconfig_get_list(a->config_ref, "smtsvr.addressmask", &a->address_masks);

  klog_plain(a->log_ref, 1, "%s = %d\n", "smtsvr.enable", a->smt_enabled ? 1 : 0);
  klog_plain(a->log_ref, 1, "%s = %d\n", "lwatch.enable", a->lwatch_enabled ? 1 : 0);
  klog_plain(a->log_ref, 1, "%s = %d\n", "smtsvr.exectimeout", static_cast<int>(a->exec_timeout_s));
  for (uint32_t i = 0; i < kstrlist_count(&a->disabled_verbs); ++i)
    klog_plain(a->log_ref, 1, "%s = %s\n", "smtsvr.disableverb",
               kstrlist_text(&a->disabled_verbs, i));
  for (uint32_t i = 0; i < kstrlist_count(&a->address_masks); ++i)
    klog_plain(a->log_ref, 1, "%s = %s\n", "smtsvr.addressmask",
               kstrlist_text(&a->address_masks, i));
}

// The request server's TLS context, from "smtsvr.tlscert", "smtsvr.tlskey",
// "smtsvr.tlsca" and "smtsvr.tlspeer" (each logged when set). True with
// *tls null when no certificate is set (plain TCP); false, with the reason
// logged, when the settings cannot be used: the server then stays off.
static bool load_tls(agent* a, smt_tls** tls) {
  kstring cert, key, ca, why;
  kstring_init(&cert);
  kstring_init(&key);
  kstring_init(&ca);
  kstring_init(&why);
  kstrlist peers;
  kstrlist_init(&peers);
  kconfig_get(a->config_ref, "smtsvr.tlscert", 0, &cert);
  kconfig_get(a->config_ref, "smtsvr.tlskey", 0, &key);
  kconfig_get(a->config_ref, "smtsvr.tlsca", 0, &ca);
  kconfig_get_list(a->config_ref, "smtsvr.tlspeer", &peers);
  const char* keys[] = {"smtsvr.tlscert", "smtsvr.tlskey", "smtsvr.tlsca"};
  const kstring* values[] = {&cert, &key, &ca};
  for (uint32_t i = 0; i < 3; ++i)
    if (values[i]->length > 0)
      klog_plain(a->log_ref, 1, "%s = %s\n", keys[i], kstring_text(values[i]));
  for (uint32_t i = 0; i < kstrlist_count(&peers); ++i)
    klog_plain(a->log_ref, 1, "%s = %s\n", "smtsvr.tlspeer", kstrlist_text(&peers, i));
  bool ok = true;
  *tls = nullptr;
  if (cert.length > 0 && smt_tls_server_init(tls, kstring_text(&cert), kstring_text(&key),
                                             kstring_text(&ca), &peers, &why) != 0) {
    klog_write(a->log_ref, 1, KLOG_WARNING, "SMT TLS settings not usable: %s\n",
               kstring_text(&why));
    ok = false;
  }
  kstrlist_free(&peers);
  kstring_free(&why);
  kstring_free(&ca);
  kstring_free(&key);
  kstring_free(&cert);
  return ok;
}

uint32_t agent_init(kservice_app* app) {
  agent* a = agent_of(app);
  kstrlist listeners;
  kstrlist_init(&listeners);
  a->stop_requested.store(0, std::memory_order_release);
  a->log_ref = &app->log;
  a->config_ref = &app->config;
  kstrlist_init(&a->disabled_verbs);
  kstrlist_init(&a->address_masks);
  agent_settings(a);
  kstring_init(&a->facilitydir);
  kstring_init(&a->resultdir);
  lwatch_dirs(a->config_ref, &app->module_dir, &a->facilitydir, &a->resultdir);
  // Before any connection can claim a result file again.
  agent_watch_recover(&a->resultdir, a->log_ref);

  if (a->smt_enabled) {
    kconfig_get_list(a->config_ref, "vardo.listener", &listeners);
    for (uint32_t i = 0; i < kstrlist_count(&listeners); ++i)
      klog_plain(a->log_ref, 1, "%s = %s\n", "vardo.listener", kstrlist_text(&listeners, i));
    // A listener whose port is still taken is retried by the server: it
    // stays on unless it has nothing to listen on at all. Certificates that
    // cannot be loaded keep it off: it never serves without the TLS it was
    // told to require.
    smt_tls* tls = nullptr;
    if (!load_tls(a, &tls) ||
        !smt_server_init(&a->smt, &listeners, agent_conn_open, agent_conn_close, agent_on_message,
                         sizeof(agent_conn), a->log_ref, agent_on_accept, tls)) {
      klog_write(a->log_ref, 1, KLOG_WARNING, "VARDO cannot initialize SMT - disabling feature\n");
      a->smt_enabled = false;
    }
  }

  if (a->lwatch_enabled && !lwatch_init(&a->lwatch, &app->module_dir, a->config_ref, a->log_ref)) {
    klog_write(a->log_ref, 1, KLOG_WARNING, "VARDO cannot initialize LWATCH - disabling feature\n");
    a->lwatch_enabled = false;
  }

  kstrlist_free(&listeners);
  return 0;
}

bool agent_conn_open(smt_client*) {
  return true;
}

void agent_conn_close(smt_client*) {}

uint32_t agent_run(kservice_app* app) {
  agent* a = agent_of(app);
  klog_echo(a->log_ref, 1, 0, "VARDO up\n");
  while (a->stop_requested.load(std::memory_order_acquire) == 0) ksleep(1000);
  klog_echo(a->log_ref, 1, 0, "VARDO down\n");
  return 0;
}

uint32_t agent_stop(kservice_app* app) {
  agent* a = agent_of(app);
  klog_echo(a->log_ref, 1, 0, "VARDO shutdown\n");
  if (a->smt_enabled) smt_server_stop(&a->smt);
  if (a->lwatch_enabled) lwatch_stop(&a->lwatch);
  a->stop_requested.store(1, std::memory_order_release);
  return 0;
}

uint32_t agent_cleanup(kservice_app* app) {
  agent* a = agent_of(app);
  // The server goes first: a connection thread that outlived the stop waits
  // still reads the two lists and the two directories, and smt_server_free
  // waits for it.
  if (a->smt_enabled) smt_server_free(&a->smt);
  kstrlist_free(&a->address_masks);
  kstrlist_free(&a->disabled_verbs);
  if (a->lwatch_enabled) lwatch_free(&a->lwatch);
  kstring_free(&a->resultdir);
  kstring_free(&a->facilitydir);
  return 0;
}

#include "lwatch/lwatch.h"

#include <new>

#include "klib/kdir.h"
#include "klib/kmem.h"
#include "lwatch/lweventlog.h"
#include "lwatch/lwfacility.h"
#include "lwatch/lwfile.h"

static void lwatch_free_settings(lwatch* e);

static uint32_t setting_ticks(kconfig* config, const char* key, int32_t value) {
  kconfig_get_int(config, key, &value);
  // Periods divide the tick counter: below 1 they count as 1.
  return value < 1 ? 1 : static_cast<uint32_t>(value);
}

// A bound: absent keeps the default, 0 or less is no bound.
static uint32_t setting_bound(lwatch* e, kconfig* config, const char* key, int32_t value) {
  kconfig_get_int(config, key, &value);
  uint32_t bound = value < 1 ? UINT32_MAX : static_cast<uint32_t>(value);
  if (bound == UINT32_MAX)
    klog_plain(e->log, 1, "%s = none\n", key);
  else
    klog_plain(e->log, 1, "%s = %u\n", key, bound);
  return bound;
}

static void read_policy(lwatch* e, kconfig* config) {
  kstrlist dirs;
  kstrlist_init(&dirs);
  kconfig_get_list(config, "lwatch.allowpath", &dirs);
  for (uint32_t i = 0; i < kstrlist_count(&dirs); ++i) {
    // Without memory for it the list would allow more than was set: every
    // file is refused instead.
    if (!lwpolicy_allow_dir(&e->policy, kstrlist_get(&dirs, i))) {
      kstring nowhere;
      kstring_init(&nowhere);
      kstring_assign_cstr(&nowhere, "/nonexistent/");
      lwpolicy_allow_dir(&e->policy, &nowhere);
      kstring_free(&nowhere);
      break;
    }
    klog_plain(e->log, 1, "%s = '%s'\n", "lwatch.allowpath",
               kstrlist_text(&e->policy.allow, kstrlist_count(&e->policy.allow) - 1));
  }
  kstrlist_free(&dirs);
  lwpolicy* p = &e->policy;
  p->max_facilities = setting_bound(e, config, "lwatch.maxfacilities", 1000);
  p->max_entries = setting_bound(e, config, "lwatch.maxentries", 100000);
  p->max_filters = setting_bound(e, config, "lwatch.maxfilters", 1000);
  p->max_files = setting_bound(e, config, "lwatch.maxfiles", 100000);
  p->max_size = setting_bound(e, config, "lwatch.maxfacilitysize", 1048576);
}

bool lwatch_init(lwatch* e, const kstring* default_dir, kconfig* config, klog* log) {
  lwatch_settings(e, default_dir, config, log);
  kthread_start(&e->thread, lwatch_thread, 0, e);
  // The worker runs until it is stopped: not running means the platform
  // refused the thread, and the engine leaves nothing behind.
  if (!kthread_is_running(&e->thread)) {
    lwatch_free_settings(e);
    return false;
  }
  return true;
}

void lwatch_settings(lwatch* e, const kstring* default_dir, kconfig* config, klog* log) {
  new (&e->stop) std::atomic<uint32_t>(0);
  e->log = log;
  e->config = config;
  kthread_init(&e->thread);
  kstring_init(&e->facilitydir);
  kstring_init(&e->resultdir);
  kstring_init(&e->default_dir);
  kstring_assign(&e->default_dir, default_dir);
  lwsource_init(&e->events);
  lwpolicy_init(&e->policy);
  e->policy.base_dir = &e->default_dir;

  e->rfilettl = setting_ticks(config, "lwatch.rfilettl", 60);
  e->facilityupdt = setting_ticks(config, "lwatch.facilityupdt", 5);
  lwatch_dirs(config, default_dir, &e->facilitydir, &e->resultdir);
  int32_t v = 0;
  kconfig_get_int(config, "lwatch.cleandir", &v);
  e->cleandir = static_cast<uint32_t>(v);
  // Empty: the event source reads this machine's own logs.
  kconfig_get(config, "lwatch.journaldir", 0, &e->events.location);
  int32_t exact = 0;
  kconfig_get_int(config, "lwatch.exact", &exact);
  e->policy.exact = exact != 0 ? 1 : 0;

  klog_plain(log, 1, "%s = '%s'\n", "lwatch.facilitydir", kstring_text(&e->facilitydir));
  klog_plain(log, 1, "%s = '%s'\n", "lwatch.resultdir", kstring_text(&e->resultdir));
  klog_plain(log, 1, "%s = %d sec\n", "lwatch.facilityupdt", static_cast<int>(e->facilityupdt));
  klog_plain(log, 1, "%s = %d sec\n", "lwatch.rfilettl", static_cast<int>(e->rfilettl));
  klog_plain(log, 1, "%s = %d\n", "lwatch.cleandir", v);
  klog_plain(log, 1, "%s = '%s'\n", "lwatch.journaldir", kstring_text(&e->events.location));
  klog_plain(log, 1, "%s = %d\n", "lwatch.exact", static_cast<int>(e->policy.exact));
  kstring state_path;
  kstring_init(&state_path);
  kstring_path_join_cstr(&state_path, &e->resultdir, "lwatch.state");
  kconfig_get(config, "lwatch.statefile", 0, &state_path);
  lwstate_init(&e->state, &state_path, log);
  if (e->policy.exact) {
    klog_plain(log, 1, "%s = '%s'\n", "lwatch.statefile", kstring_text(&state_path));
    lwstate_load(&e->state);
    e->policy.state = &e->state;
  }
  kstring_free(&state_path);
  read_policy(e, config);

  if (e->cleandir) lwatch_clean(e);
  lwatch_recover(&e->resultdir, e->log);
  karray_init(&e->facilities, sizeof(lwfacility), 10);
}

void lwatch_dirs(kconfig* config, const kstring* default_dir, kstring* facilitydir,
                 kstring* resultdir) {
  kstring_assign(facilitydir, default_dir);
  kconfig_get(config, "lwatch.facilitydir", 0, facilitydir);
  kstring_assign(resultdir, default_dir);
  kconfig_get(config, "lwatch.resultdir", 0, resultdir);
}

bool lwatch_stopping(const lwatch* e) {
  return e->stop.load(std::memory_order_acquire) != 0;
}

void lwatch_stop(lwatch* e) {
  klog_write(e->log, 1, 0, "LWATCH shutdown\n");
  e->stop.store(1, std::memory_order_release);
  if (kthread_wait(&e->thread, 5000)) klog_write(e->log, 1, 2, "LWATCH not terminated\n");
}

void lwatch_free(lwatch* e) {
  // A worker that outlived the stop wait still uses the facility table:
  // freeing under it would be a use-after-free. Its stop flag is set and
  // every scan polls it between blocks and records, so it normally ends
  // soon; one stuck in the kernel (a read from a hung network share) keeps
  // the table, which is then left allocated rather than pulled from under it.
  e->stop.store(1, std::memory_order_release);
  if (kthread_wait(&e->thread, 5000)) {
    klog_write(e->log, 1, 2, "LWATCH not terminated\n");
    return;
  }
  if (e->cleandir) lwatch_clean(e);
  lwatch_free_settings(e);
}

static void lwatch_free_settings(lwatch* e) {
  karray_destroy(&e->facilities, [](void* f) { lwfacility_free(static_cast<lwfacility*>(f)); });
  lwsource_free(&e->events);
  lwpolicy_free(&e->policy);
  lwstate_free(&e->state);
  kstring_free(&e->default_dir);
  kstring_free(&e->resultdir);
  kstring_free(&e->facilitydir);
  kthread_free(&e->thread);
}

static void clean_dir(lwatch* e, const kstring* dir, const char* pattern) {
  kdir d;
  kdir_init(&d, dir);
  kstrlist names;
  kstrlist_init(&names);
  kfile file;
  kfile_init(&file);
  kstring path;
  kstring_init(&path);
  if (kdir_list_files_cstr(&d, pattern, &names) == 0) {
    for (uint32_t i = 0; i < kstrlist_count(&names); ++i) {
      kstring_path_join(&path, dir, kstrlist_get(&names, i));
      klog_write(e->log, 2, 0, "Cleaning file : %s\n", kstring_text(&path));
      kfile_set_name(&file, &path);
      kfile_remove(&file);
    }
  }
  kstring_free(&path);
  kfile_free(&file);
  kstrlist_free(&names);
  kdir_free(&d);
}

void lwatch_clean(lwatch* e) {
  clean_dir(e, &e->facilitydir, "*.facility");
}

static void rotate(lwatch* e, lwatch_result* result) {
  lwatch_result_close(result);
  ktime now;
  ktime_init(&now);
  ktime_now(&now);
  lwatch_result_open(result, &e->resultdir, &now);
  ktime_free(&now);
}

int lwatch_thread(void* engine) {
  lwatch* e = static_cast<lwatch*>(engine);
  klog_write(e->log, 1, 0, "LWATCH up\n");
  lwatch_result result;
  lwatch_result_init(&result, e->log);
  for (uint32_t tick = 0; !lwatch_stopping(e); ++tick) {
    if (tick % e->rfilettl == 0) rotate(e, &result);
    if (tick % e->facilityupdt == 0) lwatch_reload(e);
    if (result.open) lwatch_scan(e, tick, &result);
    if (e->policy.exact) lwatch_save_state(e, &result);
    ksleep(1000);
  }
  if (e->policy.exact) lwatch_save_state(e, &result);
  lwatch_result_free(&result);
  klog_write(e->log, 1, 0, "LWATCH down\n");
  return 0;
}

static void facility_free(void* f) {
  lwfacility_free(static_cast<lwfacility*>(f));
}

bool lwatch_reload(lwatch* e) {
  kdir d;
  kdir_init(&d, &e->facilitydir);
  kstrlist names;
  kstrlist_init(&names);
  if (kdir_list_files_cstr(&d, "*.facility", &names) != 0) {
    kstrlist_free(&names);
    kdir_free(&d);
    return true;
  }
  kstring name, path;
  kstring_init(&name);
  kstring_init(&path);
  bool released = false;
  for (uint32_t i = 0; i < kstrlist_count(&names); ++i) {
    const kstring* file_name = kstrlist_get(&names, i);
    kstring_clear(&name);
    kstring_token_cstr(file_name, ".", 0, &name);
    kstring_path_join(&path, &e->facilitydir, file_name);
    lwfacility* f =
        static_cast<lwfacility*>(karray_find(&e->facilities, &name, lwfacility_compare));
    if (f) {
      if (lwfacility_is_modified(f, &path)) {
        klog_write(e->log, 2, 0, "reloading facility '%s'\n", kstring_text(&name));
        lwfacility_free(f);
        released = true;
        lwfacility_init(f, &name, e->log);
        f->stop = &e->stop;
        f->policy = &e->policy;
        lwfacility_load(f, &path);
      }
      f->seen = 1;
      continue;
    }
    if (e->facilities.count >= e->policy.max_facilities) {
      // Met again at every reload until one goes: rate-limited.
      klog_limited(e->log, 1, 1, "lwatch.maxfacilities", "",
                   "cannot add facility '%s': lwatch.maxfacilities = %u reached\n",
                   kstring_text(&name), e->policy.max_facilities);
      continue;
    }
    f = static_cast<lwfacility*>(karray_append(&e->facilities));
    if (!f) {
      klog_write(e->log, 1, 1, "cannot allocate facility\n");
      continue;
    }
    lwfacility_init(f, &name, e->log);
    f->stop = &e->stop;
    f->policy = &e->policy;
    lwfacility_load(f, &path);
    f->seen = 1;
    klog_write(e->log, 1, 0, "facility '%s' added\n", kstring_text(&name));
  }
  // Gone from the directory: removed; the next facility takes the index.
  for (uint32_t i = 0; i < e->facilities.count;) {
    lwfacility* f = static_cast<lwfacility*>(karray_get(&e->facilities, i));
    if (!f->seen) {
      klog_write(e->log, 1, 0, "facility '%s' removed\n", kstring_text(&f->name));
      karray_remove_each(&e->facilities, i, facility_free);
      released = true;
      continue;
    }
    lwfacility_update(f, &e->default_dir);
    f->seen = 0;
    ++i;
  }
  kstring_free(&path);
  kstring_free(&name);
  kstrlist_free(&names);
  kdir_free(&d);
  // A facility may have held many thousands of small blocks: without this
  // the heap would keep its peak size for good.
  if (released) kmem_release();
  return true;
}

// The hits written so far reach the disk; true when they did.
static bool sync_result(void* data) {
  lwatch_result* r = static_cast<lwatch_result*>(data);
  if (!r->open || r->synced == r->size) return true;
  if (kfile_sync(&r->file) != 0) return false;
  r->synced = r->size;
  return true;
}

void lwatch_save_state(lwatch* e, lwatch_result* result) {
  lwstate_save(&e->state, &e->facilities, sync_result, result);
}

bool lwatch_scan(lwatch* e, uint32_t tick, lwatch_result* result) {
  // Writing is tried afresh at every scan.
  result->failed = 0;
  bool hit = false;
  for (uint32_t i = 0; i < e->facilities.count && !lwatch_stopping(e); ++i) {
    lwfacility* f = static_cast<lwfacility*>(karray_get(&e->facilities, i));
    bool due = tick % f->scan == 0;
    // Between periods only the files that have more are read on.
    if (!due && !lwfacility_files_pending(f)) continue;
    if (lwfacility_scan_files(f, result, due)) hit = true;
    if (due && lwfacility_scan_eventlog(f, result, &e->events)) hit = true;
  }
  return hit;
}

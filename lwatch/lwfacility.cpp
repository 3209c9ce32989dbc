#include "lwatch/lwfacility.h"

#include <cstdlib>
#include <cstring>

#include "klib/kconfig.h"
#include "klib/kdir.h"

void lwfilter_init(lwfilter* filter) {
  kregex_init(&filter->regex);
  kstring_init(&filter->name);
}

void lwfilter_free(lwfilter* filter) {
  kstring_free(&filter->name);
  kregex_free(&filter->regex);
}

bool lwfacility_init(lwfacility* f, const kstring* name, klog* log) {
  f->stop = nullptr;
  f->log = log;
  f->seen = 0;
  f->mtime = 0;
  kstring_init(&f->name);
  kstring_assign(&f->name, name);
  f->first_update = 1;
  f->scan = 5;
  f->scanfrombeg = 0;
  kstrlist_init(&f->files);
  karray_init(&f->tracked, sizeof(lwfile), 10);
  karray_init(&f->eventlogs, sizeof(lweventlog), 10);
  karray_init(&f->filters, sizeof(lwfilter), 10);
  return true;
}

void lwfacility_free(lwfacility* f) {
  karray_destroy(&f->eventlogs, [](void* e) { lweventlog_free(static_cast<lweventlog*>(e)); });
  karray_destroy(&f->tracked, [](void* e) { lwfile_free(static_cast<lwfile*>(e)); });
  karray_destroy(&f->filters, [](void* e) { lwfilter_free(static_cast<lwfilter*>(e)); });
  kstrlist_free(&f->files);
  kstring_free(&f->name);
}

int lwfacility_compare(const void* facility, const void* name) {
  return kstring_compare(&static_cast<const lwfacility*>(facility)->name,
                         static_cast<const kstring*>(name));
}

bool lwfacility_is_modified(lwfacility* f, const kstring* path) {
  kfile file;
  kfile_init(&file);
  kfile_set_name(&file, path);
  uint32_t mtime = 0, size = 0;
  bool modified = kfile_stat(&file, &mtime, &size) == 0 && mtime > f->mtime;
  kfile_free(&file);
  return modified;
}

static void load_filter(lwfacility* f, const kstring* value) {
  uint32_t at;
  if (!kstring_find_char(value, ';', &at) || at + 1 >= value->length) return;
  lwfilter* filter = static_cast<lwfilter*>(karray_append(&f->filters));
  if (!filter) return;
  lwfilter_init(filter);
  kstring pattern;
  kstring_init(&pattern);
  kstring_assign_prefix(&filter->name, value, at);
  kstring_substr(value, at + 1, value->length - at - 1, &pattern);
  klog_plain(f->log, 2, "  filter     = '%s'/'%s'\n", kstring_text(&filter->name),
             kstring_text(&pattern));
  if (kregex_compile(&filter->regex, &pattern)) {
    klog_write(f->log, 1, 1, "error in filter '%s'\n", kstring_text(&pattern));
    karray_pop_each(&f->filters, [](void* e) { lwfilter_free(static_cast<lwfilter*>(e)); });
  }
  kstring_free(&pattern);
}

bool lwfacility_load(lwfacility* f, const kstring* path) {
  kconfig config;
  kconfig_load_k(&config, path);
  kfile file;
  kfile_init(&file);
  kfile_set_name(&file, path);
  uint32_t mtime = 0, size = 0;
  if (kfile_stat(&file, &mtime, &size) == 0) f->mtime = mtime;
  kfile_free(&file);
  // Every key from one reading: a collector may replace the file meanwhile,
  // and the facility must be the old one or the new one, not a mixture.
  // Should the file change after the time was taken, its newer time brings
  // a reload.
  kconfig_hold(&config);
  klog_write(f->log, 2, 0, "loading lwfacility file '%s'\n", kstring_text(path));

  // The period divides the tick counter: below 1 it counts as 1.
  int32_t v = 5;
  kconfig_get_int(&config, "scan", &v);
  f->scan = v < 1 ? 1 : static_cast<uint32_t>(v);
  klog_plain(f->log, 2, "  scan freq. = %d sec\n", static_cast<int>(f->scan));
  v = 0;
  kconfig_get_int(&config, "scanfrombeg", &v);
  f->scanfrombeg = static_cast<uint32_t>(v);
  klog_plain(f->log, 2, "  scan fbeg  = %d\n", v);

  kconfig_get_list(&config, "file", &f->files);
  for (uint32_t i = 0; i < kstrlist_count(&f->files); ++i)
    klog_plain(f->log, 2, "  scan file  = '%s'\n", kstrlist_text(&f->files, i));
  kstrlist values;
  kstrlist_init_step(&values, 64);
  kconfig_get_list(&config, "eventlog", &values);
  for (uint32_t i = 0; i < kstrlist_count(&values); ++i) {
    klog_plain(f->log, 2, "  eventlog   = '%s'\n", kstrlist_text(&values, i));
    lweventlog* r = static_cast<lweventlog*>(karray_append(&f->eventlogs));
    if (r) lweventlog_init(r, kstrlist_get(&values, i), f->log);
  }
  kconfig_get_list(&config, "filter", &values);
  for (uint32_t i = 0; i < kstrlist_count(&values); ++i) load_filter(f, kstrlist_get(&values, i));
  kstrlist_free(&values);
  kconfig_free(&config);
  return true;
}

// The tracked files by path, for the duration of one update: each entry and
// each listed name is looked up once, so a facility that follows many
// thousands of files costs an update in proportion to their number, not its
// square. Open addressing; a slot holds a record's index + 1, 0 when free.
// Without memory for it the lookups fall back to a walk over the records.
struct track_index {
  uint32_t* slots;
  uint32_t mask;
  uint32_t used;
};

static uint32_t path_hash(const kstring* path) {
  uint32_t h = 2166136261u;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(kstring_text(path));
  for (uint32_t i = 0; i < path->length; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

static const kstring* tracked_name(const lwfacility* f, uint32_t i) {
  return &static_cast<const lwfile*>(karray_get(&f->tracked, i))->file.name;
}

static void index_put(track_index* x, const lwfacility* f, uint32_t i) {
  uint32_t at = path_hash(tracked_name(f, i)) & x->mask;
  while (x->slots[at]) at = (at + 1) & x->mask;
  x->slots[at] = i + 1;
  ++x->used;
}

// (Re)builds the index for every tracked record with room for as many again.
static void index_build(track_index* x, const lwfacility* f) {
  free(x->slots);
  x->slots = nullptr;
  x->used = 0;
  uint64_t size = 64;
  while (size < 4 * static_cast<uint64_t>(f->tracked.count)) size *= 2;
  if (size > (1u << 30)) return;
  x->slots = static_cast<uint32_t*>(calloc(size, sizeof(uint32_t)));
  if (!x->slots) return;
  x->mask = static_cast<uint32_t>(size - 1);
  for (uint32_t i = 0; i < f->tracked.count; ++i) index_put(x, f, i);
}

static lwfile* index_find(const track_index* x, const lwfacility* f, const kstring* path) {
  if (!x->slots) return static_cast<lwfile*>(karray_find(&f->tracked, path, lwfile_compare));
  for (uint32_t at = path_hash(path) & x->mask; x->slots[at]; at = (at + 1) & x->mask) {
    uint32_t i = x->slots[at] - 1;
    if (kstring_compare(tracked_name(f, i), path) == 0)
      return static_cast<lwfile*>(karray_get(&f->tracked, i));
  }
  return nullptr;
}

// Records the record just appended; beyond half full the index grows.
static void index_added(track_index* x, const lwfacility* f) {
  if (!x->slots) return;
  if (2 * (x->used + 1) > x->mask + 1)
    index_build(x, f);
  else
    index_put(x, f, f->tracked.count - 1);
}

static lwfile* track(lwfacility* f, track_index* x, const kstring* path) {
  lwfile* t = index_find(x, f, path);
  if (t) t->seen = 1;
  return t;
}

static void update_static(lwfacility* f, track_index* x, const kstring* path) {
  if (track(f, x, path)) return;
  klog_plain(f->log, 2, "  start static monitoring '%s'\n", kstring_text(path));
  lwfile* t = static_cast<lwfile*>(karray_append(&f->tracked));
  if (!t) return;
  lwfile_init(t, path, f->scanfrombeg != 0 ? 1 : 0);
  t->seen = 1;
  index_added(x, f);
}

static void update_dynamic(lwfacility* f, track_index* x, const kstring* dir,
                           const kstring* wildcard) {
  kdir d;
  kdir_init(&d, dir);
  kstrlist names;
  kstrlist_init(&names);
  kstring path;
  kstring_init(&path);
  if (kdir_list_files(&d, wildcard, &names) == 0) {
    for (uint32_t i = 0; i < kstrlist_count(&names); ++i) {
      if (dir->length)
        kstring_path_join(&path, dir, kstrlist_get(&names, i));
      else
        kstring_assign(&path, kstrlist_get(&names, i));
      if (track(f, x, &path)) continue;
      lwfile* t = static_cast<lwfile*>(karray_append(&f->tracked));
      if (!t) continue;
      klog_plain(f->log, 2, "  start dynamic monitoring '%s'\n", kstring_text(&path));
      // Present when the facility is loaded: from its end. Appearing later:
      // everything it holds is new.
      lwfile_init(t, &path, f->first_update ? 0 : 1);
      t->seen = 1;
      index_added(x, f);
    }
  }
  kstring_free(&path);
  kstrlist_free(&names);
  kdir_free(&d);
}

static bool is_absolute(const kstring* path) {
  return path->length > 0 && kstring_text(path)[0] == '/';
}

bool lwfacility_update(lwfacility* f, const kstring* base_dir) {
  klog_write(f->log, 4, 0, "updating lwfacility '%s'\n", kstring_text(&f->name));
  kstring path, dir, wildcard;
  kstring_init(&path);
  kstring_init(&dir);
  kstring_init(&wildcard);
  track_index x = {nullptr, 0, 0};
  index_build(&x, f);
  bool complete = true;
  for (uint32_t i = 0; i < kstrlist_count(&f->files); ++i) {
    // A stop ends the update; what was not looked at is kept as it is.
    if (lwfacility_stopping(f)) {
      complete = false;
      break;
    }
    const kstring* entry = kstrlist_get(&f->files, i);
    bool dynamic = kstring_has_char(entry, '*') || kstring_has_char(entry, '?');
    if (!dynamic) {
      if (!is_absolute(entry) && base_dir->length)
        kstring_path_join(&path, base_dir, entry);
      else
        kstring_assign(&path, entry);
      update_static(f, &x, &path);
      continue;
    }
    kstring_path_dir(entry, &path);
    if (!is_absolute(&path) && base_dir->length)
      kstring_path_join(&dir, base_dir, &path);
    else
      kstring_assign(&dir, &path);
    kstring_path_base(entry, &wildcard);
    update_dynamic(f, &x, &dir, &wildcard);
  }
  free(x.slots);
  // Drop what no entry names any more, keeping the others in their order;
  // one pass, however many go.
  uint32_t kept = 0;
  for (uint32_t i = 0; i < f->tracked.count; ++i) {
    lwfile* t = static_cast<lwfile*>(karray_get(&f->tracked, i));
    if (!t->seen && complete) {
      klog_plain(f->log, 2, "  stop dynamic monitoring '%s'\n", kstring_text(&t->file.name));
      lwfile_free(t);
      continue;
    }
    t->seen = 0;
    if (kept != i) memcpy(karray_get(&f->tracked, kept), t, sizeof(lwfile));
    ++kept;
  }
  f->tracked.count = kept;
  if (complete) f->first_update = 0;
  kstring_free(&wildcard);
  kstring_free(&dir);
  kstring_free(&path);
  return true;
}

const lwfilter* lwfacility_match(const lwfacility* f, const kstring* text) {
  for (uint32_t i = 0; i < f->filters.count; ++i) {
    const lwfilter* filter = static_cast<const lwfilter*>(karray_get(&f->filters, i));
    if (!kregex_match(&filter->regex, text)) return filter;
  }
  return nullptr;
}

bool lwfacility_stopping(const lwfacility* f) {
  return f->stop && f->stop->load(std::memory_order_acquire) != 0;
}

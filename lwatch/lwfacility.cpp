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

void lwpolicy_init(lwpolicy* p) {
  kstrlist_init(&p->allow);
  p->base_dir = nullptr;
  p->max_facilities = p->max_entries = p->max_filters = p->max_files = p->max_size = UINT32_MAX;
  p->entries = p->filters = p->files = 0;
  p->exact = 0;
  p->state = nullptr;
}

void lwpolicy_free(lwpolicy* p) {
  kstrlist_free(&p->allow);
}

uint32_t lwpolicy_allow_dir(lwpolicy* p, const kstring* dir) {
  kstring* d = kstrlist_add(&p->allow);
  if (!d) return 0;
  // A directory that cannot be resolved at all is kept as written.
  if (kfile_resolve(dir, d) != 0 && !kstring_assign(d, dir)) {
    kstrlist_free(&p->allow);  // never hold an empty entry, which would allow nothing
    kstrlist_init(&p->allow);
    return 0;
  }
  while (d->length > 1 && kstring_text(d)[d->length - 1] == '/')
    kstring_set_length(d, d->length - 1);
  return 1;
}

bool lwpolicy_allows(const lwpolicy* p, const kstring* path, bool real) {
  uint32_t count = kstrlist_count(&p->allow);
  if (count == 0) return true;
  kstring resolved;
  kstring_init(&resolved);
  const kstring* at = path;
  if (!real) at = kfile_resolve(path, &resolved) == 0 ? &resolved : nullptr;
  bool inside = false;
  for (uint32_t i = 0; at && !inside && i < count; ++i)
    inside = kfile_path_within(at, kstrlist_get(&p->allow, i)) != 0;
  kstring_free(&resolved);
  return inside;
}

bool lwfacility_init(lwfacility* f, const kstring* name, klog* log) {
  f->stop = nullptr;
  f->policy = nullptr;
  f->held_entries = 0;
  f->log = log;
  f->seen = 0;
  f->mtime = 0;
  kstring_init(&f->name);
  kstring_assign(&f->name, name);
  f->first_update = 1;
  f->scan = 5;
  f->scanfrombeg = 0;
  kstrlist_init_step(&f->files, 64);
  karray_init(&f->tracked, sizeof(lwfile), 10);
  karray_init(&f->eventlogs, sizeof(lweventlog), 10);
  karray_init(&f->filters, sizeof(lwfilter), 10);
  kregex_set_init(&f->match);
  return true;
}

void lwfacility_free(lwfacility* f) {
  if (f->policy) {
    f->policy->entries -= f->held_entries;
    f->policy->filters -= f->filters.count;
    f->policy->files -= f->tracked.count;
  }
  f->held_entries = 0;
  kregex_set_free(&f->match);
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
  // The facility's filters make one automaton, whose size is bounded: a
  // filter that would take it past the bound is refused like an invalid one.
  uint32_t held = 0;
  for (uint32_t i = 0; i + 1 < f->filters.count; ++i)
    held += kregex_size(&static_cast<lwfilter*>(karray_get(&f->filters, i))->regex);
  if (kregex_compile(&filter->regex, &pattern) ||
      held + kregex_size(&filter->regex) > KREGEX_SET_PROG_MAX) {
    klog_write(f->log, 1, 1, "error in filter '%s'\n", kstring_text(&pattern));
    karray_pop_each(&f->filters, [](void* e) { lwfilter_free(static_cast<lwfilter*>(e)); });
  }
  kstring_free(&pattern);
}

// The filters are all loaded, so the records stay where they are: the set
// matches them in one pass. Without memory for it no filter is kept, as a
// facility that matches nothing should say so.
static void build_match(lwfacility* f) {
  uint32_t n = f->filters.count;
  if (n == 0) return;
  const kregex** members = static_cast<const kregex**>(malloc(sizeof(kregex*) * n));
  bool failed = !members;
  for (uint32_t i = 0; !failed && i < n; ++i)
    members[i] = &static_cast<const lwfilter*>(karray_get(&f->filters, i))->regex;
  failed = failed || kregex_set_build(&f->match, members, n);
  free(members);
  if (!failed) return;
  klog_write(f->log, 1, 1, "lwfacility '%s': no memory for its %u filters: none kept\n",
             kstring_text(&f->name), n);
  karray_destroy(&f->filters, [](void* e) { lwfilter_free(static_cast<lwfilter*>(e)); });
  karray_init(&f->filters, sizeof(lwfilter), 10);
}

// The path of a static entry, or the directory part of a wildcard entry (with
// the wildcard in wildcard): relative ones are taken from base_dir (empty:
// as written). true for a wildcard entry.
static bool entry_target(const kstring* entry, const kstring* base_dir, kstring* target,
                         kstring* wildcard) {
  bool dynamic = kstring_has_char(entry, '*') || kstring_has_char(entry, '?');
  kstring part;
  kstring_init(&part);
  if (dynamic) {
    kstring_path_dir(entry, &part);
    kstring_path_base(entry, wildcard);
  } else {
    kstring_assign(&part, entry);
  }
  if (kstring_path_root(kstring_text(&part)) == 0 && base_dir && base_dir->length)
    kstring_path_join(target, base_dir, &part);
  else
    kstring_assign(target, &part);
  kstring_free(&part);
  return dynamic;
}

static uint32_t room(uint32_t max, uint32_t used) {
  return used < max ? max - used : 0;
}

// What one reading of a facility file collects: every key from one pass over
// one open file, so that a collector replacing the file meanwhile yields the
// old facility or the new one, never a mixture.
struct load_state {
  lwfacility* f;
  int32_t scan, scanfrombeg;
  bool scan_seen, scanfrombeg_seen;
  bool files_ended, eventlogs_ended, filters_ended;  // an empty value ends a list
  kstrlist eventlogs, filters;
  uint32_t entries_left, filters_left;  // what the policy still allows
  uint32_t entries_over, filters_over;  // values beyond it
  kstring target, wildcard;
};

static void refuse_outside(lwfacility* f, const kstring* entry) {
  klog_limited(f->log, 1, 1, "lwatch.allowpath", kstring_text(&f->name),
               "lwfacility '%s': file '%s' outside lwatch.allowpath: not monitored\n",
               kstring_text(&f->name), kstring_text(entry));
}

static void take_file(load_state* st, const kstring* value) {
  lwfacility* f = st->f;
  if (st->entries_left == 0) {
    ++st->entries_over;
    return;
  }
  // A refused entry counts as well: resolving it costs system calls, and
  // the bound keeps that work in proportion to it too.
  --st->entries_left;
  ++f->held_entries;
  if (f->policy) ++f->policy->entries;
  if (f->policy && kstrlist_count(&f->policy->allow)) {
    // A wildcard's directory must lie inside; the files it matches are
    // checked one by one when they are found.
    entry_target(value, f->policy->base_dir, &st->target, &st->wildcard);
    if (!lwpolicy_allows(f->policy, &st->target, false)) {
      refuse_outside(f, value);
      return;
    }
  }
  kstring* s = kstrlist_add(&f->files);
  if (!s) return;
  if (!kstring_assign(s, value))
    karray_pop_each(&f->files.items, [](void* e) { kstring_free(static_cast<kstring*>(e)); });
}

static bool take_pair(const kstring* key, const kstring* value, void* data) {
  load_state* st = static_cast<load_state*>(data);
  // "scan" and "scanfrombeg" are taken from their first occurrence, with or
  // without a value; a list ends at its first occurrence without one.
  if (kstring_compare_cstr(key, "scan") == 0) {
    if (!st->scan_seen && value->length) st->scan = kstring_to_int(value);
    st->scan_seen = true;
  } else if (kstring_compare_cstr(key, "scanfrombeg") == 0) {
    if (!st->scanfrombeg_seen && value->length) st->scanfrombeg = kstring_to_int(value);
    st->scanfrombeg_seen = true;
  } else if (kstring_compare_cstr(key, "file") == 0 && !st->files_ended) {
    if (value->length == 0)
      st->files_ended = true;
    else
      take_file(st, value);
  } else if (kstring_compare_cstr(key, "eventlog") == 0 && !st->eventlogs_ended) {
    if (value->length == 0) {
      st->eventlogs_ended = true;
    } else if (st->entries_left == 0) {
      ++st->entries_over;
    } else {
      kstring* s = kstrlist_add(&st->eventlogs);
      if (s && kstring_assign(s, value)) --st->entries_left;
    }
  } else if (kstring_compare_cstr(key, "filter") == 0 && !st->filters_ended) {
    uint32_t at;
    if (value->length == 0) {
      st->filters_ended = true;
    } else if (!kstring_find_char(value, ';', &at) || at + 1 >= value->length) {
      // not a filter: ignored without a word, and not counted
    } else if (st->filters_left == 0) {
      ++st->filters_over;
    } else {
      kstring* s = kstrlist_add(&st->filters);
      if (s && kstring_assign(s, value)) --st->filters_left;
    }
  }
  return true;
}

bool lwfacility_load(lwfacility* f, const kstring* path) {
  lwpolicy* p = f->policy;
  kfile file;
  kfile_init(&file);
  kfile_set_name(&file, path);
  uint32_t mtime = 0;
  uint64_t size = 0;
  if (kfile_stat64(&file, &mtime, &size) == 0) f->mtime = mtime;
  // Should the file change after the time was taken, its newer time brings
  // a reload.
  klog_write(f->log, 2, 0, "loading lwfacility file '%s'\n", kstring_text(path));

  load_state st;
  st.f = f;
  st.scan = 5;
  st.scanfrombeg = 0;
  st.scan_seen = st.scanfrombeg_seen = false;
  st.files_ended = st.eventlogs_ended = st.filters_ended = false;
  kstrlist_init_step(&st.eventlogs, 64);
  kstrlist_init_step(&st.filters, 64);
  st.entries_left = p ? room(p->max_entries, p->entries) : UINT32_MAX;
  st.filters_left = p ? room(p->max_filters, p->filters) : UINT32_MAX;
  st.entries_over = st.filters_over = 0;
  kstring_init(&st.target);
  kstring_init(&st.wildcard);
  // A link in the facility directory is not followed: it could make any
  // file that the agent can read a facility, and its lines would be echoed
  // in the log. A file beyond the size bound is refused before it is read.
  // Either way, as for a file that cannot be opened or read, the facility
  // holds nothing.
  uint32_t max_size = p ? p->max_size : UINT32_MAX;
  bool complete = false;
  if (kfile_open_regular_nofollow(&file) == 0) {
    uint64_t held = 0;
    if (kfile_size(&file, &held) == 0 && held > max_size) {
      klog_write(f->log, 1, 1,
                 "lwfacility file '%s' is larger than lwatch.maxfacilitysize = %u bytes: not "
                 "loaded\n",
                 kstring_text(path), max_size);
    } else if (kconfig_read_pairs(&file, max_size, take_pair, &st) == 0) {
      complete = true;
    }
    kfile_close(&file);
  }
  kfile_free(&file);
  if (!complete) {
    if (p) p->entries -= f->held_entries;
    f->held_entries = 0;
    kstrlist_clear(&f->files);
    kstrlist_clear(&st.eventlogs);
    kstrlist_clear(&st.filters);
    st.scan = 5;
    st.scanfrombeg = 0;
    st.entries_over = st.filters_over = 0;
  }

  // The period divides the tick counter: below 1 it counts as 1.
  f->scan = st.scan < 1 ? 1 : static_cast<uint32_t>(st.scan);
  klog_plain(f->log, 2, "  scan freq. = %d sec\n", static_cast<int>(f->scan));
  f->scanfrombeg = static_cast<uint32_t>(st.scanfrombeg);
  klog_plain(f->log, 2, "  scan fbeg  = %d\n", st.scanfrombeg);
  for (uint32_t i = 0; i < kstrlist_count(&f->files); ++i)
    klog_plain(f->log, 2, "  scan file  = '%s'\n", kstrlist_text(&f->files, i));
  for (uint32_t i = 0; i < kstrlist_count(&st.eventlogs); ++i) {
    klog_plain(f->log, 2, "  eventlog   = '%s'\n", kstrlist_text(&st.eventlogs, i));
    lweventlog* r = static_cast<lweventlog*>(karray_append(&f->eventlogs));
    if (!r) continue;
    lweventlog_init(r, kstrlist_get(&st.eventlogs, i), f->log);
    if (p && p->exact) {
      r->exact = 1;
      if (p->state) lwstate_apply_eventlog(p->state, &f->name, f->eventlogs.count - 1, r);
    }
    ++f->held_entries;
    if (p) ++p->entries;
  }
  for (uint32_t i = 0; i < kstrlist_count(&st.filters); ++i)
    load_filter(f, kstrlist_get(&st.filters, i));
  build_match(f);
  if (p) p->filters += f->filters.count;
  if (st.entries_over)
    klog_write(f->log, 1, 1, "lwfacility '%s': %u entries beyond lwatch.maxentries = %u ignored\n",
               kstring_text(&f->name), st.entries_over, p ? p->max_entries : 0);
  if (st.filters_over)
    klog_write(f->log, 1, 1, "lwfacility '%s': %u filters beyond lwatch.maxfilters = %u ignored\n",
               kstring_text(&f->name), st.filters_over, p ? p->max_filters : 0);
  kstring_free(&st.wildcard);
  kstring_free(&st.target);
  kstrlist_free(&st.filters);
  kstrlist_free(&st.eventlogs);
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

// true when the policy lets one more file be tracked; warns (rate-limited:
// every update meets it again) when not.
static bool may_track(lwfacility* f, const kstring* path) {
  lwpolicy* p = f->policy;
  if (!p || p->files < p->max_files) return true;
  klog_limited(f->log, 1, 1, "lwatch.maxfiles", kstring_text(&f->name),
               "lwfacility '%s': file '%s' not monitored: lwatch.maxfiles = %u reached\n",
               kstring_text(&f->name), kstring_text(path), p->max_files);
  return false;
}

static void tracked_one(lwfacility* f, lwfile* t, track_index* x) {
  t->seen = 1;
  if (f->policy && f->policy->exact) {
    lwfile_set_exact(t);
    if (f->policy->state) lwstate_apply_file(f->policy->state, &f->name, t);
  }
  index_added(x, f);
  if (f->policy) ++f->policy->files;
}

static void update_static(lwfacility* f, track_index* x, const kstring* path) {
  if (track(f, x, path) || !may_track(f, path)) return;
  klog_plain(f->log, 2, "  start static monitoring '%s'\n", kstring_text(path));
  lwfile* t = static_cast<lwfile*>(karray_append(&f->tracked));
  if (!t) return;
  lwfile_init(t, path, f->scanfrombeg != 0 ? 1 : 0);
  tracked_one(f, t, x);
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
      // A match may be a link that leads out of the allowed directories.
      if (f->policy && !lwpolicy_allows(f->policy, &path, false)) {
        refuse_outside(f, &path);
        continue;
      }
      if (!may_track(f, &path)) continue;
      lwfile* t = static_cast<lwfile*>(karray_append(&f->tracked));
      if (!t) continue;
      klog_plain(f->log, 2, "  start dynamic monitoring '%s'\n", kstring_text(&path));
      // Present when the facility is loaded: from its end. Appearing later:
      // everything it holds is new.
      lwfile_init(t, &path, f->first_update ? 0 : 1);
      tracked_one(f, t, x);
    }
  }
  kstring_free(&path);
  kstrlist_free(&names);
  kdir_free(&d);
}

bool lwfacility_update(lwfacility* f, const kstring* base_dir) {
  klog_write(f->log, 4, 0, "updating lwfacility '%s'\n", kstring_text(&f->name));
  kstring path, wildcard;
  kstring_init(&path);
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
    if (entry_target(kstrlist_get(&f->files, i), base_dir, &path, &wildcard))
      update_dynamic(f, &x, &path, &wildcard);
    else
      update_static(f, &x, &path);
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
      if (f->policy) --f->policy->files;
      continue;
    }
    t->seen = 0;
    if (kept != i) memcpy(karray_get(&f->tracked, kept), t, sizeof(lwfile));
    ++kept;
  }
  f->tracked.count = kept;
  if (complete) f->first_update = 0;
  kstring_free(&wildcard);
  kstring_free(&path);
  return true;
}

const lwfilter* lwfacility_match(const lwfacility* f, const kstring* text) {
  int32_t i = kregex_set_match(&f->match, kstring_text(text), text->length);
  return i < 0 ? nullptr : static_cast<const lwfilter*>(karray_get(&f->filters, i));
}

bool lwfacility_stopping(const lwfacility* f) {
  return f->stop && f->stop->load(std::memory_order_acquire) != 0;
}

// The scan of one block of whole lines: the facility's filters find each
// line that one of them matches, in one pass, with the first filter in table
// order that matches it. false when the result file did not take a hit: the
// file is then taken back to that hit's line.
static bool scan_block(lwfacility* f, lwfile* t, const char* b, const char* e,
                       lwatch_result* result, kstring* line, bool* hit) {
  const char* pos = b;
  const char *ls, *le;
  int32_t i;
  while (pos < e && (i = kregex_set_find(&f->match, pos, e, &ls, &le)) >= 0) {
    const lwfilter* filter = static_cast<const lwfilter*>(karray_get(&f->filters, i));
    kstring_assign_bytes(line, ls, static_cast<uint32_t>(le - ls));
    if (!lwatch_result_hit(result, &f->name, &filter->name, line)) {
      lwfile_unread(t, b, ls);
      return false;
    }
    *hit = true;
    klog_plain(f->log, 3, "  new line in file %s = >%s<\n", kstring_text(&t->file.name),
               kstring_text(line));
    pos = le + 1;
  }
  return true;
}

// true when the open file lies in an allowed directory: the path it was
// opened by may have become a link leading out since it was checked.
static bool opened_inside(lwfacility* f, lwfile* t, kstring* real) {
  if (!f->policy || kstrlist_count(&f->policy->allow) == 0) return true;
  if (kfile_real_path(&t->file, real) == 0 && lwpolicy_allows(f->policy, real, true)) return true;
  klog_limited(f->log, 1, 1, "lwatch.allowpath", kstring_text(&f->name),
               "lwfacility '%s': file '%s' leads outside lwatch.allowpath: not read\n",
               kstring_text(&f->name), kstring_text(&t->file.name));
  return false;
}

// Reads one file from its offset, at most one slice of it and no further
// than the facility's share allows by much; the bytes read are taken from
// *share.
static void scan_file(lwfacility* f, lwfile* t, lwatch_result* result, kstring* line,
                      uint64_t* share, bool* hit) {
  if (!lwfile_check(t)) return;
  klog_plain(f->log, 2, "  file '%s' has been modified\n", kstring_text(&t->file.name));
  t->more = 0;
  uint64_t total = 0;
  for (bool next = false;; next = true) {
    if (!lwfile_open(t)) {
      // A file taken up after a rotation is read from 0 at the next scan.
      if (!next) klog_plain(f->log, 2, "  cannot open file '%s'\n", kstring_text(&t->file.name));
      break;
    }
    if (!opened_inside(f, t, line)) {
      lwfile_close(t);  // nothing read: the offset stays
      break;
    }
    uint64_t start = t->offset;
    const char* b;
    const char* e;
    // A stop leaves the rest for later: the offset kept is the end of the
    // last block scanned.
    while (!lwfacility_stopping(f) && lwfile_read_block(t, &b, &e)) {
      if (!scan_block(f, t, b, e, result, line, hit)) break;
      uint64_t read = total + t->buf_base + t->buf_pos - start;
      if (read >= LWFILE_SLICE || read >= *share) {
        t->more = LWFILE_MORE_BYTES;
        break;
      }
    }
    total += t->buf_base + t->buf_pos - start;
    bool whole = !t->more && !lwfacility_stopping(f);
    lwfile_close(t);
    // Exact following: the file followed so far has been read to its end
    // while the path names another one, which is followed now from 0.
    if (!whole || !lwfile_follow_next(t)) break;
    klog_plain(f->log, 2, "  file '%s' has been rotated\n", kstring_text(&t->file.name));
  }
  *share = total < *share ? *share - total : 0;
}

bool lwfacility_scan_files(lwfacility* f, lwatch_result* result, bool all) {
  klog_write(f->log, 4, 0, "scanning lwfacility '%s' files\n", kstring_text(&f->name));
  bool hit = false;
  kstring line;
  kstring_init(&line);
  uint64_t share = LWFILE_FACILITY_SLICE;
  // Files passed over at the last tick first, then the others due now. A
  // file may come twice, which only reads on where the first visit ended.
  for (int pass = 0; pass < 2; ++pass) {
    for (uint32_t k = 0; k < f->tracked.count && !lwfacility_stopping(f); ++k) {
      lwfile* t = static_cast<lwfile*>(karray_get(&f->tracked, k));
      if (pass == 0 ? t->more != LWFILE_MORE_PASSED : !all && !t->more) continue;
      if (share == 0) {
        t->more = LWFILE_MORE_PASSED;
        continue;
      }
      scan_file(f, t, result, &line, &share, &hit);
    }
  }
  kstring_free(&line);
  return hit;
}

bool lwfacility_files_pending(const lwfacility* f) {
  for (uint32_t k = 0; k < f->tracked.count; ++k)
    if (static_cast<const lwfile*>(karray_get(&f->tracked, k))->more) return true;
  return false;
}

// Exact following: the records after the reader's position, oldest first.
static void scan_by_position(lwfacility* f, lweventlog* r, lwatch_result* result, lwsource* source,
                             kstring* text, bool* hit) {
  bool baseline = !r->positioned;
  if (!lweventlog_open_after(r, source)) {
    klog_plain(f->log, 2, "  cannot open '%s' eventlog\n", kstring_text(&r->name));
    return;
  }
  kstring pos;
  kstring_init(&pos);
  while (!baseline && !lwfacility_stopping(f) && lweventlog_read_after(r, text, &pos)) {
    const lwfilter* filter = lwfacility_match(f, text);
    if (filter) {
      // Not written: the position stays before it, so it comes again.
      if (!lwatch_result_hit(result, &f->name, &filter->name, text)) break;
      *hit = true;
      klog_plain(f->log, 3, "  new %s event = >%s<\n", kstring_text(&r->name), kstring_text(text));
    }
    kstring_assign(&r->position, &pos);
  }
  kstring_free(&pos);
  lweventlog_close(r);
}

bool lwfacility_scan_eventlog(lwfacility* f, lwatch_result* result, lwsource* source) {
  klog_write(f->log, 4, 0, "scanning lwfacility '%s' eventlog\n", kstring_text(&f->name));
  bool hit = false;
  kstring text;
  kstring_init(&text);
  for (uint32_t i = 0; i < f->eventlogs.count && !lwfacility_stopping(f); ++i) {
    lweventlog* r = static_cast<lweventlog*>(karray_get(&f->eventlogs, i));
    if (r->exact && source->ops->next) {
      scan_by_position(f, r, result, source, &text, &hit);
      continue;
    }
    if (!lweventlog_open(r, source)) {
      klog_plain(f->log, 2, "  cannot open '%s' eventlog\n", kstring_text(&r->name));
      continue;
    }
    // Records come newest first and are remembered by one time only, so
    // the hits of one log are kept all or none: a hit the result file does
    // not take takes back those written before it, and the times stay, so
    // that the next scan reads all of them again.
    uint64_t mark = result->size;
    bool written = true, any = false;
    while (!lwfacility_stopping(f) && lweventlog_read(r, &text)) {
      const lwfilter* filter = lwfacility_match(f, &text);
      if (!filter) continue;
      if (!lwatch_result_hit(result, &f->name, &filter->name, &text)) {
        written = false;
        break;
      }
      any = true;
      klog_plain(f->log, 3, "  new %s event = >%s<\n", kstring_text(&r->name), kstring_text(&text));
    }
    if (!written) {
      // Should the file keep them, they come twice rather than never.
      any = !lwatch_result_undo(result, mark);
      r->newest_time = r->last_time;
    }
    if (any) hit = true;
    lweventlog_close(r);
  }
  kstring_free(&text);
  return hit;
}

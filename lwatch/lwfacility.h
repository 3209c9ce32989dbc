// lwfacility: one facility of the log watch, loaded from its facility file:
// the scan period, the text-file entries with the files they currently name,
// one event-log reader per "eventlog" entry, and the filters tried in file
// order on every new line or record (the first that matches is reported).
//
// The facility's scans walk its files (lwfile.h) and event-log readers
// (lweventlog.h), try the filters on what they read, and write each hit to
// the engine's result file (lwresult.h).
//
// A facility owns everything in its lists and tables and is held by value in
// the engine's table; it is loaded afresh (init, load) whenever its file
// changes. Used by the engine's worker thread only.
//
// The engine's lwpolicy bounds what all of its facilities hold together and
// where their files may lie: a facility file is opened without following a
// symbolic link and refused whole beyond a size; entries and filters beyond
// the bounds are ignored with a warning once per load; a "file" entry outside
// every allowed directory (links and ".." resolved) is not monitored, each
// file that a wildcard matches is checked again, and every open of a
// monitored file is checked by where it really led. A facility without a
// policy (null) is bounded by nothing and may watch any file.
#pragma once

#include <atomic>
#include <cstdint>

#include "klib/karray.h"
#include "klib/kfile.h"
#include "klib/klog.h"
#include "klib/kregex.h"
#include "klib/kstring.h"
#include "lwatch/lweventlog.h"
#include "lwatch/lwfile.h"
#include "lwatch/lwresult.h"
#include "lwatch/lwstate.h"

struct lwfilter {
  kregex regex;
  kstring name;
};

void lwfilter_init(lwfilter* filter);
void lwfilter_free(lwfilter* filter);

// Settings and counters shared by the facilities of one engine. A max of
// UINT32_MAX is no bound.
struct lwpolicy {
  kstrlist allow;           // resolved directories, no trailing '/'; empty: any path
  const kstring* base_dir;  // base of relative entries (the executable's directory)
  uint32_t max_facilities;  // facilities loaded at once
  uint32_t max_entries;     // "file" and "eventlog" entries of all facilities, refused ones too
  uint32_t max_filters;     // filters of all facilities
  uint32_t max_files;       // files tracked by all facilities
  uint32_t max_size;        // bytes of one facility file
  uint32_t entries;         // held now by all facilities
  uint32_t filters;
  uint32_t files;
  uint32_t exact;  // "lwatch.exact": files and event logs followed exactly
  // With exact: where new file records and readers take up their state;
  // null: from their ends as on a first start.
  const lwstate* state;
};

// No bound, any path, base_dir unset (null).
void lwpolicy_init(lwpolicy* p);
void lwpolicy_free(lwpolicy* p);
// Adds a directory to the allow-list, resolved (kfile_resolve) and without a
// trailing '/'; 1, or 0 without memory.
uint32_t lwpolicy_allow_dir(lwpolicy* p, const kstring* dir);
// true when the allow-list is empty or the resolved path lies in one of its
// directories. real says that path is already resolved.
bool lwpolicy_allows(const lwpolicy* p, const kstring* path, bool real);

struct lwfacility {
  klog* log;  // not owned
  uint32_t seen;
  uint32_t mtime;  // of the facility file when loaded; 0 until then
  kstring name;
  uint32_t first_update;  // 1 until the end of the first lwfacility_update
  uint32_t scan;          // period in engine ticks, at least 1
  uint32_t scanfrombeg;
  kstrlist files;    // "file" entries as written
  karray tracked;    // lwfile records
  karray eventlogs;  // lweventlog records
  karray filters;    // lwfilter records, valid ones only
  kregex_set match;  // all filters, in table order, matched in one pass
  // The engine's stop flag, polled between blocks and records so that a
  // long backlog does not hold up a stop; null: scans run to their end.
  const std::atomic<uint32_t>* stop;
  // Set by the engine after lwfacility_init, before loading; null: unbounded.
  lwpolicy* policy;
  // What this facility adds to the policy's entry counter (refused "file"
  // entries too); its filters and tracked files count as filters.count and
  // tracked.count.
  uint32_t held_entries;
};

// true once the engine that owns the facility is stopping.
bool lwfacility_stopping(const lwfacility* f);

bool lwfacility_init(lwfacility* f, const kstring* name, klog* log);  // true
void lwfacility_free(lwfacility* f);
// karray comparator: the facility's name against a kstring name, byte-wise.
int lwfacility_compare(const void* facility, const void* name);
// true when the file at path has a modification time later than mtime.
bool lwfacility_is_modified(lwfacility* f, const kstring* path);
// Reads the facility file at path into the freshly initialised record (true).
bool lwfacility_load(lwfacility* f, const kstring* path);
// Brings the tracked files in step with the "file" entries (true). A relative
// static entry and a wildcard entry without an absolute directory are taken
// relative to base_dir (the executable's directory; empty: as written).
bool lwfacility_update(lwfacility* f, const kstring* base_dir);
// The first filter, in table order, whose pattern matches text; null if none.
const lwfilter* lwfacility_match(const lwfacility* f, const kstring* text);

// Scans the monitored files of the facility and writes each hit to result
// as "[facility,filter] line\n"; true when a hit was written. all: every
// file is checked (the facility's period has come); otherwise only those
// that have more.
bool lwfacility_scan_files(lwfacility* f, lwatch_result* result, bool all);
// true when a file of the facility has more: it is due at the next tick.
bool lwfacility_files_pending(const lwfacility* f);
// Scans every event log of the facility through source and writes each hit
// to result as "[facility,filter] text\n"; true when a hit was written. The
// hits of one log are written all or none: when the result file refuses one,
// those of the log written before it are cut off again and the reader's
// times stay, so the next scan reports all of them.
bool lwfacility_scan_eventlog(lwfacility* f, lwatch_result* result, lwsource* source);

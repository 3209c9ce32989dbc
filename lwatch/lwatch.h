// lwatch: the log-watch engine. One worker thread ticks once a second: it
// rotates the result file every "lwatch.rfilettl" ticks, reloads the facility
// directory every "lwatch.facilityupdt" ticks, and scans each facility whose
// "scan" period divides the tick, appending every hit to the open result file
// "lw<12 digits>.tmp", which becomes ".log" when it is closed with hits (and
// is deleted without). The collector shares the two directories through the
// file system only.
//
// With "lwatch.exact" files and event logs are followed exactly (lwfile.h,
// lweventlog.h) and where they stand is kept in a state file across
// restarts (lwstate.h), written after each scan that moved it.
//
// No hit is lost or written twice. A hit line reaches the result file whole
// or not at all: a write that fails is cut back and logged (rate-limited),
// and the scanners then stop where the hit came from, so that it is read
// again at the next tick. A scan reads a bounded slice of each file per tick
// and comes back for the rest at the next tick, so one file never holds up
// rotation, reloads or the other facilities. A ".log" name that is taken
// sends the file to the next free name, and ".tmp" files that an agent left
// behind are closed to ".log" at start.
//
// The facilities are bounded (lwpolicy): at most "lwatch.maxfacilities" are
// loaded, and a reload that released facilities hands the freed memory back
// to the system.
//
// The owner calls lwatch_init, later lwatch_stop from any thread, then
// lwatch_free. Between init and the end of the worker thread only that thread
// touches the record, apart from the stop flag.
#pragma once

#include <atomic>
#include <cstdint>

#include "klib/karray.h"
#include "klib/kconfig.h"
#include "klib/kfile.h"
#include "klib/klog.h"
#include "klib/kstring.h"
#include "klib/kthread.h"
#include "klib/ktime.h"
#include "lwatch/lwfacility.h"
#include "lwatch/lwresult.h"
#include "lwatch/lwsource.h"

struct lwatch {
  klog* log;        // not owned
  kconfig* config;  // not owned; read by lwatch_init only
  std::atomic<uint32_t> stop;
  kthread thread;
  uint32_t rfilettl;      // ticks, at least 1
  uint32_t facilityupdt;  // ticks, at least 1
  kstring facilitydir;
  kstring resultdir;
  karray facilities;  // lwfacility records, in the order they were added
  uint32_t cleandir;
  kstring default_dir;  // the executable's directory: base of relative file entries
  lwsource events;      // where "eventlog" entries are read
  // "lwatch.allowpath" and the bounds "lwatch.max...", with what the
  // facilities hold of them (see lwfacility.h).
  lwpolicy policy;
  // "lwatch.exact": where following stands, kept in "lwatch.statefile"
  // (default: "lwatch.state" in the result directory).
  lwstate state;
};

// Reads the settings, cleans when "lwatch.cleandir" is set and starts the
// worker thread. default_dir ends with '/'. false (and nothing to free) only
// when the platform refuses the thread.
bool lwatch_init(lwatch* e, const kstring* default_dir, kconfig* config, klog* log);
// lwatch_init without starting the worker: settings, cleaning, empty table.
void lwatch_settings(lwatch* e, const kstring* default_dir, kconfig* config, klog* log);
// The two directories as the engine reads them: "lwatch.facilitydir" and
// "lwatch.resultdir", each default_dir when not set. Both outputs are
// initialised strings; they are overwritten.
void lwatch_dirs(kconfig* config, const kstring* default_dir, kstring* facilitydir,
                 kstring* resultdir);
// Asks the worker to end and waits for it, at most 5000 ms.
void lwatch_stop(lwatch* e);
// After lwatch_stop: cleans when set, releases the facilities and settings.
// A worker still running 5000 ms later is logged ("LWATCH not terminated")
// and keeps everything it uses: nothing is released under it.
void lwatch_free(lwatch* e);
// Deletes every "*.facility" of facilitydir. Result files are never deleted.
void lwatch_clean(lwatch* e);
// Body of the worker thread (argument: the engine).
int lwatch_thread(void* engine);
// Brings the facility table in step with the facility directory (true).
bool lwatch_reload(lwatch* e);
// Scans the facilities due at tick into result; true when a hit was written.
// A facility is due when its period divides the tick, and its files alone
// are due at any tick while one of them has bytes left from its last slice
// or a hit left to write.
bool lwatch_scan(lwatch* e, uint32_t tick, lwatch_result* result);
// Exact following: writes the state when it moved, after the result file's
// hits have reached the disk.
void lwatch_save_state(lwatch* e, lwatch_result* result);
// true once lwatch_stop has asked the worker to end.
bool lwatch_stopping(const lwatch* e);

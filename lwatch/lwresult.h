// lwresult: the log watch's result files: the one of the current period,
// kept by the engine's worker thread, and the recovery at start of those an
// agent left open (lwatch_recover), which shares their naming.
// The scanners of the facilities write their hits here. A hit line reaches
// the file whole or not at all; a write that fails is cut back and logged
// (rate-limited), and every further hit of the scan is refused, so that each
// scanner stops where its first refused hit came from.
#pragma once

#include <cstdint>

#include "klib/kfile.h"
#include "klib/klog.h"
#include "klib/kstring.h"
#include "klib/ktime.h"

// Appends bytes to the open result file: the bytes written. kfile_append;
// tests put a writer here that refuses bytes as a full disk does.
typedef uint32_t (*lwatch_write_fn)(kfile* file, const void* buf, uint32_t count);

// The result file of the current period, kept by the worker thread.
struct lwatch_result {
  kfile file;
  kstring tmp_path;
  kstring log_path;
  uint32_t open;
  uint64_t size;  // bytes in the file, all of them whole hit lines
  // A hit could not be written during the current scan: every further hit
  // of the scan is refused without a try, so that each scanner stops at its
  // first one and reads it again at the next scan.
  uint32_t failed;
  lwatch_write_fn write;
  klog* log;        // warnings; not owned, may be null
  kstring line;     // the hit line being written
  uint64_t synced;  // bytes of the file known to be on disk
};

void lwatch_result_init(lwatch_result* r, klog* log);
void lwatch_result_free(lwatch_result* r);
// Creates "lw" + yymmddhhmmss of when + ".tmp" in dir for appending; a name
// whose ".tmp" exists already (another agent's file) gives way to the next
// second's. true when a file could be created (it is then open and empty).
bool lwatch_result_open(lwatch_result* r, const kstring* dir, const ktime* when);
// Closes an open result file: deleted while empty, else moved to its ".log"
// name, or, when that name is taken, to the next free one of the same form
// (the next second's, and so on) with a warning. A rename that fails
// otherwise leaves the ".tmp" for lwatch_recover, with a warning.
void lwatch_result_close(lwatch_result* r);
// Closes every "lw<12 digits>.tmp" of dir that an agent left open: to its
// ".log" name (or the next free one) with a warning, or deleted when empty.
// Run at start, before the worker opens a result file of its own.
void lwatch_recover(const kstring* dir, klog* log);
// Writes "[facility,filter] text\n" (each piece up to a NUL it may hold)
// whole; false when the line is not in the file, nothing of it, because this
// write or an earlier one of the scan failed (see failed).
bool lwatch_result_hit(lwatch_result* r, const kstring* facility, const kstring* filter,
                       const kstring* text);
// Cuts the file back to size bytes (a size taken from r->size before): the
// hits written since are taken back. false when the file keeps them.
bool lwatch_result_undo(lwatch_result* r, uint64_t size);

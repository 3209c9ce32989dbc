// lweventlog: one reader of a named event log for a facility, driven by the
// facility's event-log scan (lwfacility_scan_eventlog). The reader
// remembers only generation times between scans: the first scan that finds
// a record sets a baseline and reports nothing; every later scan reports, newest first, the records
// generated strictly later than the newest one of the scan before. Records of
// the same second as that one are never reported.
//
// With exact following, over a source that reads by position, the reader
// remembers the position of the last record delivered instead: its first
// scan takes the newest record's position (or the start of an empty log)
// and reports nothing, every later scan reports every record after it,
// oldest first, and moves the position past each record whose hit reached
// the result file (or that no filter matches).
//
// The log itself is read through an lwsource (lwsource.h). A reader is owned
// by its facility and used only by the engine's worker thread.
#pragma once

#include <cstdint>

#include "klib/kfile.h"
#include "klib/klog.h"
#include "klib/kstring.h"
#include "lwatch/lwsource.h"

struct lweventlog {
  klog* log;  // not owned
  kstring name;
  lwevent event;         // the current record
  uint32_t last_time;    // records up to this time count as reported; 0: no baseline yet
  uint32_t newest_time;  // latest generation time seen (grows, or goes back to last_time)
  lwsource* source;      // between open and close
  void* handle;          // the source's state of the open log; null while closed
  // Exact following (lwatch.exact) over a source that reads by position:
  // every record after the last one delivered is read, oldest first, once.
  uint32_t exact;
  uint32_t positioned;  // position holds where reading stands (empty: before the first)
  kstring position;
};

bool lweventlog_init(lweventlog* r, const kstring* name, klog* log);  // true
void lweventlog_free(lweventlog* r);
// Opens the log `name` through source; true when it could be opened.
bool lweventlog_open(lweventlog* r, lwsource* source);
// last_time := newest_time, and the log is closed.
void lweventlog_close(lweventlog* r);
// The next new record's text into text; false when there is none.
bool lweventlog_read(lweventlog* r, kstring* text);
// The current record's account text: "domain\account", or "N/A".
void lweventlog_user(lweventlog* r, kstring* text);
// The current record's message with CR and LF removed, or "N/A".
void lweventlog_message(lweventlog* r, kstring* text);
// Exact following: opens the log after the reader's position (true when it
// could be opened). A reader without a position takes the newest record's
// (or the start of an empty log) as its baseline; its first open reads
// nothing.
bool lweventlog_open_after(lweventlog* r, lwsource* source);
// Exact following, between lweventlog_open_after and lweventlog_close: the
// next record after the position into text, and its own position into pos;
// false when there is none.
bool lweventlog_read_after(lweventlog* r, kstring* text, kstring* pos);
// Name of a record type ("ERROR" … "AUDIT_FAILURE", "N/A").
const char* lweventlog_type_name(uint32_t type);

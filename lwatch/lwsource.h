// lwsource: the event source that the log watch reads event logs from, as a
// small fixed set of functions over a backend's private state: open a named
// log, read its records newest first, resolve the account and message of a
// record that is reported (optional), close it. The reading rules (baseline,
// strictly later, same second) live once in lweventlog on top of this seam.
//
// The platform backend is the one file lwsource_<name>.cpp that the build
// selects (VARDO_EVENT_SOURCE); one over Windows event-log record blocks
// builds on lwevtrec.h. Tests fill an lwsource with functions of their own.
// An lwsource is owned by the engine and used by its worker thread only;
// each open log's state belongs to the reader that opened it.
#pragma once

#include <cstdint>

#include "klib/kstring.h"

// Record types, with the numbers the record text names.
constexpr uint32_t LWEVENT_ERROR = 1;
constexpr uint32_t LWEVENT_WARNING = 2;
constexpr uint32_t LWEVENT_INFO = 4;
constexpr uint32_t LWEVENT_AUDIT_SUCCESS = 8;
constexpr uint32_t LWEVENT_AUDIT_FAILURE = 16;

// One record as the backend delivers it. The backend resolves the account
// and the message, in read or, when it has resolve, only for the records the
// reader reports; a piece it cannot resolve has its flag at 0.
struct lwevent {
  uint32_t time;  // generation time, seconds since 1970
  uint32_t id;    // event identifier, printed as given; a backend whose identifiers
                  // carry flags in their upper bits masks them itself
  uint32_t type;  // one of LWEVENT_*; anything else reads "N/A"
  kstring source;
  uint32_t has_user;
  kstring domain;
  kstring account;
  uint32_t has_message;
  kstring message;  // may hold CR and LF; the reader removes them
};

void lwevent_init(lwevent* ev);
void lwevent_free(lwevent* ev);
void lwevent_clear(lwevent* ev);  // empty pieces, both flags 0

struct lwsource;

struct lwsource_ops {
  // Opens the log called name; its private state in *handle. 0, or an error
  // code of kerror.h when the log cannot be opened (nothing to close then).
  uint32_t (*open)(lwsource* src, const char* name, void** handle);
  // The next record, newest first, continuing where the previous read of the
  // same handle stopped. 0 with the record in ev; an error code (15 at the
  // end of the log) when there is none.
  uint32_t (*read)(void* handle, lwevent* ev);
  void (*close)(void* handle);
  // Null, or fills the account and message of the record read last; called
  // only for records that are reported, so that lookups are not spent on the
  // ones that end a scan.
  void (*resolve)(void* handle, lwevent* ev);
  // Reading by position, for exact following; null when the backend has
  // none (its logs are then read by time). A position is the backend's text
  // (a journal cursor, a record number).
  // The position of the newest record of a log opened with open: 0, 15 when
  // the log is empty, another code when it cannot be told.
  uint32_t (*newest)(void* handle, kstring* position);
  // Opens the log called name to read forward from the record after the
  // one at position (empty: from its oldest record). A position whose
  // record is gone continues at the first record after where it stood.
  uint32_t (*open_after)(lwsource* src, const char* name, const kstring* position, void** handle);
  // The next record, oldest first, and its position. 0, or 15 at the end.
  uint32_t (*next)(void* handle, lwevent* ev, kstring* position);
};

struct lwsource {
  const lwsource_ops* ops;
  kstring location;  // where the backend reads; empty: the system's own logs
  void* context;     // backend data shared by every log it opens
};

// Sets up src with the platform backend that the build selected.
void lwsource_init(lwsource* src);
void lwsource_free(lwsource* src);
// The platform backend's functions; defined by the selected lwsource_*.cpp.
const lwsource_ops* lwsource_platform_ops();

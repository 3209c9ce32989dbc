// lwstate: where exact following stands, kept across restarts in one state
// file. For each facility, each file found so far with its identity, size,
// time and the offset where reading goes on, and each event log with the
// position of the last record delivered. The engine writes it after every
// scan that moved something (and at its end), after the result file's hits
// have reached the disk: the state never stands past a hit that is not in
// the result file, so a crash can repeat hits but never drop them. It is
// replaced whole (new file, fsync, rename), so a crash during the write
// leaves the previous one valid.
//
// At start the file is read back; one that is not a whole state file of
// this kind (cut short, changed, another program's) is renamed to its name
// plus ".bad" with a warning and nothing of it is used. Files and event logs
// then take up where the state says when their records are created: a file
// still of the same identity resumes at its offset, one that changed is
// read from its old identity's rest (found beside it) and then from 0; an
// event log resumes after its position.
//
// Used by the engine's worker thread only (and by lwatch_settings before
// it starts).
#pragma once

#include <cstdint>

#include "klib/karray.h"
#include "klib/kfile.h"
#include "klib/klog.h"
#include "klib/kstring.h"

struct lwfile;
struct lweventlog;

constexpr uint32_t LWSTATE_FILE = 1;
constexpr uint32_t LWSTATE_EVENTLOG = 2;

struct lwstate_entry {
  uint32_t kind;  // LWSTATE_*
  kstring facility;
  kstring key;     // the file's path as tracked; the event log's name
  uint32_t index;  // event log: its place among the facility's "eventlog" entries
  kfile_info info;
  uint64_t offset;
  uint64_t mark;     // file: lwfile.mark
  kstring position;  // event log
};

struct lwstate {
  kfile file;       // the state file
  karray entries;   // lwstate_entry: what the file holds
  uint64_t digest;  // of the state written last; 0: none yet
  klog* log;        // not owned
};

void lwstate_init(lwstate* s, const kstring* path, klog* log);
void lwstate_free(lwstate* s);
// Reads the state file back into entries (nothing when there is none); a
// file that is not valid is set aside with a warning. true when read.
bool lwstate_load(lwstate* s);
// Gives a file record of facility, just created, the state kept for it.
void lwstate_apply_file(const lwstate* s, const kstring* facility, lwfile* t);
// Gives the index-th event-log reader of facility, just created, its position.
void lwstate_apply_eventlog(const lwstate* s, const kstring* facility, uint32_t index,
                            lweventlog* r);
// Writes the state of the facilities (lwfacility records) when it differs
// from the one written last; sync, when not null, runs first and must
// succeed (it puts the result file's hits on disk). 0 when written or
// unchanged; an error code otherwise (the previous file stays).
typedef bool (*lwstate_sync_fn)(void* data);
uint32_t lwstate_save(lwstate* s, const karray* facilities, lwstate_sync_fn sync, void* data);

// lwfile: one monitored text file of a facility, read by the facility's
// scan (lwfacility_scan_files). A file is opened only for the length of one
// scan: the scan checks its status, and when the modification time has moved forward reads
// it from the remembered offset to its end, line by line, and keeps the new
// offset. A line is the run of bytes up to the next LF; every CR is dropped;
// a last line without LF is delivered as it stands and the offset moves past
// it, so its completion arrives later as a line of its own. A line longer
// than LWFILE_LINE_MAX bytes is delivered in pieces of at most that size
// (its line end closing the last piece), so that a
// file without line feeds (a binary file, a runaway writer) cannot make the
// agent hold it whole in memory.
//
// The scan reads at most LWFILE_SLICE bytes of one file, and the files of one
// facility at most LWFILE_FACILITY_SLICE bytes together (give or take a
// line), so that no file, however large or endless, holds up the engine
// for longer than that. What is left is read at the next tick, whether or
// not the modification time has moved (the file has "more"). Files passed
// over because the facility's share was spent come first at that tick.
//
// A hit that the result file does not take ends the file's scan: the scan
// takes the block back (lwfile_unread), so the offset stays at the start of
// its line, and the file has "more", so that the line and everything after
// it are read again at the next tick.
//
// Exact following (lwatch.exact, the record's exact flag) changes three
// rules. A change is any difference in size, modification time to the
// nanosecond or identity (device and inode, the file index on Windows), not
// a later whole second. A last line without LF is held back (the offset
// stays at its start) until its LF arrives, and delivered as it stands when
// the file has not changed for one further check. The file stays open
// between scans (at most LWFILE_HELD_MAX of them in the process; the others
// are opened per scan), so that when the path comes to name another file
// (rotation by rename, delete and recreate) the file followed so far is read
// to its end under its old identity, kept open or found beside the path by
// its identity, at every check until one finds it unchanged (its writer may
// add to it until it reopens the path), and only then is the new one
// followed from offset 0. A file whose
// bytes before the offset changed (cut and written again past the offset
// between two checks) is read again from 0.
//
// Records are held by value in the facility's table (they may be moved byte
// by byte: a stream kept open is a pointer) and used by the engine's worker
// thread only.
#pragma once

#include <cstdint>

#include "klib/kfile.h"
#include "klib/kstring.h"

#define LWFILE_LINE_MAX (1024u * 1024u)
#define LWFILE_SLICE (8u * 1024u * 1024u)
#define LWFILE_FACILITY_SLICE (16u * 1024u * 1024u)
#define LWFILE_HELD_MAX 256u
#define LWFILE_MARK 256u

// lwfile.more: why the file is read at the next tick whatever its time.
constexpr uint32_t LWFILE_MORE_BYTES = 1;   // its slice ended, or a hit was not written
constexpr uint32_t LWFILE_MORE_PASSED = 2;  // the facility's share was spent first

struct lwfile {
  uint32_t seen;            // mark of lwfacility_update
  uint32_t from_beginning;  // when first found: read from byte 0 (1) or from the end (0)
  uint32_t found;           // 1 once a check has found the file
  uint32_t mtime;           // at the last check
  uint64_t size;            // at the last check (64-bit: logs grow beyond 4 GiB)
  uint64_t offset;          // byte position where the next read starts
  uint32_t more;            // 0, or LWFILE_MORE_*: due at the next tick
  kfile file;               // the path as built from the facility entry
  // Exact following only. The stream of file is the followed file's, which
  // need not be the one the path names now.
  uint32_t exact;
  kfile_info info;  // the followed file at the last check
  uint32_t held;    // an unfinished last line waits at offset
  uint32_t flush;   // this read delivers it as it stands
  // The path names next: the followed file is read to its end first (1;
  // 2: it was unchanged at this check, next is taken up after this read).
  uint32_t rotated;
  kfile_info next;  // what the path names, when rotated
  kfile next_file;  // its stream, opened when the rotation was seen (no name)
  uint32_t kept;    // the stream stays open between scans (counts to LWFILE_HELD_MAX)
  // A sum of the LWFILE_MARK bytes before offset (fewer near the start; 0:
  // none), checked before reading on: a file cut and written again past
  // offset between two checks (copytruncate) is read again from 0.
  uint64_t mark;
  // Read state, only between lwfile_open and lwfile_close.
  char* buf;
  uint32_t buf_size;
  uint32_t buf_len;   // bytes held
  uint32_t buf_pos;   // first byte not yet delivered
  uint64_t buf_base;  // file position of buf[0]
  uint32_t at_eof;
  // The last piece delivered was cut from a line longer than LWFILE_LINE_MAX
  // and its line end is still ahead: it ends that line, not another one.
  uint32_t cut;
};

void lwfile_init(lwfile* r, const kstring* path, uint32_t from_beginning);
// Turns exact following on for a record just initialised.
void lwfile_set_exact(lwfile* r);
void lwfile_free(lwfile* r);
// karray comparator: the record's path against a kstring path, byte-wise.
int lwfile_compare(const void* record, const void* path);
// true when the file is to be read now (see the change rules in lwfile.cpp).
bool lwfile_check(lwfile* r);
// Opens the file and positions it at offset; true when both succeeded (on
// false nothing stays open).
bool lwfile_open(lwfile* r);
// The next run of whole lines, CR removed, every line ended by LF (a last
// line without LF in the file gets one here); valid until the next read.
// false when nothing is left. The run counts as read.
bool lwfile_read_block(lwfile* r, const char** begin, const char** end);
// Takes back the lines of the last block (begin as lwfile_read_block gave
// it) from the line that starts at line on: the next read of this scan finds
// nothing, the offset kept is that line's start, and the file has more.
void lwfile_unread(lwfile* r, const char* begin, const char* line);
// offset := the position after the last byte delivered; closes the file
// (exact following keeps it open, up to LWFILE_HELD_MAX files).
bool lwfile_close(lwfile* r);
// Exact following, after the followed file was read to its end while the
// path names another one: that one is followed from offset 0 (true), or
// false when nothing was pending.
bool lwfile_follow_next(lwfile* r);

// lwfile: one monitored text file of a facility, and the facility's scan of
// its text files. A file is opened only for the length of one scan: the scan
// checks its status, and when the modification time has moved forward reads
// it from the remembered offset to its end, line by line, and keeps the new
// offset. A line is the run of bytes up to the next LF; every CR is dropped;
// a last line without LF is delivered as it stands and the offset moves past
// it, so its completion arrives later as a line of its own. A line longer
// than LWFILE_LINE_MAX bytes is delivered in pieces of at most that size
// (its line end closing the last piece), so that a
// file without line feeds (a binary file, a runaway writer) cannot make the
// agent hold it whole in memory.
//
// A scan reads at most LWFILE_SLICE bytes of one file, and the files of one
// facility at most LWFILE_FACILITY_SLICE bytes together (give or take a
// line), so that no file, however large or endless, holds up the engine
// for longer than that. What is left is read at the next tick, whether or
// not the modification time has moved (the file has "more"). Files passed
// over because the facility's share was spent come first at that tick.
//
// A hit that the result file does not take ends the file's scan: the offset
// stays at the start of its line, and the file has "more", so that the line
// and everything after it are read again at the next tick.
//
// Records are held by value in the facility's table (they may be moved byte
// by byte while closed) and used by the engine's worker thread only.
#pragma once

#include <cstdint>

#include "klib/kfile.h"
#include "klib/kstring.h"

#define LWFILE_LINE_MAX (1024u * 1024u)
#define LWFILE_SLICE (8u * 1024u * 1024u)
#define LWFILE_FACILITY_SLICE (16u * 1024u * 1024u)

// lwfile.more: why the file is read at the next tick whatever its time.
constexpr uint32_t LWFILE_MORE_BYTES = 1;   // its slice ended, or a hit was not written
constexpr uint32_t LWFILE_MORE_PASSED = 2;  // the facility's share was spent first

struct lwfacility;
struct lwatch_result;

struct lwfile {
  uint32_t seen;            // mark of lwfacility_update
  uint32_t from_beginning;  // when first found: read from byte 0 (1) or from the end (0)
  uint32_t found;           // 1 once a check has found the file
  uint32_t mtime;           // at the last check
  uint64_t size;            // at the last check (64-bit: logs grow beyond 4 GiB)
  uint64_t offset;          // byte position where the next read starts
  uint32_t more;            // 0, or LWFILE_MORE_*: due at the next tick
  kfile file;               // the path as built from the facility entry
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
// offset := the position after the last byte delivered; closes the file.
bool lwfile_close(lwfile* r);

// Scans the monitored files of the facility and writes each hit to result
// as "[facility,filter] line\n"; true when a hit was written. all: every
// file is checked (the facility's period has come); otherwise only those
// that have more.
bool lwfacility_scan_files(lwfacility* f, lwatch_result* result, bool all);
// true when a file of the facility has more: it is due at the next tick.
bool lwfacility_files_pending(const lwfacility* f);

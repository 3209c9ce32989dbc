// kfile: one named file and, while open, its buffered stream.
//
// The record owns its name and, while open, its stream; kfile_free releases
// only the name, so close an open file first. Streams are never inherited by
// child processes. On POSIX they are opened without any line-end
// translation; on Windows a mode without 'b' is text mode (LF written as
// CR LF, CR LF read as LF), and other programs may go on writing, renaming
// and deleting a file the agent holds open.
// Results: 0 for success, 1 for failure, unless stated; kfile_read_line and
// kfile_write_text report failure with 15 ("EOF - End of file").
#pragma once

#include <cstdint>
#include <cstdio>

#include "klib/kstring.h"

struct kfile {
  kstring name;
  FILE* stream;  // null while closed
};

uint32_t kfile_init(kfile* f);  // 0
void kfile_free(kfile* f);
uint32_t kfile_set_name_cstr(kfile* f, const char* path);  // 1, or 0 without memory
uint32_t kfile_set_name(kfile* f, const kstring* path);
// Modes as for fopen: "r", "rt", "wt", "at" are in use; 't' is accepted.
uint32_t kfile_open(kfile* f, const char* mode);
// The line end of the platform's text files ("\n"; "\r\n" on Windows), for
// lines written with kfile_append, which translates nothing.
extern const char kfile_eol[];
// Opens the file for reading ("r") only when `name` is a regular file (links
// followed). A directory, FIFO, socket or device is refused (1) without being
// opened for use: such a file may block its reader or never end.
uint32_t kfile_open_regular(kfile* f);
// kfile_open_regular, but a symbolic link as the last component of `name` is
// refused (1) rather than followed: a link placed in a directory that the
// agent serves cannot lead a reader to a file elsewhere.
uint32_t kfile_open_regular_nofollow(kfile* f);
// Size in bytes of the file that the open stream reads (not of `name`, which
// may have been replaced since the open).
uint32_t kfile_size(kfile* f, uint64_t* size);
// The absolute path, links and ".." resolved, of the file that the open
// stream reads: where the open really led, whatever `name` said.
uint32_t kfile_real_path(kfile* f, kstring* path);
// path made absolute with links and "." and ".." resolved as far as it
// exists; a missing rest is appended with "." and ".." applied to the text.
// 0; 1 when even its first component cannot be resolved.
uint32_t kfile_resolve(const kstring* path, kstring* real);
// 1 when the resolved path is dir itself or lies below it (whole components:
// "/var/logs" is not below "/var/log"); dir without a trailing separator,
// except the root.
uint32_t kfile_path_within(const kstring* path, const kstring* dir);
uint32_t kfile_close(kfile* f);  // on failure the stream pointer stays
// Next line: CR dropped anywhere, LF ends the line and is not part of it, a
// last line without LF counts. 0 with a line, 15 when nothing was left.
uint32_t kfile_read_line(kfile* f, kstring* line);
// As kfile_read_line, but the line keeps at most max bytes (a max of 0 counts
// as 1): a longer line comes out in pieces of max bytes, the rest with the
// next calls. A line of exactly max bytes comes out whole, with its LF.
uint32_t kfile_read_line_max(kfile* f, kstring* line, uint32_t max);
uint32_t kfile_write_text(kfile* f, const kstring* text);         // up to its first NUL
uint32_t kfile_read(kfile* f, void* buf, uint32_t count);         // bytes read
uint32_t kfile_write(kfile* f, const void* buf, uint32_t count);  // bytes written
int kfile_printf(kfile* f, const char* format, ...) __attribute__((format(printf, 2, 3)));
uint32_t kfile_seek(kfile* f, int32_t offset);      // from the start
uint32_t kfile_seek_end(kfile* f, int32_t offset);  // from the end
uint32_t kfile_tell(kfile* f, uint32_t* position);
// 1 when a read or write on the open stream has failed (kfile_read_line
// then reports the end of the file, as it does at the real end), else 0.
uint32_t kfile_error(kfile* f);
// Modification time (seconds since 1970) and size of the file `name`;
// 1 (outputs untouched) when there is no such file.
uint32_t kfile_stat(kfile* f, uint32_t* mtime, uint32_t* size);  // size saturates at 2^32 - 1
// The same with sizes and positions of any size (files beyond 4 GiB).
uint32_t kfile_stat64(kfile* f, uint32_t* mtime, uint64_t* size);
// What tells one file from another, and one state of a file from the next:
// its identity (device and inode; on Windows the volume serial number and
// the file index), its size, and its modification time in nanoseconds since
// 1970 (in steps of 100 ns on Windows).
struct kfile_info {
  uint64_t dev;
  uint64_t ino;
  uint64_t size;
  int64_t mtime_ns;
  uint32_t links;  // names the file has; 0 once deleted (while still open)
};
// Of the file `name`, links followed; 1 (info untouched) when there is none.
uint32_t kfile_stat_info(kfile* f, kfile_info* info);
// Of the file that the open stream reads (not of `name`).
uint32_t kfile_open_info(kfile* f, kfile_info* info);
// Before the first read or write of the open stream: no buffer, every read
// asks the system, so that a stream kept open sees what others wrote since.
uint32_t kfile_set_unbuffered(kfile* f);
// Writes what the stream holds and waits until the file's data is on disk.
uint32_t kfile_sync(kfile* f);
uint32_t kfile_seek64(kfile* f, uint64_t offset);  // from the start
uint32_t kfile_tell64(kfile* f, uint64_t* position);
// For files appended to in whole records (a record must never reach the disk
// in part). kfile_append writes count bytes at the end of the open file at
// once, past the stream's buffer, which must hold nothing unwritten (no
// kfile_write or kfile_printf on this stream): the bytes written, all of
// them or fewer when the device refuses more (a full disk, a size limit).
uint32_t kfile_append(kfile* f, const void* buf, uint32_t count);
// Cuts the open file back to size bytes.
uint32_t kfile_truncate64(kfile* f, uint64_t size);
// Takes an advisory lock on the open file without waiting, held until the
// file is closed: 0, or 1 when another opening of the file holds it (in this
// process or another one).
uint32_t kfile_try_lock(kfile* f);
uint32_t kfile_remove(kfile* f);  // closes an open stream first
// Moves the file to new_name; fails (1) when new_name exists. On success the
// record names the new file.
uint32_t kfile_rename(kfile* f, const kstring* new_name);
// Replaces the file `name` as a whole with count bytes of buf, so that a
// reader opening it by name meets the whole old content or the whole new
// one, never a part or an empty file: the bytes go to a new file in the same
// directory (a hidden name ".~<process>-<thread>-<n>" without extension),
// reach the disk, and that file is renamed over `name`. The stream must be
// closed. 0; 1 when the new file cannot be created; 15 when the bytes cannot
// all be written or the rename fails. On failure `name` is untouched and no
// new file is left behind.
uint32_t kfile_replace(kfile* f, const void* buf, uint32_t count);
// Writes the new content of kfile_replace_with: out is the open new file;
// 0 puts it in place, anything else gives the replacement up.
typedef uint32_t (*kfile_fill_fn)(kfile* out, void* data);
// kfile_replace with content that fill writes piece by piece (kfile_write,
// kfile_printf ...), so that it need not be in memory at once. Results as
// kfile_replace; a fill that gives up counts as a failed write (15).
uint32_t kfile_replace_with(kfile* f, kfile_fill_fn fill, void* data);
uint32_t kfile_exists(kfile* f);  // 1 when it can be opened for reading

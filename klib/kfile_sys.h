// Platform half of kfile and kdir, used only inside klib. Each function is
// one platform call with the result in the library's convention.
#pragma once

#include <cstdint>
#include <cstdio>

#include "klib/karray.h"
#include "klib/kstring.h"

FILE* kfile_sys_open(const char* path, const char* mode);
// The next byte of a stream that only the calling thread uses (no locking),
// or EOF.
int kfile_sys_getc(FILE* stream);
// A read stream on path when it is a regular file; null otherwise.
// nofollow: refuse a symbolic link as the last component.
FILE* kfile_sys_open_regular(const char* path, bool nofollow);
uint32_t kfile_sys_size(FILE* stream, uint64_t* size);
uint32_t kfile_sys_real_path(FILE* stream, kstring* path);
uint32_t kfile_sys_resolve(const char* path, kstring* real);
uint32_t kfile_sys_stat(const char* path, uint32_t* mtime, uint64_t* size);
struct kfile_info;
uint32_t kfile_sys_stat_info(const char* path, kfile_info* info);
uint32_t kfile_sys_open_info(FILE* stream, kfile_info* info);
uint32_t kfile_sys_sync(FILE* stream);
uint32_t kfile_sys_seek(FILE* stream, uint64_t offset);
uint32_t kfile_sys_tell(FILE* stream, uint64_t* position);
// Writes count bytes with the stream's descriptor, past its buffer,
// retrying after interruptions and short writes; the bytes written.
uint32_t kfile_sys_write_direct(FILE* stream, const void* buf, uint32_t count);
uint32_t kfile_sys_truncate(FILE* stream, uint64_t size);
uint32_t kfile_sys_try_lock(FILE* stream);
uint32_t kfile_sys_remove(const char* path);
uint32_t kfile_sys_rename_noreplace(const char* from, const char* to);
// The two halves of kfile_replace_with: a new file beside path under a
// hidden name (put in tmp), open for writing; null when none can be made.
FILE* kfile_sys_replace_begin(const char* path, kstring* tmp);
// Closes the new file and, when keep is set and every byte reached the disk,
// renames it over path (0); otherwise deletes it (15).
uint32_t kfile_sys_replace_end(FILE* stream, const char* tmp, const char* path, bool keep);
// Appends the names of the entries of dir (directories when want_dirs, other
// entries otherwise) that match pattern (case-insensitive, empty: all).
uint32_t kdir_sys_list(const char* dir, const char* pattern, int want_dirs, kstrlist* out);

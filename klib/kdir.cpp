#include "klib/kdir.h"

#include "klib/kfile_sys.h"

uint32_t kdir_init(kdir* d, const kstring* path) {
  kstring_init(&d->path);
  kstring_assign(&d->path, path);
  return 0;
}

void kdir_free(kdir* d) {
  kstring_free(&d->path);
}

uint32_t kdir_list(kdir* d, const kstring* pattern, int dirs, kstrlist* out) {
  kstrlist_clear(out);
  const char* path = d->path.length ? kstring_text(&d->path) : ".";
  return kdir_sys_list(path, kstring_text(pattern), dirs, out);
}

uint32_t kdir_list_files(kdir* d, const kstring* pattern, kstrlist* out) {
  return kdir_list(d, pattern, 0, out);
}

uint32_t kdir_list_dirs(kdir* d, const kstring* pattern, kstrlist* out) {
  return kdir_list(d, pattern, 1, out);
}

uint32_t kdir_list_files_cstr(kdir* d, const char* pattern, kstrlist* out) {
  kstring p;
  kstring_init(&p);
  kstring_assign_cstr(&p, pattern);
  uint32_t rc = kdir_list(d, &p, 0, out);
  kstring_free(&p);
  return rc;
}

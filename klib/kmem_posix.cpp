#include <malloc.h>
#include <string.h>

#include "klib/kmem.h"

void kmem_release() {
  // Every arena, the worker threads' ones included; free pages in the middle
  // of the heap are returned as well as its top.
  malloc_trim(0);
}

const void* kmem_rchr(const void* p, int c, size_t count) {
  return memrchr(p, c, count);
}

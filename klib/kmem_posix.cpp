#include <malloc.h>

#include "klib/kmem.h"

void kmem_release() {
  // Every arena, the worker threads' ones included; free pages in the middle
  // of the heap are returned as well as its top.
  malloc_trim(0);
}

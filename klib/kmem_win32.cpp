// The Windows half of kmem.
#include <malloc.h>

#include "klib/kmem.h"

void kmem_release() {
  // Hands the heap's free blocks at its top back to the system.
  _heapmin();
}

const void* kmem_rchr(const void* p, int c, size_t count) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  const unsigned char want = static_cast<unsigned char>(c);
  while (count > 0)
    if (b[--count] == want) return b + count;
  return nullptr;
}

// kmem: the process heap as a whole, and byte searches the C library lacks
// on some platforms.
//
// kmem_release hands the pages that freed memory left unused in the heap back
// to the system, so that a program that released much at once (the log watch
// dropping a large facility) shrinks again instead of keeping its peak size.
// It costs a walk over the heap: call it after a large release, not per free.
// Any thread.
#pragma once

#include <cstddef>

void kmem_release();

// The last byte c among the count bytes at p, or null (memrchr where the
// system has it).
const void* kmem_rchr(const void* p, int c, size_t count);

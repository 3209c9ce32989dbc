// kmem: the process heap as a whole.
//
// kmem_release hands the pages that freed memory left unused in the heap back
// to the system, so that a program that released much at once (the log watch
// dropping a large facility) shrinks again instead of keeping its peak size.
// It costs a walk over the heap: call it after a large release, not per free.
// Any thread.
#pragma once

void kmem_release();

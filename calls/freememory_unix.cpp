#include "calls/freememory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void releaseFreedMemory() {
#if defined(__GLIBC__)
    // glibc keeps freed large blocks in its arenas (one per thread that allocated) and raises its
    // threshold for handing them back directly; trimming returns them from every arena.
    malloc_trim(0);
#endif
}

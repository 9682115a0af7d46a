#include "calls/freememory.h"

// Any C library header defines __GLIBC__ on glibc; without one the test below is always false and
// the trimming silently compiles away.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void releaseFreedMemory() {
#if defined(__GLIBC__)
    // glibc keeps freed large blocks in its arenas (one per thread that allocated) and raises its
    // threshold for handing them back directly. Trimming returns the free pages inside every arena
    // and the free end of the main one; the free end of a thread's own arena stays mapped.
    malloc_trim(0);
#endif
}

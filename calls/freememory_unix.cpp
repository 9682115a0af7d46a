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
    // and the free end of the main one. The free end of the calling thread's own arena is only
    // given back when a freed block joins it while that end is over the trim threshold, which
    // glibc has raised to twice the largest block it ever mapped: with the threshold briefly at
    // nothing, one block freed there trims it. The threshold is then set high again, as it was.
    constexpr int trimAtOnce = 0;
    constexpr int trimLater = 32 * 1024 * 1024;
    mallopt(M_TRIM_THRESHOLD, trimAtOnce);
    // Through a volatile pointer, or the compiler may leave out the pair.
    void *volatile block = malloc(256 * 1024);
    free(block);
    mallopt(M_TRIM_THRESHOLD, trimLater);
    malloc_trim(0);
#endif
}

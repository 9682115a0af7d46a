#include "calls/freememory.h"

// The Windows heap gives large blocks back on its own when they are freed.
void releaseFreedMemory() {}

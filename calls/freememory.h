#pragma once

// Hands memory that the program has freed but the C library still keeps back to the system.
// Worth calling after a burst of large allocations (screen images), never in a loop.
void releaseFreedMemory();

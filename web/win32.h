#pragma once

// Win32 as the Windows cores use it: without the min/max macros that break std::min and
// std::max, and without the rarely used parts of windows.h.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

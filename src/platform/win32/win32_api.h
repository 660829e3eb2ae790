// The Windows API as the platform layer includes it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// windows.h maps this name to GetCommandLineA; the seam's own function keeps its name.
#undef GetCommandLine

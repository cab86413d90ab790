// The Windows API for the tests that call it directly, without the rarely
// used parts of <windows.h>. Empty elsewhere.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

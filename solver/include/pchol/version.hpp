// The library's version. PCHOL_VERSION_MAJOR, PCHOL_VERSION_MINOR,
// PCHOL_VERSION_PATCH and the text PCHOL_VERSION (pchol/version.h, generated
// from the build's project version) are those of the headers a program is
// compiled with; the routines give those of the library it runs with, which
// differ when a shared library was replaced by another release.
#pragma once

#include "pchol/export.h"
#include "pchol/version.h"

#include <cstdint>

// The library's major, minor and patch number.
PCHOL_API void pchol_get_version(std::int32_t& major, std::int32_t& minor, std::int32_t& patch);

// The library's version as the text "major.minor.patch" (static storage).
extern "C" PCHOL_API const char* pchol_version_string(void);

// The version the library was built as: the numbers of pchol/version.h as
// this build generated it.
#include "pchol/version.hpp"

#include "pchol/pchol.h"

void pchol_get_version(std::int32_t& major, std::int32_t& minor, std::int32_t& patch) {
    major = PCHOL_VERSION_MAJOR;
    minor = PCHOL_VERSION_MINOR;
    patch = PCHOL_VERSION_PATCH;
}

extern "C" {

const char* pchol_version_string(void) { return PCHOL_VERSION; }

void pchol_get_version(std::int32_t* major, std::int32_t* minor, std::int32_t* patch) {
    std::int32_t numbers[3];
    pchol_get_version(numbers[0], numbers[1], numbers[2]);
    if (major != nullptr) *major = numbers[0];
    if (minor != nullptr) *minor = numbers[1];
    if (patch != nullptr) *patch = numbers[2];
}

}  // extern "C"

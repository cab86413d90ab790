// Armed failures for the next creation of a mutex, event or thread.
#pragma once

#include "pchol/platform.hpp"
#include "pchol/platform_testing.hpp"

namespace platform::detail {

// True (and disarms one failure) when a failure is armed for this kind.
bool consume_failure(object_kind kind);

}  // namespace platform::detail

// Helpers shared by the platform tests: starting a callable on a platform
// thread, and waiting for a condition with a deadline so that a fault shows
// as a failure rather than a hang.
#pragma once

#include "pchol/platform.hpp"
#include "pchol/platform_testing.hpp"

#include <chrono>
#include <thread>

namespace platform_test {

// Starts f() on a new platform thread; f must outlive the thread.
template <class F>
platform::handle start(F& f) {
    return platform::thread_create(
        [](void* p) -> std::uint32_t {
            (*static_cast<F*>(p))();
            return 0;
        },
        &f);
}

inline void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// True as soon as cond() holds; false if it still does not after timeout_ms.
template <class Cond>
bool eventually(Cond cond, int timeout_ms = 10'000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        pause_ms(1);
    }
    return true;
}

// How long a test watches for something that must not happen (a waiter that
// must stay blocked).
inline constexpr int quiet_ms = 100;

}  // namespace platform_test

// What every end-to-end solver test needs around a solve: the size switch of
// the sanitizer and emulated builds, the clean-up of the threading library at
// exit, a thread count of the test's choosing, and a time limit for a solve
// that could hang.
#pragma once

#include "pchol/settings.hpp"
#include "pchol/settings_testing.hpp"
#include "pchol/threads.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

namespace solver_run {

#ifdef PCHOL_TEST_SMALL
constexpr bool small = true;
#else
constexpr bool small = false;
#endif

// The threading library's table mutexes live until the end of the program,
// where the benchmark closes them too.
class library_cleanup : public ::testing::Environment {
public:
    void TearDown() override { thr_lib_cleanup(); }
};
inline ::testing::Environment* const cleanup = ::testing::AddGlobalTestEnvironment(new library_cleanup);

// The thread counts come from the settings, which cap them by the processor
// count: pretend to have 32 processors so that up to 32 threads run here.
inline bool thirty_two_processors(std::uint32_t& process_mask, std::uint32_t& system_mask) {
    process_mask = 0xFFFFFFFFu;
    system_mask = 0xFFFFFFFFu;
    return true;
}

// The team runs at the full count, however small the test system.
inline void use_threads(std::int32_t k) {
    pchol::set_affinity_query_for_testing(&thirty_two_processors);
    pchol::set_team_trimming_for_testing(false);
    set_thread_count(k);
    std::int32_t t = 0;
    get_thread_count(t);
    ASSERT_EQ(t, k);
}

// Runs f on a thread of its own; ends the test process with a failure when f
// has not returned within the limit (a worker that never leaves a barrier).
template <class F>
void within_time_limit(F&& f, std::chrono::seconds limit = std::chrono::seconds(small ? 600 : 120)) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread runner([&] {
        f();
        done.set_value();
    });
    if (finished.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "the solve did not return within %lld s\n", static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
}

}  // namespace solver_run

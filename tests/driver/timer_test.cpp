#include "pchol/timer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pchol/platform.hpp"

namespace {

struct times {
    float elapsed = -1, user = -1, kernel = -1, total = -1;
};

times convert(const pchol::timer_readings& r) {
    times t;
    pchol::timer_convert(r, t.elapsed, t.user, t.kernel, t.total);
    return t;
}

TEST(Timer, TickDifferenceIsTakenAcrossTheWrap) {
    pchol::timer_readings r;
    r.ticks_start = 0xFFFFFF00u;
    r.ticks_stop = 0x00000064u;
    EXPECT_EQ(convert(r).elapsed, 0.356f);
    r.ticks_start = 1000;
    r.ticks_stop = 1000;
    EXPECT_EQ(convert(r).elapsed, 0.0f);
    r.ticks_stop = 1125;
    EXPECT_EQ(convert(r).elapsed, 0.125f);
}

TEST(Timer, CpuUnitsAreScaledByTheSinglePrecisionTenthOfAMicrosecond) {
    pchol::timer_readings r;
    r.user_start = 1000;
    r.user_stop = 1000 + 15'625'000;
    const times t = convert(r);
    // 15,625,000 units times the float nearest 1e-7 is 1.5625000183, which rounds to 1.5625.
    EXPECT_EQ(t.user, 1.5625f);
    EXPECT_EQ(t.kernel, 0.0f);
    EXPECT_EQ(t.total, 1.5625f);
}

TEST(Timer, TotalIsRoundedFromTheUnroundedParts) {
    // 10,000,001 and 3 units: the sum of the two rounded parts rounds to a
    // different float than the sum of the unrounded products.
    pchol::timer_readings r;
    r.user_stop = 10'000'001;
    r.kernel_stop = 3;
    const times t = convert(r);
    EXPECT_EQ(t.total, 1.0000003576278687f);
    EXPECT_NE(t.total, t.user + t.kernel) << "the case must tell the two sums apart";
}

TEST(Timer, MeasuresARealInterval) {
    // Spin until the process has used 0.12 s of CPU time by its own account
    // (some systems credit CPU time in 10 ms steps, and not all of the wall
    // time of a spinning thread), then check that the timer saw the interval.
    const platform::handle process = platform::open_current_process();
    platform::cpu_times before, now;
    ASSERT_TRUE(platform::process_times(process, before));
    timer_start();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    volatile double sink = 0;
    do {
        for (int k = 0; k < 100000; ++k) sink = sink + 1.0;
        platform::process_times(process, now);
    } while ((now.user + now.kernel) - (before.user + before.kernel) < 1'200'000 &&
             std::chrono::steady_clock::now() < give_up);
    float elapsed = 0, user = 0, kernel = 0, total = 0;
    timer_stop(elapsed, user, kernel, total);
    platform::close_handle(process);
    EXPECT_GE(user + kernel, 0.11f);
    EXPECT_GE(elapsed, 0.09f) << "one spinning thread cannot use much more CPU than wall time";
    EXPECT_LT(elapsed, 25.0f);
    EXPECT_NEAR(total, user + kernel, 1e-5f);
}

}  // namespace

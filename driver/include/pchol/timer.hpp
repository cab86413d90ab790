// Wall-clock and process CPU time of one interval. timer_start opens the
// interval and timer_stop closes it; the pair is not nestable and runs on the
// main thread only. The CPU times cover every thread of the process.
#pragma once

#include <cstdint>

void timer_start();
// Seconds of the interval: wall clock, user mode, kernel mode, user + kernel.
void timer_stop(float& elapsed, float& user_cpu, float& kernel_cpu, float& total_cpu);

namespace pchol {

// The conversion timer_stop applies to its raw readings: tick counts in
// milliseconds (the difference taken modulo 2^32 as a signed number) and CPU
// times in 100 ns units.
struct timer_readings {
    std::uint32_t ticks_start = 0;
    std::uint32_t ticks_stop = 0;
    std::uint64_t user_start = 0;
    std::uint64_t user_stop = 0;
    std::uint64_t kernel_start = 0;
    std::uint64_t kernel_stop = 0;
};
void timer_convert(const timer_readings& r, float& elapsed, float& user_cpu, float& kernel_cpu, float& total_cpu);

}  // namespace pchol

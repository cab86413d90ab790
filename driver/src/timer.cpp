#include "pchol/timer.hpp"

#include "pchol/platform.hpp"

#include <bit>

namespace {

// State of the open interval (main thread only).
std::uint32_t timer_ticks = 0;
platform::handle timer_process = 0;
std::uint64_t timer_user_start = 0;
std::uint64_t timer_kernel_start = 0;

// The single-precision number nearest to 1.0e-7, held as a double. It is not
// the double nearest to 1.0e-7; the 100 ns units are scaled with exactly this
// value.
constexpr double seconds_per_unit = std::bit_cast<double>(std::uint64_t{0x3E7AD7F2A0000000});

}  // namespace

namespace pchol {

void timer_convert(const timer_readings& r, float& elapsed, float& user_cpu, float& kernel_cpu, float& total_cpu) {
    const auto dt = static_cast<std::int32_t>(r.ticks_stop - r.ticks_start);  // correct across a wrap
    elapsed = static_cast<float>(static_cast<double>(dt) / 1000.0);
    const double u =
        (static_cast<double>(r.user_stop) - static_cast<double>(r.user_start)) * seconds_per_unit;
    const double k =
        (static_cast<double>(r.kernel_stop) - static_cast<double>(r.kernel_start)) * seconds_per_unit;
    user_cpu = static_cast<float>(u);
    kernel_cpu = static_cast<float>(k);
    total_cpu = static_cast<float>(u + k);  // from the unrounded parts
}

}  // namespace pchol

void timer_start() {
    timer_ticks = platform::tick_count();
    timer_process = platform::open_current_process();
    platform::cpu_times t;
    platform::process_times(timer_process, t);
    timer_user_start = t.user;
    timer_kernel_start = t.kernel;
}

void timer_stop(float& elapsed, float& user_cpu, float& kernel_cpu, float& total_cpu) {
    // The CPU times first, then the tick count.
    platform::cpu_times t;
    platform::process_times(timer_process, t);
    pchol::timer_readings r;
    r.ticks_stop = platform::tick_count();
    r.ticks_start = timer_ticks;
    r.user_start = timer_user_start;
    r.user_stop = t.user;
    r.kernel_start = timer_kernel_start;
    r.kernel_stop = t.kernel;
    pchol::timer_convert(r, elapsed, user_cpu, kernel_cpu, total_cpu);
    platform::close_handle(timer_process);
}

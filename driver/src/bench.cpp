#include "pchol/bench.hpp"

#include "pchol/platform.hpp"
#include "pchol/report.hpp"
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/test_system.hpp"
#include "pchol/threads.hpp"
#include "pchol/timer.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <new>
#include <string>

namespace pchol::bench {
namespace {

// A solve counts as correct when no solution entry is further than this from
// the exact solution. The exact solution lies in (0, 1]; a correct
// single-precision solve of the benchmark's system is off by about 1e-6 at
// most, so 1e-4 leaves room for other well-conditioned sizes while any real
// fault (a wrong coupling, a missed block) shows errors of order 1e-2 and up.
constexpr double solution_tolerance = 1e-4;

float* default_allocate(std::size_t elements) {
    return new (std::nothrow) float[elements];
}

void default_release(float* storage) {
    delete[] storage;
}

// Writes one value into every page of the workspace, so the first timed solve
// does not pay for faulting in the pages of its scratch. Every value a run
// reads is written by the test system or the solver first.
void touch_pages(float* storage, std::int64_t length) {
    constexpr std::int64_t floats_per_page = 4096 / sizeof(float);
    for (std::int64_t p = 0; p < length; p += floats_per_page) storage[p] = 0.0f;
    if (length > 0) storage[length - 1] = 0.0f;
}

// The largest |B - X| over every solution entry; NaN if any entry is NaN.
double max_abs_error(const float* B, const float* X, std::int64_t count) {
    double worst = 0;
    for (std::int64_t k = 0; k < count; ++k) {
        const double e = std::fabs(static_cast<double>(B[k]) - static_cast<double>(X[k]));
        if (!(e <= worst)) worst = e;  // a NaN error sticks
    }
    return worst;
}

// Checks one solve outside the timed interval and reports a failure in one
// line. True when the solve is good.
bool check_solution(std::ostream& out, std::int32_t threads, std::int32_t info, const float* B, const float* X,
                    std::int64_t count) {
    if (info == info_no_resources) {
        // The solve ran on the threads that started, or not at all.
        report::literal(out, " Solver failed with info = " + report::int_field(info, 2) +
                                 ": a thread or synchronisation object could not be created, so the times above"
                                 " are not those of " +
                                 std::to_string(threads) + (threads == 1 ? " thread" : " threads"));
        return false;
    }
    if (info != 0) {
        report::with_int2(out, " Solver failed with info = ", info);
        return false;
    }
    const double error = max_abs_error(B, X, count);
    if (!(error <= solution_tolerance)) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3e", error);
        report::literal(out, std::string(" Solution check failed, max abs error = ") + text);
        return false;
    }
    return true;
}

// The report could not be written (a full disk, a closed standard output):
// said on the error stream, since the report's own stream is gone.
int write_failed(std::ostream& err) {
    err << "pchol_bench: the report could not be written\n";
    err.flush();
    return 1;
}

}  // namespace

std::int64_t workspace_length(std::int32_t n, std::int32_t hbw, std::int32_t nrhs) {
    // d = n + n*hbw - hbw + 1 is one past the band; with one right-hand side
    // e = 2*n + d + 2*n*hbw (the scratch region ends one element past 2*n*hbw).
    const std::int64_t N = n;
    const std::int64_t w = hbw;
    const std::int64_t d = N + N * w - w + 1;
    const std::int64_t e = (d - 1) + 2 * N * std::int64_t{nrhs} + 2 * N * w + 1;
    constexpr std::int64_t int_max = std::numeric_limits<std::int32_t>::max();
    if (d > int_max || e > int_max || e < 1) return -1;
    // The byte count must fit as well.
    if (static_cast<std::uint64_t>(e) > std::numeric_limits<std::size_t>::max() / sizeof(float)) return -1;
    return e;
}

int run(const setup& s, std::ostream& out, std::ostream& err) {
    report::free_form(out, "number of equations: ", s.n);
    report::free_form(out, "Half bandwidth: ", s.hbw);

    const allocate_routine allocate = s.allocate != nullptr ? s.allocate : default_allocate;
    const release_routine release = s.release != nullptr ? s.release : default_release;
    const std::int64_t e = workspace_length(s.n, s.hbw, s.nrhs);
    float* workspace = e > 0 ? allocate(static_cast<std::size_t>(e)) : nullptr;
    if (workspace == nullptr) {
        report::literal(out, " Unable to allocate memory");
        out.flush();
        if (!out) return write_failed(err);
        return 1;  // a run that could not start is a failure, not a success
    }
    touch_pages(workspace, e);

    // Regions: A (the band), B, X, WORK, one after another.
    const std::int64_t band = static_cast<std::int64_t>(s.n) + static_cast<std::int64_t>(s.n - 1) * s.hbw;
    float* A = workspace;
    float* B = A + band;
    float* X = B + static_cast<std::int64_t>(s.n) * s.nrhs;
    float* WORK = X + static_cast<std::int64_t>(s.n) * s.nrhs;

    bool all_good = true;
    for (std::int32_t i = 1; i <= s.processors; ++i) {
        report::blank(out);
        report::with_int2(out, i == 1 ? " Processor: " : " Processors: ", i);
        set_thread_count(i);
        make_test_system(A, B, X, s.n, s.hbw, s.nrhs);
        std::int32_t info = 0;
        float elapsed = 0, user_cpu = 0, kernel_cpu = 0, total_cpu = 0;
        timer_start();
        if (s.solve != nullptr) s.solve(A, s.n, s.hbw, B, s.nrhs, WORK, info);
        timer_stop(elapsed, user_cpu, kernel_cpu, total_cpu);
        report::with_fixed82(out, " Elapsed Time (Seconds): ", elapsed);
        report::with_fixed82(out, " CPU Time in User Mode (Seconds): ", user_cpu);
        report::with_fixed82(out, " CPU Time in Kernel Mode (Seconds): ", kernel_cpu);
        report::with_fixed82(out, " Total CPU Time (Seconds): ", total_cpu);
        if (s.solve != nullptr)
            all_good = check_solution(out, i, info, B, X, static_cast<std::int64_t>(s.n) * s.nrhs) && all_good;
        // Each run's lines reach the file before the next run starts, so an
        // interrupted run keeps what it printed; a failed write ends the run.
        if (!out.flush()) break;
    }
    if (out) {
        report::blank(out);
        out.flush();
    }
    bench_cleanup();
    release(workspace);
    if (!out) return write_failed(err);
    return all_good ? 0 : 1;
}

}  // namespace pchol::bench

void bench_cleanup() {
    thr_lib_cleanup();
}

void bench_main() {
    platform::set_binary_stdout();  // lines end in '\n' on every system
    pchol::bench::setup s;
    count_processors(s.processors);
    s.solve = pchol_solve4;
    const int status = pchol::bench::run(s, std::cout, std::cerr);
    std::cout.flush();
    std::exit(status);
}

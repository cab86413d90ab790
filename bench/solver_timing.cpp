// Times pchol_solve4 on the benchmark's system (n = 2,000,000, hbw = 8,
// nrhs = 1) with 1 and 2 threads, several solves each in this one process
// (the thread counts taking turns), and prints the median and the minimum
// wall time per thread count, the speedup of the medians and the largest
// |B - X| over the solves. Not a test: run it by hand on an otherwise idle
// machine, from a Release build. In a build configured with
// PCHOL_WAIT_STATS=ON it also prints the share of the workers' time spent at
// the barriers and taking blocks from the cursors.
//
//   solver_timing [solves per thread count, default 7] [largest thread count, default 2]
#include "pchol/wait_stats.hpp"
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/test_system.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const int solves = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const int max_threads = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;
    const std::int32_t n = 2000000, hbw = 8, nrhs = 1;
    std::vector<float> A(static_cast<std::size_t>(n - 1) * hbw + n), B(n), X(n), WORK(2 * std::size_t(n) * hbw);
    std::int32_t procs = 0;
    count_processors(procs);
    std::printf("n %d, hbw %d, nrhs %d; %d processors, %u hardware threads; %d solves per thread count\n", n, hbw,
                nrhs, procs, std::thread::hardware_concurrency(), solves);
#ifdef __OPTIMIZE__
    std::printf("compiled with optimisation%s\n", PCHOL_TIMING_FLAGS);
#else
    std::printf("compiled WITHOUT optimisation\n");
#endif
    // The thread counts take turns, solve by solve, so that a passing load
    // on the machine falls on all of them alike.
    std::vector<std::vector<double>> times(static_cast<std::size_t>(max_threads));
    std::vector<double> worst(static_cast<std::size_t>(max_threads), 0.0);
    std::vector<pchol::detail::wait_stats> waits(static_cast<std::size_t>(max_threads));
    for (int s = 0; s < solves; ++s) {
        for (std::int32_t threads = 1; threads <= max_threads; ++threads) {
            set_thread_count(threads);
            make_test_system(A.data(), B.data(), X.data(), n, hbw, nrhs);
            std::int32_t info = 1;
            pchol::detail::reset_wait_stats();
            const auto t0 = std::chrono::steady_clock::now();
            pchol_solve4(A.data(), n, hbw, B.data(), nrhs, WORK.data(), info);
            const auto t1 = std::chrono::steady_clock::now();
            const pchol::detail::wait_stats w = pchol::detail::read_wait_stats();
            pchol::detail::wait_stats& sum = waits[threads - 1];
            sum.barrier_seconds += w.barrier_seconds;
            sum.cursor_seconds += w.cursor_seconds;
            sum.worker_seconds += w.worker_seconds;
            sum.barriers += w.barriers;
            sum.cursor_takes += w.cursor_takes;
            if (info != 0) {
                std::printf("solve failed with %d threads, info %d\n", threads, info);
                return 1;
            }
            times[threads - 1].push_back(std::chrono::duration<double>(t1 - t0).count());
            for (std::int32_t i = 0; i < n; ++i)
                worst[threads - 1] = std::max(worst[threads - 1], double(std::abs(B[i] - X[i])));
        }
    }
    std::vector<double> medians;
    for (std::int32_t threads = 1; threads <= max_threads; ++threads) {
        std::vector<double> sorted = times[threads - 1];
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted[sorted.size() / 2];
        medians.push_back(median);
        std::printf("%d thread(s): median %.4f s, min %.4f s, max|B - X| %.3g; all:", threads, median, sorted.front(),
                    worst[threads - 1]);
        for (const double t : times[threads - 1]) std::printf(" %.4f", t);
        std::printf("\n");
    }
#ifdef PCHOL_WAIT_STATS
    for (std::int32_t threads = 1; threads <= max_threads; ++threads) {
        const pchol::detail::wait_stats& w = waits[threads - 1];
        std::printf("%d thread(s), all solves: workers %.4f s in all; at barriers %.4f s (%.1f%%, %lld passes), "
                    "taking blocks %.4f s (%.1f%%, %lld takes)\n",
                    threads, w.worker_seconds, w.barrier_seconds, 100 * w.barrier_seconds / w.worker_seconds,
                    static_cast<long long>(w.barriers), w.cursor_seconds, 100 * w.cursor_seconds / w.worker_seconds,
                    static_cast<long long>(w.cursor_takes));
    }
#endif
    for (std::size_t k = 1; k < medians.size(); ++k)
        std::printf("speedup T1/T%zu = %.2f\n", k + 1, medians[0] / medians[k]);
    return 0;
}

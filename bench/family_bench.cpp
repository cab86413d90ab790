// The solver family on the benchmark's system (n = 2,000,000, hbw = 8, one
// right-hand side) in every element type: the block-cyclic-reduction solver
// pchol_solveK against the pipelined driver pchol_pipelined_solveK, with 1
// and 2 threads, side by side in one run (the two solvers take turns, run by
// run, so that the machine's noise falls on both alike). Prints the median
// and the minimum wall-clock time of the solve over several runs, and the
// largest error against the system's known solution.
//
// block_size is fixed by the first solve of a process, so each element type
// runs in a process of its own (this program started again with --type K),
// where its solver picks its blocks as it would on its own.
//
// --panels: the pipelined routines in single precision for a range of panel
// lengths, with 1 and 2 threads (the measurement the drivers' panel length
// comes from).
//
// Usage: family_bench [--runs N] [--type 1..4 | --panels]
#include "pchol/pipelined.hpp"
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/test_system.hpp"
#include "pchol/threads.hpp"

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using i32 = std::int32_t;

constexpr i32 n = 2000000;
constexpr i32 hbw = 8;
constexpr i32 nrhs = 1;
constexpr std::size_t band = std::size_t(n - 1) * hbw + n;

// The benchmark's system in single precision, and its exact solution.
struct system_f {
    std::vector<float> a = std::vector<float>(band), b = std::vector<float>(n), x = std::vector<float>(n);
    system_f() { make_test_system(a.data(), b.data(), x.data(), n, hbw, nrhs); }
};

template <class T>
T widen(float v) {
    return T(v);
}

template <class T>
double distance(T v, float x) {
    return std::abs(v - T(x));
}

struct sample {
    std::vector<double> seconds;
    double error = 0.0;
    int failures = 0;

    double median() const {
        std::vector<double> s = seconds;
        std::sort(s.begin(), s.end());
        const std::size_t k = s.size();
        return k == 0 ? 0.0 : (k % 2 == 1 ? s[k / 2] : 0.5 * (s[k / 2 - 1] + s[k / 2]));
    }
    double minimum() const { return seconds.empty() ? 0.0 : *std::min_element(seconds.begin(), seconds.end()); }
};

template <class T>
struct entry_points {
    void (*solve)(T*, const i32&, const i32&, T*, const i32&, T*, i32&);
    void (*pipelined)(T*, const i32&, const i32&, T*, const i32&, T*, i32&);
    const char* name;
};

// Times one solve from a fresh copy of the system.
template <class T, class Solve>
void time_solve(const std::vector<T>& a0, const std::vector<T>& b0, const std::vector<float>& x, std::vector<T>& a,
                std::vector<T>& b, std::vector<T>& work, Solve&& solve, sample& out) {
    std::copy(a0.begin(), a0.end(), a.begin());
    std::copy(b0.begin(), b0.end(), b.begin());
    i32 info = 1;
    const auto start = std::chrono::steady_clock::now();
    solve(a.data(), b.data(), work.data(), info);
    const auto stop = std::chrono::steady_clock::now();
    out.seconds.push_back(std::chrono::duration<double>(stop - start).count());
    if (info != 0) ++out.failures;
    double e = 0.0;
    for (i32 i = 0; i < n; ++i) e = std::max(e, distance(b[i], x[i]));
    out.error = std::max(out.error, e);
}

void print_row(const char* type, i32 threads, const char* solver, const sample& s) {
    std::printf("%-22s %7d  %-24s %9.3f %9.3f %10.2e%s\n", type, threads, solver, s.median(), s.minimum(), s.error,
                s.failures > 0 ? "  (info != 0)" : "");
    std::fflush(stdout);
}

template <class T>
void run_type(const entry_points<T>& ep, int runs) {
    const system_f sys;
    std::vector<T> a0(band), b0(n);
    for (std::size_t i = 0; i < band; ++i) a0[i] = widen<T>(sys.a[i]);
    for (i32 i = 0; i < n; ++i) b0[i] = widen<T>(sys.b[i]);
    std::vector<T> a(band), b(n), work(2 * std::size_t(n) * hbw);

    for (const i32 threads : {1, 2}) {
        set_thread_count(threads);
        sample blocks, pipelined;
        for (int r = 0; r < runs; ++r) {
            time_solve(a0, b0, sys.x, a, b, work,
                       [&](T* A, T* B, T* W, i32& info) { ep.solve(A, n, hbw, B, nrhs, W, info); }, blocks);
            time_solve(a0, b0, sys.x, a, b, work,
                       [&](T* A, T* B, T* W, i32& info) { ep.pipelined(A, n, hbw, B, nrhs, W, info); }, pipelined);
        }
        const std::string k = std::string(ep.name);
        print_row(k.c_str(), threads, "block cyclic reduction", blocks);
        print_row(k.c_str(), threads, "pipelined", pipelined);
    }
}

// The pipelined routines on a team set up here, as the drivers do, with the
// panel length v.
template <class T>
void pipelined_with_panel(T* A, T* B, i32 v, i32 threads, i32& info) {
    i32 counter_mutex = 0;
    i32 sync_pair[2] = {0, 0};
    thr_mutex_create(counter_mutex);
    sync_create(sync_pair[0]);
    sync_create(sync_pair[1]);
    i32 num_threads = threads;
    i32 panel_first = 1, task_row = 1, panel_last = n, back_task_row = n;
    i32 fail_flags[2] = {0, 0};
    const pchol::real_of_t<T> tol = 0;
    sync_reset(sync_pair[0], num_threads);
    std::vector<i32> ids(std::size_t(threads), 0);
    for (i32 i = 1; i < threads; ++i)
        thr_start14(ids[std::size_t(i)], pchol::pipelined_factor_solve<T>, A, n, hbw, B, v, counter_mutex,
                    sync_pair, num_threads, panel_first, task_row, panel_last, back_task_row, tol, fail_flags);
    pchol::pipelined_factor_solve<T>(A, n, hbw, B, v, counter_mutex, sync_pair, num_threads, panel_first, task_row,
                                     panel_last, back_task_row, tol, fail_flags);
    for (i32 i = 1; i < threads; ++i) thr_join(ids[std::size_t(i)]);
    thr_mutex_close(counter_mutex);
    sync_destroy(sync_pair[0]);
    sync_destroy(sync_pair[1]);
    info = fail_flags[0] | fail_flags[1];
}

template <class T>
void run_panels(const char* type, int runs) {
    const system_f sys;
    std::vector<T> a0(band), b0(n);
    for (std::size_t i = 0; i < band; ++i) a0[i] = widen<T>(sys.a[i]);
    for (i32 i = 0; i < n; ++i) b0[i] = widen<T>(sys.b[i]);
    std::vector<T> a(band), b(n), work(1);
    for (const i32 v : {8, 32, 128, 256, 512, 1024, 2048, 4096, 16384}) {
        for (const i32 threads : {1, 2}) {
            sample s;
            for (int r = 0; r < runs; ++r)
                time_solve(a0, b0, sys.x, a, b, work,
                           [&](T* A, T* B, T*, i32& info) { pipelined_with_panel(A, B, v, threads, info); }, s);
            const std::string label = std::string(type) + ", v " + std::to_string(v);
            print_row(label.c_str(), threads, "pipelined", s);
        }
    }
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown processor";
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    int type = 0;
    bool panels = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--type" && i + 1 < argc) {
            type = std::atoi(argv[++i]);
        } else if (arg == "--panels") {
            panels = true;
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--type 1..4 | --panels]\n", argv[0]);
            return 2;
        }
    }

    if (panels) {
        run_panels<float>("4 single", runs);
        run_panels<std::complex<double>>("1 complex double", runs);
    } else if (type == 1) {
        run_type<std::complex<double>>({pchol_solve1, pchol_pipelined_solve1, "1 complex double"}, runs);
    } else if (type == 2) {
        run_type<std::complex<float>>({pchol_solve2, pchol_pipelined_solve2, "2 complex single"}, runs);
    } else if (type == 3) {
        run_type<double>({pchol_solve3, pchol_pipelined_solve3, "3 double"}, runs);
    } else if (type == 4) {
        run_type<float>({pchol_solve4, pchol_pipelined_solve4, "4 single"}, runs);
    } else {
        std::printf("family_bench: n = %d, hbw = %d, nrhs = %d, %d runs each, wall-clock seconds of the solve\n", n,
                    hbw, nrhs, runs);
        std::printf("machine: %s, %u hardware threads\n", cpu_model().c_str(), std::thread::hardware_concurrency());
        std::printf("build: %s\n\n", PCHOL_BENCH_BUILD);
        std::printf("%-22s %7s  %-24s %9s %9s %10s\n", "variant", "threads", "solver", "median s", "min s",
                    "max error");
        std::fflush(stdout);
        const std::string self = std::string("\"") + argv[0] + "\" --runs " + std::to_string(runs);
        int status = 0;
        for (const int k : {4, 3, 2, 1}) status |= std::system((self + " --type " + std::to_string(k)).c_str());
        std::printf("\n");
        std::fflush(stdout);
        std::printf("the pipelined routines by panel length v (the drivers use %d):\n", pchol::pipelined_panel_rows);
        std::fflush(stdout);
        status |= std::system((self + " --panels").c_str());
        thr_lib_cleanup();
        return status == 0 ? 0 : 1;
    }
    thr_lib_cleanup();
    return 0;
}

// Side-by-side timing of the parallel solver against the serial banded
// Cholesky factor-and-solve of the LAPACK library CMake found, on the
// benchmark's system (n = 2,000,000, half bandwidth 8, one right-hand side).
//
// The contenders run alternately, round after round, so that a slow spell of
// the machine hits all of them alike; each prints the median and the minimum
// of its solve times, the largest error against the exact solution and its
// ratio to the LAPACK median of the same precision. Preparing a copy of the
// system lies outside the timed interval.
//
// Usage: compare_lapack [rounds]   (default 9)
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/test_system.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

extern "C" {
// LAPACK's banded Cholesky routines (Fortran calling convention).
void spbtrf_(const char* uplo, const int* n, const int* kd, float* ab, const int* ldab, int* info, std::size_t);
void spbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const float* ab, const int* ldab,
             float* b, const int* ldb, int* info, std::size_t);
void dpbtrf_(const char* uplo, const int* n, const int* kd, double* ab, const int* ldab, int* info, std::size_t);
void dpbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const double* ab, const int* ldab,
             double* b, const int* ldb, int* info, std::size_t);
}

namespace {

using clock_type = std::chrono::steady_clock;

struct contender {
    std::string name;
    std::function<void()> prepare;  // untimed: fresh copies of A and B
    std::function<int()> solve;     // timed; returns info
    std::function<double()> error;  // untimed: max |x - x_exact|
    int precision = 4;              // 4 or 8: which LAPACK baseline it is compared with
    std::vector<double> seconds;
    double max_error = 0;
    int info = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 != 0 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

template <class T>
double max_abs_error(const std::vector<T>& x, const std::vector<float>& exact) {
    double e = 0;
    for (std::size_t k = 0; k < exact.size(); ++k)
        e = std::max(e, std::fabs(static_cast<double>(x[k]) - static_cast<double>(exact[k])));
    return e;
}

// Our band (row r: (r,r) .. (r,r+hbw)) into LAPACK's upper band storage:
// column j holds (j-kd, j) .. (j, j), the diagonal in the last of kd+1 rows.
template <class T>
std::vector<T> to_upper_band(const std::vector<float>& band, std::int64_t n, std::int64_t hbw) {
    const std::int64_t ldab = hbw + 1;
    std::vector<T> ab(static_cast<std::size_t>(ldab * n), T(0));
    for (std::int64_t r = 0; r < n; ++r)
        for (std::int64_t c = r; c <= std::min(r + hbw, n - 1); ++c)
            ab[static_cast<std::size_t>(c * ldab + hbw + r - c)] = static_cast<T>(band[static_cast<std::size_t>(r * hbw + c)]);
    return ab;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    const std::int32_t n = 2000000, hbw = 8, nrhs = 1;
    const std::size_t band_length = static_cast<std::size_t>(n) + static_cast<std::size_t>(n - 1) * hbw;
    const std::size_t work_length = 2 * static_cast<std::size_t>(n) * hbw;

    std::vector<float> A0(band_length), B0(static_cast<std::size_t>(n)), X(static_cast<std::size_t>(n));
    make_test_system(A0.data(), B0.data(), X.data(), n, hbw, nrhs);

    std::int32_t processors = 0;
    count_processors(processors);
    processors = std::min(processors, pchol::max_threads);

    std::printf("System: n = %d, half bandwidth %d, %d right-hand side; %d rounds, contenders alternating\n", n, hbw,
                nrhs, rounds);
    std::printf("Compiler: %s, flags: %s\n", PCHOL_COMPILER, PCHOL_CXX_FLAGS);
    std::printf("LAPACK: %s\n", PCHOL_LAPACK_NAME);
    std::printf("Processors available: %d\n\n", processors);

    // Working copies, reused by every round.
    std::vector<float> A(band_length), B(static_cast<std::size_t>(n)), WORK(work_length);
    std::vector<double> Ad(band_length), Bd(static_cast<std::size_t>(n)), WORKd(work_length);
    std::vector<double> A0d(A0.begin(), A0.end()), B0d(B0.begin(), B0.end());
    const std::vector<float> ab0 = to_upper_band<float>(A0, n, hbw);
    const std::vector<double> ab0d = to_upper_band<double>(A0, n, hbw);
    std::vector<float> ab(ab0.size());
    std::vector<double> abd(ab0d.size());

    std::vector<contender> all;
    all.push_back({"LAPACK spbtrf+spbtrs (float)",
                   [&] { ab = ab0; B = B0; },
                   [&] {
                       const int ni = n, kd = hbw, ldab = hbw + 1, one = 1;
                       int info = 0;
                       spbtrf_("U", &ni, &kd, ab.data(), &ldab, &info, 1);
                       if (info == 0) spbtrs_("U", &ni, &kd, &one, ab.data(), &ldab, B.data(), &ni, &info, 1);
                       return info;
                   },
                   [&] { return max_abs_error(B, X); }, 4, {}, 0, 0});
    for (std::int32_t t = 1; t <= processors; ++t) {
        all.push_back({"pchol_solve4, " + std::to_string(t) + (t == 1 ? " thread" : " threads"),
                       [&A, &B, &A0, &B0, t] { A = A0; B = B0; set_thread_count(t); },
                       [&] {
                           std::int32_t info = 0;
                           pchol_solve4(A.data(), n, hbw, B.data(), nrhs, WORK.data(), info);
                           return static_cast<int>(info);
                       },
                       [&] { return max_abs_error(B, X); }, 4, {}, 0, 0});
    }
    all.push_back({"LAPACK dpbtrf+dpbtrs (double)",
                   [&] { abd = ab0d; Bd = B0d; },
                   [&] {
                       const int ni = n, kd = hbw, ldab = hbw + 1, one = 1;
                       int info = 0;
                       dpbtrf_("U", &ni, &kd, abd.data(), &ldab, &info, 1);
                       if (info == 0) dpbtrs_("U", &ni, &kd, &one, abd.data(), &ldab, Bd.data(), &ni, &info, 1);
                       return info;
                   },
                   [&] { return max_abs_error(Bd, X); }, 8, {}, 0, 0});
    for (std::int32_t t = 1; t <= processors; ++t) {
        all.push_back({"pchol_solve3, " + std::to_string(t) + (t == 1 ? " thread" : " threads"),
                       [&Ad, &Bd, &A0d, &B0d, t] { Ad = A0d; Bd = B0d; set_thread_count(t); },
                       [&] {
                           std::int32_t info = 0;
                           pchol_solve3(Ad.data(), n, hbw, Bd.data(), nrhs, WORKd.data(), info);
                           return static_cast<int>(info);
                       },
                       [&] { return max_abs_error(Bd, X); }, 8, {}, 0, 0});
    }

    // One untimed warm-up each (page faults, first-touch of the scratch).
    for (contender& c : all) {
        c.prepare();
        c.solve();
    }
    for (int round = 0; round < rounds; ++round) {
        for (contender& c : all) {
            c.prepare();
            const auto start = clock_type::now();
            c.info = c.solve();
            const auto stop = clock_type::now();
            c.seconds.push_back(std::chrono::duration<double>(stop - start).count());
            c.max_error = std::max(c.max_error, c.error());
        }
    }

    double baseline[9] = {};
    for (const contender& c : all)
        if (c.name.rfind("LAPACK", 0) == 0) baseline[c.precision] = median(c.seconds);

    std::printf("%-34s %10s %10s %12s %10s %5s\n", "contender", "median s", "min s", "max |x-x*|", "/ LAPACK", "info");
    for (const contender& c : all) {
        const double med = median(c.seconds);
        std::printf("%-34s %10.4f %10.4f %12.3e %10.3f %5d\n", c.name.c_str(), med,
                    *std::min_element(c.seconds.begin(), c.seconds.end()), c.max_error, med / baseline[c.precision],
                    c.info);
    }
    return 0;
}

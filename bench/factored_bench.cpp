// Solves with a stored factor: pchol_factored_solve4 on 1 and 2 threads
// against LAPACK's spbtrs on LAPACK's own spbtrf factor, on the benchmark's
// system (n = 2,000,000, half bandwidth 8) for 1, 4, 16 and 64 right-hand
// sides. Both factors are made once, untimed; every round then times one
// solve of each contender at each nrhs, alternating, from a fresh copy of B
// (copied outside the timed interval). Prints the median and the minimum of
// each contender's times, its largest error against the exact solution, its
// ratio to spbtrs's median at the same nrhs and the cost of nrhs right-hand
// sides against one for the same contender.
//
// It also checks the statement of solver.hpp that the pipelined drivers'
// factor is LAPACK's lower band factor: spbtrs('L') on the factor that
// pchol_pipelined_solve4 leaves with nrhs = 0 solves the system.
//
// Usage: factored_bench [rounds] [largest nrhs]   (defaults 7 and 64)
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/test_system.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
// LAPACK's banded Cholesky routines (Fortran calling convention).
void spbtrf_(const char* uplo, const int* n, const int* kd, float* ab, const int* ldab, int* info, std::size_t);
void spbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const float* ab, const int* ldab,
             float* b, const int* ldb, int* info, std::size_t);
}

namespace {

using clock_type = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 != 0 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// Largest |x - exact| over the first length entries.
double max_error(const std::vector<float>& x, const std::vector<float>& exact, std::size_t length) {
    double e = 0;
    for (std::size_t k = 0; k < length; ++k)
        e = std::max(e, std::fabs(static_cast<double>(x[k]) - static_cast<double>(exact[k])));
    return e;
}

struct contender {
    std::string name;
    int threads;  // 0: LAPACK
    int nrhs;
    std::vector<double> seconds;
    double error = 0;
    int info = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const std::int32_t largest = argc > 2 ? std::max(1, std::atoi(argv[2])) : 64;
    const std::int32_t n = 2000000, hbw = 8;
    const int ni = n, kd = hbw, ldab = hbw + 1;
    const std::size_t rows = static_cast<std::size_t>(n);
    const std::size_t band_length = rows + static_cast<std::size_t>(n - 1) * hbw;

    // The system with `largest` right-hand sides: the test system's first
    // column, each further column the same system for another exact solution.
    std::vector<float> A0(band_length), B0(rows * static_cast<std::size_t>(largest)),
        X(rows * static_cast<std::size_t>(largest));
    make_test_system(A0.data(), B0.data(), X.data(), n, hbw, largest);

    std::int32_t processors = 0;
    count_processors(processors);
    std::printf("System: n = %d, half bandwidth %d; %d rounds, contenders alternating\n", n, hbw, rounds);
    std::printf("Build: %s\n", PCHOL_BENCH_BUILD);
    std::printf("Processors available: %d\n\n", processors);

    // The factors, untimed. The band array is LAPACK's lower band storage
    // with LDAB = hbw + 1 (row r of the upper triangle is column r of the
    // lower one), so spbtrf('L') factors a copy of it as it is.
    std::vector<float> lapack_factor = A0;
    int info = 0;
    spbtrf_("L", &ni, &kd, lapack_factor.data(), &ldab, &info, 1);
    if (info != 0) {
        std::printf("spbtrf failed: info = %d\n", info);
        return 1;
    }
    std::vector<float> factor = A0;
    std::vector<float> work(static_cast<std::size_t>(pchol_workspace_size4(n, hbw)));
    std::int32_t pinfo = 0;
    set_thread_count(2);
    pchol_factor4(factor.data(), n, hbw, work.data(), pinfo);
    if (pinfo != 0) {
        std::printf("pchol_factor4 failed: info = %d\n", pinfo);
        return 1;
    }

    // The pipelined factor handed to spbtrs('L').
    {
        std::vector<float> natural = A0;
        const std::int32_t none = 0;
        pchol_pipelined_solve4(natural.data(), n, hbw, nullptr, none, nullptr, pinfo);
        std::vector<float> b(B0.begin(), B0.begin() + static_cast<std::ptrdiff_t>(rows));
        const std::vector<float> x(X.begin(), X.begin() + static_cast<std::ptrdiff_t>(rows));
        const int one = 1;
        spbtrs_("L", &ni, &kd, &one, natural.data(), &ldab, b.data(), &ni, &info, 1);
        std::printf("spbtrs('L') on pchol_pipelined_solve4's factor: info %d %d, largest error %.3e\n\n", pinfo,
                    info, max_error(b, x, rows));
    }

    // Every contender at every nrhs in each round, so that the cost of nrhs
    // right-hand sides against one compares times of the same rounds.
    std::vector<contender> all;
    for (const std::int32_t nrhs : {1, 4, 16, 64}) {
        if (nrhs > largest) break;
        all.push_back({"LAPACK spbtrs", 0, nrhs, {}, 0, 0});
        all.push_back({"pchol_factored_solve4, 1 t", 1, nrhs, {}, 0, 0});
        all.push_back({"pchol_factored_solve4, 2 t", 2, nrhs, {}, 0, 0});
    }
    std::vector<float> B;
    // One untimed warm-up round, then the timed ones.
    for (int round = -1; round < rounds; ++round) {
        for (contender& c : all) {
            const std::size_t length = rows * static_cast<std::size_t>(c.nrhs);
            B.assign(B0.begin(), B0.begin() + static_cast<std::ptrdiff_t>(length));
            if (c.threads > 0) set_thread_count(c.threads);
            const auto start = clock_type::now();
            if (c.threads == 0) {
                spbtrs_("L", &ni, &kd, &c.nrhs, lapack_factor.data(), &ldab, B.data(), &ni, &c.info, 1);
            } else {
                std::int32_t i = 0;
                pchol_factored_solve4(factor.data(), n, hbw, B.data(), c.nrhs, work.data(), i);
                c.info = i;
            }
            const auto stop = clock_type::now();
            if (round >= 0) c.seconds.push_back(std::chrono::duration<double>(stop - start).count());
            c.error = std::max(c.error, max_error(B, X, length));
        }
    }

    std::printf("%-28s %5s %10s %10s %11s %10s %9s\n", "contender", "nrhs", "median s", "min s", "max |x-x*|",
                "/ spbtrs", "/ nrhs 1");
    for (std::size_t k = 0; k < all.size(); ++k) {
        const contender& c = all[k];
        const double med = median(c.seconds);
        const double lapack = median(all[k - k % 3].seconds);  // spbtrs at the same nrhs
        const double one = median(all[k % 3].seconds);          // the same contender at nrhs 1
        std::printf("%-28s %5d %10.4f %10.4f %11.3e %10.3f %9.2f%s\n", c.name.c_str(), c.nrhs, med,
                    *std::min_element(c.seconds.begin(), c.seconds.end()), c.error, med / lapack, med / one,
                    c.info != 0 ? "  (info != 0)" : "");
    }
    return 0;
}

// Solves a small band system in double precision with two right-hand sides
// whose solutions are known, on two threads, and checks the answer. Exit
// status 0 when it holds.
#include <pchol/settings.hpp>
#include <pchol/solver.hpp>
#include <pchol/version.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

int main() {
    const std::int32_t n = 40;
    const std::int32_t hbw = 3;
    const std::int32_t nrhs = 2;

    // The band, stored by rows, diagonal first: entry (r, c) is
    // A[(r - 1) * hbw + c - 1]. 10 on the diagonal, -1 on the band beside it.
    auto at = [&](std::int32_t r, std::int32_t c) { return static_cast<std::size_t>((r - 1) * hbw + c - 1); };
    std::vector<double> A(static_cast<std::size_t>((n - 1) * hbw + n));
    for (std::int32_t r = 1; r <= n; ++r)
        for (std::int32_t c = r; c <= std::min(r + hbw, n); ++c) A[at(r, c)] = c == r ? 10.0 : -1.0;

    // B = A X for the solutions X(r, k) = k + r / 8, computed from the band.
    auto x = [](std::int32_t r, std::int32_t k) { return k + r / 8.0; };
    std::vector<double> B(static_cast<std::size_t>(n) * nrhs);
    for (std::int32_t k = 1; k <= nrhs; ++k)
        for (std::int32_t r = 1; r <= n; ++r) {
            double sum = 0;
            for (std::int32_t c = std::max(r - hbw, 1); c <= std::min(r + hbw, n); ++c)
                sum += A[c >= r ? at(r, c) : at(c, r)] * x(c, k);
            B[static_cast<std::size_t>((k - 1) * n + r - 1)] = sum;
        }

    std::vector<double> work(static_cast<std::size_t>(pchol_workspace_size3(n, hbw)));
    set_thread_count(2);
    std::int32_t info = -99;
    pchol_solve3(A.data(), n, hbw, B.data(), nrhs, work.data(), info);
    if (info != pchol::info_ok) {
        std::printf("pchol_solve3 failed: info = %d\n", static_cast<int>(info));
        return 1;
    }

    double worst = 0;
    for (std::int32_t k = 1; k <= nrhs; ++k)
        for (std::int32_t r = 1; r <= n; ++r)
            worst = std::max(worst, std::fabs(B[static_cast<std::size_t>((k - 1) * n + r - 1)] - x(r, k)));
    std::printf("C++ example: n = %d, hbw = %d, largest error %.2e\n", static_cast<int>(n), static_cast<int>(hbw),
                worst);

    // The library this program runs with is the one its headers describe.
    std::int32_t major = -1, minor = -1, patch = -1;
    pchol_get_version(major, minor, patch);
    std::printf("pchol %s (headers %s)\n", pchol_version_string(), PCHOL_VERSION);
    if (major != PCHOL_VERSION_MAJOR || minor != PCHOL_VERSION_MINOR || patch != PCHOL_VERSION_PATCH) return 1;
    return worst < 1e-12 ? 0 : 1;
}

// A user's shared library around pchol: its one entry point solves the
// diagonally dominant system 4 on the diagonal, -1 beside it, with the
// right-hand side A * (1, 1, ..., 1), and gives the largest error.
#include <pchol/settings.hpp>
#include <pchol/solver.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

extern "C" __attribute__((visibility("default"))) double user_solve(std::int32_t n) {
    const std::int32_t hbw = 1;
    const std::int32_t nrhs = 1;
    std::vector<double> A(static_cast<std::size_t>(2 * n - 1));
    std::vector<double> B(static_cast<std::size_t>(n));
    for (std::int32_t r = 0; r < n; ++r) {
        A[static_cast<std::size_t>(2 * r)] = 4;
        if (r + 1 < n) A[static_cast<std::size_t>(2 * r + 1)] = -1;
        B[static_cast<std::size_t>(r)] = 4 - (r > 0 ? 1 : 0) - (r + 1 < n ? 1 : 0);
    }
    std::vector<double> work(static_cast<std::size_t>(pchol_workspace_size3(n, hbw)));
    std::int32_t info = -99;
    set_thread_count(2);
    pchol_solve3(A.data(), n, hbw, B.data(), nrhs, work.data(), info);
    if (info != pchol::info_ok) return -1;
    double worst = 0;
    for (const double x : B) worst = std::max(worst, std::fabs(x - 1));
    return worst;
}

// The double-precision real solver: element type double, tuning routine
// set_block_size (the same as the single-precision solver's).
#include "parallel_solver.hpp"
#include "pchol/solver.hpp"
#include "tuning.hpp"

void pchol_worker3(double* const& A, const std::int32_t& n, const std::int32_t& hbw, double* const& B,
                   const std::int32_t& nrhs, double* const& links, double* const& spikes,
                   const std::int32_t& counter_mutex, const std::int32_t (&sync_pair)[2],
                   const std::int32_t& block_rows, const std::int32_t& num_threads, std::int32_t& level_scale,
                   std::int32_t& neighbour_dist, std::int32_t& sweep_stride, std::int32_t& level_first,
                   std::int32_t& next_row, std::int32_t& back_row, const double& tol,
                   std::int32_t (&fail_flags)[2]) {
    pchol::detail::parallel_worker<double>(A, n, hbw, B, nrhs, links, spikes, counter_mutex, sync_pair, block_rows,
                                           num_threads, level_scale, neighbour_dist, sweep_stride, level_first,
                                           next_row, back_row, tol, fail_flags);
}

void pchol_solve3(double* A, const std::int32_t& n, const std::int32_t& hbw, double* B, const std::int32_t& nrhs,
                  double* WORK, std::int32_t& info) {
    pchol::detail::parallel_solve<double>(A, n, hbw, B, nrhs, WORK, info, pchol::detail::set_block_size, pchol_worker3);
}

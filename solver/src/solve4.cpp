// The single-precision real solver: element type float, tuning routine
// set_block_size.
#include "parallel_solver.hpp"
#include "pchol/solver.hpp"
#include "tuning.hpp"

void pchol_worker4(float* const& A, const std::int32_t& n, const std::int32_t& hbw, float* const& B,
                   const std::int32_t& nrhs, float* const& links, float* const& spikes,
                   const std::int32_t& counter_mutex, const std::int32_t (&sync_pair)[2],
                   const std::int32_t& block_rows, const std::int32_t& num_threads, std::int32_t& level_scale,
                   std::int32_t& neighbour_dist, std::int32_t& sweep_stride, std::int32_t& level_first,
                   std::int32_t& next_row, std::int32_t& back_row, const float& tol,
                   std::int32_t (&fail_flags)[2]) {
    pchol::detail::parallel_worker<float>(A, n, hbw, B, nrhs, links, spikes, counter_mutex, sync_pair, block_rows,
                                          num_threads, level_scale, neighbour_dist, sweep_stride, level_first,
                                          next_row, back_row, tol, fail_flags);
}

void pchol_solve4(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B, const std::int32_t& nrhs,
                  float* WORK, std::int32_t& info) {
    pchol::detail::parallel_solve<float>(A, n, hbw, B, nrhs, WORK, info, pchol::detail::set_block_size,
                                         pchol_worker4);
}

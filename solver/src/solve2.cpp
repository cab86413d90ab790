// The complex single-precision solver: element type std::complex<float> (complex
// symmetric, never conjugated), tuning routine set_block_size_by_threads.
#include "parallel_solver.hpp"
#include "pchol/solver.hpp"

namespace {
using element = std::complex<float>;
}

void pchol_worker2(element* const& A, const std::int32_t& n, const std::int32_t& hbw, element* const& B,
                   const std::int32_t& nrhs, element* const& links, element* const& spikes,
                   const std::int32_t& counter_mutex, const std::int32_t (&sync_pair)[2],
                   const std::int32_t& block_rows, const std::int32_t& num_threads, std::int32_t& level_scale,
                   std::int32_t& neighbour_dist, std::int32_t& sweep_stride, std::int32_t& level_first,
                   std::int32_t& next_row, std::int32_t& back_row, const float& tol,
                   std::int32_t (&fail_flags)[2]) {
    pchol::detail::parallel_worker<element>(A, n, hbw, B, nrhs, links, spikes, counter_mutex, sync_pair, block_rows,
                                            num_threads, level_scale, neighbour_dist, sweep_stride, level_first,
                                            next_row, back_row, tol, fail_flags);
}

void pchol_solve2(element* A, const std::int32_t& n, const std::int32_t& hbw, element* B, const std::int32_t& nrhs,
                  element* WORK, std::int32_t& info) {
    pchol::detail::parallel_solve<element>(A, n, hbw, B, nrhs, WORK, info, set_block_size_by_threads, pchol_worker2);
}

// The pipelined band routines: the same band system as the block-cyclic-
// reduction solver (storage as in solver.hpp), factored and solved in the
// natural row order by a team of threads, as a pipeline of stages. In each
// stage one thread factors (or solves) the next panel of panel_rows
// consecutive rows while the others finish the rows of the panel before it in
// the columns that the band reaches beyond it:
//
//   stage s:   rows G..F (finished panel)  | new panel a..a+v-1 (diagonal task)
//              columns a..a+hbw of G..F are handed out as tasks of v (the
//              diagonal task) and 2v columns; the diagonal task also factors
//              the new panel with every row above it within reach.
//
// So the parallelism of a stage is bounded by the band width: with
// panel_rows > hbw the diagonal task is the only one.
//
// Every thread of the team calls the routine with the same arguments, all by
// reference (as thr_startN hands them on). The shared counters must hold, at
// entry: panel_first = task_row = 1, panel_last = back_task_row = n, both
// fail_flags 0, and sync_pair[0] armed (sync_reset) for num_threads parties.
// Every thread makes the same barriers, on the two points alternately from
// sync_pair[0] on: pipelined_factor one per panel, max(1, ceil(n / panel_rows)),
// the other two twice as many (their forward and backward halves have as many
// stages each). So at return sync_pair[0] is armed again after an even number
// of barriers, sync_pair[1] after an odd one; the counters are left as they
// are. Tasks are taken from the cursors under counter_mutex; the thread
// released first from a barrier updates the counters.
//
// A non-positive pivot (for the complex types: a zero modulus) sets one of
// the two fail_flags, whichever the stage reported into, to -1; every thread
// returns after the barrier of that stage, with A and B partly overwritten.
// A panel_rows below 1 counts as 1. n must not be negative and n + hbw +
// 3 * panel_rows must fit a 32-bit integer (the drivers check both, and
// return at once for n <= 0 without starting a team).
//
// B is one right-hand side of n elements, overwritten by the solution.
// The routines compute in their thread's floating-point mode as they find it;
// the drivers pchol_pipelined_solveK set the mode of set_subnormal_flush
// (settings.hpp) in every thread of their team.
// Instantiated for float, double, std::complex<double> and
// std::complex<float> (complex symmetric: never conjugated).
#pragma once

#include "pchol/band_kernels.hpp"

#include "pchol/export.h"
#include <complex>
#include <cstdint>

namespace pchol {

// Factors A = U^T U in place.
template <class T>
PCHOL_API void pipelined_factor(T* const& A, const std::int32_t& n, const std::int32_t& hbw,
                                const std::int32_t& panel_rows, const std::int32_t& counter_mutex,
                                const std::int32_t (&sync_pair)[2], const std::int32_t& num_threads,
                                std::int32_t& panel_first, std::int32_t& task_row, const real_of_t<T>& tol,
                                std::int32_t (&fail_flags)[2]);

// Forward and back substitution of B with a factor that pipelined_factor (or
// pipelined_factor_solve) left in A. Checks nothing.
template <class T>
PCHOL_API void pipelined_solve(T* const& A, const std::int32_t& n, const std::int32_t& hbw, T* const& B,
                               const std::int32_t& panel_rows, const std::int32_t& counter_mutex,
                               const std::int32_t (&sync_pair)[2], const std::int32_t& num_threads,
                               std::int32_t& panel_first, std::int32_t& task_row, std::int32_t& panel_last,
                               std::int32_t& back_task_row);

// The factorisation together with the forward substitution of B, then the
// back substitution.
template <class T>
PCHOL_API void pipelined_factor_solve(T* const& A, const std::int32_t& n, const std::int32_t& hbw, T* const& B,
                                      const std::int32_t& panel_rows, const std::int32_t& counter_mutex,
                                      const std::int32_t (&sync_pair)[2], const std::int32_t& num_threads,
                                      std::int32_t& panel_first, std::int32_t& task_row, std::int32_t& panel_last,
                                      std::int32_t& back_task_row, const real_of_t<T>& tol,
                                      std::int32_t (&fail_flags)[2]);

}  // namespace pchol

// The parallel banded solver for symmetric positive-definite systems A X = B.
//
// Storage (every array counts from 1 in the comments, from 0 in C++):
//
//   A, the band: the upper triangle by rows, diagonal first. Row r takes
//   hbw + 1 consecutive slots, (r,r) (r,r+1) ... (r,r+hbw); entry (r, c) is at
//   position (r - 1) * hbw + c. For hbw = 2:
//
//       position  1     2     3     4     5     6     7 ...
//       entry    (1,1) (1,2) (1,3) (2,2) (2,3) (2,4) (3,3) ...
//
//   The array holds (n - 1) * hbw + n elements; slots of the last rows that
//   would lie past column n are never read or written (with one exception:
//   when the last block of rows is shorter than hbw, the solver may use
//   slots past column n of the row before it as scratch; nothing reads them).
//
//   B: n by nrhs, column-major; overwritten by the solutions.
//   WORK: 2 * n * hbw elements of scratch.
//
// The solve factors A = U^T U in a permuted block order (block cyclic
// reduction): afterwards A holds the factors of that order, not of the
// natural one. The results are the same, bit for bit, for every thread count
// and for every x86-64 build of the same source with g++ 12 or clang++ 14,
// native or portable (docs/performance.md lists what is not covered).
#pragma once

#include <complex>
#include <cstdint>

namespace pchol {

// The solver's result codes (info).
inline constexpr std::int32_t info_ok = 0;
// A pivot was not positive: A and B are partly overwritten and of no use.
inline constexpr std::int32_t info_pivot_failed = -1;
// hbw < 0, or the band (n - 1) * hbw + n or the scratch 2 * n * hbw does not
// fit a 32-bit count, or the solver's 32-bit row counters would overflow
// (only with hbw = 0 and n beyond about 1.2e9): nothing was touched.
inline constexpr std::int32_t info_bad_arguments = -2;
// The solver's mutex, a synchronisation point or a worker thread could not be
// created. Without the mutex or a point nothing was computed and A and B are
// as they were. With a worker thread missing the solve ran to the end on the
// threads that did start: A and B hold the factor and the solution, exactly
// as with any other thread count.
inline constexpr std::int32_t info_no_resources = -3;

}  // namespace pchol

// The length of WORK, in elements, that pchol_solve4 needs for n equations of
// half bandwidth hbw: 2 * n * hbw, and 0 when n or hbw is not positive. The
// count is 64-bit so that it never overflows; a system whose count passes
// 2^31 - 1 is refused by the solver (info_bad_arguments).
constexpr std::int64_t pchol_workspace_size4(const std::int32_t& n, const std::int32_t& hbw) noexcept {
    return n > 0 && hbw > 0 ? 2 * std::int64_t{n} * hbw : 0;
}
// The same for pchol_solve1, 2 and 3, in their own elements.
constexpr std::int64_t pchol_workspace_size1(const std::int32_t& n, const std::int32_t& hbw) noexcept {
    return pchol_workspace_size4(n, hbw);
}
constexpr std::int64_t pchol_workspace_size2(const std::int32_t& n, const std::int32_t& hbw) noexcept {
    return pchol_workspace_size4(n, hbw);
}
constexpr std::int64_t pchol_workspace_size3(const std::int32_t& n, const std::int32_t& hbw) noexcept {
    return pchol_workspace_size4(n, hbw);
}
// The pipelined drivers (below) use no scratch: 0, and WORK may be null.
constexpr std::int64_t pchol_pipelined_workspace_size1(const std::int32_t&, const std::int32_t&) noexcept {
    return 0;
}
constexpr std::int64_t pchol_pipelined_workspace_size2(const std::int32_t&, const std::int32_t&) noexcept {
    return 0;
}
constexpr std::int64_t pchol_pipelined_workspace_size3(const std::int32_t&, const std::int32_t&) noexcept {
    return 0;
}
constexpr std::int64_t pchol_pipelined_workspace_size4(const std::int32_t&, const std::int32_t&) noexcept {
    return 0;
}

// Solves A X = B with the thread count of get_thread_count (settings.hpp),
// at least 1 and at most 32. n <= 0 or nrhs <= 0 are valid: with n <= 0
// nothing is touched, with nrhs <= 0 only A is factored. Allocates nothing.
void pchol_solve4(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B, const std::int32_t& nrhs,
                  float* WORK, std::int32_t& info);

// The routine every thread of pchol_solve4 runs, the calling thread included,
// with the same 19 arguments; no thread index: blocks are handed out from the
// cursors next_row and back_row under counter_mutex, and the sweeps are
// separated by barriers on the two points of sync_pair, used alternately.
// links and spikes are the two halves of WORK. The counters are the
// solver's shared state, initially level_scale 1, neighbour_dist block_rows,
// sweep_stride 2 * block_rows, level_first 1, next_row 1, back_row 0, both
// fail_flags 0, with sync_pair[0] armed for num_threads parties. A failed
// pivot sets fail_flags[0] to -1; every thread then returns after the
// barrier that ends that sweep. The worker runs in the floating-point mode
// that set_subnormal_flush (settings.hpp) chooses and gives its thread's own
// mode back when it returns.
void pchol_worker4(float* const& A, const std::int32_t& n, const std::int32_t& hbw, float* const& B,
                   const std::int32_t& nrhs, float* const& links, float* const& spikes,
                   const std::int32_t& counter_mutex, const std::int32_t (&sync_pair)[2],
                   const std::int32_t& block_rows, const std::int32_t& num_threads, std::int32_t& level_scale,
                   std::int32_t& neighbour_dist, std::int32_t& sweep_stride, std::int32_t& level_first,
                   std::int32_t& next_row, std::int32_t& back_row, const float& tol,
                   std::int32_t (&fail_flags)[2]);

// ---- The other element types ------------------------------------------------
// The same solver, driver and worker in three more element types, with the
// same arguments and results as pchol_solve4 and pchol_worker4:
//
//   pchol_solve3  double                  tuning as pchol_solve4
//   pchol_solve1  std::complex<double>    tuning set_block_size_by_threads
//   pchol_solve2  std::complex<float>     tuning set_block_size_by_threads
//
// The complex solvers take a complex symmetric matrix, A(r, c) = A(c, r) with
// no conjugation, and factor A = U^T U with the plain transpose; both
// substitutions use the plain transpose as well. A pivot fails only when its
// modulus is not above 0 (both parts zero); a negative real pivot is
// accepted and takes the principal root (-4 + 0i becomes 0 + 2i); NaN and
// infinite pivots do not fail.
//
// Blocking: the tuning value block_size is process-wide and is fixed by the
// first solve of the process, of whichever element type: pchol_solve4 and
// pchol_solve3 set 24; pchol_solve1 and pchol_solve2 set 16 when the thread
// count is at most 2 and 8 otherwise. Every later solve keeps it. Blocks have
// max(block_size^2 / max(hbw, 1), hbw + 1) rows.
void pchol_solve3(double* A, const std::int32_t& n, const std::int32_t& hbw, double* B, const std::int32_t& nrhs,
                  double* WORK, std::int32_t& info);
void pchol_solve1(std::complex<double>* A, const std::int32_t& n, const std::int32_t& hbw, std::complex<double>* B,
                  const std::int32_t& nrhs, std::complex<double>* WORK, std::int32_t& info);
void pchol_solve2(std::complex<float>* A, const std::int32_t& n, const std::int32_t& hbw, std::complex<float>* B,
                  const std::int32_t& nrhs, std::complex<float>* WORK, std::int32_t& info);

void pchol_worker3(double* const& A, const std::int32_t& n, const std::int32_t& hbw, double* const& B,
                   const std::int32_t& nrhs, double* const& links, double* const& spikes,
                   const std::int32_t& counter_mutex, const std::int32_t (&sync_pair)[2],
                   const std::int32_t& block_rows, const std::int32_t& num_threads, std::int32_t& level_scale,
                   std::int32_t& neighbour_dist, std::int32_t& sweep_stride, std::int32_t& level_first,
                   std::int32_t& next_row, std::int32_t& back_row, const double& tol,
                   std::int32_t (&fail_flags)[2]);
void pchol_worker1(std::complex<double>* const& A, const std::int32_t& n, const std::int32_t& hbw,
                   std::complex<double>* const& B, const std::int32_t& nrhs, std::complex<double>* const& links,
                   std::complex<double>* const& spikes, const std::int32_t& counter_mutex,
                   const std::int32_t (&sync_pair)[2], const std::int32_t& block_rows,
                   const std::int32_t& num_threads, std::int32_t& level_scale, std::int32_t& neighbour_dist,
                   std::int32_t& sweep_stride, std::int32_t& level_first, std::int32_t& next_row,
                   std::int32_t& back_row, const double& tol, std::int32_t (&fail_flags)[2]);
void pchol_worker2(std::complex<float>* const& A, const std::int32_t& n, const std::int32_t& hbw,
                   std::complex<float>* const& B, const std::int32_t& nrhs, std::complex<float>* const& links,
                   std::complex<float>* const& spikes, const std::int32_t& counter_mutex,
                   const std::int32_t (&sync_pair)[2], const std::int32_t& block_rows,
                   const std::int32_t& num_threads, std::int32_t& level_scale, std::int32_t& neighbour_dist,
                   std::int32_t& sweep_stride, std::int32_t& level_first, std::int32_t& next_row,
                   std::int32_t& back_row, const float& tol, std::int32_t (&fail_flags)[2]);

// The complex solvers' tuning routine: when block_size is still unset, 16 if
// the thread count (get_thread_count) is at most 2, else 8; otherwise nothing.
void set_block_size_by_threads();

// ---- Pipelined drivers ---------------------------------------------------------------
// The same system solved with the pipelined band routines (pipelined.hpp):
// factored and solved in the natural row order by a team of get_thread_count
// threads, started as pchol_solve4 starts its workers. The first right-hand
// side is forward-solved along with the factorisation, each further one
// after it; with nrhs <= 0 A is only factored. A then holds the factor of the
// natural order. The results are the same, bit for bit, for every thread
// count, and equal to the block solvers' up to rounding.
//
// WORK is not used (it is there so that the arguments are those of
// pchol_solveK); it may be null. block_size is neither read nor set.
// info as for pchol_solve4: info_ok, info_pivot_failed, info_bad_arguments
// (nothing touched; also when n + hbw + 3 * pipelined_panel_rows passes the
// 32-bit range), info_no_resources.
void pchol_pipelined_solve1(std::complex<double>* A, const std::int32_t& n, const std::int32_t& hbw,
                            std::complex<double>* B, const std::int32_t& nrhs, std::complex<double>* WORK,
                            std::int32_t& info);
void pchol_pipelined_solve2(std::complex<float>* A, const std::int32_t& n, const std::int32_t& hbw,
                            std::complex<float>* B, const std::int32_t& nrhs, std::complex<float>* WORK,
                            std::int32_t& info);
void pchol_pipelined_solve3(double* A, const std::int32_t& n, const std::int32_t& hbw, double* B,
                            const std::int32_t& nrhs, double* WORK, std::int32_t& info);
void pchol_pipelined_solve4(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B,
                            const std::int32_t& nrhs, float* WORK, std::int32_t& info);

namespace pchol {

// The panel length the drivers pass to the pipelined routines. With the
// benchmark's system (hbw = 8) a panel longer than hbw leaves the diagonal
// task as a stage's only task, so the second thread of a team mostly waits,
// and shorter panels, which would give it work, cost far more in barriers
// (two per panel, some microseconds each with two threads) than the work
// saves. Measured with bench/family_bench --panels (medians, 2 threads /
// 1 thread): single precision 12 s / 0.13 s at 8 rows, 3.0 / 0.093 at 32,
// 0.13 / 0.067 at 512, 0.076 / 0.065 at 4096, 0.068 / 0.065 at 16384;
// complex double 0.155 / 0.131 at 512, 0.127 / 0.123 at 4096, 0.132 / 0.129
// at 16384, where a panel (2.4 MB of band) no longer fits the second-level
// cache. 4096 rows keep the barriers' share small for both. A fixed length
// (not one per thread count) keeps the results the same for every thread
// count.
inline constexpr std::int32_t pipelined_panel_rows = 4096;

}  // namespace pchol

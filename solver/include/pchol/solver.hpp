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

#include "pchol/export.h"

#include <complex>
#include <cstdint>

namespace pchol {

// The solver's result codes (info).
inline constexpr std::int32_t info_ok = 0;
// A pivot was not positive: A and B are partly overwritten and of no use.
inline constexpr std::int32_t info_pivot_failed = -1;
// hbw < 0, or the band (n - 1) * hbw + n or the scratch 2 * n * hbw does not
// fit a 32-bit count, or the solver's 32-bit row counters would overflow
// (only with hbw = 0 and n beyond about 1.2e9), or an array that the call
// uses is null, would pass the end of the address space, or shares memory
// with another (A, B when nrhs > 0, WORK when its size is above 0): nothing
// was touched.
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

// ---- Calls from several threads ---------------------------------------------------
// Every solver and pipelined driver may be called from several threads at
// once, each call on arrays of its own. A call creates its own mutex, two of
// the threading library's 64 synchronisation points and up to 31 worker
// threads (of the library's 1024), and closes or joins all of them before it
// returns. Calls share nothing else but these process-wide settings:
//   - the thread count (set_thread_count): a call reads it once, when it
//     starts, and keeps it to its end; a change made while calls run applies
//     to the calls that start after it;
//   - the subnormal flush (set_subnormal_flush): each thread of a call reads
//     it when it starts; change it only while no call runs, or a call that
//     starts meanwhile may run its threads in both modes;
//   - block_size (below): fixed by the first block solve of the process; when
//     first calls race, the first to set it wins for all of them.
// Each call's results are bit for bit those of the same call made alone.
// When the synchronisation points run out (32 calls at once hold all 64),
// a further call returns info_no_resources at once with A and B untouched.
// When worker threads cannot be started (the thread table is full, or the
// system refuses), the call runs to the end on the threads it has and
// returns info_no_resources with A and B solved.

// Solves A X = B with the thread count of get_thread_count (settings.hpp),
// at least 1 and at most 32. n <= 0 or nrhs <= 0 are valid: with n <= 0
// nothing is touched, with nrhs <= 0 only A is factored. Allocates nothing.
PCHOL_API void pchol_solve4(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B,
                            const std::int32_t& nrhs, float* WORK, std::int32_t& info);

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
PCHOL_API void pchol_worker4(float* const& A, const std::int32_t& n, const std::int32_t& hbw, float* const& B,
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
PCHOL_API void pchol_solve3(double* A, const std::int32_t& n, const std::int32_t& hbw, double* B,
                            const std::int32_t& nrhs, double* WORK, std::int32_t& info);
PCHOL_API void pchol_solve1(std::complex<double>* A, const std::int32_t& n, const std::int32_t& hbw,
                            std::complex<double>* B, const std::int32_t& nrhs, std::complex<double>* WORK,
                            std::int32_t& info);
PCHOL_API void pchol_solve2(std::complex<float>* A, const std::int32_t& n, const std::int32_t& hbw,
                            std::complex<float>* B, const std::int32_t& nrhs, std::complex<float>* WORK,
                            std::int32_t& info);

PCHOL_API void pchol_worker3(double* const& A, const std::int32_t& n, const std::int32_t& hbw, double* const& B,
                             const std::int32_t& nrhs, double* const& links, double* const& spikes,
                             const std::int32_t& counter_mutex, const std::int32_t (&sync_pair)[2],
                             const std::int32_t& block_rows, const std::int32_t& num_threads, std::int32_t& level_scale,
                             std::int32_t& neighbour_dist, std::int32_t& sweep_stride, std::int32_t& level_first,
                             std::int32_t& next_row, std::int32_t& back_row, const double& tol,
                             std::int32_t (&fail_flags)[2]);
PCHOL_API void pchol_worker1(std::complex<double>* const& A, const std::int32_t& n, const std::int32_t& hbw,
                             std::complex<double>* const& B, const std::int32_t& nrhs,
                             std::complex<double>* const& links, std::complex<double>* const& spikes,
                             const std::int32_t& counter_mutex, const std::int32_t (&sync_pair)[2],
                             const std::int32_t& block_rows, const std::int32_t& num_threads, std::int32_t& level_scale,
                             std::int32_t& neighbour_dist, std::int32_t& sweep_stride, std::int32_t& level_first,
                             std::int32_t& next_row, std::int32_t& back_row, const double& tol,
                             std::int32_t (&fail_flags)[2]);
PCHOL_API void pchol_worker2(std::complex<float>* const& A, const std::int32_t& n, const std::int32_t& hbw,
                             std::complex<float>* const& B, const std::int32_t& nrhs, std::complex<float>* const& links,
                             std::complex<float>* const& spikes, const std::int32_t& counter_mutex,
                             const std::int32_t (&sync_pair)[2], const std::int32_t& block_rows,
                             const std::int32_t& num_threads, std::int32_t& level_scale, std::int32_t& neighbour_dist,
                             std::int32_t& sweep_stride, std::int32_t& level_first, std::int32_t& next_row,
                             std::int32_t& back_row, const float& tol, std::int32_t (&fail_flags)[2]);

// ---- Factor once, solve many ---------------------------------------------------
// The block solvers split in two, for systems solved again and again with the
// same matrix (time steps, load cases, iterative refinement):
//
//   pchol_factorK(A, n, hbw, WORK, info)
//     factors A in place and leaves in WORK (pchol_workspace_sizeK elements)
//     what the solves need: pchol_solveK with nrhs = 0, the same schedule,
//     threads and failure rules (info_pivot_failed, and A and WORK then
//     partly overwritten). A holds the same factor, bit for bit; WORK holds
//     the same couplings, not in pchol_solveK's layout but level by level,
//     in the order the solves read them.
//   pchol_factored_solveK(A, n, hbw, B, nrhs, WORK, info)
//     solves for the nrhs right-hand sides in B with the factor that
//     pchol_factorK left in A and WORK, which it only reads; the same blocks
//     and sweeps on the same threads, without the factorisation.
//
// pchol_factorK followed by pchol_factored_solveK stores the same A and B, bit
// for bit, as one pchol_solveK, for every thread count (the factor and the
// solves may even run on different thread counts); solving the same B again
// gives the same bits again.
//
// Arguments as for pchol_solveK: n <= 0 and nrhs <= 0 are valid (nothing to
// do), and sizes that pchol_solveK refuses are refused alike, with
// info_bad_arguments and nothing touched. info_no_resources as there: without
// the mutex or a synchronisation point nothing was computed; with a worker
// thread missing the rest of the team did all the work. A factored solve
// cannot fail otherwise: it returns info_ok.
//
// What the factored solve cannot check: whether A and WORK hold a factor.
// Testing that would cost as much as factoring again, so nothing tests it.
// The caller passes them as pchol_factorK left them, with the same n and hbw,
// in the same process (the block length comes from the process-wide
// block_size, which the first solve of a process fixes). After a failed
// pchol_factorK (info_pivot_failed) they hold no usable factor: a factored
// solve still runs and returns info_ok, but B then holds meaningless values,
// possibly infinities or NaNs. Checking the factor's info is the caller's
// part.
//
// The block solvers' factor is in the block-cyclic order, with its couplings
// in WORK; no other routine can use it. The pipelined drivers (below), run
// with nrhs = 0, leave the natural-order factor instead: for the real types
// the band array is then LAPACK's lower band storage (LDAB = hbw + 1) of the
// Cholesky factor L = U^T, which ?pbtrs('L') takes as it is (it reads only
// the elements inside the band, so the (n - 1) * hbw + n elements suffice).
PCHOL_API void pchol_factor4(float* A, const std::int32_t& n, const std::int32_t& hbw, float* WORK, std::int32_t& info);
PCHOL_API void pchol_factor3(double* A, const std::int32_t& n, const std::int32_t& hbw, double* WORK, std::int32_t& info);
PCHOL_API void pchol_factor2(std::complex<float>* A, const std::int32_t& n, const std::int32_t& hbw,
                   std::complex<float>* WORK, std::int32_t& info);
PCHOL_API void pchol_factor1(std::complex<double>* A, const std::int32_t& n, const std::int32_t& hbw,
                   std::complex<double>* WORK, std::int32_t& info);

PCHOL_API void pchol_factored_solve4(const float* A, const std::int32_t& n, const std::int32_t& hbw, float* B,
                           const std::int32_t& nrhs, const float* WORK, std::int32_t& info);
PCHOL_API void pchol_factored_solve3(const double* A, const std::int32_t& n, const std::int32_t& hbw, double* B,
                           const std::int32_t& nrhs, const double* WORK, std::int32_t& info);
PCHOL_API void pchol_factored_solve2(const std::complex<float>* A, const std::int32_t& n, const std::int32_t& hbw,
                           std::complex<float>* B, const std::int32_t& nrhs, const std::complex<float>* WORK,
                           std::int32_t& info);
PCHOL_API void pchol_factored_solve1(const std::complex<double>* A, const std::int32_t& n, const std::int32_t& hbw,
                           std::complex<double>* B, const std::int32_t& nrhs, const std::complex<double>* WORK,
                           std::int32_t& info);

// The complex solvers' tuning routine: when block_size is still unset, 16 if
// the thread count (get_thread_count) is at most 2, else 8; otherwise nothing.
PCHOL_API void set_block_size_by_threads();

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
PCHOL_API void pchol_pipelined_solve1(std::complex<double>* A, const std::int32_t& n, const std::int32_t& hbw,
                                      std::complex<double>* B, const std::int32_t& nrhs, std::complex<double>* WORK,
                                      std::int32_t& info);
PCHOL_API void pchol_pipelined_solve2(std::complex<float>* A, const std::int32_t& n, const std::int32_t& hbw,
                                      std::complex<float>* B, const std::int32_t& nrhs, std::complex<float>* WORK,
                                      std::int32_t& info);
PCHOL_API void pchol_pipelined_solve3(double* A, const std::int32_t& n, const std::int32_t& hbw, double* B,
                                      const std::int32_t& nrhs, double* WORK, std::int32_t& info);
PCHOL_API void pchol_pipelined_solve4(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B,
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

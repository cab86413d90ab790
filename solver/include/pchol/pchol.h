/* The C interface of the parallel banded solver (C99; also valid C++).
 *
 * Solves A X = B for a symmetric positive-definite band matrix A of n rows
 * and half bandwidth hbw, on the thread count set with pchol_set_thread_count.
 * Every argument is a pointer, as a Fortran caller passes it; arrays count
 * from 1 in the comments below, from 0 in C.
 *
 *   A, the band: the upper triangle by rows, diagonal first. Row r takes
 *   hbw + 1 consecutive elements, (r,r) (r,r+1) ... (r,r+hbw); entry (r, c)
 *   is element (r - 1) * hbw + c. For hbw = 2:
 *
 *       element  1     2     3     4     5     6     7 ...
 *       entry    (1,1) (1,2) (1,3) (2,2) (2,3) (2,4) (3,3) ...
 *
 *   The array holds (n - 1) * hbw + n elements; the slots of the last rows
 *   past column n are not part of the matrix. A is overwritten by its factor.
 *
 *   B: n by nrhs elements, column-major (B(r, k) is element (k - 1) * n + r);
 *   overwritten by the solutions.
 *
 *   WORK: scratch of pchol_workspace_sizeK(n, hbw) elements for pchol_solveK
 *   (pchol_pipelined_workspace_sizeK for pchol_pipelined_solveK).
 *
 * n <= 0 and nrhs <= 0 are valid: with n <= 0 nothing is touched, with
 * nrhs <= 0 only A is factored. The solvers allocate nothing.
 *
 * Null pointers: with info null a call does nothing at all. With n, hbw or
 * nrhs null, or with A null for n > 0, B null for n > 0 and nrhs > 0, or WORK
 * null when the workspace size is above 0, info becomes
 * PCHOL_INFO_BAD_ARGUMENTS and nothing is touched.
 *
 * The thread count is process-wide. The solvers may be called from several
 * threads at once, each call on its own arrays: a call reads the thread
 * count when it starts, its results are bit for bit those of a lone call,
 * and a call that finds no synchronisation point free (32 calls at once
 * hold them all) returns PCHOL_INFO_NO_RESOURCES at once, touching nothing.
 * pchol/solver.hpp says what calls share.
 */
#ifndef PCHOL_PCHOL_H
#define PCHOL_PCHOL_H

#include "pchol/export.h"
#include "pchol/version.h"

#include <stdint.h>

/* The result codes (info). */

/* The system was solved. */
#define PCHOL_INFO_OK 0
/* A pivot was not positive (the matrix is not positive definite): A and B are
 * partly overwritten and of no use. */
#define PCHOL_INFO_PIVOT_FAILED (-1)
/* hbw < 0, the band (n - 1) * hbw + n or the workspace does not fit a
 * 32-bit count, n is too large for the solver's 32-bit row counters, a
 * pointer is missing (see above), or two of the arrays A, B and WORK that
 * the call uses share memory: nothing was touched. */
#define PCHOL_INFO_BAD_ARGUMENTS (-2)
/* The solver's mutex, a synchronisation point or a worker thread could not be
 * created. Without the mutex or a point nothing was computed and A and B are
 * as they were; with a worker thread missing the solve ran to the end on the
 * threads that did start, and A and B hold the factor and the solution. */
#define PCHOL_INFO_NO_RESOURCES (-3)

#ifdef __cplusplus
extern "C" {
#endif

/* The solvers, one per element type, all with the same arguments:
 *
 *   pchol_solve4  float      pchol_solve3  double
 *   pchol_solve2  complex of two floats, A, B and WORK as float pairs
 *   pchol_solve1  complex of two doubles, A, B and WORK as double pairs
 *
 * A complex element is two consecutive reals, real part first (the layout of
 * float _Complex, double _Complex and std::complex), so a complex array of m
 * elements is 2 * m floats or doubles, and every count and position above is
 * in elements, not in reals. The complex solvers take a complex symmetric
 * matrix, A(r, c) = A(c, r), never conjugated; only a pivot of modulus 0
 * fails.
 *
 * The pipelined drivers solve the same systems, factored in the natural row
 * order by a pipeline of the same threads; they use no scratch (WORK may be
 * null). Results of every driver are the same, bit for bit, for every thread
 * count. */

/* The length of WORK, in elements, for n equations of half bandwidth hbw:
 * 2 * n * hbw for pchol_solve1 ... 4, and 0 when n or hbw is not positive (or
 * a pointer is null); 0 for the pipelined drivers. A count above 2^31 - 1
 * makes the solver refuse the system. */
PCHOL_API int64_t pchol_workspace_size1(const int32_t* n, const int32_t* hbw);
PCHOL_API int64_t pchol_workspace_size2(const int32_t* n, const int32_t* hbw);
PCHOL_API int64_t pchol_workspace_size3(const int32_t* n, const int32_t* hbw);
PCHOL_API int64_t pchol_workspace_size4(const int32_t* n, const int32_t* hbw);
PCHOL_API int64_t pchol_pipelined_workspace_size1(const int32_t* n, const int32_t* hbw);
PCHOL_API int64_t pchol_pipelined_workspace_size2(const int32_t* n, const int32_t* hbw);
PCHOL_API int64_t pchol_pipelined_workspace_size3(const int32_t* n, const int32_t* hbw);
PCHOL_API int64_t pchol_pipelined_workspace_size4(const int32_t* n, const int32_t* hbw);

PCHOL_API void pchol_solve1(double* A, const int32_t* n, const int32_t* hbw, double* B, const int32_t* nrhs,
                            double* WORK, int32_t* info);
PCHOL_API void pchol_solve2(float* A, const int32_t* n, const int32_t* hbw, float* B, const int32_t* nrhs, float* WORK,
                            int32_t* info);
PCHOL_API void pchol_solve3(double* A, const int32_t* n, const int32_t* hbw, double* B, const int32_t* nrhs,
                            double* WORK, int32_t* info);
PCHOL_API void pchol_solve4(float* A, const int32_t* n, const int32_t* hbw, float* B, const int32_t* nrhs, float* WORK,
                            int32_t* info);

PCHOL_API void pchol_pipelined_solve1(double* A, const int32_t* n, const int32_t* hbw, double* B, const int32_t* nrhs,
                                      double* WORK, int32_t* info);
PCHOL_API void pchol_pipelined_solve2(float* A, const int32_t* n, const int32_t* hbw, float* B, const int32_t* nrhs,
                                      float* WORK, int32_t* info);
PCHOL_API void pchol_pipelined_solve3(double* A, const int32_t* n, const int32_t* hbw, double* B, const int32_t* nrhs,
                                      double* WORK, int32_t* info);
PCHOL_API void pchol_pipelined_solve4(float* A, const int32_t* n, const int32_t* hbw, float* B, const int32_t* nrhs,
                                      float* WORK, int32_t* info);

/* The solvers' thread count becomes min(*k, processor count, 32); the
 * processors are those the process may run on. A negative *k becomes 1;
 * 0 clears the setting (the processor count again). Null: nothing happens. */
PCHOL_API void pchol_set_thread_count(const int32_t* k);

/* *t becomes the thread count: the processor count if none was set. */
PCHOL_API void pchol_get_thread_count(int32_t* t);

/* Whether the solvers' threads flush subnormal values to zero (*on != 0, the
 * default) or keep gradual underflow (*on == 0). Flushing makes the solve
 * several times faster on processors that handle subnormal values slowly;
 * results are the same, bit for bit, for every thread count either way, and
 * the calling thread's own floating-point mode is left as it was. Null:
 * nothing happens. */
PCHOL_API void pchol_set_subnormal_flush(const int32_t* on);

/* *on becomes 1 when the solvers flush subnormal values, 0 when not. */
PCHOL_API void pchol_get_subnormal_flush(int32_t* on);

/* The version of the library the program runs with, as numbers and as the
 * text "major.minor.patch" (static storage; never null). PCHOL_VERSION_MAJOR,
 * PCHOL_VERSION_MINOR, PCHOL_VERSION_PATCH and PCHOL_VERSION (pchol/version.h)
 * are those of the headers it was compiled with. Null pointers are skipped. */
PCHOL_API void pchol_get_version(int32_t* major, int32_t* minor, int32_t* patch);
PCHOL_API const char* pchol_version_string(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Factor once, solve many ----------------------------------------------
 *
 * pchol_factorK factors A in place and leaves in WORK (pchol_workspace_sizeK
 * elements) what the solves need; it is pchol_solveK with *nrhs = 0, with the
 * same threads and failure rules. pchol_factored_solveK then solves for the
 * *nrhs right-hand sides in B with that factor, only reading A and WORK, as
 * often as needed. A factor followed by a factored solve stores the same A
 * and B, bit for bit, as one pchol_solveK, for any thread counts.
 *
 * Arguments, null pointers and sizes as for pchol_solveK (a refused call
 * sets PCHOL_INFO_BAD_ARGUMENTS and touches nothing); a factored solve
 * fails only with PCHOL_INFO_NO_RESOURCES.
 *
 * Nothing can tell cheaply whether A and WORK hold a factor, so nothing
 * checks: pass them as pchol_factorK left them, with the same n and hbw,
 * within the same process. After a failed factor (PCHOL_INFO_PIVOT_FAILED)
 * they hold none; a factored solve still returns PCHOL_INFO_OK, with
 * meaningless values (possibly infinities or NaNs) in B. Checking the
 * factor's info is the caller's part.
 *
 * The block solvers' factor is in a permuted block order with couplings in
 * WORK; only pchol_factored_solveK can use it. The pipelined drivers, called
 * with *nrhs = 0, leave the natural-order factor: for the real types A is
 * then LAPACK's lower band storage (LDAB = hbw + 1) of the Cholesky factor,
 * which spbtrs / dpbtrs with UPLO = 'L' take as it is. */
PCHOL_API void pchol_factor1(double* A, const int32_t* n, const int32_t* hbw, double* WORK, int32_t* info);
PCHOL_API void pchol_factor2(float* A, const int32_t* n, const int32_t* hbw, float* WORK, int32_t* info);
PCHOL_API void pchol_factor3(double* A, const int32_t* n, const int32_t* hbw, double* WORK, int32_t* info);
PCHOL_API void pchol_factor4(float* A, const int32_t* n, const int32_t* hbw, float* WORK, int32_t* info);

PCHOL_API void pchol_factored_solve1(const double* A, const int32_t* n, const int32_t* hbw, double* B, const int32_t* nrhs,
                           const double* WORK, int32_t* info);
PCHOL_API void pchol_factored_solve2(const float* A, const int32_t* n, const int32_t* hbw, float* B, const int32_t* nrhs,
                           const float* WORK, int32_t* info);
PCHOL_API void pchol_factored_solve3(const double* A, const int32_t* n, const int32_t* hbw, double* B, const int32_t* nrhs,
                           const double* WORK, int32_t* info);
PCHOL_API void pchol_factored_solve4(const float* A, const int32_t* n, const int32_t* hbw, float* B, const int32_t* nrhs,
                           const float* WORK, int32_t* info);

#ifdef __cplusplus
}
#endif

#endif /* PCHOL_PCHOL_H */

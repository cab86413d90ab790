// The block solver's entry points in every element type (the solve, its
// worker, and the factor and the factored solve): each names its element
// type, its tuning routine and the worker routine its threads are started on.
//
//   pchol_solve4  float                   tuning set_block_size
//   pchol_solve3  double                  tuning set_block_size
//   pchol_solve2  std::complex<float>     tuning set_block_size_by_threads
//   pchol_solve1  std::complex<double>    tuning set_block_size_by_threads
//
// The complex solvers take complex symmetric matrices (never conjugated).
#include "parallel_solver.hpp"
#include "pchol/solver.hpp"
#include "tuning.hpp"

#include <complex>
#include <cstdint>

#define PCHOL_BLOCK_SOLVER(K, T, tune)                                                                        \
    void pchol_worker##K(PCHOL_WORKER_PARAMETERS(T)) {                                                       \
        pchol::detail::parallel_worker<T>(PCHOL_WORKER_ARGUMENTS);                                           \
    }                                                                                                         \
    void pchol_solve##K(T* A, const std::int32_t& n, const std::int32_t& hbw, T* B, const std::int32_t& nrhs, \
                        T* WORK, std::int32_t& info) {                                                        \
        pchol::detail::parallel_solve<T>(A, n, hbw, B, nrhs, WORK, info, tune, pchol_worker##K);             \
    }                                                                                                         \
    void pchol_factor##K(T* A, const std::int32_t& n, const std::int32_t& hbw, T* WORK, std::int32_t& info) { \
        pchol::detail::parallel_factor<T>(A, n, hbw, WORK, info, tune);                                      \
    }                                                                                                         \
    void pchol_factored_solve##K(const T* A, const std::int32_t& n, const std::int32_t& hbw, T* B,            \
                                 const std::int32_t& nrhs, const T* WORK, std::int32_t& info) {               \
        pchol::detail::parallel_factored_solve<T>(A, n, hbw, B, nrhs, WORK, info, tune);                     \
    }

PCHOL_BLOCK_SOLVER(4, float, pchol::detail::set_block_size)
PCHOL_BLOCK_SOLVER(3, double, pchol::detail::set_block_size)
PCHOL_BLOCK_SOLVER(2, std::complex<float>, set_block_size_by_threads)
PCHOL_BLOCK_SOLVER(1, std::complex<double>, set_block_size_by_threads)

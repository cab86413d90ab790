// The parallel block-cyclic-reduction solver, written once over the element
// type: the worker every thread runs and the driver that owns what they
// share. An element type's entry points (pchol_solve4, pchol_worker4, ...)
// are thin wrappers that name the element type, the tuning routine and the
// worker routine the threads are started on (solvers.cpp).
#pragma once

#include "pchol/band_kernels.hpp"

#include <complex>
#include <cstdint>

// The worker's 19 arguments, all by reference, in the order the threads are
// started with (see pchol_worker4 in pchol/solver.hpp), for element type T.
#define PCHOL_WORKER_PARAMETERS(T)                                                                        \
    T* const& A, const std::int32_t& n, const std::int32_t& hbw, T* const& B, const std::int32_t& nrhs,  \
        T* const& links, T* const& spikes, const std::int32_t& counter_mutex,                            \
        const std::int32_t(&sync_pair)[2], const std::int32_t& block_rows, const std::int32_t& num_threads, \
        std::int32_t& level_scale, std::int32_t& neighbour_dist, std::int32_t& sweep_stride,             \
        std::int32_t& level_first, std::int32_t& next_row, std::int32_t& back_row,                       \
        const ::pchol::real_of_t<T>& tol, std::int32_t(&fail_flags)[2]
// The same arguments passed on, in order.
#define PCHOL_WORKER_ARGUMENTS                                                                                 \
    A, n, hbw, B, nrhs, links, spikes, counter_mutex, sync_pair, block_rows, num_threads, level_scale,         \
        neighbour_dist, sweep_stride, level_first, next_row, back_row, tol, fail_flags

namespace pchol::detail {

// The worker routine of element type T.
template <class T>
using worker_routine = void(PCHOL_WORKER_PARAMETERS(T));

// See pchol_worker4 in pchol/solver.hpp.
template <class T>
void parallel_worker(PCHOL_WORKER_PARAMETERS(T));

// See pchol_solve4 in pchol/solver.hpp. tune sets block_size; worker is the
// element type's named worker routine (it calls parallel_worker<T>).
template <class T>
void parallel_solve(T* A, const std::int32_t& n, const std::int32_t& hbw, T* B, const std::int32_t& nrhs, T* WORK,
                    std::int32_t& info, void (&tune)(), worker_routine<T>& worker);

// See pchol_factor4 and pchol_factored_solve4 in pchol/solver.hpp: the solve
// above without right-hand sides (started on factor_worker<T>, which keeps
// the spikes and links in WORK level by level: level_order.hpp), and the
// right-hand sides alone through the factor that it left in A and WORK (the
// workers' schedule without the factorisation, started on
// factored_solve_worker<T>).
template <class T>
void parallel_factor(T* A, const std::int32_t& n, const std::int32_t& hbw, T* WORK, std::int32_t& info,
                     void (&tune)());
template <class T>
void parallel_factored_solve(const T* A, const std::int32_t& n, const std::int32_t& hbw, T* B,
                             const std::int32_t& nrhs, const T* WORK, std::int32_t& info, void (&tune)());
template <class T>
void factor_worker(PCHOL_WORKER_PARAMETERS(T));
template <class T>
void factored_solve_worker(PCHOL_WORKER_PARAMETERS(T));

// The largest value any schedule counter takes while the workers solve n rows
// in blocks of block_rows rows (the workers keep them in 32-bit integers).
std::int64_t schedule_peak(std::int64_t n, std::int64_t block_rows);

#define PCHOL_PARALLEL_SOLVER_TEMPLATES(prefix, T)                                              \
    prefix template worker_routine<T> parallel_worker<T>;                                       \
    prefix template void parallel_solve<T>(T*, const std::int32_t&, const std::int32_t&, T*,    \
                                           const std::int32_t&, T*, std::int32_t&, void (&)(), \
                                           worker_routine<T>&);                                 \
    prefix template void parallel_factor<T>(T*, const std::int32_t&, const std::int32_t&, T*, std::int32_t&,   \
                                            void (&)());                                                     \
    prefix template void parallel_factored_solve<T>(const T*, const std::int32_t&, const std::int32_t&, T*,    \
                                                    const std::int32_t&, const T*, std::int32_t&, void (&)()); \
    prefix template worker_routine<T> factor_worker<T>;                                        \
    prefix template worker_routine<T> factored_solve_worker<T>;
#define PCHOL_FOR_EACH_ELEMENT_TYPE(apply, prefix) \
    apply(prefix, float)                           \
    apply(prefix, double)                          \
    apply(prefix, std::complex<float>)             \
    apply(prefix, std::complex<double>)

// Instantiated in parallel_solver.cpp.
PCHOL_FOR_EACH_ELEMENT_TYPE(PCHOL_PARALLEL_SOLVER_TEMPLATES, extern)

}  // namespace pchol::detail

// The pipelined band routines for every element type, and their drivers
// pchol_pipelined_solve1 .. pchol_pipelined_solve4.
#include "arguments.hpp"
#include "float_mode.hpp"
#include "pipelined_impl.hpp"
#include "pchol/pipelined.hpp"
#include "pchol/solver.hpp"
#include "team.hpp"

#include <complex>
#include <cstdint>
#include <utility>

namespace pchol::detail {

namespace {

// What every thread of a pipelined driver's team runs: the factorisation
// with the first right-hand side, then the substitution of each further one.
// With no right-hand side A is only factored.
template <class T>
void pipelined_team(T* const& A, const i32& n, const i32& hbw, T* const& B, const i32& nrhs, const i32& panel_rows,
                    const i32& counter_mutex, const i32 (&sync_pair)[2], const i32& num_threads, i32& panel_first,
                    i32& task_row, i32& panel_last, i32& back_task_row, const real_of_t<T>& tol,
                    i32 (&fail_flags)[2]) {
    i32 flush = 1;
    get_subnormal_flush(flush);
    const float_mode_scope mode(flush != 0);
    if (nrhs < 1) {
        pipelined_factor(A, n, hbw, panel_rows, counter_mutex, sync_pair, num_threads, panel_first, task_row, tol,
                         fail_flags);
        return;
    }
    pipelined_factor_solve(A, n, hbw, B, panel_rows, counter_mutex, sync_pair, num_threads, panel_first, task_row,
                           panel_last, back_task_row, tol, fail_flags);
    // The flags were set before the barrier the routine returned after, so
    // every thread sees the same.
    if (load(fail_flags[0]) == -1 || load(fail_flags[1]) == -1) return;

    // A routine that runs to the end leaves the first point of its pair armed
    // again (its forward and backward halves make the same number of
    // barriers). Each further right-hand side takes one more barrier on that
    // point, whose first released thread resets the counters and arms the
    // other point; the substitution then runs on the pair in swapped order,
    // which again leaves its first point armed. The order is each thread's
    // own copy of the two ids.
    i32 order[2] = {sync_pair[0], sync_pair[1]};
    for (i32 k = 2; k <= nrhs; ++k) {
        barrier(order, 1, num_threads, [&] {
            store(panel_first, 1);
            store(task_row, 1);
            store(panel_last, n);
            store(back_task_row, n);
        });
        std::swap(order[0], order[1]);
        T* const column = n > 0 ? B + index{k - 1} * n : B;
        pipelined_solve(A, n, hbw, column, panel_rows, counter_mutex, order, num_threads, panel_first, task_row,
                        panel_last, back_task_row);
    }
}

template <class T>
void pipelined_driver(T* A, const i32& n, const i32& hbw, T* B, const i32& nrhs, i32& info) {
    const i32 panel_rows = pipelined_panel_rows;
    // The cursors run up to n + hbw + 2 * panel_rows.
    const index counter_reach = index{n} + hbw + 3 * index{panel_rows};
    switch (check_call(A, n, hbw, B, nrhs, static_cast<const T*>(nullptr), 0, counter_reach)) {
    case argument_verdict::refused:
        info = info_bad_arguments;
        return;
    case argument_verdict::nothing_to_do:
        info = info_ok;
        return;
    case argument_verdict::solve:
        break;
    }
    const i32 threads = team_size(n, hbw, (index{n} + panel_rows - 1) / panel_rows);
    team_objects shared;
    if (!shared.create()) {
        info = info_no_resources;
        return;
    }

    // The state every thread shares, by reference.
    i32 num_threads = threads;
    i32 panel_first = 1;
    i32 task_row = 1;
    i32 panel_last = n;
    i32 back_task_row = n;
    i32 fail_flags[2] = {0, 0};
    const real_of_t<T> tol = 0;

    run_team(
        shared, threads, num_threads, fail_flags, info,
        [&](i32& id) {
            thr_start15(id, pipelined_team<T>, A, n, hbw, B, nrhs, panel_rows, shared.counter_mutex,
                        shared.sync_pair, num_threads, panel_first, task_row, panel_last, back_task_row, tol,
                        fail_flags);
        },
        [&] {
            pipelined_team<T>(A, n, hbw, B, nrhs, panel_rows, shared.counter_mutex, shared.sync_pair, num_threads,
                              panel_first, task_row, panel_last, back_task_row, tol, fail_flags);
        });
}

}  // namespace

}  // namespace pchol::detail

#define PCHOL_INSTANTIATE_PIPELINED(T)                                                                               \
    template void pchol::pipelined_factor<T>(T* const&, const std::int32_t&, const std::int32_t&,                    \
                                             const std::int32_t&, const std::int32_t&, const std::int32_t(&)[2],    \
                                             const std::int32_t&, std::int32_t&, std::int32_t&,                      \
                                             const pchol::real_of_t<T>&, std::int32_t(&)[2]);                        \
    template void pchol::pipelined_solve<T>(T* const&, const std::int32_t&, const std::int32_t&, T* const&,         \
                                            const std::int32_t&, const std::int32_t&, const std::int32_t(&)[2],     \
                                            const std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&,       \
                                            std::int32_t&);                                                          \
    template void pchol::pipelined_factor_solve<T>(                                                                  \
        T* const&, const std::int32_t&, const std::int32_t&, T* const&, const std::int32_t&, const std::int32_t&,   \
        const std::int32_t(&)[2], const std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&,  \
        const pchol::real_of_t<T>&, std::int32_t(&)[2]);

PCHOL_INSTANTIATE_PIPELINED(float)
PCHOL_INSTANTIATE_PIPELINED(double)
PCHOL_INSTANTIATE_PIPELINED(std::complex<double>)
PCHOL_INSTANTIATE_PIPELINED(std::complex<float>)

// WORK is not used.
void pchol_pipelined_solve1(std::complex<double>* A, const std::int32_t& n, const std::int32_t& hbw,
                            std::complex<double>* B, const std::int32_t& nrhs, std::complex<double>*,
                            std::int32_t& info) {
    pchol::detail::pipelined_driver(A, n, hbw, B, nrhs, info);
}

void pchol_pipelined_solve2(std::complex<float>* A, const std::int32_t& n, const std::int32_t& hbw,
                            std::complex<float>* B, const std::int32_t& nrhs, std::complex<float>*,
                            std::int32_t& info) {
    pchol::detail::pipelined_driver(A, n, hbw, B, nrhs, info);
}

void pchol_pipelined_solve3(double* A, const std::int32_t& n, const std::int32_t& hbw, double* B,
                            const std::int32_t& nrhs, double*, std::int32_t& info) {
    pchol::detail::pipelined_driver(A, n, hbw, B, nrhs, info);
}

void pchol_pipelined_solve4(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B,
                            const std::int32_t& nrhs, float*, std::int32_t& info) {
    pchol::detail::pipelined_driver(A, n, hbw, B, nrhs, info);
}

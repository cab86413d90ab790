// Definitions of the pipelined band routines (declared in pchol/pipelined.hpp),
// written once over the element type; pipelined.cpp instantiates them.
//
// Names, per thread: the finished panel done.first..done.last (factored, or
// solved, in the stage before; empty at the start), the reach (the last row
// or column a task of the stage may start at), v = panel_rows; a task covers
// rows (or columns) first..last.
//
// Forward stage, starting at stage_first = panel_first = done.last + 1, its
// tasks taken from task_row: the diagonal task (first = stage_first, v rows)
// and tasks of 2v columns (v in the substitution) up to the reach,
// stage_first + hbw. Every task gives the finished panel's rows their final
// values in its columns (the older rows above the panel, then the panel rows
// above each row, then the division by the diagonal) and applies the panel's
// solved B to its rows of B. The diagonal task then updates its rows with
// every row above them within reach, factors them as one block
// (band_factor_block) and forward-solves their B.
//
// The tasks of a stage write disjoint columns of the finished panel's rows
// and disjoint rows of B; only the diagonal task writes the new panel's rows,
// and everything a task reads outside its own columns was finished in an
// earlier stage. Which thread runs which task changes no value: every
// element receives the same updates in the same order.
//
// Backward stage, starting at stage_last = panel_last: tasks of v rows whose
// last row is taken from back_task_row, down to the lowest row in reach. A
// task's B loses the products with the solution of the panel solved in the
// stage before (rows stage_last + 1 .. solved_last); the diagonal task
// (last = stage_last) then back-substitutes its rows.
#pragma once

#include "band_kernels_impl.hpp"
#include "element_traits.hpp"
#include "pchol/pipelined.hpp"
#include "team.hpp"

#include <algorithm>
#include <cstdint>

namespace pchol::detail {

// A range of rows (or columns) first..last; empty when last < first.
struct row_range {
    index first, last;
};

// The schedule every thread of the team follows: the team's shared objects,
// the band, and the thread's own place in the pair of points. The stages are
// the schedule; each step below them is one piece of a task.
template <class T>
class pipeline {
public:
    using tr = element_traits<T>;

    pipeline(T* A, i32 n, i32 hbw, i32 panel_rows, const i32& counter_mutex, const i32 (&sync_pair)[2],
             const i32& num_threads)
        : A_(A), n_(n), hbw_(hbw), v_(std::max<i32>(panel_rows, 1)), counter_mutex_(counter_mutex),
          sync_pair_(sync_pair), num_threads_(num_threads) {}

    // The forward stages of the factorisation, with the forward substitution
    // of B unless B is null. False when a pivot failed (every thread then
    // returns after the barrier of that stage).
    bool factor_stages(T* B, i32& panel_first, i32& task_row, const real_of_t<T>& tol, i32 (&fail_flags)[2]) {
        row_range done{1, 0};
        index reach = std::min(hbw_ + 1, n_);
        for (;;) {
            const index stage_first = load(panel_first);
            row_range task{};
            bool diagonal = false;
            while (take_forward(task_row, stage_first, reach, true, task, diagonal)) {
                finish_panel_rows(done, task);
                if (B != nullptr) apply_panel_solution(B, done, task);
                if (diagonal && task.last >= task.first) {
                    update_new_panel(done.last, task);
                    const i32 first = static_cast<i32>(task.first), last = static_cast<i32>(task.last);
                    band_factor_block(A_, static_cast<i32>(hbw_), first, last, tol, fail_flags, sync_index_);
                    if (B != nullptr && load(fail_flags[sync_index_ - 1]) != -1) forward_solve_panel(B, task);
                }
            }
            end_stage(panel_first, task_row, stage_first + v_);
            if (load(fail_flags[sync_index_ - 1]) == -1) return false;
            switch_index();
            const index next = load(panel_first);
            if (next > n_) return true;
            done = {next - v_, next - 1};
            reach = std::min(next + hbw_, n_);
        }
    }

    // The forward stages of the substitution with a finished factor.
    void forward_stages(T* B, i32& panel_first, i32& task_row) {
        index reach = hbw_ + 1;
        for (;;) {
            const index stage_first = load(panel_first);
            row_range task{};
            bool diagonal = false;
            while (take_forward(task_row, stage_first, reach, false, task, diagonal)) {
                apply_panel_solution(B, {std::max<index>(stage_first - v_, 1), stage_first - 1}, task);
                if (diagonal) forward_solve_panel(B, task);
            }
            end_stage(panel_first, task_row, stage_first + v_);
            switch_index();
            const index next = load(panel_first);
            if (next > n_) return;
            reach = std::min(next + hbw_, n_);
        }
    }

    // The backward stages of the substitution.
    void backward_stages(T* B, i32& panel_last, i32& back_task_row) {
        // lowest: the lowest row a task may end at (rows below it are out of
        // reach of the panel solved before); solved_last: that panel's last row.
        index lowest = n_ - hbw_, solved_last = n_;
        for (;;) {
            const index stage_last = load(panel_last);
            row_range task{};
            while (take_backward(back_task_row, lowest, task)) {
                apply_solution_below(B, task, stage_last, solved_last);
                if (task.last == stage_last) back_solve_panel(B, task);
            }
            end_stage(panel_last, back_task_row, stage_last - v_);
            switch_index();
            const index next = load(panel_last);
            if (next < 1) return;
            lowest = std::max<index>(next - hbw_, 1);
            solved_last = next + v_;
        }
    }

private:
    // Takes the next forward task from the cursor: the diagonal task (at
    // stage_first, v rows) or one of 2v columns (v rows in the substitution,
    // wide = false). False when the stage is over for this thread (the
    // cursor is beyond the reach).
    bool take_forward(i32& cursor, index stage_first, index reach, bool wide, row_range& task, bool& diagonal) {
        index length = 0;
        {
            counter_lock lock(counter_mutex_);
            task.first = load(cursor);
            if (task.first > reach) return false;
            diagonal = task.first == stage_first;
            length = diagonal || !wide ? v_ : 2 * v_;
            store(cursor, task.first + length);
        }
        task.last = std::min(task.first + length - 1, n_);
        return true;
    }

    // Takes the next backward task, v rows ending at the cursor. False when
    // the stage is over for this thread (the cursor is below lowest).
    bool take_backward(i32& cursor, index lowest, row_range& task) {
        {
            counter_lock lock(counter_mutex_);
            task.last = load(cursor);
            if (task.last < lowest) return false;
            store(cursor, task.last - v_);
        }
        task.first = std::max<index>(task.last - v_ + 1, 1);
        return true;
    }

    // The barrier that ends a stage: the thread released first sets the
    // stage's panel counter and its cursor to next.
    void end_stage(i32& panel, i32& cursor, index next) {
        barrier(sync_pair_, sync_index_, num_threads_, [&] {
            store(panel, next);
            store(cursor, next);
        });
    }

    // The finished panel's rows, the task's columns: the updates of the
    // older rows above the panel, then of the panel rows above each row, then
    // the division by the row's diagonal. Per step.
    void finish_panel_rows(row_range done, row_range task) {
        for (index o = std::max<index>(task.first - hbw_, 1); o < done.first; ++o) {
            const T* ao = band_row(A_, hbw_, o);
            const index ce = std::min(o + hbw_, task.last);
            if (ce < task.first) continue;
            for (index p = done.first; p <= done.last; ++p) {
                T* ap = band_row(A_, hbw_, p);
                const T aop = ao[p - o];
                for (index c = task.first; c <= ce; ++c) ap[c - p] = tr::mul_sub(ap[c - p], ao[c - o], aop);
            }
        }
        // Rows more than hbw above the task do not reach its columns.
        for (index p = std::max(done.first, task.first - hbw_); p <= done.last; ++p) {
            T* ap = band_row(A_, hbw_, p);
            for (index o = std::max(p - hbw_, done.first); o < p; ++o) {
                const T* ao = band_row(A_, hbw_, o);
                const T aop = ao[p - o];
                const index ce = std::min(o + hbw_, task.last);
                for (index c = task.first; c <= ce; ++c) ap[c - p] = tr::mul_sub(ap[c - p], aop, ao[c - o]);
            }
            const T d = ap[0];
            const index ce = std::min(p + hbw_, task.last);
            for (index c = task.first; c <= ce; ++c) ap[c - p] = tr::div(ap[c - p], d);
        }
    }

    // B(task) loses the finished panel's solved B(done). Per step. (Rows more
    // than hbw above the task do not reach it.)
    void apply_panel_solution(T* B, row_range done, row_range task) {
        for (index o = std::max(done.first, task.first - hbw_); o <= done.last; ++o) {
            const T* ao = band_row(A_, hbw_, o);
            const T bo = B[o - 1];
            const index ce = std::min(o + hbw_, task.last);
            for (index c = task.first; c <= ce; ++c) B[c - 1] = tr::mul_sub(B[c - 1], ao[c - o], bo);
        }
    }

    // The new panel takes the updates of every row above it within reach
    // (rows up to done_last, final in these columns by now). Per step.
    void update_new_panel(index done_last, row_range task) {
        for (index o = std::max<index>(task.first - hbw_, 1); o <= done_last; ++o) {
            const T* ao = band_row(A_, hbw_, o);
            const index ce = std::min(o + hbw_, task.last);
            for (index r = task.first; r <= ce; ++r) {
                T* ar = band_row(A_, hbw_, r);
                const T aor = ao[r - o];
                for (index c = r; c <= ce; ++c) ar[c - r] = tr::mul_sub(ar[c - r], ao[c - o], aor);
            }
        }
    }

    // Forward substitution of B(task) with the panel's factor. Per step.
    void forward_solve_panel(T* B, row_range task) {
        reference::rhs_forward_block(A_, hbw_, task.first, task.last, B, n_, index{1});
    }

    // B(task) loses the solution of rows stage_last+1 .. solved_last,
    // accumulated per row.
    void apply_solution_below(T* B, row_range task, index stage_last, index solved_last) {
        for (index r = task.first; r <= task.last; ++r) {
            const index ce = std::min(r + hbw_, solved_last);
            if (ce <= stage_last) continue;
            const T* ar = band_row(A_, hbw_, r);
            auto s = tr::widen(B[r - 1]);
            for (index c = stage_last + 1; c <= ce; ++c) tr::acc_sub(s, ar[c - r], B[c - 1]);
            B[r - 1] = tr::narrow(s);
        }
    }

    // Back substitution of B(task) with the panel's factor, accumulated.
    void back_solve_panel(T* B, row_range task) {
        reference::rhs_backward_block(A_, hbw_, task.first, task.last, B, n_, index{1});
    }

    void switch_index() { sync_index_ = 3 - sync_index_; }

    T* const A_;
    const index n_;
    const index hbw_;
    const index v_;
    const i32& counter_mutex_;
    const i32 (&sync_pair_)[2];
    const i32& num_threads_;
    // Names the point of the current stage's barrier and the failure flag
    // that its factorisation reports into; switches after every barrier.
    i32 sync_index_ = 1;
};

}  // namespace pchol::detail

namespace pchol {

template <class T>
void pipelined_factor(T* const& A, const std::int32_t& n, const std::int32_t& hbw, const std::int32_t& panel_rows,
                      const std::int32_t& counter_mutex, const std::int32_t (&sync_pair)[2],
                      const std::int32_t& num_threads, std::int32_t& panel_first, std::int32_t& task_row,
                      const real_of_t<T>& tol, std::int32_t (&fail_flags)[2]) {
    detail::pipeline<T> p(A, n, hbw, panel_rows, counter_mutex, sync_pair, num_threads);
    p.factor_stages(nullptr, panel_first, task_row, tol, fail_flags);
}

template <class T>
void pipelined_solve(T* const& A, const std::int32_t& n, const std::int32_t& hbw, T* const& B,
                     const std::int32_t& panel_rows, const std::int32_t& counter_mutex,
                     const std::int32_t (&sync_pair)[2], const std::int32_t& num_threads, std::int32_t& panel_first,
                     std::int32_t& task_row, std::int32_t& panel_last, std::int32_t& back_task_row) {
    detail::pipeline<T> p(A, n, hbw, panel_rows, counter_mutex, sync_pair, num_threads);
    p.forward_stages(B, panel_first, task_row);
    p.backward_stages(B, panel_last, back_task_row);
}

template <class T>
void pipelined_factor_solve(T* const& A, const std::int32_t& n, const std::int32_t& hbw, T* const& B,
                            const std::int32_t& panel_rows, const std::int32_t& counter_mutex,
                            const std::int32_t (&sync_pair)[2], const std::int32_t& num_threads,
                            std::int32_t& panel_first, std::int32_t& task_row, std::int32_t& panel_last,
                            std::int32_t& back_task_row, const real_of_t<T>& tol, std::int32_t (&fail_flags)[2]) {
    detail::pipeline<T> p(A, n, hbw, panel_rows, counter_mutex, sync_pair, num_threads);
    if (p.factor_stages(B, panel_first, task_row, tol, fail_flags)) p.backward_stages(B, panel_last, back_task_row);
}

}  // namespace pchol

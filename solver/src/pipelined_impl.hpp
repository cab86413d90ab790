// Definitions of the pipelined band routines (declared in pchol/pipelined.hpp),
// written once over the element type; pipelined.cpp instantiates them.
//
// Notation, per thread: the finished panel G..F (factored, or solved, in the
// stage before; empty at the start), the reach limit R (the last row or
// column a task of the stage may start at), v = panel_rows. A forward stage
// starts at a = panel_first = F + 1; a backward stage at a = panel_last.
//
// Forward stage of the factorisation, tasks taken from task_row:
//
//   H = a      the diagonal task, rows/columns a .. a+v-1
//   H > a      a task of columns H .. H+2v-1 (up to R = a + hbw)
//
//   every task: rows G..F get their final values in columns H..end (from
//               the older rows above G, then from the panel rows above them,
//               then the division by the diagonal); with a right-hand side,
//               the panel's solved B(G..F) is applied to B(H..end)
//   diagonal:   rows H..end get the updates of every row above them within
//               reach, are factored as one block (band_factor_block) and, with
//               a right-hand side, B(H..end) is forward-solved with them
//
// Within a stage the tasks write disjoint columns of the finished panel's
// rows, and disjoint rows of B; only the diagonal task writes the new
// panel's rows. Everything a task reads outside its own columns was finished
// in an earlier stage. Which thread runs which task does not change any
// value: every element receives the same updates in the same order.
//
// Backward stage (tasks of v rows J down to K, taken from back_task_row from
// a down to the threshold Q): B(K..J) loses the products with the solution of
// the panel solved in the stage before (rows a+1..u), and the diagonal task
// (J = a) then back-substitutes its rows.
#pragma once

#include "band_kernels_impl.hpp"
#include "element_traits.hpp"
#include "pchol/pipelined.hpp"
#include "team.hpp"

#include <algorithm>
#include <cstdint>

namespace pchol::detail {

// The schedule every thread of the team follows, with its private state.
template <class T>
class pipeline {
public:
    using tr = element_traits<T>;

    pipeline(T* A, i32 n, i32 hbw, i32 panel_rows, const i32& counter_mutex, const i32 (&sync_pair)[2],
             const i32& num_threads)
        : A_(A), n_(n), w_(hbw), v_(std::max<i32>(panel_rows, 1)), counter_mutex_(counter_mutex),
          sync_pair_(sync_pair), num_threads_(num_threads) {}

    // The forward stages of the factorisation, with the forward substitution
    // of B unless B is null. False when a pivot failed (every thread then
    // returns after the barrier of that stage).
    bool factor_stages(T* B, i32& panel_first, i32& task_row, const real_of_t<T>& tol, i32 (&fail_flags)[2]) {
        index G = 1, F = 0;
        index R = std::min(w_ + 1, n_);
        for (;;) {
            const index a = load(panel_first);
            index H = 0, end = 0;
            bool diagonal = false;
            while (take_forward(task_row, a, R, true, H, end, diagonal)) {
                finish_panel_rows(G, F, H, end);
                if (B != nullptr) apply_panel_solution(B, G, F, H, end);
                if (diagonal && end >= H) {
                    update_new_panel(F, H, end);
                    const i32 first = static_cast<i32>(H), last = static_cast<i32>(end);
                    band_factor_block(A_, static_cast<i32>(w_), first, last, tol, fail_flags, sync_index_);
                    if (B != nullptr && load(fail_flags[sync_index_ - 1]) != -1) forward_solve_panel(B, H, end);
                }
            }
            barrier(sync_pair_, sync_index_, num_threads_, [&] {
                store(panel_first, a + v_);
                store(task_row, a + v_);
            });
            if (load(fail_flags[sync_index_ - 1]) == -1) return false;
            switch_index();
            const index next = load(panel_first);
            if (next > n_) return true;
            G = next - v_;
            F = next - 1;
            R = std::min(next + w_, n_);
        }
    }

    // The forward stages of the substitution with a finished factor.
    void forward_stages(T* B, i32& panel_first, i32& task_row) {
        index R = w_ + 1;
        for (;;) {
            const index a = load(panel_first);
            index i = 0, end = 0;
            bool diagonal = false;
            while (take_forward(task_row, a, R, false, i, end, diagonal)) {
                // The panel solved in the stage before reaches rows i..end.
                for (index j = std::max<index>(a - v_, 1); j < a; ++j) {
                    const T* aj = band_row(A_, w_, j);
                    const T bj = B[j - 1];
                    const index le = std::min(end, j + w_);
                    for (index l = i; l <= le; ++l) B[l - 1] = tr::mul_sub(B[l - 1], aj[l - j], bj);
                }
                if (diagonal) forward_solve_panel(B, i, end);
            }
            barrier(sync_pair_, sync_index_, num_threads_, [&] {
                store(panel_first, a + v_);
                store(task_row, a + v_);
            });
            switch_index();
            const index next = load(panel_first);
            if (next > n_) return;
            R = std::min(next + w_, n_);
        }
    }

    // The backward stages of the substitution.
    void backward_stages(T* B, i32& panel_last, i32& back_task_row) {
        // Q: the lowest row a task may start at (rows below it are out of reach
        // of the panel solved before); u: the last row of that panel.
        index Q = n_ - w_, u = n_;
        for (;;) {
            const index a = load(panel_last);
            for (;;) {
                index J = 0;
                {
                    counter_lock lock(counter_mutex_);
                    J = load(back_task_row);
                    if (J < Q) break;
                    store(back_task_row, J - v_);
                }
                const index K = std::max<index>(J - v_ + 1, 1);
                // The solution of rows a+1..u, accumulated per row.
                for (index r = K; r <= J; ++r) {
                    const index ce = std::min(r + w_, u);
                    if (ce <= a) continue;
                    const T* ar = band_row(A_, w_, r);
                    auto s = tr::widen(B[r - 1]);
                    for (index c = a + 1; c <= ce; ++c) tr::acc_sub(s, ar[c - r], B[c - 1]);
                    B[r - 1] = tr::narrow(s);
                }
                if (J == a) {
                    for (index r = J; r >= K; --r) {
                        const T* ar = band_row(A_, w_, r);
                        auto s = tr::widen(B[r - 1]);
                        const index ce = std::min(r + w_, J);
                        for (index c = r + 1; c <= ce; ++c) tr::acc_sub(s, ar[c - r], B[c - 1]);
                        B[r - 1] = tr::div_wide(s, ar[0]);
                    }
                }
            }
            barrier(sync_pair_, sync_index_, num_threads_, [&] {
                store(panel_last, a - v_);
                store(back_task_row, a - v_);
            });
            switch_index();
            const index next = load(panel_last);
            if (next < 1) return;
            Q = std::max<index>(next - w_, 1);
            u = next + v_;
        }
    }

private:
    // Takes the next forward task from the cursor: the diagonal task (at a,
    // v rows) or one of 2v columns (v rows in the substitution, wide = false).
    // False when the stage is over for this thread (the cursor is beyond R).
    bool take_forward(i32& cursor, index a, index R, bool wide, index& H, index& end, bool& diagonal) {
        index length = 0;
        {
            counter_lock lock(counter_mutex_);
            H = load(cursor);
            if (H > R) return false;
            diagonal = H == a;
            length = diagonal || !wide ? v_ : 2 * v_;
            store(cursor, H + length);
        }
        end = std::min(H + length - 1, n_);
        return true;
    }

    // Rows G..F of the finished panel, columns H..end: the updates of the
    // older rows above G, then of the panel rows above each row, then the
    // division by the row's diagonal. Per step.
    void finish_panel_rows(index G, index F, index H, index end) {
        for (index o = std::max<index>(H - w_, 1); o < G; ++o) {
            const T* ao = band_row(A_, w_, o);
            const index ce = std::min(o + w_, end);
            if (ce < H) continue;
            for (index p = G; p <= F; ++p) {
                T* ap = band_row(A_, w_, p);
                const T aop = ao[p - o];
                for (index c = H; c <= ce; ++c) ap[c - p] = tr::mul_sub(ap[c - p], ao[c - o], aop);
            }
        }
        // Rows more than hbw above H do not reach column H.
        for (index p = std::max(G, H - w_); p <= F; ++p) {
            T* ap = band_row(A_, w_, p);
            for (index o = std::max(p - w_, G); o < p; ++o) {
                const T* ao = band_row(A_, w_, o);
                const T aop = ao[p - o];
                const index ce = std::min(o + w_, end);
                for (index c = H; c <= ce; ++c) ap[c - p] = tr::mul_sub(ap[c - p], aop, ao[c - o]);
            }
            const T d = ap[0];
            const index ce = std::min(p + w_, end);
            for (index c = H; c <= ce; ++c) ap[c - p] = tr::div(ap[c - p], d);
        }
    }

    // B(H..end) loses the finished panel's solved B(G..F). Per step.
    void apply_panel_solution(T* B, index G, index F, index H, index end) {
        for (index o = std::max(G, H - w_); o <= F; ++o) {
            const T* ao = band_row(A_, w_, o);
            const T bo = B[o - 1];
            const index ce = std::min(o + w_, end);
            for (index c = H; c <= ce; ++c) B[c - 1] = tr::mul_sub(B[c - 1], ao[c - o], bo);
        }
    }

    // The new panel H..end takes the updates of every row above it within
    // reach (rows up to F, final in these columns by now). Per step.
    void update_new_panel(index F, index H, index end) {
        for (index o = std::max<index>(H - w_, 1); o <= F; ++o) {
            const T* ao = band_row(A_, w_, o);
            const index ce = std::min(o + w_, end);
            for (index r = H; r <= ce; ++r) {
                T* ar = band_row(A_, w_, r);
                const T aor = ao[r - o];
                for (index c = r; c <= ce; ++c) ar[c - r] = tr::mul_sub(ar[c - r], ao[c - o], aor);
            }
        }
    }

    // Forward substitution of B(H..end) with the panel's factor. Per step.
    void forward_solve_panel(T* B, index H, index end) {
        for (index r = H; r <= end; ++r) {
            const T* ar = band_row(A_, w_, r);
            const T br = tr::div(B[r - 1], ar[0]);
            B[r - 1] = br;
            const index ce = std::min(r + w_, end);
            for (index c = r + 1; c <= ce; ++c) B[c - 1] = tr::mul_sub(B[c - 1], br, ar[c - r]);
        }
    }

    void switch_index() { sync_index_ = 3 - sync_index_; }

    T* const A_;
    const index n_;
    const index w_;
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

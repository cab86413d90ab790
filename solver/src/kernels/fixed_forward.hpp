// The forward substitutions for a half bandwidth known at compile time (W):
// spike_solve on the W columns of spikes, and rhs_forward_block on one column
// of B at a time. The W columns of spikes are independent right-hand sides of
// the same substitution, so spike_solve runs the row loop outside and the W
// columns inside, for real elements as the W lanes of one vector.
#pragma once

#include "element_traits.hpp"
#include "kernels/compiler.hpp"

#include <algorithm>
#include <cstdint>

namespace pchol::detail::fixed {

// Forward substitution of the W columns of spikes over rows first..last with the
// transposed factor of the block, rows outside and the W columns inside. The
// row in hand, x, and the W rows after it, which it updates, are held in a
// window w[k][q] (row r + k + 1, column q + 1) that moves down one row per
// step: a row enters the window untouched and leaves it as the row in hand,
// with all its updates.
//
// The window of spike_solve for real elements, one vector of the W columns
// per row: each lane receives the operations of its column in the same order
// (a division by the diagonal entry, then one multiply-subtract per row that
// it updates), so the stored values are those of the scalar window.
// A step of the window within the block's last W rows, the row in hand x
// having m rows below it: they lose its products, and the next moves in.
// Unrolled with a test per row, so the window stays in registers (a loop
// of m steps is a call to memmove).
template <class T, int W, class V>
PCHOL_ALWAYS_INLINE void window_runs_out(V& x, V (&w)[W], const T* ar, index m) {
    PCHOL_UNROLL
    for (index k = 0; k < W; ++k)
        if (k < m) w[k] = w[k] - x * ar[k + 1];
    if (m > 0) {
        x = w[0];
        PCHOL_UNROLL
        for (index k = 1; k < W; ++k)
            if (k < m) w[k - 1] = w[k];
    }
}

// C of the W columns (from spikes on) at a time, C lanes of one vector.
// Only the block's first input_rows rows are read: the rows below them
// enter the window as zeros, whatever spikes holds there.
template <class T, int W, int C>
void spike_solve_columns(const T* A, index first, index last, T* spikes, index n, index input_rows) {
    using vec = typename lanes<T, C>::vec;
    constexpr index S = W + 1;
    // The rows of the C columns, read and written in order: row first - 1
    // (from 0) is the block's first, and every row is read before it is
    // written.
    const index read_end = first - 1 + std::min(last - first + 1, input_rows);  // rows read: up to here (from 0)
    column_rows_in<T, C> in(spikes, n, first - 1, read_end);
    column_rows_out<T, C> out(spikes, n, first - 1);
    vec w[W];
    vec x = in.next();
    PCHOL_UNROLL
    for (index k = 0; k < W; ++k) w[k] = first + k < read_end ? in.next() : vec{};
    for (index r = first; r <= last; ++r) {
        const T* const ar = A + (r - 1) * S;
        x = x / ar[0];
        out.put(x);
        if (r + W <= last) {
            const vec next = w[0] - x * ar[1];
            PCHOL_UNROLL
            for (index k = 1; k < W; ++k) w[k - 1] = w[k] - x * ar[k + 1];
            if (r + W < last) w[W - 1] = r + W < read_end ? in.next() : vec{};
            x = next;
        } else {
            window_runs_out<T, W>(x, w, ar, last - r);
        }
    }
    out.finish();
}

// The same for two blocks of rows rows each (more than W), first1... and
// first2..., side by side: each division waits on the row before, and the
// other block's row fills that wait. The last W rows of each run alone.
// With keep1 and keep2, every solved row is also kept there, widened, one
// row every W elements (keep points at the row's first of these columns),
// for the Gram matrix of the separator's tail.
// Rows from input_rows on enter as zeros, as in spike_solve_columns. Block
// k's rows of the C columns are found in spikes_k by their row numbers.
template <class T, int W, int C>
void spike_solve_columns_pair(const T* A, index first1, index first2, index rows, T* spikes1, T* spikes2, index n,
                              index input_rows, typename element_traits<T>::wide_type* keep1 = nullptr,
                              typename element_traits<T>::wide_type* keep2 = nullptr) {
    using vec = typename lanes<T, C>::vec;
    using wide = typename element_traits<T>::wide_type;
    using wp = wide_parts<T, wide, C>;
    constexpr index S = W + 1;
    // Widened in register-wide parts: a vector of 8 wide lanes, on AVX2,
    // is stored by g++ through general registers.
    auto keep = [](wide* k, index row, const vec& x) {
        if (!k) return;
        PCHOL_UNROLL
        for (int p = 0; p < wp::P; ++p) lanes<wide, wp::K>::store(k + row * W + wp::K * p, wp::widen(x, p));
    };
    const index read = std::min(rows, input_rows);
    column_rows_in<T, C> in1(spikes1, n, first1 - 1, first1 - 1 + read), in2(spikes2, n, first2 - 1, first2 - 1 + read);
    column_rows_out<T, C> out1(spikes1, n, first1 - 1), out2(spikes2, n, first2 - 1);
    vec w1[W], w2[W];
    vec x1 = in1.next(), x2 = in2.next();
    PCHOL_UNROLL
    for (index k = 0; k < W; ++k) {
        w1[k] = k + 1 < read ? in1.next() : vec{};
        w2[k] = k + 1 < read ? in2.next() : vec{};
    }
    const T* a1 = A + (first1 - 1) * S;
    const T* a2 = A + (first2 - 1) * S;
    index r = 0;
    for (; r + W < rows; ++r, a1 += S, a2 += S) {
        x1 = x1 / a1[0];
        x2 = x2 / a2[0];
        out1.put(x1);
        out2.put(x2);
        keep(keep1, r, x1);
        keep(keep2, r, x2);
        const vec next1 = w1[0] - x1 * a1[1];
        const vec next2 = w2[0] - x2 * a2[1];
        PCHOL_UNROLL
        for (index k = 1; k < W; ++k) {
            w1[k - 1] = w1[k] - x1 * a1[k + 1];
            w2[k - 1] = w2[k] - x2 * a2[k + 1];
        }
        if (r + W + 1 < read) {
            w1[W - 1] = in1.next();
            w2[W - 1] = in2.next();
        } else {
            w1[W - 1] = vec{};
            w2[W - 1] = vec{};
        }
        x1 = next1;
        x2 = next2;
    }
    // The last W rows: the windows run out at the blocks' last rows.
    auto tail = [&](vec& x, vec(&w)[W], const T* ar, column_rows_out<T, C>& out,
                    typename element_traits<T>::wide_type* kept) {
        for (index t = r; t < rows; ++t, ar += S) {
            x = x / ar[0];
            out.put(x);
            keep(kept, t, x);
            window_runs_out<T, W>(x, w, ar, rows - 1 - t);
        }
        out.finish();
    };
    tail(x1, w1, a1, out1, keep1);
    tail(x2, w2, a2, out2, keep2);
}

// All W columns, as many at a time as one vector register of the target
// holds (W doubles are two AVX2 registers, and a window of such vectors is
// kept in memory): the columns are independent, so each keeps its values.
template <class T, int W>
void spike_solve_lanes(const T* A, index first, index last, T* spikes, index n, index input_rows) {
    constexpr int C = register_part<T, W>;
    PCHOL_UNROLL
    for (int c = 0; c < W; c += C) spike_solve_columns<T, W, C>(A, first, last, spikes + c * n, n, input_rows);
}

// The window on scalars, W columns side by side.
template <class T, int W>
void spike_solve_window(const T* A, index first, index last, T* spikes, index n) {
    using tr = element_traits<T>;
    constexpr index S = W + 1;
    T w[W][W];
    // Row first + 1 + k: untouched so far.
    PCHOL_UNROLL
    for (index k = 0; k < W; ++k)
        PCHOL_UNROLL
        for (index q = 0; q < W; ++q) w[k][q] = spikes[q * n + first + k];
    T x[W];
    PCHOL_UNROLL
    for (index q = 0; q < W; ++q) x[q] = spikes[q * n + first - 1];
    for (index r = first; r <= last; ++r) {
        const T* const ar = A + (r - 1) * S;
        const T d = ar[0];
        PCHOL_UNROLL
        for (index q = 0; q < W; ++q) {
            x[q] = tr::div(x[q], d);
            spikes[q * n + r - 1] = x[q];
        }
        if (r + W <= last) {
            T next[W];
            PCHOL_UNROLL
            for (index q = 0; q < W; ++q) next[q] = tr::mul_sub(w[0][q], x[q], ar[1]);
            PCHOL_UNROLL
            for (index k = 1; k < W; ++k)
                PCHOL_UNROLL
                for (index q = 0; q < W; ++q) w[k - 1][q] = tr::mul_sub(w[k][q], x[q], ar[k + 1]);
            // Row r + W + 1 enters the window untouched: row r + 1 is the
            // first to update it.
            if (r + W < last) {
                PCHOL_UNROLL
                for (index q = 0; q < W; ++q) w[W - 1][q] = spikes[q * n + r + W];
            }
            PCHOL_UNROLL
            for (index q = 0; q < W; ++q) x[q] = next[q];
        } else {
            // The last W rows: the window runs out at row last.
            const index m = last - r;  // rows below r in the block
            for (index k = 0; k < m; ++k)
                PCHOL_UNROLL
                for (index q = 0; q < W; ++q) w[k][q] = tr::mul_sub(w[k][q], x[q], ar[k + 1]);
            if (m > 0) {
                PCHOL_UNROLL
                for (index q = 0; q < W; ++q) x[q] = w[0][q];
                for (index k = 1; k < m; ++k)
                    PCHOL_UNROLL
                    for (index q = 0; q < W; ++q) w[k - 1][q] = w[k][q];
            }
        }
    }
}

// Forward substitution of one column x of B over rows first..last. Each row's value
// passes from update to update in a register: the row in hand and the W rows
// below it form a window, as in spike_solve, one element per row. One step
// solves one row (rhs_forward_pair runs two blocks' chains side by side).
template <class T, int W>
struct forward_substitution {
    using tr = element_traits<T>;
    static constexpr index S = W + 1;
    const T* A;
    index first, last;
    T* x;
    index r;  // the row in hand
    T w[W] = {};
    T xr = {};

    forward_substitution(const T* A_, index first_, index last_, T* x_)
        : A(A_), first(first_), last(last_), x(x_), r(first_) {
        if (last - first < W) return;
        PCHOL_UNROLL
        for (index k = 0; k < W; ++k) w[k] = x[first + k];
        xr = x[first - 1];
    }

    bool done() const { return r > last; }

    void step() {
        const T* const ar = A + (r - 1) * S;
        if (last - first < W) {
            // Too short for the window: the row updates the rows below it in
            // memory.
            const T y = tr::div(x[r - 1], ar[0]);
            x[r - 1] = y;
            for (index c = r + 1; c <= last; ++c) x[c - 1] = tr::mul_sub(x[c - 1], y, ar[c - r]);
            ++r;
            return;
        }
        xr = tr::div(xr, ar[0]);
        x[r - 1] = xr;
        if (r + W <= last) {
            const T next = tr::mul_sub(w[0], xr, ar[1]);
            PCHOL_UNROLL
            for (index k = 1; k < W; ++k) w[k - 1] = tr::mul_sub(w[k], xr, ar[k + 1]);
            w[W - 1] = r + W < last ? x[r + W] : T{};
            xr = next;
        } else {
            // The last W rows: the window runs out at row last.
            const index m = last - r;
            for (index k = 0; k < m; ++k) w[k] = tr::mul_sub(w[k], xr, ar[k + 1]);
            if (m > 0) {
                xr = w[0];
                for (index k = 1; k < m; ++k) w[k - 1] = w[k];
            }
        }
        ++r;
    }
};

// The same, one block alone, in two loops without the step's tests; the
// block has more than W rows.
template <class T, int W>
void rhs_forward_column(const T* A, index first, index last, T* x) {
    using tr = element_traits<T>;
    constexpr index S = W + 1;
    T w[W];
    PCHOL_UNROLL
    for (index k = 0; k < W; ++k) w[k] = x[first + k];
    T xr = x[first - 1];
    index r = first;
    for (; r + W <= last; ++r) {
        const T* const ar = A + (r - 1) * S;
        xr = tr::div(xr, ar[0]);
        x[r - 1] = xr;
        const T next = tr::mul_sub(w[0], xr, ar[1]);
        PCHOL_UNROLL
        for (index k = 1; k < W; ++k) w[k - 1] = tr::mul_sub(w[k], xr, ar[k + 1]);
        w[W - 1] = r + W < last ? x[r + W] : T{};
        xr = next;
    }
    // The last W rows: the window runs out at row last.
    for (; r <= last; ++r) {
        const T* const ar = A + (r - 1) * S;
        xr = tr::div(xr, ar[0]);
        x[r - 1] = xr;
        const index m = last - r;
        for (index k = 0; k < m; ++k) w[k] = tr::mul_sub(w[k], xr, ar[k + 1]);
        if (m > 0) {
            xr = w[0];
            for (index k = 1; k < m; ++k) w[k - 1] = w[k];
        }
    }
}

// coupling_solve for real elements on exactly W rows r1..r1 + W - 1: column
// q of those rows as one vector, in parts of one register (lane l holds row
// r1 + l), so the triangle of the block's tail runs on registers. Each lane receives its row's
// operations in the reference order (column q's division, then its update
// of every later column, q ascending). With band_limited, column q stops at
// row t_q + W as in the reference: the lanes past it keep their value.
// With from_band (phase 1, r1 = last + 1, band_limited) the coupling is
// not read from spikes but gathered from the band as gather_right_coupling
// leaves it there: column q, lane l <= q, is tail row t_q's entry of row
// r1 + l, and the other lanes are zero.
template <class T, int W, bool from_band = false>
void coupling_solve_lanes(const T* A, index last, index r1, T* spikes, index n, bool band_limited) {
    // The rows in parts of C lanes, one vector register each (8 doubles are
    // two AVX2 registers, and g++ builds their masks lane by lane).
    constexpr int C = register_part<T, W>;
    constexpr int P = W / C;
    using vl = lanes<T, C>;
    using vec = typename vl::vec;
    constexpr index S = W + 1;
    vec v[W][P];
    PCHOL_UNROLL
    for (int q = 0; q < W; ++q)
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) {
            if constexpr (from_band)
                // Slots W - q + C p ... of row t_q = last - W + 1 + q: the
                // lanes past row r1 + q read on into the block's next rows,
                // and are dropped.
                v[q][p] = vl::select(vl::first(q + 1 - C * p), vl::load(A + (last - W + q) * S + W - q + C * p), vec{});
            else
                v[q][p] = vl::load(spikes + q * n + r1 - 1 + C * p);
        }
    PCHOL_UNROLL
    for (int q = 0; q < W; ++q) {
        const T* const at = A + (last - W + q) * S;  // row t_q = last - W + 1 + q
        // Rows up to t_q + W, that is lanes up to last + q + 1 - r1.
        const index limit = band_limited ? std::min<index>(last + q + 2 - r1, W) : W;
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) {
            const auto rows = vl::first(limit - C * p);
            v[q][p] = vl::select(rows, v[q][p] / at[0], v[q][p]);
            PCHOL_UNROLL
            for (int c = 1; q + c < W; ++c) v[q + c][p] = vl::select(rows, v[q + c][p] - at[c] * v[q][p], v[q + c][p]);
        }
    }
    PCHOL_UNROLL
    for (int q = 0; q < W; ++q)
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) vl::store(spikes + q * n + r1 - 1 + C * p, v[q][p]);
}

}  // namespace pchol::detail::fixed

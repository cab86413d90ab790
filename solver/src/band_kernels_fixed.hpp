// Fast paths of the block kernels and coupling steps for a half bandwidth
// known at compile time (W). Each one stores exactly the values of the
// in-order loops in band_kernels_impl.hpp, bit for bit: a value receives the
// same operations, on the same operands, in the same order. What changes is
// which independent values are worked on side by side:
//
//   - the hbw columns of spikes are independent right-hand sides of the same
//     substitution, so spike_solve runs the row loop outside and the W
//     columns inside, for real elements as the W lanes of one vector;
//   - the entries of a Gram matrix or of a correction are independent sums,
//     so update_separator_tail runs over the spike's rows once and keeps all
//     of them running side by side, each still summed over ascending rows;
//   - with W fixed, every loop over a band row or a spikes row has a length
//     the compiler knows and unrolls or turns into vector operations.
//
// The element type stays generic: the arithmetic goes through
// element_traits<T> exactly as in the in-order loops, so these paths serve
// complex elements as well as real ones.
#pragma once

#include "element_traits.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace pchol::detail::fixed {

using index = std::int64_t;

#if defined(__GNUC__)
// The integer vector with the lanes of a vector of W elements of T.
template <class T, int W>
struct vector_mask {
    using lane = std::conditional_t<sizeof(T) == 8, std::int64_t, std::int32_t>;
    typedef lane type __attribute__((vector_size(W * sizeof(lane))));
};
template <class T, int W>
using vector_mask_t = typename vector_mask<T, W>::type;
#endif

// Runs the row chains of two independent blocks side by side, one step of
// each in turn, then the rest of the longer one. A stepper has done() and
// step(); each block's values are those of the stepper run alone.
template <class Stepper>
void side_by_side(Stepper& x, Stepper& y) {
    while (!x.done() && !y.done()) {
        x.step();
        y.step();
    }
    while (!x.done()) x.step();
    while (!y.done()) y.step();
}

// ---- band_factor_block ---------------------------------------------------------

// One step factors one row (with Lanes, the columns right of the diagonal
// as one vector for real elements), so that the chains of two independent blocks
// (root, divisions, the next row's last update) can run side by side
// (band_factor_pair).
template <class T, int W, bool Lanes>
struct band_factorisation {
    using tr = element_traits<T>;
    static constexpr index S = W + 1;  // slots per band row
    T* A;
    index f, l;
    real_of_t<T> tol;
    std::int32_t* flag;
    index i;  // the next row to factor; past l when done or failed
    // The row factored last, kept in registers for the next row, whose last
    // update it gives: p[c] = A(i - 1, i - 1 + c).
    T p[S] = {};

#if defined(__GNUC__)
    // Real elements: the W columns right of the diagonal go through vector
    // operations, lane L holding column i + 1 + L. Each lane gets the
    // operations of its scalar column in the same order; lanes a row does
    // not reach keep their value through a bitwise select, never through an
    // arithmetic no-op, so no value changes by a bit.
    static constexpr bool lanes = Lanes && std::is_floating_point_v<T>;
    // (Complex elements take the scalar path; their vector type is a
    // placeholder.)
    using lane_type = std::conditional_t<lanes, T, float>;
    typedef lane_type vec __attribute__((vector_size(W * sizeof(lane_type))));
    using mask = vector_mask_t<lane_type, W>;
    vec pv = {};  // p[1] ... p[W]
    static vec load(const T* x) {
        vec v;
        std::memcpy(&v, x, sizeof v);
        return v;
    }
    static void save(T* x, vec v) { std::memcpy(x, &v, sizeof v); }
    // The lanes below `count`.
    static mask first_lanes(index count) {
        mask m = {};
        for (index L = 0; L < W; ++L) m[L] = L < count ? -1 : 0;
        return m;
    }
    static vec select(mask m, vec yes, vec no) { return (vec)(((mask)yes & m) | ((mask)no & ~m)); }
#else
    static constexpr bool lanes = false;
#endif

    band_factorisation(T* A_, index f_, index l_, const real_of_t<T>& tol_, std::int32_t* flag_)
        : A(A_), f(f_), l(l_), tol(tol_), flag(flag_), i(f_) {}

#if defined(__GNUC__)
    // The full-window row with the columns right of the diagonal in lanes.
    void vector_step(T* ai) {
        if constexpr (lanes) {
            T v0 = ai[0];
            vec u = load(ai + 1);
#pragma GCC unroll 16
            for (index k = W; k >= 2; --k) {
                const T* const aj = ai - k * S;
                const T aji = aj[k];
                v0 = tr::mul_sub(v0, aj[k], aji);
                // Row i - k reaches columns i ... i + W - k.
                if (k < W) u = select(first_lanes(W - k), u - load(aj + k + 1) * aji, u);
            }
            const T p1 = pv[0];
            v0 = tr::mul_sub(v0, p1, p1);
            // p[2] ... p[W] update columns i + 1 ... i + W - 1.
            const vec shifted = shift_down(pv);
            u = select(first_lanes(W - 1), u - shifted * p1, u);
            if (tr::fails(v0, tol)) {
                ai[0] = v0;
                save(ai + 1, u);
                fail();
                return;
            }
            const T s = tr::root(v0);
            pv = u / s;
            ai[0] = s;
            save(ai + 1, pv);
            ++i;
        }
    }
    // Lane L takes lane L + 1; the last lane is never used.
    static vec shift_down(vec x) {
        if constexpr (W == 4) return __builtin_shufflevector(x, x, 1, 2, 3, 3);
        else return __builtin_shufflevector(x, x, 1, 2, 3, 4, 5, 6, 7, 7);
    }
#endif

    bool done() const { return i > l; }

    void fail() {
        std::atomic_ref<std::int32_t>(*flag).store(-1, std::memory_order_relaxed);
        i = l + 1;
    }

    void step() {
        T* const ai = A + (i - 1) * S;
#if defined(__GNUC__)
        if constexpr (lanes) {
            if (i - W >= f && i + W <= l) {
                vector_step(ai);
                return;
            }
        }
#endif
        if (i - W >= f && i + W <= l) {
            // A full window: rows i - W ... i - 1 all update row i, each over
            // the columns it shares with row i, oldest first.
            T v[S];
#pragma GCC unroll 16
            for (index c = 0; c < S; ++c) v[c] = ai[c];
#pragma GCC unroll 16
            for (index k = W; k >= 2; --k) {
                const T* const aj = ai - k * S;
                const T aji = aj[k];
#pragma GCC unroll 16
                for (index c = 0; c <= W - k; ++c) v[c] = tr::mul_sub(v[c], aj[k + c], aji);
            }
#pragma GCC unroll 16
            for (index c = 0; c < W; ++c) v[c] = tr::mul_sub(v[c], p[1 + c], p[1]);
            const T d = v[0];
            if (tr::fails(d, tol)) {
#pragma GCC unroll 16
                for (index c = 0; c < S; ++c) ai[c] = v[c];
                fail();
                return;
            }
            const T s = tr::root(d);
            p[0] = s;
#pragma GCC unroll 16
            for (index c = 1; c < S; ++c) p[c] = tr::div(v[c], s);
#pragma GCC unroll 16
            for (index c = 0; c < S; ++c) ai[c] = p[c];
            ++i;
            return;
        }
        // The first and last W rows of the block: fewer rows above, or
        // columns cut at the block's end.
        const index ce_row = std::min(i + W, l);
        for (index j = std::max(i - W, f); j < i; ++j) {
            const T* const aj = A + (j - 1) * S;
            const T aji = aj[i - j];
            const index ce = std::min(j + W, l);
            for (index c = i; c <= ce; ++c) ai[c - i] = tr::mul_sub(ai[c - i], aj[c - j], aji);
        }
        const T d = ai[0];
        if (tr::fails(d, tol)) {
            fail();
            return;
        }
        const T s = tr::root(d);
        ai[0] = s;
        for (index c = i + 1; c <= ce_row; ++c) ai[c - i] = tr::div(ai[c - i], s);
        if (i + 1 - W >= f && i + 1 + W <= l) {
#pragma GCC unroll 16
            for (index c = 0; c < S; ++c) p[c] = ai[c];
#if defined(__GNUC__)
            if constexpr (lanes) pv = load(ai + 1);
#endif
        }
        ++i;
    }
};

template <class T, int W>
void band_factor_block(T* A, index f, index l, const real_of_t<T>& tol, std::int32_t* flag) {
    band_factorisation<T, W, false> x(A, f, l, tol, flag);
    while (!x.done()) x.step();
}

// Two independent blocks factored row by row in turn; each runs to its end
// or to its own failed pivot, as band_factor_block would. The vector lanes
// pay here, where the other block's chain hides their latency; one block
// alone is faster on scalars (47 us against 43 us per kernel_bench batch).
template <class T, int W>
void band_factor_pair(T* A, index f1, index l1, index f2, index l2, const real_of_t<T>& tol, std::int32_t* flag) {
    band_factorisation<T, W, true> x(A, f1, l1, tol, flag);
    band_factorisation<T, W, true> y(A, f2, l2, tol, flag);
    side_by_side(x, y);
}

// ---- spike_solve -----------------------------------------------------------------

// Forward substitution of the W columns of spikes over rows f..l with the
// transposed factor of the block, rows outside and the W columns inside. The
// row in hand, x, and the W rows after it, which it updates, are held in a
// window w[k][q] (row r + k + 1, column q + 1) that moves down one row per
// step: a row enters the window untouched and leaves it as the row in hand,
// with all its updates.
#if defined(__GNUC__)
// The window of spike_solve for real elements, one vector of the W columns
// per row: each lane receives the operations of its column in the same order
// (a division by the diagonal entry, then one multiply-subtract per row that
// it updates), so the stored values are those of the scalar window.
template <class T, int W>
void spike_solve_lanes(const T* A, index f, index l, T* spikes, index n) {
    typedef T vec __attribute__((vector_size(W * sizeof(T))));
    constexpr index S = W + 1;
    // Row `row` (from 0) of the W columns, and back.
    auto gather = [spikes, n](index row) {
        vec v = {};
#pragma GCC unroll 16
        for (index q = 0; q < W; ++q) v[q] = spikes[q * n + row];
        return v;
    };
    auto scatter = [spikes, n](index row, vec v) {
#pragma GCC unroll 16
        for (index q = 0; q < W; ++q) spikes[q * n + row] = v[q];
    };
    vec w[W];
#pragma GCC unroll 16
    for (index k = 0; k < W; ++k) w[k] = gather(f + k);
    vec x = gather(f - 1);
    for (index r = f; r <= l; ++r) {
        const T* const ar = A + (r - 1) * S;
        x = x / ar[0];
        scatter(r - 1, x);
        if (r + W <= l) {
            const vec next = w[0] - x * ar[1];
#pragma GCC unroll 16
            for (index k = 1; k < W; ++k) w[k - 1] = w[k] - x * ar[k + 1];
            if (r + W < l) w[W - 1] = gather(r + W);
            x = next;
        } else {
            const index m = l - r;
            for (index k = 0; k < m; ++k) w[k] = w[k] - x * ar[k + 1];
            if (m > 0) {
                x = w[0];
                for (index k = 1; k < m; ++k) w[k - 1] = w[k];
            }
        }
    }
}
#endif

template <class T, int W>
void spike_solve(const T* A, index f, index l, T* spikes, index n) {
    using tr = element_traits<T>;
    constexpr index S = W + 1;
#if defined(__GNUC__)
    if constexpr (std::is_floating_point_v<T>) {
        if (l - f >= W) {
            spike_solve_lanes<T, W>(A, f, l, spikes, n);
            return;
        }
    }
#endif
    if (l - f < W) {
        // Too short for the window: every row updates only rows of the block.
        for (index r = f; r <= l; ++r) {
            const T* const ar = A + (r - 1) * S;
            for (index q = 0; q < W; ++q) {
                T* const x = spikes + q * n;
                const T xr = tr::div(x[r - 1], ar[0]);
                x[r - 1] = xr;
                for (index c = r + 1; c <= l; ++c) x[c - 1] = tr::mul_sub(x[c - 1], xr, ar[c - r]);
            }
        }
        return;
    }
    T w[W][W];
    // Row f + 1 + k: untouched so far.
#pragma GCC unroll 16
    for (index k = 0; k < W; ++k)
#pragma GCC unroll 16
        for (index q = 0; q < W; ++q) w[k][q] = spikes[q * n + f + k];
    T x[W];
#pragma GCC unroll 16
    for (index q = 0; q < W; ++q) x[q] = spikes[q * n + f - 1];
    for (index r = f; r <= l; ++r) {
        const T* const ar = A + (r - 1) * S;
        const T d = ar[0];
#pragma GCC unroll 16
        for (index q = 0; q < W; ++q) {
            x[q] = tr::div(x[q], d);
            spikes[q * n + r - 1] = x[q];
        }
        if (r + W <= l) {
            T next[W];
#pragma GCC unroll 16
            for (index q = 0; q < W; ++q) next[q] = tr::mul_sub(w[0][q], x[q], ar[1]);
#pragma GCC unroll 16
            for (index k = 1; k < W; ++k)
#pragma GCC unroll 16
                for (index q = 0; q < W; ++q) w[k - 1][q] = tr::mul_sub(w[k][q], x[q], ar[k + 1]);
            // Row r + W + 1 enters the window untouched: row r + 1 is the
            // first to update it.
            if (r + W < l) {
#pragma GCC unroll 16
                for (index q = 0; q < W; ++q) w[W - 1][q] = spikes[q * n + r + W];
            }
#pragma GCC unroll 16
            for (index q = 0; q < W; ++q) x[q] = next[q];
        } else {
            // The last W rows: the window runs out at row l.
            const index m = l - r;  // rows below r in the block
            for (index k = 0; k < m; ++k)
#pragma GCC unroll 16
                for (index q = 0; q < W; ++q) w[k][q] = tr::mul_sub(w[k][q], x[q], ar[k + 1]);
            if (m > 0) {
#pragma GCC unroll 16
                for (index q = 0; q < W; ++q) x[q] = w[0][q];
                for (index k = 1; k < m; ++k)
#pragma GCC unroll 16
                    for (index q = 0; q < W; ++q) w[k - 1][q] = w[k][q];
            }
        }
    }
}

// ---- update_separator_tail ---------------------------------------------------------

// The Gram matrix of the right neighbour's spike (rows r1..r2) leaves the
// separator's tail triangle, and spike times B leaves its tail rows of B.
// Every entry is its own sum over ascending rows; one pass over the rows
// carries all of them.
#if defined(__GNUC__)
// update_separator_tail for real elements: row i of the Gram matrix as one
// vector of W wide sums (lane ip), and the sums of the first column of B as
// another (lane i), formed in the same pass over the spike's rows. Each lane
// is its own sum over ascending rows with the products of the scalar loops.
template <class T, int W>
void update_separator_tail_lanes(T* A, index last, index r1, index r2, const T* spikes, T* B, index n,
                                 index nrhs) {
    using tr = element_traits<T>;
    using wide = typename tr::wide_type;
    typedef wide wvec __attribute__((vector_size(W * sizeof(wide))));
    constexpr index S = W + 1;
    const index t0 = last - W + 1;
    // Row r of the W spike columns, and the tail rows of a column of B, widened.
    auto spike_row = [spikes, n](index r) {
        wvec x = {};
#pragma GCC unroll 16
        for (index q = 0; q < W; ++q) x[q] = tr::widen(spikes[q * n + r - 1]);
        return x;
    };
    auto tail_rows = [t0](const T* b) {
        wvec v = {};
#pragma GCC unroll 16
        for (index i = 0; i < W; ++i) v[i] = tr::widen(b[t0 + i - 1]);
        return v;
    };
    auto store_tail_rows = [t0](T* b, wvec v) {
#pragma GCC unroll 16
        for (index i = 0; i < W; ++i) b[t0 + i - 1] = tr::narrow(v[i]);
    };
    wvec g[W];
#pragma GCC unroll 16
    for (index i = 0; i < W; ++i) g[i] = wvec{};
    wvec s = nrhs > 0 ? tail_rows(B) : wvec{};
    for (index r = r1; r <= r2; ++r) {
        const wvec x = spike_row(r);
#pragma GCC unroll 16
        for (index i = 0; i < W; ++i) g[i] += x * x[i];
        if (nrhs > 0) s -= x * tr::widen(B[r - 1]);
    }
#pragma GCC unroll 16
    for (index i = 0; i < W; ++i) {
        T* const at = A + (t0 + i - 1) * S;
#pragma GCC unroll 16
        for (index ip = i; ip < W; ++ip) at[ip - i] = tr::sub_wide(at[ip - i], g[i][ip]);
    }
    if (nrhs > 0) store_tail_rows(B, s);
    for (index k = 1; k < nrhs; ++k) {
        T* const bk = B + k * n;
        wvec sk = tail_rows(bk);
        for (index r = r1; r <= r2; ++r) sk -= spike_row(r) * tr::widen(bk[r - 1]);
        store_tail_rows(bk, sk);
    }
}
#endif

template <class T, int W>
void update_separator_tail(T* A, index last, index r1, index r2, const T* spikes, T* B, index n, index nrhs) {
    using tr = element_traits<T>;
    using wide = typename tr::wide_type;
    constexpr index S = W + 1;
    const index t0 = last - W + 1;
#if defined(__GNUC__)
    if constexpr (std::is_floating_point_v<T>) {
        update_separator_tail_lanes<T, W>(A, last, r1, r2, spikes, B, n, nrhs);
        return;
    }
#endif
    // g[i][ip] = sum over r of spikes(r, ip) * spikes(r, i) for ip >= i; the
    // entries below the diagonal are formed alongside and never used.
    wide g[W][W];
#pragma GCC unroll 16
    for (index i = 0; i < W; ++i)
#pragma GCC unroll 16
        for (index ip = 0; ip < W; ++ip) g[i][ip] = tr::widen(tr::zero());
    for (index r = r1; r <= r2; ++r) {
        T x[W];
#pragma GCC unroll 16
        for (index q = 0; q < W; ++q) x[q] = spikes[q * n + r - 1];
#pragma GCC unroll 16
        for (index i = 0; i < W; ++i)
#pragma GCC unroll 16
            for (index ip = 0; ip < W; ++ip) tr::acc_add(g[i][ip], x[ip], x[i]);
    }
#pragma GCC unroll 16
    for (index i = 0; i < W; ++i) {
        T* const at = A + (t0 + i - 1) * S;
#pragma GCC unroll 16
        for (index ip = i; ip < W; ++ip) at[ip - i] = tr::sub_wide(at[ip - i], g[i][ip]);
    }
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        wide s[W];
#pragma GCC unroll 16
        for (index i = 0; i < W; ++i) s[i] = tr::widen(b[t0 + i - 1]);
        for (index r = r1; r <= r2; ++r) {
            const T br = b[r - 1];
#pragma GCC unroll 16
            for (index i = 0; i < W; ++i) tr::acc_sub(s[i], spikes[i * n + r - 1], br);
        }
#pragma GCC unroll 16
        for (index i = 0; i < W; ++i) b[t0 + i - 1] = tr::narrow(s[i]);
    }
}

// ---- Right-hand-side sweeps ---------------------------------------------------------

// Forward substitution of one column x of B over rows f..l. Each row's value
// passes from update to update in a register: the row in hand and the W rows
// below it form a window, as in spike_solve, one element per row. One step
// solves one row (rhs_forward_pair runs two blocks' chains side by side).
template <class T, int W>
struct forward_substitution {
    using tr = element_traits<T>;
    static constexpr index S = W + 1;
    const T* A;
    index f, l;
    T* x;
    index r;  // the row in hand
    T w[W] = {};
    T xr = {};

    forward_substitution(const T* A_, index f_, index l_, T* x_) : A(A_), f(f_), l(l_), x(x_), r(f_) {
        if (l - f < W) return;
#pragma GCC unroll 16
        for (index k = 0; k < W; ++k) w[k] = x[f + k];
        xr = x[f - 1];
    }

    bool done() const { return r > l; }

    void step() {
        const T* const ar = A + (r - 1) * S;
        if (l - f < W) {
            // Too short for the window: the row updates the rows below it in
            // memory.
            const T y = tr::div(x[r - 1], ar[0]);
            x[r - 1] = y;
            for (index c = r + 1; c <= l; ++c) x[c - 1] = tr::mul_sub(x[c - 1], y, ar[c - r]);
            ++r;
            return;
        }
        xr = tr::div(xr, ar[0]);
        x[r - 1] = xr;
        if (r + W <= l) {
            const T next = tr::mul_sub(w[0], xr, ar[1]);
#pragma GCC unroll 16
            for (index k = 1; k < W; ++k) w[k - 1] = tr::mul_sub(w[k], xr, ar[k + 1]);
            w[W - 1] = r + W < l ? x[r + W] : T{};
            xr = next;
        } else {
            // The last W rows: the window runs out at row l.
            const index m = l - r;
            for (index k = 0; k < m; ++k) w[k] = tr::mul_sub(w[k], xr, ar[k + 1]);
            if (m > 0) {
                xr = w[0];
                for (index k = 1; k < m; ++k) w[k - 1] = w[k];
            }
        }
        ++r;
    }
};

// The same, one block alone, in two loops without the step's tests.
template <class T, int W>
void rhs_forward_column(const T* A, index f, index l, T* x) {
    using tr = element_traits<T>;
    constexpr index S = W + 1;
    if (l - f < W) {
        for (index r = f; r <= l; ++r) {
            const T* const ar = A + (r - 1) * S;
            const T xr = tr::div(x[r - 1], ar[0]);
            x[r - 1] = xr;
            for (index c = r + 1; c <= l; ++c) x[c - 1] = tr::mul_sub(x[c - 1], xr, ar[c - r]);
        }
        return;
    }
    T w[W];
#pragma GCC unroll 16
    for (index k = 0; k < W; ++k) w[k] = x[f + k];
    T xr = x[f - 1];
    index r = f;
    for (; r + W <= l; ++r) {
        const T* const ar = A + (r - 1) * S;
        xr = tr::div(xr, ar[0]);
        x[r - 1] = xr;
        const T next = tr::mul_sub(w[0], xr, ar[1]);
#pragma GCC unroll 16
        for (index k = 1; k < W; ++k) w[k - 1] = tr::mul_sub(w[k], xr, ar[k + 1]);
        w[W - 1] = r + W < l ? x[r + W] : T{};
        xr = next;
    }
    // The last W rows: the window runs out at row l.
    for (; r <= l; ++r) {
        const T* const ar = A + (r - 1) * S;
        xr = tr::div(xr, ar[0]);
        x[r - 1] = xr;
        const index m = l - r;
        for (index k = 0; k < m; ++k) w[k] = tr::mul_sub(w[k], xr, ar[k + 1]);
        if (m > 0) {
            xr = w[0];
            for (index k = 1; k < m; ++k) w[k - 1] = w[k];
        }
    }
}

// Back substitution of one column x of B over rows l down to f, the W solved
// rows below the row in hand kept in registers (v[k] is row r + k + 1).
template <class T, int W>
void rhs_backward_column(const T* A, index f, index l, T* x) {
    using tr = element_traits<T>;
    constexpr index S = W + 1;
    T v[W];
    index r = l;
    // The last W rows of the block: fewer than W solved rows below.
    for (; r >= f && l - r < W; --r) {
        const T* const ar = A + (r - 1) * S;
        auto s = tr::widen(x[r - 1]);
        for (index c = 1; c <= l - r; ++c) tr::acc_sub(s, ar[c], x[r - 1 + c]);
        x[r - 1] = tr::div_wide(s, ar[0]);
    }
    if (r < f) return;
#pragma GCC unroll 16
    for (index k = 0; k < W; ++k) v[k] = x[r + k];
    for (; r >= f; --r) {
        const T* const ar = A + (r - 1) * S;
        auto s = tr::widen(x[r - 1]);
#pragma GCC unroll 16
        for (index c = 1; c <= W; ++c) tr::acc_sub(s, ar[c], v[c - 1]);
        const T xr = tr::div_wide(s, ar[0]);
        x[r - 1] = xr;
#pragma GCC unroll 16
        for (index k = W - 1; k >= 1; --k) v[k] = v[k - 1];
        v[0] = xr;
    }
}

// ---- Coupling steps of the back substitution --------------------------------------------

// apply_left_spike on one column b: rows f..l lose spikes(r, q) * b(t_q),
// q ascending, per step. Rows go through in chunks held in a local array,
// so the W passes over a chunk run on registers.
template <class T, int W>
void apply_left_spike_column(index f, index l, index left_last, const T* spikes, T* b, index n) {
    using tr = element_traits<T>;
    constexpr index chunk = 32;
    T bt[W];
#pragma GCC unroll 16
    for (index q = 0; q < W; ++q) bt[q] = b[left_last - W + q];
    for (index a = f; a <= l; a += chunk) {
        const index m = std::min(chunk, l - a + 1);
        T y[chunk];
        for (index r = 0; r < m; ++r) y[r] = b[a - 1 + r];
#pragma GCC unroll 16
        for (index q = 0; q < W; ++q) {
            const T* const sq = spikes + q * n + (a - 1);
            const T t = bt[q];
            for (index r = 0; r < m; ++r) y[r] = tr::mul_sub(y[r], sq[r], t);
        }
        for (index r = 0; r < m; ++r) b[a - 1 + r] = y[r];
    }
}

// ---- Separator head ---------------------------------------------------------------------

// update_separator_head: the head triangle and the head rows of B lose the
// left neighbour's contribution, q ascending per entry, through a copy of
// the head rows of spikes (h[r][q], r counted from J).
template <class T, int W>
void update_separator_head(T* A, index J, index left_last, const T* spikes, T* B, index n, index nrhs) {
    using tr = element_traits<T>;
    constexpr index S = W + 1;
    const index m = std::min<index>(W, n - J + 1);  // head rows
    T h[W][W];
    for (index r = 0; r < m; ++r)
#pragma GCC unroll 16
        for (index q = 0; q < W; ++q) h[r][q] = spikes[q * n + J - 1 + r];
    for (index r = 0; r < m; ++r) {
        T* const ar = A + (J - 1 + r) * S;
        for (index c = r; c < m; ++c) {
            T v = ar[c - r];
#pragma GCC unroll 16
            for (index q = 0; q < W; ++q) v = tr::mul_sub(v, h[c][q], h[r][q]);
            ar[c - r] = v;
        }
    }
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        T bt[W];
#pragma GCC unroll 16
        for (index q = 0; q < W; ++q) bt[q] = b[left_last - W + q];
        for (index r = 0; r < m; ++r) {
            T v = b[J - 1 + r];
#pragma GCC unroll 16
            for (index q = 0; q < W; ++q) v = tr::mul_sub(v, h[r][q], bt[q]);
            b[J - 1 + r] = v;
        }
    }
}

// form_fill: row by row, the head row's coupling w (copied to the scratch
// slots of row J - 1, as the step defines) times the left neighbour's spike
// tail rows, each entry summed over ascending k; then the rows below the
// head are cleared.
template <class T, int W>
void form_fill(T* A, index J, index K, index left_last, T* spikes, index n) {
    using tr = element_traits<T>;
    using wide = typename tr::wide_type;
    constexpr index S = W + 1;
    const index O = std::min<index>(J + W - 1, n);
    T* const v = A + (J - 2) * S + 1;
    // The tail rows of the left neighbour's spike: t[k][j] = spikes(t_k, j).
    T t[W][W];
#pragma GCC unroll 16
    for (index k = 0; k < W; ++k)
#pragma GCC unroll 16
        for (index j = 0; j < W; ++j) t[k][j] = spikes[j * n + left_last - W + k];
    for (index r = J; r <= O; ++r) {
        T x[W];
#pragma GCC unroll 16
        for (index i = 0; i < W; ++i) x[i] = spikes[i * n + r - 1];
        wide s[W];
#pragma GCC unroll 16
        for (index j = 0; j < W; ++j) s[j] = tr::widen(tr::zero());
#pragma GCC unroll 16
        for (index k = 0; k < W; ++k)
#pragma GCC unroll 16
            for (index j = 0; j < W; ++j) tr::acc_add(s[j], x[k], t[k][j]);
#pragma GCC unroll 16
        for (index i = 0; i < W; ++i) {
            v[i] = x[i];
            spikes[i * n + r - 1] = tr::narrow(tr::negate(s[i]));
        }
    }
    for (index i = 0; i < W; ++i) {
        T* const si = spikes + i * n;
        for (index r = O + 1; r <= K; ++r) si[r - 1] = tr::zero();
    }
}

// ---- Fused back substitution ------------------------------------------------------------

// The back substitution of one column b of a block f..l: for every row, from
// the last up, apply_left_spike's updates (when the block has a left
// separator, whose tail ends at left_last), then apply_link's (for the tail
// rows, when the block has a right separator starting at r1 with m head rows;
// m = 0 when it has none), then rhs_backward_block's solve. Each row's
// updates are independent of the solve of the rows below it, so they run in
// the shadow of that chain; the values are those of the three steps run one
// after the other.
//
// One step solves one row, so that the chains of two independent blocks can
// be run side by side (back_substitute_pair): a row's solve is a chain of W
// dependent subtractions and a division, and the other block's row fills the
// latency.
template <class T, int W>
struct back_substitution {
    using tr = element_traits<T>;
    static constexpr index S = W + 1;
    const T* A;
    index f, l, left_last;
    const T* spikes;
    const T* links;
    index m;
    T* b;
    index n;
    index r;       // the next row to solve, from l down to f
    T bt[W] = {};  // the left separator's tail
    T bh[W] = {};  // the right separator's head
    T v[W] = {};   // the solved rows r + 1 ... r + W, once r <= l - W

    back_substitution(const T* A_, index f_, index l_, index left_last_, const T* spikes_, const T* links_, index r1,
                      index m_, T* b_, index n_)
        : A(A_), f(f_), l(l_), left_last(left_last_), spikes(spikes_), links(links_), m(m_), b(b_), n(n_), r(l_) {
        if (left_last > 0) {
#pragma GCC unroll 16
            for (index q = 0; q < W; ++q) bt[q] = b[left_last - W + q];
            if constexpr (std::is_floating_point_v<T>) {
                apply_left_spike_column<T, W>(f, l, left_last, spikes, b, n);
                left_applied = true;
            }
        }
        for (index c = 0; c < m; ++c) bh[c] = b[r1 - 1 + c];
    }

    bool done() const { return r < f; }

    // For real elements the left-spike updates of all rows of the block are
    // applied before the solve, as apply_left_spike applies them (its row
    // loops run in vector lanes). The block's rows are read by nothing else
    // until they are solved, so the values are those of the updates made row
    // by row in the shadow of the solve, as complex elements still make them.
    bool left_applied = false;

    // Row r with its left-spike and link updates.
    T updated() const {
        T x = b[r - 1];
        if (left_last > 0 && !left_applied) {
#pragma GCC unroll 16
            for (index q = 0; q < W; ++q) x = tr::mul_sub(x, spikes[q * n + r - 1], bt[q]);
        }
        if (r > l - W) {
            const index q = r - (l - W) - 1;
            for (index c = 0; c < m; ++c) x = tr::mul_sub(x, links[(l + c) * W + q], bh[c]);
        }
        return x;
    }

    void step() {
        const T* const ar = A + (r - 1) * S;
        auto s = tr::widen(updated());
        if (l - r < W) {
            // The last W rows of the block: fewer than W solved rows below.
            for (index c = 1; c <= l - r; ++c) tr::acc_sub(s, ar[c], b[r - 1 + c]);
            b[r - 1] = tr::div_wide(s, ar[0]);
            --r;
            if (r >= f && l - r == W) {
#pragma GCC unroll 16
                for (index k = 0; k < W; ++k) v[k] = b[r + k];
            }
            return;
        }
#pragma GCC unroll 16
        for (index c = 1; c <= W; ++c) tr::acc_sub(s, ar[c], v[c - 1]);
        const T xr = tr::div_wide(s, ar[0]);
        b[r - 1] = xr;
#pragma GCC unroll 16
        for (index k = W - 1; k >= 1; --k) v[k] = v[k - 1];
        v[0] = xr;
        --r;
    }
};

template <class T, int W>
void back_substitute_column(const T* A, index f, index l, index left_last, const T* spikes, const T* links, index r1,
                            index m, T* b, index n) {
    back_substitution<T, W> x(A, f, l, left_last, spikes, links, r1, m, b, n);
    while (!x.done()) x.step();
}

}  // namespace pchol::detail::fixed

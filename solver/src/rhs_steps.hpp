// The right-hand-side parts of the separator updates, for a solve with a
// stored factor (pchol_factored_solveK). In the solve that factors,
// update_separator_tail and update_separator_head update A and B together;
// with the factor already in A and WORK only their B parts run, and these
// store in B exactly what those steps store there, bit for bit: every value
// receives the same operations on the same operands in the same order.
//
// Both read what the factorisation left in WORK and keeps there:
//   - the spike of an eliminated block (its spikes rows, final once the block
//     is eliminated), for the tail of the separator on its left;
//   - the solved coupling of a separator's head with the tail of its left
//     neighbour, which the factorisation copied bit for bit into links
//     (save_link) before form_fill reused those spikes rows.
//
// With many right-hand sides the solve also runs them in lanes: 8 or 16
// columns of B side by side, each column's values receiving exactly the
// operations of the one-column kernels (forward_block, the back substitution
// of apply_left_spike, apply_link and rhs_backward_block, and
// separator_tail_rhs), so the bits are the same. A block's rows of those
// columns are first copied into a row-major buffer on the stack, where the
// lanes of a row are consecutive; the latency chains of the substitutions
// then carry rhs_lanes independent values at once.
#pragma once

#include "element_traits.hpp"
#include "kernels/compiler.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/fixed_separator.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace pchol::detail {

// The B part of update_separator_tail: the tail rows t0 ... last of the
// separator lose, per right-hand side, the right neighbour's spike (rows
// r1..r2) times its forward-solved B, one running difference in the wide
// format per tail row over ascending rows r. With the half bandwidth fixed
// (W > 0) the W running differences are carried side by side through one
// pass over the rows; with W = 0 (any hbw) one after the other.
template <class T, int W>
void separator_tail_rhs(std::int64_t hbw, std::int64_t last, std::int64_t r1, std::int64_t r2, const T* spikes,
                        T* B, std::int64_t n, std::int64_t nrhs) {
    using tr = element_traits<T>;
    using index = std::int64_t;
    const index t0 = last - hbw + 1;
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        if constexpr (W > 0 && fixed::vector_lanes && std::is_floating_point_v<T>) {
            fixed::separator_tail_column<T, W>(last, r1, r2, spikes, b, n);
        } else if constexpr (W > 0) {
            typename tr::wide_type s[W];
            for (index i = 0; i < W; ++i) s[i] = tr::widen(b[t0 + i - 1]);
            for (index r = r1; r <= r2; ++r) {
                const T br = b[r - 1];
                for (index i = 0; i < W; ++i) tr::acc_sub(s[i], spikes[i * n + r - 1], br);
            }
            for (index i = 0; i < W; ++i) b[t0 + i - 1] = tr::narrow(s[i]);
        } else {
            for (index i = 0; i < hbw; ++i) {
                const T* const si = spikes + i * n;
                auto s = tr::widen(b[t0 + i - 1]);
                for (index r = r1; r <= r2; ++r) tr::acc_sub(s, si[r - 1], b[r - 1]);
                b[t0 + i - 1] = tr::narrow(s);
            }
        }
    }
}

template <class T>
void separator_tail_rhs(std::int64_t hbw, std::int64_t last, std::int64_t r1, std::int64_t r2, const T* spikes,
                        T* B, std::int64_t n, std::int64_t nrhs) {
    switch (hbw) {
        case 4:
            return separator_tail_rhs<T, 4>(hbw, last, r1, r2, spikes, B, n, nrhs);
        case 8:
            return separator_tail_rhs<T, 8>(hbw, last, r1, r2, spikes, B, n, nrhs);
        default:
            return separator_tail_rhs<T, 0>(hbw, last, r1, r2, spikes, B, n, nrhs);
    }
}

// The B part of update_separator_head: the head rows first ... head_end of
// the separator lose, per step, the kept coupling link(q, r - first + 1)
// times the solution-in-progress of the left neighbour's tail row t_q =
// left_last - hbw + q, for q = 1 ... hbw in turn. link: the left neighbour's
// link, hbw elements a head row (links + left_last * hbw where the solve that
// factors keeps it).
template <class T>
void separator_head_rhs(std::int64_t hbw, std::int64_t first, std::int64_t left_last, const T* link, T* B,
                        std::int64_t n, std::int64_t nrhs) {
    using tr = element_traits<T>;
    using index = std::int64_t;
    const index head_end = std::min(first + hbw - 1, n);
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        for (index q = 1; q <= hbw; ++q) {
            const T bt = b[left_last - hbw + q - 1];
            for (index r = first; r <= head_end; ++r)
                b[r - 1] = tr::mul_sub(b[r - 1], link[(r - first) * hbw + q - 1], bt);
        }
    }
}

// ---- Right-hand sides in lanes ------------------------------------------------------

// The right-hand sides run side by side: rhs_lanes columns at a time, or,
// where a register holds that many (wide_rhs_groups), wide_rhs_lanes while
// that many are left. The longest block (in rows) that the lanes
// take: its rows of the lanes live on the stack (at most 640 rows of 16
// floats or of 8 doubles, 40 KB). Blocks have max(block_size^2 / hbw, hbw + 1) rows:
// with the solvers' block sizes that is at most 576 rows up to hbw = 575.
inline constexpr int rhs_lanes = 8;
inline constexpr int wide_rhs_lanes = 16;
inline constexpr std::int64_t lane_rows = 640;

// Whether rows of element type T run in lanes: real elements, and blocks
// that fit the buffer.
template <class T>
constexpr bool runs_in_lanes(std::int64_t rows) {
    return std::is_floating_point_v<T> && rows <= lane_rows;
}

// Whether two blocks of that many rows run side by side: both share the one
// buffer, so a pair takes no more stack than a block alone.
constexpr bool pairs_in_lanes(std::int64_t rows) {
    return 2 * rows <= lane_rows;
}

// Four blocks side by side (a quad) share a buffer of twice the rows: the
// back substitution's chain through a row (its sums, the division and the
// widening of the solved row) is long enough that four blocks still fill
// its waits. 16 float columns, AVX-512, 288 rows a block: 9.0 ns a row as
// pairs, 7.5 as quads; with AVX2, 8 float columns 8.1 against 5.6.
inline constexpr int quad = 4;
template <int NB>
inline constexpr std::int64_t buffer_rows = NB <= 2 ? lane_rows : NB * lane_rows / 2;
constexpr bool quads_in_lanes(std::int64_t rows) {
    return quad * rows <= buffer_rows<quad>;
}

namespace lanes {

using index = std::int64_t;

// A row of LW right-hand sides and the operations on it: one vector where
// the compiler has vector extensions and T is real, else an array worked
// on lane after lane with the element rules. Either way every lane receives
// exactly the operation of the one-column kernels.
template <class T, int LW, bool Vector = fixed::vector_lanes && std::is_floating_point_v<T>>
struct row_ops {
    using tr = element_traits<T>;
    using row = std::array<T, LW>;
    using wrow = std::array<typename tr::wide_type, LW>;
    static constexpr bool vector = false;
    static row load(const T* y) {
        row v;
        std::copy(y, y + LW, v.begin());
        return v;
    }
    static void store(T* y, const row& v) { std::copy(v.begin(), v.end(), y); }
    static row splat(T x) {
        row v;
        v.fill(x);
        return v;
    }
    static row mul_sub(const row& x, const row& p, const row& q) {
        row r;
        for (int l = 0; l < LW; ++l) r[l] = tr::mul_sub(x[l], p[l], q[l]);
        return r;
    }
    static row div(const row& x, T d) {
        row r;
        for (int l = 0; l < LW; ++l) r[l] = tr::div(x[l], d);
        return r;
    }
    static wrow widen(const row& x) {
        wrow r;
        for (int l = 0; l < LW; ++l) r[l] = tr::widen(x[l]);
        return r;
    }
    static row narrow(const wrow& s) {
        row r;
        for (int l = 0; l < LW; ++l) r[l] = tr::narrow(s[l]);
        return r;
    }
    // s - p*q[l] in the wide format, lane by lane.
    static wrow acc_sub(wrow s, T p, const row& q) {
        for (int l = 0; l < LW; ++l) tr::acc_sub(s[l], p, q[l]);
        return s;
    }
    static row div_wide(const wrow& s, T d) {
        row r;
        for (int l = 0; l < LW; ++l) r[l] = tr::div_wide(s[l], d);
        return r;
    }
};

// The vector form. Its wide sums (the back substitution's and the
// separator tail's) are held in register-wide parts, fixed::wide_parts.
template <class T, int LW>
struct row_ops<T, LW, true> {
    using row = typename fixed::lanes<T, LW>::vec;
    static constexpr bool vector = true;
    static row load(const T* y) { return fixed::lanes<T, LW>::load(y); }
    static void store(T* y, const row& v) { fixed::lanes<T, LW>::store(y, v); }
    static row splat(T x) { return fixed::lanes<T, LW>::splat(x); }
    static row mul_sub(const row& x, const row& p, const row& q) { return x - p * q; }
    static row div(const row& x, T d) { return x / splat(d); }
};

// y[(r - first) * LW + k] <-> B(r, k + 1) for rows first..last; for real
// elements C = fixed::transpose_columns<T> columns and C rows at a time
// through a transpose (the columns lie n elements apart).
template <class T, int LW>
void load_rows(const T* B, index n, index first, index last, T* y) {
    if constexpr (row_ops<T, LW>::vector) {
        constexpr int C = fixed::transpose_columns<T>;
        static_assert(LW % C == 0);
        for (int h = 0; h < LW; h += C) {
            fixed::column_rows_in<T, C> rows(B + h * n, n, first - 1, last);
            for (index r = first; r <= last; ++r) fixed::lanes<T, C>::store(y + (r - first) * LW + h, rows.next());
        }
    } else {
        for (index r = first; r <= last; ++r)
            for (index k = 0; k < LW; ++k) y[(r - first) * LW + k] = B[k * n + r - 1];
    }
}
template <class T, int LW>
void store_rows(const T* y, index n, index first, index last, T* B) {
    if constexpr (row_ops<T, LW>::vector) {
        constexpr int C = fixed::transpose_columns<T>;
        for (int h = 0; h < LW; h += C) {
            fixed::column_rows_out<T, C> rows(B + h * n, n, first - 1);
            for (index r = first; r <= last; ++r) rows.put(fixed::lanes<T, C>::load(y + (r - first) * LW + h));
            rows.finish();
        }
    } else {
        for (index r = first; r <= last; ++r)
            for (index k = 0; k < LW; ++k) B[k * n + r - 1] = y[(r - first) * LW + k];
    }
}

// Row `row` of B's LW columns from B on, element by element, and back
// (through an array: lanes set one by one would keep the vector in memory).
template <class T, int LW>
typename row_ops<T, LW>::row gather(const T* B, index n, index row) {
    T v[LW];
    for (int k = 0; k < LW; ++k) v[k] = B[k * n + row - 1];
    return row_ops<T, LW>::load(v);
}
template <class T, int LW>
void scatter(const typename row_ops<T, LW>::row& x, index n, index row, T* B) {
    T v[LW];
    row_ops<T, LW>::store(v, x);
    for (int k = 0; k < LW; ++k) B[k * n + row - 1] = v[k];
}

// forward_block on the m rows in y[b] of each of the NB blocks from row
// first[b] on: y(i) <- y(i) / A(i, i), then y(c) <- y(c) - y(i) * A(i, c)
// for the rows c below i in the block, step after step. With W > 0 the W
// rows below the step are carried in registers while the step's row is W
// rows above the blocks' end. The NB blocks run their steps side by side:
// each step waits on the division of the step before, and the other
// blocks' steps fill that wait. The K lanes from y[b] on of rows S
// elements apart.
template <class T, int K, int S, int W, int NB>
void forward_part(const T* A, index hbw, const index (&first)[NB], index m, T* const (&y)[NB]) {
    using ops = row_ops<T, K>;
    using row = typename ops::row;
    const index AS = hbw + 1;
    const T* a[NB];
    PCHOL_UNROLL
    for (int b = 0; b < NB; ++b) a[b] = A + (first[b] - 1) * AS;
    index i = 0;
    if constexpr (W > 0) {
        if (m > W) {
            row win[NB][W];  // rows i ... i + W - 1, updated by the steps above i
            PCHOL_UNROLL
            for (int b = 0; b < NB; ++b)
                PCHOL_UNROLL
                for (int k = 0; k < W; ++k) win[b][k] = ops::load(y[b] + k * S);
            for (; i + W < m; ++i) {
                PCHOL_UNROLL
                for (int b = 0; b < NB; ++b) {
                    const T* const ai = a[b] + i * AS;
                    const row yi = ops::div(win[b][0], ai[0]);
                    ops::store(y[b] + i * S, yi);
                    PCHOL_UNROLL
                    for (int k = 1; k < W; ++k) win[b][k - 1] = ops::mul_sub(win[b][k], yi, ops::splat(ai[k]));
                    win[b][W - 1] = ops::mul_sub(ops::load(y[b] + (i + W) * S), yi, ops::splat(ai[W]));
                }
            }
            PCHOL_UNROLL
            for (int b = 0; b < NB; ++b)
                PCHOL_UNROLL
                for (int k = 0; k < W; ++k) ops::store(y[b] + (i + k) * S, win[b][k]);
        }
    }
    for (int b = 0; b < NB; ++b) {
        T* const yb = y[b];
        for (index j = i; j < m; ++j) {
            const T* const aj = a[b] + j * AS;
            const row yj = ops::div(ops::load(yb + j * S), aj[0]);
            ops::store(yb + j * S, yj);
            const index ce = std::min(j + hbw, m - 1);
            for (index c = j + 1; c <= ce; ++c)
                ops::store(yb + c * S, ops::mul_sub(ops::load(yb + c * S), yj, ops::splat(aj[c - j])));
        }
    }
}

// forward_part on the LW lanes of the rows in y[b], in parts of the lanes
// one vector register holds where a row is wider: the lanes are independent
// columns, and a window of rows of two registers or more each spills (8
// doubles with AVX2 ran 3 times slower than two passes of 4).
template <class T, int LW, int W, int NB = 1>
void forward_rows(const T* A, index hbw, const index (&first)[NB], index m, T* const (&y)[NB]) {
    constexpr int K = row_ops<T, LW>::vector ? fixed::register_part<T, LW> : LW;
    static_assert(LW % K == 0);
    PCHOL_UNROLL
    for (int p = 0; p < LW / K; ++p) {
        T* yp[NB];
        PCHOL_UNROLL
        for (int b = 0; b < NB; ++b) yp[b] = y[b] + p * K;
        forward_part<T, K, LW, W, NB>(A, hbw, first, m, yp);
    }
}

// rhs_backward_block on the m rows in y[b] of each of the NB blocks: from
// the last row up, row i's wide sum loses A(i, c) * y(c) for the rows c
// below it in ascending order and is divided by the diagonal. With W > 0 the
// rows W above the blocks' end take their W products unrolled. Each row's
// sum starts with the row just solved below it, so a row waits on the whole
// chain of the row before; two blocks run side by side.
template <class T, int LW, int W, int NB = 1>
void backward_rows(const T* A, index hbw, const index (&first)[NB], index m, T* const (&y)[NB]) {
    using ops = row_ops<T, LW>;
    const index S = hbw + 1;
    const T* a[NB];
    PCHOL_UNROLL
    for (int b = 0; b < NB; ++b) a[b] = A + (first[b] - 1) * S;
    if constexpr (ops::vector) {
        // Each row's wide sums in pieces; the rows below come from y, or,
        // when the wide format is wider than T and W is fixed, from a ring
        // of the last R solved rows kept widened (each row below is read by
        // W rows above it, and widening it once saves the conversions).
        using wide = typename element_traits<T>::wide_type;
        using wp = fixed::wide_parts<T, wide, LW>;
        using wvec = typename wp::part;
        constexpr int P = wp::P;
        constexpr bool ring = W > 0 && !std::is_same_v<T, wide>;
        constexpr index R = 16;
        static_assert(!ring || W < R);
        wide kept[NB][ring ? R * LW : 1];
        auto below = [&](int b, index i, index c, int p) -> wvec {
            if constexpr (ring)
                return fixed::lanes<wide, wp::K>::load(&kept[b][((i + c) & (R - 1)) * LW + wp::K * p]);
            else
                return wp::load(y[b] + (i + c) * LW + wp::K * p);
        };
        for (index i = m - 1; i >= 0; --i) {
            PCHOL_UNROLL
            for (int b = 0; b < NB; ++b) {
                const T* const ai = a[b] + i * S;
                T* const yi = y[b] + i * LW;
                wvec s[P];
                PCHOL_UNROLL
                for (int p = 0; p < P; ++p) s[p] = wp::load(yi + wp::K * p);
                if (W > 0 && i + W <= m - 1) {
                    PCHOL_UNROLL
                    for (int c = 1; c <= W; ++c) {
                        const wvec ac = wp::splat(ai[c]);
                        PCHOL_UNROLL
                        for (int p = 0; p < P; ++p) s[p] = s[p] - ac * below(b, i, c, p);
                    }
                } else {
                    const index ce = std::min(i + hbw, m - 1) - i;
                    for (index c = 1; c <= ce; ++c) {
                        const wvec ac = wp::splat(ai[c]);
                        PCHOL_UNROLL
                        for (int p = 0; p < P; ++p) s[p] = s[p] - ac * below(b, i, c, p);
                    }
                }
                const wvec d = wp::splat(ai[0]);
                PCHOL_UNROLL
                for (int p = 0; p < P; ++p) {
                    // The row as stored (rounded to T), and widened again.
                    const typename wp::narrow_part v = __builtin_convertvector(s[p] / d, typename wp::narrow_part);
                    fixed::lanes<T, wp::K>::store(yi + wp::K * p, v);
                    if constexpr (ring)
                        fixed::lanes<wide, wp::K>::store(&kept[b][(i & (R - 1)) * LW + wp::K * p],
                                                         fixed::convert_lanes<wvec>(v));
                }
            }
        }
    } else {
        for (int b = 0; b < NB; ++b) {
            for (index i = m - 1; i >= 0; --i) {
                const T* const ai = a[b] + i * S;
                auto s = ops::widen(ops::load(y[b] + i * LW));
                const index ce = std::min(i + hbw, m - 1);
                for (index c = i + 1; c <= ce; ++c) s = ops::acc_sub(s, ai[c - i], ops::load(y[b] + c * LW));
                ops::store(y[b] + i * LW, ops::div_wide(s, ai[0]));
            }
        }
    }
}

// apply_left_spike on the m rows in y of the block from `first` on: for
// q = 1 ... hbw in turn, every row r loses spike q's row r times the left
// separator's solved tail row left_last - hbw + q. Q steps q run together in
// one pass over the rows; each row still takes them in ascending q.
template <class T, int LW, int Q>
void left_spike_steps(index q0, index hbw, index first, index m, index left_last, const T* spikes, const T* B,
                      index n, T* y) {
    using ops = row_ops<T, LW>;
    using row = typename ops::row;
    row t[Q];
    const T* s[Q];
    PCHOL_UNROLL
    for (int j = 0; j < Q; ++j) {
        t[j] = gather<T, LW>(B, n, left_last - hbw + q0 + j);
        s[j] = spikes + (q0 + j - 1) * n + first - 1;
    }
    for (index i = 0; i < m; ++i) {
        row v = ops::load(y + i * LW);
        PCHOL_UNROLL
        for (int j = 0; j < Q; ++j) v = ops::mul_sub(v, ops::splat(s[j][i]), t[j]);
        ops::store(y + i * LW, v);
    }
}

// The back substitution of the NB blocks of task on the LW columns from B
// on (blocks of the same length, NB of them fitting buffer_rows<NB>): apply_left_spike when left_last > 0,
// apply_link when r1 > 0 (the right separator r1..r2), then
// rhs_backward_block, each in its own order.
template <class T, int LW, int NB = 1>
void back_substitute(const T* A, index hbw, const back_task (&task)[NB], const T* spikes, const T* links, T* B,
                     index n) {
    using ops = row_ops<T, LW>;
    using row = typename ops::row;
    const index m = task[0].last - task[0].first + 1;
    T rows[buffer_rows<NB> * LW];  // block b's rows from b * m on
    T* y[NB];
    index first[NB];
    for (int b = 0; b < NB; ++b) {
        const back_task& p = task[b];
        y[b] = rows + b * m * LW;
        first[b] = p.first;
        load_rows<T, LW>(B, n, p.first, p.last, y[b]);
        if (p.left_last > 0) {
            constexpr int Q = 4;
            const T* const spike = p.spikes_of(spikes);
            index q = 1;
            for (; q + Q - 1 <= hbw; q += Q)
                left_spike_steps<T, LW, Q>(q, hbw, p.first, m, p.left_last, spike, B, n, y[b]);
            for (; q <= hbw; ++q) left_spike_steps<T, LW, 1>(q, hbw, p.first, m, p.left_last, spike, B, n, y[b]);
        }
        if (p.r1 > 0) {
            const index heads = std::min(p.r2 - p.r1 + 1, hbw);
            const index ce = std::min(p.last + heads, n);
            for (index c = p.last + 1; c <= ce; ++c) {
                const row h = gather<T, LW>(B, n, p.r1 + (c - p.last - 1));
                const T* const lc = p.link_of(links, hbw) + (c - p.last - 1) * hbw;
                for (index q = hbw; q >= 1; --q) {
                    T* const yr = y[b] + (m - 1 - hbw + q) * LW;
                    ops::store(yr, ops::mul_sub(ops::load(yr), ops::splat(lc[q - 1]), h));
                }
            }
        }
    }
    fixed::by_fixed_width(hbw, [&](auto W) { backward_rows<T, LW, W, NB>(A, hbw, first, m, y); });
    for (int b = 0; b < NB; ++b) store_rows<T, LW>(y[b], n, task[b].first, task[b].last, B);
}

// separator_tail_rhs on the tail rows t0 + i0 ... t0 + i0 + Q - 1 of the
// LW columns from B on: Q running differences carried side by side through
// one pass over the right neighbour's rows z (rows r1.., m of them). In the
// vector form z's rows come already widened (Z the wide type) or are
// widened here (Z = T).
template <class T, int LW, int Q, class Z = T>
void tail_rows(index i0, index t0, index r1, index m, const T* spikes, const Z* z, T* B, index n) {
    using ops = row_ops<T, LW>;
    const T* p[Q];
    PCHOL_UNROLL
    for (int j = 0; j < Q; ++j) p[j] = spikes + (i0 + j) * n + r1 - 1;
    if constexpr (ops::vector) {
        using wide = typename element_traits<T>::wide_type;
        using wp = fixed::wide_parts<T, wide, LW>;
        using wvec = typename wp::part;
        constexpr int P = wp::P;
        wvec s[Q][P];
        PCHOL_UNROLL
        for (int j = 0; j < Q; ++j) {
            T v[LW];
            for (int k = 0; k < LW; ++k) v[k] = B[k * n + t0 + i0 + j - 1];
            PCHOL_UNROLL
            for (int q = 0; q < P; ++q) s[j][q] = wp::load(v + wp::K * q);
        }
        for (index r = 0; r < m; ++r) {
            wvec zr[P];
            PCHOL_UNROLL
            for (int q = 0; q < P; ++q) {
                if constexpr (std::is_same_v<Z, T>)
                    zr[q] = wp::load(z + r * LW + wp::K * q);
                else
                    zr[q] = fixed::lanes<wide, wp::K>::load(z + r * LW + wp::K * q);
            }
            PCHOL_UNROLL
            for (int j = 0; j < Q; ++j) {
                const wvec pj = wp::splat(p[j][r]);
                PCHOL_UNROLL
                for (int q = 0; q < P; ++q) s[j][q] = s[j][q] - pj * zr[q];
            }
        }
        PCHOL_UNROLL
        for (int j = 0; j < Q; ++j) {
            T v[LW];
            PCHOL_UNROLL
            for (int q = 0; q < P; ++q) wp::store(v + wp::K * q, s[j][q]);
            for (int k = 0; k < LW; ++k) B[k * n + t0 + i0 + j - 1] = v[k];
        }
    } else {
        typename ops::wrow s[Q];
        for (int j = 0; j < Q; ++j) s[j] = ops::widen(gather<T, LW>(B, n, t0 + i0 + j));
        for (index r = 0; r < m; ++r) {
            const auto zr = ops::load(z + r * LW);
            for (int j = 0; j < Q; ++j) s[j] = ops::acc_sub(s[j], p[j][r], zr);
        }
        for (int j = 0; j < Q; ++j) scatter<T, LW>(ops::narrow(s[j]), n, t0 + i0 + j, B);
    }
}

// separator_tail_rhs on the LW columns from B on, with the right
// neighbour's rows r1 ... r1 + m - 1 of those columns in z. Where the wide
// format is wider than T, z's rows are widened once into a buffer here
// rather than once for every group of tail rows that passes over them.
template <class T, int LW>
void separator_tail(index hbw, index last, index r1, index m, const T* spikes, const T* z, T* B, index n) {
    const index t0 = last - hbw + 1;
    // Q * LW wide lanes of running differences: 64, eight AVX2 vectors.
    constexpr int Q = 32 / LW > 0 ? 32 / LW : 1;
    using wide = typename element_traits<T>::wide_type;
    auto passes = [&](const auto* rows) {
        index i = 0;
        for (; i + Q <= hbw; i += Q) tail_rows<T, LW, Q>(i, t0, r1, m, spikes, rows, B, n);
        for (; i < hbw; ++i) tail_rows<T, LW, 1>(i, t0, r1, m, spikes, rows, B, n);
    };
    if constexpr (row_ops<T, LW>::vector && !std::is_same_v<T, wide>) {
        if (hbw > Q) {
            using wp = fixed::wide_parts<T, wide, LW>;
            wide widened[lane_rows * LW];
            for (index e = 0; e < m * LW; e += wp::K)
                fixed::lanes<wide, wp::K>::store(widened + e, wp::load(z + e));
            return passes(static_cast<const wide*>(widened));
        }
    }
    passes(z);
}

// rhs_forward_block on the LW columns from B on, of the NB blocks
// first[b]..last[b], all of the same length and together at most
// buffer_rows<NB> rows; then, where tail_last[b] > 0,
// the separator on the block's left, which ends there, takes the block's
// separator_tail_rhs from the solved rows while they are at hand, with
// block b's spike rows found at spikes[b] by their row numbers.
template <class T, int LW, int NB = 1>
void forward(const T* A, index hbw, const index (&first)[NB], const index (&last)[NB], const index (&tail_last)[NB],
             const T* const (&spikes)[NB], T* B, index n) {
    const index m = last[0] - first[0] + 1;
    T rows[buffer_rows<NB> * LW];  // block b's rows from b * m on
    T* y[NB];
    for (int b = 0; b < NB; ++b) {
        y[b] = rows + b * m * LW;
        load_rows<T, LW>(B, n, first[b], last[b], y[b]);
    }
    fixed::by_fixed_width(hbw, [&](auto W) { forward_rows<T, LW, W, NB>(A, hbw, first, m, y); });
    for (int b = 0; b < NB; ++b) store_rows<T, LW>(y[b], n, first[b], last[b], B);
    for (int b = 0; b < NB; ++b)
        if (tail_last[b] > 0) separator_tail<T, LW>(hbw, tail_last[b], first[b], m, spikes[b], y[b], B, n);
}

// separator_head_rhs on the LW columns from B on: the head rows are
// gathered into rows of lanes, take the hbw steps in turn, and go back.
template <class T, int LW>
void separator_head(index hbw, index first, index left_last, const T* link, T* B, index n) {
    using ops = row_ops<T, LW>;
    using row = typename ops::row;
    const index heads = std::min(first + hbw - 1, n) - first + 1;
    row y[lane_rows];
    for (index r = 0; r < heads; ++r) y[r] = gather<T, LW>(B, n, first + r);
    for (index q = 1; q <= hbw; ++q) {
        const row bt = gather<T, LW>(B, n, left_last - hbw + q);
        for (index r = 0; r < heads; ++r)
            y[r] = ops::mul_sub(y[r], ops::splat(link[r * hbw + q - 1]), bt);
    }
    for (index r = 0; r < heads; ++r) scatter<T, LW>(y[r], n, first + r, B);
}

}  // namespace lanes

// Whether T's right-hand sides run wide_rhs_lanes at a time: only where a
// row of them fills one vector register (floats with AVX-512). A row in two
// registers or more gives the substitutions' windows of rows more vectors
// than the register file holds, and with AVX2 floats (two registers a row)
// 16 columns at a time were 13 % slower than 8: factored solve of 16
// right-hand sides, AMD EPYC, 0.260-0.263 s against 0.223-0.232 s on one
// thread. Doubles with AVX-512 too: 0.311-0.318 s against 0.287-0.294 s.
template <class T>
inline constexpr bool wide_rhs_groups = fixed::register_elements<T> >= wide_rhs_lanes;

// Runs the nrhs columns of B: with lanes_on, whole groups of wide_rhs_lanes
// (where wide_rhs_groups<T>) and then of rhs_lanes columns through
// in_lanes(first column, LW) with LW the group's width as a compile-time
// constant; the rest through one_by_one(first column, count).
template <class T, class Lanes, class OneByOne>
void by_lanes(bool lanes_on, std::int64_t nrhs, Lanes&& in_lanes, OneByOne&& one_by_one) {
    std::int64_t k = 0;
    if (lanes_on) {
        if constexpr (wide_rhs_groups<T>)
            for (; k + wide_rhs_lanes <= nrhs; k += wide_rhs_lanes)
                in_lanes(k, std::integral_constant<int, wide_rhs_lanes>{});
        for (; k + rhs_lanes <= nrhs; k += rhs_lanes) in_lanes(k, std::integral_constant<int, rhs_lanes>{});
    }
    if (k < nrhs) one_by_one(k, nrhs - k);
}

}  // namespace pchol::detail

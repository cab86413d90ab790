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
// With many right-hand sides the solve also runs them in lanes: rhs_lanes
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
#include "kernels/fixed_separator.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

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
// the separator lose, per step, the kept coupling links(q, left_last + 1 +
// (r - first)) times the solution-in-progress of the left neighbour's tail
// row t_q = left_last - hbw + q, for q = 1 ... hbw in turn.
template <class T>
void separator_head_rhs(std::int64_t hbw, std::int64_t first, std::int64_t left_last, const T* links, T* B,
                        std::int64_t n, std::int64_t nrhs) {
    using tr = element_traits<T>;
    using index = std::int64_t;
    const index head_end = std::min(first + hbw - 1, n);
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        for (index q = 1; q <= hbw; ++q) {
            const T bt = b[left_last - hbw + q - 1];
            for (index r = first; r <= head_end; ++r)
                b[r - 1] = tr::mul_sub(b[r - 1], links[(left_last + r - first) * hbw + q - 1], bt);
        }
    }
}

// ---- Right-hand sides in lanes ------------------------------------------------------

// The right-hand sides that run side by side, and the longest block (in rows)
// that the lanes take: its rows of rhs_lanes columns live on the stack
// (at most 640 * 8 wide elements, 40 KB for double). Blocks have
// max(block_size^2 / hbw, hbw + 1) rows: with the solvers' block sizes that
// is at most 576 rows up to hbw = 575.
inline constexpr int rhs_lanes = 8;
inline constexpr std::int64_t lane_rows = 640;

// Whether rows of element type T run in lanes: real elements, and blocks
// that fit the buffer.
template <class T>
constexpr bool runs_in_lanes(std::int64_t rows) {
    return std::is_floating_point_v<T> && rows <= lane_rows;
}

namespace lanes {

using index = std::int64_t;
constexpr index L = rhs_lanes;

// y[(r - first) * L + k] <-> B(r, k + 1) for rows first..last; for real
// elements L rows at a time through a transpose (the columns lie n elements
// apart). Complex elements never run in lanes.
template <class T>
void load_rows(const T* B, index n, index first, index last, T* y) {
    if constexpr (std::is_floating_point_v<T>) {
        using vec = typename fixed::lanes<T, L>::vec;
        fixed::column_rows_in<T, L> rows(B, n, first - 1, last);
        for (index r = first; r <= last; ++r) {
            const vec v = rows.next();
            std::memcpy(y + (r - first) * L, &v, sizeof v);
        }
    } else {
        for (index r = first; r <= last; ++r)
            for (index k = 0; k < L; ++k) y[(r - first) * L + k] = B[k * n + r - 1];
    }
}
template <class T>
void store_rows(const T* y, index n, index first, index last, T* B) {
    if constexpr (std::is_floating_point_v<T>) {
        using vec = typename fixed::lanes<T, L>::vec;
        fixed::column_rows_out<T, L> rows(B, n, first - 1);
        for (index r = first; r <= last; ++r) {
            vec v;
            std::memcpy(&v, y + (r - first) * L, sizeof v);
            rows.put(v);
        }
        rows.finish();
    } else {
        for (index r = first; r <= last; ++r)
            for (index k = 0; k < L; ++k) B[k * n + r - 1] = y[(r - first) * L + k];
    }
}

// forward_block on the L columns from B on: x(r) <- x(r) / A(r, r), then
// x(c) <- x(c) - x(r) * A(r, c) for the block's rows c below r, per step.
template <class T>
void forward(const T* A, index hbw, index first, index last, T* B, index n) {
    using tr = element_traits<T>;
    T y[lane_rows * L];
    load_rows(B, n, first, last, y);
    for (index r = first; r <= last; ++r) {
        const T* const ar = A + (r - 1) * (hbw + 1);
        T* const yr = y + (r - first) * L;
        for (index k = 0; k < L; ++k) yr[k] = tr::div(yr[k], ar[0]);
        const index ce = std::min(r + hbw, last);
        for (index c = r + 1; c <= ce; ++c) {
            T* const yc = y + (c - first) * L;
            const T a = ar[c - r];
            for (index k = 0; k < L; ++k) yc[k] = tr::mul_sub(yc[k], yr[k], a);
        }
    }
    store_rows(y, n, first, last, B);
}

// The back substitution of the block on the L columns from B on:
// apply_left_spike when left_last > 0, apply_link when r1 > 0 (the right
// separator r1..r2), then rhs_backward_block, each in its own order.
template <class T>
void back_substitute(const T* A, index hbw, index first, index last, index left_last, const T* spikes,
                     const T* links, index r1, index r2, T* B, index n) {
    using tr = element_traits<T>;
    T y[lane_rows * L];
    load_rows(B, n, first, last, y);
    if (left_last > 0) {
        for (index q = 1; q <= hbw; ++q) {
            T t[L];
            for (index k = 0; k < L; ++k) t[k] = B[k * n + left_last - hbw + q - 1];
            const T* const sq = spikes + (q - 1) * n;
            for (index r = first; r <= last; ++r) {
                T* const yr = y + (r - first) * L;
                const T p = sq[r - 1];
                for (index k = 0; k < L; ++k) yr[k] = tr::mul_sub(yr[k], p, t[k]);
            }
        }
    }
    if (r1 > 0) {
        const index m = std::min(r2 - r1 + 1, hbw);
        const index ce = std::min(last + m, n);
        for (index c = last + 1; c <= ce; ++c) {
            T h[L];
            for (index k = 0; k < L; ++k) h[k] = B[k * n + r1 + (c - last - 1) - 1];
            const T* const lc = links + (c - 1) * hbw;
            for (index q = hbw; q >= 1; --q) {
                T* const yr = y + (last - hbw + q - first) * L;
                const T p = lc[q - 1];
                for (index k = 0; k < L; ++k) yr[k] = tr::mul_sub(yr[k], p, h[k]);
            }
        }
    }
    for (index r = last; r >= first; --r) {
        const T* const ar = A + (r - 1) * (hbw + 1);
        T* const yr = y + (r - first) * L;
        typename tr::wide_type s[L];
        for (index k = 0; k < L; ++k) s[k] = tr::widen(yr[k]);
        const index ce = std::min(r + hbw, last);
        for (index c = r + 1; c <= ce; ++c) {
            const T* const yc = y + (c - first) * L;
            const T a = ar[c - r];
            for (index k = 0; k < L; ++k) tr::acc_sub(s[k], a, yc[k]);
        }
        for (index k = 0; k < L; ++k) yr[k] = tr::div_wide(s[k], ar[0]);
    }
    store_rows(y, n, first, last, B);
}

// separator_tail_rhs on the L columns from B on.
template <class T>
void separator_tail(index hbw, index last, index r1, index r2, const T* spikes, T* B, index n) {
    using tr = element_traits<T>;
    T z[lane_rows * L];
    load_rows(B, n, r1, r2, z);
    const index t0 = last - hbw + 1;
    for (index i = 0; i < hbw; ++i) {
        typename tr::wide_type s[L];
        for (index k = 0; k < L; ++k) s[k] = tr::widen(B[k * n + t0 + i - 1]);
        const T* const si = spikes + i * n;
        for (index r = r1; r <= r2; ++r) {
            const T p = si[r - 1];
            const T* const zr = z + (r - r1) * L;
            for (index k = 0; k < L; ++k) tr::acc_sub(s[k], p, zr[k]);
        }
        for (index k = 0; k < L; ++k) B[k * n + t0 + i - 1] = tr::narrow(s[k]);
    }
}

}  // namespace lanes

// Runs the nrhs columns of B: with lanes_on, whole groups of rhs_lanes
// columns through in_lanes(first column); the rest through
// one_by_one(first column, count).
template <class Lanes, class OneByOne>
void by_lanes(bool lanes_on, std::int64_t nrhs, Lanes&& in_lanes, OneByOne&& one_by_one) {
    std::int64_t k = 0;
    if (lanes_on)
        for (; k + rhs_lanes <= nrhs; k += rhs_lanes) in_lanes(k);
    if (k < nrhs) one_by_one(k, nrhs - k);
}

}  // namespace pchol::detail

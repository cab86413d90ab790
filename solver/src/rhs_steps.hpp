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
#pragma once

#include "element_traits.hpp"

#include <algorithm>
#include <cstdint>

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
        if constexpr (W > 0) {
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

}  // namespace pchol::detail

// The back substitution for a half bandwidth known at compile time (W), one
// column of B at a time: apply_left_spike, and the three steps of a block's
// back substitution fused row by row (without couplings, rhs_backward_block).
// With W fixed the solved rows below the row in hand stay in registers.
#pragma once

#include "element_traits.hpp"
#include "kernels/compiler.hpp"
#include "kernels/complex_rows.hpp"

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace pchol::detail::fixed {

// apply_left_spike on one column b: rows first..last lose spikes(r, q) * b(t_q),
// q ascending, per step. Rows go through in chunks held in a local array,
// so the W passes over a chunk run on registers.
// With vector lanes the rows go as vectors of one register, lane l being
// row a + l for real elements, holding the parts of the rows' elements in
// storage order for complex ones.
template <class T, int W>
void apply_left_spike_column(index first, index last, index left_last, const T* spikes, T* b, index n) {
    using tr = element_traits<T>;
    constexpr index chunk = 32;
    T bt[W];
    PCHOL_UNROLL
    for (index q = 0; q < W; ++q) bt[q] = b[left_last - W + q];
    index a = first;
    if constexpr (vector_lanes && std::is_floating_point_v<T>) {
        constexpr int C = register_elements<T>;
        using vl = lanes<T, C>;
        typename vl::vec t[W];
        PCHOL_UNROLL
        for (int q = 0; q < W; ++q) t[q] = vl::splat(bt[q]);
        for (; a + C - 1 <= last; a += C) {
            auto y = vl::load(b + a - 1);
            PCHOL_UNROLL
            for (int q = 0; q < W; ++q) y = y - vl::load(spikes + q * n + a - 1) * t[q];
            vl::store(b + a - 1, y);
        }
    } else if constexpr (vector_lanes && !std::is_floating_point_v<T>) {
        constexpr int C = register_elements<T>;
        using cr = complex_rows<real_of_t<T>, C>;
        typename cr::multiplier t[W];
        PCHOL_UNROLL
        for (int q = 0; q < W; ++q) t[q] = cr::split(bt[q]);
        for (; a + C - 1 <= last; a += C) {
            auto y = cr::load(b + a - 1);
            PCHOL_UNROLL
            for (int q = 0; q < W; ++q) y = cr::mul_sub(y, cr::load(spikes + q * n + a - 1), t[q]);
            cr::store(b + a - 1, y);
        }
    }
    for (; a <= last; a += chunk) {
        const index rows = std::min(chunk, last - a + 1);
        T y[chunk];
        for (index r = 0; r < rows; ++r) y[r] = b[a - 1 + r];
        PCHOL_UNROLL
        for (index q = 0; q < W; ++q) {
            const T* const sq = spikes + q * n + (a - 1);
            const T t = bt[q];
            for (index r = 0; r < rows; ++r) y[r] = tr::mul_sub(y[r], sq[r], t);
        }
        for (index r = 0; r < rows; ++r) b[a - 1 + r] = y[r];
    }
}

// The back substitution of one column b of a block first..last: for every
// row, from the last up, apply_left_spike's updates (when the block has a
// left separator, whose tail ends at left_last), then apply_link's (for the
// tail rows, when the block has a right separator starting at r1 with
// link_rows head rows; link_rows = 0 when it has none), then
// rhs_backward_block's solve. Each row's updates are independent of the
// solve of the rows below it, so they run in the shadow of that chain; the
// values are those of the three steps run one after the other.
//
// One step solves one row, so that the chains of two independent blocks can
// be run side by side (back_substitute_pair in dispatch.hpp): a row's solve is a chain of W
// dependent subtractions and a division, and the other block's row fills the
// latency.
template <class T, int W>
struct back_substitution {
    using tr = element_traits<T>;
    static constexpr index S = W + 1;
    const T* A;
    index first, last, left_last;
    const T* spikes;
    const T* link;  // the block's link (apply_link_at)
    index link_rows;
    T* b;
    index n;
    index r;       // the next row to solve, from last down to first
    T bt[W] = {};  // the left separator's tail
    T bh[W] = {};  // the right separator's head
    T v[W] = {};   // the solved rows r + 1 ... r + W, once r <= last - W

    back_substitution(const T* A_, index first_, index last_, index left_last_, const T* spikes_, const T* link_,
                      index r1, index link_rows_, T* b_, index n_)
        : A(A_), first(first_), last(last_), left_last(left_last_), spikes(spikes_), link(link_),
          link_rows(link_rows_), b(b_), n(n_), r(last_) {
        if (left_last > 0) {
            PCHOL_UNROLL
            for (index q = 0; q < W; ++q) bt[q] = b[left_last - W + q];
            if constexpr (std::is_floating_point_v<T>) {
                apply_left_spike_column<T, W>(first, last, left_last, spikes, b, n);
                left_applied = true;
            }
        }
        for (index c = 0; c < link_rows; ++c) bh[c] = b[r1 - 1 + c];
    }

    bool done() const { return r < first; }

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
            PCHOL_UNROLL
            for (index q = 0; q < W; ++q) x = tr::mul_sub(x, spikes[q * n + r - 1], bt[q]);
        }
        if (r > last - W) {
            const index q = r - (last - W) - 1;
            for (index c = 0; c < link_rows; ++c) x = tr::mul_sub(x, link[c * W + q], bh[c]);
        }
        return x;
    }

    void step() {
        const T* const ar = A + (r - 1) * S;
        auto s = tr::widen(updated());
        if (last - r < W) {
            // The last W rows of the block: fewer than W solved rows below.
            for (index c = 1; c <= last - r; ++c) tr::acc_sub(s, ar[c], b[r - 1 + c]);
            b[r - 1] = tr::div_wide(s, ar[0]);
            --r;
            if (r >= first && last - r == W) {
                PCHOL_UNROLL
                for (index k = 0; k < W; ++k) v[k] = b[r + k];
            }
            return;
        }
        PCHOL_UNROLL
        for (index c = 1; c <= W; ++c) tr::acc_sub(s, ar[c], v[c - 1]);
        const T xr = tr::div_wide(s, ar[0]);
        b[r - 1] = xr;
        PCHOL_UNROLL
        for (index k = W - 1; k >= 1; --k) v[k] = v[k - 1];
        v[0] = xr;
        --r;
    }
};

template <class T, int W>
void back_substitute_column(const T* A, index first, index last, index left_last, const T* spikes, const T* link,
                            index r1, index link_rows, T* b, index n) {
    back_substitution<T, W> x(A, first, last, left_last, spikes, link, r1, link_rows, b, n);
    while (!x.done()) x.step();
}

}  // namespace pchol::detail::fixed

// band_factor_block for a half bandwidth known at compile time (W), one row
// per step, so that the row chains of two independent blocks can run side by
// side (band_factor_pair in dispatch.hpp).
#pragma once

#include "element_traits.hpp"
#include "kernels/compiler.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <type_traits>

namespace pchol::detail::fixed {

// One step factors row i, with Lanes the columns right of the diagonal as one
// vector for real elements.
template <class T, int W, bool Lanes>
struct band_factorisation {
    using tr = element_traits<T>;
    static constexpr index S = W + 1;  // slots per band row
    T* A;
    index first, last;
    real_of_t<T> tol;
    std::int32_t* flag;
    index i;  // the next row to factor; past last when done or failed
    // The row factored last, kept in registers for the next row, whose last
    // update it gives: p[c] = A(i - 1, i - 1 + c).
    T p[S] = {};

    // Real elements: the W columns right of the diagonal go through vector
    // operations, lane L holding column i + 1 + L. Each lane gets the
    // operations of its scalar column in the same order; lanes a row does
    // not reach keep their value through a bitwise select, never through an
    // arithmetic no-op, so no value changes by a bit. (Complex elements take
    // the scalar path; their vector type is a placeholder.)
    static constexpr bool use_lanes = Lanes && vector_lanes && std::is_floating_point_v<T>;
    using vl = lanes<std::conditional_t<use_lanes, T, float>, W>;
    typename vl::vec pv = {};  // p[1] ... p[W]

    band_factorisation(T* A_, index first_, index last_, const real_of_t<T>& tol_, std::int32_t* flag_)
        : A(A_), first(first_), last(last_), tol(tol_), flag(flag_), i(first_) {}

    bool done() const { return i > last; }

    void fail() {
        std::atomic_ref<std::int32_t>(*flag).store(-1, std::memory_order_relaxed);
        i = last + 1;
    }

    // Rows i - W ... i - 1 all in the block and columns up to i + W too.
    bool full_window() const { return i - W >= first && i + W <= last; }

    void step() {
        T* const ai = A + (i - 1) * S;
        if (full_window()) {
            if constexpr (use_lanes) vector_step(ai);
            else scalar_step(ai);
        } else {
            edge_step(ai);
        }
    }

    // The full-window row with the columns right of the diagonal in lanes.
    void vector_step(T* ai) {
        T v0 = ai[0];
        auto u = vl::load(ai + 1);
        PCHOL_UNROLL
        for (index k = W; k >= 2; --k) {
            const T* const aj = ai - k * S;
            const T aji = aj[k];
            v0 = tr::mul_sub(v0, aj[k], aji);
            // Row i - k reaches columns i ... i + W - k.
            if (k < W) u = vl::select(vl::first(W - k), u - vl::load(aj + k + 1) * aji, u);
        }
        const T p1 = pv[0];
        v0 = tr::mul_sub(v0, p1, p1);
        // p[2] ... p[W] update columns i + 1 ... i + W - 1.
        u = vl::select(vl::first(W - 1), u - vl::shift_down(pv) * p1, u);
        if (tr::fails(v0, tol)) {
            ai[0] = v0;
            vl::store(ai + 1, u);
            fail();
            return;
        }
        const T s = tr::root(v0);
        pv = u / s;
        ai[0] = s;
        vl::store(ai + 1, pv);
        ++i;
    }

    // The full-window row on scalars: rows i - W ... i - 1 update row i, each
    // over the columns it shares with row i, oldest first.
    void scalar_step(T* ai) {
        T v[S];
        PCHOL_UNROLL
        for (index c = 0; c < S; ++c) v[c] = ai[c];
        PCHOL_UNROLL
        for (index k = W; k >= 2; --k) {
            const T* const aj = ai - k * S;
            const T aji = aj[k];
            PCHOL_UNROLL
            for (index c = 0; c <= W - k; ++c) v[c] = tr::mul_sub(v[c], aj[k + c], aji);
        }
        PCHOL_UNROLL
        for (index c = 0; c < W; ++c) v[c] = tr::mul_sub(v[c], p[1 + c], p[1]);
        const T d = v[0];
        if (tr::fails(d, tol)) {
            PCHOL_UNROLL
            for (index c = 0; c < S; ++c) ai[c] = v[c];
            fail();
            return;
        }
        const T s = tr::root(d);
        p[0] = s;
        PCHOL_UNROLL
        for (index c = 1; c < S; ++c) p[c] = tr::div(v[c], s);
        PCHOL_UNROLL
        for (index c = 0; c < S; ++c) ai[c] = p[c];
        ++i;
    }

    // The first and last W rows of the block: fewer rows above, or columns
    // cut at the block's end.
    void edge_step(T* ai) {
        const index ce_row = std::min(i + W, last);
        for (index j = std::max(i - W, first); j < i; ++j) {
            const T* const aj = A + (j - 1) * S;
            const T aji = aj[i - j];
            const index ce = std::min(j + W, last);
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
        ++i;
        // The next row has a full window: it takes its last update from here.
        if (full_window()) {
            PCHOL_UNROLL
            for (index c = 0; c < S; ++c) p[c] = ai[c];
            if constexpr (use_lanes) pv = vl::load(ai + 1);
        }
    }
};

template <class T, int W>
void band_factor_block(T* A, index first, index last, const real_of_t<T>& tol, std::int32_t* flag) {
    band_factorisation<T, W, false> x(A, first, last, tol, flag);
    while (!x.done()) x.step();
}

}  // namespace pchol::detail::fixed

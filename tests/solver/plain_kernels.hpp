// The block kernels and coupling steps written plainly, every loop in the
// order that defines the rounding of each stored value: the yardstick the
// library's fast kernels are compared with bit for bit. Same arguments as
// the library's (band_kernels.hpp), same element arithmetic
// (element_traits.hpp); nothing here is tuned.
#pragma once

#include "element_traits.hpp"
#include "pchol/band_kernels.hpp"

#include <algorithm>
#include <cstdint>

namespace pchol_test::plain {

using idx = std::int64_t;
template <class T>
using traits = pchol::detail::element_traits<T>;

// A(r, c), B(r, k), spikes(r, q), links(q, c), all counted from 1.
template <class T>
T& band(T* A, idx hbw, idx r, idx c) {
    return A[(r - 1) * hbw + c - 1];
}
template <class T>
T& col(T* X, idx n, idx r, idx k) {
    return X[(k - 1) * n + r - 1];
}

template <class T>
void band_factor_block(T* A, idx w, idx f, idx l, pchol::real_of_t<T> tol, std::int32_t* flags, idx slot) {
    using tr = traits<T>;
    for (idx i = f; i <= l; ++i) {
        for (idx j = std::max(i - w, f); j <= i - 1; ++j)
            for (idx c = i; c <= std::min(j + w, l); ++c)
                band(A, w, i, c) = tr::mul_sub(band(A, w, i, c), band(A, w, j, c), band(A, w, j, i));
        const T d = band(A, w, i, i);
        if (tr::fails(d, tol)) {
            flags[slot - 1] = -1;
            return;
        }
        const T s = tr::root(d);
        band(A, w, i, i) = s;
        for (idx c = i + 1; c <= std::min(i + w, l); ++c) band(A, w, i, c) = tr::div(band(A, w, i, c), s);
    }
}

// spike_solve on the hbw columns of spikes, rhs_forward_block on the nrhs
// columns of B.
template <class T>
void forward(const T* A, idx w, idx f, idx l, T* X, idx n, idx columns) {
    using tr = traits<T>;
    T* a = const_cast<T*>(A);
    for (idx q = 1; q <= columns; ++q)
        for (idx r = f; r <= l; ++r) {
            col(X, n, r, q) = tr::div(col(X, n, r, q), band(a, w, r, r));
            for (idx c = r + 1; c <= std::min(r + w, l); ++c)
                col(X, n, c, q) = tr::mul_sub(col(X, n, c, q), col(X, n, r, q), band(a, w, r, c));
        }
}

template <class T>
void spike_solve(const T* A, idx w, idx f, idx l, T* spikes, idx n) {
    forward(A, w, f, l, spikes, n, w);
}

template <class T>
void rhs_forward_block(const T* A, idx w, idx f, idx l, T* B, idx n, idx nrhs) {
    forward(A, w, f, l, B, n, nrhs);
}

template <class T>
void rhs_backward_block(const T* A, idx w, idx f, idx l, T* B, idx n, idx nrhs) {
    using tr = traits<T>;
    T* a = const_cast<T*>(A);
    for (idx k = 1; k <= nrhs; ++k)
        for (idx r = l; r >= f; --r) {
            auto s = tr::widen(col(B, n, r, k));
            for (idx c = r + 1; c <= std::min(r + w, l); ++c) tr::acc_sub(s, band(a, w, r, c), col(B, n, c, k));
            col(B, n, r, k) = tr::div_wide(s, band(a, w, r, r));
        }
}

// coupling_solve; with band_limited, column q only over rows up to t_q + hbw
// (the worker's first-level form).
template <class T>
void coupling_solve(const T* A, idx w, idx l, idx r1, idx r2, T* spikes, idx n, bool band_limited = false) {
    using tr = traits<T>;
    T* a = const_cast<T*>(A);
    for (idx q = 1; q <= w; ++q) {
        const idx tq = l - w + q;
        const idx re = band_limited ? std::min(r2, tq + w) : r2;
        for (idx r = r1; r <= re; ++r) col(spikes, n, r, q) = tr::div(col(spikes, n, r, q), band(a, w, tq, tq));
        for (idx c = tq + 1; c <= l; ++c)
            for (idx r = r1; r <= re; ++r)
                col(spikes, n, r, q + (c - tq)) =
                    tr::mul_sub(col(spikes, n, r, q + (c - tq)), band(a, w, tq, c), col(spikes, n, r, q));
    }
}

template <class T>
void update_separator_tail(T* A, idx w, idx K, idx r1, idx r2, const T* spikes, T* B, idx n, idx nrhs) {
    using tr = traits<T>;
    T* s_ = const_cast<T*>(spikes);
    const idx T0 = K - w + 1;
    for (idx i = 1; i <= w; ++i)
        for (idx ip = i; ip <= w; ++ip) {
            auto s = tr::widen(tr::zero());
            for (idx r = r1; r <= r2; ++r) tr::acc_add(s, col(s_, n, r, ip), col(s_, n, r, i));
            band(A, w, T0 + i - 1, T0 + ip - 1) = tr::sub_wide(band(A, w, T0 + i - 1, T0 + ip - 1), s);
        }
    for (idx k = 1; k <= nrhs; ++k)
        for (idx i = 1; i <= w; ++i) {
            auto s = tr::widen(col(B, n, T0 + i - 1, k));
            for (idx r = r1; r <= r2; ++r) tr::acc_sub(s, col(s_, n, r, i), col(B, n, r, k));
            col(B, n, T0 + i - 1, k) = tr::narrow(s);
        }
}

template <class T>
void update_separator_head(T* A, idx w, idx J, idx e, const T* spikes, T* B, idx n, idx nrhs) {
    using tr = traits<T>;
    T* s_ = const_cast<T*>(spikes);
    const idx O = std::min(J + w - 1, n);
    for (idx q = 1; q <= w; ++q)
        for (idx r = J; r <= O; ++r)
            for (idx c = r; c <= O; ++c)
                band(A, w, r, c) = tr::mul_sub(band(A, w, r, c), col(s_, n, c, q), col(s_, n, r, q));
    for (idx k = 1; k <= nrhs; ++k)
        for (idx q = 1; q <= w; ++q)
            for (idx r = J; r <= O; ++r)
                col(B, n, r, k) = tr::mul_sub(col(B, n, r, k), col(s_, n, r, q), col(B, n, e - w + q, k));
}

template <class T>
void save_link(idx w, idx J, idx e, const T* spikes, T* links, idx n) {
    T* s_ = const_cast<T*>(spikes);
    const idx O = std::min(J + w - 1, n);
    for (idx i = 1; i <= w; ++i)
        for (idx r = J; r <= O; ++r) links[(e + 1 + (r - J) - 1) * w + i - 1] = col(s_, n, r, i);
}

template <class T>
void form_fill(T* A, idx w, idx J, idx K, idx e, T* spikes, idx n) {
    using tr = traits<T>;
    const idx O = std::min(J + w - 1, n);
    // The scratch vector: the band slots A(J - 1, J) ... A(J - 1, J + hbw - 1).
    auto v = [&](idx i) -> T& { return band(A, w, J - 1, J - 1 + i); };
    for (idx r = J; r <= O; ++r) {
        for (idx i = 1; i <= w; ++i) {
            v(i) = col(spikes, n, r, i);
            col(spikes, n, r, i) = tr::zero();
        }
        for (idx j = 1; j <= w; ++j) {
            auto s = tr::widen(tr::zero());
            for (idx k = 1; k <= w; ++k) tr::acc_add(s, v(k), col(spikes, n, e - w + k, j));
            col(spikes, n, r, j) = tr::narrow(tr::negate(s));
        }
    }
    for (idx i = 1; i <= w; ++i)
        for (idx r = O + 1; r <= K; ++r) col(spikes, n, r, i) = tr::zero();
}

template <class T>
void apply_left_spike(idx w, idx J, idx K, idx e, const T* spikes, T* B, idx n, idx nrhs) {
    using tr = traits<T>;
    T* s_ = const_cast<T*>(spikes);
    for (idx k = 1; k <= nrhs; ++k)
        for (idx q = 1; q <= w; ++q)
            for (idx r = J; r <= K; ++r)
                col(B, n, r, k) = tr::mul_sub(col(B, n, r, k), col(s_, n, r, q), col(B, n, e - w + q, k));
}

template <class T>
void apply_link(idx w, idx K, idx r1, idx r2, const T* links, T* B, idx n, idx nrhs) {
    using tr = traits<T>;
    const idx m = std::min(r2 - r1 + 1, w);
    for (idx k = 1; k <= nrhs; ++k)
        for (idx c = K + 1; c <= std::min(K + m, n); ++c)
            for (idx q = w; q >= 1; --q)
                col(B, n, K - w + q, k) =
                    tr::mul_sub(col(B, n, K - w + q, k), links[(c - 1) * w + q - 1], col(B, n, r1 + (c - K - 1), k));
}

}  // namespace pchol_test::plain

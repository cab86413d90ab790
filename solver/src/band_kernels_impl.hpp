// Definitions of the block kernels and coupling steps (declared in
// pchol/band_kernels.hpp). Included by the translation unit that instantiates
// them for every element type and by the worker, so that the worker's calls
// can be inlined.
//
// Row and column numbers count from 1 as in the declarations; every offset is
// computed in 64 bits (the band of the benchmark alone has 18 million
// elements, and n * hbw for larger systems passes the 32-bit range long
// before the interface's 32-bit row numbers do). Inner loops run over
// consecutive memory: band rows by ascending column, spikes and B columns by
// ascending row.
#pragma once

#include "band_kernels_fixed.hpp"
#include "element_traits.hpp"
#include "pchol/band_kernels.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <type_traits>

namespace pchol::detail {

using index = std::int64_t;

// Calls f with the half bandwidth as a std::integral_constant when it has a
// fixed-width fast path (band_kernels_fixed.hpp); false, without calling f,
// for any other half bandwidth, which takes the in-order loops.
template <class F>
inline bool with_fixed_width(index hbw, F&& f) {
    switch (hbw) {
        case 4:
            f(std::integral_constant<int, 4>{});
            return true;
        case 8:
            f(std::integral_constant<int, 8>{});
            return true;
        default:
            return false;
    }
}

// Row r of the band from its diagonal on: row(A, hbw, r)[c - r] = A(r, c).
template <class T>
inline T* band_row(T* A, index hbw, index r) noexcept {
    return A + (r - 1) * (hbw + 1);
}

// Column q of an n-row column-major array: column(S, n, q)[r - 1] = S(r, q).
template <class T>
inline T* column(T* S, index n, index q) noexcept {
    return S + (q - 1) * n;
}

// Forward substitution with the columns of a block's factor on `count`
// columns of length n starting at X: x(r) <- x(r) / A(r, r), then
// x(c) <- x(c) - x(r) * A(r, c) for the rows c below r in the block, per step.
// spike_solve and rhs_forward_block are this loop on spikes and on B.
template <class T>
inline void forward_block(const T* A, index w, index f, index l, T* X, index n, index count) {
    using tr = element_traits<T>;
    for (index q = 1; q <= count; ++q) {
        T* x = column(X, n, q);
        for (index r = f; r <= l; ++r) {
            const T* ar = band_row(A, w, r);
            const T xr = tr::div(x[r - 1], ar[0]);
            x[r - 1] = xr;
            const index ce = std::min(r + w, l);
            for (index c = r + 1; c <= ce; ++c) x[c - 1] = tr::mul_sub(x[c - 1], xr, ar[c - r]);
        }
    }
}

// coupling_solve on rows r1..r2. With band_limited, column q is limited to
// rows up to t_q + hbw: the coupling of a block's tail with the rows after it
// as gathered from the band, where the rows beyond are zero and stay zero
// (every column that updates column q ends no lower), so the results are the
// same with less work.
template <class T>
void coupling_solve_rows(const T* A, index w, index l, index r1, index r2, T* spikes, index n, bool band_limited) {
    using tr = element_traits<T>;
    for (index q = 1; q <= w; ++q) {
        const index tq = l - w + q;
        const index re = band_limited ? std::min(r2, tq + w) : r2;
        T* sq = column(spikes, n, q);
        const T* at = band_row(A, w, tq);
        const T d = at[0];
        for (index r = r1; r <= re; ++r) sq[r - 1] = tr::div(sq[r - 1], d);
        for (index c = tq + 1; c <= l; ++c) {
            T* sp = column(spikes, n, q + (c - tq));
            const T a = at[c - tq];
            for (index r = r1; r <= re; ++r) sp[r - 1] = tr::mul_sub(sp[r - 1], a, sq[r - 1]);
        }
    }
}

}  // namespace pchol::detail

namespace pchol {

template <class T>
void band_factor_block(T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                       const real_of_t<T>& tol, std::int32_t* fail_flags, const std::int32_t& slot) {
    using tr = detail::element_traits<T>;
    using detail::index;
    const index w = hbw;
    const index f = first;
    const index l = last;
    if (detail::with_fixed_width(w, [&](auto W) {
            detail::fixed::band_factor_block<T, decltype(W)::value>(A, f, l, tol, fail_flags + (slot - 1));
        }))
        return;
    for (index i = f; i <= l; ++i) {
        T* ai = detail::band_row(A, w, i);
        // Row i receives the updates of the rows of the block above it; every
        // such row j is already final (scaled).
        for (index j = std::max(i - w, f); j < i; ++j) {
            const T* aj = detail::band_row(A, w, j);
            const T aji = aj[i - j];
            const index ce = std::min(j + w, l);
            for (index c = i; c <= ce; ++c) ai[c - i] = tr::mul_sub(ai[c - i], aj[c - j], aji);
        }
        const T d = ai[0];
        if (tr::fails(d, tol)) {
            std::atomic_ref<std::int32_t>(fail_flags[slot - 1]).store(-1, std::memory_order_relaxed);
            return;
        }
        const T s = tr::root(d);
        ai[0] = s;
        const index ce = std::min(i + w, l);
        for (index c = i + 1; c <= ce; ++c) ai[c - i] = tr::div(ai[c - i], s);
    }
}

template <class T>
void spike_solve(const T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                 T* spikes, const std::int32_t& n) {
    if (detail::with_fixed_width(hbw, [&](auto W) {
            detail::fixed::spike_solve<T, decltype(W)::value>(A, first, last, spikes, n);
        }))
        return;
    detail::forward_block(A, hbw, first, last, spikes, n, hbw);
}

template <class T>
void coupling_solve(const T* A, const std::int32_t& hbw, const std::int32_t& last, const std::int32_t& r1,
                    const std::int32_t& r2, T* spikes, const std::int32_t& n) {
    detail::coupling_solve_rows(A, hbw, last, r1, r2, spikes, n, false);
}

template <class T>
void rhs_forward_block(const T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                       T* B, const std::int32_t& n, const std::int32_t& nrhs) {
    if (detail::with_fixed_width(hbw, [&](auto W) {
            for (detail::index k = 0; k < nrhs; ++k)
                detail::fixed::rhs_forward_column<T, decltype(W)::value>(A, first, last, B + k * detail::index{n});
        }))
        return;
    detail::forward_block(A, hbw, first, last, B, n, nrhs);
}

template <class T>
void rhs_backward_block(const T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                        T* B, const std::int32_t& n, const std::int32_t& nrhs) {
    using tr = detail::element_traits<T>;
    using detail::index;
    const index w = hbw;
    if (detail::with_fixed_width(w, [&](auto W) {
            for (index k = 0; k < nrhs; ++k)
                detail::fixed::rhs_backward_column<T, decltype(W)::value>(A, first, last, B + k * index{n});
        }))
        return;
    for (index k = 1; k <= nrhs; ++k) {
        T* b = detail::column(B, n, k);
        for (index r = last; r >= first; --r) {
            const T* ar = detail::band_row(A, w, r);
            auto s = tr::widen(b[r - 1]);
            const index ce = std::min<index>(r + w, last);
            for (index c = r + 1; c <= ce; ++c) tr::acc_sub(s, ar[c - r], b[c - 1]);
            b[r - 1] = tr::div_wide(s, ar[0]);
        }
    }
}

template <class T>
void gather_left_coupling(const T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                          T* spikes, const std::int32_t& n) {
    using tr = detail::element_traits<T>;
    using detail::index;
    const index w = hbw;
    const index f = first;
    const index l = last;
    for (index q = 1; q <= w; ++q) {
        const index p = f - w - 1 + q;
        const T* ap = detail::band_row(A, w, p);
        T* s = detail::column(spikes, n, q);
        // Row p reaches the first q rows of the block.
        const index ce = std::min(p + w, l);
        for (index r = f; r <= ce; ++r) s[r - 1] = ap[r - p];
        for (index r = std::max(ce + 1, f); r <= l; ++r) s[r - 1] = tr::zero();
    }
}

template <class T>
void gather_right_coupling(const T* A, const std::int32_t& hbw, const std::int32_t& first,
                           const std::int32_t& last, const std::int32_t& n, T* spikes) {
    using tr = detail::element_traits<T>;
    using detail::index;
    const index w = hbw;
    const index l = last;
    const index re = std::min<index>(l + w, n);
    const index t0 = std::max<index>(l - w + 1, first);
    for (index q = 1; q <= w; ++q) {
        const index tq = t0 + q - 1;
        if (tq > l) break;
        const T* at = detail::band_row(A, w, tq);
        T* s = detail::column(spikes, n, q);
        const index ce = std::min(tq + w, re);
        for (index r = l + 1; r <= ce; ++r) s[r - 1] = at[r - tq];
        for (index r = std::max(ce + 1, l + 1); r <= re; ++r) s[r - 1] = tr::zero();
    }
}

template <class T>
void update_separator_tail(T* A, const std::int32_t& hbw, const std::int32_t& last, const std::int32_t& r1,
                           const std::int32_t& r2, const T* spikes, T* B, const std::int32_t& n,
                           const std::int32_t& nrhs) {
    using tr = detail::element_traits<T>;
    using detail::index;
    const index w = hbw;
    if (detail::with_fixed_width(w, [&](auto W) {
            detail::fixed::update_separator_tail<T, decltype(W)::value>(A, last, r1, r2, spikes, B, n, nrhs);
        }))
        return;
    const index t0 = index{last} - w + 1;
    for (index i = 1; i <= w; ++i) {
        const T* si = detail::column(spikes, n, i);
        T* at = detail::band_row(A, w, t0 + i - 1);
        for (index ip = i; ip <= w; ++ip) {
            const T* sp = detail::column(spikes, n, ip);
            auto s = tr::widen(tr::zero());
            for (index r = r1; r <= r2; ++r) tr::acc_add(s, sp[r - 1], si[r - 1]);
            at[ip - i] = tr::sub_wide(at[ip - i], s);
        }
    }
    for (index k = 1; k <= nrhs; ++k) {
        T* b = detail::column(B, n, k);
        for (index i = 1; i <= w; ++i) {
            const T* si = detail::column(spikes, n, i);
            const index t = t0 + i - 1;
            auto s = tr::widen(b[t - 1]);
            for (index r = r1; r <= r2; ++r) tr::acc_sub(s, si[r - 1], b[r - 1]);
            b[t - 1] = tr::narrow(s);
        }
    }
}

template <class T>
void update_separator_head(T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& left_last,
                           const T* spikes, T* B, const std::int32_t& n, const std::int32_t& nrhs) {
    using tr = detail::element_traits<T>;
    using detail::index;
    const index w = hbw;
    if (detail::with_fixed_width(w, [&](auto W) {
            detail::fixed::update_separator_head<T, decltype(W)::value>(A, first, left_last, spikes, B, n, nrhs);
        }))
        return;
    const index J = first;
    const index O = std::min<index>(J + w - 1, n);
    for (index q = 1; q <= w; ++q) {
        const T* sq = detail::column(spikes, n, q);
        for (index r = J; r <= O; ++r) {
            T* ar = detail::band_row(A, w, r);
            const T sr = sq[r - 1];
            for (index c = r; c <= O; ++c) ar[c - r] = tr::mul_sub(ar[c - r], sq[c - 1], sr);
        }
    }
    for (index k = 1; k <= nrhs; ++k) {
        T* b = detail::column(B, n, k);
        for (index q = 1; q <= w; ++q) {
            const T* sq = detail::column(spikes, n, q);
            const T bt = b[left_last - w + q - 1];
            for (index r = J; r <= O; ++r) b[r - 1] = tr::mul_sub(b[r - 1], sq[r - 1], bt);
        }
    }
}

template <class T>
void save_link(const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& left_last, const T* spikes,
               T* links, const std::int32_t& n) {
    using detail::index;
    const index w = hbw;
    const index J = first;
    const index O = std::min<index>(J + w - 1, n);
    for (index i = 1; i <= w; ++i) {
        const T* si = detail::column(spikes, n, i);
        for (index r = J; r <= O; ++r) links[(left_last + r - J) * w + i - 1] = si[r - 1];
    }
}

template <class T>
void form_fill(T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
               const std::int32_t& left_last, T* spikes, const std::int32_t& n) {
    using tr = detail::element_traits<T>;
    using detail::index;
    const index w = hbw;
    if (detail::with_fixed_width(w, [&](auto W) {
            detail::fixed::form_fill<T, decltype(W)::value>(A, first, last, left_last, spikes, n);
        }))
        return;
    const index J = first;
    const index O = std::min<index>(J + w - 1, n);
    // Scratch vector v(1..hbw): the slots A(J - 1, J) ... A(J - 1, J + hbw - 1).
    T* v = detail::band_row(A, w, J - 1) + 1;
    for (index r = J; r <= O; ++r) {
        for (index i = 1; i <= w; ++i) {
            T& s = detail::column(spikes, n, i)[r - 1];
            v[i - 1] = s;
            s = tr::zero();
        }
        // Row r's coupling with the left neighbour's tail, carried through the
        // neighbour's spike to the tail of the separator on its left.
        for (index j = 1; j <= w; ++j) {
            T* sj = detail::column(spikes, n, j);
            auto s = tr::widen(tr::zero());
            for (index k = 1; k <= w; ++k) tr::acc_add(s, v[k - 1], sj[left_last - w + k - 1]);
            sj[r - 1] = tr::narrow(tr::negate(s));
        }
    }
    for (index i = 1; i <= w; ++i) {
        T* si = detail::column(spikes, n, i);
        for (index r = O + 1; r <= last; ++r) si[r - 1] = tr::zero();
    }
}

template <class T>
void apply_left_spike(const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                      const std::int32_t& left_last, const T* spikes, T* B, const std::int32_t& n,
                      const std::int32_t& nrhs) {
    using tr = detail::element_traits<T>;
    using detail::index;
    const index w = hbw;
    if (detail::with_fixed_width(w, [&](auto W) {
            for (index k = 0; k < nrhs; ++k)
                detail::fixed::apply_left_spike_column<T, decltype(W)::value>(first, last, left_last, spikes,
                                                                              B + k * index{n}, n);
        }))
        return;
    for (index k = 1; k <= nrhs; ++k) {
        T* b = detail::column(B, n, k);
        for (index q = 1; q <= w; ++q) {
            const T* sq = detail::column(spikes, n, q);
            const T bt = b[left_last - w + q - 1];
            for (index r = first; r <= last; ++r) b[r - 1] = tr::mul_sub(b[r - 1], sq[r - 1], bt);
        }
    }
}

template <class T>
void apply_link(const std::int32_t& hbw, const std::int32_t& last, const std::int32_t& r1, const std::int32_t& r2,
                const T* links, T* B, const std::int32_t& n, const std::int32_t& nrhs) {
    using tr = detail::element_traits<T>;
    using detail::index;
    const index w = hbw;
    const index K = last;
    const index m = std::min<index>(index{r2} - r1 + 1, w);
    const index ce = std::min<index>(K + m, n);
    for (index k = 1; k <= nrhs; ++k) {
        T* b = detail::column(B, n, k);
        for (index c = K + 1; c <= ce; ++c) {
            const T* lc = links + (c - 1) * w;
            const T bh = b[r1 + (c - K - 1) - 1];
            for (index q = w; q >= 1; --q) b[K - w + q - 1] = tr::mul_sub(b[K - w + q - 1], lc[q - 1], bh);
        }
    }
}

}  // namespace pchol

namespace pchol::detail {

// The worker's back substitution of the block first..last: apply_left_spike
// when left_last > 0 (the tail of the left separator ends there), apply_link
// when r1 > 0 (the right separator is r1..r2), then rhs_backward_block. With
// a fixed-width path the three run fused, row by row, with the same values.
template <class T>
void back_substitute_block(const T* A, index hbw, index first, index last, index left_last, const T* spikes,
                           const T* links, index r1, index r2, T* B, index n, index nrhs) {
    if (nrhs < 1) return;
    const index m = r1 > 0 ? std::min(std::min(r2 - r1 + 1, hbw), n - last) : 0;
    if (with_fixed_width(hbw, [&](auto W) {
            for (index k = 0; k < nrhs; ++k)
                fixed::back_substitute_column<T, decltype(W)::value>(A, first, last, left_last, spikes, links, r1, m,
                                                                     B + k * n, n);
        }))
        return;
    const std::int32_t w32 = static_cast<std::int32_t>(hbw), f32 = static_cast<std::int32_t>(first),
                       l32 = static_cast<std::int32_t>(last), n32 = static_cast<std::int32_t>(n),
                       k32 = static_cast<std::int32_t>(nrhs);
    if (left_last > 0) apply_left_spike(w32, f32, l32, static_cast<std::int32_t>(left_last), spikes, B, n32, k32);
    if (r1 > 0) apply_link(w32, l32, static_cast<std::int32_t>(r1), static_cast<std::int32_t>(r2), links, B, n32, k32);
    rhs_backward_block(A, w32, f32, l32, B, n32, k32);
}

// One block's back substitution as the worker hands it out: rows first..last,
// the left separator's tail ending at left_last (0: none), the right
// separator r1..r2 (r1 = 0: none).
struct back_task {
    index first, last, left_last, r1, r2;
};

// The back substitutions of two independent blocks (of the same sweep): with
// a fixed-width path their row chains run interleaved, each block's values
// those of back_substitute_block on it alone.
template <class T>
void back_substitute_pair(const T* A, index hbw, const back_task& p, const back_task& q, const T* spikes,
                          const T* links, T* B, index n, index nrhs) {
    if (nrhs < 1) return;
    auto head_rows = [&](const back_task& t) {
        return t.r1 > 0 ? std::min(std::min(t.r2 - t.r1 + 1, hbw), n - t.last) : index{0};
    };
    if (with_fixed_width(hbw, [&](auto W) {
            for (index k = 0; k < nrhs; ++k) {
                fixed::back_substitution<T, decltype(W)::value> x(A, p.first, p.last, p.left_last, spikes, links,
                                                                  p.r1, head_rows(p), B + k * n, n);
                fixed::back_substitution<T, decltype(W)::value> y(A, q.first, q.last, q.left_last, spikes, links,
                                                                  q.r1, head_rows(q), B + k * n, n);
                fixed::side_by_side(x, y);
            }
        }))
        return;
    back_substitute_block(A, hbw, p.first, p.last, p.left_last, spikes, links, p.r1, p.r2, B, n, nrhs);
    back_substitute_block(A, hbw, q.first, q.last, q.left_last, spikes, links, q.r1, q.r2, B, n, nrhs);
}

// The factorisations of two independent blocks f1..l1 and f2..l2, with a
// fixed-width path row by row in turn. Each block's rows get the values of
// band_factor_block on it alone: it runs to its end or to its own failed
// pivot, which sets fail_flags(slot).
template <class T>
void band_factor_pair(T* A, index hbw, index f1, index l1, index f2, index l2, const real_of_t<T>& tol,
                      std::int32_t* fail_flags, std::int32_t slot) {
    if (with_fixed_width(hbw, [&](auto W) {
            fixed::band_factor_pair<T, decltype(W)::value>(A, f1, l1, f2, l2, tol, fail_flags + (slot - 1));
        }))
        return;
    const std::int32_t w32 = static_cast<std::int32_t>(hbw);
    pchol::band_factor_block(A, w32, static_cast<std::int32_t>(f1), static_cast<std::int32_t>(l1), tol, fail_flags,
                             slot);
    pchol::band_factor_block(A, w32, static_cast<std::int32_t>(f2), static_cast<std::int32_t>(l2), tol, fail_flags,
                             slot);
}

// rhs_forward_block on two independent blocks, with a fixed-width path row
// by row in turn.
template <class T>
void rhs_forward_pair(const T* A, index hbw, index f1, index l1, index f2, index l2, T* B, index n, index nrhs) {
    if (with_fixed_width(hbw, [&](auto W) {
            for (index k = 0; k < nrhs; ++k) {
                fixed::forward_substitution<T, decltype(W)::value> x(A, f1, l1, B + k * n);
                fixed::forward_substitution<T, decltype(W)::value> y(A, f2, l2, B + k * n);
                fixed::side_by_side(x, y);
            }
        }))
        return;
    const std::int32_t w32 = static_cast<std::int32_t>(hbw), n32 = static_cast<std::int32_t>(n),
                       k32 = static_cast<std::int32_t>(nrhs);
    pchol::rhs_forward_block(A, w32, static_cast<std::int32_t>(f1), static_cast<std::int32_t>(l1), B, n32, k32);
    pchol::rhs_forward_block(A, w32, static_cast<std::int32_t>(f2), static_cast<std::int32_t>(l2), B, n32, k32);
}

}  // namespace pchol::detail

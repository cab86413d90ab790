// The reference kernels: the plain loops of every block kernel and coupling
// step, each in the loop order that defines the rounding of its stored
// values (band_kernels.hpp states the steps). They run for every half
// bandwidth without a fast variant (dispatch.hpp), and the tests hold every
// fast variant to them bit for bit.
//
// Row names as in pchol/band_kernels.hpp (first, last, head_end, left_last,
// r1..r2), and tail_first = last - hbw + 1. Indices are 64-bit throughout;
// rows and columns count from 1.
#pragma once

#include "element_traits.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace pchol::detail {

using index = std::int64_t;

// Row r of the band from its diagonal on: band_row(A, hbw, r)[c - r] = A(r, c).
template <class T>
inline T* band_row(T* A, index hbw, index r) noexcept {
    return A + (r - 1) * (hbw + 1);
}

// Column q of an n-row column-major array: column(S, n, q)[r - 1] = S(r, q).
template <class T>
inline T* column(T* S, index n, index q) noexcept {
    return S + (q - 1) * n;
}

}  // namespace pchol::detail

namespace pchol::detail::reference {

// fail_flags[slot - 1] becomes -1 on a pivot d <= tol (other threads may be
// reading the flag, hence the atomic store).
template <class T>
void band_factor_block(T* A, index hbw, index first, index last, const real_of_t<T>& tol, std::int32_t* fail_flags,
                       index slot) {
    using tr = element_traits<T>;
    for (index i = first; i <= last; ++i) {
        T* ai = band_row(A, hbw, i);
        // Row i receives the updates of the rows of the block above it; every
        // such row j is already final (scaled).
        for (index j = std::max(i - hbw, first); j < i; ++j) {
            const T* aj = band_row(A, hbw, j);
            const T aji = aj[i - j];
            const index ce = std::min(j + hbw, last);
            for (index c = i; c <= ce; ++c) ai[c - i] = tr::mul_sub(ai[c - i], aj[c - j], aji);
        }
        const T d = ai[0];
        if (tr::fails(d, tol)) {
            std::atomic_ref<std::int32_t>(fail_flags[slot - 1]).store(-1, std::memory_order_relaxed);
            return;
        }
        const T s = tr::root(d);
        ai[0] = s;
        const index ce = std::min(i + hbw, last);
        for (index c = i + 1; c <= ce; ++c) ai[c - i] = tr::div(ai[c - i], s);
    }
}

// Forward substitution with the block's transposed factor on `count` columns
// of X (n rows each), per step: spike_solve on the hbw columns of spikes and
// rhs_forward_block on the nrhs columns of B.
template <class T>
void forward_substitute(const T* A, index hbw, index first, index last, T* X, index n, index count) {
    using tr = element_traits<T>;
    for (index q = 1; q <= count; ++q) {
        T* x = column(X, n, q);
        for (index r = first; r <= last; ++r) {
            const T* ar = band_row(A, hbw, r);
            const T xr = tr::div(x[r - 1], ar[0]);
            x[r - 1] = xr;
            const index ce = std::min(r + hbw, last);
            for (index c = r + 1; c <= ce; ++c) x[c - 1] = tr::mul_sub(x[c - 1], xr, ar[c - r]);
        }
    }
}

template <class T>
void spike_solve(const T* A, index hbw, index first, index last, T* spikes, index n) {
    forward_substitute(A, hbw, first, last, spikes, n, hbw);
}

template <class T>
void rhs_forward_block(const T* A, index hbw, index first, index last, T* B, index n, index nrhs) {
    forward_substitute(A, hbw, first, last, B, n, nrhs);
}

template <class T>
void rhs_backward_block(const T* A, index hbw, index first, index last, T* B, index n, index nrhs) {
    using tr = element_traits<T>;
    for (index k = 1; k <= nrhs; ++k) {
        T* b = column(B, n, k);
        for (index r = last; r >= first; --r) {
            const T* ar = band_row(A, hbw, r);
            auto s = tr::widen(b[r - 1]);
            const index ce = std::min(r + hbw, last);
            for (index c = r + 1; c <= ce; ++c) tr::acc_sub(s, ar[c - r], b[c - 1]);
            b[r - 1] = tr::div_wide(s, ar[0]);
        }
    }
}

// coupling_solve on rows r1..r2 of spikes with the trailing triangle of the
// block that ends at last. With band_limited, column q stops at row
// t_q + hbw: the coupling of a block's tail with the rows after it as
// gathered from the band, where the rows beyond are zero and stay zero
// (every column that updates column q ends no lower), so the results are the
// same with less work.
template <class T>
void coupling_solve(const T* A, index hbw, index last, index r1, index r2, T* spikes, index n,
                    bool band_limited = false) {
    using tr = element_traits<T>;
    for (index q = 1; q <= hbw; ++q) {
        const index tq = last - hbw + q;
        const index re = band_limited ? std::min(r2, tq + hbw) : r2;
        T* sq = column(spikes, n, q);
        const T* at = band_row(A, hbw, tq);
        const T d = at[0];
        for (index r = r1; r <= re; ++r) sq[r - 1] = tr::div(sq[r - 1], d);
        for (index c = tq + 1; c <= last; ++c) {
            T* sp = column(spikes, n, q + (c - tq));
            const T a = at[c - tq];
            for (index r = r1; r <= re; ++r) sp[r - 1] = tr::mul_sub(sp[r - 1], a, sq[r - 1]);
        }
    }
}

template <class T>
void gather_left_coupling(const T* A, index hbw, index first, index last, T* spikes, index n) {
    using tr = element_traits<T>;
    for (index q = 1; q <= hbw; ++q) {
        const index p = first - hbw - 1 + q;
        const T* ap = band_row(A, hbw, p);
        T* s = column(spikes, n, q);
        // Row p reaches the first q rows of the block.
        const index ce = std::min(p + hbw, last);
        for (index r = first; r <= ce; ++r) s[r - 1] = ap[r - p];
        for (index r = std::max(ce + 1, first); r <= last; ++r) s[r - 1] = tr::zero();
    }
}

template <class T>
void gather_right_coupling(const T* A, index hbw, index first, index last, index n, T* spikes) {
    using tr = element_traits<T>;
    const index re = std::min(last + hbw, n);
    const index tail_first = std::max(last - hbw + 1, first);
    for (index q = 1; q <= hbw; ++q) {
        const index tq = tail_first + q - 1;
        if (tq > last) break;
        const T* at = band_row(A, hbw, tq);
        T* s = column(spikes, n, q);
        const index ce = std::min(tq + hbw, re);
        for (index r = last + 1; r <= ce; ++r) s[r - 1] = at[r - tq];
        for (index r = std::max(ce + 1, last + 1); r <= re; ++r) s[r - 1] = tr::zero();
    }
}

template <class T>
void update_separator_tail(T* A, index hbw, index last, index r1, index r2, const T* spikes, T* B, index n,
                           index nrhs) {
    using tr = element_traits<T>;
    const index tail_first = last - hbw + 1;
    for (index i = 1; i <= hbw; ++i) {
        const T* si = column(spikes, n, i);
        T* at = band_row(A, hbw, tail_first + i - 1);
        for (index ip = i; ip <= hbw; ++ip) {
            const T* sp = column(spikes, n, ip);
            auto s = tr::widen(tr::zero());
            for (index r = r1; r <= r2; ++r) tr::acc_add(s, sp[r - 1], si[r - 1]);
            at[ip - i] = tr::sub_wide(at[ip - i], s);
        }
    }
    for (index k = 1; k <= nrhs; ++k) {
        T* b = column(B, n, k);
        for (index i = 1; i <= hbw; ++i) {
            const T* si = column(spikes, n, i);
            const index t = tail_first + i - 1;
            auto s = tr::widen(b[t - 1]);
            for (index r = r1; r <= r2; ++r) tr::acc_sub(s, si[r - 1], b[r - 1]);
            b[t - 1] = tr::narrow(s);
        }
    }
}

template <class T>
void apply_left_spike(index hbw, index first, index last, index left_last, const T* spikes, T* B, index n,
                      index nrhs) {
    using tr = element_traits<T>;
    for (index k = 1; k <= nrhs; ++k) {
        T* b = column(B, n, k);
        for (index q = 1; q <= hbw; ++q) {
            const T* sq = column(spikes, n, q);
            const T bt = b[left_last - hbw + q - 1];
            for (index r = first; r <= last; ++r) b[r - 1] = tr::mul_sub(b[r - 1], sq[r - 1], bt);
        }
    }
}

template <class T>
void update_separator_head(T* A, index hbw, index first, index left_last, const T* spikes, T* B, index n,
                           index nrhs) {
    using tr = element_traits<T>;
    const index head_end = std::min(first + hbw - 1, n);
    for (index q = 1; q <= hbw; ++q) {
        const T* sq = column(spikes, n, q);
        for (index r = first; r <= head_end; ++r) {
            T* ar = band_row(A, hbw, r);
            const T sr = sq[r - 1];
            for (index c = r; c <= head_end; ++c) ar[c - r] = tr::mul_sub(ar[c - r], sq[c - 1], sr);
        }
    }
    // B's head rows: apply_left_spike's loops over the head.
    apply_left_spike(hbw, first, head_end, left_last, spikes, B, n, nrhs);
}

// save_link with the link at `link` (where links + left_last * hbw is when
// links keeps it after the left neighbour's last row).
template <class T>
void save_link_at(index hbw, index first, const T* spikes, T* link, index n) {
    const index head_end = std::min(first + hbw - 1, n);
    for (index i = 1; i <= hbw; ++i) {
        const T* si = column(spikes, n, i);
        for (index r = first; r <= head_end; ++r) link[(r - first) * hbw + i - 1] = si[r - 1];
    }
}

template <class T>
void save_link(index hbw, index first, index left_last, const T* spikes, T* links, index n) {
    save_link_at(hbw, first, spikes, links + left_last * hbw, n);
}

// left: the spike columns where the left neighbour's rows are found by their
// row numbers (spikes itself unless a stored factor keeps them apart).
template <class T>
void form_fill(T* A, index hbw, index first, index last, index left_last, T* spikes, const T* left, index n) {
    using tr = element_traits<T>;
    const index head_end = std::min(first + hbw - 1, n);
    // Scratch vector v(1..hbw): the slots A(first - 1, first) ... A(first - 1, first + hbw - 1).
    T* v = band_row(A, hbw, first - 1) + 1;
    for (index r = first; r <= head_end; ++r) {
        for (index i = 1; i <= hbw; ++i) {
            T& s = column(spikes, n, i)[r - 1];
            v[i - 1] = s;
            s = tr::zero();
        }
        // Row r's coupling with the left neighbour's tail, carried through the
        // neighbour's spike to the tail of the separator on its left.
        for (index j = 1; j <= hbw; ++j) {
            const T* lj = column(left, n, j);
            auto s = tr::widen(tr::zero());
            for (index k = 1; k <= hbw; ++k) tr::acc_add(s, v[k - 1], lj[left_last - hbw + k - 1]);
            column(spikes, n, j)[r - 1] = tr::narrow(tr::negate(s));
        }
    }
    for (index i = 1; i <= hbw; ++i) {
        T* si = column(spikes, n, i);
        for (index r = head_end + 1; r <= last; ++r) si[r - 1] = tr::zero();
    }
}

// apply_link with the block's link at `link` (its first element, where
// links + last * hbw is when links keeps it after the block).
template <class T>
void apply_link_at(index hbw, index last, index r1, index r2, const T* link, T* B, index n, index nrhs) {
    using tr = element_traits<T>;
    const index m = std::min(r2 - r1 + 1, hbw);
    const index ce = std::min(last + m, n);
    for (index k = 1; k <= nrhs; ++k) {
        T* b = column(B, n, k);
        for (index c = last + 1; c <= ce; ++c) {
            const T* lc = link + (c - last - 1) * hbw;
            const T bh = b[r1 + (c - last - 1) - 1];
            for (index q = hbw; q >= 1; --q)
                b[last - hbw + q - 1] = tr::mul_sub(b[last - hbw + q - 1], lc[q - 1], bh);
        }
    }
}

template <class T>
void apply_link(index hbw, index last, index r1, index r2, const T* links, T* B, index n, index nrhs) {
    apply_link_at(hbw, last, r1, r2, links + last * hbw, B, n, nrhs);
}

}  // namespace pchol::detail::reference

// Per-block steps for complex elements with vector lanes and a half
// bandwidth W known at compile time, on vectors of the parts in storage
// order (complex_rows): every entry gets the products and sums of the scalar
// kernels of fixed_separator.hpp, in the same order.
#pragma once

#include "element_traits.hpp"
#include "kernels/compiler.hpp"
#include "kernels/complex_rows.hpp"

#include <algorithm>
#include <complex>

namespace pchol::detail::fixed {

#if PCHOL_VECTOR_LANES
// form_fill (fixed_separator.hpp) for complex elements: per head row, the
// W sums s_j = sum over k of x_k * t_k,j run as the parts of consecutive j
// in vectors of the wide type, x_k the same in every element; the left
// neighbour's tail rows t_k,j are read once, as their real parts and their
// imaginary parts each twice over.
template <class T, int W>
void form_fill_complex(T* A, index first, index last, index left_last, T* spikes, const T* left, index n) {
    using tr = element_traits<T>;
    using WP = decltype(tr::wide_type::re);
    using P = real_of_t<T>;
    using layout = complex_row_layout<WP, W>;
    constexpr int C = layout::C;
    constexpr int V = layout::V;  // vectors of one row of sums
    using cr = typename layout::rows;
    using vec = typename cr::vec;
    constexpr index S = W + 1;
    const index head_end = std::min<index>(first + W - 1, n);
    T* const v = A + (first - 2) * S + 1;
    vec t_re[W][V], t_im[W][V];
    PCHOL_UNROLL
    for (int k = 0; k < W; ++k) {
        alignas(64) WP re[2 * W], im[2 * W];
        PCHOL_UNROLL
        for (int j = 0; j < W; ++j) {
            const T t = left[j * n + left_last - W + k];
            re[2 * j] = re[2 * j + 1] = WP(t.real());
            im[2 * j] = im[2 * j + 1] = WP(t.imag());
        }
        PCHOL_UNROLL
        for (int u = 0; u < V; ++u) {
            t_re[k][u] = cr::pl::load(re + 2 * C * u);
            t_im[k][u] = cr::pl::load(im + 2 * C * u);
        }
    }
    for (index r = first; r <= head_end; ++r) {
        T x[W];
        PCHOL_UNROLL
        for (int i = 0; i < W; ++i) x[i] = spikes[i * n + r - 1];
        vec s[V] = {};
        PCHOL_UNROLL
        for (int k = 0; k < W; ++k) {
            const auto f = cr::spread(std::complex<WP>(WP(x[k].real()), WP(x[k].imag())));
            PCHOL_UNROLL
            for (int u = 0; u < V; ++u) s[u] = cr::add_product(s[u], f, t_re[k][u], t_im[k][u]);
        }
        alignas(64) WP sums[2 * W];
        PCHOL_UNROLL
        for (int u = 0; u < V; ++u) cr::pl::store(sums + 2 * C * u, s[u]);
        PCHOL_UNROLL
        for (int i = 0; i < W; ++i) {
            v[i] = x[i];
            spikes[i * n + r - 1] = T(P(-sums[2 * i]), P(-sums[2 * i + 1]));
        }
    }
    for (index i = 0; i < W; ++i) {
        T* const si = spikes + i * n;
        for (index r = head_end + 1; r <= last; ++r) si[r - 1] = tr::zero();
    }
}

// coupling_solve for complex elements on exactly W rows r1..r1 + W - 1, as
// coupling_solve_lanes does it for real ones: column q of those rows as
// vectors of one register, which hold the parts of C rows each, so the
// triangle of the block's tail runs on registers. Each row receives the
// reference's operations in its order (column q's division, then its update
// of every later column, q ascending); with band_limited, column q stops at
// row t_q + W and the rows past it keep their value.
template <class T, int W>
void coupling_solve_complex(const T* A, index last, index r1, T* spikes, index n, bool band_limited) {
    using P = real_of_t<T>;
    using layout = complex_row_layout<P, W>;
    constexpr int C = layout::C;
    constexpr int V = layout::V;
    using cr = typename layout::rows;
    using vec = typename cr::vec;
    constexpr index S = W + 1;
    vec v[W][V];
    PCHOL_UNROLL
    for (int q = 0; q < W; ++q)
        PCHOL_UNROLL
        for (int u = 0; u < V; ++u) v[q][u] = cr::load(spikes + q * n + r1 - 1 + C * u);
    PCHOL_UNROLL
    for (int q = 0; q < W; ++q) {
        const T* const at = A + (last - W + q) * S;  // row t_q = last - W + 1 + q
        // Rows up to t_q + W, that is rows up to last + q + 1 - r1 counted from 0.
        const index limit = band_limited ? std::min<index>(last + q + 2 - r1, W) : W;
        typename cr::factor a[W];
        PCHOL_UNROLL
        for (int c = 1; q + c < W; ++c) a[c] = cr::spread_for_sub(at[c]);
        PCHOL_UNROLL
        for (int u = 0; u < V; ++u) {
            const auto rows = cr::pl::first(2 * (limit - C * u));
            v[q][u] = cr::pl::select(rows, cr::divide(v[q][u], at[0]), v[q][u]);
            PCHOL_UNROLL
            for (int c = 1; q + c < W; ++c)
                v[q + c][u] = cr::pl::select(rows, cr::mul_sub_by(v[q + c][u], a[c], v[q][u]), v[q + c][u]);
        }
    }
    PCHOL_UNROLL
    for (int q = 0; q < W; ++q)
        PCHOL_UNROLL
        for (int u = 0; u < V; ++u) cr::store(spikes + q * n + r1 - 1 + C * u, v[q][u]);
}

// apply_link (reference.hpp) on one column b for complex elements: the W tail
// rows last - W + 1 .. last as vectors of the parts of C rows each, losing
// link column c times head row r1 + c, c ascending, each row in mul_sub's
// order.
template <class T, int W>
void apply_link_complex(index last, index r1, index r2, const T* link, T* b, index n) {
    using P = real_of_t<T>;
    using layout = complex_row_layout<P, W>;
    constexpr int C = layout::C;
    constexpr int V = layout::V;
    using cr = typename layout::rows;
    const index m = std::min<index>(r2 - r1 + 1, W);
    const index ce = std::min(last + m, n);
    T* const tail = b + last - W;
    typename cr::vec y[V];
    PCHOL_UNROLL
    for (int u = 0; u < V; ++u) y[u] = cr::load(tail + C * u);
    for (index c = last + 1; c <= ce; ++c) {
        const T* const lc = link + (c - last - 1) * W;
        const auto h = cr::split(b[r1 + (c - last - 1) - 1]);
        PCHOL_UNROLL
        for (int u = 0; u < V; ++u) y[u] = cr::mul_sub(y[u], cr::load(lc + C * u), h);
    }
    PCHOL_UNROLL
    for (int u = 0; u < V; ++u) cr::store(tail + C * u, y[u]);
}

// The B part of update_separator_tail (separator_tail_rows) for complex
// elements: per column of B, the W tail rows' wide differences as vectors
// of the parts of C rows each, over ascending rows r1..r2, each row of the
// spike read as C elements from C columns at a time.
template <class T, int W>
void separator_tail_rows_complex(index last, index r1, index r2, const T* spikes, T* B, index n, index nrhs) {
    using tr = element_traits<T>;
    using WP = decltype(tr::wide_type::re);
    using layout = complex_row_layout<WP, W>;
    constexpr int C = layout::C;
    constexpr int V = layout::V;
    using cr = typename layout::rows;
    const index tail_first = last - W + 1;
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        typename cr::vec s[V];
        PCHOL_UNROLL
        for (int u = 0; u < V; ++u) s[u] = cr::load_widened(b + tail_first - 1 + C * u);
        for (index r = r1; r <= r2; ++r) {
            const T br = b[r - 1];
            const auto q = cr::split(std::complex<WP>(WP(br.real()), WP(br.imag())));
            PCHOL_UNROLL
            for (int u = 0; u < V; ++u) s[u] = cr::mul_sub(s[u], cr::gather_widened(spikes + C * u * n + r - 1, n), q);
        }
        PCHOL_UNROLL
        for (int u = 0; u < V; ++u) cr::store_narrowed(b + tail_first - 1 + C * u, s[u]);
    }
}
#endif

}  // namespace pchol::detail::fixed

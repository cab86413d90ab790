// The separator updates for a half bandwidth known at compile time (W):
// update_separator_tail, update_separator_head and form_fill. The entries of
// a Gram matrix or of a correction are independent sums, so one pass over the
// spike's rows keeps all of them running, each still summed over ascending
// rows.
#pragma once

#include "element_traits.hpp"
#include "kernels/compiler.hpp"
#include "kernels/fixed_complex.hpp"

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace pchol::detail::fixed {

// One column b of B: the separator's W tail rows (ending at last) lose the
// right neighbour's spike (rows r1..r2) times b's rows r1..r2, one wide
// difference per tail row (lane i) over ascending rows, in register-wide
// parts, the spike's rows read W at a time through a transpose. Real
// elements with vector lanes.
template <class T, int W>
void separator_tail_column(index last, index r1, index r2, const T* spikes, T* b, index n) {
    using tr = element_traits<T>;
    using wp = wide_parts<T, typename tr::wide_type, W>;
    using part = typename wp::part;
    const index tail_first = last - W + 1;
    part s[wp::P];
    PCHOL_UNROLL
    for (int p = 0; p < wp::P; ++p) s[p] = wp::load(b + tail_first - 1 + wp::K * p);
    column_rows_in<T, W> rows(spikes, n, r1 - 1, r2);
    for (index r = r1; r <= r2; ++r) {
        const auto x = rows.next();
        const part br = wp::splat(tr::widen(b[r - 1]));
        PCHOL_UNROLL
        for (int p = 0; p < wp::P; ++p) s[p] = s[p] - wp::widen(x, p) * br;
    }
    PCHOL_UNROLL
    for (int p = 0; p < wp::P; ++p) wp::store(b + tail_first - 1 + wp::K * p, s[p]);
}

// The Gram matrix of the right neighbour's spike (rows r1..r2) leaves the
// separator's tail triangle, and spike times B leaves its tail rows of B.
// Every entry is its own sum over ascending rows; one pass over the rows
// carries all of them.
// For real elements the Gram loops read the spike's rows, from column c0
// on, from one of two sources: the spike's columns through a transpose, or
// the rows the spike solve kept, widened, W a row (spike_solve_columns_pair).
// part(p): lanes c0 + K p ... as wide values; at(q): column q.
template <class T, int W, int c0>
class spike_rows_read {
    using tr = element_traits<T>;
    using wc = wide_parts<T, typename tr::wide_type, W - c0>;

  public:
    spike_rows_read(const T* spikes, index n, index r1, index r2) : rows_(spikes + c0 * n, n, r1 - 1, r2) {}
    void next() { x_ = rows_.next(); }
    typename wc::part part(int p) const { return wc::widen(x_, p); }
    typename tr::wide_type at(int q) const { return tr::widen(x_[q - c0]); }

  private:
    column_rows_in<T, W - c0> rows_;
    typename lanes<T, W - c0>::vec x_{};
};

template <class T, int W, int c0>
class spike_rows_kept {
    using wide = typename element_traits<T>::wide_type;
    using wc = wide_parts<T, wide, W - c0>;

  public:
    explicit spike_rows_kept(const wide* kept) : row_(kept - W) {}
    void next() { row_ += W; }
    typename wc::part part(int p) const { return lanes<wide, wc::K>::load(row_ + c0 + wc::K * p); }
    wide at(int q) const { return row_[q]; }

  private:
    const wide* row_;
};

// Rows I0 ... I1 - 1 of the Gram matrix of the spike's rows r1..r2: row i
// as register-wide parts of wide sums (lane ip), over the columns from the
// part of lane I0 on (the parts wholly below the diagonal are never
// formed); with b, the sums of b's tail rows (lane i) in the same pass
// (I0 = 0). Each lane is its own sum over ascending rows with the products
// of the scalar loops.
template <class T, int W, int I0, int I1, template <class, int, int> class Rows, class Source>
void separator_tail_gram(T* A, index tail_first, index r1, index r2, const Source& source, T* b) {
    using tr = element_traits<T>;
    using wp = wide_parts<T, typename tr::wide_type, W>;
    constexpr int K = wp::K;
    constexpr int c0 = K * (I0 / K);  // the first column read
    using part = typename wp::part;
    constexpr int P = (W - c0) / K;
    constexpr index S = W + 1;
    part g[I1 - I0][P];
    PCHOL_UNROLL
    for (int i = 0; i < I1 - I0; ++i)
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) g[i][p] = part{};
    part s[P];
    PCHOL_UNROLL
    for (int p = 0; p < P; ++p) s[p] = b ? wp::load(b + tail_first - 1 + K * p) : part{};
    Rows<T, W, c0> rows = source.template rows<c0>();
    for (index r = r1; r <= r2; ++r) {
        rows.next();
        part x[P];
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) x[p] = rows.part(p);
        PCHOL_UNROLL
        for (int i = I0; i < I1; ++i) {
            const part xi = wp::splat(rows.at(i));
            PCHOL_UNROLL
            for (int p = (i - c0) / K; p < P; ++p) g[i - I0][p] = g[i - I0][p] + x[p] * xi;
        }
        if (c0 == 0 && b) {
            const part br = wp::splat(tr::widen(b[r - 1]));
            PCHOL_UNROLL
            for (int p = 0; p < P; ++p) s[p] = s[p] - x[p] * br;
        }
    }
    PCHOL_UNROLL
    for (int i = I0; i < I1; ++i) {
        T* const at = A + (tail_first + i - 1) * S;
        PCHOL_UNROLL
        for (int ip = i; ip < W; ++ip)
            at[ip - i] = tr::sub_wide(at[ip - i], g[i - I0][(ip - c0) / K][(ip - c0) % K]);
    }
    if (c0 == 0 && b) {
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) wp::store(b + tail_first - 1 + K * p, s[p]);
    }
}

// The two sources, as separator_tail_gram makes its reader from them.
template <class T, int W>
struct read_spike_rows {
    const T* spikes;
    index n, r1, r2;
    template <int c0>
    spike_rows_read<T, W, c0> rows() const {
        return {spikes, n, r1, r2};
    }
};
template <class T, int W>
struct kept_spike_rows {
    const typename element_traits<T>::wide_type* kept;
    template <int c0>
    spike_rows_kept<T, W, c0> rows() const {
        return spike_rows_kept<T, W, c0>(kept);
    }
};

// update_separator_tail for real elements: the Gram matrix and the first
// column of B in one pass over the spike's rows; when its sums would not
// fit the target's vector registers (wide sums of W lanes in two or more
// registers: AVX2), the first W / 2 rows of the Gram matrix and the column
// of B in one pass and the other rows, over the spike's last columns only,
// in a second. A sum kept in memory would carry its chain through a store
// and a load every row. With kept, the spike's rows are read from the rows
// the spike solve kept (widened, W a row), else from spikes.
template <class T, int W>
void update_separator_tail_lanes(T* A, index last, index r1, index r2, const T* spikes, T* B, index n, index nrhs,
                                 const typename element_traits<T>::wide_type* kept = nullptr) {
    using wp = wide_parts<T, typename element_traits<T>::wide_type, W>;
    const index tail_first = last - W + 1;
    T* const b = nrhs > 0 ? B : nullptr;
    auto passes = [&]<template <class, int, int> class Rows>(const auto& source) {
        if constexpr (wp::P == 1) {
            separator_tail_gram<T, W, 0, W, Rows>(A, tail_first, r1, r2, source, b);
        } else {
            separator_tail_gram<T, W, 0, W / 2, Rows>(A, tail_first, r1, r2, source, b);
            separator_tail_gram<T, W, W / 2, W, Rows>(A, tail_first, r1, r2, source, nullptr);
        }
    };
    if (kept)
        passes.template operator()<spike_rows_kept>(kept_spike_rows<T, W>{kept});
    else
        passes.template operator()<spike_rows_read>(read_spike_rows<T, W>{spikes, n, r1, r2});
    for (index k = 1; k < nrhs; ++k) separator_tail_column<T, W>(last, r1, r2, spikes, B + k * n, n);
}

// The B part of update_separator_tail on scalars: per column of B, the W
// tail rows' wide differences side by side over ascending rows r1..r2.
template <class T, int W>
void separator_tail_rows(index last, index r1, index r2, const T* spikes, T* B, index n, index nrhs) {
    using tr = element_traits<T>;
    using wide = typename tr::wide_type;
    const index tail_first = last - W + 1;
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        wide s[W];
        PCHOL_UNROLL
        for (index i = 0; i < W; ++i) s[i] = tr::widen(b[tail_first + i - 1]);
        for (index r = r1; r <= r2; ++r) {
            const T br = b[r - 1];
            PCHOL_UNROLL
            for (index i = 0; i < W; ++i) tr::acc_sub(s[i], spikes[i * n + r - 1], br);
        }
        PCHOL_UNROLL
        for (index i = 0; i < W; ++i) b[tail_first + i - 1] = tr::narrow(s[i]);
    }
}

// The same on scalars, the W by W sums in an array.
template <class T, int W>
void update_separator_tail(T* A, index last, index r1, index r2, const T* spikes, T* B, index n, index nrhs) {
    using tr = element_traits<T>;
    using wide = typename tr::wide_type;
    constexpr index S = W + 1;
    const index tail_first = last - W + 1;
    // g[i][ip] = sum over r of spikes(r, ip) * spikes(r, i) for ip >= i; the
    // entries below the diagonal are formed alongside and never used.
    wide g[W][W];
    PCHOL_UNROLL
    for (index i = 0; i < W; ++i)
        PCHOL_UNROLL
        for (index ip = 0; ip < W; ++ip) g[i][ip] = tr::widen(tr::zero());
    for (index r = r1; r <= r2; ++r) {
        T x[W];
        PCHOL_UNROLL
        for (index q = 0; q < W; ++q) x[q] = spikes[q * n + r - 1];
        PCHOL_UNROLL
        for (index i = 0; i < W; ++i)
            PCHOL_UNROLL
            for (index ip = 0; ip < W; ++ip) tr::acc_add(g[i][ip], x[ip], x[i]);
    }
    PCHOL_UNROLL
    for (index i = 0; i < W; ++i) {
        T* const at = A + (tail_first + i - 1) * S;
        PCHOL_UNROLL
        for (index ip = i; ip < W; ++ip) at[ip - i] = tr::sub_wide(at[ip - i], g[i][ip]);
    }
    separator_tail_rows<T, W>(last, r1, r2, spikes, B, n, nrhs);
}

// Subtracts Gram entries (i, ip), ip = from .. W - 1, given in wide parts by
// entry(ip), from row i of the tail triangle (stored by rows, diagonal
// first) whose first row is tail_first.
template <class T, int W, class Entry>
inline void subtract_tail_row(T* A, index tail_first, index i, index from, const Entry& entry) {
    using tr = element_traits<T>;
    T* const at = A + (tail_first + i - 1) * (W + 1);
    PCHOL_UNROLL
    for (index ip = from; ip < W; ++ip) at[ip - i] = tr::sub_wide(at[ip - i], entry(ip));
}

// update_separator_tail for complex elements with vector lanes: the Gram
// sums in lanes of 4 doubles, lane q of a quarter h holding column 4h + q,
// real and imaginary parts apart, each lane summing acc_add's parts in its
// order over ascending rows; the rows of spike(i) are broadcast. The sums
// of rows i < I1 run over both quarters, the others over the second only
// (their entries at ip >= i lie there), in passes of at most 8 sum vectors
// so that they stay in AVX2's registers. B by separator_tail_rows_complex.
template <class T, int W>
void update_separator_tail_complex(T* A, index last, index r1, index r2, const T* spikes, T* B, index n,
                                   index nrhs) {
    static_assert(W == 4 || W == 8);
    using tr = element_traits<T>;
    using wide = typename tr::wide_type;
    using WP = decltype(wide::re);
    using hl = lanes<WP, 4>;
    using hv = typename hl::vec;
    constexpr int Q = W / 4;  // quarters of 4 columns
    const index tail_first = last - W + 1;
    // Sums of rows i0 .. i0 + NI - 1 of the Gram matrix over quarters h0 ..
    // Q - 1, written to the tail triangle.
    auto pass = [&]<int i0, int NI, int h0>() {
        constexpr int NH = Q - h0;
        hv gr[NI][NH], gi[NI][NH];
        PCHOL_UNROLL
        for (int a = 0; a < NI; ++a)
            PCHOL_UNROLL
            for (int h = 0; h < NH; ++h) gr[a][h] = gi[a][h] = hl::splat(WP(0));
        for (index r = r1; r <= r2; ++r) {
            hv xr[NH], xi[NH];
            PCHOL_UNROLL
            for (int h = 0; h < NH; ++h) {
                const T* const c = spikes + (4 * (h0 + h)) * n + r - 1;
                xr[h] = hv{WP(c[0].real()), WP(c[n].real()), WP(c[2 * n].real()), WP(c[3 * n].real())};
                xi[h] = hv{WP(c[0].imag()), WP(c[n].imag()), WP(c[2 * n].imag()), WP(c[3 * n].imag())};
            }
            PCHOL_UNROLL
            for (int a = 0; a < NI; ++a) {
                const T q = spikes[(i0 + a) * n + r - 1];
                const hv qr = hl::splat(WP(q.real())), qi = hl::splat(WP(q.imag()));
                PCHOL_UNROLL
                for (int h = 0; h < NH; ++h) {
                    gr[a][h] = gr[a][h] + (part_product(xr[h], qr) - part_product(xi[h], qi));
                    gi[a][h] = gi[a][h] + (part_product(xi[h], qr) + part_product(xr[h], qi));
                }
            }
        }
        PCHOL_UNROLL
        for (int a = 0; a < NI; ++a)
            subtract_tail_row<T, W>(A, tail_first, i0 + a, std::max<index>(i0 + a, 4 * h0), [&](index ip) {
                const int h = static_cast<int>(ip / 4) - h0, l = static_cast<int>(ip % 4);
                return wide{gr[a][h][l], gi[a][h][l]};
            });
    };
    if constexpr (W == 4) {
        pass.template operator()<0, 4, 0>();
    } else {
        pass.template operator()<0, 2, 0>();
        pass.template operator()<2, 2, 0>();
        pass.template operator()<4, 4, 1>();
    }
#if PCHOL_VECTOR_LANES
    separator_tail_rows_complex<T, W>(last, r1, r2, spikes, B, n, nrhs);
#else
    separator_tail_rows<T, W>(last, r1, r2, spikes, B, n, nrhs);
#endif
}

#if PCHOL_VECTOR_LANES
// update_separator_tail_complex for half bandwidth 8 where one register
// holds 8 doubles (AVX-512): the whole Gram matrix in one pass, lane ip of
// sum vector i holding entry (i, ip), real and imaginary parts apart, each
// lane summing acc_add's parts in its order over ascending rows (the
// entries below the diagonal are summed too and dropped). Four rows at a
// time come through one transpose of the 8 columns' runs of 4 elements,
// instead of 8 element inserts and conversions per part and row.
template <class T>
void update_separator_tail_complex_wide(T* A, index last, index r1, index r2, const T* spikes, T* B, index n,
                                        index nrhs) {
    constexpr int W = 8;
    using tr = element_traits<T>;
    using wide = typename tr::wide_type;
    using P = real_of_t<T>;
    using WP = decltype(wide::re);
    using pl = lanes<P, 8>;
    using pvec = typename pl::vec;
    using wvec = typename lanes<WP, 8>::vec;
    const index tail_first = last - W + 1;
    wvec gr[W], gi[W];
    PCHOL_UNROLL
    for (int a = 0; a < W; ++a) gr[a] = gi[a] = wvec{};
    auto widen = [](const pvec& v) {
        if constexpr (std::is_same_v<P, WP>) return v;
        else return convert_lanes<wvec>(v);
    };
    // One row: xr and xi hold the parts of its 8 columns.
    auto row = [&](const wvec& xr, const wvec& xi) {
        [&]<int... a>(std::integer_sequence<int, a...>) {
            auto one = [&]<int i>(std::integral_constant<int, i>) {
                const wvec qr = __builtin_shufflevector(xr, xr, i, i, i, i, i, i, i, i);
                const wvec qi = __builtin_shufflevector(xi, xi, i, i, i, i, i, i, i, i);
                gr[i] = gr[i] + (part_product(xr, qr) - part_product(xi, qi));
                gi[i] = gi[i] + (part_product(xi, qr) + part_product(xr, qi));
            };
            (one(std::integral_constant<int, a>{}), ...);
        }(std::make_integer_sequence<int, W>{});
    };
    index r = r1;
    for (; r + 3 <= r2; r += 4) {
        pvec v[W];
        PCHOL_UNROLL
        for (int q = 0; q < W; ++q) v[q] = pl::load(reinterpret_cast<const P*>(spikes + q * n + r - 1));
        transpose<pvec, W>(v);  // v[2k], v[2k + 1]: the parts of row r + k
        // One row at a time (unrolled, the four rows' sums and parts do not
        // fit the registers).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC unroll 1
#endif
        for (int k = 0; k < 4; ++k) row(widen(v[2 * k]), widen(v[2 * k + 1]));
    }
    for (; r <= r2; ++r) {
        wvec xr, xi;
        PCHOL_UNROLL
        for (int q = 0; q < W; ++q) {
            const T c = spikes[q * n + r - 1];
            xr[q] = WP(c.real());
            xi[q] = WP(c.imag());
        }
        row(xr, xi);
    }
    PCHOL_UNROLL
    for (int i = 0; i < W; ++i)
        subtract_tail_row<T, W>(A, tail_first, i, i, [&](index ip) { return wide{gr[i][ip], gi[i][ip]}; });
    separator_tail_rows_complex<T, W>(last, r1, r2, spikes, B, n, nrhs);
}
#endif

// update_separator_head: the head triangle and the head rows of B lose the
// left neighbour's contribution, q ascending per entry, through a copy of
// the head rows of spikes (h[r][q], r counted from first).
template <class T, int W>
void update_separator_head(T* A, index first, index left_last, const T* spikes, T* B, index n, index nrhs) {
    using tr = element_traits<T>;
    constexpr index S = W + 1;
    const index head_rows = std::min<index>(W, n - first + 1);  // head rows
    T h[W][W];
    for (index r = 0; r < head_rows; ++r)
        PCHOL_UNROLL
        for (index q = 0; q < W; ++q) h[r][q] = spikes[q * n + first - 1 + r];
    for (index r = 0; r < head_rows; ++r) {
        T* const ar = A + (first - 1 + r) * S;
        for (index c = r; c < head_rows; ++c) {
            T v = ar[c - r];
            PCHOL_UNROLL
            for (index q = 0; q < W; ++q) v = tr::mul_sub(v, h[c][q], h[r][q]);
            ar[c - r] = v;
        }
    }
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        T bt[W];
        PCHOL_UNROLL
        for (index q = 0; q < W; ++q) bt[q] = b[left_last - W + q];
        for (index r = 0; r < head_rows; ++r) {
            T v = b[first - 1 + r];
            PCHOL_UNROLL
            for (index q = 0; q < W; ++q) v = tr::mul_sub(v, h[r][q], bt[q]);
            b[first - 1 + r] = v;
        }
    }
}

// W consecutive complex elements as a vector of their real parts and one of
// their imaginary parts, and back.
template <class T, int W>
struct complex_parts {
    using P = typename T::value_type;
    using pl = lanes<P, W>;
    using vec = typename pl::vec;
    vec re, im;
    static complex_parts load(const T* x) {
        const vec a = pl::load(reinterpret_cast<const P*>(x)), b = pl::load(reinterpret_cast<const P*>(x) + W);
        if constexpr (W == 4)
            return {__builtin_shufflevector(a, b, 0, 2, 4, 6), __builtin_shufflevector(a, b, 1, 3, 5, 7)};
        else
            return {__builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14),
                    __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15)};
    }
    // Lanes from..W-1 to x[0 .. W-1-from].
    void store_from(T* x, int from) const {
        for (int l = from; l < W; ++l) x[l - from] = T(re[l], im[l]);
    }
    // x - p*q with q the same in every lane, in mul_sub's order.
    static complex_parts mul_sub(const complex_parts& x, const complex_parts& p, T q) {
        const vec qr = pl::splat(q.real()), qi = pl::splat(q.imag());
        return {(x.re - part_product(p.re, qr)) + part_product(p.im, qi),
                (x.im - part_product(p.im, qr)) - part_product(p.re, qi)};
    }
};

// update_separator_head for complex elements with vector lanes and a full
// head of W rows, laid out as the real one below: entry (r, c) of the head
// triangle in lane c, head row r of B in lane r, each losing its products
// q ascending in mul_sub's order; lanes left of the triangle's row work on
// zeros and are never stored.
template <class T, int W>
void update_separator_head_complex(T* A, index first, index left_last, const T* spikes, T* B, index n, index nrhs) {
    using cp = complex_parts<T, W>;
    constexpr index S = W + 1;
    cp h[W];  // h[q]: head rows of spike column q
    PCHOL_UNROLL
    for (int q = 0; q < W; ++q) h[q] = cp::load(spikes + q * n + first - 1);
    for (int r = 0; r < W; ++r) {
        T* const ar = A + (first - 1 + r) * S;
        cp v{};
        for (int c = r; c < W; ++c) {
            v.re[c] = ar[c - r].real();
            v.im[c] = ar[c - r].imag();
        }
        PCHOL_UNROLL
        for (int q = 0; q < W; ++q) v = cp::mul_sub(v, h[q], spikes[q * n + first - 1 + r]);
        v.store_from(ar, r);
    }
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        cp v = cp::load(b + first - 1);
        PCHOL_UNROLL
        for (int q = 0; q < W; ++q) v = cp::mul_sub(v, h[q], b[left_last - W + q]);
        v.store_from(b + first - 1, 0);
    }
}

// update_separator_head for real elements with a full head of W rows: the
// head rows of spike column q are contiguous, so entry (r, c) of the head
// triangle runs in lane c of a vector over the rows c (in register-wide
// parts of C lanes), and head row r of B in lane r. Every entry still
// loses its products one by one, q ascending, each rounded as in the scalar
// loop; lanes left of the triangle's row are worked on zeros and never
// stored.
template <class T, int W>
void update_separator_head_lanes(T* A, index first, index left_last, const T* spikes, T* B, index n, index nrhs) {
    constexpr int C = register_part<T, W>;
    constexpr int P = W / C;
    using vl = lanes<T, C>;
    using vec = typename vl::vec;
    constexpr index S = W + 1;
    const T* const head = spikes + first - 1;
    vec h[W][P];  // h[q][p] lane l: spikes(first + p C + l, q)
    PCHOL_UNROLL
    for (int q = 0; q < W; ++q)
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) h[q][p] = vl::load(head + q * n + p * C);
    PCHOL_UNROLL
    for (int r = 0; r < W; ++r) {
        T* const ar = A + (first - 1 + r) * S;
        PCHOL_UNROLL
        for (int p = r / C; p < P; ++p) {
            vec v = {};
            PCHOL_UNROLL
            for (int l = 0; l < C; ++l)
                if (p * C + l >= r) v[l] = ar[p * C + l - r];
            PCHOL_UNROLL
            for (int q = 0; q < W; ++q) v = v - h[q][p] * vl::splat(head[q * n + r]);
            PCHOL_UNROLL
            for (int l = 0; l < C; ++l)
                if (p * C + l >= r) ar[p * C + l - r] = v[l];
        }
    }
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        T bt[W];
        PCHOL_UNROLL
        for (int q = 0; q < W; ++q) bt[q] = b[left_last - W + q];
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) {
            vec v = vl::load(b + first - 1 + p * C);
            PCHOL_UNROLL
            for (int q = 0; q < W; ++q) v = v - h[q][p] * vl::splat(bt[q]);
            vl::store(b + first - 1 + p * C, v);
        }
    }
}

// form_fill for real elements with a full head of W rows: the head rows of
// every spike column are read first (the fill replaces them), then column j
// of the fill is formed for all head rows at once, row r in lane r of wide
// parts, each entry summed over ascending k with the scalar loop's
// products; the scratch slots take the last head row, as the row loop leaves
// them. left: the spike columns where the left neighbour's rows are found by
// their row numbers (spikes itself unless a stored factor keeps them apart).
template <class T, int W>
void form_fill_lanes(T* A, index first, index last, index left_last, T* spikes, const T* left, index n) {
    using tr = element_traits<T>;
    using wide = typename tr::wide_type;
    using wp = wide_parts<T, wide, W>;
    using part = typename wp::part;
    constexpr int P = wp::P;
    constexpr index S = W + 1;
    T* const head = spikes + first - 1;
    T* const v = A + (first - 2) * S + 1;
    PCHOL_UNROLL
    for (int i = 0; i < W; ++i) v[i] = head[i * n + W - 1];
    part x[P][W];  // x[p][k] lane l: spikes(first + p K + l, k), widened
    PCHOL_UNROLL
    for (int k = 0; k < W; ++k)
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) x[p][k] = wp::load(head + k * n + p * wp::K);
    // Each t[k][j] widened and broadcast once for all parts.
    PCHOL_UNROLL
    for (int j = 0; j < W; ++j) {
        const T* const tj = left + j * n + left_last - W;  // t[k][j] = tj[k]
        part s[P];
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) s[p] = wp::splat(tr::widen(tr::zero()));
        PCHOL_UNROLL
        for (int k = 0; k < W; ++k) {
            const part t = wp::splat(tr::widen(tj[k]));
            PCHOL_UNROLL
            for (int p = 0; p < P; ++p) s[p] = s[p] + x[p][k] * t;
        }
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) wp::store(head + j * n + p * wp::K, -s[p]);
    }
    for (index i = 0; i < W; ++i) {
        T* const si = spikes + i * n;
        for (index r = first + W; r <= last; ++r) si[r - 1] = tr::zero();
    }
}

// form_fill: row by row, the head row's coupling x (copied to the scratch
// slots of row first - 1, as the step defines) times the left neighbour's spike
// tail rows, each entry summed over ascending k; then the rows below the
// head are cleared. left as in form_fill_lanes.
template <class T, int W>
void form_fill(T* A, index first, index last, index left_last, T* spikes, const T* left, index n) {
    using tr = element_traits<T>;
    using wide = typename tr::wide_type;
    constexpr index S = W + 1;
    const index head_end = std::min<index>(first + W - 1, n);
    T* const v = A + (first - 2) * S + 1;
    // The tail rows of the left neighbour's spike: t[k][j] = spikes(t_k, j).
    T t[W][W];
    PCHOL_UNROLL
    for (index k = 0; k < W; ++k)
        PCHOL_UNROLL
        for (index j = 0; j < W; ++j) t[k][j] = left[j * n + left_last - W + k];
    for (index r = first; r <= head_end; ++r) {
        T x[W];
        PCHOL_UNROLL
        for (index i = 0; i < W; ++i) x[i] = spikes[i * n + r - 1];
        wide s[W];
        PCHOL_UNROLL
        for (index j = 0; j < W; ++j) s[j] = tr::widen(tr::zero());
        PCHOL_UNROLL
        for (index k = 0; k < W; ++k)
            PCHOL_UNROLL
            for (index j = 0; j < W; ++j) tr::acc_add(s[j], x[k], t[k][j]);
        PCHOL_UNROLL
        for (index i = 0; i < W; ++i) {
            v[i] = x[i];
            spikes[i * n + r - 1] = tr::narrow(tr::negate(s[i]));
        }
    }
    for (index i = 0; i < W; ++i) {
        T* const si = spikes + i * n;
        for (index r = head_end + 1; r <= last; ++r) si[r - 1] = tr::zero();
    }
}

}  // namespace pchol::detail::fixed

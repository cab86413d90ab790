// The separator updates for a half bandwidth known at compile time (W):
// update_separator_tail, update_separator_head and form_fill. The entries of
// a Gram matrix or of a correction are independent sums, so one pass over the
// spike's rows keeps all of them running, each still summed over ascending
// rows.
#pragma once

#include "element_traits.hpp"
#include "kernels/compiler.hpp"

#include <algorithm>
#include <cstdint>

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
// update_separator_tail for real elements: row i of the Gram matrix as
// register-wide parts of wide sums (lane ip), and the sums of the first
// column of B as more (lane i), formed in the same pass over the spike's rows. Each lane
// is its own sum over ascending rows with the products of the scalar loops.
template <class T, int W>
void update_separator_tail_lanes(T* A, index last, index r1, index r2, const T* spikes, T* B, index n,
                                 index nrhs) {
    using tr = element_traits<T>;
    using wp = wide_parts<T, typename tr::wide_type, W>;
    using part = typename wp::part;
    constexpr int P = wp::P;
    constexpr index S = W + 1;
    const index tail_first = last - W + 1;
    // g[i] holds the sums of row i of the Gram matrix in the parts of lanes
    // ip >= i (the parts wholly below the diagonal are never formed); s the
    // tail rows of the first column of B.
    part g[W][P];
    PCHOL_UNROLL
    for (int i = 0; i < W; ++i)
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) g[i][p] = part{};
    part s[P];
    PCHOL_UNROLL
    for (int p = 0; p < P; ++p) s[p] = nrhs > 0 ? wp::load(B + tail_first - 1 + wp::K * p) : part{};
    column_rows_in<T, W> rows(spikes, n, r1 - 1, r2);
    for (index r = r1; r <= r2; ++r) {
        const auto xn = rows.next();
        part x[P];
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) x[p] = wp::widen(xn, p);
        PCHOL_UNROLL
        for (int i = 0; i < W; ++i) {
            const part xi = wp::splat(tr::widen(xn[i]));
            PCHOL_UNROLL
            for (int p = i / wp::K; p < P; ++p) g[i][p] = g[i][p] + x[p] * xi;
        }
        if (nrhs > 0) {
            const part br = wp::splat(tr::widen(B[r - 1]));
            PCHOL_UNROLL
            for (int p = 0; p < P; ++p) s[p] = s[p] - x[p] * br;
        }
    }
    PCHOL_UNROLL
    for (int i = 0; i < W; ++i) {
        T* const at = A + (tail_first + i - 1) * S;
        PCHOL_UNROLL
        for (int ip = i; ip < W; ++ip) at[ip - i] = tr::sub_wide(at[ip - i], g[i][ip / wp::K][ip % wp::K]);
    }
    if (nrhs > 0) {
        PCHOL_UNROLL
        for (int p = 0; p < P; ++p) wp::store(B + tail_first - 1 + wp::K * p, s[p]);
    }
    for (index k = 1; k < nrhs; ++k) separator_tail_column<T, W>(last, r1, r2, spikes, B + k * n, n);
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

// The elements of T one vector register of the target holds, W or fewer.
template <class T, int W>
inline constexpr int register_part = W < register_wide_lanes * 8 / static_cast<int>(sizeof(T))
                                         ? W
                                         : register_wide_lanes * 8 / static_cast<int>(sizeof(T));

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
// them.
template <class T, int W>
void form_fill_lanes(T* A, index first, index last, index left_last, T* spikes, index n) {
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
    PCHOL_UNROLL
    for (int p = 0; p < P; ++p)
        PCHOL_UNROLL
        for (int j = 0; j < W; ++j) {
            const T* const tj = spikes + j * n + left_last - W;  // t[k][j] = tj[k]
            part s = wp::splat(tr::widen(tr::zero()));
            PCHOL_UNROLL
            for (int k = 0; k < W; ++k) s = s + x[p][k] * wp::splat(tr::widen(tj[k]));
            wp::store(head + j * n + p * wp::K, -s);
        }
    for (index i = 0; i < W; ++i) {
        T* const si = spikes + i * n;
        for (index r = first + W; r <= last; ++r) si[r - 1] = tr::zero();
    }
}

// form_fill: row by row, the head row's coupling x (copied to the scratch
// slots of row first - 1, as the step defines) times the left neighbour's spike
// tail rows, each entry summed over ascending k; then the rows below the
// head are cleared.
template <class T, int W>
void form_fill(T* A, index first, index last, index left_last, T* spikes, index n) {
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
        for (index j = 0; j < W; ++j) t[k][j] = spikes[j * n + left_last - W + k];
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

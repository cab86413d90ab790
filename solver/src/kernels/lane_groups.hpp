// Up to L independent blocks of one sweep, all block_rows long, factored and
// forward-solved side by side: lane b of every vector belongs to block b.
// One block's row chain is a chain of dependent operations; L chains at once
// fill the vector units while each waits on its own latency.
//
// The blocks' band rows are copied into a tile on the stack, lane
// interleaved (tile[row][slot][lane]), worked on there and copied back. Each
// lane receives the operations of the reference loops (kernels/reference.hpp)
// in their order, so every stored value is theirs bit for bit; the lanes of
// a group of fewer than L blocks hold a unit diagonal and zeros.
//
// A failed pivot in any lane leaves A untouched (nothing is copied back) and
// the blocks are factored again one by one with the reference loops, which
// leave the failing block's rows and its flag as they always do.
#pragma once

#include "element_traits.hpp"
#include "kernels/compiler.hpp"
#include "kernels/reference.hpp"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

namespace pchol::detail::groups {

using index = std::int64_t;

// The blocks of one group: 8, one AVX2 vector of floats (or complex floats,
// by parts), one AVX-512 vector of doubles, and with AVX2 a twin of two
// vectors of 4 doubles (fixed::group_vectors), whose two halves' chains run
// side by side in every loop.
template <class T>
inline constexpr int group_lanes = sizeof(real_of_t<T>) == 4        ? 8
                                   : std::is_floating_point_v<T> ? fixed::group_double_lanes
                                                                 : fixed::register_wide_lanes;

// The tile's room: the band rows of the group and one column of B (the
// benchmark's blocks of 72 rows of half bandwidth 8 take 23 KB of floats).
// Complex elements take twice the room of their parts, and so does their
// tile: 72 such rows of complex doubles in 8 lanes (AVX-512) take 92 KB.
template <class T>
inline constexpr std::size_t tile_bytes = std::is_floating_point_v<T> ? 65536 : 131072;

// The group's blocks must fit the tile.
template <class T>
constexpr bool group_fits(index hbw, index rows) {
    return rows > 0 && static_cast<std::size_t>(rows) * static_cast<std::size_t>(hbw + 2) <=
                           tile_bytes<T> / (sizeof(T) * group_lanes<T>);
}

// One element of each of L blocks. Real elements: a vector of L lanes.
// Complex elements: the real parts of the L elements as one vector and their
// imaginary parts as another, so that each part of the complex rules is one
// vector operation.
template <class T, int L, bool complex = !std::is_floating_point_v<T>>
struct lane_values {
    using part = typename fixed::group_vectors<T, L>::vec;
    using type = part;
    static T get(const type& v, int l) { return v[l]; }
    static void put(type& v, int l, T x) { fixed::set_lane(v, l, x); }
};
template <class T, int L>
struct lane_values<T, L, true> {
    using part = typename fixed::group_vectors<real_of_t<T>, L>::vec;
    struct type {
        part re, im;
    };
    static T get(const type& v, int l) { return T(v.re[l], v.im[l]); }
    static void put(type& v, int l, T x) {
        fixed::set_lane(v.re, l, x.real());
        fixed::set_lane(v.im, l, x.imag());
    }
};

// The format of a wide sum's parts: the wide type itself for real
// elements, its parts' type for complex ones.
template <class T, bool complex = !std::is_floating_point_v<T>>
struct wide_part {
    using type = typename element_traits<T>::wide_type;
};
template <class T>
struct wide_part<T, true> {
    using type = decltype(element_traits<T>::wide_type::re);
};

template <class T>
class group_tile {
    static constexpr int L = group_lanes<T>;
    static constexpr bool complex = !std::is_floating_point_v<T>;
    using tr = element_traits<T>;
    using P = real_of_t<T>;
    using WP = typename wide_part<T>::type;
    using vl = fixed::group_vectors<P, L>;
    using pvec = typename vl::vec;
    // Wide sums of doubles are doubles: the parts' own vectors.
    using wl = std::conditional_t<std::is_same_v<P, WP>, vl, fixed::lanes<WP, L>>;
    using wpvec = typename wl::vec;
    using lv = lane_values<T, L>;
    using vec = typename lv::type;
    struct complex_wide {
        wpvec re, im;
    };
    using wvec = std::conditional_t<complex, complex_wide, wpvec>;
    // Elements of a block's row that one load of L parts reads.
    static constexpr int E = complex ? L / 2 : L;

  public:
    // The group: blocks firsts[0 .. count - 1], each rows long.
    group_tile(index hbw, const index* firsts, int count, index rows)
        : hbw_(hbw), S_(hbw + 1), firsts_(firsts), count_(count), rows_(rows), x_(band_ + rows * (hbw + 1)) {
        assert(group_fits<T>(hbw, rows) && count >= 1 && count <= L);
    }
    group_tile(const group_tile&) = delete;
    group_tile& operator=(const group_tile&) = delete;

    // The blocks' band rows from A, each row's slots within its block.
    void pack(const T* A) {
        if (count_ < L) return pack_partial(A);
        const T* rows[L];
        for (int b = 0; b < L; ++b) rows[b] = band_row(A, hbw_, firsts_[b]);
        // The rows before the last hbw have every slot inside the block and
        // lie one after the other in A: E slots at a time, one transpose.
        const index body = body_slots();
        index p = 0;
        for (; p + E <= body; p += E) gather(rows, p, band_ + p);
        for (; p < rows_ * S_; ++p)
            if (inside(p))
                for (int b = 0; b < L; ++b) lv::put(band_[p], b, rows[b][p]);
    }

    // And back.
    void unpack(T* A) const {
        if (count_ < L) return unpack_partial(A);
        T* rows[L];
        for (int b = 0; b < L; ++b) rows[b] = band_row(A, hbw_, firsts_[b]);
        const index body = body_slots();
        index p = 0;
        for (; p + E <= body; p += E) scatter(band_ + p, p, rows);
        for (; p < rows_ * S_; ++p)
            if (inside(p))
                for (int b = 0; b < L; ++b) rows[b][p] = lv::get(band_[p], b);
    }

    // band_factor_block in every lane; false, with the tile spoilt, when a
    // pivot of any of the blocks fails.
    bool factor(const P& tol) {
        const pvec tolv = vl::splat(tol);
        return by_width([&](auto W) { return factor_fixed<W>(tolv); });
    }

    // rhs_forward_block in every lane with the factor in the tile, on the
    // nrhs columns of B (n rows each).
    void forward(T* B, index n, index nrhs) {
        for (index k = 0; k < nrhs; ++k) {
            T* const b = B + k * n;
            load_column(b);
            by_width([&](auto W) { forward_fixed<W>(); });
            store_column(b);
        }
    }

    // The spikes of the group's blocks from lane `from` on (the blocks
    // before it have none), with the factor in the tile: the forward
    // substitution of spike_solve on each of the hbw columns, whose first
    // hbw rows of each block are read and whose rows below them enter as
    // zeros, whatever spikes holds there. Lanes before `from` are neither
    // read nor written.
    // With the half bandwidth fixed (4 or 8), four columns at a time side
    // by side, when they fit the room below: four chains of divisions and
    // updates in flight instead of one.
    // Lane l's block finds its rows of the spike columns in spikes[l] by
    // their row numbers (spikes[l] is the same for every lane where the
    // solve that factors keeps them).
    void spike_solve(T* const* spikes, index n, int from) {
        constexpr int C = 4;
        const index head = std::min(hbw_, rows_);
        // A full group reads its head rows E at a time through a transpose, as
        // store_lanes writes them back: lane by lane, a build for AVX-512
        // compiles the loop to a long chain of inserts (complex floats).
        auto load_head = [&](index q, vec* x) {
            index r0 = 0;
            if (count_ == L && from == 0) {
                const T* src[L];
                for (int l = 0; l < L; ++l) src[l] = spikes[l] + q * n + firsts_[l] - 1;
                for (; r0 + E <= head; r0 += E) gather(src, r0, x + r0);
            }
            for (index r = r0; r < head; ++r)
                for (int l = 0; l < L; ++l)
                    lv::put(x[r], l, l >= from && l < count_ ? spikes[l][q * n + firsts_[l] + r - 1] : T(0));
            for (index r = head; r < rows_; ++r) x[r] = vec{};
        };
        auto columns = [&](index q, T** dst) {
            for (int l = 0; l < count_; ++l) dst[l] = spikes[l] + q * n;
        };
        index q = 0;
        if ((hbw_ == 4 || hbw_ == 8) && C * rows_ <= columns_room) {
            vec cols[columns_room];
            for (; q + C <= hbw_; q += C) {
                for (int c = 0; c < C; ++c) load_head(q + c, cols + c * rows_);
                by_width([&](auto W) {
                    if constexpr (W > 0) forward_columns<W, C>(cols);
                });
                for (int c = 0; c < C; ++c) {
                    T* dst[L] = {};
                    columns(q + c, dst);
                    store_lanes(dst, from, cols + c * rows_);
                }
            }
        }
        for (; q < hbw_; ++q) {
            load_head(q, x_);
            by_width([&](auto W) { forward_fixed<W>(); });
            T* dst[L] = {};
            columns(q, dst);
            store_lanes(dst, from, x_);
        }
    }

    // rhs_backward_block in every lane with the factor in the tile, on one
    // column x of B (n rows), sums in the wide format as there.
    void backward(T* x) {
        load_column(x);
        by_width([&](auto W) { backward_fixed<W>(); });
        store_column(x);
    }

  private:
    // f(W), W the half bandwidth where the row loops have an unrolled form.
    template <class F>
    auto by_width(F&& f) {
        return fixed::by_fixed_width(hbw_, std::forward<F>(f));
    }

    // Slots of the rows that end inside the block, and whether slot p of the
    // tile (row p / S, column offset p % S) lies inside the block.
    index body_slots() const { return std::max<index>(rows_ - hbw_, 0) * S_; }
    bool inside(index p) const { return p % S_ <= std::min(hbw_, rows_ - 1 - p / S_); }

    // Elements at .. at + E - 1 of the L blocks' arrays src[b] into out[0 ..
    // E - 1], and back: L loads of L parts and one transpose. Complex
    // elements are pairs of parts, so the transposed vectors alternate real
    // and imaginary parts.
    static void gather(const T* const* src, index at, vec* out) {
        pvec v[L];
        for (int b = 0; b < L; ++b) v[b] = vl::load(reinterpret_cast<const P*>(src[b] + at));
        fixed::transpose<pvec, L>(v);
        if constexpr (complex) {
            for (int q = 0; q < E; ++q) out[q] = vec{v[2 * q], v[2 * q + 1]};
        } else {
            for (int q = 0; q < L; ++q) out[q] = v[q];
        }
    }
    static void scatter(const vec* in, index at, T* const* dst) {
        pvec v[L];
        if constexpr (complex) {
            for (int q = 0; q < E; ++q) {
                v[2 * q] = in[q].re;
                v[2 * q + 1] = in[q].im;
            }
        } else {
            for (int q = 0; q < L; ++q) v[q] = in[q];
        }
        fixed::transpose<pvec, L>(v);
        for (int b = 0; b < L; ++b) vl::store(reinterpret_cast<P*>(dst[b] + at), v[b]);
    }

    // Fewer than L blocks: the spare lanes hold a unit diagonal and zeros.
    void pack_partial(const T* A) {
        for (index p = 0; p < rows_ * S_; ++p) {
            if (!inside(p)) continue;
            vec& v = band_[p];
            for (int b = 0; b < L; ++b)
                lv::put(v, b, b < count_ ? band_row(A, hbw_, firsts_[b])[p] : (p % S_ == 0 ? T(1) : T(0)));
        }
    }
    void unpack_partial(T* A) const {
        for (index p = 0; p < rows_ * S_; ++p)
            if (inside(p))
                for (int b = 0; b < count_; ++b) band_row(A, hbw_, firsts_[b])[p] = lv::get(band_[p], b);
    }

    // Column q of the blocks' rows of X (n rows a column) into x_ and back.
    void load_column(const T* x) {
        if (count_ == L) {
            const T* src[L];
            for (int b = 0; b < L; ++b) src[b] = x + firsts_[b] - 1;
            index r = 0;
            for (; r + E <= rows_; r += E) gather(src, r, x_ + r);
            for (; r < rows_; ++r)
                for (int l = 0; l < L; ++l) lv::put(x_[r], l, src[l][r]);
            return;
        }
        for (index r = 0; r < rows_; ++r)
            for (int l = 0; l < L; ++l) lv::put(x_[r], l, l < count_ ? x[firsts_[l] + r - 1] : T(0));
    }
    // Lanes from `from` on; from src instead of x_ if given.
    void store_column(T* x, int from = 0, const vec* src = nullptr) const {
        T* cols[L] = {};
        for (int b = 0; b < count_; ++b) cols[b] = x;
        store_lanes(cols, from, src ? src : x_);
    }
    // The same into lane b's column cols[b] (rows by their row numbers).
    void store_lanes(T* const* cols, int from, const vec* v) const {
        T* dst[L] = {};
        for (int b = 0; b < count_; ++b) dst[b] = cols[b] + firsts_[b] - 1;
        index r = 0;
        if (count_ == L && from == 0)
            for (; r + E <= rows_; r += E) scatter(v + r, r, dst);
        for (; r < rows_; ++r)
            for (int l = from; l < count_; ++l) dst[l][r] = lv::get(v[r], l);
    }

    // Row i of the factor: the updates of the rows above it, the pivot test,
    // the root and the scaling. Every half bandwidth, every row.
    bool factor_row(index i, const pvec& tolv) {
        vec* const ti = band_ + i * S_;
        for (index j = std::max<index>(i - hbw_, 0); j < i; ++j) {
            const vec* const tj = band_ + j * S_;
            const vec aji = tj[i - j];
            const index ce = std::min(j + hbw_, rows_ - 1);
            for (index c = i; c <= ce; ++c) ti[c - i] = mul_sub(ti[c - i], tj[c - j], aji);
        }
        const vec d = ti[0];
        if (any_fails(d, tolv)) return false;
        const vec s = root(d);
        ti[0] = s;
        const index ce = std::min(i + hbw_, rows_ - 1);
        for (index c = i + 1; c <= ce; ++c) ti[c - i] = div(ti[c - i], s);
        return true;
    }

    // The same with the half bandwidth W known to the compiler, for the rows
    // whose window of W rows above and W columns right lies in the block.
    // Row i's slots stay in registers while the rows above update them, each
    // slot in the reference order (rows above from the farthest on). W = 0:
    // every row by factor_row.
    template <int W>
    bool factor_fixed(const pvec& tolv) {
        constexpr index S = W + 1;
        for (index i = 0; i < rows_; ++i) {
            if (W == 0 || i < W || i + W > rows_ - 1) {
                if (!factor_row(i, tolv)) return false;
                continue;
            }
            vec* const ti = band_ + i * S;
            vec t[S];
            PCHOL_UNROLL
            for (int k = 0; k < S; ++k) t[k] = ti[k];
            PCHOL_UNROLL
            for (int up = W; up >= 1; --up) {
                const vec* const tj = ti - up * S;
                const vec aji = tj[up];
                PCHOL_UNROLL
                for (int k = 0; k <= W - up; ++k) t[k] = mul_sub(t[k], tj[k + up], aji);
            }
            if (any_fails(t[0], tolv)) return false;
            const vec s = root(t[0]);
            ti[0] = s;
            PCHOL_UNROLL
            for (int k = 1; k < S; ++k) ti[k] = div(t[k], s);
        }
        return true;
    }

    // The forward substitution on x_ with the factor in the tile, W fixed
    // for the rows whose W rows below lie in the block. W = 0: the half
    // bandwidth at run time.
    template <int W>
    void forward_fixed() {
        for (index r = 0; r < rows_; ++r) {
            const vec* const tr_ = band_ + r * S_;
            const vec xr = div(x_[r], tr_[0]);
            x_[r] = xr;
            if (W > 0 && r + W <= rows_ - 1) {
                PCHOL_UNROLL
                for (int k = 1; k <= W; ++k) x_[r + k] = mul_sub(x_[r + k], xr, tr_[k]);
            } else {
                const index ce = std::min(r + hbw_, rows_ - 1);
                for (index c = r + 1; c <= ce; ++c) x_[c] = mul_sub(x_[c], xr, tr_[c - r]);
            }
        }
    }

    // forward_fixed on C columns of rows_ rows each, one after the other in
    // xs, side by side: row r of every column, then its updates of the W
    // rows below in every column (rows where W rows below lie in the block;
    // the last W rows with the run-time bounds).
    template <int W, int C>
    void forward_columns(vec* xs) {
        for (index r = 0; r < rows_; ++r) {
            const vec* const tr_ = band_ + r * S_;
            vec xr[C];
            PCHOL_UNROLL
            for (int c = 0; c < C; ++c) {
                xr[c] = div(xs[c * rows_ + r], tr_[0]);
                xs[c * rows_ + r] = xr[c];
            }
            if (r + W <= rows_ - 1) {
                PCHOL_UNROLL
                for (int k = 1; k <= W; ++k)
                    PCHOL_UNROLL
                    for (int c = 0; c < C; ++c) xs[c * rows_ + r + k] = mul_sub(xs[c * rows_ + r + k], xr[c], tr_[k]);
            } else {
                for (index k = 1; r + k <= rows_ - 1; ++k)
                    for (int c = 0; c < C; ++c) xs[c * rows_ + r + k] = mul_sub(xs[c * rows_ + r + k], xr[c], tr_[k]);
            }
        }
    }

    // The back substitution on x_, from the last row up: row r's wide sum
    // loses the products with the solved rows below it, column after column,
    // and is divided by the diagonal. W = 0: the half bandwidth at run time.
    template <int W>
    void backward_fixed() {
        for (index r = rows_ - 1; r >= 0; --r) {
            const vec* const tr_ = band_ + r * S_;
            wvec s = widen(x_[r]);
            if (W > 0 && r + W <= rows_ - 1) {
                PCHOL_UNROLL
                for (int c = 1; c <= W; ++c) s = acc_sub(s, tr_[c], x_[r + c]);
            } else {
                const index ce = std::min(r + hbw_, rows_ - 1);
                for (index c = r + 1; c <= ce; ++c) s = acc_sub(s, tr_[c - r], x_[c]);
            }
            x_[r] = div_wide(s, tr_[0]);
        }
    }

    // The lane operations: vector operations, or one lane after the other
    // without vector extensions. Complex lanes follow element_traits' rules
    // part by part, every product of two parts through part_product.
    static constexpr bool vector_ops = fixed::vector_lanes;

    static void put_wide(wvec& s, int l, const typename tr::wide_type& w) {
        if constexpr (complex) {
            fixed::set_lane(s.re, l, w.re);
            fixed::set_lane(s.im, l, w.im);
        } else {
            fixed::set_lane(s, l, w);
        }
    }
    static typename tr::wide_type wide_lane(const wvec& s, int l) {
        if constexpr (complex) return {s.re[l], s.im[l]};
        else return s[l];
    }

    static vec mul_sub(const vec& x, const vec& p, const vec& q) {
        if constexpr (vector_ops && complex) {
            return {(x.re - part_product(p.re, q.re)) + part_product(p.im, q.im),
                    (x.im - part_product(p.im, q.re)) - part_product(p.re, q.im)};
        } else if constexpr (vector_ops) {
            return x - p * q;
        } else {
            vec r;
            for (int l = 0; l < L; ++l) lv::put(r, l, tr::mul_sub(lv::get(x, l), lv::get(p, l), lv::get(q, l)));
            return r;
        }
    }
    static wpvec widen_part(const pvec& x) {
        if constexpr (std::is_same_v<P, WP>) return x;
        else return fixed::convert_lanes<wpvec>(x);
    }
    static wvec widen(const vec& x) {
        if constexpr (vector_ops && complex) {
            return {widen_part(x.re), widen_part(x.im)};
        } else if constexpr (vector_ops) {
            return widen_part(x);
        } else {
            wvec r;
            for (int l = 0; l < L; ++l) {
                const auto w = tr::widen(lv::get(x, l));
                put_wide(r, l, w);
            }
            return r;
        }
    }
    // s - p*q, p and q widened.
    static wvec acc_sub(const wvec& s, const vec& p, const vec& q) {
        if constexpr (vector_ops && complex) {
            const wpvec pr = widen_part(p.re), pi = widen_part(p.im), qr = widen_part(q.re), qi = widen_part(q.im);
            return {(s.re - part_product(pr, qr)) + part_product(pi, qi),
                    (s.im - part_product(pi, qr)) - part_product(pr, qi)};
        } else if constexpr (vector_ops) {
            return s - widen(p) * widen(q);
        } else {
            wvec r = s;
            for (int l = 0; l < L; ++l) {
                auto w = wide_lane(s, l);
                tr::acc_sub(w, lv::get(p, l), lv::get(q, l));
                put_wide(r, l, w);
            }
            return r;
        }
    }
    static vec div_wide(const wvec& s, const vec& d) {
        if constexpr (vector_ops && complex) {
            return complex_quotient(s, d);
        } else if constexpr (vector_ops && std::is_same_v<wpvec, pvec>) {
            return s / d;
        } else if constexpr (vector_ops) {
            return __builtin_convertvector(s / widen(d), pvec);
        } else {
            vec r;
            for (int l = 0; l < L; ++l) lv::put(r, l, tr::div_wide(wide_lane(s, l), lv::get(d, l)));
            return r;
        }
    }
    static vec div(const vec& x, const vec& d) {
        if constexpr (vector_ops && complex) {
            return complex_quotient(widen(x), d);
        } else if constexpr (vector_ops) {
            return x / d;
        } else {
            vec r;
            for (int l = 0; l < L; ++l) lv::put(r, l, tr::div(lv::get(x, l), lv::get(d, l)));
            return r;
        }
    }
    // tr::div_wide in every lane: its formula in vector operations where
    // every lane takes its plain path, else lane by lane.
    template <int = 0>
    static vec complex_quotient(const wvec& s, const vec& d) {
        const wpvec dr = widen_part(d.re), di = widen_part(d.im);
        if constexpr (!tr::parts_always_in_range) {
            if (!plain_in_every_lane(s, dr, di)) {
                vec r;
                for (int l = 0; l < L; ++l) lv::put(r, l, tr::div_wide(wide_lane(s, l), lv::get(d, l)));
                return r;
            }
        }
        const wpvec t = wl::splat(WP(1)) / (part_product(dr, dr) + part_product(di, di));
        const wpvec qr = (part_product(s.re, dr) + part_product(s.im, di)) * t;
        const wpvec qi = (part_product(s.im, dr) - part_product(s.re, di)) * t;
        if constexpr (std::is_same_v<P, WP>) return {qr, qi};
        else return {__builtin_convertvector(qr, pvec), __builtin_convertvector(qi, pvec)};
    }
    // div_wide's test for its plain path, on every lane: std::max and
    // std::abs as there (max(a, b) is a < b ? b : a, which a NaN decides the
    // same way).
    template <int = 0>
    static bool plain_in_every_lane(const wvec& s, const wpvec& dr, const wpvec& di) {
        auto abs = [](const wpvec& v) { return wl::select(v < 0, -v, v); };
        auto max = [](const wpvec& a, const wpvec& b) { return wl::select(a < b, b, a); };
        const wpvec mx = max(abs(s.re), abs(s.im)), md = max(abs(dr), abs(di));
        const wpvec lp = mx * md;
        const auto ok = (md >= tr::plain_low) & (md <= tr::plain_high) &
                        (((lp >= std::numeric_limits<WP>::min()) & (lp <= tr::product_high)) | (mx == 0));
        for (int l = 0; l < L; ++l)
            if (ok[l] == 0) return false;
        return true;
    }
    static vec root(const vec& d) {
        if constexpr (vector_ops && !complex) {
            return vl::sqrt(d);
        } else {
            if constexpr (vector_ops) {
                // Pivots with a zero imaginary part and a finite positive
                // real part (every pivot of a real matrix held in complex
                // elements): the principal root is the real part's
                // correctly rounded root with the pivot's signed zero, as
                // the standard library gives it, so one vector root serves
                // every lane.
                const auto real = (d.im == 0) & (d.re > 0) & (d.re <= std::numeric_limits<P>::max());
                bool all = true;
                for (int l = 0; l < L; ++l) all = all && real[l] != 0;
                if (all) return vec{vl::sqrt(d.re), d.im};
            }
            vec r;
            for (int l = 0; l < L; ++l) lv::put(r, l, tr::root(lv::get(d, l)));
            return r;
        }
    }
    // A failed pivot in one of the group's lanes (real elements: d <= tol,
    // an ordered comparison, so a NaN pivot does not fail).
    bool any_fails(const vec& d, const pvec& tolv) const {
        if constexpr (vector_ops && !complex) {
            const auto m = (d <= tolv) & vl::first(count_);
            for (int l = 0; l < L; ++l)
                if (m[l] != 0) return true;
            return false;
        } else {
            for (int l = 0; l < count_; ++l)
                if (tr::fails(lv::get(d, l), tolv[l])) return true;
            return false;
        }
    }

    // The room of spike_solve's columns side by side, in values.
    static constexpr index columns_room = 512;

    index hbw_, S_;
    const index* firsts_;
    int count_;
    index rows_;
    alignas(64) vec band_[tile_bytes<T> / sizeof(vec)];
    vec* x_;
};

// The blocks one by one, after a failed pivot in the tile.
template <class T>
void factor_each(T* A, index hbw, const index* firsts, int count, index rows, const real_of_t<T>& tol,
                 std::int32_t* fail_flags, index slot) {
    for (int b = 0; b < count; ++b)
        reference::band_factor_block(A, hbw, firsts[b], firsts[b] + rows - 1, tol, fail_flags, slot);
}

// band_factor_block on each block of the group (group_fits); a failed pivot
// sets fail_flags[slot - 1].
template <class T>
void band_factor_group(T* A, index hbw, const index* firsts, int count, index rows, const real_of_t<T>& tol,
                       std::int32_t* fail_flags, index slot) {
    group_tile<T> t(hbw, firsts, count, rows);
    t.pack(A);
    if (t.factor(tol)) return t.unpack(A);
    factor_each(A, hbw, firsts, count, rows, tol, fail_flags, slot);
}

// rhs_forward_block on each block of the group (group_fits).
template <class T>
void rhs_forward_group(const T* A, index hbw, const index* firsts, int count, index rows, T* B, index n,
                       index nrhs) {
    group_tile<T> t(hbw, firsts, count, rows);
    t.pack(A);
    t.forward(B, n, nrhs);
}

// Both: band_factor_group, then, when no pivot failed, rhs_forward_group
// from the factor still in the tile. False when a pivot failed (B is then
// untouched).
template <class T>
bool factor_forward_group(T* A, index hbw, const index* firsts, int count, index rows, const real_of_t<T>& tol,
                          std::int32_t* fail_flags, index slot, T* B, index n, index nrhs) {
    group_tile<T> t(hbw, firsts, count, rows);
    t.pack(A);
    if (!t.factor(tol)) {
        factor_each(A, hbw, firsts, count, rows, tol, fail_flags, slot);
        return false;
    }
    t.unpack(A);
    t.forward(B, n, nrhs);
    return true;
}

}  // namespace pchol::detail::groups

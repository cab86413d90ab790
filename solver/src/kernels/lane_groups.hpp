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
#include <type_traits>
#include <utility>

namespace pchol::detail::groups {

using index = std::int64_t;

// The blocks of one group: 8 floats, one AVX2 vector; doubles as many as
// one register of the target holds (8 with AVX-512, 4 with AVX2: a vector
// of 8 doubles on AVX2 is kept in memory by the compilers, and the group's
// chains with it).
template <class T>
inline constexpr int group_lanes = sizeof(T) == 8 ? fixed::register_wide_lanes : 8;

// The tile's room: the band rows of the group and one column of B (the
// benchmark's blocks of 72 rows of half bandwidth 8 take 23 KB).
inline constexpr std::size_t tile_bytes = 65536;

// Real elements only; the group's blocks must fit the tile.
template <class T>
constexpr bool group_fits(index hbw, index rows) {
    return std::is_floating_point_v<T> && rows > 0 &&
           static_cast<std::size_t>(rows) * static_cast<std::size_t>(hbw + 2) <=
               tile_bytes / (sizeof(T) * group_lanes<T>);
}

template <class T>
class group_tile {
    static constexpr int L = group_lanes<T>;
    using tr = element_traits<T>;
    using vl = fixed::lanes<T, L>;
    using vec = typename vl::vec;
    using wvec = typename fixed::lanes<typename tr::wide_type, L>::vec;

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
        // lie one after the other in A: whole vectors of L slots at a time.
        const index body = body_slots();
        index p = 0;
        for (; p + L <= body; p += L) {
            vec v[L];
            for (int b = 0; b < L; ++b) v[b] = vl::load(rows[b] + p);
            fixed::transpose<vec, L>(v);
            for (int q = 0; q < L; ++q) band_[p + q] = v[q];
        }
        for (; p < rows_ * S_; ++p)
            if (inside(p))
                for (int b = 0; b < L; ++b) band_[p][b] = rows[b][p];
    }

    // And back.
    void unpack(T* A) const {
        if (count_ < L) return unpack_partial(A);
        T* rows[L];
        for (int b = 0; b < L; ++b) rows[b] = band_row(A, hbw_, firsts_[b]);
        const index body = body_slots();
        index p = 0;
        for (; p + L <= body; p += L) {
            vec v[L];
            for (int q = 0; q < L; ++q) v[q] = band_[p + q];
            fixed::transpose<vec, L>(v);
            for (int b = 0; b < L; ++b) vl::store(rows[b] + p, v[b]);
        }
        for (; p < rows_ * S_; ++p)
            if (inside(p))
                for (int b = 0; b < L; ++b) rows[b][p] = band_[p][b];
    }

    // band_factor_block in every lane; false, with the tile spoilt, when a
    // pivot of any of the blocks fails.
    bool factor(const real_of_t<T>& tol) {
        vec tolv;
        for (int b = 0; b < L; ++b) tolv[b] = tol;
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

    // Fewer than L blocks: the spare lanes hold a unit diagonal and zeros.
    void pack_partial(const T* A) {
        for (index p = 0; p < rows_ * S_; ++p) {
            if (!inside(p)) continue;
            vec& v = band_[p];
            for (int b = 0; b < L; ++b) v[b] = b < count_ ? band_row(A, hbw_, firsts_[b])[p] : (p % S_ == 0 ? T(1) : T(0));
        }
    }
    void unpack_partial(T* A) const {
        for (index p = 0; p < rows_ * S_; ++p)
            if (inside(p))
                for (int b = 0; b < count_; ++b) band_row(A, hbw_, firsts_[b])[p] = band_[p][b];
    }

    // Column q of the blocks' rows of X (n rows a column) into x_ and back.
    void load_column(const T* x) {
        if (count_ == L) {
            index r = 0;
            for (; r + L <= rows_; r += L) {
                vec v[L];
                for (int b = 0; b < L; ++b) v[b] = vl::load(x + firsts_[b] - 1 + r);
                fixed::transpose<vec, L>(v);
                for (int q = 0; q < L; ++q) x_[r + q] = v[q];
            }
            for (; r < rows_; ++r)
                for (int l = 0; l < L; ++l) x_[r][l] = x[firsts_[l] + r - 1];
            return;
        }
        for (index r = 0; r < rows_; ++r)
            for (int l = 0; l < L; ++l) x_[r][l] = l < count_ ? x[firsts_[l] + r - 1] : T(0);
    }
    void store_column(T* x) const {
        index r = 0;
        if (count_ == L)
            for (; r + L <= rows_; r += L) {
                vec v[L];
                for (int q = 0; q < L; ++q) v[q] = x_[r + q];
                fixed::transpose<vec, L>(v);
                for (int b = 0; b < L; ++b) vl::store(x + firsts_[b] - 1 + r, v[b]);
            }
        for (; r < rows_; ++r)
            for (int l = 0; l < count_; ++l) x[firsts_[l] + r - 1] = x_[r][l];
    }

    // Row i of the factor: the updates of the rows above it, the pivot test,
    // the root and the scaling. Every half bandwidth, every row.
    bool factor_row(index i, const vec& tolv) {
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
    bool factor_fixed(const vec& tolv) {
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
    // without vector extensions.
    static vec mul_sub(const vec& x, const vec& p, const vec& q) {
        if constexpr (fixed::vector_lanes) {
            return x - p * q;
        } else {
            vec r;
            for (int l = 0; l < L; ++l) r[l] = tr::mul_sub(x[l], p[l], q[l]);
            return r;
        }
    }
    static wvec widen(const vec& x) {
        if constexpr (fixed::vector_lanes) {
            return __builtin_convertvector(x, wvec);
        } else {
            wvec r;
            for (int l = 0; l < L; ++l) r[l] = tr::widen(x[l]);
            return r;
        }
    }
    // s - p*q, p and q widened.
    static wvec acc_sub(const wvec& s, const vec& p, const vec& q) {
        if constexpr (fixed::vector_lanes) {
            return s - widen(p) * widen(q);
        } else {
            wvec r = s;
            for (int l = 0; l < L; ++l) tr::acc_sub(r[l], p[l], q[l]);
            return r;
        }
    }
    static vec div_wide(const wvec& s, const vec& d) {
        if constexpr (fixed::vector_lanes) {
            return __builtin_convertvector(s / widen(d), vec);
        } else {
            vec r;
            for (int l = 0; l < L; ++l) r[l] = tr::div_wide(s[l], d[l]);
            return r;
        }
    }
    static vec div(const vec& x, const vec& d) {
        if constexpr (fixed::vector_lanes) {
            return x / d;
        } else {
            vec r;
            for (int l = 0; l < L; ++l) r[l] = tr::div(x[l], d[l]);
            return r;
        }
    }
    static vec root(const vec& d) {
        if constexpr (fixed::vector_lanes) {
            return vl::sqrt(d);
        } else {
            vec r;
            for (int l = 0; l < L; ++l) r[l] = tr::root(d[l]);
            return r;
        }
    }
    // A pivot d <= tol in one of the group's lanes (an ordered comparison:
    // a NaN pivot does not fail).
    bool any_fails(const vec& d, const vec& tolv) const {
        if constexpr (fixed::vector_lanes) {
            const auto m = (d <= tolv) & vl::first(count_);
            for (int l = 0; l < L; ++l)
                if (m[l] != 0) return true;
            return false;
        } else {
            for (int l = 0; l < count_; ++l)
                if (tr::fails(d[l], tolv[l])) return true;
            return false;
        }
    }

    index hbw_, S_;
    const index* firsts_;
    int count_;
    index rows_;
    alignas(64) vec band_[tile_bytes / sizeof(vec)];
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

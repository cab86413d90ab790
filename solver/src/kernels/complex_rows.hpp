// Consecutive rows of a column of complex elements as one vector of their
// parts in storage order (re, im, re, im, ...), so that a row loop of the
// scalar kernels runs C rows at a time without moving a part between lanes
// but for one swap of each pair. The arithmetic is that of
// element_traits<std::complex<P>> on every element, product by product.
#pragma once

#include "element_traits.hpp"
#include "kernels/compiler.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <type_traits>
#include <utility>

namespace pchol::detail::fixed {

#if PCHOL_VECTOR_LANES
template <class P, int C>
struct complex_rows {
    using pl = lanes<P, 2 * C>;
    using vec = typename pl::vec;
    using value_type = std::complex<P>;

    static vec load(const value_type* x) { return pl::load(reinterpret_cast<const P*>(x)); }
    static void store(value_type* x, vec v) { pl::store(reinterpret_cast<P*>(x), v); }

    // C consecutive elements of parts E, widened to P (exact), and back,
    // rounded.
    template <class E>
    static vec load_widened(const std::complex<E>* x) {
        if constexpr (std::is_same_v<E, P>) return load(x);
        else return convert_lanes<vec>(lanes<E, 2 * C>::load(reinterpret_cast<const E*>(x)));
    }
    template <class E>
    static void store_narrowed(std::complex<E>* x, vec v) {
        if constexpr (std::is_same_v<E, P>) store(x, v);
        else lanes<E, 2 * C>::store(reinterpret_cast<E*>(x), __builtin_convertvector(v, typename lanes<E, 2 * C>::vec));
    }
    // The elements x[0], x[stride], ..., x[(C - 1) stride] of parts E,
    // widened to P: one load of each element, joined by shuffles.
    template <class E>
    static vec gather_widened(const std::complex<E>* x, index stride) {
        static_assert(C == 2 || C == 4);
        using one = typename lanes<E, 2>::vec;
        auto at = [&](int e) { return lanes<E, 2>::load(reinterpret_cast<const E*>(x + e * stride)); };
        const one e0 = at(0), e1 = at(1);
        const auto j01 = __builtin_shufflevector(e0, e1, 0, 1, 2, 3);
        typename lanes<E, 2 * C>::vec all;
        if constexpr (C == 2) {
            all = j01;
        } else {
            const one e2 = at(2), e3 = at(3);
            const auto j23 = __builtin_shufflevector(e2, e3, 0, 1, 2, 3);
            all = __builtin_shufflevector(j01, j23, 0, 1, 2, 3, 4, 5, 6, 7);
        }
        if constexpr (std::is_same_v<E, P>) return all;
        else return convert_lanes<vec>(all);
    }

    // even in the even lanes (real parts), odd in the odd ones, as one
    // initialiser.
    static vec alternate(P even, P odd) {
        return [&]<std::size_t... l>(std::index_sequence<l...>) { return vec{(l % 2 == 0 ? even : odd)...}; }(
            std::make_index_sequence<2 * C>{});
    }

    // A complex factor the same in every element, as two vectors of its
    // parts (spread, spread_for_sub).
    struct factor {
        vec direct;
        vec crossed;
    };

    // A multiplier q as the two vectors mul_sub takes: qr in every lane, and
    // qi, -qi alternately (negating is exact, so x + p * (-qi) has the bits
    // of x - p * qi).
    struct multiplier {
        vec re;
        vec im_alternating;
    };
    static multiplier split(value_type q) { return {pl::splat(q.real()), alternate(q.imag(), -q.imag())}; }

    // A factor p the same in every element, as mul_sub_by takes it: pr, pi
    // alternately, and pi, -pr alternately.
    static factor spread_for_sub(value_type p) {
        return {alternate(p.real(), p.imag()), alternate(p.imag(), -p.real())};
    }

    // Each element's real part, and its imaginary part, in both its lanes.
    static vec real_parts(vec v) {
        return [&]<std::size_t... l>(std::index_sequence<l...>) {
            return __builtin_shufflevector(v, v, static_cast<int>(l & ~std::size_t{1})...);
        }(std::make_index_sequence<2 * C>{});
    }
    static vec imag_parts(vec v) {
        return [&]<std::size_t... l>(std::index_sequence<l...>) {
            return __builtin_shufflevector(v, v, static_cast<int>(l | 1)...);
        }(std::make_index_sequence<2 * C>{});
    }

    // x - p*q element by element, p the same in every element (spread by
    // spread_for_sub), in element_traits' mul_sub order:
    //   re: (xr - pr*qr) + pi*qi      im: (xi - pi*qr) - pr*qi
    static vec mul_sub_by(vec x, const factor& p, vec q) {
        return (x - part_product(real_parts(q), p.direct)) + part_product(imag_parts(q), p.crossed);
    }

    // x / d element by element, d the same in every element, with
    // element_traits' div: the formula in the wide type where every element
    // takes its plain path (always so for float parts), else element by
    // element.
    static vec divide(vec x, value_type d) {
        using tr = element_traits<value_type>;
        using WP = decltype(tr::wide_type::re);
        const WP dr = d.real(), di = d.imag();
        if constexpr (!tr::parts_always_in_range) {
            static_assert(std::is_same_v<P, WP>);
            const WP md = std::max(std::abs(dr), std::abs(di));
            if (!tr::in_plain_range(md) || !plain_in_every_lane(x, md)) {
                alignas(64) P parts[2 * C];
                pl::store(parts, x);
                for (int e = 0; e < C; ++e) {
                    const value_type q = tr::div(value_type(parts[2 * e], parts[2 * e + 1]), d);
                    parts[2 * e] = q.real();
                    parts[2 * e + 1] = q.imag();
                }
                return pl::load(parts);
            }
        }
        const WP t = WP(1) / (part_product(dr, dr) + part_product(di, di));
        if constexpr (std::is_same_v<P, WP>) {
            return quotient(x, dr, di, t);
        } else {
            // The parts widened, in two halves of one register each.
            static_assert(C % 2 == 0);
            using half = complex_rows<WP, C / 2>;
            using hvec = typename half::vec;
            using nhalf = typename lanes<P, C>::vec;
            const auto lo = [&]<std::size_t... l>(std::index_sequence<l...>) {
                return __builtin_shufflevector(x, x, static_cast<int>(l)...);
            }(std::make_index_sequence<C>{});
            const auto hi = [&]<std::size_t... l>(std::index_sequence<l...>) {
                return __builtin_shufflevector(x, x, static_cast<int>(l + C)...);
            }(std::make_index_sequence<C>{});
            const nhalf qlo = __builtin_convertvector(half::quotient(convert_lanes<hvec>(lo), dr, di, t), nhalf);
            const nhalf qhi = __builtin_convertvector(half::quotient(convert_lanes<hvec>(hi), dr, di, t), nhalf);
            return [&]<std::size_t... l>(std::index_sequence<l...>) {
                return __builtin_shufflevector(qlo, qhi, static_cast<int>(l)...);
            }(std::make_index_sequence<2 * C>{});
        }
    }

    // div's formula with t = 1 / (dr^2 + di^2):
    //   re: (xr*dr + xi*di) * t      im: (xi*dr - xr*di) * t
    static vec quotient(vec x, P dr, P di, P t) {
        return (part_product(x, pl::splat(dr)) + part_product(swap_parts(x), alternate(di, -di))) * pl::splat(t);
    }

    // div's test for its plain path on every element of x, md being the
    // larger magnitude of d's parts (std::max and std::abs as there; a lane
    // that sees its element's parts in the other order can only fail where
    // a NaN part makes the test fail anyway).
    static bool plain_in_every_lane(vec x, P md) {
        using tr = element_traits<value_type>;
        const vec a = pl::select(x < 0, -x, x);
        const vec b = swap_parts(a);
        const vec mx = pl::select(a < b, b, a);
        const vec lp = mx * pl::splat(md);
        const auto ok = ((lp >= std::numeric_limits<P>::min()) & (lp <= tr::product_high)) | (mx == 0);
        for (int l = 0; l < 2 * C; ++l)
            if (ok[l] == 0) return false;
        return true;
    }

    // Each element's real and imaginary part trade places.
    static vec swap_parts(vec v) {
        return [&]<std::size_t... l>(std::index_sequence<l...>) {
            return __builtin_shufflevector(v, v, static_cast<int>(l ^ 1)...);
        }(std::make_index_sequence<2 * C>{});
    }

    // x - p*q element by element, in element_traits' order:
    //   re: (xr - pr*qr) + pi*qi      im: (xi - pi*qr) - pr*qi
    static vec mul_sub(vec x, vec p, const multiplier& q) {
        return (x - part_product(p, q.re)) + part_product(swap_parts(p), q.im_alternating);
    }

    // A factor p the same in every element, as add_product takes it:
    // pr, pi alternately, and -pi, pr alternately.
    static factor spread(value_type p) { return {alternate(p.real(), p.imag()), alternate(-p.imag(), p.real())}; }

    // s + p*q element by element, in element_traits' acc_add order
    //   re: sr + (pr*qr - pi*qi)      im: si + (pi*qr + pr*qi)
    // with q given as its real parts and its imaginary parts, each in both
    // lanes of its element.
    static vec add_product(vec s, const factor& p, vec q_re, vec q_im) {
        return s + (part_product(q_re, p.direct) + part_product(q_im, p.crossed));
    }
};

// How a kernel on W consecutive complex rows of parts P splits them into
// vectors: C rows to a register, V registers to the W rows.
template <class P, int W>
struct complex_row_layout {
    static constexpr int C = std::min(W, register_elements<std::complex<P>>);
    static_assert(W % C == 0);
    static constexpr int V = W / C;
    using rows = complex_rows<P, C>;
};
#else
// Without vector extensions only the name: every kernel that uses it sits
// in a discarded branch.
template <class P, int C>
struct complex_rows;
#endif

}  // namespace pchol::detail::fixed

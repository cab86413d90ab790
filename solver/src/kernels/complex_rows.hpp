// Consecutive rows of a column of complex elements as one vector of their
// parts in storage order (re, im, re, im, ...), so that a row loop of the
// scalar kernels runs C rows at a time without moving a part between lanes
// but for one swap of each pair. The arithmetic is that of
// element_traits<std::complex<P>> on every element, product by product.
#pragma once

#include "element_traits.hpp"
#include "kernels/compiler.hpp"

#include <complex>
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

    // A multiplier q as the two vectors mul_sub takes: qr in every lane, and
    // qi, -qi alternately (negating is exact, so x + p * (-qi) has the bits
    // of x - p * qi).
    struct multiplier {
        vec re;
        vec im_alternating;
    };
    static multiplier split(value_type q) {
        const P qr = q.real(), qi = q.imag(), nqi = -q.imag();
        return {pl::splat(qr), [&]<std::size_t... l>(std::index_sequence<l...>) {
                    return vec{(l % 2 == 0 ? qi : nqi)...};
                }(std::make_index_sequence<2 * C>{})};
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
    struct factor {
        vec direct;
        vec crossed;
    };
    static factor spread(value_type p) {
        const P pr = p.real(), pi = p.imag(), npi = -p.imag();
        return {[&]<std::size_t... l>(std::index_sequence<l...>) { return vec{(l % 2 == 0 ? pr : pi)...}; }(
                    std::make_index_sequence<2 * C>{}),
                [&]<std::size_t... l>(std::index_sequence<l...>) { return vec{(l % 2 == 0 ? npi : pr)...}; }(
                    std::make_index_sequence<2 * C>{})};
    }

    // s + p*q element by element, in element_traits' acc_add order
    //   re: sr + (pr*qr - pi*qi)      im: si + (pi*qr + pr*qi)
    // with q given as its real parts and its imaginary parts, each in both
    // lanes of its element.
    static vec add_product(vec s, const factor& p, vec q_re, vec q_im) {
        return s + (part_product(q_re, p.direct) + part_product(q_im, p.crossed));
    }
};
#else
// Without vector extensions only the name: every kernel that uses it sits
// in a discarded branch.
template <class P, int C>
struct complex_rows;
#endif

}  // namespace pchol::detail::fixed

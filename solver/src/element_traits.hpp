// The arithmetic rules that differ between the solver's element types.
//
// Every kernel, coupling step and the worker are written once over the element
// type T and do all arithmetic on elements through element_traits<T>. A
// variant of the solver for another element type adds a specialisation here
// (and its tuning routine); nothing else changes.
//
// Two kinds of update occur in the kernels:
//   - per step: x <- x - p*q with x read from an array and written back, so
//     every partial result is rounded to the storage type (mul_sub);
//   - accumulated: a running sum or difference kept in the wide type over a
//     whole loop and rounded once when stored (widen, acc_add, acc_sub,
//     narrow, div_wide).
// The order of the factors is the one the loops are written with (x - p*q,
// p first): it matters for types whose product rule is not symmetric in its
// rounding.
//
// Division by a diagonal entry goes through div / div_wide only, the pivot
// test through fails and the pivot's root through root, so a type with its
// own rules for these (complex division, modulus test, principal root)
// provides them here.
#pragma once

#include "pchol/band_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <type_traits>

namespace pchol::detail {

template <class T>
struct element_traits;

// Real element types. Wide is the format accumulated sums run in: double
// for both single and double storage.
template <class R, class W>
struct real_element_traits {
    using value_type = R;
    using real_type = R;
    using wide_type = W;

    static constexpr value_type zero() noexcept { return value_type(0); }

    // x - p*q, rounded to the storage type.
    static value_type mul_sub(value_type x, value_type p, value_type q) noexcept { return x - p * q; }

    static wide_type widen(value_type x) noexcept { return static_cast<wide_type>(x); }
    static value_type narrow(wide_type s) noexcept { return static_cast<value_type>(s); }
    static wide_type negate(wide_type s) noexcept { return -s; }

    // s <- s - p*q and s <- s + p*q in the wide format.
    static void acc_sub(wide_type& s, value_type p, value_type q) noexcept {
        s -= static_cast<wide_type>(p) * static_cast<wide_type>(q);
    }
    static void acc_add(wide_type& s, value_type p, value_type q) noexcept {
        s += static_cast<wide_type>(p) * static_cast<wide_type>(q);
    }
    // x - s with x from storage and s a wide sum, rounded once.
    static value_type sub_wide(value_type x, wide_type s) noexcept {
        return static_cast<value_type>(static_cast<wide_type>(x) - s);
    }

    // Division by a diagonal entry d = A(r, r).
    static value_type div(value_type x, value_type d) noexcept { return x / d; }
    static value_type div_wide(wide_type s, value_type d) noexcept {
        return static_cast<value_type>(s / static_cast<wide_type>(d));
    }

    // The pivot test: an ordered comparison, so a NaN pivot does not fail.
    static bool fails(value_type d, real_type tol) noexcept { return d <= tol; }

    // The pivot's root, taken in the wide format and rounded when stored.
    // When the wide format has at least 2p + 2 significand bits for the
    // storage format's p (double for float: 53 >= 50), that rounding gives
    // the root taken in the storage format itself, bit for bit, so the
    // shorter operation is used.
    static value_type root(value_type d) noexcept {
        if constexpr (std::numeric_limits<wide_type>::digits >= 2 * std::numeric_limits<value_type>::digits + 2)
            return std::sqrt(d);
        else
            return static_cast<value_type>(std::sqrt(static_cast<wide_type>(d)));
    }
};

template <>
struct element_traits<float> : real_element_traits<float, double> {};

template <>
struct element_traits<double> : real_element_traits<double, double> {};

// The product of two parts of complex elements, formed and rounded on its
// own before it is added or subtracted. Contraction is off for every build,
// but GCC's vectoriser still recognises the complex rules' shape (the same
// products subtracted in one lane and added in the next, as in pr*qr - pi*qi
// beside pi*qr + pr*qi) and emits one fused multiply-add-subtract per vector
// when the target has one (-march=native on a machine with FMA or AVX-512):
// a single rounding where these rules round the product and the sum apart,
// so a native build would store other last bits than a portable one. The
// barrier is a copy for the vectoriser, not a product it can fuse, and
// generates no instruction itself: what it costs is the fused instruction's
// saving. Clang forms no such instruction under -ffp-contract=off and has
// no need of it.
// On vectors (the lane kernels' parts), GCC 12 builds for AVX-512 lower the
// barrier of a 256-bit product into a rebuild of the vector's upper half
// from its elements, a dozen shuffles per product; an empty asm statement
// that takes the product in a vector register and gives it back hides it
// from the vectoriser just as well, with no instruction at all (it took a
// quarter off the complex-float solve of such a build).
template <class W>
inline W part_product_of_one(W a, W b) noexcept {
#if defined(__GNUC__) && !defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
    // A vector type that fits one register of the target.
    constexpr std::size_t register_bytes =
#if defined(__AVX512F__)
        64;
#elif defined(__AVX__)
        32;
#else
        16;
#endif
    if constexpr (!std::is_arithmetic_v<W> && !std::is_class_v<W> && sizeof(W) <= register_bytes) {
        W p = a * b;
#if defined(__AVX512F__)
        asm("" : "+v"(p));  // any of the 32 vector registers
#else
        asm("" : "+x"(p));
#endif
        return p;
    }
#endif
#if defined(__has_builtin)
#if __has_builtin(__builtin_assoc_barrier)
    return __builtin_assoc_barrier(a * b);
#else
    return a * b;
#endif
#else
    return a * b;
#endif
}
template <class W>
inline W part_product(W a, W b) noexcept {
    // Two register-wide halves (a lane group's twin): each half on its own.
    if constexpr (requires { a.lo; a.hi; }) {
        return W{part_product(a.lo, b.lo), part_product(a.hi, b.hi)};
    } else {
        return part_product_of_one(a, b);
    }
}

// Complex element types: the matrix is complex symmetric, A(r, c) = A(c, r),
// and the factorisation is A = U^T U with the plain transpose. Every product
// below is the plain complex product of the two elements as they are: no
// factor is ever conjugated, anywhere in the solver. The formulas are written
// on the parts, in the order shown, rather than with std::complex's own
// product and quotient, whose rounding and special-value handling differ;
// every product of two parts goes through part_product.
//
// P is the part type (the storage precision); W is the format accumulated
// sums run in (double for both widths, as for the real types).
template <class P, class W>
struct complex_element_traits {
    using value_type = std::complex<P>;
    using real_type = P;
    struct wide_type {
        W re;
        W im;
    };

    static constexpr value_type zero() noexcept { return value_type(P(0), P(0)); }

    // The bounds of div_wide's plain path, public for the lane kernels,
    // which test the same bounds on every lane at once.
    // 2^e, for the bounds below.
    static constexpr W power_of_two(int e) noexcept {
        W v = 1;
        for (; e > 0; --e) v *= 2;
        for (; e < 0; ++e) v /= 2;
        return v;
    }
    // The magnitudes m of d's largest part for which dr^2 + di^2 and its
    // reciprocal stay normal and finite in W: 2^-508 ... 2^510 for double.
    static constexpr W plain_low = power_of_two((std::numeric_limits<W>::min_exponent + 4) / 2);
    static constexpr W plain_high = power_of_two((std::numeric_limits<W>::max_exponent - 4) / 2);
    static constexpr bool in_plain_range(W m) noexcept { return m >= plain_low && m <= plain_high; }
    // The largest product of x's and d's largest parts whose sum of two
    // stays finite: 2^1022 for double.
    static constexpr W product_high = power_of_two(std::numeric_limits<W>::max_exponent - 2);
    // True when every part P can hold, and every product of two of them (the
    // sums the divisions see), lies in plain_low ... plain_high: float parts
    // in double, where every product of a dividend and a divisor part is
    // then normal too.
    static constexpr bool parts_always_in_range =
        2 * std::numeric_limits<P>::max_exponent + 4 <= std::numeric_limits<W>::max_exponent / 2 &&
        2 * (std::numeric_limits<P>::min_exponent - std::numeric_limits<P>::digits) >=
            (std::numeric_limits<W>::min_exponent + 4) / 2;

  private:
    // The division formula itself.
    static wide_type quotient(W xr, W xi, W dr, W di) noexcept {
        const W t = W(1) / (part_product(dr, dr) + part_product(di, di));
        return {(part_product(xr, dr) + part_product(xi, di)) * t, (part_product(xi, dr) - part_product(xr, di)) * t};
    }
    // The formula on x and d scaled by powers of two to magnitudes in [1, 2),
    // mx and md being their largest parts. A zero x keeps its scale (and the
    // signs of its zero quotient); a zero, infinite or NaN d, or an infinite
    // or NaN x, takes the formula as it is, as the plain path would.
#if defined(__GNUC__)
    [[gnu::cold, gnu::noinline]]
#endif
    static wide_type scaled_quotient(W xr, W xi, W dr, W di, W mx, W md) noexcept {
        constexpr W top = std::numeric_limits<W>::max();
        if (!(md > W(0) && md <= top && mx <= top)) return quotient(xr, xi, dr, di);
        const int ex = mx == W(0) ? 0 : std::ilogb(mx), ed = std::ilogb(md);
        const wide_type q = quotient(std::scalbn(xr, -ex), std::scalbn(xi, -ex), std::scalbn(dr, -ed), std::scalbn(di, -ed));
        return {std::scalbn(q.re, ex - ed), std::scalbn(q.im, ex - ed)};
    }

  public:
    // x - p*q, rounded to the storage type at every step:
    //   re: (xr - pr*qr) + pi*qi      im: (xi - pi*qr) - pr*qi
    static value_type mul_sub(value_type x, value_type p, value_type q) noexcept {
        const P pr = p.real(), pi = p.imag(), qr = q.real(), qi = q.imag();
        return value_type((x.real() - part_product(pr, qr)) + part_product(pi, qi),
                          (x.imag() - part_product(pi, qr)) - part_product(pr, qi));
    }

    static wide_type widen(value_type x) noexcept { return {W(x.real()), W(x.imag())}; }
    static value_type narrow(wide_type s) noexcept { return value_type(P(s.re), P(s.im)); }
    static wide_type negate(wide_type s) noexcept { return {-s.re, -s.im}; }

    // A running difference, s <- s - p*q, with the same order as mul_sub.
    static void acc_sub(wide_type& s, value_type p, value_type q) noexcept {
        const W pr = p.real(), pi = p.imag(), qr = q.real(), qi = q.imag();
        s.re = (s.re - part_product(pr, qr)) + part_product(pi, qi);
        s.im = (s.im - part_product(pi, qr)) - part_product(pr, qi);
    }
    // A sum of products started from 0 + 0i, s <- s + p*q:
    //   re: sr + (pr*qr - pi*qi)      im: si + (pi*qr + pr*qi)
    static void acc_add(wide_type& s, value_type p, value_type q) noexcept {
        const W pr = p.real(), pi = p.imag(), qr = q.real(), qi = q.imag();
        s.re = s.re + (part_product(pr, qr) - part_product(pi, qi));
        s.im = s.im + (part_product(pi, qr) + part_product(pr, qi));
    }
    // x - s, part by part, rounded once.
    static value_type sub_wide(value_type x, wide_type s) noexcept {
        return value_type(P(W(x.real()) - s.re), P(W(x.imag()) - s.im));
    }

    // x / d with t = 1 / (dr^2 + di^2):
    //   re: (xr*dr + xi*di) * t      im: (xi*dr - xr*di) * t
    // Computed in W and rounded when stored. Written so, dr^2 + di^2 and the
    // products overflow or fall below W's normal range long before the
    // quotient does: for parts near 1e300 or 1e-300 in double, the quotient
    // would come out infinite, NaN or zero. So the formula runs as it is
    // while the largest part of d lies in [plain_low, plain_high] (dr^2 + di^2
    // and its reciprocal stay normal) and the product of the largest parts
    // of x and d is normal (or x is zero); otherwise it runs on x and d
    // scaled by powers of two to exponent 0, and the quotient is scaled back,
    // which keeps it wherever it is representable. So the formula's own bits
    // stand wherever its largest products are normal numbers: in every
    // division of a system whose entries and solution lie well inside the
    // range, but for values that have decayed to the underflow threshold.
    // With float parts and double sums no product or square leaves the
    // range, and only the formula is compiled.
    static value_type div(value_type x, value_type d) noexcept { return div_wide(widen(x), d); }
    static value_type div_wide(wide_type s, value_type d) noexcept {
        const W dr = d.real(), di = d.imag();
        wide_type q;
        if constexpr (parts_always_in_range) {
            q = quotient(s.re, s.im, dr, di);
        } else {
            const W mx = std::max(std::abs(s.re), std::abs(s.im)), md = std::max(std::abs(dr), std::abs(di));
            const W largest_product = mx * md;
            if (in_plain_range(md) &&
                ((largest_product >= std::numeric_limits<W>::min() && largest_product <= product_high) ||
                 mx == W(0))) [[likely]]
                q = quotient(s.re, s.im, dr, di);
            else
                q = scaled_quotient(s.re, s.im, dr, di, mx, md);
        }
        return value_type(P(q.re), P(q.im));
    }

    // The pivot test on the modulus: fails when tol >= |d|. The comparison is
    // ordered, so a NaN modulus does not fail. The modulus is taken without
    // intermediate overflow or underflow, so that with tol = 0 a pivot fails
    // exactly when both of its parts are zero, however small they are. Since
    // |d| is at least as large as either part, a threshold below a part
    // decides the test without the modulus (always so for tol = 0 and a
    // non-zero pivot); a NaN part decides it too, as the NaN modulus would.
    static bool fails(value_type d, real_type tol) noexcept {
        if (!(tol >= std::abs(d.real())) || !(tol >= std::abs(d.imag()))) return false;
        return tol >= std::hypot(d.real(), d.imag());
    }

    // The principal square root (real part >= 0) of the standard library, in
    // the storage precision: -4 + 0i becomes 0 + 2i.
    static value_type root(value_type d) noexcept { return std::sqrt(d); }
};

template <>
struct element_traits<std::complex<double>> : complex_element_traits<double, double> {};

template <>
struct element_traits<std::complex<float>> : complex_element_traits<float, double> {};

}  // namespace pchol::detail

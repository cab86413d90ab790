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

#include <cmath>
#include <limits>

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

}  // namespace pchol::detail

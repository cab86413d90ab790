// Everything compiler-specific the fast kernels use, so that they read as
// arithmetic and every compiler builds them warning-free: PCHOL_UNROLL
// before a loop of compile-time length (empty where the compiler has no
// unroll pragma), and lanes<E, W>, W elements of E as one vector with the
// few operations the kernels need besides + - * /. Without vector
// extensions lanes<E, W>::vec is a plain array and vector_lanes is false;
// every use of the vector operations sits in a branch that is then
// discarded (if constexpr), so it is never instantiated.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

// PCHOL_NO_VECTOR_EXTENSIONS builds the portable form with any compiler.
#if defined(__GNUC__) && !defined(PCHOL_NO_VECTOR_EXTENSIONS)  // g++, clang++ and MinGW
#define PCHOL_VECTOR_LANES 1
#define PCHOL_UNROLL _Pragma("GCC unroll 16")
#else
#define PCHOL_VECTOR_LANES 0
#define PCHOL_UNROLL
#endif

namespace pchol::detail::fixed {

using index = std::int64_t;

inline constexpr bool vector_lanes = PCHOL_VECTOR_LANES != 0;

#if PCHOL_VECTOR_LANES
template <class E, int W>
struct lanes {
    typedef E vec __attribute__((vector_size(W * sizeof(E))));
    // The integer vector with the same lanes, the type of comparisons and
    // of the bitwise select.
    using lane_int = std::conditional_t<sizeof(E) == 8, std::int64_t, std::int32_t>;
    typedef lane_int mask __attribute__((vector_size(W * sizeof(lane_int))));

    static vec load(const E* x) {
        vec v;
        std::memcpy(&v, x, sizeof v);
        return v;
    }
    static void store(E* x, vec v) { std::memcpy(x, &v, sizeof v); }
    // The lanes below `count`.
    static mask first(index count) {
        mask m = {};
        for (index L = 0; L < W; ++L) m[L] = L < count ? -1 : 0;
        return m;
    }
    // Lane by lane yes where m is set, else no: a bitwise choice, so no lane
    // changes by a bit.
    static vec select(mask m, vec yes, vec no) { return (vec)(((mask)yes & m) | ((mask)no & ~m)); }
    // Lane L takes lane L + 1; the last lane keeps its value.
    static vec shift_down(vec x) {
        static_assert(W == 4 || W == 8);
        if constexpr (W == 4) return __builtin_shufflevector(x, x, 1, 2, 3, 3);
        else return __builtin_shufflevector(x, x, 1, 2, 3, 4, 5, 6, 7, 7);
    }
};
#else
template <class E, int W>
struct lanes {
    using vec = std::array<E, W>;
};
#endif

}  // namespace pchol::detail::fixed

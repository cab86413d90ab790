// Everything compiler-specific the fast kernels use, so that they read as
// arithmetic and every compiler builds them warning-free: PCHOL_UNROLL
// before a loop of compile-time length (empty where the compiler has no
// unroll pragma), and lanes<E, W>, W elements of E as one vector with the
// few operations the kernels need besides + - * /. Without vector
// extensions lanes<E, W>::vec is a plain array and vector_lanes is false;
// every use of the vector operations sits in a branch that is then
// discarded (if constexpr), so it is never instantiated.
#pragma once

#if defined(__AVX__) || defined(__SSE2__)
#include <immintrin.h>
#endif

#include <array>
#include <cmath>
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
    // The correctly rounded square root of every lane: the bits of std::sqrt
    // on each lane, in one or two vector instructions where the target has
    // them.
    static vec sqrt(vec x) {
        static_assert(std::is_same_v<E, float> || std::is_same_v<E, double>);
        vec r;
#if defined(__AVX__)
        if constexpr (sizeof(vec) == 32) {
            if constexpr (std::is_same_v<E, float>) {
                __m256 v;
                std::memcpy(&v, &x, sizeof v);
                v = _mm256_sqrt_ps(v);
                std::memcpy(&r, &v, sizeof r);
            } else {
                __m256d v;
                std::memcpy(&v, &x, sizeof v);
                v = _mm256_sqrt_pd(v);
                std::memcpy(&r, &v, sizeof r);
            }
            return r;
        }
#endif
#if defined(__SSE2__)
        if constexpr (sizeof(vec) % 16 == 0) {
            unsigned char bytes[sizeof(vec)];
            std::memcpy(bytes, &x, sizeof bytes);
            for (std::size_t h = 0; h < sizeof(vec); h += 16) {
                if constexpr (std::is_same_v<E, float>) {
                    __m128 v;
                    std::memcpy(&v, bytes + h, 16);
                    v = _mm_sqrt_ps(v);
                    std::memcpy(bytes + h, &v, 16);
                } else {
                    __m128d v;
                    std::memcpy(&v, bytes + h, 16);
                    v = _mm_sqrt_pd(v);
                    std::memcpy(bytes + h, &v, 16);
                }
            }
            std::memcpy(&r, bytes, sizeof r);
            return r;
        }
#endif
        for (int L = 0; L < W; ++L) r[L] = std::sqrt(x[L]);
        return r;
    }
};
#else
template <class E, int W>
struct lanes {
    using vec = std::array<E, W>;
};
#endif

}  // namespace pchol::detail::fixed

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

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

// PCHOL_NO_VECTOR_EXTENSIONS builds the portable form with any compiler.
#if defined(__GNUC__) && !defined(PCHOL_NO_VECTOR_EXTENSIONS)  // g++, clang++ and MinGW
#define PCHOL_VECTOR_LANES 1
#define PCHOL_UNROLL _Pragma("GCC unroll 16")
#else
#define PCHOL_VECTOR_LANES 0
#define PCHOL_UNROLL
#endif
// A small step inlined into its loop whatever the compiler's estimate.
#if defined(__GNUC__)
#define PCHOL_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#define PCHOL_ALWAYS_INLINE inline
#endif
// A hint to bring the cache line of p in for reading, and for writing.
#if defined(__GNUC__)
#define PCHOL_PREFETCH(p) __builtin_prefetch(p, 0, 3)
#define PCHOL_PREFETCH_WRITE(p) __builtin_prefetch(p, 1, 3)
#else
#define PCHOL_PREFETCH(p) ((void)(p))
#define PCHOL_PREFETCH_WRITE(p) ((void)(p))
#endif

namespace pchol::detail::fixed {

using index = std::int64_t;

inline constexpr bool vector_lanes = PCHOL_VECTOR_LANES != 0;

// Asks for the rows first..last of the count columns of X (n rows each)
// ahead of their use, for writing with `write`: the rows of a block's
// columns are short runs far apart, which the hardware's own prefetch does
// not follow. Always inlined: a call of a function that only prefetches is
// dropped by the compiler as one without effects.
template <class T>
PCHOL_ALWAYS_INLINE void prefetch_column_rows(const T* X, index n, index count, index first, index last,
                                              bool write = false) {
    // (Written out: a lambda that only prefetches is dropped the same way.)
    constexpr index line = 64 / static_cast<index>(sizeof(T));
    for (index k = 0; k < count; ++k) {
        const T* const x = X + k * n + first - 1;
        for (index r = 0; r <= last - first + line - 1; r += line) {
            const T* const p = x + std::min(r, last - first);
            if (write)
                PCHOL_PREFETCH_WRITE(p);
            else
                PCHOL_PREFETCH(p);
        }
    }
}

// f(W) with the half bandwidth W as a compile-time constant for the widths
// whose row loops have an unrolled form (4 and 8), W = 0 (the half bandwidth
// at run time) for every other.
template <class F>
inline auto by_fixed_width(index hbw, F&& f) {
    switch (hbw) {
        case 4:
            return f(std::integral_constant<int, 4>{});
        case 8:
            return f(std::integral_constant<int, 8>{});
        default:
            return f(std::integral_constant<int, 0>{});
    }
}

#if PCHOL_VECTOR_LANES
template <class E, int W>
struct lanes {
    typedef E vec __attribute__((vector_size(W * sizeof(E))));
    // The integer vector with the same lanes, the type of comparisons and
    // of the bitwise select.
    using lane_int = std::conditional_t<sizeof(E) == 8, std::int64_t, std::int32_t>;
    typedef lane_int mask __attribute__((vector_size(W * sizeof(lane_int))));

    // The vector type at any element address: a load or store of it is one
    // unaligned vector move (g++ copies a 32-byte memcpy as two 16-byte
    // halves, and a whole-vector read of them right after stalls).
    typedef E unaligned __attribute__((vector_size(W * sizeof(E)), aligned(alignof(E)), may_alias));
    static vec load(const E* x) { return *reinterpret_cast<const unaligned*>(x); }
    static void store(E* x, vec v) { *reinterpret_cast<unaligned*>(x) = v; }
    // x in every lane, as one initialiser, which compilers emit as one
    // broadcast (a loop over the lanes becomes W inserts).
    static vec splat(E x) {
        return [x]<std::size_t... l>(std::index_sequence<l...>) { return vec{((void)l, x)...}; }(
            std::make_index_sequence<W>{});
    }
    // The lanes below `count`.
    // One comparison with the lane numbers (a loop over the lanes becomes
    // W inserts).
    static mask first(index count) {
        const mask numbers = []<std::size_t... l>(std::index_sequence<l...>) {
            return mask{static_cast<lane_int>(l)...};
        }(std::make_index_sequence<W>{});
        const lane_int c = static_cast<lane_int>(std::clamp<index>(count, 0, W));
        return numbers < c;
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
    static vec load(const E* x) {
        vec v;
        std::memcpy(v.data(), x, sizeof v);
        return v;
    }
    static void store(E* x, const vec& v) { std::memcpy(x, v.data(), sizeof v); }
    static vec splat(E x) {
        vec v;
        v.fill(x);
        return v;
    }
};
#endif

// The doubles one vector register of the target holds: 8 with AVX-512,
// else 4 (AVX2; two SSE registers).
#if defined(__AVX512F__)
inline constexpr int register_wide_lanes = 8;
#else
inline constexpr int register_wide_lanes = 4;
#endif

// The doubles of a lane group (lane_groups.hpp): 8 wherever the target has
// AVX, one AVX-512 register or two AVX2 ones held as a twin (twin_lanes
// below); on older targets as many as register_wide_lanes.
#if defined(__AVX__)
inline constexpr int group_double_lanes = 8;
#else
inline constexpr int group_double_lanes = register_wide_lanes;
#endif

// The elements of T one vector register of the target holds, and that or W
// if fewer: the width of a kernel's register-wide parts of W lanes.
template <class T>
inline constexpr int register_elements = register_wide_lanes * 8 / static_cast<int>(sizeof(T));
template <class T, int W>
inline constexpr int register_part = W < register_elements<T> ? W : register_elements<T>;

// L lanes of E as two vectors of L / 2, each one register of the target:
// the lane groups' vectors of 8 doubles where a register holds 4 (AVX2). A
// compiler keeps a single vector of 8 doubles on such a target in memory,
// and every chain through it; two halves stay in registers, and each
// operation is the same operation on both halves, lane by lane, so no lane
// changes by a bit.
template <class H>
struct twin {
    H lo, hi;
    static constexpr int half = static_cast<int>(sizeof(H) / sizeof(H{}[0]));
    auto operator[](int l) const { return l < half ? lo[l] : hi[l - half]; }
    template <class E>
    void set(int l, E x) {
        if (l < half) lo[l] = x;
        else hi[l - half] = x;
    }
    friend twin operator+(const twin& a, const twin& b) { return {a.lo + b.lo, a.hi + b.hi}; }
    friend twin operator-(const twin& a, const twin& b) { return {a.lo - b.lo, a.hi - b.hi}; }
    friend twin operator*(const twin& a, const twin& b) { return {a.lo * b.lo, a.hi * b.hi}; }
    friend twin operator/(const twin& a, const twin& b) { return {a.lo / b.lo, a.hi / b.hi}; }
    friend twin operator-(const twin& a) { return {-a.lo, -a.hi}; }
    // Masks: the comparisons' and lanes' own may name the same lanes by
    // other integer types (long and long long).
    template <class H2>
    friend twin operator&(const twin& a, const twin<H2>& b) {
        return {a.lo & (H)b.lo, a.hi & (H)b.hi};
    }
    template <class H2>
    friend twin operator|(const twin& a, const twin<H2>& b) {
        return {a.lo | (H)b.lo, a.hi | (H)b.hi};
    }
    friend twin operator~(const twin& a) { return {~a.lo, ~a.hi}; }
    // Comparisons, with another twin or with one value for every lane.
    template <class B>
    static auto lo_of(const B& b) {
        if constexpr (std::is_arithmetic_v<B>) return b;
        else return b.lo;
    }
    template <class B>
    static auto hi_of(const B& b) {
        if constexpr (std::is_arithmetic_v<B>) return b;
        else return b.hi;
    }
#define PCHOL_TWIN_COMPARISON(op)                                                  \
    template <class B>                                                             \
    friend auto operator op(const twin& a, const B& b) {                           \
        using M = decltype(a.lo op lo_of(b));                                      \
        return twin<M>{a.lo op lo_of(b), a.hi op hi_of(b)};                        \
    }
    PCHOL_TWIN_COMPARISON(<)
    PCHOL_TWIN_COMPARISON(<=)
    PCHOL_TWIN_COMPARISON(>)
    PCHOL_TWIN_COMPARISON(>=)
    PCHOL_TWIN_COMPARISON(==)
#undef PCHOL_TWIN_COMPARISON
};

template <class V>
inline constexpr bool is_twin = false;
template <class H>
inline constexpr bool is_twin<twin<H>> = true;

// Lane l of v set to x, for vectors and twins alike.
template <class V, class E>
PCHOL_ALWAYS_INLINE void set_lane(V& v, int l, E x) {
    if constexpr (is_twin<V>) v.set(l, x);
    else v[l] = x;
}

#if PCHOL_VECTOR_LANES
// lanes<E, W>'s operations on twins of W / 2 lanes.
template <class E, int W>
struct twin_lanes {
    using half = lanes<E, W / 2>;
    using vec = twin<typename half::vec>;
    using mask = twin<typename half::mask>;
    static vec load(const E* x) { return {half::load(x), half::load(x + W / 2)}; }
    static void store(E* x, const vec& v) {
        half::store(x, v.lo);
        half::store(x + W / 2, v.hi);
    }
    static vec splat(E x) { return {half::splat(x), half::splat(x)}; }
    static mask first(index count) { return {half::first(count), half::first(count - W / 2)}; }
    // (By a comparison's mask or by first's, which clang types apart.)
    template <class M>
    static vec select(const twin<M>& m, const vec& yes, const vec& no) {
        using hm = typename half::mask;
        return {half::select((hm)m.lo, yes.lo, no.lo), half::select((hm)m.hi, yes.hi, no.hi)};
    }
    static vec sqrt(const vec& x) { return {half::sqrt(x.lo), half::sqrt(x.hi)}; }
};

// The lane groups' W lanes of E: one vector where one register holds them,
// else a twin of two register-wide halves.
template <class E, int W>
using group_vectors =
    std::conditional_t<(W * sizeof(E) > register_wide_lanes * 8), twin_lanes<E, W>, lanes<E, W>>;
#else
template <class E, int W>
using group_vectors = lanes<E, W>;
#endif

// (Declared for every build: the kernels name it in branches that a build
// without vector extensions discards.)
template <class To, class From>
To convert_lanes(From v);

#if PCHOL_VECTOR_LANES
// The lanes of v converted one by one to the element type of To, as
// __builtin_convertvector. From floats to doubles (exact) GCC 12 converts a
// vector in halves of 128 bits and joins them again, four instructions and
// their latency where the target has one conversion of the whole register;
// here those are asked for by name.
template <class To, class From>
PCHOL_ALWAYS_INLINE To convert_lanes(From v) {
#if !defined(__clang__)
    using from_element = std::remove_cvref_t<decltype(v[0])>;
    using to_element = std::remove_cvref_t<decltype(To{}[0])>;
    if constexpr (std::is_same_v<from_element, float> && std::is_same_v<to_element, double>) {
#if defined(__AVX512F__)
        // (The masked form with every lane taken: GCC 12's plain
        // _mm512_cvtps_pd warns of an uninitialised value of its own.)
        if constexpr (sizeof(From) == 32)
            return reinterpret_cast<To>(_mm512_mask_cvtps_pd(_mm512_setzero_pd(), 0xFF, reinterpret_cast<__m256>(v)));
#endif
#if defined(__AVX__)
        if constexpr (sizeof(From) == 16) return reinterpret_cast<To>(_mm256_cvtps_pd(reinterpret_cast<__m128>(v)));
#endif
    }
#endif
    return __builtin_convertvector(v, To);
}

// Wide sums of W lanes of E, held as parts of K wide lanes, K the double
// lanes of one vector register of the target or W if that is fewer. A
// vector of more wide lanes than a register holds is kept by the
// compilers, and every step of a chain through it, in memory.
template <class E, class Wide, int W>
struct wide_parts {
    static constexpr int K = W < register_wide_lanes ? W : register_wide_lanes;
    static_assert(W % K == 0);
    static constexpr int P = W / K;
    using part = typename lanes<Wide, K>::vec;
    using narrow_part = typename lanes<E, K>::vec;
    // Lanes K p ... K p + K - 1 of v, widened.
    static part widen(const typename lanes<E, W>::vec& v, int p) {
        return load(reinterpret_cast<const E*>(&v) + K * p);
    }
    // K consecutive elements from x, widened, and back, rounded.
    static part load(const E* x) { return convert_lanes<part>(lanes<E, K>::load(x)); }
    static void store(E* x, const part& s) { lanes<E, K>::store(x, __builtin_convertvector(s, narrow_part)); }
    static part splat(Wide x) { return lanes<Wide, K>::splat(x); }
};
#else
// Without vector extensions only the names: every kernel that uses them
// sits in a discarded branch.
template <class E, class Wide, int W>
struct wide_parts {
    static constexpr int K = W < register_wide_lanes ? W : register_wide_lanes;
    static constexpr int P = W / K;
    using part = std::array<Wide, K>;
};
#endif

// Lane b of v[q] and lane q of v[b] swap places: L vectors of L lanes
// transposed, log2(L) rounds of interleaving the first half of the vectors
// with the second. Only moves bits.
template <class V, int L>
inline void transpose_vectors(V (&v)[L]) {
    static_assert(L == 4 || L == 8);
    // Unrolled whole, so that the rounds run on registers (a loop over
    // the arrays is copied back with a call to memcpy).
    PCHOL_UNROLL
    for (int round = 0; round < (L == 8 ? 3 : 2); ++round) {
        V t[L];
        PCHOL_UNROLL
        for (int i = 0; i < L / 2; ++i) {
#if PCHOL_VECTOR_LANES
            if constexpr (L == 8) {
                t[2 * i] = __builtin_shufflevector(v[i], v[i + 4], 0, 8, 1, 9, 2, 10, 3, 11);
                t[2 * i + 1] = __builtin_shufflevector(v[i], v[i + 4], 4, 12, 5, 13, 6, 14, 7, 15);
            } else {
                t[2 * i] = __builtin_shufflevector(v[i], v[i + 2], 0, 4, 1, 5);
                t[2 * i + 1] = __builtin_shufflevector(v[i], v[i + 2], 2, 6, 3, 7);
            }
#else
            for (int l = 0; l < L / 2; ++l) {
                t[2 * i][2 * l] = v[i][l];
                t[2 * i][2 * l + 1] = v[i + L / 2][l];
                t[2 * i + 1][2 * l] = v[i][l + L / 2];
                t[2 * i + 1][2 * l + 1] = v[i + L / 2][l + L / 2];
            }
#endif
        }
        PCHOL_UNROLL
        for (int i = 0; i < L; ++i) v[i] = t[i];
    }
}

// transpose_vectors, and on twins (L rows of two halves): the four quarters
// of L / 2 rows of L / 2 lanes each transposed, and the two off the diagonal
// swapped.
template <class V, int L>
inline void transpose(V (&v)[L]) {
    if constexpr (is_twin<V>) {
        using H = decltype(v[0].lo);
        constexpr int M = L / 2;
        H q[4][M];
        PCHOL_UNROLL
        for (int i = 0; i < M; ++i) {
            q[0][i] = v[i].lo;
            q[1][i] = v[i].hi;
            q[2][i] = v[i + M].lo;
            q[3][i] = v[i + M].hi;
        }
        PCHOL_UNROLL
        for (int k = 0; k < 4; ++k) transpose_vectors<H, M>(q[k]);
        PCHOL_UNROLL
        for (int i = 0; i < M; ++i) {
            v[i] = V{q[0][i], q[2][i]};
            v[i + M] = V{q[1][i], q[3][i]};
        }
    } else {
        transpose_vectors<V, L>(v);
    }
}

// How many columns the transposes below take at a time where more are to
// be read: 8, or 4 where a register holds fewer than 8 elements (doubles
// with AVX2: GCC moves every element of a transpose of vectors of two
// registers each through memory).
template <class E>
inline constexpr int transpose_columns = register_elements<E> < 8 ? 4 : 8;

// The rows of W columns of X (n rows a column, rows counted from 0) as
// W-lane vectors, lane q holding column q: read in order from row `from`
// up to row `to` - 1, W rows at a time through one transpose, and never a
// row outside the range.
template <class E, int W>
class column_rows_in {
    using vec = typename lanes<E, W>::vec;

  public:
    column_rows_in(const E* X, index n, index from, index to) : X_(X), n_(n), next_(from), to_(to) {}
    vec next() {
        if (pos_ == W) refill();
        return rows_[pos_++];
    }

  private:
    void refill() {
        if (next_ + W <= to_) {
            for (int q = 0; q < W; ++q) rows_[q] = lanes<E, W>::load(X_ + q * n_ + next_);
            transpose<vec, W>(rows_);
        } else {
            // The last rows, fewer than W: the rows past them are never
            // read, and are cleared only so that every path writes all.
            for (int k = 0; k < W; ++k) rows_[k] = vec{};
            for (index k = 0; k < W && next_ + k < to_; ++k)
                for (int q = 0; q < W; ++q) rows_[k][q] = X_[q * n_ + next_ + k];
        }
        next_ += W;
        pos_ = 0;
    }
    const E* X_;
    index n_, next_, to_;
    vec rows_[W];  // not cleared: a row is read only after it is filled
    int pos_ = W;
};

// And written back in order from row `from` on; finish() writes the rows
// still held.
template <class E, int W>
class column_rows_out {
    using vec = typename lanes<E, W>::vec;

  public:
    column_rows_out(E* X, index n, index from) : X_(X), n_(n), next_(from) {}
    void put(const vec& v) {
        rows_[held_++] = v;
        if (held_ == W) {
            transpose<vec, W>(rows_);
            for (int q = 0; q < W; ++q) lanes<E, W>::store(X_ + q * n_ + next_, rows_[q]);
            next_ += W;
            held_ = 0;
        }
    }
    void finish() {
        for (int k = 0; k < held_; ++k)
            for (int q = 0; q < W; ++q) X_[q * n_ + next_ + k] = rows_[k][q];
        next_ += held_;
        held_ = 0;
    }

  private:
    E* X_;
    index n_, next_;
    vec rows_[W];  // not cleared: a row is read only after it is filled
    int held_ = 0;
};

}  // namespace pchol::detail::fixed

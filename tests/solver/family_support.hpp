// Test support for the solver family: the entry points of every element type
// behind one name, the arrays of one solve, thread counts, and a time limit
// for solves that could hang.
#pragma once

#include "entry_points.hpp"
#include "family_reference.hpp"
#include "run_support.hpp"
#include "pchol/pipelined.hpp"
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/threads.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

namespace family_test {

using namespace solver_run;

using i32 = std::int32_t;

// Error allowed against the complex-double reference: the systems are
// diagonally dominant, so a backward-stable solve is within a modest
// multiple of the storage precision.
template <class T>
double error_bound(const std::vector<cd>& x, idx hbw) {
    double size = 1.0;
    for (const cd& v : x) size = std::max(size, std::abs(v));
    return 16.0 * double(hbw + 2) * eps_of<T>() * size;
}

// block_size as the first solve of the process sets it.
template <class T>
i32 first_block_size(i32 threads) {
    if constexpr (is_complex<T>::value)
        return threads <= 2 ? 16 : 8;
    else
        return 24;
}

inline idx rows_per_block(i32 block_size, idx hbw) {
    return std::max<idx>(idx{block_size} * block_size / std::max<idx>(hbw, 1), hbw + 1);
}

// A quiet NaN with a payload in every part: scratch that is read before it
// is written shows up as NaN in the solution.
template <class T>
T marker() {
    using P = part_t<T>;
    P p;
    if constexpr (sizeof(P) == 4) {
        const std::uint32_t bits = 0x7fc0abcdu;
        std::memcpy(&p, &bits, sizeof p);
    } else {
        const std::uint64_t bits = 0x7ff80000abcd1234ull;
        std::memcpy(&p, &bits, sizeof p);
    }
    if constexpr (is_complex<T>::value)
        return T(p, p);
    else
        return p;
}

// Slots of the band that belong to columns past n.
inline std::vector<idx> slots_beyond_n(idx n, idx hbw) {
    std::vector<idx> p;
    for (idx r = std::max<idx>(1, n - hbw + 1); r <= n; ++r)
        for (idx c = n + 1; c <= r + hbw; ++c)
            if (band_pos(hbw, r, c) < band_length(n, hbw)) p.push_back(band_pos(hbw, r, c));
    return p;
}

// The arrays of one solve, sized exactly as the contract says (so that the
// address sanitizer sees any access outside them); the slots past column n
// and the scratch start as markers.
template <class T>
struct problem {
    i32 n = 0, hbw = 0, nrhs = 0;
    std::vector<T> a, b, work;
    i32 info = 12345;

    problem(const sym_band& m, const std::vector<cd>& rhs, idx nrhs_)
        : n(i32(m.n)), hbw(i32(m.hbw)), nrhs(i32(nrhs_)), a(to_band<T>(m)), b(convert<T>(rhs)),
          work(static_cast<std::size_t>(std::max<idx>(2 * m.n * m.hbw, 1)), marker<T>()) {
        for (const idx s : slots_beyond_n(m.n, m.hbw)) a[static_cast<std::size_t>(s)] = marker<T>();
    }
    void solve() { entry<T>::solve(a.data(), n, hbw, b.data(), nrhs, work.data(), info); }
    void factor() { entry<T>::factor(a.data(), n, hbw, work.data(), info); }
    void factored_solve() { entry<T>::factored_solve(a.data(), n, hbw, b.data(), nrhs, work.data(), info); }
    void pipelined() { entry<T>::pipelined(a.data(), n, hbw, b.data(), nrhs, work.data(), info); }
};

// The first thread count's A and B are kept in a1 and b1; every later one
// must store the same bits.
template <class T>
void expect_bits_of_first_count(const problem<T>& p, bool first_count, i32 threads, std::vector<T>& a1,
                                std::vector<T>& b1) {
    if (first_count) {
        a1 = p.a;
        b1 = p.b;
        return;
    }
    EXPECT_TRUE(same_bits(p.a, a1)) << threads << " threads: A differs from the first count's";
    EXPECT_TRUE(same_bits(p.b, b1)) << threads << " threads: B differs from the first count's";
}

// Half bandwidths at or beyond n: one block whose band rows reach far past
// column n. solve(p) runs a driver on 3 threads; the solution is held to
// the reference and the slots past column n must be untouched.
template <class T, class Solve>
void check_bandwidths_beyond_the_matrix(Solve&& solve) {
    for (const idx n : {1, 2, 5}) {
        for (const idx hbw : {n, n + 1, 3 * n + 4}) {
            SCOPED_TRACE(::testing::Message() << "n " << n << " hbw " << hbw);
            const sym_band m = random_system(n, hbw, 17, is_complex<T>::value);
            const std::vector<cd> rhs = random_rhs(n, 2, 4, is_complex<T>::value);
            std::vector<cd> want = rhs;
            ASSERT_TRUE(reference_solve(m, want, 2));
            use_threads(3);
            problem<T> p(m, rhs, 2);
            const std::vector<T> a0 = p.a;
            within_time_limit([&] { solve(p); });
            ASSERT_EQ(p.info, pchol::info_ok);
            EXPECT_LE(max_error(p.b, want), error_bound<T>(want, hbw));
            for (const idx s : slots_beyond_n(n, hbw)) EXPECT_EQ(std::memcmp(&p.a[s], &a0[s], sizeof(T)), 0);
        }
    }
}

// The thread counts the shape tests run: 1 to 8, fewer in the small builds.
inline std::vector<i32> shape_thread_counts() {
    if (small) return {1, 2, 3, 8};
    return {1, 2, 3, 4, 5, 6, 7, 8};
}

// The sizes the shape tests run for half bandwidth hbw and br rows per block:
// empty, one row, hbw rows, one block and one more row, 2, 3 and 10 blocks,
// a short last block, 2^k and 2^k + 1 blocks.
inline std::vector<idx> shape_sizes(idx hbw, idx br) {
    std::vector<idx> sizes = {0,      1,      hbw,     std::max<idx>(hbw - 1, 1),
                              br,     br + 1, 2 * br,  3 * br,
                              10 * br, 8 * br, 9 * br + 1, 16 * br,
                              16 * br + 1, 17 * br, 10 * br - 3};
    // Short last blocks (fewer than hbw rows), eliminated in phase 1 and kept
    // as a separator.
    if (hbw >= 2) {
        sizes.push_back(4 * br + hbw / 2);
        sizes.push_back(3 * br + hbw - 1);
    }
    return sizes;
}

}  // namespace family_test

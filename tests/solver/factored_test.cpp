// Factor once, solve many (pchol_factorK, pchol_factored_solveK) in every
// element type: the factor and the factored solve store A and B bit for bit
// as one pchol_solveK, on any thread counts; a factor serves many sets of
// right-hand sides, the factored solve only reads A and WORK, and refused
// arguments and failed pivots behave as for pchol_solveK.
#include "family_support.hpp"
#include "pchol/threads.hpp"

#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace {

using namespace family_test;

template <class T>
class Factored : public ::testing::Test {};

using element_types = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;
TYPED_TEST_SUITE(Factored, element_types);

// One solve of m for rhs with pchol_solveK, as the yardstick.
template <class T>
problem<T> solved(const sym_band& m, const std::vector<cd>& rhs, idx nrhs) {
    problem<T> p(m, rhs, nrhs);
    within_time_limit([&] { p.solve(); });
    EXPECT_EQ(p.info, pchol::info_ok);
    return p;
}

// The factor of m on `threads` threads.
template <class T>
problem<T> factored(const sym_band& m, const std::vector<cd>& rhs, idx nrhs, i32 threads) {
    use_threads(threads);
    problem<T> p(m, rhs, nrhs);
    within_time_limit([&] { p.factor(); });
    EXPECT_EQ(p.info, pchol::info_ok);
    return p;
}

// A factored solve of p's B on `threads` threads; A and WORK must come out
// as they went in.
template <class T>
void solve_with_factor(problem<T>& p, i32 threads) {
    use_threads(threads);
    const std::vector<T> a0 = p.a, work0 = p.work;
    p.info = 12345;
    within_time_limit([&] { p.factored_solve(); });
    EXPECT_EQ(p.info, pchol::info_ok);
    EXPECT_TRUE(same_bits(p.a, a0)) << "the factored solve wrote to A";
    EXPECT_TRUE(same_bits(p.work, work0)) << "the factored solve wrote to WORK";
}

// For every shape and nrhs 0, 1, 3, 17: the factor on t threads and the
// factored solve on 9 - t threads give the A and B of one pchol_solveK.
template <class T>
void check_shapes(idx hbw) {
    constexpr bool cplx = is_complex<T>::value;
    use_threads(1);
    const idx br = rows_per_block(first_block_size<T>(1), hbw);
    for (const idx n : shape_sizes(hbw, br)) {
        for (const idx nrhs : {0, 1, 3, 17}) {
            SCOPED_TRACE(::testing::Message() << "n " << n << " hbw " << hbw << " nrhs " << nrhs);
            const auto seed = static_cast<std::uint64_t>(n * 131 + hbw * 7 + nrhs);
            const sym_band m = random_system(n, hbw, seed, cplx);
            const std::vector<cd> rhs = random_rhs(n, nrhs, seed + 1, cplx);
            use_threads(1);
            const problem<T> want = solved<T>(m, rhs, nrhs);
            for (const i32 threads : shape_thread_counts()) {
                problem<T> p = factored<T>(m, rhs, nrhs, threads);
                ASSERT_TRUE(same_bits(p.a, want.a)) << threads << " threads: the factor differs from the solve's";
                solve_with_factor(p, 9 - threads);
                EXPECT_TRUE(same_bits(p.b, want.b)) << threads << " threads: B differs from the solve's";
            }
        }
    }
}

TYPED_TEST(Factored, SameBitsAsOneSolveNarrowBands) {
    for (const idx hbw : {0, 1, 3}) check_shapes<TypeParam>(hbw);
}
TYPED_TEST(Factored, SameBitsAsOneSolveFixedWidthsAndWider) {
    for (const idx hbw : {4, 8, 13}) check_shapes<TypeParam>(hbw);
}

// One factor, five sets of right-hand sides of different counts, each solved
// on another thread count: each within the reference's error and bit for bit
// pchol_solveK's; the first set solved again at the end gives its bits again.
TYPED_TEST(Factored, OneFactorServesFiveRightHandSideSets) {
    using T = TypeParam;
    constexpr bool cplx = is_complex<T>::value;
    use_threads(1);
    for (const idx hbw : {3, 8}) {
        const idx n = 10 * rows_per_block(first_block_size<T>(1), hbw) + 5;
        const sym_band m = random_system(n, hbw, 901 + hbw, cplx);
        problem<T> f = factored<T>(m, {}, 0, 2);
        std::vector<T> first_solution;
        const idx counts[] = {1, 4, 2, 17, 1};
        for (int set = 0; set <= 5; ++set) {
            const idx nrhs = counts[set % 5];
            SCOPED_TRACE(::testing::Message() << "hbw " << hbw << " set " << set << " nrhs " << nrhs);
            const std::vector<cd> rhs = random_rhs(n, nrhs, 77 + static_cast<std::uint64_t>(set % 5), cplx);
            std::vector<cd> exact = rhs;
            ASSERT_TRUE(reference_solve(m, exact, nrhs));

            problem<T> p(m, rhs, nrhs);
            p.a = f.a;
            p.work = f.work;
            solve_with_factor(p, static_cast<i32>(set % 5) + 1);
            EXPECT_LE(max_error(p.b, exact), error_bound<T>(exact, hbw));
            use_threads(3);
            EXPECT_TRUE(same_bits(p.b, solved<T>(m, rhs, nrhs).b));
            if (set == 0) first_solution = p.b;
            if (set == 5) {
                EXPECT_TRUE(same_bits(p.b, first_solution)) << "a repeated solve differs";
            }
        }
    }
}

// Many right-hand sides run side by side in lanes of 16 and of 8 columns,
// the rest one by one (41 = 16 + 16 + 8 + 1): each column's bits are those of
// one pchol_solveK, for half bandwidths with a fixed-width form (4, 8) and
// without (3, 13, which also leave partial groups of the steps that run
// several spike columns together), on blocks of every length the shapes
// give (a short last block included), with one and with several threads;
// the longest system has sweeps long enough for two blocks side by side.
TYPED_TEST(Factored, ManyRightHandSidesInLanesKeepTheBits) {
    using T = TypeParam;
    constexpr bool cplx = is_complex<T>::value;
    use_threads(1);
    // hbw 1 gives blocks too long for two to share the lanes' buffer.
    for (const idx hbw : {1, 3, 4, 8, 13}) {
        const idx br = rows_per_block(first_block_size<T>(1), hbw);
        // 42 blocks: phase 1 has enough of them for blocks to go in pairs.
        for (const idx n : {3 * br + hbw - 1, 9 * br + 1, 10 * br - 3, 42 * br - 5}) {
            for (const idx nrhs : {8, 25, 41}) {
                SCOPED_TRACE(::testing::Message() << "n " << n << " hbw " << hbw << " nrhs " << nrhs);
                const auto seed = static_cast<std::uint64_t>(n * 17 + hbw * 3 + nrhs);
                const sym_band m = random_system(n, hbw, seed, cplx);
                const std::vector<cd> rhs = random_rhs(n, nrhs, seed + 1, cplx);
                use_threads(1);
                const problem<T> want = solved<T>(m, rhs, nrhs);
                for (const i32 threads : {1, 3}) {
                    const problem<T> f = factored<T>(m, {}, 0, 2);
                    problem<T> q(m, rhs, nrhs);
                    q.a = f.a;
                    q.work = f.work;
                    solve_with_factor(q, threads);
                    EXPECT_TRUE(same_bits(q.b, want.b)) << threads << " threads";
                }
            }
        }
    }
}

// Systems of 130 blocks of hbw in widths, the last short_by rows short,
// for each count of right-hand sides: a factored solve on 1 and 2 threads,
// with the factor of each of factor_counts threads, stores the bits of the
// solve that factors.
template <class T>
void expect_long_sweeps_keep_bits(std::initializer_list<idx> widths, idx short_by, std::initializer_list<idx> rhs_counts,
                                  std::uint64_t seed_scale, std::initializer_list<i32> factor_counts) {
    constexpr bool cplx = is_complex<T>::value;
    for (const idx hbw : widths) {
        use_threads(1);
        const idx br = rows_per_block(first_block_size<T>(1), hbw);
        const idx n = 130 * br - short_by;
        for (const idx nrhs : rhs_counts) {
            SCOPED_TRACE(::testing::Message() << "n " << n << " hbw " << hbw << " nrhs " << nrhs);
            const auto seed = static_cast<std::uint64_t>(n) * seed_scale + static_cast<std::uint64_t>(hbw + nrhs);
            const sym_band m = random_system(n, hbw, seed, cplx);
            const std::vector<cd> rhs = random_rhs(n, nrhs, seed + 1, cplx);
            use_threads(1);
            const problem<T> want = solved<T>(m, rhs, nrhs);
            for (const i32 factor_threads : factor_counts) {
                const problem<T> f = factored<T>(m, {}, 0, factor_threads);
                for (const i32 threads : {1, 2}) {
                    problem<T> q(m, rhs, nrhs);
                    q.a = f.a;
                    q.work = f.work;
                    solve_with_factor(q, threads);
                    EXPECT_TRUE(same_bits(q.b, want.b))
                        << "factor on " << factor_threads << ", solve on " << threads << " threads";
                }
            }
        }
    }
}

// Sweeps long enough that blocks go four side by side (their right-hand
// sides in lanes), near their ends in pairs and alone: 130 blocks, the
// last one short. 17 columns: 16 or 8 in lanes, the rest one by one,
// beside the quads.
TYPED_TEST(Factored, QuadsOfBlocksKeepTheBits) {
    expect_long_sweeps_keep_bits<TypeParam>({3, 8}, 7, {8, 17}, 5, {2});
}

// Sweeps long enough for lane groups of blocks with one and three
// right-hand sides (which do not run in lanes), narrow bands and a wide one
// in short blocks, on the factor of one thread and of three.
TYPED_TEST(Factored, GroupsOfBlocksKeepTheBits) {
    expect_long_sweeps_keep_bits<TypeParam>({3, 8, 24}, 5, {1, 3}, 3, {1, 3});
}

// A zero pivot fails the factor as it fails the solve, and every thread
// returns. A factored solve with what the failed factor left cannot tell
// (nothing checks the factor) and still runs to its end.
TYPED_TEST(Factored, FailedPivotFailsTheFactor) {
    using T = TypeParam;
    use_threads(1);
    const idx hbw = 3, br = rows_per_block(first_block_size<T>(1), hbw), n = 10 * br, row = 4 * br + 2;
    sym_band m = random_system(n, hbw, 23, is_complex<T>::value);
    for (idx c = std::max<idx>(1, row - hbw); c <= std::min(row + hbw, n); ++c) m.set(row, c, 0.0);
    auto team_gone = [] { return thr_slots_in_use() == 0 && sync_points_in_use() == 0; };
    for (const i32 threads : {1, 2, 5}) {
        use_threads(threads);
        problem<T> p(m, random_rhs(n, 2, 3, is_complex<T>::value), 2);
        within_time_limit([&] { p.factor(); });
        EXPECT_EQ(p.info, pchol::info_pivot_failed) << threads << " threads";
        EXPECT_TRUE(team_gone());
        within_time_limit([&] { p.factored_solve(); });
        EXPECT_EQ(p.info, pchol::info_ok) << threads << " threads";
        EXPECT_TRUE(team_gone());
    }
}

// Sizes pchol_solveK refuses are refused by both, before anything is touched:
// hbw < 0, a band past the 32-bit count, a scratch past it.
TYPED_TEST(Factored, RefusedArgumentsTouchNothing) {
    using T = TypeParam;
    const i32 refused[][3] = {{10, -1, 1}, {100000, 30000, 1}, {50000, 25000, 1}};
    for (const auto& [n, hbw, nrhs] : refused) {
        std::vector<T> a(8, T(2)), b(8, T(3)), w(8, T(4));
        const std::vector<T> a0 = a, b0 = b, w0 = w;
        i32 factor_info = 12345, solve_info = 12345;
        entry<T>::factor(a.data(), n, hbw, w.data(), factor_info);
        entry<T>::factored_solve(a.data(), n, hbw, b.data(), nrhs, w.data(), solve_info);
        EXPECT_EQ(factor_info, pchol::info_bad_arguments) << n << " " << hbw;
        EXPECT_EQ(solve_info, pchol::info_bad_arguments) << n << " " << hbw;
        EXPECT_TRUE(same_bits(a, a0) && same_bits(b, b0) && same_bits(w, w0));
    }
}

}  // namespace

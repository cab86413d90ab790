// The solver in every element type (pchol_solve4, pchol_solve3,
// pchol_solve1, pchol_solve2), one typed test body for all four: solutions
// against an independent complex-double reference over many shapes and
// thread counts,
// bit-identical results for every thread count, the complex rules (plain
// transpose, modulus pivot test, principal root), agreement between the
// precisions, and the process-wide blocking that the first solve fixes.
#include "family_support.hpp"
#include "pchol/threads.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using namespace family_test;

template <class T>
class EveryType : public ::testing::Test {};

using element_types = ::testing::Types<float, double, std::complex<double>, std::complex<float>>;
TYPED_TEST_SUITE(EveryType, element_types);

// ---- Shapes -----------------------------------------------------------------------

// For every shape and nrhs 0, 1, 3: the solution is within error_bound of the
// reference for every thread count, A and B are bit for bit those of one
// thread, the scratch is never read before it is written (its markers would
// show in B), and the slots past column n keep their markers (except with a
// short last block, where the row before it lends its upper slots as scratch).
template <class T>
void check_shapes(idx hbw) {
    constexpr bool cplx = is_complex<T>::value;
    // The first solve of this process runs on one thread and fixes the blocking.
    use_threads(1);
    const idx br = rows_per_block(first_block_size<T>(1), hbw);
    const std::vector<i32> thread_counts = shape_thread_counts();

    within_time_limit([&] {
        for (const idx n : shape_sizes(hbw, br)) {
            for (const idx nrhs : {0, 1, 3}) {
                SCOPED_TRACE(::testing::Message() << "n " << n << " hbw " << hbw << " nrhs " << nrhs);
                const auto seed = static_cast<std::uint64_t>(n * 131 + hbw * 7 + nrhs);
                const sym_band m = random_system(n, hbw, seed, cplx);
                const std::vector<cd> rhs = random_rhs(n, nrhs, seed + 1, cplx);
                std::vector<cd> want = rhs;
                ASSERT_TRUE(reference_solve(m, want, nrhs));
                const double bound = error_bound<T>(want, hbw);
                const bool short_last = n > br && n % br != 0 && n % br < hbw;

                std::vector<T> a1, b1;
                for (const i32 threads : thread_counts) {
                    use_threads(threads);
                    problem<T> p(m, rhs, nrhs);
                    const std::vector<T> a0 = p.a, b0 = p.b;
                    p.solve();
                    ASSERT_EQ(p.info, pchol::info_ok) << threads << " threads";
                    if (nrhs == 0) {
                        EXPECT_TRUE(same_bits(p.b, b0));
                    }
                    if (n == 0) {
                        EXPECT_TRUE(same_bits(p.a, a0));
                    }
                    EXPECT_LE(max_error(p.b, want), bound) << threads << " threads";
                    if (!short_last) {
                        for (const idx s : slots_beyond_n(n, hbw))
                            EXPECT_EQ(std::memcmp(&p.a[s], &a0[s], sizeof(T)), 0) << "slot " << s << " past column n";
                    }
                    expect_bits_of_first_count(p, threads == thread_counts.front(), threads, a1, b1);
                }
            }
        }
    });
}

TYPED_TEST(EveryType, ShapesHbw0) { check_shapes<TypeParam>(0); }
TYPED_TEST(EveryType, ShapesHbw1) { check_shapes<TypeParam>(1); }
TYPED_TEST(EveryType, ShapesHbw2) { check_shapes<TypeParam>(2); }
TYPED_TEST(EveryType, ShapesHbw3) { check_shapes<TypeParam>(3); }
TYPED_TEST(EveryType, ShapesHbw8) { check_shapes<TypeParam>(8); }
TYPED_TEST(EveryType, ShapesHbw13) { check_shapes<TypeParam>(13); }

TYPED_TEST(EveryType, BandwidthBeyondTheMatrix) {
    check_bandwidths_beyond_the_matrix<TypeParam>([](auto& p) { p.solve(); });
}

// ---- Pivots -------------------------------------------------------------------------

// A zero pivot (a row with a zero diagonal and no coupling, so that it stays
// exactly zero whatever updates reach it) fails in every element type, in
// phase 1, in a separator and in the top block; every thread returns.
TYPED_TEST(EveryType, ZeroPivotFailsAndEveryThreadReturns) {
    using T = TypeParam;
    use_threads(1);
    const idx hbw = 3, br = rows_per_block(first_block_size<T>(1), hbw), n = 10 * br;
    for (const idx row : {2 * br + 2, br + 1, 8 * br + 5}) {
        sym_band m = random_system(n, hbw, 23, is_complex<T>::value);
        for (idx c = std::max<idx>(1, row - hbw); c <= std::min(row + hbw, n); ++c) m.set(row, c, 0.0);
        const std::vector<cd> rhs = random_rhs(n, 2, 3, is_complex<T>::value);
        for (const i32 threads : {1, 2, 5, 8}) {
            SCOPED_TRACE(::testing::Message() << "row " << row << ", " << threads << " threads");
            use_threads(threads);
            problem<T> p(m, rhs, 2);
            within_time_limit([&] { p.solve(); });
            EXPECT_EQ(p.info, pchol::info_pivot_failed);
            EXPECT_EQ(thr_slots_in_use(), 0);
            EXPECT_EQ(sync_points_in_use(), 0);
        }
    }
}

// Refused arguments touch nothing; the arrays here are far smaller than the
// sizes claim, so any access would be outside them.
TYPED_TEST(EveryType, RefusedArgumentsTouchNothing) {
    using T = TypeParam;
    struct sizes {
        i32 n, hbw, nrhs;
    };
    const i32 max = std::numeric_limits<i32>::max();
    const sizes refused[] = {
        {10, -1, 1},         // negative half bandwidth
        {0, -5, 0},          //
        {100000, 30000, 1},  // band of 3e9 elements
        {50000, 25000, 1},   // band fits, scratch of 2.5e9 does not
        {max, 0, 1},         // band and scratch fit, the row counters would pass 2^31
        {1300000000, 0, 0},  //
    };
    for (const sizes& s : refused) {
        std::vector<T> a(16, T(2)), b(16, T(3)), w(16, T(4));
        i32 info = 12345;
        entry<T>::solve(a.data(), s.n, s.hbw, b.data(), s.nrhs, w.data(), info);
        EXPECT_EQ(info, pchol::info_bad_arguments) << s.n << " " << s.hbw;
        EXPECT_EQ(a, std::vector<T>(16, T(2)));
        EXPECT_EQ(b, std::vector<T>(16, T(3)));
        EXPECT_EQ(w, std::vector<T>(16, T(4)));
    }
}

// ---- The complex rules --------------------------------------------------------------

template <class T>
class ComplexVariant : public ::testing::Test {};

using complex_types = ::testing::Types<std::complex<double>, std::complex<float>>;
TYPED_TEST_SUITE(ComplexVariant, complex_types);

// Largest |(A X - B)(r)| when the lower triangle is read as the conjugate of
// the upper one (a Hermitian reading of the same storage).
template <class T>
double hermitian_residual(const sym_band& m, const std::vector<T>& x, const std::vector<cd>& b) {
    double worst = 0.0;
    for (idx r = 1; r <= m.n; ++r) {
        cd s = 0.0;
        for (idx c = std::max<idx>(1, r - m.hbw); c <= std::min(r + m.hbw, m.n); ++c) {
            const cd upper = m.get(std::min(r, c), std::max(r, c));
            const cd a_rc = c < r ? cd(upper.real(), -upper.imag()) : upper;
            s += a_rc * to_cd(x[static_cast<std::size_t>(c - 1)]);
        }
        worst = std::max(worst, std::abs(s - b[static_cast<std::size_t>(r - 1)]));
    }
    return worst;
}

// A symmetric matrix that is not Hermitian, (1, 2) = (2, 1) = 1 + 2i: the
// solution satisfies A X = B with the entries as they are, and not the
// system a conjugating solver would have solved.
TYPED_TEST(ComplexVariant, SymmetricNotHermitian) {
    using T = TypeParam;
    const idx hbw = 4, n = 7 * rows_per_block(first_block_size<T>(3), hbw) + 2;
    sym_band m = random_system(n, hbw, 31, true);
    m.set(1, 2, cd(1.0, 2.0));
    m.set(1, 1, m.get(1, 1) + 3.0);
    m.set(2, 2, m.get(2, 2) + 3.0);
    const std::vector<cd> rhs = random_rhs(n, 1, 32, true);
    use_threads(3);
    problem<T> p(m, rhs, 1);
    within_time_limit([&] { p.solve(); });
    ASSERT_EQ(p.info, pchol::info_ok);
    EXPECT_LE(residual(m, p.b, rhs, 1), 64 * eps_of<T>() * 10);
    EXPECT_GT(hermitian_residual(m, p.b, rhs), 0.1);
}

// Zero imaginary parts give the real solution (of the real solver of the
// same precision, up to rounding), with imaginary parts exactly zero.
TYPED_TEST(ComplexVariant, ZeroImaginaryPartsGiveTheRealSolution) {
    using T = TypeParam;
    using R = part_t<T>;
    const idx hbw = 5, n = 333, nrhs = 2;
    const sym_band m = random_system(n, hbw, 41, false);
    const std::vector<cd> rhs = random_rhs(n, nrhs, 42, false);
    use_threads(2);
    problem<T> c(m, rhs, nrhs);
    problem<R> r(m, rhs, nrhs);
    within_time_limit([&] {
        c.solve();
        r.solve();
    });
    ASSERT_EQ(c.info, pchol::info_ok);
    ASSERT_EQ(r.info, pchol::info_ok);
    double size = 1.0;
    for (const R v : r.b) size = std::max(size, double(std::abs(v)));
    for (idx i = 0; i < n * nrhs; ++i) {
        EXPECT_EQ(c.b[i].imag(), R(0)) << "row " << i;
        EXPECT_NEAR(double(c.b[i].real()), double(r.b[i]), 64 * eps_of<T>() * size) << "row " << i;
    }
}

// A negative real pivot is accepted with the principal root: -4 + 0i
// becomes 0 + 2i, and -4 x = 2 gives x = -0.5.
TYPED_TEST(ComplexVariant, NegativeRealPivotIsAccepted) {
    using T = TypeParam;
    std::vector<T> a{T(-4, 0)}, b{T(2, 0)}, w{T(0)};
    const i32 n = 1, hbw = 0, nrhs = 1;
    i32 info = 12345;
    use_threads(2);
    entry<T>::solve(a.data(), n, hbw, b.data(), nrhs, w.data(), info);
    EXPECT_EQ(info, pchol::info_ok);
    EXPECT_EQ(a[0], T(0, 2));
    EXPECT_EQ(b[0], T(-0.5, 0));
}

// A real symmetric matrix that is indefinite (some diagonals negative, still
// dominant in modulus): the real solvers refuse it, the complex ones solve it
// through imaginary roots.
TYPED_TEST(ComplexVariant, IndefiniteRealSystemSolvedWithImaginaryRoots) {
    using T = TypeParam;
    using R = part_t<T>;
    const idx hbw = 3, n = 500;
    sym_band m = random_system(n, hbw, 51, false);
    for (idx r = 1; r <= n; r += 7) m.set(r, r, -m.get(r, r));
    const std::vector<cd> rhs = random_rhs(n, 1, 52, false);
    use_threads(4);
    problem<T> c(m, rhs, 1);
    problem<R> r(m, rhs, 1);
    within_time_limit([&] {
        c.solve();
        r.solve();
    });
    EXPECT_EQ(r.info, pchol::info_pivot_failed);
    ASSERT_EQ(c.info, pchol::info_ok);
    EXPECT_LE(residual(m, c.b, rhs, 1), 256 * eps_of<T>() * 10);
}

// ---- Systems near the ends of the range -----------------------------------------------

// Scales near either end of the range of T's parts, and on the way there.
template <class T>
std::vector<double> range_scales() {
    if constexpr (sizeof(part_t<T>) == 8)
        return {1e150, 1e-150, 1e200, 1e-200, 1e300, 1e-300};
    else
        return {1e18, 1e-18, 1e30, 1e-30};
}

sym_band scaled(sym_band m, double s) {
    for (cd& v : m.upper) v *= s;
    return m;
}
std::vector<cd> scaled(std::vector<cd> b, double s) {
    for (cd& v : b) v *= s;
    return b;
}

// A s X = B s has the solution of A X = B, but the divisions by diagonal
// entries see products and squared moduli far outside the range of their
// operands and quotients. With subnormal values kept, the block solver and
// the pipelined driver solve it as accurately as unscaled. With zero
// imaginary parts, in either subnormal mode, they are as accurate as the
// real solver of the same precision on the same real numbers, and the
// imaginary parts stay exactly zero. (Flushed, the smallest spike and fill
// values of a system scaled by 1e-300 are lost, by the real solver alike.)
TYPED_TEST(ComplexVariant, SystemsScaledTowardsTheEndsOfTheRange) {
    using T = TypeParam;
    using R = part_t<T>;
    const idx hbw = 4, n = 600, nrhs = 2;
    use_threads(2);
    const auto real_valued = [](const std::vector<T>& v) {
        return std::all_of(v.begin(), v.end(), [](const T& z) { return z.imag() == R(0); });
    };
    for (const i32 flush : {0, 1}) {
        set_subnormal_flush(flush);
        for (const bool cplx : {false, true}) {
            if (flush && cplx) continue;
            const sym_band m = random_system(n, hbw, 71 + cplx, cplx);
            const std::vector<cd> rhs = random_rhs(n, nrhs, 73, cplx);
            std::vector<cd> x = rhs;
            ASSERT_TRUE(reference_solve(m, x, nrhs));
            for (const double s : range_scales<T>()) {
                SCOPED_TRACE(::testing::Message() << (cplx ? "complex" : "real") << " system scaled by " << s
                                                  << ", flush " << flush);
                const sym_band ms = scaled(m, s);
                const std::vector<cd> bs = scaled(rhs, s);
                problem<T> blocks(ms, bs, nrhs), pipelined(ms, bs, nrhs);
                within_time_limit([&] {
                    blocks.solve();
                    pipelined.pipelined();
                });
                ASSERT_EQ(blocks.info, pchol::info_ok);
                ASSERT_EQ(pipelined.info, pchol::info_ok);
                if (!flush) {
                    EXPECT_LE(max_error(blocks.b, x), error_bound<T>(x, hbw));
                    EXPECT_LE(max_error(pipelined.b, x), error_bound<T>(x, hbw));
                }
                if (cplx) continue;
                problem<R> real(ms, bs, nrhs);
                within_time_limit([&] { real.solve(); });
                ASSERT_EQ(real.info, pchol::info_ok);
                // Within four times the real solver's error, or of one
                // rounding of the solution.
                const double real_error = std::max(max_error(real.b, x), eps_of<T>());
                EXPECT_LE(max_error(blocks.b, x), 4 * real_error);
                EXPECT_LE(max_error(pipelined.b, x), 4 * real_error);
                EXPECT_TRUE(real_valued(blocks.b));
                EXPECT_TRUE(real_valued(pipelined.b));
            }
        }
    }
}

// ---- Precisions agree -----------------------------------------------------------------

template <class Wide, class Narrow>
void expect_agreement(bool cplx) {
    const idx hbw = 8, n = 2000, nrhs = 2;
    const sym_band m = random_system(n, hbw, 61, cplx);
    const std::vector<cd> rhs = random_rhs(n, nrhs, 62, cplx);
    use_threads(2);
    problem<Wide> w(m, rhs, nrhs);
    problem<Narrow> s(m, rhs, nrhs);
    within_time_limit([&] {
        w.solve();
        s.solve();
    });
    ASSERT_EQ(w.info, pchol::info_ok);
    ASSERT_EQ(s.info, pchol::info_ok);
    double size = 1.0, worst = 0.0;
    for (std::size_t i = 0; i < w.b.size(); ++i) {
        size = std::max(size, std::abs(to_cd(w.b[i])));
        worst = std::max(worst, std::abs(to_cd(w.b[i]) - to_cd(s.b[i])));
    }
    EXPECT_LE(worst, 64 * eps_of<float>() * size);
    EXPECT_GT(worst, 0.0);  // they are different precisions after all
}

TEST(Precisions, ComplexDoubleAndComplexSingleAgree) { expect_agreement<std::complex<double>, std::complex<float>>(true); }
TEST(Precisions, DoubleAndSingleAgree) { expect_agreement<double, float>(false); }

// ---- Blocking -----------------------------------------------------------------------------
// Each test runs in a process of its own, so block_size starts unset. The
// blocking a solve used shows in the factor it leaves in A (the rows are
// factored in the block order): it equals, bit for bit, a one-thread run of
// the worker with that many rows per block, and differs from the others.

// Runs the worker of element type T on the calling thread alone with the
// given rows per block.
template <class T>
std::vector<T> factor_with_block_rows(const sym_band& m, const std::vector<cd>& rhs, i32 block_rows) {
    problem<T> p(m, rhs, 1);
    T* const A = p.a.data();
    T* const B = p.b.data();
    T* const links = p.work.data();
    T* const spikes = p.work.data() + idx{p.n} * p.hbw;
    i32 counter_mutex = 0;
    i32 sync_pair[2] = {0, 0};
    thr_mutex_create(counter_mutex);
    sync_create(sync_pair[0]);
    sync_create(sync_pair[1]);
    const i32 num_threads = 1;
    sync_reset(sync_pair[0], num_threads);
    i32 level_scale = 1, neighbour_dist = block_rows, sweep_stride = 2 * block_rows, level_first = 1, next_row = 1,
        back_row = 0;
    i32 fail_flags[2] = {0, 0};
    const part_t<T> tol = 0;
    entry<T>::worker(A, p.n, p.hbw, B, p.nrhs, links, spikes, counter_mutex, sync_pair, block_rows, num_threads,
                     level_scale, neighbour_dist, sweep_stride, level_first, next_row, back_row, tol, fail_flags);
    thr_mutex_close(counter_mutex);
    sync_destroy(sync_pair[0]);
    sync_destroy(sync_pair[1]);
    EXPECT_EQ(fail_flags[0] | fail_flags[1], 0);
    return p.a;
}

// Solves with element type T on `threads` threads and checks that the solve
// used `block_rows` rows per block at hbw = 8.
template <class T>
void expect_block_rows(i32 threads, i32 block_rows) {
    SCOPED_TRACE(::testing::Message() << "variant " << entry<T>::variant << ", " << threads << " threads");
    const idx hbw = 8, n = 400;
    const sym_band m = random_system(n, hbw, 71, is_complex<T>::value);
    const std::vector<cd> rhs = random_rhs(n, 1, 72, is_complex<T>::value);
    use_threads(threads);
    problem<T> p(m, rhs, 1);
    within_time_limit([&] { p.solve(); });
    ASSERT_EQ(p.info, pchol::info_ok);
    for (const i32 rows : {9, 32, 72}) {
        const bool same = same_bits(p.a, factor_with_block_rows<T>(m, rhs, rows));
        EXPECT_EQ(same, rows == block_rows) << rows << " rows per block";
    }
}

TEST(Blocking, ComplexFirstOnTwoThreadsFixes16) {
    expect_block_rows<std::complex<double>>(2, 32);
    expect_block_rows<std::complex<double>>(8, 32);
    expect_block_rows<std::complex<float>>(5, 32);
    expect_block_rows<double>(1, 32);
    expect_block_rows<float>(3, 32);
}

TEST(Blocking, ComplexFirstOnOneThreadFixes16) {
    expect_block_rows<std::complex<float>>(1, 32);
    expect_block_rows<std::complex<float>>(4, 32);
}

TEST(Blocking, ComplexFirstOnThreeThreadsFixes8) {
    expect_block_rows<std::complex<float>>(3, 9);
    expect_block_rows<std::complex<double>>(1, 9);
    expect_block_rows<double>(2, 9);
}

TEST(Blocking, RealDoubleFirstFixes24) {
    expect_block_rows<double>(1, 72);
    expect_block_rows<std::complex<double>>(1, 72);
    expect_block_rows<std::complex<float>>(6, 72);
}

TEST(Blocking, RealSingleFirstFixes24) {
    expect_block_rows<float>(7, 72);
    expect_block_rows<std::complex<float>>(2, 72);
    expect_block_rows<double>(3, 72);
}

}  // namespace

#include "pchol/test_system.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

namespace {

struct system_storage {
    system_storage(std::int32_t n_, std::int32_t hbw_, std::int32_t nrhs_)
        : n(n_), hbw(hbw_), nrhs(nrhs_),
          A(static_cast<std::size_t>(n_) + static_cast<std::size_t>(n_ - 1) * static_cast<std::size_t>(hbw_), -1.0f),
          B(static_cast<std::size_t>(n_) * static_cast<std::size_t>(nrhs_), -1.0f),
          X(static_cast<std::size_t>(n_) * static_cast<std::size_t>(nrhs_), -1.0f) {}
    void make() { make_test_system(A.data(), B.data(), X.data(), n, hbw, nrhs); }
    // Entry (r, c) of the band, counting from 1.
    float a(std::int64_t r, std::int64_t c) const { return A[static_cast<std::size_t>((r - 1) * hbw + c - 1)]; }
    std::int32_t n, hbw, nrhs;
    std::vector<float> A, B, X;
};

TEST(TestSystem, SmallBandMatrixHasTheGramEntries) {
    system_storage s(4, 2, 1);
    s.make();
    const std::vector<float> expected = {10, 2, 1, 80, 4, 4, 30, 4, /* past column n */ 1, 120};
    EXPECT_EQ(s.A, expected);
}

TEST(TestSystem, HalfBandwidthEightEntries) {
    system_storage s(40, 8, 1);
    s.make();
    EXPECT_EQ(s.a(1, 1), 10.0f);
    EXPECT_EQ(s.a(1, 2), 2.0f);
    EXPECT_EQ(s.a(2, 2), 80.0f);
    EXPECT_EQ(s.a(8, 8), 5120.0f);
    EXPECT_EQ(s.a(9, 9), 90.0f);
    EXPECT_EQ(s.a(10, 10), 360.0f);
    EXPECT_EQ(s.a(16, 16), 5760.0f);
    EXPECT_EQ(s.a(2, 10), 4.0f);
    EXPECT_EQ(s.a(9, 17), 1.0f);
}

TEST(TestSystem, GeneratorStartsFromItsSeed) {
    pchol::test_generator g;
    EXPECT_EQ(g.next(), 219035772.0 * 0x1p-31);
    EXPECT_EQ(g.next(), 1242018772.0 * 0x1p-31);
    system_storage s(3, 1, 2);
    s.make();
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s.X[0]), 0x3DD0E388u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s.X[1]), 0x3F140F68u);
    for (float x : s.X) {
        EXPECT_GT(x, 0.0f);
        EXPECT_LE(x, 1.0f);
    }
}

TEST(TestSystem, RightHandSideIsTheProductWithTheExactSolution) {
    system_storage s(50, 3, 2);
    s.make();
    // B = A X with A's full symmetric band, checked in double.
    for (std::int32_t j = 0; j < s.nrhs; ++j) {
        for (std::int64_t k = 1; k <= s.n; ++k) {
            double t = 0;
            for (std::int64_t c = std::max<std::int64_t>(1, k - s.hbw); c <= std::min<std::int64_t>(s.n, k + s.hbw); ++c) {
                const float entry = c >= k ? s.a(k, c) : s.a(c, k);
                t += static_cast<double>(entry) * s.X[static_cast<std::size_t>(j * s.n + c - 1)];
            }
            EXPECT_NEAR(s.B[static_cast<std::size_t>(j * s.n + k - 1)], t, 1e-6 * t) << "row " << k;
        }
    }
}

TEST(TestSystem, BenchmarkSizesGiveThePinnedRightHandSide) {
#ifdef PCHOL_TEST_SMALL
    // The pinned values only need the first rows; a smaller n gives the same ones.
    system_storage s(100, 8, 1);
#else
    system_storage s(2000000, 8, 1);
#endif
    s.make();
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s.B[0]), 0x41829207u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s.B[1]), 0x42D3E203u);
    const std::vector<float> A1 = s.A, B1 = s.B, X1 = s.X;
    // A second call, over what the first left, rebuilds the same system bit for bit.
    s.B.assign(s.B.size(), 123.0f);
    s.make();
    EXPECT_TRUE(s.A == A1);
    EXPECT_TRUE(s.B == B1);
    EXPECT_TRUE(s.X == X1);
}

TEST(TestSystem, ZeroHalfBandwidthAndEmptySystems) {
    system_storage s(3, 0, 1);
    s.make();
    EXPECT_EQ(s.A, (std::vector<float>{10, 10, 10}));
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(s.B[k], static_cast<float>(10.0 * s.X[k]));

    std::vector<float> untouched(4, -1.0f);
    make_test_system(untouched.data(), untouched.data(), untouched.data(), 0, 8, 1);
    EXPECT_EQ(untouched, std::vector<float>(4, -1.0f));
}

}  // namespace

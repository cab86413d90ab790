// The block kernels on their own, for every element type the library
// instantiates: results against a dense double-precision factor, the values
// the kernels pin (roots, failing pivots, untouched rows and slots).
#include "pchol/band_kernels.hpp"
#include "reference.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using namespace pchol_test;

template <class T>
class BandKernels : public ::testing::Test {
protected:
    static constexpr double eps = std::numeric_limits<T>::epsilon();
    static T nan() { return std::numeric_limits<T>::quiet_NaN(); }
};

using element_types = ::testing::Types<float, double>;
TYPED_TEST_SUITE(BandKernels, element_types);

template <class T>
void factor(std::vector<T>& a, std::int32_t hbw, std::int32_t first, std::int32_t last, std::int32_t (&flags)[2],
            T tol = T(0)) {
    pchol::band_factor_block(a.data(), hbw, first, last, tol, flags, 1);
}

// A block in the middle of the band: its factor matches the dense factor of
// its rows and columns alone, and nothing outside it is read or written (the
// rows around it and its coupling entries with later columns hold NaN).
TYPED_TEST(BandKernels, FactorBlockMatchesDenseFactorAndStaysInside) {
    using T = TypeParam;
    const idx n = 40, hbw = 5, first = 11, last = 27;
    const band_matrix m = random_spd(n, hbw, 7);
    std::vector<T> a = to_band<T>(m);
    auto inside = [&](idx r, idx c) { return r >= first && r <= last && c <= last; };
    for (idx r = 1; r <= n; ++r)
        for (idx c = r; c <= r + hbw && band_pos(hbw, r, c) < idx(a.size()); ++c)
            if (!inside(r, c)) a[band_pos(hbw, r, c)] = this->nan();
    const std::vector<T> before = a;

    std::int32_t flags[2] = {0, 0};
    factor(a, hbw, first, last, flags);
    EXPECT_EQ(flags[0], 0);

    const std::vector<double> u = dense_factor(m, first, last);
    const idx k = last - first + 1;
    for (idx p = 0; p < idx(a.size()); ++p) {
        const idx r = p / (hbw + 1) + 1, c = r + p % (hbw + 1);
        if (inside(r, c)) {
            const double want = u[(r - first) * k + (c - first)];
            EXPECT_NEAR(double(a[p]), want, 64 * this->eps * (1 + std::abs(want))) << "entry " << r << "," << c;
        } else {
            EXPECT_TRUE(same_bits(a[p], before[p])) << "entry " << r << "," << c << " was written";
        }
    }
}

TYPED_TEST(BandKernels, EmptyAndOneRowBlocks) {
    using T = TypeParam;
    const idx hbw = 3;
    std::vector<T> a = to_band<T>(random_spd(8, hbw, 3));
    a[band_pos(hbw, 5, 5)] = T(9);
    std::vector<T> want = a;
    want[band_pos(hbw, 5, 5)] = T(3);
    std::int32_t flags[2] = {0, 0};

    std::vector<T> untouched = a;
    factor(untouched, hbw, 5, 4, flags);  // last < first
    for (std::size_t p = 0; p < a.size(); ++p) EXPECT_TRUE(same_bits(untouched[p], a[p]));

    factor(a, hbw, 5, 5, flags);
    EXPECT_EQ(flags[0], 0);
    for (std::size_t p = 0; p < a.size(); ++p) EXPECT_TRUE(same_bits(a[p], want[p])) << "position " << p;
}

// hbw = 0: the factor is the root of every diagonal entry, and each
// substitution divides by it once.
TYPED_TEST(BandKernels, ZeroBandwidth) {
    using T = TypeParam;
    std::vector<T> a = {T(1), T(4), T(9), T(16), T(25)};
    std::vector<T> b = {T(3), T(8), T(9), T(4), T(50)};
    std::int32_t flags[2] = {0, 0};
    factor(a, 0, 1, 5, flags);
    EXPECT_EQ(flags[0], 0);
    EXPECT_EQ(a, (std::vector<T>{T(1), T(2), T(3), T(4), T(5)}));
    pchol::rhs_forward_block(a.data(), 0, 1, 5, b.data(), 5, 1);
    EXPECT_EQ(b, (std::vector<T>{T(3), T(4), T(3), T(1), T(10)}));
    pchol::rhs_backward_block(a.data(), 0, 1, 5, b.data(), 5, 1);
    EXPECT_EQ(b, (std::vector<T>{T(3), T(2), T(1), T(0.25), T(2)}));
}

// The pivot test: d <= tol fails (a pivot equal to tol, zero, negative zero
// and negative pivots); an ordered comparison lets NaN through.
TYPED_TEST(BandKernels, PivotTest) {
    using T = TypeParam;
    struct pivot_case {
        T d;
        T tol;
        bool fails;
    };
    const pivot_case cases[] = {
        {T(2), T(2), true},       {T(0), T(0), true},        {T(-0.0), T(0), true},
        {T(-1), T(0), true},      {T(2.5), T(2), false},     {std::numeric_limits<T>::denorm_min(), T(0), false},
        {this->nan(), T(0), false},
    };
    for (const pivot_case& pc : cases) {
        // Two rows, hbw = 1: [d 0; 0 5] (a NaN in row 1 still reaches row 2).
        std::vector<T> a = {pc.d, T(0), T(5)};
        std::int32_t flags[2] = {0, 0};
        pchol::band_factor_block(a.data(), 1, 1, 2, pc.tol, flags, 2);
        EXPECT_EQ(flags[0], 0);
        EXPECT_EQ(flags[1], pc.fails ? -1 : 0) << "pivot " << pc.d << " tol " << pc.tol;
        if (pc.fails) {
            EXPECT_TRUE(same_bits(a[0], pc.d));
            EXPECT_EQ(a[1], T(0));
            EXPECT_EQ(a[2], T(5));
        } else if (std::isnan(pc.d)) {
            EXPECT_TRUE(std::isnan(a[0]));
            EXPECT_TRUE(std::isnan(a[2]));  // the factorisation went on past the NaN
        }
    }
}

// A failure at row 3 (pivot 1 - 1 - 0 = 0): row 3 carries its updates but is
// not scaled, rows 4 and 5 are untouched, and the flag is never cleared.
TYPED_TEST(BandKernels, FailureLeavesLaterRowsUntouched) {
    using T = TypeParam;
    // hbw = 2, rows (d, +1, +2): A11 1, A12 1, A13 1; A22 2, A23 1, A24 3;
    // A33 1, A34 5, A35 7; A44 9, A45 2; A55 4.
    std::vector<T> a = {T(1), T(1), T(1), T(2), T(1), T(3), T(1), T(5), T(7), T(9), T(2), T(4), T(-8)};
    std::vector<T> want = a;
    // U11 = 1, U12 = 1, U13 = 1; U22 = 1, U23 = 0, U24 = 3; row 3 after its
    // updates: A33 = 1 - 1 - 0 = 0, A34 = 5 - U23 * U24 = 5, A35 = 7.
    want[0] = T(1), want[1] = T(1), want[2] = T(1);
    want[3] = T(1), want[4] = T(0), want[5] = T(3);
    want[6] = T(0);
    std::int32_t flags[2] = {0, 0};
    factor(a, 2, 1, 5, flags);
    EXPECT_EQ(flags[0], -1);
    for (std::size_t p = 0; p < a.size(); ++p) EXPECT_TRUE(same_bits(a[p], want[p])) << "position " << p;

    // A later successful block leaves the flag set.
    std::vector<T> ok = {T(4)};
    factor(ok, 0, 1, 1, flags);
    EXPECT_EQ(flags[0], -1);
}

// The gathers copy exactly the coupling entries of the dense matrix (zero
// outside the band) and write no other row.
TYPED_TEST(BandKernels, GathersCopyTheCoupling) {
    using T = TypeParam;
    const idx n = 30, hbw = 4, first = 9, last = 17;
    const band_matrix m = random_spd(n, hbw, 11);
    const std::vector<T> a = to_band<T>(m);
    std::vector<T> spikes(n * hbw, this->nan());
    pchol::gather_left_coupling(a.data(), hbw, first, last, spikes.data(), n);
    pchol::gather_right_coupling(a.data(), hbw, first, last, n, spikes.data());
    for (idx q = 1; q <= hbw; ++q) {
        for (idx r = 1; r <= n; ++r) {
            const T s = spikes[(q - 1) * n + r - 1];
            if (r >= first && r <= last) {
                EXPECT_EQ(s, T(m.get(first - hbw - 1 + q, r))) << r << "," << q;
            } else if (r > last && r <= last + hbw) {
                EXPECT_EQ(s, T(m.get(last - hbw + q, r))) << r << "," << q;
            } else {
                EXPECT_TRUE(std::isnan(s)) << r << "," << q;
            }
        }
    }

    // The last block of the matrix has nothing after it.
    std::vector<T> untouched(n * hbw, this->nan());
    pchol::gather_right_coupling(a.data(), hbw, 27, 30, n, untouched.data());
    pchol::gather_right_coupling(a.data(), hbw, 18, 30, n, untouched.data());
    for (const T s : untouched) EXPECT_TRUE(std::isnan(s));
}

// The substitutions solve with the factor that band_factor_block left in the
// band: U^T y = b for the forward kernels, U x = y backward, checked by
// multiplying back with the factor. Rows outside the block are not written.
TYPED_TEST(BandKernels, SubstitutionsInvertTheBlockFactor) {
    using T = TypeParam;
    const idx n = 36, hbw = 6, first = 8, last = 29, nrhs = 3;
    std::vector<T> a = to_band<T>(random_spd(n, hbw, 5));
    std::int32_t flags[2] = {0, 0};
    factor(a, hbw, first, last, flags);
    ASSERT_EQ(flags[0], 0);
    auto U = [&](idx r, idx c) -> double {
        return (c < r || c - r > hbw || c > last) ? 0.0 : double(a[band_pos(hbw, r, c)]);
    };
    // Checks column by column that op(x) = b on the block and x = b elsewhere.
    auto expect_solved = [&](const std::vector<T>& x, const std::vector<double>& b, idx columns, bool transposed,
                             const char* what) {
        for (idx k = 0; k < columns; ++k) {
            for (idx r = 1; r <= n; ++r) {
                const double want = b[k * n + r - 1];
                if (r < first || r > last) {
                    EXPECT_EQ(x[k * n + r - 1], T(want)) << what << " wrote row " << r;
                    continue;
                }
                double s = 0.0;
                if (transposed)
                    for (idx j = std::max(first, r - hbw); j <= r; ++j) s += U(j, r) * double(x[k * n + j - 1]);
                else
                    for (idx c = r; c <= std::min(r + hbw, last); ++c) s += U(r, c) * double(x[k * n + c - 1]);
                EXPECT_NEAR(s, want, 32 * this->eps * (1 + max_abs(b))) << what << " row " << r;
            }
        }
    };

    const std::vector<double> b = random_rhs(n, nrhs, 21);
    std::vector<T> x(b.begin(), b.end());
    pchol::rhs_forward_block(a.data(), hbw, first, last, x.data(), n, nrhs);
    expect_solved(x, b, nrhs, true, "rhs_forward_block");
    const std::vector<double> y(x.begin(), x.end());
    pchol::rhs_backward_block(a.data(), hbw, first, last, x.data(), n, nrhs);
    expect_solved(x, y, nrhs, false, "rhs_backward_block");

    const std::vector<double> s0 = random_rhs(n, hbw, 22);
    std::vector<T> s(s0.begin(), s0.end());
    pchol::spike_solve(a.data(), hbw, first, last, s.data(), n);
    expect_solved(s, s0, hbw, true, "spike_solve");
}

// coupling_solve: every row r1..r2 of spikes, as a right-hand side of length
// hbw, is solved with the transposed trailing triangle of the block's factor.
TYPED_TEST(BandKernels, CouplingSolveUsesTheTrailingTriangle) {
    using T = TypeParam;
    const idx n = 30, hbw = 5, first = 3, last = 14, r1 = 15, r2 = 19;
    std::vector<T> a = to_band<T>(random_spd(n, hbw, 9));
    std::int32_t flags[2] = {0, 0};
    factor(a, hbw, first, last, flags);
    ASSERT_EQ(flags[0], 0);
    const std::vector<double> s0 = random_rhs(n, hbw, 4);
    std::vector<T> s(s0.begin(), s0.end());
    pchol::coupling_solve(a.data(), hbw, last, r1, r2, s.data(), n);
    const idx t1 = last - hbw + 1;
    for (idx r = 1; r <= n; ++r) {
        for (idx q = 1; q <= hbw; ++q) {
            const double b = s0[(q - 1) * n + r - 1];
            if (r < r1 || r > r2) {
                EXPECT_EQ(s[(q - 1) * n + r - 1], T(b));
                continue;
            }
            double sum = 0.0;  // (T^T x)(q), T(q', q) = A(t_q', t_q)
            for (idx qp = 1; qp <= q; ++qp)
                sum += double(a[band_pos(hbw, t1 + qp - 1, t1 + q - 1)]) * double(s[(qp - 1) * n + r - 1]);
            EXPECT_NEAR(sum, b, 32 * this->eps * (1 + std::abs(b))) << r << "," << q;
        }
    }
}

}  // namespace

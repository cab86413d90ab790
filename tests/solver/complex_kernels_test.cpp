// The block kernels in the two complex element types: a symmetric matrix
// that is not Hermitian is factored with plain products (U^T U = A with A's
// entries as they are), the pivot test looks at the modulus only, and the
// pivot's root is the principal one.
#include "family_reference.hpp"
#include "pchol/band_kernels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using namespace family_test;

template <class T>
class ComplexKernels : public ::testing::Test {};

using complex_types = ::testing::Types<std::complex<double>, std::complex<float>>;
TYPED_TEST_SUITE(ComplexKernels, complex_types);

// U^T U of a factored block, with the plain transpose, against the block of m.
template <class T>
double factor_mismatch(const std::vector<T>& a, const sym_band& m) {
    const idx n = m.n, w = m.hbw;
    auto U = [&](idx r, idx c) { return (c < r || c - r > w) ? cd(0.0) : to_cd(a[band_pos(w, r, c)]); };
    double worst = 0.0;
    for (idx r = 1; r <= n; ++r)
        for (idx c = r; c <= std::min(r + w, n); ++c) {
            cd s = 0.0;
            for (idx k = std::max<idx>(1, c - w); k <= r; ++k) s += U(k, r) * U(k, c);
            worst = std::max(worst, std::abs(s - m.get(r, c)));
        }
    return worst;
}

TYPED_TEST(ComplexKernels, NonHermitianBlockFactorsWithThePlainTranspose) {
    using T = TypeParam;
    const idx n = 12, hbw = 3;
    sym_band m = random_system(n, hbw, 11, true);
    // (1, 2) = (2, 1) = 1 + 2i: a Hermitian reading would take 1 - 2i for (2, 1).
    m.set(1, 2, cd(1.0, 2.0));
    std::vector<T> a = to_band<T>(m);
    std::int32_t flags[2] = {0, 0};
    pchol::band_factor_block<T>(a.data(), std::int32_t(hbw), 1, std::int32_t(n), 0, flags, 1);
    ASSERT_EQ(flags[0], 0);
    EXPECT_LT(factor_mismatch(a, m), 64 * eps_of<T>() * 10);

    // The block's two substitutions then solve A x = b with the same A.
    const std::vector<cd> b = random_rhs(n, 1, 5, true);
    std::vector<T> x = convert<T>(b);
    const std::int32_t nn = std::int32_t(n), w = std::int32_t(hbw), one = 1, nrhs = 1;
    pchol::rhs_forward_block<T>(a.data(), w, one, nn, x.data(), nn, nrhs);
    pchol::rhs_backward_block<T>(a.data(), w, one, nn, x.data(), nn, nrhs);
    EXPECT_LT(residual(m, x, b, 1), 256 * eps_of<T>() * 10);
}

TYPED_TEST(ComplexKernels, PivotTestOnTheModulusAndPrincipalRoot) {
    using T = TypeParam;
    using P = part_t<T>;
    auto factor_one = [](T d, std::int32_t& flag) {
        std::vector<T> a{d};
        std::int32_t flags[2] = {0, 0};
        const std::int32_t hbw = 0, row = 1;
        pchol::band_factor_block<T>(a.data(), hbw, row, row, 0, flags, row);
        flag = flags[0];
        return a[0];
    };
    std::int32_t flag = 0;

    // A negative real pivot is accepted: its root is 0 + 2i.
    T r = factor_one(T(-4, 0), flag);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(r, T(0, 2));

    // A purely imaginary pivot: the principal root has a positive real part.
    r = factor_one(T(0, 8), flag);
    EXPECT_EQ(flag, 0);
    EXPECT_NEAR(double(r.real()), 2.0, 4 * eps_of<T>());
    EXPECT_NEAR(double(r.imag()), 2.0, 4 * eps_of<T>());

    // Only a modulus of zero fails: both parts zero, of either sign.
    factor_one(T(0, 0), flag);
    EXPECT_EQ(flag, -1);
    factor_one(T(-P(0), -P(0)), flag);
    EXPECT_EQ(flag, -1);

    // Parts whose squares underflow still make a non-zero modulus.
    const P tiny = std::numeric_limits<P>::denorm_min();
    factor_one(T(tiny, 0), flag);
    EXPECT_EQ(flag, 0);
    factor_one(T(0, -tiny), flag);
    EXPECT_EQ(flag, 0);

    // A NaN modulus compares unordered and does not fail.
    r = factor_one(T(std::numeric_limits<P>::quiet_NaN(), 0), flag);
    EXPECT_EQ(flag, 0);
    EXPECT_TRUE(std::isnan(r.real()) || std::isnan(r.imag()));
}

// A pivot that becomes 0 + 0i only after the updates of the rows above it
// fails, and the rows after it are left as they were.
TYPED_TEST(ComplexKernels, PivotCancellingToZeroFails) {
    using T = TypeParam;
    // Row 1: (1,1) = 1, (1,2) = 1 + 1i; row 2: (2,2) = (1 + 1i)^2 = 2i,
    // so that (2,2) - (1,2)^2 is exactly 0 + 0i.
    const std::int32_t hbw = 1, first = 1, last = 3;
    std::vector<T> a{T(1, 0), T(1, 1), T(0, 2), T(5, 0), T(7, 0)};
    const std::vector<T> before = a;
    std::int32_t flags[2] = {0, 0};
    pchol::band_factor_block<T>(a.data(), hbw, first, last, 0, flags, 2);
    EXPECT_EQ(flags[0], 0);
    EXPECT_EQ(flags[1], -1);
    EXPECT_EQ(a[2], T(0, 0));
    EXPECT_EQ(a[3], before[3]);
    EXPECT_EQ(a[4], before[4]);
}

}  // namespace

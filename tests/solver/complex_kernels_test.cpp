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
#include <cstring>
#include <limits>
#include <random>
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

// x / d through the library (a one-row block substitution) and by the
// division formula written step by step through volatile stores, so that
// no compiler fuses or reorders any of it.
template <class T>
T library_quotient(T x, T d) {
    std::vector<T> a{d}, b{x};
    const std::int32_t hbw = 0, row = 1;
    pchol::rhs_forward_block<T>(a.data(), hbw, row, row, b.data(), row, row);
    return b[0];
}
template <class T>
T formula_quotient(T x, T d) {
    using P = part_t<T>;
    const double xr = x.real(), xi = x.imag(), dr = d.real(), di = d.imag();
    volatile double p1 = dr * dr, p2 = di * di;
    volatile double den = p1 + p2;
    volatile double t = 1.0 / den;
    volatile double a1 = xr * dr, a2 = xi * di, b1 = xi * dr, b2 = xr * di;
    volatile double re = a1 + a2, im = b1 - b2;
    volatile double qr = re * t, qi = im * t;
    return T(P(qr), P(qi));
}

// A random element whose parts have random signs, random significands and
// binary exponents in [lo, hi].
template <class T>
T random_scaled(std::mt19937_64& gen, int lo, int hi) {
    using P = part_t<T>;
    std::uniform_int_distribution<int> e(lo, hi), sign(0, 1);
    std::uniform_real_distribution<double> m(1.0, 2.0);
    auto part = [&] { return P(std::ldexp(sign(gen) ? -m(gen) : m(gen), e(gen))); };
    const P re = part();
    return T(re, part());
}

// The division by a diagonal entry keeps the formula's bits where its
// products and dr^2 + di^2 stay normal (for complex single, over the whole
// range of the parts), and where the formula would overflow or underflow
// gives the quotient, accurate to a few roundings of its modulus.
TYPED_TEST(ComplexKernels, DivisionByTheDiagonal) {
    using T = TypeParam;
    using P = part_t<T>;
    std::mt19937_64 gen(17);
    const bool single = sizeof(P) == 4;
    const int lo = single ? -149 : -250, hi = single ? 127 : 250;
    for (int k = 0; k < 20000; ++k) {
        const T x = random_scaled<T>(gen, lo, hi), d = random_scaled<T>(gen, lo, hi);
        const T q = library_quotient(x, d), f = formula_quotient(x, d);
        ASSERT_EQ(std::memcmp(&q, &f, sizeof q), 0) << x << " / " << d << ": " << q << " against " << f;
    }
    if (single) return;
    // Dividends near the ends of the range by divisors of moderate size,
    // whose products stay normal: the formula's bits too.
    std::uniform_int_distribution<int> scale(-700, 700);
    for (int k = 0; k < 20000; ++k) {
        const int e = scale(gen);
        const T x = random_scaled<T>(gen, e - 40, e + 40), d = random_scaled<T>(gen, -100, 100);
        const T q = library_quotient(x, d), f = formula_quotient(x, d);
        ASSERT_EQ(std::memcmp(&q, &f, sizeof q), 0) << x << " / " << d << ": " << q << " against " << f;
    }
    // Operands near the ends of the range, quotients inside it.
    using L = long double;
    for (int k = 0; k < 20000; ++k) {
        const T x = random_scaled<T>(gen, -1000, 1000), d = random_scaled<T>(gen, -1000, 1000);
        const std::complex<L> xl(x.real(), x.imag()), dl(d.real(), d.imag());
        const std::complex<L> want = xl / dl;
        if (std::abs(want) > L(1e300) || std::abs(want) < L(1e-300)) continue;
        const T q = library_quotient(x, d);
        const L error = std::abs(std::complex<L>(q.real(), q.imag()) - want) / std::abs(want);
        ASSERT_LE(error, L(4 * eps_of<T>())) << x << " / " << d << ": " << q;
    }
}

}  // namespace

// Independent reference for the solver tests: symmetric band matrices held
// in double, a plain Cholesky factorisation in natural row order (in any
// precision), and helpers to move matrices into the solver's band layout.
#pragma once

#include "band_cholesky.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace pchol_test {

using idx = std::int64_t;

// A symmetric matrix with half bandwidth hbw; entries outside the band are 0.
struct band_matrix {
    idx n = 0;
    idx hbw = 0;
    std::vector<double> upper;  // row r from its diagonal: upper[(r - 1) * (hbw + 1) + (c - r)]

    band_matrix(idx n_, idx hbw_) : n(n_), hbw(hbw_), upper(static_cast<std::size_t>(std::max<idx>(n_, 0) * (hbw_ + 1)), 0.0) {}

    double get(idx r, idx c) const {
        if (r > c) std::swap(r, c);
        if (c - r > hbw || r < 1 || c > n) return 0.0;
        return upper[static_cast<std::size_t>((r - 1) * (hbw + 1) + (c - r))];
    }
    void set(idx r, idx c, double v) {
        if (r > c) std::swap(r, c);
        upper[static_cast<std::size_t>((r - 1) * (hbw + 1) + (c - r))] = v;
    }
};

// Length of the band array the solver takes (at least 1, so that data() of
// an empty system is still a valid pointer).
inline idx band_length(idx n, idx hbw) { return std::max<idx>((n - 1) * hbw + n, 1); }

// Position of entry (r, c) in the band array.
inline idx band_pos(idx hbw, idx r, idx c) { return (r - 1) * hbw + c - 1; }

// A random symmetric, strictly diagonally dominant (so positive-definite)
// band matrix whose entries are exact in single precision. The off-diagonal
// entries are mostly negative and the diagonal exceeds the sum of their
// magnitudes by little, like a diffusion operator: the inverse decays slowly,
// so rows a few blocks apart still couple visibly and a wrong coupling shows
// in the solution.
inline band_matrix random_spd(idx n, idx hbw, std::uint64_t seed) {
    band_matrix m(n, hbw);
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> off(-1.0, 0.25);
    std::uniform_real_distribution<double> extra(0.01, 0.1);
    for (idx r = 1; r <= n; ++r)
        for (idx c = r + 1; c <= std::min(r + hbw, n); ++c) m.set(r, c, static_cast<float>(off(gen)));
    for (idx r = 1; r <= n; ++r) {
        double s = 0.0;
        for (idx c = std::max<idx>(1, r - hbw); c <= std::min(r + hbw, n); ++c)
            if (c != r) s += std::abs(m.get(r, c));
        m.set(r, r, static_cast<float>(s + extra(gen)));
    }
    return m;
}

// The matrix in the solver's band layout. Slots past column n in the last
// rows hold `beyond`.
template <class T>
std::vector<T> to_band(const band_matrix& m, T beyond = T(0)) {
    std::vector<T> a(static_cast<std::size_t>(band_length(m.n, m.hbw)), beyond);
    for (idx r = 1; r <= m.n; ++r)
        for (idx c = r; c <= std::min(r + m.hbw, m.n); ++c)
            a[static_cast<std::size_t>(band_pos(m.hbw, r, c))] = static_cast<T>(m.get(r, c));
    return a;
}

// Random right-hand sides, n by nrhs, column-major, exact in single precision.
inline std::vector<double> random_rhs(idx n, idx nrhs, std::uint64_t seed) {
    std::vector<double> b(static_cast<std::size_t>(std::max<idx>(n * nrhs, 0)));
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (double& v : b) v = static_cast<float>(dist(gen));
    return b;
}

// Plain Cholesky A = U^T U in natural row order, every value held in R.
// Returns false when a pivot is not positive.
template <class R>
bool cholesky_solve(const band_matrix& m, std::vector<R>& b, idx nrhs) {
    return test_support::band_cholesky_solve(
        m.n, m.hbw, [&](idx r, idx c) { return m.get(r, c); }, b, nrhs, [](R d) { return !(d > R(0)); });
}

// Dense upper Cholesky factor (row-major n by n, zero below the diagonal) of
// the rows and columns first..last of m, in double.
inline std::vector<double> dense_factor(const band_matrix& m, idx first, idx last) {
    const idx k = last - first + 1;
    std::vector<double> u(static_cast<std::size_t>(k * k), 0.0);
    auto U = [&](idx r, idx c) -> double& { return u[static_cast<std::size_t>(r * k + c)]; };
    for (idx r = 0; r < k; ++r)
        for (idx c = r; c < k; ++c) U(r, c) = m.get(first + r, first + c);
    for (idx i = 0; i < k; ++i) {
        for (idx j = 0; j < i; ++j)
            for (idx c = i; c < k; ++c) U(i, c) -= U(j, c) * U(j, i);
        U(i, i) = std::sqrt(U(i, i));
        for (idx c = i + 1; c < k; ++c) U(i, c) /= U(i, i);
    }
    return u;
}

// The solution of m X = rhs in double precision, and the bound the solver's
// error must meet: a few times the error of a plain single-precision
// Cholesky of the same system, and never less than a few units of single
// precision relative to the solution.
struct reference_solution {
    std::vector<double> x;
    double plain_error = 0.0;
    double bound = 0.0;
};

inline reference_solution solve_reference(const band_matrix& m, const std::vector<double>& rhs, idx nrhs);

// Largest absolute entry.
template <class V>
double max_abs(const V& v) {
    double m = 0.0;
    for (auto x : v) m = std::max(m, std::abs(static_cast<double>(x)));
    return m;
}

inline reference_solution solve_reference(const band_matrix& m, const std::vector<double>& rhs, idx nrhs) {
    reference_solution ref;
    ref.x = rhs;
    std::vector<float> plain(rhs.begin(), rhs.end());
    if (!cholesky_solve(m, ref.x, nrhs) || !cholesky_solve(m, plain, nrhs)) return ref;
    for (std::size_t i = 0; i < rhs.size(); ++i)
        ref.plain_error = std::max(ref.plain_error, std::abs(double(plain[i]) - ref.x[i]));
    ref.bound = std::max(6 * ref.plain_error, 16 * 0x1p-24 * max_abs(ref.x));
    return ref;
}

// Largest |x - reference|; NaN when x holds a NaN.
template <class V>
double max_error(const V& x, const std::vector<double>& reference) {
    double worst = 0.0;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        const double e = std::abs(double(x[i]) - reference[i]);
        if (!(e <= worst)) worst = e;
    }
    return worst;
}

template <class T>
bool same_bits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

}  // namespace pchol_test

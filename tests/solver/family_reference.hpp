// Independent reference for the solvers of every element type: symmetric
// band matrices held in complex double (a real system has zero imaginary
// parts), a plain complex-symmetric Cholesky A = U^T U in natural row order
// written with std::complex arithmetic, and the residual of a computed
// solution against the matrix entries as they are (no conjugation).
#pragma once

#include "band_cholesky.hpp"
#include "pchol/band_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

namespace family_test {

using idx = std::int64_t;
using cd = std::complex<double>;

template <class T>
struct is_complex : std::false_type {};
template <class R>
struct is_complex<std::complex<R>> : std::true_type {};

// The type of an element's parts (the element type itself when real).
template <class T>
using part_t = pchol::real_of_t<T>;

// Machine epsilon of the storage precision of T.
template <class T>
constexpr double eps_of() {
    return std::numeric_limits<part_t<T>>::epsilon();
}

template <class T>
T from_cd(cd v) {
    if constexpr (is_complex<T>::value)
        return T(static_cast<part_t<T>>(v.real()), static_cast<part_t<T>>(v.imag()));
    else
        return static_cast<T>(v.real());
}
template <class T>
cd to_cd(T v) {
    if constexpr (is_complex<T>::value)
        return cd(double(v.real()), double(v.imag()));
    else
        return cd(double(v), 0.0);
}

// A symmetric matrix (A(r, c) = A(c, r), not conjugated) with half bandwidth
// hbw; entries outside the band are 0.
struct sym_band {
    idx n = 0;
    idx hbw = 0;
    std::vector<cd> upper;  // row r from its diagonal: upper[(r - 1) * (hbw + 1) + (c - r)]

    sym_band(idx n_, idx hbw_)
        : n(n_), hbw(hbw_), upper(static_cast<std::size_t>(std::max<idx>(n_, 0) * (hbw_ + 1))) {}

    cd get(idx r, idx c) const {
        if (r > c) std::swap(r, c);
        if (c - r > hbw || r < 1 || c > n) return 0.0;
        return upper[static_cast<std::size_t>((r - 1) * (hbw + 1) + (c - r))];
    }
    void set(idx r, idx c, cd v) {
        if (r > c) std::swap(r, c);
        upper[static_cast<std::size_t>((r - 1) * (hbw + 1) + (c - r))] = v;
    }
};

inline idx band_length(idx n, idx hbw) { return std::max<idx>((n - 1) * hbw + n, 1); }
inline idx band_pos(idx hbw, idx r, idx c) { return (r - 1) * hbw + c - 1; }

// A random symmetric matrix whose diagonal dominates its rows in modulus, so
// that the factorisation without pivoting exists and is well conditioned.
// With complex_parts false the imaginary parts are zero and the real parts
// form a positive-definite matrix. Every part is exact in single precision.
inline sym_band random_system(idx n, idx hbw, std::uint64_t seed, bool complex_parts) {
    sym_band m(n, hbw);
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> off(-1.0, 1.0);
    std::uniform_real_distribution<double> extra(0.5, 1.5);
    auto part = [&] { return double(static_cast<float>(off(gen))); };
    for (idx r = 1; r <= n; ++r)
        for (idx c = r + 1; c <= std::min(r + hbw, n); ++c) m.set(r, c, cd(part(), complex_parts ? part() : 0.0));
    for (idx r = 1; r <= n; ++r) {
        double s = 0.0;
        for (idx c = std::max<idx>(1, r - hbw); c <= std::min(r + hbw, n); ++c)
            if (c != r) s += std::abs(m.get(r, c));
        const double im = complex_parts ? part() : 0.0;
        m.set(r, r, cd(double(static_cast<float>(s + extra(gen))), im));
    }
    return m;
}

// The matrix in the solver's band layout.
template <class T>
std::vector<T> to_band(const sym_band& m) {
    std::vector<T> a(static_cast<std::size_t>(band_length(m.n, m.hbw)), T(0));
    for (idx r = 1; r <= m.n; ++r)
        for (idx c = r; c <= std::min(r + m.hbw, m.n); ++c)
            a[static_cast<std::size_t>(band_pos(m.hbw, r, c))] = from_cd<T>(m.get(r, c));
    return a;
}

// Random right-hand sides, n by nrhs, column-major, parts exact in single.
inline std::vector<cd> random_rhs(idx n, idx nrhs, std::uint64_t seed, bool complex_parts) {
    std::vector<cd> b(static_cast<std::size_t>(std::max<idx>(n * nrhs, 0)));
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (cd& v : b) {
        const double re = static_cast<float>(dist(gen));
        v = cd(re, complex_parts ? double(static_cast<float>(dist(gen))) : 0.0);
    }
    return b;
}

template <class T>
std::vector<T> convert(const std::vector<cd>& v) {
    std::vector<T> out(std::max<std::size_t>(v.size(), 1), T(0));
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = from_cd<T>(v[i]);
    return out;
}

// Solves m X = b in place (n by nrhs) by A = U^T U in natural row order in
// complex double. Returns false when a pivot is zero.
inline bool reference_solve(const sym_band& m, std::vector<cd>& b, idx nrhs) {
    return test_support::band_cholesky_solve(
        m.n, m.hbw, [&](idx r, idx c) { return m.get(r, c); }, b, nrhs, [](cd d) { return d == cd(0.0, 0.0); });
}

// Largest |(m X - b)(r, k)| over all entries, with m's entries as they are.
template <class T>
double residual(const sym_band& m, const std::vector<T>& x, const std::vector<cd>& b, idx nrhs) {
    double worst = 0.0;
    for (idx k = 0; k < nrhs; ++k)
        for (idx r = 1; r <= m.n; ++r) {
            cd s = 0.0;
            for (idx c = std::max<idx>(1, r - m.hbw); c <= std::min(r + m.hbw, m.n); ++c)
                s += m.get(r, c) * to_cd(x[static_cast<std::size_t>(k * m.n + c - 1)]);
            worst = std::max(worst, std::abs(s - b[static_cast<std::size_t>(k * m.n + r - 1)]));
        }
    return worst;
}

// Largest |x - want| over the first want.size() entries.
template <class T>
double max_error(const std::vector<T>& x, const std::vector<cd>& want) {
    double worst = 0.0;
    for (std::size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::abs(to_cd(x[i]) - want[i]));
    return worst;
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

}  // namespace family_test

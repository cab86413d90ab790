// The tests' yardstick solve: A = U^T U of a band matrix in natural row order
// (plain transpose, also for complex entries), then both substitutions, every
// value held in S.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

namespace test_support {

// Solves the n-by-n band matrix of half bandwidth w whose upper entries are
// get(r, c) for b (n by nrhs, in place). False as soon as singular(pivot)
// says a pivot cannot be used.
template <class S, class Get, class Singular>
bool band_cholesky_solve(std::int64_t n, std::int64_t w, Get&& get, std::vector<S>& b, std::int64_t nrhs,
                         Singular&& singular) {
    using idx = std::int64_t;
    std::vector<S> u(static_cast<std::size_t>(std::max<idx>(n, 0) * (w + 1)));
    auto U = [&](idx r, idx c) -> S& { return u[static_cast<std::size_t>((r - 1) * (w + 1) + (c - r))]; };
    for (idx r = 1; r <= n; ++r)
        for (idx c = r; c <= std::min(r + w, n); ++c) U(r, c) = static_cast<S>(get(r, c));
    for (idx i = 1; i <= n; ++i) {
        for (idx j = std::max<idx>(1, i - w); j < i; ++j)
            for (idx c = i; c <= std::min(j + w, n); ++c) U(i, c) -= U(j, c) * U(j, i);
        if (singular(U(i, i))) return false;
        U(i, i) = std::sqrt(U(i, i));
        for (idx c = i + 1; c <= std::min(i + w, n); ++c) U(i, c) /= U(i, i);
    }
    for (idx k = 0; k < nrhs; ++k) {
        S* x = b.data() + k * n;
        for (idx r = 1; r <= n; ++r) {
            x[r - 1] /= U(r, r);
            for (idx c = r + 1; c <= std::min(r + w, n); ++c) x[c - 1] -= x[r - 1] * U(r, c);
        }
        for (idx r = n; r >= 1; --r) {
            for (idx c = r + 1; c <= std::min(r + w, n); ++c) x[r - 1] -= U(r, c) * x[c - 1];
            x[r - 1] /= U(r, r);
        }
    }
    return true;
}

}  // namespace test_support

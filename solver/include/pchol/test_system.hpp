// The benchmark's test system: a symmetric positive-definite band matrix with
// small integer entries, an exact solution of pseudo-random numbers in (0, 1]
// and the right-hand side B = A * X. Every call builds the same system, bit
// for bit (the generator is reseeded each time).
#pragma once

#include "pchol/export.h"

#include <cstdint>

// A: (n - 1) * hbw + n reals in the band layout (see solver.hpp).
// B, X: n by nrhs, column-major.
PCHOL_API void make_test_system(float* A, float* B, float* X, const std::int32_t& n, const std::int32_t& hbw,
                                const std::int32_t& nrhs);

namespace pchol {

// The combined multiplicative congruential generator the test system draws
// from (two 32-bit states; every intermediate value fits in 32 bits).
class PCHOL_API test_generator {
public:
    test_generator() = default;
    // The next number, z * 2^-31 for z in [1, 2147483562], exact in double.
    double next();

private:
    std::int32_t s1_ = 12345678;
    std::int32_t s2_ = 87654321;
};

}  // namespace pchol

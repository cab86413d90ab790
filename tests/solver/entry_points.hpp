// The entry points of every element type behind one name, for the solver
// tests and the identity-hash program.
#pragma once

#include "pchol/pipelined.hpp"
#include "pchol/solver.hpp"

#include <complex>
#include <cstdint>

namespace family_test {

using i32 = std::int32_t;

// The entry points of element type T.
template <class T>
struct entry;

#define TEST_ENTRY(T, K, type_letter)                                                                                  \
    template <>                                                                                                        \
    struct entry<T> {                                                                                                  \
        static constexpr int variant = K;                                                                              \
        static constexpr char letter = type_letter;                                                                    \
        static void solve(T* A, const i32& n, const i32& hbw, T* B, const i32& nrhs, T* W, i32& info) {                \
            pchol_solve##K(A, n, hbw, B, nrhs, W, info);                                                               \
        }                                                                                                              \
        static void pipelined(T* A, const i32& n, const i32& hbw, T* B, const i32& nrhs, T* W, i32& info) {            \
            pchol_pipelined_solve##K(A, n, hbw, B, nrhs, W, info);                                                     \
        }                                                                                                              \
        static void factor(T* A, const i32& n, const i32& hbw, T* W, i32& info) {                                      \
            pchol_factor##K(A, n, hbw, W, info);                                                                       \
        }                                                                                                              \
        static void factored_solve(const T* A, const i32& n, const i32& hbw, T* B, const i32& nrhs, const T* W,        \
                                   i32& info) {                                                                        \
            pchol_factored_solve##K(A, n, hbw, B, nrhs, W, info);                                                      \
        }                                                                                                              \
        static constexpr auto worker = &pchol_worker##K;                                                               \
    };
TEST_ENTRY(std::complex<double>, 1, 'z')
TEST_ENTRY(std::complex<float>, 2, 'c')
TEST_ENTRY(double, 3, 'd')
TEST_ENTRY(float, 4, 's')
#undef TEST_ENTRY

}  // namespace family_test

// The C interface: every entry point of pchol.h forwards to the C++ routine
// that takes its arguments by reference. The solvers' two forms share a name
// and live side by side as overloads (only the pointer one has C linkage);
// the settings carry the prefix pchol_ in C, so that they cannot clash with
// a program's own set_thread_count and the like.
#include "pchol/pchol.h"

#include "pchol/settings.hpp"
#include "pchol/solver.hpp"

#include <complex>
#include <cstdint>

static_assert(PCHOL_INFO_OK == pchol::info_ok);
static_assert(PCHOL_INFO_PIVOT_FAILED == pchol::info_pivot_failed);
static_assert(PCHOL_INFO_BAD_ARGUMENTS == pchol::info_bad_arguments);
static_assert(PCHOL_INFO_NO_RESOURCES == pchol::info_no_resources);

namespace {

// A C caller can pass null where C++ takes a reference, and an array that a
// solve would index. The calls that would dereference a null pointer are
// refused with info_bad_arguments before anything is touched; without info
// there is nowhere to say so, and nothing happens.
bool pointers_usable(const void* A, const std::int32_t* n, const std::int32_t* hbw, const void* B,
                     const std::int32_t* nrhs, const void* WORK, std::int64_t work_size, std::int32_t* info) {
    if (info == nullptr) return false;
    if (n == nullptr || hbw == nullptr || nrhs == nullptr || (*n > 0 && A == nullptr) ||
        (*n > 0 && *nrhs > 0 && B == nullptr) || (work_size > 0 && WORK == nullptr)) {
        *info = pchol::info_bad_arguments;
        return false;
    }
    return true;
}

}  // namespace

// One element type's pair of entry points, pchol_solveK and
// pchol_pipelined_solveK, with their size queries. C passes complex elements
// as pairs of reals; std::complex<R> has the layout of R[2].
#define PCHOL_C_ENTRY_POINTS(K, C_TYPE, CPP_TYPE)                                                                   \
    std::int64_t pchol_workspace_size##K(const std::int32_t* n, const std::int32_t* hbw) {                         \
        return n != nullptr && hbw != nullptr ? pchol_workspace_size##K(*n, *hbw) : 0;                             \
    }                                                                                                               \
    std::int64_t pchol_pipelined_workspace_size##K(const std::int32_t* n, const std::int32_t* hbw) {               \
        return n != nullptr && hbw != nullptr ? pchol_pipelined_workspace_size##K(*n, *hbw) : 0;                   \
    }                                                                                                               \
    void pchol_solve##K(C_TYPE* A, const std::int32_t* n, const std::int32_t* hbw, C_TYPE* B,                       \
                        const std::int32_t* nrhs, C_TYPE* WORK, std::int32_t* info) {                               \
        if (!pointers_usable(A, n, hbw, B, nrhs, WORK, pchol_workspace_size##K(n, hbw), info)) return;              \
        pchol_solve##K(reinterpret_cast<CPP_TYPE*>(A), *n, *hbw, reinterpret_cast<CPP_TYPE*>(B), *nrhs,             \
                       reinterpret_cast<CPP_TYPE*>(WORK), *info);                                                   \
    }                                                                                                               \
    void pchol_pipelined_solve##K(C_TYPE* A, const std::int32_t* n, const std::int32_t* hbw, C_TYPE* B,             \
                                  const std::int32_t* nrhs, C_TYPE* WORK, std::int32_t* info) {                     \
        if (!pointers_usable(A, n, hbw, B, nrhs, WORK, pchol_pipelined_workspace_size##K(n, hbw), info)) return;    \
        pchol_pipelined_solve##K(reinterpret_cast<CPP_TYPE*>(A), *n, *hbw, reinterpret_cast<CPP_TYPE*>(B), *nrhs,   \
                                 reinterpret_cast<CPP_TYPE*>(WORK), *info);                                         \
    }

static_assert(sizeof(std::complex<double>) == 2 * sizeof(double) && alignof(std::complex<double>) == alignof(double));
static_assert(sizeof(std::complex<float>) == 2 * sizeof(float) && alignof(std::complex<float>) == alignof(float));

extern "C" {

PCHOL_C_ENTRY_POINTS(1, double, std::complex<double>)
PCHOL_C_ENTRY_POINTS(2, float, std::complex<float>)
PCHOL_C_ENTRY_POINTS(3, double, double)
PCHOL_C_ENTRY_POINTS(4, float, float)

void pchol_set_thread_count(const std::int32_t* k) {
    if (k != nullptr) set_thread_count(*k);
}

void pchol_get_thread_count(std::int32_t* t) {
    if (t != nullptr) get_thread_count(*t);
}

void pchol_set_subnormal_flush(const std::int32_t* on) {
    if (on != nullptr) set_subnormal_flush(*on);
}

void pchol_get_subnormal_flush(std::int32_t* on) {
    if (on != nullptr) get_subnormal_flush(*on);
}

}  // extern "C"

// ---- Factor once, solve many ----------------------------------------------------------
// The factor is checked as a solve without right-hand sides; the factored
// solve as a solve.
#define PCHOL_C_FACTORED_ENTRY_POINTS(K, C_TYPE, CPP_TYPE)                                                        \
    void pchol_factor##K(C_TYPE* A, const std::int32_t* n, const std::int32_t* hbw, C_TYPE* WORK,                 \
                         std::int32_t* info) {                                                                   \
        const std::int32_t no_rhs = 0;                                                                           \
        if (!pointers_usable(A, n, hbw, nullptr, &no_rhs, WORK, pchol_workspace_size##K(n, hbw), info)) return;   \
        pchol_factor##K(reinterpret_cast<CPP_TYPE*>(A), *n, *hbw, reinterpret_cast<CPP_TYPE*>(WORK), *info);      \
    }                                                                                                            \
    void pchol_factored_solve##K(const C_TYPE* A, const std::int32_t* n, const std::int32_t* hbw, C_TYPE* B,     \
                                 const std::int32_t* nrhs, const C_TYPE* WORK, std::int32_t* info) {             \
        if (!pointers_usable(A, n, hbw, B, nrhs, WORK, pchol_workspace_size##K(n, hbw), info)) return;            \
        pchol_factored_solve##K(reinterpret_cast<const CPP_TYPE*>(A), *n, *hbw, reinterpret_cast<CPP_TYPE*>(B),   \
                                *nrhs, reinterpret_cast<const CPP_TYPE*>(WORK), *info);                          \
    }

extern "C" {

PCHOL_C_FACTORED_ENTRY_POINTS(1, double, std::complex<double>)
PCHOL_C_FACTORED_ENTRY_POINTS(2, float, std::complex<float>)
PCHOL_C_FACTORED_ENTRY_POINTS(3, double, double)
PCHOL_C_FACTORED_ENTRY_POINTS(4, float, float)

}  // extern "C"

// The C interface seen from C++: this file includes the C header beside the
// C++ ones, so both overloads of every entry point are in scope. The C entry
// points must give what the C++ ones give, bit for bit (complex elements as
// pairs of reals, real part first), refuse the null pointers they would
// dereference, and size WORK so that a solve stays inside it (an exactly
// sized buffer, checked by the AddressSanitizer build).
#include "pchol/pchol.h"

#include "pchol/settings.hpp"
#include "pchol/settings_testing.hpp"
#include "pchol/solver.hpp"
#include "pchol/test_system.hpp"
#include "pchol/threads.hpp"
#include "pchol/version.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using i32 = std::int32_t;

class library_cleanup : public ::testing::Environment {
public:
    void TearDown() override { thr_lib_cleanup(); }
};
[[maybe_unused]] ::testing::Environment* const cleanup = ::testing::AddGlobalTestEnvironment(new library_cleanup);

bool four_processors(std::uint32_t& process_mask, std::uint32_t& system_mask) {
    process_mask = 0xFu;
    system_mask = 0xFu;
    return true;
}

// The benchmark's test system in a given size, with its exact solution.
struct test_system {
    i32 n, hbw, nrhs;
    std::vector<float> A, B, X;

    test_system(i32 n_, i32 hbw_, i32 nrhs_)
        : n(n_), hbw(hbw_), nrhs(nrhs_),
          A(static_cast<std::size_t>((n_ - 1) * hbw_ + n_)),
          B(static_cast<std::size_t>(n_) * nrhs_),
          X(static_cast<std::size_t>(n_) * nrhs_) {
        make_test_system(A.data(), B.data(), X.data(), n, hbw, nrhs);
    }
};

static_assert(pchol_workspace_size4(10, 3) == 60);

TEST(WorkspaceSize, TwoElementsPerRowAndBandColumn) {
    const i32 big = std::numeric_limits<i32>::max();
    const struct {
        i32 n, hbw;
        std::int64_t size;
    } cases[] = {{10, 3, 60}, {1, 1, 2}, {7, 0, 0}, {0, 5, 0}, {-3, 5, 0}, {5, -1, 0},
                 // 64-bit: no overflow at the largest arguments.
                 {big, big, 2 * std::int64_t{big} * big}};
    for (const auto& c : cases) {
        EXPECT_EQ(pchol_workspace_size4(c.n, c.hbw), c.size) << c.n << ", " << c.hbw;
        EXPECT_EQ(pchol_workspace_size4(&c.n, &c.hbw), c.size) << c.n << ", " << c.hbw;
    }
    const i32 ten = 10;
    EXPECT_EQ(pchol_workspace_size4(nullptr, &ten), 0);
    EXPECT_EQ(pchol_workspace_size4(&ten, nullptr), 0);
}

TEST(CInterface, ThreadCountIsTheCppOne) {
    pchol::set_affinity_query_for_testing(&four_processors);
    for (const i32 k : {1, 3, 4, 9}) {
        pchol_set_thread_count(&k);
        i32 from_c = 0;
        i32 from_cpp = 0;
        pchol_get_thread_count(&from_c);
        get_thread_count(from_cpp);
        EXPECT_EQ(from_c, std::min(k, 4));
        EXPECT_EQ(from_c, from_cpp);
    }
    // Null pointers change nothing.
    pchol_set_thread_count(nullptr);
    pchol_get_thread_count(nullptr);
    i32 t = 0;
    get_thread_count(t);
    EXPECT_EQ(t, 4);
}

TEST(CInterface, SubnormalFlushIsTheCppOne) {
    for (const i32 on : {0, 1, 0, -5}) {
        pchol_set_subnormal_flush(&on);
        i32 from_c = -1;
        i32 from_cpp = -1;
        pchol_get_subnormal_flush(&from_c);
        get_subnormal_flush(from_cpp);
        EXPECT_EQ(from_c, on != 0 ? 1 : 0);
        EXPECT_EQ(from_c, from_cpp);
    }
    // Null pointers change nothing.
    pchol_set_subnormal_flush(nullptr);
    pchol_get_subnormal_flush(nullptr);
    i32 on = 0;
    get_subnormal_flush(on);
    EXPECT_EQ(on, 1);
}

TEST(Version, TheLibrarysIsTheHeadersInEveryForm) {
    i32 major = -1, minor = -1, patch = -1;
    pchol_get_version(major, minor, patch);
    EXPECT_EQ(major, PCHOL_VERSION_MAJOR);
    EXPECT_EQ(minor, PCHOL_VERSION_MINOR);
    EXPECT_EQ(patch, PCHOL_VERSION_PATCH);
    const std::string text = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
    EXPECT_EQ(text, PCHOL_VERSION);
    EXPECT_EQ(std::string(pchol_version_string()), PCHOL_VERSION);

    i32 c_major = -1, c_minor = -1, c_patch = -1;
    pchol_get_version(&c_major, &c_minor, &c_patch);
    EXPECT_EQ(c_major, major);
    EXPECT_EQ(c_minor, minor);
    EXPECT_EQ(c_patch, patch);
    // Null pointers are skipped; the others are still written.
    c_minor = -1;
    pchol_get_version(nullptr, &c_minor, nullptr);
    EXPECT_EQ(c_minor, minor);
}

TEST(CInterface, SolvesBitForBitAsTheCppEntryPoint) {
    pchol::set_affinity_query_for_testing(&four_processors);
    const i32 threads = 3;
    pchol_set_thread_count(&threads);

    test_system through_c(700, 6, 2);
    test_system through_cpp(700, 6, 2);
    // Exactly the size the query gives: a solve that ran past it would be
    // caught by the AddressSanitizer build.
    std::vector<float> work_c(static_cast<std::size_t>(pchol_workspace_size4(&through_c.n, &through_c.hbw)));
    std::vector<float> work_cpp(work_c.size());
    i32 info_c = 99;
    i32 info_cpp = 99;
    pchol_solve4(through_c.A.data(), &through_c.n, &through_c.hbw, through_c.B.data(), &through_c.nrhs,
                 work_c.data(), &info_c);
    pchol_solve4(through_cpp.A.data(), through_cpp.n, through_cpp.hbw, through_cpp.B.data(), through_cpp.nrhs,
                 work_cpp.data(), info_cpp);

    EXPECT_EQ(info_c, PCHOL_INFO_OK);
    EXPECT_EQ(info_cpp, pchol::info_ok);
    EXPECT_EQ(through_c.A, through_cpp.A);
    EXPECT_EQ(through_c.B, through_cpp.B);
    float worst = 0;
    for (std::size_t i = 0; i < through_c.B.size(); ++i)
        worst = std::max(worst, std::fabs(through_c.B[i] - through_c.X[i]));
    EXPECT_LT(worst, 1e-3f);
}

TEST(CInterface, ReportsTheSolversFailures) {
    // A pivot that is not positive.
    test_system s(50, 4, 1);
    s.A[0] = -1.0f;
    std::vector<float> work(static_cast<std::size_t>(pchol_workspace_size4(&s.n, &s.hbw)));
    i32 info = 99;
    pchol_solve4(s.A.data(), &s.n, &s.hbw, s.B.data(), &s.nrhs, work.data(), &info);
    EXPECT_EQ(info, PCHOL_INFO_PIVOT_FAILED);

    // A negative half bandwidth, refused by the solver itself.
    const i32 bad_hbw = -1;
    info = 99;
    pchol_solve4(s.A.data(), &s.n, &bad_hbw, s.B.data(), &s.nrhs, work.data(), &info);
    EXPECT_EQ(info, PCHOL_INFO_BAD_ARGUMENTS);
}

TEST(CInterface, NullPointersItWouldUseAreRefusedBeforeAnythingIsTouched) {
    const test_system original(30, 3, 1);
    test_system s = original;
    std::vector<float> work(static_cast<std::size_t>(pchol_workspace_size4(&s.n, &s.hbw)));
    float* const A = s.A.data();
    float* const B = s.B.data();
    float* const W = work.data();
    const i32* const n = &s.n;
    const i32* const hbw = &s.hbw;
    const i32* const nrhs = &s.nrhs;
    const struct {
        const char* what;
        float* A;
        const i32* n;
        const i32* hbw;
        float* B;
        const i32* nrhs;
        float* W;
    } cases[] = {{"n", A, nullptr, hbw, B, nrhs, W},       {"hbw", A, n, nullptr, B, nrhs, W},
                 {"nrhs", A, n, hbw, B, nullptr, W},       {"A", nullptr, n, hbw, B, nrhs, W},
                 {"B", A, n, hbw, nullptr, nrhs, W},       {"WORK", A, n, hbw, B, nrhs, nullptr}};
    for (const auto& c : cases) {
        i32 info = 99;
        pchol_solve4(c.A, c.n, c.hbw, c.B, c.nrhs, c.W, &info);
        EXPECT_EQ(info, PCHOL_INFO_BAD_ARGUMENTS) << "null " << c.what;
        EXPECT_EQ(s.A, original.A) << "null " << c.what;
        EXPECT_EQ(s.B, original.B) << "null " << c.what;
    }
    // Without info there is nowhere to report to: nothing happens.
    pchol_solve4(A, n, hbw, B, nrhs, W, nullptr);
    EXPECT_EQ(s.A, original.A);
    EXPECT_EQ(s.B, original.B);
}

TEST(CInterface, NullArraysItDoesNotNeedAreAccepted) {
    // No equations: nothing is read.
    const i32 zero = 0;
    const i32 one = 1;
    const i32 three = 3;
    i32 info = 99;
    pchol_solve4(nullptr, &zero, &three, nullptr, &one, nullptr, &info);
    EXPECT_EQ(info, PCHOL_INFO_OK);

    // No right-hand sides: A alone is factored, as through the C++ entry point.
    test_system through_c(40, 3, 1);
    test_system through_cpp(40, 3, 1);
    std::vector<float> work(static_cast<std::size_t>(pchol_workspace_size4(&through_c.n, &through_c.hbw)));
    info = 99;
    pchol_solve4(through_c.A.data(), &through_c.n, &through_c.hbw, nullptr, &zero, work.data(), &info);
    EXPECT_EQ(info, PCHOL_INFO_OK);
    i32 info_cpp = 99;
    pchol_solve4(through_cpp.A.data(), through_cpp.n, through_cpp.hbw, through_cpp.B.data(), zero, work.data(),
                 info_cpp);
    EXPECT_EQ(through_c.A, through_cpp.A);

    // hbw = 0 needs no scratch: a diagonal system.
    std::vector<float> A = {4.0f, 16.0f, 0.25f};
    std::vector<float> B = {2.0f, 8.0f, 1.0f};
    info = 99;
    pchol_solve4(A.data(), &three, &zero, B.data(), &one, nullptr, &info);
    EXPECT_EQ(info, PCHOL_INFO_OK);
    EXPECT_EQ(B, (std::vector<float>{0.5f, 0.5f, 4.0f}));
}

// ---- Every element type and driver ---------------------------------------------------

// One entry point in its two forms. C is the C interface's real type, E the
// C++ element type; a complex element is two C reals.
#define PCHOL_ENTRY_POINT(NAME, SOLVE, SIZE, E, C)                                                                 \
    struct NAME {                                                                                                 \
        using element = E;                                                                                        \
        using real = C;                                                                                           \
        static void cpp(E* A, i32 n, i32 hbw, E* B, i32 nrhs, E* W, i32& info) {                                 \
            SOLVE(A, n, hbw, B, nrhs, W, info);                                                                   \
        }                                                                                                         \
        static void c(C* A, const i32* n, const i32* hbw, C* B, const i32* nrhs, C* W, i32* info) {             \
            SOLVE(A, n, hbw, B, nrhs, W, info);                                                                   \
        }                                                                                                         \
        static std::int64_t cpp_size(i32 n, i32 hbw) { return SIZE(n, hbw); }                                    \
        static std::int64_t c_size(const i32* n, const i32* hbw) { return SIZE(n, hbw); }                         \
    };

PCHOL_ENTRY_POINT(solve1, pchol_solve1, pchol_workspace_size1, std::complex<double>, double)
PCHOL_ENTRY_POINT(solve2, pchol_solve2, pchol_workspace_size2, std::complex<float>, float)
PCHOL_ENTRY_POINT(solve3, pchol_solve3, pchol_workspace_size3, double, double)
PCHOL_ENTRY_POINT(solve4, pchol_solve4, pchol_workspace_size4, float, float)
PCHOL_ENTRY_POINT(pipelined1, pchol_pipelined_solve1, pchol_pipelined_workspace_size1, std::complex<double>, double)
PCHOL_ENTRY_POINT(pipelined2, pchol_pipelined_solve2, pchol_pipelined_workspace_size2, std::complex<float>, float)
PCHOL_ENTRY_POINT(pipelined3, pchol_pipelined_solve3, pchol_pipelined_workspace_size3, double, double)
PCHOL_ENTRY_POINT(pipelined4, pchol_pipelined_solve4, pchol_pipelined_workspace_size4, float, float)

template <class T>
constexpr bool is_complex = false;
template <class T>
constexpr bool is_complex<std::complex<T>> = true;

// The test system in element type E: complex symmetric, not Hermitian, for
// the complex types (every entry times 1 + i/4).
template <class E>
std::vector<E> in_type(const std::vector<float>& v) {
    std::vector<E> out;
    for (const float x : v) {
        if constexpr (is_complex<E>)
            out.push_back(E(x, x / 4));
        else
            out.push_back(E(x));
    }
    return out;
}

// The same numbers as C reals, complex elements written as pairs.
template <class E, class C>
std::vector<C> as_reals(const std::vector<E>& v) {
    std::vector<C> out;
    for (const E& x : v) {
        if constexpr (is_complex<E>) {
            out.push_back(x.real());
            out.push_back(x.imag());
        } else {
            out.push_back(x);
        }
    }
    return out;
}

template <class P>
class EveryEntryPoint : public ::testing::Test {};
using entry_points = ::testing::Types<solve1, solve2, solve3, solve4, pipelined1, pipelined2, pipelined3, pipelined4>;
TYPED_TEST_SUITE(EveryEntryPoint, entry_points);

TYPED_TEST(EveryEntryPoint, SolvesBitForBitAsItsCppForm) {
    using P = TypeParam;
    using E = typename P::element;
    using C = typename P::real;
    constexpr std::size_t reals_per_element = is_complex<E> ? 2 : 1;
    pchol::set_affinity_query_for_testing(&four_processors);
    set_thread_count(3);

    const test_system s(300, 5, 2);
    std::vector<E> A = in_type<E>(s.A);
    std::vector<E> B = in_type<E>(s.B);
    std::vector<C> A_c = as_reals<E, C>(A);
    std::vector<C> B_c = as_reals<E, C>(B);
    // Exactly what the query asks for; none (null) for the pipelined drivers.
    const std::int64_t size = P::c_size(&s.n, &s.hbw);
    EXPECT_EQ(size, P::cpp_size(s.n, s.hbw));
    std::vector<E> W(static_cast<std::size_t>(size));
    std::vector<C> W_c(static_cast<std::size_t>(size) * reals_per_element);

    i32 info = 99;
    i32 info_c = 99;
    P::cpp(A.data(), s.n, s.hbw, B.data(), s.nrhs, size > 0 ? W.data() : nullptr, info);
    P::c(A_c.data(), &s.n, &s.hbw, B_c.data(), &s.nrhs, size > 0 ? W_c.data() : nullptr, &info_c);
    EXPECT_EQ(info, PCHOL_INFO_OK);
    EXPECT_EQ(info_c, PCHOL_INFO_OK);
    EXPECT_EQ(A_c, (as_reals<E, C>(A)));
    EXPECT_EQ(B_c, (as_reals<E, C>(B)));

    // A null array the solve needs is refused before anything is touched.
    const std::vector<C> before = B_c;
    info_c = 99;
    P::c(nullptr, &s.n, &s.hbw, B_c.data(), &s.nrhs, W_c.data(), &info_c);
    EXPECT_EQ(info_c, PCHOL_INFO_BAD_ARGUMENTS);
    EXPECT_EQ(B_c, before);
}

TYPED_TEST(EveryEntryPoint, SizeQueriesAgree) {
    using P = TypeParam;
    for (const i32 n : {-1, 0, 1, 1000})
        for (const i32 hbw : {-1, 0, 1, 7}) EXPECT_EQ(P::c_size(&n, &hbw), P::cpp_size(n, hbw)) << n << ", " << hbw;
}

// ---- Factor once, solve many ---------------------------------------------------------

#define PCHOL_FACTORED_ENTRY_POINTS(NAME, K, E, C)                                                                  \
    struct NAME {                                                                                                 \
        using element = E;                                                                                        \
        using real = C;                                                                                           \
        static void cpp_factor(E* A, i32 n, i32 hbw, E* W, i32& info) { pchol_factor##K(A, n, hbw, W, info); }    \
        static void cpp_solve(const E* A, i32 n, i32 hbw, E* B, i32 nrhs, const E* W, i32& info) {               \
            pchol_factored_solve##K(A, n, hbw, B, nrhs, W, info);                                                 \
        }                                                                                                         \
        static void c_factor(C* A, const i32* n, const i32* hbw, C* W, i32* info) {                              \
            pchol_factor##K(A, n, hbw, W, info);                                                                  \
        }                                                                                                         \
        static void c_solve(const C* A, const i32* n, const i32* hbw, C* B, const i32* nrhs, const C* W,         \
                            i32* info) {                                                                          \
            pchol_factored_solve##K(A, n, hbw, B, nrhs, W, info);                                                 \
        }                                                                                                         \
    };

PCHOL_FACTORED_ENTRY_POINTS(factored1, 1, std::complex<double>, double)
PCHOL_FACTORED_ENTRY_POINTS(factored2, 2, std::complex<float>, float)
PCHOL_FACTORED_ENTRY_POINTS(factored3, 3, double, double)
PCHOL_FACTORED_ENTRY_POINTS(factored4, 4, float, float)

template <class P>
class FactoredEntryPoints : public ::testing::Test {};
using factored_entry_points = ::testing::Types<factored1, factored2, factored3, factored4>;
TYPED_TEST_SUITE(FactoredEntryPoints, factored_entry_points);

// The C factor and factored solve store what the C++ ones store, bit for bit,
// in an exactly sized WORK; the arrays they need may not be null.
TYPED_TEST(FactoredEntryPoints, SameBitsAsTheCppForms) {
    using P = TypeParam;
    using E = typename P::element;
    using C = typename P::real;
    pchol::set_affinity_query_for_testing(&four_processors);
    set_thread_count(3);

    const test_system s(500, 7, 3);
    std::vector<E> A = in_type<E>(s.A), B = in_type<E>(s.B);
    std::vector<C> A_c = as_reals<E, C>(A), B_c = as_reals<E, C>(B);
    std::vector<E> W(static_cast<std::size_t>(pchol_workspace_size4(s.n, s.hbw)));
    std::vector<C> W_c(as_reals<E, C>(W).size());

    i32 info = 99, info_c = 99;
    P::cpp_factor(A.data(), s.n, s.hbw, W.data(), info);
    P::c_factor(A_c.data(), &s.n, &s.hbw, W_c.data(), &info_c);
    ASSERT_EQ(info, PCHOL_INFO_OK);
    ASSERT_EQ(info_c, PCHOL_INFO_OK);
    EXPECT_EQ(A_c, (as_reals<E, C>(A)));
    EXPECT_EQ(W_c, (as_reals<E, C>(W)));
    info = info_c = 99;
    P::cpp_solve(A.data(), s.n, s.hbw, B.data(), s.nrhs, W.data(), info);
    P::c_solve(A_c.data(), &s.n, &s.hbw, B_c.data(), &s.nrhs, W_c.data(), &info_c);
    EXPECT_EQ(info, PCHOL_INFO_OK);
    EXPECT_EQ(info_c, PCHOL_INFO_OK);
    EXPECT_EQ(B_c, (as_reals<E, C>(B)));

    // A null array that a call needs is refused before anything is touched.
    const std::vector<C> A_before = A_c, B_before = B_c, W_before = W_c;
    i32 refused[6] = {99, 99, 99, 99, 99, 99};
    P::c_factor(nullptr, &s.n, &s.hbw, W_c.data(), &refused[0]);
    P::c_factor(A_c.data(), &s.n, &s.hbw, nullptr, &refused[1]);
    P::c_factor(A_c.data(), nullptr, &s.hbw, W_c.data(), &refused[2]);
    P::c_solve(nullptr, &s.n, &s.hbw, B_c.data(), &s.nrhs, W_c.data(), &refused[3]);
    P::c_solve(A_c.data(), &s.n, &s.hbw, nullptr, &s.nrhs, W_c.data(), &refused[4]);
    P::c_solve(A_c.data(), &s.n, &s.hbw, B_c.data(), &s.nrhs, nullptr, &refused[5]);
    for (const i32 r : refused) EXPECT_EQ(r, PCHOL_INFO_BAD_ARGUMENTS);
    EXPECT_EQ(A_c, A_before);
    EXPECT_EQ(B_c, B_before);
    EXPECT_EQ(W_c, W_before);
}

}  // namespace

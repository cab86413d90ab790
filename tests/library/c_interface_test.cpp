// The C interface seen from C++: this file includes the C header beside the
// C++ ones, so both overloads of every entry point are in scope. The C entry
// points must give what the C++ ones give, bit for bit, refuse the null
// pointers they would dereference, and size WORK so that a solve stays
// inside it (an exactly sized buffer, checked by the AddressSanitizer build).
#include "pchol/pchol.h"

#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/test_system.hpp"
#include "pchol/threads.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
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
        set_thread_count(&k);
        i32 from_c = 0;
        i32 from_cpp = 0;
        get_thread_count(&from_c);
        get_thread_count(from_cpp);
        EXPECT_EQ(from_c, std::min(k, 4));
        EXPECT_EQ(from_c, from_cpp);
    }
    // Null pointers change nothing.
    set_thread_count(static_cast<const i32*>(nullptr));
    get_thread_count(static_cast<i32*>(nullptr));
    i32 t = 0;
    get_thread_count(t);
    EXPECT_EQ(t, 4);
}

TEST(CInterface, SolvesBitForBitAsTheCppEntryPoint) {
    pchol::set_affinity_query_for_testing(&four_processors);
    const i32 threads = 3;
    set_thread_count(&threads);

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

}  // namespace

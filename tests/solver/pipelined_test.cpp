// The pipelined band routines, on their own (run by a team of threads that
// the test sets up, with chosen panel lengths) and through the drivers
// pchol_pipelined_solve1..4: solutions against the complex-double reference
// and against the block-cyclic-reduction solver of the same element type,
// bit-identical results for every thread count, pivot failures reported in
// either flag, and the drivers' argument and resource handling.
#include "family_support.hpp"
#include "pchol/pipelined.hpp"
#include "pchol/platform.hpp"
#include "pchol/platform_testing.hpp"
#include "pchol/threads.hpp"

#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace {

using namespace family_test;

template <class T>
class Pipelined : public ::testing::Test {};

using element_types = ::testing::Types<float, double, std::complex<double>, std::complex<float>>;
TYPED_TEST_SUITE(Pipelined, element_types);

// ---- The routines, run by a team the test sets up ----------------------------------------

// The shared state of one team and its k threads: every thread runs
// routine(state) and the test's thread is one of them.
template <class T>
struct team {
    i32 counter_mutex = 0;
    i32 sync_pair[2] = {0, 0};
    i32 num_threads = 1;
    i32 panel_first = 1, task_row = 1, panel_last = 0, back_task_row = 0;
    i32 fail_flags[2] = {0, 0};
    const part_t<T> tol = 0;

    team(i32 n, i32 k) : num_threads(k), panel_last(n), back_task_row(n) {
        thr_mutex_create(counter_mutex);
        sync_create(sync_pair[0]);
        sync_create(sync_pair[1]);
        sync_reset(sync_pair[0], num_threads);
    }
    ~team() {
        thr_mutex_close(counter_mutex);
        sync_destroy(sync_pair[0]);
        sync_destroy(sync_pair[1]);
    }
    // Resets the counters (between two routines, with no thread inside one).
    void reset(i32 n) {
        panel_first = task_row = 1;
        panel_last = back_task_row = n;
    }

    template <class F>
    void run(F&& routine) {
        within_time_limit([&] {
            std::vector<std::thread> others;
            for (i32 i = 1; i < num_threads; ++i) others.emplace_back([&] { routine(*this); });
            routine(*this);
            for (std::thread& t : others) t.join();
        });
    }
};

template <class T>
void factor_solve(team<T>& t, std::vector<T>& a, i32 n, i32 hbw, std::vector<T>& b, i32 v) {
    T* const A = a.data();
    T* const B = b.data();
    t.run([&](team<T>& s) {
        pchol::pipelined_factor_solve<T>(A, n, hbw, B, v, s.counter_mutex, s.sync_pair, s.num_threads, s.panel_first,
                                         s.task_row, s.panel_last, s.back_task_row, s.tol, s.fail_flags);
    });
}

template <class T>
void factor(team<T>& t, std::vector<T>& a, i32 n, i32 hbw, i32 v) {
    T* const A = a.data();
    t.run([&](team<T>& s) {
        pchol::pipelined_factor<T>(A, n, hbw, v, s.counter_mutex, s.sync_pair, s.num_threads, s.panel_first,
                                   s.task_row, s.tol, s.fail_flags);
    });
}

template <class T>
void solve(team<T>& t, std::vector<T>& a, i32 n, i32 hbw, std::vector<T>& b, i32 v) {
    T* const A = a.data();
    T* const B = b.data();
    t.run([&](team<T>& s) {
        pchol::pipelined_solve<T>(A, n, hbw, B, v, s.counter_mutex, s.sync_pair, s.num_threads, s.panel_first,
                                  s.task_row, s.panel_last, s.back_task_row);
    });
}

// Panel lengths around the band width and the matrix size, with n at most a
// panel, under hbw + 1, and many panels: pipelined_factor_solve, and
// pipelined_factor followed by pipelined_solve on the same team (which
// relies on the first point being armed again when a routine returns),
// match the reference, and every thread count gives the bits of one thread.
TYPED_TEST(Pipelined, RoutinesForPanelLengthsAndThreadCounts) {
    using T = TypeParam;
    constexpr bool cplx = is_complex<T>::value;
    const std::vector<i32> threads_list = small ? std::vector<i32>{1, 2, 5} : std::vector<i32>{1, 2, 3, 5, 8};
    struct shape {
        i32 n, hbw;
    };
    const shape shapes[] = {{1, 0}, {7, 0}, {3, 8}, {8, 8}, {9, 8}, {10, 3}, {40, 3}, {97, 5}, {150, 13}, {64, 2}};
    for (const shape& sh : shapes) {
        for (const i32 v : {0, 1, 2, 3, 7, 8, 9, 16, 64, 200}) {
            SCOPED_TRACE(::testing::Message() << "n " << sh.n << " hbw " << sh.hbw << " panel " << v);
            const sym_band m = random_system(sh.n, sh.hbw, 100 + sh.n + v, cplx);
            const std::vector<cd> rhs = random_rhs(sh.n, 1, 7 + sh.n, cplx);
            std::vector<cd> want = rhs;
            ASSERT_TRUE(reference_solve(m, want, 1));
            const double bound = error_bound<T>(want, sh.hbw);

            std::vector<T> a1, b1;
            for (const i32 k : threads_list) {
                std::vector<T> a = to_band<T>(m), b = convert<T>(rhs);
                team<T> t(sh.n, k);
                factor_solve(t, a, sh.n, sh.hbw, b, v);
                EXPECT_EQ(t.fail_flags[0] | t.fail_flags[1], 0);
                EXPECT_LE(max_error(b, want), bound) << k << " threads";
                if (k == threads_list.front()) {
                    a1 = a;
                    b1 = b;
                } else {
                    EXPECT_TRUE(same_bits(a, a1)) << k << " threads";
                    EXPECT_TRUE(same_bits(b, b1)) << k << " threads";
                }

                // The same team factors a fresh copy, then solves with it. The
                // factorisation makes one barrier per panel: after an odd
                // number of them the second point is the one armed.
                std::vector<T> a2 = to_band<T>(m), b2 = convert<T>(rhs);
                t.reset(sh.n);
                factor(t, a2, sh.n, sh.hbw, v);
                EXPECT_EQ(t.fail_flags[0] | t.fail_flags[1], 0);
                EXPECT_TRUE(same_bits(a2, a1)) << "pipelined_factor, " << k << " threads";
                const i32 panels = (sh.n + std::max(v, 1) - 1) / std::max(v, 1);
                if (panels % 2 == 1) std::swap(t.sync_pair[0], t.sync_pair[1]);
                t.reset(sh.n);
                solve(t, a2, sh.n, sh.hbw, b2, v);
                EXPECT_LE(max_error(b2, want), bound) << "pipelined_solve, " << k << " threads";
            }
        }
    }
}

// A zero pivot in the first panel: the diagonal task of the first stage
// reports it, and every thread returns after the first barrier, so nothing
// past the first panel is touched. In the second panel the second stage
// reports it, into the other flag.
TYPED_TEST(Pipelined, FailureInTheFirstAndSecondPanel) {
    using T = TypeParam;
    const i32 n = 60, hbw = 4, v = 8;
    for (const i32 row : {3, 12}) {
        sym_band m = random_system(n, hbw, 5, is_complex<T>::value);
        for (idx c = std::max<idx>(1, row - hbw); c <= std::min<idx>(row + hbw, n); ++c) m.set(row, c, 0.0);
        for (const i32 k : {1, 3, 6}) {
            SCOPED_TRACE(::testing::Message() << "row " << row << ", " << k << " threads");
            std::vector<T> a = to_band<T>(m), b = convert<T>(random_rhs(n, 1, 6, is_complex<T>::value));
            const std::vector<T> a0 = a, b0 = b;
            team<T> t(n, k);
            factor_solve(t, a, n, hbw, b, v);
            if (row <= v) {
                EXPECT_EQ(t.fail_flags[0], -1);
                EXPECT_EQ(t.fail_flags[1], 0);
                // Rows v + 1 ... n and their right-hand sides as they were.
                const idx from = band_pos(hbw, v + 1, v + 1);
                for (idx p = from; p < idx(a.size()); ++p) EXPECT_EQ(a[p], a0[p]) << "slot " << p;
                for (idx r = v; r < n; ++r) EXPECT_EQ(b[r], b0[r]) << "row " << r + 1;
            } else {
                EXPECT_EQ(t.fail_flags[0], 0);
                EXPECT_EQ(t.fail_flags[1], -1);
            }
        }
    }
}

// ---- The drivers ---------------------------------------------------------------------------

// Shapes of the block solver's tests, measured in the drivers' panels: the
// driver's solution matches the reference and the block solver of the same
// element type, for nrhs 0, 1 and 3, and every thread count gives the bits
// of one thread.
template <class T>
void check_driver_shapes(idx hbw) {
    constexpr bool cplx = is_complex<T>::value;
    const std::vector<i32> thread_counts = shape_thread_counts();
    const idx v = pchol::pipelined_panel_rows;
    std::vector<idx> sizes = shape_sizes(hbw, v);
    if (small) sizes = {0, 1, hbw, v - 1, v, v + 1, 2 * v, 3 * v + hbw / 2};
    sizes.push_back(hbw + 1);

    within_time_limit([&] {
        for (const idx n : sizes) {
            for (const idx nrhs : {0, 1, 3}) {
                SCOPED_TRACE(::testing::Message() << "n " << n << " hbw " << hbw << " nrhs " << nrhs);
                const auto seed = static_cast<std::uint64_t>(n * 37 + hbw * 5 + nrhs);
                const sym_band m = random_system(n, hbw, seed, cplx);
                const std::vector<cd> rhs = random_rhs(n, nrhs, seed + 1, cplx);
                std::vector<cd> want = rhs;
                ASSERT_TRUE(reference_solve(m, want, nrhs));
                const double bound = error_bound<T>(want, hbw);

                use_threads(2);
                problem<T> blocks(m, rhs, nrhs);
                blocks.solve();
                ASSERT_EQ(blocks.info, pchol::info_ok);

                std::vector<T> a1, b1;
                for (const i32 threads : thread_counts) {
                    use_threads(threads);
                    problem<T> p(m, rhs, nrhs);
                    const std::vector<T> b0 = p.b;
                    p.pipelined();
                    ASSERT_EQ(p.info, pchol::info_ok) << threads << " threads";
                    if (nrhs == 0) {
                        EXPECT_TRUE(same_bits(p.b, b0));
                    }
                    EXPECT_LE(max_error(p.b, want), bound) << threads << " threads";
                    double apart = 0.0;
                    for (std::size_t i = 0; i < want.size(); ++i)
                        apart = std::max(apart, std::abs(to_cd(p.b[i]) - to_cd(blocks.b[i])));
                    EXPECT_LE(apart, 2 * bound) << "against the block solver";
                    // The driver never uses the scratch, and the slots past
                    // column n are never touched.
                    const T mark = marker<T>();
                    EXPECT_TRUE(same_bits(p.work, std::vector<T>(p.work.size(), mark)));
                    for (const idx s : slots_beyond_n(n, hbw))
                        EXPECT_EQ(std::memcmp(&p.a[s], &mark, sizeof(T)), 0) << "slot " << s;
                    expect_bits_of_first_count(p, threads == thread_counts.front(), threads, a1, b1);
                }
            }
        }
    });
}

TYPED_TEST(Pipelined, DriverShapesHbw0) { check_driver_shapes<TypeParam>(0); }
TYPED_TEST(Pipelined, DriverShapesHbw1) { check_driver_shapes<TypeParam>(1); }
TYPED_TEST(Pipelined, DriverShapesHbw3) { check_driver_shapes<TypeParam>(3); }
TYPED_TEST(Pipelined, DriverShapesHbw8) { check_driver_shapes<TypeParam>(8); }
TYPED_TEST(Pipelined, DriverShapesHbw13) { check_driver_shapes<TypeParam>(13); }

TYPED_TEST(Pipelined, DriverBandwidthBeyondTheMatrix) {
    // The scratch is not used: it may be null.
    check_bandwidths_beyond_the_matrix<TypeParam>([](auto& p) {
        entry<TypeParam>::pipelined(p.a.data(), p.n, p.hbw, p.b.data(), p.nrhs, nullptr, p.info);
    });
}

// A zero pivot anywhere: info -1 (whichever flag the stage reported into),
// and every thread has returned.
TYPED_TEST(Pipelined, DriverReportsAFailedPivot) {
    using T = TypeParam;
    const idx v = pchol::pipelined_panel_rows, hbw = 3, n = 7 * v - 20;
    for (const idx row : {idx{5}, v + 5, 6 * v + 1, n}) {
        sym_band m = random_system(n, hbw, 29, is_complex<T>::value);
        for (idx c = std::max<idx>(1, row - hbw); c <= std::min(row + hbw, n); ++c) m.set(row, c, 0.0);
        for (const i32 threads : {1, 2, 4}) {
            SCOPED_TRACE(::testing::Message() << "row " << row << ", " << threads << " threads");
            use_threads(threads);
            problem<T> p(m, random_rhs(n, 2, 30, is_complex<T>::value), 2);
            within_time_limit([&] { p.pipelined(); });
            EXPECT_EQ(p.info, pchol::info_pivot_failed);
            EXPECT_EQ(thr_slots_in_use(), 0);
            EXPECT_EQ(sync_points_in_use(), 0);
        }
    }
}

TYPED_TEST(Pipelined, DriverRefusesArgumentsAndTouchesNothing) {
    using T = TypeParam;
    struct sizes {
        i32 n, hbw;
    };
    const i32 max = std::numeric_limits<i32>::max();
    for (const sizes& s : {sizes{10, -1}, sizes{100000, 30000}, sizes{50000, 25000}, sizes{max - 100, 0}}) {
        std::vector<T> a(8, T(2)), b(8, T(3));
        i32 info = 12345;
        entry<T>::pipelined(a.data(), s.n, s.hbw, b.data(), 1, nullptr, info);
        EXPECT_EQ(info, pchol::info_bad_arguments) << s.n << " " << s.hbw;
        EXPECT_EQ(a, std::vector<T>(8, T(2)));
        EXPECT_EQ(b, std::vector<T>(8, T(3)));
    }
}

// Threads that cannot be started: the team runs on the others, through the
// extra barriers between right-hand sides as well, with the bits of one
// thread; info reports the shortage. Without the mutex nothing is computed.
TEST(PipelinedDriver, ResourceFailures) {
    using T = double;
    const idx hbw = 8, n = 5 * pchol::pipelined_panel_rows + 7, nrhs = 3;
    const sym_band m = random_system(n, hbw, 12, false);
    const std::vector<cd> rhs = random_rhs(n, nrhs, 12, false);
    use_threads(1);
    problem<T> one(m, rhs, nrhs);
    one.pipelined();
    ASSERT_EQ(one.info, pchol::info_ok);
    // The first threads started create the library's own table mutexes, which stay.
    use_threads(2);
    problem<T> warm(m, rhs, 1);
    warm.pipelined();
    ASSERT_EQ(warm.info, pchol::info_ok);
    const int handles = platform::open_handle_count();

    for (const int failures : {1, 3}) {
        for (int i = 0; i < failures; ++i) platform::fail_next_create(platform::object_kind::thread);
        use_threads(4);
        problem<T> p(m, rhs, nrhs);
        within_time_limit([&] { p.pipelined(); });
        EXPECT_EQ(p.info, pchol::info_no_resources) << failures;
        EXPECT_TRUE(same_bits(p.a, one.a)) << failures;
        EXPECT_TRUE(same_bits(p.b, one.b)) << failures;
        EXPECT_EQ(thr_slots_in_use(), 0);
        EXPECT_EQ(platform::open_handle_count(), handles);
    }

    platform::fail_next_create(platform::object_kind::mutex);
    problem<T> p(m, rhs, nrhs);
    const std::vector<T> a0 = p.a, b0 = p.b;
    p.pipelined();
    EXPECT_EQ(p.info, pchol::info_no_resources);
    EXPECT_TRUE(same_bits(p.a, a0));
    EXPECT_TRUE(same_bits(p.b, b0));
    EXPECT_EQ(platform::open_handle_count(), handles);
}

// The pipelined drivers use no blocking: they leave block_size unset, so a
// complex solve after them still picks its blocks by the thread count.
TEST(PipelinedDriver, LeavesTheBlockingUnset) {
    const idx n = 50, hbw = 2;
    const sym_band m = random_system(n, hbw, 3, false);
    use_threads(1);
    problem<double> p(m, random_rhs(n, 1, 3, false), 1);
    p.pipelined();
    ASSERT_EQ(p.info, pchol::info_ok);
    // With 3 threads the complex solver's first solve picks block_size 8:
    // blocks of max(64 / 2, 3) = 32 rows; with 24 it would be 288, one block.
    // A solve with one block leaves A with the natural-order factor, which
    // the pipelined driver computes too.
    const sym_band c = random_system(n, hbw, 4, true);
    use_threads(3);
    problem<std::complex<double>> blocks(c, random_rhs(n, 1, 4, true), 1);
    problem<std::complex<double>> natural(c, random_rhs(n, 1, 4, true), 1);
    blocks.solve();
    natural.pipelined();
    ASSERT_EQ(blocks.info, pchol::info_ok);
    double apart = 0.0;
    for (std::size_t i = 0; i < blocks.a.size(); ++i)
        apart = std::max(apart, std::abs(blocks.a[i] - natural.a[i]));
    EXPECT_GT(apart, 1e-3);
}

}  // namespace

// The parallel solver end to end: solutions against an independent
// double-precision Cholesky over many shapes and thread counts, bit-identical
// results for every thread count, pivot failures in phase 1 and in later
// sweeps, resource failures injected through the platform, and empty
// systems (the tests run for every element type are in
// element_types_test.cpp). A solve that could hang runs on a thread of its
// own and the test process fails (instead of hanging) when it does not
// return in time.
#include "pchol/band_kernels.hpp"
#include "pchol/platform.hpp"
#include "pchol/platform_testing.hpp"
#include "pchol/settings.hpp"
#include "pchol/settings_testing.hpp"
#include "pchol/solver.hpp"
#include "pchol/test_system.hpp"
#include "pchol/threads.hpp"
#include "reference.hpp"
#include "run_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <limits>
#include <thread>
#include <vector>

namespace {

using namespace pchol_test;
using namespace solver_run;

// Every test runs in a fresh process, so the first solve sets the tuning
// value to 24: blocks of max(576 / max(hbw, 1), hbw + 1) rows.
idx block_rows(idx hbw) { return std::max<idx>(576 / std::max<idx>(hbw, 1), hbw + 1); }

// A marker for slots that the solver must not write: a NaN with a payload.
float marker() {
    const std::uint32_t bits = 0x7fc0abcdu;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The arrays of one solve, sized exactly as the solver's contract says (so
// the address sanitizer sees any access outside them). Slots of the band past
// column n and the whole scratch start as markers: a read of scratch before
// it was written shows up as NaN in the solution.
struct problem {
    std::int32_t n = 0, hbw = 0, nrhs = 0;
    std::vector<float> a, b, work;
    std::int32_t info = 12345;

    problem(const band_matrix& m, const std::vector<double>& rhs, idx nrhs_)
        : n(static_cast<std::int32_t>(m.n)), hbw(static_cast<std::int32_t>(m.hbw)),
          nrhs(static_cast<std::int32_t>(nrhs_)), a(to_band<float>(m, marker())),
          b(rhs.begin(), rhs.end()), work(static_cast<std::size_t>(std::max<idx>(2 * m.n * m.hbw, 1)), marker()) {
        if (b.empty()) b.push_back(marker());
    }
    void solve() { pchol_solve4(a.data(), n, hbw, b.data(), nrhs, work.data(), info); }
};

bool same_bits(const std::vector<float>& x, const std::vector<float>& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

// Slots of the band that belong to columns past n.
std::vector<idx> slots_beyond_n(idx n, idx hbw) {
    std::vector<idx> p;
    for (idx r = std::max<idx>(1, n - hbw + 1); r <= n; ++r)
        for (idx c = n + 1; c <= r + hbw; ++c)
            if (band_pos(hbw, r, c) < band_length(n, hbw)) p.push_back(band_pos(hbw, r, c));
    return p;
}

// ---- Solutions against the reference --------------------------------------------

class SolveShapes : public ::testing::TestWithParam<int> {};

// For every shape: the solution is as close to the double-precision solution
// as a plain single-precision Cholesky's (within a small factor), every
// thread count gives A and B bit for bit equal to one thread's, the scratch
// is never read before it is written, and the slots past column n keep their
// values (except where the last block is shorter than hbw: there the row
// before a separator lends its upper slots as scratch).
TEST_P(SolveShapes, MatchReferenceForEveryThreadCount) {
    const idx hbw = GetParam();
    const idx br = block_rows(hbw);
    std::vector<idx> sizes = {0,      1,          hbw,        std::max<idx>(hbw - 1, 1),
                              br,     br + 1,     2 * br,     3 * br,
                              10 * br, 8 * br,    9 * br + 1, 16 * br - 2,
                              17 * br, 10 * br - 3};
    if (hbw >= 2) {
        // A last block shorter than hbw: odd blocks are eliminated in phase
        // 1 and are a separator's right neighbour; even ones are separators,
        // block 6 with a left neighbour that has one of its own (form_fill).
        for (const idx blocks : {2, 3, 4, 5, 6})
            for (const idx rows : {idx(1), hbw / 2, hbw - 1}) sizes.push_back(blocks * br + rows);
    }
    std::vector<std::int32_t> thread_counts = {1, 2, 3, 4, 5, 6, 7, 8};
    if (small) thread_counts = {1, 2, 3, 8};

    within_time_limit([&] {
        for (const idx n : sizes) {
            for (const idx nrhs : {0, 1, 3}) {
                SCOPED_TRACE(::testing::Message() << "n " << n << " hbw " << hbw << " nrhs " << nrhs);
                const band_matrix m = random_spd(n, hbw, static_cast<std::uint64_t>(n * 131 + hbw * 7 + nrhs));
                const std::vector<double> rhs = random_rhs(n, nrhs, static_cast<std::uint64_t>(n + 3));
                const reference_solution ref = solve_reference(m, rhs, nrhs);
                // The last block is a separator (an even block) shorter than hbw.
                const bool short_last_separator = n % br != 0 && n % br < hbw && (n / br + 1) % 2 == 0;

                std::vector<float> a1, b1;
                for (const std::int32_t threads : thread_counts) {
                    use_threads(threads);
                    problem p(m, rhs, nrhs);
                    const std::vector<float> a0 = p.a, b0 = p.b;
                    p.solve();
                    ASSERT_EQ(p.info, pchol::info_ok) << threads << " threads";
                    if (nrhs == 0) {
                        EXPECT_TRUE(same_bits(p.b, b0));
                    }
                    if (n == 0) {
                        EXPECT_TRUE(same_bits(p.a, a0));
                    }
                    EXPECT_LE(max_error(p.b, ref.x), ref.bound)
                        << threads << " threads, plain single precision " << ref.plain_error;
                    if (!short_last_separator) {
                        for (const idx s : slots_beyond_n(n, hbw))
                            EXPECT_TRUE(pchol_test::same_bits(p.a[s], a0[s])) << "slot " << s << " past column n";
                    }
                    if (threads == thread_counts.front()) {
                        a1 = p.a;
                        b1 = p.b;
                    } else {
                        EXPECT_TRUE(same_bits(p.a, a1)) << threads << " threads: A differs from one thread's";
                        EXPECT_TRUE(same_bits(p.b, b1)) << threads << " threads: B differs from one thread's";
                    }
                }
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(HalfBandwidths, SolveShapes, ::testing::Values(0, 1, 2, 3, 8, 13),
                         [](const ::testing::TestParamInfo<int>& info) { return "hbw" + std::to_string(info.param); });

// The benchmark's own system, smaller: its exact solution is known.
TEST(Solve, BenchmarkSystem) {
    const std::int32_t n = small ? 20000 : 400000, hbw = 8, nrhs = 1;
    std::vector<float> a(static_cast<std::size_t>((n - 1) * hbw + n)), b(n), x(n), work(2 * std::size_t(n) * hbw);
    make_test_system(a.data(), b.data(), x.data(), n, hbw, nrhs);
    use_threads(2);
    std::int32_t info = 1;
    pchol_solve4(a.data(), n, hbw, b.data(), nrhs, work.data(), info);
    ASSERT_EQ(info, pchol::info_ok);
    double error = 0.0;
    for (std::int32_t i = 0; i < n; ++i) error = std::max(error, std::abs(double(b[i]) - double(x[i])));
    EXPECT_LE(error, 2e-6);
}

// Many blocks, several rounds per thread count, more threads than cores:
// whichever thread takes whichever block, the bits are the same.
TEST(Solve, BitIdenticalForEveryThreadCount) {
    const idx hbw = 8, n = 61 * block_rows(hbw) + 5, nrhs = 3;
    const band_matrix m = random_spd(n, hbw, 99);
    const std::vector<double> rhs = random_rhs(n, nrhs, 98);
    use_threads(1);
    problem one(m, rhs, nrhs);
    one.solve();
    ASSERT_EQ(one.info, pchol::info_ok);
    const int rounds = small ? 2 : 6;
    for (std::int32_t threads = 2; threads <= 8; ++threads) {
        for (int round = 0; round < rounds; ++round) {
            use_threads(threads);
            problem p(m, rhs, nrhs);
            p.solve();
            ASSERT_EQ(p.info, pchol::info_ok);
            EXPECT_TRUE(same_bits(p.a, one.a)) << threads << " threads, round " << round;
            EXPECT_TRUE(same_bits(p.b, one.b)) << threads << " threads, round " << round;
        }
    }
}

// Sweeps of thousands of blocks, which the threads take in runs of many lane
// groups (shorter toward each sweep's end), and a last block shorter than the
// others: the solve and the stored factor's solve give the bits of one
// thread's solve.
TEST(Solve, LongSweepsGiveTheBitsOfOneThread) {
    const std::int32_t hbw = 16, nrhs = 2;
    const std::int32_t n = static_cast<std::int32_t>(8200 * block_rows(hbw) + 17);
    const std::size_t band = std::size_t(n - 1) * hbw + n, rhs = std::size_t(n) * nrhs;
    std::vector<float> a0(band), b0(rhs), x(rhs);
    make_test_system(a0.data(), b0.data(), x.data(), n, hbw, nrhs);
    std::vector<float> work(2 * std::size_t(n) * hbw);
    auto solve = [&](std::int32_t threads, std::vector<float>& a, std::vector<float>& b) {
        use_threads(threads);
        a = a0;
        b = b0;
        std::int32_t info = 1;
        pchol_solve4(a.data(), n, hbw, b.data(), nrhs, work.data(), info);
        return info;
    };
    std::vector<float> a1, b1;
    ASSERT_EQ(solve(1, a1, b1), pchol::info_ok);
    double error = 0.0;
    for (std::size_t i = 0; i < rhs; ++i) error = std::max(error, std::abs(double(b1[i]) - double(x[i])));
    EXPECT_LE(error, 1e-4);
    for (std::int32_t threads : {2, 3, 8}) {
        std::vector<float> a, b;
        ASSERT_EQ(solve(threads, a, b), pchol::info_ok) << threads << " threads";
        EXPECT_TRUE(same_bits(a, a1)) << threads << " threads";
        EXPECT_TRUE(same_bits(b, b1)) << threads << " threads";
        // The stored factor, made and used on this thread count.
        std::vector<float> fa = a0, fb = b0;
        std::int32_t info = 1;
        pchol_factor4(fa.data(), n, hbw, work.data(), info);
        ASSERT_EQ(info, pchol::info_ok);
        pchol_factored_solve4(fa.data(), n, hbw, fb.data(), nrhs, work.data(), info);
        ASSERT_EQ(info, pchol::info_ok);
        EXPECT_TRUE(same_bits(fa, a1)) << threads << " threads";
        EXPECT_TRUE(same_bits(fb, b1)) << threads << " threads";
    }
}

// ---- Pivot failures ------------------------------------------------------------

// Every thread count reports -1 and returns (the driver joins every thread).
void expect_pivot_failure(const band_matrix& m) {
    const std::vector<double> rhs = random_rhs(m.n, 2, 1);
    for (std::int32_t threads = 1; threads <= 8; ++threads) {
        use_threads(threads);
        problem p(m, rhs, 2);
        within_time_limit([&] { p.solve(); });
        EXPECT_EQ(p.info, pchol::info_pivot_failed) << threads << " threads";
        EXPECT_EQ(thr_slots_in_use(), 0);
        EXPECT_EQ(sync_points_in_use(), 0);
    }
}

TEST(PivotFailure, InPhaseOne) {
    const idx hbw = 8, br = block_rows(hbw);
    band_matrix m = random_spd(10 * br, hbw, 5);
    m.set(2 * br + 7, 2 * br + 7, -1.0);  // a row of block 3
    expect_pivot_failure(m);
}

// A system long enough that phase 1 hands out groups of blocks in vector
// lanes: a failing pivot in a block of the first group, or of one in the
// middle of the sweep, fails the solve as a lone block's does.
TEST(PivotFailure, InABlockOfALaneGroup) {
    const idx hbw = 8, br = block_rows(hbw);
    for (const idx block : {3, 101}) {
        SCOPED_TRACE(::testing::Message() << "failing pivot in block " << block);
        band_matrix m = random_spd(200 * br, hbw, 7);
        const idx row = (block - 1) * br + 30;
        m.set(row, row, -1.0);
        expect_pivot_failure(m);
    }
}

// A coupling too strong for the rows it joins makes the matrix indefinite
// while every diagonal block stays positive-definite: the factorisations of
// phase 1 pass and the failure shows only when the block after the coupling
// is eliminated, at a later level (block 4 at level 4, block 8, the top
// block of ten, at level 8).
TEST(PivotFailure, InALaterEliminationSweep) {
    const idx hbw = 8, br = block_rows(hbw), n = 10 * br;
    for (const idx block : {4, 8}) {
        SCOPED_TRACE(::testing::Message() << "coupling before block " << block);
        band_matrix m = random_spd(n, hbw, 6);
        const idx e = (block - 1) * br;  // last row of the block before
        m.set(e, e + 1, 1.5 * std::sqrt(m.get(e, e) * m.get(e + 1, e + 1)));
        // Phase 1 cannot fail: every odd block factors on its own.
        const std::vector<float> a = to_band<float>(m);
        for (idx first = 1; first <= n; first += 2 * br) {
            std::vector<float> copy = a;
            std::int32_t flags[2] = {0, 0};
            pchol::band_factor_block(copy.data(), std::int32_t(hbw), std::int32_t(first),
                                     std::int32_t(std::min(first + br - 1, n)), 0.0f, flags, 1);
            ASSERT_EQ(flags[0], 0) << "block at row " << first;
        }
        expect_pivot_failure(m);
    }
}

// ---- Resource failures -----------------------------------------------------------

// The handles, thread slots and synchronisation points a solve leaves behind:
// none. A first solve creates the library's own table mutexes, which stay.
struct resources {
    int handles = platform::open_handle_count();
    std::int32_t threads = thr_slots_in_use();
    std::int32_t points = sync_points_in_use();
};

void warm_up() {
    const band_matrix m = random_spd(3, 1, 1);
    problem p(m, random_rhs(3, 1, 1), 1);
    use_threads(2);
    p.solve();
    ASSERT_EQ(p.info, pchol::info_ok);
}

void expect_nothing_left(const resources& before) {
    EXPECT_EQ(platform::open_handle_count(), before.handles);
    EXPECT_EQ(thr_slots_in_use(), before.threads);
    EXPECT_EQ(sync_points_in_use(), before.points);
}

// Without the mutex or a synchronisation point nothing is computed.
void expect_refused_untouched(std::int32_t threads) {
    const idx hbw = 3, n = 7 * block_rows(hbw);
    problem p(random_spd(n, hbw, 8), random_rhs(n, 2, 8), 2);
    const std::vector<float> a0 = p.a, b0 = p.b, w0 = p.work;
    use_threads(threads);
    within_time_limit([&] { p.solve(); });
    EXPECT_EQ(p.info, pchol::info_no_resources);
    EXPECT_TRUE(same_bits(p.a, a0));
    EXPECT_TRUE(same_bits(p.b, b0));
    EXPECT_TRUE(same_bits(p.work, w0));
}

TEST(ResourceFailure, Mutex) {
    warm_up();
    const resources before;
    platform::fail_next_create(platform::object_kind::mutex);
    expect_refused_untouched(4);
    expect_nothing_left(before);
}

TEST(ResourceFailure, SynchronisationPointEvent) {
    warm_up();
    const resources before;
    platform::fail_next_create(platform::object_kind::event);
    expect_refused_untouched(4);
    expect_nothing_left(before);
}

// The point table has one slot left: the first point is created, the second
// is not.
TEST(ResourceFailure, SecondSynchronisationPoint) {
    warm_up();
    std::vector<std::int32_t> taken;
    while (sync_points_in_use() < sync_table_size - 1) {
        std::int32_t id = 0;
        sync_create(id);
        ASSERT_NE(id, 0);
        taken.push_back(id);
    }
    const resources before;
    expect_refused_untouched(3);
    expect_nothing_left(before);
    for (const std::int32_t id : taken) sync_destroy(id);
}

// Threads that cannot be started: the solve completes on the others, B holds
// the solution, bit for bit the same as one thread's, and info reports the
// shortage.
TEST(ResourceFailure, WorkerThreads) {
    warm_up();
    const idx hbw = 8, n = 21 * block_rows(hbw) + 3;
    const band_matrix m = random_spd(n, hbw, 12);
    const std::vector<double> rhs = random_rhs(n, 2, 12);
    use_threads(1);
    problem one(m, rhs, 2);
    one.solve();
    ASSERT_EQ(one.info, pchol::info_ok);

    for (const int failures : {1, 2, 5}) {
        SCOPED_TRACE(::testing::Message() << failures << " of 5 threads not started");
        const resources before;
        for (int i = 0; i < failures; ++i) platform::fail_next_create(platform::object_kind::thread);
        use_threads(6);
        problem p(m, rhs, 2);
        within_time_limit([&] { p.solve(); });
        EXPECT_EQ(p.info, pchol::info_no_resources);
        EXPECT_TRUE(same_bits(p.a, one.a));
        EXPECT_TRUE(same_bits(p.b, one.b));
        expect_nothing_left(before);
    }
}

// The team is only as large as the system can use: a small system starts no
// thread at all (five armed thread failures change nothing), a large one its
// full team (they all strike), and both store one thread's bits.
TEST(TeamSize, SmallSystemsStartNoThreads) {
    warm_up();
    const idx hbw = 8;
    for (const idx n : {idx{2000}, idx{160000}}) {
        SCOPED_TRACE(::testing::Message() << "n = " << n);
        const band_matrix m = random_spd(n, hbw, 21);
        const std::vector<double> rhs = random_rhs(n, 1, 21);
        use_threads(1);
        problem one(m, rhs, 1);
        one.solve();
        ASSERT_EQ(one.info, pchol::info_ok);

        use_threads(6);
        pchol::set_team_trimming_for_testing(true);
        const resources before;
        for (int i = 0; i < 5; ++i) platform::fail_next_create(platform::object_kind::thread);
        problem p(m, rhs, 1);
        within_time_limit([&] { p.solve(); });
        if (n == 2000) {
            EXPECT_EQ(p.info, pchol::info_ok);
            // Nothing consumed the failures: a large solve takes them.
            problem big(random_spd(160000, hbw, 22), random_rhs(160000, 1, 22), 1);
            big.solve();
            EXPECT_EQ(big.info, pchol::info_no_resources);
        } else {
            EXPECT_EQ(p.info, pchol::info_no_resources);
        }
        pchol::set_team_trimming_for_testing(false);
        EXPECT_TRUE(same_bits(p.a, one.a));
        EXPECT_TRUE(same_bits(p.b, one.b));
        expect_nothing_left(before);
    }
}

// A thread count below 1 (a processor count of 0, or a negative setting)
// runs the solve on the calling thread instead of arming the barriers for
// nobody.
bool no_processors(std::uint32_t& process_mask, std::uint32_t& system_mask) {
    process_mask = 0;
    system_mask = 0;
    return true;
}

TEST(ThreadCount, BelowOneRunsOnTheCallingThread) {
    const idx hbw = 2, n = 5 * block_rows(hbw);
    const band_matrix m = random_spd(n, hbw, 4);
    const std::vector<double> rhs = random_rhs(n, 1, 4);
    const reference_solution ref = solve_reference(m, rhs, 1);
    auto check = [&] {
        problem p(m, rhs, 1);
        within_time_limit([&] { p.solve(); });
        ASSERT_EQ(p.info, pchol::info_ok);
        EXPECT_LE(max_error(p.b, ref.x), ref.bound);
        EXPECT_EQ(thr_slots_in_use(), 0);
    };

    pchol::set_affinity_query_for_testing(&no_processors);
    std::int32_t t = -1;
    get_thread_count(t);
    ASSERT_EQ(t, 0);
    check();

    // A negative setting is stored as the one thread the solve runs on.
    pchol::set_affinity_query_for_testing(nullptr);
    for (const std::int32_t k : {-3, -1, std::numeric_limits<std::int32_t>::min()}) {
        set_thread_count(k);
        get_thread_count(t);
        ASSERT_EQ(t, 1) << k;
        check();
    }
}

// ---- Arguments -------------------------------------------------------------------

TEST(Arguments, EmptySystemsAreValid) {
    use_threads(4);
    for (const std::int32_t n : {0, -1, -100}) {
        for (const std::int32_t hbw : {0, 8, std::numeric_limits<std::int32_t>::max()}) {
            std::vector<float> a(4, 2.0f), b(4, 3.0f), w(4, 4.0f);
            std::int32_t info = 12345;
            within_time_limit([&] { pchol_solve4(a.data(), n, hbw, b.data(), 1, w.data(), info); });
            EXPECT_EQ(info, pchol::info_ok) << n << " " << hbw;
            EXPECT_EQ(a, std::vector<float>(4, 2.0f));
            EXPECT_EQ(b, std::vector<float>(4, 3.0f));
            EXPECT_EQ(w, std::vector<float>(4, 4.0f));
        }
    }
    // No right-hand side: A is factored, B is not touched.
    const band_matrix m = random_spd(300, 3, 2);
    for (const std::int32_t nrhs : {0, -2}) {
        problem p(m, {}, 0);
        p.nrhs = nrhs;
        const std::vector<float> a0 = p.a, b0 = p.b;
        p.solve();
        EXPECT_EQ(p.info, pchol::info_ok);
        EXPECT_FALSE(same_bits(p.a, a0));
        EXPECT_TRUE(same_bits(p.b, b0));
    }
}

}  // namespace

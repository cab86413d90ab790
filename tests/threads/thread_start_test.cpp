// Starting threads: slot allocation, the stored argument references, and a
// refused thread creation.
#include "pchol/platform.hpp"
#include "handle_hog.hpp"
#include "pchol/platform_testing.hpp"
#include "pchol/threads.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace pchol_test;

using ThreadStart = LibraryTest;

std::atomic<int> no_argument_calls{0};

void count_call() { no_argument_calls.fetch_add(1); }

void bump(std::atomic<int>& counter) { counter.fetch_add(1); }

void hold(Gate& gate) { gate.pass(); }

std::int32_t start_bump(std::atomic<int>& counter) {
    std::int32_t id = -7;
    thr_start1(id, &bump, counter);
    return id;
}

TEST_F(ThreadStart, IdsCountUpAndContinuePastJoinedSlots) {
    std::atomic<int> calls{0};
    for (std::int32_t expected = 1; expected <= 3; ++expected) EXPECT_EQ(start_bump(calls), expected);
    for (std::int32_t id = 1; id <= 3; ++id) thr_join(id);
    EXPECT_EQ(thr_slots_in_use(), 0);

    // The freed slots 1..3 lie behind the cursor: the next thread gets 4.
    const std::int32_t next = start_bump(calls);
    EXPECT_EQ(next, 4);
    thr_join(next);
    EXPECT_EQ(calls.load(), 4);
}

TEST_F(ThreadStart, NoArgumentRoutineRuns) {
    std::int32_t id = 0;
    thr_start0(id, &count_call);
    ASSERT_EQ(id, 1);
    thr_join(id);
    EXPECT_EQ(no_argument_calls.load(), 1);
}

// Records where each of its arguments lives and what it held, then writes to
// every one of them.
std::array<const void*, 52> seen_address{};
std::array<std::int32_t, 52> seen_value{};

template <class... T>
void record_and_overwrite(T&... args) {
    std::size_t k = 0;
    ((seen_address[k] = &args, seen_value[k] = args, args = -args * 10, ++k), ...);
}

template <std::size_t>
using int32_at = std::int32_t;

TEST_F(ThreadStart, FiftyTwoReferencesArriveInOrderAndAreShared) {
    std::array<std::int32_t, 52> v{};
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = static_cast<std::int32_t>(k + 1);

    std::int32_t id = 0;
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        thr_start52(id, &record_and_overwrite<int32_at<K>...>, v[K]...);
    }(std::make_index_sequence<52>{});
    ASSERT_EQ(id, 1);
    thr_join(id);

    for (std::size_t k = 0; k < v.size(); ++k) {
        EXPECT_EQ(seen_address[k], &v[k]) << "argument " << k + 1;
        EXPECT_EQ(seen_value[k], static_cast<std::int32_t>(k + 1)) << "argument " << k + 1;
        EXPECT_EQ(v[k], -10 * static_cast<std::int32_t>(k + 1)) << "argument " << k + 1;
    }
}

struct Base {
    int tag = 0;
};
struct Derived : std::string, Base {};

void mixed(std::int32_t& out, const double& in, std::string& text, double (&row)[3], Base& base) {
    out = static_cast<std::int32_t>(in * 2.0 + row[2]);
    text += "!";
    row[0] = in;
    base.tag = 5;
}

TEST_F(ThreadStart, ReferencesOfMixedTypesReachTheRoutine) {
    std::int32_t out = 0;
    const double in = 20.5;
    std::string text = "shared";
    double row[3] = {0.0, 0.0, 1.0};
    Derived derived;  // Base is not its first base: its address differs

    std::int32_t id = 0;
    thr_start5(id, &mixed, out, in, text, row, derived);
    ASSERT_GT(id, 0);
    thr_join(id);
    EXPECT_EQ(out, 42);
    EXPECT_EQ(text, "shared!");
    EXPECT_EQ(row[0], 20.5);
    EXPECT_EQ(derived.tag, 5);
}

TEST_F(ThreadStart, FullTableGivesZeroAndWrapsToTheFirstFreeSlot) {
    auto gates = std::make_unique<std::array<Gate, thr_table_size>>();
    for (std::int32_t k = 1; k <= thr_table_size; ++k) {
        std::int32_t id = 0;
        thr_start1(id, &hold, (*gates)[static_cast<std::size_t>(k - 1)]);
        ASSERT_EQ(id, k);
    }
    EXPECT_EQ(thr_slots_in_use(), thr_table_size);
    const int handles_when_full = platform::open_handle_count();

    std::atomic<int> late_calls{0};
    EXPECT_EQ(start_bump(late_calls), 0);
    EXPECT_EQ(platform::open_handle_count(), handles_when_full);

    // The cursor stands at 1 again; slots 3 and 5 are freed and taken again
    // in order, after which the table is full once more.
    for (std::int32_t id : {3, 5}) {
        (*gates)[static_cast<std::size_t>(id - 1)].open();
        thr_join(id);
    }
    EXPECT_EQ(thr_slots_in_use(), thr_table_size - 2);
    EXPECT_EQ(start_bump(late_calls), 3);
    EXPECT_EQ(start_bump(late_calls), 5);
    EXPECT_EQ(start_bump(late_calls), 0);

    for (Gate& gate : *gates) gate.open();
    thr_join_all();
    EXPECT_EQ(thr_slots_in_use(), 0);
    EXPECT_EQ(late_calls.load(), 2);  // only the two threads that got a slot ran

}

TEST_F(ThreadStart, RefusedThreadCreationGivesZeroAndFreesTheSlot) {
    std::atomic<int> calls{0};
    EXPECT_EQ(start_bump(calls), 1);

    platform::fail_next_create(platform::object_kind::thread);
    EXPECT_EQ(start_bump(calls), 0);
    EXPECT_EQ(thr_slots_in_use(), 1);

    // Nothing of the refused start is left: the next start takes slot 2.
    EXPECT_EQ(start_bump(calls), 2);
    thr_join_all();
    EXPECT_EQ(calls.load(), 2);
}

// With the platform's handle table full the thread cannot get a handle: the
// start is refused and the routine never runs (a thread running unseen would
// outlive the caller's variables).
TEST_F(ThreadStart, FullHandleTableGivesZeroAndTheRoutineNeverRuns) {
    std::atomic<int> calls{0};
    const std::int32_t first = start_bump(calls);  // creates the table mutex
    ASSERT_EQ(first, 1);
    thr_join(first);
    {
        handle_hog hog;
        EXPECT_EQ(start_bump(calls), 0);
        EXPECT_EQ(thr_slots_in_use(), 0);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(calls.load(), 1) << "the refused thread ran";
    }
    EXPECT_EQ(start_bump(calls), 2) << "the refused start left the cursor where it was";
    thr_join_all();
    EXPECT_EQ(calls.load(), 2);
}

// The table mutex cannot be made on first use: the start is refused, and the
// next start makes the mutex and runs.
TEST_F(ThreadStart, RefusedTableMutexRefusesTheStart) {
    std::atomic<int> calls{0};
    platform::fail_next_create(platform::object_kind::mutex);
    EXPECT_EQ(start_bump(calls), 0);
    EXPECT_EQ(thr_slots_in_use(), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(start_bump(calls), 1);
    thr_join_all();
    EXPECT_EQ(calls.load(), 1);
}

// After thr_lib_cleanup the next start makes the table mutex again, and
// concurrent starts and joins are guarded by it as before.
TEST_F(ThreadStart, UseAfterCleanupIsGuardedAgain) {
    std::atomic<int> calls{0};
    thr_join(start_bump(calls));
    thr_lib_cleanup();
    EXPECT_EQ(platform::open_handle_count(), 0);
    std::vector<std::thread> starters;
    for (int s = 0; s < 8; ++s) {
        starters.emplace_back([&calls] {
            for (int k = 0; k < 50; ++k) {
                const std::int32_t id = start_bump(calls);
                EXPECT_GT(id, 0);
                thr_join(id);
            }
        });
    }
    for (std::thread& t : starters) t.join();
    EXPECT_EQ(calls.load(), 1 + 8 * 50);
    EXPECT_EQ(thr_slots_in_use(), 0);
    EXPECT_EQ(platform::open_handle_count(), 1) << "only the table mutex is left";
}

TEST_F(ThreadStart, ConcurrentStartsAndJoinsShareTheTable) {
#ifdef PCHOL_TEST_SMALL
    constexpr int per_starter = 100;
#else
    constexpr int per_starter = 500;
#endif
    std::atomic<int> calls{0};
    std::vector<std::thread> starters;
    for (int s = 0; s < 4; ++s) {
        starters.emplace_back([&calls] {
            std::int32_t id = 0;
            for (int k = 0; k < per_starter; ++k) {
                thr_start1(id, &bump, calls);
                EXPECT_GT(id, 0);
                thr_join(id);
            }
        });
    }
    for (std::thread& t : starters) t.join();
    EXPECT_EQ(calls.load(), 4 * per_starter);
    EXPECT_EQ(thr_slots_in_use(), 0);
}

}  // namespace

// Joining threads: waits, closes and freed slots, one thread at a time and
// table-wide.
#include "pchol/platform.hpp"
#include "pchol/platform_testing.hpp"
#include "pchol/threads.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <thread>

namespace {

using namespace pchol_test;

using Join = LibraryTest;

// Waits at the gate, then publishes a result with a plain write: the joining
// thread may read it only if the join really waited for the routine.
void finish_after_gate(Gate& gate, std::int32_t& result) {
    gate.pass();
    std::this_thread::sleep_for(2ms);
    result = 42;
}

// A thread held at its gate until the test opens it; it then sets result.
struct GatedThread {
    Gate gate;
    std::int32_t result = 0;
    std::int32_t id = 0;
    void start() { thr_start2(id, &finish_after_gate, gate, result); }
};

void finish_at_once(std::atomic<bool>& done) { done.store(true); }

void open_later(Gate& gate) {
    std::this_thread::sleep_for(30ms);
    gate.open();
}

TEST_F(Join, WaitsForARunningThreadAndFreesItsSlot) {
    GatedThread thread;
    thread.start();
    ASSERT_EQ(thread.id, 1);
    const int handles_while_running = platform::open_handle_count();

    std::thread opener(open_later, std::ref(thread.gate));
    thr_join(thread.id);
    EXPECT_EQ(thread.result, 42);
    EXPECT_EQ(thr_slots_in_use(), 0);
    EXPECT_EQ(platform::open_handle_count(), handles_while_running - 1);
    opener.join();

    // A second join of the same id finds the slot free and does nothing, not
    // even to a thread that has taken another slot meanwhile.
    GatedThread second;
    second.start();
    ASSERT_EQ(second.id, 2);
    thr_join(thread.id);
    EXPECT_EQ(thr_slots_in_use(), 1);
    second.gate.open();
    thr_join(second.id);
    EXPECT_EQ(second.result, 42);
    EXPECT_EQ(platform::open_handle_count(), handles_while_running - 1);
}

TEST_F(Join, ReturnsForAFinishedThread) {
    std::atomic<bool> done{false};
    std::int32_t id = 0;
    thr_start1(id, &finish_at_once, done);
    ASSERT_EQ(id, 1);
    wait_until([&] { return done.load(); });
    std::this_thread::sleep_for(5ms);
    thr_join(id);
    EXPECT_EQ(thr_slots_in_use(), 0);
}

TEST_F(Join, IdsThatNameNoTakenSlotAreIgnored) {
    GatedThread thread;
    thread.start();
    ASSERT_EQ(thread.id, 1);
    const int handles = platform::open_handle_count();

    // None of these may wait (the gate is shut) or touch slot 1.
    for (std::int32_t bad : {0, -1, 2, 1024, 1025, 70000}) {
        thr_join(bad);
        thr_wait(bad);
        thr_close(bad);
    }
    // Closing a thread that was never waited for does nothing either.
    thr_close(thread.id);
    EXPECT_EQ(thr_slots_in_use(), 1);
    EXPECT_EQ(platform::open_handle_count(), handles);

    thread.gate.open();
    thr_join(thread.id);
    EXPECT_EQ(thread.result, 42);
    EXPECT_EQ(thr_slots_in_use(), 0);
}

TEST_F(Join, WaitThenCloseEqualsJoin) {
    GatedThread thread;
    thread.start();
    ASSERT_EQ(thread.id, 1);
    const int handles = platform::open_handle_count();

    std::thread opener(open_later, std::ref(thread.gate));
    thr_wait(thread.id);
    EXPECT_EQ(thread.result, 42);
    opener.join();
    // Waited for, but the handle and the slot are still held; waiting again
    // must not undo the mark.
    EXPECT_EQ(thr_slots_in_use(), 1);
    EXPECT_EQ(platform::open_handle_count(), handles);
    thr_wait(thread.id);

    thr_close(thread.id);
    EXPECT_EQ(thr_slots_in_use(), 0);
    EXPECT_EQ(platform::open_handle_count(), handles - 1);
    thr_close(thread.id);  // the slot is free now: nothing happens
    EXPECT_EQ(platform::open_handle_count(), handles - 1);
}

// 65 threads held at gates; the one in the last slot is let go last, so a
// single wait cut to 64 threads would return before it has finished.
struct SixtyFive {
    static constexpr int count = 65;
    std::array<Gate, count> gates;
    std::array<std::int32_t, count> results{};
    std::array<std::int32_t, count> ids{};

    void start_all() {
        for (int k = 0; k < count; ++k) {
            thr_start2(ids[k], &finish_after_gate, gates[k], results[k]);
            ASSERT_EQ(ids[k], k + 1);
        }
    }
    std::thread open_all_last_one_late() {
        for (int k = 0; k < count - 1; ++k) gates[k].open();
        return std::thread(open_later, std::ref(gates[count - 1]));
    }
    void expect_all_finished() const {
        for (int k = 0; k < count; ++k) EXPECT_EQ(results[k], 42) << "thread " << k + 1;
    }
};

TEST_F(Join, WaitAllThenCloseAllCoverSixtyFiveThreads) {
    thr_wait_all();  // nothing to wait for yet
    thr_close_all();
    const int handles_before = platform::open_handle_count();

    SixtyFive threads;
    threads.start_all();
    std::thread opener = threads.open_all_last_one_late();
    thr_wait_all();
    threads.expect_all_finished();
    opener.join();
    EXPECT_EQ(thr_slots_in_use(), SixtyFive::count);

    // Every thread is marked as waited for: single joins now only close.
    thr_join(threads.ids[0]);
    thr_close(threads.ids[1]);
    EXPECT_EQ(thr_slots_in_use(), SixtyFive::count - 2);
    thr_close_all();
    EXPECT_EQ(thr_slots_in_use(), 0);
    // The table mutex is the one handle created on the way.
    EXPECT_EQ(platform::open_handle_count(), handles_before + 1);
}

TEST_F(Join, JoinAllCoversWaitedAndUnwaitedThreads) {
    thr_join_all();  // empty table: nothing happens

    SixtyFive threads;
    threads.start_all();
    threads.gates[9].open();
    thr_wait(threads.ids[9]);  // one of them waited for already
    std::thread opener = threads.open_all_last_one_late();
    thr_join_all();
    threads.expect_all_finished();
    opener.join();
    EXPECT_EQ(thr_slots_in_use(), 0);
}

}  // namespace

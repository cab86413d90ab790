// Mutexes and auto-reset events.
#include "support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

namespace {

using namespace platform_test;

#ifdef PCHOL_TEST_SMALL
constexpr int lock_rounds = 300;
constexpr int ping_rounds = 200;
#else
constexpr int lock_rounds = 5000;
constexpr int ping_rounds = 2000;
#endif

TEST(Mutex, ExcludesOtherThreads) {
    // More threads than cores; each section reads, dawdles and writes back a
    // plain counter, so any overlap loses increments or trips the flag.
    constexpr int threads = 8;
    const platform::handle m = platform::mutex_create();
    ASSERT_GT(m, 0);
    long counter = 0;
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};
    auto work = [&] {
        for (int r = 0; r < lock_rounds; ++r) {
            platform::mutex_lock(m);
            if (inside.exchange(true)) overlaps.fetch_add(1);
            const long seen = counter;
            std::this_thread::yield();
            counter = seen + 1;
            inside.store(false);
            platform::mutex_unlock(m);
        }
    };
    std::vector<platform::handle> hs;
    for (int t = 0; t < threads; ++t) hs.push_back(start(work));
    for (platform::handle h : hs) ASSERT_GT(h, 0);
    platform::thread_wait_group(hs.data(), threads);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, long{threads} * lock_rounds);
    for (platform::handle h : hs) platform::close_handle(h);
    platform::close_handle(m);
}

TEST(Mutex, LockWaitsForTheOwner) {
    const platform::handle m = platform::mutex_create();
    ASSERT_GT(m, 0);
    platform::mutex_lock(m);
    std::atomic<bool> got{false};
    auto taker = [&] {
        platform::mutex_lock(m);
        got = true;
        platform::mutex_unlock(m);
    };
    const platform::handle t = start(taker);
    pause_ms(quiet_ms);
    EXPECT_FALSE(got.load());
    platform::mutex_unlock(m);
    EXPECT_TRUE(eventually([&] { return got.load(); }));
    platform::thread_wait(t);
    platform::close_handle(t);
    platform::close_handle(m);
}

// Threads that each wait once on an event and count their release.
struct waiters {
    explicit waiters(platform::handle event, int count) : ev(event) {
        for (int i = 0; i < count; ++i) {
            const platform::handle h = start(body);
            if (h > 0) threads.push_back(h);
        }
    }
    ~waiters() {
        // After a failed check some may still wait: release them, never hang.
        while (released.load() < static_cast<int>(threads.size())) {
            platform::event_signal(ev);
            pause_ms(1);
        }
        platform::thread_wait_group(threads.data(), static_cast<int>(threads.size()));
        for (platform::handle h : threads) platform::close_handle(h);
    }
    platform::handle ev;
    std::atomic<int> ready{0};
    std::atomic<int> released{0};
    std::function<void()> body = [this] {
        ready.fetch_add(1);
        platform::event_wait(ev);
        released.fetch_add(1);
    };
    std::vector<platform::handle> threads;
};

// One waiter on e blocks, as no signal is pending, until a signal releases
// it. why says what a release before the signal would mean.
void expect_waiter_held_until_signal(platform::handle e, const char* why = "") {
    waiters w(e, 1);
    ASSERT_TRUE(eventually([&] { return w.ready.load() == 1; }));
    pause_ms(quiet_ms);
    EXPECT_EQ(w.released.load(), 0) << why;
    platform::event_signal(e);
    EXPECT_TRUE(eventually([&] { return w.released.load() == 1; }));
}

TEST(Event, EachSignalReleasesExactlyOneWaiter) {
    const platform::handle e = platform::event_create();
    ASSERT_GT(e, 0);
    {
        waiters w(e, 3);
        ASSERT_TRUE(eventually([&] { return w.ready.load() == 3; }));
        pause_ms(quiet_ms);  // let them block; a signal that comes first stays pending
        EXPECT_EQ(w.released.load(), 0);
        for (int n = 1; n <= 3; ++n) {
            platform::event_signal(e);
            EXPECT_TRUE(eventually([&] { return w.released.load() >= n; })) << "signal " << n;
            pause_ms(quiet_ms);
            EXPECT_EQ(w.released.load(), n) << "signal " << n << " released more than one waiter";
        }
    }
    platform::close_handle(e);
}

TEST(Event, SignalWithNobodyWaitingStaysPendingAndCollapses) {
    const platform::handle e = platform::event_create();
    ASSERT_GT(e, 0);
    platform::event_signal(e);
    platform::event_signal(e);  // collapses with the first
    {
        waiters w(e, 1);
        EXPECT_TRUE(eventually([&] { return w.released.load() == 1; })) << "pending signal was lost";
    }
    ASSERT_NO_FATAL_FAILURE(
        expect_waiter_held_until_signal(e, "two signals made while nobody waited released two waits"));
    platform::close_handle(e);
}

TEST(Event, ResetDiscardsPendingSignal) {
    const platform::handle e = platform::event_create();
    ASSERT_GT(e, 0);
    platform::event_signal(e);
    platform::event_reset(e);
    ASSERT_NO_FATAL_FAILURE(expect_waiter_held_until_signal(e));
    platform::close_handle(e);
}

TEST(Event, WritesBeforeSignalAreSeenAfterWait) {
    // Two threads hand a plain value back and forth; each adds one. Without
    // the ordering the event promises, a stale value shows (or, under the
    // thread sanitizer, a race is reported).
    const platform::handle ping = platform::event_create();
    const platform::handle pong = platform::event_create();
    ASSERT_GT(ping, 0);
    ASSERT_GT(pong, 0);
    long value = 0;
    auto partner = [&] {
        for (int r = 0; r < ping_rounds; ++r) {
            platform::event_wait(ping);
            value += 1;
            platform::event_signal(pong);
        }
    };
    const platform::handle t = start(partner);
    for (int r = 0; r < ping_rounds; ++r) {
        value += 1;
        platform::event_signal(ping);
        platform::event_wait(pong);
        ASSERT_EQ(value, 2L * (r + 1));
    }
    platform::thread_wait(t);
    platform::close_handle(t);
    platform::close_handle(ping);
    platform::close_handle(pong);
}

TEST(Handles, ZeroAndWrongKindAreIgnored) {
    const int open_before = platform::open_handle_count();
    const platform::handle m = platform::mutex_create();
    const platform::handle e = platform::event_create();
    ASSERT_GT(m, 0);
    ASSERT_GT(e, 0);
    EXPECT_NE(m, e);
    EXPECT_EQ(platform::open_handle_count(), open_before + 2);

    // None of these may block or act on the other object.
    platform::event_wait(0);
    platform::event_wait(m);
    platform::thread_wait(e);
    platform::thread_wait(0);
    platform::mutex_lock(e);
    platform::mutex_lock(0);
    platform::event_signal(m);
    platform::close_handle(0);
    platform::cpu_times times;
    EXPECT_FALSE(platform::process_times(m, times));
    EXPECT_FALSE(platform::process_times(0, times));

    // The event was not signalled by the calls on the mutex handle.
    ASSERT_NO_FATAL_FAILURE(expect_waiter_held_until_signal(e));

    platform::close_handle(m);
    platform::close_handle(m);  // a second close of the same number is ignored
    platform::event_wait(m);    // and the closed number names nothing
    EXPECT_EQ(platform::open_handle_count(), open_before + 1);
    platform::close_handle(e);
}

TEST(Handles, ArmedFailureHitsOnlyTheNextCreationOfItsKind) {
    const int open_before = platform::open_handle_count();
    platform::fail_next_create(platform::object_kind::event);
    platform::fail_next_create(platform::object_kind::event);
    const platform::handle m = platform::mutex_create();
    EXPECT_GT(m, 0);
    EXPECT_EQ(platform::event_create(), 0);
    EXPECT_EQ(platform::event_create(), 0);
    const platform::handle e = platform::event_create();
    EXPECT_GT(e, 0);

    platform::fail_next_create(platform::object_kind::mutex);
    EXPECT_EQ(platform::mutex_create(), 0);

    std::atomic<int> runs{0};
    auto body = [&] { runs.fetch_add(1); };
    platform::fail_next_create(platform::object_kind::thread);
    EXPECT_EQ(start(body), 0);
    const platform::handle t = start(body);
    ASSERT_GT(t, 0);
    platform::thread_wait(t);
    pause_ms(quiet_ms);
    EXPECT_EQ(runs.load(), 1) << "the refused thread ran";

    platform::close_handle(t);
    platform::close_handle(e);
    platform::close_handle(m);
    EXPECT_EQ(platform::open_handle_count(), open_before);
}

}  // namespace

// Thread start, waits for one thread and for groups, closing and stacks.
#include "handle_hog.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <vector>

#include "windows_api.hpp"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace {

using namespace platform_test;

struct job {
    int input = 0;
    int output = 0;
};

std::uint32_t square(void* p) {
    auto* j = static_cast<job*>(p);
    j->output = j->input * j->input;
    return 0;
}

TEST(Thread, RunsRoutineOnItsArgumentAndWaitSeesTheWrites) {
    job j{12, 0};
    const platform::handle t = platform::thread_create(square, &j);
    ASSERT_GT(t, 0);
    platform::thread_wait(t);
    EXPECT_EQ(j.output, 144);
    platform::thread_wait(t);  // a second wait on an ended thread returns at once
    platform::close_handle(t);
}

// n threads that end at different moments: thread 0 at once, the others a
// little later, so a wait that returns when the first ends is caught.
struct staggered {
    explicit staggered(int n) : done(static_cast<std::size_t>(n), 0) {
        for (int i = 0; i < n; ++i) {
            starts[static_cast<std::size_t>(i)] = {this, i};
            handles.push_back(platform::thread_create(body, &starts[static_cast<std::size_t>(i)]));
        }
    }
    ~staggered() {
        for (platform::handle h : handles) platform::thread_wait(h);
        for (platform::handle h : handles) platform::close_handle(h);
    }
    static std::uint32_t body(void* p) {
        auto* s = static_cast<start_arg*>(p);
        if (s->index != 0) pause_ms(20 + 5 * (s->index % 5));
        s->owner->done[static_cast<std::size_t>(s->index)] = 1;
        return 0;
    }
    struct start_arg {
        staggered* owner;
        int index;
    };
    std::array<start_arg, 80> starts{};
    std::vector<int> done;
    std::vector<platform::handle> handles;
};

TEST(Thread, GroupWaitOf65ThreadsInTwoWaits) {
    const int open_before = platform::open_handle_count();
    {
        staggered s(65);
        for (platform::handle h : s.handles) ASSERT_GT(h, 0);
        platform::thread_wait_group(s.handles.data(), 64);
        for (int i = 0; i < 64; ++i) EXPECT_EQ(s.done[static_cast<std::size_t>(i)], 1) << "thread " << i;
        platform::thread_wait_group(s.handles.data() + 64, 1);
        EXPECT_EQ(s.done[64], 1);
    }
    EXPECT_EQ(platform::open_handle_count(), open_before);
}

TEST(Thread, GroupWaitTakesAtMost64Handles) {
    staggered s(64);
    for (platform::handle h : s.handles) ASSERT_GT(h, 0);
    const platform::handle gate = platform::event_create();
    ASSERT_GT(gate, 0);
    std::atomic<bool> last_done{false};
    auto last = [&] {
        platform::event_wait(gate);
        last_done = true;
    };
    std::vector<platform::handle> group = s.handles;
    group.push_back(start(last));
    ASSERT_GT(group[64], 0);

    // The wait runs on a thread of its own so that a wait for the 65th
    // (blocked) thread fails the test instead of hanging it.
    std::atomic<bool> returned{false};
    auto waiter = [&] {
        platform::thread_wait_group(group.data(), 65);
        returned = true;
    };
    const platform::handle w = start(waiter);
    const bool came_back = eventually([&] { return returned.load(); });
    const bool last_ran_early = last_done.load();
    platform::event_signal(gate);
    platform::thread_wait(w);
    platform::thread_wait(group[64]);
    EXPECT_GT(w, 0);
    EXPECT_TRUE(came_back) << "the wait took in the 65th thread";
    EXPECT_FALSE(last_ran_early);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(s.done[static_cast<std::size_t>(i)], 1) << "thread " << i;
    EXPECT_TRUE(last_done.load());
    platform::close_handle(group[64]);
    platform::close_handle(w);
    platform::close_handle(gate);
}

TEST(Thread, GroupWaitSkipsEmptyAndRepeatedHandles) {
    staggered s(3);
    const platform::handle e = platform::event_create();
    ASSERT_GT(e, 0);
    const std::array<platform::handle, 6> group{s.handles[1], 0, s.handles[1], e, s.handles[2], s.handles[0]};
    platform::thread_wait_group(group.data(), static_cast<int>(group.size()));
    EXPECT_EQ(s.done, (std::vector<int>{1, 1, 1}));
    platform::thread_wait_group(group.data(), 0);
    platform::thread_wait_group(group.data(), -1);
    platform::close_handle(e);
}

TEST(Thread, ClosingARunningThreadLetsItFinish) {
    const int open_before = platform::open_handle_count();
    const platform::handle gate = platform::event_create();
    const platform::handle finished = platform::event_create();
    ASSERT_GT(gate, 0);
    ASSERT_GT(finished, 0);
    int result = 0;
    auto body = [&] {
        platform::event_wait(gate);
        result = 7;
        platform::event_signal(finished);
    };
    const platform::handle t = start(body);
    ASSERT_GT(t, 0);
    platform::close_handle(t);
    platform::thread_wait(t);  // the number names nothing any more: returns at once
    platform::event_signal(gate);
    platform::event_wait(finished);
    EXPECT_EQ(result, 7);
    platform::close_handle(gate);
    platform::close_handle(finished);
    EXPECT_EQ(platform::open_handle_count(), open_before);
}

// With every handle taken a thread must not start at all: its creator is
// told 0, and a thread running unseen would outlive whatever its caller
// cleans up. With one handle free again it starts and runs.
TEST(Thread, FullHandleTableStartsNoThread) {
    const int open_before = platform::open_handle_count();
    std::atomic<int> runs{0};
    auto body = [&] { runs.fetch_add(1); };
    {
        pchol_test::handle_hog hog;
        ASSERT_GT(hog.held(), 60'000);
        EXPECT_EQ(start(body), 0);
        EXPECT_EQ(platform::open_handle_count(), open_before + hog.held());
        pause_ms(quiet_ms);
        EXPECT_EQ(runs.load(), 0) << "a thread ran although its start was refused";

        hog.give_back(1);
        const platform::handle t = start(body);
        ASSERT_GT(t, 0);
        platform::thread_wait(t);
        EXPECT_EQ(runs.load(), 1);
        EXPECT_EQ(start(body), 0) << "the thread's handle is the last one";
        platform::close_handle(t);
    }
    EXPECT_EQ(platform::open_handle_count(), open_before);
}

// Touches most of half a MiB of stack, page by page.
int use_stack() {
    volatile char block[512 * 1024];
    for (std::size_t i = 0; i < sizeof block; i += 4096) block[i] = static_cast<char>(i >> 12);
    int sum = 0;
    for (std::size_t i = 0; i < sizeof block; i += 4096) sum += block[i];
    return sum;
}

TEST(Thread, StackReservesOneMebibyte) {
    std::size_t reserved = 0;
    int sum = 0;
    auto body = [&] {
#ifdef _WIN32
        ULONG_PTR low = 0;
        ULONG_PTR high = 0;
        GetCurrentThreadStackLimits(&low, &high);
        reserved = static_cast<std::size_t>(high - low);
#else
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstacksize(&attr, &reserved);
            pthread_attr_destroy(&attr);
        }
#endif
        sum = use_stack();
    };
    const platform::handle t = start(body);
    ASSERT_GT(t, 0);
    platform::thread_wait(t);
    platform::close_handle(t);
#ifdef _WIN32
    EXPECT_EQ(reserved, std::size_t{1} << 20);
#else
    EXPECT_GE(reserved, std::size_t{1} << 20);  // sanitizer builds reserve more
#endif
    EXPECT_EQ(sum, 127 * 128 / 2);
}

}  // namespace

// Helpers shared by the threading tests: a watchdog that turns a hang into a
// failure, and a gate that holds library threads until the test opens it.
#pragma once

#include "pchol/platform.hpp"
#include "pchol/platform_testing.hpp"
#include "pchol/threads.hpp"
#include "pchol/threads_testing.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace pchol_test {

using namespace std::chrono_literals;

// Ends the test process with a failure when the scope is still running after
// the limit: a blocked barrier or join must not hang the test run. (Every test
// runs in a process of its own, so ending the process fails only this test.)
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit = std::chrono::seconds(120))
        : thread_([this, limit] {
              std::unique_lock<std::mutex> guard(lock_);
              if (!cv_.wait_for(guard, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: test still running after %lld s, giving up\n",
                               static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  std::_Exit(EXIT_FAILURE);
              }
          }) {}

    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex lock_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// A one-shot gate: threads block in pass() until open() is called. A mutex
// and condition variable rather than an atomic wait: one C++ library for
// Windows loses atomic wake-ups when hundreds of threads wait at once.
struct Gate {
    std::mutex lock;
    std::condition_variable cv;
    bool opened = false;

    void pass() {
        std::unique_lock<std::mutex> guard(lock);
        cv.wait(guard, [this] { return opened; });
    }
    void open() {
        {
            std::lock_guard<std::mutex> guard(lock);
            opened = true;
        }
        cv.notify_all();
    }
};

// Base of every threading test. The watchdog covers the test body and the
// tear-down, which joins every thread still in the table, destroys every
// synchronisation point and closes the library's table mutexes; after that
// no platform handle may be left open.
class LibraryTest : public ::testing::Test {
protected:
    void TearDown() override {
        thr_join_all();
        for (std::int32_t id = 1; id <= sync_table_size; ++id) sync_destroy(id);
        thr_lib_cleanup();
        thr_reset_cursors_for_testing();
        EXPECT_EQ(platform::open_handle_count(), 0) << "a handle was left open";
    }

private:
    Watchdog watchdog_;
};

// Spins (yielding) until the condition holds; the watchdog bounds the wait.
template <class Condition>
void wait_until(Condition condition) {
    while (!condition()) std::this_thread::yield();
}

}  // namespace pchol_test

// Library state and the mutex routines.
#include "library_state.hpp"
#include "pchol/threads.hpp"
#include "pchol/threads_testing.hpp"

#include <atomic>
#include <mutex>

namespace pchol::threads_detail {

constinit std::array<ThreadSlot, thr_table_size> thr_table{};
constinit std::int32_t thr_next_slot = 1;
constinit std::array<SyncPoint, sync_table_size> sync_table{};
constinit std::int32_t sync_next_slot = 1;

namespace {

// A table mutex: 0 until first use. The first caller creates it, whatever
// thread that is; a creation the platform refused leaves 0, which the caller
// takes as a refusal of its allocation, and is tried again by the next
// caller. Clean-up closes it and puts it back to 0, so that the next use
// creates it again in the same way.
struct table_mutex {
    std::mutex creating;
    std::atomic<platform::handle> handle{0};

    platform::handle get() {
        platform::handle h = handle.load(std::memory_order_acquire);
        if (h != 0) return h;
        std::lock_guard<std::mutex> guard(creating);
        h = handle.load(std::memory_order_relaxed);
        if (h == 0) {
            h = platform::mutex_create();
            handle.store(h, std::memory_order_release);
        }
        return h;
    }

    // Closes the mutex if it was ever created.
    void close() {
        std::lock_guard<std::mutex> guard(creating);
        const platform::handle h = handle.exchange(0, std::memory_order_acq_rel);
        if (h != 0) platform::close_handle(h);
    }
};

table_mutex thr_table_lock;
table_mutex sync_table_lock;

}  // namespace

platform::handle thr_table_mutex() { return thr_table_lock.get(); }
platform::handle sync_table_mutex() { return sync_table_lock.get(); }

}  // namespace pchol::threads_detail

void thr_mutex_create(std::int32_t& handle) {
    handle = platform::mutex_create();
}

void thr_mutex_lock(const std::int32_t& handle) {
    platform::mutex_lock(handle);
}

void thr_mutex_unlock(const std::int32_t& handle) {
    platform::mutex_unlock(handle);
}

void thr_mutex_close(const std::int32_t& handle) {
    platform::close_handle(handle);
}

void thr_lib_cleanup() {
    using namespace pchol::threads_detail;
    thr_table_lock.close();
    sync_table_lock.close();
}

void thr_reset_cursors_for_testing() {
    using namespace pchol::threads_detail;
    thr_next_slot = 1;
    sync_next_slot = 1;
}

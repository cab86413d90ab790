// Library state and the mutex routines.
#include "library_state.hpp"
#include "pchol/threads.hpp"

#include <atomic>
#include <mutex>

namespace pchol::threads_detail {

std::array<ThreadSlot, 1024> thr_table{};
std::int32_t thr_next_slot = 1;
std::array<SyncPoint, 64> sync_table{};
std::int32_t sync_next_slot = 1;

namespace {

// A table mutex: 0 until first use. call_once makes the check-and-create
// safe whichever thread gets there first.
struct table_mutex {
    std::once_flag once;
    std::atomic<platform::handle> handle{0};

    platform::handle get() {
        std::call_once(once, [this] { handle.store(platform::mutex_create(), std::memory_order_release); });
        return handle.load(std::memory_order_acquire);
    }

    // The handle if it was ever created, else 0; never creates.
    platform::handle created() const { return handle.load(std::memory_order_acquire); }
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
    if (platform::handle h = thr_table_lock.created(); h != 0) platform::close_handle(h);
    if (platform::handle h = sync_table_lock.created(); h != 0) platform::close_handle(h);
}

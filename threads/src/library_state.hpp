// The library's process-wide state: the thread table, the synchronisation
// point table, their allocation cursors and the two mutexes that guard
// allocation. All of it is statically initialised.
//
// The tables are read and written without a table lock outside allocation.
// The fields that one thread may write while another reads them (a slot's
// id, a thread's handle, a point's state and pass count) are atomics; the
// rest are written before they are published (thread creation, the id store)
// or are guarded by a mutex of their own.
#pragma once

#include "pchol/platform.hpp"
#include "pchol/threads.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace pchol::threads_detail {

// What a slot's thread runs. The thread is given a pointer to `routine`, the
// first member of this standard-layout record, and so reaches `nargs` and
// `args` behind it. args[0 .. nargs-1] are the references in call order; the
// entries above nargs keep whatever an earlier use of the slot left.
struct ThreadCall {
    ThreadRoutine routine;
    std::int32_t nargs = 0;
    std::array<void*, thr_max_args> args{};
};
static_assert(std::is_standard_layout_v<ThreadCall>);
static_assert(offsetof(ThreadCall, routine) == 0);

// The platform's start routine for every library thread: p points to a
// slot's `call.routine`. Calls the routine with the stored references and
// returns 0; leaves the slot as it is.
std::uint32_t thr_entry(void* p);

}  // namespace pchol::threads_detail

// One started thread. id is the slot's own number while it is taken, -1 (or
// any value that is not positive) while it is free. handle is positive until
// the thread has been waited for, then its negation until it is closed, and 0
// when there is none.
struct ThreadSlot {
    std::atomic<std::int32_t> id{-1};
    std::atomic<std::int32_t> handle{0};
    pchol::threads_detail::ThreadCall call;
};

// One synchronisation point: an auto-reset event that releases the parties
// one at a time, and a mutex that guards the arrival count.
struct SyncPoint {
    std::atomic<std::int32_t> id{-1};
    std::int32_t event = 0;
    std::int32_t mutex = 0;
    std::int32_t remaining = 0;          // arrivals still expected; under `mutex`
    std::atomic<std::int32_t> state{0};  // SYNC_ARMED, SYNC_OPEN or SYNC_PASSING
    std::atomic<std::int32_t> passes{0};  // wake-ups still to hand on
    std::atomic<std::int32_t> parties{0};  // the count of the last arming (for sync_destroy)
};

inline constexpr std::int32_t SYNC_ARMED = 0;
inline constexpr std::int32_t SYNC_PASSING = 1;
inline constexpr std::int32_t SYNC_OPEN = 3;

static_assert(std::atomic<std::int32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::int32_t>) == sizeof(std::int32_t));

namespace pchol::threads_detail {

extern std::array<ThreadSlot, thr_table_size> thr_table;  // slot i at index i - 1
extern std::int32_t thr_next_slot;                        // under thr_table_mutex
extern std::array<SyncPoint, sync_table_size> sync_table;  // slot i at index i - 1
extern std::int32_t sync_next_slot;                        // under sync_table_mutex

// The table mutexes, created on first use (whatever thread comes first),
// closed by thr_lib_cleanup and created again by the first use after it. 0
// when the platform refused to create one: the allocation is then refused.
platform::handle thr_table_mutex();
platform::handle sync_table_mutex();

// Holds a platform mutex for the life of the scope.
class platform_lock {
public:
    explicit platform_lock(platform::handle mutex) : mutex_(mutex) { platform::mutex_lock(mutex_); }
    ~platform_lock() { platform::mutex_unlock(mutex_); }
    platform_lock(const platform_lock&) = delete;
    platform_lock& operator=(const platform_lock&) = delete;

private:
    platform::handle mutex_;
};

// The slot that id names, or nullptr when id is out of range or the slot does
// not hold that number.
inline ThreadSlot* taken_thread_slot(std::int32_t id) {
    if (id < 1 || id > thr_table_size) return nullptr;
    ThreadSlot& slot = thr_table[static_cast<std::size_t>(id - 1)];
    return slot.id.load(std::memory_order_acquire) == id ? &slot : nullptr;
}

inline SyncPoint* taken_sync_point(std::int32_t id) {
    if (id < 1 || id > sync_table_size) return nullptr;
    SyncPoint& point = sync_table[static_cast<std::size_t>(id - 1)];
    return point.id.load(std::memory_order_acquire) == id ? &point : nullptr;
}

}  // namespace pchol::threads_detail

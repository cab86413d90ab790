// Synchronisation points: barriers that release one party first.
//
// A round for k parties, armed with sync_reset(id, k):
//   1. Each party arrives (remaining k -> 0 under the point's mutex) and
//      waits on the auto-reset event. The k-th arrival sets SYNC_OPEN and
//      signals once.
//   2. The signal wakes one waiter. It finds SYNC_OPEN, sets SYNC_PASSING and
//      returns not_first = 0 without signalling; the other k - 1 stay blocked.
//   3. After its serial work it calls sync_release: passes k -> k - 1 and one
//      signal (for k = 1, passes -> 0 and no signal).
//   4. The m-th party woken (m = 2..k) finds SYNC_PASSING and passes
//      k - m + 1; if that is above 1 it counts it down and signals once for
//      the next party, else it sets 0 and signals nothing.
// Exactly one signal is outstanding at any time and each wakes one party, so
// `state` and `passes` are only ever touched by the one party between its
// wake-up and its own signal: there is never a concurrent access, and the
// atomics merely spell the hand-over out.
#include "library_state.hpp"
#include "pchol/threads.hpp"

using pchol::threads_detail::platform_lock;
using pchol::threads_detail::sync_next_slot;
using pchol::threads_detail::sync_table;
using pchol::threads_detail::taken_sync_point;

namespace {

// The tail of every release: wake the next party while wake-ups are owed.
void hand_on(SyncPoint& point) {
    const std::int32_t passes = point.passes.load(std::memory_order_acquire);
    if (passes > 1) {
        point.passes.store(passes - 1, std::memory_order_release);
        platform::event_signal(point.event);
    } else {
        point.passes.store(0, std::memory_order_release);
    }
}

}  // namespace

void sync_create(std::int32_t& id) {
    const platform::handle table_mutex = pchol::threads_detail::sync_table_mutex();
    if (table_mutex == 0) {
        id = 0;  // without its lock the table cannot be searched safely
        return;
    }
    platform_lock table_lock(table_mutex);

    const std::int32_t first = sync_next_slot;
    std::int32_t i = first;
    while (sync_table[static_cast<std::size_t>(i - 1)].id.load(std::memory_order_acquire) != -1) {
        i = i == sync_table_size ? 1 : i + 1;
        if (i == first) {
            id = 0;  // all points exist
            return;
        }
    }

    SyncPoint& point = sync_table[static_cast<std::size_t>(i - 1)];
    const platform::handle event = platform::event_create();
    const platform::handle mutex = platform::mutex_create();
    if (event == 0 || mutex == 0) {
        // A point without its event or mutex would let every party straight
        // through; report the failure instead and leave the table as it was.
        platform::close_handle(event);
        platform::close_handle(mutex);
        id = 0;
        return;
    }
    sync_next_slot = i == sync_table_size ? 1 : i + 1;
    point.event = event;
    point.mutex = mutex;
    point.id.store(i, std::memory_order_release);
    id = i;
}

void sync_reset(const std::int32_t& id, const std::int32_t& parties) {
    SyncPoint* point = taken_sync_point(id);
    if (point == nullptr) return;
    point->remaining = parties;
    point->parties.store(parties, std::memory_order_relaxed);
    point->state.store(SYNC_ARMED, std::memory_order_relaxed);
    point->passes.store(parties, std::memory_order_release);
    platform::event_reset(point->event);  // discard a signal left over
}

void sync_arrive(const std::int32_t& id) {
    SyncPoint* point = taken_sync_point(id);
    if (point == nullptr) return;
    platform_lock arrival(point->mutex);
    if (--point->remaining == 0) {
        point->state.store(SYNC_OPEN, std::memory_order_release);
        platform::event_signal(point->event);
    }
}

void sync_wait(const std::int32_t& id, std::int32_t& not_first) {
    SyncPoint* point = taken_sync_point(id);
    if (point == nullptr) return;
    platform::event_wait(point->event);
    switch (point->state.load(std::memory_order_acquire)) {
    case SYNC_OPEN:
        // First released: nothing is passed on until sync_release.
        point->state.store(SYNC_PASSING, std::memory_order_release);
        not_first = 0;
        break;
    case SYNC_PASSING:
        not_first = 1;
        hand_on(*point);
        break;
    default:
        // Woken while armed, by a signal no arrival made: pass nothing on.
        break;
    }
}

void sync_wait_all(const std::int32_t& id) {
    SyncPoint* point = taken_sync_point(id);
    if (point == nullptr) return;
    platform::event_wait(point->event);
    hand_on(*point);
}

void sync_release(const std::int32_t& id) {
    SyncPoint* point = taken_sync_point(id);
    if (point == nullptr) return;
    hand_on(*point);
}

namespace {

// True while a party is blocked in the point's round: it has arrived and
// not been released, or it is still owed a wake-up of the chain. Read from
// the point's counters, so the barrier's own path pays nothing for it:
//   armed:    the parties that arrived are waiting (remaining below the count
//             of the arming);
//   open:     passes is the number of parties not yet released (also along a
//             chain of sync_wait_all, which leaves the state open);
//   passing:  before sync_release passes is still the count of the arming
//             and every party but the first is blocked; after it, passes is
//             the number of parties still blocked. Arrivals beyond the count
//             (remaining below 0) wait as well.
bool parties_inside(SyncPoint& point) {
    std::int32_t remaining = 0;
    {
        platform_lock arrival(point.mutex);
        remaining = point.remaining;
    }
    const std::int32_t parties = point.parties.load(std::memory_order_relaxed);
    const std::int32_t passes = point.passes.load(std::memory_order_acquire);
    switch (point.state.load(std::memory_order_acquire)) {
    case SYNC_OPEN:
        return passes > 0;
    case SYNC_PASSING:
        return remaining < 0 || (passes == parties ? parties > 1 : passes > 0);
    default:
        return remaining != parties;
    }
}

}  // namespace

void sync_destroy(const std::int32_t& id) {
    SyncPoint* point = taken_sync_point(id);
    if (point == nullptr) return;
    if (parties_inside(*point)) return;  // closing the event would strand them
    platform::close_handle(point->event);
    platform::close_handle(point->mutex);
    point->id.store(-1, std::memory_order_release);
}

std::int32_t sync_points_in_use() {
    std::int32_t n = 0;
    for (const SyncPoint& point : sync_table) {
        if (point.id.load(std::memory_order_acquire) != -1) ++n;
    }
    return n;
}

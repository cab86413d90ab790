// What every parallel routine of the solver needs to run as a team of
// threads: the shared cursors and flags, the counter mutex, the barrier on a
// pair of synchronisation points, and, on the driver's side, the creation
// of the shared objects and the start and join of the team. The
// block-cyclic-reduction solver and the pipelined drivers share them.
#pragma once

#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/threads.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>

namespace pchol::detail {

using i32 = std::int32_t;

inline constexpr std::int64_t i32_max = std::numeric_limits<i32>::max();

// ---- Inside the team ----------------------------------------------------------------

// Holds the counter mutex for one read and advance of a cursor.
class counter_lock {
public:
    explicit counter_lock(const i32& mutex) : mutex_(mutex) { thr_mutex_lock(mutex_); }
    ~counter_lock() { thr_mutex_unlock(mutex_); }
    counter_lock(const counter_lock&) = delete;
    counter_lock& operator=(const counter_lock&) = delete;

private:
    const i32& mutex_;
};

// Cursors are advanced under the counter mutex but also read outside it (end
// tests after a barrier, while a faster thread already takes tasks of the
// next sweep), and fail_flags is written by a failing factorisation while
// other threads read it. Every such access goes through atomic_ref. Relaxed
// order is enough: the mutex and the barriers order the data that goes with
// them.
inline i32 load(i32& shared) { return std::atomic_ref<i32>(shared).load(std::memory_order_relaxed); }
inline void store(i32& shared, std::int64_t value) {
    std::atomic_ref<i32>(shared).store(static_cast<i32>(value), std::memory_order_relaxed);
}

// One barrier on sync_pair(sync_index), sync_index being 1 or 2:
//   1. every thread arrives at the point and waits;
//   2. the point releases one thread first (not_first = 0) while the others
//      stay blocked in sync_wait;
//   3. that thread alone applies the counter update of this barrier, then arms
//      the other point for the next barrier (nobody can be at the other point
//      now: every thread has arrived here), then passes the wake-up on;
//   4. the others return from sync_wait one by one and see the update.
template <class Update>
void barrier(const i32 (&sync_pair)[2], i32 sync_index, const i32& num_threads, Update&& update) {
    const i32& point = sync_pair[sync_index - 1];
    sync_arrive(point);
    i32 not_first = 1;
    sync_wait(point, not_first);
    if (not_first == 0) {
        update();
        sync_reset(sync_pair[2 - sync_index], num_threads);
        sync_release(point);
    }
}

// ---- The driver's side ---------------------------------------------------------------

// The team's size: the thread count of the settings, at least 1 (a count of
// 0 would arm the barriers for nobody) and at most max_threads (the size of
// the driver's table of started threads).
inline i32 team_size() {
    i32 threads = 0;
    get_thread_count(threads);
    return std::clamp<i32>(threads, 1, max_threads);
}

// The team is only as large as the work can use. A member costs its start
// and the barriers it crosses (some tenths of a millisecond in all), so each
// one gets at least team_member_work of the system, counted as rows times
// (hbw + 8), a rough measure of the arithmetic of a row, and at least
// team_member_tasks of the first sweep's tasks (blocks or panels). Results do
// not depend on the team's size, so this changes no value. Measured on a
// 2-core x86-64: two threads break even with one near n = 35,000 at hbw 8
// and n = 50,000 at hbw 4.
// The tests can turn this off (settings_testing.hpp).
inline constexpr std::int64_t team_member_work = 400000;
inline constexpr std::int64_t team_member_tasks = 4;

bool team_trimming();

inline i32 team_size(std::int64_t n, std::int64_t hbw, std::int64_t first_tasks) {
    if (!team_trimming()) return team_size();
    const std::int64_t by_work = n * (hbw + 8) / team_member_work;
    const std::int64_t by_tasks = first_tasks / team_member_tasks;
    return static_cast<i32>(std::clamp<std::int64_t>(std::min(by_work, by_tasks), 1, team_size()));
}

// The objects a team shares for one call: the counter mutex and the pair of
// synchronisation points. Created all or nothing; closed by the driver after
// the join.
struct team_objects {
    i32 counter_mutex = 0;
    i32 sync_pair[2] = {0, 0};

    team_objects() = default;
    team_objects(const team_objects&) = delete;
    team_objects& operator=(const team_objects&) = delete;

    // False when the mutex or a point could not be created (sync_create gives
    // id 0 when the table is full or the point's event or mutex could not be
    // created); nothing is left open then.
    bool create() {
        thr_mutex_create(counter_mutex);
        if (counter_mutex == 0) return false;
        sync_create(sync_pair[0]);
        if (sync_pair[0] != 0) sync_create(sync_pair[1]);
        if (sync_pair[0] == 0 || sync_pair[1] == 0) {
            close();
            return false;
        }
        return true;
    }
    void close() {
        thr_mutex_close(counter_mutex);
        sync_destroy(sync_pair[0]);
        sync_destroy(sync_pair[1]);
    }
};

// The threads a driver starts besides itself.
class team_threads {
public:
    team_threads() = default;
    team_threads(const team_threads&) = delete;
    team_threads& operator=(const team_threads&) = delete;

    // Starts threads - 1 threads with start_one(id), which starts one member
    // (with thr_startN) and stores its id, 0 when it could not be started.
    //
    // A thread that could not be started is a party that the first barrier
    // (on first_point, armed for every thread) would wait for forever. The
    // calling thread arrives on its behalf and lowers the party count
    // num_threads that every later barrier is armed with. Both happen before
    // the calling thread runs its own share, and the first barrier cannot open
    // before the calling thread has arrived there itself, so no barrier opens
    // or is armed with the old count. The team then runs to the end on the
    // threads it has, and missing() tells the driver to report the shortage.
    template <class Start>
    void start(i32 threads, i32& num_threads, const i32& first_point, Start&& start_one) {
        started_ = threads - 1;
        for (i32 i = 0; i < started_; ++i) {
            start_one(ids_[i]);
            if (ids_[i] == 0) ++missing_;
        }
        if (missing_ > 0) {
            num_threads = threads - missing_;
            for (i32 i = 0; i < missing_; ++i) sync_arrive(first_point);
        }
    }

    // Joins the started threads in the order they were started.
    void join() {
        for (i32 i = 0; i < started_; ++i)
            if (ids_[i] != 0) thr_join(ids_[i]);
    }

    i32 missing() const { return missing_; }

private:
    i32 ids_[max_threads] = {};
    i32 started_ = 0;
    i32 missing_ = 0;
};

// One call's team on the objects shared: arms the first point for
// num_threads (= threads), starts the other members with start_one(id), runs
// the calling thread's share own(), joins, and closes the objects. A thread
// that cannot be started leaves the work to the others (team_threads::start):
// A and B hold the same values, bit for bit, as with any team size, and info
// reports the shortage with info_no_resources unless a pivot failed (a
// failure flag is -1).
template <class Start, class Own>
void run_team(team_objects& shared, i32 threads, i32& num_threads, const i32 (&fail_flags)[2], i32& info,
              Start&& start_one, Own&& own) {
    sync_reset(shared.sync_pair[0], num_threads);
    team_threads members;
    members.start(threads, num_threads, shared.sync_pair[0], start_one);
    own();
    members.join();
    info = fail_flags[0] | fail_flags[1];
    if (info == info_ok && members.missing() > 0) info = info_no_resources;
    shared.close();
}

}  // namespace pchol::detail

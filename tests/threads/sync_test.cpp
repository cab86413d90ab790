// Synchronisation points: allocation, one round for one and for several
// parties, the signal chain, re-arming, and the solver's pattern of two
// points used alternately.
#include "pchol/platform.hpp"
#include "pchol/platform_testing.hpp"
#include "pchol/threads.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using namespace pchol_test;

using SyncPoint = LibraryTest;
using SyncTable = LibraryTest;

std::int32_t create_point() {
    std::int32_t id = -7;
    sync_create(id);
    return id;
}

// A new point reset for the given number of parties; 0 if none could be made.
std::int32_t create_point_for(std::int32_t parties) {
    const std::int32_t id = create_point();
    if (id > 0) sync_reset(id, parties);
    return id;
}

TEST_F(SyncTable, HandsOutSlotsRoundRobinAndWraps) {
    // A destroyed slot behind the cursor waits until the cursor comes round.
    EXPECT_EQ(create_point(), 1);
    EXPECT_EQ(create_point(), 2);
    sync_destroy(1);
    EXPECT_EQ(create_point(), 3);

    for (std::int32_t expected = 4; expected <= sync_table_size; ++expected) EXPECT_EQ(create_point(), expected);
    EXPECT_EQ(create_point(), 1);  // the cursor wrapped; 1 is the first free slot
    EXPECT_EQ(sync_points_in_use(), sync_table_size);
    EXPECT_EQ(create_point(), 0);

    sync_destroy(5);
    sync_destroy(40);
    EXPECT_EQ(create_point(), 5);
    EXPECT_EQ(create_point(), 40);
    EXPECT_EQ(create_point(), 0);

    for (std::int32_t id = 1; id <= sync_table_size; ++id) sync_destroy(id);
    EXPECT_EQ(sync_points_in_use(), 0);
}

TEST_F(SyncTable, RefusedEventOrMutexGivesZero) {
    const std::int32_t first = create_point();
    ASSERT_EQ(first, 1);
    const int handles = platform::open_handle_count();

    platform::fail_next_create(platform::object_kind::event);
    EXPECT_EQ(create_point(), 0);
    platform::fail_next_create(platform::object_kind::mutex);
    EXPECT_EQ(create_point(), 0);
    EXPECT_EQ(sync_points_in_use(), 1);
    EXPECT_EQ(platform::open_handle_count(), handles);

    EXPECT_EQ(create_point(), 2);
}

// The table mutex that the first creation makes cannot be made: that
// creation is refused (no point, nothing open), and the next one makes the
// mutex and succeeds.
TEST_F(SyncTable, RefusedTableMutexRefusesTheCreation) {
    platform::fail_next_create(platform::object_kind::mutex);
    EXPECT_EQ(create_point(), 0);
    EXPECT_EQ(sync_points_in_use(), 0);
    EXPECT_EQ(platform::open_handle_count(), 0);
    EXPECT_EQ(create_point(), 1);
    EXPECT_EQ(platform::open_handle_count(), 3) << "the table mutex, the point's event and mutex";
}

// After thr_lib_cleanup the table mutex is made again by the next creation,
// and it guards the table as before: eight threads creating and destroying
// points at once never hold the same id at the same time.
TEST_F(SyncTable, UseAfterCleanupIsGuardedAgain) {
    sync_destroy(create_point());
    thr_lib_cleanup();
    EXPECT_EQ(platform::open_handle_count(), 0);
    sync_destroy(create_point());
    EXPECT_EQ(platform::open_handle_count(), 1) << "the table mutex is back";
    thr_lib_cleanup();

#ifdef PCHOL_TEST_SMALL
    constexpr int rounds = 200;
#else
    constexpr int rounds = 2000;
#endif
    std::array<std::atomic<int>, sync_table_size + 1> holders{};
    std::atomic<int> clashes{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 8; ++t) {
        users.emplace_back([&] {
            for (int k = 0; k < rounds; ++k) {
                const std::int32_t id = create_point();
                if (id <= 0 || id > sync_table_size) {
                    refused.fetch_add(1);
                    continue;
                }
                if (holders[static_cast<std::size_t>(id)].fetch_add(1) != 0) clashes.fetch_add(1);
                holders[static_cast<std::size_t>(id)].fetch_sub(1);
                sync_destroy(id);
            }
        });
    }
    for (std::thread& t : users) t.join();
    EXPECT_EQ(clashes.load(), 0) << "two threads were handed the same point";
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(sync_points_in_use(), 0);
    EXPECT_EQ(platform::open_handle_count(), 1) << "only the table mutex is left";
}

TEST_F(SyncPoint, IdsThatNameNoPointAreIgnored) {
    const std::int32_t live = create_point();
    const std::int32_t gone = create_point();
    sync_destroy(gone);
    sync_reset(live, 1);

    for (std::int32_t bad : {0, -1, gone, 65, 1000}) {
        std::int32_t not_first = 7;
        sync_reset(bad, 1);
        sync_arrive(bad);
        sync_wait(bad, not_first);  // must not block
        sync_wait_all(bad);
        sync_release(bad);
        sync_destroy(bad);
        EXPECT_EQ(not_first, 7);
    }
    EXPECT_EQ(sync_points_in_use(), 1);

    std::int32_t not_first = 7;
    sync_arrive(live);
    sync_wait(live, not_first);
    EXPECT_EQ(not_first, 0);
}

// A party that waits on the point after a finished round, as a check that
// the round left no signal behind. It must stay blocked until the test arms
// the point for one more party and arrives itself.
void late_waiter(std::int32_t& id, std::atomic<int>& stage) {
    stage.store(1);
    sync_wait_all(id);
    stage.store(2);
}

void expect_no_signal_left(std::int32_t id) {
    std::atomic<int> stage{0};
    std::int32_t waiter = 0;
    thr_start2(waiter, &late_waiter, id, stage);
    ASSERT_GT(waiter, 0);
    wait_until([&] { return stage.load() >= 1; });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(stage.load(), 1) << "a signal was left pending after the round";
    sync_reset(id, 1);
    sync_arrive(id);
    thr_join(waiter);
    EXPECT_EQ(stage.load(), 2);
}

TEST_F(SyncPoint, SinglePartyOpensAtOnceAndKeepsAnEarlySignal) {
    const std::int32_t id = create_point();
    ASSERT_GT(id, 0);
    sync_reset(id, 1);
    sync_arrive(id);  // opens and signals while nobody waits
    std::this_thread::sleep_for(10ms);
    std::int32_t not_first = 7;
    sync_wait(id, not_first);  // the pending signal lets it through
    EXPECT_EQ(not_first, 0);
    sync_release(id);  // nobody left to release: no signal
    expect_no_signal_left(id);
}

// One party of a round: the first one released writes `serial` (a plain
// variable) before it releases the others, who must all see it.
struct Round {
    std::int32_t id = 0;
    std::int32_t serial = 0;
    std::atomic<int> firsts{0};
    std::atomic<int> others{0};
    std::atomic<int> early{0};
};

void party(Round& round, std::int32_t& value) {
    std::int32_t not_first = 7;
    sync_arrive(round.id);
    sync_wait(round.id, not_first);
    if (not_first == 0) {
        round.firsts.fetch_add(1);
        std::this_thread::sleep_for(1ms);  // give a wrongly released party time to show
        round.serial = value;
        sync_release(round.id);
    } else {
        round.others.fetch_add(1);
        if (not_first != 1 || round.serial != value) round.early.fetch_add(1);
    }
}

TEST_F(SyncPoint, FourPartiesReleaseOneFirstAndTheRestAfterIt) {
    Round round;
    round.id = create_point();
    ASSERT_GT(round.id, 0);
    constexpr int rounds = 20;
    for (std::int32_t r = 1; r <= rounds; ++r) {
        sync_reset(round.id, 4);
        std::array<std::int32_t, 4> ids{};
        for (std::int32_t& t : ids) thr_start2(t, &party, round, r);
        for (std::int32_t t : ids) thr_join(t);
        ASSERT_EQ(round.firsts.load(), r);
        ASSERT_EQ(round.others.load(), 3 * r);
        ASSERT_EQ(round.early.load(), 0) << "a party returned before the first one released it";
    }
    expect_no_signal_left(round.id);
}

void arrive_then_wait_all(std::int32_t& id, std::atomic<int>& through) {
    sync_arrive(id);
    sync_wait_all(id);
    through.fetch_add(1);
}

TEST_F(SyncPoint, WaitAllPassesEveryPartyWithoutElectingOne) {
    std::int32_t id = create_point();
    ASSERT_GT(id, 0);
    sync_reset(id, 4);
    std::atomic<int> through{0};
    std::array<std::int32_t, 4> ids{};
    for (std::int32_t& t : ids) thr_start2(t, &arrive_then_wait_all, id, through);
    thr_join_all();
    EXPECT_EQ(through.load(), 4);
    expect_no_signal_left(id);
}

// A round after a completed one, on the same arming: it must not open.
void arrive_again(Round& round, std::atomic<int>& arrivals, std::atomic<int>& returns) {
    std::int32_t not_first = 7;
    sync_arrive(round.id);
    arrivals.fetch_add(1);
    sync_wait(round.id, not_first);
    returns.fetch_add(1);
    if (not_first == 0) sync_release(round.id);
}

// One party of a two-party round that tells when it has arrived and whether
// it was released first; the first released holds its serial section until
// `go` is set.
struct Pair {
    std::int32_t id = 0;
    std::atomic<int> arrived{0};
    std::atomic<int> in_serial{0};
    std::atomic<bool> go{false};
};

void pair_party(Pair& pair) {
    std::int32_t not_first = 7;
    sync_arrive(pair.id);
    pair.arrived.fetch_add(1);
    sync_wait(pair.id, not_first);
    if (not_first == 0) {
        pair.in_serial.store(1);
        while (!pair.go.load()) std::this_thread::yield();
        sync_release(pair.id);
    }
}

// sync_destroy while a party waits, or while the first released runs its
// serial section, would strand the others: it does nothing then, and works
// once the round is over.
TEST_F(SyncPoint, DestroyWhilePartiesAreInsideDoesNothing) {
    Pair pair;
    pair.id = create_point_for(2);
    ASSERT_GT(pair.id, 0);
    std::int32_t first_party = 0;
    thr_start1(first_party, &pair_party, pair);
    ASSERT_GT(first_party, 0);
    wait_until([&] { return pair.arrived.load() == 1; });
    sync_destroy(pair.id);
    EXPECT_EQ(sync_points_in_use(), 1) << "destroyed while a party waited";

    std::int32_t second_party = 0;
    thr_start1(second_party, &pair_party, pair);
    ASSERT_GT(second_party, 0);
    wait_until([&] { return pair.in_serial.load() == 1; });
    sync_destroy(pair.id);
    EXPECT_EQ(sync_points_in_use(), 1) << "destroyed while the first party held the others";

    pair.go = true;
    thr_join(first_party);
    thr_join(second_party);
    sync_destroy(pair.id);
    EXPECT_EQ(sync_points_in_use(), 0);
}

TEST_F(SyncPoint, NoSecondRoundWithoutReset) {
    Round round;
    round.id = create_point_for(3);
    ASSERT_GT(round.id, 0);
    std::int32_t value = 1;
    std::array<std::int32_t, 3> ids{};
    for (std::int32_t& t : ids) thr_start2(t, &party, round, value);
    for (std::int32_t t : ids) thr_join(t);
    ASSERT_EQ(round.firsts.load(), 1);

    std::atomic<int> arrivals{0};
    std::atomic<int> returns{0};
    for (std::int32_t& t : ids) thr_start3(t, &arrive_again, round, arrivals, returns);
    wait_until([&] { return arrivals.load() == 3; });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(returns.load(), 0) << "the point opened twice on one arming";

    // Re-armed, the point opens again once three arrivals have been counted;
    // the parties still waiting from before are released by it.
    sync_reset(round.id, 3);
    for (int k = 0; k < 3; ++k) sync_arrive(round.id);
    for (std::int32_t t : ids) thr_join(t);
    EXPECT_EQ(returns.load(), 3);
}

// The solver's pattern: every party meets at the two points in turn; the
// first released at one point checks and advances the shared serial counter
// and re-arms the other point before it releases the rest; every party
// checks the counter after each barrier.
struct Alternating {
    std::array<std::int32_t, 2> points{};
    std::int32_t parties = 0;
    std::int32_t rounds = 0;
    std::int32_t serial = 0;  // plain: ordered by the barriers alone
    std::atomic<int> firsts{0};
    std::atomic<int> mismatches{0};
};

void alternate(Alternating& shared) {
    int mismatches = 0;
    for (std::int32_t r = 0; r < shared.rounds; ++r) {
        const std::int32_t& here = shared.points[static_cast<std::size_t>(r % 2)];
        const std::int32_t& next = shared.points[static_cast<std::size_t>((r + 1) % 2)];
        if (shared.serial != r) ++mismatches;
        std::int32_t not_first = 7;
        sync_arrive(here);
        sync_wait(here, not_first);
        if (not_first == 0) {
            if (shared.serial != r) ++mismatches;
            shared.serial = r + 1;
            shared.firsts.fetch_add(1, std::memory_order_relaxed);
            sync_reset(next, shared.parties);
            sync_release(here);
        } else if (not_first != 1) {
            ++mismatches;
        }
        if (shared.serial != r + 1) ++mismatches;
    }
    shared.mismatches.fetch_add(mismatches);
}

TEST_F(SyncPoint, TwoPointsUsedAlternatelyByEightThreads) {
    Alternating shared;
    shared.parties = 8;
    shared.rounds = 10'000;
    for (std::int32_t& point : shared.points) {
        sync_create(point);
        ASSERT_GT(point, 0);
    }
    sync_reset(shared.points[0], shared.parties);

    // Seven library threads and this one, as the solver runs its workers.
    std::vector<std::int32_t> ids(static_cast<std::size_t>(shared.parties - 1));
    for (std::int32_t& t : ids) {
        thr_start1(t, &alternate, shared);
        ASSERT_GT(t, 0);
    }
    alternate(shared);
    for (std::int32_t t : ids) thr_join(t);

    EXPECT_EQ(shared.serial, shared.rounds);
    EXPECT_EQ(shared.firsts.load(), shared.rounds);
    EXPECT_EQ(shared.mismatches.load(), 0);
    for (std::int32_t point : shared.points) sync_destroy(point);
}

}  // namespace

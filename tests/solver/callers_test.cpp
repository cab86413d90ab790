// The solvers under real resource limits and with many callers at once:
// the platform's handle table full, a lowered thread limit of the process,
// every synchronisation point taken, first solves racing each other, and up
// to forty threads solving all element types while another thread changes
// the thread count. Every answer is bit for bit that of a lone solve, or
// info_no_resources with A and B either untouched or bit for bit solved;
// nothing hangs and nothing is left open.
#include "family_support.hpp"
#include "handle_hog.hpp"
#include "pchol/platform.hpp"
#include "pchol/platform_testing.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <complex>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

using namespace family_test;

enum class driver { block, pipelined };

// One element type's system and the results of a lone solve of it.
template <class T>
struct lane {
    sym_band m;
    std::vector<cd> rhs;
    i32 nrhs;
    problem<T> lone_block, lone_pipelined;

    lane(idx n, idx hbw, idx nrhs_, std::uint64_t seed)
        : m(random_system(n, hbw, seed, is_complex<T>::value)),
          rhs(random_rhs(n, nrhs_, seed + 1, is_complex<T>::value)), nrhs(i32(nrhs_)), lone_block(m, rhs, nrhs_),
          lone_pipelined(m, rhs, nrhs_) {
        lone_block.solve();
        lone_pipelined.pipelined();
        EXPECT_EQ(lone_block.info, pchol::info_ok);
        EXPECT_EQ(lone_pipelined.info, pchol::info_ok);
    }

    // Solves a fresh copy. True when the outcome is one of the sound ones:
    // info_ok with the lone solve's bits, or info_no_resources with A and B
    // untouched or with the lone solve's bits.
    bool solve_once(driver d, std::atomic<int>& shortages) const {
        problem<T> p(m, rhs, nrhs);
        const problem<T> fresh(m, rhs, nrhs);
        d == driver::block ? p.solve() : p.pipelined();
        const problem<T>& lone = d == driver::block ? lone_block : lone_pipelined;
        const bool solved = same_bits(p.a, lone.a) && same_bits(p.b, lone.b);
        if (p.info == pchol::info_ok) return solved;
        if (p.info != pchol::info_no_resources) return false;
        shortages.fetch_add(1);
        return solved || (same_bits(p.a, fresh.a) && same_bits(p.b, fresh.b));
    }
};

// The four element types' lanes, solved alone on one thread.
struct lanes {
    explicit lanes(idx n, idx hbw = 3, idx nrhs = 2)
        : all(lane<float>(n, hbw, nrhs, 1), lane<double>(n, hbw, nrhs, 2),
              lane<std::complex<float>>(n, hbw, nrhs, 3), lane<std::complex<double>>(n, hbw, nrhs, 4)) {}

    // Every type through both drivers once; false at the first unsound outcome.
    bool solve_all(std::atomic<int>& shortages) const {
        bool sound = true;
        std::apply(
            [&](const auto&... l) {
                ((sound = sound && l.solve_once(driver::block, shortages) &&
                          l.solve_once(driver::pipelined, shortages)),
                 ...);
            },
            all);
        return sound;
    }

    std::tuple<lane<float>, lane<double>, lane<std::complex<float>>, lane<std::complex<double>>> all;
};

const idx rows = small ? 700 : 3000;

// A solve on two threads, so that the threading library's table mutexes
// exist before a test counts the open handles.
void warm_up(const lanes& l) {
    use_threads(2);
    std::atomic<int> shortages{0};
    EXPECT_TRUE(l.solve_all(shortages));
    EXPECT_EQ(shortages.load(), 0);
}

// Nothing is left of the solves: no slot, no point, no handle.
void expect_nothing_left(int handles_before) {
    EXPECT_EQ(thr_slots_in_use(), 0);
    EXPECT_EQ(sync_points_in_use(), 0);
    EXPECT_EQ(platform::open_handle_count(), handles_before);
}

// ---- The platform's handle table full ------------------------------------------------------

// No handle left: nothing can be created and nothing is computed. A few
// handles left: the mutex and the points are made, some or none of the
// workers, and the team runs on the threads it has.
TEST(RealLimits, FullHandleTable) {
    use_threads(1);
    const lanes lone(rows);
    warm_up(lone);
    const int handles = platform::open_handle_count();  // the library's table mutexes
    // The table is filled once; handles are then given back a few at a time.
    pchol_test::handle_hog hog;
    int free_handles = 0;
    // The counter mutex and two points (an event and a mutex each) take 5
    // handles, each worker one more.
    for (const int spare : {0, 4, 5, 6, 8}) {
        hog.give_back(spare - free_handles);
        free_handles = spare;
        for (const i32 threads : {2, 4, 8}) {
            SCOPED_TRACE(::testing::Message() << threads << " threads, " << spare << " handles free");
            use_threads(threads);
            std::atomic<int> shortages{0};
            within_time_limit([&] { EXPECT_TRUE(lone.solve_all(shortages)); });
            if (spare < 5 + threads - 1) {
                EXPECT_EQ(shortages.load(), 8);
            }
            expect_nothing_left(handles + hog.held());
        }
    }
}

// ---- The process's thread limit ------------------------------------------------------------

#ifdef __linux__
int threads_of_process() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

// Lowers the limit on the threads of the process's user so that at most
// `extra` more threads can start (none when the process does not run as
// root: the user's other processes then count too, so the limit goes to 0).
// Root is not held to the limit, so a root process runs as a user of its
// own meanwhile. Both are undone at the end of the scope.
class thread_limit {
public:
    explicit thread_limit(int extra) {
        getrlimit(RLIMIT_NPROC, &saved_);
        rlimit lowered = saved_;
        if (geteuid() == 0 && setresuid(65534, 65534, 0) == 0) {
            switched_ = true;
            allowed_ = extra;
            lowered.rlim_cur = static_cast<rlim_t>(threads_of_process() + extra);
        } else {
            lowered.rlim_cur = 0;
        }
        lowered_ = setrlimit(RLIMIT_NPROC, &lowered) == 0;
    }
    ~thread_limit() {
        if (switched_) {
            setresuid(0, 0, 0);
        }
        setrlimit(RLIMIT_NPROC, &saved_);
    }
    thread_limit(const thread_limit&) = delete;
    thread_limit& operator=(const thread_limit&) = delete;

    bool lowered() const { return lowered_; }
    int allowed() const { return allowed_; }

private:
    rlimit saved_{};
    bool switched_ = false;
    bool lowered_ = false;
    int allowed_ = 0;
};

// Thread creation really fails: the solves run on the threads that started,
// with the bits of one thread, and report the shortage.
TEST(RealLimits, LoweredThreadLimit) {
    use_threads(1);
    const lanes lone(rows);
    warm_up(lone);
    const int handles = platform::open_handle_count();
    for (const i32 threads : {2, 4, 8}) {
        use_threads(threads);
        std::atomic<int> shortages{0};
        bool sound = false;
        int allowed = 0;
        {
            // The solve runs on this thread, with no thread of its own to
            // time it: the limit would stop that one too.
            thread_limit limit(1);
            ASSERT_TRUE(limit.lowered());
            allowed = limit.allowed();
            sound = lone.solve_all(shortages);
        }
        EXPECT_TRUE(sound) << threads << " threads";
        if (threads - 1 > allowed) {
            EXPECT_EQ(shortages.load(), 8) << threads << " threads";
        }
        expect_nothing_left(handles);
    }
}
#endif

// ---- The synchronisation points taken ------------------------------------------------------

// With every point taken a solve gets info_no_resources at once, A and B
// untouched; with two free it solves.
TEST(RealLimits, EveryPointTaken) {
    use_threads(4);
    const lanes lone(rows);
    std::vector<i32> held(sync_table_size);
    for (i32& id : held) sync_create(id);
    ASSERT_EQ(sync_points_in_use(), sync_table_size);
    std::atomic<int> shortages{0};
    within_time_limit([&] { EXPECT_TRUE(lone.solve_all(shortages)); });
    EXPECT_EQ(shortages.load(), 8);

    sync_destroy(held[10]);
    sync_destroy(held[40]);
    shortages = 0;
    within_time_limit([&] { EXPECT_TRUE(lone.solve_all(shortages)); });
    EXPECT_EQ(shortages.load(), 0);
    for (const i32 id : held) sync_destroy(id);
    EXPECT_EQ(sync_points_in_use(), 0);
}

// ---- Many callers ------------------------------------------------------------------------------

// Holds threads until all have arrived, so that they start together.
class start_line {
public:
    explicit start_line(int parties) : waiting_(parties) {}
    void arrive_and_wait() {
        std::unique_lock<std::mutex> guard(lock_);
        if (--waiting_ == 0) cv_.notify_all();
        cv_.wait(guard, [this] { return waiting_ == 0; });
    }

private:
    std::mutex lock_;
    std::condition_variable cv_;
    int waiting_;
};

// The first solves of the process start at once in several threads, of
// different element types: the settings and the tuning value are set once,
// race-free, and every solve of one type gives the same bits.
TEST(ManyCallers, RacingFirstSolves) {
    use_threads(2);
    const idx n = rows, hbw = 3;
    const sym_band ms = random_system(n, hbw, 7, false);
    const sym_band mc = random_system(n, hbw, 8, true);
    const std::vector<cd> rs = random_rhs(n, 1, 9, false), rc = random_rhs(n, 1, 10, true);
    constexpr int callers = 8;
    std::vector<problem<float>> singles(callers / 2, problem<float>(ms, rs, 1));
    std::vector<problem<std::complex<double>>> complexes(callers / 2, problem<std::complex<double>>(mc, rc, 1));
    start_line line(callers);
    within_time_limit([&] {
        std::vector<std::thread> threads;
        for (int c = 0; c < callers / 2; ++c) {
            threads.emplace_back([&, c] {
                line.arrive_and_wait();
                singles[static_cast<std::size_t>(c)].solve();
            });
            threads.emplace_back([&, c] {
                line.arrive_and_wait();
                complexes[static_cast<std::size_t>(c)].solve();
            });
        }
        for (std::thread& t : threads) t.join();
    });
    for (int c = 0; c < callers / 2; ++c) {
        const auto k = static_cast<std::size_t>(c);
        EXPECT_EQ(singles[k].info, pchol::info_ok);
        EXPECT_EQ(complexes[k].info, pchol::info_ok);
        EXPECT_LT(residual(ms, singles[k].b, rs, 1), 1e-3);
        EXPECT_LT(residual(mc, complexes[k].b, rc, 1), 1e-9);
        EXPECT_TRUE(same_bits(singles[k].b, singles[0].b));
        EXPECT_TRUE(same_bits(complexes[k].b, complexes[0].b));
    }
}

// Two to forty callers solve every element type through both drivers,
// repeatedly, while another thread keeps changing the thread count. Forty
// concurrent solves want 80 of the 64 points: the callers that find none
// get info_no_resources at once.
TEST(ManyCallers, EveryAnswerIsALoneOne) {
    use_threads(1);
    const lanes lone(small ? 300 : 1000);
    warm_up(lone);
    const int handles = platform::open_handle_count();
    const int rounds = small ? 2 : 4;
    for (const int callers : {2, 8, 40}) {
        SCOPED_TRACE(::testing::Message() << callers << " callers");
        std::atomic<int> unsound{0}, shortages{0};
        std::atomic<bool> done{false};
        within_time_limit([&] {
            std::thread changer([&] {
                std::mt19937 gen(static_cast<std::uint32_t>(callers));
                while (!done.load()) {
                    set_thread_count(static_cast<i32>(1 + gen() % 8));
                    std::this_thread::yield();
                }
            });
            std::vector<std::thread> threads;
            start_line line(callers);
            for (int c = 0; c < callers; ++c) {
                threads.emplace_back([&] {
                    line.arrive_and_wait();
                    for (int r = 0; r < rounds; ++r)
                        if (!lone.solve_all(shortages)) unsound.fetch_add(1);
                });
            }
            for (std::thread& t : threads) t.join();
            done = true;
            changer.join();
        });
        EXPECT_EQ(unsound.load(), 0);
        expect_nothing_left(handles);
    }
}

}  // namespace

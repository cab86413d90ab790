#include "pchol/settings.hpp"
#include "pchol/settings_testing.hpp"

#include "pchol/platform.hpp"

#include <atomic>
#include <bit>

namespace {

// Process-wide, 0 until counted / set. Solvers called from several threads
// at once read them while another thread may set the count, so each is one
// atomic value; every routine reads and writes it in single steps.
std::atomic<std::int32_t> num_procs{0};
std::atomic<std::int32_t> num_threads{0};

// Read by the solvers' threads when they start.
std::atomic<std::int32_t> flush_subnormals{1};

std::atomic<pchol::affinity_query> query{&platform::affinity_masks};

std::atomic<bool> trim_teams{true};

// The processor count, counted on first need. A count of 0 is not kept, so
// the next call asks again; racing first calls count the same value.
std::int32_t processors() {
    std::int32_t procs = num_procs.load();
    if (procs == 0) {
        count_processors(procs);
        num_procs.store(procs);
    }
    return procs;
}

}  // namespace

namespace pchol {

std::int32_t processors_from_masks(bool query_ok, std::uint32_t process_mask, std::uint32_t system_mask) {
    if (!query_ok) return 1;
    // All 32 bits count, the highest included: a process allowed on every
    // processor of a 32-processor machine has 32 processors, not 0.
    const int c = std::popcount(process_mask);
    if (c != 0) return c;
    return std::popcount(system_mask);
}

void set_team_trimming_for_testing(bool on) {
    trim_teams.store(on);
}

namespace detail {
bool team_trimming() {
    return trim_teams.load(std::memory_order_relaxed);
}
}  // namespace detail

void set_affinity_query_for_testing(affinity_query q) {
    query.store(q != nullptr ? q : &platform::affinity_masks);
    num_procs.store(0);
    num_threads.store(0);
}

}  // namespace pchol

void count_processors(std::int32_t& count) {
    std::uint32_t process_mask = 0;
    std::uint32_t system_mask = 0;
    const bool ok = query.load()(process_mask, system_mask);
    count = pchol::processors_from_masks(ok, process_mask, system_mask);
}

void set_thread_count(const std::int32_t& k) {
    const std::int32_t procs = processors();
    const std::int32_t cap = procs > pchol::max_threads ? pchol::max_threads : procs;
    std::int32_t t = k <= cap ? k : cap;
    // A negative request runs on one thread: store that, so that
    // get_thread_count tells the count the solvers use. (0 stays "not set":
    // get_thread_count then gives the processor count, as the solvers use.)
    if (t < 0) t = 1;
    num_threads.store(t);
}

void get_thread_count(std::int32_t& t) {
    std::int32_t count = num_threads.load();
    if (count == 0) {
        // The processor count becomes the thread count unless a concurrent
        // set_thread_count got there first; then its count stands.
        std::int32_t unset = 0;
        count = processors();
        if (!num_threads.compare_exchange_strong(unset, count)) count = unset;
    }
    t = count;
}

void init_thread_count() {
    num_threads.store(processors());
}

void set_subnormal_flush(const std::int32_t& on) {
    flush_subnormals.store(on != 0 ? 1 : 0, std::memory_order_relaxed);
}

void get_subnormal_flush(std::int32_t& on) {
    on = flush_subnormals.load(std::memory_order_relaxed);
}

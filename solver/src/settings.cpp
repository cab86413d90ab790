#include "pchol/settings.hpp"
#include "pchol/settings_testing.hpp"

#include "pchol/platform.hpp"

#include <atomic>
#include <bit>

namespace {

// Process-wide, 0 until counted / set. Only the main thread touches them.
std::int32_t num_procs = 0;
std::int32_t num_threads = 0;

// Read by the solvers' threads when they start.
std::atomic<std::int32_t> flush_subnormals{1};

pchol::affinity_query query = &platform::affinity_masks;

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

void set_affinity_query_for_testing(affinity_query q) {
    query = q != nullptr ? q : &platform::affinity_masks;
    num_procs = 0;
    num_threads = 0;
}

}  // namespace pchol

void count_processors(std::int32_t& count) {
    std::uint32_t process_mask = 0;
    std::uint32_t system_mask = 0;
    const bool ok = query(process_mask, system_mask);
    count = pchol::processors_from_masks(ok, process_mask, system_mask);
}

void set_thread_count(const std::int32_t& k) {
    if (num_procs == 0) count_processors(num_procs);
    const std::int32_t cap = num_procs > pchol::max_threads ? pchol::max_threads : num_procs;
    num_threads = k <= cap ? k : cap;
}

void get_thread_count(std::int32_t& t) {
    if (num_threads == 0) {
        if (num_procs == 0) count_processors(num_procs);
        num_threads = num_procs;
    }
    t = num_threads;
}

void init_thread_count() {
    if (num_procs == 0) count_processors(num_procs);
    num_threads = num_procs;
}

void set_subnormal_flush(const std::int32_t& on) {
    flush_subnormals.store(on != 0 ? 1 : 0, std::memory_order_relaxed);
}

void get_subnormal_flush(std::int32_t& on) {
    on = flush_subnormals.load(std::memory_order_relaxed);
}

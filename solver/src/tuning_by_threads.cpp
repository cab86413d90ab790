// The tuning routine of the complex solvers: smaller blocks when the first
// solve of the process sees more than two threads.
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "tuning.hpp"

void set_block_size_by_threads() {
    if (pchol::detail::block_size.load() > 0) return;
    std::int32_t threads = 0;
    get_thread_count(threads);
    pchol::detail::set_block_size_once(threads <= 2 ? 16 : 8);
}

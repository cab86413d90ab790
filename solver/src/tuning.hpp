// The solver's tuning value, shared by every element type's solver.
#pragma once

#include <atomic>
#include <cstdint>

namespace pchol::detail {

// The block-size tuning value: 0 at program start; the first solve of the
// process (of whichever element type) sets it, and it never changes after
// that. Blocks have max(block_size^2 / max(hbw, 1), hbw + 1) rows. Callers of
// the solvers in several threads at once may race to set it: each tuning
// routine sets it only from 0 to its value in one atomic step, so the first
// to get there wins and every solve reads one settled value.
extern std::atomic<std::int32_t> block_size;

// Sets block_size to value unless it is set already.
inline void set_block_size_once(std::int32_t value) {
    std::int32_t unset = 0;
    block_size.compare_exchange_strong(unset, value);
}

// The tuning routine of the single-precision real solver: block_size = 24
// unless a solve of this process has set it already.
void set_block_size();

}  // namespace pchol::detail

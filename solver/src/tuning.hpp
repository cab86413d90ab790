// The solver's tuning value, shared by every element type's solver.
#pragma once

#include <cstdint>

namespace pchol::detail {

// The block-size tuning value: 0 at program start; the first solve of the
// process (of whichever element type) sets it, and it never changes after
// that. Blocks have max(block_size^2 / max(hbw, 1), hbw + 1) rows. Only the
// thread that calls a solver reads or writes it, before any worker starts.
extern std::int32_t block_size;

// The tuning routine of the single-precision real solver: block_size = 24
// unless a solve of this process has set it already.
void set_block_size();

}  // namespace pchol::detail

// The thread count the solver runs with, and the processor count it is
// bounded by. Both are process-wide and start at 0 ("not yet known").
//
// The settings may be read and changed from any thread, also while solves
// run in others: each solve reads the thread count once, when it starts, and
// runs with that count to its end; a change applies to the solves that start
// after it.
#pragma once

#include "pchol/export.h"

#include <cstdint>

// Counts the processors the process may run on (the system's processors as a
// fallback). Stores the count and touches no other state.
PCHOL_API void count_processors(std::int32_t& count);

// The solver's thread count becomes min(k, processor count, 32); a negative
// k becomes 1, the count a solve then runs with. k = 0 clears the setting:
// get_thread_count gives the processor count again.
PCHOL_API void set_thread_count(const std::int32_t& k);

// The thread count; the processor count if none was set yet.
PCHOL_API void get_thread_count(std::int32_t& t);

// Sets the thread count to the processor count.
PCHOL_API void init_thread_count();

// Whether the solvers' threads flush subnormal values to zero: on (1) unless
// set to 0. Values below the smallest normal number (about 1.2e-38 in single
// precision) then become 0 where they arise and count as 0 where they are
// read. The spikes of the reduction decay into that range, and many
// processors take some hundred cycles for each operation on such a value, so
// flushing makes the solve several times faster there; off keeps gradual
// underflow. Either way the results are the same, bit for bit, for every
// thread count, and the calling thread's own mode is left as it was.
PCHOL_API void set_subnormal_flush(const std::int32_t& on);

// on becomes 1 when the solvers flush subnormal values, 0 when they do not.
PCHOL_API void get_subnormal_flush(std::int32_t& on);

namespace pchol {

// The cap on the solver's thread count.
inline constexpr std::int32_t max_threads = 32;

// The count of processors that the affinity query's result stands for: the
// bits of the process mask, or of the system mask when the process mask is
// empty; one processor when the query failed.
PCHOL_API std::int32_t processors_from_masks(bool query_ok, std::uint32_t process_mask, std::uint32_t system_mask);

}  // namespace pchol

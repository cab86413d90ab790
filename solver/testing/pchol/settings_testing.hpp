// Test hook of the thread-count settings. Only the tests include this
// header; it is not part of the installed interface.
#pragma once

#include <cstdint>

namespace pchol {

// Test seam: replaces the affinity query (nullptr restores the platform's)
// and forgets the cached counts.
using affinity_query = bool (*)(std::uint32_t& process_mask, std::uint32_t& system_mask);
void set_affinity_query_for_testing(affinity_query query);

// Test seam: with false, every solve runs the team of the thread-count
// setting, however small the system, so that small test systems exercise
// many threads; true (the default) sizes the team by the work.
void set_team_trimming_for_testing(bool on);

}  // namespace pchol

// Measurement hook of the parallel solver's workers. Only measurement
// programs and tests include this header; it is not part of the installed
// interface.
#pragma once

#include <cstdint>

namespace pchol::detail {

// Wall time the workers of the solves since the last reset_wait_stats spent
// at the barriers (from arriving to leaving) and taking blocks from a cursor
// (locking, reading and advancing it, unlocking), and in the worker in all,
// each summed over the threads. Counted only in builds configured with
// PCHOL_WAIT_STATS=ON (a measurement aid: the clock reads cost time); zero
// otherwise.
struct wait_stats {
    double barrier_seconds = 0;
    double cursor_seconds = 0;
    double worker_seconds = 0;
    std::int64_t barriers = 0;
    std::int64_t cursor_takes = 0;
};
wait_stats read_wait_stats();
void reset_wait_stats();

}  // namespace pchol::detail

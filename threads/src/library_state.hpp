// The library's process-wide state: the thread table, the synchronisation
// point table, their allocation cursors and the two mutexes that guard
// allocation. All of it is statically initialised.
#pragma once

#include "pchol/platform.hpp"

#include <array>
#include <cstdint>

namespace pchol::threads_detail {

// The routine a slot's thread calls, with the per-signature trampoline that
// knows how to call it: the trampoline is generated for the routine's exact
// type, so no function pointer is ever called through another type.
struct ThreadRoutine {
    void (*invoke)(const unsigned char* code, void* const* args) = nullptr;
    alignas(void (*)()) unsigned char code[sizeof(void (*)())] = {};
};

}  // namespace pchol::threads_detail

// One started thread. id is the slot's own number while it is taken, -1 while
// it is free. handle is positive until the thread has been waited for, then
// its negation until it is closed, and 0 when there is none.
struct ThreadSlot {
    std::int32_t id = -1;
    std::int32_t handle = 0;
    pchol::threads_detail::ThreadRoutine routine;
    std::int32_t nargs = 0;
    std::array<void*, 52> args{};
};

// One synchronisation point: an auto-reset event that releases the parties
// one at a time, and a mutex that guards the arrival count.
struct SyncPoint {
    std::int32_t id = -1;
    std::int32_t event = 0;
    std::int32_t mutex = 0;
    std::int32_t remaining = 0;
    std::int32_t state = 0;
    std::int32_t passes = 0;
};

namespace pchol::threads_detail {

extern std::array<ThreadSlot, 1024> thr_table;  // slot i at index i - 1
extern std::int32_t thr_next_slot;
extern std::array<SyncPoint, 64> sync_table;    // slot i at index i - 1
extern std::int32_t sync_next_slot;

// The table mutexes, created exactly once on first use (whatever thread
// comes first) and closed by thr_lib_cleanup.
platform::handle thr_table_mutex();
platform::handle sync_table_mutex();

}  // namespace pchol::threads_detail

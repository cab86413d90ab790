// The threading library: unnamed mutexes, threads that call a routine with a
// stored list of argument references, and synchronisation points (barriers
// that release one thread first and tell it so).
//
// Every routine takes its arguments by reference and returns nothing; what a
// routine produces (a handle, an id, a flag) it writes into a variable of the
// caller. Handles and ids are 32-bit signed integers: a valid handle is
// positive and 0 means none; an id is the number of a slot of one of the
// library's tables (threads 1..1024, synchronisation points 1..64), and 0 is
// the failure result of an allocation. A routine given an id that does not
// name a taken slot returns without effect.
//
// The library keeps its state in two statically initialised tables; no
// initialisation routine has to be called before first use.
#pragma once

#include <cstdint>

// ---- Limits -----------------------------------------------------------------
inline constexpr std::int32_t thr_table_size = 1024;
inline constexpr std::int32_t sync_table_size = 64;
inline constexpr std::int32_t thr_max_args = 52;

// ---- Mutexes ------------------------------------------------------------------
// A mutex is created unowned; 0 is stored when the platform refuses. The
// thread that locks a mutex unlocks it. Locking is not recursive.
void thr_mutex_create(std::int32_t& handle);
void thr_mutex_lock(const std::int32_t& handle);
void thr_mutex_unlock(const std::int32_t& handle);
// Closes the mutex; the caller's variable keeps the old value.
void thr_mutex_close(const std::int32_t& handle);

// Closes the library's own table mutexes (those that were created). Called
// once at the end of the program, when no library object is in use.
void thr_lib_cleanup();

// ---- Synchronisation points -------------------------------------------------------
void sync_create(std::int32_t& id);
void sync_reset(const std::int32_t& id, const std::int32_t& parties);
void sync_arrive(const std::int32_t& id);
void sync_wait(const std::int32_t& id, std::int32_t& not_first);
void sync_wait_all(const std::int32_t& id);
void sync_release(const std::int32_t& id);
void sync_destroy(const std::int32_t& id);

// ---- Thread start -----------------------------------------------------------------
// thr_start0 .. thr_start52: thr_startN(id, routine, a1, ..., aN) starts a
// thread that calls routine(a1, ..., aN). Every parameter of the routine is an
// lvalue reference; the library stores the references themselves, so the
// thread works on the caller's variables, which must stay alive until the
// thread has been joined. id receives the thread's id, or 0 when no thread
// was started.
//   template <class R, class... P>
//   void thr_startN(std::int32_t& id, R (*routine)(P...), P... args);

// ---- Joins ----------------------------------------------------------------------
void thr_join(const std::int32_t& id);
void thr_wait(const std::int32_t& id);
void thr_close(const std::int32_t& id);
void thr_wait_all();
void thr_close_all();
void thr_join_all();

// ---- Inspection (tests and diagnostics) ----------------------------------------------
// Number of taken slots in each table.
std::int32_t thr_slots_in_use();
std::int32_t sync_points_in_use();

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
// initialisation routine has to be called before first use. Both tables hand
// out slots round-robin: an allocation starts just after the slot that the
// previous one took, skips taken slots and wraps from the last slot to 1.
#pragma once

#include "pchol/export.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

// ---- Limits -----------------------------------------------------------------
inline constexpr std::int32_t thr_table_size = 1024;
inline constexpr std::int32_t sync_table_size = 64;
inline constexpr std::int32_t thr_max_args = 52;

// ---- Mutexes ------------------------------------------------------------------
// A mutex is created unowned; 0 is stored when the platform refuses. The
// thread that locks a mutex unlocks it. Locking is not recursive.
PCHOL_THREADS_API void thr_mutex_create(std::int32_t& handle);
PCHOL_THREADS_API void thr_mutex_lock(const std::int32_t& handle);
PCHOL_THREADS_API void thr_mutex_unlock(const std::int32_t& handle);
// Closes the mutex; the caller's variable keeps the old value.
PCHOL_THREADS_API void thr_mutex_close(const std::int32_t& handle);

// Closes the library's own table mutexes (those that were created). Call it
// when no library routine is running in any thread (at the end of the
// program, say). The library may be used again afterwards: the next thread
// start or synchronisation-point creation creates the table mutex again, as
// on first use, whatever thread comes first.
PCHOL_THREADS_API void thr_lib_cleanup();

// ---- Synchronisation points -------------------------------------------------------
// A synchronisation point is a barrier for a group of k threads (parties),
// armed for one round with sync_reset(id, k). Each party calls sync_arrive and
// then sync_wait. The k-th arrival opens the point with one signal; that
// signal releases exactly one waiting party (whichever the platform wakes,
// not necessarily the last to arrive), which learns not_first = 0 while the
// other k - 1 stay blocked. It does its serial work and calls sync_release,
// which signals once more; every later party is released by the signal of
// the one before it, learns not_first = 1 and signals once for the next,
// except the k-th, which signals nothing. So a round makes exactly k signals
// and leaves no signal behind. With sync_wait_all in place of sync_wait (and
// no sync_release) the same chain runs with nobody elected.
//
// A signal made while nobody waits is not lost: it stays pending and the next
// wait on the point consumes it at once. A party that arrives and reaches its
// wait after the point has opened therefore does not block.
//
// One arming serves one round: further arrivals drive the count below zero
// and never open the point again until the next sync_reset. Arm a point only
// while no party of its group is inside sync_arrive or sync_wait for it.
// Two points used alternately satisfy this: while the first party released at
// one point runs its serial work, every other party is held at that point, so
// the first party may re-arm the other point before it calls sync_release.
// sync_create, sync_reset and sync_destroy are called by one thread at a
// time. sync_destroy while parties are inside the point's round (arrived and
// not yet released, or owed a wake-up) returns without effect, as the
// parties would otherwise wait for ever; call it again once they are out.
//
// Memory ordering: every write a party makes before its sync_arrive, and
// every write the first party released makes before its sync_release, is
// visible to each party once its sync_wait (or sync_wait_all) has returned.
// The arrivals are chained by the point's mutex and the releases by its
// event, whose signal is a release and whose wake-up an acquire, so the
// parties may read shared variables after the barrier without a lock. The
// point's own bookkeeping of the chain (its state and the count of wake-ups
// still to hand on) is touched only by the party between its wake-up and its
// own signal; it is held in atomics with release/acquire order as well, so
// its correctness does not rest on the platform alone.
PCHOL_THREADS_API void sync_create(std::int32_t& id);
PCHOL_THREADS_API void sync_reset(const std::int32_t& id, const std::int32_t& parties);
PCHOL_THREADS_API void sync_arrive(const std::int32_t& id);
PCHOL_THREADS_API void sync_wait(const std::int32_t& id, std::int32_t& not_first);
PCHOL_THREADS_API void sync_wait_all(const std::int32_t& id);
PCHOL_THREADS_API void sync_release(const std::int32_t& id);
PCHOL_THREADS_API void sync_destroy(const std::int32_t& id);

// ---- Thread start -----------------------------------------------------------------
// thr_start0 .. thr_start52: thr_startN(id, routine, a1, ..., aN) starts a
// thread that calls routine(a1, ..., aN) and discards its result. Every
// parameter of the routine is an lvalue reference to an object, and every
// argument is a variable that the matching parameter can refer to directly
// (no temporaries, no conversions that make a copy). The library stores the
// references themselves, so the thread works on the caller's variables, which
// must stay alive until the thread has been joined.
//
// id receives the thread's id (1..1024), or 0 when no thread was started:
// the table is full, or the platform refused to create the thread (or the
// table's own mutex, on first use). In every such case the routine never
// runs and the table is left as it was.
//
// Memory ordering: every write the caller makes before thr_startN is visible
// to the routine; every write the thread makes is visible to the thread that
// has waited for it (thr_join, thr_wait, thr_wait_all, thr_join_all).
//
//   template <class R, class... P, class... A>
//   void thr_startN(std::int32_t& id, R (*routine)(P...), A&... args);

namespace pchol::threads_detail {

// A started routine as its slot keeps it: the bytes of the function pointer,
// and the trampoline generated for the routine's exact type, which copies the
// bytes back into a pointer of that type and calls it with the stored
// references. No function pointer is ever called through another type.
struct ThreadRoutine {
    using invoke_fn = void (*)(const unsigned char* code, void* const* args);
    invoke_fn invoke = nullptr;
    alignas(void (*)()) unsigned char code[sizeof(void (*)())] = {};
};

// Claims a slot, records the routine and the nargs references, and creates
// the thread (see thr_startN).
PCHOL_THREADS_API void start_thread(std::int32_t& id, const ThreadRoutine& routine, std::int32_t nargs,
                                    void* const* args);

template <class T>
void* erase_reference(T& object) noexcept {
    return const_cast<void*>(static_cast<const volatile void*>(std::addressof(object)));
}

template <class R, class... P>
void call_stored(const unsigned char* code, [[maybe_unused]] void* const* args) {
    R (*routine)(P...) = nullptr;
    std::memcpy(&routine, code, sizeof routine);
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        routine(*static_cast<std::remove_reference_t<P>*>(args[K])...);
    }(std::index_sequence_for<P...>{});
}

template <std::size_t N, class R, class... P, class... A>
void start(std::int32_t& id, R (*routine)(P...), A&... args) {
    static_assert(sizeof...(P) == N, "thr_startN starts a routine of exactly N parameters");
    static_assert(sizeof...(A) == N, "thr_startN takes exactly N argument references after the routine");
    static_assert(N <= thr_max_args);
    if constexpr (sizeof...(P) == N && sizeof...(A) == N) {
        static_assert((std::is_lvalue_reference_v<P> && ...),
                      "every parameter of a started routine must be an lvalue reference");
        static_assert((std::is_object_v<std::remove_reference_t<P>> && ...),
                      "every parameter of a started routine must refer to an object");
        static_assert((std::is_convertible_v<A*, std::remove_reference_t<P>*> && ...),
                      "every argument must be a variable that its parameter can refer to without a copy");
        static_assert(sizeof routine <= sizeof(ThreadRoutine::code));

        ThreadRoutine stored;
        stored.invoke = &call_stored<R, P...>;
        std::memcpy(stored.code, &routine, sizeof routine);
        // Each reference is bound to its parameter's type first (a base
        // class subobject has its own address), then stored as void*.
        void* refs[N + 1] = {erase_reference(static_cast<std::remove_reference_t<P>&>(args))...};
        start_thread(id, stored, static_cast<std::int32_t>(N), refs);
    }
}

}  // namespace pchol::threads_detail

#define PCHOL_THR_START(N)                                                   \
    template <class R, class... P, class... A>                               \
    void thr_start##N(std::int32_t& id, R (*routine)(P...), A&... args) {    \
        ::pchol::threads_detail::start<N>(id, routine, args...);             \
    }
PCHOL_THR_START(0) PCHOL_THR_START(1) PCHOL_THR_START(2) PCHOL_THR_START(3)
PCHOL_THR_START(4) PCHOL_THR_START(5) PCHOL_THR_START(6) PCHOL_THR_START(7)
PCHOL_THR_START(8) PCHOL_THR_START(9) PCHOL_THR_START(10) PCHOL_THR_START(11)
PCHOL_THR_START(12) PCHOL_THR_START(13) PCHOL_THR_START(14) PCHOL_THR_START(15)
PCHOL_THR_START(16) PCHOL_THR_START(17) PCHOL_THR_START(18) PCHOL_THR_START(19)
PCHOL_THR_START(20) PCHOL_THR_START(21) PCHOL_THR_START(22) PCHOL_THR_START(23)
PCHOL_THR_START(24) PCHOL_THR_START(25) PCHOL_THR_START(26) PCHOL_THR_START(27)
PCHOL_THR_START(28) PCHOL_THR_START(29) PCHOL_THR_START(30) PCHOL_THR_START(31)
PCHOL_THR_START(32) PCHOL_THR_START(33) PCHOL_THR_START(34) PCHOL_THR_START(35)
PCHOL_THR_START(36) PCHOL_THR_START(37) PCHOL_THR_START(38) PCHOL_THR_START(39)
PCHOL_THR_START(40) PCHOL_THR_START(41) PCHOL_THR_START(42) PCHOL_THR_START(43)
PCHOL_THR_START(44) PCHOL_THR_START(45) PCHOL_THR_START(46) PCHOL_THR_START(47)
PCHOL_THR_START(48) PCHOL_THR_START(49) PCHOL_THR_START(50) PCHOL_THR_START(51)
PCHOL_THR_START(52)
#undef PCHOL_THR_START

// ---- Joins ----------------------------------------------------------------------
// A thread keeps its slot after its routine has returned, until it is joined.
// thr_join waits for the thread (unless it was already waited for), closes
// its handle and frees the slot. thr_wait only waits; thr_close only closes
// and frees, and only a thread that was waited for. thr_wait followed by
// thr_close equals one thr_join.
//
// The table-wide routines visit every taken slot: thr_wait_all waits for every
// thread not yet waited for, in groups of at most 64 threads per platform
// wait; thr_close_all closes and frees every thread already waited for;
// thr_join_all frees every slot at once and then waits for and closes every
// thread. They are meant for a controlling thread at a moment when no other
// thread starts or joins threads. Each thread is joined by one thread only.
PCHOL_THREADS_API void thr_join(const std::int32_t& id);
PCHOL_THREADS_API void thr_wait(const std::int32_t& id);
PCHOL_THREADS_API void thr_close(const std::int32_t& id);
PCHOL_THREADS_API void thr_wait_all();
PCHOL_THREADS_API void thr_close_all();
PCHOL_THREADS_API void thr_join_all();

// ---- Inspection (tests and diagnostics) ----------------------------------------------
// Number of taken slots in each table.
PCHOL_THREADS_API std::int32_t thr_slots_in_use();
PCHOL_THREADS_API std::int32_t sync_points_in_use();

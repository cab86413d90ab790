// The operating-system services the rest of the project uses, behind small
// integer handles.
//
// Handles are 32-bit signed integers: a valid handle is positive, 0 means
// "no object" (creation failed, or never created). A handle names one mutex,
// auto-reset event, thread or process-query object until it is closed with
// close_handle(); after that the number may be handed out again.
//
// Looking a handle up is a constant-time array access, so a mutex can be
// locked once per block of work without a search. Calls on a handle of 0,
// or on a handle of the wrong kind, are ignored (waits return at once).
//
// Two backends implement this header: POSIX threads (Linux and other
// Unix-like systems) and the Windows kernel. The build picks one.
#pragma once

#include "pchol/export.h"

#include <cstdint>

namespace platform {

using handle = std::int32_t;

// ---- Mutexes --------------------------------------------------------------
// A mutex is created unowned. The thread that locks it must unlock it.
// Locking is not recursive on every backend: never lock twice from one thread.
PCHOL_PLATFORM_API handle mutex_create();
PCHOL_PLATFORM_API void mutex_lock(handle h);
PCHOL_PLATFORM_API void mutex_unlock(handle h);

// ---- Auto-reset events ----------------------------------------------------
// An event is created non-signalled.
//
// event_signal releases exactly one thread blocked in event_wait. If no
// thread is waiting, the signal stays pending (the event stays signalled)
// until the next event_wait consumes it; several signals made while nobody
// waits collapse into one. event_reset discards a pending signal.
//
// Memory ordering: every write a thread makes before event_signal is visible
// to the thread whose event_wait returns because of that signal.
PCHOL_PLATFORM_API handle event_create();
PCHOL_PLATFORM_API void event_signal(handle h);
PCHOL_PLATFORM_API void event_reset(handle h);
PCHOL_PLATFORM_API void event_wait(handle h);

// ---- Threads --------------------------------------------------------------
// The entry routine receives the pointer given to thread_create; its result
// is the thread's exit code. The thread starts at once. Its stack reserves
// 1 MiB.
using thread_routine = std::uint32_t (*)(void*);
PCHOL_PLATFORM_API handle thread_create(thread_routine routine, void* arg);

// Blocks until the thread has ended. May be called any number of times.
// Every write the thread made is visible to the caller afterwards.
PCHOL_PLATFORM_API void thread_wait(handle h);

// The most threads one group wait accepts.
inline constexpr int max_wait_group = 64;

// Blocks until every thread of the group has ended (not just one of them).
// count is at most max_wait_group; a larger count is cut to that many.
PCHOL_PLATFORM_API void thread_wait_group(const handle* handles, int count);

// ---- Closing ----------------------------------------------------------------
// Closes any handle. Closing a thread that is still running does not stop it.
PCHOL_PLATFORM_API void close_handle(handle h);

// ---- Time -------------------------------------------------------------------
// Milliseconds since some fixed moment, wrapping modulo 2^32.
PCHOL_PLATFORM_API std::uint32_t tick_count();

// A process-query handle for the current process, as the timer opens it at
// the start of an interval and closes it at the end.
PCHOL_PLATFORM_API handle open_current_process();

// User and kernel CPU time that every thread of the process has used so far,
// in units of 100 ns. Returns false if the query failed.
struct cpu_times {
    std::uint64_t user = 0;
    std::uint64_t kernel = 0;
};
PCHOL_PLATFORM_API bool process_times(handle process, cpu_times& out);

// ---- Processors -------------------------------------------------------------
// The processors the process may run on, and the processors of the system,
// as 32-bit masks. The process mask has one bit set per processor the process
// may use, up to 32, whichever processor numbers those are. Returns false if
// the query failed.
PCHOL_PLATFORM_API bool affinity_masks(std::uint32_t& process_mask, std::uint32_t& system_mask);

// ---- Console output ----------------------------------------------------------
// Makes standard output pass bytes through unchanged, so every line ends in
// "\n" on every system: a Windows C runtime otherwise writes "\r\n" for each
// "\n". Call it once at program start, before anything is written. Does
// nothing where standard output has no text mode (POSIX).
PCHOL_PLATFORM_API void set_binary_stdout();

}  // namespace platform

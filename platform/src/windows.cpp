// Windows backend: every object is a kernel object (mutex, auto-reset event,
// thread, process) held by its HANDLE. The table gives each HANDLE the
// layer's small positive number, so a look-up is an array access.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "pchol/platform.hpp"

#include "fault_injection.hpp"
#include "handle_table.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <new>

namespace platform {
namespace {

enum class kind { mutex, event, thread, process };

struct object {
    object(kind k, HANDLE h) : type(k), kernel(h) {}
    kind type;
    HANDLE kernel;
};

detail::handle_table<object>& table() {
    static detail::handle_table<object> instance;
    return instance;
}

HANDLE find(handle h, kind k) {
    const object* o = table().find(h);
    return (o != nullptr && o->type == k) ? o->kernel : nullptr;
}

// Gives a fresh kernel handle its number. When the table is full the kernel
// object is closed again and 0 is returned, as for a refused creation.
handle add(kind k, HANDLE h) {
    if (h == nullptr) return 0;
    auto* o = new (std::nothrow) object(k, h);
    if (o == nullptr) {
        CloseHandle(h);
        return 0;
    }
    const handle number = table().insert(o);  // deletes o when full
    if (number == 0) CloseHandle(h);
    return number;
}

// What a new thread needs before it can call its routine. The thread frees
// it: the thread's handle may be closed (and its table entry deleted) while
// the thread still runs.
struct start_record {
    thread_routine routine;
    void* arg;
};

DWORD WINAPI thread_entry(LPVOID p) {
    const start_record record = *static_cast<start_record*>(p);
    delete static_cast<start_record*>(p);
    return record.routine(record.arg);
}

// The thread's stack reserves 1 MiB whatever the executable's own default
// reservation is; the initial commit is the executable's default (one page,
// 4096 bytes, for both MinGW-w64 and MSVC links), and the stack grows into
// the reservation page by page.
constexpr SIZE_T thread_stack_reservation = SIZE_T{1} << 20;

// A mask with one bit per processor counted in m, lowest bits first, at most 32.
std::uint32_t low_bits(DWORD_PTR m) {
    const int count = std::popcount(static_cast<std::uint64_t>(m));
    if (count >= 32) return 0xFFFFFFFFu;
    return (std::uint32_t{1} << count) - 1u;
}

std::uint64_t to_u64(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

handle mutex_create() {
    if (detail::consume_failure(object_kind::mutex)) return 0;
    // Unnamed, not owned, default security, not inherited by child processes.
    return add(kind::mutex, CreateMutexA(nullptr, FALSE, nullptr));
}

void mutex_lock(handle h) {
    if (HANDLE k = find(h, kind::mutex)) WaitForSingleObject(k, INFINITE);
}

void mutex_unlock(handle h) {
    if (HANDLE k = find(h, kind::mutex)) ReleaseMutex(k);
}

handle event_create() {
    if (detail::consume_failure(object_kind::event)) return 0;
    // Auto-reset (the wait that a signal releases clears it), non-signalled.
    return add(kind::event, CreateEventA(nullptr, FALSE, FALSE, nullptr));
}

void event_signal(handle h) {
    if (HANDLE k = find(h, kind::event)) SetEvent(k);
}

void event_reset(handle h) {
    if (HANDLE k = find(h, kind::event)) ResetEvent(k);
}

void event_wait(handle h) {
    if (HANDLE k = find(h, kind::event)) WaitForSingleObject(k, INFINITE);
}

handle thread_create(thread_routine routine, void* arg) {
    if (detail::consume_failure(object_kind::thread)) return 0;
    auto* record = new (std::nothrow) start_record{routine, arg};
    auto* o = new (std::nothrow) object(kind::thread, nullptr);
    // The handle is claimed before the thread exists: a thread whose handle
    // could not be returned would run unseen, and its caller would take it
    // for one that never started.
    const handle number = record != nullptr && o != nullptr ? table().reserve() : 0;
    if (number == 0) {
        delete record;
        delete o;
        return 0;
    }
    HANDLE k = CreateThread(nullptr, thread_stack_reservation, thread_entry, record,
                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (k == nullptr) {
        table().abandon(number);
        delete record;
        delete o;
        return 0;
    }
    o->kernel = k;
    table().publish(number, o);
    return number;
}

void thread_wait(handle h) {
    if (HANDLE k = find(h, kind::thread)) WaitForSingleObject(k, INFINITE);
}

void thread_wait_group(const handle* handles, int count) {
    count = std::min(count, max_wait_group);
    // One wait for the whole group. Handles that name no thread are left out,
    // as are repeats: the kernel refuses a list that holds a handle twice.
    HANDLE group[max_wait_group];
    DWORD size = 0;
    for (int i = 0; i < count; ++i) {
        HANDLE k = find(handles[i], kind::thread);
        if (k == nullptr || std::find(group, group + size, k) != group + size) continue;
        group[size++] = k;
    }
    if (size == 0) return;
    if (WaitForMultipleObjects(size, group, TRUE, INFINITE) == WAIT_FAILED) {
        // Cannot happen with valid, distinct handles; should it all the same,
        // the group is still waited for in full, one thread after another.
        for (DWORD i = 0; i < size; ++i) WaitForSingleObject(group[i], INFINITE);
    }
}

void close_handle(handle h) {
    object* o = table().remove(h);
    if (o == nullptr) return;
    CloseHandle(o->kernel);
    delete o;
}

std::uint32_t tick_count() {
    return GetTickCount();
}

handle open_current_process() {
    // 0x400: the right to query the process's information (its times).
    return add(kind::process, OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId()));
}

bool process_times(handle process, cpu_times& out) {
    HANDLE k = find(process, kind::process);
    if (k == nullptr) return false;
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(k, &creation, &exit, &kernel, &user)) return false;
    out.user = to_u64(user);
    out.kernel = to_u64(kernel);
    return true;
}

bool affinity_masks(std::uint32_t& process_mask, std::uint32_t& system_mask) {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return false;
    // A process allowed on processors 40..47 counts 8 processors and gets
    // the mask 0xFF; 32 or more processors give all 32 bits.
    process_mask = low_bits(process);
    system_mask = low_bits(system);
    return true;
}

void set_binary_stdout() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

int open_handle_count() {
    return table().open_count();
}

}  // namespace platform

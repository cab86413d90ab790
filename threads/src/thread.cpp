// Thread table: starting threads on a stored routine and argument list.
#include "library_state.hpp"
#include "pchol/threads.hpp"

#include <algorithm>

namespace pchol::threads_detail {

std::uint32_t thr_entry(void* p) {
    // p is the address of a slot's call.routine, the first member of the
    // standard-layout ThreadCall, so it is also the address of that record.
    const auto* call = static_cast<const ThreadCall*>(p);
    call->routine.invoke(call->routine.code, call->args.data());
    return 0;
}

void start_thread(std::int32_t& id, const ThreadRoutine& routine, std::int32_t nargs, void* const* args) {
    const platform::handle table_mutex = thr_table_mutex();
    if (table_mutex == 0) {
        id = 0;  // without its lock the table cannot be searched safely
        return;
    }
    platform_lock table_lock(table_mutex);

    // Round-robin search: start at the cursor, go round the table once.
    const std::int32_t first = thr_next_slot;
    std::int32_t i = first;
    while (thr_table[static_cast<std::size_t>(i - 1)].id.load(std::memory_order_acquire) > 0) {
        i = i == thr_table_size ? 1 : i + 1;
        if (i == first) {
            id = 0;  // every slot is taken
            return;
        }
    }

    ThreadSlot& slot = thr_table[static_cast<std::size_t>(i - 1)];
    thr_next_slot = i == thr_table_size ? 1 : i + 1;
    id = i;
    slot.call.routine = routine;
    slot.call.nargs = nargs;
    std::copy_n(args, nargs, slot.call.args.begin());
    slot.id.store(i, std::memory_order_relaxed);

    // Thread creation publishes everything written above to the new thread.
    const platform::handle h = platform::thread_create(&thr_entry, &slot.call.routine);
    if (h == 0) {
        // No thread: give the slot back and leave the cursor where it was,
        // so the table looks as if the call had never been made, and tell the
        // caller through its id variable.
        slot.id.store(-1, std::memory_order_release);
        thr_next_slot = first;
        id = 0;
        return;
    }
    slot.handle.store(h, std::memory_order_release);
}

}  // namespace pchol::threads_detail

std::int32_t thr_slots_in_use() {
    std::int32_t n = 0;
    for (const ThreadSlot& slot : pchol::threads_detail::thr_table) {
        if (slot.id.load(std::memory_order_acquire) > 0) ++n;
    }
    return n;
}

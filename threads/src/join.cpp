// Joins: waiting for library threads, closing their handles, freeing slots.
//
// The sign of a slot's handle says how far the slot has come: positive, not
// yet waited for; negative, waited for with the handle still open; 0, no
// handle. A slot is freed by storing handle 0 and then id -1; the release
// store of the id hands the slot to the next allocation.
#include "library_state.hpp"
#include "pchol/threads.hpp"

#include <algorithm>
#include <array>

using pchol::threads_detail::taken_thread_slot;
using pchol::threads_detail::thr_table;

namespace {

void free_slot(ThreadSlot& slot) {
    slot.handle.store(0, std::memory_order_relaxed);
    slot.id.store(-1, std::memory_order_release);
}

// Handles collected by a table-wide routine, in slot order.
struct handle_list {
    std::array<platform::handle, thr_table_size> entries{};
    int count = 0;

    void add(platform::handle h) { entries[static_cast<std::size_t>(count++)] = h; }

    // One platform wait per group of at most max_wait_group handles; each
    // returns when every thread of its group has ended.
    void wait_in_groups() const {
        for (int start = 0; start < count; start += platform::max_wait_group) {
            const int group = std::min(platform::max_wait_group, count - start);
            platform::thread_wait_group(entries.data() + start, group);
        }
    }

    void close_each() const {
        for (int k = 0; k < count; ++k) platform::close_handle(entries[static_cast<std::size_t>(k)]);
    }
};

bool is_taken(const ThreadSlot& slot) {
    return slot.id.load(std::memory_order_acquire) != -1;
}

}  // namespace

void thr_join(const std::int32_t& id) {
    ThreadSlot* slot = taken_thread_slot(id);
    if (slot == nullptr) return;
    std::int32_t h = slot->handle.load(std::memory_order_acquire);
    if (h > 0) {
        platform::thread_wait(h);
        h = -h;
        slot->handle.store(h, std::memory_order_release);
    }
    if (h < 0) {
        platform::close_handle(-h);
        free_slot(*slot);
    }
}

void thr_wait(const std::int32_t& id) {
    ThreadSlot* slot = taken_thread_slot(id);
    if (slot == nullptr) return;
    const std::int32_t h = slot->handle.load(std::memory_order_acquire);
    if (h > 0) {
        platform::thread_wait(h);
        slot->handle.store(-h, std::memory_order_release);
    }
}

void thr_close(const std::int32_t& id) {
    ThreadSlot* slot = taken_thread_slot(id);
    if (slot == nullptr) return;
    const std::int32_t h = slot->handle.load(std::memory_order_acquire);
    if (h < 0) {
        platform::close_handle(-h);
        free_slot(*slot);
    }
}

void thr_wait_all() {
    // Every slot is marked as waited for before the first wait starts.
    handle_list list;
    for (ThreadSlot& slot : thr_table) {
        if (!is_taken(slot)) continue;
        const std::int32_t h = slot.handle.load(std::memory_order_acquire);
        if (h > 0) {
            list.add(h);
            slot.handle.store(-h, std::memory_order_release);
        }
    }
    list.wait_in_groups();
}

void thr_close_all() {
    handle_list list;
    for (ThreadSlot& slot : thr_table) {
        if (!is_taken(slot)) continue;
        const std::int32_t h = slot.handle.load(std::memory_order_acquire);
        if (h < 0) {
            list.add(-h);
            free_slot(slot);
        }
    }
    list.close_each();
}

void thr_join_all() {
    // Every taken slot is freed before the first wait starts; a slot without
    // a thread is freed and contributes nothing to the waits and closes.
    handle_list list;
    for (ThreadSlot& slot : thr_table) {
        if (!is_taken(slot)) continue;
        const std::int32_t h = slot.handle.load(std::memory_order_acquire);
        if (h != 0) list.add(h > 0 ? h : -h);
        free_slot(slot);
    }
    list.wait_in_groups();
    list.close_each();
}

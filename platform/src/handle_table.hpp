// The table that turns the layer's integer handles into backend objects.
//
// Handles 1 .. max_handles index a two-level array: chunk = h / chunk_size,
// slot = h % chunk_size. Chunks are allocated on first need and never freed
// or moved, so a look-up is two loads and needs no lock. Creation and closing
// take a lock; freed numbers are reused, lowest first after the cursor wraps.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace platform::detail {

template <class Object>
class handle_table {
public:
    static constexpr std::int32_t chunk_size = 1024;
    static constexpr std::int32_t chunk_count = 64;
    static constexpr std::int32_t max_handles = chunk_size * chunk_count - 1;

    handle_table() = default;
    handle_table(const handle_table&) = delete;
    handle_table& operator=(const handle_table&) = delete;

    // Stores the object and returns its new handle, or 0 (and deletes the
    // object) when every handle is taken.
    std::int32_t insert(Object* object) {
        const std::int32_t h = claim(object);
        if (h == 0) delete object;
        return h;
    }

    // Claims a handle for an object that is made only once the handle is
    // sure (a thread must not start unless its handle can be returned). The
    // handle counts as open; find() and remove() pass it by until publish()
    // stores the object, or abandon() gives the number back. 0 when every
    // handle is taken.
    std::int32_t reserve() { return claim(reserved()); }
    void publish(std::int32_t h, Object* object) {
        std::lock_guard<std::mutex> guard(lock_);
        cell(h).store(object, std::memory_order_release);
    }
    void abandon(std::int32_t h) {
        std::lock_guard<std::mutex> guard(lock_);
        cell(h).store(nullptr, std::memory_order_release);
        --open_;
    }

    // The object behind a handle, or nullptr.
    Object* find(std::int32_t h) const {
        if (h <= 0 || h > max_handles) return nullptr;
        const chunk* c = chunks_[static_cast<std::size_t>(h / chunk_size)].load(std::memory_order_acquire);
        if (c == nullptr) return nullptr;
        Object* object = (*c)[static_cast<std::size_t>(h % chunk_size)].load(std::memory_order_acquire);
        return object == reserved() ? nullptr : object;
    }

    // Removes the handle and hands its object back to the caller, or nullptr.
    Object* remove(std::int32_t h) {
        if (h <= 0 || h > max_handles) return nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        chunk* c = chunks_[static_cast<std::size_t>(h / chunk_size)].load(std::memory_order_acquire);
        if (c == nullptr) return nullptr;
        std::atomic<Object*>& cell = (*c)[static_cast<std::size_t>(h % chunk_size)];
        Object* object = cell.load(std::memory_order_acquire);
        if (object == nullptr || object == reserved()) return nullptr;
        cell.store(nullptr, std::memory_order_release);
        --open_;
        return object;
    }

    int open_count() const {
        std::lock_guard<std::mutex> guard(lock_);
        return open_;
    }

private:
    using chunk = std::array<std::atomic<Object*>, chunk_size>;

    // Marks a claimed handle whose object is not stored yet; never
    // dereferenced.
    static Object* reserved() { return reinterpret_cast<Object*>(&reserved_mark_); }

    // Takes the next free handle for value; 0 when every handle is taken.
    std::int32_t claim(Object* value) {
        std::lock_guard<std::mutex> guard(lock_);
        for (std::int32_t tries = 0; tries < max_handles; ++tries) {
            std::int32_t h = next_;
            next_ = next_ == max_handles ? 1 : next_ + 1;
            std::atomic<Object*>& c = cell_for_insert(h);
            if (c.load(std::memory_order_relaxed) == nullptr) {
                c.store(value, std::memory_order_release);
                ++open_;
                return h;
            }
        }
        return 0;
    }

    // The cell of a handle that was claimed (its chunk exists).
    std::atomic<Object*>& cell(std::int32_t h) {
        chunk* c = chunks_[static_cast<std::size_t>(h / chunk_size)].load(std::memory_order_relaxed);
        return (*c)[static_cast<std::size_t>(h % chunk_size)];
    }

    std::atomic<Object*>& cell_for_insert(std::int32_t h) {
        auto& slot = chunks_[static_cast<std::size_t>(h / chunk_size)];
        chunk* c = slot.load(std::memory_order_relaxed);
        if (c == nullptr) {
            owned_[static_cast<std::size_t>(h / chunk_size)] = std::make_unique<chunk>();
            c = owned_[static_cast<std::size_t>(h / chunk_size)].get();
            for (auto& cell : *c) cell.store(nullptr, std::memory_order_relaxed);
            slot.store(c, std::memory_order_release);
        }
        return (*c)[static_cast<std::size_t>(h % chunk_size)];
    }

    mutable std::mutex lock_;
    std::int32_t next_ = 1;
    int open_ = 0;
    std::array<std::atomic<chunk*>, chunk_count> chunks_{};
    std::array<std::unique_ptr<chunk>, chunk_count> owned_{};
    alignas(Object) static inline unsigned char reserved_mark_[sizeof(Object)] = {};
};

}  // namespace platform::detail

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
        std::lock_guard<std::mutex> guard(lock_);
        for (std::int32_t tries = 0; tries < max_handles; ++tries) {
            std::int32_t h = next_;
            next_ = next_ == max_handles ? 1 : next_ + 1;
            std::atomic<Object*>& cell = cell_for_insert(h);
            if (cell.load(std::memory_order_relaxed) == nullptr) {
                cell.store(object, std::memory_order_release);
                ++open_;
                return h;
            }
        }
        delete object;
        return 0;
    }

    // The object behind a handle, or nullptr.
    Object* find(std::int32_t h) const {
        if (h <= 0 || h > max_handles) return nullptr;
        const chunk* c = chunks_[static_cast<std::size_t>(h / chunk_size)].load(std::memory_order_acquire);
        if (c == nullptr) return nullptr;
        return (*c)[static_cast<std::size_t>(h % chunk_size)].load(std::memory_order_acquire);
    }

    // Removes the handle and hands its object back to the caller, or nullptr.
    Object* remove(std::int32_t h) {
        if (h <= 0 || h > max_handles) return nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        chunk* c = chunks_[static_cast<std::size_t>(h / chunk_size)].load(std::memory_order_acquire);
        if (c == nullptr) return nullptr;
        Object* object = (*c)[static_cast<std::size_t>(h % chunk_size)].exchange(nullptr, std::memory_order_acq_rel);
        if (object != nullptr) --open_;
        return object;
    }

    int open_count() const {
        std::lock_guard<std::mutex> guard(lock_);
        return open_;
    }

private:
    using chunk = std::array<std::atomic<Object*>, chunk_size>;

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
};

}  // namespace platform::detail

#include "fault_injection.hpp"

#include <atomic>

namespace platform {
namespace {

std::atomic<int> armed[3] = {0, 0, 0};

std::atomic<int>& counter(object_kind kind) {
    return armed[static_cast<int>(kind)];
}

}  // namespace

void fail_next_create(object_kind kind) {
    counter(kind).fetch_add(1, std::memory_order_relaxed);
}

namespace detail {

bool consume_failure(object_kind kind) {
    std::atomic<int>& c = counter(kind);
    int n = c.load(std::memory_order_relaxed);
    while (n > 0) {
        if (c.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

}  // namespace detail
}  // namespace platform

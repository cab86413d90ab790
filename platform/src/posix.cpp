// POSIX backend: mutexes, events and threads on pthreads and the C++ standard
// library, times from clock_gettime and getrusage, processors from
// sched_getaffinity.
#include "pchol/platform.hpp"

#include "fault_injection.hpp"
#include "handle_table.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace platform {
namespace {

enum class kind { mutex, event, thread, process };

// What a running thread shares with its handle: the handle may be closed
// (and its object deleted) while the thread still runs.
struct thread_state {
    thread_routine routine = nullptr;
    void* arg = nullptr;
    std::mutex lock;
    std::condition_variable ended_cv;
    bool ended = false;
};

struct object {
    explicit object(kind k) : type(k) {}
    kind type;
    // mutex
    std::mutex mutex;
    // event
    std::mutex event_lock;
    std::condition_variable event_cv;
    bool signalled = false;
    // thread
    pthread_t thread{};
    std::shared_ptr<thread_state> state;
};

detail::handle_table<object>& table() {
    static detail::handle_table<object> instance;
    return instance;
}

object* find(handle h, kind k) {
    object* o = table().find(h);
    return (o != nullptr && o->type == k) ? o : nullptr;
}

void* thread_trampoline(void* p) {
    std::unique_ptr<std::shared_ptr<thread_state>> holder(static_cast<std::shared_ptr<thread_state>*>(p));
    std::shared_ptr<thread_state> state = *holder;
    holder.reset();
    state->routine(state->arg);
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->ended = true;
    }
    state->ended_cv.notify_all();
    return nullptr;
}

std::size_t thread_stack_bytes() {
    // 1 MiB, as on the other backend; sanitizer runtimes need more room.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr std::size_t wanted = std::size_t{8} << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    constexpr std::size_t wanted = std::size_t{8} << 20;
#else
    constexpr std::size_t wanted = std::size_t{1} << 20;
#endif
#else
    constexpr std::size_t wanted = std::size_t{1} << 20;
#endif
    return std::max<std::size_t>(wanted, static_cast<std::size_t>(PTHREAD_STACK_MIN));
}

std::uint64_t to_100ns(const timeval& tv) {
    return static_cast<std::uint64_t>(tv.tv_sec) * 10'000'000u + static_cast<std::uint64_t>(tv.tv_usec) * 10u;
}

std::uint32_t low_bits(long count) {
    if (count <= 0) return 0;
    if (count >= 32) return 0xFFFFFFFFu;
    return (std::uint32_t{1} << count) - 1u;
}

}  // namespace

handle mutex_create() {
    if (detail::consume_failure(object_kind::mutex)) return 0;
    return table().insert(new object(kind::mutex));
}

void mutex_lock(handle h) {
    if (object* o = find(h, kind::mutex)) o->mutex.lock();
}

void mutex_unlock(handle h) {
    if (object* o = find(h, kind::mutex)) o->mutex.unlock();
}

handle event_create() {
    if (detail::consume_failure(object_kind::event)) return 0;
    return table().insert(new object(kind::event));
}

void event_signal(handle h) {
    object* o = find(h, kind::event);
    if (o == nullptr) return;
    // Notify while holding the lock: the released waiter may close the event
    // as soon as its wait returns, and it cannot return before the lock is
    // given up, so this thread is done with the event by then.
    std::lock_guard<std::mutex> guard(o->event_lock);
    o->signalled = true;
    o->event_cv.notify_one();
}

void event_reset(handle h) {
    object* o = find(h, kind::event);
    if (o == nullptr) return;
    std::lock_guard<std::mutex> guard(o->event_lock);
    o->signalled = false;
}

void event_wait(handle h) {
    object* o = find(h, kind::event);
    if (o == nullptr) return;
    std::unique_lock<std::mutex> guard(o->event_lock);
    o->event_cv.wait(guard, [o] { return o->signalled; });
    o->signalled = false;  // auto-reset: this wait consumed the signal
}

handle thread_create(thread_routine routine, void* arg) {
    if (detail::consume_failure(object_kind::thread)) return 0;
    auto o = std::make_unique<object>(kind::thread);
    o->state = std::make_shared<thread_state>();
    o->state->routine = routine;
    o->state->arg = arg;

    // The handle is claimed before the thread exists: a thread whose handle
    // could not be returned would run unseen, and its caller would take it
    // for one that never started.
    const handle h = table().reserve();
    if (h == 0) return 0;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        table().abandon(h);
        return 0;
    }
    pthread_attr_setstacksize(&attr, thread_stack_bytes());
    auto* holder = new std::shared_ptr<thread_state>(o->state);
    const int rc = pthread_create(&o->thread, &attr, thread_trampoline, holder);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete holder;
        table().abandon(h);
        return 0;
    }
    table().publish(h, o.release());
    return h;
}

void thread_wait(handle h) {
    object* o = find(h, kind::thread);
    if (o == nullptr) return;
    thread_state& s = *o->state;
    std::unique_lock<std::mutex> guard(s.lock);
    s.ended_cv.wait(guard, [&s] { return s.ended; });
}

void thread_wait_group(const handle* handles, int count) {
    count = std::min(count, max_wait_group);
    for (int i = 0; i < count; ++i) thread_wait(handles[i]);
}

void close_handle(handle h) {
    std::unique_ptr<object> o(table().remove(h));
    if (!o) return;
    if (o->type == kind::thread) {
        bool ended = false;
        {
            std::lock_guard<std::mutex> guard(o->state->lock);
            ended = o->state->ended;
        }
        // An ended thread has only its return left to run: join it so its
        // resources go now. A running one is detached and cleans up itself.
        if (ended) {
            pthread_join(o->thread, nullptr);
        } else {
            pthread_detach(o->thread);
        }
    }
}

std::uint32_t tick_count() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms =
        static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000u;
    return static_cast<std::uint32_t>(ms);
}

handle open_current_process() {
    return table().insert(new object(kind::process));
}

bool process_times(handle process, cpu_times& out) {
    if (find(process, kind::process) == nullptr) return false;
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return false;
    out.user = to_100ns(usage.ru_utime);
    out.kernel = to_100ns(usage.ru_stime);
    return true;
}

bool affinity_masks(std::uint32_t& process_mask, std::uint32_t& system_mask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return false;
    // The process mask counts the processors this process may use, whatever
    // their numbers: a process bound to processors 40..47 gets 8 bits.
    process_mask = low_bits(CPU_COUNT(&set));
    system_mask = low_bits(sysconf(_SC_NPROCESSORS_CONF));
    return true;
}

void set_binary_stdout() {}

int open_handle_count() {
    return table().open_count();
}

}  // namespace platform

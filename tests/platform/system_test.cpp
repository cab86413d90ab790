// Tick count, process times, processor masks and standard output.
#include "support.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "windows_api.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

using namespace platform_test;

TEST(Time, TickCountFollowsTheClock) {
    const std::uint32_t before = platform::tick_count();
    pause_ms(200);
    const std::uint32_t after = platform::tick_count();
    const std::uint32_t elapsed = after - before;  // modulo 2^32, as callers compute it
    EXPECT_GE(elapsed, 180u);   // the Windows tick moves in steps of about 16 ms
    EXPECT_LT(elapsed, 5000u);  // generous: the machine may be busy
}

// CPU time the calling thread has used, in 100 ns units, from the system's
// per-thread clock (a source independent of the process times under test).
std::uint64_t thread_cpu_time() {
#ifdef _WIN32
    FILETIME creation{}, exit{}, kernel{}, user{};
    GetThreadTimes(GetCurrentThread(), &creation, &exit, &kernel, &user);
    const auto value = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return value(kernel) + value(user);
#else
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 10'000'000u + static_cast<std::uint64_t>(ts.tv_nsec) / 100u;
#endif
}

TEST(Time, ProcessTimesCountWorkOfEveryThread) {
    const int open_before = platform::open_handle_count();
    const platform::handle process = platform::open_current_process();
    ASSERT_GT(process, 0);
    platform::cpu_times first;
    ASSERT_TRUE(platform::process_times(process, first));

    // The main thread sleeps while another thread spins until it has used
    // 200 ms of CPU time (however busy the machine): the process's time must
    // include that thread's.
    constexpr std::uint64_t wanted = 2'000'000;
    std::uint64_t spun = 0;
    auto spin = [&] {
        const std::uint64_t begin = thread_cpu_time();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::uint64_t x = 1;
        while (thread_cpu_time() - begin < wanted && std::chrono::steady_clock::now() < deadline) {
            for (int k = 0; k < 10'000; ++k) x = x * 6364136223846793005ull + 1;
        }
        volatile std::uint64_t sink = x;
        (void)sink;
        spun = thread_cpu_time() - begin;
    };
    const platform::handle t = start(spin);
    ASSERT_GT(t, 0);
    platform::thread_wait(t);
    platform::close_handle(t);

    platform::cpu_times end;
    ASSERT_TRUE(platform::process_times(process, end));
    ASSERT_GE(spun, wanted) << "the spinning thread got no CPU time";
    EXPECT_GE(end.user, first.user);
    EXPECT_GE(end.kernel, first.kernel);
    const std::uint64_t used = (end.user - first.user) + (end.kernel - first.kernel);
    // Both clocks advance in ticks of up to about 16 ms.
    EXPECT_GE(used, spun - 500'000u) << "the other thread's CPU time is missing";
    EXPECT_LT(used, 100'000'000u);  // 10 s: not in some other unit

    platform::close_handle(process);
    EXPECT_FALSE(platform::process_times(process, end));
    EXPECT_EQ(platform::open_handle_count(), open_before);
}

bool is_low_mask(std::uint32_t m) {
    return m != 0 && (m & (m + 1)) == 0;  // 2^k - 1 with k >= 1
}

TEST(Processors, MasksCountProcessorsFromBitZero) {
    std::uint32_t process = 0;
    std::uint32_t system = 0;
    ASSERT_TRUE(platform::affinity_masks(process, system));
    EXPECT_TRUE(is_low_mask(process)) << std::hex << process;
    EXPECT_TRUE(is_low_mask(system)) << std::hex << system;
    EXPECT_LE(std::popcount(process), std::popcount(system));
}

TEST(Processors, ProcessBoundToTheLastProcessorCountsOne) {
    // The count does not depend on which processors they are: bound to the
    // highest-numbered one it still gives the mask 1.
#ifdef _WIN32
    DWORD_PTR allowed = 0;
    DWORD_PTR system = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &allowed, &system));
    if (std::popcount(static_cast<std::uint64_t>(allowed)) < 2) GTEST_SKIP() << "one processor";
    const DWORD_PTR last = DWORD_PTR{1} << (std::bit_width(static_cast<std::uint64_t>(allowed)) - 1);
    ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), last));
#else
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "one processor";
    int last = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) last = cpu;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(last, &only);
    ASSERT_EQ(sched_setaffinity(0, sizeof only, &only), 0);
#endif
    std::uint32_t process = 0;
    std::uint32_t system_mask = 0;
    ASSERT_TRUE(platform::affinity_masks(process, system_mask));
    EXPECT_EQ(process, 1u);
    EXPECT_GE(std::popcount(system_mask), 2);
}

// Reads a whole file as bytes.
std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Sends standard output to a fresh file (opened in text mode where there is
// one) while f runs, and returns what reached the file.
template <class F>
std::string captured_stdout(const std::string& path, F f) {
    std::fflush(stdout);
#ifdef _WIN32
    const int file = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
    const int saved = _dup(1);
    _dup2(file, 1);
    _close(file);
    f();
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
#else
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int saved = dup(1);
    dup2(file, 1);
    close(file);
    f();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
#endif
    const std::string text = contents(path);
    std::remove(path.c_str());
    return text;
}

TEST(Console, BinaryStdoutEndsLinesWithNewlineOnly) {
    const std::string path = ::testing::TempDir() + "pchol_stdout_test.txt";
    auto write_two_lines = [] {
        std::cout << "first\n" << std::flush;  // the report is written with streams
        std::fputs("second\n", stdout);
    };
#ifdef _WIN32
    // Without the switch a Windows runtime adds the carriage returns: this is
    // what the switch must undo.
    EXPECT_EQ(captured_stdout(path, write_two_lines), "first\r\nsecond\r\n");
#endif
    const std::string text = captured_stdout(path, [&] {
        platform::set_binary_stdout();
        write_two_lines();
    });
    EXPECT_EQ(text, "first\nsecond\n");
}

}  // namespace

// Hostile arguments at every entry point (the four element types, the block
// solver and the pipelined driver, the C++ and the C interface): sizes at
// 0, -1, the ends of the 32-bit range and around each size limit, and arrays
// that overlap. A refused call, and a call with nothing to do, must not touch
// the arrays: they lie in pages that cannot be read or written, so a touch
// ends the test with a fault. Calls that do solve get arrays of exactly the
// contracted size, ending right before such a page.
#include "arguments.hpp"
#include "family_support.hpp"
#include "pchol/pchol.h"

#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

using namespace family_test;
using pchol::detail::argument_verdict;
using pchol::detail::check_call;

constexpr i32 i32_max = std::numeric_limits<i32>::max();
constexpr i32 i32_min = std::numeric_limits<i32>::min();

// ---- Guarded memory ------------------------------------------------------------------

// Pages mapped for one array: a no-access page on each side of `bytes`
// usable bytes. The usable bytes end where the trailing no-access page
// begins. With bytes 0 the whole block is no-access, data() points to its
// second page and no_access_room bytes follow.
class guarded_block {
public:
    static constexpr std::size_t no_access_room = std::size_t{1} << 16;

    explicit guarded_block(std::size_t bytes) {
        const std::size_t page = page_size();
        const std::size_t usable = (bytes + page - 1) / page * page;
        // With no usable bytes, room for arrays that only exist as addresses.
        size_ = usable + 2 * page + (bytes == 0 ? no_access_room : 0);
#ifdef _WIN32
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, size_, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
        DWORD old = 0;
        if (base_ != nullptr && usable > 0) VirtualProtect(base_ + page, usable, PAGE_READWRITE, &old);
#else
        void* p = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
        if (base_ != nullptr && usable > 0) mprotect(base_ + page, usable, PROT_READ | PROT_WRITE);
#endif
        data_ = base_ == nullptr ? nullptr : base_ + page + usable - bytes;
    }
    ~guarded_block() {
#ifdef _WIN32
        if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
#else
        if (base_ != nullptr) munmap(base_, size_);
#endif
    }
    guarded_block(const guarded_block&) = delete;
    guarded_block& operator=(const guarded_block&) = delete;

    unsigned char* data() const { return data_; }

private:
    static std::size_t page_size() {
#ifdef _WIN32
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
#else
        return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
    }

    unsigned char* base_ = nullptr;
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

// count elements of T in guarded memory; with count 0 the pointer is into a
// no-access page.
template <class T>
struct guarded_array {
    explicit guarded_array(std::int64_t count) : block(static_cast<std::size_t>(count) * sizeof(T)) {}
    T* data() const { return reinterpret_cast<T*>(block.data()); }
    guarded_block block;
};

// ---- Every entry point ------------------------------------------------------------------

enum class driver { block, pipelined };
enum class interface { cpp, c };

template <class T>
struct c_entry;

#define C_ENTRY(T, P, K)                                                                                       \
    template <>                                                                                                \
    struct c_entry<T> {                                                                                        \
        static void solve(T* A, const i32* n, const i32* hbw, T* B, const i32* nrhs, T* W, i32* info) {        \
            pchol_solve##K(reinterpret_cast<P*>(A), n, hbw, reinterpret_cast<P*>(B), nrhs,                     \
                           reinterpret_cast<P*>(W), info);                                                     \
        }                                                                                                      \
        static void pipelined(T* A, const i32* n, const i32* hbw, T* B, const i32* nrhs, T* W, i32* info) {    \
            pchol_pipelined_solve##K(reinterpret_cast<P*>(A), n, hbw, reinterpret_cast<P*>(B), nrhs,           \
                                     reinterpret_cast<P*>(W), info);                                           \
        }                                                                                                      \
    };
C_ENTRY(std::complex<double>, double, 1)
C_ENTRY(std::complex<float>, float, 2)
C_ENTRY(double, double, 3)
C_ENTRY(float, float, 4)
#undef C_ENTRY

template <class T>
i32 call(driver d, interface f, T* A, i32 n, i32 hbw, T* B, i32 nrhs, T* W) {
    i32 info = 12345;
    within_time_limit(
        [&] {
            if (f == interface::cpp) {
                if (d == driver::block)
                    entry<T>::solve(A, n, hbw, B, nrhs, W, info);
                else
                    entry<T>::pipelined(A, n, hbw, B, nrhs, W, info);
            } else {
                if (d == driver::block)
                    c_entry<T>::solve(A, &n, &hbw, B, &nrhs, W, &info);
                else
                    c_entry<T>::pipelined(A, &n, &hbw, B, &nrhs, W, &info);
            }
        },
        std::chrono::seconds(60));
    return info;
}

constexpr driver drivers[] = {driver::block, driver::pipelined};
constexpr interface interfaces[] = {interface::cpp, interface::c};

const char* name(driver d) { return d == driver::block ? "block solver" : "pipelined driver"; }
const char* name(interface f) { return f == interface::cpp ? "C++" : "C"; }

// The verdict a call should get: info_ok, info_bad_arguments, or solves.
constexpr i32 ok = pchol::info_ok;
constexpr i32 bad = pchol::info_bad_arguments;
constexpr i32 solves = 1;

constexpr i32 panels = 3 * pchol::pipelined_panel_rows;

// Calls with arrays that must not be touched.
template <class T>
void expect_untouched(driver d, i32 n, i32 hbw, i32 nrhs, i32 want) {
    const guarded_array<T> a(0), b(0), w(0);
    for (const interface f : interfaces) {
        EXPECT_EQ(call<T>(d, f, a.data(), n, hbw, b.data(), nrhs, w.data()), want)
            << name(d) << ", " << name(f) << ": n " << n << " hbw " << hbw << " nrhs " << nrhs;
    }
}

// The largest arrays a solving call is given here.
constexpr std::int64_t most_elements = std::int64_t{1} << 16;

// A call that solves: a random system of effective half bandwidth
// min(hbw, n - 1), stored with the given hbw, in arrays of exactly the
// contracted sizes. The residual must be small. Calls whose arrays would
// exceed most_elements are not made (false).
template <class T>
bool expect_solved(driver d, i32 n, i32 hbw, i32 nrhs) {
    const std::int64_t band = (std::int64_t{n} - 1) * hbw + n;
    const std::int64_t rhs = nrhs > 0 ? std::int64_t{n} * nrhs : 0;
    const std::int64_t work = d == driver::block ? pchol_workspace_size4(n, hbw) : 0;
    if (band > most_elements || rhs > most_elements || work > most_elements) return false;
    // The pipelined substitutions hand out about hbw / panel_rows tasks in
    // a stage even when n is far smaller (the first forward stage of a
    // further right-hand side, the first backward stage), each an empty
    // turn at the counter mutex: fast here, but minutes where a mutex is a
    // kernel object under an emulator.
    if (d == driver::pipelined && nrhs > 0 && hbw > most_elements) return false;
    const idx width = std::min<idx>(hbw, n - 1);
    const sym_band m = random_system(n, width, static_cast<std::uint64_t>(n) * 7 + nrhs, is_complex<T>::value);
    const std::vector<cd> b0 = random_rhs(n, std::max(nrhs, 0), 5, is_complex<T>::value);
    for (const interface f : interfaces) {
        const guarded_array<T> a(band), b(rhs), w(work);
        for (idx r = 1; r <= n; ++r)
            for (idx c = r; c <= std::min<idx>(r + width, n); ++c)
                a.data()[(r - 1) * idx{hbw} + c - 1] = from_cd<T>(m.get(r, c));
        for (std::int64_t k = 0; k < rhs; ++k) b.data()[k] = from_cd<T>(b0[static_cast<std::size_t>(k)]);
        EXPECT_EQ(call<T>(d, f, a.data(), n, hbw, b.data(), nrhs, w.data()), ok)
            << name(d) << ", " << name(f) << ": n " << n << " hbw " << hbw << " nrhs " << nrhs;
        const std::vector<T> x(b.data(), b.data() + rhs);
        EXPECT_LT(residual(m, x, b0, std::max(nrhs, 0)), 1e-3) << name(d) << ", " << name(f) << ": n " << n;
    }
    return true;
}

template <class T>
void expect_verdict(driver d, i32 n, i32 hbw, i32 nrhs, i32 want) {
    if (want == solves)
        expect_solved<T>(d, n, hbw, nrhs);
    else
        expect_untouched<T>(d, n, hbw, nrhs, want);
}

template <class T>
class ArgumentFamilies : public ::testing::Test {
protected:
    void SetUp() override { use_threads(4); }
    void TearDown() override {
        EXPECT_EQ(thr_slots_in_use(), 0);
        EXPECT_EQ(sync_points_in_use(), 0);
    }
};

using all_types = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;
TYPED_TEST_SUITE(ArgumentFamilies, all_types);

// The fixed cases: each family's values and the limits on either side.
TYPED_TEST(ArgumentFamilies, FixedCases) {
    using T = TypeParam;
    struct sizes {
        i32 n, hbw, nrhs, block, pipelined;
    };
    const sizes cases[] = {
        // n <= 0: nothing to do, whatever the other sizes (a very negative n
        // once made the pipelined driver run for ever).
        {0, 2, 1, ok, ok},
        {-1, 2, 1, ok, ok},
        {i32_min, 2, 1, ok, ok},
        {-1000000000, 1200000000, 1, ok, ok},
        {i32_min, i32_max, i32_max, ok, ok},
        {0, 0, i32_min, ok, ok},
        // A negative half bandwidth is refused, also with n <= 0.
        {10, -1, 1, bad, bad},
        {10, i32_min, 1, bad, bad},
        {0, -1, 1, bad, bad},
        {i32_min, i32_min, i32_min, bad, bad},
        // The band: 2^31 - 1 elements fit, one more does not.
        {2, i32_max - 1, 1, bad, bad},
        {46341, 46341, 1, bad, bad},  // 46341^2 > 2^31 - 1
        {46341, 46340, 1, bad, solves},  // the band fits, the block solver's scratch does not
        {i32_max, 1, 0, bad, bad},
        // The scratch of the block solver: 2^31 elements do not fit; the
        // pipelined driver uses none, and solves.
        {1, 1 << 30, 1, bad, solves},
        {1, (1 << 30) - 1, -1, solves, solves},  // a scratch of 2^31 - 2: too large to run here
        {32768, 32768, 1, bad, solves},  // a band of 2^30, a scratch of 2^31
        // The counters: the pipelined cursors reach n + hbw + 3 panels; the
        // block solver's schedule passes 2^31 for about 1.2e9 rows.
        {i32_max - panels + 1, 0, 1, bad, bad},
        {i32_max, 0, 1, bad, bad},
        {1300000000, 0, 0, bad, solves},
        {1, i32_max - panels - 1, 1, bad, solves},
        {1, i32_max - panels, 1, bad, bad},
        {1, i32_max, i32_max, bad, bad},
        // nrhs <= 0: only A is factored, B is not touched.
        {5, 2, 0, solves, solves},
        {5, 2, -1, solves, solves},
        {5, 2, i32_min, solves, solves},
    };
    for (const sizes& s : cases) {
        expect_verdict<T>(driver::block, s.n, s.hbw, s.nrhs, s.block);
        expect_verdict<T>(driver::pipelined, s.n, s.hbw, s.nrhs, s.pipelined);
    }
}

// Random sizes drawn from the same families, on both sides of each limit;
// the verdict comes from the limits as the headers state them.
TYPED_TEST(ArgumentFamilies, RandomCases) {
    using T = TypeParam;
    const std::int64_t max = i32_max;
    const i32 n_values[] = {i32_min, -1000000000, -1, 0, 1, 2, 5, 46341, 1300000000, i32_max - panels,
                            i32_max - panels + 1, i32_max};
    const i32 hbw_values[] = {i32_min, -1, 0, 1, 3, 46340, (1 << 30) - 1, 1 << 30, i32_max - panels - 1,
                              i32_max - panels, i32_max - 1, i32_max};
    const i32 nrhs_values[] = {i32_min, -1, 0, 1, 3, i32_max};
    auto want = [&](driver d, std::int64_t n, std::int64_t hbw) {
        if (hbw < 0) return bad;
        if (n <= 0) return ok;
        if ((n - 1) * hbw + n > max) return bad;
        if (d == driver::block && (2 * n * hbw > max || n >= 1300000000)) return bad;
        if (d == driver::pipelined && n + hbw + panels > max) return bad;
        return solves;
    };
    std::mt19937 gen(20261209);
    auto pick = [&gen](const auto& values) {
        return values[std::uniform_int_distribution<std::size_t>(0, std::size(values) - 1)(gen)];
    };
    const int draws = small ? 60 : 200;
    for (int k = 0; k < draws; ++k) {
        const i32 n = pick(n_values), hbw = pick(hbw_values), nrhs = pick(nrhs_values);
        for (const driver d : drivers) expect_verdict<T>(d, n, hbw, nrhs, want(d, n, hbw));
    }
}

// Arrays that share bytes are refused before anything is touched (the solve
// would read what it had overwritten): A, B and WORK lie in no-access pages.
TYPED_TEST(ArgumentFamilies, OverlappingArraysAreRefused) {
    using T = TypeParam;
    const i32 n = 40, hbw = 3, nrhs = 2;
    const idx band = (n - 1) * hbw + n, rhs = idx{n} * nrhs;
    const guarded_array<T> block(0);
    T* const p = block.data();
    static_assert((40 * 3 + 40 + 80 + 240) * sizeof(std::complex<double>) < guarded_block::no_access_room);
    struct layout {
        const char* what;
        T *a, *b, *w;
        bool pipelined_too;  // the pipelined driver has no scratch
    };
    const layout layouts[] = {
        {"B on A's last element", p, p + band - 1, p + band + rhs, true},
        {"B = A", p, p, p + band + rhs, true},
        {"A inside B", p + 1, p, p + band + rhs, true},
        {"WORK on B's last element", p, p + band, p + band + rhs - 1, false},
        {"WORK = A", p, p + band, p, false},
        {"WORK inside A", p, p + band, p + 5, false},
    };
    for (const layout& l : layouts) {
        for (const interface f : interfaces) {
            EXPECT_EQ(call<T>(driver::block, f, l.a, n, hbw, l.b, nrhs, l.w), bad) << l.what << ", " << name(f);
            if (l.pipelined_too) {
                EXPECT_EQ(call<T>(driver::pipelined, f, l.a, n, hbw, l.b, nrhs, l.w), bad)
                    << l.what << ", " << name(f);
            }
        }
    }
}

// Arrays that only touch, back to back in one block, are not an overlap;
// without a right-hand side B may lie anywhere, A included.
TYPED_TEST(ArgumentFamilies, AdjacentArraysAndAnUnusedBAreAccepted) {
    using T = TypeParam;
    const i32 n = 40, hbw = 3, nrhs = 2;
    const idx band = (n - 1) * hbw + n, rhs = idx{n} * nrhs, work = pchol_workspace_size4(n, hbw);
    const sym_band m = random_system(n, hbw, 3, is_complex<T>::value);
    const std::vector<cd> b0 = random_rhs(n, nrhs, 4, is_complex<T>::value);
    for (const driver d : drivers) {
        for (const interface f : interfaces) {
            const guarded_array<T> all(band + rhs + work);
            T* const a = all.data();
            T* const b = a + band;
            T* const w = b + rhs;
            const std::vector<T> a0 = to_band<T>(m), bt = convert<T>(b0);
            std::copy(a0.begin(), a0.end(), a);
            std::copy(bt.begin(), bt.end(), b);
            EXPECT_EQ(call<T>(d, f, a, n, hbw, b, nrhs, w), ok) << name(d) << ", " << name(f);
            EXPECT_LT(residual(m, std::vector<T>(b, b + rhs), b0, nrhs), 1e-3);

            std::copy(a0.begin(), a0.end(), a);
            EXPECT_EQ(call<T>(d, f, a, n, hbw, a, 0, w), ok) << "B = A, nrhs 0: " << name(d) << ", " << name(f);
        }
    }
}

// ---- The check itself, at its exact limits ----------------------------------------------------

// Addresses that are only compared, never used.
const unsigned char* at(std::uintptr_t address) { return reinterpret_cast<const unsigned char*>(address); }

TEST(CheckCall, SizesAtTheirLimits) {
    using uc = unsigned char;
    const uc* a = at(std::uintptr_t{1} << 40);
    const uc* b = at(std::uintptr_t{2} << 40);
    const uc* w = at(std::uintptr_t{3} << 40);
    const std::int64_t max = i32_max;
    // The band: (n - 1) * hbw + n = 2^31 - 1 fits, 2^31 does not.
    EXPECT_EQ(check_call<uc>(a, 2, i32_max - 2, b, 1, w, 0), argument_verdict::solve);
    EXPECT_EQ(check_call<uc>(a, 2, i32_max - 1, b, 1, w, 0), argument_verdict::refused);
    EXPECT_EQ(check_call<uc>(a, 46340, 46340, b, 1, w, 0), argument_verdict::solve);  // 46340^2
    EXPECT_EQ(check_call<uc>(a, 46341, 46341, b, 1, w, 0), argument_verdict::refused);
    // The scratch and the counters: 2^31 - 1 fits.
    EXPECT_EQ(check_call<uc>(a, 1, 1, b, 1, w, max), argument_verdict::solve);
    EXPECT_EQ(check_call<uc>(a, 1, 1, b, 1, w, max + 1), argument_verdict::refused);
    EXPECT_EQ(check_call<uc>(a, 1, 1, b, 1, w, 0, max), argument_verdict::solve);
    EXPECT_EQ(check_call<uc>(a, 1, 1, b, 1, w, 0, max + 1), argument_verdict::refused);
    // n <= 0 is checked after hbw and before every size.
    EXPECT_EQ(check_call<uc>(nullptr, i32_min, i32_max, nullptr, i32_max, nullptr, max + 1, max + 1),
              argument_verdict::nothing_to_do);
    EXPECT_EQ(check_call<uc>(nullptr, 0, -1, nullptr, 1, nullptr, 0), argument_verdict::refused);
}

TEST(CheckCall, ArraysMustExistAndFitTheAddressSpace) {
    using uc = unsigned char;
    const std::uintptr_t top = std::numeric_limits<std::uintptr_t>::max();
    const uc* a = at(std::uintptr_t{1} << 40);
    const uc* w = at(std::uintptr_t{3} << 40);
    // B of n * nrhs elements ending at the last address, and one further.
    const i32 n = 1000, nrhs = 1000;
    EXPECT_EQ(check_call<uc>(a, n, 0, at(top - 999'999), nrhs, w, 0), argument_verdict::solve);
    EXPECT_EQ(check_call<uc>(a, n, 0, at(top - 999'998), nrhs, w, 0), argument_verdict::refused);
    // The largest B of 16-byte elements passes the end of any address space.
    EXPECT_EQ(check_call<std::complex<double>>(nullptr, 1300000000, 0, nullptr, i32_max, nullptr, 0),
              argument_verdict::refused);
    // Null arrays are refused only when the call would use them.
    EXPECT_EQ(check_call<uc>(nullptr, 5, 1, at(1u << 20), 1, w, 10), argument_verdict::refused);
    EXPECT_EQ(check_call<uc>(a, 5, 1, nullptr, 1, w, 10), argument_verdict::refused);
    EXPECT_EQ(check_call<uc>(a, 5, 1, nullptr, 0, w, 10), argument_verdict::solve);
    EXPECT_EQ(check_call<uc>(a, 5, 1, at(1u << 20), 1, nullptr, 10), argument_verdict::refused);
    EXPECT_EQ(check_call<uc>(a, 5, 0, at(1u << 20), 1, nullptr, 0), argument_verdict::solve);
}

TEST(CheckCall, OverlapByOneByteIsRefusedTouchingIsNot) {
    using uc = unsigned char;
    const std::uintptr_t base = std::uintptr_t{1} << 40;
    // n = 10, hbw = 1: a band of 19 bytes, B of 10, WORK of 20.
    auto verdict = [&](std::uintptr_t a, std::uintptr_t b, std::uintptr_t w) {
        return check_call<uc>(at(a), 10, 1, at(b), 1, at(w), 20);
    };
    EXPECT_EQ(verdict(base, base + 19, base + 29), argument_verdict::solve);
    EXPECT_EQ(verdict(base, base + 18, base + 29), argument_verdict::refused);
    EXPECT_EQ(verdict(base, base + 19, base + 28), argument_verdict::refused);
    EXPECT_EQ(verdict(base + 30, base + 20, base), argument_verdict::solve);
    EXPECT_EQ(verdict(base + 29, base + 20, base), argument_verdict::refused);
    EXPECT_EQ(verdict(base + 30, base + 19, base), argument_verdict::refused);
}

}  // namespace

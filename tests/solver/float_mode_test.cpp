// The floating-point mode of the solvers' threads: subnormal values flushed
// to zero by default, gradual underflow when the caller turns flushing off;
// results that depend on the setting only, never on the calling thread's own
// mode or on the thread count; the calling thread's mode left as it was.
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/test_system.hpp"
#include "run_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <immintrin.h>
#define PCHOL_TEST_MXCSR 1
#endif

namespace {

using namespace solver_run;

// The benchmark's system at a small size. Its spikes decay far below the
// smallest normal float within a block, so the scratch of a solve with
// gradual underflow holds subnormal values.
struct benchmark_solve {
    static constexpr std::int32_t n = 20000, hbw = 8, nrhs = 1;
    std::vector<float> a, b, x, work;
    std::int32_t info = 12345;

    benchmark_solve()
        : a(static_cast<std::size_t>((n - 1) * hbw + n)), b(n), x(n), work(2 * std::size_t{n} * hbw, 0.0f) {
        make_test_system(a.data(), b.data(), x.data(), n, hbw, nrhs);
    }
    void solve() { pchol_solve4(a.data(), n, hbw, b.data(), nrhs, work.data(), info); }
};

std::size_t subnormals(const std::vector<float>& v) {
    std::size_t count = 0;
    for (const float f : v) count += std::fpclassify(f) == FP_SUBNORMAL ? 1 : 0;
    return count;
}

bool same_bits(const std::vector<float>& x, const std::vector<float>& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

// Restores the default setting whatever a test did.
class SubnormalFlush : public ::testing::Test {
protected:
    void TearDown() override { set_subnormal_flush(1); }
};

TEST_F(SubnormalFlush, OnByDefaultAndSetByAnyNonZeroValue) {
    std::int32_t on = -1;
    get_subnormal_flush(on);
    EXPECT_EQ(on, 1);
    set_subnormal_flush(0);
    get_subnormal_flush(on);
    EXPECT_EQ(on, 0);
    set_subnormal_flush(7);
    get_subnormal_flush(on);
    EXPECT_EQ(on, 1);
}

// With flushing off the subnormal spikes are kept; with it on none is stored,
// and the solution is the same, bit for bit, for this well-scaled system. On
// one thread and on two, whose results agree with each other either way.
TEST_F(SubnormalFlush, ChangesTinyIntermediatesButNotTheSolution) {
    std::vector<float> solution[2][2];
    for (std::int32_t threads = 1; threads <= 2; ++threads) {
        use_threads(threads);
        for (std::int32_t flush = 0; flush <= 1; ++flush) {
            set_subnormal_flush(flush);
            benchmark_solve s;
            s.solve();
            ASSERT_EQ(s.info, pchol::info_ok);
            if (flush == 0) {
                EXPECT_GT(subnormals(s.work), 1000u) << threads << " threads";
            } else {
                EXPECT_EQ(subnormals(s.work), 0u) << threads << " threads";
                EXPECT_EQ(subnormals(s.a), 0u) << threads << " threads";
            }
            solution[threads - 1][flush] = s.b;
        }
    }
    EXPECT_TRUE(same_bits(solution[0][0], solution[0][1]));
    EXPECT_TRUE(same_bits(solution[0][0], solution[1][0]));
    EXPECT_TRUE(same_bits(solution[0][1], solution[1][1]));
}

#ifdef PCHOL_TEST_MXCSR

constexpr unsigned ftz_daz = 0x8040u;
// The control bits, without the exception flags that arithmetic raises.
constexpr unsigned control = ~0x3Fu;

// Whatever mode the calling thread is in, the setting decides how the
// solver's threads compute (including the calling thread's own share), and
// the calling thread gets its mode back.
TEST_F(SubnormalFlush, SettingNotTheCallersModeDecides) {
    const unsigned original = _mm_getcsr();
    for (std::int32_t threads = 1; threads <= 2; ++threads) {
        use_threads(threads);
        for (std::int32_t flush = 0; flush <= 1; ++flush) {
            set_subnormal_flush(flush);
            std::vector<float> work[2];
            for (int caller = 0; caller < 2; ++caller) {
                // The caller's mode: the opposite of the setting, then the same.
                const bool caller_flushes = (caller == 0) == (flush == 0);
                const unsigned mode = caller_flushes ? (original | ftz_daz) : (original & ~ftz_daz);
                _mm_setcsr(mode);
                benchmark_solve s;
                s.solve();
                const unsigned after = _mm_getcsr();
                _mm_setcsr(original);
                ASSERT_EQ(s.info, pchol::info_ok);
                EXPECT_EQ(after & control, mode & control) << threads << " threads, flush " << flush;
                work[caller] = s.work;
            }
            EXPECT_TRUE(same_bits(work[0], work[1])) << threads << " threads, flush " << flush;
        }
    }
}

// The pipelined drivers set and restore the mode in the same way.
TEST_F(SubnormalFlush, PipelinedDriverRestoresTheCallersMode) {
    const unsigned original = _mm_getcsr();
    use_threads(2);
    for (std::int32_t flush = 0; flush <= 1; ++flush) {
        set_subnormal_flush(flush);
        const unsigned mode = flush != 0 ? (original & ~ftz_daz) : (original | ftz_daz);
        _mm_setcsr(mode);
        benchmark_solve s;
        pchol_pipelined_solve4(s.a.data(), s.n, s.hbw, s.b.data(), s.nrhs, nullptr, s.info);
        const unsigned after = _mm_getcsr();
        _mm_setcsr(original);
        ASSERT_EQ(s.info, pchol::info_ok);
        EXPECT_EQ(after & control, mode & control) << "flush " << flush;
    }
}

#endif

}  // namespace

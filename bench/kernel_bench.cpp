// Rates of the solver's hot serial steps in GFLOP/s, one block at a time as
// the worker runs them: band_factor_block, spike_solve, coupling_solve,
// update_separator_tail, the right-hand-side sweeps rhs_forward_block and
// rhs_backward_block, and apply_left_spike; the worker's fused back
// substitution of a block; and its pairs and lane groups of blocks.
//
// Each benchmark works through a batch of consecutive blocks of the
// benchmark's test system (blocks of max(576 / hbw, hbw + 1) rows, the
// solver's block length) held in the L2 cache, restoring the arrays the step
// overwrites between batches outside the timed interval. The argument is the
// half bandwidth: 8 is the benchmark's, 5 a band without a fixed-width
// specialisation. The FLOP/s counter counts a multiply-subtract as two
// operations and a division or square root as one, from the loop bounds.
#include "band_kernels_impl.hpp"
#include "float_mode.hpp"
#include "kernels/lane_groups.hpp"
#include "pchol/band_kernels.hpp"
#include "pchol/test_system.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using index = std::int64_t;
using i32 = std::int32_t;

constexpr index batch_blocks = 48;

// One batch: blocks b = 0 ... batch_blocks - 1, block b being rows
// b * rows + 1 ... (b + 1) * rows.
struct batch {
    i32 hbw;
    i32 rows;
    i32 n;
    std::vector<float> a0;       // the test system's band
    std::vector<float> factor;   // every block factored
    std::vector<float> b0;       // right-hand side
    std::vector<float> spikes0;  // every block's left coupling, gathered
    std::vector<float> solved;   // the same, solved (spikes of eliminated blocks)

    explicit batch(i32 w)
        : hbw(w),
          rows(static_cast<i32>(std::max<index>(576 / std::max<i32>(w, 1), w + 1))),
          n(static_cast<i32>(batch_blocks * rows)) {
        const std::size_t length = static_cast<std::size_t>(n - 1) * hbw + n;
        a0.resize(length);
        b0.resize(static_cast<std::size_t>(n));
        std::vector<float> x(static_cast<std::size_t>(n));
        make_test_system(a0.data(), b0.data(), x.data(), n, hbw, 1);
        factor = a0;
        i32 flags[2] = {0, 0};
        for (index b = 0; b < batch_blocks; ++b)
            pchol::band_factor_block(factor.data(), hbw, first(b), last(b), 0.0f, flags, 1);
        spikes0.assign(static_cast<std::size_t>(n) * hbw, 0.0f);
        for (index b = 1; b < batch_blocks; ++b)
            pchol::gather_left_coupling(a0.data(), hbw, first(b), last(b), spikes0.data(), n);
        solved = spikes0;
        for (index b = 1; b < batch_blocks; ++b) pchol::spike_solve(factor.data(), hbw, first(b), last(b), solved.data(), n);
    }
    i32 first(index b) const { return static_cast<i32>(b * rows + 1); }
    i32 last(index b) const { return static_cast<i32>((b + 1) * rows); }
};

// Operation counts of one block of m rows.
double factor_flops(index m, index w) {
    double f = 0;
    for (index i = 0; i < m; ++i) {
        for (index j = std::max<index>(i - w, 0); j < i; ++j) f += 2.0 * static_cast<double>(std::min(j + w, m - 1) - i + 1);
        f += 1.0 + static_cast<double>(std::min(i + w, m - 1) - i);
    }
    return f;
}
double substitution_flops(index m, index w, index columns) {
    double f = 0;
    for (index r = 0; r < m; ++r) f += 1.0 + 2.0 * static_cast<double>(std::min(r + w, m - 1) - r);
    return f * static_cast<double>(columns);
}

void set_rate(benchmark::State& state, double flops_per_batch) {
    state.counters["FLOP/s"] = benchmark::Counter(flops_per_batch, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_band_factor_block(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> a = s.a0;
    i32 flags[2] = {0, 0};
    for (auto _ : state) {
        for (index b = 0; b < batch_blocks; ++b) pchol::band_factor_block(a.data(), s.hbw, s.first(b), s.last(b), 0.0f, flags, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        a = s.a0;
        state.ResumeTiming();
    }
    set_rate(state, batch_blocks * factor_flops(s.rows, s.hbw));
}

// The same blocks two at a time, row by row in turn, as the worker factors
// them while a sweep has many blocks left.
void BM_band_factor_pair(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> a = s.a0;
    i32 flags[2] = {0, 0};
    for (auto _ : state) {
        for (index b = 0; b < batch_blocks; b += 2)
            pchol::detail::band_factor_pair(a.data(), s.hbw, s.first(b), s.last(b), s.first(b + 1), s.last(b + 1), 0.0f,
                                            flags, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        a = s.a0;
        state.ResumeTiming();
    }
    set_rate(state, batch_blocks * factor_flops(s.rows, s.hbw));
}

// The first blocks of the batch of each group of vector-lane width, in the
// worker's group form.
struct group_firsts {
    static constexpr int L = pchol::detail::groups::group_lanes<float>;
    static constexpr index groups = batch_blocks / L;
    index firsts[groups][L];
    explicit group_firsts(const batch& s) {
        for (index g = 0; g < groups; ++g)
            for (int l = 0; l < L; ++l) firsts[g][l] = s.first(g * L + l);
    }
};

// The same blocks a vector's width (8) at a time, side by side in lanes.
void BM_band_factor_group(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    const group_firsts g(s);
    std::vector<float> a = s.a0;
    i32 flags[2] = {0, 0};
    for (auto _ : state) {
        for (index k = 0; k < g.groups; ++k)
            pchol::detail::groups::band_factor_group(a.data(), s.hbw, g.firsts[k], g.L, s.rows, 0.0f, flags, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        a = s.a0;
        state.ResumeTiming();
    }
    set_rate(state, batch_blocks * factor_flops(s.rows, s.hbw));
}

void BM_spike_solve(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> spikes = s.spikes0;
    for (auto _ : state) {
        for (index b = 1; b < batch_blocks; ++b) pchol::spike_solve(s.factor.data(), s.hbw, s.first(b), s.last(b), spikes.data(), s.n);
        benchmark::ClobberMemory();
        state.PauseTiming();
        spikes = s.spikes0;
        state.ResumeTiming();
    }
    set_rate(state, (batch_blocks - 1) * substitution_flops(s.rows, s.hbw, s.hbw));
}

// The elimination sweep's coupling_solve: the hbw head rows of the right
// neighbour solved with the block's trailing triangle.
void BM_coupling_solve(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> spikes = s.spikes0;
    for (auto _ : state) {
        for (index b = 0; b + 1 < batch_blocks; ++b)
            pchol::coupling_solve(s.factor.data(), s.hbw, s.last(b), s.first(b + 1), s.first(b + 1) + s.hbw - 1, spikes.data(), s.n);
        benchmark::ClobberMemory();
        state.PauseTiming();
        spikes = s.spikes0;
        state.ResumeTiming();
    }
    set_rate(state, (batch_blocks - 1) * substitution_flops(s.hbw, s.hbw, s.hbw));
}

// A separator (block b) takes the update of its right neighbour (block b + 1).
void BM_update_separator_tail(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> a = s.factor, b = s.b0;
    for (auto _ : state) {
        for (index k = 0; k + 1 < batch_blocks; ++k)
            pchol::update_separator_tail(a.data(), s.hbw, s.last(k), s.first(k + 1), s.last(k + 1), s.solved.data(), b.data(), s.n, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        a = s.factor;
        b = s.b0;
        state.ResumeTiming();
    }
    const double w = s.hbw;
    set_rate(state, (batch_blocks - 1) * (w * (w + 1) + 2.0 * w) * s.rows);
}

void BM_rhs_forward_block(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> b = s.b0;
    for (auto _ : state) {
        for (index k = 0; k < batch_blocks; ++k) pchol::rhs_forward_block(s.factor.data(), s.hbw, s.first(k), s.last(k), b.data(), s.n, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        b = s.b0;
        state.ResumeTiming();
    }
    set_rate(state, batch_blocks * substitution_flops(s.rows, s.hbw, 1));
}

void BM_rhs_forward_pair(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> b = s.b0;
    for (auto _ : state) {
        for (index k = 0; k < batch_blocks; k += 2)
            pchol::detail::rhs_forward_pair(s.factor.data(), s.hbw, s.first(k), s.last(k), s.first(k + 1), s.last(k + 1),
                                            b.data(), s.n, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        b = s.b0;
        state.ResumeTiming();
    }
    set_rate(state, batch_blocks * substitution_flops(s.rows, s.hbw, 1));
}

void BM_rhs_forward_group(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    const group_firsts g(s);
    std::vector<float> b = s.b0;
    for (auto _ : state) {
        for (index k = 0; k < g.groups; ++k)
            pchol::detail::groups::rhs_forward_group(s.factor.data(), s.hbw, g.firsts[k], g.L, s.rows, b.data(), s.n, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        b = s.b0;
        state.ResumeTiming();
    }
    set_rate(state, batch_blocks * substitution_flops(s.rows, s.hbw, 1));
}

void BM_rhs_backward_block(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> b = s.b0;
    for (auto _ : state) {
        for (index k = 0; k < batch_blocks; ++k) pchol::rhs_backward_block(s.factor.data(), s.hbw, s.first(k), s.last(k), b.data(), s.n, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        b = s.b0;
        state.ResumeTiming();
    }
    set_rate(state, batch_blocks * substitution_flops(s.rows, s.hbw, 1));
}

// Back substitution: block b + 1 takes its left separator's (block b's) tail
// solution through its spike.
void BM_apply_left_spike(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> b = s.b0;
    for (auto _ : state) {
        for (index k = 0; k + 1 < batch_blocks; ++k)
            pchol::apply_left_spike(s.hbw, s.first(k + 1), s.last(k + 1), s.last(k), s.solved.data(), b.data(), s.n, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        b = s.b0;
        state.ResumeTiming();
    }
    set_rate(state, (batch_blocks - 1) * 2.0 * s.hbw * s.rows);
}

// The worker's fused back substitution of a block (left spike, link, solve).
void BM_back_substitute_block(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> b = s.b0;
    const std::vector<float> links(s.spikes0.size(), 0.5f);
    for (auto _ : state) {
        for (index k = 1; k + 1 < batch_blocks; ++k)
            pchol::detail::back_substitute_block(s.factor.data(), s.hbw, s.first(k), s.last(k), s.last(k - 1), s.solved.data(),
                                                 links.data(), s.first(k + 1), s.last(k + 1), b.data(), s.n, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        b = s.b0;
        state.ResumeTiming();
    }
    const double w = s.hbw;
    set_rate(state, (batch_blocks - 2) * (substitution_flops(s.rows, s.hbw, 1) + 2.0 * w * s.rows + 2.0 * w * w));
}

// The same blocks two at a time, their row chains interleaved as the worker
// runs them while a sweep has many blocks left.
void BM_back_substitute_pair(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> b = s.b0;
    const std::vector<float> links(s.spikes0.size(), 0.5f);
    auto task = [&](index k) {
        return pchol::detail::back_task{s.first(k), s.last(k), s.last(k - 1), s.first(k + 1), s.last(k + 1)};
    };
    for (auto _ : state) {
        for (index k = 1; k + 2 < batch_blocks; k += 2)
            pchol::detail::back_substitute_pair(s.factor.data(), s.hbw, task(k), task(k + 1), s.solved.data(),
                                                links.data(), b.data(), s.n, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        b = s.b0;
        state.ResumeTiming();
    }
    const double w = s.hbw;
    set_rate(state, (batch_blocks - 2) * (substitution_flops(s.rows, s.hbw, 1) + 2.0 * w * s.rows + 2.0 * w * w));
}

// Blocks 1 ... 40 a vector's width (8) at a time, the solves side by side in
// lanes.
void BM_back_substitute_group(benchmark::State& state) {
    const batch s(static_cast<i32>(state.range(0)));
    std::vector<float> b = s.b0;
    const std::vector<float> links(s.spikes0.size(), 0.5f);
    constexpr int L = pchol::detail::groups::group_lanes<float>;
    constexpr index groups = (batch_blocks - 2) / L;
    pchol::detail::back_task tasks[groups][L];
    for (index g = 0; g < groups; ++g)
        for (int l = 0; l < L; ++l) {
            const index k = 1 + g * L + l;
            tasks[g][l] = {s.first(k), s.last(k), s.last(k - 1), s.first(k + 1), s.last(k + 1)};
        }
    for (auto _ : state) {
        for (index g = 0; g < groups; ++g)
            pchol::detail::back_substitute_group(s.factor.data(), s.hbw, tasks[g], L, s.rows, s.solved.data(),
                                                 links.data(), b.data(), s.n, 1);
        benchmark::ClobberMemory();
        state.PauseTiming();
        b = s.b0;
        state.ResumeTiming();
    }
    const double w = s.hbw;
    set_rate(state, groups * L * (substitution_flops(s.rows, s.hbw, 1) + 2.0 * w * s.rows + 2.0 * w * w));
}

}  // namespace

BENCHMARK(BM_back_substitute_pair)->Arg(8)->Arg(5);
BENCHMARK(BM_back_substitute_group)->Arg(8)->Arg(5);
BENCHMARK(BM_back_substitute_block)->Arg(8)->Arg(5);
BENCHMARK(BM_band_factor_block)->Arg(8)->Arg(5);
BENCHMARK(BM_band_factor_pair)->Arg(8)->Arg(5);
BENCHMARK(BM_band_factor_group)->Arg(8)->Arg(5);
BENCHMARK(BM_spike_solve)->Arg(8)->Arg(5);
BENCHMARK(BM_coupling_solve)->Arg(8)->Arg(5);
BENCHMARK(BM_update_separator_tail)->Arg(8)->Arg(5);
BENCHMARK(BM_rhs_forward_block)->Arg(8)->Arg(5);
BENCHMARK(BM_rhs_forward_pair)->Arg(8)->Arg(5);
BENCHMARK(BM_rhs_forward_group)->Arg(8)->Arg(5);
BENCHMARK(BM_rhs_backward_block)->Arg(8)->Arg(5);
BENCHMARK(BM_apply_left_spike)->Arg(8)->Arg(5);

int main(int argc, char** argv) {
    // The kernels run here as in the solver's threads with the default
    // setting: subnormal values flushed to zero. (The spikes decay below the
    // smallest normal float within a block; with gradual underflow some
    // processors take microcode assists on them and the rates say more about
    // those than about the kernels.)
    const pchol::detail::float_mode_scope mode(true);
    benchmark::AddCustomContext("build", PCHOL_BENCH_BUILD);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

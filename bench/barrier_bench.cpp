// Cost of one barrier round: k threads meet, one of them does a serial step
// (advance a shared counter), and all go on. The library's synchronisation
// points are used as the solver uses them, two points in turn, the first
// thread released at one re-arming the other; the baseline is std::barrier
// with the same serial step as its completion function. Times are wall-clock,
// median and minimum over several repetitions. The framework counts the
// iterations of all threads together, so its Time column is a round divided
// by the thread count; the "round" counter is the time of one whole round.
#include "pchol/threads.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <barrier>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

// Seconds per round: every thread reports the rounds it went through, the
// average over the threads is the round count, inverted as a rate.
void count_rounds(benchmark::State& state) {
    state.counters["round"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert |
                                                     benchmark::Counter::kAvgThreads);
}

// Shared by the benchmark threads of one run; set up by thread 0 before the
// timed loop and torn down after it (the framework holds the threads at a
// barrier on both sides of the loop).
struct SyncPair {
    std::int32_t points[2] = {0, 0};
    std::int32_t parties = 0;
    std::int64_t serial = 0;
};
SyncPair pair;

void sync_points_round(benchmark::State& state) {
    if (state.thread_index() == 0) {
        pair.parties = static_cast<std::int32_t>(state.threads());
        pair.serial = 0;
        for (std::int32_t& point : pair.points) sync_create(point);
        sync_reset(pair.points[0], pair.parties);
        if (pair.points[0] == 0 || pair.points[1] == 0) state.SkipWithError("no synchronisation point");
    }
    int here = 0;
    for (auto _ : state) {
        std::int32_t not_first = 0;
        sync_arrive(pair.points[here]);
        sync_wait(pair.points[here], not_first);
        if (not_first == 0) {
            ++pair.serial;
            sync_reset(pair.points[1 - here], pair.parties);
            sync_release(pair.points[here]);
        }
        here = 1 - here;
    }
    count_rounds(state);
    if (state.thread_index() == 0) {
        if (pair.serial != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("lost a round");
        for (std::int32_t point : pair.points) sync_destroy(point);
    }
}

struct Advance {
    std::int64_t* serial;
    void operator()() noexcept { ++*serial; }
};
std::int64_t std_serial = 0;
std::unique_ptr<std::barrier<Advance>> std_meeting;

void std_barrier_round(benchmark::State& state) {
    if (state.thread_index() == 0) {
        std_serial = 0;
        std_meeting = std::make_unique<std::barrier<Advance>>(state.threads(), Advance{&std_serial});
    }
    for (auto _ : state) std_meeting->arrive_and_wait();
    count_rounds(state);
    if (state.thread_index() == 0) {
        if (std_serial != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("lost a round");
        std_meeting.reset();
    }
}

double minimum(const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}

void configure(benchmark::internal::Benchmark* b) {
    b->Threads(2)->Threads(8)->UseRealTime()->MinTime(0.1)->Repetitions(5)->ReportAggregatesOnly(true)
        ->ComputeStatistics("min", minimum);
}

BENCHMARK(sync_points_round)->Apply(configure);
BENCHMARK(std_barrier_round)->Apply(configure);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("build", PCHOL_BENCH_BUILD);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

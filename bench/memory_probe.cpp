// How this machine serves the read pattern of a solve with a stored factor.
// The solve reads, per block of R rows, the block's band rows and its spike:
// W columns of R values, the columns n values apart (the spikes are stored
// column by column). A sweep of level L reads every 2^L-th block, so the
// runs it reads are short and have gaps between them. This probe reads an
// n by W array of floats (the spikes of the benchmark's system: 64 MB) in
// that pattern, every s-th block for s = 1, 2, 4, 8, 16, laid out by columns
// (as the solver stores it) and by rows (a block's values one run), on one
// thread and on two threads taking halves of the blocks, and prints the time
// per block read and the rate of the bytes read. The caches are flushed
// before every repetition by reading a larger array. Nothing here is the
// solver's code: the figures are the memory system's, for reading the
// solver's own times against (docs/performance.md).
//
// A second table gives the writes of the solve that factors: it writes each
// eliminated block's spike, W columns of R values n values apart, every
// 2^(L+1)-th block in the sweep of level L. The probe writes that pattern by
// columns into arrays of floats and of doubles of the spikes' shape.
//
// Usage: memory_probe [repetitions]   (default 7; median and minimum)
#include "pchol/compare.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using index = std::int64_t;

constexpr index n = 2000000;  // rows
constexpr index W = 8;        // columns (the half bandwidth)
constexpr index R = 72;       // rows a block (block size 24: 24^2 / 8)

// Sums the values of every stride-th block from block `from` to block `to`
// (exclusive), eight at a time in independent sums so that the reads, not
// the additions, set the pace.
float read_blocks(const float* x, bool by_rows, index stride, index from, index to) {
    float s[8] = {};
    for (index b = from; b < to; b += stride) {
        const index first = b * R;
        if (by_rows) {
            const float* const p = x + first * W;
            for (index e = 0; e < R * W; e += 8)
                for (int l = 0; l < 8; ++l) s[l] += p[e + l];
        } else {
            for (index c = 0; c < W; ++c) {
                const float* const p = x + c * n + first;
                for (index r = 0; r + 8 <= R; r += 8)
                    for (int l = 0; l < 8; ++l) s[l] += p[r + l];
            }
        }
    }
    float t = 0;
    for (float v : s) t += v;
    return t;
}

// Writes every stride-th block from block `from` to block `to` (exclusive)
// of an n by W array of E, column by column, values that a compiler cannot
// turn into a fill.
template <class E>
void write_blocks(E* x, index stride, index from, index to) {
    for (index b = from; b < to; b += stride) {
        const index first = b * R;
        for (index c = 0; c < W; ++c) {
            E* const p = x + c * n + first;
            for (index r = 0; r < R; ++r) p[r] = static_cast<E>(first + r);
        }
    }
}

// work(part, from, to) on all the blocks (part 0), or on two threads, the
// second taking the second half of the blocks (part 1).
template <class F>
void on_threads(int threads, index stride, index blocks, F&& work) {
    if (threads == 1) return work(0, index{0}, blocks);
    const index half = (blocks / 2 / stride) * stride;
    std::thread t([&] { work(1, half, blocks); });
    work(0, index{0}, half);
    t.join();
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    std::vector<float> x(static_cast<std::size_t>(n * W));
    for (std::size_t k = 0; k < x.size(); ++k) x[k] = 1e-3f * static_cast<float>(k % 7);
    std::vector<float> flush(static_cast<std::size_t>(64) << 20);  // 256 MB, larger than any cache
    float sink = 0;
    auto flush_caches = [&] {
        for (std::size_t k = 0; k < flush.size(); k += 16) sink += flush[k];
    };
    const index blocks = n / R;

    const pchol::compare::machine_facts machine = pchol::compare::read_machine_facts();
    std::printf("CPU: %s, %d cores, %d thread(s) per core\n",
                machine.cpu.model.empty() ? "unknown" : machine.cpu.model.c_str(), machine.cpu.cores,
                machine.cpu.threads_per_core);
    std::printf("Blocks of %lld rows by %lld columns of floats (%lld bytes), %lld blocks, columns %lld values apart\n",
                static_cast<long long>(R), static_cast<long long>(W), static_cast<long long>(R * W * 4),
                static_cast<long long>(blocks), static_cast<long long>(n));
    std::printf("%d repetitions; median and minimum time per block read, and the rate of the bytes read\n\n", reps);
    // One row of a table: reps timings of pass(threads) over every stride-th
    // block, each after the caches were flushed, per block and as a rate of
    // block_bytes a block.
    auto row = [&](const char* label, index stride, int threads, double block_bytes, auto&& pass) {
        std::vector<double> seconds;
        for (int k = 0; k < reps; ++k) {
            flush_caches();
            const auto start = clock_type::now();
            on_threads(threads, stride, blocks, pass);
            seconds.push_back(std::chrono::duration<double>(clock_type::now() - start).count());
        }
        const double done = static_cast<double>((blocks + stride - 1) / stride);
        const pchol::compare::spread t = pchol::compare::summarize(seconds);
        std::printf("%-8s %6lld %8d %10.0f %10.0f %10.1f\n", label, static_cast<long long>(stride), threads,
                    t.median / done * 1e9, t.min / done * 1e9, done * block_bytes / t.median / 1e9);
    };
    std::printf("%-8s %6s %8s %10s %10s %10s\n", "layout", "every", "threads", "median ns", "min ns", "GB/s");
    for (const bool by_rows : {false, true})
        for (const index stride : {1, 2, 4, 8, 16})
            for (const int threads : {1, 2}) {
                float part[2] = {};  // one sum a thread
                row(by_rows ? "rows" : "columns", stride, threads, R * W * 4, [&](int p, index from, index to) {
                    part[p] += read_blocks(x.data(), by_rows, stride, from, to);
                });
                sink += part[0] + part[1];
            }
    std::printf("\nWrites by columns, the spikes of the solve that factors\n\n");
    std::printf("%-8s %6s %8s %10s %10s %10s\n", "element", "every", "threads", "median ns", "min ns", "GB/s");
    std::vector<double> y(static_cast<std::size_t>(n * W));
    auto write_table = [&]<class E>(E* out, const char* name) {
        for (const index stride : {1, 2, 4})
            for (const int threads : {1, 2})
                row(name, stride, threads, R * W * sizeof(E),
                    [&](int, index from, index to) { write_blocks(out, stride, from, to); });
        sink += static_cast<float>(out[static_cast<std::size_t>(n)]);
    };
    write_table(x.data(), "float");
    write_table(y.data(), "double");
    // The sums are printed so that no read is left out as unused.
    std::printf("\n(checksum %g)\n", static_cast<double>(sink));
    return 0;
}

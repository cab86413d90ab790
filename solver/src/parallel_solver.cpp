// The parallel solver's worker and driver, and their instantiations for every
// element type.
//
// Blocks: block b is rows (b - 1) * block_rows + 1 ... min(b * block_rows, n);
// only the last block may be shorter, and since block_rows > hbw a block
// couples only with the blocks next to it.
//
//   block      1        2        3        4        5        6        7
//           |------|=========|------|=========|------|=========|------|
//   phase 1  elim.             elim.             elim.             elim.
//   E = 2             sep.              sep.              sep.
//                    elim.                                elim.
//   E = 4                               sep.
//                                      elim. (top: block 8 does not exist)
//
// Phase 1 eliminates the odd blocks. At level E = 2, 4, 8, ... the separators
// are the blocks whose number is a multiple of E: a separator sweep updates
// each of them from its neighbours at distance E/2 blocks (eliminated in the
// sweep before), then an elimination sweep eliminates those whose number is
// an odd multiple of E, whose neighbours are now at distance E. The reduction
// ends after the elimination sweep in which block 2E does not exist: block E,
// the only one of its level, is then fully solved, and the back substitution
// walks the levels down again.
//
// In rows: level_first is the first row of the level's first block (block E
// from barrier S on), neighbour_dist the rows between a block's first row and
// its neighbours' first rows, sweep_stride the rows between the blocks that
// one sweep hands out.
#include "parallel_solver.hpp"

#include "arguments.hpp"
#include "band_kernels_impl.hpp"
#include "float_mode.hpp"
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/threads.hpp"
#include "team.hpp"
#include "tuning.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

namespace pchol::detail {

namespace {

// A thread takes a second block to run beside the first only while the sweep
// has at least this many blocks left: enough for 8 threads to take a pair
// each. (A fixed count: num_threads may still be lowered by the driver while
// the first workers run phase 1, so it is not read here.)
constexpr index pair_blocks_left = 16;

// The waits of wait_stats: each worker sums its own and adds them to the
// totals when it returns.
#ifdef PCHOL_WAIT_STATS
constexpr bool count_waits = true;
#else
constexpr bool count_waits = false;
#endif
using wait_clock = std::chrono::steady_clock;
std::atomic<double> total_barrier{0}, total_cursor{0}, total_worker{0};
std::atomic<std::int64_t> total_barriers{0}, total_takes{0};

struct wait_counts {
    double barrier = 0;
    double cursor = 0;
    std::int64_t barriers = 0;
    std::int64_t takes = 0;
    wait_clock::time_point start = count_waits ? wait_clock::now() : wait_clock::time_point{};

    ~wait_counts() {
        if constexpr (count_waits) {
            total_barrier += barrier;
            total_cursor += cursor;
            total_worker += std::chrono::duration<double>(wait_clock::now() - start).count();
            total_barriers += barriers;
            total_takes += takes;
        }
    }
};

// Runs f, adding its wall time to seconds when waits are counted.
template <class F>
auto timed(double& seconds, std::int64_t& count, F&& f) {
    if constexpr (count_waits) {
        const auto t0 = wait_clock::now();
        auto result = f();
        seconds += std::chrono::duration<double>(wait_clock::now() - t0).count();
        ++count;
        return result;
    } else {
        (void)seconds;
        (void)count;
        return f();
    }
}

// The team's barrier (team.hpp), its wait counted in waits.
template <class Update>
void barrier(const i32 (&sync_pair)[2], i32 sync_index, const i32& num_threads, wait_counts& waits,
             Update&& update) {
    timed(waits.barrier, waits.barriers, [&] {
        pchol::detail::barrier(sync_pair, sync_index, num_threads, update);
        return 0;
    });
}

}  // namespace

template <class T>
void parallel_worker(T* const& A, const i32& n, const i32& hbw, T* const& B, const i32& nrhs, T* const& links,
                     T* const& spikes, const i32& counter_mutex, const i32 (&sync_pair)[2], const i32& block_rows,
                     const i32& num_threads, i32& level_scale, i32& neighbour_dist, i32& sweep_stride,
                     i32& level_first, i32& next_row, i32& back_row, const real_of_t<T>& tol,
                     i32 (&fail_flags)[2]) {
    i32 flush = 1;
    get_subnormal_flush(flush);
    const float_mode_scope mode(flush != 0);
    const index N = n;
    const index w = hbw;
    const index br = block_rows;
    // Names the barrier of the current phase and the failure flag that the
    // factorisations of the phase report into; switches after every barrier.
    i32 sync_index = 1;
    // The block in hand.
    i32 first = 0;
    i32 last = 0;

    // Takes the next block of the sweep from cursor (under the counter mutex);
    // false when the sweep is over for this thread. With pairs allowed, and
    // while the sweep has many blocks left after this one, the same hold of
    // the mutex also takes the block after it (first2, last2) for the thread
    // to run side by side with the first, and paired tells so. Near the end of
    // a sweep a pair would keep one thread busy while the others wait at the
    // barrier.
    wait_counts waits;
    i32 first2 = 0;
    i32 last2 = 0;
    bool paired = false;
    auto take_block = [&](i32& cursor, bool pairs) {
        const bool taken = timed(waits.cursor, waits.takes, [&] {
            counter_lock lock(counter_mutex);
            const i32 f = load(cursor);
            if (f > n) return false;
            index next = index{f} + sweep_stride;
            const index left_after = next <= N ? (N - next) / sweep_stride + 1 : 0;
            paired = pairs && left_after >= pair_blocks_left;
            first = f;
            if (paired) {
                first2 = static_cast<i32>(next);
                next += sweep_stride;
            }
            store(cursor, next);
            return true;
        });
        if (taken) {
            last = static_cast<i32>(std::min(first + br - 1, N));
            if (paired) last2 = static_cast<i32>(std::min(first2 + br - 1, N));
        }
        return taken;
    };
    auto failed = [&] { return load(fail_flags[sync_index - 1]) == -1; };
    auto switch_index = [&] { sync_index = 3 - sync_index; };

    // ---- Phase 1: eliminate the odd blocks. ----
    // The couplings of block f..l: with the separator on its left (the spike)
    // and with the head of the next block, left in that block's spikes rows
    // for its separator update.
    auto phase1_couplings = [&](i32 f, i32 l) {
        if (f > 1) {
            gather_left_coupling(A, hbw, f, l, spikes, n);
            spike_solve(A, hbw, f, l, spikes, n);
        }
        gather_right_coupling(A, hbw, f, l, n, spikes);
        if (l < n) coupling_solve_rows(A, w, l, index{l} + 1, std::min(index{l} + w, N), spikes, N, true);
    };
    while (take_block(next_row, true)) {
        if (paired) {
            band_factor_pair(A, w, first, last, first2, last2, tol, fail_flags, sync_index);
            if (failed()) break;
            phase1_couplings(first, last);
            phase1_couplings(first2, last2);
            if (nrhs > 0) rhs_forward_pair(A, w, first, last, first2, last2, B, N, nrhs);
            continue;
        }
        band_factor_block(A, hbw, first, last, tol, fail_flags, sync_index);
        if (failed()) break;
        phase1_couplings(first, last);
        if (nrhs > 0) rhs_forward_block(A, hbw, first, last, B, n, nrhs);
    }
    // Barrier P: the separator sweep of level 2 starts at block 2.
    barrier(sync_pair, sync_index, num_threads, waits, [&] {
        store(next_row, (2 * index{level_scale} - 1) * br + 1);
        level_scale = 2 * level_scale;
    });
    if (load(fail_flags[0]) == -1) return;
    switch_index();

    // ---- Reduction: one separator sweep and one elimination sweep per level. ----
    for (;;) {
        // Separator sweep (sync_index 2): the separators of level E =
        // level_scale take the updates of their neighbours at E/2 blocks,
        // which the sweep before eliminated.
        {
            const index d = neighbour_dist;
            const index lf = level_first;
            while (take_block(next_row, false)) {
                if (first + d <= N) {
                    const i32 r1 = static_cast<i32>(first + d);
                    const i32 r2 = static_cast<i32>(std::min(first + d + br - 1, N));
                    update_separator_tail(A, hbw, last, r1, r2, spikes, B, n, nrhs);
                }
                if (first - d >= lf) {
                    const i32 left_last = static_cast<i32>(first - d + br - 1);
                    update_separator_head(A, hbw, first, left_last, spikes, B, n, nrhs);
                    save_link(hbw, first, left_last, spikes, links, n);
                    // The left neighbour has a separator on its left: this
                    // separator now couples with that one's tail.
                    if (first - d > lf) form_fill(A, hbw, first, last, left_last, spikes, n);
                }
            }
        }
        // Barrier S: the elimination sweep takes every other separator, with
        // the neighbours twice as far.
        barrier(sync_pair, sync_index, num_threads, waits, [&] {
            const index lf = (index{level_scale} - 1) * br + 1;
            level_first = static_cast<i32>(lf);
            store(next_row, lf);
            sweep_stride = 2 * sweep_stride;
            neighbour_dist = 2 * neighbour_dist;
        });
        switch_index();

        // Elimination sweep (sync_index 1): blocks at odd multiples of E.
        {
            const index d = neighbour_dist;
            const index lf = level_first;
            auto couplings = [&](i32 f, i32 l) {
                // The spike (formed by form_fill, zero below the head) couples
                // the block with the tail of the separator on its left.
                if (f - d >= lf && hbw > 0) spike_solve(A, hbw, f, l, spikes, n);
                // The head rows of the right neighbour hold its coupling with
                // this block's tail.
                if (f + d <= N) {
                    const i32 r1 = static_cast<i32>(f + d);
                    const i32 r2 = static_cast<i32>(std::min(f + d + w - 1, N));
                    coupling_solve(A, hbw, l, r1, r2, spikes, n);
                }
            };
            while (take_block(next_row, true)) {
                if (paired) {
                    band_factor_pair(A, w, first, last, first2, last2, tol, fail_flags, sync_index);
                    if (failed()) break;
                    couplings(first, last);
                    couplings(first2, last2);
                    if (nrhs > 0) rhs_forward_pair(A, w, first, last, first2, last2, B, N, nrhs);
                    continue;
                }
                band_factor_block(A, hbw, first, last, tol, fail_flags, sync_index);
                if (failed()) break;
                couplings(first, last);
                if (nrhs > 0) rhs_forward_block(A, hbw, first, last, B, n, nrhs);
            }
        }
        // Barrier E: either the next level, or (when block 2E does not exist)
        // the back substitution from the top block E.
        barrier(sync_pair, sync_index, num_threads, waits, [&] {
            const index next = (2 * index{level_scale} - 1) * br + 1;
            store(next_row, next);
            if (next > N)
                store(back_row, (index{level_scale} - 1) * br + 1);
            else
                level_scale = 2 * level_scale;
        });
        if (load(fail_flags[0]) == -1) return;
        switch_index();
        if (load(back_row) != 0) break;
    }

    // ---- Phase 3: back substitution, one level per sweep from the top. ----
    // The separators on both sides of a level's blocks were solved in the
    // sweeps before.
    for (;;) {
        const index d = neighbour_dist;
        // apply_left_spike with the tail of the block at first - d, then
        // apply_link with the head of the block at first + d, then
        // rhs_backward_block.
        auto task = [&](index f, index l) {
            const index left_last = f - d > 0 ? f - d + br - 1 : 0;
            const index r1 = f + d <= N ? f + d : 0;
            const index r2 = f + d <= N ? std::min(f + d + br - 1, N) : 0;
            return back_task{f, l, left_last, r1, r2};
        };
        while (take_block(back_row, true)) {
            const back_task p = task(first, last);
            if (paired) {
                back_substitute_pair(A, w, p, task(first2, last2), spikes, links, B, N, nrhs);
            } else {
                back_substitute_block(A, w, p.first, p.last, p.left_last, spikes, links, p.r1, p.r2, B, N, nrhs);
            }
        }
        // Barrier K: one level down; after the odd blocks level_scale is 0.
        barrier(sync_pair, sync_index, num_threads, waits, [&] {
            level_scale = level_scale / 2;
            sweep_stride = sweep_stride / 2;
            neighbour_dist = neighbour_dist / 2;
            store(back_row, (index{level_scale} - 1) * br + 1);
        });
        switch_index();
        if (level_scale < 1) return;
    }
}

wait_stats read_wait_stats() {
    return {total_barrier.load(), total_cursor.load(), total_worker.load(), total_barriers.load(),
            total_takes.load()};
}

void reset_wait_stats() {
    total_barrier = 0;
    total_cursor = 0;
    total_worker = 0;
    total_barriers = 0;
    total_takes = 0;
}

std::int64_t schedule_peak(std::int64_t n, std::int64_t block_rows) {
    const index br = block_rows;
    index peak = 0;
    auto see = [&](index v) { peak = std::max(peak, v); };
    // A sweep leaves its cursor one stride past the last block it handed out
    // (or where it was, when it hands out none).
    auto sweep = [&](index start, index stride) {
        see(start <= n ? start + ((n - start) / stride + 1) * stride : start);
    };
    index level = 1;
    index stride = 2 * br;
    see(stride);
    sweep(1, stride);
    index next = br + 1;
    see(next);
    level = 2;
    for (;;) {
        sweep(next, stride);
        next = (level - 1) * br + 1;
        stride *= 2;
        see(next);
        see(stride);
        sweep(next, stride);
        next = (2 * level - 1) * br + 1;
        see(next);
        if (next > n) break;
        level *= 2;
    }
    for (; level >= 1; level /= 2, stride /= 2) sweep((level - 1) * br + 1, stride);
    return peak;
}

template <class T>
void parallel_solve(T* A, const i32& n, const i32& hbw, T* B, const i32& nrhs, T* WORK, i32& info, void (&tune)(),
                    worker_routine<T>& worker) {
    const argument_verdict verdict = check_call(A, n, hbw, B, nrhs, WORK, pchol_workspace_size4(n, hbw));
    if (verdict == argument_verdict::refused) {
        info = info_bad_arguments;
        return;
    }
    tune();  // also for an empty system: the first solve of the process fixes block_size
    if (verdict == argument_verdict::nothing_to_do) {
        info = info_ok;
        return;
    }
    index rows = std::max<index>(index{block_size} * block_size / std::max<i32>(hbw, 1), index{hbw} + 1);
    // The schedule counters are 32-bit. A block longer than the matrix gives
    // the same single block as one of n rows; beyond that, a system whose
    // counters would pass the 32-bit range is refused.
    if (schedule_peak(n, rows) > i32_max && rows > std::max<i32>(n, 1)) rows = std::max<i32>(n, 1);
    if (schedule_peak(n, rows) > i32_max) {
        info = info_bad_arguments;
        return;
    }

    const i32 threads = team_size();
    // Without the counter mutex or either synchronisation point nothing is
    // computed: A and B are left as they were.
    team_objects shared;
    if (!shared.create()) {
        info = info_no_resources;
        return;
    }
    const i32& counter_mutex = shared.counter_mutex;
    const i32(&sync_pair)[2] = shared.sync_pair;

    // The state every worker shares, by reference.
    const i32 block_rows = static_cast<i32>(rows);
    i32 num_threads = threads;
    i32 level_scale = 1;
    i32 neighbour_dist = block_rows;
    i32 sweep_stride = 2 * block_rows;
    i32 level_first = 1;
    i32 next_row = 1;
    i32 back_row = 0;
    i32 fail_flags[2] = {0, 0};
    const real_of_t<T> tol = 0;
    T* links = WORK;
    T* spikes = n > 0 ? WORK + index{n} * hbw : WORK;

    sync_reset(sync_pair[0], num_threads);

    // A thread that cannot be started leaves the solve to the others (see
    // team_threads::start): A and B hold the same factor and solution, bit for
    // bit, as with any thread count, and info reports the shortage with
    // info_no_resources (unless a pivot failed).
    team_threads members;
    members.start(threads, num_threads, sync_pair[0], [&](i32& id) {
        thr_start19(id, worker, A, n, hbw, B, nrhs, links, spikes, counter_mutex, sync_pair, block_rows, num_threads,
                    level_scale, neighbour_dist, sweep_stride, level_first, next_row, back_row, tol, fail_flags);
    });

    worker(A, n, hbw, B, nrhs, links, spikes, counter_mutex, sync_pair, block_rows, num_threads, level_scale,
           neighbour_dist, sweep_stride, level_first, next_row, back_row, tol, fail_flags);

    members.join();

    info = fail_flags[0] | fail_flags[1];
    if (info == info_ok && members.missing() > 0) info = info_no_resources;

    shared.close();
}

#define PCHOL_INSTANTIATE_PARALLEL_SOLVER(T)                                                                         \
    template void parallel_worker<T>(T* const&, const i32&, const i32&, T* const&, const i32&, T* const&, T* const&, \
                                     const i32&, const i32(&)[2], const i32&, const i32&, i32&, i32&, i32&, i32&,    \
                                     i32&, i32&, const real_of_t<T>&, i32(&)[2]);                                    \
    template void parallel_solve<T>(T*, const i32&, const i32&, T*, const i32&, T*, i32&, void (&)(),               \
                                    worker_routine<T>&);

PCHOL_INSTANTIATE_PARALLEL_SOLVER(float)
PCHOL_INSTANTIATE_PARALLEL_SOLVER(double)
PCHOL_INSTANTIATE_PARALLEL_SOLVER(std::complex<double>)
PCHOL_INSTANTIATE_PARALLEL_SOLVER(std::complex<float>)

}  // namespace pchol::detail

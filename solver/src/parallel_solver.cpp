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

#include "band_kernels_impl.hpp"
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/threads.hpp"
#include "tuning.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>

namespace pchol::detail {

namespace {

using i32 = std::int32_t;

constexpr index i32_max = std::numeric_limits<i32>::max();

// Holds the solver's counter mutex for one read and advance of a cursor.
class counter_lock {
public:
    explicit counter_lock(const i32& mutex) : mutex_(mutex) { thr_mutex_lock(mutex_); }
    ~counter_lock() { thr_mutex_unlock(mutex_); }
    counter_lock(const counter_lock&) = delete;
    counter_lock& operator=(const counter_lock&) = delete;

private:
    const i32& mutex_;
};

// The cursors next_row and back_row are advanced under the counter mutex, but
// back_row is also read outside it (the end test after an elimination
// barrier, while a faster thread already takes back-substitution blocks), and
// fail_flags is written by a failing factorisation while other threads read
// it. Every access to these goes through atomic_ref. Relaxed order is enough:
// the mutex and the barriers order the data that goes with them.
i32 load(i32& shared) { return std::atomic_ref<i32>(shared).load(std::memory_order_relaxed); }
void store(i32& shared, index value) {
    std::atomic_ref<i32>(shared).store(static_cast<i32>(value), std::memory_order_relaxed);
}

// One barrier on sync_pair(sync_index), sync_index being 1 or 2:
//   1. every thread arrives at the point and waits;
//   2. the point releases one thread first (not_first = 0) while the others
//      stay blocked in sync_wait;
//   3. that thread alone applies the counter update of this barrier, then arms
//      the other point for the next barrier (nobody can be at the other point
//      now: every thread has arrived here), then passes the wake-up on;
//   4. the others return from sync_wait one by one and see the update.
template <class Update>
void barrier(const i32 (&sync_pair)[2], i32 sync_index, const i32& num_threads, Update&& update) {
    const i32& point = sync_pair[sync_index - 1];
    sync_arrive(point);
    i32 not_first = 1;
    sync_wait(point, not_first);
    if (not_first == 0) {
        update();
        sync_reset(sync_pair[2 - sync_index], num_threads);
        sync_release(point);
    }
}

}  // namespace

template <class T>
void parallel_worker(T* const& A, const i32& n, const i32& hbw, T* const& B, const i32& nrhs, T* const& links,
                     T* const& spikes, const i32& counter_mutex, const i32 (&sync_pair)[2], const i32& block_rows,
                     const i32& num_threads, i32& level_scale, i32& neighbour_dist, i32& sweep_stride,
                     i32& level_first, i32& next_row, i32& back_row, const real_of_t<T>& tol,
                     i32 (&fail_flags)[2]) {
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
    // false when the sweep is over for this thread.
    auto take_block = [&](i32& cursor) {
        {
            counter_lock lock(counter_mutex);
            const i32 f = load(cursor);
            if (f > n) return false;
            store(cursor, index{f} + sweep_stride);
            first = f;
        }
        last = static_cast<i32>(std::min(first + br - 1, N));
        return true;
    };
    auto failed = [&] { return load(fail_flags[sync_index - 1]) == -1; };
    auto switch_index = [&] { sync_index = 3 - sync_index; };

    // ---- Phase 1: eliminate the odd blocks. ----
    while (take_block(next_row)) {
        band_factor_block(A, hbw, first, last, tol, fail_flags, sync_index);
        if (failed()) break;
        if (first > 1) {
            gather_left_coupling(A, hbw, first, last, spikes, n);
            spike_solve(A, hbw, first, last, spikes, n);
        }
        // The coupling of this block's tail with the head of the next block,
        // left in that block's spikes rows for its separator update.
        gather_right_coupling(A, hbw, first, last, n, spikes);
        if (last < n) coupling_solve_rows(A, w, last, index{last} + 1, std::min(index{last} + w, N), spikes, N, true);
        if (nrhs > 0) rhs_forward_block(A, hbw, first, last, B, n, nrhs);
    }
    // Barrier P: the separator sweep of level 2 starts at block 2.
    barrier(sync_pair, sync_index, num_threads, [&] {
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
            while (take_block(next_row)) {
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
        barrier(sync_pair, sync_index, num_threads, [&] {
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
            while (take_block(next_row)) {
                band_factor_block(A, hbw, first, last, tol, fail_flags, sync_index);
                if (failed()) break;
                // The spike (formed by form_fill, zero below the head) couples
                // the block with the tail of the separator on its left.
                if (first - d >= lf && hbw > 0) spike_solve(A, hbw, first, last, spikes, n);
                // The head rows of the right neighbour hold its coupling with
                // this block's tail.
                if (first + d <= N) {
                    const i32 r1 = static_cast<i32>(first + d);
                    const i32 r2 = static_cast<i32>(std::min(first + d + w - 1, N));
                    coupling_solve(A, hbw, last, r1, r2, spikes, n);
                }
                if (nrhs > 0) rhs_forward_block(A, hbw, first, last, B, n, nrhs);
            }
        }
        // Barrier E: either the next level, or (when block 2E does not exist)
        // the back substitution from the top block E.
        barrier(sync_pair, sync_index, num_threads, [&] {
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
        while (take_block(back_row)) {
            if (first - d > 0 && nrhs > 0) {
                const i32 left_last = static_cast<i32>(first - d + br - 1);
                apply_left_spike(hbw, first, last, left_last, spikes, B, n, nrhs);
            }
            if (first + d <= N) {
                const i32 r1 = static_cast<i32>(first + d);
                const i32 r2 = static_cast<i32>(std::min(first + d + br - 1, N));
                apply_link(hbw, last, r1, r2, links, B, n, nrhs);
            }
            if (nrhs > 0) rhs_backward_block(A, hbw, first, last, B, n, nrhs);
        }
        // Barrier K: one level down; after the odd blocks level_scale is 0.
        barrier(sync_pair, sync_index, num_threads, [&] {
            level_scale = level_scale / 2;
            sweep_stride = sweep_stride / 2;
            neighbour_dist = neighbour_dist / 2;
            store(back_row, (index{level_scale} - 1) * br + 1);
        });
        switch_index();
        if (level_scale < 1) return;
    }
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
    // Arguments that would index outside the arrays are refused before
    // anything is touched: the band and the scratch must be countable in
    // 32-bit integers. n <= 0 and nrhs <= 0 are valid and touch nothing.
    if (hbw < 0) {
        info = info_bad_arguments;
        return;
    }
    if (n > 0) {
        const index band = (index{n} - 1) * hbw + n;
        const index work = 2 * index{n} * hbw;
        if (band > i32_max || work > i32_max) {
            info = info_bad_arguments;
            return;
        }
    }

    tune();
    index rows = std::max<index>(index{block_size} * block_size / std::max<i32>(hbw, 1), index{hbw} + 1);
    // The schedule counters are 32-bit. A block longer than the matrix gives
    // the same single block as one of n rows; beyond that, a system whose
    // counters would pass the 32-bit range is refused.
    if (schedule_peak(n, rows) > i32_max && rows > std::max<i32>(n, 1)) rows = std::max<i32>(n, 1);
    if (schedule_peak(n, rows) > i32_max) {
        info = info_bad_arguments;
        return;
    }

    // At least one thread (a count of 0 would arm the barriers for nobody),
    // and no more than the thread table below holds.
    i32 threads = 0;
    get_thread_count(threads);
    threads = std::clamp<i32>(threads, 1, max_threads);

    // Without the counter mutex or either synchronisation point nothing is
    // computed: A and B are left as they were.
    i32 counter_mutex = 0;
    thr_mutex_create(counter_mutex);
    if (counter_mutex == 0) {
        info = info_no_resources;
        return;
    }
    // sync_create gives id 0 when the table is full or the point's event or
    // mutex could not be created.
    i32 sync_pair[2] = {0, 0};
    sync_create(sync_pair[0]);
    if (sync_pair[0] != 0) sync_create(sync_pair[1]);
    if (sync_pair[0] == 0 || sync_pair[1] == 0) {
        thr_mutex_close(counter_mutex);
        sync_destroy(sync_pair[0]);
        sync_destroy(sync_pair[1]);
        info = info_no_resources;
        return;
    }

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

    i32 ids[max_threads] = {};
    i32 missing = 0;
    for (i32 i = 1; i < threads; ++i) {
        thr_start19(ids[i - 1], worker, A, n, hbw, B, nrhs, links, spikes, counter_mutex, sync_pair, block_rows,
                    num_threads, level_scale, neighbour_dist, sweep_stride, level_first, next_row, back_row, tol,
                    fail_flags);
        if (ids[i - 1] == 0) ++missing;
    }
    // A thread that could not be started is a party the first barrier (P,
    // armed above for every thread) would wait for forever. The calling thread
    // arrives on its behalf and lowers the party count that every later
    // barrier is armed with. Both happen before this thread runs its own
    // worker, and P cannot open before this thread has arrived there itself,
    // so no barrier opens or is armed with the old count. The solve then runs
    // to the end on the threads it has: A and B hold the same factor and
    // solution, bit for bit, as with any thread count, and info reports the
    // shortage with info_no_resources (unless a pivot failed).
    if (missing > 0) {
        num_threads = threads - missing;
        for (i32 i = 0; i < missing; ++i) sync_arrive(sync_pair[0]);
    }

    worker(A, n, hbw, B, nrhs, links, spikes, counter_mutex, sync_pair, block_rows, num_threads, level_scale,
           neighbour_dist, sweep_stride, level_first, next_row, back_row, tol, fail_flags);

    for (i32 i = 1; i < threads; ++i)
        if (ids[i - 1] != 0) thr_join(ids[i - 1]);

    info = fail_flags[0] | fail_flags[1];
    if (info == info_ok && missing > 0) info = info_no_resources;

    thr_mutex_close(counter_mutex);
    sync_destroy(sync_pair[0]);
    sync_destroy(sync_pair[1]);
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

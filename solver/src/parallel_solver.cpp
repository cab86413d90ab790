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
#include "pchol/wait_stats.hpp"

#include "arguments.hpp"
#include "band_kernels_impl.hpp"
#include "kernels/lane_groups.hpp"
#include "level_order.hpp"
#include "float_mode.hpp"
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/threads.hpp"
#include "rhs_steps.hpp"
#include "team.hpp"
#include "tuning.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

namespace pchol::detail {

namespace {

// Runs of blocks (take_run) are made of pairs only while the sweep has at
// least this many blocks left, and of groups of 8 blocks (groups::group_lanes)
// while it has at least group_groups_left groups left: enough for 8 threads
// to take one each. (Fixed counts: num_threads may still be lowered by the
// driver while the first workers run phase 1, so it is not read here.)
constexpr index pair_blocks_left = 16;
constexpr index group_groups_left = 8;

// A run is at most a run_share-th of the sweep's blocks, run_share being
// runs_per_thread times the team's size, so that a short sweep is still
// shared evenly; the team's size is known only after phase 1 (the driver
// may still lower it while phase 1 runs), and phase 1 takes the largest
// team. And a run is at most an end_share-th of the blocks left, so that
// the sweep ends with small runs and no thread is left with a long one
// while the others wait at the barrier.
constexpr index runs_per_thread = 8;
constexpr index largest_team = 32;
constexpr index end_share = 16;

// Runs of at most this many separators (separator sweeps) and blocks
// (elimination and back-substitution sweeps); separator sweeps make their
// runs of groups of separator_group while many are left.
constexpr index separator_run = 64;
constexpr index block_run = 64;
constexpr int separator_group = 8;

template <class T>
using wide_of_t = typename element_traits<T>::wide_type;

// The wide elements a block's kept spike rows may take (rows times hbw):
// every block that fits a lane group's tile fits here too.
constexpr index kept_room = 2048;

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

    wait_counts() = default;
    wait_counts(const wait_counts&) = delete;
    wait_counts& operator=(const wait_counts&) = delete;
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

// What one worker sees: the arrays and sizes, the schedule it shares with the
// other workers (references to the driver's objects), and its own place in
// the schedule. Row numbers are 64-bit here; the driver refuses systems
// whose rows or counters would not fit the 32 bits of the kernels' and the
// counters' interface.
template <class T>
struct worker_state {
    T* const A;
    T* const B;
    T* const links;
    T* const spikes;
    const index n;
    const index hbw;
    const index nrhs;
    const index block_rows;
    const real_of_t<T>& tol;
    // The factor is already in A and WORK (a solve with a stored factor): the
    // sweeps only carry the right-hand sides through it, reading A and WORK.
    const bool rhs_only;
    // With a stored factor and many right-hand sides, they run in lanes
    // (rhs_steps.hpp), blocks one at a time or two or four side by side (no
    // lane groups of blocks), and the next blocks' rows are prefetched.
    const bool rhs_lanes_on = rhs_only && nrhs >= rhs_lanes && runs_in_lanes<T>(block_rows);
    // An eliminated block updates the tail rows of the separator on its
    // left from the elimination sweep, while its rows are in the cache; with
    // a stored factor only when its right-hand sides run in lanes (with
    // fewer the separator sweep does it, which measured faster: its passes
    // read the spikes in one stream).
    const bool tails_in_elimination = !rhs_only || rhs_lanes_on;
    // When the separators' head rows and tail rows are apart, the heads too,
    // each by the thread that eliminates the neighbour: the two neighbours'
    // threads then write disjoint rows, and each row receives its updates in
    // the order of the separator sweep, which has nothing left to do.
    const bool separators_in_elimination = tails_in_elimination && 2 * hbw <= block_rows;

    // Shared: the counter mutex guards the cursors next_row and back_row; the
    // other counters change only at a barrier, by the thread released first.
    const i32& counter_mutex;
    const i32 (&sync_pair)[2];
    const i32& num_threads;
    i32& level_scale;
    i32& neighbour_dist;
    i32& sweep_stride;
    i32& level_first;
    i32& next_row;
    i32& back_row;
    i32 (&fail_flags)[2];

    // The order of the spikes and links in WORK (level_order.hpp) in the
    // factor of pchol_factorK and the solves with it; null in pchol_solveK,
    // which keeps each block's in its own rows.
    const level_order* order = nullptr;

    // This thread's own: the barrier of the current sweep and the failure
    // flag its factorisations report into (1 or 2, switched after every
    // barrier), and its waits.
    i32 sync_index = 1;
    wait_counts waits{};
    // For take_run: runs_per_thread times the team's size (the largest until
    // the end of phase 1), and the blocks the sweep had left when this
    // thread first took from it (0 before that).
    index run_share = runs_per_thread * largest_team;
    index sweep_blocks = 0;

    // The spike columns moved so that the block from row first finds its
    // rows by their row numbers; where its link (which follows its last row
    // in the solve that factors) lies, as a shift from there, and the link.
    index spike_shift(index first) const { return order ? order->spike_shift(first) : 0; }
    T* spikes_of(index first) const { return spikes + spike_shift(first); }
    index link_shift(index first, index last) const { return order ? order->link_start(first) - last * hbw : 0; }
    T* link_of(index first, index last) const { return links + (last * hbw + link_shift(first, last)); }

    // The blocks an elimination or back-substitution sweep hands out as one
    // group: lane groups where the blocks fit the tile, quads when the
    // right-hand sides run in lanes, else none (pairs and single blocks).
    int sweep_group() const {
        if (hbw > 0 && !rhs_lanes_on && groups::group_fits<T>(hbw, block_rows)) return groups::group_lanes<T>;
        if (rhs_lanes_on && quads_in_lanes(block_rows)) return quad;
        return 0;
    }
};

// The blocks a thread holds: first..last, and with paired a second block
// first2..last2 of the same sweep to run side by side with it; or with
// grouped > 0 a group of that many blocks of block_rows rows each, starting
// at group_firsts[0 ...] (group_firsts[0] = first).
struct blocks_in_hand {
    index first = 0, last = 0;
    index first2 = 0, last2 = 0;
    bool paired = false;
    int grouped = 0;
    index group_firsts[8] = {};
};

// Whether the pair in hand runs side by side in the right-hand-side lanes:
// blocks of the same length that fit the lanes' buffer together (pairs are
// taken far from a sweep's end, so both are whole).
inline bool pair_in_lanes(const blocks_in_hand& h) {
    return h.paired && h.last - h.first == h.last2 - h.first2 && pairs_in_lanes(h.last - h.first + 1);
}

// A run of consecutive blocks of one sweep: count blocks from the one whose
// first row is first.
struct block_run_taken {
    index first = 0;
    index count = 0;
};

// Takes a run of consecutive blocks of the sweep from cursor (under the
// counter mutex) into run; false when the sweep is over for this thread,
// which leaves the cursor as it is. A run is at most max_run blocks, a run_share-th of the blocks the
// sweep had when this thread first took from it and an end_share-th of the
// blocks left, and a whole number of units: groups of group blocks
// (group > 1) while the sweep has group_groups_left groups left, pairs
// (with pairs) while it has pair_blocks_left blocks left, else single
// blocks.
// Long runs keep each thread's reads in long streams: taken a group at a
// time, the threads' blocks interleave, and the hardware's prefetch loses
// each thread's streams (a solve with a stored factor took 1.3 times as
// long on two threads so with one right-hand side, 1.5 times with 16).
template <class T>
bool take_run(worker_state<T>& s, i32& cursor, index max_run, bool pairs, int group, block_run_taken& taken) {
    return timed(s.waits.cursor, s.waits.takes, [&] {
        counter_lock lock(s.counter_mutex);
        const index first = load(cursor);
        if (first > s.n) return false;
        const index left = (s.n - first) / s.sweep_stride + 1;
        index unit = 1;
        if (group > 1 && left >= group_groups_left * group)
            unit = group;
        else if (pairs && left >= pair_blocks_left)
            unit = 2;
        if (s.sweep_blocks == 0) s.sweep_blocks = left;
        const index run =
            std::clamp<index>(std::min(s.sweep_blocks / s.run_share, left / end_share), unit, max_run) / unit * unit;
        taken = {first, run};
        store(cursor, first + run * s.sweep_stride);
        return true;
    });
}

// The blocks of an elimination or back-substitution sweep, one hand at a
// time: from the run in hand (take_run, at most block_run blocks) a group
// of group whole blocks, else a pair of whole blocks (with pairs), else one
// block.
template <class T>
class block_taker {
public:
    block_taker(worker_state<T>& s, i32& cursor, bool pairs, int group)
        : s_(s), cursor_(cursor), pairs_(pairs), group_(group) {}

    bool operator()(blocks_in_hand& h) {
        if (left_ == 0) {
            block_run_taken run;
            if (!take_run(s_, cursor_, block_run, pairs_, group_, run)) return false;
            next_ = run.first;
            left_ = run.count;
        }
        const index stride = s_.sweep_stride;
        auto whole = [&](index count) {
            return left_ >= count && next_ + (count - 1) * stride + s_.block_rows - 1 <= s_.n;
        };
        h.first = next_;
        h.grouped = 0;
        h.paired = false;
        index taken = 1;
        if (group_ > 1 && whole(group_)) {
            h.grouped = group_;
            for (int b = 0; b < group_; ++b) h.group_firsts[b] = next_ + b * stride;
            taken = group_;
        } else if (pairs_ && whole(2)) {
            h.paired = true;
            h.first2 = next_ + stride;
            h.last2 = h.first2 + s_.block_rows - 1;
            taken = 2;
        }
        h.last = std::min(h.first + s_.block_rows - 1, s_.n);
        next_ += taken * stride;
        left_ -= taken;
        return true;
    }

private:
    worker_state<T>& s_;
    i32& cursor_;
    const bool pairs_;
    const int group_;
    // The rest of the run in hand: its next block and how many are left.
    index next_ = 0, left_ = 0;
};

// The team's barrier (team.hpp) at the end of a sweep: the thread released
// first applies update; every thread then switches to the other point.
template <class T, class Update>
void end_sweep(worker_state<T>& s, Update&& update) {
    timed(s.waits.barrier, s.waits.barriers, [&] {
        barrier(s.sync_pair, s.sync_index, s.num_threads, update);
        return 0;
    });
    s.sync_index = 3 - s.sync_index;
    // Past the first barrier the team's size no longer changes.
    s.run_share = runs_per_thread * s.num_threads;
    s.sweep_blocks = 0;
}

// A pivot failed in the sweep before the last barrier.
template <class T>
bool pivot_failed(worker_state<T>& s) {
    return load(s.fail_flags[0]) == -1;
}

// With a stored factor: asks for the rows of B, of the band and (with
// spikes) of the spike columns of the block from row first on, which this
// thread most likely takes next, while it works on the block before
// (always inlined, as fixed::prefetch_column_rows).
template <class T>
PCHOL_ALWAYS_INLINE void prefetch_block(const worker_state<T>& s, index first, bool spikes) {
    if (first > s.n) return;
    const index last = std::min(first + s.block_rows - 1, s.n);
    fixed::prefetch_column_rows(s.B, s.n, s.nrhs, first, last, true);
    const index band = (last - first + 1) * (s.hbw + 1);
    fixed::prefetch_column_rows(s.A + (first - 1) * (s.hbw + 1), band, 1, 1, band, false);
    if (spikes && first - s.neighbour_dist >= 1)
        fixed::prefetch_column_rows(s.spikes_of(first), s.n, s.hbw, first, last, false);
}

// The block one stride after first, with its spike columns.
template <class T>
PCHOL_ALWAYS_INLINE void prefetch_next_block(const worker_state<T>& s, index first) {
    prefetch_block(s, first + s.sweep_stride, true);
}

// After a pair whose second block starts at first2: both blocks of the
// pair most likely taken next.
template <class T>
PCHOL_ALWAYS_INLINE void prefetch_next_pair(const worker_state<T>& s, index first2) {
    prefetch_block(s, first2 + s.sweep_stride, true);
    prefetch_block(s, first2 + 2 * s.sweep_stride, true);
}

// ---- The sweeps -----------------------------------------------------------------

// The separator first..last takes the update of its head from its left
// neighbour, rows left_first..left_last: A's and B's head rows, the solved
// coupling kept in links, and with fill (the neighbour has a separator on
// its left) the coupling of the two separators.
template <class T>
void separator_head(worker_state<T>& s, index first, index last, index left_first, index left_last, bool fill) {
    T* const spikes = s.spikes_of(first);
    update_separator_head(s.A, s.hbw, first, left_last, spikes, s.B, s.n, s.nrhs);
    save_link_at(s.hbw, first, spikes, s.link_of(left_first, left_last), s.n);
    if (fill) form_fill_head(s.A, s.hbw, first, last, left_last, spikes, s.spikes_of(left_first), s.n);
}

// An elimination sweep: phase 1 (level_scale 1) eliminates the odd blocks,
// the sweep of level E the blocks at odd multiples of E. Each block is
// factored, its couplings are solved (the spike with the tail of the
// separator on its left, and the coupling of its tail with the head of the
// separator on its right, left in that separator's spikes rows), and its
// right-hand sides are forward-solved; with a stored factor only the last.
// A failed pivot, here or in another thread, ends the sweep for this thread.
template <class T>
void eliminate_blocks(worker_state<T>& s) {
    const bool odd_blocks = s.level_scale == 1;
    const index d = s.neighbour_dist;
    const index lf = s.level_first;
    T* const A = s.A;
    const index hbw = s.hbw;
    const index n = s.n;
    // The left coupling and its spike; with spike false the spike is left
    // to the caller.
    auto left_coupling = [&](index first, index last, bool spike) {
        if (first - d < lf) return;
        // In phase 1 both couplings come from the band; later the spike is the
        // fill that form_fill_head left in the head and the right coupling
        // the one coupling_solve finds in the separator's head. The spike's
        // rows below the head are zero to the spike solve, which writes
        // them all.
        if (odd_blocks) gather_left_coupling_head(A, hbw, first, last, s.spikes_of(first), n);
        if (spike && hbw > 0) spike_solve_from_head(A, hbw, first, last, s.spikes_of(first), n);
    };
    auto right_coupling = [&](index first, index last) {
        if (first + d > n) {
            if (odd_blocks) gather_right_coupling(A, hbw, first, last, n, s.spikes);
            return;
        }
        // The coupling goes to the right separator's head rows.
        const index head_end = std::min(first + d + hbw - 1, n);
        if (odd_blocks)
            gather_and_solve_right_coupling(A, hbw, first, last, first + d, head_end, s.spikes_of(first + d), n);
        else
            coupling_solve(A, hbw, last, first + d, head_end, s.spikes_of(first + d), n);
    };
    auto couplings = [&](index first, index last) {
        left_coupling(first, last, true);
        right_coupling(first, last);
    };
    // The separator on the block's left takes the block's update of its
    // tail rows (of A and B) here, while the block's spike is still in the
    // cache, rather than in the separator sweep that follows. Nothing else
    // touches those rows in between, and each of them receives this one
    // update, so the values are the same. With a stored factor only B's
    // rows are updated, from the spike the factorisation left, while the
    // block's forward-solved rows are in the cache.
    // With separators_in_elimination the separator on its right takes the
    // update of its head too.
    // kept: the block's spike rows as spike_solve_pair kept them, or null.
    auto update_separators_of = [&](index first, index last, const wide_of_t<T>* kept = nullptr) {
        const bool left = first - d >= lf;
        if (!s.tails_in_elimination) return;
        if (s.rhs_only) {
            if (left) {
                const index sep_last = first - d + s.block_rows - 1;
                // The columns in lanes took it in forward.
                by_lanes<T>(
                    s.rhs_lanes_on, s.nrhs, [](index, auto) {},
                    [&](index k, index count) {
                        separator_tail_rhs(hbw, sep_last, first, last, s.spikes_of(first), s.B + k * n, n, count);
                    });
            }
            if (s.separators_in_elimination && first + d <= n)
                by_lanes<T>(
                    s.rhs_lanes_on, s.nrhs,
                    [&](index k, auto lw) {
                        lanes::separator_head<T, lw>(hbw, first + d, last, s.link_of(first, last), s.B + k * n, n);
                    },
                    [&](index k, index count) {
                        separator_head_rhs(hbw, first + d, last, s.link_of(first, last), s.B + k * n, n, count);
                    });
            return;
        }
        if (left && kept)
            update_separator_tail_kept(A, hbw, first - d + s.block_rows - 1, first, last, s.spikes_of(first), kept,
                                       s.B, n, s.nrhs);
        else if (left)
            update_separator_tail(A, hbw, first - d + s.block_rows - 1, first, last, s.spikes_of(first), s.B, n,
                                  s.nrhs);
        if (s.separators_in_elimination && first + d <= n)
            separator_head(s, first + d, std::min(first + d + s.block_rows - 1, n), first, last, left);
    };
    auto failed = [&] { return load(s.fail_flags[s.sync_index - 1]) == -1; };
    // With the right-hand sides in lanes the forward substitution also
    // updates the tail of the separator on the block's left (ending at
    // the row it gives, 0 for none): the rows update_separators_of would.
    auto tail_last = [&](index first) -> index {
        return s.tails_in_elimination && first - d >= lf ? first - d + s.block_rows - 1 : 0;
    };
    auto forward = [&](index first, index last) {
        by_lanes<T>(
            s.rhs_lanes_on, s.nrhs,
            [&](index k, auto lw) {
                const index f[1] = {first}, l[1] = {last}, t[1] = {tail_last(first)};
                const T* const sp[1] = {s.spikes_of(first)};
                lanes::forward<T, lw>(A, hbw, f, l, t, sp, s.B + k * n, n);
            },
            [&](index k, index count) { rhs_forward_block(A, hbw, first, last, s.B + k * n, n, count); });
    };
    // Two blocks of the same length side by side, their right-hand sides in
    // lanes.
    auto forward_pair = [&](const blocks_in_hand& p) {
        by_lanes<T>(
            true, s.nrhs,
            [&](index k, auto lw) {
                const index f[2] = {p.first, p.first2}, l[2] = {p.last, p.last2};
                const index t[2] = {tail_last(p.first), tail_last(p.first2)};
                const T* const sp[2] = {s.spikes_of(p.first), s.spikes_of(p.first2)};
                lanes::forward<T, lw, 2>(A, hbw, f, l, t, sp, s.B + k * n, n);
            },
            [&](index k, index count) {
                rhs_forward_pair(A, hbw, p.first, p.last, p.first2, p.last2, s.B + k * n, n, count);
            });
    };
    // Four blocks side by side, their right-hand sides in lanes; the next
    // four are asked for meanwhile.
    auto forward_quad = [&](const blocks_in_hand& g) {
        index f[quad], l[quad], t[quad];
        const T* sp[quad];
        for (int b = 0; b < quad; ++b) {
            f[b] = g.group_firsts[b];
            l[b] = f[b] + s.block_rows - 1;
            t[b] = tail_last(f[b]);
            sp[b] = s.spikes_of(f[b]);
            prefetch_block(s, f[b] + quad * s.sweep_stride, true);
        }
        by_lanes<T>(
            true, s.nrhs, [&](index k, auto lw) { lanes::forward<T, lw, quad>(A, hbw, f, l, t, sp, s.B + k * n, n); },
            [&](index k, index count) {
                rhs_forward_pair(A, hbw, f[0], l[0], f[1], l[1], s.B + k * n, n, count);
                rhs_forward_pair(A, hbw, f[2], l[2], f[3], l[3], s.B + k * n, n, count);
            });
    };
    blocks_in_hand h;
    block_taker<T> take(s, s.next_row, true, s.sweep_group());
    while (take(h)) {
        if (h.grouped > 0 && s.rhs_lanes_on) {
            forward_quad(h);
            for (int b = 0; b < h.grouped; ++b)
                update_separators_of(h.group_firsts[b], h.group_firsts[b] + s.block_rows - 1);
            continue;
        }
        if (h.grouped > 0) {
            groups::group_tile<T> tile(hbw, h.group_firsts, h.grouped, s.block_rows);
            tile.pack(A);
            if (!s.rhs_only) {
                if (!tile.factor(s.tol)) {
                    groups::factor_each(A, hbw, h.group_firsts, h.grouped, s.block_rows, s.tol, s.fail_flags,
                                        s.sync_index);
                    break;
                }
                tile.unpack(A);
                if (failed()) break;
                tile.forward(s.B, n, s.nrhs);
                // The group's spikes two blocks side by side (only the
                // first block of a level has none), each pair's rows
                // kept for the Gram matrices of its left separators.
                // The couplings do not touch B, and each block's
                // updates of its separators follow its couplings as in
                // a block taken alone.
                const index rows = s.block_rows;
                if constexpr (!real_lanes<T>) {
                    // Without the real spike kernels (complex elements, or
                    // a build without vector extensions): the spikes of
                    // the whole group in the tile's lanes, from the factor
                    // still there, after every block's left coupling.
                    for (int b = 0; b < h.grouped; ++b)
                        left_coupling(h.group_firsts[b], h.group_firsts[b] + rows - 1, false);
                    T* lane_spikes[groups::group_lanes<T>] = {};
                    for (int b = 0; b < h.grouped; ++b) lane_spikes[b] = s.spikes_of(h.group_firsts[b]);
                    tile.spike_solve(lane_spikes, n, h.group_firsts[0] - d < lf ? 1 : 0);
                    for (int b = 0; b < h.grouped; ++b) {
                        right_coupling(h.group_firsts[b], h.group_firsts[b] + rows - 1);
                        update_separators_of(h.group_firsts[b], h.group_firsts[b] + rows - 1);
                    }
                    continue;
                }
                wide_of_t<T> kept[2][real_lanes<T> ? kept_room : 1];
                const bool keep = rows * hbw <= kept_room;
                auto alone = [&](index f) {
                    couplings(f, f + rows - 1);
                    update_separators_of(f, f + rows - 1);
                };
                int b = 0;
                if (h.group_firsts[0] - d < lf) alone(h.group_firsts[b++]);
                for (; b + 1 < h.grouped; b += 2) {
                    const index f1 = h.group_firsts[b], f2 = h.group_firsts[b + 1];
                    left_coupling(f1, f1 + rows - 1, false);
                    left_coupling(f2, f2 + rows - 1, false);
                    const bool pair_kept =
                        spike_solve_pair(A, hbw, f1, f1 + rows - 1, f2, f2 + rows - 1, s.spikes_of(f1),
                                         s.spikes_of(f2), n, keep ? kept[0] : nullptr, keep ? kept[1] : nullptr);
                    right_coupling(f1, f1 + rows - 1);
                    right_coupling(f2, f2 + rows - 1);
                    update_separators_of(f1, f1 + rows - 1, pair_kept ? kept[0] : nullptr);
                    update_separators_of(f2, f2 + rows - 1, pair_kept ? kept[1] : nullptr);
                }
                for (; b < h.grouped; ++b) alone(h.group_firsts[b]);
                continue;
            }
            for (int b = 0; b < h.grouped; ++b) prefetch_block(s, h.group_firsts[b] + h.grouped * s.sweep_stride, false);
            tile.forward(s.B, n, s.nrhs);
            for (int b = 0; b < h.grouped; ++b)
                update_separators_of(h.group_firsts[b], h.group_firsts[b] + s.block_rows - 1);
            continue;
        }
        if (h.paired) {
            if (!s.rhs_only) {
                band_factor_pair(A, hbw, h.first, h.last, h.first2, h.last2, s.tol, s.fail_flags, s.sync_index);
                if (failed()) break;
                couplings(h.first, h.last);
                couplings(h.first2, h.last2);
            }
            if (s.rhs_lanes_on) {
                prefetch_next_pair(s, h.first2);
                if (pair_in_lanes(h)) {
                    forward_pair(h);
                } else {
                    forward(h.first, h.last);
                    forward(h.first2, h.last2);
                }
            } else if (s.nrhs > 0) {
                rhs_forward_pair(A, hbw, h.first, h.last, h.first2, h.last2, s.B, n, s.nrhs);
            }
            update_separators_of(h.first, h.last);
            update_separators_of(h.first2, h.last2);
            continue;
        }
        if (!s.rhs_only) {
            band_factor_block(A, hbw, h.first, h.last, s.tol, s.fail_flags, s.sync_index);
            if (failed()) break;
            couplings(h.first, h.last);
        }
        if (s.rhs_lanes_on) prefetch_next_block(s, h.first);
        forward(h.first, h.last);
        update_separators_of(h.first, h.last);
    }
}

// A separator sweep of level E = level_scale: the separators (blocks at
// multiples of E) take the updates of their neighbours at E/2 blocks, which
// the sweep before eliminated. The solved coupling of a separator's head is
// kept in links for the back substitution, and when the left neighbour has a
// separator on its left, the fill couples this separator with that one. With
// a stored factor only B is updated, from the spikes and links it left.
template <class T>
void update_separators(worker_state<T>& s) {
    const index d = s.neighbour_dist;
    const index lf = s.level_first;
    const index hbw = s.hbw;
    const index n = s.n;
    if (s.separators_in_elimination) return;
    auto update = [&](index first, index last) {
        if (!s.tails_in_elimination && first + d <= n) {
            // The right neighbour, rows right_first..right_last (a stored
            // factor with right-hand sides one by one).
            const index right_first = first + d;
            const index right_last = std::min(right_first + s.block_rows - 1, n);
            separator_tail_rhs(hbw, last, right_first, right_last, s.spikes_of(right_first), s.B, n, s.nrhs);
        }
        if (first - d >= lf) {
            const index left_last = first - d + s.block_rows - 1;
            if (s.rhs_only)
                separator_head_rhs(hbw, first, left_last, s.link_of(first - d, left_last), s.B, n, s.nrhs);
            else
                separator_head(s, first, last, first - d, left_last, first - d > lf);
        }
    };
    // With a stored factor a separator's update is a few short passes, and
    // taking them one at a time would spend more on the counter mutex than
    // on the updates (two threads then mostly wait for each other there):
    // they go in runs of whole groups of separator_group while many are left.
    // Separators of one sweep update disjoint rows from rows no one writes in
    // the sweep, so who takes which changes no value.
    block_run_taken run;
    while (take_run(s, s.next_row, separator_run, false, separator_group, run))
        for (index b = 0; b < run.count; ++b) {
            const index first = run.first + b * s.sweep_stride;
            update(first, std::min(first + s.block_rows - 1, n));
        }
}

// A back-substitution sweep: the blocks of one level, whose separators on
// both sides were solved in the sweeps before, lose the left separator's
// tail through their spike and the right separator's head through the kept
// links, and are solved with their factor.
template <class T>
void back_substitute(worker_state<T>& s) {
    const index d = s.neighbour_dist;
    const index n = s.n;
    auto task = [&](index first, index last) {
        const index left_last = first - d > 0 ? first - d + s.block_rows - 1 : 0;
        const index r1 = first + d <= n ? first + d : 0;
        const index r2 = first + d <= n ? std::min(first + d + s.block_rows - 1, n) : 0;
        return back_task{first, last, left_last, r1, r2, s.spike_shift(first), s.link_shift(first, last)};
    };
    blocks_in_hand h;
    block_taker<T> take(s, s.back_row, true, s.sweep_group());
    while (take(h)) {
        if (h.grouped > 0 && s.rhs_lanes_on) {
            // A quad with its right-hand sides in lanes.
            back_task quad_tasks[quad];
            for (int b = 0; b < quad; ++b) {
                const index f = h.group_firsts[b];
                quad_tasks[b] = task(f, f + s.block_rows - 1);
                prefetch_block(s, f + quad * s.sweep_stride, true);
            }
            by_lanes<T>(
                true, s.nrhs,
                [&](index k, auto lw) {
                    lanes::back_substitute<T, lw, quad>(s.A, s.hbw, quad_tasks, s.spikes, s.links, s.B + k * n, n);
                },
                [&](index k, index count) {
                    back_substitute_pair(s.A, s.hbw, quad_tasks[0], quad_tasks[1], s.spikes, s.links, s.B + k * n,
                                         n, count);
                    back_substitute_pair(s.A, s.hbw, quad_tasks[2], quad_tasks[3], s.spikes, s.links, s.B + k * n,
                                         n, count);
                });
            continue;
        }
        if (h.grouped > 0) {
            back_task tasks[8];
            for (int b = 0; b < h.grouped; ++b)
                tasks[b] = task(h.group_firsts[b], h.group_firsts[b] + s.block_rows - 1);
            back_substitute_group(s.A, s.hbw, tasks, h.grouped, s.block_rows, s.spikes, s.links, s.B, n,
                                  s.nrhs);
            continue;
        }
        const back_task p = task(h.first, h.last);
        // One block with its right-hand sides in lanes, the rest one by one.
        auto in_lanes = [&](const back_task& q) {
            by_lanes<T>(
                true, s.nrhs,
                [&](index k, auto lw) {
                    const back_task one[1] = {q};
                    lanes::back_substitute<T, lw>(s.A, s.hbw, one, s.spikes, s.links, s.B + k * n, n);
                },
                [&](index k, index count) {
                    back_substitute_block(s.A, s.hbw, q.first, q.last, q.left_last, q.spikes_of(s.spikes), s.links,
                                          q.r1, q.r2, s.B + k * n, n, count, q.link_shift);
                });
        };
        if (h.paired && s.rhs_lanes_on) {
            prefetch_next_pair(s, h.first2);
            const back_task pair[2] = {p, task(h.first2, h.last2)};
            if (!pair_in_lanes(h)) {
                in_lanes(pair[0]);
                in_lanes(pair[1]);
                continue;
            }
            by_lanes<T>(
                true, s.nrhs,
                [&](index k, auto lw) {
                    lanes::back_substitute<T, lw, 2>(s.A, s.hbw, pair, s.spikes, s.links, s.B + k * n, n);
                },
                [&](index k, index count) {
                    back_substitute_pair(s.A, s.hbw, pair[0], pair[1], s.spikes, s.links, s.B + k * n, n, count);
                });
            continue;
        }
        if (h.paired) {
            back_substitute_pair(s.A, s.hbw, p, task(h.first2, h.last2), s.spikes, s.links, s.B, n, s.nrhs);
            continue;
        }
        if (s.rhs_lanes_on) {
            prefetch_next_block(s, h.first);
            in_lanes(p);
            continue;
        }
        if (s.nrhs > 0)
            back_substitute_block(s.A, s.hbw, p.first, p.last, p.left_last, p.spikes_of(s.spikes), s.links, p.r1,
                                  p.r2, s.B, n, s.nrhs, p.link_shift);
    }
}

// ---- The barriers' counter updates ------------------------------------------------
// Each runs in the thread released first, while the others wait.

// Barrier P, after phase 1: the separator sweep of level 2 starts at block 2.
template <class T>
void after_odd_blocks(worker_state<T>& s) {
    store(s.next_row, (2 * index{s.level_scale} - 1) * s.block_rows + 1);
    s.level_scale = 2 * s.level_scale;
}

// Barrier S, after a separator sweep: the elimination sweep takes every other
// separator, from block E on, with the neighbours twice as far.
template <class T>
void after_separators(worker_state<T>& s) {
    const index lf = (index{s.level_scale} - 1) * s.block_rows + 1;
    s.level_first = static_cast<i32>(lf);
    store(s.next_row, lf);
    s.sweep_stride = 2 * s.sweep_stride;
    s.neighbour_dist = 2 * s.neighbour_dist;
}

// Barrier E, after an elimination sweep: the next level starts at block 2E;
// when that does not exist, block E was the top block and the back
// substitution starts there.
template <class T>
void after_elimination(worker_state<T>& s) {
    const index next = (2 * index{s.level_scale} - 1) * s.block_rows + 1;
    store(s.next_row, next);
    if (next > s.n)
        store(s.back_row, (index{s.level_scale} - 1) * s.block_rows + 1);
    else
        s.level_scale = 2 * s.level_scale;
}

// Barrier K, after a back-substitution sweep: one level down; after the odd
// blocks level_scale is 0.
template <class T>
void after_back_substitution(worker_state<T>& s) {
    s.level_scale = s.level_scale / 2;
    s.sweep_stride = s.sweep_stride / 2;
    s.neighbour_dist = s.neighbour_dist / 2;
    store(s.back_row, (index{s.level_scale} - 1) * s.block_rows + 1);
}

// The schedule every worker runs, with or without the factorisation; with
// level_by_level the spikes and links go in WORK in the order of
// level_order.hpp (pchol_factorK and its solves) instead of each block's in
// its own rows (pchol_solveK).
template <class T>
void worker_schedule(bool rhs_only, bool level_by_level, PCHOL_WORKER_PARAMETERS(T)) {
    i32 flush = 1;
    get_subnormal_flush(flush);
    const float_mode_scope mode(flush != 0);
    worker_state<T> s{.A = A,
                      .B = B,
                      .links = links,
                      .spikes = spikes,
                      .n = n,
                      .hbw = hbw,
                      .nrhs = nrhs,
                      .block_rows = block_rows,
                      .tol = tol,
                      .rhs_only = rhs_only,
                      .counter_mutex = counter_mutex,
                      .sync_pair = sync_pair,
                      .num_threads = num_threads,
                      .level_scale = level_scale,
                      .neighbour_dist = neighbour_dist,
                      .sweep_stride = sweep_stride,
                      .level_first = level_first,
                      .next_row = next_row,
                      .back_row = back_row,
                      .fail_flags = fail_flags};
    const level_order order(n, hbw, block_rows);
    if (level_by_level && order.applies()) s.order = &order;

    // Phase 1: the odd blocks.
    eliminate_blocks(s);
    end_sweep(s, [&] { after_odd_blocks(s); });
    if (pivot_failed(s)) return;

    // The reduction: per level, a separator sweep and an elimination sweep,
    // until the top block is eliminated.
    do {
        update_separators(s);
        end_sweep(s, [&] { after_separators(s); });
        eliminate_blocks(s);
        end_sweep(s, [&] { after_elimination(s); });
        if (pivot_failed(s)) return;
    } while (load(back_row) == 0);

    // The back substitution, one level per sweep from the top block down.
    do {
        back_substitute(s);
        end_sweep(s, [&] { after_back_substitution(s); });
    } while (level_scale >= 1);
}

}  // namespace

template <class T>
void parallel_worker(PCHOL_WORKER_PARAMETERS(T)) {
    worker_schedule<T>(false, false, PCHOL_WORKER_ARGUMENTS);
}

template <class T>
void factor_worker(PCHOL_WORKER_PARAMETERS(T)) {
    worker_schedule<T>(false, true, PCHOL_WORKER_ARGUMENTS);
}

template <class T>
void factored_solve_worker(PCHOL_WORKER_PARAMETERS(T)) {
    worker_schedule<T>(true, true, PCHOL_WORKER_ARGUMENTS);
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
    index peak = 0;
    auto see = [&](index v) { peak = std::max(peak, v); };
    // A sweep leaves its cursor one stride past the last block it handed out
    // (or where it was, when it hands out none).
    auto sweep = [&](index start, index stride) {
        see(start <= n ? start + ((n - start) / stride + 1) * stride : start);
    };
    index level = 1;
    index stride = 2 * block_rows;
    see(stride);
    sweep(1, stride);
    index next = block_rows + 1;
    see(next);
    level = 2;
    for (;;) {
        sweep(next, stride);
        next = (level - 1) * block_rows + 1;
        stride *= 2;
        see(next);
        see(stride);
        sweep(next, stride);
        next = (2 * level - 1) * block_rows + 1;
        see(next);
        if (next > n) break;
        level *= 2;
    }
    for (; level >= 1; level /= 2, stride /= 2) sweep((level - 1) * block_rows + 1, stride);
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

    // Phase 1 hands out the odd blocks.
    const index blocks = (index{n} + rows - 1) / rows;
    const i32 threads = team_size(n, hbw, (blocks + 1) / 2);
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

    run_team(
        shared, threads, num_threads, fail_flags, info,
        [&](i32& id) { thr_start19(id, worker, PCHOL_WORKER_ARGUMENTS); }, [&] { worker(PCHOL_WORKER_ARGUMENTS); });
}

template <class T>
void parallel_factor(T* A, const i32& n, const i32& hbw, T* WORK, i32& info, void (&tune)()) {
    // The solve without right-hand sides, its spikes and links going level
    // by level: the order in which the factored solves read them.
    const i32 no_rhs = 0;
    parallel_solve<T>(A, n, hbw, nullptr, no_rhs, WORK, info, tune, factor_worker<T>);
}

template <class T>
void parallel_factored_solve(const T* A, const i32& n, const i32& hbw, T* B, const i32& nrhs, const T* WORK,
                             i32& info, void (&tune)()) {
    // The workers' arguments are those of the solve that factors; with
    // rhs_only they only read A and WORK.
    parallel_solve<T>(const_cast<T*>(A), n, hbw, B, nrhs, const_cast<T*>(WORK), info, tune,
                      factored_solve_worker<T>);
}

PCHOL_FOR_EACH_ELEMENT_TYPE(PCHOL_PARALLEL_SOLVER_TEMPLATES, )

}  // namespace pchol::detail

// How a stored factor keeps its couplings in WORK: level by level.
//
// pchol_solveK keeps a block's spike in the block's own rows of the spike
// columns and the solved coupling of its right separator's head (its link)
// in the links rows just after the block, so that a sweep of level L, which
// takes every 2^(L+1)-th block, finds them with gaps of 2^(L+1) - 1 blocks
// between. A solve with a stored factor reads little else, and reads with
// such gaps run at a fraction of the speed of a stream. So pchol_factorK
// keeps them in the order in which the sweeps read them:
//
//   - the spikes: block b's rows of every spike column go to slot s(b) of
//     block_rows rows, the slots of level 0 first (blocks 1, 3, 5, ...), then
//     those of level 1 (2, 6, 10, ...) and so on, each level in the order of
//     its blocks; a shorter last block keeps its own rows at the end;
//   - the links: block b's hbw x hbw link goes to slot s(b) of hbw * hbw
//     elements at the start of the links area, one after the other.
//
// Every step of the factorisation finds a block's rows through the block's
// slot, so the values are those pchol_solveK computes, only elsewhere in
// WORK; the links take the first slots * hbw * hbw elements of the links
// area and the rest of it is left alone.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>

namespace pchol::detail {

class level_order {
  public:
    using index = std::int64_t;

    // n rows of half bandwidth hbw in blocks of block_rows rows (more than
    // hbw, as the solver makes them).
    level_order(index n, index hbw, index block_rows) : hbw_(hbw), br_(block_rows) {
        blocks_ = n > 0 && block_rows > 0 ? (n + block_rows - 1) / block_rows : 0;
        ordered_ = blocks_ > 0 && n % block_rows != 0 ? blocks_ - 1 : blocks_;
        // Level L holds the blocks (2m + 1) 2^L up to ordered_.
        index at = 0;
        int level = 0;
        for (; level < max_levels && (index{1} << level) <= ordered_; ++level) {
            first_slot_[level] = at;
            at += ((ordered_ >> level) + 1) >> 1;
        }
        for (; level <= max_levels; ++level) first_slot_[level] = at;
        assert(at == ordered_);
    }

    index blocks() const { return blocks_; }
    index block_rows() const { return br_; }
    index hbw() const { return hbw_; }

    // The slot (from 0) of block b (from 1), and the block in a slot.
    index slot(index b) const {
        if (b > ordered_) return b - 1;
        const int level = trailing_zeros(b);
        return first_slot_[level] + (b >> (level + 1));
    }
    index block_in(index s) const {
        if (s >= ordered_) return s + 1;
        int level = 0;
        while (first_slot_[level + 1] <= s) ++level;
        return (2 * (s - first_slot_[level]) + 1) << level;
    }

    // For the block whose first row is `first`: what to add to the spike
    // columns' start so that its rows are found by their row numbers
    // (the start so moved stays inside WORK), and where its link starts in
    // the links area.
    index spike_shift(index first) const {
        const index b = (first - 1) / br_ + 1;
        return (slot(b) - (b - 1)) * br_;
    }
    index link_start(index first) const { return slot((first - 1) / br_ + 1) * hbw_ * hbw_; }

    // Whether the order keeps anything elsewhere than pchol_solveK: two
    // blocks or more, and spikes.
    bool applies() const { return blocks_ > 1 && hbw_ > 0; }

  private:
    static constexpr int max_levels = 62;
    static int trailing_zeros(index b) {
        int z = 0;
        while ((b & 1) == 0) {
            b >>= 1;
            ++z;
        }
        return z;
    }

    index hbw_, br_;
    index blocks_ = 0;
    index ordered_ = 0;  // the blocks that take level slots: all but a shorter last one
    index first_slot_[max_levels + 1] = {};  // level L's first slot; past the top level, ordered_
};

}  // namespace pchol::detail

// Definitions of the block kernels and coupling steps declared in
// pchol/band_kernels.hpp: for each one, the line that chooses which variant
// runs. Every variant stores the values of the reference loops bit for bit:
// a value receives the same operations, on the same operands, in the same
// order; what changes is which independent values are worked on side by
// side, and that loop lengths are known to the compiler. The fast variants
// exist for the half bandwidths 4 and 8 (the benchmark's is 8):
//
//   kernel                 hbw 4 or 8                                 other hbw
//   band_factor_block      fixed::band_factor_block (scalar rows)     reference
//   band_factor_pair       two fixed::band_factorisation side by      reference, twice
//                          side (real elements: vector lanes)
//   spike_solve            real: fixed::spike_solve_lanes,            reference
//                          complex: fixed::spike_solve_window;
//                          reference for blocks of at most hbw rows
//   rhs_forward_block      fixed::rhs_forward_column per column;      reference
//                          reference for blocks of at most hbw rows
//   rhs_forward_pair       two fixed::forward_substitution side by    reference, twice
//                          side
//   rhs_backward_block     fixed::back_substitute_column per column   reference
//                          (without couplings)
//   update_separator_tail  real: fixed::update_separator_tail_lanes,  reference
//                          complex: fixed::update_separator_tail_complex
//                          (..._complex_wide for W = 8 where a register
//                          holds 8 doubles; fixed::update_separator_tail
//                          without vector extensions)
//   update_separator_head  real, full head:                           reference
//                          fixed::update_separator_head_lanes;
//                          complex, full head, W parts in a register:
//                          fixed::update_separator_head_complex;
//                          else fixed::update_separator_head
//   form_fill              real, full head: fixed::form_fill_lanes;   reference
//                          complex: fixed::form_fill_complex;
//                          else fixed::form_fill
//   apply_left_spike       fixed::apply_left_spike_column per column  reference
//   back substitution of   fixed::back_substitution per column (the   reference apply_left_spike,
//   a block (or a pair)    three steps fused row by row; pairs side   apply_link,
//                          by side)                                   rhs_backward_block
//   back substitution of   apply_left_spike and apply_link per        the same, the solves in
//   a group of blocks      block, the solves in lanes (lane_groups)   lanes (runtime width)
//   coupling_solve         on hbw head rows: real                     reference
//                          fixed::coupling_solve_lanes, complex
//                          fixed::coupling_solve_complex
//   save_link              real, full head: a transpose               reference
//   apply_link             complex: fixed::apply_link_complex         reference
//   the gathers: the reference loops for every half bandwidth (they
//   already run over consecutive memory).
//
// Files: kernels/reference.hpp (the reference loops), kernels/fixed_*.hpp
// (the fixed-width variants by family), kernels/compiler.hpp (unrolling and
// vector extensions).
#pragma once

#include "element_traits.hpp"
#include "kernels/fixed_backward.hpp"
#include "kernels/fixed_complex.hpp"
#include "kernels/fixed_factor.hpp"
#include "kernels/fixed_forward.hpp"
#include "kernels/fixed_separator.hpp"
#include "kernels/lane_groups.hpp"
#include "kernels/reference.hpp"
#include "pchol/band_kernels.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace pchol::detail {

// fast(W), W the half bandwidth as a std::integral_constant, for the half
// bandwidths with fixed-width variants; reference() for every other.
template <class Fast, class Reference>
inline void by_width(index hbw, Fast&& fast, Reference&& reference) {
    switch (hbw) {
        case 4:
            fast(std::integral_constant<int, 4>{});
            return;
        case 8:
            fast(std::integral_constant<int, 8>{});
            return;
        default:
            reference();
    }
}

// f(b) for each of the nrhs columns b of an n-row column-major array B.
template <class T, class F>
inline void each_column(T* B, index n, index nrhs, F&& f) {
    for (index k = 0; k < nrhs; ++k) f(B + k * n);
}

// Real elements go through vector lanes where the compiler has them.
template <class T>
inline constexpr bool real_lanes = fixed::vector_lanes && std::is_floating_point_v<T>;

// Runs the row chains of two independent blocks side by side, one step of
// each in turn, then the rest of the longer one. A stepper has done() and
// step(); each block's values are those of the stepper run alone.
template <class Stepper>
void side_by_side(Stepper& x, Stepper& y) {
    while (!x.done() && !y.done()) {
        x.step();
        y.step();
    }
    while (!x.done()) x.step();
    while (!y.done()) y.step();
}

// coupling_solve, and at the first level with column q only over the rows
// the band reaches (band_limited).
template <class T>
void coupling_solve_rows(const T* A, index hbw, index last, index r1, index r2, T* spikes, index n,
                         bool band_limited) {
    if constexpr (real_lanes<T>) {
        if (r2 - r1 + 1 == hbw && (hbw == 4 || hbw == 8))
            return by_width(
                hbw, [&](auto W) { fixed::coupling_solve_lanes<T, W>(A, last, r1, spikes, n, band_limited); },
                [] {});
    }
#if PCHOL_VECTOR_LANES
    if constexpr (!std::is_floating_point_v<T>) {
        if (r2 - r1 + 1 == hbw && (hbw == 4 || hbw == 8))
            return by_width(
                hbw, [&](auto W) { fixed::coupling_solve_complex<T, W>(A, last, r1, spikes, n, band_limited); },
                [] {});
    }
#endif
    reference::coupling_solve(A, hbw, last, r1, r2, spikes, n, band_limited);
}

// gather_right_coupling of the block first..last, then coupling_solve_rows
// on the separator's head rows r1..r2 band-limited, as phase 1 runs them:
// with a full head right after a block longer than hbw, the coupling goes
// from the band to registers and is stored once, solved.
template <class T>
void gather_and_solve_right_coupling(const T* A, index hbw, index first, index last, index r1, index r2, T* spikes,
                                     index n) {
    if constexpr (real_lanes<T>) {
        if ((hbw == 4 || hbw == 8) && r1 == last + 1 && r2 - r1 + 1 == hbw && last - first + 1 > hbw)
            return by_width(
                hbw, [&](auto W) { fixed::coupling_solve_lanes<T, W, true>(A, last, r1, spikes, n, true); }, [] {});
    }
    reference::gather_right_coupling(A, hbw, first, last, n, spikes);
    coupling_solve_rows(A, hbw, last, r1, r2, spikes, n, true);
}

// save_link with the left neighbour's link at `link` (links + left_last *
// hbw where the solve that factors keeps it).
template <class T>
void save_link_at(index hbw, index first, const T* spikes, T* link, index n) {
    // Real elements with a full head: the head rows of the W spike columns
    // are the link's rows, W at a time through a transpose.
    if constexpr (real_lanes<T>) {
        if ((hbw == 4 || hbw == 8) && n - first + 1 >= hbw)
            return by_width(
                hbw,
                [&](auto W) {
                    constexpr int C = std::min<int>(W, fixed::transpose_columns<T>);
                    for (int h = 0; h < W; h += C) {
                        fixed::column_rows_in<T, C> rows(spikes + h * n, n, first - 1, first - 1 + W);
                        for (index r = 0; r < W; ++r) fixed::lanes<T, C>::store(link + r * W + h, rows.next());
                    }
                },
                [] {});
    }
    reference::save_link_at(hbw, first, spikes, link, n);
}

// form_fill with the left neighbour's spike rows found in `left` by their row
// numbers (spikes itself where the solve that factors keeps them).
template <class T>
void form_fill_at(T* A, index hbw, index first, index last, index left_last, T* spikes, const T* left, index n) {
    by_width(
        hbw,
        [&](auto W) {
            if constexpr (real_lanes<T>)
                if (n - first + 1 >= W) return fixed::form_fill_lanes<T, W>(A, first, last, left_last, spikes, left, n);
#if PCHOL_VECTOR_LANES
            if constexpr (!std::is_floating_point_v<T>)
                return fixed::form_fill_complex<T, W>(A, first, last, left_last, spikes, left, n);
#endif
            fixed::form_fill<T, W>(A, first, last, left_last, spikes, left, n);
        },
        [&] { reference::form_fill(A, hbw, first, last, left_last, spikes, left, n); });
}

// apply_link on one column b.
template <class T>
void apply_link_column(index hbw, index last, index r1, index r2, const T* link, T* b, index n) {
#if PCHOL_VECTOR_LANES
    if constexpr (!std::is_floating_point_v<T>)
        if (hbw == 4 || hbw == 8)
            return by_width(
                hbw, [&](auto W) { fixed::apply_link_complex<T, W>(last, r1, r2, link, b, n); }, [] {});
#endif
    reference::apply_link_at(hbw, last, r1, r2, link, b, n, 1);
}

}  // namespace pchol::detail

namespace pchol {

template <class T>
void band_factor_block(T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                       const real_of_t<T>& tol, std::int32_t* fail_flags, const std::int32_t& slot) {
    detail::by_width(
        hbw, [&](auto W) { detail::fixed::band_factor_block<T, W>(A, first, last, tol, fail_flags + (slot - 1)); },
        [&] { detail::reference::band_factor_block(A, hbw, first, last, tol, fail_flags, slot); });
}

template <class T>
void spike_solve(const T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                 T* spikes, const std::int32_t& n) {
    // Blocks of at most hbw rows are too short for the fixed-width window.
    if (last - first < hbw) return detail::reference::spike_solve(A, hbw, first, last, spikes, n);
    detail::by_width(
        hbw,
        [&](auto W) {
            if constexpr (detail::real_lanes<T>)
                detail::fixed::spike_solve_lanes<T, W>(A, first, last, spikes, n, last - first + 1);
            else detail::fixed::spike_solve_window<T, W>(A, first, last, spikes, n);
        },
        [&] { detail::reference::spike_solve(A, hbw, first, last, spikes, n); });
}

template <class T>
void coupling_solve(const T* A, const std::int32_t& hbw, const std::int32_t& last, const std::int32_t& r1,
                    const std::int32_t& r2, T* spikes, const std::int32_t& n) {
    detail::coupling_solve_rows(A, hbw, last, r1, r2, spikes, n, false);
}

template <class T>
void rhs_forward_block(const T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                       T* B, const std::int32_t& n, const std::int32_t& nrhs) {
    // Blocks of at most hbw rows are too short for the fixed-width window.
    if (last - first < hbw) return detail::reference::rhs_forward_block(A, hbw, first, last, B, n, nrhs);
    detail::by_width(
        hbw,
        [&](auto W) {
            detail::each_column(B, n, nrhs, [&](T* b) { detail::fixed::rhs_forward_column<T, W>(A, first, last, b); });
        },
        [&] { detail::reference::rhs_forward_block(A, hbw, first, last, B, n, nrhs); });
}

template <class T>
void rhs_backward_block(const T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                        T* B, const std::int32_t& n, const std::int32_t& nrhs) {
    detail::by_width(
        hbw,
        [&](auto W) {
            detail::each_column(B, n, nrhs, [&](T* b) {
                detail::fixed::back_substitute_column<T, W>(A, first, last, 0, nullptr, nullptr, 0, 0, b, n);
            });
        },
        [&] { detail::reference::rhs_backward_block(A, hbw, first, last, B, n, nrhs); });
}

template <class T>
void gather_left_coupling(const T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                          T* spikes, const std::int32_t& n) {
    detail::reference::gather_left_coupling(A, hbw, first, last, spikes, n);
}

template <class T>
void gather_right_coupling(const T* A, const std::int32_t& hbw, const std::int32_t& first,
                           const std::int32_t& last, const std::int32_t& n, T* spikes) {
    detail::reference::gather_right_coupling(A, hbw, first, last, n, spikes);
}

template <class T>
void update_separator_tail(T* A, const std::int32_t& hbw, const std::int32_t& last, const std::int32_t& r1,
                           const std::int32_t& r2, const T* spikes, T* B, const std::int32_t& n,
                           const std::int32_t& nrhs) {
    detail::by_width(
        hbw,
        [&](auto W) {
            if constexpr (detail::real_lanes<T>)
                detail::fixed::update_separator_tail_lanes<T, W>(A, last, r1, r2, spikes, B, n, nrhs);
#if PCHOL_VECTOR_LANES
            else if constexpr (W == 8 && detail::fixed::register_wide_lanes == 8)
                detail::fixed::update_separator_tail_complex_wide<T>(A, last, r1, r2, spikes, B, n, nrhs);
#endif
            else if constexpr (detail::fixed::vector_lanes)
                detail::fixed::update_separator_tail_complex<T, W>(A, last, r1, r2, spikes, B, n, nrhs);
            else detail::fixed::update_separator_tail<T, W>(A, last, r1, r2, spikes, B, n, nrhs);
        },
        [&] { detail::reference::update_separator_tail(A, hbw, last, r1, r2, spikes, B, n, nrhs); });
}

template <class T>
void update_separator_head(T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& left_last,
                           const T* spikes, T* B, const std::int32_t& n, const std::int32_t& nrhs) {
    detail::by_width(
        hbw,
        [&](auto W) {
            if constexpr (detail::real_lanes<T>) {
                if (n - first + 1 >= W)
                    return detail::fixed::update_separator_head_lanes<T, W>(A, first, left_last, spikes, B, n, nrhs);
            } else if constexpr (detail::fixed::vector_lanes &&
                                 W <= detail::fixed::register_elements<real_of_t<T>>) {
                // (W parts in one register: 8 complex doubles on AVX2 ran
                // slower than the scalar loop.)
                if (n - first + 1 >= W)
                    return detail::fixed::update_separator_head_complex<T, W>(A, first, left_last, spikes, B, n,
                                                                              nrhs);
            }
            detail::fixed::update_separator_head<T, W>(A, first, left_last, spikes, B, n, nrhs);
        },
        [&] { detail::reference::update_separator_head(A, hbw, first, left_last, spikes, B, n, nrhs); });
}

template <class T>
void save_link(const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& left_last, const T* spikes,
               T* links, const std::int32_t& n) {
    detail::save_link_at(hbw, first, spikes, links + detail::index{left_last} * hbw, n);
}

template <class T>
void form_fill(T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
               const std::int32_t& left_last, T* spikes, const std::int32_t& n) {
    detail::form_fill_at(A, hbw, first, last, left_last, spikes, spikes, n);
}

template <class T>
void apply_left_spike(const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                      const std::int32_t& left_last, const T* spikes, T* B, const std::int32_t& n,
                      const std::int32_t& nrhs) {
    detail::by_width(
        hbw,
        [&](auto W) {
            detail::each_column(B, n, nrhs, [&](T* b) {
                detail::fixed::apply_left_spike_column<T, W>(first, last, left_last, spikes, b, n);
            });
        },
        [&] { detail::reference::apply_left_spike(hbw, first, last, left_last, spikes, B, n, nrhs); });
}

template <class T>
void apply_link(const std::int32_t& hbw, const std::int32_t& last, const std::int32_t& r1, const std::int32_t& r2,
                const T* links, T* B, const std::int32_t& n, const std::int32_t& nrhs) {
    detail::each_column(B, n, nrhs, [&](T* b) {
        detail::apply_link_column(hbw, last, r1, r2, links + detail::index{last} * hbw, b, n);
    });
}

}  // namespace pchol

namespace pchol::detail {

// The steps the worker runs in forms of its own: with 64-bit rows, on two
// independent blocks of one sweep at once, or fused.

// The number of head rows of the right separator r1..r2 (r1 = 0: none) that
// apply_link uses for the block ending at last.
inline index link_rows(index hbw, index last, index r1, index r2, index n) {
    return r1 > 0 ? std::min(std::min(r2 - r1 + 1, hbw), n - last) : 0;
}

// The back substitution of the block first..last: apply_left_spike when
// left_last > 0 (the tail of the left separator ends there), apply_link when
// r1 > 0 (the right separator is r1..r2), then rhs_backward_block. The
// block's link starts at links + last * hbw + link_shift (a stored factor
// keeps it elsewhere: level_order.hpp).
template <class T>
void back_substitute_block(const T* A, index hbw, index first, index last, index left_last, const T* spikes,
                           const T* links, index r1, index r2, T* B, index n, index nrhs, index link_shift = 0) {
    if (nrhs < 1) return;
    const T* const link = links + (last * hbw + link_shift);
    by_width(
        hbw,
        [&](auto W) {
            const index head_rows = link_rows(hbw, last, r1, r2, n);
            each_column(B, n, nrhs, [&](T* b) {
                fixed::back_substitute_column<T, W>(A, first, last, left_last, spikes, link, r1, head_rows, b, n);
            });
        },
        [&] {
            if (left_last > 0) reference::apply_left_spike(hbw, first, last, left_last, spikes, B, n, nrhs);
            if (r1 > 0) reference::apply_link_at(hbw, last, r1, r2, link, B, n, nrhs);
            reference::rhs_backward_block(A, hbw, first, last, B, n, nrhs);
        });
}

// One block's back substitution as the worker hands it out: rows first..last,
// the left separator's tail ending at left_last (0: none), the right
// separator r1..r2 (r1 = 0: none). A solve with a stored factor finds the
// block's spike rows at spikes + spike_shift and its link at links + last *
// hbw + link_shift (level_order.hpp); the solve that factors at 0 and 0.
struct back_task {
    index first, last, left_last, r1, r2;
    index spike_shift = 0, link_shift = 0;

    template <class T>
    const T* spikes_of(const T* spikes) const {
        return spikes + spike_shift;
    }
    template <class T>
    const T* link_of(const T* links, index hbw) const {
        return links + (last * hbw + link_shift);
    }
};

// The back substitutions of two independent blocks (of the same sweep).
template <class T>
void back_substitute_pair(const T* A, index hbw, const back_task& p, const back_task& q, const T* spikes,
                          const T* links, T* B, index n, index nrhs) {
    if (nrhs < 1) return;
    by_width(
        hbw,
        [&](auto W) {
            for (index k = 0; k < nrhs; ++k) {
                fixed::back_substitution<T, W> x(A, p.first, p.last, p.left_last, p.spikes_of(spikes),
                                                 p.link_of(links, hbw), p.r1, link_rows(hbw, p.last, p.r1, p.r2, n),
                                                 B + k * n, n);
                fixed::back_substitution<T, W> y(A, q.first, q.last, q.left_last, q.spikes_of(spikes),
                                                 q.link_of(links, hbw), q.r1, link_rows(hbw, q.last, q.r1, q.r2, n),
                                                 B + k * n, n);
                side_by_side(x, y);
            }
        },
        [&] {
            for (const back_task* t : {&p, &q})
                back_substitute_block(A, hbw, t->first, t->last, t->left_last, t->spikes_of(spikes), links, t->r1,
                                      t->r2, B, n, nrhs, t->link_shift);
        });
}

// The back substitutions of a group of count independent blocks of the same
// sweep, each rows long (groups::group_fits): per column of B, each block's
// left-spike and link updates, then the solves of all of them side by side
// in vector lanes.
template <class T>
void back_substitute_group(const T* A, index hbw, const back_task* tasks, int count, index rows, const T* spikes,
                           const T* links, T* B, index n, index nrhs) {
    if (nrhs < 1) return;
    // The blocks' links lie a sweep's stride apart, where the hardware's
    // prefetch does not look: asked for before the band is packed, real
    // ones are in by the time the first column needs them. (Complex links,
    // twice or four times as long, only crowd out the band's lines.)
    if constexpr (std::is_floating_point_v<T>)
        for (int t = 0; t < count; ++t)
            if (tasks[t].r1 > 0)
                fixed::prefetch_column_rows(tasks[t].link_of(links, hbw), hbw * hbw, 1, 1, hbw * hbw);
    index firsts[groups::group_lanes<T>];
    for (int b = 0; b < count; ++b) firsts[b] = tasks[b].first;
    groups::group_tile<T> tile(hbw, firsts, count, rows);
    tile.pack(A);
    for (index k = 0; k < nrhs; ++k) {
        T* const b = B + k * n;
        for (int t = 0; t < count; ++t) {
            const back_task& p = tasks[t];
            const T* const spike = p.spikes_of(spikes);
            if (p.left_last > 0)
                by_width(
                    hbw,
                    [&](auto W) { fixed::apply_left_spike_column<T, W>(p.first, p.last, p.left_last, spike, b, n); },
                    [&] { reference::apply_left_spike(hbw, p.first, p.last, p.left_last, spike, b, n, 1); });
            if (p.r1 > 0) apply_link_column(hbw, p.last, p.r1, p.r2, p.link_of(links, hbw), b, n);
        }
        tile.backward(b);
    }
}

// The worker's spike inputs are nonzero only in a block's head, its first
// hbw rows: gather_left_coupling_head and form_fill_head write the head
// alone, and spike_solve_from_head takes every row below it as zero,
// whatever spikes holds there (it clears those rows itself where it runs
// the public kernel). The stored spikes are those of the public kernels,
// which clear the rows below the head and then read them.
template <class T>
void gather_left_coupling_head(const T* A, index hbw, index first, index last, T* spikes, index n) {
    reference::gather_left_coupling(A, hbw, first, std::min(last, first + hbw - 1), spikes, n);
}

template <class T>
void form_fill_head(T* A, index hbw, index first, index last, index left_last, T* spikes, const T* left, index n) {
    const index head_end = std::min(first + hbw - 1, n);
    form_fill_at(A, hbw, first, std::min(last, head_end), left_last, spikes, left, n);
}

template <class T>
void spike_solve_from_head(const T* A, index hbw, index first, index last, T* spikes, index n) {
    if constexpr (real_lanes<T>)
        if ((hbw == 4 || hbw == 8) && last - first >= hbw)
            return by_width(
                hbw, [&](auto W) { fixed::spike_solve_lanes<T, W>(A, first, last, spikes, n, W); }, [] {});
    for (index q = 0; q < hbw; ++q)
        for (index r = first + hbw; r <= last; ++r) spikes[q * n + r - 1] = element_traits<T>::zero();
    pchol::spike_solve<T>(A, static_cast<std::int32_t>(hbw), static_cast<std::int32_t>(first),
                          static_cast<std::int32_t>(last), spikes, static_cast<std::int32_t>(n));
}

// spike_solve_from_head on two independent blocks of the same sweep; side
// by side when they are equally long. Block k's spike rows are found in
// spikes_k by their row numbers (both spikes where the solve that factors
// keeps them). With keep1 and keep2 (room for rows times hbw wide elements
// each), the side-by-side solve also keeps each block's solved rows there,
// widened, for update_separator_tail_kept, and says so.
template <class T>
bool spike_solve_pair(const T* A, index hbw, index first1, index last1, index first2, index last2, T* spikes1,
                      T* spikes2, index n, typename element_traits<T>::wide_type* keep1 = nullptr,
                      typename element_traits<T>::wide_type* keep2 = nullptr) {
    if constexpr (real_lanes<T>) {
        if ((hbw == 4 || hbw == 8) && last1 - first1 >= hbw && last2 - first2 == last1 - first1) {
            by_width(
                hbw,
                [&](auto W) {
                    constexpr int C = fixed::register_part<T, W>;
                    for (int c = 0; c < W; c += C)
                        fixed::spike_solve_columns_pair<T, W, C>(A, first1, first2, last1 - first1 + 1,
                                                                 spikes1 + c * n, spikes2 + c * n, n, W,
                                                                 keep1 ? keep1 + c : nullptr,
                                                                 keep2 ? keep2 + c : nullptr);
                },
                [] {});
            return keep1 && keep2;
        }
    }
    spike_solve_from_head(A, hbw, first1, last1, spikes1, n);
    spike_solve_from_head(A, hbw, first2, last2, spikes2, n);
    return false;
}

// update_separator_tail with the right neighbour's spike rows r1..r2 as
// spike_solve_pair kept them (hbw 4 or 8, real elements).
template <class T>
void update_separator_tail_kept(T* A, index hbw, index last, index r1, index r2, const T* spikes,
                                const typename element_traits<T>::wide_type* kept, T* B, index n, index nrhs) {
    if constexpr (real_lanes<T>)
        by_width(
            hbw,
            [&](auto W) { fixed::update_separator_tail_lanes<T, W>(A, last, r1, r2, spikes, B, n, nrhs, kept); },
            [] {});
}

// The factorisations of two independent blocks first1..last1 and
// first2..last2. Each block's rows get the values of band_factor_block on it
// alone: it runs to its end or to its own failed pivot, which sets
// fail_flags(slot). The vector lanes pay here, where the other block's chain
// hides their latency; one block alone is faster on scalars (47 us against
// 43 us per kernel_bench batch).
template <class T>
void band_factor_pair(T* A, index hbw, index first1, index last1, index first2, index last2,
                      const real_of_t<T>& tol, std::int32_t* fail_flags, std::int32_t slot) {
    by_width(
        hbw,
        [&](auto W) {
            fixed::band_factorisation<T, W, true> x(A, first1, last1, tol, fail_flags + (slot - 1));
            fixed::band_factorisation<T, W, true> y(A, first2, last2, tol, fail_flags + (slot - 1));
            side_by_side(x, y);
        },
        [&] {
            reference::band_factor_block(A, hbw, first1, last1, tol, fail_flags, slot);
            reference::band_factor_block(A, hbw, first2, last2, tol, fail_flags, slot);
        });
}

// rhs_forward_block on two independent blocks.
template <class T>
void rhs_forward_pair(const T* A, index hbw, index first1, index last1, index first2, index last2, T* B, index n,
                      index nrhs) {
    by_width(
        hbw,
        [&](auto W) {
            for (index k = 0; k < nrhs; ++k) {
                fixed::forward_substitution<T, W> x(A, first1, last1, B + k * n);
                fixed::forward_substitution<T, W> y(A, first2, last2, B + k * n);
                side_by_side(x, y);
            }
        },
        [&] {
            reference::rhs_forward_block(A, hbw, first1, last1, B, n, nrhs);
            reference::rhs_forward_block(A, hbw, first2, last2, B, n, nrhs);
        });
}

}  // namespace pchol::detail

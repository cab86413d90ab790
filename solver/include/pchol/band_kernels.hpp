// The serial steps of the parallel banded solver: the kernels that work on
// one block of consecutive rows, and the coupling steps between a block and
// its neighbours. They see nothing but the arrays and row numbers, keep no
// state and never allocate; any thread may run any of them, and the worker
// makes sure that steps running at the same time write disjoint rows.
//
// Rows and columns count from 1, as in solver.hpp, which shows the band
// layout: A(r, c), r <= c <= r + hbw, is A[(r - 1) * hbw + c - 1]. The two
// scratch arrays (WORK of the solver, links first, then spikes):
//
//   spikes: n by hbw, column-major; spikes(r, q) = spikes[(q - 1) * n + r - 1].
//     Row r belongs to matrix row r. Over an eliminated block, column q holds
//     the block's coupling with the q-th tail row of the separator on its left
//     (first as copied or formed, then solved). Over the head rows of a
//     separator, column q holds their coupling with the q-th tail row of the
//     block on their left.
//   links: hbw by n, column-major; links(q, c) = links[(c - 1) * hbw + q - 1].
//     For an eliminated block ending at row e, columns e + 1 ... e + hbw keep
//     the solved coupling of its q-th tail row with the head rows of the
//     separator on its right, for the back substitution.
//
//   head of a block first..last: rows first ... min(first + hbw - 1, n)
//   tail of a block first..last: rows last - hbw + 1 ... last (t_q = last - hbw + q)
//
// Precision: every element is rounded to the storage type when stored. Steps
// noted "per step" read and write the array at every single update; steps
// noted "accumulated" keep a running sum in a wider format over the whole
// loop and round it once.
//
// The templates are instantiated in the library for float, double,
// std::complex<double> and std::complex<float>; complex element types use
// the plain transpose everywhere (never the conjugate).
#pragma once

#include "pchol/export.h"

#include <complex>
#include <cstdint>

namespace pchol {

// The real type of an element type: the type of the pivot threshold.
template <class T>
struct real_of {
    using type = T;
};
template <class T>
struct real_of<std::complex<T>> {
    using type = T;
};
template <class T>
using real_of_t = typename real_of<T>::type;

// ---- Block kernels ------------------------------------------------------------

// Factors the diagonal block first..last of A in place (A = U^T U on those
// rows and columns only): rows before first are not used, columns after last
// are neither read nor written. Per step updates; each pivot d is tested
// against tol and fails when d <= tol (ordered: a NaN pivot goes on to the
// root). On failure fail_flags[slot - 1] becomes -1 (an atomic store: other
// threads may be reading it), rows after the failing row are untouched and
// that row has its updates but is not scaled. The flag is never cleared here.
// Nothing happens when last < first.
template <class T>
PCHOL_API void band_factor_block(T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                                 const real_of_t<T>& tol, std::int32_t* fail_flags, const std::int32_t& slot);

// Columns 1..hbw of spikes, rows first..last, solved with the transposed
// factor of the block (forward substitution, per step).
template <class T>
PCHOL_API void spike_solve(const T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                           T* spikes, const std::int32_t& n);

// Rows r1..r2 of spikes, each taken as one right-hand side (spikes(r, 1..hbw)),
// solved with the transposed hbw-by-hbw trailing triangle of the factor of the
// block that ends at last (which has at least hbw rows). Per step.
template <class T>
PCHOL_API void coupling_solve(const T* A, const std::int32_t& hbw, const std::int32_t& last, const std::int32_t& r1,
                              const std::int32_t& r2, T* spikes, const std::int32_t& n);

// Rows first..last of every right-hand side solved with the block's
// transposed factor (per step) / with the block's factor (accumulated).
template <class T>
PCHOL_API void rhs_forward_block(const T* A, const std::int32_t& hbw, const std::int32_t& first,
                                 const std::int32_t& last, T* B, const std::int32_t& n, const std::int32_t& nrhs);
template <class T>
PCHOL_API void rhs_backward_block(const T* A, const std::int32_t& hbw, const std::int32_t& first,
                                  const std::int32_t& last, T* B, const std::int32_t& n, const std::int32_t& nrhs);

// Copies into spikes rows first..last the coupling of the hbw rows before the
// block (p_q = first - hbw - 1 + q) with the block's rows: A(p_q, r) where
// r <= p_q + hbw, else 0. The block starts after row hbw. Bit-for-bit copies.
template <class T>
PCHOL_API void gather_left_coupling(const T* A, const std::int32_t& hbw, const std::int32_t& first,
                                    const std::int32_t& last, T* spikes, const std::int32_t& n);

// Copies into spikes rows last + 1 ... min(last + hbw, n) the coupling of the
// block's tail rows with the rows after the block: A(t_q, r) where
// r <= t_q + hbw, else 0. Writes nothing when last = n.
template <class T>
PCHOL_API void gather_right_coupling(const T* A, const std::int32_t& hbw, const std::int32_t& first,
                                     const std::int32_t& last, const std::int32_t& n, T* spikes);

// ---- Coupling steps ---------------------------------------------------------------
// Row numbers: the separator or block in hand is first..last, its head
// first..head_end with head_end = min(first + hbw - 1, n). left_last is the
// last row of the full block on its left, whose tail rows
// t_q = left_last - hbw + q couple with it. Every step does nothing for B
// when nrhs < 1, and nothing at all when hbw = 0.

// A separator's tail after the elimination of its right neighbour
// r1..r2: the tail triangle loses the Gram matrix of the neighbour's spike
// (sums accumulated, subtracted once) and the tail rows of B lose the spike
// times the neighbour's forward-solved B (one running difference). The
// separator has more than hbw rows.
template <class T>
PCHOL_API void update_separator_tail(T* A, const std::int32_t& hbw, const std::int32_t& last, const std::int32_t& r1,
                                     const std::int32_t& r2, const T* spikes, T* B, const std::int32_t& n,
                                     const std::int32_t& nrhs);

// A separator's head after the elimination of its left neighbour (ending at
// left_last), through the solved coupling in the head rows of spikes. Per step.
template <class T>
PCHOL_API void update_separator_head(T* A, const std::int32_t& hbw, const std::int32_t& first,
                                     const std::int32_t& left_last, const T* spikes, T* B, const std::int32_t& n,
                                     const std::int32_t& nrhs);

// Keeps the solved coupling of the head rows for the back substitution:
// links(i, left_last + 1 + (r - first)) <- spikes(r, i), bit for bit.
template <class T>
PCHOL_API void save_link(const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& left_last,
                         const T* spikes, T* links, const std::int32_t& n);

// Forms, in the head rows of spikes, the coupling of the separator's head
// with the tail of the separator two neighbours to the left, and clears
// spikes rows head_end + 1 ... last. The band slots A(first - 1, first) ...
// A(first - 1, first + hbw - 1) serve as scratch (the upper entries of an
// eliminated row that nothing reads again; for a short last separator some
// lie beyond column n, still inside the array). Sums accumulated.
template <class T>
PCHOL_API void form_fill(T* A, const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                         const std::int32_t& left_last, T* spikes, const std::int32_t& n);

// Back substitution of an eliminated block first..last, whose left separator
// ends at left_last and is solved: B rows first..last lose spikes times the
// separator's tail solution. Per step.
template <class T>
PCHOL_API void apply_left_spike(const std::int32_t& hbw, const std::int32_t& first, const std::int32_t& last,
                                const std::int32_t& left_last, const T* spikes, T* B, const std::int32_t& n,
                                const std::int32_t& nrhs);

// Back substitution of an eliminated block ending at last, whose right
// separator r1..r2 is solved: the block's tail rows of B lose the kept links
// times the separator's head solution, over m = min(r2 - r1 + 1, hbw) head
// rows. Per step.
template <class T>
PCHOL_API void apply_link(const std::int32_t& hbw, const std::int32_t& last, const std::int32_t& r1,
                          const std::int32_t& r2, const T* links, T* B, const std::int32_t& n,
                          const std::int32_t& nrhs);

}  // namespace pchol

// The library's kernels and coupling steps against its reference loops
// (kernels/reference.hpp), bit for bit, in all four element types, on random
// blocks: every half bandwidth with a fixed-width fast path (4 and 8) and
// some without, blocks shorter than the band, exactly as long, a little
// longer, the solver's block length and longer than one spike tile, and the
// short last blocks and separators the worker hands the steps. Every array
// is compared whole, so a write outside the rows a step owns shows too; any
// fused or reordered arithmetic, of real or complex elements, shows as a
// changed last bit.
#include "band_kernels_impl.hpp"
#include "kernels/reference.hpp"
#include "reference.hpp"

#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

using namespace pchol_test;
namespace reference = pchol::detail::reference;
using i32 = std::int32_t;

template <class T>
struct is_complex : std::false_type {};
template <class T>
struct is_complex<std::complex<T>> : std::true_type {};

// An element from a real value; complex elements get a small imaginary part
// as well, so that their products mix the parts.
template <class T>
T element(double re, std::mt19937_64& gen) {
    if constexpr (is_complex<T>::value) {
        std::uniform_real_distribution<double> im(-0.125, 0.125);
        return T(static_cast<typename T::value_type>(re), static_cast<typename T::value_type>(im(gen)));
    } else {
        return static_cast<T>(re);
    }
}

template <class T>
std::vector<T> random_elements(idx count, double lo, double hi, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<T> v(static_cast<std::size_t>(count));
    for (T& x : v) x = element<T>(dist(gen), gen);
    return v;
}

// A diagonally dominant band (so every pivot of every block is positive, or
// for complex elements nonzero) in the solver's layout; the slots past
// column n hold a value no step may write.
template <class T>
std::vector<T> random_band(idx n, idx hbw, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> off(-1.0, 1.0), diag(1.0, 1.5);
    std::vector<T> a(static_cast<std::size_t>(band_length(n, hbw)), element<T>(-7.0, gen));
    for (idx r = 1; r <= n; ++r) {
        a[band_pos(hbw, r, r)] = element<T>(diag(gen), gen);
        for (idx c = r + 1; c <= std::min(r + hbw, n); ++c)
            a[band_pos(hbw, r, c)] = element<T>(off(gen) / double(2 * hbw + 1), gen);
    }
    return a;
}

// Spike-like columns: random values with some exact zeros and negative zeros
// (the rows below a separator's head are zero after form_fill).
template <class T>
std::vector<T> random_columns(idx n, idx columns, std::uint64_t seed) {
    std::vector<T> s = random_elements<T>(n * columns, -1.0, 1.0, seed);
    for (std::size_t p = 0; p < s.size(); p += 11) s[p] = T(0);
    for (std::size_t p = 5; p < s.size(); p += 13) s[p] = -T(0);
    return s;
}

// Makes the pivot of row bad (in the block that starts at f) fail: a real
// pivot is made negative; a complex one, since a negative real pivot has a
// root, is made to stay exactly zero, its column above the diagonal within
// the block being zero too (0 + 0i minus products of zeros).
template <class T>
void spoil_pivot(std::vector<T>& a, idx w, idx f, idx bad) {
    if constexpr (is_complex<T>::value) {
        for (idx j = std::max(bad - w, f); j <= bad; ++j) a[band_pos(w, j, bad)] = T(0);
    } else {
        a[band_pos(w, bad, bad)] = T(-1);
    }
}

template <class T>
::testing::AssertionResult identical(const std::vector<T>& fast, const std::vector<T>& plain, const char* what) {
    for (std::size_t p = 0; p < fast.size(); ++p)
        if (!same_bits(fast[p], plain[p]))
            return ::testing::AssertionFailure() << what << " differs at position " << p << ": " << fast[p] << " vs "
                                                 << plain[p];
    return ::testing::AssertionSuccess();
}

template <class T>
class KernelIdentity : public ::testing::Test {};

using element_types = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;
TYPED_TEST_SUITE(KernelIdentity, element_types);

const idx widths[] = {1, 2, 3, 4, 5, 8, 13};

// Block lengths: shorter than the band, as long, a little longer, the
// solver's blocks, and longer than a spike tile.
std::vector<idx> lengths(idx w) {
    std::vector<idx> v = {1, w, w + 1, 2 * w + 3, std::max<idx>(576 / w, w + 1), 300};
    if (w > 1) v.push_back(w - 1);
    return v;
}

TYPED_TEST(KernelIdentity, FactorisationAndFailingPivots) {
    using T = TypeParam;
    for (const idx w : widths) {
        for (const idx len : lengths(w)) {
            const idx f = 2 * w + 3, l = f + len - 1, n = l + w + 2;
            const std::vector<T> a0 = random_band<T>(n, w, 100 + w);
            // No failure, then a failing pivot at the first row, in the
            // middle, and at the last row of the block.
            for (const idx bad : {idx(0), f, f + len / 2, l}) {
                SCOPED_TRACE(::testing::Message() << "hbw " << w << ", rows " << f << ".." << l << ", bad row " << bad);
                std::vector<T> fast = a0;
                if (bad != 0) spoil_pivot(fast, w, f, bad);
                std::vector<T> plain = fast;
                i32 ff[2] = {0, 0}, pf[2] = {0, 0};
                pchol::band_factor_block(fast.data(), i32(w), i32(f), i32(l), pchol::real_of_t<T>(0), ff, 2);
                reference::band_factor_block(plain.data(), w, f, l, pchol::real_of_t<T>(0), pf, 2);
                EXPECT_TRUE(identical(fast, plain, "A"));
                EXPECT_EQ(ff[1], pf[1]);
                EXPECT_EQ(ff[1], bad != 0 ? -1 : 0);
            }
        }
    }
}

TYPED_TEST(KernelIdentity, Substitutions) {
    using T = TypeParam;
    for (const idx w : widths) {
        for (const idx len : lengths(w)) {
            const idx f = 2 * w + 3, l = f + len - 1, n = l + w + 2;
            SCOPED_TRACE(::testing::Message() << "hbw " << w << ", rows " << f << ".." << l);
            std::vector<T> a = random_band<T>(n, w, 200 + w);
            i32 flags[2] = {0, 0};
            reference::band_factor_block(a.data(), w, f, l, pchol::real_of_t<T>(0), flags, 1);
            ASSERT_EQ(flags[0], 0);

            const std::vector<T> s0 = random_columns<T>(n, w, 300 + len);
            std::vector<T> fast = s0, plain = s0;
            pchol::spike_solve(a.data(), i32(w), i32(f), i32(l), fast.data(), i32(n));
            reference::spike_solve(a.data(), w, f, l, plain.data(), n);
            EXPECT_TRUE(identical(fast, plain, "spike_solve"));

            for (const idx nrhs : {0, 1, 3}) {
                const std::vector<T> b0 = random_columns<T>(n, nrhs, 400 + len);
                std::vector<T> fb = b0, pb = b0;
                pchol::rhs_forward_block(a.data(), i32(w), i32(f), i32(l), fb.data(), i32(n), i32(nrhs));
                reference::rhs_forward_block(a.data(), w, f, l, pb.data(), n, nrhs);
                EXPECT_TRUE(identical(fb, pb, "rhs_forward_block"));
                pchol::rhs_backward_block(a.data(), i32(w), i32(f), i32(l), fb.data(), i32(n), i32(nrhs));
                reference::rhs_backward_block(a.data(), w, f, l, pb.data(), n, nrhs);
                EXPECT_TRUE(identical(fb, pb, "rhs_backward_block"));
            }

            // The right coupling: the head of the next block, in full (the
            // elimination sweeps) and limited to the band (phase 1).
            if (len >= w) {
                for (const idx r2 : {l + 1, std::min(l + w, n)}) {
                    for (const bool limited : {false, true}) {
                        std::vector<T> fs = s0, ps = s0;
                        pchol::detail::coupling_solve_rows(a.data(), w, l, l + 1, r2, fs.data(), n, limited);
                        reference::coupling_solve(a.data(), w, l, l + 1, r2, ps.data(), n, limited);
                        EXPECT_TRUE(identical(fs, ps, limited ? "coupling_solve (band limited)" : "coupling_solve"));
                    }
                }
            }
        }
    }
}

// The complex right coupling, whose divisions by the tail's pivots take
// their scaled path when the products of the parts leave the range: values
// scaled towards either end of it give the reference's bits, with divisions
// that need the scaled path beside ones that do not.
TYPED_TEST(KernelIdentity, ComplexCouplingNearTheEndsOfTheRange) {
    using T = TypeParam;
    if constexpr (is_complex<T>::value) {
        using P = typename T::value_type;
        const std::vector<double> scales = sizeof(P) == 8 ? std::vector<double>{1e300, 1e-300, 1e160, 1e-160}
                                                          : std::vector<double>{1e30, 1e-30};
        for (const idx w : {idx(4), idx(8)}) {
            const idx f = 2 * w + 3, l = f + 3 * w, n = l + w + 2;
            std::vector<T> a0 = random_band<T>(n, w, 900 + w);
            i32 flags[2] = {0, 0};
            reference::band_factor_block(a0.data(), w, f, l, P(0), flags, 1);
            ASSERT_EQ(flags[0], 0);
            for (const double band_scale : {1.0, 1e-20, 1e20})
                for (const double scale : scales) {
                    SCOPED_TRACE(::testing::Message() << "hbw " << w << ", band scaled by " << band_scale
                                                      << ", coupling by " << scale);
                    std::vector<T> a = a0;
                    for (T& v : a) v *= P(band_scale);
                    std::vector<T> s0 = random_columns<T>(n, w, 950 + w);
                    // Every other coupling row at the scale, so that one
                    // vector holds both kinds.
                    for (idx q = 0; q < w; ++q)
                        for (idx r = l + 1; r <= l + w; r += 2) s0[q * n + r - 1] *= P(scale);
                    for (const bool limited : {false, true}) {
                        std::vector<T> fs = s0, ps = s0;
                        pchol::detail::coupling_solve_rows(a.data(), w, l, l + 1, l + w, fs.data(), n, limited);
                        reference::coupling_solve(a.data(), w, l, l + 1, l + w, ps.data(), n, limited);
                        EXPECT_TRUE(identical(fs, ps, limited ? "coupling_solve (band limited)" : "coupling_solve"));
                    }
                }
        }
    }
}

// The separator steps on a separator J..K with its left neighbour ending at
// e = J - 1 - gap and its right neighbour r1..r2; the separator may be the
// last block and shorter than the band.
TYPED_TEST(KernelIdentity, CouplingSteps) {
    using T = TypeParam;
    for (const idx w : widths) {
        const idx br = std::max<idx>(576 / w, w + 1);
        for (const idx right : {idx(1), w, br, idx(200)}) {
            for (const idx sep : {br, std::max<idx>(w - 1, 1), w}) {
                const idx e = 3 * w + 5, J = e + 1 + br, K = J + sep - 1;
                const bool last = sep < br;  // a short separator is the last block
                const idx r1 = K + 1 + br, r2 = r1 + right - 1;
                const idx n = last ? K : r2 + 3;
                SCOPED_TRACE(::testing::Message() << "hbw " << w << ", separator " << J << ".." << K << " of " << n
                                                  << ", right " << right);
                const std::vector<T> a0 = random_band<T>(n, w, 500 + w);
                const std::vector<T> s0 = random_columns<T>(n, w, 600 + right);
                const std::vector<T> l0 = random_columns<T>(n, w, 700);
                for (const idx nrhs : {0, 1, 2}) {
                    const std::vector<T> b0 = random_columns<T>(n, nrhs, 800 + nrhs);
                    if (!last && sep > w) {
                        std::vector<T> fa = a0, pa = a0, fb = b0, pb = b0;
                        pchol::update_separator_tail(fa.data(), i32(w), i32(K), i32(r1), i32(r2), s0.data(), fb.data(),
                                                     i32(n), i32(nrhs));
                        reference::update_separator_tail(pa.data(), w, K, r1, r2, s0.data(), pb.data(), n, nrhs);
                        EXPECT_TRUE(identical(fa, pa, "update_separator_tail A"));
                        EXPECT_TRUE(identical(fb, pb, "update_separator_tail B"));

                        pchol::apply_link(i32(w), i32(K), i32(r1), i32(r2), l0.data(), fb.data(), i32(n), i32(nrhs));
                        reference::apply_link(w, K, r1, r2, l0.data(), pb.data(), n, nrhs);
                        EXPECT_TRUE(identical(fb, pb, "apply_link"));
                    }
                    std::vector<T> fa = a0, pa = a0, fb = b0, pb = b0, fs = s0, ps = s0, fl = l0, pl = l0;
                    pchol::update_separator_head(fa.data(), i32(w), i32(J), i32(e), fs.data(), fb.data(), i32(n),
                                                 i32(nrhs));
                    reference::update_separator_head(pa.data(), w, J, e, ps.data(), pb.data(), n, nrhs);
                    EXPECT_TRUE(identical(fa, pa, "update_separator_head A"));
                    EXPECT_TRUE(identical(fb, pb, "update_separator_head B"));
                    pchol::save_link(i32(w), i32(J), i32(e), fs.data(), fl.data(), i32(n));
                    reference::save_link(w, J, e, ps.data(), pl.data(), n);
                    EXPECT_TRUE(identical(fl, pl, "save_link"));
                    pchol::form_fill(fa.data(), i32(w), i32(J), i32(K), i32(e), fs.data(), i32(n));
                    reference::form_fill(pa.data(), w, J, K, e, ps.data(), ps.data(), n);
                    EXPECT_TRUE(identical(fa, pa, "form_fill A"));
                    EXPECT_TRUE(identical(fs, ps, "form_fill spikes"));
                    pchol::apply_left_spike(i32(w), i32(J), i32(K), i32(e), s0.data(), fb.data(), i32(n), i32(nrhs));
                    reference::apply_left_spike(w, J, K, e, s0.data(), pb.data(), n, nrhs);
                    EXPECT_TRUE(identical(fb, pb, "apply_left_spike"));
                }
            }
        }
    }
}

// The worker's fused back substitution (left spike, link and solve row by
// row) against the plain steps one after the other.
TYPED_TEST(KernelIdentity, FusedBackSubstitution) {
    using T = TypeParam;
    for (const idx w : widths) {
        const idx br = std::max<idx>(576 / w, w + 1);
        for (const idx len : {br, w + 1, idx(300)}) {
            // Room after the block for a right separator of a full block.
            const idx f = 2 * br + 1, l = f + len - 1, n = l + 2 * br + w;
            SCOPED_TRACE(::testing::Message() << "hbw " << w << ", rows " << f << ".." << l);
            for (const idx nrhs : {0, 1, 3}) {
                // Back substitution with and without each neighbour; the right
                // separator as long as a block or shorter than the band.
                std::vector<T> a = random_band<T>(n, w, 903);
                i32 flags[2] = {0, 0};
                reference::band_factor_block(a.data(), w, f, l, pchol::real_of_t<T>(0), flags, 1);
                const std::vector<T> s0 = random_columns<T>(n, w, 904), l0 = random_columns<T>(n, w, 905);
                for (const idx left_last : {idx(0), f - br - 1}) {
                    for (const idx right : {idx(0), br, std::max<idx>(w - 1, 1)}) {
                        const idx r1 = right > 0 ? l + br + 1 : 0, r2 = right > 0 ? r1 + right - 1 : 0;
                        std::vector<T> fb = random_columns<T>(n, nrhs, 906), pb = fb;
                        pchol::detail::back_substitute_block(a.data(), w, f, l, left_last, s0.data(), l0.data(), r1,
                                                             r2, fb.data(), n, nrhs);
                        if (nrhs > 0 && left_last > 0) reference::apply_left_spike(w, f, l, left_last, s0.data(), pb.data(), n, nrhs);
                        if (r1 > 0) reference::apply_link(w, l, r1, r2, l0.data(), pb.data(), n, nrhs);
                        reference::rhs_backward_block(a.data(), w, f, l, pb.data(), n, nrhs);
                        EXPECT_TRUE(identical(fb, pb, "back_substitute_block"));
                    }
                }
            }
        }
    }
}

// Two blocks factored and forward-substituted side by side against the plain
// steps on each block alone: blocks of equal and of different lengths (one
// chain runs on alone), a failed pivot in either block (the other one still
// runs to its end, and both stop at their own failure), nrhs 0, 1 and 3;
// and the two blocks' spikes solved from their heads, side by side, and
// the first one's right coupling gathered and solved in one step.
TYPED_TEST(KernelIdentity, PairedFactorisationSubstitutionAndSpikes) {
    using T = TypeParam;
    for (const idx w : widths) {
        const idx br = std::max<idx>(576 / w, w + 1);
        for (const idx len2 : {br, w + 1, idx(1), idx(300)}) {
            const idx f1 = br + 1, l1 = f1 + br - 1, f2 = l1 + br + 1, l2 = f2 + len2 - 1, n = l2 + w + 2;
            const std::vector<T> a0 = random_band<T>(n, w, 920 + w);
            for (const idx bad : {idx(0), f1, l1, f2 + len2 / 2, l2}) {
                SCOPED_TRACE(::testing::Message() << "hbw " << w << ", blocks " << f1 << ".." << l1 << " and " << f2
                                                  << ".." << l2 << ", bad row " << bad);
                std::vector<T> fast = a0;
                if (bad != 0) spoil_pivot(fast, w, bad < f2 ? f1 : f2, bad);
                std::vector<T> plain = fast;
                i32 ff[2] = {0, 0}, pf[2] = {0, 0};
                pchol::detail::band_factor_pair(fast.data(), w, f1, l1, f2, l2, pchol::real_of_t<T>(0), ff, 2);
                reference::band_factor_block(plain.data(), w, f1, l1, pchol::real_of_t<T>(0), pf, 2);
                reference::band_factor_block(plain.data(), w, f2, l2, pchol::real_of_t<T>(0), pf, 2);
                EXPECT_TRUE(identical(fast, plain, "A"));
                EXPECT_EQ(ff[0], 0);
                EXPECT_EQ(ff[1], bad != 0 ? -1 : 0);
                if (bad != 0) continue;
                for (const idx nrhs : {0, 1, 3}) {
                    const std::vector<T> b0 = random_columns<T>(n, nrhs, 921 + len2);
                    std::vector<T> fb = b0, pb = b0;
                    pchol::detail::rhs_forward_pair(plain.data(), w, f1, l1, f2, l2, fb.data(), n, nrhs);
                    reference::rhs_forward_block(plain.data(), w, f1, l1, pb.data(), n, nrhs);
                    reference::rhs_forward_block(plain.data(), w, f2, l2, pb.data(), n, nrhs);
                    EXPECT_TRUE(identical(fb, pb, "rhs_forward_pair"));
                }
                // The two blocks' spikes from their heads (side by side when
                // equally long): the rows below each head count as zeros,
                // whatever they hold.
                const std::vector<T> s0 = random_columns<T>(n, w, 922 + len2);
                std::vector<T> fs = s0, ps = s0, one = s0;
                for (const auto& [f, l] : {std::pair{f1, l1}, std::pair{f2, l2}})
                    for (idx q = 0; q < w; ++q)
                        for (idx r = f + w; r <= l; ++r) ps[q * n + r - 1] = T(0);
                pchol::detail::spike_solve_pair(plain.data(), w, f1, l1, f2, l2, fs.data(), fs.data(), n);
                reference::spike_solve(plain.data(), w, f1, l1, ps.data(), n);
                reference::spike_solve(plain.data(), w, f2, l2, ps.data(), n);
                EXPECT_TRUE(identical(fs, ps, "spike_solve_pair"));
                pchol::detail::spike_solve_from_head(plain.data(), w, f1, l1, one.data(), n);
                pchol::detail::spike_solve_from_head(plain.data(), w, f2, l2, one.data(), n);
                EXPECT_TRUE(identical(one, ps, "spike_solve_from_head"));
                // The first block's right coupling gathered and solved at once.
                std::vector<T> fg = s0, pg = s0;
                const idx head_end = std::min(l1 + w, n);
                pchol::detail::gather_and_solve_right_coupling(plain.data(), w, f1, l1, l1 + 1, head_end, fg.data(), n);
                reference::gather_right_coupling(plain.data(), w, f1, l1, n, pg.data());
                reference::coupling_solve(plain.data(), w, l1, l1 + 1, head_end, pg.data(), n, true);
                EXPECT_TRUE(identical(fg, pg, "gather_and_solve_right_coupling"));
            }
        }
    }
}

// Two blocks of one sweep back-substituted side by side against the plain
// steps on each block in turn: blocks of different lengths (the second one
// may be the short last block, so one chain runs on alone), with and without
// neighbours.
TYPED_TEST(KernelIdentity, PairedBackSubstitution) {
    using T = TypeParam;
    for (const idx w : widths) {
        const idx br = std::max<idx>(576 / w, w + 1);
        for (const idx len2 : {br, w + 1, idx(1), idx(300)}) {
            // Block p: f..f+br-1, separators of br rows around both blocks.
            const idx fp = br + 1, lp = fp + br - 1, fq = lp + br + 1, lq = fq + len2 - 1;
            for (const bool q_last : {false, true}) {
                // Only the last block may be shorter than the band.
                if (len2 <= w && !q_last) continue;
                const idx n = q_last ? lq : lq + br;
                SCOPED_TRACE(::testing::Message() << "hbw " << w << ", blocks " << fp << ".." << lp << " and " << fq
                                                  << ".." << lq << " of " << n);
                std::vector<T> a = random_band<T>(n, w, 910 + w);
                i32 flags[2] = {0, 0};
                reference::band_factor_block(a.data(), w, fp, lp, pchol::real_of_t<T>(0), flags, 1);
                reference::band_factor_block(a.data(), w, fq, lq, pchol::real_of_t<T>(0), flags, 1);
                ASSERT_EQ(flags[0], 0);
                const std::vector<T> s0 = random_columns<T>(n, w, 911), l0 = random_columns<T>(n, w, 912);
                const pchol::detail::back_task p{fp, lp, idx(0), lp + 1, lp + br};
                const pchol::detail::back_task q{fq, lq, lp + br, q_last ? idx(0) : lq + 1, q_last ? idx(0) : n};
                for (const idx nrhs : {0, 1, 3}) {
                    std::vector<T> fb = random_columns<T>(n, nrhs, 913), pb = fb;
                    pchol::detail::back_substitute_pair(a.data(), w, p, q, s0.data(), l0.data(), fb.data(), n, nrhs);
                    for (const auto& t : {p, q}) {
                        if (nrhs > 0 && t.left_last > 0)
                            reference::apply_left_spike(w, t.first, t.last, t.left_last, s0.data(), pb.data(), n, nrhs);
                        if (t.r1 > 0) reference::apply_link(w, t.last, t.r1, t.r2, l0.data(), pb.data(), n, nrhs);
                        reference::rhs_backward_block(a.data(), w, t.first, t.last, pb.data(), n, nrhs);
                    }
                    EXPECT_TRUE(identical(fb, pb, "back_substitute_pair"));
                }
            }
        }
    }
}

}  // namespace

// Groups of blocks factored and forward-solved side by side in vector lanes
// against the reference loops on each block alone, bit for bit: every half
// bandwidth from 1 to 9 and 16, blocks from hbw + 1 rows to 100, groups of
// one block to a full vector, the blocks spread apart in A as one sweep
// hands them out. A and B are compared whole, so a write outside a block's
// rows shows too.
#include "kernels/dispatch.hpp"
#include "kernels/lane_groups.hpp"
#include "kernels/reference.hpp"
#include "reference.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using namespace pchol_test;
namespace groups = pchol::detail::groups;
namespace reference = pchol::detail::reference;

template <class T>
bool same_array(const std::vector<T>& x, const std::vector<T>& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(T)) == 0;
}

template <class T>
constexpr bool is_complex = !std::is_floating_point_v<T>;

// re, or re + i im for complex elements.
template <class T>
T value(double re, double im) {
    if constexpr (is_complex<T>) return T(static_cast<typename T::value_type>(re), static_cast<typename T::value_type>(im));
    else return static_cast<T>(re);
}

// A diagonally dominant band of n rows in the solver's layout, the slots past
// column n holding a value no step may write. Complex entries have imaginary
// parts of either sign throughout.
template <class T>
std::vector<T> random_band(idx n, idx hbw, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> off(-1.0, 1.0), diag(1.0, 1.5), tilt(-0.4, 0.4);
    std::vector<T> a(static_cast<std::size_t>(band_length(n, hbw)), T(-7));
    const double scale = 1.0 / double(2 * hbw + 1);
    for (idx r = 1; r <= n; ++r) {
        a[band_pos(hbw, r, r)] = value<T>(diag(gen), tilt(gen));
        for (idx c = r + 1; c <= std::min(r + hbw, n); ++c)
            a[band_pos(hbw, r, c)] = value<T>(off(gen) * scale, off(gen) * scale);
    }
    return a;
}

template <class T>
std::vector<T> random_rhs(idx n, idx nrhs, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<T> b(static_cast<std::size_t>(n * nrhs));
    for (T& x : b) x = value<T>(dist(gen), dist(gen));
    return b;
}

// count blocks of rows rows, a gap of hbw + 3 rows between them (the rows of
// the blocks another sweep owns), in a band that starts with such a gap.
struct group_layout {
    idx rows;
    int count;
    idx stride;
    idx n;
    std::vector<idx> firsts;
    group_layout(idx hbw, idx rows_, int count_) : rows(rows_), count(count_), stride(rows_ + hbw + 3) {
        for (int b = 0; b < count; ++b) firsts.push_back(hbw + 4 + b * stride);
        n = firsts.back() + stride - 1;
    }
};

// failing_pivot: a pivot of one block fails (for complex elements, whose
// test is on the modulus, an exactly zero pivot: the row's diagonal and the
// column above it cleared). huge_and_tiny, complex double: one block scaled
// by 2^1000 and the next by 2^-1030, whose divisions leave the plain formula's
// range while the other lanes' stay in it. real_parts, complex elements:
// every imaginary part zero, of either sign (the pivots' roots then go as one
// vector root), and with an odd seed one pivot of the middle block with an
// imaginary part (the group's roots then go lane by lane).
enum class spoil { none, failing_pivot, nan, huge_and_tiny, real_parts };

// The group kernels and the reference loops on the same blocks: A, B and the
// failure flags must come out identical. With spoil, one block (the middle
// one of the group) gets a failing pivot or a NaN in its band.
template <class T>
void check_group(idx hbw, idx rows, int count, spoil how, std::uint64_t seed) {
    // The worker groups only blocks that fit the tile (for double, hbw 16
    // takes blocks of up to 56 rows).
    if (!groups::group_fits<T>(hbw, rows)) return;
    const group_layout g(hbw, rows, count);
    std::vector<T> a = random_band<T>(g.n, hbw, seed);
    const idx victim = g.firsts[static_cast<std::size_t>(count / 2)];
    const idx bad_row = victim + (seed % static_cast<std::uint64_t>(rows));
    if (how == spoil::failing_pivot && !is_complex<T>) a[band_pos(hbw, bad_row, bad_row)] = T(-1);
    if (how == spoil::failing_pivot && is_complex<T>)
        for (idx j = std::max(victim, bad_row - hbw); j <= bad_row; ++j) a[band_pos(hbw, j, bad_row)] = T(0);
    if (how == spoil::nan)
        a[band_pos(hbw, bad_row, std::min(bad_row + 1, victim + rows - 1))] =
            value<T>(std::numeric_limits<double>::quiet_NaN(), 0.0);
    if (how == spoil::real_parts) {
        std::size_t k = 0;
        for (T& x : a) x = value<T>(std::real(x), k++ % 3 == 0 ? -0.0 : 0.0);
        if (seed % 2 == 1) {
            T& d = a[band_pos(hbw, bad_row, bad_row)];
            d = value<T>(std::real(d), 1e-3);
        }
    }
    if (how == spoil::huge_and_tiny)
        for (std::size_t b = 0; b + 1 < g.firsts.size(); b += 2)
            for (idx r = g.firsts[b]; r < g.firsts[b + 1] + rows; ++r)
                for (idx c = r; c <= std::min(r + hbw, g.n); ++c) {
                    const double f = r < g.firsts[b] + rows ? 0x1p1000 : 0x1p-1030;
                    T& x = a[band_pos(hbw, r, c)];
                    x = value<T>(std::real(x) * f, std::imag(x) * f);
                }
    const idx nrhs = 2;
    const std::vector<T> b0 = random_rhs<T>(g.n, nrhs, seed + 1);
    const pchol::real_of_t<T> tol = 0;

    std::vector<T> a_ref = a, b_ref = b0;
    std::int32_t flags_ref[2] = {0, 0};
    bool ref_failed = false;
    for (const idx f : g.firsts) {
        reference::band_factor_block(a_ref.data(), hbw, f, f + rows - 1, tol, flags_ref, 2);
        if (flags_ref[1] == -1) ref_failed = true;
    }
    if (!ref_failed)
        for (const idx f : g.firsts) reference::rhs_forward_block(a_ref.data(), hbw, f, f + rows - 1, b_ref.data(), g.n, nrhs);

    // Factor, then forward from A.
    std::vector<T> a_grp = a, b_grp = b0;
    std::int32_t flags_grp[2] = {0, 0};
    groups::band_factor_group(a_grp.data(), hbw, g.firsts.data(), count, rows, tol, flags_grp, 2);
    ASSERT_EQ(flags_grp[0], 0);
    ASSERT_EQ(flags_grp[1], flags_ref[1]);
    ASSERT_TRUE(same_array(a_grp, a_ref)) << "factor";
    if (!ref_failed) {
        groups::rhs_forward_group(a_grp.data(), hbw, g.firsts.data(), count, rows, b_grp.data(), g.n, nrhs);
        ASSERT_TRUE(same_array(b_grp, b_ref)) << "forward";
    }

    // Both in one, from the tile.
    std::vector<T> a_one = a, b_one = b0;
    std::int32_t flags_one[2] = {0, 0};
    const bool ok = groups::factor_forward_group(a_one.data(), hbw, g.firsts.data(), count, rows, tol, flags_one, 2,
                                                 b_one.data(), g.n, nrhs);
    ASSERT_EQ(ok, !ref_failed);
    ASSERT_EQ(flags_one[1], flags_ref[1]);
    ASSERT_TRUE(same_array(a_one, a_ref)) << "factor and forward: A";
    ASSERT_TRUE(same_array(b_one, ref_failed ? b0 : b_ref)) << "factor and forward: B";
}

template <class T>
class LaneGroups : public ::testing::Test {};

using element_types = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;
TYPED_TEST_SUITE(LaneGroups, element_types);

const idx widths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 16};

TYPED_TEST(LaneGroups, EveryWidthLengthAndGroupSizeMatchesBlockByBlock) {
    using T = TypeParam;
    for (const idx w : widths)
        for (idx rows = w + 1; rows <= 100; ++rows)
            for (int count = 1; count <= groups::group_lanes<T>; ++count) {
                SCOPED_TRACE(::testing::Message() << "hbw " << w << ", rows " << rows << ", blocks " << count);
                check_group<T>(w, rows, count, spoil::none, static_cast<std::uint64_t>(1000 * w + rows + count));
                if (::testing::Test::HasFatalFailure()) return;
            }
}

TYPED_TEST(LaneGroups, FailingPivotInOneLaneLeavesTheReferenceState) {
    using T = TypeParam;
    for (const idx w : widths)
        for (const idx rows : {w + 1, 2 * w + 5, idx(72), idx(100)})
            for (int count = 1; count <= groups::group_lanes<T>; ++count)
                for (std::uint64_t seed = 0; seed < 3; ++seed) {
                    SCOPED_TRACE(::testing::Message() << "hbw " << w << ", rows " << rows << ", blocks " << count);
                    check_group<T>(w, rows, count, spoil::failing_pivot, seed * 37 + static_cast<std::uint64_t>(w));
                    if (::testing::Test::HasFatalFailure()) return;
                }
}

TYPED_TEST(LaneGroups, NanInOneLaneSpreadsAsInTheReference) {
    using T = TypeParam;
    for (const idx w : widths)
        for (const idx rows : {w + 1, idx(72)})
            for (int count = 2; count <= groups::group_lanes<T>; count += 3) {
                SCOPED_TRACE(::testing::Message() << "hbw " << w << ", rows " << rows << ", blocks " << count);
                check_group<T>(w, rows, count, spoil::nan, 5 + static_cast<std::uint64_t>(w));
                if (::testing::Test::HasFatalFailure()) return;
            }
}

// Complex double lanes take div_wide's formula as vectors while every lane
// stays in its plain range and go lane by lane otherwise: blocks of entries
// near 2^1000 and 2^-1030 beside ordinary ones.
TEST(LaneGroupsComplex, DivisionsOutOfTheFormulasRangeMatchLaneByLane) {
    using T = std::complex<double>;
    for (const idx w : {idx(3), idx(4), idx(8)})
        for (int count = 2; count <= groups::group_lanes<T>; ++count) {
            SCOPED_TRACE(::testing::Message() << "hbw " << w << ", blocks " << count);
            check_group<T>(w, 3 * w, count, spoil::huge_and_tiny, 11 + static_cast<std::uint64_t>(w + count));
            if (::testing::Test::HasFatalFailure()) return;
        }
}

// Complex pivots with zero imaginary parts, of either sign, take one vector
// root for the group; one pivot with an imaginary part sends the group's
// roots lane by lane. Both store the reference's bits.
template <class T>
void check_real_parts() {
    for (const idx w : {idx(1), idx(3), idx(4), idx(8)})
        for (const idx rows : {w + 1, idx(32), idx(72)})
            for (int count = 1; count <= groups::group_lanes<T>; ++count)
                for (std::uint64_t seed = 0; seed < 2; ++seed) {
                    SCOPED_TRACE(::testing::Message() << "hbw " << w << ", rows " << rows << ", blocks " << count
                                                      << ", seed " << seed);
                    check_group<T>(w, rows, count, spoil::real_parts, seed + 2 * static_cast<std::uint64_t>(w));
                    if (::testing::Test::HasFatalFailure()) return;
                }
}
TEST(LaneGroupsComplex, RealPivotsTakeOneVectorRoot) {
    check_real_parts<std::complex<float>>();
    check_real_parts<std::complex<double>>();
}

// The back substitution of a group against the reference steps on each
// block alone (apply_left_spike, apply_link, rhs_backward_block): the left
// separator's tail and the right separator's head lie in the gaps between
// the blocks, the first block has no left separator and the last no right
// one, and spikes and links hold random couplings.
template <class T>
void check_back_group(idx hbw, idx rows, int count, std::uint64_t seed) {
    // The worker groups only blocks that fit the tile (for double, hbw 16
    // takes blocks of up to 56 rows).
    if (!groups::group_fits<T>(hbw, rows)) return;
    const group_layout g(hbw, rows, count);
    std::vector<T> a = random_band<T>(g.n, hbw, seed);
    std::int32_t flags[2] = {0, 0};
    for (const idx f : g.firsts) reference::band_factor_block(a.data(), hbw, f, f + rows - 1, pchol::real_of_t<T>(0), flags, 1);
    ASSERT_EQ(flags[0], 0);
    const std::vector<T> spikes = random_rhs<T>(g.n, hbw, seed + 2);
    const std::vector<T> links = random_rhs<T>(g.n, hbw, seed + 3);
    const idx nrhs = 2;
    const std::vector<T> b0 = random_rhs<T>(g.n, nrhs, seed + 1);
    std::vector<pchol::detail::back_task> tasks;
    for (int b = 0; b < count; ++b) {
        const idx first = g.firsts[static_cast<std::size_t>(b)], last = first + rows - 1;
        const idx left_last = b > 0 ? first - 2 : 0;
        const idx r1 = b + 1 < count ? last + 2 : 0;
        tasks.push_back({first, last, left_last, r1, r1 > 0 ? r1 + hbw - 1 : 0});
    }
    std::vector<T> b_ref = b0;
    for (const auto& p : tasks) {
        if (p.left_last > 0)
            reference::apply_left_spike(hbw, p.first, p.last, p.left_last, spikes.data(), b_ref.data(), g.n, nrhs);
        if (p.r1 > 0) reference::apply_link(hbw, p.last, p.r1, p.r2, links.data(), b_ref.data(), g.n, nrhs);
        reference::rhs_backward_block(a.data(), hbw, p.first, p.last, b_ref.data(), g.n, nrhs);
    }
    std::vector<T> b_grp = b0;
    pchol::detail::back_substitute_group(a.data(), hbw, tasks.data(), count, rows, spikes.data(), links.data(),
                                         b_grp.data(), g.n, nrhs);
    ASSERT_TRUE(same_array(b_grp, b_ref)) << "back substitution";
}

TYPED_TEST(LaneGroups, BackSubstitutionMatchesTheReferenceSteps) {
    using T = TypeParam;
    for (const idx w : widths)
        for (const idx rows : {w + 1, w + 2, 2 * w + 5, idx(72), idx(100)})
            for (int count = 1; count <= groups::group_lanes<T>; ++count) {
                SCOPED_TRACE(::testing::Message() << "hbw " << w << ", rows " << rows << ", blocks " << count);
                check_back_group<T>(w, rows, count, static_cast<std::uint64_t>(77 * w + rows + count));
                if (::testing::Test::HasFatalFailure()) return;
            }
}

// The spikes of a group from the factor in the tile against spike_solve on
// each block alone: only each block's first hbw rows are read (the rows below
// hold garbage, which the reference clears first), and the blocks before
// `from` are neither read nor written.
template <class T>
void check_group_spikes(idx hbw, idx rows, int count, int from, std::uint64_t seed) {
    if (!groups::group_fits<T>(hbw, rows)) return;
    const group_layout g(hbw, rows, count);
    std::vector<T> a = random_band<T>(g.n, hbw, seed);
    std::int32_t flags[2] = {0, 0};
    for (const idx f : g.firsts)
        reference::band_factor_block(a.data(), hbw, f, f + rows - 1, pchol::real_of_t<T>(0), flags, 1);
    ASSERT_EQ(flags[0], 0);
    const std::vector<T> spikes0 = random_rhs<T>(g.n, hbw, seed + 5);
    std::vector<T> s_ref = spikes0;
    for (int b = from; b < count; ++b) {
        const idx f = g.firsts[static_cast<std::size_t>(b)];
        for (idx q = 0; q < hbw; ++q)
            for (idx r = f + hbw; r < f + rows; ++r) s_ref[static_cast<std::size_t>(q * g.n + r - 1)] = T(0);
        reference::spike_solve(a.data(), hbw, f, f + rows - 1, s_ref.data(), g.n);
    }
    std::vector<T> s_grp = spikes0;
    groups::group_tile<T> tile(hbw, g.firsts.data(), count, rows);
    tile.pack(a.data());
    T* lane_spikes[groups::group_lanes<T>];
    for (T*& s : lane_spikes) s = s_grp.data();
    tile.spike_solve(lane_spikes, g.n, from);
    ASSERT_TRUE(same_array(s_grp, s_ref)) << "spikes";
}

TYPED_TEST(LaneGroups, SpikesFromTheTileMatchTheReferenceBlockByBlock) {
    using T = TypeParam;
    for (const idx w : widths)
        for (const idx rows : {w + 1, 2 * w + 5, idx(32), idx(72)})
            for (int count = 1; count <= groups::group_lanes<T>; ++count)
                for (int from = 0; from <= 1 && from < count; ++from) {
                    SCOPED_TRACE(::testing::Message() << "hbw " << w << ", rows " << rows << ", blocks " << count
                                                      << ", from " << from);
                    check_group_spikes<T>(w, rows, count, from, static_cast<std::uint64_t>(31 * w + rows + count));
                    if (::testing::Test::HasFatalFailure()) return;
                }
}

TEST(LaneGroupsTile, FitsTheBenchmarkBlocksAndRefusesLongOnes) {
    EXPECT_TRUE(groups::group_fits<float>(8, 72));
    EXPECT_TRUE(groups::group_fits<double>(8, 72));
    EXPECT_TRUE(groups::group_fits<float>(16, 100));
    // Groups of double blocks hold 8 blocks wherever the target has AVX
    // (one AVX-512 register, two AVX2 ones), else 4, whose tile takes twice
    // as many rows.
    const idx longest = groups::group_lanes<double> == 8 ? 56 : 113;
    EXPECT_TRUE(groups::group_fits<double>(16, longest));
    EXPECT_FALSE(groups::group_fits<double>(16, longest + 1));
    EXPECT_FALSE(groups::group_fits<double>(8, 2000));
    EXPECT_FALSE(groups::group_fits<double>(8, 0));
    // Complex blocks as long as the real ones, whatever the lanes: the
    // benchmark's block length, which the first solve of a process may fix
    // for every element type, and the complex solvers' own 32 rows.
    EXPECT_TRUE(groups::group_fits<std::complex<float>>(8, 72));
    EXPECT_TRUE(groups::group_fits<std::complex<double>>(8, 72));
    EXPECT_TRUE(groups::group_fits<std::complex<double>>(16, 56));
    EXPECT_FALSE(groups::group_fits<std::complex<double>>(16, 2000));
}

#if PCHOL_VECTOR_LANES
// A group's 8 doubles as two halves of 4 (AVX2's groups, whatever this
// build's target): every lane where its own vector would have it.
TEST(LaneGroupsTwins, HalvesBehaveAsOneVectorOfEightLanes) {
    namespace fixed = pchol::detail::fixed;
    using tl = fixed::twin_lanes<double, 8>;
    using vec = tl::vec;
    static_assert(fixed::is_twin<vec>);

    // Transpose: lane c of row r goes to lane r of row c, for every pair.
    vec rows[8];
    double in[8][8];
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) in[r][c] = 10 * r + c;
    for (int r = 0; r < 8; ++r) rows[r] = tl::load(in[r]);
    fixed::transpose<vec, 8>(rows);
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) ASSERT_EQ(rows[c][r], in[r][c]) << "row " << r << ", lane " << c;

    // Lanes set one by one, stored and loaded.
    vec v = tl::splat(-1.0);
    for (int l = 0; l < 8; ++l) pchol::detail::fixed::set_lane(v, l, 0.5 + l);
    double out[8];
    tl::store(out, v);
    for (int l = 0; l < 8; ++l) EXPECT_EQ(out[l], 0.5 + l);

    // The first count lanes, for counts below, inside and past the vector.
    for (int count = -1; count <= 9; ++count) {
        const auto m = tl::first(count);
        for (int l = 0; l < 8; ++l) EXPECT_EQ(m[l] != 0, l < count) << "count " << count << ", lane " << l;
    }

    // Comparisons with a twin and with one value, their masks combined,
    // and a select by them: lanes 2..5 of v (2.5 .. 5.5) lie in (2, 6).
    const auto inside = (v > 2.0) & (v < tl::splat(6.0));
    const vec picked = tl::select(inside, v, tl::splat(0.0));
    for (int l = 0; l < 8; ++l) EXPECT_EQ(picked[l], l >= 2 && l <= 5 ? 0.5 + l : 0.0) << "lane " << l;
    const auto either = (v <= 1.0) | (v >= 7.0);
    for (int l = 0; l < 8; ++l) EXPECT_EQ(either[l] != 0, l == 0 || l == 7) << "lane " << l;

    // Arithmetic and the root lane by lane, to the bit.
    const vec w = tl::load(in[3]);
    const vec r = (v - w * v) / (w + tl::splat(1.0));
    const vec q = tl::sqrt(v);
    for (int l = 0; l < 8; ++l) {
        const double x = 0.5 + l, y = 30.0 + l;
        EXPECT_EQ(r[l], (x - y * x) / (y + 1.0)) << "lane " << l;
        EXPECT_EQ(q[l], std::sqrt(x)) << "lane " << l;
        EXPECT_EQ((-v)[l], -x);
    }
}
#endif

}  // namespace

// The order in which a stored factor keeps its spikes and links: every block
// has one slot, level 0's blocks first, each level in the order of its
// blocks, a shorter last block at the end; and pchol_factorK's WORK holds
// what pchol_solveK's holds, each block's in its slot.
#include "family_support.hpp"
#include "level_order.hpp"

#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using pchol::detail::level_order;
using index = level_order::index;

int level_of(index b) {
    int z = 0;
    for (; b % 2 == 0; b /= 2) ++z;
    return z;
}

TEST(LevelOrder, SlotsGoLevelByLevelAndBack) {
    for (const index br : {2, 9, 72}) {
        for (index blocks = 1; blocks <= 70; ++blocks) {
            for (const index short_by : {index{0}, index{1}, br - 1}) {
                const index n = blocks * br - short_by;
                if (n < 1) continue;
                SCOPED_TRACE(::testing::Message() << "br " << br << " blocks " << blocks << " n " << n);
                const level_order order(n, 1, br);
                ASSERT_EQ(order.blocks(), blocks);
                std::vector<int> seen(static_cast<std::size_t>(blocks), 0);
                for (index b = 1; b <= blocks; ++b) {
                    const index s = order.slot(b);
                    ASSERT_GE(s, 0);
                    ASSERT_LT(s, blocks);
                    ++seen[static_cast<std::size_t>(s)];
                    EXPECT_EQ(order.block_in(s), b);
                }
                for (const int k : seen) EXPECT_EQ(k, 1);
                // Slot after slot: levels never go down, blocks go up within one.
                const bool shorter = short_by > 0;
                const index ordered = shorter ? blocks - 1 : blocks;
                for (index s = 0; s + 1 < ordered; ++s) {
                    const index b = order.block_in(s), c = order.block_in(s + 1);
                    EXPECT_TRUE(level_of(b) < level_of(c) || (level_of(b) == level_of(c) && b < c))
                        << "slots " << s << " and " << s + 1 << " hold blocks " << b << " and " << c;
                }
                if (shorter) {
                    EXPECT_EQ(order.slot(blocks), blocks - 1);
                }
                // A spike's rows stay inside the spike columns' range of rows.
                for (index b = 1; b <= blocks; ++b) {
                    const index first = (b - 1) * br + 1, shift = order.spike_shift(first);
                    EXPECT_GE(first - 1 + shift, 0);
                    EXPECT_LE(std::min(b * br, n) + shift, n);
                }
            }
        }
    }
}

// pchol_factorK's WORK against pchol_solveK's with nrhs = 0 (the same
// schedule): every block's spike rows and link are pchol_solveK's, bit for
// bit, in the block's slot, and the links area past the links is left as it
// was. Half bandwidths with the lane kernels (4, 8) and without (3), a
// shorter last block or none, on one and three threads.
template <class T>
class FactorLevelByLevel : public ::testing::Test {};

using element_types = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;
TYPED_TEST_SUITE(FactorLevelByLevel, element_types);

TYPED_TEST(FactorLevelByLevel, WorkHoldsTheSolvesCouplingsInTheirSlots) {
    using T = TypeParam;
    using family_test::problem;
    constexpr bool cplx = family_test::is_complex<T>::value;
    family_test::use_threads(1);
    auto same = [](const T& x, const T& y) { return std::memcmp(&x, &y, sizeof(T)) == 0; };
    for (const index hbw : {3, 4, 8}) {
        const index br = family_test::rows_per_block(family_test::first_block_size<T>(1), hbw);
        for (const index n : {16 * br, 9 * br + 1, 13 * br - 2}) {
            const family_test::sym_band m = family_test::random_system(n, hbw, static_cast<std::uint64_t>(n + hbw), cplx);
            const level_order order(n, hbw, br);
            for (const family_test::i32 threads : {1, 3}) {
                SCOPED_TRACE(::testing::Message() << "n " << n << " hbw " << hbw << " threads " << threads);
                family_test::use_threads(threads);
                problem<T> solved(m, {}, 0), factored(m, {}, 0);
                solved.solve();
                factored.factor();
                ASSERT_EQ(solved.info, pchol::info_ok);
                ASSERT_EQ(factored.info, pchol::info_ok);
                const T* const links0 = solved.work.data();
                const T* const links1 = factored.work.data();
                const T* const spikes0 = links0 + n * hbw;
                const T* const spikes1 = links1 + n * hbw;
                int wrong = 0;
                for (index b = 1; b <= order.blocks(); ++b) {
                    const index first = (b - 1) * br + 1, last = std::min(b * br, n);
                    const index shift = order.spike_shift(first);
                    for (index q = 0; q < hbw; ++q)
                        for (index r = first; r <= last; ++r)
                            if (!same(spikes1[q * n + r - 1 + shift], spikes0[q * n + r - 1]) && ++wrong <= 5)
                                ADD_FAILURE() << "block " << b << " spike column " << q << " row " << r;
                    if (last == n) continue;
                    const index rows = std::min(hbw, n - last);
                    for (index e = 0; e < rows * hbw; ++e)
                        if (!same(links1[order.link_start(first) + e], links0[last * hbw + e]) && ++wrong <= 5)
                            ADD_FAILURE() << "block " << b << " link element " << e;
                }
                const index slots = n % br != 0 ? order.blocks() - 1 : order.blocks();
                for (index e = slots * hbw * hbw; e < n * hbw; ++e)
                    if (!same(links1[e], family_test::marker<T>()) && ++wrong <= 5)
                        ADD_FAILURE() << "links element " << e << " past the links was written";
            }
        }
    }
}

}  // namespace

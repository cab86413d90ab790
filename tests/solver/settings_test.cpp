#include "pchol/settings.hpp"
#include "pchol/settings_testing.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// The fake affinity query's answer.
bool fake_ok = true;
std::uint32_t fake_process = 0;
std::uint32_t fake_system = 0;
int fake_calls = 0;

bool fake_query(std::uint32_t& process_mask, std::uint32_t& system_mask) {
    ++fake_calls;
    process_mask = fake_process;
    system_mask = fake_system;
    return fake_ok;
}

void use_masks(bool ok, std::uint32_t process, std::uint32_t system) {
    fake_ok = ok;
    fake_process = process;
    fake_system = system;
    fake_calls = 0;
    pchol::set_affinity_query_for_testing(&fake_query);
}

TEST(ProcessorCount, CountsTheBitsOfTheMasks) {
    EXPECT_EQ(pchol::processors_from_masks(true, 0x5u, 0xFFu), 2);
    EXPECT_EQ(pchol::processors_from_masks(true, 0x1u, 0x0u), 1);
    // Every bit counts, the highest one included.
    EXPECT_EQ(pchol::processors_from_masks(true, 0xFFFFFFFFu, 0xFFFFFFFFu), 32);
    EXPECT_EQ(pchol::processors_from_masks(true, 0x80000000u, 0u), 1);
    // A failed query stands for one processor, whatever the masks say.
    EXPECT_EQ(pchol::processors_from_masks(false, 0xFFu, 0xFFu), 1);
    // An empty process mask falls back to the system mask, which may be empty too.
    EXPECT_EQ(pchol::processors_from_masks(true, 0u, 0xF0F0u), 8);
    EXPECT_EQ(pchol::processors_from_masks(true, 0u, 0u), 0);
}

TEST(ProcessorCount, CountProcessorsUsesTheQuery) {
    use_masks(true, 0x5u, 0xFFu);
    std::int32_t count = -7;
    count_processors(count);
    EXPECT_EQ(count, 2);
    use_masks(false, 0u, 0u);
    count_processors(count);
    EXPECT_EQ(count, 1);
}

TEST(ThreadCount, SetIsCappedByProcessorsAndBy32) {
    use_masks(true, 0x3u, 0x3u);
    std::int32_t t = 0;
    set_thread_count(3);
    get_thread_count(t);
    EXPECT_EQ(t, 2);
    set_thread_count(1);
    get_thread_count(t);
    EXPECT_EQ(t, 1);
    EXPECT_EQ(fake_calls, 1) << "the processor count is cached once it is non-zero";

    use_masks(true, 0xFFFFFFFFu, 0xFFFFFFFFu);
    set_thread_count(40);
    get_thread_count(t);
    EXPECT_EQ(t, 32);
}

TEST(ThreadCount, GetDefaultsToTheProcessorCount) {
    use_masks(true, 0xF0u, 0xFFu);
    std::int32_t t = 0;
    get_thread_count(t);
    EXPECT_EQ(t, 4);
    use_masks(true, 0x7u, 0xFFu);
    init_thread_count();
    get_thread_count(t);
    EXPECT_EQ(t, 3);
}

TEST(ThreadCount, ZeroProcessorsIsNotCached) {
    use_masks(true, 0u, 0u);
    set_thread_count(4);
    EXPECT_EQ(fake_calls, 1);
    set_thread_count(4);
    EXPECT_EQ(fake_calls, 2) << "a count of 0 is asked for again";
    // min(4, 0): a thread count of 0 is stored as it is (the solver guards it).
    fake_system = 0x3u;  // the next count sees two processors
    std::int32_t t = -1;
    get_thread_count(t);
    EXPECT_EQ(t, 2) << "a thread count of 0 reads as unset, so get counts the processors again";
}

}  // namespace

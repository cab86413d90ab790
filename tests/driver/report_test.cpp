#include "pchol/report.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace pchol::report;

TEST(Report, SampleRunIsReproducedByteForByte) {
    std::ostringstream out;
    free_form(out, "number of equations: ", 2000000);
    free_form(out, "Half bandwidth: ", 8);
    blank(out);
    with_int2(out, " Processor: ", 1);
    with_fixed82(out, " Elapsed Time (Seconds): ", 3.45f);
    with_fixed82(out, " CPU Time in User Mode (Seconds): ", 3.39f);
    with_fixed82(out, " CPU Time in Kernel Mode (Seconds): ", 0.05f);
    with_fixed82(out, " Total CPU Time (Seconds): ", 3.44f);
    blank(out);
    with_int2(out, " Processors: ", 2);
    with_fixed82(out, " Elapsed Time (Seconds): ", 1.83f);
    blank(out);
    literal(out, " Unable to allocate memory");
    EXPECT_EQ(out.str(),
              " number of equations:      2000000\n"
              " Half bandwidth:            8\n"
              " \n"
              " Processor:  1\n"
              " Elapsed Time (Seconds):     3.45\n"
              " CPU Time in User Mode (Seconds):     3.39\n"
              " CPU Time in Kernel Mode (Seconds):     0.05\n"
              " Total CPU Time (Seconds):     3.44\n"
              " \n"
              " Processors:  2\n"
              " Elapsed Time (Seconds):     1.83\n"
              " \n"
              " Unable to allocate memory\n");
}

TEST(Report, FixedFieldRoundsTheExactBinaryValue) {
    EXPECT_EQ(fixed82_field(0.004f), "    0.00");
    EXPECT_EQ(fixed82_field(0.5f), "    0.50");
    EXPECT_EQ(fixed82_field(12.3456f), "   12.35");
    EXPECT_EQ(fixed82_field(0.0f), "    0.00");
    EXPECT_EQ(fixed82_field(1.5625f), "    1.56");  // exact tie, even digit
    // Exact ties go to the even last digit.
    EXPECT_EQ(fixed82_field(0.125f), "    0.12");
    EXPECT_EQ(fixed82_field(0.375f), "    0.38");
    EXPECT_EQ(fixed82_field(2.625f), "    2.62");
    // Not ties: the float nearest 0.135 lies above it, the one nearest 0.145 below.
    EXPECT_EQ(fixed82_field(0.135f), "    0.14");
    EXPECT_EQ(fixed82_field(0.145f), "    0.14");
    EXPECT_EQ(fixed82_field(-1.5f), "   -1.50");
    EXPECT_EQ(fixed82_field(-0.25f), "   -0.25");
}

TEST(Report, FixedFieldOverflowsToStars) {
    EXPECT_EQ(fixed82_field(99999.99f), "99999.99");  // nearest float is 99999.9921875
    // Floats near 1e5 are 1/128 apart: 99999.995 is not a float, and the
    // first float at or above it is 100000, the first value that overflows.
    EXPECT_EQ(fixed82_field(99999.995f), "99999.99");
    EXPECT_EQ(fixed82_field(100000.0f), "********");
    EXPECT_EQ(fixed82_field(123456.0f), "********");
    EXPECT_EQ(fixed82_field(1e30f), "********");
    EXPECT_EQ(fixed82_field(-9999.99f), "-9999.99");
    EXPECT_EQ(fixed82_field(-10000.0f), "********");
}

TEST(Report, IntegerFields) {
    std::ostringstream out;
    with_int2(out, " Processor: ", 1);
    with_int2(out, " Processors: ", 2);
    with_int2(out, " Processors: ", 10);
    with_int2(out, " Processors: ", 100);
    EXPECT_EQ(out.str(), " Processor:  1\n Processors:  2\n Processors: 10\n Processors: **\n");
    EXPECT_EQ(int_field(-5, 2), "-5");
    EXPECT_EQ(int_field(-10, 2), "**");
    EXPECT_EQ(int_field(-2147483647 - 1, 12), " -2147483648");
    EXPECT_EQ(int_field(0, 12), "           0");
}

}  // namespace

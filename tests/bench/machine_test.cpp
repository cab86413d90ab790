#include "pchol/compare.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace pchol::compare;

// Two sockets of two cores with two threads each, listed as Linux does.
std::string x86_cpuinfo() {
    std::string text;
    int processor = 0;
    for (int socket = 0; socket < 2; ++socket)
        for (int thread = 0; thread < 2; ++thread)
            for (int core = 0; core < 2; ++core) {
                text += "processor\t: " + std::to_string(processor++) + "\n";
                text += "vendor_id\t: GenuineIntel\n";
                text += "cpu family\t: 6\n";
                text += "model\t\t: 106\n";
                text += "model name\t: Example(R) CPU @ 2.30GHz\n";
                text += "stepping\t: 6\n";
                text += "physical id\t: " + std::to_string(socket) + "\n";
                text += "siblings\t: 4\n";
                text += "core id\t\t: " + std::to_string(core) + "\n";
                text += "cpu cores\t: 2\n";
                text += "flags\t\t: fpu vme mmx fxsr sse sse2 ht syscall nx pni ssse3 fma cx16 sse4_1 sse4_2 avx "
                        "f16c avx2 avx512f avx512bw avx512_vnni avx_vnni amx_tile sha_ni\n\n";
            }
    return text;
}

TEST(CompareMachine, CountsSocketsCoresAndThreadsPerCore) {
    const cpu_facts cpu = parse_cpuinfo(x86_cpuinfo());
    EXPECT_EQ(cpu.model, "Example(R) CPU @ 2.30GHz");
    // "model" is its own key, not the start of "model name".
    EXPECT_EQ(cpu.family, "6");
    EXPECT_EQ(cpu.model_number, "106");
    EXPECT_EQ(cpu.stepping, "6");
    EXPECT_EQ(cpu.logical, 8);
    EXPECT_EQ(cpu.sockets, 2);
    EXPECT_EQ(cpu.cores, 4);
    EXPECT_EQ(cpu.threads_per_core, 2);
}

TEST(CompareMachine, KeepsOnlyVectorExtensionsInTheirOrder) {
    const cpu_facts cpu = parse_cpuinfo(x86_cpuinfo());
    const std::vector<std::string> expected = {"mmx",  "sse",  "sse2",    "ssse3",   "fma",         "sse4_1",
                                               "sse4_2", "avx", "f16c", "avx2", "avx512f", "avx512bw",
                                               "avx512_vnni", "avx_vnni", "amx_tile"};
    EXPECT_EQ(cpu.vector_extensions, expected);
}

TEST(CompareMachine, ArmFeaturesWithoutTopology) {
    const cpu_facts cpu = parse_cpuinfo("processor\t: 0\nBogoMIPS\t: 50.00\n"
                                        "Features\t: fp asimd evtstrm aes crc32 asimddp sve sve2 svebf16\n\n"
                                        "processor\t: 1\nFeatures\t: fp asimd\n");
    EXPECT_EQ(cpu.logical, 2);
    EXPECT_TRUE(cpu.model.empty());
    EXPECT_TRUE(cpu.family.empty());
    EXPECT_TRUE(cpu.model_number.empty());
    EXPECT_EQ(cpu.cores, 0);
    EXPECT_EQ(cpu.threads_per_core, 0);
    EXPECT_EQ(cpu.vector_extensions, (std::vector<std::string>{"asimd", "asimddp", "sve", "sve2", "svebf16"}));
}

TEST(CompareMachine, NothingKnownFromNothing) {
    const cpu_facts cpu = parse_cpuinfo("");
    EXPECT_EQ(cpu.logical, 0);
    EXPECT_EQ(cpu.sockets, 0);
    EXPECT_TRUE(cpu.vector_extensions.empty());
    EXPECT_EQ(parse_meminfo_total(""), 0);
    EXPECT_EQ(parse_meminfo_total("MemFree: 12 kB\n"), 0);
}

TEST(CompareMachine, MemoryTotalInBytes) {
    EXPECT_EQ(parse_meminfo_total("MemTotal:       24576000 kB\nMemFree:        100 kB\n"), 24576000LL * 1024);
    EXPECT_EQ(parse_meminfo_total("MemFree: 1 kB\nMemTotal: 2048 kB"), 2048LL * 1024);
}

TEST(CompareMachine, TimestampIsUtcIso8601) {
    const std::string t = utc_timestamp();
    ASSERT_EQ(t.size(), 20u) << t;
    EXPECT_EQ(t[4], '-');
    EXPECT_EQ(t[10], 'T');
    EXPECT_EQ(t.back(), 'Z');
}

}  // namespace

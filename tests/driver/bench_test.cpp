#include "pchol/bench.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <streambuf>
#include <string>
#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#else
#include <sys/wait.h>
#endif
#include <vector>

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

pchol::bench::setup small_setup(std::int32_t processors) {
    pchol::bench::setup s;
    s.n = 300;
    s.hbw = 4;
    s.nrhs = 1;
    s.processors = processors;
    return s;
}

// A solver stand-in that records what each call saw.
struct call_record {
    std::vector<float> A, B;
};
std::vector<call_record> calls;
std::int32_t recorded_n = 0, recorded_hbw = 0;

void recording_solve(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B, const std::int32_t&,
                     float* WORK, std::int32_t& info) {
    const std::size_t band = static_cast<std::size_t>(n) + static_cast<std::size_t>(n - 1) * static_cast<std::size_t>(hbw);
    calls.push_back({std::vector<float>(A, A + band), std::vector<float>(B, B + n)});
    recorded_n = n;
    recorded_hbw = hbw;
    // Leave damage behind, as a real solve overwrites A, B and WORK.
    for (std::size_t p = 0; p < band; ++p) A[p] = -1.0f;
    for (std::int32_t k = 0; k < n; ++k) B[k] = -2.0f;
    for (std::size_t p = 0; p < 2 * static_cast<std::size_t>(n) * static_cast<std::size_t>(hbw); ++p) WORK[p] = -3.0f;
    info = -1;  // a failing solve is still timed and printed
}

// Stand-ins that return info 0: one copies the exact solution, which the
// workspace keeps right after B, into B; the other is off by 0.01 in one entry.
void oracle_solve(float*, const std::int32_t& n, const std::int32_t&, float* B, const std::int32_t& nrhs, float*,
                  std::int32_t& info) {
    const std::int64_t count = static_cast<std::int64_t>(n) * nrhs;
    for (std::int64_t k = 0; k < count; ++k) B[k] = B[count + k];
    info = 0;
}

void slightly_wrong_solve(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B,
                          const std::int32_t& nrhs, float* WORK, std::int32_t& info) {
    oracle_solve(A, n, hbw, B, nrhs, WORK, info);
    B[n / 2] += 0.01f;
}

float* failing_allocate(std::size_t) { return nullptr; }

// One of the four time lines: its literal, then 8 characters of blanks,
// digits and a point.
bool is_time_line(const std::string& line) {
    for (const char* literal : {" Elapsed Time (Seconds): ", " CPU Time in User Mode (Seconds): ",
                                " CPU Time in Kernel Mode (Seconds): ", " Total CPU Time (Seconds): "}) {
        const std::string prefix(literal);
        if (line.size() != prefix.size() + 8 || line.compare(0, prefix.size(), prefix) != 0) continue;
        return line.find_first_not_of(" 0123456789.", prefix.size()) == std::string::npos;
    }
    return false;
}

TEST(Bench, WorkspaceLengthMatchesTheFixedSizes) {
    EXPECT_EQ(pchol::bench::workspace_length(2000000, 8, 1), 53999993);
    EXPECT_EQ(pchol::bench::workspace_length(2000000, 8, 1) * 4, 215999972);
    EXPECT_EQ(pchol::bench::workspace_length(200000000, 8, 1), -1) << "does not fit a 4-byte count";
}

TEST(Bench, NoProcessorsGivesHeadersAndOneBlankLine) {
    std::ostringstream out;
    EXPECT_EQ(pchol::bench::run(small_setup(0), out), 0);
    EXPECT_EQ(out.str(), " number of equations:          300\n Half bandwidth:            4\n \n");
}

TEST(Bench, OneProcessorUsesTheSingular) {
    std::ostringstream out;
    EXPECT_EQ(pchol::bench::run(small_setup(1), out), 0);
    const auto lines = lines_of(out.str());
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[2], " ");
    EXPECT_EQ(lines[3], " Processor:  1");
    for (int k = 4; k < 8; ++k) EXPECT_TRUE(is_time_line(lines[static_cast<std::size_t>(k)])) << lines[static_cast<std::size_t>(k)];
    EXPECT_EQ(lines[8], " ");
}

TEST(Bench, FailedAllocationPrintsThreeLinesAndFails) {
    std::ostringstream out;
    auto s = small_setup(2);
    s.allocate = failing_allocate;
    EXPECT_EQ(pchol::bench::run(s, out), 1);
    EXPECT_EQ(out.str(), " number of equations:          300\n Half bandwidth:            4\n Unable to allocate memory\n");

    std::ostringstream overflow;
    s = small_setup(2);
    s.n = 2000000000;
    EXPECT_EQ(pchol::bench::run(s, overflow), 1);
    EXPECT_EQ(lines_of(overflow.str()).back(), " Unable to allocate memory");
}

TEST(Bench, EveryRunSolvesTheSameFreshSystem) {
    calls.clear();
    std::ostringstream out;
    auto s = small_setup(3);
    s.solve = recording_solve;
    EXPECT_EQ(pchol::bench::run(s, out), 1) << "the stand-in reports a failed pivot";
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(recorded_n, 300);
    EXPECT_EQ(recorded_hbw, 4);
    EXPECT_EQ(calls[0].A[0], 10.0f) << "the solver gets the test system";
    for (std::size_t i = 1; i < calls.size(); ++i) {
        EXPECT_TRUE(calls[i].A == calls[0].A) << "run " << i + 1;
        EXPECT_TRUE(calls[i].B == calls[0].B) << "run " << i + 1;
    }
}

TEST(Bench, FailedSolvesAreReportedAfterTheirTimes) {
    calls.clear();
    std::ostringstream out;
    auto s = small_setup(2);
    s.solve = recording_solve;  // reports info = -1
    EXPECT_EQ(pchol::bench::run(s, out), 1);
    const auto lines = lines_of(out.str());
    ASSERT_EQ(lines.size(), 2u + 2u * 7u + 1u);
    EXPECT_TRUE(is_time_line(lines[7]));
    EXPECT_EQ(lines[8], " Solver failed with info = -1");
    EXPECT_EQ(lines[10], " Processors:  2");
    EXPECT_EQ(lines[15], " Solver failed with info = -1");
    EXPECT_EQ(lines[16], " ");

    std::ostringstream wrong;
    s.solve = slightly_wrong_solve;
    s.processors = 1;
    EXPECT_EQ(pchol::bench::run(s, wrong), 1);
    const auto wrong_lines = lines_of(wrong.str());
    ASSERT_EQ(wrong_lines.size(), 10u);
    EXPECT_EQ(wrong_lines[8].rfind(" Solution check failed, max abs error = 1.0", 0), 0u) << wrong_lines[8];
    EXPECT_EQ(wrong_lines[8].size(), std::string(" Solution check failed, max abs error = ").size() + 9);
}

TEST(Bench, CorrectSolvesPrintExactlyTheReport) {
    std::ostringstream out;
    auto s = small_setup(2);
    s.solve = oracle_solve;
    EXPECT_EQ(pchol::bench::run(s, out), 0);
    EXPECT_EQ(lines_of(out.str()).size(), 2u + 2u * 6u + 1u);
}

// A solver stand-in that could not start its worker threads.
void short_of_threads_solve(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B,
                            const std::int32_t& nrhs, float* WORK, std::int32_t& info) {
    oracle_solve(A, n, hbw, B, nrhs, WORK, info);
    info = -3;
}

TEST(Bench, MissingThreadsAreNamedInTheFailureLine) {
    std::ostringstream out;
    auto s = small_setup(2);
    s.solve = short_of_threads_solve;
    EXPECT_EQ(pchol::bench::run(s, out), 1);
    const auto lines = lines_of(out.str());
    ASSERT_EQ(lines.size(), 2u + 2u * 7u + 1u);
    EXPECT_EQ(lines[8], " Solver failed with info = -3: a thread or synchronisation object could not be created,"
                        " so the times above are not those of 1 thread");
    EXPECT_EQ(lines[15], " Solver failed with info = -3: a thread or synchronisation object could not be created,"
                         " so the times above are not those of 2 threads");
}

// A stream buffer that keeps what was written and records it at every
// flush, or refuses every write.
class recording_buffer : public std::stringbuf {
public:
    explicit recording_buffer(bool refuse = false) : refuse_(refuse) {}
    std::vector<std::string> flushed;

protected:
    int sync() override {
        flushed.push_back(str());
        return 0;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override { return refuse_ ? 0 : std::stringbuf::xsputn(s, n); }
    int_type overflow(int_type c) override { return refuse_ ? traits_type::eof() : std::stringbuf::overflow(c); }

private:
    bool refuse_;
};

int oracle_calls = 0;
void counting_oracle_solve(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B,
                           const std::int32_t& nrhs, float* WORK, std::int32_t& info) {
    ++oracle_calls;
    oracle_solve(A, n, hbw, B, nrhs, WORK, info);
}

TEST(Bench, EachRunIsFlushedBeforeTheNext) {
    recording_buffer buffer;
    std::ostream out(&buffer);
    auto s = small_setup(3);
    s.solve = oracle_solve;
    EXPECT_EQ(pchol::bench::run(s, out), 0);
    ASSERT_GE(buffer.flushed.size(), 3u);
    for (std::size_t run = 0; run < 3; ++run)
        EXPECT_EQ(lines_of(buffer.flushed[run]).size(), 2u + 6u * (run + 1)) << "after run " << run + 1;
}

TEST(Bench, AFailedWriteStopsTheRunsAndFails) {
    recording_buffer refusing(true);
    std::ostream out(&refusing);
    std::ostringstream err;
    auto s = small_setup(3);
    s.solve = counting_oracle_solve;
    oracle_calls = 0;
    EXPECT_EQ(pchol::bench::run(s, out, err), 1);
    EXPECT_EQ(oracle_calls, 1) << "the runs stop once the report is lost";
    EXPECT_EQ(err.str(), "pchol_bench: the report could not be written\n");

    std::ostream refused_at_once(&refusing);
    std::ostringstream err2;
    s.allocate = failing_allocate;
    EXPECT_EQ(pchol::bench::run(s, refused_at_once, err2), 1);
    EXPECT_EQ(err2.str(), "pchol_bench: the report could not be written\n");
}

#ifndef _WIN32
// The executable with standard output on a full device, and closed: exit
// status 1 and a line on standard error (read here through the pipe).
TEST(Bench, ExecutableFailsWhenItsOutputCannotBeWritten) {
    for (const char* redirect : {" 2>&1 >/dev/full", " 2>&1 >&-"}) {
        FILE* pipe = popen((std::string(PCHOL_BENCH_EXE) + redirect).c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string text;
        char buffer[4096];
        for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, got);
        const int status = pclose(pipe);
        ASSERT_TRUE(WIFEXITED(status)) << redirect;
        EXPECT_EQ(WEXITSTATUS(status), 1) << redirect;
        EXPECT_EQ(text, "pchol_bench: the report could not be written\n") << redirect;
    }
}
#endif

TEST(Bench, ExecutablePrintsTheWholeReport) {
#ifdef _WIN32
    const std::string command = PCHOL_BENCH_EXE;
#else
    // Quoted for the shell: the build folder's path may hold spaces.
    const std::string command = std::string("'") + PCHOL_BENCH_EXE + "'";
#endif
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char buffer[4096];
    for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, got);
    const int status = pclose(pipe);
#ifdef _WIN32
    EXPECT_EQ(status, 0);  // the exit code itself
#else
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif

    const auto lines = lines_of(text);
    ASSERT_GE(lines.size(), 9u);
    EXPECT_EQ(lines[0], " number of equations:      2000000");
    EXPECT_EQ(lines[1], " Half bandwidth:            8");
    const std::size_t runs = (lines.size() - 3) / 6;
    ASSERT_EQ(lines.size(), 3 + 6 * runs) << text;
    for (std::size_t i = 0; i < runs; ++i) {
        const std::size_t at = 2 + 6 * i;
        EXPECT_EQ(lines[at], " ");
        const std::string count = std::to_string(i + 1);
        EXPECT_EQ(lines[at + 1], (i == 0 ? " Processor: " : " Processors: ") + std::string(count.size() < 2 ? " " : "") + count);
        for (std::size_t k = 2; k < 6; ++k) EXPECT_TRUE(is_time_line(lines[at + k])) << lines[at + k];
    }
    EXPECT_EQ(lines.back(), " ");
}

}  // namespace

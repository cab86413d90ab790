// The benchmark: builds the test system once per thread count from 1 to the
// processor count, times one solve of it and prints the times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <ostream>

namespace pchol::bench {

using solve_routine = void (*)(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B,
                               const std::int32_t& nrhs, float* WORK, std::int32_t& info);
// Returns storage for the given number of floats, or nullptr.
using allocate_routine = float* (*)(std::size_t elements);
using release_routine = void (*)(float* storage);

struct setup {
    std::int32_t n = 2000000;
    std::int32_t hbw = 8;
    std::int32_t nrhs = 1;
    std::int32_t processors = 1;  // the loop bound: runs with 1 .. processors threads
    solve_routine solve = nullptr;
    allocate_routine allocate = nullptr;  // nullptr: the default allocator
    release_routine release = nullptr;
};

// Runs the whole benchmark, printing the report on out, and returns the
// process exit status: 0 for a complete run whose solves all passed their
// check, 1 when
//   - the workspace could not be allocated (the report ends with
//     " Unable to allocate memory");
//   - a solve failed its check: info was not 0 (with info_no_resources the
//     run was timed on fewer threads than its count, or not solved at all)
//     or the solution is off (a failure line follows that run's times; the
//     other runs go on);
//   - the report could not be written (a full disk, a closed output): the
//     runs stop and one line on err says so.
// out is flushed after each run's lines.
int run(const setup& s, std::ostream& out, std::ostream& err = std::cerr);

// The workspace length in floats, or -1 when it does not fit a 4-byte count:
// the band, B, X and the solver's scratch, back to back.
std::int64_t workspace_length(std::int32_t n, std::int32_t hbw, std::int32_t nrhs);

}  // namespace pchol::bench

// The program: fixed sizes, standard output, the real processor count. Ends
// the process.
[[noreturn]] void bench_main();

// Releases the threading library's own objects at the end of the program.
void bench_cleanup();

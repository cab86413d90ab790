// The comparison program's front end, apart from the solvers it times: its
// command line, the facts about the machine it prints, the statistics of the
// samples and the three report formats (text, CSV, JSON). Nothing here needs
// LAPACK, so the tests build it everywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pchol::compare {

// ---- Command line -------------------------------------------------------------------

// Element types, in the order a run measures them.
enum class element { s, d, c, z };
// The kinds of contender, in the order a run lists them within one element
// type. lapack: ?pbtrf + ?pbtrs. block: pchol_solveK, the block cyclic
// reduction. pipelined: pchol_pipelined_solveK. check: the pipelined driver
// factoring only (nrhs = 0), then LAPACK's ?pbtrs('L') solving with the
// factor it leaves, which is LAPACK's lower band storage as it stands.
// pbtrs: ?pbtrs alone on the factor ?pbtrf left (factored untimed), the
// baseline of factored: pchol_factored_solveK on the factor pchol_factorK
// left (factored untimed).
enum class method { lapack, block, pipelined, check, pbtrs, factored };
enum class format { text, csv, json };

struct options {
    std::vector<std::int32_t> threads;  // ascending, no repeats; empty: 1 .. processors
    std::int32_t n = 2000000;
    std::int32_t hbw = 8;
    std::int32_t nrhs = 1;
    std::vector<element> types{element::s, element::d};
    std::vector<method> methods{method::lapack, method::block};
    std::int32_t rounds = 9;
    std::int32_t warmup = 1;  // untimed rounds before the timed ones
    format out = format::text;
    std::string output;       // empty: standard output
    std::string json_output;  // besides the chosen format, the JSON report to this file
    bool wide = false;        // text: also the maximum, the spread and the speedup
};

// What the command line asks for: a run, the usage text (--help), or an
// error with its message (the program then exits with status 2).
struct parsed_options {
    enum class action { run, help, error } what = action::run;
    options opts;
    std::string message;
};

parsed_options parse_options(const std::vector<std::string>& args);
std::string usage_text();

// "1,2,4", "1-4", "1-3,8": thread counts from 1 to max, ascending without
// repeats; nullopt when the list is malformed or out of range.
std::optional<std::vector<std::int32_t>> parse_count_list(std::string_view text, std::int32_t max);

char element_code(element e);        // 's', 'd', 'c', 'z'
const char* element_label(element e);  // "float", "double", "complex float", "complex double"
const char* method_name(method m);     // "lapack", "block", "pipelined", "check", "pbtrs", "factored"

// ---- Machine facts -------------------------------------------------------------------

struct cpu_facts {
    std::string model;                           // empty when unknown
    // x86's "cpu family", "model" and "stepping" numbers, as listed (empty
    // when unknown): they tell apart processors that a virtual machine names
    // alike ("AMD EPYC" for several generations).
    std::string family, model_number, stepping;
    std::int32_t logical = 0;                    // processors the system lists
    std::int32_t sockets = 0, cores = 0;         // 0 when unknown
    std::int32_t threads_per_core = 0;           // 0 when unknown
    std::vector<std::string> vector_extensions;  // in the order the system lists them
};

// From the text of /proc/cpuinfo (x86 "flags" or Arm "Features").
cpu_facts parse_cpuinfo(std::string_view text);
// The "MemTotal" of /proc/meminfo in bytes; 0 when absent.
std::int64_t parse_meminfo_total(std::string_view text);

struct machine_facts {
    cpu_facts cpu;
    std::int64_t memory_bytes = 0;  // 0 when unknown
};
machine_facts read_machine_facts();

// The current time in UTC, "2026-01-31T12:00:00Z".
std::string utc_timestamp();

// ---- Samples and their statistics ----------------------------------------------------

struct spread {
    double median = 0, min = 0, max = 0;
    double iqr = 0;  // third quartile minus first, quartiles interpolated linearly
};
spread summarize(std::vector<double> samples);

// One contender's record: a row of every report.
struct row {
    std::string name;   // "pchol_solve4, 2 threads"
    method kind = method::block;
    element type = element::s;
    std::string entry;  // "pchol_solve4", "spbtrf+spbtrs"
    std::int32_t threads = 1;
    std::vector<double> seconds;  // one per timed round
    std::vector<std::int32_t> info;  // one per timed round
    double max_error = 0;  // largest |x - x_exact| over every timed round

    // Filled by finish_rows.
    spread stats;
    std::optional<double> ratio;    // median / the LAPACK median of the same type
    std::optional<double> speedup;  // the same contender's median at the fewest threads / this median
};

// The ratio to LAPACK and the speedup of every row.
void finish_rows(std::vector<row>& rows);

// The number of timed rounds whose info was not 0, and the first such info.
std::int32_t failed_rounds(const row& r);
std::int32_t first_failed_info(const row& r);

// ---- Reports ---------------------------------------------------------------------------

struct lapack_facts {
    std::string link;     // the libraries the build linked, as CMake found them
    std::string library;  // the file the routines were loaded from, links resolved
    std::string version;  // "3.11.0"; empty when the library cannot tell
};

struct build_facts {
    std::string compiler, flags;
    std::string version;  // the project's version
    std::string commit;   // empty when not built from a git checkout
};

struct report {
    options opts;
    std::int32_t processors = 0;  // available to the process, as the solver counts them
    machine_facts machine;
    build_facts build;
    lapack_facts lapack;
    std::string date;
    std::vector<row> rows;
};

std::string format_text(const report& r);
std::string format_csv(const report& r);
std::string format_json(const report& r);

}  // namespace pchol::compare

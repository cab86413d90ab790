// The comparison program's command line.
#include "pchol/compare.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>

namespace pchol::compare {
namespace {

// The solver runs at most this many threads.
constexpr std::int32_t thread_cap = 32;

std::optional<std::int64_t> parse_integer(std::string_view text) {
    std::int64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [last, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || last != end) return std::nullopt;
    return value;
}

std::optional<std::int32_t> parse_bounded(std::string_view text, std::int64_t low, std::int64_t high) {
    const std::optional<std::int64_t> v = parse_integer(text);
    if (!v || *v < low || *v > high) return std::nullopt;
    return static_cast<std::int32_t>(*v);
}

// Splits "a,b,c" into its items; an empty item stays (and is refused later).
std::vector<std::string_view> split_commas(std::string_view text) {
    std::vector<std::string_view> items;
    for (;;) {
        const std::size_t comma = text.find(',');
        items.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) return items;
        text.remove_prefix(comma + 1);
    }
}

template <class E>
struct named {
    const char* name;
    E value;
};

constexpr named<element> element_names[] = {
    {"s", element::s}, {"d", element::d}, {"c", element::c}, {"z", element::z}};
constexpr named<method> method_names[] = {
    {"lapack", method::lapack}, {"block", method::block}, {"pipelined", method::pipelined}, {"check", method::check},
    {"pbtrs", method::pbtrs},   {"factored", method::factored}};
constexpr named<format> format_names[] = {{"text", format::text}, {"csv", format::csv}, {"json", format::json}};

// A comma list of names (or "all") into the values in their canonical order.
template <class E, std::size_t N>
std::optional<std::vector<E>> parse_names(std::string_view text, const named<E> (&table)[N]) {
    std::vector<bool> chosen(N, false);
    for (std::string_view item : split_commas(text)) {
        if (item == "all") {
            std::fill(chosen.begin(), chosen.end(), true);
            continue;
        }
        const auto hit = std::find_if(std::begin(table), std::end(table),
                                      [item](const named<E>& e) { return item == e.name; });
        if (hit == std::end(table)) return std::nullopt;
        chosen[static_cast<std::size_t>(hit - std::begin(table))] = true;
    }
    std::vector<E> values;
    for (std::size_t k = 0; k < N; ++k)
        if (chosen[k]) values.push_back(table[k].value);
    return values;
}

parsed_options failure(std::string message) {
    parsed_options p;
    p.what = parsed_options::action::error;
    p.message = std::move(message);
    return p;
}

// The solver counts the band, its scratch and the right-hand sides in 32 bits.
std::optional<std::string> size_problem(const options& o) {
    constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    const std::int64_t n = o.n, hbw = o.hbw;
    if (hbw >= n) return "--hbw must be below --n";
    if ((n - 1) * hbw + n > limit || 2 * n * hbw > limit || n * o.nrhs > limit)
        return "the band, the scratch or the right-hand sides pass 2^31 - 1 elements: choose a smaller --n, --hbw or --nrhs";
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::int32_t>> parse_count_list(std::string_view text, std::int32_t max) {
    std::vector<std::int32_t> counts;
    for (std::string_view item : split_commas(text)) {
        const std::size_t dash = item.find('-');
        const std::optional<std::int32_t> low = parse_bounded(item.substr(0, dash), 1, max);
        std::optional<std::int32_t> high = low;
        if (dash != std::string_view::npos) high = parse_bounded(item.substr(dash + 1), 1, max);
        if (!low || !high || *high < *low) return std::nullopt;
        for (std::int32_t t = *low; t <= *high; ++t) counts.push_back(t);
    }
    std::sort(counts.begin(), counts.end());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    return counts;
}

parsed_options parse_options(const std::vector<std::string>& args) {
    parsed_options p;
    options& o = p.opts;
    constexpr std::int64_t i32_max = std::numeric_limits<std::int32_t>::max();
    for (std::size_t k = 0; k < args.size(); ++k) {
        std::string flag = args[k];
        std::optional<std::string> inline_value;
        if (const std::size_t eq = flag.find('='); flag.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = flag.substr(eq + 1);
            flag.resize(eq);
        }
        if (flag == "--help" || flag == "-h") {
            p.what = parsed_options::action::help;
            return p;
        }
        if (flag == "--wide") {
            if (inline_value) return failure("--wide takes no value");
            o.wide = true;
            continue;
        }
        // The first argument may be the round count, as the program has
        // always taken it.
        if (k == 0 && flag.rfind("-", 0) != 0) {
            const std::optional<std::int32_t> r = parse_bounded(flag, 1, i32_max);
            if (!r) return failure("the round count must be a whole number from 1: '" + flag + "'");
            o.rounds = *r;
            continue;
        }
        const auto value_of = [&]() -> std::optional<std::string> {
            if (inline_value) return inline_value;
            if (k + 1 < args.size()) return args[++k];
            return std::nullopt;
        };
        const bool known = flag == "--threads" || flag == "--n" || flag == "--hbw" || flag == "--nrhs" ||
                           flag == "--type" || flag == "--rounds" || flag == "--warmup" || flag == "--contenders" ||
                           flag == "--format" || flag == "--output" || flag == "--json";
        if (!known) return failure((flag.rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") + args[k] + "'");
        const std::optional<std::string> value = value_of();
        if (!value) return failure(flag + " needs a value");
        const std::string bad = "bad value '" + *value + "' for " + flag;
        if (flag == "--threads") {
            auto t = parse_count_list(*value, thread_cap);
            if (!t) return failure(bad + ": give counts from 1 to 32 as 1,2,4 or 1-4");
            o.threads = std::move(*t);
        } else if (flag == "--n" || flag == "--hbw" || flag == "--nrhs" || flag == "--rounds" ||
                   flag == "--warmup") {
            const std::int64_t low = flag == "--warmup" ? 0 : 1;
            const std::optional<std::int32_t> v = parse_bounded(*value, low, i32_max);
            if (!v) return failure(bad + ": give a whole number from " + std::to_string(low));
            std::int32_t& target = flag == "--n"       ? o.n
                                   : flag == "--hbw"    ? o.hbw
                                   : flag == "--nrhs"   ? o.nrhs
                                   : flag == "--rounds" ? o.rounds
                                                        : o.warmup;
            target = *v;
        } else if (flag == "--type") {
            auto t = parse_names(*value, element_names);
            if (!t) return failure(bad + ": give s, d, c, z, a comma list of them, or all");
            o.types = std::move(*t);
        } else if (flag == "--contenders") {
            auto m = parse_names(*value, method_names);
            if (!m) return failure(bad + ": give lapack, block, pipelined, check, pbtrs, factored, a comma list of them, or all");
            o.methods = std::move(*m);
        } else if (flag == "--format") {
            auto f = parse_names(*value, format_names);
            if (!f || f->size() != 1 || *value == "all") return failure(bad + ": give text, csv or json");
            o.out = f->front();
        } else {
            if (value->empty()) return failure(flag + " needs a file name");
            (flag == "--output" ? o.output : o.json_output) = *value;
        }
    }
    if (const std::optional<std::string> problem = size_problem(o)) return failure(*problem);
    return p;
}

std::string usage_text() {
    return "Usage: compare_lapack [ROUNDS] [options]\n"
           "\n"
           "Times the parallel banded solver against LAPACK's serial banded Cholesky on\n"
           "the benchmark's system, the contenders taking turns round after round.\n"
           "\n"
           "  --threads LIST      thread counts, as 1,2,4 or 1-4 or 1-2,8 (default: 1 to\n"
           "                      the processors available; counts above them are left out)\n"
           "  --n N               equations (default 2000000)\n"
           "  --hbw K             half bandwidth (default 8)\n"
           "  --nrhs R            right-hand sides (default 1)\n"
           "  --type LIST         element types: s (float), d (double), c (complex float),\n"
           "                      z (complex double), a comma list, or all (default s,d)\n"
           "  --contenders LIST   lapack (?pbtrf+?pbtrs), block (pchol_solveK), pipelined\n"
           "                      (pchol_pipelined_solveK), check (the pipelined factor\n"
           "                      solved by ?pbtrs), pbtrs (?pbtrs alone on ?pbtrf's factor),\n"
           "                      factored (pchol_factored_solveK on pchol_factorK's factor),\n"
           "                      a comma list, or all (default lapack,block)\n"
           "  ROUNDS, --rounds R  timed rounds (default 9)\n"
           "  --warmup W          untimed rounds before them (default 1)\n"
           "  --format F          text, csv or json (default text)\n"
           "  --output FILE       write the report to FILE instead of standard output\n"
           "  --json FILE         also write the JSON report to FILE\n"
           "  --wide              text: also the maximum, the interquartile range and the\n"
           "                      speedup over the fewest threads\n"
           "  --help              this text\n"
           "\n"
           "Options take their value as --n 20000 or --n=20000. An unknown option or a bad\n"
           "value ends the program with status 2. Progress goes to standard error when it\n"
           "is a terminal.\n";
}

char element_code(element e) {
    return element_names[static_cast<int>(e)].name[0];
}

const char* element_label(element e) {
    constexpr const char* labels[] = {"float", "double", "complex float", "complex double"};
    return labels[static_cast<int>(e)];
}

const char* method_name(method m) {
    return method_names[static_cast<int>(m)].name;
}

}  // namespace pchol::compare

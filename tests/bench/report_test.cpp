#include "pchol/compare.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace pchol::compare;

// A strict JSON reader that only says whether the text is one well-formed
// value, and counts the objects that hold a given key.
class json_checker {
public:
    explicit json_checker(std::string text) : s_(std::move(text)) {}
    bool valid() {
        pos_ = 0;
        if (!value()) return false;
        skip();
        return pos_ == s_.size();
    }

private:
    std::string s_;
    std::size_t pos_ = 0;

    void skip() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    bool eat(char c) {
        skip();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool literal(const char* word) {
        const std::string w(word);
        if (s_.compare(pos_, w.size(), w) != 0) return false;
        pos_ += w.size();
        return true;
    }
    bool string() {
        if (!eat('"')) return false;
        while (pos_ < s_.size()) {
            const char c = s_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                if (pos_ >= s_.size()) return false;
                const char e = s_[pos_++];
                if (e == 'u') {
                    for (int k = 0; k < 4; ++k)
                        if (pos_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[pos_++]))) return false;
                } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                    return false;
                }
            }
        }
        return false;
    }
    bool number() {
        const std::size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        const auto digits = [&] {
            const std::size_t from = pos_;
            while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
            return pos_ > from;
        };
        if (!digits()) return false;
        if (pos_ < s_.size() && s_[pos_] == '.' && (++pos_, !digits())) return false;
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            if (!digits()) return false;
        }
        return pos_ > start;
    }
    bool value() {
        skip();
        if (pos_ >= s_.size()) return false;
        const char c = s_[pos_];
        if (c == '{') {
            ++pos_;
            if (eat('}')) return true;
            do {
                skip();
                if (!string() || !eat(':') || !value()) return false;
            } while (eat(','));
            return eat('}');
        }
        if (c == '[') {
            ++pos_;
            if (eat(']')) return true;
            do {
                if (!value()) return false;
            } while (eat(','));
            return eat(']');
        }
        if (c == '"') return string();
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        return number();
    }
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Splits one CSV record, honouring quoted fields with doubled quotes.
std::vector<std::string> csv_fields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t k = 0; k < line.size(); ++k) {
        const char c = line[k];
        if (quoted && c == '"' && k + 1 < line.size() && line[k + 1] == '"') {
            fields.back() += '"';
            ++k;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

row make_row(std::string name, method kind, element type, std::int32_t threads, std::vector<double> seconds) {
    row r;
    r.name = std::move(name);
    r.kind = kind;
    r.type = type;
    r.entry = "entry";
    r.threads = threads;
    r.info.assign(seconds.size(), 0);
    r.seconds = std::move(seconds);
    r.max_error = 1e-6;
    return r;
}

// A finished report of two element types, as the program would make it.
report sample_report() {
    report r;
    r.opts.n = 20000;
    r.opts.rounds = 3;
    r.opts.threads = {1, 2};
    r.processors = 2;
    r.machine.cpu.model = "Test CPU \"X\" \\ 2.0 GHz";
    r.machine.cpu.logical = 2;
    r.machine.cpu.sockets = 1;
    r.machine.cpu.cores = 2;
    r.machine.cpu.threads_per_core = 1;
    r.machine.cpu.vector_extensions = {"sse2", "avx2"};
    r.machine.memory_bytes = std::int64_t{8} << 30;
    r.build = {"GNU 12.2.0", "-O3 -DNDEBUG", "0.1.0", "abc123"};
    r.lapack = {"/usr/lib/liblapack.so", "/usr/lib/lapack/liblapack.so.3.11.0", "3.11.0"};
    r.date = "2026-01-31T12:00:00Z";
    r.rows.push_back(make_row("LAPACK spbtrf+spbtrs (float)", method::lapack, element::s, 1, {0.2, 0.1, 0.3}));
    r.rows.push_back(make_row("pchol_solve4, 1 thread", method::block, element::s, 1, {0.4, 0.4, 0.4}));
    r.rows.push_back(make_row("pchol_solve4, 2 threads", method::block, element::s, 2, {0.25, 0.2, 0.3}));
    r.rows.push_back(make_row("pchol_solve3, 1 thread", method::block, element::d, 1, {0.5, 0.5, 0.5}));
    r.rows.back().info = {0, -1, -1};
    r.rows.back().max_error = std::numeric_limits<double>::quiet_NaN();
    finish_rows(r.rows);
    return r;
}

TEST(CompareStatistics, MedianExtremesAndInterquartileRange) {
    const spread odd = summarize({5, 1, 4, 2, 3});
    EXPECT_DOUBLE_EQ(odd.median, 3);
    EXPECT_DOUBLE_EQ(odd.min, 1);
    EXPECT_DOUBLE_EQ(odd.max, 5);
    EXPECT_DOUBLE_EQ(odd.iqr, 2);  // quartiles 2 and 4
    const spread even = summarize({4, 1, 3, 2});
    EXPECT_DOUBLE_EQ(even.median, 2.5);
    EXPECT_DOUBLE_EQ(even.iqr, 1.5);  // quartiles 1.75 and 3.25
    const spread one = summarize({0.7});
    EXPECT_DOUBLE_EQ(one.median, 0.7);
    EXPECT_DOUBLE_EQ(one.iqr, 0);
    EXPECT_DOUBLE_EQ(summarize({}).median, 0);
}

TEST(CompareStatistics, RatiosToLapackOfTheSameTypeAndSpeedupsOverTheFewestThreads) {
    std::vector<row> rows;
    rows.push_back(make_row("b2", method::block, element::s, 2, {0.2}));
    rows.push_back(make_row("b1", method::block, element::s, 1, {0.4}));
    rows.push_back(make_row("p2", method::pipelined, element::s, 2, {0.5}));
    rows.push_back(make_row("p4", method::pipelined, element::s, 4, {0.25}));
    rows.push_back(make_row("L", method::lapack, element::s, 1, {0.1}));
    rows.push_back(make_row("d", method::block, element::d, 1, {0.3}));
    finish_rows(rows);
    EXPECT_DOUBLE_EQ(*rows[0].ratio, 2.0);
    EXPECT_DOUBLE_EQ(*rows[0].speedup, 2.0);
    EXPECT_DOUBLE_EQ(*rows[1].speedup, 1.0);
    EXPECT_DOUBLE_EQ(*rows[3].speedup, 2.0);  // over 2 threads, its fewest
    EXPECT_DOUBLE_EQ(*rows[4].ratio, 1.0);
    EXPECT_FALSE(rows[4].speedup.has_value());
    EXPECT_FALSE(rows[5].ratio.has_value());  // no double-precision LAPACK in this run
}

// Solves with a stored factor are held to ?pbtrs alone, the others to
// ?pbtrf + ?pbtrs; a baseline row has no speedup.
TEST(CompareStatistics, FactoredSolvesAgainstPbtrsAlone) {
    std::vector<row> rows;
    rows.push_back(make_row("L", method::lapack, element::s, 1, {0.4}));
    rows.push_back(make_row("T", method::pbtrs, element::s, 1, {0.1}));
    rows.push_back(make_row("f1", method::factored, element::s, 1, {0.2}));
    rows.push_back(make_row("f2", method::factored, element::s, 2, {0.05}));
    rows.push_back(make_row("b1", method::block, element::s, 1, {0.2}));
    finish_rows(rows);
    EXPECT_DOUBLE_EQ(*rows[1].ratio, 1.0);
    EXPECT_FALSE(rows[1].speedup.has_value());
    EXPECT_DOUBLE_EQ(*rows[2].ratio, 2.0);
    EXPECT_DOUBLE_EQ(*rows[3].ratio, 0.5);
    EXPECT_DOUBLE_EQ(*rows[3].speedup, 4.0);
    EXPECT_DOUBLE_EQ(*rows[4].ratio, 0.5);
}

TEST(CompareStatistics, EveryRoundsInfoCounts) {
    row r = make_row("x", method::block, element::s, 1, {1, 1, 1, 1});
    EXPECT_EQ(failed_rounds(r), 0);
    EXPECT_EQ(first_failed_info(r), 0);
    r.info = {0, -3, 0, -1};
    EXPECT_EQ(failed_rounds(r), 2);
    EXPECT_EQ(first_failed_info(r), -3);
}

TEST(CompareText, KeepsTheLongstandingLayoutAndAddsTheMachineFacts) {
    report r = sample_report();
    r.rows.pop_back();
    const std::vector<std::string> lines = lines_of(format_text(r));
    const std::vector<std::string> expected = {
        "System: n = 20000, half bandwidth 8, 1 right-hand side; 3 rounds, contenders alternating",
        "Compiler: GNU 12.2.0, flags: -O3 -DNDEBUG",
        "LAPACK: /usr/lib/liblapack.so",
        "Processors available: 2",
        "CPU: Test CPU \"X\" \\ 2.0 GHz, 2 cores, 1 thread per core, 1 socket",
        "Vector extensions: sse2 avx2",
        "Memory: 8.0 GiB",
        "LAPACK library: /usr/lib/lapack/liblapack.so.3.11.0, version 3.11.0",
        "pchol: version 0.1.0, commit abc123",
        "Date: 2026-01-31T12:00:00Z",
        "",
        "contender                            median s      min s   max |x-x*|   / LAPACK  info",
        "LAPACK spbtrf+spbtrs (float)           0.2000     0.1000    1.000e-06      1.000     0",
        "pchol_solve4, 1 thread                 0.4000     0.4000    1.000e-06      2.000     0",
        "pchol_solve4, 2 threads                0.2500     0.2000    1.000e-06      1.250     0",
    };
    EXPECT_EQ(lines, expected);
}

TEST(CompareText, FlagsFailedRoundsAndMissingBaselines) {
    report r = sample_report();
    r.opts.wide = true;
    const std::vector<std::string> lines = lines_of(format_text(r));
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[11],
              "contender                            median s      min s   max |x-x*|   / LAPACK  info      max s      "
              "IQR s  speedup");
    EXPECT_EQ(lines[12].substr(86), "     0.3000     0.1000        -");
    EXPECT_EQ(lines[14].substr(86), "     0.3000     0.0500    1.600");
    // No double-precision LAPACK: no ratio; the first failed info stands in the info column.
    EXPECT_EQ(lines[15], "pchol_solve3, 1 thread                 0.5000     0.5000          nan          -    -1     "
                         "0.5000     0.0000    1.000");
    EXPECT_EQ(lines[16], "! info was not 0 in 2 of 3 rounds: pchol_solve3, 1 thread (first -1)");
}

TEST(CompareText, LongNamesWidenTheFirstColumn) {
    report r = sample_report();
    r.rows.resize(1);
    r.rows[0].name = "LAPACK zpbtrf+zpbtrs (complex double)";
    const std::vector<std::string> lines = lines_of(format_text(r));
    EXPECT_EQ(lines[11].substr(0, 38), "contender                             ");
    EXPECT_EQ(lines[12].substr(0, 38), "LAPACK zpbtrf+zpbtrs (complex double) ");
    EXPECT_EQ(lines[11].size(), lines[12].size());
}

TEST(CompareCsv, OneRecordPerContenderWithEverySample) {
    const std::vector<std::string> lines = lines_of(format_csv(sample_report()));
    ASSERT_EQ(lines.size(), 5u);
    const std::vector<std::string> header = csv_fields(lines[0]);
    EXPECT_EQ(header.front(), "type");
    EXPECT_EQ(header.back(), "samples_s");
    for (std::size_t k = 1; k < lines.size(); ++k) {
        const std::vector<std::string> f = csv_fields(lines[k]);
        ASSERT_EQ(f.size(), header.size()) << lines[k];
        EXPECT_EQ(f[1], sample_report().rows[k - 1].name);  // commas inside stay in the field
    }
    const std::vector<std::string> solve4 = csv_fields(lines[3]);
    const auto field = [&](const char* name) {
        for (std::size_t k = 0; k < header.size(); ++k)
            if (header[k] == name) return solve4[k];
        ADD_FAILURE() << name;
        return std::string();
    };
    EXPECT_EQ(field("samples_s"), "0.25 0.2 0.3");
    EXPECT_EQ(field("info"), "0 0 0");
    EXPECT_EQ(field("median_s"), "0.25");
    EXPECT_EQ(field("ratio_to_lapack"), "1.25");
    EXPECT_EQ(field("speedup"), "1.6");
    EXPECT_EQ(field("threads"), "2");
    EXPECT_EQ(field("method"), "block");
    const std::vector<std::string> failed = csv_fields(lines[4]);
    EXPECT_EQ(failed[10], "");  // the NaN error is left empty
    EXPECT_EQ(failed[11], "");  // no ratio
    EXPECT_EQ(failed[13], "2");
    EXPECT_EQ(failed[14], "0 -1 -1");
}

TEST(CompareCsv, QuotesAreDoubled) {
    report r = sample_report();
    r.rows.resize(1);
    r.rows[0].name = "a \"quoted\", name";
    const std::vector<std::string> lines = lines_of(format_csv(r));
    EXPECT_EQ(csv_fields(lines[1])[1], r.rows[0].name);
    EXPECT_NE(lines[1].find("\"a \"\"quoted\"\", name\""), std::string::npos);
}

// Two generations of one vendor's processors that a virtual machine names
// alike differ in the numbers the line adds; without them it stays as it was.
TEST(CompareText, CpuLineNamesFamilyModelAndStepping) {
    report r = sample_report();
    r.machine.cpu.model = "AMD EPYC";
    r.machine.cpu.family = "26";
    r.machine.cpu.model_number = "2";
    r.machine.cpu.stepping = "1";
    const std::vector<std::string> lines = lines_of(format_text(r));
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "CPU: AMD EPYC (family 26, model 2, stepping 1), 2 cores, 1 thread per core, 1 socket"),
              lines.end());
    r.machine.cpu.stepping.clear();
    const std::string json = format_json(r);
    EXPECT_TRUE(json_checker(json).valid()) << json;
    for (const char* key : {"\"cpu_family\": \"26\"", "\"cpu_model_number\": \"2\"", "\"cpu_stepping\": null"})
        EXPECT_NE(json.find(key), std::string::npos) << key;
    EXPECT_NE(format_text(r).find("CPU: AMD EPYC (family 26, model 2), 2 cores"), std::string::npos);
}

TEST(CompareJson, WellFormedWithEveryFactAndSample) {
    report r = sample_report();
    r.machine.cpu.model += "\n\t\x01";  // control characters must be escaped
    const std::string json = format_json(r);
    EXPECT_TRUE(json_checker(json).valid()) << json;
    for (const char* key : {"\"date\"", "\"commit\": \"abc123\"", "\"cpu_model\"", "\"vector_extensions\": [\"sse2\", \"avx2\"]",
                            "\"threads_per_core\": 1", "\"memory_bytes\": 8589934592", "\"version\": \"3.11.0\"",
                            "\"library\": \"/usr/lib/lapack/liblapack.so.3.11.0\"", "\"flags\": \"-O3 -DNDEBUG\"",
                            "\"samples_s\": [0.25, 0.2, 0.3]", "\"info\": [0, -1, -1]", "\"max_error\": null",
                            "\"ratio_to_lapack\": null", "\"speedup\": 1.6", "\"iqr_s\": 0.05", "\"threads\": [1, 2]",
                            "\"types\": [\"s\", \"d\"]", "\"contenders\": [\"lapack\", \"block\"]"})
        EXPECT_NE(json.find(key), std::string::npos) << key;
    std::size_t results = 0;
    for (std::size_t at = json.find("\"contender\""); at != std::string::npos; at = json.find("\"contender\"", at + 1))
        ++results;
    EXPECT_EQ(results, r.rows.size());
}

TEST(CompareJson, EmptyAndUnknownStaysWellFormed) {
    report r;
    r.opts.n = 10;
    r.opts.hbw = 2;
    const std::string json = format_json(r);
    EXPECT_TRUE(json_checker(json).valid()) << json;
    EXPECT_NE(json.find("\"commit\": null"), std::string::npos);
    EXPECT_NE(json.find("\"results\": []"), std::string::npos);
    // The checker itself refuses what is not JSON.
    EXPECT_FALSE(json_checker("{\"a\": nan}").valid());
    EXPECT_FALSE(json_checker("{\"a\": 1,}").valid());
    EXPECT_FALSE(json_checker("{\"a\": \"\x01\"}").valid());
}

}  // namespace

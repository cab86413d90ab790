#include "pchol/compare.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace pchol::compare;
using action = parsed_options::action;

parsed_options parse(std::vector<std::string> args) {
    return parse_options(args);
}

std::string error_of(std::vector<std::string> args) {
    const parsed_options p = parse(std::move(args));
    EXPECT_EQ(p.what, action::error);
    return p.message;
}

TEST(CompareOptions, NoArgumentsGiveTheLongstandingRun) {
    const parsed_options p = parse({});
    ASSERT_EQ(p.what, action::run);
    const options& o = p.opts;
    EXPECT_TRUE(o.threads.empty());  // 1 .. processors
    EXPECT_EQ(o.n, 2000000);
    EXPECT_EQ(o.hbw, 8);
    EXPECT_EQ(o.nrhs, 1);
    EXPECT_EQ(o.types, (std::vector<element>{element::s, element::d}));
    EXPECT_EQ(o.methods, (std::vector<method>{method::lapack, method::block}));
    EXPECT_EQ(o.rounds, 9);
    EXPECT_EQ(o.warmup, 1);
    EXPECT_EQ(o.out, format::text);
    EXPECT_TRUE(o.output.empty());
    EXPECT_TRUE(o.json_output.empty());
    EXPECT_FALSE(o.wide);
}

TEST(CompareOptions, ALoneNumberIsTheRoundCount) {
    EXPECT_EQ(parse({"7"}).opts.rounds, 7);
    const parsed_options with_more = parse({"7", "--n", "100", "--hbw", "4"});
    EXPECT_EQ(with_more.opts.rounds, 7);
    EXPECT_EQ(with_more.opts.n, 100);
    // Formerly these ran one round without a word.
    EXPECT_NE(error_of({"foo"}).find("foo"), std::string::npos);
    error_of({"0"});
    EXPECT_NE(error_of({"--n", "100", "7"}).find("unexpected argument '7'"), std::string::npos);
}

TEST(CompareOptions, HelpAndUnknownOptions) {
    EXPECT_EQ(parse({"--help"}).what, action::help);
    EXPECT_EQ(parse({"--n", "100", "-h"}).what, action::help);
    EXPECT_NE(error_of({"--bogus"}).find("--bogus"), std::string::npos);
    EXPECT_NE(error_of({"--n", "100", "-x"}).find("-x"), std::string::npos);
    EXPECT_NE(usage_text().find("--threads"), std::string::npos);
    EXPECT_NE(usage_text().find("--contenders"), std::string::npos);
}

TEST(CompareOptions, EveryOptionWithSeparateAndInlineValues) {
    const parsed_options p =
        parse({"--threads", "1-2", "--n=20000", "--hbw", "4", "--nrhs=3", "--type", "z,s", "--rounds", "3",
               "--warmup=0", "--contenders", "check,lapack", "--format", "json", "--output", "out.json", "--json=x.json",
               "--wide"});
    ASSERT_EQ(p.what, action::run) << p.message;
    const options& o = p.opts;
    EXPECT_EQ(o.threads, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(o.n, 20000);
    EXPECT_EQ(o.hbw, 4);
    EXPECT_EQ(o.nrhs, 3);
    EXPECT_EQ(o.types, (std::vector<element>{element::s, element::z}));  // the run's own order
    EXPECT_EQ(o.rounds, 3);
    EXPECT_EQ(o.warmup, 0);
    EXPECT_EQ(o.methods, (std::vector<method>{method::lapack, method::check}));
    EXPECT_EQ(o.out, format::json);
    EXPECT_EQ(o.output, "out.json");
    EXPECT_EQ(o.json_output, "x.json");
    EXPECT_TRUE(o.wide);
}

TEST(CompareOptions, AllChoosesEveryTypeAndContender) {
    const options o = parse({"--type", "all", "--contenders", "all"}).opts;
    EXPECT_EQ(o.types, (std::vector<element>{element::s, element::d, element::c, element::z}));
    EXPECT_EQ(o.methods, (std::vector<method>{method::lapack, method::block, method::pipelined, method::check,
                                              method::pbtrs, method::factored}));
}

TEST(CompareOptions, BadValuesAreRefused) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--n"},                      // value missing
             {"--n", "0"},                 // below 1
             {"--n", "12x"},               // trailing text
             {"--n", "-5"},                // negative
             {"--n", "99999999999"},       // past 32 bits
             {"--rounds", "0"},
             {"--warmup", "-1"},
             {"--nrhs", "0"},
             {"--type", "q"},
             {"--type", "s,"},
             {"--contenders", "lapack,fast"},
             {"--format", "xml"},
             {"--format", "csv,json"},
             {"--format", "all"},
             {"--output", ""},
             {"--wide=yes"},
             {"--threads", "0"},
         }) {
        SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
        error_of(args);
    }
}

TEST(CompareOptions, SizesTheSolverCannotCountAreRefused) {
    EXPECT_NE(error_of({"--n", "8", "--hbw", "8"}).find("--hbw"), std::string::npos);
    // 2 * n * hbw passes 2^31 - 1.
    EXPECT_NE(error_of({"--n", "200000000", "--hbw", "8"}).find("2^31"), std::string::npos);
    error_of({"--n", "2000000", "--nrhs", "2000"});
    EXPECT_EQ(parse({"--n", "100000000", "--hbw", "10"}).what, action::run);
}

TEST(CompareOptions, ThreadListsAndRanges) {
    using counts = std::vector<std::int32_t>;
    EXPECT_EQ(parse_count_list("1,2,4", 32), (counts{1, 2, 4}));
    EXPECT_EQ(parse_count_list("1-4", 32), (counts{1, 2, 3, 4}));
    EXPECT_EQ(parse_count_list("8,1-3", 32), (counts{1, 2, 3, 8}));
    EXPECT_EQ(parse_count_list("2,2,1-2", 32), (counts{1, 2}));
    EXPECT_EQ(parse_count_list("5-5", 32), (counts{5}));
    EXPECT_EQ(parse_count_list("32", 32), (counts{32}));
    for (const char* bad : {"", ",", "1,", "0", "33", "3-1", "1-", "-2", "1-2-3", "a", "1.5", " 1"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parse_count_list(bad, 32).has_value());
    }
}

}  // namespace

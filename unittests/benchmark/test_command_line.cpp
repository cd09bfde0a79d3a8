// kelvane-tarn-benchmark's command line: numbers with units and the option
// parser in-process, and every path that ends the process (usage, errors)
// through the real program run as a child.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "benchmark/benchmark_options.h"
#include "harness/child_process.h"

namespace {

constexpr uint64_t k_max = std::numeric_limits<uint64_t>::max();

const char k_usage[] =
    "Tarn benchmarking tool.\n"
    "\n"
    "Usage:\n"
    "  kelvane-tarn-benchmark -c CLUSTER -f SHARE [OPTIONS]\n"
    "\n"
    "Options:\n"
    "  -c,--cluster CLUSTER    cluster ID\n"
    "  -f,--fs SHARE           share name\n"
    "  -d,--duration DURATION  test duration\n"
    "                          (s/m/h suffixes are supported)\n"
    "  -s,--size SIZE          size of <file, etc.>\n"
    "                          (K/M/G suffixes are supported)\n"
    "  -n,--count COUNT        number of <files, etc.>\n"
    "  -v,--verbose            increase verbosity\n"
    "  -h,--help               print this message\n"
    "\n";

TEST(NumbersWithUnits, ParseOrRefuse) {
    using Parser = std::optional<uint64_t> (*)(const std::string&);
    const struct {
        Parser parse;
        const char* text;
        std::optional<uint64_t> value;
    } cases[] = {
        {parse_duration, "90", 90},
        {parse_duration, "90s", 90},
        {parse_duration, "2m", 120},
        {parse_duration, "10m", 600},
        {parse_duration, "1h", 3600},
        {parse_duration, "0", 0},
        {parse_duration, "10M", std::nullopt},  // suffixes are case-sensitive
        {parse_duration, "10x", std::nullopt},
        {parse_duration, "m", std::nullopt},
        {parse_duration, "", std::nullopt},
        {parse_duration, "-1", std::nullopt},
        {parse_duration, "+5", std::nullopt},
        {parse_duration, " 5", std::nullopt},
        {parse_duration, "0x10", std::nullopt},
        {parse_duration, "1ms", std::nullopt},
        {parse_duration, "5124095576030431h", 5124095576030431ull * 3600},
        {parse_duration, "5124095576030432h", std::nullopt},  // product past 64 bits
        {parse_size, "512", 512},
        {parse_size, "1K", 1024},
        {parse_size, "64M", 64ull << 20},
        {parse_size, "4G", 4294967296ull},
        {parse_size, "1k", std::nullopt},
        {parse_size, "5M ", std::nullopt},
        {parse_size, "16777216T", std::nullopt},
        {parse_size, "18446744073709551615", k_max},
        {parse_size, "18446744073709551616", std::nullopt},  // number past 64 bits
        {parse_size, "99999999999999999999K", std::nullopt},
        {parse_size, "17179869183G", k_max - (1ull << 30) + 1},
        {parse_size, "17179869184G", std::nullopt},  // exactly 2^64
        {parse_count, "250", 250},
        {parse_count, "0", 0},
        {parse_count, "250x", 250},  // what follows the digits is not looked at
        {parse_count, "12abc", 12},
        {parse_count, "5K", 5},
        {parse_count, "x250", std::nullopt},
        {parse_count, "", std::nullopt},
        {parse_count, "-5", std::nullopt},
        {parse_count, "18446744073709551615x", k_max},
        {parse_count, "18446744073709551616", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value, c.parse(c.text)) << "text \"" << c.text << "\"";
}

// Parses `args` (after the program name) in-process.
BenchmarkParse parse(std::vector<std::string> args, BenchmarkCommandLine* cl, std::string* error) {
    args.insert(args.begin(), "kelvane-tarn-benchmark");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return parse_benchmark_command_line(static_cast<int>(args.size()), argv.data(), cl, error);
}

TEST(BenchmarkCommandLineParse, ValuesOfAcceptedCommandLines) {
    const struct {
        std::vector<std::string> args;
        const char* cluster;
        const char* fs;
        uint64_t count, size, duration;
        int verbosity;
    } cases[] = {
        {{"-c", "local", "-f", "bench"}, "local", "bench", 1000, 4294967296ull, 60, 0},
        {{"-c", "a", "-f", "b", "-s", "64M", "-d", "5s", "-n", "200"}, "a", "b", 200, 64ull << 20, 5, 0},
        {{"--cluster=a", "--fs", "b", "--size=4096", "--duration", "10m", "--count=12abc"}, "a", "b", 12, 4096, 600,
         0},
        {{"-c", "first", "-c", "second", "-f", "b", "-n", "0", "-d", "0"}, "second", "b", 0, 4294967296ull, 0, 0},
        {{"-vv", "-c", "a", "--verbose", "-f", "b", "-v"}, "a", "b", 1000, 4294967296ull, 60, 4},
        {{"-cname", "-fshare", "-s8K", "-s", "4K"}, "name", "share", 1000, 4096, 60, 0},
    };
    for (const auto& c : cases) {
        BenchmarkCommandLine cl;
        std::string error;
        ASSERT_EQ(BenchmarkParse::run, parse(c.args, &cl, &error)) << error;
        EXPECT_EQ(c.cluster, cl.cluster_name);
        EXPECT_EQ(c.fs, cl.fs_name);
        EXPECT_EQ(c.count, cl.cfg.count);
        EXPECT_EQ(c.size, cl.cfg.size);
        EXPECT_EQ(c.duration, cl.cfg.duration);
        EXPECT_EQ(c.verbosity, cl.verbosity);
    }
}

// The messages of refused command lines; the first problem in command-line
// order is the one reported. (What the user sees of them, and the exit
// status, are checked on the real program below.)
TEST(BenchmarkCommandLineParse, ErrorMessages) {
    const char* k_small = " (the test file must hold at least one 4096-byte block)";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-f", "b"}, "cluster name (-c) must be specified."},
        {{"--cluster=", "-f", "b"}, "cluster name (-c) must be specified."},
        {{"-c", "a"}, "filesystem name (-f) must be specified."},
        {{"-c", "a", "-f", ""}, "filesystem name (-f) must be specified."},
        {{"-c", "a", "-f", "b", "-d", "10x"}, "invalid duration: 10x"},
        {{"-c", "a", "-f", "b", "-d", "10M"}, "invalid duration: 10M"},
        {{"-c", "a", "-f", "b", "-s", "16777216T"}, "invalid size: 16777216T"},
        {{"-c", "a", "-f", "b", "-s", "4095"}, std::string("invalid size: 4095") + k_small},
        {{"-c", "a", "-f", "b", "-n", "x250"}, "invalid count: x250"},
        {{"-c", "a", "-f", "b", "-n", "99999999999999999999"}, "invalid count: 99999999999999999999"},
        {{"-c", "a", "-f", "b", "-vx"}, "unknown option: -x"},
        {{"-c", "a", "-vqf", "b"}, "unknown option: -q"},
        {{"-c", "a", "-f", "b", "--bogus"}, "unknown option: --bogus"},
        {{"-c", "a", "-f", "b", "--help=1"}, "unknown option: --help=1"},
        {{"--bogus", "-d", "zz"}, "unknown option: --bogus"},
        {{"-c", "a", "-f", "b", "--size"}, "argument expected after --size"},
        {{"-c", "a", "stray", "-f", "b"}, "unknown positional argument: \"stray\""},
        {{"-c", "a", "-f", "b", "-"}, "unknown positional argument: \"-\""},
    };
    for (const auto& c : cases) {
        BenchmarkCommandLine cl;
        std::string error;
        EXPECT_EQ(BenchmarkParse::error, parse(c.args, &cl, &error)) << c.message;
        EXPECT_EQ(c.message, error);
    }
    BenchmarkCommandLine cl;
    std::string error;
    EXPECT_EQ(BenchmarkParse::help, parse({"-c", "a", "-h", "--bogus"}, &cl, &error));
}

// What reaches the user: the whole of standard error, nothing on standard
// output, exit status 255, and no test run.
TEST(BenchmarkProgramExit, UsageAndErrorsEndWithStatus255) {
    const struct {
        std::vector<std::string> args;
        const char* message;  // null: the usage text alone
    } cases[] = {
        {{"-c", "local"}, "filesystem name (-f) must be specified."},
        {{"-h"}, nullptr},
        {{"-c", "local", "-f", "bench", "-s", "0"},
         "invalid size: 0 (the test file must hold at least one 4096-byte block)"},
        {{"-c", "local", "-f", "bench", "-s", "4095"},
         "invalid size: 4095 (the test file must hold at least one 4096-byte block)"},
        {{"-c", "local", "-f", "bench", "-s", "17179869184G"}, "invalid size: 17179869184G"},
        {{"-c", "local", "-f", "bench", "-d", "1ms"}, "invalid duration: 1ms"},
        {{"-c", "local", "-f", "bench", "-n", "abc12"}, "invalid count: abc12"},
        {{"-c", "local", "-xv", "-f", "bench"}, "unknown option: -x"},
        {{"--gtest_brief=1", "-c", "local", "-f", "bench", "--no-such"}, "unknown option: --no-such"},
        {{"-c", "local", "-f"}, "argument expected after -f"},
        {{"-c", "local", "-f", "bench", "run"}, "unknown positional argument: \"run\""},
    };
    for (const auto& c : cases) {
        const test_child::ChildResult r = test_child::run(KELVANE_TARN_BENCHMARK_BIN, c.args, {"GTEST_"});
        const std::string expected = c.message ? std::string("ERROR: ") + c.message + "\n\n" + k_usage : k_usage;
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(255, r.exit_code) << expected;
        EXPECT_EQ(expected, r.err);
        EXPECT_EQ("", r.out);
    }
}

TEST(BenchmarkProgramExit, LongHelpFollowsGoogleTestsOwnHelp) {
    // Google Test prints its help for "--help" and leaves the word in place.
    const test_child::ChildResult r = test_child::run(KELVANE_TARN_BENCHMARK_BIN, {"--help"}, {"GTEST_"});
    EXPECT_EQ(255, r.exit_code);
    EXPECT_EQ(k_usage, r.err);
    EXPECT_NE(std::string::npos, r.out.find("--gtest_filter")) << r.out;
}

}  // namespace

// Command line of kelvane-tarn-benchmark: numbers with unit suffixes, the
// option parser and the usage text.
#pragma once

#include <stdint.h>

#include <optional>
#include <span>
#include <string>

// What the benchmarks read; filled once by main, read-only afterwards.
struct TARNBenchmarkConfig {
    uint64_t count;     // objects per tree-operation benchmark
    uint64_t size;      // bytes of the random-read test file
    uint64_t duration;  // seconds each random-read worker reads
};

// The random reads work in blocks of this many bytes, so the test file must
// hold at least one.
constexpr uint64_t k_random_read_block = 4096;

struct UnitSuffix {
    char suffix;
    uint64_t multiplier;
};

extern const UnitSuffix k_duration_units[3];  // s m h
extern const UnitSuffix k_size_units[3];      // K M G

// A decimal number, optionally followed by one suffix of `units`
// (case-sensitive). No value unless every character is used and the number
// and its product with the multiplier fit in 64 bits.
std::optional<uint64_t> convert_with_units(const std::string& text, std::span<const UnitSuffix> units);
std::optional<uint64_t> parse_duration(const std::string& text);
std::optional<uint64_t> parse_size(const std::string& text);
// Decimal digits from the start of the text; what follows them is ignored.
std::optional<uint64_t> parse_count(const std::string& text);

struct BenchmarkCommandLine {
    std::string cluster_name;
    std::string fs_name;
    TARNBenchmarkConfig cfg{1000, 4294967296ull, 60};
    int verbosity = 0;  // one per -v
};

enum class BenchmarkParse {
    run,    // *out is complete
    help,   // -h: the usage text alone
    error,  // *error holds the message for the usage text's error line
};

// Parses what Google Test left of the command line, in order; the first
// problem ends the parse. getopt_long state is reset first.
BenchmarkParse parse_benchmark_command_line(int argc, char** argv, BenchmarkCommandLine* out, std::string* error);

// Writes "ERROR: <message>" and an empty line when `format` is not null,
// then the usage text, all to standard error, and exits with status 255.
[[noreturn]] void usage(const char* format, ...) __attribute__((format(printf, 1, 2)));

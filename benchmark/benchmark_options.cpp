#include "benchmark/benchmark_options.h"

#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <limits>

#include "kiv/base.h"

const UnitSuffix k_duration_units[3] = {{'s', 1}, {'m', 60}, {'h', 3600}};
const UnitSuffix k_size_units[3] = {{'K', 1024}, {'M', 1048576}, {'G', 1073741824}};

namespace {

constexpr uint64_t k_max = std::numeric_limits<uint64_t>::max();

// Digits from the start of `text`: the value and how many characters were
// used; no value when there is no digit or the number does not fit.
std::optional<uint64_t> leading_number(const std::string& text, size_t* used) {
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (k_max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    *used = i;
    if (i == 0) return std::nullopt;
    return value;
}

std::string format_message(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string format_message(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    char* text = nullptr;
    const int n = vasprintf(&text, format, ap);
    va_end(ap);
    if (n < 0) return format;
    std::string s(text, static_cast<size_t>(n));
    free(text);
    return s;
}

const struct option k_long_options[] = {
    {"cluster", required_argument, nullptr, 'c'}, {"count", required_argument, nullptr, 'n'},
    {"duration", required_argument, nullptr, 'd'}, {"size", required_argument, nullptr, 's'},
    {"fs", required_argument, nullptr, 'f'},      {"help", no_argument, nullptr, 'h'},
    {"verbose", no_argument, nullptr, 'v'},       {nullptr, 0, nullptr, 0},
};

const char k_usage_text[] =
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

}  // namespace

std::optional<uint64_t> convert_with_units(const std::string& text, std::span<const UnitSuffix> units) {
    uint64_t multiplier = 1;
    std::string number = text;
    if (!text.empty()) {
        for (const UnitSuffix& u : units) {
            if (text.back() == u.suffix) {
                multiplier = u.multiplier;
                number.pop_back();
                break;
            }
        }
    }
    size_t used = 0;
    const std::optional<uint64_t> value = leading_number(number, &used);
    if (!value || used != number.size()) return std::nullopt;
    if (*value > k_max / multiplier) return std::nullopt;
    return *value * multiplier;
}

std::optional<uint64_t> parse_duration(const std::string& text) { return convert_with_units(text, k_duration_units); }

std::optional<uint64_t> parse_size(const std::string& text) { return convert_with_units(text, k_size_units); }

std::optional<uint64_t> parse_count(const std::string& text) {
    size_t used = 0;
    return leading_number(text, &used);
}

BenchmarkParse parse_benchmark_command_line(int argc, char** argv, BenchmarkCommandLine* out, std::string* error) {
    BenchmarkCommandLine cl;
    // 0 makes getopt start over rather than continue an earlier scan.
    optind = 0;
    for (;;) {
        // The word the next option comes from: getopt only moves optind past
        // a group of short options ("-xv") once the group is used up.
        const int word = optind > 0 ? optind : 1;
        const int opt = getopt_long(argc, argv, "-:c:d:f:hn:s:v", k_long_options, nullptr);
        if (opt == -1) break;
        if (opt == '?') {
            // A short option is named itself, not the word that holds it;
            // a long one by its whole word.
            const bool long_form = word < argc && argv[word][0] == '-' && argv[word][1] == '-';
            if (optopt != 0 && !long_form)
                *error = format_message("unknown option: -%c", optopt);
            else
                *error = format_message("unknown option: %s", argv[optind - 1]);
            return BenchmarkParse::error;
        }
        if (opt == ':') {
            *error = format_message("argument expected after %s", argv[optind - 1]);
            return BenchmarkParse::error;
        }
        if (opt == 1) {
            *error = format_message("unknown positional argument: \"%s\"", optarg);
            return BenchmarkParse::error;
        }
        switch (opt) {
        case 'c':
            cl.cluster_name = optarg;
            break;
        case 'd': {
            const std::optional<uint64_t> v = parse_duration(optarg);
            if (!v) {
                *error = format_message("invalid duration: %s", optarg);
                return BenchmarkParse::error;
            }
            cl.cfg.duration = *v;
            break;
        }
        case 'f':
            cl.fs_name = optarg;
            break;
        case 'h':
            return BenchmarkParse::help;
        case 'n': {
            const std::optional<uint64_t> v = parse_count(optarg);
            if (!v) {
                *error = format_message("invalid count: %s", optarg);
                return BenchmarkParse::error;
            }
            cl.cfg.count = *v;
            break;
        }
        case 's': {
            const std::optional<uint64_t> v = parse_size(optarg);
            if (!v) {
                *error = format_message("invalid size: %s", optarg);
                return BenchmarkParse::error;
            }
            // Below one block there is nothing to read at random.
            if (*v < k_random_read_block) {
                *error = format_message("invalid size: %s (the test file must hold at least one %llu-byte block)",
                                        optarg, static_cast<unsigned long long>(k_random_read_block));
                return BenchmarkParse::error;
            }
            cl.cfg.size = *v;
            break;
        }
        case 'v':
            ++cl.verbosity;
            break;
        default:
            *error = format_message("unknown option: %c", opt);
            return BenchmarkParse::error;
        }
    }
    if (cl.cluster_name.empty()) {
        *error = "cluster name (-c) must be specified.";
        return BenchmarkParse::error;
    }
    if (cl.fs_name.empty()) {
        *error = "filesystem name (-f) must be specified.";
        return BenchmarkParse::error;
    }
    *out = std::move(cl);
    return BenchmarkParse::run;
}

void usage(const char* format, ...) {
    if (format) {
        fputs("ERROR: ", stderr);
        va_list ap;
        va_start(ap, format);
        vfprintf(stderr, format, ap);
        va_end(ap);
        fputs("\n\n", stderr);
    }
    fputs(k_usage_text, stderr);
    kiv_log_terminate();
    exit(255);
}

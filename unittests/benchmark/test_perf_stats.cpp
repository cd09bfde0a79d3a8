// The statistics report, byte for byte, for the shapes of sample sets that
// exercise each rule (no sample, one, all equal, two, a spread whose range is
// a whole multiple of 20), the fixed-width figures, and the histogram's
// invariants over random sample sets.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "benchmark/perf_stats.h"

namespace {

std::string report(const std::vector<uint64_t>& samples) {
    PerfStats stats(samples.size());
    for (uint64_t s : samples) stats.AddSample(std::chrono::nanoseconds(s));
    std::ostringstream out;
    out << stats;
    return out.str();
}

const char k_header[] = "    value (ns) |-------------------------------------------------- count\n";

// One histogram row: the 14-character value column as written out, a bar of
// `at` characters padded to 50, the count.
std::string row(const char* value14, int at, int count) {
    return std::string(value14) + " |" + std::string(static_cast<size_t>(at), '@') +
           std::string(static_cast<size_t>(50 - at), ' ') + " " + std::to_string(count) + "\n";
}

struct GoldenCase {
    const char* name;
    std::vector<uint64_t> samples;
    std::string expected;
};

std::vector<GoldenCase> golden_cases() {
    std::vector<GoldenCase> cases;
    cases.push_back({"none", {}, "No samples\n"});
    cases.push_back({"one",
                     {1234567},
                     "   Samples: 1\n"
                     "  Min (ns):      1'234'567\n"
                     "  Avg (ns):      1'234'567\n"
                     "  P50 (ns):      1'234'567\n"
                     "  P95 (ns):      1'234'567\n"
                     "  P98 (ns):      1'234'567\n"
                     "  Max (ns):      1'234'567\n"
                     "Total (ns):      1'234'567\n"});
    cases.push_back({"all equal",
                     {500, 500, 500},
                     "   Samples: 3\n"
                     "  Min (ns):            500\n"
                     "  Avg (ns):            500\n"
                     "  P50 (ns):            500\n"
                     "  P95 (ns):            500\n"
                     "  P98 (ns):            500\n"
                     "  Max (ns):            500\n"
                     "Total (ns):          1'500\n"});

    // Width 1: the two samples sit in buckets 0 and 10.
    std::string two =
        "   Samples: 2\n"
        "  Min (ns):             10\n"
        "  Avg (ns):             15\n"
        "  P50 (ns):             15\n"
        "  P95 (ns):             20\n"
        "  P98 (ns):             20\n"
        "  Max (ns):             20\n"
        "Total (ns):             30\n";
    two += k_header;
    const char* two_values[20] = {"            10", "            11", "            12", "            13",
                                  "            14", "            15", "            16", "            17",
                                  "            18", "            19", "            20", "            21",
                                  "            22", "            23", "            24", "            25",
                                  "            26", "            27", "            28", "            29"};
    for (int i = 0; i < 20; ++i) two += row(two_values[i], i == 0 || i == 10 ? 50 : 0, i == 0 || i == 10 ? 1 : 0);
    cases.push_back({"two", {20, 10}, two});

    // Range 40, width 2: the two samples of 140 are one width past bucket
    // 19 and belong to it. Six samples: P50 is the truncated mean of 121
    // and 132; P95 and P98 are the sixth sample; the mean 123 is exact.
    std::string spread =
        "   Samples: 6\n"
        "  Min (ns):            100\n"
        "  Avg (ns):            123\n"
        "  P50 (ns):            126\n"
        "  P95 (ns):            140\n"
        "  P98 (ns):            140\n"
        "  Max (ns):            140\n"
        "Total (ns):            738\n";
    spread += k_header;
    const char* spread_values[20] = {"           100", "           102", "           104", "           106",
                                     "           108", "           110", "           112", "           114",
                                     "           116", "           118", "           120", "           122",
                                     "           124", "           126", "           128", "           130",
                                     "           132", "           134", "           136", "           138"};
    for (int i = 0; i < 20; ++i) {
        const int count = i == 19 ? 2 : (i == 0 || i == 2 || i == 10 || i == 16) ? 1 : 0;
        spread += row(spread_values[i], count == 2 ? 50 : count == 1 ? 25 : 0, count);
    }
    cases.push_back({"spread of 20 widths", {140, 100, 121, 105, 140, 132}, spread});
    return cases;
}

TEST(PerfStatsReport, MatchesTheGoldenText) {
    for (const GoldenCase& c : golden_cases()) {
        EXPECT_EQ(c.expected, report(c.samples)) << "case: " << c.name;
    }
}

TEST(PerfStatsReport, ReportDoesNotReorderTheSamples) {
    PerfStats stats(4);
    for (uint64_t s : {30, 10, 40, 20}) stats.AddSample(std::chrono::nanoseconds(s));
    std::ostringstream out;
    out << stats << stats;  // twice, from the same state
    EXPECT_EQ((std::vector<uint64_t>{30, 10, 40, 20}), stats.samples());
    const std::string text = out.str();
    EXPECT_EQ(text.substr(0, text.size() / 2), text.substr(text.size() / 2));
}

TEST(PerfStatsReport, NegativeDurationCountsAsZero) {
    PerfStats stats(1);
    stats.AddSample(std::chrono::nanoseconds(-5));
    EXPECT_EQ(std::vector<uint64_t>{0}, stats.samples());
}

TEST(FormatNs, FixedWidthWithApostrophes) {
    const struct {
        uint64_t ns;
        const char* text;
    } cases[] = {
        {0, "             0"},
        {999, "           999"},
        {1000, "         1'000"},
        {1234567, "     1'234'567"},
        {99999999999, "99'999'999'999"},                          // exactly 14
        {100000000000000, "100'000'000'000'000"},                 // longer: whole
        {18446744073709551615ull, "18'446'744'073'709'551'615"},  // the largest
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, format_ns(c.ns)) << c.ns;
}

// Over random sample sets, half of them with a range that is a whole
// multiple of 20: 20 rows, labels rising by one width from the minimum,
// counts adding up to the sample count, the maximum in the last bucket, and
// the fullest bucket drawn with 50 characters.
TEST(PerfStatsReport, HistogramInvariantsOverRandomSamples) {
    std::mt19937_64 rng(20261208);
    for (int round = 0; round < 200; ++round) {
        const size_t n = 2 + rng() % 300;
        const uint64_t min = rng() % 1000000;
        uint64_t range = 1 + rng() % 100000;
        if (round % 2 == 0) range = 20 * (1 + rng() % 5000);
        std::vector<uint64_t> samples{min, min + range};
        while (samples.size() < n) samples.push_back(min + rng() % (range + 1));

        std::istringstream in(report(samples));
        std::string line;
        for (int i = 0; i < 8; ++i) ASSERT_TRUE(std::getline(in, line));
        ASSERT_TRUE(std::getline(in, line));
        ASSERT_EQ(std::string(k_header), line + "\n");
        const uint64_t width = (range + 19) / 20;
        uint64_t total = 0, last = 0;
        int fullest_bar = 0;
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(std::getline(in, line)) << "row " << i;
            ASSERT_EQ(66u, line.find_last_of(' ')) << line;
            ASSERT_EQ(format_ns(min + static_cast<uint64_t>(i) * width), line.substr(0, 14));
            const std::string bar = line.substr(16, 50);
            fullest_bar = std::max(fullest_bar, static_cast<int>(bar.find_first_not_of('@') == std::string::npos
                                                                     ? 50
                                                                     : bar.find_first_not_of('@')));
            last = std::stoull(line.substr(67));
            total += last;
        }
        EXPECT_FALSE(std::getline(in, line)) << "more than 20 rows";
        EXPECT_EQ(n, total);
        EXPECT_GE(last, 1u) << "the maximum must be counted in the last bucket";
        EXPECT_EQ(50, fullest_bar);
    }
}

}  // namespace

#include "benchmark/perf_stats.h"

#include <algorithm>
#include <iomanip>
#include <locale>
#include <sstream>

namespace {

constexpr int k_buckets = 20;
constexpr int k_bar_width = 50;

class thousands_separator : public std::numpunct<char> {
protected:
    char do_thousands_sep() const override { return '\''; }
    std::string do_grouping() const override { return "\3"; }
};

}  // namespace

PerfStats::PerfStats(size_t expected) { samples_.reserve(expected); }

void PerfStats::AddSample(std::chrono::nanoseconds duration) {
    const auto count = duration.count();
    samples_.push_back(count > 0 ? static_cast<uint64_t>(count) : 0);
}

std::string format_ns(uint64_t ns) {
    std::ostringstream out;
    // The locale owns the facet and deletes it.
    out.imbue(std::locale(std::locale::classic(), new thousands_separator));
    out << std::setw(14) << ns;
    return out.str();
}

std::ostream& operator<<(std::ostream& os, const PerfStats& stats) {
    const std::vector<uint64_t>& samples = stats.samples();
    const size_t n = samples.size();
    if (n == 0) {
        os << "No samples" << std::endl;
        return os;
    }

    uint64_t min = samples[0];
    uint64_t max = samples[0];
    uint64_t sum = 0;
    for (uint64_t s : samples) {
        min = std::min(min, s);
        max = std::max(max, s);
        sum += s;
    }
    const double mean = static_cast<double>(sum) / static_cast<double>(n);

    std::vector<uint64_t> sorted(samples);
    std::sort(sorted.begin(), sorted.end());
    const uint64_t p50 = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2] + sorted[n / 2 - 1]) >> 1;
    const uint64_t p95 = sorted[static_cast<size_t>(static_cast<double>(n) * 0.95)];
    const uint64_t p98 = sorted[static_cast<size_t>(static_cast<double>(n) * 0.98)];

    os << "   Samples: " << n << std::endl;
    os << "  Min (ns): " << format_ns(min) << std::endl;
    os << "  Avg (ns): " << format_ns(static_cast<uint64_t>(mean)) << std::endl;
    os << "  P50 (ns): " << format_ns(p50) << std::endl;
    os << "  P95 (ns): " << format_ns(p95) << std::endl;
    os << "  P98 (ns): " << format_ns(p98) << std::endl;
    os << "  Max (ns): " << format_ns(max) << std::endl;
    os << "Total (ns): " << format_ns(sum) << std::endl;

    if (max == min) return os;

    // The bucket width rounds up, so that 20 buckets reach from min to max
    // (written without max - min + 19, which could overflow).
    const uint64_t range = max - min;
    const uint64_t width = range / k_buckets + (range % k_buckets != 0 ? 1 : 0);
    uint64_t counts[k_buckets] = {};
    for (uint64_t s : samples) {
        // When the range is a whole multiple of 20, the largest samples land
        // exactly one width past the last bucket: they belong to it.
        const uint64_t index = std::min<uint64_t>((s - min) / width, k_buckets - 1);
        ++counts[index];
    }
    const uint64_t top = *std::max_element(counts, counts + k_buckets);

    os << "    value (ns) |" << std::string(k_bar_width, '-') << " count" << std::endl;
    for (int i = 0; i < k_buckets; ++i) {
        const uint64_t bar = (counts[i] * k_bar_width + top / 2) / top;
        os << format_ns(min + static_cast<uint64_t>(i) * width) << " |" << std::string(bar, '@')
           << std::string(k_bar_width - bar, ' ') << ' ' << counts[i] << std::endl;
    }
    return os;
}

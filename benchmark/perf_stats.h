// Latency statistics of one benchmark: raw nanosecond samples, and a
// fixed-layout report of them (count, min, mean, P50/P95/P98, max, total and
// a 20-bucket text histogram) written when the benchmark ends.
#pragma once

#include <stdint.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

class PerfStats {
public:
    // Reserves room for `expected` samples, so that adding them never
    // reallocates inside a timed loop.
    explicit PerfStats(size_t expected);

    // One operation's duration. A negative duration (impossible on a steady
    // clock, but not on a clock that was stepped back) counts as 0 rather
    // than wrapping into an enormous sample.
    void AddSample(std::chrono::nanoseconds duration);

    const std::vector<uint64_t>& samples() const { return samples_; }

private:
    std::vector<uint64_t> samples_;  // in the order they were added
};

// The report, on lines ended by std::endl. Statistics are computed here, on
// a sorted copy; the stats themselves are not changed.
std::ostream& operator<<(std::ostream& os, const PerfStats& stats);

// `ns` right-aligned in 14 characters with an apostrophe between groups of
// three digits ("     1'234'567"); longer figures are written whole.
std::string format_ns(uint64_t ns);

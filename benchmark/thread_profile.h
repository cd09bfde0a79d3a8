// Where a process's time goes, per thread, from what the kernel keeps about
// every thread (/proc/self/task/*/schedstat and status): CPU time, time
// waiting for a CPU, times scheduled, voluntary and involuntary switches.
// Threads are folded into groups by name, so that "lc-ds-1001-2" and
// "lc-ds-1001-3" count as one "lc-ds".
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace kvbench {

struct ThreadSample {
    std::string name;
    uint64_t cpu_ns = 0;   // on a CPU
    uint64_t wait_ns = 0;  // runnable, waiting for a CPU
    uint64_t slices = 0;   // times scheduled in
    uint64_t vcsw = 0;     // voluntary switches: slept (a wake-up follows each)
    uint64_t nvcsw = 0;    // involuntary switches: preempted
};

// The text of a schedstat file ("cpu_ns wait_ns slices"); false if malformed.
bool parse_schedstat(const std::string& text, ThreadSample* out);
// The two context-switch lines of a status file; false if either is missing.
bool parse_switches(const std::string& status, ThreadSample* out);
// A thread name without its trailing "-<number>" parts (decimal or hex).
std::string thread_group(const std::string& name);

// Every thread of this process now, by thread id.
std::map<int, ThreadSample> sample_threads();

struct GroupCost {
    std::string group;
    int threads = 0;
    ThreadSample total;  // name unused
};

// What each group's threads spent between the two samples; a thread only in
// `after` counts from zero, one only in `before` is left out (it ended and
// its last figures are unknown). Sorted by CPU time, largest first.
std::vector<GroupCost> group_costs(const std::map<int, ThreadSample>& before,
                                   const std::map<int, ThreadSample>& after);

// The median (mean of the two middle values for an even count); 0 if empty.
double median(std::vector<double> v);

}  // namespace kvbench

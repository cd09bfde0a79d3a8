// What the fault-tolerance suites share beyond the client calls: host ids
// and the reboot request line read by whoever reboots hosts for the test,
// the host identity file, the rules by which the waits for a host and for
// file-system health decide, and the attribute comparison of the
// replication suites.
//
// The waits take their clock from a tarn_testing::TimeSource, so that they
// run unchanged against a cluster and against a simulated clock.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "client/tarn_client.h"
#include "utils/tarn_api_helpers.h"

// Where a host learns its own id: text whose first token is the id in hex.
#define TARN_HOST_ID_PATH "/etc/kelvane/host_id"

namespace tarn_testing {

// Exactly 16 lowercase hex digits, zero-filled.
std::string format_host_id(uint64_t id);

// The line asking whoever runs the test to hard-reboot a host: a newline,
// "###[reboot hard=1 host_id=<id>] Hard reboot host <id>" and a newline.
std::string reboot_request_line(uint64_t id);

// Reads the first hex number of the file at `path` (leading white space
// skipped, digits up to the first non-hex character). Failures: "Cannot open
// <path>: <strerror>" and "Failed to read hex value from <path>".
testing::AssertionResult read_host_id_file(const std::string& path, uint64_t* id);

// The hosts of `hosts` (in order) that are neither `local` nor `mds`.
std::vector<uint64_t> reboot_candidates(const std::vector<uint64_t>& hosts, uint64_t local, uint64_t mds);

// Which of `count` reboot candidates a test reboots: drawn from the
// program's random seed and the test's name, so that a run given the same
// seed reboots the same hosts, runs with other seeds spread over all of
// them, and the tests of one run do not all pick alike. `count` > 0.
size_t pick_reboot_candidate(size_t count, uint32_t seed, const std::string& test_name);

// One poll of a wait: a result ends the wait with it; nullopt polls again
// after the interval.
using PollStep = std::function<std::optional<testing::AssertionResult>()>;

// Polls until `step` gives a result; after each pause, once `limit` has
// passed since the first poll, fails with `timeout_text`.
testing::AssertionResult poll_until(const PollStep& step, std::chrono::nanoseconds interval,
                                    std::chrono::nanoseconds limit, const std::string& timeout_text,
                                    const TimeSource& time);

// How one answer moves each wait on: a data server probe answering Delay is
// offline, 0 is online; "not in the map" keeps the online wait going (the
// map may not list the host yet) but ends the offline wait, which could
// otherwise never succeed.
std::optional<testing::AssertionResult> ds_offline_step(tarn_err probe);
std::optional<testing::AssertionResult> ds_online_step(tarn_err probe);
// The metadata server's offline wait reads one single-attempt call that
// it serves: as for a data server, only Delay (what a refused or lost
// connection comes to) means it went away; another error is no outage and
// ends the wait with its text.
std::optional<testing::AssertionResult> mds_offline_step(tarn_err rc);
// Healthy is code 0 with status 0; Delay or a non-zero status waits.
std::optional<testing::AssertionResult> fs_health_step(tarn_err rc, uint32_t status);

// ---------------------------------------------------------------- replication

// The ten fields the replication suites compare: type (as 16 bits), inode,
// mode, links, uid, gid, size, space used, mtime, ctime. Access time and
// anything after ctime are not compared.
bool attrs_replicated_eq(const tarn_attr& a, const tarn_attr& b);

// Success when `attrs_replicated_eq`, else "attrs mismatch: expected=<e>,
// actual=<a>".
testing::AssertionResult verify_attrs_eq(const tarn_attr& expected, const tarn_attr& actual);

// Calls `predicate` (which may set *done to make its result final) every
// 100 ms until it declares itself done; once `limit` has passed,
// fails with "Replication did not complete within <seconds> seconds: " and
// the last result's text.
testing::AssertionResult wait_for_replication(const std::function<testing::AssertionResult(bool* done)>& predicate,
                                              std::chrono::seconds limit, const TimeSource& time);

// The latency rule of the replication suite: samples of more than
// `threshold` are outliers, and at most `max_outliers` of them may be seen.
struct LatencyBudget {
    std::chrono::nanoseconds threshold{std::chrono::seconds(1)};
    size_t max_outliers = 10;
    std::vector<int64_t> outliers_ns;

    // Records one sample; false once there are more outliers than allowed.
    bool add(std::chrono::nanoseconds sample) {
        if (sample > threshold) outliers_ns.push_back(sample.count());
        return outliers_ns.size() <= max_outliers;
    }
};

}  // namespace tarn_testing

// "{ type=.., inode_num=.., mode=.., nlinks=.., uid=.., gid=.., size=..,
// space_used=.., mtime=.., ctime=.. }", every number in decimal.
std::ostream& operator<<(std::ostream& os, const tarn_attr& a);

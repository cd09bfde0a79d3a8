// Whether the names a test program was given lead anywhere, checked once
// before its first test: a mistyped cluster or file system would otherwise
// cost every test its whole retry time.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <functional>
#include <string>

struct discov_svc;

// What to look for in the registry: the records of namespace `ns`, one of
// which `is_target` must accept. The texts go into the failure line.
struct tarn_target_query {
    const char* ns;                // "tarn/mds"
    const char* listed;            // what a listing of `ns` lists: "file systems"
    std::string target;            // "file system 'tarn'"
    const char* record;            // "record", or a kind of record: "lock server record"
    std::function<bool(const discov_svc& svc)> is_target;
};

// Finds the cluster's bootstrap file, a registry that answers and a record
// `q.is_target` accepts, all within `limit_ms`. Empty when all is there;
// otherwise one line naming the cluster, the target or the file that could
// not be used.
std::string tarn_check_target_records(const std::string& cluster, const tarn_target_query& q, uint32_t limit_ms);

// The time the programs give the check.
constexpr uint32_t TARN_TEST_CHECK_TARGET_MS = 5000;

// A Google Test environment (set up only when a test is to run) that runs
// `check` and, when it answers a line, prints it on stderr and ends the
// program with status 2.
class TARNTargetCheckEnv : public ::testing::Environment {
public:
    explicit TARNTargetCheckEnv(std::function<std::string()> check) : check_(std::move(check)) {}
    void SetUp() override;

private:
    std::function<std::string()> check_;
};

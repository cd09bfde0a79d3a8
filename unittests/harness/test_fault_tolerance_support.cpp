// What the fault-tolerance suites decide by: the host identity file, the
// choice of a host to reboot, how each wait reads the answers it polls
// (on a simulated clock), and the attribute comparison and waits of the
// replication suites.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "harness/fake_time.h"
#include "utils/fault_tolerance_support.h"

using namespace tarn_testing;
using std::chrono::seconds;

namespace {

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST(HostIdFileTest, FirstHexTokenOrTheReason) {
    char dir[] = "/tmp/ut-host-id.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string path = std::string(dir) + "/host_id";
    struct Row {
        const char* content;  // null: no file
        bool ok;
        uint64_t id;
        std::string message;
    };
    const Row rows[] = {
        {nullptr, false, 0, "Cannot open " + path + ": No such file or directory"},
        {"00000000000000c1\n", true, 0xc1, ""},
        {"  \n\t1a2b trailing words\n", true, 0x1a2b, ""},
        {"A1zz", true, 0xa1, ""},
        {"xyz\n", false, 0, "Failed to read hex value from " + path},
        {"", false, 0, "Failed to read hex value from " + path},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.content ? row.content : "(no file)");
        unlink(path.c_str());
        if (row.content) std::ofstream(path) << row.content;
        uint64_t id = 0;
        testing::AssertionResult r = read_host_id_file(path, &id);
        EXPECT_EQ(row.ok, bool(r));
        if (row.ok) {
            EXPECT_EQ(row.id, id);
        } else {
            EXPECT_EQ(row.message, r.message());
        }
    }
    unlink(path.c_str());
    rmdir(dir);
}

TEST(RebootChoiceTest, CandidatesLeaveOutThisHostAndTheMdsHostInOrder) {
    EXPECT_EQ((std::vector<uint64_t>{0xa2, 0xa3}), reboot_candidates({0xa1, 0xa2, 0xa3}, 0xc1, 0xa1));
    EXPECT_EQ((std::vector<uint64_t>{0xa3}), reboot_candidates({0xa1, 0xa2, 0xa3}, 0xa2, 0xa1));
    EXPECT_EQ((std::vector<uint64_t>{}), reboot_candidates({0xa1, 0xa2}, 0xa2, 0xa1));
    EXPECT_EQ((std::vector<uint64_t>{}), reboot_candidates({}, 0xc1, 0xa1));
    EXPECT_EQ("0000000000001a2b", format_host_id(0x1a2b));
    EXPECT_EQ("ffffffffffffffff", format_host_id(~0ull));
    EXPECT_EQ("\n###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a2\n",
              reboot_request_line(0xa2));
}

TEST(RebootChoiceTest, SeededPickIsRepeatableAndReachesEveryCandidate) {
    for (size_t count : {size_t(1), size_t(2), size_t(3), size_t(7)}) {
        std::vector<bool> seen(count);
        for (uint32_t seed = 1; seed <= 200; seed++) {
            const size_t k = pick_reboot_candidate(count, seed, "Suite.Test");
            ASSERT_LT(k, count);
            EXPECT_EQ(k, pick_reboot_candidate(count, seed, "Suite.Test"));
            seen[k] = true;
        }
        EXPECT_EQ(std::vector<bool>(count, true), seen) << count << " candidates";
    }
    // Tests of one run (one seed) do not all draw alike.
    std::vector<bool> seen(3);
    for (int t = 0; t < 50; t++) seen[pick_reboot_candidate(3, 42, "Suite.Test" + std::to_string(t))] = true;
    EXPECT_EQ(std::vector<bool>(3, true), seen);
}

// Feeds a wait the answers of `script` (the last one repeats) on a
// simulated clock; returns the result and the pauses made.
struct WaitRun {
    testing::AssertionResult result = testing::AssertionSuccess();
    size_t pauses = 0;
};
WaitRun run_wait(const std::vector<std::pair<tarn_err, uint32_t>>& script,
                 std::optional<testing::AssertionResult> (*step)(tarn_err, uint32_t)) {
    harnesstest::FakeTime clock;
    DelayRetry policy = clock.policy();
    size_t i = 0;
    WaitRun run;
    run.result = poll_until(
        [&] {
            const auto& a = script[std::min(i++, script.size() - 1)];
            return step(a.first, a.second);
        },
        seconds(1), seconds(600), "timed out", policy.time);
    run.pauses = clock.sleeps.size();
    for (auto d : clock.sleeps) EXPECT_EQ(seconds(1), d);
    return run;
}

std::optional<testing::AssertionResult> offline(tarn_err e, uint32_t) { return ds_offline_step(e); }
std::optional<testing::AssertionResult> mds_offline(tarn_err e, uint32_t) { return mds_offline_step(e); }
std::optional<testing::AssertionResult> online(tarn_err e, uint32_t) { return ds_online_step(e); }
std::optional<testing::AssertionResult> healthy(tarn_err e, uint32_t s) { return fs_health_step(e, s); }

TEST(HostWaitTest, EachWaitReadsItsAnswers) {
    using Step = std::optional<testing::AssertionResult> (*)(tarn_err, uint32_t);
    struct Row {
        const char* what;
        Step step;
        std::vector<std::pair<tarn_err, uint32_t>> script;
        bool ok;
        size_t pauses;
        const char* message;
    };
    const Row rows[] = {
        {"offline after two answers", offline, {{0, 0}, {0, 0}, {8, 0}}, true, 2, ""},
        {"offline at once", offline, {{8, 0}}, true, 0, ""},
        {"host not in the map ends the offline wait", offline, {{0, 0}, {6, 0}}, false, 1,
         "tarn_test_probe_ds: File not found"},
        {"a server that never goes away", offline, {{0, 0}}, false, 600, "timed out"},
        // An error that is no outage (a bad argument, a call cut short under
        // load) must not pass for the metadata server going away.
        {"metadata server offline after answering", mds_offline, {{0, 0}, {0, 0}, {8, 0}}, true, 2, ""},
        {"metadata server error is no outage", mds_offline, {{0, 0}, {3, 0}}, false, 1,
         "tarn_test_get_fs_health_status: Invalid argument"},
        {"metadata server fault is no outage", mds_offline, {{10, 0}}, false, 0,
         "tarn_test_get_fs_health_status: Server fault"},
        {"a metadata server that never goes away", mds_offline, {{0, 0}}, false, 600, "timed out"},
        {"online waits out missing and delayed", online, {{6, 0}, {8, 0}, {8, 0}, {0, 0}}, true, 3, ""},
        {"online gives up on other errors", online, {{8, 0}, {2, 0}}, false, 1, "tarn_test_probe_ds: I/O error"},
        {"a server that never comes back", online, {{8, 0}}, false, 600, "timed out"},
        {"healthy after recovery", healthy, {{0, 1}, {8, 0}, {0, 1}, {0, 0}}, true, 3, ""},
        {"health read fails", healthy, {{0, 1}, {3, 0}}, false, 1, "tarn_test_get_fs_health_status: Invalid argument"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WaitRun run = run_wait(row.script, row.step);
        EXPECT_EQ(row.ok, bool(run.result));
        EXPECT_EQ(row.pauses, run.pauses);
        if (!row.ok) {
            EXPECT_EQ(row.message, std::string(run.result.message()));
        }
    }
}

tarn_attr sample_attrs() {
    tarn_attr a{};
    a.type = TARN_FILE_TYPE_REGULAR;
    a.inode_num = 42;
    a.mode = 0644;
    a.nlinks = 1;
    a.uid = 7;
    a.gid = 8;
    a.size = 9;
    a.space_used = 4096;
    a.atime = 100;
    a.mtime = 200;
    a.ctime = 300;
    return a;
}

TEST(ReplicatedAttrsTest, TheTenFieldsAndOnlyThemCount) {
    const tarn_attr base = sample_attrs();
    // Each compared field, changed alone, is a mismatch.
    const std::vector<std::function<void(tarn_attr&)>> compared = {
        [](tarn_attr& a) { a.type = TARN_FILE_TYPE_DIRECTORY; }, [](tarn_attr& a) { a.inode_num++; },
        [](tarn_attr& a) { a.mode = 0357; },                     [](tarn_attr& a) { a.nlinks++; },
        [](tarn_attr& a) { a.uid++; },                           [](tarn_attr& a) { a.gid++; },
        [](tarn_attr& a) { a.size++; },                          [](tarn_attr& a) { a.space_used++; },
        [](tarn_attr& a) { a.mtime++; },                         [](tarn_attr& a) { a.ctime++; },
    };
    for (size_t i = 0; i < compared.size(); i++) {
        tarn_attr other = base;
        compared[i](other);
        EXPECT_FALSE(verify_attrs_eq(base, other)) << "field " << i;
    }
    tarn_attr other = base;
    other.atime = 1;
    other.spare1 = 2;
    other.spare2 = 3;
    EXPECT_TRUE(verify_attrs_eq(base, other));

    other.mode = 0357;
    EXPECT_EQ(
        "attrs mismatch: expected={ type=1, inode_num=42, mode=420, nlinks=1, uid=7, gid=8, size=9, space_used=4096, "
        "mtime=200, ctime=300 }, actual={ type=1, inode_num=42, mode=239, nlinks=1, uid=7, gid=8, size=9, "
        "space_used=4096, mtime=200, ctime=300 }",
        std::string(verify_attrs_eq(base, other).message()));
}

TEST(ReplicationWaitTest, DoneEndsTheWaitElseItTimesOutWithTheLastMismatch) {
    struct Row {
        const char* what;
        int converge_after;  // calls until done; -1 never
        bool final_failure;  // the predicate declares a failure final
        bool ok;
        size_t pauses;
    };
    const Row rows[] = {
        {"already replicated", 1, false, true, 0},
        {"replicated on the fourth look", 4, false, true, 3},
        {"a lookup error ends it at once", 1, true, false, 0},
        {"never replicated", -1, false, false, 600},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        harnesstest::FakeTime clock;
        DelayRetry policy = clock.policy();
        int calls = 0;
        testing::AssertionResult r = wait_for_replication(
            [&](bool* done) -> testing::AssertionResult {
                calls++;
                if (row.final_failure) {
                    *done = true;
                    return testing::AssertionFailure() << "tarn_client_lookup: File not found";
                }
                if (calls == row.converge_after) {
                    *done = true;
                    return testing::AssertionSuccess();
                }
                return testing::AssertionFailure() << "mismatch " << calls;
            },
            seconds(60), policy.time);
        EXPECT_EQ(row.ok, bool(r));
        EXPECT_EQ(row.pauses, clock.sleeps.size());
        if (row.final_failure) {
            EXPECT_EQ("tarn_client_lookup: File not found", std::string(r.message()));
        }
        if (row.converge_after < 0) {
            EXPECT_EQ("Replication did not complete within 60 seconds: mismatch " + std::to_string(calls),
                      std::string(r.message()));
        }
    }
}

TEST(ReplicationLatencyTest, TenOutliersPassTheEleventhFails) {
    LatencyBudget budget;
    EXPECT_TRUE(budget.add(seconds(1)));  // exactly the threshold is no outlier
    EXPECT_TRUE(budget.outliers_ns.empty());
    for (int i = 0; i < 10; i++) EXPECT_TRUE(budget.add(seconds(1) + std::chrono::nanoseconds(1)));
    EXPECT_TRUE(budget.add(std::chrono::milliseconds(5)));
    EXPECT_EQ(10u, budget.outliers_ns.size());
    EXPECT_FALSE(budget.add(seconds(3)));
    EXPECT_EQ(3000000000, budget.outliers_ns.back());
    EXPECT_TRUE(contains(testing::PrintToString(budget.outliers_ns), "{ 1000000001,"));
}

}  // namespace

// The base fixture's clean-up list and its checkpoints, with removals going
// to a function object; the keep-on-failure rule of tear-down, checked in a
// child run of this program (only a test that really failed shows it); and
// the fixture's create helpers before any file system is open.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kiv/base.h"
#include "utils/tarn_test_base.h"

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

namespace {

// A fixture that never connects: removals are recorded and answered from a
// script, time is simulated.
class CleanupListTest : public TARNTestBase {
protected:
    void SetUp() override {
        delay_retry.time.now = [this] { return now_; };
        delay_retry.time.sleep = [this](nanoseconds d) {
            sleeps_.push_back(d);
            now_ += d;
        };
        cleanup_remover = [this](const TARNBuffer& parent, const std::string& name) -> tarn_err {
            removed_.push_back(name);
            parents_.push_back(parent);
            auto it = answers_.find(name);
            if (it == answers_.end() || it->second.empty()) return TARN_ERR_OK;
            tarn_err err = it->second.front();
            if (it->second.size() > 1) it->second.erase(it->second.begin());
            return err;
        };
        dir_ = TARNObjectHandle("dir-handle", 10);
    }

    // The real tear-down, after the scripted failures are gone, empties what
    // a test left on the list.
    void TearDown() override {
        answers_.clear();
        TARNTestBase::TearDown();
    }

    std::vector<std::string> names_on_list() {
        std::vector<std::string> names;
        for (const CleanupListEntry& e : cleanup_list) names.push_back(e.is_checkpoint ? "<checkpoint>" : e.name);
        return names;
    }

    tarn_testing::Clock::time_point now_{};
    std::vector<nanoseconds> sleeps_;
    std::vector<std::string> removed_;
    std::vector<TARNBuffer> parents_;
    // Answers per name, in order; the last one repeats.
    std::map<std::string, std::vector<tarn_err>> answers_;
    TARNObjectHandle dir_;
};

using Names = std::vector<std::string>;

TEST_F(CleanupListTest, RemovesNewestFirst) {
    add_cleanup_remove("top", root_handle);
    add_cleanup_remove("a", dir_);
    add_cleanup_remove("b", dir_);
    ASSERT_TRUE(cleanup_all());
    EXPECT_EQ((Names{"b", "a", "top"}), removed_);
    EXPECT_TRUE(cleanup_list.empty());
    EXPECT_EQ(dir_, parents_[0]);
    EXPECT_EQ(root_handle, parents_[2]);
}

TEST_F(CleanupListTest, EntryKeepsItsOwnCopyOfTheParent) {
    TARNObjectHandle parent("parent-1", 8);
    add_cleanup_remove("x", parent);
    memcpy(parent.Data(), "changed!", 8);
    ASSERT_TRUE(cleanup_all());
    ASSERT_EQ(1u, parents_.size());
    EXPECT_EQ(TARNObjectHandle("parent-1", 8), parents_[0]);
}

TEST_F(CleanupListTest, CheckpointRemovesOnlyWhatCameAfterIt) {
    add_cleanup_remove("testdir", root_handle);
    add_cleanup_remove("before", dir_);
    add_cleanup_checkpoint();
    add_cleanup_remove("f1", dir_);
    add_cleanup_remove("f2", dir_);

    ASSERT_TRUE(cleanup_until_checkpoint());
    EXPECT_EQ((Names{"f2", "f1"}), removed_);
    EXPECT_EQ((Names{"testdir", "before"}), names_on_list());

    ASSERT_TRUE(cleanup_all());
    EXPECT_EQ((Names{"f2", "f1", "before", "testdir"}), removed_);
}

TEST_F(CleanupListTest, CheckpointWithNothingAfterItIsOnlyDropped) {
    add_cleanup_remove("testdir", root_handle);
    add_cleanup_checkpoint();
    ASSERT_TRUE(cleanup_until_checkpoint());
    EXPECT_TRUE(removed_.empty());
    EXPECT_EQ(Names{"testdir"}, names_on_list());
}

TEST_F(CleanupListTest, CheckpointsNestAndCleanupAllPassesThemAll) {
    add_cleanup_remove("d", root_handle);
    add_cleanup_checkpoint();
    add_cleanup_remove("e1", dir_);
    add_cleanup_checkpoint();
    add_cleanup_remove("e2", dir_);
    add_cleanup_checkpoint();

    ASSERT_TRUE(cleanup_until_checkpoint());
    EXPECT_TRUE(removed_.empty());
    ASSERT_TRUE(cleanup_until_checkpoint());
    EXPECT_EQ(Names{"e2"}, removed_);
    ASSERT_TRUE(cleanup_all());
    EXPECT_EQ((Names{"e2", "e1", "d"}), removed_);
    EXPECT_TRUE(cleanup_list.empty());
}

TEST_F(CleanupListTest, EmptyListIsSuccess) {
    EXPECT_TRUE(cleanup_until_checkpoint());
    EXPECT_TRUE(cleanup_all());
    EXPECT_TRUE(removed_.empty());
}

TEST_F(CleanupListTest, ObjectAlreadyGoneIsAccepted) {
    // Removed by the test itself, or its create failed.
    add_cleanup_remove("gone", dir_);
    add_cleanup_remove("never_created", dir_);
    answers_["gone"] = {TARN_ERR_NOT_FOUND};
    answers_["never_created"] = {TARN_ERR_NOT_FOUND};
    EXPECT_TRUE(cleanup_all());
    EXPECT_TRUE(cleanup_list.empty());
    EXPECT_TRUE(sleeps_.empty());
}

TEST_F(CleanupListTest, FailedRemovalStopsAndKeepsOlderEntries) {
    add_cleanup_remove("testdir", root_handle);
    add_cleanup_remove("subdir", dir_);
    add_cleanup_remove("file", dir_);
    answers_["subdir"] = {TARN_ERR_NOT_EMPTY};

    testing::AssertionResult r = cleanup_all();
    EXPECT_FALSE(r);
    EXPECT_STREQ("tarn_client_remove: Directory not empty", r.message());
    EXPECT_EQ((Names{"file", "subdir"}), removed_);
    EXPECT_EQ((Names{"testdir", "subdir"}), names_on_list());
}

TEST_F(CleanupListTest, DelayIsRetriedEveryHundredMilliseconds) {
    add_cleanup_remove("slow", dir_);
    answers_["slow"] = {TARN_ERR_DELAY, TARN_ERR_DELAY, TARN_ERR_OK};
    ASSERT_TRUE(cleanup_all());
    EXPECT_EQ((Names{"slow", "slow", "slow"}), removed_);
    EXPECT_EQ(std::vector<nanoseconds>(2, milliseconds(100)), sleeps_);
}

TEST_F(CleanupListTest, DelayThenNotFoundIsAccepted) {
    add_cleanup_remove("lost_answer", dir_);
    answers_["lost_answer"] = {TARN_ERR_DELAY, TARN_ERR_NOT_FOUND};
    EXPECT_TRUE(cleanup_all());
    EXPECT_TRUE(cleanup_list.empty());
}

TEST_F(CleanupListTest, LastingDelayFailsAfterNineHundredSeconds) {
    add_cleanup_remove("stuck", dir_);
    answers_["stuck"] = {TARN_ERR_DELAY};
    testing::AssertionResult r = cleanup_all();
    EXPECT_STREQ("tarn_client_remove: Delay, try again later", r.message());
    EXPECT_EQ(9001u, removed_.size());
    EXPECT_EQ(Names{"stuck"}, names_on_list());
}

TEST_F(CleanupListTest, AddsFromManyThreads) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 500; ++i) add_cleanup_remove(std::to_string(t) + "_" + std::to_string(i), dir_);
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(4000u, cleanup_list.size());
    ASSERT_TRUE(cleanup_all());
    EXPECT_EQ(4000u, removed_.size());
}

// ---------------------------------------------------------------- helpers without a file system

// Before SetUp opened anything every client call answers "Invalid argument"
// at once; what the helpers do around the call still shows.
TEST_F(CleanupListTest, CreateTempDirPutsItsNameOnTheListFirst) {
    TARNObjectHandle out;
    testing::AssertionResult r = create_temp_dir(&out);
    EXPECT_FALSE(r);
    EXPECT_STREQ("tarn_client_create_dir: Invalid argument", r.message());
    ASSERT_EQ(1u, cleanup_list.size());
    const CleanupListEntry& e = cleanup_list.front();
    EXPECT_EQ(18u, e.name.size());
    EXPECT_EQ(0u, e.name.rfind("tarn_test_", 0));
    EXPECT_EQ(root_handle, e.parent);
    EXPECT_FALSE(e.is_checkpoint);
}

TEST_F(CleanupListTest, CreatesTakeConsecutiveVerifiersFromConstructionTime) {
    // A fresh fixture object, so its construction time is known here.
    struct Bare : TARNTestBase {
        void TestBody() override {}
    };
    uint64_t before = get_real_time_us();
    Bare fixture;
    uint64_t after = get_real_time_us();
    const uint64_t first = fixture.op_counter.load();
    EXPECT_GE(first, before);
    EXPECT_LE(first, after);

    TARNObjectHandle out;
    EXPECT_FALSE(fixture.create_file("f", dir_, &out));
    EXPECT_FALSE(fixture.create_dir("d", dir_, &out));
    EXPECT_FALSE(fixture.create_symlink("s", dir_, "target", &out));  // takes no verifier
    EXPECT_EQ(first + 2, fixture.op_counter.load());
    EXPECT_EQ(3u, fixture.cleanup_list.size());
    fixture.cleanup_list.clear();
}

TEST_F(CleanupListTest, LookupAndFsInfoNameTheirCalls) {
    TARNObjectHandle out;
    EXPECT_STREQ("tarn_client_lookup: Invalid argument", lookup("/", &out).message());
    bool cs = false;
    EXPECT_STREQ("tarn_client_get_fs_info: Invalid argument", get_case_sensitive_prop(&cs).message());
    EXPECT_FALSE(cs);
}

// ---------------------------------------------------------------- keep on failure

// Run only as a child of the tests below (disabled otherwise): the test
// fails or passes as CLEANUP_CHILD_FAIL says, with --nocleanup-failed as
// CLEANUP_CHILD_KEEP says; tear-down's removals are printed.
class CleanupChild : public TARNTestBase {
protected:
    void SetUp() override {
        cfg.nocleanup_failed = getenv("CLEANUP_CHILD_KEEP") != nullptr;
        cleanup_remover = [](const TARNBuffer&, const std::string& name) {
            printf("REMOVED %s\n", name.c_str());
            fflush(stdout);
            return TARN_ERR_OK;
        };
    }
};

TEST_F(CleanupChild, DISABLED_Body) {
    TARNObjectHandle dir("d", 1);
    add_cleanup_remove("testdir", root_handle);
    add_cleanup_remove("file", dir);
    if (getenv("CLEANUP_CHILD_FAIL")) ADD_FAILURE() << "failing on purpose";
}

std::string self_path() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return std::string();
    buf[n] = 0;
    return buf;
}

// Runs the child test; returns its standard output.
std::string run_child(bool keep, bool fail) {
    std::string cmd = "env -u CLEANUP_CHILD_KEEP -u CLEANUP_CHILD_FAIL";
    if (keep) cmd += " CLEANUP_CHILD_KEEP=1";
    if (fail) cmd += " CLEANUP_CHILD_FAIL=1";
    cmd += " '" + self_path() +
           "' --gtest_filter=CleanupChild.DISABLED_Body --gtest_also_run_disabled_tests 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "popen failed";
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

bool contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

TEST(CleanupOnTearDownTest, FailedTestKeepsItsObjectsWithNoCleanupFailed) {
    std::string out = run_child(true, true);
    EXPECT_TRUE(contains(out, "failing on purpose")) << out;
    EXPECT_FALSE(contains(out, "REMOVED")) << out;
}

TEST(CleanupOnTearDownTest, FailedTestIsCleanedUpWithoutTheSwitch) {
    std::string out = run_child(false, true);
    EXPECT_TRUE(contains(out, "failing on purpose")) << out;
    EXPECT_TRUE(contains(out, "REMOVED file\nREMOVED testdir\n")) << out;
}

TEST(CleanupOnTearDownTest, PassingTestIsCleanedUpWithTheSwitch) {
    std::string out = run_child(true, false);
    EXPECT_TRUE(contains(out, "REMOVED file\nREMOVED testdir\n")) << out;
    EXPECT_TRUE(contains(out, "[  PASSED  ] 1 test")) << out;
}

}  // namespace

// The base fixture end to end against the simulated cluster started
// in-process: set-up connects and finds the root, the purge empties the file
// system once per run, objects made through the fixture are removed by
// tear-down, checkpoints divide the list, and workers create concurrently.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "kiv/base.h"
#include "localcluster/cluster.h"
#include "utils/mthreaded_test_base.h"
#include "utils/tarn_test_base.h"

namespace {

constexpr const char* k_fs = "harnessfs";
constexpr uint64_t k_fs_id = 0x4001;

localcluster::Cluster* g_cluster = nullptr;
std::string g_leftover;  // made before the first test, purged by it

bool contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

// A fixture object of its own, for connecting outside the running test's
// fixture.
struct Probe : TARNTestBase {
    void TestBody() override {}

    tarn_err lookup_in(const TARNObjectHandle& dir, const std::string& name, TARNObjectHandle* out) {
        return retry_on_delay([&] {
            return tarn_client_lookup(&tarn_ctx, dir.Data(), dir.Length(), name.c_str(), out->Out(), nullptr,
                                      nullptr);
        });
    }
};

class HarnessE2ETest : public TARNTestBase, public MultiThreadedTestBase {
protected:
    static void SetUpTestSuite() {
        __kiv_log_level = 0;
        localcluster::ClusterConfig c;
        c.fs.push_back(localcluster::FsConfig{k_fs, k_fs_id});
        c.lock_servers = false;
        c.log_level = 0;
        g_cluster = localcluster::Cluster::start(c).release();

        TARNTestBase::cfg.cluster_name = c.cluster;
        TARNTestBase::cfg.fs_name = k_fs;
        TARNTestBase::cfg.purge = false;

        // Something for the purge to remove: a small tree nobody registered.
        Probe p;
        p.SetUp();
        if (testing::Test::HasFatalFailure()) return;
        TARNObjectHandle dir, sub, file;
        g_leftover = TARNTestBase::get_random_name("leftover_", 8);
        EXPECT_TRUE(p.create_dir(g_leftover, p.root_handle, &dir));
        EXPECT_TRUE(p.create_dir("sub", dir, &sub));
        EXPECT_TRUE(p.create_file("f1", sub, &file));
        EXPECT_TRUE(p.create_file("f2", dir, &file));
        p.cleanup_list.clear();
        p.TearDown();
        TARNTestBase::cfg.purge = true;
    }

    static void TearDownTestSuite() {
        EXPECT_EQ(1, purges);
        TARNTestBase::cfg = TARNTestConfig();
        delete g_cluster;
        g_cluster = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(nullptr, g_cluster);
        testing::internal::CaptureStdout();
        TARNTestBase::SetUp();
        setup_output_ = testing::internal::GetCapturedStdout();
        if (contains(setup_output_, "WARNING: Performing filesystem purge - removing all files and directories!\n"
                                    "This is a DANGEROUS operation that will delete ALL data!\n"
                                    "Filesystem purge completed successfully.\n"))
            ++purges;
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_TRUE(create_temp_dir(&test_root_));
        std::lock_guard<std::mutex> lock(cleanup_mutex);
        temp_name_ = cleanup_list.back().name;
    }

    // After the real tear-down a fresh connection must not find the test's
    // directory.
    void TearDown() override {
        MultiThreadedTestBase::TearDown();
        TARNTestBase::TearDown();
        if (temp_name_.empty()) return;
        Probe p;
        p.SetUp();
        if (!HasFatalFailure()) {
            TARNObjectHandle out;
            EXPECT_EQ(TARN_ERR_NOT_FOUND, p.lookup_in(p.root_handle, temp_name_, &out)) << temp_name_;
        }
        p.TearDown();
    }

    tarn_err lookup_in(const TARNObjectHandle& dir, const std::string& name, TARNObjectHandle* out) {
        return retry_on_delay([&] {
            return tarn_client_lookup(&tarn_ctx, dir.Data(), dir.Length(), name.c_str(), out->Out(), nullptr,
                                      nullptr);
        });
    }

    static int purges;  // set-ups that printed the purge lines
    std::string setup_output_;
    std::string temp_name_;
    TARNObjectHandle test_root_;
};

int HarnessE2ETest::purges = 0;

// The start-up check finds a cluster and a file system that exist, and
// names what does not.
TEST_F(HarnessE2ETest, StartUpCheckNamesWhatItCannotUse) {
    ASSERT_NE(nullptr, g_cluster);
    const std::string conf = g_cluster->conf_path();
    EXPECT_EQ("", tarn_test_check_target(g_cluster->config().cluster, k_fs, 5000));
    EXPECT_EQ("Cannot use file system 'harnessfz': cluster '" + g_cluster->config().cluster + "' (" + conf +
                  ") has no record of it",
              tarn_test_check_target(g_cluster->config().cluster, "harnessfz", 5000));
    const std::string other = g_cluster->dir() + "/nosuch.conf";
    EXPECT_EQ("Cannot use cluster 'nosuch': " + other + ": No such file or directory",
              tarn_test_check_target("nosuch", k_fs, 5000));
}

TEST_F(HarnessE2ETest, PurgeRemovedTheLeftoverTreeOnce) {
    EXPECT_TRUE(purge_done.load());
    EXPECT_EQ(1, purges);
    TARNObjectHandle out;
    EXPECT_EQ(TARN_ERR_NOT_FOUND, lookup_in(root_handle, g_leftover, &out));
}

TEST_F(HarnessE2ETest, RootAndTempDir) {
    EXPECT_FALSE(root_handle.empty());
    EXPECT_EQ(18u, temp_name_.size());
    TARNObjectHandle found;
    ASSERT_EQ(TARN_ERR_OK, lookup_in(root_handle, temp_name_, &found));
    EXPECT_EQ(test_root_, found);
    bool case_sensitive = false;
    ASSERT_TRUE(get_case_sensitive_prop(&case_sensitive));
    EXPECT_TRUE(case_sensitive);
}

TEST_F(HarnessE2ETest, CheckpointRemovesOnlyLaterObjects) {
    TARNObjectHandle sub, file, link;
    ASSERT_TRUE(create_dir("sub", test_root_, &sub));
    ASSERT_TRUE(create_file("kept", sub, &file));
    add_cleanup_checkpoint();
    ASSERT_TRUE(create_file("later", sub, &file));
    ASSERT_TRUE(create_symlink("link", sub, "kept", &link));

    ASSERT_TRUE(cleanup_until_checkpoint());
    TARNObjectHandle out;
    EXPECT_EQ(TARN_ERR_OK, lookup_in(sub, "kept", &out));
    EXPECT_EQ(TARN_ERR_NOT_FOUND, lookup_in(sub, "later", &out));
    EXPECT_EQ(TARN_ERR_NOT_FOUND, lookup_in(sub, "link", &out));
}

TEST_F(HarnessE2ETest, ObjectRemovedByTheTestAndFailedCreateAreAccepted) {
    TARNObjectHandle file;
    ASSERT_TRUE(create_file("mine", test_root_, &file));
    ASSERT_EQ(TARN_ERR_OK,
              tarn_client_remove(&tarn_ctx, test_root_.Data(), test_root_.Length(), "mine", nullptr));
    testing::AssertionResult again = create_file("mine2", test_root_, &file);
    ASSERT_TRUE(again);
    testing::AssertionResult dup = create_dir("mine2", test_root_, &file);
    EXPECT_STREQ("tarn_client_create_dir: The file already exists", dup.message());
    // "mine2" is on the list twice now; both entries must pass.
    ASSERT_TRUE(cleanup_all());
}

TEST_F(HarnessE2ETest, UnregisteredObjectFailsTheCleanupAndKeepsOlderEntries) {
    TARNObjectHandle sub, stray;
    ASSERT_TRUE(create_dir("sub", test_root_, &sub));
    tarn_attr_update mode{};
    mode.mask = TARN_SET_MODE;
    mode.attr.mode = 0644;
    ASSERT_EQ(TARN_ERR_OK, tarn_client_create_file(&tarn_ctx, sub.Data(), sub.Length(), "stray", TARN_CREATE_GUARDED,
                                                   &mode, 0, stray.Out(), nullptr, nullptr, nullptr));
    testing::AssertionResult r = cleanup_all();
    EXPECT_STREQ("tarn_client_remove: Directory not empty", r.message());
    {
        std::lock_guard<std::mutex> lock(cleanup_mutex);
        ASSERT_EQ(2u, cleanup_list.size());
        EXPECT_EQ("sub", cleanup_list.back().name);
    }
    ASSERT_EQ(TARN_ERR_OK, tarn_client_remove(&tarn_ctx, sub.Data(), sub.Length(), "stray", nullptr));
}

TEST_F(HarnessE2ETest, WorkersCreateConcurrently) {
    std::atomic<int> next{0};
    start_workers(8, [&](WorkerContext& ctx) -> testing::AssertionResult {
        while (!ctx.should_stop()) {
            TARNObjectHandle h;
            testing::AssertionResult r = create_file("w" + std::to_string(next.fetch_add(1)), test_root_, &h);
            if (!r) return r;
            ctx.count_operation(1);
        }
        return testing::AssertionSuccess();
    });
    wait_for_min_ops_per_worker(5);
    raise_worker_stop_flag();
    wait_for_workers_to_stop();
    ASSERT_TRUE(verify_no_worker_failures());
    std::lock_guard<std::mutex> lock(cleanup_mutex);
    EXPECT_EQ(static_cast<size_t>(next.load()) + 1, cleanup_list.size());
}

TEST_F(HarnessE2ETest, WriteRandomData) {
    TARNObjectHandle file;
    ASSERT_TRUE(create_file("data", test_root_, &file));
    uint64_t written = 0;
    ASSERT_TRUE(write_random_data(file, 0, 10000, 4096, false, &written));
    EXPECT_EQ(10000u, written);
    tarn_attr attrs{};
    ASSERT_EQ(TARN_ERR_OK, retry_on_delay([&] {
                  return tarn_client_get_attr(&tarn_ctx, file.Data(), file.Length(), &attrs);
              }));
    EXPECT_EQ(10000u, attrs.size);
}

}  // namespace

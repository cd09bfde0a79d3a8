// Hard links: a new link raises the link count, a repeated link is answered
// as done without counting twice, and links made across a crash of the
// metadata server are each counted exactly once.
#include <gtest/gtest.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "client/tarn_client.h"
#include "utils/mthreaded_test_base.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

class TARNLinkTest : public TARNTestBase, public MultiThreadedTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
        bool case_sensitive = true;
        ASSERT_TRUE(get_case_sensitive_prop(&case_sensitive));
        if (!case_sensitive) GTEST_SKIP() << "Skipping link tests on a case-insensitive filesystem";
    }

    void TearDown() override {
        ASSERT_NO_FATAL_FAILURE(MultiThreadedTestBase::TearDown());
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::TearDown());
    }

    // One link of `file` as `name` in the test directory; a single attempt,
    // callers decide how a Delay answer is handled.
    tarn_err link_in_test_dir(const std::string& name, const TARNObjectHandle& file, tarn_attr* attrs) {
        return tarn_client_create_link(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name.c_str(),
                                       file.Data(), file.Length(), attrs, nullptr);
    }

    TARNObjectHandle test_root_handle;
};

TEST_F(TARNLinkTest, Idempotence) {
    run_restartable([&] {
        const std::string fname = get_random_name(nullptr, 16);
        const std::string lname = get_random_name(nullptr, 16);
        TARNObjectHandle target_file_handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &target_file_handle));
        add_cleanup_remove(lname, test_root_handle);

        tarn_attr attrs{};
        tarn_err err = tarn_testing::restart_on_delay(link_in_test_dir(lname, target_file_handle, &attrs));
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_EQ(attrs.type, TARN_FILE_TYPE_REGULAR);
        ASSERT_EQ(attrs.nlinks, 2u);
        ASSERT_NE(attrs.mode, 0u);
        ASSERT_NE(attrs.mtime, 0u);
        ASSERT_NE(attrs.ctime, 0u);
        ASSERT_NE(attrs.atime, 0u);

        // The same link again is what a resend looks like: it must succeed
        // without adding a second link.
        attrs = tarn_attr{};
        err = tarn_testing::restart_on_delay(link_in_test_dir(lname, target_file_handle, &attrs));
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_EQ(attrs.nlinks, 2u);
    });
}

TEST_F(TARNLinkTest, MDSCrashTolerance) {
    // One file per worker and the link count the test expects it to have.
    struct TargetFile {
        TARNObjectHandle handle;
        std::atomic<uint32_t> nlinks{0};
    };
    std::vector<TargetFile> target_files(100);
    for (TargetFile& target_file : target_files) {
        ASSERT_TRUE(create_file(get_random_name(nullptr, 16), test_root_handle, &target_file.handle));
        target_file.nlinks = 1;
    }

    start_workers(100, [&](WorkerContext& worker) -> testing::AssertionResult {
        TargetFile& target_file = target_files[size_t(worker.index)];
        while (!worker.should_stop()) {
            const std::string lname = get_random_name(nullptr, 16);
            add_cleanup_remove(lname, test_root_handle);
            tarn_attr attrs{};
            const tarn_err err =
                retry_on_delay([&] { return link_in_test_dir(lname, target_file.handle, &attrs); }, delay_retry);
            if (err != TARN_ERR_OK) return err2result(err, "tarn_client_create_link");
            target_file.nlinks.fetch_add(1);
            worker.count_operation(1);
        }
        return testing::AssertionSuccess();
    });

    wait_for_min_ops_per_worker(5);
    ASSERT_TRUE(verify_no_worker_failures());

    const tarn_err crash_err = tarn_test_crash_mds(fs);

    raise_worker_stop_flag();
    wait_for_workers_to_stop();

    ASSERT_EQ(TARN_ERR_OK, crash_err);
    ASSERT_TRUE(verify_no_worker_failures());
    ASSERT_TRUE(wait_until_fs_info_stable());

    for (const TargetFile& target_file : target_files) {
        tarn_attr attrs{};
        const tarn_err err = retry_on_delay(
            [&] {
                return tarn_client_get_attr(&tarn_ctx, target_file.handle.Data(), target_file.handle.Length(),
                                            &attrs);
            },
            delay_retry);
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_EQ(target_file.nlinks, attrs.nlinks);
    }
}

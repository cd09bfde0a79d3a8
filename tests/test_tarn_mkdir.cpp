// Directory creation: what a new directory reports, how a repeated create is
// answered depending on its verifier, and creates that straddle a crash of
// the metadata server and must be recognised from the replayed journal.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "client/tarn_client.h"
#include "utils/mthreaded_test_base.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

namespace {

// What a fresh directory created with mode 0755 must report.
void check_new_dir(const tarn_attr& attrs) {
    ASSERT_EQ(attrs.type, TARN_FILE_TYPE_DIRECTORY);
    ASSERT_EQ(attrs.mode, 0755u);
    ASSERT_NE(attrs.mtime, 0u);
    ASSERT_NE(attrs.ctime, 0u);
    ASSERT_NE(attrs.atime, 0u);
}

}  // namespace

class TARNMkdirTest : public TARNTestBase, public MultiThreadedTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
    }

    void TearDown() override {
        ASSERT_NO_FATAL_FAILURE(MultiThreadedTestBase::TearDown());
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::TearDown());
    }

    // One create of the directory `name` in the test directory with mode
    // 0755; a single attempt, callers decide how a Delay answer is handled.
    tarn_err mkdir_in_test_dir(const std::string& name, uint64_t verifier, TARNObjectHandle* out, tarn_attr* attrs) {
        tarn_attr_update update{};
        update.mask = TARN_SET_MODE;
        update.attr.mode = 0755;
        return tarn_client_create_dir(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name.c_str(),
                                      &update, verifier, out->Out(), attrs, nullptr);
    }

    TARNObjectHandle test_root_handle;
};

TEST_F(TARNMkdirTest, NoVerifier) {
    run_restartable([&] {
        const std::string name = get_random_name(nullptr, 16);
        add_cleanup_remove(name, test_root_handle);
        TARNObjectHandle dir_handle;
        tarn_attr attrs{};

        tarn_err err = tarn_testing::restart_on_delay(mkdir_in_test_dir(name, 0, &dir_handle, &attrs));
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_NO_FATAL_FAILURE(check_new_dir(attrs));

        // Each call gets its own random verifier, so the second one is a
        // different create of an existing name.
        err = tarn_testing::restart_on_delay(mkdir_in_test_dir(name, 0, &dir_handle, &attrs));
        ASSERT_EQ(TARN_ERR_EXIST, err);
    });
}

TEST_F(TARNMkdirTest, WithVerifier) {
    run_restartable([&] {
        const std::string name = get_random_name(nullptr, 16);
        add_cleanup_remove(name, test_root_handle);
        const uint64_t verifier = get_random_uint64();
        TARNObjectHandle dir_handle;
        tarn_attr attrs{};

        tarn_err err = tarn_testing::restart_on_delay(mkdir_in_test_dir(name, verifier, &dir_handle, &attrs));
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_NO_FATAL_FAILURE(check_new_dir(attrs));

        // Cleared so that the checks below see what the repeat reported.
        attrs = tarn_attr{};
        err = tarn_testing::restart_on_delay(mkdir_in_test_dir(name, verifier, &dir_handle, &attrs));
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_NO_FATAL_FAILURE(check_new_dir(attrs));

        err = tarn_testing::restart_on_delay(mkdir_in_test_dir(name, verifier + 1, &dir_handle, &attrs));
        ASSERT_EQ(TARN_ERR_EXIST, err);
    });
}

TEST_F(TARNMkdirTest, JournalReplay) {
    start_workers(100, [&](WorkerContext& worker) -> testing::AssertionResult {
        int32_t sequence = 0;
        while (!worker.should_stop()) {
            const std::string name = get_random_name(nullptr, 16);
            add_cleanup_remove(name, test_root_handle);
            // Unique per create and never 0: the client would replace a zero
            // verifier by a new random one on every attempt, and a repeat
            // across the crash would then be taken for another create of an
            // existing name.
            const int32_t verifier = worker.index * 100000 + sequence + 1;
            TARNObjectHandle dir_handle;
            tarn_attr attrs{};
            const tarn_err err = retry_on_delay(
                [&] { return mkdir_in_test_dir(name, uint64_t(int64_t(verifier)), &dir_handle, &attrs); },
                delay_retry);
            if (err != TARN_ERR_OK) return err2result(err, "tarn_client_create_dir");
            sequence++;
            worker.count_operation(1);
        }
        return testing::AssertionSuccess();
    });

    wait_for_min_ops_per_worker(5);
    ASSERT_TRUE(verify_no_worker_failures());

    const tarn_err crash_err = tarn_test_crash_mds(fs);

    raise_worker_stop_flag();
    wait_for_workers_to_stop();

    EXPECT_EQ(TARN_ERR_OK, crash_err);
    // A create repeated by the Delay retry after the crash must be
    // recognised by its verifier: TARN_ERR_OK, never TARN_ERR_EXIST.
    EXPECT_TRUE(verify_no_worker_failures());
}

// Regular-file creation: the three create modes, how a repeated create is
// answered depending on its verifier, what lookup and sync see of a new
// file, and creates that straddle a crash of the metadata server.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <string>

#include "client/tarn_client.h"
#include "utils/mthreaded_test_base.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

namespace {

// What a fresh regular file created with mode 0644 must report.
void check_new_file(bool created, const tarn_attr& attrs) {
    ASSERT_TRUE(created);
    ASSERT_EQ(attrs.type, TARN_FILE_TYPE_REGULAR);
    ASSERT_EQ(attrs.mode, 0644u);
    ASSERT_NE(attrs.mtime, 0u);
    ASSERT_NE(attrs.ctime, 0u);
    ASSERT_NE(attrs.atime, 0u);
}

}  // namespace

class TARNCreateTest : public TARNTestBase, public MultiThreadedTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
    }

    void TearDown() override {
        ASSERT_NO_FATAL_FAILURE(MultiThreadedTestBase::TearDown());
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::TearDown());
    }

    // One create of `name` in the test directory with permission bits
    // `perm`; a single attempt, callers decide how a Delay answer is handled.
    tarn_err create_in_test_dir(const std::string& name, tarn_create_mode mode, uint64_t verifier,
                                TARNObjectHandle* out, bool* created, tarn_attr* attrs, uint32_t perm = 0644) {
        tarn_attr_update update{};
        update.mask = TARN_SET_MODE;
        update.attr.mode = perm;
        return tarn_client_create_file(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name.c_str(),
                                       mode, &update, verifier, out->Out(), created, attrs, nullptr);
    }

    // Creates a name, repeats it with the same verifier (answered like the
    // first create) and then with another verifier (the name exists).
    void check_repeat_with_verifier(tarn_create_mode mode) {
        run_restartable([&] {
            const std::string name = get_random_name(nullptr, 16);
            add_cleanup_remove(name, test_root_handle);
            const uint64_t verifier = get_random_uint64();
            TARNObjectHandle file_handle;
            bool created = false;
            tarn_attr attrs{};

            tarn_err err = tarn_testing::restart_on_delay(
                create_in_test_dir(name, mode, verifier, &file_handle, &created, &attrs));
            ASSERT_EQ(TARN_ERR_OK, err);
            ASSERT_NO_FATAL_FAILURE(check_new_file(created, attrs));

            // Cleared so that the checks below see what the repeat reported.
            created = false;
            attrs = tarn_attr{};
            err = tarn_testing::restart_on_delay(
                create_in_test_dir(name, mode, verifier, &file_handle, &created, &attrs));
            ASSERT_EQ(TARN_ERR_OK, err);
            ASSERT_NO_FATAL_FAILURE(check_new_file(created, attrs));

            err = tarn_testing::restart_on_delay(
                create_in_test_dir(name, mode, verifier + 1, &file_handle, &created, &attrs));
            ASSERT_EQ(TARN_ERR_EXIST, err);
        });
    }

    TARNObjectHandle test_root_handle;
};

TEST_F(TARNCreateTest, UncheckedMode) {
    const std::string name = get_random_name(nullptr, 16);
    add_cleanup_remove(name, test_root_handle);
    TARNObjectHandle file_handle;
    bool created = false;
    tarn_attr attrs{};
    const tarn_err err = retry_on_delay(
        [&] { return create_in_test_dir(name, TARN_CREATE_UNCHECKED, 0, &file_handle, &created, &attrs); },
        delay_retry);
    ASSERT_EQ(TARN_ERR_NOT_IMPL, err);
}

TEST_F(TARNCreateTest, GuardedMode_NoVerifier) {
    run_restartable([&] {
        const std::string name = get_random_name(nullptr, 16);
        add_cleanup_remove(name, test_root_handle);
        TARNObjectHandle file_handle;
        bool created = false;
        tarn_attr attrs{};

        tarn_err err = tarn_testing::restart_on_delay(
            create_in_test_dir(name, TARN_CREATE_GUARDED, 0, &file_handle, &created, &attrs));
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_NO_FATAL_FAILURE(check_new_file(created, attrs));

        // Each call gets its own random verifier, so the second one is a
        // different create of an existing name.
        err = tarn_testing::restart_on_delay(
            create_in_test_dir(name, TARN_CREATE_GUARDED, 0, &file_handle, &created, &attrs));
        ASSERT_EQ(TARN_ERR_EXIST, err);
    });
}

TEST_F(TARNCreateTest, GuardedMode_WithVerifier) { check_repeat_with_verifier(TARN_CREATE_GUARDED); }

TEST_F(TARNCreateTest, ExclusiveMode_NoVerifier) {
    run_restartable([&] {
        const std::string name = get_random_name(nullptr, 16);
        add_cleanup_remove(name, test_root_handle);
        TARNObjectHandle file_handle;
        bool created = false;
        tarn_attr attrs{};

        const tarn_err err = tarn_testing::restart_on_delay(
            create_in_test_dir(name, TARN_CREATE_EXCLUSIVE, 0, &file_handle, &created, &attrs));
        ASSERT_EQ(TARN_ERR_INVAL, err);
    });
}

TEST_F(TARNCreateTest, ExclusiveMode_WithVerifier) { check_repeat_with_verifier(TARN_CREATE_EXCLUSIVE); }

TEST_F(TARNCreateTest, LookupAfterCreate) {
    TARNObjectHandle file_handle;
    tarn_attr attrs1{};
    ASSERT_TRUE(create_file_ex("test", test_root_handle, &file_handle, &attrs1));

    TARNObjectHandle lookup_handle;
    tarn_attr attrs2{};
    const tarn_err err = retry_on_delay(
        [&] {
            return tarn_client_lookup(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), "test",
                                      lookup_handle.Out(), &attrs2, nullptr);
        },
        delay_retry);
    ASSERT_EQ(TARN_ERR_OK, err);

    // ctime is left out: the server may touch it between the two calls.
    ASSERT_EQ(attrs1.type, attrs2.type);
    ASSERT_EQ(attrs1.inode_num, attrs2.inode_num);
    ASSERT_EQ(attrs1.mode, attrs2.mode);
    ASSERT_EQ(attrs1.nlinks, attrs2.nlinks);
    ASSERT_EQ(attrs1.uid, attrs2.uid);
    ASSERT_EQ(attrs1.gid, attrs2.gid);
    ASSERT_EQ(attrs1.size, attrs2.size);
    ASSERT_EQ(attrs1.space_used, attrs2.space_used);
    ASSERT_EQ(attrs1.atime, attrs2.atime);
    ASSERT_EQ(attrs1.mtime, attrs2.mtime);

    // Every create above asks for 0644, which a server that ignores the
    // asked mode gives anyway: files asking for other modes must report
    // and keep those.
    for (const uint32_t perm : {0600u, 0755u}) {
        char name_buf[16];
        snprintf(name_buf, sizeof name_buf, "mode_%04o", perm);
        const std::string name = name_buf;
        add_cleanup_remove(name, test_root_handle);
        // One verifier for every attempt, so a repeated create is answered as done.
        const uint64_t verifier = get_random_uint64() | 1;
        TARNObjectHandle handle;
        bool created = false;
        tarn_attr attrs{};
        tarn_err err = retry_on_delay(
            [&] {
                return create_in_test_dir(name, TARN_CREATE_GUARDED, verifier, &handle, &created, &attrs, perm);
            },
            delay_retry);
        ASSERT_EQ(TARN_ERR_OK, err) << name;
        ASSERT_EQ(perm, attrs.mode) << name << " was created with mode " << std::oct << attrs.mode;

        tarn_attr looked_up{};
        err = retry_on_delay(
            [&] {
                return tarn_client_lookup(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                          name.c_str(), lookup_handle.Out(), &looked_up, nullptr);
            },
            delay_retry);
        ASSERT_EQ(TARN_ERR_OK, err) << name;
        ASSERT_EQ(perm, looked_up.mode) << name << " is looked up with mode " << std::oct << looked_up.mode;
    }
}

TEST_F(TARNCreateTest, SyncAfterCreate) {
    TARNObjectHandle file_handle;
    tarn_attr attrs{};
    ASSERT_TRUE(create_file_ex("test", test_root_handle, &file_handle, &attrs));

    uint64_t write_verifier = 0;
    const tarn_err err = retry_on_delay(
        [&] {
            return tarn_client_sync(&tarn_ctx, file_handle.Data(), file_handle.Length(), &write_verifier, nullptr);
        },
        delay_retry);
    ASSERT_EQ(TARN_ERR_OK, err);
}

TEST_F(TARNCreateTest, MDSCrashTolerance) {
    std::atomic<int32_t> next_file_id{1000};
    std::atomic<int32_t> created_files{0};

    start_workers(100, [&](WorkerContext& worker) -> testing::AssertionResult {
        while (!worker.should_stop()) {
            const int32_t id = next_file_id.fetch_add(1);
            const std::string name = std::to_string(id);
            add_cleanup_remove(name, test_root_handle);
            TARNObjectHandle file_handle;
            bool created = false;
            tarn_attr attrs{};
            // Every attempt carries the same verifier, so a create that the
            // MDS executed before crashing is answered as done when repeated.
            const uint64_t verifier = uint64_t(int64_t(id));
            const tarn_err err = retry_on_delay(
                [&] {
                    return create_in_test_dir(name, TARN_CREATE_GUARDED, verifier, &file_handle, &created, &attrs);
                },
                delay_retry);
            if (err != TARN_ERR_OK) return err2result(err, "tarn_client_create_file");
            created_files.fetch_add(1);
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
    EXPECT_TRUE(verify_no_worker_failures());

    const int32_t last_id = 999 + created_files.load();
    for (int32_t id = 1000; id <= last_id; id++) {
        const std::string name = std::to_string(id);
        TARNObjectHandle file_handle;
        const tarn_err err = retry_on_delay(
            [&] {
                return tarn_client_lookup(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                          name.c_str(), file_handle.Out(), nullptr, nullptr);
            },
            delay_retry);
        EXPECT_EQ(TARN_ERR_OK, err) << "File ID: " << id;
    }
}

// Handles of removed objects: once the file server reports a handle as
// gone, setting attributes, reading and writing through it must report the
// same, for directories and for regular files, also once new objects of
// the same kind exist.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>

#include "client/tarn_client.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

namespace {

const std::string TEST_DIR_NAME = "stale_dir";
const std::string TEST_FILE_NAME = "stale_file";
const char TEST_DATA[] = "test data";
const uint32_t TEST_DATA_LEN = 9;

}  // namespace

class TARNStaleHandleTest : public TARNTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
    }

    // A removed object's handle may keep answering for a while (the data
    // server learns of the removal after the metadata server); waits until
    // its attributes are refused.
    testing::AssertionResult wait_for_stale_handle(const TARNObjectHandle& handle,
                                                   std::chrono::milliseconds timeout = std::chrono::milliseconds(900000)) {
        std::cout << "Waiting for handle to become stale..." << std::endl;
        const std::chrono::nanoseconds deadline = timeout;
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            tarn_attr attrs{};
            tarn_err answer = tarn_client_get_attr(&tarn_ctx, handle.Data(), handle.Length(), &attrs);
            if (answer == TARN_ERR_NOT_FOUND) return testing::AssertionSuccess();
            if (answer != TARN_ERR_OK && answer != TARN_ERR_DELAY)
                return testing::AssertionFailure()
                       << "Unexpected error while checking " << "for stale handle: " << tarn_get_err_msg(answer);
            tarn_testing::sleep_resuming(std::chrono::milliseconds(100));
            if (std::chrono::steady_clock::now() - start >= deadline)
                return testing::AssertionFailure() << "Handle did not become stale within timeout";
        }
    }

    RetriedErr remove_test_object(const std::string& name) {
        return retry_on_delay_ex([&] {
            return tarn_client_remove(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name.c_str(),
                                      nullptr);
        });
    }

    // New objects of the removed one's kind, one under its name and two
    // beside it: a handle the server handed out again would answer for one
    // of them.
    testing::AssertionResult create_new_objects(const std::string& name, bool directory) {
        for (const std::string& n : {name, name + "_2", name + "_3"}) {
            TARNObjectHandle handle;
            testing::AssertionResult made =
                directory ? create_dir(n, test_root_handle, &handle) : create_file(n, test_root_handle, &handle);
            if (!made) return made;
        }
        return testing::AssertionSuccess();
    }

    tarn_err read_test_data(const TARNObjectHandle& handle) {
        char buffer[256];
        uint32_t bytes_read = 0;
        bool eof = false;
        return retry_on_delay([&] {
            return tarn_client_read(&tarn_ctx, handle.Data(), handle.Length(), 0, buffer, sizeof(buffer), &bytes_read,
                                    &eof, nullptr);
        });
    }

    tarn_err set_mode_0644(const TARNObjectHandle& handle) {
        tarn_attr_update update{};
        update.mask = TARN_SET_MODE;
        update.attr.mode = 0644;
        return retry_on_delay(
            [&] { return tarn_client_set_attr(&tarn_ctx, handle.Data(), handle.Length(), &update, 0, nullptr); });
    }

    tarn_err write_test_data(const TARNObjectHandle& handle) {
        uint32_t bytes_written = 0;
        return retry_on_delay([&] {
            return tarn_client_write(&tarn_ctx, handle.Data(), handle.Length(), 0, TEST_DATA, TEST_DATA_LEN, false,
                                     &bytes_written, nullptr, nullptr);
        });
    }

    TARNObjectHandle test_root_handle;
};

TEST_F(TARNStaleHandleTest, SetAttrOnStaleDirectoryHandle) {
    TARNObjectHandle dir_handle;
    ASSERT_TRUE(create_dir(TEST_DIR_NAME, test_root_handle, &dir_handle));
    RetriedErr rerr = remove_test_object(TEST_DIR_NAME);
    ASSERT_TRUE(is_tarn_remove_ok(rerr));
    ASSERT_TRUE(wait_for_stale_handle(dir_handle));
    tarn_err err = set_mode_0644(dir_handle);
    EXPECT_EQ(TARN_ERR_NOT_FOUND, err);
    ASSERT_TRUE(create_new_objects(TEST_DIR_NAME, true));
    err = set_mode_0644(dir_handle);
    EXPECT_EQ(TARN_ERR_NOT_FOUND, err);
}

TEST_F(TARNStaleHandleTest, SetAttrOnStaleFileHandle) {
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &file_handle));
    RetriedErr rerr = remove_test_object(TEST_FILE_NAME);
    ASSERT_TRUE(is_tarn_remove_ok(rerr));
    ASSERT_TRUE(wait_for_stale_handle(file_handle));
    tarn_err err = set_mode_0644(file_handle);
    EXPECT_EQ(TARN_ERR_NOT_FOUND, err);
    ASSERT_TRUE(create_new_objects(TEST_FILE_NAME, false));
    err = set_mode_0644(file_handle);
    EXPECT_EQ(TARN_ERR_NOT_FOUND, err);
}

TEST_F(TARNStaleHandleTest, ReadOnStaleFileHandle) {
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &file_handle));
    tarn_err err = write_test_data(file_handle);
    ASSERT_EQ(TARN_ERR_OK, err);
    RetriedErr rerr = remove_test_object(TEST_FILE_NAME);
    ASSERT_TRUE(is_tarn_remove_ok(rerr));
    ASSERT_TRUE(wait_for_stale_handle(file_handle));
    err = read_test_data(file_handle);
    EXPECT_EQ(TARN_ERR_NOT_FOUND, err);
    ASSERT_TRUE(create_new_objects(TEST_FILE_NAME, false));
    err = read_test_data(file_handle);
    EXPECT_EQ(TARN_ERR_NOT_FOUND, err);
}

TEST_F(TARNStaleHandleTest, WriteOnStaleFileHandle) {
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &file_handle));
    RetriedErr rerr = remove_test_object(TEST_FILE_NAME);
    ASSERT_TRUE(is_tarn_remove_ok(rerr));
    ASSERT_TRUE(wait_for_stale_handle(file_handle));
    tarn_err err = write_test_data(file_handle);
    EXPECT_EQ(TARN_ERR_NOT_FOUND, err);
    ASSERT_TRUE(create_new_objects(TEST_FILE_NAME, false));
    err = write_test_data(file_handle);
    EXPECT_EQ(TARN_ERR_NOT_FOUND, err);
}

// Preallocation: a reserved range sets the file's size to its end and is
// backed by used space; a 5 GiB range comes and goes while the share
// settles; ranges beyond the free space, beyond the largest file and of no
// length are refused.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "client/tarn_client.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

namespace {

const std::string TEST_FILE_NAME = "file";

}  // namespace

class TARNFAllocateTest : public TARNTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
        ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &test_obj_handle));
    }

    tarn_err fallocate(uint64_t offset, uint64_t length) {
        return retry_on_delay([&] {
            return tarn_client_fallocate(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(), offset, length);
        });
    }

    tarn_err get_attr(tarn_attr* attrs) {
        return retry_on_delay(
            [&] { return tarn_client_get_attr(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(), attrs); });
    }

    TARNObjectHandle test_root_handle;
    TARNObjectHandle test_obj_handle;
};

TEST_F(TARNFAllocateTest, Smoke) {
    const uint64_t length = 100500;
    tarn_err err = fallocate(0, length);
    ASSERT_EQ(TARN_ERR_OK, err);
    tarn_attr attrs{};
    err = get_attr(&attrs);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(length, attrs.size);
    ASSERT_LE(length, attrs.space_used);
}

TEST_F(TARNFAllocateTest, NonZeroOffset) {
    const uint64_t offset = 12345;
    const uint64_t length = 100500;
    tarn_err err = fallocate(offset, length);
    ASSERT_EQ(TARN_ERR_OK, err);
    tarn_attr attrs{};
    err = get_attr(&attrs);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(offset + length, attrs.size);
    // The range's length bounds the space, not its end.
    ASSERT_LE(length, attrs.space_used);
}

TEST_F(TARNFAllocateTest, LargeFile) {
    const uint64_t large_size = 5368709120ull;
    ASSERT_TRUE(wait_until_fs_info_stable());
    tarn_err err = fallocate(0, large_size);
    ASSERT_EQ(TARN_ERR_OK, err);
    tarn_attr attrs{};
    err = get_attr(&attrs);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(large_size, attrs.size);
    ASSERT_LE(large_size, attrs.space_used);
    ASSERT_TRUE(cleanup_all());
    ASSERT_TRUE(wait_until_fs_info_stable());
}

TEST_F(TARNFAllocateTest, NotEnoughSpace) {
    tarn_fs_info fs_info{};
    ASSERT_TRUE(wait_until_fs_info_stable(&fs_info));
    const uint64_t length = fs_info.free_space * uint64_t(fs_info.frsize) + 1073741824ull;
    tarn_err err = fallocate(0, length);
    ASSERT_EQ(TARN_ERR_NO_SPACE, err);
    ASSERT_TRUE(cleanup_all());
    ASSERT_TRUE(wait_until_fs_info_stable());
}

TEST_F(TARNFAllocateTest, FileTooLarge) {
    const uint64_t largest = 9223372036854775807ull;
    tarn_err err = fallocate(largest, largest);
    ASSERT_EQ(TARN_ERR_FILE_TOO_LARGE, err);
}

TEST_F(TARNFAllocateTest, ZeroRange) {
    tarn_err err = fallocate(0, 0);
    ASSERT_EQ(TARN_ERR_INVAL, err);
}

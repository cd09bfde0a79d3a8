// Data input and output: bytes written to a file read back exactly; short
// reads at the end of a file, writes that extend it and the zeros of the
// holes they leave; and 256 writers then 256 readers on records spread at
// 1 MiB strides over a preallocated 32 GiB file.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "client/tarn_client.h"
#include "utils/mthreaded_test_base.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

namespace {

const std::string TEST_FILE_NAME = "file";

}  // namespace

class TARNDataIOTest : public TARNTestBase, public MultiThreadedTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
        ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &test_obj_handle));
    }

    void TearDown() override {
        ASSERT_NO_FATAL_FAILURE(MultiThreadedTestBase::TearDown());
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::TearDown());
    }

    tarn_err write(uint64_t offset, const void* data, uint32_t length, uint32_t* written,
                   uint64_t* verifier = nullptr) {
        return retry_on_delay([&] {
            *written = 0;
            return tarn_client_write(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(), offset, data, length,
                                     false, written, verifier, nullptr);
        });
    }

    tarn_err read(uint64_t offset, void* buffer, uint32_t length, uint32_t* count) {
        return retry_on_delay([&] {
            *count = 0;
            bool eof = false;
            return tarn_client_read(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(), offset, buffer,
                                    length, count, &eof, nullptr);
        });
    }

    TARNObjectHandle test_root_handle;
    TARNObjectHandle test_obj_handle;
};

TEST_F(TARNDataIOTest, BasicWriteAndRead) {
    const char* text = "test data";
    uint32_t written = 0;
    tarn_err err = write(0, text, uint32_t(strlen(text)), &written);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(strlen(text), written);

    TARNBuffer buffer(256);
    uint32_t count = 0;
    err = read(0, buffer.Data(), 256, &count);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(strlen(text), count);

    buffer.desc.size = count;
    ASSERT_STREQ(text, buffer.AsCString());
}

// Initial file size, offset, length.
class ReadWriteTest : public TARNDataIOTest,
                      public testing::WithParamInterface<std::tuple<uint32_t, uint32_t, uint32_t>> {
protected:
    static std::vector<uint8_t> init_data(uint32_t size) {
        std::vector<uint8_t> v(size);
        for (uint32_t i = 0; i < size; i++) v[i] = uint8_t(i);
        return v;
    }

    static std::vector<uint8_t> write_data(uint32_t offset, uint32_t length) {
        std::vector<uint8_t> v(length);
        for (uint32_t i = 0; i < length; i++) v[i] = uint8_t(offset + 13 + i);
        return v;
    }

    // The file's first `size` bytes, written at 0 when there are any.
    void write_initial(const std::vector<uint8_t>& init) {
        if (init.empty()) return;
        uint32_t written = 0;
        tarn_err err = write(0, init.data(), uint32_t(init.size()), &written);
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_EQ(init.size(), written);
    }
};

TEST_P(ReadWriteTest, TestRead) {
    const auto [size, offset, length] = GetParam();
    const std::vector<uint8_t> init = init_data(size);
    ASSERT_NO_FATAL_FAILURE(write_initial(init));

    std::vector<uint8_t> read_data(length);
    uint32_t count = 0;
    tarn_err err = read(offset, read_data.data(), length, &count);
    ASSERT_EQ(TARN_ERR_OK, err);

    const uint32_t expected_bytes = offset < size ? std::min(size - offset, length) : 0;
    ASSERT_EQ(expected_bytes, count);

    read_data.resize(count);
    std::vector<uint8_t> expected_data;
    if (offset < size) expected_data.assign(init.begin() + offset, init.begin() + offset + expected_bytes);
    ASSERT_EQ(expected_data, read_data);
}

TEST_P(ReadWriteTest, TestWrite) {
    const auto [size, offset, length] = GetParam();
    const std::vector<uint8_t> init = init_data(size);
    ASSERT_NO_FATAL_FAILURE(write_initial(init));

    const std::vector<uint8_t> data = write_data(offset, length);
    uint32_t written = 0;
    tarn_err err = write(offset, data.data(), length, &written);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(length, written);

    tarn_attr attrs{};
    err = retry_on_delay(
        [&] { return tarn_client_get_attr(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(), &attrs); });
    ASSERT_EQ(TARN_ERR_OK, err);

    // A zero-length write never moves the end, not even past it.
    const uint64_t expected_fsize =
        (length == 0 || uint64_t(offset) + length < size) ? uint64_t(size) : uint64_t(offset) + length;
    ASSERT_EQ(expected_fsize, attrs.size);

    // One byte more than the file holds: the answer stops at the end.
    std::vector<uint8_t> read_data(attrs.size + 1);
    uint32_t count = 0;
    err = read(0, read_data.data(), uint32_t(read_data.size()), &count);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(attrs.size, count);

    read_data.resize(count);
    std::vector<uint8_t> expected_data(attrs.size, 0);
    std::copy(init.begin(), init.end(), expected_data.begin());
    if (!data.empty()) std::copy(data.begin(), data.end(), expected_data.begin() + offset);
    ASSERT_EQ(expected_data, read_data);
}

INSTANTIATE_TEST_SUITE_P(ReadWriteTest, ReadWriteTest,
                         testing::Combine(testing::Values(0u, 1u, 256u, 512u, 1024u),
                                          testing::Values(0u, 1u, 256u, 512u, 768u),
                                          testing::Values(0u, 1u, 7u, 256u, 512u)));

class RandomAccessReadWriteTest : public TARNDataIOTest {};

namespace {

constexpr uint64_t k_block_shift = 20;  // one record at the start of every 1 MiB
constexpr uint32_t k_record_bytes = 4096;
constexpr uint32_t k_record_words = k_record_bytes / 8;
constexpr int k_workers = 256;

}  // namespace

TEST_F(RandomAccessReadWriteTest, ConcurrentWriteRead32GiB) {
    ASSERT_TRUE(wait_until_fs_info_stable());

    uint64_t file_size = 34359738368ull;
    auto fallocate = [&] {
        return retry_on_delay([&] {
            return tarn_client_fallocate(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(), 0, file_size);
        });
    };
    tarn_err err = fallocate();
    if (err == TARN_ERR_NO_SPACE) {
        file_size = 8589934592ull;
        err = fallocate();
    }
    ASSERT_EQ(TARN_ERR_OK, err);
    const uint64_t block_count = file_size >> k_block_shift;

    // Worker w owns the blocks w, w + 256, ...; its words 1..511 continue one
    // running counter from record to record.
    auto writer = [&](WorkerContext& ctx) -> testing::AssertionResult {
        std::vector<uint64_t> record(k_record_words);
        uint64_t k = 0;
        for (uint64_t block = uint64_t(ctx.index); block < block_count; block += k_workers) {
            if (ctx.should_stop()) return testing::AssertionSuccess();
            record[0] = uint64_t(int64_t(ctx.index));
            for (uint32_t j = 1; j < k_record_words; j++) record[j] = (k_record_words - 1) * k + j - 1;
            uint32_t written = 0;
            uint64_t verifier = 0;
            tarn_err e = write(block << k_block_shift, record.data(), k_record_bytes, &written, &verifier);
            if (e != TARN_ERR_OK) return err2result(e, "tarn_client_write");
            if (written != k_record_bytes)
                return testing::AssertionFailure() << "Expected " << k_record_bytes << " bytes written, got " << written;
            k++;
        }
        return testing::AssertionSuccess();
    };
    auto reader = [&](WorkerContext& ctx) -> testing::AssertionResult {
        std::vector<uint64_t> record(k_record_words);
        uint64_t c = 0;
        for (uint64_t block = uint64_t(ctx.index); block < block_count; block += k_workers) {
            if (ctx.should_stop()) return testing::AssertionSuccess();
            uint32_t count = 0;
            tarn_err e = read(block << k_block_shift, record.data(), k_record_bytes, &count);
            if (e != TARN_ERR_OK) return err2result(e, "tarn_client_read");
            if (count != k_record_bytes)
                return testing::AssertionFailure() << "Expected " << k_record_bytes << " bytes read, got " << count;
            if (record[0] != uint64_t(int64_t(ctx.index)))
                return testing::AssertionFailure() << "Wrong thread idx at block " << block << ": expected "
                                                   << ctx.index << ", got " << record[0];
            for (uint32_t j = 1; j < k_record_words; j++) {
                if (record[j] != c)
                    return testing::AssertionFailure() << "Wrong filler at block " << block << " offset " << j * 8;
                c++;
            }
        }
        return testing::AssertionSuccess();
    };

    start_workers(k_workers, writer);
    wait_for_workers_to_stop();
    ASSERT_TRUE(verify_no_worker_failures()) << "Failed to write data";

    uint64_t commit_verifier = 0;
    err = retry_on_delay([&] {
        return tarn_client_sync(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(), &commit_verifier,
                                nullptr);
    });
    ASSERT_EQ(TARN_ERR_OK, err);

    start_workers(k_workers, reader);
    wait_for_workers_to_stop();
    EXPECT_TRUE(verify_no_worker_failures()) << "Failed to verify data";

    EXPECT_TRUE(cleanup_all());
    EXPECT_TRUE(wait_until_fs_info_stable());
}

// Space limits: a share running out of space stops its writers cleanly with
// "Not enough space", leaving little unused; the writers got everything
// above that and not much more than was free; data already written can be
// overwritten in place on the full share; removing it gives the space back.
// One writer on one file, then 100 writers on 100 files.
#include <gtest/gtest.h>
#include <stdint.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "client/tarn_client.h"
#include "utils/mthreaded_test_base.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

namespace {

constexpr uint64_t CHUNK_SIZE = 1048576;

// The most space a share may leave free once it refuses writes: 4096 blocks
// plus 1 MiB, computed as the original tool does, in 32 bits.
uint64_t min_free_space_for(uint32_t bs) { return uint64_t(uint32_t((bs + 256) * 4096)); }

template <typename A, typename B>
void expect_within_tolerance(A a, B b, int percent) {
    using CommonType = std::common_type_t<A, B>;
    const CommonType abs_diff = a > b ? CommonType(a - b) : CommonType(b - a);
    const double tolerance = static_cast<double>(a) * (percent / 100.0);
    EXPECT_LE(abs_diff, static_cast<CommonType>(std::ceil(tolerance)))
        << "Values " << a << " and " << b << " are not within " << percent << "% tolerance";
}

}  // namespace

class TARNSpaceLimitsTest : public TARNTestBase, public MultiThreadedTestBase {
protected:
    void TearDown() override {
        ASSERT_NO_FATAL_FAILURE(MultiThreadedTestBase::TearDown());
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::TearDown());
    }

    tarn_err fallocate(const TARNObjectHandle& handle, uint64_t length) {
        return retry_on_delay(
            [&] { return tarn_client_fallocate(&tarn_ctx, handle.Data(), handle.Length(), 0, length); });
    }

    // Removes what the test made after its checkpoint. The clean-up list's
    // mutex is taken here once; the walk itself must not take it again.
    testing::AssertionResult cleanup_test_objects() {
        std::lock_guard<std::mutex> lock(cleanup_mutex);
        return cleanup_until_checkpoint_locked();
    }

    TARNObjectHandle test_root_handle;
};

TEST_F(TARNSpaceLimitsTest, SingleFile) {
    const uint64_t acceptable_overflow = 269529088;
    ASSERT_TRUE(create_temp_dir(&test_root_handle));
    add_cleanup_checkpoint();

    tarn_fs_info initial{};
    ASSERT_TRUE(wait_until_fs_info_stable(&initial));
    const uint32_t bs = initial.frsize;
    ASSERT_GT(initial.avail_space * bs, uint64_t((1 * 1024 * 1024) * 500))
        << "Not enough available space to run this test";

    TARNObjectHandle fh;
    ASSERT_TRUE(create_file("filler", test_root_handle, &fh));
    const uint64_t filler_size = initial.avail_space * bs - (1 * 1024 * 1024) * 500;
    tarn_err err = fallocate(fh, filler_size);
    ASSERT_EQ(TARN_ERR_OK, err);

    tarn_fs_info before{};
    ASSERT_TRUE(wait_until_fs_info_stable(&before));
    // More than the test accepts is a failure already: stop there rather
    // than feed a server that never refuses.
    set_write_budget(before.free_space * bs + acceptable_overflow);
    uint64_t bytes_written = 0;
    ASSERT_TRUE(write_random_data(fh, filler_size, std::numeric_limits<uint64_t>::max(), CHUNK_SIZE, true,
                                  &bytes_written));

    tarn_fs_info after{};
    ASSERT_TRUE(wait_until_fs_info_stable(&after));
    const uint64_t min_free_space = min_free_space_for(bs);
    EXPECT_LE(after.min_vdisk_free_space * bs, min_free_space);
    EXPECT_GE(bytes_written, before.min_vdisk_free_space * bs - min_free_space);
    EXPECT_LE(bytes_written, before.free_space * bs + acceptable_overflow);

    // In place on the full share: every block is allocated already.
    ASSERT_TRUE(write_random_data(fh, filler_size, bytes_written, CHUNK_SIZE, false, NULL));

    ASSERT_TRUE(cleanup_test_objects());
    tarn_fs_info final{};
    ASSERT_TRUE(wait_until_fs_info_stable(&final));
    expect_within_tolerance(final.avail_space, initial.avail_space, 1);
    expect_within_tolerance(final.free_space, initial.free_space, 1);
}

TEST_F(TARNSpaceLimitsTest, ManyFiles) {
    const uint64_t acceptable_overflow = 18298437632ull;
    const int num_files = 100;
    ASSERT_TRUE(create_temp_dir(&test_root_handle));
    add_cleanup_checkpoint();

    tarn_fs_info initial{};
    ASSERT_TRUE(wait_until_fs_info_stable(&initial));
    const uint32_t bs = initial.frsize;
    ASSERT_GT(initial.avail_space * bs, uint64_t((1 * 1024 * 1024) * 1000))
        << "Not enough available space to run this test";

    TARNObjectHandle filler_handle;
    ASSERT_TRUE(create_file("filler", test_root_handle, &filler_handle));
    tarn_err err = fallocate(filler_handle, initial.avail_space * bs - (1 * 1024 * 1024) * 1000);
    ASSERT_EQ(TARN_ERR_OK, err);

    tarn_fs_info before{};
    ASSERT_TRUE(wait_until_fs_info_stable(&before));
    // One budget for all 100 writers: what the test accepts in total.
    set_write_budget(before.free_space * bs + acceptable_overflow);
    std::vector<TARNObjectHandle> file_handles(num_files);
    for (int i = 0; i < num_files; i++)
        ASSERT_TRUE(create_file(std::to_string(i), test_root_handle, &file_handles[size_t(i)]));

    std::atomic<uint64_t> total_bytes_written{0};
    start_workers(num_files, [&](WorkerContext& ctx) -> testing::AssertionResult {
        uint64_t written = 0;
        testing::AssertionResult r = write_random_data(file_handles[size_t(ctx.index)], 0,
                                                       std::numeric_limits<uint64_t>::max(), CHUNK_SIZE, true, &written);
        if (!r) return r;
        total_bytes_written.fetch_add(written);
        return testing::AssertionSuccess();
    });
    wait_for_workers_to_stop();

    tarn_fs_info after{};
    ASSERT_TRUE(wait_until_fs_info_stable(&after));
    const uint64_t min_free_space = min_free_space_for(bs);
    ASSERT_TRUE(verify_no_worker_failures());
    EXPECT_LE(after.avail_space * bs, min_free_space);
    EXPECT_GE(total_bytes_written.load(), before.avail_space * bs - min_free_space);
    EXPECT_LE(total_bytes_written.load(), before.free_space * bs + acceptable_overflow)
        << "before.free_space * bs = " << before.free_space * bs;

    ASSERT_TRUE(cleanup_test_objects());
    tarn_fs_info final{};
    ASSERT_TRUE(wait_until_fs_info_stable(&final));
    expect_within_tolerance(final.avail_space, initial.avail_space, 1);
    expect_within_tolerance(final.free_space, initial.free_space, 1);
}

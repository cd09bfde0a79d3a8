// Random-read throughput: one test file, written once in 1 MiB chunks, read
// by 100 workers in 4 KiB blocks at random aligned offsets for the
// configured duration.
#include <gtest/gtest.h>

#include <chrono>
#include <iomanip>
#include <iostream>
#include <limits>
#include <mutex>
#include <random>
#include <vector>

#include "benchmark/tarn_benchmark_base.h"
#include "utils/mthreaded_test_base.h"

namespace {

constexpr uint64_t SEQ_IO_CHUNK_SIZE = 1048576;
constexpr int k_read_workers = 100;

class TARNDataIOBenchmark : public TARNBenchmarkBase, public MultiThreadedTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
    }

    void TearDown() override {
        ASSERT_NO_FATAL_FAILURE(MultiThreadedTestBase::TearDown());
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::TearDown());
    }

    testing::AssertionResult create_test_file(uint64_t size, uint64_t chunk_size, TARNObjectHandle* fh);
    // 0 once `duration` seconds have passed (*reads, when given, gets the
    // number of reads made); -1 as soon as a read fails or when the file
    // holds no whole block.
    int random_io(const TARNObjectHandle& handle, uint64_t file_size, uint32_t block_size, uint64_t duration,
                  uint64_t* reads);

    TARNObjectHandle test_root_handle;
};

testing::AssertionResult TARNDataIOBenchmark::create_test_file(uint64_t size, uint64_t chunk_size,
                                                               TARNObjectHandle* fh) {
    const std::string name = get_random_name("", 8);
    add_cleanup_remove(name, test_root_handle);
    const uint64_t verifier = op_counter.fetch_add(1);
    tarn_attr_update update{};
    update.mask = TARN_SET_MODE;
    update.attr.mode = 0644;
    bool created = false;
    const tarn_err err = retry_on_delay(
        [&] {
            return tarn_client_create_file(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                           name.c_str(), TARN_CREATE_GUARDED, &update, verifier, fh->Out(), &created,
                                           nullptr, nullptr);
        },
        delay_retry);
    if (err != TARN_ERR_OK) return err2result(err, "tarn_client_create_file");
    return write_random_data(*fh, 0, size, chunk_size, false, nullptr);
}

int TARNDataIOBenchmark::random_io(const TARNObjectHandle& handle, uint64_t file_size, uint32_t block_size,
                                   uint64_t duration, uint64_t* reads) {
    std::vector<uint8_t> buffer(block_size);
    std::mt19937 engine;
    {
        std::random_device rd("default");
        engine.seed(rd());
    }
    const uint64_t blocks = block_size ? file_size / block_size : 0;
    // Without a whole block every read would land past the end, return
    // nothing and still be counted.
    if (blocks == 0) return -1;
    std::uniform_int_distribution<uint64_t> pick(0, blocks - 1);

    // Durations beyond what nanoseconds can count mean "read until killed".
    constexpr uint64_t k_ns_per_s = 1000000000;
    const uint64_t limit_ns =
        duration > std::numeric_limits<uint64_t>::max() / k_ns_per_s ? std::numeric_limits<uint64_t>::max()
                                                                       : duration * k_ns_per_s;
    const auto start = std::chrono::steady_clock::now();
    uint64_t done = 0;
    for (;;) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
        if (static_cast<uint64_t>(elapsed.count()) >= limit_ns) {
            if (reads) *reads = done;
            return 0;
        }
        const uint64_t offset = pick(engine) * block_size;
        const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(block_size, file_size - offset));
        uint32_t bytes_read = 0;
        bool eof = false;
        const tarn_err err = tarn_client_read(&tarn_ctx, handle.Data(), handle.Length(), offset, buffer.data(), length,
                                              &bytes_read, &eof, nullptr);
        if (err != TARN_ERR_OK) return -1;
        ++done;
    }
}

TEST_F(TARNDataIOBenchmark, RandomReads) {
    std::cout << "Creating test file..." << std::endl;
    TARNObjectHandle fh;
    ASSERT_TRUE(create_test_file(cfg.size, SEQ_IO_CHUNK_SIZE, &fh));

    std::mutex totals_mutex;
    uint64_t total_reads = 0;
    double total_iops = 0.0;

    std::cout << "Starting " << k_read_workers << " threads for random reads..." << std::endl;
    start_workers(k_read_workers, [this, fh, &totals_mutex, &total_reads, &total_iops](WorkerContext&) {
        // Elapsed time on the steady clock: a stepped wall clock would make
        // a worker's rate negative or infinite.
        const auto t0 = std::chrono::steady_clock::now();
        uint64_t reads = 0;
        const int rc = random_io(fh, cfg.size, static_cast<uint32_t>(k_random_read_block), cfg.duration, &reads);
        const auto t1 = std::chrono::steady_clock::now();
        if (rc != 0) return testing::AssertionFailure() << "random_io failed with rc=" << rc;
        const double seconds = std::chrono::duration<double>(t1 - t0).count();
        std::lock_guard<std::mutex> lock(totals_mutex);
        total_reads += reads;
        if (reads > 0 && seconds > 0) total_iops += static_cast<double>(reads) / seconds;
        return testing::AssertionSuccess();
    });

    std::cout << "Waiting for threads to finish..." << std::endl;
    wait_for_workers_to_stop();
    std::cout << "All threads finished." << std::endl;

    ASSERT_TRUE(verify_no_worker_failures());

    std::cout << "Total Reads: " << total_reads << std::endl;
    std::cout << "IOPS: " << std::fixed << std::setprecision(1) << total_iops << std::endl;
}

}  // namespace

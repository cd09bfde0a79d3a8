// Latency of one namespace operation at a time: create file, create
// directory, remove file and look a file up, `count` objects each, reported
// as PerfStats.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "benchmark/perf_stats.h"
#include "benchmark/tarn_benchmark_base.h"

namespace {

using Clock = std::chrono::steady_clock;

class TARNTreeOperationsBenchmark : public TARNBenchmarkBase {
protected:
    // Guarded create of a regular file, mode 0644, the verifier taken here.
    tarn_err create_file_in_root(const std::string& name, TARNObjectHandle* out) {
        const uint64_t verifier = op_counter.fetch_add(1);
        tarn_attr_update update{};
        update.mask = TARN_SET_MODE;
        update.attr.mode = 0644;
        bool created = false;
        return retry_on_delay(
            [&] {
                return tarn_client_create_file(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                               name.c_str(), TARN_CREATE_GUARDED, &update, verifier, out->Out(),
                                               &created, nullptr, nullptr);
            },
            delay_retry);
    }

    static std::chrono::nanoseconds since(Clock::time_point t0) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0);
    }

public:
    TARNObjectHandle test_root_handle;
};

TEST_F(TARNTreeOperationsBenchmark, CreateFile) {
    ASSERT_TRUE(create_temp_dir(&test_root_handle));
    std::cout << "Creating files..." << std::endl;
    PerfStats stats(cfg.count);
    for (uint64_t i = 0; i < cfg.count; ++i) {
        const std::string name = std::to_string(i);
        add_cleanup_remove(name, test_root_handle);
        TARNObjectHandle out;
        const Clock::time_point t0 = Clock::now();
        const tarn_err err = create_file_in_root(name, &out);
        ASSERT_EQ(err, TARN_ERR_OK);
        stats.AddSample(since(t0));
    }
    std::cout << stats;
}

TEST_F(TARNTreeOperationsBenchmark, CreateDir) {
    ASSERT_TRUE(create_temp_dir(&test_root_handle));
    std::cout << "Creating directories..." << std::endl;
    PerfStats stats(cfg.count);
    tarn_attr_update update{};
    update.mask = TARN_SET_MODE;
    update.attr.mode = 0755;
    for (uint64_t i = 0; i < cfg.count; ++i) {
        const std::string name = std::to_string(i);
        add_cleanup_remove(name, test_root_handle);
        TARNObjectHandle out;
        const Clock::time_point t0 = Clock::now();
        const uint64_t verifier = op_counter.fetch_add(1);
        const tarn_err err = retry_on_delay(
            [&] {
                return tarn_client_create_dir(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                              name.c_str(), &update, verifier, out.Out(), nullptr, nullptr);
            },
            delay_retry);
        ASSERT_EQ(err, TARN_ERR_OK);
        stats.AddSample(since(t0));
    }
    std::cout << stats;
}

TEST_F(TARNTreeOperationsBenchmark, RemoveFile) {
    ASSERT_TRUE(create_temp_dir(&test_root_handle));
    std::vector<std::string> names;
    // However the test ends, whatever it created is listed for tear-down;
    // names already removed are accepted there as not found.
    struct ListForCleanup {
        TARNTreeOperationsBenchmark* self;
        std::vector<std::string>* names;
        ~ListForCleanup() {
            for (const std::string& n : *names) self->add_cleanup_remove(n, self->test_root_handle);
        }
    } list_for_cleanup{this, &names};

    std::cout << "Creating files..." << std::endl;
    names.reserve(cfg.count);
    for (uint64_t i = 0; i < cfg.count; ++i) {
        names.push_back(std::to_string(i));
        TARNObjectHandle out;
        const tarn_err err = create_file_in_root(names.back(), &out);
        ASSERT_EQ(err, TARN_ERR_OK);
    }

    std::cout << "Removing files..." << std::endl;
    PerfStats stats(cfg.count);
    for (const std::string& name : names) {
        const Clock::time_point t0 = Clock::now();
        // Sent once: a repeated remove could not tell its own work from a
        // missing file.
        const tarn_err err =
            tarn_client_remove(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name.c_str(), nullptr);
        ASSERT_EQ(err, TARN_ERR_OK);
        stats.AddSample(since(t0));
    }
    std::cout << stats;
}

TEST_F(TARNTreeOperationsBenchmark, LookupFile) {
    ASSERT_TRUE(create_temp_dir(&test_root_handle));
    std::cout << "Creating files..." << std::endl;
    std::vector<std::string> names;
    names.reserve(cfg.count);
    for (uint64_t i = 0; i < cfg.count; ++i) {
        names.push_back(std::to_string(i));
        add_cleanup_remove(names.back(), test_root_handle);
        TARNObjectHandle out;
        const tarn_err err = create_file_in_root(names.back(), &out);
        ASSERT_EQ(err, TARN_ERR_OK);
    }

    std::cout << "Looking files up..." << std::endl;
    PerfStats stats(cfg.count);
    for (const std::string& name : names) {
        TARNObjectHandle out;
        const Clock::time_point t0 = Clock::now();
        const tarn_err err = retry_on_delay(
            [&] {
                return tarn_client_lookup(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name.c_str(),
                                          out.Out(), nullptr, nullptr);
            },
            delay_retry);
        ASSERT_EQ(err, TARN_ERR_OK);
        stats.AddSample(since(t0));
    }
    std::cout << stats;
}

}  // namespace

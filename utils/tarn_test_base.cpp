#include "utils/tarn_test_base.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include <string.h>
#include <unistd.h>

#include <iostream>
#include <mutex>
#include <random>

#include "client/tarn_mds_resolver.h"
#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/mds.h"
#include "utils/target_check.h"
#include "utils/test_categories.h"

TARNTestConfig TARNTestBase::cfg;
std::atomic<bool> TARNTestBase::purge_done{false};

namespace {

// Values of the long options that have no short form; beyond every char so
// they cannot collide with one.
enum : int {
    OPT_PURGE = 1000,
    OPT_NOSHUFFLE = 1001,
    OPT_NOCLEANUP_FAILED = 1002,
};

const struct option k_long_options[] = {
    {"cluster", required_argument, nullptr, 'c'},
    {"filesystem", required_argument, nullptr, 'f'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"purge", no_argument, nullptr, OPT_PURGE},
    {"noshuffle", no_argument, nullptr, OPT_NOSHUFFLE},
    {"nocleanup-failed", no_argument, nullptr, OPT_NOCLEANUP_FAILED},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

void tarn_test_print_usage(void) {
    fputs("Usage: test_tarn -c CLUSTER_NAME -f FS_NAME [options]\n"
          "Options:\n"
          "  -c CLUSTER_NAME     Name of the cluster (required)\n"
          "  -f FS_NAME          Name of the filesystem (required)\n"
          "  -v                  Increase verbosity\n"
          "                      (can be used multiple times)\n"
          "  --purge             Remove all files before tests\n"
          "                      (DANGEROUS: use with caution!)\n"
          "  --noshuffle         Disable test shuffling\n"
          "  --nocleanup-failed  Don't remove files from failed tests\n"
          "  -h                  Show this help message\n"
          "\n",
          stdout);
    test_categories::PrintUsage();
}

void tarn_test_parse_options(int argc, char** argv, TARNTestConfig* cfg, bool* noshuffle) {
    std::string cluster_name;
    std::string fs_name;
    bool purge = false;
    bool no_shuffle = false;
    bool nocleanup_failed = false;

    // 0 makes getopt start over, so that parsing does not depend on an
    // earlier scan of another argument vector.
    optind = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, "c:f:vh", k_long_options, nullptr)) != -1) {
        switch (opt) {
        case 'c':
            cluster_name = optarg;
            break;
        case 'f':
            fs_name = optarg;
            break;
        case 'v':
            __kiv_log_level++;
            break;
        case 'h':
            tarn_test_print_usage();
            exit(0);
        case OPT_PURGE:
            purge = true;
            break;
        case OPT_NOSHUFFLE:
            no_shuffle = true;
            break;
        case OPT_NOCLEANUP_FAILED:
            nocleanup_failed = true;
            break;
        default:
            kiv_fatal("Unknown option - %c", opt);
        }
    }

    if (cluster_name.empty()) kiv_fatal("Cluster name (-c) must be specified.");
    if (fs_name.empty()) kiv_fatal("Filesystem name (-f) must be specified.");

    cfg->cluster_name = std::move(cluster_name);
    cfg->fs_name = std::move(fs_name);
    cfg->purge = purge;
    cfg->nocleanup_failed = nocleanup_failed;
    *noshuffle = no_shuffle;
}

std::string tarn_test_check_target(const std::string& cluster, const std::string& fs, uint32_t limit_ms) {
    tarn_target_query q{"tarn/mds", "file systems", "file system '" + fs + "'", "record",
                        [&fs](const discov_svc& svc) {
                            mds_entry entry{};
                            if (mds_resolver_parse_record(&svc, &entry) != 0) return false;
                            const bool same = fs == entry.fs_name;
                            __kiv_free(entry.fs_name);
                            return same;
                        }};
    return tarn_check_target_records(cluster, q, limit_ms);
}

void TARNTargetCheck::SetUp() {
    TARNTargetCheckEnv([] {
        return tarn_test_check_target(TARNTestBase::cfg.cluster_name, TARNTestBase::cfg.fs_name,
                                      TARN_TEST_CHECK_TARGET_MS);
    }).SetUp();
}

// ---------------------------------------------------------------- fixture

TARNTestBase::TARNTestBase() : op_counter(get_real_time_us()) {
    cleanup_remover = [this](const TARNBuffer& parent, const std::string& name) {
        return tarn_client_remove(&tarn_ctx, parent.Data(), parent.Length(), name.c_str(), nullptr);
    };
}

// Removes nothing from the file system: a test that never reached TearDown
// leaves its objects.
TARNTestBase::~TARNTestBase() = default;

void TARNTestBase::SetUp() {
    kiv_check_build_version("unknown");
    if (kiv_process_init_(&proc) != 0) FAIL();
    if (kiv_process_start(&proc, "evloop") != 0) FAIL();

    int rc = discov_create(cfg.cluster_name.c_str(), nullptr, 0, &proc, &discov);
    ASSERT_EQ(0, rc);

    tarn_client_params params{};
    params.client_id = get_random_uint64();
    params.epoch = 1;
    params.required_flag = 1;
    params.use_custom_timeouts = 0;
    params.mds_retry_timeout_ms = 0;
    params.ds_retry_timeout_ms = 0;
    rc = tarn_client_create(&params, discov, &proc, &client);
    ASSERT_EQ(0, rc);

    rc = tarn_client_open_fs(client, cfg.fs_name.c_str(), &fs);
    ASSERT_EQ(0, rc);
    tarn_ctx.fs = fs;

    ASSERT_TRUE(lookup("/", &root_handle));

    if (cfg.purge && !purge_done.exchange(true)) {
        std::cout << "WARNING: Performing filesystem purge"
                  << " - removing all files and directories!" << std::endl;
        std::cout << "This is a DANGEROUS operation"
                  << " that will delete ALL data!" << std::endl;
        ASSERT_TRUE(remove_everything_in(&tarn_ctx, root_handle));
        std::cout << "Filesystem purge"
                  << " completed successfully." << std::endl;
    }
}

void TARNTestBase::TearDown() {
    const bool keep = cfg.nocleanup_failed && (HasFatalFailure() || HasNonfatalFailure());
    if (!keep) {
        EXPECT_TRUE(cleanup_all());
    }

    if (fs) {
        tarn_client_close_fs(fs);
        fs = nullptr;
        tarn_ctx.fs = nullptr;
    }
    if (client) {
        tarn_client_destroy(client);
        client = nullptr;
    }
    if (discov) {
        discov_destroy(discov);
        discov = nullptr;
    }
    kiv_process_terminate(&proc);
    kiv_process_wait(&proc);
    kiv_process_fini(&proc);
}

// ---------------------------------------------------------------- clean-up list

void TARNTestBase::add_cleanup_remove(const std::string& name, const TARNObjectHandle& parent) {
    std::lock_guard<std::mutex> lock(cleanup_mutex);
    cleanup_list.push_back(CleanupListEntry{name, parent, false});
}

void TARNTestBase::add_cleanup_checkpoint() {
    std::lock_guard<std::mutex> lock(cleanup_mutex);
    cleanup_list.push_back(CleanupListEntry{std::string(), TARNObjectHandle(), true});
}

testing::AssertionResult TARNTestBase::cleanup_entries_until_checkpoint(std::list<CleanupListEntry>& list,
                                                                        const RemoveFn& remove,
                                                                        const tarn_testing::DelayRetry& retry) {
    while (!list.empty()) {
        const CleanupListEntry& e = list.back();
        if (e.is_checkpoint) {
            list.pop_back();
            return testing::AssertionSuccess();
        }
        tarn_err rc = retry_on_delay([&] { return remove(e.parent, e.name); }, retry);
        if (rc != TARN_ERR_OK && rc != TARN_ERR_NOT_FOUND) return err2result(rc, "tarn_client_remove");
        list.pop_back();
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult TARNTestBase::cleanup_until_checkpoint_locked() {
    return cleanup_entries_until_checkpoint(cleanup_list, cleanup_remover, delay_retry);
}

testing::AssertionResult TARNTestBase::cleanup_until_checkpoint() {
    std::lock_guard<std::mutex> lock(cleanup_mutex);
    return cleanup_until_checkpoint_locked();
}

testing::AssertionResult TARNTestBase::cleanup_all() {
    std::lock_guard<std::mutex> lock(cleanup_mutex);
    while (!cleanup_list.empty()) {
        testing::AssertionResult r = cleanup_until_checkpoint_locked();
        if (!r) return r;
    }
    return testing::AssertionSuccess();
}

// ---------------------------------------------------------------- helpers

testing::AssertionResult TARNTestBase::lookup(const std::string& path, TARNObjectHandle* out) {
    tarn_err err = retry_on_delay(
        [&] { return tarn_client_lookup(&tarn_ctx, nullptr, 0, path.c_str(), out->Out(), nullptr, nullptr); },
        delay_retry);
    return err2result(err, "tarn_client_lookup");
}

testing::AssertionResult TARNTestBase::create_file_ex(const std::string& name, const TARNObjectHandle& parent,
                                                      TARNObjectHandle* out, tarn_attr* attrs) {
    add_cleanup_remove(name, parent);
    const uint64_t verifier = op_counter.fetch_add(1);
    tarn_attr_update update{};
    update.mask = TARN_SET_MODE;
    update.attr.mode = 0644;
    bool created = false;
    tarn_err err = retry_on_delay(
        [&] {
            return tarn_client_create_file(&tarn_ctx, parent.Data(), parent.Length(), name.c_str(),
                                           TARN_CREATE_GUARDED, &update, verifier, out->Out(), &created, attrs,
                                           nullptr);
        },
        delay_retry);
    return err2result(err, "tarn_client_create_file");
}

testing::AssertionResult TARNTestBase::create_dir(const std::string& name, const TARNObjectHandle& parent,
                                                  TARNObjectHandle* out) {
    add_cleanup_remove(name, parent);
    const uint64_t verifier = op_counter.fetch_add(1);
    tarn_attr_update update{};
    update.mask = TARN_SET_MODE;
    update.attr.mode = 0755;
    tarn_err err = retry_on_delay(
        [&] {
            return tarn_client_create_dir(&tarn_ctx, parent.Data(), parent.Length(), name.c_str(), &update, verifier,
                                          out->Out(), nullptr, nullptr);
        },
        delay_retry);
    return err2result(err, "tarn_client_create_dir");
}

testing::AssertionResult TARNTestBase::create_temp_dir(TARNObjectHandle* out) {
    return create_dir(get_random_name("tarn_test_", 8), root_handle, out);
}

testing::AssertionResult TARNTestBase::create_symlink(const std::string& name, const TARNObjectHandle& parent,
                                                      const std::string& target, TARNObjectHandle* out) {
    add_cleanup_remove(name, parent);
    tarn_attr_update update{};
    tarn_err err = retry_on_delay(
        [&] {
            return tarn_client_create_symlink(&tarn_ctx, parent.Data(), parent.Length(), name.c_str(), target.c_str(),
                                              &update, out->Out(), nullptr, nullptr);
        },
        delay_retry);
    return err2result(err, "tarn_client_create_symlink");
}

testing::AssertionResult TARNTestBase::get_fs_info(tarn_fs_info* out) {
    tarn_err err = retry_on_delay([&] { return tarn_client_get_fs_info(&tarn_ctx, out, nullptr); }, delay_retry);
    return err2result(err, "tarn_client_get_fs_info");
}

testing::AssertionResult TARNTestBase::get_case_sensitive_prop(bool* out) {
    tarn_fs_info info{};
    tarn_err err = retry_on_delay([&] { return tarn_client_get_fs_info(&tarn_ctx, &info, nullptr); }, delay_retry);
    if (err != TARN_ERR_OK) return err2result(err, "tarn_client_get_fs_info");
    *out = (info.flags & TARN_FS_FLAG_CASE_INSENSITIVE) == 0;
    return testing::AssertionSuccess();
}

testing::AssertionResult TARNTestBase::write_random_data(const TARNObjectHandle& handle, uint64_t offset,
                                                         uint64_t length, uint64_t chunk_size, bool stop_on_no_space,
                                                         uint64_t* bytes_written) {
    const tarn_testing::WriteFn write = [&](uint64_t pos, const void* data, uint32_t count, uint32_t* written) {
        return tarn_client_write(&tarn_ctx, handle.Data(), handle.Length(), pos, data, count, false, written, nullptr,
                                 nullptr);
    };
    if (length == UINT64_MAX) {
        std::lock_guard<std::mutex> lock(write_budget_mutex);
        if (!write_budget_set) {
            // No run can store more bytes than the whole file system holds.
            tarn_fs_info info{};
            testing::AssertionResult r = get_fs_info(&info);
            if (!r) return r;
            write_budget.limit = info.total_space * uint64_t(info.frsize);
            write_budget_set = true;
        }
    }
    return tarn_testing::write_random_chunks(write, offset, length, chunk_size, stop_on_no_space, bytes_written,
                                             delay_retry, &write_budget);
}

void TARNTestBase::set_write_budget(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(write_budget_mutex);
    write_budget.limit = bytes;
    write_budget.used.store(0);
    write_budget_set = true;
}

testing::AssertionResult TARNTestBase::wait_until_fs_info_stable(tarn_fs_info* out,
                                                                 std::chrono::duration<double> timeout) {
    const tarn_testing::FsInfoFn get = [&](tarn_fs_info* info) {
        return tarn_client_get_fs_info(&tarn_ctx, info, nullptr);
    };
    return tarn_testing::wait_until_fs_info_stable(get, out, timeout, delay_retry);
}

// ---------------------------------------------------------------- random values

uint64_t TARNTestBase::get_random_uint64() {
    std::random_device rd("default");
    std::uniform_int_distribution<uint64_t> dist;  // the whole 64-bit range
    return dist(rd);
}

void TARNTestBase::fill_with_random_letters(char* first, char* last) {
    static const char k_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::mt19937 gen;
    {
        std::random_device rd("default");
        gen.seed(rd());
    }
    std::uniform_int_distribution<int> pick(0, 51);
    for (char* p = first; p != last; ++p) *p = k_alphabet[pick(gen)];
}

void TARNTestBase::fill_with_random_letters(std::vector<char>::iterator first, std::vector<char>::iterator last) {
    if (first == last) return;
    fill_with_random_letters(&*first, &*first + (last - first));
}

std::string TARNTestBase::get_random_name(const char* prefix, size_t length) {
    std::vector<char> letters(length);
    fill_with_random_letters(letters.begin(), letters.end());
    std::string name = prefix ? prefix : "";
    name.append(letters.begin(), letters.end());
    return name;
}

// ---------------------------------------------------------------- recursive removal

namespace {

struct ReadDirState {
    const tarn_testing::DirEntrySink* sink;
};

bool read_dir_cb(const char* name, const void* opaque, uint64_t opaque_len, const tarn_attr* attrs, uint64_t cookie,
                 void* arg) {
    auto* state = static_cast<ReadDirState*>(arg);
    return (*state->sink)(name, opaque, opaque_len, attrs, cookie);
}

}  // namespace

testing::AssertionResult remove_everything_in(tarn_context* ctx, const TARNObjectHandle& dir) {
    tarn_testing::TreeOps ops;
    ops.read_dir = [ctx](const TARNBuffer& d, uint64_t cookie, const tarn_testing::DirEntrySink& sink, bool* eof) {
        ReadDirState state{&sink};
        return tarn_client_read_dir(ctx, d.Data(), d.Length(), cookie, true, read_dir_cb, &state, eof, nullptr);
    };
    ops.remove = [ctx](const TARNBuffer& d, const std::string& name) {
        return tarn_client_remove(ctx, d.Data(), d.Length(), name.c_str(), nullptr);
    };
    return tarn_testing::remove_tree_contents(dir, ops, tarn_testing::default_delay_retry());
}

// Base fixture of the file-server tests and the harness configuration that
// every test reads.
//
// Every test gets its own runtime process, discovery client, Tarn client and
// open file system, made in SetUp and taken down in TearDown. Whatever a test
// creates through the fixture is put on the clean-up list before its create
// call; TearDown removes the list newest first, so children go before their
// directories.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "client/tarn_client.h"
#include "kiv/loop.h"
#include "utils/tarn_api_helpers.h"
#include "utils/target_check.h"

struct discov;

struct TARNTestConfig {
    std::string cluster_name;
    std::string fs_name;
    bool purge = false;
    bool nocleanup_failed = false;
};

class TARNTestBase : public ::testing::Test {
public:
    // Written once by main before any test runs, read-only afterwards.
    static TARNTestConfig cfg;
    // Set by the first SetUp that purges, so that a run purges at most once.
    static std::atomic<bool> purge_done;

    // One object to remove in tear-down, or a checkpoint dividing the list.
    struct CleanupListEntry {
        std::string name;         // inside `parent`; empty for a checkpoint
        TARNObjectHandle parent;  // an own copy of the parent's handle
        bool is_checkpoint = false;
    };

    // How the clean-up list removes one object.
    using RemoveFn = std::function<tarn_err(const TARNBuffer& parent, const std::string& name)>;

    TARNTestBase();
    ~TARNTestBase() override;

    void SetUp() override;
    void TearDown() override;

    // ------------------------------------------------------------ clean-up list
    void add_cleanup_remove(const std::string& name, const TARNObjectHandle& parent);
    void add_cleanup_checkpoint();
    // Removes entries newest first up to and including the newest checkpoint.
    // The caller holds cleanup_mutex. On a failed removal that entry and all
    // older ones stay listed.
    testing::AssertionResult cleanup_until_checkpoint_locked();
    testing::AssertionResult cleanup_until_checkpoint();
    // Removes every entry, through every checkpoint.
    testing::AssertionResult cleanup_all();

    // The clean-up walk itself, on any list and with any removal: pops
    // entries newest first, a checkpoint ends the walk; an object answering
    // 0 or TARN_ERR_NOT_FOUND (it may never have been created, or the test
    // removed it) is dropped.
    static testing::AssertionResult cleanup_entries_until_checkpoint(std::list<CleanupListEntry>& list,
                                                                     const RemoveFn& remove,
                                                                     const tarn_testing::DelayRetry& retry);

    // ------------------------------------------------------------ helpers
    // Each call goes through the Delay retry and fails with the client
    // call's name, ": " and the error's message.

    // `path` looked up from the root ("/" is the root itself).
    testing::AssertionResult lookup(const std::string& path, TARNObjectHandle* out);
    // A regular file, guarded, mode 0644; the verifier is the next operation
    // number.
    testing::AssertionResult create_file_ex(const std::string& name, const TARNObjectHandle& parent,
                                            TARNObjectHandle* out, tarn_attr* attrs);
    testing::AssertionResult create_file(const std::string& name, const TARNObjectHandle& parent,
                                         TARNObjectHandle* out) {
        return create_file_ex(name, parent, out, nullptr);
    }
    // A directory, mode 0755.
    testing::AssertionResult create_dir(const std::string& name, const TARNObjectHandle& parent, TARNObjectHandle* out);
    // The test's private directory "tarn_test_" + 8 random letters under the
    // root.
    testing::AssertionResult create_temp_dir(TARNObjectHandle* out);
    testing::AssertionResult create_symlink(const std::string& name, const TARNObjectHandle& parent,
                                            const std::string& target, TARNObjectHandle* out);
    testing::AssertionResult get_fs_info(tarn_fs_info* out);
    // *out := the file system is case-sensitive; left alone on failure.
    testing::AssertionResult get_case_sensitive_prop(bool* out);

    // `length` bytes from `offset` in chunks of `chunk_size` (at most 32
    // bits) random letters. UINT64_MAX with `stop_on_no_space` fills the file
    // system; all such runs of one test share one write budget, and each
    // fails once their total passes it. *bytes_written (may be null) gets
    // the total on success.
    testing::AssertionResult write_random_data(const TARNObjectHandle& handle, uint64_t offset, uint64_t length,
                                               uint64_t chunk_size, bool stop_on_no_space, uint64_t* bytes_written);
    // The most bytes the test's filling runs may store together, counted
    // from now. A test that sets none gets the file system's total space at
    // its first filling run.
    void set_write_budget(uint64_t bytes);
    // Waits until the usage counters have not changed for 10 s.
    testing::AssertionResult wait_until_fs_info_stable(
        tarn_fs_info* out = nullptr, std::chrono::duration<double> timeout = std::chrono::seconds(900));

    // ------------------------------------------------------------ random values
    // Uniform over all 64-bit values, from the system's random device.
    static uint64_t get_random_uint64();
    // `prefix` (none when null) followed by `length` random letters.
    static std::string get_random_name(const char* prefix, size_t length);
    // Fills the range with letters A-Z, a-z; every call seeds its own
    // generator.
    static void fill_with_random_letters(char* first, char* last);
    static void fill_with_random_letters(std::vector<char>::iterator first, std::vector<char>::iterator last);

    // ------------------------------------------------------------ state
    kiv_process proc{};
    ::discov* discov = nullptr;
    tarn_client* client = nullptr;
    tarn_fs* fs = nullptr;
    tarn_context tarn_ctx{};  // credentials all zero
    TARNObjectHandle root_handle;
    std::list<CleanupListEntry> cleanup_list;  // oldest first
    std::mutex cleanup_mutex;
    // Source of create verifiers: the real time in microseconds at
    // construction, one fetch-and-add per create.
    std::atomic<uint64_t> op_counter;

    // Shared by the test's filling runs (write_random_data without a length).
    tarn_testing::WriteBudget write_budget;
    std::mutex write_budget_mutex;
    bool write_budget_set = false;

    // Timing of the Delay retry in the fixture's own calls and clean-up.
    tarn_testing::DelayRetry delay_retry;
    // How clean-up removes an object; tarn_client_remove on tarn_ctx unless
    // replaced (the harness's unit tests replace it).
    RemoveFn cleanup_remover;
};

// Removes every object below `dir`, depth first, leaving `dir` itself.
testing::AssertionResult remove_everything_in(tarn_context* ctx, const TARNObjectHandle& dir);

// Parses the options of kelvane-tarn-test (what is left of the command line
// after Google Test and the test categories took theirs) into *cfg and
// *noshuffle. "-h" prints the usage and exits with status 0; an unknown
// option, a missing option argument or a missing cluster or file system name
// ends the process through the fatal report. Each "-v" raises the runtime's
// log level by one. getopt_long may reorder argv.
void tarn_test_parse_options(int argc, char** argv, TARNTestConfig* cfg, bool* noshuffle);

// Writes the usage of kelvane-tarn-test, category help included, to standard
// output.
void tarn_test_print_usage(void);

// Before any test runs, a program that takes -c and -f checks that they
// name something usable: the cluster's bootstrap file, a registry that
// answers, and an MDS record of the file system, all within `limit_ms`.
// Empty when all is there; otherwise one line naming the cluster, the file
// system or the file that could not be used.
std::string tarn_test_check_target(const std::string& cluster, const std::string& fs, uint32_t limit_ms);

// Google Test sets environments up only when a test is to run: this one
// checks TARNTestBase::cfg's names and, when they name nothing usable,
// prints the reason as one line on stderr and ends the program with
// status 2. A mistyped name would otherwise cost every test its full retry
// time.
class TARNTargetCheck : public ::testing::Environment {
public:
    void SetUp() override;
};

// Removal of names: files, empty and non-empty directories, symbolic links
// and hard links; what a removal does to link counts, free-file and
// free-space counters; that a just-removed object or directory can take no
// new names; and removals racing with each other and with link creation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
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

class TARNRemoveTest : public TARNTestBase, public MultiThreadedTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
        ASSERT_TRUE(get_case_sensitive_prop(&case_sensitive));
    }

    void TearDown() override {
        ASSERT_NO_FATAL_FAILURE(MultiThreadedTestBase::TearDown());
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::TearDown());
    }

    // Polls the object's attributes every 100 ms until `predicate` holds;
    // link counts settle asynchronously on the data servers.
    testing::AssertionResult wait_until_attr(const TARNObjectHandle& handle,
                                             const std::function<bool(const tarn_attr&)>& predicate) {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            if (std::chrono::steady_clock::now() - start > std::chrono::nanoseconds(59999999999LL))
                return testing::AssertionFailure() << "Attribute condition not met within timeout";
            tarn_attr attr{};
            tarn_err answer =
                retry_on_delay([&] { return tarn_client_get_attr(&tarn_ctx, handle.Data(), handle.Length(), &attr); });
            if (answer != TARN_ERR_OK) return err2result(answer, "tarn_client_get_attr");
            if (predicate(attr)) return testing::AssertionSuccess();
            tarn_testing::sleep_resuming(std::chrono::milliseconds(100));
        }
    }

    // The name in the test directory, looked up through the Delay retry.
    tarn_err lookup_name(const std::string& name) {
        TARNObjectHandle found;
        return retry_on_delay([&] {
            return tarn_client_lookup(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name.c_str(),
                                      found.Out(), nullptr, nullptr);
        });
    }

    // One removal whose single outcome the test asserts: a Delay answer
    // leaves that outcome unknown, so the body starts over.
    tarn_err remove_once(const std::string& name) {
        return tarn_testing::restart_on_delay(
            tarn_client_remove(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name.c_str(), nullptr));
    }

    RetriedErr remove_retried(const std::string& name) {
        return retry_on_delay_ex([&] {
            return tarn_client_remove(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name.c_str(),
                                      nullptr);
        });
    }

    tarn_err link_once(const std::string& name, const TARNObjectHandle& file, tarn_attr* attrs) {
        return tarn_testing::restart_on_delay(tarn_client_create_link(&tarn_ctx, test_root_handle.Data(),
                                                                      test_root_handle.Length(), name.c_str(),
                                                                      file.Data(), file.Length(), attrs, nullptr));
    }

    // Registers the name for clean-up, then links it to `file` through the
    // Delay retry (a repeated link of the same name to the same file is
    // answered as the first one).
    tarn_err link_retried(const std::string& name, const TARNObjectHandle& file, tarn_attr* attrs) {
        add_cleanup_remove(name, test_root_handle);
        return retry_on_delay([&] {
            return tarn_client_create_link(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name.c_str(),
                                           file.Data(), file.Length(), attrs, nullptr);
        });
    }

    static std::string random_name() { return get_random_name(nullptr, 16); }

    TARNObjectHandle test_root_handle;
    bool case_sensitive = true;
};

#define SKIP_LINK_TEST_IF_CASE_INSENSITIVE() \
    if (!case_sensitive) GTEST_SKIP() << "Skipping link test on a case-insensitive filesystem"

TEST_F(TARNRemoveTest, RemoveFile) {
    run_restartable([&] {
        std::string fname = random_name();
        TARNObjectHandle file_handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &file_handle));
        tarn_err err = remove_once(fname);
        ASSERT_EQ(TARN_ERR_OK, err);
        err = lookup_name(fname);
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

TEST_F(TARNRemoveTest, RemoveEmptyDirectory) {
    run_restartable([&] {
        std::string dname = random_name();
        TARNObjectHandle dir_handle;
        ASSERT_TRUE(create_dir(dname, test_root_handle, &dir_handle));
        tarn_err err = remove_once(dname);
        ASSERT_EQ(TARN_ERR_OK, err);
        err = lookup_name(dname);
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

TEST_F(TARNRemoveTest, RemoveNonEmptyDirectory) {
    run_restartable([&] {
        std::string dname = random_name();
        std::string fname = random_name();
        TARNObjectHandle dir_handle;
        TARNObjectHandle file_handle;
        ASSERT_TRUE(create_dir(dname, test_root_handle, &dir_handle));
        ASSERT_TRUE(create_file(fname, dir_handle, &file_handle));
        tarn_err err = remove_once(dname);
        ASSERT_EQ(TARN_ERR_NOT_EMPTY, err);
        err = lookup_name(dname);
        ASSERT_EQ(TARN_ERR_OK, err);

        // A subdirectory alone makes a directory non-empty too, however
        // the server counts what a directory holds.
        std::string parent_dname = random_name();
        std::string sub_dname = random_name();
        TARNObjectHandle parent_handle;
        TARNObjectHandle subdir_handle;
        ASSERT_TRUE(create_dir(parent_dname, test_root_handle, &parent_handle));
        ASSERT_TRUE(create_dir(sub_dname, parent_handle, &subdir_handle));
        err = remove_once(parent_dname);
        ASSERT_EQ(TARN_ERR_NOT_EMPTY, err);
        err = lookup_name(parent_dname);
        ASSERT_EQ(TARN_ERR_OK, err);
    });
}

TEST_F(TARNRemoveTest, RemoveNonExistent) {
    run_restartable([&] {
        tarn_err err = remove_once(random_name());
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

TEST_F(TARNRemoveTest, RemoveNonIdempotence) {
    run_restartable([&] {
        std::string fname = random_name();
        TARNObjectHandle file_handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &file_handle));
        tarn_err err = remove_once(fname);
        ASSERT_EQ(TARN_ERR_OK, err);
        err = remove_once(fname);
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

TEST_F(TARNRemoveTest, RemoveSymlink) {
    if (!case_sensitive) GTEST_SKIP() << "Skipping symlink test on a case-insensitive filesystem";
    run_restartable([&] {
        std::string sname = random_name();
        TARNObjectHandle symlink_handle;
        ASSERT_TRUE(create_symlink(sname, test_root_handle, "/some/target", &symlink_handle));
        tarn_err err = remove_once(sname);
        ASSERT_EQ(TARN_ERR_OK, err);
        err = lookup_name(sname);
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

TEST_F(TARNRemoveTest, RemoveLinkDecrementsNlinks) {
    SKIP_LINK_TEST_IF_CASE_INSENSITIVE();
    run_restartable([&] {
        std::string fname = random_name();
        std::string lname = random_name();
        TARNObjectHandle file_handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &file_handle));
        tarn_attr attrs{};
        tarn_err err = link_retried(lname, file_handle, &attrs);
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_EQ(2, attrs.nlinks);
        err = remove_once(lname);
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_TRUE(wait_until_attr(file_handle, [](const tarn_attr& a) { return a.nlinks == 1; }));
    });
}

TEST_F(TARNRemoveTest, RemoveMultipleLinksUpdatesNlinks) {
    SKIP_LINK_TEST_IF_CASE_INSENSITIVE();
    run_restartable([&] {
        std::string fname = random_name();
        TARNObjectHandle file_handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &file_handle));
        for (uint32_t i = 1; i <= 3; ++i) {
            tarn_attr attrs{};
            tarn_err err = link_retried(fname + std::to_string(i), file_handle, &attrs);
            ASSERT_EQ(TARN_ERR_OK, err);
            ASSERT_EQ(i + 1, attrs.nlinks);
        }
        for (int i = 1; i <= 2; ++i) {
            tarn_err err = remove_once(fname + std::to_string(i));
            ASSERT_EQ(TARN_ERR_OK, err);
        }
        // The file's own name and the third link remain.
        ASSERT_TRUE(wait_until_attr(file_handle, [](const tarn_attr& a) { return a.nlinks == 2; }));
    });
}

TEST_F(TARNRemoveTest, RemoveAllLinksDeletesFile) {
    SKIP_LINK_TEST_IF_CASE_INSENSITIVE();
    tarn_fs_info initial_info{};
    ASSERT_TRUE(wait_until_fs_info_stable(&initial_info));
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &file_handle));
    for (int i = 1; i <= 3; ++i) {
        tarn_attr attrs{};
        tarn_err err = link_retried("link" + std::to_string(i), file_handle, &attrs);
        ASSERT_EQ(TARN_ERR_OK, err);
    }
    RetriedErr rerr = remove_retried(TEST_FILE_NAME);
    ASSERT_TRUE(is_tarn_remove_ok(rerr));
    for (int i = 1; i <= 3; ++i) {
        rerr = remove_retried("link" + std::to_string(i));
        ASSERT_TRUE(is_tarn_remove_ok(rerr));
    }
    // The file is freed only with its last name.
    tarn_fs_info final_info{};
    ASSERT_TRUE(wait_until_fs_info_stable(&final_info));
    ASSERT_EQ(initial_info.free_files, final_info.free_files);
}

TEST_F(TARNRemoveTest, LinkToJustRemovedFileIsRejected) {
    SKIP_LINK_TEST_IF_CASE_INSENSITIVE();
    run_restartable([&] {
        std::string fname = random_name();
        TARNObjectHandle file_handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &file_handle));
        tarn_err err = remove_once(fname);
        ASSERT_EQ(TARN_ERR_OK, err);
        add_cleanup_remove("link", test_root_handle);
        tarn_attr attrs{};
        err = link_once("link", file_handle, &attrs);
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

TEST_F(TARNRemoveTest, CreateFileInJustRemovedDirectory) {
    run_restartable([&] {
        std::string dname = random_name();
        TARNObjectHandle dir_handle;
        ASSERT_TRUE(create_dir(dname, test_root_handle, &dir_handle));
        tarn_err err = remove_once(dname);
        ASSERT_EQ(TARN_ERR_OK, err);
        tarn_attr_update update{};
        update.mask = TARN_SET_MODE;
        update.attr.mode = 0644;
        TARNObjectHandle file_handle;
        bool created = false;
        err = tarn_testing::restart_on_delay(tarn_client_create_file(&tarn_ctx, dir_handle.Data(), dir_handle.Length(),
                                                                     "file", TARN_CREATE_GUARDED, &update, 0,
                                                                     file_handle.Out(), &created, nullptr, nullptr));
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

TEST_F(TARNRemoveTest, CreateDirectoryInJustRemovedDirectory) {
    run_restartable([&] {
        std::string dname = random_name();
        TARNObjectHandle dir_handle;
        ASSERT_TRUE(create_dir(dname, test_root_handle, &dir_handle));
        tarn_err err = remove_once(dname);
        ASSERT_EQ(TARN_ERR_OK, err);
        tarn_attr_update update{};
        update.mask = TARN_SET_MODE;
        update.attr.mode = 0755;
        TARNObjectHandle subdir_handle;
        err = tarn_testing::restart_on_delay(tarn_client_create_dir(&tarn_ctx, dir_handle.Data(), dir_handle.Length(),
                                                                    "subdir", &update, 0, subdir_handle.Out(), nullptr,
                                                                    nullptr));
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

TEST_F(TARNRemoveTest, RenameToJustRemovedDirectory) {
    run_restartable([&] {
        std::string dname = random_name();
        std::string fname = random_name();
        TARNObjectHandle dir_handle;
        TARNObjectHandle file_handle;
        ASSERT_TRUE(create_dir(dname, test_root_handle, &dir_handle));
        ASSERT_TRUE(create_file(fname, test_root_handle, &file_handle));
        tarn_err err = remove_once(dname);
        ASSERT_EQ(TARN_ERR_OK, err);
        err = tarn_testing::restart_on_delay(tarn_client_rename(&tarn_ctx, test_root_handle.Data(),
                                                                test_root_handle.Length(), fname.c_str(),
                                                                dir_handle.Data(), dir_handle.Length(), "renamed_file",
                                                                nullptr, nullptr));
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

TEST_F(TARNRemoveTest, RemoveOneLinkAllowsAddingItBack) {
    SKIP_LINK_TEST_IF_CASE_INSENSITIVE();
    run_restartable([&] {
        std::string fname = random_name();
        std::string lname = random_name();
        TARNObjectHandle file_handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &file_handle));
        add_cleanup_remove(lname, test_root_handle);
        tarn_attr attrs{};
        tarn_err err = link_once(lname, file_handle, &attrs);
        ASSERT_EQ(TARN_ERR_OK, err);
        err = remove_once(lname);
        ASSERT_EQ(TARN_ERR_OK, err);
        err = link_once(lname, file_handle, &attrs);
        ASSERT_EQ(TARN_ERR_OK, err);
        ASSERT_TRUE(wait_until_attr(file_handle, [](const tarn_attr& a) { return a.nlinks == 2; }));
    });
}

TEST_F(TARNRemoveTest, RemoveFileFreesSpace) {
    tarn_fs_info initial_info{};
    ASSERT_TRUE(wait_until_fs_info_stable(&initial_info));
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &file_handle));
    const uint64_t file_size = 1048576;
    uint64_t bytes_written = 0;
    ASSERT_TRUE(write_random_data(file_handle, 0, file_size, 64 * 1024, false, &bytes_written));
    ASSERT_EQ(file_size, bytes_written);
    tarn_fs_info after_write_info{};
    ASSERT_TRUE(wait_until_fs_info_stable(&after_write_info));
    ASSERT_LT(after_write_info.free_space, initial_info.free_space);
    RetriedErr rerr = remove_retried(TEST_FILE_NAME);
    ASSERT_TRUE(is_tarn_remove_ok(rerr));
    tarn_fs_info final_info{};
    ASSERT_TRUE(wait_until_fs_info_stable(&final_info));
    // How much a 1 MiB file costs is the server's business; what it gave back
    // must come back, give or take a few blocks of bookkeeping.
    ASSERT_GE(final_info.free_space + 15, initial_info.free_space);
}

// ---------------------------------------------------------------- concurrent removals

class TARNRemoveConcurrentLinksTest : public TARNRemoveTest, public testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(TARNRemoveConcurrentLinksTest, RemoveDifferentLinks) {
    SKIP_LINK_TEST_IF_CASE_INSENSITIVE();
    const int num_links_to_create = std::get<0>(GetParam());
    const int num_links_to_remove = std::get<1>(GetParam());
    const int expected_nlinks = num_links_to_create - num_links_to_remove + 1;

    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &file_handle));
    std::vector<std::string> links;
    tarn_attr attrs{};
    for (int i = 0; i < num_links_to_create; ++i) {
        links.push_back("link" + std::to_string(i));
        tarn_err err = link_retried(links.back(), file_handle, &attrs);
        ASSERT_EQ(TARN_ERR_OK, err);
    }
    ASSERT_EQ(static_cast<uint32_t>(num_links_to_create + 1), attrs.nlinks);

    start_workers(num_links_to_remove, [this, &links](WorkerContext& ctx) -> testing::AssertionResult {
        return is_tarn_remove_ok(remove_retried(links[ctx.index]));
    });
    wait_for_workers_to_stop();
    ASSERT_TRUE(verify_no_worker_failures());

    ASSERT_TRUE(wait_until_attr(file_handle, [expected_nlinks](const tarn_attr& a) {
        return a.nlinks == static_cast<uint32_t>(expected_nlinks);
    }));
    for (int i = num_links_to_remove; i < num_links_to_create; ++i) {
        tarn_err err = lookup_name(links[i]);
        ASSERT_EQ(TARN_ERR_OK, err) << "Remaining link '" << links[i] << "' should exist";
    }
}

INSTANTIATE_TEST_SUITE_P(ConcurrentLinkRemoval, TARNRemoveConcurrentLinksTest,
                         testing::Values(std::make_tuple(10, 10), std::make_tuple(20, 10)),
                         [](const testing::TestParamInfo<std::tuple<int, int>>& info) {
                             return std::to_string(info.index);
                         });

TEST_F(TARNRemoveTest, ConcurrentRemoveAndCreateLink) {
    SKIP_LINK_TEST_IF_CASE_INSENSITIVE();
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &file_handle));
    tarn_attr attrs{};
    tarn_err err = link_retried("link1", file_handle, &attrs);
    ASSERT_EQ(TARN_ERR_OK, err);

    start_workers(2, [this, &file_handle](WorkerContext& ctx) -> testing::AssertionResult {
        if (ctx.index == 0) return is_tarn_remove_ok(remove_retried("link1"));
        tarn_attr link_attrs{};
        return err2result(link_retried("link2", file_handle, &link_attrs), "tarn_client_create_link");
    });
    wait_for_workers_to_stop();
    ASSERT_TRUE(verify_no_worker_failures());

    // Whichever call came first: the file's own name and "link2".
    ASSERT_TRUE(wait_until_attr(file_handle, [](const tarn_attr& a) { return a.nlinks == 2; }));
}

TEST_F(TARNRemoveTest, ConcurrentRemoveSameLink) {
    const int num_threads = 5;
    run_restartable([&] {
        std::string fname = random_name();
        TARNObjectHandle file_handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &file_handle));

        std::atomic<int32_t> successful_removals{0};
        std::atomic<int32_t> not_found_errors{0};
        std::atomic<int32_t> delay_errors{0};
        clear_worker_failures();

        start_workers(num_threads, [&](WorkerContext&) -> testing::AssertionResult {
            tarn_err answer = tarn_client_remove(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                                 fname.c_str(), nullptr);
            switch (answer) {
            case TARN_ERR_DELAY:
                delay_errors.fetch_add(1);
                return testing::AssertionSuccess();
            case TARN_ERR_OK:
                successful_removals.fetch_add(1);
                return testing::AssertionSuccess();
            case TARN_ERR_NOT_FOUND:
                not_found_errors.fetch_add(1);
                return testing::AssertionSuccess();
            default:
                return err2result(answer, "tarn_client_remove");
            }
        });
        wait_for_workers_to_stop();
        ASSERT_TRUE(verify_no_worker_failures());

        // A delayed removal may or may not have happened: the counts of
        // such a run prove nothing.
        if (delay_errors > 0) throw tarn_testing::detail::RestartException();

        ASSERT_EQ(1, successful_removals);
        ASSERT_EQ(num_threads - 1, not_found_errors);
        tarn_err err = lookup_name(fname);
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

TEST_F(TARNRemoveTest, ConcurrentRemoveAllLinksPreservesConsistency) {
    SKIP_LINK_TEST_IF_CASE_INSENSITIVE();
    const int num_additional_links = 8;
    tarn_fs_info initial_info{};
    ASSERT_TRUE(wait_until_fs_info_stable(&initial_info));

    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &file_handle));
    std::vector<std::string> names{TEST_FILE_NAME};
    tarn_attr attrs{};
    for (int i = 0; i < num_additional_links; ++i) {
        names.push_back("link" + std::to_string(i));
        tarn_err err = link_retried(names.back(), file_handle, &attrs);
        ASSERT_EQ(TARN_ERR_OK, err);
    }
    ASSERT_EQ(static_cast<uint32_t>(num_additional_links + 1), attrs.nlinks);

    // One worker removes the file's own name, the others one link each.
    start_workers(static_cast<int>(names.size()), [this, &names](WorkerContext& ctx) -> testing::AssertionResult {
        return is_tarn_remove_ok(remove_retried(names[ctx.index]));
    });
    wait_for_workers_to_stop();
    ASSERT_TRUE(verify_no_worker_failures());

    for (const std::string& name : names) {
        tarn_err err = lookup_name(name);
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err) << "Link '" << name << "' should not exist";
    }
    tarn_fs_info final_info{};
    ASSERT_TRUE(wait_until_fs_info_stable(&final_info));
    ASSERT_EQ(initial_info.free_files, final_info.free_files);
}

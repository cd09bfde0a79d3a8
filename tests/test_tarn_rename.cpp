// Renames: moves between directories with and without a new name, renames in
// place and onto the same name, case-only changes, moving a directory, and
// the refusals: an existing destination of any type is never replaced, a
// directory cannot move below itself, a missing source is reported.
//
// A rename is made exactly once: after "Delay, try again later" it may or may
// not have happened, so the whole body starts over with new names.
#include <gtest/gtest.h>

#include <string>

#include "client/tarn_client.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

class TARNRenameTest : public TARNTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
    }

    // The lookup of `name` in `dir` answers `expected`.
    testing::AssertionResult lookup_retval_eq(tarn_err expected, const TARNObjectHandle& dir, const std::string& name) {
        TARNObjectHandle found;
        tarn_err answer = retry_on_delay([&] {
            return tarn_client_lookup(&tarn_ctx, dir.Data(), dir.Length(), name.c_str(), found.Out(), nullptr,
                                      nullptr);
        });
        if (answer == expected) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "Expected \"" << tarn_get_err_msg(expected) << "\", got \""
                                           << tarn_get_err_msg(answer) << "\"";
    }

    tarn_err rename_once(const TARNObjectHandle& src_dir, const std::string& src_name, const TARNObjectHandle& dst_dir,
                         const std::string& dst_name) {
        return tarn_testing::restart_on_delay(tarn_client_rename(&tarn_ctx, src_dir.Data(), src_dir.Length(),
                                                                 src_name.c_str(), dst_dir.Data(), dst_dir.Length(),
                                                                 dst_name.c_str(), nullptr, nullptr));
    }

    static std::string random_name() { return get_random_name(nullptr, 16); }

    TARNObjectHandle test_root_handle;
};

TEST_F(TARNRenameTest, MoveBetweenDirs) {
    run_restartable([&] {
        std::string src_dname = random_name();
        std::string dst_dname = random_name();
        std::string fname = random_name();
        TARNObjectHandle src_dir, dst_dir, handle;
        ASSERT_TRUE(create_dir(src_dname, test_root_handle, &src_dir));
        ASSERT_TRUE(create_dir(dst_dname, test_root_handle, &dst_dir));
        ASSERT_TRUE(create_file(fname, src_dir, &handle));
        add_cleanup_remove(fname, dst_dir);
        tarn_err err = rename_once(src_dir, fname, dst_dir, fname);
        ASSERT_EQ(TARN_ERR_OK, err);
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_NOT_FOUND, src_dir, fname));
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_OK, dst_dir, fname));
    });
}

TEST_F(TARNRenameTest, MoveBetweenDirsWithRename) {
    run_restartable([&] {
        std::string src_dname = random_name();
        std::string dst_dname = random_name();
        std::string src_fname = random_name();
        std::string dst_fname = random_name();
        TARNObjectHandle src_dir, dst_dir, handle;
        ASSERT_TRUE(create_dir(src_dname, test_root_handle, &src_dir));
        ASSERT_TRUE(create_dir(dst_dname, test_root_handle, &dst_dir));
        ASSERT_TRUE(create_file(src_fname, src_dir, &handle));
        add_cleanup_remove(dst_fname, dst_dir);
        tarn_err err = rename_once(src_dir, src_fname, dst_dir, dst_fname);
        ASSERT_EQ(TARN_ERR_OK, err);
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_NOT_FOUND, src_dir, src_fname));
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_OK, dst_dir, dst_fname));
    });
}

TEST_F(TARNRenameTest, RenameInSameDir) {
    run_restartable([&] {
        std::string src_fname = random_name();
        std::string dst_fname = random_name();
        TARNObjectHandle handle;
        ASSERT_TRUE(create_file(src_fname, test_root_handle, &handle));
        add_cleanup_remove(dst_fname, test_root_handle);
        tarn_err err = rename_once(test_root_handle, src_fname, test_root_handle, dst_fname);
        ASSERT_EQ(TARN_ERR_OK, err);
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_NOT_FOUND, test_root_handle, src_fname));
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_OK, test_root_handle, dst_fname));
    });
}

TEST_F(TARNRenameTest, RenameWithSameName) {
    run_restartable([&] {
        std::string fname = random_name();
        TARNObjectHandle handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &handle));
        tarn_err err = rename_once(test_root_handle, fname, test_root_handle, fname);
        ASSERT_EQ(TARN_ERR_OK, err);
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_OK, test_root_handle, fname));
    });
}

TEST_F(TARNRenameTest, CaseChange) {
    run_restartable([&] {
        std::string dname = random_name();
        const std::string src_fname = "File";
        const std::string dst_fname = "file";
        TARNObjectHandle dhandle, fhandle;
        ASSERT_TRUE(create_dir(dname, test_root_handle, &dhandle));
        ASSERT_TRUE(create_file(src_fname, dhandle, &fhandle));
        add_cleanup_remove(dst_fname, dhandle);
        tarn_err err = rename_once(dhandle, src_fname, dhandle, dst_fname);
        ASSERT_EQ(TARN_ERR_OK, err);

        bool case_sensitive = true;
        ASSERT_TRUE(get_case_sensitive_prop(&case_sensitive));
        if (case_sensitive) {
            EXPECT_TRUE(lookup_retval_eq(TARN_ERR_NOT_FOUND, dhandle, src_fname));
        } else {
            // The old spelling still finds the object now named "file".
            EXPECT_TRUE(lookup_retval_eq(TARN_ERR_OK, dhandle, src_fname));
        }
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_OK, dhandle, dst_fname));
    });
}

TEST_F(TARNRenameTest, MoveDirectoryWithRename) {
    run_restartable([&] {
        std::string src_dname = random_name();
        std::string dst_dname = random_name();
        std::string sub_dname = random_name();
        std::string new_sub_dname = random_name();
        TARNObjectHandle src_dir, dst_dir, handle;
        ASSERT_TRUE(create_dir(src_dname, test_root_handle, &src_dir));
        ASSERT_TRUE(create_dir(dst_dname, test_root_handle, &dst_dir));
        ASSERT_TRUE(create_dir(sub_dname, src_dir, &handle));
        add_cleanup_remove(new_sub_dname, dst_dir);
        tarn_err err = rename_once(src_dir, sub_dname, dst_dir, new_sub_dname);
        ASSERT_EQ(TARN_ERR_OK, err);
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_NOT_FOUND, src_dir, sub_dname));
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_OK, dst_dir, new_sub_dname));
    });
}

TEST_F(TARNRenameTest, NoReplace) {
    run_restartable([&] {
        std::string src_fname = random_name();
        std::string dst_fname = random_name();
        TARNObjectHandle handle_src, handle_dst;
        ASSERT_TRUE(create_file(src_fname, test_root_handle, &handle_src));
        ASSERT_TRUE(create_file(dst_fname, test_root_handle, &handle_dst));
        tarn_err err = rename_once(test_root_handle, src_fname, test_root_handle, dst_fname);
        ASSERT_EQ(TARN_ERR_EXIST, err);
        // Neither name was replaced or removed.
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_OK, test_root_handle, src_fname));
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_OK, test_root_handle, dst_fname));
    });
}

TEST_F(TARNRenameTest, FileToExistingDir) {
    run_restartable([&] {
        std::string fname = random_name();
        std::string dname = random_name();
        TARNObjectHandle file_handle, dir_handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &file_handle));
        ASSERT_TRUE(create_dir(dname, test_root_handle, &dir_handle));
        tarn_err err = rename_once(test_root_handle, fname, test_root_handle, dname);
        ASSERT_EQ(TARN_ERR_EXIST, err);
    });
}

TEST_F(TARNRenameTest, DirToExistingFile) {
    run_restartable([&] {
        std::string fname = random_name();
        std::string dname = random_name();
        TARNObjectHandle file_handle, dir_handle;
        ASSERT_TRUE(create_file(fname, test_root_handle, &file_handle));
        ASSERT_TRUE(create_dir(dname, test_root_handle, &dir_handle));
        tarn_err err = rename_once(test_root_handle, dname, test_root_handle, fname);
        ASSERT_EQ(TARN_ERR_EXIST, err);
    });
}

TEST_F(TARNRenameTest, DirToSubdir) {
    run_restartable([&] {
        std::string dname = random_name();
        std::string sub_dname = random_name();
        TARNObjectHandle dir_handle, subdir_handle;
        ASSERT_TRUE(create_dir(dname, test_root_handle, &dir_handle));
        ASSERT_TRUE(create_dir(sub_dname, dir_handle, &subdir_handle));
        tarn_err err = rename_once(test_root_handle, dname, subdir_handle, dname);
        ASSERT_NE(TARN_ERR_OK, err);

        // Deeper down as well: a check that looks only at the destination's
        // parent lets the directory move below its grandchild, cut off
        // from the tree inside itself.
        std::string sub_sub_dname = random_name();
        TARNObjectHandle subsubdir_handle;
        ASSERT_TRUE(create_dir(sub_sub_dname, subdir_handle, &subsubdir_handle));
        err = rename_once(test_root_handle, dname, subsubdir_handle, dname);
        ASSERT_NE(TARN_ERR_OK, err);
        EXPECT_TRUE(lookup_retval_eq(TARN_ERR_OK, test_root_handle, dname));
    });
}

TEST_F(TARNRenameTest, NonExistentSource) {
    run_restartable([&] {
        std::string src_fname = random_name();
        std::string dst_fname = random_name();
        tarn_err err = rename_once(test_root_handle, src_fname, test_root_handle, dst_fname);
        ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    });
}

// Name resolution by the file server: the root reached as "/", objects found
// by name with the handle their creation returned, and the rejection of empty
// names, names holding a slash and paths with "." or ".." components other
// than a lone "." or "/.".
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "client/tarn_client.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

class TARNLookupTest : public TARNTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        test_root_name = get_random_name("tarn_test_", 8);
        ASSERT_TRUE(create_dir(test_root_name, root_handle, &test_root_handle));
    }

    // `name` resolved in `parent`; an empty parent resolves from the root.
    tarn_err lookup_in(const TARNObjectHandle& parent, const std::string& name, TARNObjectHandle* out,
                       tarn_attr* attrs) {
        return retry_on_delay([&] {
            return tarn_client_lookup(&tarn_ctx, parent.empty() ? nullptr : parent.Data(), parent.Length(),
                                      name.c_str(), out->Out(), attrs, nullptr);
        });
    }

    TARNObjectHandle test_root_handle;
    // Kept so that tests can reach the test directory by absolute path.
    std::string test_root_name;
};

TEST_F(TARNLookupTest, RootDirectory) {
    const TARNObjectHandle no_parent;
    TARNObjectHandle handle;
    tarn_attr attrs{};
    tarn_err err = lookup_in(no_parent, "/", &handle, &attrs);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(attrs.type, TARN_FILE_TYPE_DIRECTORY);
    ASSERT_NE(attrs.ctime, 0);
    ASSERT_NE(attrs.mtime, 0);
}

TEST_F(TARNLookupTest, DotPathsAreRejected) {
    const TARNObjectHandle no_parent;
    TARNObjectHandle handle;
    // Dot checks come before resolution: no "file" exists here, yet the
    // paths naming it through "." or ".." are invalid, not missing.
    tarn_err err = TARN_ERR_OK;
    err = lookup_in(no_parent, "/.", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_OK, err);
    err = lookup_in(no_parent, "/..", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_INVAL, err);
    err = lookup_in(test_root_handle, "..", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_INVAL, err);
    err = lookup_in(test_root_handle, ".", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_OK, err);
    err = lookup_in(test_root_handle, "./file", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_INVAL, err);
    err = lookup_in(test_root_handle, "../file", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_INVAL, err);
    err = lookup_in(no_parent, "/" + test_root_name + "/./file", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_INVAL, err);
    err = lookup_in(no_parent, "/" + test_root_name + "/../file", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_INVAL, err);
    err = lookup_in(no_parent, "/" + test_root_name + "/.", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_INVAL, err);
    err = lookup_in(no_parent, "/" + test_root_name + "/..", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_INVAL, err);
}

TEST_F(TARNLookupTest, Directory) {
    TARNObjectHandle handle1;
    TARNObjectHandle handle2;
    tarn_attr attrs{};
    ASSERT_TRUE(create_dir("dir", test_root_handle, &handle1));
    tarn_err err = lookup_in(test_root_handle, "dir", &handle2, &attrs);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(attrs.type, TARN_FILE_TYPE_DIRECTORY);
    ASSERT_NE(attrs.ctime, 0);
    ASSERT_NE(attrs.mtime, 0);
    ASSERT_EQ(handle1, handle2);
}

TEST_F(TARNLookupTest, File) {
    TARNObjectHandle handle1;
    TARNObjectHandle handle2;
    tarn_attr attrs{};
    ASSERT_TRUE(create_file("file", test_root_handle, &handle1));
    tarn_err err = lookup_in(test_root_handle, "file", &handle2, &attrs);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(attrs.type, TARN_FILE_TYPE_REGULAR);
    ASSERT_NE(attrs.ctime, 0);
    ASSERT_NE(attrs.mtime, 0);
    ASSERT_EQ(handle1, handle2);
}

TEST_F(TARNLookupTest, Symlink) {
    bool case_sensitive = true;
    ASSERT_TRUE(get_case_sensitive_prop(&case_sensitive));
    if (!case_sensitive) {
        GTEST_SKIP() << "Skipping symlink tests on a case-insensitive filesystem";
    }

    TARNObjectHandle handle1;
    TARNObjectHandle handle2;
    tarn_attr attrs{};
    add_cleanup_remove("symlink", test_root_handle);
    tarn_attr_update update{};
    tarn_err err = retry_on_delay([&] {
        return tarn_client_create_symlink(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), "symlink",
                                          "content", &update, handle1.Out(), nullptr, nullptr);
    });
    ASSERT_TRUE(err2result(err, "tarn_client_create_symlink"));

    // The link itself is found, not what it points to.
    err = lookup_in(test_root_handle, "symlink", &handle2, &attrs);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(attrs.type, TARN_FILE_TYPE_SYMLINK);
    ASSERT_NE(attrs.ctime, 0);
    ASSERT_NE(attrs.mtime, 0);
    ASSERT_EQ(handle1, handle2);
}

TEST_F(TARNLookupTest, InvalidPathsAreRejected) {
    TARNObjectHandle handle;
    tarn_err err = lookup_in(test_root_handle, "a/b", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    err = lookup_in(test_root_handle, "", &handle, nullptr);
    ASSERT_EQ(TARN_ERR_INVAL, err);
}

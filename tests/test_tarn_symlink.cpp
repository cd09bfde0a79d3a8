// Symbolic links: creating one is idempotent for the same target text and
// conflicts for another.
#include <gtest/gtest.h>

#include <string>

#include "client/tarn_client.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

class TARNSymlinkTest : public TARNTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
        bool case_sensitive = true;
        ASSERT_TRUE(get_case_sensitive_prop(&case_sensitive));
        if (!case_sensitive) GTEST_SKIP() << "Skipping link tests on a case-insensitive filesystem";
    }

    // Creates the symbolic link `name` -> `target` in the test directory,
    // repeating it while the server answers Delay.
    tarn_err symlink_in_test_dir(const std::string& name, const std::string& target, tarn_attr* attrs) {
        const tarn_attr_update update{};
        TARNObjectHandle link_handle;
        return retry_on_delay(
            [&] {
                return tarn_client_create_symlink(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                                  name.c_str(), target.c_str(), &update, link_handle.Out(), attrs,
                                                  nullptr);
            },
            delay_retry);
    }

    TARNObjectHandle test_root_handle;
};

TEST_F(TARNSymlinkTest, Idempotence) {
    add_cleanup_remove("dir", test_root_handle);

    tarn_attr attrs{};
    tarn_err err = symlink_in_test_dir("dir", "content", &attrs);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(attrs.type, TARN_FILE_TYPE_SYMLINK);
    ASSERT_EQ(attrs.mode, 0777u);
    ASSERT_NE(attrs.mtime, 0u);
    ASSERT_NE(attrs.ctime, 0u);
    ASSERT_NE(attrs.atime, 0u);

    // Cleared so that the checks below see what the repeat reported.
    attrs = tarn_attr{};
    err = symlink_in_test_dir("dir", "content", &attrs);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(attrs.type, TARN_FILE_TYPE_SYMLINK);
    ASSERT_EQ(attrs.mode, 0777u);
    ASSERT_NE(attrs.mtime, 0u);
    ASSERT_NE(attrs.ctime, 0u);
    ASSERT_NE(attrs.atime, 0u);

    err = symlink_in_test_dir("dir", "different content", &attrs);
    ASSERT_EQ(TARN_ERR_EXIST, err);
}

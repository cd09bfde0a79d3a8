// Reading a directory with attributes returns every kind of object it holds,
// each with its name, matching attributes and the very handle its creation
// returned, and nothing else.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "client/tarn_client.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

namespace {

struct dir_entry_record {
    std::string name;
    TARNObjectHandle handle;
    bool has_attrs;
    tarn_attr attrs;  // all zero when the entry came without attributes
    uint64_t cookie;
};

bool read_dir_cb(const char* name, const void* opaque, uint64_t opaque_len, const tarn_attr* attrs, uint64_t cookie,
                 void* arg) {
    auto* list = static_cast<std::vector<dir_entry_record>*>(arg);
    dir_entry_record record{name, TARNObjectHandle(opaque, opaque_len), attrs != nullptr, tarn_attr{}, cookie};
    if (attrs) record.attrs = *attrs;
    list->push_back(std::move(record));
    return true;
}

}  // namespace

class TARNReaddirTest : public TARNTestBase {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
        ASSERT_TRUE(get_case_sensitive_prop(&case_sensitive));
    }

    TARNObjectHandle test_root_handle;
    bool case_sensitive = true;
};

TEST_F(TARNReaddirTest, ReadsAllObjectTypes) {
    TARNObjectHandle dir_handle;
    TARNObjectHandle file_handle;
    TARNObjectHandle symlink_handle;

    ASSERT_TRUE(create_dir("dir", test_root_handle, &dir_handle));
    ASSERT_TRUE(create_file("file", test_root_handle, &file_handle));

    // A case-insensitive file system has no symbolic links.
    uint64_t expected_count = 2;
    if (case_sensitive) {
        ASSERT_TRUE(create_symlink("symlink", test_root_handle, "content", &symlink_handle));
        expected_count = 3;
    }

    // The three entries fit one batch; a second one is never read.
    std::vector<dir_entry_record> entries;
    tarn_err err = retry_on_delay([&] {
        entries.clear();
        bool eof = false;
        return tarn_client_read_dir(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), 0, true,
                                    read_dir_cb, &entries, &eof, nullptr);
    });
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(entries.size(), expected_count);

    for (const dir_entry_record& entry : entries) {
        ASSERT_TRUE(entry.has_attrs);
        if (entry.name == "dir") {
            ASSERT_EQ(entry.handle, dir_handle);
            ASSERT_EQ(entry.attrs.type, TARN_FILE_TYPE_DIRECTORY);
        } else if (entry.name == "file") {
            ASSERT_EQ(entry.handle, file_handle);
            ASSERT_EQ(entry.attrs.type, TARN_FILE_TYPE_REGULAR);
        } else if (entry.name == "symlink") {
            ASSERT_EQ(entry.handle, symlink_handle);
            ASSERT_EQ(entry.attrs.type, TARN_FILE_TYPE_SYMLINK);
        } else {
            FAIL() << "Unexpected entry: " << entry.name;
        }
    }
}

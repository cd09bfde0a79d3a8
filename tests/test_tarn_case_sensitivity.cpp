// How the file server treats the letter case of names.
//
// A case-sensitive file system keeps names that differ only in case apart.
// A case-insensitive one matches any case in lookup, create, remove and
// rename (Cyrillic and Turkish letters included), lists each name in the
// case of its create or last rename, and has no hard or symbolic links.
// Every test runs on one kind only and skips itself on the other.
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/tarn_client.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

namespace {

// One entry of a listing of the test directory.
struct dir_entry_cs {
    std::string name;
    TARNObjectHandle handle;
    uint64_t cookie;
};

bool read_dir_cb(const char* name, const void* opaque, uint64_t opaque_len, const tarn_attr* /*attrs*/,
                 uint64_t cookie, void* arg) {
    auto* list = static_cast<std::vector<dir_entry_cs>*>(arg);
    list->push_back(dir_entry_cs{name, TARNObjectHandle(opaque, opaque_len), cookie});
    return true;
}

// The name, then copies with its first third, first two thirds and all of it
// upper-cased. Only ASCII letters change (toupper in the default locale), so
// the bytes of multi-byte UTF-8 characters stay as they are.
std::vector<std::string> get_case_variations(std::string_view name) {
    std::vector<std::string> list;
    if (name.empty()) return list;
    const size_t len = name.size();
    auto upper = [](std::string s, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) s[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[i])));
        return s;
    };
    list.emplace_back(name);
    list.push_back(upper(list.back(), 0, len / 3));
    list.push_back(upper(list.back(), len / 3, (2 * len) / 3));
    list.push_back(upper(list.back(), (2 * len) / 3, len));
    return list;
}

// A name in lower case ([0]) and upper case ([1]).
using NamePair = const char* [2];

const char* test_name_ru[2] = {"тестовый_объект1", "ТЕСТОВЫЙ_ОБЪЕКТ1"};
const char* another_name_ru[2] = {"тестовый_объект2", "ТЕСТОВЫЙ_ОБЪЕКТ2"};
const char* test_name_tr[2] = {"göz_lüğ_üş1", "GÖZ_LÜĞ_ÜŞ1"};
const char* another_name_tr[2] = {"göz_lüğ_üş2", "GÖZ_LÜĞ_ÜŞ2"};

}  // namespace

class TARNCaseSensitivityTest : public TARNTestBase {
protected:
    using ObjectCreator =
        std::function<testing::AssertionResult(const std::string& name, const TARNObjectHandle& parent,
                                               TARNObjectHandle* out)>;

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
        ASSERT_TRUE(get_case_sensitive_prop(&case_sensitive));
    }

    // Creates every case variant of `name` in the test directory; returns the
    // variants sorted. A variant whose creation failed shows up later as a
    // missing listing entry, which is why the results are not checked here.
    std::vector<std::string> create_case_sensitive_objects(std::string_view name,
                                                           const std::function<void(const std::string&)>& creator) {
        std::vector<std::string> list = get_case_variations(name);
        for (const std::string& variant : list) creator(variant);
        std::sort(list.begin(), list.end());
        return list;
    }

    std::vector<std::string> create_case_sensitive_files(std::string_view name) {
        return create_case_sensitive_objects(name, [this](const std::string& variant) {
            TARNObjectHandle handle;
            (void)create_file(variant, test_root_handle, &handle);
        });
    }

    std::vector<std::string> create_case_sensitive_directories(std::string_view name) {
        return create_case_sensitive_objects(name, [this](const std::string& variant) {
            TARNObjectHandle handle;
            (void)create_dir(variant, test_root_handle, &handle);
        });
    }

    // The names in the test directory, sorted, appended to `list`. One batch
    // is enough: the directory never holds more than four entries.
    testing::AssertionResult get_test_dir_contents(std::vector<std::string>& list) {
        std::vector<dir_entry_cs> entries;
        tarn_err err = retry_on_delay([&] {
            entries.clear();
            bool eof = false;
            return tarn_client_read_dir(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), 0, false,
                                        read_dir_cb, &entries, &eof, nullptr);
        });
        if (err != TARN_ERR_OK) return err2result(err, "tarn_client_read_dir");
        for (const dir_entry_cs& entry : entries) list.push_back(entry.name);
        std::sort(list.begin(), list.end());
        return testing::AssertionSuccess();
    }

    tarn_err lookup_in_test_dir(const char* name, TARNObjectHandle* out, tarn_attr* attrs) {
        return retry_on_delay([&] {
            return tarn_client_lookup(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name, out->Out(),
                                      attrs, nullptr);
        });
    }

    RetriedErr rename_in_test_dir(const char* from, const char* to) {
        return retry_on_delay_ex([&] {
            return tarn_client_rename(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), from,
                                      test_root_handle.Data(), test_root_handle.Length(), to, nullptr, nullptr);
        });
    }

    RetriedErr remove_in_test_dir(const char* name) {
        return retry_on_delay_ex([&] {
            return tarn_client_remove(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(), name, nullptr);
        });
    }

    // The listing holds exactly one entry, spelled byte for byte `expected`.
    testing::AssertionResult expect_single_entry(const char* expected) {
        std::vector<std::string> list;
        testing::AssertionResult listed = get_test_dir_contents(list);
        if (!listed) return listed;
        if (list.size() != 1) return testing::AssertionFailure() << "Expected 1 entry, got " << list.size();
        if (list[0] != expected)
            return testing::AssertionFailure() << "Expected entry name " << expected << ", got " << list[0];
        return testing::AssertionSuccess();
    }

    // Creates an object under the upper-case form of `test_name`, finds it by
    // the lower-case form, renames it by the lower-case form to the upper
    // case of `new_name`, finds it again and removes it by the lower-case new
    // name, checking the listing's spelling after the create and the rename.
    // The test directory is empty again on success.
    testing::AssertionResult execute_fs_object_ops_chain(NamePair& test_name, NamePair& new_name,
                                                         const ObjectCreator& creator) {
        TARNObjectHandle created;
        testing::AssertionResult made = creator(test_name[1], test_root_handle, &created);
        if (!made) return made;

        TARNObjectHandle found;
        tarn_err err = lookup_in_test_dir(test_name[0], &found, nullptr);
        if (err != TARN_ERR_OK) return err2result(err, "tarn_client_lookup");

        testing::AssertionResult listed = expect_single_entry(test_name[1]);
        if (!listed) return listed;

        testing::AssertionResult renamed = is_tarn_rename_ok(rename_in_test_dir(test_name[0], new_name[1]));
        if (!renamed) return renamed;

        err = lookup_in_test_dir(new_name[0], &found, nullptr);
        if (err != TARN_ERR_OK) return err2result(err, "tarn_client_lookup");

        listed = expect_single_entry(new_name[1]);
        if (!listed) return listed;

        return is_tarn_remove_ok(remove_in_test_dir(new_name[0]));
    }

    TARNObjectHandle test_root_handle;
    bool case_sensitive = true;
};

TEST_F(TARNCaseSensitivityTest, CaseSensitiveFile) {
    if (!case_sensitive) {
        GTEST_SKIP() << "Skipping case-sensitive file test on a " << "case-insensitive filesystem";
    }
    std::vector<std::string> file_name_list = create_case_sensitive_files("file_under_test");
    std::vector<std::string> test_dir_content;
    ASSERT_TRUE(get_test_dir_contents(test_dir_content));
    ASSERT_EQ(file_name_list.size(), test_dir_content.size());
    for (size_t i = 0; i < file_name_list.size(); ++i) ASSERT_EQ(file_name_list[i], test_dir_content[i]);
}

TEST_F(TARNCaseSensitivityTest, CaseSensitiveDirectory) {
    if (!case_sensitive) {
        GTEST_SKIP() << "Skipping case-sensitive directory test on a " << "case-insensitive filesystem";
    }
    std::vector<std::string> dir_name_list = create_case_sensitive_directories("directory_under_test");
    std::vector<std::string> test_dir_content;
    ASSERT_TRUE(get_test_dir_contents(test_dir_content));
    ASSERT_EQ(dir_name_list.size(), test_dir_content.size());
    for (size_t i = 0; i < dir_name_list.size(); ++i) ASSERT_EQ(dir_name_list[i], test_dir_content[i]);
}

TEST_F(TARNCaseSensitivityTest, CaseInsensitiveFileLookup) {
    if (case_sensitive) {
        GTEST_SKIP() << "Skipping case-insensitive file test on a " << "case-sensitive filesystem";
    }
    std::vector<std::string> file_name_list = get_case_variations("file_under_test");
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(file_name_list.back().c_str(), test_root_handle, &file_handle));

    uint64_t inode = 0;
    for (const std::string& variant : file_name_list) {
        TARNObjectHandle handle;
        tarn_attr attrs{};
        tarn_err err = lookup_in_test_dir(variant.c_str(), &handle, &attrs);
        ASSERT_EQ(TARN_ERR_OK, err);
        if (inode == 0) {
            inode = attrs.inode_num;
        } else {
            ASSERT_EQ(inode, attrs.inode_num);
        }
    }

    std::vector<std::string> test_dir_content;
    ASSERT_TRUE(get_test_dir_contents(test_dir_content));
    ASSERT_EQ(test_dir_content.size(), 1);
    ASSERT_EQ(test_dir_content[0], file_name_list.back());
}

TEST_F(TARNCaseSensitivityTest, CaseInsensitiveFileCreateFail) {
    if (case_sensitive) {
        GTEST_SKIP() << "Skipping case-insensitive file test on a " << "case-sensitive filesystem";
    }
    std::vector<std::string> file_name_list = get_case_variations("file_under_test");
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(file_name_list.back().c_str(), test_root_handle, &file_handle));

    tarn_attr_update update{};
    update.mask = TARN_SET_MODE;
    update.attr.mode = 0644;
    for (const std::string& variant : file_name_list) {
        const uint64_t verifier = op_counter.fetch_add(1);
        TARNObjectHandle handle;
        bool created = false;
        tarn_err err = retry_on_delay([&] {
            return tarn_client_create_file(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                           variant.c_str(), TARN_CREATE_GUARDED, &update, verifier, handle.Out(),
                                           &created, nullptr, nullptr);
        });
        ASSERT_EQ(TARN_ERR_EXIST, err);
    }
}

TEST_F(TARNCaseSensitivityTest, CaseInsensitiveFileRemove) {
    if (case_sensitive) {
        GTEST_SKIP() << "Skipping case-insensitive file test on a " << "case-sensitive filesystem";
    }
    std::vector<std::string> file_name_list = get_case_variations("file_under_test");
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(file_name_list.back().c_str(), test_root_handle, &file_handle));

    RetriedErr rerr = remove_in_test_dir(file_name_list[0].c_str());
    ASSERT_TRUE(is_tarn_remove_ok(rerr));
}

TEST_F(TARNCaseSensitivityTest, CaseInsensitiveFileRename) {
    if (case_sensitive) {
        GTEST_SKIP() << "Skipping case-insensitive file test on a " << "case-sensitive filesystem";
    }
    const char* another_name[2] = {"ANOTHER_FILE_NAME", "another_file_name"};
    std::vector<std::string> file_name_list = get_case_variations("file_under_test");
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_file(file_name_list[0].c_str(), test_root_handle, &file_handle));

    RetriedErr rerr = rename_in_test_dir(file_name_list[1].c_str(), file_name_list[2].c_str());
    ASSERT_TRUE(is_tarn_rename_ok(rerr));

    TARNObjectHandle handle;
    tarn_err err = lookup_in_test_dir(file_name_list[3].c_str(), &handle, nullptr);
    ASSERT_EQ(TARN_ERR_OK, err);

    std::vector<std::string> test_dir_content;
    ASSERT_TRUE(get_test_dir_contents(test_dir_content));
    ASSERT_EQ(test_dir_content.size(), 1);
    ASSERT_EQ(test_dir_content[0], file_name_list[2]);

    rerr = rename_in_test_dir(file_name_list[0].c_str(), another_name[0]);
    ASSERT_TRUE(is_tarn_rename_ok(rerr));

    err = lookup_in_test_dir(another_name[1], &handle, nullptr);
    ASSERT_EQ(TARN_ERR_OK, err);

    test_dir_content.clear();
    ASSERT_TRUE(get_test_dir_contents(test_dir_content));
    ASSERT_EQ(test_dir_content.size(), 1);
    ASSERT_EQ(test_dir_content[0], another_name[0]);

    rerr = remove_in_test_dir(another_name[1]);
    ASSERT_TRUE(is_tarn_remove_ok(rerr));
}

TEST_F(TARNCaseSensitivityTest, CaseInsensitiveDirectoryLookup) {
    if (case_sensitive) {
        GTEST_SKIP() << "Skipping case-insensitive directory test on a " << "case-sensitive filesystem";
    }
    std::vector<std::string> dir_name_list = get_case_variations("directory_under_test");
    TARNObjectHandle dir_handle;
    ASSERT_TRUE(create_dir(dir_name_list.back().c_str(), test_root_handle, &dir_handle));

    uint64_t inode = 0;
    for (const std::string& variant : dir_name_list) {
        TARNObjectHandle handle;
        tarn_attr attrs{};
        tarn_err err = lookup_in_test_dir(variant.c_str(), &handle, &attrs);
        ASSERT_EQ(TARN_ERR_OK, err);
        if (inode == 0) {
            inode = attrs.inode_num;
        } else {
            ASSERT_EQ(inode, attrs.inode_num);
        }
    }

    std::vector<std::string> test_dir_content;
    ASSERT_TRUE(get_test_dir_contents(test_dir_content));
    ASSERT_EQ(test_dir_content.size(), 1);
    ASSERT_EQ(test_dir_content[0], dir_name_list.back());
}

TEST_F(TARNCaseSensitivityTest, CaseInsensitiveDirectoryCreateFail) {
    if (case_sensitive) {
        GTEST_SKIP() << "Skipping case-insensitive directory test on a " << "case-sensitive filesystem";
    }
    std::vector<std::string> dir_name_list = get_case_variations("directory_under_test");
    TARNObjectHandle dir_handle;
    ASSERT_TRUE(create_dir(dir_name_list.back().c_str(), test_root_handle, &dir_handle));

    tarn_attr_update update{};
    update.mask = TARN_SET_MODE;
    update.attr.mode = 0755;
    for (const std::string& variant : dir_name_list) {
        const uint64_t verifier = op_counter.fetch_add(1);
        TARNObjectHandle handle;
        tarn_err err = retry_on_delay([&] {
            return tarn_client_create_dir(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                          variant.c_str(), &update, verifier, handle.Out(), nullptr, nullptr);
        });
        ASSERT_EQ(TARN_ERR_EXIST, err);
    }
}

TEST_F(TARNCaseSensitivityTest, CaseInsensitiveDirectoryRemove) {
    if (case_sensitive) {
        GTEST_SKIP() << "Skipping case-insensitive file test on a " << "case-sensitive filesystem";
    }
    std::vector<std::string> dir_name_list = get_case_variations("directory_under_test");
    TARNObjectHandle file_handle;
    ASSERT_TRUE(create_dir(dir_name_list.back().c_str(), test_root_handle, &file_handle));

    RetriedErr rerr = remove_in_test_dir(dir_name_list[0].c_str());
    ASSERT_TRUE(is_tarn_remove_ok(rerr));
}

TEST_F(TARNCaseSensitivityTest, CaseInsensitiveDirectoryRename) {
    if (case_sensitive) {
        GTEST_SKIP() << "Skipping case-insensitive file test on a " << "case-sensitive filesystem";
    }
    const char* another_name[2] = {"ANOTHER_DIR_NAME", "another_dir_name"};
    std::vector<std::string> dirname_list = get_case_variations("directory_under_test");
    TARNObjectHandle dir_handle;
    ASSERT_TRUE(create_dir(dirname_list[0].c_str(), test_root_handle, &dir_handle));

    RetriedErr rerr = rename_in_test_dir(dirname_list[1].c_str(), dirname_list[2].c_str());
    ASSERT_TRUE(is_tarn_rename_ok(rerr));

    TARNObjectHandle handle;
    tarn_err err = lookup_in_test_dir(dirname_list[3].c_str(), &handle, nullptr);
    ASSERT_EQ(TARN_ERR_OK, err);

    std::vector<std::string> test_dir_content;
    ASSERT_TRUE(get_test_dir_contents(test_dir_content));
    ASSERT_EQ(test_dir_content.size(), 1);
    ASSERT_EQ(test_dir_content[0], dirname_list[2]);

    rerr = rename_in_test_dir(dirname_list[0].c_str(), another_name[0]);
    ASSERT_TRUE(is_tarn_rename_ok(rerr));

    err = lookup_in_test_dir(another_name[1], &handle, nullptr);
    ASSERT_EQ(TARN_ERR_OK, err);

    test_dir_content.clear();
    ASSERT_TRUE(get_test_dir_contents(test_dir_content));
    ASSERT_EQ(test_dir_content.size(), 1);
    ASSERT_EQ(test_dir_content[0], another_name[0]);

    rerr = remove_in_test_dir(another_name[1]);
    ASSERT_TRUE(is_tarn_remove_ok(rerr));
}

TEST_F(TARNCaseSensitivityTest, CaseInsensitiveUTF8) {
    if (case_sensitive) {
        GTEST_SKIP() << "Skipping case-insensitive file test on a " << "case-sensitive filesystem";
    }
    // Named after the fixture's functions so that a failed check reads as
    // the chain that was run.
    const ObjectCreator create_file = [this](const std::string& name, const TARNObjectHandle& parent,
                                             TARNObjectHandle* out) { return this->create_file(name, parent, out); };
    const ObjectCreator create_dir = [this](const std::string& name, const TARNObjectHandle& parent,
                                            TARNObjectHandle* out) { return this->create_dir(name, parent, out); };

    ASSERT_TRUE(execute_fs_object_ops_chain(test_name_ru, another_name_ru, create_file));
    ASSERT_TRUE(execute_fs_object_ops_chain(test_name_tr, another_name_tr, create_file));
    ASSERT_TRUE(execute_fs_object_ops_chain(test_name_ru, another_name_ru, create_dir));
    ASSERT_TRUE(execute_fs_object_ops_chain(test_name_tr, another_name_tr, create_dir));
}

TEST_F(TARNCaseSensitivityTest, CaseInsensitiveLinksFail) {
    if (case_sensitive) {
        GTEST_SKIP() << "Skipping case-insensitive directory test on a " << "case-sensitive filesystem";
    }
    TARNObjectHandle target_file_handle;
    ASSERT_TRUE(create_file("file", test_root_handle, &target_file_handle));

    // Neither link goes onto the clean-up list: a conforming server makes
    // none.
    tarn_err err = retry_on_delay([&] {
        return tarn_client_create_link(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                       "link_under_test", target_file_handle.Data(), target_file_handle.Length(),
                                       nullptr, nullptr);
    });
    ASSERT_EQ(TARN_ERR_NOT_IMPL, err);

    tarn_attr_update update{};
    TARNObjectHandle symlink_handle;
    err = retry_on_delay([&] {
        return tarn_client_create_symlink(&tarn_ctx, test_root_handle.Data(), test_root_handle.Length(),
                                          "link_under_test", "content", &update, symlink_handle.Out(), nullptr,
                                          nullptr);
    });
    ASSERT_EQ(TARN_ERR_NOT_IMPL, err);
}

// Extended attributes, on a regular file and on a directory alike: values of
// various sizes and contents, every name space, the three set modes, reads
// into buffers too small or without storage, listing, removal and the limits
// on value size and attribute count.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client/tarn_client.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

namespace {

const std::string TEST_FILE_NAME = "file";
const std::string TEST_DIR_NAME = "dir";

}  // namespace

struct TARNExtendedAttributesTestParams {
    uint32_t obj_type;
};

void PrintTo(const TARNExtendedAttributesTestParams& p, std::ostream* os) { *os << "obj_type " << p.obj_type; }

class TARNExtendedAttributesTest : public TARNTestBase,
                                   public testing::WithParamInterface<TARNExtendedAttributesTestParams> {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNTestBase::SetUp());
        ASSERT_TRUE(create_temp_dir(&test_root_handle));
        if (GetParam().obj_type == TARN_FILE_TYPE_REGULAR)
            ASSERT_TRUE(create_file(TEST_FILE_NAME, test_root_handle, &test_obj_handle));
        else
            ASSERT_TRUE(create_dir(TEST_DIR_NAME, test_root_handle, &test_obj_handle));
    }

    static bool list_xattrs_callback(const char* name, void* arg) {
        static_cast<std::vector<std::string>*>(arg)->emplace_back(name);
        return true;
    }

    tarn_err set(const char* name, const void* value, uint64_t size, uint32_t mode) {
        return retry_on_delay([&] {
            return tarn_client_set_xattr(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(), name, value,
                                         size, mode);
        });
    }

    tarn_err get(const char* name, tarn_opaque_buf* buf, uint64_t* size_hint = nullptr) {
        return retry_on_delay([&] {
            buf->size = 0;
            return tarn_client_get_xattr(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(), name, buf,
                                         size_hint);
        });
    }

    // Each attempt starts from the names gathered before the listing.
    tarn_err list(std::vector<std::string>* names) {
        const size_t start = names->size();
        return retry_on_delay([&] {
            names->resize(start);
            return tarn_client_list_xattrs(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(),
                                           list_xattrs_callback, names);
        });
    }

    tarn_err remove(const char* name) {
        return retry_on_delay([&] {
            return tarn_client_remove_xattr(&tarn_ctx, test_obj_handle.Data(), test_obj_handle.Length(), name);
        });
    }

    // The four steps of a plain set and read back of "testvalue".
    void set_get_text(const char* name) {
        const char* value = "testvalue";
        tarn_err err = set(name, value, strlen(value), TARN_SET_XATTR_CREATE);
        ASSERT_EQ(TARN_ERR_OK, err) << name;
        TARNBuffer value_returned(256);
        err = get(name, &value_returned.desc);
        ASSERT_EQ(TARN_ERR_OK, err) << name;
        ASSERT_EQ(strlen(value), value_returned.Size()) << name;
        ASSERT_STREQ(value, value_returned.AsCString()) << name;
    }

    static TARNBuffer random_value(size_t size) {
        TARNBuffer value(size);
        TARNTestBase::fill_with_random_letters(reinterpret_cast<char*>(value.Data()),
                                               reinterpret_cast<char*>(value.Data()) + size);
        value.desc.size = size;
        return value;
    }

    TARNObjectHandle test_root_handle;
    TARNObjectHandle test_obj_handle;
};

const TARNExtendedAttributesTestParams k_xattr_objects[] = {
    {TARN_FILE_TYPE_REGULAR},
    {TARN_FILE_TYPE_DIRECTORY},
};

INSTANTIATE_TEST_SUITE_P(TARNExtendedAttributesTest, TARNExtendedAttributesTest, testing::ValuesIn(k_xattr_objects));

TEST_P(TARNExtendedAttributesTest, BasicSetGet) { set_get_text("user.testattr"); }

TEST_P(TARNExtendedAttributesTest, Namespaces) {
    for (const char* name : {"user.testattr", "system.testattr", "trusted.testattr", "security.testattr",
                             "system.posix_acl_access", "system.posix_acl_default", "system.richacl"})
        ASSERT_NO_FATAL_FAILURE(set_get_text(name));
}

TEST_P(TARNExtendedAttributesTest, SetGetLargeValue) {
    const size_t value_size = 3840;
    TARNBuffer value = random_value(value_size);
    tarn_err err = set("user.testattr", value.Data(), value_size, TARN_SET_XATTR_CREATE);
    ASSERT_EQ(TARN_ERR_OK, err);
    TARNBuffer value_returned(value_size);
    err = get("user.testattr", &value_returned.desc);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(value_size, value_returned.Size());
    ASSERT_EQ(0, memcmp(value.Data(), value_returned.Data(), value_size));
}

TEST_P(TARNExtendedAttributesTest, GetToBufferOfExactSize) {
    TARNBuffer value = random_value(13);
    tarn_err err = set("user.testattr", value.Data(), value.Size(), TARN_SET_XATTR_CREATE);
    ASSERT_EQ(TARN_ERR_OK, err);
    TARNBuffer value_returned(13);
    err = get("user.testattr", &value_returned.desc);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(value.Size(), value_returned.Size());
    ASSERT_EQ(0, memcmp(value.Data(), value_returned.Data(), value.Size()));
}

TEST_P(TARNExtendedAttributesTest, SetGetBinaryValue) {
    const uint8_t value[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    tarn_err err = set("user.testattr", value, sizeof(value), TARN_SET_XATTR_CREATE);
    ASSERT_EQ(TARN_ERR_OK, err);
    TARNBuffer value_returned(256);
    err = get("user.testattr", &value_returned.desc);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(sizeof(value), value_returned.Size());
    ASSERT_EQ(0, memcmp(value, value_returned.Data(), sizeof(value)));
}

TEST_P(TARNExtendedAttributesTest, SetModes) {
    const char* value = "testvalue";
    const size_t len = strlen(value);
    // name, mode, expected answer: creates, creates, nothing to replace,
    // replaces, exists, replaces.
    const struct {
        const char* name;
        uint32_t mode;
        tarn_err expected;
    } steps[] = {
        {"user.testattr1", TARN_SET_XATTR_ANY, TARN_ERR_OK},
        {"user.testattr2", TARN_SET_XATTR_CREATE, TARN_ERR_OK},
        {"user.testattr3", TARN_SET_XATTR_REPLACE, TARN_ERR_NOT_FOUND},
        {"user.testattr1", TARN_SET_XATTR_ANY, TARN_ERR_OK},
        {"user.testattr2", TARN_SET_XATTR_CREATE, TARN_ERR_EXIST},
        {"user.testattr1", TARN_SET_XATTR_REPLACE, TARN_ERR_OK},
    };
    for (const auto& s : steps) {
        tarn_err err = set(s.name, value, len, s.mode);
        ASSERT_EQ(s.expected, err) << s.name << " mode " << s.mode;
    }
}

TEST_P(TARNExtendedAttributesTest, GetCornerCases) {
    TARNBuffer missing(256);
    tarn_err err = get("user.non-existent", &missing.desc);
    ASSERT_EQ(TARN_ERR_NOT_FOUND, err);

    TARNBuffer value = random_value(128);
    err = set("user.testattr", value.Data(), value.Size(), TARN_SET_XATTR_ANY);
    ASSERT_EQ(TARN_ERR_OK, err);

    TARNBuffer small(1);
    err = get("user.testattr", &small.desc);
    ASSERT_EQ(TARN_ERR_BUFFER_TOO_SMALL, err);

    uint64_t size_hint = 0;
    err = get("user.testattr", &small.desc, &size_hint);
    ASSERT_EQ(TARN_ERR_BUFFER_TOO_SMALL, err);
    ASSERT_EQ(value.Size(), size_hint);

    size_hint = 0;
    tarn_opaque_buf empty_buffer{nullptr, 0, 0};
    err = get("user.testattr", &empty_buffer, &size_hint);
    ASSERT_EQ(TARN_ERR_BUFFER_TOO_SMALL, err);
    ASSERT_EQ(value.Size(), size_hint);
}

TEST_P(TARNExtendedAttributesTest, EmptyAttributeValue) {
    tarn_err err = set("user.testattr", "", 0, TARN_SET_XATTR_CREATE);
    ASSERT_EQ(TARN_ERR_OK, err);
    TARNBuffer value_returned(16);
    err = get("user.testattr", &value_returned.desc);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(0u, value_returned.Size());

    tarn_opaque_buf empty_buffer{nullptr, 0, 0};
    err = get("user.testattr", &empty_buffer);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(0u, empty_buffer.size);
}

TEST_P(TARNExtendedAttributesTest, SetCornerCases) {
    for (size_t size : {65536u, 98304u, 131072u}) {
        TARNBuffer value = random_value(size);
        tarn_err err = set("user.testattr", value.Data(), size, TARN_SET_XATTR_ANY);
        // "Value too large" or "Not enough space"; nothing else.
        if (err != TARN_ERR_TOO_BIG) {
            ASSERT_EQ(TARN_ERR_NO_SPACE, err) << size << " bytes";
        }
    }
}

TEST_P(TARNExtendedAttributesTest, List) {
    std::vector<std::string> names_returned;
    tarn_err err = list(&names_returned);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(0u, names_returned.size());

    const char* attr_names[] = {"user.testattr1", "user.testattr2", "user.testattr3"};
    for (const char* name : attr_names) {
        err = set(name, "testvalue", 9, TARN_SET_XATTR_CREATE);
        ASSERT_EQ(TARN_ERR_OK, err) << name;
    }

    names_returned.clear();
    err = list(&names_returned);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(sizeof(attr_names) / sizeof(*attr_names), names_returned.size());
    std::sort(names_returned.begin(), names_returned.end());
    for (size_t i = 0; i < names_returned.size(); i++) ASSERT_STREQ(attr_names[i], names_returned[i].c_str());
}

TEST_P(TARNExtendedAttributesTest, CreateAttributesUntilNoSpaceLeft) {
    for (int i = 0; i < 100000; i++) {
        char name[64];
        snprintf(name, sizeof(name), "%s_%d", "user.testattr", i);
        tarn_err err = set(name, "testvalue", 9, TARN_SET_XATTR_CREATE);
        if (err == TARN_ERR_NO_SPACE) return;
        ASSERT_EQ(TARN_ERR_OK, err) << name;
    }
}

TEST_P(TARNExtendedAttributesTest, ListALotOfAttributes) {
    const size_t num_attrs = 64;
    for (size_t i = 0; i < num_attrs; i++) {
        char name[32];
        snprintf(name, sizeof(name), "%s%zu", "user.testattr", i);
        tarn_err err = set(name, "testvalue", 9, TARN_SET_XATTR_CREATE);
        ASSERT_EQ(TARN_ERR_OK, err) << name;
    }
    std::vector<std::string> names_returned;
    tarn_err err = list(&names_returned);
    ASSERT_EQ(TARN_ERR_OK, err);
    ASSERT_EQ(num_attrs, names_returned.size());
}

TEST_P(TARNExtendedAttributesTest, Remove) {
    tarn_err err = set("user.testattr", "testvalue", 9, TARN_SET_XATTR_CREATE);
    ASSERT_EQ(TARN_ERR_OK, err);
    err = remove("user.non-existent");
    ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
    err = remove("user.testattr");
    ASSERT_EQ(TARN_ERR_OK, err);
    TARNBuffer value_returned(256);
    err = get("user.testattr", &value_returned.desc);
    ASSERT_EQ(TARN_ERR_NOT_FOUND, err);
}

// Extended attributes in both places that keep them: the plain attribute
// set the metadata server holds per object, and the data server disk's
// regular-file attributes, whose results map to DS status numbers.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "client/tarn_wire.h"
#include "localcluster/common/xattrs.h"
#include "localcluster/ds/ds_disk.h"
#include "localcluster/ds/pool.h"

namespace {

enum Role { kMetadataSet, kDataDisk };

// The DS result read back as the neutral result it must stand for, so one
// table of expectations serves both roles; a wrong mapping shows as a
// mismatch.
lc_xattr_result neutral(lc_ds_result r) {
    switch (r) {
        case LC_DS_OK: return LC_XATTR_OK;
        case LC_DS_EXISTS: return LC_XATTR_EXISTS;
        case LC_DS_NOT_FOUND: return LC_XATTR_NOT_FOUND;
        case LC_DS_INVALID: return LC_XATTR_INVALID;
        case LC_DS_TOO_BIG: return LC_XATTR_TOO_BIG;
        case LC_DS_NO_SPACE: return LC_XATTR_NO_SPACE;
        case LC_DS_BUFFER_SMALL: return LC_XATTR_BUFFER_SMALL;
        default: ADD_FAILURE() << "unexpected DS result " << int(r); return LC_XATTR_INVALID;
    }
}

class XattrRolesTest : public testing::TestWithParam<Role> {
   protected:
    void SetUp() override {
        lc_pool_init(&pool_, 1024, 2, 0);
        disk_ = lc_ds_disk_create(&pool_, 2, true);
        ASSERT_EQ(LC_DS_OK, lc_ds_disk_create_object(disk_, kFile, 1, nullptr, 0, 0, nullptr));
    }
    void TearDown() override { lc_ds_disk_destroy(disk_); }

    lc_xattr_result set(const std::string& name, const std::string& value, uint32_t mode = LC_XATTR_SET_ANY) {
        if (GetParam() == kMetadataSet) return lc_xattrs_set(&set_, name, value.data(), value.size(), mode);
        return neutral(lc_ds_disk_xattr_set(disk_, kFile, 1, name, value.data(), value.size(), mode));
    }

    lc_xattr_result get(const std::string& name, size_t capacity, std::string* value, size_t* vlen) {
        std::vector<char> buf(capacity);
        lc_xattr_result r;
        if (GetParam() == kMetadataSet)
            r = lc_xattrs_get(&set_, name, capacity ? buf.data() : nullptr, capacity, vlen);
        else
            r = neutral(lc_ds_disk_xattr_get(disk_, kFile, 1, name, capacity ? buf.data() : nullptr, capacity, vlen));
        if (value) value->assign(buf.data(), r == LC_XATTR_OK ? *vlen : 0);
        return r;
    }

    lc_xattr_result list(size_t capacity, std::vector<std::string>* names, size_t* needed) {
        std::vector<char> buf(capacity);
        lc_xattr_result r;
        if (GetParam() == kMetadataSet)
            r = lc_xattrs_list(&set_, buf.data(), capacity, needed);
        else
            r = neutral(lc_ds_disk_xattr_list(disk_, kFile, 1, buf.data(), capacity, needed));
        names->clear();
        if (r == LC_XATTR_OK)
            for (size_t at = 0; at < *needed; at += names->back().size() + 1) names->emplace_back(buf.data() + at);
        return r;
    }

    lc_xattr_result remove(const std::string& name) {
        if (GetParam() == kMetadataSet) return lc_xattrs_remove(&set_, name);
        return neutral(lc_ds_disk_xattr_remove(disk_, kFile, 1, name));
    }

    static constexpr uint64_t kFile = 40;
    lc_xattrs set_;
    lc_pool pool_;
    lc_ds_disk* disk_ = nullptr;
};

TEST_P(XattrRolesTest, ValueSizes) {
    std::string v;
    size_t vlen = 0;
    EXPECT_EQ(LC_XATTR_OK, set("user.empty", ""));
    EXPECT_EQ(LC_XATTR_OK, get("user.empty", 16, &v, &vlen));
    EXPECT_EQ(0u, vlen);

    std::string mid(3840, 'm');
    mid[7] = '\0';  // values are binary
    EXPECT_EQ(LC_XATTR_OK, set("user.testattr", mid, LC_XATTR_SET_CREATE));
    EXPECT_EQ(LC_XATTR_OK, get("user.testattr", 3840, &v, &vlen));
    EXPECT_EQ(mid, v);

    // 65535 is a legal length, but with any name it passes the quota.
    EXPECT_EQ(LC_XATTR_NO_SPACE, set("u", std::string(65535, 'x')));
    EXPECT_EQ(LC_XATTR_TOO_BIG, set("u", std::string(65536, 'x')));
    EXPECT_EQ(LC_XATTR_TOO_BIG, set("u", std::string(131072, 'x')));
    // Nothing of the refused sets was kept.
    std::vector<std::string> names;
    size_t needed = 0;
    EXPECT_EQ(LC_XATTR_OK, list(4096, &names, &needed));
    EXPECT_EQ((std::vector<std::string>{"user.empty", "user.testattr"}), names);
}

TEST_P(XattrRolesTest, QuotaIsExactAndReplacementCountsTheNewSize) {
    // Filling the quota to the byte with one attribute.
    std::string name = "user.big";
    std::string exact(LC_XATTR_QUOTA - name.size() - 1, 'q');
    EXPECT_EQ(LC_XATTR_OK, set(name, exact));
    EXPECT_EQ(LC_XATTR_NO_SPACE, set("a", ""));  // 2 more bytes
    // Replacing it with one byte more than it had does not fit; the same size does.
    EXPECT_EQ(LC_XATTR_NO_SPACE, set(name, exact + "+"));
    EXPECT_EQ(LC_XATTR_OK, set(name, std::string(exact.size(), 'r'), LC_XATTR_SET_REPLACE));
    // Shrinking it makes room, exactly.
    EXPECT_EQ(LC_XATTR_OK, set(name, std::string(exact.size() - 2, 's')));
    EXPECT_EQ(LC_XATTR_OK, set("a", ""));
    EXPECT_EQ(LC_XATTR_NO_SPACE, set("b", ""));
    EXPECT_EQ(LC_XATTR_OK, remove(name));
    EXPECT_EQ(LC_XATTR_OK, set("b", ""));
}

TEST_P(XattrRolesTest, ManyShortAttributesUntilNoSpace) {
    int made = 0;
    char name[64];
    for (int i = 0; i < 100000; i++) {
        snprintf(name, sizeof name, "user.testattr_%d", i);
        lc_xattr_result r = set(name, "testvalue", LC_XATTR_SET_CREATE);
        if (r == LC_XATTR_NO_SPACE) break;
        ASSERT_EQ(LC_XATTR_OK, r) << name;
        made++;
    }
    // About 2,000 short attributes fit (each costs about 30 bytes).
    EXPECT_GT(made, 1500);
    EXPECT_LT(made, 3000);
    std::vector<std::string> names;
    size_t needed = 0;
    EXPECT_EQ(LC_XATTR_OK, list(1 << 20, &names, &needed));
    EXPECT_EQ(size_t(made), names.size());
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
}

TEST_P(XattrRolesTest, NamesAndModes) {
    EXPECT_EQ(LC_XATTR_INVALID, set("", "v"));
    EXPECT_EQ(LC_XATTR_OK, set(std::string(255, 'n'), "v"));
    EXPECT_EQ(LC_XATTR_TOO_BIG, set(std::string(256, 'n'), "v"));
    for (const char* ns : {"user.a", "system.a", "trusted.a", "security.a", "system.posix_acl_access",
                           "system.posix_acl_default", "system.richacl", "noprefix"})
        EXPECT_EQ(LC_XATTR_OK, set(ns, "testvalue", LC_XATTR_SET_CREATE)) << ns;

    EXPECT_EQ(LC_XATTR_OK, set("user.testattr1", "one", LC_XATTR_SET_ANY));
    EXPECT_EQ(LC_XATTR_NOT_FOUND, set("user.testattr3", "x", LC_XATTR_SET_REPLACE));
    EXPECT_EQ(LC_XATTR_OK, set("user.testattr1", "two", LC_XATTR_SET_ANY));
    EXPECT_EQ(LC_XATTR_EXISTS, set("user.testattr1", "three", LC_XATTR_SET_CREATE));
    EXPECT_EQ(LC_XATTR_OK, set("user.testattr1", "four", LC_XATTR_SET_REPLACE));
    EXPECT_EQ(LC_XATTR_INVALID, set("user.testattr1", "five", 3));
    std::string v;
    size_t vlen = 0;
    EXPECT_EQ(LC_XATTR_OK, get("user.testattr1", 256, &v, &vlen));
    EXPECT_EQ("four", v);
    EXPECT_EQ(LC_XATTR_NOT_FOUND, get("user.testattr3", 256, &v, &vlen));
    EXPECT_EQ(LC_XATTR_INVALID, get("", 256, &v, &vlen));
}

TEST_P(XattrRolesTest, GetSizing) {
    std::string value(128, 'g');
    ASSERT_EQ(LC_XATTR_OK, set("user.testattr", value));
    std::string v;
    for (size_t cap : {size_t(0), size_t(1), size_t(127)}) {
        size_t vlen = 0;
        EXPECT_EQ(LC_XATTR_BUFFER_SMALL, get("user.testattr", cap, &v, &vlen)) << cap;
        EXPECT_EQ(128u, vlen) << cap;  // the size hint
    }
    for (size_t cap : {size_t(128), size_t(4096)}) {
        size_t vlen = 0;
        EXPECT_EQ(LC_XATTR_OK, get("user.testattr", cap, &v, &vlen)) << cap;
        EXPECT_EQ(value, v);
    }
    ASSERT_EQ(LC_XATTR_OK, set("user.empty", ""));
    size_t vlen = 99;
    EXPECT_EQ(LC_XATTR_OK, get("user.empty", 0, &v, &vlen));  // fits a buffer with no storage
    EXPECT_EQ(0u, vlen);
    vlen = 99;
    EXPECT_EQ(LC_XATTR_NOT_FOUND, get("user.absent", 0, &v, &vlen));
    EXPECT_EQ(0u, vlen);
}

TEST_P(XattrRolesTest, ListIsSortedAndOverflows) {
    std::vector<std::string> names;
    size_t needed = 99;
    EXPECT_EQ(LC_XATTR_OK, list(0, &names, &needed));
    EXPECT_EQ(0u, needed);
    EXPECT_TRUE(names.empty());
    for (const char* n : {"user.testattr3", "user.testattr1", "system.z", "user.testattr2"})
        ASSERT_EQ(LC_XATTR_OK, set(n, "testvalue", LC_XATTR_SET_CREATE));
    size_t exact = std::string("system.z").size() + 3 * std::string("user.testattr1").size() + 4;
    EXPECT_EQ(LC_XATTR_BUFFER_SMALL, list(exact - 1, &names, &needed));
    EXPECT_EQ(exact, needed);
    EXPECT_EQ(LC_XATTR_OK, list(exact, &names, &needed));
    EXPECT_EQ((std::vector<std::string>{"system.z", "user.testattr1", "user.testattr2", "user.testattr3"}), names);
    EXPECT_EQ(LC_XATTR_OK, list(exact + 100, &names, &needed));
    EXPECT_EQ(4u, names.size());
}

TEST_P(XattrRolesTest, Remove) {
    ASSERT_EQ(LC_XATTR_OK, set("user.testattr", "testvalue", LC_XATTR_SET_CREATE));
    EXPECT_EQ(LC_XATTR_NOT_FOUND, remove("user.non-existent"));
    EXPECT_EQ(LC_XATTR_OK, remove("user.testattr"));
    EXPECT_EQ(LC_XATTR_NOT_FOUND, remove("user.testattr"));
    std::string v;
    size_t vlen;
    EXPECT_EQ(LC_XATTR_NOT_FOUND, get("user.testattr", 256, &v, &vlen));
    EXPECT_EQ(LC_XATTR_OK, set("user.testattr", "back", LC_XATTR_SET_CREATE));
}

INSTANTIATE_TEST_SUITE_P(BothStores, XattrRolesTest, testing::Values(kMetadataSet, kDataDisk),
                         [](const testing::TestParamInfo<Role>& i) {
                             return std::string(i.param == kMetadataSet ? "MetadataSet" : "DataDisk");
                         });

// ---------------------------------------------------------------- data server only

class DsXattrsTest : public testing::Test {
   protected:
    void SetUp() override { lc_pool_init(&pool_, 1024, 2, 0); }
    lc_pool pool_;
};

TEST_F(DsXattrsTest, StatusNumbersOfTheXattrFamily) {
    EXPECT_EQ(TARN_DS_NO_SPACE, lc_ds_status(lc_ds_result_from_xattr(LC_XATTR_NO_SPACE)));
    EXPECT_EQ(TARN_DS_TOO_BIG, lc_ds_status(lc_ds_result_from_xattr(LC_XATTR_TOO_BIG)));
    EXPECT_EQ(TARN_DS_BUFFER_TOO_SMALL, lc_ds_status(lc_ds_result_from_xattr(LC_XATTR_BUFFER_SMALL)));
    EXPECT_EQ(TARN_DS_EXISTS, lc_ds_status(lc_ds_result_from_xattr(LC_XATTR_EXISTS)));
    EXPECT_EQ(TARN_DS_NOT_FOUND, lc_ds_status(lc_ds_result_from_xattr(LC_XATTR_NOT_FOUND)));
    EXPECT_EQ(TARN_DS_INVAL, lc_ds_status(lc_ds_result_from_xattr(LC_XATTR_INVALID)));
    EXPECT_EQ(TARN_DS_OK, lc_ds_status(lc_ds_result_from_xattr(LC_XATTR_OK)));
}

TEST_F(DsXattrsTest, AttributesDieWithTheirObject) {
    lc_ds_disk* d = lc_ds_disk_create(&pool_, 1, true);
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_create_object(d, 2, 0, nullptr, 0, 0, nullptr));
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_xattr_set(d, 2, 0, "user.a", "1", 1, LC_XATTR_SET_CREATE));
    lc_ds_attrs before;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_get_attrs(d, 2, 0, &before));
    EXPECT_EQ(0u, lc_ds_disk_dirty_count(d));  // xattrs are not attributes: nothing to replicate
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_delete_object(d, 2));
    size_t vlen, needed;
    char buf[16];
    EXPECT_EQ(LC_DS_NOT_FOUND, lc_ds_disk_xattr_get(d, 2, 0, "user.a", buf, sizeof buf, &vlen));
    EXPECT_EQ(LC_DS_NOT_FOUND, lc_ds_disk_xattr_set(d, 2, 0, "user.a", "1", 1, LC_XATTR_SET_ANY));
    // A new object starts with none.
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_create_object(d, 3, 0, nullptr, 0, 0, nullptr));
    EXPECT_EQ(LC_DS_OK, lc_ds_disk_xattr_list(d, 3, 0, buf, sizeof buf, &needed));
    EXPECT_EQ(0u, needed);
    // The wrong vdisk does not find the object.
    EXPECT_EQ(LC_DS_NOT_FOUND, lc_ds_disk_xattr_list(d, 3, 1, buf, sizeof buf, &needed));
    lc_ds_disk_destroy(d);
}

TEST_F(DsXattrsTest, RefusedWhenTheFileSystemKeepsThemOnTheMetadataServer) {
    lc_ds_disk* d = lc_ds_disk_create(&pool_, 1, false);
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_create_object(d, 2, 0, nullptr, 0, 0, nullptr));
    size_t needed;
    char buf[16];
    EXPECT_EQ(LC_DS_INVALID, lc_ds_disk_xattr_set(d, 2, 0, "user.a", "1", 1, LC_XATTR_SET_ANY));
    EXPECT_EQ(LC_DS_INVALID, lc_ds_disk_xattr_list(d, 2, 0, buf, sizeof buf, &needed));
    lc_ds_disk_destroy(d);
}

TEST(XattrSetTest, ClearReleasesEverything) {
    lc_xattrs x;
    ASSERT_EQ(LC_XATTR_OK, lc_xattrs_set(&x, "user.a", "12345", 5, LC_XATTR_SET_ANY));
    EXPECT_EQ(1u, lc_xattrs_count(&x));
    EXPECT_EQ(7u, lc_xattrs_list_size(&x));
    lc_xattrs_clear(&x);
    EXPECT_EQ(0u, lc_xattrs_count(&x));
    EXPECT_EQ(0u, x.used);
    EXPECT_EQ(0u, x.items.capacity());
}

}  // namespace

// The MDS client operations end to end against the simulated cluster's MDS,
// started in-process: resolver over the cluster's registry, pooled
// connections, the call engine, and the operations' requests and replies as
// the real server reads and writes them.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/tarn_client_conv.h"
#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_mds_client.h"
#include "client/tarn_mds_client_ops.h"
#include "client/tarn_mds_resolver.h"
#include "client/tarn_wire.h"
#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "localcluster/cluster.h"
#include "client_test_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr uint64_t kFsId = 0x1001;
constexpr const char* kFsName = "tarn";
constexpr uint64_t kClientId = 0x0dd5ca1ab1e00001ull;
constexpr uint32_t kRetryMs = 10000;

int epoch_one(void*, uint32_t* epoch) {
    *epoch = 1;
    return 0;
}

std::string unique_name(const char* prefix) {
    static std::atomic<int> n{0};
    return std::string(prefix) + "_" + std::to_string(getpid()) + "_" + std::to_string(n++);
}

bool present(const uint8_t* block) { return (block[0] & 1) != 0; }

struct Entry {
    std::string name;
    tarn_mds_handle handle;
    uint16_t type;
    uint64_t cookie;
};

bool collect_entry(const char* name, const tarn_mds_handle* h, const uint8_t* attrs, uint64_t cookie, void* arg) {
    static_cast<std::vector<Entry>*>(arg)->push_back(Entry{name, *h, tarn_wire_get_u16(attrs, 0), cookie});
    return true;
}

bool collect_name(const char* name, void* arg) {
    static_cast<std::vector<std::string>*>(arg)->push_back(name);
    return true;
}

class MdsOpsNetTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { cluster_ = clienttest::start_cluster({{kFsName, kFsId}}); }
    static void TearDownTestSuite() { clienttest::stop_cluster(cluster_); }

    void SetUp() override {
        ASSERT_NE(cluster_, nullptr);
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ASSERT_EQ(discov_create("local", nullptr, DISCOV_MODE_READ_ONLY, &process_, &discovery_), 0);
        ASSERT_EQ(mds_resolver_create(discovery_, &process_, &resolver_), 0);
        ASSERT_EQ(tarn_conn_factory_create(kClientId, &process_, &factory_), 0);
        ASSERT_EQ(tarn_conn_pool_create(1, factory_, tarn_conn_create, &pool_), 0);
        ASSERT_EQ(mds_client_create(kFsName, pool_, kClientId, epoch_one, nullptr, resolver_, &process_, &client_),
                  0);
        tarn_credentials creds{};
        tarn2mds_credentials(&creds, creds_);
        opts_ = mds_call_opts{kRetryMs, nullptr, creds_};
        ASSERT_EQ(mds_client_noop(client_, &opts_), 0);
    }

    void TearDown() override {
        mds_client_destroy(client_);
        if (pool_) tarn_conn_pool_destroy(pool_);
        if (factory_) tarn_conn_factory_destroy(factory_);
        if (resolver_) mds_resolver_destroy(resolver_);
        if (discovery_) discov_destroy(discovery_);
        clienttest::stop_process(&process_);
    }

    static Bytes update_mode(uint32_t mode) {
        tarn_attr_update u{};
        u.mask = TARN_SET_MODE;
        u.attr.mode = mode;
        Bytes block(TARN_MDS_UPDATE_BYTES);
        tarn2mds_attr_update(&u, block.data());
        return block;
    }

    bool root(tarn_mds_handle* out) {
        const tarn_mds_handle none{};
        const int rc = mds_client_lookup(client_, &none, "/", out, nullptr, nullptr, &opts_);
        EXPECT_EQ(rc, 0);
        return rc == 0;
    }

    // A fresh directory under the root for one test.
    bool test_dir(tarn_mds_handle* out) {
        tarn_mds_handle r;
        if (!root(&r)) return false;
        const Bytes mode = update_mode(0755);
        const int rc = mds_client_mkdir(client_, &r, unique_name("mdsops").c_str(), mode.data(), 1, out, nullptr,
                                        nullptr, &opts_);
        EXPECT_EQ(rc, 0);
        return rc == 0;
    }

    int create(const tarn_mds_handle* dir, const char* name, uint64_t verifier, tarn_mds_handle* out,
               uint8_t* created = nullptr, uint8_t* wcc = nullptr, uint8_t* attrs = nullptr) {
        const Bytes mode = update_mode(0644);
        return mds_client_create_file(client_, dir, name, 2, mode.data(), verifier, out, attrs, created, wcc, &opts_);
    }

    static localcluster::Cluster* cluster_;
    kiv_process process_{};
    discov* discovery_ = nullptr;
    mds_resolver* resolver_ = nullptr;
    tarn_conn_factory* factory_ = nullptr;
    tarn_conn_pool* pool_ = nullptr;
    mds_client* client_ = nullptr;
    uint8_t creds_[TARN_WIRE_CREDS_BYTES] = {};
    mds_call_opts opts_{};
};

localcluster::Cluster* MdsOpsNetTest::cluster_ = nullptr;

// ---------------------------------------------------------------- requests
TEST_F(MdsOpsNetTest, TestHookIsAcceptedWithItsChecksum) {
    // The server checks the checksum first (a mismatch answers "Invalid
    // argument") and answers "Not implemented" for commands it has none for.
    EXPECT_EQ(mds_client_test(client_, 1, false, &opts_), -ENOSYS);
    EXPECT_EQ(mds_client_test(client_, 0x7fffffff, true, &opts_), -ENOSYS);
}

TEST_F(MdsOpsNetTest, ArgumentsRefusedLocallyAreReturnedByTheOperations) {
    const tarn_mds_handle none{};
    tarn_mds_handle out;
    EXPECT_EQ(mds_client_remove(client_, &none, std::string(256, 'x').c_str(), nullptr, &opts_), -EINVAL);
    EXPECT_EQ(mds_client_set_xattr(client_, &none, std::string(256, 'x').c_str(), "v", 1, 0, &opts_), -E2BIG);
    EXPECT_EQ(mds_client_lookup(client_, &none, nullptr, &out, nullptr, nullptr, &opts_), -EINVAL);
}

// ---------------------------------------------------------------- namespace
TEST_F(MdsOpsNetTest, LookupOfTheRoot) {
    const tarn_mds_handle none{};
    tarn_mds_handle root{};
    Bytes attrs(112), post(72, 0xff);
    const int rc = mds_client_lookup(client_, &none, "/", &root, attrs.data(), post.data(), &opts_);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(root.file_id, 1u);
    EXPECT_EQ(root.type, 2);
    EXPECT_GE(root.len, 10);
    EXPECT_LE(root.len, 28);
    EXPECT_EQ(tarn_wire_get_u16(attrs.data(), 0), 2);
    EXPECT_TRUE(present(post.data()));
}

TEST_F(MdsOpsNetTest, CreateLookupAttributesAndRemove) {
    tarn_mds_handle dir;
    ASSERT_TRUE(test_dir(&dir));

    tarn_mds_handle file{}, again{}, found{};
    uint8_t created = 0;
    Bytes wcc(120, 0xff), attrs(112);
    ASSERT_EQ(create(&dir, "f1", 7, &file, &created, wcc.data(), attrs.data()), 0);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(file.type, 1);
    EXPECT_TRUE(present(wcc.data()));
    EXPECT_TRUE(present(wcc.data() + 48));
    EXPECT_EQ(tarn_wire_get_u16(attrs.data(), 0), 1);
    EXPECT_EQ(tarn_wire_get_u32(attrs.data(), 16), 0644u);

    // The same verifier again is the same create; another one collides.
    created = 0;
    ASSERT_EQ(create(&dir, "f1", 7, &again, &created), 0);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(memcmp(&again, &file, sizeof file), 0);
    EXPECT_EQ(create(&dir, "f1", 8, &again), -EEXIST);

    ASSERT_EQ(mds_client_lookup(client_, &dir, "f1", &found, nullptr, nullptr, &opts_), 0);
    EXPECT_EQ(memcmp(&found, &file, sizeof file), 0);

    Bytes got(112);
    ASSERT_EQ(mds_client_get_attrs(client_, &file, got.data(), &opts_), 0);
    EXPECT_EQ(tarn_wire_get_u64(got.data(), 8), file.file_id);

    const Bytes mode = update_mode(0600);
    Bytes set_wcc(120, 0xff);
    ASSERT_EQ(mds_client_set_attrs(client_, &file, mode.data(), nullptr, set_wcc.data(), &opts_), 0);
    EXPECT_TRUE(present(set_wcc.data() + 48));
    ASSERT_EQ(mds_client_get_attrs(client_, &file, got.data(), &opts_), 0);
    EXPECT_EQ(tarn_wire_get_u32(got.data(), 16), 0600u);

    Bytes rm_wcc(120, 0xff);
    ASSERT_EQ(mds_client_remove(client_, &dir, "f1", rm_wcc.data(), &opts_), 0);
    EXPECT_TRUE(present(rm_wcc.data()));
    // Errors about an existing directory still carry its data.
    rm_wcc.assign(120, 0xff);
    EXPECT_EQ(mds_client_remove(client_, &dir, "f1", rm_wcc.data(), &opts_), -ENOENT);
    EXPECT_TRUE(present(rm_wcc.data() + 48));
    Bytes post(72, 0xff);
    EXPECT_EQ(mds_client_lookup(client_, &dir, "f1", &found, nullptr, post.data(), &opts_), -ENOENT);
    EXPECT_TRUE(present(post.data()));
}

TEST_F(MdsOpsNetTest, ReaddirListsEntriesAndResumesAfterACookie) {
    tarn_mds_handle dir;
    ASSERT_TRUE(test_dir(&dir));
    tarn_mds_handle h;
    for (const char* name : {"a", "b", "c"}) ASSERT_EQ(create(&dir, name, 1, &h), 0);
    const Bytes mode = update_mode(0755);
    ASSERT_EQ(mds_client_mkdir(client_, &dir, "sub", mode.data(), 2, &h, nullptr, nullptr, &opts_), 0);

    std::vector<Entry> entries;
    uint8_t eof = 0;
    Bytes post(72, 0xff);
    int rc = mds_client_readdir(client_, &dir, 0, collect_entry, &entries, &eof, post.data(), &opts_);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(eof, 1);
    EXPECT_TRUE(present(post.data()));
    ASSERT_EQ(entries.size(), 4u);
    std::vector<std::string> names;
    for (const Entry& e : entries) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c", "sub"}));
    EXPECT_EQ(entries[3].type, 2);
    EXPECT_EQ(memcmp(&entries[3].handle, &h, sizeof h), 0);

    std::vector<Entry> rest;
    ASSERT_EQ(mds_client_readdir(client_, &dir, entries[1].cookie, collect_entry, &rest, &eof, nullptr, &opts_), 0);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].name, "c");
    EXPECT_EQ(rest[1].name, "sub");
}

TEST_F(MdsOpsNetTest, SymlinkAndReadlink) {
    tarn_mds_handle dir;
    ASSERT_TRUE(test_dir(&dir));
    tarn_mds_handle link{};
    Bytes attrs(112);
    const Bytes mode = update_mode(0644);
    int rc = mds_client_symlink(client_, &dir, "l", "target/path", mode.data(), &link, attrs.data(), nullptr, &opts_);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(link.type, 5);
    EXPECT_EQ(tarn_wire_get_u64(attrs.data(), 32), 11u);

    char buf[16];
    memset(buf, '#', sizeof buf);
    Bytes post(72, 0xff);
    ASSERT_EQ(mds_client_readlink(client_, &link, buf, 12, post.data(), &opts_), 0);
    EXPECT_STREQ(buf, "target/path");
    EXPECT_EQ(buf[12], '#');
    EXPECT_TRUE(present(post.data()));
    EXPECT_EQ(mds_client_readlink(client_, &link, buf, 11, nullptr, &opts_), -EOVERFLOW);
}

TEST_F(MdsOpsNetTest, LinkThenRename) {
    tarn_mds_handle dir;
    ASSERT_TRUE(test_dir(&dir));
    tarn_mds_handle file, found;
    ASSERT_EQ(create(&dir, "orig", 3, &file), 0);
    Bytes attrs(112), wcc(120, 0xff);
    int rc = mds_client_link(client_, &file, &dir, "second", attrs.data(), wcc.data(), &opts_);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(tarn_wire_get_u32(attrs.data(), 20), 2u);
    EXPECT_TRUE(present(wcc.data() + 48));

    Bytes src(120, 0xff), dst(120, 0xff);
    rc = mds_client_rename(client_, &dir, "second", &dir, "third", src.data(), dst.data(), &opts_);
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(present(src.data() + 48));
    EXPECT_TRUE(present(dst.data() + 48));
    ASSERT_EQ(mds_client_lookup(client_, &dir, "third", &found, nullptr, nullptr, &opts_), 0);
    EXPECT_EQ(memcmp(&found, &file, sizeof file), 0);
    EXPECT_EQ(mds_client_rename(client_, &dir, "missing", &dir, "x", src.data(), dst.data(), &opts_), -ENOENT);
}

// ---------------------------------------------------------------- xattrs
TEST_F(MdsOpsNetTest, DirectoryXattrsRoundTrip) {
    tarn_mds_handle dir;
    ASSERT_TRUE(test_dir(&dir));
    int rc = mds_client_set_xattr(client_, &dir, "user.a", "xyz", 3, 1, &opts_);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(mds_client_set_xattr(client_, &dir, "user.a", "xyz", 3, 1, &opts_), -EEXIST);
    ASSERT_EQ(mds_client_set_xattr(client_, &dir, "user.b", nullptr, 0, 0, &opts_), 0);

    char value[10] = {};
    uint64_t size = 0;
    ASSERT_EQ(mds_client_get_xattr(client_, &dir, "user.a", value, sizeof value, &size, &opts_), 0);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(memcmp(value, "xyz", 3), 0);
    size = 0;
    EXPECT_EQ(mds_client_get_xattr(client_, &dir, "user.a", value, 1, &size, &opts_), -ERANGE);
    EXPECT_EQ(size, 3u);
    size = 99;
    ASSERT_EQ(mds_client_get_xattr(client_, &dir, "user.b", nullptr, 0, &size, &opts_), 0);
    EXPECT_EQ(size, 0u);

    std::vector<std::string> names;
    ASSERT_EQ(mds_client_list_xattrs(client_, &dir, collect_name, &names, &opts_), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"user.a", "user.b"}));

    ASSERT_EQ(mds_client_remove_xattr(client_, &dir, "user.a", &opts_), 0);
    EXPECT_EQ(mds_client_remove_xattr(client_, &dir, "user.a", &opts_), -ENOENT);
    size = 99;
    EXPECT_EQ(mds_client_get_xattr(client_, &dir, "user.a", value, sizeof value, &size, &opts_), -ENOENT);
    EXPECT_EQ(size, 0u);
}

// ---------------------------------------------------------------- file system
TEST_F(MdsOpsNetTest, FsInfoNamesTheFileSystem) {
    Bytes info(104);
    const int rc = mds_client_get_fs_info(client_, info.data(), &opts_);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(tarn_wire_get_u64(info.data(), 0), kFsId);
    EXPECT_EQ(tarn_wire_get_u32(info.data(), 56), 4096u);
    EXPECT_EQ(tarn_wire_get_u16(info.data(), 92), 6);  // 3 hosts with 2 vdisks each
    EXPECT_LE(tarn_wire_get_u64(info.data(), 16), tarn_wire_get_u64(info.data(), 8));
}

TEST_F(MdsOpsNetTest, VdiskMapAndReport) {
    mds_vdisk_map* map = nullptr;
    int rc = mds_client_get_vdisk_map(client_, &map, &opts_);
    ASSERT_EQ(rc, 0);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->count, 6u);
    const std::vector<uint64_t> hosts = cluster_->host_ids();
    for (uint32_t i = 0; i < map->count; i++) {
        EXPECT_EQ(map->entries[i].ipv4, 0x7f000001u) << i;
        EXPECT_NE(map->entries[i].port, 0) << i;
        EXPECT_NE(std::find(hosts.begin(), hosts.end(), map->entries[i].host_id), hosts.end()) << i;
    }
    const mds_vdisk_report report{MDS_VDISK_REPORT_UNMOUNTED, 0, map->entries[0].host_id};
    mds_client_free_vdisk_map(map);

    rc = mds_client_report_vdisk(client_, nullptr, 0, &opts_);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(mds_client_report_vdisk(client_, &report, 1, &opts_), 0);
}

}  // namespace

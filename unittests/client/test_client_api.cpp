// The public client API end to end: a client made the way the harness makes
// it, against the simulated cluster started in-process. Each fixture opens
// its own file system; namespace tests work under a fresh directory.
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/tarn_client.h"
#include "client/tarn_client_utils.h"
#include "client/tarn_wire.h"
#include "client/tarn_vdisk_locator.h"
#include "client/tarn_wire_blocks.h"
#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "localcluster/cluster.h"
#include "client_test_env.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kFs = "apifs";          // xattrs of regular files on the DS
constexpr const char* kFsMdsXattrs = "apimx"; // every xattr on the MDS
constexpr uint64_t kFsId = 0x3001;
constexpr uint64_t kFsMdsXattrsId = 0x3002;
constexpr int kHosts = 3;
constexpr int kVdisksPerHost = 2;

// The harness repeats a call that answers "Delay" every 100 ms; so do the
// tests, with the hang guard as the bound: an answer other than "Delay" must
// come, and only a broken server keeps it away.
constexpr auto kDelayLimit = rttest::kHangGuard;

struct Handle {
    uint8_t bytes[TARN_OPAQUE_BUF_BYTES] = {};
    tarn_opaque_buf buf{bytes, 0, sizeof bytes};
    const void* data() const { return bytes; }
    uint64_t len() const { return buf.size; }
    bool operator==(const Handle& o) const { return len() == o.len() && memcmp(bytes, o.bytes, len()) == 0; }
};

std::string random_name(const char* prefix) {
    static std::mt19937_64 rng{std::random_device{}()};
    static std::mutex mu;
    std::lock_guard<std::mutex> g(mu);
    std::string s = prefix;
    for (int i = 0; i < 8; i++) s += char('a' + rng() % 26);
    return s;
}

uint64_t random_client_id() {
    std::random_device rd;
    return (uint64_t(rd()) << 32) | rd();
}

tarn_attr_update mode_update(uint32_t mode) {
    tarn_attr_update u{};
    u.mask = TARN_SET_MODE;
    u.attr.mode = mode;
    return u;
}

// Runs a set-up step of a test and leaves the test when it failed.
#define REQUIRE(step)                   \
    do {                                \
        step;                           \
        if (HasFatalFailure()) return;  \
    } while (0)

// ---------------------------------------------------------------- fixture
class ClientApiTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        localcluster::ClusterConfig cfg;
        cfg.fs.push_back(localcluster::FsConfig{kFs, kFsId});
        localcluster::FsConfig mx{kFsMdsXattrs, kFsMdsXattrsId};
        mx.xattrs_on_ds = false;
        cfg.fs.push_back(mx);
        cfg.hosts = kHosts;
        cfg.vdisks_per_host = kVdisksPerHost;
        cluster_ = clienttest::start_cluster(cfg);
    }
    static void TearDownTestSuite() { clienttest::stop_cluster(cluster_); }

    void SetUp() override {
        ASSERT_NE(cluster_, nullptr);
        saved_level_ = __kiv_log_level;
        __kiv_log_level = 0;
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        process_started_ = true;
        ASSERT_EQ(discov_create("local", nullptr, DISCOV_MODE_READ_ONLY, &process_, &discovery_), 0);
        params_.client_id = random_client_id();
        params_.epoch = 1;
        params_.required_flag = 1;
        ASSERT_EQ(tarn_client_create(&params_, discovery_, &process_, &client_), 0);
    }

    void TearDown() override {
        for (tarn_fs* fs : open_) tarn_client_close_fs(fs);
        open_.clear();
        if (client_) tarn_client_destroy(client_);
        if (discovery_) discov_destroy(discovery_);
        if (process_started_) {
            kiv_process_terminate(&process_);
            kiv_process_wait(&process_);
            kiv_process_fini(&process_);
        }
        __kiv_log_level = saved_level_;
    }

    tarn_fs* open(const char* name) {
        tarn_fs* fs = nullptr;
        EXPECT_EQ(tarn_client_open_fs(client_, name, &fs), 0);
        if (fs) open_.push_back(fs);
        return fs;
    }

    // Opens `name`, finds the root and makes a directory of the test's own.
    void open_fs_with_dir(const char* name = kFs) {
        tarn_fs* fs = open(name);
        ASSERT_NE(fs, nullptr);
        ctx_.fs = fs;
        ctx_.credentials = tarn_credentials{};
        ASSERT_EQ(with_delay([&] { return tarn_client_lookup(&ctx_, nullptr, 0, "/", &root_.buf, nullptr, nullptr); }),
                  TARN_ERR_OK);
        tarn_attr_update mode = mode_update(0755);
        dir_name_ = random_name("tarn_test_");
        ASSERT_EQ(with_delay([&] {
                      return tarn_client_create_dir(&ctx_, root_.data(), root_.len(), dir_name_.c_str(), &mode, 0,
                                                    &dir_.buf, nullptr, nullptr);
                  }),
                  TARN_ERR_OK);
    }

    // Fails the test unless the MDS hands out the virtual-disk map, the
    // client's locator has it and the first DS host it names answers.
    void need_ds(tarn_fs* fs) {
        uint64_t hosts[16];
        uint32_t count = 0;
        ASSERT_EQ(with_delay([&] { return tarn_test_get_ds_hosts(fs, hosts, 16, &count); }), TARN_ERR_OK);
        ASSERT_GT(count, 0u);
        // The locator fetches its map on a thread of its own; until the map is
        // there, a test call addressing a DS by virtual disk makes its single
        // attempt without a host and answers "Delay".
        tarn_vdisk_location first{};
        const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(kDelayLimit);
        ASSERT_EQ(tarn_vdisk_locator_wait_for_location(fs->locator, 0, uint32_t(limit.count()), &first), 0);
        ASSERT_EQ(with_delay([&] { return tarn_test_probe_ds(fs, hosts[0]); }), TARN_ERR_OK);
    }

    template <class F>
    static tarn_err with_delay(F&& call) {
        const auto until = Clock::now() + kDelayLimit;
        tarn_err err;
        while ((err = call()) == TARN_ERR_DELAY && Clock::now() < until) std::this_thread::sleep_for(100ms);
        return err;
    }

    tarn_err create_file(const std::string& name, Handle* out, tarn_attr* attrs = nullptr, uint64_t verifier = 0,
                         tarn_create_mode mode = TARN_CREATE_GUARDED, bool* created = nullptr) {
        tarn_attr_update u = mode_update(0644);
        return with_delay([&] {
            return tarn_client_create_file(&ctx_, dir_.data(), dir_.len(), name.c_str(), mode, &u, verifier,
                                           &out->buf, created, attrs, nullptr);
        });
    }

    tarn_err lookup(const Handle& dir, const std::string& name, Handle* out, tarn_attr* attrs = nullptr) {
        return with_delay(
            [&] { return tarn_client_lookup(&ctx_, dir.data(), dir.len(), name.c_str(), &out->buf, attrs, nullptr); });
    }

    std::vector<std::string> list_dir(const Handle& dir) {
        std::vector<std::string> names;
        uint64_t cookie = 0;
        bool eof = false;
        while (!eof) {
            struct Acc {
                std::vector<std::string>* names;
                uint64_t* cookie;
            } acc{&names, &cookie};
            tarn_err err = with_delay([&] {
                return tarn_client_read_dir(
                    &ctx_, dir.data(), dir.len(), cookie, false,
                    [](const char* name, const void*, uint64_t, const tarn_attr*, uint64_t c, void* arg) {
                        auto* a = static_cast<Acc*>(arg);
                        a->names->push_back(name);
                        *a->cookie = c;
                        return true;
                    },
                    &acc, &eof, nullptr);
            });
            EXPECT_EQ(err, TARN_ERR_OK);
            if (err != TARN_ERR_OK) break;
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static localcluster::Cluster* cluster_;
    int saved_level_ = 0;
    kiv_process process_{};
    bool process_started_ = false;
    discov* discovery_ = nullptr;
    tarn_client_params params_{};
    tarn_client* client_ = nullptr;
    std::vector<tarn_fs*> open_;
    tarn_context ctx_{};
    Handle root_;
    Handle dir_;
    std::string dir_name_;
};

localcluster::Cluster* ClientApiTest::cluster_ = nullptr;

// ================================================================ client object
// These need the registry only.

TEST_F(ClientApiTest, RetryTimeoutsFollowTheParameters) {
    tarn_fs* fs = open(kFs);
    ASSERT_NE(fs, nullptr);
    tarn_context ctx{fs, {}};
    EXPECT_EQ(tarn_client_get_mds_retry_timeout(&ctx), 15000u);
    EXPECT_EQ(tarn_client_get_ds_retry_timeout(&ctx), 15000u);

    // The custom values are read only when asked for, and 0 is a value.
    tarn_client_params p = params_;
    p.mds_retry_timeout_ms = 500;
    p.ds_retry_timeout_ms = 0;
    tarn_client* other = nullptr;
    ASSERT_EQ(tarn_client_create(&p, discovery_, &process_, &other), 0);
    tarn_fs* fs2 = nullptr;
    ASSERT_EQ(tarn_client_open_fs(other, kFs, &fs2), 0);
    tarn_context ctx2{fs2, {}};
    EXPECT_EQ(tarn_client_get_mds_retry_timeout(&ctx2), 15000u);
    EXPECT_EQ(tarn_client_get_ds_retry_timeout(&ctx2), 15000u);
    tarn_client_close_fs(fs2);
    tarn_client_destroy(other);

    p.use_custom_timeouts = 1;
    ASSERT_EQ(tarn_client_create(&p, discovery_, &process_, &other), 0);
    ASSERT_EQ(tarn_client_open_fs(other, kFs, &fs2), 0);
    ctx2.fs = fs2;
    EXPECT_EQ(tarn_client_get_mds_retry_timeout(&ctx2), 500u);
    EXPECT_EQ(tarn_client_get_ds_retry_timeout(&ctx2), 0u);
    tarn_client_close_fs(fs2);
    tarn_client_destroy(other);
}

TEST_F(ClientApiTest, ConnectionObjectsAreMadeOnceOnFirstOpen) {
    EXPECT_EQ(tarn_client_get_factory(client_), nullptr);
    EXPECT_EQ(tarn_client_get_mds_pool(client_), nullptr);
    EXPECT_EQ(tarn_client_get_ds_pool(client_), nullptr);
    ASSERT_NE(open(kFs), nullptr);
    tarn_conn_factory* factory = tarn_client_get_factory(client_);
    tarn_conn_pool* mds_pool = tarn_client_get_mds_pool(client_);
    tarn_conn_pool* ds_pool = tarn_client_get_ds_pool(client_);
    ASSERT_NE(factory, nullptr);
    ASSERT_NE(mds_pool, nullptr);
    ASSERT_NE(ds_pool, nullptr);
    EXPECT_NE(mds_pool, ds_pool);
    ASSERT_NE(open(kFsMdsXattrs), nullptr);
    EXPECT_EQ(tarn_client_get_factory(client_), factory);
    EXPECT_EQ(tarn_client_get_mds_pool(client_), mds_pool);
    EXPECT_EQ(tarn_client_get_ds_pool(client_), ds_pool);
}

TEST_F(ClientApiTest, CreateAndOpenRefuseMissingArguments) {
    tarn_client* c = nullptr;
    EXPECT_EQ(tarn_client_create(nullptr, discovery_, &process_, &c), -EINVAL);
    EXPECT_EQ(tarn_client_create(&params_, nullptr, &process_, &c), -EINVAL);
    EXPECT_EQ(c, nullptr);
    tarn_fs* fs = nullptr;
    EXPECT_EQ(tarn_client_open_fs(client_, nullptr, &fs), -EINVAL);
    EXPECT_EQ(fs, nullptr);
    // Closing and destroying nothing is harmless.
    tarn_client_close_fs(nullptr);
    tarn_client_destroy(nullptr);
}

// An unknown file system is not an error at open; its requests wait for
// the resolver within the retry time-out and then answer "Delay".
TEST_F(ClientApiTest, UnknownFileSystemAnswersDelayAfterTheRetryTimeout) {
    tarn_client_params p = params_;
    p.use_custom_timeouts = 1;
    p.mds_retry_timeout_ms = 300;
    p.ds_retry_timeout_ms = 300;
    tarn_client* c = nullptr;
    ASSERT_EQ(tarn_client_create(&p, discovery_, &process_, &c), 0);
    tarn_fs* fs = nullptr;
    ASSERT_EQ(tarn_client_open_fs(c, "no_such_fs", &fs), 0);
    tarn_context ctx{fs, {}};
    tarn_fs_info info{};
    info.fs_id = 0xabc;
    EXPECT_EQ(tarn_client_get_fs_info(&ctx, &info, nullptr), TARN_ERR_DELAY);
    EXPECT_EQ(info.fs_id, 0xabcu);  // untouched on failure

    // Data calls first wait for the virtual-disk map, which cannot come.
    uint8_t file[22] = {0x00, 0x01};
    file[TARN_OPAQUE_TYPE] = TARN_FILE_TYPE_REGULAR;
    uint8_t buf[16];
    uint32_t got = 7;
    bool eof = false;
    const auto t0 = Clock::now();
    EXPECT_EQ(tarn_client_read(&ctx, file, sizeof file, 0, buf, sizeof buf, &got, &eof, nullptr), TARN_ERR_DELAY);
    EXPECT_GE(Clock::now() - t0, 250ms);
    EXPECT_EQ(got, 7u);
    tarn_client_close_fs(fs);
    tarn_client_destroy(c);
}

// Calls that cannot be right fail before anything is sent, so they need no
// server.
TEST_F(ClientApiTest, BadArgumentsFailBeforeAnyRequest) {
    tarn_fs* fs = open(kFs);
    ASSERT_NE(fs, nullptr);
    tarn_context ctx{fs, {}};
    Handle h;
    // A well-formed directory opaque (22 bytes, no virtual disk) that no
    // server needs to see.
    uint8_t dir[22] = {0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 9, TARN_FILE_TYPE_DIRECTORY, 0};

    EXPECT_EQ(tarn_client_lookup(nullptr, dir, sizeof dir, "x", &h.buf, nullptr, nullptr), TARN_ERR_INVAL);
    tarn_context no_fs{nullptr, {}};
    EXPECT_EQ(tarn_client_lookup(&no_fs, dir, sizeof dir, "x", &h.buf, nullptr, nullptr), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_client_lookup(&ctx, dir, sizeof dir, nullptr, &h.buf, nullptr, nullptr), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_client_lookup(&ctx, dir, sizeof dir, "x", nullptr, nullptr, nullptr), TARN_ERR_INVAL);

    // Opaques that cannot hold an MDS handle: too short for file id, type
    // and flags, or longer than any handle; and missing bytes.
    for (uint64_t len : {1ull, 2ull, 3ull, 11ull, 31ull, 48ull, 49ull}) {
        uint8_t big[64] = {};
        tarn_attr attrs;
        EXPECT_EQ(tarn_client_get_attr(&ctx, big, len, &attrs), TARN_ERR_INVAL) << len;
        EXPECT_EQ(tarn_client_remove(&ctx, big, len, "x", nullptr), TARN_ERR_INVAL) << len;
    }
    EXPECT_EQ(tarn_client_remove(&ctx, nullptr, 22, "x", nullptr), TARN_ERR_INVAL);
    // Only the lookup takes an empty parent.
    EXPECT_EQ(tarn_client_create_dir(&ctx, nullptr, 0, "x", nullptr, 0, &h.buf, nullptr, nullptr), TARN_ERR_INVAL);

    // Required outputs.
    bool eof;
    uint32_t n;
    char buf[8];
    EXPECT_EQ(tarn_client_get_attr(&ctx, dir, sizeof dir, nullptr), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_client_read_dir(&ctx, dir, sizeof dir, 0, false, nullptr, nullptr, &eof, nullptr), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_client_get_fs_info(&ctx, nullptr, nullptr), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_client_read(&ctx, dir, sizeof dir, 0, buf, sizeof buf, nullptr, &eof, nullptr), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_client_read(&ctx, dir, sizeof dir, 0, nullptr, 8, &n, &eof, nullptr), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_client_write(&ctx, dir, sizeof dir, 0, buf, sizeof buf, false, nullptr, nullptr, nullptr),
              TARN_ERR_INVAL);
    EXPECT_EQ(tarn_client_set_attr(&ctx, dir, sizeof dir, nullptr, 0, nullptr), TARN_ERR_INVAL);
    tarn_opaque_buf bad{nullptr, 0, 16};
    EXPECT_EQ(tarn_client_get_xattr(&ctx, dir, sizeof dir, "user.a", &bad, nullptr), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_client_set_xattr(&ctx, dir, sizeof dir, "user.a", nullptr, 3, TARN_SET_XATTR_ANY), TARN_ERR_INVAL);

    // No data lives on the MDS: preallocating a directory asks no one.
    EXPECT_EQ(tarn_client_fallocate(&ctx, dir, sizeof dir, 0, 4096), TARN_ERR_INVAL);

    // Test calls.
    uint32_t count = 5;
    EXPECT_EQ(tarn_test_get_ds_hosts(nullptr, nullptr, 0, &count), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_test_get_ds_hosts(fs, nullptr, 4, &count), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_test_get_ds_hosts(fs, nullptr, 0, nullptr), TARN_ERR_INVAL);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(tarn_test_get_mds_host(fs, nullptr), TARN_ERR_INVAL);
    EXPECT_EQ(tarn_test_get_fs_health_status(fs, nullptr), TARN_ERR_INVAL);
}

// Failing steps of opening leave nothing behind, in the reverse order of
// making; closing takes the parts down in the same order.
struct PartsLog {
    static std::mutex mu;
    static std::vector<std::string> events;
    static int fail_mds, fail_locator, fail_ds;

    static void add(const char* e) {
        std::lock_guard<std::mutex> g(mu);
        events.push_back(e);
    }
    static int mds_create(const char* n, tarn_conn_pool* p, uint64_t id, tarn_epoch_cb cb, void* ctx, mds_resolver* r,
                          kiv_process* pr, mds_client** out) {
        add("mds+");
        if (fail_mds) return fail_mds;
        return tarn_fs_default_parts_ops().mds_client_create(n, p, id, cb, ctx, r, pr, out);
    }
    static void mds_destroy(mds_client* c) {
        add("mds-");
        tarn_fs_default_parts_ops().mds_client_destroy(c);
    }
    static int loc_create(mds_client* m, tarn_vdisk_locator** out) {
        add("loc+");
        if (fail_locator) return fail_locator;
        return tarn_fs_default_parts_ops().locator_create(m, out);
    }
    static void loc_destroy(tarn_vdisk_locator* l) {
        add("loc-");
        tarn_fs_default_parts_ops().locator_destroy(l);
    }
    static int ds_create(tarn_conn_pool* p, uint64_t id, tarn_epoch_cb cb, void* ctx, kiv_process* pr, ds_client** out,
                         ds_locator_callbacks callbacks) {
        add("ds+");
        if (fail_ds) return fail_ds;
        return tarn_fs_default_parts_ops().ds_client_create(p, id, cb, ctx, pr, out, callbacks);
    }
    static void ds_destroy(ds_client* c) {
        add("ds-");
        tarn_fs_default_parts_ops().ds_client_destroy(c);
    }
    static std::vector<std::string> take() {
        std::lock_guard<std::mutex> g(mu);
        std::vector<std::string> e;
        e.swap(events);
        return e;
    }
};
std::mutex PartsLog::mu;
std::vector<std::string> PartsLog::events;
int PartsLog::fail_mds, PartsLog::fail_locator, PartsLog::fail_ds;

TEST_F(ClientApiTest, FailedOpenDestroysWhatWasMadeInOrder) {
    tarn_fs_parts_ops ops{PartsLog::mds_create, PartsLog::mds_destroy, PartsLog::loc_create,
                          PartsLog::loc_destroy, PartsLog::ds_create,  PartsLog::ds_destroy};
    tarn_fs_set_parts_ops(&ops);
    using V = std::vector<std::string>;
    tarn_fs* fs = nullptr;

    PartsLog::fail_ds = -ENOMEM;
    EXPECT_EQ(tarn_client_open_fs(client_, kFs, &fs), -ENOMEM);
    EXPECT_EQ(fs, nullptr);
    EXPECT_EQ(PartsLog::take(), (V{"mds+", "loc+", "ds+", "loc-", "mds-"}));
    PartsLog::fail_ds = 0;

    PartsLog::fail_locator = -EAGAIN;
    EXPECT_EQ(tarn_client_open_fs(client_, kFs, &fs), -EAGAIN);
    EXPECT_EQ(PartsLog::take(), (V{"mds+", "loc+", "mds-"}));
    PartsLog::fail_locator = 0;

    PartsLog::fail_mds = -EIO;
    EXPECT_EQ(tarn_client_open_fs(client_, kFs, &fs), -EIO);
    EXPECT_EQ(PartsLog::take(), (V{"mds+"}));
    PartsLog::fail_mds = 0;

    // The pools made by the failed attempts serve the next one.
    tarn_conn_pool* ds_pool = tarn_client_get_ds_pool(client_);
    EXPECT_NE(ds_pool, nullptr);
    ASSERT_EQ(tarn_client_open_fs(client_, kFs, &fs), 0);
    EXPECT_EQ(tarn_client_get_ds_pool(client_), ds_pool);
    EXPECT_EQ(PartsLog::take(), (V{"mds+", "loc+", "ds+"}));
    tarn_fs_set_parts_ops(nullptr);
    // Closing uses what opened, whatever the table says now.
    tarn_client_close_fs(fs);
    EXPECT_EQ(PartsLog::take(), (V{"ds-", "loc-", "mds-"}));
}

TEST_F(ClientApiTest, DefaultVerifierIsNeverZeroAndVaries) {
    std::set<uint64_t> seen;
    for (int i = 0; i < 1000; i++) {
        uint64_t v = tarn_make_default_verifier();
        EXPECT_NE(v, 0u);
        seen.insert(v);
    }
    EXPECT_GT(seen.size(), 990u);
}

// ================================================================ namespace
// These need the MDS's namespace handlers.

TEST_F(ClientApiTest, LookupOfRootWithEmptyParent) {
    REQUIRE(open_fs_with_dir());
    Handle again;
    tarn_attr attrs{};
    ASSERT_EQ(with_delay([&] { return tarn_client_lookup(&ctx_, nullptr, 0, "/", &again.buf, &attrs, nullptr); }),
              TARN_ERR_OK);
    EXPECT_TRUE(again == root_);
    EXPECT_EQ(attrs.type, TARN_FILE_TYPE_DIRECTORY);
    EXPECT_EQ(root_.bytes[0], 0xFF);
    EXPECT_EQ(root_.bytes[1], 0xFF);
    // The test's directory is found by name with the handle it was made with.
    Handle found;
    ASSERT_EQ(lookup(root_, dir_name_, &found), TARN_ERR_OK);
    EXPECT_TRUE(found == dir_);
}

TEST_F(ClientApiTest, LookupAnswers) {
    REQUIRE(open_fs_with_dir());
    Handle h;
    tarn_post_op_data post{};
    EXPECT_EQ(with_delay([&] {
                  return tarn_client_lookup(&ctx_, dir_.data(), dir_.len(), "missing", &h.buf, nullptr, &post);
              }),
              TARN_ERR_NOT_FOUND);
    EXPECT_EQ(post.present, 1);  // the directory still exists
    EXPECT_EQ(lookup(dir_, "", &h), TARN_ERR_INVAL);
    EXPECT_EQ(lookup(dir_, "..", &h), TARN_ERR_INVAL);

    Handle file;
    ASSERT_EQ(create_file("f", &file), TARN_ERR_OK);
    EXPECT_EQ(lookup(file, "x", &h), TARN_ERR_NOT_DIR);

    // A handle buffer too small fails after the lookup, which still reports
    // the directory.
    uint8_t none[1];
    tarn_opaque_buf tiny{none, 0, 0};
    post = tarn_post_op_data{};
    EXPECT_EQ(with_delay([&] {
                  return tarn_client_lookup(&ctx_, dir_.data(), dir_.len(), "f", &tiny, nullptr, &post);
              }),
              TARN_ERR_INVAL);
    EXPECT_EQ(tiny.size, 0u);
    EXPECT_EQ(post.present, 1);
}

TEST_F(ClientApiTest, CreateFileInEveryMode) {
    REQUIRE(open_fs_with_dir());
    Handle a;
    tarn_attr attrs{};
    bool created = false;
    tarn_wcc_data wcc{};
    tarn_attr_update u = mode_update(0640);
    ASSERT_EQ(with_delay([&] {
                  return tarn_client_create_file(&ctx_, dir_.data(), dir_.len(), "a", TARN_CREATE_GUARDED, &u, 0,
                                                 &a.buf, &created, &attrs, &wcc);
              }),
              TARN_ERR_OK);
    EXPECT_TRUE(created);
    EXPECT_EQ(attrs.type, TARN_FILE_TYPE_REGULAR);
    EXPECT_EQ(attrs.mode & 07777, 0640u);
    EXPECT_EQ(wcc.pre_present, 1);
    EXPECT_EQ(wcc.post.present, 1);
    // A regular file's opaque starts with its virtual disk.
    const uint16_t vdisk = uint16_t(a.bytes[0] << 8 | a.bytes[1]);
    EXPECT_LT(vdisk, kHosts * kVdisksPerHost);

    // Guarded: an existing name is refused whatever the verifier.
    Handle b;
    EXPECT_EQ(create_file("a", &b, nullptr, 0, TARN_CREATE_GUARDED), TARN_ERR_EXIST);
    // Exclusive: the same verifier is answered like the first create.
    Handle e1, e2;
    ASSERT_EQ(create_file("e", &e1, nullptr, 4242, TARN_CREATE_EXCLUSIVE, &created), TARN_ERR_OK);
    ASSERT_EQ(create_file("e", &e2, nullptr, 4242, TARN_CREATE_EXCLUSIVE, &created), TARN_ERR_OK);
    EXPECT_TRUE(e1 == e2);
    EXPECT_EQ(create_file("e", &e2, nullptr, 4243, TARN_CREATE_EXCLUSIVE), TARN_ERR_EXIST);
    // An exclusive create sends a 0 verifier as it is, which the server
    // refuses.
    EXPECT_EQ(create_file("z", &e2, nullptr, 0, TARN_CREATE_EXCLUSIVE), TARN_ERR_INVAL);
    // Unchecked creates are not served by this file server.
    EXPECT_EQ(create_file("u", &e2, nullptr, 0, TARN_CREATE_UNCHECKED), TARN_ERR_NOT_IMPL);

    Handle missing_dir_file;
    Handle gone = a;
    EXPECT_EQ(with_delay([&] {
                  return tarn_client_create_file(&ctx_, gone.data(), gone.len(), "x", TARN_CREATE_GUARDED, &u, 0,
                                                 &missing_dir_file.buf, nullptr, nullptr, nullptr);
              }),
              TARN_ERR_NOT_DIR);
}

TEST_F(ClientApiTest, CreateDirAndSymlinkAndReadSymlink) {
    REQUIRE(open_fs_with_dir());
    Handle d;
    tarn_attr attrs{};
    tarn_attr_update u = mode_update(0755);
    ASSERT_EQ(with_delay([&] {
                  return tarn_client_create_dir(&ctx_, dir_.data(), dir_.len(), "d", &u, 0, &d.buf, &attrs, nullptr);
              }),
              TARN_ERR_OK);
    EXPECT_EQ(attrs.type, TARN_FILE_TYPE_DIRECTORY);
    EXPECT_EQ(d.bytes[0], 0xFF);
    EXPECT_EQ(d.bytes[1], 0xFF);
    Handle d2;
    EXPECT_EQ(with_delay([&] {
                  return tarn_client_create_dir(&ctx_, dir_.data(), dir_.len(), "d", &u, 0, &d2.buf, nullptr, nullptr);
              }),
              TARN_ERR_EXIST);

    Handle s;
    tarn_attr_update none{};
    ASSERT_EQ(with_delay([&] {
                  return tarn_client_create_symlink(&ctx_, dir_.data(), dir_.len(), "s", "some/target", &none, &s.buf,
                                                    &attrs, nullptr);
              }),
              TARN_ERR_OK);
    EXPECT_EQ(attrs.type, TARN_FILE_TYPE_SYMLINK);
    EXPECT_EQ(attrs.size, strlen("some/target"));

    char target[64];
    tarn_post_op_data post{};
    ASSERT_EQ(with_delay([&] { return tarn_client_read_symlink(&ctx_, s.data(), s.len(), target, sizeof target, &post); }),
              TARN_ERR_OK);
    EXPECT_STREQ(target, "some/target");
    EXPECT_EQ(post.present, 1);
    // The target and its zero must fit.
    EXPECT_EQ(with_delay([&] { return tarn_client_read_symlink(&ctx_, s.data(), s.len(), target, 11, nullptr); }),
              TARN_ERR_TOO_BIG);
    EXPECT_EQ(with_delay([&] { return tarn_client_read_symlink(&ctx_, s.data(), s.len(), target, 12, nullptr); }),
              TARN_ERR_OK);
    // Reading a directory as a link.
    EXPECT_EQ(with_delay([&] { return tarn_client_read_symlink(&ctx_, d.data(), d.len(), target, 64, nullptr); }),
              TARN_ERR_INVAL);
}

TEST_F(ClientApiTest, LinkAddsANameForTheSameObject) {
    REQUIRE(open_fs_with_dir());
    Handle f;
    tarn_attr first{};
    ASSERT_EQ(create_file("f", &f, &first), TARN_ERR_OK);
    tarn_attr attrs{};
    tarn_wcc_data wcc{};
    ASSERT_EQ(with_delay([&] {
                  return tarn_client_create_link(&ctx_, dir_.data(), dir_.len(), "g", f.data(), f.len(), &attrs, &wcc);
              }),
              TARN_ERR_OK);
    EXPECT_EQ(attrs.inode_num, first.inode_num);
    EXPECT_EQ(attrs.nlinks, 2u);
    EXPECT_EQ(wcc.post.present, 1);
    Handle g;
    ASSERT_EQ(lookup(dir_, "g", &g), TARN_ERR_OK);
    EXPECT_TRUE(g == f);
    // A directory cannot be linked.
    EXPECT_EQ(with_delay([&] {
                  return tarn_client_create_link(&ctx_, dir_.data(), dir_.len(), "h", dir_.data(), dir_.len(), nullptr,
                                                 nullptr);
              }),
              TARN_ERR_PERM);
}

TEST_F(ClientApiTest, RenameAndRemove) {
    REQUIRE(open_fs_with_dir());
    Handle f, sub;
    ASSERT_EQ(create_file("f", &f), TARN_ERR_OK);
    tarn_attr_update u = mode_update(0755);
    ASSERT_EQ(with_delay([&] {
                  return tarn_client_create_dir(&ctx_, dir_.data(), dir_.len(), "sub", &u, 0, &sub.buf, nullptr,
                                                nullptr);
              }),
              TARN_ERR_OK);
    tarn_wcc_data src{}, dst{};
    ASSERT_EQ(with_delay([&] {
                  return tarn_client_rename(&ctx_, dir_.data(), dir_.len(), "f", sub.data(), sub.len(), "g", &src, &dst);
              }),
              TARN_ERR_OK);
    EXPECT_EQ(src.post.present, 1);
    EXPECT_EQ(dst.post.present, 1);
    Handle g;
    ASSERT_EQ(lookup(sub, "g", &g), TARN_ERR_OK);
    EXPECT_TRUE(g == f);
    EXPECT_EQ(lookup(dir_, "f", &g), TARN_ERR_NOT_FOUND);
    EXPECT_EQ(with_delay([&] {
                  return tarn_client_rename(&ctx_, dir_.data(), dir_.len(), "f", sub.data(), sub.len(), "h", nullptr,
                                            nullptr);
              }),
              TARN_ERR_NOT_FOUND);

    // A non-empty directory stays; an empty one goes, once.
    tarn_wcc_data wcc{};
    EXPECT_EQ(with_delay([&] { return tarn_client_remove(&ctx_, dir_.data(), dir_.len(), "sub", &wcc); }),
              TARN_ERR_NOT_EMPTY);
    EXPECT_EQ(wcc.post.present, 1);
    EXPECT_EQ(with_delay([&] { return tarn_client_remove(&ctx_, sub.data(), sub.len(), "g", nullptr); }), TARN_ERR_OK);
    EXPECT_EQ(with_delay([&] { return tarn_client_remove(&ctx_, dir_.data(), dir_.len(), "sub", nullptr); }),
              TARN_ERR_OK);
    EXPECT_EQ(with_delay([&] { return tarn_client_remove(&ctx_, dir_.data(), dir_.len(), "sub", nullptr); }),
              TARN_ERR_NOT_FOUND);
}

TEST_F(ClientApiTest, ReadDirPagesThroughEveryEntry) {
    REQUIRE(open_fs_with_dir());
    std::vector<std::string> names;
    // 1,500 entries of about 195 bytes each do not fit one 263168-byte reply.
    for (int i = 0; i < 1500; i++) {
        names.push_back("entry_with_a_rather_long_name_" + std::to_string(i));
        Handle h;
        ASSERT_EQ(create_file(names.back(), &h), TARN_ERR_OK);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(list_dir(dir_), names);

    // A callback that stops at once still gets the server's end flag, and
    // attributes come only when asked for.
    struct First {
        int calls = 0;
        bool had_attrs = false;
        uint64_t len = 0;
    } first;
    bool eof = true;
    ASSERT_EQ(with_delay([&] {
                  first = First{};
                  return tarn_client_read_dir(
                      &ctx_, dir_.data(), dir_.len(), 0, true,
                      [](const char*, const void*, uint64_t len, const tarn_attr* attrs, uint64_t, void* arg) {
                          auto* f = static_cast<First*>(arg);
                          f->calls++;
                          f->had_attrs = attrs != nullptr && attrs->type == TARN_FILE_TYPE_REGULAR;
                          f->len = len;
                          return false;
                      },
                      &first, &eof, nullptr);
              }),
              TARN_ERR_OK);
    EXPECT_EQ(first.calls, 1);
    EXPECT_TRUE(first.had_attrs);
    EXPECT_EQ(first.len, 22u);
    EXPECT_FALSE(eof);
}

TEST_F(ClientApiTest, GetFsInfoReportsTheFileSystem) {
    REQUIRE(open_fs_with_dir());
    tarn_fs_info info{};
    ASSERT_EQ(with_delay([&] { return tarn_client_get_fs_info(&ctx_, &info, nullptr); }), TARN_ERR_OK);
    EXPECT_EQ(info.fs_id, kFsId);
    EXPECT_EQ(info.vdisk_count, kHosts * kVdisksPerHost);
    EXPECT_EQ(info.frsize, 4096u);
    EXPECT_GT(info.total_space, 0u);
    EXPECT_LE(info.free_space, info.total_space);
    EXPECT_EQ(info.flags & TARN_FS_FLAG_CASE_INSENSITIVE, 0u);
    const uint32_t timeout = 1000;
    EXPECT_EQ(with_delay([&] { return tarn_client_get_fs_info(&ctx_, &info, &timeout); }), TARN_ERR_OK);
}

// ================================================================ attributes
TEST_F(ClientApiTest, AttributesOfFilesComeFromTheDs) {
    REQUIRE(open_fs_with_dir());
    REQUIRE(need_ds(ctx_.fs));
    Handle f;
    tarn_attr made{};
    ASSERT_EQ(create_file("f", &f, &made), TARN_ERR_OK);
    tarn_attr attrs{};
    ASSERT_EQ(with_delay([&] { return tarn_client_get_attr(&ctx_, f.data(), f.len(), &attrs); }), TARN_ERR_OK);
    EXPECT_EQ(attrs.type, TARN_FILE_TYPE_REGULAR);
    EXPECT_EQ(attrs.inode_num, made.inode_num);
    EXPECT_EQ(attrs.mode & 07777, 0644u);

    tarn_attr_update u{};
    u.mask = TARN_SET_MODE | TARN_SET_SIZE | TARN_SET_MTIME;
    u.attr.mode = 0357;
    u.attr.size = 10000;
    u.attr.mtime = 123456789;
    tarn_wcc_data wcc{};
    ASSERT_EQ(with_delay([&] { return tarn_client_set_attr(&ctx_, f.data(), f.len(), &u, 0, &wcc); }), TARN_ERR_OK);
    EXPECT_EQ(wcc.post.present, 1);
    ASSERT_EQ(with_delay([&] { return tarn_client_get_attr(&ctx_, f.data(), f.len(), &attrs); }), TARN_ERR_OK);
    EXPECT_EQ(attrs.mode & 07777, 0357u);
    EXPECT_EQ(attrs.size, 10000u);
    EXPECT_EQ(attrs.mtime, 123456789u);

    // A guard that does not match the change time changes nothing.
    u.mask = TARN_SET_SIZE;
    u.attr.size = 0;
    EXPECT_EQ(with_delay([&] { return tarn_client_set_attr(&ctx_, f.data(), f.len(), &u, attrs.ctime + 1, nullptr); }),
              TARN_ERR_CONFLICT);
    EXPECT_EQ(with_delay([&] { return tarn_client_set_attr(&ctx_, f.data(), f.len(), &u, attrs.ctime, nullptr); }),
              TARN_ERR_OK);
    ASSERT_EQ(with_delay([&] { return tarn_client_get_attr(&ctx_, f.data(), f.len(), &attrs); }), TARN_ERR_OK);
    EXPECT_EQ(attrs.size, 0u);
}

TEST_F(ClientApiTest, AttributesOfDirectoriesComeFromTheMds) {
    REQUIRE(open_fs_with_dir());
    tarn_attr attrs{};
    ASSERT_EQ(with_delay([&] { return tarn_client_get_attr(&ctx_, dir_.data(), dir_.len(), &attrs); }), TARN_ERR_OK);
    EXPECT_EQ(attrs.type, TARN_FILE_TYPE_DIRECTORY);
    EXPECT_EQ(attrs.mode & 07777, 0755u);
    tarn_attr_update u = mode_update(0700);
    ASSERT_EQ(with_delay([&] { return tarn_client_set_attr(&ctx_, dir_.data(), dir_.len(), &u, 0, nullptr); }),
              TARN_ERR_OK);
    ASSERT_EQ(with_delay([&] { return tarn_client_get_attr(&ctx_, dir_.data(), dir_.len(), &attrs); }), TARN_ERR_OK);
    EXPECT_EQ(attrs.mode & 07777, 0700u);
    // A size on a directory is refused.
    u.mask = TARN_SET_SIZE;
    EXPECT_EQ(with_delay([&] { return tarn_client_set_attr(&ctx_, dir_.data(), dir_.len(), &u, 0, nullptr); }),
              TARN_ERR_INVAL);
}

// ================================================================ data
TEST_F(ClientApiTest, WriteReadSyncAndFallocate) {
    REQUIRE(open_fs_with_dir());
    REQUIRE(need_ds(ctx_.fs));
    Handle f;
    ASSERT_EQ(create_file("data", &f), TARN_ERR_OK);
    std::vector<uint8_t> data(10000);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 7 + 3);

    uint32_t written = 0;
    uint64_t verifier = 0, commit_verifier = 0;
    tarn_wcc_data wcc{};
    ASSERT_EQ(with_delay([&] {
                  return tarn_client_write(&ctx_, f.data(), f.len(), 100, data.data(), uint32_t(data.size()), false,
                                           &written, &verifier, &wcc);
              }),
              TARN_ERR_OK);
    EXPECT_EQ(written, data.size());
    EXPECT_NE(verifier, 0u);
    EXPECT_EQ(wcc.post.present, 1);
    ASSERT_EQ(with_delay([&] { return tarn_client_sync(&ctx_, f.data(), f.len(), &commit_verifier, nullptr); }),
              TARN_ERR_OK);
    EXPECT_EQ(commit_verifier, verifier);

    std::vector<uint8_t> back(20000, 0xEE);
    uint32_t got = 0;
    bool eof = false;
    tarn_post_op_data post{};
    ASSERT_EQ(with_delay([&] {
                  return tarn_client_read(&ctx_, f.data(), f.len(), 0, back.data(), uint32_t(back.size()), &got, &eof,
                                          &post);
              }),
              TARN_ERR_OK);
    ASSERT_EQ(got, 10100u);
    EXPECT_TRUE(eof);
    EXPECT_EQ(post.present, 1);
    EXPECT_TRUE(std::all_of(back.begin(), back.begin() + 100, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(memcmp(back.data() + 100, data.data(), data.size()), 0);
    // Past the end: nothing.
    ASSERT_EQ(with_delay([&] {
                  return tarn_client_read(&ctx_, f.data(), f.len(), 20000, back.data(), 10, &got, &eof, nullptr);
              }),
              TARN_ERR_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(eof);

    // Preallocation grows the file and takes space, but writes nothing.
    ASSERT_EQ(with_delay([&] { return tarn_client_fallocate(&ctx_, f.data(), f.len(), 12345, 100500); }),
              TARN_ERR_OK);
    tarn_attr attrs{};
    ASSERT_EQ(with_delay([&] { return tarn_client_get_attr(&ctx_, f.data(), f.len(), &attrs); }), TARN_ERR_OK);
    EXPECT_EQ(attrs.size, 12345u + 100500u);
    EXPECT_GE(attrs.space_used, 100500u);
    EXPECT_EQ(with_delay([&] { return tarn_client_fallocate(&ctx_, f.data(), f.len(), 0, 0); }), TARN_ERR_INVAL);
    EXPECT_EQ(with_delay([&] {
                  return tarn_client_fallocate(&ctx_, f.data(), f.len(), (1ull << 63) - 1, (1ull << 63) - 1);
              }),
              TARN_ERR_FILE_TOO_LARGE);
    EXPECT_EQ(with_delay([&] { return tarn_client_fallocate(&ctx_, f.data(), f.len(), 0, 1ull << 50); }),
              TARN_ERR_NO_SPACE);

    // A directory has no data.
    EXPECT_EQ(tarn_client_read(&ctx_, dir_.data(), dir_.len(), 0, back.data(), 10, &got, &eof, nullptr),
              TARN_ERR_INVAL);
}

TEST_F(ClientApiTest, DataOfARemovedFileIsGone) {
    REQUIRE(open_fs_with_dir());
    REQUIRE(need_ds(ctx_.fs));
    Handle f;
    ASSERT_EQ(create_file("gone", &f), TARN_ERR_OK);
    ASSERT_EQ(with_delay([&] { return tarn_client_remove(&ctx_, dir_.data(), dir_.len(), "gone", nullptr); }),
              TARN_ERR_OK);
    uint8_t b[4] = {1, 2, 3, 4};
    uint32_t n = 0;
    EXPECT_EQ(with_delay([&] { return tarn_client_write(&ctx_, f.data(), f.len(), 0, b, 4, true, &n, nullptr, nullptr); }),
              TARN_ERR_NOT_FOUND);
    tarn_attr attrs{};
    EXPECT_EQ(with_delay([&] { return tarn_client_get_attr(&ctx_, f.data(), f.len(), &attrs); }), TARN_ERR_NOT_FOUND);
}

// ================================================================ extended attributes
// Run on both kinds of file system: regular files' attributes on the DS, and
// everything on the MDS.
class ClientXattrTest : public ClientApiTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ClientXattrTest, SetGetListRemove) {
    REQUIRE(open_fs_with_dir(GetParam()));
    if (strcmp(GetParam(), kFs) == 0) REQUIRE(need_ds(ctx_.fs));
    Handle f;
    ASSERT_EQ(create_file("x", &f), TARN_ERR_OK);
    const bool on_ds = (f.bytes[TARN_OPAQUE_FLAGS] & TARN_MDS_HANDLE_XATTRS_ON_DS) != 0;
    EXPECT_EQ(on_ds, strcmp(GetParam(), kFs) == 0);

    for (const Handle* obj : {&f, &dir_}) {
        auto set = [&](const char* name, const char* value, uint32_t mode) {
            return with_delay([&] {
                return tarn_client_set_xattr(&ctx_, obj->data(), obj->len(), name, value, strlen(value), mode);
            });
        };
        ASSERT_EQ(set("user.b", "hello", TARN_SET_XATTR_ANY), TARN_ERR_OK);
        ASSERT_EQ(set("user.a", "", TARN_SET_XATTR_CREATE), TARN_ERR_OK);
        EXPECT_EQ(set("user.a", "again", TARN_SET_XATTR_CREATE), TARN_ERR_EXIST);
        EXPECT_EQ(set("user.c", "x", TARN_SET_XATTR_REPLACE), TARN_ERR_NOT_FOUND);
        ASSERT_EQ(set("user.b", "hello!", TARN_SET_XATTR_REPLACE), TARN_ERR_OK);

        char value[16] = {};
        tarn_opaque_buf buf{value, 0, sizeof value};
        uint64_t needed = 0;
        ASSERT_EQ(with_delay([&] {
                      return tarn_client_get_xattr(&ctx_, obj->data(), obj->len(), "user.b", &buf, &needed);
                  }),
                  TARN_ERR_OK);
        EXPECT_EQ(buf.size, 6u);
        EXPECT_EQ(memcmp(value, "hello!", 6), 0);

        // Too small: the needed size comes back when asked for. Capacity 0
        // is no exception, whichever server keeps the attribute.
        for (uint64_t cap : {0ull, 5ull}) {
            tarn_opaque_buf small{value, 99, cap};
            needed = 0;
            EXPECT_EQ(with_delay([&] {
                          return tarn_client_get_xattr(&ctx_, obj->data(), obj->len(), "user.b", &small, &needed);
                      }),
                      TARN_ERR_BUFFER_TOO_SMALL)
                << cap;
            EXPECT_EQ(needed, 6u);
            EXPECT_EQ(small.size, 99u);
            EXPECT_EQ(with_delay([&] {
                          return tarn_client_get_xattr(&ctx_, obj->data(), obj->len(), "user.b", &small, nullptr);
                      }),
                      TARN_ERR_BUFFER_TOO_SMALL)
                << cap;
        }
        // An empty value fits no buffer at all.
        tarn_opaque_buf empty{nullptr, 7, 0};
        EXPECT_EQ(with_delay([&] {
                      return tarn_client_get_xattr(&ctx_, obj->data(), obj->len(), "user.a", &empty, nullptr);
                  }),
                  TARN_ERR_OK);
        EXPECT_EQ(empty.size, 0u);
        EXPECT_EQ(with_delay([&] {
                      return tarn_client_get_xattr(&ctx_, obj->data(), obj->len(), "user.none", &buf, nullptr);
                  }),
                  TARN_ERR_NOT_FOUND);

        std::vector<std::string> names;
        ASSERT_EQ(with_delay([&] {
                      names.clear();
                      return tarn_client_list_xattrs(
                          &ctx_, obj->data(), obj->len(),
                          [](const char* name, void* arg) {
                              static_cast<std::vector<std::string>*>(arg)->push_back(name);
                              return true;
                          },
                          &names);
                  }),
                  TARN_ERR_OK);
        EXPECT_EQ(names, (std::vector<std::string>{"user.a", "user.b"}));

        EXPECT_EQ(with_delay([&] { return tarn_client_remove_xattr(&ctx_, obj->data(), obj->len(), "user.a"); }),
                  TARN_ERR_OK);
        EXPECT_EQ(with_delay([&] { return tarn_client_remove_xattr(&ctx_, obj->data(), obj->len(), "user.a"); }),
                  TARN_ERR_NOT_FOUND);
        // Values beyond the server's limit.
        std::string big(65536, 'v');
        EXPECT_EQ(with_delay([&] {
                      return tarn_client_set_xattr(&ctx_, obj->data(), obj->len(), "user.big", big.data(), big.size(),
                                                   TARN_SET_XATTR_ANY);
                  }),
                  TARN_ERR_TOO_BIG);
    }
}

INSTANTIATE_TEST_SUITE_P(BothStores, ClientXattrTest, ::testing::Values(kFs, kFsMdsXattrs));

// ================================================================ test calls
TEST_F(ClientApiTest, DsHostsAndMdsHost) {
    tarn_fs* fs = open(kFs);
    ASSERT_NE(fs, nullptr);
    uint64_t hosts[8] = {};
    uint32_t count = 0;
    ASSERT_EQ(with_delay([&] { return tarn_test_get_ds_hosts(fs, hosts, 8, &count); }), TARN_ERR_OK);
    std::vector<uint64_t> expected = cluster_->host_ids();
    ASSERT_EQ(count, expected.size());
    // Virtual disk v lives on host (v mod N) + 1, so the map names the
    // hosts in their order.
    EXPECT_EQ(std::vector<uint64_t>(hosts, hosts + count), expected);

    uint64_t few[2] = {};
    EXPECT_EQ(with_delay([&] { return tarn_test_get_ds_hosts(fs, few, 2, &count); }), TARN_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(few[1], expected[1]);
    // No room at all, also when the capacity is negative: nothing written.
    uint64_t guard[2] = {7, 7};
    for (int32_t cap : {0, -1, -1000}) {
        count = 99;
        EXPECT_EQ(with_delay([&] { return tarn_test_get_ds_hosts(fs, guard, cap, &count); }), TARN_ERR_BUFFER_TOO_SMALL)
            << cap;
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(guard[0], 7u);
    }
    EXPECT_EQ(with_delay([&] { return tarn_test_get_ds_hosts(fs, nullptr, -3, &count); }), TARN_ERR_BUFFER_TOO_SMALL);

    uint64_t mds = 0;
    ASSERT_EQ(tarn_test_get_mds_host(fs, &mds), TARN_ERR_OK);
    EXPECT_EQ(mds, cluster_->mds_host());
}

TEST_F(ClientApiTest, ProbeAndHealth) {
    tarn_fs* fs = open(kFs);
    ASSERT_NE(fs, nullptr);
    REQUIRE(need_ds(fs));
    for (uint64_t host : cluster_->host_ids())
        EXPECT_EQ(with_delay([&] { return tarn_test_probe_ds(fs, host); }), TARN_ERR_OK) << host;
    EXPECT_EQ(with_delay([&] { return tarn_test_probe_ds(fs, 0xdead); }), TARN_ERR_NOT_FOUND);
    uint32_t status = 7;
    ASSERT_EQ(with_delay([&] { return tarn_test_get_fs_health_status(fs, &status); }), TARN_ERR_OK);
    EXPECT_EQ(status, 0u);
}

// A fault call made right after the open, while the first vdisk map is
// still on its way, waits for it like any file request instead of failing.
TEST_F(ClientApiTest, DsFaultCallRightAfterOpenWaitsForTheFirstMap) {
    ASSERT_NE(std::string::npos,
              cluster_->control("fault add mds:" + std::string(kFs) + " type=" + std::to_string(TARN_MDS_GET_VDISK_MAP) +
                                " delay=300")
                  .find("\"ok\":true"));
    tarn_fs* fs = open(kFs);
    ASSERT_NE(fs, nullptr);
    const tarn_err err = tarn_test_disable_replication_on_one_ds(fs);
    cluster_->control("fault clear");
    EXPECT_EQ(err, TARN_ERR_OK);
}

// The crash calls count the dropped connection as success; the cluster
// brings the server back and reports the outage through the health bits.
TEST_F(ClientApiTest, CrashCallsTakeServersDownAndTheyComeBack) {
    REQUIRE(open_fs_with_dir());
    REQUIRE(need_ds(ctx_.fs));
    tarn_fs* fs = ctx_.fs;
    auto wait_for_health = [&](uint32_t wanted) {
        return rttest::wait_until([&] {
            uint32_t status = 99;
            return tarn_test_get_fs_health_status(fs, &status) == TARN_ERR_OK && status == wanted;
        });
    };
    ASSERT_EQ(tarn_test_crash_one_ds(fs), TARN_ERR_OK);
    EXPECT_TRUE(wait_for_health(1));
    EXPECT_TRUE(wait_for_health(0));

    ASSERT_EQ(tarn_test_crash_mds(fs), TARN_ERR_OK);
    // The namespace survives.
    Handle again;
    ASSERT_EQ(lookup(root_, dir_name_, &again), TARN_ERR_OK);
    EXPECT_TRUE(again == dir_);

    ASSERT_EQ(with_delay([&] { return tarn_test_disable_replication_on_one_ds(fs); }), TARN_ERR_OK);
}

// Right after an open the locator may not have its first map yet: the
// fault-injection calls wait for it as file requests do, rather than
// answering "Delay" at once.
TEST_F(ClientApiTest, DsTestCallsWaitForTheFirstMap) {
    const std::string rule = cluster_->control(std::string("fault add mds:") + kFs + " type=" +
                                               std::to_string(TARN_MDS_GET_VDISK_MAP) + " delay=300 count=1");
    ASSERT_EQ(0u, rule.find("{\"ok\":true")) << rule;
    tarn_fs* fs = open(kFs);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(TARN_ERR_OK, tarn_test_disable_replication_on_one_ds(fs));
    const std::string enable = cluster_->control(std::string("repl enable 1 ") + kFs);
    EXPECT_EQ(0u, enable.find("{\"ok\":true")) << enable;
}

// ================================================================ crash tolerance
// 100 threads create files while the MDS crashes under them: every create
// that was acknowledged is there afterwards, with the handle it was given.
TEST_F(ClientApiTest, MdsCrashDuringConcurrentCreatesLosesNoAcknowledgedCreate) {
    REQUIRE(open_fs_with_dir());
    constexpr int kThreads = 100;
    constexpr int kPerThread = 5;
    std::mutex mu;
    std::map<std::string, Handle> acked;
    std::atomic<int> started{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; t++) {
        workers.emplace_back([&, t] {
            started++;
            for (int i = 0; i < kPerThread; i++) {
                std::string name = "c" + std::to_string(t) + "_" + std::to_string(i);
                Handle h;
                // Exclusive with a fixed verifier: a repeat after a lost
                // reply is answered like the first create.
                tarn_err err = create_file(name, &h, nullptr, uint64_t(t) * 1000 + i + 1, TARN_CREATE_EXCLUSIVE);
                if (err == TARN_ERR_OK) {
                    std::lock_guard<std::mutex> g(mu);
                    acked[name] = h;
                }
            }
        });
    }
    while (started < kThreads) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);
    const tarn_err crashed = tarn_test_crash_mds(ctx_.fs);
    for (auto& w : workers) w.join();
    EXPECT_EQ(crashed, TARN_ERR_OK);
    EXPECT_EQ(acked.size(), size_t(kThreads * kPerThread));
    for (const auto& [name, h] : acked) {
        Handle found;
        ASSERT_EQ(lookup(dir_, name, &found), TARN_ERR_OK) << name;
        EXPECT_TRUE(found == h) << name;
    }
}

// Writers keep writing while the DS of virtual disk 0 crashes: every
// acknowledged stable write reads back.
TEST_F(ClientApiTest, DsCrashDuringWritesLosesNoAcknowledgedWrite) {
    REQUIRE(open_fs_with_dir());
    REQUIRE(need_ds(ctx_.fs));
    constexpr int kFiles = 12;  // every virtual disk gets some
    constexpr int kBlocks = 20;
    constexpr uint32_t kBlock = 4096;
    std::vector<Handle> files(kFiles);
    for (int i = 0; i < kFiles; i++) ASSERT_EQ(create_file("w" + std::to_string(i), &files[i]), TARN_ERR_OK);
    std::vector<std::vector<bool>> acked(kFiles, std::vector<bool>(kBlocks));
    std::atomic<int> started{0};
    std::vector<std::thread> workers;
    for (int f = 0; f < kFiles; f++) {
        workers.emplace_back([&, f] {
            started++;
            std::vector<uint8_t> block(kBlock);
            for (int b = 0; b < kBlocks; b++) {
                std::fill(block.begin(), block.end(), uint8_t(f * 31 + b));
                uint32_t n = 0;
                tarn_err err = with_delay([&] {
                    return tarn_client_write(&ctx_, files[f].data(), files[f].len(), uint64_t(b) * kBlock,
                                             block.data(), kBlock, true, &n, nullptr, nullptr);
                });
                acked[f][b] = err == TARN_ERR_OK && n == kBlock;
            }
        });
    }
    while (started < kFiles) std::this_thread::yield();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(tarn_test_crash_one_ds(ctx_.fs), TARN_ERR_OK);
    for (auto& w : workers) w.join();
    std::vector<uint8_t> back(kBlock);
    for (int f = 0; f < kFiles; f++) {
        for (int b = 0; b < kBlocks; b++) {
            EXPECT_TRUE(acked[f][b]) << f << "/" << b;
            if (!acked[f][b]) continue;
            uint32_t got = 0;
            bool eof = false;
            ASSERT_EQ(with_delay([&] {
                          return tarn_client_read(&ctx_, files[f].data(), files[f].len(), uint64_t(b) * kBlock,
                                                  back.data(), kBlock, &got, &eof, nullptr);
                      }),
                      TARN_ERR_OK);
            ASSERT_EQ(got, kBlock);
            EXPECT_TRUE(std::all_of(back.begin(), back.end(), [&](uint8_t v) { return v == uint8_t(f * 31 + b); }))
                << f << "/" << b;
        }
    }
}

}  // namespace

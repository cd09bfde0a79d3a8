// The public client API against a scripted MDS and DS that this test runs
// with the runtime's server API and registers in the simulated cluster's
// registry. The servers answer what each test tells them and record every
// request, so the tests see exactly what the client sent and how it reads
// answers that a well-behaved cluster rarely gives.
#include <errno.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/tarn_call_engine.h"
#include "client/tarn_client.h"
#include "client/tarn_client_conv.h"
#include "client/tarn_client_utils.h"
#include "client/tarn_vdisk_locator.h"
#include "client/tarn_wire.h"
#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"
#include "localcluster/cluster.h"
#include "client_test_env.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kFsId = 0x7a01;
constexpr const char* kFsName = "scripted";
constexpr uint64_t kMdsHost = 0xb1;
constexpr uint64_t kH1 = 0xd1, kH2 = 0xd2, kH3 = 0xd3;
constexpr tarn_call_timing kFastTiming = {50, 1000, 20, 100};

// ---------------------------------------------------------------- wire images
void put16(Bytes& b, size_t off, uint16_t v) { tarn_wire_put_u16(b.data(), off, v); }
void put32(Bytes& b, size_t off, uint32_t v) { tarn_wire_put_u32(b.data(), off, v); }
void put64(Bytes& b, size_t off, uint64_t v) { tarn_wire_put_u64(b.data(), off, v); }
uint32_t get32(const Bytes& b, size_t off) { return tarn_wire_get_u32(b.data(), off); }
uint64_t get64(const Bytes& b, size_t off) { return tarn_wire_get_u64(b.data(), off); }

// An MDS handle as the simulated MDS makes them: 20 bytes in use.
Bytes mds_handle(uint64_t file_id, uint8_t type, uint8_t flags = 0) {
    Bytes h(TARN_MDS_HANDLE_BYTES);
    put64(h, TARN_MDS_HANDLE_FILE_ID, file_id);
    h[TARN_MDS_HANDLE_TYPE] = type;
    h[TARN_MDS_HANDLE_FLAGS] = flags;
    put64(h, 12, kFsId);
    h[TARN_MDS_HANDLE_LENGTH] = 20;
    return h;
}

Bytes mds_attrs(uint16_t type, uint16_t vdisk, uint64_t inode, uint32_t mode) {
    Bytes a(TARN_MDS_ATTR_BYTES);
    put16(a, TARN_MDS_ATTR_TYPE, type);
    put16(a, TARN_MDS_ATTR_VDISK_ID, vdisk);
    put64(a, TARN_MDS_ATTR_INODE_NUM, inode);
    put32(a, TARN_MDS_ATTR_MODE, mode);
    put32(a, TARN_MDS_ATTR_NLINKS, 1);
    return a;
}

Bytes post_op(uint64_t size) {
    Bytes p(TARN_POST_OP_BYTES);
    p[TARN_POST_OP_PRESENT] = TARN_WIRE_PRESENT;
    put64(p, TARN_POST_OP_VALUE1, size);
    return p;
}

Bytes wcc(uint64_t pre_size, uint64_t post_size) {
    Bytes w(TARN_WCC_BYTES);
    w[TARN_WCC_PRE_PRESENT] = TARN_WIRE_PRESENT;
    put64(w, TARN_WCC_PRE_VALUE, pre_size);
    Bytes p = post_op(post_size);
    std::copy(p.begin(), p.end(), w.begin() + TARN_WCC_POST);
    return w;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// An opaque the client would have made: vdisk, then the MDS handle.
struct Opaque {
    uint8_t bytes[TARN_OPAQUE_BUF_BYTES] = {};
    uint64_t len = 0;
};

Opaque opaque(uint16_t vdisk, uint64_t file_id, uint8_t type, uint8_t flags = 0) {
    Opaque o;
    Bytes h = mds_handle(file_id, type, flags);
    tarn_be_put_u16(o.bytes, TARN_OPAQUE_VDISK_ID, vdisk);
    tarn_be_put_u64(o.bytes, TARN_OPAQUE_FILE_ID, file_id);
    memcpy(o.bytes + TARN_OPAQUE_TYPE, h.data() + TARN_MDS_HANDLE_TYPE, 20 - 8);
    o.len = 22;
    return o;
}

// ---------------------------------------------------------------- scripted servers
struct Request {
    bool ds;
    uint32_t type;
    Bytes bytes;
};

struct Answer {
    enum Kind { Reply, Drop } kind = Reply;
    uint32_t status = 0;
    Bytes body;  // the reply's bytes after its 32-byte header
};

Answer ok(Bytes body = {}) { return Answer{Answer::Reply, 0, std::move(body)}; }
Answer status(uint32_t s, Bytes body = {}) { return Answer{Answer::Reply, s, std::move(body)}; }
Answer drop() { return Answer{Answer::Drop, 0, {}}; }

using Responder = std::function<Answer(const Request&)>;

class ScriptedServers {
   public:
    ScriptedServers() {
        EXPECT_EQ(kiv_process_init_(&process_), 0);
        EXPECT_EQ(kiv_process_start(&process_, "scripted"), 0);
        mds_port_ = listen(&mds_, TARN_MDS_MAX_MSG, &mds_side_);
        ds_port_ = listen(&ds_, TARN_DS_MAX_MSG, &ds_side_);
    }
    ~ScriptedServers() {
        kiv_rpc_server_close(mds_);
        kiv_rpc_server_close(ds_);
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
    }

    uint16_t mds_port() const { return mds_port_; }
    uint16_t ds_port() const { return ds_port_; }

    void on_mds(uint32_t type, Responder r) { set(false, type, std::move(r)); }
    void on_ds(uint32_t type, Responder r) { set(true, type, std::move(r)); }

    // Every disk i of `hosts` on the scripted DS, with token 0x100 + i.
    void set_map(std::vector<uint64_t> hosts) {
        on_mds(TARN_MDS_GET_VDISK_MAP, [this, hosts](const Request&) {
            Bytes body(8 + TARN_MDS_VDISK_ENTRY_BYTES * hosts.size());
            put32(body, 0, uint32_t(hosts.size()));
            for (size_t i = 0; i < hosts.size(); i++) {
                size_t e = 8 + i * TARN_MDS_VDISK_ENTRY_BYTES;
                put64(body, e + TARN_MDS_VDISK_ENTRY_TOKEN, 0x100 + i);
                put64(body, e + TARN_MDS_VDISK_ENTRY_HOST_ID, hosts[i]);
                put32(body, e + TARN_MDS_VDISK_ENTRY_IPV4, 0x7F000001);
                put16(body, e + TARN_MDS_VDISK_ENTRY_PORT, ds_port_);
            }
            return ok(body);
        });
    }

    std::vector<Request> requests(bool ds, uint32_t type) {
        std::lock_guard<std::mutex> g(mu_);
        std::vector<Request> out;
        for (const Request& r : log_)
            if (r.ds == ds && r.type == type) out.push_back(r);
        return out;
    }
    size_t count(bool ds, uint32_t type) { return requests(ds, type).size(); }
    size_t count_ds() {
        std::lock_guard<std::mutex> g(mu_);
        size_t n = 0;
        for (const Request& r : log_) n += r.ds;
        return n;
    }

   private:
    struct Side {
        ScriptedServers* self;
        bool ds;
    };

    uint16_t listen(kiv_rpc_server** server, uint32_t max_msg, Side* side) {
        *side = Side{this, server == &ds_};
        kiv_netaddr addr;
        EXPECT_EQ(kiv_parse_netaddr("127.0.0.1:0", &addr), 0);
        kiv_rpc_server_ops ops{};
        ops.on_request = on_request;
        EXPECT_EQ(kiv_rpc_listen(&process_, &addr, max_msg, &ops, side, server), 0);
        kiv_netaddr bound;
        kiv_rpc_server_addr(*server, &bound);
        return bound.port;
    }

    void set(bool ds, uint32_t type, Responder r) {
        std::lock_guard<std::mutex> g(mu_);
        (ds ? ds_responders_ : mds_responders_)[type] = std::move(r);
    }

    static void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
        auto* side = static_cast<Side*>(arg);
        side->self->handle(side->ds, c, req);
    }

    void handle(bool ds, kiv_rpc_sconn* c, kiv_msg* req) {
        Request r{ds, tarn_wire_get_u32(req->buf, TARN_MSG_TYPE), Bytes(req->buf, req->buf + req->kept_len)};
        Responder responder;
        {
            std::lock_guard<std::mutex> g(mu_);
            log_.push_back(r);
            auto& table = ds ? ds_responders_ : mds_responders_;
            auto it = table.find(r.type);
            if (it != table.end()) responder = it->second;
        }
        // Unscripted: a no-op succeeds, anything else is not served.
        Answer a = responder ? responder(r)
                   : (r.type == TARN_MDS_NOOP || r.type == TARN_DS_NOOP) ? ok()
                   : status(ds ? uint32_t(TARN_DS_INVAL) : uint32_t(TARN_MDS_NOT_IMPL));
        if (a.kind == Answer::Drop) {
            kiv_rpc_sconn_drop(c);
        } else {
            const uint32_t len = uint32_t(TARN_REPLY_HDR_BYTES + a.body.size());
            kiv_msg* rep = kiv_rpc_alloc_reply(req, len);
            tarn_reply_hdr_write(rep->buf, len, r.type + 1, a.status);
            if (!a.body.empty()) memcpy(rep->buf + TARN_REPLY_HDR_BYTES, a.body.data(), a.body.size());
            kiv_rpc_reply(c, rep);
        }
        kiv_free_msg(req);
    }

    kiv_process process_{};
    kiv_rpc_server* mds_ = nullptr;
    kiv_rpc_server* ds_ = nullptr;
    Side mds_side_{}, ds_side_{};
    uint16_t mds_port_ = 0, ds_port_ = 0;
    std::mutex mu_;
    std::map<uint32_t, Responder> mds_responders_, ds_responders_;
    std::vector<Request> log_;
};

// ---------------------------------------------------------------- fixture
class ClientApiScriptedTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { cluster_ = clienttest::start_cluster({{"unused", 0x1001}}); }
    static void TearDownTestSuite() { clienttest::stop_cluster(cluster_); }

    void SetUp() override {
        ASSERT_NE(cluster_, nullptr);
        tarn_call_set_timing(&kFastTiming);
        tarn_vdisk_locator_pause pause{20, 100};
        tarn_vdisk_locator_set_pause(&pause);
        saved_level_ = __kiv_log_level;
        __kiv_log_level = 0;
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        process_started_ = true;
        ASSERT_EQ(discov_create("local", nullptr, DISCOV_MODE_READ_ONLY, &process_, &discovery_), 0);
        ASSERT_EQ(discov_create("local", "tarn/mds", DISCOV_MODE_RPC, &process_, &registry_), 0);
        servers_ = std::make_unique<ScriptedServers>();
        servers_->set_map({kH1, kH2, kH1, kH3});
        ASSERT_EQ(register_mds(), 0);
    }

    void TearDown() override {
        if (fs_) tarn_client_close_fs(fs_);
        if (client_) tarn_client_destroy(client_);
        if (registered_) {
            clienttest::unregister_svc(&process_, registry_, "mds-scripted");
        }
        if (registry_) discov_destroy(registry_);
        if (discovery_) discov_destroy(discovery_);
        if (process_started_) {
            clienttest::stop_process(&process_);
        }
        servers_.reset();
        tarn_vdisk_locator_set_pause(nullptr);
        tarn_call_set_timing(nullptr);
        __kiv_log_level = saved_level_;
    }

    int register_mds() {
        int rc = clienttest::register_mds(&process_, registry_, "mds-scripted", kFsId, kFsName, kMdsHost,
                                          servers_->mds_port());
        registered_ = rc == 0;
        return rc;
    }

    // A client with the given retry time-outs (0 included), and the
    // scripted file system open.
    void open(uint32_t mds_timeout_ms = 2000, uint32_t ds_timeout_ms = 2000) {
        tarn_client_params p{};
        p.client_id = 0x5c1e7;
        p.epoch = 1;
        p.required_flag = 1;
        p.use_custom_timeouts = 1;
        p.mds_retry_timeout_ms = mds_timeout_ms;
        p.ds_retry_timeout_ms = ds_timeout_ms;
        ASSERT_EQ(tarn_client_create(&p, discovery_, &process_, &client_), 0);
        ASSERT_EQ(tarn_client_open_fs(client_, kFsName, &fs_), 0);
        ctx_.fs = fs_;
        ctx_.credentials = tarn_credentials{};
        ctx_.credentials.uid = 1234;
        ctx_.credentials.gid = 567;
        // The resolver learns the scripted MDS from the registry's watch.
        uint64_t host = 0;
        ASSERT_TRUE(rttest::wait_until([&] { return tarn_test_get_mds_host(fs_, &host) == TARN_ERR_OK; }));
        ASSERT_EQ(host, kMdsHost);
    }

    // Waits until the locator holds the map, by asking for a disk it names.
    void wait_for_map() {
        tarn_vdisk_location first{};
        ASSERT_EQ(tarn_vdisk_locator_wait_for_location(fs_->locator, 0, 10000, &first), 0);
    }

    static localcluster::Cluster* cluster_;
    int saved_level_ = 0;
    kiv_process process_{};
    bool process_started_ = false;
    discov* discovery_ = nullptr;
    discov* registry_ = nullptr;
    bool registered_ = false;
    std::unique_ptr<ScriptedServers> servers_;
    tarn_client* client_ = nullptr;
    tarn_fs* fs_ = nullptr;
    tarn_context ctx_{};
};

localcluster::Cluster* ClientApiScriptedTest::cluster_ = nullptr;

// ================================================================ test calls
TEST_F(ClientApiScriptedTest, DsHostsAreDistinctInMapOrderUpToTheCapacity) {
    ASSERT_NO_FATAL_FAILURE(open());
    // The file system's vdisk locator fetches the map once by itself, from a
    // thread of its own; on a busy machine that can come at any point of
    // the test. The first fetch the MDS sees is that one (the test has made
    // none yet), and it gets the full map, so no other follows: only this
    // test's own calls are counted below.
    ASSERT_TRUE(rttest::wait_until([&] { return servers_->count(false, TARN_MDS_GET_VDISK_MAP) != 0; }));
    ASSERT_EQ(servers_->count(false, TARN_MDS_GET_VDISK_MAP), 1u);
    uint64_t hosts[4] = {};
    uint32_t count = 0;
    EXPECT_EQ(tarn_test_get_ds_hosts(fs_, hosts, 2, &count), TARN_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(hosts[0], kH1);
    EXPECT_EQ(hosts[1], kH2);
    EXPECT_EQ(hosts[2], 0u);

    EXPECT_EQ(tarn_test_get_ds_hosts(fs_, hosts, 3, &count), TARN_ERR_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(hosts[2], kH3);

    // No room, also for a negative capacity: nothing is written.
    uint64_t untouched[2] = {42, 42};
    for (int32_t cap : {0, -1, -2147483647 - 1}) {
        count = 9;
        EXPECT_EQ(tarn_test_get_ds_hosts(fs_, untouched, cap, &count), TARN_ERR_BUFFER_TOO_SMALL) << cap;
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(untouched[0], 42u);
        EXPECT_EQ(untouched[1], 42u);
    }

    // An empty map holds no host, whatever the room.
    servers_->set_map({});
    count = 9;
    EXPECT_EQ(tarn_test_get_ds_hosts(fs_, nullptr, -5, &count), TARN_ERR_OK);
    EXPECT_EQ(count, 0u);

    // A map that cannot be read gives the call's error, once.
    servers_->on_mds(TARN_MDS_GET_VDISK_MAP, [](const Request&) { return status(TARN_MDS_DELAY); });
    const size_t before = servers_->count(false, TARN_MDS_GET_VDISK_MAP);
    EXPECT_EQ(tarn_test_get_ds_hosts(fs_, hosts, 4, &count), TARN_ERR_DELAY);
    EXPECT_EQ(servers_->count(false, TARN_MDS_GET_VDISK_MAP) - before, 1u);
}

TEST_F(ClientApiScriptedTest, ProbeReachesOnlyHostsOfTheMap) {
    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_EQ(tarn_test_probe_ds(fs_, 0xeeee), TARN_ERR_NOT_FOUND);
    EXPECT_EQ(servers_->count_ds(), 0u);

    ASSERT_EQ(tarn_test_probe_ds(fs_, kH2), TARN_ERR_OK);
    std::vector<Request> noops = servers_->requests(true, TARN_DS_NOOP);
    ASSERT_EQ(noops.size(), 1u);
    EXPECT_EQ(noops[0].bytes.size(), 512u);

    // An offline DS answers once, as "Delay".
    servers_->on_ds(TARN_DS_NOOP, [](const Request&) { return status(TARN_DS_DELAY); });
    EXPECT_EQ(tarn_test_probe_ds(fs_, kH3), TARN_ERR_DELAY);
    EXPECT_EQ(servers_->count(true, TARN_DS_NOOP), 2u);

    servers_->set_map({});
    EXPECT_EQ(tarn_test_probe_ds(fs_, kH1), TARN_ERR_NOT_FOUND);
}

Bytes fs_info_block(uint32_t flags) {
    Bytes b(TARN_MDS_FS_INFO_BYTES);
    for (size_t slot = 0; slot < 7; slot++) put64(b, slot * 8, 1000 + slot);
    put32(b, TARN_MDS_FS_INFO_BSIZE, 4096);
    put32(b, TARN_MDS_FS_INFO_FRSIZE, 512);
    put64(b, TARN_MDS_FS_INFO_MAXREAD, 1 << 20);
    put64(b, TARN_MDS_FS_INFO_MAXWRITE, 1 << 21);
    put64(b, TARN_MDS_FS_INFO_TIME_DELTA, 1);
    put32(b, TARN_MDS_FS_INFO_FLAGS, flags);
    put16(b, TARN_MDS_FS_INFO_VDISK_COUNT, 6);
    put64(b, TARN_MDS_FS_INFO_MIN_VDISK_FREE, 777);
    return b;
}

TEST_F(ClientApiScriptedTest, HealthAndFsInfoReadTheirOwnFlagBits) {
    ASSERT_NO_FATAL_FAILURE(open());
    struct Case {
        uint32_t flags;
        uint32_t health;
        uint32_t info_flags;
    };
    for (Case c : {Case{0x0, 0, 0x0}, Case{0x4, 0, 0x4}, Case{0x8, 1, 0x0}, Case{0x1, 1, 0x1}, Case{0x2, 1, 0x2},
                   Case{0xC, 1, 0x4}, Case{0xFFFFFFF0, 0, 0x0}}) {
        servers_->on_mds(TARN_MDS_GET_FS_INFO, [c](const Request&) { return ok(fs_info_block(c.flags)); });
        uint32_t health = 99;
        ASSERT_EQ(tarn_test_get_fs_health_status(fs_, &health), TARN_ERR_OK);
        EXPECT_EQ(health, c.health) << std::hex << c.flags;
        tarn_fs_info info{};
        ASSERT_EQ(tarn_client_get_fs_info(&ctx_, &info, nullptr), TARN_ERR_OK);
        EXPECT_EQ(info.flags, c.info_flags) << std::hex << c.flags;
        EXPECT_EQ(info.fs_id, 1000u);
        EXPECT_EQ(info.avail_files, 1006u);
        EXPECT_EQ(info.bsize, 4096u);
        EXPECT_EQ(info.frsize, 512u);
        EXPECT_EQ(info.maxread, 1u << 20);
        EXPECT_EQ(info.maxwrite, 1u << 21);
        EXPECT_EQ(info.time_delta, 1u);
        EXPECT_EQ(info.vdisk_count, 6u);
        EXPECT_EQ(info.min_vdisk_free_space, 777u);
    }
    // A failure writes neither.
    servers_->on_mds(TARN_MDS_GET_FS_INFO, [](const Request&) { return status(TARN_MDS_IO); });
    uint32_t health = 99;
    EXPECT_EQ(tarn_test_get_fs_health_status(fs_, &health), TARN_ERR_IO);
    EXPECT_EQ(health, 99u);
}

TEST_F(ClientApiScriptedTest, FsInfoTimeOutIsTheCallersWhenGiven) {
    ASSERT_NO_FATAL_FAILURE(open(600));
    servers_->on_mds(TARN_MDS_GET_FS_INFO, [](const Request&) { return status(TARN_MDS_DELAY); });
    tarn_fs_info info{};
    const uint32_t never = 0;
    EXPECT_EQ(tarn_client_get_fs_info(&ctx_, &info, &never), TARN_ERR_DELAY);
    EXPECT_EQ(servers_->count(false, TARN_MDS_GET_FS_INFO), 1u);
    // Without one the client's own (600 ms) lets the engine retry.
    EXPECT_EQ(tarn_client_get_fs_info(&ctx_, &info, nullptr), TARN_ERR_DELAY);
    EXPECT_GT(servers_->count(false, TARN_MDS_GET_FS_INFO), 3u);
}

TEST_F(ClientApiScriptedTest, CrashCallsSendTheirCodeAndTakeADropAsSuccess) {
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_NO_FATAL_FAILURE(wait_for_map());
    servers_->on_ds(TARN_DS_TEST, [](const Request&) { return drop(); });
    EXPECT_EQ(tarn_test_crash_one_ds(fs_), TARN_ERR_OK);
    // Disabling replication expects an answer: a dropped connection is an
    // error, reported after one attempt.
    EXPECT_EQ(tarn_test_disable_replication_on_one_ds(fs_), TARN_ERR_DELAY);
    std::vector<Request> tests = servers_->requests(true, TARN_DS_TEST);
    ASSERT_EQ(tests.size(), 2u);
    EXPECT_EQ(get32(tests[0].bytes, TARN_DS_TEST_CODE), 2u);
    EXPECT_EQ(get32(tests[1].bytes, TARN_DS_TEST_CODE), 1u);
    EXPECT_EQ(get32(tests[0].bytes, TARN_DS_TEST_CRC), kiv_crc32(tests[0].bytes.data() + TARN_DS_TEST_CODE, 8));

    servers_->on_ds(TARN_DS_TEST, [](const Request&) { return ok(); });
    EXPECT_EQ(tarn_test_disable_replication_on_one_ds(fs_), TARN_ERR_OK);
    servers_->on_ds(TARN_DS_TEST, [](const Request&) { return status(TARN_DS_INVAL); });
    EXPECT_EQ(tarn_test_crash_one_ds(fs_), TARN_ERR_INVAL);

    servers_->on_mds(TARN_MDS_TEST, [](const Request&) { return drop(); });
    EXPECT_EQ(tarn_test_crash_mds(fs_), TARN_ERR_OK);
    std::vector<Request> mds_tests = servers_->requests(false, TARN_MDS_TEST);
    ASSERT_EQ(mds_tests.size(), 1u);
    EXPECT_EQ(get32(mds_tests[0].bytes, TARN_MDS_TEST_CODE), 2u);
    // No caller credentials travel with the test calls.
    for (size_t i = 0; i < TARN_WIRE_CREDS_BYTES; i++) ASSERT_EQ(mds_tests[0].bytes[TARN_MDS_REQ_CREDS + i], 0);
}

// ================================================================ data path
TEST_F(ClientApiScriptedTest, DataCallsWaitForTheFirstMapAtMostTheMdsTimeOut) {
    servers_->on_mds(TARN_MDS_GET_VDISK_MAP, [](const Request&) { return status(TARN_MDS_NOT_IMPL); });
    ASSERT_NO_FATAL_FAILURE(open(400));
    Opaque file = opaque(1, 77, TARN_FILE_TYPE_REGULAR);
    char buf[8];
    uint32_t got = 5;
    bool eof = false;
    const auto t0 = Clock::now();
    EXPECT_EQ(tarn_client_read(&ctx_, file.bytes, file.len, 0, buf, sizeof buf, &got, &eof, nullptr), TARN_ERR_DELAY);
    EXPECT_GE(Clock::now() - t0, 350ms);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(servers_->count_ds(), 0u);

    servers_->set_map({kH1, kH2, kH1, kH3});
    // Until the locator has the map: a disk beyond it is a wrong handle, not
    // a wait.
    tarn_err err = TARN_ERR_DELAY;
    EXPECT_TRUE(rttest::wait_until([&] {
        err = tarn_client_read(&ctx_, opaque(4, 77, TARN_FILE_TYPE_REGULAR).bytes, 22, 0, buf, 8, &got, &eof, nullptr);
        return err != TARN_ERR_DELAY;
    }));
    EXPECT_EQ(err, TARN_ERR_INVAL);
    EXPECT_EQ(servers_->count_ds(), 0u);

    // Within the map: one read to the disk's DS with its token and the file.
    servers_->on_ds(TARN_DS_READ, [](const Request&) {
        Bytes body = post_op(3);
        body.resize(TARN_DS_READ_REP_DATA - TARN_REPLY_HDR_BYTES + 3);
        body[TARN_DS_READ_REP_FLAGS - 32] = TARN_DS_READ_FLAG_EOF;
        body[TARN_DS_READ_REP_COUNT - 32] = 3;
        memcpy(body.data() + TARN_DS_READ_REP_DATA - 32, "abc", 3);
        return ok(body);
    });
    tarn_post_op_data post{};
    ASSERT_EQ(tarn_client_read(&ctx_, file.bytes, file.len, 10, buf, sizeof buf, &got, &eof, &post), TARN_ERR_OK);
    EXPECT_EQ(got, 3u);
    EXPECT_TRUE(eof);
    EXPECT_EQ(memcmp(buf, "abc", 3), 0);
    EXPECT_EQ(post.present, 1);
    EXPECT_EQ(post.value1, 3u);
    std::vector<Request> reads = servers_->requests(true, TARN_DS_READ);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(get64(reads[0].bytes, TARN_DS_REQ_LOCATION_TOKEN), 0x101u);
    EXPECT_EQ(get64(reads[0].bytes, TARN_DS_REQ_FILE_ID), 77u);
    EXPECT_EQ(get32(reads[0].bytes, TARN_DS_REQ_CREDS), 1234u);
    EXPECT_EQ(get64(reads[0].bytes, TARN_DS_READ_OFFSET), 10u);
    EXPECT_EQ(get32(reads[0].bytes, TARN_DS_READ_COUNT), 8u);
}

TEST_F(ClientApiScriptedTest, FallocateOfAnObjectWithoutDiskAsksNoOne) {
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_NO_FATAL_FAILURE(wait_for_map());
    Opaque dir = opaque(TARN_VDISK_ID_NONE, 5, TARN_FILE_TYPE_DIRECTORY);
    EXPECT_EQ(tarn_client_fallocate(&ctx_, dir.bytes, dir.len, 0, 4096), TARN_ERR_INVAL);
    EXPECT_EQ(servers_->count_ds(), 0u);

    servers_->on_ds(TARN_DS_MODIFY_RANGE, [](const Request&) { return ok(); });
    Opaque file = opaque(2, 6, TARN_FILE_TYPE_REGULAR);
    ASSERT_EQ(tarn_client_fallocate(&ctx_, file.bytes, file.len, 12345, 100500), TARN_ERR_OK);
    std::vector<Request> r = servers_->requests(true, TARN_DS_MODIFY_RANGE);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(get32(r[0].bytes, TARN_DS_MODIFY_OP), TARN_DS_MODIFY_ALLOCATE);
    EXPECT_EQ(get32(r[0].bytes, TARN_DS_MODIFY_FLAGS), 0u);
    EXPECT_EQ(get64(r[0].bytes, TARN_DS_MODIFY_OFFSET), 12345u);
    EXPECT_EQ(get64(r[0].bytes, TARN_DS_MODIFY_LENGTH), 100500u);
}

TEST_F(ClientApiScriptedTest, UnmountedDiskAnswersDelay) {
    ASSERT_NO_FATAL_FAILURE(open(2000, 0));
    ASSERT_NO_FATAL_FAILURE(wait_for_map());
    servers_->on_ds(TARN_DS_WRITE, [](const Request&) { return status(TARN_DS_NOT_MOUNTED, wcc(1, 2)); });
    Opaque file = opaque(3, 9, TARN_FILE_TYPE_REGULAR);
    uint32_t written = 77;
    tarn_wcc_data w{};
    EXPECT_EQ(tarn_client_write(&ctx_, file.bytes, file.len, 0, "xy", 2, true, &written, nullptr, &w),
              TARN_ERR_DELAY);
    EXPECT_EQ(written, 77u);
    // The error reply's blocks still reach the caller.
    EXPECT_EQ(w.pre_present, 1);
    EXPECT_EQ(w.post.value1, 2u);
    std::vector<Request> r = servers_->requests(true, TARN_DS_WRITE);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes.size(), 1024u);
    EXPECT_EQ(get32(r[0].bytes, TARN_DS_WRITE_STABLE), 1u);
    EXPECT_EQ(memcmp(r[0].bytes.data() + TARN_DS_WRITE_HDR_BYTES, "xy", 2), 0);
}

// ================================================================ routing
TEST_F(ClientApiScriptedTest, AttributesGoToTheDsForFilesAndTheMdsOtherwise) {
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_NO_FATAL_FAILURE(wait_for_map());
    servers_->on_ds(TARN_DS_GET_ATTRS, [](const Request&) {
        Bytes a(TARN_DS_ATTR_BYTES);
        put64(a, TARN_DS_ATTR_INODE_NUM, 9);
        put32(a, TARN_DS_ATTR_MODE, 0600);
        put64(a, TARN_DS_ATTR_SIZE, 4242);
        return ok(a);
    });
    servers_->on_mds(TARN_MDS_GET_ATTRS,
                     [](const Request&) { return ok(mds_attrs(TARN_FILE_TYPE_DIRECTORY, 0xFFFF, 5, 0755)); });
    tarn_attr attrs{};
    Opaque file = opaque(1, 9, TARN_FILE_TYPE_REGULAR);
    ASSERT_EQ(tarn_client_get_attr(&ctx_, file.bytes, file.len, &attrs), TARN_ERR_OK);
    EXPECT_EQ(attrs.type, TARN_FILE_TYPE_REGULAR);
    EXPECT_EQ(attrs.inode_num, 9u);
    EXPECT_EQ(attrs.size, 4242u);
    Opaque dir = opaque(TARN_VDISK_ID_NONE, 5, TARN_FILE_TYPE_DIRECTORY);
    ASSERT_EQ(tarn_client_get_attr(&ctx_, dir.bytes, dir.len, &attrs), TARN_ERR_OK);
    EXPECT_EQ(attrs.type, TARN_FILE_TYPE_DIRECTORY);
    EXPECT_EQ(attrs.mode, 0755u);
    EXPECT_EQ(servers_->count(true, TARN_DS_GET_ATTRS), 1u);
    EXPECT_EQ(servers_->count(false, TARN_MDS_GET_ATTRS), 1u);

    // The guard travels as a 16-byte time, or as zeros when there is none.
    servers_->on_ds(TARN_DS_SET_ATTRS, [](const Request&) { return ok(wcc(0, 0)); });
    servers_->on_mds(TARN_MDS_SET_ATTRS, [](const Request&) { return ok(wcc(0, 0)); });
    tarn_attr_update u{};
    u.mask = TARN_SET_UID;
    u.attr.uid = 31;
    ASSERT_EQ(tarn_client_set_attr(&ctx_, file.bytes, file.len, &u, 0x1122334455667788ull, nullptr), TARN_ERR_OK);
    ASSERT_EQ(tarn_client_set_attr(&ctx_, dir.bytes, dir.len, &u, 0, nullptr), TARN_ERR_OK);
    Bytes ds_req = servers_->requests(true, TARN_DS_SET_ATTRS).at(0).bytes;
    EXPECT_EQ(get64(ds_req, TARN_DS_SET_ATTRS_GUARD), 0x1122334455667788ull);
    EXPECT_EQ(get64(ds_req, TARN_DS_SET_ATTRS_GUARD + 8), 0u);
    EXPECT_EQ(get32(ds_req, TARN_DS_SET_ATTRS_UPDATE), uint32_t(TARN_DS_SET_UID));
    Bytes mds_req = servers_->requests(false, TARN_MDS_SET_ATTRS).at(0).bytes;
    EXPECT_EQ(get64(mds_req, TARN_MDS_SET_ATTRS_GUARD), 0u);
    EXPECT_EQ(get64(mds_req, TARN_MDS_SET_ATTRS_GUARD + 8), 0u);
    EXPECT_EQ(get32(mds_req, TARN_MDS_SET_ATTRS_UPDATE), uint32_t(TARN_MDS_SET_UID));
}

TEST_F(ClientApiScriptedTest, XattrsGoWhereTheHandleSays) {
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_NO_FATAL_FAILURE(wait_for_map());
    servers_->on_mds(TARN_MDS_REMOVE_XATTR, [](const Request&) { return ok(); });
    servers_->on_ds(TARN_DS_REMOVE_XATTR, [](const Request&) { return ok(); });
    Opaque on_mds = opaque(1, 9, TARN_FILE_TYPE_REGULAR);
    Opaque on_ds = opaque(1, 9, TARN_FILE_TYPE_REGULAR, TARN_MDS_HANDLE_XATTRS_ON_DS);
    EXPECT_EQ(tarn_client_remove_xattr(&ctx_, on_mds.bytes, on_mds.len, "user.a"), TARN_ERR_OK);
    EXPECT_EQ(servers_->count(false, TARN_MDS_REMOVE_XATTR), 1u);
    EXPECT_EQ(servers_->count(true, TARN_DS_REMOVE_XATTR), 0u);
    EXPECT_EQ(tarn_client_remove_xattr(&ctx_, on_ds.bytes, on_ds.len, "user.a"), TARN_ERR_OK);
    EXPECT_EQ(servers_->count(true, TARN_DS_REMOVE_XATTR), 1u);
}

// A value asked into a buffer too small for it is refused by both servers'
// paths the same way; a buffer of capacity 0 is no exception.
TEST_F(ClientApiScriptedTest, XattrIntoTooSmallBufferIsBufferTooSmallOnBothPaths) {
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_NO_FATAL_FAILURE(wait_for_map());
    auto too_small = [](uint32_t st) {
        return [st](const Request&) {
            Bytes body(8);
            put32(body, 0, 5);  // the value's size
            return status(st, body);
        };
    };
    servers_->on_ds(TARN_DS_GET_XATTR, too_small(TARN_DS_BUFFER_TOO_SMALL));
    servers_->on_mds(TARN_MDS_GET_XATTR, too_small(TARN_MDS_TOO_BIG));
    for (const Opaque& obj : {opaque(1, 9, TARN_FILE_TYPE_REGULAR, TARN_MDS_HANDLE_XATTRS_ON_DS),
                              opaque(TARN_VDISK_ID_NONE, 5, TARN_FILE_TYPE_DIRECTORY)}) {
        char value[4];
        for (uint64_t cap : {0ull, 4ull}) {
            tarn_opaque_buf buf{cap ? value : nullptr, 33, cap};
            EXPECT_EQ(tarn_client_get_xattr(&ctx_, obj.bytes, obj.len, "user.v", &buf, nullptr),
                      TARN_ERR_BUFFER_TOO_SMALL)
                << cap;
            EXPECT_EQ(buf.size, 33u);
            uint64_t needed = 0;
            EXPECT_EQ(tarn_client_get_xattr(&ctx_, obj.bytes, obj.len, "user.v", &buf, &needed),
                      TARN_ERR_BUFFER_TOO_SMALL)
                << cap;
            EXPECT_EQ(needed, 5u);
        }
    }
    EXPECT_EQ(servers_->count(true, TARN_DS_GET_XATTR), 4u);
    EXPECT_EQ(servers_->count(false, TARN_MDS_GET_XATTR), 4u);

    // A value that fits lands in the buffer with its length.
    servers_->on_ds(TARN_DS_GET_XATTR, [](const Request&) {
        Bytes body(8 + 5);
        put32(body, 0, 5);
        memcpy(body.data() + 8, "hello", 5);
        return ok(body);
    });
    char value[8] = {};
    tarn_opaque_buf buf{value, 0, sizeof value};
    uint64_t needed = 0;
    Opaque f = opaque(1, 9, TARN_FILE_TYPE_REGULAR, TARN_MDS_HANDLE_XATTRS_ON_DS);
    ASSERT_EQ(tarn_client_get_xattr(&ctx_, f.bytes, f.len, "user.v", &buf, &needed), TARN_ERR_OK);
    EXPECT_EQ(buf.size, 5u);
    EXPECT_EQ(needed, 5u);
    EXPECT_EQ(memcmp(value, "hello", 5), 0);
    Bytes req = servers_->requests(true, TARN_DS_GET_XATTR).back().bytes;
    EXPECT_EQ(get32(req, TARN_DS_GET_XATTR_MAX_REPLY), 8u + 40u);
}

// ================================================================ namespace
TEST_F(ClientApiScriptedTest, CreatesChooseVerifiersAndEncodeHandles) {
    ASSERT_NO_FATAL_FAILURE(open());
    servers_->on_mds(TARN_MDS_CREATE_FILE, [](const Request& r) {
        // Flags bit 0 clear: the object was there already.
        Bytes flags(8);
        put32(flags, 0, get32(r.bytes, TARN_MDS_CREATE_MODE) == TARN_CREATE_UNCHECKED ? 0 : 1);
        return ok(cat({mds_handle(40, TARN_FILE_TYPE_REGULAR), mds_attrs(TARN_FILE_TYPE_REGULAR, 3, 40, 0644),
                       wcc(0, 1), flags}));
    });
    servers_->on_mds(TARN_MDS_MKDIR, [](const Request&) {
        return ok(cat({mds_handle(41, TARN_FILE_TYPE_DIRECTORY), mds_attrs(TARN_FILE_TYPE_DIRECTORY, 0, 41, 0755),
                       wcc(0, 1)}));
    });
    Opaque parent = opaque(TARN_VDISK_ID_NONE, 1, TARN_FILE_TYPE_DIRECTORY);
    uint8_t out[TARN_OPAQUE_BUF_BYTES];
    tarn_opaque_buf buf{out, 0, sizeof out};
    bool created = false;
    tarn_attr attrs{};

    struct Case {
        tarn_create_mode mode;
        uint64_t verifier;
    };
    for (Case c : {Case{TARN_CREATE_GUARDED, 0}, Case{TARN_CREATE_UNCHECKED, 0}, Case{TARN_CREATE_EXCLUSIVE, 0},
                   Case{TARN_CREATE_EXCLUSIVE, 77}, Case{TARN_CREATE_GUARDED, 78}}) {
        ASSERT_EQ(tarn_client_create_file(&ctx_, parent.bytes, parent.len, "f", c.mode, nullptr, c.verifier, &buf,
                                          &created, &attrs, nullptr),
                  TARN_ERR_OK);
        Bytes req = servers_->requests(false, TARN_MDS_CREATE_FILE).back().bytes;
        EXPECT_EQ(get32(req, TARN_MDS_CREATE_MODE), c.mode);
        const uint64_t sent = get64(req, TARN_MDS_CREATE_VERIFIER);
        if (c.verifier != 0 || c.mode == TARN_CREATE_EXCLUSIVE)
            EXPECT_EQ(sent, c.verifier);
        else
            EXPECT_NE(sent, 0u);
        EXPECT_EQ(created, c.mode != TARN_CREATE_UNCHECKED);
        EXPECT_EQ(get32(req, TARN_MDS_REQ_CREDS), 1234u);
    }
    // A regular file's opaque starts with its disk and carries 20 bytes of
    // MDS handle.
    EXPECT_EQ(buf.size, 22u);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x03);
    EXPECT_EQ(attrs.inode_num, 40u);

    ASSERT_EQ(tarn_client_create_dir(&ctx_, parent.bytes, parent.len, "d", nullptr, 0, &buf, nullptr, nullptr),
              TARN_ERR_OK);
    EXPECT_NE(get64(servers_->requests(false, TARN_MDS_MKDIR).back().bytes, TARN_MDS_MKDIR_VERIFIER), 0u);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xFF);

    // The handle buffer is judged after the server made the object.
    tarn_opaque_buf tiny{out, 0, 21};
    tarn_wcc_data w{};
    EXPECT_EQ(tarn_client_create_dir(&ctx_, parent.bytes, parent.len, "d", nullptr, 9, &tiny, nullptr, &w),
              TARN_ERR_INVAL);
    EXPECT_EQ(tiny.size, 0u);
    EXPECT_EQ(w.post.present, 1);
    EXPECT_EQ(servers_->count(false, TARN_MDS_MKDIR), 2u);
}

TEST_F(ClientApiScriptedTest, LookupIntoNoRoomFailsButReportsTheDirectory) {
    ASSERT_NO_FATAL_FAILURE(open());
    servers_->on_mds(TARN_MDS_LOOKUP, [](const Request&) {
        return ok(cat({mds_handle(8, TARN_FILE_TYPE_REGULAR), mds_attrs(TARN_FILE_TYPE_REGULAR, 2, 8, 0644),
                       post_op(4096)}));
    });
    tarn_opaque_buf none{nullptr, 0, 0};
    tarn_post_op_data post{};
    EXPECT_EQ(tarn_client_lookup(&ctx_, nullptr, 0, "/x", &none, nullptr, &post), TARN_ERR_INVAL);
    EXPECT_EQ(post.present, 1);
    EXPECT_EQ(post.value1, 4096u);
    // The root lookup sends the all-zero handle.
    Bytes req = servers_->requests(false, TARN_MDS_LOOKUP).at(0).bytes;
    for (size_t i = 0; i < TARN_MDS_HANDLE_BYTES; i++) ASSERT_EQ(req[TARN_MDS_LOOKUP_DIR + i], 0) << i;

    servers_->on_mds(TARN_MDS_LOOKUP, [](const Request&) { return status(TARN_MDS_NOT_FOUND, post_op(7)); });
    uint8_t out[TARN_OPAQUE_BUF_BYTES];
    tarn_opaque_buf buf{out, 0, sizeof out};
    post = tarn_post_op_data{};
    EXPECT_EQ(tarn_client_lookup(&ctx_, nullptr, 0, "/y", &buf, nullptr, &post), TARN_ERR_NOT_FOUND);
    EXPECT_EQ(post.present, 1);
    EXPECT_EQ(post.value1, 7u);
    EXPECT_EQ(buf.size, 0u);
}

TEST_F(ClientApiScriptedTest, RenameAndRemoveAreSentOnce) {
    ASSERT_NO_FATAL_FAILURE(open(1000));
    for (uint32_t type : {uint32_t(TARN_MDS_RENAME), uint32_t(TARN_MDS_REMOVE), uint32_t(TARN_MDS_LOOKUP)})
        servers_->on_mds(type, [](const Request&) { return status(TARN_MDS_DELAY); });
    Opaque dir = opaque(TARN_VDISK_ID_NONE, 1, TARN_FILE_TYPE_DIRECTORY);
    EXPECT_EQ(tarn_client_rename(&ctx_, dir.bytes, dir.len, "a", dir.bytes, dir.len, "b", nullptr, nullptr),
              TARN_ERR_DELAY);
    EXPECT_EQ(tarn_client_remove(&ctx_, dir.bytes, dir.len, "a", nullptr), TARN_ERR_DELAY);
    EXPECT_EQ(servers_->count(false, TARN_MDS_RENAME), 1u);
    EXPECT_EQ(servers_->count(false, TARN_MDS_REMOVE), 1u);
    // Other calls are repeated within the retry time-out. How often depends
    // on how fast the machine is; the one repeat does not (the deadline only
    // starts at the first failure).
    uint8_t out[TARN_OPAQUE_BUF_BYTES];
    tarn_opaque_buf buf{out, 0, sizeof out};
    EXPECT_EQ(tarn_client_lookup(&ctx_, dir.bytes, dir.len, "a", &buf, nullptr, nullptr), TARN_ERR_DELAY);
    EXPECT_GE(servers_->count(false, TARN_MDS_LOOKUP), 2u);
}

// A readdir reply of `n` entries (regular files on disk 2, then a
// directory) named e0, e1, ...
Bytes readdir_reply(int n, bool more) {
    Bytes body = post_op(0);
    Bytes words(8);
    put32(words, 0, more ? 1 : 0);
    put32(words, 4, uint32_t(n));
    body = cat({body, words});
    const size_t names_at = TARN_MDS_READDIR_REP_ENTRIES + size_t(n) * TARN_MDS_DIRENT_BYTES;
    std::string names;
    for (int i = 0; i < n; i++) {
        const bool dir = i == n - 1;
        Bytes e = cat({mds_handle(100 + i, dir ? TARN_FILE_TYPE_DIRECTORY : TARN_FILE_TYPE_REGULAR),
                       mds_attrs(dir ? TARN_FILE_TYPE_DIRECTORY : TARN_FILE_TYPE_REGULAR, dir ? 0xFFFF : 2, 100 + i,
                                 0644),
                       Bytes(16)});
        put64(e, TARN_MDS_DIRENT_COOKIE, 10 + i);
        put32(e, TARN_MDS_DIRENT_NAME_OFFSET, uint32_t(names_at + names.size()));
        body = cat({body, e});
        names += "e" + std::to_string(i);
        names.push_back('\0');
    }
    body.insert(body.end(), names.begin(), names.end());
    return body;
}

struct Entry {
    std::string name;
    Bytes opaque;
    bool has_attrs;
    uint16_t type;
    uint64_t cookie;
};

struct Collector {
    std::vector<Entry> entries;
    size_t stop_after = 1000;
    static bool add(const char* name, const void* opaque, uint64_t len, const tarn_attr* attrs, uint64_t cookie,
                    void* arg) {
        auto* self = static_cast<Collector*>(arg);
        const auto* p = static_cast<const uint8_t*>(opaque);
        self->entries.push_back(Entry{name, Bytes(p, p + len), attrs != nullptr, attrs ? attrs->type : uint16_t(0),
                                      cookie});
        return self->entries.size() < self->stop_after;
    }
};

TEST_F(ClientApiScriptedTest, ReadDirHandsOutOpaquesAndTheServersEndFlag) {
    ASSERT_NO_FATAL_FAILURE(open());
    Opaque dir = opaque(TARN_VDISK_ID_NONE, 1, TARN_FILE_TYPE_DIRECTORY);
    servers_->on_mds(TARN_MDS_READDIR, [](const Request&) { return ok(readdir_reply(3, true)); });
    Collector all;
    bool eof = true;
    tarn_post_op_data post{};
    ASSERT_EQ(tarn_client_read_dir(&ctx_, dir.bytes, dir.len, 0, true, Collector::add, &all, &eof, &post),
              TARN_ERR_OK);
    EXPECT_FALSE(eof);
    EXPECT_EQ(post.present, 1);
    ASSERT_EQ(all.entries.size(), 3u);
    EXPECT_EQ(all.entries[0].name, "e0");
    EXPECT_EQ(all.entries[0].cookie, 10u);
    ASSERT_EQ(all.entries[0].opaque.size(), 22u);
    EXPECT_EQ(all.entries[0].opaque[1], 2);
    EXPECT_TRUE(all.entries[0].has_attrs);
    EXPECT_EQ(all.entries[0].type, TARN_FILE_TYPE_REGULAR);
    EXPECT_EQ(all.entries[2].opaque[0], 0xFF);
    EXPECT_EQ(all.entries[2].type, TARN_FILE_TYPE_DIRECTORY);

    // Stopping early keeps the server's flag; without attributes none come.
    servers_->on_mds(TARN_MDS_READDIR, [](const Request&) { return ok(readdir_reply(3, false)); });
    Collector first;
    first.stop_after = 1;
    eof = false;
    ASSERT_EQ(tarn_client_read_dir(&ctx_, dir.bytes, dir.len, 10, false, Collector::add, &first, &eof, nullptr),
              TARN_ERR_OK);
    EXPECT_TRUE(eof);
    ASSERT_EQ(first.entries.size(), 1u);
    EXPECT_FALSE(first.entries[0].has_attrs);
    EXPECT_EQ(get64(servers_->requests(false, TARN_MDS_READDIR).back().bytes, TARN_MDS_READDIR_COOKIE), 10u);
}

}  // namespace

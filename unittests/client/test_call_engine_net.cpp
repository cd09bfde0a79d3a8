// The MDS call engine end to end: a client (resolver over the simulated
// cluster's registry, connection pool, MDS client) against a small scripted
// MDS that this test runs with the runtime's server API and registers in the
// registry itself. The engine's intervals are shortened so back-off
// schedules take a second or two.
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/tarn_call_engine.h"
#include "client/tarn_cancel.h"
#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_mds_client.h"
#include "client/tarn_mds_resolver.h"
#include "client/tarn_wire.h"
#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"
#include "localcluster/cluster.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint64_t kFsId = 0x7001;
constexpr const char* kFsName = "enginefs";
constexpr uint64_t kMdsHost = 0xb1;
constexpr uint64_t kClientId = 0x5eed5eed12345678ull;

// Shortened engine intervals: the default schedule divided by ten.
constexpr uint32_t kBase = 100;
constexpr tarn_call_timing kFastTiming = {kBase, 6000, 20, 100};

long ms_between(Clock::time_point a, Clock::time_point b) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

// ---------------------------------------------------------------- scripted MDS
struct Action {
    enum Kind { Reply, ReplyLater, DropLater, Short, ErrorFrame } kind = Reply;
    uint32_t status = 0;  // Reply, ReplyLater; the runtime code for ErrorFrame
    uint32_t ms = 0;      // ReplyLater, DropLater
    uint32_t len = 0;     // Short
};

Action reply(uint32_t status) { return Action{Action::Reply, status, 0, 0}; }
Action reply_later(uint32_t ms, uint32_t status) { return Action{Action::ReplyLater, status, ms, 0}; }
Action drop_later(uint32_t ms) { return Action{Action::DropLater, 0, ms, 0}; }
Action short_reply(uint32_t len) { return Action{Action::Short, 0, 0, len}; }
Action error_frame(uint32_t code) { return Action{Action::ErrorFrame, code, 0, 0}; }

struct Received {
    Clock::time_point at;
    uint64_t conn_id = 0;
    uint32_t length = 0;
    tarn_mds_req_hdr hdr{};
    bool creds_zero = true;
};

class TestMds {
   public:
    TestMds() {
        EXPECT_EQ(kiv_process_init_(&process_), 0);
        EXPECT_EQ(kiv_process_start(&process_, "test-mds"), 0);
    }

    ~TestMds() {
        stop();
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
    }

    uint16_t start() {
        kiv_netaddr addr;
        EXPECT_EQ(kiv_parse_netaddr("127.0.0.1:0", &addr), 0);
        kiv_rpc_server_ops ops{};
        ops.on_request = on_request;
        EXPECT_EQ(kiv_rpc_listen(&process_, &addr, TARN_MDS_MAX_MSG, &ops, this, &server_), 0);
        kiv_netaddr bound;
        kiv_rpc_server_addr(server_, &bound);
        port_ = bound.port;
        return port_;
    }

    // A crash: stop listening and drop every connection.
    void stop() {
        join_later();
        if (server_ != nullptr) kiv_rpc_server_close(server_);
        server_ = nullptr;
    }

    uint16_t port() const { return port_; }

    void script(std::vector<Action> actions) {
        std::lock_guard<std::mutex> g(mu_);
        script_.assign(actions.begin(), actions.end());
    }
    void set_default(Action a) {
        std::lock_guard<std::mutex> g(mu_);
        default_ = a;
    }
    // Answers status 1 to a client's first request without the re-send
    // flag, as a server that has not met the client's epoch does.
    void set_epoch_strict(bool on) {
        std::lock_guard<std::mutex> g(mu_);
        epoch_strict_ = on;
    }

    std::vector<Received> received() {
        std::lock_guard<std::mutex> g(mu_);
        return received_;
    }

    bool wait_received(size_t n, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> g(mu_);
        return cv_.wait_for(g, limit, [&] { return received_.size() >= n; });
    }

   private:
    static void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
        static_cast<TestMds*>(arg)->handle(c, req);
    }

    void handle(kiv_rpc_sconn* c, kiv_msg* req) {
        Received r;
        r.at = Clock::now();
        r.conn_id = kiv_rpc_sconn_id(c);
        r.length = req->kept_len;
        if (tarn_mds_req_hdr_read(req->buf, req->kept_len, &r.hdr) == 0)
            r.creds_zero = std::all_of(r.hdr.credentials, r.hdr.credentials + TARN_WIRE_CREDS_BYTES,
                                       [](uint8_t b) { return b == 0; });
        Action a;
        {
            std::lock_guard<std::mutex> g(mu_);
            received_.push_back(r);
            cv_.notify_all();
            const bool resend = (r.hdr.flags & TARN_REQ_FLAG_EPOCH_RESEND) != 0;
            if (resend) known_clients_.insert(r.hdr.client_id);
            if (epoch_strict_ && !resend && known_clients_.count(r.hdr.client_id) == 0) {
                a = reply(TARN_MDS_EPOCH_UNKNOWN);
            } else if (!script_.empty()) {
                a = script_.front();
                script_.pop_front();
            } else {
                a = default_;
            }
        }
        switch (a.kind) {
        case Action::Reply:
            send_reply(c, req, a.status);
            break;
        case Action::Short:
            kiv_rpc_reply(c, kiv_rpc_alloc_reply(req, a.len));
            break;
        case Action::ErrorFrame:
            kiv_rpc_reply_error(c, req, a.status);
            break;
        case Action::ReplyLater:
        case Action::DropLater: {
            kiv_msg* rep = kiv_rpc_alloc_reply(req, TARN_REPLY_HDR_BYTES);
            tarn_reply_hdr_write(rep->buf, TARN_REPLY_HDR_BYTES, tarn_wire_get_u32(req->buf, TARN_MSG_TYPE) + 1,
                                 a.status);
            kiv_rpc_sconn_ref(c);
            std::lock_guard<std::mutex> g(mu_);
            later_.emplace_back([c, rep, a] {
                std::this_thread::sleep_for(std::chrono::milliseconds(a.ms));
                if (a.kind == Action::ReplyLater) {
                    kiv_rpc_reply(c, rep);
                } else {
                    kiv_free_msg(rep);
                    kiv_rpc_sconn_drop(c);
                }
                kiv_rpc_sconn_unref(c);
            });
            break;
        }
        }
        kiv_free_msg(req);
    }

    static void send_reply(kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status) {
        kiv_msg* rep = kiv_rpc_alloc_reply(req, TARN_REPLY_HDR_BYTES);
        tarn_reply_hdr_write(rep->buf, TARN_REPLY_HDR_BYTES, tarn_wire_get_u32(req->buf, TARN_MSG_TYPE) + 1, status);
        kiv_rpc_reply(c, rep);
    }

    void join_later() {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> g(mu_);
            threads.swap(later_);
        }
        for (auto& t : threads) t.join();
    }

    kiv_process process_{};
    kiv_rpc_server* server_ = nullptr;
    uint16_t port_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Action> script_;
    Action default_{};
    bool epoch_strict_ = false;
    std::set<uint64_t> known_clients_;
    std::vector<Received> received_;
    std::vector<std::thread> later_;
};

// ---------------------------------------------------------------- log capture
struct LogLine {
    int level;
    std::string text;
};

struct LogCapture {
    std::mutex mu;
    std::vector<LogLine> lines;

    static void hook(int level, const char* line, void* arg) {
        auto* self = static_cast<LogCapture*>(arg);
        std::lock_guard<std::mutex> g(self->mu);
        self->lines.push_back(LogLine{level, line});
    }
    int count(const std::string& text, int level = -1) {
        std::lock_guard<std::mutex> g(mu);
        int n = 0;
        for (const auto& l : lines)
            n += l.text.find(text) != std::string::npos && (level < 0 || l.level == level);
        return n;
    }
    std::string dump() {
        std::lock_guard<std::mutex> g(mu);
        std::string s;
        for (const auto& l : lines) s += l.text + "\n";
        return s;
    }
};

struct EpochSource {
    std::atomic<uint32_t> epoch{1};
    std::atomic<int> calls{0};
    static int get(void* ctx, uint32_t* out) {
        auto* self = static_cast<EpochSource*>(ctx);
        self->calls++;
        *out = self->epoch;
        return 0;
    }
};

// ---------------------------------------------------------------- fixture
class MdsCallEngineTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        localcluster::ClusterConfig cfg;
        cfg.fs.push_back(localcluster::FsConfig{"unused", 0x1001});
        cfg.lock_servers = false;
        cfg.log_level = 0;
        cluster_ = localcluster::Cluster::start(cfg).release();
    }
    static void TearDownTestSuite() {
        delete cluster_;
        cluster_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(cluster_, nullptr);
        tarn_call_set_timing(&kFastTiming);
        saved_level_ = __kiv_log_level;
        __kiv_log_level = 4;
        kiv_log_set_hook(LogCapture::hook, &log_);

        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ASSERT_EQ(discov_create("local", nullptr, DISCOV_MODE_READ_ONLY, &process_, &discovery_), 0);
        ASSERT_EQ(discov_create("local", "tarn/mds", DISCOV_MODE_RPC, &process_, &registry_), 0);
        ASSERT_EQ(mds_resolver_create(discovery_, &process_, &resolver_), 0);
        ASSERT_EQ(tarn_conn_factory_create(kClientId, &process_, &factory_), 0);
        ASSERT_EQ(tarn_conn_pool_create(1, factory_, tarn_conn_create, &pool_), 0);

        server_ = std::make_unique<TestMds>();
        server_->start();
        ASSERT_EQ(put_record("mds-7001", kFsId, kFsName, server_->port()), 0);
        ASSERT_TRUE(wait_for_port(kFsId, server_->port()));
        client_ = make_client(kFsName);
        ASSERT_NE(client_, nullptr);
    }

    void TearDown() override {
        for (const std::string& id : registered_) {
            kiv_move_to_coroutine(&process_);
            discov_co_unregister_svc(registry_, id.c_str(), nullptr);
            kiv_move_from_coroutine();
        }
        for (mds_client* c : clients_) mds_client_destroy(c);
        tarn_conn_pool_destroy(pool_);
        tarn_conn_factory_destroy(factory_);
        if (resolver_) mds_resolver_destroy(resolver_);
        discov_destroy(registry_);
        discov_destroy(discovery_);
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
        server_.reset();
        kiv_log_set_hook(nullptr, nullptr);
        __kiv_log_level = saved_level_;
        tarn_call_set_timing(nullptr);
        if (HasFailure()) fprintf(stderr, "captured log:\n%s", log_.dump().c_str());
    }

    mds_client* make_client(const char* fs_name) {
        mds_client* c = nullptr;
        EXPECT_EQ(mds_client_create(fs_name, pool_, kClientId, EpochSource::get, &epoch_, resolver_, &process_, &c),
                  0);
        if (c) clients_.push_back(c);
        return c;
    }

    int put_record(const char* id, uint64_t fs_id, const char* fs_name, uint16_t port) {
        char fsid_tag[40];
        snprintf(fsid_tag, sizeof fsid_tag, "fsid:%lx", fs_id);
        std::string name_tag = std::string("fsname:") + fs_name;
        char* tags[2] = {fsid_tag, name_tag.data()};
        discov_svc svc;
        discov_svc_init(&svc);
        svc.name = const_cast<char*>("mds");
        svc.id = const_cast<char*>(id);
        svc.host_id = kMdsHost;
        svc.tags = tags;
        svc.tag_count = 2;
        svc.addr = const_cast<char*>("127.0.0.1");
        svc.port = port;
        kiv_move_to_coroutine(&process_);
        int rc = discov_co_register_svc(registry_, &svc);
        kiv_move_from_coroutine();
        registered_.push_back(id);
        return rc;
    }

    bool wait_for_port(uint64_t fs_id, uint16_t port) {
        const auto until = Clock::now() + 10s;
        while (Clock::now() < until) {
            tarn_host_addr addr{};
            if (mds_resolver_find_mds(resolver_, fs_id, &addr) == 0 && addr.port == port) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    int noop(uint32_t retry_timeout_ms, tarn_cancel_ctrl* cancel = nullptr, mds_client* client = nullptr) {
        mds_call_opts opts{retry_timeout_ms, cancel ? tarn_cancel_ctrl_get_token(cancel) : nullptr, nullptr};
        return mds_client_noop(client ? client : client_, &opts);
    }

    // Runs one no-op call by hand and returns its final error.
    rpc_error noop_error(uint32_t retry_timeout_ms) {
        mds_call_opts opts{retry_timeout_ms, nullptr, nullptr};
        mds_call call;
        mds_call_init(&call, client_, &opts);
        mds_call_set_rpc_name(&call, "mds_client_noop");
        kiv_msg* msg = mds_call_create_req(&call, TARN_MDS_NOOP_REQ_BYTES, TARN_MDS_NOOP);
        EXPECT_NE(msg, nullptr);
        mds_call_send(msg);
        mds_call_wait_for_result(&call);
        rpc_error e = mds_call_get_state(&call) == CALL_FAILED ? call.base.error : rpc_error{};
        mds_call_fini(&call);
        return e;
    }

    // The gaps between consecutive requests the server saw, in ms.
    std::vector<long> gaps() {
        std::vector<Received> r = server_->received();
        std::vector<long> g;
        for (size_t i = 1; i < r.size(); i++) g.push_back(ms_between(r[i - 1].at, r[i].at));
        return g;
    }

    std::string error_line(const char* text, const char* code_and_origin) {
        char buf[256];
        snprintf(buf, sizeof buf, "Error from RPC \"mds_client_noop\" to MDS %016lx (127.0.0.1:%u): %s (%s)",
                 kMdsHost, unsigned(server_->port()), text, code_and_origin);
        return buf;
    }

    static localcluster::Cluster* cluster_;
    LogCapture log_;
    int saved_level_ = 3;
    EpochSource epoch_;
    kiv_process process_{};
    discov* discovery_ = nullptr;
    discov* registry_ = nullptr;
    mds_resolver* resolver_ = nullptr;
    tarn_conn_factory* factory_ = nullptr;
    tarn_conn_pool* pool_ = nullptr;
    std::unique_ptr<TestMds> server_;
    mds_client* client_ = nullptr;
    std::vector<mds_client*> clients_;
    std::vector<std::string> registered_;
};

localcluster::Cluster* MdsCallEngineTest::cluster_ = nullptr;

// ---------------------------------------------------------------- success
TEST_F(MdsCallEngineTest, NoopSucceedsWithTheHeaderTheServerExpects) {
    ASSERT_EQ(noop(15000), 0);
    std::vector<Received> r = server_->received();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].length, TARN_MDS_NOOP_REQ_BYTES);
    EXPECT_EQ(r[0].hdr.length, TARN_MDS_NOOP_REQ_BYTES);
    EXPECT_EQ(r[0].hdr.type, uint32_t(TARN_MDS_NOOP));
    EXPECT_EQ(r[0].hdr.version, TARN_WIRE_VERSION);
    EXPECT_EQ(r[0].hdr.client_id, kClientId);
    EXPECT_EQ(r[0].hdr.epoch, 1u);
    EXPECT_EQ(r[0].hdr.flags, 0u);
    EXPECT_EQ(r[0].hdr.fs_id, kFsId);
    EXPECT_TRUE(r[0].creds_zero);
    EXPECT_EQ(log_.count("Error from RPC"), 0);

    tarn_host_addr addr{};
    ASSERT_EQ(mds_client_find_mds(client_, &addr), 0);
    EXPECT_EQ(addr.host_id, kMdsHost);
    EXPECT_EQ(addr.ipv4, 0x7f000001u);
    EXPECT_EQ(addr.port, server_->port());
    EXPECT_EQ(client_->fs_id, kFsId);

    // Later calls share the pooled connection.
    ASSERT_EQ(noop(15000), 0);
    r = server_->received();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].conn_id, r[1].conn_id);
}

TEST_F(MdsCallEngineTest, CredentialsTravelInEveryRequest) {
    uint8_t creds[TARN_WIRE_CREDS_BYTES];
    for (size_t i = 0; i < sizeof creds; i++) creds[i] = uint8_t(0xc0 + i);
    server_->script({reply(TARN_MDS_DELAY), reply(0)});
    mds_call_opts opts{15000, nullptr, creds};
    ASSERT_EQ(mds_client_noop(client_, &opts), 0);
    std::vector<Received> r = server_->received();
    ASSERT_EQ(r.size(), 2u);
    for (const Received& x : r) EXPECT_EQ(memcmp(x.hdr.credentials, creds, sizeof creds), 0);
}

// ---------------------------------------------------------------- back-off
class MdsCallRetryTest : public MdsCallEngineTest, public ::testing::WithParamInterface<Action> {};

TEST_P(MdsCallRetryTest, RetryableFailureBacksOffUntilTheDeadline) {
    // 1500 ms is the default 15000 ms retry time-out scaled like the
    // intervals: attempts at about 0, 100, 300, 700 and 1500 ms, and the
    // last one fails past the deadline.
    server_->set_default(GetParam());
    const auto start = Clock::now();
    EXPECT_EQ(noop(1500), -EAGAIN);
    const long elapsed = ms_between(start, Clock::now());
    std::vector<Received> r = server_->received();
    ASSERT_EQ(r.size(), 5u);
    const std::vector<long> want = {100, 200, 400, 800};
    const std::vector<long> got = gaps();
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_GE(got[i], want[i] - 2) << "gap " << i;
        EXPECT_LE(got[i], want[i] + 500) << "gap " << i;
    }
    EXPECT_GE(elapsed, 1500);
    EXPECT_EQ(log_.count("Still failing after 4 retries, giving up", 1), 1);
    for (int i = 1; i <= 4; i++) {
        const std::string line = "Scheduled retry #" + std::to_string(i) + " in " + std::to_string(want[i - 1]) + "ms";
        EXPECT_EQ(log_.count(line, 1), 1) << line;
    }
    EXPECT_EQ(log_.count("Error from RPC \"mds_client_noop\"", 1), 5);
    // Every attempt resolves afresh and carries the file system's id.
    for (const Received& x : r) EXPECT_EQ(x.hdr.fs_id, kFsId);
}

INSTANTIATE_TEST_SUITE_P(ServerStatusesAndRuntimeErrors, MdsCallRetryTest,
                         ::testing::Values(reply(TARN_MDS_DELAY), reply(TARN_MDS_NO_FS), error_frame(KIV_E_NOTREADY)));

TEST_F(MdsCallEngineTest, DelayStatusLogsItsErrorLineAndMapsToDelay) {
    server_->set_default(reply(TARN_MDS_DELAY));
    rpc_error e = noop_error(0);
    EXPECT_EQ(e.code, 10u);
    EXPECT_EQ(e.kind, RPC_ERR_SERVER);
    EXPECT_EQ(e.origin, RPC_ORIGIN_REMOTE);
    EXPECT_EQ(mds_call2tarn_error(e), TARN_ERR_DELAY);
    // Retry time-out 0: one attempt, its error line, no retry.
    EXPECT_EQ(server_->received().size(), 1u);
    EXPECT_EQ(log_.count(error_line("Delay, try again later", "rc=10, remote"), 1), 1) << log_.dump();
    EXPECT_EQ(log_.count("Scheduled retry"), 0);
}

TEST_F(MdsCallEngineTest, NonRetryableStatusFailsAtOnce) {
    server_->script({reply(TARN_MDS_NOT_FOUND), reply(TARN_MDS_EXISTS), reply(TARN_MDS_SERVER_FAULT)});
    EXPECT_EQ(noop(TARN_RETRY_FOREVER), -ENOENT);
    EXPECT_EQ(log_.count(error_line("Not found", "rc=8, remote"), 4), 1);
    EXPECT_EQ(noop(15000), -EEXIST);
    EXPECT_EQ(log_.count(error_line("Already exists", "rc=3, remote"), 1), 1);
    rpc_error e = noop_error(15000);
    EXPECT_EQ(e.code, 12u);
    EXPECT_EQ(mds_call2tarn_error(e), TARN_ERR_SERVER_FAULT);
    EXPECT_EQ(server_->received().size(), 3u);
    EXPECT_EQ(log_.count("Scheduled retry"), 0);
}

TEST_F(MdsCallEngineTest, ShortReplyIsAProtocolError) {
    server_->script({short_reply(31)});
    rpc_error e = noop_error(15000);
    EXPECT_EQ(e.code, 2u);
    EXPECT_EQ(e.kind, RPC_ERR_RUNTIME);
    EXPECT_EQ(e.origin, RPC_ORIGIN_LOCAL);
    EXPECT_EQ(mds_call2posix_error(e), uint32_t(EIO));
    EXPECT_EQ(log_.count("Response is too short: 31", 1), 1);
    EXPECT_EQ(server_->received().size(), 1u);
}

// ---------------------------------------------------------------- fencing
TEST_F(MdsCallEngineTest, UnknownEpochIsAnnouncedOnceAtOnce) {
    // A long base makes "at once" unmistakable.
    tarn_call_timing slow = kFastTiming;
    slow.backoff_base_ms = 1000;
    tarn_call_set_timing(&slow);
    server_->set_epoch_strict(true);
    const int provider_calls = epoch_.calls.load();
    // Retry time-out 0 still allows the one re-send.
    ASSERT_EQ(noop(0), 0);
    std::vector<Received> r = server_->received();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].hdr.flags, 0u);
    EXPECT_EQ(r[1].hdr.flags, TARN_REQ_FLAG_EPOCH_RESEND);
    EXPECT_EQ(r[1].hdr.epoch, 1u);
    EXPECT_LT(ms_between(r[0].at, r[1].at), 500);
    EXPECT_EQ(epoch_.calls.load(), provider_calls + 1);
    EXPECT_EQ(log_.count(error_line("The current client epoch is unknown to the server", "rc=1, remote"), 4), 1);
    // The server knows the client now.
    ASSERT_EQ(noop(0), 0);
    r = server_->received();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[2].hdr.flags, 0u);
}

TEST_F(MdsCallEngineTest, FailureAfterEpochResendWaitsTwiceTheBaseWithoutTheFlag) {
    server_->set_epoch_strict(true);
    server_->script({reply(TARN_MDS_DELAY), reply(TARN_MDS_DELAY), reply(0)});
    ASSERT_EQ(noop(15000), 0);
    std::vector<Received> r = server_->received();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[1].hdr.flags, TARN_REQ_FLAG_EPOCH_RESEND);
    EXPECT_EQ(r[2].hdr.flags, 0u);
    EXPECT_EQ(r[3].hdr.flags, 0u);
    const std::vector<long> g = gaps();
    EXPECT_LT(g[0], kBase);
    EXPECT_GE(g[1], 2 * long(kBase) - 2);
    EXPECT_GE(g[2], 4 * long(kBase) - 2);
    EXPECT_EQ(log_.count("Scheduled retry #1 in 0ms"), 1);
    EXPECT_EQ(log_.count("Scheduled retry #2 in 200ms"), 1);
    EXPECT_EQ(log_.count("Scheduled retry #3 in 400ms"), 1);
}

// ---------------------------------------------------------------- transport faults
TEST_F(MdsCallEngineTest, ConnectionResetMidCallIsRetriedOnANewConnection) {
    server_->script({drop_later(100), reply(0)});
    ASSERT_EQ(noop(15000), 0);
    std::vector<Received> r = server_->received();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_NE(r[0].conn_id, r[1].conn_id);
    EXPECT_GE(ms_between(r[0].at, r[1].at), 100 + long(kBase) - 2);
    EXPECT_EQ(log_.count(error_line("Connection lost", "rc=10, remote"), 1), 1);
}

TEST_F(MdsCallEngineTest, MdsMovingToANewPortIsFollowedThroughTheRegistry) {
    __kiv_log_level = 7;  // for the connection traces
    ASSERT_EQ(noop(15000), 0);
    const uint16_t old_port = server_->port();

    // The MDS goes down and comes back elsewhere; the record follows later.
    server_->stop();
    const uint16_t new_port = server_->start();
    ASSERT_NE(new_port, old_port);
    std::thread mover([&] {
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(put_record("mds-7001", kFsId, kFsName, new_port), 0);
    });
    const int rc = noop(15000);
    mover.join();
    ASSERT_EQ(rc, 0);
    std::vector<Received> r = server_->received();
    ASSERT_EQ(r.size(), 2u);  // one before the move, one at the new port
    char closing[128];
    snprintf(closing, sizeof closing, "Closing RPC connection to host %016lx (127.0.0.1:%u)", kMdsHost,
             unsigned(old_port));
    EXPECT_EQ(log_.count(closing), 1);
    char creating[128];
    snprintf(creating, sizeof creating, "Creating RPC connection to host %016lx (127.0.0.1:%u)", kMdsHost,
             unsigned(new_port));
    EXPECT_EQ(log_.count(creating), 1);
    // Attempts at the old port failed on connecting and were retried.
    EXPECT_GE(log_.count("Scheduled retry #1"), 1);
    tarn_host_addr addr{};
    ASSERT_EQ(mds_client_find_mds(client_, &addr), 0);
    EXPECT_EQ(addr.port, new_port);
}

// ---------------------------------------------------------------- resolver waits
TEST_F(MdsCallEngineTest, UnknownFileSystemRetriesOnResolverWaitsThenDelays) {
    mds_client* lost = make_client("nosuchfs");
    tarn_host_addr addr{};
    EXPECT_EQ(mds_client_find_mds(lost, &addr), -EAGAIN);
    EXPECT_EQ(addr.ipv4, 0u);
    const auto start = Clock::now();
    EXPECT_EQ(noop(400, nullptr, lost), -EAGAIN);
    EXPECT_GE(ms_between(start, Clock::now()), 400);
    EXPECT_EQ(server_->received().size(), 0u);
    EXPECT_GE(log_.count("Still failing after"), 1);
    EXPECT_GE(log_.count(" (rc=11, local)", 1), 2);
}

TEST_F(MdsCallEngineTest, FileSystemAppearingWakesTheWaitingCall) {
    // A long resolver wait: only the registry change can end it early.
    tarn_call_timing t = kFastTiming;
    t.resolver_wait_ms = 5000;
    tarn_call_set_timing(&t);
    mds_client* late = make_client("latefs");
    std::thread appear([&] {
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(put_record("mds-7002", 0x7002, "latefs", server_->port()), 0);
    });
    const auto start = Clock::now();
    const int rc = noop(15000, nullptr, late);
    const long elapsed = ms_between(start, Clock::now());
    appear.join();
    ASSERT_EQ(rc, 0);
    EXPECT_LT(elapsed, 4000);
    std::vector<Received> r = server_->received();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].hdr.fs_id, 0x7002u);
    EXPECT_EQ(log_.count("Error from RPC"), 0);
}

// ---------------------------------------------------------------- cancellation
TEST_F(MdsCallEngineTest, CancellingDuringBackOffEndsTheCallWithinATick) {
    server_->set_default(reply(TARN_MDS_DELAY));
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    Clock::time_point cancelled_at;
    std::thread canceller([&] {
        std::this_thread::sleep_for(250ms);
        cancelled_at = Clock::now();
        tarn_cancel_ctrl_cancel(ctrl);
    });
    EXPECT_EQ(noop(TARN_RETRY_FOREVER, ctrl), -ECANCELED);
    const auto ended = Clock::now();
    canceller.join();
    EXPECT_LT(ms_between(cancelled_at, ended), 1000);
    tarn_cancel_ctrl_destroy(ctrl);
}

TEST_F(MdsCallEngineTest, CancelledCallWithoutRetriesEndsCancelledNotWithItsError) {
    // The reply comes after the cancellation; with retry time-out 0 the
    // call would give up with the server's status if it did not look at
    // the cancellation first.
    server_->script({reply_later(300, TARN_MDS_DELAY)});
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    std::thread canceller([&] {
        ASSERT_TRUE(server_->wait_received(1, 5000ms));
        tarn_cancel_ctrl_cancel(ctrl);
    });
    EXPECT_EQ(noop(0, ctrl), -ECANCELED);
    canceller.join();
    EXPECT_EQ(server_->received().size(), 1u);
    // The failed attempt is still logged.
    EXPECT_EQ(log_.count(error_line("Delay, try again later", "rc=10, remote"), 1), 1);
    tarn_cancel_ctrl_destroy(ctrl);
}

TEST_F(MdsCallEngineTest, CancelledCallWithTransportErrorEndsCancelled) {
    server_->script({drop_later(200)});
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    std::thread canceller([&] {
        ASSERT_TRUE(server_->wait_received(1, 5000ms));
        tarn_cancel_ctrl_cancel(ctrl);
    });
    EXPECT_EQ(noop(0, ctrl), -ECANCELED);
    canceller.join();
    tarn_cancel_ctrl_destroy(ctrl);
}

TEST_F(MdsCallEngineTest, CancellingWhileWaitingForTheResolverEndsCancelled) {
    mds_client* lost = make_client("neverfs");
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        tarn_cancel_ctrl_cancel(ctrl);
    });
    EXPECT_EQ(noop(TARN_RETRY_FOREVER, ctrl, lost), -ECANCELED);
    canceller.join();
    tarn_cancel_ctrl_destroy(ctrl);
}

TEST_F(MdsCallEngineTest, AlreadyCancelledTokenStopsAtTheFirstFailure) {
    server_->set_default(reply(TARN_MDS_DELAY));
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    tarn_cancel_ctrl_cancel(ctrl);
    EXPECT_EQ(noop(TARN_RETRY_FOREVER, ctrl), -ECANCELED);
    EXPECT_EQ(server_->received().size(), 1u);
    // A reset control serves the next call.
    tarn_cancel_ctrl_reset(ctrl);
    server_->set_default(reply(0));
    EXPECT_EQ(noop(TARN_RETRY_FOREVER, ctrl), 0);
    tarn_cancel_ctrl_destroy(ctrl);
}

}  // namespace

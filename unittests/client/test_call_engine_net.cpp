// The MDS call engine end to end: a client (resolver over the registry,
// connection pool, MDS client) against the MDS instances of the local
// cluster, started once for the program. Failures are injected with the
// cluster's fault rules, each filtered on the test's own client id, and
// what reached the server is read from its status counters and its rule
// counters; only the bytes of each request are read from a recorder of the
// test's own (HeaderRecorder). The engine's intervals are shortened so
// back-off schedules take a second or two.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
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
#include "client_test_env.h"
#include "log_capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The cluster's file systems: most tests share the first; moving an MDS and
// removing a record each get one of their own.
constexpr const char* kFsName = "enginefs";
constexpr uint64_t kFsId = 0x7001;
constexpr const char* kMoveFs = "movefs";
constexpr const char* kLateFs = "latefs";
constexpr uint64_t kLateFsId = 0x7003;

// Every test talks as a client of its own, so the servers' epoch tables and
// the fault rules never carry one test's state into the next.
constexpr uint64_t kClientBase = 0x5eed5eed00000000ull;

// Shortened engine intervals: the default schedule divided by ten.
constexpr uint32_t kBase = 100;
constexpr tarn_call_timing kFastTiming = {kBase, 6000, 20, 100};

long ms_between(Clock::time_point a, Clock::time_point b) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

using clienttest::LogCapture;

struct EpochSource {
    std::atomic<uint32_t> epoch{1};
    std::atomic<int> calls{0};
    // Cancelled when the provider is asked: after creation that is only
    // while a client handles an "epoch unknown" answer.
    std::atomic<tarn_cancel_ctrl*> cancel_when_asked{nullptr};
    static int get(void* ctx, uint32_t* out) {
        auto* self = static_cast<EpochSource*>(ctx);
        self->calls++;
        if (tarn_cancel_ctrl* ctrl = self->cancel_when_asked.exchange(nullptr)) tarn_cancel_ctrl_cancel(ctrl);
        *out = self->epoch;
        return 0;
    }
};

// ---------------------------------------------------------------- header recorder
// The local MDS checks a request's header but shows nobody its bytes (it
// keeps no request journal), so what each attempt carries on the wire (the
// credentials, the epoch and flag words, the file-system id written at every
// send) is read here: a listener that records every request's header and
// answers the next status of its script, 0 once the script is used up.
class HeaderRecorder {
   public:
    struct Received {
        uint32_t length = 0;
        tarn_mds_req_hdr hdr{};
    };

    HeaderRecorder() {
        EXPECT_EQ(kiv_process_init_(&process_), 0);
        EXPECT_EQ(kiv_process_start(&process_, "test-recorder"), 0);
        kiv_netaddr addr;
        EXPECT_EQ(kiv_parse_netaddr("127.0.0.1:0", &addr), 0);
        kiv_rpc_server_ops ops{};
        ops.on_request = on_request;
        EXPECT_EQ(kiv_rpc_listen(&process_, &addr, TARN_MDS_MAX_MSG, &ops, this, &server_), 0);
        kiv_netaddr bound{};
        if (server_ != nullptr) kiv_rpc_server_addr(server_, &bound);
        port_ = bound.port;
    }
    ~HeaderRecorder() {
        if (server_ != nullptr) kiv_rpc_server_close(server_);
        clienttest::stop_process(&process_);
    }

    uint16_t port() const { return port_; }
    void script(std::vector<uint32_t> statuses) {
        std::lock_guard<std::mutex> g(mu_);
        script_.assign(statuses.begin(), statuses.end());
    }
    std::vector<Received> received() {
        std::lock_guard<std::mutex> g(mu_);
        return received_;
    }

   private:
    static void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
        auto* self = static_cast<HeaderRecorder*>(arg);
        Received r;
        r.length = req->kept_len;
        tarn_mds_req_hdr_read(req->buf, req->kept_len, &r.hdr);
        uint32_t status = 0;
        {
            std::lock_guard<std::mutex> g(self->mu_);
            self->received_.push_back(r);
            if (!self->script_.empty()) {
                status = self->script_.front();
                self->script_.pop_front();
            }
        }
        kiv_msg* rep = kiv_rpc_alloc_reply(req, TARN_REPLY_HDR_BYTES);
        tarn_reply_hdr_write(rep->buf, TARN_REPLY_HDR_BYTES, tarn_wire_get_u32(req->buf, TARN_MSG_TYPE) + 1, status);
        kiv_rpc_reply(c, rep);
        kiv_free_msg(req);
    }

    kiv_process process_{};
    kiv_rpc_server* server_ = nullptr;
    uint16_t port_ = 0;
    std::mutex mu_;
    std::deque<uint32_t> script_;
    std::vector<Received> received_;
};

// What an MDS instance reports of itself in the cluster's status.
struct MdsCounters {
    long port = -1;
    long requests = -1;
    long epoch_unknown = -1;
    long clients = -1;
};

// ---------------------------------------------------------------- fixture
// The parameter: how many lanes the calls of the test's threads go out on
// (0: on the client's own process).
class MdsCallEngineTest : public ::testing::TestWithParam<uint32_t> {
   protected:
    static void SetUpTestSuite() {
        cluster_ = clienttest::start_cluster({{kFsName, kFsId}, {kMoveFs, 0x7002}, {kLateFs, kLateFsId}});
    }
    static void TearDownTestSuite() { clienttest::stop_cluster(cluster_); }

    void SetUp() override {
        ASSERT_NE(cluster_, nullptr);
        tarn_call_set_timing(&kFastTiming);
        saved_level_ = __kiv_log_level;
        __kiv_log_level = 4;
        kiv_log_set_hook(LogCapture::hook, &log_);

        client_id_ = next_client_id();
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ASSERT_EQ(discov_create("local", nullptr, DISCOV_MODE_READ_ONLY, &process_, &discovery_), 0);
        ASSERT_EQ(discov_create("local", "tarn/mds", DISCOV_MODE_RPC, &process_, &registry_), 0);
        ASSERT_EQ(mds_resolver_create(discovery_, &process_, &resolver_), 0);
        ASSERT_EQ(tarn_conn_factory_create(client_id_, &process_, &factory_), 0);
        ASSERT_EQ(tarn_conn_pool_create(1, factory_, tarn_conn_create, &pool_), 0);
        lanes_ = std::make_unique<clienttest::Lanes>(GetParam(), client_id_);
        mds_host_ = cluster_->mds_host();
        port_ = uint16_t(counters(kFsName).port);
        ASSERT_GT(port_, 0);
        // The resolver learns the MDS from the registry's watch, on the event
        // loop; a first call made before that waits for it only briefly.
        ASSERT_TRUE(wait_for_port(kFsId, port_));
    }

    void TearDown() override {
        if (cluster_ != nullptr) {
            EXPECT_EQ(ctl("fault clear").find("{\"ok\":true"), 0u);
        }
        for (const std::string& id : registered_) clienttest::unregister_svc(&process_, registry_, id.c_str());
        for (mds_client* c : clients_) mds_client_destroy(c);
        lanes_.reset();
        tarn_conn_pool_destroy(pool_);
        tarn_conn_factory_destroy(factory_);
        if (resolver_) mds_resolver_destroy(resolver_);
        discov_destroy(registry_);
        discov_destroy(discovery_);
        clienttest::stop_process(&process_);
        kiv_log_set_hook(nullptr, nullptr);
        __kiv_log_level = saved_level_;
        tarn_call_set_timing(nullptr);
        if (HasFailure()) fprintf(stderr, "captured log:\n%s", log_.dump().c_str());
    }

    static uint64_t next_client_id() {
        static std::atomic<uint64_t> n{0};
        return kClientBase + ++n;
    }

    mds_client* make_client(const char* fs_name, uint64_t client_id) {
        mds_client* c = nullptr;
        EXPECT_EQ(mds_client_create(fs_name, pool_, client_id, EpochSource::get, &epoch_, resolver_, &process_, &c),
                  0);
        if (c) mds_client_set_lanes(c, lanes_->get(), lanes_->count());
        if (c) clients_.push_back(c);
        return c;
    }
    // A client of `fs_name` the MDS knows already: its first no-op went
    // through the epoch fence. The log starts afresh after it.
    mds_client* known_client(const char* fs_name = kFsName) {
        mds_client* c = make_client(fs_name, client_id_);
        EXPECT_NE(c, nullptr);
        if (c != nullptr) {
            EXPECT_EQ(noop(15000, nullptr, c), 0);
        }
        log_.clear();
        return c;
    }

    // ------------------------------------------------------------ the cluster
    std::string ctl(const std::string& cmd) { return cluster_->control(cmd); }

    static long field(const std::string& obj, const std::string& name) {
        size_t at = obj.find("\"" + name + "\":");
        return at == std::string::npos ? -1 : strtol(obj.c_str() + at + name.size() + 3, nullptr, 10);
    }

    MdsCounters counters(const std::string& fs) {
        std::string s = ctl("status");
        size_t at = 0;
        while ((at = s.find("{\"service\":\"mds\"", at)) != std::string::npos) {
            std::string obj = s.substr(at, s.find('}', at) - at + 1);
            if (obj.find("\"fs\":\"" + fs + "\"") != std::string::npos)
                return MdsCounters{field(obj, "port"), field(obj, "requests"), field(obj, "epoch_unknown"),
                                   field(obj, "clients")};
            at++;
        }
        ADD_FAILURE() << "no MDS of " << fs << " in " << s;
        return MdsCounters{};
    }

    // Adds "fault add mds:FS type=<no-op> client=<client> ACTION" and
    // returns the rule's id (0 on refusal).
    long add_rule(const std::string& action, uint64_t client, const char* fs = kFsName) {
        char filter[96];
        snprintf(filter, sizeof filter, "mds:%s type=%u client=%llx ", fs, unsigned(TARN_MDS_NOOP),
                 (unsigned long long)client);
        std::string r = ctl("fault add " + std::string(filter) + action);
        EXPECT_EQ(r.find("{\"ok\":true,\"id\":"), 0u) << action << ": " << r;
        return field(r, "id") < 0 ? 0 : field(r, "id");
    }
    long add_rule(const std::string& action) { return add_rule(action, client_id_); }

    // How often rule `id` fired.
    long fired(long id) {
        std::string list = ctl("fault list");
        size_t at = list.find("{\"id\":" + std::to_string(id) + ",");
        if (at == std::string::npos) return -1;
        return field(list.substr(at, list.find('}', at) - at), "fired");
    }
    bool wait_fired(long id, long n) {
        return rttest::wait_until([&] { return fired(id) >= n; });
    }
    // Until the client has logged `text` `n` times.
    bool wait_logged(const std::string& text, int n) {
        return rttest::wait_until([&] { return log_.count(text) >= n; });
    }

    // ------------------------------------------------------------ the registry
    int put_record(const char* id, uint64_t fs_id, const char* fs_name, uint64_t host_id, uint16_t port) {
        registered_.push_back(id);
        return clienttest::register_mds(&process_, registry_, id, fs_id, fs_name, host_id, port);
    }

    // Polls until the resolver names `port` for `fs_id` (0: until it knows
    // nothing of it).
    bool wait_for_port(uint64_t fs_id, uint16_t port) { return clienttest::wait_for_mds_port(resolver_, fs_id, port); }

    // ------------------------------------------------------------ calls
    int noop(uint32_t retry_timeout_ms, tarn_cancel_ctrl* cancel = nullptr, mds_client* client = nullptr) {
        mds_call_opts opts{retry_timeout_ms, cancel ? tarn_cancel_ctrl_get_token(cancel) : nullptr, nullptr};
        return mds_client_noop(client ? client : client_, &opts);
    }

    struct CallOutcome {
        int rc = 0;
        rpc_error error{};  // of a failed call
    };
    // One no-op call run by hand, so that its error can be read and its
    // per-attempt reply time-out shortened (0 keeps the MDS call's own).
    CallOutcome noop_call(uint32_t retry_timeout_ms, uint32_t reply_timeout_ms = 0,
                          tarn_cancel_ctrl* cancel = nullptr, const uint8_t* credentials = nullptr,
                          mds_client* client = nullptr) {
        mds_call_opts opts{retry_timeout_ms, cancel ? tarn_cancel_ctrl_get_token(cancel) : nullptr, credentials};
        mds_call call;
        mds_call_init(&call, client ? client : client_, &opts);
        if (reply_timeout_ms != 0) call.base.reply_timeout_ms = reply_timeout_ms;
        mds_call_set_rpc_name(&call, "mds_client_noop");
        kiv_msg* msg = mds_call_create_req(&call, TARN_MDS_NOOP_REQ_BYTES, TARN_MDS_NOOP);
        EXPECT_NE(msg, nullptr);
        CallOutcome out;
        if (msg == nullptr) {
            mds_call_fini(&call);
            out.rc = -ENOMEM;
            return out;
        }
        mds_call_send(msg);
        mds_call_wait_for_result(&call);
        out.rc = mds_call_result(&call);
        if (mds_call_get_state(&call) == CALL_FAILED) out.error = call.base.error;
        mds_call_fini(&call);
        return out;
    }

    // Takes the late file system's record out of the registry into `rec`
    // (initialised here; the caller puts it back with put_record and then
    // finishes it), waits until the resolver knows nothing of it, and makes
    // `*late`, a client of it. The resolver's wait is four times the calls'
    // 15 s, so only a change of its table ends a call's wait in time, on a
    // machine however loaded.
    void hide_late_fs(discov_svc* rec, mds_client** late) {
        tarn_call_timing t = kFastTiming;
        t.resolver_wait_ms = 60000;
        tarn_call_set_timing(&t);
        char record_id[32];
        snprintf(record_id, sizeof record_id, "mds-%lx", kLateFsId);
        discov_svc_init(rec);
        kiv_move_to_coroutine(&process_);
        int rc = discov_co_get_svc(registry_, record_id, rec);
        if (rc == 0) rc = discov_co_unregister_svc(registry_, record_id, nullptr);
        kiv_move_from_coroutine();
        ASSERT_EQ(rc, 0);
        ASSERT_TRUE(wait_for_port(kLateFsId, 0));
        *late = make_client(kLateFs, client_id_);
        ASSERT_NE(*late, nullptr);
    }
    int put_record(const discov_svc* rec) {
        kiv_move_to_coroutine(&process_);
        const int rc = discov_co_register_svc(registry_, rec);
        kiv_move_from_coroutine();
        return rc;
    }

    // Starts a no-op of `client` in `call` without waiting for it.
    void start_noop(mds_call* call, mds_client* client, uint32_t retry_timeout_ms) {
        mds_call_opts opts{retry_timeout_ms, nullptr, nullptr};
        mds_call_init(call, client, &opts);
        mds_call_set_rpc_name(call, "mds_client_noop");
        kiv_msg* msg = mds_call_create_req(call, TARN_MDS_NOOP_REQ_BYTES, TARN_MDS_NOOP);
        ASSERT_NE(msg, nullptr);
        mds_call_send(msg);
    }

    std::string error_line(const char* text, const char* code_and_origin, uint16_t port = 0) {
        char buf[256];
        snprintf(buf, sizeof buf, "Error from RPC \"mds_client_noop\" to MDS %016lx (127.0.0.1:%u): %s (%s)",
                 mds_host_, unsigned(port ? port : port_), text, code_and_origin);
        return buf;
    }

    // The gaps between consecutive failed attempts, in ms, as the client
    // logged them.
    std::vector<long> error_gaps() {
        std::vector<Clock::time_point> t = log_.times("Error from RPC \"mds_client_noop\"");
        std::vector<long> g;
        for (size_t i = 1; i < t.size(); i++) g.push_back(ms_between(t[i - 1], t[i]));
        return g;
    }

    // A retryable failure on every attempt, retried with the doubling
    // schedule (100, 200, 400, 800 ms) until the retry time-out, 1500 ms
    // from the first failure (the default 15000 ms scaled like the
    // intervals). A scheduler's delays only lengthen the gaps, so what is
    // asserted is the schedule, its lower bounds and the deadline, not how
    // many attempts fit: between two (the deadline starts at the first
    // failure) and five (the fifth cannot come before it).
    struct BackoffCase {
        const char* action;  // the fault every attempt meets
        std::string failure;  // in the error line of each such attempt
        // Non-zero: the second attempt gets no reply and fails by its own
        // time-out this long after it was sent, past the deadline, as a
        // stalled machine can make any attempt do.
        uint32_t stall_ms;
        rpc_error want;  // the error the call ends with
    };
    void expect_backoff_until_deadline(const BackoffCase& c) {
        constexpr long kRetryTimeout = 1500;
        client_ = known_client();
        ASSERT_NE(client_, nullptr);
        const MdsCounters before = counters(kFsName);
        const long stall = c.stall_ms != 0 ? add_rule("noreply after=1 count=1") : 0;
        const long rule = add_rule(c.action);
        const auto start = Clock::now();
        CallOutcome out = noop_call(kRetryTimeout, c.stall_ms);
        const long elapsed = ms_between(start, Clock::now());
        EXPECT_EQ(out.rc, -EAGAIN);
        EXPECT_EQ(out.error.code, c.want.code);
        EXPECT_EQ(out.error.kind, c.want.kind);
        EXPECT_EQ(out.error.origin, c.want.origin);
        EXPECT_EQ(mds_call2tarn_error(out.error), TARN_ERR_DELAY);
        EXPECT_GE(elapsed, kRetryTimeout);

        const long attempts = counters(kFsName).requests - before.requests;
        ASSERT_GE(attempts, 2) << log_.dump();
        ASSERT_LE(attempts, 5) << log_.dump();
        const long stalled = c.stall_ms != 0 ? 1 : 0;
        if (stalled) {
            EXPECT_EQ(fired(stall), 1);
        }
        EXPECT_EQ(fired(rule), attempts - stalled);
        EXPECT_EQ(log_.count(c.failure, 1), attempts - stalled) << log_.dump();
        std::vector<Clock::time_point> failed = log_.times("Error from RPC \"mds_client_noop\"");
        ASSERT_EQ(long(failed.size()), attempts) << log_.dump();
        for (long i = 1; i < attempts; i++) {
            const long delay = long(kBase) << (i - 1);
            const std::string line = "Scheduled retry #" + std::to_string(i) + " in " + std::to_string(delay) + "ms";
            EXPECT_EQ(log_.count(line, 1), 1) << line;
            // No attempt goes out before its back-off has passed.
            const long floor = delay + (i == 1 ? long(c.stall_ms) : 0);
            EXPECT_GE(ms_between(failed[size_t(i - 1)], failed[size_t(i)]), floor - 2) << "gap " << i;
        }
        EXPECT_EQ(log_.count("Scheduled retry #" + std::to_string(attempts) + " "), 0) << log_.dump();
        EXPECT_EQ(log_.count("Still failing after " + std::to_string(attempts - 1) + " retries, giving up", 1), 1);
        // The deadline is set after the first failure is logged and before
        // the first retry is: every attempt but the last failed before it,
        // and the call gave up only once it had passed.
        const std::vector<Clock::time_point> first_retry = log_.times("Scheduled retry #1 ");
        const std::vector<Clock::time_point> gave_up = log_.times("Still failing after");
        ASSERT_EQ(first_retry.size(), 1u);
        ASSERT_EQ(gave_up.size(), 1u);
        EXPECT_LT(failed[size_t(attempts - 2)], first_retry[0] + std::chrono::milliseconds(kRetryTimeout));
        EXPECT_GE(ms_between(failed[0], gave_up[0]), kRetryTimeout);
    }

    static localcluster::Cluster* cluster_;
    LogCapture log_;
    int saved_level_ = 3;
    EpochSource epoch_;
    uint64_t client_id_ = 0;
    uint64_t mds_host_ = 0;
    uint16_t port_ = 0;  // the MDS of kFsName
    kiv_process process_{};
    discov* discovery_ = nullptr;
    discov* registry_ = nullptr;
    mds_resolver* resolver_ = nullptr;
    tarn_conn_factory* factory_ = nullptr;
    tarn_conn_pool* pool_ = nullptr;
    std::unique_ptr<clienttest::Lanes> lanes_;
    mds_client* client_ = nullptr;
    std::vector<mds_client*> clients_;
    std::vector<std::string> registered_;
};

localcluster::Cluster* MdsCallEngineTest::cluster_ = nullptr;

// ---------------------------------------------------------------- success
TEST_P(MdsCallEngineTest, NoopSucceedsOnThePooledConnection) {
    client_ = known_client();
    ASSERT_NE(client_, nullptr);
    __kiv_log_level = 7;  // for the connection traces
    const MdsCounters before = counters(kFsName);
    // The MDS checks version, type, length and file system before it
    // answers 0, so a success says the header is right.
    ASSERT_EQ(noop(15000), 0);
    ASSERT_EQ(noop(TARN_RETRY_NEVER), 0);
    const MdsCounters after = counters(kFsName);
    EXPECT_EQ(after.requests - before.requests, 2);
    EXPECT_EQ(after.epoch_unknown, before.epoch_unknown);
    EXPECT_EQ(log_.count("Error from RPC"), 0) << log_.dump();
    // Both went over the connection the first call made.
    EXPECT_EQ(log_.count("Creating RPC connection"), 0);
    EXPECT_EQ(log_.count("Closing RPC connection"), 0);

    tarn_host_addr addr{};
    ASSERT_EQ(mds_client_find_mds(client_, &addr), 0);
    EXPECT_EQ(addr.host_id, mds_host_);
    EXPECT_EQ(addr.ipv4, 0x7f000001u);
    EXPECT_EQ(addr.port, port_);
    EXPECT_EQ(client_->fs_id, kFsId);
}

// ---------------------------------------------------------------- fencing
TEST_P(MdsCallEngineTest, UnknownEpochIsAnnouncedOnceAtOnce) {
    // A long base makes "at once" unmistakable: a call that waited it would
    // take 10 s, which no loaded machine makes two round trips take.
    tarn_call_timing slow = kFastTiming;
    slow.backoff_base_ms = 10000;
    tarn_call_set_timing(&slow);
    client_ = make_client(kFsName, client_id_);
    ASSERT_NE(client_, nullptr);
    const MdsCounters before = counters(kFsName);
    const int provider_calls = epoch_.calls.load();
    const auto start = Clock::now();
    // Retry time-out 0 still allows the one re-send.
    ASSERT_EQ(noop(TARN_RETRY_NEVER), 0);
    EXPECT_LT(ms_between(start, Clock::now()), long(slow.backoff_base_ms));
    MdsCounters after = counters(kFsName);
    EXPECT_EQ(after.requests - before.requests, 2);
    EXPECT_EQ(after.epoch_unknown - before.epoch_unknown, 1);
    EXPECT_EQ(after.clients - before.clients, 1);
    EXPECT_EQ(epoch_.calls.load(), provider_calls + 1);
    EXPECT_EQ(log_.count(error_line("The current client epoch is unknown to the server", "rc=1, remote"), 4), 1)
        << log_.dump();
    EXPECT_EQ(log_.count("Scheduled retry #1 in 0ms", 1), 1);

    // The server knows the client now.
    ASSERT_EQ(noop(TARN_RETRY_NEVER), 0);
    const MdsCounters later = counters(kFsName);
    EXPECT_EQ(later.requests - after.requests, 1);
    EXPECT_EQ(later.epoch_unknown, after.epoch_unknown);
    EXPECT_EQ(log_.count("Error from RPC"), 1);
}

TEST_P(MdsCallEngineTest, FailureAfterEpochResendWaitsTwiceTheBaseWithoutTheFlag) {
    client_ = make_client(kFsName, client_id_);
    ASSERT_NE(client_, nullptr);
    const MdsCounters before = counters(kFsName);
    // The first request meets the epoch check; the re-send and the retry
    // after it get 10, answered by the rule, so the client stays unknown.
    const long rule = add_rule("status=10 after=1 count=2");
    ASSERT_EQ(noop(15000), 0);
    EXPECT_EQ(fired(rule), 2);
    // Had the retries kept the flag, the one after the rule would have been
    // taken as it came; without it the server fences once more.
    const MdsCounters after = counters(kFsName);
    EXPECT_EQ(after.requests - before.requests, 5);
    EXPECT_EQ(after.epoch_unknown - before.epoch_unknown, 2);
    EXPECT_EQ(log_.count("Scheduled retry #1 in 0ms"), 1) << log_.dump();
    EXPECT_EQ(log_.count("Scheduled retry #2 in 200ms"), 1);
    EXPECT_EQ(log_.count("Scheduled retry #3 in 400ms"), 1);
    EXPECT_EQ(log_.count("Scheduled retry #4 in 0ms"), 1);
    // The re-send after the fence goes at once (its log line says so; how
    // soon it runs is the scheduler's); the retries after it wait.
    const std::vector<long> g = error_gaps();
    ASSERT_EQ(g.size(), 3u);
    EXPECT_GE(g[1], 2 * long(kBase) - 2);
    EXPECT_GE(g[2], 4 * long(kBase) - 2);
}

// ---------------------------------------------------------------- back-off
TEST_P(MdsCallEngineTest, RetryableFailuresBackOffUntilTheDeadline) {
    const rpc_error delay = rpc_error_make(TARN_MDS_DELAY, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE);
    const BackoffCase cases[] = {
        {"status=10", error_line("Delay, try again later", "rc=10, remote"), 0, delay},
        {"status=7", error_line("File system not found", "rc=7, remote"), 0,
         rpc_error_make(TARN_MDS_NO_FS, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)},
        {"rterr=40", "(rc=40, remote)", 0, rpc_error_make(KIV_E_NOTREADY, RPC_ERR_RUNTIME, RPC_ORIGIN_REMOTE)},
        // An attempt that outlasts the deadline is the last one, and its
        // error is the call's.
        {"status=10", error_line("Delay, try again later", "rc=10, remote"), 3000,
         rpc_error_make(KIV_E_TIMEDOUT, RPC_ERR_RUNTIME, RPC_ORIGIN_REMOTE)},
    };
    for (const BackoffCase& c : cases) {
        SCOPED_TRACE(std::string(c.action) + (c.stall_ms ? ", one attempt stalled" : ""));
        EXPECT_EQ(ctl("fault clear").find("{\"ok\":true"), 0u);
        expect_backoff_until_deadline(c);
    }
}

TEST_P(MdsCallEngineTest, RetryableStatusesAreRetriedUntilTheServerAnswers) {
    client_ = known_client();
    ASSERT_NE(client_, nullptr);
    const MdsCounters before = counters(kFsName);
    const long delay = add_rule("status=10 count=2");
    const long no_fs = add_rule("status=7 count=1");
    const auto start = Clock::now();
    ASSERT_EQ(noop(15000), 0);
    EXPECT_GE(ms_between(start, Clock::now()), 100 + 200 + 400 - 2);
    EXPECT_EQ(fired(delay), 2);
    EXPECT_EQ(fired(no_fs), 1);
    EXPECT_EQ(counters(kFsName).requests - before.requests, 4);
    EXPECT_EQ(log_.count("Scheduled retry #1 in 100ms", 1), 1) << log_.dump();
    EXPECT_EQ(log_.count("Scheduled retry #2 in 200ms", 1), 1);
    EXPECT_EQ(log_.count("Scheduled retry #3 in 400ms", 1), 1);
    EXPECT_EQ(log_.count("Scheduled retry #4"), 0);
    EXPECT_EQ(log_.count("Still failing"), 0);
}

TEST_P(MdsCallEngineTest, DelayStatusWithoutRetriesFailsAfterOneAttempt) {
    client_ = known_client();
    ASSERT_NE(client_, nullptr);
    const MdsCounters before = counters(kFsName);
    const long rule = add_rule("status=10");
    CallOutcome out = noop_call(TARN_RETRY_NEVER);
    EXPECT_EQ(out.rc, -EAGAIN);
    EXPECT_EQ(out.error.code, 10u);
    EXPECT_EQ(out.error.kind, RPC_ERR_SERVER);
    EXPECT_EQ(out.error.origin, RPC_ORIGIN_REMOTE);
    EXPECT_EQ(mds_call2tarn_error(out.error), TARN_ERR_DELAY);
    EXPECT_EQ(fired(rule), 1);
    EXPECT_EQ(counters(kFsName).requests - before.requests, 1);
    // The one attempt still logs its error line.
    EXPECT_EQ(log_.count(error_line("Delay, try again later", "rc=10, remote"), 1), 1) << log_.dump();
    EXPECT_EQ(log_.count("Scheduled retry"), 0);
}

TEST_P(MdsCallEngineTest, NonRetryableStatusFailsAtOnce) {
    client_ = known_client();
    ASSERT_NE(client_, nullptr);
    const MdsCounters before = counters(kFsName);
    // Lower ids are asked first; each rule answers one call.
    add_rule("status=8 count=1");
    add_rule("status=3 count=1");
    add_rule("status=12 count=1");
    EXPECT_EQ(noop(TARN_RETRY_FOREVER), -ENOENT);
    EXPECT_EQ(log_.count(error_line("Not found", "rc=8, remote"), 4), 1) << log_.dump();
    EXPECT_EQ(noop(15000), -EEXIST);
    EXPECT_EQ(log_.count(error_line("Already exists", "rc=3, remote"), 1), 1);
    CallOutcome out = noop_call(15000);
    EXPECT_EQ(out.error.code, 12u);
    EXPECT_EQ(out.error.kind, RPC_ERR_SERVER);
    EXPECT_EQ(mds_call2tarn_error(out.error), TARN_ERR_SERVER_FAULT);
    EXPECT_EQ(log_.count(error_line("Server fault", "rc=12, remote"), 1), 1);
    EXPECT_EQ(counters(kFsName).requests - before.requests, 3);
    EXPECT_EQ(log_.count("Scheduled retry"), 0);
}

// ---------------------------------------------------------------- transport faults
TEST_P(MdsCallEngineTest, ConnectionResetMidCallIsRetried) {
    client_ = known_client();
    ASSERT_NE(client_, nullptr);
    // drop closes the connection before the request runs, apply-drop after.
    for (const char* action : {"drop count=1", "apply-drop count=1"}) {
        SCOPED_TRACE(action);
        log_.clear();
        const MdsCounters before = counters(kFsName);
        const long rule = add_rule(action);
        ASSERT_EQ(noop(15000), 0);
        EXPECT_EQ(fired(rule), 1);
        EXPECT_EQ(counters(kFsName).requests - before.requests, 2);
        EXPECT_EQ(log_.count(error_line("Connection lost", "rc=10, remote"), 1), 1) << log_.dump();
        EXPECT_EQ(log_.count("Scheduled retry #1 in 100ms", 1), 1);
    }
}

TEST_P(MdsCallEngineTest, ReplyTimeOutIsRetried) {
    // The MDS call waits 30 s for a reply; the call's own time-out is
    // shortened after init, which the engine takes from the call.
    client_ = known_client();
    ASSERT_NE(client_, nullptr);
    MdsCounters before = counters(kFsName);
    long rule = add_rule("noreply count=1");
    CallOutcome out = noop_call(TARN_RETRY_NEVER, 300);
    EXPECT_EQ(out.rc, -EAGAIN);
    EXPECT_EQ(out.error.code, uint32_t(KIV_E_TIMEDOUT));
    EXPECT_EQ(out.error.kind, RPC_ERR_RUNTIME);
    EXPECT_EQ(mds_call2tarn_error(out.error), TARN_ERR_DELAY);
    EXPECT_EQ(fired(rule), 1);
    EXPECT_EQ(counters(kFsName).requests - before.requests, 1);

    // With retries the next attempt is answered, on the same connection.
    __kiv_log_level = 7;  // for the connection traces
    log_.clear();
    before = counters(kFsName);
    rule = add_rule("noreply count=1");
    const auto start = Clock::now();
    out = noop_call(15000, 300);
    EXPECT_EQ(out.rc, 0);
    EXPECT_GE(ms_between(start, Clock::now()), 300 + long(kBase) - 2);
    EXPECT_EQ(fired(rule), 1);
    EXPECT_EQ(counters(kFsName).requests - before.requests, 2);
    EXPECT_EQ(log_.count("(rc=13, remote)", 1), 1) << log_.dump();
    EXPECT_EQ(log_.count("Scheduled retry #1 in 100ms", 1), 1);
    EXPECT_EQ(log_.count("Creating RPC connection"), 0);
}

TEST_P(MdsCallEngineTest, ShortReplyIsAProtocolError) {
    client_ = known_client();
    ASSERT_NE(client_, nullptr);
    const MdsCounters before = counters(kFsName);
    add_rule("short=31 count=1");
    CallOutcome out = noop_call(15000);
    EXPECT_EQ(out.error.code, 2u);
    EXPECT_EQ(out.error.kind, RPC_ERR_RUNTIME);
    EXPECT_EQ(out.error.origin, RPC_ORIGIN_LOCAL);
    EXPECT_EQ(out.rc, -EIO);
    EXPECT_EQ(log_.count("Response is too short: 31", 1), 1) << log_.dump();
    EXPECT_EQ(counters(kFsName).requests - before.requests, 1);
    EXPECT_EQ(log_.count("Scheduled retry"), 0);
}

TEST_P(MdsCallEngineTest, NonRetryableRuntimeErrorFrameFailsAtOnce) {
    client_ = known_client();
    ASSERT_NE(client_, nullptr);
    const MdsCounters before = counters(kFsName);
    add_rule("rterr=29 count=1");
    CallOutcome out = noop_call(15000);
    EXPECT_EQ(out.error.code, uint32_t(KIV_E_INVALID));
    EXPECT_EQ(out.error.kind, RPC_ERR_RUNTIME);
    EXPECT_EQ(out.error.origin, RPC_ORIGIN_REMOTE);
    EXPECT_EQ(out.rc, -EIO);
    EXPECT_EQ(log_.count("(rc=29, remote)", 1), 1) << log_.dump();
    EXPECT_EQ(counters(kFsName).requests - before.requests, 1);
    EXPECT_EQ(log_.count("Scheduled retry"), 0);
}

// ---------------------------------------------------------------- moving
TEST_P(MdsCallEngineTest, MdsMovingToANewPortIsFollowedThroughTheRegistry) {
    client_ = known_client(kMoveFs);
    ASSERT_NE(client_, nullptr);
    __kiv_log_level = 7;  // for the connection traces
    const uint16_t old_port = uint16_t(counters(kMoveFs).port);
    tarn_host_addr addr{};
    ASSERT_EQ(mds_client_find_mds(client_, &addr), 0);
    ASSERT_EQ(addr.port, old_port);

    const std::string moved = ctl(std::string("mds move ") + kMoveFs);
    ASSERT_EQ(moved.find("{\"ok\":true"), 0u) << moved;
    const uint16_t new_port = uint16_t(field(moved, "port"));
    ASSERT_NE(new_port, old_port);
    ASSERT_TRUE(wait_for_port(0x7002, new_port));

    const MdsCounters before = counters(kMoveFs);
    ASSERT_EQ(noop(15000), 0);
    // The instance moved without restarting: it still knows the client.
    const MdsCounters after = counters(kMoveFs);
    EXPECT_EQ(after.requests - before.requests, 1);
    EXPECT_EQ(after.epoch_unknown, before.epoch_unknown);
    EXPECT_EQ(log_.count("Error from RPC"), 0) << log_.dump();
    char closing[128];
    snprintf(closing, sizeof closing, "Closing RPC connection to host %016lx (127.0.0.1:%u)", mds_host_,
             unsigned(old_port));
    EXPECT_EQ(log_.count(closing), 1);
    char creating[128];
    snprintf(creating, sizeof creating, "Creating RPC connection to host %016lx (127.0.0.1:%u)", mds_host_,
             unsigned(new_port));
    EXPECT_EQ(log_.count(creating), 1);
    ASSERT_EQ(mds_client_find_mds(client_, &addr), 0);
    EXPECT_EQ(addr.port, new_port);
}

TEST_P(MdsCallEngineTest, RetryAfterTheMdsMovedResolvesItAfresh) {
    // A second of back-off mostly leaves the resolver time to see the new
    // record before the retry goes out. On a loaded machine the retry can
    // go first, to the old port, or be under way when the move closes its
    // connection: either failure is retried in turn, and only resolving
    // afresh lets the call succeed.
    tarn_call_timing slow = kFastTiming;
    slow.backoff_base_ms = 1000;
    tarn_call_set_timing(&slow);
    client_ = known_client(kMoveFs);
    ASSERT_NE(client_, nullptr);
    const MdsCounters before = counters(kMoveFs);
    const long rule = add_rule("status=10 count=1", client_id_, kMoveFs);
    int rc = -1;
    std::thread call([&] { rc = noop(15000); });
    // Moving once the reply has arrived, so the move cannot close the
    // connection under it.
    EXPECT_TRUE(wait_logged("Scheduled retry #1", 1));
    EXPECT_EQ(fired(rule), 1);
    const std::string moved = ctl(std::string("mds move ") + kMoveFs);
    call.join();
    ASSERT_EQ(moved.find("{\"ok\":true"), 0u) << moved;
    const uint16_t new_port = uint16_t(field(moved, "port"));
    ASSERT_EQ(rc, 0);
    EXPECT_GE(counters(kMoveFs).requests - before.requests, 2);
    // The injected status failed once, and nothing failed at the new port.
    EXPECT_EQ(log_.count("Delay, try again later (rc=10, remote)"), 1) << log_.dump();
    char at_new_port[96];
    snprintf(at_new_port, sizeof at_new_port, "to MDS %016lx (127.0.0.1:%u)", mds_host_, unsigned(new_port));
    EXPECT_EQ(log_.count(at_new_port), 0) << log_.dump();
    ASSERT_TRUE(wait_for_port(0x7002, new_port));
    tarn_host_addr addr{};
    ASSERT_EQ(mds_client_find_mds(client_, &addr), 0);
    EXPECT_EQ(addr.port, new_port);
}

// ---------------------------------------------------------------- resolver waits
TEST_P(MdsCallEngineTest, UnknownFileSystemRetriesOnResolverWaitsThenDelays) {
    mds_client* lost = make_client("nosuchfs", client_id_);
    ASSERT_NE(lost, nullptr);
    tarn_host_addr addr{};
    EXPECT_EQ(mds_client_find_mds(lost, &addr), -EAGAIN);
    EXPECT_EQ(addr.ipv4, 0u);
    const auto start = Clock::now();
    EXPECT_EQ(noop(400, nullptr, lost), -EAGAIN);
    EXPECT_GE(ms_between(start, Clock::now()), 400);
    EXPECT_GE(log_.count("Still failing after"), 1);
    EXPECT_GE(log_.count(" (rc=11, local)", 1), 2);
}

TEST_P(MdsCallEngineTest, FileSystemAppearingWakesTheWaitingCall) {
    // The record of the file system is taken away and put back while a
    // call waits; a long resolver wait means only the change can end it.
    discov_svc rec;
    mds_client* late = nullptr;
    ASSERT_NO_FATAL_FAILURE(hide_late_fs(&rec, &late));
    const MdsCounters before = counters(kLateFs);
    int put_rc = -1;
    const auto start = Clock::now();  // before the putter's sleep begins
    std::thread appear([&] {
        std::this_thread::sleep_for(200ms);
        put_rc = put_record(&rec);
    });
    const int rc = noop(15000, nullptr, late);
    const long elapsed = ms_between(start, Clock::now());
    appear.join();
    discov_svc_fini(&rec);
    ASSERT_EQ(put_rc, 0);
    ASSERT_EQ(rc, 0);
    EXPECT_GE(elapsed, 190);
    EXPECT_LT(elapsed, 15000) << "waited for the resolver's time-out";
    EXPECT_EQ(late->fs_id, kLateFsId);
    // The no-op and its epoch re-send, nothing before.
    EXPECT_EQ(counters(kLateFs).requests - before.requests, 2);
    EXPECT_EQ(log_.count("Error from RPC", 1), 0) << log_.dump();
}

// The file system becomes known after a lane has looked for it and before
// its wait has begun on the client's own process (held here, so that the
// wait's start is queued): the wait must see the change it was not told of.
TEST_P(MdsCallEngineTest, ChangeBeforeTheWaitBeginsStillWakesTheCall) {
    if (GetParam() == 0) GTEST_SKIP() << "look-up and wait are one step on the call's own loop";
    discov_svc rec;
    mds_client* late = nullptr;
    ASSERT_NO_FATAL_FAILURE(hide_late_fs(&rec, &late));

    rttest::LoopHolder holder(&process_);
    mds_call call;
    const auto start = Clock::now();
    ASSERT_NO_FATAL_FAILURE(start_noop(&call, late, 15000));
    std::this_thread::sleep_for(100ms);  // the lane looks, misses, queues the wait
    // The record comes back into the resolver's table with nobody subscribed.
    std::string name = std::string("fsname:") + kLateFs;
    char fsid_tag[40];
    snprintf(fsid_tag, sizeof fsid_tag, "fsid:%lx", kLateFsId);
    char* tags[2] = {fsid_tag, name.data()};
    discov_svc svc{};
    svc.name = const_cast<char*>("mds");
    svc.tags = tags;
    svc.tag_count = 2;
    svc.addr = const_cast<char*>("127.0.0.1");
    svc.port = uint16_t(counters(kLateFs).port);
    svc.host_id = mds_host_;
    discov_svc_map map{&svc, 1, 1, 1};
    mds_resolver_install_map(resolver_, &map);
    holder.release();
    mds_call_wait_for_result(&call);
    const long elapsed = ms_between(start, Clock::now());
    EXPECT_EQ(mds_call_get_state(&call), CALL_DONE);
    EXPECT_EQ(mds_call_result(&call), 0);
    EXPECT_LT(elapsed, 15000) << "waited for the resolver's time-out";
    mds_call_fini(&call);
    EXPECT_EQ(put_record(&rec), 0);
    discov_svc_fini(&rec);
}

// ---------------------------------------------------------------- cancellation
TEST_P(MdsCallEngineTest, CancellingDuringBackOffEndsTheCallWithinATick) {
    // A client the MDS does not know yet: its epoch re-send goes at once
    // and meets the rule, after which the call waits twice the base, 20 s,
    // for its third attempt. The cancellation comes in that wait, however
    // late the canceller runs; the call must end long before the wait would.
    tarn_call_timing slow = kFastTiming;
    slow.backoff_base_ms = 10000;
    slow.backoff_cap_ms = 60000;
    tarn_call_set_timing(&slow);
    client_ = make_client(kFsName, client_id_);
    ASSERT_NE(client_, nullptr);
    const long rule = add_rule("status=10 after=1");
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    Clock::time_point cancelled_at;
    std::thread canceller([&] {
        EXPECT_TRUE(wait_logged("Scheduled retry #2 in 20000ms", 1));
        cancelled_at = Clock::now();
        tarn_cancel_ctrl_cancel(ctrl);
    });
    EXPECT_EQ(noop(TARN_RETRY_FOREVER, ctrl), -ECANCELED);
    const auto ended = Clock::now();
    canceller.join();
    EXPECT_LT(ms_between(cancelled_at, ended), 10000);
    // The third attempt never went out.
    EXPECT_EQ(fired(rule), 1);
    EXPECT_EQ(log_.count("Scheduled retry #3"), 0);
    EXPECT_EQ(log_.count("Still failing"), 0);
    tarn_cancel_ctrl_destroy(ctrl);
}

TEST_P(MdsCallEngineTest, CancelledCallWithoutRetriesEndsCancelledNotWithItsTimeOut) {
    // The token is cancelled before the call starts: the one attempt still
    // goes out, gets no reply and times out. With retry time-out 0 the call
    // would give up with the time-out if it did not look at the
    // cancellation first.
    client_ = known_client();
    ASSERT_NE(client_, nullptr);
    const long rule = add_rule("noreply count=1");
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    tarn_cancel_ctrl_cancel(ctrl);
    CallOutcome out = noop_call(TARN_RETRY_NEVER, 400, ctrl);
    EXPECT_EQ(out.rc, -ECANCELED);
    EXPECT_EQ(out.error.kind, RPC_ERR_POSIX);
    EXPECT_EQ(out.error.origin, RPC_ORIGIN_LOCAL);
    EXPECT_EQ(fired(rule), 1);
    // The failed attempt is still logged.
    EXPECT_EQ(log_.count("(rc=13, remote)", 1), 1) << log_.dump();
    tarn_cancel_ctrl_destroy(ctrl);
}

TEST_P(MdsCallEngineTest, CancellationWinsOverTheEpochResend) {
    // An unknown client's request is answered "epoch unknown", and the call
    // is cancelled while the client handles that answer (the epoch provider
    // it asks then cancels it): the call ends cancelled instead of sending
    // the re-send that status 1 would get even with retry time-out 0.
    client_ = make_client(kFsName, client_id_);
    ASSERT_NE(client_, nullptr);
    const MdsCounters before = counters(kFsName);
    const int provider_calls = epoch_.calls.load();
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    epoch_.cancel_when_asked = ctrl;
    EXPECT_EQ(noop(TARN_RETRY_NEVER, ctrl), -ECANCELED);
    EXPECT_EQ(epoch_.calls.load(), provider_calls + 1);
    const MdsCounters after = counters(kFsName);
    EXPECT_EQ(after.requests - before.requests, 1);
    EXPECT_EQ(after.epoch_unknown - before.epoch_unknown, 1);
    EXPECT_EQ(log_.count(error_line("The current client epoch is unknown to the server", "rc=1, remote"), 4), 1)
        << log_.dump();
    EXPECT_EQ(log_.count("Scheduled retry"), 0);
    tarn_cancel_ctrl_destroy(ctrl);
}

TEST_P(MdsCallEngineTest, CancellingWhileWaitingForTheResolverEndsCancelled) {
    mds_client* lost = make_client("neverfs", client_id_);
    ASSERT_NE(lost, nullptr);
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        tarn_cancel_ctrl_cancel(ctrl);
    });
    EXPECT_EQ(noop(TARN_RETRY_FOREVER, ctrl, lost), -ECANCELED);
    canceller.join();
    tarn_cancel_ctrl_destroy(ctrl);
}

// A call on a lane waits for the resolver on the client's own process: when
// that process ends before the wait could begin, the caller is released
// with the shutdown, not left waiting.
TEST_P(MdsCallEngineTest, ResolverWaitOfALaneCallEndsWithTheClientsProcess) {
    if (GetParam() == 0) GTEST_SKIP() << "the call waits on its own loop";
    // The client's own process is one of the test's: ending the fixture's
    // would strand its registry watches.
    kiv_process home{};
    ASSERT_EQ(kiv_process_init_(&home), 0);
    ASSERT_EQ(kiv_process_start(&home, "home"), 0);
    mds_client* lost = nullptr;
    ASSERT_EQ(mds_client_create("neverfs", pool_, client_id_, EpochSource::get, &epoch_, resolver_, &home, &lost), 0);
    mds_client_set_lanes(lost, lanes_->get(), lanes_->count());
    rttest::LoopHolder holder(&home);
    mds_call call;
    ASSERT_NO_FATAL_FAILURE(start_noop(&call, lost, TARN_RETRY_FOREVER));
    // The lane finds the file system unknown and hands the wait to the held
    // process, where it stays queued until the process ends.
    kiv_process_terminate(&home);
    mds_call_wait_for_result(&call);
    EXPECT_EQ(mds_call_get_state(&call), CALL_FAILED);
    EXPECT_EQ(call.base.error.kind, RPC_ERR_POSIX);
    EXPECT_EQ(call.base.error.code, uint32_t(ESHUTDOWN));
    mds_call_fini(&call);
    holder.release();
    mds_client_destroy(lost);
    clienttest::stop_process(&home);
}

TEST_P(MdsCallEngineTest, AlreadyCancelledTokenStopsAtTheFirstFailure) {
    client_ = known_client();
    ASSERT_NE(client_, nullptr);
    const long rule = add_rule("status=10");
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    tarn_cancel_ctrl_cancel(ctrl);
    EXPECT_EQ(noop(TARN_RETRY_FOREVER, ctrl), -ECANCELED);
    EXPECT_EQ(fired(rule), 1);
    // A reset control serves the next call.
    tarn_cancel_ctrl_reset(ctrl);
    EXPECT_EQ(ctl("fault del " + std::to_string(rule)), "{\"ok\":true}");
    EXPECT_EQ(noop(TARN_RETRY_FOREVER, ctrl), 0);
    tarn_cancel_ctrl_destroy(ctrl);
}

// ---------------------------------------------------------------- request bytes
TEST_P(MdsCallEngineTest, EveryAttemptCarriesTheWholeHeader) {
    constexpr uint64_t kRecFsId = 0x7f01;
    constexpr uint64_t kRecHost = 0xb1;
    HeaderRecorder recorder;
    ASSERT_NE(recorder.port(), 0);
    ASSERT_EQ(put_record("mds-7f01", kRecFsId, "recordfs", kRecHost, recorder.port()), 0);
    ASSERT_TRUE(wait_for_port(kRecFsId, recorder.port()));
    client_ = make_client("recordfs", client_id_);
    ASSERT_NE(client_, nullptr);

    uint8_t creds[TARN_WIRE_CREDS_BYTES];
    for (size_t i = 0; i < sizeof creds; i++) creds[i] = uint8_t(0xc0 + i);
    recorder.script({TARN_MDS_EPOCH_UNKNOWN, TARN_MDS_DELAY, 0});
    ASSERT_EQ(noop_call(15000, 0, nullptr, creds).rc, 0);
    std::vector<HeaderRecorder::Received> r = recorder.received();
    ASSERT_EQ(r.size(), 3u);
    const uint32_t want_flags[3] = {0, TARN_REQ_FLAG_EPOCH_RESEND, 0};
    for (size_t i = 0; i < r.size(); i++) {
        SCOPED_TRACE("attempt " + std::to_string(i));
        EXPECT_EQ(r[i].length, TARN_MDS_NOOP_REQ_BYTES);
        EXPECT_EQ(r[i].hdr.length, TARN_MDS_NOOP_REQ_BYTES);
        EXPECT_EQ(r[i].hdr.type, uint32_t(TARN_MDS_NOOP));
        EXPECT_EQ(r[i].hdr.version, TARN_WIRE_VERSION);
        EXPECT_EQ(r[i].hdr.client_id, client_id_);
        EXPECT_EQ(r[i].hdr.epoch, 1u);
        EXPECT_EQ(r[i].hdr.flags, want_flags[i]);
        EXPECT_EQ(r[i].hdr.fs_id, kRecFsId);
        EXPECT_EQ(memcmp(r[i].hdr.credentials, creds, sizeof creds), 0);
    }

    // Without credentials the block is zero.
    ASSERT_EQ(noop(TARN_RETRY_NEVER), 0);
    r = recorder.received();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_TRUE(std::all_of(r[3].hdr.credentials, r[3].hdr.credentials + TARN_WIRE_CREDS_BYTES,
                            [](uint8_t b) { return b == 0; }));
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Lanes, MdsCallEngineTest, ::testing::Values(0u, 2u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return info.param == 0 ? std::string("OwnLoop") : std::to_string(info.param) + "Lanes";
                         });

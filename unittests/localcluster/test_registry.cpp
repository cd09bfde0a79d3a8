// The registry of the local cluster, over loopback with the runtime's
// metadata-service client and the discovery library's message codec.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kiv/rpc_server.h"
#include "discovery/discov.h"
#include "discovery/kvstore_msg.h"
#include "kiv/io.h"
#include "kiv/mds.h"
#include "kiv/rpc.h"
#include "localcluster/cluster.h"
#include "localcluster/records.h"
#include "localcluster/registry/registry_server.h"
#include "localcluster/registry/registry_store.h"
#include "hang_guard.h"

namespace {

using Clock = std::chrono::steady_clock;
// The time-out of every request: the hang guard, counted after the longest
// the registry may hold a watch, since its answer must come by then.
constexpr uint32_t kRequestMs = uint32_t(lctest::kHangGuard.count()) + LC_REG_WATCH_MAX_S * 1000;
// A wait for a completion outlasts the request's own time-out.
constexpr int kWaitMs = int(kRequestMs) + 5000;

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

struct Item {
    std::string key, value;
    uint64_t version = 0;
    uint32_t flags = 0;
};

struct Reply {
    bool completed = false;
    uint32_t error = 0;
    bool has_reply = false;
    uint32_t type = 0, status = 0, op = 0, flags = 0, payload = 0;
    uint64_t gen = 0;
    std::vector<Item> items;
    std::string layout_fault;  // a byte that should be zero is not, or a length disagrees
};

bool all_zero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

// Decodes with the client's codec, and checks the bytes that must be zero.
Reply decode(kiv_msg* m) {
    Reply r;
    r.completed = true;
    r.error = m->error;
    kiv_msg* rep = m->reply;
    if (!rep) return r;
    r.has_reply = true;
    const uint8_t* b = rep->buf;
    uint32_t len = rep->kept_len;
    if (len < KVSTORE_HDR_SIZE) {
        r.layout_fault = "reply shorter than its header";
        return r;
    }
    r.type = le32(b + 4);
    r.status = kvstore_msg_status(rep);
    r.op = kvstore_msg_op(rep);
    r.flags = kvstore_msg_flags(rep);
    r.gen = kvstore_msg_generation(rep);
    r.payload = kvstore_msg_payload_len(rep);
    if (le32(b) != len) r.layout_fault = "frame length";
    if (r.payload != len - KVSTORE_HDR_SIZE) r.layout_fault = "payload length";
    if (!all_zero(b + 0x1C, 0x30 - 0x1C) || !all_zero(b + 0x40, 0x64 - 0x40)) r.layout_fault = "header padding";
    if (kvstore_msg_check(rep) != 0) r.layout_fault = "kvstore_msg_check";
    size_t walked = 0;
    for (const kvstore_item* it = kvstore_msg_get_first_item(rep); it; it = kvstore_msg_get_next_item(rep, it)) {
        const uint8_t* ib = reinterpret_cast<const uint8_t*>(it);
        Item item;
        uint32_t k = kvstore_item_key_len(it), v = kvstore_item_value_len(it);
        item.key.assign(reinterpret_cast<const char*>(kvstore_msg_get_key(it)), k);
        item.value.assign(reinterpret_cast<const char*>(kvstore_msg_get_value(it)), v);
        item.version = kvstore_item_version(it);
        item.flags = kvstore_item_flags(it);
        if (le32(ib + KVSTORE_ITEM_OFF_SIZE) != KVSTORE_ITEM_HDR_SIZE + k + v) r.layout_fault = "item size";
        if (le32(ib + KVSTORE_ITEM_OFF_KEY_SIZE) != k) r.layout_fault = "key size";
        if (!all_zero(ib + 0x08, 0x18) || !all_zero(ib + 0x34, 4)) r.layout_fault = "item padding";
        walked += KVSTORE_ITEM_HDR_SIZE + k + v;
        r.items.push_back(std::move(item));
    }
    if (walked != r.payload) r.layout_fault = "items do not fill the payload";
    return r;
}

// One request in flight, completed on the client's event loop.
struct Call {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    kiv_msg* m = nullptr;

    static void on_done(kiv_msg* m) {
        auto* c = static_cast<Call*>(m->priv);
        std::lock_guard<std::mutex> g(c->mu);
        c->done = true;
        c->cv.notify_all();
    }
    bool finished() {
        std::lock_guard<std::mutex> g(mu);
        return done;
    }
    // Empty Reply (completed = false) when it did not finish in time; the
    // message then stays with the client. A request ends by its own
    // time-out at the latest, so the default is only a hang guard.
    Reply wait(int ms = kWaitMs) {
        std::unique_lock<std::mutex> lk(mu);
        if (!cv.wait_for(lk, std::chrono::milliseconds(ms), [this] { return done; })) return Reply{};
        Reply r = decode(m);
        kiv_free_msg(m);
        m = nullptr;
        return r;
    }
};

struct Req {
    uint32_t op;
    std::string key;
    std::string value;
    uint32_t flags = 0;
    uint64_t version = 0;
    uint64_t gen = 0;
    uint64_t watch_s = 0;
};

class RegistryTest : public ::testing::Test {
   protected:
    void SetUp() override { start_cluster(1000, true); }

    void TearDown() override {
        stop_client();
        cluster_.reset();
    }

    void start_cluster(uint32_t page, bool lock_servers) {
        stop_client();
        cluster_.reset();
        localcluster::ClusterConfig cfg;
        cfg.registry_page = page;
        cfg.lock_servers = lock_servers;
        cluster_ = localcluster::Cluster::start(cfg);
        ASSERT_EQ(0, kiv_process_init_(&proc_));
        ASSERT_EQ(0, kiv_process_start(&proc_, "test-client"));
        ASSERT_EQ(0, kiv_rpc_engine_init(&proc_, &engine_, KIV_RPC_ENGINE_REGISTRY));
        client_started_ = true;
        open_client(&mds_);
    }

    void open_client(kiv_mds_client* c) {
        memset(c, 0, sizeof *c);
        ASSERT_EQ(0, kiv_init_client_env("local", &engine_, c, nullptr));
        ASSERT_EQ(0, mds_select(c, 0));
    }

    void stop_client() {
        if (!client_started_) return;
        mds_client_fini(&mds_);
        kiv_rpc_engine_fini(&engine_);
        kiv_process_terminate(&proc_);
        kiv_process_wait(&proc_);
        kiv_process_fini(&proc_);
        client_started_ = false;
    }

    kiv_msg* build(const Req& r, kiv_mds_client* c = nullptr) {
        kiv_msg* m = kvstore_msg_alloc(c ? c : &mds_, r.op, r.version, r.watch_s, r.flags, r.key.data(),
                                       uint32_t(r.key.size()), r.value.data(), uint32_t(r.value.size()));
        if (r.gen) kvstore_msg_set_generation(m, r.gen);
        return m;
    }

    void submit(Call* call, kiv_msg* m, kiv_mds_client* c = nullptr) {
        call->m = m;
        m->priv = call;
        m->done = Call::on_done;
        m->timeout_ms = kRequestMs;
        mds_submit(c ? c : &mds_, m);
    }

    Reply send(kiv_msg* m) {
        Call call;
        submit(&call, m);
        Reply r = call.wait();
        EXPECT_TRUE(r.completed) << "no answer";
        EXPECT_EQ("", r.layout_fault);
        return r;
    }
    Reply send(const Req& r) { return send(build(r)); }

    Reply put(const std::string& k, const std::string& v) { return send(Req{KV_OP_PUT, k, v}); }
    Reply get(const std::string& k) { return send(Req{KV_OP_GET, k, ""}); }
    Reply del(const std::string& k) { return send(Req{KV_OP_DELETE, k, ""}); }
    Reply range(const std::string& start, const std::string& end, uint32_t flags = 0) {
        return send(Req{KV_OP_RANGE, start, end, flags});
    }
    uint64_t generation() { return get("/probe").gen; }

    // A field of the cluster's status, as a number.
    long status_number(const std::string& field) {
        std::string s = cluster_->control("status");
        size_t at = s.find("\"" + field + "\":");
        if (at == std::string::npos) return -1;
        return strtol(s.c_str() + at + field.size() + 3, nullptr, 10);
    }

    bool wait_for_parked(long n) {
        return lctest::wait_until([&] { return status_number("parked_watches") == n; });
    }

    std::unique_ptr<localcluster::Cluster> cluster_;
    kiv_process proc_{};
    kiv_rpc_engine engine_{};
    kiv_mds_client mds_{};
    bool client_started_ = false;
};

const uint32_t kErr = KIV_E_PEER;

// A registry server of the test's own, in a process of its own, beside the
// cluster's: for what a test changes (hooks, budget) before it listens.
// Clients reach it as the cluster named `name`.
struct OwnRegistry {
    kiv_process sp{};
    lc_regstore* store = nullptr;
    lc_regsrv* srv = nullptr;
    std::string name, conf;

    // `held_budget` 0: the registry's own.
    void create(const char* cluster, uint64_t held_budget = 0) {
        name = cluster;
        ASSERT_EQ(0, kiv_process_init_(&sp));
        ASSERT_EQ(0, kiv_process_start(&sp, cluster));
        store = lc_regstore_create(0);
        srv = lc_regsrv_create(&sp, store, 1000, nullptr);
        if (held_budget) lc_regsrv_set_held_budget(srv, held_budget);
    }
    void listen(const std::string& dir) {
        uint16_t port = 0;
        ASSERT_EQ(0, lc_regsrv_listen(srv, 0, &port));
        conf = dir + "/" + name + ".conf";
        std::ofstream(conf) << "mds=127.0.0.1:" << port << "\n";
    }
    ~OwnRegistry() {
        if (!srv) return;
        lc_regsrv_stop(srv);
        kiv_process_terminate(&sp);
        kiv_process_wait(&sp);
        kiv_process_fini(&sp);
        lc_regsrv_destroy(srv);
        lc_regstore_destroy(store);
        if (!conf.empty()) unlink(conf.c_str());
    }
};

TEST_F(RegistryTest, OpTableAnswersAndEchoes) {
    uint64_t g0 = generation();
    Reply r = put("a/k1", "v1");
    EXPECT_EQ(0u, r.error);
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ(KVSTORE_REPLY_TYPE, r.type);
    EXPECT_EQ(uint32_t(KV_OP_PUT), r.op);
    EXPECT_EQ(g0 + 1, r.gen);
    EXPECT_TRUE(r.items.empty());

    r = get("a/k1");
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ(uint32_t(KV_OP_GET), r.op);
    ASSERT_EQ(1u, r.items.size());
    EXPECT_EQ("a/k1", r.items[0].key);
    EXPECT_EQ("v1", r.items[0].value);
    EXPECT_EQ(g0 + 1, r.items[0].version);
    EXPECT_EQ(0u, r.items[0].flags);

    r = get("a/missing");
    EXPECT_EQ(kErr | KV_STATUS_NOT_FOUND, r.error);
    EXPECT_TRUE(r.has_reply);
    EXPECT_EQ(8u, r.status);
    EXPECT_EQ(g0 + 1, r.gen);  // the generation comes with errors too
    EXPECT_TRUE(r.items.empty());

    r = del("a/missing");
    EXPECT_EQ(8u, r.status);
    EXPECT_EQ(uint32_t(KV_OP_DELETE), r.op);

    r = range("a/", "a/{");
    EXPECT_EQ(uint32_t(KV_OP_RANGE), r.op);
    ASSERT_EQ(1u, r.items.size());
    EXPECT_EQ(0u, r.flags);

    r = del("a/k1");
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ(g0 + 2, r.gen);
    EXPECT_EQ(8u, get("a/k1").status);

    // An operation the registry does not have.
    r = send(Req{3, "a/k1", "v"});
    EXPECT_EQ(kErr | KV_STATUS_INVALID, r.error);
    EXPECT_EQ(29u, r.status);
    EXPECT_EQ(3u, r.op);
    EXPECT_EQ(g0 + 2, r.gen);
}

TEST_F(RegistryTest, CompareVersion) {
    uint64_t g0 = generation();
    // Expected version 0 creates a key that is absent.
    Reply r = send(Req{KV_OP_PUT, "cv/k", "one", KV_FLAG_CMP_VERSION, 0});
    EXPECT_EQ(0u, r.status);
    uint64_t v1 = get("cv/k").items.at(0).version;
    EXPECT_EQ(g0 + 1, v1);

    // ... and only then: the second create finds it.
    r = send(Req{KV_OP_PUT, "cv/k", "two", KV_FLAG_CMP_VERSION, 0});
    EXPECT_EQ(kErr | KV_STATUS_VERSION_MISMATCH, r.error);
    EXPECT_EQ(203u, r.status);
    EXPECT_EQ(v1, r.gen);
    r = send(Req{KV_OP_PUT, "cv/k", "two", KV_FLAG_CMP_VERSION, v1 + 7});
    EXPECT_EQ(203u, r.status);
    Reply g = get("cv/k");
    EXPECT_EQ("one", g.items.at(0).value);
    EXPECT_EQ(v1, g.items.at(0).version);
    EXPECT_EQ(v1, g.gen);  // nothing changed

    r = send(Req{KV_OP_PUT, "cv/k", "two", KV_FLAG_CMP_VERSION, v1});
    EXPECT_EQ(0u, r.status);
    uint64_t v2 = get("cv/k").items.at(0).version;
    EXPECT_EQ(v1 + 1, v2);

    // Without the flag the version is not looked at.
    r = send(Req{KV_OP_PUT, "cv/k", "three", 0, 12345});
    EXPECT_EQ(0u, r.status);
    uint64_t v3 = get("cv/k").items.at(0).version;

    r = send(Req{KV_OP_DELETE, "cv/k", "", KV_FLAG_CMP_VERSION, v2});
    EXPECT_EQ(203u, r.status);
    EXPECT_EQ("three", get("cv/k").items.at(0).value);
    r = send(Req{KV_OP_DELETE, "cv/k", "", KV_FLAG_CMP_VERSION, v3});
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ(8u, get("cv/k").status);

    // A version is never handed out twice, even across delete and re-create.
    put("cv/k", "again");
    EXPECT_GT(get("cv/k").items.at(0).version, v3 + 1);
}

TEST_F(RegistryTest, RangePagesOfAHundred) {
    start_cluster(100, true);
    const std::string pfx = "/discov/services/paging/";
    for (int i = 0; i < 250; i++) {
        char name[16];
        snprintf(name, sizeof name, "k%03d", i);
        ASSERT_EQ(0u, put(pfx + name, "value").status);
    }
    std::vector<std::string> seen;
    std::vector<size_t> pages;
    Reply r = range(pfx + "0", pfx + "{");
    for (;;) {
        ASSERT_EQ(0u, r.status);
        pages.push_back(r.items.size());
        for (auto& it : r.items) seen.push_back(it.key);
        if (!(r.flags & KV_FLAG_MORE)) break;
        ASSERT_LT(pages.size(), 10u);
        r = range(seen.back(), pfx + "{", KV_FLAG_START_AFTER);
    }
    EXPECT_EQ((std::vector<size_t>{100, 100, 50}), pages);
    ASSERT_EQ(250u, seen.size());
    for (int i = 0; i < 250; i++) {
        char name[16];
        snprintf(name, sizeof name, "k%03d", i);
        EXPECT_EQ(pfx + name, seen[size_t(i)]);
    }
}

TEST_F(RegistryTest, RangeBoundsAndByteCap) {
    for (const char* k : {"r/a", "r/b", "r/b0", "r/c", "r/d", "s/a"}) put(k, std::string(100, 'x'));
    put("r", "below every r/ key");

    Reply r = range("r/b", "r/d");
    ASSERT_EQ(3u, r.items.size());
    EXPECT_EQ("r/b", r.items[0].key);  // a prefix sorts before its extensions
    EXPECT_EQ("r/b0", r.items[1].key);
    EXPECT_EQ("r/c", r.items[2].key);
    EXPECT_EQ(0u, r.flags);

    r = range("r/b", "r/d", KV_FLAG_START_AFTER);
    ASSERT_EQ(2u, r.items.size());
    EXPECT_EQ("r/b0", r.items[0].key);

    r = range("r/", "");  // an empty end is unbounded
    ASSERT_EQ(6u, r.items.size());
    EXPECT_EQ("s/a", r.items.back().key);

    r = range("t/", "t/{");
    EXPECT_TRUE(r.items.empty());
    EXPECT_EQ(0u, r.flags);

    // Room for exactly two 160-byte items: the cap counts the whole reply.
    const uint32_t item = KVSTORE_ITEM_HDR_SIZE + 3 + 100;
    for (uint32_t cap : {KVSTORE_HDR_SIZE + 2 * item, KVSTORE_HDR_SIZE + 3 * item - 1}) {
        kiv_msg* m = build(Req{KV_OP_RANGE, "r/", "r/{"});
        put32(m->buf + KVSTORE_OFF_MAX_REPLY, cap);
        r = send(m);
        ASSERT_EQ(2u, r.items.size()) << cap;
        EXPECT_EQ(uint32_t(KV_FLAG_MORE), r.flags);
    }
    // 0 means the largest reply there is.
    kiv_msg* m = build(Req{KV_OP_RANGE, "r/", "r/{"});
    put32(m->buf + KVSTORE_OFF_MAX_REPLY, 0);
    r = send(m);
    EXPECT_EQ(5u, r.items.size());
    EXPECT_EQ(0u, r.flags);
}

TEST_F(RegistryTest, WatchAnswersAtOnceWithOneItemPerChangedKey) {
    put("w/a", "a1");
    uint64_t g = generation();
    put("w/a", "a2");
    put("w/b", "b1");
    put("w/a", "a3");
    put("x/out", "not watched");
    Reply r = send(Req{KV_OP_WATCH, "w/", "w/{", 0, 0, g, 5});
    EXPECT_EQ(0u, r.error);
    EXPECT_EQ(uint32_t(KV_OP_WATCH), r.op);
    EXPECT_EQ(0u, r.flags);
    EXPECT_EQ(g + 4, r.gen);
    ASSERT_EQ(2u, r.items.size());
    EXPECT_EQ("w/a", r.items[0].key);
    EXPECT_EQ("a3", r.items[0].value);
    EXPECT_EQ(g + 3, r.items[0].version);
    EXPECT_EQ("w/b", r.items[1].key);
    EXPECT_EQ(g + 2, r.items[1].version);
}

TEST_F(RegistryTest, WatchReportsDeletesAsTombstones) {
    put("t/gone", "last value");
    put("t/kept", "k");
    uint64_t g = generation();
    Reply d = del("t/gone");
    Reply r = send(Req{KV_OP_WATCH, "t/", "t/{", 0, 0, g, 5});
    ASSERT_EQ(1u, r.items.size());
    EXPECT_EQ("t/gone", r.items[0].key);
    EXPECT_EQ("last value", r.items[0].value);
    EXPECT_EQ(uint32_t(KV_ITEM_TOMBSTONE), r.items[0].flags);
    EXPECT_EQ(d.gen, r.items[0].version);

    // Re-created since: the watcher sees the new item, not the tombstone.
    put("t/gone", "back");
    r = send(Req{KV_OP_WATCH, "t/", "t/{", 0, 0, g, 5});
    ASSERT_EQ(1u, r.items.size());
    EXPECT_EQ("back", r.items[0].value);
    EXPECT_EQ(0u, r.items[0].flags);
}

TEST_F(RegistryTest, WatchAheadOfTheRegistryIsStale) {
    uint64_t g = generation();
    auto t0 = Clock::now();
    Reply r = send(Req{KV_OP_WATCH, "w/", "w/{", 0, 0, g + 5, 20});
    // Answered at once, not parked for the watch's 20 s: a loaded machine's
    // round trip stays far below the bound.
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(0u, r.error);
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ(uint32_t(KV_FLAG_STALE), r.flags);
    EXPECT_EQ(g, r.gen);
    EXPECT_TRUE(r.items.empty());
}

TEST_F(RegistryTest, ParkedWatchWakesOnAnInRangeChangeOnly) {
    uint64_t g = generation();
    Call watch;
    submit(&watch, build(Req{KV_OP_WATCH, "p/", "p/{", 0, 0, g, 20}));
    ASSERT_TRUE(wait_for_parked(1));

    put("q/outside", "x");  // out of range: keeps sleeping
    put("p", "the bare prefix sorts below the range");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(watch.finished());
    EXPECT_EQ(1, status_number("parked_watches"));

    auto t0 = Clock::now();
    Reply p = put("p/in", "wake");
    Reply r = watch.wait();
    ASSERT_TRUE(r.completed);
    // Woken by the change, not by the watch's 20 s time-out.
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(0u, r.error);
    EXPECT_EQ(0u, r.flags);
    EXPECT_EQ(p.gen, r.gen);
    ASSERT_EQ(1u, r.items.size());
    EXPECT_EQ("p/in", r.items[0].key);
    EXPECT_EQ(0, status_number("parked_watches"));
}

// Whoever holds a watch's answer sees it no longer counted as parked: the
// count drops before the reply leaves.
TEST_F(RegistryTest, AnsweredWatchIsNoLongerCountedWhenItsReplyLeaves) {
    OwnRegistry own;
    ASSERT_NO_FATAL_FAILURE(own.create("hooked"));
    lc_regsrv* srv = own.srv;
    lc_regstore* store = own.store;
    struct Seen {
        lc_regsrv* srv;
        std::atomic<long> parked_at_reply{-1};
    } seen{srv};
    lc_regsrv_hooks hooks{};
    hooks.reply = [](void* ctx, kiv_rpc_sconn*, kiv_msg** reply) {
        auto* s = static_cast<Seen*>(ctx);
        if (kvstore_msg_op(*reply) == KV_OP_WATCH) s->parked_at_reply = long(lc_regsrv_parked(s->srv));
        return true;
    };
    hooks.ctx = &seen;
    lc_regsrv_set_hooks(srv, hooks);
    ASSERT_NO_FATAL_FAILURE(own.listen(cluster_->dir()));

    kiv_mds_client hooked{};
    ASSERT_EQ(0, kiv_init_client_env("hooked", &engine_, &hooked, nullptr));
    ASSERT_EQ(0, mds_select(&hooked, 0));
    Call watch;
    submit(&watch, build(Req{KV_OP_WATCH, "h/", "h/{", 0, 0, lc_regstore_generation(store), 20}, &hooked), &hooked);
    ASSERT_TRUE(lctest::wait_until([&] { return lc_regsrv_parked(srv) != 0; }));
    ASSERT_EQ(1u, lc_regsrv_parked(srv));
    uint64_t gen = 0;
    ASSERT_EQ(0u, lc_regstore_put(store, "h/k", "v", false, 0, &gen));
    Reply r = watch.wait();
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(1u, r.items.size());
    EXPECT_EQ(0, seen.parked_at_reply.load());
    mds_client_fini(&hooked);
}

// Many connections that park watches fill the registry's shared budget
// only up to its slack and one request beyond it, however many they are;
// a client that waited behind them is answered once they go. Each peer
// sends less than a socket takes in, so its close reaches the server
// however little of it was read.
TEST_F(RegistryTest, ParkedWatchesOfManyConnectionsStayWithinTheSharedBudget) {
    constexpr uint64_t kBudget = 256u << 10;
    constexpr int kHogs = 40;
    constexpr uint32_t kWatches = 4;  // 40 x 4 x 4 KB: twice the budget and its slack
    OwnRegistry own;
    ASSERT_NO_FATAL_FAILURE(own.create("budget", kBudget));
    lc_regsrv* srv = own.srv;
    lc_regstore* store = own.store;
    ASSERT_NO_FATAL_FAILURE(own.listen(cluster_->dir()));

    const std::string end = "w/{" + std::string(4000, 'x');
    const uint64_t g = lc_regstore_generation(store);
    std::vector<std::unique_ptr<kiv_mds_client>> hogs;
    std::vector<std::unique_ptr<Call>> calls;
    uint32_t frame = 0;
    for (int i = 0; i < kHogs; i++) {
        hogs.push_back(std::make_unique<kiv_mds_client>());
        ASSERT_EQ(0, kiv_init_client_env("budget", &engine_, hogs.back().get(), nullptr));
        ASSERT_EQ(0, mds_select(hogs.back().get(), 0));
        for (uint32_t k = 0; k < kWatches; k++) {
            calls.push_back(std::make_unique<Call>());
            kiv_msg* m = build(Req{KV_OP_WATCH, "w/", end, 0, 0, g, 30}, hogs.back().get());
            frame = m->total_len;
            submit(calls.back().get(), m, hogs.back().get());
        }
    }
    // Reading stops only past the budget, and nothing is released.
    ASSERT_TRUE(lctest::wait_until(
        [&] { return lc_regsrv_parked(srv) >= size_t(kBudget / (frame + KIV_RPC_MSG_OVERHEAD)); }))
        << lc_regsrv_parked(srv);

    kiv_mds_client good{};
    ASSERT_EQ(0, kiv_init_client_env("budget", &engine_, &good, nullptr));
    ASSERT_EQ(0, mds_select(&good, 0));
    std::vector<std::unique_ptr<Call>> puts;
    for (int i = 0; i < 3; i++) {
        puts.push_back(std::make_unique<Call>());
        submit(puts.back().get(), build(Req{KV_OP_PUT, "other/" + std::to_string(i), "v"}, &good), &good);
    }
    EXPECT_LT(lc_regsrv_parked(srv), size_t(kHogs) * kWatches);
    for (auto& h : hogs) mds_client_fini(h.get());
    for (auto& c : calls) EXPECT_TRUE(c->wait().completed);
    for (size_t i = 0; i < puts.size(); i++) {
        Reply r = puts[i]->wait();
        ASSERT_TRUE(r.completed) << i;
        EXPECT_EQ(0u, r.status);
    }
    uint64_t held = 0, peak = 0;
    lc_regsrv_held(srv, &held, &peak);
    EXPECT_LE(peak, kiv_rpc_budget_bound(lc_regsrv_budget(srv), 1, LC_REG_MAX_FRAME));
    mds_client_fini(&good);
}

// Connections that the full budget keeps unread still go at their peers'
// close, with their parked watches, not when those watches time out; a
// client whose watch the full budget kept unread is read then. Each peer
// sends less than a socket takes in, so its close reaches the server
// however little of it was read.
TEST_F(RegistryTest, ClosedConnectionsThatTheBudgetPausedGoWithTheirWatches) {
    constexpr uint64_t kBudget = 64u << 10;
    constexpr int kHogs = 50;
    OwnRegistry own;
    ASSERT_NO_FATAL_FAILURE(own.create("closing", kBudget));
    lc_regsrv* srv = own.srv;
    ASSERT_NO_FATAL_FAILURE(own.listen(cluster_->dir()));

    const uint64_t g = lc_regstore_generation(own.store);
    std::vector<std::unique_ptr<kiv_mds_client>> hogs;
    std::vector<std::unique_ptr<Call>> calls;
    // One hog at a time, each until its first watch is parked (a connection
    // that holds nothing is read within the budget's slack), until the
    // budget and its slack are full: no watch is parked any more until
    // something is released.
    uint64_t held = 0, peak = 0;
    for (int i = 0; i < kHogs && held <= kBudget + kBudget / 8; i++) {
        const size_t parked = lc_regsrv_parked(srv);
        hogs.push_back(std::make_unique<kiv_mds_client>());
        ASSERT_EQ(0, kiv_init_client_env("closing", &engine_, hogs.back().get(), nullptr));
        ASSERT_EQ(0, mds_select(hogs.back().get(), 0));
        for (uint32_t k = 0; k < LC_REG_MAX_PARKED_PER_CONN; k++) {
            calls.push_back(std::make_unique<Call>());
            submit(calls.back().get(),
                   build(Req{KV_OP_WATCH, "w/", "w/{" + std::string(200, 'x'), 0, 0, g, LC_REG_WATCH_MAX_S},
                         hogs.back().get()),
                   hogs.back().get());
        }
        ASSERT_TRUE(lctest::wait_until([&] { return lc_regsrv_parked(srv) > parked; })) << i;
        lc_regsrv_held(srv, &held, &peak);
    }
    ASSERT_GT(held, kBudget + kBudget / 8);

    // Its watch waits unread behind the hogs' until they go.
    kiv_mds_client live{};
    ASSERT_EQ(0, kiv_init_client_env("closing", &engine_, &live, nullptr));
    ASSERT_EQ(0, mds_select(&live, 0));
    Call mine;
    submit(&mine, build(Req{KV_OP_WATCH, "g/", "g/{", 0, 0, g, LC_REG_WATCH_MAX_S}, &live), &live);

    for (auto& h : hogs) mds_client_fini(h.get());
    for (auto& c : calls) EXPECT_TRUE(c->wait().completed);
    // Half the time the hogs' watches would be held for: any later, and
    // only their time-outs released them.
    EXPECT_TRUE(lctest::wait_until([&] { return lc_regsrv_parked(srv) == 1; },
                                   std::chrono::seconds(LC_REG_WATCH_MAX_S / 2)))
        << lc_regsrv_parked(srv) << " watches still parked";
    Call put;
    submit(&put, build(Req{KV_OP_PUT, "g/k", "v"}, &live), &live);
    Reply r = put.wait();
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(0u, r.error);
    EXPECT_EQ(1u, mine.wait().items.size());
    mds_client_fini(&live);
}

// Each parked watch holds memory until it is answered: one connection may
// park only so many, and the next is refused while other connections still
// park theirs.
TEST_F(RegistryTest, ParkedWatchesPerConnectionAreBounded) {
    kiv_mds_client other{};
    open_client(&other);
    const uint64_t g = generation();
    std::vector<std::unique_ptr<Call>> calls;
    for (uint32_t i = 0; i < LC_REG_MAX_PARKED_PER_CONN; i++) {
        calls.push_back(std::make_unique<Call>());
        submit(calls.back().get(), build(Req{KV_OP_WATCH, "b/", "b/{", 0, 0, g, 20}, &other), &other);
    }
    ASSERT_TRUE(wait_for_parked(LC_REG_MAX_PARKED_PER_CONN));
    Call refused;
    submit(&refused, build(Req{KV_OP_WATCH, "b/", "b/{", 0, 0, g, 20}, &other), &other);
    Reply r = refused.wait();
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(kErr | KV_STATUS_INVALID, r.error);
    EXPECT_EQ(LC_REG_MAX_PARKED_PER_CONN, status_number("parked_watches"));

    Call mine;
    submit(&mine, build(Req{KV_OP_WATCH, "b/", "b/{", 0, 0, g, 20}));
    ASSERT_TRUE(wait_for_parked(LC_REG_MAX_PARKED_PER_CONN + 1));
    EXPECT_EQ(0u, put("b/k", "v").status);
    for (auto& c : calls) EXPECT_EQ(1u, c->wait().items.size());
    EXPECT_EQ(1u, mine.wait().items.size());
    EXPECT_TRUE(wait_for_parked(0));
    mds_client_fini(&other);
}

TEST_F(RegistryTest, ParkedWatchTimesOutWithThirteen) {
    uint64_t g = generation();
    auto t0 = Clock::now();
    Reply r = send(Req{KV_OP_WATCH, "idle/", "idle/{", 0, 0, g, 1});
    auto took = Clock::now() - t0;
    EXPECT_EQ(kErr | KV_STATUS_NO_CHANGE, r.error);
    EXPECT_EQ(13u, r.status);
    EXPECT_EQ(g, r.gen);
    EXPECT_TRUE(r.items.empty());
    // Held for its own second, not for a longer time-out such as the
    // longest a watch may ask (55 s); a loaded machine's round trip stays
    // far below the bound.
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::seconds(10));

    // A time-out of 0 is taken as the shortest one, 1 s.
    t0 = Clock::now();
    r = send(Req{KV_OP_WATCH, "idle/", "idle/{", 0, 0, g, 0});
    EXPECT_EQ(13u, r.status);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(900));
}

TEST_F(RegistryTest, DisconnectDropsTheParkedWatch) {
    kiv_mds_client other{};
    open_client(&other);
    Call watch;
    submit(&watch, build(Req{KV_OP_WATCH, "d/", "d/{", 0, 0, generation(), 30}, &other), &other);
    ASSERT_TRUE(wait_for_parked(1));
    mds_client_fini(&other);  // the pending watch ends on the client side
    Reply gone = watch.wait();
    EXPECT_TRUE(gone.completed);
    EXPECT_EQ(uint32_t(KIV_E_ABANDONED), gone.error);
    EXPECT_TRUE(wait_for_parked(0));

    // The registry carries on, and a change in that range wakes nobody.
    EXPECT_EQ(0u, put("d/k", "v").status);
    EXPECT_EQ("v", get("d/k").items.at(0).value);
    EXPECT_EQ(0, status_number("parked_watches"));
}

TEST_F(RegistryTest, ManyParkedWatchesHoldNoThreads) {
    // More watches than any worker pool would have threads.
    uint64_t g = generation();
    std::vector<std::unique_ptr<Call>> calls;
    for (int i = 0; i < 64; i++) {
        calls.push_back(std::make_unique<Call>());
        submit(calls.back().get(), build(Req{KV_OP_WATCH, "m/", "m/{", 0, 0, g, 20}));
    }
    ASSERT_TRUE(wait_for_parked(64));
    // The registry still answers while they wait.
    EXPECT_EQ(0u, put("other/k", "v").status);
    EXPECT_EQ(0u, put("m/k", "v").status);
    for (auto& c : calls) {
        Reply r = c->wait();
        ASSERT_TRUE(r.completed);
        ASSERT_EQ(1u, r.items.size());
        EXPECT_EQ("m/k", r.items[0].key);
    }
}

TEST_F(RegistryTest, GenerationNeverGoesBack) {
    uint64_t last = generation();
    auto step = [&](const Reply& r, bool changes) {
        EXPECT_EQ(changes ? last + 1 : last, r.gen);
        last = r.gen;
    };
    step(put("g/a", "1"), true);
    step(put("g/a", "2"), true);
    step(get("g/a"), false);
    step(get("g/none"), false);
    step(send(Req{KV_OP_PUT, "g/a", "3", KV_FLAG_CMP_VERSION, 1}), false);
    step(del("g/none"), false);
    step(del("g/a"), true);
    step(range("g/", "g/{"), false);
    step(send(Req{KV_OP_PUT, "g/b", ""}), false);
    step(put("g/b", "x"), true);
}

TEST_F(RegistryTest, MalformedRequestsAnswerTwentyNine) {
    uint64_t g = generation();
    auto expect_invalid = [&](kiv_msg* m, const char* what) {
        Call call;
        submit(&call, m);
        Reply r = call.wait();
        ASSERT_TRUE(r.completed) << what;
        EXPECT_EQ(kErr | KV_STATUS_INVALID, r.error) << what;
        EXPECT_EQ(29u, r.status) << what;
        EXPECT_EQ(g, r.gen) << what;
        EXPECT_TRUE(r.items.empty()) << what;
    };
    // Shorter than a header and one item header.
    kiv_msg* m = mds_client_alloc_msg(&mds_, KVSTORE_MSG_TYPE, KVSTORE_HDR_SIZE + KVSTORE_ITEM_HDR_SIZE - 1);
    put32(m->buf + KVSTORE_OFF_OP, KV_OP_GET);
    expect_invalid(m, "short frame");

    m = build(Req{KV_OP_GET, "m/k", ""});
    put32(m->buf + KVSTORE_OFF_PAYLOAD_LEN, kvstore_msg_payload_len(m) - 1);
    expect_invalid(m, "payload length");

    m = build(Req{KV_OP_PUT, "m/k", "value"});
    put32(m->buf + KVSTORE_OFF_ITEMS + KVSTORE_ITEM_OFF_SIZE, KVSTORE_ITEM_HDR_SIZE + 3 + 4);
    expect_invalid(m, "item size");

    m = build(Req{KV_OP_PUT, "m/k", "value"});
    put32(m->buf + KVSTORE_OFF_ITEMS + KVSTORE_ITEM_OFF_KEY_SIZE, 2);
    expect_invalid(m, "key size");

    expect_invalid(build(Req{KV_OP_GET, "", ""}), "empty key");
    expect_invalid(build(Req{KV_OP_GET, std::string(4097, 'k'), ""}), "key over 4096");
    expect_invalid(build(Req{KV_OP_PUT, "m/k", std::string(65537, 'v')}), "value over 65536");
    expect_invalid(build(Req{KV_OP_PUT, "m/k", ""}), "empty value");
    expect_invalid(build(Req{0, "m/k", "v"}), "operation 0");

    // The limits themselves are fine.
    EXPECT_EQ(0u, put(std::string(4096, 'k'), std::string(65536, 'v')).status);
}

TEST_F(RegistryTest, ServiceRecordsOfEveryFileSystem) {
    std::string st = cluster_->control("status");
    Reply r = range("/discov/services/tarn/mds/0", "/discov/services/tarn/mds/{");
    ASSERT_EQ(2u, r.items.size());
    EXPECT_EQ("/discov/services/tarn/mds/mds-1001", r.items[0].key);
    EXPECT_EQ("/discov/services/tarn/mds/mds-1002", r.items[1].key);
    long port = status_number("mds_port");
    EXPECT_EQ("{\"name\":\"mds\",\"host_id\":\"00000000000000a1\",\"tags\":[\"fsid:1001\",\"fsname:tarn\"],"
              "\"addr\":\"127.0.0.1\",\"port\":" + std::to_string(port) + "}",
              r.items[0].value);
    EXPECT_NE(std::string::npos, r.items[1].value.find("\"tags\":[\"fsid:1002\",\"fsname:tarn_ci\"]"));

    r = range("/discov/services/tarn/ls/0", "/discov/services/tarn/ls/{");
    ASSERT_EQ(2u, r.items.size());
    EXPECT_EQ("/discov/services/tarn/ls/ls-1001", r.items[0].key);
    long ls_port = status_number("ls_port");
    EXPECT_EQ("{\"name\":\"ls\",\"host_id\":\"00000000000000a1\",\"tags\":[\"fsid:1001\"],"
              "\"addr\":\"127.0.0.1\",\"port\":" + std::to_string(ls_port) + "}",
              r.items[0].value);
    EXPECT_NE(port, ls_port);

    start_cluster(1000, false);
    r = range("/discov/services/tarn/ls/0", "/discov/services/tarn/ls/{");
    EXPECT_TRUE(r.items.empty());
    EXPECT_EQ(2u, range("/discov/services/tarn/mds/0", "/discov/services/tarn/mds/{").items.size());
}

// ---------------------------------------------------------------- the store alone

TEST(RegistryStoreTest, WatchOlderThanTheLogIsStale) {
    lc_regstore* s = lc_regstore_create(8);
    uint64_t gen = 0;
    lc_reg_page_limits lim{1000, 1 << 20};
    for (int i = 0; i < 8; i++) lc_regstore_put(s, "k" + std::to_string(i), "v", false, 0, &gen);
    EXPECT_EQ(9u, gen);
    EXPECT_EQ(0u, lc_regstore_floor(s));  // the log still holds every change
    std::vector<lc_reg_item> items;
    uint64_t scanned = 1;
    EXPECT_EQ(LC_REG_WATCH_CHANGES, lc_regstore_watch(s, 1, &scanned, "k", "l", lim, &items, &gen));
    EXPECT_EQ(8u, items.size());

    for (int i = 0; i < 4; i++) lc_regstore_put(s, "k" + std::to_string(i), "w", false, 0, &gen);
    EXPECT_EQ(13u, gen);
    EXPECT_EQ(5u, lc_regstore_floor(s));
    for (uint64_t g : {0ull, 4ull}) {
        items.clear();
        scanned = g;
        EXPECT_EQ(LC_REG_WATCH_STALE, lc_regstore_watch(s, g, &scanned, "k", "l", lim, &items, &gen)) << g;
        EXPECT_TRUE(items.empty());
    }
    items.clear();
    scanned = 5;
    EXPECT_EQ(LC_REG_WATCH_CHANGES, lc_regstore_watch(s, 5, &scanned, "k", "l", lim, &items, &gen));
    EXPECT_EQ(8u, items.size());  // k4..k7 (gens 6-9) and k0..k3 rewritten
    items.clear();
    EXPECT_EQ(LC_REG_WATCH_STALE, lc_regstore_watch(s, 14, &scanned, "k", "l", lim, &items, &gen));
    lc_regstore_destroy(s);
}

TEST(RegistryStoreTest, ParkedWatchReadsOnlyNewEntries) {
    lc_regstore* s = lc_regstore_create(64);
    uint64_t gen = 0;
    lc_reg_page_limits lim{1000, 1 << 20};
    lc_regstore_put(s, "in/a", "1", false, 0, &gen);
    uint64_t g = gen;
    lc_regstore_put(s, "out/a", "1", false, 0, &gen);
    std::vector<lc_reg_item> items;
    uint64_t scanned = g;
    EXPECT_EQ(LC_REG_WATCH_NONE, lc_regstore_watch(s, g, &scanned, "in/", "in/{", lim, &items, &gen));
    EXPECT_EQ(gen, scanned);
    lc_regstore_put(s, "in/b", "2", false, 0, &gen);
    EXPECT_EQ(LC_REG_WATCH_CHANGES, lc_regstore_watch(s, g, &scanned, "in/", "in/{", lim, &items, &gen));
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ("in/b", items[0].key);
    lc_regstore_destroy(s);
}

TEST(RegistryStoreTest, FirstItemAlwaysFitsAPage) {
    lc_regstore* s = lc_regstore_create(64);
    uint64_t gen = 0;
    lc_regstore_put(s, "a", std::string(1000, 'x'), false, 0, &gen);
    lc_regstore_put(s, "b", "y", false, 0, &gen);
    std::vector<lc_reg_item> items;
    bool more = false;
    lc_regstore_range(s, "a", "", false, lc_reg_page_limits{1000, 10}, &items, &more, &gen);
    ASSERT_EQ(1u, items.size());  // a page always progresses
    EXPECT_TRUE(more);
    lc_regstore_destroy(s);
}

// A restarted store keeps its items, numbers them again from the start in
// key order, and tells a watcher of the old, higher generation it is stale.
TEST(RegistryStoreTest, RestartKeepsItemsAndStartsTheGenerationOver) {
    lc_regstore* s = lc_regstore_create(64);
    uint64_t gen = 0;
    for (const char* k : {"c", "a", "b", "a", "c", "d"}) lc_regstore_put(s, k, std::string("v") + k, false, 0, &gen);
    lc_regstore_delete(s, "d", false, 0, &gen);
    const uint64_t before = lc_regstore_generation(s);
    EXPECT_EQ(4u, lc_regstore_restart(s));  // three items written again after generation 1
    EXPECT_LT(lc_regstore_generation(s), before);
    std::vector<lc_reg_item> items;
    bool more = true;
    lc_regstore_range(s, "", "", false, lc_reg_page_limits{1000, 1u << 20}, &items, &more, &gen);
    ASSERT_EQ(3u, items.size());
    for (size_t i = 0; i < items.size(); i++) {
        EXPECT_EQ(std::string(1, char('a' + i)), items[i].key);
        EXPECT_EQ("v" + items[i].key, items[i].value);
        EXPECT_EQ(2 + i, items[i].version);
    }
    uint64_t scanned = before;
    items.clear();
    EXPECT_EQ(LC_REG_WATCH_STALE,
              lc_regstore_watch(s, before, &scanned, "", "", lc_reg_page_limits{1000, 1u << 20}, &items, &gen));
    scanned = 4;
    EXPECT_EQ(LC_REG_WATCH_NONE,
              lc_regstore_watch(s, 4, &scanned, "", "", lc_reg_page_limits{1000, 1u << 20}, &items, &gen));
    lc_regstore_destroy(s);
}

}  // namespace

// ---------------------------------------------------------------- with the discovery client

namespace {

class DiscoveryEndToEndTest : public ::testing::Test {
   protected:
    void SetUp() override {
        cluster_ = localcluster::Cluster::start(localcluster::ClusterConfig{});
        ASSERT_EQ(0, kiv_process_init_(&proc_));
        ASSERT_EQ(0, kiv_process_start(&proc_, "test-discov"));
        ASSERT_EQ(0, discov_create("local", "tarn/mds", DISCOV_MODE_READ_ONLY, &proc_, &d_));
    }
    void TearDown() override {
        if (d_) discov_destroy(d_);
        kiv_process_terminate(&proc_);
        kiv_process_wait(&proc_);
        kiv_process_fini(&proc_);
        cluster_.reset();
    }

    long status_number(const std::string& field) {
        std::string s = cluster_->control("status");
        size_t at = s.find("\"" + field + "\":");
        return at == std::string::npos ? -1 : strtol(s.c_str() + at + field.size() + 3, nullptr, 10);
    }

    std::unique_ptr<localcluster::Cluster> cluster_;
    kiv_process proc_{};
    discov* d_ = nullptr;
};

TEST_F(DiscoveryEndToEndTest, ListsAndWatchesTheMdsRecords) {
    discov_svc_map* map = nullptr;
    kiv_move_to_coroutine(&proc_);
    int rc = discov_co_get_svc_map(d_, &map);
    kiv_move_from_coroutine();
    ASSERT_EQ(0, rc);
    ASSERT_EQ(2u, map->count);
    EXPECT_EQ(uint64_t(status_number("generation")), map->generation);
    const discov_svc& s = map->records[0];
    EXPECT_STREQ("mds", s.name);
    EXPECT_STREQ("mds-1001", s.id);
    EXPECT_EQ(0xa1u, s.host_id);
    ASSERT_EQ(2u, s.tag_count);
    EXPECT_STREQ("fsid:1001", s.tags[0]);
    EXPECT_STREQ("fsname:tarn", s.tags[1]);
    EXPECT_STREQ("127.0.0.1", s.addr);
    EXPECT_EQ(status_number("mds_port"), long(s.port));
    EXPECT_STREQ("mds-1002", map->records[1].id);
    uint64_t gen = map->generation;
    discov_svc_map_put(map);

    // A watch from that generation sleeps until the namespace changes.
    std::thread changer([this] {
        EXPECT_TRUE(lctest::wait_until([this] { return status_number("parked_watches") == 1; }));
        discov* writer = nullptr;
        discov_create("local", "tarn/mds", DISCOV_MODE_RPC, &proc_, &writer);
        discov_svc svc;
        discov_svc_init(&svc);
        svc.name = const_cast<char*>("mds");
        svc.id = const_cast<char*>("mds-2002");
        svc.host_id = 0xa1;
        svc.addr = const_cast<char*>("127.0.0.1");
        svc.port = 4242;
        kiv_move_to_coroutine(&proc_);
        EXPECT_EQ(0, discov_co_register_svc(writer, &svc));
        kiv_move_from_coroutine();
        discov_destroy(writer);
    });
    kiv_move_to_coroutine(&proc_);
    rc = discov_co_watch_svc_map(d_, gen, 10, &map);
    kiv_move_from_coroutine();
    changer.join();
    ASSERT_EQ(0, rc);
    EXPECT_EQ(gen + 1, map->generation);
    ASSERT_EQ(1u, map->count);
    EXPECT_STREQ("mds-2002", map->records[0].id);
    EXPECT_EQ(4242, map->records[0].port);
    discov_svc_map_put(map);

    kiv_move_to_coroutine(&proc_);
    rc = discov_co_watch_svc_map(d_, gen + 1, 1, &map);
    kiv_move_from_coroutine();
    EXPECT_EQ(-ETIMEDOUT, rc);
    kiv_move_to_coroutine(&proc_);
    rc = discov_co_watch_svc_map(d_, gen + 50, 1, &map);
    kiv_move_from_coroutine();
    EXPECT_EQ(-ESTALE, rc);
}

}  // namespace

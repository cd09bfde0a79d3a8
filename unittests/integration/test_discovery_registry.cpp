// The discovery client against the real registry of a local cluster over
// loopback: records written and read back, paged listings, watches and the
// watcher. Every call runs inside a coroutine of the test's runtime
// process, as the client library's callers do.
//
// One small cluster serves the whole program (registry pages of 100 items);
// each test works in a namespace of its own. Paging is observed through a
// forwarding proxy that counts range requests and can slip a write in
// between two pages.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "discovery/discov.h"
#include "discovery/kvstore_msg.h"
#include "kiv/io.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"
#include "localcluster/cluster.h"
#include "runtime/runtime_test_util.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
// Stopping a watch must not sit out the 40 s the registry holds it for: a
// loaded machine adds far less than this bound.
constexpr auto kPrompt = 3000ms;

const char k_cluster[] = "itdisc";

char* kdup(const char* s) { return __kiv_strdup("test", KIV_POS, KIV_MEM_NOFAIL, s); }

// A record owned by the test.
struct Svc {
    discov_svc s;
    explicit Svc(const std::string& id, uint16_t port = 4000, std::vector<std::string> tags = {}) {
        discov_svc_init(&s);
        s.name = kdup("it");
        s.id = kdup(id.c_str());
        s.addr = kdup("127.0.0.1");
        s.host_id = 0xb1;
        s.port = port;
        s.tag_count = static_cast<uint32_t>(tags.size());
        if (!tags.empty()) {
            s.tags = static_cast<char**>(__kiv_zmalloc("test", KIV_POS, KIV_MEM_NOFAIL, tags.size() * sizeof(char*)));
            for (size_t i = 0; i < tags.size(); ++i) s.tags[i] = kdup(tags[i].c_str());
        }
    }
    ~Svc() { discov_svc_fini(&s); }
};

std::vector<std::string> ids(const discov_svc_map* m) {
    std::vector<std::string> v;
    for (uint32_t i = 0; i < m->count; ++i) v.push_back(m->records[i].id);
    return v;
}

// Forwards registry frames from its listener to the real registry. It counts
// range requests and, when armed, writes one record straight into the
// registry after the first range reply and before passing that reply on.
class RegistryProxy {
public:
    void start(uint16_t registry_port) {
        ASSERT_EQ(0, kiv_process_init_(&proc_));
        ASSERT_EQ(0, kiv_process_start(&proc_, "proxy"));
        ASSERT_EQ(0, kiv_rpc_engine_init(&proc_, &eng_, KIV_RPC_ENGINE_CLIENT));
        const kiv_rpc_params params = {24, 1u << 20, 5000, 50, 60000, 1};
        const kiv_rpc_ep_ops ops = {};
        ep_ = kiv_rpc_create(&eng_, &ops, &params);
        ASSERT_NE(nullptr, ep_);
        kiv_netaddr target{};
        ASSERT_EQ(0, kiv_parse_netaddr_port("127.0.0.1", std::to_string(registry_port).c_str(), &target));
        ASSERT_EQ(0, kiv_rpc_set_address(ep_, &target));
        static const kiv_rpc_server_ops sops = {
            [](kiv_rpc_sconn* c, kiv_msg* req, void* arg) { static_cast<RegistryProxy*>(arg)->on_request(c, req); },
            nullptr, nullptr};
        kiv_netaddr any{};
        ASSERT_EQ(0, kiv_parse_netaddr_port("127.0.0.1", "0", &any));
        ASSERT_EQ(0, kiv_rpc_listen(&proc_, &any, 1u << 20, &sops, this, &srv_));
        kiv_netaddr bound{};
        ASSERT_EQ(0, kiv_rpc_server_addr(srv_, &bound));
        port_ = bound.port;
    }

    // Only once no request is in flight through the proxy.
    void stop() {
        if (srv_) kiv_rpc_server_close(srv_);
        srv_ = nullptr;
        if (ep_) kiv_rpc_close(ep_);
        ep_ = nullptr;
        kiv_process_terminate(&proc_);
        kiv_process_wait(&proc_);
        kiv_process_fini(&proc_);
        kiv_rpc_engine_fini(&eng_);
    }

    uint16_t port() const { return port_; }
    int ranges() const { return ranges_; }
    bool wrote_between_pages() const { return put_done_; }

    void write_after_first_page(const std::string& key, const std::string& value) {
        put_key_ = key;
        put_value_ = value;
        armed_ = true;
    }

private:
    struct Pending {
        RegistryProxy* self;
        kiv_rpc_sconn* conn;
        kiv_msg* req;
        kiv_msg* out;  // the reply held back while the write goes in
    };

    void on_request(kiv_rpc_sconn* c, kiv_msg* req) {
        kiv_rpc_sconn_ref(c);
        const bool range = kvstore_msg_op(req) == KV_OP_RANGE;
        if (range) ranges_++;
        kiv_msg* fwd = kiv_rpc_alloc_output_msg(req->total_len);
        memcpy(fwd->buf, req->buf, req->total_len);
        kiv_rpc_get_new_xid(&eng_, fwd->buf + 8);
        fwd->timeout_ms = 60000;
        fwd->done = on_forward_done;
        fwd->priv = new Pending{this, c, req, nullptr};
        kiv_rpc_call(ep_, fwd);
    }

    static void send(Pending* p) {
        kiv_rpc_reply(p->conn, p->out);
        kiv_rpc_sconn_unref(p->conn);
        kiv_free_msg(p->req);
        delete p;
    }

    static void on_forward_done(kiv_msg* fwd) {
        auto* p = static_cast<Pending*>(fwd->priv);
        RegistryProxy* self = p->self;
        if (fwd->error != 0 || fwd->reply == nullptr) {
            kiv_rpc_reply_error(p->conn, p->req, fwd->error ? (fwd->error & KIV_E_CODE_MASK) : KIV_E_PROTO);
            kiv_rpc_sconn_unref(p->conn);
            kiv_free_msg(p->req);
            delete p;
            kiv_free_msg(fwd);
            return;
        }
        const kiv_msg* reply = fwd->reply;
        p->out = kiv_rpc_alloc_reply(p->req, reply->total_len);
        memcpy(p->out->buf + 24, reply->buf + 24, reply->total_len - 24);
        const bool range = kvstore_msg_op(p->req) == KV_OP_RANGE;
        kiv_free_msg(fwd);
        if (range && self->armed_) {
            self->armed_ = false;
            kiv_msg* put = kvstore_msg_alloc(nullptr, KV_OP_PUT, 0, 0, 0, self->put_key_.data(),
                                             static_cast<uint32_t>(self->put_key_.size()), self->put_value_.data(),
                                             static_cast<uint32_t>(self->put_value_.size()));
            kiv_rpc_get_new_xid(&self->eng_, put->buf + 8);
            put->priv = p;
            put->done = [](kiv_msg* m) {
                auto* held = static_cast<Pending*>(m->priv);
                held->self->put_done_ = m->error == 0 && m->reply && kvstore_msg_status(m->reply) == 0;
                kiv_free_msg(m);
                send(held);
            };
            kiv_rpc_call(self->ep_, put);
            return;
        }
        send(p);
    }

    kiv_process proc_{};
    kiv_rpc_engine eng_{};
    kiv_rpc_endpoint* ep_ = nullptr;
    kiv_rpc_server* srv_ = nullptr;
    uint16_t port_ = 0;
    std::atomic<int> ranges_{0};
    std::atomic<bool> armed_{false};
    std::atomic<bool> put_done_{false};
    std::string put_key_, put_value_;
};

class DiscoveryRegistryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        localcluster::ClusterConfig cfg;
        cfg.cluster = k_cluster;
        cfg.fs = {{"tarn", 0x1001}};
        cfg.vdisks_per_host = 1;
        cfg.lock_servers = false;
        cfg.registry_page = 100;
        cluster_ = localcluster::Cluster::start(cfg).release();
    }

    static void TearDownTestSuite() {
        delete cluster_;
        cluster_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(nullptr, cluster_);
        ASSERT_EQ(0, kiv_process_init_(&proc_));
        ASSERT_EQ(0, kiv_process_start(&proc_, "evloop"));
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        ns_ = std::string("it/") + info->name();
        ASSERT_EQ(0, discov_create(k_cluster, ns_.c_str(), DISCOV_MODE_RPC, &proc_, &d_));
    }

    void TearDown() override {
        discov_destroy(d_);
        kiv_process_terminate(&proc_);
        kiv_process_wait(&proc_);
        kiv_process_fini(&proc_);
        for (const std::string& f : files_) unlink(f.c_str());
    }

    template <typename F>
    auto in_co(F&& f) {
        kiv_move_to_coroutine(&proc_);
        auto r = f();
        kiv_move_from_coroutine();
        return r;
    }

    int reg(discov* d, const Svc& svc) {
        return in_co([&] { return discov_co_register_svc(d, &svc.s); });
    }

    int get(discov* d, const char* id, discov_svc* out) {
        return in_co([&] { return discov_co_get_svc(d, id, out); });
    }

    int list(discov* d, discov_svc_map** out) {
        return in_co([&] { return discov_co_get_svc_map(d, out); });
    }

    // A cluster name whose bootstrap file names the proxy.
    std::string proxied_cluster(const RegistryProxy& proxy) {
        const std::string name = std::string(k_cluster) + "-proxy";
        const std::string path = cluster_->dir() + "/" + name + ".conf";
        std::ofstream(path) << "mds=127.0.0.1:" << proxy.port() << "\n";
        files_.push_back(path);
        return name;
    }

    static localcluster::Cluster* cluster_;
    kiv_process proc_{};
    std::string ns_;
    discov* d_ = nullptr;
    std::vector<std::string> files_;
};

localcluster::Cluster* DiscoveryRegistryTest::cluster_ = nullptr;

TEST_F(DiscoveryRegistryTest, RegisterGetUpdateUnregister) {
    Svc svc("svc-1", 4001, {"role:a", "zone:1"});
    ASSERT_EQ(0, reg(d_, svc));

    discov_svc got;
    discov_svc_init(&got);
    ASSERT_EQ(0, get(d_, "svc-1", &got));
    EXPECT_STREQ("svc-1", got.id);
    EXPECT_STREQ("it", got.name);
    EXPECT_EQ(0xb1u, got.host_id);
    EXPECT_EQ(4001u, got.port);
    ASSERT_EQ(2u, got.tag_count);
    EXPECT_STREQ("zone:1", got.tags[1]);
    EXPECT_FALSE(got.flag);
    const uint64_t v1 = got.version;
    EXPECT_NE(0u, v1);
    discov_svc_fini(&got);

    // Update at the current version.
    svc.s.version = v1;
    svc.s.port = 4002;
    ASSERT_EQ(0, in_co([&] { return discov_co_update_svc(d_, &svc.s); }));
    ASSERT_EQ(0, get(d_, "svc-1", &got));
    const uint64_t v2 = got.version;
    EXPECT_GT(v2, v1);
    EXPECT_EQ(4002u, got.port);
    discov_svc_fini(&got);

    // A stale version changes nothing.
    svc.s.version = v1;
    svc.s.port = 4003;
    EXPECT_EQ(-ESTALE, in_co([&] { return discov_co_update_svc(d_, &svc.s); }));
    ASSERT_EQ(0, get(d_, "svc-1", &got));
    EXPECT_EQ(v2, got.version);
    EXPECT_EQ(4002u, got.port);
    discov_svc_fini(&got);

    // Unregister: at a wrong version refused, at the right one done.
    EXPECT_EQ(-ESTALE, in_co([&] { return discov_co_unregister_svc(d_, "svc-1", &v1); }));
    EXPECT_EQ(0, in_co([&] { return discov_co_unregister_svc(d_, "svc-1", &v2); }));
    EXPECT_EQ(-ENOENT, get(d_, "svc-1", &got));
    EXPECT_EQ(nullptr, got.name);
    EXPECT_EQ(-ENOENT, in_co([&] { return discov_co_unregister_svc(d_, "svc-1", nullptr); }));

    // And without an expected version.
    ASSERT_EQ(0, reg(d_, svc));
    EXPECT_EQ(0, in_co([&] { return discov_co_unregister_svc(d_, "svc-1", nullptr); }));
    EXPECT_EQ(-ENOENT, get(d_, "svc-1", &got));
}

TEST_F(DiscoveryRegistryTest, ReadOnlyHandleReadsListsAndWatches) {
    ASSERT_EQ(0, reg(d_, Svc("a")));
    discov* ro = nullptr;
    ASSERT_EQ(0, discov_create(k_cluster, ns_.c_str(), DISCOV_MODE_READ_ONLY, &proc_, &ro));
    discov_svc got;
    discov_svc_init(&got);
    EXPECT_EQ(0, get(ro, "a", &got));
    discov_svc_fini(&got);
    discov_svc_map* map = nullptr;
    ASSERT_EQ(0, list(ro, &map));
    EXPECT_EQ((std::vector<std::string>{"a"}), ids(map));
    const uint64_t gen = map->generation;
    discov_svc_map_put(map);
    // Nothing changes in this namespace: the watch runs out.
    map = nullptr;
    EXPECT_EQ(-ETIMEDOUT, in_co([&] { return discov_co_watch_svc_map(ro, gen, 1, &map); }));
    EXPECT_EQ(nullptr, map);
    // A generation the registry has not reached is stale.
    EXPECT_EQ(-ESTALE, in_co([&] { return discov_co_watch_svc_map(ro, gen + 1000000, 1, &map); }));
    discov_destroy(ro);
}

TEST_F(DiscoveryRegistryTest, TheClusterMdsRecordParses) {
    discov* root = nullptr;
    ASSERT_EQ(0, discov_create(k_cluster, nullptr, DISCOV_MODE_READ_ONLY, &proc_, &root));
    discov* mds = discov_narrow_namespace(root, "tarn/mds");
    discov_svc_map* map = nullptr;
    ASSERT_EQ(0, list(mds, &map));
    ASSERT_EQ(1u, map->count);
    const discov_svc& r = map->records[0];
    EXPECT_STREQ("mds", r.name);
    EXPECT_STREQ("127.0.0.1", r.addr);
    EXPECT_NE(0u, r.port);
    std::vector<std::string> tags(r.tags, r.tags + r.tag_count);
    EXPECT_EQ((std::vector<std::string>{"fsid:1001", "fsname:tarn"}), tags);
    discov_svc_map_put(map);
    discov_destroy(mds);
    discov_destroy(root);
}

TEST_F(DiscoveryRegistryTest, ListingOf250RecordsComesInThreePages) {
    char id[16];
    for (int i = 0; i < 250; ++i) {
        snprintf(id, sizeof(id), "r%03d", i);
        ASSERT_EQ(0, reg(d_, Svc(id, static_cast<uint16_t>(5000 + i))));
    }
    RegistryProxy proxy;
    proxy.start(cluster_->registry_port());
    discov* via = nullptr;
    ASSERT_EQ(0, discov_create(proxied_cluster(proxy).c_str(), ns_.c_str(), 0, &proc_, &via));
    discov_svc_map* map = nullptr;
    ASSERT_EQ(0, list(via, &map));
    discov_destroy(via);
    proxy.stop();
    EXPECT_EQ(3, proxy.ranges());

    ASSERT_EQ(250u, map->count);
    uint64_t newest = 0;
    for (uint32_t i = 0; i < map->count; ++i) {
        snprintf(id, sizeof(id), "r%03u", i);
        EXPECT_STREQ(id, map->records[i].id);
        EXPECT_EQ(5000 + i, map->records[i].port);
        EXPECT_LT(newest, map->records[i].version);  // written in order
        newest = map->records[i].version;
    }
    EXPECT_GE(map->generation, newest);
    discov_svc_map_put(map);
}

TEST_F(DiscoveryRegistryTest, ListingStartsAgainWhenTheGenerationChangesBetweenPages) {
    char id[16];
    for (int i = 0; i < 150; ++i) {
        snprintf(id, sizeof(id), "r%03d", i);
        ASSERT_EQ(0, reg(d_, Svc(id)));
    }
    discov_svc_map* before = nullptr;
    ASSERT_EQ(0, list(d_, &before));
    const uint64_t gen_before = before->generation;
    discov_svc_map_put(before);

    RegistryProxy proxy;
    proxy.start(cluster_->registry_port());
    const std::string key = "/discov/services/" + ns_ + "/r999";
    proxy.write_after_first_page(key, "{\"name\":\"it\",\"host_id\":\"1\",\"tags\":[],\"addr\":\"127.0.0.1\",\"port\":9}");
    discov* via = nullptr;
    ASSERT_EQ(0, discov_create(proxied_cluster(proxy).c_str(), ns_.c_str(), 0, &proc_, &via));
    discov_svc_map* map = nullptr;
    ASSERT_EQ(0, list(via, &map));
    discov_destroy(via);
    proxy.stop();

    ASSERT_TRUE(proxy.wrote_between_pages());
    // Page one, page two (new generation: dropped), then two pages again.
    EXPECT_EQ(4, proxy.ranges());
    ASSERT_EQ(151u, map->count);
    EXPECT_STREQ("r000", map->records[0].id);
    EXPECT_STREQ("r999", map->records[150].id);
    EXPECT_GT(map->generation, gen_before);
    EXPECT_GE(map->generation, map->records[150].version);
    discov_svc_map_put(map);
}

TEST_F(DiscoveryRegistryTest, IdsBeginningWithDashOrDotAreListed) {
    for (const char* id : {"zz", "-lead", "0zero", ".dot", "_under", "@at"}) ASSERT_EQ(0, reg(d_, Svc(id))) << id;
    discov_svc_map* map = nullptr;
    ASSERT_EQ(0, list(d_, &map));
    EXPECT_EQ((std::vector<std::string>{"-lead", ".dot", "0zero", "@at", "_under", "zz"}), ids(map));
    discov_svc_map_put(map);
    // A narrowed handle lists only the records below its own namespace.
    discov* sub = discov_narrow_namespace(d_, "inner");
    ASSERT_EQ(0, reg(sub, Svc("x")));
    ASSERT_EQ(0, list(sub, &map));
    EXPECT_EQ((std::vector<std::string>{"x"}), ids(map));
    discov_svc_map_put(map);
    discov_destroy(sub);
}

// ---------------------------------------------------------------- watcher

struct Updates {
    std::mutex mu;
    std::condition_variable cv;
    dsc_watcher* w = nullptr;
    std::vector<uint64_t> generations;
    std::vector<std::vector<std::string>> contents;
    std::vector<uint16_t> first_ports;  // port of each map's first record

    static void on_update(void* arg) {
        auto* self = static_cast<Updates*>(arg);
        discov_svc_map* m = discov_get_curr_svc_map(self->w);
        std::lock_guard<std::mutex> g(self->mu);
        self->generations.push_back(m->generation);
        self->contents.push_back(ids(m));
        self->first_ports.push_back(m->count != 0 ? m->records[0].port : 0);
        discov_svc_map_put(m);
        self->cv.notify_all();
    }

    bool wait_count(size_t n, std::chrono::milliseconds limit = rttest::kHangGuard) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, limit, [&] { return generations.size() >= n; });
    }

    size_t count() {
        std::lock_guard<std::mutex> g(mu);
        return generations.size();
    }
};

TEST_F(DiscoveryRegistryTest, WatcherCallsBackOncePerNewerGeneration) {
    ASSERT_EQ(0, reg(d_, Svc("first")));
    Updates up;
    kiv_move_to_coroutine(&proc_);
    ASSERT_EQ(0, discov_co_start_watching(d_, Updates::on_update, &up, &up.w));
    kiv_move_from_coroutine();
    ASSERT_TRUE(up.wait_count(1));

    // One change at a time, each waited for.
    Svc second("second");
    ASSERT_EQ(0, reg(d_, second));
    ASSERT_TRUE(up.wait_count(2));
    ASSERT_EQ(0, in_co([&] { return discov_co_unregister_svc(d_, "first", nullptr); }));
    ASSERT_TRUE(up.wait_count(3));
    // A change elsewhere in the registry wakes no callback here.
    discov* root = nullptr;
    ASSERT_EQ(0, discov_create(k_cluster, "it/unrelated", DISCOV_MODE_RPC, &proc_, &root));
    ASSERT_EQ(0, reg(root, Svc("u")));
    discov_destroy(root);
    std::this_thread::sleep_for(500ms);

    {
        std::lock_guard<std::mutex> g(up.mu);
        ASSERT_EQ(3u, up.generations.size());
        EXPECT_LT(up.generations[0], up.generations[1]);
        EXPECT_LT(up.generations[1], up.generations[2]);
        EXPECT_EQ((std::vector<std::string>{"first"}), up.contents[0]);
        EXPECT_EQ((std::vector<std::string>{"first", "second"}), up.contents[1]);
        EXPECT_EQ((std::vector<std::string>{"second"}), up.contents[2]);
    }
    discov_svc_map* cur = discov_get_curr_svc_map(up.w);
    ASSERT_NE(nullptr, cur);

    kiv_move_to_coroutine(&proc_);
    discov_co_stop_watching(up.w);
    kiv_move_from_coroutine();
    EXPECT_EQ((std::vector<std::string>{"second"}), ids(cur));
    discov_svc_map_put(cur);
}

TEST_F(DiscoveryRegistryTest, StoppingAWatcherDuringAWatchIsPrompt) {
    Updates up;
    kiv_move_to_coroutine(&proc_);
    ASSERT_EQ(0, discov_co_start_watching(d_, Updates::on_update, &up, &up.w));
    kiv_move_from_coroutine();
    ASSERT_TRUE(up.wait_count(1));
    std::this_thread::sleep_for(300ms);  // the 40-second watch is parked at the registry
    const auto t0 = Clock::now();
    kiv_move_to_coroutine(&proc_);
    discov_co_stop_watching(up.w);
    kiv_move_from_coroutine();
    EXPECT_LT(Clock::now() - t0, kPrompt);
    EXPECT_EQ(1u, up.count());
}

TEST_F(DiscoveryRegistryTest, DestroyingTheHandleDuringAWatchIsPrompt) {
    discov_svc_map* map = nullptr;
    ASSERT_EQ(0, list(d_, &map));
    const uint64_t gen = map->generation;
    discov_svc_map_put(map);

    // The handle goes only once its watch is parked at the registry: gone
    // earlier, the waiter would start on a freed handle. Watches of earlier
    // tests leave with their connections, so the count starts from none.
    auto parked = [] {
        const std::string st = cluster_->control("status");
        const size_t at = st.find("\"parked_watches\":");
        return at == std::string::npos ? -1L : strtol(st.c_str() + at + 17, nullptr, 10);
    };
    auto wait_parked = [&](long n) { return rttest::wait_until([&] { return parked() == n; }); };
    ASSERT_TRUE(wait_parked(0));
    discov* h = nullptr;
    ASSERT_EQ(0, discov_create(k_cluster, ns_.c_str(), 0, &proc_, &h));
    std::atomic<int> rc{1};
    std::atomic<bool> done{false};
    discov_svc_map* changes = nullptr;
    std::thread waiter([&] {
        rc = in_co([&] { return discov_co_watch_svc_map(h, gen, 40, &changes); });
        done = true;
    });
    const bool watching = wait_parked(1);
    if (!watching) waiter.join();  // never parked: the handle is still the waiter's
    ASSERT_TRUE(watching);
    ASSERT_FALSE(done);
    const auto t0 = Clock::now();
    discov_destroy(h);
    waiter.join();
    EXPECT_LT(Clock::now() - t0, kPrompt);
    EXPECT_EQ(-EIO, rc);
    EXPECT_EQ(nullptr, changes);
}

// A registry that comes back with a lower generation (it lost its
// counters) makes the watcher's watches stale: the watcher takes the next
// listing although it is older by number, without spinning against the
// registry meanwhile, and follows the changes after it.
TEST_F(DiscoveryRegistryTest, WatcherFollowsARegistryThatStartedOver) {
    auto number = [](const std::string& json, const std::string& field) -> long long {
        const size_t at = json.find("\"" + field + "\":");
        return at == std::string::npos ? -1 : strtoll(json.c_str() + at + field.size() + 3, nullptr, 10);
    };
    auto registry_requests = [&] {
        const std::string st = cluster_->control("status");
        return number(st.substr(st.find("\"registry\":")), "requests");
    };
    discov* mds_ns = nullptr;
    ASSERT_EQ(0, discov_create(k_cluster, "tarn/mds", DISCOV_MODE_READ_ONLY, &proc_, &mds_ns));
    Updates up;
    kiv_move_to_coroutine(&proc_);
    ASSERT_EQ(0, discov_co_start_watching(mds_ns, Updates::on_update, &up, &up.w));
    kiv_move_from_coroutine();
    ASSERT_TRUE(up.wait_count(1));
    ASSERT_NE(std::string::npos, cluster_->control("mds move tarn").find("\"ok\":true"));
    ASSERT_TRUE(up.wait_count(2));

    const std::string restarted = cluster_->control("registry restart");
    const long long before = number(restarted, "generation_before"), after = number(restarted, "generation");
    ASSERT_GT(after, 0) << restarted;
    ASSERT_LT(after, before);
    const long long requests_at_restart = registry_requests();
    ASSERT_TRUE(up.wait_count(3));
    // A handful of requests: list, watch, pause, and so on; not thousands.
    EXPECT_LT(registry_requests() - requests_at_restart, 20);

    ASSERT_NE(std::string::npos, cluster_->control("mds move tarn").find("\"ok\":true"));
    ASSERT_TRUE(up.wait_count(4));
    discov_svc_map* now = nullptr;
    ASSERT_EQ(0, list(mds_ns, &now));
    {
        std::lock_guard<std::mutex> g(up.mu);
        EXPECT_EQ(uint64_t(after), up.generations[2]);
        EXPECT_LT(up.generations[2], up.generations[1]);
        EXPECT_EQ(now->generation, up.generations[3]);
        ASSERT_EQ(1u, now->count);
        EXPECT_EQ(now->records[0].port, up.first_ports[3]);
        EXPECT_NE(up.first_ports[1], up.first_ports[3]);
    }
    discov_svc_map_put(now);
    kiv_move_to_coroutine(&proc_);
    discov_co_stop_watching(up.w);
    kiv_move_from_coroutine();
    discov_destroy(mds_ns);
}

}  // namespace

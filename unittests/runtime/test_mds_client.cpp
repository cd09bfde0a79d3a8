// The runtime's metadata-service client: bootstrap-file lookup, address
// selection, connection hooks and the registry status mapping, against a
// small registry built on the runtime's server half.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kiv/mds.h"
#include "kiv/rpc_server.h"
#include "loop_internal.h"
#include "runtime_test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using rttest::le32;
using rttest::put32;

thread_local bool t_in_call = false;

// Everything the client reports, in arrival order.
struct Journal {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> events;
    std::vector<Clock::time_point> times;
    bool inline_event = false;
    bool off_evloop = false;

    void add(const std::string& e) {
        {
            std::lock_guard<std::mutex> g(mu);
            events.push_back(e);
            times.push_back(Clock::now());
            if (t_in_call) inline_event = true;
            if (!__kiv_thread_tls.on_evloop) off_evloop = true;
        }
        cv.notify_all();
    }
    bool wait_count(const std::string& e, size_t n, std::chrono::milliseconds limit = rttest::kHangGuard) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, limit, [&] { return count_locked(e) >= n; });
    }
    size_t count(const std::string& e) {
        std::lock_guard<std::mutex> g(mu);
        return count_locked(e);
    }
    size_t count_locked(const std::string& e) {
        size_t n = 0;
        for (auto& x : events)
            if (x == e) n++;
        return n;
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> g(mu);
        return events;
    }
    Clock::time_point first_time(const std::string& e) {
        std::lock_guard<std::mutex> g(mu);
        for (size_t i = 0; i < events.size(); i++)
            if (events[i] == e) return times[i];
        return {};
    }
};

struct Reply {
    uint32_t error = 0;
    std::vector<uint8_t> reply;
    bool has_reply = false;
};

class MdsClient : public ::testing::Test {
public:
    std::string dir;
    std::string saved_env;
    bool had_env = false;
    kiv_process proc{};
    kiv_rpc_engine eng{};
    kiv_mds_client c{};
    bool inited = false;
    Journal journal;
    std::mutex rmu;
    std::vector<Reply> replies;  // by message order of completion

    // A small registry: the request's u32 at 0x18 is the status to answer,
    // the u32 at 0x1C the reply length (0 = 0x20); status 0xFFFF parks it.
    kiv_rpc_server* srv = nullptr;
    kiv_netaddr srv_addr{};
    std::mutex smu;
    std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> parked;
    std::vector<std::vector<uint8_t>> xids;

    static MdsClient* current;

    void SetUp() override {
        current = this;
        std::string tmpl = "/tmp/kiv_mds_test_" + std::string(6, 'X');  // mkdtemp's pattern
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        if (const char* e = getenv("KIV_CLUSTER_DIR")) {
            had_env = true;
            saved_env = e;
        }
        setenv("KIV_CLUSTER_DIR", dir.c_str(), 1);
        ASSERT_EQ(kiv_process_init_(&proc), 0);
        ASSERT_EQ(kiv_process_start(&proc, "mds-test"), 0);
        ASSERT_EQ(kiv_rpc_engine_init(&proc, &eng, KIV_RPC_ENGINE_REGISTRY), 0);
        c.on_established = [](void* ctx) { static_cast<MdsClient*>(ctx)->journal.add("up"); };
        c.on_failed = [](void* ctx) { static_cast<MdsClient*>(ctx)->journal.add("failed"); };
    }
    void TearDown() override {
        if (inited) mds_client_fini(&c);
        if (srv) kiv_rpc_server_close(srv);
        {
            kiv_loop_guard g(&proc);
            for (auto& p : parked) {
                kiv_free_msg(p.second);
                kiv_rpc_sconn_unref(p.first);
            }
            parked.clear();
        }
        kiv_process_terminate(&proc);
        kiv_process_wait(&proc);
        kiv_process_fini(&proc);
        kiv_rpc_engine_fini(&eng);
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
        if (had_env)
            setenv("KIV_CLUSTER_DIR", saved_env.c_str(), 1);
        else
            unsetenv("KIV_CLUSTER_DIR");
        current = nullptr;
    }

    void write_conf(const std::string& name, const std::string& text) {
        std::ofstream f(dir + "/" + name + ".conf");
        f << text;
    }

    void start_registry() {
        static const kiv_rpc_server_ops sops = {
            [](kiv_rpc_sconn* sc, kiv_msg* req, void* arg) {
                auto* t = static_cast<MdsClient*>(arg);
                std::lock_guard<std::mutex> g(t->smu);
                t->xids.emplace_back(req->buf + 8, req->buf + 24);
                uint32_t status = le32(req->buf + 0x18);
                if (status == 0xFFFF) {
                    kiv_rpc_sconn_ref(sc);
                    t->parked.emplace_back(sc, req);
                    return;
                }
                uint32_t len = le32(req->buf + 0x1C);
                kiv_msg* r = kiv_rpc_alloc_reply(req, len ? len : 0x20);
                if (r->total_len >= 0x1C) put32(r->buf + 0x18, status);
                kiv_rpc_reply(sc, r);
                kiv_free_msg(req);
            },
            nullptr,
            nullptr,
        };
        kiv_netaddr a{};
        if (srv_addr.port)
            a = srv_addr;
        else
            kiv_parse_netaddr_port("127.0.0.1", "0", &a);
        ASSERT_EQ(kiv_rpc_listen(&proc, &a, 1u << 20, &sops, this, &srv), 0);
        kiv_rpc_server_addr(srv, &srv_addr);
    }
    void stop_registry() {
        kiv_rpc_server_close(srv);
        srv = nullptr;
    }
    size_t parked_count() {
        std::lock_guard<std::mutex> g(smu);
        return parked.size();
    }
    bool wait_parked(size_t n) {
        return rttest::wait_until([&] { return parked_count() >= n; });
    }

    void init_with_registry() {
        start_registry();
        write_conf("reg", "mds=127.0.0.1:" + std::to_string(srv_addr.port) + "\n");
        ASSERT_EQ(kiv_init_client_env("reg", &eng, &c, this), 0);
        inited = true;
    }

    static void on_done(kiv_msg* m) {
        auto* t = static_cast<MdsClient*>(m->priv);
        Reply r;
        r.error = m->error;
        r.has_reply = m->reply != nullptr;
        if (m->reply) r.reply.assign(m->reply->buf, m->reply->buf + m->reply->kept_len);
        {
            std::lock_guard<std::mutex> g(t->rmu);
            t->replies.push_back(r);
        }
        char ev[32];
        snprintf(ev, sizeof ev, "done:%u", m->error);
        t->journal.add(ev);
        t->journal.add("done");
        kiv_free_msg(m);
    }

    kiv_msg* make_msg(uint32_t status, uint32_t reply_len = 0) {
        kiv_msg* m = mds_client_alloc_msg(&c, KIV_MDS_REQ_TYPE, 0x40);
        put32(m->buf + 0x18, status);
        put32(m->buf + 0x1C, reply_len);
        m->done = on_done;
        m->priv = this;
        return m;
    }

    void in_job(std::function<void()> fn) {
        auto tramp = [](void* a) -> int {
            t_in_call = true;
            (*static_cast<std::function<void()>*>(a))();
            t_in_call = false;
            return 0;
        };
        ASSERT_EQ(kiv_call_in_job(&proc, tramp, &fn), 0);
    }

    Reply reply_at(size_t i) {
        std::lock_guard<std::mutex> g(rmu);
        return i < replies.size() ? replies[i] : Reply{};
    }
};

MdsClient* MdsClient::current = nullptr;

struct LogCapture {
    std::mutex mu;
    std::vector<std::string> lines;
    LogCapture() { kiv_log_set_hook(&LogCapture::hook, this); }
    ~LogCapture() { kiv_log_set_hook(nullptr, nullptr); }
    static void hook(int level, const char* line, void* arg) {
        auto* c = static_cast<LogCapture*>(arg);
        std::lock_guard<std::mutex> g(c->mu);
        c->lines.push_back(std::to_string(level) + "|" + line);
    }
    bool has(const std::string& needle, int level = 1) {
        std::lock_guard<std::mutex> g(mu);
        std::string prefix = std::to_string(level) + "|";
        for (auto& l : lines)
            if (l.compare(0, prefix.size(), prefix) == 0 && l.find(needle) != std::string::npos) return true;
        return false;
    }
};

// ---------------------------------------------------------------- bootstrap

TEST_F(MdsClient, MissingClusterIsNotFoundAndLeavesClientEmpty) {
    LogCapture logs;
    EXPECT_EQ(kiv_init_client_env("nope", &eng, &c, this), -ENOENT);
    EXPECT_TRUE(logs.has("cluster 'nope' not found"));
    EXPECT_EQ(c.conn, nullptr);
    EXPECT_EQ(c.p, nullptr);
    EXPECT_EQ(eng.nr_endpoints, 0u);
    write_conf("nomds", "# only other keys\ncontrol=127.0.0.1:9000\n\n");
    EXPECT_EQ(kiv_init_client_env("nomds", &eng, &c, this), -ENOENT);
    EXPECT_TRUE(logs.has("cluster 'nomds' not found"));
    EXPECT_EQ(c.conn, nullptr);
}

TEST_F(MdsClient, MalformedLinesAndNamesAreInvalid) {
    LogCapture logs;
    const char* bad[] = {
        "mds=127.0.0.1:7000\njust words\n", "mds=127.0.0.1\n", "mds=127.0.0.1:0\n", "mds=[::1]\n",
        "mds=::1:80\n",  "mds=host.example:80\n", "=x\n", "mds=1.2.3.4:99999\n",
    };
    int i = 0;
    for (const char* text : bad) {
        std::string name = "bad" + std::to_string(i++);
        write_conf(name, text);
        EXPECT_EQ(kiv_init_client_env(name.c_str(), &eng, &c, this), -EINVAL) << text;
        EXPECT_EQ(c.conn, nullptr);
    }
    EXPECT_TRUE(logs.has("bad0.conf:2"));
    for (const char* name : {"", ".hidden", "a/b", "../x", "a b", "x*"}) {
        EXPECT_EQ(kiv_init_client_env(name, &eng, &c, this), -EINVAL) << name;
    }
    EXPECT_EQ(kiv_init_client_env(nullptr, &eng, &c, this), -EINVAL);
    EXPECT_EQ(eng.nr_endpoints, 0u);
}

TEST_F(MdsClient, CommentsKeysAndSeveralAddressesInOrder) {
    write_conf("good-1.x_Y",
               "# registry of the test cluster\n"
               "\n"
               "   mds = 127.0.0.1:7001   \n"
               "control=127.0.0.1:9999\n"
               "\t# indented comment\n"
               "mds=[::1]:7002\n"
               "mds=10.1.2.3:7003\r\n");
    ASSERT_EQ(kiv_init_client_env("good-1.x_Y", &eng, &c, this), 0);
    inited = true;
    ASSERT_NE(c.conn, nullptr);
    EXPECT_EQ(c.conn->state, KIV_RPC_STATE_IDLE);  // no I/O yet
    EXPECT_EQ(c.selected.kind, KIV_AF_NONE);
    EXPECT_EQ(eng.nr_endpoints, 1u);

    std::vector<uint16_t> ports;
    ASSERT_EQ(mds_select(&c, 0), 0);
    ports.push_back(c.selected.port);
    ASSERT_EQ(mds_select(&c, 0), 0);  // already selected: stays
    ports.push_back(c.selected.port);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(mds_select(&c, 1), 0);
        ports.push_back(c.selected.port);
    }
    EXPECT_EQ(ports, (std::vector<uint16_t>{7001, 7001, 7002, 7003, 7001}));
    mds_select(&c, 1);
    EXPECT_EQ(c.selected.kind, KIV_AF_INET6);

    // The file is read again when an address is taken.
    write_conf("good-1.x_Y", "mds=127.0.0.1:7100\nmds=127.0.0.1:7101\n");
    std::set<uint16_t> now;
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(mds_select(&c, 1), 0);
        now.insert(c.selected.port);
    }
    EXPECT_EQ(now, (std::set<uint16_t>{7100, 7101}));

    mds_client_fini(&c);
    inited = false;
    EXPECT_EQ(c.conn, nullptr);
    EXPECT_EQ(c.selected.kind, KIV_AF_NONE);
    EXPECT_EQ(eng.nr_endpoints, 0u);
    mds_client_fini(&c);  // idempotent
    EXPECT_EQ(mds_select(&c, 1), -ENOENT);
}

TEST_F(MdsClient, DefaultDirectoryIsUsedWithoutTheVariable) {
    unsetenv("KIV_CLUSTER_DIR");
    // Whatever the machine has there, a cluster with this name is absent.
    EXPECT_EQ(kiv_init_client_env("kiv-test-absent-cluster-0d7c", &eng, &c, this), -ENOENT);
    setenv("KIV_CLUSTER_DIR", dir.c_str(), 1);
}

// ---------------------------------------------------------------- hooks

TEST_F(MdsClient, HooksOrderedNeverInlineAndFailedBeforeConnLost) {
    init_with_registry();
    Clock::time_point t0;
    in_job([&] {
        EXPECT_EQ(mds_select(&c, 1), 0);
        t0 = Clock::now();
        EXPECT_EQ(kiv_rpc_connect(c.conn), 0);
    });
    ASSERT_TRUE(journal.wait_count("up", 1));
    // Not held back by the 1 s pause that only comes between attempts: a
    // client that paused first is up no sooner than 1 s after the connect,
    // and a busy machine gets all the time below that.
    EXPECT_LT(journal.first_time("up") - t0, 1000ms);
    EXPECT_EQ(c.conn->state, KIV_RPC_STATE_CONNECTED);

    for (int i = 0; i < 10; i++) {
        kiv_msg* m = make_msg(0xFFFF);
        m->timeout_ms = 30000;
        in_job([&] { mds_submit(&c, m); });
    }
    ASSERT_TRUE(wait_parked(10));
    stop_registry();
    ASSERT_TRUE(journal.wait_count("done", 10));
    auto ev = journal.snapshot();
    std::vector<std::string> core;
    for (auto& e : ev)
        if (e != "done") core.push_back(e);
    ASSERT_EQ(core.size(), 12u);
    EXPECT_EQ(core[0], "up");
    EXPECT_EQ(core[1], "failed");
    for (size_t i = 2; i < core.size(); i++) EXPECT_EQ(core[i], "done:10");
    EXPECT_FALSE(journal.inline_event);
    EXPECT_FALSE(journal.off_evloop);

    // Down: the lazy connect fails (registry parameters: one attempt), hook first.
    kiv_msg* m = make_msg(0);
    in_job([&] { mds_submit(&c, m); });
    ASSERT_TRUE(journal.wait_count("done", 11));
    ev = journal.snapshot();
    EXPECT_EQ(ev[ev.size() - 3], "failed");
    EXPECT_EQ(ev[ev.size() - 2], "done:4");

    // Back on the same port: reconnects on the next send.
    start_registry();
    kiv_msg* m2 = make_msg(0);
    mds_submit(&c, m2);
    ASSERT_TRUE(journal.wait_count("done", 12));
    EXPECT_EQ(journal.snapshot()[journal.snapshot().size() - 2], "done:0");
    EXPECT_EQ(journal.count("up"), 2u);
    EXPECT_FALSE(journal.inline_event);
}

// ---------------------------------------------------------------- statuses

TEST_F(MdsClient, StatusMappingKeepsTheReply) {
    init_with_registry();
    ASSERT_EQ(mds_select(&c, 0), 0);
    const uint32_t statuses[] = {0, 8, 9, 13, 29, 40, 200, 203};
    for (uint32_t s : statuses) mds_submit(&c, make_msg(s));
    ASSERT_TRUE(journal.wait_count("done", 8));
    for (size_t i = 0; i < 8; i++) {
        Reply r = reply_at(i);
        uint32_t s = statuses[i];
        EXPECT_EQ(r.error, s ? (KIV_E_PEER | s) : 0u) << s;
        ASSERT_TRUE(r.has_reply) << s;
        ASSERT_EQ(r.reply.size(), 0x20u);
        EXPECT_EQ(le32(r.reply.data() + 4), uint32_t(KIV_MDS_REPLY_TYPE));
        EXPECT_EQ(le32(r.reply.data() + 0x18), s);
    }
}

TEST_F(MdsClient, ShortReplyIsProtocolError) {
    init_with_registry();
    ASSERT_EQ(mds_select(&c, 0), 0);
    mds_submit(&c, make_msg(0, 0x1B));
    mds_submit(&c, make_msg(0, 0x1C));
    ASSERT_TRUE(journal.wait_count("done", 2));
    EXPECT_EQ(reply_at(0).error, uint32_t(KIV_E_PROTO));
    EXPECT_FALSE(reply_at(0).has_reply);
    EXPECT_EQ(reply_at(1).error, 0u);
    EXPECT_TRUE(reply_at(1).has_reply);
}

TEST_F(MdsClient, AllocAndNothingSelected) {
    init_with_registry();
    EXPECT_EQ(mds_client_alloc_msg(&c, KIV_MDS_REQ_TYPE, 23), nullptr);
    kiv_msg* m = mds_client_alloc_msg(&c, KIV_MDS_REQ_TYPE, 24);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(le32(m->buf), 24u);
    EXPECT_EQ(le32(m->buf + 4), uint32_t(KIV_MDS_REQ_TYPE));
    EXPECT_TRUE(std::all_of(m->buf + 8, m->buf + 24, [](uint8_t v) { return v == 0; }));
    kiv_free_msg(m);
    kiv_msg* n = make_msg(0);
    in_job([&] { mds_submit(&c, n); });
    ASSERT_TRUE(journal.wait_count("done", 1));
    EXPECT_EQ(reply_at(0).error, uint32_t(KIV_E_NOTCONN));
    EXPECT_FALSE(journal.inline_event);
}

// Each (re)send carries a fresh xid.
TEST_F(MdsClient, RetryTakesANewXid) {
    init_with_registry();
    ASSERT_EQ(mds_select(&c, 0), 0);
    static std::atomic<int> sends{0};
    sends = 0;
    kiv_msg* m = make_msg(200);
    m->done = [](kiv_msg* msg) {
        if (++sends < 4) {
            mds_retry(&current->c, msg);
            return;
        }
        on_done(msg);
    };
    mds_submit(&c, m);
    ASSERT_TRUE(journal.wait_count("done", 1));
    EXPECT_EQ(reply_at(0).error, KIV_E_PEER | 200u);
    std::lock_guard<std::mutex> g(smu);
    ASSERT_EQ(xids.size(), 4u);
    std::set<std::vector<uint8_t>> distinct(xids.begin(), xids.end());
    EXPECT_EQ(distinct.size(), 4u);
    for (size_t i = 1; i < xids.size(); i++) EXPECT_EQ(memcmp(xids[i].data(), xids[0].data(), 8), 0);
}

// ---------------------------------------------------------------- fini

TEST_F(MdsClient, FiniEndsAParkedWatchPromptlyWithAbandoned) {
    init_with_registry();
    ASSERT_EQ(mds_select(&c, 0), 0);
    kiv_msg* watch = make_msg(0xFFFF);
    // Beyond the hang guard: a fini that left the watch to its time-out
    // fails the wait for its completion.
    watch->timeout_ms = 600000;
    mds_submit(&c, watch);
    ASSERT_TRUE(wait_parked(1));
    ASSERT_TRUE(journal.wait_count("up", 1));
    in_job([&] { mds_client_fini(&c); });
    inited = false;
    ASSERT_TRUE(journal.wait_count("done", 1));
    EXPECT_EQ(reply_at(0).error, uint32_t(KIV_E_ABANDONED));
    EXPECT_EQ(c.conn, nullptr);
    EXPECT_EQ(c.selected.kind, KIV_AF_NONE);
    EXPECT_EQ(eng.nr_endpoints, 0u);
    EXPECT_FALSE(journal.inline_event);

    // After fini: submissions still complete, later, with 34.
    kiv_msg* late = make_msg(0);
    in_job([&] { EXPECT_EQ(mds_submit(&c, late), 0); });
    ASSERT_TRUE(journal.wait_count("done", 2));
    EXPECT_EQ(reply_at(1).error, uint32_t(KIV_E_ABANDONED));
    kiv_msg* late2 = make_msg(0);
    EXPECT_EQ(mds_retry(&c, late2), 0);
    ASSERT_TRUE(journal.wait_count("done", 3));
    EXPECT_EQ(reply_at(2).error, uint32_t(KIV_E_ABANDONED));
    EXPECT_FALSE(journal.inline_event);
    EXPECT_EQ(journal.count("failed"), 0u);
}

TEST_F(MdsClient, NoHookRunsAfterFiniEvenWithAFailureQueued) {
    init_with_registry();
    in_job([&] {
        mds_select(&c, 0);
        kiv_rpc_connect(c.conn);
    });
    ASSERT_TRUE(journal.wait_count("up", 1));
    in_job([&] {
        kiv_rpc_reset(c.conn, 0);  // queues the failed hook
        mds_client_fini(&c);
    });
    inited = false;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(journal.count("failed"), 0u);
    EXPECT_EQ(journal.snapshot().size(), 1u);
}

}  // namespace

// RPC transport over loopback: the client side against the runtime's own
// server half, and against a scripted raw TCP peer where a test needs to
// stop in the middle of a frame.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kiv/rpc.h"
#include "kiv/rpc_server.h"
#include "loop_internal.h"
#include "rpc_internal.h"
#include "runtime_test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kReqType = 0x1000;

using rttest::le32;
using rttest::put32;

// Set on evloop around runtime calls made from a job: a completion seen
// while it is set would have run inside the call.
thread_local bool t_in_call = false;

// Records completions of the requests whose priv points at it.
struct Outcome {
    int count = 0;
    uint32_t error = 0;
    std::vector<uint8_t> reply;
    bool has_reply = false;
    bool on_evloop = true;
    bool inline_done = false;
    Clock::time_point at;
};

struct Recorder {
    std::mutex mu;
    std::condition_variable cv;
    std::map<kiv_msg*, Outcome> out;
    int total = 0;
    bool free_in_done = false;
    std::function<void(kiv_msg*)> extra;  // runs in done, before the message is freed

    static void done(kiv_msg* m) {
        auto* r = static_cast<Recorder*>(m->priv);
        Outcome now;
        now.error = m->error;
        now.has_reply = m->reply != nullptr;
        if (m->reply) now.reply.assign(m->reply->buf, m->reply->buf + m->reply->kept_len);
        now.on_evloop = __kiv_thread_tls.on_evloop != 0;
        now.inline_done = t_in_call;
        now.at = Clock::now();
        // Runs before the completion is published, so waiters see its effects.
        if (r->extra) r->extra(m);
        {
            std::lock_guard<std::mutex> g(r->mu);
            Outcome& o = r->out[m];
            now.count = o.count + 1;
            o = now;
            r->total++;
        }
        if (r->free_in_done) kiv_free_msg(m);
        r->cv.notify_all();
    }

    bool wait_total(int n, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, limit, [&] { return total >= n; });
    }
    Outcome get(kiv_msg* m) {
        std::lock_guard<std::mutex> g(mu);
        return out[m];
    }
    int count_total() {
        std::lock_guard<std::mutex> g(mu);
        return total;
    }
};

// Log lines captured through the runtime's hook.
struct LogCapture {
    std::mutex mu;
    std::vector<std::pair<int, std::string>> lines;
    int saved_level;
    kiv_process* proc;
    // The level is a plain variable read by evloop: change it under the loop lock.
    LogCapture(kiv_process* p, int level) : proc(p) {
        kiv_loop_guard g(proc);
        saved_level = __kiv_log_level;
        __kiv_log_level = level;
        kiv_log_set_hook(&LogCapture::hook, this);
    }
    ~LogCapture() {
        kiv_loop_guard g(proc);
        kiv_log_set_hook(nullptr, nullptr);
        __kiv_log_level = saved_level;
    }
    static void hook(int level, const char* line, void* arg) {
        auto* c = static_cast<LogCapture*>(arg);
        std::lock_guard<std::mutex> g(c->mu);
        c->lines.emplace_back(level, line);
    }
    int count(int level, const char* needle) {
        std::lock_guard<std::mutex> g(mu);
        int n = 0;
        for (auto& l : lines)
            if (l.first == level && l.second.find(needle) != std::string::npos) n++;
        return n;
    }
};

// A plain TCP peer driven by a script on its own thread.
struct RawPeer {
    int lfd = -1;
    kiv_netaddr addr{};
    std::thread th;

    explicit RawPeer(int rcvbuf = 0) {
        lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf) setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(lfd, 16);
        socklen_t l = sizeof sa;
        getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &l);
        kiv_parse_netaddr_port("127.0.0.1", std::to_string(ntohs(sa.sin_port)).c_str(), &addr);
    }
    ~RawPeer() {
        if (th.joinable()) th.join();
        close(lfd);
    }
    void run(std::function<void(int)> script) {
        th = std::thread([this, script] {
            if (!rttest::wait_readable(lfd)) return;
            int fd = accept(lfd, nullptr, nullptr);
            if (fd < 0) return;
            script(fd);
            close(fd);
        });
    }
    static bool read_full(int fd, void* buf, size_t n) {
        auto* p = static_cast<uint8_t*>(buf);
        while (n) {
            if (!rttest::wait_readable(fd)) return false;
            ssize_t r = read(fd, p, n);
            if (r <= 0) return false;
            p += r;
            n -= size_t(r);
        }
        return true;
    }
    static bool write_full(int fd, const void* buf, size_t n) {
        auto* p = static_cast<const uint8_t*>(buf);
        while (n) {
            ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
            if (r <= 0) return false;
            p += r;
            n -= size_t(r);
        }
        return true;
    }
    static std::vector<uint8_t> header(uint32_t len, uint32_t type, const uint8_t* xid) {
        std::vector<uint8_t> h(24);
        put32(h.data(), len);
        put32(h.data() + 4, type);
        memcpy(h.data() + 8, xid, 16);
        return h;
    }
};

class RpcTransport : public ::testing::Test {
protected:
    kiv_process proc{};
    kiv_rpc_engine eng{};
    kiv_rpc_server* srv = nullptr;
    kiv_netaddr srv_addr{};
    Recorder rec;

    // Server behaviour; the default echoes the body back.
    std::function<void(kiv_rpc_sconn*, kiv_msg*)> handler;
    std::mutex smu;
    std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> parked;
    std::atomic<int> requests{0};
    std::atomic<int> accepts{0};
    std::atomic<int> closes{0};
    std::atomic<int> aborts{0};
    std::atomic<int> abort_reason{0};

    kiv_rpc_params params{24, 1u << 20, 2000, 50, 5000, 1};
    kiv_rpc_ep_ops ops{};

    void SetUp() override {
        ASSERT_EQ(kiv_process_init_(&proc), 0);
        ASSERT_EQ(kiv_process_start(&proc, "rpc-test"), 0);
        ASSERT_EQ(kiv_rpc_engine_init(&proc, &eng, KIV_RPC_ENGINE_CLIENT), 0);
        handler = [](kiv_rpc_sconn* c, kiv_msg* req) { echo(c, req); };
        ops.abort = &RpcTransport::abort_hook;
        current = this;
    }
    void TearDown() override {
        if (srv) stop_server();
        {
            std::lock_guard<std::mutex> g(smu);
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
        current = nullptr;
    }

    static RpcTransport* current;

    static void abort_hook(kiv_rpc_endpoint* ep, int reason) {
        current->aborts++;
        current->abort_reason = reason;
        kiv_rpc_reset(ep, reason);
    }

    static void echo(kiv_rpc_sconn* c, kiv_msg* req) {
        kiv_msg* r = kiv_rpc_alloc_reply(req, req->total_len);
        memcpy(r->buf + 24, req->buf + 24, req->total_len - 24);
        kiv_rpc_reply(c, r);
        kiv_free_msg(req);
    }

    void start_server(uint32_t max_msg = 8u << 20, const kiv_netaddr* at = nullptr) {
        static const kiv_rpc_server_ops sops = {
            [](kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
                auto* t = static_cast<RpcTransport*>(arg);
                t->requests++;
                t->handler(c, req);
            },
            [](kiv_rpc_sconn*, void* arg) { static_cast<RpcTransport*>(arg)->accepts++; },
            [](kiv_rpc_sconn*, void* arg) { static_cast<RpcTransport*>(arg)->closes++; },
        };
        kiv_netaddr a{};
        if (at)
            a = *at;
        else
            kiv_parse_netaddr_port("127.0.0.1", "0", &a);
        ASSERT_EQ(kiv_rpc_listen(&proc, &a, max_msg, &sops, this, &srv), 0);
        kiv_rpc_server_addr(srv, &srv_addr);
        ASSERT_NE(srv_addr.port, 0);
    }
    void stop_server() {
        kiv_rpc_server_close(srv);
        srv = nullptr;
    }

    // Keeps the request for a later reply (under the loop lock of the server).
    void park(kiv_rpc_sconn* c, kiv_msg* req) {
        kiv_rpc_sconn_ref(c);
        std::lock_guard<std::mutex> g(smu);
        parked.emplace_back(c, req);
    }
    size_t parked_count() {
        std::lock_guard<std::mutex> g(smu);
        return parked.size();
    }
    bool wait_parked(size_t n) {
        auto end = Clock::now() + 60s;
        while (Clock::now() < end) {
            if (parked_count() >= n) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
    std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> take_parked() {
        std::lock_guard<std::mutex> g(smu);
        auto v = std::move(parked);
        parked.clear();
        return v;
    }

    kiv_rpc_endpoint* make_ep(const kiv_netaddr* a = nullptr) {
        kiv_rpc_endpoint* ep = kiv_rpc_create(&eng, &ops, &params);
        EXPECT_NE(ep, nullptr);
        if (ep) kiv_rpc_set_address(ep, a ? a : &srv_addr);
        return ep;
    }

    kiv_msg* make_req(uint32_t len, uint8_t fill = 0x5a, uint32_t type = kReqType) {
        kiv_msg* m = kiv_rpc_alloc_output_msg(len);
        put32(m->buf, len);
        put32(m->buf + 4, type);
        kiv_rpc_get_new_xid(&eng, m->buf + 8);
        memset(m->buf + 24, fill, len - 24);
        m->done = Recorder::done;
        m->priv = &rec;
        return m;
    }

    // Runs `fn` on evloop with the in-call marker set.
    void in_job(std::function<void()> fn) {
        auto tramp = [](void* a) -> int {
            t_in_call = true;
            (*static_cast<std::function<void()>*>(a))();
            t_in_call = false;
            return 0;
        };
        ASSERT_EQ(kiv_call_in_job(&proc, tramp, &fn), 0);
    }
};

RpcTransport* RpcTransport::current = nullptr;

// ---------------------------------------------------------------- framing

TEST_F(RpcTransport, FrameBytesOnTheWireAndXidLayout) {
    RawPeer peer;
    std::vector<uint8_t> got1(40), got2(40);
    uint8_t xid1[16], xid2[16];
    peer.run([&](int fd) {
        ASSERT_TRUE(RawPeer::read_full(fd, got1.data(), got1.size()));
        ASSERT_TRUE(RawPeer::read_full(fd, got2.data(), got2.size()));
        // Answer the second first, with a recognisable body.
        for (auto* g : {&got2, &got1}) {
            auto h = RawPeer::header(36, kReqType + 1, g->data() + 8);
            h.insert(h.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
            ASSERT_TRUE(RawPeer::write_full(fd, h.data(), h.size()));
        }
        char c;
        RawPeer::read_full(fd, &c, 1);
    });
    kiv_rpc_endpoint* ep = make_ep(&peer.addr);
    kiv_msg* m1 = make_req(40, 0x11);
    kiv_msg* m2 = make_req(40, 0x22);
    memcpy(xid1, m1->buf + 8, 16);
    memcpy(xid2, m2->buf + 8, 16);
    EXPECT_EQ(kiv_rpc_call(ep, m1), 0);
    EXPECT_EQ(kiv_rpc_call(ep, m2), 0);
    ASSERT_TRUE(rec.wait_total(2));

    std::vector<uint8_t> want(40, 0x11);
    put32(want.data(), 40);
    put32(want.data() + 4, kReqType);
    memcpy(want.data() + 8, xid1, 16);
    EXPECT_EQ(got1, want);
    std::fill(want.begin() + 24, want.end(), 0x22);
    memcpy(want.data() + 8, xid2, 16);
    EXPECT_EQ(got2, want);
    // Same salt, counter little-endian from 1 in bytes 8..15.
    EXPECT_EQ(memcmp(xid1, xid2, 8), 0);
    uint64_t c1, c2;
    memcpy(&c1, xid1 + 8, 8);
    memcpy(&c2, xid2 + 8, 8);
    EXPECT_EQ(c1, 1u);
    EXPECT_EQ(c2, 2u);

    for (kiv_msg* m : {m1, m2}) {
        Outcome o = rec.get(m);
        EXPECT_EQ(o.count, 1);
        EXPECT_EQ(o.error, 0u);
        ASSERT_EQ(o.reply.size(), 36u);
        EXPECT_EQ(le32(o.reply.data()), 36u);
        EXPECT_EQ(le32(o.reply.data() + 4), kReqType + 1);
        EXPECT_EQ(memcmp(o.reply.data() + 8, m->buf + 8, 16), 0);
        EXPECT_EQ(o.reply[35], 12);
        EXPECT_TRUE(o.on_evloop);
    }
    EXPECT_LE(rec.get(m2).at, rec.get(m1).at);
    kiv_rpc_close(ep);
    kiv_free_msg(m1);
    kiv_free_msg(m2);
}

TEST_F(RpcTransport, HundredInFlightAnsweredOutOfOrder) {
    start_server();
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) { park(c, req); };
    kiv_rpc_endpoint* ep = make_ep();
    std::vector<kiv_msg*> msgs;
    for (int i = 0; i < 100; i++) {
        kiv_msg* m = make_req(64, uint8_t(i));
        msgs.push_back(m);
        kiv_rpc_call(ep, m);
    }
    ASSERT_TRUE(wait_parked(100));
    auto reqs = take_parked();
    std::reverse(reqs.begin(), reqs.end());
    std::swap(reqs[10], reqs[60]);
    {
        kiv_loop_guard g(&proc);
        for (auto& [c, req] : reqs) {
            // The reply carries the request's fill byte, so a mismatch shows.
            kiv_msg* r = kiv_rpc_alloc_reply(req, 32 + req->buf[30]);
            memset(r->buf + 24, req->buf[30], r->total_len - 24);
            kiv_rpc_reply(c, r);
            kiv_free_msg(req);
            kiv_rpc_sconn_unref(c);
        }
    }
    ASSERT_TRUE(rec.wait_total(100));
    for (int i = 0; i < 100; i++) {
        Outcome o = rec.get(msgs[i]);
        EXPECT_EQ(o.count, 1);
        ASSERT_EQ(o.error, 0u) << i;
        ASSERT_EQ(o.reply.size(), 32u + i);
        EXPECT_EQ(o.reply.back(), uint8_t(i));
        kiv_free_msg(msgs[i]);
    }
    EXPECT_EQ(accepts.load(), 1);
    kiv_rpc_close(ep);
}

TEST_F(RpcTransport, ErrorFrameGivesPeerCodeWithoutReply) {
    start_server();
    handler = [](kiv_rpc_sconn* c, kiv_msg* req) {
        kiv_rpc_reply_error(c, req, KIV_E_BUSY);
        kiv_free_msg(req);
    };
    kiv_rpc_endpoint* ep = make_ep();
    kiv_msg* m = make_req(48);
    kiv_rpc_call(ep, m);
    ASSERT_TRUE(rec.wait_total(1));
    Outcome o = rec.get(m);
    EXPECT_EQ(o.error, KIV_E_PEER | KIV_E_BUSY);
    EXPECT_FALSE(o.has_reply);
    kiv_rpc_close(ep);
    kiv_free_msg(m);
}

TEST_F(RpcTransport, WrongReplyTypeIsProtocolErrorAndStreamGoesOn) {
    start_server();
    handler = [](kiv_rpc_sconn* c, kiv_msg* req) {
        kiv_msg* r = kiv_rpc_alloc_reply(req, 40);
        if (req->buf[24] == 1) put32(r->buf + 4, kReqType + 3);
        kiv_rpc_reply(c, r);
        kiv_free_msg(req);
    };
    kiv_rpc_endpoint* ep = make_ep();
    kiv_msg* bad = make_req(32, 1);
    kiv_msg* good = make_req(32, 2);
    kiv_rpc_call(ep, bad);
    kiv_rpc_call(ep, good);
    ASSERT_TRUE(rec.wait_total(2));
    EXPECT_EQ(rec.get(bad).error, KIV_E_PROTO);
    EXPECT_FALSE(rec.get(bad).has_reply);
    EXPECT_EQ(rec.get(good).error, 0u);
    EXPECT_EQ(rec.get(good).reply.size(), 40u);
    EXPECT_EQ(accepts.load(), 1);
    kiv_rpc_close(ep);
    kiv_free_msg(bad);
    kiv_free_msg(good);
}

TEST_F(RpcTransport, TimeoutThenLateReplyDroppedAndStreamUsable) {
    LogCapture logs(&proc, 4);
    start_server();
    std::atomic<bool> park_next{true};
    handler = [&](kiv_rpc_sconn* c, kiv_msg* req) {
        if (park_next.exchange(false))
            park(c, req);
        else
            echo(c, req);
    };
    kiv_rpc_endpoint* ep = make_ep();
    kiv_msg* slow = make_req(40);
    slow->timeout_ms = 200;
    auto t0 = Clock::now();
    kiv_rpc_call(ep, slow);
    ASSERT_TRUE(rec.wait_total(1));
    Outcome o = rec.get(slow);
    EXPECT_EQ(o.error, KIV_E_TIMEDOUT);
    EXPECT_GE(o.at - t0, 190ms);
    // Below the endpoint's own 5 s, with room for a loaded machine.
    EXPECT_LT(o.at - t0, 3000ms);
    EXPECT_EQ(kiv_rpc_lookup_xid(&eng, slow->buf + 8), nullptr);

    ASSERT_TRUE(wait_parked(1));
    auto late = take_parked();
    {
        kiv_loop_guard g(&proc);
        kiv_rpc_reply(late[0].first, kiv_rpc_alloc_reply(late[0].second, 64));
        kiv_free_msg(late[0].second);
        kiv_rpc_sconn_unref(late[0].first);
    }
    kiv_msg* next = make_req(40, 7);
    kiv_rpc_call(ep, next);
    ASSERT_TRUE(rec.wait_total(2));
    EXPECT_EQ(rec.get(next).error, 0u);
    EXPECT_EQ(rec.get(next).reply.size(), 40u);
    EXPECT_EQ(rec.get(slow).count, 1);
    EXPECT_EQ(logs.count(4, "no pending request"), 1);
    EXPECT_EQ(accepts.load(), 1);
    kiv_rpc_close(ep);
    kiv_free_msg(slow);
    kiv_free_msg(next);
}

// A reply time-out is armed as given, however long: one past 65.5 s must
// not wrap to a short one that would fail a slow call early. Deadlines are
// read from the armed timer, so no case waits for its time-out except the
// short one that shows the path still ends in KIV_E_TIMEDOUT.
TEST_F(RpcTransport, ReplyTimeoutArmedAsGivenAtAnySize) {
    start_server();
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) { park(c, req); };
    kiv_rpc_endpoint* ep = make_ep();
    constexpr uint32_t kShort = 300;
    struct Case {
        uint32_t given;
        uint64_t armed_ms;
    };
    const Case cases[] = {
        {0, params.reply_timeout_ms},  // the endpoint's own
        {kShort, kShort},
        {65535, 65535},
        {65536 + kShort, 65536 + kShort},  // wrapped to 16 bits: kShort
        {70000, 70000},
        {6u * 3600 * 1000, 6ull * 3600 * 1000},
        {UINT32_MAX, UINT32_MAX},
    };
    std::vector<kiv_msg*> msgs;
    for (const Case& c : cases) {
        kiv_msg* m = make_req(40);
        m->timeout_ms = c.given;
        const uint64_t before = get_abs_time_us();
        kiv_rpc_call(ep, m);
        const uint64_t after = get_abs_time_us();
        uint64_t expires;
        {
            kiv_loop_guard g(&proc);
            expires = rpc_msg_of(m)->timer.expires_us;
        }
        EXPECT_GE(expires, before + c.armed_ms * 1000) << "timeout_ms " << c.given;
        EXPECT_LE(expires, after + c.armed_ms * 1000) << "timeout_ms " << c.given;
        msgs.push_back(m);
    }
    ASSERT_TRUE(wait_parked(std::size(cases)));
    ASSERT_TRUE(rec.wait_total(1));
    EXPECT_EQ(rec.get(msgs[1]).error, KIV_E_TIMEDOUT);
    // Anything armed with a wrapped deadline would be due by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kShort));
    EXPECT_EQ(rec.count_total(), 1);
    for (size_t i = 0; i < msgs.size(); i++) {
        if (i != 1) {
            EXPECT_EQ(kiv_rpc_cancel_request(msgs[i], nullptr), 0) << "timeout_ms " << cases[i].given;
        }
    }
    ASSERT_TRUE(rec.wait_total(int(msgs.size())));
    kiv_rpc_close(ep);
    for (kiv_msg* m : msgs) kiv_free_msg(m);
}

// ---------------------------------------------------------------- connecting

kiv_netaddr closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t l = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &l);
    close(fd);
    kiv_netaddr a{};
    kiv_parse_netaddr_port("127.0.0.1", std::to_string(ntohs(sa.sin_port)).c_str(), &a);
    return a;
}

TEST_F(RpcTransport, RefusedAfterAllAttempts) {
    LogCapture logs(&proc, 3);
    params.connect_retries = 3;
    params.connect_delay_ms = 50;
    kiv_netaddr dead = closed_port();
    std::atomic<int> downs{0}, down_code{0};
    static std::atomic<int>* s_downs;
    static std::atomic<int>* s_code;
    s_downs = &downs;
    s_code = &down_code;
    ops.on_disconnected = [](kiv_rpc_endpoint*, int code) {
        (*s_downs)++;
        *s_code = code;
    };
    kiv_rpc_endpoint* ep = make_ep(&dead);
    kiv_msg* m = make_req(40);
    auto t0 = Clock::now();
    kiv_rpc_call(ep, m);
    ASSERT_TRUE(rec.wait_total(1));
    Outcome o = rec.get(m);
    EXPECT_EQ(o.error, KIV_E_CONNFAIL);
    EXPECT_GE(o.at - t0, 140ms);
    // A refusal ends an attempt at once: attempts that each sat out their
    // 2 s connect time-out would take 8 s.
    EXPECT_LT(o.at - t0, 3000ms);
    EXPECT_EQ(logs.count(1, "failed"), 4);
    EXPECT_EQ(ep->state, KIV_RPC_STATE_IDLE);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(downs.load(), 1);
    EXPECT_EQ(down_code.load(), int(KIV_E_CONNFAIL));
    EXPECT_EQ(kiv_rpc_get_local_addr(ep, &dead), -ENOTCONN);
    kiv_rpc_close(ep);
    kiv_free_msg(m);
}

TEST_F(RpcTransport, NoAddressFailsDeferred) {
    kiv_rpc_endpoint* ep = kiv_rpc_create(&eng, &ops, &params);
    EXPECT_EQ(kiv_rpc_connect(ep), -EDESTADDRREQ);
    kiv_msg* m = make_req(40);
    in_job([&] { kiv_rpc_call(ep, m); });
    ASSERT_TRUE(rec.wait_total(1));
    Outcome o = rec.get(m);
    EXPECT_EQ(o.error, KIV_E_NOTCONN);
    EXPECT_FALSE(o.inline_done);
    kiv_rpc_close(ep);
    kiv_free_msg(m);
}

TEST_F(RpcTransport, BadParamsRejected) {
    kiv_rpc_params p = params;
    p.hdr_size = 32;
    EXPECT_EQ(kiv_rpc_create(&eng, &ops, &p), nullptr);
    p = params;
    p.max_msg = 31;
    EXPECT_EQ(kiv_rpc_create(&eng, &ops, &p), nullptr);
    EXPECT_EQ(eng.nr_endpoints, 0u);
}

TEST_F(RpcTransport, ServerCrashGivesConnLostThenReconnectsAfterRestart) {
    start_server();
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) { park(c, req); };
    static std::vector<std::string>* s_events;
    std::vector<std::string> events;
    s_events = &events;
    ops.on_connected = [](kiv_rpc_endpoint*) { s_events->push_back("up"); };
    ops.on_disconnected = [](kiv_rpc_endpoint*, int code) { s_events->push_back("down" + std::to_string(code)); };
    kiv_rpc_endpoint* ep = make_ep();
    std::vector<kiv_msg*> msgs;
    for (int i = 0; i < 10; i++) {
        msgs.push_back(make_req(40, uint8_t(i)));
        kiv_rpc_call(ep, msgs.back());
    }
    ASSERT_TRUE(wait_parked(10));
    kiv_netaddr at = srv_addr;
    stop_server();
    ASSERT_TRUE(rec.wait_total(10));
    for (kiv_msg* m : msgs) {
        EXPECT_EQ(rec.get(m).error, KIV_E_CONNLOST);
        EXPECT_EQ(rec.get(m).count, 1);
    }
    for (auto& [c, req] : take_parked()) {
        kiv_loop_guard g(&proc);
        EXPECT_EQ(kiv_rpc_reply(c, kiv_rpc_alloc_reply(req, 32)), -ENOTCONN);
        kiv_free_msg(req);
        kiv_rpc_sconn_unref(c);
    }

    // While down: refused.
    kiv_msg* down = make_req(40);
    kiv_rpc_call(ep, down);
    ASSERT_TRUE(rec.wait_total(11));
    EXPECT_EQ(rec.get(down).error, KIV_E_CONNFAIL);

    // Restart on the same port: the same endpoint reconnects on its own.
    start_server(8u << 20, &at);
    EXPECT_EQ(srv_addr.port, at.port);
    handler = [](kiv_rpc_sconn* c, kiv_msg* req) { echo(c, req); };
    kiv_msg* again = make_req(40, 9);
    kiv_rpc_call(ep, again);
    ASSERT_TRUE(rec.wait_total(12));
    EXPECT_EQ(rec.get(again).error, 0u);
    EXPECT_EQ(ep->state, KIV_RPC_STATE_CONNECTED);
    kiv_netaddr local{};
    EXPECT_EQ(kiv_rpc_get_local_addr(ep, &local), 0);
    EXPECT_EQ(local.kind, KIV_AF_INET);
    EXPECT_NE(local.port, 0);
    kiv_rpc_close(ep);
    {
        kiv_loop_guard g(&proc);
        ASSERT_GE(events.size(), 4u);
        EXPECT_EQ(events[0], "up");
        EXPECT_EQ(events[1], "down10");
        EXPECT_EQ(events[2], "down4");
        EXPECT_EQ(events[3], "up");
    }
    for (kiv_msg* m : msgs) kiv_free_msg(m);
    kiv_free_msg(down);
    kiv_free_msg(again);
}

// ---------------------------------------------------------------- sizes

TEST_F(RpcTransport, OversizedSendFailsWithoutSending) {
    start_server();
    params.max_msg = 4096;
    kiv_rpc_endpoint* ep = make_ep();
    kiv_msg* big = make_req(4097);
    in_job([&] { kiv_rpc_call(ep, big); });
    ASSERT_TRUE(rec.wait_total(1));
    EXPECT_EQ(rec.get(big).error, KIV_E_TOOBIG);
    EXPECT_FALSE(rec.get(big).inline_done);
    EXPECT_EQ(ep->state, KIV_RPC_STATE_IDLE);  // not even a connect
    kiv_msg* ok = make_req(4096);
    kiv_rpc_call(ep, ok);
    ASSERT_TRUE(rec.wait_total(2));
    EXPECT_EQ(rec.get(ok).error, 0u);
    kiv_rpc_call(ep, big);
    ASSERT_TRUE(rec.wait_total(3));
    EXPECT_EQ(rec.get(big).error, KIV_E_TOOBIG);
    EXPECT_EQ(rec.get(big).count, 2);
    EXPECT_EQ(requests.load(), 1);
    kiv_rpc_close(ep);
    kiv_free_msg(big);
    kiv_free_msg(ok);
}

TEST_F(RpcTransport, OversizedReplyAbortsStream) {
    start_server();
    params.max_msg = 4096;
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) {
        if (req->buf[24] == 1) {
            kiv_rpc_reply(c, kiv_rpc_alloc_reply(req, 8192));
            kiv_free_msg(req);
        } else {
            park(c, req);
        }
    };
    kiv_rpc_endpoint* ep = make_ep();
    kiv_msg* a = make_req(40, 2);
    kiv_msg* b = make_req(40, 3);
    kiv_msg* big = make_req(40, 1);
    kiv_rpc_call(ep, a);
    kiv_rpc_call(ep, b);
    ASSERT_TRUE(wait_parked(2));
    kiv_rpc_call(ep, big);
    ASSERT_TRUE(rec.wait_total(3));
    EXPECT_EQ(rec.get(big).error, KIV_E_TOOBIG);
    EXPECT_EQ(rec.get(a).error, KIV_E_CONNLOST);
    EXPECT_EQ(rec.get(b).error, KIV_E_CONNLOST);
    EXPECT_LT(rec.get(big).at, rec.get(a).at);
    EXPECT_EQ(aborts.load(), 1);
    EXPECT_EQ(abort_reason.load(), int(KIV_E_TOOBIG));
    kiv_rpc_close(ep);
    for (kiv_msg* m : {a, b, big}) kiv_free_msg(m);
}

// ---------------------------------------------------------------- zero copy

// Message layout of a bulk transfer: kept header, then the caller's data,
// then zero padding to a multiple of 512.
struct Bulk {
    uint32_t hdr;
    uint8_t* data;
    uint32_t data_len;
    std::vector<std::pair<uint64_t, uint32_t>> calls;
    bool completed = false;
    int calls_after_completion = 0;
};
std::map<kiv_msg*, Bulk*> g_bulk;  // touched on evloop (and before the call)
std::mutex g_bulk_mu;
uint8_t g_zeros[512];

void* bulk_chunk(kiv_msg* m, uint64_t off, uint32_t* len) {
    Bulk* b;
    {
        std::lock_guard<std::mutex> g(g_bulk_mu);
        b = g_bulk[m];
    }
    b->calls.emplace_back(off, 0);
    if (b->completed) b->calls_after_completion++;
    EXPECT_LT(off, m->total_len);
    if (off < b->hdr) {
        *len = uint32_t(b->hdr - off);
        return m->buf + off;
    }
    uint64_t end = std::min<uint64_t>(uint64_t(b->hdr) + b->data_len, m->total_len);
    if (off < end) {
        *len = uint32_t(end - off);
        return b->data + (off - b->hdr);
    }
    *len = uint32_t(std::min<uint64_t>(m->total_len - off, 512));
    return g_zeros;
}

void bind_bulk(kiv_msg* m, Bulk* b) {
    std::lock_guard<std::mutex> g(g_bulk_mu);
    g_bulk[m] = b;
    m->get_chunk = bulk_chunk;
}

TEST_F(RpcTransport, ZeroCopyRequestAndReplyThroughAccessors) {
    start_server();
    std::vector<uint8_t> seen;
    handler = [&](kiv_rpc_sconn* c, kiv_msg* req) {
        seen.assign(req->buf, req->buf + req->total_len);
        // Reply: 40-byte fixed part, then 3000 data bytes.
        kiv_msg* r = kiv_rpc_alloc_reply(req, 40 + 3000);
        for (uint32_t i = 40; i < r->total_len; i++) r->buf[i] = uint8_t(i * 7);
        kiv_rpc_reply(c, r);
        kiv_free_msg(req);
    };
    static Bulk* s_reply_bulk;
    std::vector<uint8_t> dst(3000 + 16, 0xcc);
    Bulk rb{40, dst.data(), 3000, {}};
    s_reply_bulk = &rb;
    static kiv_rpc_engine* s_eng;
    s_eng = &eng;
    ops.alloc_reply = [](kiv_rpc_engine* e, const uint8_t hdr[24]) -> kiv_msg* {
        EXPECT_EQ(e, s_eng);
        EXPECT_NE(kiv_rpc_lookup_xid(e, hdr + 8), nullptr);
        kiv_msg* m = kiv_rpc_alloc_input_msg(e, 40);
        m->total_len = std::min<uint32_t>(le32(hdr), 40 + 3000);
        memcpy(m->buf, hdr, 24);
        bind_bulk(m, s_reply_bulk);
        m->done = rpc_work_input;
        return m;
    };
    kiv_rpc_endpoint* ep = make_ep();

    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 13 + 1);
    kiv_msg* m = kiv_rpc_alloc_output_msg(48);
    m->total_len = 1536;  // 48 + 1000 rounded up to 512
    put32(m->buf, 1536);
    put32(m->buf + 4, kReqType);
    kiv_rpc_get_new_xid(&eng, m->buf + 8);
    memset(m->buf + 24, 0x48, 24);
    m->done = Recorder::done;
    m->priv = &rec;
    Bulk qb{48, data.data(), 1000, {}};
    bind_bulk(m, &qb);
    kiv_rpc_call(ep, m);
    ASSERT_TRUE(rec.wait_total(1));
    ASSERT_EQ(rec.get(m).error, 0u);

    ASSERT_EQ(seen.size(), 1536u);
    EXPECT_EQ(memcmp(seen.data() + 24, std::vector<uint8_t>(24, 0x48).data(), 24), 0);
    EXPECT_EQ(memcmp(seen.data() + 48, data.data(), 1000), 0);
    EXPECT_TRUE(std::all_of(seen.begin() + 1048, seen.end(), [](uint8_t v) { return v == 0; }));
    for (size_t i = 1; i < qb.calls.size(); i++) EXPECT_LE(qb.calls[i - 1].first, qb.calls[i].first);

    // The reply's data went straight into the caller's buffer.
    Outcome o = rec.get(m);
    EXPECT_EQ(o.reply.size(), 40u);  // kept part only
    for (uint32_t i = 0; i < 3000; i++) ASSERT_EQ(dst[i], uint8_t((i + 40) * 7)) << i;
    EXPECT_EQ(dst[3000], 0xcc);
    for (size_t i = 1; i < rb.calls.size(); i++) EXPECT_LE(rb.calls[i - 1].first, rb.calls[i].first);
    EXPECT_GE(rb.calls.front().first, 24u);
    kiv_rpc_close(ep);
    kiv_free_msg(m);
}

TEST_F(RpcTransport, ReplyHookShorterThanAnnouncedDiscardsExcess) {
    start_server();
    handler = [](kiv_rpc_sconn* c, kiv_msg* req) {
        uint32_t len = req->buf[24] == 1 ? 5000 : 100;
        kiv_msg* r = kiv_rpc_alloc_reply(req, len);
        for (uint32_t i = 24; i < len; i++) r->buf[i] = uint8_t(i);
        kiv_rpc_reply(c, r);
        kiv_free_msg(req);
    };
    static std::atomic<int> hooks{0};
    hooks = 0;
    ops.alloc_reply = [](kiv_rpc_engine* e, const uint8_t hdr[24]) -> kiv_msg* {
        hooks++;
        if (le32(hdr) != 5000) return nullptr;  // default handling for the others
        kiv_msg* m = kiv_rpc_alloc_input_msg(e, 1000);
        memcpy(m->buf, hdr, 24);
        m->done = rpc_work_input;
        return m;
    };
    kiv_rpc_endpoint* ep = make_ep();
    kiv_msg* a = make_req(40, 1);
    kiv_msg* b = make_req(40, 2);
    kiv_rpc_call(ep, a);
    kiv_rpc_call(ep, b);
    ASSERT_TRUE(rec.wait_total(2));
    Outcome oa = rec.get(a), ob = rec.get(b);
    ASSERT_EQ(oa.error, 0u);
    ASSERT_EQ(oa.reply.size(), 1000u);
    for (uint32_t i = 24; i < 1000; i++) ASSERT_EQ(oa.reply[i], uint8_t(i));
    ASSERT_EQ(ob.error, 0u);
    ASSERT_EQ(ob.reply.size(), 100u);
    for (uint32_t i = 24; i < 100; i++) ASSERT_EQ(ob.reply[i], uint8_t(i));
    EXPECT_EQ(le32(ob.reply.data() + 4), kReqType + 1);
    EXPECT_EQ(hooks.load(), 2);
    EXPECT_EQ(accepts.load(), 1);
    kiv_rpc_close(ep);
    kiv_free_msg(a);
    kiv_free_msg(b);
}

// ---------------------------------------------------------------- cancel

TEST_F(RpcTransport, CancelCompletesLaterWithAbandoned) {
    start_server();
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) { park(c, req); };
    kiv_rpc_endpoint* ep = make_ep();
    kiv_msg* m = make_req(40);
    kiv_msg* idle = make_req(40);
    EXPECT_EQ(kiv_rpc_cancel_request(idle, nullptr), -ENOENT);
    kiv_rpc_call(ep, m);
    ASSERT_TRUE(wait_parked(1));
    int rc1 = 1, rc2 = 1;
    in_job([&] {
        rc1 = kiv_rpc_cancel_request(m, nullptr);
        rc2 = kiv_rpc_cancel_request(m, nullptr);
    });
    EXPECT_EQ(rc1, 0);
    EXPECT_EQ(rc2, -ENOENT);
    ASSERT_TRUE(rec.wait_total(1));
    Outcome o = rec.get(m);
    EXPECT_EQ(o.error, KIV_E_ABANDONED);
    EXPECT_FALSE(o.inline_done);
    EXPECT_TRUE(o.on_evloop);
    EXPECT_EQ(kiv_rpc_cancel_request(m, nullptr), -ENOENT);
    // The stream survives a cancel of a fully written request.
    handler = [](kiv_rpc_sconn* c, kiv_msg* req) { echo(c, req); };
    kiv_rpc_call(ep, idle);
    ASSERT_TRUE(rec.wait_total(2));
    EXPECT_EQ(rec.get(idle).error, 0u);
    EXPECT_EQ(aborts.load(), 0);
    kiv_rpc_close(ep);
    kiv_free_msg(m);
    kiv_free_msg(idle);
}

TEST_F(RpcTransport, CancelInTheMiddleOfABigSendAbortsTheStream) {
    RawPeer peer(4096);  // a small window keeps most of the frame in the sender
    std::atomic<bool> peer_done{false}, sending{false}, cancelled{false};
    size_t peer_got = 0;
    peer.run([&](int fd) {
        std::vector<uint8_t> buf(65536);
        ssize_t n;
        // Nothing is read until the cancel: once the first bytes are in, the
        // rest of the 16 MiB frame stays in the sender however long the test
        // thread takes to get there, so the cancel always lands mid-send.
        if (!rttest::wait_readable(fd)) return;
        sending = true;
        while (!cancelled) std::this_thread::sleep_for(1ms);
        while ((n = read(fd, buf.data(), buf.size())) > 0) peer_got += size_t(n);
        peer_done = true;
    });
    params.max_msg = 16u << 20;
    kiv_rpc_endpoint* ep = make_ep(&peer.addr);
    const uint32_t total = 16u << 20;
    auto* data = new uint8_t[total];
    memset(data, 0x77, total);
    Bulk b{24, data, total - 24, {}};
    kiv_msg* big = kiv_rpc_alloc_output_msg(24);
    big->total_len = total;
    put32(big->buf, total);
    put32(big->buf + 4, kReqType);
    kiv_rpc_get_new_xid(&eng, big->buf + 8);
    big->priv = &rec;
    big->done = Recorder::done;
    bind_bulk(big, &b);
    kiv_msg* other = make_req(40);
    rec.extra = [&](kiv_msg* m) {
        if (m == big) {
            b.completed = true;
            delete[] data;  // the transport must not read it any more
            b.data = nullptr;
        }
    };
    kiv_rpc_call(ep, big);
    kiv_rpc_call(ep, other);
    const bool started = rttest::wait_until([&] { return sending.load(); }, 60s);
    EXPECT_EQ(kiv_rpc_cancel_request(big, nullptr), 0);
    cancelled = true;
    ASSERT_TRUE(started);
    const bool both = rec.wait_total(2);
    if (!both) kiv_rpc_close(ep);  // the peer reads to the end of the stream
    ASSERT_TRUE(both);
    EXPECT_EQ(rec.get(big).error, KIV_E_ABANDONED);
    EXPECT_EQ(rec.get(other).error, KIV_E_CONNLOST);
    EXPECT_LT(rec.get(big).at, rec.get(other).at);
    EXPECT_EQ(b.calls_after_completion, 0);
    EXPECT_EQ(aborts.load(), 1);
    EXPECT_EQ(abort_reason.load(), int(KIV_E_ABANDONED));
    peer.th.join();
    EXPECT_TRUE(peer_done.load());
    EXPECT_LT(peer_got, size_t(total));
    kiv_rpc_close(ep);
    kiv_free_msg(big);
    kiv_free_msg(other);
}

TEST_F(RpcTransport, TimeoutDuringBulkReceiveLeavesCallerBufferAlone) {
    RawPeer peer;
    peer.run([&](int fd) {
        uint8_t req[40];
        ASSERT_TRUE(RawPeer::read_full(fd, req, sizeof req));
        // Header plus the first 1000 body bytes, then a stall past the time-out.
        std::vector<uint8_t> f = RawPeer::header(24 + 100000, kReqType + 1, req + 8);
        f.resize(24 + 100000, 0x31);
        ASSERT_TRUE(RawPeer::write_full(fd, f.data(), 24 + 1000));
        std::this_thread::sleep_for(500ms);
        ASSERT_TRUE(RawPeer::write_full(fd, f.data() + 24 + 1000, f.size() - 24 - 1000));
        // The stream still works: answer the next request.
        ASSERT_TRUE(RawPeer::read_full(fd, req, sizeof req));
        auto h = RawPeer::header(32, kReqType + 1, req + 8);
        h.resize(32, 0x42);
        ASSERT_TRUE(RawPeer::write_full(fd, h.data(), h.size()));
        char c;
        RawPeer::read_full(fd, &c, 1);
    });
    std::vector<uint8_t> dst(100000, 0xab);
    static Bulk* s_b;
    Bulk rb{24, dst.data(), 100000, {}};
    s_b = &rb;
    ops.alloc_reply = [](kiv_rpc_engine* e, const uint8_t hdr[24]) -> kiv_msg* {
        if (le32(hdr) != 24 + 100000) return nullptr;
        kiv_msg* m = kiv_rpc_alloc_input_msg(e, 24);
        m->total_len = le32(hdr);
        memcpy(m->buf, hdr, 24);
        bind_bulk(m, s_b);
        m->done = rpc_work_input;
        return m;
    };
    kiv_rpc_endpoint* ep = make_ep(&peer.addr);
    kiv_msg* m = make_req(40);
    m->timeout_ms = 200;
    kiv_rpc_call(ep, m);
    ASSERT_TRUE(rec.wait_total(1));
    EXPECT_EQ(rec.get(m).error, KIV_E_TIMEDOUT);
    std::this_thread::sleep_for(500ms);  // the rest of the frame arrives meanwhile
    kiv_msg* next = make_req(40);
    kiv_rpc_call(ep, next);
    ASSERT_TRUE(rec.wait_total(2));
    EXPECT_EQ(rec.get(next).error, 0u);
    ASSERT_EQ(rec.get(next).reply.size(), 32u);
    EXPECT_EQ(rec.get(next).reply[31], 0x42);
    size_t written = 0;
    while (written < dst.size() && dst[written] == 0x31) written++;
    EXPECT_LE(written, 1000u);
    EXPECT_TRUE(std::all_of(dst.begin() + long(written), dst.end(), [](uint8_t v) { return v == 0xab; }));
    kiv_rpc_close(ep);
    kiv_free_msg(m);
    kiv_free_msg(next);
}

TEST_F(RpcTransport, EarlyReplyHeldUntilTheRequestIsWritten) {
    RawPeer peer(4096);
    std::atomic<size_t> peer_read{0};
    std::atomic<bool> go{false};
    const uint32_t total = 16u << 20;
    peer.run([&](int fd) {
        uint8_t hdr[24];
        ASSERT_TRUE(RawPeer::read_full(fd, hdr, sizeof hdr));
        auto r = RawPeer::header(32, kReqType + 1, hdr + 8);
        r.resize(32, 0x66);
        ASSERT_TRUE(RawPeer::write_full(fd, r.data(), r.size()));
        // The frame cannot be out before the test has looked: the rest of it
        // waits in the sender until this reads.
        while (!go) std::this_thread::sleep_for(1ms);
        std::vector<uint8_t> buf(65536);
        size_t left = total - 24;
        while (left) {
            if (!rttest::wait_readable(fd)) return;
            ssize_t n = read(fd, buf.data(), std::min(left, buf.size()));
            if (n <= 0) return;
            left -= size_t(n);
            peer_read += size_t(n);
        }
        char c;
        RawPeer::read_full(fd, &c, 1);
    });
    params.max_msg = total;
    kiv_rpc_endpoint* ep = make_ep(&peer.addr);
    kiv_msg* big = make_req(total, 0x12);
    size_t read_at_done = 0;
    rec.extra = [&](kiv_msg*) { read_at_done = peer_read.load(); };
    bool reply_in = false;
    {
        // The peer's one frame is the reply, written whole, so the read that
        // logs its header takes all of it; a job queued after that runs once
        // that read and the completions it made are over.
        LogCapture logs(&proc, 7);
        kiv_rpc_call(ep, big);
        reply_in = rttest::wait_until([&] { return logs.count(7, "received frame") > 0; }, 60s);
        in_job([] {});
    }
    EXPECT_EQ(rec.count_total(), 0);  // the reply is in, the frame is not out yet
    go = true;
    ASSERT_TRUE(reply_in);
    ASSERT_TRUE(rec.wait_total(1));
    // The sender's buffers hold at most a few MiB: most of the frame had to
    // reach the peer before the write could end.
    EXPECT_GT(read_at_done, size_t(total) / 2);
    Outcome o = rec.get(big);
    EXPECT_EQ(o.error, 0u);
    ASSERT_EQ(o.reply.size(), 32u);
    EXPECT_EQ(o.reply[31], 0x66);
    kiv_rpc_close(ep);
    kiv_free_msg(big);
}

// ---------------------------------------------------------------- close, reset

TEST_F(RpcTransport, CloseCompletesEveryRequestOnceEvenWhenDoneFrees) {
    start_server();
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) { park(c, req); };
    rec.free_in_done = true;
    kiv_rpc_endpoint* ep = make_ep();
    std::vector<kiv_msg*> msgs;
    for (int i = 0; i < 20; i++) {
        msgs.push_back(make_req(40));
        kiv_rpc_call(ep, msgs.back());
    }
    ASSERT_TRUE(wait_parked(20));
    in_job([&] {
        kiv_rpc_close(ep);
        EXPECT_EQ(eng.nr_endpoints, 0u);
    });
    EXPECT_EQ(eng.nr_endpoints, 0u);
    ASSERT_TRUE(rec.wait_total(20));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.count_total(), 20);
    for (kiv_msg* m : msgs) {
        Outcome o = rec.get(m);
        EXPECT_EQ(o.count, 1);
        EXPECT_EQ(o.error, KIV_E_ABANDONED);
        EXPECT_FALSE(o.inline_done);
    }
}

TEST_F(RpcTransport, ResetCompletesEveryRequestOnceAndNextSendReconnects) {
    start_server();
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) { park(c, req); };
    kiv_rpc_endpoint* ep = make_ep();
    std::vector<kiv_msg*> msgs;
    for (int i = 0; i < 20; i++) {
        msgs.push_back(make_req(40));
        kiv_rpc_call(ep, msgs.back());
    }
    ASSERT_TRUE(wait_parked(20));
    in_job([&] {
        kiv_rpc_reset(ep, 0);
        kiv_rpc_reset(ep, 0);
        EXPECT_EQ(ep->state, KIV_RPC_STATE_IDLE);
    });
    ASSERT_TRUE(rec.wait_total(20));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rec.count_total(), 20);
    for (kiv_msg* m : msgs) {
        EXPECT_EQ(rec.get(m).count, 1);
        EXPECT_EQ(rec.get(m).error, KIV_E_CONNLOST);
        EXPECT_FALSE(rec.get(m).inline_done);
    }
    handler = [](kiv_rpc_sconn* c, kiv_msg* req) { echo(c, req); };
    kiv_rpc_call(ep, msgs[0]);
    ASSERT_TRUE(rec.wait_total(21));
    EXPECT_EQ(rec.get(msgs[0]).error, 0u);
    EXPECT_EQ(accepts.load(), 2);
    kiv_rpc_close(ep);
    for (kiv_msg* m : msgs) kiv_free_msg(m);
}

TEST_F(RpcTransport, CloseFromACompletionHandler) {
    start_server();
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) {
        if (req->buf[24] == 1)
            echo(c, req);
        else
            park(c, req);
    };
    kiv_rpc_endpoint* ep = make_ep();
    kiv_msg* first = make_req(40, 1);
    kiv_msg* pending = make_req(40, 2);
    uint32_t count_after_close = 99;
    rec.extra = [&](kiv_msg* m) {
        if (m == first) {
            kiv_rpc_close(ep);  // the handler's own endpoint
            count_after_close = eng.nr_endpoints;
        }
    };
    kiv_rpc_call(ep, pending);
    ASSERT_TRUE(wait_parked(1));
    kiv_rpc_call(ep, first);
    ASSERT_TRUE(rec.wait_total(2));
    EXPECT_EQ(rec.get(first).error, 0u);
    EXPECT_EQ(rec.get(pending).error, KIV_E_ABANDONED);
    EXPECT_EQ(count_after_close, 0u);
    kiv_free_msg(first);
    kiv_free_msg(pending);
}

// A request pending when its process is terminated never completes; its
// owner may free it, and fini closes the endpoint's socket.
TEST_F(RpcTransport, NoCompletionAfterTerminate) {
    kiv_process client{};
    ASSERT_EQ(kiv_process_init_(&client), 0);
    ASSERT_EQ(kiv_process_start(&client, "rpc-client"), 0);
    kiv_rpc_engine ceng{};
    ASSERT_EQ(kiv_rpc_engine_init(&client, &ceng, KIV_RPC_ENGINE_CLIENT), 0);
    start_server();
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) { park(c, req); };
    kiv_rpc_endpoint* ep = kiv_rpc_create(&ceng, &ops, &params);
    kiv_rpc_set_address(ep, &srv_addr);
    kiv_msg* m = make_req(40);
    kiv_rpc_call(ep, m);
    ASSERT_TRUE(wait_parked(1));
    kiv_process_terminate(&client);
    kiv_process_wait(&client);
    for (auto& [c, req] : take_parked()) {
        kiv_loop_guard g(&proc);
        kiv_rpc_reply(c, kiv_rpc_alloc_reply(req, 32));
        kiv_free_msg(req);
        kiv_rpc_sconn_unref(c);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.count_total(), 0);
    kiv_free_msg(m);
    int closes_before = closes.load();
    kiv_process_fini(&client);
    auto end = Clock::now() + 5s;
    while (closes.load() == closes_before && Clock::now() < end) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(closes.load(), closes_before + 1);
    kiv_rpc_close(ep);
    EXPECT_EQ(ceng.nr_endpoints, 0u);
    kiv_rpc_engine_fini(&ceng);
}

}  // namespace

// ---------------------------------------------------------------- server budget and bad frames
namespace {

// A plain TCP client of the runtime's server: the test writes bytes and
// reads frames as a hostile or careless peer would.
struct RawClient {
    int fd = -1;
    // A small `rcvbuf` makes a peer that the server outruns.
    explicit RawClient(const kiv_netaddr& at, int rcvbuf = 0) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(at.port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~RawClient() {
        if (fd >= 0) close(fd);
    }
    // `n` request frames of 24 bytes, xid = index, in one buffer.
    static std::vector<uint8_t> frames(uint32_t n) {
        std::vector<uint8_t> out;
        for (uint32_t i = 0; i < n; i++) {
            uint8_t xid[16] = {};
            put32(xid, i);
            std::vector<uint8_t> h = RawPeer::header(24, kReqType, xid);
            out.insert(out.end(), h.begin(), h.end());
        }
        return out;
    }
    // Reads reply frames until the server closes; their xids in order.
    std::vector<uint32_t> replies_until_closed() {
        std::vector<uint32_t> xids;
        uint8_t h[24];
        while (RawPeer::read_full(fd, h, sizeof h)) {
            std::vector<uint8_t> rest(le32(h) - 24);
            if (!rest.empty() && !RawPeer::read_full(fd, rest.data(), rest.size())) break;
            xids.push_back(le32(h + 8));
        }
        return xids;
    }
};

}  // namespace

// A peer that pipelines requests and never reads its replies is read only
// while what it has in flight stays within the budget: by count, or by the
// per-request charge of a server whose replies are large.
TEST_F(RpcTransport, ServerStopsReadingAPeerOverItsBudget) {
    struct Case {
        uint32_t charge;
        size_t limit;  // most requests the server may hold at once
        uint32_t total;
    };
    const Case cases[] = {{0, 1024, 3000}, {4u << 20, (64u << 20) / (4u << 20) + 1, 300}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.charge);
        start_server();
        kiv_rpc_server_set_request_charge(srv, k.charge);
        requests = 0;
        handler = [this](kiv_rpc_sconn* c, kiv_msg* req) { park(c, req); };
        RawClient peer(srv_addr);
        ASSERT_GE(peer.fd, 0);
        const uint32_t total = k.total;
        const std::vector<uint8_t> all = RawClient::frames(total);
        ASSERT_TRUE(RawPeer::write_full(peer.fd, all.data(), all.size()));
        size_t most = 0;
        for (int round = 0; requests.load() < int(total) && round < 1000; round++) {
            ASSERT_TRUE(wait_parked(1));
            std::this_thread::sleep_for(20ms);  // room to read past the budget, if it would
            std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> held = take_parked();
            most = std::max(most, held.size());
            for (auto& [c, req] : held) {
                kiv_free_msg(req);
                kiv_rpc_sconn_unref(c);
            }
        }
        EXPECT_EQ(requests.load(), int(total));
        EXPECT_LE(most, k.limit);
        EXPECT_GE(most, std::min<size_t>(k.limit, 16));
        stop_server();
    }
}

// Many peers that never see their requests answered fill a budget shared
// by the server's connections only up to one request each beyond it, and a
// peer that holds nothing is still served meanwhile.
TEST_F(RpcTransport, SharedBudgetBoundsManyHogsAndStillServesAReader) {
    constexpr uint64_t kLimit = 1u << 20;
    constexpr uint32_t kCharge = 256u << 10;
    constexpr int kHogs = 16;
    constexpr uint32_t kEach = 20;  // 16 x 20 x 256 KiB = 80 MiB without the shared budget
    constexpr uint32_t kEchoType = kReqType + 2;
    start_server();
    kiv_rpc_budget* budget = kiv_rpc_budget_create(kLimit);
    ASSERT_NE(budget, nullptr);
    kiv_rpc_server_set_budget(srv, budget);
    kiv_rpc_server_set_request_charge(srv, kCharge);
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) {
        if (le32(req->buf + 4) == kEchoType)
            echo(c, req);
        else
            park(c, req);
    };
    std::vector<std::unique_ptr<RawClient>> hogs;
    const std::vector<uint8_t> burst = RawClient::frames(kEach);
    for (int i = 0; i < kHogs; i++) {
        hogs.push_back(std::make_unique<RawClient>(srv_addr));
        ASSERT_GE(hogs.back()->fd, 0);
        ASSERT_TRUE(RawPeer::write_full(hogs.back()->fd, burst.data(), burst.size()));
    }
    // A connection that holds nothing is always read: each hog has one
    // request parked at least.
    ASSERT_TRUE(wait_parked(kHogs));

    RawClient reader(srv_addr);
    ASSERT_GE(reader.fd, 0);
    timeval tv{60, 0};
    setsockopt(reader.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    for (uint32_t i = 0; i < 3; i++) {
        uint8_t xid[16] = {};
        put32(xid, 100 + i);
        std::vector<uint8_t> f = RawPeer::header(24, kEchoType, xid);
        ASSERT_TRUE(RawPeer::write_full(reader.fd, f.data(), f.size()));
        uint8_t h[24];
        ASSERT_TRUE(RawPeer::read_full(reader.fd, h, sizeof h)) << "request " << i;
        EXPECT_EQ(100 + i, le32(h + 8));
    }

    // Each connection may bring one request (at its charge) and its reply
    // beyond the limit.
    const uint64_t slack = uint64_t(kHogs + 1) * (kCharge + 24);
    EXPECT_LE(kiv_rpc_budget_peak(budget), kLimit + slack);
    EXPECT_LT(parked_count(), size_t(kHogs) * kEach);

    // A closed hog's frames still in its socket are read once the budget
    // has room again, and parked like the others: free them as they come
    // until nothing is held.
    hogs.clear();
    EXPECT_TRUE(rttest::wait_until(
        [&] {
            for (auto& [c, req] : take_parked()) {
                kiv_free_msg(req);
                kiv_rpc_sconn_unref(c);
            }
            return kiv_rpc_budget_held(budget) == 0;
        },
        std::chrono::seconds(120)));
    kiv_rpc_budget_put(budget);
    stop_server();
}

// A frame begun and left unfinished closes its connection once the frame
// time-out has passed, whether the header or the body is cut short; a peer
// idle between whole frames keeps its connection.
TEST_F(RpcTransport, HalfSentFrameClosesItsConnectionAndIdleOneStays) {
    start_server();
    kiv_rpc_server_set_frame_timeout(srv, 200);
    handler = [](kiv_rpc_sconn* c, kiv_msg* req) { echo(c, req); };
    auto round_trip = [](RawClient& cl, uint32_t tag) {
        uint8_t xid[16] = {};
        put32(xid, tag);
        std::vector<uint8_t> f = RawPeer::header(24, kReqType, xid);
        if (!RawPeer::write_full(cl.fd, f.data(), f.size())) return false;
        uint8_t h[24];
        return RawPeer::read_full(cl.fd, h, sizeof h) && le32(h + 8) == tag;
    };
    RawClient idle(srv_addr);
    ASSERT_GE(idle.fd, 0);
    ASSERT_TRUE(round_trip(idle, 1));

    const uint8_t xid[16] = {};
    const std::vector<uint8_t> header = RawPeer::header(100, kReqType, xid);
    const size_t cuts[] = {10, 24 + 30};  // inside the header; inside the body
    for (size_t cut : cuts) {
        SCOPED_TRACE(cut);
        RawClient half(srv_addr);
        ASSERT_GE(half.fd, 0);
        timeval tv{60, 0};
        setsockopt(half.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<uint8_t> bytes(header);
        bytes.resize(cut, 0x5a);
        ASSERT_TRUE(RawPeer::write_full(half.fd, bytes.data(), bytes.size()));
        char b;
        EXPECT_EQ(0, read(half.fd, &b, 1)) << "the server did not close the connection";
    }
    // Idle for longer than the frame time-out by now, and still served.
    EXPECT_TRUE(round_trip(idle, 2));
    stop_server();
}

// The replies of the requests before a bad frame go out, however TCP split
// the bytes and whichever thread answers, and only then does the server
// close the connection; nothing after the bad frame is taken.
TEST_F(RpcTransport, RepliesBeforeABadFrameAreSentThenTheConnectionCloses) {
    for (const bool later : {false, true}) {
        SCOPED_TRACE(later ? "answered by another thread" : "answered at once");
        start_server();
        requests = 0;
        std::vector<std::thread> answerers;
        std::mutex amu;
        if (later) {
            handler = [&](kiv_rpc_sconn* c, kiv_msg* req) {
                kiv_rpc_sconn_ref(c);
                std::lock_guard<std::mutex> g(amu);
                answerers.emplace_back([c, req] {
                    std::this_thread::sleep_for(100ms);
                    echo(c, req);
                    kiv_rpc_sconn_unref(c);
                });
            };
        } else {
            handler = [](kiv_rpc_sconn* c, kiv_msg* req) { echo(c, req); };
        }
        LogCapture log(&proc, 1);
        RawClient peer(srv_addr);
        ASSERT_GE(peer.fd, 0);
        std::vector<uint8_t> bytes = RawClient::frames(3);
        uint8_t xid[16] = {};
        std::vector<uint8_t> bad = RawPeer::header(10, kReqType, xid);  // shorter than a header
        bytes.insert(bytes.end(), bad.begin(), bad.end());
        std::vector<uint8_t> after = RawClient::frames(1);
        bytes.insert(bytes.end(), after.begin(), after.end());
        ASSERT_TRUE(RawPeer::write_full(peer.fd, bytes.data(), bytes.size()));
        std::vector<uint32_t> got = peer.replies_until_closed();
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (std::vector<uint32_t>{0, 1, 2}));
        EXPECT_EQ(requests.load(), 3);
        EXPECT_EQ(log.count(1, "bad frame (length 10"), 1);
        {
            std::lock_guard<std::mutex> g(amu);
            for (std::thread& t : answerers) t.join();
        }
        stop_server();
    }
}

namespace {

// A reply to a 24-byte request whose body is `body` bytes of its xid's low
// byte.
kiv_msg* patterned_reply(const kiv_msg* req, uint32_t body) {
    kiv_msg* r = kiv_rpc_alloc_reply(req, 24 + body);
    memset(r->buf + 24, req->buf[8], body);
    return r;
}

// Reads `n` reply frames slowly (a pause after every `pause_every` bytes);
// true when they are xids 0..n-1 in order, each body the pattern of
// patterned_reply.
::testing::AssertionResult read_patterned(int fd, uint32_t n, size_t pause_every) {
    size_t since_pause = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint8_t h[24];
        if (!RawPeer::read_full(fd, h, sizeof h)) return ::testing::AssertionFailure() << "no reply " << i;
        if (le32(h + 8) != i) return ::testing::AssertionFailure() << "reply " << i << " has xid " << le32(h + 8);
        std::vector<uint8_t> body(le32(h) - 24);
        for (size_t at = 0; at < body.size();) {
            size_t k = std::min(body.size() - at, size_t(4096));
            if (!RawPeer::read_full(fd, body.data() + at, k)) return ::testing::AssertionFailure() << "cut " << i;
            at += k;
            since_pause += k;
            if (since_pause >= pause_every) {
                std::this_thread::sleep_for(1ms);
                since_pause = 0;
            }
        }
        for (uint8_t b : body)
            if (b != uint8_t(i)) return ::testing::AssertionFailure() << "reply " << i << " body damaged";
    }
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, 50) != 0) return ::testing::AssertionFailure() << "bytes after the last reply";
    return ::testing::AssertionSuccess();
}

}  // namespace

// Replies reach a peer that reads slowly once each and in the order they
// were sent, whether they were sent from on_request (written at the end of
// the read callback), in a batch (written when it ends, and not before),
// or one by one from another thread; a write that comes up short leaves
// the rest queued for the next.
TEST_F(RpcTransport, RepliesReachASlowReaderOnceAndInOrder) {
    enum How { kOnRequest, kBatch, kOneByOne };
    struct Case {
        How how;
        uint32_t body;
    };
    const Case cases[] = {{kOnRequest, 40}, {kOnRequest, 64 << 10}, {kBatch, 40},
                          {kBatch, 64 << 10}, {kOneByOne, 40},      {kOneByOne, 64 << 10}};
    constexpr uint32_t kCount = 300;
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "how " << k.how << ", body " << k.body);
        start_server();
        requests = 0;
        if (k.how == kOnRequest)
            handler = [&k](kiv_rpc_sconn* c, kiv_msg* req) {
                kiv_rpc_reply(c, patterned_reply(req, k.body));
                kiv_free_msg(req);
            };
        else
            handler = [this](kiv_rpc_sconn* c, kiv_msg* req) { park(c, req); };
        RawClient peer(srv_addr, 16 << 10);
        ASSERT_GE(peer.fd, 0);
        const std::vector<uint8_t> all = RawClient::frames(kCount);
        ASSERT_TRUE(RawPeer::write_full(peer.fd, all.data(), all.size()));
        if (k.how != kOnRequest) {
            ASSERT_TRUE(wait_parked(kCount));
            std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> held = take_parked();
            auto answer = [&held, &k] {
                for (auto& [c, req] : held) {
                    kiv_rpc_reply(c, patterned_reply(req, k.body));
                    kiv_free_msg(req);
                    kiv_rpc_sconn_unref(c);
                }
            };
            if (k.how == kBatch) {
                bool early = true;
                in_job([&] {
                    kiv_rpc_batch_begin(&proc);
                    answer();
                    pollfd pf{peer.fd, POLLIN, 0};
                    early = poll(&pf, 1, 0) != 0;
                    kiv_rpc_batch_end(&proc);
                });
                EXPECT_FALSE(early) << "a reply was written before its batch ended";
            } else {
                answer();
            }
        }
        EXPECT_TRUE(read_patterned(peer.fd, kCount, 256 << 10));
        EXPECT_EQ(requests.load(), int(kCount));
        stop_server();
    }
}

// A peer that pipelines requests and never reads stays within its budget
// when the server answers on the loop with large replies: the server stops
// reading it, and every reply still arrives, in order, once it reads.
TEST_F(RpcTransport, RepliesOnTheLoopKeepAPipeliningPeerWithinItsBudget) {
    constexpr uint32_t kBody = 256 << 10, kCount = 1000;
    start_server();
    requests = 0;
    handler = [](kiv_rpc_sconn* c, kiv_msg* req) {
        kiv_rpc_reply(c, patterned_reply(req, kBody));
        kiv_free_msg(req);
    };
    RawClient peer(srv_addr, 16 << 10);
    ASSERT_GE(peer.fd, 0);
    const std::vector<uint8_t> all = RawClient::frames(kCount);
    ASSERT_TRUE(RawPeer::write_full(peer.fd, all.data(), all.size()));
    // 64 MiB queued, plus what the socket buffers took before that.
    const int budget = int((64u << 20) / (24 + kBody)) + 1;
    // Reaching the budget takes building 64 MiB of replies, which a
    // sanitizer build on a busy machine may pause in for any while: wait for
    // the budget itself, then for the reading to stop.
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (requests.load() < budget && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
    ASSERT_GE(requests.load(), budget);
    for (int seen = -1, i = 0; i < 40 && requests.load() != seen; i++) {
        seen = requests.load();
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_LE(requests.load(), budget + int((8u << 20) / kBody));
    EXPECT_TRUE(read_patterned(peer.fd, kCount, ~size_t(0)));
    EXPECT_EQ(requests.load(), int(kCount));
    stop_server();
}

// Two servers, each on a loop of its own (as the loops of one service),
// share one budget; their peers pipeline requests for large replies and
// read nothing. A connection that holds anything is not read while the
// shared total is over the limit, so the total never passes the limit by
// more than one request at its charge and its reply per connection: each
// connection's last frame was taken when the total was within the limit,
// or when it held nothing. The others wait, their requests unread in the
// socket, and once the peers read every reply arrives, whole and in order.
TEST_F(RpcTransport, BudgetSharedByTwoServersHoldsTheirTotalAndLosesNothing) {
    constexpr uint64_t kLimit = 1u << 20;
    constexpr uint32_t kBody = 64u << 10;
    constexpr int kPerServer = 3;
    // 6 x 200 x 64 KiB = 75 MiB of replies: the socket buffers (4 MiB at
    // most each way) take a small part, the budget has to hold the rest back.
    constexpr uint32_t kCount = 200;
    kiv_rpc_budget* budget = kiv_rpc_budget_create(kLimit);
    ASSERT_NE(budget, nullptr);
    struct Loops {
        kiv_process second{};
        bool started = false;
        kiv_rpc_server* srv[2] = {};
        ~Loops() {
            for (kiv_rpc_server* s : srv)
                if (s) kiv_rpc_server_close(s);
            if (started) {
                kiv_process_terminate(&second);
                kiv_process_wait(&second);
            }
            kiv_process_fini(&second);
        }
    } loops;
    ASSERT_EQ(kiv_process_init_(&loops.second), 0);
    ASSERT_EQ(kiv_process_start(&loops.second, "rpc-test-2"), 0);
    loops.started = true;
    static const kiv_rpc_server_ops sops = {
        [](kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
            ++*static_cast<std::atomic<int>*>(arg);
            kiv_rpc_reply(c, patterned_reply(req, kBody));
            kiv_free_msg(req);
        },
        nullptr,
        nullptr,
    };
    requests = 0;
    std::vector<std::unique_ptr<RawClient>> peers;
    kiv_process* on[2] = {&proc, &loops.second};
    for (int i = 0; i < 2; i++) {
        kiv_netaddr a{}, bound{};
        kiv_parse_netaddr_port("127.0.0.1", "0", &a);
        ASSERT_EQ(kiv_rpc_listen(on[i], &a, 1u << 20, &sops, &requests, &loops.srv[i]), 0);
        kiv_rpc_server_set_budget(loops.srv[i], budget);
        kiv_rpc_server_addr(loops.srv[i], &bound);
        for (int k = 0; k < kPerServer; k++) {
            peers.push_back(std::make_unique<RawClient>(bound, 16 << 10));
            ASSERT_GE(peers.back()->fd, 0);
        }
    }
    const std::vector<uint8_t> all = RawClient::frames(kCount);
    for (auto& p : peers) ASSERT_TRUE(RawPeer::write_full(p->fd, all.data(), all.size()));
    // The limit is reached and stays passed while nobody reads.
    ASSERT_TRUE(rttest::wait_until([&] { return kiv_rpc_budget_held(budget) > kLimit; }, 120s))
        << "held " << kiv_rpc_budget_held(budget) << " after " << requests.load() << " requests";

    std::vector<std::string> failures(peers.size());
    std::vector<std::thread> readers;
    for (size_t i = 0; i < peers.size(); i++)
        readers.emplace_back([&, i] {
            ::testing::AssertionResult r = read_patterned(peers[i]->fd, kCount, ~size_t(0));
            if (!r) failures[i] = r.message();
        });
    for (std::thread& t : readers) t.join();
    for (size_t i = 0; i < peers.size(); i++) EXPECT_EQ("", failures[i]) << "peer " << i;
    EXPECT_EQ(requests.load(), int(peers.size() * kCount));
    const uint64_t slack = uint64_t(peers.size()) * (24 + 24 + kBody);
    EXPECT_LE(kiv_rpc_budget_peak(budget), kLimit + slack);
    // A reply leaves the total once its write returns, which the peer may
    // outrun.
    EXPECT_TRUE(rttest::wait_until([&] { return kiv_rpc_budget_held(budget) == 0; }, 60s))
        << kiv_rpc_budget_held(budget);
    kiv_rpc_budget_put(budget);
}

// ---------------------------------------------------------------- posted calls

namespace {

// Holds the loop lock of `p` on a thread of its own until destroyed.
struct BusyLoop {
    std::atomic<bool> held{false}, release{false};
    std::thread t;
    explicit BusyLoop(kiv_process* p)
        : t([this, p] {
              kiv_move_to_coroutine(p);
              held = true;
              while (!release) std::this_thread::sleep_for(1ms);
              kiv_move_from_coroutine();
          }) {
        while (!held) std::this_thread::sleep_for(1ms);
    }
    ~BusyLoop() {
        release = true;
        t.join();
    }
};

struct PostedCall {
    kiv_job job{};
    kiv_rpc_endpoint* ep;
    kiv_msg* m;
    static void start(void* a) {
        auto* pc = static_cast<PostedCall*>(a);
        t_in_call = true;
        kiv_rpc_call(pc->ep, pc->m);
        t_in_call = false;
    }
    static void dropped(void*) { ADD_FAILURE() << "posted call dropped"; }
};

}  // namespace

// A posted call reports every outcome, failures known at once included,
// through one later completion on evloop, whether the loop was idle or busy
// when it was posted.
TEST_F(RpcTransport, PostedCallCompletesOnceWithItsOutcome) {
    start_server();
    struct Case {
        const char* name;
        int target;  // 0 server, 1 no address, 2 closed port
        uint32_t error;
    };
    const Case cases[] = {{"answered", 0, 0}, {"no address", 1, KIV_E_NOTCONN}, {"refused", 2, KIV_E_CONNFAIL}};
    params.connect_retries = 0;
    int total = 0;
    for (const Case& c : cases) {
        for (bool busy : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (busy ? ", busy loop" : ", idle loop"));
            kiv_netaddr dead = closed_port();
            kiv_rpc_endpoint* ep = c.target == 1 ? kiv_rpc_create(&eng, &ops, &params)
                                                 : make_ep(c.target == 0 ? &srv_addr : &dead);
            PostedCall pc{{}, ep, make_req(64, 0x33)};
            {
                std::unique_ptr<BusyLoop> hold;
                if (busy) hold = std::make_unique<BusyLoop>(&proc);
                ASSERT_EQ(0, kiv_post_in_job(&proc, &pc.job, PostedCall::start, PostedCall::dropped, &pc));
            }
            ASSERT_TRUE(rec.wait_total(++total));
            Outcome o = rec.get(pc.m);
            EXPECT_EQ(o.count, 1);
            EXPECT_EQ(o.error, c.error);
            EXPECT_EQ(o.has_reply, c.error == 0);
            if (c.error == 0) {
                EXPECT_EQ(o.reply.size(), 64u);
                EXPECT_EQ(o.reply.back(), 0x33);
            }
            EXPECT_TRUE(o.on_evloop);
            EXPECT_FALSE(o.inline_done);
            kiv_rpc_close(ep);
            {
                std::lock_guard<std::mutex> g(rec.mu);  // its address may come back
                rec.out.erase(pc.m);
            }
            kiv_free_msg(pc.m);
        }
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(rec.count_total(), total);  // nothing completed twice
}

// Many threads × many posted calls on one endpoint, each waited for on a
// waiter: every call completes exactly once, with its own reply.
TEST_F(RpcTransport, ManyThreadsPostedCallsEachCompleteOnce) {
    start_server();
    kiv_rpc_endpoint* ep = make_ep();
    constexpr int kThreads = 32, kCalls = 200;
    struct Caller {
        kiv_job job{};
        kiv_rpc_endpoint* ep = nullptr;
        kiv_msg* m = nullptr;
        kiv_waiter done{};
        std::atomic<int> completions{0};
        static void start(void* a) {
            auto* c = static_cast<Caller*>(a);
            kiv_rpc_call(c->ep, c->m);
        }
        static void on_done(kiv_msg* m) {
            auto* c = static_cast<Caller*>(m->priv);
            c->completions++;
            kiv_waiter_signal(&c->done);
        }
        static void dropped(void*) { ADD_FAILURE() << "posted call dropped"; }
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            Caller c;
            c.ep = ep;
            for (int i = 0; i < kCalls; i++) {
                const uint8_t fill = uint8_t(t * 7 + i);
                c.m = make_req(128, fill);
                c.m->done = Caller::on_done;
                c.m->priv = &c;
                kiv_waiter_init(&c.done);
                c.completions = 0;
                ASSERT_EQ(0, kiv_post_in_job(&proc, &c.job, Caller::start, Caller::dropped, &c));
                kiv_waiter_wait(&c.done);
                const bool ok = c.m->error == 0 && c.m->reply && c.m->reply->kept_len == 128 &&
                                c.m->reply->buf[127] == fill;
                kiv_free_msg(c.m);
                std::this_thread::yield();  // a second completion would show now
                if (!ok || c.completions.load() != 1) wrong++;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, wrong.load());
    kiv_rpc_close(ep);
}

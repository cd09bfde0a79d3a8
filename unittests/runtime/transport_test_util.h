// The RPC transport's tests share these: a recorder of completions, a log
// capture, raw TCP peers that stop where a test needs them to, and a fixture
// that runs the client side against the runtime's own server half.
#pragma once

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

namespace rttest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kReqType = 0x1000;

// Set on evloop around runtime calls made from a job: a completion seen
// while it is set would have run inside the call.
inline thread_local bool t_in_call = false;

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

    bool wait_total(int n, std::chrono::milliseconds limit = kHangGuard) {
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

    // The connect and reply time-outs lie far beyond the hang guard: a slow
    // connect or reply on a loaded machine is not failed for them, and a
    // call that ignored a shorter time-out of its own, or a refusal that did
    // not end its attempt at once, fails its test's wait instead.
    kiv_rpc_params params{24, 1u << 20, 600000, 50, 600000, 1};
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

    inline static RpcTransport* current = nullptr;

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
        return wait_until([&] { return parked_count() >= n; });
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

inline kiv_netaddr closed_port() {
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
inline std::map<kiv_msg*, Bulk*> g_bulk;  // touched on evloop (and before the call)
inline std::mutex g_bulk_mu;
inline uint8_t g_zeros[512];

inline void* bulk_chunk(kiv_msg* m, uint64_t off, uint32_t* len) {
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

inline void bind_bulk(kiv_msg* m, Bulk* b) {
    std::lock_guard<std::mutex> g(g_bulk_mu);
    g_bulk[m] = b;
    m->get_chunk = bulk_chunk;
}

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

// A reply to a 24-byte request whose body is `body` bytes of its xid's low
// byte.
inline kiv_msg* patterned_reply(const kiv_msg* req, uint32_t body) {
    kiv_msg* r = kiv_rpc_alloc_reply(req, 24 + body);
    memset(r->buf + 24, req->buf[8], body);
    return r;
}

// Reads `n` reply frames slowly (a pause after every `pause_every` bytes);
// true when they are xids 0..n-1 in order, each body the pattern of
// patterned_reply.
inline ::testing::AssertionResult read_patterned(int fd, uint32_t n, size_t pause_every) {
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

}  // namespace rttest

// A listener that hands its accepted sockets to servers of other processes,
// and adoption of a socket by a server that listens nowhere: every
// connection is served by the loop it went to, its replies in order; a
// socket that cannot be served is closed, never leaked or half served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kiv/rpc.h"
#include "kiv/rpc_server.h"
#include "runtime_test_util.h"

namespace {

using rttest::le32;
using rttest::put32;

constexpr uint32_t kType = 0x2000;

struct Loop {
    kiv_process proc{};
    kiv_rpc_server* srv = nullptr;
};

// What the servers saw: per connection id, the process that served each
// request and the request indexes in arrival order.
struct Seen {
    std::mutex mu;
    std::map<uint64_t, std::vector<uint32_t>> order;
    std::map<uint64_t, const kiv_process*> served_by;
    bool mixed = false;  // one connection served by two processes
};

struct Group {
    std::vector<Loop> loops;
    Seen seen;
    std::atomic<uint32_t> next{0};
    std::atomic<int> closes{0};
};

void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
    auto* g = static_cast<Group*>(arg);
    {
        std::lock_guard<std::mutex> lk(g->seen.mu);
        uint64_t id = kiv_rpc_sconn_id(c);
        const kiv_process* p = __kiv_thread_tls.process;
        auto [it, fresh] = g->seen.served_by.emplace(id, p);
        if (!fresh && it->second != p) g->seen.mixed = true;
        g->seen.order[id].push_back(le32(req->buf + 8));
    }
    kiv_msg* r = kiv_rpc_alloc_reply(req, 24);
    kiv_rpc_reply(c, r);
    kiv_free_msg(req);
}

void on_close(kiv_rpc_sconn*, void* arg) { static_cast<Group*>(arg)->closes++; }

const kiv_rpc_server_ops kOps = {on_request, nullptr, on_close};

// Round-robin over every loop, the listener's own first.
bool spread(int fd, void* arg) {
    auto* g = static_cast<Group*>(arg);
    size_t k = g->next.fetch_add(1) % g->loops.size();
    if (k == 0) return false;
    kiv_rpc_server_adopt(g->loops[k].srv, fd);
    return true;
}

int connect_to(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends `n` frames (xid = index) and reads the replies: their xids in
// order, stopping early if the server closes.
std::vector<uint32_t> round_trip(int fd, uint32_t n) {
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < n; i++) {
        uint8_t h[24] = {};
        put32(h, 24);
        put32(h + 4, kType);
        put32(h + 8, i);
        out.insert(out.end(), h, h + 24);
    }
    std::vector<uint32_t> got;
    if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) return got;
    uint8_t h[24];
    size_t have = 0;
    while (got.size() < n) {
        if (!rttest::wait_readable(fd)) break;
        ssize_t r = read(fd, h + have, sizeof h - have);
        if (r <= 0) break;
        have += size_t(r);
        if (have == sizeof h) {
            got.push_back(le32(h + 8));
            have = 0;
        }
    }
    return got;
}

// True when the server closed `fd` without answering a frame.
bool closed_unanswered(int fd) { return round_trip(fd, 1).empty(); }

class ServerAdopt : public ::testing::Test {
protected:
    Group g;

    void start(size_t n) {
        g.loops.resize(n);
        for (size_t i = 0; i < n; i++) {
            ASSERT_EQ(0, kiv_process_init_(&g.loops[i].proc));
            ASSERT_EQ(0, kiv_process_start(&g.loops[i].proc, ("adopt-" + std::to_string(i)).c_str()));
        }
        kiv_netaddr a{};
        kiv_parse_netaddr_port("127.0.0.1", "0", &a);
        ASSERT_EQ(0, kiv_rpc_listen(&g.loops[0].proc, &a, 1 << 16, &kOps, &g, &g.loops[0].srv));
        for (size_t i = 1; i < n; i++)
            ASSERT_EQ(0, kiv_rpc_server_create(&g.loops[i].proc, 1 << 16, &kOps, &g, &g.loops[i].srv));
        kiv_rpc_server_set_hand_off(g.loops[0].srv, spread, &g);
    }
    uint16_t port() {
        kiv_netaddr a{};
        kiv_rpc_server_addr(g.loops[0].srv, &a);
        return a.port;
    }
    // Processes first: a server whose process is gone only frees itself.
    void TearDown() override {
        for (Loop& l : g.loops) kiv_process_terminate(&l.proc);
        for (Loop& l : g.loops) {
            kiv_process_wait(&l.proc);
            kiv_process_fini(&l.proc);
        }
        for (Loop& l : g.loops)
            if (l.srv) kiv_rpc_server_close(l.srv);
        g.loops.clear();
    }
};

}  // namespace

// Clients on several threads at once: the connections are spread evenly
// over the loops (round-robin at accept), each is served by one loop only,
// and every reply comes back in order.
TEST_F(ServerAdopt, AcceptedConnectionsSpreadEvenlyAndEachIsServedInOrder) {
    struct Case {
        size_t loops;
        int conns;
        uint32_t frames;
    };
    for (const Case k : {Case{1, 3, 50}, Case{4, 8, 200}, Case{3, 9, 1000}}) {
        SCOPED_TRACE(std::to_string(k.loops) + " loops");
        TearDown();
        g.seen.order.clear();
        g.seen.served_by.clear();
        g.next = 0;
        start(k.loops);
        // Connected one after another, so accept order is connect order.
        std::vector<int> fds;
        for (int i = 0; i < k.conns; i++) {
            fds.push_back(connect_to(port()));
            ASSERT_GE(fds.back(), 0);
            ASSERT_TRUE(rttest::wait_until([&] { return g.next.load() == uint32_t(i + 1); }));
        }
        std::vector<std::vector<uint32_t>> got(fds.size());
        std::vector<std::thread> th;
        for (size_t i = 0; i < fds.size(); i++) th.emplace_back([&, i] { got[i] = round_trip(fds[i], k.frames); });
        for (auto& t : th) t.join();
        std::vector<uint32_t> want(k.frames);
        for (uint32_t i = 0; i < k.frames; i++) want[i] = i;
        for (auto& v : got) EXPECT_EQ(want, v);
        std::lock_guard<std::mutex> lk(g.seen.mu);
        EXPECT_FALSE(g.seen.mixed);
        std::map<const kiv_process*, int> per_loop;
        for (auto& [id, p] : g.seen.served_by) per_loop[p]++;
        for (Loop& l : g.loops) EXPECT_EQ(k.conns / int(k.loops), per_loop[&l.proc]);
        for (auto& [id, v] : g.seen.order) EXPECT_EQ(want, v) << "connection " << id;
        for (int fd : fds) close(fd);
    }
}

// A socket that arrives at a closed server, or is adopted after the
// process ended, is closed unserved; a bad descriptor is refused.
TEST_F(ServerAdopt, SocketsThatCannotBeServedAreClosed) {
    start(3);
    struct Case {
        const char* what;
        int want_rc;
    };
    const Case cases[] = {{"closed server", 0}, {"ended process", -ESHUTDOWN}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        int sv[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
        Loop& l = k.want_rc == 0 ? g.loops[1] : g.loops[2];
        if (k.want_rc == 0) {
            // Posted from this thread, closed before or after its loop took
            // it up: either way the peer sees the close, and the adoption's
            // hold on the closed server is let go (the leak check sees it).
            ASSERT_EQ(0, kiv_rpc_server_adopt(l.srv, sv[0]));
            kiv_rpc_server_close(l.srv);
            l.srv = nullptr;
        } else {
            kiv_process_terminate(&l.proc);
            EXPECT_EQ(k.want_rc, kiv_rpc_server_adopt(l.srv, sv[0]));
        }
        EXPECT_TRUE(closed_unanswered(sv[1]));
        close(sv[1]);
    }
    EXPECT_EQ(-EBADF, kiv_rpc_server_adopt(g.loops[0].srv, -1));
}

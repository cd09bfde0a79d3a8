// The RPC server's budgets: a peer that pipelines requests and reads
// nothing is held to what it may have in flight, alone or with a budget
// shared by many connections and loops, and loses nothing once it reads.

#include "transport_test_util.h"

using namespace rttest;

// A peer that pipelines requests and never reads its replies is read only
// while what it has in flight stays within the budget: by count, or by the
// per-request charge of a server whose replies are large. With every frame
// already in the socket, the server reads until it holds its limit (or all
// that is left), and no further until the requests it holds are freed.
TEST_F(RpcTransport, ServerStopsReadingAPeerOverItsBudget) {
    struct Case {
        uint32_t charge;
        size_t limit;  // most requests the server may hold at once
        uint32_t total;
    };
    const Case cases[] = {{0, 1024, 3000}, {4u << 20, (64u << 20) / ((4u << 20) + KIV_RPC_MSG_OVERHEAD) + 1, 300}};
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
        {
            // All of it is in the socket before the server's first read, so
            // a server that read past its limit would do so in that read.
            rttest::LoopHolder hold(&proc);
            ASSERT_TRUE(RawPeer::write_full(peer.fd, all.data(), all.size()));
        }
        size_t taken = 0, most = 0;
        while (taken < total) {
            const size_t expect = std::min<size_t>(k.limit, total - taken);
            ASSERT_TRUE(wait_parked(expect)) << parked_count() << " held after " << taken << " taken";
            // Under the loop lock the server takes no frame meanwhile: what
            // is taken is all it held.
            kiv_loop_guard g(&proc);
            std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> held = take_parked();
            most = std::max(most, held.size());
            taken += held.size();
            for (auto& [c, req] : held) {
                kiv_free_msg(req);
                kiv_rpc_sconn_unref(c);
            }
        }
        EXPECT_EQ(requests.load(), int(total));
        EXPECT_LE(most, k.limit);
        stop_server();
    }
}

// Peers that each send one request and read nothing: past a shared
// budget's limit a connection that holds nothing is read only within the
// budget's slack, not one frame per connection, so a hundred of them hold
// no more than a few. Each peer ends its sending after its request: the
// server sees every connection end, read or dropped unread, and with
// nothing freed meanwhile, what it holds then is the most it took. Once the
// requests are freed, a reader that waited is served.
TEST_F(RpcTransport, SharedBudgetTakesFramesOfIdleConnectionsOnlyWithinItsSlack) {
    constexpr uint64_t kLimit = 1u << 20;
    constexpr uint64_t kSlack = kLimit / 8;
    constexpr uint32_t kCharge = 64u << 10;
    constexpr int kPeers = 100;  // 6.25 MiB, one request each
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
    const std::vector<uint8_t> one = RawClient::frames(1);
    std::vector<std::unique_ptr<RawClient>> peers;
    for (int i = 0; i < kPeers; i++) {
        peers.push_back(std::make_unique<RawClient>(srv_addr));
        ASSERT_GE(peers.back()->fd, 0);
        ASSERT_TRUE(RawPeer::write_full(peers.back()->fd, one.data(), one.size()));
        ASSERT_EQ(0, shutdown(peers.back()->fd, SHUT_WR));
    }
    ASSERT_TRUE(rttest::wait_until([&] { return closes.load() == kPeers; }, std::chrono::seconds(120)))
        << closes.load() << " of " << kPeers << " connections ended";
    // A frame is taken while the total is within limit and slack, and
    // adds one charge.
    const size_t most = size_t((kLimit + kSlack) / kCharge) + 1;
    EXPECT_LE(parked_count(), most);
    EXPECT_GE(parked_count(), size_t(kLimit / kCharge));
    EXPECT_LE(kiv_rpc_budget_peak(budget), kLimit + kSlack + kCharge);

    RawClient reader(srv_addr);
    ASSERT_GE(reader.fd, 0);
    timeval tv{60, 0};
    setsockopt(reader.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    uint8_t xid[16] = {};
    put32(xid, 7);
    std::vector<uint8_t> f = RawPeer::header(24, kEchoType, xid);
    ASSERT_TRUE(RawPeer::write_full(reader.fd, f.data(), f.size()));
    const std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> taken = take_parked();
    for (auto& [c, req] : taken) {
        kiv_free_msg(req);
        kiv_rpc_sconn_unref(c);
    }
    uint8_t h[24];
    ASSERT_TRUE(RawPeer::read_full(reader.fd, h, sizeof h));
    EXPECT_EQ(7u, le32(h + 8));
    // The peers' connections went with them: nothing of theirs is read now.
    EXPECT_EQ(int(taken.size()) + 1, requests.load());
    kiv_rpc_budget_put(budget);
    stop_server();
}

// Two servers, each on a loop of its own (as the loops of one service),
// share one budget; their peers pipeline requests for large replies and
// read nothing. A connection that holds anything is not read while the
// shared total is over the limit, one that holds nothing only within the
// slack past it, so the total never passes limit and slack by more than
// one request and its reply per loop. The others wait, their requests unread in the
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
    // The limit is reached while nobody reads. It need not stay passed: the
    // kernel's send buffers, which grow as they fill, take some of what it
    // held, and the connections it paused wait for three quarters of it.
    ASSERT_TRUE(rttest::wait_until([&] { return kiv_rpc_budget_peak(budget) > kLimit; }, 120s))
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
    EXPECT_LE(kiv_rpc_budget_peak(budget), kLimit + kLimit / 8 + 2 * (24 + 24 + kBody));
    // A reply leaves the total once its write returns, which the peer may
    // outrun.
    EXPECT_TRUE(rttest::wait_until([&] { return kiv_rpc_budget_held(budget) == 0; }, 60s))
        << kiv_rpc_budget_held(budget);
    kiv_rpc_budget_put(budget);
}

namespace {

constexpr uint32_t kEcho = kReqType + 2;

// One echo round trip on `c`; false if no answer came within the hang guard.
bool echo_round_trip(RawClient& c, uint32_t xid_no) {
    timeval tv{60, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    uint8_t xid[16] = {};
    put32(xid, xid_no);
    std::vector<uint8_t> f = RawPeer::header(24, kEcho, xid);
    uint8_t h[24];
    return RawPeer::write_full(c.fd, f.data(), f.size()) && RawPeer::read_full(c.fd, h, sizeof h) &&
           le32(h + 8) == xid_no;
}

}  // namespace

// Peers that hold what they asked for and never let go fill the limit, and
// peers that hold nothing yet fill the slack; a peer that has read a reply
// and holds nothing is still served, from the reserve, while all of them
// stay connected (the stall time-out lies far beyond the test).
TEST_F(RpcTransport, AReaderIsServedBesideAnyNumberOfPeersThatHoldTheBudget) {
    constexpr uint64_t kLimit = 1u << 20;
    constexpr uint32_t kCharge = 64u << 10;
    constexpr int kHogs = 40;  // 40 x 8 x 64 KiB: sixteen times the limit
    start_server();
    kiv_rpc_budget* budget = kiv_rpc_budget_create(kLimit);
    ASSERT_NE(budget, nullptr);
    kiv_rpc_budget_set_stall_timeout(budget, 600000);
    kiv_rpc_server_set_budget(srv, budget);
    kiv_rpc_server_set_request_charge(srv, kCharge);
    handler = [this](kiv_rpc_sconn* c, kiv_msg* req) {
        if (le32(req->buf + 4) == kEcho)
            echo(c, req);
        else
            park(c, req);
    };
    RawClient reader(srv_addr);
    ASSERT_GE(reader.fd, 0);
    ASSERT_TRUE(echo_round_trip(reader, 1));

    const std::vector<uint8_t> eight = RawClient::frames(8);
    std::vector<std::unique_ptr<RawClient>> hogs;
    for (int i = 0; i < kHogs; i++) {
        hogs.push_back(std::make_unique<RawClient>(srv_addr));
        ASSERT_GE(hogs.back()->fd, 0);
        ASSERT_TRUE(RawPeer::write_full(hogs.back()->fd, eight.data(), eight.size()));
    }
    // Frames of peers that hold nothing are taken until the slack is full:
    // from then on nobody who has not read a reply brings one.
    ASSERT_TRUE(wait_until([&] { return kiv_rpc_budget_held(budget) > kLimit + kLimit / 8; }))
        << kiv_rpc_budget_held(budget);
    ASSERT_TRUE(echo_round_trip(reader, 2));
    kiv_rpc_budget_stats st;
    kiv_rpc_budget_get_stats(budget, &st);
    EXPECT_EQ(0u, st.stall_closes);
    EXPECT_EQ(uint32_t(kHogs) + 1, st.conns);
    EXPECT_EQ(0, closes.load());
    EXPECT_LE(st.peak, kiv_rpc_budget_bound(budget, 1, kCharge));
    hogs.clear();
    stop_server();
    kiv_rpc_budget_put(budget);
}

// A peer whose replies do not move is closed once they have not moved for
// the stall time-out while another connection waits for room, and not
// while nobody waits; the waiting connection is then served.
TEST_F(RpcTransport, APeerWhoseRepliesDoNotMoveIsClosedOnlyWhileOthersWait) {
    constexpr uint64_t kLimit = 1u << 20;
    constexpr uint32_t kStallMs = 300;
    // Past what a peer's socket buffers take on loopback (4 MiB each way at
    // most), so that most of the reply stays queued at the server.
    constexpr uint32_t kBody = 8u << 20;
    start_server(16u << 20);
    kiv_rpc_budget* budget = kiv_rpc_budget_create(kLimit);
    ASSERT_NE(budget, nullptr);
    kiv_rpc_budget_set_stall_timeout(budget, kStallMs);
    kiv_rpc_server_set_budget(srv, budget);
    handler = [](kiv_rpc_sconn* c, kiv_msg* req) {
        if (le32(req->buf + 4) == kEcho) {
            echo(c, req);
            return;
        }
        kiv_rpc_reply(c, patterned_reply(req, kBody));
        kiv_free_msg(req);
    };
    RawClient stuck(srv_addr, 16 << 10);
    ASSERT_GE(stuck.fd, 0);
    const std::vector<uint8_t> one = RawClient::frames(1);
    ASSERT_TRUE(RawPeer::write_full(stuck.fd, one.data(), one.size()));
    ASSERT_TRUE(wait_until([&] { return kiv_rpc_budget_held(budget) > kLimit + kLimit / 4; }));
    // Nobody waits: the stuck peer outlives its stall time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * kStallMs));
    kiv_rpc_budget_stats st;
    kiv_rpc_budget_get_stats(budget, &st);
    EXPECT_EQ(0u, st.stall_closes);
    EXPECT_EQ(0, closes.load());

    // Even a reader finds no room past the reserve: it waits, and the
    // stuck peer goes for it.
    RawClient waiter(srv_addr);
    ASSERT_GE(waiter.fd, 0);
    ASSERT_TRUE(echo_round_trip(waiter, 3));
    kiv_rpc_budget_get_stats(budget, &st);
    EXPECT_EQ(1u, st.stall_closes);
    EXPECT_EQ(1, closes.load());
    std::vector<uint32_t> got = stuck.replies_until_closed();
    EXPECT_TRUE(got.empty()) << got.size() << " whole replies reached the stuck peer";
    stop_server();
    kiv_rpc_budget_put(budget);
}

// A peer that pipelines small requests gets its turn on the loop like any
// other connection, a few hundred frames at a time: with ten thousand of
// its frames in the socket before the server looks, a request that another
// connection sent behind them is taken long before the last of them.
TEST_F(RpcTransport, APipeliningPeerTakesTurnsWithTheOtherConnectionsOfItsLoop) {
    constexpr uint32_t kFrames = 10000;
    start_server();
    std::mutex mu;
    std::vector<uint32_t> order;  // xids as taken; the other connection's is ~0
    handler = [&](kiv_rpc_sconn* c, kiv_msg* req) {
        {
            std::lock_guard<std::mutex> g(mu);
            order.push_back(le32(req->buf + 4) == kEcho ? ~0u : le32(req->buf + 8));
        }
        echo(c, req);
    };
    RawClient hog(srv_addr), other(srv_addr);
    ASSERT_GE(hog.fd, 0);
    ASSERT_GE(other.fd, 0);
    // Both connections are accepted before the frames come.
    ASSERT_TRUE(wait_until([&] { return accepts.load() == 2; }));
    {
        rttest::LoopHolder hold(&proc);
        const std::vector<uint8_t> all = RawClient::frames(kFrames);
        // 240 KB: the socket buffers take it all while nobody reads.
        ASSERT_TRUE(RawPeer::write_full(hog.fd, all.data(), all.size()));
        uint8_t xid[16] = {};
        std::vector<uint8_t> f = RawPeer::header(24, kEcho, xid);
        ASSERT_TRUE(RawPeer::write_full(other.fd, f.data(), f.size()));
    }
    uint8_t h[24];
    ASSERT_TRUE(RawPeer::read_full(other.fd, h, sizeof h));
    ASSERT_TRUE(wait_until([&] { return requests.load() == int(kFrames) + 1; }));
    std::lock_guard<std::mutex> g(mu);
    size_t at = std::find(order.begin(), order.end(), ~0u) - order.begin();
    EXPECT_LT(at, size_t(kFrames) / 4) << "taken after " << at << " of the pipelining peer's frames";
    order.erase(order.begin() + long(at));
    for (uint32_t i = 0; i < kFrames; i++) ASSERT_EQ(i, order[i]) << "the peer's frames out of order";
}

// Readers that each keep a request in flight over a full shared budget are
// let in in turn. The server holds requests until the budget is past its
// limit and answers the oldest first, so a reader whose reply has just been
// written asks again long before the waiters look again: let in first, the
// same few would be served for ever. In turn, no request waits while more
// than about one of each other reader is taken.
TEST_F(RpcTransport, ReadersOverAFullSharedBudgetAreLetInInTurn) {
    constexpr uint64_t kLimit = 1u << 20;
    constexpr uint32_t kCharge = 64u << 10;
    constexpr int kReaders = 40;  // twice what the budget takes
    constexpr size_t kTakes = 30 * kReaders;
    start_server();
    kiv_rpc_budget* budget = kiv_rpc_budget_create(kLimit);
    kiv_rpc_server_set_budget(srv, budget);
    kiv_rpc_server_set_request_charge(srv, kCharge);
    // Requests taken, and how many of them were taken while each reader's
    // request waited, from when its thread sent it: a reader whose thread
    // the machine holds back asks later, not waits longer.
    size_t taken = 0, worst = 0;  // under smu
    std::atomic<size_t> sent_at[kReaders];
    handler = [&](kiv_rpc_sconn* c, kiv_msg* req) {
        if (le32(req->buf + 4) == kEcho) return echo(c, req);
        park(c, req);
        std::lock_guard<std::mutex> g(smu);
        worst = std::max(worst, taken++ - sent_at[le32(req->buf + 8)].load());
    };
    auto count = [&] {
        std::lock_guard<std::mutex> g(smu);
        return taken;
    };
    // Answers the oldest request held, when at least `n` are.
    auto answer_oldest = [&](size_t n) {
        kiv_loop_guard g(&proc);
        std::lock_guard<std::mutex> pg(smu);
        if (parked.size() < n) return false;
        auto [c, req] = parked.front();
        parked.erase(parked.begin());
        kiv_rpc_reply(c, kiv_rpc_alloc_reply(req, 24));
        kiv_free_msg(req);
        kiv_rpc_sconn_unref(c);
        return true;
    };
    std::vector<std::unique_ptr<RawClient>> readers;
    for (int i = 0; i < kReaders; i++) {
        readers.push_back(std::make_unique<RawClient>(srv_addr));
        ASSERT_TRUE(echo_round_trip(*readers.back(), uint32_t(i)));  // all wait for the readers' room
    }
    std::atomic<int> running{kReaders};
    std::vector<std::thread> clients;
    for (int i = 0; i < kReaders; i++)
        clients.emplace_back([&, i] {
            uint8_t xid[16] = {}, h[24];
            put32(xid, uint32_t(i));
            const std::vector<uint8_t> f = RawPeer::header(24, kReqType, xid);
            while ((sent_at[i] = count()) < kTakes && RawPeer::write_full(readers[i]->fd, f.data(), f.size()) &&
                   RawPeer::read_full(readers[i]->fd, h, sizeof h)) {
            }
            running--;
        });
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (count() < kTakes && std::chrono::steady_clock::now() < deadline)
        if (!answer_oldest(kLimit / kCharge)) std::this_thread::sleep_for(100us);
    while (running > 0) answer_oldest(1);  // the readers still asking end
    for (std::thread& t : clients) t.join();
    ASSERT_GE(count(), kTakes) << "the budget was not filled again within the hang guard";
    {
        std::lock_guard<std::mutex> g(smu);
        EXPECT_LE(worst, size_t(2 * kReaders)) << "a reader's request was passed over by " << worst << " others";
    }
    EXPECT_LE(kiv_rpc_budget_peak(budget), kiv_rpc_budget_bound(budget, 1, kCharge));
    readers.clear();
    stop_server();
    kiv_rpc_budget_put(budget);
}

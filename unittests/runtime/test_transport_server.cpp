// The RPC server's connections: half-sent and bad frames from a raw peer,
// and replies written to a peer that reads slowly.

#include "transport_test_util.h"

using namespace rttest;

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

// A drained connection still writes the replies of the requests it had
// taken, whichever thread answers them and in whatever order, reads
// nothing more (not even the frames read behind the one whose handler
// asked for the drain), and closes once those replies are out; with
// nothing in flight it closes at once.
TEST_F(RpcTransport, ADrainedConnectionAnswersWhatItTookThenCloses) {
    start_server();
    requests = 0;
    {
        SCOPED_TRACE("from on_request, with frames behind it in the same read");
        handler = [this](kiv_rpc_sconn* c, kiv_msg* req) {
            const bool second = le32(req->buf + 8) == 1;
            park(c, req);
            if (second) kiv_rpc_sconn_drain(c);
        };
        RawClient peer(srv_addr);
        ASSERT_GE(peer.fd, 0);
        const std::vector<uint8_t> bytes = RawClient::frames(4);
        ASSERT_TRUE(RawPeer::write_full(peer.fd, bytes.data(), bytes.size()));
        ASSERT_TRUE(wait_parked(2));
        std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> held = take_parked();
        ASSERT_EQ(held.size(), 2u);
        auto answer = [](std::pair<kiv_rpc_sconn*, kiv_msg*>& p) {
            kiv_rpc_reply(p.first, patterned_reply(p.second, 8));
            kiv_free_msg(p.second);
            kiv_rpc_sconn_unref(p.first);
        };
        // The later one first: the earlier one, still in flight, keeps the
        // connection open for its own reply.
        answer(held[1]);
        uint8_t h[24 + 8];
        ASSERT_TRUE(RawPeer::read_full(peer.fd, h, sizeof h));
        EXPECT_EQ(le32(h + 8), 1u);
        answer(held[0]);
        EXPECT_EQ(peer.replies_until_closed(), (std::vector<uint32_t>{0}));
        EXPECT_TRUE(wait_until([&] { return closes.load() == 1; }));
        EXPECT_EQ(requests.load(), 2);
    }
    {
        SCOPED_TRACE("from another thread, nothing in flight");
        std::atomic<kiv_rpc_sconn*> conn{nullptr};
        handler = [&conn](kiv_rpc_sconn* c, kiv_msg* req) {
            kiv_rpc_sconn_ref(c);
            conn = c;
            echo(c, req);
        };
        RawClient peer(srv_addr);
        ASSERT_GE(peer.fd, 0);
        const std::vector<uint8_t> bytes = RawClient::frames(1);
        ASSERT_TRUE(RawPeer::write_full(peer.fd, bytes.data(), bytes.size()));
        uint8_t h[24];
        ASSERT_TRUE(RawPeer::read_full(peer.fd, h, sizeof h));
        ASSERT_NE(conn.load(), nullptr);
        kiv_rpc_sconn_drain(conn);
        EXPECT_TRUE(peer.replies_until_closed().empty());
        EXPECT_TRUE(wait_until([&] { return closes.load() == 2; }));
        kiv_rpc_sconn_drain(conn);  // gone already: nothing to do
        kiv_rpc_sconn_unref(conn);
    }
    stop_server();
}

// A connection that ends by a drain or a drop with many requests pipelined
// behind the one that ended it still brings its peer every reply sent
// before, once and in order, and then the end of the stream. Closing with
// those requests unread would answer with a reset, which throws away what
// the socket has not yet delivered: the replies are large and the peer's
// receive buffer small, so most of them are still on the server's side.
TEST_F(RpcTransport, APeerReadsEveryReplyBeforeADrainOrDropThenTheEnd) {
    constexpr uint32_t kBefore = 64, kBody = 64 << 10, kBehind = 2000, kBehindLen = 4096;
    for (const bool drain : {true, false}) {
        SCOPED_TRACE(drain ? "drain" : "drop");
        start_server();
        handler = [drain](kiv_rpc_sconn* c, kiv_msg* req) {
            if (le32(req->buf + 8) < kBefore) {
                kiv_rpc_reply(c, patterned_reply(req, kBody));
                kiv_free_msg(req);
                return;
            }
            kiv_free_msg(req);
            if (drain)
                kiv_rpc_sconn_drain(c);
            else
                kiv_rpc_sconn_drop(c);
        };
        RawClient peer(srv_addr, 16 << 10);
        ASSERT_GE(peer.fd, 0);
        std::vector<uint8_t> bytes = RawClient::frames(kBefore + 1);
        for (uint32_t i = 0; i < kBehind; i++) {
            uint8_t xid[16] = {};
            put32(xid, kBefore + 1 + i);
            std::vector<uint8_t> f = RawPeer::header(kBehindLen, kReqType, xid);
            f.resize(kBehindLen, 0x5a);
            bytes.insert(bytes.end(), f.begin(), f.end());
        }
        PipelineEnd end = pipeline(peer.fd, bytes);
        uint32_t intact = 0;
        for (const std::vector<uint8_t>& f : end.frames) {
            bool same = f.size() == 24 + kBody && le32(f.data() + 8) == intact &&
                        std::all_of(f.begin() + 24, f.end(), [&](uint8_t b) { return b == uint8_t(intact); });
            if (!same) break;
            intact++;
        }
        EXPECT_EQ(kBefore, intact) << end.frames.size() << " replies came";
        EXPECT_EQ(kBefore, end.frames.size());
        EXPECT_EQ(0u, end.cut);
        EXPECT_EQ(0, end.error) << "not ended by an end of stream: " << strerror(end.error);
        EXPECT_TRUE(wait_until([&] { return closes.load() == 1; }));
        stop_server();
        closes = 0;
    }
}

// A dropped connection's socket lingers while its peer has replies to read,
// but not for ever: a peer that neither reads nor closes has it closed by
// the deadline, and what was still queued for it stops counting against
// the shared budget.
TEST_F(RpcTransport, ALingeringSocketWhosePeerNeitherReadsNorClosesIsClosedByItsDeadline) {
    start_server();
    kiv_rpc_budget* budget = kiv_rpc_budget_create(1ull << 30);
    kiv_rpc_server_set_budget(srv, budget);
    std::atomic<size_t> lingering{0};
    std::atomic<uint64_t> held{0};
    handler = [&](kiv_rpc_sconn* c, kiv_msg* req) {
        // Far more than the socket buffers hold while the peer reads nothing.
        kiv_rpc_reply(c, patterned_reply(req, 32 << 20));
        kiv_free_msg(req);
        kiv_rpc_sconn_drop(c);
        lingering = rpc_server_lingering(srv);
        held = kiv_rpc_budget_held(budget);
    };
    RawClient peer(srv_addr, 16 << 10);
    ASSERT_GE(peer.fd, 0);
    const std::vector<uint8_t> bytes = RawClient::frames(1);
    ASSERT_TRUE(RawPeer::write_full(peer.fd, bytes.data(), bytes.size()));
    ASSERT_TRUE(wait_until([&] { return closes.load() == 1; }));
    EXPECT_EQ(1u, lingering.load());
    EXPECT_GT(held.load(), 0u);
    EXPECT_TRUE(wait_until([&] { return rpc_server_lingering(srv) == 0; }));
    EXPECT_EQ(0u, kiv_rpc_budget_held(budget));
    stop_server();
    kiv_rpc_budget_put(budget);
}

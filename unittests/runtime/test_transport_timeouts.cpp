// RPC transport reply time-outs: how they are armed, what a late reply
// finds, and what a time-out in the middle of a reply's body leaves behind.

#include "transport_test_util.h"

using namespace rttest;

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

TEST_F(RpcTransport, TimeoutDuringBulkReceiveLeavesCallerBufferAlone) {
    RawPeer peer;
    peer.run([&](int fd) {
        uint8_t req[40];
        ASSERT_TRUE(RawPeer::read_full(fd, req, sizeof req));
        // Header plus the first 1000 body bytes, then a stall until the
        // time-out has been reported.
        std::vector<uint8_t> f = RawPeer::header(24 + 100000, kReqType + 1, req + 8);
        f.resize(24 + 100000, 0x31);
        ASSERT_TRUE(RawPeer::write_full(fd, f.data(), 24 + 1000));
        ASSERT_TRUE(rec.wait_total(1));
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
    // The rest of the frame comes before the next reply on the stream.
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

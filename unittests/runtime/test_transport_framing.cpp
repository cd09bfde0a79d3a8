// RPC transport frames: their bytes on the wire, replies matched to their
// requests by xid in any order, error frames, sizes past the limit, and
// bodies read and written through the caller's accessors.

#include "transport_test_util.h"

using namespace rttest;

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

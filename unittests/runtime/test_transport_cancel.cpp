// RPC transport requests ended before their reply: cancelled, their
// endpoint closed or reset, or their process terminated. Each completes once
// or, after terminate, never.

#include "transport_test_util.h"

using namespace rttest;

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
    EXPECT_TRUE(wait_until([&] { return closes.load() != closes_before; }));
    EXPECT_EQ(closes.load(), closes_before + 1);
    kiv_rpc_close(ep);
    EXPECT_EQ(ceng.nr_endpoints, 0u);
    kiv_rpc_engine_fini(&ceng);
}

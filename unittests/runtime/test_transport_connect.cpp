// RPC transport endpoints connecting: refusals and their retries, a missing
// address, bad parameters, and a server that goes away and comes back.

#include "transport_test_util.h"

using namespace rttest;

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

// The port the system picked stays taken across the close, so that no
// other process's socket lands on it before the server returns there.
TEST_F(RpcTransport, AServerClosedHoldingItsPortRefusesAndKeepsItUntilItListensAgain) {
    start_server();
    handler = [](kiv_rpc_sconn* c, kiv_msg* req) { echo(c, req); };
    kiv_netaddr at = srv_addr;
    int hold = kiv_rpc_server_close_holding(srv);
    srv = nullptr;
    ASSERT_GE(hold, 0);
    EXPECT_TRUE(port_taken(at.port));
    kiv_rpc_endpoint* ep = make_ep(&at);
    kiv_msg* down = make_req(40);
    kiv_rpc_call(ep, down);
    ASSERT_TRUE(rec.wait_total(1));
    EXPECT_EQ(rec.get(down).error, KIV_E_CONNFAIL);

    start_server(8u << 20, &at);
    close(hold);
    kiv_msg* up = make_req(40, 7);
    kiv_rpc_call(ep, up);
    ASSERT_TRUE(rec.wait_total(2));
    EXPECT_EQ(rec.get(up).error, 0u);
    kiv_rpc_close(ep);
    kiv_free_msg(down);
    kiv_free_msg(up);

    kiv_rpc_server* nowhere = nullptr;
    static const kiv_rpc_server_ops nops = {[](kiv_rpc_sconn*, kiv_msg* req, void*) { kiv_free_msg(req); }, nullptr,
                                            nullptr};
    ASSERT_EQ(kiv_rpc_server_create(&proc, 1024, &nops, nullptr, &nowhere), 0);
    EXPECT_EQ(kiv_rpc_server_close_holding(nowhere), -ENOTSOCK);
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

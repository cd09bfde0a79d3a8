// RPC calls posted to the loop from other threads: each completes once, on
// evloop, with its own outcome.

#include "transport_test_util.h"

using namespace rttest;

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

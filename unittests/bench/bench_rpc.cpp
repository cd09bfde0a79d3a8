// RPC round trips over loopback: plain threads start a call through
// kiv_call_in_job and sleep on their own condition variable until the
// completion wakes them, as the file-server client does. The echo server
// runs on the runtime's server half in a second process (its own evloop).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "kiv/rpc.h"
#include "kiv/rpc_server.h"

namespace {

constexpr uint32_t kType = 0x2000;

struct Env {
    kiv_process server{};
    kiv_process client{};
    kiv_rpc_server* srv = nullptr;
    kiv_rpc_engine eng{};
    kiv_rpc_endpoint* ep = nullptr;
};

void echo(kiv_rpc_sconn* c, kiv_msg* req, void*) {
    kiv_msg* r = kiv_rpc_alloc_reply(req, req->total_len);
    memcpy(r->buf + 24, req->buf + 24, req->total_len - 24);
    kiv_rpc_reply(c, r);
    kiv_free_msg(req);
}

// One client endpoint shared by every caller, like a pooled connection.
Env* env() {
    static Env* e = [] {
        auto* v = new Env;
        if (kiv_process_init_(&v->server) || kiv_process_start(&v->server, "bench-server") ||
            kiv_process_init_(&v->client) || kiv_process_start(&v->client, "bench-client"))
            abort();
        static const kiv_rpc_server_ops ops = {echo, nullptr, nullptr};
        kiv_netaddr a{};
        kiv_parse_netaddr_port("127.0.0.1", "0", &a);
        if (kiv_rpc_listen(&v->server, &a, 8u << 20, &ops, nullptr, &v->srv)) abort();
        kiv_rpc_server_addr(v->srv, &a);
        if (kiv_rpc_engine_init(&v->client, &v->eng, KIV_RPC_ENGINE_CLIENT)) abort();
        static const kiv_rpc_params params = {24, 8u << 20, 5000, 50, 60000, 1};
        v->ep = kiv_rpc_create(&v->eng, nullptr, &params);
        kiv_rpc_set_address(v->ep, &a);
        return v;
    }();
    return e;
}

struct Caller {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    kiv_msg* m = nullptr;
};

void on_done(kiv_msg* m) {
    auto* c = static_cast<Caller*>(m->priv);
    std::lock_guard<std::mutex> g(c->mu);
    c->done = true;
    c->cv.notify_one();
}

int start_call(void* a) {
    auto* c = static_cast<Caller*>(a);
    kiv_rpc_get_new_xid(&env()->eng, c->m->buf + 8);
    return kiv_rpc_call(env()->ep, c->m);
}

void BM_RoundTrip(benchmark::State& state) {
    Env* e = env();
    const uint32_t len = 24 + uint32_t(state.range(0));
    Caller c;
    c.m = kiv_rpc_alloc_output_msg(len);
    memcpy(c.m->buf, &len, 4);
    memcpy(c.m->buf + 4, &kType, 4);
    memset(c.m->buf + 24, 0x5a, len - 24);
    c.m->done = on_done;
    c.m->priv = &c;
    for (auto _ : state) {
        c.done = false;
        kiv_call_in_job(&e->client, start_call, &c);
        std::unique_lock<std::mutex> g(c.mu);
        c.cv.wait(g, [&] { return c.done; });
        if (c.m->error) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * int64_t(len) * 2);
    kiv_free_msg(c.m);
}
BENCHMARK(BM_RoundTrip)->Arg(64)->Arg(4096)->UseRealTime();
BENCHMARK(BM_RoundTrip)->Arg(64)->Arg(4096)->Threads(100)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

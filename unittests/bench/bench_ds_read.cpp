// Random 4 KiB reads through the DS client against one data server on
// loopback, next to the same exchange made as a plain runtime RPC (a
// 512-byte request, a 4208-byte reply), so that the ratio of the two shows
// what the client itself costs: locator lookup, pooled connection, request
// building, the job hand-off, the reply-allocation hook that lands the data
// in the caller's buffer, and the wake-up.
//
// The server answers every read at once with 112 + count bytes, as a DS
// does, from its own process (its own event loop).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_ds_client.h"
#include "client/tarn_ds_client_ops.h"
#include "client/tarn_wire.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"

namespace {

constexpr uint32_t kBlock = 4096;
constexpr uint64_t kFileBlocks = (4ull << 30) / kBlock; // a 4 GiB file
constexpr uint64_t kClientId = 0xbe7c4;
constexpr uint64_t kHost = 0xd5;

void serve_read(kiv_rpc_sconn* c, kiv_msg* req, void*) {
    const uint32_t count = req->kept_len >= 160 ? tarn_wire_get_u32(req->buf, TARN_DS_READ_COUNT) : 0;
    kiv_msg* r = kiv_rpc_alloc_reply(req, uint32_t(TARN_DS_READ_REP_DATA) + count);
    tarn_wire_put_u32(r->buf, TARN_DS_READ_REP_COUNT, count);
    kiv_rpc_reply(c, r);
    kiv_free_msg(req);
}

struct Env {
    kiv_process server{};
    kiv_process client{};
    kiv_rpc_server* srv = nullptr;
    uint16_t port = 0;
    // The DS client's side.
    tarn_conn_factory* factory = nullptr;
    tarn_conn_pool* pool = nullptr;
    ds_client* ds = nullptr;
    // The plain RPC side: one endpoint, as one pooled connection.
    kiv_rpc_engine eng{};
    kiv_rpc_endpoint* ep = nullptr;
};

Env* env();

// Every virtual disk lives on the one server.
int find_host(void*, uint16_t, tarn_host_addr* out, uint64_t* token) {
    *out = tarn_host_addr{kHost, 0x7f000001, env()->port};
    *token = 0;
    return 0;
}
void no_report(void*, uint16_t, uint64_t) {}

int epoch_one(void*, uint32_t* out) {
    *out = 1;
    return 0;
}

Env* env() {
    static Env* e = [] {
        auto* v = new Env;
        if (kiv_process_init_(&v->server) || kiv_process_start(&v->server, "bench-ds") ||
            kiv_process_init_(&v->client) || kiv_process_start(&v->client, "evloop"))
            abort();
        static const kiv_rpc_server_ops ops = {serve_read, nullptr, nullptr};
        kiv_netaddr a{};
        kiv_parse_netaddr_port("127.0.0.1", "0", &a);
        if (kiv_rpc_listen(&v->server, &a, TARN_DS_MAX_MSG, &ops, nullptr, &v->srv)) abort();
        kiv_rpc_server_addr(v->srv, &a);
        v->port = a.port;

        if (tarn_conn_factory_create(kClientId, &v->client, &v->factory) ||
            tarn_conn_pool_create(1, v->factory, tarn_conn_create, &v->pool))
            abort();
        const ds_locator_callbacks cb{nullptr, find_host, no_report, no_report};
        if (ds_client_create(v->pool, kClientId, epoch_one, nullptr, &v->client, &v->ds, cb)) abort();

        if (kiv_rpc_engine_init(&v->client, &v->eng, KIV_RPC_ENGINE_CLIENT)) abort();
        static const kiv_rpc_params params = {24, TARN_DS_MAX_MSG, 5000, 50, 60000, 1};
        v->ep = kiv_rpc_create(&v->eng, nullptr, &params);
        kiv_rpc_set_address(v->ep, &a);
        return v;
    }();
    return e;
}

uint64_t random_offset(std::mt19937_64& rng) { return (rng() % kFileBlocks) * kBlock; }

// ---------------------------------------------------------------- through the DS client
void BM_DsClientRead(benchmark::State& state) {
    Env* e = env();
    std::mt19937_64 rng(0x5eed + uint64_t(state.thread_index()));
    std::vector<uint8_t> buf(kBlock);
    uint8_t creds[TARN_WIRE_CREDS_BYTES] = {};
    for (auto _ : state) {
        ds_call call;
        ds_call_init(&call, e->ds, 15000, ds_target_by_vdisk(uint16_t(rng() % 6)));
        uint32_t count = 0;
        uint8_t eof = 0;
        ds_read_async(&call, 0x10, 0x99, creds, random_offset(rng), buf.data(), kBlock, &count, &eof, nullptr);
        ds_call_wait_for_result(&call);
        const bool ok = ds_call_get_state(&call) == CALL_DONE && count == kBlock;
        ds_call_fini(&call);
        if (!ok) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * int64_t(kBlock));
}
BENCHMARK(BM_DsClientRead)->Threads(1)->UseRealTime();
BENCHMARK(BM_DsClientRead)->Threads(100)->UseRealTime();

// ---------------------------------------------------------------- plain RPC
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
    kiv_rpc_get_new_xid(&env()->eng, c->m->buf + TARN_MSG_XID);
    return kiv_rpc_call(env()->ep, c->m);
}

void BM_PlainRpcRead(benchmark::State& state) {
    Env* e = env();
    std::mt19937_64 rng(0x5eed + uint64_t(state.thread_index()));
    Caller c;
    c.m = kiv_rpc_alloc_output_msg(512);
    tarn_wire_put_u32(c.m->buf, TARN_MSG_LENGTH, 512);
    tarn_wire_put_u32(c.m->buf, TARN_MSG_TYPE, TARN_DS_READ);
    tarn_wire_put_u32(c.m->buf, TARN_DS_READ_COUNT, kBlock);
    c.m->done = on_done;
    c.m->priv = &c;
    for (auto _ : state) {
        tarn_wire_put_u64(c.m->buf, TARN_DS_READ_OFFSET, random_offset(rng));
        c.done = false;
        kiv_call_in_job(&e->client, start_call, &c);
        std::unique_lock<std::mutex> g(c.mu);
        c.cv.wait(g, [&] { return c.done; });
        if (c.m->error != 0 || c.m->reply == nullptr || c.m->reply->total_len != TARN_DS_READ_REP_DATA + kBlock) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * int64_t(kBlock));
    kiv_free_msg(c.m);
}
BENCHMARK(BM_PlainRpcRead)->Threads(1)->UseRealTime();
BENCHMARK(BM_PlainRpcRead)->Threads(100)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

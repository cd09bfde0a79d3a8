// Connection factory and pooled connections.
#include "client/tarn_conn.h"

#include <stdio.h>

#include "client/tarn_wire_blocks.h"
#include "kiv/auth.h"
#include "kiv/base.h"
#include "kiv/loop.h"

namespace {

const char* const k_tag = "tarn_conn";

// The servers expect this cluster identity from every Tarn client.
constexpr uint64_t k_cluster_id_hi = 0x7461726e2d636c75ull;
constexpr uint64_t k_cluster_id_lo = 0x737465722d303031ull;

// Peer-id kind that carries a host identifier.
constexpr uint32_t k_peer_id_host = 5;

// Runs `fn` on the event loop of `process`: directly when the caller is
// already there, else with the caller moved onto the loop for the duration.
template <class Fn>
void on_loop(kiv_process* process, Fn&& fn) {
    if (kiv_in_loop_context()) {
        // Another process's loop lock cannot be taken while holding one.
        KIV_BUG_ON(!kiv_in_loop_context_of(process));
        fn();
        return;
    }
    kiv_move_to_coroutine(process);
    fn();
    kiv_move_from_coroutine();
}

void ipv4_bytes(uint32_t ipv4, unsigned out[4]) {
    for (int i = 0; i < 4; i++) out[i] = (ipv4 >> (24 - 8 * i)) & 0xff;
}

void set_endpoint_address(kiv_rpc_endpoint* ep, const tarn_host_addr& addr) {
    unsigned b[4];
    ipv4_bytes(addr.ipv4, b);
    char text[32];
    snprintf(text, sizeof text, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], unsigned(addr.port));
    kiv_netaddr na;
    if (kiv_parse_netaddr(text, &na) != 0) {
        static const kiv_bug_site site = {__FILE__, "_fsal2kiv_addr", __LINE__};
        kiv_bug_at(&site);
    }
    kiv_rpc_set_address(ep, &na);
}

void create_rpc_ep_on_evloop(tarn_conn* conn, const tarn_endpoint_spec* spec) {
    conn->endpoint = kiv_rpc_create(&conn->factory->engine, spec->ops, spec->params);
    KIV_BUG_ON(conn->endpoint == nullptr);
    unsigned b[4];
    ipv4_bytes(conn->addr.ipv4, b);
    kiv_trace(7, __func__, "Creating RPC connection to host %016lx (%u.%u.%u.%u:%u)", conn->addr.host_id, b[0],
              b[1], b[2], b[3], unsigned(conn->addr.port));
    kiv_rpc_set_peer_id(conn->endpoint, kiv_rpc_peer_id{conn->addr.host_id}, k_peer_id_host);
    set_endpoint_address(conn->endpoint, conn->addr);
}

void close_rpc_ep_on_evloop(tarn_conn* conn) {
    unsigned b[4];
    ipv4_bytes(conn->addr.ipv4, b);
    kiv_trace(7, __func__, "Closing RPC connection to host %016lx (%u.%u.%u.%u:%u)", conn->addr.host_id, b[0],
              b[1], b[2], b[3], unsigned(conn->addr.port));
    kiv_rpc_close(conn->endpoint);
    conn->endpoint = nullptr;
}

int send_on_evloop(void* conn_arg, void* msg_arg) {
    auto* conn = static_cast<tarn_conn*>(conn_arg);
    auto* msg = static_cast<kiv_msg*>(msg_arg);
    uint32_t len = 0;
    auto* first = static_cast<uint8_t*>(msg->get_chunk(msg, 0, &len));
    KIV_BUG_ON(first == nullptr || len < 24);
    kiv_rpc_get_new_xid(&conn->factory->engine, first + 8);
    return kiv_rpc_call(conn->endpoint, msg);
}

}  // namespace

void tarn_conn_get_cluster_id(uint8_t id[16]) {
    tarn_be_put_u64(id, 0, k_cluster_id_hi);
    tarn_be_put_u64(id, 8, k_cluster_id_lo);
}

int tarn_conn_factory_create(uint64_t client_id, kiv_process* process, tarn_conn_factory** out) {
    auto* f = static_cast<tarn_conn_factory*>(
        __kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(tarn_conn_factory)));
    f->process = process;
    int rc = 0;
    on_loop(process, [&] {
        rc = kiv_rpc_engine_init(process, &f->engine, KIV_RPC_ENGINE_CLIENT);
        if (rc != 0) return;
        f->engine.flags |= 0x1;
        f->engine.local_id = client_id;
        uint8_t cluster_id[16];
        tarn_conn_get_cluster_id(cluster_id);
        kiv_rpc_set_cluster_id(&f->engine, cluster_id);
        kiv_auth_domain* domain = kiv_auth_create_domain();
        kiv_auth_init_domain(domain, "cluster_name", 0, 0);
        kiv_rpc_set_auth_domain(&f->engine, domain);
    });
    if (rc != 0) {
        __kiv_free(f);
        return rc < 0 ? rc : -rc;
    }
    *out = f;
    return 0;
}

void tarn_conn_factory_destroy(tarn_conn_factory* factory) {
    if (factory == nullptr) return;
    KIV_BUG_ON(__atomic_load_n(&factory->engine.nr_endpoints, __ATOMIC_ACQUIRE) != 0);
    on_loop(factory->process, [&] { kiv_rpc_engine_fini(&factory->engine); });
    __kiv_free(factory);
}

int tarn_conn_create(tarn_conn_factory* factory, const tarn_host_addr* addr, const tarn_endpoint_spec* spec,
                     tarn_conn** out) {
    auto* conn = static_cast<tarn_conn*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(tarn_conn)));
    conn->factory = factory;
    conn->addr = *addr;
    conn->refcount = 1;
    on_loop(factory->process, [&] { create_rpc_ep_on_evloop(conn, spec); });
    *out = conn;
    return 0;
}

void tarn_conn_ref(tarn_conn* conn) { __atomic_add_fetch(&conn->refcount, 1, __ATOMIC_RELAXED); }

void tarn_conn_unref(tarn_conn* conn) {
    uint32_t before = __atomic_fetch_sub(&conn->refcount, 1, __ATOMIC_ACQ_REL);
    KIV_BUG_ON(before == 0);
    if (before != 1) return;
    KIV_BUG_ON(__atomic_load_n(&conn->refcount, __ATOMIC_ACQUIRE) != 0);
    on_loop(conn->factory->process, [&] { close_rpc_ep_on_evloop(conn); });
    __kiv_free(conn);
}

tarn_host_addr tarn_conn_get_addr(const tarn_conn* conn) { return conn->addr; }

int tarn_conn_send_call(tarn_conn* conn, kiv_msg* msg) {
    // Inline in loop context, otherwise a job the caller waits for.
    return kiv_call_in_job2(conn->factory->process, send_on_evloop, conn, msg);
}

void tarn_conn_abort_hook(kiv_rpc_endpoint* endpoint, int reason) { kiv_rpc_reset(endpoint, reason); }

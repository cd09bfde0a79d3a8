// Reference-counted RPC connections to lock servers.
#include <errno.h>

#include "ls_client/ls_client_int.h"

namespace {

const char* const k_tag = "ls_client_conn";
// Peer kind under which lock servers appear in the runtime's logs.
constexpr uint32_t k_peer_kind = 5;

void on_abort(kiv_rpc_endpoint* ep, int reason) { kiv_rpc_reset(ep, reason); }

const kiv_rpc_ep_ops k_ops = {nullptr, nullptr, nullptr, on_abort};

// Runs `fn` inside the loop: at once when already there, else after moving
// the calling thread into the loop's coroutine context.
template <typename Fn>
void in_loop(kiv_process* p, Fn fn) {
    if (kiv_in_loop_context()) {
        fn();
        return;
    }
    kiv_move_to_coroutine(p);
    fn();
    kiv_move_from_coroutine();
}

}  // namespace

int ls_client_conn_create(kiv_process* p, kiv_rpc_engine* engine, const ls_server_entry* server,
                          ls_client_conn** out) {
    auto* conn = static_cast<ls_client_conn*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(ls_client_conn)));
    conn->engine = engine;
    conn->process = p;
    conn->server = *server;
    __atomic_store_n(&conn->refs, 1u, __ATOMIC_RELEASE);
    in_loop(p, [&] {
        conn->ep = kiv_rpc_create(engine, &k_ops, &ls_endpoint_params);
        KIV_BUG_ON(conn->ep == nullptr);
        kiv_rpc_set_peer_id(conn->ep, kiv_rpc_peer_id{server->host_id}, k_peer_kind);
        kiv_rpc_set_address(conn->ep, &server->addr);
        char text[64];
        kiv_format_netaddr(text, sizeof text, &server->addr);
        LS_LOG(2, "Creating RPC connection to lock server at %s", text);
    });
    *out = conn;
    return 0;
}

void ls_client_conn_ref(ls_client_conn* conn) { __atomic_add_fetch(&conn->refs, 1u, __ATOMIC_ACQ_REL); }

void ls_client_conn_unref(ls_client_conn* conn) {
    const uint32_t left = __atomic_sub_fetch(&conn->refs, 1u, __ATOMIC_ACQ_REL);
    KIV_BUG_ON(left == UINT32_MAX);
    if (left != 0) return;
    char text[64];
    kiv_format_netaddr(text, sizeof text, &conn->server.addr);
    LS_LOG(2, "Closing RPC connection to lock server at %s", text);
    in_loop(conn->process, [&] { kiv_rpc_close(conn->ep); });
    __kiv_free(conn);
}

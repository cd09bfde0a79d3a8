// RPC transport of the cluster runtime: engines, endpoints (one TCP stream
// each), messages, calls, cancellation and the reply-allocation hook.
//
// Frames are little-endian: u32 length (whole frame), u32 type, 16-byte
// transaction id (xid), body. A request has an even type >= 2, its reply
// type + 1; type 1 is the runtime's error reply (32 bytes, code at +24).
//
// Every function may be called from any thread; one that touches loop-owned
// state takes the process's loop lock for its own duration (a no-op in loop
// context). Completions and connection hooks run on evloop, exactly once,
// never inside the runtime call that produced them.
#pragma once

#include <stdint.h>

#include "kiv/auth.h"
#include "kiv/base.h"
#include "kiv/loop.h"

struct kiv_rpc_engine_priv;

// Embedded by value. Callers may set `local_id` and flag 0x1 directly; both
// are only stored and logged.
struct kiv_rpc_engine {
    uint64_t local_id;
    uint32_t flags;
    uint32_t nr_endpoints;  // endpoints created and not yet closed
    kiv_rpc_engine_priv* priv;
};

enum : uint32_t {
    KIV_RPC_ENGINE_CLIENT = 1,
    KIV_RPC_ENGINE_REGISTRY = 4,
};

// Endpoint states.
enum : uint32_t {
    KIV_RPC_STATE_IDLE = 0,
    KIV_RPC_STATE_CONNECTING = 3,
    KIV_RPC_STATE_CONNECTED = 5,
};

// Endpoint flag 0x40 marks a registry connection in mode 1; stored only.
enum : uint32_t { KIV_RPC_EP_REGISTRY_MODE1 = 0x40 };

// The endpoint itself is private to the runtime; these fields are public.
struct kiv_rpc_endpoint {
    uint32_t flags;
    uint32_t state;  // KIV_RPC_STATE_*
    void* user;      // free for the owner's use; the runtime never reads it
};

struct kiv_rpc_peer_id {
    uint64_t id;
};

// Six words, in this order.
struct kiv_rpc_params {
    uint32_t hdr_size;            // must be 24
    uint32_t max_msg;             // largest frame in both directions, >= 32
    uint32_t connect_timeout_ms;  // bound of one connect attempt
    uint32_t connect_delay_ms;    // delay between connect attempts
    uint32_t reply_timeout_ms;    // reply time-out of a message whose timeout_ms is 0
    uint32_t connect_retries;     // extra connect attempts after the first
};

struct kiv_msg;

// Any entry may be NULL.
struct kiv_rpc_ep_ops {
    // Called when the header of a matched reply has arrived; returns NULL for
    // the default handling or an input message M whose first 24 kept bytes
    // hold `hdr` and whose `done` is rpc_work_input.
    kiv_msg* (*alloc_reply)(kiv_rpc_engine* e, const uint8_t hdr[24]);
    void (*on_connected)(kiv_rpc_endpoint* ep);
    // After a failed connect (all attempts; code 4, 12 or 14) and after the
    // loss or reset of a connection (code 10).
    void (*on_disconnected)(kiv_rpc_endpoint* ep, int code);
    // Stream fault (oversized frame, abandoned half-written frame). Usually
    // calls kiv_rpc_reset(ep, reason); if the socket is still open when it
    // returns, the runtime resets it.
    void (*abort)(kiv_rpc_endpoint* ep, int reason);
};

// A message. Allocated only by the runtime; the fields below are public, the
// rest is private.
struct kiv_msg {
    uint8_t* buf;        // kept bytes, zero-filled at allocation
    uint32_t kept_len;
    uint32_t total_len;  // wire length; = kept_len at allocation; may be set larger
    // Serves the piece of the frame at `off` (< total_len) and its length in
    // *len. Called in increasing order of `off` per transfer (an offset may
    // repeat after a partial write), never once completion is queued. The
    // runtime writes through the pointer for input messages.
    void* (*get_chunk)(kiv_msg* m, uint64_t off, uint32_t* len);
    void (*done)(kiv_msg* m);
    void* priv;
    uint32_t timeout_ms;  // 0 = the endpoint's reply time-out
    uint32_t error;       // 0, or (0x80000000 if peer-reported) | KIV_E_* code
    kiv_msg* reply;       // owned by this message
};

// ---------------------------------------------------------------- engines
int kiv_rpc_engine_init(kiv_process* p, kiv_rpc_engine* e, uint32_t kind);
void kiv_rpc_engine_fini(kiv_rpc_engine* e);  // nr_endpoints must be 0
uint32_t kiv_rpc_engine_kind(const kiv_rpc_engine* e);
kiv_process* kiv_rpc_engine_process(const kiv_rpc_engine* e);
void kiv_rpc_set_cluster_id(kiv_rpc_engine* e, const uint8_t id[16]);
// The engine owns `d` from now on and frees a domain it replaces.
void kiv_rpc_set_auth_domain(kiv_rpc_engine* e, kiv_auth_domain* d);
// Bytes 0-7: the engine's random salt; 8-15: u64 LE counter starting at 1.
void kiv_rpc_get_new_xid(kiv_rpc_engine* e, uint8_t xid[16]);
// The pending request of the engine with this xid, or NULL.
kiv_msg* kiv_rpc_lookup_xid(kiv_rpc_engine* e, const uint8_t xid[16]);

// ---------------------------------------------------------------- endpoints
// Copies both blocks. NULL on OOM or bad params (hdr_size != 24, max_msg < 32).
kiv_rpc_endpoint* kiv_rpc_create(kiv_rpc_engine* e, const kiv_rpc_ep_ops* ops, const kiv_rpc_params* params);
void kiv_rpc_set_peer_id(kiv_rpc_endpoint* ep, kiv_rpc_peer_id id, uint32_t kind);
// Resets the endpoint first if it is connected (or connecting) elsewhere.
int kiv_rpc_set_address(kiv_rpc_endpoint* ep, const kiv_netaddr* addr);
// Starts a non-blocking connect when idle. 0, or -EDESTADDRREQ without address.
int kiv_rpc_connect(kiv_rpc_endpoint* ep);
// Closes the socket; every pending request completes with KIV_E_CONNLOST.
void kiv_rpc_reset(kiv_rpc_endpoint* ep, int reason);
// Pending requests complete with KIV_E_ABANDONED; nr_endpoints drops before
// this returns. Allowed from a completion handler.
void kiv_rpc_close(kiv_rpc_endpoint* ep);
int kiv_rpc_get_local_addr(kiv_rpc_endpoint* ep, kiv_netaddr* out);
kiv_rpc_engine* kiv_rpc_endpoint_engine(const kiv_rpc_endpoint* ep);

// ---------------------------------------------------------------- messages
kiv_msg* kiv_rpc_alloc_output_msg(uint32_t kept_len);
kiv_msg* kiv_rpc_alloc_input_msg(kiv_rpc_engine* e, uint32_t kept_len);
// Frees m->reply, then m. Freeing a pending message is a bug.
void kiv_free_msg(kiv_msg* m);
// The default chunk accessor: serves the kept bytes.
void* kiv_rpc_buf_chunk(kiv_msg* m, uint64_t off, uint32_t* len);

// Sends `m` (header in its first chunk: length = total_len, type, xid at
// 8..23). Always returns 0; the outcome arrives in m->done.
int kiv_rpc_call(kiv_rpc_endpoint* ep, kiv_msg* m);
// Abandons a pending request: it completes later with KIV_E_ABANDONED.
// 0, or -ENOENT if `m` is not pending. `ctx` is only logged.
int kiv_rpc_cancel_request(kiv_msg* m, kiv_context* ctx);
// The only valid `done` of a message returned by alloc_reply: matches it to
// its pending request, attaches it as the reply and completes the request.
void rpc_work_input(kiv_msg* m);

// The MDS client of one open file system and the MDS call.
//
// An MDS operation runs one call from the calling thread:
//   mds_call_init(&call, client, &opts);
//   mds_call_set_rpc_name(&call, "mds_client_...");
//   msg = mds_call_create_req(&call, size, type);  // -ENOMEM when null
//   ... write the fields from TARN_MDS_REQ_HDR_BYTES, set the handlers and
//       up to 32 bytes of handler context ...
//   mds_call_send(msg);
//   mds_call_wait_for_result(&call);
//   rc = mds_call_result(&call);                    // 0 or -errno
//   mds_call_fini(&call);
// Resolution, sending, reply handling, retries and fencing run on the event
// loop of the client's process (tarn_call_engine.h).
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "client/tarn_call_engine.h"
#include "client/tarn_cancel.h"
#include "client/tarn_client.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_mds_resolver.h"

// Returns 0 and the client's current epoch, or a negative error.
typedef int (*tarn_epoch_cb)(void* ctx, uint32_t* epoch);

struct mds_client {
    char* fs_name;   // owned copy
    uint64_t fs_id;  // 0 until the resolver has named it; then kept (atomic: lanes share it)
    tarn_conn_pool* pool;
    mds_resolver* resolver;
    uint64_t client_id;
    uint32_t epoch;
    tarn_epoch_cb epoch_cb;
    void* epoch_ctx;
    kiv_process* process;
    // Calls from plain threads go out on these when there are any
    // (borrowed; see mds_client_set_lanes), else on `process` and `pool`.
    const tarn_call_lane* lanes;
    uint32_t lane_count;
};

// Asks the epoch provider first and returns its negative result unchanged,
// making nothing; else 0 and the client in *out.
int mds_client_create(const char* fs_name, tarn_conn_pool* pool, uint64_t client_id, tarn_epoch_cb epoch_cb,
                      void* epoch_ctx, mds_resolver* resolver, kiv_process* process, mds_client** out);
void mds_client_destroy(mds_client* client);
// Spreads the calls of plain threads over `count` lanes (tarn_call_engine.h);
// the array must outlive the client. A call that waits for the resolver
// waits on the client's own process and goes on on its lane. Set before the
// first call; count 0 undoes it.
void mds_client_set_lanes(mds_client* client, const tarn_call_lane* lanes, uint32_t count);
// The MDS of the client's file system: 0 with `out` filled, -EAGAIN when the
// resolver knows neither the file system nor its MDS, or the resolver's
// negative error. Plain threads only.
int mds_client_find_mds(mds_client* client, tarn_host_addr* out);

struct mds_call_opts {
    uint32_t retry_timeout_ms; // 0 never retry, TARN_RETRY_FOREVER no deadline
    const tarn_cancel_token* cancel_token; // or null
    const uint8_t* credentials;            // 80-byte wire block, or null
};

struct mds_call;

// A reply handler: true lets the engine go on (done, or the server's status
// as the error); false fails the attempt with the error the handler filled.
typedef bool (*mds_call_handler)(mds_call* call, const kiv_msg* reply, rpc_error* error);

constexpr size_t MDS_CALL_HANDLER_CTX_BYTES = 32;

struct mds_call {
    tarn_call base; // state, error, rpc_name, target, conn, retry state
    mds_call_handler ok_handler;
    mds_call_handler error_handler;
    const uint8_t* credentials;
    const tarn_cancel_token* cancel_token;
    mds_client* client;
    pthread_mutex_t mutex; // guards base.state for the waiting thread
    kiv_waiter done;       // signalled once base.state is final
    uint8_t handler_ctx[MDS_CALL_HANDLER_CTX_BYTES];
};

void mds_call_init(mds_call* call, mds_client* client, const mds_call_opts* opts);
// Once per call.
void mds_call_set_rpc_name(mds_call* call, const char* rpc_name);
// A request of `size` bytes (at least the header) with the header filled; the
// file-system id is written at every send. Null when memory runs out.
kiv_msg* mds_call_create_req(mds_call* call, uint32_t size, uint32_t type);
void mds_call_set_resp_handler_ctx(mds_call* call, const void* data, size_t len);
void mds_call_get_resp_handler_ctx(const mds_call* call, void* out, size_t len);
// Hands the request to the event loop; the call must be idle.
void mds_call_send(kiv_msg* msg);
void mds_call_wait_for_result(mds_call* call);
call_state mds_call_get_state(mds_call* call);
// 0, or the negated error number of a failed call.
int mds_call_result(mds_call* call);
// Not while in flight: gives the connection back, destroys the lock.
void mds_call_fini(mds_call* call);

// The error line of a failed call.
int mds_call_format_error(const mds_call* call, char* buf, size_t size);

rpc_error mds_call_error(uint32_t code, uint32_t kind, uint32_t origin);
uint32_t mds_call2posix_error(rpc_error error);
bool mds_call_is_retryable(rpc_error error);
tarn_err mds_call2tarn_error(rpc_error error);

// The no-op request: succeeds when the MDS answers.
int mds_client_noop(mds_client* client, const mds_call_opts* opts);

// The endpoint operations and parameters of MDS connections.
extern const tarn_endpoint_spec tarn_mds_endpoint_spec;

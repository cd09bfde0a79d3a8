// The DS client of one open file system and the DS call.
//
// A DS call is the call engine (tarn_call_engine.h) specialised for data
// servers. It reaches a DS either through the virtual disk it names (asking
// the locator callbacks for the disk's host at every attempt) or at a fixed
// host, carries bulk data straight from or into the caller's buffer, pads
// every request to a multiple of 512 bytes, and waits in one of two ways:
// on a runtime waiter from a plain thread (cancellable by a
// token), or on a coroutine event from inside a runtime coroutine (following
// the coroutine's cancellation context).
//
// Order of use:
//   ds_call_init(&call, client, retry_timeout_ms, target);
//   [ds_call_make_cancellable(&call, token);]  [ds_call_set_call_timeout(&call, ms);]
//   ds_read_async(&call, ...);                 // any one operation of tarn_ds_client_ops.h
//   ds_call_wait_for_result(&call);
//   ... ds_call_get_state / ds_call_result / call.base.error ...
//   ds_call_fini(&call);
// ds_call_init and ds_call_fini must run in the same kind of context.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "client/tarn_call_engine.h"
#include "client/tarn_cancel.h"
#include "client/tarn_client.h"
#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "kiv/loop.h"
#include "kiv/rpc.h"

// ---------------------------------------------------------------- locator callbacks
// How the DS client learns a virtual disk's host and tells about failures.
// All take `locator_ctx` first. find_vdisk_host returns 0 with `out` and
// the disk's current location token filled, -EAGAIN while no virtual-disk
// map is known, -EINVAL for a disk beyond the map. report_host_unreachable
// may be null.
struct ds_locator_callbacks {
    void* locator_ctx;
    int (*find_vdisk_host)(void* ctx, uint16_t vdisk_id, tarn_host_addr* out, uint64_t* location_token);
    void (*report_vdisk_unmounted)(void* ctx, uint16_t vdisk_id, uint64_t host_id);
    void (*report_host_unreachable)(void* ctx, uint16_t vdisk_id, uint64_t host_id);
};

// Returns 0 and the client's current epoch, or a negative error.
typedef int (*ds_epoch_cb)(void* ctx, uint32_t* epoch);

struct ds_client {
    tarn_conn_pool* pool;
    ds_locator_callbacks locator;
    uint64_t client_id;
    uint32_t epoch;
    ds_epoch_cb epoch_cb;
    void* epoch_ctx;
    kiv_process* process;
    // Calls from plain threads go out on these when there are any
    // (borrowed; see ds_client_set_lanes), else on `process` and `pool`.
    const tarn_call_lane* lanes;
    uint32_t lane_count;
};

// Asks the epoch provider first and returns its negative result unchanged,
// making nothing; else 0 and the client in *out.
int ds_client_create(tarn_conn_pool* pool, uint64_t client_id, ds_epoch_cb epoch_cb, void* epoch_ctx,
                     kiv_process* process, ds_client** out, ds_locator_callbacks callbacks);
void ds_client_destroy(ds_client* client);
// Spreads the calls of plain threads over `count` lanes (tarn_call_engine.h);
// the array must outlive the client. Calls from coroutines stay on the
// client's own process. Set before the first call; count 0 undoes it.
void ds_client_set_lanes(ds_client* client, const tarn_call_lane* lanes, uint32_t count);

// ---------------------------------------------------------------- targets
enum : uint32_t { DS_TARGET_BY_VDISK = 0, DS_TARGET_FIXED_HOST = 1 };

// 24 bytes; all zero means "virtual disk 0".
struct ds_call_target {
    uint32_t mode; // DS_TARGET_*
    union {
        uint16_t vdisk_id;   // DS_TARGET_BY_VDISK
        tarn_host_addr host; // DS_TARGET_FIXED_HOST
    };
};
static_assert(sizeof(ds_call_target) == 24);

ds_call_target ds_target_by_vdisk(uint16_t vdisk_id);
ds_call_target ds_target_fixed_host(tarn_host_addr host);

// ---------------------------------------------------------------- the call
struct ds_call;

// A reply handler: true lets the engine go on (done, or the server's status
// as the error); false fails the attempt with the error the handler filled.
typedef bool (*ds_call_handler)(ds_call* call, const kiv_msg* reply, rpc_error* error);

constexpr size_t DS_CALL_HANDLER_CTX_BYTES = 32;
constexpr uint32_t DS_CALL_DEFAULT_TIMEOUT_MS = 30000;
constexpr uint32_t DS_CALL_MAX_TIMEOUT_MS = 60000;

struct ds_call {
    tarn_call base; // state, error, rpc_name, host (base.target), conn, retry
                    // state; base.reply_timeout_ms is the per-attempt time-out
    ds_call_handler ok_handler;
    ds_call_handler error_handler;
    ds_call_target target;
    ds_client* client;

    // The bulk part: the data of a bulk request, or the caller's buffer that
    // a bulk reply's data lands in, whose fixed part is reply_header_len.
    void* bulk_data;
    uint64_t bulk_len;
    uint64_t reply_header_len;
    uint8_t handler_ctx[DS_CALL_HANDLER_CTX_BYTES];

    bool coroutine_mode;
    // Thread mode.
    const tarn_cancel_token* cancel_token;
    pthread_mutex_t mutex; // guards base.state for the waiting thread
    kiv_waiter done;       // signalled once base.state is final
    // Coroutine mode: the caller's cancellation context (referenced), and the
    // event its coroutine sleeps on while it waits, if it does.
    kiv_context* context;
    kiv_co_event* waiting_event;

    kiv_msg* in_flight; // the request the transport holds, if any
};

void ds_call_init(ds_call* call, ds_client* client, uint32_t retry_timeout_ms, ds_call_target target);
// Thread mode only, while idle.
void ds_call_make_cancellable(ds_call* call, const tarn_cancel_token* token);
// At most DS_CALL_MAX_TIMEOUT_MS.
void ds_call_set_call_timeout(ds_call* call, uint32_t ms);
void ds_call_wait_for_result(ds_call* call);
call_state ds_call_get_state(ds_call* call);
// 0, or the negated error number of a failed call.
int ds_call_result(ds_call* call);
// Not while in flight: gives the connection back, drops the context
// reference (coroutine mode) or destroys the lock (thread mode).
void ds_call_fini(ds_call* call);

// ---------------------------------------------------------------- request building
// For the operations of tarn_ds_client_ops.h.
void ds_call_set_rpc_name(ds_call* call, const char* rpc_name);
void ds_call_set_resp_handler_ctx(ds_call* call, const void* data, size_t len);
void ds_call_get_resp_handler_ctx(const ds_call* call, void* out, size_t len);
// The request keeps its first `size` bytes; its length is `size` rounded up
// to 512, the rest zero padding. Null when memory runs out.
kiv_msg* ds_call_create_req(uint32_t size, ds_call* call);
// The request keeps `header_len` bytes, then carries the call's bulk data,
// then zero padding up to `total` rounded up to 512.
kiv_msg* ds_call_create_bulk_req(uint64_t total, uint32_t header_len, ds_call* call);
// A reply message of exactly `total` bytes that keeps `header_len` and puts
// the rest into the call's bulk buffer.
kiv_msg* ds_call_create_bulk_resp(uint64_t total, uint32_t header_len, ds_call* call, kiv_rpc_engine* engine);
// The DS header: length (the message's), type, client id, epoch, flags 0,
// version 2.
void ds_call_init_req_hdr(kiv_msg* msg, uint32_t type);
void ds_call_init_file_req_hdr(kiv_msg* msg, uint64_t location_token, uint64_t file_id, const uint8_t* credentials);
// Fails an idle call that could not build its request, without sending.
void ds_call_fail_unsent(ds_call* call, rpc_error error);
// Hands the request to the client's event loop; the call must be idle.
void ds_call_send(kiv_msg* msg);

// The DS endpoint's reply-allocation hook: lets the data of a read,
// replicate or get-xattr reply land straight in the caller's buffer. Null
// leaves the reply to the runtime's own allocation.
kiv_msg* ds_call_create_resp(kiv_rpc_engine* engine, const uint8_t header[24]);

// ---------------------------------------------------------------- results
// The call must be CALL_FAILED.
bool ds_call_is_retryable(const ds_call* call);
bool ds_call_is_cancelled(const ds_call* call);
// Folds a finished call's error into `aggregate`: a cancellation always
// wins, else the first non-retryable error stays.
void ds_call_merge_result(const ds_call* call, rpc_error* aggregate);
int ds_call_format_error(const ds_call* call, char* buf, size_t size);

rpc_error ds_call_error(uint32_t code, uint32_t kind, uint32_t origin);
uint32_t ds_call2posix_error(rpc_error error);
bool ds_call_error_is_retryable(rpc_error error);
// TARN_ERR_DELAY for "vdisk not mounted", else through the error number.
tarn_err ds_call2tarn_error(rpc_error error);

// The endpoint operations (with the reply-allocation hook) and parameters
// of DS connections.
extern const tarn_endpoint_spec tarn_ds_endpoint_spec;

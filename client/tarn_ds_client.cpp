// The DS client object and the DS kind of the call engine: targets, bulk
// messages with their chunk accessors, the reply-allocation hook, and the
// two ways of waiting.
#include "client/tarn_ds_client.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

#include "client/tarn_client_conv.h"
#include "client/tarn_wire.h"
#include "kiv/base.h"

namespace {

const char* const k_tag = "tarn_ds_client";

const kiv_rpc_params k_ds_params = {24, TARN_DS_MAX_MSG, 5000, 50, 60000, 1};
const kiv_rpc_ep_ops k_ds_ops = {ds_call_create_resp, nullptr, nullptr, tarn_conn_abort_hook};

// Outgoing padding is read from here; it is never written.
const uint8_t k_zero_pad[TARN_DS_MSG_ALIGN] = {};

ds_call* ds_call_of(tarn_call* base) { return reinterpret_cast<ds_call*>(base); }

ds_call* ds_call_of_msg(const kiv_msg* msg) {
    auto* base = static_cast<tarn_call*>(msg->priv);
    KIV_BUG_ON(base == nullptr || base->kind != &tarn_ds_server_kind);
    return ds_call_of(base);
}

class CallLock {
   public:
    explicit CallLock(ds_call* call) : call_(call) { KIV_BUG_ON(pthread_mutex_lock(&call_->mutex) != 0); }
    ~CallLock() { KIV_BUG_ON(pthread_mutex_unlock(&call_->mutex) != 0); }
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;

   private:
    ds_call* call_;
};

// ---------------------------------------------------------------- chunk accessors
// A DS message is its kept header (msg->buf, kept_len bytes), then up to
// `data_len` bytes of `data`, then padding up to total_len. Padding is
// served from a zero block on the way out and into a scratch block on the
// way in; either is shorter than one alignment unit.
void* serve_chunk(kiv_msg* msg, uint64_t offset, uint32_t* out_len, void* data, uint64_t data_len, bool input) {
    const uint64_t header = msg->kept_len;
    const uint64_t total = msg->total_len;
    KIV_BUG_ON(offset >= total);
    if (offset < header) {
        *out_len = uint32_t(header - offset);
        return msg->buf + offset;
    }
    const uint64_t data_end = std::min(header + data_len, total);
    if (offset < data_end) {
        *out_len = uint32_t(data_end - offset);
        return static_cast<uint8_t*>(data) + (offset - header);
    }
    const uint64_t pad = total - offset;
    KIV_BUG_ON(pad > TARN_DS_MSG_ALIGN);
    *out_len = uint32_t(pad);
    if (input) {
        // Only the event-loop thread of a process fills input messages.
        static thread_local uint8_t discard[TARN_DS_MSG_ALIGN];
        return discard;
    }
    return const_cast<uint8_t*>(k_zero_pad);
}

// A request without bulk data: header, then zeros. (The call's bulk fields
// may name a reply buffer, which must not travel as padding.)
void* plain_req_chunk(kiv_msg* msg, uint64_t offset, uint32_t* out_len) {
    return serve_chunk(msg, offset, out_len, nullptr, 0, false);
}

void* bulk_req_chunk(kiv_msg* msg, uint64_t offset, uint32_t* out_len) {
    ds_call* call = ds_call_of_msg(msg);
    return serve_chunk(msg, offset, out_len, call->bulk_data, call->bulk_len, false);
}

void* bulk_resp_chunk(kiv_msg* msg, uint64_t offset, uint32_t* out_len) {
    ds_call* call = ds_call_of_msg(msg);
    return serve_chunk(msg, offset, out_len, call->bulk_data, call->bulk_len, true);
}

// ---------------------------------------------------------------- engine operations
bool is_file_request(const kiv_msg* msg) {
    if (msg->kept_len < TARN_DS_FILE_REQ_HDR_BYTES) return false;
    switch (tarn_wire_get_u32(msg->buf, TARN_MSG_TYPE)) {
    case TARN_DS_NOOP:
    case TARN_DS_MOUNT_VDISK:
    case TARN_DS_UNMOUNT_VDISK:
    case TARN_DS_VDISK_USAGE_CTL:
    case TARN_DS_REPLICATE:
    case TARN_DS_REPL_RECOVERY:
    case TARN_DS_TEST:
        return false;
    default:
        return true;
    }
}

int ds_prepare_attempt(tarn_call* base, kiv_msg* msg) {
    ds_call* call = ds_call_of(base);
    if (base->target.ipv4 != 0) return TARN_ATTEMPT_GO;
    switch (call->target.mode) {
    case DS_TARGET_BY_VDISK: {
        const ds_locator_callbacks& loc = call->client->locator;
        tarn_host_addr host{};
        uint64_t token = 0;
        int rc = loc.find_vdisk_host(loc.locator_ctx, call->target.vdisk_id, &host, &token);
        if (rc < 0) {
            base->target = tarn_host_addr{};
            return rc;
        }
        base->target = host;
        // A restarted server mounts its disks with new tokens and answers
        // the old one "not mounted": every attempt carries the token the
        // locator holds now, which its refresh after that answer replaces.
        if (msg != nullptr && is_file_request(msg)) tarn_wire_put_u64(msg->buf, TARN_DS_REQ_LOCATION_TOKEN, token);
        break;
    }
    case DS_TARGET_FIXED_HOST:
        base->target = call->target.host;
        break;
    default:
        KIV_BUG();
    }
    return TARN_ATTEMPT_GO;
}

int ds_run_handler(tarn_call* base, bool ok, kiv_msg* reply, rpc_error* error) {
    ds_call* call = ds_call_of(base);
    ds_call_handler handler = ok ? call->ok_handler : call->error_handler;
    if (handler == nullptr) return -1;
    return handler(call, reply, error) ? 1 : 0;
}

bool is_unreachable_code(uint32_t code) {
    return code == KIV_E_CONNFAIL || (code >= KIV_E_CONNLOST && code <= KIV_E_CONNTIMEDOUT);
}

void ds_on_failed_attempt(tarn_call* base, rpc_error error) {
    ds_call* call = ds_call_of(base);
    if (call->target.mode != DS_TARGET_BY_VDISK) return;
    const ds_locator_callbacks& loc = call->client->locator;
    if (error.kind == RPC_ERR_RUNTIME && is_unreachable_code(error.code)) {
        if (loc.report_host_unreachable != nullptr)
            loc.report_host_unreachable(loc.locator_ctx, call->target.vdisk_id, base->target.host_id);
    } else if (error.kind == RPC_ERR_SERVER && error.code == TARN_DS_NOT_MOUNTED &&
               error.origin == RPC_ORIGIN_REMOTE) {
        loc.report_vdisk_unmounted(loc.locator_ctx, call->target.vdisk_id, base->target.host_id);
    }
}

bool ds_is_cancelled(tarn_call* base) {
    ds_call* call = ds_call_of(base);
    if (call->coroutine_mode) return kiv_context_is_cancelled(call->context) != 0;
    return tarn_cancel_token_is_cancelled(call->cancel_token);
}

kiv_msg* ds_copy_request(tarn_call*, kiv_msg* msg) {
    kiv_msg* copy = kiv_rpc_alloc_output_msg(msg->kept_len);
    if (copy == nullptr) return nullptr;
    memcpy(copy->buf, msg->buf, msg->kept_len);
    copy->total_len = msg->total_len;
    copy->get_chunk = msg->get_chunk;
    copy->priv = msg->priv;
    return copy;
}

void ds_set_final_status(tarn_call* base, call_state state) {
    ds_call* call = ds_call_of(base);
    if (call->coroutine_mode) {
        // Loop context on both sides, so the loop lock orders them.
        base->state = state;
        if (call->waiting_event != nullptr) kiv_co_event_signal(call->waiting_event);
        return;
    }
    {
        CallLock lock(call);
        base->state = state;
    }
    // Last touch of the call: its owner may free it once the wait returns.
    kiv_waiter_signal(&call->done);
}

void ds_on_sent(tarn_call* base, kiv_msg* msg) { ds_call_of(base)->in_flight = msg; }

void ds_on_completed(tarn_call* base, kiv_msg*) { ds_call_of(base)->in_flight = nullptr; }

const tarn_call_ops k_ds_call_ops = {
    ds_prepare_attempt,  ds_run_handler, ds_on_failed_attempt, ds_is_cancelled, ds_copy_request,
    ds_set_final_status, ds_on_sent,     ds_on_completed,
};

void wait_in_coroutine(ds_call* call) {
    KIV_BUG_ON(!kiv_can_co_wait());
    kiv_cancelable cancelable{};
    bool abandoned = false;
    while (call->base.state == CALL_IN_FLIGHT) {
        kiv_context* context = kiv_context_get();
        kiv_co_event event;
        kiv_co_event_init(&event);
        if (kiv_context_is_cancelled(context)) {
            // Abandon the request on the wire once; its failure then meets
            // the cancelled context and ends the call. A call between
            // attempts ends at its next retry tick.
            call->waiting_event = &event;
            if (!abandoned && call->in_flight != nullptr) {
                abandoned = true;
                kiv_rpc_cancel_request(call->in_flight, context);
            }
            kiv_co_event_wait_timeout(&event, nullptr);
            call->waiting_event = nullptr;
        } else if (kiv_cancelable_prepare_wait(&cancelable, context) == 0) {
            call->waiting_event = &event;
            kiv_co_event_wait_timeout(&event, nullptr); // 0, or -EINTR when cancelled
            call->waiting_event = nullptr;
            kiv_cancelable_prepare_wait(&cancelable, nullptr);
        }
        kiv_co_event_fini(&event);
        kiv_context_put(context);
    }
}

}  // namespace

const tarn_endpoint_spec tarn_ds_endpoint_spec = {&k_ds_ops, &k_ds_params};

// ---------------------------------------------------------------- client
int ds_client_create(tarn_conn_pool* pool, uint64_t client_id, ds_epoch_cb epoch_cb, void* epoch_ctx,
                     kiv_process* process, ds_client** out, ds_locator_callbacks callbacks) {
    uint32_t epoch = 0;
    int rc = epoch_cb(epoch_ctx, &epoch);
    if (rc < 0) return rc;
    auto* client = static_cast<ds_client*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(ds_client)));
    client->pool = pool;
    client->locator = callbacks;
    client->client_id = client_id;
    client->epoch = epoch;
    client->epoch_cb = epoch_cb;
    client->epoch_ctx = epoch_ctx;
    client->process = process;
    *out = client;
    return 0;
}

void ds_client_destroy(ds_client* client) { __kiv_free(client); }

void ds_client_set_lanes(ds_client* client, const tarn_call_lane* lanes, uint32_t count) {
    client->lanes = count > 0 ? lanes : nullptr;
    client->lane_count = count;
}

ds_call_target ds_target_by_vdisk(uint16_t vdisk_id) {
    ds_call_target t;
    memset(&t, 0, sizeof t);
    t.mode = DS_TARGET_BY_VDISK;
    t.vdisk_id = vdisk_id;
    return t;
}

ds_call_target ds_target_fixed_host(tarn_host_addr host) {
    ds_call_target t;
    memset(&t, 0, sizeof t);
    t.mode = DS_TARGET_FIXED_HOST;
    t.host = host;
    return t;
}

// ---------------------------------------------------------------- call
void ds_call_init(ds_call* call, ds_client* client, uint32_t retry_timeout_ms, ds_call_target target) {
    memset(call, 0, sizeof *call);
    call->target = target;
    call->client = client;
    call->base.retry_timeout_ms = retry_timeout_ms;
    tarn_call_init_plumbing(&call->base, &tarn_ds_server_kind, &k_ds_call_ops, &tarn_ds_endpoint_spec,
                            DS_CALL_DEFAULT_TIMEOUT_MS, client->process, client->pool, client->epoch,
                            client->epoch_cb, client->epoch_ctx);
    call->coroutine_mode = kiv_in_loop_context();
    if (call->coroutine_mode) {
        call->context = kiv_context_get();
    } else {
        if (client->lane_count > 0) {
            const tarn_call_lane& lane = client->lanes[tarn_call_lane_of_thread(client->lane_count)];
            call->base.process = lane.process;
            call->base.pool = lane.pool;
        }
        KIV_BUG_ON(pthread_mutex_init(&call->mutex, nullptr) != 0);
        kiv_waiter_init(&call->done);
    }
}

void ds_call_make_cancellable(ds_call* call, const tarn_cancel_token* token) {
    KIV_BUG_ON(call->coroutine_mode);
    KIV_BUG_ON(ds_call_get_state(call) != CALL_IDLE);
    call->cancel_token = token;
}

void ds_call_set_call_timeout(ds_call* call, uint32_t ms) {
    KIV_BUG_ON(ms > DS_CALL_MAX_TIMEOUT_MS);
    call->base.reply_timeout_ms = ms;
}

void ds_call_wait_for_result(ds_call* call) {
    if (call->coroutine_mode) {
        wait_in_coroutine(call);
        return;
    }
    if (ds_call_get_state(call) == CALL_IDLE) return;
    kiv_waiter_wait(&call->done);
}

call_state ds_call_get_state(ds_call* call) {
    if (call->coroutine_mode) return call->base.state;
    CallLock lock(call);
    return call->base.state;
}

int ds_call_result(ds_call* call) {
    if (ds_call_get_state(call) != CALL_FAILED) return 0;
    return -int(ds_call2posix_error(call->base.error));
}

void ds_call_fini(ds_call* call) {
    KIV_BUG_ON(kiv_in_loop_context() != call->coroutine_mode);
    KIV_BUG_ON(ds_call_get_state(call) == CALL_IN_FLIGHT);
    tarn_call_release_conn(&call->base);
    if (call->coroutine_mode) {
        kiv_context_put(call->context);
        call->context = nullptr;
    } else {
        KIV_BUG_ON(pthread_mutex_destroy(&call->mutex) != 0);
    }
}

// ---------------------------------------------------------------- request building
void ds_call_set_rpc_name(ds_call* call, const char* rpc_name) { tarn_call_set_rpc_name(&call->base, rpc_name); }

void ds_call_set_resp_handler_ctx(ds_call* call, const void* data, size_t len) {
    KIV_BUG_ON(len > DS_CALL_HANDLER_CTX_BYTES);
    memcpy(call->handler_ctx, data, len);
}

void ds_call_get_resp_handler_ctx(const ds_call* call, void* out, size_t len) {
    KIV_BUG_ON(len > DS_CALL_HANDLER_CTX_BYTES);
    memcpy(out, call->handler_ctx, len);
}

kiv_msg* ds_call_create_req(uint32_t size, ds_call* call) {
    const uint64_t total = tarn_ds_round_len(size);
    KIV_BUG_ON(size == 0 || total > UINT32_MAX);
    kiv_msg* msg = kiv_rpc_alloc_output_msg(size);
    if (msg == nullptr) return nullptr;
    msg->total_len = uint32_t(total);
    msg->get_chunk = plain_req_chunk;
    msg->priv = &call->base;
    return msg;
}

kiv_msg* ds_call_create_bulk_req(uint64_t total, uint32_t header_len, ds_call* call) {
    const uint64_t rounded = tarn_ds_round_len(total);
    KIV_BUG_ON(header_len == 0 || header_len > rounded || rounded > UINT32_MAX);
    kiv_msg* msg = kiv_rpc_alloc_output_msg(header_len);
    if (msg == nullptr) return nullptr;
    msg->total_len = uint32_t(rounded);
    msg->get_chunk = bulk_req_chunk;
    msg->priv = &call->base;
    return msg;
}

kiv_msg* ds_call_create_bulk_resp(uint64_t total, uint32_t header_len, ds_call* call, kiv_rpc_engine* engine) {
    KIV_BUG_ON(header_len == 0 || header_len > total || total > UINT32_MAX);
    kiv_msg* msg = kiv_rpc_alloc_input_msg(engine, header_len);
    if (msg == nullptr) return nullptr;
    msg->total_len = uint32_t(total);
    msg->get_chunk = bulk_resp_chunk;
    msg->priv = &call->base;
    return msg;
}

void ds_call_init_req_hdr(kiv_msg* msg, uint32_t type) {
    ds_call* call = ds_call_of_msg(msg);
    tarn_ds_req_hdr hdr{};
    hdr.length = msg->total_len;
    hdr.type = type;
    hdr.client_id = call->client->client_id;
    hdr.epoch = call->client->epoch;
    hdr.flags = 0;
    hdr.version = TARN_WIRE_VERSION;
    tarn_ds_req_hdr_write(msg->buf, &hdr, false);
}

void ds_call_init_file_req_hdr(kiv_msg* msg, uint64_t location_token, uint64_t file_id, const uint8_t* credentials) {
    KIV_BUG_ON(msg->kept_len < TARN_DS_FILE_REQ_HDR_BYTES);
    tarn_wire_put_u64(msg->buf, TARN_DS_REQ_LOCATION_TOKEN, location_token);
    tarn_wire_put_u64(msg->buf, TARN_DS_REQ_FILE_ID, file_id);
    if (credentials != nullptr)
        memcpy(msg->buf + TARN_DS_REQ_CREDS, credentials, TARN_WIRE_CREDS_BYTES);
    else
        memset(msg->buf + TARN_DS_REQ_CREDS, 0, TARN_WIRE_CREDS_BYTES);
}

void ds_call_fail_unsent(ds_call* call, rpc_error error) {
    KIV_BUG_ON(ds_call_get_state(call) != CALL_IDLE);
    call->base.error = error;
    ds_set_final_status(&call->base, CALL_FAILED);
}

void ds_call_send(kiv_msg* msg) {
    ds_call* call = ds_call_of_msg(msg);
    if (call->coroutine_mode) {
        KIV_BUG_ON(call->base.state != CALL_IDLE);
        call->base.state = CALL_IN_FLIGHT;
    } else {
        CallLock lock(call);
        KIV_BUG_ON(call->base.state != CALL_IDLE);
        call->base.state = CALL_IN_FLIGHT;
    }
    tarn_call_send(&call->base, msg);
}

// ---------------------------------------------------------------- reply allocation
kiv_msg* ds_call_create_resp(kiv_rpc_engine* engine, const uint8_t header[24]) {
    const uint32_t type = tarn_wire_get_u32(header, TARN_MSG_TYPE);
    if (type != TARN_DS_READ + 1 && type != TARN_DS_REPLICATE + 1 && type != TARN_DS_GET_XATTR + 1) return nullptr;
    kiv_msg* request = kiv_rpc_lookup_xid(engine, header + TARN_MSG_XID);
    if (request == nullptr) return nullptr;
    ds_call* call = ds_call_of_msg(request);
    const uint64_t fixed = call->reply_header_len;
    const uint32_t announced = tarn_wire_get_u32(header, TARN_MSG_LENGTH);
    if (fixed < TARN_REPLY_HDR_BYTES || announced < fixed) return nullptr;
    const uint64_t total = std::min<uint64_t>(call->bulk_len + fixed, announced);
    kiv_msg* msg = ds_call_create_bulk_resp(total, uint32_t(fixed), call, engine);
    if (msg == nullptr) return nullptr;
    memcpy(msg->buf, header, 24);
    msg->done = rpc_work_input;
    return msg;
}

// ---------------------------------------------------------------- results
bool ds_call_is_retryable(const ds_call* call) {
    KIV_BUG_ON(call->base.state != CALL_FAILED);
    return tarn_call_is_retryable(&tarn_ds_server_kind, call->base.error);
}

bool ds_call_is_cancelled(const ds_call* call) {
    KIV_BUG_ON(call->base.state != CALL_FAILED);
    const rpc_error& e = call->base.error;
    return e.code == ECANCELED && e.kind == RPC_ERR_POSIX && e.origin == RPC_ORIGIN_LOCAL;
}

void ds_call_merge_result(const ds_call* call, rpc_error* aggregate) {
    if (call->base.state != CALL_FAILED) return;
    if (ds_call_is_cancelled(call) || aggregate->kind == RPC_ERR_NONE ||
        tarn_call_is_retryable(&tarn_ds_server_kind, *aggregate))
        *aggregate = call->base.error;
}

int ds_call_format_error(const ds_call* call, char* buf, size_t size) {
    return tarn_call_format_failure(&call->base, buf, size);
}

rpc_error ds_call_error(uint32_t code, uint32_t kind, uint32_t origin) { return rpc_error_make(code, kind, origin); }

uint32_t ds_call2posix_error(rpc_error error) { return tarn_call2posix_error(&tarn_ds_server_kind, error); }

bool ds_call_error_is_retryable(rpc_error error) { return tarn_call_is_retryable(&tarn_ds_server_kind, error); }

tarn_err ds_call2tarn_error(rpc_error error) {
    if (error.kind == RPC_ERR_SERVER && error.code == TARN_DS_NOT_MOUNTED) return TARN_ERR_DELAY;
    return posix2tarn_error(int(ds_call2posix_error(error)));
}

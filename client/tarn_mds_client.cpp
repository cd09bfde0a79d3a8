// The MDS client object and the MDS kind of the call engine.
#include "client/tarn_mds_client.h"

#include <errno.h>
#include <string.h>

#include "client/tarn_client_conv.h"
#include "client/tarn_wire.h"
#include "kiv/base.h"
#include "kiv/loop.h"

namespace {

const char* const k_tag = "tarn_mds_client";
constexpr uint32_t k_reply_timeout_ms = 30000;

const kiv_rpc_params k_mds_params = {24, TARN_MDS_MAX_MSG, 5000, 50, 60000, 1};
const kiv_rpc_ep_ops k_mds_ops = {nullptr, nullptr, nullptr, tarn_conn_abort_hook};

mds_call* mds_call_of(tarn_call* base) { return reinterpret_cast<mds_call*>(base); }

class CallLock {
   public:
    explicit CallLock(mds_call* call) : call_(call) { KIV_BUG_ON(pthread_mutex_lock(&call_->mutex) != 0); }
    ~CallLock() { KIV_BUG_ON(pthread_mutex_unlock(&call_->mutex) != 0); }
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;

   private:
    mds_call* call_;
};

// Calls on different lanes learn the file system's id at the same time.
uint64_t known_fs_id(const mds_client* client) { return __atomic_load_n(&client->fs_id, __ATOMIC_RELAXED); }

void keep_fs_id(mds_client* client, uint64_t fs_id) { __atomic_store_n(&client->fs_id, fs_id, __ATOMIC_RELAXED); }

// The MDS of the client's file system, looked up by name once and then by
// id. Loop context only; -ENOENT from the resolver becomes -EAGAIN.
int resolve_mds(mds_client* client, tarn_host_addr* target) {
    KIV_BUG_ON(!kiv_in_loop_context());
    int rc = 0;
    uint64_t fs_id = known_fs_id(client);
    if (fs_id == 0) {
        rc = mds_resolver_find_fs(client->resolver, client->fs_name, &fs_id);
        if (rc == 0) keep_fs_id(client, fs_id);
    }
    if (rc == 0) rc = mds_resolver_find_mds(client->resolver, fs_id, target);
    if (rc < 0) {
        *target = tarn_host_addr{};
        return rc == -ENOENT ? -EAGAIN : rc;
    }
    return 0;
}

// ---------------------------------------------------------------- resolver wait
// A request whose file system or MDS is unknown waits for the next change of
// the resolver's table, or for the wait to run out (a retryable failure).
// The wait itself runs on the client's own process, where the resolver's
// notifications arrive, so that a subscription and its timer end on one
// loop; the call goes on on its lane afterwards. With no lanes both are
// the same loop and every step runs in place.
struct resolver_waiter {
    mds_call* call;
    kiv_msg* msg;
    kiv_timer timer;
    mds_resolver_subscription* subscription;
    kiv_job job; // to the client's process, then back to the call's
    bool changed;
};

kiv_process* home_of(const resolver_waiter* w) { return w->call->client->process; }

void resume_job(void* arg) {
    auto* w = static_cast<resolver_waiter*>(arg);
    mds_call* call = w->call;
    kiv_msg* msg = w->msg;
    const bool changed = w->changed;
    __kiv_free(w);
    if (changed)
        tarn_call_start_attempt(&call->base, msg);
    else
        tarn_call_handle_error(&call->base, msg, rpc_error_make(EAGAIN, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
}

// A process on the way ended before the call could go on: the caller is
// released with the shutdown.
void wait_dropped(void* arg) {
    auto* w = static_cast<resolver_waiter*>(arg);
    mds_call* call = w->call;
    kiv_msg* msg = w->msg;
    __kiv_free(w);
    tarn_call_fail(&call->base, msg, rpc_error_make(ESHUTDOWN, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
}

void end_wait(resolver_waiter* w, bool changed) {
    mds_resolver_unsubscribe(w->subscription);
    del_timer_sync(&w->timer);
    w->changed = changed;
    if (kiv_post_in_job(w->call->base.process, &w->job, resume_job, wait_dropped, w) < 0) wait_dropped(w);
}

void on_resolver_change(void* arg) { end_wait(static_cast<resolver_waiter*>(arg), true); }

void on_resolver_wait_timeout(void* arg) { end_wait(static_cast<resolver_waiter*>(arg), false); }

void park_job(void* arg) {
    auto* w = static_cast<resolver_waiter*>(arg);
    init_timer(home_of(w), &w->timer, on_resolver_wait_timeout, w);
    w->subscription = mds_resolver_subscribe(w->call->client->resolver, on_resolver_change, w);
    mod_timer(&w->timer, tarn_call_get_timing().resolver_wait_ms);
    // A lane looked the MDS up before this job ran; a change announced in
    // between is not announced again. Looked up once more here, where the
    // announcements are made, such a change ends the wait at once.
    tarn_host_addr found{};
    if (w->call->base.process != home_of(w) && resolve_mds(w->call->client, &found) != -EAGAIN)
        on_resolver_change(w);
}

void wait_for_resolver(mds_call* call, kiv_msg* msg) {
    auto* w = static_cast<resolver_waiter*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(resolver_waiter)));
    w->call = call;
    w->msg = msg;
    if (kiv_post_in_job(home_of(w), &w->job, park_job, wait_dropped, w) < 0) wait_dropped(w);
}

// ---------------------------------------------------------------- engine operations
int mds_prepare_attempt(tarn_call* base, kiv_msg* msg) {
    mds_call* call = mds_call_of(base);
    mds_client* client = call->client;
    if (base->target.ipv4 == 0) {
        int rc = resolve_mds(client, &base->target);
        if (rc == -EAGAIN) {
            wait_for_resolver(call, msg);
            return TARN_ATTEMPT_PARKED;
        }
        if (rc < 0) return rc;
    }
    uint64_t fs_id = known_fs_id(client);
    if (fs_id == 0) {
        KIV_BUG_ON(mds_resolver_find_fs(client->resolver, client->fs_name, &fs_id) != 0);
        keep_fs_id(client, fs_id);
    }
    tarn_wire_put_u64(msg->buf, TARN_MDS_REQ_FS_ID, fs_id);
    return TARN_ATTEMPT_GO;
}

int mds_run_handler(tarn_call* base, bool ok, kiv_msg* reply, rpc_error* error) {
    mds_call* call = mds_call_of(base);
    mds_call_handler handler = ok ? call->ok_handler : call->error_handler;
    if (handler == nullptr) return -1;
    return handler(call, reply, error) ? 1 : 0;
}

void mds_on_failed_attempt(tarn_call* base, rpc_error error) {
    // The server does not serve our file system: it moved; resolve afresh.
    if (error.kind == RPC_ERR_SERVER && error.code == TARN_MDS_NO_FS && error.origin == RPC_ORIGIN_REMOTE) {
        tarn_call_release_conn(base);
        base->target = tarn_host_addr{};
    }
}

bool mds_is_cancelled(tarn_call* base) { return tarn_cancel_token_is_cancelled(mds_call_of(base)->cancel_token); }

kiv_msg* mds_copy_request(tarn_call*, kiv_msg* msg) { return tarn_call_copy_plain_request(msg); }

void mds_set_final_status(tarn_call* base, call_state state) {
    mds_call* call = mds_call_of(base);
    {
        CallLock lock(call);
        base->state = state;
    }
    // Last touch of the call: its owner may free it once the wait returns.
    kiv_waiter_signal(&call->done);
}

const tarn_call_ops k_mds_call_ops = {
    mds_prepare_attempt, mds_run_handler,      mds_on_failed_attempt, mds_is_cancelled,
    mds_copy_request,    mds_set_final_status, nullptr,               nullptr,
};

}  // namespace

const tarn_endpoint_spec tarn_mds_endpoint_spec = {&k_mds_ops, &k_mds_params};

// ---------------------------------------------------------------- client
int mds_client_create(const char* fs_name, tarn_conn_pool* pool, uint64_t client_id, tarn_epoch_cb epoch_cb,
                      void* epoch_ctx, mds_resolver* resolver, kiv_process* process, mds_client** out) {
    uint32_t epoch = 0;
    int rc = epoch_cb(epoch_ctx, &epoch);
    if (rc < 0) return rc;
    auto* client = static_cast<mds_client*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(mds_client)));
    client->fs_name = __kiv_strdup(k_tag, KIV_POS, KIV_MEM_NOFAIL, fs_name);
    client->fs_id = 0;
    client->pool = pool;
    client->resolver = resolver;
    client->client_id = client_id;
    client->epoch = epoch;
    client->epoch_cb = epoch_cb;
    client->epoch_ctx = epoch_ctx;
    client->process = process;
    *out = client;
    return 0;
}

void mds_client_set_lanes(mds_client* client, const tarn_call_lane* lanes, uint32_t count) {
    client->lanes = count > 0 ? lanes : nullptr;
    client->lane_count = count;
}

void mds_client_destroy(mds_client* client) {
    if (client == nullptr) return;
    __kiv_free(client->fs_name);
    __kiv_free(client);
}

int mds_client_find_mds(mds_client* client, tarn_host_addr* out) {
    *out = tarn_host_addr{};
    kiv_move_to_coroutine(client->process);
    int rc = resolve_mds(client, out);
    kiv_move_from_coroutine();
    return rc;
}

// ---------------------------------------------------------------- call
void mds_call_init(mds_call* call, mds_client* client, const mds_call_opts* opts) {
    memset(call, 0, sizeof *call);
    call->base.retry_timeout_ms = opts->retry_timeout_ms;
    call->cancel_token = opts->cancel_token;
    call->credentials = opts->credentials;
    call->client = client;
    tarn_call_init_plumbing(&call->base, &tarn_mds_server_kind, &k_mds_call_ops, &tarn_mds_endpoint_spec,
                            k_reply_timeout_ms, client->process, client->pool, client->epoch, client->epoch_cb,
                            client->epoch_ctx);
    // A call made on a loop waits there; only plain threads go to lanes.
    if (client->lane_count > 0 && !kiv_in_loop_context()) {
        const tarn_call_lane& lane = client->lanes[tarn_call_lane_of_thread(client->lane_count)];
        call->base.process = lane.process;
        call->base.pool = lane.pool;
    }
    KIV_BUG_ON(pthread_mutex_init(&call->mutex, nullptr) != 0);
    kiv_waiter_init(&call->done);
}

void mds_call_set_rpc_name(mds_call* call, const char* rpc_name) { tarn_call_set_rpc_name(&call->base, rpc_name); }

kiv_msg* mds_call_create_req(mds_call* call, uint32_t size, uint32_t type) {
    KIV_BUG_ON(size < TARN_MDS_REQ_HDR_BYTES);
    kiv_msg* msg = kiv_rpc_alloc_output_msg(size);
    if (msg == nullptr) return nullptr;
    msg->priv = &call->base;
    tarn_mds_req_hdr hdr{};
    hdr.length = size;
    hdr.type = type;
    hdr.version = TARN_WIRE_VERSION;
    hdr.client_id = call->client->client_id;
    hdr.epoch = call->client->epoch;
    hdr.flags = 0;
    if (call->credentials != nullptr) memcpy(hdr.credentials, call->credentials, TARN_WIRE_CREDS_BYTES);
    tarn_mds_req_hdr_write(msg->buf, &hdr);
    return msg;
}

void mds_call_set_resp_handler_ctx(mds_call* call, const void* data, size_t len) {
    KIV_BUG_ON(len > MDS_CALL_HANDLER_CTX_BYTES);
    memcpy(call->handler_ctx, data, len);
}

void mds_call_get_resp_handler_ctx(const mds_call* call, void* out, size_t len) {
    KIV_BUG_ON(len > MDS_CALL_HANDLER_CTX_BYTES);
    memcpy(out, call->handler_ctx, len);
}

void mds_call_send(kiv_msg* msg) {
    mds_call* call = mds_call_of(static_cast<tarn_call*>(msg->priv));
    {
        CallLock lock(call);
        KIV_BUG_ON(call->base.state != CALL_IDLE);
        call->base.state = CALL_IN_FLIGHT;
    }
    tarn_call_send(&call->base, msg);
}

void mds_call_wait_for_result(mds_call* call) {
    if (mds_call_get_state(call) == CALL_IDLE) return;
    kiv_waiter_wait(&call->done);
}

call_state mds_call_get_state(mds_call* call) {
    CallLock lock(call);
    return call->base.state;
}

int mds_call_result(mds_call* call) {
    if (mds_call_get_state(call) != CALL_FAILED) return 0;
    return -int(mds_call2posix_error(call->base.error));
}

void mds_call_fini(mds_call* call) {
    KIV_BUG_ON(mds_call_get_state(call) == CALL_IN_FLIGHT);
    tarn_call_release_conn(&call->base);
    KIV_BUG_ON(pthread_mutex_destroy(&call->mutex) != 0);
}

int mds_call_format_error(const mds_call* call, char* buf, size_t size) {
    return tarn_call_format_failure(&call->base, buf, size);
}

rpc_error mds_call_error(uint32_t code, uint32_t kind, uint32_t origin) { return rpc_error_make(code, kind, origin); }

uint32_t mds_call2posix_error(rpc_error error) { return tarn_call2posix_error(&tarn_mds_server_kind, error); }

bool mds_call_is_retryable(rpc_error error) { return tarn_call_is_retryable(&tarn_mds_server_kind, error); }

tarn_err mds_call2tarn_error(rpc_error error) { return posix2tarn_error(int(mds_call2posix_error(error))); }

// ---------------------------------------------------------------- no-op
int mds_client_noop(mds_client* client, const mds_call_opts* opts) {
    mds_call call;
    mds_call_init(&call, client, opts);
    mds_call_set_rpc_name(&call, "mds_client_noop");
    kiv_msg* msg = mds_call_create_req(&call, TARN_MDS_NOOP_REQ_BYTES, TARN_MDS_NOOP);
    if (msg == nullptr) {
        mds_call_fini(&call);
        return -ENOMEM;
    }
    mds_call_send(msg);
    mds_call_wait_for_result(&call);
    int rc = mds_call_result(&call);
    mds_call_fini(&call);
    return rc;
}

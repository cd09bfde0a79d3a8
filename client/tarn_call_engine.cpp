// The call engine: attempts, reply checking, error handling with fencing,
// back-off and deadlines, and the mapping of errors for both server kinds.
#include "client/tarn_call_engine.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "client/tarn_utils.h"
#include "client/tarn_wire.h"
#include "kiv/base.h"

namespace {

const char* const k_tag = "tarn_call";

constexpr tarn_call_timing k_default_timing = {1000, 60000, 1000, 1000};

std::atomic<uint32_t> g_backoff_base_ms{k_default_timing.backoff_base_ms};
std::atomic<uint32_t> g_backoff_cap_ms{k_default_timing.backoff_cap_ms};
std::atomic<uint32_t> g_retry_tick_ms{k_default_timing.retry_tick_ms};
std::atomic<uint32_t> g_resolver_wait_ms{k_default_timing.resolver_wait_ms};

// Runtime codes that the engine re-sends after, whatever the kind.
bool is_retryable_runtime_code(uint32_t code) {
    return code == KIV_E_CONNFAIL || (code >= KIV_E_BUSY && code <= KIV_E_CONNTIMEDOUT) || code == KIV_E_ABANDONED ||
           code == KIV_E_NOTREADY;
}

bool is_retryable_status(const tarn_server_kind* kind, uint32_t status) {
    for (uint32_t s : kind->retryable_status)
        if (s == status) return true;
    return false;
}

const char* error_text(const tarn_server_kind* kind, rpc_error error) {
    switch (error.kind) {
    case RPC_ERR_NONE:
        KIV_BUG();
    case RPC_ERR_POSIX:
        return strerror(int(error.code));
    case RPC_ERR_SERVER:
        return kind->status_text(error.code);
    default:
        return kiv_strerror(error.code);
    }
}

uint64_t remaining_ms(const timespec& now, const timespec& until) {
    if (tarn_timespec_cmp(&now, &until) >= 0) return 0;
    uint64_t ns = tarn_timespec_to_ns(&until) - tarn_timespec_to_ns(&now);
    return (ns + 999999) / 1000000;
}

// A fresh key per attempt spreads a host's requests over its slots. Each
// thread draws its own: rand() would serialise every lane on one lock.
uint32_t next_slot_key() {
    thread_local uint32_t state = (0x9e3779b9u ^ uint32_t(reinterpret_cast<uintptr_t>(&state))) | 1u;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

void on_reply(kiv_msg* msg);
void on_retry_timer(void* arg);

}  // namespace

// ---------------------------------------------------------------- kinds
const tarn_server_kind tarn_mds_server_kind = {
    "MDS",
    TARN_MDS_REQ_EPOCH,
    TARN_MDS_REQ_FLAGS,
    tarn_mds_status_errno,
    TARN_MDS_STATUS_MAX,
    tarn_mds_status_text,
    {TARN_MDS_EPOCH_UNKNOWN, TARN_MDS_NO_FS, TARN_MDS_DELAY},
    true,
    512,
    "MDS reported this process is a zombie",
};

const tarn_server_kind tarn_ds_server_kind = {
    "DS",
    TARN_DS_REQ_EPOCH,
    TARN_DS_REQ_FLAGS,
    tarn_ds_status_errno,
    TARN_DS_STATUS_MAX,
    tarn_ds_status_text,
    {TARN_DS_EPOCH_UNKNOWN, TARN_DS_NOT_MOUNTED, TARN_DS_DELAY},
    false,
    2048,
    "DS reported this process is a zombie",
};

// ---------------------------------------------------------------- mapping
bool tarn_call_is_retryable(const tarn_server_kind* kind, rpc_error error) {
    switch (error.kind) {
    case RPC_ERR_POSIX:
        return error.code == EAGAIN;
    case RPC_ERR_SERVER:
        return is_retryable_status(kind, error.code);
    default:
        return is_retryable_runtime_code(error.code);
    }
}

uint32_t tarn_call2posix_error(const tarn_server_kind* kind, rpc_error error) {
    switch (error.kind) {
    case RPC_ERR_NONE:
        return 0;
    case RPC_ERR_POSIX:
        return error.code;
    case RPC_ERR_SERVER:
        if (is_retryable_status(kind, error.code)) return EAGAIN;
        if (error.code == 0) return 0;
        KIV_BUG_ON(error.code > kind->status_max || kind->status_errno[error.code] == 0);
        return kind->status_errno[error.code];
    default:
        return is_retryable_runtime_code(error.code) ? EAGAIN : EIO;
    }
}

int tarn_call_format_error_line(const tarn_server_kind* kind, const char* rpc_name, const tarn_host_addr* target,
                                rpc_error error, char* buf, size_t size) {
    const uint32_t ip = target->ipv4;
    int n = snprintf(buf, size, "Error from RPC \"%s\" to %s %016lx (%u.%u.%u.%u:%u): %s (rc=%d, %s)",
                     rpc_name != nullptr ? rpc_name : "", kind->name, target->host_id, (ip >> 24) & 0xff,
                     (ip >> 16) & 0xff, (ip >> 8) & 0xff, ip & 0xff, unsigned(target->port), error_text(kind, error),
                     int(error.code), error.origin == RPC_ORIGIN_REMOTE ? "remote" : "local");
    KIV_BUG_ON(n < 0);
    if (size_t(n) >= size && size >= 4) memcpy(buf + size - 4, "...", 3);
    return n;
}

int tarn_call_error_log_level(const tarn_server_kind* kind, rpc_error error) {
    const bool quiet_code = error.code == 1 || error.code == 8;
    if (quiet_code && (kind->quiet_codes_any_kind || error.kind == RPC_ERR_SERVER)) return 4;
    return 1;
}

// ---------------------------------------------------------------- timing
tarn_call_timing tarn_call_default_timing(void) { return k_default_timing; }

tarn_call_timing tarn_call_get_timing(void) {
    return tarn_call_timing{g_backoff_base_ms.load(std::memory_order_relaxed),
                            g_backoff_cap_ms.load(std::memory_order_relaxed),
                            g_retry_tick_ms.load(std::memory_order_relaxed),
                            g_resolver_wait_ms.load(std::memory_order_relaxed)};
}

void tarn_call_set_timing(const tarn_call_timing* timing) {
    const tarn_call_timing t = timing != nullptr ? *timing : k_default_timing;
    g_backoff_base_ms.store(t.backoff_base_ms, std::memory_order_relaxed);
    g_backoff_cap_ms.store(t.backoff_cap_ms, std::memory_order_relaxed);
    g_retry_tick_ms.store(std::max<uint32_t>(t.retry_tick_ms, 1), std::memory_order_relaxed);
    g_resolver_wait_ms.store(t.resolver_wait_ms, std::memory_order_relaxed);
}

uint32_t tarn_call_next_delay(uint32_t retries, uint32_t prev_delay_ms, bool now, const tarn_call_timing* timing) {
    if (now) return 0;
    if (retries == 0) return timing->backoff_base_ms;
    const uint64_t doubled = uint64_t(std::max(prev_delay_ms, timing->backoff_base_ms)) * 2;
    return uint32_t(std::min<uint64_t>(doubled, timing->backoff_cap_ms));
}

// ---------------------------------------------------------------- attempts
void tarn_call_release_conn(tarn_call* call) {
    if (call->conn == nullptr) return;
    tarn_conn_pool_put_conn(call->conn);
    call->conn = nullptr;
}

uint32_t tarn_call_lane_of_thread(uint32_t count) {
    KIV_BUG_ON(count == 0);
    static std::atomic<uint32_t> next_thread{0};
    thread_local const uint32_t thread_number = next_thread.fetch_add(1, std::memory_order_relaxed);
    return thread_number % count;
}

void tarn_call_init_plumbing(tarn_call* call, const tarn_server_kind* kind, const tarn_call_ops* ops,
                             const tarn_endpoint_spec* endpoint, uint32_t reply_timeout_ms, kiv_process* process,
                             tarn_conn_pool* pool, uint32_t epoch, int (*epoch_cb)(void* ctx, uint32_t* epoch),
                             void* epoch_ctx) {
    call->kind = kind;
    call->ops = ops;
    call->endpoint = endpoint;
    call->reply_timeout_ms = reply_timeout_ms;
    call->process = process;
    call->pool = pool;
    call->epoch = epoch;
    call->epoch_cb = epoch_cb;
    call->epoch_ctx = epoch_ctx;
}

void tarn_call_set_rpc_name(tarn_call* call, const char* rpc_name) {
    KIV_BUG_ON(call->rpc_name != nullptr);
    call->rpc_name = rpc_name;
}

namespace {

kiv_msg* take_send_msg(tarn_call* call) {
    kiv_msg* msg = call->send_msg;
    call->send_msg = nullptr;
    return msg;
}

void send_job(void* arg) {
    auto* call = static_cast<tarn_call*>(arg);
    tarn_call_start_attempt(call, take_send_msg(call));
}

void send_dropped(void* arg) {
    auto* call = static_cast<tarn_call*>(arg);
    tarn_call_fail(call, take_send_msg(call), rpc_error_make(ESHUTDOWN, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
}

}  // namespace

void tarn_call_send(tarn_call* call, kiv_msg* msg) {
    KIV_BUG_ON(msg->priv != call || call->send_msg != nullptr);
    call->send_msg = msg;
    // Every outcome, a refused post included, reaches the caller as the
    // call's final state.
    if (kiv_post_in_job(call->process, &call->send_job, send_job, send_dropped, call) < 0) send_dropped(call);
}

int tarn_call_format_failure(const tarn_call* call, char* buf, size_t size) {
    KIV_BUG_ON(call->state != CALL_FAILED);
    return tarn_call_format_error_line(call->kind, call->rpc_name, &call->target, call->error, buf, size);
}

kiv_msg* tarn_call_copy_plain_request(kiv_msg* msg) {
    kiv_msg* copy = kiv_rpc_alloc_output_msg(msg->total_len);
    if (copy == nullptr) return nullptr;
    KIV_BUG_ON(msg->kept_len != msg->total_len);
    memcpy(copy->buf, msg->buf, msg->total_len);
    copy->priv = msg->priv;
    return copy;
}

void tarn_call_start_attempt(tarn_call* call, kiv_msg* msg) {
    KIV_BUG_ON(!kiv_in_loop_context());
    int rc = call->ops->prepare_attempt(call, msg);
    if (rc == TARN_ATTEMPT_PARKED) return;
    if (rc < 0) {
        tarn_call_handle_error(call, msg, rpc_error_make(uint32_t(-rc), RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
        return;
    }
    tarn_call_release_conn(call);
    const uint32_t key = next_slot_key();
    rc = tarn_conn_pool_get_conn(call->pool, &call->target, &key, sizeof key, call->endpoint, &call->conn);
    if (rc < 0) {
        call->conn = nullptr;
        tarn_call_handle_error(call, msg, rpc_error_make(uint32_t(-rc), RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
        return;
    }
    msg->timeout_ms = call->reply_timeout_ms;
    msg->done = on_reply;
    msg->priv = call;
    if (call->ops->on_sent != nullptr) call->ops->on_sent(call, msg);
    rc = tarn_conn_send_call(call->conn, msg);
    if (rc < 0) {
        // Nothing was sent, so no completion follows.
        if (call->ops->on_completed != nullptr) call->ops->on_completed(call, msg);
        tarn_call_handle_error(call, msg, rpc_error_make(uint32_t(-rc), RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
    }
}

void tarn_call_finish(tarn_call* call, kiv_msg* msg, call_state state) {
    if (call->retry != nullptr) {
        KIV_BUG_ON(timer_pending(&call->retry->timer));
        __kiv_free(call->retry);
        call->retry = nullptr;
    }
    kiv_free_msg(msg);
    call->ops->set_final_status(call, state);
}

void tarn_call_fail(tarn_call* call, kiv_msg* msg, rpc_error error) {
    call->error = error;
    tarn_call_finish(call, msg, CALL_FAILED);
}

void tarn_call_handle_error(tarn_call* call, kiv_msg* msg, rpc_error error) {
    const tarn_server_kind* kind = call->kind;

    char line[2048];
    tarn_call_format_error_line(kind, call->rpc_name, &call->target, error, line,
                                std::min(sizeof line, kind->log_line_bytes));
    kiv_log(tarn_call_error_log_level(kind, error), "%s", line);

    uint32_t flags = tarn_wire_get_u32(msg->buf, kind->flags_offset);
    const bool was_epoch_resend = (flags & TARN_REQ_FLAG_EPOCH_RESEND) != 0;
    if (was_epoch_resend) {
        flags &= ~TARN_REQ_FLAG_EPOCH_RESEND;
        tarn_wire_put_u32(msg->buf, kind->flags_offset, flags);
    }

    if (error.kind == RPC_ERR_SERVER && error.code == 1) {
        // The server does not know this client's epoch yet: announce it once
        // with the re-send flag. A server that says so again to the
        // announcement breaks the protocol.
        KIV_BUG_ON(was_epoch_resend);
        uint32_t epoch = 0;
        if (call->epoch_cb(call->epoch_ctx, &epoch) < 0) kiv_fatal("failed to get the current client epoch");
        if (epoch != call->epoch) kiv_fatal("the client epoch has changed");
        tarn_wire_put_u32(msg->buf, kind->flags_offset, flags | TARN_REQ_FLAG_EPOCH_RESEND);
        tarn_wire_put_u32(msg->buf, kind->epoch_offset, epoch);
        call->retry_now = 1;
    } else if (error.kind == RPC_ERR_SERVER && error.code == 2) {
        kiv_fatal("%s", kind->zombie_message);
    }

    if (call->ops->on_failed_attempt != nullptr) call->ops->on_failed_attempt(call, error);

    // Cancellation wins over every other outcome, so it is judged before
    // the call could give up with the attempt's own error.
    if (call->ops->is_cancelled(call)) {
        tarn_call_fail(call, msg, rpc_error_make(ECANCELED, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
        return;
    }

    if (!call->retry_now) {
        if (call->retry_timeout_ms == TARN_RETRY_NEVER || !tarn_call_is_retryable(kind, error)) {
            tarn_call_fail(call, msg, error);
            return;
        }
        if (call->retry != nullptr && call->retry_timeout_ms != TARN_RETRY_FOREVER) {
            timespec now;
            tarn_get_monotonic_time(&now);
            if (tarn_timespec_cmp(&now, &call->retry->deadline) >= 0) {
                kiv_log(1, "Still failing after %u retries, giving up", call->retry->retries);
                tarn_call_fail(call, msg, error);
                return;
            }
        }
    }

    // The next attempt resolves its server again.
    tarn_call_release_conn(call);
    call->target = tarn_host_addr{};

    if (call->retry == nullptr) {
        call->retry =
            static_cast<tarn_retry_state*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(tarn_retry_state)));
        tarn_get_monotonic_time(&call->retry->deadline);
        tarn_add_duration(&call->retry->deadline, call->retry_timeout_ms);
        init_timer(call->process, &call->retry->timer, on_retry_timer, call);
    }
    tarn_retry_state* retry = call->retry;

    kiv_msg* copy = call->ops->copy_request(call, msg);
    if (copy == nullptr) {
        tarn_call_fail(call, msg, rpc_error_make(ENOMEM, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
        return;
    }
    retry->msg = copy;
    kiv_free_msg(msg);

    const tarn_call_timing timing = tarn_call_get_timing();
    retry->delay_ms = tarn_call_next_delay(retry->retries, retry->delay_ms, call->retry_now != 0, &timing);
    call->retry_now = 0;

    tarn_get_monotonic_time(&retry->next_attempt);
    tarn_add_duration(&retry->next_attempt, retry->delay_ms);
    mod_timer(&retry->timer, std::min(retry->delay_ms, timing.retry_tick_ms));
    retry->retries++;
    kiv_log(1, "Scheduled retry #%u in %ldms", retry->retries, long(retry->delay_ms));
}

namespace {

void on_reply(kiv_msg* msg) {
    auto* call = static_cast<tarn_call*>(msg->priv);
    if (call->ops->on_completed != nullptr) call->ops->on_completed(call, msg);

    rpc_error error{};
    const uint32_t code = msg->error & KIV_E_CODE_MASK;
    if (code != 0) {
        error = rpc_error_make(code, RPC_ERR_RUNTIME, RPC_ORIGIN_REMOTE);
    } else {
        kiv_msg* reply = msg->reply;
        const uint32_t kept = reply != nullptr ? reply->kept_len : 0;
        tarn_reply_hdr hdr{};
        if (tarn_reply_hdr_read(reply != nullptr ? reply->buf : nullptr, kept, &hdr) != 0) {
            const uint32_t length = kept >= 4 ? tarn_wire_get_u32(reply->buf, TARN_MSG_LENGTH) : kept;
            kiv_log(1, "Response is too short: %u", std::min(length, kept));
            error = rpc_error_make(KIV_E_PROTO, RPC_ERR_RUNTIME, RPC_ORIGIN_LOCAL);
        } else if (hdr.status == 0) {
            const int handled = call->ops->run_handler(call, true, reply, &error);
            if (handled != 0) {
                tarn_call_finish(call, msg, CALL_DONE);
                return;
            }
            KIV_BUG_ON(error.kind == RPC_ERR_NONE);
        } else {
            const int handled = call->ops->run_handler(call, false, reply, &error);
            if (handled != 0)
                error = rpc_error_make(hdr.status, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE);
            else
                KIV_BUG_ON(error.kind == RPC_ERR_NONE);
        }
    }
    tarn_call_handle_error(call, msg, error);
}

void on_retry_timer(void* arg) {
    auto* call = static_cast<tarn_call*>(arg);
    tarn_retry_state* retry = call->retry;
    if (call->ops->is_cancelled(call)) {
        tarn_call_fail(call, retry->msg, rpc_error_make(ECANCELED, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
        return;
    }
    timespec now;
    tarn_get_monotonic_time(&now);
    const uint64_t left = remaining_ms(now, retry->next_attempt);
    if (left > 0) {
        // Long waits are ticked through, so a cancellation is seen within
        // one tick.
        mod_timer(&retry->timer, std::min<uint64_t>(left, tarn_call_get_timing().retry_tick_ms));
        return;
    }
    tarn_call_start_attempt(call, retry->msg);
}

}  // namespace

// The lock client: the client object, the log hook and the call that carries
// one request from the calling thread to the event loop and back.
#include "ls_client/ls_client.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "kiv/auth.h"
#include "ls_client/ls_client_int.h"
#include "ls_client/ls_wire.h"

namespace {

const char* const k_tag = "ls_client";

// Set before clients are used; read on every thread that logs.
ls_log_fn g_log_hook = nullptr;

class CallLock {
   public:
    explicit CallLock(ls_call_ctx* c) : c_(c) { KIV_BUG_ON(pthread_mutex_lock(&c_->mutex) != 0); }
    ~CallLock() { KIV_BUG_ON(pthread_mutex_unlock(&c_->mutex) != 0); }
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;

   private:
    ls_call_ctx* c_;
};

// Frees the request and wakes the caller. The caller may release the call
// as soon as the state is stored, so nothing here touches it afterwards.
void ls_call_done(ls_call_ctx* call, uint32_t state) {
    kiv_free_msg(call->msg);
    call->msg = nullptr;
    CallLock lock(call);
    call->state = state;
    KIV_BUG_ON(pthread_cond_signal(&call->cond) != 0);
}

void ls_resp_handler(kiv_msg* msg) {
    auto* call = static_cast<ls_call_ctx*>(msg->priv);
    uint32_t state = LS_CALL_FAILED;
    const uint32_t err = msg->error & KIV_E_CODE_MASK;
    const kiv_msg* rep = msg->reply;
    if (err != 0 || rep == nullptr) {
        LS_LOG(0, "RPC call failed: %d (%s)", int(err), kiv_strerror(err));
    } else {
        // The runtime hands over a reply of the announced length; trust
        // neither that nor the announced length beyond what is held.
        const uint32_t announced = rep->kept_len >= 4 ? ls_wire_get_u32(rep->buf, LS_HDR_LENGTH) : 0;
        const uint32_t len = announced < rep->kept_len ? announced : rep->kept_len;
        uint32_t handling = 0;
        if (len < LS_REPLY_MIN_BYTES) {
            LS_LOG(0, "RPC call resp is too short: %d", int(announced));
        } else if ((handling = ls_wire_get_u32(rep->buf, LS_REPLY_HANDLING_ERR)) != 0) {
            LS_LOG(0, "lock server failed to handle request: %d (%s)", int(handling), strerror(int(handling)));
        } else {
            LS_LOG(3, "RPC call done. msg %p type %d", static_cast<void*>(msg),
                   int(ls_wire_get_u32(msg->buf, LS_HDR_TYPE)));
            int rc = 0;
            if (call->handler != nullptr) {
                const ls_reply r{rep->buf, len};
                rc = call->handler(call, &r);
            }
            if (rc != 0)
                LS_LOG(0, "There is an error while handling the response: %d (%s)", rc, strerror(rc < 0 ? -rc : rc));
            else
                state = LS_CALL_DONE;
        }
    }
    ls_call_done(call, state);
}

void ls_call_job_run(ls_call_ctx* call);

void ls_call_retry_fire(void* arg) { ls_call_job_run(static_cast<ls_call_ctx*>(arg)); }

// The retry record is only ever freed on the event loop (here, possibly
// from inside its own timer's handler, where del_timer_sync returns at once
// and the runtime does not touch the timer after the handler) or by
// ls_call_fini, whose del_timer_sync waits out a running handler.
void drop_retry(ls_call_ctx* call) {
    if (call->retry == nullptr) return;
    del_timer_sync(&call->retry->timer);
    __kiv_free(call->retry);
    call->retry = nullptr;
}

void ls_call_job_run(ls_call_ctx* call) {
    ls_client* c = call->client;
    kiv_msg* msg = call->msg;
    msg->priv = call;
    int rc;
    if (c->cfg.direct_addr.kind != 0) {
        LS_LOG(1, "Using direct tarn ls address");
        ls_server_entry server{};
        server.host_id = c->cfg.direct_host_id;
        server.fs_id = 0;
        server.addr = c->cfg.direct_addr;
        // The call holds this connection alone; it closes with the call.
        rc = ls_client_conn_create(c->process, &c->engine, &server, &call->conn);
    } else {
        rc = ls_client_conn_pool_get_conn(c->pool, c, call->fs_id, &call->conn);
    }
    if (rc == 0) {
        drop_retry(call);
        kiv_rpc_get_new_xid(&c->engine, msg->buf + LS_HDR_XID);
        kiv_rpc_call(call->conn->ep, msg);
        return;
    }
    if (rc == -ENOENT) {
        if (call->retry == nullptr) {
            call->retry =
                static_cast<ls_call_retry*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(ls_call_retry)));
            init_timer(c->process, &call->retry->timer, ls_call_retry_fire, call);
        }
        call->retry->msg = msg;
        if (call->retry->count < LS_MAX_RETRIES) {
            call->retry->count++;
            LS_LOG(3, "Scheduling retry #%u in %dms for fs_id %lx (error: %d)", call->retry->count,
                   int(LS_RETRY_MS), (unsigned long)call->fs_id, rc);
            mod_timer(&call->retry->timer, LS_RETRY_MS);
            return;
        }
        LS_LOG(1, "Max retries (%d) reached for fs_id %lx, giving up", int(LS_MAX_RETRIES),
               (unsigned long)call->fs_id);
    }
    LS_LOG(0, "Failed to get ls client conn: %d (%s)", rc, strerror(-rc));
    ls_call_done(call, LS_CALL_FAILED);
}

int ls_call_job(void* arg) {
    ls_call_job_run(static_cast<ls_call_ctx*>(arg));
    return 0;
}

}  // namespace

// ---------------------------------------------------------------- logging
ls_log_fn ls_log_hook(void) { return __atomic_load_n(&g_log_hook, __ATOMIC_ACQUIRE); }

int ls_log_runtime_level(int level) {
    static const int k_map[] = {0, 1, 2, 4, 7};
    if (level < 0) return 0;
    return level > 4 ? 7 : k_map[level];
}

void ls_log_runtime(int level, const char* fmt, ...) {
    const int mapped = ls_log_runtime_level(level);
    if (mapped > __kiv_log_level) return;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    kiv_log(mapped, "%s", line);
}

void ls_client_custom_log_init(ls_log_fn fn) { __atomic_store_n(&g_log_hook, fn, __ATOMIC_RELEASE); }
void ls_client_custom_log_fini(void) { __atomic_store_n(&g_log_hook, nullptr, __ATOMIC_RELEASE); }

// ---------------------------------------------------------------- client
const kiv_rpc_params ls_endpoint_params = {24, LS_MAX_MSG, 5000, 50, 20000, 3};

int ls_client_create(const ls_client_cfg* cfg, kiv_process* p, ls_client** out) {
    if (cfg == nullptr || p == nullptr || out == nullptr) {
        LS_LOG(0, "Invalid argument: no configuration, process or output");
        return -1;
    }
    auto* c = static_cast<ls_client*>(__kiv_zmalloc(k_tag, KIV_POS, 0, sizeof(ls_client)));
    if (c == nullptr) {
        LS_LOG(0, "Failed to allocate ls client");
        return -1;
    }
    c->process = p;
    c->cfg = *cfg;
    if (cfg->cluster != nullptr) c->cluster = __kiv_strdup(k_tag, KIV_POS, KIV_MEM_NOFAIL, cfg->cluster);
    c->cfg.cluster = c->cluster;
    if (kiv_rpc_engine_init(p, &c->engine, KIV_RPC_ENGINE_CLIENT) != 0) {
        LS_LOG(0, "Failed to initialize RPC engine");
        __kiv_free(c->cluster);
        __kiv_free(c);
        return -1;
    }
    c->engine.local_id = cfg->local_id;
    c->engine.flags |= 0x1;
    kiv_auth_domain* domain = kiv_auth_create_domain();
    kiv_auth_init_domain(domain, c->cluster != nullptr ? c->cluster : "", 0, 0);
    // The engine owns the domain from here on and frees it with itself.
    kiv_rpc_set_auth_domain(&c->engine, domain);
    if (ls_client_conn_pool_create(c, &c->pool) != 0) {
        LS_LOG(0, "Failed to create client conn pool");
        kiv_rpc_engine_fini(&c->engine);
        __kiv_free(c->cluster);
        __kiv_free(c);
        return -1;
    }
    if (ls_resolver_create(p, c->cluster, &c->resolver) != 0) {
        LS_LOG(0, "Failed to initialize lock server resolver");
        ls_client_conn_pool_destroy(c->pool);
        kiv_rpc_engine_fini(&c->engine);
        __kiv_free(c->cluster);
        __kiv_free(c);
        return -1;
    }
    *out = c;
    return 0;
}

void ls_client_destroy(ls_client* c) {
    if (c == nullptr) return;
    ls_resolver_destroy(c->resolver);
    ls_client_conn_pool_destroy(c->pool);
    kiv_rpc_engine_fini(&c->engine);
    __kiv_free(c->cluster);
    __kiv_free(c);
}

// ---------------------------------------------------------------- calls
kiv_msg* ls_call_create_rpc_msg(uint32_t type, uint32_t length) {
    if (length < LS_HDR_BYTES || length > LS_MAX_MSG) return nullptr;
    kiv_msg* m = kiv_rpc_alloc_output_msg(length);
    if (m == nullptr) return nullptr;
    ls_wire_put_u32(m->buf, LS_HDR_LENGTH, length);
    ls_wire_put_u32(m->buf, LS_HDR_TYPE, type);
    ls_wire_put_u64(m->buf, LS_HDR_VERSION, LS_WIRE_VERSION);
    m->done = ls_resp_handler;
    return m;
}

void ls_call_init(ls_call_ctx* call, ls_client* client, uint64_t fs_id) {
    KIV_BUG_ON(client == nullptr);
    memset(call, 0, sizeof *call);
    KIV_BUG_ON(pthread_mutex_init(&call->mutex, nullptr) != 0);
    KIV_BUG_ON(pthread_cond_init(&call->cond, nullptr) != 0);
    call->state = LS_CALL_IDLE;
    call->client = client;
    call->fs_id = fs_id;
}

void ls_call(kiv_msg* msg, ls_call_ctx* call) {
    KIV_BUG_ON(call->client == nullptr || call->state != LS_CALL_IDLE);
    call->msg = msg;
    {
        CallLock lock(call);
        call->state = LS_CALL_RUNNING;
    }
    // A loop that no longer runs never starts the job: fail the call here
    // rather than leave its caller waiting for ever.
    if (kiv_call_in_job(call->client->process, ls_call_job, call) != 0) {
        LS_LOG(0, "Failed to queue lock request: event loop not running");
        ls_call_done(call, LS_CALL_FAILED);
    }
}

void ls_call_wait(ls_call_ctx* call) {
    // Only the event loop completes a call: waiting on it would never end.
    KIV_BUG_ON(kiv_in_loop_context());
    CallLock lock(call);
    while (call->state == LS_CALL_RUNNING) KIV_BUG_ON(pthread_cond_wait(&call->cond, &call->mutex) != 0);
}

void ls_call_fini(ls_call_ctx* call) {
    if (call->retry != nullptr) {
        // Takes the loop lock: a handler still running on the loop has
        // returned before the record goes.
        del_timer_sync(&call->retry->timer);
        __kiv_free(call->retry);
        call->retry = nullptr;
    }
    if (call->conn != nullptr) ls_client_conn_unref(call->conn);
    call->conn = nullptr;
    KIV_BUG_ON(pthread_cond_destroy(&call->cond) != 0);
    KIV_BUG_ON(pthread_mutex_destroy(&call->mutex) != 0);
}

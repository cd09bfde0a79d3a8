// Discovery handles and the public operations.
#include "discovery/discov.h"

#include <errno.h>
#include <string.h>

#include "discovery/discov_internal.h"
#include "discovery/kvstore_msg.h"
#include "discovery/mds_conn.h"
#include "discovery/stat.h"
#include "discovery/tasks/tasks.h"
#include "kiv/base.h"
#include "kiv/loop.h"

namespace {

const char* const k_tag = "discov";

void ctx_put(discov_ctx* ctx) {
    uint32_t old = __atomic_fetch_sub(&ctx->refs, 1u, __ATOMIC_ACQ_REL);
    KIV_BUG_ON(old == 0);
    if (old != 1) return;
    KIV_BUG_ON(ctx->conn != nullptr);
    __kiv_free(ctx->cluster);
    __kiv_free(ctx);
}

void handle_get(discov* d) {
    uint32_t old = __atomic_fetch_add(&d->refs, 1u, __ATOMIC_RELAXED);
    KIV_BUG_ON(old == 0);
}

void handle_put(discov* d) {
    uint32_t old = __atomic_fetch_sub(&d->refs, 1u, __ATOMIC_ACQ_REL);
    KIV_BUG_ON(old == 0);
    if (old != 1) return;
    ctx_put(d->ctx);
    __kiv_free(d->ns);
    __kiv_free(d);
}

void close_conn_in_loop(discov_ctx* ctx) {
    ctx->conn_closed = true;
    if (ctx->conn == nullptr) return;
    mds_conn* conn = ctx->conn;
    ctx->conn = nullptr;
    mds_conn_close(conn);
}

// Runs one operation: opens the connection if needed (a failure there is
// returned uncounted), then counts and times `body`.
template <typename Body>
int run_op(discov* d, discov_op op, Body&& body) {
    KIV_BUG_ON(!kiv_can_co_wait());
    mds_conn* conn = nullptr;
    int rc = dsc_discov_open_conn(d, &conn);
    if (rc != 0) return rc;
    handle_get(d);
    const uint64_t start = discov_stats_op_start(op);
    rc = body();
    discov_stats_op_complete(op, rc, start);
    handle_put(d);
    return rc;
}

bool is_set(const char* s) { return s != nullptr && s[0] != '\0'; }

void check_writable_svc(const discov* d, const discov_svc* svc) {
    KIV_BUG_ON(svc == nullptr);
    KIV_BUG_ON(!is_set(svc->name));
    KIV_BUG_ON(!kvstore_key_is_valid_key(svc->id));
    KIV_BUG_ON(!is_set(svc->addr));
    KIV_BUG_ON(d->ctx->mode == DISCOV_MODE_READ_ONLY);
}

}  // namespace

int dsc_discov_open_conn(discov* d, mds_conn** out) {
    discov_ctx* ctx = d->ctx;
    if (ctx->conn_closed) return -ECANCELED;
    if (ctx->conn == nullptr) {
        int rc = mds_conn_create(ctx->cluster, ctx->mode == DISCOV_MODE_RPC, ctx->process, &ctx->conn);
        if (rc != 0) {
            ctx->conn = nullptr;
            return rc;
        }
    }
    *out = ctx->conn;
    return 0;
}

int dsc_discov_conn(discov* d, mds_conn** out) {
    discov_ctx* ctx = d->ctx;
    if (ctx->conn_closed || ctx->conn == nullptr) return -ECANCELED;
    *out = ctx->conn;
    return 0;
}

void dsc_discov_close_conn(discov* d) { close_conn_in_loop(d->ctx); }

int discov_create(const char* cluster, const char* namespace_key, uint32_t mode, kiv_process* process,
                  discov** out) {
    KIV_BUG_ON(!is_set(cluster));
    KIV_BUG_ON(namespace_key != nullptr && !kvstore_key_is_valid_key(namespace_key));
    KIV_BUG_ON(out == nullptr);
    auto* ctx = static_cast<discov_ctx*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(discov_ctx)));
    ctx->cluster = __kiv_strdup(k_tag, KIV_POS, KIV_MEM_NOFAIL, cluster);
    ctx->mode = mode;
    ctx->process = process;
    __atomic_store_n(&ctx->handles, 1u, __ATOMIC_RELAXED);
    __atomic_store_n(&ctx->refs, 1u, __ATOMIC_RELAXED);
    auto* d = static_cast<discov*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(discov)));
    d->ctx = ctx;
    __atomic_store_n(&d->refs, 1u, __ATOMIC_RELAXED);
    d->ns = namespace_key ? __kiv_strdup(k_tag, KIV_POS, KIV_MEM_NOFAIL, namespace_key) : nullptr;
    *out = d;
    return 0;
}

void discov_destroy(discov* d) {
    if (d == nullptr) return;
    discov_ctx* ctx = d->ctx;
    uint32_t old = __atomic_fetch_sub(&ctx->handles, 1u, __ATOMIC_ACQ_REL);
    KIV_BUG_ON(old == 0);
    if (old == 1) {
        // A context without a process never had a connection.
        if (ctx->process != nullptr) {
            kiv_move_to_coroutine(ctx->process);
            close_conn_in_loop(ctx);
            kiv_move_from_coroutine();
        } else {
            KIV_BUG_ON(ctx->conn != nullptr);
            ctx->conn_closed = true;
        }
    }
    handle_put(d);
}

discov* discov_narrow_namespace(discov* d, const char* sub) {
    KIV_BUG_ON(!kvstore_key_is_valid_key(sub));
    uint32_t old = __atomic_fetch_add(&d->ctx->handles, 1u, __ATOMIC_RELAXED);
    KIV_BUG_ON(old == 0);
    __atomic_fetch_add(&d->ctx->refs, 1u, __ATOMIC_RELAXED);
    auto* n = static_cast<discov*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(discov)));
    n->ctx = d->ctx;
    __atomic_store_n(&n->refs, 1u, __ATOMIC_RELAXED);
    n->ns = d->ns ? __kiv_asprintf(k_tag, KIV_POS, KIV_MEM_NOFAIL, "%s/%s", d->ns, sub)
                  : __kiv_strdup(k_tag, KIV_POS, KIV_MEM_NOFAIL, sub);
    return n;
}

const char* discov_get_namespace(const discov* d) { return d->ns; }

void discov_set_stats_registry(kiv_stats_registry* registry) { discov_stats_create(registry); }

bool discov_is_valid_instance_id(const char* id) { return kvstore_key_is_valid_key(id); }

bool discov_is_valid_address(const char* text) {
    if (text == nullptr) return false;
    kiv_netaddr addr = {};
    return kiv_parse_netaddr_port(text, "0", &addr) == 0 && addr.port == 0;
}

int discov_co_get_local_private_addr(discov* d, char* buf, size_t size) {
    KIV_BUG_ON(buf == nullptr && size != 0);
    return run_op(d, DISCOV_OP_GET_LOCAL_ADDR, [&] { return dsc_co_get_local_addr(d, buf, size); });
}

int discov_co_register_svc(discov* d, const discov_svc* svc) {
    check_writable_svc(d, svc);
    return run_op(d, DISCOV_OP_REGISTER, [&] { return dsc_co_register_svc(d, svc); });
}

int discov_co_unregister_svc(discov* d, const char* id, const uint64_t* expected_version) {
    KIV_BUG_ON(!kvstore_key_is_valid_key(id));
    KIV_BUG_ON(d->ctx->mode == DISCOV_MODE_READ_ONLY);
    return run_op(d, DISCOV_OP_UNREGISTER, [&] { return dsc_co_unregister_svc(d, id, expected_version); });
}

int discov_co_get_svc(discov* d, const char* id, discov_svc* out) {
    KIV_BUG_ON(!kvstore_key_is_valid_key(id));
    KIV_BUG_ON(out == nullptr);
    return run_op(d, DISCOV_OP_GET_SVC, [&] { return dsc_co_get_svc(d, id, out); });
}

int discov_co_update_svc(discov* d, const discov_svc* svc) {
    check_writable_svc(d, svc);
    return run_op(d, DISCOV_OP_UPDATE_SVC, [&] { return dsc_co_update_svc(d, svc); });
}

int discov_co_get_svc_map(discov* d, discov_svc_map** out) {
    KIV_BUG_ON(out == nullptr);
    return run_op(d, DISCOV_OP_GET_SVC_MAP, [&] {
        int rc = dsc_co_get_svc_map(d, out);
        if (rc == 0) discov_stats_update_svc_map((*out)->count, (*out)->generation);
        return rc;
    });
}

int discov_co_get_svc_map_why(discov* d, discov_svc_map** out, char** why) {
    KIV_BUG_ON(out == nullptr || why == nullptr);
    *why = nullptr;
    std::string cause;
    int rc = run_op(d, DISCOV_OP_GET_SVC_MAP, [&] {
        int r = dsc_co_get_svc_map(d, out, &cause);
        if (r == 0) discov_stats_update_svc_map((*out)->count, (*out)->generation);
        return r;
    });
    if (rc != 0 && !cause.empty()) *why = __kiv_strdup("discov", KIV_POS, KIV_MEM_NOFAIL, cause.c_str());
    return rc;
}

int discov_co_watch_svc_map(discov* d, uint64_t generation, uint32_t timeout_s, discov_svc_map** out) {
    KIV_BUG_ON(out == nullptr);
    // The reply time-out (time-out + 10 s) must fit the message's 16 bits.
    if (timeout_s == 0 || timeout_s > DSC_WATCH_MAX_TIMEOUT_S) return -EINVAL;
    return run_op(d, DISCOV_OP_WATCH_SVC_MAP, [&] {
        int rc = dsc_co_watch_svc_map(d, generation, timeout_s, out);
        if (rc == 0)
            discov_stats_update_svc_map_generation((*out)->generation);
        else if (rc == -ETIMEDOUT)
            discov_stats_watcher_timeout();
        return rc;
    });
}

// Registry connection and tasks.
#include "discovery/mds_conn.h"

#include <errno.h>

#include "discovery/stat.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/mds.h"
#include "kiv/rpc.h"

namespace {

const char* const k_tag = "discov_conn";
constexpr uint64_t k_reconnect_ms = 5000;
const kiv_rpc_params k_registry_params = {24, 1048576, 5000, 1000, 60000, 0};

}  // namespace

struct mds_conn {
    kiv_process* process;
    bool connected;
    kiv_rpc_engine engine;
    kiv_mds_client client;
    kiv_timer timer;
    // Tasks waiting for the connection, oldest first.
    mds_conn_task* wait_head;
    mds_conn_task* wait_tail;
    bool closing;
    uint32_t refcount;  // the creator plus one per live task
};

struct mds_conn_task {
    mds_conn* conn;
    int32_t wait_ms;
    void (*job_fn)(void*);
    void* job_arg;
    mds_conn_task* wait_prev;
    mds_conn_task* wait_next;
    bool waiting;  // linked into the connection's wait list
    kiv_timer wait_timer;
    kiv_job job;
    kiv_co_mutex mutex;
    kiv_co_cond cond;
    bool done;
    int32_t result;
};

namespace {

void wait_list_append(mds_conn* c, mds_conn_task* t) {
    KIV_BUG_ON(t->waiting);
    t->wait_prev = c->wait_tail;
    t->wait_next = nullptr;
    if (c->wait_tail)
        c->wait_tail->wait_next = t;
    else
        c->wait_head = t;
    c->wait_tail = t;
    t->waiting = true;
}

void wait_list_remove(mds_conn* c, mds_conn_task* t) {
    if (!t->waiting) return;
    if (t->wait_prev)
        t->wait_prev->wait_next = t->wait_next;
    else
        c->wait_head = t->wait_next;
    if (t->wait_next)
        t->wait_next->wait_prev = t->wait_prev;
    else
        c->wait_tail = t->wait_prev;
    t->wait_prev = t->wait_next = nullptr;
    t->waiting = false;
}

void conn_ref(mds_conn* c) {
    uint32_t old = __atomic_fetch_add(&c->refcount, 1u, __ATOMIC_RELAXED);
    KIV_BUG_ON(old == 0);
}

void conn_unref(mds_conn* c) {
    uint32_t old = __atomic_fetch_sub(&c->refcount, 1u, __ATOMIC_ACQ_REL);
    KIV_BUG_ON(old == 0);
    if (old != 1) return;
    KIV_BUG_ON(!c->closing);
    kiv_rpc_engine_fini(&c->engine);
    __kiv_free(c);
}

void on_conn_timer(void* arg) {
    auto* c = static_cast<mds_conn*>(arg);
    KIV_BUG_ON(c->closing);
    if (c->connected) return;
    if (c->client.selected.kind == KIV_AF_NONE) {
        mds_select(&c->client, 1);
        if (c->client.selected.kind == KIV_AF_NONE) {
            mod_timer(&c->timer, k_reconnect_ms);
            kiv_trace(7, __func__, "MDS is not resolved, delaying");
            return;
        }
    }
    kiv_rpc_connect(c->client.conn);
    discov_stats_conn_retry();
    if (c->client.conn->state == KIV_RPC_STATE_CONNECTED) return;
    mod_timer(&c->timer, k_reconnect_ms);
    kiv_trace(7, __func__, "MDS is not ready, delaying");
}

void on_conn_failed(void* arg) {
    auto* c = static_cast<mds_conn*>(arg);
    kiv_log(1, "Failed to establish connection to MDS");
    c->connected = false;
    discov_stats_conn_failed();
    if (!c->closing) mod_timer(&c->timer, k_reconnect_ms);
}

void on_conn_established(void* arg) {
    auto* c = static_cast<mds_conn*>(arg);
    if (c->closing) return;
    c->connected = true;
    discov_stats_conn_established();
    while (mds_conn_task* t = c->wait_head) {
        wait_list_remove(c, t);
        del_timer_sync(&t->wait_timer);
        kiv_job_wakeup(&t->job);
    }
}

void on_task_conn_wait_timeout(void* arg) {
    auto* t = static_cast<mds_conn_task*>(arg);
    wait_list_remove(t->conn, t);
    mds_conn_task_finish(t, -ETIMEDOUT);
}

// Runs `fn` in loop context: inline when the caller already is (a coroutine,
// a job or evloop), otherwise with the loop lock taken for its duration.
template <typename Fn>
void in_loop(kiv_process* p, Fn&& fn) {
    kiv_move_to_coroutine(p);
    fn();
    kiv_move_from_coroutine();
}

}  // namespace

int mds_conn_create(const char* cluster, bool rpc_flag, kiv_process* process, mds_conn** out) {
    auto* c = static_cast<mds_conn*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(mds_conn)));
    c->process = process;
    int rc = kiv_rpc_engine_init(process, &c->engine, KIV_RPC_ENGINE_REGISTRY);
    if (rc < 0) {
        __kiv_free(c);
        return rc;
    }
    c->client.on_established = on_conn_established;
    c->client.on_failed = on_conn_failed;
    rc = kiv_init_client_env(cluster, &c->engine, &c->client, c);
    if (rc < 0) {
        kiv_rpc_engine_fini(&c->engine);
        __kiv_free(c);
        return rc;
    }
    mds_client_configure_rpc(&c->client, &k_registry_params);
    if (rpc_flag)
        c->client.conn->flags |= KIV_RPC_EP_REGISTRY_MODE1;
    else
        c->client.conn->flags &= ~uint32_t{KIV_RPC_EP_REGISTRY_MODE1};
    __atomic_store_n(&c->refcount, 1u, __ATOMIC_RELAXED);
    init_timer(process, &c->timer, on_conn_timer, c);
    mod_timer(&c->timer, 0);
    *out = c;
    return 0;
}

void mds_conn_close(mds_conn* c) {
    in_loop(c->process, [c] {
        KIV_BUG_ON(c->closing);
        // Closing goes first: from here on neither the failed hook nor
        // anything else re-arms the timer, and jobs that were already woken
        // find no client and end with -ECANCELED.
        c->closing = true;
        del_timer_sync(&c->timer);
        mds_client_fini(&c->client);
        c->connected = false;
        while (mds_conn_task* t = c->wait_head) {
            wait_list_remove(c, t);
            del_timer_sync(&t->wait_timer);
            mds_conn_task_finish(t, -ECANCELED);
        }
    });
    conn_unref(c);
}

bool mds_conn_is_closing(const mds_conn* c) { return c->closing; }

mds_conn_task* mds_conn_task_create(mds_conn* c, int32_t wait_ms, void (*job)(void*), void* arg) {
    KIV_BUG_ON(c->closing);
    KIV_BUG_ON(wait_ms < 0);
    auto* t = static_cast<mds_conn_task*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(mds_conn_task)));
    conn_ref(c);
    t->conn = c;
    t->wait_ms = wait_ms;
    t->job_fn = job;
    t->job_arg = arg;
    kiv_job_init(c->process, &t->job, job, arg);
    init_timer(c->process, &t->wait_timer, on_task_conn_wait_timeout, t);
    kiv_co_mutex_init(&t->mutex);
    kiv_co_cond_init(&t->cond, &t->mutex);
    return t;
}

int mds_conn_co_task_run(mds_conn_task* t) {
    KIV_BUG_ON(!kiv_can_co_wait());
    mds_conn* c = t->conn;
    KIV_BUG_ON(c->closing);
    if (c->connected) {
        kiv_job_wakeup(&t->job);
    } else {
        wait_list_append(c, t);
        mod_timer(&t->wait_timer, static_cast<uint64_t>(t->wait_ms));
    }

    kiv_co_mutex_lock(&t->mutex);
    while (!t->done) kiv_co_cond_wait_timeout(&t->cond, nullptr);
    const int result = t->result;
    kiv_co_mutex_unlock(&t->mutex);

    // Every way of finishing a task takes it off the wait list and stops its
    // timer first; doing it again here keeps the free below safe regardless.
    wait_list_remove(c, t);
    del_timer_sync(&t->wait_timer);
    kiv_co_cond_fini(&t->cond);
    kiv_co_mutex_fini(&t->mutex);
    __kiv_free(t);
    conn_unref(c);
    return result;
}

void mds_conn_task_finish(mds_conn_task* t, int result) {
    kiv_co_mutex_lock(&t->mutex);
    KIV_BUG_ON(t->done);
    t->done = true;
    t->result = result;
    kiv_co_cond_signal(&t->cond);
    kiv_co_mutex_unlock(&t->mutex);
}

kiv_mds_client* mds_conn_get_client(mds_conn_task* t) { return t->conn->closing ? nullptr : &t->conn->client; }

// RPC transport, common part: the per-process delivery queue, messages and
// engines (xid generation and the table of pending requests).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <unordered_map>

#include "rpc_internal.h"

// ---------------------------------------------------------------- per process

namespace {

std::mutex g_procs_mu;
std::unordered_map<kiv_proc_core*, rpc_proc*>* g_procs;

void rp_job_fn(void* arg);

// Runs at kiv_process_fini, in loop context, after evloop has stopped: no
// completion will ever be delivered, so everything still tied to the
// process is cut loose and the queue is emptied without running it.
void rp_closer(kiv_proc_closer* c) {
    auto* rp = reinterpret_cast<rpc_proc*>(c);
    while (rpc_node* n = rp->nodes.head) {
        rp->nodes.remove(n);
        n->gone(n);
    }
    while (rpc_event* ev = rp->q.pop_front()) {
        ev->queued = false;
        ev->release(ev);
    }
    {
        std::lock_guard<std::mutex> g(g_procs_mu);
        g_procs->erase(rp->core);
    }
    rp->~rpc_proc();
    __kiv_free(rp);
}

void rp_job_fn(void* arg) {
    auto* rp = static_cast<rpc_proc*>(arg);
    rp_enter(rp);
    rp_leave(rp);
}

}  // namespace

rpc_proc* rpc_proc_get(kiv_process* p) {
    kiv_proc_core* core = p->core;
    KIV_BUG_ON(!core);
    {
        std::lock_guard<std::mutex> g(g_procs_mu);
        if (!g_procs) g_procs = new std::unordered_map<kiv_proc_core*, rpc_proc*>();
        auto it = g_procs->find(core);
        if (it != g_procs->end()) return it->second;
    }
    void* mem = __kiv_zmalloc("rpc_proc", KIV_POS, KIV_MEM_NOFAIL, sizeof(rpc_proc));
    auto* rp = new (mem) rpc_proc();
    rp->p = p;
    rp->core = core;
    rp->closer.fn = rp_closer;
    kiv_job_init(p, &rp->job, rp_job_fn, rp);
    kiv_proc_closer_add(p, &rp->closer);
    std::lock_guard<std::mutex> g(g_procs_mu);
    (*g_procs)[core] = rp;
    return rp;
}

void rp_push(rpc_proc* rp, rpc_event* ev) {
    KIV_BUG_ON(ev->queued);
    ev->seq = rp->seq++;
    ev->queued = true;
    rp->q.push_back(ev);
    // Inside a runtime evloop callback the queue is drained when it returns.
    if (rp->depth == 0) kiv_job_wakeup(&rp->job);
}

void rp_cancel_owner(rpc_proc* rp, void* owner) {
    rpc_event* ev = rp->q.head;
    while (ev) {
        rpc_event* next = ev->next;
        if (ev->owner == owner) {
            rp->q.remove(ev);
            ev->queued = false;
            ev->release(ev);
        }
        ev = next;
    }
}

// Only the events queued before the drain started are run: a handler that
// keeps resubmitting a failing request cannot starve the rest of the loop.
void rp_leave(rpc_proc* rp) {
    KIV_BUG_ON(rp->depth == 0);
    if (--rp->depth != 0 || rp->draining) return;
    rp->draining = true;
    const uint64_t limit = rp->seq;
    while (rpc_event* ev = rp->q.head) {
        if (ev->seq >= limit) {
            kiv_job_wakeup(&rp->job);
            break;
        }
        if (kiv_process_terminated(rp->p)) break;
        rp->q.remove(ev);
        ev->queued = false;
        ev->run(ev);
    }
    rp->draining = false;
}

// ---------------------------------------------------------------- messages

namespace {

void msg_deliver(rpc_event* ev) {
    auto* m = static_cast<rpc_msg*>(ev->obj);
    m->rp = nullptr;
    rpc_msg_set_state(m, MS_IDLE);
    if (m->filter) m->filter(m);
    m->done(m);
}

// The process is finishing: the message goes back to its owner uncompleted.
void msg_release(rpc_event* ev) {
    auto* m = static_cast<rpc_msg*>(ev->obj);
    m->rp = nullptr;
    rpc_msg_set_state(m, MS_IDLE);
}

}  // namespace

rpc_msg* rpc_msg_alloc(uint32_t kept_len, bool zero) {
    size_t n = sizeof(rpc_msg) + kept_len;
    void* mem = zero ? __kiv_zmalloc("rpc_msg", KIV_POS, 0, n) : __kiv_malloc("rpc_msg", KIV_POS, 0, n);
    if (!mem) return nullptr;
    if (!zero) memset(mem, 0, sizeof(rpc_msg));
    auto* m = static_cast<rpc_msg*>(mem);
    m->magic = RPC_MSG_MAGIC;
    m->buf = reinterpret_cast<uint8_t*>(m + 1);
    m->kept_len = kept_len;
    m->total_len = kept_len;
    m->get_chunk = kiv_rpc_buf_chunk;
    m->ev.obj = m;
    m->ev.run = msg_deliver;
    m->ev.release = msg_release;
    return m;
}

kiv_msg* kiv_rpc_alloc_output_msg(uint32_t kept_len) { return rpc_msg_alloc(kept_len, true); }

kiv_msg* kiv_rpc_alloc_input_msg(kiv_rpc_engine* e, uint32_t kept_len) {
    rpc_msg* m = rpc_msg_alloc(kept_len, true);
    if (m) m->engine = e;
    return m;
}

void* kiv_rpc_buf_chunk(kiv_msg* m, uint64_t off, uint32_t* len) {
    if (off >= m->kept_len) {
        *len = 0;
        return nullptr;
    }
    *len = uint32_t(m->kept_len - off);
    return m->buf + off;
}

void rpc_msg_complete(rpc_proc* rp, rpc_msg* m, uint32_t err, rpc_msg* reply) {
    m->error = err;
    m->reply = reply;
    m->ep = nullptr;
    m->rp = rp;
    rpc_msg_set_state(m, MS_DONEQ);
    m->ev.owner = nullptr;
    rp_push(rp, &m->ev);
}

void rpc_fail_deferred(kiv_process* p, kiv_msg* msg, uint32_t err) {
    rpc_msg* m = rpc_msg_of(msg);
    KIV_BUG_ON(m->magic != RPC_MSG_MAGIC);
    kiv_loop_guard g(p);
    KIV_BUG_ON(rpc_msg_state(m) != MS_IDLE);
    KIV_BUG_ON(!m->done);
    if (m->reply) {
        kiv_free_msg(m->reply);
        m->reply = nullptr;
    }
    m->proc = p;
    rpc_msg_complete(rpc_proc_get(p), m, err, nullptr);
}

void kiv_free_msg(kiv_msg* msg) {
    if (!msg) return;
    rpc_msg* m = rpc_msg_of(msg);
    KIV_BUG_ON(m->magic != RPC_MSG_MAGIC);
    if (rpc_msg_state(m) != MS_IDLE) {
        // After kiv_process_terminate nothing completes any more, so owners
        // may free what they had in flight.
        rpc_proc* rp = m->rp;
        KIV_BUG_ON(!rp || !kiv_process_terminated(rp->p));
        rpc_msg_detach_terminated(m);
    }
    if (m->held) kiv_free_msg(m->held);
    kiv_free_msg(m->reply);
    if (m->origin) rpc_server_request_freed(m);
    m->magic = RPC_MSG_FREED;
    __kiv_free(m);
}

// ---------------------------------------------------------------- engines

namespace {

struct xid_key {
    uint64_t a, b;
    bool operator==(const xid_key& o) const { return a == o.a && b == o.b; }
};
struct xid_hash {
    size_t operator()(const xid_key& k) const { return size_t((k.b * 0x9E3779B97F4A7C15ull) ^ k.a); }
};
xid_key key_of(const uint8_t xid[16]) { return {rpc_le64(xid), rpc_le64(xid + 8)}; }

}  // namespace

struct kiv_rpc_engine_priv {
    kiv_rpc_engine* e = nullptr;
    kiv_process* p = nullptr;
    rpc_proc* rp = nullptr;  // NULL once the process is gone
    uint32_t kind = 0;
    uint64_t salt = 0;
    std::atomic<uint64_t> counter{0};
    uint8_t cluster_id[16] = {};
    kiv_auth_domain* auth = nullptr;
    std::unordered_map<xid_key, rpc_msg*, xid_hash> pending;
    rpc_node node{};
};

namespace {
void engine_gone(rpc_node* n) {
    auto* pr = static_cast<kiv_rpc_engine_priv*>(n->obj);
    pr->pending.clear();
    pr->rp = nullptr;
}
}  // namespace

int kiv_rpc_engine_init(kiv_process* p, kiv_rpc_engine* e, uint32_t kind) {
    e->nr_endpoints = 0;
    e->priv = nullptr;
    if (!p || !p->core) return -EINVAL;
    auto* pr = new (std::nothrow) kiv_rpc_engine_priv();
    if (!pr) return -ENOMEM;
    pr->e = e;
    pr->p = p;
    pr->kind = kind;
    uint64_t salt = 0;
    if (getrandom(&salt, sizeof salt, GRND_NONBLOCK) != ssize_t(sizeof salt)) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        salt = uint64_t(ts.tv_nsec) * 0x9E3779B97F4A7C15ull ^ uint64_t(uintptr_t(pr)) ^ uint64_t(ts.tv_sec);
    }
    pr->salt = salt;
    pr->node.obj = pr;
    pr->node.gone = engine_gone;
    {
        kiv_loop_guard g(p);
        pr->rp = rpc_proc_get(p);
        rp_link(pr->rp, &pr->node);
    }
    e->priv = pr;
    return 0;
}

void kiv_rpc_engine_fini(kiv_rpc_engine* e) {
    kiv_rpc_engine_priv* pr = e->priv;
    if (!pr) return;
    KIV_BUG_ON(e->nr_endpoints != 0);
    {
        rpc_guard g(pr->rp);
        KIV_BUG_ON(!pr->pending.empty());
        if (pr->rp) rp_unlink(pr->rp, &pr->node);
    }
    kiv_auth_destroy_domain(pr->auth);
    delete pr;
    e->priv = nullptr;
}

uint32_t kiv_rpc_engine_kind(const kiv_rpc_engine* e) { return e->priv ? e->priv->kind : 0; }
kiv_process* kiv_rpc_engine_process(const kiv_rpc_engine* e) { return e->priv ? e->priv->p : nullptr; }
rpc_proc* rpc_engine_rp(const kiv_rpc_engine* e) { return e->priv ? e->priv->rp : nullptr; }

void kiv_rpc_set_cluster_id(kiv_rpc_engine* e, const uint8_t id[16]) { memcpy(e->priv->cluster_id, id, 16); }

void kiv_rpc_set_auth_domain(kiv_rpc_engine* e, kiv_auth_domain* d) {
    kiv_rpc_engine_priv* pr = e->priv;
    if (pr->auth == d) return;
    kiv_auth_destroy_domain(pr->auth);
    pr->auth = d;
}

void kiv_rpc_get_new_xid(kiv_rpc_engine* e, uint8_t xid[16]) {
    kiv_rpc_engine_priv* pr = e->priv;
    uint64_t n = pr->counter.fetch_add(1, std::memory_order_relaxed) + 1;
    memcpy(xid, &pr->salt, 8);
    memcpy(xid + 8, &n, 8);
}

kiv_msg* kiv_rpc_lookup_xid(kiv_rpc_engine* e, const uint8_t xid[16]) {
    rpc_guard g(e->priv->rp);
    return rpc_engine_lookup(e, xid);
}

rpc_msg* rpc_engine_lookup(kiv_rpc_engine* e, const uint8_t xid[16]) {
    auto& map = e->priv->pending;
    auto it = map.find(key_of(xid));
    return it == map.end() ? nullptr : it->second;
}

bool rpc_engine_register(kiv_rpc_engine* e, rpc_msg* m) {
    auto r = e->priv->pending.emplace(key_of(m->xid), m);
    if (!r.second) return false;
    m->registered = true;
    return true;
}

void rpc_engine_unregister(kiv_rpc_engine* e, rpc_msg* m) {
    if (!m->registered) return;
    e->priv->pending.erase(key_of(m->xid));
    m->registered = false;
}

// ---------------------------------------------------------------- sending

int rpc_gather_iov(rpc_msg* m, uint64_t off, iovec* iov, size_t* bytes) {
    int n = 0;
    *bytes = 0;
    while (m && n < RPC_MAX_IOV && *bytes < RPC_MAX_GATHER) {
        while (off < m->total_len && n < RPC_MAX_IOV && *bytes < RPC_MAX_GATHER) {
            uint32_t len = 0;
            void* p = m->get_chunk(m, off, &len);
            KIV_BUG_ON(!p || len == 0);
            len = uint32_t(std::min<uint64_t>(len, m->total_len - off));
            iov[n].iov_base = p;
            iov[n].iov_len = len;
            n++;
            off += len;
            *bytes += len;
        }
        if (off < m->total_len) break;
        m = m->sq_next;
        off = 0;
    }
    return n;
}

// ---------------------------------------------------------------- addresses

int rpc_sockaddr_from(const kiv_netaddr* a, sockaddr_storage* ss, unsigned* len) {
    memset(ss, 0, sizeof *ss);
    if (a->kind == KIV_AF_INET) {
        auto* s = reinterpret_cast<sockaddr_in*>(ss);
        s->sin_family = AF_INET;
        s->sin_port = htons(a->port);
        memcpy(&s->sin_addr, a->addr, 4);
        *len = sizeof *s;
        return 0;
    }
    if (a->kind == KIV_AF_INET6) {
        auto* s = reinterpret_cast<sockaddr_in6*>(ss);
        s->sin6_family = AF_INET6;
        s->sin6_port = htons(a->port);
        memcpy(&s->sin6_addr, a->addr, 16);
        *len = sizeof *s;
        return 0;
    }
    return -EAFNOSUPPORT;
}

void rpc_netaddr_from(const sockaddr* sa, kiv_netaddr* out) {
    memset(out, 0, sizeof *out);
    if (sa->sa_family == AF_INET) {
        auto* s = reinterpret_cast<const sockaddr_in*>(sa);
        out->kind = KIV_AF_INET;
        out->port = ntohs(s->sin_port);
        memcpy(out->addr, &s->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        auto* s = reinterpret_cast<const sockaddr_in6*>(sa);
        out->kind = KIV_AF_INET6;
        out->port = ntohs(s->sin6_port);
        memcpy(out->addr, &s->sin6_addr, 16);
    }
}

rpc_addr_text::rpc_addr_text(const kiv_netaddr* a) {
    if (kiv_format_netaddr_port(s, sizeof s, a) < 0 || a->kind == KIV_AF_NONE) snprintf(s, sizeof s, "(none)");
}

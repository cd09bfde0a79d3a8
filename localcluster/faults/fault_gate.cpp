#include "localcluster/faults/fault_gate.h"

#include <string.h>

#include <array>
#include <atomic>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "kiv/io.h"
#include "localcluster/log.h"

namespace {

// A request held back by delay=.
struct Delayed {
    lc_fault_gate* gate;
    kiv_rpc_sconn* conn;  // referenced
    kiv_msg* req;
    kiv_timer timer;
    std::list<Delayed*>::iterator pos;
};

// The reply a rule will alter: its connection and transaction id.
using ReplyKey = std::pair<kiv_rpc_sconn*, std::array<uint8_t, 16>>;

ReplyKey reply_key(kiv_rpc_sconn* c, const kiv_msg* m) {
    ReplyKey k{c, {}};
    memcpy(k.second.data(), m->buf + 8, 16);
    return k;
}

// How long a refused listener keeps trying to come back.
constexpr uint64_t kRelistenRetryMs = 50;
constexpr uint64_t kRelistenTryUs = 5000000;

}  // namespace

struct lc_fault_gate {
    lc_faults* faults;
    lc_fault_site site;
    kiv_process* process;
    lc_fault_gate_ops ops;
    lc_logger* log;
    std::string name;
    bool stopped = false;
    std::list<Delayed*> delayed;
    // Apply-drop, short= and overdata rules waiting for their reply, which
    // may be built on another thread.
    std::mutex alter_mu;
    std::map<ReplyKey, lc_fault_action> alter;
    std::atomic<size_t> nr_alter{0};
    kiv_timer relisten{};
    uint64_t relisten_until_us = 0;
    std::atomic<bool> refusing{false};
    std::atomic<uint64_t> fired{0};
};

namespace {

void free_delayed(Delayed* d, bool unref) {
    d->gate->delayed.erase(d->pos);
    if (unref) kiv_rpc_sconn_unref(d->conn);
    delete d;
}

void on_delay_expired(void* arg) {
    auto* d = static_cast<Delayed*>(arg);
    lc_fault_gate* g = d->gate;
    kiv_rpc_sconn* c = d->conn;
    kiv_msg* req = d->req;
    free_delayed(d, false);
    g->ops.execute(g->ops.ctx, c, req);
    kiv_rpc_sconn_unref(c);
}

void on_relisten(void* arg) {
    auto* g = static_cast<lc_fault_gate*>(arg);
    if (g->stopped) return;
    int rc = g->ops.start_listening(g->ops.ctx);
    if (rc == 0) {
        g->refusing = false;
        lc_log(g->log, LC_LOG_INFO, "%s: listening again after a refuse fault", g->name.c_str());
        return;
    }
    if (get_abs_time_us() < g->relisten_until_us) {
        mod_timer(&g->relisten, kRelistenRetryMs);
        return;
    }
    g->refusing = false;
    lc_log(g->log, LC_LOG_ERROR, "%s: cannot listen again after a refuse fault: %s", g->name.c_str(), strerror(-rc));
}

}  // namespace

lc_fault_gate* lc_fault_gate_create(lc_faults* faults, const lc_fault_site& site, kiv_process* p,
                                    const lc_fault_gate_ops& ops, lc_logger* log) {
    auto* g = new lc_fault_gate;
    g->faults = faults;
    g->site = site;
    g->process = p;
    g->ops = ops;
    g->log = log;
    g->name = lc_service_name(site.service);
    if (site.fs >= 0) g->name += "[fs " + std::to_string(site.fs) + "]";
    init_timer(p, &g->relisten, on_relisten, g);
    return g;
}

void lc_fault_gate_destroy(lc_fault_gate* g) {
    if (!g) return;
    // Only after a stop, or with the process gone: nothing is armed.
    for (Delayed* d : g->delayed) {
        kiv_free_msg(d->req);
        delete d;
    }
    delete g;
}

void lc_fault_gate_reset(lc_fault_gate* g) {
    del_timer_sync(&g->relisten);
    g->refusing = false;
    while (!g->delayed.empty()) {
        Delayed* d = g->delayed.front();
        del_timer_sync(&d->timer);
        kiv_free_msg(d->req);
        free_delayed(d, true);
    }
    std::lock_guard<std::mutex> lk(g->alter_mu);
    g->alter.clear();
    g->nr_alter = 0;
}

void lc_fault_gate_stop(lc_fault_gate* g) {
    g->stopped = true;
    lc_fault_gate_reset(g);
}

bool lc_fault_gate_request(lc_fault_gate* g, kiv_rpc_sconn* c, kiv_msg* req) {
    if (g->stopped) return false;
    lc_fault_key key;
    g->ops.key(g->ops.ctx, req, &key);
    lc_fault_action a;
    if (!lc_faults_match(g->faults, g->site, key, &a)) return false;
    g->fired++;
    lc_log(g->log, LC_LOG_INFO, "%s: fault rule %llu (%s %u) fired on type %u from connection %llu", g->name.c_str(),
           (unsigned long long)a.rule_id, lc_fault_kind_name(a.kind), a.arg, key.type,
           (unsigned long long)kiv_rpc_sconn_id(c));
    switch (a.kind) {
        case LC_FAULT_STATUS:
            g->ops.answer_status(g->ops.ctx, c, req, a.arg);
            break;
        case LC_FAULT_DROP:
            // Replies of the requests before it may still be on their way
            // (a service that answers from worker threads): the connection
            // closes once they are out, and takes nothing more meanwhile.
            kiv_free_msg(req);
            req = nullptr;
            if (g->ops.drop_at_once)
                kiv_rpc_sconn_drop(c);
            else
                kiv_rpc_sconn_drain(c);
            break;
        case LC_FAULT_NOREPLY:
            break;
        case LC_FAULT_REBOOT:
            // The connection goes with the host; the client repeats the
            // request once the host is back.
            if (g->ops.reboot_host) g->ops.reboot_host(g->ops.ctx);
            break;
        case LC_FAULT_RTERR:
            kiv_rpc_reply_error(c, req, a.arg);
            break;
        case LC_FAULT_REFUSE:
            kiv_free_msg(req);
            req = nullptr;
            // Refusing is visible before any client can see the connection
            // go, so whoever waits for the outage to end cannot miss it.
            g->refusing = true;
            g->relisten_until_us = get_abs_time_us() + uint64_t(a.arg) * 1000 + kRelistenTryUs;
            g->ops.stop_listening(g->ops.ctx);
            mod_timer(&g->relisten, a.arg);
            break;
        case LC_FAULT_DELAY: {
            // A timer, not a sleep: the loop keeps serving everyone else.
            auto* d = new Delayed{g, c, req, {}, {}};
            kiv_rpc_sconn_ref(c);
            d->pos = g->delayed.insert(g->delayed.end(), d);
            init_timer(g->process, &d->timer, on_delay_expired, d);
            mod_timer(&d->timer, a.arg);
            return true;
        }
        case LC_FAULT_APPLY_DROP:
        case LC_FAULT_APPLY_CRASH:
        case LC_FAULT_SHORT:
        case LC_FAULT_OVERDATA: {
            std::lock_guard<std::mutex> lk(g->alter_mu);
            g->alter[reply_key(c, req)] = a;
            g->nr_alter = g->alter.size();
            return false;
        }
        case LC_FAULT_NONE:
            return false;
    }
    kiv_free_msg(req);
    return true;
}

bool lc_fault_gate_take_overdata(lc_fault_gate* g, kiv_rpc_sconn* c, const kiv_msg* req) {
    if (g->nr_alter.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard<std::mutex> lk(g->alter_mu);
    auto it = g->alter.find(reply_key(c, req));
    if (it == g->alter.end() || it->second.kind != LC_FAULT_OVERDATA) return false;
    g->alter.erase(it);
    g->nr_alter = g->alter.size();
    return true;
}

bool lc_fault_gate_reply(lc_fault_gate* g, kiv_rpc_sconn* c, kiv_msg** reply) {
    if (g->nr_alter.load(std::memory_order_relaxed) == 0) return true;
    lc_fault_action a;
    {
        std::lock_guard<std::mutex> lk(g->alter_mu);
        auto it = g->alter.find(reply_key(c, *reply));
        if (it == g->alter.end()) return true;
        a = it->second;
        g->alter.erase(it);
        g->nr_alter = g->alter.size();
    }
    if (a.kind == LC_FAULT_APPLY_DROP || a.kind == LC_FAULT_APPLY_CRASH) {
        kiv_free_msg(*reply);
        *reply = nullptr;
        // The request ran and its reply is gone, as when a server dies
        // between its commit and its answer; the crash closes the
        // connection with every other one. Otherwise it closes as a drop
        // does: the replies of the requests before it, perhaps still on
        // workers, leave first.
        if (a.kind == LC_FAULT_APPLY_CRASH && g->ops.crash)
            g->ops.crash(g->ops.ctx);
        else if (g->ops.drop_at_once)
            kiv_rpc_sconn_drop(c);
        else
            kiv_rpc_sconn_drain(c);
        return false;
    }
    if (a.kind == LC_FAULT_SHORT) {
        kiv_msg* old = *reply;
        kiv_msg* m = kiv_rpc_alloc_output_msg(a.arg);
        if (!m) return true;  // out of memory: the reply goes out whole
        uint32_t keep = old->total_len < a.arg ? old->total_len : a.arg;
        memcpy(m->buf, old->buf, keep > old->kept_len ? old->kept_len : keep);
        kiv_free_msg(old);
        *reply = m;
    }
    return true;
}

void lc_fault_gate_send(lc_fault_gate* g, kiv_rpc_sconn* c, kiv_msg* reply) {
    if (!lc_fault_gate_reply(g, c, &reply)) return;
    kiv_rpc_reply(c, reply);  // -ENOTCONN only says the client has gone
}

void lc_fault_gate_closed(lc_fault_gate* g, kiv_rpc_sconn* c) {
    if (g->nr_alter.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard<std::mutex> lk(g->alter_mu);
    auto lo = g->alter.lower_bound(ReplyKey{c, {}});
    auto hi = lo;
    while (hi != g->alter.end() && hi->first.first == c) ++hi;
    g->alter.erase(lo, hi);
    g->nr_alter = g->alter.size();
}

uint64_t lc_fault_gate_fired(const lc_fault_gate* g) { return g->fired.load(); }
bool lc_fault_gate_refusing(const lc_fault_gate* g) { return g->refusing.load(); }

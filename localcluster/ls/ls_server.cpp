#include "localcluster/ls/ls_server.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kiv/io.h"
#include "kiv/loop.h"
#include "kiv/rpc_server.h"
#include "localcluster/breaks.h"
#include "localcluster/common/instance.h"
#include "localcluster/log.h"
#include "localcluster/ls/ls_engine.h"
#include "localcluster/ls/ls_proto.h"
#include "ls_client/ls_wire.h"

namespace {

// Coming back: how often and how long to try the old port again.
constexpr uint64_t kRebindRetryMs = 50;
constexpr uint64_t kRebindTryUs = 5000000;
// Frames served for one connection in one turn of the loop: a peer that
// pipelines thousands of requests has them served a few at a time, with
// every other connection's taken between, and the runtime stops reading it
// while they wait.
constexpr size_t kFramesPerTurn = 16;

uint64_t splitmix(uint64_t* x) {
    uint64_t z = (*x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

lc_ls_breaks engine_breaks(uint64_t bits) {
    lc_ls_breaks b;
    b.posix_no_merge = bits & LC_BREAK_LS_POSIX_NO_MERGE;
    b.win_excl_ignores_own = bits & LC_BREAK_LS_WIN_EXCL_IGNORES_OWN;
    b.free_all_keeps_share = bits & LC_BREAK_LS_FREE_ALL_KEEPS_SHARE;
    b.share_retake_stacks = bits & LC_BREAK_LS_SHARE_RETAKE_STACKS;
    b.search_has_more_off_by_one = bits & LC_BREAK_LS_SEARCH_HAS_MORE_OFF_BY_ONE;
    b.zero_len_conflicts_at_start = bits & LC_BREAK_LS_ZERO_LEN_CONFLICTS_AT_START;
    b.posix_eof_short = bits & LC_BREAK_LS_POSIX_EOF_SHORT;
    b.cancel_oldest = bits & LC_BREAK_LS_CANCEL_OLDEST;
    b.search_more_when_full = bits & LC_BREAK_LS_SEARCH_MORE_WHEN_FULL;
    return b;
}

}  // namespace

struct lc_ls {
    lc_ls_config cfg;
    std::string name;  // for the log: "ls <fs name>"
    kiv_process proc{};
    bool proc_started = false;
    kiv_rpc_server_ops ops{};
    uint64_t rng = 0;
    // Shared by the connections of every boot.
    kiv_rpc_budget* budget = nullptr;

    // The tables of the current boot. Replaced only on the loop, under mu;
    // the loop reads the pointer freely, other threads under mu.
    std::mutex mu;
    lc_ls_engine* engine = nullptr;

    // Loop context only.
    kiv_rpc_server* server = nullptr;
    int hold_fd = -1;  // the port, kept while down
    // Frames read and not yet served, per connection id, and the order in
    // which the connections that have some take their turns.
    struct Waiting {
        kiv_rpc_sconn* conn = nullptr;
        std::deque<kiv_msg*> frames;
    };
    std::unordered_map<uint64_t, Waiting> waiting;
    std::deque<uint64_t> turns;
    kiv_timer turn_timer{};
    kiv_timer rebind_timer{};
    uint64_t rebind_until_us = 0;

    std::atomic<bool> up{true};
    std::atomic<bool> listening{false};
    std::atomic<uint16_t> port{0};
    std::atomic<uint64_t> nr_requests{0};
    std::atomic<uint64_t> nr_refused{0};
    std::atomic<uint64_t> nr_restarts{0};
};

namespace {

// A fresh, empty set of tables with a non-zero boot tag unlike the last.
void new_boot(lc_ls* s) {
    uint32_t old = s->engine ? lc_ls_engine_boot_tag(s->engine) : 0;
    uint32_t tag = 0;
    while (tag == 0 || tag == old) tag = uint32_t(splitmix(&s->rng));
    lc_ls_engine* fresh = lc_ls_engine_create(tag, engine_breaks(s->cfg.breaks));
    lc_ls_engine* gone;
    {
        std::lock_guard<std::mutex> g(s->mu);
        gone = s->engine;
        s->engine = fresh;
    }
    lc_ls_engine_destroy(gone);
}

void serve(lc_ls* s, kiv_rpc_sconn* c, kiv_msg* req) {
    std::vector<uint8_t> out = lc_ls_serve(s->engine, req->buf, req->kept_len);
    uint32_t herr = ls_wire_get_u32(out.data(), LS_REPLY_HANDLING_ERR);
    if (herr) {
        s->nr_refused++;
        lc_log(s->cfg.log, LC_LOG_DEBUG, "%s: type %#x, %u bytes: refused with %s", s->name.c_str(),
               req->kept_len >= 8 ? ls_wire_get_u32(req->buf, LS_HDR_TYPE) : 0, unsigned(req->kept_len),
               strerror(int(herr)));
    }
    kiv_msg* reply = kiv_rpc_alloc_reply(req, uint32_t(out.size()));
    kiv_free_msg(req);
    if (!reply) {
        lc_log(s->cfg.log, LC_LOG_ERROR, "%s: out of memory for a reply; closing connection %llu", s->name.c_str(),
               (unsigned long long)kiv_rpc_sconn_id(c));
        kiv_rpc_sconn_drop(c);
        return;
    }
    memcpy(reply->buf, out.data(), out.size());
    kiv_rpc_reply(c, reply);
}

// Loop context: frames read but not served go unanswered (a crash, or
// their connection went).
void discard(lc_ls::Waiting& w) {
    for (kiv_msg* m : w.frames) kiv_free_msg(m);
    w.frames.clear();
}

void discard_all(lc_ls* s) {
    del_timer_sync(&s->turn_timer);
    for (auto& [id, w] : s->waiting) discard(w);
    s->waiting.clear();
    s->turns.clear();
}

// Loop context: each connection with frames waiting gets its turn, oldest
// first, and serves at most kFramesPerTurn of them.
void on_turn(void* arg) {
    auto* s = static_cast<lc_ls*>(arg);
    kiv_rpc_batch_begin(&s->proc);
    for (size_t n = s->turns.size(); n > 0; n--) {
        uint64_t id = s->turns.front();
        s->turns.pop_front();
        auto it = s->waiting.find(id);
        if (it == s->waiting.end()) continue;
        // A reply that drops the connection runs its close later: the
        // entry stays until then or until it is empty.
        for (size_t k = 0; k < kFramesPerTurn && !it->second.frames.empty(); k++) {
            kiv_msg* m = it->second.frames.front();
            it->second.frames.pop_front();
            serve(s, it->second.conn, m);
        }
        if (it->second.frames.empty())
            s->waiting.erase(it);
        else
            s->turns.push_back(id);
    }
    kiv_rpc_batch_end(&s->proc);
    if (!s->turns.empty()) mod_timer(&s->turn_timer, 0);
}

void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
    auto* s = static_cast<lc_ls*>(arg);
    s->nr_requests++;
    if (!s->up.load(std::memory_order_acquire)) {
        kiv_free_msg(req);
        return;
    }
    // The frame holds its connection until it is freed.
    uint64_t id = kiv_rpc_sconn_id(c);
    lc_ls::Waiting& w = s->waiting[id];
    if (w.frames.empty()) {
        w.conn = c;
        s->turns.push_back(id);
    }
    w.frames.push_back(req);
    if (!timer_pending(&s->turn_timer)) mod_timer(&s->turn_timer, 0);
}

void on_close(kiv_rpc_sconn* c, void* arg) {
    auto* s = static_cast<lc_ls*>(arg);
    auto it = s->waiting.find(kiv_rpc_sconn_id(c));
    if (it == s->waiting.end()) return;
    discard(it->second);
    s->waiting.erase(it);
}

// `hold`: the port stays taken until it is listened on again.
void stop_listening(lc_ls* s, bool hold) {
    if (s->server) {
        if (hold)
            lc_instance_close_holding(s->server, &s->hold_fd);
        else
            kiv_rpc_server_close(s->server);
        s->server = nullptr;
        s->listening = false;
    }
    if (!hold) lc_instance_release_port(&s->hold_fd);
}

// Loop context.
int start_listening(lc_ls* s, uint16_t port) {
    if (s->server) return 0;
    kiv_rpc_server* srv = nullptr;
    uint16_t bound = 0;
    int rc = lc_instance_listen(&s->proc, port, LS_MAX_MSG, &s->ops, s, &srv, &bound);
    if (rc < 0) return rc;
    kiv_rpc_server_set_budget(srv, s->budget);
    kiv_rpc_server_set_request_charge(srv, LS_MAX_MSG);
    s->server = srv;
    s->port = bound;
    s->listening = true;
    lc_instance_release_port(&s->hold_fd);
    return 0;
}

// Loop context: the old port again; after trying for a while a new one,
// which the owner publishes.
void rebind(lc_ls* s) {
    if (!s->up || s->server) return;
    if (start_listening(s, s->port) == 0) return;
    if (get_abs_time_us() < s->rebind_until_us) {
        mod_timer(&s->rebind_timer, kRebindRetryMs);
        return;
    }
    uint16_t old = s->port;
    int rc = start_listening(s, 0);
    if (rc < 0) {
        lc_log(s->cfg.log, LC_LOG_ERROR, "%s cannot listen anywhere: %s", s->name.c_str(), strerror(-rc));
        return;
    }
    lc_log(s->cfg.log, LC_LOG_WARN, "%s could not take port %u back; it listens on %u", s->name.c_str(),
           unsigned(old), unsigned(s->port));
    if (s->cfg.port_moved) s->cfg.port_moved(s->cfg.port_moved_ctx, s->port);
}

void on_rebind(void* arg) { rebind(static_cast<lc_ls*>(arg)); }

// Loop context. Every connection and the listener close, the tables go.
int go_down(lc_ls* s) {
    if (!s->up) return -EALREADY;
    s->up = false;
    s->nr_restarts++;
    del_timer_sync(&s->rebind_timer);
    stop_listening(s, true);
    discard_all(s);
    new_boot(s);
    lc_log(s->cfg.log, LC_LOG_INFO, "%s is down; its locks are gone", s->name.c_str());
    return 0;
}

// Loop context. Empty tables (made when it went down), the old port.
int go_up(lc_ls* s) {
    if (s->up) return -EALREADY;
    s->up = true;
    s->rebind_until_us = get_abs_time_us() + kRebindTryUs;
    rebind(s);
    lc_log(s->cfg.log, LC_LOG_INFO, "%s is back on 127.0.0.1:%u (boot tag %08x)", s->name.c_str(),
           unsigned(s->port), lc_ls_engine_boot_tag(s->engine));
    return 0;
}

struct ListenArgs {
    lc_ls* s;
    uint16_t port;
};

int do_listen(void* arg) {
    auto* a = static_cast<ListenArgs*>(arg);
    if (!a->s->up) return -EAGAIN;
    return start_listening(a->s, a->port);
}

int do_restart(void* arg) {
    auto* s = static_cast<lc_ls*>(arg);
    if (!s->up) return -EAGAIN;
    go_down(s);
    return go_up(s);
}

int do_down(void* arg) { return go_down(static_cast<lc_ls*>(arg)); }
int do_up(void* arg) { return go_up(static_cast<lc_ls*>(arg)); }

int do_stop(void* arg) {
    auto* s = static_cast<lc_ls*>(arg);
    del_timer_sync(&s->rebind_timer);
    stop_listening(s, false);
    discard_all(s);
    s->up = false;
    return 0;
}

}  // namespace

lc_ls* lc_ls_create(const lc_ls_config& config, std::string* err) {
    auto* s = new lc_ls;
    s->cfg = config;
    s->name = "ls " + config.fs_name;
    s->rng = config.seed ^ (config.fs_id * 0x2545F4914F6CDD1Dull) ^ 0x6c73;
    s->ops.on_request = on_request;
    s->ops.on_close = on_close;
    s->budget = kiv_rpc_budget_create(config.held_budget);
    if (!s->budget) kiv_fatal("allocation failed: lock server budget");
    new_boot(s);
    if (kiv_process_init_(&s->proc) != 0) {
        *err = "cannot create the runtime process of " + s->name;
        lc_ls_destroy(s);
        return nullptr;
    }
    char pname[32];
    snprintf(pname, sizeof pname, "lc-ls-%llx", (unsigned long long)config.fs_id);
    if (kiv_process_start(&s->proc, pname) != 0) {
        kiv_process_fini(&s->proc);
        *err = "cannot start the runtime process of " + s->name;
        lc_ls_destroy(s);
        return nullptr;
    }
    s->proc_started = true;
    init_timer(&s->proc, &s->rebind_timer, on_rebind, s);
    init_timer(&s->proc, &s->turn_timer, on_turn, s);
    return s;
}

int lc_ls_listen(lc_ls* s, uint16_t port, uint16_t* bound) {
    ListenArgs a{s, port};
    int rc = kiv_call_in_job(&s->proc, do_listen, &a);
    if (rc == 0 && bound) *bound = s->port;
    if (rc == 0)
        lc_log(s->cfg.log, LC_LOG_INFO, "%s (fs id %llx) listening on 127.0.0.1:%u", s->name.c_str(),
               (unsigned long long)s->cfg.fs_id, unsigned(s->port));
    return rc;
}

void lc_ls_destroy(lc_ls* s) {
    if (!s) return;
    if (s->proc_started) {
        kiv_call_in_job(&s->proc, do_stop, s);
        kiv_process_terminate(&s->proc);
        kiv_process_wait(&s->proc);
        kiv_process_fini(&s->proc);
    }
    lc_ls_engine_destroy(s->engine);
    kiv_rpc_budget_put(s->budget);
    delete s;
}

int lc_ls_restart(lc_ls* s) { return kiv_call_in_job(&s->proc, do_restart, s); }
int lc_ls_hold_down(lc_ls* s) {
    int rc = kiv_call_in_job(&s->proc, do_down, s);
    return rc == -EALREADY ? 0 : rc;
}
int lc_ls_come_up(lc_ls* s) { return kiv_call_in_job(&s->proc, do_up, s); }

kiv_rpc_budget* lc_ls_budget(lc_ls* s) { return s->budget; }

void lc_ls_get_stats(lc_ls* s, lc_ls_stats* out) {
    *out = lc_ls_stats{};
    out->port = s->port;
    out->up = s->up;
    out->listening = s->listening;
    out->requests = s->nr_requests;
    out->refused = s->nr_refused;
    out->restarts = s->nr_restarts;
    out->held_bytes = kiv_rpc_budget_held(s->budget);
    out->held_bytes_peak = kiv_rpc_budget_peak(s->budget);
    std::lock_guard<std::mutex> g(s->mu);
    out->boot_tag = lc_ls_engine_boot_tag(s->engine);
    lc_ls_counts c = lc_ls_engine_counts(s->engine);
    out->held = c.held;
    out->pending = c.pending;
    out->shares = c.shares;
}

int lc_ls_call_on_loop(lc_ls* s, int (*fn)(void*), void* arg) { return kiv_call_in_job(&s->proc, fn, arg); }

std::string lc_ls_locks_json(lc_ls* s, size_t limit) {
    std::string state = s->up ? "up" : "down";
    std::lock_guard<std::mutex> g(s->mu);
    std::string tables = lc_ls_engine_json(s->engine, limit);
    return "{\"state\":\"" + state + "\"," + tables.substr(1);
}

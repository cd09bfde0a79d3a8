#include "localcluster/mds/mds_server.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "client/tarn_wire.h"
#include "kiv/io.h"
#include "kiv/rpc_server.h"
#include "localcluster/cluster_disk.h"
#include "localcluster/common/instance.h"
#include "localcluster/faults/fault_gate.h"
#include "localcluster/log.h"
#include "localcluster/mds/epoch_table.h"
#include "localcluster/mds/mds_handlers.h"
#include "localcluster/mds/mds_proto.h"
#include "localcluster/mds/ns_engine.h"

namespace {

// How long a crash in flush mode lets the replies of finished requests go
// out before it closes the connections. Replies queued behind a full
// socket buffer get this long too.
constexpr uint64_t kDrainMs = 100;
// Coming back: how often and how long to try the old port again.
constexpr uint64_t kRebindRetryMs = 50;
constexpr uint64_t kRebindTryUs = 5000000;
// The largest namespace dump, in nodes.
constexpr size_t kDumpMaxNodes = 100000;

}  // namespace

struct lc_mds {
    lc_mds_config cfg;
    std::string name;  // for the log: "mds <fs name>"
    kiv_process proc{};
    bool proc_started = false;
    kiv_rpc_server_ops ops{};
    lc_ns_cluster_ops ns_ops{};

    lc_fault_gate* gate = nullptr;
    kiv_rpc_budget* budget = nullptr;

    // Loop context only.
    kiv_rpc_server* server = nullptr;
    // The port stays bound (not listening) while the listener is shut: one
    // let go could be taken meanwhile by a cluster starting up, whose
    // listener this one's return on the same port would then keep off it.
    int hold_fd = -1;
    lc_epoch_table epochs;
    lc_mds_env env;  // env.ns: the open namespace while up
    kiv_timer drain_timer{};
    kiv_timer restart_timer{};
    kiv_timer rebind_timer{};
    uint64_t rebind_until_us = 0;
    uint32_t restart_after_ms = 0;  // of the crash in progress; 0 = stay down

    // Read by other threads.
    std::atomic<uint32_t> state{LC_MDS_UP};
    std::atomic<bool> recovering{false};
    std::atomic<uint16_t> port{0};
    std::atomic<bool> listening{false};
    std::atomic<uint64_t> nr_requests{0};
    std::atomic<uint64_t> nr_epoch_unknown{0};
    std::atomic<uint64_t> nr_clients{0};
    std::atomic<uint64_t> nr_crashes{0};
    std::atomic<uint64_t> nr_discarded{0};
};

namespace {

lc_mds_state state_of(const lc_mds* m) { return lc_mds_state(m->state.load(std::memory_order_acquire)); }

bool strict(const lc_mds* m) { return !m->cfg.epoch_strict || m->cfg.epoch_strict->load(std::memory_order_relaxed); }

bool drop_replies(const lc_mds* m) {
    return m->cfg.crash_replies_drop && m->cfg.crash_replies_drop->load(std::memory_order_relaxed);
}

// A frame that arrived while the instance is going down or is down: it is
// never executed, and its client learns so from the closed connection.
void discard(lc_mds* m, kiv_msg* req) {
    m->nr_discarded++;
    kiv_free_msg(req);
}

// Checks, epoch, handler, reply. Takes `req`.
void execute(lc_mds* m, kiv_rpc_sconn* c, kiv_msg* req) {
    if (state_of(m) != LC_MDS_UP) return discard(m, req);
    lc_mds_call call{m, &m->env, req, req->buf, req->kept_len, {}, nullptr};
    const lc_mds_msg_def* def = nullptr;
    uint32_t st = lc_mds_check_header(call.buf, call.len, m->cfg.fs_id, &def);
    if (st != TARN_MDS_OK) {
        lc_log(m->cfg.log, LC_LOG_DEBUG, "%s: type %u, %u bytes: refused with status %u", m->name.c_str(),
               tarn_wire_get_u32(call.buf, TARN_MSG_TYPE), call.len, st);
    } else {
        tarn_mds_req_hdr_read(call.buf, call.len, &call.hdr);
        bool resend = call.hdr.flags & TARN_REQ_FLAG_EPOCH_RESEND;
        uint32_t known = 0;
        switch (lc_epoch_check(&m->epochs, call.hdr.client_id, call.hdr.epoch, resend, strict(m), &known)) {
            case LC_EPOCH_UNKNOWN:
                st = TARN_MDS_EPOCH_UNKNOWN;
                m->nr_epoch_unknown++;
                break;
            case LC_EPOCH_PAST:
                lc_log(m->cfg.log, LC_LOG_INFO, "%s: client %llx sent %s with epoch %u, older than its epoch %u",
                       m->name.c_str(), (unsigned long long)call.hdr.client_id, def->name, call.hdr.epoch, known);
                break;
            case LC_EPOCH_OK:
                break;
        }
        m->nr_clients.store(m->epochs.known.size(), std::memory_order_relaxed);
        if (st == TARN_MDS_OK && !lc_mds_names_ok(def, call.buf, call.len)) st = TARN_MDS_INVAL;
        if (st == TARN_MDS_OK) st = def->handler ? def->handler(&call) : uint32_t(TARN_MDS_NOT_IMPL);
    }
    if (call.no_reply) {
        if (call.reply) kiv_free_msg(call.reply);
        kiv_free_msg(req);
        return;
    }
    kiv_msg* reply = call.reply;
    if (reply)
        tarn_wire_put_u32(reply->buf, TARN_REPLY_STATUS, st);
    else
        reply = lc_mds_status_reply(req, def, st);
    kiv_free_msg(req);
    if (!reply) {
        lc_log(m->cfg.log, LC_LOG_ERROR, "%s: out of memory for a reply; closing connection %llu", m->name.c_str(),
               (unsigned long long)kiv_rpc_sconn_id(c));
        kiv_rpc_sconn_drop(c);
        return;
    }
    lc_fault_gate_send(m->gate, c, reply);
}

void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
    auto* m = static_cast<lc_mds*>(arg);
    m->nr_requests++;
    if (state_of(m) != LC_MDS_UP) return discard(m, req);
    if (lc_fault_gate_request(m->gate, c, req)) return;
    execute(m, c, req);
}

void on_close(kiv_rpc_sconn* c, void* arg) { lc_fault_gate_closed(static_cast<lc_mds*>(arg)->gate, c); }

// ---------------------------------------------------------------- listener

void stop_listening(lc_mds* m) {
    if (!m->server) return;
    lc_instance_close_holding(m->server, &m->hold_fd);
    m->server = nullptr;
    m->listening = false;
}

void release_port(lc_mds* m) { lc_instance_release_port(&m->hold_fd); }

// Loop context.
int start_listening(lc_mds* m, uint16_t port) {
    if (m->server) return 0;
    kiv_rpc_server* s = nullptr;
    uint16_t bound = 0;
    int rc = lc_instance_listen(&m->proc, port, TARN_MDS_MAX_MSG, &m->ops, m, &s, &bound);
    if (rc < 0) return rc;
    kiv_rpc_server_set_budget(s, m->budget);
    m->server = s;
    m->port = bound;
    m->listening = true;
    release_port(m);
    return 0;
}

// ---------------------------------------------------------------- gate callbacks

void gate_key(void*, const kiv_msg* req, lc_fault_key* k) {
    k->type = tarn_wire_get_u32(req->buf, TARN_MSG_TYPE);
    if (req->kept_len >= TARN_MDS_REQ_CLIENT_ID + 8) {
        k->has_client = true;
        k->client = tarn_wire_get_u64(req->buf, TARN_MDS_REQ_CLIENT_ID);
    }
    if (req->kept_len >= TARN_MDS_REQ_FLAGS + 4)
        k->epoch_resend = tarn_wire_get_u32(req->buf, TARN_MDS_REQ_FLAGS) & TARN_REQ_FLAG_EPOCH_RESEND;
}

void gate_execute(void* ctx, kiv_rpc_sconn* c, kiv_msg* req) { execute(static_cast<lc_mds*>(ctx), c, req); }

void gate_answer_status(void*, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status) {
    kiv_msg* reply = lc_mds_status_reply(req, lc_mds_msg_find(tarn_wire_get_u32(req->buf, TARN_MSG_TYPE)), status);
    if (reply)
        kiv_rpc_reply(c, reply);
    else
        kiv_rpc_sconn_drop(c);
}

void gate_stop_listening(void* ctx) { stop_listening(static_cast<lc_mds*>(ctx)); }

// Replies are built on the loop, so this is loop context.
void gate_crash(void* ctx) { lc_mds_crash_from_request(static_cast<lc_mds*>(ctx)); }

int gate_start_listening(void* ctx) {
    auto* m = static_cast<lc_mds*>(ctx);
    // A crash under way owns the listener now; coming back reopens it.
    if (state_of(m) != LC_MDS_UP) return 0;
    return start_listening(m, m->port);
}

// ---------------------------------------------------------------- namespace and the data side

lc_mds* ops_mds(void* ctx) { return static_cast<lc_mds*>(ctx); }

lc_ds_disk* ns_ds_disk(void* ctx, uint16_t vdisk) {
    lc_mds* m = ops_mds(ctx);
    return lc_cdisk_vdisk_disk(m->cfg.cdisk, m->cfg.fs_index, vdisk);
}

bool ns_vdisk_mounted(void* ctx, uint16_t vdisk) {
    lc_mds* m = ops_mds(ctx);
    return lc_cdisk_vdisk(m->cfg.cdisk, m->cfg.fs_index, vdisk).mounted;
}

bool ns_replication_disabled(void* ctx, uint16_t vdisk) {
    lc_mds* m = ops_mds(ctx);
    return lc_cdisk_ns_replication_disabled(lc_cdisk_fs_ctx(m->cfg.cdisk, m->cfg.fs_index), vdisk);
}

uint32_t ns_health(void* ctx) { return lc_mds_health(ops_mds(ctx)); }

// The catch-up a restart asked for is done once every data server that can
// push (up, replication enabled) has an empty dirty set. One that is down
// or has replication disabled catches up by its own restart or re-enable,
// which it reports itself.
bool caught_up(lc_mds* m) {
    lc_cdisk* cd = m->cfg.cdisk;
    if (!cd) return true;
    for (int h = 1; h <= lc_cdisk_host_count(cd); h++) {
        if (lc_cdisk_ds_phase(cd, m->cfg.fs_index, h) == LC_DS_PHASE_DOWN) continue;
        if (lc_cdisk_repl_disabled(cd, m->cfg.fs_index, h)) continue;
        if (lc_ds_disk_dirty_count(lc_cdisk_ds_disk(cd, m->cfg.fs_index, h)) > 0) return false;
    }
    return true;
}

bool still_recovering(lc_mds* m) {
    if (!m->recovering.load(std::memory_order_acquire)) return false;
    if (!caught_up(m)) return true;
    if (m->recovering.exchange(false))
        lc_log(m->cfg.log, LC_LOG_INFO, "%s: the data servers have caught up", m->name.c_str());
    return false;
}

void sink(void* ctx, const lc_ds_attrs* snapshot) { lc_ns_ds_push(static_cast<lc_ns*>(ctx), snapshot); }

// Loop context. Opens the namespace from the disk and starts taking the
// data servers' pushes, which wakes their replicators.
int open_namespace(lc_mds* m) {
    if (m->env.ns) return 0;
    lc_ns* ns = lc_ns_open(m->cfg.disk, m->ns_ops);
    if (!ns) return -EBUSY;
    m->env.ns = ns;
    if (m->cfg.cdisk) lc_cdisk_set_mds_sink(m->cfg.cdisk, m->cfg.fs_index, sink, ns);
    return 0;
}

// Loop context. Pushes stop first (clearing the sink waits for those in
// progress), so nothing runs on the namespace when it closes.
void close_namespace(lc_mds* m) {
    if (!m->env.ns) return;
    if (m->cfg.cdisk) lc_cdisk_set_mds_sink(m->cfg.cdisk, m->cfg.fs_index, nullptr, nullptr);
    lc_ns_close(m->env.ns);
    m->env.ns = nullptr;
}

// ---------------------------------------------------------------- going down and coming back

// Loop context: the last step of going down. The volatile state goes; then
// every connection closes at once (their queued replies with them) and so
// does the listener, so new connects are refused.
void finish_down(lc_mds* m) {
    // Requests a delay rule holds go unexecuted; the rules stay.
    lc_fault_gate_reset(m->gate);
    close_namespace(m);
    m->epochs.known.clear();
    m->nr_clients = 0;
    m->recovering = false;
    stop_listening(m);
    m->state.store(LC_MDS_DOWN, std::memory_order_release);
    lc_log(m->cfg.log, LC_LOG_INFO, "%s is down%s", m->name.c_str(),
           m->restart_after_ms ? "" : " until it is restarted");
    if (m->restart_after_ms) mod_timer(&m->restart_timer, m->restart_after_ms);
}

void on_drained(void* arg) { finish_down(static_cast<lc_mds*>(arg)); }

// Loop context. Nothing starts from now on; requests already executed have
// their replies flushed for a moment, or dropped with their connections.
int go_down(lc_mds* m, uint32_t restart_after_ms) {
    if (state_of(m) != LC_MDS_UP) return -EALREADY;
    m->state.store(LC_MDS_CRASHING, std::memory_order_release);
    m->nr_crashes++;
    m->restart_after_ms = restart_after_ms;
    del_timer_sync(&m->rebind_timer);
    bool drop = drop_replies(m);
    lc_log(m->cfg.log, LC_LOG_INFO, "%s crashes (replies of finished requests %s)", m->name.c_str(),
           drop ? "dropped" : "flushed");
    if (drop)
        finish_down(m);
    else
        mod_timer(&m->drain_timer, kDrainMs);
    return 0;
}

// Loop context: listens on the instance's port again; after trying for a
// while it takes a new one, which the owner publishes.
void rebind(lc_mds* m) {
    if (state_of(m) != LC_MDS_UP || m->server) return;
    int rc = start_listening(m, m->port);
    if (rc == 0) {
        lc_log(m->cfg.log, LC_LOG_INFO, "%s is back on 127.0.0.1:%u", m->name.c_str(), unsigned(m->port));
        return;
    }
    if (get_abs_time_us() < m->rebind_until_us) {
        mod_timer(&m->rebind_timer, kRebindRetryMs);
        return;
    }
    uint16_t old = m->port;
    rc = start_listening(m, 0);
    if (rc < 0) {
        lc_log(m->cfg.log, LC_LOG_ERROR, "%s cannot listen anywhere: %s", m->name.c_str(), strerror(-rc));
        return;
    }
    lc_log(m->cfg.log, LC_LOG_WARN, "%s could not take port %u back; it listens on %u", m->name.c_str(),
           unsigned(old), unsigned(m->port));
    if (m->cfg.port_moved) m->cfg.port_moved(m->cfg.port_moved_ctx, m->port);
}

void on_rebind(void* arg) { rebind(static_cast<lc_mds*>(arg)); }

// Loop context. A new instance from the disk alone: the namespace reopened
// (handles are a function of the disk), an empty epoch table, the old
// port.
int go_up(lc_mds* m) {
    if (state_of(m) != LC_MDS_DOWN) return -EALREADY;
    del_timer_sync(&m->restart_timer);
    int rc = open_namespace(m);
    if (rc < 0) {
        lc_log(m->cfg.log, LC_LOG_ERROR, "%s cannot reopen its namespace", m->name.c_str());
        return rc;
    }
    m->recovering = true;
    m->state.store(LC_MDS_UP, std::memory_order_release);
    m->rebind_until_us = get_abs_time_us() + kRebindTryUs;
    rebind(m);
    still_recovering(m);
    return 0;
}

void on_restart(void* arg) { go_up(static_cast<lc_mds*>(arg)); }

// ---------------------------------------------------------------- jobs

struct ListenArgs {
    lc_mds* m;
    uint16_t port;
    bool move;
};

int do_listen(void* arg) {
    auto* a = static_cast<ListenArgs*>(arg);
    if (state_of(a->m) != LC_MDS_UP) return -EAGAIN;
    if (a->move) stop_listening(a->m);
    return start_listening(a->m, a->port);
}

int do_open(void* arg) { return open_namespace(static_cast<lc_mds*>(arg)); }

int do_stop(void* arg) {
    auto* m = static_cast<lc_mds*>(arg);
    del_timer_sync(&m->drain_timer);
    del_timer_sync(&m->restart_timer);
    del_timer_sync(&m->rebind_timer);
    lc_fault_gate_stop(m->gate);
    stop_listening(m);
    release_port(m);
    close_namespace(m);
    m->state.store(LC_MDS_DOWN, std::memory_order_release);
    return 0;
}

struct CrashArgs {
    lc_mds* m;
    uint32_t down_ms;
};

int do_crash(void* arg) {
    auto* a = static_cast<CrashArgs*>(arg);
    return go_down(a->m, a->down_ms);
}

int do_restart(void* arg) { return go_up(static_cast<lc_mds*>(arg)); }

// Loop context, so a return that is due cannot slip in between: an
// instance that is up goes down for good, one that is down or going down
// forgets its return.
int do_hold(void* arg) {
    auto* m = static_cast<lc_mds*>(arg);
    if (state_of(m) == LC_MDS_UP) return go_down(m, 0);
    m->restart_after_ms = 0;
    del_timer_sync(&m->restart_timer);
    return 0;
}

struct DumpArgs {
    lc_mds* m;
    const std::string* path;
    std::string* json;
    std::string* err;
};

int do_dump(void* arg) {
    auto* a = static_cast<DumpArgs*>(arg);
    if (state_of(a->m) != LC_MDS_UP || !a->m->env.ns) {
        *a->err = a->m->name + " is down";
        return -EAGAIN;
    }
    *a->json = lc_mds_dump_json(a->m->env.ns, *a->path, kDumpMaxNodes, a->err);
    return a->json->empty() ? -ENOENT : 0;
}

}  // namespace

const char* lc_mds_state_name(lc_mds_state s) {
    switch (s) {
        case LC_MDS_UP: return "up";
        case LC_MDS_CRASHING: return "crashing";
        case LC_MDS_DOWN: return "down";
    }
    return "?";
}

lc_mds* lc_mds_create(const lc_mds_config& config, std::string* err) {
    if (!config.disk) {
        *err = "the MDS of " + config.fs_name + " has no disk";
        return nullptr;
    }
    auto* m = new lc_mds;
    m->cfg = config;
    m->budget = kiv_rpc_budget_create(config.held_budget);
    if (!m->budget) kiv_fatal("allocation failed: MDS budget");
    m->name = "mds " + config.fs_name;
    m->ops.on_request = on_request;
    m->ops.on_close = on_close;
    m->env.cdisk = config.cdisk;
    m->env.fs = config.fs_index;
    m->env.fs_id = config.fs_id;
    m->ns_ops.ctx = m;
    m->ns_ops.health = ns_health;
    if (config.cdisk) {
        m->ns_ops.ds_disk = ns_ds_disk;
        m->ns_ops.vdisk_mounted = ns_vdisk_mounted;
        m->ns_ops.replication_disabled = ns_replication_disabled;
    }
    if (kiv_process_init_(&m->proc) != 0) {
        *err = "cannot create the runtime process of " + m->name;
        delete m;
        return nullptr;
    }
    char pname[32];
    snprintf(pname, sizeof pname, "lc-mds-%llx", (unsigned long long)config.fs_id);
    if (kiv_process_start(&m->proc, pname) != 0) {
        kiv_process_fini(&m->proc);
        *err = "cannot start the runtime process of " + m->name;
        delete m;
        return nullptr;
    }
    m->proc_started = true;
    init_timer(&m->proc, &m->drain_timer, on_drained, m);
    init_timer(&m->proc, &m->restart_timer, on_restart, m);
    init_timer(&m->proc, &m->rebind_timer, on_rebind, m);
    lc_fault_gate_ops gops{m, gate_key, gate_execute, gate_answer_status, gate_stop_listening,
                           gate_start_listening, gate_crash};
    m->gate = lc_fault_gate_create(config.faults, lc_fault_site{LC_SVC_MDS, config.fs_index, config.host_id},
                                   &m->proc, gops, config.log);
    if (kiv_call_in_job(&m->proc, do_open, m) != 0) {
        *err = "the namespace of " + config.fs_name + " is open elsewhere";
        lc_mds_destroy(m);
        return nullptr;
    }
    return m;
}

int lc_mds_listen(lc_mds* m, uint16_t port, uint16_t* bound) {
    ListenArgs a{m, port, false};
    int rc = kiv_call_in_job(&m->proc, do_listen, &a);
    if (rc == 0 && bound) *bound = m->port;
    if (rc == 0)
        lc_log(m->cfg.log, LC_LOG_INFO, "%s (fs id %llx) listening on 127.0.0.1:%u", m->name.c_str(),
               (unsigned long long)m->cfg.fs_id, unsigned(m->port));
    return rc;
}

kiv_rpc_budget* lc_mds_budget(lc_mds* m) { return m->budget; }

int lc_mds_move(lc_mds* m, uint16_t* new_port) {
    uint16_t old = m->port;
    ListenArgs a{m, 0, true};
    int rc = kiv_call_in_job(&m->proc, do_listen, &a);
    if (rc < 0) {
        lc_log(m->cfg.log, LC_LOG_ERROR, "%s: cannot listen on a new port: %s", m->name.c_str(), strerror(-rc));
        return rc;
    }
    *new_port = m->port;
    lc_log(m->cfg.log, LC_LOG_INFO, "%s moved from port %u to %u", m->name.c_str(), unsigned(old), unsigned(m->port));
    return 0;
}

void lc_mds_destroy(lc_mds* m) {
    if (!m) return;
    if (m->proc_started) {
        kiv_call_in_job(&m->proc, do_stop, m);
        kiv_process_terminate(&m->proc);
        kiv_process_wait(&m->proc);
        kiv_process_fini(&m->proc);
    }
    lc_fault_gate_destroy(m->gate);
    kiv_rpc_budget_put(m->budget);
    delete m;
}

int lc_mds_crash(lc_mds* m, uint32_t down_ms) {
    CrashArgs a{m, down_ms};
    int rc = kiv_call_in_job(&m->proc, do_crash, &a);
    if (rc < 0) return rc;
    // The drain ends on the loop by itself; the caller may rely on connects
    // being refused once this returns.
    while (state_of(m) == LC_MDS_CRASHING) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

int lc_mds_restart(lc_mds* m) { return kiv_call_in_job(&m->proc, do_restart, m); }

int lc_mds_hold_down(lc_mds* m) {
    int rc = kiv_call_in_job(&m->proc, do_hold, m);
    if (rc < 0) return rc;
    while (state_of(m) == LC_MDS_CRASHING) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

void lc_mds_crash_from_request(lc_mds* m) { go_down(m, m->cfg.down_ms); }

void lc_mds_get_stats(lc_mds* m, lc_mds_stats* out) {
    out->port = m->port;
    out->listening = m->listening;
    out->refusing = lc_fault_gate_refusing(m->gate);
    out->state = state_of(m);
    out->recovering = out->state == LC_MDS_UP && still_recovering(m);
    out->requests = m->nr_requests;
    out->epoch_unknown = m->nr_epoch_unknown;
    out->faults = lc_fault_gate_fired(m->gate);
    out->clients = m->nr_clients;
    out->crashes = m->nr_crashes;
    out->discarded = m->nr_discarded;
}

uint32_t lc_mds_health(lc_mds* m) {
    uint32_t bits = m->cfg.cdisk ? lc_cdisk_health(m->cfg.cdisk, m->cfg.fs_index) : 0;
    if (still_recovering(m)) bits |= LC_HEALTH_RECOVERING;
    return bits;
}

bool lc_mds_dump(lc_mds* m, const std::string& path, std::string* json, std::string* err) {
    DumpArgs a{m, &path, json, err};
    return kiv_call_in_job(&m->proc, do_dump, &a) == 0;
}

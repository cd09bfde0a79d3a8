#include "localcluster/ds/ds_server.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "client/tarn_wire.h"
#include "kiv/io.h"
#include "kiv/rpc_server.h"
#include "localcluster/breaks.h"
#include "localcluster/cluster_disk.h"
#include "localcluster/common/instance.h"
#include "localcluster/common/workers.h"
#include "localcluster/ds/ds_proto.h"
#include "localcluster/ds/replicator.h"
#include "localcluster/faults/fault_gate.h"
#include "localcluster/log.h"
#include "localcluster/mds/epoch_table.h"
#include "localcluster/topology.h"

namespace {

using Clock = std::chrono::steady_clock;

enum ServeState : uint32_t {
    S_DOWN,
    S_UP,
    S_CRASHING,  // no new request starts; running ones finish
};

// Reads up to this size, and attribute reads, are served on the loop: a
// copy out of memory costs less than waking a worker for it. Larger reads
// and everything that changes an object or may wait go to the workers.
constexpr uint32_t kLoopReadMax = 64 * 1024;

// How long a crash waits for the handlers already running.
constexpr auto kHandlerGrace = std::chrono::seconds(1);
// Coming back: the old port is tried this often, for this long.
constexpr auto kRebindEvery = std::chrono::milliseconds(50);
constexpr auto kRebindFor = std::chrono::seconds(5);

}  // namespace

struct lc_ds {
    lc_ds_config cfg;
    std::string name;  // for the log: "ds <fs> host <n>"
    kiv_process proc{};
    bool proc_started = false;
    kiv_rpc_server_ops ops{};
    lc_fault_gate* gate = nullptr;
    lc_ds_env env;
    lc_ds_disk* disk = nullptr;
    lc_replicator* repl = nullptr;

    // Loop context only.
    kiv_rpc_server* server = nullptr;
    lc_epoch_table epochs;

    // Serving. A worker counts itself running before it looks at the
    // state, and a crash sets the state before it looks at the count, so
    // neither misses the other.
    std::atomic<uint32_t> state{S_DOWN};
    std::atomic<uint64_t> incarnation{1};
    std::atomic<int> running{0};
    std::atomic<int> outstanding{0};  // handed to the workers and not finished
    std::atomic<bool> drop_replies{false};
    std::mutex idle_mu;
    std::condition_variable idle_cv;

    // Replies built by workers, sent by the loop in batches: a worker never
    // waits for the loop lock, and the loop takes many replies per wake-up.
    std::mutex out_mu;
    std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> out;  // connections referenced
    kiv_job out_job{};

    std::atomic<uint16_t> port{0};
    std::atomic<uint64_t> repl_conn{0};  // the connection whose test code 1 disabled replication

    // Going down and coming back, one at a time.
    std::mutex op_mu;
    int hold_fd = -1;  // keeps the port while down (under op_mu)
    std::mt19937_64 rng;
    uint64_t verifier = 0;

    // The lifecycle thread and its schedule.
    std::mutex life_mu;
    std::condition_variable life_cv;
    bool life_stop = false;
    bool crash_pending = false;
    std::optional<Clock::time_point> restart_at;
    std::optional<Clock::time_point> mount_at;
    // Down until lc_ds_restart (a host that is down): neither a return that
    // was already due nor a crash request that raced the hold brings it
    // back. Under op_mu.
    bool held = false;
    std::thread life;

    std::atomic<uint64_t> nr_requests{0};
    std::atomic<uint64_t> nr_epoch_unknown{0};
    std::atomic<uint64_t> nr_clients{0};
    std::atomic<uint64_t> nr_starts{0};
};

namespace {

bool strict(const lc_ds* ds) { return !ds->cfg.epoch_strict || ds->cfg.epoch_strict->load(std::memory_order_relaxed); }

bool serving(const lc_ds* ds) { return ds->state.load() == S_UP; }

lc_ds_phase phase(const lc_ds* ds) { return lc_cdisk_ds_phase(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host); }

void set_phase(lc_ds* ds, lc_ds_phase p) { lc_cdisk_set_ds_phase(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host, p); }

bool repl_disabled(const lc_ds* ds) { return lc_cdisk_repl_disabled(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host); }

void wake_idle(lc_ds* ds) {
    { std::lock_guard<std::mutex> g(ds->idle_mu); }
    ds->idle_cv.notify_all();
}

void send_reply(lc_ds* ds, kiv_rpc_sconn* c, kiv_msg* reply) {
    if (ds->drop_replies.load() && !serving(ds)) {
        kiv_free_msg(reply);
        return;
    }
    if (kiv_in_loop_context()) {
        lc_fault_gate_send(ds->gate, c, reply);
        return;
    }
    kiv_rpc_sconn_ref(c);
    bool first;
    {
        std::lock_guard<std::mutex> g(ds->out_mu);
        first = ds->out.empty();
        ds->out.emplace_back(c, reply);
    }
    if (first) kiv_job_wakeup(&ds->out_job);
}

// Loop context: sends (or, going down in drop mode, discards) every reply
// the workers queued. Each connection is written once for the lot.
void flush_out(lc_ds* ds, bool send) {
    std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> batch;
    {
        std::lock_guard<std::mutex> g(ds->out_mu);
        batch.swap(ds->out);
    }
    if (batch.empty()) return;
    kiv_rpc_batch_begin(&ds->proc);
    for (auto& [c, reply] : batch) {
        if (send)
            lc_fault_gate_send(ds->gate, c, reply);
        else
            kiv_free_msg(reply);
        kiv_rpc_sconn_unref(c);
    }
    kiv_rpc_batch_end(&ds->proc);
}

void out_job_run(void* arg) {
    auto* ds = static_cast<lc_ds*>(arg);
    flush_out(ds, !(ds->drop_replies.load() && !serving(ds)));
}

void send_status(lc_ds* ds, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status) {
    kiv_msg* reply = lc_ds_alloc_reply(req, TARN_REPLY_HDR_BYTES, status);
    if (reply)
        send_reply(ds, c, reply);
    else
        kiv_rpc_sconn_drop(c);
}

// ---------------------------------------------------------------- handler environment

void env_disable_replication(void* ctx, uint64_t conn_id) {
    auto* ds = static_cast<lc_ds*>(ctx);
    ds->repl_conn = conn_id;
    lc_cdisk_set_repl_disabled(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host, true);
    lc_log(ds->cfg.log, LC_LOG_INFO, "%s: replication disabled by connection %llu", ds->name.c_str(),
           (unsigned long long)conn_id);
}

// Test code 2. No new request starts from now on; the lifecycle thread
// does the rest, as this handler is one of those a crash waits for.
void env_crash(void* ctx) {
    auto* ds = static_cast<lc_ds*>(ctx);
    uint32_t up = S_UP;
    if (!ds->state.compare_exchange_strong(up, S_CRASHING)) return;
    ds->drop_replies = ds->cfg.crash_replies_drop && ds->cfg.crash_replies_drop->load();
    lc_log(ds->cfg.log, LC_LOG_INFO, "%s: crash requested", ds->name.c_str());
    {
        std::lock_guard<std::mutex> g(ds->life_mu);
        ds->crash_pending = true;
    }
    ds->life_cv.notify_all();
}

bool env_overdata(void* ctx, const lc_ds_call* call) {
    return lc_fault_gate_take_overdata(static_cast<lc_ds*>(ctx)->gate, call->conn, call->req);
}

// ---------------------------------------------------------------- requests

struct Task {
    lc_ds* ds;
    kiv_rpc_sconn* conn;  // referenced
    kiv_msg* req;
    const lc_ds_msg_def* def;
    uint64_t incarnation;
};

// The last thing a task does. While the instance serves, nobody waits for
// the count and the task lets go of the instance with the decrement. Once
// it does not, its destruction may be waiting: the decrement happens under
// the mutex the destructor waits with, so it cannot free the instance
// before the task is done with it.
void finish_task(Task* t) {
    lc_ds* ds = t->ds;
    kiv_free_msg(t->req);
    kiv_rpc_sconn_unref(t->conn);
    delete t;
    if (serving(ds)) {
        ds->outstanding.fetch_sub(1);
        return;
    }
    std::lock_guard<std::mutex> g(ds->idle_mu);
    ds->outstanding.fetch_sub(1);
    ds->idle_cv.notify_all();
}

// Checks 5 and 6, the handler, the reply.
void serve(lc_ds* ds, kiv_rpc_sconn* c, const kiv_msg* req, const lc_ds_msg_def* def) {
    lc_ds_call call{};
    call.env = &ds->env;
    call.conn = c;
    call.conn_id = kiv_rpc_sconn_id(c);
    call.req = req;
    call.buf = req->buf;
    call.len = req->kept_len;
    uint32_t st = lc_ds_execute(&call, def);
    if (call.no_reply) return;
    if (call.reply) {
        tarn_wire_put_u32(call.reply->buf, TARN_REPLY_STATUS, st);
        send_reply(ds, c, call.reply);
    } else {
        send_status(ds, c, req, st);
    }
}

// Served on the loop: nothing that changes state, waits for anything but an
// object's lock, or copies much. A crash cannot fall in the middle of one,
// as its close runs on the loop too.
bool on_loop(const lc_ds_msg_def* def, const kiv_msg* req) {
    if (def->type == TARN_DS_GET_ATTRS) return true;
    if (def->type != TARN_DS_READ || req->kept_len < TARN_DS_READ_COUNT + 4) return false;
    return tarn_wire_get_u32(req->buf, TARN_DS_READ_COUNT) <= kLoopReadMax;
}

// Worker thread.
void run_task(void* arg) {
    auto* t = static_cast<Task*>(arg);
    lc_ds* ds = t->ds;
    ds->running.fetch_add(1);
    if (serving(ds) && ds->incarnation.load() == t->incarnation) serve(ds, t->conn, t->req, t->def);
    // Read but not started before a crash: discarded, the client retries.
    if (ds->running.fetch_sub(1) == 1 && !serving(ds)) wake_idle(ds);
    finish_task(t);
}

// Loop context: checks 1 to 4; the no-op and short reads are answered
// here, the rest goes to the workers. Takes `req`.
void execute(lc_ds* ds, kiv_rpc_sconn* c, kiv_msg* req) {
    if (!serving(ds)) {
        kiv_free_msg(req);
        return;
    }
    const uint8_t* buf = req->buf;
    uint32_t len = req->kept_len;
    const lc_ds_msg_def* def = nullptr;
    uint32_t st = lc_ds_check_header(buf, len, &def);
    if (st == TARN_DS_OK) {
        uint64_t client = tarn_wire_get_u64(buf, TARN_DS_REQ_CLIENT_ID);
        uint32_t epoch = tarn_wire_get_u32(buf, TARN_DS_REQ_EPOCH);
        bool resend = tarn_wire_get_u32(buf, TARN_DS_REQ_FLAGS) & TARN_REQ_FLAG_EPOCH_RESEND;
        uint32_t known = 0;
        switch (lc_epoch_check(&ds->epochs, client, epoch, resend, strict(ds), &known)) {
            case LC_EPOCH_UNKNOWN:
                st = TARN_DS_EPOCH_UNKNOWN;
                ds->nr_epoch_unknown++;
                break;
            case LC_EPOCH_PAST:
                lc_log(ds->cfg.log, LC_LOG_INFO, "%s: client %llx sent %s with epoch %u, older than its epoch %u",
                       ds->name.c_str(), (unsigned long long)client, def->name, epoch, known);
                break;
            case LC_EPOCH_OK:
                break;
        }
        ds->nr_clients.store(ds->epochs.known.size(), std::memory_order_relaxed);
    } else {
        lc_log(ds->cfg.log, LC_LOG_DEBUG, "%s: type %u, %u bytes: refused with status %u", ds->name.c_str(),
               tarn_wire_get_u32(buf, TARN_MSG_TYPE), len, st);
    }
    if (st != TARN_DS_OK || def->type == TARN_DS_NOOP) {
        send_status(ds, c, req, st);
        kiv_free_msg(req);
        return;
    }
    if (on_loop(def, req)) {
        serve(ds, c, req, def);
        kiv_free_msg(req);
        return;
    }
    kiv_rpc_sconn_ref(c);
    ds->outstanding.fetch_add(1);
    lc_workers_submit(ds->cfg.workers, run_task, new Task{ds, c, req, def, ds->incarnation.load()});
}

void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
    auto* ds = static_cast<lc_ds*>(arg);
    // A crashing instance reads nothing more.
    if (!serving(ds)) {
        kiv_free_msg(req);
        return;
    }
    ds->nr_requests++;
    if (lc_fault_gate_request(ds->gate, c, req)) return;
    execute(ds, c, req);
}

void on_close(kiv_rpc_sconn* c, void* arg) {
    auto* ds = static_cast<lc_ds*>(arg);
    lc_fault_gate_closed(ds->gate, c);
    // A test that died between disabling replication and crashing the
    // server must not leave it disabled for the tests after it.
    uint64_t id = kiv_rpc_sconn_id(c);
    uint64_t expected = id;
    if (id && ds->repl_conn.compare_exchange_strong(expected, 0) && repl_disabled(ds)) {
        lc_cdisk_set_repl_disabled(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host, false);
        lc_log(ds->cfg.log, LC_LOG_INFO, "%s: connection %llu that disabled replication closed; enabled again",
               ds->name.c_str(), (unsigned long long)id);
        lc_replicator_kick(ds->repl);
    }
}

// ---------------------------------------------------------------- gate callbacks

void gate_key(void*, const kiv_msg* req, lc_fault_key* k) {
    const uint8_t* b = req->buf;
    uint32_t len = req->kept_len;
    k->type = tarn_wire_get_u32(b, TARN_MSG_TYPE);
    if (len >= TARN_DS_REQ_CLIENT_ID + 8) {
        k->has_client = true;
        k->client = tarn_wire_get_u64(b, TARN_DS_REQ_CLIENT_ID);
    }
    if (len >= TARN_DS_REQ_FLAGS + 4)
        k->epoch_resend = tarn_wire_get_u32(b, TARN_DS_REQ_FLAGS) & TARN_REQ_FLAG_EPOCH_RESEND;
    k->has_vdisk = lc_ds_request_vdisk(b, len, &k->vdisk);
}

void gate_execute(void* ctx, kiv_rpc_sconn* c, kiv_msg* req) { execute(static_cast<lc_ds*>(ctx), c, req); }

void gate_answer_status(void* ctx, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status) {
    send_status(static_cast<lc_ds*>(ctx), c, req, status);
}

void stop_listening(lc_ds* ds) {
    if (!ds->server) return;
    kiv_rpc_server_close(ds->server);
    ds->server = nullptr;
}

// Loop context.
int start_listening(lc_ds* ds, uint16_t port) {
    if (ds->server) return 0;
    kiv_rpc_server* s = nullptr;
    uint16_t bound = 0;
    int rc = lc_instance_listen(&ds->proc, port, TARN_DS_MAX_MSG, &ds->ops, ds, &s, &bound);
    if (rc < 0) return rc;
    // A read request of a few hundred bytes asks for up to 4 MiB: what one
    // peer may have in flight is counted by the replies it will get.
    kiv_rpc_server_set_request_charge(s, TARN_DS_MAX_MSG);
    ds->server = s;
    ds->port = bound;
    return 0;
}

void gate_stop_listening(void* ctx) { stop_listening(static_cast<lc_ds*>(ctx)); }

// A crashed instance stays closed; its return listens by itself.
int gate_start_listening(void* ctx) {
    auto* ds = static_cast<lc_ds*>(ctx);
    if (!serving(ds)) return 0;
    return start_listening(ds, ds->port);
}

struct ListenArgs {
    lc_ds* ds;
    uint16_t port;
};

int do_listen(void* arg) {
    auto* a = static_cast<ListenArgs*>(arg);
    return start_listening(a->ds, a->port);
}

// Closing in loop context: the replies of the requests that ran are sent
// first, or dropped in drop mode; what the peers have not read by the time
// the connections close goes with them.
int do_close(void* arg) {
    auto* ds = static_cast<lc_ds*>(arg);
    flush_out(ds, !ds->drop_replies.load());
    lc_fault_gate_reset(ds->gate);
    stop_listening(ds);
    ds->epochs.known.clear();
    ds->nr_clients = 0;
    return 0;
}

int do_stop(void* arg) {
    auto* ds = static_cast<lc_ds*>(arg);
    flush_out(ds, false);
    lc_fault_gate_stop(ds->gate);
    stop_listening(ds);
    return 0;
}

// ---------------------------------------------------------------- replication

bool push_hook(void* ctx, const lc_ds_attrs* snap) {
    auto* ds = static_cast<lc_ds*>(ctx);
    // Broken on purpose: a change made while disabled is dropped as if taken.
    if (repl_disabled(ds)) return (ds->cfg.breaks & LC_BREAK_REPL_LOST_WHILE_DISABLED) != 0;
    return lc_cdisk_push_to_mds(ds->cfg.cdisk, ds->cfg.fs_index, snap);
}

bool can_flush(void* ctx) {
    auto* ds = static_cast<lc_ds*>(ctx);
    return serving(ds) && !repl_disabled(ds) && lc_cdisk_mds_up(ds->cfg.cdisk, ds->cfg.fs_index);
}

// Recovery ends once the dirty set is flushed, or cannot be (MDS down,
// replication disabled again: the backlog bit then tells).
void pass_done(void* ctx, size_t still_dirty) {
    auto* ds = static_cast<lc_ds*>(ctx);
    std::lock_guard<std::mutex> g(ds->op_mu);
    if (!serving(ds) || phase(ds) != LC_DS_PHASE_RECOVERING) return;
    if (still_dirty > 0 && can_flush(ds)) return;
    set_phase(ds, LC_DS_PHASE_UP);
    lc_log(ds->cfg.log, LC_LOG_INFO, "%s: recovered (%zu objects still dirty)", ds->name.c_str(), still_dirty);
}

void kick(void* ctx) { lc_replicator_kick(static_cast<lc_ds*>(ctx)->repl); }

// ---------------------------------------------------------------- lifecycle

uint64_t new_verifier(lc_ds* ds) {
    uint64_t v;
    do v = ds->rng();
    while (v == 0 || v == ds->verifier);
    ds->verifier = v;
    return v;
}

// Under op_mu.
void go_down_locked(lc_ds* ds, const char* why) {
    if (ds->state.load() == S_DOWN) return;
    uint32_t up = S_UP;
    if (ds->state.compare_exchange_strong(up, S_CRASHING))
        ds->drop_replies = ds->cfg.crash_replies_drop && ds->cfg.crash_replies_drop->load();
    ds->incarnation.fetch_add(1);
    set_phase(ds, LC_DS_PHASE_DOWN);  // unmounts its vdisks
    {
        std::lock_guard<std::mutex> g(ds->life_mu);
        ds->mount_at.reset();
    }
    {
        std::unique_lock<std::mutex> lk(ds->idle_mu);
        if (!ds->idle_cv.wait_for(lk, kHandlerGrace, [ds] { return ds->running.load() == 0; }))
            lc_log(ds->cfg.log, LC_LOG_WARN, "%s: %d handlers still running after %lld ms; going down anyway",
                   ds->name.c_str(), ds->running.load(),
                   (long long)std::chrono::duration_cast<std::chrono::milliseconds>(kHandlerGrace).count());
    }
    kiv_call_in_job(&ds->proc, do_close, ds);
    lc_cdisk_set_repl_disabled(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host, false);
    ds->repl_conn = 0;
    if (ds->cfg.lose_unstable || (ds->cfg.breaks & LC_BREAK_LOSE_COMMITTED)) lc_ds_disk_lose_unstable(ds->disk);
    // Connects are refused while the port is held and nobody listens.
    uint16_t bound = 0;
    int fd = lc_port_hold(ds->port, &bound);
    if (fd >= 0) {
        if (ds->hold_fd >= 0) close(ds->hold_fd);
        ds->hold_fd = fd;
    } else {
        lc_log(ds->cfg.log, LC_LOG_WARN, "%s: cannot hold port %u while down: %s", ds->name.c_str(),
               unsigned(ds->port.load()), strerror(-fd));
    }
    ds->state = S_DOWN;
    lc_log(ds->cfg.log, LC_LOG_INFO, "%s: down (%s); replies %s", ds->name.c_str(), why,
           ds->drop_replies.load() ? "dropped" : "flushed");
}

// Under op_mu. Listens on the old port if it can within a few seconds,
// else on a new one, which the vdisk map then names.
int come_up_locked(lc_ds* ds) {
    if (ds->state.load() != S_DOWN) return 0;
    uint16_t old = ds->port;
    int rc = -EADDRINUSE;
    auto until = Clock::now() + kRebindFor;
    for (;;) {
        ListenArgs a{ds, old};
        rc = kiv_call_in_job(&ds->proc, do_listen, &a);
        if (rc == 0 || Clock::now() >= until) break;
        std::this_thread::sleep_for(kRebindEvery);
    }
    if (rc < 0) {
        lc_log(ds->cfg.log, LC_LOG_WARN, "%s: port %u stays taken (%s); moving to a new port", ds->name.c_str(),
               unsigned(old), strerror(-rc));
        ListenArgs a{ds, 0};
        rc = kiv_call_in_job(&ds->proc, do_listen, &a);
        if (rc < 0) {
            lc_log(ds->cfg.log, LC_LOG_ERROR, "%s: cannot listen anywhere: %s", ds->name.c_str(), strerror(-rc));
            return rc;
        }
    }
    if (ds->hold_fd >= 0) close(ds->hold_fd);
    ds->hold_fd = -1;
    if (!(ds->cfg.breaks & LC_BREAK_RESTART_KEEPS_VERIFIER)) ds->env.verifier = new_verifier(ds);
    lc_cdisk_set_ds_port(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host, ds->port);
    ds->drop_replies = false;
    ds->state = S_UP;
    set_phase(ds, LC_DS_PHASE_MOUNTING);
    ds->nr_starts++;
    {
        std::lock_guard<std::mutex> g(ds->life_mu);
        ds->mount_at = Clock::now() + std::chrono::milliseconds(ds->cfg.mount_delay_ms);
    }
    ds->life_cv.notify_all();
    lc_log(ds->cfg.log, LC_LOG_INFO, "%s: back on 127.0.0.1:%u, verifier %016llx", ds->name.c_str(),
           unsigned(ds->port.load()), (unsigned long long)ds->verifier);
    return 0;
}

// Under op_mu. Vdisks a client's report mounted meanwhile keep their token.
void mount_all_locked(lc_ds* ds) {
    if (!serving(ds) || phase(ds) != LC_DS_PHASE_MOUNTING) return;
    for (uint32_t v : lc_cdisk_host_vdisks(ds->cfg.cdisk, ds->cfg.host))
        lc_cdisk_mount_if_unmounted(ds->cfg.cdisk, ds->cfg.fs_index, v, nullptr);
    set_phase(ds, LC_DS_PHASE_RECOVERING);
    lc_log(ds->cfg.log, LC_LOG_INFO, "%s: vdisks mounted; %zu objects to catch up", ds->name.c_str(),
           lc_ds_disk_dirty_count(ds->disk));
    lc_replicator_kick(ds->repl);
}

void schedule_restart(lc_ds* ds, uint32_t down_ms) {
    std::lock_guard<std::mutex> g(ds->life_mu);
    if (down_ms == LC_DS_HOLD_DOWN)
        ds->restart_at.reset();
    else
        ds->restart_at = Clock::now() + std::chrono::milliseconds(down_ms);
    ds->life_cv.notify_all();
}

void life_run(lc_ds* ds) {
    std::unique_lock<std::mutex> lk(ds->life_mu);
    while (!ds->life_stop) {
        auto now = Clock::now();
        if (ds->crash_pending) {
            ds->crash_pending = false;
            lk.unlock();
            {
                std::lock_guard<std::mutex> g(ds->op_mu);
                go_down_locked(ds, "test code 2");
                if (!ds->held) schedule_restart(ds, ds->cfg.down_ms);
            }
            lk.lock();
            continue;
        }
        if (ds->restart_at && now >= *ds->restart_at) {
            ds->restart_at.reset();
            lk.unlock();
            {
                std::lock_guard<std::mutex> g(ds->op_mu);
                if (!ds->held) come_up_locked(ds);
            }
            lk.lock();
            continue;
        }
        if (ds->mount_at && now >= *ds->mount_at) {
            ds->mount_at.reset();
            lk.unlock();
            {
                std::lock_guard<std::mutex> g(ds->op_mu);
                mount_all_locked(ds);
            }
            lk.lock();
            continue;
        }
        std::optional<Clock::time_point> next = ds->restart_at;
        if (ds->mount_at && (!next || *ds->mount_at < *next)) next = ds->mount_at;
        if (next)
            ds->life_cv.wait_until(lk, *next);
        else
            ds->life_cv.wait(lk);
    }
}

}  // namespace

lc_ds* lc_ds_create(const lc_ds_config& config, std::string* err) {
    auto* ds = new lc_ds;
    ds->cfg = config;
    char name[96];
    snprintf(name, sizeof name, "ds %s host %d", config.fs_name.c_str(), config.host);
    ds->name = name;
    ds->disk = lc_cdisk_ds_disk(config.cdisk, config.fs_index, config.host);
    ds->rng.seed(config.seed ^ (config.fs_id * 0x9E3779B97F4A7C15ull) ^ (uint64_t(config.host) << 40));
    ds->ops.on_request = on_request;
    ds->ops.on_close = on_close;
    ds->env.fs = config.fs_index;
    ds->env.host = config.host;
    ds->env.cdisk = config.cdisk;
    ds->env.disk = ds->disk;
    ds->env.ctx = ds;
    ds->env.disable_replication = env_disable_replication;
    ds->env.crash = env_crash;
    ds->env.overdata = env_overdata;
    if (!ds->disk || !config.workers) {
        *err = "no disk or no workers for " + ds->name;
        delete ds;
        return nullptr;
    }
    if (kiv_process_init_(&ds->proc) != 0) {
        *err = "cannot create the runtime process of " + ds->name;
        delete ds;
        return nullptr;
    }
    char pname[32];
    snprintf(pname, sizeof pname, "lc-ds-%llx-%d", (unsigned long long)config.fs_id, config.host);
    if (kiv_process_start(&ds->proc, pname) != 0) {
        kiv_process_fini(&ds->proc);
        *err = "cannot start the runtime process of " + ds->name;
        delete ds;
        return nullptr;
    }
    ds->proc_started = true;
    kiv_job_init(&ds->proc, &ds->out_job, out_job_run, ds);
    lc_fault_gate_ops gops{ds, gate_key, gate_execute, gate_answer_status, gate_stop_listening, gate_start_listening};
    ds->gate = lc_fault_gate_create(config.faults, lc_fault_site{LC_SVC_DS, config.fs_index, config.host_id},
                                    &ds->proc, gops, config.log);
    lc_replicator_ops rops;
    rops.ctx = ds;
    rops.can_flush = can_flush;
    rops.push = push_hook;
    rops.pass_done = pass_done;
    snprintf(pname, sizeof pname, "lc-repl-%d-%d", config.fs_index, config.host);
    ds->repl = lc_replicator_start(ds->disk, rops, pname);
    lc_ds_disk_set_push(ds->disk, push_hook, ds);
    lc_ds_disk_set_breaks(ds->disk, config.breaks);
    lc_cdisk_set_ds_kick(config.cdisk, config.fs_index, config.host, kick, ds);
    ds->life = std::thread(life_run, ds);
    return ds;
}

int lc_ds_listen(lc_ds* ds, uint16_t port, uint16_t* bound) {
    std::lock_guard<std::mutex> g(ds->op_mu);
    if (ds->state.load() != S_DOWN) return -EALREADY;
    ListenArgs a{ds, port};
    int rc = kiv_call_in_job(&ds->proc, do_listen, &a);
    if (rc < 0) return rc;
    if (bound) *bound = ds->port;
    ds->env.verifier = new_verifier(ds);
    lc_cdisk_set_ds_port(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host, ds->port);
    ds->state = S_UP;
    set_phase(ds, LC_DS_PHASE_UP);
    ds->nr_starts++;
    lc_log(ds->cfg.log, LC_LOG_INFO, "%s (fs id %llx) listening on 127.0.0.1:%u", ds->name.c_str(),
           (unsigned long long)ds->cfg.fs_id, unsigned(ds->port.load()));
    // A dirty set left from before (a cluster that shares its disks) catches up.
    lc_replicator_kick(ds->repl);
    return 0;
}

void lc_ds_destroy(lc_ds* ds) {
    if (!ds) return;
    {
        std::lock_guard<std::mutex> g(ds->life_mu);
        ds->life_stop = true;
    }
    ds->life_cv.notify_all();
    if (ds->life.joinable()) ds->life.join();
    lc_cdisk_set_ds_kick(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host, nullptr, nullptr);
    if (ds->proc_started) {
        {
            std::lock_guard<std::mutex> g(ds->op_mu);
            uint32_t up = S_UP;
            if (ds->state.compare_exchange_strong(up, S_CRASHING)) ds->drop_replies = true;
            ds->incarnation.fetch_add(1);
            if (ds->state.load() != S_DOWN) set_phase(ds, LC_DS_PHASE_DOWN);
            kiv_call_in_job(&ds->proc, do_stop, ds);
            ds->state = S_DOWN;
        }
        // Tasks still queued see the instance down and only let go of their
        // request; nothing may touch the instance after this. A task that
        // saw it serving just before does not signal: hence the polling.
        {
            std::unique_lock<std::mutex> lk(ds->idle_mu);
            while (ds->outstanding.load() != 0) ds->idle_cv.wait_for(lk, std::chrono::milliseconds(10));
        }
        // Replies queued by the last tasks go unsent.
        kiv_call_in_job(&ds->proc, do_stop, ds);
    }
    lc_replicator_stop(ds->repl);
    if (ds->disk) lc_ds_disk_set_push(ds->disk, nullptr, nullptr);
    if (ds->proc_started) {
        kiv_process_terminate(&ds->proc);
        kiv_process_wait(&ds->proc);
        kiv_process_fini(&ds->proc);
    }
    lc_fault_gate_destroy(ds->gate);
    if (ds->hold_fd >= 0) close(ds->hold_fd);
    delete ds;
}

void lc_ds_crash(lc_ds* ds, uint32_t down_ms) {
    // The schedule is set under op_mu, so that of two crashes racing the
    // later one decides when the instance returns.
    std::lock_guard<std::mutex> g(ds->op_mu);
    go_down_locked(ds, "crash");
    ds->held = down_ms == LC_DS_HOLD_DOWN;
    schedule_restart(ds, down_ms);
}

int lc_ds_restart(lc_ds* ds) {
    std::lock_guard<std::mutex> g(ds->op_mu);
    ds->held = false;
    {
        std::lock_guard<std::mutex> lg(ds->life_mu);
        ds->restart_at.reset();
    }
    return come_up_locked(ds);
}

void lc_ds_set_replication(lc_ds* ds, bool enabled) {
    ds->repl_conn = 0;
    lc_cdisk_set_repl_disabled(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host, !enabled);
    lc_log(ds->cfg.log, LC_LOG_INFO, "%s: replication %s", ds->name.c_str(), enabled ? "enabled" : "disabled");
    if (enabled) lc_replicator_kick(ds->repl);
}

void lc_ds_get_stats(lc_ds* ds, lc_ds_stats* out) {
    out->port = ds->port;
    out->phase = phase(ds);
    out->refusing = lc_fault_gate_refusing(ds->gate);
    out->repl_disabled = repl_disabled(ds);
    out->verifier = ds->env.verifier.load();
    out->starts = ds->nr_starts;
    out->requests = ds->nr_requests;
    out->epoch_unknown = ds->nr_epoch_unknown;
    out->faults = lc_fault_gate_fired(ds->gate);
    out->clients = ds->nr_clients;
    out->dirty = lc_ds_disk_dirty_count(ds->disk);
}

bool lc_ds_settled(lc_ds* ds) {
    if (!serving(ds) || phase(ds) != LC_DS_PHASE_UP || lc_fault_gate_refusing(ds->gate)) return false;
    {
        std::lock_guard<std::mutex> g(ds->life_mu);
        if (ds->restart_at || ds->mount_at || ds->crash_pending) return false;
    }
    if (lc_ds_disk_dirty_count(ds->disk) > 0 && can_flush(ds)) return false;
    return lc_replicator_idle(ds->repl);
}

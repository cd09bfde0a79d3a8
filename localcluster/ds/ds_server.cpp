#include "localcluster/ds/ds_server.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
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

int default_loops() {
    int cores = int(std::thread::hardware_concurrency());
    return std::min(4, std::max(1, cores / 2));
}

// What a worker hands to its connection's loop: a reply to send, or a
// request it served, freed there once the replies queued before it were
// handed over.
struct Out {
    kiv_rpc_sconn* conn;  // referenced
    kiv_msg* reply;       // NULL: none
    kiv_msg* req;         // NULL: none
};

}  // namespace

// One event loop of an instance: its own runtime process, its share of the
// connections, and everything that is only ever touched for them.
struct lc_ds_loop {
    lc_ds* ds = nullptr;
    size_t index = 0;
    kiv_process proc{};
    // Fault rules fire on the loop that reads the request; delayed
    // requests and reply rules stay with their connection's loop.
    lc_fault_gate* gate = nullptr;
    // Set and cleared on this loop; loop 0's hand-off reads it. Loop 0's
    // is the listener, which serves its own share too.
    std::atomic<kiv_rpc_server*> server{nullptr};
    // Loop 0's port while its listener is shut (a crash, a refuse fault).
    int port_hold = -1;
    std::atomic<uint64_t> conns{0};  // open

    // Replies built by workers, sent by the loop in batches: a worker never
    // waits for the loop lock, and the loop takes many replies per wake-up.
    // The requests served go the same way, behind their replies: a request
    // counts as in flight on its connection until it is freed, so a drain
    // (a drop rule) cannot close the connection before its reply is queued.
    std::mutex out_mu;
    std::vector<Out> out;
    kiv_job out_job{};

    // Dropping every connection of this loop, asked for by loop 0 once it
    // has shut the listener (a refuse fault); counts the asks not yet done.
    kiv_job drop_job{};
    std::atomic<int> drops_pending{0};
    // Loop 0 only: shutting the listener for a refuse fault on any loop.
    kiv_job shut_job{};
};

struct lc_ds {
    lc_ds_config cfg;
    std::string name;  // for the log: "ds <fs> host <n>"
    std::vector<std::unique_ptr<lc_ds_loop>> loops;
    kiv_rpc_server_ops ops{};
    // What the connections of every loop may hold together.
    kiv_rpc_budget* budget = nullptr;
    lc_ds_env env;
    lc_ds_disk* disk = nullptr;
    lc_replicator* repl = nullptr;

    // Every loop checks epochs; a client announced on one connection is
    // known on all of them.
    std::mutex epoch_mu;
    lc_epoch_table epochs;
    // A refuse fault shut the listener: no loop serves a request until it
    // listens again (the connections are being dropped meanwhile).
    std::atomic<bool> shut{false};
    // Loop 0 only: the loop the next accepted connection goes to.
    size_t next_loop = 0;

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

    std::atomic<uint16_t> port{0};
    std::atomic<uint64_t> repl_conn{0};  // the connection whose test code 1 disabled replication

    // Going down and coming back, one at a time.
    std::mutex op_mu;
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

bool refusing(const lc_ds* ds) {
    for (auto& l : ds->loops)
        if (lc_fault_gate_refusing(l->gate)) return true;
    return false;
}

void wake_idle(lc_ds* ds) {
    { std::lock_guard<std::mutex> g(ds->idle_mu); }
    ds->idle_cv.notify_all();
}

// Any thread but loop `l`'s; takes `o` with its connection reference.
void queue_out(lc_ds_loop* l, const Out& o) {
    bool first;
    {
        std::lock_guard<std::mutex> g(l->out_mu);
        first = l->out.empty();
        l->out.push_back(o);
    }
    if (first) kiv_job_wakeup(&l->out_job);
}

// `c` is a connection of loop `l`: its replies are written by that loop
// alone, so that they never mix with those it sends itself.
void send_reply(lc_ds_loop* l, kiv_rpc_sconn* c, kiv_msg* reply) {
    lc_ds* ds = l->ds;
    if (ds->drop_replies.load() && !serving(ds)) {
        kiv_free_msg(reply);
        return;
    }
    if (kiv_in_loop_context_of(&l->proc)) {
        lc_fault_gate_send(l->gate, c, reply);
        return;
    }
    kiv_rpc_sconn_ref(c);
    queue_out(l, {c, reply, nullptr});
}

// Loop context of `l`: sends (or, going down in drop mode, discards) every
// reply the workers queued there, and frees the requests they served. Each
// connection is written once for the lot.
void flush_out(lc_ds_loop* l, bool send) {
    std::vector<Out> batch;
    {
        std::lock_guard<std::mutex> g(l->out_mu);
        batch.swap(l->out);
    }
    if (batch.empty()) return;
    kiv_rpc_batch_begin(&l->proc);
    for (const Out& o : batch) {
        if (o.reply && send)
            lc_fault_gate_send(l->gate, o.conn, o.reply);
        else
            kiv_free_msg(o.reply);
        kiv_free_msg(o.req);
        kiv_rpc_sconn_unref(o.conn);
    }
    kiv_rpc_batch_end(&l->proc);
}

void out_job_run(void* arg) {
    auto* l = static_cast<lc_ds_loop*>(arg);
    flush_out(l, !(l->ds->drop_replies.load() && !serving(l->ds)));
}

void send_status(lc_ds_loop* l, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status) {
    kiv_msg* reply = lc_ds_alloc_reply(req, TARN_REPLY_HDR_BYTES, status);
    if (reply)
        send_reply(l, c, reply);
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

// A reboot fault rule fired on a request of this instance, which is not
// executed. Nothing more is served from now on, so neither that request's
// repeat nor another request gets ahead of the reboot; the host then takes
// the instance down with the others.
void gate_reboot_host(void* ctx) {
    lc_ds* ds = static_cast<lc_ds_loop*>(ctx)->ds;
    if (!ds->cfg.reboot_host) {
        env_crash(ds);
        return;
    }
    uint32_t up = S_UP;
    if (!ds->state.compare_exchange_strong(up, S_CRASHING)) return;
    ds->drop_replies = ds->cfg.crash_replies_drop && ds->cfg.crash_replies_drop->load();
    lc_log(ds->cfg.log, LC_LOG_INFO, "%s: a fault rule reboots host %d", ds->name.c_str(), ds->cfg.host);
    ds->cfg.reboot_host(ds->cfg.reboot_host_ctx, ds->cfg.host);
}

// The mark is with the gate of the connection's loop; the others hold
// nothing for this connection, and asking them costs one relaxed load.
bool env_overdata(void* ctx, const lc_ds_call* call) {
    for (auto& l : static_cast<lc_ds*>(ctx)->loops)
        if (lc_fault_gate_take_overdata(l->gate, call->conn, call->req)) return true;
    return false;
}

// ---------------------------------------------------------------- requests

struct Task {
    lc_ds_loop* loop;     // the connection's
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
    lc_ds* ds = t->loop->ds;
    // Freed on the loop behind the reply the task queued: the task's
    // connection reference goes with it.
    queue_out(t->loop, {t->conn, nullptr, t->req});
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
void serve(lc_ds_loop* l, kiv_rpc_sconn* c, const kiv_msg* req, const lc_ds_msg_def* def) {
    lc_ds* ds = l->ds;
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
        send_reply(l, c, call.reply);
    } else {
        send_status(l, c, req, st);
    }
}

// Served on the loop: nothing that changes state, waits for anything but an
// object's lock, or copies much. A crash cannot fall in the middle of one:
// it waits for the loop before it unmounts, and its close runs there too.
bool on_loop(const lc_ds_msg_def* def, const kiv_msg* req) {
    if (def->type == TARN_DS_GET_ATTRS) return true;
    if (def->type != TARN_DS_READ || req->kept_len < TARN_DS_READ_COUNT + 4) return false;
    return tarn_wire_get_u32(req->buf, TARN_DS_READ_COUNT) <= kLoopReadMax;
}

// Worker thread.
void run_task(void* arg) {
    auto* t = static_cast<Task*>(arg);
    lc_ds* ds = t->loop->ds;
    ds->running.fetch_add(1);
    if (serving(ds) && ds->incarnation.load() == t->incarnation) serve(t->loop, t->conn, t->req, t->def);
    // Read but not started before a crash: discarded, the client retries.
    if (ds->running.fetch_sub(1) == 1 && !serving(ds)) wake_idle(ds);
    finish_task(t);
}

// Loop context of `l`, whose connection `c` is: checks 1 to 4; the no-op
// and short reads are answered here, the rest goes to the workers. Takes
// `req`.
void execute(lc_ds_loop* l, kiv_rpc_sconn* c, kiv_msg* req) {
    lc_ds* ds = l->ds;
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
        lc_epoch_verdict verdict;
        {
            std::lock_guard<std::mutex> g(ds->epoch_mu);
            verdict = lc_epoch_check(&ds->epochs, client, epoch, resend, strict(ds), &known);
            ds->nr_clients.store(ds->epochs.known.size(), std::memory_order_relaxed);
        }
        switch (verdict) {
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
    } else {
        lc_log(ds->cfg.log, LC_LOG_DEBUG, "%s: type %u, %u bytes: refused with status %u", ds->name.c_str(),
               tarn_wire_get_u32(buf, TARN_MSG_TYPE), len, st);
    }
    if (st != TARN_DS_OK || def->type == TARN_DS_NOOP) {
        send_status(l, c, req, st);
        kiv_free_msg(req);
        return;
    }
    if (on_loop(def, req)) {
        serve(l, c, req, def);
        kiv_free_msg(req);
        return;
    }
    kiv_rpc_sconn_ref(c);
    ds->outstanding.fetch_add(1);
    lc_workers_submit(ds->cfg.workers, run_task, new Task{l, c, req, def, ds->incarnation.load()});
}

void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
    auto* l = static_cast<lc_ds_loop*>(arg);
    lc_ds* ds = l->ds;
    // A crashing instance reads nothing more, nor does one whose listener
    // a refuse fault shut: its connections are on their way out.
    if (!serving(ds) || ds->shut.load()) {
        kiv_free_msg(req);
        return;
    }
    ds->nr_requests.fetch_add(1, std::memory_order_relaxed);
    if (lc_fault_gate_request(l->gate, c, req)) return;
    execute(l, c, req);
}

void on_accept(kiv_rpc_sconn*, void* arg) { static_cast<lc_ds_loop*>(arg)->conns++; }

void on_close(kiv_rpc_sconn* c, void* arg) {
    auto* l = static_cast<lc_ds_loop*>(arg);
    lc_ds* ds = l->ds;
    lc_fault_gate_closed(l->gate, c);
    // A test that died between disabling replication and crashing the
    // server must not leave it disabled for the tests after it.
    uint64_t id = kiv_rpc_sconn_id(c);
    uint64_t expected = id;
    if (id && ds->repl_conn.compare_exchange_strong(expected, 0) && repl_disabled(ds) &&
        !(ds->cfg.breaks & LC_BREAK_REPL_DISABLE_OUTLIVES_CONNECTION)) {
        lc_cdisk_set_repl_disabled(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host, false);
        lc_log(ds->cfg.log, LC_LOG_INFO, "%s: connection %llu that disabled replication closed; enabled again",
               ds->name.c_str(), (unsigned long long)id);
        lc_replicator_kick(ds->repl);
    }
    // Counted as closed once the close is handled, replication included.
    l->conns--;
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

void gate_execute(void* ctx, kiv_rpc_sconn* c, kiv_msg* req) { execute(static_cast<lc_ds_loop*>(ctx), c, req); }

void gate_answer_status(void* ctx, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status) {
    send_status(static_cast<lc_ds_loop*>(ctx), c, req, status);
}

// ---------------------------------------------------------------- listening
//
// Loop 0 listens and hands each accepted connection to the next loop in
// turn (itself included), so the connections of one client (its lanes)
// land on different loops. A loop's server is opened before the listener
// and closed after it, so the hand-off never finds one closing.

// Loop context of `l`. `hold`: loop 0 keeps the port until it listens again.
void close_server(lc_ds_loop* l, bool hold) {
    kiv_rpc_server* s = l->server.exchange(nullptr);
    if (s && hold && l->index == 0)
        lc_instance_close_holding(s, &l->port_hold);
    else if (s)
        kiv_rpc_server_close(s);
    if (!hold) lc_instance_release_port(&l->port_hold);
}

// Loop 0, for each accepted socket.
bool hand_off(int fd, void* arg) {
    auto* ds = static_cast<lc_ds*>(arg);
    size_t k = ds->next_loop++ % ds->loops.size();
    kiv_rpc_server* s = k ? ds->loops[k]->server.load() : nullptr;
    if (!s) return false;
    kiv_rpc_server_adopt(s, fd);  // closes it on failure: the client reconnects
    return true;
}

// Loop context of `l` (not loop 0): a server that only takes what loop 0
// hands over.
int open_server(void* arg) {
    auto* l = static_cast<lc_ds_loop*>(arg);
    if (l->server.load()) return 0;
    kiv_rpc_server* s = nullptr;
    int rc = kiv_rpc_server_create(&l->proc, TARN_DS_MAX_MSG, &l->ds->ops, l, &s);
    if (rc < 0) return rc;
    kiv_rpc_server_set_request_charge(s, TARN_DS_MAX_MSG);
    kiv_rpc_server_set_budget(s, l->ds->budget);
    l->server = s;
    return 0;
}

// Loop 0.
int open_listener(lc_ds* ds, uint16_t port) {
    lc_ds_loop* l = ds->loops[0].get();
    if (l->server.load()) return 0;
    kiv_rpc_server* s = nullptr;
    uint16_t bound = 0;
    int rc = lc_instance_listen(&l->proc, port, TARN_DS_MAX_MSG, &ds->ops, l, &s, &bound);
    if (rc < 0) return rc;
    // A read request of a few hundred bytes asks for up to 4 MiB: what one
    // peer may have in flight is counted by the replies it will get.
    kiv_rpc_server_set_request_charge(s, TARN_DS_MAX_MSG);
    kiv_rpc_server_set_budget(s, ds->budget);
    if (ds->loops.size() > 1) kiv_rpc_server_set_hand_off(s, hand_off, ds);
    l->server = s;
    lc_instance_release_port(&l->port_hold);
    ds->port = bound;
    ds->shut = false;
    return 0;
}

// Not in loop context: every loop's server, then the listener. 0 or -errno.
int open_all(lc_ds* ds, uint16_t port) {
    for (size_t i = 1; i < ds->loops.size(); i++) {
        int rc = kiv_call_in_job(&ds->loops[i]->proc, open_server, ds->loops[i].get());
        if (rc < 0) return rc;
    }
    struct Args {
        lc_ds* ds;
        uint16_t port;
    } a{ds, port};
    return kiv_call_in_job(
        &ds->loops[0]->proc, [](void* p) { return open_listener(static_cast<Args*>(p)->ds, static_cast<Args*>(p)->port); },
        &a);
}

void drop_run(void* arg) {
    auto* l = static_cast<lc_ds_loop*>(arg);
    int asked = l->drops_pending.load();
    if (kiv_rpc_server* s = l->server.load()) kiv_rpc_server_drop_all(s);
    l->drops_pending.fetch_sub(asked);
}

// Loop 0: the listener goes first, so that no client sees its connection
// go while it could still connect; then every loop drops its connections.
void shut_run(void* arg) {
    auto* ds = static_cast<lc_ds*>(arg);
    close_server(ds->loops[0].get(), true);
    for (size_t i = 1; i < ds->loops.size(); i++) {
        ds->loops[i]->drops_pending.fetch_add(1);
        kiv_job_wakeup(&ds->loops[i]->drop_job);
    }
}

// A refuse fault fired on loop `ctx`. No loop serves from now on; loop 0
// shuts the listener and has the connections dropped.
void gate_stop_listening(void* ctx) {
    auto* l = static_cast<lc_ds_loop*>(ctx);
    lc_ds* ds = l->ds;
    ds->shut = true;
    if (l->index == 0)
        shut_run(ds);
    else
        kiv_job_wakeup(&ds->loops[0]->shut_job);
}

// Loop 0. Not before every loop has dropped the connections of before the
// refuse: the gate tries again shortly.
int relisten(void* arg) {
    auto* ds = static_cast<lc_ds*>(arg);
    if (!serving(ds)) return 0;
    for (auto& l : ds->loops)
        if (l->drops_pending.load() > 0) return -EAGAIN;
    return open_listener(ds, ds->port);
}

// The relisten timer of the loop whose gate refused. A crashed instance
// stays closed; its return listens by itself. Another loop waits here for
// loop 0, which never waits for any other loop.
int gate_start_listening(void* ctx) {
    auto* l = static_cast<lc_ds_loop*>(ctx);
    if (!serving(l->ds)) return 0;
    return kiv_call_in_job(&l->ds->loops[0]->proc, relisten, l->ds);
}

// Closing in loop context, loop 0 (the listener) first: the replies of the
// requests that ran are sent first, or dropped in drop mode; what the
// peers have not read by the time the connections close goes with them.
int do_close(void* arg) {
    auto* l = static_cast<lc_ds_loop*>(arg);
    flush_out(l, !l->ds->drop_replies.load());
    lc_fault_gate_reset(l->gate);
    close_server(l, true);
    return 0;
}

int do_stop(void* arg) {
    auto* l = static_cast<lc_ds_loop*>(arg);
    flush_out(l, false);
    lc_fault_gate_stop(l->gate);
    close_server(l, false);
    return 0;
}

// The processes of every loop end; their servers are closed already.
void end_loops(lc_ds* ds) {
    for (auto& l : ds->loops) kiv_process_terminate(&l->proc);
    for (auto& l : ds->loops) {
        kiv_process_wait(&l->proc);
        kiv_process_fini(&l->proc);
        lc_fault_gate_destroy(l->gate);
    }
    ds->loops.clear();
}

// Not in loop context: every loop in turn, the listener's first.
void close_all(lc_ds* ds, int (*fn)(void*)) {
    for (auto& l : ds->loops) kiv_call_in_job(&l->proc, fn, l.get());
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
    // The vdisks go only once no handler runs: one that had passed its
    // checks would otherwise find its vdisk gone and answer "not mounted",
    // which a flushed reply carries to a client whose request came before
    // the crash. Handlers served on a loop end before a job of that loop
    // runs, and none starts once the state is no longer up.
    for (auto& l : ds->loops) kiv_call_in_job(&l->proc, [](void*) { return 0; }, nullptr);
    set_phase(ds, LC_DS_PHASE_DOWN);  // unmounts its vdisks
    close_all(ds, do_close);
    {
        std::lock_guard<std::mutex> g(ds->epoch_mu);
        ds->epochs.known.clear();
        ds->nr_clients = 0;
    }
    ds->shut = false;
    lc_cdisk_set_repl_disabled(ds->cfg.cdisk, ds->cfg.fs_index, ds->cfg.host, false);
    ds->repl_conn = 0;
    if (ds->cfg.lose_unstable || (ds->cfg.breaks & LC_BREAK_LOSE_COMMITTED)) lc_ds_disk_lose_unstable(ds->disk);
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
        rc = open_all(ds, old);
        if (rc == 0 || Clock::now() >= until) break;
        std::this_thread::sleep_for(kRebindEvery);
    }
    if (rc < 0) {
        lc_log(ds->cfg.log, LC_LOG_WARN, "%s: port %u stays taken (%s); moving to a new port", ds->name.c_str(),
               unsigned(old), strerror(-rc));
        rc = open_all(ds, 0);
        if (rc < 0) {
            lc_log(ds->cfg.log, LC_LOG_ERROR, "%s: cannot listen anywhere: %s", ds->name.c_str(), strerror(-rc));
            return rc;
        }
    }
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
    ds->ops.on_accept = on_accept;
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
    ds->budget = kiv_rpc_budget_create(config.held_budget);
    if (!ds->budget) {
        *err = "out of memory for " + ds->name;
        delete ds;
        return nullptr;
    }
    int nloops = config.loops > 0 ? config.loops : default_loops();
    lc_fault_gate_ops gops{nullptr, gate_key, gate_execute, gate_answer_status, gate_stop_listening,
                           gate_start_listening};
    gops.reboot_host = gate_reboot_host;
    for (int i = 0; i < nloops; i++) {
        auto l = std::make_unique<lc_ds_loop>();
        l->ds = ds;
        l->index = size_t(i);
        char pname[32];
        snprintf(pname, sizeof pname, "lc-ds-%llx-%d.%d", (unsigned long long)config.fs_id, config.host, i);
        if (kiv_process_init_(&l->proc) != 0) {
            *err = "cannot create the runtime processes of " + ds->name;
            end_loops(ds);
            delete ds;
            return nullptr;
        }
        if (kiv_process_start(&l->proc, pname) != 0) {
            kiv_process_fini(&l->proc);
            *err = "cannot start the runtime processes of " + ds->name;
            end_loops(ds);
            delete ds;
            return nullptr;
        }
        kiv_job_init(&l->proc, &l->out_job, out_job_run, l.get());
        kiv_job_init(&l->proc, &l->drop_job, drop_run, l.get());
        kiv_job_init(&l->proc, &l->shut_job, shut_run, ds);
        gops.ctx = l.get();
        l->gate = lc_fault_gate_create(config.faults, lc_fault_site{LC_SVC_DS, config.fs_index, config.host_id},
                                       &l->proc, gops, config.log);
        ds->loops.push_back(std::move(l));
    }
    lc_replicator_ops rops;
    rops.ctx = ds;
    rops.can_flush = can_flush;
    rops.push = push_hook;
    rops.pass_done = pass_done;
    char pname[32];
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
    int rc = open_all(ds, port);
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
    {
        {
            std::lock_guard<std::mutex> g(ds->op_mu);
            uint32_t up = S_UP;
            if (ds->state.compare_exchange_strong(up, S_CRASHING)) ds->drop_replies = true;
            ds->incarnation.fetch_add(1);
            if (ds->state.load() != S_DOWN) set_phase(ds, LC_DS_PHASE_DOWN);
            close_all(ds, do_stop);
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
        close_all(ds, do_stop);
    }
    lc_replicator_stop(ds->repl);
    if (ds->disk) lc_ds_disk_set_push(ds->disk, nullptr, nullptr);
    end_loops(ds);
    kiv_rpc_budget_put(ds->budget);
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

kiv_rpc_budget* lc_ds_budget(lc_ds* ds) { return ds->budget; }

void lc_ds_get_stats(lc_ds* ds, lc_ds_stats* out) {
    out->port = ds->port;
    out->phase = phase(ds);
    out->refusing = refusing(ds);
    out->repl_disabled = repl_disabled(ds);
    out->verifier = ds->env.verifier.load();
    out->starts = ds->nr_starts;
    out->requests = ds->nr_requests;
    out->epoch_unknown = ds->nr_epoch_unknown;
    out->faults = 0;
    for (auto& l : ds->loops) out->faults += lc_fault_gate_fired(l->gate);
    out->clients = ds->nr_clients;
    out->dirty = lc_ds_disk_dirty_count(ds->disk);
    out->held = kiv_rpc_budget_held(ds->budget);
    out->held_peak = kiv_rpc_budget_peak(ds->budget);
    out->loop_conns.clear();
    for (auto& l : ds->loops) out->loop_conns.push_back(l->conns.load());
}

bool lc_ds_settled(lc_ds* ds) {
    if (!serving(ds) || phase(ds) != LC_DS_PHASE_UP || refusing(ds)) return false;
    {
        std::lock_guard<std::mutex> g(ds->life_mu);
        if (ds->restart_at || ds->mount_at || ds->crash_pending) return false;
    }
    if (lc_ds_disk_dirty_count(ds->disk) > 0 && can_flush(ds)) return false;
    return lc_replicator_idle(ds->repl);
}

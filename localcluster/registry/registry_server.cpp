#include "localcluster/registry/registry_server.h"

#include <arpa/inet.h>
#include <string.h>

#include <atomic>
#include <cerrno>
#include <list>
#include <unordered_map>
#include <string>
#include <vector>

#include "discovery/kvstore_msg.h"
#include "kiv/io.h"
#include "kiv/rpc_server.h"
#include "localcluster/common/instance.h"
#include "localcluster/log.h"

namespace {

void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
void put_u64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (8 * i));
}
uint32_t get_u32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= uint32_t(p[i]) << (8 * i);
    return v;
}

struct Watch;

}  // namespace

struct lc_regsrv {
    kiv_process* process;
    lc_regstore* store;
    uint32_t page_items;
    lc_logger* log;
    kiv_rpc_server* server = nullptr;
    int hold_fd = -1;  // the port, kept while closed (loop context)
    kiv_rpc_server_ops ops{};
    // What all connections may hold together, parked watches included.
    kiv_rpc_budget* budget = nullptr;
    kiv_job wake_job{};
    // Looks again at the watches whose answers wait for room.
    kiv_timer late_timer{};
    std::list<Watch*> parked;  // loop context only
    std::unordered_map<kiv_rpc_sconn*, size_t> parked_per_conn;  // loop context only
    std::atomic<size_t> nr_parked{0};
    std::atomic<size_t> nr_due{0};  // of those, answers waiting for room
    std::atomic<uint64_t> nr_requests{0};
    lc_regsrv_hooks hooks{};
};

namespace {

// A watch waiting for a change. It keeps the request (for the reply header)
// and a reference on its connection until it is answered or dropped.
struct Watch {
    lc_regsrv* srv;
    kiv_rpc_sconn* conn;
    kiv_msg* req;
    uint64_t g;
    uint64_t scanned;
    std::string start, end;
    lc_reg_page_limits limits;
    kiv_timer timer;
    std::list<Watch*>::iterator pos;
    // Its range changed: the answer is due, and waits for room.
    bool due = false;
};

// A decoded request; the views point into the request frame.
struct Request {
    uint32_t op = 0;
    uint32_t flags = 0;
    uint64_t gen = 0;
    uint32_t max_reply = 0;
    uint64_t version = 0;
    uint64_t watch_timeout = 0;
    std::string_view key, value;
};

kiv_msg* build_reply(const kiv_msg* req, uint32_t status, uint32_t op, uint32_t flags, uint64_t gen,
                     const std::vector<lc_reg_item>& items) {
    size_t len = KVSTORE_HDR_SIZE;
    for (const auto& it : items) len += KVSTORE_ITEM_HDR_SIZE + it.key.size() + it.value.size();
    kiv_msg* r = kiv_rpc_alloc_reply(req, uint32_t(len));
    if (!r) return nullptr;
    uint8_t* b = r->buf;
    put_u32(b + KVSTORE_OFF_STATUS, status);
    put_u32(b + KVSTORE_OFF_OP, op);
    put_u32(b + KVSTORE_OFF_FLAGS, flags);
    put_u64(b + KVSTORE_OFF_GENERATION, gen);
    put_u32(b + KVSTORE_OFF_PAYLOAD_LEN, uint32_t(len - KVSTORE_HDR_SIZE));
    uint8_t* p = b + KVSTORE_OFF_ITEMS;
    for (const auto& it : items) {
        uint32_t k = uint32_t(it.key.size()), v = uint32_t(it.value.size());
        put_u64(p + KVSTORE_ITEM_OFF_VERSION, it.version);
        put_u32(p + KVSTORE_ITEM_OFF_FLAGS, it.flags);
        put_u32(p + KVSTORE_ITEM_OFF_SIZE, KVSTORE_ITEM_HDR_SIZE + k + v);
        put_u32(p + KVSTORE_ITEM_OFF_KEY_LEN, k);
        put_u32(p + KVSTORE_ITEM_OFF_KEY_SIZE, k);
        put_u32(p + KVSTORE_ITEM_OFF_VALUE_LEN, v);
        memcpy(p + KVSTORE_ITEM_HDR_SIZE, it.key.data(), k);
        memcpy(p + KVSTORE_ITEM_HDR_SIZE + k, it.value.data(), v);
        p += KVSTORE_ITEM_HDR_SIZE + k + v;
    }
    return r;
}

void send_reply(lc_regsrv* s, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status, uint32_t op, uint32_t flags,
                uint64_t gen, const std::vector<lc_reg_item>& items) {
    kiv_msg* r = build_reply(req, status, op, flags, gen, items);
    if (!r) {
        lc_log(s->log, LC_LOG_ERROR, "registry: out of memory for a reply; closing connection %llu",
               (unsigned long long)kiv_rpc_sconn_id(c));
        kiv_rpc_sconn_drop(c);
        return;
    }
    if (s->hooks.reply && !s->hooks.reply(s->hooks.ctx, c, &r)) return;
    kiv_rpc_reply(c, r);  // -ENOTCONN only means the client has gone
}

// Why a request is refused, for the log; empty when it is well-formed.
const char* decode(const kiv_msg* m, Request* r) {
    const uint8_t* b = m->buf;
    uint32_t len = m->kept_len;
    if (len < KVSTORE_HDR_SIZE + KVSTORE_ITEM_HDR_SIZE) return "frame too short";
    r->op = kvstore_msg_op(m);
    r->flags = kvstore_msg_flags(m);
    r->gen = kvstore_msg_generation(m);
    r->max_reply = get_u32(b + KVSTORE_OFF_MAX_REPLY);
    if (r->op != KV_OP_PUT && r->op != KV_OP_GET && r->op != KV_OP_RANGE && r->op != KV_OP_WATCH &&
        r->op != KV_OP_DELETE)
        return "unknown operation";
    uint32_t payload = kvstore_msg_payload_len(m);
    if (payload != len - KVSTORE_HDR_SIZE) return "payload length does not match the frame";
    if (kvstore_msg_check(m) != 0) return "malformed item";
    const kvstore_item* item = kvstore_msg_get_first_item(m);
    if (!item || kvstore_msg_get_item_count(m) != 1) return "not exactly one item";
    const uint8_t* ib = reinterpret_cast<const uint8_t*>(item);
    uint32_t size = get_u32(ib + KVSTORE_ITEM_OFF_SIZE);
    uint32_t key_size = get_u32(ib + KVSTORE_ITEM_OFF_KEY_SIZE);
    uint32_t k = kvstore_item_key_len(item), v = kvstore_item_value_len(item);
    if (uint64_t(KVSTORE_ITEM_HDR_SIZE) + k + v != size || size != payload) return "item size mismatch";
    if (key_size != k) return "key size differs from key length";
    if (k == 0 || k > LC_REG_MAX_KEY) return "key length out of bounds";
    if (v > LC_REG_MAX_VALUE) return "value too long";
    r->version = kvstore_item_version(item);
    r->watch_timeout = kvstore_item_watch_timeout(item);
    r->key = std::string_view(reinterpret_cast<const char*>(kvstore_msg_get_key(item)), k);
    r->value = std::string_view(reinterpret_cast<const char*>(kvstore_msg_get_value(item)), v);
    return nullptr;
}

lc_reg_page_limits limits_of(const lc_regsrv* s, uint32_t max_reply) {
    uint32_t cap = max_reply == 0 || max_reply > LC_REG_MAX_FRAME ? LC_REG_MAX_FRAME : max_reply;
    return lc_reg_page_limits{s->page_items, cap > KVSTORE_HDR_SIZE ? cap - KVSTORE_HDR_SIZE : 0};
}

// Loop context. Takes the watch off the parked list.
void unpark_watch(Watch* w) {
    lc_regsrv* s = w->srv;
    del_timer_sync(&w->timer);
    s->parked.erase(w->pos);
    s->nr_parked--;
    if (w->due) s->nr_due--;
    auto it = s->parked_per_conn.find(w->conn);
    if (--it->second == 0) s->parked_per_conn.erase(it);
}

void release_watch(Watch* w) {
    kiv_rpc_sconn_unref(w->conn);
    kiv_free_msg(w->req);
    delete w;
}

// Loop context. Unlinks the watch and releases what it holds.
void finish_watch(Watch* w) {
    unpark_watch(w);
    release_watch(w);
}

// The watch leaves the parked count before its reply leaves, so a client
// that got the answer never sees the watch still counted.
void answer_watch(Watch* w, lc_reg_watch_result res, uint64_t gen, const std::vector<lc_reg_item>& items) {
    uint32_t status = res == LC_REG_WATCH_NONE ? uint32_t(KV_STATUS_NO_CHANGE) : uint32_t(KV_STATUS_OK);
    uint32_t flags = res == LC_REG_WATCH_STALE ? uint32_t(KV_FLAG_STALE) : 0u;
    unpark_watch(w);
    send_reply(w->srv, w->conn, w->req, status, KV_OP_WATCH, flags, gen, items);
    release_watch(w);
}

void on_watch_timeout(void* arg) {
    Watch* w = static_cast<Watch*>(arg);
    answer_watch(w, LC_REG_WATCH_NONE, lc_regstore_generation(w->srv->store), {});
}

// How often the watches whose answers wait for room look again.
constexpr uint64_t kLateRetryMs = 5;

// Runs on evloop after changes to the store, and while answers wait for
// room: answers the watches whose range changed, oldest first. Each watch
// reads only the log entries it has not seen yet. An answer (a page of up
// to a frame) comes long after the small request the budget counted, so it
// is sent only once the budget has room for it, as a frame would be taken;
// meanwhile the watch keeps its request, and its page is built when it is
// sent, from what the store holds then. Sent however the budget stood,
// the answers to a few watchers that never read would pile up past every
// bound. A watch still waiting at its time-out answers as any time-out
// does, so that no watch outlives it: its client watches again and is
// answered at once, under the budget, as a new request.
void on_store_changed(void* arg) {
    lc_regsrv* s = static_cast<lc_regsrv*>(arg);
    bool waiting = false;
    for (auto it = s->parked.begin(); it != s->parked.end();) {
        Watch* w = *it++;
        uint64_t gen;
        if (!w->due) {
            if (lc_regstore_watch(s->store, w->g, &w->scanned, w->start, w->end, w->limits, nullptr, &gen) ==
                LC_REG_WATCH_NONE)
                continue;
            w->due = true;
            s->nr_due++;
        }
        if (!kiv_rpc_sconn_late_reply_room(w->conn)) {
            waiting = true;
            continue;
        }
        std::vector<lc_reg_item> items;
        uint64_t from = w->g;
        lc_reg_watch_result res = lc_regstore_watch(s->store, w->g, &from, w->start, w->end, w->limits, &items, &gen);
        answer_watch(w, res, gen, items);
    }
    if (waiting && !timer_pending(&s->late_timer)) mod_timer(&s->late_timer, kLateRetryMs);
}

void store_listener(void* arg) { kiv_job_wakeup(&static_cast<lc_regsrv*>(arg)->wake_job); }

void handle_watch(lc_regsrv* s, kiv_rpc_sconn* c, kiv_msg* req, const Request& r) {
    uint64_t t = r.watch_timeout;
    if (t < LC_REG_WATCH_MIN_S) t = LC_REG_WATCH_MIN_S;
    if (t > LC_REG_WATCH_MAX_S) t = LC_REG_WATCH_MAX_S;
    lc_reg_page_limits limits = limits_of(s, r.max_reply);
    std::vector<lc_reg_item> items;
    uint64_t gen, scanned = r.gen;
    lc_reg_watch_result res = lc_regstore_watch(s->store, r.gen, &scanned, r.key, r.value, limits, &items, &gen);
    if (res != LC_REG_WATCH_NONE) {
        uint32_t flags = res == LC_REG_WATCH_STALE ? uint32_t(KV_FLAG_STALE) : 0u;
        send_reply(s, c, req, KV_STATUS_OK, KV_OP_WATCH, flags, gen, items);
        kiv_free_msg(req);
        return;
    }
    // Nothing yet: the watch waits on a timer and the store's change job,
    // holding no thread. Each holds memory until it is answered, so one
    // connection may park only so many.
    size_t& on_conn = s->parked_per_conn[c];
    if (on_conn >= LC_REG_MAX_PARKED_PER_CONN) {
        lc_log(s->log, LC_LOG_WARN, "registry: connection %llu already has %zu parked watches; refusing another",
               (unsigned long long)kiv_rpc_sconn_id(c), on_conn);
        send_reply(s, c, req, KV_STATUS_INVALID, KV_OP_WATCH, 0, gen, {});
        kiv_free_msg(req);
        return;
    }
    on_conn++;
    auto* w = new Watch{};
    w->srv = s;
    w->conn = c;
    w->req = req;
    w->g = r.gen;
    w->scanned = scanned;
    w->start.assign(r.key);
    w->end.assign(r.value);
    w->limits = limits;
    kiv_rpc_sconn_ref(c);
    w->pos = s->parked.insert(s->parked.end(), w);
    s->nr_parked++;
    init_timer(s->process, &w->timer, on_watch_timeout, w);
    mod_timer(&w->timer, t * 1000);
    lc_log(s->log, LC_LOG_DEBUG, "registry: watch parked (conn %llu, g %llu, %llu s)",
           (unsigned long long)kiv_rpc_sconn_id(c), (unsigned long long)r.gen, (unsigned long long)t);
}

void execute(lc_regsrv* s, kiv_rpc_sconn* c, kiv_msg* req) {
    Request r;
    std::vector<lc_reg_item> items;
    uint64_t gen = 0;
    uint32_t status = KV_STATUS_OK, flags = 0;

    if (uint32_t(get_u32(req->buf + 4)) != KVSTORE_MSG_TYPE) {
        lc_log(s->log, LC_LOG_WARN, "registry: unknown message type 0x%x", get_u32(req->buf + 4));
        r.op = req->kept_len >= KVSTORE_OFF_OP + 4 ? get_u32(req->buf + KVSTORE_OFF_OP) : 0;
        send_reply(s, c, req, KV_STATUS_INVALID, r.op, 0, lc_regstore_generation(s->store), {});
        kiv_free_msg(req);
        return;
    }
    if (const char* why = decode(req, &r)) {
        lc_log(s->log, LC_LOG_WARN, "registry: invalid request from conn %llu: %s",
               (unsigned long long)kiv_rpc_sconn_id(c), why);
        if (req->kept_len < KVSTORE_OFF_OP + 4) r.op = 0;
        send_reply(s, c, req, KV_STATUS_INVALID, r.op, 0, lc_regstore_generation(s->store), {});
        kiv_free_msg(req);
        return;
    }
    bool cmp = r.flags & KV_FLAG_CMP_VERSION;
    switch (r.op) {
        case KV_OP_PUT:
            status = lc_regstore_put(s->store, r.key, r.value, cmp, r.version, &gen);
            break;
        case KV_OP_GET: {
            lc_reg_item item;
            status = lc_regstore_get(s->store, r.key, &item, &gen);
            if (status == KV_STATUS_OK) items.push_back(std::move(item));
            break;
        }
        case KV_OP_RANGE: {
            bool more = false;
            lc_regstore_range(s->store, r.key, r.value, r.flags & KV_FLAG_START_AFTER, limits_of(s, r.max_reply),
                              &items, &more, &gen);
            flags = more ? uint32_t(KV_FLAG_MORE) : 0u;
            break;
        }
        case KV_OP_WATCH:
            handle_watch(s, c, req, r);  // takes req
            return;
        case KV_OP_DELETE:
            status = lc_regstore_delete(s->store, r.key, cmp, r.version, &gen);
            break;
    }
    send_reply(s, c, req, status, r.op, flags, gen, items);
    kiv_free_msg(req);
}

void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
    lc_regsrv* s = static_cast<lc_regsrv*>(arg);
    s->nr_requests++;
    if (s->hooks.request && s->hooks.request(s->hooks.ctx, c, req)) return;
    execute(s, c, req);
}

// A connection is gone: its parked watches go without a word.
void on_close(kiv_rpc_sconn* c, void* arg) {
    lc_regsrv* s = static_cast<lc_regsrv*>(arg);
    if (s->hooks.closed) s->hooks.closed(s->hooks.ctx, c);
    for (auto it = s->parked.begin(); it != s->parked.end();) {
        Watch* w = *it++;
        if (w->conn == c) finish_watch(w);
    }
}

// The port stays taken until the server listens again or stops.
int do_close(void* arg) {
    lc_regsrv* s = static_cast<lc_regsrv*>(arg);
    if (s->server) {
        lc_instance_close_holding(s->server, &s->hold_fd);
        s->server = nullptr;
    }
    while (!s->parked.empty()) finish_watch(s->parked.front());
    del_timer_sync(&s->late_timer);
    return 0;
}

int do_release(void* arg) {
    lc_instance_release_port(&static_cast<lc_regsrv*>(arg)->hold_fd);
    return 0;
}

struct ListenArgs {
    lc_regsrv* s;
    uint16_t port;
    uint16_t bound;
};

int do_listen(void* arg) {
    auto* a = static_cast<ListenArgs*>(arg);
    lc_regsrv* s = a->s;
    if (s->server) return -EBUSY;
    kiv_netaddr addr{};
    addr.kind = KIV_AF_INET;
    addr.port = a->port;
    uint32_t lo = htonl(INADDR_LOOPBACK);
    memcpy(addr.addr, &lo, 4);
    int rc = kiv_rpc_listen(s->process, &addr, LC_REG_MAX_FRAME, &s->ops, s, &s->server);
    if (rc < 0) {
        s->server = nullptr;
        return rc;
    }
    kiv_rpc_server_set_budget(s->server, s->budget);
    kiv_netaddr got{};
    rc = kiv_rpc_server_addr(s->server, &got);
    if (rc < 0) {
        kiv_rpc_server_close(s->server);
        s->server = nullptr;
        return rc;
    }
    a->bound = got.port;
    lc_instance_release_port(&s->hold_fd);
    return 0;
}

}  // namespace

lc_regsrv* lc_regsrv_create(kiv_process* p, lc_regstore* store, uint32_t page_items, lc_logger* log) {
    auto* s = new lc_regsrv;
    s->budget = kiv_rpc_budget_create(LC_REG_HELD_BUDGET);
    if (!s->budget) kiv_fatal("allocation failed: registry budget");
    s->process = p;
    s->store = store;
    s->page_items = page_items ? page_items : 1;
    s->log = log;
    s->ops.on_request = on_request;
    s->ops.on_close = on_close;
    kiv_job_init(p, &s->wake_job, on_store_changed, s);
    init_timer(p, &s->late_timer, on_store_changed, s);
    lc_regstore_set_listener(store, store_listener, s);
    return s;
}

int lc_regsrv_listen(lc_regsrv* s, uint16_t port, uint16_t* bound) {
    ListenArgs a{s, port, 0};
    int rc = kiv_call_in_job(s->process, do_listen, &a);
    if (rc == 0 && bound) *bound = a.bound;
    return rc;
}

void lc_regsrv_close(lc_regsrv* s) { kiv_call_in_job(s->process, do_close, s); }

void lc_regsrv_stop(lc_regsrv* s) {
    lc_regstore_set_listener(s->store, nullptr, nullptr);
    lc_regsrv_close(s);
    kiv_call_in_job(s->process, do_release, s);
}

void lc_regsrv_destroy(lc_regsrv* s) {
    if (!s) return;
    lc_instance_release_port(&s->hold_fd);
    lc_regstore_set_listener(s->store, nullptr, nullptr);
    // The process is gone: whatever is still parked only needs its memory back.
    for (Watch* w : s->parked) {
        kiv_free_msg(w->req);
        delete w;
    }
    kiv_rpc_budget_put(s->budget);
    delete s;
}

void lc_regsrv_set_hooks(lc_regsrv* s, const lc_regsrv_hooks& hooks) { s->hooks = hooks; }

void lc_regsrv_execute(lc_regsrv* s, kiv_rpc_sconn* c, kiv_msg* req) { execute(s, c, req); }

void lc_regsrv_answer_status(lc_regsrv* s, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status) {
    uint32_t op = req->kept_len >= KVSTORE_OFF_OP + 4 ? get_u32(req->buf + KVSTORE_OFF_OP) : 0;
    send_reply(s, c, req, status, op, 0, lc_regstore_generation(s->store), {});
}

size_t lc_regsrv_parked(lc_regsrv* s) { return s->nr_parked.load(); }
size_t lc_regsrv_due(lc_regsrv* s) { return s->nr_due.load(); }
uint64_t lc_regsrv_requests(lc_regsrv* s) { return s->nr_requests.load(); }

void lc_regsrv_set_held_budget(lc_regsrv* s, uint64_t bytes) {
    kiv_rpc_budget* b = kiv_rpc_budget_create(bytes);
    if (!b) kiv_fatal("allocation failed: registry budget");
    kiv_rpc_budget_put(s->budget);
    s->budget = b;
}

kiv_rpc_budget* lc_regsrv_budget(lc_regsrv* s) { return s->budget; }

void lc_regsrv_held(lc_regsrv* s, uint64_t* now, uint64_t* peak) {
    *now = kiv_rpc_budget_held(s->budget);
    *peak = kiv_rpc_budget_peak(s->budget);
}

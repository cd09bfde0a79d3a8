// RPC transport, server side: listeners, accepted connections, request
// dispatch and ordered reply queues.
//
// Life of the records: a listener holds one reference for its creator and
// one per connection record; a connection record holds one reference while
// it is open, handed to its close event when it is dropped, plus those of
// its users. So on_close always finds its listener, and a parked reply can
// hold a connection past its close.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <set>

#include "rpc_internal.h"

namespace {

constexpr uint32_t kSrvMagic = 0x73727672;
constexpr uint32_t kConnMagic = 0x73636f6e;
constexpr uint32_t kRxBuf = 64 * 1024;
constexpr uint32_t kDirectMin = 8 * 1024;
constexpr int kMaxRounds = 32;
// A connection's turn on the loop ends after this many frames, and the rest
// of what it sent waits for its next turn: the loop serves its connections
// in turn, and a peer that pipelines small requests as fast as it can
// would otherwise keep it for a long while at each turn, and every other
// connection of the loop waiting that long.
constexpr uint64_t kFramesPerTurn = 256;
constexpr int kMaxAccepts = 64;
// A peer stops being read while what it has in flight (requests handed to
// the server and not yet freed) and queued (replies not yet written)
// exceeds a budget, so one peer that pipelines without reading its replies
// cannot make the server hold unbounded memory.
constexpr uint64_t kPauseBytes = 64ull << 20;
constexpr uint64_t kResumeBytes = 32ull << 20;
constexpr uint32_t kPauseRequests = 1024;
constexpr uint32_t kResumeRequests = 512;
// How often a paused or closing connection looks at its budget again: the
// requests it waits for are freed on whatever thread handled them.
constexpr uint64_t kRecheckMs = 5;
constexpr uint64_t kHeadWaiters = 16;  // waiters of a room that look again sooner
// A peer that pipelines many requests gets the replies of a long read
// callback in pieces of about this size, not all at its end.
constexpr uint64_t kEarlyFlushBytes = 256 * 1024;
// A frame that has begun must be whole within this time, counted from its
// start (or from the last whole frame, or from reading being resumed): a
// peer that sends half a frame and then nothing would otherwise hold its
// connection and the frame's buffer for ever. Loopback peers send a frame
// in one go, so this only has to outlast a badly starved sender.
constexpr uint32_t kFrameTimeoutMs = 120000;
// A connection whose replies have not moved for the stall time-out is
// closed only while another waits for room; until then it is looked at
// again this often.
constexpr uint32_t kStallTimeoutMs = 10000;
constexpr uint32_t kStallRecheckMs = 500;
// What the allocator adds to a block of its own, beside the block.
constexpr uint32_t kAllocOverhead = 32;
// The rooms of a shared budget a connection is let in by: one that holds
// something (within the limit, or from three quarters of it once the limit
// paused it), one that holds nothing (within the slack) and one that holds
// nothing and reads (within the reserve too).
enum room_kind : int { kRoomHeldBack, kRoomHolds, kRoomEmpty, kRoomReader, kRoomKinds };
constexpr uint64_t kNoTicket = UINT64_MAX;

std::atomic<uint64_t> g_conn_ids{0};

}  // namespace

// Bytes held for the connections of one or more servers: requests in
// flight (at their charge) and replies not yet written.
struct kiv_rpc_budget {
    uint64_t limit = 0;
    // Past the limit, connections that hold nothing still bring frames,
    // but only while the total is within this much more: one frame per
    // connection would let every idle connection add a reply.
    uint64_t slack = 0;
    // And past the slack, those of them whose peers have read a reply: the
    // non-readers that fill the limit and the slack never get here, so a
    // reader finds room however many of them there are.
    uint64_t reserve = 0;
    std::atomic<uint32_t> stall_ms{kStallTimeoutMs};
    std::atomic<uint64_t> held{0};
    std::atomic<uint64_t> peak{0};
    std::atomic<uint32_t> refs{1};
    std::atomic<uint32_t> conns{0};
    std::atomic<uint32_t> paused{0};
    std::atomic<uint32_t> waiting{0};
    std::atomic<uint64_t> stall_closes{0};
    // Connections waiting for room take it in the order they began to
    // wait: each draws a ticket then and is filed by the room it waits for,
    // and nobody is let in while an older waiter is within its room.
    // Without that, those that look first take whatever comes free: a
    // connection whose reply has just been written asks again at once,
    // while the paused ones look every 5 ms, in no order, so the same few
    // are served again and again. The oldest ticket of each room is read
    // without the lock by every admission.
    std::atomic<uint64_t> next_ticket{1};
    std::mutex queue_mu;
    std::set<uint64_t> queued[kRoomKinds];
    std::atomic<uint64_t> oldest[kRoomKinds] = {kNoTicket, kNoTicket, kNoTicket, kNoTicket};
};

const uint32_t KIV_RPC_MSG_OVERHEAD = uint32_t(sizeof(rpc_msg)) + kAllocOverhead;

namespace {

void budget_add(kiv_rpc_budget* b, uint64_t n) {
    if (!b || !n) return;
    uint64_t now = b->held.fetch_add(n) + n;
    uint64_t p = b->peak.load();
    while (now > p && !b->peak.compare_exchange_weak(p, now)) {
    }
}

void budget_sub(kiv_rpc_budget* b, uint64_t n) {
    if (b && n) b->held.fetch_sub(n);
}

void budget_unref(kiv_rpc_budget* b) {
    if (b && b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete b;
}

// What a message holds: its record, the bytes it keeps, or its wire
// length where a chunk accessor serves more than it keeps (the pages
// behind a read reply).
uint64_t msg_cost(const rpc_msg* m) { return KIV_RPC_MSG_OVERHEAD + std::max(m->kept_len, m->total_len); }

// Counted up or down with the state it stands for.
void count_flag(bool* flag, bool now, std::atomic<uint32_t>* counter) {
    if (*flag == now) return;
    *flag = now;
    if (now)
        counter->fetch_add(1);
    else
        counter->fetch_sub(1);
}

// The per-loop scratch buffer reads go into: a connection keeps bytes of
// its own only when they are left behind a frame it may not take yet, so
// idle connections hold no receive buffer.
struct rx_scratch {
    uint8_t* buf = nullptr;
    bool busy = false;
    ~rx_scratch() { free(buf); }
};
thread_local rx_scratch t_scratch;

uint8_t* scratch_buf() {
    if (!t_scratch.buf) {
        t_scratch.buf = static_cast<uint8_t*>(malloc(kRxBuf));
        if (!t_scratch.buf) kiv_fatal("allocation failed: rpc receive buffer at %s", KIV_POS);
    }
    return t_scratch.buf;
}

}  // namespace

struct kiv_rpc_sconn {
    uint32_t magic = kConnMagic;
    kiv_rpc_server* srv = nullptr;
    uint64_t id = 0;
    kiv_netaddr peer{};
    int fd = -1;
    kiv_fd_watch* watch = nullptr;
    uint32_t wmask = 0;
    std::atomic<uint32_t> refs{1};
    bool dropped = false;
    bool paused = false;
    bool reading = false;  // inside its own read callback: replies are written at its end
    bool rechecking = false;  // inside its re-check, which may let it in on its turn
    // A bad frame arrived, or the server drains it: nothing more is read,
    // and the connection closes once the requests taken are answered and
    // their replies written.
    bool draining = false;
    // Once a reply went out whole: the peer reads, and may use the
    // shared budget's reserve.
    bool replied = false;
    bool counted_paused = false;
    bool counted_waiting = false;
    // Its turn came: the frames it brings in this turn on the loop do not
    // wait for older waiters again (one a turn would serve a full budget's
    // waiters a frame each per look), and should it find the room gone, it
    // waits again in the place it had.
    bool granted = false;
    bool held_back = false;  // paused by a limit, not only to let an older waiter go first
    bool hears_input = false;  // paused with nothing of its peer's, listening for it
    // A late reply of the server's waits for room (kiv_rpc_sconn_late_reply_room).
    bool late_waits = false;
    // Its place among the waiters, drawn when it began to wait, and the
    // room it is filed by there (-1: it does not wait).
    uint64_t ticket = kNoTicket;
    int filed = -1;
    std::atomic<uint32_t> inflight{0};
    std::atomic<uint64_t> inflight_bytes{0};
    kiv_rpc_budget* budget = nullptr;  // referenced; NULL: only its own budget
    kiv_timer recheck{};
    // Closes a connection whose replies have not moved while others wait.
    kiv_timer stall_timer{};
    uint64_t moved_us = 0;  // last write that took bytes, or when the queue filled
    // Ends a frame that is not finished in time; re-armed when a frame
    // was completed since it was armed.
    kiv_timer frame_timer{};
    uint64_t frames = 0;
    uint64_t frames_at_arm = 0;
    uint64_t turn_end = 0;  // `frames` at which the current turn ends

    uint8_t hdr[24] = {};
    uint32_t have = 0;
    rpc_msg* rx = nullptr;
    uint32_t rx_off = 0;
    uint64_t rx_cost = 0;  // the begun frame, counted from its header
    // Bytes read and not yet taken: the loop's scratch buffer while a read
    // callback parses them, the stash once they are left behind a pause.
    uint8_t* rxbuf = nullptr;
    uint32_t rpos = 0;
    uint32_t wpos = 0;
    uint8_t* stash = nullptr;
    uint64_t stash_cost = 0;

    rpc_sendq txq;
    uint64_t tx_off = 0;
    uint64_t tx_bytes = 0;  // wire bytes queued
    uint64_t tx_cost = 0;   // what the queued replies hold

    rpc_event close_ev{};
    // Queued write of replies sent outside the connection's own read
    // callback while the loop gathers replies; holds a reference.
    rpc_event flush_ev{};
    kiv_rpc_sconn* prev = nullptr;
    kiv_rpc_sconn* next = nullptr;
};

struct kiv_rpc_server {
    uint32_t magic = kSrvMagic;
    rpc_proc* rp = nullptr;  // NULL once the process is gone
    kiv_netaddr addr{};
    uint32_t max_msg = 0;
    uint32_t charge = 0;  // least a request in flight counts against its connection's budget
    uint32_t frame_ms = kFrameTimeoutMs;  // 0: a begun frame may take for ever
    kiv_rpc_budget* budget = nullptr;     // referenced
    kiv_rpc_server_ops ops{};
    bool (*hand_off)(int fd, void* arg) = nullptr;
    void* hand_off_arg = nullptr;
    void* arg = nullptr;
    int fd = -1;  // -1: listens nowhere, serves adopted sockets only
    kiv_fd_watch* watch = nullptr;
    // Touched under the loop lock, except by an adoption posted from
    // another thread, which holds the server until its job has run.
    std::atomic<uint32_t> refs{1};
    bool closed = false;
    rpc_ilist<kiv_rpc_sconn, &kiv_rpc_sconn::prev, &kiv_rpc_sconn::next> conns;
    rpc_linger_list lingers;  // sockets of drained and dropped connections
    rpc_node node{};
};

namespace {

void srv_unref(kiv_rpc_server* s) {
    uint32_t was = s->refs.fetch_sub(1, std::memory_order_acq_rel);
    KIV_BUG_ON(was == 0);
    if (was != 1) return;
    KIV_BUG_ON(!s->closed || !s->conns.empty());
    budget_unref(s->budget);
    s->magic = 0;
    delete s;
}

void conn_free(kiv_rpc_sconn* c) {
    kiv_rpc_server* s = c->srv;
    rpc_guard g(s->rp);
    kiv_free_msg(c->rx);
    free(c->stash);
    budget_unref(c->budget);
    c->magic = 0;
    delete c;
    srv_unref(s);
}

// A write is coming anyway: at the end of the connection's read callback,
// or from its queued flush event.
bool conn_flush_due(const kiv_rpc_sconn* c) { return c->reading || c->flush_ev.queued; }

void conn_set_mask(kiv_rpc_sconn* c) {
    if (!c->watch) return;
    // Waiting for room to write only once a write came up short: asking
    // for EPOLLOUT before every batch would cost two epoll_ctl calls each.
    bool want_out = !c->txq.empty() && !conn_flush_due(c);
    // A connection that is not read still hears its peer's close: nothing
    // else would end it, and what it holds (parked requests, its share of
    // the budget) would stay until those requests time out.
    // One paused with nothing of its peer's to take also hears its peer's
    // next bytes, which make it wait for room from then on.
    uint32_t in = c->paused || c->draining ? uint32_t(EPOLLRDHUP) | (c->hears_input ? uint32_t(EPOLLIN) : 0u)
                                           : uint32_t(EPOLLIN);
    uint32_t mask = in | (want_out ? uint32_t(EPOLLOUT) : 0u);
    if (mask != c->wmask && kiv_fd_watch_mod(c->watch, mask) == 0) c->wmask = mask;
}

uint64_t conn_load(const kiv_rpc_sconn* c) {
    return c->tx_cost + c->inflight_bytes.load() + c->rx_cost + c->stash_cost;
}

// How far past its limit the shared budget lets a connection bring a
// frame: not at all while it holds anything, within the slack when it
// holds nothing, and within the reserve too when its peer reads. One that
// the limit paused while it held something is let in again only from
// three quarters of the limit, so that it does not pause at its next
// frame; one that paused only to let an older waiter go first is let in
// within the limit.
uint64_t budget_room(const kiv_rpc_budget* b, int kind) {
    switch (kind) {
        case kRoomHeldBack: return b->limit - b->limit / 4;
        case kRoomHolds: return b->limit;
        case kRoomEmpty: return b->limit + b->slack;
        default: return b->limit + b->slack + b->reserve;
    }
}

int conn_room_kind(const kiv_rpc_sconn* c) {
    if (conn_load(c) > 0) return kRoomHolds;
    return c->replied ? kRoomReader : kRoomEmpty;
}

int conn_wait_kind(const kiv_rpc_sconn* c) {
    int k = conn_room_kind(c);
    return k == kRoomHolds && c->held_back ? kRoomHeldBack : k;
}

// Whether one waiting since `ticket` (kNoTicket: not waiting) lets an older
// waiter go first: one whose room the total is within, and which takes it
// at its next look.
bool budget_older_first(const kiv_rpc_budget* b, uint64_t ticket, uint64_t held) {
    for (int k = 0; k < kRoomKinds; k++)
        if (b->oldest[k].load(std::memory_order_relaxed) < ticket && held <= budget_room(b, k)) return true;
    return false;
}

bool conn_over_own(const kiv_rpc_sconn* c) {
    return c->inflight.load() >= kPauseRequests || conn_load(c) > kPauseBytes;
}

// A paused connection's own budget lets it be read again.
bool conn_own_ready(const kiv_rpc_sconn* c) {
    return c->inflight.load() < kResumeRequests && conn_load(c) < kResumeBytes;
}

bool conn_over_shared(const kiv_rpc_sconn* c) {
    const kiv_rpc_budget* b = c->budget;
    if (!b) return false;
    uint64_t held = b->held.load();
    return held > budget_room(b, conn_room_kind(c)) || (!c->granted && budget_older_first(b, kNoTicket, held));
}

bool conn_under_shared(const kiv_rpc_sconn* c) {
    const kiv_rpc_budget* b = c->budget;
    if (!b) return true;
    uint64_t held = b->held.load();
    return held <= budget_room(b, conn_wait_kind(c)) &&
           !budget_older_first(b, c->filed >= 0 ? c->ticket : kNoTicket, held);
}

// Something read and not yet taken: bytes in rxbuf, or a whole header
// whose frame waits for room.
bool conn_has_unparsed(const kiv_rpc_sconn* c) { return c->rpos < c->wpos || (c->have == 24 && !c->rx); }

void budget_set_oldest(kiv_rpc_budget* b, int kind) {
    const std::set<uint64_t>& q = b->queued[kind];
    b->oldest[kind].store(q.empty() ? kNoTicket : *q.begin(), std::memory_order_relaxed);
}

// Bytes of its peer's that it has not taken: in its stash, or still in
// its socket.
bool conn_has_input(const kiv_rpc_sconn* c) {
    int n = 0;
    return conn_has_unparsed(c) || (c->fd >= 0 && ioctl(c->fd, FIONREAD, &n) == 0 && n > 0);
}

// A connection waits for room while it is paused, its own budget would let
// it be read, and its peer has sent something: one paused as it took a
// frame, before its peer had more to ask, waits from when its peer asks.
// Filed earlier, the connection whose request has just been answered would
// be let in before those that asked while it was served, and the same few
// would be served again and again.
void conn_file_ticket(kiv_rpc_sconn* c) {
    kiv_rpc_budget* b = c->budget;
    const bool may_wait = c->paused && !c->dropped && !c->draining && conn_own_ready(c);
    const bool input = may_wait && conn_has_input(c);
    c->hears_input = may_wait && !input;
    int want = input ? conn_wait_kind(c) : -1;
    if (want == c->filed) return;
    std::lock_guard<std::mutex> g(b->queue_mu);
    if (c->filed >= 0) {
        b->queued[c->filed].erase(c->ticket);
        budget_set_oldest(b, c->filed);
    } else {
        // One let in that found the room taken before it brought its
        // frame (by a connection of another loop) waits again in its place.
        if (!c->granted) c->ticket = b->next_ticket.fetch_add(1, std::memory_order_relaxed);
        c->granted = false;
    }
    if (want >= 0) {
        b->queued[want].insert(c->ticket);
        budget_set_oldest(b, want);
    }
    c->filed = want;
}

void conn_sync_counts(kiv_rpc_sconn* c) {
    kiv_rpc_budget* b = c->budget;
    if (!b) return;
    bool paused = c->paused && !c->dropped;
    count_flag(&c->counted_paused, paused, &b->paused);
    // A connection whose own replies are stuck is not waiting for others.
    count_flag(&c->counted_waiting, (paused || (c->late_waits && !c->dropped)) && c->txq.empty() && !conn_over_own(c),
               &b->waiting);
    conn_file_ticket(c);
}

// The oldest waiters look again every millisecond: the room that comes
// free waits for them, and at one look in 5 ms the readers of a full DS
// budget were let in at half the rate its workers serve them.
uint64_t conn_recheck_ms(const kiv_rpc_sconn* c) {
    if (c->filed < 0) return kRecheckMs;
    return c->ticket - c->budget->oldest[c->filed].load(std::memory_order_relaxed) < kHeadWaiters ? 1 : kRecheckMs;
}

// Pauses or resumes reading by the budgets and arms the re-check while
// paused or closing. A frame already begun is read to its end: its room
// was counted when its header came. True when reading was resumed.
bool conn_update_pause(kiv_rpc_sconn* c) {
    bool resumed = false;
    if (!c->paused && !c->rx && (conn_over_own(c) || conn_over_shared(c))) {
        c->paused = true;
        c->held_back = conn_over_own(c) || (c->budget && c->budget->held.load() > budget_room(c->budget, kRoomHolds));
    } else if (c->paused && conn_own_ready(c) && conn_under_shared(c)) {
        if (c->filed >= 0 && !c->rechecking) {
            // Its turn: taken by its re-check, which reads at once, so that
            // the room is taken before the next waiter looks.
            mod_timer(&c->recheck, 0);
        } else {
            c->paused = false;
            c->granted = c->filed >= 0;
            resumed = true;
        }
    }
    conn_sync_counts(c);
    conn_set_mask(c);
    if (c->dropped) return resumed;
    // Frames read before the pause wait in the stash, and the socket may
    // have nothing more to say: the re-check takes them up at once.
    if (resumed && conn_has_unparsed(c) && !c->draining)
        mod_timer(&c->recheck, 0);
    else if ((c->paused || c->draining) && !timer_pending(&c->recheck))
        mod_timer(&c->recheck, conn_recheck_ms(c));
    return resumed;
}

void stash_release(kiv_rpc_sconn* c) {
    if (c->stash) {
        free(c->stash);
        c->stash = nullptr;
        budget_sub(c->budget, c->stash_cost);
        c->stash_cost = 0;
    }
    c->rxbuf = nullptr;
    c->rpos = c->wpos = 0;
}

// The end of a parse: bytes left in the loop's scratch buffer move to a
// stash of the connection's own, counted against its budgets.
void stash_keep(kiv_rpc_sconn* c) {
    if (c->rpos >= c->wpos) {
        stash_release(c);
        return;
    }
    if (c->rxbuf == c->stash) return;
    uint32_t n = c->wpos - c->rpos;
    auto* p = static_cast<uint8_t*>(malloc(n));
    if (!p) kiv_fatal("allocation failed: rpc receive stash at %s (%u bytes)", KIV_POS, n);
    memcpy(p, c->rxbuf + c->rpos, n);
    c->stash = p;
    c->stash_cost = uint64_t(n) + kAllocOverhead;
    budget_add(c->budget, c->stash_cost);
    c->rxbuf = p;
    c->rpos = 0;
    c->wpos = n;
}

void rx_release(kiv_rpc_sconn* c) {
    kiv_free_msg(c->rx);
    c->rx = nullptr;
    budget_sub(c->budget, c->rx_cost);
    c->rx_cost = 0;
}

void conn_close_run(rpc_event* ev) {
    auto* c = static_cast<kiv_rpc_sconn*>(ev->obj);
    kiv_rpc_server* s = c->srv;
    if (s->ops.on_close) s->ops.on_close(c, s->arg);
    kiv_rpc_sconn_unref(c);
}

void conn_close_release(rpc_event* ev) { kiv_rpc_sconn_unref(static_cast<kiv_rpc_sconn*>(ev->obj)); }

void conn_drop(kiv_rpc_sconn* c) {
    if (c->dropped) return;
    c->dropped = true;
    kiv_rpc_server* s = c->srv;
    RPC_LOG(7, "rpc: server connection %llu from %s closed", (unsigned long long)c->id, rpc_addr_text(&c->peer).s);
    if (c->watch) {
        kiv_fd_watch_del(c->watch);
        c->watch = nullptr;
    }
    if (s->rp && !kiv_process_terminated(s->rp->p)) {
        del_timer_sync(&c->recheck);
        del_timer_sync(&c->frame_timer);
        del_timer_sync(&c->stall_timer);
    }
    if (c->fd >= 0) {
        shutdown(c->fd, SHUT_RDWR);
        close(c->fd);
        c->fd = -1;
    }
    while (rpc_msg* m = c->txq.pop_front()) {
        rpc_msg_set_state(m, MS_IDLE);
        kiv_free_msg(m);
    }
    budget_sub(c->budget, c->tx_cost);
    c->tx_bytes = 0;
    c->tx_cost = 0;
    c->tx_off = 0;
    rx_release(c);
    stash_release(c);
    conn_sync_counts(c);
    if (c->budget) c->budget->conns.fetch_sub(1);
    s->conns.remove(c);
    if (s->rp) {
        c->close_ev.obj = c;
        c->close_ev.run = conn_close_run;
        c->close_ev.release = conn_close_release;
        rp_push(s->rp, &c->close_ev);
    } else {
        kiv_rpc_sconn_unref(c);
    }
}

// Replies the socket did not take: the stall clock runs while they wait.
void conn_watch_stall(kiv_rpc_sconn* c) {
    if (c->dropped || c->txq.empty() || !c->budget) return;
    uint32_t ms = c->budget->stall_ms.load();
    if (ms > 0 && !timer_pending(&c->stall_timer)) mod_timer(&c->stall_timer, ms);
}

void conn_stall_expired(void* arg) {
    auto* c = static_cast<kiv_rpc_sconn*>(arg);
    rpc_proc* rp = c->srv->rp;
    rp_enter(rp);
    kiv_rpc_sconn_ref(c);
    if (!c->dropped && !c->txq.empty()) {
        kiv_rpc_budget* b = c->budget;
        uint64_t still_ms = (get_abs_time_us() - c->moved_us) / 1000;
        uint32_t limit_ms = b->stall_ms.load();
        if (limit_ms == 0) {
            // Stalls were forgiven since the timer was armed.
        } else if (still_ms < limit_ms) {
            mod_timer(&c->stall_timer, limit_ms - still_ms);
        } else if (b->waiting.load() > 0) {
            kiv_log(1, "rpc: closing server connection %llu from %s: its replies have not moved for %llu ms while "
                       "others wait for room",
                    (unsigned long long)c->id, rpc_addr_text(&c->peer).s, (unsigned long long)still_ms);
            b->stall_closes.fetch_add(1);
            conn_drop(c);
        } else {
            mod_timer(&c->stall_timer, kStallRecheckMs);
        }
    }
    kiv_rpc_sconn_unref(c);
    rp_leave(rp);
}

// A drain or a drop ends the connection as conn_drop does, but its socket
// lingers with what it still queued, so that its peer reads every reply
// handed over before, then the end of the stream.
void conn_close_gently(kiv_rpc_sconn* c) {
    kiv_rpc_server* s = c->srv;
    if (!c->dropped && c->fd >= 0 && s->rp && !kiv_process_terminated(s->rp->p)) {
        if (c->watch) {
            kiv_fd_watch_del(c->watch);
            c->watch = nullptr;
        }
        if (c->budget) c->budget->refs.fetch_add(1, std::memory_order_relaxed);
        rpc_linger_start(s->rp->p, &s->lingers, c->fd, &c->txq, c->tx_off, c->budget);
        c->fd = -1;
        c->tx_bytes = 0;
        c->tx_cost = 0;  // the lingering socket gives it back as it writes
        c->tx_off = 0;
    }
    conn_drop(c);
}

void conn_flush(kiv_rpc_sconn* c) {
    while (!c->txq.empty() && c->fd >= 0) {
        iovec iov[RPC_MAX_IOV];
        size_t bytes = 0;
        int n = rpc_gather_iov(c->txq.head, c->tx_off, iov, &bytes);
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = size_t(n);
        ssize_t w = sendmsg(c->fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            RPC_LOG(4, "rpc: server connection %llu from %s: %s", (unsigned long long)c->id,
                    rpc_addr_text(&c->peer).s, strerror(errno));
            conn_drop(c);
            return;
        }
        size_t left = size_t(w);
        while (left > 0) {
            rpc_msg* h = c->txq.head;
            uint64_t rem = h->total_len - c->tx_off;
            if (left < rem) {
                c->tx_off += left;
                break;
            }
            left -= size_t(rem);
            c->txq.pop_front();
            c->tx_off = 0;
            c->tx_bytes -= h->total_len;
            uint64_t cost = msg_cost(h);
            c->tx_cost -= cost;
            budget_sub(c->budget, cost);
            c->replied = true;
            RPC_LOG(7, "rpc: sent frame type %u xid %llu len %u to %s", rpc_le32(h->buf + 4),
                    (unsigned long long)rpc_le64(h->buf + 16), h->total_len, rpc_addr_text(&c->peer).s);
            rpc_msg_set_state(h, MS_IDLE);
            kiv_free_msg(h);
        }
        if (w > 0) c->moved_us = get_abs_time_us();
        if (size_t(w) < bytes) break;
    }
    conn_watch_stall(c);
    conn_update_pause(c);
}

// A whole request has arrived: hand it over. False if the connection went.
bool conn_dispatch(kiv_rpc_sconn* c) {
    rpc_msg* m = c->rx;
    c->rx = nullptr;
    c->have = 0;
    RPC_LOG(7, "rpc: received frame type %u xid %llu len %u from %s", rpc_le32(m->buf + 4),
            (unsigned long long)rpc_le64(m->buf + 16), m->total_len, rpc_addr_text(&c->peer).s);
    kiv_rpc_server* s = c->srv;
    // In flight until the server frees it, whatever thread does that.
    kiv_rpc_sconn_ref(c);
    m->origin = c;
    // Counted since its header came, now as a request in flight.
    m->origin_cost = uint32_t(c->rx_cost);
    c->rx_cost = 0;
    c->inflight.fetch_add(1);
    c->inflight_bytes.fetch_add(m->origin_cost);
    c->frames++;
    s->ops.on_request(c, m, s->arg);
    if (c->dropped) return false;
    conn_update_pause(c);
    // A drain asked for by the handler: the frames behind this one were
    // discarded and are not taken.
    return !c->draining;
}

// Nothing more is read: what was read and not yet taken (frames in rxbuf,
// a frame begun) is discarded. The connection closes once the requests
// already taken are answered and their replies written.
void conn_start_drain(kiv_rpc_sconn* c) {
    c->draining = true;
    stash_release(c);
    c->have = 0;
    rx_release(c);
    conn_update_pause(c);
}

// A whole header. False (the connection drains) for a frame no request can
// be: the requests before it were taken, and their replies still go out,
// however TCP split the bytes.
bool conn_header_ok(kiv_rpc_sconn* c) {
    kiv_rpc_server* s = c->srv;
    uint32_t len = rpc_le32(c->hdr);
    uint32_t type = rpc_le32(c->hdr + 4);
    if (len >= 24 && len <= s->max_msg && !(type & 1)) return true;
    kiv_log(1, "rpc: closing server connection %llu from %s: bad frame (length %u, type %u, limit %u)",
            (unsigned long long)c->id, rpc_addr_text(&c->peer).s, len, type, s->max_msg);
    conn_start_drain(c);
    return false;
}

// Room was found for the frame of a whole header: it is allocated, and
// counted at its full length from now on. False if the connection went or
// drains.
bool conn_begin_frame(kiv_rpc_sconn* c) {
    uint32_t len = rpc_le32(c->hdr);
    rpc_msg* m = rpc_msg_alloc(len, false);
    if (!m) kiv_fatal("allocation failed: rpc request at %s (%u bytes)", KIV_POS, len);
    memcpy(m->buf, c->hdr, 24);
    c->rx = m;
    c->rx_off = 24;
    // At its charge already: a frame admitted small that became its
    // charge only once whole would pass the check that admitted it.
    c->rx_cost = KIV_RPC_MSG_OVERHEAD + uint64_t(std::max(len, c->srv->charge));
    budget_add(c->budget, c->rx_cost);
    if (len == 24) return conn_dispatch(c);
    return true;
}

// Takes the frames of what rxbuf holds, until it is empty or the connection
// pauses (the rest waits in the stash). A frame is allocated only once the
// budgets have room for it: others may have filled the shared budget since
// this connection's last frame. False if the connection went or drains.
bool conn_parse(kiv_rpc_sconn* c) {
    while (!c->paused) {
        if (!c->rx && c->have == 0 && c->frames >= c->turn_end && c->rpos < c->wpos) {
            // The turn is over: the rest waits in the stash, and the
            // re-check takes it up once the loop has been round.
            mod_timer(&c->recheck, 0);
            break;
        }
        if (!c->rx && c->have == 24) {
            conn_update_pause(c);
            if (c->paused) break;
            if (!conn_begin_frame(c)) return false;
            continue;
        }
        if (c->rpos >= c->wpos) break;
        const uint8_t* p = c->rxbuf + c->rpos;
        uint32_t avail = c->wpos - c->rpos;
        if (!c->rx) {
            uint32_t k = std::min(24 - c->have, avail);
            memcpy(c->hdr + c->have, p, k);
            c->have += k;
            c->rpos += k;
            if (c->have == 24 && !conn_header_ok(c)) return false;
            continue;
        }
        uint32_t k = std::min(avail, c->rx->total_len - c->rx_off);
        memcpy(c->rx->buf + c->rx_off, p, k);
        c->rx_off += k;
        c->rpos += k;
        if (c->rx_off == c->rx->total_len && !conn_dispatch(c)) return false;
    }
    stash_keep(c);
    return !c->dropped && !c->draining;
}

void conn_read(kiv_rpc_sconn* c) {
    c->turn_end = c->frames + kFramesPerTurn;
    if (c->draining || !conn_parse(c)) return;
    for (int round = 0; round < kMaxRounds && !c->paused && !c->stash; round++) {
        // A connection between frames reads nothing it may not take: what
        // it would read past a frame it has no room for would wait, held.
        // One within a frame reads that frame to its end, and past it only
        // when there is room for more.
        bool room = !conn_over_own(c) && !conn_over_shared(c);
        if (!c->rx && !room) {
            conn_update_pause(c);
            break;
        }
        KIV_BUG_ON(t_scratch.busy || c->stash);
        t_scratch.busy = true;
        c->rxbuf = scratch_buf();
        c->rpos = c->wpos = 0;
        ssize_t n;
        size_t asked;
        uint32_t direct = 0;
        uint32_t rest = c->rx ? c->rx->total_len - c->rx_off : 0;
        if (c->rx && rest >= kDirectMin) {
            iovec iov[2] = {{c->rx->buf + c->rx_off, rest}, {c->rxbuf, kRxBuf}};
            int cnt = room ? 2 : 1;
            asked = size_t(rest) + (room ? kRxBuf : 0);
            n = readv(c->fd, iov, cnt);
            if (n > 0) direct = uint32_t(std::min<size_t>(size_t(n), rest));
        } else {
            asked = c->rx && !room ? rest : kRxBuf;
            n = read(c->fd, c->rxbuf, asked);
        }
        if (n <= 0) {
            t_scratch.busy = false;
            c->rxbuf = nullptr;
        }
        if (n == 0) {
            conn_drop(c);
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            RPC_LOG(4, "rpc: server connection %llu from %s: %s", (unsigned long long)c->id,
                    rpc_addr_text(&c->peer).s, strerror(errno));
            conn_drop(c);
            return;
        }
        c->rpos = 0;
        c->wpos = uint32_t(size_t(n) - direct);
        bool live = true;
        if (direct) {
            c->rx_off += direct;
            if (c->rx_off == c->rx->total_len && !conn_dispatch(c)) live = false;
        }
        if (live) live = conn_parse(c);
        else if (!c->dropped) stash_release(c);
        t_scratch.busy = false;
        if (!live) return;
        // Not while paused with frames left in rxbuf: the next round reads
        // over them, and the flush could resume it.
        if (c->tx_bytes >= kEarlyFlushBytes && c->rpos == c->wpos) {
            conn_flush(c);
            if (c->dropped) return;
        }
        if (size_t(n) < asked || c->frames >= c->turn_end) return;
    }
}

// A closing connection goes once nothing is in flight or queued.
void conn_finish_drain(kiv_rpc_sconn* c) {
    if (c->draining && !c->dropped && c->inflight.load() == 0 && c->txq.empty()) conn_close_gently(c);
}

void conn_flush_run(rpc_event* ev) {
    auto* c = static_cast<kiv_rpc_sconn*>(ev->obj);
    if (!c->dropped && !c->txq.empty()) conn_flush(c);
    if (!c->dropped) conn_finish_drain(c);
    kiv_rpc_sconn_unref(c);
}

void conn_flush_release(rpc_event* ev) { kiv_rpc_sconn_unref(static_cast<kiv_rpc_sconn*>(ev->obj)); }

bool conn_mid_frame(const kiv_rpc_sconn* c) {
    return (c->have > 0 || c->rx) && !c->paused && !c->draining && !c->dropped;
}

// Arms the frame deadline while a frame is begun and being read, afresh
// when a whole frame came since it was armed; disarms it otherwise. A
// paused connection reads nothing, so its peer is not held to it.
void conn_watch_frame(kiv_rpc_sconn* c) {
    if (c->dropped || c->srv->frame_ms == 0) return;
    if (!conn_mid_frame(c)) {
        if (timer_pending(&c->frame_timer)) del_timer_sync(&c->frame_timer);
        return;
    }
    if (timer_pending(&c->frame_timer) && c->frames == c->frames_at_arm) return;
    c->frames_at_arm = c->frames;
    mod_timer(&c->frame_timer, c->srv->frame_ms);
}

void conn_frame_expired(void* arg) {
    auto* c = static_cast<kiv_rpc_sconn*>(arg);
    rpc_proc* rp = c->srv->rp;
    rp_enter(rp);
    kiv_rpc_sconn_ref(c);
    if (conn_mid_frame(c)) {
        kiv_log(1, "rpc: closing server connection %llu from %s: a frame begun %u ms ago is still not whole",
                (unsigned long long)c->id, rpc_addr_text(&c->peer).s, c->srv->frame_ms);
        conn_drop(c);
    }
    kiv_rpc_sconn_unref(c);
    rp_leave(rp);
}

void conn_io(kiv_fd_watch*, uint32_t revents, void* arg) {
    auto* c = static_cast<kiv_rpc_sconn*>(arg);
    rpc_proc* rp = c->srv->rp;
    rp_enter(rp);
    kiv_rpc_sconn_ref(c);
    if ((revents & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && (c->paused || c->draining)) {
        // Not reading, so nothing else would notice that the peer is gone.
        // A peer's end of sending counts as its close, as the EOF of a
        // read does.
        conn_drop(c);
    } else if (c->paused && !c->draining) {
        // Its peer's next bytes came: it waits for room from now.
        if (revents & EPOLLIN) conn_update_pause(c);
    } else if (revents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        c->reading = true;
        conn_read(c);
        c->reading = false;
        c->granted = false;
        conn_watch_frame(c);
    }
    if (!c->dropped && !c->txq.empty() && ((revents & EPOLLOUT) || !(c->wmask & EPOLLOUT))) conn_flush(c);
    if (!c->dropped) conn_finish_drain(c);
    kiv_rpc_sconn_unref(c);
    rp_leave(rp);
}

// Paused or closing: resumes reading (first the frames left in rxbuf) once
// the budget allows, or closes once drained.
void conn_recheck(void* arg) {
    auto* c = static_cast<kiv_rpc_sconn*>(arg);
    rpc_proc* rp = c->srv->rp;
    rp_enter(rp);
    kiv_rpc_sconn_ref(c);
    bool resumed = false;
    if (!c->dropped) {
        c->rechecking = true;
        resumed = conn_update_pause(c);
        c->rechecking = false;
    }
    if (!c->dropped && !c->paused && !c->draining && (conn_has_unparsed(c) || (resumed && c->granted))) {
        c->reading = true;
        if (conn_has_unparsed(c)) {
            c->turn_end = c->frames + kFramesPerTurn;
            conn_parse(c);
        } else {
            conn_read(c);
        }
        c->reading = false;
        c->granted = false;
        if (!c->dropped && !c->txq.empty()) conn_flush(c);
    }
    if (!c->dropped) conn_watch_frame(c);
    if (!c->dropped) conn_finish_drain(c);
    kiv_rpc_sconn_unref(c);
    rp_leave(rp);
}

// Serves connected socket `fd` (taken) as one of `s`'s connections. Loop
// context of `s`'s process.
void srv_add_conn(kiv_rpc_server* s, int fd, const kiv_netaddr& peer) {
    rpc_proc* rp = s->rp;
    auto* c = new kiv_rpc_sconn();
    c->srv = s;
    c->id = g_conn_ids.fetch_add(1, std::memory_order_relaxed) + 1;
    c->peer = peer;
    c->fd = fd;
    c->wmask = EPOLLIN;
    c->flush_ev.obj = c;
    c->flush_ev.run = conn_flush_run;
    c->flush_ev.release = conn_flush_release;
    init_timer(rp->p, &c->recheck, conn_recheck, c);
    init_timer(rp->p, &c->frame_timer, conn_frame_expired, c);
    init_timer(rp->p, &c->stall_timer, conn_stall_expired, c);
    if (s->budget) {
        s->budget->refs.fetch_add(1, std::memory_order_relaxed);
        s->budget->conns.fetch_add(1);
        c->budget = s->budget;
    }
    c->watch = kiv_fd_watch_add(rp->p, fd, EPOLLIN, conn_io, c);
    s->refs++;
    if (!c->watch) {
        kiv_log(1, "rpc: cannot watch a connection on %s: %s", rpc_addr_text(&s->addr).s, strerror(errno));
        close(fd);
        c->fd = -1;
        c->dropped = true;
        kiv_rpc_sconn_unref(c);
        return;
    }
    s->conns.push_back(c);
    RPC_LOG(7, "rpc: server connection %llu from %s on %s", (unsigned long long)c->id, rpc_addr_text(&c->peer).s,
            rpc_addr_text(&s->addr).s);
    if (s->ops.on_accept) s->ops.on_accept(c, s->arg);
}

void srv_accept_io(kiv_fd_watch*, uint32_t, void* arg) {
    auto* s = static_cast<kiv_rpc_server*>(arg);
    rpc_proc* rp = s->rp;
    rp_enter(rp);
    s->refs++;
    for (int i = 0; i < kMaxAccepts && !s->closed; i++) {
        sockaddr_storage ss;
        socklen_t sl = sizeof ss;
        int fd = accept4(s->fd, reinterpret_cast<sockaddr*>(&ss), &sl, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                kiv_log(1, "rpc: accept on %s failed: %s", rpc_addr_text(&s->addr).s, strerror(errno));
            break;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (s->hand_off && s->hand_off(fd, s->hand_off_arg)) continue;
        kiv_netaddr peer{};
        rpc_netaddr_from(reinterpret_cast<sockaddr*>(&ss), &peer);
        srv_add_conn(s, fd, peer);
    }
    srv_unref(s);
    rp_leave(rp);
}

void srv_stop_listening(kiv_rpc_server* s) {
    if (s->watch) {
        kiv_fd_watch_del(s->watch);
        s->watch = nullptr;
    }
    if (s->fd >= 0) {
        close(s->fd);
        s->fd = -1;
    }
}

void srv_gone_node(rpc_node* n) { rpc_server_process_gone(static_cast<kiv_rpc_server*>(n->obj)); }

kiv_rpc_server* srv_of(kiv_rpc_server* s) {
    KIV_BUG_ON(!s || s->magic != kSrvMagic);
    return s;
}

kiv_rpc_sconn* conn_of(kiv_rpc_sconn* c) {
    KIV_BUG_ON(!c || c->magic != kConnMagic);
    return c;
}

}  // namespace

// Process fini: sockets closed, queued close events released by the closer.
void rpc_server_process_gone(kiv_rpc_server* s) {
    srv_stop_listening(s);
    while (kiv_rpc_sconn* c = s->conns.head) conn_drop(c);
    rpc_linger_close_all(&s->lingers);
    s->rp = nullptr;
}

namespace {

uint16_t* port_of(sockaddr_storage* ss) {
    if (ss->ss_family == AF_INET) return &reinterpret_cast<sockaddr_in*>(ss)->sin_port;
    return &reinterpret_cast<sockaddr_in6*>(ss)->sin6_port;
}

// Binds `fd` (SO_REUSEADDR set) to `ss`. Port 0 is first taken by a probe
// socket and then bound by its number: when a listener stops listening
// the kernel keeps the port of a socket bound by number, not one it chose
// itself, and kiv_rpc_server_close_holding relies on that. The probe
// does not listen, so the listener may share its port until it closes.
int bind_by_number(int fd, sockaddr_storage* ss, unsigned sl) {
    int probe = -1;
    if (*port_of(ss) == 0) {
        probe = socket(ss->ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) return -errno;
        int one = 1;
        setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_storage got;
        socklen_t gl = sizeof got;
        if (bind(probe, reinterpret_cast<sockaddr*>(ss), sl) < 0 ||
            getsockname(probe, reinterpret_cast<sockaddr*>(&got), &gl) < 0) {
            int r = -errno;
            close(probe);
            return r;
        }
        *port_of(ss) = *port_of(&got);
    }
    int r = bind(fd, reinterpret_cast<sockaddr*>(ss), sl) < 0 ? -errno : 0;
    if (probe >= 0) close(probe);
    return r;
}

// Sets up a server on `p` around listening socket `fd` (-1: none); takes fd.
int srv_open(kiv_process* p, int fd, uint32_t max_msg, const kiv_rpc_server_ops* ops, void* arg,
             kiv_rpc_server** out) {
    auto* s = new (std::nothrow) kiv_rpc_server();
    if (!s) {
        if (fd >= 0) close(fd);
        return -ENOMEM;
    }
    s->max_msg = max_msg;
    s->ops = *ops;
    s->arg = arg;
    s->fd = fd;
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
        rpc_netaddr_from(reinterpret_cast<sockaddr*>(&ss), &s->addr);
    kiv_loop_guard g(p);
    s->rp = rpc_proc_get(p);
    if (fd >= 0) {
        s->watch = kiv_fd_watch_add(p, fd, EPOLLIN, srv_accept_io, s);
        if (!s->watch) {
            int r = -errno;
            close(fd);
            delete s;
            return r;
        }
    }
    s->node.obj = s;
    s->node.gone = srv_gone_node;
    rp_link(s->rp, &s->node);
    if (fd >= 0) RPC_LOG(7, "rpc: listening on %s", rpc_addr_text(&s->addr).s);
    *out = s;
    return 0;
}

// An accepted socket on its way to a server of another process.
struct adoption {
    kiv_job job;
    kiv_rpc_server* srv;  // referenced
    int fd;
};

void adopt_now(kiv_rpc_server* s, int fd) {
    if (s->closed || !s->rp) {
        close(fd);
        return;
    }
    kiv_netaddr peer{};
    sockaddr_storage ss;
    socklen_t sl = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &sl) == 0)
        rpc_netaddr_from(reinterpret_cast<sockaddr*>(&ss), &peer);
    rp_enter(s->rp);
    srv_add_conn(s, fd, peer);
    rp_leave(s->rp);
}

void adoption_run(void* arg) {
    auto* a = static_cast<adoption*>(arg);
    adopt_now(a->srv, a->fd);
    srv_unref(a->srv);
    delete a;
}

// The process ended first: nobody serves the socket.
void adoption_dropped(void* arg) {
    auto* a = static_cast<adoption*>(arg);
    close(a->fd);
    srv_unref(a->srv);
    delete a;
}

}  // namespace

int kiv_rpc_listen(kiv_process* p, const kiv_netaddr* addr, uint32_t max_msg, const kiv_rpc_server_ops* ops,
                   void* arg, kiv_rpc_server** out) {
    if (!p || !p->core || !addr || !ops || !ops->on_request || !out || max_msg < 24) return -EINVAL;
    sockaddr_storage ss;
    unsigned sl = 0;
    if (rpc_sockaddr_from(addr, &ss, &sl) < 0) return -EINVAL;
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int r = bind_by_number(fd, &ss, sl);
    if (r == 0 && listen(fd, 1024) < 0) r = -errno;
    if (r < 0) {
        close(fd);
        return r;
    }
    return srv_open(p, fd, max_msg, ops, arg, out);
}

int kiv_rpc_server_create(kiv_process* p, uint32_t max_msg, const kiv_rpc_server_ops* ops, void* arg,
                          kiv_rpc_server** out) {
    if (!p || !p->core || !ops || !ops->on_request || !out || max_msg < 24) return -EINVAL;
    return srv_open(p, -1, max_msg, ops, arg, out);
}

int kiv_rpc_server_adopt(kiv_rpc_server* s, int fd) {
    srv_of(s);
    if (fd < 0) return -EBADF;
    rpc_proc* rp = s->rp;
    if (!rp) {
        close(fd);
        return -ESHUTDOWN;
    }
    if (kiv_in_loop_context_of(rp->p)) {
        adopt_now(s, fd);
        return 0;
    }
    // Posted, never waited for: the caller may be the loop of another
    // process, which must not block on this one.
    auto* a = new (std::nothrow) adoption{};
    if (!a) {
        close(fd);
        return -ENOMEM;
    }
    a->srv = s;
    a->fd = fd;
    s->refs.fetch_add(1, std::memory_order_relaxed);
    int rc = kiv_post_in_job(rp->p, &a->job, adoption_run, adoption_dropped, a);
    if (rc < 0) {
        close(fd);
        srv_unref(s);
        delete a;
    }
    return rc;
}

int kiv_rpc_server_addr(kiv_rpc_server* s, kiv_netaddr* out) {
    srv_of(s);
    *out = s->addr;
    return 0;
}

namespace {

// `hold`: the listening socket only stops listening and is given back,
// still bound; else it closes. The socket, or -errno.
int srv_close(kiv_rpc_server* s, bool hold) {
    srv_of(s);
    rpc_guard g(s->rp);
    KIV_BUG_ON(s->closed);
    RPC_LOG(7, "rpc: closing listener on %s%s", rpc_addr_text(&s->addr).s, hold ? ", keeping its port" : "");
    s->closed = true;
    int kept = -ENOTSOCK;
    if (hold && s->fd >= 0) {
        if (s->watch) {
            kiv_fd_watch_del(s->watch);
            s->watch = nullptr;
        }
        kept = s->fd;
        s->fd = -1;
        // Resets the connections not yet accepted, as a close would.
        if (shutdown(kept, SHUT_RD) < 0) {
            int r = -errno;
            close(kept);
            kept = r;
        }
    }
    srv_stop_listening(s);
    while (kiv_rpc_sconn* c = s->conns.head) conn_drop(c);
    rpc_linger_close_all(&s->lingers);
    if (s->rp) rp_unlink(s->rp, &s->node);
    srv_unref(s);
    return kept;
}

}  // namespace

void kiv_rpc_server_close(kiv_rpc_server* s) { srv_close(s, false); }

int kiv_rpc_server_close_holding(kiv_rpc_server* s) { return srv_close(s, true); }

void kiv_rpc_server_drop_all(kiv_rpc_server* s) {
    srv_of(s);
    rpc_guard g(s->rp);
    while (kiv_rpc_sconn* c = s->conns.head) conn_drop(c);
    rpc_linger_close_all(&s->lingers);
}

kiv_msg* kiv_rpc_alloc_reply(const kiv_msg* req, uint32_t len) {
    if (len < 24 || !req || req->kept_len < 24) return nullptr;
    kiv_msg* m = kiv_rpc_alloc_output_msg(len);
    if (!m) return nullptr;
    rpc_put_le32(m->buf, len);
    rpc_put_le32(m->buf + 4, rpc_le32(req->buf + 4) + 1);
    memcpy(m->buf + 8, req->buf + 8, 16);
    return m;
}

int kiv_rpc_reply(kiv_rpc_sconn* c, kiv_msg* reply) {
    conn_of(c);
    rpc_msg* m = rpc_msg_of(reply);
    KIV_BUG_ON(!m || m->magic != RPC_MSG_MAGIC);
    rpc_guard g(c->srv->rp);
    KIV_BUG_ON(rpc_msg_state(m) != MS_IDLE);
    if (c->dropped) {
        kiv_free_msg(m);
        return -ENOTCONN;
    }
    if (m->total_len == 0) {
        kiv_free_msg(m);
        return 0;
    }
    uint32_t len = 0;
    void* p = m->get_chunk(m, 0, &len);
    if (p && len >= 4) rpc_put_le32(p, m->total_len);
    rpc_msg_set_state(m, MS_QUEUED);
    if (c->txq.empty()) c->moved_us = get_abs_time_us();
    c->txq.push_back(m);
    c->tx_bytes += m->total_len;
    uint64_t cost = msg_cost(m);
    c->tx_cost += cost;
    budget_add(c->budget, cost);
    // Its read callback or a queued flush writes it; the budget is looked at then.
    if (conn_flush_due(c)) return 0;
    if (c->txq.head == m) {
        rpc_proc* rp = c->srv->rp;
        if (rp && rp->depth > 0) {
            // The loop is gathering replies (a runtime callback or a reply
            // batch): this connection is written once, when it ends.
            kiv_rpc_sconn_ref(c);
            rp_push(rp, &c->flush_ev);
            return 0;
        }
        conn_flush(c);
        if (c->dropped) return -ENOTCONN;
    }
    conn_update_pause(c);
    return 0;
}

bool kiv_rpc_sconn_late_reply_room(kiv_rpc_sconn* c) {
    conn_of(c);
    rpc_guard g(c->srv->rp);
    const kiv_rpc_budget* b = c->budget;
    if (c->dropped || !b) return true;
    uint64_t held = b->held.load();
    c->late_waits = held > b->limit || budget_older_first(b, kNoTicket, held);
    conn_sync_counts(c);
    return !c->late_waits;
}

int kiv_rpc_reply_error(kiv_rpc_sconn* c, const kiv_msg* req, uint32_t code) {
    kiv_msg* m = kiv_rpc_alloc_output_msg(32);
    if (!m) return -ENOMEM;
    rpc_put_le32(m->buf, 32);
    rpc_put_le32(m->buf + 4, 1);
    memcpy(m->buf + 8, req->buf + 8, 16);
    rpc_put_le32(m->buf + 24, code);
    return kiv_rpc_reply(c, m);
}

void kiv_rpc_sconn_drop(kiv_rpc_sconn* c) {
    conn_of(c);
    rpc_guard g(c->srv->rp);
    // Replies gathered in a callback were handed over before the drop and
    // count as sent: losing them would make their clients repeat work that
    // was done (a repeated remove finds nothing).
    conn_flush(c);
    conn_close_gently(c);
}

void kiv_rpc_sconn_drain(kiv_rpc_sconn* c) {
    conn_of(c);
    rpc_guard g(c->srv->rp);
    if (c->dropped || c->draining) return;
    RPC_LOG(7, "rpc: draining server connection %llu from %s", (unsigned long long)c->id, rpc_addr_text(&c->peer).s);
    conn_start_drain(c);
    conn_finish_drain(c);
}

void kiv_rpc_sconn_ref(kiv_rpc_sconn* c) { conn_of(c)->refs.fetch_add(1, std::memory_order_relaxed); }

void kiv_rpc_sconn_unref(kiv_rpc_sconn* c) {
    conn_of(c);
    if (c->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) conn_free(c);
}

int kiv_rpc_sconn_peer(kiv_rpc_sconn* c, kiv_netaddr* out) {
    *out = conn_of(c)->peer;
    return 0;
}

uint64_t kiv_rpc_sconn_id(const kiv_rpc_sconn* c) { return c->id; }

void kiv_rpc_server_set_request_charge(kiv_rpc_server* s, uint32_t bytes) {
    srv_of(s);
    rpc_guard g(s->rp);
    s->charge = bytes;
}

void kiv_rpc_server_set_hand_off(kiv_rpc_server* s, bool (*fn)(int fd, void* arg), void* arg) {
    srv_of(s);
    rpc_guard g(s->rp);
    s->hand_off = fn;
    s->hand_off_arg = arg;
}

void kiv_rpc_batch_begin(kiv_process* p) {
    KIV_BUG_ON(!kiv_in_loop_context() || __kiv_thread_tls.process != p);
    rp_enter(rpc_proc_get(p));
}

void kiv_rpc_batch_end(kiv_process* p) {
    KIV_BUG_ON(!kiv_in_loop_context() || __kiv_thread_tls.process != p);
    rp_leave(rpc_proc_get(p));
}

// What kiv_rpc_reply counted for the reply: a lingering socket gives it back.
void rpc_server_reply_gone(kiv_rpc_budget* b, rpc_msg* m) {
    budget_sub(b, msg_cost(m));
    rpc_msg_set_state(m, MS_IDLE);
    kiv_free_msg(m);
}

size_t rpc_server_lingering(kiv_rpc_server* s) {
    rpc_guard g(srv_of(s)->rp);
    return s->lingers.size;
}

void rpc_server_request_freed(rpc_msg* m) {
    kiv_rpc_sconn* c = m->origin;
    m->origin = nullptr;
    c->inflight_bytes.fetch_sub(m->origin_cost);
    budget_sub(c->budget, m->origin_cost);
    c->inflight.fetch_sub(1);
    kiv_rpc_sconn_unref(c);
}

kiv_rpc_budget* kiv_rpc_budget_create(uint64_t bytes) {
    auto* b = new (std::nothrow) kiv_rpc_budget();
    if (b) {
        b->limit = bytes;
        b->slack = bytes / 8;
        b->reserve = bytes / 8;
    }
    return b;
}

void kiv_rpc_budget_set_stall_timeout(kiv_rpc_budget* b, uint32_t ms) { b->stall_ms = ms; }

void kiv_rpc_budget_get_stats(const kiv_rpc_budget* b, kiv_rpc_budget_stats* out) {
    out->held = b->held.load();
    out->peak = b->peak.load();
    out->conns = b->conns.load();
    out->paused = b->paused.load();
    out->waiting = b->waiting.load();
    out->stall_closes = b->stall_closes.load();
}

uint64_t kiv_rpc_budget_bound(const kiv_rpc_budget* b, uint32_t loops, uint32_t largest) {
    // Past its check, a loop's read brings at most one frame more, the
    // reply it gets at once and what was read behind it.
    uint64_t per_loop = 2 * (uint64_t(largest) + KIV_RPC_MSG_OVERHEAD) + kRxBuf + kAllocOverhead;
    return b->limit + b->slack + b->reserve + uint64_t(loops) * per_loop;
}

void kiv_rpc_budget_put(kiv_rpc_budget* b) { budget_unref(b); }

uint64_t kiv_rpc_budget_held(const kiv_rpc_budget* b) { return b->held.load(); }

uint64_t kiv_rpc_budget_peak(const kiv_rpc_budget* b) { return b->peak.load(); }

void kiv_rpc_server_set_budget(kiv_rpc_server* s, kiv_rpc_budget* b) {
    srv_of(s);
    rpc_guard g(s->rp);
    KIV_BUG_ON(s->budget || !s->conns.empty());
    b->refs.fetch_add(1, std::memory_order_relaxed);
    s->budget = b;
}

void kiv_rpc_server_set_frame_timeout(kiv_rpc_server* s, uint32_t ms) {
    srv_of(s);
    rpc_guard g(s->rp);
    s->frame_ms = ms;
}

// RPC transport, client side: endpoints over TCP, connecting, sending,
// receiving and matching replies, time-outs, cancellation, reset and close.
//
// Every request of an endpoint sits in its `pending` list from the call to
// its completion; requests not fully written also sit in `sendq`, whose head
// may be partly written (tx_off bytes). A completed request is taken out of
// both lists, its xid and timer are dropped and its completion is queued
// (rpc_msg_complete); from then on the transport never touches its buffers.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "rpc_internal.h"

namespace {

constexpr uint32_t kEpMagic = 0x65706e74;
constexpr uint32_t kEpClosed = 0x636c6f73;
constexpr uint32_t kRxBuf = 64 * 1024;
constexpr uint32_t kDirectMin = 8 * 1024;  // body pieces at least this big are read in place
constexpr int kMaxReadRounds = 32;  // per readiness callback; level-triggered epoll calls again

enum : uint8_t { CP_NONE, CP_CONNECTING, CP_DELAY };
enum : uint8_t { RX_HDR, RX_DRAIN, RX_DEFAULT, RX_HOOK, RX_ERRF };
enum : int { EV_UP, EV_DOWN, EV_FAULT };

}  // namespace

struct rpc_ep : kiv_rpc_endpoint {
    uint32_t magic = kEpMagic;
    kiv_rpc_engine* engine = nullptr;
    rpc_proc* rp = nullptr;  // NULL once the process is gone
    kiv_rpc_ep_ops ops{};
    kiv_rpc_params params{};
    rpc_ep_observer obs{};
    kiv_netaddr addr{};
    kiv_rpc_peer_id peer{};
    uint32_t peer_kind = 0;

    int fd = -1;
    kiv_fd_watch* watch = nullptr;
    uint32_t wmask = 0;
    uint64_t gen = 0;  // bumped whenever the socket goes
    bool closed = false;
    uint32_t busy = 0;  // runtime frames on the stack that use the endpoint

    uint32_t attempt = 0;
    uint8_t cphase = CP_NONE;
    kiv_timer ctimer{};

    rpc_sendq sendq;
    rpc_pendq pending;
    uint64_t tx_off = 0;
    bool tx_broken = false;  // a half-written frame was abandoned: nothing more may be written

    uint8_t rx_hdr[24] = {};
    uint32_t rx_have = 0;
    uint8_t rx_kind = RX_HDR;
    uint32_t rx_len = 0;
    uint32_t rx_off = 0;
    uint32_t rx_fill_end = 0;
    rpc_msg* rx_req = nullptr;
    rpc_msg* rx_msg = nullptr;
    uint8_t rx_err[8] = {};
    uint8_t* rxbuf = nullptr;
    uint32_t rx_rpos = 0;
    uint32_t rx_wpos = 0;

    rpc_node node{};
    rpc_event flush_ev{};  // queued write of the send queue
};

namespace {

struct ep_event : rpc_event {
    int kind;
    int code;
    uint64_t gen;
};

rpc_ep* ep_of(kiv_rpc_endpoint* e) {
    auto* ep = static_cast<rpc_ep*>(e);
    KIV_BUG_ON(!ep || ep->magic != kEpMagic);
    return ep;
}

uint64_t xid_counter(const uint8_t* xid) { return rpc_le64(xid + 8); }

void ep_free(rpc_ep* ep) {
    __kiv_free(ep->rxbuf);
    ep->magic = 0;
    delete ep;
}

void ep_unbusy(rpc_ep* ep) {
    if (--ep->busy == 0 && ep->closed) ep_free(ep);
}

void ep_set_mask(rpc_ep* ep, uint32_t mask) {
    if (!ep->watch || mask == ep->wmask) return;
    if (kiv_fd_watch_mod(ep->watch, mask) == 0) ep->wmask = mask;
}

uint32_t connect_code(int err) {
    switch (err) {
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EADDRNOTAVAIL:
        return KIV_E_UNREACH;
    case ETIMEDOUT:
        return KIV_E_CONNTIMEDOUT;
    default:
        return KIV_E_CONNFAIL;
    }
}

// ---------------------------------------------------------------- events

void ep_event_run(rpc_event* ev);
void ep_event_release(rpc_event* ev) { delete static_cast<ep_event*>(ev); }

void ep_push_event(rpc_ep* ep, int kind, int code) {
    auto* ev = new ep_event();
    ev->run = ep_event_run;
    ev->release = ep_event_release;
    ev->obj = ev;
    ev->owner = ep;
    ev->kind = kind;
    ev->code = code;
    ev->gen = ep->gen;
    rp_push(ep->rp, ev);
}

// ---------------------------------------------------------------- completion

void ep_rx_divert(rpc_ep* ep) {
    if (ep->rx_msg) {
        kiv_free_msg(ep->rx_msg);
        ep->rx_msg = nullptr;
    }
    ep->rx_req = nullptr;
    ep->rx_kind = RX_DRAIN;
}

// Takes a pending request out of the endpoint. A half-written frame cannot
// be finished without its buffers, so the stream is marked broken.
void ep_unlink(rpc_ep* ep, rpc_msg* m) {
    uint8_t st = rpc_msg_state(m);
    if (st == MS_QUEUED || st == MS_SENDING) {
        if (ep->sendq.head == m && ep->tx_off > 0) {
            ep->tx_broken = true;
            ep->tx_off = 0;
            ep_set_mask(ep, EPOLLIN);
        }
        ep->sendq.remove(m);
    }
    ep->pending.remove(m);
    if (ep->rx_req == m) ep_rx_divert(ep);
}

void ep_finish(rpc_ep* ep, rpc_msg* m, uint32_t err, rpc_msg* reply) {
    ep_unlink(ep, m);
    del_timer_sync(&m->timer);
    rpc_engine_unregister(ep->engine, m);
    if (m->held) {
        kiv_free_msg(m->held);
        m->held = nullptr;
    }
    m->has_held = false;
    rpc_msg_complete(ep->rp, m, err, reply);
}

// The outcome of a matched reply. A reply that overtakes the end of its own
// request frame waits until the frame is written.
void ep_outcome(rpc_ep* ep, rpc_msg* req, uint32_t err, rpc_msg* reply) {
    if (rpc_msg_state(req) == MS_SENT) {
        ep_finish(ep, req, err, reply);
        return;
    }
    rpc_engine_unregister(ep->engine, req);
    if (req->held) kiv_free_msg(req->held);
    req->held = reply;
    req->held_err = err;
    req->has_held = true;
}

// ---------------------------------------------------------------- socket

void ep_rx_reset(rpc_ep* ep) {
    if (ep->rx_msg) {
        kiv_free_msg(ep->rx_msg);
        ep->rx_msg = nullptr;
    }
    ep->rx_req = nullptr;
    ep->rx_kind = RX_HDR;
    ep->rx_have = 0;
    ep->rx_rpos = ep->rx_wpos = 0;
}

void ep_drop_socket(rpc_ep* ep) {
    if (ep->watch) {
        kiv_fd_watch_del(ep->watch);
        ep->watch = nullptr;
    }
    if (ep->fd >= 0) {
        close(ep->fd);
        ep->fd = -1;
    }
    ep->wmask = 0;
    ep->gen++;
    del_timer_sync(&ep->ctimer);
    ep->cphase = CP_NONE;
    ep_rx_reset(ep);
    ep->tx_off = 0;
}

// Closes the socket; every pending request completes with `code`.
void ep_reset(rpc_ep* ep, uint32_t code) {
    uint32_t was = ep->state;
    if (was == KIV_RPC_STATE_IDLE && ep->pending.empty() && ep->fd < 0) return;
    ep_drop_socket(ep);
    ep->state = KIV_RPC_STATE_IDLE;
    ep->attempt = 0;
    // Hooks first: a watcher learns of the loss before the failed requests.
    if (was != KIV_RPC_STATE_IDLE) ep_push_event(ep, EV_DOWN, KIV_E_CONNLOST);
    while (rpc_msg* m = ep->pending.head) ep_finish(ep, m, code, nullptr);
    ep->tx_broken = false;
}

void ep_lost(rpc_ep* ep, int err) {
    RPC_LOG(4, "rpc: connection to %s lost: %s", rpc_addr_text(&ep->addr).s,
            err ? strerror(err) : "closed by peer");
    ep_reset(ep, KIV_E_CONNLOST);
}

// Stream fault: the abort hook first, then a reset if the hook left the
// socket open. Callers hold `busy`.
void ep_fault(rpc_ep* ep, uint32_t reason) {
    uint64_t gen = ep->gen;
    kiv_log(1, "rpc: stream fault on connection to %s (%s), aborting it", rpc_addr_text(&ep->addr).s,
            kiv_strerror(reason));
    if (ep->ops.abort) ep->ops.abort(ep, int(reason));
    if (!ep->closed && ep->gen == gen) ep_reset(ep, KIV_E_CONNLOST);
}

void ep_event_run(rpc_event* ev) {
    auto* e = static_cast<ep_event*>(ev);
    auto* ep = static_cast<rpc_ep*>(ev->owner);
    ep->busy++;
    switch (e->kind) {
    case EV_UP:
        if (ep->ops.on_connected) ep->ops.on_connected(ep);
        if (!ep->closed && ep->obs.on_up) ep->obs.on_up(ep->obs.arg);
        break;
    case EV_DOWN:
        if (ep->ops.on_disconnected) ep->ops.on_disconnected(ep, e->code);
        if (!ep->closed && ep->obs.on_down) ep->obs.on_down(ep->obs.arg, e->code);
        break;
    case EV_FAULT:
        if (!ep->closed && ep->gen == e->gen) ep_fault(ep, uint32_t(e->code));
        break;
    }
    delete e;
    ep_unbusy(ep);
}

// ---------------------------------------------------------------- sending

void ep_frame_written(rpc_ep* ep, rpc_msg* m) {
    RPC_LOG(7, "rpc: sent frame type %u xid %llu len %u to %s", m->req_type,
            (unsigned long long)xid_counter(m->xid), m->total_len, rpc_addr_text(&ep->addr).s);
    rpc_msg_set_state(m, MS_SENT);
    if (m->has_held) {
        rpc_msg* reply = m->held;
        uint32_t err = m->held_err;
        m->held = nullptr;
        ep_finish(ep, m, err, reply);
    }
}

// Writes queued frames until the queue is empty or the socket is full.
void ep_flush(rpc_ep* ep) {
    if (ep->state != KIV_RPC_STATE_CONNECTED || ep->tx_broken || ep->fd < 0) return;
    while (!ep->sendq.empty()) {
        iovec iov[RPC_MAX_IOV];
        size_t bytes = 0;
        int n = rpc_gather_iov(ep->sendq.head, ep->tx_off, iov, &bytes);
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = size_t(n);
        ssize_t w = sendmsg(ep->fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                ep_set_mask(ep, EPOLLIN | EPOLLOUT);
                return;
            }
            ep_lost(ep, errno);
            return;
        }
        size_t left = size_t(w);
        while (left > 0) {
            rpc_msg* h = ep->sendq.head;
            uint64_t rem = h->total_len - ep->tx_off;
            if (left >= rem) {
                left -= size_t(rem);
                ep->sendq.pop_front();
                ep->tx_off = 0;
                ep_frame_written(ep, h);
            } else {
                ep->tx_off += left;
                left = 0;
                rpc_msg_set_state(h, MS_SENDING);
            }
        }
        if (size_t(w) < bytes) {
            ep_set_mask(ep, EPOLLIN | EPOLLOUT);
            return;
        }
    }
    ep_set_mask(ep, EPOLLIN);
}

void ep_flush_run(rpc_event* ev) {
    auto* ep = static_cast<rpc_ep*>(ev->owner);
    ep->busy++;
    ep_flush(ep);
    ep_unbusy(ep);
}

void ep_flush_release(rpc_event*) {}

// Calls made by jobs on evloop are written together once the queued work
// has run: many callers then share one sendmsg. Elsewhere (coroutines,
// plain threads) the caller writes at once.
void ep_kick_flush(rpc_ep* ep) {
    if (!__kiv_thread_tls.on_evloop) {
        ep_flush(ep);
        return;
    }
    if (!ep->flush_ev.queued) rp_push(ep->rp, &ep->flush_ev);
}

// ---------------------------------------------------------------- connecting

void ep_io(kiv_fd_watch* w, uint32_t revents, void* arg);
void ep_try_connect(rpc_ep* ep);

void ep_connected(rpc_ep* ep) {
    del_timer_sync(&ep->ctimer);
    ep->cphase = CP_NONE;
    ep->state = KIV_RPC_STATE_CONNECTED;
    ep->attempt = 0;
    ep->tx_off = 0;
    ep->tx_broken = false;
    ep_rx_reset(ep);
    RPC_LOG(7, "rpc: connected to %s (peer %016llx kind %u, local id %016llx)", rpc_addr_text(&ep->addr).s,
            (unsigned long long)ep->peer.id, ep->peer_kind, (unsigned long long)ep->engine->local_id);
    ep_push_event(ep, EV_UP, 0);
    ep_set_mask(ep, EPOLLIN);
    ep_flush(ep);
}

void ep_attempt_failed(rpc_ep* ep, uint32_t code, const char* why) {
    ep_drop_socket(ep);
    const uint32_t attempts = 1 + ep->params.connect_retries;
    kiv_log(1, "rpc: connect to %s failed: %s (attempt %u of %u)", rpc_addr_text(&ep->addr).s, why,
            ep->attempt + 1, attempts);
    if (++ep->attempt < attempts) {
        ep->cphase = CP_DELAY;
        mod_timer(&ep->ctimer, ep->params.connect_delay_ms);
        return;
    }
    ep->state = KIV_RPC_STATE_IDLE;
    ep->attempt = 0;
    ep_push_event(ep, EV_DOWN, int(code));
    while (rpc_msg* m = ep->pending.head) ep_finish(ep, m, code, nullptr);
}

void ep_try_connect(rpc_ep* ep) {
    sockaddr_storage ss;
    unsigned len = 0;
    if (rpc_sockaddr_from(&ep->addr, &ss, &len) < 0) {
        ep_attempt_failed(ep, KIV_E_UNREACH, "unsupported address");
        return;
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int err = errno;
        ep_attempt_failed(ep, connect_code(err), strerror(err));
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&ss), len);
    if (rc < 0 && errno != EINPROGRESS) {
        int err = errno;
        close(fd);
        ep_attempt_failed(ep, connect_code(err), strerror(err));
        return;
    }
    ep->fd = fd;
    ep->wmask = rc == 0 ? EPOLLIN : EPOLLOUT;
    ep->watch = kiv_fd_watch_add(ep->rp->p, fd, ep->wmask, ep_io, ep);
    if (!ep->watch) {
        int err = errno;
        ep_attempt_failed(ep, KIV_E_CONNFAIL, strerror(err));
        return;
    }
    if (rc == 0) {
        ep_connected(ep);
        return;
    }
    ep->cphase = CP_CONNECTING;
    if (ep->params.connect_timeout_ms) mod_timer(&ep->ctimer, ep->params.connect_timeout_ms);
}

void ep_start_connect(rpc_ep* ep) {
    if (!ep->rxbuf) ep->rxbuf = static_cast<uint8_t*>(__kiv_malloc("rpc_rxbuf", KIV_POS, KIV_MEM_NOFAIL, kRxBuf));
    ep->state = KIV_RPC_STATE_CONNECTING;
    ep->attempt = 0;
    ep_try_connect(ep);
}

void ep_ctimer_fn(void* arg) {
    auto* ep = static_cast<rpc_ep*>(arg);
    rpc_proc* rp = ep->rp;
    rp_enter(rp);
    ep->busy++;
    if (ep->cphase == CP_CONNECTING)
        ep_attempt_failed(ep, KIV_E_CONNTIMEDOUT, "connect timed out");
    else if (ep->cphase == CP_DELAY)
        ep_try_connect(ep);
    ep_unbusy(ep);
    rp_leave(rp);
}

// ---------------------------------------------------------------- receiving

bool ep_gone(const rpc_ep* ep, uint64_t gen) { return ep->closed || ep->gen != gen; }

void ep_rx_frame_done(rpc_ep* ep) {
    uint8_t kind = ep->rx_kind;
    rpc_msg* req = ep->rx_req;
    rpc_msg* m = ep->rx_msg;
    ep->rx_kind = RX_HDR;
    ep->rx_have = 0;
    ep->rx_req = nullptr;
    ep->rx_msg = nullptr;
    switch (kind) {
    case RX_DEFAULT:
        m->rx_ep = ep;
        rpc_work_input(m);
        break;
    case RX_HOOK:
        m->rx_ep = ep;
        m->done(m);
        break;
    case RX_ERRF:
        if (ep->rx_len >= 28)
            ep_outcome(ep, req, KIV_E_PEER | rpc_le32(ep->rx_err), nullptr);
        else
            ep_outcome(ep, req, KIV_E_PROTO, nullptr);
        break;
    default:
        break;
    }
}

void ep_rx_header(rpc_ep* ep) {
    const uint8_t* h = ep->rx_hdr;
    const uint32_t len = rpc_le32(h);
    const uint32_t type = rpc_le32(h + 4);
    const uint8_t* xid = h + 8;
    RPC_LOG(7, "rpc: received frame type %u xid %llu len %u from %s", type, (unsigned long long)xid_counter(xid),
            len, rpc_addr_text(&ep->addr).s);
    ep->rx_len = len;
    ep->rx_off = 24;
    ep->rx_req = nullptr;
    ep->rx_msg = nullptr;
    if (len < 24 || len > ep->params.max_msg) {
        kiv_log(1, "rpc: frame of %u bytes from %s outside the limits 24..%u", len, rpc_addr_text(&ep->addr).s,
                ep->params.max_msg);
        rpc_msg* req = rpc_engine_lookup(ep->engine, xid);
        if (req && req->ep == ep) ep_finish(ep, req, KIV_E_TOOBIG, nullptr);
        ep->rx_kind = RX_HDR;
        ep->rx_have = 0;
        ep_fault(ep, KIV_E_TOOBIG);
        return;
    }
    rpc_msg* req = rpc_engine_lookup(ep->engine, xid);
    if (!req || req->ep != ep) {
        RPC_LOG(4, "rpc: dropping reply xid %llu type %u (%u bytes) from %s: no pending request",
                (unsigned long long)xid_counter(xid), type, len, rpc_addr_text(&ep->addr).s);
        ep->rx_kind = RX_DRAIN;
    } else if (type == 1) {
        ep->rx_kind = RX_ERRF;
        ep->rx_req = req;
        memset(ep->rx_err, 0, sizeof ep->rx_err);
    } else if (type != req->req_type + 1) {
        kiv_log(1, "rpc: reply of type %u to a request of type %u from %s", type, req->req_type,
                rpc_addr_text(&ep->addr).s);
        ep->rx_kind = RX_DRAIN;
        ep_outcome(ep, req, KIV_E_PROTO, nullptr);
    } else {
        kiv_msg* hm = ep->ops.alloc_reply ? ep->ops.alloc_reply(ep->engine, h) : nullptr;
        if (hm) {
            rpc_msg* m = rpc_msg_of(hm);
            KIV_BUG_ON(m->magic != RPC_MSG_MAGIC || m->kept_len < 24 || m->total_len < 24);
            KIV_BUG_ON(m->done != rpc_work_input);
            if (m->total_len > len) m->total_len = len;
            ep->rx_fill_end = m->total_len;
            ep->rx_kind = RX_HOOK;
            ep->rx_msg = m;
        } else {
            rpc_msg* m = rpc_msg_alloc(len, false);
            if (!m) kiv_fatal("allocation failed: rpc reply at %s (%u bytes)", KIV_POS, len);
            memcpy(m->buf, h, 24);
            m->engine = ep->engine;
            ep->rx_fill_end = len;
            ep->rx_kind = RX_DEFAULT;
            ep->rx_msg = m;
        }
        ep->rx_req = req;
    }
    if (ep->rx_off == ep->rx_len) ep_rx_frame_done(ep);
}

// Takes up to `n` body bytes of the current frame; returns how many.
uint32_t ep_rx_body(rpc_ep* ep, const uint8_t* p, uint32_t n) {
    const uint32_t k = std::min(n, ep->rx_len - ep->rx_off);
    switch (ep->rx_kind) {
    case RX_DEFAULT:
        memcpy(ep->rx_msg->buf + ep->rx_off, p, k);
        ep->rx_off += k;
        break;
    case RX_ERRF: {
        for (uint32_t i = 0; i < k; i++) {
            uint32_t at = ep->rx_off + i;
            if (at >= 24 && at < 32) ep->rx_err[at - 24] = p[i];
        }
        ep->rx_off += k;
        break;
    }
    case RX_HOOK: {
        rpc_msg* m = ep->rx_msg;
        uint32_t done = 0;
        while (done < k && ep->rx_off < ep->rx_fill_end) {
            uint32_t len = 0;
            auto* d = static_cast<uint8_t*>(m->get_chunk(m, ep->rx_off, &len));
            KIV_BUG_ON(!d || len == 0);
            len = std::min({len, ep->rx_fill_end - ep->rx_off, k - done});
            memcpy(d, p + done, len);
            done += len;
            ep->rx_off += len;
        }
        ep->rx_off += k - done;  // beyond what the message takes: discarded
        break;
    }
    default:
        ep->rx_off += k;
        break;
    }
    return k;
}

// Feeds the buffered bytes to the frame parser. False if the socket went
// away meanwhile.
bool ep_rx_consume(rpc_ep* ep) {
    const uint64_t gen = ep->gen;
    while (ep->rx_rpos < ep->rx_wpos) {
        const uint8_t* p = ep->rxbuf + ep->rx_rpos;
        const uint32_t avail = ep->rx_wpos - ep->rx_rpos;
        if (ep->rx_kind == RX_HDR) {
            uint32_t k = std::min(24 - ep->rx_have, avail);
            memcpy(ep->rx_hdr + ep->rx_have, p, k);
            ep->rx_have += k;
            ep->rx_rpos += k;
            if (ep->rx_have == 24) {
                ep_rx_header(ep);
                if (ep_gone(ep, gen)) return false;
            }
            continue;
        }
        ep->rx_rpos += ep_rx_body(ep, p, avail);
        if (ep->rx_off == ep->rx_len) {
            ep_rx_frame_done(ep);
            if (ep_gone(ep, gen)) return false;
        }
    }
    ep->rx_rpos = ep->rx_wpos = 0;
    return true;
}

// Where a large body piece can be read in place, if anywhere.
bool ep_rx_direct(rpc_ep* ep, uint8_t** dst, uint32_t* dlen) {
    if (ep->rx_kind == RX_DEFAULT) {
        *dst = ep->rx_msg->buf + ep->rx_off;
        *dlen = ep->rx_len - ep->rx_off;
    } else if (ep->rx_kind == RX_HOOK && ep->rx_off < ep->rx_fill_end) {
        uint32_t len = 0;
        rpc_msg* m = ep->rx_msg;
        *dst = static_cast<uint8_t*>(m->get_chunk(m, ep->rx_off, &len));
        KIV_BUG_ON(!*dst || len == 0);
        *dlen = std::min(len, ep->rx_fill_end - ep->rx_off);
    } else {
        return false;
    }
    return *dlen >= kDirectMin;
}

void ep_read(rpc_ep* ep) {
    const uint64_t gen = ep->gen;
    for (int round = 0; round < kMaxReadRounds; round++) {
        uint8_t* dst = nullptr;
        uint32_t dlen = 0;
        ssize_t n;
        size_t asked;
        uint32_t direct = 0;
        if (ep_rx_direct(ep, &dst, &dlen)) {
            iovec iov[2] = {{dst, dlen}, {ep->rxbuf, kRxBuf}};
            asked = size_t(dlen) + kRxBuf;
            n = readv(ep->fd, iov, 2);
            if (n > 0) {
                direct = uint32_t(std::min<size_t>(size_t(n), dlen));
                ep->rx_rpos = 0;
                ep->rx_wpos = uint32_t(size_t(n) - direct);
            }
        } else {
            asked = kRxBuf;
            n = read(ep->fd, ep->rxbuf, kRxBuf);
            if (n > 0) {
                ep->rx_rpos = 0;
                ep->rx_wpos = uint32_t(n);
            }
        }
        if (n == 0) {
            ep_lost(ep, 0);
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            ep_lost(ep, errno);
            return;
        }
        if (direct) {
            ep->rx_off += direct;
            if (ep->rx_off == ep->rx_len) {
                ep_rx_frame_done(ep);
                if (ep_gone(ep, gen)) return;
            }
        }
        if (!ep_rx_consume(ep)) return;
        if (size_t(n) < asked) return;  // drained; epoll reports more
    }
}

void ep_io(kiv_fd_watch*, uint32_t revents, void* arg) {
    auto* ep = static_cast<rpc_ep*>(arg);
    rpc_proc* rp = ep->rp;
    rp_enter(rp);
    ep->busy++;
    if (ep->state == KIV_RPC_STATE_CONNECTING && ep->cphase == CP_CONNECTING) {
        int err = 0;
        socklen_t l = sizeof err;
        if (getsockopt(ep->fd, SOL_SOCKET, SO_ERROR, &err, &l) < 0) err = errno;
        if (err == 0 && (revents & (EPOLLERR | EPOLLHUP))) err = ECONNREFUSED;
        if (err)
            ep_attempt_failed(ep, connect_code(err), strerror(err));
        else
            ep_connected(ep);
    } else if (ep->state == KIV_RPC_STATE_CONNECTED) {
        const uint64_t gen = ep->gen;
        if (revents & (EPOLLIN | EPOLLHUP | EPOLLERR)) ep_read(ep);
        if (!ep_gone(ep, gen) && (revents & EPOLLOUT)) ep_flush(ep);
    }
    ep_unbusy(ep);
    rp_leave(rp);
}

// ---------------------------------------------------------------- time-out

void msg_timer_fn(void* arg) {
    auto* m = static_cast<rpc_msg*>(arg);
    rpc_ep* ep = m->ep;
    rpc_proc* rp = m->rp;
    rp_enter(rp);
    ep->busy++;
    const bool partial = rpc_msg_state(m) == MS_SENDING;
    RPC_LOG(4, "rpc: request xid %llu type %u to %s timed out", (unsigned long long)xid_counter(m->xid),
            m->req_type, rpc_addr_text(&ep->addr).s);
    ep_finish(ep, m, KIV_E_TIMEDOUT, nullptr);
    if (partial) ep_fault(ep, KIV_E_TIMEDOUT);
    ep_unbusy(ep);
    rp_leave(rp);
}

// ---------------------------------------------------------------- process fini

void ep_gone_node(rpc_node* n) { rpc_ep_process_gone(static_cast<rpc_ep*>(n->obj)); }

}  // namespace

void rpc_ep_process_gone(rpc_ep* ep) {
    ep_drop_socket(ep);
    while (rpc_msg* m = ep->pending.head) {
        ep_unlink(ep, m);
        del_timer_sync(&m->timer);
        rpc_engine_unregister(ep->engine, m);
        if (m->held) {
            kiv_free_msg(m->held);
            m->held = nullptr;
        }
        m->has_held = false;
        m->ep = nullptr;
        m->rp = nullptr;
        m->proc = nullptr;
        rpc_msg_set_state(m, MS_IDLE);
    }
    ep->state = KIV_RPC_STATE_IDLE;
    ep->rp = nullptr;
}

// A pending message freed after kiv_process_terminate: taken out of
// everything, without completion.
void rpc_msg_detach_terminated(rpc_msg* m) {
    rpc_proc* rp = m->rp;
    kiv_loop_guard g(rp->p);
    uint8_t st = rpc_msg_state(m);
    if (st == MS_DONEQ) {
        if (m->ev.queued) {
            rp->q.remove(&m->ev);
            m->ev.queued = false;
        }
    } else if (st != MS_IDLE) {
        rpc_ep* ep = m->ep;
        ep_unlink(ep, m);
        del_timer_sync(&m->timer);
        rpc_engine_unregister(ep->engine, m);
    }
    m->ep = nullptr;
    m->rp = nullptr;
    rpc_msg_set_state(m, MS_IDLE);
}

// ---------------------------------------------------------------- public API

kiv_rpc_endpoint* kiv_rpc_create(kiv_rpc_engine* e, const kiv_rpc_ep_ops* ops, const kiv_rpc_params* params) {
    if (!e || !e->priv || !params || params->hdr_size != 24 || params->max_msg < 32) return nullptr;
    rpc_proc* rp = rpc_engine_rp(e);
    if (!rp) return nullptr;
    auto* ep = new (std::nothrow) rpc_ep();
    if (!ep) return nullptr;
    ep->flags = 0;
    ep->state = KIV_RPC_STATE_IDLE;
    ep->user = nullptr;
    ep->engine = e;
    ep->rp = rp;
    if (ops) ep->ops = *ops;
    ep->params = *params;
    ep->node.obj = ep;
    ep->node.gone = ep_gone_node;
    ep->flush_ev.run = ep_flush_run;
    ep->flush_ev.release = ep_flush_release;
    ep->flush_ev.obj = ep;
    ep->flush_ev.owner = ep;
    kiv_loop_guard g(rp->p);
    init_timer(rp->p, &ep->ctimer, ep_ctimer_fn, ep);
    rp_link(rp, &ep->node);
    e->nr_endpoints++;
    return ep;
}

kiv_rpc_engine* kiv_rpc_endpoint_engine(const kiv_rpc_endpoint* e) { return static_cast<const rpc_ep*>(e)->engine; }

kiv_process* rpc_ep_process(kiv_rpc_endpoint* e) {
    rpc_ep* ep = ep_of(e);
    return ep->rp ? ep->rp->p : nullptr;
}

void kiv_rpc_set_peer_id(kiv_rpc_endpoint* e, kiv_rpc_peer_id id, uint32_t kind) {
    rpc_ep* ep = ep_of(e);
    rpc_guard g(ep->rp);
    ep->peer = id;
    ep->peer_kind = kind;
}

int kiv_rpc_set_address(kiv_rpc_endpoint* e, const kiv_netaddr* a) {
    rpc_ep* ep = ep_of(e);
    if (!a || (a->kind != KIV_AF_INET && a->kind != KIV_AF_INET6 && a->kind != KIV_AF_NONE)) return -EINVAL;
    rpc_guard g(ep->rp);
    if (ep->state != KIV_RPC_STATE_IDLE && kiv_netaddr_cmp(&ep->addr, a) != 0) {
        RPC_LOG(4, "rpc: reset of connection to %s (address changes)", rpc_addr_text(&ep->addr).s);
        ep_reset(ep, KIV_E_CONNLOST);
    }
    ep->addr = *a;
    return 0;
}

int kiv_rpc_connect(kiv_rpc_endpoint* e) {
    rpc_ep* ep = ep_of(e);
    rpc_guard g(ep->rp);
    if (ep->addr.kind == KIV_AF_NONE) return -EDESTADDRREQ;
    if (!ep->rp) return -ESHUTDOWN;
    if (ep->state == KIV_RPC_STATE_IDLE) ep_start_connect(ep);
    return 0;
}

void kiv_rpc_reset(kiv_rpc_endpoint* e, int reason) {
    rpc_ep* ep = ep_of(e);
    rpc_guard g(ep->rp);
    if (!ep->rp) return;
    if (ep->state != KIV_RPC_STATE_IDLE || !ep->pending.empty())
        RPC_LOG(4, "rpc: reset of connection to %s (reason %d)", rpc_addr_text(&ep->addr).s, reason);
    ep_reset(ep, KIV_E_CONNLOST);
}

void kiv_rpc_close(kiv_rpc_endpoint* e) {
    rpc_ep* ep = ep_of(e);
    rpc_guard g(ep->rp);
    RPC_LOG(7, "rpc: close of endpoint to %s", rpc_addr_text(&ep->addr).s);
    ep->closed = true;
    ep->magic = kEpClosed;
    if (rpc_proc* rp = ep->rp) {
        ep_drop_socket(ep);
        rp_cancel_owner(rp, ep);
        while (rpc_msg* m = ep->pending.head) ep_finish(ep, m, KIV_E_ABANDONED, nullptr);
        rp_unlink(rp, &ep->node);
    }
    ep->state = KIV_RPC_STATE_IDLE;
    ep->engine->nr_endpoints--;
    if (ep->busy == 0) ep_free(ep);
}

int kiv_rpc_get_local_addr(kiv_rpc_endpoint* e, kiv_netaddr* out) {
    rpc_ep* ep = ep_of(e);
    rpc_guard g(ep->rp);
    if (ep->state != KIV_RPC_STATE_CONNECTED || ep->fd < 0) return -ENOTCONN;
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (getsockname(ep->fd, reinterpret_cast<sockaddr*>(&ss), &len) < 0) return -errno;
    rpc_netaddr_from(reinterpret_cast<sockaddr*>(&ss), out);
    return 0;
}

void rpc_ep_set_observer(kiv_rpc_endpoint* e, const rpc_ep_observer* obs) {
    rpc_ep* ep = ep_of(e);
    rpc_guard g(ep->rp);
    ep->obs = obs ? *obs : rpc_ep_observer{};
}

int rpc_ep_set_params(kiv_rpc_endpoint* e, const kiv_rpc_params* params) {
    rpc_ep* ep = ep_of(e);
    if (!params || params->hdr_size != 24 || params->max_msg < 32) return -EINVAL;
    rpc_guard g(ep->rp);
    ep->params = *params;
    return 0;
}

int kiv_rpc_call(kiv_rpc_endpoint* e, kiv_msg* msg) { return rpc_call_filtered(e, msg, nullptr); }

int rpc_call_filtered(kiv_rpc_endpoint* e, kiv_msg* msg, void (*filter)(kiv_msg*)) {
    rpc_ep* ep = ep_of(e);
    rpc_msg* m = rpc_msg_of(msg);
    KIV_BUG_ON(!m || m->magic != RPC_MSG_MAGIC);
    rpc_guard g(ep->rp);
    KIV_BUG_ON(rpc_msg_state(m) != MS_IDLE);
    KIV_BUG_ON(!m->done || !m->get_chunk);
    uint32_t len = 0;
    const auto* c = static_cast<const uint8_t*>(m->get_chunk(m, 0, &len));
    KIV_BUG_ON(!c || len < 24 || m->total_len < 24);
    KIV_BUG_ON(rpc_le32(c) != m->total_len);
    m->error = 0;
    if (m->reply) {
        kiv_free_msg(m->reply);
        m->reply = nullptr;
    }
    m->req_type = rpc_le32(c + 4);
    memcpy(m->xid, c + 8, 16);
    m->filter = filter;
    rpc_proc* rp = ep->rp;
    if (!rp) return 0;  // the process is gone: nothing completes any more
    m->proc = rp->p;
    if (m->total_len > ep->params.max_msg) {
        kiv_log(1, "rpc: request of %u bytes to %s exceeds the limit of %u", m->total_len,
                rpc_addr_text(&ep->addr).s, ep->params.max_msg);
        rpc_msg_complete(rp, m, KIV_E_TOOBIG, nullptr);
        return 0;
    }
    if (ep->addr.kind == KIV_AF_NONE) {
        rpc_msg_complete(rp, m, KIV_E_NOTCONN, nullptr);
        return 0;
    }
    // Two pending requests with one xid could not be told apart.
    KIV_BUG_ON(!rpc_engine_register(ep->engine, m));
    m->ep = ep;
    m->rp = rp;
    m->has_held = false;
    init_timer(rp->p, &m->timer, msg_timer_fn, m);
    mod_timer(&m->timer, m->timeout_ms ? m->timeout_ms : ep->params.reply_timeout_ms);
    rpc_msg_set_state(m, MS_QUEUED);
    ep->pending.push_back(m);
    ep->sendq.push_back(m);
    if (ep->state == KIV_RPC_STATE_CONNECTED) {
        if (ep->sendq.head == m) ep_kick_flush(ep);
    } else if (ep->state == KIV_RPC_STATE_IDLE) {
        ep_start_connect(ep);
    }
    return 0;
}

int kiv_rpc_cancel_request(kiv_msg* msg, kiv_context* ctx) {
    rpc_msg* m = rpc_msg_of(msg);
    if (!m || m->magic != RPC_MSG_MAGIC) return -ENOENT;
    uint8_t st = rpc_msg_state(m);
    if (st == MS_IDLE || st == MS_DONEQ || !m->proc) return -ENOENT;
    kiv_loop_guard g(m->proc);
    st = rpc_msg_state(m);
    if (st != MS_QUEUED && st != MS_SENDING && st != MS_SENT) return -ENOENT;
    rpc_ep* ep = m->ep;
    RPC_LOG(5, "rpc: request xid %llu type %u to %s cancelled (context %p)", (unsigned long long)xid_counter(m->xid),
            m->req_type, rpc_addr_text(&ep->addr).s, static_cast<void*>(ctx));
    ep_finish(ep, m, KIV_E_ABANDONED, nullptr);
    // A half-written frame has broken the stream; the abort runs later, so
    // that no hook runs inside this call.
    if (st == MS_SENDING) ep_push_event(ep, EV_FAULT, KIV_E_ABANDONED);
    return 0;
}

void rpc_work_input(kiv_msg* msg) {
    rpc_msg* m = rpc_msg_of(msg);
    KIV_BUG_ON(m->magic != RPC_MSG_MAGIC || !m->engine || m->kept_len < 24);
    rpc_ep* rx = m->rx_ep;
    m->rx_ep = nullptr;
    rpc_msg* req = rpc_engine_lookup(m->engine, m->buf + 8);
    if (!req || (rx && req->ep != rx)) {
        kiv_free_msg(m);
        return;
    }
    if (rpc_le32(m->buf + 4) != req->req_type + 1) {
        kiv_free_msg(m);
        ep_outcome(req->ep, req, KIV_E_PROTO, nullptr);
        return;
    }
    ep_outcome(req->ep, req, 0, m);
}

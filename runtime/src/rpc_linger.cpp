// RPC transport, server side: the graceful end of a drained or dropped
// connection's socket (see rpc_linger in rpc_internal.h).
//
// The peer may still be sending (requests pipelined behind the one that
// ended its connection), and what it sends is never read by anyone else:
// discarding it is what lets the close go without a reset. A peer that
// neither reads nor ends holds the socket until the deadline, and then
// loses what it did not read, as on any close.
#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "rpc_internal.h"

namespace {

// What one callback reads and discards at the most; the watch is
// level-triggered, so the rest comes next time.
constexpr int kDiscardRounds = 16;
constexpr size_t kDiscardBuf = 16 * 1024;

void linger_end(rpc_linger* l) {
    if (l->watch) kiv_fd_watch_del(l->watch);
    del_timer_sync(&l->deadline);
    close(l->fd);
    while (rpc_msg* m = l->txq.pop_front()) rpc_server_reply_gone(l->budget, m);
    kiv_rpc_budget_put(l->budget);
    l->set->remove(l);
    delete l;
}

// Writes what the socket takes of the queue and ends sending once it is
// empty. False when the linger ended (an error: the peer is gone).
bool linger_write(rpc_linger* l) {
    while (!l->txq.empty()) {
        iovec iov[RPC_MAX_IOV];
        size_t bytes = 0;
        int n = rpc_gather_iov(l->txq.head, l->tx_off, iov, &bytes);
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = size_t(n);
        ssize_t w = sendmsg(l->fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            linger_end(l);
            return false;
        }
        l->tx_off += uint64_t(w);
        while (rpc_msg* h = l->txq.head) {
            if (l->tx_off < h->total_len) break;
            l->tx_off -= h->total_len;
            l->txq.pop_front();
            rpc_server_reply_gone(l->budget, h);
        }
        if (size_t(w) < bytes) return true;
    }
    if (!l->sent_all) {
        shutdown(l->fd, SHUT_WR);
        l->sent_all = true;
    }
    if (l->peer_done) {
        linger_end(l);
        return false;
    }
    return true;
}

// Reads and discards what the peer sent. False when the linger ended.
bool linger_discard(rpc_linger* l) {
    char buf[kDiscardBuf];
    for (int round = 0; round < kDiscardRounds; round++) {
        ssize_t n = recv(l->fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n == 0 && !l->sent_all) {
            // It still reads, perhaps: what is queued goes out first.
            l->peer_done = true;
            return true;
        }
        linger_end(l);  // its end, or a reset
        return false;
    }
    return true;
}

void linger_set_mask(rpc_linger* l) {
    uint32_t mask = (l->peer_done ? 0u : uint32_t(EPOLLIN)) | (l->txq.empty() ? 0u : uint32_t(EPOLLOUT));
    if (mask != l->wmask && kiv_fd_watch_mod(l->watch, mask) == 0) l->wmask = mask;
}

void linger_io(kiv_fd_watch*, uint32_t revents, void* arg) {
    auto* l = static_cast<rpc_linger*>(arg);
    if ((revents & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !l->peer_done && !linger_discard(l)) return;
    if (!l->txq.empty() && !linger_write(l)) return;
    linger_set_mask(l);
}

void linger_expired(void* arg) {
    auto* l = static_cast<rpc_linger*>(arg);
    RPC_LOG(7, "rpc: a lingering server socket closed at its deadline, %zu replies unwritten", l->txq.size);
    linger_end(l);
}

}  // namespace

void rpc_linger_start(kiv_process* p, rpc_linger_list* set, int fd, rpc_sendq* q, uint64_t off,
                      kiv_rpc_budget* budget) {
    auto* l = new (std::nothrow) rpc_linger();
    if (!l) {
        // Out of memory: the close the connection would have had anyway.
        close(fd);
        while (rpc_msg* m = q->pop_front()) rpc_server_reply_gone(budget, m);
        kiv_rpc_budget_put(budget);
        return;
    }
    l->fd = fd;
    while (rpc_msg* m = q->pop_front()) l->txq.push_back(m);
    l->tx_off = off;
    l->budget = budget;
    l->set = set;
    set->push_back(l);
    init_timer(p, &l->deadline, linger_expired, l);
    if (!linger_write(l)) return;
    l->wmask = EPOLLIN | (l->txq.empty() ? 0u : uint32_t(EPOLLOUT));
    l->watch = kiv_fd_watch_add(p, fd, l->wmask, linger_io, l);
    if (!l->watch) {
        linger_end(l);
        return;
    }
    mod_timer(&l->deadline, RPC_LINGER_MS);
}

void rpc_linger_close_all(rpc_linger_list* set) {
    while (rpc_linger* l = set->head) linger_end(l);
}

// Server half of the RPC transport: listeners and accepted connections,
// used by the local test cluster. Same framing as kiv/rpc.h.
//
// Callbacks run on evloop of the server's process. Every function may be
// called from any thread (it takes the loop lock for its own duration).
#pragma once

#include <stdint.h>

#include "kiv/rpc.h"

struct kiv_rpc_server;
struct kiv_rpc_sconn;
struct kiv_rpc_budget;

struct kiv_rpc_server_ops {
    // The whole frame is in req->buf (kept_len = total_len = frame length);
    // the handler owns req and frees it with kiv_free_msg.
    void (*on_request)(kiv_rpc_sconn* c, kiv_msg* req, void* arg);
    void (*on_accept)(kiv_rpc_sconn* c, void* arg);  // optional
    // Optional; the connection is gone, whatever the reason. Deferred.
    void (*on_close)(kiv_rpc_sconn* c, void* arg);
};

// Listens on `addr` (port 0 = any free port, which is then bound by its
// number like any other) with SO_REUSEADDR. Frames shorter than 24
// bytes, longer than `max_msg` or of odd type close their connection: the
// replies of the requests before them are still sent, nothing after them
// is read.
//
// A connection is not read while the requests it has in flight (handed to
// on_request and not yet freed), its queued replies and its begun frame
// exceed a budget (1024 requests or 64 MiB, counted as a shared budget
// counts them); it is read again once they are half that.
int kiv_rpc_listen(kiv_process* p, const kiv_netaddr* addr, uint32_t max_msg, const kiv_rpc_server_ops* ops,
                   void* arg, kiv_rpc_server** out);
// A server that listens nowhere: it serves the sockets handed to it by
// kiv_rpc_server_adopt, with the same framing, budget and callbacks.
int kiv_rpc_server_create(kiv_process* p, uint32_t max_msg, const kiv_rpc_server_ops* ops, void* arg,
                          kiv_rpc_server** out);
// Serves connected stream socket `fd` as a connection of `s`; takes `fd`
// (closed on failure, or when `s` is closed before it gets there). In
// loop context of `s`'s process it is served at once; from anywhere else
// (another process's loop included) it is posted to that loop and this
// call never waits for it. Sockets adopted from one thread are served in
// the order given. The caller keeps `s` open and its process running
// until this returns. 0 or -errno (-ESHUTDOWN: the process has ended).
int kiv_rpc_server_adopt(kiv_rpc_server* s, int fd);
int kiv_rpc_server_addr(kiv_rpc_server* s, kiv_netaddr* out);
// Stops listening and drops every connection (a crash): each socket closes
// at once, what it still queued lost, and so do the sockets that linger
// after a drop or a drain. The address can be listened on again at once.
void kiv_rpc_server_close(kiv_rpc_server* s);
// Closes `s` as kiv_rpc_server_close does, but its port stays taken: the
// listening socket only stops listening (connects to it are refused) and
// stays bound, so that no other socket can take the address before it is
// listened on again, while kiv_rpc_listen on it takes over at once. Gives
// that socket, which the caller closes once it listens again or gives the
// port up; or -errno, the address then free as after kiv_rpc_server_close
// (-ENOTSOCK: `s` listened nowhere).
int kiv_rpc_server_close_holding(kiv_rpc_server* s);
// Drops every connection as kiv_rpc_server_close does, and keeps listening.
void kiv_rpc_server_drop_all(kiv_rpc_server* s);
// Each request in flight counts at least `bytes` against its connection's
// budget: for a server whose replies are much larger than its requests
// (say, data reads), the largest reply.
void kiv_rpc_server_set_request_charge(kiv_rpc_server* s, uint32_t bytes);
// A frame whose first bytes came must be whole within `ms` (default 120 s;
// 0: no limit), else its connection closes. The clock starts again with
// each whole frame and when a paused connection is read again. Between
// whole frames a connection may stay idle for ever: clients keep pooled
// connections open while they have nothing to ask.
void kiv_rpc_server_set_frame_timeout(kiv_rpc_server* s, uint32_t ms);

// A budget shared by the connections of one or more servers (say, the
// loops of one service), on top of each connection's own. Both count what
// a connection really holds: each request in flight at its charge and each
// reply not yet written at its length, both plus the message record and
// the allocator's share (KIV_RPC_MSG_OVERHEAD); a frame whose header came
// at its full length from then on; bytes read behind a paused frame.
//
// Admission, looked at before each read and each frame (`bytes` = limit):
// - a connection that holds anything is read while the total is within
//   `bytes` (again from three quarters of it once it was paused);
// - one that holds nothing brings a frame while the total is within a
//   slack of `bytes` / 8 past it;
// - one that holds nothing and has had a reply written whole into its
//   socket may use a reserve of another `bytes` / 8 past that, one frame
//   at a time. That is all the server sees of a peer's reading: a peer
//   that never reads counts as a reader while its socket still takes its
//   replies. So a reader is served beside any number of peers whose
//   replies stay queued at the server (the stall close ends those), but
//   not beside peers whose requests the server keeps unanswered (parked)
//   that fill the reserve with one each: it then waits until one of those
//   is answered.
// Connections that wait for room (paused, with something of their peer's
// not yet read) are let in in the order they began to wait: none is let
// in while an older waiter is within its room; that one takes it at its
// next look (every millisecond for the oldest sixteen of a room, every
// 5 ms for the rest), and reads at once.
// The total stays within kiv_rpc_budget_bound however many connections
// there are. A connection whose replies have not moved for the stall
// time-out (default 10 s; 0: never) while another connection of the
// budget waits for room is closed, so the room the non-readers hold comes
// back. NULL on OOM. The creator drops its reference with
// kiv_rpc_budget_put; servers and connections keep theirs as long as they
// need it.
kiv_rpc_budget* kiv_rpc_budget_create(uint64_t bytes);
void kiv_rpc_budget_put(kiv_rpc_budget* b);
// Held now, and the most ever held at once.
uint64_t kiv_rpc_budget_held(const kiv_rpc_budget* b);
uint64_t kiv_rpc_budget_peak(const kiv_rpc_budget* b);
// Before the budget's first connection.
void kiv_rpc_budget_set_stall_timeout(kiv_rpc_budget* b, uint32_t ms);
struct kiv_rpc_budget_stats {
    uint64_t held;
    uint64_t peak;
    uint32_t conns;    // open connections counted against it
    uint32_t paused;   // of those, not read now (by this budget or their own)
    uint32_t waiting;  // paused for room here, with no reply of their own stuck
    uint64_t stall_closes;  // connections closed because their replies did not move
};
void kiv_rpc_budget_get_stats(const kiv_rpc_budget* b, kiv_rpc_budget_stats* out);
// What a message holds beyond its bytes: its record and the allocator's share.
extern const uint32_t KIV_RPC_MSG_OVERHEAD;
// The most the budget's connections hold together, as counted: the limit,
// its slack and reserve, and per loop (`loops` processes serving them)
// what one read may bring past a check: the largest frame (`largest`, the
// largest request or reply, at least any request charge) with its reply,
// and the bytes read behind it.
uint64_t kiv_rpc_budget_bound(const kiv_rpc_budget* b, uint32_t loops, uint32_t largest);
// Connections `s` serves from now on count against `b`. Once per server,
// before it has any connection.
void kiv_rpc_server_set_budget(kiv_rpc_server* s, kiv_rpc_budget* b);
// A listener offers each socket it accepts to `fn` first (NULL: none).
// True takes `fd` (say, to kiv_rpc_server_adopt on another process's
// server); false leaves it to this server. Runs on the listener's loop.
void kiv_rpc_server_set_hand_off(kiv_rpc_server* s, bool (*fn)(int fd, void* arg), void* arg);

// Zeroed reply of `len` bytes with header {len, request type + 1, xid}. NULL
// on OOM or if len < 24.
kiv_msg* kiv_rpc_alloc_reply(const kiv_msg* req, uint32_t len);
// Takes ownership of `reply`: writes total_len into its length field, sends
// it through its chunk accessor and frees it once written or when the
// connection goes. -ENOTCONN (reply freed) if the connection is gone.
int kiv_rpc_reply(kiv_rpc_sconn* c, kiv_msg* reply);
// Replies sent between these two calls, in loop context of process `p`,
// leave each connection in one gathered write when the batch ends, as the
// replies sent from on_request do at the end of their read callback.
// Batches nest; the outermost end writes. Also delivers whatever else the
// runtime queued meanwhile (close notifications), as after any callback.
void kiv_rpc_batch_begin(kiv_process* p);
void kiv_rpc_batch_end(kiv_process* p);
// Room for a late reply: one to a request `c` has held a while (a parked
// request answered on some event, not as it came), which no admission
// counted. It takes room as a frame of a connection that holds something
// does: while the shared budget's total is within its limit, after the
// waiting connections that are within their room. True: send it now.
// False: not yet, and `c` counts as waiting for room (so that connections
// whose replies do not move are closed for it, unless its own are stuck)
// until a later call finds room or it closes. True without a shared budget
// or once the connection is gone (kiv_rpc_reply then refuses the reply).
bool kiv_rpc_sconn_late_reply_room(kiv_rpc_sconn* c);
// 32-byte runtime error reply: type 1, the request's xid, `code` at +24.
int kiv_rpc_reply_error(kiv_rpc_sconn* c, const kiv_msg* req, uint32_t code);
// Ends the connection at once (on_close follows, deferred; replies to the
// requests still in flight are refused with -ENOTCONN), but not its
// socket: every reply already handed to kiv_rpc_reply, gathered ones
// included, is still written as the socket takes it, then the server ends
// its sending, so the peer reads those replies and then the end of the
// stream. Meanwhile what the peer sends is read and discarded (a close
// with it unread would answer with a reset, which throws away what the
// socket still holds for the peer); the socket closes at the peer's end,
// or 5 s (RPC_LINGER_MS) after the drop, losing what is unwritten then.
// Until written, those replies count against the shared budget.
// kiv_rpc_server_close, kiv_rpc_server_drop_all and the end of the
// process close it at once.
void kiv_rpc_sconn_drop(kiv_rpc_sconn* c);
// Ends the connection once the requests it has in flight (handed to
// on_request and not yet freed) are freed and their replies written, as
// after a bad frame: the replies of the requests before go out whichever
// thread answers them, and nothing more is read meanwhile (bytes already
// read and not yet taken are discarded; from inside on_request, the frames
// behind the current one). At once if nothing is in flight or queued; a
// call from on_request counts its own request until it is freed. Free a
// request only after its reply was handed to kiv_rpc_reply, or the
// connection may close between the two. The peer's close still ends it at
// once. on_close follows, deferred; the socket then lingers as after
// kiv_rpc_sconn_drop, so the peer reads all those replies, then the end.
void kiv_rpc_sconn_drain(kiv_rpc_sconn* c);
// A connection record lives until on_close has run and its last reference
// is dropped.
void kiv_rpc_sconn_ref(kiv_rpc_sconn* c);
void kiv_rpc_sconn_unref(kiv_rpc_sconn* c);
int kiv_rpc_sconn_peer(kiv_rpc_sconn* c, kiv_netaddr* out);
uint64_t kiv_rpc_sconn_id(const kiv_rpc_sconn* c);  // unique in the program

// Internals shared by the RPC transport, its server half and the
// metadata-service client. Not part of the public interface.
//
// Delivery model: every completion and hook event of a process goes through
// one FIFO queue (rpc_proc::q). Runtime callbacks on evloop (socket I/O,
// message and connect timers) run between rp_enter/rp_leave and drain the
// events they produced when they leave; anything queued elsewhere (public
// calls from coroutines, plain threads, handlers) is drained by the
// process's delivery job in a later batch. So an event is never handled
// inside the call that produced it, and the order of production is kept.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/uio.h>

#include <optional>

#include "kiv/rpc.h"
#include "kiv/rpc_server.h"
#include "loop_internal.h"

#define RPC_LOG_ON(level) (__kiv_log_level >= (level))
#define RPC_LOG(level, ...)                            \
    do {                                               \
        if (RPC_LOG_ON(level)) kiv_log(level, __VA_ARGS__); \
    } while (0)

// Intrusive doubly linked list over member pointers.
template <class T, T* T::*Prev, T* T::*Next>
struct rpc_ilist {
    T* head = nullptr;
    T* tail = nullptr;
    size_t size = 0;

    bool empty() const { return head == nullptr; }
    void push_back(T* x) {
        x->*Prev = tail;
        x->*Next = nullptr;
        if (tail)
            tail->*Next = x;
        else
            head = x;
        tail = x;
        size++;
    }
    void remove(T* x) {
        if (x->*Prev)
            (x->*Prev)->*Next = x->*Next;
        else
            head = x->*Next;
        if (x->*Next)
            (x->*Next)->*Prev = x->*Prev;
        else
            tail = x->*Prev;
        x->*Prev = nullptr;
        x->*Next = nullptr;
        size--;
    }
    T* pop_front() {
        T* x = head;
        if (x) remove(x);
        return x;
    }
};

struct rpc_proc;
struct rpc_ep;

// A queued completion or hook event.
struct rpc_event {
    rpc_event* prev;
    rpc_event* next;
    void (*run)(rpc_event* ev);
    // Discards the event without running it (owner closed, process gone).
    void (*release)(rpc_event* ev);
    void* obj;    // what `run` works on
    void* owner;  // endpoint whose close cancels the event; NULL = never cancelled
    uint64_t seq;
    bool queued;
};
using rpc_event_list = rpc_ilist<rpc_event, &rpc_event::prev, &rpc_event::next>;

enum : uint8_t {
    MS_IDLE = 0,
    MS_QUEUED,   // in a send queue, nothing written
    MS_SENDING,  // head of the send queue, partly written
    MS_SENT,     // written, waiting for the reply
    MS_DONEQ,    // completion queued
};

enum : uint32_t { RPC_MSG_MAGIC = 0x6b6d7367, RPC_MSG_FREED = 0x64656164 };

struct rpc_msg : kiv_msg {
    uint32_t magic;
    uint8_t st;  // MS_*; read with rpc_msg_state() outside the loop lock
    bool registered;
    bool has_held;
    uint32_t req_type;
    uint8_t xid[16];
    uint32_t held_err;
    rpc_msg* held;  // reply received before the frame was fully written
    rpc_ep* ep;     // while pending
    rpc_proc* rp;   // while pending or queued for completion
    kiv_process* proc;        // process of the last call
    kiv_rpc_engine* engine;   // input messages: the engine for rpc_work_input
    rpc_ep* rx_ep;            // input messages: the endpoint that received it
    void (*filter)(kiv_msg*); // applied just before `done`
    kiv_rpc_sconn* origin;    // requests: the server connection that holds it in flight
    uint32_t origin_cost;     // what it counts against that connection's budget
    rpc_msg* sq_prev;
    rpc_msg* sq_next;
    rpc_msg* pl_prev;
    rpc_msg* pl_next;
    rpc_event ev;
    kiv_timer timer;
};
using rpc_sendq = rpc_ilist<rpc_msg, &rpc_msg::sq_prev, &rpc_msg::sq_next>;
using rpc_pendq = rpc_ilist<rpc_msg, &rpc_msg::pl_prev, &rpc_msg::pl_next>;

inline rpc_msg* rpc_msg_of(kiv_msg* m) { return static_cast<rpc_msg*>(m); }
inline uint8_t rpc_msg_state(const rpc_msg* m) { return __atomic_load_n(&m->st, __ATOMIC_ACQUIRE); }
inline void rpc_msg_set_state(rpc_msg* m, uint8_t st) { __atomic_store_n(&m->st, st, __ATOMIC_RELEASE); }

inline uint32_t rpc_le32(const void* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline uint64_t rpc_le64(const void* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}
inline void rpc_put_le32(void* p, uint32_t v) { memcpy(p, &v, 4); }

// ---------------------------------------------------------------- per process
// An object tied to a process (engine, endpoint, listener): kiv_process_fini
// calls `gone`, which cuts it loose (sockets closed, no process pointer).
struct rpc_node {
    rpc_node* prev;
    rpc_node* next;
    void (*gone)(rpc_node* n);
    void* obj;
};
using rpc_node_list = rpc_ilist<rpc_node, &rpc_node::prev, &rpc_node::next>;

struct rpc_proc {
    kiv_proc_closer closer;  // first member: the closer callback finds its rpc_proc
    kiv_process* p;
    kiv_proc_core* core;
    kiv_job job;
    rpc_event_list q;
    uint64_t seq;
    uint32_t depth;  // nesting of runtime evloop callbacks
    bool draining;
    rpc_node_list nodes;
};

// The rpc_proc of `p`, created on first use. Loop lock of `p` held.
rpc_proc* rpc_proc_get(kiv_process* p);
void rp_push(rpc_proc* rp, rpc_event* ev);
// Removes and releases the queued events of `owner`.
void rp_cancel_owner(rpc_proc* rp, void* owner);
inline void rp_enter(rpc_proc* rp) { rp->depth++; }
void rp_leave(rpc_proc* rp);
inline void rp_link(rpc_proc* rp, rpc_node* n) { rp->nodes.push_back(n); }
inline void rp_unlink(rpc_proc* rp, rpc_node* n) { rp->nodes.remove(n); }

// Takes the loop lock of the rpc_proc's process unless the process is gone.
struct rpc_guard {
    std::optional<kiv_loop_guard> g;
    explicit rpc_guard(rpc_proc* rp) {
        if (rp) g.emplace(rp->p);
    }
};

// Called at process fini: each cuts its object loose (sockets closed,
// pending messages handed back uncompleted, no process pointer).
void rpc_ep_process_gone(rpc_ep* ep);
void rpc_server_process_gone(kiv_rpc_server* s);
// A request a server connection handed out is freed: it no longer counts as
// in flight there. Any thread, no lock needed.
void rpc_server_request_freed(rpc_msg* m);
// A pending message freed after kiv_process_terminate.
void rpc_msg_detach_terminated(rpc_msg* m);
// A reply leaves a server's send queue, written or not: it no longer counts
// against `b` (NULL: none), and is freed.
void rpc_server_reply_gone(kiv_rpc_budget* b, rpc_msg* m);
// Sockets of `s` that still linger; for tests.
size_t rpc_server_lingering(kiv_rpc_server* s);

// ---------------------------------------------------------------- lingering sockets
// The socket of a server connection that ended by a drain or a drop, once
// its connection record has gone (rpc_linger.cpp). Closing a socket whose
// peer has sent what was not read answers with a reset, which throws away
// what the socket still holds for the peer: the replies written last. So
// the socket writes what was still queued, ends its sending (the peer reads
// every byte, then the end of the stream), reads and discards until the
// peer ends too, and only then closes; RPC_LINGER_MS bounds it all.
constexpr uint64_t RPC_LINGER_MS = 5000;
struct rpc_linger {
    rpc_linger* prev = nullptr;
    rpc_linger* next = nullptr;
    rpc_ilist<rpc_linger, &rpc_linger::prev, &rpc_linger::next>* set = nullptr;  // its server's
    int fd = -1;
    kiv_fd_watch* watch = nullptr;
    uint32_t wmask = 0;
    rpc_sendq txq;
    uint64_t tx_off = 0;               // bytes of the head already written
    kiv_rpc_budget* budget = nullptr;  // referenced; what txq holds counts against it
    bool sent_all = false;             // sending ended
    bool peer_done = false;            // the peer ended its sending
    kiv_timer deadline{};
};
using rpc_linger_list = rpc_ilist<rpc_linger, &rpc_linger::prev, &rpc_linger::next>;
// Takes `fd` and every reply of `q` (the first `off` bytes of its head
// already written), with the reference to `budget` the caller took for it,
// into a lingering record of `set`. Loop context of `p`.
void rpc_linger_start(kiv_process* p, rpc_linger_list* set, int fd, rpc_sendq* q, uint64_t off,
                      kiv_rpc_budget* budget);
// Closes every lingering socket of `set` at once, what they still queued
// discarded (a crash, the server's close, the end of its process).
void rpc_linger_close_all(rpc_linger_list* set);

// ---------------------------------------------------------------- messages
rpc_msg* rpc_msg_alloc(uint32_t kept_len, bool zero);
// Queues the completion of a message that is not pending anywhere.
void rpc_msg_complete(rpc_proc* rp, rpc_msg* m, uint32_t err, rpc_msg* reply);
// Completion of a message that is not pending, outside any endpoint
// (e.g. nothing selected): deferred to evloop of `p`.
void rpc_fail_deferred(kiv_process* p, kiv_msg* m, uint32_t err);

// ---------------------------------------------------------------- engines
struct kiv_rpc_engine_priv;
rpc_proc* rpc_engine_rp(const kiv_rpc_engine* e);
bool rpc_engine_register(kiv_rpc_engine* e, rpc_msg* m);  // false: xid already pending
void rpc_engine_unregister(kiv_rpc_engine* e, rpc_msg* m);
rpc_msg* rpc_engine_lookup(kiv_rpc_engine* e, const uint8_t xid[16]);

// ---------------------------------------------------------------- endpoints
// Internal observer of connection events (used by the metadata-service
// client); delivered through the same queue as completions, after the ops.
struct rpc_ep_observer {
    void (*on_up)(void* arg);
    void (*on_down)(void* arg, int code);
    void* arg;
};
void rpc_ep_set_observer(kiv_rpc_endpoint* ep, const rpc_ep_observer* obs);
int rpc_ep_set_params(kiv_rpc_endpoint* ep, const kiv_rpc_params* params);
// kiv_rpc_call with a filter applied to the message just before `done`.
int rpc_call_filtered(kiv_rpc_endpoint* ep, kiv_msg* m, void (*filter)(kiv_msg*));
kiv_process* rpc_ep_process(kiv_rpc_endpoint* ep);

// ---------------------------------------------------------------- sending
// Gathers the unsent bytes of a send queue, starting `off` bytes into its
// head, into at most RPC_MAX_IOV pieces and about RPC_MAX_GATHER bytes, so one
// sendmsg writes many frames. Returns the number of pieces; `*bytes` gets
// their total length.
constexpr int RPC_MAX_IOV = 64;
constexpr size_t RPC_MAX_GATHER = 1u << 20;
int rpc_gather_iov(rpc_msg* head, uint64_t off, struct iovec* iov, size_t* bytes);

// ---------------------------------------------------------------- sockets
int rpc_sockaddr_from(const kiv_netaddr* a, struct sockaddr_storage* ss, unsigned* len);
void rpc_netaddr_from(const struct sockaddr* sa, kiv_netaddr* out);
// Text of an address for log lines.
struct rpc_addr_text {
    char s[64];
    explicit rpc_addr_text(const kiv_netaddr* a);
};

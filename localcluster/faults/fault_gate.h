// The fault gate of one service instance: asks the rule table about each
// request at dispatch and carries out what a firing rule says, with the
// help of a few service callbacks. Everything here runs in loop context of
// the instance's runtime process, except where a function says otherwise:
// replies (and the reply rules they may carry) may come from worker
// threads.
#pragma once

#include <stdint.h>

#include "kiv/rpc_server.h"
#include "localcluster/faults/fault_rules.h"

struct lc_logger;
struct lc_fault_gate;

struct lc_fault_gate_ops {
    void* ctx;
    // What the request carries, for matching. `type` is always set.
    void (*key)(void* ctx, const kiv_msg* req, lc_fault_key* out);
    // The service's normal handling of a request; takes `req`. Its replies
    // pass through lc_fault_gate_reply.
    void (*execute)(void* ctx, kiv_rpc_sconn* c, kiv_msg* req);
    // Answers `req` with a bare status, in the service's reply layout.
    void (*answer_status)(void* ctx, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status);
    // Stops listening and drops every connection.
    void (*stop_listening)(void* ctx);
    // Listens again on the service's port; 0, or -errno. Called only while
    // the gate keeps the listener shut; must be harmless when the service
    // already listens (it may have moved meanwhile).
    int (*start_listening)(void* ctx);
    // Crashes the instance as its crash command does. Called where the
    // reply of an apply-crash request is built, after that reply was
    // thrown away; NULL for a service that cannot crash this way.
    void (*crash)(void* ctx) = nullptr;
    // Stops serving at once and has the instance's host rebooted. Called
    // in loop context in place of executing a reboot request, which the
    // gate then frees; NULL for a service that cannot.
    void (*reboot_host)(void* ctx) = nullptr;
    // A drop or an apply-drop closes at once instead of once the requests
    // in flight are answered: for a service that parks requests until
    // something happens (registry watches), whose drained connection would
    // stay open, unread, until they time out. Its other replies leave from
    // the loop, before the close.
    bool drop_at_once = false;
};

lc_fault_gate* lc_fault_gate_create(lc_faults* faults, const lc_fault_site& site, kiv_process* p,
                                    const lc_fault_gate_ops& ops, lc_logger* log);
// Frees the gate. Call lc_fault_gate_stop first, in loop context, while the
// process runs; after the process is gone this only frees memory.
void lc_fault_gate_destroy(lc_fault_gate* g);

// True when the gate took the request (answered, dropped, swallowed or
// deferred it); false when the service should handle it now.
bool lc_fault_gate_request(lc_fault_gate* g, kiv_rpc_sconn* c, kiv_msg* req);
// Every reply of the service passes here before it is sent. True: send
// *reply (possibly replaced by a shortened copy). False: the gate took it.
// Any thread; but an apply-drop drains the connection, which takes its
// loop's lock outside loop context: a service whose workers must never
// take it (the DS) passes its replies here on the loop.
bool lc_fault_gate_reply(lc_fault_gate* g, kiv_rpc_sconn* c, kiv_msg** reply);
// lc_fault_gate_reply, then kiv_rpc_reply. Any thread.
void lc_fault_gate_send(lc_fault_gate* g, kiv_rpc_sconn* c, kiv_msg* reply);
// Whether an overdata rule fired on `req` (a DS read): the service then
// builds its reply with one byte more than asked. Clears the mark. Any
// thread, before the reply is sent.
bool lc_fault_gate_take_overdata(lc_fault_gate* g, kiv_rpc_sconn* c, const kiv_msg* req);
// The connection is gone (the service's on_close).
void lc_fault_gate_closed(lc_fault_gate* g, kiv_rpc_sconn* c);
// Drops delayed requests unexecuted and cancels a pending re-listen; the
// gate lets every request through from now on.
void lc_fault_gate_stop(lc_fault_gate* g);
// The instance crashed: delayed requests are dropped unexecuted, pending
// reply rules forgotten and a pending re-listen cancelled; the rules keep
// applying to what comes next.
void lc_fault_gate_reset(lc_fault_gate* g);

// Rules fired here so far; whether a refuse= rule holds the listener shut.
uint64_t lc_fault_gate_fired(const lc_fault_gate* g);
bool lc_fault_gate_refusing(const lc_fault_gate* g);

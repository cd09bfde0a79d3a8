// The registry's network face: key-value requests (type 0x240) over the
// runtime's server transport, with long-polling watches parked on timers
// rather than threads.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "localcluster/registry/registry_store.h"

struct kiv_msg;
struct kiv_process;
struct kiv_rpc_budget;
struct kiv_rpc_sconn;
struct lc_logger;
struct lc_regsrv;

enum : uint32_t {
    LC_REG_MAX_FRAME = 1048576,
    LC_REG_WATCH_MIN_S = 1,
    LC_REG_WATCH_MAX_S = 55,
    // Watches one connection may have parked at once; more are refused.
    LC_REG_MAX_PARKED_PER_CONN = 64,
};
// Bytes all connections may hold together (parked watches, requests being
// served, unsent replies); beyond it only a connection that holds nothing
// is read, and only within an eighth more. Legitimate clients hold a few
// kilobytes each.
constexpr uint64_t LC_REG_HELD_BUDGET = uint64_t(64) << 20;

// Serves `store` on process `p` (the cluster's own, already started).
// `page_items` caps the items of one range page. Listens nowhere yet.
lc_regsrv* lc_regsrv_create(kiv_process* p, lc_regstore* store, uint32_t page_items, lc_logger* log);
// Listens on 127.0.0.1:port (0 = any) and reports the bound port. 0 or -errno.
int lc_regsrv_listen(lc_regsrv* s, uint16_t port, uint16_t* bound);
// Stops listening and closes every connection; parked watches are dropped
// without a reply. The store is untouched and the server may listen again;
// until it does (or stops) its port stays taken, connects refused.
void lc_regsrv_close(lc_regsrv* s);
// Closes, and detaches from the store so that no change reaches the
// process any more. Call before terminating the process.
void lc_regsrv_stop(lc_regsrv* s);
// Frees the server; its process has been terminated and waited for.
void lc_regsrv_destroy(lc_regsrv* s);

// Fault injection. `request` sees every request first and returns true when
// it has taken it (answered, dropped, deferred or swallowed it); `reply`
// sees every reply before it is sent and returns false when it has taken
// it (it may replace *reply); `closed` hears of every closed connection.
// Any may be NULL. They run on the server's process; set them before
// listening.
struct lc_regsrv_hooks {
    bool (*request)(void* ctx, kiv_rpc_sconn* c, kiv_msg* req);
    bool (*reply)(void* ctx, kiv_rpc_sconn* c, kiv_msg** reply);
    void (*closed)(void* ctx, kiv_rpc_sconn* c);
    void* ctx;
};
void lc_regsrv_set_hooks(lc_regsrv* s, const lc_regsrv_hooks& hooks);
// The registry's own handling of a request (for a hook that deferred it);
// takes `req`. Loop context.
void lc_regsrv_execute(lc_regsrv* s, kiv_rpc_sconn* c, kiv_msg* req);
// Answers `req` with `status` and no items, without executing it. Loop
// context.
void lc_regsrv_answer_status(lc_regsrv* s, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status);

// Replaces the budget of what all connections hold together; before the
// server first listens.
void lc_regsrv_set_held_budget(lc_regsrv* s, uint64_t bytes);
// Bytes held now against that budget, and the most ever held at once.
void lc_regsrv_held(lc_regsrv* s, uint64_t* now, uint64_t* peak);
// That budget (replaced by lc_regsrv_set_held_budget).
kiv_rpc_budget* lc_regsrv_budget(lc_regsrv* s);

// Watches parked right now, of those the ones whose range changed and
// whose answers wait for room in the budget, and requests handled so far.
size_t lc_regsrv_parked(lc_regsrv* s);
size_t lc_regsrv_due(lc_regsrv* s);
uint64_t lc_regsrv_requests(lc_regsrv* s);

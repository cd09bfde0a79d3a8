// One lock server instance: the lock service of one file system, on the MDS
// host. It runs on a runtime process of its own, listens on 127.0.0.1 and
// answers every request frame from its lock tables (ls_engine.h).
//
// Everything it holds is volatile: going down (a restart or a reboot of its
// host) closes the listener and every connection and forgets every lock;
// it comes back on the same port with empty tables and a new boot tag, so
// references and cookies of the old boot are refused.
#pragma once

#include <stdint.h>

#include <string>

struct kiv_rpc_budget;

struct lc_logger;
struct lc_ls;

// Bytes all of an instance's connections may hold together: requests read
// and not yet served, each counted as the largest reply it may get, and
// replies not yet written. Legitimate clients hold a few kilobytes each; a
// peer that pipelines searches and reads nothing would otherwise have the
// server build their pages without end.
constexpr uint64_t LC_LS_HELD_BUDGET = uint64_t(64) << 20;

struct lc_ls_config {
    uint64_t fs_id = 0;
    std::string fs_name;
    uint64_t breaks = 0;  // LC_BREAK_* bits (breaks.h); only the lock server's are read
    uint64_t seed = 0;    // with the fs id, decides the boot tags
    lc_logger* log = nullptr;
    // Called on the instance's loop when coming back could not take its old
    // port and it listens on `port` instead (the owner re-publishes it).
    void (*port_moved)(void* ctx, uint16_t port) = nullptr;
    void* port_moved_ctx = nullptr;
    uint64_t held_budget = LC_LS_HELD_BUDGET;
};

// Starts the instance's process with empty tables; it listens nowhere yet.
// NULL with *err.
lc_ls* lc_ls_create(const lc_ls_config& config, std::string* err);
// Listens on 127.0.0.1:port (0 = any); a port held by a bound, non-listening
// socket with SO_REUSEADDR can be taken over. 0 or -errno.
int lc_ls_listen(lc_ls* s, uint16_t port, uint16_t* bound);
void lc_ls_destroy(lc_ls* s);

// Crashes and comes back at once: connections dropped, locks lost, a new
// boot tag, the same port. 0 or -errno (-EAGAIN while held down).
int lc_ls_restart(lc_ls* s);
// Goes down (as in a crash) until lc_ls_come_up; connects are refused.
int lc_ls_hold_down(lc_ls* s);
// Comes back from lc_ls_hold_down. 0, or -EALREADY when it is up.
int lc_ls_come_up(lc_ls* s);

struct lc_ls_stats {
    uint16_t port = 0;
    bool up = false;
    bool listening = false;
    uint32_t boot_tag = 0;
    uint64_t requests = 0;
    uint64_t refused = 0;   // answered with a handling error
    uint64_t restarts = 0;  // times gone down
    size_t held = 0, pending = 0, shares = 0;
    uint64_t held_bytes = 0, held_bytes_peak = 0;  // against held_budget
};
void lc_ls_get_stats(lc_ls* s, lc_ls_stats* out);
// The budget its connections share; lives as long as the instance.
kiv_rpc_budget* lc_ls_budget(lc_ls* s);

// Runs fn(arg) on the instance's loop, between two of its turns, and
// returns what it returns: while it runs, nothing is read or served.
int lc_ls_call_on_loop(lc_ls* s, int (*fn)(void*), void* arg);

// The lock tables as JSON: {"state":..,"boot_tag":..,"held":[..],
// "pending":[..],"share":[..]} (each list cut after `limit` entries).
std::string lc_ls_locks_json(lc_ls* s, size_t limit);

// The lock service client: byte-range locks (POSIX and Windows flavours, plain
// and blocking), share-mode locks, releasing every lock of a caller, and the
// control interface that searches and removes Windows byte-range locks.
//
// Lock servers are found through service discovery ("tarn/ls" records, one
// per file system id) or, when the configuration names one, used directly.
// Every operation is synchronous: it blocks the calling thread until the
// reply has been handled, so it must not be called from the event loop.
//
// Each operation returns 0 when the request completed and -1 otherwise; the
// lock service's verdict comes back separately and is never interpreted here.
#pragma once

#include <stdint.h>

#include "kiv/base.h"
#include "kiv/loop.h"

// The server's answer to a lock request, copied as it comes; values other than
// the named ones pass through unchanged.
enum ls_stats : uint32_t {
    ls_granted = 0,
    ls_denied = 1,     // conflict
    ls_blocked = 3,    // a blocking request was queued
    ls_not_locked = 9, // free or cancel of a lock that is not held
};

// Byte-range lock types and flavours.
enum : uint32_t { LS_LOCK_READ = 1, LS_LOCK_WRITE = 2 };
enum : uint32_t { LS_FLAVOUR_POSIX = 1, LS_FLAVOUR_WINDOWS = 2 };
// Share-mode access bits (both `mode`, the access denied to others, and
// `access`, the access asked for).
enum : uint32_t { LS_READ = 1, LS_WRITE = 2 };

// Owner of a byte-range lock. (caller, caller_id) is what ls_free_all_locks
// names.
struct ls_lock_owner {
    kiv_netaddr addr;
    const char* caller;
    uint32_t caller_id;
    uint64_t owner_id;
};

// Owner of a share-mode lock.
struct ls_share_owner {
    kiv_netaddr addr;
    const char* caller;
    uint64_t handle_len;
    const void* handle_data;
};

struct ls_brlock_range {
    uint64_t fh;
    uint64_t start;
    uint64_t len;
    uint32_t type;    // LS_LOCK_READ or LS_LOCK_WRITE
    uint32_t flavour; // LS_FLAVOUR_POSIX or LS_FLAVOUR_WINDOWS
};

struct ls_share_lock {
    uint64_t fh;
    uint32_t mode;
    uint32_t access;
};

// Opaque data attached to a byte-range lock.
struct ls_opaque_item {
    uint64_t size;
    void* data;
};

// Filled by ls_brlock_test; callers zero it first. On a grant only `granted`
// is written; on a conflict also the holder's owner_id (caller_id set to 0),
// start, len and type.
struct lock_test_res {
    ls_lock_owner owner;
    ls_brlock_range range;
    bool granted;
};

enum : uint32_t { LS_CTRL_FILTER_NONE = 0, LS_CTRL_FILTER_FH = 1 };

struct ls_ctrl_search_filter {
    uint32_t flags;
    uint64_t fh;
};

// Continuation token of a control search.
struct ls_ctrl_cookie {
    uint64_t size;
    void* data;
};

// One Windows lock as the control search reports it. owner_info.caller is a
// copy made by the library.
struct ls_ctrl_win_lock_info {
    ls_lock_owner owner_info;
    ls_brlock_range lock_info;
    uint32_t lock_ref32; // with lock_ref64, what ls_ctrl_remove_brlock takes
    uint64_t lock_ref64;
    uint32_t aux_u32;
    uint64_t aux_u64_a;
    uint16_t aux_u16;
    uint64_t aux_u64_b;
};

// One page of a control search. The receiver owns `locks` and the cookie data
// and releases them with ls_client_search_result_free.
struct ls_ctrl_search_result {
    uint32_t returned_count;
    uint32_t has_more;
    ls_ctrl_win_lock_info* locks;
    ls_ctrl_cookie cookie;
};

// Called on the event loop, before ls_ctrl_search_win_brlocks returns, with the
// page (valid only during the call) and 0, or with NULL and a negative errno.
typedef void (*ls_search_cb)(ls_ctrl_search_result* result, int error);

struct ls_client_cfg {
    kiv_netaddr direct_addr; // kind 0: find lock servers through discovery
    const char* cluster;
    uint64_t direct_host_id;
    uint64_t local_id; // the RPC engine's local identifier
};

struct ls_client;

// Process-wide log hook: level 0 to 4, "file:line", function name, format.
typedef void (*ls_log_fn)(int level, const char* pos, const char* func, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

int ls_client_create(const ls_client_cfg* cfg, kiv_process* p, ls_client** out);
// No call may be in flight.
void ls_client_destroy(ls_client* c);
void ls_client_custom_log_init(ls_log_fn fn);
void ls_client_custom_log_fini(void);

// `items_count` and `items` receive the holder's opaque items on a conflict
// when both are given; the caller releases each item's data and the array
// with __kiv_free.
int ls_brlock_test(ls_client* c, uint64_t fs_id, const ls_lock_owner* owner, const ls_brlock_range* range,
                   lock_test_res* res, uint32_t* items_count, ls_opaque_item** items);
int ls_brlock_take(ls_client* c, uint64_t fs_id, const ls_lock_owner* owner, const ls_brlock_range* range,
                   int nr_items, const ls_opaque_item* items, ls_stats* stat);
int ls_blocking_brlock_take(ls_client* c, uint64_t fs_id, const kiv_netaddr* waiter, const ls_lock_owner* owner,
                            const ls_brlock_range* range, int nr_items, const ls_opaque_item* items,
                            ls_stats* stat);
int ls_brlock_free(ls_client* c, uint64_t fs_id, const ls_lock_owner* owner, const ls_brlock_range* range,
                   ls_stats* stat);
int ls_blocking_brlock_cancel(ls_client* c, uint64_t fs_id, const ls_lock_owner* owner,
                              const ls_brlock_range* range, ls_stats* stat);
int ls_sharemode_lock_take(ls_client* c, uint64_t fs_id, const ls_share_owner* owner, const ls_share_lock* lock,
                           ls_stats* stat);
int ls_sharemode_lock_free(ls_client* c, uint64_t fs_id, const ls_share_owner* owner, const ls_share_lock* lock,
                           ls_stats* stat);
// Sends one free-all to every known lock server; `stat` is not written.
int ls_free_all_locks(ls_client* c, const char* caller, uint32_t caller_id, ls_stats* stat);
int ls_ctrl_search_win_brlocks(ls_client* c, uint64_t fs_id, const ls_ctrl_search_filter* filter,
                               uint32_t max_count, const ls_ctrl_cookie* cookie, ls_search_cb cb);
int ls_ctrl_remove_brlock(ls_client* c, uint64_t fs_id, uint32_t lock_ref32, uint64_t lock_ref64,
                          uint32_t flavour, ls_stats* stat);
// NULL is ignored; the record is zeroed afterwards.
void ls_client_search_result_free(ls_ctrl_search_result* r);
int ls_null_req(void);

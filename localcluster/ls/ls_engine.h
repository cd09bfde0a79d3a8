// The lock tables of one lock server, without any network: byte-range locks
// of both flavours held per (fs_id, fh), blocking requests waiting for
// them, share-mode locks per fh, and the control view (search by id with
// cookies, remove by reference).
//
// Identity: a byte-range owner is (caller name, owner_id); its address and
// caller_id are carried along but never compared. A share-mode owner is
// (caller name, handle bytes). Every held byte-range lock has an id that
// grows and is never reused, so a listing that goes on after a cookie sees
// neither a gap nor a repeat, whatever was removed meanwhile.
//
// Thread safety: every function takes the engine's one mutex for its whole
// duration, so each request is atomic.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Statuses a request can end with.
enum : uint32_t {
    LC_LS_GRANTED = 0,
    LC_LS_DENIED = 1,
    LC_LS_BLOCKED = 3,
    LC_LS_NOT_LOCKED = 9,
    LC_LS_BAD_SEARCH = 22,
    // Not a status of the wire: the owner or the file holds or awaits as
    // many entries as it may. The server refuses the request (ENOLCK).
    LC_LS_FULL = 0x10000,
};

enum : uint32_t { LC_LS_SHARED = 1, LC_LS_EXCLUSIVE = 2 };
enum : uint32_t { LC_LS_POSIX = 1, LC_LS_WINDOWS = 2 };

using lc_ls_addr = std::array<uint8_t, 24>;

struct lc_ls_owner {
    std::string caller;
    uint64_t owner_id = 0;
    uint32_t caller_id = 0;
    lc_ls_addr addr{};
};

struct lc_ls_range {
    uint64_t fs_id = 0;
    uint64_t fh = 0;
    uint64_t start = 0;
    uint64_t len = 0;  // Windows: 0 is a point at start; POSIX: 0 reaches to the end of the file
    uint32_t type = LC_LS_EXCLUSIVE;
    uint32_t flavour = LC_LS_WINDOWS;
};

// A held lock as the engine reports it.
struct lc_ls_lock {
    uint64_t id = 0;
    lc_ls_owner owner;
    lc_ls_range range;  // Windows: as taken; POSIX: the segment, len 0 when it reaches the end
    uint64_t last = 0;  // its last byte (a Windows point: its offset)
    std::vector<std::string> items;
    uint64_t grant_us = 0;  // wall clock, microseconds
};

struct lc_ls_share_owner {
    std::string caller;
    std::string handle;  // the owner's handle bytes
    lc_ls_addr addr{};
};

// The rules that --break can bend (bit values of the cluster's switches).
struct lc_ls_breaks {
    bool posix_no_merge = false;           // a POSIX take adds its segment beside the owner's old ones
    bool win_excl_ignores_own = false;     // a Windows exclusive take ignores its owner's own locks
    bool free_all_keeps_share = false;     // free-all leaves share locks alone
    bool share_retake_stacks = false;      // a share re-take adds a second entry
    bool search_has_more_off_by_one = false;  // has_more only when two or more candidates follow
    bool zero_len_conflicts_at_start = false; // a Windows point conflicts at a range's first byte too
    bool posix_eof_short = false;          // a zero-length POSIX lock ends at 2^64-2
    bool cancel_oldest = false;            // a cancel drops the owner's oldest queued request on the file
    bool search_more_when_full = false;    // has_more whenever a page is full
};

// How much one caller name, one file and the whole server may hold and
// have queued (localcluster/ls/README.md, "Caps"). A caller name's caps
// are its own: what it holds and has queued on every file, queued counting
// as held since, granted, it is. A file's and the server's entries, and a
// file's queue, are shared among the names there: grants and queueing of
// any name stop at three quarters, and the last quarter is kept for the
// names holding little there (a 64th of it each, at most), so that no
// handful of names fills a file or the server. The default caps of a name
// are a quarter of a file's and an eighth of the server's, so that one
// name, even at twice them by splitting, never refuses another's take or
// queueing.
//
// The caps are hard for grants: a take is granted only when the entries it
// adds fit every room; a blocking take waits only with room to be held; a
// queued request freed of its conflicts but without that room stays
// queued and is granted when room is made. Past them a request is answered
// LC_LS_FULL and changes nothing. An unlock is never refused for the caps,
// except a POSIX free that would split a segment past twice the name's
// own caps or past the whole of a file's or the server's room, where a
// name holding little splits in the reserve and a name left holding at
// most 4 entries there past anything; such a name downgrades past them
// too.
//
// The server's bytes are bounded too: the bytes of the caller names, item
// lists and share handles it keeps. Held locks and queued requests share
// one copy of each distinct caller name and item list, so a request that
// brings neither anything new is refused only by the entry counts.
struct lc_ls_limits {
    size_t held_per_caller = 32768;
    size_t held_per_file = 131072;
    size_t queued_per_caller = 1024;
    size_t queued_per_file = 4096;
    size_t entries_total = 262144;
    size_t bytes_total = size_t(64) << 20;
};

struct lc_ls_engine;

lc_ls_engine* lc_ls_engine_create(uint32_t boot_tag, const lc_ls_breaks& breaks);
void lc_ls_engine_set_limits(lc_ls_engine* e, const lc_ls_limits& limits);
void lc_ls_engine_destroy(lc_ls_engine* e);
uint32_t lc_ls_engine_boot_tag(const lc_ls_engine* e);

// False when the range can hold no lock: fh 0, a type or flavour outside
// 1..2, or a non-zero length whose last byte lies beyond 2^64-1.
bool lc_ls_range_valid(const lc_ls_range& r);

// Byte-range requests. `r` must be valid.
uint32_t lc_ls_take(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r,
                    const std::vector<std::string>& items);
// LC_LS_GRANTED when the take would be granted; LC_LS_DENIED with the first
// conflicting lock (lowest start, then lowest id) in *conflict.
uint32_t lc_ls_test(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r, lc_ls_lock* conflict);
uint32_t lc_ls_free(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r);
// Granted at once, or queued (replacing the owner's identical request) and
// answered LC_LS_BLOCKED; queued requests are granted in order as soon as
// they no longer conflict.
uint32_t lc_ls_blocking_take(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r,
                             const std::vector<std::string>& items, const lc_ls_addr& waiter);
uint32_t lc_ls_cancel(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r);

// Share-mode locks: `mode` is what the owner denies others, `access` what it
// asks for (bits 1 read, 2 write; both at most 3).
uint32_t lc_ls_share_take(lc_ls_engine* e, const lc_ls_share_owner& o, uint64_t fh, uint32_t mode,
                          uint32_t access);
uint32_t lc_ls_share_free(lc_ls_engine* e, const lc_ls_share_owner& o, uint64_t fh);

// Every held lock, queued request and share lock of the caller name, on
// every fs_id and fh, whatever its owner_id, caller_id or handle.
void lc_ls_free_all(lc_ls_engine* e, std::string_view caller);

// The control view. Candidates are the held locks of `flavour` (and of `fh`
// with flag 1), in ascending id, after the id a cookie carries. A page takes
// at most `max` of them whose costs add up to at most `budget`.
constexpr uint32_t LC_LS_FILTER_FH = 1;
constexpr size_t LC_LS_COOKIE_BYTES = 16;  // {u32 boot_tag, u32 0, u64 last id}
struct lc_ls_search_query {
    uint32_t flags = 0;
    uint64_t fh = 0;
    uint32_t flavour = LC_LS_WINDOWS;
    uint32_t max = 0;
    std::string_view cookie;  // empty: from the first lock
    size_t budget = SIZE_MAX;
    std::function<size_t(const lc_ls_lock&)> cost;  // unset: 1 per lock
};
struct lc_ls_search_page {
    std::vector<lc_ls_lock> locks;
    bool has_more = false;
    std::string cookie;  // non-empty exactly when has_more
};
// 0, or LC_LS_BAD_SEARCH for unknown filter bits or a cookie of another
// size or another boot.
uint32_t lc_ls_search(lc_ls_engine* e, const lc_ls_search_query& q, lc_ls_search_page* out);
// Removes the held lock `ref64` of this boot (`ref32`) and `flavour`.
uint32_t lc_ls_remove(lc_ls_engine* e, uint32_t ref32, uint64_t ref64, uint32_t flavour);

struct lc_ls_counts {
    size_t held = 0;
    size_t pending = 0;
    size_t shares = 0;
    uint64_t room_tries = 0;  // looks at requests waiting for room, since the engine was made
    size_t apart = 0;  // joints where an owner's touching POSIX segments are kept apart by a point
};
lc_ls_counts lc_ls_engine_counts(lc_ls_engine* e);
// The depth of the deepest of the tables' interval trees, whose shape no
// order of starts a peer picks should make a chain. Visits every entry:
// for tests.
size_t lc_ls_engine_depth(lc_ls_engine* e);

// A copy of the tables, each list cut after `limit` entries: held locks in
// ascending id, queued requests oldest first, share locks by fh.
struct lc_ls_queued {
    uint64_t seq = 0;
    lc_ls_lock req;
    lc_ls_addr waiter{};
};
struct lc_ls_share_entry {
    uint64_t fh = 0;
    lc_ls_share_owner owner;
    uint32_t mode = 0;
    uint32_t access = 0;
};
struct lc_ls_tables {
    uint32_t boot_tag = 0;
    std::vector<lc_ls_lock> held;
    std::vector<lc_ls_queued> pending;
    std::vector<lc_ls_share_entry> shares;
    bool truncated = false;
};
void lc_ls_engine_snapshot(lc_ls_engine* e, size_t limit, lc_ls_tables* out);
// Empty when the tables hold together: no two held locks of different
// owners (or flavours) on one file conflict, every queued request
// conflicts with a held lock or waits for room under the held caps, the
// interval indexes hold together and agree with the counts, no two
// touching segments of one owner, type and items stay apart without a
// point at their joint, and the per-caller index, the counts and the
// shared copies of names and items agree with the entries that use them.
// Otherwise the first fault found. It compares every pair on a file, so it
// is for tests.
std::string lc_ls_engine_check(lc_ls_engine* e);
// The tables as a JSON object {"boot_tag":..,"held":[..],"pending":[..],
// "share":[..]}; each list is cut after `limit` entries ("truncated":true).
std::string lc_ls_engine_json(lc_ls_engine* e, size_t limit);

// The records the lock tables are kept in (localcluster/ls/README.md),
// apart from what the engine does with them: a held lock or queued
// request and its place in the interval indexes, a file's and an owner's
// trees, the shared copies of caller names and item lists, share-mode
// holders, and the rooms the limits make.
//
// Included by the engine's file alone, and local to it: with them, the
// engine's functions and the containers of them are the file's own, and
// the compiler inlines as it sees fit; a take and free costs 3 to 5%
// more instructions when they are shared with another file.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <compare>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "localcluster/ls/ls_engine.h"
#include "localcluster/ls/ls_index.h"
#include "localcluster/ls/ls_room.h"

namespace {

constexpr uint64_t kMax = UINT64_MAX;

uint64_t now_us() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

bool is_point(const lc_ls_range& r) { return r.flavour == LC_LS_WINDOWS && r.len == 0; }

// The last byte a valid range covers; a Windows point's is its offset.
uint64_t last_of(const lc_ls_range& r) {
    if (r.len == 0) return r.flavour == LC_LS_POSIX ? kMax : r.start;
    return r.start + (r.len - 1);
}

// A POSIX segment's length as reported: 0 when it reaches the end.
uint64_t segment_len(uint64_t start, uint64_t last) { return last == kMax ? 0 : last - start + 1; }

struct Node;

// One distinct caller name. Every held lock and queued request of that
// name points at it and is listed on it, so that free-all visits only the
// caller's own entries.
struct CallerRec {
    size_t held = 0;
    size_t queued = 0;
    size_t pins = 0;  // requests being served that carry the name
    Node* held_list = nullptr;
    Node* queued_list = nullptr;
    lc_ls_room_waits_slot waits;  // its requests that wait for room under its own caps

    bool unused() const { return held == 0 && queued == 0 && pins == 0; }
};
// Ordered rather than hashed: a peer picks the names and items, and could
// pick them to collide.
using CallerMap = std::map<std::string, CallerRec>;
using Caller = CallerMap::value_type;

// One distinct item list, shared by every entry that carries it.
struct ItemsRec {
    size_t refs = 0;  // entries in the tables and requests being served
};
using ItemsMap = std::map<std::vector<std::string>, ItemsRec>;
using Items = ItemsMap::value_type;

size_t items_bytes(const std::vector<std::string>& items) {
    size_t n = 0;
    for (const std::string& i : items) n += i.size();
    return n;
}

// An owner as the tables keep it. `caller` is null for a name under which
// nothing is held or queued: such an owner is nobody's equal.
struct Own {
    Caller* caller = nullptr;
    uint64_t owner_id = 0;
    uint32_t caller_id = 0;
    lc_ls_addr addr{};
};

// A held lock or queued request as the tables keep it: its name and items
// are the engine's shared copies, so equal names and equal item lists are
// equal pointers.
struct Lk {
    uint64_t id = 0;
    Own owner;
    lc_ls_range range;
    uint64_t last = 0;
    Items* items = nullptr;
    uint64_t grant_us = 0;
};

lc_ls_lock to_public(const Lk& l) {
    lc_ls_lock p;
    p.id = l.id;
    if (l.owner.caller) p.owner.caller = l.owner.caller->first;
    p.owner.owner_id = l.owner.owner_id;
    p.owner.caller_id = l.owner.caller_id;
    p.owner.addr = l.owner.addr;
    p.range = l.range;
    p.last = l.last;
    if (l.items) p.items = l.items->first;
    p.grant_us = l.grant_us;
    return p;
}

struct FileKey {
    uint64_t fs_id;
    uint64_t fh;
    auto operator<=>(const FileKey&) const = default;
};

// A byte-range owner on one file, as its own index is keyed: the caller
// record's address stands for the name.
struct OwnKey {
    uintptr_t caller;
    uint64_t owner_id;
    auto operator<=>(const OwnKey&) const = default;
};

// One held lock or one queued request. A held lock is in two indexes: its
// file's tree of its type and shape (`at`, keyed by id) and its owner's
// tree of its flavour on that file (`own`), so that what one owner does to
// its own segments never looks at another owner's. A queued request is in
// its file's queue (`at`, keyed by its sequence).
struct Node {
    Lk lock;  // id 0 while queued
    lc_ls_ivnode at;
    lc_ls_ivnode own;
    lc_ls_addr waiter{};  // queued only
    Node* cprev = nullptr;  // in its caller's list of held or of queued entries
    Node* cnext = nullptr;

    uint64_t seq() const { return at.key; }
};

Node* node_of(const lc_ls_ivnode* x) { return static_cast<Node*>(x->obj); }

bool before(const Node* a, const Node* b) {
    return a->lock.range.start < b->lock.range.start ||
           (a->lock.range.start == b->lock.range.start && a->lock.id < b->lock.id);
}

// An owner's held locks on one file, and the bytes where two of its POSIX
// segments touch but are kept apart by a point there.
struct OwnTrees {
    lc_ls_ivtree posix;
    lc_ls_ivtree windows;
    std::set<uint64_t> apart_at;
};

struct File {
    lc_ls_ivtree held[2][2];  // [exclusive][Windows point]
    lc_ls_ivtree queued;
    // The file's rooms, shared among the names on it: of its entries,
    // held and queued, and of its queue. Its requests that wait for room:
    // those that wait in its room, and every one of them by owner, so that
    // a change of an owner's segments, which may change what its requests'
    // grants would add, looks at them.
    lc_ls_shared_room room, queue;
    lc_ls_room_waits_slot waits;
    std::set<std::pair<OwnKey, uint64_t>> waiting;
    std::map<OwnKey, OwnTrees> owners;
    // The owners whose segments touch at a byte and stay apart because a
    // point there would meet the joined segment; joined when the last such
    // point goes.
    std::map<uint64_t, std::set<OwnKey>> apart;
    std::vector<uint64_t> gone_points;  // offsets of points released since the last rejoin
    size_t nheld = 0;
    size_t nqueued = 0;

    lc_ls_ivtree& tree_of(const Lk& l) { return held[l.range.type == LC_LS_EXCLUSIVE][is_point(l.range)]; }
    bool empty() const { return nheld == 0 && nqueued == 0; }
};

void list_push(Node** head, Node* n) {
    n->cprev = nullptr;
    n->cnext = *head;
    if (*head) (*head)->cprev = n;
    *head = n;
}

void list_erase(Node** head, Node* n) {
    (n->cprev ? n->cprev->cnext : *head) = n->cnext;
    if (n->cnext) n->cnext->cprev = n->cprev;
    n->cprev = n->cnext = nullptr;
}

struct ShareHolder {
    lc_ls_share_owner owner;
    uint32_t mode;
    uint32_t access;
};

bool same_owner(const Own& a, const Own& b) {
    return a.owner_id == b.owner_id && a.caller && a.caller == b.caller;
}

OwnKey key_of(const Own& o) { return OwnKey{reinterpret_cast<uintptr_t>(o.caller), o.owner_id}; }

bool same_share_owner(const lc_ls_share_owner& a, const lc_ls_share_owner& b) {
    return a.caller == b.caller && a.handle == b.handle;
}

bool same_request(const Lk& q, const Own& o, const lc_ls_range& r) {
    return same_owner(q.owner, o) && q.range.start == r.start && q.range.len == r.len &&
           q.range.flavour == r.flavour;
}

// The bytes whose holding a release weakened.
struct Span {
    uint64_t lo, hi;
};

void set_bytes(lc_ls_ivnode* x, Node* n, uint64_t key) {
    x->start = n->lock.range.start;
    x->last = n->lock.last;
    x->key = key;
    x->obj = n;
}

// The rooms the limits make: a caller name's own, for what it holds and
// what it has queued; a file's and the server's, shared among names.
struct Rules {
    lc_ls_room_rule caller, caller_queue, file, file_queue, server;
};

Rules rules_of(const lc_ls_limits& l) {
    return Rules{lc_ls_room_own(l.held_per_caller), lc_ls_room_own(l.queued_per_caller),
                 lc_ls_room_shared(l.held_per_file), lc_ls_room_shared(l.queued_per_file),
                 lc_ls_room_shared(l.entries_total)};
}

}  // namespace

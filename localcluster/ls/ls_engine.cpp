#include "localcluster/ls/ls_engine.h"

#include <stdio.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "localcluster/common/json.h"
#include "localcluster/ls/ls_index.h"
#include "localcluster/ls/ls_records.h"
#include "localcluster/ls/ls_room.h"

struct lc_ls_engine {
    std::mutex mu;
    uint32_t boot_tag;
    lc_ls_breaks breaks;
    lc_ls_limits limits;
    Rules rules = rules_of(limits);
    uint64_t next_id = 1;
    uint64_t next_seq = 1;
    uint64_t tree_seed = 0;  // of the indexes' priorities: random, never shown
    std::map<FileKey, File> files;
    std::map<uint64_t, Node*> by_id;   // every held lock
    std::map<uint64_t, Node*> by_seq;  // every queued request, oldest first
    // The server's room: held locks, queued requests and share locks, of
    // byte-range callers and share callers (each name counted apart).
    lc_ls_room room;
    lc_ls_room_waits_slot waits;  // the requests that wait for the server's room
    // Queued requests that conflict with nothing any more but would hold
    // more than the caps allow, each waiting in a room it lacks: granted
    // when room is made there.
    lc_ls_waits waiting;
    // Owners with requests waiting for room whose segments changed during
    // this request: their requests' grants may add less now.
    std::vector<std::pair<FileKey, OwnKey>> touched;
    CallerMap callers;
    ItemsMap item_lists;
    size_t interned_bytes = 0;  // of the names in `callers` and the lists in `item_lists`
    std::map<uint64_t, std::vector<ShareHolder>> shares;  // by fh, in grant order
    size_t share_entries = 0;
    size_t share_bytes = 0;  // their names and handles
    std::map<std::string, size_t, std::less<>> share_counts;  // by caller name
    // Names and item lists whose last user went during this request: they
    // are dropped at its end, when no entry of the request can still point
    // at them.
    std::vector<Caller*> idle_callers;
    std::vector<Items*> idle_items;

    ~lc_ls_engine() {
        for (auto& [id, n] : by_id) delete n;
        for (auto& [seq, n] : by_seq) delete n;
    }

    // ------------------------------------------------------------ overlap and conflict

    // Whether the Windows point X lies inside r.
    bool point_in(uint64_t x, const Lk& r) const {
        if (r.range.flavour == LC_LS_WINDOWS && r.range.len == 0) return false;  // two points never meet
        if (breaks.zero_len_conflicts_at_start) return x >= r.range.start && x <= r.last;
        return x > r.range.start && x <= r.last;
    }

    bool overlap(const Lk& a, const Lk& b) const {
        bool pa = is_point(a.range), pb = is_point(b.range);
        if (pa) return point_in(a.range.start, b);
        if (pb) return point_in(b.range.start, a);
        return a.range.start <= b.last && b.range.start <= a.last;
    }

    // Whether request r conflicts with held lock l (same file).
    bool conflicts(const Lk& r, const Lk& l) const {
        if (!overlap(r, l)) return false;
        if (r.range.type == LC_LS_SHARED && l.range.type == LC_LS_SHARED) return false;
        if (!same_owner(r.owner, l.owner) || r.range.flavour != l.range.flavour) return true;
        // The owner's own lock of the same flavour.
        if (r.range.flavour == LC_LS_POSIX) return false;  // a re-take replaces
        return r.range.type == LC_LS_EXCLUSIVE && !breaks.win_excl_ignores_own;
    }

    // The first conflicting held lock: lowest start, then lowest id. Only
    // the trees whose type can conflict are asked (a shared request meets
    // no shared lock in conflict), each over exactly the bytes where one of
    // its entries would meet the request, so that the cost is that of the
    // locks in conflict and of the requester's own.
    const Node* find_conflict(File& f, const Lk& r) const {
        const Node* best = nullptr;
        auto first_in = [&](const lc_ls_ivtree& t, uint64_t lo, uint64_t hi) {
            lc_ls_iv_meeting(t.root, lo, hi, [&](lc_ls_ivnode* x) {
                const Node* n = node_of(x);
                if (!conflicts(r, n->lock)) return true;
                if (!best || before(n, best)) best = n;
                return false;
            });
        };
        const bool at_start = breaks.zero_len_conflicts_at_start;
        const uint64_t s = r.range.start;
        for (int excl = 1; excl >= (r.range.type == LC_LS_EXCLUSIVE ? 0 : 1); excl--) {
            if (is_point(r.range)) {
                // Ranges that hold the point past their first byte: start
                // at s - 1 or before, last at s or past. Points never meet.
                if (at_start) first_in(f.held[excl][0], s, s);
                else if (s > 0) first_in(f.held[excl][0], s, s - 1);
                continue;
            }
            first_in(f.held[excl][0], s, r.last);
            // Points past the range's first byte, up to its last.
            if (at_start) first_in(f.held[excl][1], s, r.last);
            else if (s < r.last) first_in(f.held[excl][1], s + 1, r.last);
        }
        return best;
    }

    // Whether a point at x would meet a POSIX segment of `type` that holds
    // x past its first byte: an exclusive point would, and any point would
    // meet an exclusive segment.
    bool point_blocks(File& f, uint64_t x, uint32_t type) const {
        auto found = [](lc_ls_ivnode*) { return false; };
        if (!lc_ls_iv_starting(f.held[1][1].root, x, x, found)) return true;
        return type == LC_LS_EXCLUSIVE && !lc_ls_iv_starting(f.held[0][1].root, x, x, found);
    }

    // ------------------------------------------------------------ held locks

    OwnTrees* own_trees(File& f, const Own& o) {
        if (!o.caller) return nullptr;
        auto it = f.owners.find(key_of(o));
        return it == f.owners.end() ? nullptr : &it->second;
    }

    void hold(File& f, Node* n) {
        set_bytes(&n->at, n, n->lock.id);
        set_bytes(&n->own, n, n->lock.id);
        lc_ls_iv_insert(&f.tree_of(n->lock), &n->at, tree_seed);
        OwnTrees& t = f.owners[key_of(n->lock.owner)];
        lc_ls_iv_insert(n->lock.range.flavour == LC_LS_POSIX ? &t.posix : &t.windows, &n->own, tree_seed);
        if (n->lock.range.flavour == LC_LS_POSIX && !breaks.posix_no_merge) note_apart(f, n->lock);
        by_id[n->lock.id] = n;
        f.nheld++;
        count_up(f, n, false);
    }

    // Unlinks a held lock; the caller owns the node. A joint where the
    // segment was kept apart from another goes with it (a remnant held
    // again there is recorded again), so that no record outlives the
    // segments at its joint; an owner left with nothing on the file loses
    // its record there.
    Node* unhold(File& f, Node* n) {
        lc_ls_iv_erase(&f.tree_of(n->lock), &n->at);
        OwnKey k = key_of(n->lock.owner);
        auto oit = f.owners.find(k);
        OwnTrees& t = oit->second;
        lc_ls_iv_erase(n->lock.range.flavour == LC_LS_POSIX ? &t.posix : &t.windows, &n->own);
        if (!t.apart_at.empty() && n->lock.range.flavour == LC_LS_POSIX) {
            if (n->lock.range.start > 0) forget_apart(f, k, n->lock.range.start);
            if (n->lock.last < kMax) forget_apart(f, k, n->lock.last + 1);
        }
        if (t.posix.size == 0 && t.windows.size == 0) f.owners.erase(oit);
        if (is_point(n->lock.range)) f.gone_points.push_back(n->lock.range.start);
        by_id.erase(n->lock.id);
        f.nheld--;
        count_down(f, n, false);
        return n;
    }

    // ------------------------------------------------------------ shared names and items

    size_t entries() const { return by_id.size() + by_seq.size() + share_entries; }
    size_t bytes() const { return interned_bytes + share_bytes; }

    // The caller record of a name, or null when nothing is held or queued
    // under it.
    Caller* find_caller(std::string_view name) {
        auto it = callers.find(std::string(name));
        return it == callers.end() ? nullptr : &*it;
    }

    // The shared copies a request being served points at, made when new
    // (*fresh then set); they stay until unpin().
    Caller* pin_caller(const std::string& name, bool* fresh) {
        auto [it, made] = callers.try_emplace(name);
        if (made) interned_bytes += name.size();
        *fresh = *fresh || made;
        it->second.pins++;
        return &*it;
    }

    Items* pin_items(const std::vector<std::string>& items, bool* fresh) {
        auto [it, made] = item_lists.try_emplace(items);
        if (made) interned_bytes += items_bytes(items);
        *fresh = *fresh || made;
        it->second.refs++;
        return &*it;
    }

    void unpin(const Lk& l) {
        if (l.owner.caller && --l.owner.caller->second.pins == 0 && l.owner.caller->second.unused())
            idle_callers.push_back(l.owner.caller);
        if (l.items) drop_items_ref(l.items);
    }

    void drop_items_ref(Items* i) {
        if (--i->second.refs == 0) idle_items.push_back(i);
    }

    // An entry of n's caller comes to f or goes, held or queued: it is
    // listed on its caller, and counted in the rooms.
    void count_up(File& f, Node* n, bool queued) {
        CallerRec& c = n->lock.owner.caller->second;
        list_push(queued ? &c.queued_list : &c.held_list, n);
        n->lock.items->second.refs++;
        count(f, n, queued, true);
    }

    void count_down(File& f, Node* n, bool queued) {
        Caller* c = n->lock.owner.caller;
        CallerRec& r = c->second;
        list_erase(queued ? &r.queued_list : &r.held_list, n);
        count(f, n, queued, false);
        if (r.unused()) idle_callers.push_back(c);
        drop_items_ref(n->lock.items);
    }

    // Drops the names and item lists that no entry and no request uses any
    // more. Called at the end of every request.
    void sweep() {
        std::sort(idle_callers.begin(), idle_callers.end());
        idle_callers.erase(std::unique(idle_callers.begin(), idle_callers.end()), idle_callers.end());
        for (Caller* c : idle_callers) {
            if (!c->second.unused()) continue;
            interned_bytes -= c->first.size();
            callers.erase(c->first);
        }
        idle_callers.clear();
        std::sort(idle_items.begin(), idle_items.end());
        idle_items.erase(std::unique(idle_items.begin(), idle_items.end()), idle_items.end());
        for (Items* i : idle_items) {
            if (i->second.refs != 0) continue;
            interned_bytes -= items_bytes(i->first);
            item_lists.erase(i->first);
        }
        idle_items.clear();
    }

    Lk make_lock(const Own& o, const lc_ls_range& r, Items* items) {
        Lk l;
        l.owner = o;
        l.range = r;
        l.last = last_of(r);
        // --break ls-posix-eof-short
        if (breaks.posix_eof_short && r.flavour == LC_LS_POSIX && r.len == 0 && r.start < kMax) l.last = kMax - 1;
        l.items = items;
        return l;
    }

    // ------------------------------------------------------------ caps

    // How many held entries granting `r` now would add (or, below 0, save):
    // the new segment, less the owner's segments it replaces, plus the
    // remnants of those that reach past it, less the joins with what
    // touches it. A re-take inside the owner's own segment adds nothing.
    int64_t grant_delta(File& f, const Lk& r) {
        if (r.range.flavour == LC_LS_WINDOWS || breaks.posix_no_merge) return 1;
        const uint64_t s = r.range.start, e = r.last;
        int64_t d = 1;
        const Node *left = nullptr, *right = nullptr;  // what touches the new segment once it is in
        if (OwnTrees* t = own_trees(f, r.owner)) {
            lc_ls_iv_meeting(t->posix.root, s, e, [&](lc_ls_ivnode* x) {
                const Node* n = node_of(x);
                d--;
                if (n->lock.range.start < s) {
                    d++;
                    left = n;
                }
                if (n->lock.last > e) {
                    d++;
                    right = n;
                }
            });
            if (!left && s > 0) left = own_segment_ending(*t, s - 1);
            if (!right && e < kMax) right = own_segment_starting(*t, e + 1);
        }
        auto joins = [&](const Node* n, uint64_t x) {
            return n && n->lock.range.type == r.range.type && n->lock.items == r.items &&
                   !point_blocks(f, x, r.range.type);
        };
        if (joins(left, s)) d--;
        if (e < kMax && joins(right, e + 1)) d--;
        return d;
    }

    // One entry of n's caller comes or goes on f, held or queued: the
    // rooms it counts in follow, and room made where requests wait is
    // marked for them.
    void count(File& f, Node* n, bool queued, bool add) {
        Caller* who = n->lock.owner.caller;
        CallerRec& c = who->second;
        const size_t load = c.held + c.queued;
        size_t& mine = queued ? c.queued : c.held;
        mine = add ? mine + 1 : mine - 1;
        if (!add) lc_ls_waits_made(&waiting, &c.waits);
        lc_ls_waits_made(&waiting, &waits, lc_ls_room_move(&room, rules.server, load, c.held + c.queued));
        lc_ls_waits_made(&waiting, &f.waits, lc_ls_shared_count(&f.room, rules.file, who, add));
        if (queued) lc_ls_shared_count(&f.queue, rules.file_queue, who, add);
        // What a waiting request's grant adds depends on its owner's POSIX
        // segments only.
        if (!queued && n->lock.range.flavour == LC_LS_POSIX && !f.waiting.empty()) touch(f, n);
    }

    void touch(const File& f, const Node* n) {
        OwnKey k = key_of(n->lock.owner);
        auto it = f.waiting.lower_bound({k, 0});
        if (it == f.waiting.end() || it->first != k) return;
        std::pair<FileKey, OwnKey> t{FileKey{n->lock.range.fs_id, n->lock.range.fh}, k};
        if (touched.empty() || touched.back() != t) touched.push_back(t);
    }

    size_t share_count(std::string_view caller) const {
        auto it = share_counts.find(caller);
        return it == share_counts.end() ? 0 : it->second;
    }

    // A share lock of the caller name comes or goes.
    void count_share(const std::string& caller, bool add) {
        auto it = share_counts.try_emplace(caller).first;
        const size_t before = it->second;
        it->second = add ? before + 1 : before - 1;
        share_entries = add ? share_entries + 1 : share_entries - 1;
        lc_ls_waits_made(&waiting, &waits, lc_ls_room_move(&room, rules.server, before, it->second));
        if (it->second == 0) share_counts.erase(it);
    }

    // The rooms an entry of the caller name on f counts in, in the order
    // they are looked at: its own, the file's, the server's. What the name
    // holds on the file counts only when `add` more would pass the open
    // room, and is looked up only then.
    std::array<lc_ls_room_use, 3> rooms_of(File& f, Caller* who, size_t add) {
        CallerRec& c = who->second;
        const size_t load = c.held + c.queued;
        const size_t on_file = f.room.room.used + add <= rules.file.open ? 0 : lc_ls_shared_load(&f.room, who);
        return {lc_ls_room_use{&c.waits, lc_ls_room{load, 0}, &rules.caller, load},
                lc_ls_room_use{&f.waits, f.room.room, &rules.file, on_file},
                lc_ls_room_use{&waits, room, &rules.server, load}};
    }

    // The first room the caller name lacks to add `add` entries on f,
    // added `how`; none when it has them all.
    lc_ls_wait_place lacking(File& f, Caller* who, size_t add, lc_ls_adding how) {
        std::array<lc_ls_room_use, 3> rooms = rooms_of(f, who, add);
        return lc_ls_rooms_lacking(rooms.data(), rooms.size(), add, how);
    }

    bool fits(File& f, Caller* who, size_t add, lc_ls_adding how) { return !lacking(f, who, add, how).slot; }

    // Whether the take `r` adding `delta` held entries fits: what is held
    // and what waits (which, granted, is held) stay within the rooms of
    // the caller, the file and the server. A take that adds nothing always
    // fits, unless it brings new bytes past the byte cap.
    bool take_fits(File& f, const Lk& r, int64_t delta, bool fresh) {
        if (fresh && bytes() > limits.bytes_total) return false;
        return delta <= 0 || fits(f, r.owner.caller, size_t(delta), LC_LS_ADD_TAKE) ||
               downgrade_fits(f, r, size_t(delta));
    }

    // Whether the take `r`, which does not fit as a take, is a downgrade
    // that fits: shared, over bytes all held by its owner's POSIX segments
    // of its items, so that it gives up what the owner holds and changes
    // nothing else. Out of line, so that a take that fits stays as cheap
    // as it was.
    __attribute__((noinline)) bool downgrade_fits(File& f, const Lk& r, size_t add) {
        if (r.range.flavour != LC_LS_POSIX || r.range.type != LC_LS_SHARED || breaks.posix_no_merge) return false;
        OwnTrees* t = own_trees(f, r.owner);
        bool whole = false;
        uint64_t next = r.range.start;  // the first byte not found held yet
        if (t)
            lc_ls_iv_meeting(t->posix.root, r.range.start, r.last, [&](lc_ls_ivnode* x) {
                if (x->start > next || node_of(x)->lock.items != r.items) return false;
                whole = x->last >= r.last;
                next = x->last + 1;
                return !whole;
            });
        return whole && fits(f, r.owner.caller, add, LC_LS_ADD_DOWNGRADE);
    }

    // Whether one more request may wait: within the queue rooms of the
    // caller and the file, and with room to be held when granted.
    bool queue_fits(File& f, const Own& o, bool fresh) {
        if (fresh && bytes() > limits.bytes_total) return false;
        const CallerRec& c = o.caller->second;
        return lc_ls_room_fits(lc_ls_room{c.queued, 0}, rules.caller_queue, c.queued, 1, LC_LS_ADD_TAKE) &&
               lc_ls_room_fits(f.queue.room, rules.file_queue, lc_ls_shared_load(&f.queue, o.caller), 1,
                               LC_LS_ADD_TAKE) &&
               fits(f, o.caller, 1, LC_LS_ADD_TAKE);
    }

    // Whether a queued request may be held now, adding `delta` held
    // entries in place of its queue entry, whose room it holds.
    bool regrant_fits(File& f, const Lk& q, int64_t delta) {
        return delta <= 1 || fits(f, q.owner.caller, size_t(delta - 1), LC_LS_ADD_TAKE);
    }

    // Whether an unlock that splits a segment, adding one entry, fits. It
    // may go past the caps, up to the split bounds of the rooms (twice the
    // caller's own caps), and past any room shared among names for a name
    // left with next to nothing there: refusing it at the cap would fail
    // an unlock for lack of the room it frees; without a bound one name
    // could grow the tables without end by unlocking byte after byte of
    // one segment.
    bool split_fits(File& f, const Own& o) { return fits(f, o.caller, 1, LC_LS_ADD_SPLIT); }

    // ------------------------------------------------------------ POSIX segments

    static const Node* own_segment_ending(const OwnTrees& t, uint64_t at) {
        const Node* found = nullptr;
        lc_ls_iv_meeting(t.posix.root, at, at, [&](lc_ls_ivnode* x) {
            if (x->last != at) return true;
            found = node_of(x);
            return false;
        });
        return found;
    }

    static const Node* own_segment_starting(const OwnTrees& t, uint64_t at) {
        const Node* found = nullptr;
        lc_ls_iv_starting(t.posix.root, at, at, [&](lc_ls_ivnode* x) {
            found = node_of(x);
            return false;
        });
        return found;
    }

    // Assigns the lock its id and grant time and holds it. The bytes it
    // took over from the owner's own POSIX segments go to *weakened.
    void grant(File& f, Lk l, std::vector<Span>* weakened) {
        l.id = next_id++;
        l.grant_us = now_us();
        if (l.range.flavour == LC_LS_WINDOWS || breaks.posix_no_merge) {
            auto* n = new Node;
            n->lock = std::move(l);
            return hold(f, n);
        }
        if (posix_cut(f, l.owner, l.range.start, l.last)) weakened->push_back(Span{l.range.start, l.last});
        l.range.len = segment_len(l.range.start, l.last);
        posix_coalesce(f, std::move(l));
    }

    // Removes the owner's POSIX coverage of [s, e], splitting segments that
    // reach beyond it. Whether any byte was covered.
    bool posix_cut(File& f, const Own& o, uint64_t s, uint64_t e) {
        std::vector<Node*> hit;
        if (OwnTrees* t = own_trees(f, o))
            lc_ls_iv_meeting(t->posix.root, s, e, [&](lc_ls_ivnode* x) { hit.push_back(node_of(x)); });
        // All out before any remnant goes back, so that the owner's tree is
        // not changed under the walk.
        for (Node* n : hit) unhold(f, n);
        for (Node* n : hit) {
            Lk& seg = n->lock;
            bool left = seg.range.start < s;
            if (seg.last > e) {
                auto* right = new Node;
                right->lock = seg;
                right->lock.id = left ? next_id++ : seg.id;
                right->lock.range.start = e + 1;
                right->lock.range.len = segment_len(e + 1, seg.last);
                hold(f, right);
            }
            if (left) {
                seg.last = s - 1;
                seg.range.len = segment_len(seg.range.start, seg.last);
                hold(f, n);
            } else {
                delete n;
            }
        }
        return !hit.empty();
    }

    // The owner's segment of the type and items of `l` that ends at s - 1
    // (side 0) or starts at e + 1 (side 1).
    Node* neighbour(File& f, const Lk& l, int side) {
        if (side == 0 ? l.range.start == 0 : l.last == kMax) return nullptr;
        OwnTrees* t = own_trees(f, l.owner);
        if (!t) return nullptr;
        const Node* c = side == 0 ? own_segment_ending(*t, l.range.start - 1) : own_segment_starting(*t, l.last + 1);
        if (!c || c->lock.range.type != l.range.type || c->lock.items != l.items) return nullptr;
        return const_cast<Node*>(c);
    }

    // Records the joints where the owner's segment `l`, just held, touches
    // one of its segments of the same type and items: they stay apart
    // there, while a point at the joint would meet the joined segment or
    // until the rejoin after points went. Only then can two such segments
    // be held: elsewhere they are joined as they come.
    void note_apart(File& f, const Lk& l) {
        for (int side = 0; side < 2; side++) {
            if (side == 0 ? l.range.start == 0 : l.last == kMax) continue;
            uint64_t x = side == 0 ? l.range.start : l.last + 1;
            if (f.gone_points.empty() && !point_blocks(f, x, l.range.type)) continue;
            if (!neighbour(f, l, side)) continue;
            OwnKey k = key_of(l.owner);
            f.apart[x].insert(k);
            f.owners[k].apart_at.insert(x);
        }
    }

    void forget_apart(File& f, const OwnKey& k, uint64_t x) {
        auto a = f.apart.find(x);
        if (a != f.apart.end()) {
            a->second.erase(k);
            if (a->second.empty()) f.apart.erase(a);
        }
        auto o = f.owners.find(k);
        if (o != f.owners.end()) o->second.apart_at.erase(x);
    }

    // Holds the new segment `l`, joined with the owner's segments that touch
    // it with the same type and the same items, unless a point at the joint
    // would meet the joined segment. The joined segment keeps the oldest id.
    void posix_coalesce(File& f, Lk l) {
        for (int side = 0; side < 2; side++) {
            // Looked up afresh on each side: the first join may have
            // dropped the owner's record along with the neighbour.
            Node* n = neighbour(f, l, side);
            if (!n) continue;
            uint64_t x = side == 0 ? l.range.start : l.last + 1;
            if (point_blocks(f, x, l.range.type)) continue;  // recorded when held
            l.range.start = std::min(l.range.start, n->lock.range.start);
            l.last = std::max(l.last, n->lock.last);
            if (n->lock.id < l.id) {
                l.id = n->lock.id;
                l.grant_us = n->lock.grant_us;
            }
            delete unhold(f, n);
        }
        l.range.len = segment_len(l.range.start, l.last);
        auto* n = new Node;
        n->lock = std::move(l);
        hold(f, n);
    }

    // Joins the segments kept apart at the bytes where a point went, when
    // no point left there would meet the joined segment: what is held then
    // is what the same locks taken without the point would hold. The
    // offsets stay in gone_points until the end, so that a join that
    // brings a segment to another joint where a point went records it
    // there, to be joined in turn.
    void rejoin(File& f) {
        if (f.gone_points.empty()) return;
        std::vector<uint64_t>& xs = f.gone_points;
        std::sort(xs.begin(), xs.end());
        xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
        for (size_t i = 0; i < xs.size(); i++) {  // joins let go of segments only, never of points
            uint64_t x = xs[i];
            auto a = f.apart.find(x);
            if (a == f.apart.end()) continue;
            std::vector<OwnKey> keys(a->second.begin(), a->second.end());
            for (const OwnKey& k : keys) {
                auto o = f.owners.find(k);
                const Node *left = nullptr, *right = nullptr;
                if (o != f.owners.end() && x > 0) {
                    left = own_segment_ending(o->second, x - 1);
                    right = own_segment_starting(o->second, x);
                }
                bool joinable = left && right && left->lock.range.type == right->lock.range.type &&
                                left->lock.items == right->lock.items;
                if (joinable && point_blocks(f, x, left->lock.range.type)) continue;
                forget_apart(f, k, x);
                if (joinable) join(f, const_cast<Node*>(left), const_cast<Node*>(right));
            }
        }
        xs.clear();
    }

    void join(File& f, Node* left, Node* right) {
        Lk l = left->lock;
        const Lk& r = right->lock;
        l.last = r.last;
        if (r.id < l.id) {
            l.id = r.id;
            l.grant_us = r.grant_us;
        }
        l.range.len = segment_len(l.range.start, l.last);
        delete unhold(f, right);
        delete unhold(f, left);
        auto* n = new Node;
        n->lock = l;
        hold(f, n);
    }

    // ------------------------------------------------------------ queued requests

    void enqueue(File& f, Node* n) {
        n->lock.id = 0;
        set_bytes(&n->at, n, next_seq++);
        lc_ls_iv_insert(&f.queued, &n->at, tree_seed);
        by_seq[n->seq()] = n;
        f.nqueued++;
        count_up(f, n, true);
    }

    Node* dequeue(File& f, Node* n) {
        unwait(f, n);
        lc_ls_iv_erase(&f.queued, &n->at);
        by_seq.erase(n->seq());
        f.nqueued--;
        count_down(f, n, true);
        return n;
    }

    // The queued request waits for room in `p`, which it lacks.
    void wait_in(File& f, Node* n, lc_ls_wait_place p) {
        lc_ls_waits_file(&waiting, n->seq(), p);
        f.waiting.emplace(key_of(n->lock.owner), n->seq());
    }

    void unwait(File& f, Node* n) {
        if (f.waiting.erase({key_of(n->lock.owner), n->seq()})) lc_ls_waits_drop(&waiting, n->seq());
    }

    Node* find_queued(File& f, const Own& o, const lc_ls_range& r) {
        Node* found = nullptr;
        lc_ls_iv_starting(f.queued.root, r.start, r.start, [&](lc_ls_ivnode* x) {
            if (!same_request(node_of(x)->lock, o, r)) return true;
            found = node_of(x);
            return false;
        });
        return found;
    }

    // Tries to hold the queued request `n`: not while it conflicts, and
    // not past the held caps (it then waits for room). True when granted;
    // the bytes its grant took over from its owner go to *more.
    bool try_grant(File& f, Node* n, std::vector<Span>* more) {
        if (find_conflict(f, n->lock)) {
            // Woken again by the release of what it meets.
            unwait(f, n);
            return false;
        }
        // Its queue entry holds the room of one held entry.
        if (int64_t delta = grant_delta(f, n->lock); delta > 1) {
            if (lc_ls_wait_place p = lacking(f, n->lock.owner.caller, size_t(delta - 1), LC_LS_ADD_TAKE); p.slot) {
                wait_in(f, n, p);
                return false;
            }
        }
        dequeue(f, n);
        grant(f, std::move(n->lock), more);
        delete n;
        return true;
    }

    // Grants the queued requests of a file that no longer conflict, oldest
    // first, looking only at those whose bytes meet what was weakened, each
    // once however many of the weakened spans it meets. A grant may weaken
    // the owner's own segments and free a request already passed over: that
    // one is looked at again in a later round, as a walk of the whole queue
    // would repeat until it grants nothing. Segments kept apart by points
    // that went are joined first, as they would have been had the points
    // never been there.
    void regrant(File& f, std::vector<Span> weakened) {
        rejoin(f);
        if (f.nqueued == 0 || weakened.empty()) return;
        // Widened by one, so that a point just past a span, which meets a
        // range only past its first byte, is looked at too; then merged.
        for (Span& s : weakened)
            if (s.hi < kMax) s.hi++;
        std::sort(weakened.begin(), weakened.end(), [](const Span& a, const Span& b) { return a.lo < b.lo; });
        std::vector<uint64_t> los, his;
        for (const Span& s : weakened) {
            if (!his.empty() && (his.back() == kMax || s.lo <= his.back() + 1)) {
                his.back() = std::max(his.back(), s.hi);
                continue;
            }
            los.push_back(s.lo);
            his.push_back(s.hi);
        }
        std::set<uint64_t> now, later;
        uint64_t at = 0;
        lc_ls_iv_meeting_any(f.queued.root, los.data(), his.data(), los.size(),
                             [&](lc_ls_ivnode* x) { now.insert(x->key); });
        auto collect = [&](const Span& s) {
            uint64_t hi = s.hi == kMax ? kMax : s.hi + 1;
            lc_ls_iv_meeting(f.queued.root, s.lo, hi, [&](lc_ls_ivnode* x) { (x->key > at ? now : later).insert(x->key); });
        };
        while (!now.empty() || !later.empty()) {
            if (now.empty()) {
                now.swap(later);
                at = 0;
            }
            at = *now.begin();
            now.erase(now.begin());
            auto it = by_seq.find(at);
            if (it == by_seq.end()) continue;
            std::vector<Span> more;
            if (!try_grant(f, it->second, &more)) continue;
            for (const Span& s : more) collect(s);
        }
    }

    // Looks at the requests waiting for room where room was made, and at
    // those whose owners' segments changed, oldest first; each grant may
    // make more.
    void retry_room() {
        if (waiting.made.empty() && waiting.again.empty() && touched.empty()) return;
        flush_touched();
        lc_ls_waits_retry(&waiting, try_waiting, this);
    }

    static lc_ls_try try_waiting(void* ctx, uint64_t seq) {
        auto* e = static_cast<lc_ls_engine*>(ctx);
        auto it = e->by_seq.find(seq);
        if (it == e->by_seq.end()) return LC_LS_TRY_DONE;
        Node* n = it->second;
        File& f = e->files.find(FileKey{n->lock.range.fs_id, n->lock.range.fh})->second;
        std::vector<Span> more;
        bool held = e->try_grant(f, n, &more);
        if (held) e->regrant(f, std::move(more));
        e->flush_touched();
        return held || !lc_ls_waits_where(&e->waiting, seq).slot ? LC_LS_TRY_DONE : LC_LS_TRY_WAITS;
    }

    void flush_touched() {
        if (touched.empty()) return;
        std::sort(touched.begin(), touched.end());
        touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
        for (const auto& [fk, ok] : touched) {
            auto fit = files.find(fk);
            if (fit == files.end()) continue;
            const auto& w = fit->second.waiting;
            for (auto it = w.lower_bound({ok, 0}); it != w.end() && it->first == ok; ++it)
                waiting.again.insert(it->second);
        }
        touched.clear();
    }

    void drop_if_empty(std::map<FileKey, File>::iterator it) {
        if (it->second.empty()) files.erase(it);
    }

    // Whether the caller index, the counts and the shared copies agree with
    // the entries: empty, or the first fault found.
    std::string check_shared() {
        std::map<const Items*, size_t> item_users;
        std::set<const Node*> listed;
        size_t bytes = 0, held = 0, queued = 0;
        for (auto& c : callers) {
            const std::string& name = c.first;
            const CallerRec& r = c.second;
            if (r.pins != 0) return "caller " + name + " still pinned";
            if (r.held == 0 && r.queued == 0) return "caller " + name + " kept with nothing held or queued";
            bytes += name.size();
            for (int q = 0; q < 2; q++) {
                size_t n = 0;
                const Node* prev = nullptr;
                for (const Node* x = q ? r.queued_list : r.held_list; x; prev = x, x = x->cnext, n++) {
                    if (x->cprev != prev) return "caller " + name + " list broken";
                    if (x->lock.owner.caller != &c) return "caller " + name + " lists another's entry";
                    const auto& index = q ? by_seq : by_id;
                    auto it = index.find(q ? x->seq() : x->lock.id);
                    if (it == index.end() || it->second != x)
                        return "caller " + name + " lists an entry the tables do not " + (q ? "queue" : "hold");
                    if (!listed.insert(x).second) return "caller " + name + " lists an entry twice";
                    item_users[x->lock.items]++;
                }
                if (n != (q ? r.queued : r.held)) return "caller " + name + " count differs from its list";
            }
            held += r.held;
            queued += r.queued;
        }
        if (held != by_id.size() || queued != by_seq.size()) return "callers' entries differ from the tables";
        for (const auto& i : item_lists) {
            bytes += items_bytes(i.first);
            auto u = item_users.find(&i);
            size_t users = u == item_users.end() ? 0 : u->second;
            if (users == 0 || users != i.second.refs)
                return "item list of " + std::to_string(i.first.size()) + " counted " + std::to_string(i.second.refs) +
                       ", used by " + std::to_string(users);
        }
        if (item_users.size() != item_lists.size()) return "an entry points at an item list that is not kept";
        if (bytes != interned_bytes) return "kept bytes " + std::to_string(interned_bytes) + ", counted " + std::to_string(bytes);
        size_t se = 0, sb = 0;
        for (const auto& [fh, hs] : shares) {
            if (hs.empty()) return "empty share list kept for fh " + std::to_string(fh);
            for (const ShareHolder& h : hs) {
                se++;
                sb += h.owner.caller.size() + h.owner.handle.size();
            }
        }
        if (se != share_entries || sb != share_bytes) return "share counts differ from the share locks";
        return "";
    }

    // Whether the caller lacks the room `p` to add `add` entries on f.
    bool lacks(File& f, Caller* who, size_t add, lc_ls_wait_place p) {
        std::array<lc_ls_room_use, 3> rooms = rooms_of(f, who, add);
        return lc_ls_rooms_lack(rooms.data(), rooms.size(), add, p);
    }

    // The rooms counted afresh from their holders, under the rules as
    // they are.
    void recount_rooms() {
        room = {};
        for (const auto& [name, c] : callers) lc_ls_room_move(&room, rules.server, 0, c.held + c.queued);
        for (const auto& [name, n] : share_counts) lc_ls_room_move(&room, rules.server, 0, n);
        for (auto& [k, f] : files) {
            lc_ls_shared_recount(&f.room, rules.file);
            lc_ls_shared_recount(&f.queue, rules.file_queue);
        }
    }

    // Whether the rooms and their holders agree with the entries, and the
    // requests waiting for room with the rooms' lists: empty, or the first
    // fault found. After check_shared, which vouches for the callers'
    // counts.
    std::string check_rooms() {
        std::map<FileKey, std::unordered_map<const void*, size_t>> on_file, queued_on_file;
        for (const auto& [id, n] : by_id) on_file[FileKey{n->lock.range.fs_id, n->lock.range.fh}][n->lock.owner.caller]++;
        for (const auto& [seq, n] : by_seq) {
            FileKey k{n->lock.range.fs_id, n->lock.range.fh};
            on_file[k][n->lock.owner.caller]++;
            queued_on_file[k][n->lock.owner.caller]++;
        }
        size_t waiting_total = 0;
        for (auto& [k, f] : files) {
            std::string file = "fh " + std::to_string(k.fh) + ": ";
            if (const char* fault = lc_ls_shared_fault(&f.room, rules.file, on_file[k]); *fault) return file + fault;
            if (const char* fault = lc_ls_shared_fault(&f.queue, rules.file_queue, queued_on_file[k]); *fault)
                return file + "queue: " + fault;
            for (const auto& [ok, seq] : f.waiting) {
                auto it = by_seq.find(seq);
                if (it == by_seq.end() || key_of(it->second->lock.owner) != ok ||
                    FileKey{it->second->lock.range.fs_id, it->second->lock.range.fh} != k ||
                    !lc_ls_waits_where(&waiting, seq).slot)
                    return file + "lists a request waiting for room that is not its own or not waiting";
            }
            waiting_total += f.waiting.size();
        }
        std::map<std::string, size_t, std::less<>> sc;
        for (const auto& [fh, hs] : shares)
            for (const ShareHolder& h : hs) sc[h.owner.caller]++;
        if (sc != share_counts) return "share counts by name differ from the share locks";
        lc_ls_room r;
        for (const auto& [name, c] : callers) lc_ls_room_move(&r, rules.server, 0, c.held + c.queued);
        for (const auto& [name, n] : share_counts) lc_ls_room_move(&r, rules.server, 0, n);
        if (r.used != room.used || r.little_used != room.little_used || room.used != entries())
            return "the server's room differs from its entries";
        if (waiting_total != waiting.where.size()) return "files list other requests waiting for room than wait";
        for (const auto& [seq, p] : waiting.where)
            if (!by_seq.count(seq)) return "waits for room without being queued: " + std::to_string(seq);
        if (!waiting.made.empty() || !waiting.again.empty() || !touched.empty()) return "room made and not looked at";
        return lc_ls_waits_fault(&waiting);
    }

    Own lookup(const lc_ls_owner& o) {
        return Own{find_caller(o.caller), o.owner_id, o.caller_id, o.addr};
    }
};

namespace {

// Holds the engine for one request. At its end it lets go of the request's
// own copies and drops what nothing uses any more, before the mutex is
// released.
struct Request {
    lc_ls_engine* e;
    std::lock_guard<std::mutex> g;
    std::vector<Lk> pinned;
    bool fresh = false;  // the request brought a name or item list the server did not keep

    explicit Request(lc_ls_engine* eng) : e(eng), g(eng->mu) {}
    ~Request() {
        // Room made may let a request that waits for it be held.
        e->retry_room();
        for (const Lk& l : pinned) e->unpin(l);
        e->sweep();
    }

    // The request as a lock pointing at the shared copies of its name and
    // items, made when new.
    Lk pin(const lc_ls_owner& o, const lc_ls_range& r, const std::vector<std::string>& items) {
        Own own{e->pin_caller(o.caller, &fresh), o.owner_id, o.caller_id, o.addr};
        Lk l = e->make_lock(own, r, e->pin_items(items, &fresh));
        pinned.push_back(l);
        return l;
    }
};

}  // namespace

lc_ls_engine* lc_ls_engine_create(uint32_t boot_tag, const lc_ls_breaks& breaks) {
    auto* e = new lc_ls_engine;
    e->boot_tag = boot_tag;
    e->breaks = breaks;
    // From the system, not from the cluster's seed, which a test run may
    // print or pick.
    if (getrandom(&e->tree_seed, sizeof e->tree_seed, 0) != ssize_t(sizeof e->tree_seed))
        e->tree_seed = now_us() ^ (uint64_t(reinterpret_cast<uintptr_t>(e)) * 0x9E3779B97F4A7C15ull);
    return e;
}

void lc_ls_engine_set_limits(lc_ls_engine* e, const lc_ls_limits& limits) {
    Request rq(e);
    e->limits = limits;
    e->rules = rules_of(limits);
    e->recount_rooms();
    // Any room may have grown.
    lc_ls_waits_made_everywhere(&e->waiting);
}

void lc_ls_engine_destroy(lc_ls_engine* e) { delete e; }

uint32_t lc_ls_engine_boot_tag(const lc_ls_engine* e) { return e->boot_tag; }

bool lc_ls_range_valid(const lc_ls_range& r) {
    if (r.fh == 0) return false;
    if (r.type != LC_LS_SHARED && r.type != LC_LS_EXCLUSIVE) return false;
    if (r.flavour != LC_LS_POSIX && r.flavour != LC_LS_WINDOWS) return false;
    return r.len == 0 || r.len - 1 <= kMax - r.start;
}

uint32_t lc_ls_take(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r,
                    const std::vector<std::string>& items) {
    Request rq(e);
    auto fit = e->files.try_emplace(FileKey{r.fs_id, r.fh}).first;
    File& f = fit->second;
    Lk req = rq.pin(o, r, items);
    uint32_t status = LC_LS_GRANTED;
    if (e->find_conflict(f, req)) {
        status = LC_LS_DENIED;
    } else if (!e->take_fits(f, req, e->grant_delta(f, req), rq.fresh)) {
        status = LC_LS_FULL;
    } else {
        std::vector<Span> weakened;
        e->grant(f, std::move(req), &weakened);
        // A POSIX re-take may give up bytes or exclusivity that others wait for.
        e->regrant(f, std::move(weakened));
    }
    e->drop_if_empty(fit);
    return status;
}

uint32_t lc_ls_test(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r, lc_ls_lock* conflict) {
    std::lock_guard<std::mutex> g(e->mu);
    auto fit = e->files.find(FileKey{r.fs_id, r.fh});
    if (fit == e->files.end()) return LC_LS_GRANTED;
    const Node* n = e->find_conflict(fit->second, e->make_lock(e->lookup(o), r, nullptr));
    if (!n) return LC_LS_GRANTED;
    if (conflict) *conflict = to_public(n->lock);
    return LC_LS_DENIED;
}

uint32_t lc_ls_free(lc_ls_engine* e, const lc_ls_owner& owner, const lc_ls_range& r) {
    Request rq(e);
    auto fit = e->files.find(FileKey{r.fs_id, r.fh});
    Own o = e->lookup(owner);
    if (fit == e->files.end() || !o.caller) return LC_LS_NOT_LOCKED;
    File& f = fit->second;
    bool freed = false;
    uint64_t last = last_of(r);
    if (r.flavour == LC_LS_POSIX) {
        OwnTrees* t = e->own_trees(f, o);
        if (!t) return LC_LS_NOT_LOCKED;
        // Freeing the middle of a segment adds one entry: past the caps,
        // but not past twice them.
        bool splits = false;
        lc_ls_iv_meeting(t->posix.root, r.start, r.start, [&](lc_ls_ivnode* x) {
            if (x->start < r.start && x->last > last) splits = true;
        });
        if (splits && !e->split_fits(f, o)) return LC_LS_FULL;
        freed = e->posix_cut(f, o, r.start, last);
    } else if (OwnTrees* t = e->own_trees(f, o)) {
        // One entry of exactly this range: of the same type if there is
        // one, and of those the newest.
        Node* pick = nullptr;
        lc_ls_iv_starting(t->windows.root, r.start, r.start, [&](lc_ls_ivnode* x) {
            Node* n = node_of(x);
            const Lk& l = n->lock;
            if (l.range.len != r.len) return;
            if (!pick) {
                pick = n;
                return;
            }
            bool l_same = l.range.type == r.type, p_same = pick->lock.range.type == r.type;
            if ((l_same && !p_same) || (l_same == p_same && l.id > pick->lock.id)) pick = n;
        });
        if (pick) {
            delete e->unhold(f, pick);
            freed = true;
        }
    }
    if (freed) e->regrant(f, {Span{r.start, last}});
    e->drop_if_empty(fit);
    return freed ? LC_LS_GRANTED : LC_LS_NOT_LOCKED;
}

uint32_t lc_ls_blocking_take(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r,
                             const std::vector<std::string>& items, const lc_ls_addr& waiter) {
    Request rq(e);
    auto fit = e->files.try_emplace(FileKey{r.fs_id, r.fh}).first;
    File& f = fit->second;
    Lk req = rq.pin(o, r, items);
    uint32_t status = LC_LS_BLOCKED;
    if (!e->find_conflict(f, req)) {
        if (!e->take_fits(f, req, e->grant_delta(f, req), rq.fresh)) {
            status = LC_LS_FULL;
        } else {
            std::vector<Span> weakened;
            e->grant(f, std::move(req), &weakened);
            e->regrant(f, std::move(weakened));
            status = LC_LS_GRANTED;
        }
    } else if (Node* q = e->find_queued(f, req.owner, r)) {
        // The same request again replaces the waiting one in place. New
        // items would add bytes without adding an entry, so the byte cap
        // holds here too.
        if (q->lock.items != req.items && rq.fresh && e->bytes() > e->limits.bytes_total) {
            status = LC_LS_FULL;
        } else {
            req.items->second.refs++;
            e->drop_items_ref(q->lock.items);
            q->lock = req;
            q->waiter = waiter;
        }
    } else if (!e->queue_fits(f, req.owner, rq.fresh)) {
        // What waits counts against what may be held too: granted, it is held.
        status = LC_LS_FULL;
    } else {
        auto* n = new Node;
        n->lock = std::move(req);
        n->waiter = waiter;
        e->enqueue(f, n);
    }
    e->drop_if_empty(fit);
    return status;
}

uint32_t lc_ls_cancel(lc_ls_engine* e, const lc_ls_owner& owner, const lc_ls_range& r) {
    Request rq(e);
    auto fit = e->files.find(FileKey{r.fs_id, r.fh});
    Own o = e->lookup(owner);
    if (fit == e->files.end() || !o.caller) return LC_LS_NOT_LOCKED;
    Node* q = nullptr;
    if (e->breaks.cancel_oldest) {  // --break ls-cancel-oldest
        for (const auto& [seq, n] : e->by_seq) {
            const lc_ls_range& nr = n->lock.range;
            if (nr.fs_id == r.fs_id && nr.fh == r.fh && same_owner(n->lock.owner, o)) {
                q = n;
                break;
            }
        }
    } else {
        q = e->find_queued(fit->second, o, r);
    }
    if (!q) return LC_LS_NOT_LOCKED;
    delete e->dequeue(fit->second, q);
    e->drop_if_empty(fit);
    return LC_LS_GRANTED;
}

uint32_t lc_ls_share_take(lc_ls_engine* e, const lc_ls_share_owner& o, uint64_t fh, uint32_t mode,
                          uint32_t access) {
    std::lock_guard<std::mutex> g(e->mu);
    std::vector<ShareHolder>& holders = e->shares[fh];
    ShareHolder* own = nullptr;
    for (ShareHolder& h : holders) {
        if (same_share_owner(h.owner, o)) {
            own = &h;
            continue;
        }
        if ((h.mode & access) || (mode & h.access)) return LC_LS_DENIED;
    }
    if (own && !e->breaks.share_retake_stacks) {
        own->mode = mode;
        own->access = access;
        return LC_LS_GRANTED;
    }
    size_t bytes = o.caller.size() + o.handle.size();
    if (!lc_ls_room_fits(e->room, e->rules.server, e->share_count(o.caller), 1, LC_LS_ADD_TAKE) ||
        e->bytes() + bytes > e->limits.bytes_total) {
        if (holders.empty()) e->shares.erase(fh);
        return LC_LS_FULL;
    }
    holders.push_back(ShareHolder{o, mode, access});
    e->count_share(o.caller, true);
    e->share_bytes += bytes;
    return LC_LS_GRANTED;
}

uint32_t lc_ls_share_free(lc_ls_engine* e, const lc_ls_share_owner& o, uint64_t fh) {
    Request rq(e);
    auto sit = e->shares.find(fh);
    if (sit == e->shares.end()) return LC_LS_NOT_LOCKED;
    std::vector<ShareHolder>& holders = sit->second;
    for (auto it = holders.begin(); it != holders.end(); ++it) {
        if (!same_share_owner(it->owner, o)) continue;
        e->count_share(it->owner.caller, false);
        e->share_bytes -= it->owner.caller.size() + it->owner.handle.size();
        holders.erase(it);
        if (holders.empty()) e->shares.erase(sit);
        return LC_LS_GRANTED;
    }
    return LC_LS_NOT_LOCKED;
}

void lc_ls_free_all(lc_ls_engine* e, std::string_view caller) {
    Request rq(e);
    std::map<FileKey, std::vector<Span>> touched;
    if (Caller* c = e->find_caller(caller)) {
        std::vector<Node*> gone, unqueued;
        for (Node* n = c->second.held_list; n; n = n->cnext) gone.push_back(n);
        for (Node* n = c->second.queued_list; n; n = n->cnext) unqueued.push_back(n);
        for (Node* n : gone) {
            FileKey k{n->lock.range.fs_id, n->lock.range.fh};
            touched[k].push_back(Span{n->lock.range.start, n->lock.last});
            delete e->unhold(e->files[k], n);
        }
        for (Node* n : unqueued) {
            FileKey k{n->lock.range.fs_id, n->lock.range.fh};
            touched.try_emplace(k);
            delete e->dequeue(e->files[k], n);
        }
    }
    if (!e->breaks.free_all_keeps_share) {
        for (auto it = e->shares.begin(); it != e->shares.end();) {
            std::erase_if(it->second, [&](const ShareHolder& h) {
                if (h.owner.caller != caller) return false;
                e->count_share(h.owner.caller, false);
                e->share_bytes -= h.owner.caller.size() + h.owner.handle.size();
                return true;
            });
            it = it->second.empty() ? e->shares.erase(it) : std::next(it);
        }
    }
    for (auto& [k, spans] : touched) {
        auto fit = e->files.find(k);
        e->regrant(fit->second, std::move(spans));
        e->drop_if_empty(fit);
    }
}

uint32_t lc_ls_search(lc_ls_engine* e, const lc_ls_search_query& q, lc_ls_search_page* out) {
    std::lock_guard<std::mutex> g(e->mu);
    *out = lc_ls_search_page{};
    if (q.flags & ~LC_LS_FILTER_FH) return LC_LS_BAD_SEARCH;
    uint64_t after = 0;
    if (!q.cookie.empty()) {
        const auto* c = reinterpret_cast<const uint8_t*>(q.cookie.data());
        if (q.cookie.size() != LC_LS_COOKIE_BYTES) return LC_LS_BAD_SEARCH;
        uint32_t tag = 0, zero = 0;
        for (int i = 3; i >= 0; i--) tag = (tag << 8) | c[i];
        for (int i = 7; i >= 4; i--) zero = (zero << 8) | c[i];
        for (int i = 15; i >= 8; i--) after = (after << 8) | c[i];
        if (tag != e->boot_tag || zero != 0) return LC_LS_BAD_SEARCH;
    }
    size_t used = 0;
    size_t following = 0;  // candidates after the page, counted up to 2
    for (auto it = e->by_id.upper_bound(after); it != e->by_id.end() && following < 2; ++it) {
        const Lk& held = it->second->lock;
        if (held.range.flavour != q.flavour) continue;
        if ((q.flags & LC_LS_FILTER_FH) && held.range.fh != q.fh) continue;
        lc_ls_lock l = to_public(held);
        size_t cost = q.cost ? q.cost(l) : 1;
        if (following == 0 && out->locks.size() < q.max && cost <= q.budget - used) {
            out->locks.push_back(std::move(l));
            used += cost;
        } else {
            following++;
        }
    }
    out->has_more = e->breaks.search_has_more_off_by_one ? following > 1 : following > 0;
    // --break ls-search-more-when-full
    if (e->breaks.search_more_when_full && q.max > 0 && out->locks.size() == q.max) out->has_more = true;
    if (out->has_more) {
        uint64_t last = out->locks.empty() ? after : out->locks.back().id;
        out->cookie.resize(LC_LS_COOKIE_BYTES);
        auto* c = reinterpret_cast<uint8_t*>(out->cookie.data());
        for (int i = 0; i < 4; i++) c[i] = uint8_t(e->boot_tag >> (8 * i));
        for (int i = 0; i < 8; i++) c[8 + i] = uint8_t(last >> (8 * i));
    }
    return 0;
}

uint32_t lc_ls_remove(lc_ls_engine* e, uint32_t ref32, uint64_t ref64, uint32_t flavour) {
    Request rq(e);
    if (ref32 != e->boot_tag) return LC_LS_NOT_LOCKED;
    auto it = e->by_id.find(ref64);
    if (it == e->by_id.end() || it->second->lock.range.flavour != flavour) return LC_LS_NOT_LOCKED;
    Node* n = it->second;
    auto fit = e->files.find(FileKey{n->lock.range.fs_id, n->lock.range.fh});
    Span gone{n->lock.range.start, n->lock.last};
    delete e->unhold(fit->second, n);
    e->regrant(fit->second, {gone});
    e->drop_if_empty(fit);
    return LC_LS_GRANTED;
}

lc_ls_counts lc_ls_engine_counts(lc_ls_engine* e) {
    std::lock_guard<std::mutex> g(e->mu);
    lc_ls_counts c;
    c.held = e->by_id.size();
    c.pending = e->by_seq.size();
    for (const auto& [fh, hs] : e->shares) c.shares += hs.size();
    c.room_tries = e->waiting.tries;
    for (const auto& [k, f] : e->files)
        for (const auto& [x, owners] : f.apart) c.apart += owners.size();
    return c;
}

size_t lc_ls_engine_depth(lc_ls_engine* e) {
    std::lock_guard<std::mutex> g(e->mu);
    size_t d = 0;
    for (const auto& [k, f] : e->files) {
        for (const auto& by_shape : f.held)
            for (const lc_ls_ivtree& t : by_shape) d = std::max(d, lc_ls_iv_depth(&t));
        d = std::max(d, lc_ls_iv_depth(&f.queued));
        for (const auto& [ok, t] : f.owners) d = std::max({d, lc_ls_iv_depth(&t.posix), lc_ls_iv_depth(&t.windows)});
    }
    return d;
}

void lc_ls_engine_snapshot(lc_ls_engine* e, size_t limit, lc_ls_tables* out) {
    std::lock_guard<std::mutex> g(e->mu);
    *out = lc_ls_tables{};
    out->boot_tag = e->boot_tag;
    for (const auto& [id, n] : e->by_id) {
        if (out->held.size() >= limit) {
            out->truncated = true;
            break;
        }
        out->held.push_back(to_public(n->lock));
    }
    for (const auto& [seq, n] : e->by_seq) {
        if (out->pending.size() >= limit) {
            out->truncated = true;
            break;
        }
        out->pending.push_back(lc_ls_queued{seq, to_public(n->lock), n->waiter});
    }
    for (const auto& [fh, hs] : e->shares) {
        for (const ShareHolder& h : hs) {
            if (out->shares.size() >= limit) {
                out->truncated = true;
                break;
            }
            out->shares.push_back(lc_ls_share_entry{fh, h.owner, h.mode, h.access});
        }
    }
}

std::string lc_ls_engine_check(lc_ls_engine* e) {
    std::lock_guard<std::mutex> g(e->mu);
    if (std::string fault = e->check_shared(); !fault.empty()) return fault;
    auto where = [](const Lk& l) {
        return "fh " + std::to_string(l.range.fh) + " " + l.owner.caller->first + "/" + std::to_string(l.owner.owner_id) +
               (l.range.flavour == LC_LS_POSIX ? " posix " : " windows ") +
               (l.range.type == LC_LS_SHARED ? "shared " : "exclusive ") + std::to_string(l.range.start) + "+" +
               std::to_string(l.range.len);
    };
    std::map<FileKey, std::vector<const Lk*>> held;
    for (const auto& [id, n] : e->by_id) held[FileKey{n->lock.range.fs_id, n->lock.range.fh}].push_back(&n->lock);
    for (const auto& [k, locks] : held)
        for (size_t i = 0; i < locks.size(); i++)
            for (size_t j = i + 1; j < locks.size(); j++) {
                const Lk &a = *locks[i], &b = *locks[j];
                if (same_owner(a.owner, b.owner) && a.range.flavour == b.range.flavour) continue;
                if (e->conflicts(a, b)) return "held " + where(a) + " conflicts with held " + where(b);
            }
    for (const auto& [seq, n] : e->by_seq) {
        bool blocked = false;
        for (const Lk* l : held[FileKey{n->lock.range.fs_id, n->lock.range.fh}])
            blocked = blocked || e->conflicts(n->lock, *l);
        if (blocked) continue;
        lc_ls_wait_place p = lc_ls_waits_where(&e->waiting, seq);
        if (!p.slot) return "queued " + where(n->lock) + " conflicts with nothing held and waits for no room";
        File& f = e->files[FileKey{n->lock.range.fs_id, n->lock.range.fh}];
        int64_t delta = e->grant_delta(f, n->lock);
        if (e->regrant_fits(f, n->lock, delta)) return "queued " + where(n->lock) + " waits for room it has";
        // Else it would not be looked at when room comes where it lacks it.
        if (!e->lacks(f, n->lock.owner.caller, size_t(delta - 1), p))
            return "queued " + where(n->lock) + " waits in a room it has";
    }
    if (std::string fault = e->check_rooms(); !fault.empty()) return fault;

    // The indexes: every tree holds together, holds what its name says,
    // and the trees agree with the counts.
    size_t held_total = 0, queued_total = 0;
    for (auto& file_entry : e->files) {
        // Named, not bound: a lambda below captures them.
        const FileKey& k = file_entry.first;
        File& f = file_entry.second;
        std::string file = "fh " + std::to_string(k.fh) + ": ";
        if (f.empty()) return file + "kept with nothing held or queued";
        size_t in_trees = 0;
        for (int excl = 0; excl < 2; excl++)
            for (int point = 0; point < 2; point++) {
                const lc_ls_ivtree& t = f.held[excl][point];
                if (std::string fault = lc_ls_iv_check(&t); !fault.empty()) return file + "held index: " + fault;
                in_trees += t.size;
                std::string wrong;
                lc_ls_iv_meeting(t.root, 0, kMax, [&](lc_ls_ivnode* x) {
                    const Node* n = node_of(x);
                    const Lk& l = n->lock;
                    if (x != &n->at || (l.range.type == LC_LS_EXCLUSIVE) != bool(excl) || is_point(l.range) != bool(point) ||
                        x->start != l.range.start || x->last != l.last || x->key != l.id ||
                        FileKey{l.range.fs_id, l.range.fh} != k || !e->by_id.count(l.id))
                        wrong = "held index has a stray entry " + where(l);
                });
                if (!wrong.empty()) return file + wrong;
            }
        if (in_trees != f.nheld) return file + "held count differs from its index";
        size_t owned = 0;
        for (auto& owner_entry : f.owners) {
            const OwnKey& ok = owner_entry.first;
            const OwnTrees& t = owner_entry.second;
            if (t.posix.size + t.windows.size == 0) return file + "owner kept with nothing held";
            for (int posix = 0; posix < 2; posix++) {
                const lc_ls_ivtree& tree = posix ? t.posix : t.windows;
                if (std::string fault = lc_ls_iv_check(&tree); !fault.empty()) return file + "owner index: " + fault;
                owned += tree.size;
                std::string wrong;
                const Node* prev = nullptr;
                lc_ls_iv_meeting(tree.root, 0, kMax, [&](lc_ls_ivnode* x) {
                    const Node* n = node_of(x);
                    const Lk& l = n->lock;
                    if (x != &n->own || key_of(l.owner) != ok || (l.range.flavour == LC_LS_POSIX) != bool(posix) ||
                        x->start != l.range.start || x->last != l.last)
                        wrong = "owner index has a stray entry " + where(l);
                    // Touching segments of one type and items are one,
                    // unless a point at the joint would meet the joined one.
                    if (posix && prev && !e->breaks.posix_no_merge && prev->lock.last + 1 == l.range.start &&
                        prev->lock.range.type == l.range.type && prev->lock.items == l.items) {
                        if (!e->point_blocks(f, l.range.start, l.range.type))
                            wrong = "segments touch unjoined with nothing between: " + where(prev->lock) + " and " + where(l);
                        else if (!f.apart.count(l.range.start) || !f.apart[l.range.start].count(ok) ||
                                 !t.apart_at.count(l.range.start))
                            wrong = "segments kept apart without a record of it: " + where(l);
                    }
                    prev = n;
                });
                if (!wrong.empty()) return file + wrong;
            }
        }
        if (owned != f.nheld) return file + "owners' indexes differ from the held count";
        // Each record of segments kept apart has them at its joint.
        size_t records = 0, owner_records = 0;
        for (const auto& [x, keys] : f.apart) {
            std::string at = "segments kept apart at " + std::to_string(x);
            if (keys.empty()) return file + "an empty record of " + at;
            for (const OwnKey& ok : keys) {
                records++;
                auto o = f.owners.find(ok);
                if (o == f.owners.end() || !o->second.apart_at.count(x)) return file + at + " unknown to their owner";
                const Node* left = x > 0 ? e->own_segment_ending(o->second, x - 1) : nullptr;
                const Node* right = e->own_segment_starting(o->second, x);
                if (!left || !right || left->lock.range.type != right->lock.range.type || left->lock.items != right->lock.items)
                    return file + "a record of " + at + " outlives them";
            }
        }
        for (const auto& owner_entry : f.owners) owner_records += owner_entry.second.apart_at.size();
        if (owner_records != records) return file + "owners' records of segments kept apart differ from the file's";
        if (std::string fault = lc_ls_iv_check(&f.queued); !fault.empty()) return file + "queue index: " + fault;
        if (f.queued.size != f.nqueued) return file + "queued count differs from its index";
        held_total += f.nheld;
        queued_total += f.nqueued;
    }
    if (held_total != e->by_id.size() || queued_total != e->by_seq.size()) return "files' counts differ from the tables";
    return "";
}

namespace {

std::string hex_bytes(std::string_view b, size_t max) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < b.size() && i < max; i++) {
        snprintf(buf, sizeof buf, "%02x", uint8_t(b[i]));
        out += buf;
    }
    return out;
}

std::string lock_json(const lc_ls_lock& l) {
    size_t item_bytes = 0;
    for (const std::string& i : l.items) item_bytes += i.size();
    const lc_ls_range& r = l.range;
    return "{\"id\":" + std::to_string(l.id) + ",\"caller\":" + lc_json_str(l.owner.caller) +
           ",\"owner_id\":" + std::to_string(l.owner.owner_id) + ",\"caller_id\":" + std::to_string(l.owner.caller_id) +
           ",\"fs_id\":" + std::to_string(r.fs_id) + ",\"fh\":" + std::to_string(r.fh) +
           ",\"flavour\":\"" + (r.flavour == LC_LS_POSIX ? "posix" : "windows") + "\",\"type\":\"" +
           (r.type == LC_LS_SHARED ? "shared" : "exclusive") + "\",\"start\":" + std::to_string(r.start) +
           ",\"len\":" + std::to_string(r.len) + ",\"items\":" + std::to_string(l.items.size()) +
           ",\"item_bytes\":" + std::to_string(item_bytes) + "}";
}

}  // namespace

std::string lc_ls_engine_json(lc_ls_engine* e, size_t limit) {
    // Copied under the mutex, at most `limit` of each; formatted after it.
    lc_ls_tables t;
    lc_ls_engine_snapshot(e, limit, &t);
    std::string held, pending, share;
    for (const lc_ls_lock& l : t.held) held += (held.empty() ? "" : ",") + lock_json(l);
    for (const lc_ls_queued& q : t.pending) {
        std::string j = lock_json(q.req);
        j.replace(0, j.find(','), "{\"seq\":" + std::to_string(q.seq));
        pending += (pending.empty() ? "" : ",") + j;
    }
    for (const lc_ls_share_entry& h : t.shares)
        share += std::string(share.empty() ? "" : ",") + "{\"fh\":" + std::to_string(h.fh) +
                 ",\"caller\":" + lc_json_str(h.owner.caller) + ",\"handle\":\"" + hex_bytes(h.owner.handle, 64) +
                 "\",\"handle_len\":" + std::to_string(h.owner.handle.size()) + ",\"mode\":" +
                 std::to_string(h.mode) + ",\"access\":" + std::to_string(h.access) + "}";
    std::string j = "{\"boot_tag\":" + std::to_string(t.boot_tag) + ",\"held\":[" + held + "],\"pending\":[" +
                    pending + "],\"share\":[" + share + "]";
    if (t.truncated) j += ",\"truncated\":true";
    return j + "}";
}

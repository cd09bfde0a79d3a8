#include "localcluster/ls/ls_engine.h"

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <compare>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "localcluster/common/json.h"

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

// One held lock or one queued request, in a file's interval index: a treap
// ordered by (start, key) where key is the lock's id or the request's
// sequence, each node knowing the largest last byte below it, so that the
// entries meeting a range are found in O(log n + k).
struct Node {
    Lk lock;  // id 0 while queued
    uint64_t key = 0;
    uint64_t max_last = 0;
    uint32_t prio = 0;
    Node* left = nullptr;
    Node* right = nullptr;
    lc_ls_addr waiter{};  // queued only
    Node* cprev = nullptr;  // in its caller's list of held or of queued entries
    Node* cnext = nullptr;

    uint64_t start() const { return lock.range.start; }
    bool before(uint64_t s, uint64_t k) const { return start() < s || (start() == s && key < k); }
};

void fix(Node* n) {
    n->max_last = n->lock.last;
    if (n->left) n->max_last = std::max(n->max_last, n->left->max_last);
    if (n->right) n->max_last = std::max(n->max_last, n->right->max_last);
}

// Splits t into the entries ordered before (s, k) and the rest.
void split(Node* t, uint64_t s, uint64_t k, Node** lo, Node** hi) {
    if (!t) {
        *lo = *hi = nullptr;
        return;
    }
    if (t->before(s, k)) {
        split(t->right, s, k, &t->right, hi);
        *lo = t;
    } else {
        split(t->left, s, k, lo, &t->left);
        *hi = t;
    }
    fix(t);
}

Node* merge(Node* a, Node* b) {
    if (!a) return b;
    if (!b) return a;
    if (a->prio > b->prio) {
        a->right = merge(a->right, b);
        fix(a);
        return a;
    }
    b->left = merge(a, b->left);
    fix(b);
    return b;
}

void tree_insert(Node** root, Node* n) {
    Node *lo, *hi;
    split(*root, n->start(), n->key, &lo, &hi);
    n->left = n->right = nullptr;
    fix(n);
    *root = merge(merge(lo, n), hi);
}

// Unlinks `n` (which is in the tree).
void tree_erase(Node** root, Node* n) {
    Node** at = root;
    std::vector<Node*> path;
    while (*at != n) {
        path.push_back(*at);
        at = n->before((*at)->start(), (*at)->key) ? &(*at)->left : &(*at)->right;
    }
    *at = merge(n->left, n->right);
    for (auto it = path.rbegin(); it != path.rend(); ++it) fix(*it);
    n->left = n->right = nullptr;
}

// Calls fn for each entry whose bytes [start, last] meet [lo, hi], in
// (start, key) order, until it returns false. False when stopped.
template <class Fn>
bool visit(Node* n, uint64_t lo, uint64_t hi, Fn& fn) {
    if (!n || n->max_last < lo) return true;
    if (!visit(n->left, lo, hi, fn)) return false;
    if (n->start() > hi) return true;
    if (n->lock.last >= lo && !fn(n)) return false;
    return visit(n->right, lo, hi, fn);
}

void destroy_tree(Node* n) {
    while (n) {
        destroy_tree(n->left);
        Node* r = n->right;
        delete n;
        n = r;
    }
}

struct File {
    Node* shared = nullptr;  // held shared locks
    Node* excl = nullptr;    // held exclusive locks
    Node* queued = nullptr;  // blocking requests
    size_t held = 0;
    size_t nqueued = 0;

    Node** tree_of(const Lk& l) { return l.range.type == LC_LS_SHARED ? &shared : &excl; }
    bool empty() const { return held == 0 && nqueued == 0; }
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

bool same_share_owner(const lc_ls_share_owner& a, const lc_ls_share_owner& b) {
    return a.caller == b.caller && a.handle == b.handle;
}

bool same_request(const Lk& q, const Own& o, const lc_ls_range& r) {
    return same_owner(q.owner, o) && q.range.start == r.start && q.range.len == r.len &&
           q.range.flavour == r.flavour;
}

// The bytes whose holding a release weakened, widened by one so that a
// point just past them, which meets a range only past its first byte, is
// looked at too.
struct Span {
    uint64_t lo, hi;
};

}  // namespace

struct lc_ls_engine {
    std::mutex mu;
    uint32_t boot_tag;
    lc_ls_breaks breaks;
    lc_ls_limits limits;
    uint64_t next_id = 1;
    uint64_t next_seq = 1;
    uint64_t rng = 0x9E3779B97F4A7C15ull;
    std::map<FileKey, File> files;
    std::map<uint64_t, Node*> by_id;   // every held lock
    std::map<uint64_t, Node*> by_seq;  // every queued request, oldest first
    CallerMap callers;
    ItemsMap item_lists;
    size_t interned_bytes = 0;  // of the names in `callers` and the lists in `item_lists`
    std::map<uint64_t, std::vector<ShareHolder>> shares;  // by fh, in grant order
    size_t share_entries = 0;
    size_t share_bytes = 0;  // their names and handles
    // Names and item lists whose last user went during this request: they
    // are dropped at its end, when no entry of the request can still point
    // at them.
    std::vector<Caller*> idle_callers;
    std::vector<Items*> idle_items;

    ~lc_ls_engine() {
        for (auto& [k, f] : files) {
            destroy_tree(f.shared);
            destroy_tree(f.excl);
            destroy_tree(f.queued);
        }
    }

    uint32_t next_prio() {
        rng ^= rng << 13;
        rng ^= rng >> 7;
        rng ^= rng << 17;
        return uint32_t(rng);
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

    // The first conflicting held lock: lowest start, then lowest id. A
    // shared request can only meet exclusive locks in conflict.
    const Node* find_conflict(File& f, const Lk& r) const {
        const Node* best = nullptr;
        auto first_in = [&](Node* tree) {
            const Node* found = nullptr;
            auto fn = [&](Node* n) {
                if (!conflicts(r, n->lock)) return true;
                found = n;
                return false;
            };
            visit(tree, r.range.start, r.last, fn);
            if (found && (!best || found->before(best->start(), best->key))) best = found;
        };
        first_in(f.excl);
        if (r.range.type == LC_LS_EXCLUSIVE) first_in(f.shared);
        return best;
    }

    // Calls fn(Node*) for the held locks of both trees whose bytes meet
    // [lo, hi]; fn may not change the trees.
    template <class Fn>
    void each_held(File& f, uint64_t lo, uint64_t hi, Fn fn) {
        auto all = [&](Node* n) {
            fn(n);
            return true;
        };
        visit(f.shared, lo, hi, all);
        visit(f.excl, lo, hi, all);
    }

    // ------------------------------------------------------------ held locks

    void insert(File& f, Node* n) {
        n->key = n->lock.id;
        n->prio = next_prio();
        tree_insert(f.tree_of(n->lock), n);
        by_id[n->lock.id] = n;
        f.held++;
        CallerRec& c = n->lock.owner.caller->second;
        c.held++;
        list_push(&c.held_list, n);
        n->lock.items->second.refs++;
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

    void count_down(Caller* c, Node* n, bool queued) {
        CallerRec& r = c->second;
        (queued ? r.queued : r.held)--;
        list_erase(queued ? &r.queued_list : &r.held_list, n);
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

    // Unlinks a held lock; the caller owns the node.
    Node* unlink(File& f, Node* n) {
        tree_erase(f.tree_of(n->lock), n);
        by_id.erase(n->lock.id);
        f.held--;
        count_down(n->lock.owner.caller, n, false);
        return n;
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

    // Whether the owner, the file or the server holds or awaits as many
    // entries as it may, or the server keeps as many bytes as it may and
    // the request brings new ones (`fresh`): a request that could add an
    // entry is then refused.
    bool full(const File& f, const Own& o, bool queue, bool fresh) const {
        if (entries() >= limits.entries_total) return true;
        if (fresh && bytes() > limits.bytes_total) return true;
        CallerRec c = o.caller ? o.caller->second : CallerRec{};
        if (queue) return f.nqueued >= limits.queued_per_file || c.queued >= limits.queued_per_caller;
        return f.held >= limits.held_per_file || c.held >= limits.held_per_caller;
    }

    // Assigns the lock its id and grant time and holds it. The bytes it
    // took over from the owner's own POSIX segments go to *weakened.
    void grant(File& f, Lk l, std::vector<Span>* weakened) {
        l.id = next_id++;
        l.grant_us = now_us();
        if (l.range.flavour == LC_LS_WINDOWS || breaks.posix_no_merge) {
            auto* n = new Node;
            n->lock = std::move(l);
            return insert(f, n);
        }
        if (posix_cut(f, l.owner, l.range.start, l.last)) weakened->push_back(Span{l.range.start, l.last});
        l.range.len = segment_len(l.range.start, l.last);
        posix_coalesce(f, std::move(l));
    }

    // Removes the owner's POSIX coverage of [s, e], splitting segments that
    // reach beyond it. Whether any byte was covered.
    bool posix_cut(File& f, const Own& o, uint64_t s, uint64_t e) {
        std::vector<Node*> hit;
        each_held(f, s, e, [&](Node* n) {
            if (n->lock.range.flavour == LC_LS_POSIX && same_owner(n->lock.owner, o)) hit.push_back(n);
        });
        for (Node* n : hit) {
            unlink(f, n);
            Lk& seg = n->lock;
            bool left = seg.range.start < s;
            if (seg.last > e) {
                auto* right = new Node;
                right->lock = seg;
                right->lock.id = left ? next_id++ : seg.id;
                right->lock.range.start = e + 1;
                right->lock.range.len = segment_len(e + 1, seg.last);
                insert(f, right);
            }
            if (left) {
                seg.last = s - 1;
                seg.range.len = segment_len(seg.range.start, seg.last);
                insert(f, n);
            } else {
                delete n;
            }
        }
        return !hit.empty();
    }

    // The owner's segment of the type of `l` that ends at s - 1 (side 0) or
    // starts at e + 1 (side 1), when it may be joined with `l`.
    Node* neighbour(File& f, const Lk& l, int side) {
        if (side == 0 ? l.range.start == 0 : l.last == kMax) return nullptr;
        uint64_t at = side == 0 ? l.range.start - 1 : l.last + 1;
        Node* found = nullptr;
        auto fn = [&](Node* n) {
            const Lk& c = n->lock;
            bool touches = side == 0 ? c.last == at : c.range.start == at;
            if (touches && c.range.flavour == LC_LS_POSIX && same_owner(c.owner, l.owner) && c.items == l.items) {
                found = n;
                return false;
            }
            return true;
        };
        visit(*f.tree_of(l), at, at, fn);
        return found;
    }

    // A Windows point meets a range only past its first byte: joining
    // across another owner's point at `x` would make the joined segment
    // meet it.
    bool point_blocks(File& f, uint64_t x, const Lk& joined) {
        bool blocks = false;
        each_held(f, x, x, [&](Node* n) {
            if (n->lock.range.start == x && is_point(n->lock.range) && conflicts(n->lock, joined)) blocks = true;
        });
        return blocks;
    }

    // Holds the new segment `l`, joined with the owner's segments that touch
    // it with the same type and the same items. The joined segment keeps
    // the oldest id.
    void posix_coalesce(File& f, Lk l) {
        for (int side = 0; side < 2; side++) {
            Node* n = neighbour(f, l, side);
            if (!n) continue;
            Lk joined;
            joined.owner = l.owner;
            joined.range = l.range;
            joined.range.start = std::min(l.range.start, n->lock.range.start);
            joined.last = std::max(l.last, n->lock.last);
            if (point_blocks(f, side == 0 ? l.range.start : l.last + 1, joined)) continue;
            l.range.start = joined.range.start;
            l.last = joined.last;
            if (n->lock.id < l.id) {
                l.id = n->lock.id;
                l.grant_us = n->lock.grant_us;
            }
            delete unlink(f, n);
        }
        l.range.len = segment_len(l.range.start, l.last);
        auto* n = new Node;
        n->lock = std::move(l);
        insert(f, n);
    }

    // ------------------------------------------------------------ queued requests

    void enqueue(File& f, Node* n) {
        n->lock.id = 0;
        n->key = next_seq++;
        n->prio = next_prio();
        tree_insert(&f.queued, n);
        by_seq[n->key] = n;
        f.nqueued++;
        CallerRec& c = n->lock.owner.caller->second;
        c.queued++;
        list_push(&c.queued_list, n);
        n->lock.items->second.refs++;
    }

    Node* dequeue(File& f, Node* n) {
        tree_erase(&f.queued, n);
        by_seq.erase(n->key);
        f.nqueued--;
        count_down(n->lock.owner.caller, n, true);
        return n;
    }

    Node* find_queued(File& f, const Own& o, const lc_ls_range& r) {
        Node* found = nullptr;
        auto fn = [&](Node* n) {
            if (!same_request(n->lock, o, r)) return true;
            found = n;
            return false;
        };
        uint64_t last = last_of(r);
        visit(f.queued, r.start, last, fn);
        return found;
    }

    // Grants the queued requests of a file that no longer conflict, oldest
    // first, looking only at those whose bytes meet what was weakened. A
    // grant may weaken the owner's own segments and free a request already
    // passed over: that one is looked at again in a later round, as a walk
    // of the whole queue would repeat until it grants nothing.
    void regrant(File& f, std::vector<Span> weakened) {
        std::set<uint64_t> now, later;
        uint64_t at = 0;
        auto collect = [&](const Span& s) {
            uint64_t hi = s.hi == kMax ? kMax : s.hi + 1;
            auto fn = [&](Node* n) {
                (n->key > at ? now : later).insert(n->key);
                return true;
            };
            visit(f.queued, s.lo, hi, fn);
        };
        for (const Span& s : weakened) collect(s);
        while (!now.empty() || !later.empty()) {
            if (now.empty()) {
                now.swap(later);
                at = 0;
            }
            at = *now.begin();
            now.erase(now.begin());
            auto it = by_seq.find(at);
            if (it == by_seq.end()) continue;
            Node* n = it->second;
            if (find_conflict(f, n->lock)) continue;
            dequeue(f, n);
            std::vector<Span> more;
            grant(f, std::move(n->lock), &more);
            delete n;
            for (const Span& s : more) collect(s);
        }
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
                    auto it = index.find(q ? x->key : x->lock.id);
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
    e->rng ^= boot_tag;
    return e;
}

void lc_ls_engine_set_limits(lc_ls_engine* e, const lc_ls_limits& limits) {
    std::lock_guard<std::mutex> g(e->mu);
    e->limits = limits;
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
    } else if (e->full(f, req.owner, false, rq.fresh)) {
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
        // Freeing the middle of a segment adds one: not past the limit.
        bool splits = false;
        e->each_held(f, r.start, r.start, [&](Node* n) {
            const Lk& l = n->lock;
            if (l.range.flavour == LC_LS_POSIX && same_owner(l.owner, o) && l.range.start < r.start && l.last > last)
                splits = true;
        });
        if (splits && e->full(f, o, false, false)) return LC_LS_FULL;
        freed = e->posix_cut(f, o, r.start, last);
    } else {
        // One entry of exactly this range: of the same type if there is
        // one, and of those the newest.
        Node* pick = nullptr;
        e->each_held(f, r.start, r.start, [&](Node* n) {
            const Lk& l = n->lock;
            if (l.range.start != r.start || l.range.flavour != LC_LS_WINDOWS || l.range.len != r.len ||
                !same_owner(l.owner, o))
                return;
            if (!pick) {
                pick = n;
                return;
            }
            bool l_same = l.range.type == r.type, p_same = pick->lock.range.type == r.type;
            if ((l_same && !p_same) || (l_same == p_same && l.id > pick->lock.id)) pick = n;
        });
        if (pick) {
            delete e->unlink(f, pick);
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
        if (e->full(f, req.owner, false, rq.fresh)) {
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
    } else if (e->full(f, req.owner, true, rq.fresh) || e->full(f, req.owner, false, rq.fresh)) {
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
    if (e->entries() >= e->limits.entries_total || e->bytes() + bytes > e->limits.bytes_total) {
        if (holders.empty()) e->shares.erase(fh);
        return LC_LS_FULL;
    }
    holders.push_back(ShareHolder{o, mode, access});
    e->share_entries++;
    e->share_bytes += bytes;
    return LC_LS_GRANTED;
}

uint32_t lc_ls_share_free(lc_ls_engine* e, const lc_ls_share_owner& o, uint64_t fh) {
    std::lock_guard<std::mutex> g(e->mu);
    auto sit = e->shares.find(fh);
    if (sit == e->shares.end()) return LC_LS_NOT_LOCKED;
    std::vector<ShareHolder>& holders = sit->second;
    for (auto it = holders.begin(); it != holders.end(); ++it) {
        if (!same_share_owner(it->owner, o)) continue;
        e->share_entries--;
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
            delete e->unlink(e->files[k], n);
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
                e->share_entries--;
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
    delete e->unlink(fit->second, n);
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
    return c;
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
        if (!blocked) return "queued " + where(n->lock) + " conflicts with nothing held";
    }
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

#include "localcluster/ls/ls_engine.h"

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <compare>
#include <list>
#include <map>
#include <mutex>

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

struct FileKey {
    uint64_t fs_id;
    uint64_t fh;
    auto operator<=>(const FileKey&) const = default;
};

struct Waiting {
    uint64_t seq;
    lc_ls_lock req;  // id 0 until granted
    lc_ls_addr waiter;
};

struct File {
    std::multimap<uint64_t, lc_ls_lock> held;  // by start
    std::list<Waiting> pending;                // oldest first
};

using HeldIt = std::multimap<uint64_t, lc_ls_lock>::iterator;

struct ShareHolder {
    lc_ls_share_owner owner;
    uint32_t mode;
    uint32_t access;
};

bool same_owner(const lc_ls_owner& a, const lc_ls_owner& b) {
    return a.owner_id == b.owner_id && a.caller == b.caller;
}

bool same_share_owner(const lc_ls_share_owner& a, const lc_ls_share_owner& b) {
    return a.caller == b.caller && a.handle == b.handle;
}

}  // namespace

struct lc_ls_engine {
    std::mutex mu;
    uint32_t boot_tag;
    lc_ls_breaks breaks;
    uint64_t next_id = 1;
    uint64_t next_seq = 1;
    std::map<FileKey, File> files;
    std::map<uint64_t, std::pair<FileKey, HeldIt>> by_id;  // every held lock
    std::map<uint64_t, std::vector<ShareHolder>> shares;   // by fh, in grant order

    // ------------------------------------------------------------ overlap and conflict

    // Whether the Windows point X lies inside r.
    bool point_in(uint64_t x, const lc_ls_lock& r) const {
        if (r.range.flavour == LC_LS_WINDOWS && r.range.len == 0) return false;  // two points never meet
        if (breaks.zero_len_conflicts_at_start) return x >= r.range.start && x <= r.last;
        return x > r.range.start && x <= r.last;
    }

    bool overlap(const lc_ls_lock& a, const lc_ls_lock& b) const {
        bool pa = is_point(a.range), pb = is_point(b.range);
        if (pa) return point_in(a.range.start, b);
        if (pb) return point_in(b.range.start, a);
        return a.range.start <= b.last && b.range.start <= a.last;
    }

    // Whether request r conflicts with held lock l (same file).
    bool conflicts(const lc_ls_lock& r, const lc_ls_lock& l) const {
        if (!overlap(r, l)) return false;
        if (r.range.type == LC_LS_SHARED && l.range.type == LC_LS_SHARED) return false;
        if (!same_owner(r.owner, l.owner) || r.range.flavour != l.range.flavour) return true;
        // The owner's own lock of the same flavour.
        if (r.range.flavour == LC_LS_POSIX) return false;  // a re-take replaces
        return r.range.type == LC_LS_EXCLUSIVE && !breaks.win_excl_ignores_own;
    }

    // The first conflicting held lock: lowest start, then lowest id.
    const lc_ls_lock* find_conflict(File& f, const lc_ls_lock& r) const {
        const lc_ls_lock* best = nullptr;
        // Nothing that starts past the request's last byte can overlap it.
        for (auto it = f.held.begin(); it != f.held.end() && it->first <= r.last; ++it) {
            const lc_ls_lock& l = it->second;
            if (best && l.range.start > best->range.start) break;
            if (conflicts(r, l) && (!best || l.id < best->id)) best = &l;
        }
        return best;
    }

    // ------------------------------------------------------------ held locks

    void insert(const FileKey& k, File& f, lc_ls_lock l) {
        uint64_t id = l.id;
        auto it = f.held.emplace(l.range.start, std::move(l));
        by_id[id] = {k, it};
    }

    void erase(File& f, HeldIt it) {
        by_id.erase(it->second.id);
        f.held.erase(it);
    }

    lc_ls_lock make_lock(const lc_ls_owner& o, const lc_ls_range& r, std::vector<std::string> items) {
        lc_ls_lock l;
        l.owner = o;
        l.range = r;
        l.last = last_of(r);
        l.items = std::move(items);
        return l;
    }

    // Assigns the lock its id and grant time and holds it.
    void grant(const FileKey& k, File& f, lc_ls_lock l) {
        l.id = next_id++;
        l.grant_us = now_us();
        if (l.range.flavour == LC_LS_WINDOWS || breaks.posix_no_merge) return insert(k, f, std::move(l));
        posix_cut(k, f, l.owner, l.range.start, l.last);
        l.range.len = segment_len(l.range.start, l.last);
        posix_coalesce(k, f, std::move(l));
    }

    // Removes the owner's POSIX coverage of [s, e], splitting segments that
    // reach beyond it. Whether any byte was covered.
    bool posix_cut(const FileKey& k, File& f, const lc_ls_owner& o, uint64_t s, uint64_t e) {
        std::vector<HeldIt> hit;
        for (auto it = f.held.begin(); it != f.held.end() && it->first <= e; ++it) {
            const lc_ls_lock& l = it->second;
            if (l.range.flavour == LC_LS_POSIX && same_owner(l.owner, o) && l.last >= s) hit.push_back(it);
        }
        for (HeldIt it : hit) {
            lc_ls_lock seg = std::move(it->second);
            erase(f, it);
            bool left = seg.range.start < s;
            if (seg.last > e) {
                lc_ls_lock right = seg;
                right.id = left ? next_id++ : seg.id;
                right.range.start = e + 1;
                right.range.len = segment_len(right.range.start, right.last);
                insert(k, f, std::move(right));
            }
            if (left) {
                seg.last = s - 1;
                seg.range.len = segment_len(seg.range.start, seg.last);
                insert(k, f, std::move(seg));
            }
        }
        return !hit.empty();
    }

    // Holds the new segment `l`, joined with the owner's segments that touch
    // it with the same type and the same items. The joined segment keeps
    // the oldest id.
    void posix_coalesce(const FileKey& k, File& f, lc_ls_lock l) {
        auto mergeable = [&](const lc_ls_lock& n) {
            return n.range.flavour == LC_LS_POSIX && same_owner(n.owner, l.owner) && n.range.type == l.range.type &&
                   n.items == l.items;
        };
        // A Windows point meets a range only past its first byte: joining
        // across another owner's point at `x` would make the joined segment
        // meet it.
        auto point_blocks = [&](uint64_t x, const lc_ls_lock& joined) {
            auto [b, e] = f.held.equal_range(x);
            for (auto it = b; it != e; ++it)
                if (is_point(it->second.range) && conflicts(it->second, joined)) return true;
            return false;
        };
        auto joined_with = [&](const lc_ls_lock& n) {
            lc_ls_lock j;
            j.owner = l.owner;
            j.range = l.range;
            j.range.start = std::min(l.range.start, n.range.start);
            j.last = std::max(l.last, n.last);
            return j;
        };
        auto join = [&](HeldIt it) {
            lc_ls_lock& n = it->second;
            l.range.start = std::min(l.range.start, n.range.start);
            l.last = std::max(l.last, n.last);
            if (n.id < l.id) {
                l.id = n.id;
                l.grant_us = n.grant_us;
            }
            erase(f, it);
        };
        if (l.range.start > 0) {
            for (auto it = f.held.begin(); it != f.held.end() && it->first < l.range.start; ++it)
                if (it->second.last == l.range.start - 1 && mergeable(it->second) &&
                    !point_blocks(l.range.start, joined_with(it->second))) {
                    join(it);
                    break;
                }
        }
        if (l.last < kMax) {
            auto [b, e] = f.held.equal_range(l.last + 1);
            for (auto it = b; it != e; ++it)
                if (mergeable(it->second) && !point_blocks(l.last + 1, joined_with(it->second))) {
                    join(it);
                    break;
                }
        }
        l.range.len = segment_len(l.range.start, l.last);
        insert(k, f, std::move(l));
    }

    // Grants the queued requests of a file that no longer conflict, oldest
    // first; each grant counts for the ones after it.
    // A POSIX grant late in a walk can give up bytes that a request passed
    // over earlier waits for, so the walk goes again until it grants nothing.
    void regrant(const FileKey& k, File& f) {
        for (bool granted = true; granted;) {
            granted = false;
            for (auto it = f.pending.begin(); it != f.pending.end();) {
                if (find_conflict(f, it->req)) {
                    ++it;
                    continue;
                }
                grant(k, f, std::move(it->req));
                it = f.pending.erase(it);
                granted = true;
            }
        }
    }

    void drop_if_empty(std::map<FileKey, File>::iterator it) {
        if (it->second.held.empty() && it->second.pending.empty()) files.erase(it);
    }
};

lc_ls_engine* lc_ls_engine_create(uint32_t boot_tag, const lc_ls_breaks& breaks) {
    auto* e = new lc_ls_engine;
    e->boot_tag = boot_tag;
    e->breaks = breaks;
    return e;
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
    std::lock_guard<std::mutex> g(e->mu);
    FileKey k{r.fs_id, r.fh};
    auto fit = e->files.try_emplace(k).first;
    File& f = fit->second;
    lc_ls_lock req = e->make_lock(o, r, items);
    if (e->find_conflict(f, req)) {
        e->drop_if_empty(fit);
        return LC_LS_DENIED;
    }
    e->grant(k, f, std::move(req));
    // A POSIX re-take may give up bytes or exclusivity that others wait for.
    if (r.flavour == LC_LS_POSIX) e->regrant(k, f);
    return LC_LS_GRANTED;
}

uint32_t lc_ls_test(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r, lc_ls_lock* conflict) {
    std::lock_guard<std::mutex> g(e->mu);
    auto fit = e->files.find(FileKey{r.fs_id, r.fh});
    if (fit == e->files.end()) return LC_LS_GRANTED;
    const lc_ls_lock* l = e->find_conflict(fit->second, e->make_lock(o, r, {}));
    if (!l) return LC_LS_GRANTED;
    if (conflict) *conflict = *l;
    return LC_LS_DENIED;
}

uint32_t lc_ls_free(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r) {
    std::lock_guard<std::mutex> g(e->mu);
    FileKey k{r.fs_id, r.fh};
    auto fit = e->files.find(k);
    if (fit == e->files.end()) return LC_LS_NOT_LOCKED;
    File& f = fit->second;
    bool freed = false;
    if (r.flavour == LC_LS_POSIX) {
        freed = e->posix_cut(k, f, o, r.start, last_of(r));
    } else {
        // One entry of exactly this range: of the same type if there is
        // one, and of those the newest.
        HeldIt pick = f.held.end();
        auto [b, end] = f.held.equal_range(r.start);
        for (auto it = b; it != end; ++it) {
            const lc_ls_lock& l = it->second;
            if (l.range.flavour != LC_LS_WINDOWS || l.range.len != r.len || !same_owner(l.owner, o)) continue;
            if (pick == f.held.end()) {
                pick = it;
                continue;
            }
            bool l_same = l.range.type == r.type, p_same = pick->second.range.type == r.type;
            if ((l_same && !p_same) || (l_same == p_same && l.id > pick->second.id)) pick = it;
        }
        if (pick != f.held.end()) {
            e->erase(f, pick);
            freed = true;
        }
    }
    if (freed) e->regrant(k, f);
    e->drop_if_empty(fit);
    return freed ? LC_LS_GRANTED : LC_LS_NOT_LOCKED;
}

uint32_t lc_ls_blocking_take(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r,
                             const std::vector<std::string>& items, const lc_ls_addr& waiter) {
    std::lock_guard<std::mutex> g(e->mu);
    FileKey k{r.fs_id, r.fh};
    File& f = e->files[k];
    lc_ls_lock req = e->make_lock(o, r, items);
    if (!e->find_conflict(f, req)) {
        e->grant(k, f, std::move(req));
        if (r.flavour == LC_LS_POSIX) e->regrant(k, f);
        return LC_LS_GRANTED;
    }
    for (Waiting& w : f.pending) {
        const lc_ls_range& q = w.req.range;
        if (same_owner(w.req.owner, o) && q.start == r.start && q.len == r.len && q.flavour == r.flavour) {
            w.req = std::move(req);
            w.waiter = waiter;
            return LC_LS_BLOCKED;
        }
    }
    f.pending.push_back(Waiting{e->next_seq++, std::move(req), waiter});
    return LC_LS_BLOCKED;
}

uint32_t lc_ls_cancel(lc_ls_engine* e, const lc_ls_owner& o, const lc_ls_range& r) {
    std::lock_guard<std::mutex> g(e->mu);
    auto fit = e->files.find(FileKey{r.fs_id, r.fh});
    if (fit == e->files.end()) return LC_LS_NOT_LOCKED;
    auto& pending = fit->second.pending;
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        const lc_ls_range& q = it->req.range;
        if (same_owner(it->req.owner, o) && q.start == r.start && q.len == r.len && q.flavour == r.flavour) {
            pending.erase(it);
            e->drop_if_empty(fit);
            return LC_LS_GRANTED;
        }
    }
    return LC_LS_NOT_LOCKED;
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
    } else {
        holders.push_back(ShareHolder{o, mode, access});
    }
    return LC_LS_GRANTED;
}

uint32_t lc_ls_share_free(lc_ls_engine* e, const lc_ls_share_owner& o, uint64_t fh) {
    std::lock_guard<std::mutex> g(e->mu);
    auto sit = e->shares.find(fh);
    if (sit == e->shares.end()) return LC_LS_NOT_LOCKED;
    std::vector<ShareHolder>& holders = sit->second;
    for (auto it = holders.begin(); it != holders.end(); ++it) {
        if (!same_share_owner(it->owner, o)) continue;
        holders.erase(it);
        if (holders.empty()) e->shares.erase(sit);
        return LC_LS_GRANTED;
    }
    return LC_LS_NOT_LOCKED;
}

void lc_ls_free_all(lc_ls_engine* e, std::string_view caller) {
    std::lock_guard<std::mutex> g(e->mu);
    std::vector<FileKey> touched;
    for (auto it = e->by_id.begin(); it != e->by_id.end();) {
        auto [k, hit] = it->second;
        ++it;  // erase() drops this entry
        if (hit->second.owner.caller != caller) continue;
        e->erase(e->files[k], hit);
        touched.push_back(k);
    }
    for (auto& [k, f] : e->files)
        f.pending.remove_if([&](const Waiting& w) { return w.req.owner.caller == caller; });
    if (!e->breaks.free_all_keeps_share) {
        for (auto it = e->shares.begin(); it != e->shares.end();) {
            std::erase_if(it->second, [&](const ShareHolder& h) { return h.owner.caller == caller; });
            it = it->second.empty() ? e->shares.erase(it) : std::next(it);
        }
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    for (const FileKey& k : touched) {
        auto fit = e->files.find(k);
        e->regrant(k, fit->second);
    }
    std::erase_if(e->files, [](const auto& kv) { return kv.second.held.empty() && kv.second.pending.empty(); });
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
        const lc_ls_lock& l = it->second.second->second;
        if (l.range.flavour != q.flavour) continue;
        if ((q.flags & LC_LS_FILTER_FH) && l.range.fh != q.fh) continue;
        size_t cost = q.cost ? q.cost(l) : 1;
        if (following == 0 && out->locks.size() < q.max && cost <= q.budget - used) {
            out->locks.push_back(l);
            used += cost;
        } else {
            following++;
        }
    }
    out->has_more = e->breaks.search_has_more_off_by_one ? following > 1 : following > 0;
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
    std::lock_guard<std::mutex> g(e->mu);
    if (ref32 != e->boot_tag) return LC_LS_NOT_LOCKED;
    auto it = e->by_id.find(ref64);
    if (it == e->by_id.end() || it->second.second->second.range.flavour != flavour) return LC_LS_NOT_LOCKED;
    auto [k, hit] = it->second;
    auto fit = e->files.find(k);
    e->erase(fit->second, hit);
    e->regrant(k, fit->second);
    e->drop_if_empty(fit);
    return LC_LS_GRANTED;
}

lc_ls_counts lc_ls_engine_counts(lc_ls_engine* e) {
    std::lock_guard<std::mutex> g(e->mu);
    lc_ls_counts c;
    c.held = e->by_id.size();
    for (const auto& [k, f] : e->files) c.pending += f.pending.size();
    for (const auto& [fh, hs] : e->shares) c.shares += hs.size();
    return c;
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

void lc_ls_engine_snapshot(lc_ls_engine* e, size_t limit, lc_ls_tables* out) {
    std::lock_guard<std::mutex> g(e->mu);
    *out = lc_ls_tables{};
    out->boot_tag = e->boot_tag;
    for (const auto& [id, where] : e->by_id) {
        if (out->held.size() >= limit) {
            out->truncated = true;
            break;
        }
        out->held.push_back(where.second->second);
    }
    std::vector<const Waiting*> waiting;
    for (const auto& [k, f] : e->files)
        for (const Waiting& w : f.pending) waiting.push_back(&w);
    std::sort(waiting.begin(), waiting.end(), [](const Waiting* a, const Waiting* b) { return a->seq < b->seq; });
    for (const Waiting* w : waiting) {
        if (out->pending.size() >= limit) {
            out->truncated = true;
            break;
        }
        out->pending.push_back(lc_ls_queued{w->seq, w->req, w->waiter});
    }
    for (const auto& [fh, hs] : e->shares)
        for (const ShareHolder& h : hs) {
            if (out->shares.size() >= limit) {
                out->truncated = true;
                break;
            }
            out->shares.push_back(lc_ls_share_entry{fh, h.owner, h.mode, h.access});
        }
}

std::string lc_ls_engine_check(lc_ls_engine* e) {
    std::lock_guard<std::mutex> g(e->mu);
    auto where = [](const lc_ls_lock& l) {
        return "fh " + std::to_string(l.range.fh) + " " + l.owner.caller + "/" + std::to_string(l.owner.owner_id) +
               (l.range.flavour == LC_LS_POSIX ? " posix " : " windows ") +
               (l.range.type == LC_LS_SHARED ? "shared " : "exclusive ") + std::to_string(l.range.start) + "+" +
               std::to_string(l.range.len);
    };
    for (const auto& [k, f] : e->files) {
        std::vector<const lc_ls_lock*> held;
        for (const auto& [start, l] : f.held) held.push_back(&l);
        for (size_t i = 0; i < held.size(); i++)
            for (size_t j = i + 1; j < held.size(); j++) {
                const lc_ls_lock &a = *held[i], &b = *held[j];
                if (same_owner(a.owner, b.owner) && a.range.flavour == b.range.flavour) continue;
                if (e->conflicts(a, b)) return "held " + where(a) + " conflicts with held " + where(b);
            }
        for (const Waiting& w : f.pending) {
            bool blocked = false;
            for (const lc_ls_lock* l : held) blocked = blocked || e->conflicts(w.req, *l);
            if (!blocked) return "queued " + where(w.req) + " conflicts with nothing held";
        }
    }
    return "";
}

std::string lc_ls_engine_json(lc_ls_engine* e, size_t limit) {
    std::lock_guard<std::mutex> g(e->mu);
    bool truncated = false;
    auto add = [&](std::string& list, size_t& n, const std::string& item) {
        if (n >= limit) {
            truncated = true;
            return;
        }
        list += (n++ ? "," : "") + item;
    };
    std::string held, pending, share;
    size_t nh = 0, np = 0, ns = 0;
    for (const auto& [id, where] : e->by_id) add(held, nh, lock_json(where.second->second));
    std::vector<const Waiting*> waiting;
    for (const auto& [k, f] : e->files)
        for (const Waiting& w : f.pending) waiting.push_back(&w);
    std::sort(waiting.begin(), waiting.end(), [](const Waiting* a, const Waiting* b) { return a->seq < b->seq; });
    for (const Waiting* w : waiting) {
        std::string j = lock_json(w->req);
        j.replace(0, j.find(','), "{\"seq\":" + std::to_string(w->seq));
        add(pending, np, j);
    }
    for (const auto& [fh, hs] : e->shares)
        for (const ShareHolder& h : hs)
            add(share, ns,
                "{\"fh\":" + std::to_string(fh) + ",\"caller\":" + lc_json_str(h.owner.caller) + ",\"handle\":\"" +
                    hex_bytes(h.owner.handle, 64) + "\",\"handle_len\":" + std::to_string(h.owner.handle.size()) +
                    ",\"mode\":" + std::to_string(h.mode) + ",\"access\":" + std::to_string(h.access) + "}");
    std::string j = "{\"boot_tag\":" + std::to_string(e->boot_tag) + ",\"held\":[" + held + "],\"pending\":[" +
                    pending + "],\"share\":[" + share + "]";
    if (truncated) j += ",\"truncated\":true";
    return j + "}";
}

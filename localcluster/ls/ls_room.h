// Rooms of the lock tables: how many entries a caller name, a file and the
// whole server may hold or have queued, and the queued requests that wait
// for room to be held (localcluster/ls/README.md, "Caps").
//
// A room counts the entries of its holders: a caller name's own room holds
// only its entries; a file's room and the server's are shared among the
// caller names that use them. A shared room keeps a reserve that only the
// holders holding little there may fill, counting only their own entries,
// so that no handful of names can fill it, whatever they split. A holder
// that holds next to nothing there cuts its own segments past the room,
// so that no crowd of names can refuse it an unlock.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

struct lc_ls_room_rule {
    size_t open = 0;     // grants and queueing stop here
    size_t split = 0;    // an unlock's split stops here
    size_t reserve = 0;  // past them, what the holders holding little may fill among them
    size_t little = 0;   // a holder holds little while it holds at most this many
    size_t past = 0;     // a holder that cuts its own segments to hold at most this many passes them all
};

// A room of `cap` entries shared among names: a quarter of it is the
// reserve, of which one holder holding little may use a 64th (at least
// one); the rest is open to grants, and splits may fill the whole. A
// holder left holding at most 4 (never more than little) by an unlock's
// split or a downgrade passes whatever the room holds: one segment, its
// middle unlocked and a byte of it downgraded.
lc_ls_room_rule lc_ls_room_shared(size_t cap);
// The room of one name: grants stop at `cap`, splits at twice it.
lc_ls_room_rule lc_ls_room_own(size_t cap);

struct lc_ls_room {
    size_t used = 0;
    size_t little_used = 0;  // the entries of the holders holding little
};

inline bool lc_ls_room_little(const lc_ls_room_rule& rule, size_t load) { return load <= rule.little; }

// How a request adds the entries it adds: by what it takes (a grant, a
// queueing), or by cutting its holder's own segments only: an unlock
// that splits one, a downgrade of a piece of one.
enum lc_ls_adding : int { LC_LS_ADD_TAKE, LC_LS_ADD_SPLIT, LC_LS_ADD_DOWNGRADE };

// A holder's count in the room goes from `before` to `after`. True when
// that made room: entries went, or the holders holding little hold fewer
// among them (one grew past little, leaving the reserve). Inline, as the
// next, since every change of the tables counts.
inline bool lc_ls_room_move(lc_ls_room* r, const lc_ls_room_rule& rule, size_t before, size_t after) {
    const size_t little_before = r->little_used;
    r->used = r->used - before + after;
    r->little_used = r->little_used - (lc_ls_room_little(rule, before) ? before : 0) +
                     (lc_ls_room_little(rule, after) ? after : 0);
    return after < before || r->little_used < little_before;
}

// Whether a holder that holds `load` there may add `add` entries `how`.
inline bool lc_ls_room_fits(const lc_ls_room& r, const lc_ls_room_rule& rule, size_t load, size_t add,
                            lc_ls_adding how) {
    if (add == 0) return true;
    if (r.used + add <= (how == LC_LS_ADD_SPLIT ? rule.split : rule.open)) return true;
    // Cutting its own segments, a holder left with next to nothing passes
    // whatever the others filled: what passes so is at most `past` a
    // holder, and it still holds little, so that no room it was counted in
    // is left to others by it (localcluster/ls/README.md, "Caps").
    if (how != LC_LS_ADD_TAKE && load + add <= rule.past) return true;
    // A holder that holds little, and will still, was counted among those
    // that do, and grows there.
    return lc_ls_room_little(rule, load + add) && r.little_used + add <= rule.reserve;
}

// A room shared among names that keeps what each of them holds there:
// one name in place, as most files are used by one, and the others in a
// map. A name that holds none there is not kept.
struct lc_ls_shared_room {
    lc_ls_room room;
    const void* first = nullptr;
    size_t first_holds = 0;
    std::unordered_map<const void*, size_t> others;
};
size_t lc_ls_shared_load(const lc_ls_shared_room* r, const void* name);
// One entry of the name comes (`add`) or goes; true when that made room.
bool lc_ls_shared_count(lc_ls_shared_room* r, const lc_ls_room_rule& rule, const void* name, bool add);
// The room counted afresh from the names' counts: the rule changed.
void lc_ls_shared_recount(lc_ls_shared_room* r, const lc_ls_room_rule& rule);
// Empty when the room counts what `want` says each name holds; otherwise
// the fault.
const char* lc_ls_shared_fault(const lc_ls_shared_room* r, const lc_ls_room_rule& rule,
                               const std::unordered_map<const void*, size_t>& want);

// The queued requests that wait for room in one room, by sequence (oldest
// first): [1] those whose holder holds little there, whom the reserve
// serves too, [0] the others.
struct lc_ls_room_waits {
    std::set<uint64_t> seqs[2];
    bool made = false;  // room was made since they were last looked at
};
// Made when the first request waits in the room, dropped with the last.
using lc_ls_room_waits_slot = std::unique_ptr<lc_ls_room_waits>;

struct lc_ls_wait_place {
    lc_ls_room_waits_slot* slot = nullptr;  // null: waits for no room
    bool little = false;
    bool operator==(const lc_ls_wait_place&) const = default;
};

// Every request waiting for room, each in the one room it was found to
// lack, and the rooms where room was made since their waiters were looked
// at: a change elsewhere cannot give them what they lack.
struct lc_ls_waits {
    std::map<uint64_t, lc_ls_wait_place> where;  // by sequence
    std::vector<lc_ls_room_waits_slot*> made;    // rooms whose `made` is set
    std::set<uint64_t> again;                    // to be looked at once, wherever they wait
    uint64_t tries = 0;                          // requests looked at, ever
};

// Files the request `seq` in `place`, leaving where it waited before.
void lc_ls_waits_file(lc_ls_waits* w, uint64_t seq, lc_ls_wait_place place);
// The request waits for room no more.
void lc_ls_waits_drop(lc_ls_waits* w, uint64_t seq);
lc_ls_wait_place lc_ls_waits_where(const lc_ls_waits* w, uint64_t seq);
// One of the rooms a request of a name counts in, as it stands.
struct lc_ls_room_use {
    lc_ls_room_waits_slot* waits;  // where those waiting for room there wait
    lc_ls_room room;
    const lc_ls_room_rule* rule;
    size_t load;  // what the name holds there
};
// The first of the `n` rooms that lacks room for `add` entries more, added
// `how`, as the place to wait for it there; slot null when none lacks it.
// Inline: every take asks.
inline lc_ls_wait_place lc_ls_rooms_lacking(const lc_ls_room_use* rooms, size_t n, size_t add, lc_ls_adding how) {
    for (size_t i = 0; i < n; i++)
        if (!lc_ls_room_fits(rooms[i].room, *rooms[i].rule, rooms[i].load, add, how))
            return {rooms[i].waits, lc_ls_room_little(*rooms[i].rule, rooms[i].load + add)};
    return {};
}
// Whether the room of `p` among them lacks room for `add` more taken.
bool lc_ls_rooms_lack(const lc_ls_room_use* rooms, size_t n, size_t add, lc_ls_wait_place p);

// Marks made the room whose waiters `slot` keeps, where some wait and
// it is not marked yet: the out-of-line half of the next.
void lc_ls_waits_mark(lc_ls_waits* w, lc_ls_room_waits_slot* slot);
// Room was made, when `made`, in the room whose waiters `slot` keeps: the
// next retry looks at them. Nothing when none waits there, which an
// inline look tells, as every change of the tables asks.
inline void lc_ls_waits_made(lc_ls_waits* w, lc_ls_room_waits_slot* slot, bool made = true) {
    if (made && *slot && !(*slot)->made) lc_ls_waits_mark(w, slot);
}
// Every room where requests wait is marked made: the rules changed.
void lc_ls_waits_made_everywhere(lc_ls_waits* w);

// Outcome of looking at one waiting request.
enum lc_ls_try : int {
    LC_LS_TRY_DONE,   // granted, or waits for room no more
    LC_LS_TRY_WAITS,  // still waits, filed where it lacks room
};
// Looks at the waiters of the rooms where room was made, and at those in
// `again`, oldest first, with try_one(ctx, seq), which grants the request
// or files it again, and may make room (lc_ls_waits_made) or add to
// `again`, which the same call then looks at too. A room's waiters are
// left as soon as one is filed back where it waited: a request waits for
// room only when its grant would add one entry more than its queue entry
// holds (a grant adds at most two), so the others there lack that entry
// too.
void lc_ls_waits_retry(lc_ls_waits* w, lc_ls_try (*try_one)(void* ctx, uint64_t seq), void* ctx);

// Empty when the places, the rooms' lists and the marks agree; otherwise
// the first fault found. Visits every waiter: for tests.
const char* lc_ls_waits_fault(const lc_ls_waits* w);

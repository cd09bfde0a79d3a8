#include "localcluster/ls/ls_room.h"

#include <algorithm>

lc_ls_room_rule lc_ls_room_shared(size_t cap) {
    lc_ls_room_rule r;
    r.reserve = cap / 4;
    r.open = cap - r.reserve;
    r.split = cap;
    r.little = std::max<size_t>(1, r.reserve / 64);
    r.past = std::min<size_t>(4, r.little);
    return r;
}

lc_ls_room_rule lc_ls_room_own(size_t cap) {
    lc_ls_room_rule r;
    r.open = cap;
    r.split = cap > SIZE_MAX / 2 ? SIZE_MAX : 2 * cap;
    return r;
}

size_t lc_ls_shared_load(const lc_ls_shared_room* r, const void* name) {
    if (name == r->first) return r->first_holds;
    auto it = r->others.find(name);
    return it == r->others.end() ? 0 : it->second;
}

bool lc_ls_shared_count(lc_ls_shared_room* r, const lc_ls_room_rule& rule, const void* name, bool add) {
    size_t before, after;
    if (name == r->first || (!r->first && add && !r->others.count(name))) {
        r->first = name;
        before = r->first_holds;
        after = r->first_holds = add ? before + 1 : before - 1;
        if (after == 0) r->first = nullptr;
    } else {
        auto it = r->others.try_emplace(name).first;
        before = it->second;
        after = it->second = add ? before + 1 : before - 1;
        if (after == 0) r->others.erase(it);
    }
    return lc_ls_room_move(&r->room, rule, before, after);
}

void lc_ls_shared_recount(lc_ls_shared_room* r, const lc_ls_room_rule& rule) {
    r->room = {};
    lc_ls_room_move(&r->room, rule, 0, r->first_holds);
    for (const auto& [name, n] : r->others) lc_ls_room_move(&r->room, rule, 0, n);
}

const char* lc_ls_shared_fault(const lc_ls_shared_room* r, const lc_ls_room_rule& rule,
                               const std::unordered_map<const void*, size_t>& want) {
    std::unordered_map<const void*, size_t> held = r->others;
    if (r->first && !held.emplace(r->first, r->first_holds).second) return "a name kept twice";
    if ((r->first == nullptr) != (r->first_holds == 0)) return "a name kept in place holding none";
    if (held != want) return "what names hold differs from their entries";
    lc_ls_shared_room again = *r;
    lc_ls_shared_recount(&again, rule);
    if (again.room.used != r->room.used || again.room.little_used != r->room.little_used)
        return "the room's counts differ from what its names hold";
    return "";
}

bool lc_ls_rooms_lack(const lc_ls_room_use* rooms, size_t n, size_t add, lc_ls_wait_place p) {
    for (size_t i = 0; i < n; i++)
        if (p == lc_ls_wait_place{rooms[i].waits, lc_ls_room_little(*rooms[i].rule, rooms[i].load + add)})
            return !lc_ls_room_fits(rooms[i].room, *rooms[i].rule, rooms[i].load, add, LC_LS_ADD_TAKE);
    return false;
}

namespace {

void unmark(lc_ls_waits* w, lc_ls_room_waits_slot* slot) {
    if ((*slot)->made) w->made.erase(std::find(w->made.begin(), w->made.end(), slot));
}

}  // namespace

void lc_ls_waits_drop(lc_ls_waits* w, uint64_t seq) {
    auto it = w->where.find(seq);
    if (it == w->where.end()) return;
    lc_ls_wait_place p = it->second;
    w->where.erase(it);
    lc_ls_room_waits& r = **p.slot;
    r.seqs[p.little].erase(seq);
    if (r.seqs[0].empty() && r.seqs[1].empty()) {
        // Its owner (a file, a caller record) may go once nothing waits.
        unmark(w, p.slot);
        p.slot->reset();
    }
}

void lc_ls_waits_file(lc_ls_waits* w, uint64_t seq, lc_ls_wait_place place) {
    auto it = w->where.find(seq);
    if (it != w->where.end()) {
        if (it->second == place) return;
        lc_ls_waits_drop(w, seq);
    }
    if (!*place.slot) *place.slot = std::make_unique<lc_ls_room_waits>();
    (*place.slot)->seqs[place.little].insert(seq);
    w->where.emplace(seq, place);
}

lc_ls_wait_place lc_ls_waits_where(const lc_ls_waits* w, uint64_t seq) {
    auto it = w->where.find(seq);
    return it == w->where.end() ? lc_ls_wait_place{} : it->second;
}

void lc_ls_waits_mark(lc_ls_waits* w, lc_ls_room_waits_slot* slot) {
    w->made.push_back(slot);
    (*slot)->made = true;
}

void lc_ls_waits_made_everywhere(lc_ls_waits* w) {
    for (const auto& [seq, p] : w->where) lc_ls_waits_made(w, p.slot);
}

void lc_ls_waits_retry(lc_ls_waits* w, lc_ls_try (*try_one)(void* ctx, uint64_t seq), void* ctx) {
    // The lists being looked at: a room's waiters holding little when
    // `little`, else the others. The rooms live as long as the tables do
    // during a retry, and a slot emptied meanwhile is null.
    std::vector<lc_ls_wait_place> lists;
    for (;;) {
        for (lc_ls_room_waits_slot* slot : w->made) {
            (*slot)->made = false;
            for (bool little : {false, true}) {
                lc_ls_wait_place p{slot, little};
                if (std::find(lists.begin(), lists.end(), p) == lists.end()) lists.push_back(p);
            }
        }
        w->made.clear();
        uint64_t oldest = UINT64_MAX;
        size_t from = lists.size();  // lists.size(): from `again`
        bool any = !w->again.empty();
        if (any) oldest = *w->again.begin();
        for (size_t i = 0; i < lists.size();) {
            lc_ls_room_waits* r = lists[i].slot->get();
            if (!r || r->seqs[lists[i].little].empty()) {
                lists.erase(lists.begin() + long(i));
                continue;
            }
            uint64_t head = *r->seqs[lists[i].little].begin();
            if (!any || head < oldest) {
                oldest = head;
                from = i;
                any = true;
            }
            i++;
        }
        if (!any) return;
        w->again.erase(oldest);
        w->tries++;
        lc_ls_try t = try_one(ctx, oldest);
        if (from < lists.size() && t == LC_LS_TRY_WAITS && lc_ls_waits_where(w, oldest) == lists[from])
            lists.erase(lists.begin() + long(from));
    }
}

const char* lc_ls_waits_fault(const lc_ls_waits* w) {
    std::set<const lc_ls_room_waits_slot*> slots;
    for (const auto& [seq, p] : w->where) {
        if (!p.slot || !*p.slot) return "a request waits in a room that keeps no waiters";
        if (!(*p.slot)->seqs[p.little].count(seq)) return "a request waits in a room that does not list it";
        slots.insert(p.slot);
    }
    size_t listed = 0;
    for (const lc_ls_room_waits_slot* s : slots) {
        for (bool little : {false, true})
            for (uint64_t seq : (*s)->seqs[little]) {
                listed++;
                auto it = w->where.find(seq);
                if (it == w->where.end() || it->second.slot != s || it->second.little != little)
                    return "a room lists a request that waits elsewhere";
            }
        if ((*s)->made && std::find(w->made.begin(), w->made.end(), s) == w->made.end())
            return "room made where requests wait, and not marked";
    }
    if (listed != w->where.size()) return "rooms list more waiters than wait";
    for (const lc_ls_room_waits_slot* s : w->made)
        if (!*s || !(*s)->made || !slots.count(s)) return "a room marked made keeps no waiters";
    return "";
}

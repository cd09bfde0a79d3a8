// The lock tables' rooms: what a holder may add to a room shared among
// names, and the order in which requests waiting for room are looked at
// again when room is made.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "localcluster/ls/ls_room.h"

namespace {

TEST(LsRoomTest, SharedRoomsKeepAReserveForHoldersHoldingLittle) {
    const lc_ls_room_rule big = lc_ls_room_shared(1024);  // open 768, reserve 256, 4 each
    EXPECT_EQ(768u, big.open);
    EXPECT_EQ(1024u, big.split);
    EXPECT_EQ(256u, big.reserve);
    EXPECT_EQ(4u, big.little);
    const lc_ls_room_rule small = lc_ls_room_shared(8);  // open 6, reserve 2, 1 each
    const lc_ls_room_rule own = lc_ls_room_own(5);
    const lc_ls_adding T = LC_LS_ADD_TAKE, S = LC_LS_ADD_SPLIT, D = LC_LS_ADD_DOWNGRADE;
    struct Row {
        const char* what;
        const lc_ls_room_rule& rule;
        size_t used, little_used, load, add;
        lc_ls_adding how;
        bool fits;
    };
    const Row rows[] = {
        {"open room", big, 767, 0, 100, 1, T, true},
        {"open room full", big, 768, 0, 100, 1, T, false},
        {"a split past it", big, 1023, 0, 100, 1, S, true},
        {"a split past the whole", big, 1024, 0, 100, 1, S, false},
        {"the reserve, holding little after", big, 2000, 255, 3, 1, T, true},
        {"two, past little after", big, 2000, 0, 3, 2, T, false},
        {"the reserve full", big, 2000, 256, 0, 1, T, false},
        {"a split in the reserve", big, 2000, 200, 1, 1, S, true},
        {"a split to 4 past the whole and the reserve", big, 5000, 5000, 3, 1, S, true},
        {"a downgrade to 4 past them", big, 5000, 5000, 2, 2, D, true},
        {"a split to 5 past them", big, 5000, 5000, 4, 1, S, false},
        {"a take to 2 past them", big, 5000, 5000, 1, 1, T, false},
        {"never past little: a split to 2 of 1", small, 50, 50, 1, 1, S, false},
        {"adding nothing", big, 5000, 5000, 100, 0, T, true},
        {"a name's own", own, 4, 0, 4, 1, T, true},
        {"past it", own, 5, 0, 5, 1, T, false},
        {"a split up to twice", own, 9, 0, 9, 1, S, true},
        {"past twice", own, 10, 0, 10, 1, S, false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.fits, lc_ls_room_fits(lc_ls_room{r.used, r.little_used}, r.rule, r.load, r.add, r.how)) << r.what;

    // A request waits in the first room it lacks, with those holding
    // little there when it does, which the reserve serves too.
    lc_ls_room_waits_slot mine, file;
    for (size_t load : {3, 4}) {
        SCOPED_TRACE(load);
        const lc_ls_room_use rooms[] = {{&mine, lc_ls_room{4, 0}, &own, 4}, {&file, lc_ls_room{768, 256}, &big, load}};
        const lc_ls_wait_place lacking = lc_ls_rooms_lacking(rooms, 2, 1, LC_LS_ADD_TAKE);
        EXPECT_EQ((lc_ls_wait_place{&file, load == 3}), lacking);
        EXPECT_TRUE(lc_ls_rooms_lack(rooms, 2, 1, lacking));
        EXPECT_FALSE(lc_ls_rooms_lack(rooms, 2, 1, {&mine, false}));
        EXPECT_FALSE(lc_ls_rooms_lacking(rooms, 1, 1, LC_LS_ADD_TAKE).slot);
    }

    // Room is made when entries go, or when a holder grows past little and
    // leaves the reserve to the others.
    lc_ls_room room;
    EXPECT_FALSE(lc_ls_room_move(&room, big, 0, 4));
    EXPECT_EQ(4u, room.little_used);
    EXPECT_TRUE(lc_ls_room_move(&room, big, 4, 5));
    EXPECT_EQ(0u, room.little_used);
    EXPECT_FALSE(lc_ls_room_move(&room, big, 5, 6));
    EXPECT_TRUE(lc_ls_room_move(&room, big, 6, 2));
    EXPECT_EQ(2u, room.used);
    EXPECT_EQ(2u, room.little_used);
}

// What a retry finds when it looks at a request.
enum Outcome { kGranted, kStays, kMovesToB, kGrantedMakingB };

struct World {
    lc_ls_waits w;
    lc_ls_room_waits_slot a, b;
    std::map<uint64_t, Outcome> outcome;
    std::vector<uint64_t> tried;

    static lc_ls_try try_one(void* ctx, uint64_t seq) {
        auto* x = static_cast<World*>(ctx);
        x->tried.push_back(seq);
        switch (x->outcome[seq]) {
            case kStays:
                lc_ls_waits_file(&x->w, seq, lc_ls_waits_where(&x->w, seq));
                return LC_LS_TRY_WAITS;
            case kMovesToB:
                lc_ls_waits_file(&x->w, seq, {&x->b, false});
                return LC_LS_TRY_WAITS;
            case kGrantedMakingB:
                lc_ls_waits_made(&x->w, &x->b);
                [[fallthrough]];
            case kGranted:
                lc_ls_waits_drop(&x->w, seq);
                return LC_LS_TRY_DONE;
        }
        return LC_LS_TRY_DONE;
    }
};

// Oldest first across the rooms where room was made and the requests to
// be looked at again; a room is left once a request is filed back there,
// not when one goes to wait elsewhere; a room made during the retry is
// looked at in it.
TEST(LsRoomTest, RetriesLookOldestFirstWhereRoomWasMade) {
    struct Waiter {
        uint64_t seq;
        bool in_b, little;
        Outcome outcome;
    };
    struct Row {
        const char* what;
        std::vector<Waiter> waiters;
        bool made_a, made_b;
        std::vector<uint64_t> again;
        std::vector<uint64_t> tried;
        size_t left;  // still waiting
    };
    const Row rows[] = {
        {"a room is left at the first filed back there",
         {{1, false, false, kStays}, {2, false, false, kGranted}},
         true, false, {}, {1}, 2},
        {"not at one that waits elsewhere now",
         {{1, false, false, kMovesToB}, {2, false, false, kStays}, {3, false, false, kGranted}},
         true, false, {}, {1, 2}, 3},
        {"the little and the others, oldest first",
         {{1, false, true, kGranted}, {2, false, false, kGranted}, {3, false, true, kStays}, {4, false, false, kStays}},
         true, false, {}, {1, 2, 3, 4}, 2},
        {"no room made: nobody looked at", {{1, false, false, kGranted}}, false, false, {}, {}, 1},
        {"again, beside the rooms",
         {{1, false, false, kStays}, {2, true, false, kGranted}, {3, true, false, kStays}},
         true, false, {2}, {1, 2}, 2},
        {"room made during the retry",
         {{1, false, false, kGrantedMakingB}, {2, true, false, kGranted}, {3, false, false, kStays}},
         true, false, {}, {1, 2, 3}, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        World x;
        for (const Waiter& v : r.waiters) {
            lc_ls_waits_file(&x.w, v.seq, {v.in_b ? &x.b : &x.a, v.little});
            x.outcome[v.seq] = v.outcome;
        }
        if (r.made_a) lc_ls_waits_made(&x.w, &x.a);
        if (r.made_b) lc_ls_waits_made(&x.w, &x.b);
        x.w.again.insert(r.again.begin(), r.again.end());
        lc_ls_waits_retry(&x.w, World::try_one, &x);
        EXPECT_EQ(r.tried, x.tried);
        EXPECT_EQ(r.tried.size(), x.w.tries);
        EXPECT_EQ(r.left, x.w.where.size());
        EXPECT_STREQ("", lc_ls_waits_fault(&x.w));
        // A room left with nobody waiting is dropped.
        for (const lc_ls_room_waits_slot* s : {&x.a, &x.b}) {
            bool used = false;
            for (const auto& [seq, p] : x.w.where) used = used || p.slot == s;
            EXPECT_EQ(used, bool(*s));
        }
    }
}

}  // namespace

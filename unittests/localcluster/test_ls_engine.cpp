// The lock server's tables without the network: overlap and conflict rules
// of both flavours, POSIX segments, blocking requests, share modes,
// free-all, the control listing and the size limits of a request.
#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "localcluster/ls/ls_engine.h"
#include "localcluster/ls/ls_index.h"
#include "localcluster/ls/ls_proto.h"
#include "localcluster/ls/ls_room.h"
#include "test_ls_frames.h"

namespace {

constexpr uint64_t kMax = UINT64_MAX;
constexpr uint32_t S = LC_LS_SHARED, X = LC_LS_EXCLUSIVE;
constexpr uint32_t kBoot = 0xB0075EED;

struct Engine {
    lc_ls_engine* e;
    explicit Engine(lc_ls_breaks b = {}) : e(lc_ls_engine_create(kBoot, b)) {}
    ~Engine() { lc_ls_engine_destroy(e); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    operator lc_ls_engine*() const { return e; }
};

lc_ls_owner owner(const std::string& caller, uint64_t id, uint32_t caller_id = 0) {
    lc_ls_owner o;
    o.caller = caller;
    o.owner_id = id;
    o.caller_id = caller_id;
    return o;
}

lc_ls_range range(uint32_t flavour, uint64_t start, uint64_t len, uint32_t type, uint64_t fh = 0x10,
                  uint64_t fs_id = 0x1001) {
    return {.fs_id = fs_id, .fh = fh, .start = start, .len = len, .type = type, .flavour = flavour};
}
lc_ls_range win(uint64_t start, uint64_t len, uint32_t type = X, uint64_t fh = 0x10) {
    return range(LC_LS_WINDOWS, start, len, type, fh);
}
lc_ls_range posix(uint64_t start, uint64_t len, uint32_t type = X, uint64_t fh = 0x10) {
    return range(LC_LS_POSIX, start, len, type, fh);
}

std::vector<lc_ls_lock> all_held(lc_ls_engine* e, uint32_t flavour) {
    lc_ls_search_query q;
    q.flavour = flavour;
    q.max = UINT32_MAX;
    lc_ls_search_page page;
    EXPECT_EQ(0u, lc_ls_search(e, q, &page));
    return page.locks;
}

// The POSIX segments on the engine, by start: "start-last:T" with "=items"
// when the segment carries any, "-EOF" for a segment to the end.
std::string segments(lc_ls_engine* e) {
    std::vector<lc_ls_lock> locks = all_held(e, LC_LS_POSIX);
    std::sort(locks.begin(), locks.end(),
              [](const lc_ls_lock& a, const lc_ls_lock& b) { return a.range.start < b.range.start; });
    std::string out;
    for (const lc_ls_lock& l : locks) {
        if (!out.empty()) out += " ";
        out += l.owner.caller + ":" + std::to_string(l.range.start) + "-" +
               (l.last == kMax ? std::string("EOF") : std::to_string(l.last)) + ":" + (l.range.type == S ? "S" : "X");
        for (const std::string& i : l.items) out += "=" + i;
        // Reported lengths follow the segment.
        EXPECT_EQ(l.last == kMax ? 0 : l.last - l.range.start + 1, l.range.len) << out;
    }
    return out;
}

// ---------------------------------------------------------------- Windows overlap and conflicts

struct PointRow {
    uint64_t s1, l1, s2, l2;
};
// A zero-length lock at X meets (s, len) exactly when s < X < s + len;
// two zero-length locks never meet.
const PointRow kPointRows[] = {
    {10, 0, 10, 0}, {10, 0, 9, 1}, {10, 0, 10, 1}, {10, 0, 11, 1}, {10, 0, 9, 2}, {10, 0, 10, 2}, {10, 0, 9, 3},
    {9, 1, 10, 0},  {10, 1, 10, 0}, {11, 1, 10, 0}, {9, 2, 10, 0}, {10, 2, 10, 0}, {9, 3, 10, 0}, {0, 0, 0, 0},
    {kMax - 1, 0, kMax - 2, 2}, {kMax - 1, 0, kMax - 2, 3}, {kMax, 1, kMax - 1, 0}, {0, kMax, kMax - 1, 0},
};

bool point_meets(uint64_t x, uint64_t s, uint64_t len) { return x > s && x - s < len; }

TEST(LsEngineWindowsTest, ZeroLengthLocksFollowTheOverlapRuleInBothOrders) {
    for (bool at_start_break : {false, true}) {
        lc_ls_breaks b;
        b.zero_len_conflicts_at_start = at_start_break;
        for (const PointRow& row : kPointRows) {
            for (bool swap : {false, true}) {
                Engine e(b);
                uint64_t s1 = swap ? row.s2 : row.s1, l1 = swap ? row.l2 : row.l1;
                uint64_t s2 = swap ? row.s1 : row.s2, l2 = swap ? row.l1 : row.l2;
                bool point1 = l1 == 0, point2 = l2 == 0;
                bool meet = point1 == point2 ? false : point1 ? point_meets(s1, s2, l2) : point_meets(s2, s1, l1);
                if (at_start_break && point1 != point2) meet = meet || (point1 ? s1 == s2 : s2 == s1);
                SCOPED_TRACE(std::to_string(s1) + "," + std::to_string(l1) + " then " + std::to_string(s2) + "," +
                             std::to_string(l2) + (at_start_break ? " (broken)" : ""));
                ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("p", 1), win(s1, l1), {}));
                EXPECT_EQ(meet ? LC_LS_DENIED : LC_LS_GRANTED, lc_ls_take(e, owner("q", 2), win(s2, l2), {}));
            }
        }
    }
}

struct ConflictRow {
    const char* what;
    bool same_owner;
    uint32_t held_flavour, held_type, req_flavour, req_type;
    uint32_t expect;          // status of the second take
    uint32_t expect_ignoring; // with a Windows exclusive take that ignores its own locks
};

TEST(LsEngineWindowsTest, OwnLockRulesAndOtherOwners) {
    const uint32_t W = LC_LS_WINDOWS, P = LC_LS_POSIX, G = LC_LS_GRANTED, D = LC_LS_DENIED;
    const ConflictRow rows[] = {
        {"others share", false, W, S, W, S, G, G},
        {"other's exclusive", false, W, X, W, S, D, D},
        {"exclusive over other's shared", false, W, S, W, X, D, D},
        {"own exclusive over own exclusive", true, W, X, W, X, D, G},
        {"own exclusive over own shared", true, W, S, W, X, D, G},
        {"own shared over own exclusive", true, W, X, W, S, G, G},
        {"own shared twice", true, W, S, W, S, G, G},
        {"own POSIX re-take", true, P, S, P, X, G, G},
        {"own POSIX over own Windows exclusive", true, W, X, P, S, D, D},
        {"own Windows shared over own POSIX exclusive", true, P, X, W, S, D, D},
        {"own Windows shared over own POSIX shared", true, P, S, W, S, G, G},
        {"other's POSIX", false, P, S, P, X, D, D},
    };
    for (bool ignoring : {false, true}) {
        lc_ls_breaks b;
        b.win_excl_ignores_own = ignoring;
        for (const ConflictRow& row : rows) {
            Engine e(b);
            SCOPED_TRACE(std::string(row.what) + (ignoring ? " (broken)" : ""));
            ASSERT_EQ(G, lc_ls_take(e, owner("a", 1), range(row.held_flavour, 100, 50, row.held_type), {}));
            lc_ls_owner second = row.same_owner ? owner("a", 1, 77) : owner("a", 2);
            EXPECT_EQ(ignoring ? row.expect_ignoring : row.expect,
                      lc_ls_take(e, second, range(row.req_flavour, 120, 50, row.req_type), {}));
        }
    }
    // Touching ranges and other files never conflict.
    Engine e;
    ASSERT_EQ(G, lc_ls_take(e, owner("a", 1), win(256, 256), {}));
    EXPECT_EQ(G, lc_ls_take(e, owner("b", 1), win(512, 256), {}));
    EXPECT_EQ(G, lc_ls_take(e, owner("b", 1), win(256, 256, X, 0x11), {}));
    EXPECT_EQ(G, lc_ls_take(e, owner("b", 1), range(LC_LS_WINDOWS, 256, 256, X, 0x10, 0x1002), {}));
}

TEST(LsEngineWindowsTest, SharedTakesStackAndFreesRemoveOneExactEntry) {
    Engine e;
    lc_ls_owner a = owner("a", 1), b = owner("b", 2);
    for (int i = 0; i < 64; i++) ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, a, win(0x1000, 0x200, S), {}));
    for (int i = 0; i < 64; i++) {
        EXPECT_EQ(LC_LS_DENIED, lc_ls_take(e, b, win(0x1000, 0x200), {})) << i;
        // Only the exact range frees: not a shorter one, not another start.
        EXPECT_EQ(LC_LS_NOT_LOCKED, lc_ls_free(e, a, win(0x1000, 0x1FF, S)));
        EXPECT_EQ(LC_LS_NOT_LOCKED, lc_ls_free(e, a, win(0x1001, 0x200, S)));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, a, win(0x1000, 0x200, S))) << i;
    }
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_take(e, b, win(0x1000, 0x200), {}));
    EXPECT_EQ(LC_LS_NOT_LOCKED, lc_ls_free(e, a, win(0x1000, 0x200, S)));

    // Of several entries the same type goes first, then the newest.
    Engine f;
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(f, a, win(0, 10, X), {"x"}));
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(f, a, win(0, 10, S), {"s1"}));
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(f, a, win(0, 10, S), {"s2"}));
    auto left = [&] {
        std::string out;
        for (const lc_ls_lock& l : all_held(f, LC_LS_WINDOWS)) out += l.items[0] + " ";
        return out;
    };
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(f, a, win(0, 10, S)));
    EXPECT_EQ("x s1 ", left());
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(f, a, win(0, 10, X)));
    EXPECT_EQ("s1 ", left());
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(f, a, win(0, 10, X)));  // no exclusive left: the shared one goes
    EXPECT_EQ("", left());
    // A free needs the owner: caller name and owner_id, whatever the address.
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(f, a, win(0, 10), {}));
    EXPECT_EQ(LC_LS_NOT_LOCKED, lc_ls_free(f, owner("a", 2), win(0, 10)));
    lc_ls_owner moved = owner("a", 1, 99);
    moved.addr[0] = 0xEE;
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_free(f, moved, win(0, 10)));
}

TEST(LsEngineWindowsTest, TestReportsTheFirstConflictWithItsItems) {
    Engine e;
    lc_ls_owner a = owner("a", 1), b = owner("b", 2);
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, a, win(300, 100, S), {"third"}));
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, a, win(200, 100, X), {"second"}));
    ASSERT_EQ(LC_LS_DENIED, lc_ls_take(e, b, win(200, 50, S), {"never"}));  // shared over a's exclusive
    lc_ls_lock c;
    ASSERT_EQ(LC_LS_DENIED, lc_ls_test(e, owner("c", 3), win(0, 1000), &c));
    EXPECT_EQ(200u, c.range.start);
    EXPECT_EQ(100u, c.range.len);
    EXPECT_EQ(std::vector<std::string>{"second"}, c.items);
    EXPECT_EQ(1u, c.owner.owner_id);
    // The holder testing its own exclusive range gets its own lock back.
    ASSERT_EQ(LC_LS_DENIED, lc_ls_test(e, a, win(200, 100, X), &c));
    EXPECT_EQ("second", c.items.at(0));
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_test(e, a, win(1000, 1, X), &c));
    EXPECT_EQ(0u, lc_ls_engine_counts(e).pending);
}

// ---------------------------------------------------------------- ranges at the edges

TEST(LsEngineRangeTest, RangesUpToTheTopOfTheOffsetSpaceAndNoFurther) {
    struct Row {
        uint64_t fh, start, len;
        uint32_t type, flavour;
        bool valid;
    };
    const Row rows[] = {
        {1, kMax, 1, X, 2, true},        {1, kMax, 2, X, 2, false},     {1, 0, kMax, X, 2, true},
        {1, 1, kMax, X, 1, true},        {1, 2, kMax, X, 1, false},     {1, kMax, 0, X, 2, true},
        {1, kMax, 0, X, 1, true},        {1, 1ull << 63, 1ull << 63, S, 1, true},
        {1, (1ull << 63) + 1, 1ull << 63, S, 1, false},               {kMax, 0, 0, S, 2, true},
        {0, 0, 16, X, 2, false},         {1, 0, 16, 0, 2, false},       {1, 0, 16, 3, 2, false},
        {1, 0, 16, X, 0, false},         {1, 0, 16, X, 3, false},
    };
    for (const Row& r : rows) {
        lc_ls_range lr = range(r.flavour, r.start, r.len, r.type, r.fh);
        EXPECT_EQ(r.valid, lc_ls_range_valid(lr)) << r.fh << " " << r.start << "+" << r.len;
    }
    // A POSIX lock of length 0 reaches the last byte; one of length 1 at
    // the top is its own range.
    Engine e;
    for (uint64_t x : std::vector<uint64_t>{0, 1, 100, 4294967295u, 9223372036854775807u, kMax - 1}) {
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("eof", 1), posix(x, 0), {})) << x;
        EXPECT_EQ(LC_LS_DENIED, lc_ls_take(e, owner("o", 2), posix(x, 1), {})) << x;
        EXPECT_EQ(LC_LS_DENIED, lc_ls_take(e, owner("o", 2), posix(kMax, 1), {})) << x;
        if (x) {
            EXPECT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("o", 2), posix(x - 1, 1, S), {})) << x;
        }
        lc_ls_free_all(e, "eof");
        lc_ls_free_all(e, "o");
    }
    // The last byte and everything before it are two ranges that only touch.
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("w", 1), win(kMax, 1), {}));
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("w", 2), win(0, kMax), {}));
    EXPECT_EQ(LC_LS_DENIED, lc_ls_take(e, owner("w", 3), win(kMax - 1, 2, S), {}));
    EXPECT_EQ(LC_LS_DENIED, lc_ls_take(e, owner("w", 3), win(kMax - 1, 0), {}));
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("w", 3), win(0, 0), {}));
}

// ---------------------------------------------------------------- POSIX segments

TEST(LsEnginePosixTest, SegmentsSplitMergeUpgradeAndDowngrade) {
    struct Step {
        bool take;  // else free
        uint64_t start, len;
        uint32_t type;
        std::vector<std::string> items;
        uint32_t expect;
        const char* after;
    };
    const Step steps[] = {
        {true, 0, 100, X, {}, LC_LS_GRANTED, "a:0-99:X"},
        {true, 40, 20, S, {}, LC_LS_GRANTED, "a:0-39:X a:40-59:S a:60-99:X"},
        {true, 40, 20, X, {}, LC_LS_GRANTED, "a:0-99:X"},
        {false, 10, 10, S, {}, LC_LS_GRANTED, "a:0-9:X a:20-99:X"},
        {false, 10, 10, X, {}, LC_LS_NOT_LOCKED, "a:0-9:X a:20-99:X"},
        {true, 10, 10, X, {}, LC_LS_GRANTED, "a:0-99:X"},
        {true, 100, 100, X, {"i"}, LC_LS_GRANTED, "a:0-99:X a:100-199:X=i"},
        {true, 0, 100, X, {"i"}, LC_LS_GRANTED, "a:0-199:X=i"},
        {true, 50, 100, S, {"j", "k"}, LC_LS_GRANTED, "a:0-49:X=i a:50-149:S=j=k a:150-199:X=i"},
        {true, 300, 0, S, {}, LC_LS_GRANTED, "a:0-49:X=i a:50-149:S=j=k a:150-199:X=i a:300-EOF:S"},
        {false, 400, 0, X, {}, LC_LS_GRANTED, "a:0-49:X=i a:50-149:S=j=k a:150-199:X=i a:300-399:S"},
        {false, 0, 0, X, {}, LC_LS_GRANTED, ""},
        {false, 0, 0, X, {}, LC_LS_NOT_LOCKED, ""},
    };
    Engine e;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
        const Step& s = steps[i];
        uint32_t got = s.take ? lc_ls_take(e, owner("a", 1), posix(s.start, s.len, s.type), s.items)
                              : lc_ls_free(e, owner("a", 1), posix(s.start, s.len, s.type));
        EXPECT_EQ(s.expect, got) << "step " << i;
        EXPECT_EQ(s.after, segments(e)) << "step " << i;
    }
}

TEST(LsEnginePosixTest, RefusedUpgradeKeepsTheOldLockAndTilesMerge) {
    Engine e;
    lc_ls_owner a = owner("a", 1), b = owner("a", 2);
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, a, posix(0, 4096, S), {"old"}));
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, b, posix(1000, 10, S), {}));
    EXPECT_EQ(LC_LS_DENIED, lc_ls_take(e, a, posix(0, 4096, X), {"new"}));
    EXPECT_EQ("a:0-4095:S=old a:1000-1009:S", segments(e));
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, b, posix(1000, 10, S)));
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_take(e, a, posix(0, 4096, X), {"new"}));
    EXPECT_EQ("a:0-4095:X=new", segments(e));

    // 1000 adjacent tiles up to the last byte but one become one segment.
    Engine t;
    const uint64_t step = kMax / 1000;
    for (uint64_t i = 0; i < 1000; i++) {
        uint64_t len = i == 999 ? kMax - 999 * step : step;
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(t, a, posix(i * step, len), {})) << i;
    }
    EXPECT_EQ("a:0-18446744073709551614:X", segments(t));
    lc_ls_lock c;
    EXPECT_EQ(LC_LS_DENIED, lc_ls_test(t, b, posix(500 * step, 1), &c));
    EXPECT_EQ(0u, c.range.start);
    EXPECT_EQ(kMax, c.range.len);
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_test(t, b, posix(kMax, 1), &c));
}

// A Windows point at the joint of two touching segments of one owner keeps
// them apart while it would meet the joined segment; once the last such
// point goes, by a free, a free-all or a control remove, they are one, as
// if the point had never been there, so that a later request is answered
// as it would be without that history. Also: a grant that weakens its
// owner's segments frees a request the release had passed over.
TEST(LsEnginePosixTest, WhatIsHeldDoesNotDependOnTheOrderItCameIn) {
    using Op = std::function<uint32_t(lc_ls_engine*)>;
    auto take = [](const char* who, lc_ls_range r) -> Op {
        return [=](lc_ls_engine* e) { return lc_ls_take(e, owner(who, 1), r, {}); };
    };
    auto queue = [](const char* who, lc_ls_range r) -> Op {
        return [=](lc_ls_engine* e) { return lc_ls_blocking_take(e, owner(who, 1), r, {}, lc_ls_addr{}); };
    };
    auto free = [](const char* who, lc_ls_range r) -> Op {
        return [=](lc_ls_engine* e) { return lc_ls_free(e, owner(who, 1), r); };
    };
    auto free_all = [](const char* who) -> Op {
        return [=](lc_ls_engine* e) {
            lc_ls_free_all(e, who);
            return LC_LS_GRANTED;
        };
    };
    auto remove_points = [](lc_ls_engine* e) {
        for (const lc_ls_lock& l : all_held(e, LC_LS_WINDOWS))
            if (l.range.len == 0 && lc_ls_remove(e, kBoot, l.id, LC_LS_WINDOWS) != LC_LS_GRANTED) return LC_LS_DENIED;
        return LC_LS_GRANTED;
    };
    const uint32_t G = LC_LS_GRANTED, D = LC_LS_DENIED, B = LC_LS_BLOCKED;
    struct Row {
        const char* what;
        std::vector<std::pair<Op, uint32_t>> steps;
        const char* after;  // the POSIX segments
        size_t pending;
    };
    const std::vector<std::pair<Op, uint32_t>> apart = {
        {take("w", win(8, 0, X)), G}, {take("p", posix(0, 8, X)), G}, {take("p", posix(8, 8, X)), G}};
    auto with = [&](std::vector<std::pair<Op, uint32_t>> more) {
        std::vector<std::pair<Op, uint32_t>> all = apart;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const Row rows[] = {
        {"no join across a point: another's shared point there is granted",
         with({{take("y", win(8, 0, S)), G}}), "p:0-7:X p:8-15:X", 0},
        {"the point's free joins them: a point there is denied as without it",
         with({{free("w", win(8, 0, X)), G}, {take("x", win(8, 0, X)), D}}), "p:0-15:X", 0},
        {"so does its owner's free-all", with({{free_all("w"), G}, {take("x", win(8, 0, X)), D}}), "p:0-15:X", 0},
        {"so does a control remove", with({{remove_points, G}, {take("x", win(8, 0, S)), D}}), "p:0-15:X", 0},
        {"another point at the byte keeps them apart",
         with({{take("v", win(8, 0, S)), G}, {free("w", win(8, 0, X)), G}, {take("x", win(8, 0, X)), G}}),
         "p:0-7:X p:8-15:X", 0},
        {"until the last of them goes",
         with({{take("v", win(8, 0, S)), G}, {free("w", win(8, 0, X)), G}, {free_all("v"), G}}), "p:0-15:X", 0},
        {"a shared point keeps no shared segments apart",
         {{take("v", win(8, 0, S)), G}, {take("p", posix(0, 8, S)), G}, {take("p", posix(8, 8, S)), G},
          {take("x", win(8, 0, X)), D}},
         "p:0-15:S", 0},
        {"a grant that weakens its owner's segment frees the request passed over",
         {{take("b", posix(10, 10, X)), G}, {take("d", posix(20, 10, X)), G}, {queue("c", posix(10, 1, S)), B},
          {queue("b", posix(10, 16, S)), B}, {free("d", posix(20, 10, X)), G}},
         "b:10-25:S c:10-10:S", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Engine e;
        for (size_t i = 0; i < row.steps.size(); i++) {
            EXPECT_EQ(row.steps[i].second, row.steps[i].first(e)) << "step " << i;
            EXPECT_EQ("", lc_ls_engine_check(e)) << "step " << i;
        }
        EXPECT_EQ(row.after, segments(e));
        EXPECT_EQ(row.pending, lc_ls_engine_counts(e).pending);
    }
}

// The record of two segments kept apart by a point goes when a segment at
// its joint goes, however it goes; a remnant cut from one, or one joined
// with a third, is kept apart as it was. 10,000 such rounds of owners
// beside one point, each ending with the owner holding its anchor alone,
// leave no record behind.
TEST(LsEnginePosixTest, NoRecordOfSegmentsKeptApartOutlivesThem) {
    Engine e;
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("w", 1), win(8, 0, X), {}));
    struct Step {
        bool take;  // or free
        uint64_t start, len;
        uint32_t type;
        size_t apart;  // joints kept apart after it
    };
    const std::vector<std::vector<Step>> rounds = {
        {{true, 7, 1, X, 0}, {true, 8, 1, X, 1}, {false, 7, 2, X, 0}},
        {{true, 8, 1, S, 0}, {true, 7, 1, S, 1}, {false, 8, 1, S, 0}, {false, 7, 1, S, 0}},
        {{true, 7, 1, X, 0}, {true, 8, 1, X, 1}, {true, 8, 1, S, 0}, {false, 7, 2, X, 0}},
        {{true, 5, 3, X, 0}, {true, 8, 3, X, 1}, {false, 6, 1, X, 1}, {false, 5, 6, X, 0}},
        {{true, 7, 1, X, 0}, {true, 8, 1, X, 1}, {true, 9, 1, X, 1}, {false, 7, 3, X, 0}},
    };
    const uint64_t owners = 100;
    for (uint64_t round = 0; round < 10000; round++) {
        lc_ls_owner o = owner("p", 1 + round % owners);
        if (round < owners) {
            ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, o, posix(1000 + 2 * round, 1), {}));
        }
        const std::vector<Step>& steps = rounds[round % rounds.size()];
        for (size_t i = 0; i < steps.size(); i++) {
            const Step& st = steps[i];
            lc_ls_range r = posix(st.start, st.len, st.type);
            ASSERT_EQ(LC_LS_GRANTED, st.take ? lc_ls_take(e, o, r, {}) : lc_ls_free(e, o, r));
            ASSERT_EQ(st.apart, lc_ls_engine_counts(e).apart) << "round " << round << ", step " << i;
        }
        ASSERT_EQ("", lc_ls_engine_check(e)) << "round " << round;
    }
    EXPECT_EQ(1 + owners, lc_ls_engine_counts(e).held);
}

TEST(LsEnginePosixTest, WithoutMergingATakeStacksBesideTheOwnersSegments) {
    lc_ls_breaks broken;
    broken.posix_no_merge = true;
    Engine e(broken);
    lc_ls_owner a = owner("a", 1);
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, a, posix(0, 4096, X), {"x"}));
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, a, posix(0, 4096, S), {"s"}));
    // The downgrade did not happen: another owner's shared take is refused,
    // and a tester meets the old exclusive lock with its old items.
    EXPECT_EQ(LC_LS_DENIED, lc_ls_take(e, owner("a", 2), posix(0, 4096, S), {}));
    lc_ls_lock c;
    ASSERT_EQ(LC_LS_DENIED, lc_ls_test(e, owner("a", 2), posix(0, 4096, X), &c));
    EXPECT_EQ("x", c.items.at(0));
}

// ---------------------------------------------------------------- blocking requests

TEST(LsEngineBlockingTest, QueuedRequestsAreGrantedInOrderOrCancelled) {
    Engine e;
    lc_ls_owner h = owner("holder", 1), w1 = owner("w1", 1), w2 = owner("w2", 1);
    lc_ls_addr waiter{};
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, h, posix(0, 100), {}));
    EXPECT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, w1, posix(0, 100), {}, waiter));
    EXPECT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, w1, posix(0, 100), {"again"}, waiter));  // replaces
    EXPECT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, w2, posix(50, 100), {}, waiter));
    EXPECT_EQ(2u, lc_ls_engine_counts(e).pending);
    // Pending requests hold nothing.
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_test(e, owner("t", 1), posix(150, 10), nullptr));

    ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, h, posix(0, 100)));
    // The older waiter got it; the younger one conflicts with it and waits.
    EXPECT_EQ("w1:0-99:X=again", segments(e));
    EXPECT_EQ(1u, lc_ls_engine_counts(e).pending);
    EXPECT_EQ(LC_LS_NOT_LOCKED, lc_ls_cancel(e, w1, posix(0, 100)));  // granted, no longer pending
    EXPECT_EQ(LC_LS_NOT_LOCKED, lc_ls_cancel(e, w2, posix(50, 99)));  // another range
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_cancel(e, w2, posix(50, 100)));
    EXPECT_EQ(LC_LS_NOT_LOCKED, lc_ls_cancel(e, w2, posix(50, 100)));
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, w1, posix(0, 100)));
    EXPECT_EQ("", segments(e));

    // A release by a downgrade, a control remove or free-all wakes waiters too.
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, h, posix(0, 100), {}));
    ASSERT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, w1, posix(0, 10, S), {}, waiter));
    ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, h, posix(0, 100, S), {}));
    EXPECT_EQ(0u, lc_ls_engine_counts(e).pending);
    ASSERT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, w2, win(0, 100), {}, waiter));
    lc_ls_free_all(e, "holder");
    EXPECT_EQ(1u, lc_ls_engine_counts(e).pending);  // w1 still holds part of it
    std::vector<lc_ls_lock> held = all_held(e, LC_LS_POSIX);
    ASSERT_EQ(1u, held.size());
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_remove(e, kBoot, held[0].id, LC_LS_POSIX));
    EXPECT_EQ(0u, lc_ls_engine_counts(e).pending);
    EXPECT_EQ(1u, all_held(e, LC_LS_WINDOWS).size());
}

// ---------------------------------------------------------------- share modes

TEST(LsEngineShareTest, EveryModeAndAccessPairFollowsTheDenyRule) {
    lc_ls_share_owner o1{"test_sharelock_owner1", std::string("\x01\0\0\0\0\0\0\0", 8), {}};
    lc_ls_share_owner o2{"test_sharelock_owner1", std::string("\x02\0\0\0\0\0\0\0", 8), {}};
    int granted = 0, rows = 0;
    Engine e;
    for (uint32_t mode2 = 0; mode2 < 4; mode2++)
        for (uint32_t mode1 = 0; mode1 < 4; mode1++)
            for (uint32_t access1 = 1; access1 < 4; access1++)
                for (uint32_t access2 = 1; access2 < 4; access2++) {
                    rows++;
                    bool expect = !(mode1 & access2) && !(mode2 & access1);
                    SCOPED_TRACE(std::to_string(mode1) + "/" + std::to_string(access1) + " then " +
                                 std::to_string(mode2) + "/" + std::to_string(access2));
                    ASSERT_EQ(LC_LS_GRANTED, lc_ls_share_take(e, o1, 0x1234, mode1, access1));
                    uint32_t got = lc_ls_share_take(e, o2, 0x1234, mode2, access2);
                    EXPECT_EQ(expect ? LC_LS_GRANTED : LC_LS_DENIED, got);
                    granted += got == LC_LS_GRANTED;
                    EXPECT_EQ(LC_LS_GRANTED, lc_ls_share_free(e, o1, 0x1234));
                    EXPECT_EQ(expect ? LC_LS_GRANTED : LC_LS_NOT_LOCKED, lc_ls_share_free(e, o2, 0x1234));
                }
    EXPECT_EQ(144, rows);
    EXPECT_EQ(25, granted);
    EXPECT_EQ(0u, lc_ls_engine_counts(e).shares);
}

TEST(LsEngineShareTest, ReTakeUpdatesInPlaceUnlessStacking) {
    for (bool stacking : {false, true}) {
        lc_ls_breaks b;
        b.share_retake_stacks = stacking;
        Engine e(b);
        lc_ls_share_owner o1{"o", "\x01", {}}, o2{"o", "\x02", {}}, other{"x", "\x01", {}};
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_share_take(e, o1, 7, 0, 1));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_share_take(e, o2, 7, 2, 1));
        // A refused re-take keeps the lock as it was.
        EXPECT_EQ(LC_LS_DENIED, lc_ls_share_take(e, o1, 7, 0, 2));
        EXPECT_EQ(LC_LS_DENIED, lc_ls_share_take(e, other, 7, 0, 2));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_share_free(e, o2, 7));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_share_take(e, o1, 7, 1, 1));  // now denies reading
        EXPECT_EQ(LC_LS_DENIED, lc_ls_share_take(e, other, 7, 0, 1));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_share_take(e, o1, 7, 0, 1));  // and no longer
        EXPECT_EQ(stacking ? LC_LS_DENIED : LC_LS_GRANTED, lc_ls_share_take(e, other, 7, 0, 1));
        // Mode and access of a free do not matter; one free per holder.
        EXPECT_EQ(LC_LS_GRANTED, lc_ls_share_free(e, o1, 7));
        EXPECT_EQ(stacking ? LC_LS_GRANTED : LC_LS_NOT_LOCKED, lc_ls_share_free(e, o1, 7));
        EXPECT_EQ(LC_LS_NOT_LOCKED, lc_ls_share_free(e, o1, 8));
    }
}

// ---------------------------------------------------------------- free-all

TEST(LsEngineFreeAllTest, EveryKindOfTheNameGoesWhateverItsIds) {
    for (bool keep_share : {false, true}) {
        lc_ls_breaks b;
        b.free_all_keeps_share = keep_share;
        Engine e(b);
        lc_ls_addr w{};
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("n", 1, 5), win(0, 10), {}));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("n", 2, 0xFFFFFFFF), posix(0, 10, X, 0x20), {}));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("n", 3), range(LC_LS_WINDOWS, 0, 10, X, 0x10, 0x2002), {}));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("keep", 1), win(100, 10), {}));
        ASSERT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, owner("n", 4), win(100, 10), {}, w));
        ASSERT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, owner("keep", 2), win(0, 10), {}, w));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_share_take(e, {"n", "h1", {}}, 0x30, 3, 3));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_share_take(e, {"n", "h2", {}}, 0x31, 3, 3));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_share_take(e, {"keep", "h", {}}, 0x32, 3, 3));

        lc_ls_free_all(e, "n");
        // keep's waiter was granted by the release; keep's own locks stay.
        lc_ls_counts c = lc_ls_engine_counts(e);
        EXPECT_EQ(2u, c.held);
        EXPECT_EQ(0u, c.pending);
        EXPECT_EQ(keep_share ? 3u : 1u, c.shares);
        for (const lc_ls_lock& l : all_held(e, LC_LS_WINDOWS)) EXPECT_EQ("keep", l.owner.caller);
        EXPECT_EQ(keep_share ? LC_LS_DENIED : LC_LS_GRANTED, lc_ls_share_take(e, {"x", "h", {}}, 0x30, 0, 1));
        EXPECT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("x", 1), posix(0, 10, X, 0x20), {}));
        lc_ls_free_all(e, "nobody");
        EXPECT_EQ(3u, lc_ls_engine_counts(e).held);
    }
}

// ---------------------------------------------------------------- the control listing

std::string cookie_of(uint32_t tag, uint32_t pad, uint64_t id) {
    std::string c(16, '\0');
    for (int i = 0; i < 4; i++) c[size_t(i)] = char(tag >> (8 * i));
    for (int i = 0; i < 4; i++) c[size_t(4 + i)] = char(pad >> (8 * i));
    for (int i = 0; i < 8; i++) c[size_t(8 + i)] = char(id >> (8 * i));
    return c;
}

TEST(LsEngineSearchTest, PagesNeitherSkipNorRepeatAcrossRemoves) {
    for (bool off_by_one : {false, true}) {
        lc_ls_breaks b;
        b.search_has_more_off_by_one = off_by_one;
        Engine e(b);
        for (uint64_t i = 0; i < 11; i++) ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("o", i), win(i * 10, 5), {}));
        // Another flavour: never listed.
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("o", 99), posix(0, 5, X, 0x99), {}));
        std::vector<lc_ls_lock> all = all_held(e, LC_LS_WINDOWS);
        ASSERT_EQ(11u, all.size());

        std::set<uint64_t> seen;
        std::string cookie;
        int pages = 0;
        bool removed = false;
        for (;;) {
            lc_ls_search_query q;
            q.max = 3;
            q.cookie = cookie;
            lc_ls_search_page page;
            ASSERT_EQ(0u, lc_ls_search(e, q, &page));
            pages++;
            for (const lc_ls_lock& l : page.locks) EXPECT_TRUE(seen.insert(l.id).second) << "repeated " << l.id;
            EXPECT_EQ(page.has_more, !page.cookie.empty());
            if (!removed) {
                // Between pages: one listed lock and the next unlisted one go.
                removed = true;
                ASSERT_EQ(LC_LS_GRANTED, lc_ls_remove(e, kBoot, all[0].id, LC_LS_WINDOWS));
                ASSERT_EQ(LC_LS_GRANTED, lc_ls_remove(e, kBoot, all[3].id, LC_LS_WINDOWS));
            }
            if (!page.has_more) break;
            ASSERT_LT(pages, 10);
            cookie = page.cookie;
        }
        // Pages of 3, 3, 3 and 1: every lock there at the end was listed,
        // and only once; the broken flag ends the listing with one left.
        std::vector<lc_ls_lock> left = all_held(e, LC_LS_WINDOWS);
        ASSERT_EQ(9u, left.size());
        size_t listed = 0;
        for (const lc_ls_lock& l : left) listed += seen.count(l.id);
        EXPECT_EQ(off_by_one ? 8u : 9u, listed);
        EXPECT_EQ(off_by_one ? 3 : 4, pages);
    }
}

TEST(LsEngineSearchTest, FiltersBudgetsAndBadCookies) {
    Engine e;
    for (uint64_t i = 0; i < 6; i++)
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner(std::string(i + 1, 'n'), i), win(0, 5, S, 0x10 + i % 2), {}));
    lc_ls_search_page page;
    lc_ls_search_query q;
    q.max = 100;
    q.flags = LC_LS_FILTER_FH;
    q.fh = 0x11;
    ASSERT_EQ(0u, lc_ls_search(e, q, &page));
    ASSERT_EQ(3u, page.locks.size());
    for (const lc_ls_lock& l : page.locks) EXPECT_EQ(0x11u, l.range.fh);
    EXPECT_FALSE(page.has_more);
    // A byte budget cuts the page and says so exactly.
    q.flags = 0;
    q.cost = [](const lc_ls_lock& l) { return l.owner.caller.size(); };
    q.budget = 1 + 2 + 3;
    ASSERT_EQ(0u, lc_ls_search(e, q, &page));
    EXPECT_EQ(3u, page.locks.size());
    EXPECT_TRUE(page.has_more);
    q.budget = 1 + 2 + 3 + 4 + 5 + 6;
    ASSERT_EQ(0u, lc_ls_search(e, q, &page));
    EXPECT_EQ(6u, page.locks.size());
    EXPECT_FALSE(page.has_more);
    EXPECT_EQ("", page.cookie);
    // A page of 0 locks still says whether any follow.
    q.max = 0;
    ASSERT_EQ(0u, lc_ls_search(e, q, &page));
    EXPECT_TRUE(page.locks.empty());
    EXPECT_TRUE(page.has_more);

    struct Bad {
        uint32_t flags;
        std::string cookie;
    };
    const Bad bad[] = {
        {2, ""},
        {0, cookie_of(kBoot + 1, 0, 1)},
        {0, cookie_of(kBoot, 1, 1)},
        {0, cookie_of(kBoot, 0, 1).substr(0, 15)},
        {0, cookie_of(kBoot, 0, 1) + "x"},
    };
    for (const Bad& b : bad) {
        lc_ls_search_query bq;
        bq.max = 10;
        bq.flags = b.flags;
        bq.cookie = b.cookie;
        EXPECT_EQ(LC_LS_BAD_SEARCH, lc_ls_search(e, bq, &page)) << b.flags << " " << b.cookie.size();
    }
}

// ---------------------------------------------------------------- the indexes' seed

// A peer sees the ids its locks get, which grow by one, and picks their
// starts: under a seed it could know, 0 say, it would give each lock the
// start its priority puts it at and make the trees chains. Under the
// seed the engine draws, a name's 32,768 such locks on a file (its own
// cap) leave every tree the depth of a random one, about 3 log2 n.
TEST(LsEngineIndexTest, StartsInTheOrderOfAKnownSeedsPrioritiesMakeNoChain) {
    Engine e;
    for (uint64_t id = 1; id <= 32768; id++) {
        lc_ls_ivtree scratch;  // the index's priority of the id under seed 0
        lc_ls_ivnode x;
        x.key = id;
        lc_ls_iv_insert(&scratch, &x, 0);
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("p", 1), win(2 * uint64_t(x.prio) + 4, 1, S), {})) << id;
    }
    EXPECT_LT(lc_ls_engine_depth(e), 5 * 15u);  // 5 log2 n
}

// ---------------------------------------------------------------- request limits

TEST(LsEngineLimitsTest, NameAndOpaqueSizesAtTheirEdges) {
    using namespace lsframes;
    struct Row {
        size_t name_chars;
        std::vector<size_t> items;
        uint32_t herr;
    };
    const Row rows[] = {
        {2047, {}, 0},
        {2048, {}, ENAMETOOLONG},
        {2050, {}, ENAMETOOLONG},
        {8, {8184}, 0},
        {8, {8185}, E2BIG},
        {8, {8200}, E2BIG},
        {8, {4088, 4088}, 0},  // 2 tags + 8176 bytes = 8192
        {8, {4088, 4089}, E2BIG},
        {2047, {8184}, 0},
    };
    Engine e;
    uint64_t fh = 1;
    for (const Row& r : rows) {
        // Every request that carries a name refuses a long one, free included.
        BrReq q{.caller = std::string(r.name_chars, 'B'), .fh = fh++};
        for (size_t n : r.items) q.items.push_back(std::string(n, 'Y'));
        for (uint32_t type : {LS_MSG_TAKE, LS_MSG_BLOCKING_TAKE, LS_MSG_FREE}) {
            q.type = type;
            Bytes f = br_frame(q);
            uint32_t expect = type != LS_MSG_FREE || r.herr == ENAMETOOLONG ? r.herr : 0;
            EXPECT_EQ(expect, herr(lc_ls_serve(e, f.data(), f.size()))) << r.name_chars << " chars, type " << type;
        }
        Bytes fa = free_all_frame(q.caller);
        EXPECT_EQ(r.name_chars > 2047 ? ENAMETOOLONG : 0u, herr(lc_ls_serve(e, fa.data(), fa.size())));
        Bytes sh = share_frame(LS_MSG_SHARE_TAKE, q.caller, std::string(2048, '\xAB'), 5, 0, 1);
        EXPECT_EQ(r.name_chars > 2047 ? ENAMETOOLONG : 0u, herr(lc_ls_serve(e, sh.data(), sh.size())));
    }
    Bytes big = share_frame(LS_MSG_SHARE_TAKE, "h", std::string(8193, 'h'), 5, 0, 1);
    EXPECT_EQ(uint32_t(E2BIG), herr(lc_ls_serve(e, big.data(), big.size())));
    Bytes max = share_frame(LS_MSG_SHARE_TAKE, "h", std::string(8192, 'h'), 5, 0, 1);
    EXPECT_EQ(0u, herr(lc_ls_serve(e, max.data(), max.size())));
}


// ---------------------------------------------------------------- limits on what is held and queued

// The caps are hard: a take is granted only when what the caller name
// holds and has queued (which, granted, is held) and the entries the take
// adds stay within its caps, so a re-take that adds nothing is granted at
// the cap and one that adds a remnant is not; an unlock is refused only
// when its split would pass twice them. A file's room is shared: any name
// may fill three quarters of it, and the last quarter only the names
// holding little there; its queue likewise. Refusals come back as the
// handling error and change nothing.
TEST(LsEngineLimitsTest, HeldAndQueuedCountsAreCappedPerCallerAndPerFile) {
    using namespace lsframes;
    Engine e;
    lc_ls_limits lim;
    lim.held_per_caller = 3;
    lim.held_per_file = 8;  // 6 open to all, 2 for those holding one there
    lim.queued_per_caller = 2;
    lim.queued_per_file = 4;  // 3 open to all, 1 for those queuing one there
    lc_ls_engine_set_limits(e, lim);
    auto frame = [](uint32_t type, const std::string& caller, uint64_t fh, uint64_t start, uint64_t len,
                    uint32_t flavour = LC_LS_WINDOWS, uint32_t lock_type = X) {
        return br_frame({.type = type, .caller = caller, .fh = fh, .start = start, .len = len, .lock_type = lock_type,
                         .flavour = flavour});
    };
    const uint32_t P = LC_LS_POSIX;
    struct Step {
        const char* what;
        Bytes frame;
        uint32_t herr, status;
    };
    const uint32_t T = LS_MSG_TAKE, B = LS_MSG_BLOCKING_TAKE, F = LS_MSG_FREE, C = LS_MSG_CANCEL;
    const Step steps[] = {
        {"a takes 1", frame(T, "a", 1, 0, 1), 0, LC_LS_GRANTED},
        {"a takes 2", frame(T, "a", 1, 10, 1), 0, LC_LS_GRANTED},
        {"a takes a segment", frame(T, "a", 2, 0, 20, P), 0, LC_LS_GRANTED},
        {"a at its cap", frame(T, "a", 2, 30, 1), ENOLCK, 0},
        {"a blocking at its cap", frame(B, "a", 4, 0, 1), ENOLCK, 0},
        {"a's conflict still denied", frame(T, "a", 1, 0, 1), 0, LC_LS_DENIED},
        {"a re-take inside its segment adds nothing", frame(T, "a", 2, 5, 2, P), 0, LC_LS_GRANTED},
        {"a downgrade inside its segment adds two", frame(T, "a", 2, 5, 2, P, S), ENOLCK, 0},
        {"an unlock that splits at the cap", frame(F, "a", 2, 4, 2, P), 0, LC_LS_GRANTED},
        {"a second past the cap", frame(F, "a", 2, 8, 1, P), 0, LC_LS_GRANTED},
        {"a third, up to twice the cap", frame(F, "a", 2, 11, 1, P), 0, LC_LS_GRANTED},
        {"an unlock that splits past twice the cap", frame(F, "a", 2, 14, 1, P), ENOLCK, 0},
        {"an unlock of an end past the cap", frame(F, "a", 2, 12, 1, P), 0, LC_LS_GRANTED},
        {"a takes still refused", frame(T, "a", 4, 0, 1), ENOLCK, 0},
        {"a unlocks its segments", frame(F, "a", 2, 0, 20, P), 0, LC_LS_GRANTED},
        {"b takes the file's 3rd", frame(T, "b", 1, 20, 1), 0, LC_LS_GRANTED},
        {"b takes the 4th", frame(T, "b", 1, 21, 1), 0, LC_LS_GRANTED},
        {"b takes the 5th", frame(T, "b", 1, 22, 1), 0, LC_LS_GRANTED},
        {"g takes the last room open to all", frame(T, "g", 1, 30, 1), 0, LC_LS_GRANTED},
        {"g, holding more than one there, not the reserve", frame(T, "g", 1, 31, 1), ENOLCK, 0},
        {"d queues behind a in the reserve", frame(B, "d", 1, 0, 1), 0, LC_LS_BLOCKED},
        {"e would queue past the reserve", frame(B, "e", 1, 10, 1), ENOLCK, 0},
        {"e would take the room d waits for", frame(T, "e", 1, 40, 1), ENOLCK, 0},
        {"h holds a range of another file", frame(T, "h", 3, 0, 100), 0, LC_LS_GRANTED},
        {"c queues behind h", frame(B, "c", 3, 0, 1), 0, LC_LS_BLOCKED},
        {"c queues it again", frame(B, "c", 3, 0, 1), 0, LC_LS_BLOCKED},
        {"c queues 2", frame(B, "c", 3, 1, 1), 0, LC_LS_BLOCKED},
        {"c at its queue cap", frame(B, "c", 3, 2, 1), ENOLCK, 0},
        {"x queues beside c", frame(B, "x", 3, 3, 1), 0, LC_LS_BLOCKED},
        {"y past the file's queue", frame(B, "y", 3, 4, 1), ENOLCK, 0},
        {"c takes its 3rd, two of them queued", frame(T, "c", 5, 0, 1), 0, LC_LS_GRANTED},
        {"c's queued requests count against its cap", frame(T, "c", 5, 10, 1), ENOLCK, 0},
        {"c cancels one", frame(C, "c", 3, 1, 1), 0, LC_LS_GRANTED},
        {"c takes there", frame(T, "c", 5, 10, 1), 0, LC_LS_GRANTED},
        {"a frees 1: d's request is held in its place", frame(F, "a", 1, 0, 1), 0, LC_LS_GRANTED},
    };
    for (const Step& st : steps) {
        std::vector<uint8_t> rep = lc_ls_serve(e, st.frame.data(), st.frame.size());
        EXPECT_EQ(st.herr, herr(rep)) << st.what;
        EXPECT_EQ(st.status, status(rep)) << st.what;
        EXPECT_EQ(LS_REPLY_STATUS_BYTES, rep.size()) << st.what;
        EXPECT_EQ("", lc_ls_engine_check(e)) << st.what;
    }
    lc_ls_counts c = lc_ls_engine_counts(e);
    EXPECT_EQ(9u, c.held);
    EXPECT_EQ(2u, c.pending);
}

// A queued request that a release frees from its conflicts but that would
// hold past the caps stays queued, and is granted, never refused, as soon
// as room is made where it lacks it (a name's, a file's or the server's),
// or its owner's segments change so that its grant adds less; until then
// nobody takes that room, and changes elsewhere do not look at it again.
TEST(LsEngineLimitsTest, AQueuedRequestWaitsForRoomUnderTheHeldCaps) {
    struct Case {
        const char* what;
        size_t lc_ls_limits::*cap;
        size_t size;
        const char* older;  // the name of the older waiter, p
        const char* other;  // and of the one that fills the room
        uint64_t other_fh;
        std::vector<uint64_t> splits_before, splits_between;  // its unlocks
        std::string left;  // its segments at the end
    };
    const Case cases[] = {
        // Open to grants up to 6, to splits up to 8.
        {"file", &lc_ls_limits::held_per_file, 8, "p", "z", 0x10, {210}, {212}, "z:213-229:X"},
        // Open to grants up to 6, to splits up to 12.
        {"caller", &lc_ls_limits::held_per_caller, 6, "q", "q", 0x10, {210}, {212}, "q:213-229:X"},
        // Open to grants up to 9, to splits up to 12.
        {"server", &lc_ls_limits::entries_total, 12, "p", "z", 0x30, {210, 212, 214}, {216},
         "z:213-213:X z:215-215:X z:217-229:X"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Engine e;
        lc_ls_limits lim;
        lim.*k.cap = k.size;
        lc_ls_engine_set_limits(e, lim);
        lc_ls_addr w{};
        // Each waiter holds a shared segment, a middle piece of which it
        // asks to hold exclusive: two entries more when granted, one more
        // than its queue entry holds room for. A shared point of another
        // owner there holds the request up.
        const lc_ls_owner p = owner(k.older, 4), q = owner("q", 1), h = owner("h", 1), other = owner(k.other, 2);
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, p, posix(40, 30, S), {}));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, h, win(55, 0, S), {}));
        ASSERT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, p, posix(50, 10, X), {}, w));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, q, posix(0, 30, S), {}));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, h, win(15, 0, S), {}));
        ASSERT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, q, posix(10, 10, X), {}, w));
        // The room left goes to a take and to unlocks that split.
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, other, posix(200, 30, X, k.other_fh), {}));
        for (uint64_t x : k.splits_before) ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, other, posix(x, 1, X, k.other_fh)));
        // The conflicts go; the grants would pass the room: they wait.
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, h, win(15, 0, S)));
        for (uint64_t x : k.splits_between) ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, other, posix(x, 1, X, k.other_fh)));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, h, win(55, 0, S)));
        EXPECT_EQ(2u, lc_ls_engine_counts(e).pending);
        EXPECT_EQ("", lc_ls_engine_check(e));
        // Nobody may take the room they wait for.
        EXPECT_EQ(LC_LS_FULL, lc_ls_take(e, owner("q", 3), win(500, 1), {}));
        // Another name's take and free on another file make no room in a
        // file's or a name's room (in the server's they make and take it).
        uint64_t tries = lc_ls_engine_counts(e).room_tries;
        for (int i = 0; i < 3; i++) {
            ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("o", 1), win(0, 1, X, 0x20), {}));
            ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, owner("o", 1), win(0, 1, X, 0x20)));
        }
        if (k.cap != &lc_ls_limits::entries_total) {
            EXPECT_EQ(tries, lc_ls_engine_counts(e).room_tries);
        }
        EXPECT_EQ(2u, lc_ls_engine_counts(e).pending);
        // q unlocks the rest of its segment past the piece: its request
        // would leave no remnant there now, adds no more than its queue
        // entry holds, and is granted, though p, older, still lacks room.
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, q, posix(20, 10)));
        EXPECT_EQ(1u, lc_ls_engine_counts(e).pending);
        EXPECT_EQ("", lc_ls_engine_check(e));
        // Releases make room: p is granted then.
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, other, posix(200, 12, X, k.other_fh)));
        EXPECT_EQ(0u, lc_ls_engine_counts(e).pending);
        const std::string pn = k.older;
        EXPECT_EQ("q:0-9:S q:10-19:X " + pn + ":40-49:S " + pn + ":50-59:X " + pn + ":60-69:S " + k.left, segments(e));
        EXPECT_EQ("", lc_ls_engine_check(e));
    }
}

// Takes the segment of 2^20 bytes from `start` on fh and unlocks byte
// after byte of it, each split one entry more, until the caps refuse one;
// the splits granted.
size_t split_all_it_may(lc_ls_engine* e, const std::string& caller, uint64_t fh, uint64_t start) {
    EXPECT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner(caller, 1), posix(start, 1u << 20, X, fh), {}));
    size_t n = 0;
    while (lc_ls_free(e, owner(caller, 1), posix(start + 2 * n + 1, 1, X, fh)) == LC_LS_GRANTED) n++;
    return n;
}

// What a name may split counts against that name, and a name holding next
// to nothing on a file and on the server cuts its segment past the rooms
// shared among names: whatever other names filled there, by their own
// splitting unlocks and their takes, a name holding one segment unlocks
// its middle and downgrades a byte of it (four entries), is refused a
// fifth as anyone is, and once it freed it all takes some of it back.
TEST(LsEngineLimitsTest, OtherNamesLeaveAnUnlockItsRoom) {
    const struct {
        const char* what;
        size_t cap, splitters, takers;  // the name's and file's caps; fillers that split, then take, all they may
        bool apart;                     // each filler on a file of its own, else all on v's
        size_t held;                    // what the fillers hold then
    } cases[] = {
        {"one name's splits fill the file", 1024, 1, 0, false, 1024},
        {"66 names fill the file: two split, 64 take", 0, 2, 64, false, 163839},
        {"67 names fill the server: three split, 64 take", 0, 3, 64, true, 262143},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        Engine e;
        lc_ls_limits lim;
        if (k.cap) lim.held_per_caller = lim.held_per_file = k.cap;
        lc_ls_engine_set_limits(e, lim);
        auto file_of = [&](size_t i) { return k.apart ? 0x11 + i : 0x10; };
        for (size_t i = 0; i < k.splitters; i++) split_all_it_may(e, "s" + std::to_string(i), file_of(i), (i + 1) << 21);
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("v", 1), posix(0, 100), {}));
        for (size_t i = k.splitters; i < k.splitters + k.takers; i++)
            for (uint64_t n = 0; lc_ls_take(e, owner("t" + std::to_string(i), 1),
                                            posix(((i + 1) << 21) + 2 * n, 1, X, file_of(i)), {}) == LC_LS_GRANTED;)
                n++;
        EXPECT_EQ(k.held + 1, lc_ls_engine_counts(e).held);
        EXPECT_EQ(LC_LS_GRANTED, lc_ls_free(e, owner("v", 1), posix(10, 10)));
        EXPECT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("v", 1), posix(50, 1, S), {}));
        EXPECT_EQ(k.held + 4, lc_ls_engine_counts(e).held);
        EXPECT_EQ(LC_LS_FULL, lc_ls_free(e, owner("v", 1), posix(30, 1)));
        // A new name is shut out only by a crowd that holds the reserve.
        EXPECT_EQ(k.takers ? LC_LS_FULL : LC_LS_GRANTED, lc_ls_take(e, owner("new", 1), posix(1u << 20, 1), {}));
        EXPECT_EQ(LC_LS_GRANTED, lc_ls_free(e, owner("v", 1), posix(0, 100)));
        EXPECT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("v", 1), posix(0, 10), {}));
        // The check compares every pair on a file: the small tables only.
        if (k.cap) {
            EXPECT_EQ("", lc_ls_engine_check(e));
        }
    }
}

// No name refuses another's take or queueing on a file, and no handful of
// names fills the server: after names split all they may, or one name
// queued all it may on a file, a new name's take, blocking take (queued
// behind a filler's lock, or granted) and share take there go through.
TEST(LsEngineLimitsTest, NoHandfulOfNamesShutsOutANewOne) {
    struct Case {
        const char* what;
        size_t names;
        bool one_file;  // all on the new name's file, else each on a file of its own, the first on that one
        bool queue;     // the one name queues instead
    };
    const Case cases[] = {
        {"two names split, each on its file", 2, false, false},
        {"four names split, each on its file", 4, false, false},
        {"two names split on the new name's file", 2, true, false},
        {"four names split on it", 4, true, false},
        {"one name queues all it may there", 1, true, true},
    };
    const uint64_t fh = 0x10;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Engine e;
        lc_ls_limits lim;  // a queue fills at the default caps
        if (!k.queue) {
            lim.held_per_caller = 1024;
            lim.held_per_file = k.one_file ? 4096 : lim.held_per_file;
            lim.entries_total = 4096;
        }
        lc_ls_engine_set_limits(e, lim);
        lc_ls_addr w{};
        // The fillers' locks lie within [0, 2^23) of the files.
        if (k.queue) {
            ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("h", 1), posix(0, 1u << 20, X, fh), {}));
            uint64_t n = 0;
            while (lc_ls_blocking_take(e, owner("q", 1), posix(n, 1, X, fh), {}, w) == LC_LS_BLOCKED) n++;
            EXPECT_EQ(lim.queued_per_caller, n);
        } else {
            for (size_t i = 0; i < k.names; i++)
                split_all_it_may(e, "x" + std::to_string(i), k.one_file ? fh : fh + i, i << 20);
        }
        EXPECT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("new", 1), posix(1u << 23, 1, X, fh), {}));
        EXPECT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, owner("new", 1), posix(0, 1, X, fh), {}, w));
        EXPECT_EQ(LC_LS_GRANTED, lc_ls_blocking_take(e, owner("new", 1), posix(1u << 24, 1, X, fh), {}, w));
        EXPECT_EQ(LC_LS_GRANTED, lc_ls_share_take(e, lc_ls_share_owner{"new", "h", {}}, fh, 0, 1));
        EXPECT_EQ("", lc_ls_engine_check(e));
    }
}

// The whole server is capped in entries (held, queued and share locks of
// any caller) and in the bytes of the names, items and handles it keeps; a
// name or item list already kept costs nothing more. Three quarters of the
// entries are open to any name, the last quarter only to names holding
// little (here one entry). A refusal changes nothing, and whatever frees
// an entry or the last user of some bytes makes room again.
TEST(LsEngineLimitsTest, TheServerIsCappedInEntriesAndBytesWhateverTheCallers) {
    Engine e;
    lc_ls_limits lim;
    lim.entries_total = 8;  // 6 open, 2 in reserve
    lim.bytes_total = 100;
    lc_ls_engine_set_limits(e, lim);
    lc_ls_share_owner sh;
    sh.caller = "s";
    sh.handle = "h";
    const std::vector<std::string> big{std::string(60, 'x')}, other{std::string(50, 'y')};
    lc_ls_addr w{};
    struct Step {
        const char* what;
        std::function<uint32_t()> run;
        uint32_t want;
        size_t entries;  // held + queued + shares after the step
    };
    const Step steps[] = {
        {"a takes with 60 bytes of items", [&] { return lc_ls_take(e, owner("a", 1), win(0, 1), big); }, LC_LS_GRANTED, 1},
        {"b shares the items", [&] { return lc_ls_take(e, owner("b", 1), win(10, 1), big); }, LC_LS_GRANTED, 2},
        {"new items past the bytes",
         [&] { return lc_ls_take(e, owner("a", 1), win(20, 1), other); }, LC_LS_FULL, 2},
        {"b queues behind a",
         [&] { return lc_ls_blocking_take(e, owner("b", 1), win(0, 1), {}, w); }, LC_LS_BLOCKED, 3},
        {"its re-queue with new items past the bytes",
         [&] { return lc_ls_blocking_take(e, owner("b", 1), win(0, 1), other, w); }, LC_LS_FULL, 3},
        {"a share lock", [&] { return lc_ls_share_take(e, sh, 7, 0, 1); }, LC_LS_GRANTED, 4},
        {"a's second", [&] { return lc_ls_take(e, owner("a", 1), win(30, 1), {}); }, LC_LS_GRANTED, 5},
        {"a's third, the last open", [&] { return lc_ls_take(e, owner("a", 1), win(40, 1), {}); }, LC_LS_GRANTED, 6},
        {"a's fourth past the open room",
         [&] { return lc_ls_take(e, owner("a", 1), win(50, 1), {}); }, LC_LS_FULL, 6},
        {"b's second queued past it",
         [&] { return lc_ls_blocking_take(e, owner("b", 2), win(30, 1), {}, w); }, LC_LS_FULL, 6},
        {"a new name in the reserve", [&] { return lc_ls_take(e, owner("c", 1), win(60, 1), {}); }, LC_LS_GRANTED, 7},
        {"its second, holding more than little",
         [&] { return lc_ls_take(e, owner("c", 1), win(70, 1), {}); }, LC_LS_FULL, 7},
        {"another new name past the reserve, which s and c fill",
         [&] { return lc_ls_take(e, owner("d", 1), win(80, 1), {}); }, LC_LS_FULL, 7},
        {"a second share lock past it",
         [&] { return lc_ls_share_take(e, lc_ls_share_owner{"t", "h", {}}, 8, 0, 1); }, LC_LS_FULL, 7},
        {"the share lock's re-take adds nothing", [&] { return lc_ls_share_take(e, sh, 7, 0, 3); }, LC_LS_GRANTED, 7},
        {"a's free: b's queued request is held in its place",
         [&] { return lc_ls_free(e, owner("a", 1), win(0, 1)); }, LC_LS_GRANTED, 6},
        {"free-all of b frees its two",
         [&] {
             lc_ls_free_all(e, "b");
             return LC_LS_GRANTED;
         },
         LC_LS_GRANTED, 4},
        {"d takes in the open room", [&] { return lc_ls_take(e, owner("d", 1), win(80, 1), {}); }, LC_LS_GRANTED, 5},
        {"the 60 bytes went with their last user: 50 new ones fit",
         [&] { return lc_ls_take(e, owner("a", 1), win(20, 1), other); }, LC_LS_GRANTED, 6},
    };
    for (const Step& st : steps) {
        EXPECT_EQ(st.want, st.run()) << st.what;
        lc_ls_counts c = lc_ls_engine_counts(e);
        EXPECT_EQ(st.entries, c.held + c.pending + c.shares) << st.what;
        EXPECT_EQ("", lc_ls_engine_check(e)) << st.what;
    }
}

// ---------------------------------------------------------------- against a model

// The byte-range rules written as plainly as they can be, in a shape of
// their own: what each owner's POSIX locks cover is a row of byte cells
// (bytes 0-13, and one cell for the rest of the file), its segments derived
// from the cells as the runs of one type and items, cut only where a point
// at the joint would meet the joined run; Windows locks and queued
// requests are lists, scanned whole for every question.
struct ModelLock {
    std::string caller;
    uint64_t owner_id = 0;
    uint64_t fh = 0;
    uint32_t flavour = 0, type = 0;
    uint64_t start = 0, len = 0, last = 0;  // len: Windows as taken; POSIX the segment's, 0 to the end
    std::vector<std::string> items;
    uint64_t seq = 0;  // order of grant (held) or of queueing (queued)

    bool point() const { return flavour == LC_LS_WINDOWS && len == 0; }
    bool same_owner(const ModelLock& o) const { return caller == o.caller && owner_id == o.owner_id; }
};

struct Model {
    static constexpr size_t kCells = 15;  // cell 14: byte 14 to the end of the file
    struct Cell {
        uint32_t type = 0;  // 0: not covered
        std::vector<std::string> items;
        bool operator==(const Cell&) const = default;
    };
    struct OwnerFile {
        std::string caller;
        uint64_t owner_id;
        uint64_t fh;
        auto operator<=>(const OwnerFile&) const = default;
    };
    std::map<OwnerFile, std::array<Cell, kCells>> posix;
    std::vector<ModelLock> windows, queued;
    uint64_t seq = 0;

    static size_t cell_of(uint64_t byte) { return byte < kCells - 1 ? size_t(byte) : kCells - 1; }
    static bool point_in(uint64_t x, const ModelLock& r) { return !r.point() && x > r.start && x <= r.last; }
    static bool overlap(const ModelLock& a, const ModelLock& b) {
        if (a.point()) return point_in(a.start, b);
        if (b.point()) return point_in(b.start, a);
        return a.start <= b.last && b.start <= a.last;
    }
    static bool conflicts(const ModelLock& r, const ModelLock& l) {
        if (r.fh != l.fh || !overlap(r, l)) return false;
        if (r.type == S && l.type == S) return false;
        if (!r.same_owner(l) || r.flavour != l.flavour) return true;
        return r.flavour == LC_LS_WINDOWS && r.type == X;
    }
    // Whether a held point at x would meet a run of `type` across x.
    bool point_at(uint64_t fh, uint64_t x, uint32_t type) const {
        for (const ModelLock& l : windows)
            if (l.fh == fh && l.point() && l.start == x && (l.type == X || type == X)) return true;
        return false;
    }
    std::vector<ModelLock> segments() const {
        std::vector<ModelLock> out;
        for (const auto& [of, cells] : posix) {
            for (size_t i = 0; i < kCells; i++) {
                if (!cells[i].type) continue;
                bool starts = i == 0 || !(cells[i - 1] == cells[i]) || point_at(of.fh, i, cells[i].type);
                if (starts) {
                    ModelLock s;
                    s.caller = of.caller;
                    s.owner_id = of.owner_id;
                    s.fh = of.fh;
                    s.flavour = LC_LS_POSIX;
                    s.type = cells[i].type;
                    s.items = cells[i].items;
                    s.start = i;
                    out.push_back(s);
                }
                out.back().last = i == kCells - 1 ? kMax : i;
                out.back().len = out.back().last == kMax ? 0 : out.back().last - out.back().start + 1;
            }
        }
        return out;
    }
    std::vector<ModelLock> held() const {
        std::vector<ModelLock> all = segments();
        all.insert(all.end(), windows.begin(), windows.end());
        return all;
    }
    bool blocked(const ModelLock& r) const {
        for (const ModelLock& l : held())
            if (conflicts(r, l)) return true;
        return false;
    }
    // Sets the owner's cells of r to `to`; whether any was covered.
    bool paint(const ModelLock& r, const Cell& to) {
        auto& cells = posix[OwnerFile{r.caller, r.owner_id, r.fh}];
        bool any = false;
        for (size_t i = cell_of(r.start); i <= cell_of(r.last); i++) {
            any = any || cells[i].type;
            cells[i] = to;
        }
        if (std::all_of(cells.begin(), cells.end(), [](const Cell& c) { return !c.type; }))
            posix.erase(OwnerFile{r.caller, r.owner_id, r.fh});
        return any;
    }
    void grant(ModelLock r) {
        r.seq = ++seq;
        if (r.flavour == LC_LS_WINDOWS) return windows.push_back(r);
        paint(r, Cell{r.type, r.items});
    }
    void regrant() {
        for (bool again = true; again;) {
            again = false;
            for (size_t i = 0; i < queued.size();) {
                if (blocked(queued[i])) {
                    i++;
                    continue;
                }
                ModelLock r = queued[i];
                queued.erase(queued.begin() + long(i));
                grant(r);
                again = true;
            }
        }
    }
    uint32_t take(const ModelLock& r) {
        if (blocked(r)) return LC_LS_DENIED;
        grant(r);
        regrant();
        return LC_LS_GRANTED;
    }
    uint32_t free(const ModelLock& r) {
        if (r.flavour == LC_LS_POSIX) {
            if (!paint(r, Cell{})) return LC_LS_NOT_LOCKED;
        } else {
            long pick = -1;
            for (size_t i = 0; i < windows.size(); i++) {
                const ModelLock& l = windows[i];
                if (!l.same_owner(r) || l.fh != r.fh || l.start != r.start || l.len != r.len) continue;
                if (pick < 0) {
                    pick = long(i);
                    continue;
                }
                const ModelLock& p = windows[size_t(pick)];
                bool l_same = l.type == r.type, p_same = p.type == r.type;
                if ((l_same && !p_same) || (l_same == p_same && l.seq > p.seq)) pick = long(i);
            }
            if (pick < 0) return LC_LS_NOT_LOCKED;
            windows.erase(windows.begin() + pick);
        }
        regrant();
        return LC_LS_GRANTED;
    }
    static bool same_request(const ModelLock& a, const ModelLock& b) {
        return a.same_owner(b) && a.fh == b.fh && a.start == b.start && a.len == b.len && a.flavour == b.flavour;
    }
    uint32_t blocking_take(ModelLock r) {
        if (!blocked(r)) return take(r);
        for (ModelLock& q : queued)
            if (same_request(q, r)) {
                r.seq = q.seq;
                q = r;
                return LC_LS_BLOCKED;
            }
        r.seq = ++seq;
        queued.push_back(r);
        return LC_LS_BLOCKED;
    }
    uint32_t cancel(const ModelLock& r) {
        for (size_t i = 0; i < queued.size(); i++)
            if (same_request(queued[i], r)) {
                queued.erase(queued.begin() + long(i));
                return LC_LS_GRANTED;
            }
        return LC_LS_NOT_LOCKED;
    }
    void free_all(const std::string& caller) {
        std::erase_if(posix, [&](const auto& p) { return p.first.caller == caller; });
        std::erase_if(windows, [&](const ModelLock& l) { return l.caller == caller; });
        std::erase_if(queued, [&](const ModelLock& l) { return l.caller == caller; });
        regrant();
    }
};

std::string describe(const std::string& caller, uint64_t owner_id, uint64_t fh, uint32_t flavour, uint32_t type,
                     uint64_t start, uint64_t len, const std::vector<std::string>& items) {
    std::string s = caller + "/" + std::to_string(owner_id) + " fh " + std::to_string(fh) +
                    (flavour == LC_LS_POSIX ? " P" : " W") + (type == S ? "S " : "X ") + std::to_string(start) + "+" +
                    std::to_string(len);
    for (const std::string& i : items) s += "=" + i;
    return s;
}

std::multiset<std::string> model_held(const Model& m) {
    std::multiset<std::string> out;
    for (const ModelLock& l : m.held())
        out.insert(describe(l.caller, l.owner_id, l.fh, l.flavour, l.type, l.start, l.len, l.items));
    return out;
}

// Random takes, frees, blocking takes, cancels, tests and free-alls of both
// flavours on two files by three owners (two of them sharing a caller name):
// every answer is the model's, the held and queued sets are the model's,
// and the tables hold together after every step.
TEST(LsEngineModelTest, RandomHistoriesMatchTheModel) {
    struct Who {
        const char* caller;
        uint64_t owner_id;
    };
    const Who who[] = {{"a", 1}, {"a", 2}, {"b", 1}};
    for (uint64_t seed = 1; seed <= 300; seed++) {
        std::mt19937_64 rng(seed);
        auto pick = [&](uint64_t n) { return uint64_t(rng() % n); };
        // Every other history is dense: one file, few bytes, no items, so
        // that touching segments of one owner and points at their joints,
        // taken and released in every order, are common.
        const bool dense = seed % 2 == 0;
        Engine e;
        Model m;
        std::string history;
        for (int step = 0; step < 200; step++) {
            const Who& w = who[pick(3)];
            ModelLock r;
            r.caller = w.caller;
            r.owner_id = w.owner_id;
            r.fh = dense ? 1 : 1 + pick(2);
            r.flavour = pick(2) ? LC_LS_POSIX : LC_LS_WINDOWS;
            r.type = pick(2) ? S : X;
            r.start = pick(dense ? 6 : 10);
            r.len = pick(5);
            r.last = r.len == 0 ? (r.flavour == LC_LS_POSIX ? kMax : r.start) : r.start + r.len - 1;
            // Few distinct lists, so that entries share them and the last
            // user of one goes while others stay.
            static const std::vector<std::string> lists[] = {{}, {}, {}, {"i"}, {"j"}, {"i", "j"}};
            r.items = lists[pick(dense ? 3 : 6)];
            lc_ls_owner o = owner(r.caller, r.owner_id);
            lc_ls_range rg = range(r.flavour, r.start, r.len, r.type, r.fh);
            uint64_t op = pick(20);
            uint32_t want = 0, got = 0;
            const char* name;
            if (op < 6) {
                name = "take";
                want = m.take(r);
                got = lc_ls_take(e, o, rg, r.items);
            } else if (op < 10) {
                name = "free";
                want = m.free(r);
                got = lc_ls_free(e, o, rg);
            } else if (op < 15) {
                name = "blocking take";
                want = m.blocking_take(r);
                got = lc_ls_blocking_take(e, o, rg, r.items, lc_ls_addr{});
            } else if (op < 17) {
                name = "cancel";
                want = m.cancel(r);
                got = lc_ls_cancel(e, o, rg);
            } else if (op < 19) {
                name = "test";
                want = m.blocked(r) ? LC_LS_DENIED : LC_LS_GRANTED;
                got = lc_ls_test(e, o, rg, nullptr);
            } else {
                name = "free-all";
                m.free_all(r.caller);
                lc_ls_free_all(e, r.caller);
            }
            history += std::string(name) + " " +
                       describe(r.caller, r.owner_id, r.fh, r.flavour, r.type, r.start, r.len, r.items) + "\n";
            ASSERT_EQ(want, got) << "seed " << seed << ", step " << step << ":\n" << history;

            lc_ls_tables t;
            lc_ls_engine_snapshot(e, SIZE_MAX, &t);
            std::multiset<std::string> held;
            for (const lc_ls_lock& l : t.held)
                held.insert(describe(l.owner.caller, l.owner.owner_id, l.range.fh, l.range.flavour, l.range.type,
                                     l.range.start, l.range.len, l.items));
            ASSERT_EQ(model_held(m), held) << "seed " << seed << ", step " << step << ":\n" << history;
            std::vector<std::string> queued, model_queued;
            for (const lc_ls_queued& q : t.pending)
                queued.push_back(describe(q.req.owner.caller, q.req.owner.owner_id, q.req.range.fh,
                                          q.req.range.flavour, q.req.range.type, q.req.range.start,
                                          q.req.range.len, q.req.items));
            for (const ModelLock& q : m.queued)
                model_queued.push_back(describe(q.caller, q.owner_id, q.fh, q.flavour, q.type, q.start, q.len, q.items));
            ASSERT_EQ(model_queued, queued) << "seed " << seed << ", step " << step << ":\n" << history;
            ASSERT_EQ("", lc_ls_engine_check(e)) << "seed " << seed << ", step " << step << ":\n" << history;
        }
    }
}

// Random histories under small caps, with shares, by five names: after
// every request no caller name holds and has queued past its caps but by
// an unlock's split, and never past twice them; in every file's and the
// server's room the entries of the names that hold more than little grew
// past the open room only by an unlock's split, and never past the whole
// room, and the room holds at most its reserve more; no queue is past its
// caps; and each queued request conflicts or waits for room it does not
// have (the tables' check), so none waits that could be held.
TEST(LsEngineLimitsTest, RandomHistoriesKeepTheHeldCapsHard) {
    const char* callers[] = {"a", "b", "c", "d", "e"};
    for (uint64_t seed = 1; seed <= 150; seed++) {
        std::mt19937_64 rng(seed);
        auto pick = [&](uint64_t n) { return uint64_t(rng() % n); };
        Engine e;
        lc_ls_limits lim;
        // Every other history is dense: one file, and pieces and shared
        // locks on few bytes, so that they meet.
        const bool dense = seed % 2 == 0;
        lim.held_per_caller = 2 + pick(4);
        lim.held_per_file = 4 + pick(9);
        lim.queued_per_caller = 1 + pick(3);
        lim.queued_per_file = 2 + pick(6);
        lim.entries_total = 12 + pick(12);
        lc_ls_engine_set_limits(e, lim);
        const lc_ls_room_rule file_rule = lc_ls_room_shared(lim.held_per_file),
                              queue_rule = lc_ls_room_shared(lim.queued_per_file),
                              server_rule = lc_ls_room_shared(lim.entries_total);
        // What each room holds: all of it, and of the names holding more
        // than little there. Names by their index, files 1 and 2.
        struct Use {
            size_t all = 0, big = 0;
        };
        struct Tables {
            size_t caller[5] = {}, caller_queued[5] = {};
            Use file[3], queue[3], server;
        };
        auto tables = [&] {
            lc_ls_tables t;
            lc_ls_engine_snapshot(e, SIZE_MAX, &t);
            Tables u;
            size_t on_file[3][5] = {}, queued_on_file[3][5] = {}, shares[5] = {};
            for (const lc_ls_lock& l : t.held) {
                u.caller[l.owner.caller[0] - 'a']++;
                on_file[l.range.fh][l.owner.caller[0] - 'a']++;
            }
            for (const lc_ls_queued& q : t.pending) {
                size_t c = q.req.owner.caller[0] - 'a';
                u.caller[c]++;
                u.caller_queued[c]++;
                on_file[q.req.range.fh][c]++;
                queued_on_file[q.req.range.fh][c]++;
            }
            // A name's share locks count apart from its byte-range entries.
            for (const lc_ls_share_entry& h : t.shares) shares[h.owner.caller[0] - 'a']++;
            auto add = [](Use* use, const lc_ls_room_rule& rule, size_t n) {
                use->all += n;
                if (!lc_ls_room_little(rule, n)) use->big += n;
            };
            for (size_t c = 0; c < 5; c++) {
                for (uint64_t f = 1; f <= 2; f++) {
                    add(&u.file[f], file_rule, on_file[f][c]);
                    add(&u.queue[f], queue_rule, queued_on_file[f][c]);
                }
                add(&u.server, server_rule, u.caller[c]);
                add(&u.server, server_rule, shares[c]);
            }
            return u;
        };
        std::string history;
        Tables before = tables(), after;
        for (int step = 0; step < 200; step++, before = std::move(after)) {
            const size_t who = pick(5);
            const char* caller = callers[who];
            lc_ls_owner o = owner(caller, 1 + pick(2));
            const uint64_t fh = dense ? 1 : 1 + pick(2), home = 16 * who;
            auto spot = [&](uint64_t i) { return 16 * i + 1 + (dense ? 3 * pick(4) : pick(13)); };
            // Each name keeps a shared segment over bytes 16i-16i+15 and
            // asks for exclusive pieces inside, which shared locks of
            // other names hold up: granted once those go, they would split
            // the segment, and wait for room when it lacks.
            lc_ls_range r;
            uint64_t op = pick(16);
            if (op < 3) {
                o.owner_id = 1;
                r = range(LC_LS_POSIX, home, 16, S, fh);
            } else if (op < 6) {
                o.owner_id = 1;
                r = range(LC_LS_POSIX, spot(who), dense ? 1 : 1 + pick(2), X, fh);
            } else if (op < 8) {
                r = range(LC_LS_WINDOWS, spot(pick(5)), dense ? 1 : 1 + pick(2), S, fh);
            } else if (op < 10) {
                // A lock the name holds, or else any range.
                r = range(pick(4) ? LC_LS_POSIX : LC_LS_WINDOWS, pick(80), 1 + pick(5), pick(2) ? S : X, fh);
                lc_ls_tables t;
                lc_ls_engine_snapshot(e, SIZE_MAX, &t);
                std::vector<lc_ls_lock> mine;
                for (const lc_ls_lock& l : t.held)
                    if (l.owner.caller == caller) mine.push_back(l);
                if (!mine.empty()) {
                    const lc_ls_lock& l = mine[pick(mine.size())];
                    o.owner_id = l.owner.owner_id;
                    r = l.range;
                    // A piece of a segment, to split it.
                    if (r.flavour == LC_LS_POSIX && l.last > r.start + 1 && pick(2)) {
                        r.start += 1 + pick(l.last - r.start - 1);
                        r.len = 1;
                    }
                }
            } else {
                r = range(pick(4) ? LC_LS_POSIX : LC_LS_WINDOWS, pick(80), 1 + pick(5), pick(2) ? S : X, fh);
            }
            const uint32_t flavour = r.flavour;
            bool unlock = false;
            std::string name;
            if (op < 3 || op == 10) {
                name = "take";
                lc_ls_take(e, o, r, {});
            } else if (op < 6 || op == 11) {
                name = "blocking take";
                lc_ls_blocking_take(e, o, r, {}, lc_ls_addr{});
            } else if (op < 8) {
                name = "take";
                lc_ls_take(e, o, r, {});
            } else if (op < 10) {
                name = "free";
                unlock = flavour == LC_LS_POSIX;
                lc_ls_free(e, o, r);
            } else if (op < 14) {
                name = op == 12 ? "cancel" : "free-all";
                if (name == "cancel") lc_ls_cancel(e, o, r);
                else lc_ls_free_all(e, caller);
            } else {
                name = op == 14 ? "share take" : "share free";
                lc_ls_share_owner so{caller, std::to_string(o.owner_id), {}};
                if (op == 14) lc_ls_share_take(e, so, fh, 0, 1);
                else lc_ls_share_free(e, so, fh);
            }
            history += name + " " + caller + "/" + std::to_string(o.owner_id) + " fh " + std::to_string(fh) +
                       (flavour == LC_LS_POSIX ? " P" : " W") + (r.type == S ? "S " : "X ") + std::to_string(r.start) +
                       "+" + std::to_string(r.len) + "\n";
            after = tables();
            auto at = [&] { return "seed " + std::to_string(seed) + ", step " + std::to_string(step) + ":\n" + history; };
            for (size_t c = 0; c < 5; c++) {
                size_t n = after.caller[c];
                ASSERT_TRUE(n <= 2 * lim.held_per_caller && (n <= lim.held_per_caller || n <= before.caller[c] + unlock))
                    << "caller " << callers[c] << " holds and has queued " << n << ", " << at();
                ASSERT_LE(after.caller_queued[c], lim.queued_per_caller) << "caller " << callers[c] << ", " << at();
            }
            auto shared = [&](const char* what, const Use& was, const Use& now, const lc_ls_room_rule& rule) {
                size_t bound = std::max(was.big, unlock ? rule.split : rule.open);
                EXPECT_LE(now.big, bound) << what << " entries of names holding more than little, " << at();
                EXPECT_LE(now.all, rule.split + rule.reserve) << what << ", " << at();
            };
            for (uint64_t f = 1; f <= 2; f++) {
                shared("file", before.file[f], after.file[f], file_rule);
                shared("queue", before.queue[f], after.queue[f], queue_rule);
                EXPECT_LE(after.queue[f].all, lim.queued_per_file) << at();
            }
            shared("server", before.server, after.server, server_rule);
            ASSERT_FALSE(HasFailure());
            ASSERT_EQ("", lc_ls_engine_check(e)) << at();
        }
    }
}

}  // namespace

// ---------------------------------------------------------------- rules the lock suites break on purpose

// Each switch changes the one answer it names and leaves the correct server
// as it was: the end of the file at 2^64-1, a cancel of the named request
// among two of one owner, and "more" only when a lock follows the page.
TEST(LsEngineBreakTest, EofShortCancelOldestMoreWhenFull) {
    for (bool broken : {false, true}) {
        SCOPED_TRACE(broken ? "broken" : "correct");
        lc_ls_breaks b;
        b.posix_eof_short = b.cancel_oldest = b.search_more_when_full = broken;
        Engine e(b);

        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("a", 1), posix(100, 0), {}));
        EXPECT_EQ(LC_LS_DENIED, lc_ls_take(e, owner("b", 1), posix(kMax - 1, 1), {}));
        EXPECT_EQ(broken ? LC_LS_GRANTED : LC_LS_DENIED, lc_ls_take(e, owner("b", 1), posix(kMax, 1), {}));

        lc_ls_addr w{};
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("a", 2), win(0, 10, X, 0x20), {}));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("a", 2), win(100, 10, X, 0x20), {}));
        ASSERT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, owner("b", 2), win(0, 10, X, 0x20), {}, w));
        ASSERT_EQ(LC_LS_BLOCKED, lc_ls_blocking_take(e, owner("b", 2), win(100, 10, X, 0x20), {}, w));
        EXPECT_EQ(LC_LS_GRANTED, lc_ls_cancel(e, owner("b", 2), win(100, 10, X, 0x20)));
        ASSERT_EQ(LC_LS_GRANTED, lc_ls_free(e, owner("a", 2), win(0, 10, X, 0x20)));
        lc_ls_lock holder;
        EXPECT_EQ(broken ? LC_LS_GRANTED : LC_LS_DENIED, lc_ls_test(e, owner("c", 3), win(0, 10, X, 0x20), &holder));
        EXPECT_EQ(broken ? 1u : 0u, lc_ls_engine_counts(e).pending);

        for (uint64_t i = 0; i < 3; i++)
            ASSERT_EQ(LC_LS_GRANTED, lc_ls_take(e, owner("x", i), win(i * 10, 5, S, 0x30), {}));
        for (uint32_t max : {2u, 3u, 4u}) {
            lc_ls_search_query q;
            q.flags = LC_LS_FILTER_FH;
            q.fh = 0x30;
            q.max = max;
            lc_ls_search_page page;
            ASSERT_EQ(0u, lc_ls_search(e, q, &page));
            EXPECT_EQ(max < 3 || (broken && max == 3), page.has_more) << "max " << max;
            EXPECT_EQ(page.has_more, !page.cookie.empty());
        }
    }
}

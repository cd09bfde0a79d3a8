// Replies as a faulty or hostile server may send them: short, unhandled,
// with statuses out of range, and with counts and offsets beyond the reply.
// The call fails with -1 and leaves the caller's outputs alone; nothing is
// read outside the reply (the sanitizer build checks that).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ls_test_env.h"

namespace {

using lstest::Answer;
using lstest::Bytes;

constexpr uint64_t kFs = 0x42;

ls_lock_owner owner() {
    ls_lock_owner o{};
    kiv_parse_netaddr("10.9.8.7:445", &o.addr);
    o.caller = "carol";
    o.caller_id = 3;
    o.owner_id = 0x77;
    return o;
}
const ls_brlock_range kRange = {0xF00D, 0, 10, LS_LOCK_READ, LS_FLAVOUR_WINDOWS};

class LsHostileReplies : public lstest::ClientFixture {
   protected:
    void SetUp() override {
        ClientFixture::SetUp();
        make_client(true);
    }
};

TEST_F(LsHostileReplies, StatusRepliesFailWithoutTouchingTheStatus) {
    struct Case {
        const char* what;
        Answer answer;
        int rc;
        uint32_t stat; // expected; 0x77 = untouched
        const char* line;
        int level;
    };
    Answer error_frame;
    error_frame.kind = Answer::ErrorFrame;
    error_frame.code = KIV_E_BUSY;
    const Case cases[] = {
        {"31 bytes", lstest::status_reply(0, 31), -1, 0x77, "RPC call resp is too short: 31", 0},
        {"32 bytes: long enough for the header, not for the status", lstest::status_reply(0, 32), -1, 0x77,
         "Reply of 32 bytes carries no status", 0},
        {"handling error", lstest::reply_of(Bytes(0x28).u32(0x1C, 5).u32(0x20, 0)), -1, 0x77,
         "lock server failed to handle request: 5 (", 0},
        {"runtime error frame", error_frame, -1, 0x77, "RPC call failed: 9 (Peer busy)", 0},
        {"queued", lstest::status_reply(ls_blocked), 0, ls_blocked, "Lock response: stat 3", 3},
        {"unnamed status passes through", lstest::status_reply(0x1234), 0, 0x1234, "Lock response: stat 4660", 3},
    };
    const ls_lock_owner o = owner();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log_.lines.clear();
        server_.answer(c.answer);
        ls_stats st = ls_stats(0x77);
        EXPECT_EQ(ls_brlock_take(client_, kFs, &o, &kRange, 0, nullptr, &st), c.rc);
        EXPECT_EQ(uint32_t(st), c.stat);
        EXPECT_TRUE(log_.lines.has(c.line, c.level)) << log_.lines.dump();
        EXPECT_EQ(log_.lines.count("Failed to send lock request", 0), c.rc == 0 ? 0 : 1);
    }
    // Free-all reads nothing of its reply, so a bare header is enough there
    // (its layout is checked with the resolver's tests).
}

// A test reply: status, the holder's fields, `n` tags and their items.
Bytes test_reply(uint32_t status, size_t len = 0x80) {
    Bytes b(len);
    b.u32(0x20, status);
    if (len >= 0x74) b.u64(0x58, 0xB0B0).u64(0x60, 1000).u64(0x68, 24).u32(0x70, LS_LOCK_WRITE);
    return b;
}

TEST_F(LsHostileReplies, TestRepliesAreReadOnlyWhereTheyHoldData) {
    // Conflict with two items: "xyz" at 0x90 and 2 bytes at 0x94.
    Bytes two = test_reply(1, 0x98);
    two.u8(0x78, 2).u32(0x7C, 3).u32(0x80, 0x90).u32(0x84, 2).u32(0x88, 0x94);
    two.raw(0x90, "xyz", 3).raw(0x94, "PQ", 2);

    struct Case {
        const char* what;
        Bytes reply;
        bool want_items;
        int rc;
        bool conflict;     // the holder's fields were written
        uint32_t items;    // items handed out
        const char* line;  // expected at level 0, or null
    };
    const Case cases[] = {
        {"granted: only granted is written, bogus item tags ignored",
         test_reply(0).u8(0x78, 200).u32(0x7C, 0xFFFFFFF0), true, 0, false, 0, nullptr},
        {"granted in a status-only reply", test_reply(0, 0x28), true, 0, false, 0, nullptr},
        {"status 2", test_reply(2), true, -1, false, 0, "Unexpected test lock response status: 2"},
        {"conflict without the holder", test_reply(1, 0x28), true, -1, false, 0, "lacks the holder"},
        {"conflict, no items", test_reply(1), true, 0, true, 0, nullptr},
        {"conflict, two items", two, true, 0, true, 2, nullptr},
        {"conflict, items not asked for: tags not read", test_reply(1, 0x74), false, 0, true, 0, nullptr},
        {"conflict, item count beyond the reply", test_reply(1).u8(0x78, 3), true, -1, false, 0,
         "too short for 3 item tags"},
        {"conflict, item offset beyond the reply", test_reply(1, 0x88).u8(0x78, 1).u32(0x7C, 4).u32(0x80, 0x86), true,
         -1, false, 0, "lies outside the reply"},
        {"conflict, item length wraps the offset", test_reply(1, 0x88).u8(0x78, 1).u32(0x7C, 0xFFFFFFFF).u32(0x80, 2),
         true, -1, false, 0, "lies outside the reply"},
        {"conflict, count byte missing", test_reply(1, 0x74), true, -1, false, 0, "lacks the item count"},
    };
    const ls_lock_owner o = owner();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log_.lines.clear();
        server_.answer(lstest::reply_of(c.reply));
        lock_test_res res{};
        res.owner.caller_id = 55;
        res.range.start = 66;
        uint32_t count = 0xEEEE;
        ls_opaque_item* items = reinterpret_cast<ls_opaque_item*>(0x1);
        const int rc = c.want_items ? ls_brlock_test(client_, kFs, &o, &kRange, &res, &count, &items)
                                    : ls_brlock_test(client_, kFs, &o, &kRange, &res, nullptr, nullptr);
        EXPECT_EQ(rc, c.rc) << log_.lines.dump();
        if (c.line) { EXPECT_TRUE(log_.lines.has(c.line, 0)) << log_.lines.dump(); }
        if (rc == 0 && !c.conflict) { EXPECT_TRUE(res.granted); }
        if (c.conflict) {
            EXPECT_FALSE(res.granted);
            EXPECT_EQ(res.owner.caller_id, 0u);
            EXPECT_EQ(res.owner.owner_id, 0xB0B0u);
            EXPECT_EQ(res.range.start, 1000u);
            EXPECT_EQ(res.range.len, 24u);
            EXPECT_EQ(res.range.type, LS_LOCK_WRITE);
        } else {
            EXPECT_EQ(res.owner.caller_id, 55u);
            EXPECT_EQ(res.range.start, 66u);
        }
        if (c.items == 0) {
            EXPECT_EQ(count, 0xEEEEu);
            EXPECT_EQ(items, reinterpret_cast<ls_opaque_item*>(0x1));
            continue;
        }
        ASSERT_EQ(count, c.items);
        ASSERT_NE(items, nullptr);
        EXPECT_EQ(std::string(static_cast<char*>(items[0].data), items[0].size), "xyz");
        EXPECT_EQ(std::string(static_cast<char*>(items[1].data), items[1].size), "PQ");
        for (uint32_t i = 0; i < count; i++) __kiv_free(items[i].data);
        __kiv_free(items);
    }
}

// What the search callback saw, copied out of the page.
struct SearchSeen {
    int calls = 0;
    int error = 0;
    bool null_result = false;
    uint32_t count = 0, has_more = 0;
    bool locks_null = true;
    std::vector<ls_ctrl_win_lock_info> locks;
    std::vector<std::string> callers;
    std::string cookie;
};
SearchSeen g_seen;

void search_cb(ls_ctrl_search_result* r, int error) {
    g_seen.calls++;
    g_seen.error = error;
    g_seen.null_result = r == nullptr;
    if (r == nullptr) return;
    g_seen.count = r->returned_count;
    g_seen.has_more = r->has_more;
    g_seen.locks_null = r->locks == nullptr;
    for (uint32_t i = 0; i < r->returned_count; i++) {
        g_seen.locks.push_back(r->locks[i]);
        g_seen.callers.push_back(r->locks[i].owner_info.caller);
    }
    g_seen.cookie.assign(static_cast<char*>(r->cookie.data), r->cookie.size);
    // The receiver owns the page's arrays.
    ls_client_search_result_free(r);
}

// A search reply with `count` entries at 0x40, names after them, and a
// cookie after the names.
Bytes search_reply(uint32_t count, const char* cookie = nullptr) {
    const size_t names = 0x40 + 120 * size_t(count);
    const size_t cookie_at = names + 8 * size_t(count);
    Bytes b(cookie_at + (cookie ? strlen(cookie) : 0));
    b.u32(0x20, 0).u32(0x24, count).u32(0x28, 1).u32(0x30, 0x40);
    for (uint32_t i = 0; i < count; i++) {
        const size_t e = 0x40 + 120 * i;
        const std::string name = "own" + std::to_string(i);
        kiv_netaddr a;
        kiv_parse_netaddr(("10.0.0." + std::to_string(i + 1) + ":139").c_str(), &a);
        b.u32(e + 0x00, 0x1000 + i).u64(e + 0x08, 0x2000000000ull + i).u32(e + 0x10, 5).u32(e + 0x14, uint32_t(names + 8 * i));
        b.raw(e + 0x18, &a, 24).u64(e + 0x30, 0xDEAD).u64(e + 0x38, 0xF00 + i).u64(e + 0x40, 0x300 + i);
        b.u64(e + 0x48, 10 * i).u64(e + 0x50, 5).u32(e + 0x58, LS_LOCK_WRITE).u32(e + 0x5C, LS_FLAVOUR_WINDOWS);
        b.u32(e + 0x60, 40 + i).u16(e + 0x64, uint16_t(0xAB00 + i)).u64(e + 0x68, 0x6800 + i).u64(e + 0x70, 0x7000 + i);
        b.str(names + 8 * i, name.c_str());
    }
    if (cookie) b.u32(0x34, uint32_t(strlen(cookie))).u32(0x38, uint32_t(cookie_at)).raw(cookie_at, cookie, strlen(cookie));
    return b;
}

TEST_F(LsHostileReplies, SearchRepliesMapEveryFieldAndRefuseWhatLiesOutside) {
    Bytes name_unterminated = search_reply(1);
    name_unterminated.b.resize(name_unterminated.b.size() - 4);  // "own0" loses its NUL
    Bytes name_outside = search_reply(1).u32(0x40 + 0x14, 0x10000);

    struct Case {
        const char* what;
        Bytes reply;
        int rc;
        int calls;     // callback calls
        int error;     // its error
        const char* line;
    };
    const Case cases[] = {
        {"two entries and a cookie", search_reply(2, "next-page"), 0, 1, 0, nullptr},
        {"count 0, no cookie", Bytes(0x40), 0, 1, 0, nullptr},
        {"non-zero status", Bytes(0x28).u32(0x20, 22), 0, 1, -EIO,
         "Control search Windows brlocks failed with status: 22"},
        {"status 0, header cut short", Bytes(0x30), -1, 0, 0, "Search reply of 48 bytes is too short"},
        {"count beyond the reply", search_reply(1).u32(0x24, 2), -1, 0, 0, "cannot hold 2 entries"},
        {"huge count", search_reply(1).u32(0x24, 0x7FFFFFFF), -1, 0, 0, "cannot hold"},
        {"entries offset beyond the reply", search_reply(1).u32(0x30, 0xFFFFFFF0), -1, 0, 0, "cannot hold 1 entries"},
        {"name offset beyond the reply", name_outside, -1, 0, 0, "has no caller name inside the reply"},
        {"name without its NUL", name_unterminated, -1, 0, 0, "has no caller name inside the reply"},
        {"cookie beyond the reply", search_reply(1, "c").u32(0x34, 2), -1, 0, 0, "cookie (2 bytes"},
        {"cookie offset wraps", search_reply(0).u32(0x34, 16).u32(0x38, 0xFFFFFFF8), -1, 0, 0, "cookie (16 bytes"},
    };
    const ls_ctrl_search_filter filter{};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log_.lines.clear();
        g_seen = SearchSeen{};
        server_.answer(lstest::reply_of(c.reply));
        EXPECT_EQ(ls_ctrl_search_win_brlocks(client_, kFs, &filter, 10, nullptr, search_cb), c.rc) << log_.lines.dump();
        EXPECT_EQ(g_seen.calls, c.calls);
        EXPECT_EQ(g_seen.error, c.error);
        if (c.line) { EXPECT_TRUE(log_.lines.has(c.line, 0)) << log_.lines.dump(); }
        if (c.rc != 0) { EXPECT_TRUE(log_.lines.has("Failed to send control search Windows brlocks request", 0)); }
        if (c.error != 0) { EXPECT_TRUE(g_seen.null_result); }
    }

    // The first case once more, field by field.
    g_seen = SearchSeen{};
    server_.answer(lstest::reply_of(search_reply(2, "next-page")));
    ASSERT_EQ(ls_ctrl_search_win_brlocks(client_, kFs, &filter, 10, nullptr, search_cb), 0);
    ASSERT_EQ(g_seen.count, 2u);
    EXPECT_EQ(g_seen.has_more, 1u);
    EXPECT_EQ(g_seen.cookie, "next-page");
    for (uint32_t i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        const ls_ctrl_win_lock_info& l = g_seen.locks[i];
        kiv_netaddr a;
        kiv_parse_netaddr(("10.0.0." + std::to_string(i + 1) + ":139").c_str(), &a);
        EXPECT_EQ(l.lock_ref32, 0x1000 + i);
        EXPECT_EQ(l.lock_ref64, 0x2000000000ull + i);
        EXPECT_EQ(g_seen.callers[i], "own" + std::to_string(i));
        EXPECT_EQ(kiv_netaddr_cmp(&l.owner_info.addr, &a), 0);
        EXPECT_EQ(l.lock_info.fh, 0xF00 + i);
        EXPECT_EQ(l.owner_info.owner_id, 0x300 + i);
        EXPECT_EQ(l.lock_info.start, 10u * i);
        EXPECT_EQ(l.lock_info.len, 5u);
        EXPECT_EQ(l.lock_info.type, LS_LOCK_WRITE);
        EXPECT_EQ(l.lock_info.flavour, LS_FLAVOUR_WINDOWS);
        EXPECT_EQ(l.owner_info.caller_id, 40 + i);
        EXPECT_EQ(l.aux_u32, 40 + i);
        EXPECT_EQ(l.aux_u16, 0xAB00 + i);
        EXPECT_EQ(l.aux_u64_a, 0x6800 + i);
        EXPECT_EQ(l.aux_u64_b, 0x7000 + i);
    }

    // An empty page: no array, an empty cookie.
    g_seen = SearchSeen{};
    server_.answer(lstest::reply_of(Bytes(0x40)));
    ASSERT_EQ(ls_ctrl_search_win_brlocks(client_, kFs, &filter, 10, nullptr, search_cb), 0);
    EXPECT_EQ(g_seen.count, 0u);
    EXPECT_TRUE(g_seen.locks_null);
    EXPECT_TRUE(g_seen.cookie.empty());
}

TEST(LsSearchResultFree, ReleasesEverythingAndZeroes) {
    ls_client_search_result_free(nullptr);
    ls_ctrl_search_result r{};
    r.returned_count = 2;
    r.locks = static_cast<ls_ctrl_win_lock_info*>(__kiv_zmalloc("t", KIV_POS, KIV_MEM_NOFAIL, 2 * sizeof *r.locks));
    r.locks[0].owner_info.caller = __kiv_strdup("t", KIV_POS, KIV_MEM_NOFAIL, "a");
    r.locks[1].owner_info.caller = __kiv_strdup("t", KIV_POS, KIV_MEM_NOFAIL, "b");
    r.cookie.data = __kiv_malloc("t", KIV_POS, KIV_MEM_NOFAIL, 4);
    r.cookie.size = 4;
    ls_client_search_result_free(&r);  // the leak checker sees anything left
    EXPECT_EQ(r.locks, nullptr);
    EXPECT_EQ(r.cookie.data, nullptr);
    EXPECT_EQ(r.returned_count, 0u);
}

}  // namespace

// Replies as a faulty or hostile server may send them: short, unhandled,
// statuses out of range, counts and offsets beyond the reply. The call
// fails with -1 and leaves the caller's outputs alone; nothing is read
// outside the reply (the sanitizer build checks that).
#include <tuple>

#include "ls_test_env.h"

namespace {

using lstest::Bytes;

constexpr uint64_t kFs = 0x42;
const ls_brlock_range kRange = {0xF00D, 0, 10, LS_LOCK_READ, LS_FLAVOUR_WINDOWS};

class LsReplies : public lstest::ClientFixture {
   protected:
    void SetUp() override {
        ClientFixture::SetUp();
        make_client(true);
        owner_.caller = "carol";
    }
    ls_lock_owner owner_{};
};

TEST_F(LsReplies, StatusReplies) {
    const struct {
        const char* what;
        Bytes reply;
        uint32_t error_code;
        uint32_t stat; // 0x77: untouched, and the call fails
        const char* line;
        int level;
    } cases[] = {
        {"31 bytes", lstest::status_reply(0, 31), 0, 0x77, "RPC call resp is too short: 31", 0},
        {"32 bytes: the header but no status", lstest::status_reply(0, 32), 0, 0x77, "Reply of 32 bytes carries no status", 0},
        {"handling error", lstest::status_reply(0).u32(0x1C, 5), 0, 0x77, "lock server failed to handle request: 5 (", 0},
        {"runtime error frame", Bytes(), KIV_E_BUSY, 0x77, "RPC call failed: 9 (Peer busy)", 0},
        {"queued", lstest::status_reply(ls_blocked), 0, ls_blocked, "Lock response: stat 3", 3},
        {"unnamed status passes through", lstest::status_reply(0x1234), 0, 0x1234, "Lock response: stat 4660", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log_.lines.clear();
        server_.answer(c.reply, c.error_code);
        ls_stats st = ls_stats(0x77);
        EXPECT_EQ(ls_brlock_take(client_, kFs, &owner_, &kRange, 0, nullptr, &st), c.stat == 0x77 ? -1 : 0);
        EXPECT_EQ(uint32_t(st), c.stat);
        EXPECT_TRUE(log_.lines.has(c.line, c.level)) << log_.lines.dump();
        EXPECT_EQ(log_.lines.count("Failed to send lock request", 0), c.stat == 0x77 ? 1 : 0);
    }
}

// A test reply with the holder's fields when `len` holds them.
Bytes test_reply(uint32_t status, size_t len = 0x80) {
    Bytes b = lstest::status_reply(status, len);
    return len < 0x74 ? b : b.u64(0x58, 0xB0B0).u64(0x60, 1000).u64(0x68, 24).u32(0x70, LS_LOCK_WRITE);
}

TEST_F(LsReplies, TestRepliesAreReadOnlyWhereTheyHoldData) {
    Bytes two = test_reply(1, 0x98).u8(0x78, 2).u32(0x7C, 3).u32(0x80, 0x90).u32(0x84, 2).u32(0x88, 0x94);
    two.raw(0x90, "xyz", 3).raw(0x94, "PQ", 2);
    const struct {
        const char* what;
        Bytes reply;
        bool want_items;
        int rc;
        bool conflict;    // holder's fields written
        uint32_t items;   // items handed out
        const char* line; // level 0, or null
    } cases[] = {
        {"granted: bogus item tags are not read", test_reply(0).u8(0x78, 200).u32(0x7C, 0xFFFFFFF0), true, 0, false, 0, nullptr},
        {"granted, status only", test_reply(0, 0x28), true, 0, false, 0, nullptr},
        {"status 2", test_reply(2), true, -1, false, 0, "Unexpected test lock response status: 2"},
        {"conflict without the holder", test_reply(1, 0x28), true, -1, false, 0, "lacks the holder"},
        {"conflict, no items", test_reply(1), true, 0, true, 0, nullptr},
        {"conflict, two items", two, true, 0, true, 2, nullptr},
        {"conflict, items not asked for", test_reply(1, 0x74), false, 0, true, 0, nullptr},
        {"conflict, count byte missing", test_reply(1, 0x74), true, -1, false, 0, "lacks the item count"},
        {"item tags beyond the reply", test_reply(1).u8(0x78, 3), true, -1, false, 0, "too short for 3 item tags"},
        {"item beyond the reply", test_reply(1, 0x88).u8(0x78, 1).u32(0x7C, 4).u32(0x80, 0x86), true, -1, false, 0,
         "lies outside the reply"},
        {"item length wraps", test_reply(1, 0x88).u8(0x78, 1).u32(0x7C, 0xFFFFFFFF).u32(0x80, 2), true, -1, false, 0,
         "lies outside the reply"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log_.lines.clear();
        server_.answer(c.reply);
        lock_test_res res{};
        res.owner.caller_id = 55;
        res.range.start = 66;
        uint32_t count = 0xEEEE;
        ls_opaque_item* items = nullptr;
        EXPECT_EQ(ls_brlock_test(client_, kFs, &owner_, &kRange, &res, c.want_items ? &count : nullptr,
                                 c.want_items ? &items : nullptr), c.rc) << log_.lines.dump();
        if (c.line != nullptr) {
            EXPECT_TRUE(log_.lines.has(c.line, 0)) << log_.lines.dump();
        }
        EXPECT_EQ(res.granted, c.rc == 0 && !c.conflict);
        EXPECT_EQ(res.owner.caller_id, c.conflict ? 0u : 55u);
        EXPECT_EQ(res.range.start, c.conflict ? 1000u : 66u);
        if (c.conflict) {
            EXPECT_EQ(res.owner.owner_id, 0xB0B0u);
            EXPECT_EQ(res.range.len, 24u);
            EXPECT_EQ(res.range.type, LS_LOCK_WRITE);
        }
        EXPECT_EQ(count, c.items ? c.items : 0xEEEEu);
        if (c.items == 0) {
            EXPECT_EQ(items, nullptr);
            continue;
        }
        EXPECT_EQ(std::string(static_cast<char*>(items[0].data), items[0].size), "xyz");
        EXPECT_EQ(std::string(static_cast<char*>(items[1].data), items[1].size), "PQ");
        for (uint32_t i = 0; i < count; i++) __kiv_free(items[i].data);
        __kiv_free(items);
    }
}

// What the search callback saw, copied before the page is released.
struct Seen {
    int calls = 0, error = 0;
    bool null_result = false, locks_null = true;
    uint32_t count = 0, has_more = 0;
    std::vector<ls_ctrl_win_lock_info> locks;
    std::vector<std::string> callers;
    std::string cookie;
} g_seen;

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
    ls_client_search_result_free(r);
    EXPECT_EQ(r->locks, nullptr);
}

// `count` entries at 0x40, their names after them, then the cookie.
Bytes search_reply(uint32_t count, const char* cookie = "") {
    const size_t names = 0x40 + 120 * size_t(count), cookie_at = names + 8 * size_t(count);
    Bytes b(cookie_at + strlen(cookie));
    b.u32(0x24, count).u32(0x28, 1).u32(0x30, 0x40).u32(0x34, uint32_t(strlen(cookie))).u32(0x38, uint32_t(cookie_at));
    b.raw(cookie_at, cookie, strlen(cookie));
    for (uint32_t i = 0; i < count; i++) {
        const size_t e = 0x40 + 120 * i;
        kiv_netaddr a;
        kiv_parse_netaddr_port("10.0.0.9", std::to_string(100 + i).c_str(), &a);
        b.u32(e, 0x1000 + i).u64(e + 0x08, 0x2000000000ull + i).u32(e + 0x14, uint32_t(names + 8 * i)).raw(e + 0x18, &a, 24);
        b.u64(e + 0x30, 0xDEAD).u64(e + 0x38, 0xF00 + i).u64(e + 0x40, 0x300 + i).u64(e + 0x48, 10 * i).u64(e + 0x50, 5);
        b.u32(e + 0x58, LS_LOCK_WRITE).u32(e + 0x5C, LS_FLAVOUR_WINDOWS).u32(e + 0x60, 40 + i).u16(e + 0x64, uint16_t(0xAB00 + i));
        b.u64(e + 0x68, 0x6800 + i).u64(e + 0x70, 0x7000 + i).str(names + 8 * i, ("own" + std::to_string(i)).c_str());
    }
    return b;
}

TEST_F(LsReplies, SearchRepliesMapEveryFieldAndRefuseWhatLiesOutside) {
    Bytes unterminated = search_reply(1);
    unterminated.b.resize(unterminated.b.size() - 4); // "own0" loses its NUL
    const struct {
        const char* what;
        Bytes reply;
        int rc, calls, error;
        const char* line;
    } cases[] = {
        {"count 0, no cookie", Bytes(0x40), 0, 1, 0, nullptr},
        {"non-zero status", lstest::status_reply(22), 0, 1, -EIO, "Control search Windows brlocks failed with status: 22"},
        {"status 0, header cut short", lstest::status_reply(0, 0x30), -1, 0, 0, "Search reply of 48 bytes is too short"},
        {"count beyond the reply", search_reply(1).u32(0x24, 2), -1, 0, 0, "cannot hold 2 entries"},
        {"huge count", search_reply(1).u32(0x24, 0x7FFFFFFF), -1, 0, 0, "cannot hold"},
        {"entries offset beyond the reply", search_reply(1).u32(0x30, 0xFFFFFFF0), -1, 0, 0, "cannot hold 1 entries"},
        {"name offset beyond the reply", search_reply(1).u32(0x54, 0x10000), -1, 0, 0, "has no caller name inside"},
        {"name without its NUL", unterminated, -1, 0, 0, "has no caller name inside"},
        {"cookie beyond the reply", search_reply(1, "c").u32(0x34, 2), -1, 0, 0, "cookie (2 bytes"},
        {"cookie offset wraps", search_reply(0).u32(0x34, 16).u32(0x38, 0xFFFFFFF8), -1, 0, 0, "cookie (16 bytes"},
        {"two entries and a cookie", search_reply(2, "next-page"), 0, 1, 0, nullptr},
    };
    const ls_ctrl_search_filter filter{};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log_.lines.clear();
        g_seen = Seen{};
        server_.answer(c.reply);
        EXPECT_EQ(ls_ctrl_search_win_brlocks(client_, kFs, &filter, 10, nullptr, search_cb), c.rc) << log_.lines.dump();
        EXPECT_EQ(g_seen.calls, c.calls);
        EXPECT_EQ(g_seen.error, c.error);
        EXPECT_EQ(g_seen.null_result, c.error != 0);
        if (c.line != nullptr) {
            EXPECT_TRUE(log_.lines.has(c.line, 0)) << log_.lines.dump();
        }
        EXPECT_EQ(log_.lines.count("Failed to send control search Windows brlocks request", 0), c.rc ? 1 : 0);
        if (c.calls == 1 && c.error == 0 && g_seen.count == 0) {
            EXPECT_TRUE(g_seen.locks_null);
            EXPECT_TRUE(g_seen.cookie.empty());
        }
    }
    ls_client_search_result_free(nullptr);
    // The last case, field by field:
    ASSERT_EQ(g_seen.count, 2u);
    EXPECT_EQ(g_seen.has_more, 1u);
    EXPECT_EQ(g_seen.cookie, "next-page");
    for (uint32_t i = 0; i < 2; i++) {
        const ls_ctrl_win_lock_info& l = g_seen.locks[i];
        kiv_netaddr a;
        kiv_parse_netaddr_port("10.0.0.9", std::to_string(100 + i).c_str(), &a);
        EXPECT_EQ(g_seen.callers[i], "own" + std::to_string(i));
        EXPECT_EQ(kiv_netaddr_cmp(&l.owner_info.addr, &a), 0);
        EXPECT_EQ(std::tuple(l.lock_ref32, l.lock_ref64, l.lock_info.fh, l.owner_info.owner_id, l.lock_info.start, l.lock_info.len),
                  std::tuple(0x1000 + i, 0x2000000000ull + i, 0xF00ull + i, 0x300ull + i, 10ull * i, 5ull));
        EXPECT_EQ(std::tuple(l.lock_info.type, l.lock_info.flavour, l.owner_info.caller_id, l.aux_u32, l.aux_u16, l.aux_u64_a, l.aux_u64_b),
                  std::tuple(LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS, 40 + i, 40 + i, uint16_t(0xAB00 + i), 0x6800ull + i, 0x7000ull + i));
    }
}

}  // namespace

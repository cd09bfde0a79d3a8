// The bytes of every request the client builds, checked against frames
// written at literal offsets, and the requests it refuses to send.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ls_test_env.h"

namespace {

using lstest::Bytes;

constexpr uint64_t kFs = 0xABCD0001;

struct Owner {
    ls_lock_owner o{};
    Owner(const char* caller = "alice") {
        kiv_parse_netaddr_port("10.1.2.3", "445", &o.addr);
        o.caller = caller;
        o.caller_id = 7;
        o.owner_id = 0x1122334455667788ull;
    }
};

const ls_brlock_range kRange = {0xF1F2F3F4F5F6F7F8ull, 100, 200, LS_LOCK_WRITE, LS_FLAVOUR_POSIX};

// Header and the byte-range prefix shared by test, cancel, free and both takes.
Bytes br_frame(uint32_t type, size_t len, uint32_t name_off, const ls_lock_owner& o) {
    const uint32_t n = uint32_t(strlen(o.caller) + 1);
    Bytes f(len);
    f.u32(0x00, uint32_t(len)).u32(0x04, type).u64(0x18, 2);
    f.u32(0x20, n).u32(0x24, name_off).raw(0x28, &o.addr, 24).u64(0x40, kFs);
    f.u64(0x48, kRange.fh).u64(0x50, o.owner_id).u64(0x58, kRange.start).u64(0x60, kRange.len);
    f.u32(0x68, kRange.type).u32(0x6C, kRange.flavour).str(name_off, o.caller);
    return f;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = uint8_t(seed + i * 7);
    return v;
}

// Expected take frame: tags at `tags`, name after them, items after the name.
Bytes take_frame(uint32_t type, size_t tags, const ls_lock_owner& o, const std::vector<std::vector<uint8_t>>& items) {
    const size_t n = strlen(o.caller) + 1;
    size_t data = 0;
    for (const auto& it : items) data += it.size();
    const size_t name_off = tags + 8 * items.size();
    Bytes f = br_frame(type, name_off + n + data, uint32_t(name_off), o);
    size_t at = name_off + n;
    for (size_t i = 0; i < items.size(); i++) {
        f.u32(tags + 8 * i, uint32_t(items[i].size())).u32(tags + 8 * i + 4, uint32_t(at));
        f.raw(at, items[i].data(), items[i].size());
        at += items[i].size();
    }
    return f;
}

std::vector<ls_opaque_item> as_items(std::vector<std::vector<uint8_t>>& items) {
    std::vector<ls_opaque_item> out;
    for (auto& it : items) out.push_back({it.size(), it.data()});
    return out;
}

class LsRequestLayout : public lstest::ClientFixture {
   protected:
    void SetUp() override {
        ClientFixture::SetUp();
        make_client(true);
        // Long enough for a search reply with no entries.
        server_.answer(lstest::status_reply(0, 0x40));
    }

    // The one frame the last operation sent, with its transaction id
    // checked (the engine's counter is never 0) and blanked.
    std::vector<uint8_t> last_frame() {
        std::vector<lstest::Request> reqs = server_.requests();
        if (reqs.size() != 1) {
            ADD_FAILURE() << "expected one request, got " << reqs.size();
            return {};
        }
        std::vector<uint8_t> f = reqs[0].frame;
        EXPECT_NE(ls_wire_get_u64(f.data(), 0x10), 0u) << "transaction id not written";
        std::fill(f.begin() + 8, f.begin() + 24, 0);
        server_.clear();
        return f;
    }
};

TEST_F(LsRequestLayout, EveryRequestMatchesItsTable) {
    Owner alice;
    const ls_lock_owner& o = alice.o;
    auto one = pattern(3, 1), none = std::vector<uint8_t>{}, five = pattern(5, 9);
    std::vector<std::vector<uint8_t>> three = {one, none, five};
    std::vector<ls_opaque_item> three_items = as_items(three);
    std::vector<std::vector<uint8_t>> big = {pattern(8184, 3)};
    std::vector<ls_opaque_item> big_items = as_items(big);
    kiv_netaddr waiter;
    kiv_parse_netaddr("192.168.7.9:4000", &waiter);
    std::vector<uint8_t> handle = pattern(5, 0x40);
    ls_share_owner sowner{};
    sowner.addr = o.addr;
    sowner.caller = "bob";
    sowner.handle_len = handle.size();
    sowner.handle_data = handle.data();
    const ls_share_lock slock = {0x5151, LS_READ, LS_READ | LS_WRITE};
    const char cookie_bytes[] = "cookie!";
    const ls_ctrl_cookie cookie = {7, const_cast<char*>(cookie_bytes)};
    const ls_ctrl_cookie empty_cookie = {0, const_cast<char*>(cookie_bytes)};
    const ls_ctrl_search_filter filter = {LS_CTRL_FILTER_FH, 0x99887766};

    auto share_frame = [&](uint32_t type) {
        Bytes f(0x68 + 4 + handle.size());
        f.u32(0, uint32_t(f.b.size())).u32(4, type).u64(0x18, 2);
        f.u32(0x20, 4).u32(0x24, 0x68).raw(0x28, &sowner.addr, 24).u64(0x48, slock.fh);
        f.u32(0x50, uint32_t(handle.size())).u32(0x54, 0x68 + 4).u32(0x58, slock.mode).u32(0x5C, slock.access);
        f.str(0x68, "bob").raw(0x6C, handle.data(), handle.size());
        return f;
    };
    auto search_frame = [&](const ls_ctrl_cookie* c) {
        const size_t n = c ? c->size : 0;
        Bytes f(0x40 + n);
        f.u32(0, uint32_t(f.b.size())).u32(4, 0x2064).u64(0x18, 2);
        f.u32(0x20, filter.flags).u64(0x28, filter.fh).u32(0x30, 2).u32(0x34, 25);
        if (n) f.u32(0x38, uint32_t(n)).u32(0x3C, 0x40).raw(0x40, c->data, n);
        return f;
    };
    auto cb = [](ls_ctrl_search_result*, int) {};

    struct Case {
        const char* what;
        std::function<int()> call;
        Bytes expected;
    };
    ls_stats st;
    lock_test_res res{};
    const Case cases[] = {
        {"test", [&] { return ls_brlock_test(client_, kFs, &o, &kRange, &res, nullptr, nullptr); },
         br_frame(0x2004, 0x78 + 6, 0x78, o)},
        {"cancel", [&] { return ls_blocking_brlock_cancel(client_, kFs, &o, &kRange, &st); },
         br_frame(0x2008, 0x78 + 6, 0x78, o)},
        {"free", [&] { return ls_brlock_free(client_, kFs, &o, &kRange, &st); }, br_frame(0x200A, 0x78 + 6, 0x78, o)},
        {"take, no items: 0x78 + N, name at 0x78",
         [&] { return ls_brlock_take(client_, kFs, &o, &kRange, 0, nullptr, &st); },
         take_frame(0x2006, 0x78, o, {}).u32(0x70, 7)},
        {"take, one 8184-byte item: tag (8184, 0x80 + N)",
         [&] { return ls_brlock_take(client_, kFs, &o, &kRange, 1, big_items.data(), &st); },
         take_frame(0x2006, 0x78, o, big).u32(0x70, 7).u8(0x74, 1).u32(0x78, 8184).u32(0x7C, 0x80 + 6)},
        {"take, three items one empty",
         [&] { return ls_brlock_take(client_, kFs, &o, &kRange, 3, three_items.data(), &st); },
         take_frame(0x2006, 0x78, o, three).u32(0x70, 7).u8(0x74, 3)},
        {"blocking take, three items",
         [&] { return ls_blocking_brlock_take(client_, kFs, &waiter, &o, &kRange, 3, three_items.data(), &st); },
         take_frame(0x2014, 0x90, o, three).raw(0x70, &waiter, 24).u32(0x88, 7).u8(0x8C, 3)},
        {"share take", [&] { return ls_sharemode_lock_take(client_, kFs, &sowner, &slock, &st); }, share_frame(0x200E)},
        {"share free", [&] { return ls_sharemode_lock_free(client_, kFs, &sowner, &slock, &st); }, share_frame(0x2010)},
        {"search, no cookie", [&] { return ls_ctrl_search_win_brlocks(client_, kFs, &filter, 25, nullptr, cb); },
         search_frame(nullptr)},
        {"search, empty cookie",
         [&] { return ls_ctrl_search_win_brlocks(client_, kFs, &filter, 25, &empty_cookie, cb); },
         search_frame(nullptr)},
        {"search, cookie", [&] { return ls_ctrl_search_win_brlocks(client_, kFs, &filter, 25, &cookie, cb); },
         search_frame(&cookie)},
        {"remove", [&] { return ls_ctrl_remove_brlock(client_, kFs, 0xA0B0C0D0, 0x0102030405060708ull, 2, &st); },
         Bytes(0x38).u32(0, 0x38).u32(4, 0x2066).u64(0x18, 2).u32(0x20, 0xA0B0C0D0).u64(0x28, 0x0102030405060708ull)
             .u32(0x30, 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.call(), 0) << log_.lines.dump();
        std::vector<uint8_t> got = last_frame();
        ASSERT_EQ(got.size(), c.expected.b.size());
        for (size_t i = 0; i < got.size(); i++)
            ASSERT_EQ(got[i], c.expected.b[i]) << "first difference at offset 0x" << std::hex << i;
    }
    std::lock_guard<std::mutex> g(log_.mu);
    EXPECT_TRUE(log_.bad_positions.empty()) << log_.bad_positions.front();
}

TEST_F(LsRequestLayout, RequestsThatDoNotFitTheWireAreRefusedBeforeSending) {
    Owner alice;
    std::vector<uint8_t> byte(1, 0x5A);
    std::vector<ls_opaque_item> many(256, ls_opaque_item{1, byte.data()});
    // One item that fills a take exactly to the largest message, and one
    // byte more.
    const size_t fixed = 0x78 + 8 + 6;
    std::vector<uint8_t> fill(LS_MAX_MSG - fixed, 1);
    ls_opaque_item exact{fill.size(), fill.data()};
    ls_opaque_item over{fill.size() + 1, fill.data()};
    ls_opaque_item huge{1ull << 32, fill.data()};
    ls_share_owner sowner{};
    sowner.caller = "bob";
    sowner.handle_data = fill.data();
    const ls_share_lock slock = {1, LS_READ, LS_READ};
    std::vector<uint8_t> cookie_bytes(LS_MAX_MSG, 0);
    ls_ctrl_cookie big_cookie{LS_MAX_MSG - 0x40 + 1, cookie_bytes.data()};
    const ls_ctrl_search_filter filter{};
    kiv_netaddr waiter{};

    struct Case {
        const char* what;
        std::function<int(ls_stats*)> call;
    };
    const Case refused[] = {
        {"negative item count", [&](ls_stats* s) { return ls_brlock_take(client_, kFs, &alice.o, &kRange, -1, many.data(), s); }},
        {"256 items", [&](ls_stats* s) { return ls_brlock_take(client_, kFs, &alice.o, &kRange, 256, many.data(), s); }},
        {"256 items, blocking",
         [&](ls_stats* s) {
             return ls_blocking_brlock_take(client_, kFs, &waiter, &alice.o, &kRange, 256, many.data(), s);
         }},
        {"item over 32 bits", [&](ls_stats* s) { return ls_brlock_take(client_, kFs, &alice.o, &kRange, 1, &huge, s); }},
        {"take one byte over the largest message",
         [&](ls_stats* s) { return ls_brlock_take(client_, kFs, &alice.o, &kRange, 1, &over, s); }},
        {"items without an array", [&](ls_stats* s) { return ls_brlock_take(client_, kFs, &alice.o, &kRange, 2, nullptr, s); }},
        {"share handle over 32 bits",
         [&](ls_stats* s) {
             sowner.handle_len = (1ull << 32) + 4;
             return ls_sharemode_lock_take(client_, kFs, &sowner, &slock, s);
         }},
        {"share over the largest message",
         [&](ls_stats* s) {
             sowner.handle_len = LS_MAX_MSG - 0x68 - 4 + 1;
             return ls_sharemode_lock_free(client_, kFs, &sowner, &slock, s);
         }},
        {"search cookie over the largest message",
         [&](ls_stats*) { return ls_ctrl_search_win_brlocks(client_, kFs, &filter, 1, &big_cookie, [](ls_ctrl_search_result*, int) {}); }},
        {"free without caller name",
         [&](ls_stats* s) {
             ls_lock_owner nameless = alice.o;
             nameless.caller = nullptr;
             return ls_brlock_free(client_, kFs, &nameless, &kRange, s);
         }},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        ls_stats st = ls_stats(0x77);
        EXPECT_EQ(c.call(&st), -1);
        EXPECT_EQ(st, ls_stats(0x77));
    }
    EXPECT_EQ(server_.count(), 0u) << "a refused request reached the server";

    // At the limit exactly, both a take and a share request go out whole.
    ls_stats st;
    ASSERT_EQ(ls_brlock_take(client_, kFs, &alice.o, &kRange, 1, &exact, &st), 0) << log_.lines.dump();
    sowner.handle_len = LS_MAX_MSG - 0x68 - 4;
    ASSERT_EQ(ls_sharemode_lock_take(client_, kFs, &sowner, &slock, &st), 0) << log_.lines.dump();
    std::vector<lstest::Request> reqs = server_.requests();
    ASSERT_EQ(reqs.size(), 2u);
    for (const auto& r : reqs) EXPECT_EQ(r.frame.size(), LS_MAX_MSG);
}

TEST_F(LsRequestLayout, DirectModeOpensOneConnectionPerRequestAndLogsIt) {
    Owner alice;
    ls_stats st;
    for (int i = 0; i < 3; i++) ASSERT_EQ(ls_brlock_free(client_, kFs, &alice.o, &kRange, &st), 0);
    std::vector<lstest::Request> reqs = server_.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_NE(reqs[0].conn_id, reqs[1].conn_id);
    EXPECT_NE(reqs[1].conn_id, reqs[2].conn_id);
    EXPECT_EQ(client_->engine.nr_endpoints, 0u) << "a direct connection outlived its call";
    EXPECT_EQ(log_.lines.count("Using direct tarn ls address", 1), 3);
    EXPECT_EQ(log_.lines.count("Creating RPC connection to lock server at 127.0.0.1:", 2), 3);
    EXPECT_EQ(log_.lines.count("Closing RPC connection to lock server at 127.0.0.1:", 2), 3);
    EXPECT_EQ(log_.lines.count("Unlock response: stat 0", 3), 3);
}

// Without a hook the library's lines go to the runtime log, hook levels
// 0, 1, 2, 3, 4 becoming runtime levels 0, 1, 2, 4, 7.
TEST_F(LsRequestLayout, WithoutAHookLinesGoToTheRuntimeLogAtMappedLevels) {
    ls_client_custom_log_fini();
    clienttest::LogCapture runtime;
    __kiv_log_level = 7;
    kiv_log_set_hook(clienttest::LogCapture::hook, &runtime);
    Owner alice;
    ls_stats st;
    server_.answer(lstest::status_reply(0, 31));
    EXPECT_EQ(ls_brlock_free(client_, kFs, &alice.o, &kRange, &st), -1);
    server_.answer(lstest::status_reply(0));
    EXPECT_EQ(ls_brlock_free(client_, kFs, &alice.o, &kRange, &st), 0);
    kiv_log_set_hook(nullptr, nullptr);
    __kiv_log_level = -1;
    const struct {
        const char* text;
        int level;
    } lines[] = {
        {"Failed to send unlock request", 0},
        {"Using direct tarn ls address", 1},
        {"Creating RPC connection to lock server at", 2},
        {"Unlock response: stat 0", 4},
    };
    for (const auto& l : lines) EXPECT_TRUE(runtime.has(l.text, l.level)) << l.text << "\n" << runtime.dump();
    EXPECT_EQ(log_.lines.count("Unlock response"), 0) << "the hook was removed";
    const int mapped[] = {0, 1, 2, 4, 7};
    for (int level = 0; level <= 4; level++) EXPECT_EQ(ls_log_runtime_level(level), mapped[level]);
}

}  // namespace

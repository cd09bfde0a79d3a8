// The bytes of every request the client builds, against frames written at
// literal offsets; the requests it refuses to send; direct mode and the
// runtime log levels without a hook.
#include <functional>

#include "ls_test_env.h"

namespace {

using lstest::Bytes;

constexpr uint64_t kFs = 0xABCD0001;
const ls_brlock_range kRange = {0xF1F2F3F4F5F6F7F8ull, 100, 200, LS_LOCK_WRITE, LS_FLAVOUR_POSIX};

ls_lock_owner alice() {
    ls_lock_owner o{};
    kiv_parse_netaddr("10.1.2.3:445", &o.addr);
    o.caller = "alice"; // N = 6
    o.caller_id = 7;
    o.owner_id = 0x1122334455667788ull;
    return o;
}

// Header and byte-range prefix of test, cancel, free and both takes.
Bytes br_frame(uint32_t type, size_t len, uint32_t name_off, const ls_lock_owner& o) {
    Bytes f(len);
    f.u32(0x00, uint32_t(len)).u32(0x04, type).u64(0x18, 2).u32(0x20, 6).u32(0x24, name_off).raw(0x28, &o.addr, 24);
    f.u64(0x40, kFs).u64(0x48, kRange.fh).u64(0x50, o.owner_id).u64(0x58, kRange.start).u64(0x60, kRange.len);
    return f.u32(0x68, kRange.type).u32(0x6C, kRange.flavour).str(name_off, o.caller);
}

// A take with items of the given sizes: tags at `tags`, name, then the bytes.
Bytes take_frame(uint32_t type, size_t tags, const ls_lock_owner& o, const std::vector<ls_opaque_item>& items) {
    size_t data = 0;
    for (const auto& it : items) data += it.size;
    const size_t name_off = tags + 8 * items.size();
    Bytes f = br_frame(type, name_off + 6 + data, uint32_t(name_off), o);
    size_t at = name_off + 6;
    for (size_t i = 0; i < items.size(); at += items[i].size, i++)
        f.u32(tags + 8 * i, uint32_t(items[i].size)).u32(tags + 8 * i + 4, uint32_t(at)).raw(at, items[i].data, items[i].size);
    return f;
}

class LsRequests : public lstest::ClientFixture {
   protected:
    void SetUp() override {
        ClientFixture::SetUp();
        make_client(true);
    }
};

TEST_F(LsRequests, EveryRequestMatchesItsLayout) {
    const ls_lock_owner o = alice();
    std::vector<uint8_t> big(8184, 0x3C), five = {1, 2, 3, 4, 5};
    const std::vector<ls_opaque_item> none, one = {{big.size(), big.data()}},
                                            three = {{3, five.data()}, {0, nullptr}, {5, five.data()}};
    kiv_netaddr waiter;
    kiv_parse_netaddr("192.168.7.9:4000", &waiter);
    ls_share_owner so{};
    so.addr = o.addr;
    so.caller = "bob";
    so.handle_len = 5;
    so.handle_data = five.data();
    const ls_share_lock sl = {0x5151, LS_READ, LS_READ | LS_WRITE};
    const ls_ctrl_cookie cookie = {7, const_cast<char*>("cookie!")}, empty = {0, const_cast<char*>("x")};
    const ls_ctrl_search_filter filter = {LS_CTRL_FILTER_FH, 0x99887766};
    auto share = [&](uint32_t type) {
        return Bytes(0x71).u32(0, 0x71).u32(4, type).u64(0x18, 2).u32(0x20, 4).u32(0x24, 0x68).raw(0x28, &so.addr, 24)
            .u64(0x48, sl.fh).u32(0x50, 5).u32(0x54, 0x6C).u32(0x58, sl.mode).u32(0x5C, sl.access).str(0x68, "bob")
            .raw(0x6C, five.data(), 5);
    };
    auto search = [&](size_t n) {
        Bytes f = Bytes(0x40 + n).u32(0, uint32_t(0x40 + n)).u32(4, 0x2064).u64(0x18, 2).u32(0x20, 1);
        f.u64(0x28, filter.fh).u32(0x30, 2).u32(0x34, 25);
        return n ? f.u32(0x38, uint32_t(n)).u32(0x3C, 0x40).raw(0x40, cookie.data, n) : f;
    };
    auto cb = [](ls_ctrl_search_result*, int) {};
    ls_stats st;
    lock_test_res res{};
    const struct {
        const char* what;
        std::function<int()> call;
        Bytes want;
    } cases[] = {
        {"test", [&] { return ls_brlock_test(client_, kFs, &o, &kRange, &res, nullptr, nullptr); },
         br_frame(0x2004, 0x7E, 0x78, o)},
        {"cancel", [&] { return ls_blocking_brlock_cancel(client_, kFs, &o, &kRange, &st); }, br_frame(0x2008, 0x7E, 0x78, o)},
        {"free", [&] { return ls_brlock_free(client_, kFs, &o, &kRange, &st); }, br_frame(0x200A, 0x7E, 0x78, o)},
        {"take without items: 0x78 + N, name at 0x78", [&] { return ls_brlock_take(client_, kFs, &o, &kRange, 0, nullptr, &st); },
         br_frame(0x2006, 0x7E, 0x78, o).u32(0x70, 7)},
        {"take, one 8184-byte item: tag (8184, 0x80 + N)",
         [&] { return ls_brlock_take(client_, kFs, &o, &kRange, 1, one.data(), &st); },
         take_frame(0x2006, 0x78, o, one).u32(0x70, 7).u8(0x74, 1).u32(0x78, 8184).u32(0x7C, 0x86)},
        {"take, three items", [&] { return ls_brlock_take(client_, kFs, &o, &kRange, 3, three.data(), &st); },
         take_frame(0x2006, 0x78, o, three).u32(0x70, 7).u8(0x74, 3)},
        {"blocking take", [&] { return ls_blocking_brlock_take(client_, kFs, &waiter, &o, &kRange, 3, three.data(), &st); },
         take_frame(0x2014, 0x90, o, three).raw(0x70, &waiter, 24).u32(0x88, 7).u8(0x8C, 3)},
        {"share take", [&] { return ls_sharemode_lock_take(client_, kFs, &so, &sl, &st); }, share(0x200E)},
        {"share free", [&] { return ls_sharemode_lock_free(client_, kFs, &so, &sl, &st); }, share(0x2010)},
        {"search", [&] { return ls_ctrl_search_win_brlocks(client_, kFs, &filter, 25, nullptr, cb); }, search(0)},
        {"search, empty cookie", [&] { return ls_ctrl_search_win_brlocks(client_, kFs, &filter, 25, &empty, cb); }, search(0)},
        {"search, cookie", [&] { return ls_ctrl_search_win_brlocks(client_, kFs, &filter, 25, &cookie, cb); }, search(7)},
        {"remove", [&] { return ls_ctrl_remove_brlock(client_, kFs, 0xA0B0C0D0, 0x0102030405060708ull, 2, &st); },
         Bytes(0x38).u32(0, 0x38).u32(4, 0x2066).u64(0x18, 2).u32(0x20, 0xA0B0C0D0).u64(0x28, 0x0102030405060708ull).u32(0x30, 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server_.clear();
        ASSERT_EQ(c.call(), 0) << log_.lines.dump();
        std::vector<lstest::Request> reqs = server_.requests();
        ASSERT_EQ(reqs.size(), 1u);
        std::vector<uint8_t> got = reqs[0].frame;
        EXPECT_NE(ls_wire_get_u64(got.data(), 0x10), 0u) << "no transaction id";
        std::fill(got.begin() + 8, got.begin() + 24, 0);
        ASSERT_EQ(got.size(), c.want.b.size());
        for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(got[i], c.want.b[i]) << "at offset 0x" << std::hex << i;
    }
}

TEST_F(LsRequests, RequestsThatDoNotFitTheWireAreRefusedBeforeSending) {
    ls_lock_owner o = alice(), nameless = alice();
    nameless.caller = nullptr;
    std::vector<uint8_t> fill(LS_MAX_MSG);
    std::vector<ls_opaque_item> many(256, ls_opaque_item{1, fill.data()});
    const size_t room = LS_MAX_MSG - (0x78 + 8 + 6); // one item filling a take exactly
    const ls_opaque_item exact{room, fill.data()}, over{room + 1, fill.data()}, huge{1ull << 32, fill.data()};
    ls_share_owner so{};
    so.caller = "bob";
    so.handle_data = fill.data();
    const ls_share_lock sl = {1, LS_READ, LS_READ};
    const ls_ctrl_cookie big_cookie{LS_MAX_MSG - 0x40 + 1, fill.data()};
    const ls_ctrl_search_filter filter{};
    const kiv_netaddr waiter{};
    const struct {
        const char* what;
        std::function<int(ls_stats*)> call;
    } refused[] = {
        {"negative item count", [&](ls_stats* s) { return ls_brlock_take(client_, kFs, &o, &kRange, -1, many.data(), s); }},
        {"256 items", [&](ls_stats* s) { return ls_brlock_take(client_, kFs, &o, &kRange, 256, many.data(), s); }},
        {"256 items, blocking",
         [&](ls_stats* s) { return ls_blocking_brlock_take(client_, kFs, &waiter, &o, &kRange, 256, many.data(), s); }},
        {"item over 32 bits", [&](ls_stats* s) { return ls_brlock_take(client_, kFs, &o, &kRange, 1, &huge, s); }},
        {"a byte over the largest message", [&](ls_stats* s) { return ls_brlock_take(client_, kFs, &o, &kRange, 1, &over, s); }},
        {"items without array", [&](ls_stats* s) { return ls_brlock_take(client_, kFs, &o, &kRange, 2, nullptr, s); }},
        {"share handle over 32 bits",
         [&](ls_stats* s) {
             so.handle_len = (1ull << 32) + 4;
             return ls_sharemode_lock_take(client_, kFs, &so, &sl, s);
         }},
        {"share over the largest message",
         [&](ls_stats* s) {
             so.handle_len = LS_MAX_MSG - 0x6C + 1;
             return ls_sharemode_lock_free(client_, kFs, &so, &sl, s);
         }},
        {"search cookie over the largest message",
         [&](ls_stats*) { return ls_ctrl_search_win_brlocks(client_, kFs, &filter, 1, &big_cookie, [](ls_ctrl_search_result*, int) {}); }},
        {"no caller name", [&](ls_stats* s) { return ls_brlock_free(client_, kFs, &nameless, &kRange, s); }},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.what);
        ls_stats st = ls_stats(0x77);
        EXPECT_EQ(c.call(&st), -1);
        EXPECT_EQ(st, ls_stats(0x77));
    }
    EXPECT_EQ(server_.count(), 0u) << "a refused request reached the server";

    // At the limit exactly, a take and a share request go out whole.
    ls_stats st;
    ASSERT_EQ(ls_brlock_take(client_, kFs, &o, &kRange, 1, &exact, &st), 0) << log_.lines.dump();
    so.handle_len = LS_MAX_MSG - 0x6C;
    ASSERT_EQ(ls_sharemode_lock_take(client_, kFs, &so, &sl, &st), 0) << log_.lines.dump();
    for (const auto& r : server_.requests()) EXPECT_EQ(r.frame.size(), LS_MAX_MSG);
    EXPECT_EQ(server_.count(), 2u);
}

// Direct mode opens and closes one connection per request. Without a hook
// the lines go to the runtime log, hook levels 0-4 as 0, 1, 2, 4, 7.
TEST_F(LsRequests, DirectModeAndTheRuntimeLog) {
    const ls_lock_owner o = alice();
    ls_stats st;
    for (int i = 0; i < 2; i++) ASSERT_EQ(ls_brlock_free(client_, kFs, &o, &kRange, &st), 0);
    std::vector<lstest::Request> reqs = server_.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_NE(reqs[0].conn_id, reqs[1].conn_id);
    EXPECT_EQ(client_->engine.nr_endpoints, 0u) << "a direct connection outlived its call";
    EXPECT_EQ(log_.lines.count("Using direct tarn ls address", 1), 2);
    EXPECT_EQ(log_.lines.count("Closing RPC connection to lock server at 127.0.0.1:", 2), 2);

    ls_client_custom_log_fini();
    clienttest::LogCapture runtime;
    __kiv_log_level = 7;
    kiv_log_set_hook(clienttest::LogCapture::hook, &runtime);
    server_.answer(lstest::status_reply(0, 31));
    EXPECT_EQ(ls_brlock_free(client_, kFs, &o, &kRange, &st), -1);
    server_.answer(lstest::status_reply(0));
    EXPECT_EQ(ls_brlock_free(client_, kFs, &o, &kRange, &st), 0);
    kiv_log_set_hook(nullptr, nullptr);
    __kiv_log_level = -1;
    EXPECT_TRUE(runtime.has("Failed to send unlock request", 0)) << runtime.dump();
    EXPECT_TRUE(runtime.has("Using direct tarn ls address", 1));
    EXPECT_TRUE(runtime.has("Creating RPC connection to lock server at", 2));
    EXPECT_TRUE(runtime.has("Unlock response: stat 0", 4));
    EXPECT_EQ(ls_log_runtime_level(4), 7);
    EXPECT_EQ(log_.lines.count("Unlock response"), 2) << "lines reached the removed hook";
}

}  // namespace

// Every operation through the real client against the simulated cluster's
// lock server: the server records what the client sent (checked through the
// cluster's lock tables), and the client decodes what the server answers.
// The lock rules themselves are the server's tests' business.
#include <json-c/json.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "localcluster/cluster.h"
#include "ls_test_env.h"

namespace {

constexpr uint64_t kFs = 0x1001;

// The lock server's tables of file system "tarn" as parsed JSON.
struct Tables {
    json_object* root = nullptr;
    explicit Tables(localcluster::Cluster* c) {
        const std::string text = c->control("locks tarn");
        root = json_tokener_parse(text.c_str());
        EXPECT_NE(root, nullptr) << text;
    }
    ~Tables() { json_object_put(root); }
    Tables(const Tables&) = delete;
    Tables& operator=(const Tables&) = delete;

    // The entries of `list` ("held", "pending", "share") on `fh`.
    std::vector<json_object*> on(const char* list, uint64_t fh) {
        std::vector<json_object*> out;
        json_object* arr = nullptr;
        if (root == nullptr || !json_object_object_get_ex(root, list, &arr)) return out;
        for (size_t i = 0; i < json_object_array_length(arr); i++) {
            json_object* e = json_object_array_get_idx(arr, i);
            if (uint64_t(i64(e, "fh")) == fh) out.push_back(e);
        }
        return out;
    }
    static int64_t i64(json_object* o, const char* key) {
        json_object* v = nullptr;
        return json_object_object_get_ex(o, key, &v) ? json_object_get_int64(v) : -1;
    }
    static std::string str(json_object* o, const char* key) {
        json_object* v = nullptr;
        return json_object_object_get_ex(o, key, &v) ? json_object_get_string(v) : "";
    }
};

struct Owner {
    ls_lock_owner o{};
    Owner(const char* caller, uint32_t caller_id, uint64_t owner_id, const char* addr) {
        kiv_parse_netaddr(addr, &o.addr);
        o.caller = caller;
        o.caller_id = caller_id;
        o.owner_id = owner_id;
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = uint8_t(seed * 31 + i * 13);
    return v;
}

// The pages a search callback saw, copied.
struct Page {
    int error = 1;
    uint32_t has_more = 0;
    std::vector<ls_ctrl_win_lock_info> locks;
    std::vector<std::string> callers;
    std::vector<uint8_t> cookie;
};
Page g_page;

void page_cb(ls_ctrl_search_result* r, int error) {
    g_page = Page{};
    g_page.error = error;
    if (r == nullptr) return;
    g_page.has_more = r->has_more;
    for (uint32_t i = 0; i < r->returned_count; i++) {
        g_page.locks.push_back(r->locks[i]);
        g_page.callers.push_back(r->locks[i].owner_info.caller);
    }
    const auto* c = static_cast<const uint8_t*>(r->cookie.data);
    g_page.cookie.assign(c, c + r->cookie.size);
    ls_client_search_result_free(r);
}

class LsRoundTrip : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        localcluster::ClusterConfig cfg;
        cfg.fs.push_back({"tarn", kFs});
        cfg.lock_servers = true;
        cfg.log_level = 0;
        cluster_ = localcluster::Cluster::start(cfg).release();
    }
    static void TearDownTestSuite() {
        delete cluster_;
        cluster_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(cluster_, nullptr);
        lstest::g_hook_log = &log_;
        ls_client_custom_log_init(lstest::capture_hook);
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ls_client_cfg cfg{};
        cfg.cluster = "local";
        cfg.local_id = 12345;
        ASSERT_EQ(ls_client_create(&cfg, &process_, &client_), 0);
    }
    void TearDown() override {
        if (client_ != nullptr) ls_client_destroy(client_);
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
        ls_client_custom_log_fini();
        lstest::g_hook_log = nullptr;
    }

    static localcluster::Cluster* cluster_;
    lstest::HookLog log_;
    kiv_process process_{};
    ls_client* client_ = nullptr;
};

localcluster::Cluster* LsRoundTrip::cluster_ = nullptr;

TEST_F(LsRoundTrip, ByteRangeLocksAndTheControlInterface) {
    Owner a("rt-alpha", 11, 0xA1, "127.0.0.1:1000"), b("rt-beta", 12, 0xB2, "127.0.0.2:2000");
    std::vector<std::vector<uint8_t>> data = {pattern(5, 1), {}, pattern(100, 2)};
    std::vector<ls_opaque_item> items;
    for (auto& d : data) items.push_back({d.size(), d.data()});
    const uint64_t fh = 0x7001;
    const ls_brlock_range held{fh, 100, 50, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS};
    ls_stats st = ls_stats(0x55);

    ASSERT_EQ(ls_brlock_take(client_, kFs, &a.o, &held, 3, items.data(), &st), 0) << log_.lines.dump();
    EXPECT_EQ(st, ls_granted);
    {
        Tables t(cluster_);
        std::vector<json_object*> h = t.on("held", fh);
        ASSERT_EQ(h.size(), 1u);
        EXPECT_EQ(Tables::str(h[0], "caller"), "rt-alpha");
        EXPECT_EQ(Tables::i64(h[0], "caller_id"), 11);
        EXPECT_EQ(Tables::i64(h[0], "owner_id"), 0xA1);
        EXPECT_EQ(Tables::i64(h[0], "fs_id"), int64_t(kFs));
        EXPECT_EQ(Tables::i64(h[0], "start"), 100);
        EXPECT_EQ(Tables::i64(h[0], "len"), 50);
        EXPECT_EQ(Tables::str(h[0], "flavour"), "windows");
        EXPECT_EQ(Tables::str(h[0], "type"), "exclusive");
        EXPECT_EQ(Tables::i64(h[0], "items"), 3);
        EXPECT_EQ(Tables::i64(h[0], "item_bytes"), 5 + 100);
    }

    // The holder comes back with its opaque items byte for byte.
    lock_test_res res{};
    uint32_t count = 0;
    ls_opaque_item* got = nullptr;
    const ls_brlock_range probe{fh, 120, 1, LS_LOCK_READ, LS_FLAVOUR_WINDOWS};
    ASSERT_EQ(ls_brlock_test(client_, kFs, &b.o, &probe, &res, &count, &got), 0) << log_.lines.dump();
    EXPECT_FALSE(res.granted);
    EXPECT_EQ(res.owner.owner_id, 0xA1u);
    EXPECT_EQ(res.range.start, 100u);
    EXPECT_EQ(res.range.len, 50u);
    EXPECT_EQ(res.range.type, LS_LOCK_WRITE);
    ASSERT_EQ(count, 3u);
    for (uint32_t i = 0; i < count; i++) {
        ASSERT_EQ(got[i].size, data[i].size()) << i;
        if (got[i].size) {
            EXPECT_EQ(memcmp(got[i].data, data[i].data(), data[i].size()), 0) << i;
        }
        __kiv_free(got[i].data);
    }
    __kiv_free(got);
    lock_test_res free_res{};
    const ls_brlock_range elsewhere{fh, 200, 10, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS};
    ASSERT_EQ(ls_brlock_test(client_, kFs, &b.o, &elsewhere, &free_res, &count, &got), 0);
    EXPECT_TRUE(free_res.granted);
    ASSERT_EQ(ls_brlock_take(client_, kFs, &b.o, &probe, 0, nullptr, &st), 0);
    EXPECT_EQ(st, ls_denied);

    // The control search reports the lock as the client sent it, and its
    // references remove it.
    const ls_ctrl_search_filter filter{LS_CTRL_FILTER_FH, fh};
    ASSERT_EQ(ls_ctrl_search_win_brlocks(client_, kFs, &filter, 10, nullptr, page_cb), 0) << log_.lines.dump();
    ASSERT_EQ(g_page.error, 0);
    ASSERT_EQ(g_page.locks.size(), 1u);
    const ls_ctrl_win_lock_info& l = g_page.locks[0];
    EXPECT_EQ(g_page.callers[0], "rt-alpha");
    EXPECT_EQ(kiv_netaddr_cmp(&l.owner_info.addr, &a.o.addr), 0);
    EXPECT_EQ(l.owner_info.owner_id, 0xA1u);
    EXPECT_EQ(l.owner_info.caller_id, 11u);
    EXPECT_EQ(l.lock_info.fh, fh);
    EXPECT_EQ(l.lock_info.start, 100u);
    EXPECT_EQ(l.lock_info.len, 50u);
    EXPECT_EQ(l.lock_info.type, LS_LOCK_WRITE);
    EXPECT_EQ(l.lock_info.flavour, LS_FLAVOUR_WINDOWS);
    ASSERT_EQ(ls_ctrl_remove_brlock(client_, kFs, l.lock_ref32, l.lock_ref64, LS_FLAVOUR_WINDOWS, &st), 0);
    EXPECT_EQ(st, ls_granted);
    EXPECT_TRUE(Tables(cluster_).on("held", fh).empty());

    // Blocking take queued behind a POSIX holder, cancelled, then the holder
    // frees twice.
    const uint64_t fh2 = 0x7002;
    const ls_brlock_range posix{fh2, 0, 10, LS_LOCK_WRITE, LS_FLAVOUR_POSIX};
    kiv_netaddr waiter;
    kiv_parse_netaddr("127.0.0.2:2001", &waiter);
    ASSERT_EQ(ls_brlock_take(client_, kFs, &a.o, &posix, 0, nullptr, &st), 0);
    EXPECT_EQ(st, ls_granted);
    ASSERT_EQ(ls_blocking_brlock_take(client_, kFs, &waiter, &b.o, &posix, 1, items.data(), &st), 0);
    EXPECT_EQ(st, ls_blocked);
    {
        Tables t(cluster_);
        std::vector<json_object*> p = t.on("pending", fh2);
        ASSERT_EQ(p.size(), 1u);
        EXPECT_EQ(Tables::str(p[0], "caller"), "rt-beta");
        EXPECT_EQ(Tables::i64(p[0], "caller_id"), 12);
        EXPECT_EQ(Tables::i64(p[0], "items"), 1);
    }
    ASSERT_EQ(ls_blocking_brlock_cancel(client_, kFs, &b.o, &posix, &st), 0);
    EXPECT_EQ(st, ls_granted);
    EXPECT_TRUE(Tables(cluster_).on("pending", fh2).empty());
    ASSERT_EQ(ls_brlock_free(client_, kFs, &a.o, &posix, &st), 0);
    EXPECT_EQ(st, ls_granted);
    ASSERT_EQ(ls_brlock_free(client_, kFs, &a.o, &posix, &st), 0);
    EXPECT_EQ(st, ls_not_locked);
    EXPECT_EQ(ls_null_req(), 0);
}

TEST_F(LsRoundTrip, ShareModesAndFreeAll) {
    const uint64_t fh = 0x7101;
    std::vector<uint8_t> handle = pattern(16, 7);
    ls_share_owner so{};
    kiv_parse_netaddr("127.0.0.3:3000", &so.addr);
    so.caller = "rt-gamma";
    so.handle_len = handle.size();
    so.handle_data = handle.data();
    const ls_share_lock lock{fh, LS_WRITE, LS_READ | LS_WRITE};
    ls_stats st = ls_stats(0x55);
    ASSERT_EQ(ls_sharemode_lock_take(client_, kFs, &so, &lock, &st), 0) << log_.lines.dump();
    EXPECT_EQ(st, ls_granted);
    {
        Tables t(cluster_);
        std::vector<json_object*> s = t.on("share", fh);
        ASSERT_EQ(s.size(), 1u);
        EXPECT_EQ(Tables::str(s[0], "caller"), "rt-gamma");
        EXPECT_EQ(Tables::i64(s[0], "handle_len"), 16);
        std::string hex;
        for (uint8_t c : handle) {
            char two[3];
            snprintf(two, sizeof two, "%02x", c);
            hex += two;
        }
        EXPECT_EQ(Tables::str(s[0], "handle"), hex);
        EXPECT_EQ(Tables::i64(s[0], "mode"), LS_WRITE);
        EXPECT_EQ(Tables::i64(s[0], "access"), LS_READ | LS_WRITE);
    }
    ASSERT_EQ(ls_sharemode_lock_free(client_, kFs, &so, &lock, &st), 0);
    EXPECT_EQ(st, ls_granted);
    EXPECT_TRUE(Tables(cluster_).on("share", fh).empty());

    // Free-all by caller name: byte-range locks of both flavours and a share.
    Owner g("rt-gamma", 21, 0xC1, "127.0.0.3:3000");
    const ls_brlock_range w{fh, 0, 1, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS};
    const ls_brlock_range p{fh, 10, 1, LS_LOCK_READ, LS_FLAVOUR_POSIX};
    ASSERT_EQ(ls_brlock_take(client_, kFs, &g.o, &w, 0, nullptr, &st), 0);
    ASSERT_EQ(ls_brlock_take(client_, kFs, &g.o, &p, 0, nullptr, &st), 0);
    ASSERT_EQ(ls_sharemode_lock_take(client_, kFs, &so, &lock, &st), 0);
    {
        Tables t(cluster_);
        EXPECT_EQ(t.on("held", fh).size(), 2u);
        EXPECT_EQ(t.on("share", fh).size(), 1u);
    }
    EXPECT_EQ(ls_free_all_locks(client_, "rt-gamma", 21, nullptr), 0) << log_.lines.dump();
    EXPECT_EQ(log_.lines.count("Free all response for fs_id 1001", 3), 1);
    Tables t(cluster_);
    EXPECT_TRUE(t.on("held", fh).empty());
    EXPECT_TRUE(t.on("share", fh).empty());
}

TEST_F(LsRoundTrip, WireLimitsAndSearchCookies) {
    // 255 one-byte items, the most a take can carry, come back in order.
    const uint64_t fh = 0x7201;
    std::vector<uint8_t> bytes(255);
    std::vector<ls_opaque_item> items(255);
    for (size_t i = 0; i < 255; i++) {
        bytes[i] = uint8_t(i);
        items[i] = {1, &bytes[i]};
    }
    Owner a("rt-delta", 31, 0xD1, "127.0.0.4:4000"), b("rt-eps", 32, 0xE1, "127.0.0.4:4001");
    const ls_brlock_range r{fh, 0, 1, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS};
    ls_stats st = ls_stats(0x55);
    ASSERT_EQ(ls_brlock_take(client_, kFs, &a.o, &r, 255, items.data(), &st), 0) << log_.lines.dump();
    ASSERT_EQ(st, ls_granted);
    lock_test_res res{};
    uint32_t count = 0;
    ls_opaque_item* got = nullptr;
    ASSERT_EQ(ls_brlock_test(client_, kFs, &b.o, &r, &res, &count, &got), 0);
    ASSERT_EQ(count, 255u);
    for (uint32_t i = 0; i < count; i++) {
        EXPECT_EQ(got[i].size, 1u);
        EXPECT_EQ(*static_cast<uint8_t*>(got[i].data), uint8_t(i));
        __kiv_free(got[i].data);
    }
    __kiv_free(got);

    // One item of 8184 bytes: with its tag, the most opaque data a lock holds.
    std::vector<uint8_t> big = pattern(8184, 9);
    const ls_opaque_item big_item{big.size(), big.data()};
    const ls_brlock_range rb{fh, 100, 1, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS};
    ASSERT_EQ(ls_brlock_take(client_, kFs, &a.o, &rb, 1, &big_item, &st), 0) << log_.lines.dump();
    ASSERT_EQ(st, ls_granted);
    ASSERT_EQ(ls_brlock_test(client_, kFs, &b.o, &rb, &res, &count, &got), 0);
    ASSERT_EQ(count, 1u);
    ASSERT_EQ(got[0].size, big.size());
    EXPECT_EQ(memcmp(got[0].data, big.data(), big.size()), 0);
    __kiv_free(got[0].data);
    __kiv_free(got);

    // Seven locks read three at a time: the cookie the client copied out of
    // one page (its page already released) fetches the next.
    const uint64_t fh2 = 0x7202;
    for (uint64_t i = 0; i < 7; i++) {
        const ls_brlock_range ri{fh2, i * 10, 5, LS_LOCK_READ, LS_FLAVOUR_WINDOWS};
        ASSERT_EQ(ls_brlock_take(client_, kFs, &a.o, &ri, 0, nullptr, &st), 0);
    }
    const ls_ctrl_search_filter filter{LS_CTRL_FILTER_FH, fh2};
    std::vector<uint64_t> starts;
    std::vector<uint8_t> cookie;
    for (int page = 0; page < 5; page++) {
        const ls_ctrl_cookie c{cookie.size(), cookie.data()};
        ASSERT_EQ(ls_ctrl_search_win_brlocks(client_, kFs, &filter, 3, page ? &c : nullptr, page_cb), 0);
        ASSERT_EQ(g_page.error, 0);
        for (const auto& l : g_page.locks) starts.push_back(l.lock_info.start);
        if (!g_page.has_more) break;
        ASSERT_FALSE(g_page.cookie.empty()) << "more to come but no cookie";
        cookie = g_page.cookie;
    }
    std::sort(starts.begin(), starts.end());
    EXPECT_EQ(starts, (std::vector<uint64_t>{0, 10, 20, 30, 40, 50, 60}));
    EXPECT_EQ(ls_free_all_locks(client_, "rt-delta", 31, nullptr), 0);
}

}  // namespace

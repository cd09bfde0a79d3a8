// Every operation through the real client against the simulated cluster's
// lock server: what the client sent is checked in the server's lock tables,
// and what the server answers is decoded. The lock rules themselves belong
// to the server's tests and the lock suites.
#include <json-c/json.h>

#include <memory>

#include "localcluster/cluster.h"
#include "ls_test_env.h"

namespace {

constexpr uint64_t kFs = 0x1001;

// One entry of list `list` ("held", "pending", "share") of the lock server's
// tables on `fh`, as "key=value" pairs of `keys`; "" when there is none.
std::string table_entry(localcluster::Cluster* c, const char* list, uint64_t fh, std::vector<const char*> keys) {
    json_object* root = json_tokener_parse(c->control("locks tarn").c_str());
    json_object* arr = nullptr;
    std::string out;
    if (root != nullptr && json_object_object_get_ex(root, list, &arr)) {
        for (size_t i = 0; i < json_object_array_length(arr); i++) {
            json_object *e = json_object_array_get_idx(arr, i), *v = nullptr;
            if (!json_object_object_get_ex(e, "fh", &v) || uint64_t(json_object_get_int64(v)) != fh) continue;
            for (const char* k : keys)
                out += std::string(k) + "=" + (json_object_object_get_ex(e, k, &v) ? json_object_get_string(v) : "?") + " ";
            break;
        }
    }
    json_object_put(root);
    return out;
}

ls_lock_owner owner(const char* caller, uint32_t caller_id, uint64_t owner_id, const char* addr) {
    ls_lock_owner o{};
    kiv_parse_netaddr(addr, &o.addr);
    o.caller = caller;
    o.caller_id = caller_id;
    o.owner_id = owner_id;
    return o;
}

ls_ctrl_win_lock_info g_found;
std::string g_found_caller;
int g_found_count = -1;

void search_cb(ls_ctrl_search_result* r, int error) {
    g_found_count = error != 0 || r == nullptr ? -1 : int(r->returned_count);
    if (g_found_count == 1) {
        g_found = r->locks[0];
        g_found_caller = r->locks[0].owner_info.caller;
    }
    ls_client_search_result_free(r);
}

class LsRoundTrip : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        localcluster::ClusterConfig cfg;
        cfg.fs.push_back({"tarn", kFs});
        cfg.log_level = 0;
        cluster_ = localcluster::Cluster::start(cfg).release();
    }
    static void TearDownTestSuite() { delete cluster_; }
    void SetUp() override {
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
        ls_client_destroy(client_);
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

TEST_F(LsRoundTrip, EveryOperation) {
    const ls_lock_owner a = owner("rt-alpha", 11, 0xA1, "127.0.0.1:1000"), b = owner("rt-beta", 12, 0xB2, "127.0.0.2:2000");
    std::vector<uint8_t> bytes(105);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = uint8_t(i * 7);
    const std::vector<ls_opaque_item> items = {{5, bytes.data()}, {0, nullptr}, {100, bytes.data() + 5}};
    const uint64_t fh = 0x7001;
    const ls_brlock_range held{fh, 100, 50, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS}, probe{fh, 120, 1, LS_LOCK_READ, LS_FLAVOUR_WINDOWS};
    ls_stats st = ls_stats(0x55);
    ASSERT_EQ(ls_brlock_take(client_, kFs, &a, &held, 3, items.data(), &st), 0) << log_.lines.dump();
    EXPECT_EQ(st, ls_granted);
    EXPECT_EQ(table_entry(cluster_, "held", fh, {"caller", "caller_id", "owner_id", "fs_id", "start", "len", "flavour", "type",
                                                 "items", "item_bytes"}),
              "caller=rt-alpha caller_id=11 owner_id=161 fs_id=4097 start=100 len=50 flavour=windows type=exclusive "
              "items=3 item_bytes=105 ");
    ASSERT_EQ(ls_brlock_take(client_, kFs, &b, &probe, 0, nullptr, &st), 0);
    EXPECT_EQ(st, ls_denied);

    // The holder and its items come back byte for byte.
    lock_test_res res{};
    uint32_t count = 0;
    ls_opaque_item* got = nullptr;
    ASSERT_EQ(ls_brlock_test(client_, kFs, &b, &probe, &res, &count, &got), 0) << log_.lines.dump();
    EXPECT_FALSE(res.granted);
    EXPECT_EQ(res.owner.owner_id, 0xA1u);
    EXPECT_EQ(res.range.start, 100u);
    EXPECT_EQ(res.range.len, 50u);
    EXPECT_EQ(res.range.type, LS_LOCK_WRITE);
    ASSERT_EQ(count, 3u);
    for (uint32_t i = 0; i < count; i++) {
        ASSERT_EQ(got[i].size, items[i].size);
        if (got[i].size != 0) {
            EXPECT_EQ(memcmp(got[i].data, items[i].data, got[i].size), 0) << i;
        }
        __kiv_free(got[i].data);
    }
    __kiv_free(got);

    // The control search reports the lock as sent, and its references remove it.
    const ls_ctrl_search_filter filter{LS_CTRL_FILTER_FH, fh};
    ASSERT_EQ(ls_ctrl_search_win_brlocks(client_, kFs, &filter, 10, nullptr, search_cb), 0) << log_.lines.dump();
    ASSERT_EQ(g_found_count, 1);
    EXPECT_EQ(g_found_caller, "rt-alpha");
    EXPECT_EQ(kiv_netaddr_cmp(&g_found.owner_info.addr, &a.addr), 0);
    EXPECT_EQ(g_found.owner_info.owner_id, 0xA1u);
    EXPECT_EQ(g_found.owner_info.caller_id, 11u);
    EXPECT_EQ(g_found.lock_info.start, 100u);
    ASSERT_EQ(ls_ctrl_remove_brlock(client_, kFs, g_found.lock_ref32, g_found.lock_ref64, LS_FLAVOUR_WINDOWS, &st), 0);
    EXPECT_EQ(st, ls_granted);
    EXPECT_EQ(table_entry(cluster_, "held", fh, {"caller"}), "");

    // A blocking take queued behind a POSIX holder and cancelled; a free.
    const ls_brlock_range posix{fh + 1, 0, 10, LS_LOCK_WRITE, LS_FLAVOUR_POSIX};
    kiv_netaddr waiter;
    kiv_parse_netaddr("127.0.0.2:2001", &waiter);
    ASSERT_EQ(ls_brlock_take(client_, kFs, &a, &posix, 0, nullptr, &st), 0);
    ASSERT_EQ(ls_blocking_brlock_take(client_, kFs, &waiter, &b, &posix, 1, items.data(), &st), 0);
    EXPECT_EQ(st, ls_blocked);
    EXPECT_EQ(table_entry(cluster_, "pending", fh + 1, {"caller", "caller_id", "items"}), "caller=rt-beta caller_id=12 items=1 ");
    ASSERT_EQ(ls_blocking_brlock_cancel(client_, kFs, &b, &posix, &st), 0);
    EXPECT_EQ(st, ls_granted);
    EXPECT_EQ(table_entry(cluster_, "pending", fh + 1, {"caller"}), "");
    ASSERT_EQ(ls_brlock_free(client_, kFs, &b, &posix, &st), 0);
    EXPECT_EQ(st, ls_not_locked);

    // A share lock taken and freed; then free-all by caller name across kinds.
    ls_share_owner so{a.addr, "rt-alpha", 3, "\x01\xAB\xFF"};
    const ls_share_lock sl{fh + 2, LS_WRITE, LS_READ | LS_WRITE};
    ASSERT_EQ(ls_sharemode_lock_take(client_, kFs, &so, &sl, &st), 0);
    EXPECT_EQ(st, ls_granted);
    EXPECT_EQ(table_entry(cluster_, "share", fh + 2, {"caller", "handle", "handle_len", "mode", "access"}),
              "caller=rt-alpha handle=01abff handle_len=3 mode=2 access=3 ");
    ASSERT_EQ(ls_sharemode_lock_free(client_, kFs, &so, &sl, &st), 0);
    EXPECT_EQ(table_entry(cluster_, "share", fh + 2, {"caller"}), "");
    ASSERT_EQ(ls_sharemode_lock_take(client_, kFs, &so, &sl, &st), 0);
    EXPECT_EQ(ls_free_all_locks(client_, "rt-alpha", 11, nullptr), 0);
    EXPECT_EQ(log_.lines.count("Free all response for fs_id 1001", 3), 1);
    EXPECT_EQ(table_entry(cluster_, "share", fh + 2, {"caller"}) + table_entry(cluster_, "held", fh + 1, {"caller"}), "");
    EXPECT_EQ(ls_null_req(), 0);
}

}  // namespace

// The lock-server resolver's record filter (as a table and through a live
// registry of the simulated cluster), the retry window of a call made before
// its file system is known, and free-all over the resolver's list.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "localcluster/cluster.h"
#include "ls_test_env.h"

namespace {

using Clock = std::chrono::steady_clock;
using lstest::MapBuilder;

TEST(LsResolverRecords, OnlyLsRecordsWithAFirstGoodFsidTagAndAnAddressCount) {
    struct Case {
        const char* what;
        std::string name;
        std::vector<std::string> tags;
        std::string addr;
        uint16_t port;
        uint64_t fs_id; // 0: skipped
    };
    const Case cases[] = {
        {"good record", "ls", {"role:x", "fsid:1a2b"}, "10.0.0.5", 7000, 0x1a2b},
        {"name ls2", "ls2", {"fsid:1"}, "10.0.0.5", 7000, 0},
        {"name l", "l", {"fsid:1"}, "10.0.0.5", 7000, 0},
        {"name LS", "LS", {"fsid:1"}, "10.0.0.5", 7000, 0},
        {"first fsid tag does not parse", "ls", {"fsid:zz", "fsid:12"}, "10.0.0.5", 7000, 0},
        {"fsid=12 is no fsid tag", "ls", {"fsid=12"}, "10.0.0.5", 7000, 0},
        {"fsid= skipped, next one counts", "ls", {"fsid=12", "fsid:13"}, "10.0.0.5", 7000, 0x13},
        {"fsidx:5 is no fsid tag", "ls", {"fsidx:5"}, "10.0.0.5", 7000, 0},
        {"no tags", "ls", {}, "10.0.0.5", 7000, 0},
        {"host name", "ls", {"fsid:1"}, "ls.example", 7000, 0},
        {"address with garbage", "ls", {"fsid:1"}, "10.0.0.5x", 7000, 0},
        {"overlong address text", "ls", {"fsid:1"}, std::string(60, '1'), 7000, 0},
        {"IPv6", "ls", {"fsid:ff"}, "[::1]", 7001, 0xff},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MapBuilder b;
        b.add(c.name, c.tags, c.addr, c.port, 0xb7);
        const discov_svc_map* map = b.map();
        ls_server_entry e{};
        e.fs_id = 0x5a5a;
        const int rc = ls_resolver_parse_record(&map->records[0], &e);
        if (c.fs_id == 0) {
            EXPECT_EQ(rc, -EINVAL);
            EXPECT_EQ(e.fs_id, 0x5a5au) << "a skipped record changed the entry";
            continue;
        }
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(e.fs_id, c.fs_id);
        EXPECT_EQ(e.host_id, 0xb7u);
        EXPECT_EQ(e.addr.port, c.port);
    }
    MapBuilder b;
    b.add("ls", {"role:x", "fsid:1a2b"}, "10.0.0.5", 7000);
    ls_server_entry e{};
    ASSERT_EQ(ls_resolver_parse_record(&b.map()->records[0], &e), 0);
    kiv_netaddr want;
    ASSERT_EQ(kiv_parse_netaddr_port("10.0.0.5", "7000", &want), 0);
    EXPECT_EQ(kiv_netaddr_cmp(&e.addr, &want), 0);
}

// ---------------------------------------------------------------- live registry
class LsResolverLive : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        localcluster::ClusterConfig cfg;
        cfg.fs.push_back({"unused", 0x1001});
        cfg.lock_servers = false; // the test puts every "ls" record itself
        cfg.log_level = 0;
        cluster_ = localcluster::Cluster::start(cfg).release();
    }
    static void TearDownTestSuite() {
        delete cluster_;
        cluster_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(cluster_, nullptr);
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ASSERT_EQ(discov_create("local", "tarn/ls", DISCOV_MODE_RPC, &process_, &registry_), 0);
        ASSERT_EQ(ls_resolver_create(&process_, "local", &resolver_), 0);
    }
    void TearDown() override {
        kiv_move_to_coroutine(&process_);
        for (const std::string& id : ids_) discov_co_unregister_svc(registry_, id.c_str(), nullptr);
        kiv_move_from_coroutine();
        if (resolver_) ls_resolver_destroy(resolver_);
        discov_destroy(registry_);
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
    }

    int put(const char* name, std::vector<std::string> tags, const char* addr, uint16_t port) {
        const std::string id = "rec-" + std::to_string(ids_.size());
        ids_.push_back(id);
        std::vector<char*> ptrs;
        for (auto& t : tags) ptrs.push_back(t.data());
        discov_svc svc;
        discov_svc_init(&svc);
        svc.name = const_cast<char*>(name);
        svc.id = const_cast<char*>(id.c_str());
        svc.host_id = 0xc3;
        svc.tags = ptrs.data();
        svc.tag_count = uint32_t(ptrs.size());
        svc.addr = const_cast<char*>(addr);
        svc.port = port;
        kiv_move_to_coroutine(&process_);
        int rc = discov_co_register_svc(registry_, &svc);
        kiv_move_from_coroutine();
        return rc;
    }

    static localcluster::Cluster* cluster_;
    kiv_process process_{};
    discov* registry_ = nullptr;
    ls_resolver* resolver_ = nullptr;
    std::vector<std::string> ids_;
};

localcluster::Cluster* LsResolverLive::cluster_ = nullptr;

TEST_F(LsResolverLive, DecoyRecordsNeverReachTheTable) {
    ASSERT_EQ(put("ls2", {"fsid:11"}, "10.0.0.1", 7000), 0);
    ASSERT_EQ(put("l", {"fsid:12"}, "10.0.0.1", 7000), 0);
    ASSERT_EQ(put("ls", {"fsid:zz", "fsid:13"}, "10.0.0.1", 7000), 0);
    ASSERT_EQ(put("ls", {"fsid=14"}, "10.0.0.1", 7000), 0);
    ASSERT_EQ(put("ls", {"fsid:15"}, "not-an-address", 7000), 0);
    // The good record goes last: once the resolver has it, it has seen every
    // record before it too (each map is a whole snapshot).
    ASSERT_EQ(put("ls", {"role:x", "fsid:1a2b"}, "10.0.0.5", 7000), 0);
    ls_server_entry e{};
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (ls_resolver_find_ls(resolver_, 0x1a2b, &e) != 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(ls_resolver_find_ls(resolver_, 0x1a2b, &e), 0) << "the good record never arrived";
    kiv_netaddr want;
    kiv_parse_netaddr("10.0.0.5:7000", &want);
    EXPECT_EQ(kiv_netaddr_cmp(&e.addr, &want), 0);
    EXPECT_EQ(e.host_id, 0xc3u);
    EXPECT_EQ(e.fs_id, 0x1a2bu);

    ls_list list;
    ASSERT_EQ(ls_resolver_get_ls_list(resolver_, &list), 0);
    std::vector<uint64_t> ids;
    for (ls_list_item* it = ls_list_first(&list); it; it = ls_list_next(&list, it)) ids.push_back(it->fs_id);
    ls_list_fini(&list);
    EXPECT_EQ(ids, std::vector<uint64_t>{0x1a2b});
}

// ---------------------------------------------------------------- retry window
class LsRetryWindow : public lstest::ClientFixture {
   protected:
    void SetUp() override {
        ClientFixture::SetUp();
        make_client(false);
    }
    ls_lock_owner owner() {
        ls_lock_owner o{};
        o.caller = "dave";
        return o;
    }
};

TEST_F(LsRetryWindow, NothingIsKnownBeforeTheFirstListing) {
    ls_server_entry e{};
    EXPECT_EQ(ls_resolver_find_ls(client_->resolver, 0x1001, &e), -ENOENT);
    ls_list list;
    ASSERT_EQ(ls_resolver_get_ls_list(client_->resolver, &list), 0);
    EXPECT_TRUE(ls_list_empty(&list));
    ls_list_fini(&list);
}

TEST_F(LsRetryWindow, ACallSucceedsWhenItsServerAppearsWithinTheWindow) {
    // The table learns the server while the call waits for its third try.
    MapBuilder b;
    b.server(0x77, server_.addr());
    log_.on_line = [&](const std::string& line) {
        if (line.rfind("Scheduling retry #2 ", 0) == 0) install(b);
    };
    const ls_lock_owner o = owner();
    const ls_brlock_range r{1, 0, 1, LS_LOCK_READ, LS_FLAVOUR_POSIX};
    ls_stats st = ls_stats(0x55);
    ASSERT_EQ(ls_brlock_take(client_, 0x77, &o, &r, 0, nullptr, &st), 0) << log_.lines.dump();
    log_.on_line = nullptr;
    EXPECT_EQ(st, ls_granted);
    EXPECT_EQ(server_.count(), 1u);
    EXPECT_EQ(log_.lines.count("Scheduling retry #1 in 100ms for fs_id 77 (error: -2)", 3), 1);
    EXPECT_EQ(log_.lines.count("Scheduling retry #2 in 100ms for fs_id 77 (error: -2)", 3), 1);
    EXPECT_EQ(log_.lines.count("Scheduling retry #3"), 0);
    EXPECT_EQ(log_.lines.count("Max retries"), 0);
}

TEST_F(LsRetryWindow, ACallForAnUnknownFileSystemFailsAfterFourAttempts) {
    const ls_lock_owner o = owner();
    const ls_brlock_range r{1, 0, 1, LS_LOCK_READ, LS_FLAVOUR_POSIX};
    ls_stats st = ls_stats(0x55);
    const auto start = Clock::now();
    EXPECT_EQ(ls_brlock_take(client_, 0x78, &o, &r, 0, nullptr, &st), -1);
    const auto took = Clock::now() - start;
    EXPECT_EQ(st, ls_stats(0x55));
    EXPECT_GE(took, std::chrono::milliseconds(290)) << "three retries 100 ms apart";
    EXPECT_EQ(log_.lines.count("Failed to get tarn ls address", 3), 4);
    for (int i = 1; i <= 3; i++)
        EXPECT_EQ(log_.lines.count("Scheduling retry #" + std::to_string(i) + " in 100ms for fs_id 78 (error: -2)", 3), 1);
    EXPECT_EQ(log_.lines.count("Max retries (3) reached for fs_id 78, giving up", 1), 1);
    EXPECT_EQ(log_.lines.count("Failed to get ls client conn: -2 (No such file or directory)", 0), 1);
    EXPECT_EQ(log_.lines.count("Failed to send lock request", 0), 1);
    EXPECT_EQ(server_.count(), 0u);
}

// ---------------------------------------------------------------- free-all
TEST_F(LsRetryWindow, FreeAllWaitsForTheListThenSendsNothingWhenNoServerIsKnown) {
    ls_stats st = ls_stats(0x55);
    const auto start = Clock::now();
    EXPECT_EQ(ls_free_all_locks(client_, "erin", 9, &st), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_EQ(st, ls_stats(0x55)) << "free-all never writes the status";
    EXPECT_EQ(log_.lines.count("No lock server known yet, retry #"), 3);
    EXPECT_EQ(log_.lines.count("Max retries (3) reached waiting for lock servers", 1), 1);
    EXPECT_EQ(server_.count(), 0u);
}

TEST_F(LsRetryWindow, FreeAllAsksEveryServerAndLogsEachFailure) {
    kiv_netaddr dead;
    kiv_parse_netaddr("127.0.0.1:1", &dead);  // nothing listens there
    MapBuilder b;
    b.server(0x10, server_.addr()).server(0x11, dead).server(0x12, server_.addr());
    install(b);
    EXPECT_EQ(ls_free_all_locks(client_, "erin", 0xCAFE, nullptr), 0);
    std::vector<lstest::Request> reqs = server_.requests();
    ASSERT_EQ(reqs.size(), 2u);
    for (const auto& r : reqs) {
        lstest::Bytes want(0x30 + 5);
        want.u32(0, 0x35).u32(4, 0x2012).u64(0x18, 2).u32(0x20, 0xCAFE).u32(0x24, 5).u32(0x28, 0x30).str(0x30, "erin");
        std::vector<uint8_t> got = r.frame;
        std::fill(got.begin() + 8, got.begin() + 24, 0);
        EXPECT_EQ(got, want.b);
    }
    EXPECT_EQ(log_.lines.count("Free all locks for fs_id ", 3), 3);
    EXPECT_EQ(log_.lines.count("Free all response for fs_id 10", 3), 1);
    EXPECT_EQ(log_.lines.count("Free all response for fs_id 12", 3), 1);
    EXPECT_EQ(log_.lines.count("Failed to send free all request for fs_id 11", 0), 1) << log_.lines.dump();
}

TEST_F(LsRetryWindow, FreeAllFindsAServerThatAppearsWhileItWaits) {
    MapBuilder b;
    b.server(0x20, server_.addr());
    log_.on_line = [&](const std::string& line) {
        if (line.rfind("No lock server known yet, retry #1", 0) == 0) install(b);
    };
    EXPECT_EQ(ls_free_all_locks(client_, "erin", 1, nullptr), 0);
    log_.on_line = nullptr;
    EXPECT_EQ(server_.count(), 1u);
    EXPECT_EQ(log_.lines.count("Max retries"), 0);
}

}  // namespace

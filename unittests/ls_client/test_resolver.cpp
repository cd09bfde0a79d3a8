// The resolver's record filter through a live registry of the simulated
// cluster, the retry window of a call made before its file system is known,
// and free-all over the resolver's list.
#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "localcluster/cluster.h"
#include "ls_test_env.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST(LsResolverLive, OnlyLsRecordsWithAGoodFirstFsidTagAndAddressReachTheTable) {
    localcluster::ClusterConfig cfg;
    cfg.fs.push_back({"unused", 0x1001});
    cfg.lock_servers = false; // every "ls" record is the test's
    cfg.log_level = 0;
    std::unique_ptr<localcluster::Cluster> cluster = localcluster::Cluster::start(cfg);
    kiv_process p{};
    ASSERT_EQ(kiv_process_init_(&p), 0);
    ASSERT_EQ(kiv_process_start(&p, "evloop"), 0);
    discov* registry = nullptr;
    ls_resolver* resolver = nullptr;
    ASSERT_EQ(discov_create("local", "tarn/ls", DISCOV_MODE_RPC, &p, &registry), 0);
    ASSERT_EQ(ls_resolver_create(&p, "local", &resolver), 0);

    const struct {
        const char* name;
        std::vector<std::string> tags;
        std::string addr;
    } records[] = {
        {"ls2", {"fsid:11"}, "10.0.0.1"},
        {"l", {"fsid:12"}, "10.0.0.1"},
        {"ls", {"fsid:zz", "fsid:13"}, "10.0.0.1"},  // only the first fsid tag counts
        {"ls", {"fsid=14"}, "10.0.0.1"},             // no colon: no fsid tag
        {"ls", {"fsid=99", "fsid:15"}, "10.0.0.1"},  // ... so the next one is the first
        {"ls", {"fsid:16"}, "not-an-address"},
        {"ls", {"fsid:17"}, std::string(60, '1')},   // "%s:%u" does not fit 46 bytes
        {"ls", {"role:x", "fsid:1a2b"}, "10.0.0.5"}, // last: once seen, all are
    };
    kiv_move_to_coroutine(&p);
    for (size_t i = 0; i < std::size(records); i++) {
        std::vector<char*> tags;
        for (const std::string& t : records[i].tags) tags.push_back(const_cast<char*>(t.c_str()));
        const std::string id = "rec-" + std::to_string(i);
        discov_svc svc;
        discov_svc_init(&svc);
        svc.name = const_cast<char*>(records[i].name);
        svc.id = const_cast<char*>(id.c_str());
        svc.host_id = 0xc3;
        svc.tags = tags.data();
        svc.tag_count = uint32_t(tags.size());
        svc.addr = const_cast<char*>(records[i].addr.c_str());
        svc.port = 7000;
        EXPECT_EQ(discov_co_register_svc(registry, &svc), 0) << i;
    }
    kiv_move_from_coroutine();

    ls_server_entry e{};
    for (const auto until = Clock::now() + 60s; ls_resolver_find_ls(resolver, 0x1a2b, &e) != 0 && Clock::now() < until;)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(e.fs_id, 0x1a2bu) << "the good record never arrived";
    kiv_netaddr want;
    kiv_parse_netaddr("10.0.0.5:7000", &want);
    EXPECT_EQ(kiv_netaddr_cmp(&e.addr, &want), 0);
    EXPECT_EQ(e.host_id, 0xc3u);
    ls_list list;
    ASSERT_EQ(ls_resolver_get_ls_list(resolver, &list), 0);
    std::set<uint64_t> ids;
    for (ls_list_item* it = ls_list_first(&list); it; it = ls_list_next(&list, it)) ids.insert(it->fs_id);
    ls_list_fini(&list);
    EXPECT_TRUE(ls_list_empty(&list));
    EXPECT_EQ(ids, (std::set<uint64_t>{0x15, 0x1a2b}));

    ls_resolver_destroy(resolver);
    discov_destroy(registry);
    kiv_process_terminate(&p);
    kiv_process_wait(&p);
    kiv_process_fini(&p);
}

class LsRetryWindow : public lstest::ClientFixture {
   protected:
    void SetUp() override {
        ClientFixture::SetUp();
        make_client(false);
        owner_.caller = "dave";
    }
    int take(uint64_t fs_id, ls_stats* st) { return ls_brlock_take(client_, fs_id, &owner_, &range_, 0, nullptr, st); }
    ls_lock_owner owner_{};
    const ls_brlock_range range_{1, 0, 1, LS_LOCK_READ, LS_FLAVOUR_POSIX};
};

TEST_F(LsRetryWindow, ACallSucceedsWhenItsServerAppearsWithinTheWindow) {
    // The table learns the server while the call waits for its third try.
    lstest::MapBuilder b;
    b.server(0x77, server_.addr());
    log_.on_line = [&](const std::string& line) {
        if (line.rfind("Scheduling retry #2 ", 0) == 0) install(b);
    };
    ls_stats st = ls_stats(0x55);
    ASSERT_EQ(take(0x77, &st), 0) << log_.lines.dump();
    log_.on_line = nullptr;
    EXPECT_EQ(st, ls_granted);
    EXPECT_EQ(server_.count(), 1u);
    EXPECT_EQ(log_.lines.count("Scheduling retry #1 in 100ms for fs_id 77 (error: -2)", 3), 1);
    EXPECT_EQ(log_.lines.count("Scheduling retry #2 in 100ms for fs_id 77 (error: -2)", 3), 1);
    EXPECT_EQ(log_.lines.count("Scheduling retry #3") + log_.lines.count("Max retries"), 0);
}

TEST_F(LsRetryWindow, ACallForAnUnknownFileSystemFailsAfterFourAttempts) {
    ls_server_entry e;
    EXPECT_EQ(ls_resolver_find_ls(client_->resolver, 0x78, &e), -ENOENT);
    ls_stats st = ls_stats(0x55);
    const auto start = Clock::now();
    EXPECT_EQ(take(0x78, &st), -1);
    EXPECT_GE(Clock::now() - start, 290ms) << "three retries 100 ms apart";
    EXPECT_EQ(st, ls_stats(0x55));
    EXPECT_EQ(log_.lines.count("Failed to get tarn ls address", 3), 4);
    for (int i = 1; i <= 3; i++)
        EXPECT_EQ(log_.lines.count("Scheduling retry #" + std::to_string(i) + " in 100ms for fs_id 78 (error: -2)", 3), 1);
    EXPECT_EQ(log_.lines.count("Max retries (3) reached for fs_id 78, giving up", 1), 1);
    EXPECT_EQ(log_.lines.count("Failed to get ls client conn: -2 (No such file or directory)", 0), 1);
    EXPECT_EQ(log_.lines.count("Failed to send lock request", 0), 1);
    EXPECT_EQ(server_.count(), 0u);
}

TEST_F(LsRetryWindow, FreeAllWaitsForTheListAndSendsNothingWhenNoServerIsKnown) {
    ls_stats st = ls_stats(0x55);
    const auto start = Clock::now();
    EXPECT_EQ(ls_free_all_locks(client_, "erin", 9, &st), 0);
    EXPECT_GE(Clock::now() - start, 290ms);
    EXPECT_EQ(st, ls_stats(0x55)) << "free-all never writes the status";
    EXPECT_EQ(log_.lines.count("No lock server known yet, retry #"), 3);
    EXPECT_EQ(log_.lines.count("Max retries (3) reached waiting for lock servers", 1), 1);
    EXPECT_EQ(server_.count(), 0u);

    // A server that turns up while free-all waits is asked.
    lstest::MapBuilder b;
    b.server(0x20, server_.addr());
    log_.on_line = [&](const std::string& line) {
        if (line.rfind("No lock server known yet, retry #1", 0) == 0) install(b);
    };
    EXPECT_EQ(ls_free_all_locks(client_, "erin", 9, &st), 0);
    log_.on_line = nullptr;
    EXPECT_EQ(server_.count(), 1u);
}

TEST_F(LsRetryWindow, FreeAllAsksEveryServerAndLogsEachFailure) {
    kiv_netaddr dead;
    kiv_parse_netaddr("127.0.0.1:1", &dead); // nothing listens there
    lstest::MapBuilder b;
    b.server(0x10, server_.addr()).server(0x11, dead).server(0x12, server_.addr());
    install(b);
    EXPECT_EQ(ls_free_all_locks(client_, "erin", 0xCAFE, nullptr), 0);
    const lstest::Bytes want =
        lstest::Bytes(0x35).u32(0, 0x35).u32(4, 0x2012).u64(0x18, 2).u32(0x20, 0xCAFE).u32(0x24, 5).u32(0x28, 0x30).str(0x30, "erin");
    std::vector<lstest::Request> reqs = server_.requests();
    ASSERT_EQ(reqs.size(), 2u);
    for (auto& r : reqs) {
        std::fill(r.frame.begin() + 8, r.frame.begin() + 24, 0);
        EXPECT_EQ(r.frame, want.b);
    }
    EXPECT_EQ(log_.lines.count("Free all locks for fs_id ", 3), 3);
    EXPECT_EQ(log_.lines.count("Free all response for fs_id 10", 3), 1);
    EXPECT_EQ(log_.lines.count("Free all response for fs_id 12", 3), 1);
    EXPECT_EQ(log_.lines.count("Failed to send free all request for fs_id 11", 0), 1) << log_.lines.dump();
}

}  // namespace

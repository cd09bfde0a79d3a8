// The MDS resolver: its table built from service maps, its subscribers, and
// the resolver following a live registry of the simulated cluster.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/tarn_mds_resolver.h"
#include "client_test_env.h"
#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "localcluster/cluster.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A service map whose records point into storage the builder owns.
class MapBuilder {
   public:
    MapBuilder& add(const std::string& name, std::vector<std::string> tags, const std::string& addr, uint16_t port,
                    uint64_t host_id = 0xa1) {
        Rec& r = recs_.emplace_back();
        r.name = name;
        r.tags = std::move(tags);
        r.addr = addr;
        r.port = port;
        r.host_id = host_id;
        return *this;
    }

    const discov_svc_map* map() {
        svcs_.clear();
        for (Rec& r : recs_) {
            r.tag_ptrs.clear();
            for (std::string& t : r.tags) r.tag_ptrs.push_back(t.data());
            discov_svc s{};
            s.name = r.name.data();
            s.tags = r.tag_ptrs.data();
            s.tag_count = uint32_t(r.tag_ptrs.size());
            s.addr = r.addr.data();
            s.port = r.port;
            s.host_id = r.host_id;
            svcs_.push_back(s);
        }
        map_.records = svcs_.data();
        map_.count = uint32_t(svcs_.size());
        map_.generation = 1;
        map_.refcount = 1;
        return &map_;
    }

   private:
    struct Rec {
        std::string name, addr;
        std::vector<std::string> tags;
        std::vector<char*> tag_ptrs;
        uint16_t port = 0;
        uint64_t host_id = 0;
    };
    std::deque<Rec> recs_;
    std::vector<discov_svc> svcs_;
    discov_svc_map map_{};
};

const mds_entry* entry_of(kiv_hash_map_simple* table, uint64_t fs_id) {
    void** slot = kiv_hash_map_simple_get(table, fs_id);
    return slot ? static_cast<const mds_entry*>(*slot) : nullptr;
}

uint32_t table_size(kiv_hash_map_simple* table) {
    uint32_t n = 0;
    for (kiv_hash_map_entry* e = kiv_hash_map_simple_next(table, nullptr); e; e = kiv_hash_map_simple_next(table, e))
        n++;
    return n;
}

TEST(MdsResolverTable, RecordWithTagsAndIpv4BecomesAnEntry) {
    MapBuilder b;
    b.add("mds", {"fsid:1f", "fsname:share1"}, "10.0.0.5", 7001, 0xa1);
    kiv_hash_map_simple* table = mds_resolver_build_table(b.map());
    const mds_entry* e = entry_of(table, 0x1f);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->fs_name, "share1");
    EXPECT_EQ(e->ipv4, 0x0A000005u);
    EXPECT_EQ(e->port, 7001);
    EXPECT_EQ(e->host_id, 0xa1u);
    mds_resolver_free_table(table);
}

TEST(MdsResolverTable, RecordsOutsideTheConventionAreSkipped) {
    MapBuilder b;
    b.add("ls", {"fsid:1", "fsname:a"}, "10.0.0.1", 1)           // not an MDS
        .add("mds", {"fsid:zz", "fsname:b"}, "10.0.0.1", 1)     // fsid not hexadecimal
        .add("mds", {"fsid:3"}, "10.0.0.1", 1)                  // no fsname
        .add("mds", {"fsidx:5", "fsname:c"}, "10.0.0.1", 1)     // fsidx is not fsid
        .add("mds", {"fsid:6", "fsname:d"}, "mds.example", 1)   // host name
        .add("mds", {"fsid:7", "fsname:e"}, "::1", 1)           // IPv6
        .add("mds", {"fsname:f", "fsid:8"}, "10.0.0.8", 8);     // tag order does not matter
    kiv_hash_map_simple* table = mds_resolver_build_table(b.map());
    EXPECT_EQ(table_size(table), 1u);
    ASSERT_NE(entry_of(table, 8), nullptr);
    EXPECT_STREQ(entry_of(table, 8)->fs_name, "f");
    mds_resolver_free_table(table);
}

TEST(MdsResolverTable, FirstMatchingTagWins) {
    MapBuilder b;
    b.add("mds", {"fsname:first", "fsid:a", "fsname:second", "fsid:b"}, "10.0.0.1", 1);
    kiv_hash_map_simple* table = mds_resolver_build_table(b.map());
    ASSERT_NE(entry_of(table, 0xa), nullptr);
    EXPECT_STREQ(entry_of(table, 0xa)->fs_name, "first");
    EXPECT_EQ(entry_of(table, 0xb), nullptr);
    mds_resolver_free_table(table);
}

TEST(MdsResolverTable, DuplicateFsidKeepsTheLaterRecord) {
    // Two records for one file system (an MDS moving, seen mid-update): not
    // an error; the later one wins and the earlier entry is freed (the
    // sanitizer build checks that nothing leaks).
    MapBuilder b;
    b.add("mds", {"fsid:1001", "fsname:tarn"}, "127.0.0.1", 5000, 0xa1)
        .add("mds", {"fsid:1002", "fsname:other"}, "127.0.0.1", 5001, 0xa1)
        .add("mds", {"fsid:1001", "fsname:tarn"}, "127.0.0.2", 6000, 0xa2);
    kiv_hash_map_simple* table = mds_resolver_build_table(b.map());
    EXPECT_EQ(table_size(table), 2u);
    const mds_entry* e = entry_of(table, 0x1001);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->port, 6000);
    EXPECT_EQ(e->ipv4, 0x7f000002u);
    EXPECT_EQ(e->host_id, 0xa2u);
    mds_resolver_free_table(table);
}

// A resolver whose watcher never reaches a registry (the cluster does not
// exist), so the test installs maps itself.
class MdsResolverOffline : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_level_ = __kiv_log_level;
        __kiv_log_level = 0;  // the watcher's failed listings are expected
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ASSERT_EQ(discov_create("no-such-cluster", nullptr, DISCOV_MODE_READ_ONLY, &process_, &discovery_), 0);
        ASSERT_EQ(mds_resolver_create(discovery_, &process_, &resolver_), 0);
    }

    void TearDown() override {
        if (resolver_) mds_resolver_destroy(resolver_);
        discov_destroy(discovery_);
        clienttest::stop_process(&process_);
        __kiv_log_level = saved_level_;
    }

    void install(MapBuilder& b) {
        kiv_move_to_coroutine(&process_);
        mds_resolver_install_map(resolver_, b.map());
        kiv_move_from_coroutine();
    }

    int saved_level_ = 3;
    kiv_process process_{};
    discov* discovery_ = nullptr;
    mds_resolver* resolver_ = nullptr;
};

TEST_F(MdsResolverOffline, LookupsFailBeforeTheFirstListingAndFollowEachMap) {
    uint64_t fs_id = 0;
    tarn_host_addr addr{};
    EXPECT_EQ(mds_resolver_find_fs(resolver_, "share1", &fs_id), -ENOENT);
    EXPECT_EQ(mds_resolver_find_mds(resolver_, 0x1f, &addr), -ENOENT);

    MapBuilder first;
    first.add("mds", {"fsid:1f", "fsname:share1"}, "10.0.0.5", 7001, 0xa1);
    install(first);
    ASSERT_EQ(mds_resolver_find_fs(resolver_, "share1", &fs_id), 0);
    EXPECT_EQ(fs_id, 0x1fu);
    EXPECT_EQ(mds_resolver_find_fs(resolver_, "Share1", &fs_id), -ENOENT);
    ASSERT_EQ(mds_resolver_find_mds(resolver_, 0x1f, &addr), 0);
    EXPECT_EQ(addr.host_id, 0xa1u);
    EXPECT_EQ(addr.ipv4, 0x0A000005u);
    EXPECT_EQ(addr.port, 7001);

    // The table is replaced as a whole: what the next map lacks is gone.
    MapBuilder second;
    second.add("mds", {"fsid:20", "fsname:share2"}, "10.0.0.6", 7002);
    install(second);
    EXPECT_EQ(mds_resolver_find_fs(resolver_, "share1", &fs_id), -ENOENT);
    EXPECT_EQ(mds_resolver_find_mds(resolver_, 0x1f, &addr), -ENOENT);
    EXPECT_EQ(mds_resolver_find_mds(resolver_, 0x20, &addr), 0);
}

struct Subscriber {
    MdsResolverOffline* test = nullptr;
    mds_resolver_subscription* sub = nullptr;
    Subscriber* victim = nullptr;  // unsubscribed by this one's callback
    bool remove_self = false;
    int calls = 0;

    static void callback(void* arg) {
        auto* s = static_cast<Subscriber*>(arg);
        s->calls++;
        if (s->remove_self) {
            mds_resolver_unsubscribe(s->sub);
            s->sub = nullptr;
        }
        if (s->victim && s->victim->sub) {
            mds_resolver_unsubscribe(s->victim->sub);
            s->victim->sub = nullptr;
        }
    }
};

TEST_F(MdsResolverOffline, SubscribersMayRemoveThemselvesAndOthersDuringNotification) {
    // Notified newest first: d, c, b, a.
    Subscriber a, b, c, d;
    for (Subscriber* s : {&a, &b, &c, &d}) s->sub = mds_resolver_subscribe(resolver_, Subscriber::callback, s);
    d.remove_self = true;
    c.victim = &b;  // b is next in line when c runs
    MapBuilder m;
    install(m);
    EXPECT_EQ(d.calls, 1);
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(b.calls, 0);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(d.sub, nullptr);
    EXPECT_EQ(b.sub, nullptr);

    c.victim = nullptr;
    install(m);
    EXPECT_EQ(d.calls, 1);
    EXPECT_EQ(c.calls, 2);
    EXPECT_EQ(a.calls, 2);
    mds_resolver_unsubscribe(a.sub);
    mds_resolver_unsubscribe(c.sub);
}

// ---------------------------------------------------------------- live registry
class MdsResolverLive : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { cluster_ = clienttest::start_cluster({{"unused", 0x1001}}); }
    static void TearDownTestSuite() { clienttest::stop_cluster(cluster_); }

    void SetUp() override {
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ASSERT_EQ(discov_create("local", nullptr, DISCOV_MODE_READ_ONLY, &process_, &discovery_), 0);
        ASSERT_EQ(discov_create("local", "tarn/mds", DISCOV_MODE_RPC, &process_, &registry_), 0);
        ASSERT_EQ(mds_resolver_create(discovery_, &process_, &resolver_), 0);
    }

    void TearDown() override {
        for (const std::string& id : registered_) clienttest::unregister_svc(&process_, registry_, id.c_str());
        if (resolver_) mds_resolver_destroy(resolver_);
        discov_destroy(registry_);
        discov_destroy(discovery_);
        clienttest::stop_process(&process_);
    }

    int put_record(const char* id, uint64_t fs_id, const char* fs_name, uint16_t port) {
        registered_.push_back(id);
        return clienttest::register_mds(&process_, registry_, id, fs_id, fs_name, 0xb1, port);
    }

    int remove_record(const char* id) { return clienttest::unregister_svc(&process_, registry_, id); }

    // Polls until the resolver names `port` for `fs_id` (0: until it knows
    // nothing of it).
    bool wait_for_port(uint64_t fs_id, uint16_t port) { return clienttest::wait_for_mds_port(resolver_, fs_id, port); }

    static localcluster::Cluster* cluster_;
    kiv_process process_{};
    discov* discovery_ = nullptr;
    discov* registry_ = nullptr;
    mds_resolver* resolver_ = nullptr;
    std::vector<std::string> registered_;
};

localcluster::Cluster* MdsResolverLive::cluster_ = nullptr;

// The table changes before its subscribers hear of it, so a test that saw
// the change there must still wait for the notification. Each one records
// what the table then says of one file system: the port, or -1 while it is
// unknown.
struct PortWatcher {
    mds_resolver* resolver;
    uint64_t fs_id;
    std::mutex mu;
    std::condition_variable cv;
    std::vector<int> seen;

    static void callback(void* arg) {
        auto* w = static_cast<PortWatcher*>(arg);
        tarn_host_addr addr{};
        const int port = mds_resolver_find_mds(w->resolver, w->fs_id, &addr) == 0 ? int(addr.port) : -1;
        std::lock_guard<std::mutex> g(w->mu);
        w->seen.push_back(port);
        w->cv.notify_all();
    }

    // The test makes each change only after the last one was heard of, so
    // the latest notification shows the latest change once it has come.
    bool heard(int port) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, std::chrono::seconds(60), [&] { return !seen.empty() && seen.back() == port; });
    }
};

TEST_F(MdsResolverLive, FollowsRecordsAsTheyAreRegisteredMovedAndRemoved) {
    ASSERT_NE(cluster_, nullptr);
    PortWatcher watcher{resolver_, 0x5151, {}, {}, {}};
    mds_resolver_subscription* sub = mds_resolver_subscribe(resolver_, PortWatcher::callback, &watcher);

    ASSERT_EQ(put_record("mds-5151", 0x5151, "livefs", 40001), 0);
    ASSERT_TRUE(wait_for_port(0x5151, 40001));
    uint64_t fs_id = 0;
    ASSERT_EQ(mds_resolver_find_fs(resolver_, "livefs", &fs_id), 0);
    EXPECT_EQ(fs_id, 0x5151u);
    tarn_host_addr addr{};
    ASSERT_EQ(mds_resolver_find_mds(resolver_, fs_id, &addr), 0);
    EXPECT_EQ(addr.host_id, 0xb1u);
    EXPECT_EQ(addr.ipv4, 0x7f000001u);
    ASSERT_TRUE(watcher.heard(40001));

    ASSERT_EQ(put_record("mds-5151", 0x5151, "livefs", 40002), 0);
    ASSERT_TRUE(wait_for_port(0x5151, 40002));
    EXPECT_TRUE(watcher.heard(40002));

    ASSERT_EQ(remove_record("mds-5151"), 0);
    ASSERT_TRUE(wait_for_port(0x5151, 0));
    EXPECT_EQ(mds_resolver_find_fs(resolver_, "livefs", &fs_id), -ENOENT);
    EXPECT_TRUE(watcher.heard(-1));
    mds_resolver_unsubscribe(sub);
}

}  // namespace

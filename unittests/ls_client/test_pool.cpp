// The connection pool: one connection per file system, reused, at most four
// open with the least recently used evicted, a connection replaced (and
// closed) when its server moves, and calls from many threads across
// evictions.
#include <atomic>
#include <set>
#include <thread>

#include "ls_test_env.h"

namespace {

class LsPool : public lstest::ClientFixture {
   protected:
    void SetUp() override {
        ClientFixture::SetUp();
        make_client(false);
    }
    // One free for `fs_id`: the id of the connection the server saw it on.
    uint64_t free_on(uint64_t fs_id, lstest::ScriptedLs& server) {
        ls_lock_owner o{};
        o.caller = "frank";
        const ls_brlock_range r{fs_id, 0, 1, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS};
        ls_stats st;
        server.clear();
        EXPECT_EQ(ls_brlock_free(client_, fs_id, &o, &r, &st), 0) << log_.lines.dump();
        std::vector<lstest::Request> reqs = server.requests();
        return reqs.size() == 1 ? reqs[0].conn_id : 0;
    }
    bool pooled(uint64_t fs_id) { return ls_client_conn_pool_peek(client_->pool, fs_id) != nullptr; }
};

TEST_F(LsPool, FourConnectionsLeastRecentlyUsedEvictedAndReused) {
    lstest::MapBuilder b;
    for (uint64_t fs = 1; fs <= 5; fs++) b.server(fs, server_.addr());
    install(b);
    std::set<uint64_t> conns;
    for (uint64_t fs = 1; fs <= 5; fs++) conns.insert(free_on(fs, server_));
    EXPECT_EQ(conns.size(), 5u) << "each file system has its own connection";
    EXPECT_EQ(ls_client_conn_pool_count(client_->pool), 4u);
    EXPECT_EQ(client_->engine.nr_endpoints, 4u) << "the evicted connection is still open";
    EXPECT_FALSE(pooled(1));
    EXPECT_TRUE(pooled(2) && pooled(3) && pooled(4) && pooled(5));
    EXPECT_EQ(log_.lines.count("Removed connection for fs_id 1 from pool", 3), 1);
    EXPECT_EQ(log_.lines.count("added as new in the pool", 3), 5);

    // Reuse opens nothing, and makes fs 2 the newest: fs 3 goes next.
    const uint64_t conn2 = free_on(2, server_);
    EXPECT_TRUE(conns.count(conn2));
    EXPECT_EQ(log_.lines.count("Found matching connection for fs_id 2", 4), 1);
    free_on(1, server_);
    EXPECT_FALSE(pooled(3));
    EXPECT_EQ(free_on(2, server_), conn2);
    EXPECT_EQ(log_.lines.count("Creating RPC connection to lock server", 2), 6);
}

TEST_F(LsPool, AMovedServerReplacesItsConnectionWithoutEvictingAnother) {
    lstest::ScriptedLs moved;
    ASSERT_TRUE(moved.listening());
    lstest::MapBuilder before, after, rehosted;
    for (uint64_t fs = 1; fs <= 4; fs++) before.server(fs, server_.addr());
    install(before);
    for (uint64_t fs = 1; fs <= 4; fs++) free_on(fs, server_);
    // fs 1, the oldest, moves: replaced, not evicted along with another.
    after.server(1, moved.addr());
    install(after);
    EXPECT_NE(free_on(1, moved), 0u);
    EXPECT_EQ(log_.lines.count("Connection found for fs_id 1 but RPC address doesn't match", 4), 1);
    EXPECT_EQ(log_.lines.count("Connection for fs_id 1 replaced existing in the pool", 3), 1);
    EXPECT_EQ(log_.lines.count("Removed connection for fs_id"), 0);
    EXPECT_TRUE(pooled(1) && pooled(2) && pooled(3) && pooled(4));
    EXPECT_EQ(client_->engine.nr_endpoints, 4u) << "the replaced connection was not closed";
    // Another host id at the same address counts as moved too.
    rehosted.server(1, moved.addr(), 0xEE);
    install(rehosted);
    EXPECT_NE(free_on(1, moved), 0u);
    EXPECT_EQ(ls_client_conn_pool_peek(client_->pool, 1)->server.host_id, 0xEEu);
    EXPECT_EQ(client_->engine.nr_endpoints, 4u);
}

// Evictions happen while other calls still hold the evicted connection,
// which must stay open until the last of them releases it.
TEST_F(LsPool, ConcurrentCallsAcrossEvictions) {
    lstest::MapBuilder b;
    for (uint64_t fs = 1; fs <= 6; fs++) b.server(fs, server_.addr());
    install(b);
    constexpr int kThreads = 8, kCalls = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            ls_lock_owner o{};
            o.caller = "worker";
            for (int i = 0; i < kCalls; i++) {
                const uint64_t fs = 1 + uint64_t(t + i) % 6;
                const ls_brlock_range r{fs, uint64_t(i), 1, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS};
                ls_stats st = ls_stats(0x55);
                if (ls_brlock_take(client_, fs, &o, &r, 0, nullptr, &st) != 0 || st != ls_granted) failures++;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0) << log_.lines.dump();
    EXPECT_EQ(server_.count(), size_t(kThreads * kCalls));
    EXPECT_EQ(ls_client_conn_pool_count(client_->pool), 4u);
    EXPECT_EQ(client_->engine.nr_endpoints, 4u) << "a connection outlived its last reference";
}

}  // namespace

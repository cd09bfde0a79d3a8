// The client's connection pool: one connection per file system, reused,
// at most four open with the least recently used one evicted, and a
// connection replaced (and released) when its server moves.
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ls_test_env.h"

namespace {

using lstest::MapBuilder;

class LsPool : public lstest::ClientFixture {
   protected:
    void SetUp() override {
        ClientFixture::SetUp();
        make_client(false);
    }

    // One free for `fs_id`; the connection id the server saw it on.
    uint64_t free_on(uint64_t fs_id, lstest::ScriptedLs& server) {
        ls_lock_owner o{};
        o.caller = "frank";
        const ls_brlock_range r{fs_id, 0, 1, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS};
        ls_stats st;
        const size_t before = server.count();
        EXPECT_EQ(ls_brlock_free(client_, fs_id, &o, &r, &st), 0) << log_.lines.dump();
        std::vector<lstest::Request> reqs = server.requests();
        if (reqs.size() != before + 1) {
            ADD_FAILURE() << "request for fs_id " << fs_id << " did not arrive";
            return 0;
        }
        return reqs.back().conn_id;
    }
};

TEST_F(LsPool, FiveFileSystemsLeaveFourConnectionsTheFirstEvicted) {
    MapBuilder b;
    for (uint64_t fs = 1; fs <= 5; fs++) b.server(fs, server_.addr());
    install(b);
    std::set<uint64_t> conns;
    for (uint64_t fs = 1; fs <= 5; fs++) conns.insert(free_on(fs, server_));
    EXPECT_EQ(conns.size(), 5u) << "each file system has its own connection";
    EXPECT_EQ(ls_client_conn_pool_count(client_->pool), 4u);
    EXPECT_EQ(client_->engine.nr_endpoints, 4u) << "the evicted connection is still open";
    EXPECT_EQ(ls_client_conn_pool_peek(client_->pool, 1), nullptr);
    for (uint64_t fs = 2; fs <= 5; fs++) EXPECT_NE(ls_client_conn_pool_peek(client_->pool, fs), nullptr) << fs;
    EXPECT_EQ(log_.lines.count("Removed connection for fs_id 1 from pool", 3), 1);
    EXPECT_EQ(log_.lines.count("added as new in the pool", 3), 5);

    // Using fs 2 makes fs 3 the oldest: the next newcomer evicts fs 3.
    const uint64_t conn2 = free_on(2, server_);
    free_on(1, server_);
    EXPECT_EQ(ls_client_conn_pool_peek(client_->pool, 3), nullptr);
    EXPECT_NE(ls_client_conn_pool_peek(client_->pool, 2), nullptr);
    EXPECT_EQ(free_on(2, server_), conn2);
}

TEST_F(LsPool, TheSameFileSystemReusesItsConnection) {
    MapBuilder b;
    b.server(7, server_.addr());
    install(b);
    const uint64_t first = free_on(7, server_);
    for (int i = 0; i < 3; i++) EXPECT_EQ(free_on(7, server_), first);
    EXPECT_EQ(client_->engine.nr_endpoints, 1u);
    EXPECT_EQ(log_.lines.count("Creating RPC connection to lock server", 2), 1);
    EXPECT_EQ(log_.lines.count("Found matching connection for fs_id 7", 4), 3);
}

TEST_F(LsPool, AMovedServerReplacesItsConnectionWithoutEvictingAnother) {
    lstest::ScriptedLs moved;
    ASSERT_TRUE(moved.listening());
    MapBuilder before;
    for (uint64_t fs = 1; fs <= 4; fs++) before.server(fs, server_.addr());
    install(before);
    for (uint64_t fs = 1; fs <= 4; fs++) free_on(fs, server_);

    // fs 1, the oldest, moves: its entry is replaced, the other three stay.
    MapBuilder after;
    after.server(1, moved.addr());
    for (uint64_t fs = 2; fs <= 4; fs++) after.server(fs, server_.addr());
    install(after);
    free_on(1, moved);
    EXPECT_EQ(log_.lines.count("Connection found for fs_id 1 but RPC address doesn't match", 4), 1);
    EXPECT_EQ(log_.lines.count("Connection for fs_id 1 replaced existing in the pool", 3), 1);
    EXPECT_EQ(log_.lines.count("Removed connection for fs_id"), 0);
    EXPECT_EQ(ls_client_conn_pool_count(client_->pool), 4u);
    // The replaced connection is closed, not leaked.
    EXPECT_EQ(client_->engine.nr_endpoints, 4u);
    for (uint64_t fs = 1; fs <= 4; fs++) EXPECT_NE(ls_client_conn_pool_peek(client_->pool, fs), nullptr) << fs;

    // A different host id behind the same address also counts as moved.
    MapBuilder rehosted;
    rehosted.server(1, moved.addr(), 0xEE);
    install(rehosted);
    free_on(1, moved);
    EXPECT_EQ(log_.lines.count("replaced existing in the pool", 3), 2);
    EXPECT_EQ(ls_client_conn_pool_peek(client_->pool, 1)->server.host_id, 0xEEu);
}

}  // namespace

namespace {

// Threads share one client while six file systems compete for four pooled
// connections: evictions happen while other calls still hold the evicted
// connection, which must stay open until they release it.
TEST_F(LsPool, ConcurrentCallsAcrossEvictions) {
    MapBuilder b;
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

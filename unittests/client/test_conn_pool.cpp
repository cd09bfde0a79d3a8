// Connection factory, connections and the pool keyed by host, on a real
// runtime process. Endpoints connect lazily, so no server is needed here;
// sending is covered by the call-engine tests.
#include <errno.h>
#include <string.h>
#include <xxhash.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_mds_client.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/rpc.h"
#include "log_capture.h"

namespace {

using clienttest::LogCapture;

// The pool's maker in these tests: the real one, counted, and able to fail.
std::atomic<int> g_made{0};
std::atomic<int> g_fail_next{0};

int counting_maker(tarn_conn_factory* f, const tarn_host_addr* addr, const tarn_endpoint_spec* spec,
                   tarn_conn** out) {
    if (g_fail_next.exchange(0) != 0) return -ENOMEM;
    g_made++;
    return tarn_conn_create(f, addr, spec, out);
}

class ConnPoolTest : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_level_ = __kiv_log_level;
        __kiv_log_level = 7;
        kiv_log_set_hook(LogCapture::hook, &log_);
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ASSERT_EQ(tarn_conn_factory_create(0x1234, &process_, &factory_), 0);
        g_made = 0;
        g_fail_next = 0;
    }

    void TearDown() override {
        tarn_conn_pool_destroy(pool_);
        tarn_conn_factory_destroy(factory_);
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
        kiv_log_set_hook(nullptr, nullptr);
        __kiv_log_level = saved_level_;
    }

    void make_pool(uint32_t slots) { ASSERT_EQ(tarn_conn_pool_create(slots, factory_, counting_maker, &pool_), 0); }

    tarn_conn* get(const tarn_host_addr& addr, uint32_t key) {
        tarn_conn* c = nullptr;
        EXPECT_EQ(tarn_conn_pool_get_conn(pool_, &addr, &key, sizeof key, &tarn_mds_endpoint_spec, &c), 0);
        return c;
    }

    static uint32_t refs(const tarn_conn* c) { return __atomic_load_n(&c->refcount, __ATOMIC_ACQUIRE); }

    uint32_t endpoints() { return __atomic_load_n(&factory_->engine.nr_endpoints, __ATOMIC_ACQUIRE); }

    LogCapture log_;
    int saved_level_ = 3;
    kiv_process process_{};
    tarn_conn_factory* factory_ = nullptr;
    tarn_conn_pool* pool_ = nullptr;
};

const tarn_host_addr kHostA{0xa1, 0x7f000001, 4000};

TEST_F(ConnPoolTest, OneSlotSharesOneConnectionAcrossKeys) {
    make_pool(1);
    tarn_conn* a = get(kHostA, 1);
    tarn_conn* b = get(kHostA, 0xdeadbeef);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(g_made.load(), 1);
    EXPECT_EQ(refs(a), 3u);  // the pool's and two users'
    EXPECT_EQ(endpoints(), 1u);
    EXPECT_EQ(log_.count("create_rpc_ep_on_evloop: Creating RPC connection to host 00000000000000a1 (127.0.0.1:4000)"),
              1);
    tarn_conn_pool_put_conn(a);
    tarn_conn_pool_put_conn(b);
    EXPECT_EQ(refs(a), 1u);
    EXPECT_EQ(endpoints(), 1u);
}

TEST_F(ConnPoolTest, MovedHostGetsNewConnectionAndOldClosesWithItsLastUser) {
    make_pool(1);
    tarn_conn* old_conn = get(kHostA, 1);
    tarn_host_addr moved = kHostA;
    moved.port = 4001;
    tarn_conn* new_conn = get(moved, 1);
    ASSERT_NE(old_conn, new_conn);
    EXPECT_EQ(tarn_conn_get_addr(new_conn).port, 4001);
    // The pool let go of the old connection; its user still has it open.
    EXPECT_EQ(refs(old_conn), 1u);
    EXPECT_EQ(endpoints(), 2u);
    EXPECT_EQ(log_.count("Closing RPC connection to host 00000000000000a1 (127.0.0.1:4000)"), 0);
    tarn_conn_pool_put_conn(old_conn);
    EXPECT_EQ(endpoints(), 1u);
    EXPECT_EQ(log_.count("close_rpc_ep_on_evloop: Closing RPC connection to host 00000000000000a1 (127.0.0.1:4000)"),
              1);
    // The new one stays in the pool.
    EXPECT_EQ(get(moved, 2), new_conn);
    tarn_conn_pool_put_conn(new_conn);
    tarn_conn_pool_put_conn(new_conn);
    // A change of address only, same port, also counts as a move.
    tarn_host_addr readdressed = moved;
    readdressed.ipv4 = 0x7f000002;
    tarn_conn* third = get(readdressed, 1);
    EXPECT_NE(third, new_conn);
    EXPECT_EQ(log_.count("Closing RPC connection to host 00000000000000a1 (127.0.0.1:4001)"), 1);
    tarn_conn_pool_put_conn(third);
}

TEST_F(ConnPoolTest, FourSlotsSpreadKeysByXxh3) {
    make_pool(4);
    std::vector<tarn_conn*> by_slot(4, nullptr);
    std::set<tarn_conn*> distinct;
    std::vector<tarn_conn*> taken;
    for (uint32_t key = 0; key < 64; key++) {
        tarn_conn* c = get(kHostA, key);
        taken.push_back(c);
        const uint32_t slot = uint32_t(XXH3_64bits(&key, sizeof key) % 4);
        EXPECT_EQ(tarn_conn_pool_slot_of(&key, sizeof key, 4), slot);
        if (by_slot[slot] == nullptr) by_slot[slot] = c;
        EXPECT_EQ(by_slot[slot], c) << "key " << key << " slot " << slot;
        distinct.insert(c);
    }
    // 64 keys fill all four slots, and each slot has exactly one connection.
    EXPECT_EQ(distinct.size(), 4u);
    EXPECT_EQ(g_made.load(), 4);
    for (tarn_conn* c : taken) tarn_conn_pool_put_conn(c);
}

TEST_F(ConnPoolTest, FailingMakerLeavesSlotEmptyAndDropsTheStaleConnection) {
    make_pool(1);
    tarn_conn* old_conn = get(kHostA, 1);
    tarn_conn_pool_put_conn(old_conn);
    tarn_host_addr moved = kHostA;
    moved.port = 4002;
    g_fail_next = 1;
    tarn_conn* c = nullptr;
    uint32_t key = 1;
    EXPECT_EQ(tarn_conn_pool_get_conn(pool_, &moved, &key, sizeof key, &tarn_mds_endpoint_spec, &c), -ENOMEM);
    EXPECT_EQ(c, nullptr);
    // The connection to the old address is gone with the slot.
    EXPECT_EQ(endpoints(), 0u);
    EXPECT_EQ(log_.count("Closing RPC connection to host 00000000000000a1 (127.0.0.1:4000)"), 1);
    tarn_conn* fresh = get(moved, 1);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(tarn_conn_get_addr(fresh).port, 4002);
    tarn_conn_pool_put_conn(fresh);
}

TEST_F(ConnPoolTest, DestroyedPoolLeavesHeldConnectionsOpenUntilPutBack) {
    make_pool(2);
    tarn_conn* held = get(kHostA, 7);
    tarn_host_addr b = kHostA;
    b.host_id = 0xb2;
    tarn_conn* dropped_with_pool = get(b, 7);
    tarn_conn_pool_put_conn(dropped_with_pool);
    tarn_conn_pool_destroy(pool_);
    pool_ = nullptr;
    EXPECT_EQ(endpoints(), 1u);
    EXPECT_EQ(refs(held), 1u);
    EXPECT_EQ(log_.count("Closing RPC connection to host 00000000000000b2"), 1);
    EXPECT_EQ(log_.count("Closing RPC connection to host 00000000000000a1"), 0);
    tarn_conn_pool_put_conn(held);
    EXPECT_EQ(endpoints(), 0u);
}

TEST_F(ConnPoolTest, LoopCallersAndPlainCallersShareThePool) {
    make_pool(1);
    // From inside the loop (as the call engine takes connections) and from
    // a plain thread at once.
    std::atomic<bool> stop{false};
    std::thread plain([&] {
        while (!stop) {
            tarn_conn* c = get(kHostA, 3);
            tarn_conn_pool_put_conn(c);
        }
    });
    for (int i = 0; i < 200; i++) {
        kiv_move_to_coroutine(&process_);
        tarn_conn* c = get(kHostA, uint32_t(i));
        tarn_conn_pool_put_conn(c);
        kiv_move_from_coroutine();
    }
    stop = true;
    plain.join();
    EXPECT_EQ(g_made.load(), 1);
}

}  // namespace

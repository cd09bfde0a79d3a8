// Connection pool keyed by host identifier.
//
// Lock order: the event loop first, then the pool's mutex. A caller outside
// loop context is moved onto the loop before it takes the mutex, so making or
// closing a connection under the mutex never waits for a loop that is itself
// waiting for the mutex.
#include "client/tarn_conn_pool.h"

#include <string.h>
#include <xxhash.h>

#include <vector>

#include "kiv/base.h"
#include "kiv/loop.h"

namespace {

const char* const k_tag = "tarn_conn_pool";

// Keeps the caller on the event loop for its lifetime.
class LoopScope {
   public:
    explicit LoopScope(kiv_process* process) : moved_(process != nullptr && !kiv_in_loop_context()) {
        // Another process's loop lock cannot be taken while holding one.
        KIV_BUG_ON(process != nullptr && kiv_in_loop_context() && !kiv_in_loop_context_of(process));
        if (moved_) kiv_move_to_coroutine(process);
    }
    ~LoopScope() {
        if (moved_) kiv_move_from_coroutine();
    }
    LoopScope(const LoopScope&) = delete;
    LoopScope& operator=(const LoopScope&) = delete;

   private:
    bool moved_;
};

class PoolLock {
   public:
    explicit PoolLock(tarn_conn_pool* pool) : pool_(pool) { KIV_BUG_ON(pthread_mutex_lock(&pool_->mutex) != 0); }
    ~PoolLock() { KIV_BUG_ON(pthread_mutex_unlock(&pool_->mutex) != 0); }
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;

   private:
    tarn_conn_pool* pool_;
};

bool same_address(const tarn_host_addr& a, const tarn_host_addr& b) { return a.ipv4 == b.ipv4 && a.port == b.port; }

}  // namespace

uint32_t tarn_conn_pool_slot_of(const void* key, size_t key_len, uint32_t slots) {
    return uint32_t(XXH3_64bits(key, key_len) % slots);
}

int tarn_conn_pool_create(uint32_t slots, tarn_conn_factory* factory, tarn_conn_maker maker, tarn_conn_pool** out) {
    KIV_BUG_ON(slots == 0 || maker == nullptr);
    auto* pool =
        static_cast<tarn_conn_pool*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(tarn_conn_pool)));
    pool->factory = factory;
    pool->maker = maker;
    pool->slots = slots;
    pool->array_bytes = slots * uint32_t(sizeof(tarn_conn*));
    KIV_BUG_ON(kiv_hash_map_init(&pool->map, slots, 16, KIV_HASH_MAP_COPY_VALUES) != 0);
    KIV_BUG_ON(pthread_mutex_init(&pool->mutex, nullptr) != 0);
    *out = pool;
    return 0;
}

void tarn_conn_pool_destroy(tarn_conn_pool* pool) {
    if (pool == nullptr) return;
    std::vector<tarn_conn*> dropped;
    {
        PoolLock lock(pool);
        for (kiv_hash_map_entry* e = kiv_hash_map_next(&pool->map, nullptr); e != nullptr;
             e = kiv_hash_map_next(&pool->map, e)) {
            auto* slots = static_cast<tarn_conn**>(e->value);
            for (uint32_t i = 0; i < pool->slots; i++)
                if (slots[i] != nullptr) dropped.push_back(slots[i]);
            KIV_BUG_ON(kiv_hash_map_del(&pool->map, e->key) != 0);
        }
    }
    // Outside the mutex: the last reference closes its endpoint on the loop.
    for (tarn_conn* c : dropped) tarn_conn_unref(c);
    kiv_hash_map_fini(&pool->map);
    KIV_BUG_ON(pthread_mutex_destroy(&pool->mutex) != 0);
    __kiv_free(pool);
}

int tarn_conn_pool_get_conn(tarn_conn_pool* pool, const tarn_host_addr* addr, const void* key, size_t key_len,
                            const tarn_endpoint_spec* spec, tarn_conn** out) {
    const uint32_t slot = tarn_conn_pool_slot_of(key, key_len, pool->slots);
    LoopScope on_loop(pool->factory ? pool->factory->process : nullptr);
    tarn_conn* replaced = nullptr;
    int rc = 0;
    {
        PoolLock lock(pool);
        auto* stored = static_cast<tarn_conn**>(kiv_hash_map_get(&pool->map, addr->host_id));
        if (stored != nullptr && stored[slot] != nullptr && same_address(stored[slot]->addr, *addr)) {
            tarn_conn_ref(stored[slot]);
            *out = stored[slot];
            return 0;
        }
        std::vector<tarn_conn*> array(pool->slots, nullptr);
        if (stored != nullptr) {
            // The host moved (or the slot is empty): the slot is emptied now,
            // so a failing maker leaves no stale connection behind.
            memcpy(array.data(), stored, pool->array_bytes);
            replaced = array[slot];
            array[slot] = nullptr;
            bool empty = true;
            for (tarn_conn* c : array) empty = empty && c == nullptr;
            if (empty)
                KIV_BUG_ON(kiv_hash_map_del(&pool->map, addr->host_id) != 0);
            else
                KIV_BUG_ON(kiv_hash_map_set(&pool->map, addr->host_id, array.data()) < 0);
        }
        tarn_conn* conn = nullptr;
        rc = pool->maker(pool->factory, addr, spec, &conn);
        if (rc >= 0) {
            rc = 0;
            KIV_BUG_ON(array[slot] != nullptr);
            array[slot] = conn;
            KIV_BUG_ON(kiv_hash_map_set(&pool->map, addr->host_id, array.data()) < 0);
            tarn_conn_ref(conn);
            *out = conn;
        }
    }
    if (replaced != nullptr) tarn_conn_unref(replaced);
    return rc;
}

void tarn_conn_pool_put_conn(tarn_conn* conn) { tarn_conn_unref(conn); }

// The client's least-recently-used pool of lock-server connections, one per
// file system id.
#include <errno.h>

#include "ls_client/ls_client_int.h"

namespace {

const char* const k_tag = "ls_client_conn_pool";

class PoolLock {
   public:
    explicit PoolLock(ls_client_conn_pool* p) : p_(p) { KIV_BUG_ON(pthread_mutex_lock(&p_->mutex) != 0); }
    ~PoolLock() { KIV_BUG_ON(pthread_mutex_unlock(&p_->mutex) != 0); }
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;

   private:
    ls_client_conn_pool* p_;
};

void unlink(ls_pool_entry* e) {
    e->prev->next = e->next;
    e->next->prev = e->prev;
    e->prev = e->next = nullptr;
}

void link_newest(ls_client_conn_pool* pool, ls_pool_entry* e) {
    e->prev = pool->lru.prev;
    e->next = &pool->lru;
    pool->lru.prev->next = e;
    pool->lru.prev = e;
}

ls_pool_entry* find(ls_client_conn_pool* pool, uint64_t fs_id) {
    void** slot = kiv_hash_map_simple_get(&pool->map, fs_id);
    return slot != nullptr ? static_cast<ls_pool_entry*>(*slot) : nullptr;
}

// Takes `e` out of list, map and count and hands back its connection
// reference, which the caller drops (outside the pool's mutex when it may
// close a connection from a plain thread).
ls_client_conn* take_out(ls_client_conn_pool* pool, ls_pool_entry* e) {
    KIV_BUG_ON(e->conn == nullptr);
    unlink(e);
    kiv_hash_map_simple_del(&pool->map, e->fs_id);
    pool->count--;
    ls_client_conn* conn = e->conn;
    __kiv_free(e);
    return conn;
}

bool same_server(const ls_server_entry& a, const ls_server_entry& b) {
    return a.host_id == b.host_id && a.fs_id == b.fs_id && kiv_netaddr_cmp(&a.addr, &b.addr) == 0;
}

}  // namespace

int ls_client_conn_pool_create(ls_client*, ls_client_conn_pool** out) {
    auto* pool = static_cast<ls_client_conn_pool*>(__kiv_zmalloc(k_tag, KIV_POS, 0, sizeof(ls_client_conn_pool)));
    if (pool == nullptr) return -ENOMEM;
    KIV_BUG_ON(pthread_mutex_init(&pool->mutex, nullptr) != 0);
    if (kiv_hash_map_simple_init(&pool->map, 2 * LS_POOL_CAPACITY) != 0) {
        KIV_BUG_ON(pthread_mutex_destroy(&pool->mutex) != 0);
        __kiv_free(pool);
        return -ENOMEM;
    }
    pool->lru.next = pool->lru.prev = &pool->lru;
    pool->capacity = LS_POOL_CAPACITY;
    *out = pool;
    return 0;
}

void ls_client_conn_pool_destroy(ls_client_conn_pool* pool) {
    if (pool == nullptr) return;
    // Closing a connection takes the loop lock; never wait for it while
    // holding the mutex that loop code takes.
    ls_client_conn* closing[LS_POOL_CAPACITY + 1];
    uint32_t n = 0;
    for (;;) {
        {
            PoolLock lock(pool);
            while (pool->lru.next != &pool->lru && n < LS_POOL_CAPACITY + 1) {
                ls_pool_entry* e = pool->lru.next;
                const uint64_t fs_id = e->fs_id;
                closing[n++] = take_out(pool, e);
                LS_LOG(3, "Removed connection for fs_id %lx from pool", (unsigned long)fs_id);
            }
        }
        if (n == 0) break;
        for (uint32_t i = 0; i < n; i++) ls_client_conn_unref(closing[i]);
        n = 0;
    }
    kiv_hash_map_simple_fini(&pool->map);
    KIV_BUG_ON(pthread_mutex_destroy(&pool->mutex) != 0);
    __kiv_free(pool);
}

int ls_client_conn_pool_get_conn(ls_client_conn_pool* pool, ls_client* client, uint64_t fs_id,
                                 ls_client_conn** out) {
    // The resolver has its own mutex; never take it under the pool's.
    ls_server_entry server;
    int rc = ls_resolver_find_ls(client->resolver, fs_id, &server);
    if (rc != 0) {
        LS_LOG(3, "Failed to get tarn ls address");
        return rc;
    }
    // Connections dropped here are released after the mutex.
    ls_client_conn* dropped[3] = {nullptr, nullptr, nullptr};
    ls_client_conn* conn = nullptr;
    {
        PoolLock lock(pool);
        LS_LOG(4, "Looking for existing connection for fs_id %lx", (unsigned long)fs_id);
        ls_pool_entry* e = find(pool, fs_id);
        if (e != nullptr && same_server(e->conn->server, server)) {
            LS_LOG(4, "Found matching connection for fs_id %lx", (unsigned long)fs_id);
            unlink(e);
            link_newest(pool, e);
            ls_client_conn_ref(e->conn);
            *out = e->conn;
            return 0;
        }
        if (e != nullptr)
            LS_LOG(4, "Connection found for fs_id %lx but RPC address doesn't match", (unsigned long)fs_id);
        else
            LS_LOG(4, "No connection found in the pool for fs_id %lx", (unsigned long)fs_id);
        rc = ls_client_conn_create(client->process, &client->engine, &server, &conn);
        if (rc != 0) {
            LS_LOG(0, "Failed to create ls client connection");
            return rc;
        }
        auto* fresh = static_cast<ls_pool_entry*>(__kiv_zmalloc(k_tag, KIV_POS, 0, sizeof(ls_pool_entry)));
        if (fresh == nullptr) {
            dropped[0] = conn;
            rc = -ENOMEM;
        } else {
            // The stale entry goes first, so it never costs another file
            // system its place.
            const bool replaced = e != nullptr;
            if (replaced) dropped[0] = take_out(pool, e);
            if (pool->count >= pool->capacity && pool->lru.next != &pool->lru) {
                ls_pool_entry* oldest = pool->lru.next;
                const uint64_t old_id = oldest->fs_id;
                dropped[1] = take_out(pool, oldest);
                LS_LOG(3, "Removed connection for fs_id %lx from pool", (unsigned long)old_id);
            }
            fresh->fs_id = fs_id;
            fresh->conn = conn;
            void* value = fresh;
            if (kiv_hash_map_simple_set(&pool->map, fs_id, &value) < 0) {
                __kiv_free(fresh);
                dropped[2] = conn;
                rc = -ENOMEM;
            } else {
                link_newest(pool, fresh);
                pool->count++;
                LS_LOG(3, "Connection for fs_id %lx %s in the pool", (unsigned long)fs_id,
                       replaced ? "replaced existing" : "added as new");
                ls_client_conn_ref(conn);
                *out = conn;
            }
        }
    }
    for (ls_client_conn* d : dropped)
        if (d != nullptr) ls_client_conn_unref(d);
    return rc;
}

uint32_t ls_client_conn_pool_count(ls_client_conn_pool* pool) {
    PoolLock lock(pool);
    return pool->count;
}

const ls_client_conn* ls_client_conn_pool_peek(ls_client_conn_pool* pool, uint64_t fs_id) {
    PoolLock lock(pool);
    ls_pool_entry* e = find(pool, fs_id);
    return e != nullptr ? e->conn : nullptr;
}

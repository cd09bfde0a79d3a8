// MDS resolver over the discovery watcher of "tarn/mds".
#include "client/tarn_mds_resolver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/loop.h"

namespace {

const char* const k_tag = "tarn_mds_resolver";
const char* const k_namespace = "tarn/mds";
constexpr uint32_t k_initial_capacity = 16;

class ResolverLock {
   public:
    explicit ResolverLock(mds_resolver* r) : r_(r) { KIV_BUG_ON(pthread_mutex_lock(&r_->mutex) != 0); }
    ~ResolverLock() { KIV_BUG_ON(pthread_mutex_unlock(&r_->mutex) != 0); }
    ResolverLock(const ResolverLock&) = delete;
    ResolverLock& operator=(const ResolverLock&) = delete;

   private:
    mds_resolver* r_;
};

// The value of the first tag "name:value", or null.
const char* find_tag(const discov_svc* svc, const char* name) {
    const size_t n = strlen(name);
    for (uint32_t i = 0; i < svc->tag_count; i++) {
        const char* tag = svc->tags[i];
        if (tag != nullptr && strncmp(tag, name, n) == 0 && tag[n] == ':') return tag + n + 1;
    }
    return nullptr;
}

kiv_hash_map_simple* new_table(uint32_t capacity) {
    auto* table = static_cast<kiv_hash_map_simple*>(
        __kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(kiv_hash_map_simple)));
    KIV_BUG_ON(kiv_hash_map_simple_init(table, capacity) != 0);
    return table;
}

void free_entry(mds_entry* e) {
    if (e == nullptr) return;
    __kiv_free(e->fs_name);
    __kiv_free(e);
}

void notify_subscribers(mds_resolver* r) {
    ResolverLock lock(r);
    r->cursor = r->subscribers;
    while (r->cursor != nullptr) {
        mds_resolver_subscription* s = r->cursor;
        void (*callback)(void*) = s->callback;
        void* arg = s->arg;
        r->cursor = s->next;
        // The callback may unsubscribe anyone, itself included; unsubscribing
        // moves the cursor past the removed subscription.
        KIV_BUG_ON(pthread_mutex_unlock(&r->mutex) != 0);
        callback(arg);
        KIV_BUG_ON(pthread_mutex_lock(&r->mutex) != 0);
    }
}

void on_service_discovery_update(void* arg) {
    auto* r = static_cast<mds_resolver*>(arg);
    discov_svc_map* map = discov_get_curr_svc_map(r->watcher);
    if (map == nullptr) return;
    mds_resolver_install_map(r, map);
    discov_svc_map_put(map);
}

}  // namespace

int mds_resolver_parse_record(const discov_svc* svc, mds_entry* entry) {
    if (svc->name == nullptr || strcmp(svc->name, "mds") != 0) return -EINVAL;
    const char* fsid = find_tag(svc, "fsid");
    unsigned long fs_id = 0;
    if (fsid == nullptr || sscanf(fsid, "%lx", &fs_id) != 1) return -EINVAL;
    const char* fs_name = find_tag(svc, "fsname");
    if (fs_name == nullptr) return -EINVAL;
    in_addr in;
    if (svc->addr == nullptr || inet_pton(AF_INET, svc->addr, &in) != 1) return -EINVAL;
    entry->fs_name = __kiv_strdup(k_tag, KIV_POS, KIV_MEM_NOFAIL, fs_name);
    entry->fs_id = fs_id;
    entry->host_id = svc->host_id;
    entry->ipv4 = ntohl(in.s_addr);
    entry->port = svc->port;
    return 0;
}

kiv_hash_map_simple* mds_resolver_build_table(const discov_svc_map* map) {
    kiv_hash_map_simple* table = new_table(map->count);
    for (uint32_t i = 0; i < map->count; i++) {
        mds_entry parsed;
        if (mds_resolver_parse_record(&map->records[i], &parsed) != 0) continue;
        auto* entry = static_cast<mds_entry*>(__kiv_malloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(mds_entry)));
        *entry = parsed;
        // A second record for one file system replaces the first; the map
        // never frees what it replaces.
        mds_entry* earlier = nullptr;
        if (void** slot = kiv_hash_map_simple_get(table, entry->fs_id)) earlier = static_cast<mds_entry*>(*slot);
        void* value = entry;
        KIV_BUG_ON(kiv_hash_map_simple_set(table, entry->fs_id, &value) < 0);
        free_entry(earlier);
    }
    return table;
}

void mds_resolver_free_table(kiv_hash_map_simple* table) {
    if (table == nullptr) return;
    for (kiv_hash_map_entry* e = kiv_hash_map_simple_next(table, nullptr); e != nullptr;
         e = kiv_hash_map_simple_next(table, e))
        free_entry(static_cast<mds_entry*>(e->value));
    kiv_hash_map_simple_fini(table);
    __kiv_free(table);
}

void mds_resolver_install_map(mds_resolver* resolver, const discov_svc_map* map) {
    kiv_hash_map_simple* table = mds_resolver_build_table(map);
    {
        ResolverLock lock(resolver);
        kiv_hash_map_simple* old = resolver->table;
        resolver->table = table;
        table = old;
    }
    mds_resolver_free_table(table);
    notify_subscribers(resolver);
}

int mds_resolver_create(discov* discovery, kiv_process* process, mds_resolver** out) {
    KIV_BUG_ON(kiv_in_loop_context());
    auto* r = static_cast<mds_resolver*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(mds_resolver)));
    r->discovery = discov_narrow_namespace(discovery, k_namespace);
    r->process = process;
    KIV_BUG_ON(pthread_mutex_init(&r->mutex, nullptr) != 0);
    r->table = new_table(k_initial_capacity);
    kiv_move_to_coroutine(process);
    int rc = discov_co_start_watching(r->discovery, on_service_discovery_update, r, &r->watcher);
    kiv_move_from_coroutine();
    if (rc < 0) {
        mds_resolver_free_table(r->table);
        KIV_BUG_ON(pthread_mutex_destroy(&r->mutex) != 0);
        discov_destroy(r->discovery);
        __kiv_free(r);
        return rc;
    }
    *out = r;
    return 0;
}

void mds_resolver_destroy(mds_resolver* resolver) {
    KIV_BUG_ON(kiv_in_loop_context());
    kiv_move_to_coroutine(resolver->process);
    discov_co_stop_watching(resolver->watcher);
    kiv_move_from_coroutine();
    resolver->watcher = nullptr;
    mds_resolver_free_table(resolver->table);
    // Subscriptions belong to calls that finish before the client goes;
    // whatever is left is freed with the resolver.
    while (resolver->subscribers != nullptr) {
        mds_resolver_subscription* s = resolver->subscribers;
        resolver->subscribers = s->next;
        __kiv_free(s);
    }
    KIV_BUG_ON(pthread_mutex_destroy(&resolver->mutex) != 0);
    discov_destroy(resolver->discovery);
    __kiv_free(resolver);
}

int mds_resolver_find_fs(mds_resolver* resolver, const char* fs_name, uint64_t* fs_id) {
    ResolverLock lock(resolver);
    for (kiv_hash_map_entry* e = kiv_hash_map_simple_next(resolver->table, nullptr); e != nullptr;
         e = kiv_hash_map_simple_next(resolver->table, e)) {
        const auto* entry = static_cast<const mds_entry*>(e->value);
        if (strcmp(entry->fs_name, fs_name) == 0) {
            *fs_id = entry->fs_id;
            return 0;
        }
    }
    return -ENOENT;
}

int mds_resolver_find_mds(mds_resolver* resolver, uint64_t fs_id, tarn_host_addr* out) {
    ResolverLock lock(resolver);
    void** slot = kiv_hash_map_simple_get(resolver->table, fs_id);
    if (slot == nullptr) return -ENOENT;
    const auto* entry = static_cast<const mds_entry*>(*slot);
    out->host_id = entry->host_id;
    out->ipv4 = entry->ipv4;
    out->port = entry->port;
    return 0;
}

mds_resolver_subscription* mds_resolver_subscribe(mds_resolver* resolver, void (*callback)(void* arg), void* arg) {
    auto* s = static_cast<mds_resolver_subscription*>(
        __kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(mds_resolver_subscription)));
    s->resolver = resolver;
    s->callback = callback;
    s->arg = arg;
    ResolverLock lock(resolver);
    s->next = resolver->subscribers;
    if (s->next != nullptr) s->next->prev = s;
    resolver->subscribers = s;
    return s;
}

void mds_resolver_unsubscribe(mds_resolver_subscription* subscription) {
    mds_resolver* r = subscription->resolver;
    {
        ResolverLock lock(r);
        if (r->cursor == subscription) r->cursor = subscription->next;
        if (subscription->prev != nullptr)
            subscription->prev->next = subscription->next;
        else
            r->subscribers = subscription->next;
        if (subscription->next != nullptr) subscription->next->prev = subscription->prev;
    }
    __kiv_free(subscription);
}

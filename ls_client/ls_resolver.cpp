// Lock-server resolver over the discovery watcher of "tarn/ls".
#include "ls_client/ls_resolver.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "discovery/discov.h"
#include "kiv/base.h"

namespace {

const char* const k_tag = "ls_resolver";
const char* const k_namespace = "tarn/ls";
constexpr uint32_t k_value_words = sizeof(ls_server_entry) / 8;
static_assert(sizeof(ls_server_entry) % 8 == 0, "table values are whole words");
// "address:port" as the registry gives them; an IPv6 address with its
// port fits exactly.
constexpr size_t k_addr_text = 46;

class ResolverLock {
   public:
    explicit ResolverLock(ls_resolver* r) : r_(r) { KIV_BUG_ON(pthread_mutex_lock(&r_->mutex) != 0); }
    ~ResolverLock() { KIV_BUG_ON(pthread_mutex_unlock(&r_->mutex) != 0); }
    ResolverLock(const ResolverLock&) = delete;
    ResolverLock& operator=(const ResolverLock&) = delete;

   private:
    ls_resolver* r_;
};

kiv_hash_map* new_table(uint32_t capacity) {
    auto* t = static_cast<kiv_hash_map*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(kiv_hash_map)));
    KIV_BUG_ON(kiv_hash_map_init(t, k_value_words, capacity < 16 ? 16 : capacity, KIV_HASH_MAP_COPY_VALUES) != 0);
    return t;
}

void free_table(kiv_hash_map* t) {
    if (t == nullptr) return;
    kiv_hash_map_fini(t);
    __kiv_free(t);
}

// Only the first tag that is "fsid:..." counts, whether or not it parses.
const char* first_fsid_value(const discov_svc* svc) {
    for (uint32_t i = 0; i < svc->tag_count; i++) {
        const char* tag = svc->tags[i];
        if (tag != nullptr && strncmp(tag, "fsid", 4) == 0 && tag[4] == ':') return tag + 5;
    }
    return nullptr;
}

void on_service_discovery_update(void* arg) {
    auto* r = static_cast<ls_resolver*>(arg);
    discov_svc_map* map = discov_get_curr_svc_map(r->watcher);
    if (map == nullptr) return;
    ls_resolver_install_map(r, map);
    discov_svc_map_put(map);
}

}  // namespace

int ls_resolver_parse_record(const discov_svc* svc, ls_server_entry* out) {
    if (svc->name == nullptr || strcmp(svc->name, "ls") != 0) return -EINVAL;
    const char* fsid = first_fsid_value(svc);
    unsigned long fs_id = 0;
    if (fsid == nullptr || sscanf(fsid, "%lx", &fs_id) != 1) return -EINVAL;
    if (svc->addr == nullptr) return -EINVAL;
    char text[k_addr_text];
    int n = snprintf(text, sizeof text, "%s:%u", svc->addr, unsigned(svc->port));
    // A cut text could parse as some other address.
    if (n < 0 || size_t(n) >= sizeof text) return -EINVAL;
    kiv_netaddr addr;
    if (kiv_parse_netaddr(text, &addr) < 0) return -EINVAL;
    out->host_id = svc->host_id;
    out->fs_id = fs_id;
    out->addr = addr;
    return 0;
}

void ls_resolver_install_map(ls_resolver* r, const discov_svc_map* map) {
    kiv_hash_map* table = new_table(map->count);
    for (uint32_t i = 0; i < map->count; i++) {
        ls_server_entry e;
        if (ls_resolver_parse_record(&map->records[i], &e) != 0) continue;
        // Of two records for one file system the later one stays; a
        // replaced value is a copy, so nothing leaks.
        KIV_BUG_ON(kiv_hash_map_set(table, e.fs_id, &e) < 0);
    }
    {
        ResolverLock lock(r);
        kiv_hash_map* old = r->table;
        r->table = table;
        table = old;
    }
    free_table(table);
}

int ls_resolver_create(kiv_process* p, const char* cluster, ls_resolver** out) {
    KIV_BUG_ON(kiv_in_loop_context());
    if (cluster == nullptr || cluster[0] == '\0') return -EINVAL;
    auto* r = static_cast<ls_resolver*>(__kiv_zmalloc(k_tag, KIV_POS, 0, sizeof(ls_resolver)));
    if (r == nullptr) return -ENOMEM;
    int rc = discov_create(cluster, k_namespace, DISCOV_MODE_READ_ONLY, p, &r->discovery);
    if (rc != 0) {
        __kiv_free(r);
        return rc < 0 ? rc : -EIO;
    }
    KIV_BUG_ON(pthread_mutex_init(&r->mutex, nullptr) != 0);
    r->table = new_table(16);
    r->process = p;
    kiv_move_to_coroutine(p);
    rc = discov_co_start_watching(r->discovery, on_service_discovery_update, r, &r->watcher);
    kiv_move_from_coroutine();
    if (rc != 0) {
        discov_destroy(r->discovery);
        free_table(r->table);
        KIV_BUG_ON(pthread_mutex_destroy(&r->mutex) != 0);
        __kiv_free(r);
        return rc < 0 ? rc : -EIO;
    }
    *out = r;
    return 0;
}

void ls_resolver_destroy(ls_resolver* r) {
    if (r == nullptr) return;
    KIV_BUG_ON(kiv_in_loop_context());
    kiv_move_to_coroutine(r->process);
    discov_co_stop_watching(r->watcher);
    kiv_move_from_coroutine();
    r->watcher = nullptr;
    free_table(r->table);
    discov_destroy(r->discovery);
    KIV_BUG_ON(pthread_mutex_destroy(&r->mutex) != 0);
    __kiv_free(r);
}

int ls_resolver_find_ls(ls_resolver* r, uint64_t fs_id, ls_server_entry* out) {
    ResolverLock lock(r);
    const void* v = kiv_hash_map_get(r->table, fs_id);
    if (v == nullptr) return -ENOENT;
    memcpy(out, v, sizeof *out);
    return 0;
}

int ls_resolver_get_ls_list(ls_resolver* r, ls_list* out) {
    ls_list_init(out);
    int rc = 0;
    {
        ResolverLock lock(r);
        for (kiv_hash_map_entry* e = kiv_hash_map_next(r->table, nullptr); e != nullptr;
             e = kiv_hash_map_next(r->table, e)) {
            ls_server_entry entry;
            memcpy(&entry, e->value, sizeof entry);
            rc = ls_list_add_item(out, e->key, &entry);
            if (rc != 0) break;
        }
    }
    if (rc != 0) ls_list_fini(out);
    return rc;
}

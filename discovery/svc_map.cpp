// Service records and reference-counted service maps.
#include "discovery/svc_map.h"

#include <string.h>

#include "discovery/discov.h"
#include "kiv/base.h"

namespace {

const char* const k_tag = "discov_svc_map";

void fini_records(discov_svc_map* map) {
    for (uint32_t i = 0; i < map->count; ++i) discov_svc_fini(&map->records[i]);
    __kiv_free(map->records);
    map->records = nullptr;
    map->count = 0;
}

}  // namespace

void discov_svc_init(discov_svc* svc) { memset(svc, 0, sizeof(*svc)); }

void discov_svc_fini(discov_svc* svc) {
    if (svc == nullptr) return;
    __kiv_free(svc->name);
    __kiv_free(svc->id);
    if (svc->tags != nullptr) {
        for (uint32_t i = 0; i < svc->tag_count; ++i) __kiv_free(svc->tags[i]);
        __kiv_free(svc->tags);
    }
    __kiv_free(svc->addr);
    discov_svc_init(svc);
}

discov_svc_map* dsc_svc_map_create(void) {
    auto* map = static_cast<discov_svc_map*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(discov_svc_map)));
    __atomic_store_n(&map->refcount, 1u, __ATOMIC_RELAXED);
    return map;
}

void dsc_svc_map_ref(discov_svc_map* map) {
    uint32_t old = __atomic_fetch_add(&map->refcount, 1u, __ATOMIC_RELAXED);
    KIV_BUG_ON(old == 0 || old == UINT32_MAX);
}

void dsc_svc_map_unref(discov_svc_map* map) {
    if (map == nullptr) return;
    uint32_t old = __atomic_fetch_sub(&map->refcount, 1u, __ATOMIC_ACQ_REL);
    KIV_BUG_ON(old == 0);
    if (old != 1) return;
    fini_records(map);
    __kiv_free(map);
}

void dsc_svc_map_reserve(discov_svc_map* map, uint32_t capacity) {
    KIV_BUG_ON(capacity < map->count);
    if (capacity == 0) {
        __kiv_free(map->records);
        map->records = nullptr;
        return;
    }
    auto* records = static_cast<discov_svc*>(
        __kiv_realloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, map->records, size_t{capacity} * sizeof(discov_svc)));
    memset(records + map->count, 0, size_t{capacity - map->count} * sizeof(discov_svc));
    map->records = records;
}

void dsc_svc_map_clear(discov_svc_map* map) {
    fini_records(map);
    map->generation = 0;
    __atomic_store_n(&map->refcount, 1u, __ATOMIC_RELAXED);
}

void discov_svc_map_put(discov_svc_map* map) { dsc_svc_map_unref(map); }

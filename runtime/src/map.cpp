// Open-addressing hash maps with linear probing and tombstones.
//
// The entry records returned by _next are the slots themselves, so the next
// position is known from the pointer even after its entry was deleted: a
// delete only marks the slot and never moves or shrinks anything. Growth and
// tombstone purging happen only in _set, which invalidates pointers anyway.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "kiv/base.h"
#include "kiv/map.h"

namespace {

enum : uint8_t { kEmpty = 0, kLive = 1, kTomb = 2 };
// Internal: the value is the pointer kept in the entry itself.
constexpr uint32_t kSimple = 1u << 31;
constexpr uint32_t kMinCapacity = 8;
constexpr uint32_t kMaxCapacity = 1u << 30;

uint64_t mix(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

size_t value_size(const kiv_hash_map* m) { return size_t(m->value_words) * 8; }

bool simple(const kiv_hash_map* m) { return m->flags & kSimple; }

// Slot of a live `key`, or -1.
int64_t find(const kiv_hash_map* m, uint64_t key) {
    if (m->capacity == 0) return -1;
    const uint32_t mask = m->capacity - 1;
    for (uint32_t i = uint32_t(mix(key)) & mask;; i = (i + 1) & mask) {
        if (m->ctrl[i] == kEmpty) return -1;
        if (m->ctrl[i] == kLive && m->entries[i].key == key) return i;
    }
}

void place(kiv_hash_map* m, uint32_t i, uint64_t key, const void* value) {
    m->entries[i].key = key;
    if (simple(m)) {
        m->entries[i].value = *static_cast<void* const*>(value);
    } else {
        uint8_t* v = m->values + i * value_size(m);
        memcpy(v, value, value_size(m));
        // A map without value words still answers _get with a non-NULL pointer.
        m->entries[i].value = value_size(m) ? static_cast<void*>(v) : static_cast<void*>(&m->entries[i]);
    }
    m->ctrl[i] = kLive;
}

int allocate(kiv_hash_map* m, uint32_t cap) {
    const size_t vsize = value_size(m);
    const size_t bytes = size_t(cap) * (sizeof(kiv_hash_map_entry) + vsize + 1);
    uint8_t* base = static_cast<uint8_t*>(__kiv_malloc("hash_map", KIV_POS, 0, bytes));
    if (!base) return -ENOMEM;
    m->entries = reinterpret_cast<kiv_hash_map_entry*>(base);
    m->values = base + size_t(cap) * sizeof(kiv_hash_map_entry);
    m->ctrl = m->values + size_t(cap) * vsize;
    memset(m->ctrl, kEmpty, cap);
    m->capacity = cap;
    m->used = 0;
    m->tombstones = 0;
    return 0;
}

int rehash(kiv_hash_map* m, uint32_t cap) {
    kiv_hash_map old = *m;
    if (allocate(m, cap) != 0) {
        *m = old;
        return -ENOMEM;
    }
    const uint32_t mask = cap - 1;
    for (uint32_t j = 0; j < old.capacity; j++) {
        if (old.ctrl[j] != kLive) continue;
        uint32_t i = uint32_t(mix(old.entries[j].key)) & mask;
        while (m->ctrl[i] != kEmpty) i = (i + 1) & mask;
        place(m, i, old.entries[j].key, simple(m) ? static_cast<const void*>(&old.entries[j].value)
                                                   : old.values + j * value_size(m));
        m->used++;
    }
    __kiv_free(old.entries);
    return 0;
}

uint32_t capacity_for(uint32_t count) {
    uint32_t cap = kMinCapacity;
    // Keep the load at or under one half after sizing.
    while (cap < kMaxCapacity && uint64_t(count) * 2 > cap) cap *= 2;
    return cap;
}

int init(kiv_hash_map* m, uint32_t value_words, uint32_t capacity, uint32_t flags) {
    memset(m, 0, sizeof(*m));
    m->value_words = value_words;
    m->flags = flags;
    return allocate(m, capacity_for(capacity));
}

int set(kiv_hash_map* m, uint64_t key, const void* value) {
    int64_t at = find(m, key);
    if (at >= 0) {
        place(m, uint32_t(at), key, value);
        return 0;
    }
    if (m->capacity == 0 || uint64_t(m->used + m->tombstones + 1) * 4 > uint64_t(m->capacity) * 3) {
        if (m->used + 1 >= kMaxCapacity / 2) return -ENOMEM;
        if (rehash(m, capacity_for(m->used + 1)) != 0) return -ENOMEM;
    }
    const uint32_t mask = m->capacity - 1;
    uint32_t i = uint32_t(mix(key)) & mask;
    while (m->ctrl[i] == kLive) i = (i + 1) & mask;
    if (m->ctrl[i] == kTomb) m->tombstones--;
    place(m, i, key, value);
    m->used++;
    return 1;
}

int del(kiv_hash_map* m, uint64_t key) {
    int64_t at = find(m, key);
    if (at < 0) return -ENOENT;
    const uint32_t i = uint32_t(at);
    // The entry's key and value stay readable until the next _set.
    if (m->ctrl[(i + 1) & (m->capacity - 1)] == kEmpty) {
        m->ctrl[i] = kEmpty;
    } else {
        m->ctrl[i] = kTomb;
        m->tombstones++;
    }
    m->used--;
    return 0;
}

kiv_hash_map_entry* next(kiv_hash_map* m, kiv_hash_map_entry* prev) {
    uint32_t i = 0;
    if (prev) {
        if (prev < m->entries || prev >= m->entries + m->capacity) return nullptr;
        i = uint32_t(prev - m->entries) + 1;
    }
    for (; i < m->capacity; i++)
        if (m->ctrl[i] == kLive) return &m->entries[i];
    return nullptr;
}

void fini(kiv_hash_map* m) {
    __kiv_free(m->entries);
    memset(m, 0, sizeof(*m));
}

}  // namespace

int kiv_hash_map_init(kiv_hash_map* m, uint32_t value_words, uint32_t capacity, uint32_t flags) {
    if (!(flags & KIV_HASH_MAP_COPY_VALUES) || (flags & kSimple)) {
        memset(m, 0, sizeof(*m));
        return -EINVAL;
    }
    return init(m, value_words, capacity, flags);
}

int kiv_hash_map_set(kiv_hash_map* m, uint64_t key, const void* value) { return set(m, key, value); }

void* kiv_hash_map_get(kiv_hash_map* m, uint64_t key) {
    int64_t at = find(m, key);
    return at < 0 ? nullptr : m->entries[at].value;
}

int kiv_hash_map_del(kiv_hash_map* m, uint64_t key) { return del(m, key); }
kiv_hash_map_entry* kiv_hash_map_next(kiv_hash_map* m, kiv_hash_map_entry* prev) { return next(m, prev); }
void kiv_hash_map_fini(kiv_hash_map* m) { fini(m); }

int kiv_hash_map_simple_init(kiv_hash_map_simple* m, uint32_t capacity_hint) {
    return init(&m->map, 0, capacity_hint, kSimple);
}

int kiv_hash_map_simple_set(kiv_hash_map_simple* m, uint64_t key, void* const* value) {
    // A zero-filled simple map has not been marked simple yet.
    m->map.flags |= kSimple;
    return set(&m->map, key, value);
}

void** kiv_hash_map_simple_get(kiv_hash_map_simple* m, uint64_t key) {
    int64_t at = find(&m->map, key);
    return at < 0 ? nullptr : &m->map.entries[at].value;
}

int kiv_hash_map_simple_del(kiv_hash_map_simple* m, uint64_t key) { return del(&m->map, key); }
kiv_hash_map_entry* kiv_hash_map_simple_next(kiv_hash_map_simple* m, kiv_hash_map_entry* prev) {
    return next(&m->map, prev);
}
void kiv_hash_map_simple_fini(kiv_hash_map_simple* m) { fini(&m->map); }

// Open-addressing hash maps keyed by 64-bit values.
//
// _set returns 1 when the key is new, 0 when it replaced a value, <0 on
// failure (-ENOMEM); the map never frees replaced values. Pointers returned
// by _get and _next stay valid until the next _set or _fini. _next stays
// correct after deleting the entry it just returned. Fields are private.
#pragma once

#include <stdint.h>

struct kiv_hash_map_entry {
    uint64_t key;
    void* value;
};

enum : uint32_t { KIV_HASH_MAP_COPY_VALUES = 1 };

// A zero-filled map is empty and valid for _get, _del, _next and _fini.
struct kiv_hash_map {
    kiv_hash_map_entry* entries;  // `capacity` slots; _next returns them directly
    uint8_t* values;              // generic maps: value_words*8 bytes per slot
    uint8_t* ctrl;                // slot states
    uint32_t value_words;
    uint32_t capacity;            // 0 or a power of two
    uint32_t used;
    uint32_t tombstones;
    uint32_t flags;
};

int kiv_hash_map_init(kiv_hash_map* m, uint32_t value_words, uint32_t capacity, uint32_t flags);
int kiv_hash_map_set(kiv_hash_map* m, uint64_t key, const void* value);
void* kiv_hash_map_get(kiv_hash_map* m, uint64_t key);
int kiv_hash_map_del(kiv_hash_map* m, uint64_t key);
kiv_hash_map_entry* kiv_hash_map_next(kiv_hash_map* m, kiv_hash_map_entry* prev);
void kiv_hash_map_fini(kiv_hash_map* m);

struct kiv_hash_map_simple {
    kiv_hash_map map;
};

int kiv_hash_map_simple_init(kiv_hash_map_simple* m, uint32_t capacity_hint);
int kiv_hash_map_simple_set(kiv_hash_map_simple* m, uint64_t key, void* const* value);
void** kiv_hash_map_simple_get(kiv_hash_map_simple* m, uint64_t key);
int kiv_hash_map_simple_del(kiv_hash_map_simple* m, uint64_t key);
kiv_hash_map_entry* kiv_hash_map_simple_next(kiv_hash_map_simple* m, kiv_hash_map_entry* prev);
void kiv_hash_map_simple_fini(kiv_hash_map_simple* m);

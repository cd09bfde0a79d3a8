// The registry's durable state: an ordered key-value map with versions, a
// generation that counts every change, and a bounded log of recent changes
// that long-polling watchers read. One mutex makes every call atomic, so a
// page of a listing is a consistent snapshot.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

enum : uint32_t {
    LC_REG_MAX_KEY = 4096,
    LC_REG_MAX_VALUE = 65536,
    LC_REG_ITEM_HDR = 56,  // bytes an item costs on the wire besides key and value
    LC_REG_LOG_CAPACITY = 65536,
};

// An item as handed out: the stored item, or (watch answers only) the
// tombstone of a deleted key carrying its last value.
struct lc_reg_item {
    std::string key;
    std::string value;
    uint64_t version = 0;
    uint32_t flags = 0;  // LC_REG_ITEM_TOMBSTONE for a deleted key
};

enum : uint32_t { LC_REG_ITEM_TOMBSTONE = 0x1 };

// How much one answer may carry. `max_bytes` counts whole items (header,
// key and value). The first item is always given, so paging always
// progresses.
struct lc_reg_page_limits {
    uint32_t max_items;
    uint32_t max_bytes;
};

enum lc_reg_watch_result { LC_REG_WATCH_STALE, LC_REG_WATCH_NONE, LC_REG_WATCH_CHANGES };

struct lc_regstore;

// `log_capacity` = entries kept in the change log (LC_REG_LOG_CAPACITY in
// a cluster; smaller in tests).
lc_regstore* lc_regstore_create(uint32_t log_capacity);
void lc_regstore_destroy(lc_regstore* s);

// `fn(ctx)` runs after every change, under the store's mutex: it must only
// signal (for example wake a job), never call back into the store. NULL
// removes it; once this returns the old listener is never called again.
void lc_regstore_set_listener(lc_regstore* s, void (*fn)(void* ctx), void* ctx);

uint64_t lc_regstore_generation(lc_regstore* s);
// A registry that lost its counters: the items stay, the generation starts
// over at 1 and every item is written again (in key order), so the
// generation becomes 1 + the item count, usually lower than before.
// Watchers that remember a later generation are told they are stale.
// Returns the new generation.
uint64_t lc_regstore_restart(lc_regstore* s);
uint64_t lc_regstore_floor(lc_regstore* s);
size_t lc_regstore_count(lc_regstore* s);

// The operations answer a registry status (0, 8, 29 or 203, as in
// discovery/kvstore_msg.h) and set *gen to the generation after the call.
// With `cmp`, put and delete act only if the stored version (0 when absent)
// equals `expected`.
uint32_t lc_regstore_put(lc_regstore* s, std::string_view key, std::string_view value, bool cmp,
                         uint64_t expected, uint64_t* gen);
uint32_t lc_regstore_get(lc_regstore* s, std::string_view key, lc_reg_item* out, uint64_t* gen);
uint32_t lc_regstore_delete(lc_regstore* s, std::string_view key, bool cmp, uint64_t expected, uint64_t* gen);

// Items with start <= key < end (start < key with `start_after`); an empty
// `end` is unbounded. *more tells whether another such key remains.
void lc_regstore_range(lc_regstore* s, std::string_view start, std::string_view end, bool start_after,
                       const lc_reg_page_limits& limits, std::vector<lc_reg_item>* out, bool* more,
                       uint64_t* gen);

// A watch from generation `g` over [start, end). STALE when g is ahead of
// the store or older than the log keeps; CHANGES with one item per key of
// the range changed after g (the current item, or a tombstone whose version
// is the deletion's generation); NONE when nothing in range changed.
// `*scanned` (at least g) lets a parked watch read only the log entries
// that arrived since its last look; it is advanced to the generation read.
// With `out` null it only tells whether there is an answer.
lc_reg_watch_result lc_regstore_watch(lc_regstore* s, uint64_t g, uint64_t* scanned, std::string_view start,
                                      std::string_view end, const lc_reg_page_limits& limits,
                                      std::vector<lc_reg_item>* out, uint64_t* gen);

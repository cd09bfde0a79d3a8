#include "localcluster/registry/registry_store.h"

#include <map>
#include <mutex>
#include <set>

#include "discovery/kvstore_msg.h"

namespace {

struct Stored {
    std::string value;
    uint64_t version;
    uint32_t flags;
};

struct LogEntry {
    uint64_t gen = 0;
    std::string key;
    bool deleted = false;
    std::string last_value;  // deletes only: the value the key had
};

bool in_range(std::string_view key, std::string_view start, std::string_view end) {
    return key >= start && (end.empty() || key < end);
}

size_t wire_size(const std::string& key, const std::string& value) { return LC_REG_ITEM_HDR + key.size() + value.size(); }

}  // namespace

struct lc_regstore {
    std::mutex mu;
    // std::less<> compares bytes as unsigned chars, so a key that is a prefix
    // of another sorts first, as memcmp order wants.
    std::map<std::string, Stored, std::less<>> items;
    uint64_t gen = 1;
    uint64_t floor = 0;
    uint32_t log_capacity;
    std::vector<LogEntry> log;  // grows to log_capacity, then wraps; gen g at (g - 1) % capacity
    void (*listener)(void*) = nullptr;
    void* listener_ctx = nullptr;

    // mu held.
    void record(const std::string& key, bool deleted, std::string last_value) {
        gen++;
        LogEntry e;
        e.gen = gen;
        e.key = key;
        e.deleted = deleted;
        e.last_value = std::move(last_value);
        size_t idx = size_t((gen - 1) % log_capacity);
        if (log.size() < log_capacity) {
            // Generation 1 has no change, so slot 0 stays empty until the ring wraps.
            if (log.size() < idx) log.resize(idx);
            log.push_back(std::move(e));
        } else {
            floor = log[idx].gen;
            log[idx] = std::move(e);
        }
        if (listener) listener(listener_ctx);
    }

    const LogEntry& entry(uint64_t g) const { return log[size_t((g - 1) % log_capacity)]; }
};

lc_regstore* lc_regstore_create(uint32_t log_capacity) {
    auto* s = new lc_regstore;
    s->log_capacity = log_capacity ? log_capacity : LC_REG_LOG_CAPACITY;
    return s;
}

void lc_regstore_destroy(lc_regstore* s) { delete s; }

void lc_regstore_set_listener(lc_regstore* s, void (*fn)(void*), void* ctx) {
    std::lock_guard<std::mutex> g(s->mu);
    s->listener = fn;
    s->listener_ctx = ctx;
}

uint64_t lc_regstore_generation(lc_regstore* s) {
    std::lock_guard<std::mutex> g(s->mu);
    return s->gen;
}

uint64_t lc_regstore_floor(lc_regstore* s) {
    std::lock_guard<std::mutex> g(s->mu);
    return s->floor;
}

size_t lc_regstore_count(lc_regstore* s) {
    std::lock_guard<std::mutex> g(s->mu);
    return s->items.size();
}

static bool key_ok(std::string_view key) { return !key.empty() && key.size() <= LC_REG_MAX_KEY; }

uint32_t lc_regstore_put(lc_regstore* s, std::string_view key, std::string_view value, bool cmp,
                         uint64_t expected, uint64_t* gen) {
    std::lock_guard<std::mutex> g(s->mu);
    *gen = s->gen;
    if (!key_ok(key) || value.empty() || value.size() > LC_REG_MAX_VALUE) return KV_STATUS_INVALID;
    auto it = s->items.find(key);
    if (cmp && (it == s->items.end() ? 0 : it->second.version) != expected) return KV_STATUS_VERSION_MISMATCH;
    std::string k(key);
    s->record(k, false, {});
    if (it == s->items.end())
        s->items.emplace(std::move(k), Stored{std::string(value), s->gen, 0});
    else
        it->second = Stored{std::string(value), s->gen, 0};
    *gen = s->gen;
    return KV_STATUS_OK;
}

uint32_t lc_regstore_get(lc_regstore* s, std::string_view key, lc_reg_item* out, uint64_t* gen) {
    std::lock_guard<std::mutex> g(s->mu);
    *gen = s->gen;
    if (!key_ok(key)) return KV_STATUS_INVALID;
    auto it = s->items.find(key);
    if (it == s->items.end()) return KV_STATUS_NOT_FOUND;
    out->key = it->first;
    out->value = it->second.value;
    out->version = it->second.version;
    out->flags = it->second.flags;
    return KV_STATUS_OK;
}

uint32_t lc_regstore_delete(lc_regstore* s, std::string_view key, bool cmp, uint64_t expected, uint64_t* gen) {
    std::lock_guard<std::mutex> g(s->mu);
    *gen = s->gen;
    if (!key_ok(key)) return KV_STATUS_INVALID;
    auto it = s->items.find(key);
    if (it == s->items.end()) return KV_STATUS_NOT_FOUND;
    if (cmp && it->second.version != expected) return KV_STATUS_VERSION_MISMATCH;
    std::string last = std::move(it->second.value);
    std::string k = it->first;
    s->items.erase(it);
    s->record(k, true, std::move(last));
    *gen = s->gen;
    return KV_STATUS_OK;
}

// Appends while the limits allow; the first item always goes in.
static bool fits(const std::vector<lc_reg_item>& out, size_t used, size_t next, const lc_reg_page_limits& lim) {
    if (out.empty()) return true;
    return out.size() < lim.max_items && used + next <= lim.max_bytes;
}

void lc_regstore_range(lc_regstore* s, std::string_view start, std::string_view end, bool start_after,
                       const lc_reg_page_limits& limits, std::vector<lc_reg_item>* out, bool* more,
                       uint64_t* gen) {
    std::lock_guard<std::mutex> g(s->mu);
    *gen = s->gen;
    *more = false;
    size_t used = 0;
    auto it = start_after ? s->items.upper_bound(start) : s->items.lower_bound(start);
    for (; it != s->items.end(); ++it) {
        if (!end.empty() && std::string_view(it->first) >= end) break;
        size_t sz = wire_size(it->first, it->second.value);
        if (!fits(*out, used, sz, limits)) {
            *more = true;
            break;
        }
        out->push_back(lc_reg_item{it->first, it->second.value, it->second.version, it->second.flags});
        used += sz;
    }
}

lc_reg_watch_result lc_regstore_watch(lc_regstore* s, uint64_t g, uint64_t* scanned, std::string_view start,
                                      std::string_view end, const lc_reg_page_limits& limits,
                                      std::vector<lc_reg_item>* out, uint64_t* gen) {
    std::lock_guard<std::mutex> lk(s->mu);
    *gen = s->gen;
    if (g > s->gen || g < s->floor) return LC_REG_WATCH_STALE;
    // Generation 1 is the empty store: the log starts with generation 2.
    uint64_t first = g < 1 ? 1 : g;
    uint64_t from = *scanned > first ? *scanned : first;
    bool hit = false;
    for (uint64_t x = from + 1; x <= s->gen && !hit; x++) hit = in_range(s->entry(x).key, start, end);
    *scanned = s->gen;
    if (!hit) return LC_REG_WATCH_NONE;
    if (!out) return LC_REG_WATCH_CHANGES;

    // The newest change of each key decides what the watcher sees of it.
    std::map<std::string_view, const LogEntry*> changed;
    for (uint64_t x = first + 1; x <= s->gen; x++) {
        const LogEntry& e = s->entry(x);
        if (in_range(e.key, start, end)) changed[e.key] = &e;
    }
    size_t used = 0;
    for (const auto& [key, e] : changed) {
        lc_reg_item item;
        auto it = s->items.find(key);
        if (it != s->items.end()) {
            item = lc_reg_item{it->first, it->second.value, it->second.version, it->second.flags};
        } else {
            item = lc_reg_item{e->key, e->last_value, e->gen, LC_REG_ITEM_TOMBSTONE};
        }
        size_t sz = wire_size(item.key, item.value);
        if (!fits(*out, used, sz, limits)) break;
        out->push_back(std::move(item));
        used += sz;
    }
    return LC_REG_WATCH_CHANGES;
}

uint64_t lc_regstore_restart(lc_regstore* s) {
    std::lock_guard<std::mutex> g(s->mu);
    // The items survive; the generation and the change log start over, and
    // every item is written again in key order, as a registry rebuilt from
    // its items alone would.
    s->gen = 1;
    s->floor = 0;
    s->log.clear();
    for (auto& [key, stored] : s->items) {
        s->record(key, false, {});
        stored.version = s->gen;
    }
    return s->gen;
}

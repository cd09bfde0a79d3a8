// Statistics registry. Updates are lock-free atomics; only creating a metric
// or a labelled child takes a lock, and finding an existing child takes a
// shared one.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "kiv/stats.h"

struct kiv_stats_metric {
    kiv_stats_kind kind;
    std::string name;
    std::string help;
    std::vector<std::string> labels;
    std::vector<double> bounds;

    std::atomic<double> value{0.0};  // counters and gauges
    std::unique_ptr<std::atomic<uint64_t>[]> buckets;  // bounds.size() + 1 (+Inf)
    std::atomic<uint64_t> count{0};
    std::atomic<double> sum{0.0};

    std::shared_mutex children_mutex;
    // Key: the label values, each prefixed by its length so no value can fake a boundary.
    std::unordered_map<std::string, std::unique_ptr<kiv_stats_metric>> children;
};

struct kiv_stats_registry {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<kiv_stats_metric>> metrics;
};

namespace {

std::vector<std::string> label_list(const char* const* labels) {
    std::vector<std::string> out;
    if (labels)
        for (; *labels && **labels; labels++) out.emplace_back(*labels);
    return out;
}

std::unique_ptr<kiv_stats_metric> make_metric(kiv_stats_kind kind, const std::string& name, const std::string& help,
                                              std::vector<std::string> labels, const std::vector<double>& bounds) {
    auto m = std::make_unique<kiv_stats_metric>();
    m->kind = kind;
    m->name = name;
    m->help = help;
    m->labels = std::move(labels);
    m->bounds = bounds;
    if (kind == KIV_STATS_HIST) {
        m->buckets.reset(new std::atomic<uint64_t>[bounds.size() + 1]);
        for (size_t i = 0; i <= bounds.size(); i++) m->buckets[i].store(0, std::memory_order_relaxed);
    }
    return m;
}

kiv_stats_metric* new_metric(kiv_stats_registry* reg, kiv_stats_kind kind, const char* name, const char* help,
                             const double* bounds, uint32_t n, const char* const* labels) {
    if (!reg || !name || !*name || (n && !bounds)) return nullptr;
    try {
        std::vector<double> b(bounds, bounds + n);
        for (uint32_t i = 0; i < n; i++)
            if (isnan(b[i]) || (i && !(b[i - 1] < b[i]))) return nullptr;
        std::vector<std::string> l = label_list(labels);

        std::lock_guard<std::mutex> g(reg->mutex);
        auto it = reg->metrics.find(name);
        if (it != reg->metrics.end()) {
            kiv_stats_metric* m = it->second.get();
            return m->kind == kind && m->labels == l ? m : nullptr;
        }
        auto m = make_metric(kind, name, help ? help : "", std::move(l), b);
        kiv_stats_metric* raw = m.get();
        reg->metrics.emplace(name, std::move(m));
        return raw;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// The metric that `values` selects: `m` itself for NULL values or an
// unlabelled metric, else its child (created on first use).
kiv_stats_metric* resolve(kiv_stats_metric* m, const char* const* values) {
    if (!m || !values || m->labels.empty()) return m;
    try {
        std::string key;
        for (size_t i = 0; i < m->labels.size(); i++) {
            if (!values[i]) return nullptr;
            uint32_t len = uint32_t(strlen(values[i]));
            key.append(reinterpret_cast<const char*>(&len), sizeof(len));
            key.append(values[i], len);
        }
        {
            std::shared_lock<std::shared_mutex> g(m->children_mutex);
            auto it = m->children.find(key);
            if (it != m->children.end()) return it->second.get();
        }
        std::unique_lock<std::shared_mutex> g(m->children_mutex);
        auto& slot = m->children[key];
        if (!slot) slot = make_metric(m->kind, m->name, m->help, {}, m->bounds);
        return slot.get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

kiv_stats_registry* kiv_stats_registry_create(void) { return new (std::nothrow) kiv_stats_registry; }

void kiv_stats_registry_destroy(kiv_stats_registry* reg) { delete reg; }

kiv_stats_metric* kiv_stats_new_counter_v(kiv_stats_registry* reg, const char* name, const char* help,
                                          const char* const* labels) {
    return new_metric(reg, KIV_STATS_COUNTER, name, help, nullptr, 0, labels);
}

kiv_stats_metric* kiv_stats_new_gauge_v(kiv_stats_registry* reg, const char* name, const char* help,
                                        const char* const* labels) {
    return new_metric(reg, KIV_STATS_GAUGE, name, help, nullptr, 0, labels);
}

kiv_stats_metric* kiv_stats_new_hist_v(kiv_stats_registry* reg, const char* name, const char* help,
                                       const double* bounds, uint32_t n, const char* const* labels) {
    return new_metric(reg, KIV_STATS_HIST, name, help, bounds, n, labels);
}

kiv_stats_metric* kiv_stats_get_with_lvs(kiv_stats_metric* m, const char* const* values) {
    return resolve(m, values);
}

void kiv_stats_addv(kiv_stats_metric* m, const char* const* values, double v) {
    m = resolve(m, values);
    if (!m || m->kind == KIV_STATS_HIST) return;
    if (m->kind == KIV_STATS_COUNTER && !(v >= 0)) return;  // counters only grow
    m->value.fetch_add(v, std::memory_order_relaxed);
}

void kiv_stats_setv(kiv_stats_metric* m, const char* const* values, double v) {
    m = resolve(m, values);
    if (!m || m->kind == KIV_STATS_HIST) return;
    m->value.store(v, std::memory_order_relaxed);
}

void kiv_stats_observev(kiv_stats_metric* m, const char* const* values, double v) {
    m = resolve(m, values);
    if (!m || m->kind != KIV_STATS_HIST) return;
    // First bound >= v; NaN compares false everywhere and lands in +Inf.
    size_t i = isnan(v) ? m->bounds.size()
                        : size_t(std::lower_bound(m->bounds.begin(), m->bounds.end(), v) - m->bounds.begin());
    m->buckets[i].fetch_add(1, std::memory_order_relaxed);
    m->count.fetch_add(1, std::memory_order_relaxed);
    m->sum.fetch_add(v, std::memory_order_relaxed);
}

kiv_stats_metric* kiv_stats_find(kiv_stats_registry* reg, const char* name) {
    if (!reg || !name) return nullptr;
    std::lock_guard<std::mutex> g(reg->mutex);
    auto it = reg->metrics.find(name);
    return it == reg->metrics.end() ? nullptr : it->second.get();
}

kiv_stats_kind kiv_stats_metric_kind(const kiv_stats_metric* m) { return m->kind; }

double kiv_stats_value(const kiv_stats_metric* m) {
    if (m->kind == KIV_STATS_HIST) return double(m->count.load(std::memory_order_relaxed));
    return m->value.load(std::memory_order_relaxed);
}

uint64_t kiv_stats_hist_bucket(const kiv_stats_metric* m, uint32_t i) {
    if (m->kind != KIV_STATS_HIST || i > m->bounds.size()) return 0;
    return m->buckets[i].load(std::memory_order_relaxed);
}

uint64_t kiv_stats_hist_count(const kiv_stats_metric* m) { return m->count.load(std::memory_order_relaxed); }

double kiv_stats_hist_sum(const kiv_stats_metric* m) { return m->sum.load(std::memory_order_relaxed); }

const char* kiv_stats_help(const kiv_stats_metric* m) { return m->help.c_str(); }

// Discovery metrics.
//
// The per-operation children are looked up once at creation and kept in
// arrays indexed by discov_op, so an update is one pointer load and one
// registry call; the update functions sit on the path of every registry
// request and watcher wake-up.
#include "discovery/stat.h"

#include "kiv/base.h"
#include "kiv/stats.h"

namespace {

const double k_latency_bounds_ms[] = {0.0001, 0.0005, 0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1,
                                      5,      10,     50,    100,   500,  1000, 5000, 10000};
constexpr uint32_t k_latency_bound_count = sizeof(k_latency_bounds_ms) / sizeof(k_latency_bounds_ms[0]);
static_assert(k_latency_bound_count == 17);

const char* const k_op_label_names[] = {"operation", ""};

// One label-value list per operation, in discov_op order.
const char* const k_op_label_values[DISCOV_OP_COUNT][2] = {
    {"register", ""},      {"unregister", ""},  {"get_svc", ""},        {"get_svc_map", ""},
    {"watch_svc_map", ""}, {"update_svc", ""},  {"start_watching", ""}, {"get_local_addr", ""},
};

}  // namespace

struct discov_stats {
    kiv_stats_metric* op_total[DISCOV_OP_COUNT];
    kiv_stats_metric* op_latency_ms[DISCOV_OP_COUNT];
    kiv_stats_metric* error_total[DISCOV_OP_COUNT];
    kiv_stats_metric* conn_retries;
    kiv_stats_metric* conn_failures;
    kiv_stats_metric* conn_success;
    kiv_stats_metric* watchers_active;
    kiv_stats_metric* watcher_updates;
    kiv_stats_metric* watcher_timeouts;
    kiv_stats_metric* svc_map_services;
    kiv_stats_metric* svc_map_generation;
    // Kept beside the gauge so that an unmatched destroy cannot drive it
    // negative.
    uint64_t watchers_count;
};

namespace {

discov_stats* g_discov_stats = nullptr;

// A metric the registry refused (a clash of names) is left NULL and simply
// not updated; metrics must never take the discovery client down.
void add_one(kiv_stats_metric* m) {
    if (m) kiv_stats_addv(m, nullptr, 1);
}

void set_value(kiv_stats_metric* m, double v) {
    if (m) kiv_stats_setv(m, nullptr, v);
}

void make_children(kiv_stats_metric* parent, kiv_stats_metric* (&children)[DISCOV_OP_COUNT]) {
    for (uint32_t op = 0; op < DISCOV_OP_COUNT; ++op)
        children[op] = parent ? kiv_stats_get_with_lvs(parent, k_op_label_values[op]) : nullptr;
}

}  // namespace

void discov_stats_create(kiv_stats_registry* registry) {
    if (g_discov_stats) {
        kiv_log(1, "Discov stats already initialized");
        return;
    }
    auto* s = static_cast<discov_stats*>(
        __kiv_zmalloc("discov_stats", KIV_POS, KIV_MEM_NOFAIL, sizeof(discov_stats)));

    make_children(kiv_stats_new_counter_v(registry, "discov_op_total", "Total number of discovery operations",
                                          k_op_label_names),
                  s->op_total);
    make_children(kiv_stats_new_hist_v(registry, "discov_op_latency_ms", "Discovery operation latency in ms",
                                       k_latency_bounds_ms, k_latency_bound_count, k_op_label_names),
                  s->op_latency_ms);
    make_children(kiv_stats_new_counter_v(registry, "discov_error_total",
                                          "Total number of discovery operation errors", k_op_label_names),
                  s->error_total);

    s->conn_retries =
        kiv_stats_new_counter_v(registry, "discov_conn_retries", "Total number of connection retry attempts", nullptr);
    s->conn_failures =
        kiv_stats_new_counter_v(registry, "discov_conn_failures", "Total number of connection failures", nullptr);
    s->conn_success =
        kiv_stats_new_counter_v(registry, "discov_conn_success", "Total number of successful connections", nullptr);
    s->watchers_active =
        kiv_stats_new_gauge_v(registry, "discov_watchers_active", "Number of active service watchers", nullptr);
    s->watcher_updates = kiv_stats_new_counter_v(registry, "discov_watcher_updates",
                                                 "Total number of watcher updates received", nullptr);
    s->watcher_timeouts =
        kiv_stats_new_counter_v(registry, "discov_watcher_timeouts", "Total number of watcher timeouts", nullptr);
    s->svc_map_services =
        kiv_stats_new_gauge_v(registry, "discov_svc_map_services", "Number of services in the service map", nullptr);
    s->svc_map_generation = kiv_stats_new_gauge_v(registry, "discov_svc_map_generation",
                                                  "Current service map generation number", nullptr);
    s->watchers_count = 0;

    g_discov_stats = s;
}

void discov_stats_destroy(void) {
    // The registry owns the metrics and releases them itself.
    discov_stats* s = g_discov_stats;
    g_discov_stats = nullptr;
    __kiv_free(s);
}

uint64_t discov_stats_op_start(discov_op op) {
    uint64_t now = get_abs_time_us();
    discov_stats* s = g_discov_stats;
    if (s && op < DISCOV_OP_COUNT) add_one(s->op_total[op]);
    return now;
}

void discov_stats_op_complete(discov_op op, int result, uint64_t start_us) {
    discov_stats* s = g_discov_stats;
    if (!s || op >= DISCOV_OP_COUNT) return;
    uint64_t now = get_abs_time_us();
    // A start time from the future (a caller's clock mix-up) counts as 0.
    uint64_t elapsed_us = now > start_us ? now - start_us : 0;
    if (s->op_latency_ms[op]) kiv_stats_observev(s->op_latency_ms[op], nullptr, elapsed_us / 1000.0);
    if (result != 0) add_one(s->error_total[op]);
}

void discov_stats_conn_retry(void) {
    if (discov_stats* s = g_discov_stats) add_one(s->conn_retries);
}

void discov_stats_conn_failed(void) {
    if (discov_stats* s = g_discov_stats) add_one(s->conn_failures);
}

void discov_stats_conn_established(void) {
    if (discov_stats* s = g_discov_stats) add_one(s->conn_success);
}

void discov_stats_watcher_created(void) {
    discov_stats* s = g_discov_stats;
    if (!s) return;
    s->watchers_count++;
    set_value(s->watchers_active, static_cast<double>(s->watchers_count));
}

void discov_stats_watcher_destroyed(void) {
    discov_stats* s = g_discov_stats;
    if (!s || s->watchers_count == 0) return;
    s->watchers_count--;
    set_value(s->watchers_active, static_cast<double>(s->watchers_count));
}

void discov_stats_watcher_updated(void) {
    if (discov_stats* s = g_discov_stats) add_one(s->watcher_updates);
}

void discov_stats_watcher_timeout(void) {
    if (discov_stats* s = g_discov_stats) add_one(s->watcher_timeouts);
}

void discov_stats_update_svc_map(uint64_t count, uint64_t generation) {
    discov_stats* s = g_discov_stats;
    if (!s) return;
    set_value(s->svc_map_services, static_cast<double>(count));
    set_value(s->svc_map_generation, static_cast<double>(generation));
}

void discov_stats_update_svc_map_generation(uint64_t generation) {
    if (discov_stats* s = g_discov_stats) set_value(s->svc_map_generation, static_cast<double>(generation));
}

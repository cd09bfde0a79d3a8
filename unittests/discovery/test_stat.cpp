// Discovery metrics against a real statistics registry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery/stat.h"
#include "kiv/base.h"
#include "kiv/stats.h"

namespace {

const char* const k_op_names[DISCOV_OP_COUNT] = {"register",    "unregister",    "get_svc",        "get_svc_map",
                                                 "watch_svc_map", "update_svc", "start_watching", "get_local_addr"};

const double k_bounds[] = {0.0001, 0.0005, 0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1,
                           5,      10,     50,    100,   500,  1000, 5000, 10000};

struct LogLine {
    int level;
    std::string text;
};

void collect_log(int level, const char* line, void* arg) {
    static_cast<std::vector<LogLine>*>(arg)->push_back({level, line});
}

class DiscovStatsTest : public ::testing::Test {
protected:
    void SetUp() override {
        reg_ = kiv_stats_registry_create();
        ASSERT_NE(nullptr, reg_);
    }

    void TearDown() override {
        discov_stats_destroy();
        kiv_stats_registry_destroy(reg_);
    }

    kiv_stats_metric* metric(const char* name) {
        kiv_stats_metric* m = kiv_stats_find(reg_, name);
        EXPECT_NE(nullptr, m) << name;
        return m;
    }

    kiv_stats_metric* child(const char* name, uint32_t op) {
        const char* values[] = {k_op_names[op], ""};
        kiv_stats_metric* m = metric(name);
        return m ? kiv_stats_get_with_lvs(m, values) : nullptr;
    }

    double value(const char* name) {
        kiv_stats_metric* m = metric(name);
        return m ? kiv_stats_value(m) : -1;
    }

    double child_value(const char* name, uint32_t op) {
        kiv_stats_metric* m = child(name, op);
        return m ? kiv_stats_value(m) : -1;
    }

    uint64_t latency_count(uint32_t op) {
        kiv_stats_metric* m = child("discov_op_latency_ms", op);
        return m ? kiv_stats_hist_count(m) : UINT64_MAX;
    }

    // Every metric of the module with its current value, labelled children
    // spelled out, for before/after comparisons.
    std::vector<double> snapshot() {
        std::vector<double> v;
        for (uint32_t op = 0; op < DISCOV_OP_COUNT; ++op) {
            v.push_back(child_value("discov_op_total", op));
            v.push_back(child_value("discov_error_total", op));
            v.push_back(static_cast<double>(latency_count(op)));
        }
        for (const char* name : {"discov_conn_retries", "discov_conn_failures", "discov_conn_success",
                                 "discov_watchers_active", "discov_watcher_updates", "discov_watcher_timeouts",
                                 "discov_svc_map_services", "discov_svc_map_generation"})
            v.push_back(value(name));
        return v;
    }

    // Calls every update function once.
    static void touch_everything(uint32_t op) {
        uint64_t start = discov_stats_op_start(static_cast<discov_op>(op));
        discov_stats_op_complete(static_cast<discov_op>(op), -5, start);
        discov_stats_conn_retry();
        discov_stats_conn_failed();
        discov_stats_conn_established();
        discov_stats_watcher_created();
        discov_stats_watcher_updated();
        discov_stats_watcher_timeout();
        discov_stats_update_svc_map(7, 9);
        discov_stats_update_svc_map_generation(10);
    }

    kiv_stats_registry* reg_ = nullptr;
};

TEST_F(DiscovStatsTest, MetricsHaveTheirNamesKindsAndHelp) {
    discov_stats_create(reg_);
    struct {
        const char* name;
        kiv_stats_kind kind;
        const char* help;
    } expected[] = {
        {"discov_op_total", KIV_STATS_COUNTER, "Total number of discovery operations"},
        {"discov_op_latency_ms", KIV_STATS_HIST, "Discovery operation latency in ms"},
        {"discov_error_total", KIV_STATS_COUNTER, "Total number of discovery operation errors"},
        {"discov_conn_retries", KIV_STATS_COUNTER, "Total number of connection retry attempts"},
        {"discov_conn_failures", KIV_STATS_COUNTER, "Total number of connection failures"},
        {"discov_conn_success", KIV_STATS_COUNTER, "Total number of successful connections"},
        {"discov_watchers_active", KIV_STATS_GAUGE, "Number of active service watchers"},
        {"discov_watcher_updates", KIV_STATS_COUNTER, "Total number of watcher updates received"},
        {"discov_watcher_timeouts", KIV_STATS_COUNTER, "Total number of watcher timeouts"},
        {"discov_svc_map_services", KIV_STATS_GAUGE, "Number of services in the service map"},
        {"discov_svc_map_generation", KIV_STATS_GAUGE, "Current service map generation number"},
    };
    for (const auto& e : expected) {
        kiv_stats_metric* m = metric(e.name);
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(e.kind, kiv_stats_metric_kind(m)) << e.name;
        EXPECT_STREQ(e.help, kiv_stats_help(m)) << e.name;
    }
    // The labelled metrics carry exactly the one label "operation": the
    // registry hands back the same metric only for a matching label list.
    const char* const op_label[] = {"operation", ""};
    EXPECT_EQ(metric("discov_op_total"),
              kiv_stats_new_counter_v(reg_, "discov_op_total", "Total number of discovery operations", op_label));
    EXPECT_EQ(metric("discov_conn_success"),
              kiv_stats_new_counter_v(reg_, "discov_conn_success", "Total number of successful connections", nullptr));
    EXPECT_EQ(metric("discov_op_latency_ms"),
              kiv_stats_new_hist_v(reg_, "discov_op_latency_ms", "Discovery operation latency in ms", k_bounds, 17,
                                   op_label));
}

TEST_F(DiscovStatsTest, OperationsLandInTheirOwnChildren) {
    discov_stats_create(reg_);
    for (uint32_t op = 0; op < DISCOV_OP_COUNT; ++op) {
        // op i runs i + 1 times and fails once unless it is the first one.
        for (uint32_t n = 0; n <= op; ++n) {
            uint64_t start = discov_stats_op_start(static_cast<discov_op>(op));
            discov_stats_op_complete(static_cast<discov_op>(op), (op > 0 && n == 0) ? -110 : 0, start);
        }
    }
    for (uint32_t op = 0; op < DISCOV_OP_COUNT; ++op) {
        EXPECT_EQ(op + 1, child_value("discov_op_total", op)) << k_op_names[op];
        EXPECT_EQ(op > 0 ? 1 : 0, child_value("discov_error_total", op)) << k_op_names[op];
        EXPECT_EQ(op + 1, latency_count(op)) << k_op_names[op];
    }
}

TEST_F(DiscovStatsTest, LatencyIsObservedInMillisecondsBuckets) {
    discov_stats_create(reg_);
    const uint32_t op = DISCOV_OP_GET_SVC_MAP;
    kiv_stats_metric* h = child("discov_op_latency_ms", op);
    ASSERT_NE(nullptr, h);

    // 200 ms ago falls in (100, 500], bucket 13, with room for a slow run.
    discov_stats_op_complete(DISCOV_OP_GET_SVC_MAP, 0, get_abs_time_us() - 200000);
    EXPECT_EQ(1u, kiv_stats_hist_bucket(h, 13));
    EXPECT_GE(kiv_stats_hist_sum(h), 200.0);
    EXPECT_LT(kiv_stats_hist_sum(h), 500.0);

    // A start in the future counts as no time at all: the lowest bucket.
    discov_stats_op_complete(DISCOV_OP_GET_SVC_MAP, 0, get_abs_time_us() + 10000000);
    EXPECT_EQ(1u, kiv_stats_hist_bucket(h, 0));
    EXPECT_EQ(2u, kiv_stats_hist_count(h));
    EXPECT_LT(kiv_stats_hist_sum(h), 500.0);

    // One minute is beyond the last bound.
    discov_stats_op_complete(DISCOV_OP_GET_SVC_MAP, 0, get_abs_time_us() - 60000000);
    EXPECT_EQ(1u, kiv_stats_hist_bucket(h, 17));

    // Completion never counts the operation itself; only op_start does.
    EXPECT_EQ(0, child_value("discov_op_total", op));
    EXPECT_EQ(0, child_value("discov_error_total", op));
}

TEST_F(DiscovStatsTest, HistogramUsesTheSeventeenBounds) {
    discov_stats_create(reg_);
    kiv_stats_metric* h = child("discov_op_latency_ms", DISCOV_OP_WATCH_SVC_MAP);
    ASSERT_NE(nullptr, h);
    for (uint32_t i = 0; i < 17; ++i) kiv_stats_observev(h, nullptr, k_bounds[i]);
    for (uint32_t i = 0; i < 17; ++i) EXPECT_EQ(1u, kiv_stats_hist_bucket(h, i)) << "bound " << k_bounds[i];
    EXPECT_EQ(0u, kiv_stats_hist_bucket(h, 17));
}

TEST_F(DiscovStatsTest, OperationIndexBeyondTheTableIsTimedButNotCounted) {
    discov_stats_create(reg_);
    std::vector<double> before = snapshot();
    for (uint32_t op : {8u, 9u, 1000u, UINT32_MAX}) {
        uint64_t lo = get_abs_time_us();
        uint64_t start = discov_stats_op_start(static_cast<discov_op>(op));
        uint64_t hi = get_abs_time_us();
        EXPECT_GE(start, lo);
        EXPECT_LE(start, hi);
        discov_stats_op_complete(static_cast<discov_op>(op), -1, start);
    }
    EXPECT_EQ(before, snapshot());
}

TEST_F(DiscovStatsTest, ConnectionWatcherAndMapUpdates) {
    discov_stats_create(reg_);
    discov_stats_conn_retry();
    discov_stats_conn_retry();
    discov_stats_conn_retry();
    discov_stats_conn_failed();
    discov_stats_conn_established();
    discov_stats_conn_established();
    discov_stats_watcher_updated();
    discov_stats_watcher_timeout();
    discov_stats_watcher_timeout();
    EXPECT_EQ(3, value("discov_conn_retries"));
    EXPECT_EQ(1, value("discov_conn_failures"));
    EXPECT_EQ(2, value("discov_conn_success"));
    EXPECT_EQ(1, value("discov_watcher_updates"));
    EXPECT_EQ(2, value("discov_watcher_timeouts"));

    discov_stats_update_svc_map(250, 77);
    EXPECT_EQ(250, value("discov_svc_map_services"));
    EXPECT_EQ(77, value("discov_svc_map_generation"));
    discov_stats_update_svc_map_generation(78);
    EXPECT_EQ(250, value("discov_svc_map_services"));
    EXPECT_EQ(78, value("discov_svc_map_generation"));
    discov_stats_update_svc_map(0, 79);
    EXPECT_EQ(0, value("discov_svc_map_services"));
    EXPECT_EQ(79, value("discov_svc_map_generation"));
}

TEST_F(DiscovStatsTest, ActiveWatcherGaugeFollowsTheCountAndStopsAtZero) {
    discov_stats_create(reg_);
    discov_stats_watcher_destroyed();
    EXPECT_EQ(0, value("discov_watchers_active"));

    discov_stats_watcher_created();
    discov_stats_watcher_created();
    EXPECT_EQ(2, value("discov_watchers_active"));
    discov_stats_watcher_destroyed();
    EXPECT_EQ(1, value("discov_watchers_active"));
    discov_stats_watcher_destroyed();
    EXPECT_EQ(0, value("discov_watchers_active"));

    // An unmatched destroy is ignored, so the next create gives 1, not 0.
    discov_stats_watcher_destroyed();
    EXPECT_EQ(0, value("discov_watchers_active"));
    discov_stats_watcher_created();
    EXPECT_EQ(1, value("discov_watchers_active"));
}

TEST_F(DiscovStatsTest, UpdatesWithoutMetricsDoNothing) {
    // Nothing created yet: nothing to update, and the clock is still read.
    uint64_t lo = get_abs_time_us();
    uint64_t start = discov_stats_op_start(DISCOV_OP_REGISTER);
    EXPECT_GE(start, lo);
    EXPECT_LE(start, get_abs_time_us());
    touch_everything(DISCOV_OP_REGISTER);
    discov_stats_watcher_destroyed();
    EXPECT_EQ(nullptr, kiv_stats_find(reg_, "discov_op_total"));

    // After destroy the metrics stay in the registry but are left alone.
    discov_stats_create(reg_);
    touch_everything(DISCOV_OP_GET_SVC);
    std::vector<double> live = snapshot();
    discov_stats_destroy();
    touch_everything(DISCOV_OP_GET_SVC);
    discov_stats_watcher_destroyed();
    EXPECT_EQ(live, snapshot());
    EXPECT_EQ(1, child_value("discov_op_total", DISCOV_OP_GET_SVC));
    EXPECT_EQ(1, value("discov_watchers_active"));
}

TEST_F(DiscovStatsTest, SecondCreateIsRefusedWithALogLine) {
    discov_stats_create(reg_);
    discov_stats_watcher_created();

    kiv_stats_registry* other = kiv_stats_registry_create();
    ASSERT_NE(nullptr, other);
    int saved_level = __kiv_log_level;
    __kiv_log_level = 7;
    std::vector<LogLine> lines;
    kiv_log_set_hook(collect_log, &lines);
    discov_stats_create(other);
    kiv_log_set_hook(nullptr, nullptr);
    __kiv_log_level = saved_level;

    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(1, lines[0].level);
    EXPECT_NE(std::string::npos, lines[0].text.find("Discov stats already initialized")) << lines[0].text;

    // The first metrics stay live, the watcher count included; the second
    // registry got nothing.
    EXPECT_EQ(nullptr, kiv_stats_find(other, "discov_op_total"));
    discov_stats_watcher_created();
    EXPECT_EQ(2, value("discov_watchers_active"));
    kiv_stats_registry_destroy(other);
}

TEST_F(DiscovStatsTest, RecreatedMetricsStartFromAFreshWatcherCount) {
    discov_stats_create(reg_);
    discov_stats_watcher_created();
    discov_stats_watcher_created();
    discov_stats_destroy();

    // The registry hands back the same metrics; the count starts over.
    discov_stats_create(reg_);
    discov_stats_watcher_created();
    EXPECT_EQ(1, value("discov_watchers_active"));
}

}  // namespace

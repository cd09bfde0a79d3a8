// Statistics registry: metric identity, labels, histograms and concurrency.
#include <gtest/gtest.h>
#include <math.h>

#include <thread>
#include <vector>

#include "kiv/stats.h"

class StatsTest : public ::testing::Test {
  protected:
    void SetUp() override { reg_ = kiv_stats_registry_create(); }
    void TearDown() override { kiv_stats_registry_destroy(reg_); }

    kiv_stats_registry* reg_ = nullptr;
};

TEST_F(StatsTest, recreate_returns_the_same_metric_and_clash_is_null) {
    const char* labels[] = {"op", nullptr};
    kiv_stats_metric* c = kiv_stats_new_counter_v(reg_, "tarn_ops", "operations", labels);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(kiv_stats_new_counter_v(reg_, "tarn_ops", "other help", labels), c);
    EXPECT_STREQ(kiv_stats_help(c), "operations");
    EXPECT_EQ(kiv_stats_find(reg_, "tarn_ops"), c);
    EXPECT_EQ(kiv_stats_metric_kind(c), KIV_STATS_COUNTER);

    EXPECT_EQ(kiv_stats_new_gauge_v(reg_, "tarn_ops", "", labels), nullptr);  // other kind
    const char* other[] = {"kind", nullptr};
    EXPECT_EQ(kiv_stats_new_counter_v(reg_, "tarn_ops", "", other), nullptr);   // other labels
    EXPECT_EQ(kiv_stats_new_counter_v(reg_, "tarn_ops", "", nullptr), nullptr);  // no labels
    EXPECT_EQ(kiv_stats_find(reg_, "missing"), nullptr);
    EXPECT_EQ(kiv_stats_new_counter_v(reg_, "", "", nullptr), nullptr);
}

TEST_F(StatsTest, label_lists_end_at_null_or_empty) {
    const char* with_null[] = {"a", "b", nullptr};
    const char* with_empty[] = {"a", "b", "", "ignored"};
    kiv_stats_metric* g = kiv_stats_new_gauge_v(reg_, "g", "h", with_null);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(kiv_stats_new_gauge_v(reg_, "g", "h", with_empty), g);

    const char* empty_list[] = {""};
    kiv_stats_metric* plain = kiv_stats_new_gauge_v(reg_, "plain", nullptr, empty_list);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(kiv_stats_new_gauge_v(reg_, "plain", nullptr, nullptr), plain);
    EXPECT_STREQ(kiv_stats_help(plain), "");
}

TEST_F(StatsTest, child_per_label_values) {
    const char* labels[] = {"op", "result", nullptr};
    kiv_stats_metric* c = kiv_stats_new_counter_v(reg_, "calls", "", labels);
    ASSERT_NE(c, nullptr);
    const char* read_ok[] = {"read", "ok"};
    const char* read_err[] = {"read", "err"};
    const char* read_ok2[] = {"read", "ok"};

    kiv_stats_metric* child = kiv_stats_get_with_lvs(c, read_ok);
    ASSERT_NE(child, nullptr);
    EXPECT_NE(child, c);
    EXPECT_EQ(kiv_stats_get_with_lvs(c, read_ok2), child);
    EXPECT_NE(kiv_stats_get_with_lvs(c, read_err), child);

    kiv_stats_addv(c, read_ok, 2);
    kiv_stats_addv(c, read_ok2, 3);
    kiv_stats_addv(c, read_err, 1);
    kiv_stats_addv(c, nullptr, 10);
    kiv_stats_addv(c, read_ok, -4);  // counters never go down
    EXPECT_EQ(kiv_stats_value(child), 5);
    EXPECT_EQ(kiv_stats_value(kiv_stats_get_with_lvs(c, read_err)), 1);
    EXPECT_EQ(kiv_stats_value(c), 10);

    // Values whose concatenations agree are still different children.
    const char* ab_c[] = {"ab", "c"};
    const char* a_bc[] = {"a", "bc"};
    EXPECT_NE(kiv_stats_get_with_lvs(c, ab_c), kiv_stats_get_with_lvs(c, a_bc));
    const char* too_few[] = {"read", nullptr};
    EXPECT_EQ(kiv_stats_get_with_lvs(c, too_few), nullptr);
}

TEST_F(StatsTest, gauge_set_and_add) {
    kiv_stats_metric* g = kiv_stats_new_gauge_v(reg_, "depth", "", nullptr);
    kiv_stats_setv(g, nullptr, 7.5);
    kiv_stats_addv(g, nullptr, -2.5);
    EXPECT_EQ(kiv_stats_value(g), 5.0);
}

TEST_F(StatsTest, histogram_buckets_include_upper_bound_and_inf) {
    const double bounds[] = {1, 10, 100};
    const char* labels[] = {"dev", nullptr};
    kiv_stats_metric* h = kiv_stats_new_hist_v(reg_, "lat", "latency", bounds, 3, labels);
    ASSERT_NE(h, nullptr);
    const char* sda[] = {"sda"};
    for (double v : {0.5, 1.0, 1.0001, 10.0, 100.0, 100.5, 1e9}) kiv_stats_observev(h, sda, v);
    kiv_stats_metric* c = kiv_stats_get_with_lvs(h, sda);
    EXPECT_EQ(kiv_stats_hist_bucket(c, 0), 2u);  // 0.5, 1 (on the bound)
    EXPECT_EQ(kiv_stats_hist_bucket(c, 1), 2u);  // 1.0001, 10
    EXPECT_EQ(kiv_stats_hist_bucket(c, 2), 1u);  // 100
    EXPECT_EQ(kiv_stats_hist_bucket(c, 3), 2u);  // +Inf
    EXPECT_EQ(kiv_stats_hist_count(c), 7u);
    EXPECT_DOUBLE_EQ(kiv_stats_hist_sum(c), 0.5 + 1.0 + 1.0001 + 10.0 + 100.0 + 100.5 + 1e9);
    EXPECT_EQ(kiv_stats_hist_count(h), 0u);

    kiv_stats_observev(h, nullptr, INFINITY);
    EXPECT_EQ(kiv_stats_hist_bucket(h, 3), 1u);

    const double unsorted[] = {5, 1};
    EXPECT_EQ(kiv_stats_new_hist_v(reg_, "bad", "", unsorted, 2, nullptr), nullptr);
    kiv_stats_metric* only_inf = kiv_stats_new_hist_v(reg_, "inf_only", "", nullptr, 0, nullptr);
    ASSERT_NE(only_inf, nullptr);
    kiv_stats_observev(only_inf, nullptr, -3);
    EXPECT_EQ(kiv_stats_hist_bucket(only_inf, 0), 1u);
}

TEST_F(StatsTest, concurrent_adds_give_exact_total) {
    const char* labels[] = {"worker", nullptr};
    kiv_stats_metric* c = kiv_stats_new_counter_v(reg_, "adds", "", labels);
    const double bounds[] = {0.5};
    kiv_stats_metric* h = kiv_stats_new_hist_v(reg_, "obs", "", bounds, 1, nullptr);
    const int threads = 8, per_thread = 100000;
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; t++) {
        ts.emplace_back([&, t] {
            // Half the threads share one child, so child creation races too.
            const char* mine[] = {t % 2 ? "odd" : "even"};
            for (int i = 0; i < per_thread; i++) {
                kiv_stats_addv(c, mine, 1);
                kiv_stats_addv(c, nullptr, 1);
                kiv_stats_observev(h, nullptr, i % 2);
            }
        });
    }
    for (auto& t : ts) t.join();
    const char* odd[] = {"odd"};
    const char* even[] = {"even"};
    EXPECT_EQ(kiv_stats_value(c), double(threads) * per_thread);
    EXPECT_EQ(kiv_stats_value(kiv_stats_get_with_lvs(c, odd)), double(threads / 2) * per_thread);
    EXPECT_EQ(kiv_stats_value(kiv_stats_get_with_lvs(c, even)), double(threads / 2) * per_thread);
    EXPECT_EQ(kiv_stats_hist_count(h), uint64_t(threads) * per_thread);
    EXPECT_EQ(kiv_stats_hist_bucket(h, 0), uint64_t(threads) * per_thread / 2);
    EXPECT_EQ(kiv_stats_hist_sum(h), double(threads) * per_thread / 2);
}

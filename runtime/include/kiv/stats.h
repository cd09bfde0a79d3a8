// Statistics registry: labelled counters, gauges and histograms.
//
// Label lists end at the first NULL or "" entry; a NULL list means no
// labels. Creating a metric whose name, kind and labels match an existing
// one returns that metric; any other clash of names returns NULL. All
// updates are thread-safe.
#pragma once

#include <stdint.h>

struct kiv_stats_registry;
struct kiv_stats_metric;

enum kiv_stats_kind : uint32_t { KIV_STATS_COUNTER = 1, KIV_STATS_GAUGE = 2, KIV_STATS_HIST = 3 };

kiv_stats_registry* kiv_stats_registry_create(void);
void kiv_stats_registry_destroy(kiv_stats_registry* reg);  // frees every metric

kiv_stats_metric* kiv_stats_new_counter_v(kiv_stats_registry* reg, const char* name, const char* help,
                                          const char* const* labels);
kiv_stats_metric* kiv_stats_new_gauge_v(kiv_stats_registry* reg, const char* name, const char* help,
                                        const char* const* labels);
kiv_stats_metric* kiv_stats_new_hist_v(kiv_stats_registry* reg, const char* name, const char* help,
                                       const double* bounds, uint32_t n, const char* const* labels);

// The child of a labelled metric for these label values, created on first use.
kiv_stats_metric* kiv_stats_get_with_lvs(kiv_stats_metric* m, const char* const* values);

// `values` NULL updates `m` itself. Counters ignore negative additions;
// updates of the wrong kind are ignored.
void kiv_stats_addv(kiv_stats_metric* m, const char* const* values, double v);
void kiv_stats_setv(kiv_stats_metric* m, const char* const* values, double v);
void kiv_stats_observev(kiv_stats_metric* m, const char* const* values, double v);

// Readers, for tests and reports.
kiv_stats_metric* kiv_stats_find(kiv_stats_registry* reg, const char* name);
kiv_stats_kind kiv_stats_metric_kind(const kiv_stats_metric* m);
double kiv_stats_value(const kiv_stats_metric* m);  // histograms: the count
// Bucket i counts bounds[i-1] < v <= bounds[i]; bucket n is +Inf.
uint64_t kiv_stats_hist_bucket(const kiv_stats_metric* m, uint32_t i);
uint64_t kiv_stats_hist_count(const kiv_stats_metric* m);
double kiv_stats_hist_sum(const kiv_stats_metric* m);
const char* kiv_stats_help(const kiv_stats_metric* m);

// Process-wide metrics of the discovery client.
//
// The metrics live in a statistics registry handed in by the caller; until
// discov_stats_create runs (and after discov_stats_destroy) every update
// function does nothing, so callers never need to check whether metrics are
// enabled.
#pragma once

#include <stdint.h>

#include "discovery/discov_op.h"

struct kiv_stats_registry;

// Creates the metrics in `registry`. A second call while metrics exist logs
// an error and changes nothing.
void discov_stats_create(kiv_stats_registry* registry);
// Forgets the metrics. They stay in their registry, which owns them.
void discov_stats_destroy(void);

// Counts one operation and returns its start time (absolute, microseconds),
// which the caller hands back to discov_stats_op_complete. Operations outside
// discov_op are timed but never counted.
uint64_t discov_stats_op_start(discov_op op);
// Records the latency of an operation and, when `result` is non-zero, an
// error of it.
void discov_stats_op_complete(discov_op op, int result, uint64_t start_us);

void discov_stats_conn_retry(void);
void discov_stats_conn_failed(void);
void discov_stats_conn_established(void);

void discov_stats_watcher_created(void);
// Never takes the active-watcher count below zero.
void discov_stats_watcher_destroyed(void);
void discov_stats_watcher_updated(void);
void discov_stats_watcher_timeout(void);

void discov_stats_update_svc_map(uint64_t count, uint64_t generation);
void discov_stats_update_svc_map_generation(uint64_t generation);

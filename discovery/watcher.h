// Service watcher internals; the public calls are discov_co_start_watching,
// discov_co_stop_watching and discov_get_curr_svc_map (discov.h).
#pragma once

struct kiv_process;
struct discov_svc_map;
struct dsc_watcher;

// Creates a watcher with its own read-only handle on `cluster` and
// `namespace_key` and starts its worker. From a runtime coroutine.
int dsc_co_watcher_create(const char* cluster, const char* namespace_key, void (*callback)(void* arg), void* arg,
                          kiv_process* process, dsc_watcher** out);
// Stops the worker (ending any request it waits for), joins it and frees the
// watcher. From a runtime coroutine.
void dsc_co_watcher_destroy(dsc_watcher* w);
// The current map with a reference for the caller, or NULL. Any thread.
discov_svc_map* dsc_watcher_get_curr_svc_map(dsc_watcher* w);

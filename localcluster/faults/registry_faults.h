// Fault rules for the registry: its fault gate, wired into the registry
// server's hooks.
#pragma once

#include <stdint.h>

struct kiv_process;
struct lc_faults;
struct lc_logger;
struct lc_regsrv;
struct lc_registry_faults;

// Attaches a gate to `srv` (running on `p`); call before the server listens.
lc_registry_faults* lc_registry_faults_attach(lc_faults* faults, lc_regsrv* srv, kiv_process* p, lc_logger* log);
// The port the registry listens on, for listening again after refuse=.
void lc_registry_faults_set_port(lc_registry_faults* rf, uint16_t port);
// Drops delayed requests and cancels a pending re-listen; the process
// still runs. Then the registry may be closed.
void lc_registry_faults_stop(lc_registry_faults* rf);
// After the process has gone.
void lc_registry_faults_destroy(lc_registry_faults* rf);
uint64_t lc_registry_faults_fired(lc_registry_faults* rf);
bool lc_registry_faults_refusing(lc_registry_faults* rf);

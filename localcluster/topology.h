// Where every service of the simulated cluster lives: hosts, one instance
// per (host, service, file system), and the ports they keep for the
// cluster's life.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "localcluster/cluster.h"

enum lc_service { LC_SVC_REGISTRY, LC_SVC_MDS, LC_SVC_DS, LC_SVC_LS };

enum lc_inst_state {
    LC_INST_RESERVED,  // the port is held; its server is not running
    LC_INST_UP,
    LC_INST_DOWN,
};

struct lc_instance {
    lc_service service;
    int host;  // 1-based; 0 = the registry's pseudo-host
    int fs;    // index into the file systems; -1 for the registry
    uint16_t port = 0;
    int reserve_fd = -1;  // a bound, non-listening socket holding the port
    lc_inst_state state = LC_INST_RESERVED;
};

struct lc_topology {
    std::vector<uint64_t> host_ids;       // host i+1 has host_ids[i]; host 1 is the MDS host
    std::vector<lc_instance> instances;   // in port order: registry, then host by host
};

const char* lc_service_name(lc_service s);
const char* lc_inst_state_name(lc_inst_state s);

// Lays out the instances of a normalised configuration, ports unassigned:
// the registry; then for each host the MDS of every file system (host 1
// only), the DS of every file system, and the lock server of every file
// system (host 1 only, unless lock servers are off).
lc_topology lc_topology_build(const localcluster::ClusterConfig& config);

// Index of an instance, or -1.
int lc_topology_find(const lc_topology& t, lc_service service, int host, int fs);

// Takes the port of every instance but the registry (which listens itself
// and is given `registry_port`): `base` + position when `base` is non-zero,
// else a free port chosen by the kernel. Each port stays held by a bound
// socket until its server takes it over. Empty on success, else the reason.
std::string lc_topology_reserve_ports(lc_topology* t, uint16_t base, uint16_t registry_port);

// Closes the holding socket of one instance (its server now owns the port).
void lc_topology_release_port(lc_instance* inst);
void lc_topology_release_all(lc_topology* t);

// A socket bound to 127.0.0.1:port (0 = any) with SO_REUSEADDR, not
// listening: connections to it are refused, and a server that binds the
// same port with SO_REUSEADDR can take over before it is closed. The fd,
// or -errno; *bound receives the port.
int lc_port_hold(uint16_t port, uint16_t* bound);

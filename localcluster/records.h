// The service records through which clients find the file systems' MDS and
// lock servers.
#pragma once

#include <stdint.h>

#include <string>

#include "localcluster/cluster.h"
#include "localcluster/registry/registry_store.h"
#include "localcluster/topology.h"

// "/discov/services/tarn/mds/mds-<fsid hex>" and its JSON value.
std::string lc_record_key(lc_service service, uint64_t fsid);
std::string lc_record_value(lc_service service, uint64_t host_id, const std::string& fs_name, uint64_t fsid,
                            uint16_t port);

// Puts one "mds" record per file system and, when lock servers are on, one
// "ls" record, straight into the store. Empty on success, else the reason.
std::string lc_put_service_records(lc_regstore* store, const lc_topology& topo,
                                   const localcluster::ClusterConfig& config);

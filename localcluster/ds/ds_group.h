// The data side of a running cluster: one DS instance per (host, file
// system), the worker pool they share, and the control commands and status
// entries that concern them. The cluster disk (vdisk table, DsDisks, pools)
// is the cluster's and outlives the group.
//
// Processes and threads: every instance has a runtime process (one event
// loop) of its own, so file systems and hosts never wait for each other's
// I/O, and a crash of one instance closes only its own sockets. Requests
// run on one pool of --workers threads shared by all instances: an idle
// file system costs no threads, and a busy one can use all of them.
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "localcluster/cluster.h"
#include "localcluster/topology.h"

struct lc_cdisk;
struct lc_ds;
struct lc_faults;
struct lc_logger;
struct lc_ds_group;

struct lc_ds_group_config {
    const localcluster::ClusterConfig* cluster = nullptr;  // normalised
    lc_cdisk* cdisk = nullptr;
    lc_faults* faults = nullptr;
    lc_logger* log = nullptr;
    const std::atomic<bool>* epoch_strict = nullptr;
    const std::atomic<bool>* crash_replies_drop = nullptr;
    // What a reboot fault rule calls (lc_ds_config); NULL: the instance
    // crashes alone.
    void (*reboot_host)(void* ctx, int host) = nullptr;
    void* reboot_host_ctx = nullptr;
};

// Creates every DS instance of `topo` and has each take over its reserved
// port (listening first, then closing the holder). NULL with *err.
lc_ds_group* lc_ds_group_start(const lc_ds_group_config& config, lc_topology* topo, std::string* err);
// Stops every instance, then the workers.
void lc_ds_group_stop(lc_ds_group* g);

// The instance of (1-based host, file system index), or NULL.
lc_ds* lc_ds_group_instance(lc_ds_group* g, int host, int fs);

// The commands of the data side, as words:
//   ds crash HOST FS|all [DOWN_MS]
//   repl disable|enable HOST FS
//   vdisk unmount|mount FS V
// HOST is a hex host id or a 1-based index, FS a name or hex id. Answers
// one line of JSON.
std::string lc_ds_group_command(lc_ds_group* g, const std::vector<std::string>& words);

// The status fields of one DS instance (without braces, starting with a
// comma), and of one file system: its health bits and vdisk table.
std::string lc_ds_group_instance_json(lc_ds_group* g, int host, int fs);
std::string lc_ds_group_fs_json(lc_ds_group* g, int fs);

// No outage, mount or catch-up is in progress on the data side.
bool lc_ds_group_settled(lc_ds_group* g);

// A file system named by its name or hex id; -1 if none. A host named by
// its hex id or 1-based index; 0 if none.
int lc_ds_group_find_fs(const localcluster::ClusterConfig& c, const std::string& text);
int lc_ds_group_find_host(const localcluster::ClusterConfig& c, const std::string& text);

// MDS resolver: which metadata server serves which file system.
//
// Every MDS registers a record named "mds" in the discovery namespace
// "tarn/mds" with the tags "fsid:<hex id>" and "fsname:<name>" and a dotted
// IPv4 address. The resolver watches that namespace, rebuilds its table
// (file-system id -> MDS address) from every newer service map and tells its
// subscribers after each rebuild. Lookups and subscriptions may come from any
// thread; creation and destruction only from a plain thread.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "client/tarn_conn.h"
#include "kiv/map.h"

struct discov;
struct discov_svc;
struct discov_svc_map;
struct dsc_watcher;
struct kiv_process;
struct mds_resolver;

// One file system's MDS.
struct mds_entry {
    char* fs_name; // owned
    uint64_t fs_id;
    uint64_t host_id;
    uint32_t ipv4; // host byte order
    uint16_t port;
};

struct mds_resolver_subscription {
    mds_resolver* resolver;
    mds_resolver_subscription* prev;
    mds_resolver_subscription* next;
    void (*callback)(void* arg);
    void* arg;
};

struct mds_resolver {
    discov* discovery;    // owned, narrowed to "tarn/mds"
    kiv_process* process; // borrowed
    dsc_watcher* watcher; // owned
    pthread_mutex_t mutex;
    kiv_hash_map_simple* table; // fs id -> mds_entry*, owned
    mds_resolver_subscription* subscribers; // newest first
    mds_resolver_subscription* cursor;      // next to notify while a notification runs
};

// Narrows `discovery` (the caller keeps its own handle) and starts watching.
// 0, or the negative error of starting the watcher.
int mds_resolver_create(discov* discovery, kiv_process* process, mds_resolver** out);
void mds_resolver_destroy(mds_resolver* resolver);

// 0 and the id of a file system named `fs_name` (exact match), or -ENOENT.
int mds_resolver_find_fs(mds_resolver* resolver, const char* fs_name, uint64_t* fs_id);
// 0 and the address of the MDS of `fs_id`, or -ENOENT.
int mds_resolver_find_mds(mds_resolver* resolver, uint64_t fs_id, tarn_host_addr* out);

// `callback(arg)` runs after every rebuild of the table, without the
// resolver's lock, on the event loop. Never null.
mds_resolver_subscription* mds_resolver_subscribe(mds_resolver* resolver, void (*callback)(void* arg), void* arg);
// Removes and frees the subscription; allowed at any time, also from inside
// a callback (for itself or another subscription).
void mds_resolver_unsubscribe(mds_resolver_subscription* subscription);

// ---------------------------------------------------------------- table building
// Fills `entry` from a record that names an MDS (name "mds", hexadecimal
// "fsid" tag, "fsname" tag, dotted IPv4 address): 0, with the name copied;
// -EINVAL for any other record, with `entry` untouched.
int mds_resolver_parse_record(const discov_svc* svc, mds_entry* entry);
// A new table from the records of `map` in map order; of two records with
// one file-system id the later wins.
kiv_hash_map_simple* mds_resolver_build_table(const discov_svc_map* map);
void mds_resolver_free_table(kiv_hash_map_simple* table);
// Replaces the table by one built from `map` and notifies the subscribers.
// The watcher's update runs this with its current map.
void mds_resolver_install_map(mds_resolver* resolver, const discov_svc_map* map);

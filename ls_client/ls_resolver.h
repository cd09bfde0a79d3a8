// The lock-server resolver: which lock server serves which file system.
//
// Every lock server registers a record named "ls" in the discovery namespace
// "tarn/ls" with a tag "fsid:<hex id>". The resolver watches the namespace
// and rebuilds its table (fs_id -> server) from scratch on every newer map.
// Lookups may come from any thread; creation and destruction only from a
// plain thread.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "kiv/loop.h"
#include "kiv/map.h"
#include "ls_client/ls_list.h"

struct discov;
struct discov_svc;
struct discov_svc_map;
struct dsc_watcher;

struct ls_resolver {
    kiv_process* process;
    dsc_watcher* watcher;
    kiv_hash_map* table; // fs_id -> ls_server_entry (copied values)
    discov* discovery;   // narrowed to "tarn/ls"
    pthread_mutex_t mutex;
};

// 0, -EINVAL for a missing cluster name, or the error of starting the
// watcher. Until its first listing every lookup answers -ENOENT.
int ls_resolver_create(kiv_process* p, const char* cluster, ls_resolver** out);
void ls_resolver_destroy(ls_resolver* r);
// 0 and a copy of the entry, or -ENOENT.
int ls_resolver_find_ls(ls_resolver* r, uint64_t fs_id, ls_server_entry* out);
// 0 and a list of copies of every entry (in reverse table order), or a
// negative errno with the list empty.
int ls_resolver_get_ls_list(ls_resolver* r, ls_list* out);

// Fills `out` from a record that names a lock server: 0, or -EINVAL with
// `out` untouched.
int ls_resolver_parse_record(const discov_svc* svc, ls_server_entry* out);
// Replaces the table by one built from `map`; the watcher's update runs
// this with its current map.
void ls_resolver_install_map(ls_resolver* r, const discov_svc_map* map);

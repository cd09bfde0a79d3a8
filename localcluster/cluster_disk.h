// The cluster's record of where file data lives, and the one place every
// service asks about it.
//
// Durable part (survives every crash and reboot): for each file system its
// space pool, one DsDisk per host, and the vdisk table: vdisk v of a file
// system with V = hosts x vdisks-per-host vdisks lives on host (v mod N)+1
// for the cluster's life, and has a mount generation that grows by one at
// every mount. A vdisk's location token is
//     (fs_index + 1) << 48 | vdisk << 32 | mount generation
// so every mount, restarts included, issues a new token and old ones stop
// working.
//
// Live part (what the running instances publish, lost with them): which
// vdisks are mounted, whether each DS instance is up, mounting or
// recovering, whether replication is disabled on it, the port it serves,
// and the MDS of each file system as the sink of DS attribute pushes.
//
// Every function is safe from any thread. Reads are lock-free; changes of
// one file system's table take that file system's mutex, which is a leaf:
// no other lock is taken under it and no callback runs under it. So the
// namespace engine may call the readers below with its own mutex held.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "localcluster/ds/ds_disk.h"
#include "localcluster/ds/pool.h"

struct lc_cdisk;

struct lc_cdisk_fs_config {
    uint64_t fs_id = 0;
    uint64_t capacity = 16ull << 30;  // bytes; the pool holds capacity / 4096 blocks
    bool xattrs_on_ds = true;         // regular-file xattrs live on the DsDisks
    uint64_t reserve = UINT64_MAX;    // bytes kept from writers; UINT64_MAX = one block in twenty
};

struct lc_cdisk_config {
    std::vector<lc_cdisk_fs_config> fs;
    std::vector<uint64_t> host_ids;  // host i+1 has host_ids[i]
    uint32_t vdisks_per_host = 2;
};

// Every vdisk mounted with generation 1 (the state of a cluster at start).
// NULL on a bad configuration (no host, no file system, over 32767 file
// systems, V over 65535).
lc_cdisk* lc_cdisk_create(const lc_cdisk_config& config);
// Frees the disks and pools. No instance may use them any more.
void lc_cdisk_destroy(lc_cdisk* cd);

int lc_cdisk_fs_count(const lc_cdisk* cd);
int lc_cdisk_host_count(const lc_cdisk* cd);
uint64_t lc_cdisk_host_id(const lc_cdisk* cd, int host);  // 1-based; 0 if none
uint32_t lc_cdisk_vdisk_count(const lc_cdisk* cd);        // per file system
// The 1-based host of a vdisk (the same for every file system).
int lc_cdisk_vdisk_host(const lc_cdisk* cd, uint32_t vdisk);
// The vdisks placed on a host, ascending.
std::vector<uint32_t> lc_cdisk_host_vdisks(const lc_cdisk* cd, int host);

lc_pool* lc_cdisk_pool(lc_cdisk* cd, int fs);
lc_ds_disk* lc_cdisk_ds_disk(lc_cdisk* cd, int fs, int host);
// The DsDisk holding a vdisk; NULL for a vdisk beyond the table.
lc_ds_disk* lc_cdisk_vdisk_disk(lc_cdisk* cd, int fs, uint32_t vdisk);

// ---------------------------------------------------------------- tokens and mounts
uint64_t lc_cdisk_make_token(int fs, uint32_t vdisk, uint32_t generation);

struct lc_cdisk_vdisk_state {
    int host = 0;
    uint32_t generation = 0;
    uint64_t token = 0;  // the current token, or the last one while unmounted
    bool mounted = false;
};
lc_cdisk_vdisk_state lc_cdisk_vdisk(const lc_cdisk* cd, int fs, uint32_t vdisk);

// The DS check of a file request's token on the instance (fs, host): true,
// with *vdisk, when the token names this file system, a vdisk placed on
// this host, is that vdisk's current token, and the vdisk is mounted.
bool lc_cdisk_token_check(const lc_cdisk* cd, int fs, int host, uint64_t token, uint32_t* vdisk);

// Mounts a vdisk with a new generation, whether or not it was mounted (a
// mounted vdisk changes token). Refused (false) while its DS instance is
// not up; *token gets the new token.
bool lc_cdisk_mount(lc_cdisk* cd, int fs, uint32_t vdisk, uint64_t* token);
// Mounts it only if its instance is up and it is not mounted; true when
// that happened.
bool lc_cdisk_mount_if_unmounted(lc_cdisk* cd, int fs, uint32_t vdisk, uint64_t* token);
// Requests with its token answer "not mounted" until it is mounted again.
// True if it was mounted.
bool lc_cdisk_unmount(lc_cdisk* cd, int fs, uint32_t vdisk);

// ---------------------------------------------------------------- what the MDS reads
// 127.0.0.1, as the vdisk map carries it (most significant byte first).
constexpr uint32_t LC_CDISK_LOOPBACK_IPV4 = 0x7F000001;

struct lc_cdisk_map_entry {
    uint64_t token;
    uint64_t host_id;
    uint32_t ipv4;
    uint16_t port;
};
// Entry i is vdisk i. Down hosts keep their last token and port.
void lc_cdisk_vdisk_map(const lc_cdisk* cd, int fs, std::vector<lc_cdisk_map_entry>* out);

// A client's report that `vdisk` answered "not mounted" on `host_id`: when
// that is where the vdisk lives, its instance is up and the vdisk is not
// mounted, it is mounted now with a new token. True when it was.
bool lc_cdisk_report_unmounted(lc_cdisk* cd, int fs, uint32_t vdisk, uint64_t host_id);

enum : uint32_t {
    LC_HEALTH_DEGRADED = 0x1,     // a DS instance of the fs is down or a vdisk unmounted
    LC_HEALTH_REPL_BACKLOG = 0x2, // a DsDisk of the fs has a non-empty dirty set
    LC_HEALTH_RECOVERING = 0x8,   // a DS instance of the fs restarted and has not caught up
};
// The health bits the data side contributes (the MDS adds its own
// "recovering" while it catches up after a restart).
uint32_t lc_cdisk_health(lc_cdisk* cd, int fs);

// The namespace engine's cluster callbacks (lc_ns_cluster_ops), with
// ctx = lc_cdisk_fs_ctx(cd, fs).
void* lc_cdisk_fs_ctx(lc_cdisk* cd, int fs);
lc_ds_disk* lc_cdisk_ns_ds_disk(void* fs_ctx, uint16_t vdisk);
bool lc_cdisk_ns_vdisk_mounted(void* fs_ctx, uint16_t vdisk);
bool lc_cdisk_ns_replication_disabled(void* fs_ctx, uint16_t vdisk);
uint32_t lc_cdisk_ns_health(void* fs_ctx);

// ---------------------------------------------------------------- replication sink
// The MDS of a file system applies DS attribute snapshots through `fn` (the
// namespace engine's lc_ns_ds_push: a replica is replaced only by a newer
// attr_version, and unknown file ids are ignored). Set it when the MDS
// instance is up with its namespace open, and clear it (fn NULL) before the
// namespace is closed: clearing waits for the pushes in progress. Neither
// may be called with the namespace mutex held. Setting it wakes the DS
// instances of the file system, which then flush their dirty sets.
typedef void (*lc_cdisk_replica_fn)(void* ctx, const lc_ds_attrs* snapshot);
void lc_cdisk_set_mds_sink(lc_cdisk* cd, int fs, lc_cdisk_replica_fn fn, void* ctx);
bool lc_cdisk_mds_up(const lc_cdisk* cd, int fs);
// Hands a snapshot to the MDS: false when no MDS takes pushes right now.
// Call with no DS-disk lock held.
bool lc_cdisk_push_to_mds(lc_cdisk* cd, int fs, const lc_ds_attrs* snapshot);

// ---------------------------------------------------------------- what DS instances publish
enum lc_ds_phase : uint32_t {
    LC_DS_PHASE_DOWN,        // not listening (crashed, rebooting, or never started)
    LC_DS_PHASE_MOUNTING,    // listening after a restart; its vdisks are not mounted yet
    LC_DS_PHASE_RECOVERING,  // mounted; its dirty set is not flushed yet
    LC_DS_PHASE_UP,
};
const char* lc_ds_phase_name(lc_ds_phase p);

// Going down unmounts every vdisk of the instance in the same step.
void lc_cdisk_set_ds_phase(lc_cdisk* cd, int fs, int host, lc_ds_phase phase);
lc_ds_phase lc_cdisk_ds_phase(const lc_cdisk* cd, int fs, int host);
void lc_cdisk_set_ds_port(lc_cdisk* cd, int fs, int host, uint16_t port);
uint16_t lc_cdisk_ds_port(const lc_cdisk* cd, int fs, int host);
void lc_cdisk_set_repl_disabled(lc_cdisk* cd, int fs, int host, bool disabled);
bool lc_cdisk_repl_disabled(const lc_cdisk* cd, int fs, int host);
// Called when the MDS of the file system starts taking pushes; it must only
// wake a thread. NULL removes it: once that returns it is not called again.
void lc_cdisk_set_ds_kick(lc_cdisk* cd, int fs, int host, void (*kick)(void* ctx), void* ctx);

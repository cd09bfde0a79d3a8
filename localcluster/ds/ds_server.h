// One Tarn DS instance: the data server of one file system on one host.
//
// Threads. Each instance has several event loops, each a runtime process
// of its own. Loop 0 listens and hands accepted connections round-robin to
// every loop (itself included), so the connections of one client are
// served in parallel. A loop reads whole frames and runs the cheap part of
// every request of its connections: the fault gate, the header checks and
// the epoch check (one epoch table for all loops, under a mutex), the
// no-op, and the reads that only copy a little out of memory (reads up to
// 64 KiB, attribute reads): waking a worker for those costs more than the
// copy. Everything else runs on the cluster's shared worker pool, so
// writes and large reads of different objects proceed in parallel; only
// writes to one object wait for each other (the object's lock). Workers
// queue their replies with the connection's loop, which sends them in
// batches, so a worker never waits for a loop; the replies of one batch,
// like those of one read callback, leave each connection in one gathered
// write.
//
// Lifecycle. An instance serves until it crashes (test code 2, `ds crash`,
// host reboots): it stops taking requests, waits at most 1 s for
// the handlers already running, sends or drops their replies (the
// cluster's crash-replies switch), closes every connection and its
// listener (the port stays held, so connects are refused), and loses its
// volatile state: epoch table, replication-disabled flag, mounted vdisks.
// The DsDisk keeps everything else. It comes back on the same port with a
// new verifier, mounts its vdisks after the mount delay with new tokens,
// and its replicator flushes the dirty set.
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>

struct kiv_rpc_budget;
#include <vector>

struct lc_cdisk;
struct lc_faults;
struct lc_logger;
struct lc_workers;
struct lc_ds;

struct lc_ds_config {
    int fs_index = 0;
    uint64_t fs_id = 0;
    std::string fs_name;
    int host = 1;  // 1-based
    uint64_t host_id = 0;
    lc_cdisk* cdisk = nullptr;
    lc_workers* workers = nullptr;
    lc_faults* faults = nullptr;
    lc_logger* log = nullptr;
    const std::atomic<bool>* epoch_strict = nullptr;        // NULL = strict
    const std::atomic<bool>* crash_replies_drop = nullptr;  // NULL = flush
    bool lose_unstable = false;
    uint64_t breaks = 0;           // LC_BREAK_* rules to break (localcluster/breaks.h)
    uint32_t down_ms = 1000;       // outage of a crash
    uint32_t mount_delay_ms = 100; // from coming back to mounting
    uint64_t seed = 0;             // verifiers
    // Hard-reboots the instance's host (`host`), from a reboot fault rule.
    // Called in loop context, once the instance has stopped serving: it
    // must only hand the reboot to another thread. NULL: the instance
    // crashes alone, as by test code 2.
    void (*reboot_host)(void* ctx, int host) = nullptr;
    void* reboot_host_ctx = nullptr;
    int loops = 0;                 // event loops serving connections; 0 = min(4, max(1, cores / 2))
    // Bytes the connections of all loops may hold together (requests in
    // flight, each counted as the largest reply, and unsent replies);
    // beyond it only connections that hold nothing are read. Each
    // connection has its own 64 MiB as well. 100 reads in flight fit.
    uint64_t held_budget = uint64_t(512) << 20;
};

// Starts the instance's process and replicator; it listens nowhere yet.
// NULL with *err.
lc_ds* lc_ds_create(const lc_ds_config& config, std::string* err);
// First start: listens on 127.0.0.1:port (0 = any), every vdisk of the
// instance as the vdisk table has it. A port held by a bound, non-listening
// socket with SO_REUSEADDR can be taken over; its holder is closed
// afterwards. 0 or -errno.
int lc_ds_listen(lc_ds* ds, uint16_t port, uint16_t* bound);
// Goes down (as a crash, replies dropped) and frees everything.
void lc_ds_destroy(lc_ds* ds);

constexpr uint32_t LC_DS_HOLD_DOWN = 0xFFFFFFFF;

// Goes down now as a crash does, returning once it is down; it comes back
// by itself after `down_ms` (LC_DS_HOLD_DOWN: only through lc_ds_restart,
// whatever return or crash request was pending). A crash of an instance
// that is down only reschedules its return.
void lc_ds_crash(lc_ds* ds, uint32_t down_ms);
// Comes back now if down. 0, or -errno when it cannot listen anywhere.
int lc_ds_restart(lc_ds* ds);

// What `repl disable` / `repl enable` do. Enabling wakes the replicator.
void lc_ds_set_replication(lc_ds* ds, bool enabled);

struct lc_ds_stats {
    uint16_t port;
    int phase;          // lc_ds_phase of cluster_disk.h
    bool refusing;      // a refuse= fault holds the listener shut
    bool repl_disabled;
    uint64_t verifier;
    uint64_t starts;          // 1 + restarts
    uint64_t requests;        // frames received
    uint64_t epoch_unknown;   // answered status 1
    uint64_t faults;          // fault rules fired here
    uint64_t clients;         // in the epoch table
    uint64_t dirty;           // objects in the dirty set
    uint64_t held;       // bytes the connections hold now, against held_budget
    uint64_t held_peak;  // the most they ever held at once
    std::vector<uint64_t> loop_conns;  // connections open on each event loop
};
void lc_ds_get_stats(lc_ds* ds, lc_ds_stats* out);
// The budget the connections of all loops share; lives as long as the
// instance.
kiv_rpc_budget* lc_ds_budget(lc_ds* ds);

// Nothing is in progress: the instance is up, mounted and caught up (or
// cannot catch up because the MDS is down or replication is disabled),
// and no restart is pending.
bool lc_ds_settled(lc_ds* ds);

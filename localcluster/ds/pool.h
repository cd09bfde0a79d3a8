// The space of one file system, shared by all its vdisks and data servers:
// a count of free 4 KiB blocks, a reserve of them the server keeps for
// itself, and what each vdisk holds. Writers get only what lies above the
// reserve (the available blocks), and a vdisk at most its own capacity.
// Reservations are all or nothing and never take a count below zero or past
// a limit, however many writers race; refunds never take the free count
// above the total.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>

enum : uint32_t { LC_POOL_BLOCK = 4096 };

struct lc_pool {
    uint64_t total = 0;               // blocks
    uint64_t reserve = 0;             // blocks writers never get
    uint64_t vdisk_limit = 0;         // blocks one vdisk may hold
    uint32_t vdisks = 0;
    std::atomic<uint64_t> free{0};    // blocks, the reserve included
    std::unique_ptr<std::atomic<uint64_t>[]> held;  // blocks per vdisk
    // The no-space-accounting break (localcluster/breaks.h): reservations
    // succeed without taking blocks and releases give none back. Set before
    // the pool is used.
    bool no_accounting = false;
    // LC_BREAK_* rules (localcluster/breaks.h) the data servers of this file
    // system break on purpose; 0 = none. Set before the pool is used.
    uint64_t breaks = 0;
};

// An empty pool of `total_blocks` blocks over `vdisks` vdisks, all free,
// `reserve_blocks` of them kept back (at most the total). Each vdisk may
// hold every block writers can get.
void lc_pool_init(lc_pool* p, uint64_t total_blocks, uint32_t vdisks, uint64_t reserve_blocks);
// Lowers what one vdisk may hold (for a pool not yet in use).
void lc_pool_set_vdisk_limit(lc_pool* p, uint64_t blocks);
// lc_pool_init for a share as the cluster serves it: each vdisk gets its own
// capacity, the available blocks less a part kept for every other vdisk
// (LC_POOL_VDISK_KEPT blocks, or a 2·vdisks-th of the available blocks on a
// share too small for that). One file can take nearly the whole share, yet
// a vdisk that fills up leaves the others room for their own files, and
// the free space of the fullest vdisk falls below the share's.
enum : uint64_t { LC_POOL_VDISK_KEPT = 4096 };  // 16 MiB
void lc_pool_init_share(lc_pool* p, uint64_t total_blocks, uint32_t vdisks, uint64_t reserve_blocks);

// The reserve a file system of `total_blocks` keeps: one block in twenty.
uint64_t lc_pool_default_reserve(uint64_t total_blocks);

uint64_t lc_pool_total_blocks(const lc_pool* p);
uint64_t lc_pool_free_blocks(const lc_pool* p);
// Free blocks above the reserve.
uint64_t lc_pool_avail_blocks(const lc_pool* p);
// What a writer on `vdisk` can still get: the available blocks, or less
// when the vdisk is near its limit. 0 for a vdisk outside the pool.
uint64_t lc_pool_vdisk_free_blocks(const lc_pool* p, uint32_t vdisk);
// The smallest lc_pool_vdisk_free_blocks over the pool's vdisks (the
// available blocks when it has none).
uint64_t lc_pool_min_vdisk_free_blocks(const lc_pool* p);
// Blocks held by the objects of `vdisk`.
uint64_t lc_pool_vdisk_held_blocks(const lc_pool* p, uint32_t vdisk);

// Takes `blocks` for `vdisk` if that many are available and the vdisk stays
// within its limit; false (and nothing taken) otherwise, also for a vdisk
// outside the pool. Reserving 0 always succeeds.
bool lc_pool_reserve(lc_pool* p, uint32_t vdisk, uint64_t blocks);

// Gives back blocks `vdisk` took by lc_pool_reserve.
void lc_pool_release(lc_pool* p, uint32_t vdisk, uint64_t blocks);

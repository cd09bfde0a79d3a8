// The space pool of one file system, shared by all its vdisks and data
// servers: a count of free 4 KiB blocks. Reservations are all or nothing
// and never take the count below zero, however many writers race; refunds
// never take it above the total.
#pragma once

#include <stdint.h>

#include <atomic>

enum : uint32_t { LC_POOL_BLOCK = 4096 };

struct lc_pool {
    uint64_t total = 0;              // blocks
    std::atomic<uint64_t> free{0};  // blocks
    // The no-space-accounting break (localcluster/breaks.h): reservations
    // succeed without taking blocks and releases give none back. Set before
    // the pool is used.
    bool no_accounting = false;
    // LC_BREAK_* rules (localcluster/breaks.h) the data servers of this file
    // system break on purpose; 0 = none. Set before the pool is used.
    uint64_t breaks = 0;
};

// An empty pool of `total_blocks` blocks, all free.
void lc_pool_init(lc_pool* p, uint64_t total_blocks);

uint64_t lc_pool_total_blocks(const lc_pool* p);
uint64_t lc_pool_free_blocks(const lc_pool* p);

// Takes `blocks` if at least that many are free; false (and nothing taken)
// otherwise. Reserving 0 always succeeds.
bool lc_pool_reserve(lc_pool* p, uint64_t blocks);

// Gives back blocks taken by lc_pool_reserve.
void lc_pool_release(lc_pool* p, uint64_t blocks);

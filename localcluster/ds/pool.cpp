#include "localcluster/ds/pool.h"

#include <stdlib.h>

#include <algorithm>

void lc_pool_init(lc_pool* p, uint64_t total_blocks, uint32_t vdisks, uint64_t reserve_blocks) {
    p->total = total_blocks;
    p->reserve = std::min(reserve_blocks, total_blocks);
    p->vdisk_limit = total_blocks - p->reserve;
    p->vdisks = vdisks;
    p->free.store(total_blocks, std::memory_order_relaxed);
    p->held = std::make_unique<std::atomic<uint64_t>[]>(vdisks);
    for (uint32_t v = 0; v < vdisks; v++) p->held[v].store(0, std::memory_order_relaxed);
}

void lc_pool_set_vdisk_limit(lc_pool* p, uint64_t blocks) { p->vdisk_limit = blocks; }

void lc_pool_init_share(lc_pool* p, uint64_t total_blocks, uint32_t vdisks, uint64_t reserve_blocks) {
    lc_pool_init(p, total_blocks, vdisks, reserve_blocks);
    if (vdisks < 2) return;
    // Half of the available blocks at most go to the parts kept for the
    // others, so every vdisk can hold more than half of the share.
    const uint64_t usable = p->vdisk_limit;
    const uint64_t kept = std::min<uint64_t>(LC_POOL_VDISK_KEPT, usable / (2 * uint64_t(vdisks)));
    lc_pool_set_vdisk_limit(p, usable - kept * (vdisks - 1));
}

uint64_t lc_pool_default_reserve(uint64_t total_blocks) { return total_blocks / 20; }

uint64_t lc_pool_total_blocks(const lc_pool* p) { return p->total; }

uint64_t lc_pool_free_blocks(const lc_pool* p) { return p->free.load(std::memory_order_acquire); }

uint64_t lc_pool_avail_blocks(const lc_pool* p) {
    uint64_t f = lc_pool_free_blocks(p);
    return f > p->reserve ? f - p->reserve : 0;
}

uint64_t lc_pool_vdisk_held_blocks(const lc_pool* p, uint32_t vdisk) {
    return vdisk < p->vdisks ? p->held[vdisk].load(std::memory_order_acquire) : 0;
}

uint64_t lc_pool_vdisk_free_blocks(const lc_pool* p, uint32_t vdisk) {
    if (vdisk >= p->vdisks) return 0;
    uint64_t held = lc_pool_vdisk_held_blocks(p, vdisk);
    uint64_t room = held < p->vdisk_limit ? p->vdisk_limit - held : 0;
    return std::min(room, lc_pool_avail_blocks(p));
}

uint64_t lc_pool_min_vdisk_free_blocks(const lc_pool* p) {
    uint64_t least = lc_pool_avail_blocks(p);
    for (uint32_t v = 0; v < p->vdisks; v++) least = std::min(least, lc_pool_vdisk_free_blocks(p, v));
    return least;
}

bool lc_pool_reserve(lc_pool* p, uint32_t vdisk, uint64_t blocks) {
    if (blocks == 0 || p->no_accounting) return true;
    if (vdisk >= p->vdisks) return false;
    // The vdisk's share first, then the pool's; a pool too short gives the
    // vdisk's share back.
    std::atomic<uint64_t>& held = p->held[vdisk];
    uint64_t cur = held.load(std::memory_order_acquire);
    do {
        if (cur > p->vdisk_limit || p->vdisk_limit - cur < blocks) return false;
    } while (!held.compare_exchange_weak(cur, cur + blocks, std::memory_order_acq_rel, std::memory_order_acquire));
    cur = p->free.load(std::memory_order_acquire);
    do {
        if (cur < p->reserve || cur - p->reserve < blocks) {
            held.fetch_sub(blocks, std::memory_order_acq_rel);
            return false;
        }
    } while (!p->free.compare_exchange_weak(cur, cur - blocks, std::memory_order_acq_rel, std::memory_order_acquire));
    return true;
}

void lc_pool_release(lc_pool* p, uint32_t vdisk, uint64_t blocks) {
    if (blocks == 0 || p->no_accounting) return;
    // A refund of blocks never reserved would break every space counter the
    // clients see; better to stop at the fault than to drift.
    if (vdisk >= p->vdisks) abort();
    uint64_t held_before = p->held[vdisk].fetch_sub(blocks, std::memory_order_acq_rel);
    if (held_before < blocks) abort();
    uint64_t before = p->free.fetch_add(blocks, std::memory_order_acq_rel);
    if (before + blocks > p->total || before + blocks < before) abort();
}

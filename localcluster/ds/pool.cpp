#include "localcluster/ds/pool.h"

#include <stdlib.h>

void lc_pool_init(lc_pool* p, uint64_t total_blocks) {
    p->total = total_blocks;
    p->free.store(total_blocks, std::memory_order_relaxed);
}

uint64_t lc_pool_total_blocks(const lc_pool* p) { return p->total; }

uint64_t lc_pool_free_blocks(const lc_pool* p) { return p->free.load(std::memory_order_acquire); }

bool lc_pool_reserve(lc_pool* p, uint64_t blocks) {
    if (blocks == 0 || p->no_accounting) return true;
    uint64_t cur = p->free.load(std::memory_order_acquire);
    do {
        if (cur < blocks) return false;
    } while (!p->free.compare_exchange_weak(cur, cur - blocks, std::memory_order_acq_rel, std::memory_order_acquire));
    return true;
}

void lc_pool_release(lc_pool* p, uint64_t blocks) {
    if (blocks == 0 || p->no_accounting) return;
    uint64_t before = p->free.fetch_add(blocks, std::memory_order_acq_rel);
    // A refund of blocks never reserved would break every space counter the
    // clients see; better to stop at the fault than to drift.
    if (before + blocks > p->total || before + blocks < before) abort();
}

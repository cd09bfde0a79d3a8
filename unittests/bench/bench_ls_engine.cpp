// Costs of the lock tables per request as they fill: a take and a free on a
// file that holds N locks, and a release on a file where N blocking
// requests wait. Each should stay flat as N grows.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "localcluster/ls/ls_engine.h"

namespace {

lc_ls_range win(uint64_t start, uint64_t len, uint32_t type, uint64_t fh = 1) {
    return {.fs_id = 1, .fh = fh, .start = start, .len = len, .type = type, .flavour = LC_LS_WINDOWS};
}

lc_ls_owner owner(uint64_t i) {
    lc_ls_owner o;
    o.caller = "caller-" + std::to_string(i % 64);
    o.owner_id = i;
    return o;
}

lc_ls_engine* make_engine() {
    lc_ls_engine* e = lc_ls_engine_create(1, lc_ls_breaks{});
    lc_ls_limits big;
    big.held_per_file = big.held_per_caller = 1u << 20;
    lc_ls_engine_set_limits(e, big);
    return e;
}

// N shared one-byte locks at even offsets, taken from the top down; each
// round takes and frees an exclusive lock in a gap picked at random.
void BM_TakeFreeAmongHeld(benchmark::State& state) {
    const uint64_t n = uint64_t(state.range(0));
    lc_ls_engine* e = make_engine();
    for (uint64_t i = n; i-- > 0;)
        if (lc_ls_take(e, owner(i), win(2 * i, 1, LC_LS_SHARED), {}) != LC_LS_GRANTED) abort();
    std::mt19937_64 rng(1);
    lc_ls_owner o = owner(n + 1);
    for (auto _ : state) {
        lc_ls_range r = win(2 * (rng() % n) + 1, 1, LC_LS_EXCLUSIVE);
        benchmark::DoNotOptimize(lc_ls_take(e, o, r, {}));
        benchmark::DoNotOptimize(lc_ls_free(e, o, r));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 2);
    lc_ls_engine_destroy(e);
}
BENCHMARK(BM_TakeFreeAmongHeld)->Arg(1000)->Arg(10000)->Arg(100000);

// N blocking requests wait behind one exclusive lock; each round takes and
// frees a lock beside it, whose release looks at the queue.
void BM_ReleaseWithQueued(benchmark::State& state) {
    const uint64_t n = uint64_t(state.range(0));
    lc_ls_engine* e = make_engine();
    lc_ls_limits lim;
    lim.held_per_file = lim.held_per_caller = 1u << 20;
    lim.queued_per_file = lim.queued_per_caller = 1u << 20;
    lc_ls_engine_set_limits(e, lim);
    if (lc_ls_take(e, owner(0), win(0, 1u << 30, LC_LS_EXCLUSIVE), {}) != LC_LS_GRANTED) abort();
    for (uint64_t i = 1; i <= n; i++)
        if (lc_ls_blocking_take(e, owner(i), win(2 * i, 1, LC_LS_SHARED), {}, lc_ls_addr{}) != LC_LS_BLOCKED) abort();
    lc_ls_owner o = owner(n + 1);
    lc_ls_range r = win(1u << 31, 1, LC_LS_EXCLUSIVE);
    for (auto _ : state) {
        benchmark::DoNotOptimize(lc_ls_take(e, o, r, {}));
        benchmark::DoNotOptimize(lc_ls_free(e, o, r));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 2);
    lc_ls_engine_destroy(e);
}
BENCHMARK(BM_ReleaseWithQueued)->Arg(100)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();

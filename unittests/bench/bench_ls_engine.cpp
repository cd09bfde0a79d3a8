// Costs of the lock tables per request as they fill: a take and a free on a
// file that holds N locks, disjoint or overlapping, a release on a file
// where N blocking requests wait, a free-all of one caller among N locks of
// others, one beside many waiting requests, and a take and free on a file
// of its own beside N requests waiting for room elsewhere. Each should
// stay flat as N grows. The memory a held lock costs is counted too.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "localcluster/ls/ls_engine.h"

// Every byte the program holds from operator new, so that the tables' own
// cost can be read as the difference around filling them.
static std::atomic<int64_t> g_live_bytes{0};

// Out of line, so that the compiler does not pair the malloc and the free
// across the replaced operators.
__attribute__((noinline)) static void* counted_alloc(size_t n) {
    void* p = malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    g_live_bytes += int64_t(malloc_usable_size(p));
    return p;
}
__attribute__((noinline)) static void counted_free(void* p) {
    if (!p) return;
    g_live_bytes -= int64_t(malloc_usable_size(p));
    free(p);
}

void* operator new(size_t n) { return counted_alloc(n); }
void* operator new[](size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, size_t) noexcept { counted_free(p); }
void operator delete[](void* p, size_t) noexcept { counted_free(p); }

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

// One caller holds 10 locks on files of their own while N locks of 64
// other callers are held on 100 files; each round frees all of the one
// caller (its 10 takes are not timed).
void BM_FreeAllAmongOthers(benchmark::State& state) {
    const uint64_t n = uint64_t(state.range(0));
    lc_ls_engine* e = make_engine();
    for (uint64_t i = 0; i < n; i++)
        if (lc_ls_take(e, owner(i), win(2 * i, 1, LC_LS_SHARED, 1 + i % 100), {}) != LC_LS_GRANTED) abort();
    lc_ls_owner o;
    o.caller = "leaving";
    o.owner_id = 1;
    for (auto _ : state) {
        state.PauseTiming();
        for (uint64_t k = 0; k < 10; k++)
            if (lc_ls_take(e, o, win(k, 1, LC_LS_EXCLUSIVE, 1000 + k), {}) != LC_LS_GRANTED) abort();
        state.ResumeTiming();
        lc_ls_free_all(e, o.caller);
    }
    if (lc_ls_engine_counts(e).held != n) abort();
    state.SetItemsProcessed(int64_t(state.iterations()));
    lc_ls_engine_destroy(e);
}
BENCHMARK(BM_FreeAllAmongOthers)->Arg(1000)->Arg(100000);

lc_ls_range posix(uint64_t start, uint64_t len, uint32_t type, uint64_t fh = 1) {
    return {.fs_id = 1, .fh = fh, .start = start, .len = len, .type = type, .flavour = LC_LS_POSIX};
}

// N shared POSIX locks of distinct owners all over bytes 0-1096 of one
// file, as readers of one file take them; each round a new owner takes a
// shared piece and frees it. Neither looks at the others' shared locks.
void BM_TakeFreeAmongOverlapping(benchmark::State& state) {
    const uint64_t n = uint64_t(state.range(0));
    lc_ls_engine* e = make_engine();
    for (uint64_t i = 0; i < n; i++)
        if (lc_ls_take(e, owner(i), posix(0, 1097, LC_LS_SHARED), {}) != LC_LS_GRANTED) abort();
    std::mt19937_64 rng(1);
    lc_ls_owner o = owner(n + 1);
    for (auto _ : state) {
        lc_ls_range r = posix(rng() % 1000, 97, LC_LS_SHARED);
        benchmark::DoNotOptimize(lc_ls_take(e, o, r, {}));
        benchmark::DoNotOptimize(lc_ls_free(e, o, r));
    }
    if (lc_ls_engine_counts(e).held != n) abort();
    state.SetItemsProcessed(int64_t(state.iterations()) * 2);
    lc_ls_engine_destroy(e);
}
BENCHMARK(BM_TakeFreeAmongOverlapping)->Arg(1000)->Arg(10000)->Arg(65536);

// One caller holds 64,000 shared Windows locks, apart from each other,
// while 1,024 whole-file exclusive requests of others wait; each round is
// its free-all (the filling is not timed), which grants the oldest
// request. The release looks at each waiting request once, not once per
// lock it frees.
void BM_FreeAllBesideQueued(benchmark::State& state) {
    const uint64_t held = 64000, queued = 1024;
    for (auto _ : state) {
        state.PauseTiming();
        lc_ls_engine* e = make_engine();
        lc_ls_limits lim;
        lim.held_per_file = lim.held_per_caller = 1u << 20;
        lim.queued_per_file = lim.queued_per_caller = 1u << 20;
        lc_ls_engine_set_limits(e, lim);
        lc_ls_owner leaving;
        leaving.caller = "leaving";
        for (uint64_t i = 0; i < held; i++) {
            leaving.owner_id = i;
            if (lc_ls_take(e, leaving, win(4 * i, 1, LC_LS_SHARED), {}) != LC_LS_GRANTED) abort();
        }
        for (uint64_t i = 0; i < queued; i++)
            if (lc_ls_blocking_take(e, owner(i), win(0, UINT64_MAX, LC_LS_EXCLUSIVE), {}, lc_ls_addr{}) !=
                LC_LS_BLOCKED)
                abort();
        state.ResumeTiming();
        lc_ls_free_all(e, leaving.caller);
        state.PauseTiming();
        lc_ls_counts c = lc_ls_engine_counts(e);
        if (c.held != 1 || c.pending != queued - 1) abort();
        lc_ls_engine_destroy(e);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_FreeAllBesideQueued)->Iterations(5)->Unit(benchmark::kMillisecond);

// N requests of N / 1024 callers wait for room, each caller's on a file of
// its own: each caller holds one shared segment there and has queued
// exclusive pieces inside it, which a shared lock of another caller held
// up until it went; each would add two entries, and the caller's cap lets
// it hold two. Each round another caller takes and frees a lock on another
// file, which makes no room for them.
void BM_TakeFreeBesideWaitingForRoom(benchmark::State& state) {
    const uint64_t n = uint64_t(state.range(0)), per_caller = 1024;
    lc_ls_engine* e = make_engine();
    lc_ls_limits lim;
    lim.held_per_file = lim.held_per_caller = 1u << 20;
    lim.queued_per_file = lim.queued_per_caller = 1u << 20;
    lc_ls_engine_set_limits(e, lim);
    const uint64_t callers = n / per_caller;
    lc_ls_owner waiter, blocker;
    blocker.caller = "blocker";
    for (uint64_t c = 0; c < callers; c++) {
        waiter.caller = "waiter-" + std::to_string(c);
        lc_ls_range seg = posix(0, 1u << 20, LC_LS_SHARED, 100 + c);
        if (lc_ls_take(e, waiter, seg, {}) != LC_LS_GRANTED || lc_ls_take(e, blocker, seg, {}) != LC_LS_GRANTED)
            abort();
        for (uint64_t i = 0; i < per_caller; i++)
            if (lc_ls_blocking_take(e, waiter, posix(4 * i + 1, 1, LC_LS_EXCLUSIVE, 100 + c), {}, lc_ls_addr{}) !=
                LC_LS_BLOCKED)
                abort();
    }
    lim.held_per_caller = 2;
    lc_ls_engine_set_limits(e, lim);
    for (uint64_t c = 0; c < callers; c++)
        if (lc_ls_free(e, blocker, posix(0, 0, LC_LS_SHARED, 100 + c)) != LC_LS_GRANTED) abort();
    lc_ls_counts counts = lc_ls_engine_counts(e);
    if (counts.pending != n || counts.held != callers) abort();
    lc_ls_owner o = owner(1);
    lc_ls_range r = win(0, 1, LC_LS_EXCLUSIVE);
    for (auto _ : state) {
        benchmark::DoNotOptimize(lc_ls_take(e, o, r, {}));
        benchmark::DoNotOptimize(lc_ls_free(e, o, r));
    }
    if (lc_ls_engine_counts(e).pending != n) abort();
    state.SetItemsProcessed(int64_t(state.iterations()) * 2);
    lc_ls_engine_destroy(e);
}
BENCHMARK(BM_TakeFreeBesideWaitingForRoom)->Arg(0)->Arg(1024)->Arg(3072);

// Bytes the tables keep per held lock: typical requests (a short caller
// name, one 16-byte item) or the largest a request may carry (a 2047-byte
// name, items filling the 8192 opaque bytes), all of one caller with the
// same items or each of its own name and items. Not a timing: the
// "bytes_per_lock" counter is the figure.
void BM_BytesPerHeldLock(benchmark::State& state) {
    const bool maximal = state.range(0) != 0, distinct = state.range(1) != 0;
    const uint64_t n = 4096;
    std::vector<lc_ls_owner> owners(n);
    std::vector<std::vector<std::string>> items(n);
    for (uint64_t i = 0; i < n; i++) {
        std::string tag = std::to_string(distinct ? i : 0);
        std::string name = "client-host-07.cluster:" + tag;
        owners[i].caller = maximal ? name + std::string(2047 - name.size(), 'n') : name;
        owners[i].owner_id = i;
        std::string item = "handle-" + tag;
        items[i] = {maximal ? item + std::string(8184 - item.size(), 'i') : item + std::string(16 - item.size(), 'i')};
    }
    double per_lock = 0;
    for (auto _ : state) {
        lc_ls_engine* e = make_engine();
        int64_t before = g_live_bytes.load();
        for (uint64_t i = 0; i < n; i++)
            if (lc_ls_take(e, owners[i], win(2 * i, 1, LC_LS_SHARED), items[i]) != LC_LS_GRANTED) abort();
        per_lock = double(g_live_bytes.load() - before) / double(n);
        lc_ls_engine_destroy(e);
    }
    state.counters["bytes_per_lock"] = per_lock;
}
BENCHMARK(BM_BytesPerHeldLock)->ArgsProduct({{0, 1}, {0, 1}})->ArgNames({"maximal", "distinct"})->Iterations(1);

// The priority a fixed mix of the key gives: what the index once drew its
// priorities with, and what a client that sees the ids could compute.
uint32_t fixed_prio(uint64_t key) {
    uint64_t z = key + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return uint32_t((z ^ (z >> 31)) >> 16);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One caller, one owner, one file, under the default caps: 32,768 one-byte
// POSIX takes at plain starts (4 * i) or at starts in the order of the
// fixed mix's priorities of the ids they get (2 * prio + 4), which made
// each tree a chain. The fill is timed; the free-all after it is the
// "free_all_s" counter.
void BM_ChainShapedFill(benchmark::State& state) {
    const uint64_t n = 32768;
    const bool chain = state.range(0) != 0;
    double free_all_s = 0;
    for (auto _ : state) {
        state.PauseTiming();
        lc_ls_engine* e = lc_ls_engine_create(1, lc_ls_breaks{});
        lc_ls_owner o = owner(1);
        state.ResumeTiming();
        for (uint64_t id = 1; id <= n; id++) {
            uint64_t s = chain ? 2 * uint64_t(fixed_prio(id)) + 4 : 4 * id;
            if (lc_ls_take(e, o, posix(s, 1, LC_LS_EXCLUSIVE), {}) != LC_LS_GRANTED) abort();
        }
        state.PauseTiming();
        auto t0 = std::chrono::steady_clock::now();
        lc_ls_free_all(e, o.caller);
        free_all_s = seconds_since(t0);
        if (lc_ls_engine_counts(e).held != 0) abort();
        lc_ls_engine_destroy(e);
        state.ResumeTiming();
    }
    state.counters["free_all_s"] = free_all_s;
}
BENCHMARK(BM_ChainShapedFill)->ArgName("chain")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// W holds 2,000 exclusive Windows points; 500 owners each keep one anchor
// segment and, at every point x, take [x-1], take [x] (kept apart from it
// by the point) and free [x-1, x]. Timed: W's free-all. Counters: the
// records of segments kept apart the rounds left ("apart") and the bytes
// the tables grew by meanwhile, with as many locks held before and after.
void BM_KeptApartBesidePoints(benchmark::State& state) {
    const uint64_t points = 2000, owners = 500;
    double apart = 0, grown = 0;
    for (auto _ : state) {
        state.PauseTiming();
        lc_ls_engine* e = make_engine();
        lc_ls_owner w;
        w.caller = "w";
        for (uint64_t i = 0; i < points; i++)
            if (lc_ls_take(e, w, win(4 * i + 4, 0, LC_LS_EXCLUSIVE), {}) != LC_LS_GRANTED) abort();
        for (uint64_t k = 0; k < owners; k++)
            if (lc_ls_take(e, owner(k), posix((1ull << 40) + 2 * k, 1, LC_LS_EXCLUSIVE), {}) != LC_LS_GRANTED) abort();
        int64_t before = g_live_bytes.load();
        for (uint64_t k = 0; k < owners; k++)
            for (uint64_t i = 0; i < points; i++) {
                uint64_t x = 4 * i + 4;
                if (lc_ls_take(e, owner(k), posix(x - 1, 1, LC_LS_EXCLUSIVE), {}) != LC_LS_GRANTED ||
                    lc_ls_take(e, owner(k), posix(x, 1, LC_LS_EXCLUSIVE), {}) != LC_LS_GRANTED ||
                    lc_ls_free(e, owner(k), posix(x - 1, 2, LC_LS_EXCLUSIVE)) != LC_LS_GRANTED)
                    abort();
            }
        grown = double(g_live_bytes.load() - before);
        lc_ls_counts c = lc_ls_engine_counts(e);
        if (c.held != points + owners) abort();
        apart = double(c.apart);
        state.ResumeTiming();
        lc_ls_free_all(e, w.caller);
        state.PauseTiming();
        lc_ls_engine_destroy(e);
        state.ResumeTiming();
    }
    state.counters["apart"] = apart;
    state.counters["bytes"] = grown;
}
BENCHMARK(BM_KeptApartBesidePoints)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

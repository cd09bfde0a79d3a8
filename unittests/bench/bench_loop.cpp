// Costs of entering the loop: a job round trip from plain threads, a move
// in and out of loop context, and a co-wait hand-off between two holders.
#include <benchmark/benchmark.h>

#include <atomic>

#include "kiv/io.h"

namespace {

// One process for the whole program; it ends with it.
kiv_process* bench_process() {
    static kiv_process* p = [] {
        auto* proc = new kiv_process{};
        if (kiv_process_init_(proc) != 0 || kiv_process_start(proc, "bench-evloop") != 0) abort();
        return proc;
    }();
    return p;
}

int noop(void*) { return 0; }

void BM_CallInJob(benchmark::State& state) {
    kiv_process* p = bench_process();
    for (auto _ : state) benchmark::DoNotOptimize(kiv_call_in_job(p, noop, nullptr));
}
BENCHMARK(BM_CallInJob)->UseRealTime();
BENCHMARK(BM_CallInJob)->Threads(8)->UseRealTime();

void BM_MoveToFromCoroutine(benchmark::State& state) {
    kiv_process* p = bench_process();
    for (auto _ : state) {
        kiv_move_to_coroutine(p);
        kiv_move_from_coroutine();
    }
}
BENCHMARK(BM_MoveToFromCoroutine)->UseRealTime();
BENCHMARK(BM_MoveToFromCoroutine)->Threads(8)->UseRealTime();

// A moved thread and a coroutine bounce one token through two events: each
// iteration is two co-waits and two wake-ups through the loop lock.
struct PingPong {
    kiv_co_event ping{}, pong{};
    bool stop = false;
};

void pong_main(void* a) {
    auto* pp = static_cast<PingPong*>(a);
    for (;;) {
        kiv_co_event_wait_timeout(&pp->ping, nullptr);
        if (pp->stop) return;
        kiv_co_event_signal(&pp->pong);
    }
}

void BM_CoEventPingPong(benchmark::State& state) {
    kiv_process* p = bench_process();
    PingPong pp;
    kiv_move_to_coroutine(p);
    kiv_co* co = kiv_co_create(nullptr, pong_main, &pp);
    for (auto _ : state) {
        kiv_co_event_signal(&pp.ping);
        kiv_co_event_wait_timeout(&pp.pong, nullptr);
    }
    pp.stop = true;
    kiv_co_event_signal(&pp.ping);
    kiv_co_join(co);
    kiv_move_from_coroutine();
}
BENCHMARK(BM_CoEventPingPong)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// One-shot monotonic timers: a binary heap ordered by expiry, ties by
// arming order, fired by evloop.
#include <limits.h>

#include "loop_core.h"

using namespace kiv_loop;

namespace {

bool before(const kiv_timer* a, const kiv_timer* b) {
    return a->expires_us != b->expires_us ? a->expires_us < b->expires_us : a->seq < b->seq;
}

void put_at(std::vector<kiv_timer*>& h, size_t i, kiv_timer* t) {
    h[i] = t;
    t->heap_index = uint32_t(i);
}

void sift_up(std::vector<kiv_timer*>& h, size_t i) {
    kiv_timer* t = h[i];
    while (i > 0) {
        size_t parent = (i - 1) / 2;
        if (!before(t, h[parent])) break;
        put_at(h, i, h[parent]);
        i = parent;
    }
    put_at(h, i, t);
}

void sift_down(std::vector<kiv_timer*>& h, size_t i) {
    kiv_timer* t = h[i];
    const size_t n = h.size();
    for (;;) {
        size_t child = 2 * i + 1;
        if (child >= n) break;
        if (child + 1 < n && before(h[child + 1], h[child])) child++;
        if (!before(h[child], t)) break;
        put_at(h, i, h[child]);
        i = child;
    }
    put_at(h, i, t);
}

void heap_remove(std::vector<kiv_timer*>& h, kiv_timer* t) {
    size_t i = t->heap_index;
    kiv_timer* last = h.back();
    h.pop_back();
    if (last == t) return;
    put_at(h, i, last);
    sift_down(h, i);
    sift_up(h, last->heap_index);
}

void set_state(kiv_timer* t, uint32_t s) { __atomic_store_n(&t->state, s, __ATOMIC_RELEASE); }

kiv_proc_core* core_of(const kiv_timer* t) { return t->process ? t->process->core : nullptr; }

}  // namespace

void init_timer(kiv_process* p, kiv_timer* t, void (*fn)(void*), void* arg) {
    t->process = p;
    t->fn = fn;
    t->arg = arg;
    t->expires_us = 0;
    t->seq = 0;
    t->heap_index = 0;
    t->state = 0;
}

int mod_timer(kiv_timer* t, uint64_t ms) {
    if (!core_of(t)) return 0;
    kiv_loop_guard g(t->process);
    kiv_proc_core* c = core_of(t);
    const int was = t->state ? 1 : 0;
    if (c->terminated.load()) return was;
    auto& h = c->timers;
    t->expires_us = deadline_after_ms(ms);
    t->seq = ++c->timer_seq;
    if (was) {
        sift_down(h, t->heap_index);
        sift_up(h, t->heap_index);
    } else {
        h.push_back(t);
        sift_up(h, h.size() - 1);
        set_state(t, 1);
    }
    // evloop recomputes its time-out after each batch; anyone else may have
    // moved the earliest expiry before the time evloop sleeps until. Reply
    // timers armed by callers seldom do, and a needless kick costs a wake-up
    // of evloop per call.
    if (t->heap_index == 0 && !__kiv_thread_tls.on_evloop && t->expires_us < c->wake_by_us) loop_kick(c);
    return was;
}

int del_timer_sync(kiv_timer* t) {
    if (!core_of(t)) return 0;
    // From a plain thread, taking the loop lock waits out a running handler.
    kiv_loop_guard g(t->process);
    kiv_proc_core* c = core_of(t);
    if (!c || !t->state) return 0;
    heap_remove(c->timers, t);
    set_state(t, 0);
    return 1;
}

int timer_pending(const kiv_timer* t) { return __atomic_load_n(&t->state, __ATOMIC_ACQUIRE) ? 1 : 0; }

namespace kiv_loop {

void timers_fire(kiv_proc_core* c, uint64_t now_us, uint64_t seq_limit) {
    auto& h = c->timers;
    // Timers armed during this batch have a later sequence number and wait
    // for the next one, even when they are already due.
    while (!h.empty() && !c->terminated.load(std::memory_order_relaxed)) {
        kiv_timer* t = h[0];
        if (t->expires_us > now_us || t->seq > seq_limit) break;
        heap_remove(h, t);
        set_state(t, 0);
        t->fn(t->arg);  // may free t
    }
}

int timers_timeout_ms(kiv_proc_core* c) {
    c->wake_by_us = UINT64_MAX;
    if (c->timers.empty()) return -1;
    uint64_t exp = c->timers[0]->expires_us, now = get_abs_time_us();
    c->wake_by_us = exp;
    if (exp <= now) return 0;
    uint64_t ms = (exp - now + 999) / 1000;
    if (ms > INT_MAX) {
        c->wake_by_us = now + uint64_t(INT_MAX) * 1000;
        return INT_MAX;
    }
    return int(ms);
}

void timers_clear(kiv_proc_core* c) {
    for (kiv_timer* t : c->timers) set_state(t, 0);
    c->timers.clear();
}

}  // namespace kiv_loop

// Waiters: one plain thread waits for one signal from the loop.
//
// The waiting thread parks on a futex word of its own (a per-thread slot
// that is never freed), never on the waiter's memory, so the signalling side
// does not touch the waiter after releasing it and a late wake-up of a slot
// whose thread has moved on is merely spurious (every wait re-checks).
//
// evloop does not wake parked threads inside its batch: it collects their
// slots and, once the loop lock is released, hands them to a process-wide
// relay list. It wakes a few; every thread that returns from its futex wait
// wakes a few more before it goes on. Nobody drops out of the chain while
// the list holds slots: a wake-up that found nobody asleep does not count,
// and the waker takes the next slot instead.
#include <deque>

#include "loop_core.h"

using namespace kiv_loop;

namespace {

struct park_slot {
    std::atomic<uint32_t> word{0};  // 1: woken
    park_slot* next_free = nullptr;
};

std::mutex g_free_mu;
park_slot* g_free;

// Gives the slot back at thread exit; slots are reused, never freed.
struct slot_owner {
    park_slot* s = nullptr;
    ~slot_owner() {
        if (!s) return;
        std::lock_guard<std::mutex> g(g_free_mu);
        s->next_free = g_free;
        g_free = s;
    }
};
thread_local slot_owner t_slot;

park_slot* my_slot() {
    if (!t_slot.s) {
        std::lock_guard<std::mutex> g(g_free_mu);
        if ((t_slot.s = g_free) != nullptr)
            g_free = t_slot.s->next_free;
        else
            t_slot.s = new park_slot();
    }
    return t_slot.s;
}

// Wake-ups an evloop thread held back during its batch.
thread_local std::vector<park_slot*> t_deferred;

std::mutex g_relay_mu;
std::deque<park_slot*> g_relay;  // first held back, first woken
std::atomic<size_t> g_relay_len{0};

// How many parked threads one thread wakes from the relay list.
constexpr int kRelayFanout = 2;

park_slot* relay_pop() {
    std::lock_guard<std::mutex> g(g_relay_mu);
    if (g_relay.empty()) return nullptr;
    park_slot* s = g_relay.front();
    g_relay.pop_front();
    g_relay_len.store(g_relay.size(), std::memory_order_relaxed);
    return s;
}

void wake_slot(park_slot* s, int* woken) {
    s->word.store(1, std::memory_order_seq_cst);
    if (futex_wake(&s->word) > 0) ++*woken;
}

void relay(int want) {
    int woken = 0;
    while (woken < want && g_relay_len.load(std::memory_order_relaxed) > 0) {
        park_slot* s = relay_pop();
        if (!s) return;
        wake_slot(s, &woken);
    }
}

inline uintptr_t load_word(const kiv_waiter* w) { return __atomic_load_n(&w->word, __ATOMIC_SEQ_CST); }

}  // namespace

namespace kiv_loop {

void waiter_flush_deferred() {
    std::vector<park_slot*>& d = t_deferred;
    if (d.empty()) return;
    {
        std::lock_guard<std::mutex> g(g_relay_mu);
        g_relay.insert(g_relay.end(), d.begin(), d.end());
        g_relay_len.store(g_relay.size(), std::memory_order_relaxed);
    }
    d.clear();
    relay(kRelayFanout);
}

}  // namespace kiv_loop

void kiv_waiter_init(kiv_waiter* w) { __atomic_store_n(&w->word, uintptr_t(0), __ATOMIC_SEQ_CST); }

bool kiv_waiter_signalled(const kiv_waiter* w) { return load_word(w) == 1; }

void kiv_waiter_wait(kiv_waiter* w) {
    KIV_BUG_ON(kiv_in_loop_context());
    if (load_word(w) == 1) return;
    park_slot* s = my_slot();
    s->word.store(0, std::memory_order_seq_cst);
    uintptr_t expected = 0;
    if (!__atomic_compare_exchange_n(&w->word, &expected, uintptr_t(s), false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)) {
        KIV_BUG_ON(expected != 1);  // a second waiter
        return;
    }
    for (;;) {
        futex_wait(&s->word, 0, 0);
        relay(kRelayFanout);
        if (load_word(w) == 1) return;
        // Spurious: a late wake-up meant for an earlier wait, or a signal.
        s->word.store(0, std::memory_order_seq_cst);
        if (load_word(w) == 1) return;
    }
}

void kiv_waiter_signal(kiv_waiter* w) {
    const uintptr_t old = __atomic_exchange_n(&w->word, uintptr_t(1), __ATOMIC_SEQ_CST);
    if (old <= 1) return;  // nobody parked yet: the wait sees the signal
    auto* s = reinterpret_cast<park_slot*>(old);
    if (__kiv_thread_tls.on_evloop) {
        t_deferred.push_back(s);
        return;
    }
    int woken = 0;
    wake_slot(s, &woken);
}

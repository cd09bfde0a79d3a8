// Private state of the event loop, shared by the loop_*.cpp files.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "loop_internal.h"

namespace kiv_loop {

enum : uint8_t { W_NONE, W_EVENT, W_COND, W_MUTEX, W_JOIN };  // kiv_co::wait_kind
enum : uint8_t { R_NONE, R_SIGNAL, R_KICK };                  // kiv_co::reason
enum : uint32_t { S_RUNNING, S_SLEEPING, S_WOKEN, S_TIMEDOUT };  // kiv_co::sleep

enum : uint32_t { JOB_QUEUED = 1, JOB_CALL = 2, JOB_POST = 4 };  // kiv_job::state

constexpr uint32_t kDefaultStack = 256 * 1024;

template <class T>
T* create(const char* tag) {
    return new (__kiv_zmalloc(tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(T))) T();
}
template <class T>
void destroy(T* o) {
    if (!o) return;
    o->~T();
    __kiv_free(o);
}

}  // namespace kiv_loop

// Anything that can hold or queue for the loop lock: a coroutine, the
// per-move record of a plain thread, or evloop's own record.
struct kiv_co {
    kiv_proc_core* core = nullptr;
    kiv_process* process = nullptr;
    // Futex word: becomes 1 when the loop lock is handed to this record.
    std::atomic<uint32_t> grant{0};
    // Race between a waker and the sleeper's own time-out (S_* values).
    std::atomic<uint32_t> sleep{0};
    kiv_co* lock_next = nullptr;  // loop-lock queue
    kiv_co* wait_next = nullptr;  // co-mutex or co-cond queue
    void* wait_obj = nullptr;
    uint8_t wait_kind = 0;
    uint8_t reason = 0;
    bool kicked = false;  // a cancellation kick waits for the next wait
    bool finished = false;
    kiv_co* joiner = nullptr;
    kiv_context* ctx = nullptr;  // created on first kiv_context_get
    void (*fn)(void*) = nullptr;
    void* arg = nullptr;
    char name[16] = {};
};

struct kiv_context {
    std::atomic<uint32_t> refs{1};
    std::atomic<uint32_t> cancelled{0};
    kiv_process* process = nullptr;
    kiv_cancelable* armed = nullptr;  // under the loop lock
};

struct kiv_fd_watch {
    kiv_proc_core* core;
    int fd;
    bool deleted;
    kiv_fd_watch_fn fn;
    void* arg;
    kiv_fd_watch* prev;
    kiv_fd_watch* next;
};

struct kiv_proc_core {
    kiv_process* process = nullptr;

    // Loop lock: FIFO hand-off queue of kiv_co records.
    std::mutex lock_mu;
    bool lock_held = false;
    kiv_co* lq_head = nullptr;
    kiv_co* lq_tail = nullptr;

    // Shared with plain threads: job queue, evloop wake-ups, lifecycle.
    std::mutex mu;
    kiv_job* job_head = nullptr;
    kiv_job* job_tail = nullptr;
    uint32_t job_count = 0;
    bool sleeping = false;     // evloop is (about to be) in epoll_wait with a time-out
    bool kicked = false;       // something changed since evloop computed its time-out
    bool efd_written = false;  // a wake-up is on its way through the eventfd
    std::atomic<bool> started{false};
    std::atomic<bool> terminated{false};
    bool evloop_joined = false;
    std::vector<pthread_t> ended;  // coroutine threads to join
    pthread_t evloop{};
    char name[16] = {};
    int epfd = -1;
    int efd = -1;
    kiv_co evloop_rec;

    // Loop-owned: touched only under the loop lock.
    std::vector<kiv_timer*> timers;  // binary heap by (expiry, arming order)
    uint64_t timer_seq = 0;
    // By when evloop wakes at the latest, as it computed after its last
    // batch: a timer due no earlier needs no kick.
    uint64_t wake_by_us = 0;
    kiv_fd_watch* watches = nullptr;
    kiv_fd_watch* dead_watches = nullptr;  // freed by evloop after its batch
    kiv_proc_closer* closers = nullptr;
    uint32_t nr_coroutines = 0;
    kiv_context* root_ctx = nullptr;
    kiv_proc_core* next_leaked = nullptr;
};

namespace kiv_loop {

void loop_lock(kiv_proc_core* c, kiv_co* self);
void loop_unlock(kiv_proc_core* c);
// Co-wait core: gives the loop lock up until co_wake() or the monotonic
// deadline (0 = none), then takes it back. True if woken.
bool co_sleep(kiv_co* self, uint64_t deadline_us);
// Loop lock held: queues a sleeping record for the loop lock.
void co_wake(kiv_co* co);
// Makes evloop recompute its time-out.
void loop_kick(kiv_proc_core* c);
void join_ended(kiv_proc_core* c);
// evloop, loop lock released: starts the wake-ups that kiv_waiter_signal
// held back during the batch.
void waiter_flush_deferred();
void futex_wait(std::atomic<uint32_t>* word, uint32_t val, uint64_t deadline_us);
// Number of threads woken.
int futex_wake(std::atomic<uint32_t>* word);
uint64_t deadline_after_ms(uint64_t ms);

kiv_context* context_new(kiv_process* p);

// Timers (loop lock held).
void timers_fire(kiv_proc_core* c, uint64_t now_us, uint64_t seq_limit);
int timers_timeout_ms(kiv_proc_core* c);
void timers_clear(kiv_proc_core* c);

}  // namespace kiv_loop

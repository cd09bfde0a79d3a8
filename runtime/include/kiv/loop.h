// Runtime process, loop lock, jobs, timers, coroutines, coroutine
// synchronisation and cancellation contexts.
//
// A process owns one event-loop thread ("evloop") and one FIFO-fair loop
// lock. Exactly one holder of the lock runs loop code at a time: evloop while
// it dispatches a batch, a coroutine, or a plain thread between
// kiv_move_to_coroutine() and kiv_move_from_coroutine(). Co-waits are the only
// points where a holder gives the lock up without ending.
#pragma once

#include <stdint.h>

#include "kiv/base.h"

struct kiv_proc_core;
struct kiv_co;
struct kiv_context;

struct kiv_process {
    kiv_proc_core* core;
};

struct kiv_thread_tls {
    kiv_process* process;
    kiv_co* co;           // the coroutine or per-move record; NULL on evloop
    uint32_t loop_depth;  // non-zero while in loop context
    uint8_t on_evloop;
};
// GNU __thread rather than thread_local: the struct is trivial, so no TLS
// wrapper call is needed and each access is one %fs-relative load (the
// wrapper's sanitizer null check also misfires after linker TLS relaxation).
extern __thread kiv_thread_tls __kiv_thread_tls;

inline bool kiv_in_loop_context() { return __kiv_thread_tls.loop_depth != 0; }
// In loop context of `p` itself (one OS process may run several).
inline bool kiv_in_loop_context_of(const kiv_process* p) {
    return kiv_in_loop_context() && __kiv_thread_tls.process == p;
}
inline bool kiv_can_co_wait() { return kiv_in_loop_context() && !__kiv_thread_tls.on_evloop; }

// ---------------------------------------------------------------- process
int kiv_process_init_(kiv_process* p);
int kiv_process_start(kiv_process* p, const char* name);
int kiv_process_terminate(kiv_process* p);
int kiv_process_wait(kiv_process* p);
int kiv_process_fini(kiv_process* p);

int kiv_move_to_coroutine(kiv_process* p);
void kiv_move_from_coroutine(void);

// ---------------------------------------------------------------- jobs
// Zero-filled is inert. Fields are private.
struct kiv_job {
    kiv_process* process;
    void (*fn)(void*);
    void* arg;
    kiv_job* next;
    uint32_t state;
    void (*dropped)(void*);  // posted jobs: run instead of fn at termination
};

void kiv_job_init(kiv_process* p, kiv_job* j, void (*fn)(void*), void* arg);
void kiv_job_wakeup(kiv_job* j);
int kiv_call_in_job(kiv_process* p, int (*fn)(void*), void* a);
int kiv_call_in_job2(kiv_process* p, int (*fn)(void*, void*), void* a, void* b);
// Runs fn(arg) on the loop of `p` without waiting for it to run: at once
// when this thread is in loop context of `p`, else as job `j` in evloop's
// next batch, after the jobs queued before it. A job still queued when the
// process terminates gets dropped(arg) instead, on the terminating thread,
// outside the process's locks. Returns 0, or -ESHUTDOWN when the process is
// not running (neither function runs). `j` must stay valid until fn or
// dropped has begun.
int kiv_post_in_job(kiv_process* p, kiv_job* j, void (*fn)(void*), void (*dropped)(void*), void* arg);

// ---------------------------------------------------------------- waiters
// A one-shot hand-over from the loop to one plain thread that waits for it.
// Zero-filled (or kiv_waiter_init) is armed; signalled once, it stays so
// until re-armed by kiv_waiter_init, which only the waiting side may do
// once the signal has been consumed.
struct kiv_waiter {
    uintptr_t word;  // 0 armed, 1 signalled, else the parked waiter
};
void kiv_waiter_init(kiv_waiter* w);
// Blocks until kiv_waiter_signal(w); returns at once if that came first.
// Not in loop context.
void kiv_waiter_wait(kiv_waiter* w);
// True once signalled (never blocks).
bool kiv_waiter_signalled(const kiv_waiter* w);
// Releases the waiter; `w` is not touched after the release, so the waiting
// side may free it as soon as its wait returns. On evloop the wake-up of a
// parked thread is held back until the batch ends and the loop lock is
// released; evloop then wakes a few of those threads and each woken thread
// wakes a few more before it returns, so no single thread does them all.
void kiv_waiter_signal(kiv_waiter* w);

// ---------------------------------------------------------------- timers
// Monotonic, milliseconds, one-shot. Zero-filled is inert. Fields are private.
struct kiv_timer {
    kiv_process* process;
    void (*fn)(void*);
    void* arg;
    uint64_t expires_us;
    uint64_t seq;
    uint32_t heap_index;
    uint32_t state;
};

void init_timer(kiv_process* p, kiv_timer* t, void (*fn)(void*), void* arg);
int mod_timer(kiv_timer* t, uint64_t ms);
int del_timer_sync(kiv_timer* t);
int timer_pending(const kiv_timer* t);

// ---------------------------------------------------------------- coroutines
struct kiv_co_attr {
    uint32_t stack_size;  // 0 = default (256 KiB)
    const char* name;     // thread name, NULL = inherit
};

kiv_co* kiv_co_create(const kiv_co_attr* attr, void (*fn)(void*), void* arg);
int kiv_co_join(kiv_co* co);

// Sticky, auto-reset; at most one waiter. Zero-filled is valid.
struct kiv_co_event {
    kiv_process* process;  // recorded by init in loop context and by every wait
    kiv_co* waiter;
    uint32_t signalled;
};
void kiv_co_event_init(kiv_co_event* ev);
void kiv_co_event_fini(kiv_co_event* ev);
// ms NULL = no limit. 0, -ETIMEDOUT or -EINTR (cancellation kick).
int kiv_co_event_wait_timeout(kiv_co_event* ev, const uint64_t* ms);
void kiv_co_event_signal(kiv_co_event* ev);

// Not recursive; waiters served FIFO. Zero-filled is unlocked.
struct kiv_co_mutex {
    kiv_co* owner;
    kiv_co* head;
    kiv_co* tail;
};
void kiv_co_mutex_init(kiv_co_mutex* m);
void kiv_co_mutex_fini(kiv_co_mutex* m);
void kiv_co_mutex_lock(kiv_co_mutex* m);
void kiv_co_mutex_unlock(kiv_co_mutex* m);

struct kiv_co_cond {
    kiv_co_mutex* mutex;
    kiv_process* process;  // recorded by init in loop context and by every wait
    kiv_co* head;
    kiv_co* tail;
};
void kiv_co_cond_init(kiv_co_cond* c, kiv_co_mutex* m);
void kiv_co_cond_fini(kiv_co_cond* c);
int kiv_co_cond_wait_timeout(kiv_co_cond* c, const uint64_t* ms);
void kiv_co_cond_signal(kiv_co_cond* c);

// ---------------------------------------------------------------- cancellation
kiv_context* kiv_context_get(void);
void kiv_context_put(kiv_context* ctx);
int kiv_context_is_cancelled(const kiv_context* ctx);
void kiv_context_cancel(kiv_context* ctx);

// Zero-filled is valid (disarmed). Fields are private.
struct kiv_cancelable {
    kiv_context* ctx;
    kiv_co* co;
    kiv_cancelable* prev;
    kiv_cancelable* next;
};
int kiv_cancelable_prepare_wait(kiv_cancelable* w, kiv_context* ctx);

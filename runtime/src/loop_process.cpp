// The process: loop lock, evloop thread, moves, jobs, fd watches, closers.
//
// The loop lock is a hand-off queue: a releaser passes the lock directly to
// the oldest waiter, so waiters are served strictly in arrival order. Each
// waiter sleeps on its own futex word, so a hand-off wakes exactly one
// thread. A co-wait is woken by being put into that same queue (co_wake()),
// which costs one wake-up instead of two.
#include <errno.h>
#include <linux/futex.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "loop_core.h"

__thread kiv_thread_tls __kiv_thread_tls;

using namespace kiv_loop;

namespace {

// The per-move record of a plain thread; a thread is in at most one move.
thread_local kiv_co t_move_rec;

// Cores kept alive on purpose because coroutines still use them.
std::mutex g_leaked_mu;
kiv_proc_core* g_leaked;

constexpr int kMaxEvents = 256;

void enqueue_locked(kiv_proc_core* c, kiv_co* w) {
    w->lock_next = nullptr;
    if (c->lq_tail)
        c->lq_tail->lock_next = w;
    else
        c->lq_head = w;
    c->lq_tail = w;
}

void wait_grant(kiv_co* self) {
    while (!self->grant.load(std::memory_order_acquire)) futex_wait(&self->grant, 0, 0);
}

void efd_signal(kiv_proc_core* c) {
    uint64_t one = 1;
    ssize_t r = write(c->efd, &one, sizeof one);
    (void)r;  // a full counter still wakes evloop
}

// mu held. Wakes a sleeping evloop through the eventfd. The write is made
// under mu: once the owner has terminated the process (which takes mu) it
// may close the eventfd and free the core, so a poster must not touch
// either after letting go of mu.
void signal_efd_locked(kiv_proc_core* c) {
    if (!c->sleeping || c->efd_written) return;
    c->efd_written = true;
    efd_signal(c);
}

// Appends `j` to the job queue (c->mu held) and wakes evloop if it sleeps.
void job_append_locked(kiv_proc_core* c, kiv_job* j) {
    j->next = nullptr;
    if (c->job_tail)
        c->job_tail->next = j;
    else
        c->job_head = j;
    c->job_tail = j;
    c->job_count++;
    signal_efd_locked(c);
}

kiv_proc_core* core_of(const kiv_process* p) { return p ? p->core : nullptr; }

// ---------------------------------------------------------------- evloop

void free_dead_watches(kiv_proc_core* c) {
    while (kiv_fd_watch* w = c->dead_watches) {
        c->dead_watches = w->next;
        __kiv_free(w);
    }
}

// One batch: ready fds, expired timers, then the jobs queued before it
// started. Returns the epoll time-out for the next wait.
int run_batch(kiv_proc_core* c, const epoll_event* evs, int n) {
    const uint64_t now = get_abs_time_us();
    const uint64_t seq_limit = c->timer_seq;
    uint32_t njobs;
    {
        std::lock_guard<std::mutex> g(c->mu);
        njobs = c->job_count;
    }
    for (int i = 0; i < n && !c->terminated.load(std::memory_order_relaxed); i++) {
        auto* w = static_cast<kiv_fd_watch*>(evs[i].data.ptr);
        if (!w) {
            uint64_t v;
            ssize_t r = read(c->efd, &v, sizeof v);
            (void)r;
            continue;
        }
        if (!w->deleted) w->fn(w, evs[i].events, w->arg);
    }
    timers_fire(c, now, seq_limit);
    while (njobs--) {
        kiv_job* j;
        {
            std::lock_guard<std::mutex> g(c->mu);
            j = c->job_head;
            if (!j || c->terminated.load(std::memory_order_relaxed)) break;
            c->job_head = j->next;
            if (!c->job_head) c->job_tail = nullptr;
            c->job_count--;
            j->state &= ~JOB_QUEUED;
        }
        j->fn(j->arg);
    }
    free_dead_watches(c);
    return timers_timeout_ms(c);
}

}  // namespace

namespace kiv_loop {

void futex_wait(std::atomic<uint32_t>* word, uint32_t val, uint64_t deadline_us) {
    struct timespec ts, *tp = nullptr;
    if (deadline_us) {
        ts.tv_sec = time_t(deadline_us / 1000000);
        ts.tv_nsec = long(deadline_us % 1000000) * 1000;
        tp = &ts;
    }
    // The absolute time-out of FUTEX_WAIT_BITSET is on CLOCK_MONOTONIC,
    // the clock of get_abs_time_us().
    syscall(SYS_futex, word, FUTEX_WAIT_BITSET_PRIVATE, val, tp, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// The woken side may already have freed the word's memory; a futex wake on
// such an address is harmless and every waiter re-checks its condition.
int futex_wake(std::atomic<uint32_t>* word) {
    long r = syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    return r > 0 ? int(r) : 0;
}

}  // namespace kiv_loop

namespace {

void* evloop_main(void* arg) {
    auto* c = static_cast<kiv_proc_core*>(arg);
    pthread_setname_np(pthread_self(), c->name);
    kiv_thread_tls& tls = __kiv_thread_tls;
    tls.process = c->process;
    tls.co = nullptr;
    tls.on_evloop = 1;
    epoll_event evs[kMaxEvents];
    int timeout = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(c->mu);
            if (c->kicked || c->job_head) timeout = 0;
            c->kicked = false;
            c->sleeping = timeout != 0;
        }
        int n = epoll_wait(c->epfd, evs, kMaxEvents, timeout);
        if (n < 0) n = 0;
        {
            std::lock_guard<std::mutex> g(c->mu);
            c->sleeping = false;
            c->efd_written = false;
        }
        loop_lock(c, &c->evloop_rec);
        if (c->terminated.load()) {
            loop_unlock(c);
            waiter_flush_deferred();
            break;
        }
        tls.loop_depth = 1;
        timeout = run_batch(c, evs, n);
        tls.loop_depth = 0;
        loop_unlock(c);
        waiter_flush_deferred();
    }
    tls = kiv_thread_tls{};
    return nullptr;
}

void complete_call(kiv_job* j, int result);

}  // namespace

// ---------------------------------------------------------------- loop lock

namespace kiv_loop {

void loop_lock(kiv_proc_core* c, kiv_co* self) {
    {
        std::lock_guard<std::mutex> g(c->lock_mu);
        if (!c->lock_held) {
            c->lock_held = true;
            return;
        }
        self->grant.store(0, std::memory_order_relaxed);
        enqueue_locked(c, self);
    }
    wait_grant(self);
}

void loop_unlock(kiv_proc_core* c) {
    kiv_co* next;
    {
        std::lock_guard<std::mutex> g(c->lock_mu);
        next = c->lq_head;
        if (next) {
            c->lq_head = next->lock_next;
            if (!c->lq_head) c->lq_tail = nullptr;
        } else {
            c->lock_held = false;
        }
    }
    if (next) {
        next->grant.store(1, std::memory_order_release);
        futex_wake(&next->grant);
    }
}

bool co_sleep(kiv_co* self, uint64_t deadline_us) {
    kiv_proc_core* c = self->core;
    self->grant.store(0, std::memory_order_relaxed);
    self->sleep.store(S_SLEEPING, std::memory_order_relaxed);
    loop_unlock(c);
    for (;;) {
        if (self->grant.load(std::memory_order_acquire)) break;
        if (deadline_us && get_abs_time_us() >= deadline_us) {
            uint32_t s = S_SLEEPING;
            if (self->sleep.compare_exchange_strong(s, S_TIMEDOUT)) {
                loop_lock(c, self);
                self->sleep.store(S_RUNNING, std::memory_order_relaxed);
                return false;
            }
            deadline_us = 0;  // a waker won the race and queued us for the lock
            continue;
        }
        futex_wait(&self->grant, 0, deadline_us);
    }
    self->sleep.store(S_RUNNING, std::memory_order_relaxed);
    return true;
}

void co_wake(kiv_co* co) {
    co->wait_kind = W_NONE;
    uint32_t s = S_SLEEPING;
    if (!co->sleep.compare_exchange_strong(s, S_WOKEN)) return;  // timed out, queues itself
    kiv_proc_core* c = co->core;
    std::lock_guard<std::mutex> g(c->lock_mu);
    enqueue_locked(c, co);  // the caller holds the lock, so this cannot be a grant
}

void loop_kick(kiv_proc_core* c) {
    std::lock_guard<std::mutex> g(c->mu);
    c->kicked = true;
    signal_efd_locked(c);
}

void join_ended(kiv_proc_core* c) {
    std::vector<pthread_t> v;
    {
        std::lock_guard<std::mutex> g(c->mu);
        v.swap(c->ended);
    }
    for (pthread_t t : v) pthread_join(t, nullptr);
}

uint64_t deadline_after_ms(uint64_t ms) {
    uint64_t now = get_abs_time_us();
    if (ms > (UINT64_MAX - now) / 1000) return UINT64_MAX;
    return now + ms * 1000;
}

}  // namespace kiv_loop

// ---------------------------------------------------------------- process

int kiv_process_init_(kiv_process* p) {
    p->core = nullptr;
    void* mem = __kiv_zmalloc("process", KIV_POS, 0, sizeof(kiv_proc_core));
    if (!mem) return -ENOMEM;
    auto* c = new (mem) kiv_proc_core();
    c->epfd = epoll_create1(EPOLL_CLOEXEC);
    c->efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    if (c->epfd < 0 || c->efd < 0 || epoll_ctl(c->epfd, EPOLL_CTL_ADD, c->efd, &ev) < 0) {
        int r = -errno;
        if (c->epfd >= 0) close(c->epfd);
        if (c->efd >= 0) close(c->efd);
        destroy(c);
        return r;
    }
    c->process = p;
    c->evloop_rec.core = c;
    c->evloop_rec.process = p;
    c->root_ctx = context_new(p);
    p->core = c;
    return 0;
}

int kiv_process_start(kiv_process* p, const char* name) {
    kiv_proc_core* c = core_of(p);
    if (!c) return -EINVAL;
    if (c->started.load()) return -EBUSY;
    snprintf(c->name, sizeof c->name, "%s", name ? name : "evloop");
    int r = pthread_create(&c->evloop, nullptr, evloop_main, c);
    if (r) return -r;
    c->started.store(true);
    return 0;
}

int kiv_process_terminate(kiv_process* p) {
    kiv_proc_core* c = core_of(p);
    if (!c || !c->started.load()) return 0;
    kiv_job* dropped = nullptr;  // posted jobs, told outside the lock
    kiv_job** dropped_tail = &dropped;
    {
        std::lock_guard<std::mutex> g(c->mu);
        if (c->terminated.load()) return 0;
        c->terminated.store(true);
        while (kiv_job* j = c->job_head) {
            c->job_head = j->next;
            j->state &= ~JOB_QUEUED;
            // A call's record is on its caller's stack, which may be gone
            // the moment the caller is told: nothing of it is read after.
            if (j->state & JOB_CALL) {
                complete_call(j, -ESHUTDOWN);
                continue;
            }
            if (j->state & JOB_POST) {
                j->next = nullptr;
                *dropped_tail = j;
                dropped_tail = &j->next;
            }
        }
        c->job_tail = nullptr;
        c->job_count = 0;
        c->kicked = true;
        signal_efd_locked(c);
    }
    while (kiv_job* j = dropped) {
        dropped = j->next;
        // The record may be gone once its owner has been told.
        void (*fn)(void*) = j->dropped;
        void* arg = j->arg;
        if (fn) fn(arg);
    }
    return 0;
}

int kiv_process_wait(kiv_process* p) {
    kiv_proc_core* c = core_of(p);
    if (!c || !c->started.load()) return 0;
    if (!c->evloop_joined) {
        pthread_join(c->evloop, nullptr);
        c->evloop_joined = true;
    }
    join_ended(c);
    return 0;
}

int kiv_process_fini(kiv_process* p) {
    kiv_proc_core* c = core_of(p);
    if (!c) return 0;
    KIV_BUG_ON(kiv_in_loop_context() && __kiv_thread_tls.process == p);
    if (c->started.load()) {
        kiv_process_terminate(p);
        kiv_process_wait(p);
    }
    uint32_t alive;
    {
        kiv_loop_guard g(p);
        while (kiv_proc_closer* cl = c->closers) {
            kiv_proc_closer_del(p, cl);
            cl->fn(cl);
        }
        alive = c->nr_coroutines;
        if (!alive) {
            timers_clear(c);
            while (kiv_fd_watch* w = c->watches) kiv_fd_watch_del(w);
            free_dead_watches(c);
        }
    }
    p->core = nullptr;
    if (alive) {
        // Blocked coroutines still point into the core: keep it.
        kiv_log(1, "%u coroutines alive at process fini", alive);
        std::lock_guard<std::mutex> g(g_leaked_mu);
        c->next_leaked = g_leaked;
        g_leaked = c;
        return 0;
    }
    join_ended(c);
    close(c->epfd);
    close(c->efd);
    kiv_context_put(c->root_ctx);
    destroy(c);
    return 0;
}

bool kiv_process_terminated(const kiv_process* p) {
    kiv_proc_core* c = core_of(p);
    return c && c->terminated.load();
}

kiv_process* kiv_current_process(void) {
    return __kiv_thread_tls.loop_depth ? __kiv_thread_tls.process : nullptr;
}

// ---------------------------------------------------------------- moves

int kiv_move_to_coroutine(kiv_process* p) {
    kiv_thread_tls& tls = __kiv_thread_tls;
    if (tls.loop_depth) {
        KIV_BUG_ON(tls.process != p);
        tls.loop_depth++;
        return 0;
    }
    kiv_co* rec = &t_move_rec;
    rec->core = core_of(p);
    rec->process = p;
    rec->ctx = nullptr;
    rec->kicked = false;
    rec->wait_kind = W_NONE;
    if (rec->core) loop_lock(rec->core, rec);
    tls.process = p;
    tls.co = rec;
    tls.loop_depth = 1;
    return 0;
}

void kiv_move_from_coroutine(void) {
    kiv_thread_tls& tls = __kiv_thread_tls;
    KIV_BUG_ON(!tls.loop_depth);
    if (--tls.loop_depth) return;
    kiv_co* rec = tls.co;
    kiv_context_put(rec->ctx);
    rec->ctx = nullptr;
    tls.process = nullptr;
    tls.co = nullptr;
    if (rec->core) loop_unlock(rec->core);
}

kiv_loop_guard::kiv_loop_guard(kiv_process* p) : moved(!kiv_in_loop_context()) {
    if (moved) kiv_move_to_coroutine(p);
}

kiv_loop_guard::~kiv_loop_guard() {
    if (moved) kiv_move_from_coroutine();
}

// ---------------------------------------------------------------- jobs

void kiv_job_init(kiv_process* p, kiv_job* j, void (*fn)(void*), void* arg) {
    j->process = p;
    j->fn = fn;
    j->arg = arg;
    j->next = nullptr;
    j->state = 0;
    j->dropped = nullptr;
}

void kiv_job_wakeup(kiv_job* j) {
    kiv_proc_core* c = core_of(j->process);
    if (!c) return;
    std::lock_guard<std::mutex> g(c->mu);
    if (c->terminated.load() || (j->state & JOB_QUEUED)) return;
    j->state |= JOB_QUEUED;
    job_append_locked(c, j);
}

namespace {

// A kiv_call_in_job request from a plain thread, on the caller's stack.
struct call_rec {
    kiv_job job;
    int (*f1)(void*);
    int (*f2)(void*, void*);
    void* a;
    void* b;
    int result;
    std::atomic<uint32_t> done;
};

void complete_call(kiv_job* j, int result) {
    auto* r = static_cast<call_rec*>(j->arg);
    r->result = result;
    r->done.store(1, std::memory_order_release);
    futex_wake(&r->done);
}

void call_trampoline(void* arg) {
    auto* r = static_cast<call_rec*>(arg);
    complete_call(&r->job, r->f1 ? r->f1(r->a) : r->f2(r->a, r->b));
}

int call_in_job(kiv_process* p, int (*f1)(void*), int (*f2)(void*, void*), void* a, void* b) {
    kiv_proc_core* c = core_of(p);
    if (!c) return -ESHUTDOWN;
    const kiv_thread_tls& tls = __kiv_thread_tls;
    if (tls.loop_depth && tls.process == p) {
        if (!c->started.load() || c->terminated.load()) return -ESHUTDOWN;
        return f1 ? f1(a) : f2(a, b);
    }
    call_rec r{};
    r.f1 = f1;
    r.f2 = f2;
    r.a = a;
    r.b = b;
    kiv_job_init(p, &r.job, call_trampoline, &r);
    {
        std::lock_guard<std::mutex> g(c->mu);
        if (!c->started.load() || c->terminated.load()) return -ESHUTDOWN;
        r.job.state = JOB_QUEUED | JOB_CALL;
        job_append_locked(c, &r.job);
    }
    while (!r.done.load(std::memory_order_acquire)) futex_wait(&r.done, 0, 0);
    return r.result;
}

}  // namespace

int kiv_call_in_job(kiv_process* p, int (*fn)(void*), void* a) { return call_in_job(p, fn, nullptr, a, nullptr); }

int kiv_call_in_job2(kiv_process* p, int (*fn)(void*, void*), void* a, void* b) {
    return call_in_job(p, nullptr, fn, a, b);
}

int kiv_post_in_job(kiv_process* p, kiv_job* j, void (*fn)(void*), void (*dropped)(void*), void* arg) {
    kiv_proc_core* c = core_of(p);
    if (!c) return -ESHUTDOWN;
    const kiv_thread_tls& tls = __kiv_thread_tls;
    if (tls.loop_depth && tls.process == p) {
        if (!c->started.load() || c->terminated.load()) return -ESHUTDOWN;
        fn(arg);
        return 0;
    }
    kiv_job_init(p, j, fn, arg);
    j->dropped = dropped;
    std::lock_guard<std::mutex> g(c->mu);
    if (!c->started.load() || c->terminated.load()) return -ESHUTDOWN;
    j->state = JOB_QUEUED | JOB_POST;
    job_append_locked(c, j);
    return 0;
}

// ---------------------------------------------------------------- fd watches

kiv_fd_watch* kiv_fd_watch_add(kiv_process* p, int fd, uint32_t events, kiv_fd_watch_fn fn, void* arg) {
    KIV_BUG_ON(!kiv_in_loop_context());
    kiv_proc_core* c = core_of(p);
    if (!c) {
        errno = EINVAL;
        return nullptr;
    }
    auto* w = static_cast<kiv_fd_watch*>(__kiv_zmalloc("fd_watch", KIV_POS, 0, sizeof(kiv_fd_watch)));
    if (!w) {
        errno = ENOMEM;
        return nullptr;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = w;
    if (epoll_ctl(c->epfd, EPOLL_CTL_ADD, fd, &ev) < 0) {
        int e = errno;
        __kiv_free(w);
        errno = e;
        return nullptr;
    }
    w->core = c;
    w->fd = fd;
    w->fn = fn;
    w->arg = arg;
    w->next = c->watches;
    if (c->watches) c->watches->prev = w;
    c->watches = w;
    return w;
}

int kiv_fd_watch_mod(kiv_fd_watch* w, uint32_t events) {
    KIV_BUG_ON(!kiv_in_loop_context() || w->deleted);
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = w;
    return epoll_ctl(w->core->epfd, EPOLL_CTL_MOD, w->fd, &ev) < 0 ? -errno : 0;
}

void kiv_fd_watch_del(kiv_fd_watch* w) {
    if (!w) return;
    KIV_BUG_ON(!kiv_in_loop_context() || w->deleted);
    kiv_proc_core* c = w->core;
    w->deleted = true;
    epoll_event ev{};
    epoll_ctl(c->epfd, EPOLL_CTL_DEL, w->fd, &ev);  // fails harmlessly if the fd is gone
    if (w->prev)
        w->prev->next = w->next;
    else
        c->watches = w->next;
    if (w->next) w->next->prev = w->prev;
    // evloop may hold harvested events for it: freed after its batch.
    w->prev = nullptr;
    w->next = c->dead_watches;
    c->dead_watches = w;
}

// ---------------------------------------------------------------- closers

void kiv_proc_closer_add(kiv_process* p, kiv_proc_closer* cl) {
    kiv_proc_core* c = core_of(p);
    if (!c) return;
    kiv_loop_guard g(p);
    cl->prev = nullptr;
    cl->next = c->closers;
    if (c->closers) c->closers->prev = cl;
    c->closers = cl;
}

void kiv_proc_closer_del(kiv_process* p, kiv_proc_closer* cl) {
    kiv_proc_core* c = core_of(p);
    if (!c) return;
    kiv_loop_guard g(p);
    if (cl->prev)
        cl->prev->next = cl->next;
    else if (c->closers == cl)
        c->closers = cl->next;
    else
        return;  // not registered
    if (cl->next) cl->next->prev = cl->prev;
    cl->prev = cl->next = nullptr;
}

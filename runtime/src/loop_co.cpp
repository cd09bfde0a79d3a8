// Coroutines (one pthread each, running only while it holds the loop lock),
// their events, mutexes and conditions, and cancellation contexts.
//
// All wait state lives under the loop lock. A waker records why it woke a
// waiter (kiv_co::reason) before queueing it for the lock, so the waiter
// reads a consistent answer even if its own time-out raced with the wake.
#include <errno.h>
#include <string.h>

#include "loop_core.h"

using namespace kiv_loop;

namespace {

kiv_thread_tls& tls() { return __kiv_thread_tls; }

// Owner token for co-mutexes: evloop has no kiv_co of its own in TLS.
kiv_co* self_token() {
    kiv_thread_tls& t = tls();
    return t.co ? t.co : &t.process->core->evloop_rec;
}

kiv_co* waiting_self() {
    KIV_BUG_ON(!kiv_can_co_wait());
    return tls().co;
}

void queue_push(kiv_co** head, kiv_co** tail, kiv_co* co) {
    co->wait_next = nullptr;
    if (*tail)
        (*tail)->wait_next = co;
    else
        *head = co;
    *tail = co;
}

kiv_co* queue_pop(kiv_co** head, kiv_co** tail) {
    kiv_co* co = *head;
    if (co) {
        *head = co->wait_next;
        if (!*head) *tail = nullptr;
    }
    return co;
}

void queue_remove(kiv_co** head, kiv_co** tail, kiv_co* co) {
    kiv_co* prev = nullptr;
    for (kiv_co* it = *head; it; prev = it, it = it->wait_next) {
        if (it != co) continue;
        if (prev)
            prev->wait_next = co->wait_next;
        else
            *head = co->wait_next;
        if (*tail == co) *tail = prev;
        return;
    }
}

void prepare_sleep(kiv_co* self, uint8_t kind, void* obj) {
    self->wait_kind = kind;
    self->wait_obj = obj;
    self->reason = R_NONE;
}

int wait_result(kiv_co* self) {
    switch (self->reason) {
        case R_SIGNAL: return 0;
        case R_KICK: return -EINTR;
        default: return -ETIMEDOUT;
    }
}

// Loop lock held. Ends the co's event or cond wait with -EINTR, or keeps
// the kick for its next one.
void kick_co(kiv_co* co) {
    if (co->wait_kind == W_EVENT) {
        static_cast<kiv_co_event*>(co->wait_obj)->waiter = nullptr;
    } else if (co->wait_kind == W_COND) {
        auto* c = static_cast<kiv_co_cond*>(co->wait_obj);
        queue_remove(&c->head, &c->tail, co);
    } else {
        co->kicked = true;
        return;
    }
    co->reason = R_KICK;
    co_wake(co);
}

void* co_main(void* arg) {
    auto* co = static_cast<kiv_co*>(arg);
    kiv_proc_core* c = co->core;
    if (co->name[0]) pthread_setname_np(pthread_self(), co->name);
    loop_lock(c, co);
    tls() = kiv_thread_tls{co->process, co, 1, 0};
    co->fn(co->arg);
    KIV_BUG_ON(tls().loop_depth != 1);
    tls() = kiv_thread_tls{};
    kiv_context_put(co->ctx);
    co->ctx = nullptr;
    {
        std::lock_guard<std::mutex> g(c->mu);
        c->ended.push_back(pthread_self());
    }
    c->nr_coroutines--;
    if (co->joiner) {
        co->finished = true;
        co->joiner->reason = R_SIGNAL;
        co_wake(co->joiner);  // the joiner frees co
    } else {
        destroy(co);
    }
    loop_unlock(c);
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- coroutines

kiv_co* kiv_co_create(const kiv_co_attr* attr, void (*fn)(void*), void* arg) {
    KIV_BUG_ON(!kiv_in_loop_context());
    kiv_process* p = tls().process;
    kiv_proc_core* c = p->core;
    join_ended(c);  // their stacks stay mapped until joined
    kiv_co* co = create<kiv_co>("coroutine");
    co->core = c;
    co->process = p;
    co->fn = fn;
    co->arg = arg;
    if (attr && attr->name) snprintf(co->name, sizeof co->name, "%s", attr->name);
    pthread_attr_t pa;
    pthread_attr_init(&pa);
    pthread_attr_setstacksize(&pa, attr && attr->stack_size ? attr->stack_size : kDefaultStack);
    pthread_t th;
    int r = pthread_create(&th, &pa, co_main, co);
    pthread_attr_destroy(&pa);
    if (r) kiv_fatal("cannot start a coroutine thread: %s", strerror(r));
    c->nr_coroutines++;
    return co;
}

int kiv_co_join(kiv_co* co) {
    kiv_co* self = waiting_self();
    KIV_BUG_ON(co == self || co->joiner);
    if (!co->finished) {
        co->joiner = self;
        prepare_sleep(self, W_JOIN, co);
        co_sleep(self, 0);
        KIV_BUG_ON(!co->finished);
    }
    destroy(co);
    return 0;
}

// ---------------------------------------------------------------- events

void kiv_co_event_init(kiv_co_event* ev) {
    ev->process = kiv_in_loop_context() ? tls().process : nullptr;
    ev->waiter = nullptr;
    ev->signalled = 0;
}

void kiv_co_event_fini(kiv_co_event* ev) { KIV_BUG_ON(ev->waiter); }

int kiv_co_event_wait_timeout(kiv_co_event* ev, const uint64_t* ms) {
    kiv_co* self = waiting_self();
    // Published before the signal is tested, so that a plain-thread signal
    // that found no process yet is re-checked under the lock (see below).
    __atomic_store_n(&ev->process, tls().process, __ATOMIC_SEQ_CST);
    if (__atomic_exchange_n(&ev->signalled, 0, __ATOMIC_SEQ_CST)) return 0;
    if (self->kicked) {
        self->kicked = false;
        return -EINTR;
    }
    if (ms && *ms == 0) return -ETIMEDOUT;
    KIV_BUG_ON(ev->waiter);
    ev->waiter = self;
    prepare_sleep(self, W_EVENT, ev);
    if (!co_sleep(self, ms ? deadline_after_ms(*ms) : 0) && self->reason == R_NONE) {
        ev->waiter = nullptr;
        self->wait_kind = W_NONE;
    }
    return wait_result(self);
}

namespace {

void event_signal_locked(kiv_co_event* ev) {
    if (kiv_co* w = ev->waiter) {
        ev->waiter = nullptr;
        w->reason = R_SIGNAL;
        co_wake(w);
    } else {
        __atomic_store_n(&ev->signalled, 1, __ATOMIC_SEQ_CST);
    }
}

}  // namespace

void kiv_co_event_signal(kiv_co_event* ev) {
    if (kiv_in_loop_context()) return event_signal_locked(ev);
    if (kiv_process* p = __atomic_load_n(&ev->process, __ATOMIC_SEQ_CST)) {
        kiv_loop_guard g(p);
        return event_signal_locked(ev);
    }
    // Never waited on yet: keep the signal, then catch a first wait that
    // started meanwhile and missed it.
    __atomic_store_n(&ev->signalled, 1, __ATOMIC_SEQ_CST);
    if (kiv_process* p = __atomic_load_n(&ev->process, __ATOMIC_SEQ_CST)) {
        kiv_loop_guard g(p);
        if (ev->waiter && __atomic_exchange_n(&ev->signalled, 0, __ATOMIC_SEQ_CST)) event_signal_locked(ev);
    }
}

// ---------------------------------------------------------------- mutexes

void kiv_co_mutex_init(kiv_co_mutex* m) { m->owner = m->head = m->tail = nullptr; }

void kiv_co_mutex_fini(kiv_co_mutex* m) { KIV_BUG_ON(m->head); }

void kiv_co_mutex_lock(kiv_co_mutex* m) {
    KIV_BUG_ON(!kiv_in_loop_context());
    kiv_co* self = self_token();
    if (!m->owner) {
        m->owner = self;
        return;
    }
    KIV_BUG_ON(m->owner == self);
    self = waiting_self();  // contention in a loop callback is a bug
    queue_push(&m->head, &m->tail, self);
    prepare_sleep(self, W_MUTEX, m);
    co_sleep(self, 0);
    KIV_BUG_ON(m->owner != self);  // handed over by the unlocker
}

void kiv_co_mutex_unlock(kiv_co_mutex* m) {
    KIV_BUG_ON(!kiv_in_loop_context() || m->owner != self_token());
    kiv_co* next = queue_pop(&m->head, &m->tail);
    m->owner = next;
    if (next) {
        next->reason = R_SIGNAL;
        co_wake(next);
    }
}

// ---------------------------------------------------------------- conditions

void kiv_co_cond_init(kiv_co_cond* c, kiv_co_mutex* m) {
    c->mutex = m;
    c->process = kiv_in_loop_context() ? tls().process : nullptr;
    c->head = c->tail = nullptr;
}

void kiv_co_cond_fini(kiv_co_cond* c) { KIV_BUG_ON(c->head); }

int kiv_co_cond_wait_timeout(kiv_co_cond* c, const uint64_t* ms) {
    kiv_co* self = waiting_self();
    KIV_BUG_ON(!c->mutex || c->mutex->owner != self);
    __atomic_store_n(&c->process, tls().process, __ATOMIC_RELEASE);
    if (self->kicked) {
        self->kicked = false;
        return -EINTR;
    }
    if (ms && *ms == 0) return -ETIMEDOUT;
    queue_push(&c->head, &c->tail, self);
    prepare_sleep(self, W_COND, c);
    kiv_co_mutex_unlock(c->mutex);
    if (!co_sleep(self, ms ? deadline_after_ms(*ms) : 0) && self->reason == R_NONE) {
        queue_remove(&c->head, &c->tail, self);
        self->wait_kind = W_NONE;
    }
    int r = wait_result(self);
    kiv_co_mutex_lock(c->mutex);
    return r;
}

void kiv_co_cond_signal(kiv_co_cond* c) {
    if (!kiv_in_loop_context()) {
        // Not sticky: with no process recorded nobody has ever waited.
        kiv_process* p = __atomic_load_n(&c->process, __ATOMIC_ACQUIRE);
        if (!p) return;
        kiv_loop_guard g(p);
        return kiv_co_cond_signal(c);
    }
    if (kiv_co* w = queue_pop(&c->head, &c->tail)) {
        w->reason = R_SIGNAL;
        co_wake(w);
    }
}

// ---------------------------------------------------------------- cancellation

namespace kiv_loop {

kiv_context* context_new(kiv_process* p) {
    kiv_context* ctx = create<kiv_context>("context");
    ctx->process = p;
    return ctx;
}

}  // namespace kiv_loop

kiv_context* kiv_context_get(void) {
    KIV_BUG_ON(!kiv_in_loop_context());
    kiv_thread_tls& t = tls();
    kiv_context* ctx;
    if (!t.co) {
        ctx = t.process->core->root_ctx;
    } else {
        if (!t.co->ctx) t.co->ctx = context_new(t.process);
        ctx = t.co->ctx;
    }
    ctx->refs.fetch_add(1, std::memory_order_relaxed);
    return ctx;
}

void kiv_context_put(kiv_context* ctx) {
    if (!ctx || ctx->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    KIV_BUG_ON(ctx->armed);
    destroy(ctx);
}

int kiv_context_is_cancelled(const kiv_context* ctx) { return ctx->cancelled.load() ? 1 : 0; }

void kiv_context_cancel(kiv_context* ctx) {
    if (ctx->cancelled.exchange(1)) return;
    kiv_loop_guard g(ctx->process);
    for (kiv_cancelable* w = ctx->armed; w; w = w->next) kick_co(w->co);
}

namespace {

// Loop lock held.
void disarm(kiv_cancelable* w) {
    kiv_context* ctx = w->ctx;
    if (w->prev)
        w->prev->next = w->next;
    else
        ctx->armed = w->next;
    if (w->next) w->next->prev = w->prev;
    w->co->kicked = false;
    *w = kiv_cancelable{};
    kiv_context_put(ctx);
}

}  // namespace

int kiv_cancelable_prepare_wait(kiv_cancelable* w, kiv_context* ctx) {
    if (!ctx) {
        if (w->ctx) {
            kiv_loop_guard g(w->ctx->process);
            disarm(w);
        }
        return 0;
    }
    KIV_BUG_ON(!kiv_in_loop_context() || !tls().co);
    if (w->ctx) disarm(w);
    if (ctx->cancelled.load()) return 1;
    ctx->refs.fetch_add(1, std::memory_order_relaxed);
    w->ctx = ctx;
    w->co = tls().co;
    w->prev = nullptr;
    w->next = ctx->armed;
    if (ctx->armed) ctx->armed->prev = w;
    ctx->armed = w;
    return 0;
}

// Coroutines, co-events, co-mutexes, co-conditions and cancellation.
#include <errno.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kiv/io.h"
#include "runtime_test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using rttest::wait_until;

template <class F>
void call_fn(void* a) {
    (*static_cast<F*>(a))();
}

class CoroutineTest : public rttest::EvloopTest {
protected:
    CoroutineTest() : EvloopTest("co-evloop") {}

    // Runs `f` in a new coroutine and joins it from a moved thread.
    template <class F>
    void in_coroutine(F f) {
        kiv_move_to_coroutine(&p);
        kiv_co_join(kiv_co_create(nullptr, call_fn<F>, &f));
        kiv_move_from_coroutine();
    }

    // Starts `f` in an unjoined coroutine; `f` must outlive it.
    template <class F>
    void spawn(F* f) {
        kiv_move_to_coroutine(&p);
        kiv_co_create(nullptr, call_fn<F>, f);
        kiv_move_from_coroutine();
    }

    template <class F>
    void in_job(F f) {
        kiv_call_in_job(&p, [](void* a) { return (*static_cast<F*>(a))(), 0; }, &f);
    }
};

int64_t ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
}

// ---------------------------------------------------------------- lifetime

TEST_F(CoroutineTest, NewCoroutineWaitsForItsCreator) {
    struct Shared {
        kiv_co* handle = nullptr;
        kiv_co* seen_handle = nullptr;
        kiv_co* self = nullptr;
        std::atomic<bool> ran{false};
    } s;
    auto body = [&] {
        s.seen_handle = s.handle;
        s.self = __kiv_thread_tls.co;
        s.ran = true;
    };
    kiv_move_to_coroutine(&p);
    kiv_co* co = kiv_co_create(nullptr, call_fn<decltype(body)>, &body);
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(s.ran.load());
    s.handle = co;
    kiv_co_join(co);
    kiv_move_from_coroutine();
    EXPECT_TRUE(s.ran.load());
    EXPECT_EQ(co, s.seen_handle);
    EXPECT_EQ(co, s.self);
}

std::mutex g_log_mu;
std::vector<std::string> g_log_lines;
void capture_log(int, const char* line, void*) {
    std::lock_guard<std::mutex> g(g_log_mu);
    g_log_lines.push_back(line);
}

// LSan reports any coroutine record or context that is not freed.
TEST_F(CoroutineTest, JoinedAndUnjoinedCoroutinesAreFreed) {
    struct Worker {
        kiv_co_event go{};
        std::atomic<int>* ended;
    };
    std::atomic<int> ended{0};
    auto body = [](void* a) {
        auto* w = static_cast<Worker*>(a);
        kiv_context_put(kiv_context_get());
        kiv_co_event_wait_timeout(&w->go, nullptr);
        (*w->ended)++;
    };
    Worker workers[16];
    kiv_move_to_coroutine(&p);
    std::vector<kiv_co*> cos;
    for (Worker& w : workers) {
        w.ended = &ended;
        cos.push_back(kiv_co_create(nullptr, body, &w));
    }
    for (int i = 8; i < 16; i++) kiv_co_event_signal(&workers[i].go);  // left unjoined
    // A joined coroutine must still be running: each one is released only
    // right before its join.
    for (int i = 0; i < 8; i++) {
        kiv_co_event_signal(&workers[i].go);
        EXPECT_EQ(0, kiv_co_join(cos[i]));
    }
    kiv_move_from_coroutine();
    ASSERT_TRUE(wait_until([&] { return ended.load() == 16; }));

    kiv_log_set_hook(capture_log, nullptr);
    kiv_process_terminate(&p);
    kiv_process_wait(&p);
    kiv_process_fini(&p);
    kiv_log_set_hook(nullptr, nullptr);
    std::lock_guard<std::mutex> g(g_log_mu);
    for (auto& l : g_log_lines) EXPECT_EQ(std::string::npos, l.find("alive")) << l;
}

TEST_F(CoroutineTest, StackSizeAndNameAttributes) {
    std::string name;
    auto body = [&] {
        char buf[32] = {};
        pthread_getname_np(pthread_self(), buf, sizeof buf);
        name = buf;
        volatile char big[400 * 1024];  // needs more than the default stack
        big[0] = 1;
        big[sizeof big - 1] = big[0];
    };
    kiv_co_attr attr{4 << 20, "worker-with-a-long-name"};
    kiv_move_to_coroutine(&p);
    kiv_co_join(kiv_co_create(&attr, call_fn<decltype(body)>, &body));
    kiv_move_from_coroutine();
    EXPECT_EQ("worker-with-a-l", name);
}

// ---------------------------------------------------------------- events

TEST_F(CoroutineTest, EventIsStickyAndAutoReset) {
    int first = 1, second = 1;
    in_coroutine([&] {
        kiv_co_event ev;
        kiv_co_event_init(&ev);
        kiv_co_event_signal(&ev);
        kiv_co_event_signal(&ev);
        uint64_t ms = 20;
        first = kiv_co_event_wait_timeout(&ev, &ms);
        second = kiv_co_event_wait_timeout(&ev, &ms);
        kiv_co_event_fini(&ev);
    });
    EXPECT_EQ(0, first);
    EXPECT_EQ(-ETIMEDOUT, second);
}

TEST_F(CoroutineTest, EventWaitTimesOut) {
    int r = 1;
    int64_t took = 0;
    in_coroutine([&] {
        kiv_co_event ev{};
        uint64_t ms = 60;
        auto t0 = Clock::now();
        r = kiv_co_event_wait_timeout(&ev, &ms);
        took = ms_since(t0);
        uint64_t zero = 0;
        EXPECT_EQ(-ETIMEDOUT, kiv_co_event_wait_timeout(&ev, &zero));
    });
    EXPECT_EQ(-ETIMEDOUT, r);
    EXPECT_GE(took, 59);
}

TEST_F(CoroutineTest, NullTimeoutWaitsUntilSignalledFromAnyThread) {
    struct Shared {
        kiv_co_event ev{};
        std::atomic<bool> waiting{false};
        std::atomic<int> result{1};
        std::atomic<int64_t> took{0};
    } s;
    auto body = [&] {
        auto t0 = Clock::now();
        s.waiting = true;
        int r = kiv_co_event_wait_timeout(&s.ev, nullptr);
        s.took = ms_since(t0);
        s.result = r;  // last touch of the test's stack
    };
    spawn(&body);
    ASSERT_TRUE(wait_until([&] { return s.waiting.load(); }));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(1, s.result.load());
    kiv_co_event_signal(&s.ev);  // plain thread: takes the loop lock
    ASSERT_TRUE(wait_until([&] { return s.result.load() != 1; }));
    EXPECT_EQ(0, s.result.load());
    EXPECT_GE(s.took.load(), 299);
}

// A signal from a plain thread on an event nobody has waited on yet is kept.
TEST_F(CoroutineTest, PlainThreadSignalBeforeFirstWaitIsKept) {
    kiv_co_event ev{};
    kiv_co_event_signal(&ev);
    int r = 1;
    in_coroutine([&] {
        uint64_t ms = 1000;
        r = kiv_co_event_wait_timeout(&ev, &ms);
    });
    EXPECT_EQ(0, r);
}

// ---------------------------------------------------------------- mutex + cond

// The task-result pattern: a coroutine hands work to a loop callback and
// waits for the answer under a co-mutex and co-condition.
TEST_F(CoroutineTest, TaskResultPatternBetweenCoroutineAndJob) {
    struct Task {
        kiv_job job;
        kiv_co_mutex mu;
        kiv_co_cond cond;
        bool done;
        int result;
    } t{};
    kiv_job_init(
        &p, &t.job,
        [](void* a) {
            auto* tk = static_cast<Task*>(a);
            kiv_co_mutex_lock(&tk->mu);  // uncontended: the coroutine waits in the cond
            tk->result = 99;
            tk->done = true;
            kiv_co_cond_signal(&tk->cond);
            kiv_co_mutex_unlock(&tk->mu);
        },
        &t);
    int waits = 0;
    in_coroutine([&] {
        kiv_co_mutex_init(&t.mu);
        kiv_co_cond_init(&t.cond, &t.mu);
        kiv_co_mutex_lock(&t.mu);
        kiv_job_wakeup(&t.job);
        while (!t.done) {
            EXPECT_EQ(0, kiv_co_cond_wait_timeout(&t.cond, nullptr));
            waits++;
        }
        kiv_co_mutex_unlock(&t.mu);
        kiv_co_cond_fini(&t.cond);
        kiv_co_mutex_fini(&t.mu);
    });
    EXPECT_EQ(99, t.result);
    EXPECT_GE(waits, 1);
}

TEST_F(CoroutineTest, CondWaitTimesOutAndSignalIsNotSticky) {
    int r = 1;
    in_coroutine([&] {
        kiv_co_mutex m{};
        kiv_co_cond c;
        kiv_co_cond_init(&c, &m);
        kiv_co_cond_signal(&c);  // nobody waits: lost
        kiv_co_mutex_lock(&m);
        uint64_t ms = 30;
        r = kiv_co_cond_wait_timeout(&c, &ms);
        EXPECT_EQ(__kiv_thread_tls.co, m.owner);  // relocked
        kiv_co_mutex_unlock(&m);
    });
    EXPECT_EQ(-ETIMEDOUT, r);
}

TEST_F(CoroutineTest, CoMutexServesWaitersInArrivalOrder) {
    struct Shared {
        kiv_co_mutex mu{};
        int arrived = 0;
        std::vector<int> order;
    } s;
    struct Waiter {
        Shared* s;
        int id;
    } w[4];
    auto body = [](void* a) {
        auto* wt = static_cast<Waiter*>(a);
        wt->s->arrived++;  // no yield between this and queueing on the mutex
        kiv_co_mutex_lock(&wt->s->mu);
        wt->s->order.push_back(wt->id);
        kiv_co_mutex_unlock(&wt->s->mu);
    };
    kiv_co_event idle{};
    auto yield_until = [&](auto pred) {
        while (!pred()) {
            uint64_t ms = 1;
            kiv_co_event_wait_timeout(&idle, &ms);
        }
    };
    kiv_move_to_coroutine(&p);
    kiv_co_mutex_lock(&s.mu);
    const int ids[4] = {2, 0, 3, 1};
    for (int i = 0; i < 4; i++) {
        w[i] = Waiter{&s, ids[i]};
        kiv_co_create(nullptr, body, &w[i]);
        yield_until([&] { return s.arrived == i + 1; });  // queued behind the others
    }
    EXPECT_TRUE(s.order.empty());
    kiv_co_mutex_unlock(&s.mu);
    // Unjoined: a waiter may end before a join could reach it.
    yield_until([&] { return s.order.size() == 4 && !s.mu.owner; });
    kiv_move_from_coroutine();
    EXPECT_EQ((std::vector<int>{2, 0, 3, 1}), s.order);
}

// ---------------------------------------------------------------- misuse

TEST(CoroutineDeathTest, CoWaitOnEvloopDies) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            kiv_process p{};
            kiv_process_init_(&p);
            kiv_process_start(&p, "dies");
            kiv_call_in_job(
                &p,
                [](void*) {
                    kiv_co_event ev{};
                    return kiv_co_event_wait_timeout(&ev, nullptr);
                },
                nullptr);
        },
        "BUG: .*invariant violated");
}

// ---------------------------------------------------------------- cancellation

TEST_F(CoroutineTest, PrepareWaitOnCancelledContextReturnsOne) {
    int r = 0;
    in_coroutine([&] {
        kiv_context* ctx = kiv_context_get();
        kiv_context_cancel(ctx);
        EXPECT_EQ(1, kiv_context_is_cancelled(ctx));
        kiv_cancelable w{};
        r = kiv_cancelable_prepare_wait(&w, ctx);
        EXPECT_EQ(nullptr, w.ctx);
        EXPECT_EQ(0, kiv_cancelable_prepare_wait(&w, nullptr));
        kiv_context_put(ctx);
    });
    EXPECT_EQ(1, r);
}

TEST_F(CoroutineTest, CancelKicksAWaitingCoroutine) {
    struct Shared {
        kiv_context* ctx = nullptr;
        std::atomic<bool> armed{false};
        std::atomic<int> ev_result{1}, cond_result{1};
        std::atomic<bool> finished{false};
    } s;
    auto body = [&] {
        s.ctx = kiv_context_get();
        kiv_cancelable w{};
        EXPECT_EQ(0, kiv_cancelable_prepare_wait(&w, s.ctx));
        s.armed = true;
        kiv_co_event ev{};
        s.ev_result = kiv_co_event_wait_timeout(&ev, nullptr);
        // The kick is spent; a context stays cancelled, though.
        kiv_co_mutex m{};
        kiv_co_cond c;
        kiv_co_cond_init(&c, &m);
        kiv_co_mutex_lock(&m);
        uint64_t ms = 30;
        s.cond_result = kiv_co_cond_wait_timeout(&c, &ms);
        kiv_co_mutex_unlock(&m);
        EXPECT_EQ(1, kiv_cancelable_prepare_wait(&w, s.ctx));
        kiv_cancelable_prepare_wait(&w, nullptr);
        s.finished = true;  // last touch of the test's stack
    };
    spawn(&body);
    ASSERT_TRUE(wait_until([&] { return s.armed.load(); }));
    std::this_thread::sleep_for(milliseconds(20));
    kiv_context_cancel(s.ctx);  // plain thread
    ASSERT_TRUE(wait_until([&] { return s.finished.load(); }));
    EXPECT_EQ(-EINTR, s.ev_result.load());
    EXPECT_EQ(-ETIMEDOUT, s.cond_result.load());
    kiv_context_put(s.ctx);
}

TEST_F(CoroutineTest, CancelKicksACondWait) {
    int r = 1;
    in_coroutine([&] {
        kiv_context* ctx = kiv_context_get();
        kiv_cancelable w{};
        kiv_cancelable_prepare_wait(&w, ctx);
        kiv_timer t;
        init_timer(&p, &t, [](void* a) { kiv_context_cancel(static_cast<kiv_context*>(a)); }, ctx);
        mod_timer(&t, 20);
        kiv_co_mutex m{};
        kiv_co_cond c;
        kiv_co_cond_init(&c, &m);
        kiv_co_mutex_lock(&m);
        r = kiv_co_cond_wait_timeout(&c, nullptr);
        EXPECT_EQ(__kiv_thread_tls.co, m.owner);
        kiv_co_mutex_unlock(&m);
        kiv_co_cond_fini(&c);
        kiv_cancelable_prepare_wait(&w, nullptr);
        kiv_context_put(ctx);
    });
    EXPECT_EQ(-EINTR, r);
}

TEST_F(CoroutineTest, PendingKickHitsTheNextWaitUnlessDisarmed) {
    int results[2] = {1, 1};
    for (int disarm = 0; disarm < 2; disarm++) {
        in_coroutine([&] {  // a fresh context each time
            uint64_t ms = 30;
            kiv_co_event ev{};
            kiv_context* ctx = kiv_context_get();
            kiv_cancelable w{};
            ASSERT_EQ(0, kiv_cancelable_prepare_wait(&w, ctx));
            kiv_context_cancel(ctx);  // not waiting: the kick is kept
            if (disarm) {
                kiv_cancelable_prepare_wait(&w, nullptr);
                kiv_cancelable_prepare_wait(&w, nullptr);  // idempotent
            }
            results[disarm] = kiv_co_event_wait_timeout(&ev, &ms);
            kiv_cancelable_prepare_wait(&w, nullptr);
            kiv_context_put(ctx);
        });
    }
    EXPECT_EQ(-EINTR, results[0]);
    EXPECT_EQ(-ETIMEDOUT, results[1]);
}

TEST_F(CoroutineTest, MovedThreadHasItsOwnContext) {
    kiv_move_to_coroutine(&p);
    kiv_context* a = kiv_context_get();
    kiv_move_from_coroutine();
    kiv_move_to_coroutine(&p);
    kiv_context* b = kiv_context_get();
    kiv_context_cancel(b);
    kiv_move_from_coroutine();
    EXPECT_EQ(0, kiv_context_is_cancelled(a));
    EXPECT_EQ(1, kiv_context_is_cancelled(b));
    kiv_context_put(a);
    kiv_context_put(b);
}

}  // namespace

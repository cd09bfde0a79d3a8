// Process, loop lock, thread-local state, jobs and the loop's internal
// services (fd watches, closers, loop guard).
#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kiv/io.h"
#include "loop_internal.h"
#include "runtime_test_util.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kScale = 4;  // sanitizers slow every hand-off down
#else
constexpr int kScale = 1;
#endif

using Clock = std::chrono::steady_clock;

using rttest::wait_until;

struct TlsSnapshot {
    kiv_process* process = nullptr;
    bool has_co = false;
    bool in_loop = false;
    bool can_wait = false;
    bool on_evloop = false;
    kiv_process* current = nullptr;

    static TlsSnapshot take() {
        TlsSnapshot s;
        s.process = __kiv_thread_tls.process;
        s.has_co = __kiv_thread_tls.co != nullptr;
        s.in_loop = kiv_in_loop_context();
        s.can_wait = kiv_can_co_wait();
        s.on_evloop = __kiv_thread_tls.on_evloop != 0;
        s.current = kiv_current_process();
        return s;
    }
};

class LoopTest : public ::testing::Test {
protected:
    kiv_process p{};

    void SetUp() override {
        ASSERT_EQ(0, kiv_process_init_(&p));
        ASSERT_EQ(0, kiv_process_start(&p, "loop-test-evloop"));
    }

    void TearDown() override {
        EXPECT_EQ(0, kiv_process_terminate(&p));
        EXPECT_EQ(0, kiv_process_wait(&p));
        EXPECT_EQ(0, kiv_process_fini(&p));
    }

    // Runs `f` on evloop and returns once it has run.
    template <class F>
    int in_job(F f) {
        return kiv_call_in_job(&p, [](void* a) { return (*static_cast<F*>(a))(), 0; }, &f);
    }

    template <class F>
    void in_coroutine(F f) {
        kiv_move_to_coroutine(&p);
        kiv_co* co = kiv_co_create(nullptr, [](void* a) { (*static_cast<F*>(a))(); }, &f);
        kiv_co_join(co);
        kiv_move_from_coroutine();
    }
};

struct Recorder {
    std::mutex mu;
    std::vector<int> seen;
    void add(int v) {
        std::lock_guard<std::mutex> g(mu);
        seen.push_back(v);
    }
    std::vector<int> get() {
        std::lock_guard<std::mutex> g(mu);
        return seen;
    }
};

struct NumberedJob {
    kiv_job job;
    Recorder* rec;
    int id;
    static void run(void* a) {
        auto* j = static_cast<NumberedJob*>(a);
        j->rec->add(j->id);
    }
};

// ---------------------------------------------------------------- jobs

// Jobs run in wake-up order; a second wake-up while queued does nothing.
TEST_F(LoopTest, JobsRunOnceInWakeupOrder) {
    Recorder rec;
    NumberedJob jobs[8];
    for (int i = 0; i < 8; i++) {
        jobs[i] = NumberedJob{{}, &rec, i};
        kiv_job_init(&p, &jobs[i].job, NumberedJob::run, &jobs[i]);
    }
    const int order[8] = {5, 2, 7, 0, 3, 6, 1, 4};
    kiv_move_to_coroutine(&p);  // evloop cannot run any of them in between
    for (int i : order) kiv_job_wakeup(&jobs[i].job);
    for (int i : order) kiv_job_wakeup(&jobs[i].job);
    kiv_move_from_coroutine();
    in_job([] {});  // queued after all of them
    in_job([] {});
    EXPECT_EQ(std::vector<int>(order, order + 8), rec.get());
}

struct SelfWakingJob {
    kiv_job job;
    std::atomic<int> runs{0};
    static void run(void* a) {
        auto* j = static_cast<SelfWakingJob*>(a);
        if (j->runs.fetch_add(1) == 0) kiv_job_wakeup(&j->job);
    }
};

TEST_F(LoopTest, WakeupDuringRunQueuesOneMoreRunInTheNextBatch) {
    SelfWakingJob j;
    struct Probe {
        kiv_job job;
        SelfWakingJob* target;
        std::atomic<int> runs_seen{-1};
    } probe{{}, &j};
    kiv_job_init(&p, &j.job, SelfWakingJob::run, &j);
    kiv_job_init(
        &p, &probe.job,
        [](void* a) {
            auto* pr = static_cast<Probe*>(a);
            pr->runs_seen = pr->target->runs.load();
        },
        &probe);
    kiv_move_to_coroutine(&p);  // both in one batch, the probe second
    kiv_job_wakeup(&j.job);
    kiv_job_wakeup(&probe.job);
    kiv_move_from_coroutine();
    ASSERT_TRUE(wait_until([&] { return probe.runs_seen.load() >= 0; }));
    EXPECT_EQ(1, probe.runs_seen.load());  // the second run waits for the next batch
    in_job([] {});
    EXPECT_EQ(2, j.runs.load());
}

TEST_F(LoopTest, WakeupNeverRunsInlineAndZeroJobIsInert) {
    Recorder rec;
    NumberedJob j{{}, &rec, 9};
    kiv_job_init(&p, &j.job, NumberedJob::run, &j);
    size_t seen_after_wakeup = 99;
    in_job([&] {
        kiv_job_wakeup(&j.job);
        seen_after_wakeup = rec.get().size();
    });
    EXPECT_EQ(0u, seen_after_wakeup);
    in_job([] {});
    EXPECT_EQ(1u, rec.get().size());

    kiv_job zero{};
    kiv_job_wakeup(&zero);
}

// ---------------------------------------------------------------- call_in_job

TEST_F(LoopTest, CallInJobFromPlainThreadRunsOnEvloop) {
    TlsSnapshot inside;
    int r = kiv_call_in_job(
        &p,
        [](void* a) {
            *static_cast<TlsSnapshot*>(a) = TlsSnapshot::take();
            return 42;
        },
        &inside);
    EXPECT_EQ(42, r);
    EXPECT_TRUE(inside.on_evloop);
    EXPECT_TRUE(inside.in_loop);

    int a = 5, b = 7;
    r = kiv_call_in_job2(
        &p, [](void* x, void* y) { return *static_cast<int*>(x) * *static_cast<int*>(y); }, &a, &b);
    EXPECT_EQ(35, r);
}

// Inline in loop context, so a coroutine does not wait for the lock it holds.
TEST_F(LoopTest, CallInJobRunsInlineInLoopContext) {
    auto self_thread = [](void* a) {
        *static_cast<pthread_t*>(a) = pthread_self();
        return -7;
    };
    pthread_t caller = pthread_self(), ran_on{}, co_thread{}, co_ran_on{};
    kiv_move_to_coroutine(&p);
    EXPECT_EQ(-7, kiv_call_in_job(&p, self_thread, &ran_on));
    kiv_move_from_coroutine();
    EXPECT_TRUE(pthread_equal(caller, ran_on));
    in_coroutine([&] {
        co_thread = pthread_self();
        EXPECT_EQ(-7, kiv_call_in_job(&p, self_thread, &co_ran_on));
    });
    EXPECT_TRUE(pthread_equal(co_thread, co_ran_on));
}

TEST_F(LoopTest, CallInJobAfterTerminateIsShutdown) {
    kiv_process_terminate(&p);
    std::atomic<bool> ran{false};
    auto fn = [](void* a) {
        static_cast<std::atomic<bool>*>(a)->store(true);
        return 0;
    };
    EXPECT_EQ(-ESHUTDOWN, kiv_call_in_job(&p, fn, &ran));
    kiv_move_to_coroutine(&p);
    EXPECT_EQ(-ESHUTDOWN, kiv_call_in_job(&p, fn, &ran));
    kiv_move_from_coroutine();
    EXPECT_FALSE(ran.load());
}

TEST_F(LoopTest, BlockedCallerGetsShutdownAtTerminate) {
    std::atomic<bool> release{false}, blocker_running{false}, ran{false};
    struct Blocker {
        kiv_job job;
        std::atomic<bool>* running;
        std::atomic<bool>* release;
    } blocker{{}, &blocker_running, &release};
    kiv_job_init(
        &p, &blocker.job,
        [](void* a) {
            auto* b = static_cast<Blocker*>(a);
            b->running->store(true);
            while (!b->release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            b->running->store(false);  // last touch of the test's stack
        },
        &blocker);
    kiv_job_wakeup(&blocker.job);
    ASSERT_TRUE(wait_until([&] { return blocker_running.load(); }));

    std::atomic<int> result{1};
    std::thread caller([&] {
        result = kiv_call_in_job(
            &p,
            [](void* a) {
                static_cast<std::atomic<bool>*>(a)->store(true);
                return 0;
            },
            &ran);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let it queue behind the blocker
    kiv_process_terminate(&p);
    caller.join();
    release = true;
    ASSERT_TRUE(wait_until([&] { return !blocker_running.load(); }));
    EXPECT_EQ(-ESHUTDOWN, result.load());
    EXPECT_FALSE(ran.load());
}

// 64 threads hammer call_in_job while 8 movers take the lock directly; no
// two holders ever overlap, and every mover gets in while the callers still
// contend. Callers keep calling until each mover has been in once, so a slow
// start of the mover threads on a busy machine cannot leave them nothing to
// contend with; a lock that starves movers shows as the generous deadline.
TEST_F(LoopTest, LoopLockExcludesAndServesEveryMover) {
    constexpr int callers = 64, calls = 1000 / kScale, movers = 8;
    std::atomic<int> inside{0}, overlaps{0}, callers_done{0}, movers_served{0};
    std::atomic<long> contended_moves[movers] = {};
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    auto enter = [&] {
        if (inside.fetch_add(1) != 0) overlaps++;
        std::atomic_signal_fence(std::memory_order_seq_cst);  // a holder that is not instant
        inside.fetch_sub(1);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < callers; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < calls || (movers_served.load() < movers && Clock::now() < deadline); i++) {
                kiv_call_in_job(&p, [](void* a) { return (*static_cast<decltype(enter)*>(a))(), 0; }, &enter);
            }
            callers_done++;
        });
    }
    for (int t = 0; t < movers; t++) {
        threads.emplace_back([&, t] {
            do {
                kiv_move_to_coroutine(&p);
                enter();
                bool contended = callers_done.load() < callers;
                kiv_move_from_coroutine();
                if (contended && contended_moves[t]++ == 0) movers_served++;
            } while (callers_done.load() < callers);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, overlaps.load());
    for (int t = 0; t < movers; t++) EXPECT_GT(contended_moves[t].load(), 0) << "mover " << t << " never got in";
}

TEST_F(LoopTest, NestedMovesReleaseOnlyAtTheOutermost) {
    std::atomic<bool> got_in{false};
    kiv_move_to_coroutine(&p);
    kiv_move_to_coroutine(&p);
    EXPECT_EQ(2u, __kiv_thread_tls.loop_depth);
    kiv_co* outer_co = __kiv_thread_tls.co;
    std::thread other([&] {
        kiv_move_to_coroutine(&p);
        got_in = true;
        kiv_move_from_coroutine();
    });
    kiv_move_from_coroutine();
    EXPECT_TRUE(kiv_in_loop_context());
    EXPECT_EQ(outer_co, __kiv_thread_tls.co);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(got_in.load());
    kiv_move_from_coroutine();
    EXPECT_FALSE(kiv_in_loop_context());
    other.join();
    EXPECT_TRUE(got_in.load());
}

// ---------------------------------------------------------------- TLS

TEST_F(LoopTest, ThreadLocalStateInEveryKindOfHolder) {
    TlsSnapshot plain = TlsSnapshot::take();
    EXPECT_FALSE(plain.in_loop);
    EXPECT_EQ(nullptr, plain.process);
    EXPECT_EQ(nullptr, plain.current);

    TlsSnapshot job;
    in_job([&] { job = TlsSnapshot::take(); });
    EXPECT_TRUE(job.in_loop && job.on_evloop && !job.can_wait && !job.has_co);
    EXPECT_EQ(&p, job.process);
    EXPECT_EQ(&p, job.current);

    struct TimerBox {
        kiv_timer t;
        TlsSnapshot snap;
        std::atomic<bool> fired{false};
    } box;
    init_timer(
        &p, &box.t,
        [](void* a) {
            auto* b = static_cast<TimerBox*>(a);
            b->snap = TlsSnapshot::take();
            b->fired = true;
        },
        &box);
    mod_timer(&box.t, 1);
    ASSERT_TRUE(wait_until([&] { return box.fired.load(); }));
    EXPECT_TRUE(box.snap.in_loop && box.snap.on_evloop && !box.snap.can_wait && !box.snap.has_co);
    EXPECT_EQ(&p, box.snap.current);

    TlsSnapshot co;
    in_coroutine([&] { co = TlsSnapshot::take(); });
    EXPECT_TRUE(co.in_loop && co.can_wait && co.has_co && !co.on_evloop);
    EXPECT_EQ(&p, co.current);

    kiv_move_to_coroutine(&p);
    TlsSnapshot moved = TlsSnapshot::take();
    kiv_move_from_coroutine();
    EXPECT_TRUE(moved.in_loop && moved.can_wait && moved.has_co && !moved.on_evloop);
    EXPECT_EQ(&p, moved.current);

    TlsSnapshot after = TlsSnapshot::take();
    EXPECT_FALSE(after.in_loop || after.has_co);
    EXPECT_EQ(nullptr, after.process);

    TlsSnapshot other;
    std::thread([&] { other = TlsSnapshot::take(); }).join();
    EXPECT_FALSE(other.in_loop || other.has_co);
}

TEST_F(LoopTest, LoopGuardMovesOnlyWhenNeeded) {
    {
        kiv_loop_guard g(&p);
        EXPECT_TRUE(g.moved);
        EXPECT_EQ(&p, kiv_current_process());
        kiv_loop_guard inner(&p);
        EXPECT_FALSE(inner.moved);
        EXPECT_EQ(1u, __kiv_thread_tls.loop_depth);
    }
    EXPECT_FALSE(kiv_in_loop_context());
    bool moved_on_evloop = true;
    in_job([&] {
        kiv_loop_guard g(&p);
        moved_on_evloop = g.moved;
    });
    EXPECT_FALSE(moved_on_evloop);
}

// ---------------------------------------------------------------- lifecycle

TEST(ProcessLifecycle, CallsAfterFailedInitAreHarmless) {
    kiv_process p{};
    kiv_mem_inject_failures(1);
    EXPECT_EQ(-ENOMEM, kiv_process_init_(&p));
    kiv_mem_inject_failures(0);
    EXPECT_EQ(-EINVAL, kiv_process_start(&p, "x"));
    EXPECT_EQ(-ESHUTDOWN, kiv_call_in_job(&p, [](void*) { return 0; }, nullptr));
    EXPECT_EQ(0, kiv_process_terminate(&p));
    EXPECT_EQ(0, kiv_process_wait(&p));
    EXPECT_EQ(0, kiv_process_fini(&p));
    EXPECT_FALSE(kiv_process_terminated(&p));
}

TEST(ProcessLifecycle, MovesWorkBeforeStartAndAfterTerminate) {
    kiv_process p{};
    ASSERT_EQ(0, kiv_process_init_(&p));
    EXPECT_EQ(0, kiv_process_terminate(&p));  // not started: no-op
    EXPECT_FALSE(kiv_process_terminated(&p));
    EXPECT_EQ(0, kiv_move_to_coroutine(&p));
    EXPECT_EQ(-ESHUTDOWN, kiv_call_in_job(&p, [](void*) { return 0; }, nullptr));
    kiv_move_from_coroutine();
    EXPECT_EQ(-ESHUTDOWN, kiv_call_in_job(&p, [](void*) { return 0; }, nullptr));

    ASSERT_EQ(0, kiv_process_start(&p, "a-rather-long-evloop-name"));
    EXPECT_EQ(-EBUSY, kiv_process_start(&p, "again"));
    char name[32] = {};
    kiv_call_in_job(
        &p, [](void* a) { return pthread_getname_np(pthread_self(), static_cast<char*>(a), 32); }, name);
    EXPECT_EQ(std::string("a-rather-long-e"), name);
    EXPECT_EQ(0, kiv_process_terminate(&p));
    EXPECT_TRUE(kiv_process_terminated(&p));
    EXPECT_EQ(0, kiv_move_to_coroutine(&p));
    kiv_move_from_coroutine();
    EXPECT_EQ(0, kiv_process_wait(&p));
    EXPECT_EQ(0, kiv_process_fini(&p));
    EXPECT_EQ(nullptr, p.core);
}

std::mutex g_log_mu;
std::vector<std::string> g_log_lines;

void capture_log(int, const char* line, void*) {
    std::lock_guard<std::mutex> g(g_log_mu);
    g_log_lines.push_back(line);
}

TEST(ProcessLifecycle, TerminateWithCoroutineBlockedForever) {
    // The core is leaked on purpose (the coroutine still sleeps on it), so
    // the process lives on the heap for the rest of the program too.
    auto* p = new kiv_process{};
    auto* never = new kiv_co_event{};
    ASSERT_EQ(0, kiv_process_init_(p));
    ASSERT_EQ(0, kiv_process_start(p, "blocked"));
    kiv_move_to_coroutine(p);
    kiv_co_create(
        nullptr, [](void* ev) { kiv_co_event_wait_timeout(static_cast<kiv_co_event*>(ev), nullptr); }, never);
    kiv_move_from_coroutine();
    kiv_log_set_hook(capture_log, nullptr);
    EXPECT_EQ(0, kiv_process_terminate(p));
    EXPECT_EQ(0, kiv_process_wait(p));
    EXPECT_EQ(0, kiv_process_fini(p));
    kiv_log_set_hook(nullptr, nullptr);
    std::lock_guard<std::mutex> g(g_log_mu);
    bool found = false;
    for (auto& l : g_log_lines) found |= l.find("1 coroutines alive at process fini") != std::string::npos;
    EXPECT_TRUE(found);
}

TEST(ProcessLifecycle, TerminateDropsQueuedJobs) {
    kiv_process p{};
    ASSERT_EQ(0, kiv_process_init_(&p));
    ASSERT_EQ(0, kiv_process_start(&p, "drop"));
    Recorder rec;
    NumberedJob j{{}, &rec, 1};
    kiv_job_init(&p, &j.job, NumberedJob::run, &j);
    kiv_move_to_coroutine(&p);
    kiv_job_wakeup(&j.job);
    kiv_process_terminate(&p);
    kiv_move_from_coroutine();
    kiv_job_wakeup(&j.job);
    EXPECT_EQ(0, kiv_process_wait(&p));
    EXPECT_TRUE(rec.get().empty());
    EXPECT_EQ(0, kiv_process_fini(&p));
}

// ---------------------------------------------------------------- fd watches

struct PipeWatch {
    int fds[2] = {-1, -1};
    kiv_fd_watch* w = nullptr;
    PipeWatch* other = nullptr;
    std::atomic<int> calls{0};
    uint32_t revents = 0;

    static void on_ready(kiv_fd_watch* w, uint32_t revents, void* arg) {
        auto* self = static_cast<PipeWatch*>(arg);
        EXPECT_EQ(w, self->w);
        self->revents = revents;
        self->calls++;
        // Whichever fires first removes both, with the other's event
        // already harvested in this batch.
        kiv_fd_watch_del(self->w);
        self->w = nullptr;
        if (self->other && self->other->w) {
            kiv_fd_watch_del(self->other->w);
            self->other->w = nullptr;
        }
    }
};

TEST(FdWatch, DeletedWatchNeverRunsEvenWithAHarvestedEvent) {
    kiv_process p{};
    ASSERT_EQ(0, kiv_process_init_(&p));
    PipeWatch a, b;
    a.other = &b;
    b.other = &a;
    for (PipeWatch* pw : {&a, &b}) {
        ASSERT_EQ(0, pipe(pw->fds));
        ASSERT_EQ(1, write(pw->fds[1], "x", 1));
    }
    // Added before start, so evloop's first epoll_wait reports both.
    kiv_move_to_coroutine(&p);
    a.w = kiv_fd_watch_add(&p, a.fds[0], EPOLLIN, PipeWatch::on_ready, &a);
    b.w = kiv_fd_watch_add(&p, b.fds[0], EPOLLIN, PipeWatch::on_ready, &b);
    kiv_move_from_coroutine();
    ASSERT_TRUE(a.w && b.w);
    ASSERT_EQ(0, kiv_process_start(&p, "fdwatch"));
    ASSERT_TRUE(wait_until([&] { return a.calls + b.calls > 0; }));
    kiv_call_in_job(&p, [](void*) { return 0; }, nullptr);
    kiv_call_in_job(&p, [](void*) { return 0; }, nullptr);
    EXPECT_EQ(1, a.calls + b.calls);
    EXPECT_TRUE((a.revents | b.revents) & EPOLLIN);
    kiv_process_terminate(&p);
    kiv_process_wait(&p);
    kiv_process_fini(&p);
    for (PipeWatch* pw : {&a, &b}) close(pw->fds[0]), close(pw->fds[1]);
}

TEST(FdWatch, ModChangesEventsAndFiniFreesLeftovers) {
    kiv_process p{};
    ASSERT_EQ(0, kiv_process_init_(&p));
    ASSERT_EQ(0, kiv_process_start(&p, "fdwatch"));
    PipeWatch a;
    ASSERT_EQ(0, pipe(a.fds));
    ASSERT_EQ(1, write(a.fds[1], "x", 1));
    kiv_move_to_coroutine(&p);
    EXPECT_EQ(nullptr, kiv_fd_watch_add(&p, -1, EPOLLIN, PipeWatch::on_ready, &a));
    EXPECT_EQ(EBADF, errno);
    a.w = kiv_fd_watch_add(&p, a.fds[0], EPOLLOUT, PipeWatch::on_ready, &a);  // never ready
    kiv_fd_watch_add(&p, a.fds[1], EPOLLIN, [](kiv_fd_watch*, uint32_t, void*) {}, nullptr);  // left for fini (LSan)
    kiv_move_from_coroutine();
    kiv_call_in_job(&p, [](void*) { return 0; }, nullptr);
    EXPECT_EQ(0, a.calls.load());
    kiv_move_to_coroutine(&p);
    EXPECT_EQ(0, kiv_fd_watch_mod(a.w, EPOLLIN));
    kiv_move_from_coroutine();
    EXPECT_TRUE(wait_until([&] { return a.calls.load() == 1; }));
    kiv_process_terminate(&p);
    kiv_process_wait(&p);
    kiv_process_fini(&p);
    close(a.fds[0]);
    close(a.fds[1]);
}

// ---------------------------------------------------------------- closers

struct Closer {
    kiv_proc_closer c;
    kiv_process* p;
    Recorder* rec;
    int id;
    Closer* victim;
};

TEST(ProcClosers, RunNewestFirstAndMayUnregisterOthers) {
    kiv_process p{};
    ASSERT_EQ(0, kiv_process_init_(&p));
    ASSERT_EQ(0, kiv_process_start(&p, "closers"));
    Recorder rec;
    Closer cl[4];
    auto fn = [](kiv_proc_closer* c) {
        auto* self = reinterpret_cast<Closer*>(c);
        EXPECT_TRUE(kiv_in_loop_context());
        self->rec->add(self->id);
        kiv_proc_closer_del(self->p, c);  // already off the list: harmless
        if (self->victim) kiv_proc_closer_del(self->p, &self->victim->c);
    };
    for (int i = 0; i < 4; i++) {
        cl[i] = Closer{{fn, nullptr, nullptr}, &p, &rec, i, nullptr};
        kiv_proc_closer_add(&p, &cl[i].c);
    }
    cl[2].victim = &cl[0];
    kiv_proc_closer_del(&p, &cl[1].c);
    kiv_process_terminate(&p);
    kiv_process_wait(&p);
    kiv_process_fini(&p);
    EXPECT_EQ((std::vector<int>{3, 2}), rec.get());
}

}  // namespace

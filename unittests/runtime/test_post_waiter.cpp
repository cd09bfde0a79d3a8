// Posted jobs (run by evloop without the poster waiting, or at once in loop
// context; dropped at termination) and waiters (wake-ups relayed among the
// woken).
#include <errno.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loop_core.h"
#include "runtime_test_util.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kScale = 4;
#else
constexpr int kScale = 1;
#endif

using rttest::LoopHolder;
using rttest::wait_until;

struct Probe {
    kiv_job job{};
    std::atomic<int> ran{0};
    std::atomic<int> dropped{0};
    std::thread::id ran_on;
    std::thread::id dropped_on;
    bool on_evloop = false;
    kiv_waiter done{};

    static void run(void* a) {
        auto* pr = static_cast<Probe*>(a);
        pr->ran_on = std::this_thread::get_id();
        pr->on_evloop = __kiv_thread_tls.on_evloop != 0;
        pr->ran++;
        kiv_waiter_signal(&pr->done);
    }
    static void drop(void* a) {
        auto* pr = static_cast<Probe*>(a);
        pr->dropped_on = std::this_thread::get_id();
        pr->dropped++;
        kiv_waiter_signal(&pr->done);
    }
    int post(kiv_process* p) { return kiv_post_in_job(p, &job, run, drop, this); }
};

enum class Where { Inline, Evloop, Refused };

struct PlacementCase {
    const char* name;
    bool start;      // the process is started
    bool terminate;  // and terminated before the post
    bool busy;       // another thread holds the loop lock
    bool in_loop;    // the poster is in loop context itself
    Where expect;
};

TEST(PostInJob, RunsWhereTheLoopStateSays) {
    const PlacementCase cases[] = {
        {"idle loop, plain thread", true, false, false, false, Where::Evloop},
        {"busy loop, plain thread", true, false, true, false, Where::Evloop},
        {"poster in loop context", true, false, false, true, Where::Inline},
        {"process never started", false, false, false, false, Where::Refused},
        {"process terminated", true, true, false, false, Where::Refused},
    };
    for (const PlacementCase& c : cases) {
        SCOPED_TRACE(c.name);
        kiv_process p{};
        ASSERT_EQ(0, kiv_process_init_(&p));
        if (c.start) {
            ASSERT_EQ(0, kiv_process_start(&p, "post-test"));
        }
        if (c.terminate) kiv_process_terminate(&p);
        Probe pr;
        {
            std::unique_ptr<LoopHolder> holder;
            if (c.busy) holder = std::make_unique<LoopHolder>(&p);
            if (c.in_loop) kiv_move_to_coroutine(&p);
            const int rc = pr.post(&p);
            const int ran_at_return = pr.ran.load();
            if (c.in_loop) kiv_move_from_coroutine();
            EXPECT_EQ(c.expect == Where::Refused ? -ESHUTDOWN : 0, rc);
            if (c.expect == Where::Inline || c.busy) {
                EXPECT_EQ(c.expect == Where::Inline ? 1 : 0, ran_at_return);
            }
        }
        if (c.expect != Where::Refused) {
            kiv_waiter_wait(&pr.done);
            EXPECT_EQ(1, pr.ran.load());
            EXPECT_EQ(c.expect == Where::Evloop, pr.on_evloop);
            EXPECT_EQ(c.expect == Where::Inline, pr.ran_on == std::this_thread::get_id());
        }
        EXPECT_EQ(0, pr.dropped.load());
        if (c.expect == Where::Refused) {
            EXPECT_EQ(0, pr.ran.load());
        }
        kiv_process_terminate(&p);
        kiv_process_wait(&p);
        kiv_process_fini(&p);
    }
}

TEST(PostInJob, TerminateDropsEveryQueuedPostOnceAndRunsNone) {
    kiv_process p{};
    ASSERT_EQ(0, kiv_process_init_(&p));
    ASSERT_EQ(0, kiv_process_start(&p, "post-test"));
    std::vector<Probe> probes(50);
    {
        LoopHolder holder(&p);
        for (Probe& pr : probes) ASSERT_EQ(0, pr.post(&p));
        kiv_process_terminate(&p);
        Probe late;
        EXPECT_EQ(-ESHUTDOWN, late.post(&p));
    }
    for (Probe& pr : probes) {
        kiv_waiter_wait(&pr.done);  // a lost post would hang here
        EXPECT_EQ(0, pr.ran.load());
        EXPECT_EQ(1, pr.dropped.load());
        EXPECT_EQ(std::this_thread::get_id(), pr.dropped_on);
    }
    kiv_process_wait(&p);
    kiv_process_fini(&p);
}

// Many threads, each posting pairs of jobs and waiting for the second: every
// job runs exactly once, a thread's posts run in the order it made them, and
// every wait ends although evloop hands its wake-ups on to the woken.
TEST(PostInJob, ManyThreadsRunEachPostOnceInOrder) {
    kiv_process p{};
    ASSERT_EQ(0, kiv_process_init_(&p));
    ASSERT_EQ(0, kiv_process_start(&p, "post-test"));
    const int threads = 24, rounds = 400 / kScale;
    struct Slot {
        kiv_job job{};
        std::atomic<int> runs{0};
        int seq = 0;
        std::atomic<int>* clock = nullptr;
        kiv_waiter done{};
    };
    std::vector<std::vector<Slot>> slots(threads);
    for (auto& v : slots) v = std::vector<Slot>(size_t(rounds) * 2);
    std::atomic<int> order_faults{0}, refused{0};
    auto run = [](void* a) {
        auto* s = static_cast<Slot*>(a);
        s->seq = s->clock->fetch_add(1) + 1;
        s->runs++;
        kiv_waiter_signal(&s->done);
    };
    auto drop = [](void*) { ADD_FAILURE() << "dropped while running"; };
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; t++) {
        ts.emplace_back([&, t] {
            std::atomic<int> clock{0};
            for (int r = 0; r < rounds; r++) {
                Slot& a = slots[t][size_t(r) * 2];
                Slot& b = slots[t][size_t(r) * 2 + 1];
                a.clock = b.clock = &clock;
                if (kiv_post_in_job(&p, &a.job, run, drop, &a) || kiv_post_in_job(&p, &b.job, run, drop, &b)) {
                    refused++;
                    return;
                }
                kiv_waiter_wait(&b.done);
                kiv_waiter_wait(&a.done);
                if (a.seq >= b.seq) order_faults++;
            }
        });
    }
    for (auto& th : ts) th.join();
    EXPECT_EQ(0, refused.load());
    EXPECT_EQ(0, order_faults.load());
    for (auto& v : slots)
        for (Slot& s : v) ASSERT_EQ(1, s.runs.load());
    kiv_process_terminate(&p);
    kiv_process_wait(&p);
    kiv_process_fini(&p);
}

// Waiters signalled in every order relative to the wait, from every kind
// of thread; a waiter may be reused after init.
TEST(Waiter, SignalBeforeOrAfterTheWaitFromAnyThread) {
    kiv_process p{};
    ASSERT_EQ(0, kiv_process_init_(&p));
    ASSERT_EQ(0, kiv_process_start(&p, "waiter-test"));
    enum From { Plain, Evloop, Coroutine };
    for (From from : {Plain, Evloop, Coroutine}) {
        for (bool before : {true, false}) {
            SCOPED_TRACE(std::to_string(int(from)) + (before ? " before" : " after"));
            kiv_waiter w{};
            kiv_waiter_init(&w);
            EXPECT_FALSE(kiv_waiter_signalled(&w));
            std::atomic<bool> go{before};
            std::thread signaller([&] {
                while (!go) std::this_thread::yield();
                if (!before) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (from == Plain) {
                    kiv_waiter_signal(&w);
                } else if (from == Evloop) {
                    kiv_call_in_job(&p, [](void* a) { return kiv_waiter_signal(static_cast<kiv_waiter*>(a)), 0; }, &w);
                } else {
                    kiv_move_to_coroutine(&p);
                    kiv_waiter_signal(&w);
                    kiv_move_from_coroutine();
                }
            });
            if (before) {
                signaller.join();
                EXPECT_TRUE(kiv_waiter_signalled(&w));
            } else {
                go = true;
            }
            kiv_waiter_wait(&w);
            EXPECT_TRUE(kiv_waiter_signalled(&w));
            if (signaller.joinable()) signaller.join();
        }
    }
    kiv_process_terminate(&p);
    kiv_process_wait(&p);
    kiv_process_fini(&p);
}

}  // namespace

// Monotonic one-shot timers.
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

class TimerTest : public rttest::EvloopTest {
protected:
    TimerTest() : EvloopTest("timer-evloop") {}

    template <class F>
    void in_job(F f) {
        kiv_call_in_job(&p, [](void* a) { return (*static_cast<F*>(a))(), 0; }, &f);
    }
};

struct Fired {
    kiv_timer t;
    std::atomic<int> count{0};
    Clock::time_point at;
    static void fn(void* a) {
        auto* f = static_cast<Fired*>(a);
        f->at = Clock::now();
        f->count++;
    }
};

TEST_F(TimerTest, ZeroDelayRunsInALaterBatchNeverInline) {
    Fired f;
    init_timer(&p, &f.t, Fired::fn, &f);
    int seen_in_job = -1, pending_in_job = -1;
    in_job([&] {
        mod_timer(&f.t, 0);
        seen_in_job = f.count.load();
        pending_in_job = timer_pending(&f.t);
    });
    EXPECT_EQ(0, seen_in_job);
    EXPECT_EQ(1, pending_in_job);
    ASSERT_TRUE(wait_until([&] { return f.count.load() == 1; }));
    EXPECT_EQ(0, timer_pending(&f.t));
}

// A handler that re-arms itself with 0 must not starve the batch: each run
// belongs to a later batch, so a job queued meanwhile gets its turn.
TEST_F(TimerTest, SelfRearmingZeroTimerLetsJobsRun) {
    struct Spinner {
        kiv_timer t;
        std::atomic<int> runs{0};
        std::atomic<bool> stop{false};
    } s;
    init_timer(
        &p, &s.t,
        [](void* a) {
            auto* sp = static_cast<Spinner*>(a);
            sp->runs++;
            if (!sp->stop.load()) mod_timer(&sp->t, 0);
        },
        &s);
    mod_timer(&s.t, 0);
    ASSERT_TRUE(wait_until([&] { return s.runs.load() > 10; }));
    in_job([&] { s.stop = true; });
    del_timer_sync(&s.t);
    EXPECT_EQ(0, timer_pending(&s.t));
}

TEST_F(TimerTest, RearmReplacesTheExpiry) {
    Fired f;
    init_timer(&p, &f.t, Fired::fn, &f);
    EXPECT_EQ(0, mod_timer(&f.t, 60000));
    auto armed = Clock::now();
    EXPECT_EQ(1, mod_timer(&f.t, 20));  // earlier: evloop must wake up for it
    ASSERT_TRUE(wait_until([&] { return f.count.load() == 1; }));
    EXPECT_GE(f.at - armed, milliseconds(19));

    EXPECT_EQ(0, mod_timer(&f.t, 20));
    EXPECT_EQ(1, mod_timer(&f.t, 60000));  // later: the 20 ms expiry is gone
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(1, f.count.load());
    EXPECT_EQ(1, del_timer_sync(&f.t));
    EXPECT_EQ(0, del_timer_sync(&f.t));
}

// A plain thread arms a timer while evloop sleeps until an earlier-armed
// one (or has none): it fires at its own expiry whether it comes before that
// wake-up (evloop must be kicked) or after it (evloop wakes anyway).
TEST_F(TimerTest, TimerArmedWhileEvloopSleepsFiresAtItsOwnExpiry) {
    struct Case {
        int first_ms;  // already armed; 0 = none
        int second_ms;
    };
    for (Case c : {Case{0, 30}, Case{120000, 30}, Case{40, 150}}) {
        SCOPED_TRACE(std::to_string(c.first_ms) + " then " + std::to_string(c.second_ms));
        Fired first, second;
        init_timer(&p, &first.t, Fired::fn, &first);
        init_timer(&p, &second.t, Fired::fn, &second);
        const auto first_armed = Clock::now();
        if (c.first_ms) mod_timer(&first.t, uint64_t(c.first_ms));
        std::this_thread::sleep_for(milliseconds(10));  // evloop back asleep
        const auto armed = Clock::now();
        mod_timer(&second.t, uint64_t(c.second_ms));
        ASSERT_TRUE(wait_until([&] { return second.count.load() == 1; }));
        EXPECT_GE(second.at - armed, milliseconds(c.second_ms - 1));
        // An evloop that was not kicked sleeps on until the earlier-armed
        // expiry and cannot fire the second before it; the first's wait is
        // beyond the hang guard, so that fault fails the wait for the second
        // and a loaded machine's delays stay far below it.
        if (c.first_ms > c.second_ms) {
            EXPECT_LT(second.at, first_armed + milliseconds(c.first_ms));
            del_timer_sync(&first.t);
        } else if (c.first_ms) {
            ASSERT_TRUE(wait_until([&] { return first.count.load() == 1; }));
        }
    }
}

TEST_F(TimerTest, FireInExpiryOrderThenArmingOrder) {
    struct Ordered {
        kiv_timer t;
        int id;
        std::mutex* mu;
        std::vector<int>* order;
    };
    std::mutex mu;
    std::vector<int> order;
    Ordered ts[5];
    const uint64_t delays[5] = {40, 10, 10, 0, 25};
    kiv_move_to_coroutine(&p);  // arm all of them within one holder
    for (int i = 0; i < 5; i++) {
        ts[i] = Ordered{{}, i, &mu, &order};
        init_timer(
            &p, &ts[i].t,
            [](void* a) {
                auto* o = static_cast<Ordered*>(a);
                std::lock_guard<std::mutex> g(*o->mu);
                o->order->push_back(o->id);
            },
            &ts[i]);
        mod_timer(&ts[i].t, delays[i]);
    }
    kiv_move_from_coroutine();
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> g(mu);
        return order.size() == 5;
    }));
    EXPECT_EQ((std::vector<int>{3, 1, 2, 4, 0}), order);
}

struct SelfFreeing {
    kiv_timer t;
    std::atomic<int>* done;
    int left;
    static void fn(void* a) {
        auto* s = static_cast<SelfFreeing*>(a);
        EXPECT_EQ(0, timer_pending(&s->t));
        if (--s->left > 0) {
            EXPECT_EQ(0, mod_timer(&s->t, 1));
            return;
        }
        // From its own handler del_timer_sync returns at once; freeing the
        // timer afterwards is legal (ASan checks the runtime never looks).
        EXPECT_EQ(0, del_timer_sync(&s->t));
        std::atomic<int>* done = s->done;
        delete s;
        (*done)++;
    }
};

TEST_F(TimerTest, HandlerMayRearmStopAndFreeItsTimer) {
    std::atomic<int> done{0};
    for (int i = 0; i < 10; i++) {
        auto* s = new SelfFreeing{{}, &done, 3};
        init_timer(&p, &s->t, SelfFreeing::fn, s);
        mod_timer(&s->t, uint64_t(i % 3));
    }
    ASSERT_TRUE(wait_until([&] { return done.load() == 10; }));
}

TEST_F(TimerTest, DelTimerSyncFromPlainThreadWaitsForRunningHandler) {
    struct Slow {
        kiv_timer t;
        std::atomic<bool> started{false}, finished{false};
    } s;
    init_timer(
        &p, &s.t,
        [](void* a) {
            auto* sl = static_cast<Slow*>(a);
            sl->started = true;
            std::this_thread::sleep_for(milliseconds(50));
            sl->finished = true;
        },
        &s);
    mod_timer(&s.t, 0);
    ASSERT_TRUE(wait_until([&] { return s.started.load(); }));
    EXPECT_EQ(0, del_timer_sync(&s.t));  // disarmed before the handler ran
    EXPECT_TRUE(s.finished.load());
}

TEST_F(TimerTest, ZeroFilledAndFiredTimersAreSafe) {
    kiv_timer zero{};
    EXPECT_EQ(0, mod_timer(&zero, 1));
    EXPECT_EQ(0, timer_pending(&zero));
    EXPECT_EQ(0, del_timer_sync(&zero));

    Fired f;
    init_timer(&p, &f.t, Fired::fn, &f);
    EXPECT_EQ(0, del_timer_sync(&f.t));  // never armed
    mod_timer(&f.t, 1);
    ASSERT_TRUE(wait_until([&] { return f.count.load() == 1; }));
    EXPECT_EQ(0, timer_pending(&f.t));
    EXPECT_EQ(0, del_timer_sync(&f.t));
    EXPECT_EQ(0, mod_timer(&f.t, 1));  // a fired timer can be armed again
    ASSERT_TRUE(wait_until([&] { return f.count.load() == 2; }));

    in_job([&] {  // in loop context del only disarms
        mod_timer(&f.t, 1000);
        EXPECT_EQ(1, del_timer_sync(&f.t));
    });
}

TEST_F(TimerTest, NoTimerFiresAfterTerminate) {
    Fired armed_before, armed_after;
    init_timer(&p, &armed_before.t, Fired::fn, &armed_before);
    init_timer(&p, &armed_after.t, Fired::fn, &armed_after);
    mod_timer(&armed_before.t, 30);
    kiv_process_terminate(&p);
    EXPECT_EQ(0, mod_timer(&armed_after.t, 0));  // ignored
    EXPECT_EQ(0, timer_pending(&armed_after.t));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(0, armed_before.count.load());
    EXPECT_EQ(0, armed_after.count.load());
    EXPECT_EQ(1, del_timer_sync(&armed_before.t));
}

}  // namespace

// The worker fixture: the start latch, operation counts, failure collection,
// workers that throw and threads that cannot be started.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "utils/mthreaded_test_base.h"
#include "utils/tarn_api_helpers.h"

namespace {

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

class MThreadedTest : public ::testing::Test, public MultiThreadedTestBase {
protected:
    void TearDown() override { MultiThreadedTestBase::TearDown(); }

    // Thread creation as the fixture makes it, unless a test asks the
    // threads from `fail_from` on to fail; a pause after each start gives a
    // broken latch the time to show.
    std::thread spawn_worker_thread(std::function<void()> body) override {
        int i = spawned_.load();
        if (fail_from_ >= 0 && i >= fail_from_)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "cannot create thread");
        spawned_.fetch_add(1);
        std::thread t(std::move(body));
        if (pause_after_spawn_) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return t;
    }

    std::atomic<int> spawned_{0};
    int fail_from_ = -1;
    bool pause_after_spawn_ = false;
};

struct CapturedFailures {
    testing::TestPartResultArray results;
    testing::ScopedFakeTestPartResultReporter reporter{
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results};
};

TEST_F(MThreadedTest, NoWorkerCallsItsFunctionBeforeAllHaveStarted) {
    const int n = 8;
    pause_after_spawn_ = true;
    std::atomic<int> early{0};
    start_workers(n, [&](WorkerContext&) {
        if (spawned_.load() != n) early.fetch_add(1);
        return testing::AssertionSuccess();
    });
    wait_for_workers_to_stop();
    EXPECT_EQ(0, early.load());
    EXPECT_TRUE(verify_no_worker_failures());
}

TEST_F(MThreadedTest, ContextsCarryDistinctIndexes) {
    const int n = 16;
    std::vector<std::atomic<int>> seen(n);
    start_workers(n, [&](WorkerContext& ctx) {
        EXPECT_EQ(this, ctx.owner);
        seen.at(static_cast<size_t>(ctx.index)).fetch_add(1);
        return testing::AssertionSuccess();
    });
    wait_for_workers_to_stop();
    for (int i = 0; i < n; ++i) EXPECT_EQ(1, seen[static_cast<size_t>(i)].load()) << i;
}

TEST_F(MThreadedTest, WaitsForMinimumOperationsThenStops) {
    const int n = 6;
    std::vector<std::atomic<int>> done(n);
    start_workers(n, [&](WorkerContext& ctx) {
        while (!ctx.should_stop()) {
            done[static_cast<size_t>(ctx.index)].fetch_add(1);
            ctx.count_operation(1);
            std::this_thread::yield();
        }
        return testing::AssertionSuccess();
    });
    wait_for_min_ops_per_worker(200);
    for (int i = 0; i < n; ++i) EXPECT_GE(done[static_cast<size_t>(i)].load(), 200) << i;
    raise_worker_stop_flag();
    wait_for_workers_to_stop();
    ASSERT_TRUE(verify_no_worker_failures());
}

TEST_F(MThreadedTest, FinishedWorkerSatisfiesAnyMinimum) {
    start_workers(4, [](WorkerContext& ctx) {
        if (ctx.index == 1) return testing::AssertionFailure() << "early failure";
        return testing::AssertionSuccess();
    });
    wait_for_min_ops_per_worker(1000000000);
    wait_for_min_ops_per_worker(0);
    wait_for_workers_to_stop();
    EXPECT_STREQ("1 failure(s) reported:\n  early failure (thread 1)", verify_no_worker_failures().message());
    clear_worker_failures();
}

TEST_F(MThreadedTest, ThreeFailuresOutOfTen) {
    start_workers(10, [](WorkerContext& ctx) {
        if (ctx.index % 3 == 1) return testing::AssertionFailure() << "worker " << ctx.index << " failed";
        return testing::AssertionSuccess();
    });
    wait_for_workers_to_stop();
    testing::AssertionResult r = verify_no_worker_failures();
    ASSERT_FALSE(r);
    std::string msg = r.message();
    EXPECT_EQ(0u, msg.rfind("3 failure(s) reported:", 0)) << msg;
    EXPECT_TRUE(contains(msg, "\n  worker 1 failed (thread 1)")) << msg;
    EXPECT_TRUE(contains(msg, "\n  worker 4 failed (thread 4)")) << msg;
    EXPECT_TRUE(contains(msg, "\n  worker 7 failed (thread 7)")) << msg;
    EXPECT_EQ(3, std::count(msg.begin(), msg.end(), '\n'));
    clear_worker_failures();
    EXPECT_TRUE(verify_no_worker_failures());
}

TEST_F(MThreadedTest, AddFailureFromInsideTheWorker) {
    start_workers(2, [](WorkerContext& ctx) {
        if (ctx.index == 0) ctx.add_failure(testing::AssertionFailure() << "noted");
        return testing::AssertionSuccess();
    });
    wait_for_workers_to_stop();
    EXPECT_STREQ("1 failure(s) reported:\n  noted (thread 0)", verify_no_worker_failures().message());
    clear_worker_failures();
}

TEST_F(MThreadedTest, ThrowingWorkerIsRecordedAndStopsTheOthers) {
    const int n = 5;
    std::atomic<int> stopped{0};
    start_workers(n, [&](WorkerContext& ctx) {
        if (ctx.index == 2) throw std::runtime_error("boom");
        while (!ctx.should_stop()) {
            ctx.count_operation(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        stopped.fetch_add(1);
        return testing::AssertionSuccess();
    });
    // No stop flag from the test: the thrown exception raises it.
    wait_for_workers_to_stop();
    EXPECT_EQ(n - 1, stopped.load());
    EXPECT_STREQ("1 failure(s) reported:\n  Worker function threw an exception: boom (thread 2)",
                 verify_no_worker_failures().message());
    clear_worker_failures();
}

TEST_F(MThreadedTest, EmptyFunctionAndRestartAreRecorded) {
    start_workers(1, WorkerFn());
    wait_for_workers_to_stop();
    EXPECT_STREQ("1 failure(s) reported:\n  Worker function threw an exception: bad_function_call (thread 0)",
                 verify_no_worker_failures().message());
    clear_worker_failures();

    start_workers(1, [](WorkerContext&) -> testing::AssertionResult {
        throw tarn_testing::detail::RestartException();
    });
    wait_for_workers_to_stop();
    EXPECT_TRUE(contains(verify_no_worker_failures().message(), "RestartException (thread 0)"));
    clear_worker_failures();
}

TEST_F(MThreadedTest, ThreadThatCannotStartFailsWithoutHanging) {
    const int n = 8;
    fail_from_ = 3;
    std::atomic<int> ran{0};
    CapturedFailures captured;
    start_workers(n, [&](WorkerContext& ctx) {
        ran.fetch_add(1);
        while (!ctx.should_stop()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return testing::AssertionSuccess();
    });
    // The missing workers count as done and the started ones were stopped:
    // neither call waits for ever.
    wait_for_min_ops_per_worker(10);
    wait_for_workers_to_stop();
    EXPECT_EQ(3, ran.load());

    ASSERT_EQ(1, captured.results.size());
    std::string reported = captured.results.GetTestPartResult(0).message();
    EXPECT_TRUE(contains(reported, "Failed to start worker thread: cannot create thread")) << reported;
    EXPECT_TRUE(contains(reported, "5 of 8 workers not started (thread 3)")) << reported;

    testing::AssertionResult r = verify_no_worker_failures();
    EXPECT_TRUE(contains(r.message(), "1 failure(s) reported:\n  Failed to start worker thread")) << r.message();
    clear_worker_failures();
}

TEST_F(MThreadedTest, FirstThreadThatCannotStart) {
    fail_from_ = 0;
    CapturedFailures captured;
    start_workers(4, [](WorkerContext&) { return testing::AssertionSuccess(); });
    wait_for_min_ops_per_worker(1);
    EXPECT_EQ(1, captured.results.size());
    EXPECT_FALSE(verify_no_worker_failures());
    clear_worker_failures();
}

TEST_F(MThreadedTest, ZeroWorkers) {
    testing::internal::CaptureStdout();
    start_workers(0, [](WorkerContext&) { return testing::AssertionFailure(); });
    wait_for_min_ops_per_worker(5);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(
        "Starting 0 worker threads...\n"
        "Waiting for each worker to perform at least 5 operations...\n",
        out);
    EXPECT_TRUE(verify_no_worker_failures());
}

TEST_F(MThreadedTest, RunsAgainWithFreshCountersAndKeptFailures) {
    auto fn = [](WorkerContext& ctx) {
        ctx.count_operation(3);
        while (!ctx.should_stop()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return testing::AssertionFailure() << "run";
    };
    start_workers(2, fn);
    wait_for_min_ops_per_worker(3);
    raise_worker_stop_flag();
    wait_for_workers_to_stop();

    // The stop flag of the first run must not end the second at once.
    std::atomic<int> saw_stop_at_start{0};
    start_workers(2, [&](WorkerContext& ctx) {
        if (ctx.should_stop()) saw_stop_at_start.fetch_add(1);
        return fn(ctx);
    });
    wait_for_min_ops_per_worker(3);
    raise_worker_stop_flag();
    wait_for_workers_to_stop();
    EXPECT_EQ(0, saw_stop_at_start.load());
    EXPECT_TRUE(contains(verify_no_worker_failures().message(), "4 failure(s) reported:"));
    clear_worker_failures();
}

// Left running by the test body: the fixture's tear-down stops them and
// checks their failures.
class MThreadedTearDownTest : public MThreadedTest {
protected:
    void TearDown() override {
        CapturedFailures captured;
        MultiThreadedTestBase::TearDown();
        ASSERT_EQ(1, captured.results.size());
        EXPECT_TRUE(contains(captured.results.GetTestPartResult(0).message(), "verify_no_worker_failures()"));
        EXPECT_TRUE(contains(captured.results.GetTestPartResult(0).message(), "late (thread 0)"));
    }
};

TEST_F(MThreadedTearDownTest, StopsAndChecksWorkersStillRunning) {
    start_workers(3, [](WorkerContext& ctx) {
        while (!ctx.should_stop()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (ctx.index == 0) return testing::AssertionFailure() << "late";
        return testing::AssertionSuccess();
    });
}

using MThreadedDeathTest = MThreadedTest;

TEST_F(MThreadedDeathTest, StartingTwiceAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            start_workers(1, [](WorkerContext& ctx) {
                while (!ctx.should_stop()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return testing::AssertionSuccess();
            });
            start_workers(1, [](WorkerContext&) { return testing::AssertionSuccess(); });
        },
        "Workers are already running");
}

TEST_F(MThreadedDeathTest, DestroyingWithWorkersListedAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Bare : MultiThreadedTestBase {};
    EXPECT_DEATH(
        {
            auto* m = new Bare();
            m->start_workers(1, [](WorkerContext&) { return testing::AssertionSuccess(); });
            delete m;
        },
        "BUG: Workers are still running in MultiThreadedTestBase destructor, forgot to call TearDown\\(\\)\\?");
}

}  // namespace

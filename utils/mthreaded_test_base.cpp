#include "utils/mthreaded_test_base.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <iostream>
#include <latch>
#include <mutex>
#include <vector>

#include "utils/tarn_api_helpers.h"

namespace {

// Operation counters and what waiting on them needs. Every update takes the
// mutex around the change and its notification, so a waiter cannot miss a
// wake-up between its check and its wait.
struct OpsState {
    explicit OpsState(int n) : ops(static_cast<size_t>(n)) {}

    std::vector<std::atomic<int32_t>> ops;
    std::mutex mutex;
    std::condition_variable cv;
};

// A finished (or never started) worker satisfies any minimum.
constexpr int32_t k_done = INT32_MAX;

}  // namespace

struct MultiThreadedTestBase::Impl {
    std::vector<std::thread> threads;
    std::unique_ptr<std::latch> start_latch;
    std::unique_ptr<OpsState> ops_state;
    std::atomic<bool> stop{false};
    mutable std::mutex failures_mutex;
    std::vector<testing::AssertionResult> failures;
};

// ---------------------------------------------------------------- worker context

bool MultiThreadedTestBase::WorkerContext::should_stop() const { return owner->impl_->stop.load(); }

void MultiThreadedTestBase::WorkerContext::count_operation(int n) {
    OpsState& s = *owner->impl_->ops_state;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.ops.at(static_cast<size_t>(index)).fetch_add(n);
    }
    s.cv.notify_all();
}

void MultiThreadedTestBase::WorkerContext::add_failure(testing::AssertionResult result) {
    result << " (thread " << index << ")";
    std::lock_guard<std::mutex> lock(owner->impl_->failures_mutex);
    owner->impl_->failures.push_back(result);
}

// ---------------------------------------------------------------- fixture

MultiThreadedTestBase::MultiThreadedTestBase() : impl_(new Impl()) {}

MultiThreadedTestBase::~MultiThreadedTestBase() {
    if (!impl_->threads.empty()) {
        fputs("BUG: Workers are still running in MultiThreadedTestBase destructor, forgot to call TearDown()?\n",
              stderr);
        fflush(stderr);
        abort();
    }
}

std::thread MultiThreadedTestBase::spawn_worker_thread(std::function<void()> body) {
    return std::thread(std::move(body));
}

void MultiThreadedTestBase::run_worker(int index, const WorkerFn& fn) {
    impl_->start_latch->arrive_and_wait();

    WorkerContext ctx{index, this};
    try {
        testing::AssertionResult result = fn(ctx);
        if (!result) ctx.add_failure(result);
    } catch (const tarn_testing::detail::RestartException&) {
        // Restarting needs the test body; a worker cannot do it.
        ctx.add_failure(testing::AssertionFailure()
                        << "Worker function threw tarn_testing::detail::RestartException");
        impl_->stop = true;
    } catch (const std::exception& e) {
        ctx.add_failure(testing::AssertionFailure() << "Worker function threw an exception: " << e.what());
        impl_->stop = true;
    } catch (...) {
        ctx.add_failure(testing::AssertionFailure() << "Worker function threw an unknown exception");
        impl_->stop = true;
    }

    OpsState& s = *impl_->ops_state;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.ops[static_cast<size_t>(index)].store(k_done);
    }
    s.cv.notify_all();
}

void MultiThreadedTestBase::start_workers(int n, WorkerFn fn) {
    // Checked in every build type: starting over would orphan running
    // threads that point into this fixture.
    if (!impl_->threads.empty()) {
        fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, __FILE__,
                static_cast<unsigned>(__LINE__), __PRETTY_FUNCTION__,
                "impl_->threads.empty() && \"Workers are already running\"");
        fflush(stderr);
        abort();
    }

    impl_->ops_state = std::make_unique<OpsState>(n);
    impl_->stop = false;
    impl_->start_latch = std::make_unique<std::latch>(n);
    // Reserved up front: appending a started thread must not throw, or the
    // thread object would be destroyed while joinable.
    impl_->threads.reserve(static_cast<size_t>(n));

    std::cout << "Starting " << n << " worker threads..." << std::endl;

    for (int i = 0; i < n; ++i) {
        try {
            impl_->threads.push_back(spawn_worker_thread([this, i, fn] { run_worker(i, fn); }));
        } catch (const std::exception& e) {
            // The workers already started wait on the latch for the ones that
            // never will; release them, mark the missing ones done so no
            // minimum waits for them, and stop the run.
            const int missing = n - i;
            impl_->start_latch->count_down(missing);
            OpsState& s = *impl_->ops_state;
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                for (int j = i; j < n; ++j) s.ops[static_cast<size_t>(j)].store(k_done);
            }
            s.cv.notify_all();
            impl_->stop = true;

            WorkerContext ctx{i, this};
            testing::AssertionResult failure = testing::AssertionFailure()
                                               << "Failed to start worker thread: " << e.what() << "; " << missing
                                               << " of " << n << " workers not started";
            ctx.add_failure(failure);
            ADD_FAILURE() << failure.message() << " (thread " << i << ")";
            break;
        }
    }
}

void MultiThreadedTestBase::wait_for_min_ops_per_worker(int n) {
    std::cout << "Waiting for each worker to perform at least " << n << " operations..." << std::endl;
    if (!impl_->ops_state) return;
    OpsState& s = *impl_->ops_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    for (std::atomic<int32_t>& counter : s.ops) {
        s.cv.wait(lock, [&] { return counter.load() >= n; });
    }
}

void MultiThreadedTestBase::raise_worker_stop_flag() { impl_->stop = true; }

void MultiThreadedTestBase::wait_for_workers_to_stop() {
    std::cout << "Waiting for worker threads to stop..." << std::endl;
    for (std::thread& t : impl_->threads) {
        if (t.joinable()) t.join();
    }
    impl_->threads.clear();
}

void MultiThreadedTestBase::clear_worker_failures() {
    std::lock_guard<std::mutex> lock(impl_->failures_mutex);
    impl_->failures.clear();
}

testing::AssertionResult MultiThreadedTestBase::verify_no_worker_failures() const {
    std::lock_guard<std::mutex> lock(impl_->failures_mutex);
    if (impl_->failures.empty()) return testing::AssertionSuccess();
    testing::AssertionResult r = testing::AssertionFailure();
    r << impl_->failures.size() << " failure(s) reported:";
    for (const testing::AssertionResult& f : impl_->failures) r << "\n  " << f.message();
    return r;
}

void MultiThreadedTestBase::TearDown() {
    if (impl_->threads.empty()) return;
    impl_->stop = true;
    wait_for_workers_to_stop();
    EXPECT_TRUE(verify_no_worker_failures());
}

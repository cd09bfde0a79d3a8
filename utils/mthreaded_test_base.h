// Worker fixture: a mix-in beside TARNTestBase that runs one function on N
// threads released together, counts each worker's operations, and collects
// the workers' failures into one assertion result.
//
// Usual sequence: start_workers(n, fn); wait_for_min_ops_per_worker(k); the
// test's action; raise_worker_stop_flag(); wait_for_workers_to_stop();
// ASSERT_TRUE(verify_no_worker_failures()). A fixture's TearDown calls
// MultiThreadedTestBase::TearDown() first, which stops and checks workers a
// test left running.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

class MultiThreadedTestBase {
public:
    // What a worker knows of its run; made in the worker's own thread.
    class WorkerContext {
    public:
        int index;                     // 0 .. n-1
        MultiThreadedTestBase* owner;

        // True once the test raised the stop flag (or a worker broke down).
        bool should_stop() const;
        // Adds `n` to this worker's operation count and wakes the waiters.
        void count_operation(int n = 1);
        // Records a failure of this worker, tagged " (thread <index>)".
        void add_failure(testing::AssertionResult result);
    };

    using WorkerFn = std::function<testing::AssertionResult(WorkerContext&)>;

    MultiThreadedTestBase();
    // Aborts the process when workers are still listed: their threads would
    // outlive the fixture they point into.
    virtual ~MultiThreadedTestBase();

    MultiThreadedTestBase(const MultiThreadedTestBase&) = delete;
    MultiThreadedTestBase& operator=(const MultiThreadedTestBase&) = delete;

    // Starts `n` workers running `fn`; none calls `fn` before all have
    // started. A failed result, or an exception escaping `fn`, is recorded as
    // that worker's failure (an exception also raises the stop flag). A
    // thread that cannot be started fails the test, releases the workers
    // already started and raises the stop flag. Workers still listed from an
    // earlier start end the process.
    void start_workers(int n, WorkerFn fn);
    // Blocks until every worker has counted at least `n` operations; a worker
    // that has returned counts as done.
    void wait_for_min_ops_per_worker(int n);
    void raise_worker_stop_flag();
    // Joins every worker (without raising the stop flag) and forgets them.
    void wait_for_workers_to_stop();
    void clear_worker_failures();
    // Success, or "<count> failure(s) reported:" and one indented line per
    // failure.
    testing::AssertionResult verify_no_worker_failures() const;
    // When workers are still listed: raises the stop flag, joins them and
    // expects no failures. Does nothing otherwise.
    void TearDown();

protected:
    // Starts one worker's thread. Throws (as std::thread does) when the
    // thread cannot be made; the harness's unit tests override it to make
    // that happen.
    virtual std::thread spawn_worker_thread(std::function<void()> body);

private:
    struct Impl;
    void run_worker(int index, const WorkerFn& fn);

    std::unique_ptr<Impl> impl_;
};

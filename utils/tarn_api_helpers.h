// How tests call the Tarn client: buffers for handles, the Delay retry, the
// acceptance rules for repeated removals and renames, restartable test
// bodies, and the conversion of client errors into assertion results.
//
// The loops here take the client call as a callable and their timing as a
// tarn_testing::DelayRetry, so that they run unchanged against a live cluster
// and against a function object in the harness's own unit tests.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "client/tarn_client.h"

// ---------------------------------------------------------------- buffers

// An owned byte buffer that doubles as a client output buffer: `desc` points
// at `bytes`, its capacity is the buffer's size and its length is what the
// last call (or the test) stored. Copies own their bytes.
class TARNBuffer {
public:
    std::vector<uint8_t> bytes;
    tarn_opaque_buf desc;

    // `size` zero bytes, length 0. A size no vector can hold throws
    // std::length_error.
    explicit TARNBuffer(size_t size);
    TARNBuffer(const TARNBuffer& other);
    TARNBuffer(TARNBuffer&& other) noexcept;
    TARNBuffer& operator=(const TARNBuffer& other);
    TARNBuffer& operator=(TARNBuffer&& other) noexcept;
    ~TARNBuffer() = default;

    // The length the last call stored (may exceed the capacity when a call
    // only reported the size it needed).
    uint64_t Size() const { return desc.size; }
    uint64_t Capacity() const { return desc.capacity; }
    uint8_t* Data() { return bytes.data(); }
    const uint8_t* Data() const { return bytes.data(); }

    // The descriptor to hand to one attempt of a call, its length reset to 0.
    tarn_opaque_buf* Out() {
        desc.size = 0;
        return &desc;
    }
    // The bytes held, as an opaque input: (Data(), Length()).
    uint64_t Length() const { return desc.size < bytes.size() ? desc.size : bytes.size(); }
    tarn_opaque AsOpaque() const { return tarn_opaque{bytes.data(), Length()}; }

    // Replaces the content by `len` bytes of `data`, growing the buffer when
    // they do not fit.
    void Assign(const void* data, uint64_t len);

    // The held bytes as NUL-terminated text. The text lives in a copy owned
    // by the buffer, so a full buffer is never written past its end; the
    // pointer stays valid until the next call or the buffer's destruction.
    const char* AsCString();

private:
    std::string text_;
};

// One opaque object handle: a 48-byte TARNBuffer. Two handles are equal when
// their lengths and their bytes are.
class TARNObjectHandle : public TARNBuffer {
public:
    static constexpr size_t k_capacity = 48;

    TARNObjectHandle() : TARNBuffer(k_capacity) {}
    // A handle holding a copy of (data, len); grows beyond 48 bytes if asked.
    TARNObjectHandle(const void* data, uint64_t len) : TARNBuffer(k_capacity) { Assign(data, len); }

    bool empty() const { return Length() == 0; }
};

bool operator==(const TARNBuffer& a, const TARNBuffer& b);
inline bool operator!=(const TARNBuffer& a, const TARNBuffer& b) { return !(a == b); }
// Hex dump, so that assertion failures show the handles compared.
void PrintTo(const TARNBuffer& b, std::ostream* os);

// ---------------------------------------------------------------- results

// The answer of a call made through the Delay retry and whether the call had
// to be made again after "Delay, try again later".
struct RetriedErr {
    tarn_err err;
    bool retried;
};

// Success for TARN_ERR_OK; otherwise a failure "<what>: <message of err>"
// ("(null)" for a null `what`).
inline testing::AssertionResult err2result(tarn_err err, const char* what) {
    if (err == TARN_ERR_OK) return testing::AssertionSuccess();
    return testing::AssertionFailure() << (what ? what : "(null)") << ": " << tarn_get_err_msg(err);
}

// A removal that had to be repeated may find its object already gone: the
// earlier attempt did the work before its answer was lost.
inline testing::AssertionResult is_tarn_remove_ok(RetriedErr r) {
    if (r.retried && r.err == TARN_ERR_NOT_FOUND) return testing::AssertionSuccess();
    return err2result(r.err, "tarn_client_remove");
}

// The same rule for renames.
inline testing::AssertionResult is_tarn_rename_ok(RetriedErr r) {
    if (r.retried && r.err == TARN_ERR_NOT_FOUND) return testing::AssertionSuccess();
    return err2result(r.err, "tarn_client_rename");
}

namespace gtest_utils {

// Both results in one: when both failed, a's message, a line end and b's.
testing::AssertionResult merge(testing::AssertionResult a, testing::AssertionResult b);

}  // namespace gtest_utils

// ---------------------------------------------------------------- Delay retry

namespace tarn_testing {

using Clock = std::chrono::steady_clock;

// Where the harness's loops read the time and how they wait. Empty members
// mean the steady clock and a real sleep (resumed after signals); unit tests
// of the harness put a simulated clock here.
struct TimeSource {
    std::function<Clock::time_point()> now;
    std::function<void(std::chrono::nanoseconds)> sleep;

    Clock::time_point read() const { return now ? now() : Clock::now(); }
    void pause(std::chrono::nanoseconds d) const;
};

// Sleeps for `d`, resuming after a signal for the time that is left.
void sleep_resuming(std::chrono::nanoseconds d);

// How a call answering TARN_ERR_DELAY is repeated: every `interval`, until
// `limit` has passed since the first attempt.
struct DelayRetry {
    std::chrono::nanoseconds interval = std::chrono::milliseconds(100);
    std::chrono::nanoseconds limit = std::chrono::seconds(900);
    TimeSource time;
};

// 100 ms steps for at most 900 s on the real clock.
const DelayRetry& default_delay_retry();

}  // namespace tarn_testing

// Makes `call` (returning a tarn_err) until it answers something other than
// TARN_ERR_DELAY, or until the policy's limit has passed since the first
// attempt; the last answer counts. A call that fills an output handle must
// reset its length before each attempt (TARNBuffer::Out()).
template <class Call>
RetriedErr retry_on_delay_ex(Call&& call, const tarn_testing::DelayRetry& policy = tarn_testing::default_delay_retry()) {
    const tarn_testing::Clock::time_point start = policy.time.read();
    RetriedErr r{TARN_ERR_OK, false};
    for (;;) {
        r.err = call();
        if (r.err != TARN_ERR_DELAY) return r;
        if (policy.time.read() - start >= policy.limit) return r;
        policy.time.pause(policy.interval);
        r.retried = true;
    }
}

template <class Call>
tarn_err retry_on_delay(Call&& call, const tarn_testing::DelayRetry& policy = tarn_testing::default_delay_retry()) {
    return retry_on_delay_ex(std::forward<Call>(call), policy).err;
}

// ---------------------------------------------------------------- restartable bodies

namespace tarn_testing {
namespace detail {

// Thrown inside a restartable body when a call that may be made only once
// answers "Delay, try again later": its outcome is unknown, so the body
// starts over with fresh names.
class RestartException {};

}  // namespace detail

// How many times a restartable body runs at most.
constexpr int k_max_body_runs = 10;

// For the calls of a restartable body that are made exactly once: Delay
// restarts the body, any other answer is returned.
inline tarn_err restart_on_delay(tarn_err err) {
    if (err == TARN_ERR_DELAY) throw detail::RestartException();
    return err;
}

// True when the running test has failed or was skipped.
bool current_test_failed_or_skipped();

}  // namespace tarn_testing

// Runs `body` as a restartable test body: a run that throws
// RestartException starts over, at most k_max_body_runs runs in all, after
// which the test fails fatally with "Too many restarts (10)". A first run
// that ends without failure or skip (as `ended` tells) is run a second time,
// so that every body is also checked against the state it left behind.
void run_restartable(const std::function<void()>& body,
                     const std::function<bool()>& ended = tarn_testing::current_test_failed_or_skipped);

// ---------------------------------------------------------------- bulk operations

namespace tarn_testing {

// A listed directory entry, copied out of the listing callback.
struct DirEntry {
    std::string name;
    TARNBuffer handle;  // as many bytes as the opaque; length = capacity
    tarn_attr attrs;
};

// Receives one listed entry; true goes on.
using DirEntrySink =
    std::function<bool(const char* name, const void* opaque, uint64_t opaque_len, const tarn_attr* attrs, uint64_t cookie)>;

// The two calls a recursive removal makes.
struct TreeOps {
    // One batch of `dir` after `cookie`, each entry handed to `sink`.
    std::function<tarn_err(const TARNBuffer& dir, uint64_t cookie, const DirEntrySink& sink, bool* eof)> read_dir;
    std::function<tarn_err(const TARNBuffer& dir, const std::string& name)> remove;
};

// Removes everything below `dir`, depth first, leaving `dir`. Each level is
// listed completely before anything in it is removed. Failures: "read_dir: "
// or "tarn_client_remove: " and the error's message; the first one ends the
// whole removal.
testing::AssertionResult remove_tree_contents(const TARNBuffer& dir, const TreeOps& ops, const DelayRetry& retry);

// One write of `count` bytes at `offset`; *written receives what was written.
using WriteFn = std::function<tarn_err(uint64_t offset, const void* data, uint32_t count, uint32_t* written)>;

// The bytes that all the filling runs of one test (runs without a length)
// may store together. A server that never answers "Not enough space" would
// otherwise take writes until memory runs out; the limit is what the test
// accepts, so a run that passes it has shown the test's own bound broken.
struct WriteBudget {
    uint64_t limit = UINT64_MAX;
    std::atomic<uint64_t> used{0};
};

// Writes `length` bytes from `offset` in chunks of `chunk_size` random
// letters (one buffer, generated once). UINT64_MAX with `stop_on_no_space`
// writes until the file system is full. *bytes_written (when given) gets the
// total on success only. A run without a length charges what it stores to
// `budget` (when given) and fails as soon as the budget's total passes its
// limit; concurrent runs on one budget therefore store at most the limit
// plus one chunk each. A write reported larger than asked fails.
testing::AssertionResult write_random_chunks(const WriteFn& write, uint64_t offset, uint64_t length, uint64_t chunk_size,
                                             bool stop_on_no_space, uint64_t* bytes_written, const DelayRetry& retry,
                                             WriteBudget* budget = nullptr);

using FsInfoFn = std::function<tarn_err(tarn_fs_info* out)>;

// Polls once a second until free space, available space, free files and
// available files have kept their values for 10 s; *out (when given) gets
// the last reading.
testing::AssertionResult wait_until_fs_info_stable(const FsInfoFn& get_info, tarn_fs_info* out,
                                                   std::chrono::duration<double> timeout, const DelayRetry& retry);

}  // namespace tarn_testing

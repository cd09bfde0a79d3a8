// The client-call conventions of the harness: handle buffers, error texts,
// the Delay retry on a simulated clock, restartable bodies and random names.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_time.h"
#include "utils/tarn_api_helpers.h"
#include "utils/tarn_test_base.h"

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

namespace {

using harnesstest::FakeTime;

// Captures the failures reported on this thread while it lives.
struct CapturedFailures {
    testing::TestPartResultArray results;
    testing::ScopedFakeTestPartResultReporter reporter{
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results};
};

// ---------------------------------------------------------------- buffers

TEST(TARNBufferTest, AsCStringOfFullBufferStaysInside) {
    TARNBuffer buf(8);
    memcpy(buf.Data(), "ABCDEFGH", 8);
    buf.desc.size = 8;
    // Under AddressSanitizer a terminator written at bytes[8] is reported.
    EXPECT_STREQ("ABCDEFGH", buf.AsCString());
    EXPECT_EQ(8u, buf.bytes.size());
    EXPECT_EQ(0, memcmp(buf.Data(), "ABCDEFGH", 8));
}

TEST(TARNBufferTest, AsCStringWithLengthBeyondCapacityIsCut) {
    // A call that only reports the size it needs leaves a length beyond the
    // buffer.
    TARNBuffer buf(4);
    memcpy(buf.Data(), "wxyz", 4);
    buf.desc.size = 100;
    EXPECT_STREQ("wxyz", buf.AsCString());
    EXPECT_EQ(4u, buf.AsOpaque().length);
}

TEST(TARNBufferTest, AsCStringOfPartBuffer) {
    TARNBuffer buf(16);
    memcpy(buf.Data(), "abc", 3);
    buf.desc.size = 3;
    EXPECT_STREQ("abc", buf.AsCString());
    buf.desc.size = 0;
    EXPECT_STREQ("", buf.AsCString());
}

TEST(TARNBufferTest, ImpossibleSizeThrowsLengthError) { EXPECT_THROW(TARNBuffer buf(SIZE_MAX), std::length_error); }

TEST(TARNBufferTest, CopiesOwnTheirBytes) {
    TARNObjectHandle a;
    memcpy(a.Data(), "\x01\x02\x03\x04", 4);
    a.desc.size = 4;

    TARNObjectHandle b(a);
    EXPECT_NE(a.Data(), b.Data());
    EXPECT_EQ(static_cast<void*>(b.Data()), b.desc.data);
    EXPECT_EQ(4u, b.Size());
    EXPECT_EQ(48u, b.Capacity());
    EXPECT_EQ(a, b);

    a.Data()[0] = 9;
    EXPECT_NE(a, b);
    EXPECT_EQ(1, b.Data()[0]);

    TARNObjectHandle c;
    c = b;
    EXPECT_EQ(static_cast<void*>(c.Data()), c.desc.data);
    EXPECT_EQ(b, c);

    TARNObjectHandle moved(std::move(c));
    EXPECT_EQ(static_cast<void*>(moved.Data()), moved.desc.data);
    EXPECT_EQ(b, moved);
}

TEST(TARNBufferTest, EqualityComparesLengthAndUsedBytesOnly) {
    TARNObjectHandle a, b;
    memcpy(a.Data(), "xyz", 3);
    memcpy(b.Data(), "xyz", 3);
    a.desc.size = b.desc.size = 3;
    b.Data()[10] = 7;  // beyond the length
    EXPECT_EQ(a, b);
    b.desc.size = 2;
    EXPECT_NE(a, b);
    EXPECT_EQ(TARNObjectHandle(), TARNObjectHandle());
}

// ---------------------------------------------------------------- error texts

TEST(ErrResultTest, Texts) {
    EXPECT_TRUE(err2result(TARN_ERR_OK, "anything"));
    EXPECT_TRUE(err2result(TARN_ERR_OK, nullptr));

    testing::AssertionResult r = err2result(TARN_ERR_NOT_FOUND, "tarn_client_lookup");
    EXPECT_FALSE(r);
    EXPECT_STREQ("tarn_client_lookup: File not found", r.message());

    EXPECT_STREQ("what: Unknown error code", err2result(99, "what").message());
    EXPECT_STREQ("(null): Directory not empty", err2result(TARN_ERR_NOT_EMPTY, nullptr).message());
    EXPECT_STREQ("tarn_client_create_dir: The file already exists",
                 err2result(TARN_ERR_EXIST, "tarn_client_create_dir").message());
}

TEST(ErrResultTest, RemoveAndRenameAcceptNotFoundOnlyWhenRepeated) {
    EXPECT_TRUE(is_tarn_remove_ok({TARN_ERR_OK, false}));
    EXPECT_TRUE(is_tarn_remove_ok({TARN_ERR_OK, true}));
    EXPECT_TRUE(is_tarn_remove_ok({TARN_ERR_NOT_FOUND, true}));

    testing::AssertionResult r = is_tarn_remove_ok({TARN_ERR_NOT_FOUND, false});
    EXPECT_FALSE(r);
    EXPECT_STREQ("tarn_client_remove: File not found", r.message());
    EXPECT_STREQ("tarn_client_remove: Delay, try again later", is_tarn_remove_ok({TARN_ERR_DELAY, true}).message());
    EXPECT_STREQ("tarn_client_remove: Directory not empty", is_tarn_remove_ok({TARN_ERR_NOT_EMPTY, true}).message());

    EXPECT_TRUE(is_tarn_rename_ok({TARN_ERR_NOT_FOUND, true}));
    EXPECT_STREQ("tarn_client_rename: File not found", is_tarn_rename_ok({TARN_ERR_NOT_FOUND, false}).message());
}

TEST(ErrResultTest, Merge) {
    EXPECT_TRUE(gtest_utils::merge(testing::AssertionSuccess(), testing::AssertionSuccess()));

    testing::AssertionResult only_b =
        gtest_utils::merge(testing::AssertionSuccess(), testing::AssertionFailure() << "second");
    EXPECT_FALSE(only_b);
    EXPECT_STREQ("second", only_b.message());

    testing::AssertionResult only_a =
        gtest_utils::merge(testing::AssertionFailure() << "first", testing::AssertionSuccess());
    EXPECT_STREQ("first", only_a.message());

    testing::AssertionResult both =
        gtest_utils::merge(testing::AssertionFailure() << "first", testing::AssertionFailure() << "second");
    EXPECT_FALSE(both);
    EXPECT_STREQ("first\nsecond", both.message());

    EXPECT_STREQ("\nsecond", gtest_utils::merge(testing::AssertionFailure(), testing::AssertionFailure() << "second")
                                 .message());
}

// ---------------------------------------------------------------- Delay retry

TEST(DelayRetryTest, FirstAnswerOtherThanDelayCountsAtOnce) {
    FakeTime ft;
    int calls = 0;
    RetriedErr r = retry_on_delay_ex(
        [&] {
            ++calls;
            return TARN_ERR_NOT_FOUND;
        },
        ft.policy());
    EXPECT_EQ(1, calls);
    EXPECT_EQ(TARN_ERR_NOT_FOUND, r.err);
    EXPECT_FALSE(r.retried);
    EXPECT_TRUE(ft.sleeps.empty());
}

TEST(DelayRetryTest, RepeatsEveryIntervalUntilAnswerChanges) {
    FakeTime ft;
    int calls = 0;
    RetriedErr r = retry_on_delay_ex(
        [&] {
            ++calls;
            return calls < 4 ? TARN_ERR_DELAY : TARN_ERR_OK;
        },
        ft.policy());
    EXPECT_EQ(4, calls);
    EXPECT_EQ(TARN_ERR_OK, r.err);
    EXPECT_TRUE(r.retried);
    EXPECT_EQ(std::vector<nanoseconds>(3, milliseconds(100)), ft.sleeps);
}

TEST(DelayRetryTest, GivesUpAfterNineHundredSecondsWithDelay) {
    FakeTime ft;
    int calls = 0;
    RetriedErr r = retry_on_delay_ex(
        [&] {
            ++calls;
            return TARN_ERR_DELAY;
        },
        ft.policy());
    // Attempts at 0, 0.1 s, ..., 900 s: the attempt at exactly 900 s is the
    // first one after which more than 899.999999999 s have passed.
    EXPECT_EQ(9001, calls);
    EXPECT_EQ(9000u, ft.sleeps.size());
    EXPECT_EQ(TARN_ERR_DELAY, r.err);
    EXPECT_TRUE(r.retried);
    EXPECT_STREQ("tarn_client_remove: Delay, try again later", is_tarn_remove_ok(r).message());
}

TEST(DelayRetryTest, TimeSpentInsideTheCallCountsTowardsTheLimit) {
    FakeTime ft;
    int calls = 0;
    tarn_err err = retry_on_delay(
        [&] {
            ++calls;
            ft.t += seconds(100);  // a call that takes the client's whole retry time
            return TARN_ERR_DELAY;
        },
        ft.policy());
    EXPECT_EQ(TARN_ERR_DELAY, err);
    EXPECT_EQ(9, calls);
}

TEST(DelayRetryTest, RealSleepWaitsTheInterval) {
    tarn_testing::DelayRetry p;
    p.interval = milliseconds(20);
    int calls = 0;
    const auto start = std::chrono::steady_clock::now();
    tarn_err err = retry_on_delay([&] { return ++calls < 3 ? TARN_ERR_DELAY : TARN_ERR_EXIST; }, p);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(TARN_ERR_EXIST, err);
    EXPECT_EQ(3, calls);
    EXPECT_GE(elapsed, milliseconds(40));
}

// ---------------------------------------------------------------- restartable bodies

TEST(RestartableTest, CleanFirstRunRunsTwice) {
    int runs = 0;
    run_restartable([&] { ++runs; }, [] { return false; });
    EXPECT_EQ(2, runs);
}

TEST(RestartableTest, FailedOrSkippedFirstRunRunsOnce) {
    int runs = 0;
    run_restartable([&] { ++runs; }, [] { return true; });
    EXPECT_EQ(1, runs);
}

TEST(RestartableTest, OutcomeIsAskedOnlyAfterFirstRun) {
    int runs = 0;
    int asked = 0;
    run_restartable(
        [&] {
            ++runs;
            if (runs == 1) throw tarn_testing::detail::RestartException();
        },
        [&] {
            ++asked;
            return false;
        });
    // The restart made the second run the last: no clean first run.
    EXPECT_EQ(2, runs);
    EXPECT_EQ(0, asked);
}

TEST(RestartableTest, RestartInSecondRunRunsAgain) {
    int runs = 0;
    run_restartable(
        [&] {
            ++runs;
            if (runs == 2 || runs == 3) throw tarn_testing::detail::RestartException();
        },
        [] { return false; });
    EXPECT_EQ(4, runs);
}

TEST(RestartableTest, TenthThrowingRunFails) {
    int runs = 0;
    CapturedFailures captured;
    run_restartable(
        [&] {
            ++runs;
            throw tarn_testing::detail::RestartException();
        },
        [] { return false; });
    EXPECT_EQ(10, runs);
    ASSERT_EQ(1, captured.results.size());
    const testing::TestPartResult& f = captured.results.GetTestPartResult(0);
    EXPECT_TRUE(f.fatally_failed());
    EXPECT_STREQ("Failed\nToo many restarts (10)", f.message());
}

TEST(RestartableTest, NinthRestartStillSucceeds) {
    int runs = 0;
    CapturedFailures captured;
    run_restartable(
        [&] {
            if (++runs < 10) throw tarn_testing::detail::RestartException();
        },
        [] { return false; });
    EXPECT_EQ(10, runs);
    EXPECT_EQ(0, captured.results.size());
}

TEST(RestartableTest, OtherExceptionsPassThrough) {
    int runs = 0;
    EXPECT_THROW(run_restartable(
                     [&] {
                         ++runs;
                         throw std::runtime_error("boom");
                     },
                     [] { return false; }),
                 std::runtime_error);
    EXPECT_EQ(1, runs);
}

// ---------------------------------------------------------------- random values

bool all_letters(const std::string& s) {
    for (char c : s)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    return true;
}

TEST(RandomNameTest, PrefixAndLength) {
    std::string a = TARNTestBase::get_random_name(nullptr, 16);
    EXPECT_EQ(16u, a.size());
    EXPECT_TRUE(all_letters(a)) << a;

    std::string b = TARNTestBase::get_random_name("tarn_test_", 8);
    EXPECT_EQ(18u, b.size());
    EXPECT_EQ(0u, b.rfind("tarn_test_", 0));
    EXPECT_TRUE(all_letters(b.substr(10))) << b;

    EXPECT_EQ("tarn_test_", TARNTestBase::get_random_name("tarn_test_", 0));
    EXPECT_EQ("", TARNTestBase::get_random_name(nullptr, 0));
}

TEST(RandomNameTest, NamesDifferAndUseTheWholeAlphabet) {
    std::string a = TARNTestBase::get_random_name(nullptr, 16);
    std::string b = TARNTestBase::get_random_name(nullptr, 16);
    EXPECT_NE(a, b);

    std::vector<char> big(20000);
    TARNTestBase::fill_with_random_letters(big.begin(), big.end());
    bool seen[128] = {};
    for (char c : big) seen[static_cast<unsigned char>(c) & 127] = true;
    for (char c = 'A'; c <= 'Z'; ++c) EXPECT_TRUE(seen[static_cast<int>(c)]) << c;
    for (char c = 'a'; c <= 'z'; ++c) EXPECT_TRUE(seen[static_cast<int>(c)]) << c;
    EXPECT_TRUE(all_letters(std::string(big.begin(), big.end())));
}

}  // namespace

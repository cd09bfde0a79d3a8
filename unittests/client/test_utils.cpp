// Client utilities: cancel controls, thread names, time, revisions and
// hexadecimal text.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/tarn_cancel.h"
#include "client/tarn_pthread_utils.h"
#include "client/tarn_utils.h"

namespace {

// The program's own hook replaces the library's weak one.
std::mutex g_hook_mutex;
std::vector<std::string> g_hook_names;

std::string current_thread_name() {
    char name[32] = {};
    EXPECT_EQ(pthread_getname_np(pthread_self(), name, sizeof(name)), 0);
    return name;
}

}  // namespace

void tarn_set_current_thread_name_hook(const char* name) {
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    g_hook_names.push_back(name);
}

// ---------------------------------------------------------------- cancellation

class CancelTest : public ::testing::Test {
  protected:
    void SetUp() override { ctrl_ = tarn_cancel_ctrl_create(); }
    void TearDown() override { tarn_cancel_ctrl_destroy(ctrl_); }
    tarn_cancel_ctrl* ctrl_ = nullptr;
};

TEST_F(CancelTest, cancel_and_reset) {
    ASSERT_NE(ctrl_, nullptr);
    tarn_cancel_token* token = tarn_cancel_ctrl_get_token(ctrl_);
    EXPECT_EQ(static_cast<void*>(token), static_cast<void*>(ctrl_));
    EXPECT_FALSE(tarn_cancel_token_is_cancelled(token));
    tarn_cancel_ctrl_cancel(ctrl_);
    EXPECT_TRUE(tarn_cancel_token_is_cancelled(token));
    tarn_cancel_ctrl_cancel(ctrl_);
    EXPECT_TRUE(tarn_cancel_token_is_cancelled(token));
    tarn_cancel_ctrl_reset(ctrl_);
    EXPECT_FALSE(tarn_cancel_token_is_cancelled(token));
}

TEST_F(CancelTest, no_token_is_never_cancelled) { EXPECT_FALSE(tarn_cancel_token_is_cancelled(nullptr)); }

TEST_F(CancelTest, waiting_thread_sees_cancel_from_another_thread) {
    const tarn_cancel_token* token = tarn_cancel_ctrl_get_token(ctrl_);
    std::atomic<bool> started{false};
    std::atomic<int> seen{-1};
    std::thread waiter([&] {
        started = true;
        // Bounded so that a lost cancel fails the test instead of hanging it.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!tarn_cancel_token_is_cancelled(token)) {
            if (std::chrono::steady_clock::now() > deadline) {
                seen = 0;
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        seen = 1;
    });
    while (!started) std::this_thread::yield();
    std::thread canceller([&] { tarn_cancel_ctrl_cancel(ctrl_); });
    canceller.join();
    waiter.join();
    EXPECT_EQ(seen.load(), 1);
}

TEST_F(CancelTest, many_readers_while_flipping) {
    // Readers race with cancel and reset. Built with ThreadSanitizer, a
    // non-atomic flag is reported here as a data race.
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> cancelled_seen{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; i++)
        readers.emplace_back([&] {
            while (!stop) cancelled_seen += tarn_cancel_token_is_cancelled(ctrl_) ? 1 : 0;
        });
    for (int i = 0; i < 2000; i++) {
        tarn_cancel_ctrl_cancel(ctrl_);
        tarn_cancel_ctrl_reset(ctrl_);
    }
    tarn_cancel_ctrl_cancel(ctrl_);
    while (cancelled_seen == 0) std::this_thread::yield();
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_TRUE(tarn_cancel_token_is_cancelled(ctrl_));
}

// ---------------------------------------------------------------- thread names

class ThreadNameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_hook_mutex);
        g_hook_names.clear();
    }
    static std::vector<std::string> hook_names() {
        std::lock_guard<std::mutex> lock(g_hook_mutex);
        return g_hook_names;
    }
};

TEST_F(ThreadNameTest, names_the_calling_thread_and_calls_the_hook) {
    std::string seen;
    std::thread t([&] {
        tarn_set_current_thread_name("tarn-clnt-sync");
        seen = current_thread_name();
    });
    t.join();
    EXPECT_EQ(seen, "tarn-clnt-sync");
    EXPECT_EQ(hook_names(), std::vector<std::string>{"tarn-clnt-sync"});
}

TEST_F(ThreadNameTest, formats_and_accepts_15_characters) {
    std::string seen;
    std::thread t([&] {
        tarn_set_current_thread_name("wrk-%d-%s", 42, "abcdefgh"); // 15 characters
        seen = current_thread_name();
    });
    t.join();
    EXPECT_EQ(seen, "wrk-42-abcdefgh");
    EXPECT_EQ(hook_names(), std::vector<std::string>{"wrk-42-abcdefgh"});
}

using ThreadNameDeathTest = ThreadNameTest;

TEST_F(ThreadNameDeathTest, sixteen_characters_are_an_invariant_violation) {
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_DEATH(tarn_set_current_thread_name("0123456789abcdef"), "BUG: .*tarn_set_current_thread_name");
    EXPECT_DEATH(tarn_set_current_thread_name("%s", "a-name-much-longer-than-the-limit"),
                 "BUG: .*tarn_set_current_thread_name");
}

// ---------------------------------------------------------------- time

class TimeUtilTest : public ::testing::Test {
  protected:
    static timespec ts(time_t s, long ns) {
        timespec t;
        t.tv_sec = s;
        t.tv_nsec = ns;
        return t;
    }
};

TEST_F(TimeUtilTest, add_duration_carries_into_seconds) {
    timespec t = ts(10, 600000000);
    tarn_add_duration(&t, 1500);
    EXPECT_EQ(t.tv_sec, 12);
    EXPECT_EQ(t.tv_nsec, 100000000);

    t = ts(10, 999999999);
    tarn_add_duration(&t, 1);
    EXPECT_EQ(t.tv_sec, 11);
    EXPECT_EQ(t.tv_nsec, 999999);

    t = ts(5, 400000000);
    tarn_add_duration(&t, 600);
    EXPECT_EQ(t.tv_sec, 6);
    EXPECT_EQ(t.tv_nsec, 0);

    t = ts(7, 123);
    tarn_add_duration(&t, 0);
    EXPECT_EQ(t.tv_sec, 7);
    EXPECT_EQ(t.tv_nsec, 123);

    t = ts(0, 0);
    tarn_add_duration(&t, UINT32_MAX);
    EXPECT_EQ(t.tv_sec, 4294967);
    EXPECT_EQ(t.tv_nsec, 295000000);
}

TEST_F(TimeUtilTest, compare_seconds_then_nanoseconds_signed) {
    timespec a = ts(1, 500), b = ts(2, 0);
    EXPECT_EQ(tarn_timespec_cmp(&a, &b), -1);
    EXPECT_EQ(tarn_timespec_cmp(&b, &a), 1);
    a = ts(2, 1);
    EXPECT_EQ(tarn_timespec_cmp(&a, &b), 1);
    a = ts(2, 0);
    EXPECT_EQ(tarn_timespec_cmp(&a, &b), 0);
    a = ts(-1, 0);
    EXPECT_EQ(tarn_timespec_cmp(&a, &b), -1);
    a = ts(2, -5);
    EXPECT_EQ(tarn_timespec_cmp(&a, &b), -1);
}

TEST_F(TimeUtilTest, nanoseconds_round_trip) {
    timespec t;
    tarn_timespec_from_ns(&t, 12345678901234ull);
    EXPECT_EQ(t.tv_sec, 12345);
    EXPECT_EQ(t.tv_nsec, 678901234);
    EXPECT_EQ(tarn_timespec_to_ns(&t), 12345678901234ull);
    tarn_timespec_from_ns(&t, 999999999);
    EXPECT_EQ(t.tv_sec, 0);
    EXPECT_EQ(t.tv_nsec, 999999999);
    t = ts(3, 7);
    EXPECT_EQ(tarn_timespec_to_ns(&t), 3000000007ull);
}

TEST_F(TimeUtilTest, clocks_read_their_sources) {
    timespec m1, m2, w;
    tarn_get_monotonic_time(&m1);
    tarn_get_monotonic_time(&m2);
    EXPECT_LE(tarn_timespec_cmp(&m1, &m2), 0);
    EXPECT_LT(m1.tv_nsec, 1000000000);
    tarn_get_wallclock_time(&w);
    time_t now = time(nullptr);
    EXPECT_LE(labs(long(w.tv_sec - now)), 5);
}

// ---------------------------------------------------------------- revisions

class RevisionTest : public ::testing::Test {};

TEST_F(RevisionTest, wrap_around_order) {
    EXPECT_EQ(tarn_revision_cmp_u32(5, 5), 0);
    EXPECT_EQ(tarn_revision_cmp_u32(6, 5), 1);
    EXPECT_EQ(tarn_revision_cmp_u32(5, 6), -1);
    EXPECT_EQ(tarn_revision_cmp_u32(1, 0xFFFFFFFF), 1);
    EXPECT_EQ(tarn_revision_cmp_u32(0xFFFFFFFF, 1), -1);
    EXPECT_EQ(tarn_revision_cmp_u32(0x80000000, 1), -1); // distance 0x7fffffff counts as wrapped
    EXPECT_EQ(tarn_revision_cmp_u32(1, 0x80000000), 1);
    EXPECT_EQ(tarn_revision_cmp_u32(0x7FFFFFFF, 1), 1); // distance 0x7ffffffe
    EXPECT_EQ(tarn_revision_cmp_u32(1, 0x7FFFFFFF), -1);
    EXPECT_EQ(tarn_revision_cmp_u32(0, 0xFFFFFFFF), 1);
}

// ---------------------------------------------------------------- hexadecimal

class HexTest : public ::testing::Test {};

TEST_F(HexTest, binary_to_text) {
    EXPECT_EQ(tarn_hex_str_size(0), 1u);
    EXPECT_EQ(tarn_hex_str_size(2), 5u);
    const uint8_t bin[] = {0xAB, 0x01};
    char text[6];
    memset(text, 'x', sizeof(text));
    tarn_bin_to_hex(bin, 2, text, 5);
    EXPECT_EQ(std::string(text, 5), std::string("ab01\0", 5));
    EXPECT_EQ(text[5], 'x');

    const uint8_t all[] = {0x00, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0xFF};
    char long_text[21];
    tarn_bin_to_hex(all, sizeof(all), long_text, sizeof(long_text));
    EXPECT_STREQ(long_text, "00123456789abcdef0ff");

    char empty[1] = {'x'};
    tarn_bin_to_hex(nullptr, 0, empty, 1);
    EXPECT_EQ(empty[0], 0);
}

TEST_F(HexTest, text_to_binary) {
    uint8_t out[2] = {0, 0};
    EXPECT_EQ(tarn_hex_to_bin("0aFf", out, 2), 0);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(tarn_hex_to_bin("", nullptr, 0), 0);
}

TEST_F(HexTest, text_of_wrong_shape_is_rejected) {
    uint8_t out[2];
    EXPECT_EQ(tarn_hex_to_bin("0a", out, 2), -EINVAL);
    EXPECT_EQ(tarn_hex_to_bin("0aF", out, 2), -EINVAL);
    EXPECT_EQ(tarn_hex_to_bin("0aff00", out, 2), -EINVAL);
    EXPECT_EQ(tarn_hex_to_bin("0g", out, 1), -EINVAL);
    EXPECT_EQ(tarn_hex_to_bin("g0", out, 1), -EINVAL);
    EXPECT_EQ(tarn_hex_to_bin(" 0a", out, 1), -EINVAL);
    EXPECT_EQ(tarn_hex_to_bin("0", nullptr, 0), -EINVAL);
    EXPECT_EQ(tarn_hex_to_bin(nullptr, out, 1), -EINVAL);
}

TEST_F(HexTest, bytes_before_the_failure_stay_written) {
    uint8_t out[3] = {0x11, 0x22, 0x33};
    EXPECT_EQ(tarn_hex_to_bin("7f80zz", out, 3), -EINVAL);
    EXPECT_EQ(out[0], 0x7F);
    EXPECT_EQ(out[1], 0x80);
    EXPECT_EQ(out[2], 0x33);
}

TEST_F(HexTest, round_trip) {
    uint8_t bin[64];
    for (size_t i = 0; i < sizeof(bin); i++) bin[i] = uint8_t(i * 37 + 5);
    std::vector<char> text(tarn_hex_str_size(sizeof(bin)));
    tarn_bin_to_hex(bin, sizeof(bin), text.data(), text.size());
    uint8_t back[64];
    ASSERT_EQ(tarn_hex_to_bin(text.data(), back, sizeof(back)), 0);
    EXPECT_EQ(memcmp(bin, back, sizeof(bin)), 0);
}

using HexDeathTest = HexTest;

TEST_F(HexDeathTest, text_size_too_small) {
    const uint8_t bin[] = {0xAB, 0x01};
    char text[5];
    EXPECT_DEATH(tarn_bin_to_hex(bin, 2, text, 4), "BUG: .*tarn_bin_to_hex");
    EXPECT_DEATH(tarn_bin_to_hex(bin, 0, text, 0), "BUG: .*tarn_bin_to_hex");
}

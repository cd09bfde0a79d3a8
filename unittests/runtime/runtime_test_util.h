// Helpers the runtime's tests share: polling for a condition, little-endian
// words in frames, and a fixture that runs an event-loop process.
#pragma once

#include <errno.h>
#include <poll.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include <gtest/gtest.h>

#include "kiv/io.h"
#include "kiv/loop.h"

namespace rttest {

// The limit of a wait for a state that must come. It only keeps a broken
// build from hanging: a sanitizer build on a busy machine can take seconds
// for what takes microseconds alone, and a shorter limit would read that
// delay as a fault.
inline constexpr std::chrono::milliseconds kHangGuard = std::chrono::seconds(60);

// Polls `pred` every millisecond; false if it still fails after `limit`.
template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = kHangGuard) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Whether `fd` became readable (data, end of stream or an error) within
// `ms`. The default is the hang guard: a short wait would read a slow
// sender as a peer that cut the connection.
inline bool wait_readable(int fd, int ms = int(kHangGuard.count())) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    while ((rc = poll(&p, 1, ms)) < 0 && errno == EINTR) {
    }
    return rc == 1;
}

// Holds the loop lock of `p` from a thread of its own until release() (or
// destruction), so that whatever is posted to that loop stays queued.
class LoopHolder {
   public:
    explicit LoopHolder(kiv_process* p)
        : thread_([this, p] {
              kiv_move_to_coroutine(p);
              held_ = true;
              while (!release_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
              kiv_move_from_coroutine();
          }) {
        EXPECT_TRUE(wait_until([this] { return held_.load(); }));
    }
    ~LoopHolder() { release(); }
    LoopHolder(const LoopHolder&) = delete;
    LoopHolder& operator=(const LoopHolder&) = delete;

    void release() {
        release_ = true;
        if (thread_.joinable()) thread_.join();
    }

   private:
    std::atomic<bool> held_{false}, release_{false};
    std::thread thread_;
};

inline uint32_t le32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline void put32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }

// A fixture whose tests run against a started process `p`, its event
// loop named as the derived fixture says.
class EvloopTest : public ::testing::Test {
protected:
    explicit EvloopTest(const char* evloop_name) : evloop_name_(evloop_name) {}

    void SetUp() override {
        ASSERT_EQ(0, kiv_process_init_(&p));
        ASSERT_EQ(0, kiv_process_start(&p, evloop_name_));
    }

    void TearDown() override {
        kiv_process_terminate(&p);
        kiv_process_wait(&p);
        kiv_process_fini(&p);
    }

    kiv_process p{};

private:
    const char* evloop_name_;
};

}  // namespace rttest

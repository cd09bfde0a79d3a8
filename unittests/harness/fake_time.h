// A steady clock for the harness's retry and wait loops that only moves
// when the code under test sleeps, recording each sleep.
#pragma once

#include <chrono>
#include <vector>

#include "utils/tarn_api_helpers.h"

namespace harnesstest {

struct FakeTime {
    tarn_testing::Clock::time_point t{};
    std::vector<std::chrono::nanoseconds> sleeps;

    tarn_testing::DelayRetry policy() {
        tarn_testing::DelayRetry p;
        p.time.now = [this] { return t; };
        p.time.sleep = [this](std::chrono::nanoseconds d) {
            sleeps.push_back(d);
            t += d;
        };
        return p;
    }
};

}  // namespace harnesstest

// The wait of the cluster tests for a state that must come. Its limit is
// only a hang guard: a sanitizer build on a loaded machine takes seconds
// for what takes milliseconds elsewhere, and a short limit would read that
// delay as a fault.
#pragma once

#include <chrono>

#include "runtime/runtime_test_util.h"

namespace lctest {

constexpr std::chrono::milliseconds kHangGuard = std::chrono::seconds(60);

// Polls `pred` until it holds; false only after the hang guard.
template <class Pred>
bool wait_until(Pred pred) {
    return rttest::wait_until(pred, kHangGuard);
}

}  // namespace lctest

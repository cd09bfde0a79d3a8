// The wait of the cluster tests for a state that must come: the runtime
// tests' own, whose limit is only a hang guard (a sanitizer build on a
// loaded machine takes seconds for what takes milliseconds elsewhere, and a
// short limit would read that delay as a fault).
#pragma once

#include "runtime/runtime_test_util.h"

namespace lctest {

using rttest::kHangGuard;
using rttest::wait_until;

}  // namespace lctest

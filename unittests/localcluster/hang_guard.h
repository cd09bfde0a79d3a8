// The runtime tests' helpers the cluster tests share: whether a port is
// taken, and the wait for a state that must come, whose limit is only a
// hang guard (a sanitizer build on a loaded machine takes seconds for what
// takes milliseconds elsewhere, and a short limit would read that delay as
// a fault).
#pragma once

#include "runtime/runtime_test_util.h"

namespace lctest {

using rttest::kHangGuard;
using rttest::port_taken;
using rttest::wait_until;

}  // namespace lctest

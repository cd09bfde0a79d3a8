// A Google Test fixture that gives every test its own runtime process with a
// running event-loop thread, stopped and released again in tear-down.
#pragma once

#include <gtest/gtest.h>

#include "kiv/base.h"
#include "kiv/loop.h"

class KivProcessTestBase : public testing::Test {
protected:
    void SetUp() override {
        // Only the runtime's own check matters here; the tests do not depend
        // on a particular build.
        (void)kiv_check_build_version("unknown");
        if (kiv_process_init_(&process) != 0) FAIL();
        if (kiv_process_start(&process, "evloop") != 0) FAIL();
    }

    void TearDown() override { stop_process(); }

    // Safe on a process that was never initialised or started: the runtime
    // ignores a record without a core.
    void stop_process() {
        kiv_process_terminate(&process);
        kiv_process_wait(&process);
        kiv_process_fini(&process);
    }

    kiv_process process{};
};

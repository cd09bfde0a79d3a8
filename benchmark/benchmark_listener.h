// The benchmark program's own result printer: one line when a test starts,
// one per failure and one when it ends, with its status and elapsed time, so
// that the benchmarks' figures stand between a test's start and end lines.
#pragma once

#include <gtest/gtest.h>

class CustomListener : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo& test) override;
    void OnTestPartResult(const testing::TestPartResult& result) override;
    void OnTestEnd(const testing::TestInfo& test) override;
};

// Replaces Google Test's default result printer by a CustomListener; other
// listeners (the XML or JSON report) stay.
void install_custom_listener();

#include "benchmark/benchmark_listener.h"

#include <stdio.h>

void CustomListener::OnTestStart(const testing::TestInfo& test) {
    printf("*** %s.%s\n", test.test_suite_name(), test.name());
    fflush(stdout);
}

void CustomListener::OnTestPartResult(const testing::TestPartResult& result) {
    if (!result.failed()) return;
    // An exception escaping a test body is reported without a place.
    if (result.file_name())
        printf("Failure in %s:%d\n%s\n", result.file_name(), result.line_number(), result.summary());
    else
        printf("Failure in unknown file\n%s\n", result.summary());
    fflush(stdout);
}

void CustomListener::OnTestEnd(const testing::TestInfo& test) {
    const testing::TestResult* r = test.result();
    const char* status = r->Skipped() ? "SKIPPED" : r->Failed() ? "FAILED" : "PASSED";
    printf("*** %s.%s %s in %.3f seconds\n", test.test_suite_name(), test.name(), status,
           static_cast<double>(r->elapsed_time()) / 1000.0);
    fflush(stdout);
}

void install_custom_listener() {
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new CustomListener);
}

// Base fixture of the benchmarks: the harness's connected fixture plus the
// benchmark configuration that main fills from the command line.
#pragma once

#include "benchmark/benchmark_options.h"
#include "utils/tarn_test_base.h"

class TARNBenchmarkBase : public TARNTestBase {
public:
    static TARNBenchmarkConfig cfg;
};

// Entry point of kelvane-tarn-benchmark: Google Test takes its own flags,
// the benchmark options fill the configurations, and the custom listener
// prints the results.
#include <signal.h>

#include <string>

#include "benchmark/benchmark_listener.h"
#include "benchmark/tarn_benchmark_base.h"
#include "kiv/base.h"

TARNBenchmarkConfig TARNBenchmarkBase::cfg{};

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);

    BenchmarkCommandLine cl;
    std::string error;
    switch (parse_benchmark_command_line(argc, argv, &cl, &error)) {
    case BenchmarkParse::help:
        usage(nullptr);
    case BenchmarkParse::error:
        usage("%s", error.c_str());
    case BenchmarkParse::run:
        break;
    }
    __kiv_log_level += cl.verbosity;

    TARNTestBase::cfg.cluster_name = cl.cluster_name;
    TARNTestBase::cfg.fs_name = cl.fs_name;
    TARNTestBase::cfg.purge = false;
    TARNTestBase::cfg.nocleanup_failed = false;
    TARNBenchmarkBase::cfg = cl.cfg;

    install_custom_listener();

    // A server closing a connection must fail the write, not kill the run.
    signal(SIGPIPE, SIG_IGN);

    // A mistyped cluster or share ends the run before the first benchmark
    // instead of costing each one its full retry time.
    testing::AddGlobalTestEnvironment(new TARNTargetCheck);

    return testing::UnitTest::GetInstance()->Run();
}

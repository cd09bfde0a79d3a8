// Entry point of kelvane-tarn-test, the functional test program of the Tarn
// file server.
#include <signal.h>

#include <gtest/gtest.h>

#include "utils/tarn_test_base.h"
#include "utils/test_categories.h"

int main(int argc, char** argv) {
    // Google Test takes its flags first and the categories theirs, so neither
    // ever reaches the option parser as an unknown option.
    testing::InitGoogleTest(&argc, argv);
    test_categories::ParseArgs(&argc, argv);

    TARNTestConfig cfg;
    bool noshuffle = false;
    tarn_test_parse_options(argc, argv, &cfg, &noshuffle);

    // Shuffled unless asked otherwise, whatever --gtest_shuffle said.
    GTEST_FLAG_SET(shuffle, !noshuffle);
    TARNTestBase::cfg = std::move(cfg);

    // A server closing a connection must fail the write, not kill the run.
    signal(SIGPIPE, SIG_IGN);

    // Checked before the first test, and only when one is to run.
    testing::AddGlobalTestEnvironment(new TARNTargetCheck);

    return testing::UnitTest::GetInstance()->Run();
}

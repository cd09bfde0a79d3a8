// Base fixture of the file-server tests and the harness configuration that
// every test reads.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct TARNTestConfig {
    std::string cluster_name;
    std::string fs_name;
    bool purge = false;
    bool nocleanup_failed = false;
};

class TARNTestBase : public ::testing::Test {
public:
    // Written once by main before any test runs, read-only afterwards.
    static TARNTestConfig cfg;
};

// Parses the options of kelvane-tarn-test (what is left of the command line
// after Google Test and the test categories took theirs) into *cfg and
// *noshuffle. "-h" prints the usage and exits with status 0; an unknown
// option, a missing option argument or a missing cluster or file system name
// ends the process through the fatal report. Each "-v" raises the runtime's
// log level by one. getopt_long may reorder argv.
void tarn_test_parse_options(int argc, char** argv, TARNTestConfig* cfg, bool* noshuffle);

// Writes the usage of kelvane-tarn-test, category help included, to standard
// output.
void tarn_test_print_usage(void);

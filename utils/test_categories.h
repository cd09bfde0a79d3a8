// Test categories: process-wide switches that let fixtures skip tests which
// are expensive (HEAVY), need an outside operator (ASSISTED) or need a highly
// available cluster (HA). A category is turned on by its command-line switch
// or by its environment variable and stays on for the whole run.
#pragma once

#include <gtest/gtest.h>

namespace test_categories {

extern bool enable_heavy_tests;
extern bool enable_assisted_tests;
extern bool enable_ha_tests;

// Takes the category switches out of argv (keeping every other argument in
// order behind the program name and updating *argc), then reads the
// environment. "--help-test-categories" prints the category help and exits
// the process with status 0.
void ParseArgs(int* argc, char** argv);

// Writes the category help to standard output.
void PrintUsage();

}  // namespace test_categories

// Skips the current test unless the category is on. These are macros because
// GTEST_SKIP returns from the calling function: use them directly in a
// fixture's SetUp or in a test body, one after another when several
// categories are needed.
#define TARN_REQUIRE_HEAVY_CATEGORY()                                                              \
    do {                                                                                           \
        if (!::test_categories::enable_heavy_tests)                                                \
            GTEST_SKIP() << "Test requires HEAVY category to be enabled."                          \
                         << " Use --enable-heavy-tests"                                            \
                         << " or set ENABLE_HEAVY_TESTS=1 environment variable.";                  \
    } while (0)

#define TARN_REQUIRE_ASSISTED_CATEGORY()                                                           \
    do {                                                                                           \
        if (!::test_categories::enable_assisted_tests)                                             \
            GTEST_SKIP() << "Test requires ASSISTED category to be enabled."                       \
                         << " Use --enable-assisted-tests"                                         \
                         << " or set ENABLE_ASSISTED_TESTS=1 environment variable.";               \
    } while (0)

#define TARN_REQUIRE_HA_CATEGORY()                                                                 \
    do {                                                                                           \
        if (!::test_categories::enable_ha_tests)                                                   \
            GTEST_SKIP() << "Test requires HA category to be enabled."                             \
                         << " Use --enable-ha-tests"                                               \
                         << " or set ENABLE_HA_TESTS=1 environment variable.";                     \
    } while (0)

#include "utils/test_categories.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace test_categories {

bool enable_heavy_tests = false;
bool enable_assisted_tests = false;
bool enable_ha_tests = false;

namespace {

struct category {
    bool* flag;
    const char* cmdline_switch;
    const char* env_var;
};

const category k_categories[] = {
    {&enable_heavy_tests, "--enable-heavy-tests", "ENABLE_HEAVY_TESTS"},
    {&enable_assisted_tests, "--enable-assisted-tests", "ENABLE_ASSISTED_TESTS"},
    {&enable_ha_tests, "--enable-ha-tests", "ENABLE_HA_TESTS"},
};

// Returns the category whose switch is exactly `arg`, or NULL: a switch with
// anything appended ("--enable-ha-tests=1") is not a category switch and is
// left for the option parser.
const category* find_switch(const char* arg) {
    for (const category& c : k_categories)
        if (strcmp(arg, c.cmdline_switch) == 0) return &c;
    return nullptr;
}

}  // namespace

void PrintUsage() {
    fputs("Test Category Options:\n"
          "  --enable-heavy-tests       Enable heavy tests\n"
          "  --enable-assisted-tests    Enable assisted tests\n"
          "  --enable-ha-tests          Enable HA tests\n"
          "  --help-test-categories     Show this help message\n"
          "\n"
          "Environment Variables:\n"
          "  ENABLE_HEAVY_TESTS=1       Enable heavy tests\n"
          "  ENABLE_ASSISTED_TESTS=1    Enable assisted tests\n"
          "  ENABLE_HA_TESTS=1          Enable HA tests\n"
          "\n",
          stdout);
}

void ParseArgs(int* argc, char** argv) {
    if (*argc > 1) {
        int kept = 1;
        for (int i = 1; i < *argc; ++i) {
            if (const category* c = find_switch(argv[i])) {
                *c->flag = true;
            } else if (strcmp(argv[i], "--help-test-categories") == 0) {
                PrintUsage();
                exit(0);
            } else {
                argv[kept++] = argv[i];
            }
        }
        *argc = kept;
    }

    // Any value counts, "0" and the empty string included; the environment
    // only ever adds categories.
    for (const category& c : k_categories)
        if (getenv(c.env_var) != nullptr) *c.flag = true;
}

}  // namespace test_categories

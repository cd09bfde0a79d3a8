#include "utils/tarn_test_base.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include "kiv/base.h"
#include "utils/test_categories.h"

TARNTestConfig TARNTestBase::cfg;

namespace {

// Values of the long options that have no short form; beyond every char so
// they cannot collide with one.
enum : int {
    OPT_PURGE = 1000,
    OPT_NOSHUFFLE = 1001,
    OPT_NOCLEANUP_FAILED = 1002,
};

const struct option k_long_options[] = {
    {"cluster", required_argument, nullptr, 'c'},
    {"filesystem", required_argument, nullptr, 'f'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"purge", no_argument, nullptr, OPT_PURGE},
    {"noshuffle", no_argument, nullptr, OPT_NOSHUFFLE},
    {"nocleanup-failed", no_argument, nullptr, OPT_NOCLEANUP_FAILED},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

void tarn_test_print_usage(void) {
    fputs("Usage: test_tarn -c CLUSTER_NAME -f FS_NAME [options]\n"
          "Options:\n"
          "  -c CLUSTER_NAME     Name of the cluster (required)\n"
          "  -f FS_NAME          Name of the filesystem (required)\n"
          "  -v                  Increase verbosity\n"
          "                      (can be used multiple times)\n"
          "  --purge             Remove all files before tests\n"
          "                      (DANGEROUS: use with caution!)\n"
          "  --noshuffle         Disable test shuffling\n"
          "  --nocleanup-failed  Don't remove files from failed tests\n"
          "  -h                  Show this help message\n"
          "\n",
          stdout);
    test_categories::PrintUsage();
}

void tarn_test_parse_options(int argc, char** argv, TARNTestConfig* cfg, bool* noshuffle) {
    std::string cluster_name;
    std::string fs_name;
    bool purge = false;
    bool no_shuffle = false;
    bool nocleanup_failed = false;

    // 0 makes getopt start over, so that parsing does not depend on an
    // earlier scan of another argument vector.
    optind = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, "c:f:vh", k_long_options, nullptr)) != -1) {
        switch (opt) {
        case 'c':
            cluster_name = optarg;
            break;
        case 'f':
            fs_name = optarg;
            break;
        case 'v':
            __kiv_log_level++;
            break;
        case 'h':
            tarn_test_print_usage();
            exit(0);
        case OPT_PURGE:
            purge = true;
            break;
        case OPT_NOSHUFFLE:
            no_shuffle = true;
            break;
        case OPT_NOCLEANUP_FAILED:
            nocleanup_failed = true;
            break;
        default:
            kiv_fatal("Unknown option - %c", opt);
        }
    }

    if (cluster_name.empty()) kiv_fatal("Cluster name (-c) must be specified.");
    if (fs_name.empty()) kiv_fatal("Filesystem name (-f) must be specified.");

    cfg->cluster_name = std::move(cluster_name);
    cfg->fs_name = std::move(fs_name);
    cfg->purge = purge;
    cfg->nocleanup_failed = nocleanup_failed;
    *noshuffle = no_shuffle;
}

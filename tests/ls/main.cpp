// Entry point of kelvane-tarn-test-ls, the functional test program of the
// lock service.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ls_client/ls_resolver.h"
#include "tests/ls/leftover_locks.h"
#include "tests/ls/tarn_ls_test.h"
#include "utils/target_check.h"

namespace {

// One hexadecimal number (an optional 0x prefix) and nothing else: a typo
// such as "10O1" must not quietly select file system 0x10.
bool parse_fs_id(const char* text, uint64_t* out) {
    if (!isxdigit(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 16);
    if (errno != 0 || end == text || *end != '\0') return false;
    *out = v;
    return true;
}

// The suites reach their lock server through its record, tagged with the
// file system's id: without one every lock call waits out its retries.
std::string check_lock_server_record() {
    char id[24];
    snprintf(id, sizeof id, "%llx", static_cast<unsigned long long>(g_args.fs_id));
    tarn_target_query q{"tarn/ls", "lock servers", std::string("file system '") + g_args.fs_name + "' (id " + id + ")",
                        "lock server record", [](const discov_svc& svc) {
                            ls_server_entry e;
                            return ls_resolver_parse_record(&svc, &e) == 0 && e.fs_id == g_args.fs_id;
                        }};
    return tarn_check_target_records(g_args.cluster, q, TARN_TEST_CHECK_TARGET_MS);
}

}  // namespace

int main(int argc, char** argv) {
    // Google Test removes its own flags, so getopt sees only ours.
    testing::InitGoogleTest(&argc, argv);

    int opt;
    while ((opt = getopt(argc, argv, "c:f:i:v")) != -1) {
        switch (opt) {
        case 'c':
            g_args.cluster = optarg;
            break;
        case 'f':
            g_args.fs_name = optarg;
            break;
        case 'i':
            if (!parse_fs_id(optarg, &g_args.fs_id)) kiv_fatal("Invalid file system ID");
            break;
        case 'v':
            __kiv_log_level++;
            break;
        default:
            kiv_fatal("Unknown option - %c", opt);
        }
    }

    if (!g_args.cluster) kiv_fatal("Cluster name (-c) must be specified.");
    if (!g_args.fs_name) kiv_fatal("Filesystem name (-f) must be specified.");
    if (g_args.fs_id == 0) kiv_fatal("Filesystem ID (-i) must be specified.");

    // Checked before the first test, and only when one is to run: the lock
    // server is there, and no lock of an interrupted run waits on the suites.
    testing::AddGlobalTestEnvironment(new TARNTargetCheckEnv([] {
        std::string problem = check_lock_server_record();
        return problem.empty() ? tarn_ls_find_leftover_lock(g_args.cluster, g_args.fs_name, g_args.fs_id) : problem;
    }));

    return testing::UnitTest::GetInstance()->Run();
}

// Leaves behind the lock that a run of kelvane-tarn-test-ls killed inside a
// test leaves: an exclusive lock on the suites' file 0x3333, under a random
// caller name and owner id no run knows, held after this process is gone.
// The interrupted-run check uses it to reach that state every time, without
// racing a real run.
//
//   tarn_ls_leave_lock -c CLUSTER -i FS_ID [-w]
//
// -w leaves a Windows lock instead of a POSIX one. On success prints
// "CALLER OWNER_ID" (owner id in hex, as the leftover report writes it) and
// exits 0; exits 1 when the lock was not granted.
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>

#include "kiv/base.h"
#include "kiv/loop.h"
#include "ls_client/ls_client.h"
#include "tests/ls/resolver_ready.h"

namespace {

const uint64_t kSuiteFile = 0x3333;

void usage() {
    fprintf(stderr, "usage: tarn_ls_leave_lock -c CLUSTER -i FS_ID [-w]\n");
    exit(2);
}

// Like the suites' names, so that nothing tells the lock apart from theirs.
std::string random_caller(std::mt19937_64& gen) {
    static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::uniform_int_distribution<int> length(10, 30);
    std::uniform_int_distribution<int> index(0, 61);
    std::string s;
    for (int n = length(gen); n > 0; --n) s.push_back(alphabet[index(gen)]);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const char* cluster = nullptr;
    uint64_t fs_id = 0;
    uint32_t flavour = LS_FLAVOUR_POSIX;
    int opt;
    while ((opt = getopt(argc, argv, "c:i:w")) != -1) {
        switch (opt) {
        case 'c':
            cluster = optarg;
            break;
        case 'i': {
            char* end = nullptr;
            errno = 0;
            fs_id = strtoull(optarg, &end, 16);
            if (errno != 0 || end == optarg || *end != '\0' || fs_id == 0) {
                fprintf(stderr, "tarn_ls_leave_lock: invalid file system id '%s'\n", optarg);
                return 2;
            }
            break;
        }
        case 'w':
            flavour = LS_FLAVOUR_WINDOWS;
            break;
        default:
            usage();
        }
    }
    if (!cluster || fs_id == 0 || optind != argc) usage();

    std::random_device rd("default");
    std::mt19937_64 gen((uint64_t(rd()) << 32) | rd());
    std::string caller = random_caller(gen);
    // Never 0, and above the small ids the suites use.
    uint64_t owner_id = gen() | (uint64_t(1) << 63);

    (void)kiv_check_build_version("unknown");
    kiv_process process{};
    if (kiv_process_init_(&process) != 0 || kiv_process_start(&process, "evloop") != 0) {
        fprintf(stderr, "tarn_ls_leave_lock: cannot start a runtime process\n");
        return 1;
    }
    ls_client_cfg cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.cluster = cluster;
    cfg.local_id = 12345;
    ls_client* client = nullptr;
    int rc = 1;
    if (ls_client_create(&cfg, &process, &client) != 0) {
        fprintf(stderr, "tarn_ls_leave_lock: cannot create a lock client for cluster '%s'\n", cluster);
    } else if (!tarn_ls_wait_resolved(client, fs_id)) {
        fprintf(stderr, "tarn_ls_leave_lock: the lock client never learned the lock server\n");
        ls_client_destroy(client);
    } else {
        ls_lock_owner owner;
        memset(&owner, 0, sizeof owner);
        kiv_parse_netaddr_port("127.0.0.1", "0", &owner.addr);
        owner.caller = caller.c_str();
        owner.owner_id = owner_id;
        // The large range ExtremeBoundaryValues takes.
        ls_brlock_range range{
            .fh = kSuiteFile, .start = 0, .len = 9223372036854775807ull, .type = LS_LOCK_WRITE, .flavour = flavour};
        ls_stats stat = ls_denied;
        // Synchronous: on return the server has granted and holds the lock.
        if (ls_brlock_take(client, fs_id, &owner, &range, 0, nullptr, &stat) != 0)
            fprintf(stderr, "tarn_ls_leave_lock: the lock request on file 0x%" PRIx64 " did not complete\n",
                    kSuiteFile);
        else if (stat != ls_granted)
            fprintf(stderr, "tarn_ls_leave_lock: the lock on file 0x%" PRIx64 " was not granted (answer %u)\n",
                    kSuiteFile, unsigned(stat));
        else
            rc = 0;
        // Deliberately no free: the lock is to outlive this process.
        ls_client_destroy(client);
    }
    kiv_process_terminate(&process);
    kiv_process_wait(&process);
    kiv_process_fini(&process);
    if (rc == 0) printf("%s 0x%" PRIx64 "\n", caller.c_str(), owner_id);
    return rc;
}

#include "tests/ls/leftover_locks.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "kiv/base.h"
#include "kiv/loop.h"
#include "ls_client/ls_client.h"
#include "tests/ls/resolver_ready.h"
#include "tests/ls/tarn_ls_test.h"

const uint64_t tarn_ls_suite_handles[] = {
    0x1000, 0x1111, 0x1234, 0x2000, 0x2222, 0x3333, 0x4444, 0x4567, 0x5000, 0x5555, 0x5678,
    0x6666, 0x7777, 0x8888, 0x9999, 0xAAAA, 0xBBBB, 0xBEEF, 0xCCCC, 0xDDDD, 0xFEED, 0xFFFFFFFFFFFFFFFF,
};
const size_t tarn_ls_suite_handle_count = sizeof tarn_ls_suite_handles / sizeof tarn_ls_suite_handles[0];

namespace {

// The search callback takes no context; the check runs one search at a time
// and the callback runs before the search returns.
struct FirstWindowsLock {
    bool found = false;
    int error = 0;
    ls_ctrl_win_lock_info lock{};
    std::string caller;
};
FirstWindowsLock g_first;

void first_lock_cb(ls_ctrl_search_result* result, int error) {
    g_first.error = error;
    if (!result || result->returned_count == 0) return;
    g_first.found = true;
    g_first.lock = result->locks[0];
    g_first.caller = result->locks[0].owner_info.caller ? result->locks[0].owner_info.caller : "";
    g_first.lock.owner_info.caller = nullptr;
    ls_client_search_result_free(result);
}

std::string bytes_text(uint64_t start, uint64_t len, uint32_t flavour) {
    char b[96];
    if (len == 0 && flavour == LS_FLAVOUR_POSIX)
        snprintf(b, sizeof b, "bytes %" PRIu64 " to the end of the file", start);
    else if (len == 0)
        snprintf(b, sizeof b, "the point %" PRIu64, start);
    else
        snprintf(b, sizeof b, "bytes %" PRIu64 " to %" PRIu64, start, start + (len - 1));
    return b;
}

std::string hex(uint64_t v) {
    char b[24];
    snprintf(b, sizeof b, "0x%" PRIx64, v);
    return b;
}

struct Checker {
    const char* cluster;
    const char* fs_name;
    uint64_t fs_id;
    kiv_process process{};
    bool started = false;
    ls_client* client = nullptr;

    std::string where() const {
        char id[24];
        snprintf(id, sizeof id, "%" PRIx64, fs_id);
        return std::string("file system '") + fs_name + "' (id " + id + ")";
    }

    std::string left_behind(uint64_t fh, const std::string& what) const {
        return "Lock left behind on file " + hex(fh) + " of " + where() + ": " + what +
               "; the suites cannot pass while it is held: restart the lock service (on a local cluster: "
               "kelvane-localcluster ctl ls restart " +
               fs_name + ")";
    }

    std::string run() {
        (void)kiv_check_build_version("unknown");
        if (kiv_process_init_(&process) != 0) return "Cannot start a runtime process to look for leftover locks";
        if (kiv_process_start(&process, "evloop") != 0) {
            kiv_process_fini(&process);
            return "Cannot start a runtime process to look for leftover locks";
        }
        started = true;
        ls_client_cfg cfg;
        memset(&cfg, 0, sizeof cfg);
        cfg.cluster = cluster;
        cfg.local_id = 12345;
        if (ls_client_create(&cfg, &process, &client) != 0)
            return "Cannot create a lock client to look for leftover locks in " + where();
        if (!tarn_ls_wait_resolved(client, fs_id))
            return "The lock client never learned the lock server of " + where();

        // Windows locks anywhere: the search names their callers.
        g_first = FirstWindowsLock{};
        ls_ctrl_search_filter all{};
        if (ls_ctrl_search_win_brlocks(client, fs_id, &all, 1, nullptr, first_lock_cb) != 0 || g_first.error != 0)
            return "Cannot search the Windows locks of " + where() + " for leftover locks";
        if (g_first.found) {
            const ls_ctrl_win_lock_info& l = g_first.lock;
            return left_behind(l.lock_info.fh, std::string("Windows ") +
                                                    (l.lock_info.type == LS_LOCK_READ ? "shared" : "exclusive") +
                                                    " lock of caller '" + g_first.caller + "', owner_id " +
                                                    hex(l.owner_info.owner_id) + ", " +
                                                    bytes_text(l.lock_info.start, l.lock_info.len, LS_FLAVOUR_WINDOWS));
        }

        // POSIX locks: a whole-file exclusive test by a caller of our own
        // meets every lock of another owner; with no Windows lock left, the
        // holder it reports is a POSIX one, whose caller no request reveals.
        std::string probe = "leftover-probe-" + TARNLSTest::createRandomString();
        ls_lock_owner owner = TARNLSTest::make_owner(probe.c_str(), "127.0.0.1", 0);
        for (size_t i = 0; i < tarn_ls_suite_handle_count; i++) {
            uint64_t fh = tarn_ls_suite_handles[i];
            ls_brlock_range whole = TARNLSTest::make_range(fh, 0, 0, LS_LOCK_WRITE, LS_FLAVOUR_POSIX);
            lock_test_res res;
            memset(&res, 0, sizeof res);
            if (ls_brlock_test(client, fs_id, &owner, &whole, &res, nullptr, nullptr) != 0)
                return "Cannot test file " + hex(fh) + " of " + where() + " for leftover locks";
            if (!res.granted)
                return left_behind(fh, std::string("POSIX ") +
                                           (res.range.type == LS_LOCK_READ ? "shared" : "exclusive") +
                                           " lock of owner_id " + hex(res.owner.owner_id) + ", " +
                                           bytes_text(res.range.start, res.range.len, LS_FLAVOUR_POSIX) +
                                           ", of a caller no run knows");
        }
        return "";
    }

    ~Checker() {
        if (client) ls_client_destroy(client);
        if (started) {
            kiv_process_terminate(&process);
            kiv_process_wait(&process);
            kiv_process_fini(&process);
        }
    }
};

}  // namespace

std::string tarn_ls_find_leftover_lock(const char* cluster, const char* fs_name, uint64_t fs_id) {
    Checker c{cluster, fs_name, fs_id};
    return c.run();
}

#include "utils/target_check.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/mds.h"

std::string tarn_check_target_records(const std::string& cluster, const tarn_target_query& q, uint32_t limit_ms) {
    char* conf = kiv_cluster_conf_path(cluster.c_str());
    const std::string path = conf;
    __kiv_free(conf);
    const std::string in_cluster = "cluster '" + cluster + "' (" + path + ")";
    // The runtime's own reading of the file, for its cause: the lookup
    // below reads it again with the log muted.
    char* bad = nullptr;
    if (kiv_cluster_conf_check(cluster.c_str(), &bad) != 0) {
        const std::string cause = bad;
        __kiv_free(bad);
        return "Cannot use cluster '" + cluster + "': " + cause;
    }

    // The runtime reports every failed connection attempt; the one line
    // below says it all.
    const int saved_level = __kiv_log_level.exchange(-1);
    kiv_process proc{};
    std::string why;
    discov* handle = nullptr;
    if (kiv_process_init_(&proc) != 0 || kiv_process_start(&proc, "check") != 0) {
        why = "Cannot start a runtime process to check " + in_cluster;
    } else if (int rc = discov_create(cluster.c_str(), q.ns, DISCOV_MODE_READ_ONLY, &proc, &handle); rc != 0) {
        why = "Cannot use " + in_cluster + ": " + strerror(-rc);
    } else {
        // The listing waits for a registry that may never answer: it gets
        // `limit_ms`, then its handle is destroyed, which ends it.
        struct Listing {
            std::mutex mu;
            std::condition_variable cv;
            bool done = false;
            int rc = 0;
            discov_svc_map* map = nullptr;
            std::string why;  // a malformed record: its key and fault
        } listing;
        std::thread lister([&] {
            kiv_move_to_coroutine(&proc);
            discov_svc_map* map = nullptr;
            char* bad_record = nullptr;
            const int rc = discov_co_get_svc_map_why(handle, &map, &bad_record);
            kiv_move_from_coroutine();
            std::lock_guard<std::mutex> g(listing.mu);
            if (bad_record) listing.why = bad_record;
            __kiv_free(bad_record);
            listing.rc = rc;
            listing.map = map;
            listing.done = true;
            listing.cv.notify_all();
        });
        bool in_time;
        {
            std::unique_lock<std::mutex> g(listing.mu);
            in_time = listing.cv.wait_for(g, std::chrono::milliseconds(limit_ms), [&] { return listing.done; });
        }
        if (!in_time) discov_destroy(handle);
        lister.join();
        if (in_time) discov_destroy(handle);
        // The listing gives up by itself when the registry's connection is
        // not up within its own wait, as long as ours: which of the two ends
        // first is up to the scheduler, and both mean the same.
        if (!in_time || listing.rc == -ETIMEDOUT) {
            why = "Cannot use " + in_cluster + ": its registry did not answer within " +
                  std::to_string(limit_ms / 1000) + " s";
        } else if (listing.rc != 0) {
            why = "Cannot use " + in_cluster + ": listing its " + q.listed + " failed: " +
                  (listing.why.empty() ? std::string(strerror(-listing.rc)) : listing.why);
        } else {
            bool found = false;
            for (uint32_t i = 0; i < listing.map->count && !found; i++) found = q.is_target(listing.map->records[i]);
            if (!found) why = "Cannot use " + q.target + ": " + in_cluster + " has no " + q.record + " of it";
        }
        discov_svc_map_put(listing.map);
    }
    if (proc.core != nullptr) {
        kiv_process_terminate(&proc);
        kiv_process_wait(&proc);
        kiv_process_fini(&proc);
    }
    __kiv_log_level = saved_level;
    return why;
}

void TARNTargetCheckEnv::SetUp() {
    const std::string why = check_();
    if (why.empty()) return;
    fflush(stdout);
    fprintf(stderr, "%s\n", why.c_str());
    exit(2);
}

// The virtual-disk locator and its worker thread.
#include "client/tarn_vdisk_locator.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "client/tarn_cancel.h"
#include "client/tarn_mds_client_ops.h"
#include "client/tarn_pthread_utils.h"
#include "client/tarn_utils.h"
#include "kiv/base.h"

struct tarn_vdisk_locator {
    mds_client* mds; // borrowed
    pthread_mutex_t mutex;
    pthread_cond_t map_cond;  // broadcast whenever a map is installed
    pthread_cond_t wake_cond; // cuts the worker's pause short when stopping
    pthread_t worker;
    bool started;  // a worker was created and not yet joined
    bool exited;   // and it has returned
    bool stopping; // set once by destroy
    bool has_map;
    bool refresh_needed;
    uint32_t vdisk_count; // 0 until the first map; fixed from then on
    tarn_vdisk_location* locations;
    uint8_t* unmounted; // one flag per disk to report as unmounted, or null
    tarn_cancel_ctrl* cancel; // ends the worker's MDS call between attempts at destroy
};

namespace {

const char* const k_tag = "tarn_vdisk_locator";
// Both MDS calls of the worker give up after this long; the worker then
// pauses and tries again.
constexpr uint32_t k_mds_retry_timeout_ms = 5000;
constexpr tarn_vdisk_locator_pause k_default_pause = {1000, 4000};

std::atomic<uint32_t> g_pause_first_ms{k_default_pause.first_ms};
std::atomic<uint32_t> g_pause_max_ms{k_default_pause.max_ms};

void lock(tarn_vdisk_locator* loc) { KIV_BUG_ON(pthread_mutex_lock(&loc->mutex) != 0); }
void unlock(tarn_vdisk_locator* loc) { KIV_BUG_ON(pthread_mutex_unlock(&loc->mutex) != 0); }

void init_monotonic_cond(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    KIV_BUG_ON(pthread_condattr_init(&attr) != 0);
    KIV_BUG_ON(pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0);
    KIV_BUG_ON(pthread_cond_init(cond, &attr) != 0);
    KIV_BUG_ON(pthread_condattr_destroy(&attr) != 0);
}

timespec deadline_after(uint32_t ms) {
    timespec t;
    tarn_get_monotonic_time(&t);
    tarn_add_duration(&t, ms);
    return t;
}

void ensure_unmounted_flags(tarn_vdisk_locator* loc) {
    if (loc->unmounted == nullptr)
        loc->unmounted = static_cast<uint8_t*>(
            __kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, std::max<size_t>(loc->vdisk_count, 1)));
}

// Waits, with the mutex held, until the pause is over or the locator stops.
void pause_locked(tarn_vdisk_locator* loc, uint32_t* pause_ms) {
    const timespec deadline = deadline_after(*pause_ms);
    while (!loc->stopping) {
        const int rc = pthread_cond_timedwait(&loc->wake_cond, &loc->mutex, &deadline);
        if (rc == ETIMEDOUT) break;
        KIV_BUG_ON(rc != 0);
    }
    const uint64_t doubled = uint64_t(*pause_ms) * 2;
    *pause_ms = uint32_t(std::min<uint64_t>(doubled, std::max(g_pause_max_ms.load(), g_pause_first_ms.load())));
}

// Installs `map` (mutex held) and wakes everyone waiting for a first map.
// A map of another size than the known one comes from a confused or hostile
// server: it is refused, the current map stays, and false is returned.
bool install_map(tarn_vdisk_locator* loc, const mds_vdisk_map* map) {
    const uint32_t old_count = loc->vdisk_count;
    if (old_count == 0) {
        loc->vdisk_count = map->count;
        // Flags made for an empty map have no room for the new disks.
        __kiv_free(loc->unmounted);
        loc->unmounted = nullptr;
    } else if (map->count != old_count) {
        kiv_log(1, "Virtual-disk map has %u disks instead of %u; keeping the current map", map->count, old_count);
        return false;
    }
    const uint32_t count = loc->vdisk_count;
    auto* fresh = static_cast<tarn_vdisk_location*>(
        __kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, std::max<size_t>(count, 1) * sizeof(tarn_vdisk_location)));
    for (uint32_t i = 0; i < count; i++) {
        const mds_vdisk_map_entry& e = map->entries[i];
        fresh[i] = tarn_vdisk_location{e.host_id, e.location_token, e.ipv4, e.port};
    }
    tarn_vdisk_location* old = loc->has_map ? loc->locations : nullptr;
    loc->locations = fresh;
    loc->has_map = true;
    KIV_BUG_ON(pthread_cond_broadcast(&loc->map_cond) != 0);
    if (old != nullptr) {
        // A disk that moved to another host needs no report any more.
        if (old_count == count) {
            ensure_unmounted_flags(loc);
            for (uint32_t i = 0; i < count; i++)
                if (old[i].host_id != fresh[i].host_id) loc->unmounted[i] = 0;
        }
        __kiv_free(old);
    }
    return true;
}

void* worker_main(void* arg) {
    auto* loc = static_cast<tarn_vdisk_locator*>(arg);
    tarn_set_current_thread_name("tarn-clnt-sync");
    const mds_call_opts opts{k_mds_retry_timeout_ms, tarn_cancel_ctrl_get_token(loc->cancel), nullptr};
    std::vector<mds_vdisk_report> reports;

    lock(loc);
    uint32_t pause_ms = g_pause_first_ms.load();
    while (!loc->stopping) {
        if (loc->refresh_needed) {
            // Cleared before the fetch, so that a report made while it runs
            // asks for one more.
            loc->refresh_needed = false;
            unlock(loc);
            mds_vdisk_map* map = nullptr;
            const int rc = mds_client_get_vdisk_map(loc->mds, &map, &opts);
            lock(loc);
            const bool installed = rc >= 0 && install_map(loc, map);
            if (rc >= 0) mds_client_free_vdisk_map(map);
            if (!installed) {
                loc->refresh_needed = true;
                pause_locked(loc, &pause_ms);
                continue;
            }
            pause_ms = g_pause_first_ms.load();
            continue;
        }

        reports.clear();
        if (loc->unmounted != nullptr)
            for (uint32_t i = 0; i < loc->vdisk_count; i++)
                if (loc->unmounted[i] != 0)
                    reports.push_back(mds_vdisk_report{MDS_VDISK_REPORT_UNMOUNTED, i, loc->locations[i].host_id});
        if (reports.empty()) break;

        unlock(loc);
        const int rc = mds_client_report_vdisk(loc->mds, reports.data(), uint32_t(reports.size()), &opts);
        lock(loc);
        if (rc < 0) {
            pause_locked(loc, &pause_ms);
            continue;
        }
        for (const mds_vdisk_report& r : reports)
            if (loc->locations[r.vdisk_id].host_id == r.host_id) loc->unmounted[r.vdisk_id] = 0;
        pause_ms = g_pause_first_ms.load();
    }
    loc->exited = true;
    unlock(loc);
    return nullptr;
}

// Mutex held (except at creation, when nobody else knows the locator).
int ensure_worker_locked(tarn_vdisk_locator* loc) {
    KIV_BUG_ON(loc->stopping);
    if (loc->started && !loc->exited) return 0;
    if (loc->started) {
        // It has set `exited` and released the mutex for good, so joining
        // here cannot wait on us.
        KIV_BUG_ON(pthread_join(loc->worker, nullptr) != 0);
        loc->started = false;
        loc->exited = false;
    }
    const int rc = pthread_create(&loc->worker, nullptr, worker_main, loc);
    if (rc != 0) return -rc;
    loc->started = true;
    return 0;
}

// Whether a report about `host_id` on `vdisk_id` concerns the current map.
bool report_applies(const tarn_vdisk_locator* loc, uint32_t vdisk_id, uint64_t host_id) {
    return loc->has_map && vdisk_id < loc->vdisk_count && loc->locations[vdisk_id].host_id == host_id;
}

int find_vdisk_host(void* ctx, uint16_t vdisk_id, tarn_host_addr* out, uint64_t* location_token) {
    tarn_vdisk_location location;
    const int rc = tarn_vdisk_locator_get_location(static_cast<tarn_vdisk_locator*>(ctx), vdisk_id, &location);
    if (rc < 0) return rc;
    out->host_id = location.host_id;
    out->ipv4 = location.ipv4;
    out->port = location.port;
    *location_token = location.location_token;
    return 0;
}

void report_vdisk_unmounted(void* ctx, uint16_t vdisk_id, uint64_t host_id) {
    tarn_vdisk_locator_on_vdisk_unmounted(static_cast<tarn_vdisk_locator*>(ctx), vdisk_id, host_id);
}

void report_host_unreachable(void* ctx, uint16_t vdisk_id, uint64_t host_id) {
    tarn_vdisk_locator_on_host_unreachable(static_cast<tarn_vdisk_locator*>(ctx), vdisk_id, host_id);
}

void free_locator(tarn_vdisk_locator* loc) {
    KIV_BUG_ON(pthread_cond_destroy(&loc->wake_cond) != 0);
    KIV_BUG_ON(pthread_cond_destroy(&loc->map_cond) != 0);
    KIV_BUG_ON(pthread_mutex_destroy(&loc->mutex) != 0);
    tarn_cancel_ctrl_destroy(loc->cancel);
    __kiv_free(loc->locations);
    __kiv_free(loc->unmounted);
    __kiv_free(loc);
}

}  // namespace

int tarn_vdisk_locator_create(mds_client* mds, tarn_vdisk_locator** out) {
    auto* loc =
        static_cast<tarn_vdisk_locator*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(tarn_vdisk_locator)));
    loc->mds = mds;
    loc->refresh_needed = true;
    KIV_BUG_ON(pthread_mutex_init(&loc->mutex, nullptr) != 0);
    init_monotonic_cond(&loc->map_cond);
    init_monotonic_cond(&loc->wake_cond);
    loc->cancel = tarn_cancel_ctrl_create();
    lock(loc);
    const int rc = ensure_worker_locked(loc);
    unlock(loc);
    if (rc < 0) {
        free_locator(loc);
        return rc;
    }
    *out = loc;
    return 0;
}

void tarn_vdisk_locator_destroy(tarn_vdisk_locator* loc) {
    if (loc == nullptr) return;
    lock(loc);
    loc->stopping = true;
    const bool started = loc->started;
    tarn_cancel_ctrl_cancel(loc->cancel);
    KIV_BUG_ON(pthread_cond_broadcast(&loc->wake_cond) != 0);
    unlock(loc);
    // Joined without the mutex: the worker takes it once more on its way out.
    if (started) KIV_BUG_ON(pthread_join(loc->worker, nullptr) != 0);
    free_locator(loc);
}

int tarn_vdisk_locator_get_location(tarn_vdisk_locator* loc, uint32_t vdisk_id, tarn_vdisk_location* out) {
    lock(loc);
    int rc = 0;
    if (!loc->has_map)
        rc = -EAGAIN;
    else if (vdisk_id >= loc->vdisk_count)
        rc = -EINVAL;
    else
        *out = loc->locations[vdisk_id];
    unlock(loc);
    return rc;
}

int tarn_vdisk_locator_wait_for_location(tarn_vdisk_locator* loc, uint32_t vdisk_id, uint32_t wait_ms,
                                         tarn_vdisk_location* out) {
    const timespec deadline = deadline_after(wait_ms);
    lock(loc);
    KIV_BUG_ON(loc->stopping);
    int rc = 0;
    while (!loc->has_map) {
        rc = pthread_cond_timedwait(&loc->map_cond, &loc->mutex, &deadline);
        if (rc == ETIMEDOUT) break;
        KIV_BUG_ON(rc != 0);
    }
    if (!loc->has_map)
        rc = -ETIMEDOUT;
    else if (vdisk_id >= loc->vdisk_count)
        rc = -EINVAL;
    else {
        rc = 0;
        *out = loc->locations[vdisk_id];
    }
    unlock(loc);
    return rc;
}

void tarn_vdisk_locator_on_vdisk_unmounted(tarn_vdisk_locator* loc, uint32_t vdisk_id, uint64_t host_id) {
    lock(loc);
    KIV_BUG_ON(loc->stopping);
    if (report_applies(loc, vdisk_id, host_id)) {
        loc->refresh_needed = true;
        ensure_unmounted_flags(loc);
        loc->unmounted[vdisk_id] = 1;
        ensure_worker_locked(loc);
    }
    unlock(loc);
}

void tarn_vdisk_locator_on_host_unreachable(tarn_vdisk_locator* loc, uint32_t vdisk_id, uint64_t host_id) {
    lock(loc);
    KIV_BUG_ON(loc->stopping);
    if (report_applies(loc, vdisk_id, host_id)) {
        loc->refresh_needed = true;
        ensure_worker_locked(loc);
    }
    unlock(loc);
}

ds_locator_callbacks tarn_vdisk_locator_ds_callbacks(tarn_vdisk_locator* locator) {
    return ds_locator_callbacks{locator, find_vdisk_host, report_vdisk_unmounted, report_host_unreachable};
}

void tarn_vdisk_locator_set_pause(const tarn_vdisk_locator_pause* pause) {
    const tarn_vdisk_locator_pause p = pause != nullptr ? *pause : k_default_pause;
    g_pause_first_ms.store(std::max<uint32_t>(p.first_ms, 1));
    g_pause_max_ms.store(p.max_ms);
}

bool tarn_vdisk_locator_worker_running(tarn_vdisk_locator* loc) {
    lock(loc);
    const bool running = loc->started && !loc->exited;
    unlock(loc);
    return running;
}

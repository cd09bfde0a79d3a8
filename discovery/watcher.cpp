// Service watcher: a coroutine that keeps the newest service map of one
// namespace and calls its owner back whenever a newer one is in place.
//
// The worker lists the namespace, then long-polls with 40-second watches and
// lists again when a watch reports changed records. A failed listing or a
// failed watch is followed by a 5-second pause that stopping cuts short.
#include "discovery/watcher.h"

#include <errno.h>

#include <mutex>
#include <new>

#include "discovery/discov.h"
#include "discovery/discov_internal.h"
#include "discovery/stat.h"
#include "discovery/svc_map.h"
#include "kiv/base.h"
#include "kiv/loop.h"

namespace {

const char* const k_tag = "discov_watcher";
constexpr uint32_t k_watch_timeout_s = 40;
constexpr uint64_t k_list_retry_ms = 5000;

}  // namespace

struct dsc_watcher {
    discov* handle;  // own context and connection, mode 0
    void (*callback)(void* arg);
    void* arg;
    // Read from any thread by dsc_watcher_get_curr_svc_map, replaced by the
    // worker; the lock makes "load and take a reference" one step.
    std::mutex curr_lock;
    discov_svc_map* curr;
    kiv_co* worker;  // cleared by the worker as it ends
    bool stop;
    kiv_co_event event;
};

namespace {

// Makes `map` current when it is newer than the current one (or there is
// none yet, or `any` says the registry's generations started over);
// otherwise drops it. True when it became current.
bool install_map(dsc_watcher* w, discov_svc_map* map, bool any) {
    discov_svc_map* prev;
    bool newer;
    {
        std::lock_guard<std::mutex> g(w->curr_lock);
        prev = w->curr;
        newer = any || prev == nullptr || map->generation > prev->generation;
        if (newer) w->curr = map;
    }
    if (!newer) {
        dsc_svc_map_unref(map);
        return false;
    }
    dsc_svc_map_unref(prev);
    return true;
}

uint64_t current_generation(dsc_watcher* w) {
    std::lock_guard<std::mutex> g(w->curr_lock);
    return w->curr ? w->curr->generation : 0;
}

// Waits out the pause after a failure; stopping cuts it short. False when
// stopping.
bool pause_after_failure(dsc_watcher* w) {
    if (w->stop) return false;
    kiv_co_event_wait_timeout(&w->event, &k_list_retry_ms);
    return !w->stop;
}

// Lists until a listing succeeds or the watcher stops. False when stopping.
// With `any` the listing becomes current whatever its generation.
bool list_and_install(dsc_watcher* w, bool any) {
    for (;;) {
        discov_svc_map* map = nullptr;
        int rc = discov_co_get_svc_map(w->handle, &map);
        if (rc == 0) {
            if (install_map(w, map, any)) {
                if (w->stop) return false;
                discov_stats_watcher_updated();
                w->callback(w->arg);
            }
            return true;
        }
        if (!pause_after_failure(w)) return false;
    }
}

void watcher_co_worker(void* arg) {
    auto* w = static_cast<dsc_watcher*>(arg);
    kiv_trace(7, __func__, "worker started");
    // A stale watch means the registry no longer knows our generation; if it
    // went backwards (a registry that started over), no listing would ever
    // be newer than ours, so the next one is taken whatever it says.
    bool stale = false;
    while (!w->stop && list_and_install(w, stale)) {
        stale = false;
        uint64_t generation = current_generation(w);
        // Watch until a watch reports changed records (list again) or fails.
        while (!w->stop) {
            discov_svc_map* changes = nullptr;
            int rc = discov_co_watch_svc_map(w->handle, generation, k_watch_timeout_s, &changes);
            if (rc == -ETIMEDOUT) continue;
            if (rc != 0) {
                // A failing registry is not asked again at once, or a watch
                // that keeps failing would spin.
                stale = rc == -ESTALE;
                pause_after_failure(w);
                break;
            }
            generation = changes->generation;
            const uint32_t changed = changes->count;
            dsc_svc_map_unref(changes);
            if (changed != 0) break;
        }
    }
    kiv_trace(7, __func__, "worker finished");
    w->worker = nullptr;
}

}  // namespace

int dsc_co_watcher_create(const char* cluster, const char* namespace_key, void (*callback)(void* arg), void* arg,
                          kiv_process* process, dsc_watcher** out) {
    KIV_BUG_ON(callback == nullptr || out == nullptr);
    discov* handle = nullptr;
    int rc = discov_create(cluster, namespace_key, DISCOV_MODE_READ_ONLY, process, &handle);
    if (rc != 0) return rc;
    auto* w = new (__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(dsc_watcher))) dsc_watcher();
    w->handle = handle;
    w->callback = callback;
    w->arg = arg;
    kiv_co_event_init(&w->event);
    // The worker cannot run before this coroutine yields, so the field is set
    // before the worker could clear it.
    w->worker = kiv_co_create(nullptr, watcher_co_worker, w);
    *out = w;
    return 0;
}

void dsc_co_watcher_destroy(dsc_watcher* w) {
    KIV_BUG_ON(!kiv_can_co_wait());
    kiv_trace(7, __func__, "destroying watcher");
    w->stop = true;
    kiv_co_event_signal(&w->event);
    // Closing the connection ends whatever request the worker waits for; the
    // handle itself stays until the worker can no longer touch it.
    dsc_discov_close_conn(w->handle);
    kiv_trace(7, __func__, "waiting for the worker to finish");
    if (w->worker != nullptr) kiv_co_join(w->worker);
    discov_destroy(w->handle);
    w->handle = nullptr;
    {
        std::lock_guard<std::mutex> g(w->curr_lock);
        dsc_svc_map_unref(w->curr);
        w->curr = nullptr;
    }
    discov_stats_watcher_destroyed();
    kiv_co_event_fini(&w->event);
    w->~dsc_watcher();
    __kiv_free(w);
    kiv_trace(7, __func__, "watcher destroyed");
}

discov_svc_map* dsc_watcher_get_curr_svc_map(dsc_watcher* w) {
    std::lock_guard<std::mutex> g(w->curr_lock);
    if (w->curr != nullptr) dsc_svc_map_ref(w->curr);
    return w->curr;
}

int discov_co_start_watching(discov* d, void (*callback)(void* arg), void* arg, dsc_watcher** out) {
    KIV_BUG_ON(!kiv_can_co_wait());
    const uint64_t start = discov_stats_op_start(DISCOV_OP_START_WATCHING);
    int rc = dsc_co_watcher_create(d->ctx->cluster, d->ns, callback, arg, d->ctx->process, out);
    if (rc == 0) discov_stats_watcher_created();
    discov_stats_op_complete(DISCOV_OP_START_WATCHING, rc, start);
    return rc;
}

void discov_co_stop_watching(dsc_watcher* w) { dsc_co_watcher_destroy(w); }

discov_svc_map* discov_get_curr_svc_map(dsc_watcher* w) { return dsc_watcher_get_curr_svc_map(w); }

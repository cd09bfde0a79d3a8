#include "localcluster/ds/replicator.h"

#include <pthread.h>
#include <stdio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

struct lc_replicator {
    lc_ds_disk* disk = nullptr;
    lc_replicator_ops ops;
    std::mutex mu;
    std::condition_variable cv;
    bool kicked = false;
    bool busy = false;
    bool stopping = false;
    unsigned long passes = 0;
    std::thread thread;
};

namespace {

// One pass over the dirty set; *blocked when it stopped because nothing
// more could be pushed. Returns the number of objects still dirty.
size_t pass(lc_replicator* r, bool* blocked) {
    *blocked = false;
    for (uint64_t id : lc_ds_disk_dirty_ids(r->disk)) {
        {
            std::lock_guard<std::mutex> g(r->mu);
            if (r->stopping) break;
        }
        if (!r->ops.can_flush(r->ops.ctx)) {
            *blocked = true;
            break;
        }
        lc_ds_attrs snap;
        if (lc_ds_disk_snapshot(r->disk, id, &snap) != LC_DS_OK) {
            lc_ds_disk_dirty_done(r->disk, id, UINT64_MAX);  // freed meanwhile
            continue;
        }
        if (!r->ops.push(r->ops.ctx, &snap)) {
            *blocked = true;
            break;
        }
        lc_ds_disk_dirty_done(r->disk, id, snap.attr_version);
    }
    return lc_ds_disk_dirty_count(r->disk);
}

void run(lc_replicator* r) {
    std::unique_lock<std::mutex> lk(r->mu);
    for (;;) {
        r->cv.wait(lk, [r] { return r->kicked || r->stopping; });
        if (r->stopping) return;
        r->kicked = false;
        r->busy = true;
        lk.unlock();
        bool blocked = false;
        size_t left = pass(r, &blocked);
        if (r->ops.pass_done) r->ops.pass_done(r->ops.ctx, left);
        lk.lock();
        r->busy = false;
        r->passes++;
        // Objects that changed while they were pushed are still dirty: go
        // round again while progress is possible. A blocked pass waits for
        // the next kick (the MDS or the flag coming back sends one).
        if (left > 0 && !blocked) r->kicked = true;
        r->cv.notify_all();
    }
}

}  // namespace

lc_replicator* lc_replicator_start(lc_ds_disk* disk, const lc_replicator_ops& ops, const char* name) {
    auto* r = new lc_replicator;
    r->disk = disk;
    r->ops = ops;
    r->thread = std::thread(run, r);
    char tname[16] = {};
    snprintf(tname, sizeof tname, "%s", name ? name : "lc-repl");
    pthread_setname_np(r->thread.native_handle(), tname);
    return r;
}

void lc_replicator_kick(lc_replicator* r) {
    {
        std::lock_guard<std::mutex> g(r->mu);
        r->kicked = true;
    }
    r->cv.notify_all();
}

void lc_replicator_stop(lc_replicator* r) {
    if (!r) return;
    {
        std::lock_guard<std::mutex> g(r->mu);
        r->stopping = true;
    }
    r->cv.notify_all();
    r->thread.join();
    delete r;
}

bool lc_replicator_idle(lc_replicator* r) {
    std::lock_guard<std::mutex> g(r->mu);
    return !r->busy && !r->kicked;
}

unsigned long lc_replicator_passes(lc_replicator* r) {
    std::lock_guard<std::mutex> g(r->mu);
    return r->passes;
}

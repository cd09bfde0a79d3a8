// The client object, its lazily made connection pools, and opening and
// closing file systems.
#include <errno.h>
#include <pthread.h>

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "client/tarn_client.h"
#include "client/tarn_client_utils.h"
#include "kiv/base.h"

namespace {

const char* const k_tag = "tarn_client";
constexpr uint32_t k_mds_lanes = 4;

[[noreturn]] void client_bug(int line, const char* func) { kiv_bug(k_tag, line, func); }

#define CLIENT_CHECK(cond)                                                \
    do {                                                                  \
        if (__builtin_expect(!(cond), 0)) client_bug(__LINE__, __func__); \
    } while (0)

class ClientLock {
   public:
    explicit ClientLock(tarn_client* client) : client_(client) {
        CLIENT_CHECK(pthread_mutex_lock(&client_->mutex) == 0);
    }
    ~ClientLock() { CLIENT_CHECK(pthread_mutex_unlock(&client_->mutex) == 0); }
    ClientLock(const ClientLock&) = delete;
    ClientLock& operator=(const ClientLock&) = delete;

   private:
    tarn_client* client_;
};

const tarn_fs_parts_ops k_default_parts = {
    mds_client_create, mds_client_destroy, tarn_vdisk_locator_create,
    tarn_vdisk_locator_destroy, ds_client_create, ds_client_destroy,
};

std::atomic<const tarn_fs_parts_ops*> g_parts{&k_default_parts};
tarn_fs_parts_ops g_custom_parts;

// Makes the factory when there is none yet, then the pool in `slot` when
// that is still empty. Called with the client's mutex held; only memory and
// the engine set-up happen under it, never a request.
int take_pool(tarn_client* client, tarn_conn_pool** slot) {
    if (client->factory == nullptr) {
        int rc = tarn_conn_factory_create(client->params.client_id, client->process, &client->factory);
        if (rc < 0) return rc;
    }
    if (*slot == nullptr) {
        // One slot per host: requests to one server share its connection.
        int rc = tarn_conn_pool_create(1, client->factory, tarn_conn_create, slot);
        if (rc < 0) {
            *slot = nullptr;
            return rc;
        }
    }
    return 0;
}

void destroy_lanes(tarn_client* client) {
    for (uint32_t i = 0; i < client->lane_count; i++) {
        tarn_client_lane* lane = &client->lanes[i];
        tarn_conn_pool_destroy(lane->ds_pool);
        tarn_conn_pool_destroy(lane->mds_pool);
        tarn_conn_factory_destroy(lane->factory);
        kiv_process_fini(&lane->process);  // stops its loop first
    }
    __kiv_free(client->lanes);
    __kiv_free(client->ds_lanes);
    __kiv_free(client->mds_lanes);
    client->lanes = nullptr;
    client->ds_lanes = nullptr;
    client->mds_lanes = nullptr;
    client->lane_count = 0;
}

int make_lane(tarn_client* client, tarn_client_lane* lane, uint32_t index) {
    int rc = kiv_process_init_(&lane->process);
    if (rc < 0) return rc;
    char name[24];  // thread names keep 15 bytes
    snprintf(name, sizeof name, "tarn-lane-%u", index % 100);
    rc = kiv_process_start(&lane->process, name);
    if (rc < 0) return rc;
    rc = tarn_conn_factory_create(client->params.client_id, &lane->process, &lane->factory);
    if (rc == 0) rc = tarn_conn_pool_create(1, lane->factory, tarn_conn_create, &lane->ds_pool);
    if (rc == 0) rc = tarn_conn_pool_create(1, lane->factory, tarn_conn_create, &lane->mds_pool);
    return rc;
}

// Makes the lanes when there are none yet. Called with the client's mutex
// held, like take_pool.
int take_lanes(tarn_client* client) {
    if (client->lanes != nullptr) return 0;
    const uint32_t count = tarn_client_lane_count();
    client->lanes = static_cast<tarn_client_lane*>(
        __kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, count * sizeof(tarn_client_lane)));
    client->ds_lanes =
        static_cast<tarn_call_lane*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, count * sizeof(tarn_call_lane)));
    client->mds_lanes =
        static_cast<tarn_call_lane*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, count * sizeof(tarn_call_lane)));
    int rc = 0;
    for (uint32_t i = 0; i < count && rc == 0; i++) {
        client->lane_count = i + 1;  // what destroy_lanes undoes
        tarn_client_lane* lane = &client->lanes[i];
        rc = make_lane(client, lane, i);
        client->ds_lanes[i] = tarn_call_lane{&lane->process, lane->ds_pool};
        client->mds_lanes[i] = tarn_call_lane{&lane->process, lane->mds_pool};
    }
    if (rc < 0) destroy_lanes(client);
    return rc;
}

}  // namespace

uint32_t tarn_client_lane_count(void) {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return uint32_t(std::clamp<long>(cpus, 1, 8));
}

tarn_fs_parts_ops tarn_fs_default_parts_ops(void) { return k_default_parts; }

void tarn_fs_set_parts_ops(const tarn_fs_parts_ops* ops) {
    if (ops == nullptr) {
        g_parts.store(&k_default_parts);
        return;
    }
    g_custom_parts = *ops;
    g_parts.store(&g_custom_parts);
}

int tarn_client_epoch_provider(void* ctx, uint32_t* epoch) {
    *epoch = static_cast<const tarn_client*>(ctx)->params.epoch;
    return 0;
}

int tarn_client_create(const tarn_client_params* params, discov* discovery, kiv_process* process,
                       tarn_client** client_out) {
    if (params == nullptr || discovery == nullptr || process == nullptr || client_out == nullptr) return -EINVAL;
    // The resolver comes first: without it nothing else is of use.
    mds_resolver* resolver = nullptr;
    int rc = mds_resolver_create(discovery, process, &resolver);
    if (rc < 0) return rc;
    auto* client = static_cast<tarn_client*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(tarn_client)));
    client->params = *params;
    client->resolver = resolver;
    client->process = process;
    CLIENT_CHECK(pthread_mutex_init(&client->mutex, nullptr) == 0);
    *client_out = client;
    return 0;
}

void tarn_client_destroy(tarn_client* client) {
    if (client == nullptr) return;
    destroy_lanes(client);
    tarn_conn_pool_destroy(client->ds_pool);
    tarn_conn_pool_destroy(client->mds_pool);
    tarn_conn_factory_destroy(client->factory);
    mds_resolver_destroy(client->resolver);
    CLIENT_CHECK(pthread_mutex_destroy(&client->mutex) == 0);
    __kiv_free(client);
}

int tarn_client_open_fs(tarn_client* client, const char* fs_name, tarn_fs** fs_out) {
    if (client == nullptr || fs_name == nullptr || fs_out == nullptr) return -EINVAL;
    const tarn_fs_parts_ops* ops = g_parts.load();

    tarn_conn_pool* mds_pool = nullptr;
    int rc;
    {
        ClientLock lock(client);
        rc = take_pool(client, &client->mds_pool);
        mds_pool = client->mds_pool;
        if (rc == 0) rc = take_lanes(client);
    }
    if (rc < 0) return rc;

    mds_client* mds = nullptr;
    tarn_vdisk_locator* locator = nullptr;
    ds_client* ds = nullptr;
    rc = ops->mds_client_create(fs_name, mds_pool, client->params.client_id, tarn_client_epoch_provider, client,
                                client->resolver, client->process, &mds);
    // Lanes first: the locator's thread starts calling at once.
    // The MDS serves a file system on one loop: more connections than a few
    // only split its work into more, smaller reads.
    if (rc == 0) mds_client_set_lanes(mds, client->mds_lanes, std::min(client->lane_count, k_mds_lanes));
    if (rc == 0) rc = ops->locator_create(mds, &locator);
    tarn_conn_pool* ds_pool = nullptr;
    if (rc == 0) {
        ClientLock lock(client);
        CLIENT_CHECK(client->params.required_flag != 0);
        rc = take_pool(client, &client->ds_pool);
        ds_pool = client->ds_pool;
    }
    if (rc == 0) {
        // The DS client asks the locator for a disk's host at every send and
        // tells it about unreachable hosts and unmounted disks.
        rc = ops->ds_client_create(ds_pool, client->params.client_id, tarn_client_epoch_provider, client,
                                   client->process, &ds, tarn_vdisk_locator_ds_callbacks(locator));
        if (rc == 0) ds_client_set_lanes(ds, client->ds_lanes, client->lane_count);
    }
    if (rc < 0) {
        // The DS client uses the locator and the locator's thread uses the
        // MDS client, so they go in this order.
        if (ds != nullptr) ops->ds_client_destroy(ds);
        if (locator != nullptr) ops->locator_destroy(locator);
        if (mds != nullptr) ops->mds_client_destroy(mds);
        return rc;
    }

    auto* fs = static_cast<tarn_fs*>(__kiv_zmalloc(k_tag, KIV_POS, KIV_MEM_NOFAIL, sizeof(tarn_fs)));
    fs->client = client;
    fs->ds = ds;
    fs->mds = mds;
    fs->locator = locator;
    fs->parts = *ops;
    *fs_out = fs;
    return 0;
}

void tarn_client_close_fs(tarn_fs* fs) {
    if (fs == nullptr) return;
    const tarn_fs_parts_ops* ops = &fs->parts;
    ops->ds_client_destroy(fs->ds);
    ops->locator_destroy(fs->locator);
    ops->mds_client_destroy(fs->mds);
    __kiv_free(fs);
}

tarn_conn_factory* tarn_client_get_factory(tarn_client* client) {
    ClientLock lock(client);
    return client->factory;
}

tarn_conn_pool* tarn_client_get_mds_pool(tarn_client* client) {
    ClientLock lock(client);
    return client->mds_pool;
}

tarn_conn_pool* tarn_client_get_ds_pool(tarn_client* client) {
    ClientLock lock(client);
    return client->ds_pool;
}

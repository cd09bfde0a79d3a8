// The client object, its lazily made connection pools, and opening and
// closing file systems.
#include <errno.h>
#include <pthread.h>

#include <atomic>

#include "client/tarn_client.h"
#include "client/tarn_client_utils.h"
#include "kiv/base.h"

namespace {

const char* const k_tag = "tarn_client";

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

}  // namespace

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
    }
    if (rc < 0) return rc;

    mds_client* mds = nullptr;
    tarn_vdisk_locator* locator = nullptr;
    ds_client* ds = nullptr;
    rc = ops->mds_client_create(fs_name, mds_pool, client->params.client_id, tarn_client_epoch_provider, client,
                                client->resolver, client->process, &mds);
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

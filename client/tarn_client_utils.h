// Inside of the public client API: the client and open-file-system objects
// that tarn_client.h only names, the helpers its operations share, and the
// hooks that let tests replace the parts of an open file system.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "client/tarn_client.h"
#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_ds_client.h"
#include "client/tarn_mds_client.h"
#include "client/tarn_mds_resolver.h"
#include "client/tarn_vdisk_locator.h"

// The makers and destroyers of the parts of an open file system. Opening
// and closing go through this table so that tests can watch the order and
// make a step fail; everyone else keeps the default.
struct tarn_fs_parts_ops {
    int (*mds_client_create)(const char* fs_name, tarn_conn_pool* pool, uint64_t client_id, tarn_epoch_cb epoch_cb,
                             void* epoch_ctx, mds_resolver* resolver, kiv_process* process, mds_client** out);
    void (*mds_client_destroy)(mds_client* client);
    int (*locator_create)(mds_client* mds, tarn_vdisk_locator** out);
    void (*locator_destroy)(tarn_vdisk_locator* locator);
    int (*ds_client_create)(tarn_conn_pool* pool, uint64_t client_id, ds_epoch_cb epoch_cb, void* epoch_ctx,
                            kiv_process* process, ds_client** out, ds_locator_callbacks callbacks);
    void (*ds_client_destroy)(ds_client* client);
};

struct tarn_client_lane {
    kiv_process process;
    tarn_conn_factory* factory;
    tarn_conn_pool* ds_pool;
    tarn_conn_pool* mds_pool;
};

// How many lanes a client makes: one per processor, at most 8, so that no
// one loop does the I/O of every caller. MDS calls use at most 4 of them.
uint32_t tarn_client_lane_count(void);

struct tarn_client {
    tarn_client_params params;
    mds_resolver* resolver; // owned
    kiv_process* process;   // borrowed
    pthread_mutex_t mutex;  // guards the lazy creation of the three below
    tarn_conn_pool* ds_pool;      // owned, null until first needed
    tarn_conn_pool* mds_pool;     // owned, null until first needed
    tarn_conn_factory* factory;   // owned, null until first needed
    // The lanes that calls from plain threads are spread over
    // (tarn_call_engine.h), made with the first open file system: each a
    // runtime process of the client's own with a factory and two pools.
    tarn_client_lane* lanes;       // owned, lane_count of them
    uint32_t lane_count;
    tarn_call_lane* ds_lanes;      // owned, the DS pool of each lane
    tarn_call_lane* mds_lanes;     // owned, the MDS pool of each lane
};

struct tarn_fs {
    tarn_client* client; // borrowed
    ds_client* ds;              // owned
    mds_client* mds;            // owned
    tarn_vdisk_locator* locator; // owned
    tarn_fs_parts_ops parts;     // what made the three above, to destroy them alike
};

// A random non-zero 64-bit verifier from the kernel's random source.
uint64_t tarn_make_default_verifier(void);

// The retry time-outs of a client, as the context getters give them.
uint32_t tarn_client_mds_retry_timeout(const tarn_client* client);
uint32_t tarn_client_ds_retry_timeout(const tarn_client* client);

// The client's epoch, as the MDS and DS clients ask for it (`ctx` is the
// tarn_client). Always 0.
int tarn_client_epoch_provider(void* ctx, uint32_t* epoch);

tarn_fs_parts_ops tarn_fs_default_parts_ops(void);
// Null restores the defaults. Process-wide; set it only while no file
// system is being opened or closed.
void tarn_fs_set_parts_ops(const tarn_fs_parts_ops* ops);

// Test access to the lazily made connection objects (null until made).
tarn_conn_factory* tarn_client_get_factory(tarn_client* client);
tarn_conn_pool* tarn_client_get_mds_pool(tarn_client* client);
tarn_conn_pool* tarn_client_get_ds_pool(tarn_client* client);

// The replicator of one DS instance: a thread that hands the attributes of
// the objects in the DsDisk's dirty set to the MDS, so that a replica left
// behind while the MDS was down or replication was disabled catches up.
//
// It sleeps until kicked (the instance came up or replication was enabled
// again, the MDS came back), then makes passes over the dirty set while
// pushes can be taken, each pass pushing the current attributes of every
// dirty object. An object changed while its push was on the way stays
// dirty for the next pass. Nothing happens while the set is empty.
#pragma once

#include <stddef.h>

#include "localcluster/ds/ds_disk.h"

struct lc_replicator;

struct lc_replicator_ops {
    void* ctx = nullptr;
    // Whether pushes can be taken now (instance up, replication enabled,
    // MDS up). Asked before every push.
    bool (*can_flush)(void* ctx) = nullptr;
    // Hands one snapshot over; false when it was not taken.
    lc_ds_push_fn push = nullptr;
    // After every pass, with the number of objects still dirty. Optional.
    void (*pass_done)(void* ctx, size_t still_dirty) = nullptr;
};

// Starts the thread; `name` names it (at most 15 characters are kept).
lc_replicator* lc_replicator_start(lc_ds_disk* disk, const lc_replicator_ops& ops, const char* name);
// Wakes the thread for a pass. Safe from any thread; cheap.
void lc_replicator_kick(lc_replicator* r);
// Stops the thread (a pass in progress ends after its current push) and
// frees it.
void lc_replicator_stop(lc_replicator* r);
// No pass runs and none is due.
bool lc_replicator_idle(lc_replicator* r);
// Passes made so far.
unsigned long lc_replicator_passes(lc_replicator* r);

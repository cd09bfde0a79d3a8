// The virtual-disk locator of one open file system: the current map from
// virtual disk to the DS host serving it (address and location token),
// fetched from the MDS by a thread of its own, "tarn-clnt-sync".
//
// The thread exists only while there is work: it starts with the locator,
// ends once the map is fresh and every unmounted disk has been reported to
// the MDS, and is started again by a report from the DS client (a host was
// unreachable, or a disk was not mounted where the map says). A failed
// fetch or report is tried again after a pause (tarn_vdisk_locator_pause),
// which destroying the locator cuts short.
#pragma once

#include <stdint.h>

#include "client/tarn_ds_client.h"
#include "client/tarn_mds_client.h"

struct tarn_vdisk_locator;

struct tarn_vdisk_location {
    uint64_t host_id;
    uint64_t location_token; // carried by every DS request on the disk
    uint32_t ipv4;
    uint16_t port;
};

// Starts the worker at once. 0, or the negative error of starting it.
int tarn_vdisk_locator_create(mds_client* mds, tarn_vdisk_locator** out);
// Stops and joins the worker (after its current MDS call) and frees
// everything. No other call on the locator may be running or follow.
void tarn_vdisk_locator_destroy(tarn_vdisk_locator* locator);

// 0 and the disk's location; -EAGAIN while no map is known; -EINVAL for an
// id not below the disk count. Never waits.
int tarn_vdisk_locator_get_location(tarn_vdisk_locator* locator, uint32_t vdisk_id, tarn_vdisk_location* out);
// As get_location, but while no map is known waits up to `wait_ms` for the
// first one: -ETIMEDOUT when it does not come. Once a map exists it never
// waits, not even for a pending refresh.
int tarn_vdisk_locator_wait_for_location(tarn_vdisk_locator* locator, uint32_t vdisk_id, uint32_t wait_ms,
                                         tarn_vdisk_location* out);

// A DS answered that the disk is not mounted there / the disk's host could
// not be reached. Ignored unless the map names `host_id` for the disk.
void tarn_vdisk_locator_on_vdisk_unmounted(tarn_vdisk_locator* locator, uint32_t vdisk_id, uint64_t host_id);
void tarn_vdisk_locator_on_host_unreachable(tarn_vdisk_locator* locator, uint32_t vdisk_id, uint64_t host_id);

// The DS client's view of the locator: callbacks forwarding to the three
// functions above, with `locator` as their context.
ds_locator_callbacks tarn_vdisk_locator_ds_callbacks(tarn_vdisk_locator* locator);

// The pause after a failed fetch or report: `first_ms`, doubling after each
// further failure up to `max_ms`; a success starts again from `first_ms`.
// The default is 1000 ms doubling to 4000 ms. Process-wide, meant for
// tests; null restores the default.
struct tarn_vdisk_locator_pause {
    uint32_t first_ms;
    uint32_t max_ms;
};
void tarn_vdisk_locator_set_pause(const tarn_vdisk_locator_pause* pause);

// Whether the worker thread is running now (created and not yet ended).
bool tarn_vdisk_locator_worker_running(tarn_vdisk_locator* locator);

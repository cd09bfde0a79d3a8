// Fault-injection calls for testing the file server. Each makes a single
// attempt: a fault is what the caller is after, so nothing is retried.
#include <errno.h>
#include <string.h>

#include "client/tarn_client.h"
#include "client/tarn_client_conv.h"
#include "client/tarn_client_utils.h"
#include "client/tarn_ds_client.h"
#include "client/tarn_ds_client_ops.h"
#include "client/tarn_mds_client.h"
#include "client/tarn_mds_client_ops.h"
#include "client/tarn_vdisk_locator.h"
#include "client/tarn_wire.h"
#include "kiv/base.h"

namespace {

constexpr uint32_t k_ds_test_disable_replication = 1;
constexpr uint32_t k_ds_test_crash = 2;
constexpr uint32_t k_mds_test_crash = 2;

// The file-system flags that tell a server is not healthy: degraded (0x1),
// replicating (0x2), recovering (0x8).
constexpr uint32_t k_unhealthy_flags = 0xB;

// A server that goes down under the request drops the connection or lets
// the reply time out.
bool is_disconnect(rpc_error error) {
    return error.kind == RPC_ERR_RUNTIME && (error.code == KIV_E_CONNLOST || error.code == KIV_E_TIMEDOUT);
}

// Runs the request that `start` queues on a DS call to `target`, once.
template <class Start>
tarn_err run_single_ds_call(tarn_fs* fs, const ds_call_target& target, bool disconnect_is_success, Start&& start) {
    ds_call call;
    ds_call_init(&call, fs->ds, TARN_RETRY_NEVER, target);
    start(&call);
    ds_call_wait_for_result(&call);
    const bool failed = ds_call_get_state(&call) == CALL_FAILED;
    const rpc_error error = call.base.error;
    ds_call_fini(&call);
    if (!failed) return TARN_ERR_OK;
    if (disconnect_is_success && is_disconnect(error)) return TARN_ERR_OK;
    return ds_call2tarn_error(error);
}

// The DS that serves virtual disk 0, found through the locator like any
// file request: a file system opened a moment ago may not have its first
// map yet, so the call waits for it as they do.
tarn_err ds_test_command(tarn_fs* fs, uint32_t command, bool crash_tolerant) {
    tarn_vdisk_location location;
    int rc = tarn_vdisk_locator_wait_for_location(fs->locator, 0, tarn_client_mds_retry_timeout(fs->client),
                                                  &location);
    if (rc < 0) return posix2tarn_error(-rc);
    return run_single_ds_call(fs, ds_target_by_vdisk(0), crash_tolerant,
                              [&](ds_call* call) { ds_test_async(call, command); });
}

// Fetches the virtual-disk map once; the caller frees it.
int fetch_vdisk_map(tarn_fs* fs, mds_vdisk_map** map) {
    const mds_call_opts opts{TARN_RETRY_NEVER, nullptr, nullptr};
    return mds_client_get_vdisk_map(fs->mds, map, &opts);
}

}  // namespace

tarn_err tarn_test_disable_replication_on_one_ds(tarn_fs* fs) {
    if (fs == nullptr) return TARN_ERR_INVAL;
    return ds_test_command(fs, k_ds_test_disable_replication, false);
}

tarn_err tarn_test_crash_one_ds(tarn_fs* fs) {
    if (fs == nullptr) return TARN_ERR_INVAL;
    return ds_test_command(fs, k_ds_test_crash, true);
}

tarn_err tarn_test_crash_mds(tarn_fs* fs) {
    if (fs == nullptr) return TARN_ERR_INVAL;
    const mds_call_opts opts{TARN_RETRY_NEVER, nullptr, nullptr};
    int rc = mds_client_test(fs->mds, k_mds_test_crash, true, &opts);
    return rc < 0 ? posix2tarn_error(-rc) : TARN_ERR_OK;
}

tarn_err tarn_test_get_ds_hosts(tarn_fs* fs, uint64_t* hosts, int32_t capacity, uint32_t* count) {
    // A negative capacity holds nothing, like 0.
    const uint32_t room = capacity > 0 ? uint32_t(capacity) : 0;
    if (fs == nullptr || count == nullptr || (hosts == nullptr && room > 0)) return TARN_ERR_INVAL;
    mds_vdisk_map* map = nullptr;
    int rc = fetch_vdisk_map(fs, &map);
    if (rc < 0) return posix2tarn_error(-rc);

    uint32_t found = 0;
    tarn_err err = TARN_ERR_OK;
    for (uint32_t i = 0; i < map->count; i++) {
        const uint64_t host = map->entries[i].host_id;
        bool seen = false;
        for (uint32_t j = 0; j < found && !seen; j++) seen = hosts[j] == host;
        if (seen) continue;
        if (found == room) {
            err = TARN_ERR_BUFFER_TOO_SMALL;
            break;
        }
        hosts[found++] = host;
    }
    *count = found;
    mds_client_free_vdisk_map(map);
    return err;
}

tarn_err tarn_test_get_mds_host(tarn_fs* fs, uint64_t* host) {
    if (fs == nullptr || host == nullptr) return TARN_ERR_INVAL;
    tarn_host_addr addr{};
    int rc = mds_client_find_mds(fs->mds, &addr);
    if (rc < 0) return posix2tarn_error(-rc);
    *host = addr.host_id;
    return TARN_ERR_OK;
}

tarn_err tarn_test_probe_ds(tarn_fs* fs, uint64_t host) {
    if (fs == nullptr) return TARN_ERR_INVAL;
    mds_vdisk_map* map = nullptr;
    int rc = fetch_vdisk_map(fs, &map);
    if (rc < 0) return posix2tarn_error(-rc);

    tarn_host_addr addr{};
    bool known = false;
    for (uint32_t i = 0; i < map->count && !known; i++) {
        const mds_vdisk_map_entry& e = map->entries[i];
        if (e.host_id != host) continue;
        known = true;
        addr = tarn_host_addr{e.host_id, e.ipv4, e.port};
    }
    mds_client_free_vdisk_map(map);
    if (!known) return TARN_ERR_NOT_FOUND;
    return run_single_ds_call(fs, ds_target_fixed_host(addr), false, [](ds_call* call) { ds_noop_async(call); });
}

tarn_err tarn_test_get_fs_health_status(tarn_fs* fs, uint32_t* status) {
    if (fs == nullptr || status == nullptr) return TARN_ERR_INVAL;
    const mds_call_opts opts{TARN_RETRY_NEVER, nullptr, nullptr};
    uint8_t info[TARN_MDS_FS_INFO_BYTES] = {};
    int rc = mds_client_get_fs_info(fs->mds, info, &opts);
    if (rc < 0) return posix2tarn_error(-rc);
    *status = (tarn_wire_get_u32(info, TARN_MDS_FS_INFO_FLAGS) & k_unhealthy_flags) != 0 ? 1 : 0;
    return TARN_ERR_OK;
}

// Service discovery client: reads, watches, registers, updates and removes
// service records in the cluster's key-value service registry.
//
// A handle names a cluster and a namespace ("tarn/mds", "tarn/ls", ...).
// Handles narrowed from one another share one context and one registry
// connection, which the first operation opens and the last handle closes.
//
// Functions with `_co_` in their names must run inside a runtime coroutine of
// the handle's process (kiv_co_create, or a plain thread between
// kiv_move_to_coroutine and kiv_move_from_coroutine): they wait there for
// their registry request. The others may be called from any thread.
//
// Results are 0 or a negative POSIX error number. Broken preconditions are
// invariant violations that end the process.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct kiv_process;
struct kiv_stats_registry;
struct discov;
struct dsc_watcher;

// One service record. Owned texts are allocated by the runtime's allocators;
// discov_svc_fini frees them.
struct discov_svc {
    char* name;          // kind of service ("mds", "ls")
    char* id;            // instance id, the last part of the record's key
    uint64_t host_id;    // host that runs the instance
    char** tags;         // by convention "name:value"
    uint32_t tag_count;
    char* addr;          // network address, without a port
    uint16_t port;
    uint64_t version;    // registry version as last read; expected version of an update
    bool flag;           // the registry item carries item flag 0x4
};

// Read-only, reference-counted array of records with the registry generation
// it reflects. Holders only read it and release it with discov_svc_map_put.
struct discov_svc_map {
    discov_svc* records;  // in the order the registry returned them
    uint32_t count;
    uint64_t generation;  // 0 = not yet known
    uint32_t refcount;    // atomic; starts at 1
};

// Context mode: 0 allows only reading; register, update and unregister need a
// non-zero mode. Mode 1 also marks the registry connection as an RPC peer.
enum : uint32_t { DISCOV_MODE_READ_ONLY = 0, DISCOV_MODE_RPC = 1 };

// ---------------------------------------------------------------- handles
// New context and handle for `cluster` (non-empty) and `namespace_key` (NULL
// for the whole registry, otherwise a valid key); the texts are copied and
// no connection is opened yet. Always 0.
int discov_create(const char* cluster, const char* namespace_key, uint32_t mode, kiv_process* process,
                  discov** out);
// Drops the handle's share of its context and frees the handle. The last
// handle of a context closes the registry connection: operations still in
// progress on its handles then end promptly (-ECANCELED or -EIO), and the
// memory they use goes when they return. Any thread.
void discov_destroy(discov* d);
// New handle on the same context whose namespace is "<parent>/<sub>", or
// `sub` when the parent has none. `sub` must be a valid key.
discov* discov_narrow_namespace(discov* d, const char* sub);
const char* discov_get_namespace(const discov* d);

// Creates the discovery metrics in `registry`.
void discov_set_stats_registry(kiv_stats_registry* registry);

// ---------------------------------------------------------------- records
void discov_svc_init(discov_svc* svc);
// Frees every owned text of the record (not the record) and leaves it as
// discov_svc_init does.
void discov_svc_fini(discov_svc* svc);
// The registry key rule: non-empty "/"-separated segments of ASCII letters,
// digits and "_-@.".
bool discov_is_valid_instance_id(const char* id);
// True for an address that parses and carries no port.
bool discov_is_valid_address(const char* text);

// ---------------------------------------------------------------- operations
// The local address and port of the registry connection as text.
// -ERANGE when the text does not fit `size` with its terminator.
int discov_co_get_local_private_addr(discov* d, char* buf, size_t size);
// Stores the record under its key, whatever is there.
int discov_co_register_svc(discov* d, const discov_svc* svc);
// Deletes the record; only at `*expected_version` when that is given.
int discov_co_unregister_svc(discov* d, const char* id, const uint64_t* expected_version);
// Reads one record into `out`, which must be empty; on failure it stays
// empty.
int discov_co_get_svc(discov* d, const char* id, discov_svc* out);
// Stores the record only if the stored version equals svc->version;
// otherwise -ESTALE and nothing changes.
int discov_co_update_svc(discov* d, const discov_svc* svc);
// Every record of the namespace, as one consistent generation, in a new map
// owned by the caller.
int discov_co_get_svc_map(discov* d, discov_svc_map** out);
// The same; when a record of the namespace is malformed, `*why` is set to
// a line naming its key and what is wrong (freed with __kiv_free), else to
// NULL.
int discov_co_get_svc_map_why(discov* d, discov_svc_map** out, char** why);
// Waits up to `timeout_s` (1 to 55) seconds for changes after `generation`:
// 0 and a new map with the new generation and the changed records,
// -ETIMEDOUT when nothing changed, -ESTALE when the registry does not know
// the generation, -EINVAL (nothing sent) for a time-out outside 1 to 55.
int discov_co_watch_svc_map(discov* d, uint64_t generation, uint32_t timeout_s, discov_svc_map** out);

void discov_svc_map_put(discov_svc_map* map);

// ---------------------------------------------------------------- watcher
// Starts a watcher with its own handle and connection on the same cluster
// and namespace. `callback(arg)` runs in the watcher's coroutine each time a
// map with a newer generation is in place, first after the first listing.
int discov_co_start_watching(discov* d, void (*callback)(void* arg), void* arg, dsc_watcher** out);
// Stops the watcher, waits for its worker and frees it; the callback is not
// called after this returns.
void discov_co_stop_watching(dsc_watcher* w);
// The watcher's current map with a reference for the caller, or NULL before
// the first listing. Any thread.
discov_svc_map* discov_get_curr_svc_map(dsc_watcher* w);

// Registry operations as tasks on a discovery context's connection, and the
// request plumbing they share.
//
// Every operation passes an argument block whose first member is a
// dsc_task_args; requests carry a pointer to it as their private pointer, so
// reply handlers reach the task and the retry count.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

struct discov;
struct discov_svc;
struct discov_svc_map;
struct kiv_mds_client;
struct kiv_msg;
struct mds_conn_task;

struct dsc_task_args {
    mds_conn_task* task;
    uint32_t retries;  // resends of the current request
};

enum : uint32_t {
    DSC_TASK_WAIT_MS = 5000,      // wait for the connection before a request starts
    DSC_REQ_TIMEOUT_MS = 5000,    // reply time-out of a request
    DSC_REQ_MAX_RETRIES = 3,      // resends after the first send
    DSC_WATCH_EXTRA_MS = 10000,   // a watch's reply time-out beyond its own time-out
    DSC_WATCH_MAX_TIMEOUT_S = 55, // keeps the reply time-out within 16 bits
    DSC_MAX_REQ_SIZE = 1048576,   // largest frame of the registry connection
    DSC_SVC_MAP_MAX_RECORDS = 1u << 20,
    DSC_LIST_MAX_RESTARTS = 100,  // listings begun again after a generation change
};

// Attaches `args` to the request, installs the default reply handler and
// sets the reply time-out to DSC_REQ_TIMEOUT_MS.
void dsc_task_req_init(kiv_msg* msg, dsc_task_args* args);
// Submits the request on the task's metadata-service client.
void dsc_task_send_req(kiv_msg* msg);
// Frees the request (and its reply) and finishes the task with `result`.
void dsc_task_finish(kiv_msg* msg, int result);
// True when the request failed with a transient error and was sent again;
// the reply handler then waits for the next completion.
bool dsc_task_handle_retryable_errors(kiv_msg* msg);
// The negative POSIX error number for a request's error word (0 for 0).
int dsc_kiv_error2task_result(uint32_t error);

// For jobs: the task's metadata-service client, or NULL after finishing the
// task with -ECANCELED because the connection closed before the job ran.
kiv_mds_client* dsc_task_client(dsc_task_args* args);
// A request holding one item with `key` and `value` (either may be NULL),
// which this frees. NULL after finishing the task with -EMSGSIZE when the
// request would exceed the connection's largest frame.
kiv_msg* dsc_task_build_msg(dsc_task_args* args, kiv_mds_client* client, uint32_t op, uint64_t version,
                            uint64_t watch_timeout, uint32_t flags, char* key, char* value);
// Runs `job(args)` as one task on the handle's open connection and returns
// its result; -ECANCELED when the connection was closed for good.
int dsc_co_run_task(discov* d, int32_t wait_ms, void (*job)(void*), dsc_task_args* args);

// The operations, from a runtime coroutine, on a handle whose connection is
// open (dsc_discov_open_conn).
int dsc_co_register_svc(discov* d, const discov_svc* svc);
int dsc_co_update_svc(discov* d, const discov_svc* svc);
int dsc_co_unregister_svc(discov* d, const char* id, const uint64_t* expected_version);
int dsc_co_get_svc(discov* d, const char* id, discov_svc* out);
int dsc_co_get_svc_map(discov* d, discov_svc_map** out, std::string* why = nullptr);
int dsc_co_watch_svc_map(discov* d, uint64_t generation, uint32_t timeout_s, discov_svc_map** out);
int dsc_co_get_local_addr(discov* d, char* buf, size_t size);

// Converts every item of a reply that passed kvstore_msg_check into records
// appended to `map`: 0, or the first conversion's error. With `ascending`,
// every record's id must sort after the one before it (-EPROTO otherwise).
// On a record that does not convert, `why` (when not NULL) names its key
// and what is wrong with it.
int dsc_append_reply_items(const kiv_msg* reply, const char* namespace_key, discov_svc_map* map, bool ascending,
                           std::string* why = nullptr);

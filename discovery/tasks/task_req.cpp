// Request plumbing shared by the registry operations: sending, the retry
// rule, error mapping and the default reply handler.
#include <errno.h>
#include <string.h>

#include "discovery/data_kv_mapper.h"
#include "discovery/discov.h"
#include "discovery/discov_internal.h"
#include "discovery/kvstore_msg.h"
#include "discovery/mds_conn.h"
#include "discovery/svc_map.h"
#include "discovery/tasks/tasks.h"
#include "kiv/base.h"
#include "kiv/mds.h"
#include "kiv/rpc.h"

namespace {

dsc_task_args* args_of(const kiv_msg* msg) { return static_cast<dsc_task_args*>(msg->priv); }

bool is_retryable(uint32_t code) {
    switch (code) {
    case KIV_E_CONNFAIL:
    case KIV_E_BUSY:
    case KIV_E_CONNLOST:
    case KIV_E_NOTCONN:
    case KIV_E_UNREACH:
    case KIV_E_TIMEDOUT:
    case KIV_E_CONNTIMEDOUT:
    case KIV_E_NOTREADY:
    case KIV_E_RETRY:
        return true;
    default:
        return false;
    }
}

void on_response(kiv_msg* msg) {
    if (dsc_task_handle_retryable_errors(msg)) return;
    dsc_task_finish(msg, dsc_kiv_error2task_result(msg->error));
}

}  // namespace

void dsc_task_req_init(kiv_msg* msg, dsc_task_args* args) {
    msg->priv = args;
    msg->done = on_response;
    msg->timeout_ms = DSC_REQ_TIMEOUT_MS;
}

void dsc_task_send_req(kiv_msg* msg) {
    kiv_mds_client* client = mds_conn_get_client(args_of(msg)->task);
    // The job that built the request checked the client in the same turn of
    // the loop; nothing can have closed the connection since.
    KIV_BUG_ON(client == nullptr);
    mds_submit(client, msg);
}

void dsc_task_finish(kiv_msg* msg, int result) {
    mds_conn_task* task = args_of(msg)->task;
    kiv_free_msg(msg);
    mds_conn_task_finish(task, result);
}

bool dsc_task_handle_retryable_errors(kiv_msg* msg) {
    if (!is_retryable(msg->error & KIV_E_CODE_MASK)) return false;
    dsc_task_args* args = args_of(msg);
    if (args->retries >= DSC_REQ_MAX_RETRIES) return false;
    kiv_mds_client* client = mds_conn_get_client(args->task);
    if (client == nullptr) return false;
    args->retries++;
    mds_retry(client, msg);
    return true;
}

int dsc_kiv_error2task_result(uint32_t error) {
    switch (error & KIV_E_CODE_MASK) {
    case 0:
        return 0;
    case KIV_E_NOTFOUND:
        return -ENOENT;
    case KIV_E_TIMEDOUT:
        return -ETIMEDOUT;
    case KIV_E_INVALID:
        return -EINVAL;
    case KIV_E_VERSION:
        return -ESTALE;
    default:
        return -EIO;
    }
}

kiv_mds_client* dsc_task_client(dsc_task_args* args) {
    kiv_mds_client* client = mds_conn_get_client(args->task);
    if (client == nullptr) mds_conn_task_finish(args->task, -ECANCELED);
    return client;
}

kiv_msg* dsc_task_build_msg(dsc_task_args* args, kiv_mds_client* client, uint32_t op, uint64_t version,
                            uint64_t watch_timeout, uint32_t flags, char* key, char* value) {
    const size_t key_len = key ? strlen(key) : 0;
    const size_t value_len = value ? strlen(value) : 0;
    kiv_msg* msg = nullptr;
    if (key_len <= DSC_MAX_REQ_SIZE && value_len <= DSC_MAX_REQ_SIZE &&
        KVSTORE_HDR_SIZE + KVSTORE_ITEM_HDR_SIZE + key_len + value_len <= DSC_MAX_REQ_SIZE) {
        msg = kvstore_msg_alloc(client, op, version, watch_timeout, flags, key, static_cast<uint32_t>(key_len), value,
                                static_cast<uint32_t>(value_len));
    }
    __kiv_free(key);
    __kiv_free(value);
    if (msg == nullptr) mds_conn_task_finish(args->task, -EMSGSIZE);
    return msg;
}

int dsc_co_run_task(discov* d, int32_t wait_ms, void (*job)(void*), dsc_task_args* args) {
    mds_conn* conn = nullptr;
    int rc = dsc_discov_conn(d, &conn);
    if (rc != 0) return rc;
    args->retries = 0;
    args->task = mds_conn_task_create(conn, wait_ms, job, args);
    rc = mds_conn_co_task_run(args->task);
    args->task = nullptr;
    return rc;
}

int dsc_append_reply_items(const kiv_msg* reply, const char* namespace_key, discov_svc_map* map, bool ascending,
                           std::string* why) {
    const uint32_t n = kvstore_msg_get_item_count(reply);
    if (n == 0) return 0;
    if (n > DSC_SVC_MAP_MAX_RECORDS || map->count > DSC_SVC_MAP_MAX_RECORDS - n) return -E2BIG;
    dsc_svc_map_reserve(map, map->count + n);
    for (const kvstore_item* it = kvstore_msg_get_first_item(reply); it; it = kvstore_msg_get_next_item(reply, it)) {
        discov_svc* svc = &map->records[map->count];
        int rc = dsc_convert_msg_item_to_svc(it, namespace_key, svc, why);
        if (rc != 0) return rc;
        // Keys come in registry order; one that does not move forward means
        // a peer that would have a listing go round in circles.
        if (ascending && map->count != 0 && strcmp(map->records[map->count - 1].id, svc->id) >= 0) {
            discov_svc_fini(svc);
            return -EPROTO;
        }
        map->count++;
    }
    return 0;
}

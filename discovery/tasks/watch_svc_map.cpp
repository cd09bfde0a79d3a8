// Watching a namespace: one long poll for changes after a generation.
#include <errno.h>

#include "discovery/data_kv_mapper.h"
#include "discovery/discov.h"
#include "discovery/discov_internal.h"
#include "discovery/kvstore_msg.h"
#include "discovery/svc_map.h"
#include "discovery/tasks/tasks.h"
#include "kiv/rpc.h"

namespace {

struct watch_args {
    dsc_task_args hdr;
    const char* ns;
    uint64_t generation;
    uint32_t timeout_s;
    discov_svc_map* map;
};

void on_watch_svc_map_response(kiv_msg* msg) {
    // "Nothing changed" is an answer, not a failure to resend.
    if ((msg->error & KIV_E_CODE_MASK) == KIV_E_TIMEDOUT) {
        dsc_task_finish(msg, -ETIMEDOUT);
        return;
    }
    if (dsc_task_handle_retryable_errors(msg)) return;
    auto* a = static_cast<watch_args*>(msg->priv);
    if (msg->error != 0) {
        dsc_task_finish(msg, dsc_kiv_error2task_result(msg->error));
        return;
    }
    const kiv_msg* reply = msg->reply;
    int rc = reply ? kvstore_msg_check(reply) : -EPROTO;
    if (rc == 0 && (kvstore_msg_flags(reply) & KV_FLAG_STALE)) rc = -ESTALE;
    if (rc == 0) {
        a->map->generation = kvstore_msg_generation(reply);
        rc = dsc_append_reply_items(reply, a->ns, a->map, false);
    }
    dsc_task_finish(msg, rc);
}

void watch_job(void* arg) {
    auto* a = static_cast<watch_args*>(arg);
    kiv_mds_client* client = dsc_task_client(&a->hdr);
    if (client == nullptr) return;
    char* start = dsc_make_svc_key(a->ns, kvstore_key_name_range_begin());
    char* end = dsc_make_svc_key(a->ns, kvstore_key_name_range_end());
    kiv_msg* msg = dsc_task_build_msg(&a->hdr, client, KV_OP_WATCH, 0, a->timeout_s, 0, start, end);
    if (msg == nullptr) return;
    kvstore_msg_set_generation(msg, a->generation);
    dsc_task_req_init(msg, &a->hdr);
    msg->done = on_watch_svc_map_response;
    msg->timeout_ms = a->timeout_s * 1000 + DSC_WATCH_EXTRA_MS;
    dsc_task_send_req(msg);
}

}  // namespace

int dsc_co_watch_svc_map(discov* d, uint64_t generation, uint32_t timeout_s, discov_svc_map** out) {
    KIV_BUG_ON(timeout_s == 0 || timeout_s > DSC_WATCH_MAX_TIMEOUT_S);
    watch_args a = {};
    a.ns = d->ns;
    a.generation = generation;
    a.timeout_s = timeout_s;
    a.map = dsc_svc_map_create();
    int rc = dsc_co_run_task(d, static_cast<int32_t>(timeout_s * 1000), watch_job, &a.hdr);
    if (rc != 0) {
        dsc_svc_map_unref(a.map);
        return rc;
    }
    *out = a.map;
    return 0;
}

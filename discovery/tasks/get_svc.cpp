// Reading one record: a get of its key.
#include <errno.h>

#include "discovery/data_kv_mapper.h"
#include "discovery/discov.h"
#include "discovery/discov_internal.h"
#include "discovery/kvstore_msg.h"
#include "discovery/tasks/tasks.h"
#include "kiv/rpc.h"

namespace {

struct get_args {
    dsc_task_args hdr;
    const char* ns;
    const char* id;
    discov_svc* out;
};

void on_get_svc_response(kiv_msg* msg) {
    if (dsc_task_handle_retryable_errors(msg)) return;
    auto* a = static_cast<get_args*>(msg->priv);
    if (msg->error != 0) {
        dsc_task_finish(msg, dsc_kiv_error2task_result(msg->error));
        return;
    }
    const kiv_msg* reply = msg->reply;
    int rc = reply ? kvstore_msg_check(reply) : -EPROTO;
    if (rc == 0) {
        const kvstore_item* item = kvstore_msg_get_first_item(reply);
        rc = item ? dsc_convert_msg_item_to_svc(item, a->ns, a->out) : -EPROTO;
    }
    dsc_task_finish(msg, rc);
}

void get_job(void* arg) {
    auto* a = static_cast<get_args*>(arg);
    kiv_mds_client* client = dsc_task_client(&a->hdr);
    if (client == nullptr) return;
    kiv_msg* msg = dsc_task_build_msg(&a->hdr, client, KV_OP_GET, 0, 0, 0, dsc_make_svc_key(a->ns, a->id), nullptr);
    if (msg == nullptr) return;
    dsc_task_req_init(msg, &a->hdr);
    msg->done = on_get_svc_response;
    dsc_task_send_req(msg);
}

}  // namespace

int dsc_co_get_svc(discov* d, const char* id, discov_svc* out) {
    get_args a = {};
    a.ns = d->ns;
    a.id = id;
    a.out = out;
    return dsc_co_run_task(d, DSC_TASK_WAIT_MS, get_job, &a.hdr);
}

// Updating a record: a put that only succeeds at the record's version.
#include "discovery/data_kv_mapper.h"
#include "discovery/discov.h"
#include "discovery/discov_internal.h"
#include "discovery/kvstore_msg.h"
#include "discovery/tasks/tasks.h"
#include "kiv/rpc.h"

namespace {

struct update_args {
    dsc_task_args hdr;
    const char* ns;
    const discov_svc* svc;
};

void update_job(void* arg) {
    auto* a = static_cast<update_args*>(arg);
    kiv_mds_client* client = dsc_task_client(&a->hdr);
    if (client == nullptr) return;
    kiv_msg* msg = dsc_task_build_msg(&a->hdr, client, KV_OP_PUT, a->svc->version, 0, KV_FLAG_CMP_VERSION,
                                      dsc_make_svc_key(a->ns, a->svc->id), dsc_make_svc_value(a->svc));
    if (msg == nullptr) return;
    dsc_task_req_init(msg, &a->hdr);
    dsc_task_send_req(msg);
}

}  // namespace

int dsc_co_update_svc(discov* d, const discov_svc* svc) {
    update_args a = {};
    a.ns = d->ns;
    a.svc = svc;
    return dsc_co_run_task(d, DSC_TASK_WAIT_MS, update_job, &a.hdr);
}

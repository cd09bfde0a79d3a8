// Removing a record: a delete of its key, at the expected version when the
// caller gives one.
#include "discovery/data_kv_mapper.h"
#include "discovery/discov_internal.h"
#include "discovery/kvstore_msg.h"
#include "discovery/tasks/tasks.h"
#include "kiv/rpc.h"

namespace {

struct unregister_args {
    dsc_task_args hdr;
    const char* ns;
    const char* id;
    const uint64_t* expected_version;
};

void unregister_job(void* arg) {
    auto* a = static_cast<unregister_args*>(arg);
    kiv_mds_client* client = dsc_task_client(&a->hdr);
    if (client == nullptr) return;
    const uint64_t version = a->expected_version ? *a->expected_version : 0;
    const uint32_t flags = a->expected_version ? uint32_t{KV_FLAG_CMP_VERSION} : 0u;
    kiv_msg* msg =
        dsc_task_build_msg(&a->hdr, client, KV_OP_DELETE, version, 0, flags, dsc_make_svc_key(a->ns, a->id), nullptr);
    if (msg == nullptr) return;
    dsc_task_req_init(msg, &a->hdr);
    dsc_task_send_req(msg);
}

}  // namespace

int dsc_co_unregister_svc(discov* d, const char* id, const uint64_t* expected_version) {
    unregister_args a = {};
    a.ns = d->ns;
    a.id = id;
    a.expected_version = expected_version;
    return dsc_co_run_task(d, DSC_TASK_WAIT_MS, unregister_job, &a.hdr);
}

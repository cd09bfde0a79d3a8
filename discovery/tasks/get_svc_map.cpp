// Listing a namespace: range requests page by page, all of one registry
// generation. A generation change between pages throws away what was
// collected and starts again from the first page.
#include <errno.h>

#include "discovery/data_kv_mapper.h"
#include "discovery/discov.h"
#include "discovery/discov_internal.h"
#include "discovery/kvstore_msg.h"
#include "discovery/svc_map.h"
#include "discovery/tasks/tasks.h"
#include "kiv/rpc.h"

namespace {

struct list_args {
    dsc_task_args hdr;
    const char* ns;
    discov_svc_map* map;
    std::string* why;
    bool have_generation;  // the map's generation is that of its first page
    uint32_t restarts;
};

void on_get_svc_map_response(kiv_msg* msg) {
    if (dsc_task_handle_retryable_errors(msg)) return;
    auto* a = static_cast<list_args*>(msg->priv);
    if (msg->error != 0) {
        dsc_task_finish(msg, dsc_kiv_error2task_result(msg->error));
        return;
    }
    const kiv_msg* reply = msg->reply;
    int rc = reply ? kvstore_msg_check(reply) : -EPROTO;
    if (rc != 0) {
        dsc_task_finish(msg, rc);
        return;
    }

    discov_svc_map* map = a->map;
    const uint64_t generation = kvstore_msg_generation(reply);
    if (!a->have_generation) {
        map->generation = generation;
        a->have_generation = true;
    }
    if (generation != map->generation) {
        dsc_svc_map_clear(map);
        a->have_generation = false;
        a->restarts++;
        dsc_task_finish(msg, -EAGAIN);
        return;
    }

    const bool more = (kvstore_msg_flags(reply) & KV_FLAG_MORE) != 0;
    // "More" with nothing on the page would ask for the same page forever.
    if (more && kvstore_msg_get_item_count(reply) == 0) {
        dsc_task_finish(msg, -EPROTO);
        return;
    }
    rc = dsc_append_reply_items(reply, a->ns, map, true, a->why);
    if (rc == 0 && more) rc = -EAGAIN;
    dsc_task_finish(msg, rc);
}

void list_page_job(void* arg) {
    auto* a = static_cast<list_args*>(arg);
    kiv_mds_client* client = dsc_task_client(&a->hdr);
    if (client == nullptr) return;
    const discov_svc_map* map = a->map;
    const bool first_page = map->count == 0;
    char* start = dsc_make_svc_key(a->ns, first_page ? kvstore_key_name_range_begin() : map->records[map->count - 1].id);
    char* end = dsc_make_svc_key(a->ns, kvstore_key_name_range_end());
    kiv_msg* msg =
        dsc_task_build_msg(&a->hdr, client, KV_OP_RANGE, 0, 0, first_page ? 0u : uint32_t{KV_FLAG_START_AFTER}, start, end);
    if (msg == nullptr) return;
    dsc_task_req_init(msg, &a->hdr);
    msg->done = on_get_svc_map_response;
    dsc_task_send_req(msg);
}

}  // namespace

int dsc_co_get_svc_map(discov* d, discov_svc_map** out, std::string* why) {
    list_args a = {};
    a.ns = d->ns;
    a.why = why;
    a.map = dsc_svc_map_create();
    int rc;
    do {
        rc = dsc_co_run_task(d, DSC_TASK_WAIT_MS, list_page_job, &a.hdr);
    } while (rc == -EAGAIN && a.restarts <= DSC_LIST_MAX_RESTARTS);
    if (rc != 0) {
        dsc_svc_map_unref(a.map);
        return rc;
    }
    *out = a.map;
    return 0;
}

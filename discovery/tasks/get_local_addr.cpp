// The local end of the registry connection, once it is up.
#include <errno.h>

#include "discovery/discov_internal.h"
#include "discovery/mds_conn.h"
#include "discovery/tasks/tasks.h"
#include "kiv/base.h"
#include "kiv/mds.h"
#include "kiv/rpc.h"

namespace {

struct local_addr_args {
    dsc_task_args hdr;
    char* buf;
    size_t size;
};

int format_local_addr(kiv_mds_client* client, char* buf, size_t size) {
    KIV_BUG_ON(client->conn == nullptr);
    kiv_netaddr addr = {};
    int rc = kiv_rpc_get_local_addr(client->conn, &addr);
    if (rc < 0) return rc;
    int len = kiv_format_netaddr_port(buf, size, &addr);
    if (len < 0) return len;
    return static_cast<size_t>(len) >= size ? -ERANGE : 0;
}

void get_local_addr_task(void* arg) {
    auto* a = static_cast<local_addr_args*>(arg);
    kiv_mds_client* client = dsc_task_client(&a->hdr);
    if (client == nullptr) return;
    mds_conn_task_finish(a->hdr.task, format_local_addr(client, a->buf, a->size));
}

}  // namespace

int dsc_co_get_local_addr(discov* d, char* buf, size_t size) {
    local_addr_args a = {};
    a.buf = buf;
    a.size = size;
    return dsc_co_run_task(d, DSC_TASK_WAIT_MS, get_local_addr_task, &a.hdr);
}

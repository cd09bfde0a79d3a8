#include "localcluster/common/instance.h"

#include <arpa/inet.h>
#include <string.h>
#include <unistd.h>

int lc_instance_listen(kiv_process* proc, uint16_t port, uint32_t max_msg, const kiv_rpc_server_ops* ops, void* ctx,
                       kiv_rpc_server** out, uint16_t* bound_port) {
    kiv_netaddr addr{};
    addr.kind = KIV_AF_INET;
    addr.port = port;
    uint32_t lo = htonl(INADDR_LOOPBACK);
    memcpy(addr.addr, &lo, 4);
    kiv_rpc_server* s = nullptr;
    int rc = kiv_rpc_listen(proc, &addr, max_msg, ops, ctx, &s);
    if (rc < 0) return rc;
    kiv_netaddr got{};
    kiv_rpc_server_addr(s, &got);
    *out = s;
    *bound_port = got.port;
    return 0;
}

void lc_instance_close_holding(kiv_rpc_server* s, int* hold) {
    int fd = kiv_rpc_server_close_holding(s);
    lc_instance_release_port(hold);
    if (fd >= 0) *hold = fd;
}

void lc_instance_release_port(int* hold) {
    if (*hold >= 0) close(*hold);
    *hold = -1;
}

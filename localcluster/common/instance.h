// Pieces of a server instance's life shared by the data and metadata
// servers: the loopback listener they open, close and reopen as they crash
// and come back.
#pragma once

#include <stdint.h>

#include "kiv/rpc_server.h"

// Loop context. Listens on 127.0.0.1:`port` (0: any free port) and gives
// the server and the port it took. 0 or a negative error number.
int lc_instance_listen(kiv_process* proc, uint16_t port, uint32_t max_msg, const kiv_rpc_server_ops* ops, void* ctx,
                       kiv_rpc_server** out, uint16_t* bound_port);

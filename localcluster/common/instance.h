// Pieces of a server instance's life shared by the local cluster's servers:
// the loopback listener they open, close and reopen as they crash, refuse
// and come back.
#pragma once

#include <stdint.h>

#include "kiv/rpc_server.h"

// Loop context. Listens on 127.0.0.1:`port` (0: any free port) and gives
// the server and the port it took. 0 or a negative error number.
int lc_instance_listen(kiv_process* proc, uint16_t port, uint32_t max_msg, const kiv_rpc_server_ops* ops, void* ctx,
                       kiv_rpc_server** out, uint16_t* bound_port);

// Loop context. Closes listener `s` as a crash does, but keeps its port in
// `*hold` (a hold already there is released): connects are refused, and
// no other socket can take the port, until lc_instance_release_port. A
// listen on the port takes over at once. Between two of these clusters
// on one machine, a port let go even briefly could be taken for another's
// new instance, which then cannot listen once this one comes back.
// `*hold` stays -1 if the port could not be kept.
void lc_instance_close_holding(kiv_rpc_server* s, int* hold);
// Closes the hold, if any (the port is listened on again, or given up).
void lc_instance_release_port(int* hold);

// RPC connections of the Tarn client: the connection factory, which holds
// the runtime RPC engine of one client, and reference-counted connections,
// each a runtime endpoint to one server address.
//
// Work that must run on the event loop (engine set-up and tear-down,
// creating and closing endpoints, sending) runs there directly when the
// caller is already in loop context; otherwise the caller is moved onto the
// loop for its duration, or (sending) the work runs as a job.
#pragma once

#include <stdint.h>

#include "kiv/rpc.h"

// Where a server is reached. `ipv4` is the address as a number whose most
// significant byte is the first dotted part; 0 means "not resolved".
struct tarn_host_addr {
    uint64_t host_id;
    uint32_t ipv4;
    uint16_t port;
};

// What kiv_rpc_create is given for a connection: the endpoint's operations
// and its parameter block. The call engines keep one constant pair per
// server kind.
struct tarn_endpoint_spec {
    const kiv_rpc_ep_ops* ops;
    const kiv_rpc_params* params;
};

struct tarn_conn_factory {
    kiv_process* process; // borrowed
    kiv_rpc_engine engine;
};

struct tarn_conn {
    tarn_conn_factory* factory; // borrowed
    tarn_host_addr addr;
    kiv_rpc_endpoint* endpoint; // owned
    uint32_t refcount;          // atomic; 1 at creation
};

// The 16-byte cluster identifier set on every engine this library creates.
void tarn_conn_get_cluster_id(uint8_t id[16]);

// Makes the factory and its engine (local id = client_id, flag 0x1, cluster
// id, an authentication domain). 0, or the engine's negative error.
int tarn_conn_factory_create(uint64_t client_id, kiv_process* process, tarn_conn_factory** out);
// Nothing for null. Every connection must have been closed.
void tarn_conn_factory_destroy(tarn_conn_factory* factory);

// A new connection to `addr` with one reference. Always 0; the signature is
// that of a pool's connection maker.
int tarn_conn_create(tarn_conn_factory* factory, const tarn_host_addr* addr, const tarn_endpoint_spec* spec,
                     tarn_conn** out);
void tarn_conn_ref(tarn_conn* conn);
// Dropping the last reference closes the endpoint (on the event loop) and
// frees the connection.
void tarn_conn_unref(tarn_conn* conn);
tarn_host_addr tarn_conn_get_addr(const tarn_conn* conn);

// Gives `msg` a new transaction id and sends it on the connection; the
// outcome arrives in msg->done on the event loop. Returns the runtime's
// result (negative when the loop no longer runs).
int tarn_conn_send_call(tarn_conn* conn, kiv_msg* msg);

// The connection-aborting hook of the client's endpoints: resets the
// connection, failing whatever is pending on it.
void tarn_conn_abort_hook(kiv_rpc_endpoint* endpoint, int reason);

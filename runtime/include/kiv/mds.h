// The runtime's client of the cluster metadata service (the registry): the
// bootstrap-file lookup and one RPC connection to a selected address.
//
// Bootstrap file: ${KIV_CLUSTER_DIR:-/etc/kelvane/clusters}/<cluster>.conf,
// trimmed key=value lines, blank and '#' lines ignored; every
// "mds=a.b.c.d:port" or "mds=[v6]:port" line is one address, taken in order
// by mds_select; other keys are ignored.
#pragma once

#include <stdint.h>

#include "kiv/rpc.h"

enum : uint32_t {
    KIV_MDS_REQ_TYPE = 0x240,
    KIV_MDS_REPLY_TYPE = 0x241,
    KIV_MDS_STATUS_OFF = 0x18,  // u32 status in every reply
};

struct kiv_mds_client_priv;

// Embedded by value, zero-filled before use. The hooks are set before
// kiv_init_client_env and may be NULL.
struct kiv_mds_client {
    void (*on_established)(void* ctx);
    void (*on_failed)(void* ctx);
    kiv_rpc_endpoint* conn;
    kiv_netaddr selected;  // kind 0 = nothing selected
    kiv_mds_client_priv* p;
    // Private: the process of the client; kept after fini so that late
    // submissions still complete on evloop.
    kiv_process* process_;
};

// Reads the bootstrap file, stores the addresses and `ctx`, creates c->conn
// on `e`; selects nothing and does no I/O. 0, -ENOENT (unknown cluster),
// -EINVAL (bad name or malformed line) or -ENOMEM; on failure `c` stays
// empty and needs no fini.
int kiv_init_client_env(const char* cluster, kiv_rpc_engine* e, kiv_mds_client* c, void* ctx);
// Reads the bootstrap file of `cluster` as kiv_init_client_env does, and
// logs nothing: 0 when it names an address; else its error and in `*why`
// (freed with __kiv_free) one line naming the file and, for a bad line,
// the line's number.
int kiv_cluster_conf_check(const char* cluster, char** why);
// The path of the bootstrap file of `cluster` (freed with __kiv_free).
char* kiv_cluster_conf_path(const char* cluster);
int mds_client_configure_rpc(kiv_mds_client* c, const kiv_rpc_params* params);
// If nothing is selected or `advance` != 0, re-reads the bootstrap file and
// selects the next address (round-robin). 0, or -ENOENT with no address.
int mds_select(kiv_mds_client* c, int advance);
// Zeroed message with `size` at offset 0 and `type` at 4; NULL on OOM or if
// size < 24.
kiv_msg* mds_client_alloc_msg(kiv_mds_client* c, uint32_t type, uint32_t size);
// Write a fresh xid and send. Always 0; completion exactly once, deferred.
// A non-zero status at reply offset 0x18 gives 0x80000000|status with the
// reply attached; a reply shorter than 0x1C gives KIV_E_PROTO.
int mds_submit(kiv_mds_client* c, kiv_msg* m);
int mds_retry(kiv_mds_client* c, kiv_msg* m);
// Closes the connection (pending messages complete with KIV_E_ABANDONED),
// cancels queued hook events; idempotent.
void mds_client_fini(kiv_mds_client* c);

// Discovery context and handle, shared by the operations and the watcher.
#pragma once

#include <stdint.h>

struct kiv_process;
struct mds_conn;

// Shared by a handle and every handle narrowed from it.
struct discov_ctx {
    char* cluster;
    uint32_t mode;
    kiv_process* process;
    mds_conn* conn;     // opened by the first operation that needs it
    bool conn_closed;   // closed for good: operations end with -ECANCELED
    uint32_t handles;   // atomic; live handles, the last one closes the connection
    uint32_t refs;      // atomic; handles whose memory is still in use
};

// A handle stays in memory while operations run on it, so that destroying
// it (which closes the connection when it is the last handle) makes those
// operations end instead of pulling their state away.
struct discov {
    discov_ctx* ctx;
    char* ns;       // NULL for the whole registry
    uint32_t refs;  // atomic; the owner plus one per operation in progress
};

// The context's connection for a new task: 0, or -ECANCELED once the
// connection is closed for good. Opens it on first use (the bootstrap
// lookup's error is returned). Loop context.
int dsc_discov_open_conn(discov* d, mds_conn** out);
// The already open connection for the next task of a running operation, or
// -ECANCELED when it was closed meanwhile. Loop context.
int dsc_discov_conn(discov* d, mds_conn** out);
// Closes the context's connection for good while the handle stays valid:
// waiting tasks end with -ECANCELED and requests in flight complete
// promptly. Loop context.
void dsc_discov_close_conn(discov* d);

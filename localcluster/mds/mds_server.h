// One Tarn MDS instance: the server of one file system's metadata. It runs
// on a runtime process of its own (so file systems never wait for each
// other), listens on 127.0.0.1, and takes every request through the fault
// gate, the header checks, the epoch check and the request table.
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>

struct lc_faults;
struct lc_logger;
struct lc_mds;

struct lc_mds_config {
    uint64_t fs_id = 0;
    std::string fs_name;
    int fs_index = 0;
    uint64_t host_id = 0;
    const std::atomic<bool>* epoch_strict = nullptr;  // the cluster's switch; NULL = strict
    lc_faults* faults = nullptr;
    lc_logger* log = nullptr;
    void* handler_ctx = nullptr;  // handed to the request handlers as lc_mds_call::ctx
};

// Starts the instance's process. It listens nowhere yet. NULL with *err.
lc_mds* lc_mds_create(const lc_mds_config& config, std::string* err);
// Listens on 127.0.0.1:port (0 = a port the kernel picks) and reports the
// port. A port held by a bound, non-listening socket with SO_REUSEADDR can
// be taken over; its holder is closed afterwards. 0 or -errno.
int lc_mds_listen(lc_mds* m, uint16_t port, uint16_t* bound);
// Closes the listener and every connection, then listens on a fresh port
// the kernel picks. 0 or -errno (then it listens nowhere).
int lc_mds_move(lc_mds* m, uint16_t* new_port);
// Closes everything and stops the process.
void lc_mds_destroy(lc_mds* m);

struct lc_mds_stats {
    uint16_t port;
    bool listening;
    bool refusing;           // a refuse= fault holds the listener shut
    uint64_t requests;       // frames received
    uint64_t epoch_unknown;  // answered status 1
    uint64_t faults;         // fault rules fired here
    uint64_t clients;        // clients in the epoch table
};
void lc_mds_get_stats(lc_mds* m, lc_mds_stats* out);

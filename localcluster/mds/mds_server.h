// One Tarn MDS instance: the server of one file system's metadata. It runs
// on a runtime process of its own (so file systems never wait for each
// other), listens on 127.0.0.1, and takes every request through the fault
// gate, the header checks, the epoch check and the request table.
//
// The instance is the volatile half of the file system's metadata server:
// its listener and connections, its epoch table, its fault gate and the
// open namespace (lc_ns). The durable half, the MdsDisk (lc_ns_disk), is
// the cluster's and outlives every crash. Going down (a crash) closes the
// listener and every connection, forgets the volatile state and closes the
// namespace; coming back reopens the namespace from the disk, listens on
// the same port with an empty epoch table, and has the data servers of the
// file system flush the attribute changes the MDS missed ("recovering"
// until they have).
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>

struct kiv_rpc_budget;

struct lc_faults;
struct lc_logger;
struct lc_mds;
struct lc_ns_disk;
struct lc_cdisk;

// The test code that crashes the MDS.
constexpr uint32_t LC_MDS_TEST_CRASH = 2;
constexpr uint64_t LC_MDS_HELD_BUDGET = uint64_t(64) << 20;

struct lc_mds_config {
    uint64_t fs_id = 0;
    std::string fs_name;
    int fs_index = 0;
    uint64_t host_id = 0;
    const std::atomic<bool>* epoch_strict = nullptr;  // the cluster's switch; NULL = strict
    lc_faults* faults = nullptr;
    lc_logger* log = nullptr;
    lc_ns_disk* disk = nullptr;   // the file system's MdsDisk; required
    lc_cdisk* cdisk = nullptr;    // the vdisk table and DsDisks; NULL = no data side
    // What a crash does with the replies of requests it let finish: false
    // sends them before the connections close, true drops them. NULL = flush.
    const std::atomic<bool>* crash_replies_drop = nullptr;
    uint32_t down_ms = 500;  // how long a crash keeps the instance down
    // Bytes its connections may hold together (requests in flight, unsent
    // replies, begun frames), on top of each connection's own 64 MiB:
    // see kiv_rpc_budget_create for how it is shared.
    uint64_t held_budget = LC_MDS_HELD_BUDGET;
    // Called on the instance's loop when a restart could not take its old
    // port back and listens on `port` instead (the owner re-publishes it).
    void (*port_moved)(void* ctx, uint16_t port) = nullptr;
    void* port_moved_ctx = nullptr;
};

// Starts the instance's process and opens the namespace. It listens nowhere
// yet. NULL with *err.
lc_mds* lc_mds_create(const lc_mds_config& config, std::string* err);
// Listens on 127.0.0.1:port (0 = a port the kernel picks) and reports the
// port. A port held by a bound, non-listening socket with SO_REUSEADDR can
// be taken over; its holder is closed afterwards. 0 or -errno.
int lc_mds_listen(lc_mds* m, uint16_t port, uint16_t* bound);
// The budget its connections share; lives as long as the instance.
kiv_rpc_budget* lc_mds_budget(lc_mds* m);
// Closes the listener and every connection, then listens on a fresh port
// the kernel picks. 0 or -errno (then it listens nowhere); -EAGAIN while
// the instance is down.
int lc_mds_move(lc_mds* m, uint16_t* new_port);
// Closes everything and stops the process. The disk is left as it is.
void lc_mds_destroy(lc_mds* m);

// Crashes the instance now: requests not yet started are dropped, the
// replies of finished ones are flushed or dropped as configured, every
// connection and the listener close, the volatile state goes. It comes
// back after `down_ms` (0 = stays down until lc_mds_restart). Returns once
// the listener is closed: 0, or -EALREADY when the instance is down.
int lc_mds_crash(lc_mds* m, uint32_t down_ms);
// Brings a down instance back now. 0, or -EALREADY when it is up.
int lc_mds_restart(lc_mds* m);
// Keeps the instance down until lc_mds_restart: crashes it as
// lc_mds_crash(m, 0) does when it is up, and cancels the return of a crash
// already under way or over. Returns once the listener is closed; 0 or
// -errno.
int lc_mds_hold_down(lc_mds* m);
// What the crash request (test code 2) calls from its handler, in loop
// context: the same crash with the configured down time.
void lc_mds_crash_from_request(lc_mds* m);

enum lc_mds_state : uint32_t {
    LC_MDS_UP,
    LC_MDS_CRASHING,  // finished replies are being flushed; nothing new starts
    LC_MDS_DOWN,
};
const char* lc_mds_state_name(lc_mds_state s);

struct lc_mds_stats {
    uint16_t port;
    bool listening;
    bool refusing;           // a refuse= fault holds the listener shut
    lc_mds_state state;
    bool recovering;         // restarted; the data servers' catch-up has not finished
    uint64_t requests;       // frames received
    uint64_t epoch_unknown;  // answered status 1
    uint64_t faults;         // fault rules fired here
    uint64_t clients;        // clients in the epoch table
    uint64_t crashes;        // times gone down
    uint64_t discarded;      // frames dropped unexecuted by going down
};
void lc_mds_get_stats(lc_mds* m, lc_mds_stats* out);

// The health bits of the file system as get_fs_info reports them.
uint32_t lc_mds_health(lc_mds* m);

// The namespace subtree at `path` as JSON (lc_mds_dump_json); answered on
// the instance's loop. False with *err while the instance is down.
bool lc_mds_dump(lc_mds* m, const std::string& path, std::string* json, std::string* err);

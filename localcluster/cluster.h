// kelvane-localcluster as a library: a simulated cluster on 127.0.0.1 that
// integration tests start in-process and the command-line front end wraps.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct lc_cdisk;

namespace localcluster {

struct FsConfig {
    std::string name;
    uint64_t id = 0;  // 0 = 0x1001 + the file system's index
    bool ci = false;  // case-insensitive (fs flag 0x4)
    uint64_t capacity = 16ull << 30;
    // Bytes of the capacity kept back from writers; UINT64_MAX = one block
    // in twenty (lc_pool_default_reserve).
    uint64_t reserve = UINT64_MAX;
    uint64_t files = 1 << 20;
    bool xattrs_on_ds = true;
};

struct ClusterConfig {
    std::string cluster = "local";
    std::string dir;             // empty = a fresh temporary directory, removed at shutdown
    std::vector<FsConfig> fs;    // empty = tarn (0x1001) and tarn_ci (0x1002, ci)
    int hosts = 3;
    int vdisks_per_host = 2;
    std::vector<uint64_t> host_ids;  // empty = 0xa1, 0xa2, ...
    uint64_t client_host_id = 0xc1;
    bool lock_servers = true;
    bool epoch_strict = true;
    bool crash_replies_drop = false;
    bool lose_unstable = false;
    uint32_t mds_down_ms = 500;
    uint32_t ds_down_ms = 1000;
    uint32_t reboot_down_ms = 4000;
    uint32_t mount_delay_ms = 100;
    uint32_t registry_page = 1000;  // item cap of a registry range page
    int workers = 0;                // 0 = max(8, 2 * cores)
    int ds_loops = 0;               // event loops per DS; 0 = min(4, max(1, cores / 2))
    uint16_t base_port = 0;         // 0 = the kernel picks every port
    bool seed_set = false;
    uint64_t seed = 0;
    int log_level = 1;              // lc_log_level: 0 error ... 3 debug
    std::string log_file;           // empty = stderr
    uint64_t breaks = 0;            // LC_BREAK_* rules broken on purpose (breaks.h); 0 = none
};

class Cluster {
   public:
    // Returns once the cluster is ready (bootstrap file written, KIV_CLUSTER_DIR
    // set); throws std::runtime_error when it cannot start.
    static std::unique_ptr<Cluster> start(const ClusterConfig& config);
    ~Cluster();  // clean shutdown
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    const std::string& dir() const;
    const std::string& conf_path() const;
    uint16_t registry_port() const;
    std::vector<uint64_t> host_ids() const;
    uint64_t mds_host() const;
    const ClusterConfig& config() const;  // normalised: defaults filled in
    // The line printed once the cluster is ready.
    std::string ready_line() const;
    // The vdisk table, DsDisks and pools (cluster_disk.h), for in-process
    // callers such as tests that place objects as the MDS would.
    lc_cdisk* cluster_disk() const;

    // One control command; answers one line of JSON.
    std::string control(std::string_view command);
    // Every outage is over (listeners shut by refuse= faults, crashed
    // servers, rebooted hosts) and the data servers have mounted and caught
    // up. A host held down by `host down` keeps it waiting until `host up`.
    void wait_idle();
    // What the "shutdown" command does (the front end stops the process);
    // without a handler the command is refused, as the owner of the object
    // decides when it goes. Called on the control socket's thread.
    void set_shutdown_handler(std::function<void()> handler);

    struct Impl;

   private:
    explicit Cluster(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Checks a configuration and fills in its defaults (file systems, their
// ids, host ids). Empty on success, else the reason.
std::string normalize_config(ClusterConfig* config);

}  // namespace localcluster

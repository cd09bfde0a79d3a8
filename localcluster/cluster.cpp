#include "localcluster/cluster.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "kiv/io.h"
#include "localcluster/breaks.h"
#include "localcluster/cluster_disk.h"
#include "localcluster/control.h"
#include "localcluster/ds/ds_group.h"
#include "localcluster/ds/ds_server.h"
#include "localcluster/faults/fault_rules.h"
#include "localcluster/faults/registry_faults.h"
#include "localcluster/common/json.h"
#include "localcluster/log.h"
#include "localcluster/ls/ls_server.h"
#include "localcluster/mds/mds_server.h"
#include "localcluster/mds/ns_engine.h"
#include "localcluster/records.h"
#include "localcluster/registry/registry_server.h"
#include "localcluster/registry/registry_store.h"
#include "localcluster/topology.h"

namespace localcluster {

namespace {

bool name_chars_ok(const std::string& s, const char* extra) {
    for (unsigned char c : s)
        if (!isalnum(c) && !strchr(extra, c)) return false;
    return true;
}

std::string hex16(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "%016llx", (unsigned long long)v);
    return buf;
}

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "%llx", (unsigned long long)v);
    return buf;
}

std::string json_str(std::string_view s) { return lc_json_str(s); }

std::string json_error(std::string_view text) { return lc_json_error(text); }

// Creates every missing component; the last one 0700.
int make_dirs(const std::string& path) {
    for (size_t pos = 1;; pos++) {
        pos = path.find('/', pos);
        std::string part = path.substr(0, pos);
        bool last = pos == std::string::npos || pos + 1 >= path.size();
        if (mkdir(part.c_str(), last ? 0700 : 0755) < 0 && errno != EEXIST) return -errno;
        if (last) break;
    }
    struct stat st;
    if (stat(path.c_str(), &st) < 0) return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

// A pid read from a .pid file, or 0.
pid_t read_pid(const std::string& path) {
    FILE* f = fopen(path.c_str(), "re");
    if (!f) return 0;
    long pid = 0;
    if (fscanf(f, "%ld", &pid) != 1) pid = 0;
    fclose(f);
    return pid > 0 ? pid_t(pid) : 0;
}

int write_file_atomic(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -errno;
    ssize_t w = write(fd, text.data(), text.size());
    int e = w == ssize_t(text.size()) ? 0 : (w < 0 ? errno : EIO);
    if (close(fd) < 0 && !e) e = errno;
    if (!e && rename(tmp.c_str(), path.c_str()) < 0) e = errno;
    if (e) unlink(tmp.c_str());
    return -e;
}

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    std::istringstream in{std::string(text)};
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

}  // namespace

std::string normalize_config(ClusterConfig* c) {
    if (c->cluster.empty() || c->cluster[0] == '.' || c->cluster.size() > 200 || !name_chars_ok(c->cluster, "_.-"))
        return "bad cluster name '" + c->cluster + "' (letters, digits, '_', '.', '-'; not starting with '.')";
    if (c->hosts < 3) return "a cluster needs at least 3 hosts";
    if (c->hosts > 256) return "at most 256 hosts";
    if (c->vdisks_per_host < 1 || c->vdisks_per_host > 64) return "vdisks per host must be from 1 to 64";
    if (c->host_ids.empty()) {
        for (int i = 1; i <= c->hosts; i++) c->host_ids.push_back(0xa0 + uint64_t(i));
    } else if (int(c->host_ids.size()) != c->hosts) {
        return std::to_string(c->host_ids.size()) + " host ids for " + std::to_string(c->hosts) + " hosts";
    }
    std::set<uint64_t> ids;
    for (uint64_t id : c->host_ids) {
        if (id == 0) return "host id 0 is not allowed";
        if (!ids.insert(id).second) return "host id " + hex(id) + " given twice";
    }
    if (c->client_host_id == 0) return "client host id 0 is not allowed";
    if (ids.count(c->client_host_id))
        return "client host id " + hex(c->client_host_id) + " is also a server host id";
    if (c->fs.empty()) {
        c->fs.push_back(FsConfig{"tarn", 0x1001, false});
        c->fs.push_back(FsConfig{"tarn_ci", 0x1002, true});
    }
    std::set<std::string> names;
    std::set<uint64_t> fsids;
    for (size_t i = 0; i < c->fs.size(); i++) {
        FsConfig& f = c->fs[i];
        if (f.id == 0) f.id = 0x1001 + i;
        if (f.name.empty() || f.name.size() > 255 || !name_chars_ok(f.name, "_.@-"))
            return "bad file system name '" + f.name + "' (letters, digits, '_', '.', '@', '-')";
        if (!names.insert(f.name).second) return "file system name '" + f.name + "' given twice";
        if (!fsids.insert(f.id).second) return "file system id " + hex(f.id) + " given twice";
        if (f.capacity == 0) return "file system " + f.name + ": capacity 0";
        if (f.reserve != UINT64_MAX && f.reserve > f.capacity)
            return "file system " + f.name + ": reserve above the capacity";
        if (f.files == 0) return "file system " + f.name + ": file count 0";
    }
    if (c->registry_page == 0) return "the registry page must hold at least one item";
    if (c->workers <= 0) {
        int cores = int(std::thread::hardware_concurrency());
        c->workers = std::max(8, 2 * cores);
    }
    if (!c->seed_set) {
        uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, 0) != sizeof seed) seed = uint64_t(time(nullptr)) ^ uint64_t(getpid());
        c->seed = seed;
    }
    if (c->log_level < LC_LOG_ERROR || c->log_level > LC_LOG_DEBUG) return "bad log level";
    return "";
}

struct Cluster::Impl {
    ClusterConfig cfg;
    std::string dir, conf_path, pid_path, ctl_path;
    bool own_dir = false;
    int pid_fd = -1;  // the locked .pid file
    bool conf_written = false;
    lc_logger* log = nullptr;
    lc_regstore* store = nullptr;
    kiv_process proc{};
    bool proc_started = false;
    lc_regsrv* regsrv = nullptr;
    lc_faults* faults = nullptr;
    lc_registry_faults* regfaults = nullptr;
    std::vector<lc_mds*> mds;  // by file system index
    std::vector<lc_ns_disk*> ns_disks;  // the MdsDisks, by file system index: outlive every MDS instance
    std::vector<std::unique_ptr<std::pair<Impl*, int>>> mds_hook_ctx;  // (cluster, fs) for port_moved
    lc_cdisk* cdisk = nullptr;    // vdisk table, DsDisks, pools: outlives every instance
    lc_ds_group* dsg = nullptr;   // the DS instances
    std::vector<lc_ls*> ls;       // the lock servers, by file system index (none with --no-ls)
    std::vector<std::unique_ptr<std::pair<Impl*, int>>> ls_hook_ctx;  // (cluster, fs) for port_moved
    std::atomic<bool> epoch_strict{true};
    std::atomic<bool> crash_replies_drop{false};
    lc_ctl_server* ctl = nullptr;
    lc_topology topo;
    uint16_t registry_port = 0;
    std::atomic<bool> ready{false};
    std::function<void()> on_shutdown;
    std::mutex mu;  // guards the command handlers' view of the topology

    void start();
    void start_mds();
    void claim_name();
    void shutdown();
    std::string control(std::string_view command);
    std::string status_json();
    std::string instance_json(const lc_instance& in);
    int find_fs(const std::string& text) const;
    std::string mds_command(const std::vector<std::string>& w);
    std::string epoch_command(const std::vector<std::string>& w);
    std::string crash_replies_command(const std::vector<std::string>& w);
    std::string dump_command(const std::vector<std::string>& w);
    std::string registry_restart();
    static void mds_port_moved(void* ctx, uint16_t port);
    void start_data_side();
    void start_lock_servers();
    std::string ls_command(const std::vector<std::string>& w);
    std::string locks_command(const std::vector<std::string>& w);
    static void ls_port_moved(void* ctx, uint16_t port);

    // Hosts. A host that is down has every instance on it down; one that
    // reboots comes back by itself at up_at, one held by `host down` only
    // through `host up`. Under mu.
    struct HostState {
        bool down = false;
        bool held = false;
        std::chrono::steady_clock::time_point up_at{};
        uint64_t reboots = 0;  // times gone down
    };
    std::vector<HostState> hosts;  // [host - 1]
    std::thread host_timer;        // brings rebooted hosts back; started by the first one
    std::condition_variable host_cv;  // with mu: a return was scheduled, or the timer stops
    bool host_timer_stop = false;

    // Reboots that reboot fault rules ask for, by host, run one after
    // another on a thread of their own: the data server that asks is in
    // loop context and must not wait for its own host to go down.
    std::mutex fault_reboot_mu;
    std::condition_variable fault_reboot_cv;
    std::deque<int> fault_reboots;
    bool fault_reboot_stop = false;
    std::thread fault_reboot_thread;
    static void fault_reboot(void* ctx, int host);
    void fault_reboot_run();
    void stop_fault_reboots();

    std::string host_command(const std::vector<std::string>& w);
    std::string host_go_down(int host, bool held, uint32_t down_ms);
    std::string host_come_up(int host);
    void host_timer_run();
    void stop_host_timer();
    bool host_is_down(int host) const {
        return host >= 1 && size_t(host) <= hosts.size() && hosts[size_t(host - 1)].down;
    }
    std::string instance_down(const lc_instance& in);
    std::string instance_up(const lc_instance& in);
    std::string on_each_instance(int host, std::string (Impl::*fn)(const lc_instance&));
    std::string refuse_on_down_host(const std::vector<std::string>& w);
};

void Cluster::Impl::claim_name() {
    // A cluster that answers on its control socket is alive.
    std::string reply;
    if (lc_ctl_request(ctl_path, "status", &reply, 1000) == 0)
        throw std::runtime_error("cluster '" + cfg.cluster + "' in " + dir + " is running (" + ctl_path + " answers)");
    // Otherwise the .pid file decides: its owner holds a lock on it for the
    // cluster's life, which the kernel drops when that process dies, so a
    // file left by a crash (or naming a recycled pid) is simply stale.
    for (int attempt = 0; attempt < 5; attempt++) {
        int fd = open(pid_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) throw std::runtime_error("cannot create " + pid_path + ": " + strerror(errno));
        if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
            int e = errno;
            close(fd);
            if (e != EWOULDBLOCK) throw std::runtime_error("cannot lock " + pid_path + ": " + strerror(e));
            pid_t owner = read_pid(pid_path);
            throw std::runtime_error("cluster '" + cfg.cluster + "' in " + dir + " is owned by live process " +
                                     std::to_string(owner) + " (" + pid_path + ")");
        }
        // The previous owner may have removed the file between our open and
        // our lock: the lock must be on the file that the path names.
        struct stat by_fd, by_path;
        if (fstat(fd, &by_fd) < 0 || stat(pid_path.c_str(), &by_path) < 0 || by_fd.st_ino != by_path.st_ino ||
            by_fd.st_dev != by_path.st_dev) {
            close(fd);
            continue;
        }
        pid_t old = read_pid(pid_path);
        if (old || access(conf_path.c_str(), F_OK) == 0)
            lc_log(log, LC_LOG_INFO, "removing the stale files of cluster '%s' (pid %d)", cfg.cluster.c_str(), int(old));
        unlink(conf_path.c_str());
        unlink(ctl_path.c_str());
        std::string text = std::to_string(getpid()) + "\n";
        if (ftruncate(fd, 0) < 0 || pwrite(fd, text.data(), text.size(), 0) != ssize_t(text.size())) {
            int e = errno;
            close(fd);
            throw std::runtime_error("cannot write " + pid_path + ": " + strerror(e));
        }
        pid_fd = fd;
        return;
    }
    throw std::runtime_error("cluster '" + cfg.cluster + "' in " + dir + " is being started and stopped by others");
}

void Cluster::Impl::start() {
    std::string err = normalize_config(&cfg);
    if (!err.empty()) throw std::runtime_error(err);

    if (cfg.dir.empty()) {
        const char* tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelvane-lc-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) throw std::runtime_error("cannot create a temporary directory: " + std::string(strerror(errno)));
        dir = buf.data();
        own_dir = true;
    } else {
        dir = cfg.dir;
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        int rc = make_dirs(dir);
        if (rc < 0) throw std::runtime_error("cannot create directory " + dir + ": " + strerror(-rc));
    }
    cfg.dir = dir;
    conf_path = dir + "/" + cfg.cluster + ".conf";
    pid_path = dir + "/" + cfg.cluster + ".pid";
    ctl_path = dir + "/" + cfg.cluster + ".ctl";

    log = lc_logger_create(cfg.log_level, cfg.log_file, &err);
    if (!log) throw std::runtime_error(err);

    claim_name();

    epoch_strict = cfg.epoch_strict;
    crash_replies_drop = cfg.crash_replies_drop;
    std::vector<lc_fault_fs> fault_fs;
    for (const FsConfig& f : cfg.fs) fault_fs.push_back(lc_fault_fs{f.name, f.id});
    // The services that exist so far; the others refuse rules.
    faults = lc_faults_create(fault_fs, cfg.host_ids, (1u << LC_SVC_REGISTRY) | (1u << LC_SVC_MDS) | (1u << LC_SVC_DS),
                              cfg.seed);

    store = lc_regstore_create(LC_REG_LOG_CAPACITY);
    if (kiv_process_init_(&proc) != 0) throw std::runtime_error("cannot create the cluster's runtime process");
    if (kiv_process_start(&proc, "lc-registry") != 0) {
        kiv_process_fini(&proc);
        throw std::runtime_error("cannot start the cluster's runtime process");
    }
    proc_started = true;

    // The registry's port comes first; the bootstrap file names it.
    regsrv = lc_regsrv_create(&proc, store, cfg.registry_page, log);
    regfaults = lc_registry_faults_attach(faults, regsrv, &proc, log);
    int rc = lc_regsrv_listen(regsrv, cfg.base_port, &registry_port);
    if (rc < 0)
        throw std::runtime_error("registry cannot listen on 127.0.0.1:" + std::to_string(cfg.base_port) + ": " +
                                 strerror(-rc));
    lc_registry_faults_set_port(regfaults, registry_port);

    topo = lc_topology_build(cfg);
    hosts.assign(topo.host_ids.size(), HostState{});
    err = lc_topology_reserve_ports(&topo, cfg.base_port, registry_port);
    if (!err.empty()) throw std::runtime_error(err);

    err = lc_put_service_records(store, topo, cfg);
    if (!err.empty()) throw std::runtime_error(err);
    lc_cdisk_config cdc;
    for (const FsConfig& f : cfg.fs) cdc.fs.push_back(lc_cdisk_fs_config{f.id, f.capacity, f.xattrs_on_ds, f.reserve});
    cdc.host_ids = cfg.host_ids;
    cdc.vdisks_per_host = uint32_t(cfg.vdisks_per_host);
    cdisk = lc_cdisk_create(cdc);
    if (!cdisk) throw std::runtime_error("cannot build the vdisk table");
    start_mds();
    start_data_side();
    start_lock_servers();

    if (ctl_path.size() <= lc_ctl_max_path()) {
        ctl = lc_ctl_server_start(ctl_path, [this](std::string_view cmd) { return control(cmd); }, &err);
        if (!ctl) throw std::runtime_error(err);
    } else {
        lc_log(log, LC_LOG_WARN, "no control socket: %s is longer than a socket path may be", ctl_path.c_str());
        ctl_path.clear();
    }

    rc = write_file_atomic(conf_path, "mds=127.0.0.1:" + std::to_string(registry_port) + "\n");
    if (rc < 0) throw std::runtime_error("cannot write " + conf_path + ": " + strerror(-rc));
    conf_written = true;
    setenv("KIV_CLUSTER_DIR", dir.c_str(), 1);
    ready = true;
    lc_log(log, LC_LOG_INFO, "cluster '%s' ready: registry 127.0.0.1:%u, %d hosts, %zu file systems",
           cfg.cluster.c_str(), registry_port, cfg.hosts, cfg.fs.size());
}

// Each MDS takes over the port reserved for it: it listens on the same port
// first and only then is the holding socket closed, so the port is never
// free for anybody else, and the records already name it.
void Cluster::Impl::start_mds() {
    mds.assign(cfg.fs.size(), nullptr);
    // Each file system's MdsDisk holds only its root, made at cluster start.
    timespec start_ts;
    clock_gettime(CLOCK_REALTIME, &start_ts);
    uint64_t start_ns = uint64_t(start_ts.tv_sec) * 1000000000ull + uint64_t(start_ts.tv_nsec);
    ns_disks.assign(cfg.fs.size(), nullptr);
    for (size_t f = 0; f < cfg.fs.size(); f++) {
        lc_ns_disk_config dc;
        dc.fs_id = cfg.fs[f].id;
        dc.ci = cfg.fs[f].ci;
        dc.xattrs_on_ds = cfg.fs[f].xattrs_on_ds;
        dc.capacity = cfg.fs[f].capacity;
        dc.total_files = cfg.fs[f].files;
        // Like the space pool, the server keeps one file in twenty for itself.
        dc.files_reserve = cfg.fs[f].files / 20;
        dc.vdisks = uint16_t(lc_cdisk_vdisk_count(cdisk));
        dc.start_time_ns = start_ns;
        dc.pool = lc_cdisk_pool(cdisk, int(f));
        dc.breaks = cfg.breaks;
        if (cfg.breaks & LC_BREAK_NO_SPACE_ACCOUNTING) dc.pool->no_accounting = true;
        dc.pool->breaks = cfg.breaks;
        ns_disks[f] = lc_ns_disk_create(dc);
        if (!ns_disks[f]) throw std::runtime_error("cannot build the MDS disk of " + cfg.fs[f].name);
    }
    for (lc_instance& in : topo.instances) {
        if (in.service != LC_SVC_MDS) continue;
        const FsConfig& fs = cfg.fs[size_t(in.fs)];
        lc_mds_config mc;
        mc.fs_id = fs.id;
        mc.fs_name = fs.name;
        mc.fs_index = in.fs;
        mc.host_id = topo.host_ids[size_t(in.host - 1)];
        mc.epoch_strict = &epoch_strict;
        mc.faults = faults;
        mc.log = log;
        mc.disk = ns_disks[size_t(in.fs)];
        mc.cdisk = cdisk;
        mc.crash_replies_drop = &crash_replies_drop;
        mc.down_ms = cfg.mds_down_ms;
        mds_hook_ctx.push_back(std::make_unique<std::pair<Impl*, int>>(this, in.fs));
        mc.port_moved = mds_port_moved;
        mc.port_moved_ctx = mds_hook_ctx.back().get();
        std::string err;
        lc_mds* m = lc_mds_create(mc, &err);
        if (!m) throw std::runtime_error(err);
        mds[size_t(in.fs)] = m;
        uint16_t bound = 0;
        int rc = lc_mds_listen(m, in.port, &bound);
        if (rc < 0)
            throw std::runtime_error("the MDS of " + fs.name + " cannot listen on 127.0.0.1:" +
                                     std::to_string(in.port) + ": " + strerror(-rc));
        lc_topology_release_port(&in);
        in.state = LC_INST_UP;
    }
}

// Each DS instance takes over its reserved port as the MDS does.
void Cluster::Impl::start_data_side() {
    lc_ds_group_config gc;
    gc.cluster = &cfg;
    gc.cdisk = cdisk;
    gc.faults = faults;
    gc.log = log;
    gc.epoch_strict = &epoch_strict;
    gc.crash_replies_drop = &crash_replies_drop;
    gc.reboot_host = fault_reboot;
    gc.reboot_host_ctx = this;
    fault_reboot_thread = std::thread([this] { fault_reboot_run(); });
    std::string err;
    dsg = lc_ds_group_start(gc, &topo, &err);
    if (!dsg) throw std::runtime_error(err);
}

// Each lock server takes over its reserved port as the MDS does.
void Cluster::Impl::start_lock_servers() {
    ls.assign(cfg.fs.size(), nullptr);
    for (lc_instance& in : topo.instances) {
        if (in.service != LC_SVC_LS) continue;
        const FsConfig& fs = cfg.fs[size_t(in.fs)];
        lc_ls_config lcfg;
        lcfg.fs_id = fs.id;
        lcfg.fs_name = fs.name;
        lcfg.breaks = cfg.breaks;
        lcfg.seed = cfg.seed;
        lcfg.log = log;
        ls_hook_ctx.push_back(std::make_unique<std::pair<Impl*, int>>(this, in.fs));
        lcfg.port_moved = ls_port_moved;
        lcfg.port_moved_ctx = ls_hook_ctx.back().get();
        std::string err;
        lc_ls* l = lc_ls_create(lcfg, &err);
        if (!l) throw std::runtime_error(err);
        ls[size_t(in.fs)] = l;
        uint16_t bound = 0;
        int rc = lc_ls_listen(l, in.port, &bound);
        if (rc < 0)
            throw std::runtime_error("the lock server of " + fs.name + " cannot listen on 127.0.0.1:" +
                                     std::to_string(in.port) + ": " + strerror(-rc));
        lc_topology_release_port(&in);
        in.state = LC_INST_UP;
    }
}

void Cluster::Impl::shutdown() {
    ready = false;
    // Clients stop finding the cluster first.
    if (conf_written) unlink(conf_path.c_str());
    conf_written = false;
    if (ctl) lc_ctl_server_stop(ctl);
    ctl = nullptr;
    // No host goes down or comes back while the instances go.
    stop_fault_reboots();
    stop_host_timer();
    lc_ds_group_stop(dsg);
    dsg = nullptr;
    for (lc_ls*& l : ls) {
        lc_ls_destroy(l);
        l = nullptr;
    }
    for (lc_mds*& m : mds) {
        lc_mds_destroy(m);
        m = nullptr;
    }
    for (lc_ns_disk*& d : ns_disks) {
        lc_ns_disk_destroy(d);
        d = nullptr;
    }
    if (regfaults && proc_started) lc_registry_faults_stop(regfaults);
    if (regsrv && proc_started) lc_regsrv_stop(regsrv);
    if (proc_started) {
        kiv_process_terminate(&proc);
        kiv_process_wait(&proc);
        kiv_process_fini(&proc);
        proc_started = false;
    }
    lc_regsrv_destroy(regsrv);
    regsrv = nullptr;
    lc_registry_faults_destroy(regfaults);
    regfaults = nullptr;
    lc_faults_destroy(faults);
    faults = nullptr;
    lc_topology_release_all(&topo);
    lc_cdisk_destroy(cdisk);
    cdisk = nullptr;
    lc_regstore_destroy(store);
    store = nullptr;
    if (pid_fd >= 0) {
        unlink(pid_path.c_str());
        close(pid_fd);
    }
    pid_fd = -1;
    if (own_dir && rmdir(dir.c_str()) < 0) lc_log(log, LC_LOG_WARN, "leaving %s: %s", dir.c_str(), strerror(errno));
    own_dir = false;
    lc_log(log, LC_LOG_INFO, "cluster '%s' stopped", cfg.cluster.c_str());
    lc_logger_destroy(log);
    log = nullptr;
}

std::string Cluster::Impl::instance_json(const lc_instance& in) {
    std::string j = "{\"service\":\"" + std::string(lc_service_name(in.service)) + "\"";
    if (in.host > 0) j += ",\"host\":\"" + hex16(topo.host_ids[size_t(in.host - 1)]) + "\"";
    if (in.fs >= 0) j += ",\"fs\":" + json_str(cfg.fs[size_t(in.fs)].name);
    lc_mds* m = in.service == LC_SVC_MDS && size_t(in.fs) < mds.size() ? mds[size_t(in.fs)] : nullptr;
    if (m) {
        lc_mds_stats st;
        lc_mds_get_stats(m, &st);
        const char* state = st.state != LC_MDS_UP ? lc_mds_state_name(st.state)
                            : !st.listening   ? "down"
                            : st.recovering   ? "recovering"
                                              : "up";
        j += ",\"port\":" + std::to_string(st.port) + ",\"state\":\"" + state + "\"";
        j += ",\"requests\":" + std::to_string(st.requests) + ",\"epoch_unknown\":" + std::to_string(st.epoch_unknown);
        j += ",\"clients\":" + std::to_string(st.clients) + ",\"faults\":" + std::to_string(st.faults);
        j += ",\"crashes\":" + std::to_string(st.crashes) + ",\"discarded\":" + std::to_string(st.discarded);
        if (st.refusing) j += ",\"refusing\":true";
        return j + "}";
    }
    if (in.service == LC_SVC_DS && dsg) return j + lc_ds_group_instance_json(dsg, in.host, in.fs) + "}";
    lc_ls* l = in.service == LC_SVC_LS && size_t(in.fs) < ls.size() ? ls[size_t(in.fs)] : nullptr;
    if (l) {
        lc_ls_stats st;
        lc_ls_get_stats(l, &st);
        j += ",\"port\":" + std::to_string(st.port) + ",\"state\":\"" + (st.up && st.listening ? "up" : "down") + "\"";
        j += ",\"requests\":" + std::to_string(st.requests) + ",\"refused\":" + std::to_string(st.refused);
        j += ",\"restarts\":" + std::to_string(st.restarts) + ",\"boot_tag\":" + std::to_string(st.boot_tag);
        j += ",\"held\":" + std::to_string(st.held) + ",\"pending\":" + std::to_string(st.pending);
        return j + ",\"shares\":" + std::to_string(st.shares) + "}";
    }
    if (in.service == LC_SVC_REGISTRY && regsrv) {
        bool refusing = regfaults && lc_registry_faults_refusing(regfaults);
        j += ",\"port\":" + std::to_string(in.port) + ",\"state\":\"" + (refusing ? "down" : "up") + "\"";
        j += ",\"requests\":" + std::to_string(lc_regsrv_requests(regsrv));
        j += ",\"faults\":" + std::to_string(regfaults ? lc_registry_faults_fired(regfaults) : 0);
        if (refusing) j += ",\"refusing\":true";
        return j + "}";
    }
    return j + ",\"port\":" + std::to_string(in.port) + ",\"state\":\"" + lc_inst_state_name(in.state) + "\"}";
}

std::string Cluster::Impl::status_json() {
    std::string j = "{\"ok\":true,\"ready\":";
    j += ready ? "true" : "false";
    j += ",\"cluster\":" + json_str(cfg.cluster) + ",\"dir\":" + json_str(dir);
    j += ",\"epoch\":\"" + std::string(epoch_strict ? "strict" : "lenient") + "\"";
    j += ",\"breaks\":" + lc_breaks_json(cfg.breaks);
    j += ",\"fault_rules\":" + std::to_string(faults ? lc_faults_count(faults) : 0);
    j += ",\"registry\":{\"port\":" + std::to_string(registry_port);
    j += ",\"generation\":" + std::to_string(store ? lc_regstore_generation(store) : 0);
    j += ",\"items\":" + std::to_string(store ? lc_regstore_count(store) : 0);
    j += ",\"parked_watches\":" + std::to_string(regsrv ? lc_regsrv_parked(regsrv) : 0);
    j += ",\"requests\":" + std::to_string(regsrv ? lc_regsrv_requests(regsrv) : 0) + "}";
    j += ",\"hosts\":[";
    for (size_t i = 0; i < topo.host_ids.size(); i++) {
        if (i) j += ",";
        const HostState h = i < hosts.size() ? hosts[i] : HostState{};
        j += "{\"index\":" + std::to_string(i + 1) + ",\"id\":\"" + hex16(topo.host_ids[i]) + "\",\"state\":\"" +
             (h.down ? "down" : "up") + "\"";
        if (h.down && h.held) j += ",\"held\":true";
        if (h.down && !h.held) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(h.up_at - std::chrono::steady_clock::now());
            j += ",\"back_in_ms\":" + std::to_string(std::max<int64_t>(0, left.count()));
        }
        j += ",\"reboots\":" + std::to_string(h.reboots);
        j += i == 0 ? ",\"mds_host\":true}" : "}";
    }
    j += "],\"instances\":[";
    for (size_t i = 0; i < topo.instances.size(); i++) {
        if (i) j += ",";
        j += instance_json(topo.instances[i]);
    }
    j += "],\"fs\":[";
    for (size_t f = 0; f < cfg.fs.size(); f++) {
        const FsConfig& fs = cfg.fs[f];
        if (f) j += ",";
        j += "{\"name\":" + json_str(fs.name) + ",\"id\":\"" + hex(fs.id) + "\",\"flags\":" +
             std::to_string(fs.ci ? 0x4 : 0) + ",\"ci\":" + (fs.ci ? "true" : "false");
        if (dsg) j += lc_ds_group_fs_json(dsg, int(f));
        if (f < ns_disks.size() && ns_disks[f]) {
            lc_ns_stats ns;
            lc_ns_disk_get_stats(ns_disks[f], &ns);
            j += ",\"objects\":{\"files\":" + std::to_string(ns.files) + ",\"dirs\":" + std::to_string(ns.dirs) +
                 ",\"symlinks\":" + std::to_string(ns.symlinks) + ",\"names\":" + std::to_string(ns.names) +
                 ",\"free_files\":" + std::to_string(ns.free_files) +
                 ",\"next_file_id\":" + std::to_string(ns.next_file_id) + "}";
        }
        int mds_at = lc_topology_find(topo, LC_SVC_MDS, 1, int(f));
        int ls = lc_topology_find(topo, LC_SVC_LS, 1, int(f));
        j += ",\"mds_port\":" +
             (mds_at >= 0 ? std::to_string(topo.instances[size_t(mds_at)].port) : std::string("null"));
        j += ",\"ls_port\":" + (ls >= 0 ? std::to_string(topo.instances[size_t(ls)].port) : std::string("null"));
        j += "}";
    }
    return j + "]}";
}

// A file system named by its name or its hex id; -1 if none.
int Cluster::Impl::find_fs(const std::string& text) const {
    for (size_t f = 0; f < cfg.fs.size(); f++)
        if (cfg.fs[f].name == text) return int(f);
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    if (t.empty() || t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos || t.size() > 16) return -1;
    uint64_t id = strtoull(t.c_str(), nullptr, 16);
    for (size_t f = 0; f < cfg.fs.size(); f++)
        if (cfg.fs[f].id == id) return int(f);
    return -1;
}

// mds move FS: the MDS leaves its port for a fresh one and its record is
// put again, so that resolvers watching the registry follow it.
std::string Cluster::Impl::mds_command(const std::vector<std::string>& w) {
    if (w.size() == 3 && w[1] == "move") {
        int f = find_fs(w[2]);
        if (f < 0) return json_error("unknown file system '" + w[2] + "'");
        int at = lc_topology_find(topo, LC_SVC_MDS, 1, f);
        if (at < 0 || !mds[size_t(f)]) return json_error("no MDS for " + w[2]);
        lc_instance& in = topo.instances[size_t(at)];
        const FsConfig& fs = cfg.fs[size_t(f)];
        uint16_t old = in.port, port = 0;
        int rc = lc_mds_move(mds[size_t(f)], &port);
        if (rc < 0) return json_error("the MDS of " + fs.name + " cannot listen on a new port: " + strerror(-rc));
        in.port = port;
        uint64_t gen = 0;
        std::string value = lc_record_value(LC_SVC_MDS, topo.host_ids[size_t(in.host - 1)], fs.name, fs.id, port);
        uint32_t st = lc_regstore_put(store, lc_record_key(LC_SVC_MDS, fs.id), value, false, 0, &gen);
        if (st != 0) return json_error("cannot put the record of " + fs.name + " (status " + std::to_string(st) + ")");
        lc_log(log, LC_LOG_INFO, "record of the MDS of %s now names port %u (generation %llu)", fs.name.c_str(),
               unsigned(port), (unsigned long long)gen);
        return "{\"ok\":true,\"fs\":" + json_str(fs.name) + ",\"old_port\":" + std::to_string(old) +
               ",\"port\":" + std::to_string(port) + ",\"generation\":" + std::to_string(gen) + "}";
    }
    if (w.size() >= 2 && w[1] == "move") return json_error("usage: mds move FS");
    if ((w.size() == 3 || w.size() == 4) && w[1] == "crash") {
        int f = find_fs(w[2]);
        if (f < 0) return json_error("unknown file system '" + w[2] + "'");
        if (!mds[size_t(f)]) return json_error("no MDS for " + w[2]);
        uint32_t down = cfg.mds_down_ms;
        if (w.size() == 4) {
            char* end = nullptr;
            unsigned long v = strtoul(w[3].c_str(), &end, 10);
            if (w[3].empty() || *end || v == 0 || v > 3600000) return json_error("bad down time '" + w[3] + "' (ms)");
            down = uint32_t(v);
        }
        int rc = lc_mds_crash(mds[size_t(f)], down);
        if (rc == -EALREADY) return json_error("the MDS of " + cfg.fs[size_t(f)].name + " is down already");
        if (rc < 0) return json_error("cannot crash the MDS of " + cfg.fs[size_t(f)].name + ": " + strerror(-rc));
        return "{\"ok\":true,\"fs\":" + json_str(cfg.fs[size_t(f)].name) + ",\"down_ms\":" + std::to_string(down) +
               "}";
    }
    if (w.size() >= 2 && w[1] == "crash") return json_error("usage: mds crash FS [DOWN_MS]");
    return json_error("'" + w[0] + (w.size() > 1 ? " " + w[1] : std::string()) + "' is not supported in this version");
}

// A restarted MDS that had to leave its port publishes the new one. Called
// on the MDS's loop: only the registry store is touched (it has its own
// lock), never the command mutex.
void Cluster::Impl::mds_port_moved(void* ctx, uint16_t port) {
    auto* hook = static_cast<std::pair<Impl*, int>*>(ctx);
    Impl* self = hook->first;
    const FsConfig& fs = self->cfg.fs[size_t(hook->second)];
    uint64_t gen = 0;
    std::string value = lc_record_value(LC_SVC_MDS, self->topo.host_ids[0], fs.name, fs.id, port);
    uint32_t st = lc_regstore_put(self->store, lc_record_key(LC_SVC_MDS, fs.id), value, false, 0, &gen);
    lc_log(self->log, st ? LC_LOG_ERROR : LC_LOG_WARN, "record of the MDS of %s now names port %u (status %u)",
           fs.name.c_str(), unsigned(port), st);
}

// A lock server that came back on a new port publishes it; as for the MDS,
// only the registry store is touched.
void Cluster::Impl::ls_port_moved(void* ctx, uint16_t port) {
    auto* hook = static_cast<std::pair<Impl*, int>*>(ctx);
    Impl* self = hook->first;
    const FsConfig& fs = self->cfg.fs[size_t(hook->second)];
    uint64_t gen = 0;
    std::string value = lc_record_value(LC_SVC_LS, self->topo.host_ids[0], fs.name, fs.id, port);
    uint32_t st = lc_regstore_put(self->store, lc_record_key(LC_SVC_LS, fs.id), value, false, 0, &gen);
    lc_log(self->log, st ? LC_LOG_ERROR : LC_LOG_WARN, "record of the lock server of %s now names port %u (status %u)",
           fs.name.c_str(), unsigned(port), st);
}

// ls restart FS: the lock server crashes and comes back at once on its
// port, with no locks and a new boot tag.
std::string Cluster::Impl::ls_command(const std::vector<std::string>& w) {
    if (w.size() != 3 || w[1] != "restart") return json_error("usage: ls restart FS");
    int f = find_fs(w[2]);
    if (f < 0) return json_error("unknown file system '" + w[2] + "'");
    lc_ls* l = size_t(f) < ls.size() ? ls[size_t(f)] : nullptr;
    if (!l) return json_error("no lock server for " + cfg.fs[size_t(f)].name);
    int rc = lc_ls_restart(l);
    if (rc < 0) return json_error("cannot restart the lock server of " + cfg.fs[size_t(f)].name + ": " + strerror(-rc));
    lc_ls_stats st;
    lc_ls_get_stats(l, &st);
    int at = lc_topology_find(topo, LC_SVC_LS, 1, f);
    if (at >= 0) topo.instances[size_t(at)].port = st.port;
    return "{\"ok\":true,\"fs\":" + json_str(cfg.fs[size_t(f)].name) + ",\"port\":" + std::to_string(st.port) +
           ",\"boot_tag\":" + std::to_string(st.boot_tag) + "}";
}

// locks FS: the lock server's tables, for tracing a lock left behind.
std::string Cluster::Impl::locks_command(const std::vector<std::string>& w) {
    if (w.size() != 2) return json_error("usage: locks FS");
    int f = find_fs(w[1]);
    if (f < 0) return json_error("unknown file system '" + w[1] + "'");
    lc_ls* l = size_t(f) < ls.size() ? ls[size_t(f)] : nullptr;
    if (!l) return json_error("no lock server for " + cfg.fs[size_t(f)].name);
    constexpr size_t kMaxListed = 10000;
    return "{\"ok\":true,\"fs\":" + json_str(cfg.fs[size_t(f)].name) + "," + lc_ls_locks_json(l, kMaxListed).substr(1);
}

// dump FS [PATH]: the namespace below PATH (default the root) as JSON.
std::string Cluster::Impl::dump_command(const std::vector<std::string>& w) {
    if (w.size() != 2 && w.size() != 3) return json_error("usage: dump FS [PATH]");
    int f = find_fs(w[1]);
    if (f < 0 || !mds[size_t(f)]) return json_error("unknown file system '" + w[1] + "'");
    std::string json, err;
    if (!lc_mds_dump(mds[size_t(f)], w.size() == 3 ? w[2] : "/", &json, &err)) return json_error(err);
    return "{\"ok\":true,\"fs\":" + json_str(cfg.fs[size_t(f)].name) + ",\"tree\":" + json + "}";
}

std::string Cluster::Impl::crash_replies_command(const std::vector<std::string>& w) {
    if (w.size() == 2 && (w[1] == "flush" || w[1] == "drop")) {
        crash_replies_drop = w[1] == "drop";
        lc_log(log, LC_LOG_INFO, "crashes now %s the replies of finished requests",
               crash_replies_drop ? "drop" : "flush");
    } else if (w.size() != 1) {
        return json_error("usage: crash-replies flush|drop");
    }
    return "{\"ok\":true,\"crash_replies\":\"" + std::string(crash_replies_drop ? "drop" : "flush") + "\"}";
}

std::string Cluster::Impl::epoch_command(const std::vector<std::string>& w) {
    if (w.size() == 2 && (w[1] == "strict" || w[1] == "lenient")) {
        epoch_strict = w[1] == "strict";
        lc_log(log, LC_LOG_INFO, "epoch checks now %s", w[1].c_str());
    } else if (w.size() != 1) {
        return json_error("usage: epoch strict|lenient");
    }
    return "{\"ok\":true,\"epoch\":\"" + std::string(epoch_strict ? "strict" : "lenient") + "\"}";
}

// ---------------------------------------------------------------- hosts

// One instance goes down until its host comes back; "" or what failed.
std::string Cluster::Impl::instance_down(const lc_instance& in) {
    switch (in.service) {
        case LC_SVC_MDS: {
            lc_mds* m = size_t(in.fs) < mds.size() ? mds[size_t(in.fs)] : nullptr;
            int rc = m ? lc_mds_hold_down(m) : 0;
            return rc < 0 ? "the MDS of " + cfg.fs[size_t(in.fs)].name + ": " + strerror(-rc) : "";
        }
        case LC_SVC_DS: {
            lc_ds* ds = dsg ? lc_ds_group_instance(dsg, in.host, in.fs) : nullptr;
            if (ds) lc_ds_crash(ds, LC_DS_HOLD_DOWN);
            return "";
        }
        case LC_SVC_LS: {
            lc_ls* l = size_t(in.fs) < ls.size() ? ls[size_t(in.fs)] : nullptr;
            int rc = l ? lc_ls_hold_down(l) : 0;
            return rc < 0 ? "the lock server of " + cfg.fs[size_t(in.fs)].name + ": " + strerror(-rc) : "";
        }
        case LC_SVC_REGISTRY:  // on no host: never rebooted
            return "";
    }
    return "";
}

std::string Cluster::Impl::instance_up(const lc_instance& in) {
    switch (in.service) {
        case LC_SVC_MDS: {
            lc_mds* m = size_t(in.fs) < mds.size() ? mds[size_t(in.fs)] : nullptr;
            int rc = m ? lc_mds_restart(m) : 0;
            return rc < 0 && rc != -EALREADY ? "the MDS of " + cfg.fs[size_t(in.fs)].name + ": " + strerror(-rc) : "";
        }
        case LC_SVC_DS: {
            lc_ds* ds = dsg ? lc_ds_group_instance(dsg, in.host, in.fs) : nullptr;
            int rc = ds ? lc_ds_restart(ds) : 0;
            return rc < 0 ? "the DS of " + cfg.fs[size_t(in.fs)].name + ": " + strerror(-rc) : "";
        }
        case LC_SVC_LS: {
            lc_ls* l = size_t(in.fs) < ls.size() ? ls[size_t(in.fs)] : nullptr;
            int rc = l ? lc_ls_come_up(l) : 0;
            return rc < 0 && rc != -EALREADY ? "the lock server of " + cfg.fs[size_t(in.fs)].name + ": " + strerror(-rc)
                                             : "";
        }
        case LC_SVC_REGISTRY:
            return "";
    }
    return "";
}

// Runs `fn` on every instance of a host at once, each on a thread of its
// own: going down waits for running handlers and draining replies, which
// one instance must not add to another's outage. The failures, joined.
std::string Cluster::Impl::on_each_instance(int host, std::string (Impl::*fn)(const lc_instance&)) {
    std::vector<const lc_instance*> on_host;
    for (const lc_instance& in : topo.instances)
        if (in.host == host) on_host.push_back(&in);
    std::vector<std::string> errs(on_host.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < on_host.size(); i++)
        threads.emplace_back([this, fn, &errs, &on_host, i] { errs[i] = (this->*fn)(*on_host[i]); });
    for (std::thread& t : threads) t.join();
    std::string all;
    for (const std::string& e : errs)
        if (!e.empty()) all += (all.empty() ? "" : "; ") + e;
    return all;
}

// Under mu. Every instance of the host goes down; the vdisk table keeps
// the host, its ports and its last tokens, and the registry is not told.
std::string Cluster::Impl::host_go_down(int host, bool held, uint32_t down_ms) {
    HostState& h = hosts[size_t(host - 1)];
    h.down = true;
    h.held = held;
    h.reboots++;
    std::string errs = on_each_instance(host, &Impl::instance_down);
    // The outage counts from the moment everything is down.
    h.up_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(held ? 0 : down_ms);
    std::string id = hex16(topo.host_ids[size_t(host - 1)]);
    if (!errs.empty()) lc_log(log, LC_LOG_ERROR, "host %s: %s", id.c_str(), errs.c_str());
    if (held)
        lc_log(log, LC_LOG_INFO, "host %s is down until it is brought up", id.c_str());
    else
        lc_log(log, LC_LOG_INFO, "host %s reboots: down for %u ms", id.c_str(), down_ms);
    return errs;
}

// Under mu. The instances come back as after a crash: on their ports,
// the data servers with a new verifier and, after the mount delay, new
// tokens; the MDS from its disk, with an empty epoch table, recovering
// until the data servers have caught up.
std::string Cluster::Impl::host_come_up(int host) {
    HostState& h = hosts[size_t(host - 1)];
    h.down = false;
    h.held = false;
    std::string errs = on_each_instance(host, &Impl::instance_up);
    std::string id = hex16(topo.host_ids[size_t(host - 1)]);
    if (!errs.empty())
        lc_log(log, LC_LOG_ERROR, "host %s is up, but %s", id.c_str(), errs.c_str());
    else
        lc_log(log, LC_LOG_INFO, "host %s is up", id.c_str());
    return errs;
}

void Cluster::Impl::host_timer_run() {
    std::unique_lock<std::mutex> lk(mu);
    while (!host_timer_stop) {
        auto now = std::chrono::steady_clock::now();
        int due = 0;
        std::optional<std::chrono::steady_clock::time_point> next;
        for (size_t i = 0; i < hosts.size() && !due; i++) {
            const HostState& h = hosts[i];
            if (!h.down || h.held) continue;
            if (h.up_at <= now)
                due = int(i) + 1;
            else if (!next || h.up_at < *next)
                next = h.up_at;
        }
        if (due)
            host_come_up(due);
        else if (next)
            host_cv.wait_until(lk, *next);
        else
            host_cv.wait(lk);
    }
}

void Cluster::Impl::stop_host_timer() {
    if (!host_timer.joinable()) return;
    {
        std::lock_guard<std::mutex> g(mu);
        host_timer_stop = true;
    }
    host_cv.notify_all();
    host_timer.join();
}

void Cluster::Impl::fault_reboot(void* ctx, int host) {
    auto* impl = static_cast<Impl*>(ctx);
    {
        std::lock_guard<std::mutex> g(impl->fault_reboot_mu);
        impl->fault_reboots.push_back(host);
    }
    impl->fault_reboot_cv.notify_one();
}

void Cluster::Impl::fault_reboot_run() {
    std::unique_lock<std::mutex> lk(fault_reboot_mu);
    for (;;) {
        fault_reboot_cv.wait(lk, [this] { return fault_reboot_stop || !fault_reboots.empty(); });
        if (fault_reboot_stop) return;
        int host = fault_reboots.front();
        fault_reboots.pop_front();
        lk.unlock();
        {
            std::lock_guard<std::mutex> g(mu);
            const std::string id = hex16(topo.host_ids.at(size_t(host - 1)));
            const std::string reply = host_command({"host", "reboot", id});
            if (reply.rfind("{\"ok\":true", 0) != 0)
                lc_log(log, LC_LOG_ERROR, "reboot of host %s for a fault rule: %s", id.c_str(), reply.c_str());
        }
        lk.lock();
    }
}

// Reboots still queued are dropped: their data servers stay out of
// service until the group stops them.
void Cluster::Impl::stop_fault_reboots() {
    if (!fault_reboot_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> g(fault_reboot_mu);
        fault_reboot_stop = true;
    }
    fault_reboot_cv.notify_all();
    fault_reboot_thread.join();
}

// host reboot HOST [DOWN_MS] | host down HOST | host up HOST. A reboot or
// `host down` of a host that is down already only changes when it returns.
std::string Cluster::Impl::host_command(const std::vector<std::string>& w) {
    const char* usage = "usage: host reboot HOST [DOWN_MS] | host down HOST | host up HOST";
    if (w.size() < 3) return json_error(usage);
    const std::string& verb = w[1];
    bool reboot = verb == "reboot";
    if (!reboot && verb != "down" && verb != "up") return json_error(usage);
    if (w.size() > (reboot ? 4u : 3u)) return json_error(usage);
    int host = lc_ds_group_find_host(cfg, w[2]);
    if (!host || size_t(host) > hosts.size()) return json_error("unknown host " + w[2]);
    uint32_t down_ms = cfg.reboot_down_ms;
    if (w.size() == 4) {
        char* end = nullptr;
        errno = 0;
        unsigned long v = strtoul(w[3].c_str(), &end, 10);
        if (w[3].empty() || !isdigit(static_cast<unsigned char>(w[3][0])) || *end || errno || v == 0 || v > 3600000)
            return json_error("bad down time '" + w[3] + "' (ms)");
        down_ms = uint32_t(v);
    }
    HostState& h = hosts[size_t(host - 1)];
    std::string id = hex16(topo.host_ids[size_t(host - 1)]);
    std::string head = "{\"ok\":true,\"host\":\"" + id + "\",\"index\":" + std::to_string(host);
    if (verb == "up") {
        if (!h.down) return json_error("host " + id + " is up");
        std::string errs = host_come_up(host);
        if (!errs.empty()) return json_error("host " + id + " is up, but " + errs);
        return head + ",\"state\":\"up\"}";
    }
    bool was_down = h.down;
    std::string errs;
    if (!was_down) {
        errs = host_go_down(host, !reboot, down_ms);
    } else {
        h.held = !reboot;
        h.up_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(reboot ? down_ms : 0);
        lc_log(log, LC_LOG_INFO, "host %s is down already; it now returns %s", id.c_str(),
               reboot ? ("in " + std::to_string(down_ms) + " ms").c_str() : "when brought up");
    }
    if (reboot) {
        if (!host_timer.joinable()) host_timer = std::thread([this] { host_timer_run(); });
        host_cv.notify_all();
    }
    if (!errs.empty()) return json_error("host " + id + " is down, but " + errs);
    std::string j = head + ",\"state\":\"down\",\"was_down\":" + (was_down ? "true" : "false");
    if (reboot) j += ",\"down_ms\":" + std::to_string(down_ms);
    j += ",\"instances\":[";
    bool first = true;
    for (const lc_instance& in : topo.instances) {
        if (in.host != host) continue;
        j += std::string(first ? "" : ",") + "{\"service\":\"" + lc_service_name(in.service) + "\",\"fs\":" +
             json_str(cfg.fs[size_t(in.fs)].name) + "}";
        first = false;
    }
    return j + "]}";
}

// Commands aimed at an instance of a host that is down would bring it back
// early or touch what the outage owns: they wait for the host.
std::string Cluster::Impl::refuse_on_down_host(const std::vector<std::string>& w) {
    int host = 0;
    if (w.size() >= 3 && ((w[0] == "ds" && w[1] == "crash") || w[0] == "repl"))
        host = lc_ds_group_find_host(cfg, w[2]);
    else if (w.size() >= 2 && ((w[0] == "mds" && (w[1] == "crash" || w[1] == "move")) || w[0] == "ls"))
        host = 1;
    if (!host_is_down(host)) return "";
    return json_error("host " + hex16(topo.host_ids[size_t(host - 1)]) + " is down");
}

namespace {

// The control commands this version serves, as `help` lists them.
const char* const kCommands[] = {
    "status",
    "help",
    "epoch [strict|lenient]",
    // Entries that span lines are parenthesised, so that a compiler that
    // looks for a missing comma between the literals knows they are one.
    ("fault add SERVICE[:FS] [type=N|any] [op=N] [client=HEX] [host=HEX] [vdisk=N] ACTION [count=N] [prob=P] "
     "[after=N]  (ACTION: status=S drop apply-drop apply-crash noreply delay=MS short=N rterr=C refuse=MS overdata "
     "reboot)"),
    "fault del ID",
    "fault clear",
    "fault list",
    "mds move FS  (the MDS listens on a new port; its registry record follows)",
    "mds crash FS [DOWN_MS]  (what MDS test code 2 does)",
    "dump FS [PATH]  (the namespace below PATH as JSON)",
    "ds crash HOST FS|all [DOWN_MS]",
    "repl disable|enable HOST FS",
    "vdisk unmount|mount FS V",
    "crash-replies [flush|drop]",
    ("registry restart  (the registry drops its connections and comes back with its records and a generation "
     "started over)"),
    "host reboot HOST [DOWN_MS]  (every instance on the host goes down and comes back after DOWN_MS)",
    "host down HOST  (the same outage, until host up)",
    "host up HOST",
    "ls restart FS  (the lock server crashes and comes back at once; its locks are lost)",
    "locks FS  (the lock server's tables as JSON)",
    "shutdown",
};

}  // namespace

std::string Cluster::Impl::control(std::string_view command) {
    std::vector<std::string> w = split_words(command);
    if (w.empty()) return json_error("empty command");
    std::lock_guard<std::mutex> g(mu);
    const std::string& c = w[0];
    if (c == "status") return status_json();
    if (c == "help") {
        std::string j = "{\"ok\":true,\"commands\":[";
        for (size_t i = 0; i < sizeof kCommands / sizeof kCommands[0]; i++)
            j += (i ? "," : "") + json_str(kCommands[i]);
        return j + "]}";
    }
    if (c == "shutdown" && w.size() == 1 && on_shutdown) {
        on_shutdown();
        return "{\"ok\":true}";
    }
    if (c == "fault") return lc_faults_command(faults, std::vector<std::string>(w.begin() + 1, w.end()));
    if (c == "epoch") return epoch_command(w);
    std::string refused = refuse_on_down_host(w);
    if (!refused.empty()) return refused;
    if (c == "mds") return mds_command(w);
    if ((c == "ds" || c == "repl" || c == "vdisk") && dsg) return lc_ds_group_command(dsg, w);
    if (c == "crash-replies") return crash_replies_command(w);
    if (c == "dump") return dump_command(w);
    if (c == "host") return host_command(w);
    if (c == "ls") return ls_command(w);
    if (c == "locks") return locks_command(w);
    if (c == "registry" && w.size() == 2 && w[1] == "restart") return registry_restart();
    static const char* const later[] = {"registry", "journal", "shutdown"};
    for (const char* l : later)
        if (c == l) return json_error("'" + c + "' is not supported in this version");
    return json_error("unknown command '" + c + "'");
}

// Under mu. Clients see their connections close, then a registry on the
// same port whose generation is usually below the one they remember.
std::string Cluster::Impl::registry_restart() {
    const uint64_t before = lc_regstore_generation(store);
    lc_regsrv_close(regsrv);
    const uint64_t after = lc_regstore_restart(store);
    uint16_t bound = 0;
    const int rc = lc_regsrv_listen(regsrv, registry_port, &bound);
    if (rc < 0) return json_error("registry cannot listen again on its port: " + std::string(strerror(-rc)));
    lc_log(log, LC_LOG_INFO, "registry restarted: generation %llu, was %llu", (unsigned long long)after,
           (unsigned long long)before);
    return "{\"ok\":true,\"generation_before\":" + std::to_string(before) + ",\"generation\":" +
           std::to_string(after) + "}";
}

Cluster::Cluster(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Cluster> Cluster::start(const ClusterConfig& config) {
    auto impl = std::make_unique<Impl>();
    impl->cfg = config;
    try {
        impl->start();
    } catch (const std::exception& e) {
        lc_log(impl->log, LC_LOG_ERROR, "start-up failed: %s", e.what());
        impl->shutdown();
        throw std::runtime_error(e.what());
    }
    return std::unique_ptr<Cluster>(new Cluster(std::move(impl)));
}

Cluster::~Cluster() {
    if (impl_) impl_->shutdown();
}

const std::string& Cluster::dir() const { return impl_->dir; }
const std::string& Cluster::conf_path() const { return impl_->conf_path; }
uint16_t Cluster::registry_port() const { return impl_->registry_port; }
std::vector<uint64_t> Cluster::host_ids() const { return impl_->topo.host_ids; }
uint64_t Cluster::mds_host() const { return impl_->topo.host_ids.at(0); }
const ClusterConfig& Cluster::config() const { return impl_->cfg; }
lc_cdisk* Cluster::cluster_disk() const { return impl_->cdisk; }

std::string Cluster::ready_line() const {
    const Impl& i = *impl_;
    std::string line = "kelvane-localcluster ready cluster=" + i.cfg.cluster + " conf=" + i.conf_path +
                       " registry=127.0.0.1:" + std::to_string(i.registry_port) +
                       " control=" + (i.ctl_path.empty() ? std::string("none") : i.ctl_path) + " hosts=";
    for (size_t h = 0; h < i.topo.host_ids.size(); h++) line += (h ? "," : "") + hex16(i.topo.host_ids[h]);
    line += " fs=";
    for (size_t f = 0; f < i.cfg.fs.size(); f++)
        line += (f ? "," : "") + i.cfg.fs[f].name + ":" + hex(i.cfg.fs[f].id) + (i.cfg.fs[f].ci ? ":ci" : "");
    return line;
}

std::string Cluster::control(std::string_view command) { return impl_->control(command); }

void Cluster::wait_idle() {
    // Every outage so far ends by itself: refuse= faults, and crashed data
    // servers, which come back, mount and catch up.
    for (;;) {
        bool busy = false;
        {
            std::lock_guard<std::mutex> g(impl_->mu);
            busy = impl_->regfaults && lc_registry_faults_refusing(impl_->regfaults);
            busy |= impl_->dsg && !lc_ds_group_settled(impl_->dsg);
            for (const Impl::HostState& h : impl_->hosts) busy |= h.down;
            for (lc_mds* m : impl_->mds) {
                lc_mds_stats st;
                if (m) lc_mds_get_stats(m, &st);
                busy |= m && (st.refusing || st.state != LC_MDS_UP || st.recovering);
            }
        }
        if (!busy) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Cluster::set_shutdown_handler(std::function<void()> handler) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->on_shutdown = std::move(handler);
}

}  // namespace localcluster

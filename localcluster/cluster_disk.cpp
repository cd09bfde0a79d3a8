#include "localcluster/cluster_disk.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>

namespace {

// One vdisk in one word, so a token check is a single load: the mount
// generation, and whether the vdisk is mounted.
constexpr uint64_t kMounted = 1ull << 32;

uint32_t gen_of(uint64_t w) { return uint32_t(w); }
bool mounted_of(uint64_t w) { return (w & kMounted) != 0; }

struct HostLive {
    std::atomic<uint32_t> phase{LC_DS_PHASE_DOWN};
    std::atomic<uint16_t> port{0};
    std::atomic<bool> repl_disabled{false};
    void (*kick)(void*) = nullptr;  // under CdFs::kick_mu
    void* kick_ctx = nullptr;
};

}  // namespace

struct CdFs {
    lc_cdisk* cd = nullptr;
    int index = 0;
    lc_pool pool;
    std::vector<lc_ds_disk*> disks;  // by host - 1
    std::unique_ptr<std::atomic<uint64_t>[]> vdisks;
    std::unique_ptr<HostLive[]> hosts;  // by host - 1
    std::mutex mu;                      // changes of the vdisk words and phases
    std::mutex kick_mu;

    std::shared_mutex sink_mu;  // held shared across a push, exclusive to change the sink
    lc_cdisk_replica_fn sink = nullptr;
    void* sink_ctx = nullptr;
    std::atomic<bool> sink_set{false};
};

struct lc_cdisk {
    std::vector<uint64_t> host_ids;
    uint32_t vdisk_count = 0;
    std::vector<std::unique_ptr<CdFs>> fs;
};

namespace {

CdFs* fs_of(const lc_cdisk* cd, int fs) { return cd->fs[size_t(fs)].get(); }

int nhosts(const lc_cdisk* cd) { return int(cd->host_ids.size()); }

bool host_ok(const lc_cdisk* cd, int host) { return host >= 1 && host <= nhosts(cd); }

HostLive& live(CdFs* f, int host) { return f->hosts[size_t(host - 1)]; }

}  // namespace

lc_cdisk* lc_cdisk_create(const lc_cdisk_config& config) {
    if (config.host_ids.empty() || config.fs.empty() || config.fs.size() > 32767 || config.vdisks_per_host == 0)
        return nullptr;
    uint64_t v = uint64_t(config.host_ids.size()) * config.vdisks_per_host;
    if (v > 65535) return nullptr;
    auto* cd = new lc_cdisk;
    cd->host_ids = config.host_ids;
    cd->vdisk_count = uint32_t(v);
    for (size_t i = 0; i < config.fs.size(); i++) {
        auto f = std::make_unique<CdFs>();
        f->cd = cd;
        f->index = int(i);
        const uint64_t blocks = config.fs[i].capacity / LC_POOL_BLOCK;
        const uint64_t reserve = config.fs[i].reserve == UINT64_MAX ? lc_pool_default_reserve(blocks)
                                                                     : config.fs[i].reserve / LC_POOL_BLOCK;
        lc_pool_init_share(&f->pool, blocks, cd->vdisk_count, reserve);
        for (size_t h = 0; h < config.host_ids.size(); h++)
            f->disks.push_back(lc_ds_disk_create(&f->pool, cd->vdisk_count, config.fs[i].xattrs_on_ds));
        f->vdisks = std::make_unique<std::atomic<uint64_t>[]>(cd->vdisk_count);
        for (uint32_t vd = 0; vd < cd->vdisk_count; vd++) f->vdisks[vd].store(kMounted | 1);
        f->hosts = std::make_unique<HostLive[]>(config.host_ids.size());
        cd->fs.push_back(std::move(f));
    }
    return cd;
}

void lc_cdisk_destroy(lc_cdisk* cd) {
    if (!cd) return;
    for (auto& f : cd->fs)
        for (lc_ds_disk* d : f->disks) lc_ds_disk_destroy(d);
    delete cd;
}

int lc_cdisk_fs_count(const lc_cdisk* cd) { return int(cd->fs.size()); }
int lc_cdisk_host_count(const lc_cdisk* cd) { return nhosts(cd); }
uint64_t lc_cdisk_host_id(const lc_cdisk* cd, int host) {
    return host_ok(cd, host) ? cd->host_ids[size_t(host - 1)] : 0;
}
uint32_t lc_cdisk_vdisk_count(const lc_cdisk* cd) { return cd->vdisk_count; }

int lc_cdisk_vdisk_host(const lc_cdisk* cd, uint32_t vdisk) { return int(vdisk % uint32_t(nhosts(cd))) + 1; }

std::vector<uint32_t> lc_cdisk_host_vdisks(const lc_cdisk* cd, int host) {
    std::vector<uint32_t> out;
    if (!host_ok(cd, host)) return out;
    for (uint32_t v = uint32_t(host - 1); v < cd->vdisk_count; v += uint32_t(nhosts(cd))) out.push_back(v);
    return out;
}

lc_pool* lc_cdisk_pool(lc_cdisk* cd, int fs) { return &fs_of(cd, fs)->pool; }

lc_ds_disk* lc_cdisk_ds_disk(lc_cdisk* cd, int fs, int host) {
    return host_ok(cd, host) ? fs_of(cd, fs)->disks[size_t(host - 1)] : nullptr;
}

lc_ds_disk* lc_cdisk_vdisk_disk(lc_cdisk* cd, int fs, uint32_t vdisk) {
    if (vdisk >= cd->vdisk_count) return nullptr;
    return lc_cdisk_ds_disk(cd, fs, lc_cdisk_vdisk_host(cd, vdisk));
}

// ---------------------------------------------------------------- tokens and mounts

uint64_t lc_cdisk_make_token(int fs, uint32_t vdisk, uint32_t generation) {
    return (uint64_t(fs) + 1) << 48 | uint64_t(vdisk & 0xFFFF) << 32 | generation;
}

lc_cdisk_vdisk_state lc_cdisk_vdisk(const lc_cdisk* cd, int fs, uint32_t vdisk) {
    lc_cdisk_vdisk_state s;
    if (vdisk >= cd->vdisk_count) return s;
    uint64_t w = fs_of(cd, fs)->vdisks[vdisk].load(std::memory_order_acquire);
    s.host = lc_cdisk_vdisk_host(cd, vdisk);
    s.generation = gen_of(w);
    s.token = lc_cdisk_make_token(fs, vdisk, s.generation);
    s.mounted = mounted_of(w);
    return s;
}

bool lc_cdisk_token_check(const lc_cdisk* cd, int fs, int host, uint64_t token, uint32_t* vdisk) {
    if ((token >> 48) != uint64_t(fs) + 1) return false;
    uint32_t v = uint32_t(token >> 32) & 0xFFFF;
    if (v >= cd->vdisk_count || lc_cdisk_vdisk_host(cd, v) != host) return false;
    uint64_t w = fs_of(cd, fs)->vdisks[v].load(std::memory_order_acquire);
    if (!mounted_of(w) || gen_of(w) != uint32_t(token)) return false;
    *vdisk = v;
    return true;
}

namespace {

// Under f->mu.
uint64_t mount_locked(CdFs* f, uint32_t vdisk) {
    uint32_t gen = gen_of(f->vdisks[vdisk].load(std::memory_order_relaxed)) + 1;
    f->vdisks[vdisk].store(kMounted | gen, std::memory_order_release);
    return lc_cdisk_make_token(f->index, vdisk, gen);
}

bool instance_up(CdFs* f, uint32_t vdisk) {
    int host = lc_cdisk_vdisk_host(f->cd, vdisk);
    return live(f, host).phase.load(std::memory_order_acquire) != LC_DS_PHASE_DOWN;
}

}  // namespace

bool lc_cdisk_mount(lc_cdisk* cd, int fs, uint32_t vdisk, uint64_t* token) {
    if (vdisk >= cd->vdisk_count) return false;
    CdFs* f = fs_of(cd, fs);
    std::lock_guard<std::mutex> g(f->mu);
    if (!instance_up(f, vdisk)) return false;
    uint64_t t = mount_locked(f, vdisk);
    if (token) *token = t;
    return true;
}

bool lc_cdisk_mount_if_unmounted(lc_cdisk* cd, int fs, uint32_t vdisk, uint64_t* token) {
    if (vdisk >= cd->vdisk_count) return false;
    CdFs* f = fs_of(cd, fs);
    std::lock_guard<std::mutex> g(f->mu);
    if (!instance_up(f, vdisk) || mounted_of(f->vdisks[vdisk].load(std::memory_order_relaxed))) return false;
    uint64_t t = mount_locked(f, vdisk);
    if (token) *token = t;
    return true;
}

bool lc_cdisk_unmount(lc_cdisk* cd, int fs, uint32_t vdisk) {
    if (vdisk >= cd->vdisk_count) return false;
    CdFs* f = fs_of(cd, fs);
    std::lock_guard<std::mutex> g(f->mu);
    uint64_t w = f->vdisks[vdisk].load(std::memory_order_relaxed);
    f->vdisks[vdisk].store(w & ~kMounted, std::memory_order_release);
    return mounted_of(w);
}

// ---------------------------------------------------------------- what the MDS reads

void lc_cdisk_vdisk_map(const lc_cdisk* cd, int fs, std::vector<lc_cdisk_map_entry>* out) {
    CdFs* f = fs_of(cd, fs);
    out->clear();
    out->reserve(cd->vdisk_count);
    for (uint32_t v = 0; v < cd->vdisk_count; v++) {
        int host = lc_cdisk_vdisk_host(cd, v);
        lc_cdisk_map_entry e;
        e.token = lc_cdisk_make_token(fs, v, gen_of(f->vdisks[v].load(std::memory_order_acquire)));
        e.host_id = cd->host_ids[size_t(host - 1)];
        e.ipv4 = LC_CDISK_LOOPBACK_IPV4;
        e.port = live(f, host).port.load(std::memory_order_relaxed);
        out->push_back(e);
    }
}

bool lc_cdisk_report_unmounted(lc_cdisk* cd, int fs, uint32_t vdisk, uint64_t host_id) {
    if (vdisk >= cd->vdisk_count) return false;
    if (cd->host_ids[size_t(lc_cdisk_vdisk_host(cd, vdisk) - 1)] != host_id) return false;
    return lc_cdisk_mount_if_unmounted(cd, fs, vdisk, nullptr);
}

uint32_t lc_cdisk_health(lc_cdisk* cd, int fs) {
    CdFs* f = fs_of(cd, fs);
    uint32_t bits = 0;
    for (int h = 1; h <= nhosts(cd); h++) {
        uint32_t phase = live(f, h).phase.load(std::memory_order_acquire);
        if (phase == LC_DS_PHASE_DOWN) bits |= LC_HEALTH_DEGRADED;
        if (phase == LC_DS_PHASE_MOUNTING || phase == LC_DS_PHASE_RECOVERING) bits |= LC_HEALTH_RECOVERING;
        if (lc_ds_disk_dirty_count(f->disks[size_t(h - 1)]) > 0) bits |= LC_HEALTH_REPL_BACKLOG;
    }
    for (uint32_t v = 0; v < cd->vdisk_count && !(bits & LC_HEALTH_DEGRADED); v++)
        if (!mounted_of(f->vdisks[v].load(std::memory_order_acquire))) bits |= LC_HEALTH_DEGRADED;
    return bits;
}

void* lc_cdisk_fs_ctx(lc_cdisk* cd, int fs) { return fs_of(cd, fs); }

lc_ds_disk* lc_cdisk_ns_ds_disk(void* fs_ctx, uint16_t vdisk) {
    auto* f = static_cast<CdFs*>(fs_ctx);
    return lc_cdisk_vdisk_disk(f->cd, f->index, vdisk);
}

bool lc_cdisk_ns_vdisk_mounted(void* fs_ctx, uint16_t vdisk) {
    auto* f = static_cast<CdFs*>(fs_ctx);
    return lc_cdisk_vdisk(f->cd, f->index, vdisk).mounted;
}

bool lc_cdisk_ns_replication_disabled(void* fs_ctx, uint16_t vdisk) {
    auto* f = static_cast<CdFs*>(fs_ctx);
    if (vdisk >= f->cd->vdisk_count) return false;
    return live(f, lc_cdisk_vdisk_host(f->cd, vdisk)).repl_disabled.load(std::memory_order_acquire);
}

uint32_t lc_cdisk_ns_health(void* fs_ctx) {
    auto* f = static_cast<CdFs*>(fs_ctx);
    return lc_cdisk_health(f->cd, f->index);
}

// ---------------------------------------------------------------- replication sink

void lc_cdisk_set_mds_sink(lc_cdisk* cd, int fs, lc_cdisk_replica_fn fn, void* ctx) {
    CdFs* f = fs_of(cd, fs);
    {
        std::unique_lock<std::shared_mutex> g(f->sink_mu);
        f->sink = fn;
        f->sink_ctx = fn ? ctx : nullptr;
        f->sink_set.store(fn != nullptr, std::memory_order_release);
    }
    if (!fn) return;
    // Under the mutex, so that an instance removing its kick never has it
    // called afterwards; a kick only wakes a thread.
    std::lock_guard<std::mutex> g(f->kick_mu);
    for (int h = 1; h <= nhosts(cd); h++)
        if (live(f, h).kick) live(f, h).kick(live(f, h).kick_ctx);
}

bool lc_cdisk_mds_up(const lc_cdisk* cd, int fs) { return fs_of(cd, fs)->sink_set.load(std::memory_order_acquire); }

bool lc_cdisk_push_to_mds(lc_cdisk* cd, int fs, const lc_ds_attrs* snapshot) {
    CdFs* f = fs_of(cd, fs);
    if (!f->sink_set.load(std::memory_order_acquire)) return false;
    std::shared_lock<std::shared_mutex> g(f->sink_mu);
    if (!f->sink) return false;
    f->sink(f->sink_ctx, snapshot);
    return true;
}

// ---------------------------------------------------------------- what DS instances publish

const char* lc_ds_phase_name(lc_ds_phase p) {
    switch (p) {
        case LC_DS_PHASE_DOWN: return "down";
        case LC_DS_PHASE_MOUNTING: return "mounting";
        case LC_DS_PHASE_RECOVERING: return "recovering";
        case LC_DS_PHASE_UP: return "up";
    }
    return "?";
}

void lc_cdisk_set_ds_phase(lc_cdisk* cd, int fs, int host, lc_ds_phase phase) {
    if (!host_ok(cd, host)) return;
    CdFs* f = fs_of(cd, fs);
    std::lock_guard<std::mutex> g(f->mu);
    live(f, host).phase.store(phase, std::memory_order_release);
    if (phase != LC_DS_PHASE_DOWN) return;
    // The mounted set is the instance's: it goes with it.
    for (uint32_t v = uint32_t(host - 1); v < cd->vdisk_count; v += uint32_t(nhosts(cd))) {
        uint64_t w = f->vdisks[v].load(std::memory_order_relaxed);
        f->vdisks[v].store(w & ~kMounted, std::memory_order_release);
    }
}

lc_ds_phase lc_cdisk_ds_phase(const lc_cdisk* cd, int fs, int host) {
    if (!host_ok(cd, host)) return LC_DS_PHASE_DOWN;
    return lc_ds_phase(live(fs_of(cd, fs), host).phase.load(std::memory_order_acquire));
}

void lc_cdisk_set_ds_port(lc_cdisk* cd, int fs, int host, uint16_t port) {
    if (host_ok(cd, host)) live(fs_of(cd, fs), host).port.store(port, std::memory_order_relaxed);
}

uint16_t lc_cdisk_ds_port(const lc_cdisk* cd, int fs, int host) {
    return host_ok(cd, host) ? live(fs_of(cd, fs), host).port.load(std::memory_order_relaxed) : 0;
}

void lc_cdisk_set_repl_disabled(lc_cdisk* cd, int fs, int host, bool disabled) {
    if (host_ok(cd, host)) live(fs_of(cd, fs), host).repl_disabled.store(disabled, std::memory_order_release);
}

bool lc_cdisk_repl_disabled(const lc_cdisk* cd, int fs, int host) {
    return host_ok(cd, host) && live(fs_of(cd, fs), host).repl_disabled.load(std::memory_order_acquire);
}

void lc_cdisk_set_ds_kick(lc_cdisk* cd, int fs, int host, void (*kick)(void* ctx), void* ctx) {
    if (!host_ok(cd, host)) return;
    CdFs* f = fs_of(cd, fs);
    std::lock_guard<std::mutex> g(f->kick_mu);
    live(f, host).kick = kick;
    live(f, host).kick_ctx = kick ? ctx : nullptr;
}

#include "localcluster/ds/ds_group.h"
#include "localcluster/common/json.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cerrno>

#include "localcluster/cluster_disk.h"
#include "localcluster/common/workers.h"
#include "localcluster/ds/ds_server.h"
#include "localcluster/log.h"

struct lc_ds_group {
    lc_ds_group_config cfg;
    const localcluster::ClusterConfig* c = nullptr;
    lc_workers* workers = nullptr;
    std::vector<lc_ds*> ds;  // [(host - 1) * nfs + fs]
};

namespace {

std::string hex(uint64_t v, bool wide = false) {
    char buf[24];
    snprintf(buf, sizeof buf, wide ? "%016llx" : "%llx", (unsigned long long)v);
    return buf;
}

std::string json_str(std::string_view s) { return lc_json_str(s); }

std::string json_error(std::string_view text) { return lc_json_error(text); }

size_t nfs(const lc_ds_group* g) { return g->c->fs.size(); }

bool parse_uint(const std::string& s, int base, uint64_t max, uint64_t* out) {
    if (s.empty() || !isalnum(static_cast<unsigned char>(s[0]))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(s.c_str(), &end, base);
    if (errno || *end || v > max) return false;
    *out = v;
    return true;
}

std::string ds_crash(lc_ds_group* g, const std::vector<std::string>& w) {
    if (w.size() < 4 || w.size() > 5) return json_error("usage: ds crash HOST FS|all [DOWN_MS]");
    int host = lc_ds_group_find_host(*g->c, w[2]);
    if (!host) return json_error("unknown host " + w[2]);
    int fs = -1;
    if (w[3] != "all") {
        fs = lc_ds_group_find_fs(*g->c, w[3]);
        if (fs < 0) return json_error("unknown file system '" + w[3] + "'");
    }
    uint64_t down = g->c->ds_down_ms;
    if (w.size() == 5 && !parse_uint(w[4], 10, LC_DS_HOLD_DOWN - 1, &down))
        return json_error("bad down time '" + w[4] + "' (ms)");
    std::string list;
    for (size_t f = 0; f < nfs(g); f++) {
        if (fs >= 0 && int(f) != fs) continue;
        lc_ds_crash(lc_ds_group_instance(g, host, int(f)), uint32_t(down));
        list += (list.empty() ? "" : ",") + json_str(g->c->fs[f].name);
    }
    return "{\"ok\":true,\"host\":\"" + hex(g->c->host_ids[size_t(host - 1)], true) + "\",\"fs\":[" + list +
           "],\"down_ms\":" + std::to_string(down) + "}";
}

std::string repl(lc_ds_group* g, const std::vector<std::string>& w) {
    if (w.size() != 4 || (w[1] != "disable" && w[1] != "enable")) return json_error("usage: repl disable|enable HOST FS");
    int host = lc_ds_group_find_host(*g->c, w[2]);
    if (!host) return json_error("unknown host " + w[2]);
    int fs = lc_ds_group_find_fs(*g->c, w[3]);
    if (fs < 0) return json_error("unknown file system '" + w[3] + "'");
    lc_ds_set_replication(lc_ds_group_instance(g, host, fs), w[1] == "enable");
    return "{\"ok\":true,\"replication\":\"" + std::string(w[1] == "enable" ? "enabled" : "disabled") + "\"}";
}

std::string vdisk(lc_ds_group* g, const std::vector<std::string>& w) {
    if (w.size() != 4 || (w[1] != "mount" && w[1] != "unmount")) return json_error("usage: vdisk unmount|mount FS V");
    int fs = lc_ds_group_find_fs(*g->c, w[2]);
    if (fs < 0) return json_error("unknown file system '" + w[2] + "'");
    uint64_t v = 0;
    if (!parse_uint(w[3], 10, lc_cdisk_vdisk_count(g->cfg.cdisk) - 1, &v)) return json_error("no vdisk " + w[3]);
    lc_cdisk* cd = g->cfg.cdisk;
    if (w[1] == "unmount") {
        lc_cdisk_unmount(cd, fs, uint32_t(v));
        lc_log(g->cfg.log, LC_LOG_INFO, "vdisk %llu of %s unmounted", (unsigned long long)v,
               g->c->fs[size_t(fs)].name.c_str());
    } else if (!lc_cdisk_mount(cd, fs, uint32_t(v), nullptr)) {
        return json_error("the DS of vdisk " + w[3] + " is down");
    } else {
        lc_log(g->cfg.log, LC_LOG_INFO, "vdisk %llu of %s mounted", (unsigned long long)v,
               g->c->fs[size_t(fs)].name.c_str());
    }
    lc_cdisk_vdisk_state s = lc_cdisk_vdisk(cd, fs, uint32_t(v));
    return "{\"ok\":true,\"vdisk\":" + std::to_string(v) + ",\"token\":\"" + hex(s.token) +
           "\",\"mounted\":" + (s.mounted ? "true" : "false") + "}";
}

}  // namespace

int lc_ds_group_find_fs(const localcluster::ClusterConfig& c, const std::string& text) {
    for (size_t f = 0; f < c.fs.size(); f++)
        if (c.fs[f].name == text) return int(f);
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    uint64_t id = 0;
    if (t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos || !parse_uint(t, 16, UINT64_MAX, &id))
        return -1;
    for (size_t f = 0; f < c.fs.size(); f++)
        if (c.fs[f].id == id) return int(f);
    return -1;
}

int lc_ds_group_find_host(const localcluster::ClusterConfig& c, const std::string& text) {
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    uint64_t v = 0;
    if (t.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos && parse_uint(t, 16, UINT64_MAX, &v))
        for (size_t h = 0; h < c.host_ids.size(); h++)
            if (c.host_ids[h] == v) return int(h) + 1;
    if (parse_uint(text, 10, c.host_ids.size(), &v) && v >= 1) return int(v);
    return 0;
}

lc_ds_group* lc_ds_group_start(const lc_ds_group_config& config, lc_topology* topo, std::string* err) {
    auto* g = new lc_ds_group;
    g->cfg = config;
    g->c = config.cluster;
    g->workers = lc_workers_create(g->c->workers, "lc-ds-work");
    if (!g->workers) {
        *err = "cannot start the DS worker threads";
        delete g;
        return nullptr;
    }
    g->ds.assign(size_t(g->c->hosts) * nfs(g), nullptr);
    for (lc_instance& in : topo->instances) {
        if (in.service != LC_SVC_DS) continue;
        const localcluster::FsConfig& fs = g->c->fs[size_t(in.fs)];
        lc_ds_config dc;
        dc.fs_index = in.fs;
        dc.fs_id = fs.id;
        dc.fs_name = fs.name;
        dc.host = in.host;
        dc.host_id = topo->host_ids[size_t(in.host - 1)];
        dc.cdisk = config.cdisk;
        dc.workers = g->workers;
        dc.faults = config.faults;
        dc.log = config.log;
        dc.epoch_strict = config.epoch_strict;
        dc.crash_replies_drop = config.crash_replies_drop;
        dc.lose_unstable = g->c->lose_unstable;
        dc.breaks = g->c->breaks;
        dc.down_ms = g->c->ds_down_ms;
        dc.mount_delay_ms = g->c->mount_delay_ms;
        dc.loops = g->c->ds_loops;
        dc.seed = g->c->seed;
        dc.reboot_host = config.reboot_host;
        dc.reboot_host_ctx = config.reboot_host_ctx;
        lc_ds* ds = lc_ds_create(dc, err);
        if (!ds) {
            lc_ds_group_stop(g);
            return nullptr;
        }
        g->ds[size_t(in.host - 1) * nfs(g) + size_t(in.fs)] = ds;
        uint16_t bound = 0;
        int rc = lc_ds_listen(ds, in.port, &bound);
        if (rc < 0) {
            *err = "the DS of " + fs.name + " on host " + std::to_string(in.host) + " cannot listen on 127.0.0.1:" +
                   std::to_string(in.port) + ": " + strerror(-rc);
            lc_ds_group_stop(g);
            return nullptr;
        }
        lc_topology_release_port(&in);
        in.state = LC_INST_UP;
    }
    return g;
}

void lc_ds_group_stop(lc_ds_group* g) {
    if (!g) return;
    for (lc_ds*& ds : g->ds) {
        lc_ds_destroy(ds);
        ds = nullptr;
    }
    lc_workers_destroy(g->workers);
    delete g;
}

lc_ds* lc_ds_group_instance(lc_ds_group* g, int host, int fs) {
    if (host < 1 || host > g->c->hosts || fs < 0 || size_t(fs) >= nfs(g)) return nullptr;
    return g->ds[size_t(host - 1) * nfs(g) + size_t(fs)];
}

std::string lc_ds_group_command(lc_ds_group* g, const std::vector<std::string>& w) {
    if (w.empty()) return json_error("empty command");
    if (w[0] == "ds" && w.size() >= 2 && w[1] == "crash") return ds_crash(g, w);
    if (w[0] == "ds") return json_error("usage: ds crash HOST FS|all [DOWN_MS]");
    if (w[0] == "repl") return repl(g, w);
    if (w[0] == "vdisk") return vdisk(g, w);
    return json_error("unknown command '" + w[0] + "'");
}

std::string lc_ds_group_instance_json(lc_ds_group* g, int host, int fs) {
    lc_ds* ds = lc_ds_group_instance(g, host, fs);
    if (!ds) return "";
    lc_ds_stats st;
    lc_ds_get_stats(ds, &st);
    std::string j = ",\"port\":" + std::to_string(st.port) + ",\"state\":\"" +
                    lc_ds_phase_name(lc_ds_phase(st.phase)) + "\"";
    j += ",\"requests\":" + std::to_string(st.requests) + ",\"epoch_unknown\":" + std::to_string(st.epoch_unknown);
    j += ",\"clients\":" + std::to_string(st.clients) + ",\"faults\":" + std::to_string(st.faults);
    j += ",\"starts\":" + std::to_string(st.starts) + ",\"verifier\":\"" + hex(st.verifier) + "\"";
    j += ",\"replication\":\"" + std::string(st.repl_disabled ? "disabled" : "enabled") + "\"";
    j += ",\"dirty\":" + std::to_string(st.dirty);
    j += ",\"loops\":[";
    for (size_t i = 0; i < st.loop_conns.size(); i++) j += (i ? "," : "") + std::to_string(st.loop_conns[i]);
    j += "]";
    if (st.refusing) j += ",\"refusing\":true";
    return j;
}

std::string lc_ds_group_fs_json(lc_ds_group* g, int fs) {
    lc_cdisk* cd = g->cfg.cdisk;
    std::string j = ",\"health\":" + std::to_string(lc_cdisk_health(cd, fs)) + ",\"vdisks\":[";
    for (uint32_t v = 0; v < lc_cdisk_vdisk_count(cd); v++) {
        lc_cdisk_vdisk_state s = lc_cdisk_vdisk(cd, fs, v);
        if (v) j += ",";
        j += "{\"host\":\"" + hex(lc_cdisk_host_id(cd, s.host), true) + "\",\"token\":\"" + hex(s.token) +
             "\",\"mounted\":" + (s.mounted ? "true" : "false") + "}";
    }
    return j + "]";
}

bool lc_ds_group_settled(lc_ds_group* g) {
    return std::all_of(g->ds.begin(), g->ds.end(), [](lc_ds* ds) { return !ds || lc_ds_settled(ds); });
}

#include "localcluster/faults/fault_rules.h"
#include "localcluster/common/json.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <random>

namespace {

enum : uint32_t {
    F_TYPE = 1u << 0,
    F_OP = 1u << 1,
    F_CLIENT = 1u << 2,
    F_HOST = 1u << 3,
    F_VDISK = 1u << 4,
};

// What each service's requests can be filtered on and answered with.
struct SvcCaps {
    lc_service service;
    uint32_t filters;
    uint32_t max_status;  // largest status= the service may answer
    uint32_t max_frame;   // largest frame the clients accept from it
    bool per_fs;          // instances exist per file system
};

const SvcCaps kCaps[] = {
    {LC_SVC_REGISTRY, F_TYPE | F_OP, 0x7FFFFFFF, 1048576, false},
    {LC_SVC_MDS, F_TYPE | F_CLIENT | F_HOST, 17, 263168, true},
    {LC_SVC_DS, F_TYPE | F_CLIENT | F_HOST | F_VDISK, 15, 4194816, true},
    {LC_SVC_LS, F_TYPE | F_CLIENT | F_HOST, 0x7FFFFFFF, 122880, true},
};

const SvcCaps* caps_of(lc_service s) {
    for (const auto& c : kCaps)
        if (c.service == s) return &c;
    return nullptr;
}

struct Rule {
    uint64_t id = 0;
    lc_service service = LC_SVC_MDS;
    int fs = -1;
    uint32_t set = 0;  // F_* given
    uint32_t type = 0, op = 0, vdisk = 0;
    uint64_t client = 0, host = 0;
    lc_fault_kind kind = LC_FAULT_NONE;
    uint32_t arg = 0;
    uint64_t count = 0;  // 0 = unlimited
    double prob = 1.0;
    uint64_t after = 0;
    std::string text;  // canonical form, for listings
    uint64_t matched = 0, fired = 0;
};

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "%llx", (unsigned long long)v);
    return buf;
}

std::string json_str(std::string_view s) { return lc_json_str(s); }

std::string json_error(std::string_view text) { return lc_json_error(text); }

bool parse_num(const std::string& s, int base, uint64_t lo, uint64_t hi, uint64_t* out) {
    if (s.empty() || !isalnum(static_cast<unsigned char>(s[0]))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(s.c_str(), &end, base);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// Hex with or without 0x.
bool parse_hex(const std::string& s, uint64_t* out) {
    std::string t = s;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    for (char c : t)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return parse_num(t, 16, 0, UINT64_MAX, out);
}

bool service_of(const std::string& name, lc_service* out) {
    for (lc_service s : {LC_SVC_REGISTRY, LC_SVC_MDS, LC_SVC_DS, LC_SVC_LS})
        if (name == lc_service_name(s)) {
            *out = s;
            return true;
        }
    return false;
}

}  // namespace

struct lc_faults {
    std::vector<lc_fault_fs> fs;
    std::vector<uint64_t> host_ids;
    uint32_t services = 0;
    std::mutex mu;
    std::vector<Rule> rules;  // ascending id
    uint64_t next_id = 1;
    std::mt19937_64 rng;
    std::atomic<size_t> nr_rules{0};

    std::string add(const std::vector<std::string>& w);
    std::string list();
};

const char* lc_fault_kind_name(lc_fault_kind k) {
    switch (k) {
        case LC_FAULT_NONE: return "none";
        case LC_FAULT_STATUS: return "status";
        case LC_FAULT_DROP: return "drop";
        case LC_FAULT_APPLY_DROP: return "apply-drop";
        case LC_FAULT_NOREPLY: return "noreply";
        case LC_FAULT_DELAY: return "delay";
        case LC_FAULT_SHORT: return "short";
        case LC_FAULT_RTERR: return "rterr";
        case LC_FAULT_REFUSE: return "refuse";
        case LC_FAULT_OVERDATA: return "overdata";
        case LC_FAULT_APPLY_CRASH: return "apply-crash";
        case LC_FAULT_REBOOT: return "reboot";
    }
    return "?";
}

lc_faults* lc_faults_create(const std::vector<lc_fault_fs>& fs, const std::vector<uint64_t>& host_ids,
                            uint32_t services, uint64_t seed) {
    auto* f = new lc_faults;
    f->fs = fs;
    f->host_ids = host_ids;
    f->services = services;
    f->rng.seed(seed);
    return f;
}

void lc_faults_destroy(lc_faults* f) { delete f; }

size_t lc_faults_count(lc_faults* f) { return f->nr_rules.load(std::memory_order_relaxed); }

// add <service>[:<fs>] [type=N|any] [op=N] [client=HEX] [host=HEX] [vdisk=N]
//     <action> [count=N] [prob=P] [after=N]
std::string lc_faults::add(const std::vector<std::string>& w) {
    if (w.size() < 2) return json_error("fault add needs a service and an action");
    Rule r;
    std::string svc = w[1], fs_text;
    if (size_t colon = svc.find(':'); colon != std::string::npos) {
        fs_text = svc.substr(colon + 1);
        svc = svc.substr(0, colon);
    }
    if (!service_of(svc, &r.service)) return json_error("unknown service '" + svc + "' (registry, mds, ds or ls)");
    if (!(services & (1u << r.service))) {
        // A rule no gate would look at would be listed and never fire.
        std::vector<std::string> gated;
        for (lc_service s : {LC_SVC_REGISTRY, LC_SVC_MDS, LC_SVC_DS, LC_SVC_LS})
            if (services & (1u << s)) gated.push_back(lc_service_name(s));
        std::string names;
        for (size_t i = 0; i < gated.size(); i++)
            names += (i == 0 ? "" : i + 1 == gated.size() ? " and " : ", ") + gated[i];
        return json_error("the " + svc + " takes no faults (only the " + names + " do)");
    }
    const SvcCaps* caps = caps_of(r.service);
    if (!fs_text.empty()) {
        if (!caps->per_fs) return json_error("the " + svc + " serves no single file system");
        for (size_t i = 0; i < fs.size() && r.fs < 0; i++)
            if (fs[i].name == fs_text) r.fs = int(i);
        uint64_t id;
        if (r.fs < 0 && parse_hex(fs_text, &id))
            for (size_t i = 0; i < fs.size() && r.fs < 0; i++)
                if (fs[i].id == id) r.fs = int(i);
        if (r.fs < 0) return json_error("unknown file system '" + fs_text + "'");
    }
    r.text = svc + (r.fs >= 0 ? ":" + fs[size_t(r.fs)].name : "");
    std::string filters, tail;
    bool have_count = false, have_prob = false, have_after = false, type_given = false;
    for (size_t i = 2; i < w.size(); i++) {
        const std::string& t = w[i];
        size_t eq = t.find('=');
        std::string key = t.substr(0, eq), val = eq == std::string::npos ? "" : t.substr(eq + 1);
        bool has_val = eq != std::string::npos;
        uint64_t v = 0;
        auto filter = [&](uint32_t bit) -> std::string {
            if (r.set & bit) return "'" + key + "' given twice";
            if (!(caps->filters & bit)) return "the " + svc + " cannot be filtered on '" + key + "'";
            r.set |= bit;
            return "";
        };
        auto action = [&](lc_fault_kind k, uint32_t arg) -> std::string {
            if (r.kind != LC_FAULT_NONE) return "only one action per rule";
            r.kind = k;
            r.arg = arg;
            return "";
        };
        std::string err;
        if (key == "type" && has_val) {
            if (type_given) return json_error("'type' given twice");
            type_given = true;
            if (val == "any") {
                filters += " type=any";
                continue;
            }
            if (!(caps->filters & F_TYPE)) return json_error("the " + svc + " cannot be filtered on 'type'");
            if (!parse_num(val, 0, 2, UINT32_MAX, &v) || (v & 1))
                return json_error("bad type '" + val + "' (an even request type, or any)");
            r.set |= F_TYPE;
            r.type = uint32_t(v);
            filters += " type=" + std::to_string(v);
        } else if (key == "op" && has_val) {
            if (!parse_num(val, 0, 0, UINT32_MAX, &v)) return json_error("bad op '" + val + "'");
            err = filter(F_OP);
            r.op = uint32_t(v);
            filters += " op=" + std::to_string(v);
        } else if (key == "client" && has_val) {
            if (!parse_hex(val, &v)) return json_error("bad client id '" + val + "' (hex)");
            err = filter(F_CLIENT);
            r.client = v;
            filters += " client=" + hex(v);
        } else if (key == "host" && has_val) {
            if (!parse_hex(val, &v)) return json_error("bad host id '" + val + "' (hex)");
            if (std::find(host_ids.begin(), host_ids.end(), v) == host_ids.end())
                return json_error("unknown host " + val);
            err = filter(F_HOST);
            r.host = v;
            filters += " host=" + hex(v);
        } else if (key == "vdisk" && has_val) {
            if (!parse_num(val, 10, 0, UINT32_MAX, &v)) return json_error("bad vdisk '" + val + "'");
            err = filter(F_VDISK);
            r.vdisk = uint32_t(v);
            filters += " vdisk=" + std::to_string(v);
        } else if (key == "status" && has_val) {
            uint32_t lo = r.service == LC_SVC_REGISTRY ? 0 : 1;
            if (!parse_num(val, 10, lo, caps->max_status, &v))
                return json_error("bad status '" + val + "' for the " + svc + " (" + std::to_string(lo) + " to " +
                                  std::to_string(caps->max_status) + ")");
            err = action(LC_FAULT_STATUS, uint32_t(v));
        } else if (t == "drop") {
            err = action(LC_FAULT_DROP, 0);
        } else if (t == "apply-drop") {
            err = action(LC_FAULT_APPLY_DROP, 0);
        } else if (t == "apply-crash") {
            // Only the MDS has a crash that keeps its state on disk and
            // comes back by itself.
            if (r.service != LC_SVC_MDS) return json_error("apply-crash applies to the MDS only");
            err = action(LC_FAULT_APPLY_CRASH, 0);
        } else if (t == "reboot") {
            // Only a data server hands its host to the cluster to reboot.
            if (r.service != LC_SVC_DS) return json_error("reboot applies to the DS only");
            err = action(LC_FAULT_REBOOT, 0);
        } else if (t == "noreply") {
            err = action(LC_FAULT_NOREPLY, 0);
        } else if (t == "overdata") {
            if (r.service != LC_SVC_DS) return json_error("overdata applies to DS reads only");
            err = action(LC_FAULT_OVERDATA, 0);
        } else if (key == "delay" && has_val) {
            if (!parse_num(val, 10, 0, 3600000, &v)) return json_error("bad delay '" + val + "' (ms)");
            err = action(LC_FAULT_DELAY, uint32_t(v));
        } else if (key == "short" && has_val) {
            if (!parse_num(val, 10, 24, caps->max_frame, &v))
                return json_error("bad short length '" + val + "' (24 to " + std::to_string(caps->max_frame) + ")");
            err = action(LC_FAULT_SHORT, uint32_t(v));
        } else if (key == "rterr" && has_val) {
            if (!parse_num(val, 10, 1, 0x7FFFFFFF, &v)) return json_error("bad runtime error code '" + val + "'");
            err = action(LC_FAULT_RTERR, uint32_t(v));
        } else if (key == "refuse" && has_val) {
            if (!parse_num(val, 10, 1, 3600000, &v)) return json_error("bad refuse time '" + val + "' (ms)");
            err = action(LC_FAULT_REFUSE, uint32_t(v));
        } else if (key == "count" && has_val) {
            if (have_count || !parse_num(val, 10, 1, UINT64_MAX, &v)) return json_error("bad count '" + val + "'");
            have_count = true;
            r.count = v;
            tail += " count=" + std::to_string(v);
        } else if (key == "after" && has_val) {
            if (have_after || !parse_num(val, 10, 0, UINT64_MAX, &v)) return json_error("bad after '" + val + "'");
            have_after = true;
            r.after = v;
            tail += " after=" + std::to_string(v);
        } else if (key == "prob" && has_val) {
            char* end = nullptr;
            double p = strtod(val.c_str(), &end);
            if (have_prob || val.empty() || *end || !(p >= 0.0 && p <= 1.0))
                return json_error("bad prob '" + val + "' (0 to 1)");
            have_prob = true;
            r.prob = p;
            char buf[32];
            snprintf(buf, sizeof buf, "%g", p);
            tail += std::string(" prob=") + buf;
        } else {
            return json_error("unknown word '" + t + "' in the rule");
        }
        if (!err.empty()) return json_error(err);
    }
    if (r.kind == LC_FAULT_NONE) return json_error("the rule has no action");
    std::string act = lc_fault_kind_name(r.kind);
    if (r.kind != LC_FAULT_DROP && r.kind != LC_FAULT_APPLY_DROP && r.kind != LC_FAULT_NOREPLY &&
        r.kind != LC_FAULT_OVERDATA && r.kind != LC_FAULT_APPLY_CRASH && r.kind != LC_FAULT_REBOOT)
        act += "=" + std::to_string(r.arg);
    r.text += filters + " " + act + tail;
    std::lock_guard<std::mutex> g(mu);
    r.id = next_id++;
    rules.push_back(r);
    nr_rules.store(rules.size(), std::memory_order_relaxed);
    return "{\"ok\":true,\"id\":" + std::to_string(r.id) + "}";
}

std::string lc_faults::list() {
    std::lock_guard<std::mutex> g(mu);
    std::string j = "{\"ok\":true,\"rules\":[";
    for (size_t i = 0; i < rules.size(); i++) {
        const Rule& r = rules[i];
        if (i) j += ",";
        j += "{\"id\":" + std::to_string(r.id) + ",\"rule\":" + json_str(r.text) +
             ",\"matched\":" + std::to_string(r.matched) + ",\"fired\":" + std::to_string(r.fired) +
             ",\"active\":" + (r.count && r.fired >= r.count ? "false" : "true") + "}";
    }
    return j + "]}";
}

std::string lc_faults_command(lc_faults* f, const std::vector<std::string>& w) {
    if (w.empty()) return json_error("fault needs add, del, clear or list");
    const std::string& c = w[0];
    if (c == "add") return f->add(w);
    if (c == "list" && w.size() == 1) return f->list();
    if (c == "clear" && w.size() == 1) {
        std::lock_guard<std::mutex> g(f->mu);
        size_t n = f->rules.size();
        f->rules.clear();
        f->nr_rules.store(0, std::memory_order_relaxed);
        return "{\"ok\":true,\"removed\":" + std::to_string(n) + "}";
    }
    if (c == "del" && w.size() == 2) {
        uint64_t id;
        if (!parse_num(w[1], 10, 1, UINT64_MAX, &id)) return json_error("bad rule id '" + w[1] + "'");
        std::lock_guard<std::mutex> g(f->mu);
        auto it = std::find_if(f->rules.begin(), f->rules.end(), [id](const Rule& r) { return r.id == id; });
        if (it == f->rules.end()) return json_error("no rule " + w[1]);
        f->rules.erase(it);
        f->nr_rules.store(f->rules.size(), std::memory_order_relaxed);
        return "{\"ok\":true}";
    }
    return json_error("usage: fault add RULE | fault del ID | fault clear | fault list");
}

bool lc_faults_match(lc_faults* f, const lc_fault_site& site, const lc_fault_key& key, lc_fault_action* out) {
    if (f->nr_rules.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard<std::mutex> g(f->mu);
    for (Rule& r : f->rules) {
        if (r.service != site.service) continue;
        if (r.fs >= 0 && r.fs != site.fs) continue;
        if ((r.set & F_TYPE) && r.type != key.type) continue;
        if ((r.set & F_OP) && (!key.has_op || r.op != key.op)) continue;
        if ((r.set & F_CLIENT) && (!key.has_client || r.client != key.client)) continue;
        if ((r.set & F_HOST) && r.host != site.host_id) continue;
        if ((r.set & F_VDISK) && (!key.has_vdisk || r.vdisk != key.vdisk)) continue;
        // A client treats "epoch unknown" to a re-sent request as a broken
        // server and gives up, so no rule may produce it.
        if (r.kind == LC_FAULT_STATUS && r.arg == 1 && site.service != LC_SVC_REGISTRY && key.epoch_resend) continue;
        if (r.count && r.fired >= r.count) continue;
        r.matched++;
        if (r.matched <= r.after) continue;
        if (r.prob < 1.0 && !(std::uniform_real_distribution<double>(0.0, 1.0)(f->rng) < r.prob)) continue;
        r.fired++;
        out->kind = r.kind;
        out->arg = r.arg;
        out->rule_id = r.id;
        return true;
    }
    return false;
}

#include "localcluster/faults/fault_rules.h"
#include "localcluster/common/json.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
    // status= the service may answer: the registry's own statuses start at
    // 0, the file servers' 0 is an OK reply that would lack its fields.
    uint32_t min_status;
    uint32_t max_status;
    uint32_t max_frame;  // largest frame the clients accept from it
    bool per_fs;         // instances exist per file system
};

const SvcCaps kCaps[] = {
    {LC_SVC_REGISTRY, F_TYPE | F_OP, 0, 0x7FFFFFFF, 1048576, false},
    {LC_SVC_MDS, F_TYPE | F_CLIENT | F_HOST, 1, 17, 263168, true},
    {LC_SVC_DS, F_TYPE | F_CLIENT | F_HOST | F_VDISK, 1, 15, 4194816, true},
    {LC_SVC_LS, F_TYPE | F_CLIENT | F_HOST, 1, 0x7FFFFFFF, 122880, true},
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
    uint64_t type = 0, op = 0, vdisk = 0, client = 0, host = 0;
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

// ---------------------------------------------------------------- the words of a rule
//
// Each word of a rule after its service is a filter, an action or a
// modifier, found in the tables below by its name and whether it takes a
// value (NAME=VALUE) or stands alone. The tables say how the value is read
// and bounded, what the refusal of a bad one says, and where the word may
// be used; one parser in lc_faults::add goes by them.

enum ArgHow : uint8_t {
    ARG_NONE,  // a bare word
    ARG_DEC,   // decimal within [lo, hi]
    ARG_NUM,   // decimal, 0x hex or 0 octal, within [lo, hi]
    ARG_EVEN,  // as ARG_NUM, and even
    ARG_HEX,   // hex with or without 0x
    ARG_PROB,  // a probability, 0 to 1
};

struct WordArg {
    ArgHow how = ARG_NONE;
    uint64_t lo = 0, hi = 0;
    // Bounds that are the service's own, in place of lo and hi.
    uint32_t SvcCaps::*lo_cap = nullptr;
    uint32_t SvcCaps::*hi_cap = nullptr;
    // The refusal of a bad value: {v} the value, {svc} the service, {lo}
    // and {hi} the bounds.
    const char* bad = nullptr;
};

struct FilterDef {
    const char* name;
    uint32_t bit;  // F_*
    uint64_t Rule::*field;
    WordArg arg;
    bool any = false;         // NAME=any filters nothing, and is looked at before the value
    bool known_host = false;  // the value must be a host of the cluster
};

const FilterDef kFilters[] = {
    {"type", F_TYPE, &Rule::type, {ARG_EVEN, 2, UINT32_MAX, nullptr, nullptr, "bad type '{v}' (an even request type, or any)"},
     true},
    {"op", F_OP, &Rule::op, {ARG_NUM, 0, UINT32_MAX, nullptr, nullptr, "bad op '{v}'"}},
    {"client", F_CLIENT, &Rule::client, {ARG_HEX, 0, UINT64_MAX, nullptr, nullptr, "bad client id '{v}' (hex)"}},
    {"host", F_HOST, &Rule::host, {ARG_HEX, 0, UINT64_MAX, nullptr, nullptr, "bad host id '{v}' (hex)"}, false, true},
    {"vdisk", F_VDISK, &Rule::vdisk, {ARG_DEC, 0, UINT32_MAX, nullptr, nullptr, "bad vdisk '{v}'"}},
};

// Named by lc_fault_kind_name.
struct ActionDef {
    lc_fault_kind kind;
    WordArg arg;
    uint32_t services = 0;  // mask of (1 << lc_service) it applies to; 0: all
    const char* elsewhere = nullptr;  // the refusal for another service
};

const ActionDef kActions[] = {
    {LC_FAULT_STATUS,
     {ARG_DEC, 0, 0, &SvcCaps::min_status, &SvcCaps::max_status, "bad status '{v}' for the {svc} ({lo} to {hi})"}},
    {LC_FAULT_DROP, {}},
    {LC_FAULT_APPLY_DROP, {}},
    // Only the MDS has a crash that keeps its state on disk and comes back
    // by itself.
    {LC_FAULT_APPLY_CRASH, {}, 1u << LC_SVC_MDS, "apply-crash applies to the MDS only"},
    // Only a data server hands its host to the cluster to reboot.
    {LC_FAULT_REBOOT, {}, 1u << LC_SVC_DS, "reboot applies to the DS only"},
    {LC_FAULT_NOREPLY, {}},
    {LC_FAULT_OVERDATA, {}, 1u << LC_SVC_DS, "overdata applies to DS reads only"},
    {LC_FAULT_DELAY, {ARG_DEC, 0, 3600000, nullptr, nullptr, "bad delay '{v}' (ms)"}},
    {LC_FAULT_SHORT, {ARG_DEC, 24, 0, nullptr, &SvcCaps::max_frame, "bad short length '{v}' ({lo} to {hi})"}},
    {LC_FAULT_RTERR, {ARG_DEC, 1, 0x7FFFFFFF, nullptr, nullptr, "bad runtime error code '{v}'"}},
    {LC_FAULT_REFUSE, {ARG_DEC, 1, 3600000, nullptr, nullptr, "bad refuse time '{v}' (ms)"}},
};

// Each at most once: a repeat is refused as a bad value.
struct ModifierDef {
    const char* name;
    uint64_t Rule::*field;  // NULL: prob
    WordArg arg;
};

const ModifierDef kModifiers[] = {
    {"count", &Rule::count, {ARG_DEC, 1, UINT64_MAX, nullptr, nullptr, "bad count '{v}'"}},
    {"prob", nullptr, {ARG_PROB, 0, 0, nullptr, nullptr, "bad prob '{v}' (0 to 1)"}},
    {"after", &Rule::after, {ARG_DEC, 0, UINT64_MAX, nullptr, nullptr, "bad after '{v}'"}},
};

const char* word_of(const FilterDef& d) { return d.name; }
const char* word_of(const ActionDef& d) { return lc_fault_kind_name(d.kind); }
const char* word_of(const ModifierDef& d) { return d.name; }

template <class Def, size_t N>
const Def* find_word(const Def (&defs)[N], const std::string& name, bool has_val) {
    for (const Def& d : defs)
        if (name == word_of(d) && has_val == (d.arg.how != ARG_NONE)) return &d;
    return nullptr;
}

const ActionDef* action_def(lc_fault_kind k) {
    for (const ActionDef& d : kActions)
        if (d.kind == k) return &d;
    return nullptr;
}

uint64_t arg_lo(const WordArg& a, const SvcCaps* caps) { return a.lo_cap ? caps->*a.lo_cap : a.lo; }
uint64_t arg_hi(const WordArg& a, const SvcCaps* caps) { return a.hi_cap ? caps->*a.hi_cap : a.hi; }

// A value as `a` reads it: the number in *v, a probability in *p.
bool parse_arg(const WordArg& a, const std::string& val, const SvcCaps* caps, uint64_t* v, double* p) {
    switch (a.how) {
        case ARG_NONE: return true;
        case ARG_DEC: return parse_num(val, 10, arg_lo(a, caps), arg_hi(a, caps), v);
        case ARG_NUM: return parse_num(val, 0, arg_lo(a, caps), arg_hi(a, caps), v);
        case ARG_EVEN: return parse_num(val, 0, arg_lo(a, caps), arg_hi(a, caps), v) && !(*v & 1);
        case ARG_HEX: return parse_hex(val, v);
        case ARG_PROB: {
            char* end = nullptr;
            *p = strtod(val.c_str(), &end);
            return !val.empty() && !*end && *p >= 0.0 && *p <= 1.0;
        }
    }
    return false;
}

// A value as the rule's listing shows it.
std::string render(const WordArg& a, uint64_t v, double p) {
    if (a.how == ARG_HEX) return hex(v);
    if (a.how == ARG_PROB) {
        char buf[32];
        snprintf(buf, sizeof buf, "%g", p);
        return buf;
    }
    return std::to_string(v);
}

// `fmt` with its placeholders filled in, in one pass: a value that holds
// a placeholder's name stays as it was given.
std::string fill(const char* fmt, const std::string& val, const std::string& svc, uint64_t lo, uint64_t hi) {
    const std::pair<const char*, std::string> subs[] = {
        {"{v}", val}, {"{svc}", svc}, {"{lo}", std::to_string(lo)}, {"{hi}", std::to_string(hi)}};
    std::string out;
    for (const char* c = fmt; *c;) {
        bool done = false;
        for (const auto& [name, text] : subs)
            if (strncmp(c, name, strlen(name)) == 0) {
                out += text;
                c += strlen(name);
                done = true;
                break;
            }
        if (!done) out += *c++;
    }
    return out;
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
    uint32_t given = 0;       // filters given, type=any included
    uint32_t mods_given = 0;  // bit i: kModifiers[i]
    for (size_t i = 2; i < w.size(); i++) {
        const std::string& t = w[i];
        size_t eq = t.find('=');
        bool has_val = eq != std::string::npos;
        std::string key = t.substr(0, eq), val = has_val ? t.substr(eq + 1) : "";
        uint64_t v = 0;
        double p = 0;
        const WordArg* arg = nullptr;
        auto bad = [&] { return json_error(fill(arg->bad, val, svc, arg_lo(*arg, caps), arg_hi(*arg, caps))); };
        if (const FilterDef* f = find_word(kFilters, key, has_val)) {
            arg = &f->arg;
            // A repeat, or a filter the service's requests lack, is refused
            // once the value is read; a filter that may be "any" is looked
            // at first, and "any", which filters nothing, suits every service.
            auto unfit = [&]() -> std::string {
                if (given & f->bit) return "'" + key + "' given twice";
                if (!(caps->filters & f->bit)) return "the " + svc + " cannot be filtered on '" + key + "'";
                given |= f->bit;
                return "";
            };
            if (f->any) {
                if (given & f->bit) return json_error(unfit());
                if (val == "any") {
                    given |= f->bit;
                    filters += " " + key + "=any";
                    continue;
                }
                if (std::string err = unfit(); !err.empty()) return json_error(err);
            }
            if (!parse_arg(*arg, val, caps, &v, &p)) return bad();
            if (f->known_host && std::find(host_ids.begin(), host_ids.end(), v) == host_ids.end())
                return json_error("unknown host " + val);
            if (std::string err = f->any ? "" : unfit(); !err.empty()) return json_error(err);
            r.set |= f->bit;
            r.*(f->field) = v;
            filters += " " + key + "=" + render(*arg, v, p);
        } else if (const ActionDef* a = find_word(kActions, key, has_val)) {
            arg = &a->arg;
            if (arg->how != ARG_NONE && !parse_arg(*arg, val, caps, &v, &p)) return bad();
            if (a->services && !(a->services & (1u << r.service))) return json_error(a->elsewhere);
            if (r.kind != LC_FAULT_NONE) return json_error("only one action per rule");
            r.kind = a->kind;
            r.arg = uint32_t(v);
        } else if (const ModifierDef* m = find_word(kModifiers, key, has_val)) {
            arg = &m->arg;
            uint32_t bit = 1u << (m - kModifiers);
            if ((mods_given & bit) || !parse_arg(*arg, val, caps, &v, &p)) return bad();
            mods_given |= bit;
            if (m->field)
                r.*(m->field) = v;
            else
                r.prob = p;
            tail += " " + key + "=" + render(*arg, v, p);
        } else {
            return json_error("unknown word '" + t + "' in the rule");
        }
    }
    if (r.kind == LC_FAULT_NONE) return json_error("the rule has no action");
    std::string act = lc_fault_kind_name(r.kind);
    if (action_def(r.kind)->arg.how != ARG_NONE) act += "=" + std::to_string(r.arg);
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

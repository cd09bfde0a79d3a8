// The runtime's client of the cluster metadata service (registry): the
// bootstrap file, address selection and one RPC connection whose replies
// carry a status word at offset 0x18.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "kiv/mds.h"
#include "rpc_internal.h"

struct kiv_mds_client_priv {
    std::string cluster;
    std::vector<kiv_netaddr> addrs;
    uint32_t next = 0;  // round-robin position
    void* ctx = nullptr;
    kiv_rpc_engine* engine = nullptr;
    kiv_mds_client* client = nullptr;
};

namespace {

const kiv_rpc_params kMdsParams = {24, 1048576, 5000, 1000, 60000, 0};

bool valid_cluster_name(const char* s) {
    if (!s || !*s || *s == '.') return false;
    for (; *s; s++) {
        char ch = *s;
        bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
                  ch == '.' || ch == '-';
        if (!ok) return false;
    }
    return true;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n\f\v");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n\f\v");
    return s.substr(b, e - b + 1);
}

// "a.b.c.d:port" or "[v6]:port", the port being required and non-zero.
bool parse_mds_value(const std::string& v, kiv_netaddr* out) {
    size_t colon;
    if (!v.empty() && v[0] == '[') {
        size_t rb = v.find(']');
        if (rb == std::string::npos || rb + 1 >= v.size() || v[rb + 1] != ':') return false;
        colon = rb + 1;
    } else {
        colon = v.find(':');
        if (colon == std::string::npos || v.find(':', colon + 1) != std::string::npos) return false;
    }
    if (colon + 1 >= v.size()) return false;
    if (kiv_parse_netaddr(v.c_str(), out) != 0) return false;
    if (out->port == 0) return false;
    if (v[0] == '[' ? out->kind != KIV_AF_INET6 : out->kind != KIV_AF_INET) return false;
    return true;
}

// Reads the bootstrap file of `cluster`. `log_level` is the level of the
// "not found" report: the first lookup reports an error, re-reads less.
// `why`, when given, gets the one line that the log has.
int read_bootstrap(const std::string& cluster, std::vector<kiv_netaddr>* out, int log_level,
                   std::string* why = nullptr, bool quiet = false) {
    char* conf = kiv_cluster_conf_path(cluster.c_str());
    std::string path = conf;
    __kiv_free(conf);
    auto report = [&](int level, const std::string& text) {
        if (!quiet) kiv_log(level, "%s", text.c_str());
        if (why) *why = text;
    };
    FILE* f = fopen(path.c_str(), "re");
    if (!f) {
        const int err = errno;
        report(log_level, "cluster '" + cluster + "' not found (" + path + ": " + strerror(err) + ")");
        if (why) *why = path + ": " + strerror(err);
        return err == ENOMEM ? -ENOMEM : -ENOENT;
    }
    std::vector<kiv_netaddr> addrs;
    char* line = nullptr;
    size_t cap = 0;
    unsigned lineno = 0;
    int rc = 0;
    while (getline(&line, &cap, f) >= 0) {
        lineno++;
        std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        size_t eq = t.find('=');
        std::string key = eq == std::string::npos ? std::string() : trim(t.substr(0, eq));
        if (key.empty()) {
            report(1, path + ":" + std::to_string(lineno) + ": malformed line (not key=value)");
            rc = -EINVAL;
            break;
        }
        if (key != "mds") continue;
        kiv_netaddr a;
        if (!parse_mds_value(trim(t.substr(eq + 1)), &a)) {
            report(1, path + ":" + std::to_string(lineno) + ": malformed mds address (want a.b.c.d:port or [v6]:port)");
            rc = -EINVAL;
            break;
        }
        addrs.push_back(a);
    }
    // A directory opens, and then cannot be read: say so rather than that
    // it names no address.
    if (rc == 0 && ferror(f)) {
        const int err = errno;
        report(log_level, "cluster '" + cluster + "' not found (" + path + ": " + strerror(err) + ")");
        if (why) *why = path + ": " + strerror(err);
        rc = -ENOENT;
    }
    free(line);
    fclose(f);
    if (rc) return rc;
    if (addrs.empty()) {
        report(log_level, "cluster '" + cluster + "' not found (" + path + ": no mds entry)");
        if (why) *why = path + ": no mds= line";
        return -ENOENT;
    }
    out->swap(addrs);
    return 0;
}

void mds_on_up(void* arg) {
    auto* pr = static_cast<kiv_mds_client_priv*>(arg);
    if (pr->client->on_established) pr->client->on_established(pr->ctx);
}

void mds_on_down(void* arg, int) {
    auto* pr = static_cast<kiv_mds_client_priv*>(arg);
    if (pr->client->on_failed) pr->client->on_failed(pr->ctx);
}

// Registry replies carry their status at 0x18; a failed status keeps the
// reply for the caller.
void mds_filter(kiv_msg* m) {
    if (m->error || !m->reply) return;
    kiv_msg* r = m->reply;
    if (r->total_len < 0x1C || r->kept_len < 0x1C) {
        kiv_free_msg(r);
        m->reply = nullptr;
        m->error = KIV_E_PROTO;
        return;
    }
    uint32_t status = rpc_le32(r->buf + KIV_MDS_STATUS_OFF);
    if (status) m->error = KIV_E_PEER | status;
}

int mds_send(kiv_mds_client* c, kiv_msg* m) {
    if (!c->p) {
        // Finalised: the message still completes, later, on evloop.
        KIV_BUG_ON(!c->process_);
        rpc_fail_deferred(c->process_, m, KIV_E_ABANDONED);
        return 0;
    }
    kiv_loop_guard g(c->process_);
    if (!c->p) {
        rpc_fail_deferred(c->process_, m, KIV_E_ABANDONED);
        return 0;
    }
    if (c->selected.kind == KIV_AF_NONE) {
        rpc_fail_deferred(c->process_, m, KIV_E_NOTCONN);
        return 0;
    }
    uint32_t len = 0;
    auto* hdr = static_cast<uint8_t*>(m->get_chunk(m, 0, &len));
    KIV_BUG_ON(!hdr || len < 24);
    kiv_rpc_get_new_xid(c->p->engine, hdr + 8);
    return rpc_call_filtered(c->conn, m, mds_filter);
}

}  // namespace

char* kiv_cluster_conf_path(const char* cluster) {
    const char* dir = getenv("KIV_CLUSTER_DIR");
    if (!dir || !*dir) dir = "/etc/kelvane/clusters";
    return __kiv_asprintf("kiv_mds", KIV_POS, KIV_MEM_NOFAIL, "%s/%s.conf", dir, cluster);
}

int kiv_cluster_conf_check(const char* cluster, char** why) {
    *why = nullptr;
    std::string text;
    int rc;
    if (!valid_cluster_name(cluster)) {
        text = "invalid cluster name";
        rc = -EINVAL;
    } else {
        std::vector<kiv_netaddr> addrs;
        rc = read_bootstrap(cluster, &addrs, 1, &text, true);
    }
    if (rc) *why = __kiv_strdup("kiv_mds", KIV_POS, KIV_MEM_NOFAIL, text.c_str());
    return rc;
}

int kiv_init_client_env(const char* cluster, kiv_rpc_engine* e, kiv_mds_client* c, void* ctx) {
    c->conn = nullptr;
    c->p = nullptr;
    c->process_ = nullptr;
    memset(&c->selected, 0, sizeof c->selected);
    if (!valid_cluster_name(cluster)) {
        kiv_log(1, "invalid cluster name '%s'", cluster ? cluster : "(null)");
        return -EINVAL;
    }
    if (!e || !e->priv) return -EINVAL;
    auto* pr = new (std::nothrow) kiv_mds_client_priv();
    if (!pr) return -ENOMEM;
    int rc;
    try {
        pr->cluster = cluster;
        rc = read_bootstrap(pr->cluster, &pr->addrs, 1);
    } catch (const std::bad_alloc&) {
        rc = -ENOMEM;
    }
    if (rc) {
        delete pr;
        return rc;
    }
    pr->ctx = ctx;
    pr->engine = e;
    pr->client = c;
    static const kiv_rpc_ep_ops no_ops = {};
    kiv_rpc_endpoint* conn = kiv_rpc_create(e, &no_ops, &kMdsParams);
    if (!conn) {
        delete pr;
        return -ENOMEM;
    }
    rpc_ep_observer obs = {mds_on_up, mds_on_down, pr};
    rpc_ep_set_observer(conn, &obs);
    c->process_ = kiv_rpc_engine_process(e);
    c->conn = conn;
    c->p = pr;
    return 0;
}

int mds_client_configure_rpc(kiv_mds_client* c, const kiv_rpc_params* params) {
    if (!c->conn) return -EINVAL;
    return rpc_ep_set_params(c->conn, params);
}

// The bootstrap file is read again whenever an address is taken, so a
// cluster whose file changed (or appeared late) is followed; if it cannot
// be read now, the addresses known so far stay.
int mds_select(kiv_mds_client* c, int advance) {
    if (!c->p) return -ENOENT;
    kiv_loop_guard g(c->process_);
    kiv_mds_client_priv* pr = c->p;
    if (!pr) return -ENOENT;
    if (c->selected.kind != KIV_AF_NONE && !advance) return 0;
    try {
        std::vector<kiv_netaddr> fresh;
        if (read_bootstrap(pr->cluster, &fresh, 4) == 0) pr->addrs.swap(fresh);
    } catch (const std::bad_alloc&) {
    }
    if (pr->addrs.empty()) return -ENOENT;
    const kiv_netaddr& a = pr->addrs[pr->next % pr->addrs.size()];
    pr->next = uint32_t((pr->next + 1) % pr->addrs.size());
    c->selected = a;
    kiv_rpc_set_address(c->conn, &a);
    RPC_LOG(7, "mds: selected %s", rpc_addr_text(&a).s);
    return 0;
}

kiv_msg* mds_client_alloc_msg(kiv_mds_client*, uint32_t type, uint32_t size) {
    if (size < 24) return nullptr;
    kiv_msg* m = kiv_rpc_alloc_output_msg(size);
    if (!m) return nullptr;
    rpc_put_le32(m->buf, size);
    rpc_put_le32(m->buf + 4, type);
    return m;
}

int mds_submit(kiv_mds_client* c, kiv_msg* m) { return mds_send(c, m); }

int mds_retry(kiv_mds_client* c, kiv_msg* m) { return mds_send(c, m); }

void mds_client_fini(kiv_mds_client* c) {
    if (!c->p) return;
    kiv_loop_guard g(c->process_);
    kiv_mds_client_priv* pr = c->p;
    if (!pr) return;
    // Closing the endpoint completes every pending message with 34 and
    // drops its queued hook events, so no hook runs after this returns.
    kiv_rpc_close(c->conn);
    c->conn = nullptr;
    memset(&c->selected, 0, sizeof c->selected);
    c->p = nullptr;
    delete pr;
}

#include "localcluster/mds/mds_server.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <cerrno>

#include "client/tarn_wire.h"
#include "kiv/io.h"
#include "kiv/rpc_server.h"
#include "localcluster/faults/fault_gate.h"
#include "localcluster/log.h"
#include "localcluster/mds/epoch_table.h"
#include "localcluster/mds/mds_proto.h"

struct lc_mds {
    lc_mds_config cfg;
    std::string name;  // for the log: "mds <fs name>"
    kiv_process proc{};
    bool proc_started = false;
    kiv_rpc_server_ops ops{};
    lc_fault_gate* gate = nullptr;

    // Loop context only.
    kiv_rpc_server* server = nullptr;
    lc_epoch_table epochs;

    // Read by the control thread.
    std::atomic<uint16_t> port{0};
    std::atomic<bool> listening{false};
    std::atomic<uint64_t> nr_requests{0};
    std::atomic<uint64_t> nr_epoch_unknown{0};
    std::atomic<uint64_t> nr_clients{0};
};

namespace {

bool strict(const lc_mds* m) { return !m->cfg.epoch_strict || m->cfg.epoch_strict->load(std::memory_order_relaxed); }

void send(lc_mds* m, kiv_rpc_sconn* c, kiv_msg* reply) { lc_fault_gate_send(m->gate, c, reply); }

// Checks, epoch, handler, reply. Takes `req`.
void execute(lc_mds* m, kiv_rpc_sconn* c, kiv_msg* req) {
    lc_mds_call call{m, m->cfg.handler_ctx, req, req->buf, req->kept_len, {}, nullptr};
    const lc_mds_msg_def* def = nullptr;
    uint32_t st = lc_mds_check_header(call.buf, call.len, m->cfg.fs_id, &def);
    if (st != TARN_MDS_OK) {
        lc_log(m->cfg.log, LC_LOG_DEBUG, "%s: type %u, %u bytes: refused with status %u", m->name.c_str(),
               tarn_wire_get_u32(call.buf, TARN_MSG_TYPE), call.len, st);
    } else {
        tarn_mds_req_hdr_read(call.buf, call.len, &call.hdr);
        bool resend = call.hdr.flags & TARN_REQ_FLAG_EPOCH_RESEND;
        uint32_t known = 0;
        switch (lc_epoch_check(&m->epochs, call.hdr.client_id, call.hdr.epoch, resend, strict(m), &known)) {
            case LC_EPOCH_UNKNOWN:
                st = TARN_MDS_EPOCH_UNKNOWN;
                m->nr_epoch_unknown++;
                break;
            case LC_EPOCH_PAST:
                lc_log(m->cfg.log, LC_LOG_INFO, "%s: client %llx sent %s with epoch %u, older than its epoch %u",
                       m->name.c_str(), (unsigned long long)call.hdr.client_id, def->name, call.hdr.epoch, known);
                break;
            case LC_EPOCH_OK:
                break;
        }
        m->nr_clients.store(m->epochs.known.size(), std::memory_order_relaxed);
        if (st == TARN_MDS_OK && !lc_mds_names_ok(def, call.buf, call.len)) st = TARN_MDS_INVAL;
        if (st == TARN_MDS_OK) st = def->handler ? def->handler(&call) : uint32_t(TARN_MDS_NOT_IMPL);
    }
    kiv_msg* reply = call.reply;
    if (reply)
        tarn_wire_put_u32(reply->buf, TARN_REPLY_STATUS, st);
    else
        reply = lc_mds_status_reply(req, def, st);
    kiv_free_msg(req);
    if (!reply) {
        lc_log(m->cfg.log, LC_LOG_ERROR, "%s: out of memory for a reply; closing connection %llu", m->name.c_str(),
               (unsigned long long)kiv_rpc_sconn_id(c));
        kiv_rpc_sconn_drop(c);
        return;
    }
    send(m, c, reply);
}

void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
    auto* m = static_cast<lc_mds*>(arg);
    m->nr_requests++;
    if (lc_fault_gate_request(m->gate, c, req)) return;
    execute(m, c, req);
}

void on_close(kiv_rpc_sconn* c, void* arg) { lc_fault_gate_closed(static_cast<lc_mds*>(arg)->gate, c); }

// ---------------------------------------------------------------- gate callbacks

void gate_key(void*, const kiv_msg* req, lc_fault_key* k) {
    k->type = tarn_wire_get_u32(req->buf, TARN_MSG_TYPE);
    if (req->kept_len >= TARN_MDS_REQ_CLIENT_ID + 8) {
        k->has_client = true;
        k->client = tarn_wire_get_u64(req->buf, TARN_MDS_REQ_CLIENT_ID);
    }
    if (req->kept_len >= TARN_MDS_REQ_FLAGS + 4)
        k->epoch_resend = tarn_wire_get_u32(req->buf, TARN_MDS_REQ_FLAGS) & TARN_REQ_FLAG_EPOCH_RESEND;
}

void gate_execute(void* ctx, kiv_rpc_sconn* c, kiv_msg* req) { execute(static_cast<lc_mds*>(ctx), c, req); }

void gate_answer_status(void*, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status) {
    kiv_msg* reply = lc_mds_status_reply(req, lc_mds_msg_find(tarn_wire_get_u32(req->buf, TARN_MSG_TYPE)), status);
    if (reply)
        kiv_rpc_reply(c, reply);
    else
        kiv_rpc_sconn_drop(c);
}

void stop_listening(lc_mds* m) {
    if (!m->server) return;
    kiv_rpc_server_close(m->server);
    m->server = nullptr;
    m->listening = false;
}

// Loop context.
int start_listening(lc_mds* m, uint16_t port) {
    if (m->server) return 0;
    kiv_netaddr addr{};
    addr.kind = KIV_AF_INET;
    addr.port = port;
    uint32_t lo = htonl(INADDR_LOOPBACK);
    memcpy(addr.addr, &lo, 4);
    kiv_rpc_server* s = nullptr;
    int rc = kiv_rpc_listen(&m->proc, &addr, TARN_MDS_MAX_MSG, &m->ops, m, &s);
    if (rc < 0) return rc;
    kiv_netaddr got{};
    kiv_rpc_server_addr(s, &got);
    m->server = s;
    m->port = got.port;
    m->listening = true;
    return 0;
}

void gate_stop_listening(void* ctx) { stop_listening(static_cast<lc_mds*>(ctx)); }

int gate_start_listening(void* ctx) {
    auto* m = static_cast<lc_mds*>(ctx);
    return start_listening(m, m->port);
}

struct ListenArgs {
    lc_mds* m;
    uint16_t port;
    bool move;
};

int do_listen(void* arg) {
    auto* a = static_cast<ListenArgs*>(arg);
    if (a->move) stop_listening(a->m);
    return start_listening(a->m, a->port);
}

int do_stop(void* arg) {
    auto* m = static_cast<lc_mds*>(arg);
    lc_fault_gate_stop(m->gate);
    stop_listening(m);
    return 0;
}

}  // namespace

lc_mds* lc_mds_create(const lc_mds_config& config, std::string* err) {
    auto* m = new lc_mds;
    m->cfg = config;
    m->name = "mds " + config.fs_name;
    m->ops.on_request = on_request;
    m->ops.on_close = on_close;
    if (kiv_process_init_(&m->proc) != 0) {
        *err = "cannot create the runtime process of " + m->name;
        delete m;
        return nullptr;
    }
    char pname[32];
    snprintf(pname, sizeof pname, "lc-mds-%llx", (unsigned long long)config.fs_id);
    if (kiv_process_start(&m->proc, pname) != 0) {
        kiv_process_fini(&m->proc);
        *err = "cannot start the runtime process of " + m->name;
        delete m;
        return nullptr;
    }
    m->proc_started = true;
    lc_fault_gate_ops gops{m, gate_key, gate_execute, gate_answer_status, gate_stop_listening, gate_start_listening};
    m->gate = lc_fault_gate_create(config.faults, lc_fault_site{LC_SVC_MDS, config.fs_index, config.host_id},
                                   &m->proc, gops, config.log);
    return m;
}

int lc_mds_listen(lc_mds* m, uint16_t port, uint16_t* bound) {
    ListenArgs a{m, port, false};
    int rc = kiv_call_in_job(&m->proc, do_listen, &a);
    if (rc == 0 && bound) *bound = m->port;
    if (rc == 0)
        lc_log(m->cfg.log, LC_LOG_INFO, "%s (fs id %llx) listening on 127.0.0.1:%u", m->name.c_str(),
               (unsigned long long)m->cfg.fs_id, unsigned(m->port));
    return rc;
}

int lc_mds_move(lc_mds* m, uint16_t* new_port) {
    uint16_t old = m->port;
    ListenArgs a{m, 0, true};
    int rc = kiv_call_in_job(&m->proc, do_listen, &a);
    if (rc < 0) {
        lc_log(m->cfg.log, LC_LOG_ERROR, "%s: cannot listen on a new port: %s", m->name.c_str(), strerror(-rc));
        return rc;
    }
    *new_port = m->port;
    lc_log(m->cfg.log, LC_LOG_INFO, "%s moved from port %u to %u", m->name.c_str(), unsigned(old), unsigned(m->port));
    return 0;
}

void lc_mds_destroy(lc_mds* m) {
    if (!m) return;
    if (m->proc_started) {
        kiv_call_in_job(&m->proc, do_stop, m);
        kiv_process_terminate(&m->proc);
        kiv_process_wait(&m->proc);
        kiv_process_fini(&m->proc);
    }
    lc_fault_gate_destroy(m->gate);
    delete m;
}

void lc_mds_get_stats(lc_mds* m, lc_mds_stats* out) {
    out->port = m->port;
    out->listening = m->listening;
    out->refusing = lc_fault_gate_refusing(m->gate);
    out->requests = m->nr_requests;
    out->epoch_unknown = m->nr_epoch_unknown;
    out->faults = lc_fault_gate_fired(m->gate);
    out->clients = m->nr_clients;
}

#include "localcluster/faults/registry_faults.h"

#include <atomic>
#include <cerrno>

#include "discovery/kvstore_msg.h"
#include "kiv/io.h"
#include "localcluster/faults/fault_gate.h"
#include "localcluster/registry/registry_server.h"

struct lc_registry_faults {
    lc_regsrv* srv;
    kiv_process* process;
    lc_fault_gate* gate = nullptr;
    std::atomic<uint16_t> port{0};
};

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void key(void*, const kiv_msg* req, lc_fault_key* k) {
    k->type = le32(req->buf + 4);
    if (req->kept_len >= KVSTORE_OFF_OP + 4) {
        k->has_op = true;
        k->op = le32(req->buf + KVSTORE_OFF_OP);
    }
}

void execute(void* ctx, kiv_rpc_sconn* c, kiv_msg* req) {
    lc_regsrv_execute(static_cast<lc_registry_faults*>(ctx)->srv, c, req);
}

void answer_status(void* ctx, kiv_rpc_sconn* c, const kiv_msg* req, uint32_t status) {
    lc_regsrv_answer_status(static_cast<lc_registry_faults*>(ctx)->srv, c, req, status);
}

void stop_listening(void* ctx) { lc_regsrv_close(static_cast<lc_registry_faults*>(ctx)->srv); }

int start_listening(void* ctx) {
    auto* rf = static_cast<lc_registry_faults*>(ctx);
    int rc = lc_regsrv_listen(rf->srv, rf->port, nullptr);
    return rc == -EBUSY ? 0 : rc;  // already listening
}

bool hook_request(void* ctx, kiv_rpc_sconn* c, kiv_msg* req) {
    return lc_fault_gate_request(static_cast<lc_registry_faults*>(ctx)->gate, c, req);
}

bool hook_reply(void* ctx, kiv_rpc_sconn* c, kiv_msg** reply) {
    return lc_fault_gate_reply(static_cast<lc_registry_faults*>(ctx)->gate, c, reply);
}

void hook_closed(void* ctx, kiv_rpc_sconn* c) { lc_fault_gate_closed(static_cast<lc_registry_faults*>(ctx)->gate, c); }

int do_stop(void* arg) {
    lc_fault_gate_stop(static_cast<lc_registry_faults*>(arg)->gate);
    return 0;
}

}  // namespace

lc_registry_faults* lc_registry_faults_attach(lc_faults* faults, lc_regsrv* srv, kiv_process* p, lc_logger* log) {
    auto* rf = new lc_registry_faults;
    rf->srv = srv;
    rf->process = p;
    lc_fault_gate_ops ops{rf, key, execute, answer_status, stop_listening, start_listening};
    ops.drop_at_once = true;
    rf->gate = lc_fault_gate_create(faults, lc_fault_site{LC_SVC_REGISTRY, -1, 0}, p, ops, log);
    lc_regsrv_set_hooks(srv, lc_regsrv_hooks{hook_request, hook_reply, hook_closed, rf});
    return rf;
}

void lc_registry_faults_set_port(lc_registry_faults* rf, uint16_t port) { rf->port = port; }

void lc_registry_faults_stop(lc_registry_faults* rf) {
    if (rf) kiv_call_in_job(rf->process, do_stop, rf);
}

void lc_registry_faults_destroy(lc_registry_faults* rf) {
    if (!rf) return;
    lc_fault_gate_destroy(rf->gate);
    delete rf;
}

uint64_t lc_registry_faults_fired(lc_registry_faults* rf) { return lc_fault_gate_fired(rf->gate); }
bool lc_registry_faults_refusing(lc_registry_faults* rf) { return lc_fault_gate_refusing(rf->gate); }

// A test client of the local cluster's servers that goes through the
// runtime's client transport: requests are whole frames written by the
// test, sent over loopback endpoints, and completed on the client's own
// event loop; optionally also the registry through the runtime's
// metadata-service client. Shared by the DS, MDS and fault-rule tests.
// (mds_wire_client.h is the other kind: a blocking socket that checks
// every reply against the MDS reply rules.)
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/tarn_wire.h"
#include "discovery/kvstore_msg.h"
#include "kiv/io.h"
#include "kiv/mds.h"
#include "kiv/rpc.h"
#include "localcluster/cluster.h"
#include "hang_guard.h"

namespace wiretest {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// status() of an outcome without a reply header.
constexpr uint32_t kNoReply = 0xFFFFFFFF;

// The time-out of a request whose reply must come: the hang guard. A test
// that asserts that no reply comes passes a short time-out of its own.
constexpr uint32_t kReplyMs = uint32_t(lctest::kHangGuard.count());
// How much longer than its request's time-out a wait for the completion
// lasts, so that the request's own time-out ends it first.
constexpr int kCompletionSlackMs = 5000;

struct Outcome {
    bool completed = false;
    uint32_t error = 0;  // the runtime's error word
    Bytes reply;         // the whole reply frame
    uint32_t status() const {
        return reply.size() >= TARN_REPLY_STATUS + 4 ? tarn_wire_get_u32(reply.data(), TARN_REPLY_STATUS) : kNoReply;
    }
    uint32_t u32(size_t at) const { return tarn_wire_get_u32(reply.data(), at); }
    uint64_t u64(size_t at) const { return tarn_wire_get_u64(reply.data(), at); }
};

// One request in flight; completed on the client's event loop.
struct Pending {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    Outcome out;
    Clock::time_point at;  // when it completed

    static void on_done(kiv_msg* m) {
        auto* p = static_cast<Pending*>(m->priv);
        std::lock_guard<std::mutex> g(p->mu);
        p->out.completed = true;
        p->out.error = m->error;
        if (m->reply) p->out.reply.assign(m->reply->buf, m->reply->buf + m->reply->kept_len);
        kiv_free_msg(m);
        p->at = Clock::now();
        p->done = true;
        p->cv.notify_all();
    }
    bool finished() {
        std::lock_guard<std::mutex> g(mu);
        return done;
    }
    // A request ends by its own time-out at the latest, so the default is
    // only a hang guard.
    Outcome wait(int ms = int(kReplyMs) + kCompletionSlackMs) {
        std::unique_lock<std::mutex> lk(mu);
        cv.wait_for(lk, std::chrono::milliseconds(ms), [this] { return done; });
        return out;
    }
};

// The endpoint parameters the client library uses towards an MDS and a DS.
inline kiv_rpc_params mds_endpoint_params() { return kiv_rpc_params{24, TARN_MDS_MAX_MSG, 5000, 50, 60000, 1}; }
inline kiv_rpc_params ds_endpoint_params() { return kiv_rpc_params{24, TARN_DS_MAX_MSG, 2000, 50, 60000, 0}; }

class WireClient {
   public:
    // `registry`: also a metadata-service client of the registry, for
    // registry().
    WireClient(const char* process_name, const kiv_rpc_params& params, bool registry = false)
        : params_(params), with_registry_(registry) {
        EXPECT_EQ(0, kiv_process_init_(&proc_));
        EXPECT_EQ(0, kiv_process_start(&proc_, process_name));
        EXPECT_EQ(0, kiv_rpc_engine_init(&proc_, &engine_, KIV_RPC_ENGINE_CLIENT));
        if (with_registry_) {
            EXPECT_EQ(0, kiv_rpc_engine_init(&proc_, &reg_engine_, KIV_RPC_ENGINE_REGISTRY));
            EXPECT_EQ(0, kiv_init_client_env("local", &reg_engine_, &reg_, nullptr));
            EXPECT_EQ(0, mds_select(&reg_, 0));
        }
    }
    ~WireClient() {
        for (kiv_rpc_endpoint* ep : eps_) kiv_rpc_close(ep);
        if (with_registry_) mds_client_fini(&reg_);
        kiv_rpc_engine_fini(&engine_);
        if (with_registry_) kiv_rpc_engine_fini(&reg_engine_);
        kiv_process_terminate(&proc_);
        kiv_process_wait(&proc_);
        kiv_process_fini(&proc_);
    }
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;

    // An endpoint towards 127.0.0.1:port (connected on its first call).
    kiv_rpc_endpoint* connect(uint16_t port) {
        kiv_rpc_ep_ops ops{};
        kiv_rpc_endpoint* ep = kiv_rpc_create(&engine_, &ops, &params_);
        kiv_netaddr a{};
        a.kind = KIV_AF_INET;
        a.port = port;
        uint32_t lo = htonl(INADDR_LOOPBACK);
        memcpy(a.addr, &lo, 4);
        kiv_rpc_set_address(ep, &a);
        std::lock_guard<std::mutex> g(mu_);
        eps_.push_back(ep);
        return ep;
    }

    // Sends `frame` with a fresh transaction id; safe from any thread.
    Pending* start(kiv_rpc_endpoint* ep, const Bytes& frame, uint32_t timeout_ms = kReplyMs) {
        Pending* p = add();
        kiv_msg* m = kiv_rpc_alloc_output_msg(uint32_t(frame.size()));
        memcpy(m->buf, frame.data(), frame.size());
        kiv_rpc_get_new_xid(&engine_, m->buf + TARN_MSG_XID);
        m->priv = p;
        m->done = Pending::on_done;
        m->timeout_ms = timeout_ms;
        kiv_rpc_call(ep, m);
        return p;
    }
    Outcome call(kiv_rpc_endpoint* ep, const Bytes& frame, uint32_t timeout_ms = kReplyMs) {
        return start(ep, frame, timeout_ms)->wait(int(timeout_ms) + kCompletionSlackMs);
    }
    // Drops the connection; requests in flight complete with an error.
    void drop(kiv_rpc_endpoint* ep) { kiv_rpc_reset(ep, 0); }

    // One registry request with a single item; a watch (`watch_s` > 0)
    // waits for a change after generation `gen`. The registry may hold a
    // watch that long before it answers, so the hang guard starts after it.
    Pending* registry_start(uint32_t op, const std::string& key, const std::string& value = "",
                            uint64_t watch_s = 0, uint64_t gen = 0) {
        return registry_send(op, key, value, watch_s, gen, uint32_t(kReplyMs + watch_s * 1000));
    }
    // One registry request other than a watch, ended by `timeout_ms`.
    Outcome registry(uint32_t op, const std::string& key, const std::string& value = "",
                     uint32_t timeout_ms = kReplyMs) {
        return registry_send(op, key, value, 0, 0, timeout_ms)->wait(int(timeout_ms) + kCompletionSlackMs);
    }

   private:
    Pending* registry_send(uint32_t op, const std::string& key, const std::string& value, uint64_t watch_s,
                           uint64_t gen, uint32_t timeout_ms) {
        EXPECT_TRUE(with_registry_) << "a WireClient made without the registry";
        Pending* p = add();
        kiv_msg* m = kvstore_msg_alloc(&reg_, op, 0, watch_s, 0, key.data(), uint32_t(key.size()), value.data(),
                                       uint32_t(value.size()));
        if (gen) kvstore_msg_set_generation(m, gen);
        m->priv = p;
        m->done = Pending::on_done;
        m->timeout_ms = timeout_ms;
        mds_submit(&reg_, m);
        return p;
    }

    Pending* add() {
        std::lock_guard<std::mutex> g(mu_);
        pending_.push_back(std::make_unique<Pending>());
        return pending_.back().get();
    }

    kiv_rpc_params params_;
    bool with_registry_;
    kiv_process proc_{};
    kiv_rpc_engine engine_{};
    kiv_rpc_engine reg_engine_{};
    kiv_mds_client reg_{};
    std::mutex mu_;
    std::vector<kiv_rpc_endpoint*> eps_;
    std::deque<std::unique_ptr<Pending>> pending_;  // outlive the endpoints
};

// An MDS request header; the frame's fields beyond it are zero.
struct MdsReq {
    uint32_t type = TARN_MDS_NOOP;
    uint32_t len = TARN_MDS_NOOP_REQ_BYTES;
    uint64_t fs_id = 0x1001;
    uint64_t client = 0xc0ffee;
    uint32_t epoch = 1;
    uint32_t flags = 0;
    uint64_t version = TARN_WIRE_VERSION;
};

// A request frame written with the client's header codec; frames shorter
// than the header keep its first `len` bytes.
inline Bytes mds_frame(const MdsReq& r) {
    Bytes b(std::max<size_t>(r.len, TARN_MDS_REQ_HDR_BYTES), 0);
    tarn_mds_req_hdr h{};
    h.length = r.len;
    h.type = r.type;
    h.version = r.version;
    h.client_id = r.client;
    h.epoch = r.epoch;
    h.flags = r.flags;
    h.fs_id = r.fs_id;
    tarn_mds_req_hdr_write(b.data(), &h);
    b.resize(r.len);
    return b;
}

// The status object of the MDS instance of file system `fs` in the
// cluster's status; "" when there is none.
inline std::string mds_instance(localcluster::Cluster& cluster, const std::string& fs) {
    std::string s = cluster.control("status");
    size_t at = 0;
    while ((at = s.find("{\"service\":\"mds\"", at)) != std::string::npos) {
        std::string obj = s.substr(at, s.find('}', at) - at + 1);
        if (obj.find("\"fs\":\"" + fs + "\"") != std::string::npos) return obj;
        at++;
    }
    return "";
}

// The port of that instance; 0 when there is none.
inline uint16_t mds_port_of(localcluster::Cluster& cluster, const std::string& fs) {
    std::string obj = mds_instance(cluster, fs);
    size_t p = obj.find("\"port\":");
    return p == std::string::npos ? 0 : uint16_t(strtol(obj.c_str() + p + 7, nullptr, 10));
}

}  // namespace wiretest

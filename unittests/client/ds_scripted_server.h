// A small scripted data server for the DS client's tests and benchmark:
// it listens on loopback with the runtime's server API in a process of its
// own, records every request frame it receives (padding included) and
// answers each one as the test tells it: a reply of given bytes, a reply
// after a delay, a runtime error frame, a dropped connection, or silence.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/tarn_conn.h"
#include "client/tarn_wire.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"

namespace ds_test {

using Clock = std::chrono::steady_clock;

// What the server does with one request.
struct DsAnswer {
    enum Kind { Reply, ReplyLater, Drop, Silent, ErrorFrame } kind = Reply;
    // Reply, ReplyLater: the whole reply; the server writes its length, type
    // and transaction id, the rest (status at +24 included) is sent as is.
    std::vector<uint8_t> bytes = std::vector<uint8_t>(TARN_REPLY_HDR_BYTES, 0);
    uint32_t ms = 0;   // ReplyLater
    uint32_t code = 0; // ErrorFrame: the runtime error code

    uint8_t* at(size_t off) { return bytes.data() + off; }
    void put_u16(size_t off, uint16_t v) { tarn_wire_put_u16(bytes.data(), off, v); }
    void put_u32(size_t off, uint32_t v) { tarn_wire_put_u32(bytes.data(), off, v); }
    void put_u64(size_t off, uint64_t v) { tarn_wire_put_u64(bytes.data(), off, v); }
};

// A reply of `len` zero bytes with `status`.
inline DsAnswer reply(uint32_t status, size_t len = TARN_REPLY_HDR_BYTES) {
    DsAnswer a;
    a.bytes.assign(len, 0);
    tarn_wire_put_u32(a.bytes.data(), TARN_REPLY_STATUS, status);
    return a;
}
inline DsAnswer reply_later(uint32_t ms, uint32_t status) {
    DsAnswer a = reply(status);
    a.kind = DsAnswer::ReplyLater;
    a.ms = ms;
    return a;
}
inline DsAnswer drop() {
    DsAnswer a;
    a.kind = DsAnswer::Drop;
    return a;
}
inline DsAnswer silent() {
    DsAnswer a;
    a.kind = DsAnswer::Silent;
    return a;
}
inline DsAnswer error_frame(uint32_t code) {
    DsAnswer a;
    a.kind = DsAnswer::ErrorFrame;
    a.code = code;
    return a;
}

struct DsRequest {
    Clock::time_point at;
    uint64_t conn_id = 0;
    std::vector<uint8_t> frame; // as received, padding included
    tarn_ds_req_hdr hdr{};      // plain part, and the file part too (bytes permitting)

    uint32_t u32(size_t off) const { return tarn_wire_get_u32(frame.data(), off); }
    uint64_t u64(size_t off) const { return tarn_wire_get_u64(frame.data(), off); }
};

// Builds the answer to a request when no scripted answer is queued; runs
// on the server's event loop.
using DsResponder = std::function<DsAnswer(const DsRequest&)>;

class ScriptedDs {
   public:
    ScriptedDs() {
        kiv_process_init_(&process_);
        kiv_process_start(&process_, "test-ds");
    }
    ~ScriptedDs() {
        stop();
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
    }
    ScriptedDs(const ScriptedDs&) = delete;
    ScriptedDs& operator=(const ScriptedDs&) = delete;

    // Listens on 127.0.0.1 at `port` (0: any); returns the port, 0 on failure.
    uint16_t start(uint16_t port = 0) {
        kiv_netaddr addr;
        if (kiv_parse_netaddr_port("127.0.0.1", std::to_string(port).c_str(), &addr) != 0) return 0;
        kiv_rpc_server_ops ops{};
        ops.on_request = on_request;
        if (kiv_rpc_listen(&process_, &addr, TARN_DS_MAX_MSG, &ops, this, &server_) != 0) return 0;
        kiv_netaddr bound;
        kiv_rpc_server_addr(server_, &bound);
        port_ = bound.port;
        return port_;
    }

    // A crash: stop listening and drop every connection.
    void stop() {
        join_later();
        if (server_ != nullptr) kiv_rpc_server_close(server_);
        server_ = nullptr;
    }

    uint16_t port() const { return port_; }
    // The address as the client's tarn_host_addr holds it.
    static constexpr uint32_t kLoopback = 0x7f000001;

    void script(std::vector<DsAnswer> answers) {
        std::lock_guard<std::mutex> g(mu_);
        script_.assign(answers.begin(), answers.end());
    }
    void set_default(DsAnswer a) {
        std::lock_guard<std::mutex> g(mu_);
        default_ = std::move(a);
        responder_ = nullptr;
    }
    void set_responder(DsResponder r) {
        std::lock_guard<std::mutex> g(mu_);
        responder_ = std::move(r);
    }
    // Off: requests are answered but not kept (for load).
    void set_recording(bool on) {
        std::lock_guard<std::mutex> g(mu_);
        recording_ = on;
    }

    std::vector<DsRequest> requests() {
        std::lock_guard<std::mutex> g(mu_);
        return requests_;
    }
    size_t count() {
        std::lock_guard<std::mutex> g(mu_);
        return seen_;
    }
    bool wait_requests(size_t n, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, limit, [&] { return seen_ >= n; });
    }

   private:
    static void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) { static_cast<ScriptedDs*>(arg)->handle(c, req); }

    void handle(kiv_rpc_sconn* c, kiv_msg* req) {
        DsRequest r;
        r.at = Clock::now();
        r.conn_id = kiv_rpc_sconn_id(c);
        r.frame.assign(req->buf, req->buf + req->kept_len);
        const bool file = req->kept_len >= TARN_DS_FILE_REQ_HDR_BYTES;
        tarn_ds_req_hdr_read(req->buf, req->kept_len, file, &r.hdr);
        DsAnswer a;
        bool have = false;
        DsResponder responder;
        {
            std::lock_guard<std::mutex> g(mu_);
            seen_++;
            if (!script_.empty()) {
                a = std::move(script_.front());
                script_.pop_front();
                have = true;
            } else if (responder_) {
                responder = responder_;
            } else {
                a = default_;
                have = true;
            }
        }
        if (!have) a = responder(r);
        answer(c, req, a);
        kiv_free_msg(req);
        std::lock_guard<std::mutex> g(mu_);
        if (recording_) requests_.push_back(std::move(r));
        cv_.notify_all();
    }

    static kiv_msg* make_reply(const kiv_msg* req, const DsAnswer& a) {
        kiv_msg* rep = kiv_rpc_alloc_reply(req, uint32_t(a.bytes.size()));
        memcpy(rep->buf + 24, a.bytes.data() + 24, a.bytes.size() - 24);
        return rep;
    }

    void answer(kiv_rpc_sconn* c, const kiv_msg* req, const DsAnswer& a) {
        switch (a.kind) {
        case DsAnswer::Reply:
            kiv_rpc_reply(c, make_reply(req, a));
            break;
        case DsAnswer::ErrorFrame:
            kiv_rpc_reply_error(c, req, a.code);
            break;
        case DsAnswer::Drop:
            kiv_rpc_sconn_drop(c);
            break;
        case DsAnswer::Silent:
            break;
        case DsAnswer::ReplyLater: {
            kiv_msg* rep = make_reply(req, a);
            kiv_rpc_sconn_ref(c);
            const uint32_t ms = a.ms;
            std::lock_guard<std::mutex> g(mu_);
            later_.emplace_back([c, rep, ms] {
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                kiv_rpc_reply(c, rep);
                kiv_rpc_sconn_unref(c);
            });
            break;
        }
        }
    }

    void join_later() {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> g(mu_);
            threads.swap(later_);
        }
        for (auto& t : threads) t.join();
    }

    kiv_process process_{};
    kiv_rpc_server* server_ = nullptr;
    uint16_t port_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<DsAnswer> script_;
    DsAnswer default_{};
    DsResponder responder_;
    bool recording_ = true;
    size_t seen_ = 0;
    std::vector<DsRequest> requests_;
    std::vector<std::thread> later_;
};

// A test-side view of the virtual-disk map behind the DS client's locator
// callbacks: every disk on the scripted server unless moved, counting the
// reports it receives.
class FakeLocator {
   public:
    FakeLocator(uint32_t vdisk_count, uint64_t host_id, uint16_t port, uint64_t token = 0)
        : count_(vdisk_count), host_id_(host_id), port_(port), token_(token) {}

    void set_map_known(bool on) {
        std::lock_guard<std::mutex> g(mu_);
        known_ = on;
    }
    void set_port(uint16_t port) {
        std::lock_guard<std::mutex> g(mu_);
        port_ = port;
    }
    // The token of every disk from the next lookup on (a remount).
    void set_token(uint64_t token) {
        std::lock_guard<std::mutex> g(mu_);
        token_ = token;
    }
    uint32_t unmounted_reports() {
        std::lock_guard<std::mutex> g(mu_);
        return unmounted_;
    }
    uint32_t unreachable_reports() {
        std::lock_guard<std::mutex> g(mu_);
        return unreachable_;
    }
    uint32_t lookups() {
        std::lock_guard<std::mutex> g(mu_);
        return lookups_;
    }
    // The disk and host of the last report.
    std::pair<uint16_t, uint64_t> last_report() {
        std::lock_guard<std::mutex> g(mu_);
        return {last_vdisk_, last_host_};
    }

    static int find(void* ctx, uint16_t vdisk_id, tarn_host_addr* out, uint64_t* token) {
        auto* self = static_cast<FakeLocator*>(ctx);
        std::lock_guard<std::mutex> g(self->mu_);
        self->lookups_++;
        if (!self->known_) return -EAGAIN;
        if (vdisk_id >= self->count_) return -EINVAL;
        out->host_id = self->host_id_;
        out->ipv4 = ScriptedDs::kLoopback;
        out->port = self->port_;
        *token = self->token_;
        return 0;
    }
    static void on_unmounted(void* ctx, uint16_t vdisk_id, uint64_t host_id) {
        auto* self = static_cast<FakeLocator*>(ctx);
        std::lock_guard<std::mutex> g(self->mu_);
        self->unmounted_++;
        self->last_vdisk_ = vdisk_id;
        self->last_host_ = host_id;
    }
    static void on_unreachable(void* ctx, uint16_t vdisk_id, uint64_t host_id) {
        auto* self = static_cast<FakeLocator*>(ctx);
        std::lock_guard<std::mutex> g(self->mu_);
        self->unreachable_++;
        self->last_vdisk_ = vdisk_id;
        self->last_host_ = host_id;
    }

   private:
    std::mutex mu_;
    uint32_t count_;
    uint64_t host_id_;
    uint16_t port_;
    uint64_t token_;
    bool known_ = true;
    uint32_t unmounted_ = 0;
    uint32_t unreachable_ = 0;
    uint32_t lookups_ = 0;
    uint16_t last_vdisk_ = 0;
    uint64_t last_host_ = 0;
};

}  // namespace ds_test

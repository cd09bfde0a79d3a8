// What the lock client's tests share: a scripted lock server that records
// every request frame and answers as the test says, a capture of the
// client's log hook, a client whose resolver table the test installs itself
// (its registry does not exist), and the frames a test expects.
#pragma once

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/log_capture.h"
#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"
#include "ls_client/ls_client.h"
#include "ls_client/ls_client_int.h"
#include "ls_client/ls_wire.h"

namespace lstest {

// ---------------------------------------------------------------- bytes
// A frame written at literal offsets, independent of the library's codec.
struct Bytes {
    std::vector<uint8_t> b;
    explicit Bytes(size_t n = 0) : b(n, 0) {}
    Bytes& u8(size_t off, uint8_t v) {
        b.at(off) = v;
        return *this;
    }
    Bytes& u16(size_t off, uint16_t v) {
        for (int i = 0; i < 2; i++) b.at(off + i) = uint8_t(v >> (8 * i));
        return *this;
    }
    Bytes& u32(size_t off, uint32_t v) {
        for (int i = 0; i < 4; i++) b.at(off + i) = uint8_t(v >> (8 * i));
        return *this;
    }
    Bytes& u64(size_t off, uint64_t v) {
        for (int i = 0; i < 8; i++) b.at(off + i) = uint8_t(v >> (8 * i));
        return *this;
    }
    Bytes& raw(size_t off, const void* p, size_t n) {
        if (n != 0) memcpy(&b.at(off + n - 1) - (n - 1), p, n);
        return *this;
    }
    Bytes& str(size_t off, const char* s) { return raw(off, s, strlen(s) + 1); }
};

// A request as the scripted server saw it.
struct Request {
    uint64_t conn_id = 0;
    std::vector<uint8_t> frame;
    uint32_t u32(size_t off) const { return ls_wire_get_u32(frame.data(), off); }
};

// How the server answers one request.
struct Answer {
    enum Kind { Reply, ErrorFrame, Silent } kind = Reply;
    std::vector<uint8_t> bytes; // whole reply; length, type and xid are the server's
    uint32_t code = 0;          // ErrorFrame
};

// A reply of `len` bytes carrying `status`, when it fits.
inline Answer status_reply(uint32_t status, size_t len = LS_REPLY_STATUS_BYTES) {
    Answer a;
    a.bytes.assign(len, 0);
    if (len >= 0x24) ls_wire_put_u32(a.bytes.data(), 0x20, status);
    return a;
}
inline Answer reply_of(const Bytes& b) {
    Answer a;
    a.bytes = b.b;
    return a;
}

// A lock server on 127.0.0.1 in a process of its own.
class ScriptedLs {
   public:
    ScriptedLs() {
        kiv_process_init_(&process_);
        kiv_process_start(&process_, "test-ls");
        kiv_netaddr any;
        kiv_parse_netaddr("127.0.0.1:0", &any);
        kiv_rpc_server_ops ops{};
        ops.on_request = on_request;
        if (kiv_rpc_listen(&process_, &any, LS_MAX_MSG, &ops, this, &server_) == 0)
            kiv_rpc_server_addr(server_, &addr_);
    }
    ~ScriptedLs() {
        if (server_ != nullptr) kiv_rpc_server_close(server_);
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
    }
    ScriptedLs(const ScriptedLs&) = delete;
    ScriptedLs& operator=(const ScriptedLs&) = delete;

    const kiv_netaddr& addr() const { return addr_; }
    bool listening() const { return server_ != nullptr; }

    // Answers every later request with `a` (default: status 0).
    void answer(Answer a) {
        std::lock_guard<std::mutex> g(mu_);
        answer_ = std::move(a);
    }
    std::vector<Request> requests() {
        std::lock_guard<std::mutex> g(mu_);
        return requests_;
    }
    size_t count() {
        std::lock_guard<std::mutex> g(mu_);
        return requests_.size();
    }
    void clear() {
        std::lock_guard<std::mutex> g(mu_);
        requests_.clear();
    }

   private:
    static void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
        auto* self = static_cast<ScriptedLs*>(arg);
        Request r;
        r.conn_id = kiv_rpc_sconn_id(c);
        r.frame.assign(req->buf, req->buf + req->kept_len);
        Answer a;
        {
            std::lock_guard<std::mutex> g(self->mu_);
            self->requests_.push_back(r);
            a = self->answer_;
        }
        if (a.kind == Answer::ErrorFrame) {
            kiv_rpc_reply_error(c, req, a.code);
        } else if (a.kind == Answer::Reply) {
            kiv_msg* rep = kiv_rpc_alloc_reply(req, uint32_t(a.bytes.size()));
            if (a.bytes.size() > 24) memcpy(rep->buf + 24, a.bytes.data() + 24, a.bytes.size() - 24);
            kiv_rpc_reply(c, rep);
        }
        kiv_free_msg(req);
    }

    kiv_process process_{};
    kiv_rpc_server* server_ = nullptr;
    kiv_netaddr addr_{};
    std::mutex mu_;
    Answer answer_ = status_reply(0);
    std::vector<Request> requests_;
};

// ---------------------------------------------------------------- log hook
// The client's hook lines: the formatted text at its hook level, plus any
// line whose position text is not "file.cpp:line".
struct HookLog {
    clienttest::LogCapture lines;
    std::mutex mu;
    std::vector<std::string> bad_positions;
    // Runs on the logging thread after a line is captured (e.g. to change
    // the resolver's table at a given retry).
    std::function<void(const std::string&)> on_line;
};

inline HookLog* g_hook_log = nullptr;

inline void capture_hook(int level, const char* pos, const char* func, const char* fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    HookLog* log = g_hook_log;
    if (log == nullptr) return;
    clienttest::LogCapture::hook(level, text, &log->lines);
    const char* colon = strrchr(pos, ':');
    const bool good = colon != nullptr && colon > pos && strchr(pos, '/') == nullptr && colon[1] >= '0' &&
                      colon[1] <= '9' && func != nullptr && func[0] != '\0';
    if (!good) {
        std::lock_guard<std::mutex> g(log->mu);
        log->bad_positions.push_back(pos);
    }
    if (log->on_line) log->on_line(text);
}

// ---------------------------------------------------------------- resolver table
// A service map whose records point into storage the builder owns.
class MapBuilder {
   public:
    MapBuilder& add(const std::string& name, std::vector<std::string> tags, const std::string& addr, uint16_t port,
                    uint64_t host_id = 0xa1) {
        Rec& r = recs_.emplace_back();
        r.name = name;
        r.tags = std::move(tags);
        r.addr = addr;
        r.port = port;
        r.host_id = host_id;
        return *this;
    }
    // An "ls" record for fs_id at `a`.
    MapBuilder& server(uint64_t fs_id, const kiv_netaddr& a, uint64_t host_id = 0xa1) {
        char tag[32], ip[64];
        snprintf(tag, sizeof tag, "fsid:%lx", (unsigned long)fs_id);
        snprintf(ip, sizeof ip, "%u.%u.%u.%u", a.addr[0], a.addr[1], a.addr[2], a.addr[3]);
        return add("ls", {tag}, ip, a.port, host_id);
    }
    const discov_svc_map* map() {
        svcs_.clear();
        for (Rec& r : recs_) {
            r.tag_ptrs.clear();
            for (std::string& t : r.tags) r.tag_ptrs.push_back(t.data());
            discov_svc s{};
            s.name = r.name.data();
            s.tags = r.tag_ptrs.data();
            s.tag_count = uint32_t(r.tag_ptrs.size());
            s.addr = r.addr.data();
            s.port = r.port;
            s.host_id = r.host_id;
            svcs_.push_back(s);
        }
        map_.records = svcs_.data();
        map_.count = uint32_t(svcs_.size());
        map_.generation = 1;
        map_.refcount = 1;
        return &map_;
    }

   private:
    struct Rec {
        std::string name, addr;
        std::vector<std::string> tags;
        std::vector<char*> tag_ptrs;
        uint16_t port = 0;
        uint64_t host_id = 0;
    };
    std::deque<Rec> recs_;
    std::vector<discov_svc> svcs_;
    discov_svc_map map_{};
};

// ---------------------------------------------------------------- client fixture
// A lock client on its own event loop whose cluster has no registry, so its
// resolver knows exactly what the test installs. Direct mode when `direct`
// names a server.
class ClientFixture : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_level_ = __kiv_log_level;
        __kiv_log_level = -1; // the runtime's own lines (failed listings) are noise here
        g_hook_log = &log_;
        ls_client_custom_log_init(capture_hook);
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ASSERT_TRUE(server_.listening());
    }

    void TearDown() override {
        if (client_ != nullptr) ls_client_destroy(client_);
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
        ls_client_custom_log_fini();
        g_hook_log = nullptr;
        __kiv_log_level = saved_level_;
    }

    void make_client(bool direct) {
        ls_client_cfg cfg{};
        if (direct) cfg.direct_addr = server_.addr();
        cfg.cluster = "no-such-ls-cluster";
        cfg.direct_host_id = 0xd1;
        cfg.local_id = 12345;
        ASSERT_EQ(ls_client_create(&cfg, &process_, &client_), 0);
    }

    void install(MapBuilder& b) { ls_resolver_install_map(client_->resolver, b.map()); }

    int saved_level_ = 3;
    HookLog log_;
    kiv_process process_{};
    ScriptedLs server_;
    ls_client* client_ = nullptr;
};

}  // namespace lstest

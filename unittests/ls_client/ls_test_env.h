// What the lock client's tests share: frames written at literal offsets, a
// scripted lock server that records every request and answers as told, a
// capture of the client's log hook, and a client whose resolver table the
// test installs itself (its cluster has no registry).
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/log_capture.h"
#include "discovery/discov.h"
#include "kiv/rpc_server.h"
#include "ls_client/ls_client.h"
#include "ls_client/ls_client_int.h"
#include "ls_client/ls_wire.h"

namespace lstest {

// A little-endian frame written independently of the library's codec.
struct Bytes {
    std::vector<uint8_t> b;
    explicit Bytes(size_t n = 0) : b(n, 0) {}
    Bytes& le(size_t off, uint64_t v, int width) {
        for (int i = 0; i < width; i++) b.at(off + i) = uint8_t(v >> (8 * i));
        return *this;
    }
    Bytes& u8(size_t off, uint8_t v) { return le(off, v, 1); }
    Bytes& u16(size_t off, uint16_t v) { return le(off, v, 2); }
    Bytes& u32(size_t off, uint32_t v) { return le(off, v, 4); }
    Bytes& u64(size_t off, uint64_t v) { return le(off, v, 8); }
    Bytes& raw(size_t off, const void* p, size_t n) {
        for (size_t i = 0; i < n; i++) b.at(off + i) = static_cast<const uint8_t*>(p)[i];
        return *this;
    }
    Bytes& str(size_t off, const char* s) { return raw(off, s, strlen(s) + 1); }
};

// A reply of `len` bytes with `status` at 0x20 when it fits.
inline Bytes status_reply(uint32_t status, size_t len = 0x28) {
    Bytes b(len);
    return len >= 0x24 ? b.u32(0x20, status) : b;
}

struct Request {
    uint64_t conn_id;
    std::vector<uint8_t> frame;
};

// A lock server on 127.0.0.1, in a process of its own. It answers every
// request with the reply set last (length, type and xid are the runtime's),
// or with a runtime error frame when `error_code` is set.
class ScriptedLs {
   public:
    ScriptedLs() {
        kiv_process_init_(&process_);
        kiv_process_start(&process_, "test-ls");
        kiv_netaddr any;
        kiv_parse_netaddr("127.0.0.1:0", &any);
        kiv_rpc_server_ops ops{};
        ops.on_request = on_request;
        if (kiv_rpc_listen(&process_, &any, LS_MAX_MSG, &ops, this, &server_) == 0) kiv_rpc_server_addr(server_, &addr_);
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
    void answer(const Bytes& reply, uint32_t error_code = 0) {
        std::lock_guard<std::mutex> g(mu_);
        reply_ = reply.b;
        error_code_ = error_code;
    }
    std::vector<Request> requests() {
        std::lock_guard<std::mutex> g(mu_);
        return requests_;
    }
    size_t count() { return requests().size(); }
    void clear() {
        std::lock_guard<std::mutex> g(mu_);
        requests_.clear();
    }

   private:
    static void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
        auto* self = static_cast<ScriptedLs*>(arg);
        std::lock_guard<std::mutex> g(self->mu_);
        self->requests_.push_back({kiv_rpc_sconn_id(c), std::vector<uint8_t>(req->buf, req->buf + req->kept_len)});
        if (self->error_code_ != 0) {
            kiv_rpc_reply_error(c, req, self->error_code_);
        } else {
            kiv_msg* rep = kiv_rpc_alloc_reply(req, uint32_t(self->reply_.size()));
            if (self->reply_.size() > 24) memcpy(rep->buf + 24, self->reply_.data() + 24, self->reply_.size() - 24);
            kiv_rpc_reply(c, rep);
        }
        kiv_free_msg(req);
    }

    kiv_process process_{};
    kiv_rpc_server* server_ = nullptr;
    kiv_netaddr addr_{};
    std::mutex mu_;
    std::vector<uint8_t> reply_ = status_reply(0, 0x40).b;
    uint32_t error_code_ = 0;
    std::vector<Request> requests_;
};

// ---------------------------------------------------------------- log hook
// The hook's lines, formatted, at their hook level. `on_line` runs on the
// logging thread after each line (e.g. to change the resolver's table at a
// given retry); `bad_positions` collects position texts not "file.cpp:N".
struct HookLog {
    clienttest::LogCapture lines;
    std::vector<std::string> bad_positions;
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
    const char* colon = strrchr(pos, ':');
    if (colon == nullptr || strchr(pos, '/') != nullptr || colon[1] < '0' || colon[1] > '9' || func[0] == '\0') {
        std::lock_guard<std::mutex> g(log->lines.mu);
        log->bad_positions.push_back(pos);
    }
    clienttest::LogCapture::hook(level, text, &log->lines);
    if (log->on_line) log->on_line(text);
}

// ---------------------------------------------------------------- service maps
// A service map whose records point into storage the builder owns.
class MapBuilder {
   public:
    MapBuilder& add(std::string name, std::vector<std::string> tags, std::string addr, uint16_t port,
                    uint64_t host_id = 0xa1) {
        recs_.push_back({std::move(name), std::move(addr), std::move(tags), {}, port, host_id});
        return *this;
    }
    // An "ls" record for fs_id served at the IPv4 address `a`.
    MapBuilder& server(uint64_t fs_id, const kiv_netaddr& a, uint64_t host_id = 0xa1) {
        char tag[32], ip[32];
        snprintf(tag, sizeof tag, "fsid:%lx", (unsigned long)fs_id);
        snprintf(ip, sizeof ip, "%u.%u.%u.%u", a.addr[0], a.addr[1], a.addr[2], a.addr[3]);
        return add("ls", {tag}, ip, a.port, host_id);
    }
    const discov_svc_map* map() {
        svcs_.clear();
        for (Rec& r : recs_) {
            r.ptrs.clear();
            for (std::string& t : r.tags) r.ptrs.push_back(t.data());
            discov_svc s{};
            s.name = r.name.data();
            s.tags = r.ptrs.data();
            s.tag_count = uint32_t(r.ptrs.size());
            s.addr = r.addr.data();
            s.port = r.port;
            s.host_id = r.host_id;
            svcs_.push_back(s);
        }
        map_ = discov_svc_map{svcs_.data(), uint32_t(svcs_.size()), 1, 1};
        return &map_;
    }

   private:
    struct Rec {
        std::string name, addr;
        std::vector<std::string> tags;
        std::vector<char*> ptrs;
        uint16_t port;
        uint64_t host_id;
    };
    std::deque<Rec> recs_;
    std::vector<discov_svc> svcs_;
    discov_svc_map map_{};
};

// ---------------------------------------------------------------- client fixture
// A lock client on its own event loop, in direct mode (every request to the
// scripted server) or in pool mode with the resolver table the test installs.
class ClientFixture : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_level_ = __kiv_log_level;
        __kiv_log_level = -1;  // the watcher's failed listings are noise here
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
        EXPECT_TRUE(log_.bad_positions.empty()) << log_.bad_positions.front();
    }
    void make_client(bool direct) {
        ls_client_cfg cfg{};
        if (direct) cfg.direct_addr = server_.addr();
        cfg.cluster = "no-such-ls-cluster";
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

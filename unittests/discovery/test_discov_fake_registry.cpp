// The discovery client against a scripted registry on loopback: request
// layouts, the retry rule, error mapping, paging, hostile replies, the
// connection's waiting and closing, and the watcher's reactions to each kind
// of answer. The registry runs in its own runtime process; each test scripts
// the answers it needs and keeps a plain key-value store for the rest.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "discovery/discov.h"
#include "discovery/discov_internal.h"
#include "discovery/kvstore_msg.h"
#include "discovery/stat.h"
#include "kiv/io.h"
#include "kiv/mds.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"
#include "kiv/stats.h"
#include "runtime/runtime_test_util.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char k_ns[] = "tarn/mds";
const char k_prefix[] = "/discov/services/tarn/mds/";

struct Request {
    uint32_t op = 0;
    uint32_t flags = 0;
    uint64_t generation = 0;
    uint32_t max_reply = 0;
    uint64_t version = 0;
    uint64_t watch_timeout = 0;
    std::string key;
    std::string value;
};

struct ReplyItem {
    std::string key;
    std::string value;
    uint64_t version = 0;
    uint32_t flags = 0;
};

void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) { memcpy(&b[off], &v, 4); }
void put64(std::vector<uint8_t>& b, size_t off, uint64_t v) { memcpy(&b[off], &v, 8); }

// Reply bytes from offset 24 on (the runtime writes the frame header).
std::vector<uint8_t> reply_body(uint32_t status, uint32_t op, uint32_t flags, uint64_t generation,
                                const std::vector<ReplyItem>& items) {
    std::vector<uint8_t> b(KVSTORE_HDR_SIZE, 0);
    put32(b, KVSTORE_OFF_STATUS, status);
    put32(b, KVSTORE_OFF_OP, op);
    put32(b, KVSTORE_OFF_FLAGS, flags);
    put64(b, KVSTORE_OFF_GENERATION, generation);
    for (const ReplyItem& it : items) {
        const size_t off = b.size();
        b.resize(off + KVSTORE_ITEM_HDR_SIZE + it.key.size() + it.value.size(), 0);
        put64(b, off + KVSTORE_ITEM_OFF_VERSION, it.version);
        put32(b, off + KVSTORE_ITEM_OFF_FLAGS, it.flags);
        put32(b, off + KVSTORE_ITEM_OFF_SIZE,
              static_cast<uint32_t>(KVSTORE_ITEM_HDR_SIZE + it.key.size() + it.value.size()));
        put32(b, off + KVSTORE_ITEM_OFF_KEY_LEN, static_cast<uint32_t>(it.key.size()));
        put32(b, off + KVSTORE_ITEM_OFF_KEY_SIZE, static_cast<uint32_t>(it.key.size()));
        put32(b, off + KVSTORE_ITEM_OFF_VALUE_LEN, static_cast<uint32_t>(it.value.size()));
        memcpy(&b[off + KVSTORE_ITEM_HDR_SIZE], it.key.data(), it.key.size());
        memcpy(&b[off + KVSTORE_ITEM_HDR_SIZE + it.key.size()], it.value.data(), it.value.size());
    }
    put32(b, KVSTORE_OFF_PAYLOAD_LEN, static_cast<uint32_t>(b.size() - KVSTORE_HDR_SIZE));
    b.erase(b.begin(), b.begin() + 24);
    return b;
}

std::string record_json(const std::string& name, uint16_t port) {
    return "{\"name\":\"" + name + "\",\"host_id\":\"00000000000000a1\",\"tags\":[\"fsid:1001\"],\"addr\":\"127.0.0.1\","
           "\"port\":" + std::to_string(port) + "}";
}

// A registry whose answers a test can script. Handlers run on the
// registry's own event loop.
class FakeRegistry {
public:
    // Returns true when it answered (or parked) the request itself.
    using Hook = std::function<bool(FakeRegistry&, kiv_rpc_sconn*, kiv_msg*, const Request&)>;

    void start() {
        ASSERT_EQ(0, kiv_process_init_(&proc_));
        ASSERT_EQ(0, kiv_process_start(&proc_, "fakereg"));
        static const kiv_rpc_server_ops ops = {
            [](kiv_rpc_sconn* c, kiv_msg* req, void* arg) { static_cast<FakeRegistry*>(arg)->on_request(c, req); },
            nullptr,
            nullptr,
        };
        kiv_netaddr a{};
        ASSERT_EQ(0, kiv_parse_netaddr_port("127.0.0.1", "0", &a));
        ASSERT_EQ(0, kiv_rpc_listen(&proc_, &a, 1u << 20, &ops, this, &srv_));
        kiv_netaddr bound{};
        ASSERT_EQ(0, kiv_rpc_server_addr(srv_, &bound));
        port_ = bound.port;
    }

    void stop() {
        if (srv_) kiv_rpc_server_close(srv_);
        srv_ = nullptr;
        release_parked();
        kiv_process_terminate(&proc_);
        kiv_process_wait(&proc_);
        kiv_process_fini(&proc_);
    }

    uint16_t port() const { return port_; }

    void set_hook(Hook h) {
        std::lock_guard<std::mutex> g(mu_);
        hook_ = std::move(h);
    }

    std::vector<Request> requests() {
        std::lock_guard<std::mutex> g(mu_);
        return requests_;
    }

    size_t count(uint32_t op) {
        size_t n = 0;
        for (const Request& r : requests()) n += r.op == op;
        return n;
    }

    void clear_requests() {
        std::lock_guard<std::mutex> g(mu_);
        requests_.clear();
    }

    void set_page_size(size_t n) { page_size_ = n; }

    // Direct store access for set-up; bumps the generation like a put.
    void store(const std::string& id, const std::string& value) {
        std::lock_guard<std::mutex> g(mu_);
        gen_++;
        kv_[k_prefix + id] = {value, gen_};
    }

    void bump_generation() {
        std::lock_guard<std::mutex> g(mu_);
        gen_++;
    }

    uint64_t generation() {
        std::lock_guard<std::mutex> g(mu_);
        return gen_;
    }

    static void reply(kiv_rpc_sconn* c, kiv_msg* req, const std::vector<uint8_t>& body) {
        kiv_msg* r = kiv_rpc_alloc_reply(req, static_cast<uint32_t>(24 + body.size()));
        if (!body.empty()) memcpy(r->buf + 24, body.data(), body.size());
        kiv_rpc_reply(c, r);
        kiv_free_msg(req);
    }

    void answer(kiv_rpc_sconn* c, kiv_msg* req, uint32_t status, uint32_t flags = 0,
                const std::vector<ReplyItem>& items = {}) {
        reply(c, req, reply_body(status, kvstore_msg_op(req), flags, generation(), items));
    }

    void park(kiv_rpc_sconn* c, kiv_msg* req) {
        kiv_rpc_sconn_ref(c);
        std::lock_guard<std::mutex> g(mu_);
        parked_.emplace_back(c, req);
    }

    size_t parked_count() {
        std::lock_guard<std::mutex> g(mu_);
        return parked_.size();
    }

    bool wait_parked(size_t n) {
        return rttest::wait_until([&] { return parked_count() >= n; });
    }

    void release_parked() {
        std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> v;
        {
            std::lock_guard<std::mutex> g(mu_);
            v.swap(parked_);
        }
        for (auto& p : v) {
            kiv_free_msg(p.second);
            kiv_rpc_sconn_unref(p.first);
        }
    }

private:
    struct Entry {
        std::string value;
        uint64_t version;
    };

    void on_request(kiv_rpc_sconn* c, kiv_msg* req) {
        Request r;
        const kvstore_item* it = nullptr;
        if (kvstore_msg_check(req) == 0) it = kvstore_msg_get_first_item(req);
        if (it == nullptr) {
            reply(c, req, reply_body(KV_STATUS_INVALID, 0, 0, 0, {}));
            return;
        }
        r.op = kvstore_msg_op(req);
        r.flags = kvstore_msg_flags(req);
        r.generation = kvstore_msg_generation(req);
        memcpy(&r.max_reply, req->buf + KVSTORE_OFF_MAX_REPLY, 4);
        r.version = kvstore_item_version(it);
        r.watch_timeout = kvstore_item_watch_timeout(it);
        r.key.assign(reinterpret_cast<const char*>(kvstore_msg_get_key(it)), kvstore_item_key_len(it));
        r.value.assign(reinterpret_cast<const char*>(kvstore_msg_get_value(it)), kvstore_item_value_len(it));
        Hook hook;
        {
            std::lock_guard<std::mutex> g(mu_);
            requests_.push_back(r);
            hook = hook_;
        }
        if (hook && hook(*this, c, req, r)) return;
        serve(c, req, r);
    }

    void serve(kiv_rpc_sconn* c, kiv_msg* req, const Request& r) {
        std::unique_lock<std::mutex> g(mu_);
        auto found = kv_.find(r.key);
        switch (r.op) {
        case KV_OP_PUT: {
            const uint64_t stored = found == kv_.end() ? 0 : found->second.version;
            if ((r.flags & KV_FLAG_CMP_VERSION) && stored != r.version) {
                g.unlock();
                return answer(c, req, KV_STATUS_VERSION_MISMATCH);
            }
            gen_++;
            kv_[r.key] = {r.value, gen_};
            g.unlock();
            return answer(c, req, 0);
        }
        case KV_OP_GET: {
            if (found == kv_.end()) {
                g.unlock();
                return answer(c, req, KV_STATUS_NOT_FOUND);
            }
            ReplyItem item{found->first, found->second.value, found->second.version, 0};
            g.unlock();
            return answer(c, req, 0, 0, {item});
        }
        case KV_OP_DELETE: {
            if (found == kv_.end()) {
                g.unlock();
                return answer(c, req, KV_STATUS_NOT_FOUND);
            }
            if ((r.flags & KV_FLAG_CMP_VERSION) && found->second.version != r.version) {
                g.unlock();
                return answer(c, req, KV_STATUS_VERSION_MISMATCH);
            }
            gen_++;
            kv_.erase(found);
            g.unlock();
            return answer(c, req, 0);
        }
        case KV_OP_RANGE: {
            std::vector<ReplyItem> items;
            auto i = (r.flags & KV_FLAG_START_AFTER) ? kv_.upper_bound(r.key) : kv_.lower_bound(r.key);
            for (; i != kv_.end() && i->first < r.value && items.size() < page_size_; ++i)
                items.push_back({i->first, i->second.value, i->second.version, 0});
            const bool more = i != kv_.end() && i->first < r.value;
            g.unlock();
            return answer(c, req, 0, more ? uint32_t{KV_FLAG_MORE} : 0u, items);
        }
        case KV_OP_WATCH:
            g.unlock();
            return park(c, req);
        default:
            g.unlock();
            return answer(c, req, KV_STATUS_INVALID);
        }
    }

    kiv_process proc_{};
    kiv_rpc_server* srv_ = nullptr;
    uint16_t port_ = 0;
    std::mutex mu_;
    Hook hook_;
    std::vector<Request> requests_;
    std::map<std::string, Entry> kv_;
    uint64_t gen_ = 1;
    size_t page_size_ = 1000;
    std::vector<std::pair<kiv_rpc_sconn*, kiv_msg*>> parked_;
};

class DiscovFakeRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/discov_fake_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        reg_.start();
        write_conf("fake", reg_.port());
        setenv("KIV_CLUSTER_DIR", dir_.c_str(), 1);
        ASSERT_EQ(0, kiv_process_init_(&proc_));
        ASSERT_EQ(0, kiv_process_start(&proc_, "evloop"));
        ASSERT_EQ(0, discov_create("fake", k_ns, DISCOV_MODE_RPC, &proc_, &d_));
    }

    void TearDown() override {
        discov_destroy(d_);
        kiv_process_terminate(&proc_);
        kiv_process_wait(&proc_);
        kiv_process_fini(&proc_);
        reg_.stop();
        for (const std::string& f : files_) unlink(f.c_str());
        rmdir(dir_.c_str());
    }

    void write_conf(const std::string& cluster, uint16_t port) {
        const std::string path = dir_ + "/" + cluster + ".conf";
        std::ofstream(path) << "# scripted registry\nmds=127.0.0.1:" << port << "\n";
        files_.push_back(path);
    }

    // A port on which nothing listens.
    static uint16_t dead_port() {
        kiv_process p{};
        kiv_process_init_(&p);
        kiv_process_start(&p, "probe");
        static const kiv_rpc_server_ops ops = {[](kiv_rpc_sconn*, kiv_msg* m, void*) { kiv_free_msg(m); }, nullptr,
                                               nullptr};
        kiv_netaddr a{};
        kiv_parse_netaddr_port("127.0.0.1", "0", &a);
        kiv_rpc_server* s = nullptr;
        uint16_t port = 0;
        if (kiv_rpc_listen(&p, &a, 4096, &ops, nullptr, &s) == 0) {
            kiv_netaddr b{};
            kiv_rpc_server_addr(s, &b);
            port = b.port;
            kiv_rpc_server_close(s);
        }
        kiv_process_terminate(&p);
        kiv_process_wait(&p);
        kiv_process_fini(&p);
        return port;
    }

    template <typename F>
    auto in_co(F&& f) {
        kiv_move_to_coroutine(&proc_);
        auto r = f();
        kiv_move_from_coroutine();
        return r;
    }

    static discov_svc make_svc(const char* id, const char* name = "mds", uint16_t port = 4000) {
        discov_svc s;
        discov_svc_init(&s);
        s.name = __kiv_strdup("test", KIV_POS, KIV_MEM_NOFAIL, name);
        s.id = __kiv_strdup("test", KIV_POS, KIV_MEM_NOFAIL, id);
        s.addr = __kiv_strdup("test", KIV_POS, KIV_MEM_NOFAIL, "127.0.0.1");
        s.host_id = 0xa1;
        s.port = port;
        return s;
    }

    int get(const char* id, discov_svc* out) {
        return in_co([&] { return discov_co_get_svc(d_, id, out); });
    }

    int list(discov_svc_map** out) {
        return in_co([&] { return discov_co_get_svc_map(d_, out); });
    }

    std::vector<std::string> ids(const discov_svc_map* m) {
        std::vector<std::string> v;
        for (uint32_t i = 0; i < m->count; ++i) v.push_back(m->records[i].id);
        return v;
    }

    std::string dir_;
    std::vector<std::string> files_;
    FakeRegistry reg_;
    kiv_process proc_{};
    discov* d_ = nullptr;
};

// ---------------------------------------------------------------- requests

TEST_F(DiscovFakeRegistryTest, WriteRequestsCarryKeyValueVersionAndFlags) {
    discov_svc svc = make_svc("m1");
    ASSERT_EQ(0, in_co([&] { return discov_co_register_svc(d_, &svc); }));
    svc.version = 2;
    svc.port = 4001;
    ASSERT_EQ(0, in_co([&] { return discov_co_update_svc(d_, &svc); }));
    const uint64_t v = 3;
    ASSERT_EQ(0, in_co([&] { return discov_co_unregister_svc(d_, "m1", &v); }));
    ASSERT_EQ(-ENOENT, in_co([&] { return discov_co_unregister_svc(d_, "m1", nullptr); }));
    discov_svc_fini(&svc);

    const std::vector<Request> r = reg_.requests();
    ASSERT_EQ(4u, r.size());
    EXPECT_EQ(uint32_t{KV_OP_PUT}, r[0].op);
    EXPECT_EQ(0u, r[0].flags);
    EXPECT_EQ(0u, r[0].version);
    EXPECT_EQ(std::string(k_prefix) + "m1", r[0].key);
    EXPECT_EQ("{\"name\":\"mds\",\"host_id\":\"00000000000000a1\",\"tags\":[],\"addr\":\"127.0.0.1\",\"port\":4000}",
              r[0].value);
    EXPECT_EQ(0x100000u, r[0].max_reply);
    EXPECT_EQ(uint32_t{KV_OP_PUT}, r[1].op);
    EXPECT_EQ(uint32_t{KV_FLAG_CMP_VERSION}, r[1].flags);
    EXPECT_EQ(2u, r[1].version);
    EXPECT_NE(std::string::npos, r[1].value.find("\"port\":4001}"));
    EXPECT_EQ(uint32_t{KV_OP_DELETE}, r[2].op);
    EXPECT_EQ(uint32_t{KV_FLAG_CMP_VERSION}, r[2].flags);
    EXPECT_EQ(3u, r[2].version);
    EXPECT_EQ("", r[2].value);
    EXPECT_EQ(uint32_t{KV_OP_DELETE}, r[3].op);
    EXPECT_EQ(0u, r[3].flags);
    EXPECT_EQ(0u, r[3].version);
}

TEST_F(DiscovFakeRegistryTest, GetReturnsTheRecordWithIdVersionAndFlag) {
    reg_.store("m7", record_json("mds", 4007));
    reg_.set_hook([](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request& r) {
        if (r.op != KV_OP_GET) return false;
        f.answer(c, req, 0, 0, {{r.key, record_json("mds", 4007), 42, KV_ITEM_FLAG}});
        return true;
    });
    discov_svc out;
    discov_svc_init(&out);
    ASSERT_EQ(0, get("m7", &out));
    EXPECT_STREQ("m7", out.id);
    EXPECT_EQ(42u, out.version);
    EXPECT_TRUE(out.flag);
    EXPECT_EQ(4007u, out.port);
    EXPECT_EQ(0xa1u, out.host_id);
    discov_svc_fini(&out);
    const Request r = reg_.requests().back();
    EXPECT_EQ(uint32_t{KV_OP_GET}, r.op);
    EXPECT_EQ(std::string(k_prefix) + "m7", r.key);
    EXPECT_EQ("", r.value);
}

// ---------------------------------------------------------------- retries

struct StatusCase {
    uint32_t status;
    bool error_frame;  // a runtime error reply instead of a registry status
    int result;
    size_t sends;
};

TEST_F(DiscovFakeRegistryTest, RetryRuleAndErrorMapping) {
    const StatusCase cases[] = {
        {KV_STATUS_NOT_FOUND, false, -ENOENT, 1}, {KV_STATUS_INVALID, false, -EINVAL, 1},
        {KV_STATUS_VERSION_MISMATCH, false, -ESTALE, 1}, {KV_STATUS_NO_CHANGE, false, -ETIMEDOUT, 4},
        {KIV_E_BUSY, true, -EIO, 4}, {KIV_E_NOTREADY, true, -EIO, 4}, {KIV_E_RETRY, false, -EIO, 4},
        {KIV_E_ABANDONED, true, -EIO, 1}, {77, false, -EIO, 1},
    };
    for (const StatusCase& sc : cases) {
        SCOPED_TRACE(sc.status);
        reg_.clear_requests();
        reg_.set_hook([sc](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request&) {
            if (sc.error_frame) {
                kiv_rpc_reply_error(c, req, sc.status);
                kiv_free_msg(req);
            } else {
                f.answer(c, req, sc.status);
            }
            return true;
        });
        discov_svc out;
        discov_svc_init(&out);
        EXPECT_EQ(sc.result, get("m1", &out));
        EXPECT_EQ(nullptr, out.name);
        EXPECT_EQ(sc.sends, reg_.requests().size());
    }
}

TEST_F(DiscovFakeRegistryTest, RetryableErrorThenSuccess) {
    std::atomic<int> n{0};
    reg_.set_hook([&n](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request&) {
        if (n++ >= 2) return false;
        f.answer(c, req, KIV_E_RETRY);
        return true;
    });
    discov_svc svc = make_svc("m1");
    EXPECT_EQ(0, in_co([&] { return discov_co_register_svc(d_, &svc); }));
    discov_svc_fini(&svc);
    EXPECT_EQ(3u, reg_.count(KV_OP_PUT));
}

// ---------------------------------------------------------------- get replies

TEST_F(DiscovFakeRegistryTest, MalformedGetReplies) {
    struct Case {
        const char* what;
        std::vector<uint8_t> body;
        int result;
    };
    std::vector<Case> cases;
    cases.push_back({"no item", reply_body(0, KV_OP_GET, 0, 5, {}), -EPROTO});
    cases.push_back({"bad json", reply_body(0, KV_OP_GET, 0, 5, {{std::string(k_prefix) + "m1", "{"}}), -EINVAL});
    cases.push_back({"other namespace",
                     reply_body(0, KV_OP_GET, 0, 5, {{"/discov/services/tarn/ls/m1", record_json("ls", 1)}}), -EPROTO});
    cases.push_back({"empty value", reply_body(0, KV_OP_GET, 0, 5, {{std::string(k_prefix) + "m1", ""}}), -EPROTO});
    {
        std::vector<uint8_t> b = reply_body(0, KV_OP_GET, 0, 5, {{std::string(k_prefix) + "m1", record_json("m", 1)}});
        put32(b, KVSTORE_OFF_ITEMS - 24 + KVSTORE_ITEM_OFF_SIZE, 0);
        cases.push_back({"item size 0", b, -EPROTO});
    }
    {
        std::vector<uint8_t> b = reply_body(0, KV_OP_GET, 0, 5, {{std::string(k_prefix) + "m1", record_json("m", 1)}});
        put32(b, KVSTORE_OFF_PAYLOAD_LEN - 24, 100000);
        cases.push_back({"payload beyond message", b, -EPROTO});
    }
    {
        std::vector<uint8_t> b = reply_body(0, KV_OP_GET, 0, 5, {});
        b.resize(0x30 - 24);
        cases.push_back({"shorter than the header", b, -EPROTO});
    }
    {
        std::vector<uint8_t> b(2, 0);  // below the status word: the runtime itself refuses it
        cases.push_back({"shorter than the status", b, -EIO});
    }
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.what);
        const std::vector<uint8_t> body = cs.body;
        reg_.set_hook([body](FakeRegistry&, kiv_rpc_sconn* c, kiv_msg* req, const Request&) {
            FakeRegistry::reply(c, req, body);
            return true;
        });
        discov_svc out;
        discov_svc_init(&out);
        EXPECT_EQ(cs.result, get("m1", &out));
        EXPECT_EQ(nullptr, out.name);
        EXPECT_EQ(nullptr, out.id);
        EXPECT_EQ(nullptr, out.addr);
    }
}

// ---------------------------------------------------------------- listing

TEST_F(DiscovFakeRegistryTest, ListingFollowsPages) {
    for (int i = 0; i < 7; ++i) reg_.store("m" + std::to_string(i), record_json("mds", static_cast<uint16_t>(4000 + i)));
    reg_.set_page_size(3);
    discov_svc_map* map = nullptr;
    ASSERT_EQ(0, list(&map));
    EXPECT_EQ((std::vector<std::string>{"m0", "m1", "m2", "m3", "m4", "m5", "m6"}), ids(map));
    EXPECT_EQ(reg_.generation(), map->generation);
    EXPECT_EQ(1u, map->refcount);
    EXPECT_EQ(4006u, map->records[6].port);
    discov_svc_map_put(map);

    const std::vector<Request> r = reg_.requests();
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(uint32_t{KV_OP_RANGE}, r[0].op);
    EXPECT_EQ(0u, r[0].flags);
    EXPECT_EQ(k_prefix, r[0].key);
    EXPECT_EQ(std::string(k_prefix) + "{", r[0].value);
    EXPECT_EQ(uint32_t{KV_FLAG_START_AFTER}, r[1].flags);
    EXPECT_EQ(std::string(k_prefix) + "m2", r[1].key);
    EXPECT_EQ(std::string(k_prefix) + "m5", r[2].key);
}

TEST_F(DiscovFakeRegistryTest, ListingIncludesIdsBelowZero) {
    for (const char* id : {"-a", ".b", "0", "A", "_c", "z@"}) reg_.store(id, record_json("mds", 1));
    discov_svc_map* map = nullptr;
    ASSERT_EQ(0, list(&map));
    EXPECT_EQ((std::vector<std::string>{"-a", ".b", "0", "A", "_c", "z@"}), ids(map));
    discov_svc_map_put(map);
}

TEST_F(DiscovFakeRegistryTest, ListingRestartsWhenTheGenerationChanges) {
    for (int i = 0; i < 5; ++i) reg_.store("m" + std::to_string(i), record_json("mds", 1));
    reg_.set_page_size(2);
    std::atomic<int> pages{0};
    reg_.set_hook([&pages](FakeRegistry& f, kiv_rpc_sconn*, kiv_msg*, const Request& r) {
        // A write lands right after the first page went out.
        if (r.op == KV_OP_RANGE && pages++ == 1) f.store("m5", record_json("mds", 2));
        return false;
    });
    discov_svc_map* map = nullptr;
    ASSERT_EQ(0, list(&map));
    EXPECT_EQ((std::vector<std::string>{"m0", "m1", "m2", "m3", "m4", "m5"}), ids(map));
    EXPECT_EQ(reg_.generation(), map->generation);
    discov_svc_map_put(map);
    const std::vector<Request> r = reg_.requests();
    ASSERT_EQ(5u, r.size());
    EXPECT_EQ(0u, r[0].flags);
    EXPECT_EQ(uint32_t{KV_FLAG_START_AFTER}, r[1].flags);
    // Begun again from the first page.
    EXPECT_EQ(0u, r[2].flags);
    EXPECT_EQ(k_prefix, r[2].key);
}

TEST_F(DiscovFakeRegistryTest, HostileListingsFailInsteadOfLooping) {
    const std::string k1 = std::string(k_prefix) + "m1";
    const std::string k2 = std::string(k_prefix) + "m2";
    const std::string v = record_json("mds", 1);
    struct Case {
        const char* what;
        std::function<std::vector<uint8_t>(const Request&)> page;
        int result;
    };
    const std::vector<Case> cases = {
        {"more without items", [](const Request&) { return reply_body(0, KV_OP_RANGE, KV_FLAG_MORE, 3, {}); },
         -EPROTO},
        {"same page again and again",
         [&](const Request&) { return reply_body(0, KV_OP_RANGE, KV_FLAG_MORE, 3, {{k1, v}, {k2, v}}); }, -EPROTO},
        {"keys out of order", [&](const Request&) { return reply_body(0, KV_OP_RANGE, 0, 3, {{k2, v}, {k1, v}}); },
         -EPROTO},
        {"a new generation on every page",
         [&](const Request& r) {
             static uint64_t g = 10;
             return reply_body(0, KV_OP_RANGE, KV_FLAG_MORE, ++g, {{(r.flags & KV_FLAG_START_AFTER) ? k2 : k1, v}});
         },
         -EAGAIN},
        {"record with bad json", [&](const Request&) { return reply_body(0, KV_OP_RANGE, 0, 3, {{k1, v}, {k2, "["}}); },
         -EINVAL},
        {"item size below its contents",
         [&](const Request&) {
             std::vector<uint8_t> b = reply_body(0, KV_OP_RANGE, 0, 3, {{k1, v}});
             put32(b, KVSTORE_OFF_ITEMS - 24 + KVSTORE_ITEM_OFF_SIZE, KVSTORE_ITEM_HDR_SIZE);
             return b;
         },
         -EPROTO},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.what);
        reg_.clear_requests();
        auto page = cs.page;
        reg_.set_hook([page](FakeRegistry&, kiv_rpc_sconn* c, kiv_msg* req, const Request& r) {
            FakeRegistry::reply(c, req, page(r));
            return true;
        });
        discov_svc_map* map = nullptr;
        EXPECT_EQ(cs.result, list(&map));
        EXPECT_EQ(nullptr, map);
        EXPECT_LT(reg_.requests().size(), 500u);
    }
}

// ---------------------------------------------------------------- watch

TEST_F(DiscovFakeRegistryTest, WatchRequestAndAnswers) {
    // Changed records.
    reg_.set_hook([](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request&) {
        FakeRegistry::reply(c, req,
                            reply_body(0, KV_OP_WATCH, 0, 12,
                                       {{std::string(k_prefix) + "m1", record_json("mds", 1), 11, 0},
                                        {std::string(k_prefix) + "m2", record_json("mds", 2), 12, KV_ITEM_TOMBSTONE}}));
        (void)f;
        return true;
    });
    discov_svc_map* map = nullptr;
    ASSERT_EQ(0, in_co([&] { return discov_co_watch_svc_map(d_, 9, 3, &map); }));
    EXPECT_EQ(12u, map->generation);
    EXPECT_EQ((std::vector<std::string>{"m1", "m2"}), ids(map));
    EXPECT_EQ(12u, map->records[1].version);
    discov_svc_map_put(map);
    const Request r = reg_.requests().back();
    EXPECT_EQ(uint32_t{KV_OP_WATCH}, r.op);
    EXPECT_EQ(9u, r.generation);
    EXPECT_EQ(3u, r.watch_timeout);
    EXPECT_EQ(0u, r.flags);
    EXPECT_EQ(k_prefix, r.key);
    EXPECT_EQ(std::string(k_prefix) + "{", r.value);

    // Nothing changed: not resent.
    reg_.clear_requests();
    reg_.set_hook([](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request&) {
        f.answer(c, req, KV_STATUS_NO_CHANGE);
        return true;
    });
    map = nullptr;
    EXPECT_EQ(-ETIMEDOUT, in_co([&] { return discov_co_watch_svc_map(d_, 9, 3, &map); }));
    EXPECT_EQ(nullptr, map);
    EXPECT_EQ(1u, reg_.requests().size());

    // Unknown generation.
    reg_.set_hook([](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request&) {
        f.answer(c, req, 0, KV_FLAG_STALE);
        return true;
    });
    EXPECT_EQ(-ESTALE, in_co([&] { return discov_co_watch_svc_map(d_, 9, 3, &map); }));

    // A malformed change list.
    reg_.set_hook([](FakeRegistry&, kiv_rpc_sconn* c, kiv_msg* req, const Request&) {
        std::vector<uint8_t> b = reply_body(0, KV_OP_WATCH, 0, 12, {{std::string(k_prefix) + "m1", "x"}});
        put32(b, KVSTORE_OFF_ITEMS - 24 + KVSTORE_ITEM_OFF_KEY_SIZE, 0xFFFFFF00u);
        FakeRegistry::reply(c, req, b);
        return true;
    });
    EXPECT_EQ(-EPROTO, in_co([&] { return discov_co_watch_svc_map(d_, 9, 3, &map); }));

    // Time-outs that do not fit the request are refused before sending.
    reg_.clear_requests();
    EXPECT_EQ(-EINVAL, in_co([&] { return discov_co_watch_svc_map(d_, 9, 0, &map); }));
    EXPECT_EQ(-EINVAL, in_co([&] { return discov_co_watch_svc_map(d_, 9, 56, &map); }));
    EXPECT_EQ(0u, reg_.requests().size());
}

// ---------------------------------------------------------------- local address

TEST_F(DiscovFakeRegistryTest, LocalAddress) {
    char buf[64];
    ASSERT_EQ(0, in_co([&] { return discov_co_get_local_private_addr(d_, buf, sizeof(buf)); }));
    const std::string text = buf;
    EXPECT_EQ(0u, text.rfind("127.0.0.1:", 0)) << text;
    EXPECT_GT(text.size(), strlen("127.0.0.1:"));
    EXPECT_EQ(-ERANGE, in_co([&] { return discov_co_get_local_private_addr(d_, buf, text.size()); }));
    EXPECT_EQ(0, in_co([&] { return discov_co_get_local_private_addr(d_, buf, text.size() + 1); }));
    EXPECT_EQ(text, buf);
}

// ---------------------------------------------------------------- connection

TEST_F(DiscovFakeRegistryTest, UnknownClusterFailsAtOnce) {
    discov* other = nullptr;
    ASSERT_EQ(0, discov_create("nosuchcluster", k_ns, 0, &proc_, &other));
    discov_svc_map* map = nullptr;
    EXPECT_EQ(-ENOENT, in_co([&] { return discov_co_get_svc_map(other, &map); }));
    discov_destroy(other);
}

TEST_F(DiscovFakeRegistryTest, NoRegistryTimesOutAfterTheWait) {
    write_conf("dead", dead_port());
    discov* dead = nullptr;
    ASSERT_EQ(0, discov_create("dead", k_ns, 0, &proc_, &dead));
    discov_svc out;
    discov_svc_init(&out);
    const auto t0 = Clock::now();
    EXPECT_EQ(-ETIMEDOUT, in_co([&] { return discov_co_get_svc(dead, "m1", &out); }));
    const auto waited = Clock::now() - t0;
    EXPECT_GE(waited, 4500ms);
    EXPECT_LT(waited, 30s);
    discov_destroy(dead);
}

struct CoOp {
    discov* d;
    int result = 1;
    std::atomic<bool> done{false};
};

void get_in_coroutine(void* arg) {
    auto* op = static_cast<CoOp*>(arg);
    discov_svc out;
    discov_svc_init(&out);
    op->result = discov_co_get_svc(op->d, "m1", &out);
    discov_svc_fini(&out);
    op->done = true;
}

// The waits that a close or a stop must cut short are 5 s at least (the
// reconnect pause, the pause after a failed listing) or a 40 s watch: a
// loaded machine adds far less than this bound, yet a stop that sat one of
// them out crosses it.
constexpr auto kPrompt = 3000ms;

bool wait_done(const CoOp& op, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!op.done && Clock::now() < end) std::this_thread::sleep_for(1ms);
    return op.done;
}

TEST_F(DiscovFakeRegistryTest, ClosingFailsEveryWaitingTask) {
    write_conf("dead", dead_port());
    discov* dead = nullptr;
    ASSERT_EQ(0, discov_create("dead", k_ns, 0, &proc_, &dead));
    discov* other = discov_narrow_namespace(dead, "x");
    CoOp a{dead}, b{other};
    kiv_move_to_coroutine(&proc_);
    kiv_co_create(nullptr, get_in_coroutine, &a);
    kiv_co_create(nullptr, get_in_coroutine, &b);
    kiv_move_from_coroutine();
    std::this_thread::sleep_for(200ms);  // both are queued for the connection by now
    EXPECT_FALSE(a.done);
    EXPECT_FALSE(b.done);

    const auto t0 = Clock::now();
    kiv_move_to_coroutine(&proc_);
    dsc_discov_close_conn(dead);
    kiv_move_from_coroutine();
    ASSERT_TRUE(wait_done(a, kPrompt));
    ASSERT_TRUE(wait_done(b, kPrompt));
    EXPECT_LT(Clock::now() - t0, kPrompt);
    EXPECT_EQ(-ECANCELED, a.result);
    EXPECT_EQ(-ECANCELED, b.result);

    // Closed for good: later operations end at once, without a new connection.
    discov_svc_map* map = nullptr;
    EXPECT_EQ(-ECANCELED, in_co([&] { return discov_co_get_svc_map(other, &map); }));
    discov_destroy(other);
    discov_destroy(dead);
}

TEST_F(DiscovFakeRegistryTest, ClosingEndsARequestInFlight) {
    discov_svc_map* map = nullptr;
    std::atomic<int> result{1};
    std::thread watcher([&] { result = in_co([&] { return discov_co_watch_svc_map(d_, 1, 40, &map); }); });
    ASSERT_TRUE(reg_.wait_parked(1));
    const auto t0 = Clock::now();
    kiv_move_to_coroutine(&proc_);
    dsc_discov_close_conn(d_);
    kiv_move_from_coroutine();
    watcher.join();
    EXPECT_LT(Clock::now() - t0, kPrompt);
    // Abandoned by the close, and not sent again.
    EXPECT_EQ(-EIO, result);
    EXPECT_EQ(1u, reg_.count(KV_OP_WATCH));
    EXPECT_EQ(nullptr, map);
}

// Destroying the last handle while a listing waits for its second page ends
// the listing; the handle's memory stays until the listing has returned.
TEST_F(DiscovFakeRegistryTest, DestroyingTheLastHandleEndsAListingInFlight) {
    for (int i = 0; i < 4; ++i) reg_.store("m" + std::to_string(i), record_json("mds", 1));
    reg_.set_page_size(2);
    reg_.set_hook([](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request& r) {
        if (r.op != KV_OP_RANGE || !(r.flags & KV_FLAG_START_AFTER)) return false;
        f.park(c, req);
        return true;
    });
    discov* root = nullptr;
    ASSERT_EQ(0, discov_create("fake", nullptr, 0, &proc_, &root));
    discov* listed = discov_narrow_namespace(root, k_ns);
    discov_destroy(root);  // `listed` is the last handle of its context now
    std::atomic<int> rc{1};
    discov_svc_map* map = nullptr;
    std::thread lister([&] { rc = in_co([&] { return discov_co_get_svc_map(listed, &map); }); });
    ASSERT_TRUE(reg_.wait_parked(1));
    const auto t0 = Clock::now();
    discov_destroy(listed);
    lister.join();
    EXPECT_LT(Clock::now() - t0, kPrompt);
    EXPECT_EQ(-EIO, rc);
    EXPECT_EQ(nullptr, map);
}

TEST_F(DiscovFakeRegistryTest, OversizedRecordIsRefusedBeforeSending) {
    discov_svc svc = make_svc("big");
    svc.tags = static_cast<char**>(__kiv_zmalloc("test", KIV_POS, KIV_MEM_NOFAIL, sizeof(char*)));
    svc.tags[0] = static_cast<char*>(__kiv_zmalloc("test", KIV_POS, KIV_MEM_NOFAIL, 2u << 20));
    memset(svc.tags[0], 'a', (2u << 20) - 1);
    svc.tag_count = 1;
    EXPECT_EQ(-EMSGSIZE, in_co([&] { return discov_co_register_svc(d_, &svc); }));
    discov_svc_fini(&svc);
    EXPECT_EQ(0u, reg_.requests().size());
}

struct CloseFirst {
    kiv_job close;
    CoOp op;
};

void close_in_job(void* arg) { dsc_discov_close_conn(static_cast<discov*>(arg)); }

void close_then_get_in_coroutine(void* arg) {
    auto* cf = static_cast<CloseFirst*>(arg);
    kiv_job_wakeup(&cf->close);
    get_in_coroutine(&cf->op);
}

// A job that was woken before the close but runs after it must not wait for
// ever: it finds no client and ends the task with -ECANCELED.
TEST_F(DiscovFakeRegistryTest, JobWokenBeforeCloseEndsCanceled) {
    // The operation counter tells whether the coroutine got as far as its
    // task before the close (a closed context refuses uncounted).
    kiv_stats_registry* stats = kiv_stats_registry_create();
    discov_set_stats_registry(stats);
    const char* const get_label[] = {"get_svc", ""};
    kiv_stats_metric* gets = kiv_stats_get_with_lvs(kiv_stats_find(stats, "discov_op_total"), get_label);

    discov_svc out;
    discov_svc_init(&out);
    reg_.store("m1", record_json("mds", 1));
    ASSERT_EQ(0, get("m1", &out));  // the connection is up
    discov_svc_fini(&out);
    reg_.clear_requests();

    // The coroutine queues a job that closes the connection, then asks:
    // its request job is woken behind the close, and jobs run in the order
    // they were woken, so the close runs between the wake-up and the job
    // however the threads are scheduled.
    CloseFirst cf{{}, {d_}};
    kiv_job_init(&proc_, &cf.close, close_in_job, d_);
    kiv_move_to_coroutine(&proc_);
    kiv_co_create(nullptr, close_then_get_in_coroutine, &cf);
    kiv_move_from_coroutine();
    ASSERT_TRUE(wait_done(cf.op, 30000ms));  // only a guard: a request sent shows in the counts
    EXPECT_EQ(-ECANCELED, cf.op.result);
    EXPECT_EQ(0u, reg_.requests().size());
    EXPECT_EQ(2.0, kiv_stats_value(gets));
    discov_stats_destroy();
    kiv_stats_registry_destroy(stats);
}

// ---------------------------------------------------------------- watcher

struct Callbacks {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<uint64_t> generations;
    dsc_watcher* w = nullptr;

    static void on_update(void* arg) {
        auto* self = static_cast<Callbacks*>(arg);
        discov_svc_map* m = discov_get_curr_svc_map(self->w);
        std::lock_guard<std::mutex> g(self->mu);
        self->generations.push_back(m ? m->generation : UINT64_MAX);
        discov_svc_map_put(m);
        self->cv.notify_all();
    }

    bool wait_count(size_t n) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, rttest::kHangGuard, [&] { return generations.size() >= n; });
    }

    std::vector<uint64_t> seen() {
        std::lock_guard<std::mutex> g(mu);
        return generations;
    }
};

class DiscovFakeWatcherTest : public DiscovFakeRegistryTest {
protected:
    void start_watcher() {
        kiv_move_to_coroutine(&proc_);
        // The callback reads cb_.w, so store the watcher before the worker
        // can run: it cannot until this move gives the loop up.
        ASSERT_EQ(0, discov_co_start_watching(d_, Callbacks::on_update, &cb_, &cb_.w));
        kiv_move_from_coroutine();
    }

    void stop_watcher() {
        kiv_move_to_coroutine(&proc_);
        discov_co_stop_watching(cb_.w);
        kiv_move_from_coroutine();
        cb_.w = nullptr;
    }

    Callbacks cb_;
};

// Watches answer in turn: changes at generation 6 (a listing follows and is
// newer), a bare generation bump to 7 (no listing, watch from 7), changes at
// 8 whose listing still says 6 (dropped, no callback), then changes at 9.
TEST_F(DiscovFakeWatcherTest, CallbackOncePerNewerGeneration) {
    reg_.store("m1", record_json("mds", 1));
    struct Script {
        std::mutex mu;
        std::vector<uint64_t> list_gens = {5, 6, 6, 9};
        std::vector<std::pair<uint64_t, bool>> watches = {{6, true}, {7, false}, {8, true}, {9, true}};
        size_t lists = 0, watches_done = 0;
        std::vector<uint64_t> watched_from;
    } script;
    reg_.set_hook([&script](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request& r) {
        std::lock_guard<std::mutex> g(script.mu);
        const std::string key = std::string(k_prefix) + "m1";
        if (r.op == KV_OP_RANGE) {
            const uint64_t gen = script.list_gens[std::min(script.lists++, script.list_gens.size() - 1)];
            FakeRegistry::reply(c, req, reply_body(0, KV_OP_RANGE, 0, gen, {{key, record_json("mds", 1), gen}}));
            return true;
        }
        if (r.op == KV_OP_WATCH) {
            script.watched_from.push_back(r.generation);
            if (script.watches_done == script.watches.size()) {
                f.park(c, req);
                return true;
            }
            auto [gen, changed] = script.watches[script.watches_done++];
            std::vector<ReplyItem> items;
            if (changed) items.push_back({key, record_json("mds", 1), gen});
            FakeRegistry::reply(c, req, reply_body(0, KV_OP_WATCH, 0, gen, items));
            return true;
        }
        return false;
    });
    start_watcher();
    ASSERT_TRUE(reg_.wait_parked(1));
    ASSERT_TRUE(cb_.wait_count(3));
    EXPECT_EQ((std::vector<uint64_t>{5, 6, 9}), cb_.seen());
    {
        std::lock_guard<std::mutex> g(script.mu);
        EXPECT_EQ(4u, script.lists);
        // From the first listing, the second listing, the bare bump, the
        // current map again (the dropped listing left 6 current), the last.
        EXPECT_EQ((std::vector<uint64_t>{5, 6, 7, 6, 9}), script.watched_from);
    }
    discov_svc_map* cur = discov_get_curr_svc_map(cb_.w);
    ASSERT_NE(nullptr, cur);
    EXPECT_EQ(9u, cur->generation);
    stop_watcher();
    // The caller's reference outlives the watcher.
    EXPECT_EQ(1u, cur->count);
    discov_svc_map_put(cur);
    EXPECT_EQ(3u, cb_.seen().size());
}

// A watch that fails, stale or otherwise, is followed by a pause before the
// next listing (no spinning against a failing registry). After a stale
// watch the next listing is taken even though its generation went back (a
// registry that started over), and watching goes on from there.
class DiscovFakeFailedWatchTest : public DiscovFakeWatcherTest, public testing::WithParamInterface<bool> {};

TEST_P(DiscovFakeFailedWatchTest, PausesAndOnlyAStaleWatchAcceptsAnOlderListing) {
    const bool stale = GetParam();
    struct Script {
        std::mutex mu;
        std::vector<uint64_t> list_gens = {10, 3};
        size_t lists = 0;
        std::vector<uint64_t> watched_from;
        std::vector<Clock::time_point> list_times;
    } script;
    reg_.set_hook([&script, stale](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request& r) {
        std::lock_guard<std::mutex> g(script.mu);
        const std::string key = std::string(k_prefix) + "m1";
        if (r.op == KV_OP_RANGE) {
            const uint64_t gen = script.list_gens[std::min(script.lists++, script.list_gens.size() - 1)];
            script.list_times.push_back(Clock::now());
            FakeRegistry::reply(c, req, reply_body(0, KV_OP_RANGE, 0, gen, {{key, record_json("mds", 1), gen}}));
            return true;
        }
        if (r.op == KV_OP_WATCH) {
            script.watched_from.push_back(r.generation);
            if (script.watched_from.size() > 1)
                f.park(c, req);
            else if (stale)
                f.answer(c, req, 0, KV_FLAG_STALE);
            else
                f.answer(c, req, KV_STATUS_INVALID);
            return true;
        }
        return false;
    });
    start_watcher();
    ASSERT_TRUE(reg_.wait_parked(1));
    {
        std::lock_guard<std::mutex> g(script.mu);
        ASSERT_EQ(2u, script.lists);
        EXPECT_GE(script.list_times[1] - script.list_times[0], 4500ms);
        const uint64_t second = stale ? 3 : 10;
        EXPECT_EQ((std::vector<uint64_t>{10, second}), script.watched_from);
    }
    EXPECT_EQ(stale ? (std::vector<uint64_t>{10, 3}) : (std::vector<uint64_t>{10}), cb_.seen());
    stop_watcher();
}

INSTANTIATE_TEST_SUITE_P(StaleOrRefused, DiscovFakeFailedWatchTest, testing::Bool());

TEST_F(DiscovFakeWatcherTest, FirstListingWithGenerationZeroIsReported) {
    reg_.set_hook([](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request& r) {
        if (r.op == KV_OP_RANGE) {
            FakeRegistry::reply(c, req, reply_body(0, KV_OP_RANGE, 0, 0, {}));
            return true;
        }
        if (r.op == KV_OP_WATCH) {
            f.park(c, req);
            return true;
        }
        return false;
    });
    start_watcher();
    ASSERT_TRUE(cb_.wait_count(1));
    EXPECT_EQ((std::vector<uint64_t>{0}), cb_.seen());
    stop_watcher();
}

TEST_F(DiscovFakeWatcherTest, StopDuringThePauseAfterAFailedListing) {
    std::atomic<int> lists{0};
    reg_.set_hook([&lists](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request& r) {
        if (r.op != KV_OP_RANGE) return false;
        lists++;
        f.answer(c, req, KV_STATUS_INVALID);
        return true;
    });
    start_watcher();
    ASSERT_TRUE(rttest::wait_until([&] { return lists != 0; }));
    ASSERT_EQ(1, lists.load());
    std::this_thread::sleep_for(100ms);
    const auto t0 = Clock::now();
    stop_watcher();
    EXPECT_LT(Clock::now() - t0, kPrompt);
    // No busy retry: one listing, then the pause.
    EXPECT_EQ(1, lists.load());
    EXPECT_TRUE(cb_.seen().empty());
}

TEST_F(DiscovFakeWatcherTest, FailedListingIsRetriedAfterThePause) {
    std::atomic<int> lists{0};
    reg_.set_hook([&lists](FakeRegistry& f, kiv_rpc_sconn* c, kiv_msg* req, const Request& r) {
        if (r.op == KV_OP_WATCH) {
            f.park(c, req);
            return true;
        }
        if (r.op != KV_OP_RANGE || lists++ != 0) return false;
        f.answer(c, req, KV_STATUS_INVALID);
        return true;
    });
    const auto t0 = Clock::now();
    start_watcher();
    ASSERT_TRUE(cb_.wait_count(1));
    EXPECT_GE(Clock::now() - t0, 4500ms);
    EXPECT_EQ(2, lists.load());
    stop_watcher();
}

TEST_F(DiscovFakeWatcherTest, StopWhileTheFirstListingWaitsForTheConnection) {
    write_conf("dead", dead_port());
    discov* dead = nullptr;
    ASSERT_EQ(0, discov_create("dead", k_ns, 0, &proc_, &dead));
    kiv_move_to_coroutine(&proc_);
    ASSERT_EQ(0, discov_co_start_watching(dead, Callbacks::on_update, &cb_, &cb_.w));
    kiv_move_from_coroutine();
    std::this_thread::sleep_for(200ms);
    const auto t0 = Clock::now();
    stop_watcher();
    EXPECT_LT(Clock::now() - t0, kPrompt);
    EXPECT_TRUE(cb_.seen().empty());
    discov_destroy(dead);
}

}  // namespace

// The lock server seen from the wire: hand-built frames through the
// runtime's client transport, every malformed request answered with its
// handling error, the reply layouts, the control listing with its byte
// cap, the record that names the server, and what a restart or a reboot of
// the MDS host takes away.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "kiv/rpc_server.h"
#include "discovery/kvstore_msg.h"
#include "localcluster/breaks.h"
#include "localcluster/cluster.h"
#include "localcluster/control.h"
#include "localcluster/ls/ls_server.h"
#include "localcluster/records.h"
#include "hang_guard.h"
#include "test_ls_frames.h"
#include "wire_test_client.h"

namespace {

using namespace lsframes;
using wiretest::Outcome;

constexpr uint64_t kMax = UINT64_MAX;

kiv_rpc_params ls_params() { return kiv_rpc_params{24, LS_MAX_MSG, 2000, 50, 10000, 0}; }

long json_number(const std::string& json, const std::string& key, size_t from = 0) {
    size_t at = json.find("\"" + key + "\":", from);
    return at == std::string::npos ? -1 : strtol(json.c_str() + at + key.size() + 3, nullptr, 10);
}

class LsServerTest : public ::testing::Test {
   protected:
    void start(uint32_t breaks = 0, bool lock_servers = true) {
        localcluster::ClusterConfig cfg;
        cfg.fs = {localcluster::FsConfig{"tarn", 0x1001}, localcluster::FsConfig{"other", 0x2002}};
        cfg.lock_servers = lock_servers;
        cfg.breaks = breaks;
        cfg.reboot_down_ms = 400;
        cluster_ = localcluster::Cluster::start(cfg);
        client_ = std::make_unique<wiretest::WireClient>("ls-test", ls_params(), true);
        if (lock_servers) reconnect();
    }
    void TearDown() override {
        client_.reset();
        cluster_.reset();
    }
    // The lock server's port as the status reports it.
    uint16_t port(const std::string& fs = "tarn") {
        std::string s = cluster_->control("status");
        size_t at = s.find("\"fs\":[");
        at = s.find("\"name\":\"" + fs + "\"", at);
        return uint16_t(json_number(s, "ls_port", at));
    }
    void reconnect() { ep_ = client_->connect(port()); }
    Outcome call(const Bytes& frame) { return client_->call(ep_, frame); }
    Bytes reply(const Bytes& frame) {
        Outcome o = call(frame);
        EXPECT_TRUE(o.completed && o.error == 0) << "error " << o.error;
        return o.reply;
    }
    uint32_t take(const std::string& caller, uint64_t owner, uint64_t start, uint64_t len, uint32_t type = 2,
                  uint64_t fh = 0x77) {
        Bytes rep =
            reply(br_frame({.caller = caller, .fh = fh, .owner_id = owner, .start = start, .len = len, .lock_type = type}));
        EXPECT_EQ(0u, herr(rep));
        return status(rep);
    }

    std::unique_ptr<localcluster::Cluster> cluster_;
    std::unique_ptr<wiretest::WireClient> client_;
    kiv_rpc_endpoint* ep_ = nullptr;
};

// ---------------------------------------------------------------- malformed requests

TEST_F(LsServerTest, EveryMalformedRequestGetsItsHandlingError) {
    start();
    BrReq base;
    base.items = {"item"};
    auto br = [&](std::function<void(BrReq&)> f) {
        BrReq r = base;
        f(r);
        return br_frame(r);
    };
    auto bent = [](Bytes b, std::function<void(Bytes&)> f) {
        f(b);
        ls_wire_put_u32(b.data(), LS_HDR_LENGTH, uint32_t(b.size()));
        return b;
    };
    Bytes take_f = br_frame(base);
    Bytes share = share_frame(LS_MSG_SHARE_TAKE, "s", "handle", 9, 1, 2);
    const std::string kInnerNul("kept\0x", 6);
    struct Row {
        const char* what;
        Bytes frame;
        uint32_t herr;
    };
    const Row rows[] = {
        {"unknown type", bent(take_f, [](Bytes& b) { ls_wire_put_u32(b.data(), LS_HDR_TYPE, 0x2002); }), EOPNOTSUPP},
        {"version 3", bent(take_f, [](Bytes& b) { ls_wire_put_u64(b.data(), LS_HDR_VERSION, 3); }), EPROTO},
        {"header only", bent(take_f, [](Bytes& b) { b.resize(LS_HDR_BYTES); }), EPROTO},
        {"cut before the tags", bent(take_f, [](Bytes& b) { b.resize(LS_TAKE_TAGS - 8); }), EPROTO},
        {"name past the end", bent(take_f, [](Bytes& b) { ls_wire_put_u32(b.data(), LS_BR_NAME_OFF, 0xFFFFFFF0); }),
         EPROTO},
        {"name without NUL", bent(take_f, [](Bytes& b) { ls_wire_put_u32(b.data(), LS_BR_NAME_LEN, 2); }), EPROTO},
        {"empty name field", bent(take_f, [](Bytes& b) { ls_wire_put_u32(b.data(), LS_BR_NAME_LEN, 0); }), EPROTO},
        {"name of 2048", br([](BrReq& r) { r.caller.assign(2048, 'n'); }), ENAMETOOLONG},
        {"free with a name of 2048", br([](BrReq& r) {
             r.type = LS_MSG_FREE;
             r.caller.assign(2048, 'n');
         }),
         ENAMETOOLONG},
        {"huge name field", bent(take_f, [](Bytes& b) { ls_wire_put_u32(b.data(), LS_BR_NAME_LEN, 0xFFFFFFFF); }),
         ENAMETOOLONG},
        {"tags past the end", bent(take_f, [](Bytes& b) { ls_wire_put_u8(b.data(), LS_TAKE_NR_ITEMS, 255); }), EPROTO},
        {"item past the end",
         bent(take_f, [](Bytes& b) { ls_wire_put_u32(b.data(), LS_TAKE_TAGS + LS_TAG_OFF, uint32_t(b.size()) - 2); }),
         EPROTO},
        {"item of 8200", br([](BrReq& r) { r.items = {std::string(8200, 'x')}; }), E2BIG},
        {"item length beyond 32 bits of sum",
         bent(take_f, [](Bytes& b) { ls_wire_put_u32(b.data(), LS_TAKE_TAGS + LS_TAG_LEN, 0xFFFFFFFF); }), E2BIG},
        {"fh 0", br([](BrReq& r) { r.fh = 0; }), EINVAL},
        {"type 3", br([](BrReq& r) { r.lock_type = 3; }), EINVAL},
        {"flavour 0", br([](BrReq& r) { r.flavour = 0; }), EINVAL},
        {"last byte past 2^64", br([](BrReq& r) {
             r.start = kMax;
             r.len = 2;
         }),
         EINVAL},
        {"test with fh 0", br([](BrReq& r) {
             r.type = LS_MSG_TEST;
             r.fh = 0;
         }),
         EINVAL},
        {"blocking take cut short", bent(br([](BrReq& r) { r.type = LS_MSG_BLOCKING_TAKE; }),
                                         [](Bytes& b) { b.resize(LS_BTAKE_TAGS - 1); }),
         EPROTO},
        {"share handle of 8193", share_frame(LS_MSG_SHARE_TAKE, "s", std::string(8193, 'h'), 9, 1, 2), E2BIG},
        {"share handle past the end",
         bent(share, [](Bytes& b) { ls_wire_put_u32(b.data(), LS_SHARE_HANDLE_LEN, 100); }), EPROTO},
        {"share mode 4", share_frame(LS_MSG_SHARE_TAKE, "s", "h", 9, 4, 2), EINVAL},
        {"share access 4", share_frame(LS_MSG_SHARE_FREE, "s", "h", 9, 1, 4), EINVAL},
        {"free-all name past the end",
         bent(free_all_frame("x"), [](Bytes& b) { ls_wire_put_u32(b.data(), LS_FREE_ALL_NAME_LEN, 3); }), EPROTO},
        {"search cookie past the end",
         bent(search_frame(0, 0, 10), [](Bytes& b) {
             ls_wire_put_u32(b.data(), LS_SEARCH_COOKIE_LEN, 16);
             ls_wire_put_u32(b.data(), LS_SEARCH_COOKIE_OFF, LS_SEARCH_COOKIE_AT);
         }),
         EPROTO},
        {"search of flavour 5", search_frame(0, 0, 10, {}, 5), EINVAL},
        // A page of none would answer "more follow" with the same cookie for ever.
        {"search for pages of 0", search_frame(0, 0, 0), EINVAL},
        {"remove of flavour 0", remove_frame(1, 1, 0), EINVAL},
        {"remove cut short", bent(remove_frame(1, 1), [](Bytes& b) { b.resize(LS_REMOVE_FLAVOUR); }), EPROTO},
        // A name cut at an inner NUL would stand for the caller "kept".
        {"take by a name with an inner NUL", br([&](BrReq& r) { r.caller = kInnerNul; }), EPROTO},
        {"free by a name with an inner NUL", br([&](BrReq& r) {
             r.type = LS_MSG_FREE;
             r.caller = kInnerNul;
         }),
         EPROTO},
        {"share by a name with an inner NUL", share_frame(LS_MSG_SHARE_TAKE, kInnerNul, "h", 9, 1, 2), EPROTO},
        {"free-all by a name with an inner NUL", free_all_frame(kInnerNul), EPROTO},
        {"free-all by a name of NULs", free_all_frame(std::string(3, '\0')), EPROTO},
    };
    ASSERT_EQ(0u, take("kept", 1, 0, 10, 2, 0x78));
    for (const Row& r : rows) {
        Outcome o = call(r.frame);
        ASSERT_TRUE(o.completed && o.error == 0) << r.what << ": error " << o.error;
        uint32_t type = ls_wire_get_u32(r.frame.data(), LS_HDR_TYPE);
        size_t expect_len = type == LS_MSG_TEST ? LS_TEST_R_BYTES
                            : type == LS_MSG_CTRL_SEARCH ? LS_SRCH_R_BYTES
                                                         : LS_REPLY_STATUS_BYTES;
        EXPECT_EQ(r.herr, herr(o.reply)) << r.what;
        EXPECT_EQ(expect_len, o.reply.size()) << r.what;
        EXPECT_EQ(type + 1, ls_wire_get_u32(o.reply.data(), LS_HDR_TYPE)) << r.what;
        EXPECT_EQ(2u, ls_wire_get_u32(o.reply.data(), LS_HDR_VERSION)) << r.what;
        EXPECT_EQ(0u, status(o.reply)) << r.what;
    }
    // None of it left a lock behind, and the connection still serves.
    EXPECT_EQ(0u, take("after", 1, 0, 0));
    std::string locks = cluster_->control("locks tarn");
    EXPECT_EQ(0u, locks.find("{\"ok\":true,\"fs\":\"tarn\",\"state\":\"up\"")) << locks;
    EXPECT_NE(std::string::npos, locks.find("\"caller\":\"after\"")) << locks;
    EXPECT_NE(std::string::npos, locks.find("\"caller\":\"kept\"")) << locks;
    EXPECT_EQ(std::string::npos, locks.find("\"caller\":\"owner\"")) << locks;
}

// ---------------------------------------------------------------- reply layouts

TEST_F(LsServerTest, RepliesCarryTheirFieldsInsideTheFrame) {
    start();
    // A granted take: a status-only reply.
    BrReq r{.caller = std::string(2047, 'M'),
            .fh = kMax,
            .owner_id = kMax,
            .start = kMax - 1,
            .len = 1,
            .caller_id = 0xFFFFFFFF,
            .items = {std::string(8184, 'X')}};
    Bytes rep = reply(br_frame(r));
    EXPECT_EQ(LS_REPLY_STATUS_BYTES, rep.size());
    EXPECT_EQ(0u, status(rep));
    // A test that finds no conflict: the full test layout with no items.
    BrReq t = r;
    t.type = LS_MSG_TEST;
    t.fh = 5;
    rep = reply(br_frame(t));
    EXPECT_EQ(LS_TEST_R_BYTES, rep.size());
    EXPECT_EQ(0u, status(rep));
    EXPECT_EQ(0u, ls_wire_get_u8(rep.data(), LS_TEST_R_NR_ITEMS));
    // A conflict: the holder with its item inside the reply.
    t.fh = kMax;
    t.caller = "N";
    rep = reply(br_frame(t));
    ASSERT_EQ(1u, status(rep));
    EXPECT_EQ(kMax, ls_wire_get_u64(rep.data(), LS_TEST_R_OWNER_ID));
    EXPECT_EQ(kMax - 1, ls_wire_get_u64(rep.data(), LS_TEST_R_START));
    EXPECT_EQ(1u, ls_wire_get_u64(rep.data(), LS_TEST_R_LEN));
    EXPECT_EQ(2u, ls_wire_get_u32(rep.data(), LS_TEST_R_TYPE));
    ASSERT_EQ(1u, ls_wire_get_u8(rep.data(), LS_TEST_R_NR_ITEMS));
    uint32_t ilen = ls_wire_get_u32(rep.data(), LS_TEST_R_TAGS + LS_TAG_LEN);
    uint32_t ioff = ls_wire_get_u32(rep.data(), LS_TEST_R_TAGS + LS_TAG_OFF);
    ASSERT_EQ(8184u, ilen);
    ASSERT_TRUE(ls_wire_fits(rep.size(), ioff, ilen));
    EXPECT_EQ(r.items[0], std::string(reinterpret_cast<const char*>(rep.data() + ioff), ilen));
    EXPECT_EQ(rep.size(), size_t(ioff) + ilen);
    // Free, then free again.
    r.type = LS_MSG_FREE;
    EXPECT_EQ(0u, status(reply(br_frame(r))));
    EXPECT_EQ(9u, status(reply(br_frame(r))));
}

// ---------------------------------------------------------------- the control listing

struct Entry {
    uint32_t ref32;
    uint64_t id;
    std::string caller;
    uint64_t fh, owner_id, start, len;
    uint32_t caller_id;
};

// The entries of a search reply, each field checked to lie inside it.
std::vector<Entry> entries(const Bytes& rep) {
    std::vector<Entry> out;
    uint32_t n = ls_wire_get_u32(rep.data(), LS_SRCH_R_COUNT);
    uint32_t at = ls_wire_get_u32(rep.data(), LS_SRCH_R_ENTRIES_OFF);
    EXPECT_TRUE(ls_wire_fits(rep.size(), at, uint64_t(n) * LS_SRCH_ENTRY_BYTES));
    if (!ls_wire_fits(rep.size(), at, uint64_t(n) * LS_SRCH_ENTRY_BYTES)) return out;
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t* e = rep.data() + at + i * LS_SRCH_ENTRY_BYTES;
        Entry x;
        x.ref32 = ls_wire_get_u32(e, LS_SRCH_E_REF32);
        x.id = ls_wire_get_u64(e, LS_SRCH_E_REF64);
        uint32_t nlen = ls_wire_get_u32(e, LS_SRCH_E_NAME_LEN), noff = ls_wire_get_u32(e, LS_SRCH_E_NAME_OFF);
        EXPECT_TRUE(ls_wire_fits(rep.size(), noff, nlen) && nlen > 0 && rep[noff + nlen - 1] == 0);
        if (ls_wire_fits(rep.size(), noff, nlen)) x.caller = reinterpret_cast<const char*>(rep.data() + noff);
        x.fh = ls_wire_get_u64(e, LS_SRCH_E_FH);
        x.owner_id = ls_wire_get_u64(e, LS_SRCH_E_OWNER_ID);
        x.start = ls_wire_get_u64(e, LS_SRCH_E_START);
        x.len = ls_wire_get_u64(e, LS_SRCH_E_LEN);
        x.caller_id = ls_wire_get_u32(e, LS_SRCH_E_CALLER_ID);
        EXPECT_EQ(x.id, ls_wire_get_u64(e, LS_SRCH_E_AUX_U64_B));
        out.push_back(x);
    }
    return out;
}

Bytes cookie(const Bytes& rep) {
    uint32_t len = ls_wire_get_u32(rep.data(), LS_SRCH_R_COOKIE_LEN);
    uint32_t off = ls_wire_get_u32(rep.data(), LS_SRCH_R_COOKIE_OFF);
    EXPECT_TRUE(ls_wire_fits(rep.size(), off, len));
    return Bytes(rep.begin() + off, rep.begin() + off + len);
}

TEST_F(LsServerTest, SearchPagesByCountAndBytesAndRemovesByReference) {
    start();
    // 1000 shared locks of one owner on one fh: more than one page holds.
    const std::string name = "stress_test_owner";
    for (uint64_t i = 0; i < 1000; i++) ASSERT_EQ(0u, take(name, 1, 0x10000 + i * 0x200, 0x100, 1, 0x9999)) << i;
    // The control socket carries the whole table, far beyond one command line.
    std::string locks;
    ASSERT_EQ(0, lc_ctl_request(cluster_->dir() + "/local.ctl", "locks tarn", &locks, 10000));
    EXPECT_EQ(locks, cluster_->control("locks tarn"));
    size_t n = 0;
    for (size_t at = 0; (at = locks.find("\"caller\":\"" + name + "\"", at)) != std::string::npos; at++) n++;
    EXPECT_EQ(1000u, n);

    Bytes rep = reply(search_frame(LS_SEARCH_FILTER_FH, 0x9999, 1000));
    ASSERT_EQ(0u, status(rep));
    std::vector<Entry> first = entries(rep);
    size_t per_entry = LS_SRCH_ENTRY_BYTES + name.size() + 1;
    EXPECT_EQ((LS_MAX_MSG - LS_SRCH_R_BYTES - 16) / per_entry, first.size());
    EXPECT_LE(rep.size(), size_t(LS_MAX_MSG));
    EXPECT_EQ(1u, ls_wire_get_u32(rep.data(), LS_SRCH_R_HAS_MORE));
    Bytes c = cookie(rep);
    ASSERT_EQ(16u, c.size());
    rep = reply(search_frame(LS_SEARCH_FILTER_FH, 0x9999, 1000, c));
    std::vector<Entry> second = entries(rep);
    EXPECT_EQ(1000u, first.size() + second.size());
    EXPECT_EQ(0u, ls_wire_get_u32(rep.data(), LS_SRCH_R_HAS_MORE));
    EXPECT_EQ(0u, ls_wire_get_u32(rep.data(), LS_SRCH_R_COOKIE_LEN));
    EXPECT_LT(first.back().id, second.front().id);
    EXPECT_EQ(name, second.back().caller);
    EXPECT_EQ(0x10000u + 999 * 0x200, second.back().start);
    EXPECT_EQ(0x100u, second.back().len);
    // A bent cookie or an unknown filter bit: status 22.
    Bytes bad = c;
    bad[0] ^= 1;
    EXPECT_EQ(22u, status(reply(search_frame(0, 0, 10, bad))));
    EXPECT_EQ(22u, status(reply(search_frame(4, 0, 10))));

    // Remove by the listed reference; the same reference again is gone.
    Entry victim = second.back();
    EXPECT_EQ(0u, status(reply(remove_frame(victim.ref32, victim.id))));
    EXPECT_EQ(9u, status(reply(remove_frame(victim.ref32, victim.id))));
    EXPECT_EQ(9u, status(reply(remove_frame(victim.ref32 + 1, first[0].id))));
    EXPECT_EQ(9u, status(reply(remove_frame(victim.ref32, first[0].id, 1))));
    Bytes fa = free_all_frame(name, 0xFFFFFFFF);
    EXPECT_EQ(0u, herr(reply(fa)));
    rep = reply(search_frame(0, 0, 10));
    EXPECT_EQ(0u, ls_wire_get_u32(rep.data(), LS_SRCH_R_COUNT));
    EXPECT_EQ(LS_SRCH_R_BYTES, rep.size());
}

// ---------------------------------------------------------------- volatility

TEST_F(LsServerTest, RestartLosesEveryLockAndOldReferences) {
    start();
    uint16_t before = port();
    ASSERT_EQ(0u, take("holder", 1, 0, 100));
    ASSERT_EQ(0u, status(reply(share_frame(LS_MSG_SHARE_TAKE, "holder", "h", 5, 3, 3))));
    Bytes page = reply(search_frame(0, 0, 1));
    std::vector<Entry> listed = entries(page);
    ASSERT_EQ(1u, listed.size());
    std::string locks = cluster_->control("locks 1001");
    EXPECT_NE(std::string::npos, locks.find("\"caller\":\"holder\"")) << locks;
    EXPECT_NE(std::string::npos, locks.find("\"share\":[{\"fh\":5")) << locks;
    long boot = json_number(locks, "boot_tag");
    EXPECT_EQ(long(listed[0].ref32), boot);

    std::string r = cluster_->control("ls restart tarn");
    ASSERT_EQ(0u, r.find("{\"ok\":true")) << r;
    EXPECT_EQ(before, port());
    EXPECT_NE(boot, json_number(r, "boot_tag"));
    // A new connection finds empty tables.
    reconnect();
    EXPECT_EQ(0u, take("other", 1, 0, 100));
    EXPECT_EQ(0u, status(reply(share_frame(LS_MSG_SHARE_TAKE, "other", "h", 5, 3, 3))));
    EXPECT_EQ(9u, status(reply(remove_frame(listed[0].ref32, listed[0].id))));
    EXPECT_EQ(22u, status(reply(search_frame(0, 0, 1, Bytes(16, 0)))));
    locks = cluster_->control("locks tarn");
    EXPECT_EQ(std::string::npos, locks.find("holder")) << locks;
    EXPECT_NE(std::string::npos, cluster_->control("status").find("\"restarts\":1"));
    // The other file system's lock server was not touched.
    EXPECT_EQ(0u, cluster_->control("ls restart nosuchfs").find("{\"ok\":false"));
    EXPECT_EQ(0u, cluster_->control("ls crash tarn").find("{\"ok\":false"));
}

TEST_F(LsServerTest, MdsHostRebootTakesTheLockServerDownAndBackEmpty) {
    start();
    uint16_t before = port(), other = port("other");
    ASSERT_EQ(0u, take("holder", 1, 0, 100));
    std::string r = cluster_->control("host down 1");
    ASSERT_EQ(0u, r.find("{\"ok\":true")) << r;
    EXPECT_NE(std::string::npos, cluster_->control("locks tarn").find("\"state\":\"down\",\"boot_tag\""));
    EXPECT_EQ(0u, cluster_->control("ls restart tarn").find("{\"ok\":false"));
    kiv_rpc_endpoint* refused = client_->connect(before);
    EXPECT_NE(0u, client_->call(refused, search_frame(0, 0, 1), 1000).error);
    // No other socket takes the ports meanwhile, even one that no
    // connection's ending keeps (the other file system's sees none).
    EXPECT_TRUE(lctest::port_taken(before));
    EXPECT_TRUE(lctest::port_taken(other));
    ASSERT_EQ(0u, cluster_->control("host up 1").find("{\"ok\":true"));
    EXPECT_EQ(before, port());
    reconnect();
    EXPECT_EQ(0u, take("other", 1, 0, 100));
    // A timed reboot brings it back by itself.
    ASSERT_EQ(0u, cluster_->control("host reboot 1").find("{\"ok\":true"));
    cluster_->wait_idle();
    reconnect();
    EXPECT_EQ(0u, take("third", 1, 0, 100));
}

TEST_F(LsServerTest, RecordNamesTheServerAndNoLockServersMeansNone) {
    start();
    for (const char* fs : {"tarn", "other"}) {
        uint64_t id = std::string(fs) == "tarn" ? 0x1001 : 0x2002;
        Outcome o = client_->registry(KV_OP_GET, lc_record_key(LC_SVC_LS, id));
        ASSERT_EQ(0u, o.error) << fs;
        std::string expect = lc_record_value(LC_SVC_LS, 0xa1, fs, id, port(fs));
        EXPECT_NE(std::string::npos, std::string(o.reply.begin(), o.reply.end()).find(expect)) << fs;
        // The record's port is the lock server of that file system: its
        // own tables.
        ep_ = client_->connect(port(fs));
        EXPECT_EQ(0u, take(fs, 1, 0, 10));
    }
    EXPECT_EQ(std::string::npos, cluster_->control("locks tarn").find("\"caller\":\"other\""));

    TearDown();
    start(0, /*lock_servers=*/false);
    Outcome o = client_->registry(KV_OP_GET, lc_record_key(LC_SVC_LS, 0x1001));
    EXPECT_NE(0u, o.error);
    EXPECT_EQ(0u, cluster_->control("locks tarn").find("{\"ok\":false"));
    EXPECT_EQ(0u, cluster_->control("ls restart tarn").find("{\"ok\":false"));
}

TEST_F(LsServerTest, BrokenRulesReachTheServer) {
    start(LC_BREAK_LS_ZERO_LEN_CONFLICTS_AT_START | LC_BREAK_LS_WIN_EXCL_IGNORES_OWN);
    EXPECT_NE(std::string::npos, cluster_->control("status").find(
                                     "\"breaks\":[\"ls-win-excl-ignores-own\",\"ls-zero-len-conflicts-at-start\"]"));
    ASSERT_EQ(0u, take("p", 1, 10, 1));
    EXPECT_EQ(1u, take("q", 1, 10, 0));  // a point at the start of another's range
    EXPECT_EQ(0u, take("p", 1, 10, 1));  // the owner's own exclusive lock again
}


// ---------------------------------------------------------------- turns

namespace turns {

int connect_to(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool write_all(int fd, const Bytes& b) {
    for (size_t at = 0; at < b.size();) {
        ssize_t n = write(fd, b.data() + at, b.size() - at);
        if (n <= 0) return false;
        at += size_t(n);
    }
    return true;
}

// The next `count` frames the server sends on fd.
std::vector<Bytes> read_frames(int fd, size_t count) {
    std::vector<Bytes> out;
    Bytes buf;
    uint8_t chunk[65536];
    while (out.size() < count) {
        while (buf.size() >= 4 && buf.size() >= ls_wire_get_u32(buf.data(), 0) && out.size() < count) {
            size_t len = ls_wire_get_u32(buf.data(), 0);
            out.emplace_back(buf.begin(), buf.begin() + long(len));
            buf.erase(buf.begin(), buf.begin() + long(len));
        }
        if (out.size() == count) break;
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        buf.insert(buf.end(), chunk, chunk + n);
    }
    return out;
}

Bytes take_frame(const std::string& caller, uint64_t owner_id, uint64_t start) {
    return br_frame({.caller = caller, .owner_id = owner_id, .start = start, .len = 1, .lock_type = 1});
}

struct Hold {
    std::promise<void> entered;
    std::shared_future<void> release;
};

int hold_loop(void* arg) {
    auto* h = static_cast<Hold*>(arg);
    h->entered.set_value();
    h->release.wait();
    return 0;
}

}  // namespace turns

// A client that pipelines a long batch has it served a few frames at a
// time: a request that another client sent meanwhile is served before the
// batch ends. The order shows in the ids the locks were granted with.
TEST(LsServerTurnsTest, AnotherClientIsServedWithinAPipelinedBatch) {
    using namespace turns;
    lc_ls_config cfg;
    cfg.fs_id = 0x1001;
    cfg.fs_name = "turns";
    std::string err;
    lc_ls* s = lc_ls_create(cfg, &err);
    ASSERT_NE(nullptr, s) << err;
    uint16_t port = 0;
    ASSERT_EQ(0, lc_ls_listen(s, 0, &port));
    int a = connect_to(port), b = connect_to(port);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    // Both connections are served before the loop is held.
    ASSERT_TRUE(write_all(a, take_frame("batch", 100000, 1u << 30)));
    ASSERT_TRUE(write_all(b, take_frame("other", 100000, 1u << 31)));
    ASSERT_EQ(1u, read_frames(a, 1).size());
    ASSERT_EQ(1u, read_frames(b, 1).size());

    constexpr size_t kBatch = 300;
    Bytes batch;
    for (size_t i = 0; i < kBatch; i++) {
        Bytes f = take_frame("batch", i, 2 * i);
        batch.insert(batch.end(), f.begin(), f.end());
    }
    // The batch and then the other request wait in the sockets while the
    // loop stands still, so both are there when it reads again.
    Hold hold;
    std::promise<void> release;
    hold.release = release.get_future().share();
    std::thread holder([&] { lc_ls_call_on_loop(s, hold_loop, &hold); });
    hold.entered.get_future().wait();
    bool written = write_all(a, batch) && write_all(b, take_frame("other", 1, 1u << 20));
    release.set_value();
    holder.join();
    ASSERT_TRUE(written);
    std::vector<Bytes> replies = read_frames(a, kBatch);
    ASSERT_EQ(kBatch, replies.size());
    for (const Bytes& r : replies) ASSERT_EQ(0u, status(r));
    std::vector<Bytes> other = read_frames(b, 1);
    ASSERT_EQ(1u, other.size());
    ASSERT_EQ(0u, status(other[0]));

    ASSERT_TRUE(write_all(b, search_frame(0, 0, 1000)));
    std::vector<Bytes> page = read_frames(b, 1);
    ASSERT_EQ(1u, page.size());
    const Bytes& p = page[0];
    uint32_t count = ls_wire_get_u32(p.data(), LS_SRCH_R_COUNT), entries = ls_wire_get_u32(p.data(), LS_SRCH_R_ENTRIES_OFF);
    ASSERT_EQ(kBatch + 3, count);
    uint64_t other_id = 0;
    std::vector<uint64_t> batch_ids;
    for (uint32_t i = 0; i < count; i++) {
        size_t en = entries + size_t(i) * LS_SRCH_ENTRY_BYTES;
        uint64_t owner_id = ls_wire_get_u64(p.data(), en + LS_SRCH_E_OWNER_ID);
        uint64_t id = ls_wire_get_u64(p.data(), en + LS_SRCH_E_REF64);
        uint64_t start = ls_wire_get_u64(p.data(), en + LS_SRCH_E_START);
        if (owner_id == 1) other_id = id;
        if (owner_id < kBatch && start < (1u << 20)) batch_ids.push_back(id);
    }
    ASSERT_EQ(kBatch, batch_ids.size());
    ASSERT_NE(0u, other_id);
    size_t before = size_t(std::count_if(batch_ids.begin(), batch_ids.end(), [&](uint64_t id) { return id < other_id; }));
    EXPECT_LT(before, kBatch / 2) << "the other client's request was served after " << before << " of the batch's "
                                  << kBatch;
    close(a);
    close(b);
    lc_ls_destroy(s);
}

// Peers that pipeline searches for whole pages and read nothing: every
// request read counts as the page it may get against the instance's shared
// budget, so all of them together hold no more than the budget, its slack
// and one page; once they read, every page arrives, whole and in order.
TEST(LsServerBudgetTest, PipelinedSearchesOfPeersThatDoNotReadStayWithinTheBudget) {
    using namespace turns;
    constexpr uint64_t kBudget = 2u << 20;
    constexpr int kPeers = 16;
    constexpr size_t kSearches = 100;  // 16 x 100 pages: 188 MiB if all were built at once
    lc_ls_config cfg;
    cfg.fs_id = 0x1001;
    cfg.fs_name = "budget";
    cfg.held_budget = kBudget;
    std::string err;
    lc_ls* s = lc_ls_create(cfg, &err);
    ASSERT_NE(nullptr, s) << err;
    uint16_t port = 0;
    ASSERT_EQ(0, lc_ls_listen(s, 0, &port));
    // Enough locks that a search fills its page.
    int filler = connect_to(port);
    ASSERT_GE(filler, 0);
    Bytes takes;
    for (size_t i = 0; i < 2000; i++) {
        Bytes f = take_frame("filler", i, 2 * i);
        takes.insert(takes.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(write_all(filler, takes));
    ASSERT_EQ(2000u, read_frames(filler, 2000).size());

    Bytes searches;
    for (size_t i = 0; i < kSearches; i++) {
        Bytes f = search_frame(0, 0, 2000);
        ls_wire_put_u64(f.data(), LS_HDR_XID, i);
        searches.insert(searches.end(), f.begin(), f.end());
    }
    std::vector<int> peers;
    for (int i = 0; i < kPeers; i++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        int small = 16 << 10;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        peers.push_back(fd);
        ASSERT_TRUE(write_all(fd, searches));
    }
    lc_ls_stats st;
    ASSERT_TRUE(lctest::wait_until([&] {
        lc_ls_get_stats(s, &st);
        return st.held_bytes > kBudget;
    })) << st.held_bytes;

    std::vector<std::string> failures(peers.size());
    std::vector<std::thread> readers;
    for (size_t i = 0; i < peers.size(); i++)
        readers.emplace_back([&, i] {
            std::vector<Bytes> pages = read_frames(peers[i], kSearches);
            if (pages.size() != kSearches) failures[i] = std::to_string(pages.size()) + " pages";
            for (size_t k = 0; k < pages.size() && failures[i].empty(); k++)
                if (ls_wire_get_u64(pages[k].data(), LS_HDR_XID) != k || status(pages[k]) != 0 ||
                    ls_wire_get_u32(pages[k].data(), LS_SRCH_R_HAS_MORE) != 1)
                    failures[i] = "page " + std::to_string(k) + " is not the whole first page";
        });
    for (std::thread& t : readers) t.join();
    for (size_t i = 0; i < peers.size(); i++) EXPECT_EQ("", failures[i]) << "peer " << i;
    lc_ls_get_stats(s, &st);
    EXPECT_LE(st.held_bytes_peak, kiv_rpc_budget_bound(lc_ls_budget(s), 1, LS_MAX_MSG));
    for (int fd : peers) close(fd);
    close(filler);
    lc_ls_destroy(s);
}

}  // namespace

// An MDS crash and its restart, seen from the wire: requests in flight when
// the crash request arrives, what the disk holds afterwards in both reply
// modes, refused connects while the instance is down, the same port and
// the same handles afterwards, an empty epoch table, replays answered as
// the first execution, and the data servers' catch-up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/tarn_mds_client_ops.h"
#include "localcluster/cluster.h"
#include "mds_wire_client.h"
#include "hang_guard.h"
#include "wire_test_client.h"

namespace {

using mdswire::Bytes;
using mdswire::Conn;
using mdswire::Reply;
using mdswire::handle_at;
using mdswire::zero_handle;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint64_t kFs = 0x1001;
constexpr uint64_t kFsCi = 0x1002;
// Long enough that a stalled test thread still finds the instance down.
constexpr uint32_t kDownMs = 2000;
constexpr int kGuardMs = int(lctest::kHangGuard.count());

Bytes no_update() { return Bytes(TARN_MDS_UPDATE_BYTES, 0); }

class MdsCrashTest : public ::testing::TestWithParam<bool> {
   protected:
    void SetUp() override {
        localcluster::ClusterConfig cfg;
        cfg.fs.push_back({"tarn", kFs});
        cfg.fs.push_back({"tarn_ci", kFsCi, true});
        cfg.lock_servers = false;
        cfg.log_level = 0;
        cfg.mds_down_ms = kDownMs;
        cfg.crash_replies_drop = GetParam();
        cluster_ = localcluster::Cluster::start(cfg);
        port_ = mds_port("tarn");
        ASSERT_NE(0, port_);
    }

    std::string mds_status(const std::string& fs) { return wiretest::mds_instance(*cluster_, fs); }
    uint16_t mds_port(const std::string& fs) { return wiretest::mds_port_of(*cluster_, fs); }

    // Waits until the port accepts again; the time from `since`.
    Clock::duration wait_back(uint16_t port, Clock::time_point since = Clock::now()) {
        bool back = lctest::wait_until([&] {
            int fd = mdswire::connect_port(port);
            if (fd >= 0) close(fd);
            EXPECT_TRUE(fd >= 0 || fd == -ECONNREFUSED) << fd;
            return fd >= 0;
        });
        EXPECT_TRUE(back) << "the MDS did not come back";
        return Clock::now() - since;
    }

    tarn_mds_handle root(Conn& c) {
        mds_request rq;
        tarn_mds_handle z = zero_handle();
        EXPECT_EQ(0, mds_req_lookup(&rq, &z, "/"));
        Reply r = c.call(rq);
        EXPECT_EQ(TARN_MDS_OK, r.status());
        return handle_at(r, TARN_MDS_LOOKUP_REP_HANDLE);
    }
    tarn_mds_handle mkdir(Conn& c, const tarn_mds_handle& dir, const char* name) {
        mds_request rq;
        Bytes u = no_update();
        EXPECT_EQ(0, mds_req_mkdir(&rq, &dir, name, u.data(), 0));
        Reply r = c.call(rq);
        EXPECT_EQ(TARN_MDS_OK, r.status()) << name;
        return handle_at(r, TARN_MDS_MKOBJ_REP_HANDLE);
    }
    Bytes create_frame(Conn& c, const tarn_mds_handle& dir, const std::string& name, uint64_t verifier) {
        mds_request rq;
        Bytes u = no_update();
        EXPECT_EQ(0, mds_req_create_file(&rq, &dir, name.c_str(), 3, u.data(), verifier));
        return c.frame(rq);
    }
    Bytes link_frame(Conn& c, const tarn_mds_handle& obj, const tarn_mds_handle& dir, const std::string& name) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_link(&rq, &obj, &dir, name.c_str()));
        return c.frame(rq);
    }
    Bytes crash_frame(Conn& c) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_test(&rq, 2));
        return c.frame(rq);
    }
    // Every name of a directory, with its handle.
    std::map<std::string, tarn_mds_handle> list(Conn& c, const tarn_mds_handle& dir) {
        std::map<std::string, tarn_mds_handle> out;
        uint64_t cookie = 0;
        for (;;) {
            mds_request rq;
            EXPECT_EQ(0, mds_req_readdir(&rq, &dir, cookie));
            Reply r = c.call(rq);
            EXPECT_EQ(TARN_MDS_OK, r.status());
            if (r.status() != TARN_MDS_OK) return out;
            uint32_t n = r.u32(TARN_MDS_READDIR_REP_COUNT);
            for (uint32_t i = 0; i < n; i++) {
                const uint8_t* e = r.at(TARN_MDS_READDIR_REP_ENTRIES + i * TARN_MDS_DIRENT_BYTES);
                std::string name(reinterpret_cast<const char*>(r.at(tarn_wire_get_u32(e, TARN_MDS_DIRENT_NAME_OFFSET))));
                tarn_mds_handle h;
                memcpy(&h, e + TARN_MDS_DIRENT_HANDLE, sizeof h);
                out[name] = h;
                cookie = tarn_wire_get_u64(e, TARN_MDS_DIRENT_COOKIE);
            }
            if (!(r.u32(TARN_MDS_READDIR_REP_FLAGS) & 1)) return out;
        }
    }
    uint64_t free_files(Conn& c) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_get_fs_info(&rq));
        Reply r = c.call(rq);
        EXPECT_EQ(TARN_MDS_OK, r.status());
        return r.u64(TARN_MDS_GET_FS_INFO_REP_INFO + TARN_MDS_FS_INFO_FREE_FILES);
    }
    uint32_t nlinks(Conn& c, const tarn_mds_handle& h) {
        mds_request rq;
        EXPECT_EQ(0, mds_req_get_attrs(&rq, &h));
        Reply r = c.call(rq);
        EXPECT_EQ(TARN_MDS_OK, r.status());
        return r.u32(TARN_MDS_GET_ATTRS_REP_ATTRS + TARN_MDS_ATTR_NLINKS);
    }

    std::unique_ptr<localcluster::Cluster> cluster_;
    uint16_t port_ = 0;
};

TEST_P(MdsCrashTest, InFlightCreatesAndLinksSurviveAsAcknowledged) {
    const bool drop = GetParam();
    constexpr int kCreates = 100, kLinks = 20, kLate = 10;
    Conn c(port_, kFs);
    tarn_mds_handle r = root(c);
    tarn_mds_handle d = mkdir(c, r, "crash");
    tarn_mds_handle p = mkdir(c, r, "pre");
    std::vector<tarn_mds_handle> pre;
    for (int j = 0; j < kLinks; j++) {
        Reply cr = c.call_raw(create_frame(c, p, "p" + std::to_string(j), 9000 + j));
        ASSERT_EQ(TARN_MDS_OK, cr.status());
        pre.push_back(handle_at(cr, TARN_MDS_CREATE_REP_HANDLE));
    }

    // One write: the creates and links, the crash, then requests that must
    // never run.
    Bytes wire;
    std::map<uint64_t, std::string> what;  // xid -> operation
    auto add = [&](const Bytes& f, const std::string& op) {
        what[tarn_wire_get_u64(f.data(), TARN_MSG_XID)] = op;
        wire.insert(wire.end(), f.begin(), f.end());
    };
    for (int i = 0; i < kCreates; i++) add(create_frame(c, d, "f" + std::to_string(i), 1000 + i), "f" + std::to_string(i));
    for (int j = 0; j < kLinks; j++) add(link_frame(c, pre[size_t(j)], d, "l" + std::to_string(j)), "l" + std::to_string(j));
    add(crash_frame(c), "crash");
    for (int k = 0; k < kLate; k++) add(create_frame(c, d, "late" + std::to_string(k), 5000 + k), "late");
    // The crash comes after the send, so the outage lasts past sent +
    // kDownMs.
    const auto sent = Clock::now();
    ASSERT_TRUE(c.send_bytes(wire));

    std::map<std::string, Reply> acked;
    Bytes frame;
    while (c.read_frame(&frame, kGuardMs)) {
        uint64_t xid = tarn_wire_get_u64(frame.data(), TARN_MSG_XID);
        ASSERT_EQ(1u, what.count(xid)) << "a reply to nothing sent";
        std::string op = what[xid];
        ASSERT_NE("crash", op) << "the crash request was answered";
        ASSERT_NE("late", op) << "a request after the crash ran";
        Reply rep;
        rep.b = frame;
        rep.type = op[0] == 'f' ? TARN_MDS_CREATE_FILE : TARN_MDS_LINK;
        mdswire::check_discipline(rep, frame.data() + TARN_MSG_XID);
        EXPECT_EQ(TARN_MDS_OK, rep.status()) << op;
        if (op[0] == 'f') {
            EXPECT_EQ(1u, rep.u32(TARN_MDS_CREATE_REP_FLAGS)) << op;
        }
        acked[op] = rep;
    }
    RecordProperty("acknowledged", int(acked.size()));
    // The connection is gone; so is the listener. The status follows
    // within a moment. A test thread stalled past the outage finds the
    // instance back, which tells nothing; the outage's lower bound below
    // still catches a return that came early.
    const int refused = mdswire::connect_port(port_);
    std::string st;
    EXPECT_TRUE(lctest::wait_until([&] {
        st = mds_status("tarn");
        return st.find("\"state\":\"crashing\"") == std::string::npos;
    })) << st;
    if (Clock::now() - sent < std::chrono::milliseconds(kDownMs)) {
        EXPECT_EQ(-ECONNREFUSED, refused);
        EXPECT_NE(std::string::npos, st.find("\"state\":\"down\"")) << st;
    }
    if (!drop) {
        EXPECT_EQ(size_t(kCreates + kLinks), acked.size()) << "flush mode sends every finished reply";
    }

    auto down_for = wait_back(port_, sent);
    EXPECT_GE(down_for, std::chrono::milliseconds(kDownMs / 2));
    EXPECT_EQ(port_, mds_port("tarn"));

    // A new instance knows no client.
    Conn c2(port_, kFs);
    c2.set_resend(false);
    mds_request noop{TARN_MDS_NOOP, "noop", TARN_MDS_NOOP_REQ_BYTES, 0, {}};
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, c2.call(noop).status());
    c2.set_resend(true);
    EXPECT_EQ(TARN_MDS_OK, c2.call(noop).status());

    // The disk holds every request that ran before the crash, and nothing
    // after it; every acknowledged create names the object it answered.
    std::map<std::string, tarn_mds_handle> names = list(c2, d);
    std::set<std::string> expect;
    for (int i = 0; i < kCreates; i++) expect.insert("f" + std::to_string(i));
    for (int j = 0; j < kLinks; j++) expect.insert("l" + std::to_string(j));
    std::set<std::string> got;
    for (auto& [n, h] : names) got.insert(n);
    EXPECT_EQ(expect, got);
    for (auto& [op, rep] : acked) {
        ASSERT_EQ(1u, names.count(op)) << op;
        if (op[0] == 'f') {
            EXPECT_EQ(0, memcmp(&names[op], rep.at(TARN_MDS_CREATE_REP_HANDLE), TARN_MDS_HANDLE_BYTES)) << op;
        } else {
            EXPECT_EQ(0, memcmp(&names[op], &pre[size_t(std::stoi(op.substr(1)))], TARN_MDS_HANDLE_BYTES)) << op;
        }
    }
    // Old handles still work.
    for (auto& [n, h] : names) {
        mds_request rq;
        ASSERT_EQ(0, mds_req_get_attrs(&rq, &h));
        Reply a = c2.call(rq);
        ASSERT_EQ(TARN_MDS_OK, a.status()) << n;
        EXPECT_EQ(h.file_id, a.u64(TARN_MDS_GET_ATTRS_REP_ATTRS + TARN_MDS_ATTR_INODE_NUM)) << n;
    }

    // Replays answer as the first execution did and count nothing twice.
    uint64_t files_before = free_files(c2);
    for (int i = 0; i < kCreates; i++) {
        std::string n = "f" + std::to_string(i);
        Reply rep = c2.call_raw(create_frame(c2, d, n, 1000 + i));
        ASSERT_EQ(TARN_MDS_OK, rep.status()) << n;
        EXPECT_EQ(1u, rep.u32(TARN_MDS_CREATE_REP_FLAGS)) << n;
        EXPECT_EQ(0, memcmp(&names[n], rep.at(TARN_MDS_CREATE_REP_HANDLE), TARN_MDS_HANDLE_BYTES)) << n;
        if (acked.count(n)) {
            EXPECT_EQ(0, memcmp(acked[n].at(TARN_MDS_CREATE_REP_ATTRS), rep.at(TARN_MDS_CREATE_REP_ATTRS),
                                TARN_MDS_ATTR_BYTES))
                << n;
        }
    }
    for (int j = 0; j < kLinks; j++) {
        Reply rep = c2.call_raw(link_frame(c2, pre[size_t(j)], d, "l" + std::to_string(j)));
        EXPECT_EQ(TARN_MDS_OK, rep.status());
        EXPECT_EQ(2u, nlinks(c2, pre[size_t(j)]));
    }
    EXPECT_EQ(files_before, free_files(c2));
    std::string after = mds_status("tarn");
    EXPECT_NE(std::string::npos, after.find("\"crashes\":1")) << after;
}

TEST_P(MdsCrashTest, ControlCrashRefusesConnectsUntilTheSamePortIsBack) {
    Conn c(port_, kFs);
    tarn_mds_handle r = root(c);
    tarn_mds_handle d = mkdir(c, r, "kept");
    Reply f = c.call_raw(create_frame(c, d, "file", 7));
    ASSERT_EQ(TARN_MDS_OK, f.status());

    const auto t0 = Clock::now();
    std::string out = cluster_->control("mds crash tarn " + std::to_string(kDownMs));
    ASSERT_EQ(0u, out.find("{\"ok\":true")) << out;
    // Refused at once, never listening without answers, and a second crash
    // finds it down; open connections closed. Once the outage can have
    // ended, a stalled test thread finds it back, which tells nothing.
    const int refused = mdswire::connect_port(port_);
    const std::string again = cluster_->control("mds crash tarn");
    if (Clock::now() - t0 < std::chrono::milliseconds(kDownMs)) {
        EXPECT_EQ(-ECONNREFUSED, refused);
        EXPECT_EQ(0u, again.find("{\"ok\":false")) << again;
    }
    Bytes none;
    EXPECT_FALSE(c.read_frame(&none, 2000));
    EXPECT_EQ(0u, cluster_->control("mds crash nofs").find("{\"ok\":false"));
    EXPECT_EQ(0u, cluster_->control("mds crash tarn soon").find("{\"ok\":false"));
    // The other file system's MDS is not disturbed.
    {
        Conn ci(mds_port("tarn_ci"), kFsCi);
        ASSERT_TRUE(ci.ok());
        root(ci);
    }
    wait_back(port_);
    EXPECT_EQ(port_, mds_port("tarn"));

    Conn c2(port_, kFs);
    mds_request rq;
    ASSERT_EQ(0, mds_req_lookup(&rq, &r, "kept/file"));
    Reply l = c2.call(rq);
    ASSERT_EQ(TARN_MDS_OK, l.status());
    EXPECT_EQ(0, memcmp(l.at(TARN_MDS_LOOKUP_REP_HANDLE), f.at(TARN_MDS_CREATE_REP_HANDLE), TARN_MDS_HANDLE_BYTES));
    EXPECT_EQ(0, memcmp(l.at(TARN_MDS_LOOKUP_REP_ATTRS), f.at(TARN_MDS_CREATE_REP_ATTRS), TARN_MDS_ATTR_BYTES));
    // The status says up once the data servers have caught up.
    EXPECT_TRUE(lctest::wait_until([&] { return mds_status("tarn").find("\"state\":\"up\"") != std::string::npos; }))
        << mds_status("tarn");
}

// Down, the instance keeps its port bound: a cluster starting up meanwhile
// cannot take it for one of its own servers, which the return to the same
// port would then keep from listening. No connection was ever made to this
// MDS, so nothing else keeps the port.
TEST_P(MdsCrashTest, ThePortStaysBoundWhileDown) {
    const uint16_t p = mds_port("tarn_ci");
    std::string out = cluster_->control("mds crash tarn_ci 600000");
    ASSERT_EQ(0u, out.find("{\"ok\":true")) << out;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(p);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(0, bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    EXPECT_EQ(EADDRINUSE, errno);
    close(fd);
    EXPECT_EQ(-ECONNREFUSED, mdswire::connect_port(p));
}

TEST_P(MdsCrashTest, RestartRebuildsTheSameNamespaceFromTheDisk) {
    Conn c(mds_port("tarn_ci"), kFsCi);
    tarn_mds_handle r = root(c);
    tarn_mds_handle d = mkdir(c, r, "Tree");
    mkdir(c, d, "Sub");
    for (const char* n : {"Ärger", "ÖL", "plain"}) ASSERT_EQ(TARN_MDS_OK, c.call_raw(create_frame(c, d, n, 0x42)).status());
    mds_request rq;
    ASSERT_EQ(0, mds_req_set_xattr(&rq, &d, "user.k", "v", 1, 0));
    ASSERT_EQ(TARN_MDS_OK, c.call(rq).status());
    ASSERT_EQ(0, mds_req_remove(&rq, &d, "plain"));
    ASSERT_EQ(TARN_MDS_OK, c.call(rq).status());
    std::string before = cluster_->control("dump tarn_ci /Tree");
    ASSERT_EQ(0u, before.find("{\"ok\":true")) << before;

    ASSERT_EQ(0u, cluster_->control("mds crash tarn_ci 100").find("{\"ok\":true"));
    EXPECT_EQ(0u, cluster_->control("dump tarn_ci").find("{\"ok\":false"));
    wait_back(mds_port("tarn_ci"));
    EXPECT_EQ(before, cluster_->control("dump tarn_ci /Tree"));

    Conn c2(mds_port("tarn_ci"), kFsCi);
    // The folded name index is rebuilt: any spelling finds the entry.
    ASSERT_EQ(0, mds_req_lookup(&rq, &r, "tree/ärGER"));
    EXPECT_EQ(TARN_MDS_OK, c2.call(rq).status());
    ASSERT_EQ(0, mds_req_lookup(&rq, &r, "TREE/plain"));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, c2.call(rq).status());
    ASSERT_EQ(0, mds_req_get_xattr(&rq, &d, "user.k", 4));
    Reply x = c2.call(rq);
    ASSERT_EQ(TARN_MDS_OK, x.status());
    EXPECT_EQ('v', x.b[TARN_MDS_GET_XATTR_REP_VALUE]);
    // New objects take ids the old ones never had.
    Reply n = c2.call_raw(create_frame(c2, d, "new", 1));
    ASSERT_EQ(TARN_MDS_OK, n.status());
    std::map<std::string, tarn_mds_handle> names = list(c2, d);
    for (auto& [name, h] : names)
        if (name != "new") {
            EXPECT_LT(h.file_id, handle_at(n, TARN_MDS_CREATE_REP_HANDLE).file_id) << name;
        }
}

TEST_P(MdsCrashTest, RequestsHeldByADelayRuleNeverRun) {
    Conn c(port_, kFs);
    tarn_mds_handle r = root(c);
    std::string rule = cluster_->control("fault add mds:tarn type=4218 delay=2000 count=1");
    ASSERT_EQ(0u, rule.find("{\"ok\":true")) << rule;
    mds_request rq;
    Bytes u = no_update();
    ASSERT_EQ(0, mds_req_mkdir(&rq, &r, "delayed", u.data(), 0));
    ASSERT_TRUE(c.send_bytes(c.frame(rq)));
    // The crash comes once the rule holds the request: a crash that came
    // before it arrived would prove nothing about held requests.
    ASSERT_TRUE(lctest::wait_until([&] { return mds_status("tarn").find("\"faults\":1") != std::string::npos; }))
        << mds_status("tarn");
    ASSERT_EQ(0u, cluster_->control("mds crash tarn 100").find("{\"ok\":true"));
    Bytes none;
    EXPECT_FALSE(c.read_frame(&none, 2000));
    wait_back(port_);
    std::this_thread::sleep_for(2100ms);  // past the delay
    Conn c2(port_, kFs);
    ASSERT_EQ(0, mds_req_lookup(&rq, &r, "delayed"));
    EXPECT_EQ(TARN_MDS_NOT_FOUND, c2.call(rq).status());
    std::string st = mds_status("tarn");
    EXPECT_NE(std::string::npos, st.find("\"faults\":1")) << st;
}

// The request runs, its reply is lost with the crash whatever the reply
// mode, and a repeat after the restart is told apart by its verifier.
TEST_P(MdsCrashTest, ApplyCrashRunsTheRequestThenCrashesBeforeItsReply) {
    Conn c(port_, kFs);
    tarn_mds_handle r = root(c);
    std::string rule = cluster_->control("fault add mds:tarn type=4218 apply-crash count=1");
    ASSERT_EQ(0u, rule.find("{\"ok\":true")) << rule;
    mds_request rq;
    Bytes u = no_update();
    ASSERT_EQ(0, mds_req_mkdir(&rq, &r, "applied", u.data(), 0xfeed));
    const Bytes repeat = c.frame(rq);
    ASSERT_TRUE(c.send_bytes(repeat));
    Bytes none;
    // The crash closes the connection, so the read ends long before the
    // hang guard that a connection left open would sit out.
    auto t0 = Clock::now();
    EXPECT_FALSE(c.read_frame(&none, kGuardMs)) << "the reply left before the crash";
    EXPECT_LT(Clock::now() - t0, lctest::kHangGuard / 2) << "the connection stayed open";
    EXPECT_NE(std::string::npos, mds_status("tarn").find("\"crashes\":1")) << mds_status("tarn");

    wait_back(port_);
    Conn c2(port_, kFs);
    Reply again = c2.call_raw(repeat);
    ASSERT_EQ(TARN_MDS_OK, again.status());
    ASSERT_EQ(0, mds_req_lookup(&rq, &r, "applied"));
    Reply found = c2.call(rq);
    ASSERT_EQ(TARN_MDS_OK, found.status());
    EXPECT_EQ(0, memcmp(found.at(TARN_MDS_LOOKUP_REP_HANDLE), again.at(TARN_MDS_MKOBJ_REP_HANDLE),
                        TARN_MDS_HANDLE_BYTES));
    ASSERT_EQ(0, mds_req_mkdir(&rq, &r, "applied", u.data(), 0xfeee));
    EXPECT_EQ(TARN_MDS_EXISTS, c2.call(rq).status());
    // Spent after one crash: the repeat and the other create were answered.
    EXPECT_NE(std::string::npos, cluster_->control("fault list")
                                     .find("\"rule\":\"mds:tarn type=4218 apply-crash count=1\",\"matched\":1,"
                                           "\"fired\":1,\"active\":false"))
        << cluster_->control("fault list");
    EXPECT_NE(std::string::npos, mds_status("tarn").find("\"crashes\":1")) << mds_status("tarn");
}

// A change the MDS missed while replication was off reaches it after its
// restart, when the data servers flush their dirty sets.
TEST_P(MdsCrashTest, DataServersCatchUpAfterTheRestart) {
    Conn c(port_, kFs);
    tarn_mds_handle r = root(c);
    Reply f = c.call_raw(create_frame(c, r, "repl", 3));
    ASSERT_EQ(TARN_MDS_OK, f.status());
    tarn_mds_handle h = handle_at(f, TARN_MDS_CREATE_REP_HANDLE);
    unsigned host = f.u32(TARN_MDS_CREATE_REP_ATTRS + TARN_MDS_ATTR_VDISK_ID) % 3 + 1;
    std::string off = cluster_->control("repl disable " + std::to_string(host) + " tarn");
    if (off.find("\"ok\":true") == std::string::npos) GTEST_SKIP() << "no replication control: " << off;

    tarn_attr_update up{};
    up.mask = TARN_SET_MODE;
    up.attr.mode = 0357;
    Bytes u(TARN_MDS_UPDATE_BYTES);
    tarn2mds_attr_update(&up, u.data());
    mds_request rq;
    ASSERT_EQ(0, mds_req_set_attrs(&rq, &h, u.data(), nullptr));
    ASSERT_EQ(TARN_MDS_OK, c.call(rq).status());
    auto mode = [&](Conn& k) {
        mds_request g;
        EXPECT_EQ(0, mds_req_get_attrs(&g, &h));
        return k.call(g).u32(TARN_MDS_GET_ATTRS_REP_ATTRS + TARN_MDS_ATTR_MODE);
    };
    EXPECT_NE(0357u, mode(c));  // the replica waits for the data server
    auto health = [&](Conn& k) {
        mds_request g;
        EXPECT_EQ(0, mds_req_get_fs_info(&g));
        return k.call(g).u32(TARN_MDS_GET_FS_INFO_REP_INFO + TARN_MDS_FS_INFO_FLAGS) & 0xB;
    };
    EXPECT_TRUE(health(c) & 0x2) << "a dirty set is a replication backlog";

    ASSERT_EQ(0u, cluster_->control("mds crash tarn 300").find("{\"ok\":true"));
    // Re-enabled while the MDS is down: nothing can be flushed yet.
    ASSERT_EQ(0u, cluster_->control("repl enable " + std::to_string(host) + " tarn").find("{\"ok\":true"));
    wait_back(port_);
    Conn c2(port_, kFs);
    EXPECT_TRUE(lctest::wait_until([&] { return mode(c2) == 0357u && health(c2) == 0; }));
    EXPECT_EQ(0357u, mode(c2));
    EXPECT_EQ(0u, health(c2));
    cluster_->wait_idle();
}

INSTANTIATE_TEST_SUITE_P(CrashReplies, MdsCrashTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Drop" : "Flush"; });

}  // namespace

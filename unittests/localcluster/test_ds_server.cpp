// The data servers of the local cluster: every DS message through the
// wire (requests built with the client's wire header, sent with the
// runtime's client transport, every reply field and its exact length
// checked), the order of the request checks, tokens and mounts, the fault
// rules on the DS, replication to the MDS with its dirty set, crashes and
// restarts, and many concurrent readers. Objects are placed on the DsDisks
// in-process, as the MDS does.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/tarn_wire.h"
#include "kiv/base.h"
#include "kiv/io.h"
#include "kiv/rpc.h"
#include "localcluster/breaks.h"
#include "localcluster/cluster.h"
#include "localcluster/cluster_disk.h"
#include "localcluster/ds/ds_disk.h"
#include "hang_guard.h"
#include "wire_test_client.h"

namespace {

using wiretest::Bytes;
using wiretest::Clock;
using wiretest::kNoReply;
using wiretest::Outcome;
using wiretest::Pending;
using wiretest::WireClient;

constexpr uint64_t kClient = 0xd5c1;
constexpr int kFs = 0;  // "tarn"
constexpr int kLoops = 3;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint32_t kScale = 8;  // sanitizers slow every copy and hand-off down
#else
constexpr uint32_t kScale = 1;
#endif
constexpr int kGuardMs = int(lctest::kHangGuard.count());


// A request: header written with the client's codec, `fixed` bytes of
// fields, zero padding to a multiple of 512 unless `len` says otherwise.
struct Req {
    uint32_t type = TARN_DS_NOOP;
    uint64_t client = kClient;
    uint32_t epoch = 1;
    uint32_t flags = TARN_REQ_FLAG_EPOCH_RESEND;
    uint64_t version = TARN_WIRE_VERSION;
    uint64_t token = 0;
    uint64_t file_id = 0;
};

bool is_file(uint32_t type) {
    return type != TARN_DS_NOOP && type != TARN_DS_MOUNT_VDISK && type != TARN_DS_UNMOUNT_VDISK &&
           type != TARN_DS_VDISK_USAGE_CTL && type != TARN_DS_REPLICATE && type != TARN_DS_REPL_RECOVERY &&
           type != TARN_DS_TEST;
}

Bytes frame(const Req& r, size_t fixed, size_t len = 0) {
    if (!len) len = tarn_ds_round_len(fixed);
    Bytes b(std::max<size_t>(len, TARN_DS_FILE_REQ_HDR_BYTES), 0);
    tarn_ds_req_hdr h{};
    h.length = uint32_t(len);
    h.type = r.type;
    h.client_id = r.client;
    h.epoch = r.epoch;
    h.flags = r.flags;
    h.version = r.version;
    h.location_token = r.token;
    h.file_id = r.file_id;
    tarn_wire_put_u32(h.credentials, TARN_WIRE_CREDS_UID, 0);
    tarn_ds_req_hdr_write(b.data(), &h, is_file(r.type));
    b.resize(len);
    return b;
}

Bytes test_frame(uint32_t code, bool good_crc = true) {
    Bytes f = frame({.type = TARN_DS_TEST}, TARN_DS_TEST_REQ_BYTES);
    tarn_wire_put_u32(f.data(), TARN_DS_TEST_CODE, code);
    uint32_t crc = kiv_crc32(f.data() + TARN_DS_TEST_CODE, 8);
    tarn_wire_put_u32(f.data(), TARN_DS_TEST_CRC, good_crc ? crc : crc ^ 1);
    return f;
}

// The MDS as far as replication goes: keeps the newest snapshot per file.
struct FakeMds {
    std::mutex mu;
    std::map<uint64_t, lc_ds_attrs> replica;
    int pushes = 0;
    static void apply(void* ctx, const lc_ds_attrs* s) {
        auto* m = static_cast<FakeMds*>(ctx);
        std::lock_guard<std::mutex> g(m->mu);
        m->pushes++;
        auto it = m->replica.find(s->file_id);
        if (it == m->replica.end() || it->second.attr_version < s->attr_version) m->replica[s->file_id] = *s;
    }
    lc_ds_attrs get(uint64_t id) {
        std::lock_guard<std::mutex> g(mu);
        auto it = replica.find(id);
        return it == replica.end() ? lc_ds_attrs{} : it->second;
    }
};

class DsTest : public ::testing::Test {
   protected:
    void SetUp() override {
        start(config());
        // The data side alone: whatever MDS runs takes no pushes in these tests.
        lc_cdisk_set_mds_sink(cd(), kFs, nullptr, nullptr);
    }
    static localcluster::ClusterConfig config() {
        localcluster::ClusterConfig c;
        c.fs.push_back({"tarn", 0x1001});
        c.fs.push_back({"small", 0x1002, false, 64 * 4096});
        c.ds_down_ms = 300;
        c.mount_delay_ms = 100;
        // Several loops whatever the machine: consecutive connections of a
        // client land on different ones.
        c.ds_loops = kLoops;
        return c;
    }
    void TearDown() override {
        if (cluster_) lc_cdisk_set_mds_sink(cd(), kFs, nullptr, nullptr);
        client_.reset();
        cluster_.reset();
    }
    void start(const localcluster::ClusterConfig& c) {
        cluster_ = localcluster::Cluster::start(c);
        client_ = std::make_unique<WireClient>("test-ds-client", wiretest::ds_endpoint_params());
    }

    lc_cdisk* cd() { return cluster_->cluster_disk(); }
    std::string ctl(const std::string& cmd) { return cluster_->control(cmd); }
    uint64_t token(uint32_t v, int fs = kFs) { return lc_cdisk_vdisk(cd(), fs, v).token; }
    uint16_t port(int host, int fs = kFs) { return lc_cdisk_ds_port(cd(), fs, host); }
    kiv_rpc_endpoint* ep(int host, int fs = kFs) {
        auto key = std::make_pair(host, fs);
        if (!eps_.count(key)) eps_[key] = client_->connect(port(host, fs));
        return eps_[key];
    }
    Outcome call(const Bytes& f, int host = 1, int fs = kFs) { return client_->call(ep(host, fs), f); }
    uint32_t status_of(const Bytes& f, int host = 1) {
        Outcome o = call(f, host);
        EXPECT_TRUE(o.completed);
        EXPECT_EQ(0u, o.error);
        return o.status();
    }

    // An object as the MDS creates it, on vdisk `v` (host (v mod 3) + 1).
    void place(uint64_t id, uint32_t v = 0, int fs = kFs) {
        lc_ds_attrs a;
        ASSERT_EQ(LC_DS_OK, lc_ds_disk_create_object(lc_cdisk_vdisk_disk(cd(), fs, v), id, v, nullptr, 7, 8, &a));
    }
    Req file_req(uint32_t type, uint64_t id, uint32_t v = 0) { return {.type = type, .token = token(v), .file_id = id}; }

    Bytes write_frame(uint64_t id, uint64_t off, const std::string& data, bool stable = true, uint32_t v = 0) {
        Bytes f = frame(file_req(TARN_DS_WRITE, id, v), TARN_DS_WRITE_HDR_BYTES + data.size());
        tarn_wire_put_u32(f.data(), TARN_DS_WRITE_STABLE, stable ? 1 : 0);
        tarn_wire_put_u64(f.data(), TARN_DS_WRITE_OFFSET, off);
        tarn_wire_put_u32(f.data(), TARN_DS_WRITE_LEN, uint32_t(data.size()));
        memcpy(f.data() + TARN_DS_WRITE_HDR_BYTES, data.data(), data.size());
        return f;
    }
    Bytes read_frame(uint64_t id, uint64_t off, uint32_t count, uint32_t v = 0) {
        Bytes f = frame(file_req(TARN_DS_READ, id, v), TARN_DS_READ_REQ_BYTES);
        tarn_wire_put_u64(f.data(), TARN_DS_READ_OFFSET, off);
        tarn_wire_put_u32(f.data(), TARN_DS_READ_COUNT, count);
        return f;
    }
    std::string read_data(const Outcome& o) {
        return std::string(reinterpret_cast<const char*>(o.reply.data()) + TARN_DS_READ_REP_DATA,
                           o.reply.size() - TARN_DS_READ_REP_DATA);
    }
    Bytes get_attrs_frame(uint64_t id, uint32_t v = 0) {
        return frame(file_req(TARN_DS_GET_ATTRS, id, v), TARN_DS_GET_ATTRS_REQ_BYTES);
    }
    lc_ds_attrs disk_attrs(uint64_t id, uint32_t v = 0) {
        lc_ds_attrs a;
        EXPECT_EQ(LC_DS_OK, lc_ds_disk_get_attrs(lc_cdisk_vdisk_disk(cd(), kFs, v), id, v, &a));
        return a;
    }

    // Connects straight to a port: 0, or the errno of the failure.
    static int raw_connect(uint16_t p) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(p);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
        close(fd);
        return rc;
    }
    // A connect to `p` while a refuse fault of `ms` that fired after `since`
    // holds the listener shut. Once that outage can have ended, a slow
    // machine may find it listening again, and the answer tells nothing.
    static void expect_refused(uint16_t p, Clock::time_point since, int ms) {
        int rc = raw_connect(p);
        if (Clock::now() - since < std::chrono::milliseconds(ms)) {
            EXPECT_EQ(ECONNREFUSED, rc);
        }
    }
    // The "loops" list of host `host`'s status: connections open on each loop.
    std::string loops_of(int host) {
        std::string st = ctl("status");
        size_t at = st.find("\"port\":" + std::to_string(port(host)) + ",");
        if (at == std::string::npos) return "";
        size_t b = st.find("\"loops\":[", at);
        if (b == std::string::npos) return "";
        b += 9;
        return st.substr(b, st.find(']', b) - b);
    }
    bool wait_phase(int host, lc_ds_phase want) {
        return lctest::wait_until([&] { return lc_cdisk_ds_phase(cd(), kFs, host) == want; });
    }

    std::unique_ptr<localcluster::Cluster> cluster_;
    std::unique_ptr<WireClient> client_;
    std::map<std::pair<int, int>, kiv_rpc_endpoint*> eps_;
};

// ---------------------------------------------------------------- checks and their order

TEST_F(DsTest, PlacementTokensAndTheStartingTable) {
    ASSERT_EQ(6u, lc_cdisk_vdisk_count(cd()));
    for (uint32_t v = 0; v < 6; v++) {
        lc_cdisk_vdisk_state s = lc_cdisk_vdisk(cd(), 1, v);
        EXPECT_EQ(int(v % 3) + 1, s.host);
        EXPECT_TRUE(s.mounted);
        EXPECT_EQ((2ull << 48) | (uint64_t(v) << 32) | 1, s.token);  // fs index 1, generation 1
    }
    EXPECT_EQ((std::vector<uint32_t>{1, 4}), lc_cdisk_host_vdisks(cd(), 2));
    EXPECT_EQ(0u, lc_cdisk_health(cd(), kFs));
    // Each instance has its own port, in the status too.
    std::string st = ctl("status");
    for (int h = 1; h <= 3; h++)
        EXPECT_NE(std::string::npos, st.find("\"service\":\"ds\",\"host\":\"00000000000000a" + std::to_string(h) +
                                             "\",\"fs\":\"tarn\",\"port\":" + std::to_string(port(h)) +
                                             ",\"state\":\"up\""));
}

TEST_F(DsTest, NoopAndTheHeaderChecksInOrder) {
    Outcome o = call(frame({}, TARN_DS_NOOP_REQ_BYTES));
    ASSERT_EQ(0u, o.error);
    EXPECT_EQ(TARN_DS_OK, o.status());
    EXPECT_EQ(32u, o.reply.size());
    EXPECT_EQ(32u, o.u32(TARN_MSG_LENGTH));
    EXPECT_EQ(TARN_DS_NOOP + 1, o.u32(TARN_MSG_TYPE));

    // 1: a length that is not a multiple of 512, before everything else.
    EXPECT_EQ(TARN_DS_INVAL, status_of(frame({.version = 3}, 48, 48)));
    EXPECT_EQ(TARN_DS_INVAL, status_of(frame({}, 48, 600)));
    // 2: the version, before the type and the epoch (an unknown client).
    EXPECT_EQ(TARN_DS_INVAL, status_of(frame({.type = 4200, .client = 77, .flags = 0, .version = 3}, 48)));
    // 3: the type, before the epoch.
    EXPECT_EQ(TARN_DS_INVAL, status_of(frame({.type = 4138, .client = 77, .flags = 0}, 48)));
    EXPECT_EQ(TARN_DS_INVAL, status_of(frame({.type = 4098, .client = 77, .flags = 0}, 48)));
    // 4: the epoch, before the token.
    EXPECT_EQ(TARN_DS_EPOCH_UNKNOWN,
              status_of(frame({.type = TARN_DS_READ, .client = 77, .flags = 0, .token = 1}, 160)));
    EXPECT_EQ(TARN_DS_OK, status_of(frame({.client = 77, .epoch = 4}, 48)));
    EXPECT_EQ(TARN_DS_EPOCH_UNKNOWN, status_of(frame({.client = 77, .epoch = 5, .flags = 0}, 48)));
    EXPECT_EQ(TARN_DS_OK, status_of(frame({.client = 77, .epoch = 3, .flags = 0}, 48)));  // older: executed

    // 5: the token, then the object.
    place(100);
    Bytes r = read_frame(999, 0, 10);  // no such object...
    tarn_wire_put_u64(r.data(), TARN_DS_REQ_LOCATION_TOKEN, token(0) + 1);  // ...and a token of no mount
    EXPECT_EQ(TARN_DS_NOT_MOUNTED, status_of(r));
    EXPECT_EQ(TARN_DS_NOT_MOUNTED, status_of(read_frame(100, 0, 10, 1)));  // vdisk 1 is on host 2
    tarn_wire_put_u64(r.data(), TARN_DS_REQ_LOCATION_TOKEN, lc_cdisk_vdisk(cd(), 1, 0).token);  // another fs
    EXPECT_EQ(TARN_DS_NOT_MOUNTED, status_of(r));
    o = call(read_frame(999, 0, 10));
    EXPECT_EQ(TARN_DS_NOT_FOUND, o.status());
    EXPECT_EQ(32u, o.reply.size());
    EXPECT_EQ(TARN_DS_OK, status_of(read_frame(100, 0, 10)));

    // 6: names inside the frame, after the object check.
    Bytes g = frame(file_req(TARN_DS_GET_XATTR, 999), 512);
    tarn_wire_put_u32(g.data(), TARN_DS_GET_XATTR_MAX_REPLY, 1000);
    memset(g.data() + TARN_DS_GET_XATTR_NAME, 'x', 512 - TARN_DS_GET_XATTR_NAME);
    EXPECT_EQ(TARN_DS_NOT_FOUND, status_of(g));
    tarn_wire_put_u64(g.data(), TARN_DS_REQ_FILE_ID, 100);
    EXPECT_EQ(TARN_DS_INVAL, status_of(g));
    // Objects are the MDS's to make and free.
    EXPECT_EQ(TARN_DS_PERM, status_of(frame(file_req(TARN_DS_REMOVE, 100), TARN_DS_REMOVE_REQ_BYTES)));
    EXPECT_EQ(TARN_DS_PERM, status_of(frame(file_req(TARN_DS_CREATE_FILE, 5000), TARN_DS_CREATE_REQ_BYTES)));
    EXPECT_EQ(TARN_DS_NOT_MOUNTED,
              status_of(frame({.type = TARN_DS_CREATE_FILE, .token = 5, .file_id = 1}, TARN_DS_CREATE_REQ_BYTES)));
}

// ---------------------------------------------------------------- data

TEST_F(DsTest, WriteAndReadRoundTrips) {
    place(100);
    Bytes w = write_frame(100, 8192, "hello");
    // Garbage in the padding is never looked at.
    memset(w.data() + TARN_DS_WRITE_HDR_BYTES + 5, 0xEE, w.size() - TARN_DS_WRITE_HDR_BYTES - 5);
    ASSERT_EQ(1024u, w.size());
    Outcome o = call(w);
    ASSERT_EQ(TARN_DS_OK, o.status());
    ASSERT_EQ(TARN_DS_WRITE_REP_MIN, o.reply.size());
    EXPECT_EQ(5u, o.u32(TARN_DS_WRITE_REP_COUNT));
    const uint8_t* wcc = o.reply.data() + TARN_DS_WRITE_REP_WCC;
    EXPECT_EQ(TARN_WIRE_PRESENT, wcc[TARN_WCC_PRE_PRESENT]);
    EXPECT_EQ(0u, tarn_wire_get_u64(wcc, TARN_WCC_PRE_VALUE));
    EXPECT_EQ(TARN_WIRE_PRESENT, wcc[TARN_WCC_POST + TARN_POST_OP_PRESENT]);
    EXPECT_EQ(8197u, tarn_wire_get_u64(wcc, TARN_WCC_POST + TARN_POST_OP_VALUE1));       // size
    EXPECT_EQ(4096u, tarn_wire_get_u64(wcc, TARN_WCC_POST + TARN_POST_OP_VALUE2));       // space used
    EXPECT_EQ(100u, tarn_wire_get_u64(wcc, TARN_WCC_POST + TARN_POST_OP_VALUE3));        // file id
    EXPECT_EQ(disk_attrs(100).mtime, tarn_wire_get_u64(wcc, TARN_WCC_POST + TARN_POST_OP_TIME1));
    uint64_t verifier = o.u64(TARN_DS_WRITE_REP_VERIFIER);
    EXPECT_NE(0u, verifier);

    // Read back: exactly 112 + n bytes, holes as zeros, the end of file.
    o = call(read_frame(100, 8190, 100));
    ASSERT_EQ(TARN_DS_OK, o.status());
    ASSERT_EQ(TARN_DS_READ_REP_DATA + 7, o.reply.size());
    EXPECT_EQ(7u, o.u32(TARN_DS_READ_REP_COUNT));
    EXPECT_EQ(TARN_DS_READ_FLAG_EOF, tarn_wire_get_u16(o.reply.data(), TARN_DS_READ_REP_FLAGS));
    EXPECT_EQ(std::string("\0\0hello", 7), read_data(o));
    EXPECT_EQ(8197u, tarn_wire_get_u64(o.reply.data(), TARN_DS_READ_REP_POST_OP + TARN_POST_OP_VALUE1));
    o = call(read_frame(100, 8190, 4));
    ASSERT_EQ(TARN_DS_READ_REP_DATA + 4, o.reply.size());
    EXPECT_EQ(0u, tarn_wire_get_u16(o.reply.data(), TARN_DS_READ_REP_FLAGS));
    o = call(read_frame(100, 9000, 4096));  // past the end
    ASSERT_EQ(TARN_DS_READ_REP_DATA, o.reply.size());
    EXPECT_EQ(0u, o.u32(TARN_DS_READ_REP_COUNT));
    EXPECT_EQ(TARN_DS_READ_FLAG_EOF, tarn_wire_get_u16(o.reply.data(), TARN_DS_READ_REP_FLAGS));

    // Length rules: the data must lie in the frame, with less than 512 bytes after it.
    Bytes bad = write_frame(100, 0, "x");
    bad.resize(512);
    tarn_wire_put_u32(bad.data(), TARN_MSG_LENGTH, 512);
    o = call(bad);
    EXPECT_EQ(TARN_DS_INVAL, o.status());
    ASSERT_EQ(TARN_DS_ERR_WCC_MIN, o.reply.size());  // the object exists: its wcc
    EXPECT_EQ(8197u, tarn_wire_get_u64(o.reply.data(), TARN_DS_ERR_WCC + TARN_WCC_PRE_VALUE));
    bad = write_frame(100, 0, "x");
    bad.resize(1536);
    tarn_wire_put_u32(bad.data(), TARN_MSG_LENGTH, 1536);
    EXPECT_EQ(TARN_DS_INVAL, status_of(bad));
    Bytes full = write_frame(100, 0, std::string(512, 'y'));  // exactly 512 + 512
    ASSERT_EQ(1024u, full.size());
    EXPECT_EQ(TARN_DS_OK, status_of(full));

    // A zero-length write changes nothing, not even past the end.
    o = call(write_frame(100, 1 << 20, ""));
    ASSERT_EQ(TARN_DS_OK, o.status());
    EXPECT_EQ(512u, write_frame(100, 0, "").size());
    EXPECT_EQ(0u, o.u32(TARN_DS_WRITE_REP_COUNT));
    EXPECT_EQ(8197u, disk_attrs(100).size);
    // Past the largest end: 13, nothing written.
    o = call(write_frame(100, 0x7fffffffffffffffull - 2, "abc"));
    EXPECT_EQ(TARN_DS_FILE_TOO_LARGE, o.status());
    EXPECT_EQ(TARN_DS_ERR_WCC_MIN, o.reply.size());

    // Unstable writes and commit: the same verifier until a restart.
    EXPECT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, "u", false)));
    o = call(frame(file_req(TARN_DS_COMMIT, 100), TARN_DS_COMMIT_REQ_BYTES));
    ASSERT_EQ(TARN_DS_OK, o.status());
    ASSERT_EQ(TARN_DS_COMMIT_REP_MIN, o.reply.size());
    EXPECT_EQ(verifier, o.u64(TARN_DS_COMMIT_REP_VERIFIER));
    EXPECT_EQ(8197u, tarn_wire_get_u64(o.reply.data(), TARN_DS_COMMIT_REP_WCC + TARN_WCC_POST + TARN_POST_OP_VALUE1));
}

TEST_F(DsTest, AttributesAndRanges) {
    place(100);
    Outcome o = call(get_attrs_frame(100));
    ASSERT_EQ(TARN_DS_OK, o.status());
    ASSERT_EQ(TARN_DS_GET_ATTRS_REP_MIN, o.reply.size());
    const uint8_t* a = o.reply.data() + TARN_DS_GET_ATTRS_REP_ATTRS;
    EXPECT_EQ(100u, tarn_wire_get_u64(a, TARN_DS_ATTR_INODE_NUM));
    EXPECT_EQ(0644u, tarn_wire_get_u32(a, TARN_DS_ATTR_MODE));
    EXPECT_EQ(1u, tarn_wire_get_u32(a, TARN_DS_ATTR_NLINKS));
    EXPECT_EQ(7u, tarn_wire_get_u32(a, TARN_DS_ATTR_UID));
    EXPECT_EQ(8u, tarn_wire_get_u32(a, TARN_DS_ATTR_GID));
    uint64_t ctime = tarn_wire_get_u64(a, TARN_DS_ATTR_CTIME);
    EXPECT_EQ(0u, tarn_wire_get_u64(a, TARN_DS_ATTR_CTIME + 8));

    // set_attrs with the DS mask: mode, size and an explicit mtime, guarded.
    Bytes s = frame(file_req(TARN_DS_SET_ATTRS, 100), TARN_DS_SET_ATTRS_REQ_BYTES);
    uint8_t* u = s.data() + TARN_DS_SET_ATTRS_UPDATE;
    tarn_wire_put_u32(u, TARN_DS_UPDATE_MASK, TARN_DS_SET_MODE | TARN_DS_SET_SIZE | TARN_DS_SET_MTIME);
    tarn_wire_put_u32(u + TARN_DS_UPDATE_ATTR, TARN_DS_ATTR_MODE, 0100357);
    tarn_wire_put_u64(u + TARN_DS_UPDATE_ATTR, TARN_DS_ATTR_SIZE, 10000);
    tarn_wire_put_u64(u + TARN_DS_UPDATE_ATTR, TARN_DS_ATTR_MTIME, 123456789);
    tarn_wire_put_u64(s.data(), TARN_DS_SET_ATTRS_GUARD, ctime + 1);
    o = call(s);
    EXPECT_EQ(TARN_DS_CONFLICT, o.status());
    ASSERT_EQ(TARN_DS_ERR_WCC_MIN, o.reply.size());
    EXPECT_EQ(0644u, disk_attrs(100).mode);
    tarn_wire_put_u64(s.data(), TARN_DS_SET_ATTRS_GUARD, ctime);
    o = call(s);
    ASSERT_EQ(TARN_DS_OK, o.status());
    ASSERT_EQ(TARN_DS_SET_ATTRS_REP_MIN, o.reply.size());
    EXPECT_EQ(10000u, tarn_wire_get_u64(o.reply.data(), TARN_DS_SET_ATTRS_REP_WCC + TARN_WCC_POST + TARN_POST_OP_VALUE1));
    EXPECT_EQ(123456789u, tarn_wire_get_u64(o.reply.data(), TARN_DS_SET_ATTRS_REP_WCC + TARN_WCC_POST + TARN_POST_OP_TIME1));
    o = call(get_attrs_frame(100));
    EXPECT_EQ(0357u, tarn_wire_get_u32(o.reply.data() + TARN_DS_GET_ATTRS_REP_ATTRS, TARN_DS_ATTR_MODE));
    EXPECT_EQ(10000u, tarn_wire_get_u64(o.reply.data() + TARN_DS_GET_ATTRS_REP_ATTRS, TARN_DS_ATTR_SIZE));
    EXPECT_EQ(0u, tarn_wire_get_u64(o.reply.data() + TARN_DS_GET_ATTRS_REP_ATTRS, TARN_DS_ATTR_SPACE_USED));

    // modify_range: allocate, in the checking order of the op.
    auto range = [&](uint32_t op, uint64_t off, uint64_t len) {
        Bytes f = frame(file_req(TARN_DS_MODIFY_RANGE, 100), TARN_DS_MODIFY_REQ_BYTES);
        tarn_wire_put_u32(f.data(), TARN_DS_MODIFY_OP, op);
        tarn_wire_put_u64(f.data(), TARN_DS_MODIFY_OFFSET, off);
        tarn_wire_put_u64(f.data(), TARN_DS_MODIFY_LENGTH, len);
        Outcome r = call(f);
        EXPECT_EQ(32u, r.reply.size());
        return r.status();
    };
    EXPECT_EQ(TARN_DS_OK, range(TARN_DS_MODIFY_ALLOCATE, 12345, 100500));
    EXPECT_EQ(uint64_t((12345 + 100500 + 4095) / 4096 - 12345 / 4096) * 4096, disk_attrs(100).space_used);
    EXPECT_EQ(TARN_DS_INVAL, range(TARN_DS_MODIFY_ALLOCATE, 0, 0));
    EXPECT_EQ(TARN_DS_FILE_TOO_LARGE, range(TARN_DS_MODIFY_ALLOCATE, ~0ull - 5, 10));
    EXPECT_EQ(TARN_DS_NO_SPACE, range(TARN_DS_MODIFY_ALLOCATE, 0, 32ull << 30));  // more than the 16 GiB pool
    EXPECT_EQ(TARN_DS_INVAL, range(2, 0, 4096));
    EXPECT_EQ(112845u, disk_attrs(100).size);
}

TEST_F(DsTest, Xattrs) {
    place(100);
    auto set = [&](const std::string& name, const std::string& value, uint16_t mode, size_t nlen_fix = 0) {
        Bytes f = frame(file_req(TARN_DS_SET_XATTR, 100), TARN_DS_SET_XATTR_HDR_BYTES + name.size() + value.size());
        tarn_wire_put_u16(f.data(), TARN_DS_SET_XATTR_MODE, mode);
        tarn_wire_put_u32(f.data(), TARN_DS_SET_XATTR_NAME_LEN, uint32_t(nlen_fix ? nlen_fix : name.size() + 1));
        tarn_wire_put_u32(f.data(), TARN_DS_SET_XATTR_VALUE_LEN, uint32_t(value.size()));
        memcpy(f.data() + TARN_DS_SET_XATTR_NAME, name.c_str(), name.size() + 1);
        memcpy(f.data() + TARN_DS_SET_XATTR_HDR_BYTES + name.size(), value.data(), value.size());
        Outcome r = call(f);
        EXPECT_EQ(32u, r.reply.size());
        return r.status();
    };
    auto get = [&](const std::string& name, uint32_t capacity) {
        Bytes f = frame(file_req(TARN_DS_GET_XATTR, 100), TARN_DS_GET_XATTR_REQ_BYTES + name.size());
        tarn_wire_put_u32(f.data(), TARN_DS_GET_XATTR_MAX_REPLY, capacity + 40);
        memcpy(f.data() + TARN_DS_GET_XATTR_NAME, name.c_str(), name.size() + 1);
        return call(f);
    };
    auto list = [&](uint32_t largest) {
        Bytes f = frame(file_req(TARN_DS_LIST_XATTRS, 100), TARN_DS_LIST_XATTRS_REQ_BYTES);
        tarn_wire_put_u32(f.data(), TARN_DS_LIST_XATTRS_MAX_REPLY, largest);
        return call(f);
    };
    EXPECT_EQ(TARN_DS_OK, set("user.b", "value", 0));
    EXPECT_EQ(TARN_DS_OK, set("user.a", "", 1));
    EXPECT_EQ(TARN_DS_EXISTS, set("user.a", "x", 1));
    EXPECT_EQ(TARN_DS_NOT_FOUND, set("user.c", "x", 2));
    EXPECT_EQ(TARN_DS_INVAL, set("user.c", "x", 3));
    EXPECT_EQ(TARN_DS_TOO_BIG, set(std::string(256, 'n'), "x", 0));
    EXPECT_EQ(TARN_DS_TOO_BIG, set("user.big", std::string(65536, 'v'), 0));
    EXPECT_EQ(TARN_DS_INVAL, set("user.c", "x", 0, 100000));  // name length past the frame
    EXPECT_EQ(TARN_DS_INVAL, set("user.c", "x", 0, 3));       // no zero at the name's end

    Outcome o = get("user.b", 5);
    ASSERT_EQ(TARN_DS_OK, o.status());
    ASSERT_EQ(TARN_DS_GET_XATTR_REP_VALUE + 5, o.reply.size());
    EXPECT_EQ(5u, o.u32(TARN_DS_GET_XATTR_REP_LEN));
    EXPECT_EQ("value", std::string(o.reply.begin() + TARN_DS_GET_XATTR_REP_VALUE, o.reply.end()));
    o = get("user.b", 4);
    EXPECT_EQ(TARN_DS_BUFFER_TOO_SMALL, o.status());
    ASSERT_EQ(TARN_DS_GET_XATTR_ERR_MIN, o.reply.size());
    EXPECT_EQ(5u, o.u32(TARN_DS_GET_XATTR_ERR_NEEDED));
    o = get("user.a", 0);  // an empty value fits capacity 0
    EXPECT_EQ(TARN_DS_OK, o.status());
    EXPECT_EQ(TARN_DS_GET_XATTR_REP_VALUE, o.reply.size());
    o = get("user.zz", 100);
    EXPECT_EQ(TARN_DS_NOT_FOUND, o.status());
    EXPECT_EQ(32u, o.reply.size());

    o = list(4194816);
    ASSERT_EQ(TARN_DS_OK, o.status());
    EXPECT_EQ(std::string("user.a\0user.b\0", 14), std::string(o.reply.begin() + 32, o.reply.end()));
    o = list(32 + 13);
    EXPECT_EQ(TARN_DS_BUFFER_TOO_SMALL, o.status());
    EXPECT_EQ(32u, o.reply.size());

    Bytes rm = frame(file_req(TARN_DS_REMOVE_XATTR, 100), TARN_DS_REMOVE_XATTR_REQ_BYTES + 6);
    memcpy(rm.data() + TARN_DS_REMOVE_XATTR_NAME, "user.a", 7);
    o = call(rm);
    EXPECT_EQ(TARN_DS_OK, o.status());
    EXPECT_EQ(32u, o.reply.size());
    EXPECT_EQ(TARN_DS_NOT_FOUND, status_of(rm));

    // The per-object quota.
    std::string v(60000, 'q');
    EXPECT_EQ(TARN_DS_OK, set("user.q1", v, 0));
    EXPECT_EQ(TARN_DS_NO_SPACE, set("user.q2", std::string(6000, 'q'), 0));
}

// ---------------------------------------------------------------- plain messages and mounts

// With the ds-xattr-mds-status rule broken, only the status of the
// too-small answer changes: to the metadata server's number for it.
TEST_F(DsTest, TooSmallXattrAnswerUnderTheMdsStatusBreak) {
    for (bool broken : {false, true}) {
        SCOPED_TRACE(broken ? "broken" : "kept");
        localcluster::ClusterConfig c;
        c.fs.push_back({"tarn", 0x1001});
        c.breaks = broken ? uint64_t(LC_BREAK_DS_XATTR_MDS_STATUS) : 0u;
        client_.reset();
        eps_.clear();
        cluster_.reset();
        start(c);
        lc_cdisk_set_mds_sink(cd(), kFs, nullptr, nullptr);
        place(100);
        ASSERT_EQ(LC_DS_OK, lc_ds_disk_xattr_set(lc_cdisk_vdisk_disk(cd(), kFs, 0), 100, 0, "user.a", "value", 5, 0));
        const std::string name = "user.a";
        Bytes f = frame(file_req(TARN_DS_GET_XATTR, 100), TARN_DS_GET_XATTR_REQ_BYTES + name.size());
        tarn_wire_put_u32(f.data(), TARN_DS_GET_XATTR_MAX_REPLY, 4 + 40);
        memcpy(f.data() + TARN_DS_GET_XATTR_NAME, name.c_str(), name.size() + 1);
        Outcome o = call(f);
        EXPECT_EQ(broken ? uint32_t(TARN_MDS_TOO_BIG) : uint32_t(TARN_DS_BUFFER_TOO_SMALL), o.status());
        ASSERT_EQ(TARN_DS_GET_XATTR_ERR_MIN, o.reply.size());
        EXPECT_EQ(5u, o.u32(TARN_DS_GET_XATTR_ERR_NEEDED));
    }
}

TEST_F(DsTest, PlainMessages) {
    place(100, 3);  // vdisk 3 is on host 1 too
    EXPECT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, std::string(5000, 'z'), true, 3)));

    Bytes u = frame({.type = TARN_DS_VDISK_USAGE_CTL}, TARN_DS_USAGE_REQ_BYTES);
    tarn_wire_put_u64(u.data(), TARN_DS_USAGE_VALUE, 3);
    Outcome o = call(u);
    ASSERT_EQ(TARN_DS_OK, o.status());
    ASSERT_EQ(TARN_DS_USAGE_REP_MIN, o.reply.size());
    const uint8_t* b = o.reply.data() + TARN_DS_USAGE_REP_BLOCK;
    EXPECT_EQ(16ull << 30, tarn_wire_get_u64(b, TARN_DS_USAGE_POOL_TOTAL));
    EXPECT_EQ((16ull << 30) - 8192, tarn_wire_get_u64(b, TARN_DS_USAGE_POOL_FREE));
    EXPECT_EQ(8192u, tarn_wire_get_u64(b, TARN_DS_USAGE_ALLOCATED));
    EXPECT_EQ(1u, tarn_wire_get_u64(b, TARN_DS_USAGE_OBJECTS));
    for (size_t i = 32; i < TARN_DS_USAGE_BYTES; i++) EXPECT_EQ(0, b[i]);
    EXPECT_EQ(TARN_DS_USAGE_FLAG_MOUNTED, o.u32(TARN_DS_USAGE_REP_FLAGS));
    tarn_wire_put_u64(u.data(), TARN_DS_USAGE_VALUE, 1);  // placed on host 2
    EXPECT_EQ(TARN_DS_INVAL, status_of(u));

    Bytes rp = frame({.type = TARN_DS_REPLICATE}, TARN_DS_REPLICATE_REQ_BYTES);
    tarn_wire_put_u32(rp.data(), TARN_DS_REPLICATE_MAX_REPLY, 1000);
    tarn_wire_put_u64(rp.data(), TARN_DS_REPLICATE_COOKIE, 0xc00c1e);
    o = call(rp);
    ASSERT_EQ(TARN_DS_OK, o.status());
    ASSERT_EQ(TARN_DS_REPLICATE_REP_MIN, o.reply.size());
    EXPECT_EQ(0xc00c1eu, o.u64(TARN_DS_REPLICATE_REP_COOKIE));
    EXPECT_EQ(0u, o.u32(TARN_DS_REPLICATE_REP_COUNT));

    Bytes rr = frame({.type = TARN_DS_REPL_RECOVERY}, TARN_DS_RECOVERY_HDR_BYTES + 3);
    tarn_wire_put_u32(rr.data(), TARN_DS_RECOVERY_LEN, 3);
    o = call(rr);
    EXPECT_EQ(TARN_DS_OK, o.status());
    EXPECT_EQ(32u, o.reply.size());

    EXPECT_EQ(TARN_DS_INVAL, status_of(test_frame(TARN_DS_TEST_DISABLE_REPLICATION, false)));
    EXPECT_EQ(TARN_DS_INVAL, status_of(test_frame(3)));

    // Mount and unmount: vdisks of this host only, all or nothing.
    auto mount = [&](uint32_t type, std::vector<uint64_t> ids, uint32_t count_fix = 0) {
        Bytes f = frame({.type = type}, TARN_DS_MOUNT_REQ_BYTES + 8 * ids.size());
        tarn_wire_put_u32(f.data(), TARN_DS_MOUNT_COUNT, count_fix ? count_fix : uint32_t(ids.size()));
        for (size_t i = 0; i < ids.size(); i++) tarn_wire_put_u64(f.data(), TARN_DS_MOUNT_ITEMS + 8 * i, ids[i]);
        Outcome r = call(f);
        EXPECT_EQ(32u, r.reply.size());
        return r.status();
    };
    uint64_t t0 = token(0), t3 = token(3);
    EXPECT_EQ(TARN_DS_INVAL, mount(TARN_DS_UNMOUNT_VDISK, {0, 1}));
    EXPECT_TRUE(lc_cdisk_vdisk(cd(), kFs, 0).mounted);
    EXPECT_EQ(TARN_DS_INVAL, mount(TARN_DS_UNMOUNT_VDISK, {0}, 100));  // items past the frame
    EXPECT_EQ(TARN_DS_OK, mount(TARN_DS_UNMOUNT_VDISK, {3}));
    EXPECT_EQ(TARN_DS_NOT_MOUNTED, status_of(read_frame(100, 0, 10, 3)));
    EXPECT_EQ(LC_HEALTH_DEGRADED, lc_cdisk_health(cd(), kFs) & LC_HEALTH_DEGRADED);
    EXPECT_EQ(TARN_DS_OK, mount(TARN_DS_MOUNT_VDISK, {0, 3}));
    EXPECT_NE(t0, token(0));  // every mount issues a new token
    EXPECT_NE(t3, token(3));
    EXPECT_EQ(t3 + 1, token(3));
    Bytes stale = read_frame(100, 0, 10, 3);
    tarn_wire_put_u64(stale.data(), TARN_DS_REQ_LOCATION_TOKEN, t3);
    EXPECT_EQ(TARN_DS_NOT_MOUNTED, status_of(stale));
    EXPECT_EQ(TARN_DS_OK, status_of(read_frame(100, 0, 10, 3)));
    EXPECT_EQ(0u, lc_cdisk_health(cd(), kFs) & LC_HEALTH_DEGRADED);
}

TEST_F(DsTest, ControlUnmountAndReportedVdisksMountAgain) {
    place(100);
    uint64_t old = token(0);
    EXPECT_NE(std::string::npos, ctl("vdisk unmount tarn 0").find("\"mounted\":false"));
    EXPECT_EQ(TARN_DS_NOT_MOUNTED, status_of(read_frame(100, 0, 1)));
    EXPECT_EQ(old, token(0));  // the map keeps listing the last token
    // A report naming the wrong host changes nothing; the right one mounts.
    EXPECT_FALSE(lc_cdisk_report_unmounted(cd(), kFs, 0, 0xa2));
    EXPECT_TRUE(lc_cdisk_report_unmounted(cd(), kFs, 0, 0xa1));
    EXPECT_FALSE(lc_cdisk_report_unmounted(cd(), kFs, 0, 0xa1));  // mounted now: nothing
    EXPECT_EQ(old + 1, token(0));
    EXPECT_EQ(TARN_DS_OK, status_of(read_frame(100, 0, 1)));
    std::string r = ctl("vdisk mount tarn 0");
    EXPECT_NE(std::string::npos, r.find("\"mounted\":true")) << r;
    EXPECT_EQ(old + 2, token(0));
    EXPECT_EQ(0u, ctl("vdisk mount tarn 6").find("{\"ok\":false"));
    EXPECT_EQ(0u, ctl("vdisk unmount nofs 0").find("{\"ok\":false"));

    // The map lists every vdisk with its host and the instance's port.
    std::vector<lc_cdisk_map_entry> map;
    lc_cdisk_vdisk_map(cd(), kFs, &map);
    ASSERT_EQ(6u, map.size());
    for (uint32_t v = 0; v < 6; v++) {
        EXPECT_EQ(token(v), map[v].token);
        EXPECT_EQ(0xa1 + v % 3, map[v].host_id);
        EXPECT_EQ(0x7F000001u, map[v].ipv4);
        EXPECT_EQ(port(int(v % 3) + 1), map[v].port);
    }
}

// ---------------------------------------------------------------- faults

TEST_F(DsTest, FaultRulesOnTheDataServer) {
    place(100);
    place(101, 3);
    EXPECT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, std::string(100, 'a'))));
    auto add = [&](const std::string& rule) {
        std::string r = ctl("fault add " + rule);
        EXPECT_EQ(0u, r.find("{\"ok\":true")) << r;
    };
    add("ds:tarn type=4108 vdisk=3 status=12 count=1");
    EXPECT_EQ(TARN_DS_OK, status_of(read_frame(100, 0, 10)));  // vdisk 0: not matched
    Outcome o = call(read_frame(101, 0, 10, 3));
    EXPECT_EQ(TARN_DS_NO_SPACE, o.status());
    EXPECT_EQ(32u, o.reply.size());

    add("ds:tarn type=4108 overdata count=1");
    o = call(read_frame(100, 0, 10));
    ASSERT_EQ(TARN_DS_OK, o.status());
    EXPECT_EQ(11u, o.u32(TARN_DS_READ_REP_COUNT));
    EXPECT_EQ(TARN_DS_READ_REP_DATA + 11, o.reply.size());
    EXPECT_EQ(std::string(10, 'a') + '\0', read_data(o));

    add("ds:tarn type=4114 short=50 count=1");
    o = call(get_attrs_frame(100));
    EXPECT_EQ(50u, o.reply.size());
    EXPECT_EQ(50u, o.u32(TARN_MSG_LENGTH));

    add("ds host=a1 type=4110 drop count=1");
    o = call(write_frame(100, 0, "b"));
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), o.error & KIV_E_CODE_MASK);
    o = call(read_frame(100, 0, 1));
    EXPECT_EQ("a", read_data(o));  // dropped unexecuted

    add("ds:tarn type=4112 rterr=29 count=1");
    o = call(frame(file_req(TARN_DS_COMMIT, 100), TARN_DS_COMMIT_REQ_BYTES));
    EXPECT_EQ(uint32_t(KIV_E_PEER | 29), o.error);

    add("ds:tarn type=4116 apply-drop count=1");
    Bytes s = frame(file_req(TARN_DS_SET_ATTRS, 100), TARN_DS_SET_ATTRS_REQ_BYTES);
    tarn_wire_put_u32(s.data() + TARN_DS_SET_ATTRS_UPDATE, TARN_DS_UPDATE_MASK, TARN_DS_SET_MODE);
    tarn_wire_put_u32(s.data() + TARN_DS_SET_ATTRS_UPDATE + TARN_DS_UPDATE_ATTR, TARN_DS_ATTR_MODE, 0600);
    o = call(s);
    EXPECT_TRUE(o.reply.empty());
    EXPECT_EQ(0600u, disk_attrs(100).mode);  // executed all the same

    // refuse= closes the listener for a while: connects are refused, then
    // the instance listens again on its port.
    uint16_t p = port(1);
    add("ds:tarn host=a1 type=4102 refuse=300 count=1");
    auto sent = Clock::now();
    o = call(frame({}, 48));
    EXPECT_TRUE(o.reply.empty());
    expect_refused(p, sent, 300);
    cluster_->wait_idle();
    EXPECT_EQ(0, raw_connect(p));
    EXPECT_EQ(TARN_DS_OK, status_of(frame({}, 48)));

    EXPECT_EQ(0u, ctl("fault add ds status=16").find("{\"ok\":false"));
    EXPECT_EQ(0u, ctl("fault add ds op=1 drop").find("{\"ok\":false"));
}

// Writes run on worker threads and their replies reach the loop later, so
// a drop or an apply-drop pipelined behind them finds them in flight: the
// connection must close only once their replies are out, read nothing
// after the drop, and end so that the client reads every one of them, then
// the end of the stream, though it keeps sending more writes behind it.
TEST_F(DsTest, ADropKeepsTheRepliesOfTheWritesBeforeIt) {
    constexpr uint32_t kWrites = 1000, kBehind = 2000, kPage = 4096;
    constexpr uint64_t kNoopXid = 100000;
    auto page = [](uint32_t i) { return std::string(kPage, char('a' + i % 26)); };
    uint64_t id = 100;
    for (const char* action : {"drop", "apply-drop"}) {
        SCOPED_TRACE(action);
        place(++id);
        char rule[112];
        snprintf(rule, sizeof rule, "fault add ds:tarn host=a1 type=%u client=%llx %s count=1", unsigned(TARN_DS_NOOP),
                 (unsigned long long)kClient, action);
        ASSERT_EQ(0u, ctl(rule).find("{\"ok\":true"));
        Bytes all;
        for (uint32_t i = 0; i < kWrites + kBehind; i++) {
            if (i == kWrites) {
                Bytes noop = frame({}, 48);
                tarn_wire_put_u64(noop.data(), TARN_MSG_XID, kNoopXid);
                all.insert(all.end(), noop.begin(), noop.end());
            }
            Bytes w = write_frame(id, uint64_t(i) * kPage, page(i));
            tarn_wire_put_u64(w.data(), TARN_MSG_XID, i + 1);
            all.insert(all.end(), w.begin(), w.end());
        }

        struct Sock {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ~Sock() {
                if (fd >= 0) close(fd);
            }
        } sock;
        ASSERT_GE(sock.fd, 0);
        // A slow reader with a small window: the replies wait on the
        // server's side.
        int rcvbuf = 4096;
        setsockopt(sock.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port(1));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, connect(sock.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa)) << strerror(errno);
        rttest::PipelineEnd end = rttest::pipeline(sock.fd, all, 1024);
        EXPECT_EQ(0, end.error) << "not closed with an end of stream: " << strerror(end.error);
        EXPECT_EQ(0u, end.cut) << "a reply cut short";

        // Workers answer in whatever order they finish: each earlier write
        // once, the dropped no-op never, and nothing behind it (the no-op
        // is answered on the loop as it is taken, so an apply-drop drains
        // there too, before the frames behind it).
        std::vector<uint64_t> sorted, want;
        size_t failed = 0;
        for (const Bytes& f : end.frames) {
            sorted.push_back(tarn_wire_get_u64(f.data(), TARN_MSG_XID));
            if (f.size() < TARN_REPLY_HDR_BYTES || tarn_wire_get_u32(f.data(), TARN_REPLY_STATUS) != TARN_DS_OK)
                failed++;
        }
        std::sort(sorted.begin(), sorted.end());
        for (uint64_t x = 1; x <= kWrites; x++) want.push_back(x);
        std::string missing;
        for (uint64_t x : want)
            if (!std::binary_search(sorted.begin(), sorted.end(), x)) missing += " " + std::to_string(x);
        EXPECT_EQ(want, sorted) << sorted.size() << " replies of " << kWrites << "; missing:" << missing;
        EXPECT_EQ(0u, failed);
        Outcome o = call(read_frame(id, 0, kWrites * kPage));
        ASSERT_EQ(TARN_DS_OK, o.status());
        std::string data = read_data(o);
        ASSERT_EQ(size_t(kWrites) * kPage, data.size());
        for (uint32_t i = 0; i < kWrites; i++)
            ASSERT_EQ(page(i), data.substr(size_t(i) * kPage, kPage)) << "page " << i;
        EXPECT_NE(std::string::npos, ctl("fault list").find("\"fired\":1,"));
        ASSERT_EQ(0u, ctl("fault clear").find("{\"ok\":true"));
    }
}

// ---------------------------------------------------------------- replication

TEST_F(DsTest, WritesReachTheMdsBeforeTheReply) {
    FakeMds mds;
    place(100);
    EXPECT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, "x")));  // no MDS yet: dirty
    EXPECT_EQ(LC_HEALTH_REPL_BACKLOG, lc_cdisk_health(cd(), kFs) & LC_HEALTH_REPL_BACKLOG);
    lc_cdisk_set_mds_sink(cd(), kFs, FakeMds::apply, &mds);  // the MDS comes up: catch-up
    cluster_->wait_idle();
    EXPECT_EQ(0u, lc_cdisk_health(cd(), kFs));
    EXPECT_EQ(1u, mds.get(100).size);

    EXPECT_EQ(TARN_DS_OK, status_of(write_frame(100, 10, "abc")));
    lc_ds_attrs r = mds.get(100);
    EXPECT_EQ(13u, r.size);
    EXPECT_EQ(disk_attrs(100).attr_version, r.attr_version);
    EXPECT_EQ(disk_attrs(100).mtime, r.mtime);
}

TEST_F(DsTest, DisabledReplicationKeepsADurableDirtySetThroughACrash) {
    FakeMds mds;
    lc_cdisk_set_mds_sink(cd(), kFs, FakeMds::apply, &mds);
    place(100);
    place(103, 3);
    Outcome o = call(test_frame(TARN_DS_TEST_DISABLE_REPLICATION));
    ASSERT_EQ(TARN_DS_OK, o.status());
    EXPECT_EQ(32u, o.reply.size());
    EXPECT_TRUE(lc_cdisk_repl_disabled(cd(), kFs, 1));
    EXPECT_TRUE(lc_cdisk_ns_replication_disabled(lc_cdisk_fs_ctx(cd(), kFs), 3));
    EXPECT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, "12345")));
    EXPECT_EQ(TARN_DS_OK, status_of(write_frame(103, 0, "1", true, 3)));
    EXPECT_EQ(0u, mds.get(100).size);
    EXPECT_EQ(2u, lc_ds_disk_dirty_count(lc_cdisk_ds_disk(cd(), kFs, 1)));
    EXPECT_EQ(LC_HEALTH_REPL_BACKLOG, lc_cdisk_health(cd(), kFs));

    // The MDS is gone during the crash; the dirty set is on the disk.
    lc_cdisk_set_mds_sink(cd(), kFs, nullptr, nullptr);
    std::string r = ctl("ds crash a1 tarn 200");
    ASSERT_EQ(0u, r.find("{\"ok\":true")) << r;
    EXPECT_FALSE(lc_cdisk_repl_disabled(cd(), kFs, 1));  // the flag died with the instance
    EXPECT_EQ(2u, lc_ds_disk_dirty_count(lc_cdisk_ds_disk(cd(), kFs, 1)));
    ASSERT_TRUE(wait_phase(1, LC_DS_PHASE_UP));
    EXPECT_EQ(2u, lc_ds_disk_dirty_count(lc_cdisk_ds_disk(cd(), kFs, 1)));  // nobody to take it
    lc_cdisk_set_mds_sink(cd(), kFs, FakeMds::apply, &mds);
    cluster_->wait_idle();
    EXPECT_EQ(0u, lc_ds_disk_dirty_count(lc_cdisk_ds_disk(cd(), kFs, 1)));
    EXPECT_EQ(5u, mds.get(100).size);
    EXPECT_EQ(1u, mds.get(103).size);
    EXPECT_EQ(0u, lc_cdisk_health(cd(), kFs));
}

// Closing the connection that disabled replication turns it on again, with
// catch-up, unless that rule is broken on purpose: then it stays off, and
// only a restart or the control command turns it on.
TEST_F(DsTest, ClosingTheConnectionThatDisabledReplicationEnablesIt) {
    for (const bool broken : {false, true}) {
        SCOPED_TRACE(broken ? "repl-disable-outlives-connection" : "kept");
        if (broken) {
            localcluster::ClusterConfig c = config();
            c.breaks = LC_BREAK_REPL_DISABLE_OUTLIVES_CONNECTION;
            TearDown();
            eps_.clear();
            start(c);
        }
        FakeMds mds;
        lc_cdisk_set_mds_sink(cd(), kFs, FakeMds::apply, &mds);
        place(100);
        // The connections of host 1 once `other` is gone; a loop counts a
        // connection closed once it has handled the close.
        auto open_conns = [&] {
            const std::string list = loops_of(1);
            long n = 0;
            for (const char* p = list.c_str();;) {
                char* end = nullptr;
                const long v = strtol(p, &end, 10);
                if (end == p) break;
                n += v;
                p = *end == ',' ? end + 1 : end;
            }
            return n;
        };
        ASSERT_EQ(TARN_DS_OK, status_of(frame({}, 48)));
        const long without_other = open_conns();
        kiv_rpc_endpoint* other = client_->connect(port(1));
        ASSERT_EQ(TARN_DS_OK, client_->call(other, test_frame(TARN_DS_TEST_DISABLE_REPLICATION)).status());
        EXPECT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, "abc")));
        EXPECT_EQ(0u, mds.get(100).size);
        client_->drop(other);
        ASSERT_TRUE(lctest::wait_until([&] { return open_conns() == without_other; })) << open_conns();
        EXPECT_EQ(broken, lc_cdisk_repl_disabled(cd(), kFs, 1));
        if (broken) {
            cluster_->wait_idle();
            EXPECT_EQ(0u, mds.get(100).size);
            EXPECT_EQ(0u, ctl("repl enable 1 tarn").find("{\"ok\":true"));
        }
        cluster_->wait_idle();
        EXPECT_EQ(3u, mds.get(100).size);
        // The control command does the same; enabling catches up.
        EXPECT_EQ(0u, ctl("repl disable 1 tarn").find("{\"ok\":true"));
        EXPECT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, "abcd")));
        EXPECT_EQ(3u, mds.get(100).size);
        EXPECT_NE(std::string::npos, ctl("status").find("\"replication\":\"disabled\",\"dirty\":1"));
        EXPECT_EQ(0u, ctl("repl enable 1 tarn").find("{\"ok\":true"));
        cluster_->wait_idle();
        EXPECT_EQ(4u, mds.get(100).size);
        lc_cdisk_set_mds_sink(cd(), kFs, nullptr, nullptr);
    }
}

// ---------------------------------------------------------------- crash and restart

TEST_F(DsTest, CrashByTestCodeAndRestart) {
    // The outage lasts until the control ends it, so that a slow machine
    // cannot end it before the checks of the down instance.
    localcluster::ClusterConfig c = config();
    c.ds_down_ms = 4294967294u;
    TearDown();
    eps_.clear();
    start(c);
    lc_cdisk_set_mds_sink(cd(), kFs, nullptr, nullptr);
    place(100);
    place(101, 3);
    Outcome o = call(write_frame(100, 0, "acknowledged"));
    ASSERT_EQ(TARN_DS_OK, o.status());
    uint64_t verifier = o.u64(TARN_DS_WRITE_REP_VERIFIER);
    uint16_t p = port(1);
    uint64_t t0 = token(0), t3 = token(3), other_host = token(1);

    // The crash request is never answered: its connection drops.
    o = call(test_frame(TARN_DS_TEST_CRASH));
    EXPECT_TRUE(o.completed);
    EXPECT_TRUE(o.reply.empty());
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), o.error & KIV_E_CODE_MASK);
    ASSERT_TRUE(wait_phase(1, LC_DS_PHASE_DOWN));
    EXPECT_EQ(ECONNREFUSED, raw_connect(p));
    EXPECT_NE(0u, lc_cdisk_health(cd(), kFs) & LC_HEALTH_DEGRADED);
    EXPECT_FALSE(lc_cdisk_vdisk(cd(), kFs, 0).mounted);
    EXPECT_EQ(t0, token(0));  // the map keeps the last token
    EXPECT_NE(std::string::npos, ctl("status").find("\"port\":" + std::to_string(p) + ",\"state\":\"down\""));
    EXPECT_EQ(TARN_DS_OK, status_of(frame({}, 48), 2));  // other hosts serve on

    // Back on the same port: the no-op answers at once, from a new epoch
    // table (this client was known before), and old tokens get 7.
    ASSERT_EQ(0u, ctl("ds crash a1 tarn 10").find("{\"ok\":true"));
    ASSERT_TRUE(lctest::wait_until([&] { return lc_cdisk_ds_phase(cd(), kFs, 1) != LC_DS_PHASE_DOWN; }));
    EXPECT_EQ(TARN_DS_EPOCH_UNKNOWN, status_of(frame({.flags = 0}, 48)));
    EXPECT_EQ(TARN_DS_OK, status_of(frame({}, 48)));
    EXPECT_EQ(p, port(1));
    EXPECT_EQ(0, raw_connect(p));
    cluster_->wait_idle();
    // Mounted and recovered; only the backlog of the absent MDS is left.
    EXPECT_EQ(LC_HEALTH_REPL_BACKLOG, lc_cdisk_health(cd(), kFs));
    EXPECT_NE(t0, token(0));
    EXPECT_NE(t3, token(3));
    EXPECT_EQ(other_host, token(1));
    Bytes stale = read_frame(100, 0, 100);
    tarn_wire_put_u64(stale.data(), TARN_DS_REQ_LOCATION_TOKEN, t0);
    EXPECT_EQ(TARN_DS_NOT_MOUNTED, status_of(stale));
    o = call(read_frame(100, 0, 100));
    ASSERT_EQ(TARN_DS_OK, o.status());
    EXPECT_EQ("acknowledged", read_data(o));
    o = call(write_frame(100, 0, "A"));
    ASSERT_EQ(TARN_DS_OK, o.status());
    EXPECT_NE(verifier, o.u64(TARN_DS_WRITE_REP_VERIFIER));
    EXPECT_NE(std::string::npos, ctl("status").find("\"starts\":2"));
}

TEST_F(DsTest, HeldDownUntilRestartedAndRequestsNotStartedAreLost) {
    place(100);
    ASSERT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, "old")));
    // A write held by a delay rule has not started when the crash comes.
    ASSERT_EQ(0u, ctl("fault add ds:tarn type=4110 delay=2000 count=1").find("{\"ok\":true"));
    // The crash comes once the rule holds the write: one that came before
    // the write arrived would prove nothing about held requests.
    Pending* held = client_->start(ep(1), write_frame(100, 0, "new"));
    ASSERT_TRUE(lctest::wait_until([&] { return ctl("fault list").find("\"fired\":1") != std::string::npos; }))
        << ctl("fault list");
    std::string r = ctl("ds crash 1 all 4294967294");
    ASSERT_EQ(0u, r.find("{\"ok\":true,\"host\":\"00000000000000a1\",\"fs\":[\"tarn\",\"small\"]")) << r;
    Outcome o = held->wait(kGuardMs);
    EXPECT_TRUE(o.completed);
    EXPECT_TRUE(o.reply.empty());
    EXPECT_EQ(LC_DS_PHASE_DOWN, lc_cdisk_ds_phase(cd(), 1, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(LC_DS_PHASE_DOWN, lc_cdisk_ds_phase(cd(), kFs, 1));
    EXPECT_EQ(ECONNREFUSED, raw_connect(port(1)));
    char buf[4];
    uint32_t n = 0;
    bool eof = false;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_read(lc_cdisk_ds_disk(cd(), kFs, 1), 100, 0, 0, 3, reinterpret_cast<uint8_t*>(buf),
                                        &n, &eof, nullptr));
    EXPECT_EQ("old", std::string(buf, n));
    // A report cannot mount a vdisk of a down instance, nor can the control.
    EXPECT_FALSE(lc_cdisk_report_unmounted(cd(), kFs, 0, 0xa1));
    EXPECT_EQ(0u, ctl("vdisk mount tarn 0").find("{\"ok\":false"));
    EXPECT_EQ(0u, ctl("ds crash 9 tarn").find("{\"ok\":false"));
    // A new crash with a short outage brings it back.
    ASSERT_EQ(0u, ctl("ds crash a1 tarn 10").find("{\"ok\":true"));
    ASSERT_EQ(0u, ctl("ds crash a1 small 10").find("{\"ok\":true"));
    cluster_->wait_idle();
    EXPECT_EQ(LC_DS_PHASE_UP, lc_cdisk_ds_phase(cd(), kFs, 1));
    EXPECT_EQ(TARN_DS_OK, status_of(read_frame(100, 0, 3)));
}

TEST_F(DsTest, AcknowledgedDataSurvivesCrashesInBothReplyModes) {
    place(100);
    for (const char* mode : {"drop", "flush"}) {
        EXPECT_EQ(std::string("{\"ok\":true,\"crash_replies\":\"") + mode + "\"}",
                  ctl(std::string("crash-replies ") + mode));
        // Many writes in flight when the crash comes: each either answered
        // (and then on the disk) or lost with the connection.
        std::vector<Pending*> writes;
        for (int i = 0; i < 64; i++)
            writes.push_back(client_->start(ep(1), write_frame(100, uint64_t(i) * 4096, std::string(4096, char('a' + i % 26)))));
        ctl("ds crash 1 tarn 50");
        for (int i = 0; i < 64; i++) {
            Outcome o = writes[size_t(i)]->wait(kGuardMs);
            ASSERT_TRUE(o.completed);
            if (o.status() != TARN_DS_OK) continue;
            char c = 0;
            uint32_t n = 0;
            bool eof;
            ASSERT_EQ(LC_DS_OK, lc_ds_disk_read(lc_cdisk_ds_disk(cd(), kFs, 1), 100, 0, uint64_t(i) * 4096 + 7, 1,
                                                reinterpret_cast<uint8_t*>(&c), &n, &eof, nullptr));
            EXPECT_EQ(char('a' + i % 26), c) << mode << " write " << i;
        }
        cluster_->wait_idle();
        EXPECT_EQ(TARN_DS_OK, status_of(read_frame(100, 0, 1)));
    }
    EXPECT_EQ(0u, ctl("crash-replies sometimes").find("{\"ok\":false"));
}

// Reads in flight when a crash comes, small ones served on the loop and
// large ones on the workers, in both reply modes: each completes once,
// either with exactly the data asked for or with its connection lost.
TEST_F(DsTest, ReadsInFlightThroughACrashInBothReplyModes) {
    constexpr uint32_t kPages = 256;
    place(100);
    for (uint32_t pg = 0; pg < kPages; pg += 64) {
        std::string chunk;
        for (uint32_t i = pg; i < pg + 64; i++) chunk += std::string(4096, char('a' + i % 26));
        ASSERT_EQ(TARN_DS_OK, status_of(write_frame(100, uint64_t(pg) * 4096, chunk)));
    }
    struct Case {
        const char* mode;
        uint32_t pages;  // per read
    };
    const Case cases[] = {{"drop", 1}, {"flush", 1}, {"drop", 32}, {"flush", 32}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.mode << ", " << k.pages << " pages a read");
        ASSERT_EQ(0u, ctl(std::string("crash-replies ") + k.mode).find("{\"ok\":true"));
        std::vector<kiv_rpc_endpoint*> eps;
        for (int i = 0; i < 4; i++) eps.push_back(client_->connect(port(1)));
        // The reads are queued all at once, and a loaded machine takes far
        // more than the usual 10 s to serve the last of them: a reply
        // time-out of its own would end it before the crash does, so the
        // time-outs are hang guards.
        std::vector<std::pair<uint32_t, Pending*>> reads;
        for (uint32_t i = 0; i < 1000 / kScale; i++) {
            uint32_t pg = (i * 37) % (kPages - k.pages + 1);
            reads.emplace_back(pg, client_->start(eps[i % eps.size()],
                                                  read_frame(100, uint64_t(pg) * 4096, k.pages * 4096), kGuardMs));
        }
        // Some answered already, the rest still coming. The connections are
        // served by different loops, so one read's answer says nothing of
        // those sent before it on another connection.
        for (size_t i = 0; i <= 50; i++) ASSERT_TRUE(reads[i].second->wait(kGuardMs + 5000).completed);
        ctl("ds crash 1 tarn 50");
        int answered = 0;
        for (auto& [pg, p] : reads) {
            Outcome o = p->wait(kGuardMs + 5000);
            ASSERT_TRUE(o.completed);
            if (o.reply.empty()) {
                EXPECT_EQ(uint32_t(KIV_E_CONNLOST), o.error & KIV_E_CODE_MASK);
                continue;
            }
            answered++;
            ASSERT_EQ(TARN_DS_OK, o.status());
            std::string data = read_data(o);
            ASSERT_EQ(size_t(k.pages) * 4096, data.size());
            for (uint32_t i = 0; i < k.pages; i++)
                ASSERT_EQ(std::string(4096, char('a' + (pg + i) % 26)), data.substr(size_t(i) * 4096, 4096)) << pg + i;
        }
        EXPECT_GE(answered, 51);
        printf("%s, %u pages a read: %d of %zu answered before the crash\n", k.mode, k.pages, answered, reads.size());
        cluster_->wait_idle();
        Outcome o = call(read_frame(100, 4096, 4096));
        ASSERT_EQ(TARN_DS_OK, o.status());
        EXPECT_EQ(std::string(4096, 'b'), read_data(o));
    }
}

// Connections are spread evenly over the loops. Every loop checks epochs
// against one table, so a client announced on one connection is known on
// all; within one connection, frames are taken in order, so an
// announcement pipelined ahead of a plain request always counts for it.
TEST_F(DsTest, LoopsShareTheEpochTableAndKeepEachConnectionInOrder) {
    constexpr int kConns = 2 * kLoops;
    std::vector<kiv_rpc_endpoint*> eps;
    for (int i = 0; i < kConns; i++) {
        eps.push_back(client_->connect(port(1)));
        // Connected one after another, so the hand-off order is this one.
        ASSERT_EQ(TARN_DS_OK, client_->call(eps.back(), frame({.client = 0x100 + uint64_t(i)}, 48)).status());
    }
    EXPECT_EQ("2,2,2", loops_of(1));

    struct Case {
        const char* what;
        uint64_t client;
        uint32_t epoch;
        uint32_t flags;
        uint32_t want;
    };
    // Client 0x100 announced epoch 1 on the first connection only.
    const Case cases[] = {
        {"known client", 0x100, 1, 0, TARN_DS_OK},
        {"older epoch than known", 0x101, 0, 0, TARN_DS_OK},
        {"newer epoch than known", 0x102, 2, 0, TARN_DS_EPOCH_UNKNOWN},
        {"never announced", 0x999, 1, 0, TARN_DS_EPOCH_UNKNOWN},
    };
    for (const Case& k : cases)
        for (int i = 0; i < kConns; i++) {
            SCOPED_TRACE(testing::Message() << k.what << ", connection " << i);
            EXPECT_EQ(k.want, client_->call(eps[size_t(i)], frame({.client = k.client, .epoch = k.epoch, .flags = k.flags}, 48))
                                  .status());
        }

    // On every connection at once: a client announces a new epoch and uses
    // it in the frame right behind, many times over.
    constexpr int kRounds = 200;
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int i = 0; i < kConns; i++)
        threads.emplace_back([&, i] {
            uint64_t id = 0x200 + uint64_t(i);
            for (uint32_t e = 1; e <= kRounds; e++) {
                Pending* announce = client_->start(eps[size_t(i)], frame({.client = id, .epoch = e}, 48));
                Pending* use = client_->start(eps[size_t(i)], frame({.client = id, .epoch = e, .flags = 0}, 48));
                if (announce->wait().status() != TARN_DS_OK || use->wait().status() != TARN_DS_OK) bad++;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_NE(std::string::npos, ctl("status").find("\"clients\":" + std::to_string(2 * kConns)));

    // A crash forgets the table for every loop and closes every connection.
    // Asked through new connections, spread over the loops as before: a
    // request sent on an old one before the client saw its close would be
    // lost with it.
    ctl("ds crash 1 tarn 50");
    EXPECT_TRUE(lctest::wait_until([&] { return loops_of(1) == "0,0,0"; })) << loops_of(1);
    cluster_->wait_idle();
    for (int i = 0; i < kConns; i++) {
        kiv_rpc_endpoint* ep = client_->connect(port(1));
        EXPECT_EQ(TARN_DS_EPOCH_UNKNOWN, client_->call(ep, frame({.client = 0x100, .flags = 0}, 48)).status());
    }
    EXPECT_EQ("2,2,2", loops_of(1));
}

// A refuse rule fires on whichever loop reads the request: the listener
// shuts before any client sees its connection go, every loop's
// connections are dropped, and the instance listens again on its port.
TEST_F(DsTest, ARefuseOnAnyLoopShutsTheListenerAndDropsEveryConnection) {
    const uint16_t p = port(1);
    for (int k = 0; k < kLoops; k++) {
        SCOPED_TRACE(testing::Message() << "refused on connection " << k);
        std::vector<kiv_rpc_endpoint*> eps;
        for (int i = 0; i < kLoops; i++) {
            eps.push_back(client_->connect(p));
            ASSERT_EQ(TARN_DS_OK, client_->call(eps.back(), frame({}, 48)).status());
        }
        EXPECT_EQ("1,1,1", loops_of(1));
        std::string r = ctl("fault add ds:tarn host=a1 type=4102 client=77 refuse=300 count=1");
        ASSERT_EQ(0u, r.find("{\"ok\":true")) << r;
        auto sent = Clock::now();
        Outcome o = client_->call(eps[size_t(k)], frame({.client = 0x77}, 48));
        EXPECT_TRUE(o.reply.empty());
        expect_refused(p, sent, 300);
        EXPECT_TRUE(lctest::wait_until([&] { return loops_of(1) == "0,0,0"; })) << loops_of(1);
        cluster_->wait_idle();
        EXPECT_EQ(p, port(1));
        for (kiv_rpc_endpoint* ep : eps) {
            EXPECT_EQ(TARN_DS_OK, client_->call(ep, frame({}, 48)).status());
            client_->drop(ep);
        }
        ASSERT_TRUE(lctest::wait_until([&] { return loops_of(1) == "0,0,0"; })) << loops_of(1);
    }
}

TEST_F(DsTest, LoseUnstablePoisonsUncommittedRangesOnly) {
    localcluster::ClusterConfig c;
    c.fs.push_back({"tarn", 0x1001});
    c.lose_unstable = true;
    c.ds_down_ms = 50;
    c.mount_delay_ms = 10;
    TearDown();
    start(c);
    eps_.clear();
    place(100);
    place(101);
    ASSERT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, "stable", true)));
    ASSERT_EQ(TARN_DS_OK, status_of(write_frame(100, 6, "unstable", false)));
    ASSERT_EQ(TARN_DS_OK, status_of(write_frame(101, 0, "committed", false)));
    ASSERT_EQ(TARN_DS_OK, status_of(frame(file_req(TARN_DS_COMMIT, 101), TARN_DS_COMMIT_REQ_BYTES)));
    uint64_t mtime = disk_attrs(100).mtime;
    ctl("ds crash 1 tarn");
    cluster_->wait_idle();
    // The old connection went with the crash: a read sent on it before the
    // client saw its close would be lost with it.
    eps_.clear();
    Outcome o = call(read_frame(100, 0, 100));
    EXPECT_EQ("stable" + std::string(8, '\xDB'), read_data(o));
    EXPECT_EQ(mtime, disk_attrs(100).mtime);  // size and times kept
    EXPECT_EQ("committed", read_data(call(read_frame(101, 0, 100))));
}

// A reboot rule on the commit takes the host down between a write and its
// commit: the commit is never executed, the unstable write is lost with
// the host, and the repeated commit tells by a new verifier, or, with the
// verifier kept on purpose, claims data that is gone.
TEST_F(DsTest, RebootRuleTakesTheHostDownInPlaceOfTheCommit) {
    struct Row {
        uint64_t breaks;
        const char* seen;
    };
    const Row rows[] = {
        {0, "commit=connection-lost reboots=0,1,0 data=lost verifier=new"},
        {LC_BREAK_RESTART_KEEPS_VERIFIER, "commit=connection-lost reboots=0,1,0 data=lost verifier=old"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(lc_breaks_json(row.breaks));
        localcluster::ClusterConfig c;
        c.fs.push_back({"tarn", 0x1001});
        c.lose_unstable = true;
        c.reboot_down_ms = 50;
        c.mount_delay_ms = 10;
        c.breaks = row.breaks;
        TearDown();
        start(c);
        eps_.clear();
        place(101, 1);  // on host 2
        Outcome o = call(write_frame(101, 0, "unstable", false, 1), 2);
        ASSERT_EQ(TARN_DS_OK, o.status());
        const uint64_t verifier = o.u64(TARN_DS_WRITE_REP_VERIFIER);
        ASSERT_EQ(0u, ctl("fault add ds:tarn type=4112 host=a2 reboot count=1").find("{\"ok\":true"));
        const Bytes commit = frame(file_req(TARN_DS_COMMIT, 101, 1), TARN_DS_COMMIT_REQ_BYTES);
        o = call(commit, 2);
        std::string seen = std::string("commit=") +
                           (o.reply.empty() && (o.error & KIV_E_CODE_MASK) == uint32_t(KIV_E_CONNLOST)
                                ? "connection-lost"
                                : "answered");
        cluster_->wait_idle();
        eps_.clear();
        const std::string st = ctl("status");
        seen += " reboots=";
        for (int h = 1; h <= 3; h++) {
            const std::string head = "\"id\":\"00000000000000a" + std::to_string(h) + "\",\"state\":\"up\",\"reboots\":";
            const size_t at = st.find(head);
            seen += (h > 1 ? "," : "") + (at == std::string::npos ? "?" : st.substr(at + head.size(), 1));
        }
        // The repeat runs on the host that came back, with the new token.
        o = call(frame(file_req(TARN_DS_COMMIT, 101, 1), TARN_DS_COMMIT_REQ_BYTES), 2);
        ASSERT_EQ(TARN_DS_OK, o.status());
        seen += std::string(" data=") +
                (read_data(call(read_frame(101, 0, 100, 1), 2)) == "unstable" ? "kept" : "lost") +
                " verifier=" + (o.u64(TARN_DS_COMMIT_REP_VERIFIER) == verifier ? "old" : "new");
        EXPECT_EQ(row.seen, seen);
    }
}

// The data server's durability rules that the fault-tolerance suites rely
// on, each kept by default and broken only by its own switch: data
// committed before a crash stays, a change made while replication is off
// stays dirty until the MDS takes it, and a restart hands out a new write
// verifier, and an xattr set answered with success is stored.
TEST_F(DsTest, DurabilityRulesHoldUnlessTheirOwnSwitchBreaksThem) {
    struct Row {
        uint64_t breaks;
        const char* seen;
    };
    const Row rows[] = {
        {0, "committed=kept dirty=1 verifier=new xattr=kept"},
        {LC_BREAK_LOSE_COMMITTED, "committed=lost dirty=1 verifier=new xattr=kept"},
        {LC_BREAK_REPL_LOST_WHILE_DISABLED, "committed=kept dirty=0 verifier=new xattr=kept"},
        {LC_BREAK_RESTART_KEEPS_VERIFIER, "committed=kept dirty=1 verifier=old xattr=kept"},
        {LC_BREAK_XATTR_SET_DROPPED, "committed=kept dirty=1 verifier=new xattr=lost"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(lc_breaks_json(row.breaks));
        localcluster::ClusterConfig c;
        c.fs.push_back({"tarn", 0x1001});
        c.ds_down_ms = 50;
        c.mount_delay_ms = 10;
        c.breaks = row.breaks;
        TearDown();
        start(c);
        eps_.clear();
        FakeMds mds;
        lc_cdisk_set_mds_sink(cd(), kFs, FakeMds::apply, &mds);
        place(100);
        place(101);
        Outcome o = call(write_frame(101, 0, "committed", false));
        ASSERT_EQ(TARN_DS_OK, o.status());
        const uint64_t verifier = o.u64(TARN_DS_WRITE_REP_VERIFIER);
        ASSERT_EQ(TARN_DS_OK, status_of(frame(file_req(TARN_DS_COMMIT, 101), TARN_DS_COMMIT_REQ_BYTES)));
        ASSERT_EQ(TARN_DS_OK, call(test_frame(TARN_DS_TEST_DISABLE_REPLICATION)).status());
        ASSERT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, "while disabled")));
        std::string seen = "dirty=" + std::to_string(lc_ds_disk_dirty_count(lc_cdisk_ds_disk(cd(), kFs, 1)));
        ASSERT_EQ(0u, ctl("ds crash 1 tarn").find("{\"ok\":true"));
        cluster_->wait_idle();
        eps_.clear();
        const bool kept = read_data(call(read_frame(101, 0, 100))) == "committed";
        o = call(write_frame(100, 0, "after"));
        ASSERT_EQ(TARN_DS_OK, o.status());
        const bool same = o.u64(TARN_DS_WRITE_REP_VERIFIER) == verifier;
        // An xattr set answered with success must be there to read.
        lc_ds_disk* disk = lc_cdisk_ds_disk(cd(), kFs, 1);
        ASSERT_EQ(LC_DS_OK, lc_ds_disk_xattr_set(disk, 100, 0, "user.a", "v", 1, 0));
        char value[4];
        size_t vlen = 0;
        const bool xattr_kept = lc_ds_disk_xattr_get(disk, 100, 0, "user.a", value, sizeof value, &vlen) == LC_DS_OK;
        seen = std::string("committed=") + (kept ? "kept " : "lost ") + seen + " verifier=" + (same ? "old" : "new") +
               " xattr=" + (xattr_kept ? "kept" : "lost");
        EXPECT_EQ(row.seen, seen);
        lc_cdisk_set_mds_sink(cd(), kFs, nullptr, nullptr);
    }
}

// Random frames, short and long, well-formed and not: the server stays up,
// answers with statuses of its table only, and never a reply longer than a
// DS message may be.
TEST_F(DsTest, RandomFramesNeverBreakTheServer) {
    place(100);
    place(103, 3);
    ASSERT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, std::string(9000, 'r'))));
    std::mt19937_64 rng(12345);
    static const uint32_t types[] = {4100, 4102, 4104, 4106, 4108, 4110, 4112, 4114, 4116, 4118,
                                     4120, 4122, 4124, 4126, 4128, 4130, 4132, 4134, 4136, 4138};
    int answered = 0;
    for (int i = 0; i < 1500; i++) {
        uint32_t type = types[rng() % (sizeof types / sizeof types[0])];
        size_t len = rng() % 8 == 0 ? 24 + rng() % 3000 : 512 * (1 + rng() % 4);
        Bytes f(std::max<size_t>(len, 512));
        for (auto& b : f) b = uint8_t(rng());
        Req r{.type = type, .token = rng() % 2 ? token(rng() % 2 ? 0 : 3) : rng(), .file_id = 100 + rng() % 5};
        Bytes h = frame(r, 144);
        memcpy(f.data(), h.data(), rng() % 4 ? TARN_DS_FILE_REQ_HDR_BYTES : 24);
        if (type == TARN_DS_TEST) tarn_wire_put_u32(f.data(), TARN_DS_TEST_CODE, 1 + rng() % 2);  // crc stays wrong
        if (type == TARN_DS_UNMOUNT_VDISK) tarn_wire_put_u32(f.data(), TARN_DS_MOUNT_COUNT, 0);
        f.resize(len);
        tarn_wire_put_u32(f.data(), TARN_MSG_LENGTH, uint32_t(len));
        Outcome o = call(f);
        ASSERT_TRUE(o.completed) << i;
        if (o.reply.empty()) continue;
        answered++;
        ASSERT_EQ(0u, o.error) << i;
        EXPECT_LE(o.status(), TARN_DS_STATUS_MAX) << i;
        EXPECT_LE(o.reply.size(), TARN_DS_MAX_MSG) << i;
        EXPECT_EQ(o.reply.size(), o.u32(TARN_MSG_LENGTH)) << i;
        EXPECT_EQ(type + 1, o.u32(TARN_MSG_TYPE)) << i;
    }
    EXPECT_GT(answered, 1000);
    EXPECT_EQ(TARN_DS_OK, status_of(frame({}, 48)));
    EXPECT_EQ(LC_DS_PHASE_UP, lc_cdisk_ds_phase(cd(), kFs, 1));
}

// ---------------------------------------------------------------- concurrency

TEST_F(DsTest, HundredConcurrentReaders) {
    constexpr int kFiles = 3, kReaders = 100, kReads = 40, kPages = 64;
    for (int f = 0; f < kFiles; f++) {
        place(200 + f, uint32_t(f));
        for (int pg = 0; pg < kPages; pg++) {
            std::string page(4096, char('A' + (f * 7 + pg) % 26));
            ASSERT_EQ(TARN_DS_OK, status_of(write_frame(200 + f, uint64_t(pg) * 4096, page, true, f), f + 1));
        }
    }
    // Ten connections per host, ten readers on each.
    std::vector<kiv_rpc_endpoint*> eps;
    for (int i = 0; i < kReaders / 10; i++)
        for (int f = 0; f < kFiles; f++) eps.push_back(client_->connect(port(f + 1)));
    std::atomic<int> bad{0}, done{0};
    auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; r++)
        threads.emplace_back([&, r] {
            for (int i = 0; i < kReads; i++) {
                int f = (r + i) % kFiles, pg = (r * 13 + i * 7) % kPages;
                Outcome o = client_->call(eps[size_t((r / 10) * kFiles + f)], read_frame(200 + f, uint64_t(pg) * 4096,
                                                                                         4096, uint32_t(f)));
                if (o.status() != TARN_DS_OK || o.reply.size() != TARN_DS_READ_REP_DATA + 4096 ||
                    o.reply[TARN_DS_READ_REP_DATA + 4095] != uint8_t('A' + (f * 7 + pg) % 26))
                    bad++;
                done++;
            }
        });
    for (std::thread& t : threads) t.join();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(kReaders * kReads, done.load());
    printf("%d reads of 4 KiB by %d threads in %.3f s (%.0f/s)\n", done.load(), kReaders, s, done.load() / s);
}

TEST_F(DsTest, ShutdownWithRequestsInFlight) {
    place(100);
    ASSERT_EQ(TARN_DS_OK, status_of(write_frame(100, 0, std::string(1 << 20, 's'))));
    std::vector<Pending*> reads;
    for (int i = 0; i < 300; i++) reads.push_back(client_->start(ep(1), read_frame(100, uint64_t(i % 256) * 4096, 4096)));
    cluster_.reset();
    for (Pending* p : reads) EXPECT_TRUE(p->wait().completed);
}

}  // namespace

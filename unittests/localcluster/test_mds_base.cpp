// The MDS of the local cluster at its first level: request checks in their
// order, epoch fencing, the no-op, per-instance status, and moving to a new
// port. Requests are built with the client's wire header and sent through
// the runtime's client transport to a cluster started in-process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/tarn_wire.h"
#include "discovery/discov.h"
#include "kiv/io.h"
#include "kiv/rpc.h"
#include "localcluster/cluster.h"
#include "hang_guard.h"
#include "wire_test_client.h"

namespace {

using wiretest::Bytes;
using wiretest::Outcome;
using wiretest::Pending;
using wiretest::WireClient;
using Req = wiretest::MdsReq;

Bytes frame(const Req& r) { return wiretest::mds_frame(r); }

// A request whose variable part is `tail` (names with or without their
// NULs) from offset `at`.
Bytes frame_with(Req r, size_t at, const std::string& tail) {
    r.len = uint32_t(at + tail.size());
    Bytes b = frame(r);
    memcpy(b.data() + at, tail.data(), tail.size());
    return b;
}

class MdsTest : public ::testing::Test {
   protected:
    void SetUp() override { start({}); }
    void TearDown() override {
        client_.reset();
        cluster_.reset();
    }

    void start(const localcluster::ClusterConfig& cfg) {
        client_.reset();
        cluster_ = localcluster::Cluster::start(cfg);
        client_ = std::make_unique<WireClient>("test-mds-client", wiretest::mds_endpoint_params());
        ep_ = client_->connect(mds_port("tarn"));
    }

    // The status object of the MDS instance of a file system.
    std::string instance(const std::string& fs) { return wiretest::mds_instance(*cluster_, fs); }
    static long field(const std::string& obj, const std::string& name) {
        size_t at = obj.find("\"" + name + "\":");
        return at == std::string::npos ? -1 : strtol(obj.c_str() + at + name.size() + 3, nullptr, 10);
    }
    uint16_t mds_port(const std::string& fs) { return uint16_t(field(instance(fs), "port")); }

    Outcome call(const Bytes& f) { return client_->call(ep_, f); }
    uint32_t status_of(const Bytes& f) {
        Outcome o = call(f);
        EXPECT_TRUE(o.completed);
        EXPECT_EQ(0u, o.error);
        return o.status();
    }
    // Makes `client` known at `epoch` with one re-sent no-op.
    void register_client(uint64_t client, uint32_t epoch) {
        ASSERT_EQ(0u, status_of(frame({.client = client, .epoch = epoch, .flags = TARN_REQ_FLAG_EPOCH_RESEND})));
    }

    std::unique_ptr<localcluster::Cluster> cluster_;
    std::unique_ptr<WireClient> client_;
    kiv_rpc_endpoint* ep_ = nullptr;
};

constexpr uint32_t kResend = TARN_REQ_FLAG_EPOCH_RESEND;

TEST_F(MdsTest, NoopAnswersWithTheBareReplyHeader) {
    Bytes req = frame({.flags = kResend});
    Outcome o = call(req);
    ASSERT_TRUE(o.completed);
    ASSERT_EQ(0u, o.error);
    ASSERT_EQ(TARN_REPLY_HDR_BYTES, o.reply.size());
    tarn_reply_hdr h;
    ASSERT_EQ(0, tarn_reply_hdr_read(o.reply.data(), o.reply.size(), &h));
    EXPECT_EQ(TARN_REPLY_HDR_BYTES, h.length);
    EXPECT_EQ(TARN_MDS_NOOP + 1, h.type);
    EXPECT_EQ(TARN_MDS_OK, h.status);
    EXPECT_EQ(0u, tarn_wire_get_u32(o.reply.data(), TARN_REPLY_RESERVED));
    // The same client is known now; the flag is no longer needed.
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({})));
}

TEST_F(MdsTest, ChecksRunInTheirOrder) {
    const uint32_t lookup_len = TARN_MDS_LOOKUP_REQ_BYTES;
    struct Case {
        const char* what;
        Bytes req;
        uint32_t status;
        size_t reply_len;
    };
    // Each request fails every check from the one named on, so only the
    // order decides which status comes back.
    std::vector<Case> cases = {
        {"frame too short to hold a version", Bytes(frame({.len = 28})), TARN_MDS_INVAL, 32},
        {"version 1, unknown type, short, other fs",
         frame({.type = 4214, .len = 40, .fs_id = 0x1002, .version = 1}), TARN_MDS_INVAL, 32},
        {"unknown type, short, other fs", frame({.type = 4214, .len = 40, .fs_id = 0x1002}), TARN_MDS_NOT_IMPL, 32},
        {"type beyond the table", frame({.type = 4300, .len = 136}), TARN_MDS_NOT_IMPL, 32},
        {"short lookup of another fs", frame({.type = TARN_MDS_LOOKUP, .len = lookup_len - 1, .fs_id = 0x1002}),
         TARN_MDS_INVAL, 32},
        {"header-only lookup", frame({.type = TARN_MDS_LOOKUP, .len = 136}), TARN_MDS_INVAL, 32},
        {"lookup of another fs from an unknown client, name without NUL",
         frame_with({.type = TARN_MDS_LOOKUP, .fs_id = 0x1002, .client = 77}, TARN_MDS_LOOKUP_NAME, "abc"),
         TARN_MDS_NO_FS, 32},
        {"unknown client, name without NUL",
         frame_with({.type = TARN_MDS_LOOKUP, .client = 77}, TARN_MDS_LOOKUP_NAME, "abc"), TARN_MDS_EPOCH_UNKNOWN, 32},
        {"re-sent, name without NUL",
         frame_with({.type = TARN_MDS_LOOKUP, .client = 78, .flags = kResend}, TARN_MDS_LOOKUP_NAME, "abc"),
         TARN_MDS_INVAL, 32},
        // Past every header check the namespace answers: a relative name
        // without a parent is invalid, and the root's post-op comes back.
        {"re-sent, well-formed lookup",
         frame_with({.type = TARN_MDS_LOOKUP, .client = 78, .flags = kResend}, TARN_MDS_LOOKUP_NAME,
                    std::string("abc", 4)),
         TARN_MDS_INVAL, TARN_MDS_ERR_POST_OP_MIN},
        {"rename with one name", frame_with({.type = TARN_MDS_RENAME, .client = 78, .flags = kResend},
                                            TARN_MDS_RENAME_NAMES, std::string("a\0bb", 4)),
         TARN_MDS_INVAL, 32},
        {"rename with both names", frame_with({.type = TARN_MDS_RENAME, .client = 78, .flags = kResend},
                                              TARN_MDS_RENAME_NAMES, std::string("a\0bb\0", 5)),
         TARN_MDS_INVAL, 32},  // zero directory handles
        {"symlink without its target's NUL", frame_with({.type = TARN_MDS_SYMLINK, .client = 78, .flags = kResend},
                                                        TARN_MDS_SYMLINK_NAME, std::string("l\0/t", 4)),
         TARN_MDS_INVAL, 32},
        // get_xattr error replies always carry the needed-size word.
        {"get_xattr from an unknown client",
         frame_with({.type = TARN_MDS_GET_XATTR, .client = 79}, TARN_MDS_GET_XATTR_NAME, std::string("user.a", 7)),
         TARN_MDS_EPOCH_UNKNOWN, TARN_MDS_GET_XATTR_ERR_MIN},
        {"get_xattr of the zero handle",
         frame_with({.type = TARN_MDS_GET_XATTR, .client = 78, .flags = kResend}, TARN_MDS_GET_XATTR_NAME,
                    std::string("user.a", 7)),
         TARN_MDS_INVAL, TARN_MDS_GET_XATTR_ERR_MIN},
        {"get_xattr of another fs",
         frame_with({.type = TARN_MDS_GET_XATTR, .fs_id = 0x1002}, TARN_MDS_GET_XATTR_NAME, "x"), TARN_MDS_NO_FS,
         TARN_MDS_GET_XATTR_ERR_MIN},
    };
    for (const Case& c : cases) {
        uint32_t type = tarn_wire_get_u32(c.req.data(), TARN_MSG_TYPE);
        Outcome o = call(c.req);
        ASSERT_TRUE(o.completed) << c.what;
        ASSERT_EQ(0u, o.error) << c.what;
        EXPECT_EQ(c.status, o.status()) << c.what;
        ASSERT_EQ(c.reply_len, o.reply.size()) << c.what;
        EXPECT_EQ(c.reply_len, tarn_wire_get_u32(o.reply.data(), TARN_MSG_LENGTH)) << c.what;
        EXPECT_EQ(type + 1, tarn_wire_get_u32(o.reply.data(), TARN_MSG_TYPE)) << c.what;
        // Nothing but the reserved word and, where no block is carried, the
        // rest of the reply stays zero.
        size_t zero_end = c.reply_len == TARN_MDS_ERR_POST_OP_MIN ? TARN_REPLY_HDR_BYTES : o.reply.size();
        for (size_t i = TARN_REPLY_RESERVED; i < zero_end; i++)
            EXPECT_EQ(0, o.reply[i]) << c.what << " byte " << i;
    }
}

TEST_F(MdsTest, TestHookChecksItsChecksumAfterTheEpoch) {
    auto test_req = [](uint32_t code, bool good_crc, uint64_t client, uint32_t flags) {
        Bytes b = frame({.type = TARN_MDS_TEST, .len = TARN_MDS_TEST_REQ_BYTES, .client = client, .flags = flags});
        tarn_wire_put_u32(b.data(), TARN_MDS_TEST_CODE, code);
        uint32_t crc = kiv_crc32(b.data() + TARN_MDS_TEST_CODE, 8);
        tarn_wire_put_u32(b.data(), TARN_MDS_TEST_CRC, good_crc ? crc : crc ^ 1);
        return b;
    };
    // A fenced request never reaches its handler.
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, status_of(test_req(1, false, 5, 0)));
    EXPECT_EQ(TARN_MDS_INVAL, status_of(test_req(1, false, 5, kResend)));
    EXPECT_EQ(TARN_MDS_NOT_IMPL, status_of(test_req(1, true, 5, 0)));
}

TEST_F(MdsTest, StrictEpochs) {
    const uint64_t c = 0xabc;
    // Unknown: status 1 until the client proves itself with the flag.
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, status_of(frame({.client = c, .epoch = 5})));
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, status_of(frame({.client = c, .epoch = 5})));
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = c, .epoch = 5, .flags = kResend})));
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = c, .epoch = 5})));
    // A newer epoch is fenced once more.
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, status_of(frame({.client = c, .epoch = 6})));
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = c, .epoch = 6, .flags = kResend})));
    // Older epochs are executed.
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = c, .epoch = 2})));
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = c, .epoch = 6})));
    // A re-sent request is never fenced, whatever its epoch or client.
    for (uint32_t e : {0u, 3u, 6u, 9u, 0xFFFFFFFFu})
        EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = c, .epoch = e, .flags = kResend}))) << e;
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = 0xdef, .epoch = 0, .flags = kResend})));
    // The flag raised the known epoch to the highest one seen.
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = c, .epoch = 0xFFFFFFFF})));
    // Other flag bits do not count as the re-send flag.
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, status_of(frame({.client = 0x123, .epoch = 1, .flags = 0x2})));

    std::string inst = instance("tarn");
    EXPECT_EQ(4, field(inst, "epoch_unknown")) << inst;
    EXPECT_EQ(2, field(inst, "clients")) << inst;
}

TEST_F(MdsTest, EpochTablesArePerInstance) {
    WireClient other("test-mds-client", wiretest::mds_endpoint_params());
    kiv_rpc_endpoint* ci = other.connect(mds_port("tarn_ci"));
    register_client(0x42, 3);
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, other.call(ci, frame({.fs_id = 0x1002, .client = 0x42, .epoch = 3})).status());
    // Each instance answers for its own file system only.
    EXPECT_EQ(TARN_MDS_NO_FS, other.call(ci, frame({.fs_id = 0x1001, .client = 0x42, .epoch = 3})).status());
    EXPECT_EQ(TARN_MDS_NO_FS, status_of(frame({.fs_id = 0x1002, .client = 0x42, .epoch = 3})));
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.fs_id = 0x1001, .client = 0x42, .epoch = 3})));
}

TEST_F(MdsTest, LenientEpochs) {
    EXPECT_EQ("{\"ok\":true,\"epoch\":\"lenient\"}", cluster_->control("epoch lenient"));
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = 1, .epoch = 4})));
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = 1, .epoch = 9})));
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = 1, .epoch = 2})));
    EXPECT_NE(std::string::npos, cluster_->control("status").find("\"epoch\":\"lenient\""));
    // Back to strict: whom lenient mode registered stays known, at the
    // newest epoch it saw.
    EXPECT_EQ("{\"ok\":true,\"epoch\":\"strict\"}", cluster_->control("epoch strict"));
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = 1, .epoch = 9})));
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, status_of(frame({.client = 1, .epoch = 10})));
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, status_of(frame({.client = 2, .epoch = 1})));
    EXPECT_EQ(0u, cluster_->control("epoch sloppy").find("{\"ok\":false"));

    localcluster::ClusterConfig cfg;
    cfg.epoch_strict = false;
    start(cfg);
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = 3, .epoch = 1})));
}

TEST_F(MdsTest, StatusCountsRequestsPerInstance) {
    std::string inst = instance("tarn");
    EXPECT_NE(std::string::npos, inst.find("\"state\":\"up\"")) << inst;
    EXPECT_EQ(0, field(inst, "requests"));
    register_client(9, 1);
    for (int i = 0; i < 5; i++) status_of(frame({.client = 9}));
    EXPECT_EQ(6, field(instance("tarn"), "requests"));
    EXPECT_EQ(0, field(instance("tarn_ci"), "requests"));
    std::string st = cluster_->control("status");
    EXPECT_NE(std::string::npos, st.find("\"mds_port\":" + std::to_string(mds_port("tarn")) + ","));
}

TEST_F(MdsTest, ManyRequestsOutstandingOnOneConnection) {
    register_client(7, 1);
    std::vector<Pending*> ps;
    for (int i = 0; i < 300; i++) ps.push_back(client_->start(ep_, frame({.client = 7})));
    for (Pending* p : ps) {
        Outcome o = p->wait();
        ASSERT_TRUE(o.completed);
        EXPECT_EQ(0u, o.error);
        EXPECT_EQ(TARN_MDS_OK, o.status());
    }
}

// ---------------------------------------------------------------- moving

class MdsMoveTest : public MdsTest {
   protected:
    void SetUp() override {
        MdsTest::SetUp();
        ASSERT_EQ(0, kiv_process_init_(&dproc_));
        ASSERT_EQ(0, kiv_process_start(&dproc_, "test-discov"));
        ASSERT_EQ(0, discov_create("local", "tarn/mds", DISCOV_MODE_READ_ONLY, &dproc_, &d_));
    }
    void TearDown() override {
        discov_destroy(d_);
        kiv_process_terminate(&dproc_);
        kiv_process_wait(&dproc_);
        kiv_process_fini(&dproc_);
        MdsTest::TearDown();
    }

    // The port the registry names for an MDS record, and the generation.
    int record_port(const char* id, uint64_t* gen) {
        discov_svc_map* map = nullptr;
        kiv_move_to_coroutine(&dproc_);
        int rc = discov_co_get_svc_map(d_, &map);
        kiv_move_from_coroutine();
        if (rc != 0) return rc;
        int port = -1;
        for (uint32_t i = 0; i < map->count; i++)
            if (strcmp(map->records[i].id, id) == 0) port = map->records[i].port;
        *gen = map->generation;
        discov_svc_map_put(map);
        return port;
    }

    kiv_process dproc_{};
    discov* d_ = nullptr;
};

TEST_F(MdsMoveTest, RecordFollowsAndTheOldPortRefuses) {
    uint16_t old_port = mds_port("tarn");
    uint64_t gen = 0;
    ASSERT_EQ(old_port, record_port("mds-1001", &gen));  // start-up's reserved port is the real one
    register_client(0x55, 2);

    // A resolver's watch, parked before the move, wakes with the new record.
    std::string moved;
    std::thread mover([&] {
        EXPECT_TRUE(lctest::wait_until(
            [&] { return cluster_->control("status").find("\"parked_watches\":1") != std::string::npos; }));
        moved = cluster_->control("mds move tarn");
    });
    discov_svc_map* map = nullptr;
    kiv_move_to_coroutine(&dproc_);
    int rc = discov_co_watch_svc_map(d_, gen, 20, &map);
    kiv_move_from_coroutine();
    mover.join();
    ASSERT_EQ(0, rc) << moved;
    ASSERT_EQ(1u, map->count);
    EXPECT_STREQ("mds-1001", map->records[0].id);
    uint16_t new_port = map->records[0].port;
    discov_svc_map_put(map);
    EXPECT_NE(old_port, new_port);
    EXPECT_EQ(0u, moved.find("{\"ok\":true,\"fs\":\"tarn\",\"old_port\":" + std::to_string(old_port) +
                             ",\"port\":" + std::to_string(new_port) + ","))
        << moved;
    EXPECT_EQ(new_port, mds_port("tarn"));
    EXPECT_NE(std::string::npos, cluster_->control("status").find("\"mds_port\":" + std::to_string(new_port)));
    uint64_t gen2 = 0;
    EXPECT_EQ(new_port, record_port("mds-1001", &gen2));
    EXPECT_EQ(gen + 1, gen2);
    EXPECT_EQ(mds_port("tarn_ci"), record_port("mds-1002", &gen2));  // the other record is untouched

    // The connection to the old port was closed, and the port refuses.
    Outcome o = client_->call(client_->connect(old_port), frame({.client = 0x55, .epoch = 2}));
    ASSERT_TRUE(o.completed);
    EXPECT_EQ(uint32_t(KIV_E_CONNFAIL), o.error);
    // The instance moved; it did not restart: its clients stay known.
    o = client_->call(client_->connect(new_port), frame({.client = 0x55, .epoch = 2}));
    EXPECT_EQ(0u, o.error);
    EXPECT_EQ(TARN_MDS_OK, o.status());

    EXPECT_EQ(0u, cluster_->control("mds move nosuchfs").find("{\"ok\":false"));
    EXPECT_EQ(0u, cluster_->control("mds move 1002").find("{\"ok\":true,\"fs\":\"tarn_ci\""));
    EXPECT_EQ(0u, cluster_->control("mds crash nosuchfs").find("{\"ok\":false"));
}

}  // namespace

// Fault rules of the local cluster: the rule syntax through the control
// interface, and every action as a client sees it on the MDS and on the
// registry, sent through the runtime's client transport.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/tarn_wire.h"
#include "discovery/kvstore_msg.h"
#include "kiv/io.h"
#include "kiv/mds.h"
#include "kiv/rpc.h"
#include "localcluster/cluster.h"
#include "mds_wire_client.h"
#include "wire_test_client.h"

namespace {

using wiretest::Bytes;
using wiretest::Clock;
using wiretest::Outcome;
using wiretest::Pending;
using wiretest::WireClient;
using Req = wiretest::MdsReq;

constexpr uint32_t kResend = TARN_REQ_FLAG_EPOCH_RESEND;

// With the MDS endpoint parameters, and the registry through the runtime's
// metadata-service client.
constexpr const char* kClientName = "test-faults";

Bytes frame(const Req& r) { return wiretest::mds_frame(r); }

// A test-hook request with a good checksum: it reaches its handler, which
// answers 16 for every code but a crash.
Bytes test_hook(uint64_t client) {
    Bytes b = frame({.type = TARN_MDS_TEST, .len = TARN_MDS_TEST_REQ_BYTES, .client = client, .flags = kResend});
    tarn_wire_put_u32(b.data(), TARN_MDS_TEST_CODE, 7);
    tarn_wire_put_u32(b.data(), TARN_MDS_TEST_CRC, kiv_crc32(b.data() + TARN_MDS_TEST_CODE, 8));
    return b;
}

class FaultsTest : public ::testing::Test {
   protected:
    void SetUp() override {
        cluster_ = localcluster::Cluster::start(localcluster::ClusterConfig{});
        client_ = std::make_unique<WireClient>(kClientName, wiretest::mds_endpoint_params(), true);
        ep_ = client_->connect(mds_port("tarn"));
    }
    void TearDown() override {
        client_.reset();
        cluster_.reset();
    }

    std::string ctl(const std::string& cmd) { return cluster_->control(cmd); }
    // Adds a rule and returns its id (0 on refusal).
    long add(const std::string& rule) {
        std::string r = ctl("fault add " + rule);
        EXPECT_EQ(0u, r.find("{\"ok\":true,\"id\":")) << rule << ": " << r;
        return r.find("\"id\":") == std::string::npos ? 0 : strtol(r.c_str() + r.find("\"id\":") + 5, nullptr, 10);
    }
    std::string instance(const std::string& fs) { return wiretest::mds_instance(*cluster_, fs); }
    uint16_t mds_port(const std::string& fs) { return wiretest::mds_port_of(*cluster_, fs); }

    Outcome call(const Bytes& f, uint32_t timeout_ms = wiretest::kReplyMs) { return client_->call(ep_, f, timeout_ms); }
    uint32_t status_of(const Bytes& f) {
        Outcome o = call(f);
        EXPECT_TRUE(o.completed);
        EXPECT_EQ(0u, o.error) << "runtime error " << o.error;
        return o.status();
    }
    // Whether `client` is known to the MDS: an unflagged no-op says.
    bool known(uint64_t client) { return status_of(frame({.client = client})) == TARN_MDS_OK; }

    std::unique_ptr<localcluster::Cluster> cluster_;
    std::unique_ptr<WireClient> client_;
    kiv_rpc_endpoint* ep_ = nullptr;
};

// ---------------------------------------------------------------- the rule syntax

TEST_F(FaultsTest, RulesAreAddedListedAndRemoved) {
    EXPECT_EQ("{\"ok\":true,\"rules\":[]}", ctl("fault list"));
    EXPECT_EQ(1, add("mds:tarn type=4204 client=0xABC status=10 count=3 after=1"));
    EXPECT_EQ(2, add("registry op=4 type=any rterr=9 prob=0.25"));
    EXPECT_EQ(3, add("mds:1002 host=a1 delay=20"));
    EXPECT_EQ(4, add("ds:tarn type=0x1010 host=a2 reboot count=1"));
    EXPECT_EQ("{\"ok\":true,\"rules\":["
              "{\"id\":1,\"rule\":\"mds:tarn type=4204 client=abc status=10 count=3 after=1\",\"matched\":0,"
              "\"fired\":0,\"active\":true},"
              "{\"id\":2,\"rule\":\"registry op=4 type=any rterr=9 prob=0.25\",\"matched\":0,\"fired\":0,"
              "\"active\":true},"
              "{\"id\":3,\"rule\":\"mds:tarn_ci host=a1 delay=20\",\"matched\":0,\"fired\":0,\"active\":true},"
              "{\"id\":4,\"rule\":\"ds:tarn type=4112 host=a2 reboot count=1\",\"matched\":0,\"fired\":0,"
              "\"active\":true}]}",
              ctl("fault list"));
    EXPECT_NE(std::string::npos, ctl("status").find("\"fault_rules\":4"));
    EXPECT_EQ("{\"ok\":true}", ctl("fault del 2"));
    EXPECT_EQ(0u, ctl("fault del 2").find("{\"ok\":false"));
    EXPECT_EQ(5, add("mds drop"));  // ids are never reused
    EXPECT_EQ("{\"ok\":true,\"removed\":4}", ctl("fault clear"));
    EXPECT_EQ("{\"ok\":true,\"rules\":[]}", ctl("fault list"));
}

TEST_F(FaultsTest, BadRulesAreRefused) {
    struct Bad {
        const char* rule;
        const char* error;
    };
    // Every kind of word and every way it can be refused, with the text the
    // user reads.
    const Bad bad[] = {
        {"", "fault add needs a service and an action"},
        {"mds", "the rule has no action"},
        {"nfs drop", "unknown service 'nfs' (registry, mds, ds or ls)"},
        {"ds status=16", "bad status '16' for the ds (1 to 15)"},  // beyond the DS status table
        {"mds:nosuchfs drop", "unknown file system 'nosuchfs'"},
        {"registry:tarn drop", "the registry serves no single file system"},
        {"mds status=18", "bad status '18' for the mds (1 to 17)"},  // beyond the MDS status table
        {"mds status=0", "bad status '0' for the mds (1 to 17)"},    // an OK reply without its fields
        {"mds status=x", "bad status 'x' for the mds (1 to 17)"},
        {"registry status=-1", "bad status '-1' for the registry (0 to 2147483647)"},
        {"mds drop noreply", "only one action per rule"},
        {"mds type=4203 drop", "bad type '4203' (an even request type, or any)"},  // replies are odd
        {"mds type=4202 type=4204 drop", "'type' given twice"},
        {"mds type=any type=4202 drop", "'type' given twice"},
        {"mds op=1 drop", "the mds cannot be filtered on 'op'"},  // the MDS has no op
        {"mds vdisk=1 drop", "the mds cannot be filtered on 'vdisk'"},  // nor vdisks
        {"ds vdisk=x drop", "bad vdisk 'x'"},
        {"ds vdisk=1 vdisk=2 drop", "'vdisk' given twice"},
        {"mds host=a9 drop", "unknown host a9"},
        {"ds host=zz drop", "bad host id 'zz' (hex)"},
        {"mds client=xyz drop", "bad client id 'xyz' (hex)"},
        {"mds short=10", "bad short length '10' (24 to 263168)"},  // shorter than a frame header
        {"mds short=300000", "bad short length '300000' (24 to 263168)"},  // beyond the MDS frame limit
        {"mds rterr=0", "bad runtime error code '0'"},
        {"mds refuse=0", "bad refuse time '0' (ms)"},
        {"registry refuse=3600001", "bad refuse time '3600001' (ms)"},
        {"mds delay=-5", "bad delay '-5' (ms)"},
        {"mds delay=3600001", "bad delay '3600001' (ms)"},
        {"mds drop count=0", "bad count '0'"},
        {"ds drop count=1 count=2", "bad count '2'"},
        {"mds drop prob=1.5", "bad prob '1.5' (0 to 1)"},
        {"mds drop prob=nan", "bad prob 'nan' (0 to 1)"},
        {"ds drop prob=0.5 prob=0.5", "bad prob '0.5' (0 to 1)"},
        {"mds drop after=-1", "bad after '-1'"},
        {"mds overdata", "overdata applies to DS reads only"},
        {"ds apply-crash", "apply-crash applies to the MDS only"},
        {"registry apply-crash", "apply-crash applies to the MDS only"},
        {"mds apply-crash=1", "unknown word 'apply-crash=1' in the rule"},  // takes no value
        {"mds reboot", "reboot applies to the DS only"},
        {"registry reboot", "reboot applies to the DS only"},
        {"ds reboot=1", "unknown word 'reboot=1' in the rule"},  // takes no value
        {"mds delay drop", "unknown word 'delay' in the rule"},  // needs one
        {"ds reboot drop", "only one action per rule"},
        {"mds drop frobnicate=1", "unknown word 'frobnicate=1' in the rule"},
    };
    for (const Bad& b : bad)
        EXPECT_EQ("{\"ok\":false,\"error\":\"" + std::string(b.error) + "\"}", ctl(std::string("fault add ") + b.rule))
            << b.rule;
    // The lock server has no fault gate: a rule for it is refused with the
    // services that do take faults, not listed to never fire.
    for (const char* rule : {"ls noreply", "ls:tarn type=any drop"})
        EXPECT_EQ("{\"ok\":false,\"error\":\"the ls takes no faults (only the registry, mds and ds do)\"}",
                  ctl(std::string("fault add ") + rule))
            << rule;
    EXPECT_EQ("{\"ok\":true,\"rules\":[]}", ctl("fault list"));
    EXPECT_EQ(0u, ctl("fault").find("{\"ok\":false"));
    EXPECT_EQ(0u, ctl("fault del x").find("{\"ok\":false"));
    // The registry answers its own statuses, beyond the MDS table.
    EXPECT_EQ(1, add("registry status=200"));
}

// Each kind of action, with filters and modifiers, as the listing shows it:
// numbers in their canonical form, the file system by name.
TEST_F(FaultsTest, EveryKindOfRuleIsListedInItsCanonicalForm) {
    struct Good {
        const char* rule;
        const char* listed;
    };
    const Good good[] = {
        {"mds:tarn type=0x106A client=0xABC host=A1 status=10 count=3 after=1 prob=0.50",
         "mds:tarn type=4202 client=abc host=a1 status=10 count=3 after=1 prob=0.5"},
        {"registry status=0", "registry status=0"},
        {"ds:tarn type=4110 drop", "ds:tarn type=4110 drop"},
        {"mds apply-drop after=5", "mds apply-drop after=5"},
        {"mds apply-crash count=1", "mds apply-crash count=1"},
        {"ds reboot", "ds reboot"},
        {"mds noreply", "mds noreply"},
        {"mds:1002 delay=0", "mds:tarn_ci delay=0"},
        {"ds short=4194816", "ds short=4194816"},
        {"registry op=0x4 type=any rterr=9 prob=1e-1", "registry op=4 type=any rterr=9 prob=0.1"},
        {"mds refuse=3600000", "mds refuse=3600000"},
        {"ds:0x1001 host=0xa2 vdisk=7 type=4108 overdata count=2", "ds:tarn host=a2 vdisk=7 type=4108 overdata count=2"},
    };
    for (const Good& g : good) {
        SCOPED_TRACE(g.rule);
        long id = add(g.rule);
        EXPECT_NE(std::string::npos,
                  ctl("fault list").find("{\"id\":" + std::to_string(id) + ",\"rule\":\"" + g.listed + "\","))
            << ctl("fault list");
        ctl("fault clear");
    }
}

// ---------------------------------------------------------------- actions on the MDS

TEST_F(FaultsTest, StatusAnswersBeforeTheEpochCheckWithoutExecuting) {
    long id = add("mds:tarn type=4202 status=12 count=2");
    // A re-sent no-op would register its client; answered by the rule, it
    // does not.
    EXPECT_EQ(TARN_MDS_SERVER_FAULT, status_of(frame({.client = 5, .flags = kResend})));
    // An unknown client gets the rule's answer, not "epoch unknown".
    EXPECT_EQ(TARN_MDS_SERVER_FAULT, status_of(frame({.client = 5})));
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, status_of(frame({.client = 5})));  // count reached
    EXPECT_NE(std::string::npos, ctl("fault list").find("\"id\":" + std::to_string(id) +
                                                        ",\"rule\":\"mds:tarn type=4202 status=12 count=2\","
                                                        "\"matched\":2,\"fired\":2,\"active\":false"));
    EXPECT_EQ(2, strtol(instance("tarn").c_str() + instance("tarn").find("\"faults\":") + 9, nullptr, 10));

    // Error replies keep their length rules: get_xattr's is 40 bytes.
    add("mds status=4");
    Bytes gx = frame({.type = TARN_MDS_GET_XATTR, .len = TARN_MDS_GET_XATTR_REQ_BYTES + 1, .flags = kResend});
    memcpy(gx.data() + TARN_MDS_GET_XATTR_NAME, "a", 2);
    Outcome o = call(gx);
    EXPECT_EQ(TARN_MDS_IO, o.status());
    EXPECT_EQ(TARN_MDS_GET_XATTR_ERR_MIN, o.reply.size());
    EXPECT_EQ(TARN_MDS_IO, status_of(frame({.type = 4214})));  // even an unknown type
}

TEST_F(FaultsTest, CountAfterAndProbability) {
    ASSERT_TRUE(status_of(frame({.client = 1, .flags = kResend})) == 0);
    add("mds type=4202 status=10 after=2 count=2");
    std::vector<uint32_t> seen;
    for (int i = 0; i < 5; i++) seen.push_back(status_of(frame({.client = 1})));
    EXPECT_EQ((std::vector<uint32_t>{0, 0, 10, 10, 0}), seen);
    ctl("fault clear");

    long never = add("mds type=4202 status=10 prob=0");
    for (int i = 0; i < 20; i++) EXPECT_EQ(0u, status_of(frame({.client = 1})));
    EXPECT_NE(std::string::npos,
              ctl("fault list").find("\"id\":" + std::to_string(never) + ",\"rule\":\"mds type=4202 status=10 prob=0\","
                                     "\"matched\":20,\"fired\":0"));
    // A rule that lets a request through leaves it to the later rules.
    add("mds type=4202 status=11 prob=1");
    for (int i = 0; i < 5; i++) EXPECT_EQ(TARN_MDS_CONFLICT, status_of(frame({.client = 1})));
}

TEST_F(FaultsTest, FiltersSelectTheRequests) {
    ASSERT_EQ(0u, status_of(frame({.client = 1, .flags = kResend})));
    ASSERT_EQ(0u, status_of(frame({.client = 2, .flags = kResend})));
    add("mds client=2 status=13");
    add("mds:tarn_ci status=14");
    add("mds host=a2 status=15");  // no MDS lives there
    add("mds type=4206 status=9");
    EXPECT_EQ(0u, status_of(frame({.client = 1})));
    EXPECT_EQ(TARN_MDS_NOT_EMPTY, status_of(frame({.client = 2})));
    EXPECT_EQ(TARN_MDS_NOT_DIR, status_of(frame({.type = TARN_MDS_READDIR, .len = 184, .client = 1})));
    WireClient other(kClientName, wiretest::mds_endpoint_params(), true);
    Outcome o = other.call(other.connect(mds_port("tarn_ci")), frame({.fs_id = 0x1002, .client = 1}));
    EXPECT_EQ(TARN_MDS_TOO_BIG, o.status());
    add("mds host=a1 status=3");
    EXPECT_EQ(TARN_MDS_EXISTS, status_of(frame({.client = 1})));
}

TEST_F(FaultsTest, EpochUnknownIsNeverInjectedIntoAReSend) {
    ASSERT_EQ(0u, status_of(frame({.client = 1, .flags = kResend})));
    add("mds status=1");
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, status_of(frame({.client = 1})));
    EXPECT_EQ(TARN_MDS_OK, status_of(frame({.client = 1, .flags = kResend})));
    add("mds status=2");  // the zombie answer may be injected
    EXPECT_EQ(TARN_MDS_FROM_THE_PAST, status_of(frame({.client = 1, .flags = kResend})));
}

TEST_F(FaultsTest, DropClosesWithoutExecuting) {
    add("mds drop count=1");
    Outcome o = call(frame({.client = 8, .flags = kResend}));
    ASSERT_TRUE(o.completed);
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), o.error);
    EXPECT_TRUE(o.reply.empty());
    EXPECT_FALSE(known(8));  // and the endpoint reconnected by itself
}

TEST_F(FaultsTest, ApplyDropExecutesThenCloses) {
    add("mds apply-drop count=1");
    Outcome o = call(frame({.client = 8, .flags = kResend}));
    ASSERT_TRUE(o.completed);
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), o.error);
    EXPECT_TRUE(known(8));
}

// A drop or an apply-drop loses its own reply only. No-ops pipelined
// ahead of it are executed in the reads before it or in the same one, their
// replies perhaps still gathered when the rule fires: they must all leave,
// and reach the client, before the end of the stream, though the client
// keeps sending behind the dropped request. Otherwise its client repeats
// work that was done (a repeated remove or rename then finds nothing).
TEST_F(FaultsTest, DropsKeepTheRepliesOfEarlierRequests) {
    constexpr uint64_t kBefore = 20000, kBehind = 2000, kHookXid = kBefore + 1;
    for (const char* action : {"drop", "apply-drop"}) {
        SCOPED_TRACE(action);
        add(std::string("mds type=4244 count=1 ") + action);
        Bytes all;
        for (uint64_t x = 1; x <= kBefore + 1 + kBehind; x++) {
            Bytes f = x == kHookXid ? test_hook(8) : frame({.client = 8, .flags = kResend});
            tarn_wire_put_u64(f.data(), TARN_MSG_XID, x);
            all.insert(all.end(), f.begin(), f.end());
        }
        mdswire::Conn conn(mds_port("tarn"), 0x1001, 8);
        ASSERT_TRUE(conn.ok());
        // A slow reader: the replies wait on the server's side.
        rttest::PipelineEnd end = rttest::pipeline(conn.fd(), all, 1024);
        EXPECT_EQ(0, end.error) << "not closed with an end of stream: " << strerror(end.error);
        EXPECT_EQ(0u, end.cut) << "a reply cut short";
        // One loop serves the connection in order: each earlier no-op once,
        // in order, and nothing from the dropped request on.
        uint64_t in_order = 0;
        for (const Bytes& f : end.frames) {
            if (tarn_wire_get_u64(f.data(), TARN_MSG_XID) != in_order + 1 ||
                tarn_wire_get_u32(f.data(), TARN_REPLY_STATUS) != TARN_MDS_OK)
                break;
            in_order++;
        }
        EXPECT_EQ(kBefore, in_order) << end.frames.size() << " replies came";
        EXPECT_EQ(kBefore, end.frames.size());
        ctl("fault clear");
    }
}

TEST_F(FaultsTest, NoreplySwallowsTheRequest) {
    add("mds noreply count=1");
    Outcome o = call(frame({.client = 8, .flags = kResend}), 300);
    ASSERT_TRUE(o.completed);
    EXPECT_EQ(uint32_t(KIV_E_TIMEDOUT), o.error);
    EXPECT_FALSE(known(8));  // on the same, still open connection
}

// The delay outlasts a stalled loop, so the request behind the held one is
// served first on any schedule.
TEST_F(FaultsTest, DelayHoldsOneRequestAndServesTheOthers) {
    add("mds type=4244 delay=2000 count=1");
    auto t0 = Clock::now();
    Pending* slow = client_->start(ep_, test_hook(8));
    Pending* quick = client_->start(ep_, frame({.client = 8, .flags = kResend}));
    Outcome q = quick->wait();
    EXPECT_EQ(0u, q.status());
    Outcome s = slow->wait();
    ASSERT_TRUE(s.completed);
    EXPECT_EQ(0u, s.error);
    EXPECT_EQ(TARN_MDS_NOT_IMPL, s.status());  // it was executed, through the checks and the handler
    EXPECT_GE(slow->at - t0, std::chrono::milliseconds(1990));
    EXPECT_LT(quick->at, slow->at);
}

TEST_F(FaultsTest, ShortSendsAFrameOfTheGivenLength) {
    add("mds short=24 count=1");
    Outcome o = call(frame({.client = 8, .flags = kResend}));
    ASSERT_TRUE(o.completed);
    EXPECT_EQ(0u, o.error);
    ASSERT_EQ(24u, o.reply.size());
    EXPECT_EQ(24u, tarn_wire_get_u32(o.reply.data(), TARN_MSG_LENGTH));
    EXPECT_EQ(TARN_MDS_NOOP + 1, tarn_wire_get_u32(o.reply.data(), TARN_MSG_TYPE));
    EXPECT_TRUE(known(8));  // executed

    add("mds short=28 count=1");
    o = call(frame({.client = 9}));
    ASSERT_EQ(28u, o.reply.size());
    EXPECT_EQ(TARN_MDS_EPOCH_UNKNOWN, o.status());

    add("mds short=64 count=1");
    o = call(frame({.client = 8}));
    ASSERT_EQ(64u, o.reply.size());
    EXPECT_EQ(64u, tarn_wire_get_u32(o.reply.data(), TARN_MSG_LENGTH));
    EXPECT_EQ(TARN_MDS_OK, o.status());
    for (size_t i = TARN_REPLY_HDR_BYTES; i < o.reply.size(); i++) EXPECT_EQ(0, o.reply[i]) << i;
}

TEST_F(FaultsTest, RtErrSendsTheRuntimeErrorFrame) {
    add("mds rterr=40 count=1");
    Outcome o = call(frame({.client = 8, .flags = kResend}));
    ASSERT_TRUE(o.completed);
    EXPECT_EQ(KIV_E_PEER | KIV_E_NOTREADY, o.error);
    EXPECT_TRUE(o.reply.empty());
    EXPECT_FALSE(known(8));
}

TEST_F(FaultsTest, RefuseClosesTheListenerForAWhile) {
    uint16_t port = mds_port("tarn");
    constexpr int kRefuseMs = 2000;
    add("mds:tarn refuse=" + std::to_string(kRefuseMs) + " count=1");
    auto t0 = Clock::now();
    Outcome o = call(frame({.client = 8, .flags = kResend}));
    ASSERT_TRUE(o.completed);
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), o.error);
    // Connects are refused while it lasts. The outage began after t0, so
    // what was seen before t0 + kRefuseMs saw it; a test thread stalled
    // past that finds the listener back, which tells nothing.
    o = client_->call(client_->connect(port), frame({.client = 8, .flags = kResend}));
    std::string inst = instance("tarn");
    if (Clock::now() - t0 < std::chrono::milliseconds(kRefuseMs)) {
        EXPECT_EQ(uint32_t(KIV_E_CONNFAIL), o.error);
        EXPECT_NE(std::string::npos, inst.find("\"state\":\"down\"")) << inst;
        EXPECT_NE(std::string::npos, inst.find("\"refusing\":true")) << inst;
    }
    EXPECT_EQ(port, mds_port("tarn"));

    cluster_->wait_idle();
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(kRefuseMs - 10));
    EXPECT_NE(std::string::npos, instance("tarn").find("\"state\":\"up\""));
    // The same port, and the old endpoint reconnects by itself.
    EXPECT_EQ(port, mds_port("tarn"));
    EXPECT_FALSE(known(8));
    o = client_->call(client_->connect(port), frame({.client = 8, .flags = kResend}));
    EXPECT_EQ(0u, o.error);
    EXPECT_EQ(0u, o.status());
}

TEST_F(FaultsTest, ShutdownDropsHeldRequestsAndOutages) {
    add("mds:tarn type=4202 delay=60000");
    add("mds:tarn_ci refuse=60000");
    add("registry refuse=60000");
    Pending* held = client_->start(ep_, frame({.client = 8, .flags = kResend}));
    WireClient other(kClientName, wiretest::mds_endpoint_params(), true);
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST),
              other.call(other.connect(mds_port("tarn_ci")), frame({.fs_id = 0x1002, .client = 8})).error);
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), other.registry(KV_OP_GET, "/x").error);
    EXPECT_FALSE(held->finished());
    auto t0 = Clock::now();
    cluster_.reset();
    // Not held up by the rules' 60 s, which began before t0; a loaded,
    // instrumented stop of the whole cluster stays well below this, and
    // a stop that sat out the rules well above.
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(40));
    Outcome o = held->wait();
    ASSERT_TRUE(o.completed);
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), o.error);
}

// ---------------------------------------------------------------- actions on the registry

TEST_F(FaultsTest, RegistryAnswersInjectedStatuses) {
    const std::string key = "/test/fault";
    add("registry op=2 status=200 count=1");
    Outcome o = client_->registry(KV_OP_GET, key);
    EXPECT_EQ(KIV_E_PEER | 200u, o.error);
    ASSERT_GE(o.reply.size(), size_t(KVSTORE_OFF_OP + 4));
    EXPECT_EQ(uint32_t(KV_OP_GET), tarn_wire_get_u32(o.reply.data(), KVSTORE_OFF_OP));
    // Other operations pass; the rule is spent.
    EXPECT_EQ(0u, client_->registry(KV_OP_PUT, key, "v").error);
    EXPECT_EQ(0u, client_->registry(KV_OP_GET, key).error);

    add("registry rterr=9 count=1");
    o = client_->registry(KV_OP_GET, key);
    EXPECT_EQ(KIV_E_PEER | KIV_E_BUSY, o.error);
    EXPECT_TRUE(o.reply.empty());

    add("registry op=1 drop count=1");
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), client_->registry(KV_OP_PUT, key, "dropped").error);
    add("registry op=1 apply-drop count=1");
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), client_->registry(KV_OP_PUT, key, "applied").error);
    o = client_->registry(KV_OP_GET, key);
    ASSERT_EQ(0u, o.error);
    std::string body(o.reply.begin(), o.reply.end());
    EXPECT_NE(std::string::npos, body.find("applied"));
    EXPECT_EQ(std::string::npos, body.find("dropped"));
}

// A registry drop closes at once, though a watch of the connection is
// parked and would keep a connection that waits for its requests open
// until it times out.
TEST_F(FaultsTest, RegistryDropsBesideAParkedWatchAtOnce) {
    const std::string key = "/test/watched";
    Outcome first = client_->registry(KV_OP_PUT, key, "v");
    ASSERT_EQ(0u, first.error);
    const uint64_t gen = tarn_wire_get_u64(first.reply.data(), KVSTORE_OFF_GENERATION);
    auto parked = [&] {
        std::string st = ctl("status");
        size_t at = st.find("\"parked_watches\":");
        return at == std::string::npos ? -1L : strtol(st.c_str() + at + 17, nullptr, 10);
    };
    const long before = parked();
    ASSERT_GE(before, 0);
    constexpr uint64_t kWatchS = 50;
    wiretest::Pending* watch = client_->registry_start(KV_OP_WATCH, "/elsewhere/", "/elsewhere/{", kWatchS, gen);
    ASSERT_TRUE(lctest::wait_until([&] { return parked() > before; }));
    add("registry op=1 drop count=1");
    const auto t0 = Clock::now();
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), client_->registry(KV_OP_PUT, key, "dropped").error);
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), watch->wait().error);
    // At once: a loaded machine's close stays far below half the watch's
    // time-out, and a close that waited for the watch to time out is past it.
    EXPECT_LT(watch->at - t0, std::chrono::seconds(kWatchS / 2));
}

TEST_F(FaultsTest, RegistryRefuseKeepsItsState) {
    const std::string key = "/test/kept";
    ASSERT_EQ(0u, client_->registry(KV_OP_PUT, key, "v").error);
    add("registry refuse=300 count=1");
    EXPECT_EQ(uint32_t(KIV_E_CONNLOST), client_->registry(KV_OP_GET, key).error);
    EXPECT_NE(std::string::npos, ctl("status").find("{\"service\":\"registry\",\"port\":" +
                                                    std::to_string(cluster_->registry_port()) + ",\"state\":\"down\""));
    cluster_->wait_idle();
    Outcome o = client_->registry(KV_OP_GET, key);
    EXPECT_EQ(0u, o.error);
}

}  // namespace

// DS request encoders and reply decoders against byte layouts written out by
// hand (literal offsets, not the library's constants), plus the padding and
// the zero-copy chunk accessors. Requests travel to a scripted DS on
// loopback, which records each frame exactly as it arrived.
#include <errno.h>
#include <string.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/ds_scripted_server.h"
#include "client/tarn_call_engine.h"
#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_ds_client.h"
#include "client/tarn_ds_client_ops.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/rpc.h"
#include "log_capture.h"

namespace {

using namespace ds_test;
using namespace std::chrono_literals;

constexpr uint64_t kClientId = 0x1122334455667788ull;
constexpr uint64_t kHost = 0xd5d5;
constexpr uint64_t kToken = 0x0001000200000007ull;
constexpr uint64_t kFileId = 0xabcdef0123456789ull;

int epoch_one(void*, uint32_t* out) {
    *out = 1;
    return 0;
}

void put16(std::vector<uint8_t>& v, size_t off, uint16_t x) {
    for (int i = 0; i < 2; i++) v[off + i] = uint8_t(x >> (8 * i));
}
void put32(std::vector<uint8_t>& v, size_t off, uint32_t x) {
    for (int i = 0; i < 4; i++) v[off + i] = uint8_t(x >> (8 * i));
}
void put64(std::vector<uint8_t>& v, size_t off, uint64_t x) {
    for (int i = 0; i < 8; i++) v[off + i] = uint8_t(x >> (8 * i));
}
void put_bytes(std::vector<uint8_t>& v, size_t off, const void* p, size_t n) {
    memcpy(v.data() + off, p, n);
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = uint8_t(seed + i * 7);
    return v;
}

struct Outcome {
    call_state state = CALL_IDLE;
    rpc_error error{};
};

using clienttest::LogCapture;

class DsEncodingTest : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_level_ = __kiv_log_level;
        kiv_log_set_hook(LogCapture::hook, &log_);
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ASSERT_EQ(tarn_conn_factory_create(kClientId, &process_, &factory_), 0);
        ASSERT_EQ(tarn_conn_pool_create(1, factory_, tarn_conn_create, &pool_), 0);
        server_ = std::make_unique<ScriptedDs>();
        ASSERT_NE(server_->start(), 0);
        locator_ = std::make_unique<FakeLocator>(4, kHost, server_->port(), kToken);
        ds_locator_callbacks cb{locator_.get(), FakeLocator::find, FakeLocator::on_unmounted,
                                FakeLocator::on_unreachable};
        ASSERT_EQ(ds_client_create(pool_, kClientId, epoch_one, nullptr, &process_, &client_, cb), 0);
        for (size_t i = 0; i < sizeof creds_; i++) creds_[i] = uint8_t(0x40 + i);
    }

    void TearDown() override {
        ds_client_destroy(client_);
        tarn_conn_pool_destroy(pool_);
        tarn_conn_factory_destroy(factory_);
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
        server_.reset();
        kiv_log_set_hook(nullptr, nullptr);
        __kiv_log_level = saved_level_;
    }

    ds_call_target target() const {
        return ds_target_fixed_host(tarn_host_addr{kHost, ScriptedDs::kLoopback, server_->port()});
    }

    // Runs one operation against the scripted answer, with no retries.
    Outcome run(const std::function<void(ds_call*)>& op, DsAnswer answer) {
        server_->script({std::move(answer)});
        ds_call call;
        ds_call_init(&call, client_, 0, target());
        op(&call);
        ds_call_wait_for_result(&call);
        Outcome o{ds_call_get_state(&call), call.base.error};
        ds_call_fini(&call);
        return o;
    }

    std::vector<uint8_t> last_frame() {
        std::vector<DsRequest> r = server_->requests();
        return r.empty() ? std::vector<uint8_t>{} : r.back().frame;
    }

    // The header every DS request starts with, as the tables lay it out.
    std::vector<uint8_t> expected(size_t total, uint32_t type, bool file) const {
        std::vector<uint8_t> v(total, 0);
        put32(v, 0, uint32_t(total));
        put32(v, 4, type);
        put64(v, 24, kClientId);
        put32(v, 32, 1); // epoch
        put32(v, 36, 0); // flags
        put64(v, 40, 2); // version
        if (file) {
            put64(v, 48, kToken);
            put64(v, 56, kFileId);
            put_bytes(v, 64, creds_, 80);
        }
        return v;
    }

    // Compares two frames byte for byte, except the transaction id.
    static void expect_frame(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < want.size(); i++) {
            if (i >= 8 && i < 24) continue;
            if (got[i] != want[i]) {
                ADD_FAILURE() << "byte " << i << ": got " << int(got[i]) << ", want " << int(want[i]);
                return;
            }
        }
    }

    LogCapture log_;
    int saved_level_ = 3;
    kiv_process process_{};
    tarn_conn_factory* factory_ = nullptr;
    tarn_conn_pool* pool_ = nullptr;
    std::unique_ptr<ScriptedDs> server_;
    std::unique_ptr<FakeLocator> locator_;
    ds_client* client_ = nullptr;
    uint8_t creds_[80];
};

// ---------------------------------------------------------------- padding and chunks
TEST_F(DsEncodingTest, PlainRequestIsPaddedWithZerosByItsAccessor) {
    ds_call call;
    ds_call_init(&call, client_, 0, target());
    kiv_msg* msg = ds_call_create_req(48, &call);
    ASSERT_NE(msg, nullptr);
    // The caller's reply buffer must never travel as padding.
    uint8_t junk[600];
    memset(junk, 0xee, sizeof junk);
    call.bulk_data = junk;
    call.bulk_len = sizeof junk;
    EXPECT_EQ(msg->kept_len, 48u);
    EXPECT_EQ(msg->total_len, 512u);
    uint32_t len = 0;
    EXPECT_EQ(msg->get_chunk(msg, 0, &len), msg->buf);
    EXPECT_EQ(len, 48u);
    auto* pad = static_cast<const uint8_t*>(msg->get_chunk(msg, 48, &len));
    ASSERT_EQ(len, 464u);
    for (uint32_t i = 0; i < len; i++) ASSERT_EQ(pad[i], 0) << i;
    pad = static_cast<const uint8_t*>(msg->get_chunk(msg, 500, &len));
    EXPECT_EQ(len, 12u);
    kiv_free_msg(msg);
    ds_call_fini(&call);
}

TEST_F(DsEncodingTest, BulkRequestServesHeaderCallerDataAndPadding) {
    ds_call call;
    ds_call_init(&call, client_, 0, target());
    uint8_t data[1] = {0x5a};
    call.bulk_data = data;
    call.bulk_len = 1;
    kiv_msg* msg = ds_call_create_bulk_req(513, 512, &call);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->kept_len, 512u);
    EXPECT_EQ(msg->total_len, 1024u);
    uint32_t len = 0;
    EXPECT_EQ(msg->get_chunk(msg, 0, &len), msg->buf);
    EXPECT_EQ(len, 512u);
    EXPECT_EQ(msg->get_chunk(msg, 100, &len), msg->buf + 100);
    EXPECT_EQ(len, 412u);
    // Zero copy: the data piece is the caller's own buffer.
    EXPECT_EQ(msg->get_chunk(msg, 512, &len), data);
    EXPECT_EQ(len, 1u);
    auto* pad = static_cast<const uint8_t*>(msg->get_chunk(msg, 513, &len));
    ASSERT_EQ(len, 511u);
    for (uint32_t i = 0; i < len; i++) ASSERT_EQ(pad[i], 0) << i;
    kiv_free_msg(msg);

    // A set-xattr sized request: 163-byte header, 3-byte value.
    uint8_t value[3] = {1, 2, 3};
    call.bulk_data = value;
    call.bulk_len = 3;
    msg = ds_call_create_bulk_req(166, 163, &call);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->total_len, 512u);
    EXPECT_EQ(msg->get_chunk(msg, 163, &len), value);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(msg->get_chunk(msg, 165, &len), value + 2);
    EXPECT_EQ(len, 1u);
    msg->get_chunk(msg, 166, &len);
    EXPECT_EQ(len, 346u);
    kiv_free_msg(msg);
    ds_call_fini(&call);
}

TEST_F(DsEncodingTest, BulkReplyLandsInTheCallersBuffer) {
    kiv_rpc_engine engine{};
    ASSERT_EQ(kiv_rpc_engine_init(&process_, &engine, KIV_RPC_ENGINE_CLIENT), 0);
    ds_call call;
    ds_call_init(&call, client_, 0, target());
    uint8_t buf[100];
    call.bulk_data = buf;
    call.bulk_len = sizeof buf;
    call.reply_header_len = 112;
    kiv_msg* msg = ds_call_create_bulk_resp(112 + 60, 112, &call, &engine);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->kept_len, 112u);
    EXPECT_EQ(msg->total_len, 172u); // exactly as asked, not rounded
    uint32_t len = 0;
    EXPECT_EQ(msg->get_chunk(msg, 24, &len), msg->buf + 24);
    EXPECT_EQ(len, 88u);
    EXPECT_EQ(msg->get_chunk(msg, 112, &len), buf);
    EXPECT_EQ(len, 60u);
    EXPECT_EQ(msg->get_chunk(msg, 150, &len), buf + 38);
    EXPECT_EQ(len, 22u);
    kiv_free_msg(msg);

    // The hook takes only bulk reply types of pending requests.
    uint8_t hdr[24] = {};
    tarn_wire_put_u32(hdr, 0, 200);
    tarn_wire_put_u32(hdr, 4, 4103); // a no-op reply
    EXPECT_EQ(ds_call_create_resp(&engine, hdr), nullptr);
    tarn_wire_put_u32(hdr, 4, 4109); // a read reply, but no such request
    EXPECT_EQ(ds_call_create_resp(&engine, hdr), nullptr);
    ds_call_fini(&call);
    kiv_rpc_engine_fini(&engine);
}

// ---------------------------------------------------------------- plain requests
TEST_F(DsEncodingTest, NoopTravelsAs512BytesOfWhichAllButTheHeaderAreZero) {
    Outcome o = run([](ds_call* c) { ds_noop_async(c); }, reply(0));
    EXPECT_EQ(o.state, CALL_DONE);
    expect_frame(last_frame(), expected(512, 4102, false));
}

TEST_F(DsEncodingTest, MountAndUnmountCarryTheirItems) {
    const std::vector<uint8_t> items = pattern(24, 0x10);
    Outcome o = run([&](ds_call* c) { ds_mount_vdisk_async(c, items.data(), 3); }, reply(0));
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4104, false);
    put32(want, 48, 3);
    put_bytes(want, 56, items.data(), 24);
    expect_frame(last_frame(), want);

    o = run([&](ds_call* c) { ds_unmount_vdisk_async(c, items.data(), 1); }, reply(0));
    EXPECT_EQ(o.state, CALL_DONE);
    want = expected(512, 4106, false);
    put32(want, 48, 1);
    put_bytes(want, 56, items.data(), 8);
    expect_frame(last_frame(), want);
}

TEST_F(DsEncodingTest, TestCommandCarriesItsChecksum) {
    Outcome o = run([](ds_call* c) { ds_test_async(c, 2); }, reply(0));
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4126, false);
    put32(want, 48, 2);
    const uint8_t eight[8] = {2, 0, 0, 0, 0, 0, 0, 0};
    put32(want, 56, kiv_crc32(eight, 8));
    expect_frame(last_frame(), want);
}

TEST_F(DsEncodingTest, UsageControlWithAndWithoutItsBlock) {
    const std::vector<uint8_t> block = pattern(16, 0x90);
    DsAnswer a = reply(0, 120);
    const std::vector<uint8_t> usage = pattern(80, 0x33);
    memcpy(a.at(32), usage.data(), 80);
    a.put_u32(112, 0x3); // only bit 0 reaches the caller
    uint8_t out_usage[80] = {};
    uint8_t out_flag = 7;
    Outcome o = run([&](ds_call* c) { ds_vdisk_usage_ctl_async(c, 0x77, block.data(), out_usage, &out_flag); },
                    a);
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4120, false);
    put64(want, 48, 0x77);
    put_bytes(want, 56, block.data(), 16);
    put32(want, 72, 1);
    expect_frame(last_frame(), want);
    EXPECT_EQ(memcmp(out_usage, usage.data(), 80), 0);
    EXPECT_EQ(out_flag, 1);

    o = run([&](ds_call* c) { ds_vdisk_usage_ctl_async(c, 5, nullptr, out_usage, &out_flag); }, reply(0, 120));
    EXPECT_EQ(o.state, CALL_DONE);
    want = expected(512, 4120, false);
    put64(want, 48, 5);
    expect_frame(last_frame(), want);
    EXPECT_EQ(out_flag, 0);

    o = run([&](ds_call* c) { ds_vdisk_usage_ctl_async(c, 5, nullptr, out_usage, &out_flag); }, reply(0, 119));
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, 2u);
    EXPECT_EQ(o.error.kind, RPC_ERR_RUNTIME);
    EXPECT_EQ(log_.count("Response is too short: 119"), 1);
}

TEST_F(DsEncodingTest, ReplicateRecordsLandInTheBufferAndTheCookieAdvances) {
    std::vector<uint8_t> buf(4 * 96, 0xcc);
    DsAnswer a = reply(0, 48 + 2 * 96);
    a.put_u64(32, 0x1000);
    a.put_u32(40, 9);
    a.put_u32(44, 2);
    const std::vector<uint8_t> records = pattern(192, 0x21);
    memcpy(a.at(48), records.data(), 192);
    uint32_t count = 0, value = 0;
    uint64_t cookie = 0xfff;
    Outcome o = run(
        [&](ds_call* c) { ds_replicate_async(c, 0x55, 0x66, buf.data(), buf.size(), &count, &cookie, &value); }, a);
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4122, false);
    put64(want, 48, 0x55);
    put32(want, 56, 0x66);
    put32(want, 60, 4 * 96 + 48);
    put64(want, 64, 0xfff);
    expect_frame(last_frame(), want);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(cookie, 0x1000u);
    EXPECT_EQ(value, 9u);
    EXPECT_EQ(memcmp(buf.data(), records.data(), 192), 0);
    EXPECT_EQ(buf[192], 0xcc);

    // A huge buffer asks for at most the largest DS message.
    std::vector<uint8_t> big(5u << 20);
    run([&](ds_call* c) { ds_replicate_async(c, 1, 1, big.data(), big.size(), &count, &cookie, nullptr); },
        reply(0, 48));
    EXPECT_EQ(tarn_wire_get_u32(last_frame().data(), 60), 4194816u);

    // More records than the buffer holds fail the call.
    DsAnswer over = reply(0, 48 + 5 * 96);
    over.put_u32(44, 5);
    o = run([&](ds_call* c) { ds_replicate_async(c, 1, 1, buf.data(), buf.size(), &count, &cookie, nullptr); },
            over);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, 2u);
    EXPECT_EQ(log_.count("Received more data than expected: 480 > 384"), 1);
}

TEST_F(DsEncodingTest, ReplicationRecoverySendsItsDataFromTheCallersBuffer) {
    const std::vector<uint8_t> data = pattern(700, 0x01);
    Outcome o =
        run([&](ds_call* c) { ds_repl_recovery_async(c, 0x11, 0x22, 0x33, data.data(), uint32_t(data.size()), true); },
            reply(0));
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(1536, 4124, false);
    put64(want, 48, 0x11);
    put32(want, 56, 0x22);
    put32(want, 60, 1);
    put64(want, 64, 0x33);
    put32(want, 72, 700);
    put_bytes(want, 512, data.data(), 700);
    expect_frame(last_frame(), want);
}

// ---------------------------------------------------------------- data
TEST_F(DsEncodingTest, ReadRequestAndAShortReadWithEndOfFile) {
    std::vector<uint8_t> buf(4096, 0xcc);
    DsAnswer a = reply(0, 112 + 100);
    const std::vector<uint8_t> post_op = pattern(72, 0x70);
    memcpy(a.at(32), post_op.data(), 72);
    a.put_u16(104, 0x1);
    a.put_u32(108, 100);
    const std::vector<uint8_t> data = pattern(100, 0x44);
    memcpy(a.at(112), data.data(), 100);
    uint32_t count = 0;
    uint8_t eof = 0;
    uint8_t out_post_op[72] = {};
    Outcome o = run(
        [&](ds_call* c) {
            ds_read_async(c, kToken, kFileId, creds_, 0x123456789aull, buf.data(), 4096, &count, &eof, out_post_op);
        },
        a);
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4108, true);
    put64(want, 144, 0x123456789aull);
    put32(want, 152, 4096);
    expect_frame(last_frame(), want);
    EXPECT_EQ(count, 100u);
    EXPECT_EQ(eof, 1);
    EXPECT_EQ(memcmp(out_post_op, post_op.data(), 72), 0);
    EXPECT_EQ(memcmp(buf.data(), data.data(), 100), 0);
    EXPECT_EQ(buf[100], 0xcc);
}

TEST_F(DsEncodingTest, ReadAnsweredWithMoreDataThanAskedFails) {
    std::vector<uint8_t> buf(4096 + 16, 0xcc);
    DsAnswer a = reply(0, 112 + 4097);
    a.put_u32(108, 4097);
    uint32_t count = 0;
    uint8_t eof = 0;
    Outcome o = run(
        [&](ds_call* c) { ds_read_async(c, kToken, kFileId, creds_, 0, buf.data(), 4096, &count, &eof, nullptr); },
        a);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, 2u);
    EXPECT_EQ(o.error.kind, RPC_ERR_RUNTIME);
    EXPECT_EQ(o.error.origin, RPC_ORIGIN_LOCAL);
    EXPECT_EQ(ds_call2posix_error(o.error), uint32_t(EIO));
    EXPECT_EQ(log_.count("Received more data than expected: 4097 > 4096"), 1);
    // Nothing was written beyond the buffer the call was given.
    for (size_t i = 4096; i < buf.size(); i++) EXPECT_EQ(buf[i], 0xcc) << i;
}

TEST_F(DsEncodingTest, ReadErrorRepliesCarryThePostOpBlockWhenLongEnough) {
    uint8_t buf[16];
    uint32_t count = 0;
    uint8_t eof = 0;
    uint8_t post_op[72];
    memset(post_op, 0xff, sizeof post_op);
    DsAnswer a = reply(TARN_DS_NOT_FOUND, 104);
    const std::vector<uint8_t> block = pattern(72, 0x31);
    memcpy(a.at(32), block.data(), 72);
    Outcome o = run(
        [&](ds_call* c) { ds_read_async(c, kToken, kFileId, creds_, 0, buf, 16, &count, &eof, post_op); }, a);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, 8u);
    EXPECT_EQ(o.error.kind, RPC_ERR_SERVER);
    EXPECT_EQ(memcmp(post_op, block.data(), 72), 0);

    // A bare error reply leaves the block marked absent.
    memset(post_op, 0xff, sizeof post_op);
    o = run([&](ds_call* c) { ds_read_async(c, kToken, kFileId, creds_, 0, buf, 16, &count, &eof, post_op); },
            reply(TARN_DS_NOT_FOUND));
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(tarn_wire_get_u32(post_op, 0), 0u);
}

class DsWriteSizeTest : public DsEncodingTest, public ::testing::WithParamInterface<std::pair<uint32_t, uint32_t>> {};

TEST_P(DsWriteSizeTest, WriteIsHeaderDataAndPadding) {
    const uint32_t len = GetParam().first;
    const uint32_t total = GetParam().second;
    const std::vector<uint8_t> data = pattern(len, 0x3c);
    DsAnswer a = reply(0, 168);
    a.put_u32(32, len);
    const std::vector<uint8_t> wcc = pattern(120, 0x50);
    memcpy(a.at(40), wcc.data(), 120);
    a.put_u64(160, 0xfeedfacecafebeefull);
    uint32_t written = 99;
    uint64_t verifier = 0;
    uint8_t out_wcc[120] = {};
    Outcome o = run(
        [&](ds_call* c) {
            ds_write_async(c, kToken, kFileId, creds_, 0x4000, data.data(), len, 1, &written, &verifier, out_wcc);
        },
        a);
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(total, 4110, true);
    put32(want, 144, 1);
    put64(want, 152, 0x4000);
    put32(want, 160, len);
    if (len > 0) put_bytes(want, 512, data.data(), len);
    expect_frame(last_frame(), want);
    EXPECT_EQ(written, len);
    EXPECT_EQ(verifier, 0xfeedfacecafebeefull);
    EXPECT_EQ(memcmp(out_wcc, wcc.data(), 120), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DsWriteSizeTest,
                         ::testing::Values(std::make_pair(0u, 512u), std::make_pair(1u, 1024u),
                                           std::make_pair(3584u, 4096u), std::make_pair(3585u, 4608u),
                                           std::make_pair(1u << 20, (1u << 20) + 512u)));

TEST_F(DsEncodingTest, WriteRepliesAreChecked) {
    uint8_t data[8] = {};
    uint32_t written = 0;
    DsAnswer over = reply(0, 168);
    over.put_u32(32, 9);
    Outcome o =
        run([&](ds_call* c) { ds_write_async(c, kToken, kFileId, creds_, 0, data, 8, 0, &written, nullptr, nullptr); },
            over);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, 2u);
    EXPECT_EQ(log_.count("Written more data than expected: 9 > 8"), 1);

    o = run([&](ds_call* c) { ds_write_async(c, kToken, kFileId, creds_, 0, data, 8, 0, &written, nullptr, nullptr); },
            reply(0, 167));
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(log_.count("Response is too short: 167"), 1);

    // An error reply of 152 bytes brings the wcc block with the status.
    uint8_t wcc[120];
    memset(wcc, 0xff, sizeof wcc);
    DsAnswer err = reply(TARN_DS_NO_SPACE, 152);
    const std::vector<uint8_t> block = pattern(120, 0x61);
    memcpy(err.at(32), block.data(), 120);
    o = run([&](ds_call* c) { ds_write_async(c, kToken, kFileId, creds_, 0, data, 8, 0, &written, nullptr, wcc); },
            err);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, 12u);
    EXPECT_EQ(ds_call2tarn_error(o.error), TARN_ERR_NO_SPACE);
    EXPECT_EQ(memcmp(wcc, block.data(), 120), 0);
}

TEST_F(DsEncodingTest, CommitHasNoFieldsAndReturnsWccAndVerifier) {
    DsAnswer a = reply(0, 160);
    const std::vector<uint8_t> wcc = pattern(120, 0x05);
    memcpy(a.at(32), wcc.data(), 120);
    a.put_u64(152, 77);
    uint64_t verifier = 0;
    uint8_t out_wcc[120] = {};
    Outcome o =
        run([&](ds_call* c) { ds_commit_async(c, kToken, kFileId, creds_, &verifier, out_wcc); }, a);
    EXPECT_EQ(o.state, CALL_DONE);
    expect_frame(last_frame(), expected(512, 4112, true));
    EXPECT_EQ(verifier, 77u);
    EXPECT_EQ(memcmp(out_wcc, wcc.data(), 120), 0);

    o = run([&](ds_call* c) { ds_commit_async(c, kToken, kFileId, creds_, nullptr, nullptr); }, reply(0, 159));
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, 2u);
}

TEST_F(DsEncodingTest, PreallocationSendsOperationOneAndTheRange) {
    Outcome o = run([&](ds_call* c) { ds_modify_range_async(c, kToken, kFileId, creds_, 1, 12345, 100500, 0); },
                    reply(0));
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4128, true);
    put32(want, 144, 1);
    put32(want, 148, 0);
    put64(want, 152, 12345);
    put64(want, 160, 100500);
    expect_frame(last_frame(), want);
}

TEST_F(DsEncodingTest, RemoveIsAFileRequestWithNoFields) {
    Outcome o = run([&](ds_call* c) { ds_remove_async(c, kToken, kFileId, creds_); }, reply(TARN_DS_PERM));
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(ds_call2posix_error(o.error), uint32_t(EPERM));
    expect_frame(last_frame(), expected(512, 4100, true));
}

// ---------------------------------------------------------------- attributes
TEST_F(DsEncodingTest, GetAttrsCopiesTheAttributesBlock) {
    DsAnswer a = reply(0, 120);
    const std::vector<uint8_t> attrs = pattern(88, 0x17);
    memcpy(a.at(32), attrs.data(), 88);
    uint8_t out[88] = {};
    Outcome o = run([&](ds_call* c) { ds_get_attrs_async(c, kToken, kFileId, creds_, out); }, a);
    EXPECT_EQ(o.state, CALL_DONE);
    expect_frame(last_frame(), expected(512, 4114, true));
    EXPECT_EQ(memcmp(out, attrs.data(), 88), 0);

    o = run([&](ds_call* c) { ds_get_attrs_async(c, kToken, kFileId, creds_, out); }, reply(0, 119));
    EXPECT_EQ(o.state, CALL_FAILED);
}

TEST_F(DsEncodingTest, SetAttrsCarriesUpdateAndGuard) {
    const std::vector<uint8_t> update = pattern(96, 0x81);
    const std::vector<uint8_t> guard = pattern(16, 0xa1);
    DsAnswer a = reply(0, 152);
    const std::vector<uint8_t> wcc = pattern(120, 0x02);
    memcpy(a.at(32), wcc.data(), 120);
    uint8_t out_wcc[120] = {};
    Outcome o = run(
        [&](ds_call* c) { ds_set_attrs_async(c, kToken, kFileId, creds_, update.data(), guard.data(), out_wcc); }, a);
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4116, true);
    put_bytes(want, 144, update.data(), 96);
    put_bytes(want, 240, guard.data(), 16);
    expect_frame(last_frame(), want);
    EXPECT_EQ(memcmp(out_wcc, wcc.data(), 120), 0);

    // No guard: 16 zero bytes. A conflict brings the wcc block along.
    DsAnswer conflict = reply(TARN_DS_CONFLICT, 152);
    memcpy(conflict.at(32), wcc.data(), 120);
    memset(out_wcc, 0xff, sizeof out_wcc);
    o = run([&](ds_call* c) { ds_set_attrs_async(c, kToken, kFileId, creds_, update.data(), nullptr, out_wcc); },
            conflict);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(ds_call2tarn_error(o.error), TARN_ERR_CONFLICT);
    want = expected(512, 4116, true);
    put_bytes(want, 144, update.data(), 96);
    expect_frame(last_frame(), want);
    EXPECT_EQ(memcmp(out_wcc, wcc.data(), 120), 0);
}

TEST_F(DsEncodingTest, CreateFileCarriesTheCallersBlocks) {
    const std::vector<uint8_t> b24 = pattern(24, 0x11);
    const std::vector<uint8_t> b96 = pattern(96, 0x99);
    DsAnswer a = reply(0, 128);
    const std::vector<uint8_t> attrs = pattern(88, 0x07);
    memcpy(a.at(40), attrs.data(), 88);
    uint8_t out[88] = {};
    Outcome o = run(
        [&](ds_call* c) { ds_create_file_async(c, kToken, kFileId, creds_, 0x42, b24.data(), b96.data(), out); }, a);
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4118, true);
    put64(want, 144, 0x42);
    put_bytes(want, 152, b24.data(), 24);
    put_bytes(want, 176, b96.data(), 96);
    expect_frame(last_frame(), want);
    EXPECT_EQ(memcmp(out, attrs.data(), 88), 0);
}

// ---------------------------------------------------------------- extended attributes
TEST_F(DsEncodingTest, GetXattrValueLandsInTheBuffer) {
    std::vector<uint8_t> buf(64, 0xcc);
    DsAnswer a = reply(0, 40 + 5);
    a.put_u32(32, 5);
    memcpy(a.at(40), "hello", 5);
    uint64_t size = 0;
    Outcome o = run(
        [&](ds_call* c) { ds_get_xattr_async(c, kToken, kFileId, creds_, "user.a", buf.data(), 64, &size); }, a);
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4130, true);
    put32(want, 144, 64 + 40);
    put_bytes(want, 148, "user.a", 7);
    expect_frame(last_frame(), want);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(memcmp(buf.data(), "hello", 5), 0);
    EXPECT_EQ(buf[5], 0xcc);
}

TEST_F(DsEncodingTest, GetXattrErrorReplies) {
    uint8_t buf[8];
    uint64_t size = 12345;
    // 32 bytes: nothing read, out_size untouched.
    Outcome o = run([&](ds_call* c) { ds_get_xattr_async(c, kToken, kFileId, creds_, "n", buf, 8, &size); },
                    reply(TARN_DS_NOT_FOUND));
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(ds_call2posix_error(o.error), uint32_t(ENOENT));
    EXPECT_EQ(size, 12345u);

    // 40 bytes with "buffer too small": the size needed.
    DsAnswer small = reply(TARN_DS_BUFFER_TOO_SMALL, 40);
    small.put_u32(32, 300);
    o = run([&](ds_call* c) { ds_get_xattr_async(c, kToken, kFileId, creds_, "n", buf, 8, &size); }, small);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(ds_call2posix_error(o.error), uint32_t(ERANGE));
    EXPECT_EQ(size, 300u);

    // 33 to 39 bytes are too short.
    o = run([&](ds_call* c) { ds_get_xattr_async(c, kToken, kFileId, creds_, "n", buf, 8, &size); },
            reply(TARN_DS_BUFFER_TOO_SMALL, 36));
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, 2u);
    EXPECT_EQ(o.error.kind, RPC_ERR_RUNTIME);
}

// A capacity-0 buffer asks the server for a 40-byte reply at most; the value
// does not fit, and the call says so (buffer too small, with the size) as the
// MDS path does, rather than claiming a value longer than the buffer.
TEST_F(DsEncodingTest, GetXattrIntoAnEmptyBufferReportsBufferTooSmall) {
    uint64_t size = 0;
    DsAnswer small = reply(TARN_DS_BUFFER_TOO_SMALL, 40);
    small.put_u32(32, 5);
    Outcome o = run([&](ds_call* c) { ds_get_xattr_async(c, kToken, kFileId, creds_, "n", nullptr, 0, &size); },
                    small);
    EXPECT_EQ(tarn_wire_get_u32(last_frame().data(), 144), 40u);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(ds_call2tarn_error(o.error), TARN_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 5u);

    // A server that ignores the limit cannot make the call succeed.
    DsAnswer rude = reply(0, 45);
    rude.put_u32(32, 5);
    memcpy(rude.at(40), "value", 5);
    size = 0;
    o = run([&](ds_call* c) { ds_get_xattr_async(c, kToken, kFileId, creds_, "n", nullptr, 0, &size); }, rude);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, 2u);
    EXPECT_EQ(size, 0u);
}

TEST_F(DsEncodingTest, SetXattrHeaderNameAndValue) {
    Outcome o = run([&](ds_call* c) { ds_set_xattr_async(c, kToken, kFileId, creds_, "user.a", "xyz", 3, 2); },
                    reply(0));
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4136, true);
    put16(want, 144, 2);
    put32(want, 148, 7);
    put32(want, 152, 3);
    put_bytes(want, 156, "user.a", 7);
    put_bytes(want, 163, "xyz", 3);
    expect_frame(last_frame(), want);
}

TEST_F(DsEncodingTest, SetXattrNameLimitIs255Bytes) {
    const std::string ok(255, 'n');
    Outcome o = run([&](ds_call* c) { ds_set_xattr_async(c, kToken, kFileId, creds_, ok.c_str(), "v", 1, 0); },
                    reply(0));
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_EQ(last_frame().size(), 512u); // 157 + 255 + 1 = 413
    EXPECT_EQ(tarn_wire_get_u32(last_frame().data(), 148), 256u);

    const size_t before = server_->count();
    const std::string too_long(256, 'n');
    ds_call call;
    ds_call_init(&call, client_, 15000, target());
    ds_set_xattr_async(&call, kToken, kFileId, creds_, too_long.c_str(), "v", 1, 0);
    ds_call_wait_for_result(&call);
    EXPECT_EQ(ds_call_get_state(&call), CALL_FAILED);
    EXPECT_EQ(call.base.error.code, uint32_t(E2BIG));
    EXPECT_EQ(call.base.error.kind, RPC_ERR_POSIX);
    EXPECT_EQ(call.base.error.origin, RPC_ORIGIN_LOCAL);
    ds_call_fini(&call);
    EXPECT_EQ(server_->count(), before);
}

TEST_F(DsEncodingTest, RemoveXattrCarriesTheName) {
    Outcome o = run([&](ds_call* c) { ds_remove_xattr_async(c, kToken, kFileId, creds_, "user.b"); }, reply(0));
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4134, true);
    put_bytes(want, 144, "user.b", 7);
    expect_frame(last_frame(), want);
}

struct Names {
    std::vector<std::string> seen;
    size_t stop_after = 100;
    static bool cb(const char* name, void* arg) {
        auto* self = static_cast<Names*>(arg);
        self->seen.push_back(name);
        return self->seen.size() < self->stop_after;
    }
};

TEST_F(DsEncodingTest, ListXattrsWalksNulTerminatedNames) {
    DsAnswer a = reply(0, 32 + 9);
    memcpy(a.at(32), "a\0bb\0ccc", 9);
    Names names;
    Outcome o = run([&](ds_call* c) { ds_list_xattrs(c, kToken, kFileId, creds_, Names::cb, &names); }, a);
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<uint8_t> want = expected(512, 4132, true);
    put32(want, 144, 4194816);
    expect_frame(last_frame(), want);
    EXPECT_EQ(names.seen, (std::vector<std::string>{"a", "bb", "ccc"}));

    // A trailing name without its zero is ignored; a false answer stops.
    DsAnswer b = reply(0, 32 + 3);
    memcpy(b.at(32), "a\0b", 3);
    names = Names{};
    run([&](ds_call* c) { ds_list_xattrs(c, kToken, kFileId, creds_, Names::cb, &names); }, b);
    EXPECT_EQ(names.seen, (std::vector<std::string>{"a"}));
    names = Names{};
    names.stop_after = 1;
    run([&](ds_call* c) { ds_list_xattrs(c, kToken, kFileId, creds_, Names::cb, &names); }, a);
    EXPECT_EQ(names.seen, (std::vector<std::string>{"a"}));
}

// ---------------------------------------------------------------- results
TEST_F(DsEncodingTest, RequestThatCannotBeAllocatedFailsWithoutSending) {
    const size_t before = server_->count();
    ds_call call;
    ds_call_init(&call, client_, 15000, target());
    kiv_mem_inject_failures(1);
    ds_noop_async(&call);
    kiv_mem_inject_failures(0);
    ds_call_wait_for_result(&call);
    EXPECT_EQ(ds_call_get_state(&call), CALL_FAILED);
    EXPECT_EQ(call.base.error.code, uint32_t(ENOMEM));
    EXPECT_EQ(call.base.error.kind, RPC_ERR_POSIX);
    EXPECT_EQ(ds_call_result(&call), -ENOMEM);
    ds_call_fini(&call);
    EXPECT_EQ(server_->count(), before);
}

TEST(DsCallResultTest, MergeKeepsTheFirstNonRetryableErrorAndCancellationWins) {
    auto failed = [](rpc_error e) {
        ds_call c{};
        c.base.state = CALL_FAILED;
        c.base.error = e;
        return c;
    };
    const ds_call eagain = failed(ds_call_error(EAGAIN, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
    const ds_call not_found = failed(ds_call_error(8, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE));
    const ds_call cancelled = failed(ds_call_error(ECANCELED, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
    ds_call done{};
    done.base.state = CALL_DONE;

    rpc_error agg{};
    ds_call_merge_result(&done, &agg);
    EXPECT_EQ(agg.kind, RPC_ERR_NONE);
    ds_call_merge_result(&eagain, &agg);
    EXPECT_EQ(agg.code, uint32_t(EAGAIN));
    ds_call_merge_result(&not_found, &agg);
    ds_call_merge_result(&eagain, &agg);
    EXPECT_EQ(agg.code, 8u);
    EXPECT_EQ(agg.kind, RPC_ERR_SERVER);
    ds_call_merge_result(&cancelled, &agg);
    EXPECT_EQ(agg.code, uint32_t(ECANCELED));
    EXPECT_TRUE(ds_call_is_cancelled(&cancelled));
    EXPECT_FALSE(ds_call_is_cancelled(&not_found));
    EXPECT_TRUE(ds_call_is_retryable(&eagain));
    EXPECT_FALSE(ds_call_is_retryable(&not_found));
}

TEST(DsCallResultTest, ErrorMapping) {
    EXPECT_EQ(ds_call2tarn_error(ds_call_error(7, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)), TARN_ERR_DELAY);
    EXPECT_EQ(ds_call2tarn_error(ds_call_error(8, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)), TARN_ERR_NOT_FOUND);
    EXPECT_EQ(ds_call2tarn_error(ds_call_error(15, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)), TARN_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(ds_call2tarn_error(ds_call_error(13, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)), TARN_ERR_FILE_TOO_LARGE);
    EXPECT_EQ(ds_call2posix_error(ds_call_error(9, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)), uint32_t(EAGAIN));
    EXPECT_EQ(ds_call2posix_error(ds_call_error(14, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)), uint32_t(E2BIG));
    EXPECT_TRUE(ds_call_error_is_retryable(ds_call_error(1, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)));
    EXPECT_TRUE(ds_call_error_is_retryable(ds_call_error(7, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)));
    EXPECT_TRUE(ds_call_error_is_retryable(ds_call_error(9, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)));
    EXPECT_FALSE(ds_call_error_is_retryable(ds_call_error(10, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE)));
}

}  // namespace

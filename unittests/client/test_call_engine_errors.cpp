// The call engine's pure parts: error mapping for both server kinds, error
// lines, log levels, the back-off schedule and the wire header codecs.
#include <errno.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/tarn_call_engine.h"
#include "client/tarn_mds_client.h"
#include "client/tarn_wire.h"

namespace {

rpc_error server(uint32_t status) { return rpc_error_make(status, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE); }
rpc_error runtime(uint32_t code) { return rpc_error_make(code, RPC_ERR_RUNTIME, RPC_ORIGIN_REMOTE); }
rpc_error posix(uint32_t code) { return rpc_error_make(code, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL); }

class CallErrorMapping : public ::testing::Test {
   protected:
    static uint32_t mds(rpc_error e) { return tarn_call2posix_error(&tarn_mds_server_kind, e); }
    static uint32_t ds(rpc_error e) { return tarn_call2posix_error(&tarn_ds_server_kind, e); }
};

TEST_F(CallErrorMapping, MdsStatusesMapThroughTheirTable) {
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {3, EEXIST},     {4, EIO},       {5, EINVAL},    {6, EPERM},  {8, ENOENT}, {9, ENOTDIR},
        {11, EREMCHG},   {12, EREMOTE},  {13, ENOTEMPTY}, {14, EOVERFLOW}, {15, ENOSPC}, {16, ENOSYS},
        {17, EROFS},
    };
    for (auto [status, number] : expected) EXPECT_EQ(mds(server(status)), number) << "status " << status;
    // The retryable statuses report EAGAIN whatever their table entry holds.
    for (uint32_t status : {1u, 7u, 10u}) EXPECT_EQ(mds(server(status)), uint32_t(EAGAIN)) << status;
    EXPECT_EQ(tarn_mds_status_errno[7], uint32_t(ENODEV));
    EXPECT_EQ(mds(server(0)), 0u);
}

TEST_F(CallErrorMapping, DsStatusesMapThroughTheirTable) {
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {3, EEXIST},   {4, EIO},      {5, EINVAL}, {6, EPERM}, {8, ENOENT},  {10, EREMCHG},
        {11, EREMOTE}, {12, ENOSPC},  {13, EFBIG}, {14, E2BIG}, {15, ERANGE},
    };
    for (auto [status, number] : expected) EXPECT_EQ(ds(server(status)), number) << "status " << status;
    for (uint32_t status : {1u, 7u, 9u}) EXPECT_EQ(ds(server(status)), uint32_t(EAGAIN)) << status;
    // MDS status 10 is "Delay"; DS status 10 is "Conflict".
    EXPECT_EQ(ds(server(10)), uint32_t(EREMCHG));
}

TEST_F(CallErrorMapping, RuntimeCodesRetryOrBecomeEio) {
    for (uint32_t code : {4u, 9u, 10u, 11u, 12u, 13u, 14u, 34u, 40u}) {
        EXPECT_EQ(mds(runtime(code)), uint32_t(EAGAIN)) << code;
        EXPECT_TRUE(tarn_call_is_retryable(&tarn_ds_server_kind, runtime(code))) << code;
    }
    for (uint32_t code : {2u, 7u, 8u, 29u, 200u}) {
        EXPECT_EQ(mds(runtime(code)), uint32_t(EIO)) << code;
        EXPECT_FALSE(mds_call_is_retryable(runtime(code))) << code;
    }
    // A kind the engine does not know is judged like a runtime code.
    EXPECT_EQ(mds(rpc_error_make(9, 7, RPC_ORIGIN_REMOTE)), uint32_t(EAGAIN));
    EXPECT_EQ(mds(rpc_error_make(0, RPC_ERR_NONE, RPC_ORIGIN_LOCAL)), 0u);
}

TEST_F(CallErrorMapping, PosixCodesPassThroughAndOnlyEagainRetries) {
    EXPECT_EQ(mds(posix(ECANCELED)), uint32_t(ECANCELED));
    EXPECT_TRUE(mds_call_is_retryable(posix(EAGAIN)));
    EXPECT_FALSE(mds_call_is_retryable(posix(ECANCELED)));
    EXPECT_FALSE(mds_call_is_retryable(posix(ENOENT)));
    EXPECT_FALSE(mds_call_is_retryable(server(8)));
    EXPECT_TRUE(mds_call_is_retryable(server(7)));
    EXPECT_FALSE(tarn_call_is_retryable(&tarn_ds_server_kind, server(10)));
}

TEST_F(CallErrorMapping, TarnErrorsOfFailedMdsCalls) {
    EXPECT_EQ(mds_call2tarn_error(server(8)), TARN_ERR_NOT_FOUND);
    EXPECT_EQ(mds_call2tarn_error(server(10)), TARN_ERR_DELAY);
    EXPECT_EQ(mds_call2tarn_error(server(7)), TARN_ERR_DELAY);
    EXPECT_EQ(mds_call2tarn_error(server(3)), TARN_ERR_EXIST);
    EXPECT_EQ(mds_call2tarn_error(server(12)), TARN_ERR_SERVER_FAULT);
    EXPECT_EQ(mds_call2tarn_error(server(14)), TARN_ERR_TOO_BIG);
    EXPECT_EQ(mds_call2tarn_error(runtime(13)), TARN_ERR_DELAY);
    EXPECT_EQ(mds_call2tarn_error(runtime(2)), TARN_ERR_IO);
    EXPECT_EQ(mds_call2tarn_error(posix(ECANCELED)), TARN_ERR_SERVER_FAULT);
    EXPECT_EQ(mds_call2tarn_error(rpc_error_make(0, RPC_ERR_NONE, 0)), TARN_ERR_OK);
}

TEST_F(CallErrorMapping, UnmappableStatusesAreInvariantViolations) {
    EXPECT_DEATH(mds(server(2)), "invariant violated");
    EXPECT_DEATH(mds(server(18)), "invariant violated");
    EXPECT_DEATH(ds(server(16)), "invariant violated");
}

class CallErrorLine : public ::testing::Test {
   protected:
    tarn_host_addr target_{0x00000000000000b1ull, 0x7f000001u, 4242};

    std::string line(const tarn_server_kind* kind, rpc_error e, size_t size = 512) {
        std::vector<char> buf(size);
        tarn_call_format_error_line(kind, "mds_client_lookup", &target_, e, buf.data(), size);
        return std::string(buf.data());
    }
};

TEST_F(CallErrorLine, NamesCallServerAddressErrorAndOrigin) {
    EXPECT_EQ(line(&tarn_mds_server_kind, server(8)),
              "Error from RPC \"mds_client_lookup\" to MDS 00000000000000b1 (127.0.0.1:4242): Not found (rc=8, "
              "remote)");
    EXPECT_EQ(line(&tarn_mds_server_kind, runtime(10)),
              "Error from RPC \"mds_client_lookup\" to MDS 00000000000000b1 (127.0.0.1:4242): Connection lost "
              "(rc=10, remote)");
    EXPECT_EQ(line(&tarn_ds_server_kind, posix(EAGAIN)),
              std::string("Error from RPC \"mds_client_lookup\" to DS 00000000000000b1 (127.0.0.1:4242): ") +
                  strerror(EAGAIN) + " (rc=11, local)");
    EXPECT_EQ(line(&tarn_ds_server_kind, server(7)),
              "Error from RPC \"mds_client_lookup\" to DS 00000000000000b1 (127.0.0.1:4242): Vdisk is not mounted "
              "(rc=7, remote)");
    EXPECT_NE(line(&tarn_mds_server_kind, server(99)).find(": Unknown error code (rc=99"), std::string::npos);
}

TEST_F(CallErrorLine, LongLinesEndInDotsAndTinyBuffersAreCutPlainly) {
    const std::string full = line(&tarn_mds_server_kind, server(1));
    std::string cut = line(&tarn_mds_server_kind, server(1), 40);
    ASSERT_EQ(cut.size(), 39u);
    EXPECT_EQ(cut, full.substr(0, 36) + "...");
    EXPECT_EQ(line(&tarn_mds_server_kind, server(1), 3), "Er");
    // Exactly fitting: no dots.
    EXPECT_EQ(line(&tarn_mds_server_kind, server(1), full.size() + 1), full);
}

TEST_F(CallErrorLine, QuietCodesDifferBetweenKinds) {
    EXPECT_EQ(tarn_call_error_log_level(&tarn_mds_server_kind, server(8)), 4);
    EXPECT_EQ(tarn_call_error_log_level(&tarn_mds_server_kind, server(1)), 4);
    EXPECT_EQ(tarn_call_error_log_level(&tarn_mds_server_kind, runtime(8)), 4);
    EXPECT_EQ(tarn_call_error_log_level(&tarn_mds_server_kind, posix(EPERM)), 4);
    EXPECT_EQ(tarn_call_error_log_level(&tarn_mds_server_kind, server(10)), 1);
    EXPECT_EQ(tarn_call_error_log_level(&tarn_ds_server_kind, server(8)), 4);
    EXPECT_EQ(tarn_call_error_log_level(&tarn_ds_server_kind, posix(EPERM)), 1);
    EXPECT_EQ(tarn_call_error_log_level(&tarn_ds_server_kind, runtime(8)), 1);
}

TEST(CallBackoff, DoublesFromTheBaseToTheCap) {
    const tarn_call_timing t = tarn_call_default_timing();
    EXPECT_EQ(t.backoff_base_ms, 1000u);
    EXPECT_EQ(t.backoff_cap_ms, 60000u);
    EXPECT_EQ(t.retry_tick_ms, 1000u);
    EXPECT_EQ(t.resolver_wait_ms, 1000u);
    std::vector<uint32_t> delays;
    uint32_t delay = 0;
    for (uint32_t retries = 0; retries < 9; retries++) {
        delay = tarn_call_next_delay(retries, delay, false, &t);
        delays.push_back(delay);
    }
    EXPECT_EQ(delays, (std::vector<uint32_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));
}

TEST(CallBackoff, EpochResendGoesAtOnceAndTheNextFailureWaitsTwiceTheBase) {
    const tarn_call_timing t = tarn_call_default_timing();
    const uint32_t resend = tarn_call_next_delay(0, 0, true, &t);
    EXPECT_EQ(resend, 0u);
    EXPECT_EQ(tarn_call_next_delay(1, resend, false, &t), 2000u);
    // Also in the middle of a back-off.
    EXPECT_EQ(tarn_call_next_delay(3, 4000, true, &t), 0u);
}

TEST(CallBackoff, InjectedTimingScalesTheScheduleAndNullRestoresDefaults) {
    const tarn_call_timing fast = {10, 45, 5, 20};
    tarn_call_set_timing(&fast);
    const tarn_call_timing now = tarn_call_get_timing();
    EXPECT_EQ(now.backoff_base_ms, 10u);
    EXPECT_EQ(tarn_call_next_delay(0, 0, false, &now), 10u);
    EXPECT_EQ(tarn_call_next_delay(2, 20, false, &now), 40u);
    EXPECT_EQ(tarn_call_next_delay(3, 40, false, &now), 45u);
    tarn_call_set_timing(nullptr);
    EXPECT_EQ(tarn_call_get_timing().backoff_cap_ms, 60000u);
    EXPECT_EQ(tarn_call_get_timing().resolver_wait_ms, 1000u);
}

TEST(TarnWire, MdsRequestHeaderRoundTripsAtItsOffsets) {
    uint8_t buf[TARN_MDS_REQ_HDR_BYTES] = {};
    tarn_mds_req_hdr h{};
    h.length = 169;
    h.type = TARN_MDS_LOOKUP;
    h.version = TARN_WIRE_VERSION;
    h.client_id = 0x1122334455667788ull;
    h.epoch = 7;
    h.flags = TARN_REQ_FLAG_EPOCH_RESEND;
    for (size_t i = 0; i < TARN_WIRE_CREDS_BYTES; i++) h.credentials[i] = uint8_t(i + 1);
    h.fs_id = 0x1001;
    tarn_mds_req_hdr_write(buf, &h);
    EXPECT_EQ(tarn_wire_get_u32(buf, 0), 169u);
    EXPECT_EQ(tarn_wire_get_u32(buf, 4), 4204u);
    EXPECT_EQ(tarn_wire_get_u64(buf, 24), 2u);
    EXPECT_EQ(tarn_wire_get_u64(buf, 32), 0x1122334455667788ull);
    EXPECT_EQ(tarn_wire_get_u32(buf, 40), 7u);
    EXPECT_EQ(tarn_wire_get_u32(buf, 44), 1u);
    EXPECT_EQ(buf[48], 1);
    EXPECT_EQ(buf[127], 80);
    EXPECT_EQ(tarn_wire_get_u64(buf, 128), 0x1001u);
    // The transaction id is the transport's.
    for (size_t i = 8; i < 24; i++) EXPECT_EQ(buf[i], 0) << i;

    tarn_mds_req_hdr back{};
    ASSERT_EQ(tarn_mds_req_hdr_read(buf, sizeof buf, &back), 0);
    EXPECT_EQ(memcmp(&back, &h, sizeof h), 0);
    EXPECT_EQ(tarn_mds_req_hdr_read(buf, sizeof buf - 1, &back), -EINVAL);
}

TEST(TarnWire, ReplyHeaderNeedsThirtyTwoBytes) {
    uint8_t buf[32] = {};
    tarn_reply_hdr_write(buf, 32, TARN_MDS_NOOP + 1, TARN_MDS_NOT_FOUND);
    tarn_reply_hdr h{};
    ASSERT_EQ(tarn_reply_hdr_read(buf, 32, &h), 0);
    EXPECT_EQ(h.type, 4203u);
    EXPECT_EQ(h.status, 8u);
    EXPECT_EQ(tarn_reply_hdr_read(buf, 31, &h), -EINVAL);
    tarn_wire_put_u32(buf, 0, 31);
    EXPECT_EQ(tarn_reply_hdr_read(buf, 32, &h), -EINVAL);
}

}  // namespace

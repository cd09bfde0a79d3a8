// The DS call end to end against a scripted DS on loopback: targets by
// virtual disk and fixed host, retries of the DS retryable statuses, the
// locator reports, per-call time-outs, both ways of waiting with their
// cancellation, and bulk data straight into and out of the caller's buffer.
// The engine's intervals are shortened tenfold.
#include <errno.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/ds_scripted_server.h"
#include "client/tarn_call_engine.h"
#include "client/tarn_cancel.h"
#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_ds_client.h"
#include "client/tarn_ds_client_ops.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/rpc.h"
#include "client_test_env.h"
#include "log_capture.h"

namespace {

using namespace ds_test;
using namespace std::chrono_literals;

constexpr uint64_t kClientId = 0x0badc0de0badc0deull;
constexpr uint64_t kHost = 0xd5;
constexpr uint64_t kToken = 0x77;
constexpr uint64_t kFileId = 0x1234;
constexpr tarn_call_timing kFastTiming = {100, 6000, 20, 100};

long ms_since(Clock::time_point t) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

int epoch_one(void*, uint32_t* out) {
    *out = 1;
    return 0;
}

struct Outcome {
    call_state state = CALL_IDLE;
    rpc_error error{};
    bool coroutine_mode = false;
};

using clienttest::LogCapture;

// The data a read of `offset` returns, byte i of the file being (i * 13) & 0xff.
uint8_t file_byte(uint64_t i) { return uint8_t(i * 13); }

DsAnswer read_answer(const DsRequest& r) {
    const uint64_t offset = r.u64(144);
    const uint32_t count = r.u32(152);
    DsAnswer a = reply(0, 112 + count);
    a.put_u32(108, count);
    for (uint32_t i = 0; i < count; i++) a.bytes[112 + i] = file_byte(offset + i);
    return a;
}

class DsCallFixture : public ::testing::Test {
   protected:
    // How many lanes the calls of the test's threads go out on (0: on the
    // client's own process). Coroutine-mode calls stay on it anyway.
    virtual uint32_t lane_count() const { return 0; }

    void SetUp() override {
        tarn_call_set_timing(&kFastTiming);
        saved_level_ = __kiv_log_level;
        __kiv_log_level = 4;
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
        lanes_ = std::make_unique<clienttest::Lanes>(lane_count(), kClientId);
        ds_client_set_lanes(client_, lanes_->get(), lanes_->count());
    }

    void TearDown() override {
        ds_client_destroy(client_);
        lanes_.reset();
        tarn_conn_pool_destroy(pool_);
        tarn_conn_factory_destroy(factory_);
        kiv_process_terminate(&process_);
        kiv_process_wait(&process_);
        kiv_process_fini(&process_);
        server_.reset();
        kiv_log_set_hook(nullptr, nullptr);
        __kiv_log_level = saved_level_;
        tarn_call_set_timing(nullptr);
    }

    ds_call_target fixed() const {
        return ds_target_fixed_host(tarn_host_addr{kHost, ScriptedDs::kLoopback, server_->port()});
    }

    // One call from this thread: init, `prepare` (optional), `op`, wait, fini.
    Outcome run(ds_call_target target, uint32_t retry_ms, const std::function<void(ds_call*)>& op,
                const std::function<void(ds_call*)>& prepare = nullptr) {
        ds_call call;
        ds_call_init(&call, client_, retry_ms, target);
        if (prepare) prepare(&call);
        op(&call);
        ds_call_wait_for_result(&call);
        Outcome o{ds_call_get_state(&call), call.base.error, call.coroutine_mode};
        ds_call_fini(&call);
        return o;
    }

    Outcome noop(ds_call_target target, uint32_t retry_ms) {
        return run(target, retry_ms, [](ds_call* c) { ds_noop_async(c); });
    }

    // The same, from inside the loop: this thread moves onto the loop for the
    // call, as a coroutine of the process.
    Outcome run_moved(ds_call_target target, uint32_t retry_ms, const std::function<void(ds_call*)>& op,
                      const std::function<void(kiv_context*)>& on_context = nullptr) {
        kiv_move_to_coroutine(&process_);
        kiv_context* ctx = kiv_context_get();
        if (on_context) on_context(ctx);
        Outcome o = run(target, retry_ms, op);
        kiv_context_put(ctx);
        kiv_move_from_coroutine();
        return o;
    }

    LogCapture log_;
    int saved_level_ = 3;
    kiv_process process_{};
    tarn_conn_factory* factory_ = nullptr;
    tarn_conn_pool* pool_ = nullptr;
    std::unique_ptr<ScriptedDs> server_;
    std::unique_ptr<FakeLocator> locator_;
    ds_client* client_ = nullptr;
    std::unique_ptr<clienttest::Lanes> lanes_;
    uint8_t creds_[80] = {};
};

class DsCallNetTest : public DsCallFixture, public ::testing::WithParamInterface<uint32_t> {
   protected:
    uint32_t lane_count() const override { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Lanes, DsCallNetTest, ::testing::Values(0u, 2u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return info.param == 0 ? std::string("OwnLoop") : std::to_string(info.param) + "Lanes";
                         });

// ---------------------------------------------------------------- targets and retries
TEST_P(DsCallNetTest, ByVdiskAsksTheLocatorAtEveryAttempt) {
    server_->script({reply(TARN_DS_DELAY), reply(TARN_DS_DELAY), reply(0)});
    Outcome o = noop(ds_target_by_vdisk(2), 15000);
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_FALSE(o.coroutine_mode);
    std::vector<DsRequest> r = server_->requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(locator_->lookups(), 3u);
    // Back-off 100 then 200 ms (the default schedule over ten).
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(r[1].at - r[0].at).count(), 95);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(r[2].at - r[1].at).count(), 195);
    EXPECT_EQ(log_.count("Scheduled retry #2 in 200ms"), 1);
    EXPECT_EQ(locator_->unmounted_reports() + locator_->unreachable_reports(), 0u);
    for (const DsRequest& x : r) {
        EXPECT_EQ(x.frame.size(), 512u);
        EXPECT_EQ(x.hdr.client_id, kClientId);
        EXPECT_EQ(x.hdr.version, 2u);
    }
}

TEST_P(DsCallNetTest, EpochUnknownIsAnnouncedAtOnceWithTheResendFlag) {
    server_->script({reply(TARN_DS_EPOCH_UNKNOWN), reply(0)});
    Outcome o = noop(fixed(), 15000);
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<DsRequest> r = server_->requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].hdr.flags, 0u);
    EXPECT_EQ(r[1].hdr.flags, TARN_REQ_FLAG_EPOCH_RESEND);
    EXPECT_EQ(r[1].hdr.epoch, 1u);
    // At once, without the 100 ms back-off of a plain retry.
    EXPECT_EQ(log_.count("Scheduled retry #1 in 0ms"), 1);
}

TEST_P(DsCallNetTest, NotMountedIsReportedToTheLocatorAndRetried) {
    server_->script({reply(TARN_DS_NOT_MOUNTED), reply(TARN_DS_NOT_MOUNTED), reply(0)});
    Outcome o = noop(ds_target_by_vdisk(3), 15000);
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_EQ(server_->requests().size(), 3u);
    EXPECT_EQ(locator_->unmounted_reports(), 2u);
    EXPECT_EQ(locator_->unreachable_reports(), 0u);
    EXPECT_EQ(locator_->last_report(), std::make_pair(uint16_t(3), kHost));

    // A caller that still gets it after the retries is told to try later.
    server_->set_default(reply(TARN_DS_NOT_MOUNTED));
    o = noop(ds_target_by_vdisk(3), 0);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(ds_call2tarn_error(o.error), TARN_ERR_DELAY);
    EXPECT_EQ(locator_->unmounted_reports(), 3u);
}

TEST_P(DsCallNetTest, FixedHostReportsNothing) {
    server_->script({reply(TARN_DS_NOT_MOUNTED), error_frame(KIV_E_CONNLOST), reply(0)});
    Outcome o = noop(fixed(), 15000);
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_EQ(server_->requests().size(), 3u);
    EXPECT_EQ(locator_->lookups(), 0u);
    EXPECT_EQ(locator_->unmounted_reports() + locator_->unreachable_reports(), 0u);
}

TEST_P(DsCallNetTest, NonRetryableStatusFailsAtOnceAndLogsItsLine) {
    server_->set_default(reply(TARN_DS_NOT_FOUND));
    Outcome o = noop(ds_target_by_vdisk(0), TARN_RETRY_FOREVER);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, 8u);
    EXPECT_EQ(o.error.kind, RPC_ERR_SERVER);
    EXPECT_EQ(o.error.origin, RPC_ORIGIN_REMOTE);
    EXPECT_EQ(ds_call2tarn_error(o.error), TARN_ERR_NOT_FOUND);
    EXPECT_EQ(server_->requests().size(), 1u);
    char line[200];
    snprintf(line, sizeof line,
             "Error from RPC \"ds_noop_async\" to DS 00000000000000d5 (127.0.0.1:%u): File not found (rc=8, remote)",
             unsigned(server_->port()));
    EXPECT_EQ(log_.count(line, 4), 1);
    EXPECT_EQ(log_.count("Scheduled retry"), 0);
}

TEST_P(DsCallNetTest, RetryableFailureGivesUpAtTheDeadline) {
    server_->set_default(reply(TARN_DS_DELAY));
    const auto start = Clock::now();
    Outcome o = noop(ds_target_by_vdisk(1), 1500);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(ds_call2tarn_error(o.error), TARN_ERR_DELAY);
    EXPECT_GE(ms_since(start), 1500);
    // Attempts at about 0, 100, 300, 700 and 1500 ms.
    EXPECT_EQ(server_->requests().size(), 5u);
    EXPECT_EQ(log_.count("Still failing after 4 retries, giving up", 1), 1);
}

struct RuntimeCase {
    uint32_t code;
    bool unreachable; // reported as an unreachable host
    bool retryable;
};

class DsCallRuntimeErrorTest : public DsCallFixture, public ::testing::WithParamInterface<RuntimeCase> {};

TEST_P(DsCallRuntimeErrorTest, ReportedAsUnreachableHostForByVdiskCallsOnly) {
    const RuntimeCase c = GetParam();
    server_->set_default(error_frame(c.code));
    Outcome o = noop(ds_target_by_vdisk(1), 0);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, c.code);
    EXPECT_EQ(o.error.kind, RPC_ERR_RUNTIME);
    EXPECT_EQ(ds_call2posix_error(o.error), uint32_t(c.retryable ? EAGAIN : EIO));
    EXPECT_EQ(locator_->unreachable_reports(), c.unreachable ? 1u : 0u);
    EXPECT_EQ(locator_->unmounted_reports(), 0u);
    if (c.unreachable) {
        EXPECT_EQ(locator_->last_report(), std::make_pair(uint16_t(1), kHost));
    }

    o = noop(fixed(), 0);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, c.code);
    EXPECT_EQ(locator_->unreachable_reports(), c.unreachable ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Codes, DsCallRuntimeErrorTest,
                         ::testing::Values(RuntimeCase{KIV_E_CONNFAIL, true, true},
                                           RuntimeCase{KIV_E_CONNLOST, true, true},
                                           RuntimeCase{KIV_E_NOTCONN, true, true},
                                           RuntimeCase{KIV_E_UNREACH, true, true},
                                           RuntimeCase{KIV_E_TIMEDOUT, true, true},
                                           RuntimeCase{KIV_E_CONNTIMEDOUT, true, true},
                                           RuntimeCase{KIV_E_BUSY, false, true},
                                           RuntimeCase{KIV_E_ABANDONED, false, true},
                                           RuntimeCase{KIV_E_NOTREADY, false, true},
                                           RuntimeCase{KIV_E_PROTO, false, false}));

TEST_P(DsCallNetTest, DroppedConnectionAndRefusedConnectAreUnreachableHosts) {
    server_->script({drop()});
    Outcome o = noop(ds_target_by_vdisk(0), 0);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, uint32_t(KIV_E_CONNLOST));
    EXPECT_EQ(locator_->unreachable_reports(), 1u);

    // The server goes down; the call keeps trying until it is back.
    const uint16_t port = server_->port();
    server_->stop();
    std::thread restart([&] {
        std::this_thread::sleep_for(400ms);
        server_->start(port);
    });
    o = noop(ds_target_by_vdisk(0), 15000);
    restart.join();
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_GE(locator_->unreachable_reports(), 2u);
    EXPECT_GE(log_.count("Connection failed (rc=4, remote)"), 1);
}

TEST_P(DsCallNetTest, MissingMapIsRetriedAndADiskBeyondTheMapFails) {
    locator_->set_map_known(false);
    std::thread later([&] {
        std::this_thread::sleep_for(250ms);
        locator_->set_map_known(true);
    });
    Outcome o = noop(ds_target_by_vdisk(1), 15000);
    later.join();
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_GE(locator_->lookups(), 3u);
    EXPECT_EQ(server_->requests().size(), 1u);

    o = noop(ds_target_by_vdisk(9), 15000);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, uint32_t(EINVAL));
    EXPECT_EQ(o.error.kind, RPC_ERR_POSIX);
    EXPECT_EQ(ds_call2tarn_error(o.error), TARN_ERR_INVAL);
    EXPECT_EQ(server_->requests().size(), 1u);
}

TEST_P(DsCallNetTest, PerCallTimeOutBoundsEachAttempt) {
    server_->set_default(silent());
    const auto start = Clock::now();
    Outcome o = run(fixed(), 0, [](ds_call* c) { ds_noop_async(c); },
                    [](ds_call* c) { ds_call_set_call_timeout(c, 300); });
    const long elapsed = ms_since(start);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, uint32_t(KIV_E_TIMEDOUT));
    EXPECT_EQ(o.error.kind, RPC_ERR_RUNTIME);
    EXPECT_GE(elapsed, 280);
    EXPECT_LT(elapsed, 5000);
}

TEST_P(DsCallNetTest, SeveralCallsInFlightFromOneThread) {
    std::vector<uint8_t> bufs[3];
    uint32_t counts[3] = {};
    uint8_t eofs[3] = {};
    ds_call calls[3];
    server_->set_responder(read_answer);
    for (int i = 0; i < 3; i++) {
        bufs[i].assign(1000, 0);
        ds_call_init(&calls[i], client_, 15000, ds_target_by_vdisk(uint16_t(i)));
        ds_read_async(&calls[i], kToken, kFileId, creds_, uint64_t(i) * 5000, bufs[i].data(), 1000, &counts[i],
                      &eofs[i], nullptr);
    }
    for (int i = 0; i < 3; i++) {
        ds_call_wait_for_result(&calls[i]);
        EXPECT_EQ(ds_call_get_state(&calls[i]), CALL_DONE);
        ds_call_fini(&calls[i]);
        EXPECT_EQ(counts[i], 1000u);
        for (uint32_t k = 0; k < 1000; k++) ASSERT_EQ(bufs[i][k], file_byte(uint64_t(i) * 5000 + k));
    }
}

// Many threads, each with one read in flight at a time: every call ends
// done with its own data and every wait ends, though evloop hands most of
// the wake-ups on to the woken threads. With lanes, the threads are spread
// over all of them and each keeps its own.
TEST_P(DsCallNetTest, ManyThreadsManyCallsEachEndWithTheirOwnData) {
    server_->set_responder(read_answer);
    constexpr int kThreads = 16, kCalls = 150;
    std::atomic<int> wrong{0};
    std::mutex mu;
    std::set<kiv_process*> loops;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            std::vector<uint8_t> buf(512);
            kiv_process* mine = nullptr;
            for (int i = 0; i < kCalls; i++) {
                const uint64_t offset = uint64_t(t) * 100000 + uint64_t(i) * 512;
                uint32_t count = 0;
                uint8_t eof = 0;
                ds_call call;
                ds_call_init(&call, client_, 15000, ds_target_by_vdisk(uint16_t(i % 4)));
                if (mine == nullptr) {
                    mine = call.base.process;
                    std::lock_guard<std::mutex> g(mu);
                    loops.insert(mine);
                }
                ds_read_async(&call, kToken, kFileId, creds_, offset, buf.data(), 512, &count, &eof, nullptr);
                ds_call_wait_for_result(&call);
                bool ok = ds_call_get_state(&call) == CALL_DONE && count == 512 && call.base.process == mine;
                for (uint32_t k = 0; ok && k < 512; k++) ok = buf[k] == file_byte(offset + k);
                ds_call_fini(&call);
                if (!ok) wrong++;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(loops.size(), std::max<size_t>(GetParam(), 1));
    EXPECT_EQ(loops.count(&process_), GetParam() == 0 ? 1u : 0u);
}

// A send still queued behind a busy loop when the process terminates fails
// its call with ESHUTDOWN: the waiting thread is released, nothing is sent.
TEST_P(DsCallNetTest, TerminateFailsACallWhoseSendIsStillQueued) {
    ds_call call;
    ds_call_init(&call, client_, 15000, fixed());
    kiv_process* loop = call.base.process;  // the client's own or this thread's lane
    EXPECT_EQ(loop == &process_, GetParam() == 0);
    rttest::LoopHolder holder(loop);
    ds_noop_async(&call);
    EXPECT_EQ(ds_call_get_state(&call), CALL_IN_FLIGHT);
    kiv_process_terminate(loop);
    ds_call_wait_for_result(&call);
    EXPECT_EQ(ds_call_get_state(&call), CALL_FAILED);
    EXPECT_EQ(call.base.error.kind, RPC_ERR_POSIX);
    EXPECT_EQ(call.base.error.code, uint32_t(ESHUTDOWN));
    ds_call_fini(&call);
    holder.release();
    EXPECT_EQ(server_->count(), 0u);
}

TEST_P(DsCallNetTest, FenceMergesTheNoopsOfEveryDisk) {
    EXPECT_EQ(ds_fence(client_, 0, 15000, nullptr), 0);
    EXPECT_EQ(server_->count(), 0u);
    server_->set_default(reply(0));
    EXPECT_EQ(ds_fence(client_, 4, 15000, nullptr), 0);
    EXPECT_EQ(server_->count(), 4u);
    server_->script({reply(0), reply(TARN_DS_INVAL), reply(TARN_DS_DELAY), reply(0)});
    EXPECT_EQ(ds_fence(client_, 3, 15000, nullptr), -EINVAL);
    EXPECT_EQ(server_->count(), 8u);
}

// ---------------------------------------------------------------- cancellation
TEST_P(DsCallNetTest, CancelTokenEndsAThreadModeCallBetweenAttempts) {
    server_->set_default(reply(TARN_DS_DELAY));
    tarn_cancel_ctrl* ctrl = tarn_cancel_ctrl_create();
    const auto start = Clock::now();  // before the canceller's sleep begins
    std::thread canceller([&] {
        std::this_thread::sleep_for(250ms);
        tarn_cancel_ctrl_cancel(ctrl);
    });
    ds_call call;
    ds_call_init(&call, client_, TARN_RETRY_FOREVER, ds_target_by_vdisk(0));
    ds_call_make_cancellable(&call, tarn_cancel_ctrl_get_token(ctrl));
    ds_noop_async(&call);
    ds_call_wait_for_result(&call);
    const long elapsed = ms_since(start);
    canceller.join();
    EXPECT_EQ(ds_call_get_state(&call), CALL_FAILED);
    EXPECT_TRUE(ds_call_is_cancelled(&call));
    EXPECT_EQ(ds_call_result(&call), -ECANCELED);
    ds_call_fini(&call);
    tarn_cancel_ctrl_destroy(ctrl);
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 5000);  // long before the back-off reaches its 6 s cap
}

TEST_P(DsCallNetTest, CoroutineModeWaitsOnAnEventInAMovedThread) {
    server_->set_responder(read_answer);
    std::vector<uint8_t> buf(8192, 0);
    uint32_t count = 0;
    uint8_t eof = 0;
    Outcome o = run_moved(ds_target_by_vdisk(1), 15000, [&](ds_call* c) {
        ds_read_async(c, kToken, kFileId, creds_, 100, buf.data(), 8192, &count, &eof, nullptr);
    });
    EXPECT_TRUE(o.coroutine_mode);
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_EQ(count, 8192u);
    for (uint32_t i = 0; i < 8192; i++) ASSERT_EQ(buf[i], file_byte(100 + i)) << i;
}

struct CoJob {
    DsCallNetTest* test;
    ds_client* client;
    tarn_host_addr host;
    Outcome outcome;
    int retries_seen = 0;
};

TEST_P(DsCallNetTest, CoroutineModeInsideARuntimeCoroutine) {
    server_->script({reply(TARN_DS_DELAY), reply(0)});
    CoJob job{this, client_, tarn_host_addr{kHost, ScriptedDs::kLoopback, server_->port()}, {}};
    kiv_move_to_coroutine(&process_);
    kiv_co* co = kiv_co_create(
        nullptr,
        [](void* arg) {
            auto* j = static_cast<CoJob*>(arg);
            ds_call call;
            ds_call_init(&call, j->client, 15000, ds_target_fixed_host(j->host));
            ds_noop_async(&call);
            ds_call_wait_for_result(&call);
            j->outcome = Outcome{ds_call_get_state(&call), call.base.error, call.coroutine_mode};
            ds_call_fini(&call);
        },
        &job);
    kiv_co_join(co);
    kiv_move_from_coroutine();
    EXPECT_TRUE(job.outcome.coroutine_mode);
    EXPECT_EQ(job.outcome.state, CALL_DONE);
    EXPECT_EQ(server_->count(), 2u);
}

TEST_P(DsCallNetTest, CancelledCoroutineAbandonsTheRequestOnTheWire) {
    server_->set_default(silent());
    std::thread canceller;
    const auto start = Clock::now();
    Outcome o = run_moved(
        ds_target_by_vdisk(0), 15000, [](ds_call* c) { ds_noop_async(c); },
        [&](kiv_context* ctx) {
            // The cancel waits for the request to reach the server: one that
            // came first would end a call that never went on the wire.
            canceller = std::thread([this, ctx] {
                server_->wait_requests(1, 30000ms);
                std::this_thread::sleep_for(250ms);
                kiv_context_cancel(ctx);
            });
        });
    const long elapsed = ms_since(start);
    canceller.join();
    EXPECT_TRUE(o.coroutine_mode);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, uint32_t(ECANCELED));
    EXPECT_EQ(o.error.kind, RPC_ERR_POSIX);
    EXPECT_EQ(o.error.origin, RPC_ORIGIN_LOCAL);
    // Long before the 30 s reply time-out, and without another attempt.
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 5000);
    EXPECT_EQ(server_->count(), 1u);
    // An abandoned request is not an unreachable host.
    EXPECT_EQ(locator_->unreachable_reports(), 0u);
}

TEST_P(DsCallNetTest, CancelledCoroutineEndsItsCallAtTheNextRetryTick) {
    server_->set_default(reply(TARN_DS_DELAY));
    std::thread canceller;
    const auto start = Clock::now();
    Outcome o = run_moved(
        fixed(), TARN_RETRY_FOREVER, [](ds_call* c) { ds_noop_async(c); },
        [&](kiv_context* ctx) {
            canceller = std::thread([ctx] {
                std::this_thread::sleep_for(350ms);
                kiv_context_cancel(ctx);
            });
        });
    const long elapsed = ms_since(start);
    canceller.join();
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(o.error.code, uint32_t(ECANCELED));
    EXPECT_GE(elapsed, 350);
    EXPECT_LT(elapsed, 5000);
}

// ---------------------------------------------------------------- bulk data
TEST_P(DsCallNetTest, LargeReadLandsInTheCallersBuffer) {
    server_->set_responder(read_answer);
    const uint32_t n = 4u << 20;
    std::vector<uint8_t> buf(n + 64, 0xcc);
    uint32_t count = 0;
    uint8_t eof = 1;
    Outcome o = run(ds_target_by_vdisk(0), 15000, [&](ds_call* c) {
        ds_read_async(c, kToken, kFileId, creds_, 7, buf.data(), n, &count, &eof, nullptr);
    });
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_EQ(count, n);
    EXPECT_EQ(eof, 0);
    for (uint32_t i = 0; i < n; i++)
        if (buf[i] != file_byte(7 + i)) FAIL() << "byte " << i;
    for (uint32_t i = n; i < buf.size(); i++) EXPECT_EQ(buf[i], 0xcc);
}

TEST_P(DsCallNetTest, RetriedWriteSendsTheCallersDataEveryTime) {
    const uint32_t n = 1u << 20;
    std::vector<uint8_t> data(n);
    for (uint32_t i = 0; i < n; i++) data[i] = uint8_t(i * 31 + 5);
    DsAnswer ok = reply(0, 168);
    ok.put_u32(32, n);
    server_->script({reply(TARN_DS_DELAY), ok});
    uint32_t written = 0;
    Outcome o = run(ds_target_by_vdisk(2), 15000, [&](ds_call* c) {
        ds_write_async(c, kToken, kFileId, creds_, 0, data.data(), n, 0, &written, nullptr, nullptr);
    });
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_EQ(written, n);
    std::vector<DsRequest> r = server_->requests();
    ASSERT_EQ(r.size(), 2u);
    for (const DsRequest& x : r) {
        ASSERT_EQ(x.frame.size(), size_t(n) + 512);
        EXPECT_EQ(x.u32(0), n + 512);
        EXPECT_EQ(x.u32(160), n);
        EXPECT_EQ(x.hdr.location_token, kToken);
        EXPECT_EQ(memcmp(x.frame.data() + 512, data.data(), n), 0);
    }
}

TEST_P(DsCallNetTest, ReadRetriedAfterAnUnmountedDiskFillsTheBufferOnce) {
    std::atomic<int> calls{0};
    server_->set_responder([&](const DsRequest& r) {
        if (calls++ == 0) return reply(TARN_DS_NOT_MOUNTED);
        return read_answer(r);
    });
    std::vector<uint8_t> buf(4096, 0);
    uint32_t count = 0;
    uint8_t eof = 0;
    Outcome o = run(ds_target_by_vdisk(1), 15000, [&](ds_call* c) {
        ds_read_async(c, kToken, kFileId, creds_, 4096, buf.data(), 4096, &count, &eof, nullptr);
    });
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_EQ(count, 4096u);
    EXPECT_EQ(locator_->unmounted_reports(), 1u);
    for (uint32_t i = 0; i < 4096; i++) ASSERT_EQ(buf[i], file_byte(4096 + i));
}

// A disk remounted after a restart has a new token: the retry that follows
// "not mounted" must carry what the locator holds by then, else every
// retry is answered "not mounted" again until the call gives up.
TEST_P(DsCallNetTest, EveryAttemptCarriesTheLocatorsCurrentToken) {
    constexpr uint64_t kNewToken = 0x0001000200000009ull;
    std::atomic<int> calls{0};
    server_->set_responder([&](const DsRequest& r) {
        if (calls++ > 0) return r.hdr.location_token == kNewToken ? reply(0, 160) : reply(TARN_DS_NOT_MOUNTED);
        locator_->set_token(kNewToken);
        return reply(TARN_DS_NOT_MOUNTED);
    });
    Outcome o = run(ds_target_by_vdisk(1), 15000, [&](ds_call* c) {
        ds_commit_async(c, kToken, kFileId, creds_, nullptr, nullptr);
    });
    EXPECT_EQ(o.state, CALL_DONE);
    std::vector<DsRequest> r = server_->requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].hdr.location_token, kToken);
    EXPECT_EQ(r[1].hdr.location_token, kNewToken);
    EXPECT_EQ(r[1].hdr.file_id, kFileId);
}

// ---------------------------------------------------------------- contract
TEST(DsCallContractDeathTest, CallTimeOutAboveSixtySecondsIsABug) {
    ds_client client{};
    ds_call call;
    ds_call_init(&call, &client, 0, ds_target_by_vdisk(0));
    ds_call_set_call_timeout(&call, 60000);
    EXPECT_EQ(call.base.reply_timeout_ms, 60000u);
    EXPECT_DEATH(ds_call_set_call_timeout(&call, 60001), "invariant violated");
    ds_call_fini(&call);
}

TEST(DsCallContractDeathTest, UnknownTargetModeIsABugWhenSent) {
    ds_call_target t = ds_target_by_vdisk(0);
    t.mode = 2;
    EXPECT_DEATH(
        {
            kiv_process p{};
            kiv_process_init_(&p);
            kiv_process_start(&p, "evloop");
            ds_locator_callbacks cb{};
            ds_client* client = nullptr;
            ds_client_create(nullptr, 1, epoch_one, nullptr, &p, &client, cb);
            ds_call call;
            ds_call_init(&call, client, 0, t);
            ds_noop_async(&call);
            ds_call_wait_for_result(&call);  // the send runs on evloop
        },
        "invariant violated");
}

}  // namespace

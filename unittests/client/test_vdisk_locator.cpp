// The virtual-disk locator against a scripted MDS that the test registers in
// the simulated cluster's registry: the first map, refreshes after reports
// from the DS client, unmounted reports to the MDS, the worker thread that
// ends when idle and comes back on a report, pauses after failures and a
// destroy that cuts them short. The last tests put the DS client, the
// locator and two scripted data servers together.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/ds_scripted_server.h"
#include "client_test_env.h"
#include "client/tarn_call_engine.h"
#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_ds_client.h"
#include "client/tarn_ds_client_ops.h"
#include "client/tarn_mds_client.h"
#include "client/tarn_mds_client_ops.h"
#include "client/tarn_mds_resolver.h"
#include "client/tarn_vdisk_locator.h"
#include "client/tarn_wire.h"
#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"
#include "localcluster/cluster.h"

namespace {

using ds_test::Clock;
using namespace std::chrono_literals;

constexpr uint64_t kFsId = 0x7a01;
constexpr const char* kFsName = "locatorfs";
constexpr uint64_t kMdsHost = 0xb7;
constexpr uint64_t kClientId = 0x10ca7012ull;
constexpr tarn_call_timing kFastTiming = {100, 6000, 20, 100};

long ms_since(Clock::time_point t) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

int epoch_one(void*, uint32_t* out) {
    *out = 1;
    return 0;
}

// Threads of this process named "tarn-clnt-sync".
int sync_threads() {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        n += name == "tarn-clnt-sync";
    }
    closedir(d);
    return n;
}

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 60s) {
    const auto until = Clock::now() + limit;
    while (Clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

struct MapEntry {
    uint64_t token;
    uint64_t host_id;
    uint32_t ipv4;
    uint16_t port;
};

struct Report {
    uint32_t kind;
    uint32_t vdisk_id;
    uint64_t host_id;
};

// ---------------------------------------------------------------- scripted MDS
// Answers get_vdisk_map with its current map and records report_vdisk
// requests; either may be told to fail with a status or to answer late.
class MapMds {
   public:
    MapMds() {
        kiv_process_init_(&process_);
        kiv_process_start(&process_, "test-mds");
    }
    ~MapMds() {
        if (server_ != nullptr) kiv_rpc_server_close(server_);
        for (auto& t : later_) t.join();
        clienttest::stop_process(&process_);
    }

    uint16_t start() {
        kiv_netaddr addr;
        kiv_parse_netaddr("127.0.0.1:0", &addr);
        kiv_rpc_server_ops ops{};
        ops.on_request = [](kiv_rpc_sconn* c, kiv_msg* req, void* arg) { static_cast<MapMds*>(arg)->handle(c, req); };
        if (kiv_rpc_listen(&process_, &addr, TARN_MDS_MAX_MSG, &ops, this, &server_) != 0) return 0;
        kiv_netaddr bound;
        kiv_rpc_server_addr(server_, &bound);
        return bound.port;
    }

    void set_map(std::vector<MapEntry> map) {
        std::lock_guard<std::mutex> g(mu_);
        map_ = std::move(map);
    }
    // Maps to answer after the current one, one per fetch; the last stays.
    void queue_maps(std::vector<std::vector<MapEntry>> maps) {
        std::lock_guard<std::mutex> g(mu_);
        queued_.assign(maps.begin(), maps.end());
    }
    void set_fetch_status(uint32_t status) {
        std::lock_guard<std::mutex> g(mu_);
        fetch_status_ = status;
    }
    void set_report_status(uint32_t status) {
        std::lock_guard<std::mutex> g(mu_);
        report_status_ = status;
    }
    void set_fetch_delay(uint32_t ms) {
        std::lock_guard<std::mutex> g(mu_);
        fetch_delay_ms_ = ms;
    }

    int fetches() {
        std::lock_guard<std::mutex> g(mu_);
        return fetches_;
    }
    // A late answer has been sent (or is on its way out).
    bool late_answered() const { return late_answered_; }
    std::vector<std::vector<Report>> reports() {
        std::lock_guard<std::mutex> g(mu_);
        return reports_;
    }
    bool wait_fetches(int n, std::chrono::milliseconds limit = 60s) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, limit, [&] { return fetches_ >= n; });
    }

   private:
    void handle(kiv_rpc_sconn* c, kiv_msg* req) {
        const uint32_t type = tarn_wire_get_u32(req->buf, TARN_MSG_TYPE);
        std::unique_lock<std::mutex> lk(mu_);
        kiv_msg* rep = nullptr;
        uint32_t delay = 0;
        if (type == TARN_MDS_GET_VDISK_MAP) {
            fetches_++;
            if (fetch_status_ != 0) {
                rep = status_reply(req, fetch_status_);
            } else {
                if (!queued_.empty()) {
                    map_ = queued_.front();
                    if (queued_.size() > 1) queued_.erase(queued_.begin());
                    else queued_.clear();
                }
                const uint32_t len = uint32_t(40 + 24 * map_.size());
                rep = kiv_rpc_alloc_reply(req, len);
                tarn_wire_put_u32(rep->buf, 32, uint32_t(map_.size()));
                for (size_t i = 0; i < map_.size(); i++) {
                    uint8_t* e = rep->buf + 40 + 24 * i;
                    tarn_wire_put_u64(e, 0, map_[i].token);
                    tarn_wire_put_u64(e, 8, map_[i].host_id);
                    tarn_wire_put_u32(e, 16, map_[i].ipv4);
                    tarn_wire_put_u16(e, 20, map_[i].port);
                }
                delay = fetch_delay_ms_;
            }
        } else if (type == TARN_MDS_REPORT_VDISK) {
            std::vector<Report> records;
            const uint32_t n = tarn_wire_get_u32(req->buf, 136);
            for (uint32_t i = 0; i < n && 144 + 16 * (i + 1) <= req->kept_len; i++) {
                const uint8_t* r = req->buf + 144 + 16 * i;
                records.push_back(Report{tarn_wire_get_u32(r, 0), tarn_wire_get_u32(r, 4), tarn_wire_get_u64(r, 8)});
            }
            reports_.push_back(records);
            rep = status_reply(req, report_status_);
        } else {
            rep = status_reply(req, 0);
        }
        cv_.notify_all();
        if (delay == 0) {
            lk.unlock();
            kiv_rpc_reply(c, rep);
        } else {
            kiv_rpc_sconn_ref(c);
            later_.emplace_back([this, c, rep, delay] {
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                late_answered_ = true;
                kiv_rpc_reply(c, rep);
                kiv_rpc_sconn_unref(c);
            });
        }
        kiv_free_msg(req);
    }

    static kiv_msg* status_reply(const kiv_msg* req, uint32_t status) {
        kiv_msg* rep = kiv_rpc_alloc_reply(req, TARN_REPLY_HDR_BYTES);
        tarn_wire_put_u32(rep->buf, TARN_REPLY_STATUS, status);
        return rep;
    }

    kiv_process process_{};
    kiv_rpc_server* server_ = nullptr;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<MapEntry> map_;
    std::vector<std::vector<MapEntry>> queued_;
    uint32_t fetch_status_ = 0;
    uint32_t report_status_ = 0;
    uint32_t fetch_delay_ms_ = 0;
    std::atomic<bool> late_answered_{false};
    int fetches_ = 0;
    std::vector<std::vector<Report>> reports_;
    std::vector<std::thread> later_;
};

// ---------------------------------------------------------------- fixture
class VdiskLocatorTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { cluster_ = clienttest::start_cluster({{"unused", 0x1001}}); }
    static void TearDownTestSuite() { clienttest::stop_cluster(cluster_); }

    void SetUp() override {
        ASSERT_NE(cluster_, nullptr);
        tarn_call_set_timing(&kFastTiming);
        const tarn_vdisk_locator_pause pause{100, 400};
        tarn_vdisk_locator_set_pause(&pause);
        saved_level_ = __kiv_log_level;
        __kiv_log_level = 0;
        ASSERT_EQ(kiv_process_init_(&process_), 0);
        ASSERT_EQ(kiv_process_start(&process_, "evloop"), 0);
        ASSERT_EQ(discov_create("local", nullptr, DISCOV_MODE_READ_ONLY, &process_, &discovery_), 0);
        ASSERT_EQ(discov_create("local", "tarn/mds", DISCOV_MODE_RPC, &process_, &registry_), 0);
        ASSERT_EQ(mds_resolver_create(discovery_, &process_, &resolver_), 0);
        ASSERT_EQ(tarn_conn_factory_create(kClientId, &process_, &factory_), 0);
        ASSERT_EQ(tarn_conn_pool_create(1, factory_, tarn_conn_create, &mds_pool_), 0);
        ASSERT_EQ(tarn_conn_pool_create(1, factory_, tarn_conn_create, &ds_pool_), 0);
        mds_ = std::make_unique<MapMds>();
        const uint16_t port = mds_->start();
        ASSERT_NE(port, 0);
        ASSERT_EQ(register_mds(port), 0);
        ASSERT_TRUE(eventually([&] {
            tarn_host_addr a{};
            return mds_resolver_find_mds(resolver_, kFsId, &a) == 0 && a.port == port;
        }));
        ASSERT_EQ(mds_client_create(kFsName, mds_pool_, kClientId, epoch_one, nullptr, resolver_, &process_,
                                    &mds_client_),
                  0);
    }

    void TearDown() override {
        if (ds_client_ != nullptr) ds_client_destroy(ds_client_);
        tarn_vdisk_locator_destroy(locator_);
        mds_client_destroy(mds_client_);
        clienttest::unregister_svc(&process_, registry_, "mds-locatorfs");
        tarn_conn_pool_destroy(ds_pool_);
        tarn_conn_pool_destroy(mds_pool_);
        tarn_conn_factory_destroy(factory_);
        mds_resolver_destroy(resolver_);
        discov_destroy(registry_);
        discov_destroy(discovery_);
        clienttest::stop_process(&process_);
        mds_.reset();
        __kiv_log_level = saved_level_;
        tarn_call_set_timing(nullptr);
        tarn_vdisk_locator_set_pause(nullptr);
    }

    int register_mds(uint16_t port) {
        return clienttest::register_mds(&process_, registry_, "mds-locatorfs", kFsId, kFsName, kMdsHost, port);
    }

    void create_locator() { ASSERT_EQ(tarn_vdisk_locator_create(mds_client_, &locator_), 0); }

    bool worker_ends() {
        return eventually([&] { return !tarn_vdisk_locator_worker_running(locator_); });
    }

    tarn_vdisk_location location(uint32_t vdisk) {
        tarn_vdisk_location l{};
        EXPECT_EQ(tarn_vdisk_locator_get_location(locator_, vdisk, &l), 0);
        return l;
    }

    static localcluster::Cluster* cluster_;
    int saved_level_ = 3;
    kiv_process process_{};
    discov* discovery_ = nullptr;
    discov* registry_ = nullptr;
    mds_resolver* resolver_ = nullptr;
    tarn_conn_factory* factory_ = nullptr;
    tarn_conn_pool* mds_pool_ = nullptr;
    tarn_conn_pool* ds_pool_ = nullptr;
    std::unique_ptr<MapMds> mds_;
    mds_client* mds_client_ = nullptr;
    tarn_vdisk_locator* locator_ = nullptr;
    ds_client* ds_client_ = nullptr;
};

localcluster::Cluster* VdiskLocatorTest::cluster_ = nullptr;

const std::vector<MapEntry> kTwoDisks = {{0x1000, 0xa1, 0x7f000001, 7001}, {0x2000, 0xa2, 0x7f000001, 7002}};

// ---------------------------------------------------------------- the map
TEST_F(VdiskLocatorTest, FirstMapIsWaitedForAndTheWorkerEndsWhenIdle) {
    mds_->set_map(kTwoDisks);
    mds_->set_fetch_delay(300);
    create_locator();
    tarn_vdisk_location l{};
    EXPECT_EQ(tarn_vdisk_locator_get_location(locator_, 0, &l), -EAGAIN);
    EXPECT_EQ(tarn_vdisk_locator_wait_for_location(locator_, 0, 0, &l), -ETIMEDOUT);
    ASSERT_EQ(tarn_vdisk_locator_wait_for_location(locator_, 1, 10000, &l), 0);
    EXPECT_EQ(l.host_id, 0xa2u);
    EXPECT_EQ(l.location_token, 0x2000u);
    EXPECT_EQ(l.ipv4, 0x7f000001u);
    EXPECT_EQ(l.port, 7002);
    EXPECT_EQ(tarn_vdisk_locator_get_location(locator_, 2, &l), -EINVAL);
    EXPECT_EQ(tarn_vdisk_locator_wait_for_location(locator_, 0xFFFF, 0, &l), -EINVAL);

    ASSERT_TRUE(worker_ends());
    EXPECT_TRUE(eventually([] { return sync_threads() == 0; }));
    EXPECT_EQ(mds_->fetches(), 1);
    EXPECT_TRUE(mds_->reports().empty());
}

TEST_F(VdiskLocatorTest, WorkerThreadIsNamedAndRunsWhileThereIsWork) {
    mds_->set_map(kTwoDisks);
    mds_->set_fetch_delay(400);
    create_locator();
    EXPECT_TRUE(tarn_vdisk_locator_worker_running(locator_));
    EXPECT_TRUE(eventually([] { return sync_threads() == 1; }));
    ASSERT_TRUE(worker_ends());
    EXPECT_TRUE(eventually([] { return sync_threads() == 0; }));
}

TEST_F(VdiskLocatorTest, HostUnreachableRefetchesTheMap) {
    mds_->set_map(kTwoDisks);
    create_locator();
    ASSERT_TRUE(mds_->wait_fetches(1));
    ASSERT_TRUE(worker_ends());

    // A report about a host the map does not name for that disk is ignored.
    tarn_vdisk_locator_on_host_unreachable(locator_, 0, 0xa2);
    tarn_vdisk_locator_on_host_unreachable(locator_, 7, 0xa1);
    EXPECT_FALSE(tarn_vdisk_locator_worker_running(locator_));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(mds_->fetches(), 1);

    // The disk moved: the next fetch shows it on its new host.
    mds_->set_map({{0x1001, 0xa3, 0x7f000001, 7003}, kTwoDisks[1]});
    tarn_vdisk_locator_on_host_unreachable(locator_, 0, 0xa1);
    ASSERT_TRUE(mds_->wait_fetches(2));
    ASSERT_TRUE(worker_ends());
    EXPECT_EQ(location(0).host_id, 0xa3u);
    EXPECT_EQ(location(0).location_token, 0x1001u);
    EXPECT_EQ(mds_->fetches(), 2);
    EXPECT_TRUE(mds_->reports().empty());
}

// The disk count is fixed by the first map: a later map of another size is
// a broken server's, so it is logged and refused, the current locations stay
// and the fetch counts as failed (tried again after a pause) until the
// server sends a map of the known size.
TEST_F(VdiskLocatorTest, MapOfAnotherSizeKeepsTheCurrentOne) {
    mds_->set_map(kTwoDisks);
    create_locator();
    ASSERT_TRUE(mds_->wait_fetches(1));
    ASSERT_TRUE(worker_ends());

    for (const std::vector<MapEntry>& odd : {std::vector<MapEntry>{kTwoDisks[0]},
                                             std::vector<MapEntry>{kTwoDisks[0], kTwoDisks[1], kTwoDisks[1]}}) {
        SCOPED_TRACE(odd.size());
        const int before = mds_->fetches();
        mds_->set_map(odd);
        tarn_vdisk_locator_on_host_unreachable(locator_, 0, 0xa1);
        ASSERT_TRUE(mds_->wait_fetches(before + 2));  // refused, then tried again
        EXPECT_TRUE(tarn_vdisk_locator_worker_running(locator_));
        EXPECT_EQ(location(0).location_token, 0x1000u);
        EXPECT_EQ(location(1).host_id, 0xa2u);
        tarn_vdisk_location l{};
        EXPECT_EQ(tarn_vdisk_locator_get_location(locator_, 2, &l), -EINVAL);

        mds_->set_map({{0x1005, 0xa3, 0x7f000001, 7003}, kTwoDisks[1]});
        ASSERT_TRUE(worker_ends());
        EXPECT_EQ(location(0).location_token, 0x1005u);
        mds_->set_map(kTwoDisks);
        tarn_vdisk_locator_on_host_unreachable(locator_, 0, 0xa3);
        ASSERT_TRUE(worker_ends());
    }
}

TEST_F(VdiskLocatorTest, UnmountedDiskOnTheSameHostIsReportedToTheMds) {
    mds_->set_map(kTwoDisks);
    create_locator();
    ASSERT_TRUE(mds_->wait_fetches(1));
    ASSERT_TRUE(worker_ends());

    tarn_vdisk_locator_on_vdisk_unmounted(locator_, 1, 0xa2);
    ASSERT_TRUE(mds_->wait_fetches(2));
    ASSERT_TRUE(eventually([&] { return mds_->reports().size() == 1; }));
    ASSERT_TRUE(worker_ends());
    const std::vector<std::vector<Report>> reports = mds_->reports();
    ASSERT_EQ(reports.size(), 1u);
    ASSERT_EQ(reports[0].size(), 1u);
    EXPECT_EQ(reports[0][0].kind, 1u);
    EXPECT_EQ(reports[0][0].vdisk_id, 1u);
    EXPECT_EQ(reports[0][0].host_id, 0xa2u);
    // Accepted, so its flag is clear: nothing more is sent.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(mds_->reports().size(), 1u);
    EXPECT_EQ(mds_->fetches(), 2);
}

TEST_F(VdiskLocatorTest, UnmountedDiskThatMovedIsNotReported) {
    mds_->set_map(kTwoDisks);
    create_locator();
    ASSERT_TRUE(mds_->wait_fetches(1));
    ASSERT_TRUE(worker_ends());

    mds_->set_map({kTwoDisks[0], {0x2001, 0xa3, 0x7f000001, 7003}});
    tarn_vdisk_locator_on_vdisk_unmounted(locator_, 1, 0xa2);
    ASSERT_TRUE(mds_->wait_fetches(2));
    ASSERT_TRUE(worker_ends());
    EXPECT_EQ(location(1).host_id, 0xa3u);
    EXPECT_TRUE(mds_->reports().empty());
}

TEST_F(VdiskLocatorTest, RefusedReportIsSentAgainAfterAPause) {
    mds_->set_map(kTwoDisks);
    create_locator();
    ASSERT_TRUE(mds_->wait_fetches(1));
    ASSERT_TRUE(worker_ends());

    mds_->set_report_status(TARN_MDS_INVAL);
    const auto start = Clock::now();
    tarn_vdisk_locator_on_vdisk_unmounted(locator_, 0, 0xa1);
    ASSERT_TRUE(eventually([&] { return mds_->reports().size() >= 2; }));
    mds_->set_report_status(0);
    const long refused_for = ms_since(start);
    ASSERT_TRUE(eventually([&] { return !tarn_vdisk_locator_worker_running(locator_); }));
    const size_t sent = mds_->reports().size();
    // No storm: refused reports at least a 100 ms pause apart, then one
    // that may have been on its way and the one taken. However late this
    // thread saw the refusals, it measured that time too.
    EXPECT_LE(sent, size_t(3 + refused_for / 100));
    EXPECT_GE(sent, 3u);
    for (const auto& r : mds_->reports()) {
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].vdisk_id, 0u);
    }
}

// ---------------------------------------------------------------- failures
TEST_F(VdiskLocatorTest, NonRetryableAnswerDoesNotMakeTheWorkerSpin) {
    mds_->set_fetch_status(TARN_MDS_INVAL);
    create_locator();
    const auto start = Clock::now();
    tarn_vdisk_location l{};
    EXPECT_EQ(tarn_vdisk_locator_wait_for_location(locator_, 0, 1500, &l), -ETIMEDOUT);
    EXPECT_GE(ms_since(start), 1400);
    // Fetches at about 0, 100, 300, 700, 1100, 1500 ms: a pause of 100 ms
    // at least between two, however late this thread looks.
    const int fetches = mds_->fetches();
    EXPECT_LE(fetches, 1 + int(ms_since(start) / 100));
    ASSERT_TRUE(mds_->wait_fetches(3)) << "the worker gave up";
    EXPECT_TRUE(tarn_vdisk_locator_worker_running(locator_));

    // Once the MDS answers, the map arrives at the next attempt.
    mds_->set_map(kTwoDisks);
    mds_->set_fetch_status(0);
    ASSERT_EQ(tarn_vdisk_locator_wait_for_location(locator_, 0, 5000, &l), 0);
    EXPECT_EQ(l.host_id, 0xa1u);
    ASSERT_TRUE(worker_ends());
}

TEST_F(VdiskLocatorTest, DestroyCutsThePauseShort) {
    const tarn_vdisk_locator_pause long_pause{60000, 60000};
    tarn_vdisk_locator_set_pause(&long_pause);
    mds_->set_fetch_status(TARN_MDS_INVAL);
    create_locator();
    ASSERT_TRUE(mds_->wait_fetches(1));
    std::this_thread::sleep_for(50ms);
    const auto start = Clock::now();
    tarn_vdisk_locator_destroy(locator_);
    locator_ = nullptr;
    EXPECT_LT(ms_since(start), 10000);  // far below the 60 s pause
    EXPECT_EQ(mds_->fetches(), 1);
    EXPECT_TRUE(eventually([] { return sync_threads() == 0; }));
}

TEST_F(VdiskLocatorTest, DestroyDuringAFetchReturnsOnceItEnds) {
    mds_->set_map(kTwoDisks);
    mds_->set_fetch_delay(500);
    create_locator();
    ASSERT_TRUE(mds_->wait_fetches(1));
    const auto start = Clock::now();
    tarn_vdisk_locator_destroy(locator_);
    locator_ = nullptr;
    const long elapsed = ms_since(start);
    // Returned only once the fetch it waited for was answered, and not
    // after some time-out of its own.
    EXPECT_TRUE(mds_->late_answered());
    EXPECT_LT(elapsed, 5000);
}

// ---------------------------------------------------------------- with the DS client
class LocatorWithDsTest : public VdiskLocatorTest {
   protected:
    struct Outcome {
        call_state state;
        rpc_error error;
    };

    void make_ds_client() {
        ASSERT_EQ(ds_client_create(ds_pool_, kClientId, epoch_one, nullptr, &process_, &ds_client_,
                                   tarn_vdisk_locator_ds_callbacks(locator_)),
                  0);
    }

    Outcome noop(uint16_t vdisk, uint32_t retry_ms) {
        ds_call call;
        ds_call_init(&call, ds_client_, retry_ms, ds_target_by_vdisk(vdisk));
        ds_noop_async(&call);
        ds_call_wait_for_result(&call);
        Outcome o{ds_call_get_state(&call), call.base.error};
        ds_call_fini(&call);
        return o;
    }
};

TEST_F(LocatorWithDsTest, DiskNotMountedFollowsTheNewMapToItsNewHost) {
    ds_test::ScriptedDs old_ds, new_ds;
    const uint16_t old_port = old_ds.start();
    const uint16_t new_port = new_ds.start();
    ASSERT_NE(old_port, 0);
    ASSERT_NE(new_port, 0);
    old_ds.set_default(ds_test::reply(TARN_DS_NOT_MOUNTED));
    new_ds.set_default(ds_test::reply(0));
    mds_->queue_maps({{{0x10, 0xa1, 0x7f000001, old_port}}, {{0x11, 0xa2, 0x7f000001, new_port}}});
    create_locator();
    make_ds_client();

    // Before the first map the call waits out EAGAIN; then the old host says
    // "not mounted", the locator fetches again and the retry goes to the
    // new host.
    Outcome o = noop(0, 15000);
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_GE(old_ds.count(), 1u);
    EXPECT_EQ(new_ds.count(), 1u);
    EXPECT_GE(mds_->fetches(), 2);
    EXPECT_EQ(location(0).host_id, 0xa2u);
    // The disk moved, so there is nothing to report to the MDS.
    ASSERT_TRUE(worker_ends());
    EXPECT_TRUE(mds_->reports().empty());
}

TEST_F(LocatorWithDsTest, UnreachableHostIsReplacedByTheMdsAnswer) {
    ds_test::ScriptedDs new_ds;
    const uint16_t new_port = new_ds.start();
    ASSERT_NE(new_port, 0);
    new_ds.set_default(ds_test::reply(0));
    // Port 1 on loopback refuses connections.
    mds_->queue_maps({{{0x10, 0xa1, 0x7f000001, 1}}, {{0x11, 0xa2, 0x7f000001, new_port}}});
    create_locator();
    tarn_vdisk_location l{};
    ASSERT_EQ(tarn_vdisk_locator_wait_for_location(locator_, 0, 5000, &l), 0);
    ASSERT_TRUE(worker_ends());
    make_ds_client();

    Outcome o = noop(0, 15000);
    EXPECT_EQ(o.state, CALL_DONE);
    EXPECT_EQ(new_ds.count(), 1u);
    EXPECT_EQ(mds_->fetches(), 2);
    EXPECT_TRUE(mds_->reports().empty());
}

TEST_F(LocatorWithDsTest, DiskBeyondTheMapFailsAtOnce) {
    mds_->set_map(kTwoDisks);
    create_locator();
    tarn_vdisk_location l{};
    ASSERT_EQ(tarn_vdisk_locator_wait_for_location(locator_, 0, 5000, &l), 0);
    make_ds_client();
    Outcome o = noop(2, 15000);
    EXPECT_EQ(o.state, CALL_FAILED);
    EXPECT_EQ(ds_call2tarn_error(o.error), TARN_ERR_INVAL);
}

}  // namespace

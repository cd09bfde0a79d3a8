// The memory of each server of the local cluster (registry, MDS, DS, lock
// server) beside peers that never read: raw TCP connections that pipeline
// small valid requests and read no reply, and connections that send all but
// the last byte of the largest frame the server takes. Each server runs
// in-process with a small budget; the heap the process has in use may grow
// by no more than the server's written bound (kiv_rpc_budget_bound) and a
// small allowance per connection, looked at once the server has stopped
// taking more.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// The sanitizer runtimes' own interface; GCC does not install its header.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif
#else
#include <malloc.h>
#endif

#include <string>
#include <vector>

#include "client/tarn_wire.h"
#include "discovery/kvstore_msg.h"
#include "kiv/io.h"
#include "kiv/rpc_server.h"
#include "localcluster/cluster_disk.h"
#include "localcluster/common/workers.h"
#include "localcluster/ds/ds_server.h"
#include "localcluster/faults/fault_rules.h"
#include "localcluster/ls/ls_server.h"
#include "localcluster/mds/mds_server.h"
#include "localcluster/mds/ns_engine.h"
#include "localcluster/registry/registry_server.h"
#include "localcluster/topology.h"
#include "hang_guard.h"
#include "test_ls_frames.h"
#include "wire_test_client.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Bytes the heap has handed out and not taken back. The sanitizers' own
// allocator counts a block at its requested size; glibc's counters count
// its chunks, mapped ones included. Either counts a block whole from its
// allocation on, whether its pages were touched or not: a server that
// allocates a frame at its full length is charged for all of it.
uint64_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return uint64_t(m.uordblks) + uint64_t(m.hblkhd);
#endif
}

constexpr uint64_t kBudget = 4u << 20;
// The DS counts each request in flight at its largest reply (4 MiB): its
// budget takes a few of them.
constexpr uint64_t kDsBudget = 16u << 20;
constexpr int kDsLoops = 2;
constexpr uint64_t kFsId = 0x1001;
constexpr uint64_t kHostId = 0xa1;
constexpr uint64_t kClient = 0x5e1f;
// Both ends of each attacking connection keep small socket buffers, set
// before its first byte: the replies pile up at the server rather than in
// the kernel, whose send buffer would grow to megabytes per connection
// (millions of replies to make first), and what an attacker writes waits
// in a small receive buffer. Hundreds of megabytes of socket memory would
// also put a busy machine's TCP under memory pressure, which holds
// segments back for seconds.
constexpr int kSockBuf = 16 << 10;
// What a connection costs the server beside what its budget counts: the
// connection record (its reply queue, receive header, three timers and two
// loop events, a few hundred bytes) and the loop's watch of its socket, each
// a block of its own with the allocator's share. Measured at about 0.6 KiB per idle connection in the normal and
// the AddressSanitizer builds; 2 KiB leaves room for the allocator's
// rounding without hiding a buffer of any size kept per connection (the
// old 64-KiB receive buffer is 32 of these).
constexpr uint64_t kConnAllowance = 2u << 10;

enum class Kind { Registry, Mds, Ds, Ls };

struct Case {
    Kind kind;
    int conns;
    bool begun;  // all but the last byte of the largest frame; else pipelined requests
};

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::Registry: return "Registry";
        case Kind::Mds: return "Mds";
        case Kind::Ds: return "Ds";
        case Kind::Ls: return "Ls";
    }
    return "?";
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    const Case& c = info.param;
    return std::string(kind_name(c.kind)) + (c.begun ? "BegunLargestFrames" : "Pipelining") + std::to_string(c.conns);
}

// One attacking connection: its socket, its port, the server's end of it
// (in this process) and how far it has written.
struct Attacker {
    int fd = -1;
    int srv_fd = -1;
    uint16_t port = 0;
    size_t off = 0;
};

void set_bufs(int fd, int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int connect_to(uint16_t port, int bufs, uint16_t* local) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bufs > 0) set_bufs(fd, bufs);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) < 0) {
        close(fd);
        return -1;
    }
    if (local) *local = ntohs(a.sin_port);
    return fd;
}

bool write_all(int fd, const Bytes& b) {
    size_t off = 0;
    while (off < b.size()) {
        ssize_t w = send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += size_t(w);
    }
    return true;
}

bool read_exact(int fd, uint8_t* p, size_t n) {
    size_t got = 0;
    while (got < n) {
        if (!rttest::wait_readable(fd)) return false;
        ssize_t r = recv(fd, p + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

// Writes without blocking until the socket is full or, for a frame, all
// but its last byte is out: a few writes per call, so that every attacker
// gets its turn. False on any error but a full socket.
bool pump_stream(Attacker& a, const Bytes& stream) {
    for (int i = 0; i < 8; i++) {
        ssize_t w = send(a.fd, stream.data() + a.off, stream.size() - a.off, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        a.off = (a.off + size_t(w)) % stream.size();
    }
    return true;
}

bool pump_frame(Attacker& a, const Bytes& frame) {
    while (a.off < frame.size() - 1) {
        ssize_t w = send(a.fd, frame.data() + a.off, frame.size() - 1 - a.off, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        a.off += size_t(w);
    }
    return true;
}

// The server has read everything the attacker wrote: nothing waits in the
// attacker's send queue nor on the server's end of the connection.
bool read_by_server(const Attacker& a) {
    int outq = 0, inq = 0;
    return ioctl(a.fd, SIOCOUTQ, &outq) == 0 && outq == 0 && ioctl(a.srv_fd, FIONREAD, &inq) == 0 && inq == 0;
}

// Finds the server's end of each attacker's connection among this
// process's sockets (the one on the server's port whose peer is the
// attacker) and makes its buffers small.
void find_server_ends(uint16_t port, std::vector<Attacker>* attackers) {
    DIR* d = opendir("/proc/self/fd");
    ASSERT_NE(nullptr, d);
    while (dirent* e = readdir(d)) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] == '.' || fd == dirfd(d)) continue;
        sockaddr_in me{}, peer{};
        socklen_t ml = sizeof me, pl = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&me), &ml) < 0 || me.sin_family != AF_INET ||
            ntohs(me.sin_port) != port || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) < 0)
            continue;
        for (Attacker& a : *attackers)
            if (a.port == ntohs(peer.sin_port)) {
                a.srv_fd = fd;
                // Only its sending side: a receive buffer shrunk under a
                // connection already open stalls its window, and with it
                // the attacker's stream, for the persist timer's back-off.
                setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSockBuf, sizeof kSockBuf);
            }
    }
    closedir(d);
    for (const Attacker& a : *attackers) ASSERT_GE(a.srv_fd, 0) << "no server end for port " << a.port;
}

class ServerMemoryTest : public ::testing::TestWithParam<Case> {
   protected:
    void TearDown() override {
        for (Attacker& a : attackers_) close(a.fd);
        if (reg_srv_) {
            lc_regsrv_stop(reg_srv_);
            kiv_process_terminate(&reg_proc_);
            kiv_process_wait(&reg_proc_);
            kiv_process_fini(&reg_proc_);
            lc_regsrv_destroy(reg_srv_);
        }
        if (reg_store_) lc_regstore_destroy(reg_store_);
        if (mds_) lc_mds_destroy(mds_);
        if (ns_disk_) lc_ns_disk_destroy(ns_disk_);
        if (ds_) lc_ds_destroy(ds_);
        if (workers_) lc_workers_destroy(workers_);
        if (ls_) lc_ls_destroy(ls_);
        if (cdisk_) lc_cdisk_destroy(cdisk_);
        if (faults_) lc_faults_destroy(faults_);
    }

    void start(Kind k) {
        switch (k) {
            case Kind::Registry: ASSERT_NO_FATAL_FAILURE(start_registry()); break;
            case Kind::Mds: ASSERT_NO_FATAL_FAILURE(start_mds()); break;
            case Kind::Ds: ASSERT_NO_FATAL_FAILURE(start_ds()); break;
            case Kind::Ls: ASSERT_NO_FATAL_FAILURE(start_ls()); break;
        }
        // The attackers' replies never move: none of them is closed for
        // that while the test looks.
        kiv_rpc_budget_set_stall_timeout(budget_, 600000);
    }

    // A get of a key that is there.
    void start_registry() {
        ASSERT_EQ(0, kiv_process_init_(&reg_proc_));
        ASSERT_EQ(0, kiv_process_start(&reg_proc_, "mem-registry"));
        reg_store_ = lc_regstore_create(0);
        uint64_t gen = 0;
        const std::string key = "mem/key";
        ASSERT_EQ(0u, lc_regstore_put(reg_store_, key, "value", false, 0, &gen));
        reg_srv_ = lc_regsrv_create(&reg_proc_, reg_store_, 1000, nullptr);
        lc_regsrv_set_held_budget(reg_srv_, kBudget);
        limit_ = kBudget;
        budget_ = lc_regsrv_budget(reg_srv_);
        ASSERT_EQ(0, lc_regsrv_listen(reg_srv_, 0, &port_));
        max_frame_ = LC_REG_MAX_FRAME;
        largest_ = LC_REG_MAX_FRAME;  // no reply is longer than a frame it takes
        kiv_msg* m = kvstore_msg_alloc(nullptr, KV_OP_GET, 0, 0, 0, key.data(), uint32_t(key.size()), nullptr, 0);
        request_.assign(m->buf, m->buf + m->kept_len);
        kiv_free_msg(m);
        status_at_ = KVSTORE_OFF_STATUS;
    }

    // The vdisk table and fault rules of a one-host cluster with one file
    // system, for the MDS and the DS.
    void start_cluster_side() {
        faults_ = lc_faults_create({lc_fault_fs{"tarn", kFsId}}, {kHostId}, (1u << LC_SVC_MDS) | (1u << LC_SVC_DS), 0);
        lc_cdisk_config cc;
        cc.fs.push_back(lc_cdisk_fs_config{kFsId});
        cc.host_ids = {kHostId};
        cdisk_ = lc_cdisk_create(cc);
        ASSERT_NE(nullptr, cdisk_);
    }

    // Get-fs-info: a header alone, answered with the file system's figures.
    void start_mds() {
        ASSERT_NO_FATAL_FAILURE(start_cluster_side());
        lc_ns_disk_config dc;
        dc.fs_id = kFsId;
        dc.vdisks = uint16_t(lc_cdisk_vdisk_count(cdisk_));
        dc.pool = lc_cdisk_pool(cdisk_, 0);
        ns_disk_ = lc_ns_disk_create(dc);
        ASSERT_NE(nullptr, ns_disk_);
        lc_mds_config mc;
        mc.fs_id = kFsId;
        mc.fs_name = "tarn";
        mc.host_id = kHostId;
        mc.faults = faults_;
        mc.disk = ns_disk_;
        mc.cdisk = cdisk_;
        mc.held_budget = limit_ = kBudget;
        std::string err;
        mds_ = lc_mds_create(mc, &err);
        ASSERT_NE(nullptr, mds_) << err;
        budget_ = lc_mds_budget(mds_);
        ASSERT_EQ(0, lc_mds_listen(mds_, 0, &port_));
        max_frame_ = TARN_MDS_MAX_MSG;
        largest_ = TARN_MDS_MAX_MSG;
        request_ = wiretest::mds_frame({.type = TARN_MDS_GET_FS_INFO,
                                        .len = TARN_MDS_GET_FS_INFO_REQ_BYTES,
                                        .fs_id = kFsId,
                                        .client = kClient,
                                        .flags = TARN_REQ_FLAG_EPOCH_RESEND});
        status_at_ = TARN_REPLY_STATUS;
    }

    // The no-op, answered on the loop that reads it.
    void start_ds() {
        ASSERT_NO_FATAL_FAILURE(start_cluster_side());
        workers_ = lc_workers_create(2, "mem-ds-work");
        ASSERT_NE(nullptr, workers_);
        lc_ds_config dc;
        dc.fs_id = kFsId;
        dc.fs_name = "tarn";
        dc.host_id = kHostId;
        dc.cdisk = cdisk_;
        dc.workers = workers_;
        dc.faults = faults_;
        dc.loops = kDsLoops;
        dc.held_budget = limit_ = kDsBudget;
        std::string err;
        ds_ = lc_ds_create(dc, &err);
        ASSERT_NE(nullptr, ds_) << err;
        budget_ = lc_ds_budget(ds_);
        ASSERT_EQ(0, lc_ds_listen(ds_, 0, &port_));
        loops_ = kDsLoops;
        max_frame_ = TARN_DS_MAX_MSG;
        largest_ = TARN_DS_MAX_MSG;  // a read reply; also each request's charge
        size_t len = tarn_ds_round_len(TARN_DS_NOOP_REQ_BYTES);
        request_.assign(len, 0);
        tarn_ds_req_hdr h{};
        h.length = uint32_t(len);
        h.type = TARN_DS_NOOP;
        h.client_id = kClient;
        h.epoch = 1;
        h.flags = TARN_REQ_FLAG_EPOCH_RESEND;
        h.version = TARN_WIRE_VERSION;
        tarn_ds_req_hdr_write(request_.data(), &h, false);
        status_at_ = TARN_REPLY_STATUS;
    }

    // A lock test of no file, which the server refuses: it counts its
    // refusals, and so says when it has answered every frame it read.
    void start_ls() {
        lc_ls_config cfg;
        cfg.fs_id = kFsId;
        cfg.fs_name = "tarn";
        cfg.held_budget = limit_ = kBudget;
        std::string err;
        ls_ = lc_ls_create(cfg, &err);
        ASSERT_NE(nullptr, ls_) << err;
        budget_ = lc_ls_budget(ls_);
        ASSERT_EQ(0, lc_ls_listen(ls_, 0, &port_));
        max_frame_ = LS_MAX_MSG;
        largest_ = LS_MAX_MSG;
        request_ = lsframes::br_frame({.type = LS_MSG_TEST, .fh = 0});
        status_at_ = LS_REPLY_HANDLING_ERR;
        status_ = EINVAL;
    }

    // One request on a connection to each loop, answered as expected:
    // the request is one the server serves, and what a loop allocates once
    // (its receive buffer) is there before the heap is first looked at.
    // The probes then go, so that the attackers are all the budget counts.
    void probe() {
        std::vector<int> fds;
        for (uint32_t i = 0; i < loops_; i++) {
            int fd = connect_to(port_, 0, nullptr);
            ASSERT_GE(fd, 0) << strerror(errno);
            fds.push_back(fd);
            ASSERT_TRUE(write_all(fd, request_));
            uint8_t hdr[24];
            ASSERT_TRUE(read_exact(fd, hdr, sizeof hdr));
            Bytes reply(std::max<size_t>(tarn_wire_get_u32(hdr, 0), 24));
            memcpy(reply.data(), hdr, sizeof hdr);
            ASSERT_TRUE(read_exact(fd, reply.data() + 24, reply.size() - 24));
            ASSERT_EQ(tarn_wire_get_u32(request_.data(), 4) + 1, tarn_wire_get_u32(reply.data(), 4));
            ASSERT_GE(reply.size(), status_at_ + 4);
            ASSERT_EQ(status_, tarn_wire_get_u32(reply.data(), status_at_));
        }
        for (int fd : fds) close(fd);
        ASSERT_TRUE(lctest::wait_until([&] { return stats().conns == 0; }));
    }

    lc_ls_stats ls_stats() {
        lc_ls_stats st;
        lc_ls_get_stats(ls_, &st);
        return st;
    }

    kiv_rpc_budget_stats stats() const {
        kiv_rpc_budget_stats st{};
        kiv_rpc_budget_get_stats(budget_, &st);
        return st;
    }

    kiv_process reg_proc_{};
    lc_regstore* reg_store_ = nullptr;
    lc_regsrv* reg_srv_ = nullptr;
    lc_faults* faults_ = nullptr;
    lc_cdisk* cdisk_ = nullptr;
    lc_ns_disk* ns_disk_ = nullptr;
    lc_mds* mds_ = nullptr;
    lc_workers* workers_ = nullptr;
    lc_ds* ds_ = nullptr;
    lc_ls* ls_ = nullptr;

    kiv_rpc_budget* budget_ = nullptr;
    uint16_t port_ = 0;
    uint32_t loops_ = 1;
    uint32_t max_frame_ = 0;  // the largest frame the server takes
    uint32_t largest_ = 0;    // the largest request or reply
    Bytes request_;           // a small valid request
    size_t status_at_ = 0;    // where its reply says how it went
    uint32_t status_ = 0;     // and what it says
    uint64_t limit_ = 0;      // the budget
    std::vector<Attacker> attackers_;
};

// The heap is looked at once the server holds the most it will and keeps
// it, since the attackers never release anything. Pipelining attackers:
// their replies fill the budget until each is paused with nothing in
// flight, and a paused connection that holds anything is read again only
// once the budget is back to three quarters of its limit. Attackers
// sending the largest frame: each is paused, or has its frame allocated
// from its header on and read to all but its last byte.
TEST_P(ServerMemoryTest, HeapGrowthStaysWithinTheWrittenBound) {
    const Case& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(c.kind));
    ASSERT_NO_FATAL_FAILURE(probe());

    Bytes payload;
    if (c.begun) {
        // A header claiming the largest length; the body is never looked at.
        payload.assign(max_frame_, 0);
        memcpy(payload.data(), request_.data(), 24);
        tarn_wire_put_u32(payload.data(), 0, max_frame_);
    } else {
        // Whole frames back to back, written round and round.
        while (payload.size() < (64u << 10)) payload.insert(payload.end(), request_.begin(), request_.end());
    }
    attackers_.reserve(size_t(c.conns));
    const uint64_t before = heap_in_use();

    for (int i = 0; i < c.conns; i++) {
        Attacker a;
        a.fd = connect_to(port_, kSockBuf, &a.port);
        ASSERT_GE(a.fd, 0) << "attacker " << i << ": " << strerror(errno);
        attackers_.push_back(a);
    }
    const uint32_t n = uint32_t(c.conns);
    ASSERT_TRUE(lctest::wait_until([&] { return stats().conns == n; })) << stats().conns;
    ASSERT_NO_FATAL_FAILURE(find_server_ends(port_, &attackers_));

    int write_error = 0;
    kiv_rpc_budget_stats st{};
    auto stopped_taking = [&] {
        for (Attacker& a : attackers_)
            if (!(c.begun ? pump_frame(a, payload) : pump_stream(a, payload))) write_error = errno;
        st = stats();
        // A connection closed by the server ends the wait: the test fails on it.
        if (write_error || st.conns != n) return true;
        if (!c.begun) {
            // Every attacker paused with nothing in flight, and the budget
            // past the point where a connection that holds anything is read
            // again: what is held is replies and bytes read, for good.
            // The lock server answers the frames it read later, in turns:
            // all of them are answered once its count of answers, read
            // before the budget, equals its count of frames, read after it.
            uint64_t answered = ls_ ? ls_stats().refused : 0;
            st = stats();
            uint64_t received = ls_ ? ls_stats().requests : 0;
            return st.paused == n && st.held > limit_ - limit_ / 4 && answered == received;
        }
        // A paused connection has read at most one receive buffer, less
        // than any of these frames: it is never counted twice.
        uint32_t read_whole = 0;
        for (const Attacker& a : attackers_) read_whole += a.off == payload.size() - 1 && read_by_server(a);
        return st.paused + read_whole == n;
    };
    ASSERT_TRUE(lctest::wait_until(stopped_taking)) << "paused " << st.paused << " of " << n << ", held " << st.held;
    const uint64_t after = heap_in_use();
    ASSERT_EQ(0, write_error) << strerror(write_error);
    // Nothing was released by closing an attacker.
    ASSERT_EQ(n, st.conns);
    EXPECT_EQ(0u, st.stall_closes);

    const uint64_t bound = kiv_rpc_budget_bound(budget_, loops_, largest_);
    const uint64_t allowed = bound + uint64_t(n) * kConnAllowance;
    const int64_t growth = int64_t(after) - int64_t(before);
    printf("%s: heap +%.2f MiB, held %.2f MiB (peak %.2f), bound %.2f MiB + %.2f MiB for %u connections\n",
           case_name({c, 0}).c_str(), double(growth) / (1 << 20), double(st.held) / (1 << 20),
           double(st.peak) / (1 << 20), double(bound) / (1 << 20), double(n * kConnAllowance) / (1 << 20), n);
    EXPECT_LE(growth, int64_t(allowed)) << "the heap grew past the written bound";
    EXPECT_LE(st.peak, bound) << "the budget counted more than its written bound";
}

// Watchers that park watches on one range and never read, all answered by
// changes of most of a frame, put by a client that reads: each answer is
// sent only once the budget has room for it, so the heap stays within the
// written bound however many watches wait, and the reader is still served.
class ServerMemoryWatchTest : public ServerMemoryTest {};

TEST_P(ServerMemoryWatchTest, WatchesAnsweredLateStayWithinTheWrittenBound) {
    ASSERT_NO_FATAL_FAILURE(start(Kind::Registry));
    ASSERT_NO_FATAL_FAILURE(probe());
    const int n = GetParam().conns;
    auto frames = [](int count, uint32_t op, const std::string& key, size_t value, uint64_t gen) {
        Bytes out;
        for (int i = 0; i < count; i++) {
            const std::string& k = key;
            const std::string v(value, 'v');
            kiv_msg* m = kvstore_msg_alloc(nullptr, op, 0, LC_REG_WATCH_MAX_S, 0, k.data(), uint32_t(k.size()),
                                           op == KV_OP_PUT ? v.data() : "mem/w0", op == KV_OP_PUT ? uint32_t(value) : 6);
            kvstore_msg_set_generation(m, gen);
            out.insert(out.end(), m->buf, m->buf + m->kept_len);
            kiv_free_msg(m);
        }
        return out;
    };
    const Bytes watches = frames(LC_REG_MAX_PARKED_PER_CONN, KV_OP_WATCH, "mem/w/", 0, lc_regstore_generation(reg_store_));
    const uint64_t before = heap_in_use();
    for (int i = 0; i < n; i++) {
        attackers_.emplace_back();
        attackers_.back().fd = connect_to(port_, kSockBuf, &attackers_.back().port);
        ASSERT_GE(attackers_.back().fd, 0) << strerror(errno);
    }
    ASSERT_TRUE(lctest::wait_until([&] { return stats().conns == uint32_t(n); }));
    ASSERT_NO_FATAL_FAILURE(find_server_ends(port_, &attackers_));
    for (Attacker& a : attackers_) ASSERT_TRUE(write_all(a.fd, watches));
    ASSERT_TRUE(lctest::wait_until([&] { return lc_regsrv_parked(reg_srv_) == n * LC_REG_MAX_PARKED_PER_CONN; }));
    const int writer = connect_to(port_, 0, nullptr);
    // One reply to `out`; empty if none came within the hang guard.
    auto exchange = [&](const Bytes& out) {
        Bytes reply(24);
        if (!write_all(writer, out) || !read_exact(writer, reply.data(), 24)) return Bytes();
        reply.resize(tarn_wire_get_u32(reply.data(), 0));
        return read_exact(writer, reply.data() + 24, reply.size() - 24) ? reply : Bytes();
    };
    // One at a time: a client that holds what it pipelined would wait, as
    // the budget's rule has it, for three quarters of the limit.
    for (int k = 0; k < 15; k++)
        ASSERT_FALSE(exchange(frames(1, KV_OP_PUT, "mem/w/" + std::to_string(k), 60000, 0)).empty());
    // Every watch left waits with its answer due, past the point where
    // none more is sent, and the writer is still answered.
    ASSERT_TRUE(lctest::wait_until([&] {
        return lc_regsrv_due(reg_srv_) == lc_regsrv_parked(reg_srv_) && stats().held > limit_;
    })) << lc_regsrv_due(reg_srv_) << " due of " << lc_regsrv_parked(reg_srv_) << ", held " << stats().held;
    const Bytes got = exchange(request_);
    ASSERT_GE(got.size(), status_at_ + 4) << "the writer's get had no answer";
    EXPECT_EQ(status_, tarn_wire_get_u32(got.data(), status_at_));
    close(writer);
    const int64_t growth = int64_t(heap_in_use()) - int64_t(before);
    const uint64_t bound = kiv_rpc_budget_bound(budget_, 1, LC_REG_MAX_FRAME);
    printf("heap +%.2f MiB with %zu watches waiting, bound %.2f MiB\n", double(growth) / (1 << 20),
           lc_regsrv_due(reg_srv_), double(bound) / (1 << 20));
    EXPECT_LE(growth, int64_t(bound + uint64_t(n + 1) * kConnAllowance)) << "the heap grew past the written bound";
    EXPECT_LE(stats().peak, bound);
}

INSTANTIATE_TEST_SUITE_P(Registry, ServerMemoryWatchTest, ::testing::Values(Case{Kind::Registry, 4, false}), case_name);

INSTANTIATE_TEST_SUITE_P(EveryServer, ServerMemoryTest,
                         ::testing::ValuesIn([] {
                             std::vector<Case> cases;
                             for (Kind k : {Kind::Registry, Kind::Mds, Kind::Ds, Kind::Ls}) {
                                 for (int n : {1, 16, 200}) cases.push_back({k, n, false});
                                 cases.push_back({k, 200, true});
                             }
                             return cases;
                         }()),
                         case_name);

}  // namespace

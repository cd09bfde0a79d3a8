// What a local cluster's servers hold beside clients that pipeline requests
// and never read their replies, or that begin frames and never end them,
// and whether a client that does read is still answered meanwhile; and
// how long a DS makes readers that want more than its budget wait; and
// what the registry holds for watchers that never read the answers a
// burst of large puts wakes.
//
// It starts kelvane-localcluster as a child (or attaches to a running one),
// opens the attack connections, and while they press on one server it
// samples the cluster process's VmRSS every second and runs two readers
// against the same server: one connected (with one round trip) before the
// attack, one connected during it. Each reader sends one small request at a
// time and waits for its reply with a time-out of its own. Every request is
// built with the codecs the clients and the servers share. A measuring
// program, not a test: CTest never runs it.
//
//   probe_server_memory --shape SHAPE [--conns N] [--seconds S] [--probe-ms MS]
//                       [--probe-timeout-ms MS] [--reads K] [--rcvbuf BYTES]
//                       [--max-growth-mb MB] [--bin PATH] [--attach DIR]
//
// Shapes:
//   mds-pipe, ds-pipe, reg-pipe, ls-pipe  N connections pipelining get-fs-info /
//                                        no-ops / registry gets / lock tests
//   ds-begun, reg-begun                  N connections each sending all but the
//                                        last byte of the largest frame
//   ds-reads                             N connections each pipelining K reads
//                                        of 4 MiB (--reads, default 64)
//   ds-readers                           N connections (default 200) each keeping
//                                        K reads of 4 MiB in flight (default 2)
//                                        and reading every reply as it comes
//                                        (--rcvbuf: their sockets' receive buffer)
//   reg-watch                            N connections (default 4) with 16-KiB socket
//                                        buffers each parking 64 registry watches on
//                                        one key range and never reading; then a
//                                        client pipelines 15 puts of 60,000 bytes
//                                        into the range and reads their replies
//
// ds-readers reports, on one line starting with "readers:", the median,
// p99 and max of the reads' latency (from the send to the reply's last
// byte, reads still in flight at the end included once answered), the
// throughput over the load's S seconds (MB of 2^20 bytes) and the longest
// wait of the no-ops of the reader made during the load (one every 250 ms
// unless --probe-ms says otherwise).
//
// reg-watch reports, on one line starting with "reg-watch:", the cluster's
// VmRSS growth over the puts and the 10 s after they went (or until their
// last reply, if later), the longest of a few registry gets of a client
// connected once the puts went, and how many of the 15 put replies came
// and when.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/tarn_client_conv.h"
#include "client/tarn_mds_client_ops.h"
#include "client/tarn_wire.h"
#include "discovery/kvstore_msg.h"
#include "kiv/rpc.h"
#include "localcluster/control.h"
#include "localcluster/records.h"
#include "localcluster/registry/registry_server.h"
#include "ls_client/ls_wire.h"
#include "unittests/localcluster/test_ls_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kClient = 0x9b0be;
constexpr uint32_t kReadBytes = 4u << 20;

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

[[noreturn]] void die(const std::string& why) {
    fprintf(stderr, "probe_server_memory: %s\n", why.c_str());
    exit(2);
}

// ---------------------------------------------------------------- options
struct Options {
    std::string shape;
    int conns = 0;  // 0: the shape's default
    int seconds = 25;
    int probe_ms = 0;  // 0: the shape's default
    int probe_timeout_ms = 30000;
    int reads = 0;  // 0: the shape's default
    int rcvbuf = 0;  // ds-readers: the readers' SO_RCVBUF; 0: the kernel's own
    long max_growth_mb = 4096;  // the machine is shared: the attack stops past this
    std::string bin;     // kelvane-localcluster
    std::string attach;  // directory of a running cluster
};

const char* kUsage =
    "usage: probe_server_memory --shape mds-pipe|ds-pipe|reg-pipe|ls-pipe|ds-begun|reg-begun|ds-reads|ds-readers|\n"
    "                                    reg-watch\n"
    "         [--conns N (1; ds-readers 200, reg-watch 4)] [--seconds S (25)] [--probe-ms MS (2000; ds-readers 250)]\n"
    "         [--probe-timeout-ms MS (30000)] [--reads K (ds-reads 64, ds-readers 2)] [--max-growth-mb MB (4096)]\n"
    "         [--rcvbuf BYTES (ds-readers; the kernel's)] [--bin PATH/kelvane-localcluster] [--attach CLUSTER_DIR]\n";

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) die(a + " needs a value\n" + kUsage);
            return argv[++i];
        };
        if (a == "--shape") o.shape = val();
        else if (a == "--conns") o.conns = atoi(val().c_str());
        else if (a == "--seconds") o.seconds = atoi(val().c_str());
        else if (a == "--probe-ms") o.probe_ms = atoi(val().c_str());
        else if (a == "--probe-timeout-ms") o.probe_timeout_ms = atoi(val().c_str());
        else if (a == "--reads") o.reads = atoi(val().c_str());
        else if (a == "--rcvbuf") o.rcvbuf = atoi(val().c_str());
        else if (a == "--max-growth-mb") o.max_growth_mb = atol(val().c_str());
        else if (a == "--bin") o.bin = val();
        else if (a == "--attach") o.attach = val();
        else die("unknown argument " + a + "\n" + kUsage);
    }
    static const char* shapes[] = {"mds-pipe", "ds-pipe",  "reg-pipe", "ls-pipe",
                                   "ds-begun", "reg-begun", "ds-reads", "ds-readers", "reg-watch"};
    if (std::find_if(std::begin(shapes), std::end(shapes), [&](const char* s) { return o.shape == s; }) ==
        std::end(shapes))
        die(std::string("no such shape '") + o.shape + "'\n" + kUsage);
    if (!o.conns) o.conns = o.shape == "ds-readers" ? 200 : o.shape == "reg-watch" ? 4 : 1;
    if (!o.reads) o.reads = o.shape == "ds-readers" ? 2 : 64;
    // A fresh connection's longest no-op beside the readers is a tail of its
    // own: it takes more than a dozen probes to show.
    if (!o.probe_ms) o.probe_ms = o.shape == "ds-readers" ? 250 : 2000;
    if (o.conns < 1 || o.seconds < 1 || o.probe_ms < 1 || o.probe_timeout_ms < 1 || o.reads < 1 || o.rcvbuf < 0)
        die(std::string("counts and times must be positive\n") + kUsage);
    if (o.bin.empty()) {
        std::error_code ec;
        auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
        o.bin = (self.parent_path() / "kelvane-localcluster").string();
    }
    return o;
}

// ---------------------------------------------------------------- the cluster
struct Cluster {
    pid_t pid = 0;
    bool ours = false;  // started by us: we stop it
    std::string dir, ctl;
    uint16_t registry = 0, mds = 0, ls = 0;
    uint64_t fs_id = 0;
};

Cluster* g_cluster = nullptr;  // for the watchdog

void stop_cluster(Cluster& c) {
    if (!c.ours || c.pid <= 0) return;
    kill(c.pid, SIGTERM);
    for (int i = 0; i < 100; i++) {
        if (waitpid(c.pid, nullptr, WNOHANG) == c.pid) {
            c.pid = 0;
            return;
        }
        usleep(100 * 1000);
    }
    kill(c.pid, SIGKILL);
    waitpid(c.pid, nullptr, 0);
    c.pid = 0;
}

// The number after `"name":` at or after `from` in `json`; 0 if none.
uint64_t json_num(const std::string& json, const std::string& name, size_t from = 0, int base = 10) {
    std::string pat = "\"" + name + "\":";
    size_t at = json.find(pat, from);
    if (at == std::string::npos) return 0;
    at += pat.size();
    if (json[at] == '"') at++;
    return strtoull(json.c_str() + at, nullptr, base);
}

void read_ports(Cluster& c) {
    std::string st;
    if (lc_ctl_request(c.ctl, "status", &st, 5000) != 0) die("no status from " + c.ctl);
    c.registry = uint16_t(json_num(st, "port", st.find("\"registry\":{")));
    size_t fs = st.find("{\"name\":\"tarn\"");
    if (fs == std::string::npos) die("the cluster serves no file system 'tarn'");
    c.fs_id = json_num(st, "id", fs, 16);
    c.mds = uint16_t(json_num(st, "mds_port", fs));
    c.ls = uint16_t(json_num(st, "ls_port", fs));
    if (!c.registry || !c.mds || !c.fs_id) die("cannot read the ports from the status: " + st);
}

Cluster start_cluster(const Options& o) {
    Cluster c;
    if (!o.attach.empty()) {
        c.dir = o.attach;
        c.ctl = c.dir + "/local.ctl";
        FILE* f = fopen((c.dir + "/local.pid").c_str(), "r");
        if (!f || fscanf(f, "%d", &c.pid) != 1) die("cannot read " + c.dir + "/local.pid");
        fclose(f);
        read_ports(c);
        return c;
    }
    char tmpl[] = "/tmp/probe-server-memory-XXXXXX";
    if (!mkdtemp(tmpl)) die(std::string("mkdtemp: ") + strerror(errno));
    c.dir = tmpl;
    c.ctl = c.dir + "/local.ctl";
    c.ours = true;
    std::string log = c.dir + "/cluster.log";
    pid_t pid = fork();
    if (pid < 0) die(std::string("fork: ") + strerror(errno));
    if (pid == 0) {
        // The cluster must not outlive this program, however it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        const char* args[] = {o.bin.c_str(), "serve", "--dir", c.dir.c_str(), "--log-file", log.c_str(),
                              "--log-level", "warn", nullptr};
        execv(o.bin.c_str(), const_cast<char**>(args));
        fprintf(stderr, "exec %s: %s\n", o.bin.c_str(), strerror(errno));
        _exit(127);
    }
    c.pid = pid;
    g_cluster = new Cluster(c);
    auto t0 = Clock::now();
    for (;;) {
        std::string st;
        if (lc_ctl_request(c.ctl, "status", &st, 1000) == 0 && st.find("\"ready\":true") != std::string::npos) break;
        if (waitpid(pid, nullptr, WNOHANG) == pid) die("the cluster ended before it was ready (see " + log + ")");
        if (ms_since(t0) > 60000) die("the cluster was not ready within 60 s");
        usleep(100 * 1000);
    }
    read_ports(c);
    return c;
}

// VmRSS or VmHWM of `pid`, in kB.
long proc_kb(pid_t pid, const char* field) {
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
        if (!strncmp(line, field, n) && line[n] == ':') kb = atol(line + n + 1);
    fclose(f);
    return kb;
}

// ---------------------------------------------------------------- sockets
// `bufsize`, when not 0, is the socket's receive and send buffer, set
// before the connect so that the window offered matches it.
int connect_port(uint16_t port, int bufsize = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die(std::string("socket: ") + strerror(errno));
    if (bufsize) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufsize, sizeof bufsize);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof bufsize);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) die(std::string("connect: ") + strerror(errno));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool send_all(int fd, const Bytes& b) {
    size_t off = 0;
    while (off < b.size()) {
        ssize_t w = ::send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += size_t(w);
    }
    return true;
}

// Reads `n` bytes before `deadline`; false on end, error or time-out.
bool read_exact(int fd, uint8_t* p, size_t n, Clock::time_point deadline) {
    size_t got = 0;
    while (got < n) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        int pr = poll(&pfd, 1, left);
        if (pr < 0 && errno == EINTR) continue;
        if (pr <= 0) return false;
        ssize_t r = ::recv(fd, p + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

bool read_frame(int fd, Bytes* out, Clock::time_point deadline) {
    uint8_t len4[4];
    if (!read_exact(fd, len4, 4, deadline)) return false;
    uint32_t len = tarn_wire_get_u32(len4, 0);
    if (len < 24 || len > TARN_DS_MAX_MSG) return false;
    out->assign(len, 0);
    memcpy(out->data(), len4, 4);
    return read_exact(fd, out->data() + 4, len - 4, deadline);
}

// ---------------------------------------------------------------- request frames
// Every frame carries the transaction id `xid` in the runtime's header.
void put_xid(Bytes& b, uint64_t xid) {
    tarn_wire_put_u64(b.data(), TARN_MSG_XID, xid);
    tarn_wire_put_u64(b.data(), TARN_MSG_XID + 8, kClient);
}

// An MDS request from the client's request codec, with the epoch re-send
// flag, so that no announce has to come first.
Bytes mds_frame(const mds_request& req, uint64_t fs_id, uint64_t xid) {
    Bytes b(req.length, 0);
    tarn_mds_req_hdr h{};
    h.length = req.length;
    h.type = req.type;
    h.version = TARN_WIRE_VERSION;
    h.client_id = kClient;
    h.epoch = 1;
    h.flags = TARN_REQ_FLAG_EPOCH_RESEND;
    tarn_credentials cr{};
    tarn2mds_credentials(&cr, h.credentials);
    h.fs_id = fs_id;
    tarn_mds_req_hdr_write(b.data(), &h);
    put_xid(b, xid);
    mds_req_write_fields(&req, b.data());
    return b;
}

Bytes mds_get_fs_info(uint64_t fs_id, uint64_t xid) {
    mds_request rq;
    mds_req_get_fs_info(&rq);
    return mds_frame(rq, fs_id, xid);
}

// A DS request of `fixed` field bytes, padded to the DS alignment, or one
// that declares `len` bytes, of which only the first 512 (a write's header)
// are returned for the caller to complete. File requests name
// `token`/`file_id`.
Bytes ds_frame(uint32_t type, size_t fixed, uint64_t xid, uint64_t token = 0, uint64_t file_id = 0, size_t len = 0) {
    if (!len) len = tarn_ds_round_len(fixed);
    bool file = type != TARN_DS_NOOP;
    Bytes b(std::max<size_t>(std::min<size_t>(len, TARN_DS_WRITE_HDR_BYTES), TARN_DS_FILE_REQ_HDR_BYTES), 0);
    tarn_ds_req_hdr h{};
    h.length = uint32_t(len);
    h.type = type;
    h.client_id = kClient;
    h.epoch = 1;
    h.flags = TARN_REQ_FLAG_EPOCH_RESEND;
    h.version = TARN_WIRE_VERSION;
    h.location_token = token;
    h.file_id = file_id;
    tarn_ds_req_hdr_write(b.data(), &h, file);
    put_xid(b, xid);
    b.resize(std::min<size_t>(len, b.size()));
    return b;
}

Bytes ds_noop(uint64_t xid) { return ds_frame(TARN_DS_NOOP, TARN_DS_NOOP_REQ_BYTES, xid); }

Bytes ds_read(uint64_t xid, uint64_t token, uint64_t file_id, uint64_t off, uint32_t count) {
    Bytes f = ds_frame(TARN_DS_READ, TARN_DS_READ_REQ_BYTES, xid, token, file_id);
    tarn_wire_put_u64(f.data(), TARN_DS_READ_OFFSET, off);
    tarn_wire_put_u32(f.data(), TARN_DS_READ_COUNT, count);
    return f;
}

// The header of a write of `data` bytes at `off`; the data follows.
Bytes ds_write_hdr(uint64_t xid, uint64_t token, uint64_t file_id, uint64_t off, uint32_t data) {
    size_t len = tarn_ds_round_len(TARN_DS_WRITE_HDR_BYTES + data);
    Bytes f = ds_frame(TARN_DS_WRITE, TARN_DS_WRITE_HDR_BYTES, xid, token, file_id, len);
    tarn_wire_put_u32(f.data(), TARN_DS_WRITE_STABLE, 1);
    tarn_wire_put_u64(f.data(), TARN_DS_WRITE_OFFSET, off);
    tarn_wire_put_u32(f.data(), TARN_DS_WRITE_LEN, data);
    return f;
}

// A registry request of one item; a watch's value is the end of its key
// range, `gen` the generation it waits after.
Bytes kv_item_frame(uint32_t op, const std::string& key, const std::string& value, uint64_t xid,
                    uint64_t watch_timeout = 0, uint64_t gen = 0) {
    kiv_msg* m = kvstore_msg_alloc(nullptr, op, 0, watch_timeout, 0, key.data(), uint32_t(key.size()), value.data(),
                                   uint32_t(value.size()));
    if (gen) kvstore_msg_set_generation(m, gen);
    Bytes b(m->buf, m->buf + m->kept_len);
    kiv_free_msg(m);
    put_xid(b, xid);
    return b;
}

Bytes kv_frame(uint32_t op, const std::string& key, uint32_t value_len, uint64_t xid) {
    return kv_item_frame(op, key, std::string(value_len, 'v'), xid);
}

Bytes ls_test(uint64_t fs_id, uint64_t xid) {
    Bytes b = lsframes::br_frame({.type = LS_MSG_TEST, .caller = "probe", .fs_id = fs_id});
    put_xid(b, xid);
    return b;
}

// ---------------------------------------------------------------- setup of the reads
// One blocking round trip; dies when no reply comes within 30 s.
Bytes round_trip(int fd, const Bytes& req) {
    if (!send_all(fd, req)) die("send failed during setup");
    Bytes r;
    if (!read_frame(fd, &r, Clock::now() + std::chrono::seconds(30))) die("no reply during setup");
    return r;
}

struct DsTarget {
    uint16_t port = 0;
    uint64_t token = 0, file_id = 0;
};

// A file of `tarn` whose first 4 MiB read back (a hole up to its last
// byte), and the DS that holds it: found as a client finds it, through the
// MDS's handle, attributes and virtual-disk map.
DsTarget make_read_file(const Cluster& c) {
    int fd = connect_port(c.mds);
    uint64_t xid = 1;
    mds_request rq;
    tarn_mds_handle none{};
    mds_req_lookup(&rq, &none, "/");
    Bytes r = round_trip(fd, mds_frame(rq, c.fs_id, xid++));
    if (tarn_wire_get_u32(r.data(), TARN_REPLY_STATUS) != TARN_MDS_OK) die("lookup / failed");
    tarn_mds_handle root;
    memcpy(&root, r.data() + TARN_MDS_LOOKUP_REP_HANDLE, sizeof root);

    uint8_t update[TARN_MDS_UPDATE_BYTES];
    tarn_attr_update u{};
    tarn2mds_attr_update(&u, update);
    std::string name = "probe-" + std::to_string(getpid());
    mds_req_create_file(&rq, &root, name.c_str(), 2, update, 0);
    r = round_trip(fd, mds_frame(rq, c.fs_id, xid++));
    if (tarn_wire_get_u32(r.data(), TARN_REPLY_STATUS) != TARN_MDS_OK) die("create " + name + " failed");
    DsTarget t;
    tarn_mds_handle fh;
    memcpy(&fh, r.data() + TARN_MDS_CREATE_REP_HANDLE, sizeof fh);
    t.file_id = fh.file_id;
    uint16_t vdisk = tarn_wire_get_u16(r.data() + TARN_MDS_CREATE_REP_ATTRS, TARN_MDS_ATTR_VDISK_ID);

    mds_req_get_vdisk_map(&rq);
    r = round_trip(fd, mds_frame(rq, c.fs_id, xid++));
    mds_reply_outs outs{};
    rpc_error err{};
    if (tarn_wire_get_u32(r.data(), TARN_REPLY_STATUS) != TARN_MDS_OK ||
        !mds_reply_decode(TARN_MDS_GET_VDISK_MAP, true, r.data(), r.size(), &outs, &err) || !outs.map ||
        vdisk >= outs.map->count)
        die("no virtual-disk map");
    t.token = outs.map->entries[vdisk].location_token;
    t.port = outs.map->entries[vdisk].port;
    mds_client_free_vdisk_map(outs.map);
    close(fd);

    fd = connect_port(t.port);
    Bytes w = ds_write_hdr(xid++, t.token, t.file_id, kReadBytes - 1, 1);
    w.resize(tarn_ds_round_len(TARN_DS_WRITE_HDR_BYTES + 1), 0);
    r = round_trip(fd, w);
    if (tarn_wire_get_u32(r.data(), TARN_REPLY_STATUS) != TARN_DS_OK) die("the write of the read file failed");
    r = round_trip(fd, ds_read(xid++, t.token, t.file_id, 0, kReadBytes));
    if (r.size() != TARN_DS_READ_REP_DATA + kReadBytes) die("a 4-MiB read came back short");
    close(fd);
    return t;
}

// The read of the DS shapes: all of the file made above.
Bytes ds_read_all(const DsTarget& t, uint64_t xid) { return ds_read(xid, t.token, t.file_id, 0, kReadBytes); }

bool is_read_reply(const uint8_t* p, uint32_t len) {
    return len == TARN_DS_READ_REP_DATA + kReadBytes && tarn_wire_get_u32(p, TARN_REPLY_STATUS) == TARN_DS_OK;
}

// The port of a DS of `tarn` (that of virtual disk 0).
uint16_t some_ds_port(const Cluster& c) {
    int fd = connect_port(c.mds);
    mds_request rq;
    mds_req_get_vdisk_map(&rq);
    Bytes r = round_trip(fd, mds_frame(rq, c.fs_id, 1));
    close(fd);
    mds_reply_outs outs{};
    rpc_error err{};
    if (!mds_reply_decode(TARN_MDS_GET_VDISK_MAP, true, r.data(), r.size(), &outs, &err) || !outs.map ||
        !outs.map->count)
        die("no virtual-disk map");
    uint16_t port = outs.map->entries[0].port;
    mds_client_free_vdisk_map(outs.map);
    return port;
}

// ---------------------------------------------------------------- the attack
// Each connection writes its stream as fast as its socket takes it and never
// reads: a stream of `unit` repeated for ever (pipelining), or `unit` once
// (begun frames, a batch of reads).
struct Attack {
    std::vector<int> fds;
    std::vector<size_t> sent;
    Bytes unit;
    bool repeat = true;
    std::atomic<uint64_t> bytes{0};
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};  // connections whose whole stream went out, or that failed
    std::atomic<int> failed{0};
    std::thread th;

    void run() {
        int ep = epoll_create1(EPOLL_CLOEXEC);
        for (size_t i = 0; i < fds.size(); i++) {
            fcntl(fds[i], F_SETFL, fcntl(fds[i], F_GETFL) | O_NONBLOCK);
            epoll_event ev{};
            ev.events = EPOLLOUT | EPOLLET;
            ev.data.u64 = i;
            epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
        }
        std::vector<epoll_event> evs(256);
        while (!stop.load()) {
            int n = epoll_wait(ep, evs.data(), int(evs.size()), 100);
            for (int k = 0; k < n; k++) push(ep, size_t(evs[size_t(k)].data.u64));
        }
        close(ep);
    }
    void push(int ep, size_t i) {
        for (;;) {
            size_t at = repeat ? sent[i] % unit.size() : sent[i];
            if (!repeat && at >= unit.size()) return;
            ssize_t w = ::send(fds[i], unit.data() + at, unit.size() - at, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno == EAGAIN) return;
            if (w <= 0) {
                epoll_ctl(ep, EPOLL_CTL_DEL, fds[i], nullptr);
                failed++;
                finished++;
                return;
            }
            sent[i] += size_t(w);
            bytes += uint64_t(w);
            if (!repeat && sent[i] >= unit.size()) {
                epoll_ctl(ep, EPOLL_CTL_DEL, fds[i], nullptr);
                finished++;
                return;
            }
        }
    }
    void start() {
        sent.assign(fds.size(), 0);
        th = std::thread([this] { run(); });
    }
    void end() {
        stop = true;
        if (th.joinable()) th.join();
        for (int fd : fds) close(fd);
        fds.clear();
    }
};

// ---------------------------------------------------------------- the well-behaved readers
// Each connection keeps `depth` reads of the DS file in flight and reads
// every reply as it comes, sending the next read the moment one is whole:
// a client that asks for more than the DS's budget but never holds a reply
// back, so whatever it waits for is the server's order of admission. The
// connections are spread over a few threads, so that the client's own
// reading is never what keeps a reply waiting.
struct ReadLoad {
    static constexpr int kThreads = 4;
    static constexpr size_t kRecvBytes = 1u << 20;
    static constexpr uint32_t kHead = 32;  // enough for the transaction id and the status

    struct Conn {
        int fd = -1;
        uint64_t next_xid = 1;
        std::vector<std::pair<uint64_t, Clock::time_point>> sent;  // reads in flight
        Bytes out;  // requests the socket has not taken yet
        size_t out_off = 0;
        bool want_out = false;
        uint8_t head[kHead] = {};
        uint32_t len = 0, got = 0;  // the reply being read
    };
    struct Part {
        std::vector<Conn> conns;
        std::vector<double> ms;  // latency of every read answered whole
        int errors = 0, lost = 0, unfinished = 0;
        double oldest_unfinished_ms = 0;
        size_t in_flight = 0;
        std::thread th;
    };

    DsTarget target;
    int depth = 2;
    int rcvbuf = 0;
    int drain_ms = 30000;  // after the stop, for the reads still in flight
    std::vector<int> fds;
    std::vector<Part> parts;
    std::atomic<uint64_t> bytes{0};  // of replies, as they arrive

    void start(const std::atomic<bool>& stop) {
        parts = std::vector<Part>(size_t(std::min<int>(kThreads, int(fds.size()))));
        for (size_t i = 0; i < fds.size(); i++) {
            Conn c;
            c.fd = fds[i];
            // A reader with less kernel buffer takes each reply off the
            // server's queue in more, later steps.
            if (rcvbuf) setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
            parts[i % parts.size()].conns.push_back(std::move(c));
        }
        fds.clear();
        for (Part& p : parts) p.th = std::thread([this, &p, &stop] { run(p, stop); });
    }

    void run(Part& p, const std::atomic<bool>& stop) {
        int ep = epoll_create1(EPOLL_CLOEXEC);
        Bytes buf(kRecvBytes);
        for (size_t i = 0; i < p.conns.size(); i++) {
            fcntl(p.conns[i].fd, F_SETFL, fcntl(p.conns[i].fd, F_GETFL) | O_NONBLOCK);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = i;
            epoll_ctl(ep, EPOLL_CTL_ADD, p.conns[i].fd, &ev);
        }
        for (Conn& c : p.conns)
            for (int k = 0; k < depth && c.fd >= 0; k++) send_read(p, ep, c);
        std::vector<epoll_event> evs(64);
        bool draining = false;
        Clock::time_point drain_end{};
        for (;;) {
            if (!draining && stop.load()) {
                draining = true;
                drain_end = Clock::now() + std::chrono::milliseconds(drain_ms);
            }
            if (draining && (p.in_flight == 0 || Clock::now() >= drain_end)) break;
            int n = epoll_wait(ep, evs.data(), int(evs.size()), 50);
            for (int k = 0; k < n; k++) {
                Conn& c = p.conns[size_t(evs[size_t(k)].data.u64)];
                if (c.fd >= 0 && (evs[size_t(k)].events & EPOLLOUT)) flush(p, ep, c);
                if (c.fd >= 0 && (evs[size_t(k)].events & (EPOLLIN | EPOLLERR | EPOLLHUP)))
                    take(p, ep, c, buf, draining);
            }
        }
        for (Conn& c : p.conns) {
            for (auto& [xid, t0] : c.sent) {
                p.unfinished++;
                p.oldest_unfinished_ms = std::max(p.oldest_unfinished_ms, ms_since(t0));
            }
            if (c.fd >= 0) close(c.fd);
            c.fd = -1;
        }
        close(ep);
    }

    void fail(Part& p, int ep, Conn& c) {
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        close(c.fd);
        c.fd = -1;
        p.lost += int(c.sent.size());
        p.in_flight -= c.sent.size();
        c.sent.clear();
    }

    void send_read(Part& p, int ep, Conn& c) {
        uint64_t xid = c.next_xid++;
        Bytes f = ds_read_all(target, xid);
        c.out.insert(c.out.end(), f.begin(), f.end());
        c.sent.emplace_back(xid, Clock::now());
        p.in_flight++;
        flush(p, ep, c);
    }

    void flush(Part& p, int ep, Conn& c) {
        while (c.out_off < c.out.size()) {
            ssize_t w = ::send(c.fd, c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno == EAGAIN) break;
            if (w <= 0) return fail(p, ep, c);
            c.out_off += size_t(w);
        }
        bool want = c.out_off < c.out.size();
        if (!want) {
            c.out.clear();
            c.out_off = 0;
        }
        if (want != c.want_out) {
            epoll_event ev{};
            ev.events = want ? uint32_t(EPOLLIN | EPOLLOUT) : uint32_t(EPOLLIN);
            ev.data.u64 = uint64_t(&c - p.conns.data());
            epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
            c.want_out = want;
        }
    }

    // Reads what the socket has (a few buffers' worth at a time, so that
    // one busy connection does not keep the thread's others waiting).
    void take(Part& p, int ep, Conn& c, Bytes& buf, bool draining) {
        for (int round = 0; round < 8 && c.fd >= 0; round++) {
            ssize_t n = ::recv(c.fd, buf.data(), buf.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return;
            if (n <= 0) return fail(p, ep, c);
            bytes += uint64_t(n);
            for (size_t at = 0; at < size_t(n) && c.fd >= 0;) {
                uint32_t want = c.got < 4 ? 4 : c.len;
                uint32_t k = uint32_t(std::min<size_t>(want - c.got, size_t(n) - at));
                if (c.got < kHead) memcpy(c.head + c.got, buf.data() + at, std::min(k, kHead - c.got));
                c.got += k;
                at += k;
                if (c.got == 4) {
                    c.len = tarn_wire_get_u32(c.head, 0);
                    if (c.len < 24 || c.len > TARN_DS_MAX_MSG) return fail(p, ep, c);
                } else if (c.got == c.len) {
                    answered(p, ep, c, draining);
                }
            }
            if (size_t(n) < buf.size()) return;
        }
    }

    void answered(Part& p, int ep, Conn& c, bool draining) {
        uint64_t xid = tarn_wire_get_u64(c.head, TARN_MSG_XID);
        bool ok = c.len >= kHead && is_read_reply(c.head, c.len);
        c.got = c.len = 0;
        auto it = std::find_if(c.sent.begin(), c.sent.end(), [xid](const auto& s) { return s.first == xid; });
        if (it == c.sent.end()) {
            p.errors++;  // a reply to nothing this connection asked
            return;
        }
        if (ok) p.ms.push_back(ms_since(it->second));
        else p.errors++;
        c.sent.erase(it);
        p.in_flight--;
        if (!draining) send_read(p, ep, c);
    }

    void finish() {
        for (Part& p : parts)
            if (p.th.joinable()) p.th.join();
    }

    // median, p99 and max of the reads' latency, and the counts beside them.
    std::string summary(double window_s, uint64_t window_bytes) const {
        std::vector<double> v;
        int errors = 0, lost = 0, unfinished = 0;
        double oldest = 0;
        for (const Part& p : parts) {
            v.insert(v.end(), p.ms.begin(), p.ms.end());
            errors += p.errors;
            lost += p.lost;
            unfinished += p.unfinished;
            oldest = std::max(oldest, p.oldest_unfinished_ms);
        }
        std::sort(v.begin(), v.end());
        // Nearest rank: the smallest latency at least a share `q` of the reads had.
        auto at = [&](double q) {
            if (v.empty()) return 0.0;
            size_t rank = size_t(std::ceil(q * double(v.size())));
            return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
        };
        char b[512];
        snprintf(b, sizeof b,
                 "read ms median %.0f p99 %.0f max %.0f (%zu reads; %d failed, %d lost with their connection, %d "
                 "unanswered after %d s, oldest %.0f ms); %.0f MB/s",
                 at(0.5), at(0.99), v.empty() ? 0.0 : v.back(), v.size(), errors, lost, unfinished, drain_ms / 1000,
                 oldest, window_s > 0 ? window_bytes / 1048576.0 / window_s : 0.0);
        return b;
    }
};

// ---------------------------------------------------------------- the readers
struct Reader {
    Reader(const char* n, uint16_t p, std::function<Bytes(uint64_t)> req, int every_ms, int limit_ms)
        : name(n), port(p), request(std::move(req)), probe_ms(every_ms), timeout_ms(limit_ms) {}
    const char* name;
    uint16_t port;
    std::function<Bytes(uint64_t xid)> request;
    int probe_ms, timeout_ms;
    int fd = -1;
    uint64_t xid = 1000000;
    std::vector<double> ok_ms;
    int timed_out = 0, lost = 0;
    std::atomic<bool> done{false};
    std::thread th;

    // One request, its reply awaited (earlier replies that come late are
    // skipped by their transaction id). Latency in ms, or -1.
    double probe() {
        uint64_t x = ++xid;
        Bytes req = request(x);
        auto t0 = Clock::now();
        auto deadline = t0 + std::chrono::milliseconds(timeout_ms);
        if (!send_all(fd, req)) return -2;
        Bytes r;
        for (;;) {
            if (!read_frame(fd, &r, deadline)) return Clock::now() >= deadline ? -1 : -2;
            if (tarn_wire_get_u64(r.data(), TARN_MSG_XID) == x) return ms_since(t0);
        }
    }
    void connect_and_warm() {
        fd = connect_port(port);
        if (probe() < 0) die(std::string(name) + ": no reply before the attack");
    }
    void run(const std::atomic<bool>& stop) {
        while (!stop.load()) {
            auto t0 = Clock::now();
            if (fd < 0) fd = connect_port(port);  // the reader made during the attack
            double ms = fd >= 0 ? probe() : -2;
            if (ms >= 0) ok_ms.push_back(ms);
            else if (ms == -1) timed_out++;
            else {
                lost++;
                if (fd >= 0) close(fd);
                fd = -1;
            }
            auto next = t0 + std::chrono::milliseconds(probe_ms);
            while (!stop.load() && Clock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        done = true;
    }
    // The longest wait of a request: its time-out once one timed out.
    std::string longest() const {
        char b[128];
        if (timed_out)
            snprintf(b, sizeof b, "over %d ms (%d of %zu timed out)", timeout_ms, timed_out, ok_ms.size() + timed_out);
        else if (ok_ms.empty())
            snprintf(b, sizeof b, "none answered");
        else
            snprintf(b, sizeof b, "%.0f ms (%zu)", *std::max_element(ok_ms.begin(), ok_ms.end()), ok_ms.size());
        return b + std::string(lost ? " " + std::to_string(lost) + " lost connection" : "");
    }
    std::string summary() const {
        std::vector<double> v = ok_ms;
        std::sort(v.begin(), v.end());
        char buf[256];
        int n = int(v.size()) + timed_out + lost;
        if (v.empty()) {
            snprintf(buf, sizeof buf, "%s: %d probes, %d timed out (%d s), %d lost connection", name, n, timed_out,
                     timeout_ms / 1000, lost);
        } else {
            snprintf(buf, sizeof buf, "%s: %d probes, answered %zu: min %.1f / median %.1f / max %.1f ms; %d timed out (%d s), %d lost connection",
                     name, n, v.size(), v.front(), v[v.size() / 2], v.back(), timed_out, timeout_ms / 1000, lost);
        }
        return buf;
    }
    void finish() {
        if (th.joinable()) th.join();
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

// The kernel's memory of all TCP sockets (sockstat "mem", in pages), in kB:
// replies that left a server wait there for a peer that does not read.
long tcp_mem_kb() {
    FILE* f = fopen("/proc/net/sockstat", "r");
    if (!f) return 0;
    char line[256];
    long pages = 0;
    while (fgets(line, sizeof line, f)) {
        const char* m = strstr(line, " mem ");
        if (!strncmp(line, "TCP:", 4) && m) pages = atol(m + 5);
    }
    fclose(f);
    return pages * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string load_line() {
    FILE* f = fopen("/proc/loadavg", "r");
    char buf[128] = {};
    if (f) {
        if (!fgets(buf, sizeof buf, f)) buf[0] = 0;
        fclose(f);
    }
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

// CPU time in clock ticks: the machine's busy and total (/proc/stat, all
// processors) and what the cluster and this program used. The load average
// trails the last minute, our own earlier runs included; this tells the
// machine's other work from the run's own over just the span measured.
struct CpuTimes {
    double busy = 0, total = 0, ours = 0;
};

double proc_ticks(const std::string& stat_path) {
    FILE* f = fopen(stat_path.c_str(), "r");
    if (!f) return 0;
    char buf[1024] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* p = strrchr(buf, ')');  // the name may hold blanks
    unsigned long long utime = 0, stime = 0;
    if (!p || sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return 0;
    return double(utime + stime);
}

CpuTimes cpu_times(pid_t cluster) {
    CpuTimes t;
    FILE* f = fopen("/proc/stat", "r");
    unsigned long long v[8] = {};
    if (f) {
        if (fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                   &v[7]) != 8)
            memset(v, 0, sizeof v);
        fclose(f);
    }
    for (unsigned long long x : v) t.total += double(x);
    t.busy = t.total - double(v[3]) - double(v[4]);  // less idle and iowait
    t.ours = proc_ticks("/proc/self/stat") + (cluster > 0 ? proc_ticks("/proc/" + std::to_string(cluster) + "/stat") : 0);
    return t;
}

// Processors kept busy between `a` and `b`: by others than the cluster
// and this program, and by these two.
std::string cpu_line(const CpuTimes& a, const CpuTimes& b) {
    double ncpu = double(sysconf(_SC_NPROCESSORS_ONLN));
    double all = b.total - a.total;
    if (all <= 0) return "no CPU figures";
    double ours = (b.ours - a.ours) / all * ncpu;
    double others = std::max(0.0, (b.busy - a.busy) / all * ncpu - ours);
    char buf[128];
    snprintf(buf, sizeof buf, "%.1f of %.0f processors busy with other work, %.1f with the run", others, ncpu, ours);
    return buf;
}


// ---------------------------------------------------------------- the reg-watch shape
// Watchers with small socket buffers park the most watches a connection
// may on one key range and never read; a client that does read puts large
// records into that range, which answers every watch with them. What the
// registry then holds shows in its process's VmRSS; whether it still
// serves shows in a fresh client's gets and in the put replies.
int reg_watch(const Options& o, const Cluster& c) {
    constexpr int kWatches = LC_REG_MAX_PARKED_PER_CONN;
    constexpr int kPuts = 15;
    constexpr uint32_t kPutBytes = 60000;
    constexpr int kBufBytes = 16384;
    constexpr int kSampleS = 10;
    const std::string start = "mem/w/", end = "mem/w0";
    const std::string get_key = lc_record_key(LC_SVC_MDS, c.fs_id);
    const Bytes get = kv_frame(KV_OP_GET, get_key, 0, 1);

    // The generation the watches wait after: the store's, from a reply.
    int fd = connect_port(c.registry);
    Bytes r = round_trip(fd, get);
    close(fd);
    if (r.size() < KVSTORE_HDR_SIZE) die("a registry reply came back short");
    uint64_t gen = tarn_wire_get_u64(r.data(), KVSTORE_OFF_GENERATION);

    std::vector<int> watchers;
    for (int i = 0; i < o.conns; i++) {
        Bytes batch;
        for (int k = 0; k < kWatches; k++) {
            Bytes f = kv_item_frame(KV_OP_WATCH, start, end, uint64_t(k + 1), LC_REG_WATCH_MAX_S, gen);
            batch.insert(batch.end(), f.begin(), f.end());
        }
        watchers.push_back(connect_port(c.registry, kBufBytes));
        if (!send_all(watchers.back(), batch)) die("the watches could not be sent");
    }
    // Until the registry has parked them all (a cluster whose status does
    // not count them gets 5 s).
    uint64_t parked = 0;
    for (auto t = Clock::now(); ms_since(t) < 5000;) {
        std::string st;
        if (lc_ctl_request(c.ctl, "status", &st, 1000) == 0)
            parked = json_num(st, "parked_watches", st.find("\"registry\":{"));
        if (parked >= uint64_t(o.conns) * kWatches) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    long base_kb = proc_kb(c.pid, "VmRSS");
    long hwm0_kb = proc_kb(c.pid, "VmHWM");
    std::string load_before = load_line();
    printf("generation %llu; %d watchers, %d watches each (%llu parked); baseline VmRSS %.1f MB (VmHWM %.1f MB)\n",
           (unsigned long long)gen, o.conns, kWatches, (unsigned long long)parked, base_kb / 1024.0,
           hwm0_kb / 1024.0);
    fflush(stdout);

    Bytes put_stream;
    for (int i = 0; i < kPuts; i++) {
        char key[32];
        snprintf(key, sizeof key, "%s%02d", start.c_str(), i);
        Bytes f = kv_item_frame(KV_OP_PUT, key, std::string(kPutBytes, char('a' + i)), uint64_t(i + 1));
        put_stream.insert(put_stream.end(), f.begin(), f.end());
    }
    const int put_limit_ms = o.probe_timeout_ms;
    std::atomic<bool> puts_done{false}, stop{false};
    std::vector<double> put_ms;  // when each put reply came, from the send
    int put_ok = 0;
    double sent_ms = -1;
    CpuTimes cpu0 = cpu_times(c.pid);
    auto t0 = Clock::now();
    std::thread putter([&] {
        int pfd = connect_port(c.registry);
        std::thread sender([&] {
            if (send_all(pfd, put_stream)) sent_ms = ms_since(t0);
        });
        auto deadline = t0 + std::chrono::milliseconds(put_limit_ms);
        Bytes rep;
        while (int(put_ms.size()) < kPuts && read_frame(pfd, &rep, deadline)) {
            put_ms.push_back(ms_since(t0));
            if (rep.size() >= KVSTORE_HDR_SIZE && tarn_wire_get_u32(rep.data(), KVSTORE_OFF_STATUS) == KV_STATUS_OK)
                put_ok++;
        }
        shutdown(pfd, SHUT_RDWR);  // a sender still blocked ends
        sender.join();
        close(pfd);
        puts_done = true;
    });
    // A client connected once the puts went: a get a second until the end.
    Reader getter("fresh client's get", c.registry, [&get](uint64_t x) {
        Bytes f = get;
        put_xid(f, x);
        return f;
    }, 1000, 15000);
    getter.th = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        getter.run(stop);
    });

    long peak_kb = base_kb, at_kb = -1;
    std::string trace;
    for (int sec = 1;; sec++) {
        std::this_thread::sleep_until(t0 + std::chrono::seconds(sec));
        long kb = proc_kb(c.pid, "VmRSS");
        if (kb < 0) die("the cluster process is gone");
        peak_kb = std::max(peak_kb, kb);
        char b[32];
        snprintf(b, sizeof b, " %+.0f", (kb - base_kb) / 1024.0);
        trace += b;
        if (sec == kSampleS) {
            at_kb = kb;
            trace += " |";
        }
        if (sec >= kSampleS && puts_done.load()) break;
    }
    double span_s = ms_since(t0) / 1000.0;
    stop = true;
    putter.join();
    getter.finish();
    std::string load_during = load_line();
    CpuTimes cpu1 = cpu_times(c.pid);
    long hwm_kb = proc_kb(c.pid, "VmHWM");
    // Watchers whose end or reset from the registry has reached them; a
    // full receive window holds back an end, so these are a lower bound.
    int closed = 0;
    for (int w : watchers) {
        pollfd pfd{w, POLLRDHUP, 0};
        if (poll(&pfd, 1, 0) == 1 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR))) closed++;
    }
    for (int w : watchers) close(w);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    long after_kb = proc_kb(c.pid, "VmRSS");

    std::string when;
    for (double ms : put_ms) when += " " + std::to_string(int(std::lround(ms)));
    printf("RSS growth per second (MB; '|' marks %d s, then until the last put reply):%s\n", kSampleS,
           trace.c_str());
    printf("put replies at ms after the send:%s; the %zu bytes of puts were all taken after %s\n",
           when.empty() ? " none" : when.c_str(), put_stream.size(),
           sent_ms < 0 ? "never" : (std::to_string(int(std::lround(sent_ms))) + " ms").c_str());
    printf("%s\n", getter.summary().c_str());
    printf("reg-watch: conns %d x %d watches, buffers %d; RSS growth peak %+.1f MB over %.0f s (at %d s %+.1f MB, "
           "VmHWM %+.1f MB, 3 s after closing the watchers %+.1f MB); fresh client's get max %s; put replies %zu of "
           "%d (%d ok), first %s ms, last %s ms; watchers seen closed by the registry %d of %d; load before %s, during "
           "%s; during it %s\n",
           o.conns, kWatches, kBufBytes, (peak_kb - base_kb) / 1024.0, span_s, kSampleS, (at_kb - base_kb) / 1024.0,
           (hwm_kb - base_kb) / 1024.0, (after_kb - base_kb) / 1024.0, getter.longest().c_str(), put_ms.size(),
           kPuts, put_ok, put_ms.empty() ? "-" : std::to_string(int(std::lround(put_ms.front()))).c_str(),
           put_ms.empty() ? "-" : std::to_string(int(std::lround(put_ms.back()))).c_str(), closed, o.conns,
           load_before.c_str(), load_during.c_str(), cpu_line(cpu0, cpu1).c_str());
    fflush(stdout);
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    // However long the servers stall, the run ends: the attack, the last
    // probe's time-out, and the setup's own bounds.
    int limit_s = o.seconds + o.probe_timeout_ms / 1000 + 150;
    std::thread([limit_s] {
        std::this_thread::sleep_for(std::chrono::seconds(limit_s));
        fprintf(stderr, "probe_server_memory: watchdog after %d s\n", limit_s);
        if (g_cluster && g_cluster->ours && g_cluster->pid > 0) kill(g_cluster->pid, SIGKILL);
        _exit(3);
    }).detach();

    Cluster c = start_cluster(o);
    printf("cluster pid %d dir %s registry %u mds %u ls %u fs_id %llx\n", int(c.pid), c.dir.c_str(),
           unsigned(c.registry), unsigned(c.mds), unsigned(c.ls), (unsigned long long)c.fs_id);

    auto end_cluster = [&c] {
        if (!c.ours) return;
        stop_cluster(c);
        if (g_cluster) g_cluster->pid = 0;
        std::error_code ec;
        std::filesystem::remove_all(c.dir, ec);
    };
    if (o.shape == "reg-watch") {
        int rc = reg_watch(o, c);
        end_cluster();
        return rc;
    }

    const std::string& s = o.shape;
    const std::string reg_key = lc_record_key(LC_SVC_MDS, c.fs_id);
    uint64_t fs_id = c.fs_id;
    uint16_t port = 0;
    std::function<Bytes(uint64_t)> probe_req;
    Attack attack;
    ReadLoad load;
    if (s == "mds-pipe" || s == "ds-pipe" || s == "reg-pipe" || s == "ls-pipe") {
        std::function<Bytes(uint64_t)> one;
        if (s == "mds-pipe") {
            port = c.mds;
            one = [fs_id](uint64_t x) { return mds_get_fs_info(fs_id, x); };
        } else if (s == "ds-pipe") {
            port = some_ds_port(c);
            one = ds_noop;
        } else if (s == "reg-pipe") {
            port = c.registry;
            one = [reg_key](uint64_t x) { return kv_frame(KV_OP_GET, reg_key, 0, x); };
        } else {
            if (!c.ls) die("the cluster has no lock server");
            port = c.ls;
            one = [fs_id](uint64_t x) { return ls_test(fs_id, x); };
        }
        probe_req = one;
        for (uint64_t x = 1; attack.unit.size() < 64 * 1024; x++) {
            Bytes f = one(x);
            attack.unit.insert(attack.unit.end(), f.begin(), f.end());
        }
    } else if (s == "ds-begun") {
        port = some_ds_port(c);
        probe_req = ds_noop;
        // A write as large as the DS takes, its last byte never sent.
        Bytes f = ds_write_hdr(1, 0, 1, 0, TARN_DS_MAX_MSG - TARN_DS_WRITE_HDR_BYTES);
        f.resize(TARN_DS_MAX_MSG - 1, 0);
        attack.unit = f;
        attack.repeat = false;
    } else if (s == "reg-begun") {
        port = c.registry;
        probe_req = [reg_key](uint64_t x) { return kv_frame(KV_OP_GET, reg_key, 0, x); };
        // A put as large as the registry's frame limit, its last byte never sent.
        std::string key = "/probe/begun";
        Bytes f = kv_frame(KV_OP_PUT, key,
                           uint32_t(size_t(LC_REG_MAX_FRAME) - size_t(KVSTORE_HDR_SIZE) - size_t(KVSTORE_ITEM_HDR_SIZE) - key.size()), 1);
        if (f.size() != size_t(LC_REG_MAX_FRAME)) die("the begun registry frame is not the largest");
        f.pop_back();
        attack.unit = f;
        attack.repeat = false;
    } else {  // ds-reads, ds-readers
        DsTarget t = make_read_file(c);
        port = t.port;
        probe_req = ds_noop;
        if (s == "ds-reads") {
            for (int i = 0; i < o.reads; i++) {
                Bytes f = ds_read_all(t, uint64_t(i + 1));
                attack.unit.insert(attack.unit.end(), f.begin(), f.end());
            }
            attack.repeat = false;
        }
        load.target = t;
        load.depth = o.reads;
        load.rcvbuf = o.rcvbuf;
        load.drain_ms = o.probe_timeout_ms;
    }
    const bool readers = s == "ds-readers";
    if (readers)
        printf("shape %s conns %d seconds %d target port %u: %d reads of %u bytes in flight a connection, receive "
               "buffer %s\n",
               s.c_str(), o.conns, o.seconds, unsigned(port), o.reads, kReadBytes,
               o.rcvbuf ? std::to_string(o.rcvbuf).c_str() : "the kernel's");
    else
        printf("shape %s conns %d seconds %d target port %u unit %zu bytes%s\n", s.c_str(), o.conns, o.seconds,
               unsigned(port), attack.unit.size(), attack.repeat ? " (repeated)" : " (once)");

    Reader early("reader made before", port, probe_req, o.probe_ms, o.probe_timeout_ms);
    Reader late("reader made during", port, probe_req, o.probe_ms, o.probe_timeout_ms);
    early.connect_and_warm();
    for (int i = 0; i < o.conns; i++) (readers ? load.fds : attack.fds).push_back(connect_port(port));

    // The baseline after the setup, with every connection open.
    CpuTimes cpu0 = cpu_times(c.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    long base_kb = proc_kb(c.pid, "VmRSS");
    long hwm0_kb = proc_kb(c.pid, "VmHWM");
    std::string load_before = load_line();
    CpuTimes cpu1 = cpu_times(c.pid);
    std::string cpu_before = cpu_line(cpu0, cpu1);
    long tcp0 = tcp_mem_kb();
    printf("baseline VmRSS %.1f MB (VmHWM %.1f MB), load %s; %s\n", base_kb / 1024.0, hwm0_kb / 1024.0,
           load_before.c_str(), cpu_before.c_str());
    fflush(stdout);

    std::atomic<bool> stop{false};
    auto t0 = Clock::now();
    if (readers) load.start(stop);
    else attack.start();
    early.th = std::thread([&] { early.run(stop); });
    late.th = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        late.run(stop);
    });
    // Every second until both readers are done: the attack goes on until
    // the probe in flight at its end got its reply or timed out.
    long peak_kb = base_kb, at_s_kb = -1, tcp_peak = tcp0;
    std::string trace;
    double window_s = 0;
    uint64_t window_bytes = 0;
    CpuTimes cpu2 = cpu_times(c.pid), cpu3;
    auto end_window = [&] {
        stop = true;
        window_s = ms_since(t0) / 1000.0;
        window_bytes = load.bytes.load();
        cpu3 = cpu_times(c.pid);
    };
    auto readers_done = [&] { return stop.load() && early.done.load() && late.done.load(); };
    for (int sec = 1;; sec++) {
        while (Clock::now() < t0 + std::chrono::seconds(sec) && !readers_done())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (readers_done()) break;
        long kb = proc_kb(c.pid, "VmRSS");
        if (kb < 0) die("the cluster process is gone");
        peak_kb = std::max(peak_kb, kb);
        tcp_peak = std::max(tcp_peak, tcp_mem_kb());
        char b[32];
        snprintf(b, sizeof b, " %+.0f", (kb - base_kb) / 1024.0);
        trace += b;
        if (at_s_kb < 0 && (kb - base_kb) / 1024 > o.max_growth_mb) {
            printf("growth past %ld MB after %d s: the readers stop here\n", o.max_growth_mb, sec);
            at_s_kb = kb;
            end_window();
        }
        if (sec == o.seconds && at_s_kb < 0) {
            at_s_kb = kb;
            end_window();
            trace += " |";
        }
    }
    double attack_s = ms_since(t0) / 1000.0;
    std::string load_during = load_line();
    early.finish();
    late.finish();
    load.finish();
    long hwm_kb = proc_kb(c.pid, "VmHWM");
    uint64_t sent = attack.bytes.load();
    int finished = attack.finished.load(), failed = attack.failed.load();
    attack.end();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    long after_kb = proc_kb(c.pid, "VmRSS");

    printf("RSS growth per second (MB; '|' marks %d s, then until the last probe ended):%s\n", o.seconds,
           trace.c_str());
    if (!readers)
        printf("attack lasted %.1f s; attackers wrote %.2f MB; %d of %d streams %s, %d failed\n", attack_s,
               sent / 1048576.0, finished, o.conns, attack.repeat ? "ended" : "sent whole", failed);
    printf("growth at %d s %+.1f MB; peak %+.1f MB (VmHWM %+.1f MB over the baseline); 3 s after closing the "
           "attackers %+.1f MB\n",
           o.seconds, (at_s_kb - base_kb) / 1024.0, (peak_kb - base_kb) / 1024.0, (hwm_kb - base_kb) / 1024.0,
           (after_kb - base_kb) / 1024.0);
    printf("kernel TCP memory (all sockets of the machine): %.0f MB before, peak %.0f MB\n", tcp0 / 1024.0,
           tcp_peak / 1024.0);
    printf("%s\n%s\n", early.summary().c_str(), late.summary().c_str());
    std::string cpu_during = cpu_line(cpu2, cpu3);
    printf("load before %s, during %s\n", load_before.c_str(), load_during.c_str());
    printf("before the run %s; during it %s\n", cpu_before.c_str(), cpu_during.c_str());
    if (readers)
        printf("readers: conns %d reads %d seconds %d%s; %s; fresh connection's no-op max %s; load before %s, during "
               "%s; before the run %s, during it %s\n",
               o.conns, o.reads, o.seconds, o.rcvbuf ? (" rcvbuf " + std::to_string(o.rcvbuf)).c_str() : "",
               load.summary(window_s, window_bytes).c_str(), late.longest().c_str(),
               load_before.c_str(), load_during.c_str(), cpu_before.c_str(), cpu_during.c_str());
    else
        printf("| %s | %d | %.0f MB | %+.0f MB | %+.0f MB | %.0f s | %s | %s |\n", s.c_str(), o.conns,
               base_kb / 1024.0, (at_s_kb - base_kb) / 1024.0, (peak_kb - base_kb) / 1024.0, attack_s,
               early.summary().c_str(), late.summary().c_str());
    fflush(stdout);

    end_cluster();
    return 0;
}

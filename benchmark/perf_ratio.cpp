// The project's request paths beside the loopback echo, measured in one
// run: for each number of callers and each path, rounds alternate an echo
// run and a path run, and the ratio of the path's calls per second to the
// echo's round trips per second is reported as the median over the rounds.
//
// Paths:
//   rpc      a runtime RPC (512-byte request, 4208-byte reply) on one endpoint
//   ds       a 4 KiB read through the DS client against a runtime server
//   read     tarn_client_read of 4 KiB against a local cluster started here
//   getattr  tarn_client_get_attr of a directory (the MDS), same cluster
// The three read paths are compared with the 512/4208-byte echo, getattr
// with an echo of its own message sizes.
//
// With -P each path run (and its echo) also prints where the time went, per
// thread group and per call: CPU, voluntary switches (each one a sleep and
// a wake-up), involuntary switches, time waiting for a CPU.
//
//   kelvane-perf-ratio [-d SECONDS] [-r ROUNDS] [-t N[,N...]] [-p PATH[,PATH...]] [-w ECHO_THREADS] [-P]
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "benchmark/echo_pair.h"
#include "benchmark/thread_profile.h"
#include "client/tarn_client.h"
#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_ds_client.h"
#include "client/tarn_ds_client_ops.h"
#include "client/tarn_wire.h"
#include "client/tarn_wire_blocks.h"
#include "discovery/discov.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"
#include "localcluster/cluster.h"

namespace {

using kvbench::CallFn;
using kvbench::EchoShape;
using kvbench::RunResult;

constexpr uint32_t k_block = 4096;
constexpr uint64_t k_client_id = 0xbe7c4;
constexpr uint64_t k_stand_in_host = 0xd5;
// A read's offset is drawn from this many blocks; the file of the local
// cluster has as many.
constexpr uint64_t k_file_blocks = 1024;
// getattr: the request and the least reply of the MDS exchange.
constexpr EchoShape k_echo_getattr{TARN_MDS_GET_ATTRS_REQ_BYTES, TARN_MDS_GET_ATTRS_REP_MIN};

// Thrown rather than exiting, so that what was set up (a local cluster's
// directory, its servers) is torn down on the way out.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& what) { throw Failure(what); }

// ---------------------------------------------------------------- a runtime server that answers DS reads
// Answers every read at once with the header and `count` bytes, as a DS
// does, from its own process (its own event loop). The raw RPC path sends
// it DS-read-shaped frames too.
void serve_read(kiv_rpc_sconn* c, kiv_msg* req, void*) {
    const uint32_t count = req->kept_len >= TARN_DS_READ_REQ_BYTES ? tarn_wire_get_u32(req->buf, TARN_DS_READ_COUNT) : 0;
    kiv_msg* r = kiv_rpc_alloc_reply(req, uint32_t(TARN_DS_READ_REP_DATA) + count);
    tarn_wire_put_u32(r->buf, TARN_DS_READ_REP_COUNT, count);
    kiv_rpc_reply(c, r);
    kiv_free_msg(req);
}

uint16_t g_stand_in_port = 0;

int find_stand_in(void*, uint16_t, tarn_host_addr* out, uint64_t* token) {
    *out = tarn_host_addr{k_stand_in_host, 0x7f000001, g_stand_in_port};
    *token = 0;
    return 0;
}
void no_report(void*, uint16_t, uint64_t) {}
int epoch_one(void*, uint32_t* out) {
    *out = 1;
    return 0;
}

// The server process, and a client process with one plain endpoint (as one
// pooled connection) and a DS client, both aimed at it.
struct RuntimeSide {
    kiv_process server{};
    kiv_process client{};
    kiv_rpc_server* srv = nullptr;
    kiv_rpc_engine eng{};
    kiv_rpc_endpoint* ep = nullptr;
    tarn_conn_factory* factory = nullptr;
    tarn_conn_pool* pool = nullptr;
    ds_client* ds = nullptr;

    // Set-up is not in the constructor: a failure half-way must still reach
    // the destructor.
    void start() {
        if (kiv_process_init_(&server) || kiv_process_start(&server, "rt-server") || kiv_process_init_(&client) ||
            kiv_process_start(&client, "rt-client"))
            fail("cannot start the runtime processes");
        static const kiv_rpc_server_ops ops = {serve_read, nullptr, nullptr};
        kiv_netaddr a{};
        kiv_parse_netaddr_port("127.0.0.1", "0", &a);
        if (kiv_rpc_listen(&server, &a, TARN_DS_MAX_MSG, &ops, nullptr, &srv)) fail("cannot listen");
        kiv_rpc_server_addr(srv, &a);
        g_stand_in_port = a.port;
        if (kiv_rpc_engine_init(&client, &eng, KIV_RPC_ENGINE_CLIENT)) fail("cannot make an RPC engine");
        static const kiv_rpc_params params = {24, TARN_DS_MAX_MSG, 5000, 50, 60000, 1};
        ep = kiv_rpc_create(&eng, nullptr, &params);
        if (!ep) fail("cannot make an endpoint");
        kiv_rpc_set_address(ep, &a);
        const ds_locator_callbacks cb{nullptr, find_stand_in, no_report, no_report};
        if (tarn_conn_factory_create(k_client_id, &client, &factory) ||
            tarn_conn_pool_create(1, factory, tarn_conn_create, &pool) ||
            ds_client_create(pool, k_client_id, epoch_one, nullptr, &client, &ds, cb))
            fail("cannot make the DS client");
    }
    ~RuntimeSide() {
        if (ds) ds_client_destroy(ds);
        if (pool) tarn_conn_pool_destroy(pool);
        if (factory) tarn_conn_factory_destroy(factory);
        if (ep) kiv_rpc_close(ep);
        if (srv) kiv_rpc_server_close(srv);
        for (kiv_process* p : {&client, &server}) {
            kiv_process_terminate(p);
            kiv_process_wait(p);
            kiv_process_fini(p);
        }
        if (eng.priv) kiv_rpc_engine_fini(&eng);
    }
};

// One caller's raw RPC: a message it reuses, posted to the loop and waited
// for as the file-server client starts and waits for its calls.
struct RpcCaller {
    RuntimeSide* side;
    kiv_msg* m;
    std::mt19937_64 rng;
    kiv_job job{};
    kiv_waiter done{};

    RpcCaller(RuntimeSide* s, uint64_t seed) : side(s), m(kiv_rpc_alloc_output_msg(512)), rng(seed) {
        tarn_wire_put_u32(m->buf, TARN_MSG_LENGTH, 512);
        tarn_wire_put_u32(m->buf, TARN_MSG_TYPE, TARN_DS_READ);
        tarn_wire_put_u32(m->buf, TARN_DS_READ_COUNT, k_block);
        m->done = on_done;
        m->priv = this;
    }
    ~RpcCaller() { kiv_free_msg(m); }

    static void on_done(kiv_msg* m) { kiv_waiter_signal(&static_cast<RpcCaller*>(m->priv)->done); }
    static void start(void* a) {
        auto* c = static_cast<RpcCaller*>(a);
        kiv_rpc_get_new_xid(&c->side->eng, c->m->buf + TARN_MSG_XID);
        kiv_rpc_call(c->side->ep, c->m);
    }
    static void dropped(void* a) {
        auto* c = static_cast<RpcCaller*>(a);
        c->m->error = KIV_E_ABANDONED;  // never sent
        kiv_waiter_signal(&c->done);
    }
    bool call() {
        tarn_wire_put_u64(m->buf, TARN_DS_READ_OFFSET, (rng() % k_file_blocks) * k_block);
        kiv_waiter_init(&done);
        if (kiv_post_in_job(&side->client, &job, start, dropped, this) < 0) return false;
        kiv_waiter_wait(&done);
        return m->error == 0 && m->reply && m->reply->total_len == TARN_DS_READ_REP_DATA + k_block;
    }
};

CallFn rpc_caller(RuntimeSide* side, int index) {
    auto c = std::make_shared<RpcCaller>(side, 0x5eed + uint64_t(index));
    return [c] { return c->call(); };
}

CallFn ds_caller(RuntimeSide* side, int index) {
    auto rng = std::make_shared<std::mt19937_64>(0x5eed + uint64_t(index));
    auto buf = std::make_shared<std::vector<uint8_t>>(k_block);
    return [side, rng, buf] {
        uint8_t creds[TARN_WIRE_CREDS_BYTES] = {};
        ds_call call;
        ds_call_init(&call, side->ds, 15000, ds_target_by_vdisk(uint16_t((*rng)() % 6)));
        uint32_t count = 0;
        uint8_t eof = 0;
        ds_read_async(&call, 0x10, 0x99, creds, ((*rng)() % k_file_blocks) * k_block, buf->data(), k_block, &count,
                      &eof, nullptr);
        ds_call_wait_for_result(&call);
        const bool ok = ds_call_get_state(&call) == CALL_DONE && count == k_block;
        ds_call_fini(&call);
        return ok;
    };
}

// ---------------------------------------------------------------- a local cluster and one client of it
struct Handle {
    uint8_t bytes[TARN_OPAQUE_BUF_BYTES] = {};
    tarn_opaque_buf buf{bytes, 0, sizeof bytes};
};

// Repeats a call while the servers ask to wait (the MDS not yet known).
template <class F>
tarn_err settled(F&& call) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    tarn_err err;
    while ((err = call()) == TARN_ERR_DELAY && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return err;
}

struct ClusterSide {
    std::unique_ptr<localcluster::Cluster> cluster;
    kiv_process proc{};
    discov* discovery = nullptr;
    tarn_client* client = nullptr;
    tarn_fs* fs = nullptr;
    tarn_context ctx{};
    Handle root, file;

    int log_level = __kiv_log_level;

    void start() {
        localcluster::ClusterConfig cfg;
        cfg.fs.push_back({"tarn", 0x1001});
        cfg.lock_servers = false;
        cfg.log_level = 0;
        try {
            cluster = localcluster::Cluster::start(cfg);
        } catch (const std::exception& e) {
            fail(std::string("cannot start the local cluster: ") + e.what());
        }
        // Until the MDS is known every call is retried, each retry logged.
        __kiv_log_level = 0;
        if (kiv_process_init_(&proc) || kiv_process_start(&proc, "tarn-client"))
            fail("cannot start the client's runtime process");
        if (discov_create("local", nullptr, DISCOV_MODE_READ_ONLY, &proc, &discovery))
            fail("cannot reach the local cluster's registry");
        tarn_client_params params{};
        params.client_id = k_client_id;
        params.epoch = 1;
        params.required_flag = 1;
        if (tarn_client_create(&params, discovery, &proc, &client) || tarn_client_open_fs(client, "tarn", &fs))
            fail("cannot open file system tarn");
        ctx = tarn_context{fs, tarn_credentials{}};
        if (settled([&] { return tarn_client_lookup(&ctx, nullptr, 0, "/", &root.buf, nullptr, nullptr); }))
            fail("cannot look up the root");
        tarn_attr_update mode{};
        mode.mask = TARN_SET_MODE;
        mode.attr.mode = 0644;
        if (settled([&] {
                return tarn_client_create_file(&ctx, root.bytes, root.buf.size, "perf-ratio", TARN_CREATE_GUARDED,
                                               &mode, 0, &file.buf, nullptr, nullptr, nullptr);
            }))
            fail("cannot create the file to read");
        std::vector<uint8_t> block(k_block);
        for (uint64_t b = 0; b < k_file_blocks; b++) {
            memset(block.data(), int('a' + b % 26), block.size());
            uint32_t written = 0;
            if (settled([&] {
                    return tarn_client_write(&ctx, file.bytes, file.buf.size, b * k_block, block.data(), k_block,
                                             false, &written, nullptr, nullptr);
                }) ||
                written != k_block)
                fail("cannot write the file to read");
        }
        __kiv_log_level = log_level;
    }
    ~ClusterSide() {
        __kiv_log_level = log_level;
        if (fs) tarn_client_close_fs(fs);
        if (client) tarn_client_destroy(client);
        if (discovery) discov_destroy(discovery);
        kiv_process_terminate(&proc);
        kiv_process_wait(&proc);
        kiv_process_fini(&proc);
        cluster.reset();
    }
};

CallFn read_caller(ClusterSide* side, int index) {
    auto rng = std::make_shared<std::mt19937_64>(0x5eed + uint64_t(index));
    auto buf = std::make_shared<std::vector<uint8_t>>(k_block);
    return [side, rng, buf] {
        const uint64_t block = (*rng)() % k_file_blocks;
        uint32_t got = 0;
        bool eof = false;
        const tarn_err err = tarn_client_read(&side->ctx, side->file.bytes, side->file.buf.size, block * k_block,
                                              buf->data(), k_block, &got, &eof, nullptr);
        // The content tells a read of the wrong block from a right one.
        return err == TARN_ERR_OK && got == k_block && (*buf)[got - 1] == uint8_t('a' + block % 26);
    };
}

CallFn getattr_caller(ClusterSide* side, int) {
    return [side] {
        tarn_attr a{};
        return tarn_client_get_attr(&side->ctx, side->root.bytes, side->root.buf.size, &a) == TARN_ERR_OK &&
               a.type == TARN_FILE_TYPE_DIRECTORY;
    };
}

// ---------------------------------------------------------------- options
struct Options {
    double seconds = 1;
    int rounds = 3;
    int echo_threads = 4;
    std::vector<int> callers{1, 8, 100};
    std::vector<std::string> paths{"rpc", "ds", "read", "getattr"};
    bool profile = false;
};

std::vector<std::string> split(const char* text) {
    std::vector<std::string> out;
    std::string cur;
    for (const char* p = text;; p++) {
        if (*p == ',' || *p == '\0') {
            out.push_back(cur);
            cur.clear();
            if (!*p) break;
        } else {
            cur += *p;
        }
    }
    return out;
}

long parse_number(const std::string& text, long lo, long hi, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text.c_str(), &end, 10);
    if (errno || end == text.c_str() || *end || v < lo || v > hi) fail(std::string("invalid ") + what + ": " + text);
    return v;
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: kelvane-perf-ratio [-d SECONDS] [-r ROUNDS] [-t N[,N...]] [-p PATH[,PATH...]] [-w ECHO_THREADS] "
            "[-P]\n  paths: rpc, ds, read, getattr\n");
    exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    int opt;
    while ((opt = getopt(argc, argv, "d:r:t:p:w:P")) != -1) {
        switch (opt) {
        case 'd': {
            char* end = nullptr;
            o.seconds = strtod(optarg, &end);
            if (end == optarg || *end || !(o.seconds >= 0.05 && o.seconds <= 600)) fail(std::string("invalid duration: ") + optarg);
            break;
        }
        case 'r':
            o.rounds = int(parse_number(optarg, 1, 1000, "round count"));
            break;
        case 't':
            o.callers.clear();
            for (const std::string& n : split(optarg)) o.callers.push_back(int(parse_number(n, 1, 2000, "caller count")));
            break;
        case 'p':
            o.paths = split(optarg);
            for (const std::string& p : o.paths)
                if (p != "rpc" && p != "ds" && p != "read" && p != "getattr") fail("unknown path: " + p);
            break;
        case 'w':
            o.echo_threads = int(parse_number(optarg, 1, 256, "echo server thread count"));
            break;
        case 'P':
            o.profile = true;
            break;
        default:
            usage();
        }
    }
    if (optind != argc) usage();
    return o;
}

// ---------------------------------------------------------------- measuring
void print_profile(const char* what, const RunResult& r, const std::vector<kvbench::GroupCost>& groups) {
    const double calls = r.calls ? double(r.calls) : 1;
    printf("  profile %s (%llu calls), per call:\n", what, static_cast<unsigned long long>(r.calls));
    printf("    %-14s %3s %9s %8s %8s %9s\n", "threads", "n", "cpu_us", "sleeps", "preempt", "runq_us");
    printf("    %-14s %3s %9.2f %8.3f %8.3f %9s\n", "caller", "", double(r.caller_cpu_ns) / calls / 1000,
           double(r.caller_vcsw) / calls, double(r.caller_nvcsw) / calls, "-");
    for (const kvbench::GroupCost& g : groups) {
        // Idle helpers (registry watchers, timers) would only add noise.
        if (double(g.total.cpu_ns) / calls < 50 && double(g.total.vcsw) / calls < 0.01) continue;
        printf("    %-14s %3d %9.2f %8.3f %8.3f %9.2f\n", g.group.c_str(), g.threads,
               double(g.total.cpu_ns) / calls / 1000, double(g.total.vcsw) / calls, double(g.total.nvcsw) / calls,
               double(g.total.wait_ns) / calls / 1000);
    }
}

// One run; with a profile, what every long-lived thread spent during it.
RunResult measure(bool profile, const std::string& label, const std::function<RunResult()>& run) {
    std::map<int, kvbench::ThreadSample> before;
    if (profile) before = kvbench::sample_threads();
    RunResult r = run();
    if (r.failed) fail(label + ": a call failed");
    if (profile) print_profile(label.c_str(), r, kvbench::group_costs(before, kvbench::sample_threads()));
    return r;
}

}  // namespace

int run(const Options& o) {
    auto wants = [&](const char* p) { return std::find(o.paths.begin(), o.paths.end(), p) != o.paths.end(); };

    std::unique_ptr<RuntimeSide> runtime;
    std::unique_ptr<ClusterSide> cluster;
    if (wants("rpc") || wants("ds")) {
        runtime = std::make_unique<RuntimeSide>();
        runtime->start();
    }
    if (wants("read") || wants("getattr")) {
        cluster = std::make_unique<ClusterSide>();
        cluster->start();
    }
    kvbench::EchoServer echo_read(o.echo_threads, kvbench::k_echo_read);
    kvbench::EchoServer echo_small(o.echo_threads, k_echo_getattr);

    printf("Setup: %g s per run, %d rounds, echo server %d threads; echo %zu/%zu bytes (rpc, ds, read), "
           "%zu/%zu bytes (getattr)\n",
           o.seconds, o.rounds, o.echo_threads, kvbench::k_echo_read.request, kvbench::k_echo_read.reply,
           k_echo_getattr.request, k_echo_getattr.reply);
    std::map<std::string, std::map<int, double>> table;
    for (int n : o.callers) {
        for (const std::string& path : o.paths) {
            kvbench::EchoServer& echo = path == "getattr" ? echo_small : echo_read;
            std::function<CallFn(int)> make;
            if (path == "rpc") make = [&](int i) { return rpc_caller(runtime.get(), i); };
            if (path == "ds") make = [&](int i) { return ds_caller(runtime.get(), i); };
            if (path == "read") make = [&](int i) { return read_caller(cluster.get(), i); };
            if (path == "getattr") make = [&](int i) { return getattr_caller(cluster.get(), i); };
            const std::string tag = "@" + std::to_string(n);
            std::vector<double> echo_rates, path_rates, ratios;
            for (int round = 0; round < o.rounds; round++) {
                // Only the last round is profiled: one breakdown per figure.
                const bool profile = o.profile && round == o.rounds - 1;
                const RunResult e = measure(profile, "echo" + tag, [&] { return kvbench::run_echo(echo, n, o.seconds); });
                const RunResult r = measure(profile, path + tag, [&] { return kvbench::run_callers(n, o.seconds, make); });
                echo_rates.push_back(e.rate());
                path_rates.push_back(r.rate());
                ratios.push_back(e.rate() > 0 ? r.rate() / e.rate() : 0);
            }
            const double ratio = kvbench::median(ratios);
            table[path][n] = ratio;
            printf("%-8s callers %3d: echo %10.1f/s  path %10.1f/s  ratio %.3f  (rounds:", path.c_str(), n,
                   kvbench::median(echo_rates), kvbench::median(path_rates), ratio);
            for (double x : ratios) printf(" %.3f", x);
            printf(")\n");
            fflush(stdout);
        }
    }
    printf("Ratio to echo (median of %d rounds)\n%-8s", o.rounds, "path");
    for (int n : o.callers) printf(" %7d", n);
    printf("\n");
    for (const std::string& path : o.paths) {
        printf("%-8s", path.c_str());
        for (int n : o.callers) printf(" %7.3f", table[path][n]);
        printf("\n");
    }
    return 0;
}

int main(int argc, char** argv) {
    try {
        return run(parse(argc, argv));
    } catch (const Failure& e) {
        fprintf(stderr, "kelvane-perf-ratio: %s\n", e.what());
        return 1;
    }
}

// The local cluster's data server as a client reaches it: request frames
// over loopback into one data server of a small cluster (epochs lenient, so requests get
// past the epoch check to their handlers). The test request, which crashes
// the instance, is fault injection and left out.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "client/tarn_wire.h"
#include "fuzz_net.h"
#include "localcluster/cluster.h"

namespace {

struct Target {
    std::unique_ptr<localcluster::Cluster> cluster;
    uint16_t port = 0;
    uint64_t token = 0;
};

Target* g = nullptr;
fuzznet::Peer* g_peer = nullptr;
uint32_t g_tag = 0;

std::string after(const std::string& s, const std::string& what, size_t from = 0) {
    size_t at = s.find(what, from);
    return at == std::string::npos ? std::string() : s.substr(at + what.size());
}

Target* start() {
    auto* t = new Target;
    localcluster::ClusterConfig cfg;
    cfg.cluster = "fuzzds";
    cfg.vdisks_per_host = 1;
    cfg.lock_servers = false;
    cfg.epoch_strict = false;
    cfg.fs = {{"tarn", 0x1001, false, 256ull << 20, 1 << 16}};
    cfg.log_level = 0;
    t->cluster = localcluster::Cluster::start(cfg);
    const std::string st = t->cluster->control("status");
    t->port = uint16_t(atoi(after(after(st, "\"service\":\"ds\""), "\"port\":").c_str()));
    t->token = strtoull(after(st, "\"token\":\"").c_str(), nullptr, 16);
    return t;
}

fuzzseed::Bytes request(uint32_t type, size_t fields_end, bool file, uint64_t token) {
    fuzzseed::Bytes b((fields_end + 511) / 512 * 512, 0);
    tarn_ds_req_hdr h{};
    h.length = uint32_t(b.size());
    h.type = type;
    h.client_id = 0xc1;
    h.epoch = 1;
    h.version = TARN_WIRE_VERSION;
    h.location_token = token;
    h.file_id = 0x10;
    tarn_ds_req_hdr_write(b.data(), &h, file);
    return b;
}

// Requests laid out by the client's DS header encoder; the input is the
// frame without its length word.
void seeds(fuzzseed::Writer& w) {
    Target* t = g != nullptr ? g : (g = start());
    auto add = [&](fuzzseed::Bytes b) { w.add(fuzzseed::Bytes(b.begin() + 4, b.end())); };
    add(request(TARN_DS_NOOP, TARN_DS_NOOP_REQ_BYTES, false, 0));
    add(request(TARN_DS_GET_ATTRS, TARN_DS_GET_ATTRS_REQ_BYTES, true, t->token));
    add(request(TARN_DS_COMMIT, TARN_DS_COMMIT_REQ_BYTES, true, t->token));
    add(request(TARN_DS_REMOVE, TARN_DS_REMOVE_REQ_BYTES, true, t->token));
    fuzzseed::Bytes read = request(TARN_DS_READ, TARN_DS_READ_REQ_BYTES, true, t->token);
    fuzzseed::put32(read, TARN_DS_READ_COUNT, 4096);
    add(read);
    fuzzseed::Bytes write = request(TARN_DS_WRITE, TARN_DS_WRITE_HDR_BYTES + 512, true, t->token);
    fuzzseed::put32(write, TARN_DS_WRITE_LEN, 100);
    fuzzseed::put32(write, TARN_DS_WRITE_STABLE, 1);
    add(write);
}

}  // namespace

KIV_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4 || size + 4 > TARN_DS_MAX_MSG) return 0;
    uint32_t type = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
    if (type == TARN_DS_TEST || (type & 1)) return 0;  // a crash on purpose; an odd type closes the connection
    if (g == nullptr) g = start();
    if (g_peer == nullptr) g_peer = new fuzznet::Peer(g->port);
    fuzzseed::Bytes f(size + 4);
    memcpy(f.data() + 4, data, size);
    fuzzseed::put32(f, 0, uint32_t(f.size()));
    if (f.size() < 24) f.resize(24);
    fuzzseed::put32(f, 0, uint32_t(f.size()));
    fuzzseed::put32(f, 8, ++g_tag);
    g_peer->exchange(f, true, 2000);
    return 0;
}

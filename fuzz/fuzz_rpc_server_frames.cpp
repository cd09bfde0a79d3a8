// The runtime server's frame reader: whatever bytes a peer sends on a fresh
// connection, then closes its side. The server echoes each request; the
// target reads until the server has closed the connection too.
#include <string.h>

#include "discovery/kvstore_msg.h"
#include "fuzz_net.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"

namespace {

constexpr uint32_t kMaxMsg = 64 * 1024;

struct EchoServer {
    kiv_process proc{};
    kiv_rpc_server* srv = nullptr;
    uint16_t port = 0;
    EchoServer() {
        kiv_process_init_(&proc);
        kiv_process_start(&proc, "fuzz-server");
        static const kiv_rpc_server_ops ops = {[](kiv_rpc_sconn* c, kiv_msg* req, void*) {
                                                   kiv_msg* r = kiv_rpc_alloc_reply(req, req->total_len);
                                                   if (r) {
                                                       memcpy(r->buf + 24, req->buf + 24, req->total_len - 24);
                                                       kiv_rpc_reply(c, r);
                                                   }
                                                   kiv_free_msg(req);
                                               },
                                               nullptr, nullptr};
        kiv_netaddr a{};
        kiv_parse_netaddr_port("127.0.0.1", "0", &a);
        kiv_rpc_listen(&proc, &a, kMaxMsg, &ops, nullptr, &srv);
        kiv_netaddr got{};
        kiv_rpc_server_addr(srv, &got);
        port = got.port;
    }
};

EchoServer* g_srv = nullptr;

// Frames as the runtime's clients send them: registry requests.
void seeds(fuzzseed::Writer& w) {
    fuzzseed::Bytes all;
    for (const char* key : {"a", "/discov/services/tarn/mds/mds-1001", "k"}) {
        kiv_msg* m = kvstore_msg_alloc(nullptr, KV_OP_GET, 0, 0, 0, key, uint32_t(strlen(key)), "", 0);
        fuzzseed::Bytes f(m->buf, m->buf + m->kept_len);
        kiv_free_msg(m);
        w.add(f);
        all.insert(all.end(), f.begin(), f.end());
    }
    w.add(all);
}

}  // namespace

KIV_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_srv == nullptr) g_srv = new EchoServer;
    int fd = fuzznet::connect_to(g_srv->port);
    if (fd < 0) return 0;
    fuzznet::write_all(fd, data, size);
    shutdown(fd, SHUT_WR);
    // Until the server closes: every frame it took has been handled by then.
    uint8_t sink[65536];
    while (fuzznet::read_full(fd, sink, 1, 5000)) {
        pollfd pf{fd, POLLIN, 0};
        while (poll(&pf, 1, 0) == 1 && read(fd, sink, sizeof sink) > 0) {
        }
    }
    close(fd);
    return 0;
}

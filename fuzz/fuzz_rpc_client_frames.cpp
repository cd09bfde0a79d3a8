// The runtime client's frame reader: a request goes out, and the server
// answers it with whatever bytes the input holds (the first frame's
// transaction id made the request's, so a reply can match), then closes.
// The request must complete exactly once.
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fuzz_net.h"
#include "kiv/rpc.h"
#include "kiv/rpc_server.h"

namespace {

constexpr uint32_t kReqType = 0x1000;
constexpr uint32_t kMaxMsg = 64 * 1024;

struct Client {
    kiv_process proc{};
    kiv_rpc_engine eng{};
    int lfd = -1;
    kiv_netaddr addr{};
    Client() {
        kiv_process_init_(&proc);
        kiv_process_start(&proc, "fuzz-client");
        kiv_rpc_engine_init(&proc, &eng, KIV_RPC_ENGINE_CLIENT);
        lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(lfd, 16);
        socklen_t l = sizeof sa;
        getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &l);
        kiv_parse_netaddr_port("127.0.0.1", std::to_string(ntohs(sa.sin_port)).c_str(), &addr);
    }
};

Client* g_client = nullptr;
std::atomic<int> g_completions{0};

kiv_msg* new_request(kiv_rpc_engine* eng, uint32_t len) {
    kiv_msg* m = kiv_rpc_alloc_output_msg(len);
    fuzzseed::Bytes h(24, 0);
    fuzzseed::put32(h, 0, len);
    fuzzseed::put32(h, 4, kReqType);
    memcpy(m->buf, h.data(), 8);
    kiv_rpc_get_new_xid(eng, m->buf + 8);
    return m;
}

// Replies as the runtime's server makes them.
void seeds(fuzzseed::Writer& w) {
    kiv_msg* req = kiv_rpc_alloc_output_msg(64);
    fuzzseed::Bytes h(24, 0);
    fuzzseed::put32(h, 0, 64);
    fuzzseed::put32(h, 4, kReqType);
    memcpy(req->buf, h.data(), 24);
    for (uint32_t len : {24u, 32u, 200u}) {
        kiv_msg* r = kiv_rpc_alloc_reply(req, len);
        fuzzseed::Bytes b(r->buf, r->buf + r->kept_len);
        w.add(b);
        fuzzseed::Bytes twice = b;
        twice.insert(twice.end(), b.begin(), b.end());
        w.add(twice);
        kiv_free_msg(r);
    }
    kiv_free_msg(req);
}

}  // namespace

KIV_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_client == nullptr) g_client = new Client;
    Client* c = g_client;
    const kiv_rpc_params params{24, kMaxMsg, 1000, 10, 2000, 0};
    const kiv_rpc_ep_ops ops{};
    kiv_rpc_endpoint* ep = kiv_rpc_create(&c->eng, &ops, &params);
    kiv_rpc_set_address(ep, &c->addr);
    kiv_msg* req = new_request(&c->eng, 64);
    g_completions = 0;
    req->done = [](kiv_msg* m) {
        g_completions++;
        kiv_free_msg(m);
    };
    uint8_t xid[16];
    memcpy(xid, req->buf + 8, 16);
    kiv_rpc_call(ep, req);

    pollfd pf{c->lfd, POLLIN, 0};
    if (poll(&pf, 1, 2000) == 1) {
        int fd = accept4(c->lfd, nullptr, nullptr, SOCK_CLOEXEC);
        uint8_t got[64];
        if (fd >= 0 && fuzznet::read_full(fd, got, sizeof got, 2000)) {
            fuzzseed::Bytes answer(data, data + size);
            if (answer.size() >= 24) memcpy(answer.data() + 8, xid, 16);
            fuzznet::write_all(fd, answer.data(), answer.size());
        }
        if (fd >= 0) close(fd);
    }
    // Completed by the answer, the closed connection or the reply time-out.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (g_completions == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    kiv_rpc_close(ep);
    if (g_completions != 1) abort();
    return 0;
}

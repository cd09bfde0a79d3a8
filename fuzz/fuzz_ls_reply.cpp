// The lock client's reading of replies: the common reply check and each
// operation's handler, reached through the library's own call path. A lock
// server on loopback (the runtime's server half) answers every request with
// the input. The first input byte picks the operation; the rest is the
// reply, whose length, type and xid words the transport writes itself.
// A call either succeeds with outputs read from inside the reply or fails
// and leaves them alone; the sanitizers watch every read.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "fuzz_ls_env.h"
#include "kiv/loop.h"
#include "kiv/rpc_server.h"
#include "ls_client/ls_client.h"

namespace {

enum Op : uint8_t {
    kTestItems,
    kTest,
    kTake,
    kBlockingTake,
    kFree,
    kCancel,
    kShareTake,
    kShareFree,
    kSearch,
    kRemove,
    kErrorFrame,  // the runtime's error frame instead of a reply
    kOps
};

// Free-all is left out: its handler reads nothing beyond the common check,
// and in direct mode it first waits for a server list that never comes.

struct Server {
    kiv_process process{};
    kiv_rpc_server* server = nullptr;
    kiv_netaddr addr{};
    std::mutex mu;
    fuzzseed::Bytes reply;
    uint32_t error_code = 0;

    static void on_request(kiv_rpc_sconn* c, kiv_msg* req, void* arg) {
        auto* self = static_cast<Server*>(arg);
        std::lock_guard<std::mutex> g(self->mu);
        if (self->error_code != 0) {
            kiv_rpc_reply_error(c, req, self->error_code);
        } else {
            const size_t n = self->reply.size() < 24 ? 24 : self->reply.size();
            kiv_msg* rep = kiv_rpc_alloc_reply(req, uint32_t(n));
            if (self->reply.size() > 24) memcpy(rep->buf + 24, self->reply.data() + 24, self->reply.size() - 24);
            kiv_rpc_reply(c, rep);
        }
        kiv_free_msg(req);
    }
};

struct Env {
    Server server;
    kiv_process loop{};
    ls_client* client = nullptr;
};

Env* g = nullptr;

// Formats every line, so a bad argument for a format shows up too.
void log_hook(int, const char*, const char*, const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
}

Env* start() {
    auto* e = new Env;
    ls_client_custom_log_init(log_hook);
    Server& s = e->server;
    kiv_process_init_(&s.process);
    kiv_process_start(&s.process, "fuzz-ls");
    kiv_netaddr any;
    kiv_parse_netaddr("127.0.0.1:0", &any);
    kiv_rpc_server_ops ops{};
    ops.on_request = Server::on_request;
    if (kiv_rpc_listen(&s.process, &any, LS_MAX_MSG, &ops, &s, &s.server) != 0 ||
        kiv_rpc_server_addr(s.server, &s.addr) != 0) {
        fprintf(stderr, "fuzz_ls_reply: no loopback server\n");
        abort();
    }
    kiv_process_init_(&e->loop);
    kiv_process_start(&e->loop, "evloop");
    ls_client_cfg cfg{};
    cfg.direct_addr = s.addr;
    cfg.cluster = "fuzz-ls";
    cfg.local_id = 77;
    if (ls_client_create(&cfg, &e->loop, &e->client) != 0) {
        fprintf(stderr, "fuzz_ls_reply: no client\n");
        abort();
    }
    return e;
}

void seeds(fuzzseed::Writer& w) {
    for (const fuzzls::Exchange& x : fuzzls::exchanges()) {
        Op op = kTake;
        switch (ls_wire_get_u32(x.request.data(), LS_HDR_TYPE)) {
            case LS_MSG_TEST: op = kTestItems; break;
            case LS_MSG_BLOCKING_TAKE: op = kBlockingTake; break;
            case LS_MSG_FREE: op = kFree; break;
            case LS_MSG_CANCEL: op = kCancel; break;
            case LS_MSG_SHARE_TAKE: op = kShareTake; break;
            case LS_MSG_SHARE_FREE: op = kShareFree; break;
            case LS_MSG_CTRL_SEARCH: op = kSearch; break;
            case LS_MSG_CTRL_REMOVE: op = kRemove; break;
            default: break;
        }
        fuzzseed::Bytes in{uint8_t(op)};
        in.insert(in.end(), x.reply.begin(), x.reply.end());
        w.add(in);
    }
    w.add({uint8_t(kErrorFrame), 9});
}

[[noreturn]] void broken(const char* what) {
    fprintf(stderr, "lock client: %s\n", what);
    abort();
}

int g_search_calls = 0;

// Everything a page hands over is read, so the sanitizers see each byte.
void search_cb(ls_ctrl_search_result* r, int error) {
    g_search_calls++;
    if (r == nullptr) {
        if (error == 0) broken("search failed without an error");
        return;
    }
    if (r->returned_count != 0 && r->locks == nullptr) broken("entries counted but not handed over");
    size_t sum = 0;
    for (uint32_t i = 0; i < r->returned_count; i++) sum += strlen(r->locks[i].owner_info.caller);
    const uint8_t* c = static_cast<const uint8_t*>(r->cookie.data);
    for (uint64_t i = 0; i < r->cookie.size; i++) sum += c[i];
    (void)sum;
    ls_client_search_result_free(r);
}

}  // namespace

KIV_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size - 1 > LS_MAX_MSG) return 0;  // the endpoint refuses longer replies
    if (g == nullptr) g = start();
    const Op op = Op(data[0] % kOps);
    {
        std::lock_guard<std::mutex> lk(g->server.mu);
        g->server.reply.assign(data + 1, data + size);
        g->server.error_code = op == kErrorFrame ? (size > 1 ? data[1] : 1) | 1 : 0;
    }
    ls_client* c = g->client;
    const uint64_t fs = 0x1001;
    ls_lock_owner owner{};
    owner.caller = "fuzz";
    owner.owner_id = 1;
    const ls_brlock_range range = {0x1234, 0, 16, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS};
    const ls_share_owner share_owner = {{}, "fuzz", 2, "h1"};
    const ls_share_lock share = {7, LS_READ, LS_READ | LS_WRITE};
    const ls_stats untouched = ls_stats(0xDEAD);
    ls_stats st = untouched;
    int rc = 0;
    switch (op) {
        case kTestItems:
        case kTest: {
            lock_test_res res{};
            res.range.start = 0xAAAA;
            uint32_t count = 0xEEEE;
            ls_opaque_item* items = nullptr;
            const bool want = op == kTestItems;
            rc = ls_brlock_test(c, fs, &owner, &range, &res, want ? &count : nullptr, want ? &items : nullptr);
            if (rc != 0 && (res.granted || res.range.start != 0xAAAA)) broken("a failed test wrote its result");
            if (rc != 0 && (count != 0xEEEE || items != nullptr)) broken("a failed test handed out items");
            if (items != nullptr) {
                for (uint32_t i = 0; i < count; i++) {
                    const uint8_t* p = static_cast<const uint8_t*>(items[i].data);
                    for (uint64_t j = 0; j < items[i].size; j++) (void)*(volatile const uint8_t*)(p + j);
                    __kiv_free(items[i].data);
                }
                __kiv_free(items);
            }
            return 0;
        }
        case kTake: rc = ls_brlock_take(c, fs, &owner, &range, 0, nullptr, &st); break;
        case kBlockingTake: {
            const kiv_netaddr waiter{};
            rc = ls_blocking_brlock_take(c, fs, &waiter, &owner, &range, 0, nullptr, &st);
            break;
        }
        case kFree: rc = ls_brlock_free(c, fs, &owner, &range, &st); break;
        case kCancel: rc = ls_blocking_brlock_cancel(c, fs, &owner, &range, &st); break;
        case kShareTake: rc = ls_sharemode_lock_take(c, fs, &share_owner, &share, &st); break;
        case kShareFree: rc = ls_sharemode_lock_free(c, fs, &share_owner, &share, &st); break;
        case kErrorFrame:
        case kRemove: rc = ls_ctrl_remove_brlock(c, fs, 1, 2, LS_FLAVOUR_WINDOWS, &st); break;
        case kSearch: {
            const ls_ctrl_search_filter filter = {LS_CTRL_FILTER_NONE, 0};
            g_search_calls = 0;
            rc = ls_ctrl_search_win_brlocks(c, fs, &filter, 10, nullptr, search_cb);
            if (rc == 0 && g_search_calls != 1) broken("a search succeeded without one callback");
            return 0;
        }
        case kOps: break;
    }
    if (rc != 0 && st != untouched) broken("a failed call wrote its status");
    return 0;
}

// The local cluster's registry as a client reaches it: request frames over
// loopback into its store. Watches may park, so only other requests wait
// for their answers.
#include <string.h>

#include "discovery/data_kv_mapper.h"
#include "discovery/kvstore_msg.h"
#include "fuzz_net.h"
#include "kiv/rpc.h"
#include "localcluster/registry/registry_server.h"
#include "localcluster/registry/registry_store.h"

namespace {

struct Registry {
    kiv_process proc{};
    lc_regstore* store = nullptr;
    lc_regsrv* srv = nullptr;
    uint16_t port = 0;
    Registry() {
        kiv_process_init_(&proc);
        kiv_process_start(&proc, "fuzz-registry");
        store = lc_regstore_create(1024);
        srv = lc_regsrv_create(&proc, store, 100, nullptr);
        lc_regsrv_listen(srv, 0, &port);
    }
};

Registry* g_reg = nullptr;
fuzznet::Peer* g_peer = nullptr;
uint32_t g_tag = 0;

fuzzseed::Bytes request(uint32_t op, uint32_t flags, const char* key, const char* value, uint64_t gen = 0,
                        uint64_t watch_s = 0) {
    kiv_msg* m = kvstore_msg_alloc(nullptr, op, 0, watch_s, flags, key, uint32_t(strlen(key)), value,
                                   uint32_t(strlen(value)));
    if (gen) kvstore_msg_set_generation(m, gen);
    // The body after the runtime's 24-byte header.
    fuzzseed::Bytes b(m->buf + 24, m->buf + m->kept_len);
    kiv_free_msg(m);
    return b;
}

void seeds(fuzzseed::Writer& w) {
    char* key = dsc_make_svc_key("tarn/mds", "mds-1001");
    w.add(request(KV_OP_PUT, 0, key, "{\"name\":\"mds\"}"));
    w.add(request(KV_OP_PUT, KV_FLAG_CMP_VERSION, key, "v"));
    w.add(request(KV_OP_GET, 0, key, ""));
    w.add(request(KV_OP_RANGE, KV_FLAG_START_AFTER, "/discov/services/tarn/mds/0", "/discov/services/tarn/mds/{"));
    w.add(request(KV_OP_WATCH, 0, "/discov/services/tarn/mds/0", "/discov/services/tarn/mds/{", 1, 1));
    w.add(request(KV_OP_DELETE, KV_FLAG_CMP_VERSION, key, ""));
    __kiv_free(key);
}

}  // namespace

KIV_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size + 24 > LC_REG_MAX_FRAME) return 0;  // the transport refuses these before the registry
    if (g_reg == nullptr) {
        g_reg = new Registry;
        g_peer = new fuzznet::Peer(g_reg->port);
    }
    const fuzzseed::Bytes f = fuzznet::frame(KVSTORE_MSG_TYPE, ++g_tag, data, size);
    const bool watch = f.size() >= KVSTORE_OFF_OP + 4 && f[KVSTORE_OFF_OP] == KV_OP_WATCH && f[KVSTORE_OFF_OP + 1] == 0 &&
                       f[KVSTORE_OFF_OP + 2] == 0 && f[KVSTORE_OFF_OP + 3] == 0;
    g_peer->exchange(f, !watch);
    return 0;
}

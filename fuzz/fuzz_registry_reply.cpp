// The discovery client's reading of registry replies: the item walk, the
// whole-reply check, and each item turned into a service record (key and
// JSON value), as a listing or a watch answer is read.
#include <string.h>

#include <algorithm>

#include "discovery/data_kv_mapper.h"
#include "discovery/discov.h"
#include "discovery/json_conv.h"
#include "discovery/kvstore_msg.h"
#include "discovery/svc_map.h"
#include "discovery/tasks/tasks.h"
#include "fuzz_seeds.h"
#include "kiv/rpc.h"

namespace {

fuzzseed::Bytes record_message(const char* ns, const char* id, uint16_t port, uint32_t tags) {
    discov_svc svc;
    discov_svc_init(&svc);
    svc.name = __kiv_strdup("fuzz", KIV_POS, KIV_MEM_NOFAIL, "mds");
    svc.addr = __kiv_strdup("fuzz", KIV_POS, KIV_MEM_NOFAIL, "127.0.0.1");
    svc.host_id = 0xa1;
    svc.port = port;
    char* tag_texts[2] = {__kiv_strdup("fuzz", KIV_POS, KIV_MEM_NOFAIL, "fsid:1001"),
                          __kiv_strdup("fuzz", KIV_POS, KIV_MEM_NOFAIL, "fsname:tarn")};
    svc.tags = static_cast<char**>(__kiv_zmalloc("fuzz", KIV_POS, KIV_MEM_NOFAIL, sizeof tag_texts));
    for (uint32_t i = 0; i < tags; i++) svc.tags[i] = tag_texts[i];
    for (uint32_t i = tags; i < 2; i++) __kiv_free(tag_texts[i]);
    svc.tag_count = tags;
    char* key = dsc_make_svc_key(ns, id);
    char* value = dsc_make_svc_value(&svc);
    kiv_msg* m = kvstore_msg_alloc(nullptr, KV_OP_PUT, 7, 0, 0, key, uint32_t(strlen(key)), value,
                                   uint32_t(strlen(value)));
    fuzzseed::Bytes b(m->buf, m->buf + m->kept_len);
    kiv_free_msg(m);
    __kiv_free(key);
    __kiv_free(value);
    discov_svc_fini(&svc);
    return b;
}

void seeds(fuzzseed::Writer& w) {
    // A request item has a reply item's layout: one-record replies.
    fuzzseed::Bytes one = record_message("tarn/mds", "mds-1001", 4000, 2);
    w.add(one);
    w.add(record_message("tarn/mds", "m", 65535, 0));
    // Two records back to back.
    fuzzseed::Bytes two = one;
    fuzzseed::Bytes second = record_message("tarn/mds", "mds-1002", 4001, 1);
    two.insert(two.end(), second.begin() + KVSTORE_OFF_ITEMS, second.end());
    fuzzseed::put32(two, KVSTORE_OFF_PAYLOAD_LEN, uint32_t(two.size() - KVSTORE_OFF_ITEMS));
    fuzzseed::put32(two, 0, uint32_t(two.size()));
    w.add(two);
    // An empty listing.
    fuzzseed::Bytes empty(one.begin(), one.begin() + KVSTORE_OFF_ITEMS);
    fuzzseed::put32(empty, KVSTORE_OFF_PAYLOAD_LEN, 0);
    fuzzseed::put32(empty, 0, uint32_t(empty.size()));
    w.add(empty);
}

}  // namespace

KIV_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kiv_msg* m = kiv_rpc_alloc_output_msg(uint32_t(std::max<size_t>(size, 1)));
    if (size) memcpy(m->buf, data, size);
    m->kept_len = m->total_len = uint32_t(size);
    (void)kvstore_msg_get_item_count(m);
    if (kvstore_msg_check(m) == 0) {
        discov_svc_map* map = dsc_svc_map_create();
        (void)dsc_append_reply_items(m, "tarn/mds", map, true);
        dsc_svc_map_unref(map);
    }
    kiv_free_msg(m);
    // The record's JSON on its own.
    discov_svc svc;
    discov_svc_init(&svc);
    if (dsc_convert_json_str_to_svc(reinterpret_cast<const char*>(data), size, &svc) == 0) discov_svc_fini(&svc);
    return 0;
}

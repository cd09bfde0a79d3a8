#include "localcluster/records.h"

#include <stdio.h>

#include <vector>

#include "discovery/data_kv_mapper.h"
#include "discovery/discov.h"
#include "discovery/json_conv.h"
#include "kiv/base.h"

namespace {

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "%llx", (unsigned long long)v);
    return buf;
}

const char* namespace_of(lc_service s) { return s == LC_SVC_MDS ? "tarn/mds" : "tarn/ls"; }

}  // namespace

std::string lc_record_key(lc_service service, uint64_t fsid) {
    std::string name = std::string(lc_service_name(service)) + "-" + hex(fsid);
    char* key = dsc_make_svc_key(namespace_of(service), name.c_str());
    std::string out = key;
    __kiv_free(key);
    return out;
}

std::string lc_record_value(lc_service service, uint64_t host_id, const std::string& fs_name, uint64_t fsid,
                            uint16_t port) {
    std::string name = lc_service_name(service);
    std::string addr = "127.0.0.1";
    std::vector<std::string> tags = {"fsid:" + hex(fsid)};
    if (service == LC_SVC_MDS) tags.push_back("fsname:" + fs_name);
    std::vector<char*> tag_ptrs;
    for (auto& t : tags) tag_ptrs.push_back(t.data());
    discov_svc svc;
    discov_svc_init(&svc);
    svc.name = name.data();
    svc.host_id = host_id;
    svc.tags = tag_ptrs.data();
    svc.tag_count = uint32_t(tag_ptrs.size());
    svc.addr = addr.data();
    svc.port = port;
    char* json = dsc_convert_svc_to_json_str(&svc);
    std::string out = json;
    __kiv_free(json);
    return out;
}

std::string lc_put_service_records(lc_regstore* store, const lc_topology& topo,
                                   const localcluster::ClusterConfig& config) {
    for (const lc_instance& in : topo.instances) {
        if (in.service != LC_SVC_MDS && in.service != LC_SVC_LS) continue;
        const auto& fs = config.fs[size_t(in.fs)];
        std::string key = lc_record_key(in.service, fs.id);
        std::string value = lc_record_value(in.service, topo.host_ids[size_t(in.host - 1)], fs.name, fs.id, in.port);
        uint64_t gen;
        uint32_t st = lc_regstore_put(store, key, value, false, 0, &gen);
        if (st != 0) return "cannot put the record " + key + " (status " + std::to_string(st) + ")";
    }
    return "";
}

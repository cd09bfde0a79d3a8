// What the client tests against the local cluster's registry share: the
// cluster started once per suite, MDS records put into and taken out of
// the registry from the test's event loop, and the wait until the MDS
// resolver has seen a change.
#pragma once

#include <errno.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/tarn_call_engine.h"
#include "client/tarn_conn_pool.h"
#include "client/tarn_mds_resolver.h"
#include "discovery/discov.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "localcluster/cluster.h"
#include "runtime/runtime_test_util.h"

namespace clienttest {

// A cluster with the file systems of `cfg`, without lock servers and quiet;
// kept by the suite, ended by stop_cluster().
inline localcluster::Cluster* start_cluster(localcluster::ClusterConfig cfg) {
    cfg.lock_servers = false;
    cfg.log_level = 0;
    return localcluster::Cluster::start(cfg).release();
}
inline localcluster::Cluster* start_cluster(std::initializer_list<localcluster::FsConfig> fs) {
    localcluster::ClusterConfig cfg;
    for (const localcluster::FsConfig& f : fs) cfg.fs.push_back(f);
    return start_cluster(cfg);
}
inline void stop_cluster(localcluster::Cluster*& cluster) {
    delete cluster;
    cluster = nullptr;
}

// Ends an event-loop process started by the test.
inline void stop_process(kiv_process* process) {
    kiv_process_terminate(process);
    kiv_process_wait(process);
    kiv_process_fini(process);
}

// Puts an MDS record for file system `fs_id`/`fs_name` served at
// 127.0.0.1:port into the registry; the registry's result.
inline int register_mds(kiv_process* process, discov* registry, const char* id, uint64_t fs_id,
                        const char* fs_name, uint64_t host_id, uint16_t port) {
    char fsid_tag[40];
    snprintf(fsid_tag, sizeof fsid_tag, "fsid:%lx", (unsigned long)fs_id);
    std::string name_tag = std::string("fsname:") + fs_name;
    char* tags[2] = {fsid_tag, name_tag.data()};
    discov_svc svc;
    discov_svc_init(&svc);
    svc.name = const_cast<char*>("mds");
    svc.id = const_cast<char*>(id);
    svc.host_id = host_id;
    svc.tags = tags;
    svc.tag_count = 2;
    svc.addr = const_cast<char*>("127.0.0.1");
    svc.port = port;
    kiv_move_to_coroutine(process);
    int rc = discov_co_register_svc(registry, &svc);
    kiv_move_from_coroutine();
    return rc;
}

inline int unregister_svc(kiv_process* process, discov* registry, const char* id) {
    kiv_move_to_coroutine(process);
    int rc = discov_co_unregister_svc(registry, id, nullptr);
    kiv_move_from_coroutine();
    return rc;
}

// Polls until the resolver names `port` for `fs_id` (0: until it knows
// nothing of it); the resolver's watch brings every change, so the limit is
// the hang guard.
inline bool wait_for_mds_port(mds_resolver* resolver, uint64_t fs_id, uint16_t port) {
    return rttest::wait_until([&] {
        tarn_host_addr addr{};
        int rc = mds_resolver_find_mds(resolver, fs_id, &addr);
        return port == 0 ? rc == -ENOENT : (rc == 0 && addr.port == port);
    });
}

// `count` lanes of calls (processes of their own, each with a factory and a
// pool of one slot per host), as a client makes them; none for count 0.
class Lanes {
   public:
    explicit Lanes(uint32_t count, uint64_t client_id) : procs_(count), factories_(count), pools_(count) {
        for (uint32_t i = 0; i < count; i++) {
            char name[16];
            snprintf(name, sizeof name, "lane-%u", i % 10);
            if (kiv_process_init_(&procs_[i]) != 0 || kiv_process_start(&procs_[i], name) != 0 ||
                tarn_conn_factory_create(client_id, &procs_[i], &factories_[i]) != 0 ||
                tarn_conn_pool_create(1, factories_[i], tarn_conn_create, &pools_[i]) != 0)
                kiv_fatal("cannot make lane %u", i);
            lanes_.push_back(tarn_call_lane{&procs_[i], pools_[i]});
        }
    }
    ~Lanes() {
        for (size_t i = 0; i < lanes_.size(); i++) {
            tarn_conn_pool_destroy(pools_[i]);
            tarn_conn_factory_destroy(factories_[i]);
            stop_process(&procs_[i]);
        }
    }
    Lanes(const Lanes&) = delete;
    Lanes& operator=(const Lanes&) = delete;

    const tarn_call_lane* get() const { return lanes_.empty() ? nullptr : lanes_.data(); }
    uint32_t count() const { return uint32_t(lanes_.size()); }
    tarn_conn_pool* pool(size_t i) const { return pools_[i]; }

   private:
    std::vector<kiv_process> procs_;
    std::vector<tarn_conn_factory*> factories_;
    std::vector<tarn_conn_pool*> pools_;
    std::vector<tarn_call_lane> lanes_;
};

}  // namespace clienttest

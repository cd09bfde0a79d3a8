#include "localcluster/topology.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

const char* lc_service_name(lc_service s) {
    switch (s) {
        case LC_SVC_REGISTRY: return "registry";
        case LC_SVC_MDS: return "mds";
        case LC_SVC_DS: return "ds";
        case LC_SVC_LS: return "ls";
    }
    return "?";
}

const char* lc_inst_state_name(lc_inst_state s) {
    switch (s) {
        case LC_INST_RESERVED: return "reserved";
        case LC_INST_UP: return "up";
        case LC_INST_DOWN: return "down";
    }
    return "?";
}

lc_topology lc_topology_build(const localcluster::ClusterConfig& config) {
    lc_topology t;
    t.host_ids = config.host_ids;
    int nfs = int(config.fs.size());
    t.instances.push_back(lc_instance{LC_SVC_REGISTRY, 0, -1});
    for (int h = 1; h <= config.hosts; h++) {
        if (h == 1)
            for (int f = 0; f < nfs; f++) t.instances.push_back(lc_instance{LC_SVC_MDS, h, f});
        for (int f = 0; f < nfs; f++) t.instances.push_back(lc_instance{LC_SVC_DS, h, f});
        if (h == 1 && config.lock_servers)
            for (int f = 0; f < nfs; f++) t.instances.push_back(lc_instance{LC_SVC_LS, h, f});
    }
    return t;
}

int lc_topology_find(const lc_topology& t, lc_service service, int host, int fs) {
    for (size_t i = 0; i < t.instances.size(); i++) {
        const lc_instance& in = t.instances[i];
        if (in.service == service && in.host == host && in.fs == fs) return int(i);
    }
    return -1;
}

int lc_port_hold(uint16_t port, uint16_t* bound) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) < 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    *bound = ntohs(sa.sin_port);
    return fd;
}

std::string lc_topology_reserve_ports(lc_topology* t, uint16_t base, uint16_t registry_port) {
    if (base && size_t(base) + t->instances.size() - 1 > 65535)
        return "--base-port " + std::to_string(base) + " leaves no room for " +
               std::to_string(t->instances.size()) + " ports";
    for (size_t i = 0; i < t->instances.size(); i++) {
        lc_instance& in = t->instances[i];
        if (in.service == LC_SVC_REGISTRY) {
            in.port = registry_port;
            in.state = LC_INST_UP;
            continue;
        }
        uint16_t want = base ? uint16_t(base + i) : 0;
        uint16_t got = 0;
        int fd = lc_port_hold(want, &got);
        if (fd < 0) {
            lc_topology_release_all(t);
            return "cannot take port " + std::to_string(want) + " for the " + lc_service_name(in.service) +
                   " of host " + std::to_string(in.host) + ": " + strerror(-fd);
        }
        in.reserve_fd = fd;
        in.port = got;
        in.state = LC_INST_RESERVED;
    }
    return "";
}

void lc_topology_release_port(lc_instance* inst) {
    if (inst->reserve_fd >= 0) close(inst->reserve_fd);
    inst->reserve_fd = -1;
}

void lc_topology_release_all(lc_topology* t) {
    for (auto& in : t->instances) lc_topology_release_port(&in);
}

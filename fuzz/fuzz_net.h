// Loopback sockets for the fuzz targets that feed a server (or a client)
// through its real frame reader.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "fuzz_seeds.h"

namespace fuzznet {

inline int connect_to(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Reads exactly n bytes within `ms`. False on close, error or time-out.
inline bool read_full(int fd, uint8_t* p, size_t n, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd pf{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&pf, 1, int(left.count())) != 1) return false;
        ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// Reads frames until the one whose xid starts with `tag` (replies to earlier
// requests may come first). False when the connection went or time ran out.
inline bool await_reply(int fd, uint32_t tag, int ms) {
    for (;;) {
        uint8_t h[24];
        if (!read_full(fd, h, sizeof h, ms)) return false;
        uint32_t len = uint32_t(h[0]) | uint32_t(h[1]) << 8 | uint32_t(h[2]) << 16 | uint32_t(h[3]) << 24;
        if (len < 24 || len > (64u << 20)) return false;
        fuzzseed::Bytes rest(len - 24);
        if (!rest.empty() && !read_full(fd, rest.data(), rest.size(), ms)) return false;
        uint32_t got = uint32_t(h[8]) | uint32_t(h[9]) << 8 | uint32_t(h[10]) << 16 | uint32_t(h[11]) << 24;
        if (got == tag) return true;
    }
}

// A request frame: header {length, type, xid = tag} then `body`.
inline fuzzseed::Bytes frame(uint32_t type, uint32_t tag, const uint8_t* body, size_t n) {
    fuzzseed::Bytes f(24, 0);
    fuzzseed::put32(f, 0, uint32_t(24 + n));
    fuzzseed::put32(f, 4, type);
    fuzzseed::put32(f, 8, tag);
    f.insert(f.end(), body, body + n);
    return f;
}

// A connection to a server, made again whenever the server closed it.
class Peer {
public:
    explicit Peer(uint16_t port) : port_(port) {}
    ~Peer() { drop(); }
    // Sends `f`; with a wait, reads until its reply (the tag at 8). A
    // connection that went is made again for the next frame.
    void exchange(const fuzzseed::Bytes& f, bool wait, int ms = 1000) {
        if (fd_ < 0) fd_ = connect_to(port_);
        if (fd_ < 0) return;
        const uint32_t tag = uint32_t(f[8]) | uint32_t(f[9]) << 8 | uint32_t(f[10]) << 16 | uint32_t(f[11]) << 24;
        if (!write_all(fd_, f.data(), f.size()) || (wait && !await_reply(fd_, tag, ms))) drop();
    }
    void drop() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    uint16_t port_;
    int fd_ = -1;
};

}  // namespace fuzznet

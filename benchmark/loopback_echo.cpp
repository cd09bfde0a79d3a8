// The loopback ceiling of a 4 KiB data-server read: a plain request/reply
// echo over TCP on 127.0.0.1. Client threads each hold one blocking
// connection and make one round trip at a time (a request of 512 bytes, a
// reply of 4208 bytes); a multi-threaded epoll server answers. Prints the
// round trips per second over the run.
//
//   kelvane-loopback-echo [-t CLIENT_THREADS] [-w SERVER_THREADS] [-d SECONDS]
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t k_request = 512;
constexpr size_t k_reply = 4208;

[[noreturn]] void die(const char* what) {
    fprintf(stderr, "kelvane-loopback-echo: %s: %s\n", what, strerror(errno));
    exit(1);
}

// One connection of the server: the bytes of a partly received request and
// what is left to send of the replies owed.
struct Conn {
    int fd = -1;
    size_t have = 0;
    std::string out;
    size_t sent = 0;
    bool want_write = false;
};

// Each server thread owns an epoll instance and the connections given to it.
class ServerLoop {
public:
    ServerLoop() : ep_(epoll_create1(EPOLL_CLOEXEC)) {
        if (ep_ < 0) die("epoll_create1");
        int p[2];
        if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) die("pipe2");
        wake_r_ = p[0];
        wake_w_ = p[1];
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, wake_r_, &ev) != 0) die("epoll_ctl");
        thread_ = std::thread([this] { run(); });
    }
    ~ServerLoop() {
        stop_ = true;
        if (write(wake_w_, "x", 1) < 0) {
        }
        thread_.join();
        for (Conn* c : conns_) {
            close(c->fd);
            delete c;
        }
        close(wake_r_);
        close(wake_w_);
        close(ep_);
    }

    void adopt(int fd) {
        auto* c = new Conn;
        c->fd = fd;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = c;
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0) die("epoll_ctl");
        std::lock_guard<std::mutex> g(mu_);
        conns_.push_back(c);
    }

private:
    void run() {
        std::vector<char> in(64 * 1024);
        const std::string reply(k_reply, 'r');
        epoll_event events[64];
        while (!stop_) {
            const int n = epoll_wait(ep_, events, 64, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                die("epoll_wait");
            }
            for (int i = 0; i < n; ++i) {
                auto* c = static_cast<Conn*>(events[i].data.ptr);
                if (!c) continue;  // the wake-up pipe
                if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                    const ssize_t got = read(c->fd, in.data(), in.size());
                    if (got <= 0) {
                        if (got < 0 && errno == EAGAIN) continue;
                        epoll_ctl(ep_, EPOLL_CTL_DEL, c->fd, nullptr);
                        continue;
                    }
                    c->have += static_cast<size_t>(got);
                    while (c->have >= k_request) {
                        c->have -= k_request;
                        c->out += reply;
                    }
                }
                flush(c);
            }
        }
    }

    void flush(Conn* c) {
        while (c->sent < c->out.size()) {
            const ssize_t w = write(c->fd, c->out.data() + c->sent, c->out.size() - c->sent);
            if (w < 0) {
                if (errno != EAGAIN) return;
                break;
            }
            c->sent += static_cast<size_t>(w);
        }
        if (c->sent == c->out.size()) {
            c->out.clear();
            c->sent = 0;
        }
        const bool want = !c->out.empty();
        if (want != c->want_write) {
            epoll_event ev{};
            ev.events = want ? uint32_t(EPOLLIN | EPOLLOUT) : uint32_t(EPOLLIN);
            ev.data.ptr = c;
            epoll_ctl(ep_, EPOLL_CTL_MOD, c->fd, &ev);
            c->want_write = want;
        }
    }

    int ep_;
    int wake_r_ = -1, wake_w_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<Conn*> conns_;
    std::thread thread_;
};

bool read_full(int fd, char* p, size_t n) {
    while (n > 0) {
        const ssize_t r = read(fd, p, n);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) continue;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_full(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int parse_positive(const char* text, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v <= 0 || v > 100000) {
        fprintf(stderr, "kelvane-loopback-echo: invalid %s: %s\n", what, text);
        exit(2);
    }
    return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
    int clients = 100;
    int servers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int seconds = 5;
    int opt;
    while ((opt = getopt(argc, argv, "t:w:d:")) != -1) {
        switch (opt) {
        case 't':
            clients = parse_positive(optarg, "client thread count");
            break;
        case 'w':
            servers = parse_positive(optarg, "server thread count");
            break;
        case 'd':
            seconds = parse_positive(optarg, "duration");
            break;
        default:
            fprintf(stderr, "usage: kelvane-loopback-echo [-t CLIENT_THREADS] [-w SERVER_THREADS] [-d SECONDS]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);

    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lfd < 0) die("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) die("bind");
    if (listen(lfd, 1024) != 0) die("listen");
    if (getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) die("getsockname");

    std::vector<std::unique_ptr<ServerLoop>> loops;
    for (int i = 0; i < servers; ++i) loops.push_back(std::make_unique<ServerLoop>());

    // Connect every client first and hand the accepted ends round-robin to
    // the server threads, so that set-up stays out of the timed span.
    std::vector<int> cfds;
    for (int i = 0; i < clients; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) die("socket");
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) die("connect");
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        const int sfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (sfd < 0) die("accept4");
        setsockopt(sfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        loops[static_cast<size_t>(i % servers)]->adopt(sfd);
        cfds.push_back(fd);
    }

    std::atomic<bool> go{false};
    std::atomic<bool> failed{false};
    std::vector<uint64_t> counts(static_cast<size_t>(clients), 0);
    std::vector<std::thread> threads;
    const auto deadline_of = [&] { return std::chrono::steady_clock::now() + std::chrono::seconds(seconds); };
    std::chrono::steady_clock::time_point deadline;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            const std::string request(k_request, 'q');
            std::vector<char> reply(k_reply);
            while (!go.load()) std::this_thread::yield();
            uint64_t n = 0;
            while (std::chrono::steady_clock::now() < deadline) {
                if (!write_full(cfds[static_cast<size_t>(i)], request.data(), request.size()) ||
                    !read_full(cfds[static_cast<size_t>(i)], reply.data(), reply.size())) {
                    failed = true;
                    break;
                }
                ++n;
            }
            counts[static_cast<size_t>(i)] = n;
        });
    }
    const auto start = std::chrono::steady_clock::now();
    deadline = deadline_of();
    go = true;
    for (std::thread& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int fd : cfds) close(fd);
    loops.clear();
    close(lfd);
    if (failed) {
        fprintf(stderr, "kelvane-loopback-echo: a connection failed\n");
        return 1;
    }

    uint64_t total = 0;
    for (uint64_t n : counts) total += n;
    printf("Echo round trips: %llu\n", static_cast<unsigned long long>(total));
    printf("Echo round trips/s: %.1f\n", static_cast<double>(total) / elapsed);
    printf("Echo setup: %d client threads, %d server threads, %zu-byte requests, %zu-byte replies, %d s\n", clients,
           servers, k_request, k_reply, seconds);
    return 0;
}

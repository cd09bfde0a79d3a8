#include "benchmark/echo_pair.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace kvbench {

namespace {

[[noreturn]] void die(const char* what) {
    fprintf(stderr, "echo: %s: %s\n", what, strerror(errno));
    exit(1);
}

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

// One connection of the server: the bytes of a partly received request and
// what is left to send of the replies owed.
struct Conn {
    int fd = -1;
    size_t have = 0;
    std::string out;
    size_t sent = 0;
    bool want_write = false;
};

}  // namespace

// Each server thread owns an epoll instance and the connections given to it.
class EchoServer::Loop {
public:
    explicit Loop(EchoShape shape) : shape_(shape), ep_(epoll_create1(EPOLL_CLOEXEC)) {
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
        pthread_setname_np(thread_.native_handle(), "echo-server");
    }
    ~Loop() {
        stop_ = true;
        if (write(wake_w_, "x", 1) < 0) {
        }
        thread_.join();
        for (Conn* c : conns_) {
            if (c->fd >= 0) close(c->fd);
            delete c;
        }
        close(wake_r_);
        close(wake_w_);
        close(ep_);
    }

    void adopt(int fd) {
        auto* c = new Conn;
        c->fd = fd;
        {
            std::lock_guard<std::mutex> g(mu_);
            conns_.push_back(c);
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = c;
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0) die("epoll_ctl");
    }

private:
    void run() {
        std::vector<char> in(64 * 1024);
        const std::string reply(shape_.reply, 'r');
        epoll_event events[64];
        while (!stop_) {
            const int n = epoll_wait(ep_, events, 64, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                die("epoll_wait");
            }
            for (int i = 0; i < n; ++i) {
                auto* c = static_cast<Conn*>(events[i].data.ptr);
                if (!c || c->fd < 0) continue;  // the wake-up pipe, or closed in this batch
                if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                    const ssize_t got = read(c->fd, in.data(), in.size());
                    if (got <= 0) {
                        if (got < 0 && errno == EAGAIN) continue;
                        // The client is gone: give the descriptor back now,
                        // as rounds keep connecting new clients.
                        epoll_ctl(ep_, EPOLL_CTL_DEL, c->fd, nullptr);
                        close(c->fd);
                        c->fd = -1;
                        continue;
                    }
                    c->have += static_cast<size_t>(got);
                    while (c->have >= shape_.request) {
                        c->have -= shape_.request;
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

    const EchoShape shape_;
    int ep_;
    int wake_r_ = -1, wake_w_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<Conn*> conns_;
    std::thread thread_;
};

EchoServer::EchoServer(int threads, EchoShape shape) : shape_(shape) {
    signal(SIGPIPE, SIG_IGN);
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) die("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) die("bind");
    if (listen(listen_fd_, 1024) != 0) die("listen");
    if (getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) die("getsockname");
    port_ = ntohs(addr.sin_port);
    for (int i = 0; i < std::max(1, threads); ++i) loops_.push_back(std::make_unique<Loop>(shape));
}

EchoServer::~EchoServer() {
    loops_.clear();
    close(listen_fd_);
}

int EchoServer::connect_client() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port_);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) die("connect");
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    const int sfd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (sfd < 0) die("accept4");
    setsockopt(sfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    loops_[next_++ % loops_.size()]->adopt(sfd);
    return fd;
}

RunResult run_callers(int callers, double seconds, const std::function<CallFn(int index)>& make_caller) {
    std::vector<CallFn> calls;
    for (int i = 0; i < callers; ++i) calls.push_back(make_caller(i));
    std::atomic<bool> go{false};
    std::atomic<bool> failed{false};
    std::vector<uint64_t> counts(static_cast<size_t>(callers), 0);
    std::vector<rusage> usage(static_cast<size_t>(callers));
    std::chrono::steady_clock::time_point deadline;
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i) {
        threads.emplace_back([&, i] {
            CallFn& call = calls[static_cast<size_t>(i)];
            while (!go.load()) std::this_thread::yield();
            rusage& u = usage[static_cast<size_t>(i)];
            rusage start{};
            getrusage(RUSAGE_THREAD, &start);
            uint64_t n = 0;
            while (std::chrono::steady_clock::now() < deadline) {
                if (!call()) {
                    failed = true;
                    break;
                }
                ++n;
            }
            counts[static_cast<size_t>(i)] = n;
            getrusage(RUSAGE_THREAD, &u);
            u.ru_utime.tv_sec -= start.ru_utime.tv_sec;
            u.ru_utime.tv_usec -= start.ru_utime.tv_usec;
            u.ru_stime.tv_sec -= start.ru_stime.tv_sec;
            u.ru_stime.tv_usec -= start.ru_stime.tv_usec;
            u.ru_nvcsw -= start.ru_nvcsw;
            u.ru_nivcsw -= start.ru_nivcsw;
        });
        pthread_setname_np(threads.back().native_handle(), "caller");
    }
    const auto start = std::chrono::steady_clock::now();
    deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(seconds));
    go = true;
    for (std::thread& t : threads) t.join();
    RunResult r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (uint64_t n : counts) r.calls += n;
    for (const rusage& u : usage) {
        const auto us = [](const timeval& t) { return int64_t(t.tv_sec) * 1000000 + t.tv_usec; };
        r.caller_cpu_ns += uint64_t(std::max<int64_t>(0, us(u.ru_utime) + us(u.ru_stime))) * 1000;
        r.caller_vcsw += uint64_t(u.ru_nvcsw);
        r.caller_nvcsw += uint64_t(u.ru_nivcsw);
    }
    r.failed = failed.load();
    return r;
}

RunResult run_echo(EchoServer& server, int callers, double seconds) {
    std::vector<int> fds;
    const EchoShape shape = server.shape();
    RunResult r = run_callers(callers, seconds, [&](int) -> CallFn {
        const int fd = server.connect_client();
        fds.push_back(fd);
        return [fd, shape, request = std::string(shape.request, 'q'), reply = std::vector<char>(shape.reply)]() mutable {
            return write_full(fd, request.data(), request.size()) && read_full(fd, reply.data(), reply.size());
        };
    });
    for (int fd : fds) close(fd);
    return r;
}

}  // namespace kvbench

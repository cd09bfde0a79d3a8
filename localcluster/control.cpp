#include "localcluster/control.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <list>
#include <mutex>
#include <thread>

namespace {

constexpr size_t kMaxCommand = 4096;
// Answers can be long (a lock server's tables): only a runaway one is cut.
constexpr size_t kMaxAnswer = size_t(256) << 20;

uint64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

bool make_addr(const std::string& path, sockaddr_un* sa) {
    if (path.size() >= sizeof(sa->sun_path)) return false;
    memset(sa, 0, sizeof *sa);
    sa->sun_family = AF_UNIX;
    memcpy(sa->sun_path, path.data(), path.size());
    return true;
}

// Waits until `fd` is ready for `events` or the deadline passes; a byte on
// `wake` (when not -1) ends the wait too. 0 when ready, else -errno.
int wait_ready(int fd, short events, uint64_t deadline, int wake) {
    for (;;) {
        uint64_t now = now_ms();
        if (now >= deadline) return -ETIMEDOUT;
        pollfd p[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        int n = poll(p, wake >= 0 ? 2 : 1, int(deadline - now));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) return -ETIMEDOUT;
        if (wake >= 0 && (p[1].revents & POLLIN)) return -ECANCELED;
        return 0;
    }
}

// Reads up to a newline within the deadline. 0, or -errno.
int read_line(int fd, std::string* line, uint64_t deadline, size_t max, int wake = -1) {
    line->clear();
    for (;;) {
        int rc = wait_ready(fd, POLLIN, deadline, wake);
        if (rc < 0) return rc;
        char buf[4096];
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r < 0) return -errno;
        if (r == 0) return line->empty() ? -ECONNRESET : 0;
        for (ssize_t i = 0; i < r; i++) {
            if (buf[i] == '\n') return 0;
            line->push_back(buf[i]);
        }
        if (line->size() > max) return -EMSGSIZE;
    }
}

// Writes all of `s` within the deadline. 0, or -errno.
int write_all(int fd, const std::string& s, uint64_t deadline, int wake = -1) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int rc = wait_ready(fd, POLLOUT, deadline, wake);
            if (rc < 0) return rc;
            continue;
        }
        if (w < 0) return -errno;
        off += size_t(w);
    }
    return 0;
}

// A client has this long to send its command, and then to take the answer
// (a large dump included); one that does neither holds nobody else up.
constexpr uint64_t kReadMs = 2000;
constexpr uint64_t kWriteMs = 10000;
// Clients served at once; more wait in the listen queue.
constexpr size_t kMaxClients = 64;

}  // namespace

struct lc_ctl_server {
    std::string path;
    lc_ctl_handler handler;
    int listen_fd = -1;
    int wake[2] = {-1, -1};
    std::thread thread;
    // Each client is served on a thread of its own.
    struct Client {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::mutex mu;
    std::list<Client> clients;

    void serve_client(int fd, Client* self) {
        std::string line;
        if (read_line(fd, &line, now_ms() + kReadMs, kMaxCommand, wake[0]) == 0) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            write_all(fd, handler(line) + "\n", now_ms() + kWriteMs, wake[0]);
        }
        close(fd);
        self->done = true;
    }

    // Joins the clients that are done; with `all`, every client.
    size_t reap(bool all) {
        std::lock_guard<std::mutex> g(mu);
        for (auto it = clients.begin(); it != clients.end();) {
            if (all || it->done) {
                it->thread.join();
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
        return clients.size();
    }

    void serve() {
        for (;;) {
            const bool room = reap(false) < kMaxClients;
            pollfd p[2] = {{listen_fd, short(room ? POLLIN : 0), 0}, {wake[0], POLLIN, 0}};
            // Without room, look again shortly for clients that are done.
            int n = poll(p, 2, room ? -1 : 50);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || (p[1].revents & POLLIN)) break;
            if (!(p[0].revents & POLLIN)) continue;
            int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> g(mu);
            Client& c = clients.emplace_back();
            c.thread = std::thread([this, fd, &c] { serve_client(fd, &c); });
        }
        // Stopping: the wake byte stays in the pipe, so every client's wait
        // ends at once.
        reap(true);
    }
};

size_t lc_ctl_max_path() { return sizeof(sockaddr_un::sun_path) - 1; }

lc_ctl_server* lc_ctl_server_start(const std::string& path, lc_ctl_handler handler, std::string* err) {
    sockaddr_un sa;
    if (!make_addr(path, &sa)) {
        *err = "control socket path too long: " + path;
        return nullptr;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = std::string("control socket: ") + strerror(errno);
        return nullptr;
    }
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || chmod(path.c_str(), 0600) < 0 ||
        listen(fd, 64) < 0) {
        *err = "control socket " + path + ": " + strerror(errno);
        close(fd);
        unlink(path.c_str());
        return nullptr;
    }
    auto* s = new lc_ctl_server;
    s->path = path;
    s->handler = std::move(handler);
    s->listen_fd = fd;
    if (pipe2(s->wake, O_CLOEXEC) < 0) {
        *err = std::string("control socket: ") + strerror(errno);
        close(fd);
        unlink(path.c_str());
        delete s;
        return nullptr;
    }
    s->thread = std::thread([s] { s->serve(); });
    return s;
}

void lc_ctl_server_stop(lc_ctl_server* s) {
    if (!s) return;
    char c = 1;
    ssize_t w = write(s->wake[1], &c, 1);
    (void)w;  // the pipe is empty, so this cannot fail
    s->thread.join();
    close(s->listen_fd);
    close(s->wake[0]);
    close(s->wake[1]);
    unlink(s->path.c_str());
    delete s;
}

int lc_ctl_request(const std::string& path, const std::string& command, std::string* reply, int timeout_ms) {
    sockaddr_un sa;
    if (!make_addr(path, &sa)) return -ENAMETOOLONG;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    uint64_t deadline = now_ms() + uint64_t(timeout_ms);
    int rc = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0)
        rc = -errno;
    else if ((rc = write_all(fd, command + "\n", deadline)) == 0)
        rc = read_line(fd, reply, deadline, kMaxAnswer);
    close(fd);
    return rc;
}

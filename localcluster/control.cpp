#include "localcluster/control.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
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

// Reads up to a newline within the deadline. 0, or -errno.
int read_line(int fd, std::string* line, uint64_t deadline, size_t max) {
    line->clear();
    for (;;) {
        uint64_t now = now_ms();
        if (now >= deadline) return -ETIMEDOUT;
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, int(deadline - now));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) return -ETIMEDOUT;
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

int write_all(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return -errno;
        off += size_t(w);
    }
    return 0;
}

}  // namespace

struct lc_ctl_server {
    std::string path;
    lc_ctl_handler handler;
    int listen_fd = -1;
    int wake[2] = {-1, -1};
    std::thread thread;

    void serve() {
        for (;;) {
            pollfd p[2] = {{listen_fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            int n = poll(p, 2, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || (p[1].revents & POLLIN)) return;
            if (!(p[0].revents & POLLIN)) continue;
            int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::string line;
            // One slow client must not hold the others off for long.
            if (read_line(fd, &line, now_ms() + 2000, kMaxCommand) == 0) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                write_all(fd, handler(line) + "\n");
            }
            close(fd);
        }
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
    else if ((rc = write_all(fd, command + "\n")) == 0)
        rc = read_line(fd, reply, deadline, kMaxAnswer);
    close(fd);
    return rc;
}

#include "localcluster/supervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "localcluster/log.h"

extern char** environ;

namespace {

uint64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

bool parse_hex16(std::string_view s, uint64_t* out) {
    if (s.size() != 16) return false;
    uint64_t v = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) return false;
        v = v << 4 | uint64_t(d);
    }
    *out = v;
    return true;
}

// Runs reboot requests one after another, away from the echo.
class RebootWorker {
   public:
    explicit RebootWorker(std::function<void(uint64_t)> fn) : fn_(std::move(fn)), thread_([this] { run(); }) {}
    ~RebootWorker() {
        {
            std::lock_guard<std::mutex> g(mu_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    void post(uint64_t id) {
        {
            std::lock_guard<std::mutex> g(mu_);
            queue_.push_back(id);
        }
        cv_.notify_one();
    }

   private:
    void run() {
        std::unique_lock<std::mutex> lk(mu_);
        for (;;) {
            cv_.wait(lk, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            uint64_t id = queue_.front();
            queue_.pop_front();
            lk.unlock();
            if (fn_) fn_(id);
            lk.lock();
        }
    }
    std::function<void(uint64_t)> fn_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<uint64_t> queue_;
    bool stop_ = false;
    std::thread thread_;
};

// Copies the child's output to out_fd as it comes and hands every line to
// the splitter. Once told that the child has ended it takes what is left in
// the pipe and stops (a grandchild may keep the pipe open for ever).
void echo(int in_fd, int wake_fd, int out_fd, lc_line_splitter* lines, lc_logger* log) {
    char buf[65536];
    bool out_ok = true;
    bool draining = false;
    for (;;) {
        if (!draining) {
            pollfd p[2] = {{in_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
            int n = poll(p, 2, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return;
            if (p[1].revents & POLLIN) {
                draining = true;
                fcntl(in_fd, F_SETFL, fcntl(in_fd, F_GETFL) | O_NONBLOCK);
            } else if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
        }
        ssize_t r = read(in_fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;  // EOF, or nothing left once draining
        for (ssize_t off = 0; out_ok && off < r;) {
            ssize_t w = write(out_fd, buf + off, size_t(r - off));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                // Keep reading so that the child never blocks on a full pipe.
                lc_log(log, LC_LOG_WARN, "cannot echo the program's output: %s", strerror(errno));
                out_ok = false;
                break;
            }
            off += w;
        }
        lines->feed(buf, size_t(r));
    }
}

}  // namespace

void lc_line_splitter::feed(const char* data, size_t len) {
    for (size_t i = 0; i < len; i++) {
        char c = data[i];
        if (c == '\n') {
            fn_(line_, cut_);
            line_.clear();
            cut_ = false;
        } else if (line_.size() < kKeep) {
            line_.push_back(c);
        } else {
            cut_ = true;
        }
    }
}

bool lc_match_reboot_line(std::string_view line, uint64_t* host_id) {
    static constexpr std::string_view head = "###[reboot hard=1 host_id=";
    static constexpr std::string_view mid = "] Hard reboot host ";
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() != head.size() + 16 + mid.size() + 16) return false;
    if (line.substr(0, head.size()) != head || line.substr(head.size() + 16, mid.size()) != mid) return false;
    uint64_t a, b;
    if (!parse_hex16(line.substr(head.size(), 16), &a) || !parse_hex16(line.substr(line.size() - 16), &b)) return false;
    if (a != b) return false;
    *host_id = a;
    return true;
}

void lc_block_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int lc_supervisor_run(const lc_supervisor_config& cfg, bool* aborted, std::string* err) {
    *aborted = false;
    if (cfg.argv.empty()) {
        *err = "no program to run";
        return -1;
    }
    int out[2], wake[2];
    if (pipe2(out, O_CLOEXEC) < 0) {
        *err = std::string("pipe: ") + strerror(errno);
        return -1;
    }
    if (pipe2(wake, O_CLOEXEC) < 0) {
        *err = std::string("pipe: ") + strerror(errno);
        close(out[0]);
        close(out[1]);
        return -1;
    }

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGCHLD, SIGPIPE}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const auto& a : cfg.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    int rc = posix_spawnp(&child, argv[0], &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(out[1]);
    if (rc != 0) {
        *err = "cannot run " + cfg.argv[0] + ": " + strerror(rc);
        close(out[0]);
        close(wake[0]);
        close(wake[1]);
        return -1;
    }
    lc_log(cfg.log, LC_LOG_INFO, "started %s (pid %d)", cfg.argv[0].c_str(), int(child));

    int status = 0;
    {
        RebootWorker reboots(cfg.on_reboot);
        lc_line_splitter lines([&](std::string_view line, bool cut) {
            uint64_t id;
            if (cut || !lc_match_reboot_line(line, &id)) return;
            lc_log(cfg.log, LC_LOG_INFO, "%s asks for a hard reboot of host %016llx", cfg.argv[0].c_str(),
                   (unsigned long long)id);
            reboots.post(id);
        });
        std::thread reader(echo, out[0], wake[0], cfg.out_fd, &lines, cfg.log);

        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGCHLD);
        bool forwarded = false;
        uint64_t kill_at = 0;
        for (;;) {
            pid_t r = waitpid(child, &status, WNOHANG);
            if (r == child) break;
            uint64_t now = now_ms();
            if (kill_at && now >= kill_at) {
                lc_log(cfg.log, LC_LOG_WARN, "%s still running %u ms after the signal: killing it",
                       cfg.argv[0].c_str(), cfg.grace_ms);
                kill(child, SIGKILL);
                kill_at = 0;
            }
            uint64_t wait_ms = kill_at ? kill_at - now : 1000;
            if (wait_ms > 1000) wait_ms = 1000;  // also re-checks the child now and then
            struct timespec ts = {time_t(wait_ms / 1000), long(wait_ms % 1000) * 1000000};
            int sig = sigtimedwait(&set, nullptr, &ts);
            if (sig == SIGINT || sig == SIGTERM) {
                if (forwarded) {
                    lc_log(cfg.log, LC_LOG_WARN, "second signal: killing %s and leaving", cfg.argv[0].c_str());
                    kill(child, SIGKILL);
                    waitpid(child, &status, 0);
                    *aborted = true;
                    break;
                }
                lc_log(cfg.log, LC_LOG_INFO, "forwarding signal %d to %s", sig, cfg.argv[0].c_str());
                kill(child, sig);
                forwarded = true;
                kill_at = now_ms() + cfg.grace_ms;
            }
        }
        char c = 1;
        ssize_t w = write(wake[1], &c, 1);
        (void)w;  // an empty pipe always takes one byte
        reader.join();
    }
    close(out[0]);
    close(wake[0]);
    close(wake[1]);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
    lc_log(cfg.log, LC_LOG_INFO, "%s ended with status %d", cfg.argv[0].c_str(), code);
    return code;
}

// kelvane-localcluster: the command-line front end of the simulated cluster.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kiv/base.h"
#include "localcluster/cluster.h"
#include "localcluster/control.h"
#include "localcluster/host_id_file.h"
#include "localcluster/log.h"
#include "localcluster/options.h"
#include "localcluster/supervisor.h"

namespace {

void print_err(const std::string& text) {
    std::string line = "kelvane-localcluster: " + text + "\n";
    ssize_t w = write(2, line.data(), line.size());
    (void)w;
}

void print_line(int fd, const std::string& text) {
    std::string line = text + "\n";
    size_t off = 0;
    while (off < line.size()) {
        ssize_t w = write(fd, line.data() + off, line.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return;
        off += size_t(w);
    }
}

// The runtime's own lines go to the cluster log.
void runtime_log_hook(int level, const char* line, void* arg) {
    int lc_level = level <= 1 ? LC_LOG_ERROR : level == 2 ? LC_LOG_WARN : level == 3 ? LC_LOG_INFO : LC_LOG_DEBUG;
    lc_log(static_cast<lc_logger*>(arg), lc_level, "runtime: %s", line);
}

// After the first signal a second one ends the process at once.
void exit_on_second_signal() {
    std::thread([] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        int sig = 0;
        sigwait(&set, &sig);
        print_err("second signal: leaving at once");
        _exit(1);
    }).detach();
}

std::unique_ptr<localcluster::Cluster> start_cluster(const lc_options& o) {
    try {
        return localcluster::Cluster::start(o.config);
    } catch (const std::exception& e) {
        print_err(e.what());
        return nullptr;
    }
}

// The front end's own log, beside the cluster's, once the directory exists.
struct FrontLog {
    lc_logger* log = nullptr;
    explicit FrontLog(const localcluster::ClusterConfig& c) {
        std::string err;
        log = lc_logger_create(c.log_level, c.log_file, &err);
        if (log) kiv_log_set_hook(runtime_log_hook, log);
    }
    ~FrontLog() {
        if (log) kiv_log_set_hook(nullptr, nullptr);
        lc_logger_destroy(log);
    }
};

int serve(const lc_options& o) {
    auto cluster = start_cluster(o);
    if (!cluster) return 2;
    FrontLog front(cluster->config());
    lc_logger* log = front.log;
    cluster->set_shutdown_handler([] { kill(getpid(), SIGTERM); });
    print_line(1, cluster->ready_line());
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int sig = 0;
    sigwait(&set, &sig);
    lc_log(log, LC_LOG_INFO, "signal %d: shutting down", sig);
    exit_on_second_signal();
    cluster.reset();
    return 0;
}

int run(const lc_options& o) {
    auto cluster = start_cluster(o);
    if (!cluster) return 2;
    FrontLog front(cluster->config());
    lc_logger* log = front.log;
    cluster->set_shutdown_handler([] { kill(getpid(), SIGTERM); });
    print_line(2, cluster->ready_line());

    std::vector<std::string> warnings;
    std::string err;
    const std::string id_path = lc_host_id_path();
    lc_host_id_claim* claim = nullptr;
    if (o.host_id_file == LC_HOST_ID_CHECK) lc_host_id_check(id_path, cluster->host_ids(), &warnings);
    if (o.host_id_file == LC_HOST_ID_WRITE)
        claim = lc_host_id_claim_create(id_path, o.config.client_host_id, &err, &warnings);
    for (const auto& w : warnings) print_err("warning: " + w);
    if (!err.empty()) {
        print_err(err);
        return 2;
    }
    // Given back however the run ends, short of being killed; after a kill
    // the next start does it.
    auto give_back = [&] {
        std::string e = lc_host_id_claim_destroy(claim);
        claim = nullptr;
        if (!e.empty()) print_err(e);
    };

    lc_supervisor_config sc;
    sc.argv = o.program;
    sc.grace_ms = o.grace_ms;
    sc.log = log;
    localcluster::Cluster* c = cluster.get();
    sc.on_reboot = [c, log](uint64_t id) {
        char text[64];
        snprintf(text, sizeof text, "host reboot %016llx", (unsigned long long)id);
        // An id that is not a server host is the test's mistake: an error.
        std::string reply = c->control(text);
        int level = reply.find("\"ok\":true") != std::string::npos ? LC_LOG_INFO
                    : reply.find("unknown host") != std::string::npos ? LC_LOG_ERROR
                                                                       : LC_LOG_WARN;
        lc_log(log, level, "%s: %s", text, reply.c_str());
    };
    bool aborted = false;
    int status = lc_supervisor_run(sc, &aborted, &err);
    // The program has ended: nothing reads the file any more, and a second
    // signal during the shutdown below cannot keep it from being given back.
    give_back();
    if (aborted) _exit(1);
    if (status < 0) {
        print_err(err);
        status = 127;
    }
    exit_on_second_signal();
    cluster.reset();
    return status;
}

int ctl(const lc_options& o) {
    std::string dir = o.config.dir.empty() ? lc_default_dir() : o.config.dir;
    std::string path = dir + "/" + o.config.cluster + ".ctl";
    std::string command;
    for (const auto& w : o.command) command += (command.empty() ? "" : " ") + w;
    std::string reply;
    if (o.command[0] == "wait-ready") {
        // Polls until the cluster answers ready, for TIMEOUT ms (default 30 s).
        long timeout = o.command.size() > 1 ? strtol(o.command[1].c_str(), nullptr, 10) : 30000;
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            if (lc_ctl_request(path, "status", &reply, 2000) == 0 && reply.find("\"ready\":true") != std::string::npos) {
                print_line(1, "{\"ok\":true,\"ready\":true}");
                return 0;
            }
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
            if (elapsed >= timeout) {
                print_line(1, "{\"ok\":false,\"error\":\"not ready in time\"}");
                return 1;
            }
            usleep(50 * 1000);
        }
    }
    int rc = lc_ctl_request(path, command, &reply, 30000);
    if (rc < 0) {
        print_err("cannot reach " + path + ": " + strerror(-rc));
        return 2;
    }
    print_line(1, reply);
    return reply.find("\"ok\":true") != std::string::npos ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask.
    lc_block_signals();
    std::vector<std::string> args(argv + 1, argv + argc);
    lc_options o;
    std::string err = lc_parse_options(args, &o);
    if (!err.empty()) {
        print_err(err);
        print_err("try --help");
        return 2;
    }
    if (o.help) {
        fputs(lc_usage().c_str(), stdout);
        return 0;
    }
    if (o.mode == LC_MODE_CTL) return ctl(o);

    if (o.config.dir.empty()) o.config.dir = lc_default_dir();
    // In run mode the program owns stdout and stderr; the log goes to a file.
    if (o.mode == LC_MODE_RUN && !o.log_file_set) o.config.log_file = o.config.dir + "/" + o.config.cluster + ".log";
    return o.mode == LC_MODE_RUN ? run(o) : serve(o);
}

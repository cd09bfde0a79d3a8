#include "localcluster/log.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

struct lc_logger {
    int level;
    int fd;
    bool own_fd;
};

lc_logger* lc_logger_create(int level, const std::string& path, std::string* err) {
    int fd = 2;
    bool own = false;
    if (!path.empty()) {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (err) *err = "cannot open log file " + path + ": " + strerror(errno);
            return nullptr;
        }
        own = true;
    }
    return new lc_logger{level, fd, own};
}

void lc_logger_destroy(lc_logger* log) {
    if (!log) return;
    if (log->own_fd) close(log->fd);
    delete log;
}

bool lc_logger_enabled(const lc_logger* log, int level) { return log && level <= log->level; }

void lc_log(lc_logger* log, int level, const char* fmt, ...) {
    if (!lc_logger_enabled(log, level)) return;
    static const char* const names[] = {"error", "warn", "info", "debug"};
    char line[2048];
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    int n = snprintf(line, sizeof line, "%02d:%02d:%02d.%03ld localcluster %s: ", tm.tm_hour, tm.tm_min,
                     tm.tm_sec, ts.tv_nsec / 1000000, names[level < 0 ? 0 : level > 3 ? 3 : level]);
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(line + n, sizeof line - size_t(n) - 1, fmt, ap);
    va_end(ap);
    size_t len = size_t(n) + (m < 0 ? 0 : size_t(m));
    if (len > sizeof line - 2) len = sizeof line - 2;
    line[len++] = '\n';
    ssize_t w = write(log->fd, line, len);
    (void)w;  // nowhere to report a failing log
}

int lc_log_level_parse(const std::string& text) {
    if (text == "error") return LC_LOG_ERROR;
    if (text == "warn") return LC_LOG_WARN;
    if (text == "info") return LC_LOG_INFO;
    if (text == "debug") return LC_LOG_DEBUG;
    return -1;
}

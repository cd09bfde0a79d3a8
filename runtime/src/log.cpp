// Reports: log lines, invariant violations, fatal errors and error texts.
//
// A line is built in a thread-local buffer and leaves in one write(2), so
// lines of concurrent threads never interleave and no lock is taken unless a
// test hook is installed.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "kiv/base.h"

std::atomic<int> __kiv_log_level{3};

namespace {

constexpr size_t kLineMax = 8192;
thread_local char t_line[kLineMax];

std::mutex g_hook_mutex;
std::atomic<bool> g_hook_set{false};
void (*g_hook_fn)(int, const char*, void*);
void* g_hook_arg;

void write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t r = write(fd, p, n);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += r;
        n -= size_t(r);
    }
}

// Appends printf output at `len`; a line that does not fit is cut and ends
// in "...". Room for the newline is always kept.
size_t append_v(char* buf, size_t len, const char* fmt, va_list ap) {
    const size_t room = kLineMax - 1;  // the last byte is for '\n'
    if (len >= room) return len;
    int r = vsnprintf(buf + len, room + 1 - len, fmt, ap);
    if (r < 0) return len;
    if (size_t(r) <= room - len) return len + size_t(r);
    memcpy(buf + room - 3, "...", 3);
    return room;
}

size_t append(char* buf, size_t len, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
size_t append(char* buf, size_t len, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    len = append_v(buf, len, fmt, ap);
    va_end(ap);
    return len;
}

size_t line_prefix(char* buf, int level) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char name[17] = {0};
    // The evloop renames itself after start, so the name is read per line.
    if (prctl(PR_GET_NAME, name, 0, 0, 0) != 0) strcpy(name, "?");
    return append(buf, 0, "%llu.%06llu %d %s: ", (unsigned long long)ts.tv_sec,
                  (unsigned long long)(ts.tv_nsec / 1000), level, name);
}

void emit(int level, char* buf, size_t len) {
    if (g_hook_set.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> g(g_hook_mutex);
        if (g_hook_fn) {
            buf[len] = 0;
            g_hook_fn(level, buf, g_hook_arg);
            return;
        }
    }
    buf[len++] = '\n';
    write_all(2, buf, len);
}

void log_v(int level, const char* func, const char* fmt, va_list ap) {
    char* buf = t_line;
    size_t len = line_prefix(buf, level);
    if (func) len = append(buf, len, "%s: ", func);
    len = append_v(buf, len, fmt, ap);
    emit(level, buf, len);
}

// Last words go to stderr whatever the level or hook: the process is ending
// and stderr is where its supervisor looks.
[[noreturn]] void die_fatal(char* buf, size_t len) {
    buf[len++] = '\n';
    fflush(stdout);
    write_all(2, buf, len);
    fflush(stderr);
    _exit(1);
}

}  // namespace

void kiv_log(int level, const char* fmt, ...) {
    if (level > __kiv_log_level) return;
    va_list ap;
    va_start(ap, fmt);
    log_v(level, nullptr, fmt, ap);
    va_end(ap);
}

void kiv_trace(int level, const char* func, const char* fmt, ...) {
    if (level > __kiv_log_level) return;
    va_list ap;
    va_start(ap, fmt);
    log_v(level, func ? func : "?", fmt, ap);
    va_end(ap);
}

void kiv_log_terminate(void) {
    // Lines are written unbuffered; only stdio's own buffers can hold output.
    fflush(stderr);
}

void kiv_log_set_hook(void (*fn)(int level, const char* line, void* arg), void* arg) {
    std::lock_guard<std::mutex> g(g_hook_mutex);
    g_hook_fn = fn;
    g_hook_arg = arg;
    g_hook_set.store(fn != nullptr, std::memory_order_release);
}

void kiv_bug(const char* file, int line, const char* func) {
    char* buf = t_line;
    size_t len = append(buf, 0, "BUG: %s:%d: %s: invariant violated\n", file ? file : "?", line,
                        func ? func : "?");
    write_all(2, buf, len);
    abort();
}

void kiv_bug_at(const kiv_bug_site* s) { kiv_bug(s->file, s->line, s->func); }

void kiv_fatal(const char* fmt, ...) {
    char* buf = t_line;
    size_t len = append(buf, 0, "FATAL: ");
    va_list ap;
    va_start(ap, fmt);
    len = append_v(buf, len, fmt, ap);
    va_end(ap);
    die_fatal(buf, len);
}

void kiv_err(const char* text, const char* file, int line, const char* func) {
    char* buf = t_line;
    size_t len = append(buf, 0, "FATAL: %s:%d: %s: %s", file ? file : "?", line, func ? func : "?",
                        text ? text : "");
    die_fatal(buf, len);
}

const char* kiv_strerror(uint32_t code_or_word) {
    switch (code_or_word & KIV_E_CODE_MASK) {
        case KIV_E_PROTO: return "Protocol error";
        case KIV_E_CONNFAIL: return "Connection failed";
        case KIV_E_TOOBIG: return "Message too large";
        case KIV_E_NOTFOUND: return "Not found";
        case KIV_E_BUSY: return "Peer busy";
        case KIV_E_CONNLOST: return "Connection lost";
        case KIV_E_NOTCONN: return "Not connected";
        case KIV_E_UNREACH: return "Host unreachable";
        case KIV_E_TIMEDOUT: return "Timed out";
        case KIV_E_CONNTIMEDOUT: return "Connect timed out";
        case KIV_E_INVALID: return "Invalid request";
        case KIV_E_ABANDONED: return "Request abandoned";
        case KIV_E_NOTREADY: return "Service not ready";
        case KIV_E_RETRY: return "Retry";
        case KIV_E_VERSION: return "Version mismatch";
        default: return "Unknown runtime error";
    }
}

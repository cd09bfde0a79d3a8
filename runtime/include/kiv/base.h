// Basic services of the cluster runtime: memory, reports, error codes,
// network addresses, clocks and checksums.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#define KIV_STR_(x) #x
#define KIV_STR(x) KIV_STR_(x)
// "file:line" of the caller, the allocation site recorded by the allocators.
#define KIV_POS __FILE__ ":" KIV_STR(__LINE__)

// ---------------------------------------------------------------- memory
enum : uint32_t { KIV_MEM_NOFAIL = 1 };

void* __kiv_zmalloc(const char* tag, const char* site, uint32_t flags, size_t n);
void* __kiv_malloc(const char* tag, const char* site, uint32_t flags, size_t n);
void* __kiv_realloc(const char* tag, const char* site, uint32_t flags, void* p, size_t n);
char* __kiv_strdup(const char* tag, const char* site, uint32_t flags, const char* s);
char* __kiv_strndup(const char* tag, const char* site, uint32_t flags, const char* s, size_t n);
char* __kiv_asprintf(const char* tag, const char* site, uint32_t flags, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void __kiv_free(void* p);

// Test hook: the next `count` allocations fail as if the system were out of
// memory (0 restores normal behaviour).
void kiv_mem_inject_failures(uint32_t count);

// ---------------------------------------------------------------- reports
// 0 critical, 1 error, 2 warning, 3 notice, 4 expected error, 5-6 debug, 7 trace.
// Read on every thread that logs and changed by -v and by tests while event
// loops run, hence atomic; it reads and assigns like a plain int.
extern std::atomic<int> __kiv_log_level;

void kiv_log(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void kiv_trace(int level, const char* func, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void kiv_log_terminate(void);
// Every written line goes to `fn` instead of stderr; NULL restores stderr.
// `line` has the usual prefix and no trailing newline. Calls are serialised;
// `fn` must not log or change the hook.
void kiv_log_set_hook(void (*fn)(int level, const char* line, void* arg), void* arg);

struct kiv_bug_site {
    const char* file;
    const char* func;
    int line;
};

[[noreturn]] void kiv_bug_at(const kiv_bug_site* site);
[[noreturn]] void kiv_bug(const char* file, int line, const char* func);
[[noreturn]] void kiv_fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void kiv_err(const char* text, const char* file, int line, const char* func);

#define KIV_BUG()                                                              \
    do {                                                                       \
        static const kiv_bug_site kiv_bug_site_ = {__FILE__, __func__, __LINE__}; \
        kiv_bug_at(&kiv_bug_site_);                                            \
    } while (0)

#define KIV_BUG_ON(cond)                                                       \
    do {                                                                       \
        if (__builtin_expect(!!(cond), 0)) KIV_BUG();                          \
    } while (0)

// ---------------------------------------------------------------- error words
// An error word is 0 or (bit 31 = reported by the peer) | code.
enum : uint32_t {
    KIV_E_PEER = 0x80000000u,
    KIV_E_CODE_MASK = 0x7FFFFFFFu,

    KIV_E_PROTO = 2,
    KIV_E_CONNFAIL = 4,
    KIV_E_TOOBIG = 7,
    KIV_E_NOTFOUND = 8,
    KIV_E_BUSY = 9,
    KIV_E_CONNLOST = 10,
    KIV_E_NOTCONN = 11,
    KIV_E_UNREACH = 12,
    KIV_E_TIMEDOUT = 13,
    KIV_E_CONNTIMEDOUT = 14,
    KIV_E_INVALID = 29,
    KIV_E_ABANDONED = 34,
    KIV_E_NOTREADY = 40,
    KIV_E_RETRY = 200,
    KIV_E_VERSION = 203,
};

// Text of a runtime error code (bit 31 ignored), or "Unknown runtime error".
const char* kiv_strerror(uint32_t code_or_word);

// ---------------------------------------------------------------- addresses
// All unused bytes are zero: lock owners carry this record on the wire and
// peers compare it byte for byte.
struct kiv_netaddr {
    uint32_t kind;    // 0 none, 2 IPv4 (addr[0..3], network order), 10 IPv6
    uint16_t port;    // host order
    uint16_t pad;
    uint8_t addr[16];
};
static_assert(sizeof(kiv_netaddr) == 24, "kiv_netaddr is a 24-byte wire record");

enum : uint32_t { KIV_AF_NONE = 0, KIV_AF_INET = 2, KIV_AF_INET6 = 10 };

int kiv_parse_netaddr_port(const char* host, const char* port, kiv_netaddr* out);
int kiv_parse_netaddr(const char* text, kiv_netaddr* out);
int kiv_format_netaddr(char* buf, size_t size, const kiv_netaddr* a);
int kiv_format_netaddr_port(char* buf, size_t size, const kiv_netaddr* a);
int kiv_netaddr_cmp(const kiv_netaddr* a, const kiv_netaddr* b);

// ---------------------------------------------------------------- time, CRC
uint64_t get_real_time_us(void);
uint64_t get_abs_time_us(void);
uint32_t kiv_crc32(const void* p, size_t n);

int kiv_check_build_version(const char* version);

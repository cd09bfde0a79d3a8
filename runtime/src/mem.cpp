// Allocators of the runtime. Everything goes straight to malloc so that the
// sanitizers see every block; the tag and site only matter when an
// allocation that must not fail does.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "kiv/base.h"

namespace {

std::atomic<uint32_t> g_inject_failures{0};

// Consumes one injected failure if any is pending.
bool take_injected_failure() {
    uint32_t n = g_inject_failures.load(std::memory_order_relaxed);
    while (n != 0) {
        if (g_inject_failures.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

void* checked(void* p, const char* tag, const char* site, uint32_t flags, size_t n) {
    if (p == nullptr && (flags & KIV_MEM_NOFAIL))
        kiv_fatal("allocation failed: %s at %s (%zu bytes)", tag ? tag : "?", site ? site : "?", n);
    return p;
}

}  // namespace

void kiv_mem_inject_failures(uint32_t count) { g_inject_failures.store(count, std::memory_order_relaxed); }

void* __kiv_malloc(const char* tag, const char* site, uint32_t flags, size_t n) {
    // malloc(0) may legitimately return NULL, which callers would take for a failure.
    void* p = take_injected_failure() ? nullptr : malloc(n ? n : 1);
    return checked(p, tag, site, flags, n);
}

void* __kiv_zmalloc(const char* tag, const char* site, uint32_t flags, size_t n) {
    void* p = take_injected_failure() ? nullptr : calloc(1, n ? n : 1);
    return checked(p, tag, site, flags, n);
}

void* __kiv_realloc(const char* tag, const char* site, uint32_t flags, void* old, size_t n) {
    // On failure the old block stays valid and owned by the caller, as with realloc.
    void* p = take_injected_failure() ? nullptr : realloc(old, n ? n : 1);
    return checked(p, tag, site, flags, n);
}

char* __kiv_strndup(const char* tag, const char* site, uint32_t flags, const char* s, size_t n) {
    size_t len = strnlen(s, n);
    char* p = static_cast<char*>(__kiv_malloc(tag, site, flags, len + 1));
    if (p) {
        memcpy(p, s, len);
        p[len] = 0;
    }
    return p;
}

char* __kiv_strdup(const char* tag, const char* site, uint32_t flags, const char* s) {
    return __kiv_strndup(tag, site, flags, s, SIZE_MAX);
}

char* __kiv_asprintf(const char* tag, const char* site, uint32_t flags, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int len = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (len < 0) return static_cast<char*>(checked(nullptr, tag, site, flags, 0));
    char* p = static_cast<char*>(__kiv_malloc(tag, site, flags, size_t(len) + 1));
    if (p) {
        va_start(ap, fmt);
        vsnprintf(p, size_t(len) + 1, fmt, ap);
        va_end(ap);
    }
    return p;
}

void __kiv_free(void* p) { free(p); }

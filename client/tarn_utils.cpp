// Time, revision and hexadecimal helpers.
#include "client/tarn_utils.h"

#include <errno.h>
#include <stdint.h>

#include "kiv/base.h"

namespace {

constexpr uint64_t kNsPerSec = 1000000000ull;
constexpr uint64_t kNsPerMs = 1000000ull;
constexpr uint32_t kRevisionWrap = 0x7fffffffu;

void get_time(clockid_t clock, timespec* ts) { KIV_BUG_ON(clock_gettime(clock, ts) == -1); }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void tarn_get_monotonic_time(timespec* ts) { get_time(CLOCK_MONOTONIC, ts); }

void tarn_get_wallclock_time(timespec* ts) { get_time(CLOCK_REALTIME, ts); }

void tarn_add_duration(timespec* ts, uint32_t ms) {
    ts->tv_sec += time_t(ms / 1000);
    uint64_t ns = uint64_t(ts->tv_nsec) + uint64_t(ms % 1000) * kNsPerMs;
    // Also normalises a tv_nsec that was a second or more on entry.
    ts->tv_sec += time_t(ns / kNsPerSec);
    ts->tv_nsec = long(ns % kNsPerSec);
}

int tarn_timespec_cmp(const timespec* a, const timespec* b) {
    if (a->tv_sec != b->tv_sec) return a->tv_sec < b->tv_sec ? -1 : 1;
    if (a->tv_nsec != b->tv_nsec) return a->tv_nsec < b->tv_nsec ? -1 : 1;
    return 0;
}

void tarn_timespec_from_ns(timespec* ts, uint64_t ns) {
    ts->tv_sec = time_t(ns / kNsPerSec);
    ts->tv_nsec = long(ns % kNsPerSec);
}

uint64_t tarn_timespec_to_ns(const timespec* ts) { return uint64_t(ts->tv_sec) * kNsPerSec + uint64_t(ts->tv_nsec); }

int tarn_revision_cmp_u32(uint32_t a, uint32_t b) {
    if (a == b) return 0;
    if (a > b) return a - b < kRevisionWrap ? 1 : -1;
    return b - a < kRevisionWrap ? -1 : 1;
}

size_t tarn_hex_str_size(size_t n) { return 2 * n + 1; }

void tarn_bin_to_hex(const void* bin, size_t n, char* text, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    KIV_BUG_ON(n > (SIZE_MAX - 1) / 2 || size < tarn_hex_str_size(n));
    const uint8_t* p = static_cast<const uint8_t*>(bin);
    for (size_t i = 0; i < n; i++) {
        text[2 * i] = kDigits[p[i] >> 4];
        text[2 * i + 1] = kDigits[p[i] & 0xf];
    }
    text[2 * n] = 0;
}

int tarn_hex_to_bin(const char* text, void* bin, size_t n) {
    if (text == nullptr) return -EINVAL;
    uint8_t* out = static_cast<uint8_t*>(bin);
    for (size_t i = 0; i < n; i++) {
        // A terminating zero is not a digit, so an early end stops here
        // before anything past it is read.
        int hi = hex_digit(text[2 * i]);
        if (hi < 0) return -EINVAL;
        int lo = hex_digit(text[2 * i + 1]);
        if (lo < 0) return -EINVAL;
        out[i] = uint8_t(hi * 16 + lo);
    }
    return text[2 * n] == 0 ? 0 : -EINVAL;
}

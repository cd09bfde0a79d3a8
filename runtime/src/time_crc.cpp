// Clocks, the CRC-32 checksum and the build-version check.
#include <string.h>
#include <time.h>

#include <array>

#include "kiv/base.h"

namespace {

uint64_t clock_us(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

// Slicing-by-8 tables: table[k][b] is the CRC of byte b followed by k zero bytes.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables make_tables() {
    CrcTables t{};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t c = b;
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
        t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; b++)
        for (int k = 1; k < 8; k++) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}

constexpr CrcTables kCrc = make_tables();

}  // namespace

uint64_t get_real_time_us(void) { return clock_us(CLOCK_REALTIME); }
uint64_t get_abs_time_us(void) { return clock_us(CLOCK_MONOTONIC); }

uint32_t kiv_crc32(const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t c = 0xFFFFFFFFu;
    while (n >= 8) {
        // Little-endian load; the tables assume the reflected bit order.
        uint32_t lo, hi;
        memcpy(&lo, p, 4);
        memcpy(&hi, p + 4, 4);
        lo ^= c;
        c = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^ kCrc[4][lo >> 24] ^
            kCrc[3][hi & 0xFF] ^ kCrc[2][(hi >> 8) & 0xFF] ^ kCrc[1][(hi >> 16) & 0xFF] ^ kCrc[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ kCrc[0][(c ^ *p++) & 0xFF];
    return c ^ 0xFFFFFFFFu;
}

int kiv_check_build_version(const char*) { return 0; }

// Time, revision and hexadecimal helpers of the client library. No state.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

// clock_gettime of the monotonic or the real-time clock; a clock failure is
// an invariant violation.
void tarn_get_monotonic_time(timespec* ts);
void tarn_get_wallclock_time(timespec* ts);

// Adds `ms` milliseconds, keeping tv_nsec below one second.
void tarn_add_duration(timespec* ts, uint32_t ms);

// -1, 0 or 1: seconds first, then nanoseconds, both compared as signed values.
int tarn_timespec_cmp(const timespec* a, const timespec* b);

void tarn_timespec_from_ns(timespec* ts, uint64_t ns);
uint64_t tarn_timespec_to_ns(const timespec* ts);

// Compares 32-bit revisions that wrap around: 1 when `a` is newer, -1 when
// older, 0 when equal. A distance of 0x7fffffff or more counts as wrapped, so
// the order flips.
int tarn_revision_cmp_u32(uint32_t a, uint32_t b);

// 2n + 1: the text size for n bytes, terminating zero included.
size_t tarn_hex_str_size(size_t n);

// Writes 2n lowercase hexadecimal digits, high nibble first, and a zero.
// `size` below tarn_hex_str_size(n) is an invariant violation.
void tarn_bin_to_hex(const void* bin, size_t n, char* text, size_t size);

// Reads exactly n bytes from exactly 2n hexadecimal digits (either case): 0,
// or -EINVAL for a short or long text or any other character. Bytes decoded
// before the failing position stay written.
int tarn_hex_to_bin(const char* text, void* bin, size_t n);

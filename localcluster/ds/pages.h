// The two sparse structures of a data server object: the page table (only
// pages that were written hold memory) and interval sets (the allocated
// 4 KiB blocks; the byte ranges written unstably). Neither locks; the
// object's lock covers them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <memory>

// ---------------------------------------------------------------- interval set
// Disjoint, non-adjacent half-open runs [start, end) of some unit (blocks or
// bytes). Every operation costs O(log runs + runs touched), whatever the
// lengths, so a 32 GiB range is one run.
struct lc_extents {
    std::map<uint64_t, uint64_t> runs;  // start -> end
    uint64_t count = 0;                 // units covered
};

// Units of [first, end) not covered.
uint64_t lc_extents_missing(const lc_extents* e, uint64_t first, uint64_t end);
// Covers [first, end), merging with neighbours; returns the units newly covered.
uint64_t lc_extents_add(lc_extents* e, uint64_t first, uint64_t end);
// Uncovers [first, end); returns the units that were covered.
uint64_t lc_extents_remove(lc_extents* e, uint64_t first, uint64_t end);
bool lc_extents_contains(const lc_extents* e, uint64_t unit);
void lc_extents_clear(lc_extents* e);

// ---------------------------------------------------------------- page table
enum : uint32_t { LC_PAGE_SIZE = 4096 };

struct lc_pages {
    std::map<uint64_t, std::unique_ptr<uint8_t[]>> pages;  // page index -> 4 KiB
};

// Copies [offset, offset + len) out; bytes of absent pages are zeros.
void lc_pages_read(const lc_pages* p, uint64_t offset, uint8_t* out, size_t len);
// Stores [offset, offset + len), creating zero-filled pages as needed;
// returns the number of pages created.
size_t lc_pages_write(lc_pages* p, uint64_t offset, const uint8_t* data, size_t len);
// Sets the bytes of [offset, offset + len) that lie in existing pages to
// `byte`; absent pages stay absent.
void lc_pages_fill_existing(lc_pages* p, uint64_t offset, uint64_t len, uint8_t byte);
// Cuts the data at `size`: frees the pages at or past round_up(size, 4096)
// and zeroes the last page past `size`. Returns the pages freed.
size_t lc_pages_truncate(lc_pages* p, uint64_t size);
size_t lc_pages_count(const lc_pages* p);
// Frees every page; returns how many there were.
size_t lc_pages_clear(lc_pages* p);

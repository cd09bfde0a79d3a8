#include "localcluster/ds/pages.h"

#include <string.h>

#include <algorithm>

// ---------------------------------------------------------------- interval set

namespace {

// The first run that may overlap or touch a range starting at `first`.
std::map<uint64_t, uint64_t>::const_iterator first_run(const lc_extents* e, uint64_t first) {
    auto it = e->runs.upper_bound(first);
    if (it != e->runs.begin()) {
        auto prev = std::prev(it);
        if (prev->second >= first) return prev;
    }
    return it;
}

}  // namespace

uint64_t lc_extents_missing(const lc_extents* e, uint64_t first, uint64_t end) {
    if (first >= end) return 0;
    uint64_t covered = 0;
    for (auto it = first_run(e, first); it != e->runs.end() && it->first < end; ++it)
        if (it->second > first) covered += std::min(it->second, end) - std::max(it->first, first);
    return (end - first) - covered;
}

uint64_t lc_extents_add(lc_extents* e, uint64_t first, uint64_t end) {
    if (first >= end) return 0;
    uint64_t lo = first, hi = end, overlap = 0;
    auto cit = first_run(e, first);
    auto it = e->runs.erase(cit, cit);  // a mutable iterator at the same place
    // Every run that overlaps or touches [first, end) merges into one.
    while (it != e->runs.end() && it->first <= end) {
        uint64_t s = it->first, t = it->second;
        if (t > first && s < end) overlap += std::min(t, end) - std::max(s, first);
        lo = std::min(lo, s);
        hi = std::max(hi, t);
        it = e->runs.erase(it);
    }
    e->runs.emplace_hint(it, lo, hi);
    uint64_t added = (end - first) - overlap;
    e->count += added;
    return added;
}

uint64_t lc_extents_remove(lc_extents* e, uint64_t first, uint64_t end) {
    if (first >= end) return 0;
    uint64_t removed = 0;
    auto cit = first_run(e, first);
    auto it = e->runs.erase(cit, cit);
    while (it != e->runs.end() && it->first < end) {
        uint64_t s = it->first, t = it->second;
        if (t <= first) {  // only touches the range
            ++it;
            continue;
        }
        removed += std::min(t, end) - std::max(s, first);
        it = e->runs.erase(it);
        if (s < first) e->runs.emplace_hint(it, s, first);
        // The right piece starts at `end`, so the loop stops after it.
        if (t > end) it = e->runs.emplace_hint(it, end, t);
    }
    e->count -= removed;
    return removed;
}

bool lc_extents_contains(const lc_extents* e, uint64_t unit) {
    auto it = e->runs.upper_bound(unit);
    if (it == e->runs.begin()) return false;
    --it;
    return unit < it->second;
}

void lc_extents_clear(lc_extents* e) {
    e->runs.clear();
    e->count = 0;
}

// ---------------------------------------------------------------- page table

void lc_pages_read(const lc_pages* p, uint64_t offset, uint8_t* out, size_t len) {
    uint64_t pos = offset, end = offset + len;
    auto it = p->pages.lower_bound(offset / LC_PAGE_SIZE);
    while (pos < end) {
        uint64_t idx = pos / LC_PAGE_SIZE;
        size_t in_page = size_t(pos % LC_PAGE_SIZE);
        size_t chunk = size_t(std::min<uint64_t>(LC_PAGE_SIZE - in_page, end - pos));
        if (it != p->pages.end() && it->first == idx) {
            memcpy(out, it->second.get() + in_page, chunk);
            ++it;
        } else {
            memset(out, 0, chunk);
        }
        out += chunk;
        pos += chunk;
    }
}

size_t lc_pages_write(lc_pages* p, uint64_t offset, const uint8_t* data, size_t len) {
    size_t created = 0;
    uint64_t pos = offset, end = offset + len;
    auto it = p->pages.lower_bound(offset / LC_PAGE_SIZE);
    while (pos < end) {
        uint64_t idx = pos / LC_PAGE_SIZE;
        size_t in_page = size_t(pos % LC_PAGE_SIZE);
        size_t chunk = size_t(std::min<uint64_t>(LC_PAGE_SIZE - in_page, end - pos));
        if (it == p->pages.end() || it->first != idx) {
            // A new page is zero only where this write does not cover it.
            auto page = std::make_unique_for_overwrite<uint8_t[]>(LC_PAGE_SIZE);
            memset(page.get(), 0, in_page);
            memset(page.get() + in_page + chunk, 0, LC_PAGE_SIZE - in_page - chunk);
            it = p->pages.emplace_hint(it, idx, std::move(page));
            created++;
        }
        memcpy(it->second.get() + in_page, data, chunk);
        ++it;
        data += chunk;
        pos += chunk;
    }
    return created;
}

void lc_pages_fill_existing(lc_pages* p, uint64_t offset, uint64_t len, uint8_t byte) {
    if (len == 0) return;
    uint64_t end = offset + len;
    for (auto it = p->pages.lower_bound(offset / LC_PAGE_SIZE);
         it != p->pages.end() && it->first * LC_PAGE_SIZE < end; ++it) {
        uint64_t page_start = it->first * LC_PAGE_SIZE;
        uint64_t from = std::max(offset, page_start);
        uint64_t to = std::min(end, page_start + LC_PAGE_SIZE);
        memset(it->second.get() + (from - page_start), byte, size_t(to - from));
    }
}

size_t lc_pages_truncate(lc_pages* p, uint64_t size) {
    uint64_t keep = size / LC_PAGE_SIZE + (size % LC_PAGE_SIZE ? 1 : 0);
    auto from = p->pages.lower_bound(keep);
    size_t freed = size_t(std::distance(from, p->pages.end()));
    p->pages.erase(from, p->pages.end());
    if (size % LC_PAGE_SIZE) {
        auto last = p->pages.find(size / LC_PAGE_SIZE);
        if (last != p->pages.end()) {
            size_t cut = size_t(size % LC_PAGE_SIZE);
            memset(last->second.get() + cut, 0, LC_PAGE_SIZE - cut);
        }
    }
    return freed;
}

size_t lc_pages_count(const lc_pages* p) { return p->pages.size(); }

size_t lc_pages_clear(lc_pages* p) {
    size_t n = p->pages.size();
    p->pages.clear();
    return n;
}

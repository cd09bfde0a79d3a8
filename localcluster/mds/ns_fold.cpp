#include "localcluster/mds/ns_fold.h"

#include <algorithm>

namespace {

struct fold_pair {
    uint16_t from, to;
};

constexpr fold_pair kFold[] = {
#include "localcluster/mds/fold_table.inc"
};

constexpr bool table_sorted() {
    for (size_t i = 1; i < sizeof(kFold) / sizeof(kFold[0]); i++)
        if (kFold[i - 1].from >= kFold[i].from) return false;
    return true;
}
static_assert(table_sorted(), "the fold table must be sorted by source code point");

void utf8_append(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(char(cp));
    } else if (cp < 0x800) {
        out->push_back(char(0xC0 | (cp >> 6)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(char(0xE0 | (cp >> 12)));
        out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(char(0xF0 | (cp >> 18)));
        out->push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

uint32_t lc_ns_fold_cp(uint32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    if (cp > 0xFFFF) return cp;
    const fold_pair* end = kFold + sizeof(kFold) / sizeof(kFold[0]);
    const fold_pair* it = std::lower_bound(kFold, end, cp, [](const fold_pair& p, uint32_t v) { return p.from < v; });
    return (it != end && it->from == cp) ? it->to : cp;
}

size_t lc_ns_utf8_decode(const unsigned char* s, size_t len, uint32_t* cp) {
    if (len == 0) return 0;
    unsigned char b = s[0];
    size_t n;
    uint32_t v, min;
    if (b < 0x80) {
        *cp = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        n = 2, v = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3, v = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4, v = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (len < n) return 0;
    for (size_t i = 1; i < n; i++) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (s[i] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return n;
}

void lc_ns_fold_name(std::string_view name, std::string* out) {
    out->clear();
    out->reserve(name.size());
    const unsigned char* s = reinterpret_cast<const unsigned char*>(name.data());
    size_t len = name.size();
    size_t i = 0;
    while (i < len) {
        unsigned char b = s[i];
        if (b < 0x80) {  // the common case: ASCII
            out->push_back(char((b >= 'A' && b <= 'Z') ? b + 32 : b));
            i++;
            continue;
        }
        uint32_t cp = 0;
        size_t n = lc_ns_utf8_decode(s + i, len - i, &cp);
        if (n == 0) {  // not valid UTF-8: this byte stands for itself
            out->push_back(char(b));
            i++;
            continue;
        }
        utf8_append(lc_ns_fold_cp(cp), out);
        i += n;
    }
}

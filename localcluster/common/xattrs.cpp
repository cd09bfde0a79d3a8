#include "localcluster/common/xattrs.h"

#include <string.h>

#include <algorithm>

namespace {

std::vector<lc_xattr>::const_iterator find_slot(const lc_xattrs* x, std::string_view name) {
    return std::lower_bound(x->items.begin(), x->items.end(), name,
                            [](const lc_xattr& a, std::string_view n) { return std::string_view(a.name) < n; });
}

bool at(const lc_xattrs* x, std::vector<lc_xattr>::const_iterator it, std::string_view name) {
    return it != x->items.end() && it->name == name;
}

uint32_t cost(size_t name_len, size_t value_len) { return uint32_t(name_len + 1 + value_len); }

}  // namespace

lc_xattr_result lc_xattr_check_name(std::string_view name) {
    if (name.empty()) return LC_XATTR_INVALID;
    if (name.size() > LC_XATTR_NAME_MAX) return LC_XATTR_TOO_BIG;
    return LC_XATTR_OK;
}

lc_xattr_result lc_xattrs_set(lc_xattrs* x, std::string_view name, const void* value, size_t len, uint32_t mode) {
    lc_xattr_result r = lc_xattr_check_name(name);
    if (r != LC_XATTR_OK) return r;
    if (len > LC_XATTR_VALUE_MAX) return LC_XATTR_TOO_BIG;
    if (mode != LC_XATTR_SET_ANY && mode != LC_XATTR_SET_CREATE && mode != LC_XATTR_SET_REPLACE)
        return LC_XATTR_INVALID;
    auto cit = find_slot(x, name);
    bool exists = at(x, cit, name);
    if (exists && mode == LC_XATTR_SET_CREATE) return LC_XATTR_EXISTS;
    if (!exists && mode == LC_XATTR_SET_REPLACE) return LC_XATTR_NOT_FOUND;
    uint64_t used = x->used;
    if (exists) used -= cost(cit->name.size(), cit->value.size());
    used += cost(name.size(), len);
    if (used > LC_XATTR_QUOTA) return LC_XATTR_NO_SPACE;
    const char* v = static_cast<const char*>(value);
    auto it = x->items.begin() + (cit - x->items.cbegin());
    if (exists)
        it->value.assign(v, len);
    else
        x->items.insert(it, lc_xattr{std::string(name), std::string(v, len)});
    x->used = uint32_t(used);
    return LC_XATTR_OK;
}

lc_xattr_result lc_xattrs_get(const lc_xattrs* x, std::string_view name, void* buf, size_t capacity,
                              size_t* vlen) {
    *vlen = 0;
    lc_xattr_result r = lc_xattr_check_name(name);
    if (r != LC_XATTR_OK) return r;
    auto it = find_slot(x, name);
    if (!at(x, it, name)) return LC_XATTR_NOT_FOUND;
    *vlen = it->value.size();
    if (it->value.size() > capacity) return LC_XATTR_BUFFER_SMALL;
    if (!it->value.empty()) memcpy(buf, it->value.data(), it->value.size());
    return LC_XATTR_OK;
}

lc_xattr_result lc_xattrs_remove(lc_xattrs* x, std::string_view name) {
    lc_xattr_result r = lc_xattr_check_name(name);
    if (r != LC_XATTR_OK) return r;
    auto it = find_slot(x, name);
    if (!at(x, it, name)) return LC_XATTR_NOT_FOUND;
    x->used -= cost(it->name.size(), it->value.size());
    x->items.erase(it);
    return LC_XATTR_OK;
}

size_t lc_xattrs_list_size(const lc_xattrs* x) {
    size_t n = 0;
    for (const lc_xattr& a : x->items) n += a.name.size() + 1;
    return n;
}

lc_xattr_result lc_xattrs_list(const lc_xattrs* x, void* buf, size_t capacity, size_t* needed) {
    *needed = lc_xattrs_list_size(x);
    if (*needed > capacity) return LC_XATTR_BUFFER_SMALL;
    char* p = static_cast<char*>(buf);
    for (const lc_xattr& a : x->items) {
        memcpy(p, a.name.data(), a.name.size());
        p[a.name.size()] = '\0';
        p += a.name.size() + 1;
    }
    return LC_XATTR_OK;
}

size_t lc_xattrs_count(const lc_xattrs* x) { return x->items.size(); }

void lc_xattrs_clear(lc_xattrs* x) {
    std::vector<lc_xattr>().swap(x->items);
    x->used = 0;
}

// The extended attributes of one object, with the rules both metadata and
// data servers apply: names of 1..255 bytes, binary values of 0..65535
// bytes, a per-object quota of 65536 bytes counted as the sum of
// name + 1 + value over all attributes, set modes 0/1/2, sizing of gets and
// sorted listings. Results are neutral; each server maps them to its own
// status numbers. Not thread-safe: the owner's object lock covers it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

enum lc_xattr_result {
    LC_XATTR_OK,
    LC_XATTR_EXISTS,        // set mode 1 on a name that exists
    LC_XATTR_NOT_FOUND,     // get or remove of an absent name; set mode 2 on one
    LC_XATTR_INVALID,       // empty name; unknown set mode
    LC_XATTR_TOO_BIG,       // name over 255 bytes; value over 65535 bytes
    LC_XATTR_NO_SPACE,      // the object's quota would be exceeded
    LC_XATTR_BUFFER_SMALL,  // get or list: the answer does not fit the capacity
};

enum : uint32_t {
    LC_XATTR_NAME_MAX = 255,
    LC_XATTR_VALUE_MAX = 65535,
    LC_XATTR_QUOTA = 65536,  // sum of name + 1 + value over an object's attributes
};

// Set modes, as both wire protocols number them.
enum : uint32_t {
    LC_XATTR_SET_ANY = 0,      // create or replace
    LC_XATTR_SET_CREATE = 1,   // create only
    LC_XATTR_SET_REPLACE = 2,  // replace only
};

struct lc_xattr {
    std::string name;
    std::string value;
};

// Most objects have no attributes, so the empty set costs one vector.
struct lc_xattrs {
    std::vector<lc_xattr> items;  // sorted by name, byte order
    uint32_t used = 0;            // quota bytes in use
};

// LC_XATTR_OK, INVALID (empty) or TOO_BIG (over 255 bytes).
lc_xattr_result lc_xattr_check_name(std::string_view name);

// Checks, in this order: the name; the value length; the mode; existence
// against the mode; the quota (a replaced value counts only its new size).
// Nothing changes unless the result is OK.
lc_xattr_result lc_xattrs_set(lc_xattrs* x, std::string_view name, const void* value, size_t len, uint32_t mode);

// Copies the value into `buf` when it fits `capacity` (an empty value fits
// capacity 0; `buf` may then be NULL). *vlen receives the value's length on
// OK and BUFFER_SMALL, 0 otherwise. Bad names answer as in check_name.
lc_xattr_result lc_xattrs_get(const lc_xattrs* x, std::string_view name, void* buf, size_t capacity,
                              size_t* vlen);

lc_xattr_result lc_xattrs_remove(lc_xattrs* x, std::string_view name);

// Bytes of the listing: every name with its terminating NUL.
size_t lc_xattrs_list_size(const lc_xattrs* x);

// Writes the names sorted, each NUL-terminated, when they fit `capacity`;
// else BUFFER_SMALL and nothing is written. *needed = lc_xattrs_list_size.
lc_xattr_result lc_xattrs_list(const lc_xattrs* x, void* buf, size_t capacity, size_t* needed);

size_t lc_xattrs_count(const lc_xattrs* x);

// Drops every attribute and frees their memory (an object going away).
void lc_xattrs_clear(lc_xattrs* x);

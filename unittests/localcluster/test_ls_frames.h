// Lock-service request frames written by hand with the wire layout, as the
// lock client lays them out (name after the tags, items after the name),
// for the lock server's tests. Fields can be bent after building.
#pragma once

#include <string.h>

#include <string>
#include <vector>

#include "ls_client/ls_wire.h"

namespace lsframes {

using Bytes = std::vector<uint8_t>;

inline Bytes header(uint32_t type, size_t len) {
    Bytes b(len, 0);
    ls_wire_put_u32(b.data(), LS_HDR_LENGTH, uint32_t(len));
    ls_wire_put_u32(b.data(), LS_HDR_TYPE, type);
    ls_wire_put_u64(b.data(), LS_HDR_VERSION, LS_WIRE_VERSION);
    return b;
}

struct BrReq {
    uint32_t type = LS_MSG_TAKE;
    std::string caller = "owner";
    uint64_t fs_id = 0x1001;
    uint64_t fh = 0x1234;
    uint64_t owner_id = 1;
    uint64_t start = 0;
    uint64_t len = 16;
    uint32_t lock_type = 2;
    uint32_t flavour = 2;
    uint32_t caller_id = 0;
    // Defaulted so that designated initialisers may leave it out.
    std::vector<std::string> items = {};  // take and blocking take only
};

// A test, take, free, cancel or blocking take frame.
inline Bytes br_frame(const BrReq& r) {
    bool blocking = r.type == LS_MSG_BLOCKING_TAKE;
    bool take = blocking || r.type == LS_MSG_TAKE;
    size_t tags = blocking ? LS_BTAKE_TAGS : LS_TAKE_TAGS;
    size_t n = take ? r.items.size() : 0;
    size_t name_at = tags + n * LS_TAG_BYTES;
    size_t total = name_at + r.caller.size() + 1;
    for (const std::string& i : r.items) total += take ? i.size() : 0;
    Bytes b = header(r.type, total);
    uint8_t* p = b.data();
    ls_wire_put_u32(p, LS_BR_NAME_LEN, uint32_t(r.caller.size() + 1));
    ls_wire_put_u32(p, LS_BR_NAME_OFF, uint32_t(name_at));
    ls_wire_put_u64(p, LS_BR_FS_ID, r.fs_id);
    ls_wire_put_u64(p, LS_BR_FH, r.fh);
    ls_wire_put_u64(p, LS_BR_OWNER_ID, r.owner_id);
    ls_wire_put_u64(p, LS_BR_START, r.start);
    ls_wire_put_u64(p, LS_BR_LEN, r.len);
    ls_wire_put_u32(p, LS_BR_TYPE, r.lock_type);
    ls_wire_put_u32(p, LS_BR_FLAVOUR, r.flavour);
    memcpy(p + name_at, r.caller.c_str(), r.caller.size() + 1);
    if (take) {
        ls_wire_put_u32(p, blocking ? LS_BTAKE_CALLER_ID : LS_TAKE_CALLER_ID, r.caller_id);
        ls_wire_put_u8(p, blocking ? LS_BTAKE_NR_ITEMS : LS_TAKE_NR_ITEMS, uint8_t(n));
        size_t at = name_at + r.caller.size() + 1;
        for (size_t i = 0; i < n; i++) {
            ls_wire_put_u32(p, tags + i * LS_TAG_BYTES + LS_TAG_LEN, uint32_t(r.items[i].size()));
            ls_wire_put_u32(p, tags + i * LS_TAG_BYTES + LS_TAG_OFF, uint32_t(at));
            memcpy(p + at, r.items[i].data(), r.items[i].size());
            at += r.items[i].size();
        }
    }
    return b;
}

inline Bytes share_frame(uint32_t type, const std::string& caller, const std::string& handle, uint64_t fh,
                         uint32_t mode, uint32_t access) {
    size_t name_at = LS_SHARE_NAME_AT;
    Bytes b = header(type, name_at + caller.size() + 1 + handle.size());
    uint8_t* p = b.data();
    ls_wire_put_u32(p, LS_SHARE_NAME_LEN, uint32_t(caller.size() + 1));
    ls_wire_put_u32(p, LS_SHARE_NAME_OFF, uint32_t(name_at));
    ls_wire_put_u64(p, LS_SHARE_FH, fh);
    ls_wire_put_u32(p, LS_SHARE_HANDLE_LEN, uint32_t(handle.size()));
    ls_wire_put_u32(p, LS_SHARE_HANDLE_OFF, uint32_t(name_at + caller.size() + 1));
    ls_wire_put_u32(p, LS_SHARE_MODE, mode);
    ls_wire_put_u32(p, LS_SHARE_ACCESS, access);
    memcpy(p + name_at, caller.c_str(), caller.size() + 1);
    memcpy(p + name_at + caller.size() + 1, handle.data(), handle.size());
    return b;
}

inline Bytes free_all_frame(const std::string& caller, uint32_t caller_id = 0) {
    Bytes b = header(LS_MSG_FREE_ALL, LS_FREE_ALL_NAME_AT + caller.size() + 1);
    ls_wire_put_u32(b.data(), LS_FREE_ALL_CALLER_ID, caller_id);
    ls_wire_put_u32(b.data(), LS_FREE_ALL_NAME_LEN, uint32_t(caller.size() + 1));
    ls_wire_put_u32(b.data(), LS_FREE_ALL_NAME_OFF, uint32_t(LS_FREE_ALL_NAME_AT));
    memcpy(b.data() + LS_FREE_ALL_NAME_AT, caller.c_str(), caller.size() + 1);
    return b;
}

inline Bytes search_frame(uint32_t flags, uint64_t fh, uint32_t max, const Bytes& cookie = {}, uint32_t flavour = 2) {
    Bytes b = header(LS_MSG_CTRL_SEARCH, LS_SEARCH_COOKIE_AT + cookie.size());
    ls_wire_put_u32(b.data(), LS_SEARCH_FLAGS, flags);
    ls_wire_put_u64(b.data(), LS_SEARCH_FH, fh);
    ls_wire_put_u32(b.data(), LS_SEARCH_FLAVOUR, flavour);
    ls_wire_put_u32(b.data(), LS_SEARCH_MAX_COUNT, max);
    if (!cookie.empty()) {
        ls_wire_put_u32(b.data(), LS_SEARCH_COOKIE_LEN, uint32_t(cookie.size()));
        ls_wire_put_u32(b.data(), LS_SEARCH_COOKIE_OFF, uint32_t(LS_SEARCH_COOKIE_AT));
        memcpy(b.data() + LS_SEARCH_COOKIE_AT, cookie.data(), cookie.size());
    }
    return b;
}

inline Bytes remove_frame(uint32_t ref32, uint64_t ref64, uint32_t flavour = 2) {
    Bytes b = header(LS_MSG_CTRL_REMOVE, LS_REMOVE_BYTES);
    ls_wire_put_u32(b.data(), LS_REMOVE_REF32, ref32);
    ls_wire_put_u64(b.data(), LS_REMOVE_REF64, ref64);
    ls_wire_put_u32(b.data(), LS_REMOVE_FLAVOUR, flavour);
    return b;
}

inline uint32_t herr(const Bytes& reply) {
    return reply.size() >= LS_REPLY_HANDLING_ERR + 4 ? ls_wire_get_u32(reply.data(), LS_REPLY_HANDLING_ERR) : ~0u;
}
inline uint32_t status(const Bytes& reply) {
    return reply.size() >= LS_REPLY_STATUS + 4 ? ls_wire_get_u32(reply.data(), LS_REPLY_STATUS) : ~0u;
}

}  // namespace lsframes
